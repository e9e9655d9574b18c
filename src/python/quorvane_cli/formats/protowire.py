"""The protobuf wire format, read through one bounds-checked cursor and written
field by field, for the model files that use it (SentencePiece's).

A message is a run of fields, each a tag (field number << 3 | wire type) and
a value: a varint (type 0), 8 bytes (type 1), a length and that many bytes
(type 2) or 4 bytes (type 5). Groups (types 3 and 4) are long obsolete and
refused. Every declared length is compared with the bytes that remain before
anything is sliced, and each field moves the cursor forward, so no input can
make the reader allocate more than the input or loop.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass

from quorvane_cli.cli.errors import CliError

VARINT, FIXED64, LENGTH, FIXED32 = 0, 1, 2, 5
_MAX_VARINT_BYTES = 10


class WireError(CliError):
    """Bytes that are not a well-formed protobuf message; the message names the offset."""


@dataclass(frozen=True)
class Field:
    """One field of a message: its number and wire type, the offsets of its
    whole encoding (tag included) in the buffer, and where its value starts.

    For a varint, `value` is the number; for the other types it is unused and
    the value's bytes are `data[value_start:end]`.
    """

    number: int
    wire: int
    start: int
    value_start: int
    end: int
    value: int = 0


def _varint(data: bytes, offset: int, end: int, what: str) -> tuple[int, int]:
    """The varint at `offset` and the offset after it."""
    value = shift = 0
    position = offset
    while True:
        if position >= end:
            raise WireError(f"{what}: a number at byte {offset} runs past the end of its message")
        byte = data[position]
        position += 1
        value |= (byte & 0x7F) << shift
        if not byte & 0x80:
            break
        shift += 7
        if position - offset >= _MAX_VARINT_BYTES:
            raise WireError(f"{what}: the number at byte {offset} is longer than ten bytes")
    if value >= 1 << 64:
        raise WireError(f"{what}: the number at byte {offset} does not fit in 64 bits")
    return value, position


def fields(data: bytes, start: int, end: int, what: str) -> list[Field]:
    """The fields of the message held in `data[start:end]`, in file order.

    `what` names the message in errors ("tokenizer.model: pieces[3]").
    Raises WireError on anything that is not a well-formed message.
    """
    found = []
    position = start
    while position < end:
        tag, value_start = _varint(data, position, end, what)
        number, wire = tag >> 3, tag & 7
        if number == 0 or number >= 1 << 29:
            raise WireError(f"{what}: field number {number} at byte {position} is not a valid field number")
        value = 0
        if wire == VARINT:
            value, after = _varint(data, value_start, end, what)
        elif wire == FIXED64:
            after = value_start + 8
        elif wire == FIXED32:
            after = value_start + 4
        elif wire == LENGTH:
            size, value_start = _varint(data, value_start, end, what)
            if size > end - value_start:
                raise WireError(
                    f"{what}: field {number} at byte {position} declares {size} bytes, "
                    f"but only {end - value_start} remain in its message"
                )
            after = value_start + size
        else:
            raise WireError(f"{what}: field {number} at byte {position} has wire type {wire}, "
                            "which this format does not use")
        if after > end:
            raise WireError(f"{what}: field {number} at byte {position} runs past the end of its message")
        found.append(Field(number, wire, position, value_start, after, value))
        position = after
    return found


def expect(field: Field, wire: int, what: str) -> None:
    """Refuse a known field encoded with another wire type than its declared one."""
    if field.wire != wire:
        raise WireError(f"{what}: field {field.number} at byte {field.start} has wire type {field.wire}, "
                        f"expected {wire}")


def text(data: bytes, field: Field, what: str) -> str:
    """A string field's UTF-8 text."""
    expect(field, LENGTH, what)
    try:
        return data[field.value_start:field.end].decode("utf-8")
    except UnicodeDecodeError as exc:
        raise WireError(f"{what}: the string at byte {field.value_start} is not UTF-8 "
                        f"({exc.reason} at its byte {exc.start})") from None


def float32(data: bytes, field: Field, what: str) -> float:
    """A float field's value."""
    expect(field, FIXED32, what)
    value: float = struct.unpack_from("<f", data, field.value_start)[0]
    return value


def int32(field: Field, what: str) -> int:
    """An int32 or enum field's value (negative numbers are written in ten bytes)."""
    expect(field, VARINT, what)
    value = field.value & 0xFFFFFFFFFFFFFFFF
    value = value - (1 << 64) if value >= 1 << 63 else value
    if not -(1 << 31) <= value < 1 << 31:
        raise WireError(f"{what}: field {field.number} at byte {field.start} is out of the 32-bit range")
    return value


def put_varint(out: bytearray, value: int) -> None:
    """Append `value` (0 <= value < 2**64) as a varint."""
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)


def put_tag(out: bytearray, number: int, wire: int) -> None:
    put_varint(out, number << 3 | wire)


def put_bytes(out: bytearray, number: int, value: bytes) -> None:
    put_tag(out, number, LENGTH)
    put_varint(out, len(value))
    out += value


def put_float32(out: bytearray, number: int, value: float) -> None:
    put_tag(out, number, FIXED32)
    out += struct.pack("<f", value)


def put_int32(out: bytearray, number: int, value: int) -> None:
    put_tag(out, number, VARINT)
    put_varint(out, value & 0xFFFFFFFFFFFFFFFF)
