"""`extend`, `prune` and `adapt`: editing the vocabulary by what a text needs.

extend  learns new tokens from the text by continuing BPE training
        (`Quorvane.extend_vocabulary`);
prune   removes the leaf tokens the text uses least, or the highest ids without
        text (`Quorvane.prune_leaves`), then closes the id gaps;
adapt   prunes N leaves by their use in the text of the language kept, then
        learns as many tokens from the new language's text in the freed ids, so
        that the vocabulary (and the model's embedding matrix) keeps its size.

Texts and word-count files are read as `quorvane_cli.text.wordcount` describes.
Every command writes nothing when it cannot do all that was asked.
"""

from __future__ import annotations

import argparse
import contextlib
import threading
import time
from collections import Counter
from collections.abc import Iterator, Sequence

import quorvane

from quorvane_cli.commands.editing import SHOWN, Destination, destination, open_editor, save_edit
from quorvane_cli.cli.errors import CliError
from quorvane_cli.cli.output import Report, limited, show
from quorvane_cli.cli.progress import Progress
from quorvane_cli.text.reading import TextFile
from quorvane_cli.cli.tokens import read_token_file
from quorvane_cli.text.wordcount import TextReading, check_texts, core_splitter, gather_counts, is_counts_file

LINES_PER_BATCH = 1000


def _open(where: Destination, progress: Progress) -> tuple[quorvane.Quorvane, quorvane.Quorvane | None]:
    """The editor, and a copy of it before the edit when the id map or a GGUF needs it."""
    editor = open_editor(where, progress)
    return editor, editor.copy() if where.keeps_before else None


@contextlib.contextmanager
def _encoder_built_meanwhile(editor: quorvane.Quorvane) -> Iterator[None]:
    """Build the editor's encoder, which learning needs next, on another thread
    while the body reads and counts text. Only when the core splits the text:
    the client's splitting forks worker processes, never to be done beside a
    running thread."""
    if core_splitter(editor) is None:
        yield
        return

    def build() -> None:
        with contextlib.suppress(MemoryError):  # the learning step then fails on its own
            editor.prepare_encoder()

    builder = threading.Thread(target=build, name="quorvane-encoder", daemon=True)
    builder.start()
    try:
        yield
    finally:
        builder.join()


def _note_words(where: Destination, words: Counter[str] | None) -> None:
    """Keep the words of the edit's text for the check of a rewritten tokenizer.model."""
    if words:
        where.target.text_words(words)


def bytes_per_token(document: str, paths: Sequence[str]) -> float | None:
    """UTF-8 bytes over tokens of the non-blank lines of the texts, encoded by the
    tokenizers package with the tokenizer `document` (JSON); None without tokens."""
    from tokenizers import Tokenizer

    client = Tokenizer.from_str(document)
    client.no_truncation()
    client.no_padding()
    size = tokens = 0
    for path in paths:
        text = TextFile(path)
        try:
            batch: list[str] = []
            for line in text.documents():
                batch.append(line)
                if len(batch) == LINES_PER_BATCH:
                    size += sum(len(line.encode()) for line in batch)
                    tokens += sum(len(e.ids) for e in client.encode_batch(batch, add_special_tokens=False))
                    batch = []
            size += sum(len(line.encode()) for line in batch)
            tokens += sum(len(e.ids) for e in client.encode_batch(batch, add_special_tokens=False))
        finally:
            text.close()
    return size / tokens if tokens else None


def _learn(
    editor: quorvane.Quorvane, words: Counter[str], count: int, args: argparse.Namespace, reuse: bool,
    unchanged: Counter[str] | None = None,
) -> tuple[quorvane.ExtendResult, float]:
    started = time.perf_counter()
    result = editor.extend_vocabulary(
        words, count, max_token_length=args.max_token_length, min_frequency=args.min_frequency,
        reuse_freed_ids=reuse, unchanged_words=unchanged,
    )
    return result, time.perf_counter() - started


def _learned(
    result: quorvane.ExtendResult, seconds: float, as_json: bool
) -> tuple[dict[str, object], list[str]]:
    """The report data of a learning result, and its lines for the tokens learned.

    Each of the result's lists is taken once (every access builds it anew), and
    the merges only for --json, the one report that lists them.
    """
    added, frequencies = result.added_tokens, result.frequencies
    data: dict[str, object] = {
        "distinct_words": result.words,
        "tokens_added": len(added),
        "added_tokens": added,
        "added_merges": result.added_merges if as_json else [],  # (left, right) tuples, written as arrays
        "frequencies": frequencies,
        "learn_seconds": round(seconds, 3),
        "moved_added_tokens": _moved(result.moved_added_tokens),
    }
    shown = (f"{show(t)} ({f} times)" for t, f in zip(added, frequencies))
    return data, limited(shown, len(added), SHOWN)


def run_extend(args: argparse.Namespace, progress: Progress) -> Report:
    """Learn --add new tokens from the texts by continued BPE training."""
    started = time.perf_counter()
    where = destination(args)
    check_texts(args.text, "--text")
    with TextReading(args.text) as reading:  # reads ahead while the tokenizer loads
        editor, before = _open(where, progress)
        with _encoder_built_meanwhile(editor):
            words = gather_counts(editor, args.text, progress, reading=reading)
    _note_words(where, words)
    progress.phase(f"learning {args.add} tokens from {len(words)} distinct words")
    result, seconds = _learn(editor, words, args.add, args, reuse=False)
    data, learned_lines = _learned(result, seconds, args.json)
    report = Report(
        data,
        [f"learned {data['tokens_added']} tokens from {result.words} distinct words "
         f"in {seconds:.2f} s (most frequent first):", *learned_lines],
    )
    report.lines += _moved_lines(result.moved_added_tokens)
    report = save_edit(editor, where, progress, report, before, result.moved_added_tokens)
    report.data["seconds"] = round(time.perf_counter() - started, 3)
    return report


def _prune(
    editor: quorvane.Quorvane, count: int, words: Counter[str] | None, keep: list[str] | None,
    close_gaps: bool,
) -> tuple[quorvane.PruneResult, float]:
    started = time.perf_counter()
    result = editor.prune_leaves(count, words, keep, close_gaps)
    return result, time.perf_counter() - started


def _prune_data(result: quorvane.PruneResult, seconds: float, removed: list[str]) -> dict[str, object]:
    return {
        "tokens_removed": result.tokens_removed,
        "merges_removed": result.merges_removed,
        "removed_tokens": removed,
        "prune_seconds": round(seconds, 3),
        "moved_added_tokens": _moved(result.moved_added_tokens),
    }


def _moved_lines(moved: list[tuple[str, int, int]]) -> list[str]:
    if not moved:
        return []
    return [f"moved {len(moved)} added tokens outside the model to ids {moved[0][2]}..{moved[-1][2]}, "
            "where the tokenizers package numbers them"]


def _moved(moved: list[tuple[str, int, int]]) -> list[dict[str, object]]:
    return [{"token": token, "old_id": old, "new_id": new} for token, old, new in moved]


def run_prune(args: argparse.Namespace, progress: Progress) -> Report:
    """Remove --count leaf tokens, the least used in the texts first, then close the id gaps."""
    started = time.perf_counter()
    where = destination(args)
    texts: list[str] = args.text or []
    check_texts(texts, "--text")
    keep = read_token_file(args.keep) if args.keep is not None else None
    with TextReading(texts) as reading:  # reads ahead while the tokenizer loads
        editor, before = _open(where, progress)
        with _encoder_built_meanwhile(editor):
            words = gather_counts(editor, texts, progress, reading=reading) if texts else None
    _note_words(where, words)
    how = "by their use in the text" if words is not None else "highest ids first"
    progress.phase(f"pruning {args.count} leaf tokens, {how}")
    result, seconds = _prune(editor, args.count, words, keep, close_gaps=True)
    removed = result.removed  # each access builds the list anew
    data = _prune_data(result, seconds, removed)
    data["ids_remapped"] = result.ids_remapped
    report = Report(
        data,
        [f"pruned {result.tokens_removed} leaf tokens ({how}) and {result.merges_removed} merges "
         f"in {seconds:.2f} s; {result.ids_remapped} ids moved to close the gaps:",
         *limited(map(show, removed), len(removed), SHOWN)],
    )
    report.lines += _moved_lines(result.moved_added_tokens)
    report = save_edit(editor, where, progress, report, before, result.moved_added_tokens)
    report.data["seconds"] = round(time.perf_counter() - started, 3)
    return report


def run_adapt(args: argparse.Namespace, progress: Progress) -> Report:
    """Swap --replace leaves the kept language needs least for tokens of the new language."""
    started = time.perf_counter()
    where = destination(args)
    new_texts: list[str] = args.text
    old_texts: list[str] = args.keep_text or []
    measured = {"text": args.heldout or [], "keep_text": args.keep_heldout or []}
    for option, paths in (("--text", new_texts), ("--keep-text", old_texts),
                          ("--heldout", measured["text"]), ("--keep-heldout", measured["keep_text"])):
        check_texts(paths, option)
    for option, paths in (("--heldout", measured["text"]), ("--keep-heldout", measured["keep_text"])):
        if any(is_counts_file(path) for path in paths):
            raise CliError(f"{option} takes text, not word counts")
    if args.keep_segmentation and not old_texts:
        raise CliError("--keep-segmentation needs --keep-text, the text whose words keep their segmentation")
    with TextReading(new_texts) as reading:  # reads ahead while the tokenizer loads
        editor, before = _open(where, progress)
        with _encoder_built_meanwhile(editor):
            new_words = gather_counts(editor, new_texts, progress, reading=reading)
            old_words = gather_counts(editor, old_texts, progress) if old_texts else None
    _note_words(where, new_words)
    _note_words(where, old_words)
    document = editor.to_json() if measured["text"] or measured["keep_text"] else ""
    size = editor.vocab_size

    how = "by their use in the kept language's text" if old_words is not None else "highest ids first"
    progress.phase(f"pruning {args.replace} leaf tokens, {how}")
    pruned, prune_seconds = _prune(editor, args.replace, old_words, None, close_gaps=False)
    freed = size - editor.vocab_size
    progress.phase(f"learning {freed} tokens from {len(new_words)} distinct words")
    unchanged = old_words if args.keep_segmentation else None
    learned, learn_seconds = _learn(editor, new_words, freed, args, reuse=True, unchanged=unchanged)
    if editor.vocab_size != size:  # pragma: no cover - the two counts match by construction
        raise CliError(f"the vocabulary went from {size} to {editor.vocab_size} tokens; nothing written")

    learned_data, learned_lines = _learned(learned, learn_seconds, args.json)
    data: dict[str, object] = {
        "vocab_size": size,
        "keep_segmentation": bool(args.keep_segmentation),
        **_prune_data(pruned, prune_seconds, pruned.removed),
        **learned_data,
    }
    lines = [
        f"replaced {freed} tokens ({how}) with {learned_data['tokens_added']} learned from "
        f"{learned.words} distinct words; {size} tokens before and after",
        "learned (most frequent first):", *learned_lines,
    ]
    if measured["text"] or measured["keep_text"]:
        progress.phase("measuring the held-out texts")
        after = editor.to_json()
        figures: dict[str, object] = {}
        for key, paths in measured.items():
            if not paths:
                continue
            old, new = bytes_per_token(document, paths), bytes_per_token(after, paths)
            figures[key] = {"texts": paths, "bytes_per_token_before": old, "bytes_per_token_after": new}
            lines.append(f"bytes per token on {', '.join(paths)}: {_fixed(old)} -> {_fixed(new)}")
        data["heldout"] = figures
    report = save_edit(editor, where, progress, Report(data, lines), before)
    report.data["seconds"] = round(time.perf_counter() - started, 3)
    return report


def _fixed(value: float | None) -> str:
    return f"{value:.3f}" if value is not None else "-"
