"""The safetensors container, read and rewritten by byte ranges.

    <u64 little-endian N> <N bytes of JSON header> <data>

The header maps each tensor name to {"dtype", "shape", "data_offsets": [begin,
end]}, offsets relative to the start of the data, and may hold a
"__metadata__" object of strings. `read_header` checks what a rewrite relies
on: the tensors tile the data exactly (no hole, no overlap, nothing after the
last one) and each known dtype's size matches its shape.

`rewrite` writes a copy in which some tensors get a new shape and bytes from a
callback, and every other tensor's bytes are copied unread, kernel to kernel
where the system allows. Header keys keep their order; `__metadata__` is kept
as it was. Memory stays at a copy buffer plus what the callbacks hold.
"""

from __future__ import annotations

import json
import math
import os
import struct
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import BinaryIO

from quorvane_cli.cli.errors import CliError

# Bytes per element; sub-byte float types are absent, so their sizes go unchecked.
DTYPE_SIZES = {
    "BOOL": 1, "U8": 1, "I8": 1, "F8_E5M2": 1, "F8_E4M3": 1, "F8_E8M0": 1,
    "I16": 2, "U16": 2, "F16": 2, "BF16": 2,
    "I32": 4, "U32": 4, "F32": 4,
    "I64": 8, "U64": 8, "F64": 8,
}
MAX_HEADER = 100 << 20  # the limit the safetensors package itself enforces
COPY_CHUNK = 16 << 20


@dataclass(frozen=True)
class Tensor:
    name: str
    dtype: str
    shape: tuple[int, ...]
    begin: int  # offsets relative to the data section
    end: int

    @property
    def nbytes(self) -> int:
        return self.end - self.begin


@dataclass(frozen=True)
class Header:
    path: str
    raw: dict[str, object]  # the parsed header, key order as in the file
    tensors: dict[str, Tensor]
    data_start: int  # file offset of the data section

    def offset(self, tensor: Tensor) -> int:
        """File offset of `tensor`'s first byte."""
        return self.data_start + tensor.begin


def _no_duplicates(pairs: list[tuple[str, object]]) -> dict[str, object]:
    result: dict[str, object] = {}
    for key, value in pairs:
        if key in result:
            raise ValueError(f"key {key!r} appears twice")
        result[key] = value
    return result


def _bad(path: str, why: str) -> CliError:
    return CliError(f"{path}: not a valid safetensors file: {why}")


def read_header(path: str) -> Header:
    """The checked header of the safetensors file `path`."""
    with open(path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        prefix = file.read(8)
        if len(prefix) < 8:
            raise _bad(path, "shorter than its 8-byte header length")
        (length,) = struct.unpack("<Q", prefix)
        if length > MAX_HEADER or length > size - 8:
            raise _bad(path, f"header length {length} exceeds the file or the {MAX_HEADER}-byte limit")
        text = file.read(length)
    try:
        raw = json.loads(text.decode("utf-8"), object_pairs_hook=_no_duplicates)
    except (UnicodeDecodeError, ValueError, RecursionError) as exc:
        raise _bad(path, f"header is not JSON ({exc})") from None
    if not isinstance(raw, dict):
        raise _bad(path, "header is not a JSON object")
    data_size = size - 8 - length
    tensors: dict[str, Tensor] = {}
    for name, entry in raw.items():
        if name == "__metadata__":
            if not isinstance(entry, dict) or not all(isinstance(v, str) for v in entry.values()):
                raise _bad(path, "__metadata__ is not an object of strings")
            continue
        tensors[name] = _tensor(path, name, entry)
    position = 0
    for tensor in sorted(tensors.values(), key=lambda t: (t.begin, t.end)):
        if tensor.begin != position:
            what = "overlaps another" if tensor.begin < position else "leaves a hole before it"
            raise _bad(path, f"tensor {tensor.name!r} {what}")
        position = tensor.end
    if position != data_size:
        raise _bad(path, f"the tensors cover {position} bytes of data, the file holds {data_size}")
    return Header(path, raw, tensors, 8 + length)


def _tensor(path: str, name: str, entry: object) -> Tensor:
    if not isinstance(entry, dict):
        raise _bad(path, f"entry {name!r} is not an object")
    dtype, shape, offsets = entry.get("dtype"), entry.get("shape"), entry.get("data_offsets")
    if not isinstance(dtype, str):
        raise _bad(path, f"tensor {name!r} has no dtype")
    if not isinstance(shape, list) or not all(type(n) is int and n >= 0 for n in shape):
        raise _bad(path, f"tensor {name!r}: shape is not a list of sizes")
    if (
        not isinstance(offsets, list) or len(offsets) != 2
        or not all(type(n) is int for n in offsets) or not 0 <= offsets[0] <= offsets[1]
    ):
        raise _bad(path, f"tensor {name!r}: data_offsets is not [begin, end]")
    size = DTYPE_SIZES.get(dtype)
    if size is not None and offsets[1] - offsets[0] != size * math.prod(shape):
        raise _bad(path, f"tensor {name!r}: {offsets[1] - offsets[0]} bytes for {dtype} {shape}")
    return Tensor(name, dtype, tuple(shape), offsets[0], offsets[1])


def encode_header(raw: Mapping[str, object]) -> bytes:
    """Length prefix and JSON, padded with spaces so that the data starts 8-byte aligned."""
    text = json.dumps(raw, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
    text += b" " * (-len(text) % 8)
    return struct.pack("<Q", len(text)) + text


def copy_range(source: BinaryIO, target: BinaryIO, offset: int, count: int) -> None:
    """Append `count` bytes of `source` from `offset` to `target`, without reading them
    into Python when the kernel can copy file to file."""
    target.flush()
    fast = hasattr(os, "copy_file_range")
    while count > 0:
        if fast:
            try:
                done = os.copy_file_range(source.fileno(), target.fileno(), min(count, 1 << 30), offset)
            except OSError:  # another file system, or a kernel without it
                fast = False
                continue
            if done == 0:
                raise CliError(f"{source.name}: file ended early")
        else:
            source.seek(offset)
            chunk = source.read(min(count, COPY_CHUNK))
            if not chunk:
                raise CliError(f"{source.name}: file ended early")
            target.write(chunk)
            done = len(chunk)
        offset += done
        count -= done
    if fast:
        target.seek(0, os.SEEK_END)


Writer = Callable[[BinaryIO], None]


@dataclass(frozen=True)
class Replacement:
    """A tensor's new shape and the callback that writes exactly its new bytes."""

    shape: tuple[int, ...]
    nbytes: int
    write: Writer


def rewrite(header: Header, target: BinaryIO, replacements: Mapping[str, Replacement]) -> None:
    """Write `header`'s file to `target` with `replacements` in place of those tensors.

    Tensors keep their order in the data section and their header entries their
    order in the header; only shapes and offsets change.
    """
    order = sorted(header.tensors.values(), key=lambda t: t.begin)
    offsets: dict[str, list[int]] = {}
    position = 0
    for tensor in order:
        replacement = replacements.get(tensor.name)
        size = replacement.nbytes if replacement is not None else tensor.nbytes
        offsets[tensor.name] = [position, position + size]
        position += size
    raw: dict[str, object] = {}
    for name, entry in header.raw.items():
        if name in offsets:
            assert isinstance(entry, dict)
            shape = replacements[name].shape if name in replacements else header.tensors[name].shape
            entry = {**entry, "shape": list(shape), "data_offsets": offsets[name]}
        raw[name] = entry
    target.write(encode_header(raw))
    with open(header.path, "rb") as source:
        for tensor in order:
            replacement = replacements.get(tensor.name)
            if replacement is None:
                copy_range(source, target, header.offset(tensor), tensor.nbytes)
                continue
            start = target.tell()
            replacement.write(target)
            written = target.tell() - start
            if written != replacement.nbytes:  # a bug, never a user error: fail loudly
                raise AssertionError(f"{tensor.name}: wrote {written} bytes, not {replacement.nbytes}")
