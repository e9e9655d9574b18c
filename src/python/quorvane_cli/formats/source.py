"""What a TOKENIZER (or SOURCE) argument names, opened the same way whatever
its kind: a tokenizer.json, a model directory holding one, or a GGUF model.

A `Source` gives the editor of the tokenizer, the tokenizer.json document it
was read from, and the GGUF file as read when it is one; commands ask it, not
the path, what they need.
"""

from __future__ import annotations

import os

import quorvane

from quorvane_cli.errors import CliError
from quorvane_cli.formats import gguf
from quorvane_cli.paths import tokenizer_file


class Source:
    """A tokenizer to read: `path` as named; `tokenizer_json` the model's own
    tokenizer.json a GGUF's unknown pre-tokenizer is taken from."""

    __slots__ = ("path", "tokenizer_json", "model", "_document")

    def __init__(self, path: str, tokenizer_json: str | None = None) -> None:
        self.path = path
        self.tokenizer_json = tokenizer_json
        self.model: gguf.Gguf | None = None
        self._document: str | None = None
        if not gguf.is_gguf(path):
            tokenizer_file(path)  # a directory without a tokenizer.json fails here, before any work

    @property
    def is_gguf(self) -> bool:
        return gguf.is_gguf(self.path)

    @property
    def kind(self) -> str:
        if self.is_gguf:
            return "GGUF model"
        return "model directory" if os.path.isdir(self.path) else "tokenizer.json"

    def editor(self) -> quorvane.Quorvane:
        """A new editor of the tokenizer."""
        if not self.is_gguf:
            return quorvane.Quorvane(tokenizer_file(self.path))
        if self.model is None:
            self.model = gguf.read_gguf(self.path)
        text = self.document()
        try:
            return quorvane.Quorvane.from_json(text)
        except ValueError as exc:
            raise CliError(f"{self.path}: the tokenizer in its metadata cannot be edited: {exc}") from None

    def document(self) -> str:
        """The tokenizer.json text of the tokenizer."""
        if self._document is None:
            if self.is_gguf:
                if self.model is None:
                    self.model = gguf.read_gguf(self.path)
                self._document = gguf.tokenizer_text(self.model, self.tokenizer_json)
            else:
                try:
                    with open(tokenizer_file(self.path), encoding="utf-8") as file:
                        self._document = file.read()
                except (OSError, UnicodeDecodeError) as exc:
                    raise CliError(f"cannot read {self.path}: {exc}") from None
        return self._document

    def as_source(self) -> str | quorvane.Quorvane:
        """What the core's methods that read a second tokenizer (merge_from,
        sync_single_chars) take: the tokenizer.json file, or the editor of a GGUF."""
        return self.editor() if self.is_gguf else tokenizer_file(self.path)
