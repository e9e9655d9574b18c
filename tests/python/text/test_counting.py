"""`quorvane count` and `count_block`: the counts a learning command computes,
written to a file that gives it the same result as the text, and the same
counting for one share of a corpus on another engine's worker."""

import collections
import json
import lzma
import os
import shutil
from pathlib import Path

import pytest

import quorvane
from quorvane_cli import main
from quorvane_cli.text.counting import count_block
from quorvane_cli.cli.errors import CliError
from quorvane_cli.text.wordcount import count_text, read_counts, write_counts
from test_encoding import TEXT_DIR

SAMPLES = Path(__file__).resolve().parents[3] / "examples" / "sample"
MARKER = "\u2581"
# Lowercase is a normalizer the core leaves to the tokenizers package.
REFUSED = {
    "version": "1.0", "added_tokens": [], "normalizer": {"type": "Lowercase"},
    "pre_tokenizer": {"type": "Metaspace", "replacement": MARKER, "prepend_scheme": "always", "split": True},
    "model": {"type": "BPE", "vocab": {MARKER: 0, "a": 1}, "merges": []},
}
LINES = [
    "Latarnia świeci nad zatoką,  a morze szumi.\r",  # a line ending kept by the reader
    "   ",  # blank lines are skipped
    "",
    "Statki mają dziś własne światła\nwięc latarnik śpi.",  # two lines in one item
    "\ufeffZero-width no-break space in the middle\u3000of text, and a tab\there.",
    "letter \u1c89x newer than the core's tables",  # split by the tokenizers package
]


def tokenizers_of():
    return {
        "bytelevel": (SAMPLES / "tokenizer.json").read_text(encoding="utf-8"),
        "marker": (SAMPLES / "marker_tokenizer.json").read_text(encoding="utf-8"),
        "refused": json.dumps(REFUSED),
    }


@pytest.fixture
def text_file(tmp_path):
    """The LINES as a file, as `quorvane count` reads them."""
    path = tmp_path / "text.txt"
    path.write_text("\n".join(LINES) + "\n", encoding="utf-8", newline="")
    return str(path)


class TestCountBlock:
    @pytest.mark.parametrize("kind", ["bytelevel", "marker", "refused"])
    def test_shares_add_up_to_the_file_count(self, text_file, kind):
        document = tokenizers_of()[kind]
        whole = count_text(document, [text_file], processes=1)
        shares = collections.Counter(count_block(document, LINES[:3]))
        shares.update(count_block(document, iter(LINES[3:])))
        assert shares == whole and sum(whole.values()) > 0
        assert count_block(document, []) == {}

    def test_bad_input(self):
        with pytest.raises(CliError, match="not JSON"):
            count_block("{", ["text"])
        with pytest.raises(CliError, match="UTF-8"):
            count_block(tokenizers_of()["marker"], ["a lone \ud800 surrogate"])


def run(capsys, *argv):
    status = main(["count", *argv, "--quiet"])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


class TestCountCommand:
    @pytest.mark.parametrize("name", ["counts.tsv", "counts.tsv.gz", "counts.tsv.xz", "counts.parquet"])
    def test_formats_read_back(self, capsys, tmp_path, text_file, name):
        if name.endswith(".parquet"):
            if os.environ.get("QUORVANE_SANITIZED"):
                pytest.skip("pyarrow loads numpy, which LeakSanitizer cannot check")
            pytest.importorskip("pyarrow")
        document = str(SAMPLES / "tokenizer.json")
        output = str(tmp_path / name)
        status, out, _ = run(capsys, document, "--text", text_file, "-o", output, "--json")
        assert status == 0
        expected = count_text(Path(document).read_text(encoding="utf-8"), [text_file])
        assert read_counts(output) == expected
        report = json.loads(out)
        assert (report["words"], report["distinct_words"], report["written"]) == (
            sum(expected.values()), len(expected), len(expected))
        assert sorted(os.listdir(tmp_path)) == sorted([name, "text.txt"])  # no temporary file left
        if name == "counts.tsv":
            rows = [line.split("\t") for line in Path(output).read_text(encoding="utf-8").splitlines()]
            assert rows[0] == ["word", "count"]
            assert [(w, int(n)) for w, n in rows[1:]] == sorted(expected.items(), key=lambda i: (-i[1], i[0]))

    def test_min_count_and_count_files_among_the_texts(self, capsys, tmp_path, text_file):
        document = str(SAMPLES / "marker_tokenizer.json")
        earlier = tmp_path / "earlier.tsv"
        earlier.write_text("word\tcount\n▁zatoką\t5\n▁rare\t1\n", encoding="utf-8")
        output = tmp_path / "out.tsv"
        status, out, _ = run(capsys, document, "--text", text_file, str(earlier), "-o", str(output),
                             "--min-count", "2")
        assert status == 0
        whole = count_text(Path(document).read_text(encoding="utf-8"), [text_file])
        whole.update({"▁zatoką": 5, "▁rare": 1})
        assert read_counts(str(output)) == {w: n for w, n in whole.items() if n >= 2}
        assert f"seen at least 2 times to {output}" in out

    def test_a_directory_of_parquet_files_as_engines_write_them(self, capsys, tmp_path, text_file):
        if os.environ.get("QUORVANE_SANITIZED"):
            pytest.skip("pyarrow loads numpy, which LeakSanitizer cannot check")
        pyarrow = pytest.importorskip("pyarrow")
        parquet = pytest.importorskip("pyarrow.parquet")
        tokenizer = str(SAMPLES / "tokenizer.json")
        document = Path(tokenizer).read_text(encoding="utf-8")
        shares = [count_block(document, LINES[:3]), count_block(document, LINES[3:])]
        folder = tmp_path / "counts.parquet"
        folder.mkdir()
        (folder / "_SUCCESS").write_bytes(b"")
        for i, share in enumerate(shares):
            parquet.write_table(pyarrow.table({"word": list(share), "count": list(share.values())}),
                                folder / f"part-{i}.parquet")
        assert read_counts(str(folder) + "/") == count_text(document, [text_file])
        by_text = learned(tmp_path, "by-text", tokenizer, "extend", "--text", text_file, "--add", "3")
        by_shares = learned(tmp_path, "by-shares", tokenizer, "extend", "--text", str(folder), "--add", "3")
        assert by_text == by_shares

    @pytest.mark.parametrize("name", ["counts.tsv", "counts.tsv.xz"])
    def test_words_tsv_can_and_cannot_hold(self, tmp_path, name):
        # A "\r" inside a word (a "▁"-marker tokenizer keeps a lone one) reads back as
        # written; a "\n" would end the row, so the writer sends it to Parquet.
        counts = {"▁a\rb": 3, "▁\r": 2, "x\ty": 1}
        write_counts(str(tmp_path / name), counts)
        assert read_counts(str(tmp_path / name)) == counts
        with pytest.raises(CliError, match="write .parquet instead"):
            write_counts(str(tmp_path / "broken.tsv"), {"a\nb": 1})
        assert sorted(os.listdir(tmp_path)) == [name]

    @pytest.mark.parametrize("case, status, message", [
        ("suffix", 1, "a count file's name ends in .tsv"),
        ("no directory", 1, "no such directory"),
        ("missing text", 1, "No such file"),
        ("blank text", 1, "no text (every line is blank)"),
        ("not utf-8", 1, "not UTF-8 (invalid start byte at byte 6)"),
        ("bad xz", 1, "not a valid xz file"),
        ("workers without dask", 2, "--workers and --block-size go with --dask"),
        ("workers with a scheduler", 2, "goes with --dask local"),
        ("no workers", 2, "--workers must be at least 1"),
    ])
    def test_failures_write_nothing(self, capsys, tmp_path, text_file, case, status, message):
        output = tmp_path / "out" / "counts.tsv"
        output.parent.mkdir()
        texts = [text_file]
        extra: list[str] = []
        if case == "suffix":
            output = output.with_name("counts.txt")
        elif case == "no directory":
            output = tmp_path / "nowhere" / "counts.tsv"
        elif case == "missing text":
            texts = [str(tmp_path / "missing.txt")]
        elif case == "blank text":
            (tmp_path / "blank.txt").write_text(" \n\n\t\n", encoding="utf-8")
            texts.append(str(tmp_path / "blank.txt"))
        elif case == "not utf-8":
            (tmp_path / "latin.txt").write_bytes(b"plain \xff text\n")
            texts = [str(tmp_path / "latin.txt")]
        elif case == "bad xz":
            (tmp_path / "bad.txt.xz").write_bytes(lzma.compress(b"fine text\n" * 1000)[:-40])
            texts = [str(tmp_path / "bad.txt.xz")]
        elif case == "workers without dask":
            extra = ["--workers", "2"]
        elif case == "no workers":
            extra = ["--dask", "local", "--workers", "0"]
        else:
            extra = ["--dask", "tcp://127.0.0.1:1", "--workers", "2"]
        got, _, err = run(capsys, str(SAMPLES / "tokenizer.json"), "--text", *texts, "-o", str(output), *extra)
        assert (got, message in err) == (status, True), err
        assert not output.parent.exists() or os.listdir(output.parent) == []


# --------------------------------------------- the learning commands agree

def learned(tmp_path, name, tokenizer, command, *options):
    """The bytes of the tokenizer `command` writes with `options`."""
    output = tmp_path / f"{name}.json"
    assert main([command, tokenizer, *options, "-o", str(output), "--quiet", "--json"]) == 0
    return output.read_bytes()


@pytest.mark.slow
@pytest.mark.parametrize("name", ["qwen3", "llama2"])
def test_a_count_file_teaches_what_its_text_does(capsys, corpus, tmp_path, name):
    """qwen3 splits with ByteLevel, llama2 marks spaces with "▁" (and has no pre-tokenizer)."""
    texts = {language: TEXT_DIR / f"{language}-heldout.txt.xz" for language in ("cs", "pl")}
    if not all(path.exists() for path in texts.values()):
        pytest.skip(f"no running text in {TEXT_DIR}")
    tokenizer = corpus[name]
    plain = tmp_path / "cs.txt"  # one text plain, one compressed
    with lzma.open(texts["cs"]) as source, open(plain, "wb") as target:
        shutil.copyfileobj(source, target)
    cs, pl = str(plain), str(texts["pl"])
    counts = {}
    for language, paths, suffix in (("cs", [cs], ".tsv.xz"), ("pl", [pl], ".tsv.gz"), ("both", [cs, pl], ".tsv")):
        counts[language] = str(tmp_path / f"{language}{suffix}")
        assert main(["count", tokenizer, "--text", *paths, "-o", counts[language], "--quiet"]) == 0
    capsys.readouterr()

    runs = {
        "extend": (["--text", cs, pl], ["--text", counts["both"]], ["--add", "300"]),
        "prune": (["--text", pl], ["--text", counts["pl"]], ["--count", "300"]),
        "adapt": (["--text", cs, "--keep-text", pl], ["--text", counts["cs"], "--keep-text", counts["pl"]],
                  ["--replace", "200"]),
    }
    for command, (from_text, from_counts, options) in runs.items():
        by_text = learned(tmp_path, f"{command}-text", tokenizer, command, *from_text, *options)
        by_counts = learned(tmp_path, f"{command}-counts", tokenizer, command, *from_counts, *options)
        assert by_text == by_counts, f"{name} {command}"
    capsys.readouterr()
    editor = quorvane.Quorvane(tokenizer)
    assert read_counts(counts["both"]) == count_text(editor, [cs, pl])

