"""Where an edit is written, in the kind it was read: a tokenizer.json, a model
directory (`quorvane_cli.formats.modeldir`) or a GGUF model (`formats.gguf_writer`).

Each target is checked when it is made (before anything is read) and writes
the edited editor given the editor as it was before the edit; what it wrote
beyond the tokenizer comes back as an outcome with report lines and data
under the target's `key`. Adding a kind of output is one class here.
"""

from __future__ import annotations

import importlib.util
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Protocol

import quorvane

from quorvane_cli.cli.errors import CliError
from quorvane_cli.cli.progress import Progress

if TYPE_CHECKING:
    from quorvane_cli.formats import modeldir
    from quorvane_cli.formats.source import GgufSource


class Outcome(Protocol):
    """What a target wrote beyond the tokenizer; `moved` the added tokens whose
    ids changed (token, old id, final id), for the id map."""

    moved: list[tuple[str, int, int]]

    def lines(self) -> list[str]: ...

    def data(self) -> dict[str, object]: ...


class Target(Protocol):
    """One kind of output; `key` names its outcome in the report's data."""

    path: str
    key: str
    # Whether writing needs the editor as it was before the edit.
    needs_before: bool

    def opened(self, editor: quorvane.Quorvane) -> None:
        """Note what the target needs from the editor before the edit."""

    def text_words(self, words: Mapping[str, int]) -> None:
        """Note the words of the edit's text, for checks of what the target writes."""

    def write(
        self,
        editor: quorvane.Quorvane,
        before: quorvane.Quorvane | None,
        progress: Progress,
        moved: Sequence[tuple[str, int, int]] = (),
    ) -> Outcome | None: ...


class _Plain:
    """What most targets share: no copy of the editor, nothing to note on opening."""

    needs_before = False

    def opened(self, editor: quorvane.Quorvane) -> None:
        pass

    def text_words(self, words: Mapping[str, int]) -> None:
        pass


class TokenizerFile(_Plain):
    """A tokenizer.json, replaced atomically by `Quorvane.save`."""

    key = "tokenizer"

    def __init__(self, path: str) -> None:
        self.path = path

    def write(
        self,
        editor: quorvane.Quorvane,
        before: quorvane.Quorvane | None,
        progress: Progress,
        moved: Sequence[tuple[str, int, int]] = (),
    ) -> Outcome | None:
        progress.phase(f"writing {self.path}")
        editor.save(self.path)
        return None


class ModelDirectory(_Plain):
    """A model directory, its files around the tokenizer kept true to it."""

    key = "model_dir"

    def __init__(self, plan: modeldir.ModelDir, path: str) -> None:
        self.plan = plan
        self.path = path

    def opened(self, editor: quorvane.Quorvane) -> None:
        self.plan.remember(editor)

    def text_words(self, words: Mapping[str, int]) -> None:
        # A rewritten tokenizer.model is checked on the words of the edit's text.
        self.plan.words.update(words)

    def write(
        self,
        editor: quorvane.Quorvane,
        before: quorvane.Quorvane | None,
        progress: Progress,
        moved: Sequence[tuple[str, int, int]] = (),
    ) -> Outcome | None:
        from quorvane_cli.formats import modeldir

        progress.phase(f"writing {self.path}")
        return modeldir.save(editor, self.plan, moved, progress)


class GgufModel(_Plain):
    """A GGUF model whose tokenizer and embedding rows follow the edit; its ids are
    dense, so an edit that left gaps is reindexed first."""

    key = "gguf"
    needs_before = True

    def __init__(self, source: GgufSource, path: str, init: str) -> None:
        missing = [name for name in ("numpy", "gguf") if importlib.util.find_spec(name) is None]
        if missing:
            raise CliError(f"writing a GGUF model needs {' and '.join(missing)}: pip install 'quorvane[model]'")
        self.source = source
        self.path = path
        self.init = init

    def write(
        self,
        editor: quorvane.Quorvane,
        before: quorvane.Quorvane | None,
        progress: Progress,
        moved: Sequence[tuple[str, int, int]] = (),
    ) -> Outcome | None:
        from quorvane_cli.formats import gguf_writer

        model = self.source.model
        assert before is not None
        gguf_writer.check_special_tokens(model, before, editor)
        gaps = editor.reindex_vocab().gaps_removed if editor.check_vocab_gaps()[0] else 0
        written = gguf_writer.write_gguf(model, before, editor, self.path, self.init, progress)
        written.gaps_closed = gaps
        written.moved = list(moved)
        return written
