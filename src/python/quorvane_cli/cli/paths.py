"""Which tokenizer file a TOKENIZER argument names, and whether an edit of it
writes a model directory: kept apart from `modeldir`, so that a command on a
plain tokenizer.json does not load what writing a directory needs."""

from __future__ import annotations

import os

from quorvane_cli.cli.errors import CliError

TOKENIZER = "tokenizer.json"


def tokenizer_file(path: str) -> str:
    """The tokenizer.json a command reads for `path`: the file itself, or the one in the directory."""
    if not os.path.isdir(path):
        return path
    inner = os.path.join(path, TOKENIZER)
    if not os.path.isfile(inner):
        raise CliError(f"{path} is a directory without a {TOKENIZER}")
    return inner


def writes_directory(source: str, output: str | None) -> bool:
    """Whether an edit of `source` writes a model directory: the input is one and
    -o (when given) does not name a .json file, which gets the tokenizer.json alone."""
    return os.path.isdir(source) and (output is None or not output.lower().endswith(".json"))
