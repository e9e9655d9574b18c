"""Reading word-count files (.tsv, .tsv.gz, .tsv.xz, .parquet) from generated
and mutated bytes: each gives the counts its rows say, or a CliError that
names the file; never another exception, a wrong count or unbounded memory."""

import collections
import gzip
import lzma
import os
import zlib

import pytest

from quorvane_cli.text import wordcount
from quorvane_cli.cli.errors import CliError
from quorvane_cli.text.wordcount import read_counts, write_counts

pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, assume, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

EXAMPLES = int(os.environ.get("QUORVANE_COUNT_FILE_EXAMPLES", 60))
FAST = settings(max_examples=EXAMPLES, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])

# Word material: tabs (a word may hold them), spaces of several kinds, the
# characters str.splitlines would break at but TSV does not, a byte-order
# mark, markers, the header's own words.
CHARS = ["a", "b", "\t", " ", "\u3000", "\x0b", "\x1c", "\x85", "\u2028", "\ufeff", "\u2581", "\u0120", "é",
         "😀", "0", "7", "-", "word", "count"]
words = st.lists(st.sampled_from(CHARS), max_size=6).map("".join)
counts_of = st.dictionaries(words, st.integers(0, 2**70), min_size=1, max_size=12).map(collections.Counter)
SUFFIXES = [".tsv", ".tsv.gz", ".tsv.xz"]


def compress(name, data):
    if name.endswith(".gz"):
        return gzip.compress(data)
    if name.endswith(".xz"):
        return lzma.compress(data)
    return data


def decompress(name, data):
    """What a count file holds, by the format's own tools; raises for a broken container."""
    if name.endswith(".gz"):
        return gzip.decompress(data)
    if name.endswith(".xz"):
        return lzma.decompress(data)
    return data


def expected_counts(text):
    """The counts of a TSV text by its rules, written out plainly; None where
    it must be refused. Rows end at "\\n" (a "\\r" before it dropped), blank
    ones are skipped, the count is what follows the last tab, and a first row
    "word<TAB>count" is a header."""
    try:
        decoded = text.decode("utf-8")
    except UnicodeDecodeError:
        return None
    decoded = decoded.removeprefix("\ufeff")
    counts = collections.Counter()
    rows = [row.removesuffix("\r") for row in decoded.split("\n")]
    rows = [row for row in rows if row and not row.isspace()]
    for i, row in enumerate(rows):
        if "\t" not in row:
            return None
        word, count = row.rsplit("\t", 1)
        if i == 0 and (word, count.strip()) == ("word", "count"):
            continue
        try:
            n = int(count.strip())
        except ValueError:
            return None
        if n < 0:
            return None
        counts[word] += n
    return counts or None


def read(path):
    """read_counts, or the CliError it raised (any other exception fails the test)."""
    try:
        return read_counts(str(path))
    except CliError as exc:
        assert str(exc).startswith(str(path)), exc
        return exc


class TestTsv:
    @given(counts=counts_of, suffix=st.sampled_from(SUFFIXES), header=st.booleans(), crlf=st.booleans(),
           blank=st.booleans(), split=st.booleans())
    @FAST
    def test_written_counts_read_back(self, tmp_path, counts, suffix, header, crlf, blank, split):
        path = tmp_path / f"counts{suffix}"
        plain = tmp_path / "plain.tsv"  # write_counts compresses by the name's ending
        write_counts(str(plain), counts)
        text = plain.read_text(encoding="utf-8")
        rows = text.split("\n")[:-1]
        if not header:
            rows = rows[1:]
            # A byte-order mark before the first row belongs to the file, not the word.
            assume(not rows[0].startswith("\ufeff"))
        if split:
            # A word on two rows adds up.
            word, _, count = rows[-1].rpartition("\t")
            rows[-1:] = [f"{word}\t{int(count) // 2}", f"{word}\t{int(count) - int(count) // 2}"]
        if blank:
            rows = [rows[0], "", " \t ", *rows[1:]]
        data = (("\r\n" if crlf else "\n").join(rows) + "\n").encode()
        path.write_bytes(compress(suffix, data))
        assert read(path) == counts

    @given(counts=counts_of, suffix=st.sampled_from(SUFFIXES), data=st.data())
    @FAST
    def test_mutated_files_are_read_by_their_rules_or_refused(self, tmp_path, counts, suffix, data):
        path = tmp_path / f"counts{suffix}"
        plain = tmp_path / "plain.tsv"  # write_counts compresses by the name's ending
        write_counts(str(plain), counts)
        raw = bytearray(compress(suffix, plain.read_bytes()))
        for _ in range(data.draw(st.integers(1, 4))):
            at = data.draw(st.integers(0, len(raw)))
            how = data.draw(st.sampled_from(["flip", "insert", "delete", "truncate"]))
            if how == "flip" and at < len(raw):
                raw[at] = data.draw(st.sampled_from([0x00, 0x09, 0x0A, 0x0D, 0x20, 0x2D, 0x30, 0x80, 0xC3, 0xFF,
                                                     raw[at] ^ 1]))
            elif how == "insert":
                raw[at:at] = data.draw(st.sampled_from([b"\t", b"\n", b"\r", b"\xef\xbb\xbf", b"-1", b"x", b"\xc3",
                                                        b"\t\t", b"1_0", b"\xd9\xa3"]))
            elif how == "delete":
                del raw[at:at + data.draw(st.integers(1, 8))]
            else:
                del raw[at:]
        path.write_bytes(bytes(raw))
        try:
            text = decompress(suffix, bytes(raw))
        except (OSError, EOFError, lzma.LZMAError, zlib.error):
            text = None
        expected = None if text is None else expected_counts(text)
        got = read(path)
        if expected is None:
            assert isinstance(got, CliError), f"read {got!r} from a file that must be refused"
        else:
            assert got == expected

    def test_a_long_row_is_refused_before_it_fills_memory(self, tmp_path, monkeypatch):
        monkeypatch.setattr(wordcount, "MAX_ROW_CHARS", 1000)
        for suffix in SUFFIXES:
            path = tmp_path / f"long{suffix}"
            # The row is longer than one read: it is refused while it grows.
            path.write_bytes(compress(suffix, b"a\t1\n\n" + b"b" * (1 << 18) + b"\t2\n"))
            with pytest.raises(CliError, match=f"long{suffix}: line 3 is longer than 1000 characters"):
                read_counts(str(path))
            path.write_bytes(compress(suffix, b"a\t1\n" + b"b" * 998 + b"\t2\n"))  # 1000 characters
            assert read_counts(str(path)) == {"a": 1, "b" * 998: 2}

    @pytest.mark.slow
    def test_a_long_row_takes_time_in_proportion(self, tmp_path):
        # 32 MiB in one row of a few kilobytes of xz: read in pieces, not by
        # copying the row so far once per read.
        import time

        path = tmp_path / "long.tsv.xz"
        path.write_bytes(lzma.compress(b"a" * (1 << 25) + b"\t3\n"))
        start = time.monotonic()
        with pytest.raises(CliError, match="line 1 is longer than"):
            read_counts(str(path))
        path.write_bytes(lzma.compress(b"a" * (1 << 23) + b"\t3\n"))
        assert read_counts(str(path)) == {"a" * (1 << 23): 3}
        assert time.monotonic() - start < 20


if os.environ.get("QUORVANE_SANITIZED"):
    pa = pq = None  # pyarrow loads numpy, whose objects at exit LeakSanitizer takes for leaks
else:
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")


# Arrow's own allocators under the preloaded sanitizer runtime would test
# Arrow; none of the module's code is on this path.
@pytest.mark.skipif(bool(os.environ.get("QUORVANE_SANITIZED")), reason="reads through pyarrow only")
class TestParquet:
    def write(self, path, words, counts, **options):
        pq.write_table(pa.table({"word": words, "count": counts}), str(path), **options)

    @given(counts=counts_of.map(lambda c: collections.Counter({w: n % 2**63 for w, n in c.items()})),
           compression=st.sampled_from(["none", "snappy", "gzip", "zstd"]), dictionary=st.booleans())
    @FAST
    def test_written_counts_read_back(self, tmp_path, counts, compression, dictionary):
        path = tmp_path / "counts.parquet"
        words = list(counts)
        # Repeated words add up.
        self.write(path, words + words[:1], [counts[w] for w in words] + [0], compression=compression,
                   use_dictionary=dictionary)
        assert read(path) == counts

    @pytest.mark.parametrize("column, values, message", [
        ("count", [1.5], "the count must be an integer of 0 or more, not 1.5"),
        ("count", [True], "not True"),
        ("count", [-2], "not -2"),
        ("count", [None], "not None"),
        ("word", [None], "the word is not a string"),
        ("word", [b"ab"], "the word is not a string"),
        ("count", ["x"], "the count 'x' is not an integer"),
    ])
    def test_values_of_another_kind_are_refused(self, tmp_path, column, values, message):
        path = tmp_path / "bad.parquet"
        table = {"word": ["ab"], "count": [3]}
        table[column] = values
        pq.write_table(pa.table(table), str(path))
        with pytest.raises(CliError, match=rf"bad.parquet: row 1: .*{message}"):
            read_counts(str(path))

    def test_other_columns_and_files_are_refused(self, tmp_path):
        path = tmp_path / "other.parquet"
        pq.write_table(pa.table({"word": ["a"], "n": [1]}), str(path))
        with pytest.raises(CliError, match="other.parquet: not a Parquet file of word counts"):
            read_counts(str(path))
        path.write_bytes(b"PAR1 not really")
        with pytest.raises(CliError, match="other.parquet: not a Parquet file of word counts"):
            read_counts(str(path))
        # Timestamps beyond what Python's datetime holds fail in conversion.
        pq.write_table(pa.table({"word": ["a"], "count": pa.array([2**62], pa.timestamp("ms"))}), str(path))
        with pytest.raises(CliError, match="other.parquet"):
            read_counts(str(path))

    @given(data=st.data())
    @FAST
    def test_mutated_files_are_read_as_arrow_reads_them_or_refused(self, tmp_path, data):
        path = tmp_path / "counts.parquet"
        self.write(path, ["a", "bb", "a", "\u2581c"], [1, 2, 3, 2**40],
                   compression=data.draw(st.sampled_from(["none", "snappy", "zstd"])))
        raw = bytearray(path.read_bytes())
        for _ in range(data.draw(st.integers(1, 3))):
            at = data.draw(st.integers(0, len(raw) - 1))
            raw[at] = data.draw(st.integers(0, 255))
        path.write_bytes(bytes(raw))
        try:
            table = pq.read_table(str(path), columns=["word", "count"]).to_pydict()
            expected = collections.Counter()
            for word, count in zip(table["word"], table["count"]):
                if not isinstance(word, str) or not isinstance(count, int) or count < 0:
                    expected = None
                    break
                expected[word] += count
        except Exception:  # noqa: BLE001 - any way Arrow refuses the file
            expected = None
        got = read(path)
        if expected:
            assert got == expected
        elif expected is None:
            assert isinstance(got, CliError)
