"""What a TOKENIZER (or SOURCE) argument names, opened the same way whatever
its kind: a tokenizer.json, a model directory holding one, or a GGUF model.

`open_source` picks the kind; every kind gives the editor of the tokenizer,
the tokenizer.json text it was read from, and what the core's methods that
read a second tokenizer take. Commands ask the source, not the path, what
they need. Reading a new kind of file is one class here, listed in KINDS.
"""

from __future__ import annotations

from abc import ABC, abstractmethod
from concurrent.futures import ThreadPoolExecutor

import quorvane

from quorvane_cli.cli.errors import CliError
from quorvane_cli.formats import gguf
from quorvane_cli.cli.paths import tokenizer_file


class Source(ABC):
    """A tokenizer to read, at `path` as named."""

    __slots__ = ("path", "_document")

    def __init__(self, path: str, tokenizer_json: str | None = None) -> None:
        self.path = path
        self._document: str | None = None

    @staticmethod
    @abstractmethod
    def claims(path: str) -> bool:
        """Whether a path names a source of this kind (by its name and type)."""

    @abstractmethod
    def editor(self) -> quorvane.Quorvane:
        """A new editor of the tokenizer."""

    def document(self) -> str:
        """The tokenizer.json text of the tokenizer."""
        if self._document is None:
            self._document = self._read_document()
        return self._document

    @abstractmethod
    def _read_document(self) -> str: ...

    def as_source(self) -> str | quorvane.Quorvane:
        """What the core's methods that read a second tokenizer (merge_from,
        sync_single_chars) take: a tokenizer.json path, or an editor."""
        return self.editor()


class TokenizerJson(Source):
    """A tokenizer.json file, or a model directory holding one."""

    __slots__ = ()

    def __init__(self, path: str, tokenizer_json: str | None = None) -> None:
        super().__init__(path)
        tokenizer_file(path)  # a directory without a tokenizer.json fails here, before any work

    @staticmethod
    def claims(path: str) -> bool:
        return True

    def editor(self) -> quorvane.Quorvane:
        return quorvane.Quorvane(tokenizer_file(self.path))

    def _read_document(self) -> str:
        try:
            with open(tokenizer_file(self.path), encoding="utf-8") as file:
                return file.read()
        except (OSError, UnicodeDecodeError) as exc:
            raise CliError(f"cannot read {self.path}: {exc}") from None

    def as_source(self) -> str | quorvane.Quorvane:
        # The core opens the file itself, with its own messages.
        return tokenizer_file(self.path)


class GgufSource(Source):
    """A GGUF model; `tokenizer_json` the model's own tokenizer.json its unknown
    pre-tokenizer is taken from. `model` is the file as read."""

    __slots__ = ("tokenizer_json", "_model")

    def __init__(self, path: str, tokenizer_json: str | None = None) -> None:
        super().__init__(path)
        self.tokenizer_json = tokenizer_json
        self._model: gguf.Gguf | None = None

    @staticmethod
    def claims(path: str) -> bool:
        return gguf.is_gguf(path)

    @property
    def model(self) -> gguf.Gguf:
        if self._model is None:
            self._model = gguf.read_gguf(self.path)
        return self._model

    def editor(self) -> quorvane.Quorvane:
        text = self.document()
        try:
            return quorvane.Quorvane.from_json(text)
        except ValueError as exc:
            raise CliError(f"{self.path}: the tokenizer in its metadata cannot be edited: {exc}") from None

    def _read_document(self) -> str:
        # The core writes the vocabulary and merges without holding the
        # interpreter, so that runs while the metadata is read here.
        with ThreadPoolExecutor(1) as pool:
            members = pool.submit(gguf.bpe_members, self.path)
            return gguf.tokenizer_text(self.model, self.tokenizer_json, members.result)


# Tried in order; the last claims whatever is left.
KINDS: tuple[type[Source], ...] = (GgufSource, TokenizerJson)


def open_source(path: str, tokenizer_json: str | None = None) -> Source:
    """The source `path` names; `tokenizer_json` is for the kinds that take
    their pre-tokenizer from the model's own tokenizer.json (GGUF)."""
    kind = next(kind for kind in KINDS if kind.claims(path))
    return kind(path, tokenizer_json)
