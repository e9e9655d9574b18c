"""Reading and writing the small JSON files around a tokenizer (token lists, id
maps) and the tokenizer document itself when a command needs its raw sections."""

from __future__ import annotations

import contextlib
import json
import os

from quorvane_cli.errors import CliError


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


def write_json(path: str, value: object) -> None:
    """Write `value` as indented JSON, replacing `path` only once the text is complete."""
    temporary = f"{path}.{os.getpid()}.tmp"
    file = open(temporary, "x", encoding="utf-8")
    try:
        with file:
            json.dump(value, file, ensure_ascii=False, indent=2)
            file.write("\n")
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
