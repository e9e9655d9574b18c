"""Model directories: the folder a model is saved in (tokenizer.json,
tokenizer_config.json, special_tokens_map.json, config.json, the weights, ...)
given wherever a tokenizer.json is expected.

Reading, a directory stands for the tokenizer.json inside it. Writing, an
edit of a directory keeps the files around the tokenizer true to it:

- tokenizer_config.json keeps every key in its order, but its
  `added_tokens_decoder` is keyed by the ids the edited tokenizer gives its
  added tokens (`loader_ids`), with the entries of tokens the edit removed
  dropped and entries made for added tokens it lacked (`rewrite_decoder`);
- a legacy added_tokens.json (content -> id) gets the new ids as well;
- the slow-tokenizer files (vocab.json, merges.txt, tokenizer.model, ...)
  describe the vocabulary as it was and cannot be rewritten from a
  tokenizer.json: they are copied unchanged like the rest (and never removed
  with --in-place: they are the user's), and the report names them, since a
  loader that prefers them would read the old vocabulary;
- every other file and subdirectory is copied unchanged, config.json
  included: resizing the weights, and with them config.json's `vocab_size`,
  is `quorvane resize-embeddings`' work.

`-o DIR` builds the whole directory under a temporary name beside DIR and
renames it into place at the end, so a failed or interrupted run leaves no
directory that looks complete. `--in-place` writes each rewritten file to a
temporary name first and replaces the originals only once all are written.
"""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import stat
import sys
import tempfile
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from typing import cast

import quorvane

from quorvane_cli.errors import CliError
from quorvane_cli.jsonfile import read_json
from quorvane_cli.output import show
from quorvane_cli.paths import TOKENIZER, tokenizer_file

CONFIG = "tokenizer_config.json"
ADDED_TOKENS = "added_tokens.json"
MODEL_CONFIG = "config.json"
# Other forms of the vocabulary, read by slow tokenizers and converters.
STALE = ("vocab.json", "merges.txt", "tokenizer.model", "vocab.txt", "spiece.model", "sentencepiece.bpe.model")
REWRITTEN = (TOKENIZER, CONFIG, ADDED_TOKENS)
FLAGS = (("lstrip", False), ("normalized", False), ("rstrip", False), ("single_word", False), ("special", False))


def _object(path: str) -> dict[str, object] | None:
    """The JSON object in `path`, None when there is no such file."""
    if not os.path.lexists(path):
        return None
    value = read_json(path)
    if not isinstance(value, dict):
        raise CliError(f"{path}: expected a JSON object")
    return value


@dataclass(frozen=True)
class ModelDir:
    """An edit's model directories: `source` is read, `target` written (the same with --in-place).

    `config` and `added_tokens` are the source's tokenizer_config.json and
    added_tokens.json as read and checked before the edit, None when absent.
    """

    source: str
    target: str
    config: dict[str, object] | None = None
    added_tokens: dict[str, object] | None = None
    # The contents of the config's decoder entries that were model tokens before the edit.
    before: set[str] = field(default_factory=set)

    @property
    def in_place(self) -> bool:
        return self.source == self.target

    def remember(self, editor: quorvane.Quorvane) -> None:
        """Note, before the edit, which tokens of the config and added_tokens.json
        the model holds, so that the entries of those the edit removes can be told
        from the entries of tokens only these files add."""
        decoder = self.config.get("added_tokens_decoder") if self.config is not None else None
        contents = [str(entry["content"]) for entry in decoder.values()] if isinstance(decoder, dict) else []
        contents += self.added_tokens or ()
        self.before.update(content for content in contents if editor.has_token(content))

    def written(self, name: str) -> str:
        return os.path.join(self.target, name)


def plan(source: str, output: str | None) -> ModelDir:
    """Check a directory edit before anything is read or written; `output` None is --in-place."""
    tokenizer_file(source)
    source = os.path.abspath(source)
    target = source
    if output is not None:
        target = os.path.abspath(output)
        real_source, real_target = os.path.realpath(source), os.path.realpath(target)
        if real_target == real_source:
            raise CliError(f"-o names the input directory {output}; use --in-place to replace its tokenizer")
        if real_target.startswith(real_source + os.sep):
            raise CliError(f"-o {output} lies inside the input directory")
        if os.path.lexists(target) and not os.path.isdir(target):
            raise CliError(f"-o {output} exists and is not a directory")
        if os.path.isdir(target) and os.listdir(target):
            raise CliError(f"-o {output}: the directory exists and is not empty")
        if not os.path.isdir(os.path.dirname(target)):
            raise CliError(f"-o {output}: no such directory {os.path.dirname(target)}")
    config = _object(os.path.join(source, CONFIG))
    decoder = config.get("added_tokens_decoder") if config is not None else None
    if decoder is not None:
        where = f"{os.path.join(source, CONFIG)}: added_tokens_decoder"
        if not isinstance(decoder, dict):
            raise CliError(f"{where} is not an object")
        for key, entry in decoder.items():
            if not isinstance(entry, dict) or not isinstance(entry.get("content"), str):
                raise CliError(f"{where}[{json.dumps(key)}] is not an added token with a string content")
    added = _object(os.path.join(source, ADDED_TOKENS))
    if added is not None and not all(type(value) is int for value in added.values()):
        raise CliError(f"{os.path.join(source, ADDED_TOKENS)}: every value must be an integer id")
    return ModelDir(source, target, config, added)


def _vocab(document: Mapping[str, object]) -> dict[str, int]:
    """The model's vocabulary of a document the editor wrote (token -> id)."""
    model = document.get("model")
    vocab = model.get("vocab") if isinstance(model, dict) else None
    return {token: i for token, i in vocab.items() if type(i) is int} if isinstance(vocab, dict) else {}


def loader_ids(document: Mapping[str, object]) -> dict[str, int]:
    """Content -> id of every added token of a tokenizer document, as loaders
    (the `tokenizers` package, and transformers through it) number them: a token
    of the model's vocabulary keeps its id there; the others, whatever ids the
    file gives them, count on from the number of vocabulary entries in the
    order they first appear."""
    vocab = _vocab(document)
    added = document.get("added_tokens")
    ids: dict[str, int] = {}
    next_id = len(vocab)
    for entry in added if isinstance(added, list) else []:
        content = entry.get("content") if isinstance(entry, dict) else None
        if not isinstance(content, str) or content in ids:
            continue
        if content in vocab:
            ids[content] = vocab[content]
        else:
            ids[content] = next_id
            next_id += 1
    return ids


def shared_ids(document: Mapping[str, object]) -> list[str]:
    """The added tokens outside the model that loaders number onto ids a model
    token holds: what an edit that leaves gaps in the ids does to the added
    tokens after them, until the gaps are closed."""
    vocab = _vocab(document)
    held = set(vocab.values())
    return [content for content, token_id in loader_ids(document).items()
            if content not in vocab and token_id in held]


def rewrite_decoder(
    decoder: Mapping[str, Mapping[str, object]], document: Mapping[str, object], removed: Iterable[str] = ()
) -> tuple[dict[str, object], list[str]]:
    """`added_tokens_decoder` for the tokenizer `document`, and the contents dropped.

    An entry per added token of the document, keyed by its loader id (sorted
    by id, as transformers writes it): the old entry with the same content where
    there was one, otherwise one made from the document's flags. An old entry
    whose token is an ordinary vocabulary token follows that token's id; one of
    the `removed` tokens (model tokens the edit took out) is dropped; one the
    document never had, which transformers adds after all the document's ids,
    keeps its place in that order.
    """
    ids = loader_ids(document)
    vocab = _vocab(document)
    gone = set(removed)
    next_id = max([len(vocab) - 1, *ids.values()]) + 1
    old = {str(entry["content"]): entry for _, entry in sorted(decoder.items(), key=_key_order)}
    rows: dict[str, tuple[int, Mapping[str, object]]] = {}
    added = document.get("added_tokens")
    for entry in added if isinstance(added, list) else []:
        content = entry.get("content") if isinstance(entry, dict) else None
        if isinstance(content, str) and content not in rows:
            made = {"content": content, **{flag: entry.get(flag, default) for flag, default in FLAGS}}
            rows[content] = (ids[content], old.get(content, made))
    dropped = []
    for content, entry in old.items():
        if content in rows:
            continue
        if content in vocab:
            rows[content] = (vocab[content], entry)
        elif content in gone:
            dropped.append(content)
        else:
            rows[content] = (next_id, entry)
            next_id += 1
    ordered = sorted(rows.values(), key=lambda row: row[0])
    return {str(token_id): dict(entry) for token_id, entry in ordered}, dropped


def _key_order(item: tuple[str, object]) -> tuple[int, int | str]:
    """Decoder keys in the numeric order transformers adds their tokens in."""
    key = item[0]
    return (0, int(key)) if key.lstrip("-").isdigit() else (1, key)


def _dump(path: str, value: object) -> None:
    """Write `value` as transformers writes its JSON files, failing if `path` exists."""
    with open(path, "x", encoding="utf-8") as file:
        json.dump(value, file, ensure_ascii=False, indent=2)
        file.write("\n")


@dataclass
class Outcome:
    """What writing a model directory did, for the report."""

    config_rewritten: bool = False
    dropped: list[str] = field(default_factory=list)  # decoder entries whose tokens are gone
    copied: int = 0
    old_vocabulary: list[str] = field(default_factory=list)
    vocab_size_note: str | None = None
    shared_ids: list[str] = field(default_factory=list)
    in_place: bool = False

    def data(self) -> dict[str, object]:
        return {
            "tokenizer_config_rewritten": self.config_rewritten,
            "decoder_entries_dropped": self.dropped,
            "files_copied": self.copied,
            "old_vocabulary_files": self.old_vocabulary,
            "added_tokens_on_model_ids": self.shared_ids,
        }

    def lines(self) -> list[str]:
        lines = []
        if self.config_rewritten:
            gone = f", dropped the entries of {len(self.dropped)} tokens now gone" if self.dropped else ""
            lines.append(f"rewrote {CONFIG}'s added_tokens_decoder for the new ids{gone}")
        if self.copied:
            lines.append(f"copied {self.copied} other {'file' if self.copied == 1 else 'files'} unchanged")
        if self.old_vocabulary:
            which = "holds" if len(self.old_vocabulary) == 1 else "hold"
            lines.append(f"warning: {', '.join(self.old_vocabulary)} {which} the old vocabulary, kept as "
                         f"{'it was' if len(self.old_vocabulary) == 1 else 'they were'}: loaders that read "
                         f"{TOKENIZER} ignore {'it' if len(self.old_vocabulary) == 1 else 'them'}, a slow "
                         "tokenizer would not; delete what the model does not need")
        if self.vocab_size_note:
            lines.append(self.vocab_size_note)
        if self.shared_ids:
            count = len(self.shared_ids)
            shown = ", ".join(map(show, self.shared_ids[:3])) + (", ..." if count > 3 else "")
            lines.append(
                f"warning: loaders number {count} added {'token' if count == 1 else 'tokens'} ({shown}) "
                "onto ids that model tokens hold too, as the edit left gaps in the ids; "
                "quorvane reindex closes them"
            )
        return lines


def _companions(document: Mapping[str, object], where: ModelDir, outcome: Outcome) -> dict[str, object]:
    """The rewritten tokenizer_config.json and added_tokens.json, by file name.

    A config without `added_tokens_decoder` is not among them: transformers then
    takes the special tokens from special_tokens_map.json, and adding a decoder
    would change that, so the file is copied as it is.
    """
    files: dict[str, object] = {}
    decoder = where.config.get("added_tokens_decoder") if where.config is not None else None
    if where.config is not None and isinstance(decoder, dict):
        config = dict(where.config)
        config["added_tokens_decoder"], outcome.dropped = rewrite_decoder(decoder, document, where.before)
        outcome.config_rewritten = True
        files[CONFIG] = config
    if where.added_tokens is not None:
        # The same rules as for the decoder, on the contents alone.
        entries = {str(token_id): {"content": content} for content, token_id in where.added_tokens.items()}
        rewritten, _ = rewrite_decoder(entries, document, where.before)
        files[ADDED_TOKENS] = {
            str(entry["content"]): int(key) for key, entry in rewritten.items()
            if isinstance(entry, dict) and entry["content"] in where.added_tokens
        }
    return files


def _vocab_size_note(directory: str, document: Mapping[str, object]) -> str | None:
    """A line for a config.json whose vocab_size is now too small for the tokenizer's ids."""
    path = os.path.join(directory, MODEL_CONFIG)
    try:
        config = read_json(path) if os.path.isfile(path) else None
    except (CliError, OSError):
        return None
    size = config.get("vocab_size") if isinstance(config, dict) else None
    ids = list(_vocab(document).values())
    ids += loader_ids(document).values()
    needed = max(ids, default=-1) + 1
    if type(size) is not int or size >= needed:
        return None
    return (f"{MODEL_CONFIG} still says vocab_size {size}, but the tokenizer uses ids up to {needed - 1}: "
            "resize the model's embeddings (quorvane resize-embeddings) before using it")


def _remove_tree(path: str) -> None:
    """Remove a directory being built, read-only subdirectories copied into it included."""

    def writable_and_retry(function: Callable[..., object], name: str, _: object) -> None:
        with contextlib.suppress(OSError):
            os.chmod(os.path.dirname(name), stat.S_IRWXU)
            function(name)

    if sys.version_info >= (3, 12):
        shutil.rmtree(path, onexc=writable_and_retry)
    else:
        shutil.rmtree(path, onerror=writable_and_retry)


def _no_loops(directory: str, names: Iterable[str]) -> list[str]:
    """A `copytree` ignore function that ignores nothing but refuses a link to a
    directory holding it, which copying through links would follow for ever."""
    real = os.path.realpath(directory)
    for name in names:
        path = os.path.join(directory, name)
        if os.path.islink(path) and os.path.isdir(path):
            target = os.path.realpath(path)
            if real == target or real.startswith(target + os.sep):
                raise OSError(f"{path} links to a directory that holds it")
    return []


def _copy_others(source: str, target: str, skip: Iterable[str], outcome: Outcome) -> None:
    """Copy every entry of `source` but `skip` into `target`, following symbolic links
    (a model from a hub cache is links into a store of blobs)."""
    skipped = set(skip)
    entries = sorted(os.scandir(source), key=lambda e: e.name)
    _no_loops(source, [entry.name for entry in entries])
    for entry in entries:
        if entry.name in skipped:
            continue
        if entry.name in STALE:
            outcome.old_vocabulary.append(entry.name)
        destination = os.path.join(target, entry.name)
        if entry.is_dir():
            shutil.copytree(entry.path, destination, ignore=_no_loops)
        else:
            shutil.copy2(entry.path, destination)
        outcome.copied += 1


def _document(path: str) -> dict[str, object]:
    """The tokenizer document the editor just saved (always a JSON object)."""
    return cast("dict[str, object]", read_json(path))


def _default_mode() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return 0o777 & ~mask


def _write_copy(editor: quorvane.Quorvane, where: ModelDir, outcome: Outcome) -> dict[str, object]:
    parent, name = os.path.split(where.target)
    building = tempfile.mkdtemp(prefix=f".{name}.", suffix=".partial", dir=parent)
    try:
        editor.save(os.path.join(building, TOKENIZER))
        document = _document(os.path.join(building, TOKENIZER))
        companions = _companions(document, where, outcome)
        for file_name, value in companions.items():
            _dump(os.path.join(building, file_name), value)
        _copy_others(where.source, building, [TOKENIZER, *companions], outcome)
        os.chmod(building, _default_mode())
        os.rename(building, where.target)  # replaces an empty directory, fails on a filled one
    except BaseException:
        _remove_tree(building)
        raise
    return document


def _write_in_place(editor: quorvane.Quorvane, where: ModelDir, outcome: Outcome) -> dict[str, object]:
    suffix = f".{os.getpid()}.tmp"
    staged: list[tuple[str, str]] = []
    try:
        path = where.written(TOKENIZER)
        staged.append((path + suffix, path))
        editor.save(path + suffix)
        document = _document(path + suffix)
        for file_name, value in _companions(document, where, outcome).items():
            path = where.written(file_name)
            staged.append((path + suffix, path))
            _dump(path + suffix, value)
        for temporary, path in staged:
            os.replace(temporary, path)
    except BaseException:
        for temporary, _ in staged:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        raise
    outcome.old_vocabulary += [name for name in STALE if os.path.lexists(where.written(name))]
    return document


def save(editor: quorvane.Quorvane, where: ModelDir) -> Outcome:
    """Write the edited tokenizer as the directory `where.target` describes.

    Raises CliError when the directory cannot be written; nothing is left
    behind then (with --in-place, the files are as they were).
    """
    outcome = Outcome(in_place=where.in_place)
    try:
        if where.in_place:
            document = _write_in_place(editor, where, outcome)
        else:
            document = _write_copy(editor, where, outcome)
    except OSError as exc:
        raise CliError(f"could not write {where.target}, nothing written: {exc}") from None
    outcome.vocab_size_note = _vocab_size_note(where.target, document)
    outcome.shared_ids = shared_ids(document)
    return outcome
