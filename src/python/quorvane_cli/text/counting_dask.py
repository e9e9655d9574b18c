"""Counting words on a Dask cluster: `quorvane count --dask ADDRESS`.

The client plans and ships little. It cuts every plain text into parts of
`block_size` bytes and takes every compressed one (.xz, .gz) whole, and sends
each part to a worker as a task that names the file and the byte range, with
the tokenizer's splitting steps as a small editor (`Quorvane` pickles as its
JSON text). A worker reads its part itself, so the texts must be readable at
the same path on every worker (a shared file system, or a URL that fsspec
opens there), and counts it in the core (`counting.BlockCounter`). A part
holds the lines whose first byte lies in its range: it skips the line it
starts inside and finishes the one it ends inside, so that every line is
counted once, by one part.

The parts' counts are added up on the cluster, a few at a time in a tree,
and only the total comes back, with the words under --min-count already
dropped: the client never holds more than the words it writes. A worker that
dies has its tasks run again by the scheduler from the same file ranges, which
gives the same counts; a task that keeps killing workers (the scheduler's
`allowed-failures`) fails the command. Either way no count is ever smaller
than the text's.
"""

from __future__ import annotations

import contextlib
import gzip
import importlib
import io
import logging
import lzma
import os
import uuid
from collections.abc import Iterator, Sequence
from typing import Any, NamedTuple

import quorvane

from quorvane_cli.text.counting import BlockCounter
from quorvane_cli.cli.errors import CliError
from quorvane_cli.cli.progress import Progress
from quorvane_cli.text.wordcount import is_counts_file, read_counts, splitting_json

MISSING_DASK = "--dask needs Dask: pip install 'quorvane[dask]'"
BLOCK_SIZE = 64 << 20  # bytes of plain text per task
READ_SIZE = 1 << 20  # what a worker reads at a time
FAN_IN = 8  # counts added up by one task of the tree
BOM = "\ufeff".encode()


class Part(NamedTuple):
    """One task's share of the texts: the lines whose first byte lies in
    [start, stop) of text number `text` (to its end when `stop` is None)."""

    text: int
    name: str  # as the user gave it, for messages
    fs: Any  # the fsspec file system that opens `path` on a worker
    path: str
    start: int
    stop: int | None
    compression: str  # "", "xz" or "gzip"

    @property
    def where(self) -> str:
        if self.stop is None:
            return self.name
        return f"{self.name} (bytes {self.start}..{self.stop})"


class Tally(NamedTuple):
    """Counts added up so far, and which texts held a line that is not blank."""

    counts: dict[str, int]
    texts: frozenset[int]


class Total(NamedTuple):
    """What the tree's root hands back: the counts kept, and all the words and
    distinct words counted before --min-count dropped any."""

    counts: dict[str, int]
    words: int
    distinct: int
    texts: frozenset[int]


# ------------------------------------------------------------------ workers

class _Reader:
    """The blocks of whole lines of one part, read from its file."""

    def __init__(self, part: Part, stream: io.BufferedIOBase, read_size: int) -> None:
        self.part = part
        self.stream = stream
        self.read_size = read_size
        self.found = False  # a line that is not blank went by
        self.at = part.start  # offset in the (decompressed) text of the block last handed out

    def _read(self) -> bytes:
        try:
            return self.stream.read(self.read_size)
        except (OSError, EOFError, lzma.LZMAError) as exc:
            if not self.part.compression:
                raise
            raise CliError(f"{self.part.name}: not a valid {self.part.compression} file: {exc}") from None

    def _first_line(self) -> int:
        """The offset of the first line starting at or after the part's start."""
        start = self.part.start
        if start == 0:
            return 0
        self.stream.seek(start - 1)
        offset = start - 1
        while data := self._read():
            end = data.find(b"\n")
            if end != -1:
                self.stream.seek(offset + end + 1)
                return offset + end + 1
            offset += len(data)
        return offset

    def blocks(self) -> Iterator[bytes]:
        stop = self.part.stop
        offset = self._first_line()
        if stop is not None and offset >= stop:  # the part lies inside one line, counted by an earlier part
            return
        buffer = bytearray()
        if offset == 0:  # a leading byte-order mark is not text
            while len(buffer) < len(BOM) and (data := self._read()):
                buffer += data
            if buffer.startswith(BOM):
                del buffer[:len(BOM)]
                offset = len(BOM)
        while True:
            if stop is not None and offset + len(buffer) >= stop:
                # The last line is the one holding byte stop - 1; it ends at the next line break.
                end = buffer.find(b"\n", max(stop - 1 - offset, 0))
                if end != -1:
                    yield self._handed(bytes(buffer[:end + 1]), offset)
                    return
            end = buffer.rfind(b"\n") + 1
            if end:
                yield self._handed(bytes(buffer[:end]), offset)
                offset += end
                del buffer[:end]
            data = self._read()
            if not data:
                if buffer:
                    yield self._handed(bytes(buffer), offset)
                return
            buffer += data

    def _handed(self, block: bytes, offset: int) -> bytes:
        self.at = offset
        # Any character that is not white space makes a line count.
        self.found = self.found or bool(block.decode("utf-8", "replace").strip())
        return block

    def not_utf8(self, error: UnicodeDecodeError) -> CliError:
        of = " of the decompressed text" if self.part.compression else ""
        return CliError(f"{self.part.name}: not UTF-8 ({error.reason} at byte {self.at + error.start}{of})")


@contextlib.contextmanager
def _opened(part: Part) -> Iterator[io.BufferedIOBase]:
    try:
        raw = part.fs.open(part.path, "rb")
    except OSError as exc:
        raise CliError(f"{part.name}: a worker cannot read it ({exc}); every worker must see the texts "
                       "at the same path") from None
    with raw:
        if part.compression == "xz":
            with lzma.LZMAFile(raw) as unpacked:
                yield unpacked
        elif part.compression == "gzip":
            with gzip.GzipFile(fileobj=raw, mode="rb") as unpacked:
                yield unpacked
        else:
            yield raw


def count_part(tokenizer: str | quorvane.Quorvane, part: Part, read_size: int = READ_SIZE) -> Tally:
    """The task run on a worker: the counts of one part of the texts."""
    counter = BlockCounter(tokenizer)
    with _opened(part) as stream:
        reader = _Reader(part, stream, read_size)
        try:
            counts = counter.count_bytes(reader.blocks())
        except UnicodeDecodeError as exc:
            raise reader.not_utf8(exc) from None
    return Tally(counts, frozenset([part.text]) if reader.found else frozenset())


def add_up(*tallies: Tally) -> Tally:
    """A task of the tree: several parts' counts added up (into a new dict: a
    task's inputs may be needed again when another task is rerun)."""
    largest = max(tallies, key=lambda tally: len(tally.counts))
    counts = dict(largest.counts)
    for tally in tallies:
        if tally is not largest:
            for word, n in tally.counts.items():
                counts[word] = counts.get(word, 0) + n
    return Tally(counts, frozenset().union(*(tally.texts for tally in tallies)))


def total(*tallies: Tally, min_count: int = 1) -> Total:
    """The tree's root: every count added up, those under `min_count` dropped."""
    tally = add_up(*tallies)
    words = sum(tally.counts.values())
    kept = tally.counts if min_count <= 1 else {w: n for w, n in tally.counts.items() if n >= min_count}
    return Total(kept, words, len(tally.counts), tally.texts)


def version() -> str:
    """The quorvane a worker runs, which must be the client's: it decides how text is split."""
    return quorvane.__version__


# ------------------------------------------------------------------- client

def _compression(path: str) -> str:
    lowered = path.lower()
    return "xz" if lowered.endswith(".xz") else "gzip" if lowered.endswith(".gz") else ""


def plan(paths: Sequence[str], block_size: int) -> list[Part]:
    """The parts of the texts: plain ones cut every `block_size` bytes, compressed ones whole.

    CliError for a text that does not exist (seen from this machine).
    """
    from fsspec.core import url_to_fs  # type: ignore[import-untyped, unused-ignore]

    parts: list[Part] = []
    for number, name in enumerate(paths):
        try:
            fs, path = url_to_fs(name)
            size = fs.size(path) if fs.isfile(path) else None
        except (OSError, ValueError, ImportError) as exc:
            raise CliError(f"--text {name}: {exc}") from None
        if size is None:
            raise CliError(f"--text {name}: no such file")
        compression = _compression(name)
        if compression or size == 0:
            parts.append(Part(number, name, fs, path, 0, None, compression))
            continue
        for start in range(0, size, block_size):
            parts.append(Part(number, name, fs, path, start, min(start + block_size, size), compression))
    return parts


def _part_bytes(part: Part) -> int:
    """The bytes on disk a part stands for, which the progress bar counts."""
    if part.stop is not None:
        return part.stop - part.start
    return int(part.fs.size(part.path))


class _Cluster:
    """The client of a scheduler at `address`, or of a local cluster of worker
    processes started for this command (`local`) and stopped with it."""

    def __init__(self, address: str, workers: int | None, progress: Progress) -> None:
        distributed = _distributed()
        # The command reports failures itself; the library's log lines would only repeat them.
        self._logger = logging.getLogger("distributed")
        self._level = self._logger.level
        self._logger.setLevel(logging.CRITICAL + 1)
        self.cluster: Any = None
        self.client: Any = None
        try:
            if address == "local":
                count = workers or _cores()
                progress.phase(f"starting a local Dask cluster of {count} worker processes")
                self.cluster = distributed.LocalCluster(
                    n_workers=count, threads_per_worker=1, processes=True, silence_logs=logging.CRITICAL,
                    # No dashboard, and the scheduler's few web pages on any free port.
                    dashboard_address=None, scheduler_kwargs={"dashboard_address": ":0"},
                )
                self.client = distributed.Client(self.cluster)
            else:
                progress.phase(f"connecting to the Dask scheduler at {address}")
                self.client = distributed.Client(address)  # waits as long as the Dask configuration says
        except Exception as exc:
            self.close()
            raise CliError(f"--dask {address}: cannot start or reach the cluster: {exc}") from None

    def close(self) -> None:
        with contextlib.suppress(Exception):
            if self.client is not None:
                self.client.close()
        with contextlib.suppress(Exception):
            if self.cluster is not None:
                self.cluster.close()
        self._logger.setLevel(self._level)

    def __enter__(self) -> _Cluster:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _distributed() -> Any:
    """The `distributed` package (its API is untyped: reached through Any)."""
    try:
        return importlib.import_module("distributed")
    except ImportError:
        raise CliError(MISSING_DASK) from None


def _cores() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # not on Linux
        return max(1, os.cpu_count() or 1)


def _check_versions(client: Any) -> None:
    try:
        versions: dict[str, str] = client.run(version)
    except Exception as exc:
        raise CliError(f"the Dask workers cannot run quorvane ({type(exc).__name__}: {exc}); "
                       "install it where they run") from None
    if not versions:
        raise CliError("the Dask cluster has no workers")
    other = {worker: v for worker, v in versions.items() if v != quorvane.__version__}
    if other:
        worker, theirs = next(iter(other.items()))
        raise CliError(f"the Dask worker {worker} runs quorvane {theirs}, this machine {quorvane.__version__}: "
                       "they may split text differently")


def splitting_editor(editor: quorvane.Quorvane) -> str | quorvane.Quorvane:
    """What each task gets to split text with: an editor of the tokenizer's
    splitting steps only (a few hundred bytes pickled), or their JSON."""
    document = splitting_json(editor.to_json())
    try:
        return quorvane.Quorvane.from_json(document)
    except ValueError:
        return document


def count(
    editor: quorvane.Quorvane, paths: Sequence[str], address: str, progress: Progress, *,
    workers: int | None = None, block_size: int | None = None, min_count: int = 1,
    read_size: int = READ_SIZE,
) -> Total:
    """Count the words of `paths` (texts, and count files, which are read here)
    on the Dask cluster at `address` (`local`: `workers` local processes).

    Returns the counts of at least `min_count`, with the totals of all.
    CliError for a text that is missing, empty or not UTF-8, a cluster that
    cannot be reached or whose workers run another quorvane, and a part whose
    worker kept dying; nothing is returned then.
    """
    counted_here = [path for path in paths if is_counts_file(path)]
    texts = [path for path in paths if not is_counts_file(path)]
    parts = plan(texts, block_size or BLOCK_SIZE)
    splitter = splitting_editor(editor)
    # Count files are added in on the cluster, so that the words they hold
    # are kept or dropped by --min-count with the rest.
    extra = [Tally(dict(read_counts(path)), frozenset()) for path in counted_here]
    with _Cluster(address, workers, progress) as cluster:
        _check_versions(cluster.client)
        result = _run(cluster.client, splitter, parts, extra, progress, min_count, read_size)
    missing = [texts[i] for i in range(len(texts)) if i not in result.texts]
    if missing:
        raise CliError(f"{missing[0]}: no text (every line is blank)")
    if not result.distinct:
        raise CliError(f"no words in {', '.join(paths)}")
    return result


def _run(
    client: Any, splitter: str | quorvane.Quorvane, parts: list[Part], extra: list[Tally],
    progress: Progress, min_count: int, read_size: int,
) -> Total:
    distributed = _distributed()
    run = uuid.uuid4().hex[:12]
    keys = {f"quorvane-count-{run}-{i}": part for i, part in enumerate(parts)}
    sizes = {key: _part_bytes(part) for key, part in keys.items()}
    submitted: list[Any] = []
    try:
        leaves = [client.submit(count_part, splitter, part, read_size, key=key, pure=False)
                  for key, part in keys.items()]
        submitted += leaves
        level: list[Any] = [*leaves, *extra]
        step = 0
        while len(level) > FAN_IN:
            step += 1
            level = [client.submit(add_up, *level[i:i + FAN_IN], key=f"quorvane-add-{run}-{step}-{i}", pure=False)
                     for i in range(0, len(level), FAN_IN)]
            submitted += level
        root = client.submit(total, *level, min_count=min_count, key=f"quorvane-total-{run}", pure=False)
        submitted.append(root)
        done = 0
        label = f"counting {len(parts)} parts of {len(set(part.text for part in parts))} texts on the cluster"
        with progress.bar(label, sum(sizes.values())) as advance:
            for leaf in distributed.as_completed(leaves):
                if leaf.status == "error":
                    leaf.result()  # raises the task's exception here
                done += sizes[leaf.key]
                advance(done)
        progress.phase("adding up the counts on the cluster")
        result: Total = root.result()
        return result
    except BaseException as exc:
        # The rest is of no use now: stop it before the client goes away, so
        # that no worker reports to a client that is gone.
        with contextlib.suppress(Exception):
            client.cancel(submitted)
        if isinstance(exc, CliError) or not isinstance(exc, Exception):
            raise
        raise _failure(exc, keys, distributed.KilledWorker) from None


def _failure(exc: Exception, keys: dict[str, Part], killed_worker: type[Exception]) -> CliError:
    """The error the command reports for what went wrong on the cluster."""
    if isinstance(exc, killed_worker):
        part = keys.get(str(getattr(exc, "task", "")))
        what = part.where if part is not None else "adding up the counts"
        times = getattr(exc, "allowed_failures", 0) + 1
        return CliError(f"{what}: a Dask worker died counting it, {times} time{'s' if times > 1 else ''} in all, "
                        "more than the scheduler allows (distributed.scheduler.allowed-failures); nothing written")
    return CliError(f"the Dask cluster failed: {type(exc).__name__}: {exc}; nothing written")
