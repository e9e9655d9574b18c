"""Reading and writing the small JSON files around a tokenizer (token lists, id
maps) and the tokenizer document itself when a command needs its raw sections."""

from __future__ import annotations

import contextlib
import json
import os

from quorvane_cli.cli.errors import CliError


def read_text(path: str) -> str:
    """The UTF-8 text of `path`; a leading byte-order mark is dropped.

    Raises CliError when the bytes are not UTF-8 (OSError passes through).
    """
    with open(path, "rb") as file:
        data = file.read()
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise CliError(f"{path}: not UTF-8 ({exc.reason} at byte {exc.start})") from None


def read_json(path: str) -> object:
    """The JSON value held in `path`; CliError names the file and position on bad JSON."""
    text = read_text(path)
    try:
        return json.loads(text)
    except json.JSONDecodeError as exc:
        raise CliError(f"{path}: invalid JSON: {exc}") from None
    except RecursionError:
        raise CliError(f"{path}: invalid JSON: nested too deeply") from None


_encode = json.JSONEncoder(ensure_ascii=False).encode
_string = json.encoder.encode_basestring  # the C one where there is one: a str as JSON, as _encode writes it


def _key(key: str) -> str:
    return f'"{key}"' if key.isascii() and key.isdecimal() else _string(key)


def _item(value: object) -> str:
    """`value` as compact JSON; the common kinds (str, int, a list of str) directly."""
    kind = type(value)
    if kind is str:
        return _string(value)  # type: ignore[arg-type, unused-ignore]
    if kind is int:
        return str(value)
    if kind is list and all(type(v) is str for v in value):  # type: ignore[attr-defined, unused-ignore]
        return "[" + ", ".join(map(_string, value)) + "]"  # type: ignore[call-overload, unused-ignore]
    return _encode(value)


def lines_json(value: object) -> str:
    """`value` as JSON with one line per member of the outer object and per item
    of each collection in it, deeper values written compactly: readable and
    diffable, and written by the C encoder (an id map of 150,000 tokens takes
    a tenth of the time `indent` takes)."""
    if not isinstance(value, dict) or not value:
        return _encode(value)
    members = []
    for key, inner in value.items():
        if isinstance(inner, dict) and inner:
            body = ",\n".join(f"    {_key(k)}: {_item(v)}" for k, v in inner.items())
            text = f"{{\n{body}\n  }}"
        elif isinstance(inner, list) and inner:
            body = ",\n    ".join(map(_item, inner))
            text = f"[\n    {body}\n  ]"
        else:
            text = _item(inner)
        members.append(f"  {_key(key)}: {text}")
    return "{\n" + ",\n".join(members) + "\n}"


def write_json(path: str, value: object) -> None:
    """Write `value` as JSON (`lines_json`), replacing `path` only once the text is complete."""
    write_text(path, lines_json(value) + "\n")


def write_text(path: str, text: str) -> None:
    """Write `text` as UTF-8, replacing `path` only once the text is complete."""
    temporary = f"{path}.{os.getpid()}.tmp"
    file = open(temporary, "x", encoding="utf-8")
    try:
        with file:
            file.write(text)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
