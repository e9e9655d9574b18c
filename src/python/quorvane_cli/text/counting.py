"""`count`: the word counts that learning from text starts from, written to a file.

`quorvane count TOKENIZER --text FILE... -o COUNTS` counts the words of the
texts exactly as `extend`, `prune` and `adapt` would (`quorvane_cli.text.wordcount`),
and writes them the most frequent first as a count file those commands read
back (.tsv, .tsv.gz, .tsv.xz or .parquet): giving them the file or the text
makes the same tokenizer. With `--dask ADDRESS` the texts are counted on a
Dask cluster instead (`quorvane_cli.text.counting_dask`, imported only then).

`count_block` is the same counting for one share of a corpus, as a plain
function that any engine can call on its workers (a Spark `mapPartitions`, a
Ray `map_batches`); the shares' counts add up to the counts of the whole.
"""

from __future__ import annotations

import argparse
import functools
import time
from collections import Counter
from collections.abc import Iterable, Iterator, Mapping

import quorvane

from quorvane_cli.cli.errors import CliError, UsageError
from quorvane_cli.cli.output import Report
from quorvane_cli.cli.paths import tokenizer_file
from quorvane_cli.cli.progress import Progress
from quorvane_cli.text.wordcount import (
    ClientFallback, Splitter, TextReading, check_counts_output, check_texts, core_splitter, gather_counts,
    splitting_json, write_counts,
)

# How much text count_block hands the core at a time: large enough that the
# call costs nothing beside the splitting, small enough to add no memory to speak of.
BLOCK_BYTES = 1 << 20


class BlockCounter:
    """Counts the words of text as one tokenizer splits them, block by block.

    In the core when it reproduces the tokenizer's normalizer and
    pre-tokenizer (with the `tokenizers` package for the rare line it leaves),
    otherwise with the `tokenizers` package; on one thread, since an engine
    runs one such count per core. Made from the tokenizer's JSON, or from an
    editor (which only this counter's thread may edit meanwhile).
    """

    def __init__(self, tokenizer: str | quorvane.Quorvane) -> None:
        if isinstance(tokenizer, str):
            tokenizer = splitting_json(tokenizer)
        self._editor = core_splitter(tokenizer)
        self._splitter: Splitter | None = None
        if self._editor is None:
            self._splitter = Splitter(tokenizer if isinstance(tokenizer, str) else tokenizer.to_json())
        self._fallback = ClientFallback(self._editor) if self._editor is not None else None

    def count_bytes(self, blocks: Iterable[bytes]) -> dict[str, int]:
        """The counts of UTF-8 text given in blocks of whole lines, as `Quorvane.count_text`
        takes them (lines end at "\\n", a "\\r" before it is dropped, blank lines are skipped).

        UnicodeDecodeError for a block that is not UTF-8 (positions within that
        block); CliError for a line neither the core nor the client can split.
        """
        if self._editor is not None:
            try:
                return self._editor.count_text(blocks, None, 1, self._fallback)
            except UnicodeDecodeError:
                raise
            except ValueError as exc:
                raise CliError(str(exc)) from None
        return self.count_lines(block.decode("utf-8") for block in blocks)

    def count_lines(self, texts: Iterable[str]) -> dict[str, int]:
        """The counts of text given as str, each item one line or several: the
        same lines as count_bytes would take from the text's UTF-8 bytes."""
        if self._splitter is None:
            return self.count_bytes(_encoded(texts))
        counts: Counter[str] = Counter()
        for text in texts:
            for line in text.split("\n"):
                line = line.removesuffix("\r")
                if line and not line.isspace():
                    counts.update(self._splitter.words(line))
        return dict(counts)


def _encoded(texts: Iterable[str]) -> Iterator[bytes]:
    """The texts as UTF-8, joined by line breaks into blocks of about BLOCK_BYTES."""
    batch: list[str] = []
    size = 0
    for number, text in enumerate(texts, 1):
        batch.append(text)
        size += len(text)
        if size >= BLOCK_BYTES:
            yield _utf8(batch, number)
            batch, size = [], 0
    if batch:
        yield _utf8(batch, 0)


def _utf8(batch: list[str], number: int) -> bytes:
    try:
        return ("\n".join(batch) + "\n").encode()
    except UnicodeEncodeError as exc:  # a lone surrogate: text that was never UTF-8
        where = f"one of lines {number - len(batch) + 1}..{number}" if number else "one of the last lines"
        raise CliError(f"{where} is not text that UTF-8 can hold ({exc.reason})") from None


@functools.lru_cache(maxsize=2)
def _counter_for(tokenizer_json: str) -> BlockCounter:
    return BlockCounter(tokenizer_json)


def count_block(tokenizer_json: str, lines: Iterable[str]) -> dict[str, int]:
    """The word counts of one block of a corpus, as `quorvane count` and the
    learning commands count them.

    A plain function for an engine's workers: a Spark job calls it in
    `mapPartitions`, a Ray job in `map_batches`, each on its share of the
    lines, and sums the counts by word; the sum is what counting the whole
    corpus on one machine gives, ready for a count file.

    Args:
        tokenizer_json: The tokenizer.json text. Only its normalizer and
            pre-tokenizer are used; the counter made from them is kept for the
            next call with the same text, so a worker parses it once.
        lines: Lines of UTF-8 text, with or without their line endings; an item
            holding line breaks counts as the lines it holds, and lines that
            are empty or white space only are skipped, as when reading a file.
            (A file's leading byte-order mark is not text: drop it, as reading
            a file does.)

    Returns:
        Word (in the model's alphabet) to occurrences.

    Raises:
        CliError: the tokenizer is not JSON, or needs the `tokenizers` package
            to split its text and it is missing, or a line cannot be split or
            holds a lone surrogate (text that never was UTF-8).
    """
    return _counter_for(tokenizer_json).count_lines(lines)


def run_count(args: argparse.Namespace, progress: Progress) -> Report:
    """Count the words of --text as the tokenizer splits them and write them to -o."""
    started = time.perf_counter()
    output: str = args.output
    texts: list[str] = args.text
    cluster: str | None = args.dask
    if cluster is None and (args.workers is not None or args.block_size is not None):
        raise UsageError("--workers and --block-size go with --dask")
    if args.workers == 0:
        raise UsageError("--workers must be at least 1")
    if cluster is not None and args.workers is not None and cluster != "local":
        raise UsageError("--workers starts that many local worker processes: it goes with --dask local")
    check_counts_output(output)
    if cluster is None:
        check_texts(texts, "--text")
        with TextReading(texts) as reading:  # reads ahead while the tokenizer loads
            editor = _open(args.tokenizer, progress)
            counts = gather_counts(editor, texts, progress, reading=reading)
        words, distinct = sum(counts.values()), len(counts)
        kept: Mapping[str, int] = counts
        if args.min_count > 1:
            kept = {word: n for word, n in counts.items() if n >= args.min_count}
    else:
        from quorvane_cli.text import counting_dask

        editor = _open(args.tokenizer, progress)
        counted = counting_dask.count(
            editor, texts, cluster, progress, workers=args.workers, block_size=args.block_size,
            min_count=args.min_count,
        )
        kept, words, distinct = counted.counts, counted.words, counted.distinct
    progress.phase(f"writing {len(kept)} words to {output}")
    write_counts(output, kept)
    data: dict[str, object] = {
        "input": args.tokenizer,
        "texts": texts,
        "output": output,
        "words": words,
        "distinct_words": distinct,
        "written": len(kept),
        "min_count": args.min_count,
        "cluster": cluster,
        "seconds": round(time.perf_counter() - started, 3),
    }
    some = f"the {len(kept)} seen at least {args.min_count} times" if len(kept) < distinct else "them all"
    where = f" on the Dask cluster {cluster}" if cluster is not None else ""
    lines = [f"counted {words} words, {distinct} distinct, in {len(texts)} "
             f"file{'s' if len(texts) != 1 else ''}{where}; wrote {some} to {output}"]
    return Report(data, lines)


def _open(tokenizer: str, progress: Progress) -> quorvane.Quorvane:
    progress.phase(f"reading {tokenizer}")
    return quorvane.Quorvane(tokenizer_file(tokenizer))
