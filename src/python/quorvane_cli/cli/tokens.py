"""Token files for `--file` and `--whitelist`.

A path ending in `.json` holds a JSON array of strings. Any other file holds one
token per line: only the line ending ("\\n" or "\\r\\n") is stripped, so leading
and trailing spaces belong to the token, and empty lines are skipped.
"""

from __future__ import annotations

from collections.abc import Sequence

from quorvane_cli.cli.errors import CliError
from quorvane_cli.cli.jsonfile import read_json, read_text


def read_token_file(path: str) -> list[str]:
    """The tokens listed in `path`, in file order (duplicates kept)."""
    if path.endswith(".json"):
        value = read_json(path)
        if not isinstance(value, list):
            raise CliError(f"{path}: expected a JSON array of strings")
        for position, item in enumerate(value):
            if not isinstance(item, str):
                raise CliError(f"{path}: element {position} is not a string")
        return list(value)
    tokens = []
    for line in read_text(path).split("\n"):
        if line.endswith("\r"):
            line = line[:-1]
        if line:
            tokens.append(line)
    return tokens


def gather_tokens(arguments: Sequence[str], path: str | None) -> list[str]:
    """Tokens given on the command line, then those of the token file, if any."""
    tokens = list(arguments)
    if path is not None:
        tokens.extend(read_token_file(path))
    return tokens
