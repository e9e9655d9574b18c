"""Reading the user's text: plain, .xz or .gz files of UTF-8 lines."""

from __future__ import annotations

import codecs
import gzip
import io
import itertools
import lzma
import os
from collections.abc import Callable, Iterator, Sequence

from quorvane_cli.errors import CliError

READ_SIZE = 1 << 16  # small enough for a progress bar to follow the reading closely


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
            except (OSError, EOFError, lzma.LZMAError) as exc:
                raise CliError(f"{self.path}: not a valid {self._compressed} file: {exc}") from None
            if not chunk:
                return
            yield chunk

    def documents(self) -> Iterator[str]:
        """The non-blank lines, without their line endings; a leading byte-order mark is dropped.

        CliError names the byte offset (in the decompressed text) of bytes that are not UTF-8.
        """
        decoder = codecs.getincrementaldecoder("utf-8")()
        fed = 0  # bytes handed to the decoder so far
        pending = ""
        first = True
        found = False
        for chunk in itertools.chain(self._chunks(), [b""]):
            held = len(decoder.getstate()[0])
            try:
                text = decoder.decode(chunk, final=not chunk)
            except UnicodeDecodeError as exc:
                where = fed - held + exc.start
                of = " of the decompressed text" if self._compressed else ""
                raise CliError(f"{self.path}: not UTF-8 ({exc.reason} at byte {where}{of})") from None
            fed += len(chunk)
            if first and text:
                text = text.removeprefix("\ufeff")
                first = False
            lines = (pending + text).split("\n")
            pending = lines.pop() if chunk else ""
            for line in lines:
                line = line.removesuffix("\r")
                if line and not line.isspace():
                    found = True
                    yield line
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
