"""Model directories: the folder a model is saved in (tokenizer.json,
tokenizer_config.json, special_tokens_map.json, config.json, the weights, ...)
given wherever a tokenizer.json is expected.

Reading, a directory stands for the tokenizer.json inside it. Writing, an
edit of a directory keeps every file that describes the vocabulary true to it:

- the ids are closed up first when the edit left gaps (unless --keep-gaps):
  loaders number the added tokens outside the model from the number of model
  tokens, so over gaps they would land on ids model tokens hold;
- tokenizer_config.json keeps every key in its order, but its
  `added_tokens_decoder` is keyed by the ids the edited tokenizer gives its
  added tokens (`loader_ids`), with the entries of tokens the edit removed
  dropped and entries made for added tokens it lacked (`rewrite_decoder`);
- a legacy added_tokens.json (content -> id) gets the new ids as well;
- the slow-tokenizer files are written anew from the edited tokenizer where
  their format can say the same (vocab.json + merges.txt, a SentencePiece BPE
  tokenizer.model), and otherwise left out, or copied as they were (the
  choice of --slow-files); `slow_files` decides, file by file;
- every other file and subdirectory is copied unchanged, config.json
  included: resizing the weights, and with them config.json's `vocab_size`,
  is `quorvane resize-embeddings`' work.

`-o DIR` builds the whole directory under a temporary name beside DIR and
renames it into place at the end, so a failed or interrupted run leaves no
directory that looks complete. `--in-place` writes each rewritten file to a
temporary name first and replaces the originals (and removes the files left
out) only once all are written.
"""

from __future__ import annotations

import contextlib
import heapq
import json
import os
import shutil
import stat
import sys
import tempfile
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import cast

import quorvane

from quorvane_cli.cli.errors import CliError
from quorvane_cli.formats import sentencepiece, vocab_merges
from quorvane_cli.cli.jsonfile import read_json
from quorvane_cli.cli.output import limited, show
from quorvane_cli.cli.paths import TOKENIZER, tokenizer_file
from quorvane_cli.cli.progress import Progress

CONFIG = "tokenizer_config.json"
ADDED_TOKENS = "added_tokens.json"
MODEL_CONFIG = "config.json"
# Other forms of the vocabulary, read by slow tokenizers and converters.
SENTENCEPIECE = ("tokenizer.model", "spiece.model", "sentencepiece.bpe.model")
STALE = (vocab_merges.VOCAB, vocab_merges.MERGES, *SENTENCEPIECE, "vocab.txt")
REWRITTEN = (TOKENIZER, CONFIG, ADDED_TOKENS, *STALE)  # the files an edit may write
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
    added_tokens.json as read and checked before the edit, None when absent;
    `sentencepiece` its SentencePiece models that may be rewritten, by file
    name. `keep_gaps` and `slow_files` are the options of those names.
    """

    source: str
    target: str
    config: dict[str, object] | None = None
    added_tokens: dict[str, object] | None = None
    keep_gaps: bool = False
    slow_files: str | None = None
    sentencepiece: dict[str, sentencepiece.Model] = field(default_factory=dict)
    # The contents of the config's decoder entries that were model tokens before the edit.
    before: set[str] = field(default_factory=set)
    # Words of the edit's own text with their counts, when it read one: what a
    # rewritten tokenizer.model is checked on (the vocabulary otherwise).
    words: dict[str, int] = field(default_factory=dict)

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


def plan(source: str, output: str | None, *, keep_gaps: bool = False, slow_files: str | None = None) -> ModelDir:
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
    models: dict[str, sentencepiece.Model] = {}
    if slow_files not in ("keep", "drop"):
        for name in SENTENCEPIECE:
            path = os.path.join(source, name)
            if os.path.isfile(path):
                model = models[name] = sentencepiece.read(path, path)
                if model.model_type == sentencepiece.BPE:
                    sentencepiece.check_usable(model)
    return ModelDir(source, target, config, added, keep_gaps, slow_files, models)


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


def _json_file(value: object) -> bytes:
    """`value` as transformers writes its JSON files."""
    return (json.dumps(value, ensure_ascii=False, indent=2) + "\n").encode("utf-8")


def _put(path: str, content: bytes) -> None:
    """Write a new file, failing if `path` exists."""
    with open(path, "xb") as file:
        file.write(content)


REWROTE, COPIED, KEPT, LEFT_OUT = "rewrote", "copied", "kept", "left out"
SHOWN_FILES = 8  # copied files named in a human report; --json lists every one
# The words of a text a rewritten tokenizer.model is checked on, the most frequent first: a
# word takes SentencePiece's rule some 0.2 ms to encode in Python.
CHECKED_WORDS = 100_000


@dataclass
class FileNote:
    """What writing the directory did with one file of the source, and why."""

    name: str
    action: str  # REWROTE, COPIED, KEPT (in place, untouched) or LEFT_OUT
    why: str = ""
    warn: bool = False
    details: dict[str, object] = field(default_factory=dict)

    def data(self) -> dict[str, object]:
        return {"file": self.name, "action": self.action, "why": self.why, **self.details}


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
    gaps_closed: int = 0
    ids_moved: int = 0
    # Added tokens outside the model whose ids changed, old id to final id: for the id map.
    moved: list[tuple[str, int, int]] = field(default_factory=list)
    files: list[FileNote] = field(default_factory=list)

    def note(self, name: str, action: str, why: str = "", *, warn: bool = False, **details: object) -> None:
        self.files.append(FileNote(name, action, why, warn, details))

    def data(self) -> dict[str, object]:
        return {
            "tokenizer_config_rewritten": self.config_rewritten,
            "decoder_entries_dropped": self.dropped,
            "files_copied": self.copied,
            "old_vocabulary_files": self.old_vocabulary,
            "added_tokens_on_model_ids": self.shared_ids,
            "gaps_closed": self.gaps_closed,
            "ids_moved_closing_gaps": self.ids_moved,
            "files": [note.data() for note in sorted(self.files, key=lambda note: note.name)],
        }

    def lines(self) -> list[str]:
        lines = []
        if self.gaps_closed:
            lines.append(f"closed the {self.gaps_closed} gaps the edit left in the ids, moving {self.ids_moved} ids "
                         "(the id map goes from the old ids to these; --keep-gaps keeps the gaps)")
        if self.config_rewritten:
            gone = f", dropped the entries of {len(self.dropped)} tokens now gone" if self.dropped else ""
            lines.append(f"rewrote {CONFIG}'s added_tokens_decoder for the new ids{gone}")
        slow = [note for note in self.files if note.name in STALE and note.action in (REWROTE, LEFT_OUT)]
        for note in slow:
            action = "removed" if note.action == LEFT_OUT and self.in_place else note.action
            lines.append(f"{'warning: ' if note.warn else ''}{action} {note.name}: {note.why}")
        copied = sorted(note.name for note in self.files if note.action == COPIED)
        if copied:
            noun = "file" if len(copied) == 1 else "files"
            names = limited(copied, len(copied), SHOWN_FILES, indent="")
            lines.append(f"copied {len(copied)} other {noun} unchanged: {', '.join(names)}")
        if self.old_vocabulary:
            which = "holds" if len(self.old_vocabulary) == 1 else "hold"
            lines.append(f"warning: {', '.join(self.old_vocabulary)} {which} the old vocabulary, kept as "
                         f"{'it was' if len(self.old_vocabulary) == 1 else 'they were'}: loaders that read "
                         f"{TOKENIZER} ignore {'it' if len(self.old_vocabulary) == 1 else 'them'}, a slow "
                         "tokenizer or a converter would not; delete what the model does not need")
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


def _compose(first: Sequence[tuple[str, int, int]], second: Sequence[tuple[str, int, int]]) -> list[tuple[str, int, int]]:
    """Moves of added tokens by one step then another, as one: old id to final id."""
    final = {token: new for token, _, new in second}
    start = {token: old for token, old, _ in second}
    start.update({token: old for token, old, _ in first})
    ends = {token: final.get(token, new) for token, _, new in first}
    ends.update(final)
    return [(token, start[token], ends[token]) for token in start if start[token] != ends[token]]


def close_gaps(editor: quorvane.Quorvane, outcome: Outcome) -> None:
    """Give the model tokens the ids 0..n-1 when the edit left gaps, and the added
    tokens outside the model the ids after them, where loaders number them."""
    has_gaps, gaps, _, _ = editor.check_vocab_gaps()
    if not has_gaps:
        return
    # Pruning nothing with close_gaps renumbers exactly so, and says which added tokens moved.
    result = editor.prune_leaves(0, close_gaps=True)
    outcome.gaps_closed, outcome.ids_moved = gaps, result.ids_remapped
    outcome.moved = _compose(outcome.moved, result.moved_added_tokens)


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


def _slow_tokenizer(editor: quorvane.Quorvane, document: Mapping[str, object]) -> sentencepiece.Tokenizer:
    model = document.get("model")
    options = model if isinstance(model, dict) else {}
    entries = document.get("added_tokens")
    added = {
        entry["content"]: entry.get("special") is True
        for entry in (entries if isinstance(entries, list) else []) if isinstance(entry, dict)
        and isinstance(entry.get("content"), str)
    }
    return sentencepiece.Tokenizer(
        editor.get_vocab(), editor.get_merges(), added,
        affixes=bool(options.get("continuing_subword_prefix") or options.get("end_of_word_suffix")),
        ignore_merges=options.get("ignore_merges") is True,
    )


def _first(difference: sentencepiece.Difference) -> str:
    """The first word that encodes differently, shortened, around where the encodings part."""
    if difference.first is None:
        return ""
    word, ours, theirs = difference.first
    at = next((i for i, (a, b) in enumerate(zip(ours, theirs)) if a != b), min(len(ours), len(theirs)))

    def around(pieces: list[str]) -> str:
        shown = " + ".join(map(show, pieces[max(at - 1, 0):at + 3]))
        return ("… + " if at > 1 else "") + shown + (" + …" if at + 3 < len(pieces) else "")

    name = show(word if len(word) <= 40 else word[:40] + "…")
    return f" (first {name}: {around(ours)} in it, {around(theirs)} with {TOKENIZER})"


def _sentencepiece(
    name: str, model: sentencepiece.Model, tokenizer: sentencepiece.Tokenizer, where: ModelDir,
    editor: quorvane.Quorvane, outcome: Outcome, progress: Progress,
) -> bytes | None:
    """The rewritten SentencePiece BPE model `name`, or None when it is left out (noted in `outcome`)."""
    pieces, reason = sentencepiece.new_pieces(model, tokenizer)
    if reason is not None:
        outcome.note(name, LEFT_OUT, f"it cannot hold the edited tokenizer: {reason}", warn=True)
        return None
    divergence = sentencepiece.Divergence(pieces, tokenizer)
    words = sorted(tokenizer.vocab, key=tokenizer.vocab.__getitem__)
    source = "the vocabulary"
    if where.words:
        words = [word for word, _ in heapq.nlargest(CHECKED_WORDS, where.words.items(), key=lambda item: item[1])]
        source = "the text" if len(where.words) <= CHECKED_WORDS else "the text (the most frequent)"
    total = len(words)
    if divergence.exact:
        difference = sentencepiece.Difference(words=total)
    else:
        with progress.bar(f"encoding the words of {source} as {name} would", total) as advance:
            difference = divergence.check(words, editor.tokenize_batch, advance=advance)
    details: dict[str, object] = {"pieces": len(pieces), "checked_on": source, "words": difference.words,
                                  "words_differing": difference.differing}
    if difference.first is not None:
        details["first_difference"] = {"word": difference.first[0], "pieces": difference.first[1],
                                       "tokenizer_json": difference.first[2]}
    if difference.differing and where.slow_files != "rewrite":
        outcome.note(name, LEFT_OUT, f"{difference.differing} of the {difference.words} words of {source} would "
                     f"encode differently than with {TOKENIZER}{_first(difference)}, as SentencePiece joins "
                     "any two pieces that make a piece; --slow-files rewrite writes it all the same",
                     warn=True, **details)
        return None
    if difference.differing:
        why = (f"{len(pieces)} pieces, but {difference.differing} of the {difference.words} words of {source} "
               f"encode differently than with {TOKENIZER}{_first(difference)}")
    elif divergence.exact:
        why = f"{len(pieces)} pieces, scored by the merge list; it encodes every text as {TOKENIZER} does"
    else:
        why = (f"{len(pieces)} pieces, scored by the merge list; it encodes all {difference.words} words of "
               f"{source} as {TOKENIZER} does")
    outcome.note(name, REWROTE, why, warn=bool(difference.differing), **details)
    return sentencepiece.encode(model, pieces)


def _vocab_and_merges(
    names: Sequence[str], editor: quorvane.Quorvane, document: Mapping[str, object], outcome: Outcome
) -> dict[str, bytes]:
    """vocab.json and merges.txt (those of `names`) written anew, or none when the merges cannot be."""
    merges = editor.get_merges()
    reason = vocab_merges.unwritable(merges) if vocab_merges.MERGES in names else None
    if reason is not None:
        for name in names:
            outcome.note(name, LEFT_OUT, f"the merges cannot be written one a line: {reason}", warn=True)
        return {}
    texts = {vocab_merges.VOCAB: lambda: vocab_merges.vocab_text(_vocab(document)),
             vocab_merges.MERGES: lambda: vocab_merges.merges_text(merges)}
    for name in names:
        outcome.note(name, REWROTE, "from the edited vocabulary and merges")
    return {name: texts[name]().encode("utf-8") for name in names}


def slow_files(
    editor: quorvane.Quorvane, document: Mapping[str, object], where: ModelDir, outcome: Outcome,
    progress: Progress,
) -> dict[str, bytes]:
    """The slow-tokenizer files of the source written anew from the edited
    tokenizer, by name; what becomes of each of them is noted in `outcome`
    (a file neither rewritten nor left out stays as it was: copied, or kept
    in place)."""
    files: dict[str, bytes] = {}
    pair: list[str] = []
    tokenizer: sentencepiece.Tokenizer | None = None
    for name in STALE:
        if not os.path.isfile(os.path.join(where.source, name)):
            continue
        model = where.sentencepiece.get(name)
        if where.slow_files == "drop":
            outcome.note(name, LEFT_OUT, "--slow-files drop")
        elif where.slow_files == "keep" or name == "vocab.txt" or (
                model is not None and model.model_type != sentencepiece.BPE):
            if where.slow_files == "keep":
                why = "--slow-files keep"
            elif model is not None:
                why = f"a {model.kind} SentencePiece model, which an edit of a BPE tokenizer cannot rewrite"
            else:
                why = "a WordPiece vocabulary, which an edit of a BPE tokenizer cannot rewrite"
            outcome.note(name, KEPT if where.in_place else COPIED, f"{why}; it holds the old vocabulary")
            outcome.old_vocabulary.append(name)
        elif name in (vocab_merges.VOCAB, vocab_merges.MERGES):
            pair.append(name)
        elif model is not None:
            tokenizer = tokenizer or _slow_tokenizer(editor, document)
            content = _sentencepiece(name, model, tokenizer, where, editor, outcome, progress)
            if content is not None:
                files[name] = content
    if pair:
        files.update(_vocab_and_merges(pair, editor, document, outcome))
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
    noted = {note.name for note in outcome.files}
    entries = sorted(os.scandir(source), key=lambda e: e.name)
    _no_loops(source, [entry.name for entry in entries])
    for entry in entries:
        if entry.name in skipped:
            continue
        destination = os.path.join(target, entry.name)
        if entry.is_dir():
            shutil.copytree(entry.path, destination, ignore=_no_loops)
        else:
            shutil.copy2(entry.path, destination)
        outcome.copied += 1
        if entry.name not in noted:
            why = ("its vocab_size is resize-embeddings' to set" if entry.name == MODEL_CONFIG
                   else "not a file of the tokenizer")
            outcome.note(entry.name, COPIED, why)


def _document(path: str) -> dict[str, object]:
    """The tokenizer document the editor just saved (always a JSON object)."""
    return cast("dict[str, object]", read_json(path))


def _default_mode() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return 0o777 & ~mask


def _files(
    editor: quorvane.Quorvane, document: Mapping[str, object], where: ModelDir, outcome: Outcome,
    progress: Progress,
) -> dict[str, bytes]:
    """Every file to write beside tokenizer.json, by name, with its content."""
    outcome.note(TOKENIZER, REWROTE, "the edited tokenizer")
    files = {name: _json_file(value) for name, value in _companions(document, where, outcome).items()}
    for name in files:
        outcome.note(name, REWROTE, "the added tokens at their new ids")
    files.update(slow_files(editor, document, where, outcome, progress))
    return files


def _write_copy(
    editor: quorvane.Quorvane, where: ModelDir, outcome: Outcome, progress: Progress
) -> dict[str, object]:
    parent, name = os.path.split(where.target)
    building = tempfile.mkdtemp(prefix=f".{name}.", suffix=".partial", dir=parent)
    try:
        editor.save(os.path.join(building, TOKENIZER))
        document = _document(os.path.join(building, TOKENIZER))
        files = _files(editor, document, where, outcome, progress)
        for file_name, content in files.items():
            _put(os.path.join(building, file_name), content)
        left_out = [note.name for note in outcome.files if note.action == LEFT_OUT]
        progress.phase(f"copying the other files of {where.source}")
        _copy_others(where.source, building, [TOKENIZER, *files, *left_out], outcome)
        os.chmod(building, _default_mode())
        os.rename(building, where.target)  # replaces an empty directory, fails on a filled one
    except BaseException:
        _remove_tree(building)
        raise
    return document


def _write_in_place(
    editor: quorvane.Quorvane, where: ModelDir, outcome: Outcome, progress: Progress
) -> dict[str, object]:
    suffix = f".{os.getpid()}.tmp"
    staged: list[tuple[str, str]] = []
    try:
        path = where.written(TOKENIZER)
        staged.append((path + suffix, path))
        editor.save(path + suffix)
        document = _document(path + suffix)
        for file_name, content in _files(editor, document, where, outcome, progress).items():
            path = where.written(file_name)
            staged.append((path + suffix, path))
            _put(path + suffix, content)
        for temporary, path in staged:
            os.replace(temporary, path)
    except BaseException:
        for temporary, _ in staged:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        raise
    # Only once the new files are all in place: a left-out file describes the old vocabulary.
    for note in outcome.files:
        if note.action == LEFT_OUT:
            try:
                os.unlink(where.written(note.name))
            except OSError as exc:
                raise CliError(f"wrote {where.target}, but could not remove {note.name}, which holds the "
                               f"old vocabulary: {exc.strerror or exc}") from None
    return document


def save(
    editor: quorvane.Quorvane, where: ModelDir, moved: Sequence[tuple[str, int, int]] = (),
    progress: Progress | None = None,
) -> Outcome:
    """Write the edited tokenizer as the directory `where.target` describes,
    closing the gaps in its ids first unless `where.keep_gaps`.

    `moved` lists the added tokens the edit itself moved (token, old id, new
    id); the outcome's `moved` adds those the gaps' closing moved, for the id map.
    Raises CliError when the directory cannot be written; nothing is left
    behind then (with --in-place, the files are as they were).
    """
    progress = progress or Progress(False)
    outcome = Outcome(in_place=where.in_place, moved=list(moved))
    if not where.keep_gaps:
        progress.phase("closing the gaps in the ids")
        close_gaps(editor, outcome)
    try:
        if where.in_place:
            document = _write_in_place(editor, where, outcome, progress)
        else:
            document = _write_copy(editor, where, outcome, progress)
    except OSError as exc:
        raise CliError(f"could not write {where.target}, nothing written: {exc}") from None
    outcome.vocab_size_note = _vocab_size_note(where.target, document)
    outcome.shared_ids = shared_ids(document)
    return outcome
