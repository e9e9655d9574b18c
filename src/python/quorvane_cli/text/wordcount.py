"""Word counts: what learning from text starts from.

A word is what the tokenizer's model is given: each line of the text goes
through the tokenizer's own normalizer and pre-tokenizer, and each pre-token is
one word, in the model's alphabet (ByteLevel characters, or text with the "▁"
marker). A tokenizer without a pre-tokenizer whose normalizer writes the
marker (the Llama 2 layout) hands whole lines to its model; there the words
are the pieces that start at each marker, so that no token learned from them
ever spans a marker in its middle.

Text is read as `quorvane eval` reads it (non-blank lines, .xz and .gz
decompressed on the way) and counted a block of lines at a time, so memory
grows with the distinct words, not with the text. The core splits the lines
itself (`Quorvane.count_text`, on one thread per core, while a reading thread
decompresses the next blocks) when it reproduces the tokenizer's normalizer
and pre-tokenizer exactly; otherwise the `tokenizers` package splits them, in
one worker process per core.

Counts made elsewhere (`quorvane count`, on a Dask cluster too, or a Spark
or Ray job calling `quorvane_cli.text.counting.count_block`) come in as files
whose name ends in `.tsv` (optionally `.tsv.gz` or `.tsv.xz`) or `.parquet`:
each row a word, already pre-tokenized in the model's alphabet, and how often
it occurs. A TSV row is the word, a tab and the count (the count is what
follows the last tab, so a word may hold tabs itself); a first row
"word<TAB>count" is a header and skipped. A Parquet file, or a directory of
them named so (as those engines write), has the columns "word" (string) and
"count" (integer) and needs pyarrow. Repeated words add up. `write_counts`
writes every one of these formats.
"""

from __future__ import annotations

import contextlib
import gzip
import io
import json
import lzma
import os
from collections import Counter
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any

import quorvane

from quorvane_cli.cli.errors import CliError
from quorvane_cli.cli.progress import Progress
from quorvane_cli.text.reading import Block, ReadAhead, TextFile, line_batches

MARKER = "\u2581"
LINES_PER_CHUNK = 2000
# Below this much text on disk (compressed, for .xz and .gz), starting workers
# costs more than they save.
PARALLEL_BYTES = 1 << 18

COUNT_SUFFIXES = (".tsv", ".tsv.gz", ".tsv.xz", ".parquet")
# A row of a count file is a word and its count: one longer than this is no
# such row, and is refused before it fills memory (a compressed file can hold
# a line of gigabytes in a few kilobytes).
MAX_ROW_CHARS = 1 << 24
PARQUET_BATCH_ROWS = 1 << 16
MISSING_CLIENT = "reading text needs the tokenizers package: pip install 'quorvane[eval]'"


def is_counts_file(path: str) -> bool:
    """Whether `path` names a file of word counts rather than text (a directory
    of Parquet files too, as Spark writes them)."""
    return path.rstrip("/" + os.sep).lower().endswith(COUNT_SUFFIXES)


def check_texts(paths: Sequence[str], option: str) -> None:
    """Fail before any work on a text that cannot be opened or a count file that is missing."""
    for path in paths:
        if not is_counts_file(path):
            TextFile(path).close()
        elif not os.path.exists(path):
            raise CliError(f"{option} {path}: no such file")


def splitting_json(tokenizer_json: str) -> str:
    """Only the two steps of the tokenizer that split text, around an empty model.

    It splits exactly as the whole tokenizer does (in the core and in the
    client), loads in a fraction of a millisecond where a large tokenizer takes
    a third of a second, and is a few hundred bytes to send where the whole file
    takes megabytes. CliError when `tokenizer_json` is not a JSON object.
    """
    try:
        document = json.loads(tokenizer_json)
    except ValueError as exc:
        raise CliError(f"the tokenizer is not JSON: {exc}") from None
    if not isinstance(document, dict):
        raise CliError("the tokenizer is not a JSON object")
    return json.dumps({
        "version": "1.0", "truncation": None, "padding": None, "added_tokens": [],
        "normalizer": document.get("normalizer"), "pre_tokenizer": document.get("pre_tokenizer"),
        "post_processor": None, "decoder": None,
        "model": {"type": "BPE", "vocab": {}, "merges": []},
    })


class Splitter:
    """Turns lines of text into words exactly as the tokenizer's model receives them."""

    def __init__(self, tokenizer_json: str) -> None:
        try:
            from tokenizers import Tokenizer
        except ImportError:
            raise CliError(MISSING_CLIENT) from None
        self.splitting_json = splitting_json(tokenizer_json)
        try:
            client = Tokenizer.from_str(self.splitting_json)
        except Exception as exc:  # the client raises plain Exception for everything
            raise CliError(f"the tokenizers package cannot build the tokenizer's normalizer and "
                           f"pre-tokenizer, so its text cannot be split as it would split it: {exc}") from None
        self._normalizer = client.normalizer
        self._pre_tokenizer = client.pre_tokenizer

    def words(self, line: str) -> Iterator[str]:
        """The words of one line of text.

        CliError when the client gives up on the line (its regular expression
        engine has a limit that a line of megabytes can reach).
        """
        try:
            if self._normalizer is not None:
                line = self._normalizer.normalize_str(line)
            pieces = self._pre_tokenizer.pre_tokenize_str(line) if self._pre_tokenizer is not None else None
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:  # the client panics with a BaseException of its own
            raise CliError(f"a line of {len(line)} characters (starting {line[:20]!r}): "
                           f"the tokenizers package cannot split it either ({exc})") from None
        if pieces is not None:
            for word, _ in pieces:
                yield word
            return
        start = 0
        while (end := line.find(MARKER, start + 1)) != -1:
            yield line[start:end]
            start = end
        if start < len(line):
            yield line[start:]

    def count(self, lines: Sequence[str]) -> Counter[str]:
        counts: Counter[str] = Counter()
        for line in lines:
            counts.update(self.words(line))
        return counts


_worker: Splitter | None = None


def _start_worker(splitting_json: str | None) -> None:
    """A worker's splitter: the parent's own when forked, else built again."""
    global _worker
    if splitting_json is not None:
        _worker = Splitter(splitting_json)


def _count_in_worker(lines: list[str]) -> Counter[str]:
    assert _worker is not None
    return _worker.count(lines)


def _processes(wanted: int | None, size: int) -> int:
    if wanted is not None:
        return max(1, wanted)
    if size < PARALLEL_BYTES:
        return 1
    try:
        cores = len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        cores = os.cpu_count() or 1
    return max(1, cores)


TokenizerSource = str | quorvane.Quorvane  # its JSON, or an editor holding it


def core_splitter(tokenizer: TokenizerSource) -> quorvane.Quorvane | None:
    """An editor whose `count_words` splits text as `tokenizer` does, or None when
    the core cannot reproduce its normalizer or pre-tokenizer (or read it)."""
    editor = tokenizer
    if isinstance(tokenizer, str):
        try:
            editor = quorvane.Quorvane.from_json(tokenizer)
        except ValueError:
            return None
    assert isinstance(editor, quorvane.Quorvane)
    try:
        editor.split_words("")
    except NotImplementedError:
        return None
    return editor


def count_text(
    tokenizer: TokenizerSource, paths: Sequence[str], progress: Progress | None = None, processes: int | None = None,
    reading: TextReading | None = None,
) -> Counter[str]:
    """Count the words of the text files `paths` as the tokenizer (its JSON or an
    editor) splits them.

    `processes` threads or worker processes split the lines (default: one per
    core, or one for less than a megabyte of text). `reading`, made from the
    same paths, is what has been read of them ahead; it is used up or closed.
    Raises OSError for a file that cannot be opened and CliError for one that
    is not valid text (the message names it).
    """
    progress = progress or Progress(False)
    editor = core_splitter(tokenizer)
    if editor is not None:
        if reading is None:
            with TextReading(paths) as own:
                return _count_in_core(editor, own, progress, processes)
        return _count_in_core(editor, reading, progress, processes)
    if reading is not None:
        reading.close()  # the client's workers are forked: no thread may run beside them
    document = tokenizer if isinstance(tokenizer, str) else tokenizer.to_json()
    return _count_with_client(document, paths, progress, processes)


def _label(files: Sequence[TextFile]) -> str:
    return f"counting the words of {len(files)} text" + ("s" if len(files) != 1 else "")


class ClientFallback:
    """Splits, through the client, the rare line the core leaves to it (one
    holding a character newer than the core's Unicode tables); built on first use."""

    def __init__(self, editor: quorvane.Quorvane) -> None:
        self._editor = editor
        self._splitter: Splitter | None = None

    def __call__(self, line: str) -> list[str]:
        if self._splitter is None:
            self._splitter = Splitter(self._editor.to_json())
        return list(self._splitter.words(line))


def _blocks(files: Sequence[TextFile]) -> Iterator[Block]:
    """The blocks of every text in order: each with its text, its offset there,
    and how many bytes on disk have been read after it."""
    done = 0
    for text in files:
        for block, offset in text.blocks():
            yield block, text, offset, done + text.position
        done += text.size


class TextReading:
    """Text files opened and read ahead, to be counted in the core.

    Started before the tokenizer is loaded, so that decompressing the text
    overlaps loading it; `gather_counts` takes it beside the paths it was made
    from. Count files among the paths are left to `gather_counts`. Use it as
    a context manager: leaving stops the reading thread and closes the files.
    """

    def __init__(self, paths: Sequence[str]) -> None:
        self.paths = [path for path in paths if not is_counts_file(path)]
        self.files: list[TextFile] = []
        self._ahead: ReadAhead | None = None
        try:
            for path in self.paths:
                self.files.append(TextFile(path))
            if self.files:
                self._ahead = ReadAhead(_blocks(self.files), depth=4)
        except BaseException:
            self.close()
            raise

    def blocks(self) -> Iterator[Block]:
        """The blocks read, each with its text, its offset there and how far
        reading has got on disk; once."""
        assert self._ahead is not None
        return iter(self._ahead)

    def close(self) -> None:
        if self._ahead is not None:
            self._ahead.close()
            self._ahead = None
        for text in self.files:
            text.close()

    def __enter__(self) -> TextReading:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _count_in_core(
    editor: quorvane.Quorvane, reading: TextReading, progress: Progress, processes: int | None
) -> Counter[str]:
    counts: Counter[str] = Counter()
    fallback = ClientFallback(editor)
    total = sum(text.size for text in reading.files)
    threads = _processes(processes, total)
    at: list[tuple[TextFile, int]] = []  # the block being counted

    def taken(advance: Callable[[int], None]) -> Iterator[bytes]:
        for block, text, offset, read in reading.blocks():
            at[:] = [(text, offset)]
            advance(read)
            yield block
        advance(total)

    # The next blocks are read and decompressed while the core splits one.
    with progress.bar(_label(reading.files), total) as advance:
        try:
            editor.count_text(taken(advance), counts, threads, fallback)
        except UnicodeDecodeError as exc:
            text, offset = at[0]
            raise text.not_utf8(exc, offset) from None
        except ValueError as exc:
            raise CliError(str(exc)) from None
    return counts


def _count_with_client(
    tokenizer_json: str, paths: Sequence[str], progress: Progress, processes: int | None
) -> Counter[str]:
    splitter = Splitter(tokenizer_json)  # fails here, not in a worker, for a bad tokenizer
    files: list[TextFile] = []
    try:
        for path in paths:
            files.append(TextFile(path))
        total = sum(text.size for text in files)
        workers = _processes(processes, total)
        counts: Counter[str] = Counter()
        with progress.bar(_label(files), total) as advance:
            chunks = line_batches(files, LINES_PER_CHUNK, advance)
            if workers == 1:
                for chunk in chunks:
                    counts.update(splitter.count(chunk))
            else:
                global _worker
                import multiprocessing  # here: most runs split in the core and never need it

                forked = "fork" in multiprocessing.get_all_start_methods()
                context = multiprocessing.get_context("fork" if forked else None)
                _worker = splitter
                built = None if forked else splitter.splitting_json
                with context.Pool(workers, _start_worker, (built,)) as pool:
                    for part in pool.imap_unordered(_count_in_worker, chunks):
                        counts.update(part)
        return counts
    finally:
        for text in files:
            text.close()


def _add(counts: Counter[str], word: object, count: object, where: str) -> None:
    if not isinstance(word, str):
        raise CliError(f"{where}: the word is not a string")
    if isinstance(count, str):
        text = count.strip()
        try:
            count = int(text)
        except ValueError:
            raise CliError(f"{where}: the count {text!r} is not an integer") from None
    if not isinstance(count, int) or isinstance(count, bool) or count < 0:
        raise CliError(f"{where}: the count must be an integer of 0 or more, not {count!r}")
    counts[word] += count


def read_counts(path: str) -> Counter[str]:
    """The word counts of a .tsv(.gz/.xz) or .parquet file (see the module's notes)."""
    counts: Counter[str] = Counter()
    if path.rstrip("/" + os.sep).lower().endswith(".parquet"):
        _read_parquet_counts(path, counts)
    else:
        text = TextFile(path)
        try:
            first = True
            for number, line in text.numbered_lines(MAX_ROW_CHARS):
                word, tab, count = line.rpartition("\t")
                if not tab:
                    raise CliError(f"{path}: line {number}: expected a word, a tab and a count")
                if first and (word, count.strip()) == ("word", "count"):
                    first = False
                    continue
                first = False
                _add(counts, word, count, f"{path}: line {number}")
        finally:
            text.close()
    if not counts:
        raise CliError(f"{path}: no word counts")
    return counts


def _parquet_parts(path: str) -> list[str]:
    """The files of a Parquet count file: the file itself, or the data files of a
    directory as Spark and Ray write one (names starting "_" or "." are their bookkeeping)."""
    if not os.path.isdir(path):
        return [path]
    parts = sorted(os.path.join(path, name) for name in os.listdir(path)
                   if not name.startswith(("_", ".")) and os.path.isfile(os.path.join(path, name)))
    if not parts:
        raise CliError(f"{path}: a Parquet directory without data files")
    return parts


def _read_parquet_counts(path: str, counts: Counter[str]) -> None:
    parquet = _parquet(path, "reading")
    import pyarrow  # type: ignore[import-not-found, import-untyped, unused-ignore]

    # A batch at a time, so that memory follows the distinct words, not the rows.
    for part in _parquet_parts(path):
        row = 0
        try:
            with parquet.ParquetFile(part) as table:
                for batch in table.iter_batches(batch_size=PARQUET_BATCH_ROWS, columns=["word", "count"]):
                    for word, count in zip(batch.column("word").to_pylist(), batch.column("count").to_pylist()):
                        row += 1
                        _add(counts, word, count, f"{part}: row {row}")
        except (pyarrow.ArrowException, OSError, ValueError, KeyError, OverflowError) as exc:
            # Arrow's errors for a file it cannot read, and Python's for values it cannot convert.
            raise CliError(f"{part}: not a Parquet file of word counts (columns word, count): {exc}") from None


def gather_counts(
    tokenizer: TokenizerSource, paths: Sequence[str], progress: Progress | None = None, processes: int | None = None,
    reading: TextReading | None = None,
) -> Counter[str]:
    """The word counts of `paths` together: count files read as they are, texts counted.

    `reading` is a TextReading of the same paths, started earlier. Raises
    CliError when they hold no word at all.
    """
    if not paths:
        raise CliError("no text given")
    counts: Counter[str] = Counter()
    for path in paths:
        if is_counts_file(path):
            counts.update(read_counts(path))
    texts = [path for path in paths if not is_counts_file(path)]
    if texts:
        counted = count_text(tokenizer, texts, progress, processes, reading)
        if counts:
            counts.update(counted)
        else:
            counts = counted
    elif reading is not None:
        reading.close()
    if not counts:
        raise CliError(f"no words in {', '.join(paths)}")
    return counts


def check_counts_output(path: str) -> None:
    """Fail before any work when `path` cannot take word counts: a name without a
    count file's ending, a missing directory, or Parquet without pyarrow."""
    if not path.lower().endswith(COUNT_SUFFIXES):
        raise CliError(f"{path}: a count file's name ends in {', '.join(COUNT_SUFFIXES)}")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise CliError(f"{path}: no such directory")
    if os.path.isdir(path):
        raise CliError(f"{path} is a directory")
    if path.lower().endswith(".parquet"):
        _parquet(path, "writing")


def _parquet(path: str, doing: str) -> Any:
    try:
        import pyarrow.parquet as parquet  # type: ignore[import-not-found, import-untyped, unused-ignore]
    except ImportError:
        raise CliError(f"{path}: {doing} Parquet needs pyarrow: pip install pyarrow") from None
    return parquet


def most_frequent_first(counts: Mapping[str, int]) -> list[tuple[str, int]]:
    """The counts the most frequent first, equal ones in code point order of the word."""
    return sorted(counts.items(), key=lambda item: (-item[1], item[0]))


def write_counts(path: str, counts: Mapping[str, int]) -> None:
    """Write `counts`, the most frequent first, in the format the name's ending says
    (a TSV with its header, compressed for .gz and .xz, or Parquet).

    `path` is replaced only once the file is complete. CliError for a word that
    TSV cannot hold (one with a line break: the message suggests Parquet).
    """
    check_counts_output(path)
    rows = most_frequent_first(counts)
    temporary = f"{path}.{os.getpid()}.tmp"
    try:
        if path.lower().endswith(".parquet"):
            _write_parquet(temporary, path, rows)
        else:
            _write_tsv(temporary, path, rows)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def _write_tsv(temporary: str, path: str, rows: list[tuple[str, int]]) -> None:
    with open(temporary, "xb") as raw:
        packed: io.BufferedIOBase
        if path.lower().endswith(".gz"):
            # No name or time in the header: the same counts give the same bytes.
            packed = gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0)
        elif path.lower().endswith(".xz"):
            packed = lzma.LZMAFile(raw, "wb")
        else:
            packed = raw
        with io.TextIOWrapper(packed, encoding="utf-8", newline="\n", write_through=False) as out:
            out.write("word\tcount\n")
            for word, count in rows:
                if "\n" in word:  # a "\r" is read back as written; "\n" would end the row
                    raise CliError(f"{path}: the word {word!r} holds a line break and cannot be "
                                   "written as TSV; write .parquet instead")
                out.write(f"{word}\t{count}\n")


def _write_parquet(temporary: str, path: str, rows: list[tuple[str, int]]) -> None:
    parquet = _parquet(path, "writing")
    import pyarrow  # type: ignore[import-not-found, import-untyped, unused-ignore]

    largest = rows[0][1] if rows else 0
    table = pyarrow.table({
        "word": pyarrow.array([word for word, _ in rows], pyarrow.string()),
        "count": pyarrow.array([count for _, count in rows],
                               pyarrow.int64() if largest < 1 << 63 else pyarrow.uint64()),
    })
    parquet.write_table(table, temporary)
