"""Reading the user's text: plain, .xz or .gz files of UTF-8 lines."""

from __future__ import annotations

import codecs
import gzip
import io
import itertools
import lzma
import os
import queue
import threading
import zlib
from collections.abc import Callable, Iterator, Sequence

from quorvane_cli.cli.errors import CliError

READ_SIZE = 1 << 16  # small enough for a progress bar to follow the reading closely
BLOCK_SIZE = 1 << 19  # what blocks() reads at a time: the core splits one while the next is read
BOM = "\ufeff".encode()


class TextFile:
    """One text, opened at once so that a missing file fails before any work.

    `position` is how far into the file on disk reading has got (the compressed
    bytes for .xz and .gz), which is what the progress bar counts.
    """

    def __init__(self, path: str) -> None:
        self.path = path
        self._raw = open(path, "rb")
        self.size = os.fstat(self._raw.fileno()).st_size
        self._stream: io.BufferedIOBase
        if path.endswith(".xz"):
            self._stream = lzma.LZMAFile(self._raw)
            self._compressed = "xz"
        elif path.endswith(".gz"):
            self._stream = gzip.GzipFile(fileobj=self._raw, mode="rb")
            self._compressed = "gzip"
        else:
            self._stream = self._raw
            self._compressed = ""

    @property
    def position(self) -> int:
        return self._raw.tell()

    def close(self) -> None:
        try:
            self._stream.close()
        finally:
            self._raw.close()

    def _chunks(self) -> Iterator[bytes]:
        while True:
            try:
                chunk = self._stream.read(READ_SIZE)
            except (OSError, EOFError, lzma.LZMAError, zlib.error) as exc:
                raise CliError(f"{self.path}: not a valid {self._compressed} file: {exc}") from None
            if not chunk:
                return
            yield chunk

    def blocks(self) -> Iterator[tuple[bytes, int]]:
        """The text as bytes, in blocks of whole lines, each with the offset of its
        first byte in the (decompressed) text; a leading byte-order mark is dropped.

        Each block but the last ends with a line break. The bytes are not checked
        to be UTF-8 (`not_utf8` words the error of a block that is not). CliError
        when no line holds anything but white space, once the whole text is read.
        """
        pending: list[bytes] = []  # the start of a line that goes on in the next read
        offset = 0  # of the next block's first byte
        first = True
        found = False
        while True:
            try:
                data = self._stream.read(BLOCK_SIZE)
            except (OSError, EOFError, lzma.LZMAError, zlib.error) as exc:
                raise CliError(f"{self.path}: not a valid {self._compressed} file: {exc}") from None
            if first and data.startswith(BOM):
                data = data[len(BOM):]
                offset = len(BOM)
            first = False
            if data:
                end = data.rfind(b"\n") + 1
                if end == 0:  # no line break yet: a long line goes on
                    pending.append(data)
                    continue
                block = b"".join([*pending, data[:end]]) if pending else data[:end]
                pending = [data[end:]] if end < len(data) else []
            else:
                block = b"".join(pending)
            if block:
                # Any character that is not white space makes a line count.
                found = found or bool(block.decode("utf-8", "replace").strip())
                yield block, offset
                offset += len(block)
            if not data:
                break
        if not found:
            raise CliError(f"{self.path}: no text (every line is blank)")

    def not_utf8(self, error: UnicodeDecodeError, offset: int) -> CliError:
        """The error for bytes that are not UTF-8, `error` raised on a block
        that starts at `offset` of the text."""
        of = " of the decompressed text" if self._compressed else ""
        return CliError(f"{self.path}: not UTF-8 ({error.reason} at byte {offset + error.start}{of})")

    def documents(self) -> Iterator[str]:
        """The non-blank lines, without their line endings; a leading byte-order mark is dropped.

        CliError names the byte offset (in the decompressed text) of bytes that are not UTF-8.
        """
        for _, line in self.numbered_lines():
            yield line

    def numbered_lines(self, max_length: int | None = None) -> Iterator[tuple[int, str]]:
        """The non-blank lines as `documents`, each with its line number in the file.

        CliError for a line of more than `max_length` characters, once that many are read.
        """
        decoder = codecs.getincrementaldecoder("utf-8")()
        fed = 0  # bytes handed to the decoder so far
        pending: list[str] = []  # the start of a line that goes on in the next chunk
        pending_length = 0
        number = 0
        first = True
        found = False
        for chunk in itertools.chain(self._chunks(), [b""]):
            held = len(decoder.getstate()[0])
            try:
                text = decoder.decode(chunk, final=not chunk)
            except UnicodeDecodeError as exc:
                raise self.not_utf8(exc, fed - held) from None
            fed += len(chunk)
            if first and text:
                text = text.removeprefix("\ufeff")
                first = False
            lines = text.split("\n")
            if len(lines) == 1 and chunk:
                # No line ends here: keep the piece rather than copy the line so far again.
                pending.append(text)
                pending_length += len(text)
                if max_length is not None and pending_length > max_length:
                    raise CliError(f"{self.path}: line {number + 1} is longer than {max_length} characters")
                continue
            if pending:
                lines[0] = "".join([*pending, lines[0]])
                pending, pending_length = [], 0
            if chunk:
                pending = [lines.pop()]
                pending_length = len(pending[0])
            for line in lines:
                number += 1
                line = line.removesuffix("\r")
                if max_length is not None and len(line) > max_length:
                    raise CliError(f"{self.path}: line {number} is longer than {max_length} characters")
                if line and not line.isspace():
                    found = True
                    yield number, line
        if not found:
            raise CliError(f"{self.path}: no text (every line is blank)")


def line_batches(texts: Sequence[TextFile], size: int, advance: Callable[[int], None]) -> Iterator[list[str]]:
    """The documents of every text in order, `size` at a time; `advance` is told
    how many bytes on disk have been read after each batch."""
    done = 0
    batch: list[str] = []
    for text in texts:
        for document in text.documents():
            batch.append(document)
            if len(batch) == size:
                yield batch
                batch = []
                advance(done + text.position)
        done += text.size
    if batch:
        yield batch
    advance(done)


# A block of whole lines read from a text: its bytes, the text, its offset
# there, and how many bytes on disk have been read after it.
Block = tuple[bytes, TextFile, int, int]


class ReadAhead:
    """The blocks of an iterator, produced on a thread of its own up to `depth`
    ahead of the consumer, so that reading (decompression lets other threads
    run) overlaps with what is done with each block. An exception of the
    producer is raised to the consumer in its place. close() stops the thread;
    use it as a context manager."""

    _END = object()

    def __init__(self, items: Iterator[Block], depth: int = 2) -> None:
        self._queue: queue.Queue[tuple[object, BaseException | None]] = queue.Queue(maxsize=depth)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._produce, args=(items,), name="quorvane-read", daemon=True)
        self._thread.start()

    def _put(self, item: tuple[object, BaseException | None]) -> bool:
        while not self._stop.is_set():
            try:
                self._queue.put(item, timeout=0.1)
                return True
            except queue.Full:
                continue
        return False

    def _produce(self, items: Iterator[Block]) -> None:
        try:
            for item in items:
                if not self._put((item, None)):
                    return
        except BaseException as exc:  # handed to the consumer, raised there
            self._put((None, exc))
            return
        self._put((self._END, None))

    def __iter__(self) -> Iterator[Block]:
        while True:
            item, error = self._queue.get()
            if error is not None:
                raise error
            if item is self._END:
                return
            yield item  # type: ignore[misc]

    def close(self) -> None:
        self._stop.set()
        self._thread.join()

    def __enter__(self) -> ReadAhead:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
