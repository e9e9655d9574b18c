# mypy: warn-unreachable
"""Every call, property and result field of quorvane, with the types a caller expects.

    python tests/typing/api_usage.py BYTE_LEVEL_TOKENIZER MARKER_TOKENIZER OUTPUT_DIR

Type-checked with `mypy --strict`, which fails if the stub gives any of these
annotated names a different type; run, it checks the same types at run time
with isinstance, and writes its files into OUTPUT_DIR only.
"""

from __future__ import annotations

import sys
from collections.abc import Sequence
from pathlib import Path
from typing import TypeVar

import quorvane

T = TypeVar("T")


def checked(value: T, kind: type) -> T:
    """`value`, after checking at run time the type the stub claims for it."""
    matches = isinstance(value, kind)  # kept apart so `value` stays a T
    if not matches:
        raise AssertionError(f"{value!r} is a {type(value).__name__}, not a {kind.__name__}")
    return value


def check_pairs(pairs: Sequence[tuple[str, str]]) -> None:
    for left, right in pairs:
        checked(left, str)
        checked(right, str)


def queries(editor: quorvane.Quorvane) -> None:
    vocab_size: int = checked(editor.vocab_size, int)
    merges_count: int = checked(editor.merges_count, int)
    text: str = checked(repr(editor), str)
    assert text == str(editor) == f"Quorvane(vocab_size={vocab_size}, merges_count={merges_count})"

    vocab: dict[str, int] = checked(editor.get_vocab(), dict)
    token, token_id = next(iter(vocab.items()))
    checked(token, str)
    checked(token_id, int)
    present: bool = checked(editor.has_token(token), bool)
    found_id: int | None = editor.get_token_id(token)
    found_token: str | None = editor.get_token_by_id(token_id)
    assert present and found_id == token_id and found_token == token
    assert editor.get_token_id("\0 not a token") is None
    assert editor.get_token_by_id(2**32 - 1) is None

    merges: list[tuple[str, str]] = checked(editor.get_merges(), list)
    assert len(merges) == merges_count
    check_pairs(merges)

    singles: list[tuple[str, int]] = checked(editor.get_single_char_tokens(), list)
    for char, char_id in singles:
        checked(char, str)
        checked(char_id, int)

    stats: quorvane.TokenizerStats = checked(editor.get_stats(), quorvane.TokenizerStats)
    counts: list[int] = [
        stats.vocab_size,
        stats.merges_count,
        stats.single_char_count,
        stats.special_token_count,
        stats.min_token_id,
        stats.max_token_id,
    ]
    for count in counts:
        checked(count, int)
    distribution: list[tuple[int, int]] = checked(stats.length_distribution, list)
    for length, tokens_of_length in distribution:
        checked(length, int)
        checked(tokens_of_length, int)

    validation: quorvane.ValidationResult = checked(editor.validate_merges(), quorvane.ValidationResult)
    valid: int = checked(validation.valid_count, int)
    invalid: int = checked(validation.invalid_count, int)
    invalid_merges: list[tuple[int, str, str]] = checked(validation.invalid_merges, list)
    assert valid + invalid == merges_count and len(invalid_merges) == invalid
    for position, left, right in invalid_merges:
        checked(position, int)
        checked(left, str)
        checked(right, str)

    gaps: tuple[bool, int, int, int] = checked(editor.check_vocab_gaps(), tuple)
    has_gaps: bool = checked(gaps[0], bool)
    total_gaps, min_id, max_id = gaps[1:]
    for number in (total_gaps, min_id, max_id):
        checked(number, int)
    assert has_gaps == (total_gaps > 0)

    preview: list[tuple[str, int, int]] = checked(editor.find_tokens_to_shrink(3), list)
    preview = editor.find_tokens_to_shrink(count=3, min_id=0)
    for shrink_token, shrink_id, char_length in preview:
        checked(shrink_token, str)
        checked(shrink_id, int)
        checked(char_length, int)

    document: str = checked(editor.to_json(), str)
    assert quorvane.Quorvane.from_json(document).get_vocab() == vocab


def edits(editor: quorvane.Quorvane, marker_path: str, out: Path) -> None:
    addition: quorvane.AdditionResult = checked(editor.add_token("quorvane typing"), quorvane.AdditionResult)
    added_token: str = checked(addition.token, str)
    added: bool = checked(addition.added, bool)
    method: str = checked(addition.method, str)
    added_merges: list[tuple[str, str]] = checked(addition.added_merges, list)
    check_pairs(added_merges)
    assert added and added_token == "quorvane typing" and method in ("longest_prefix", "char_chain")

    additions: list[quorvane.AdditionResult] = editor.add_tokens(["x1", "x2"])
    additions = editor.add_tokens(tokens=("x3",))
    assert all(isinstance(a, quorvane.AdditionResult) for a in additions)
    atomic: bool = checked(editor.add_token_atomic("<|typing|>"), bool)
    assert atomic

    removal: quorvane.RemovalResult = checked(editor.remove_token("x1"), quorvane.RemovalResult)
    root: str = checked(removal.root_token, str)
    removed_tokens: list[str] = checked(removal.removed_tokens, list)
    removed_merges: list[tuple[str, str]] = checked(removal.removed_merges, list)
    assert root == "x1" and root in removed_tokens
    check_pairs(removed_merges)
    removals: list[quorvane.RemovalResult] = editor.remove_tokens(["x2", "not in the vocabulary"])
    assert [r.root_token for r in removals] == ["x2"]

    dropped: int = checked(editor.remove_invalid_merges(), int)
    assert dropped >= 0

    shrink: quorvane.ShrinkResult = checked(editor.shrink(2, min_id=0), quorvane.ShrinkResult)
    shrink_counts: list[int] = [
        shrink.initial_vocab_size,
        shrink.initial_merges_count,
        shrink.final_vocab_size,
        shrink.final_merges_count,
        shrink.tokens_removed_count,
        shrink.total_tokens_removed,
        shrink.total_merges_removed,
    ]
    for count in shrink_counts:
        checked(count, int)

    kept = editor.add_tokens_keep_size(["kept one", "kept two"], whitelist=None)
    kept = editor.add_tokens_keep_size(["kept three"], ["kept one"])
    kept_counts: list[int] = [
        kept["initial_vocab_size"],
        kept["final_vocab_size"],
        kept["tokens_requested"],
        kept["tokens_added"],
        kept["tokens_removed"],
    ]
    assert len(kept) == len(kept_counts)
    for count in kept_counts:
        checked(count, int)

    synced = editor.sync_single_chars(marker_path, min_id=0)
    synced_counts: list[int] = [
        synced["initial_vocab_size"],
        synced["final_vocab_size"],
        synced["chars_in_source"],
        synced["chars_already_present"],
        synced["chars_added_count"],
        synced["total_tokens_removed"],
        synced["total_merges_removed"],
    ]
    assert len(synced) == len(synced_counts)
    for count in synced_counts:
        checked(count, int)

    reindex: quorvane.ReindexResult = checked(editor.reindex_vocab(), quorvane.ReindexResult)
    reindex_counts: list[int] = [
        reindex.vocab_size,
        reindex.merges_count,
        reindex.old_min_id,
        reindex.old_max_id,
        reindex.new_min_id,
        reindex.new_max_id,
        reindex.ids_remapped,
        reindex.gaps_removed,
    ]
    for count in reindex_counts:
        checked(count, int)

    merge: quorvane.MergeTokenizerResult = checked(
        editor.merge_from(marker_path, max_vocab_size=editor.vocab_size + 500), quorvane.MergeTokenizerResult
    )
    merge_counts: list[int] = [
        merge.initial_target_vocab_size,
        merge.source_vocab_size,
        merge.final_model_vocab_size,
        merge.final_vocab_size,
        merge.tokens_injected,
        merge.target_tokens_removed,
        merge.bridge_tokens_added,
        merge.bridge_merges_added,
        merge.source_merges_added,
        merge.target_merges_retained,
    ]
    for count in merge_counts:
        checked(count, int)
    representation: str = checked(merge.representation, str)
    assert representation

    saved = out / "edited.json"
    editor.save(str(saved))
    assert quorvane.Quorvane(str(saved)).get_vocab() == editor.get_vocab()


def misuse(editor: quorvane.Quorvane, result: quorvane.AdditionResult) -> None:
    """Calls the stub must reject. Never run: each would raise. Under --strict an
    ignore that mypy does not need is itself an error, so each line fails the
    check if the stub stops rejecting it."""
    quorvane.Quorvane(Path("tokenizer.json"))  # type: ignore[arg-type]
    editor.vocab_size = 1  # type: ignore[misc]
    result.added = False  # type: ignore[misc]
    editor.get_token_by_id(1.0)  # type: ignore[arg-type]
    editor.add_tokens({"a"})  # type: ignore[arg-type]

    class Editor(quorvane.Quorvane):  # type: ignore[misc]
        pass



def construct_result() -> None:
    """Result objects come only from the editor: the constructor never returns."""
    quorvane.RemovalResult()
    print("unreachable")  # type: ignore[unreachable]


def main(argv: Sequence[str]) -> None:
    if len(argv) != 3:
        raise SystemExit(__doc__)
    byte_level, marker, out_dir = argv
    out = Path(out_dir)
    version: str = checked(quorvane.__version__, str)
    assert version

    editor = quorvane.Quorvane(byte_level)
    queries(editor)
    edits(editor, marker, out)
    queries(quorvane.Quorvane.from_json(json_str=Path(marker).read_text(encoding="utf-8")))


if __name__ == "__main__":
    main(sys.argv[1:])
