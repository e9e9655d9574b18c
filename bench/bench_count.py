"""Counting a corpus's words: on this machine against `quorvane count --dask local`.

    python bench/bench_count.py [--size MB] [--workers N] [--block-size MB] [--tokenizer NAME]
                                [--corpus-dir DIR] [--text-dir DIR]

The four texts of ../shared/text, one after the other, repeated to --size
megabytes (default 200) in one plain file under the system temp dir, counted
as the tokenizer (default qwen3, from ../shared/corpus) splits them:

  local one thread  count_text on one thread: the rate of one core, which the
                    scaling model of the guide is built on
  local             count_text on every core (threads in one process): what
                    `quorvane count` without --dask does (the baseline)
  dask              the counting of `quorvane count --dask local --workers N`
                    (N worker processes of one thread, parts of --block-size
                    MB, added up on the cluster), on a cluster started
                    beforehand; starting it is timed apart
  ratio             dask / local (on two cores the cluster cannot be faster:
                    the figure is what its plumbing costs)

Then the model: words and megabytes counted a second per core, and what one
part ships: the task sent to a worker (the file range and the tokenizer's
splitting steps, pickled) and the counts it sends back (pickled), against the
part's size.

Answer check: the three counts are identical, word for word, and the
Dask total of words and distinct words match them; a mismatch exits with 1.
"""

from __future__ import annotations

import argparse
import logging
import os
import pickle
import sys
import tempfile
import time
from pathlib import Path

sys.dont_write_bytecode = True  # the benchmark leaves nothing in the tree

import quorvane  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_io import DEFAULT_CORPUS, MB, unpack  # noqa: E402

from quorvane_cli.text import counting_dask  # noqa: E402
from quorvane_cli.cli.progress import Progress  # noqa: E402
from quorvane_cli.text.wordcount import count_text  # noqa: E402

DEFAULT_TEXT = DEFAULT_CORPUS.parent / "text"
TEXTS = ("cs-train", "cs-heldout", "pl-train", "pl-heldout")


def corpus_file(text_dir: Path, size: int) -> Path:
    """The shared texts repeated to at least `size` bytes, in one plain file (kept for the next run)."""
    path = Path(tempfile.gettempdir()) / f"quorvane-bench-count-{size // MB}MB.txt"
    if path.exists() and path.stat().st_size >= size:
        return path
    data = b"".join(unpack(text_dir / f"{name}.txt.xz").read_bytes() for name in TEXTS)
    partial = path.with_suffix(f".tmp{os.getpid()}")
    with open(partial, "wb") as out:
        written = 0
        while written < size:
            out.write(data)
            written += len(data)
    partial.replace(path)
    return path


def timed(what: str, run):  # type: ignore[no-untyped-def]
    started = time.perf_counter()
    result = run()
    seconds = time.perf_counter() - started
    print(f"  {what:<18} {seconds:8.2f} s", flush=True)
    return result, seconds


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=200, help="megabytes of text (default 200)")
    parser.add_argument("--workers", type=int, default=2, help="Dask worker processes (default 2)")
    parser.add_argument("--block-size", type=int, default=counting_dask.BLOCK_SIZE // MB,
                        help=f"megabytes per part (default {counting_dask.BLOCK_SIZE // MB})")
    parser.add_argument("--tokenizer", default="qwen3", help="a tokenizer of the corpus directory (default qwen3)")
    parser.add_argument("--corpus-dir", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--text-dir", type=Path, default=DEFAULT_TEXT)
    args = parser.parse_args()

    import distributed

    text = corpus_file(args.text_dir, args.size * MB)
    size = text.stat().st_size
    editor = quorvane.Quorvane(str(unpack(args.corpus_dir / f"{args.tokenizer}.json.xz")))
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    print(f"quorvane {quorvane.__version__}, dask {distributed.__version__}, Python {sys.version.split()[0]}, "
          f"{cores} cores; {args.tokenizer} on {size / MB:.0f} MB of text ({text.name})")

    single, single_seconds = timed("local one thread", lambda: count_text(editor, [str(text)], processes=1))
    local, local_seconds = timed("local", lambda: count_text(editor, [str(text)]))
    block = args.block_size * MB
    cluster, start_seconds = timed(
        f"dask start ({args.workers})",
        lambda: distributed.LocalCluster(
            n_workers=args.workers, threads_per_worker=1, processes=True, silence_logs=logging.CRITICAL,
            dashboard_address=None, scheduler_kwargs={"dashboard_address": ":0"}),
    )
    try:
        total, dask_seconds = timed("dask", lambda: counting_dask.count(
            editor, [str(text)], cluster.scheduler_address, Progress(False), block_size=block))
    finally:
        cluster.close()

    words = sum(local.values())
    failures = []
    if single != local:
        failures.append("one thread and every core count differently")
    if total.counts != local or (total.words, total.distinct) != (words, len(local)):
        failures.append("Dask's counts differ from the local ones")

    print(f"\n  {words:,} words, {len(local):,} distinct")
    print(f"  ratio dask / local: {dask_seconds / local_seconds:.2f}x "
          f"(with the cluster's start: {(dask_seconds + start_seconds) / local_seconds:.2f}x)")

    # The model: one core's rate, and what a part costs to ship.
    parts = counting_dask.plan([str(text)], block)
    splitter = counting_dask.splitting_editor(editor)
    task = len(pickle.dumps((splitter, parts[0])))
    tally = counting_dask.count_part(splitter, parts[0])
    back = len(pickle.dumps(tally))
    part_mb = (parts[0].stop or size) / MB
    print(f"\n  one core: {words / single_seconds / 1e6:.2f} M words/s, {size / MB / single_seconds:.1f} MB/s")
    print(f"  every core ({cores}): {words / local_seconds / 1e6:.2f} M words/s, {size / MB / local_seconds:.1f} MB/s")
    print(f"  {len(parts)} parts of {part_mb:.0f} MB: a task ships {task} bytes out and "
          f"{back / MB:.2f} MB of counts back ({len(tally.counts):,} distinct words, "
          f"{back / (part_mb * MB):.1%} of the part)")
    print(f"  Dask's rate: {size / MB / dask_seconds:.1f} MB/s on {args.workers} workers")
    if failures:
        for failure in failures:
            print(f"FAILED: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
