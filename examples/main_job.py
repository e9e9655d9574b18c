"""Walk the sample tokenizer through one edit of each kind and show what changed.

    python examples/main_job.py [OUTPUT] [--tokenizer PATH] [--source PATH]

Opens the sample ByteLevel tokenizer, reports on it, then adds tokens, removes
one with its cascade, shrinks, adds at a fixed size, drops the merges left
without a product, closes the id gaps and merges in the "▁"-marker sample,
printing the sizes and the changes after each step. The result is saved to
OUTPUT (default: edited.json in a new temporary directory, so a run never
writes into the source tree unless asked to) and reopened to check it.
"""

from __future__ import annotations

import argparse
import tempfile
from collections.abc import Callable
from pathlib import Path

import quorvane

SAMPLES = Path(__file__).resolve().parent / "sample"


def show(tokens: list[str], limit: int = 6) -> str:
    shown = ", ".join(repr(t) for t in tokens[:limit])
    return f"[{shown}{', ...' if len(tokens) > limit else ''}] ({len(tokens)})"


def step(editor: quorvane.Quorvane, title: str, edit: Callable[[], list[str]]) -> None:
    """Runs one edit and prints its own report, then the sizes and the
    vocabulary difference it left."""
    vocab = editor.get_vocab()
    size, merges = editor.vocab_size, editor.merges_count
    print(f"\n{title}")
    for line in edit():
        print(f"  {line}")
    after = editor.get_vocab()
    gone = sorted(set(vocab) - set(after), key=vocab.__getitem__)
    new = sorted(set(after) - set(vocab), key=after.__getitem__)
    moved = sum(1 for token, i in after.items() if token in vocab and vocab[token] != i)
    print(f"  vocabulary {size} -> {editor.vocab_size}, merges {merges} -> {editor.merges_count}")
    print(f"  tokens gone {show(gone)}; new {show(new)}; ids changed {moved}")


def report(editor: quorvane.Quorvane, path: Path) -> None:
    print(f"opened {path}: {editor!r}")
    stats = editor.get_stats()
    lengths = ", ".join(f"{length}:{count}" for length, count in stats.length_distribution)
    print(f"  single characters {stats.single_char_count}, special-looking {stats.special_token_count}, "
          f"ids {stats.min_token_id}..{stats.max_token_id}")
    print(f"  tokens by length {lengths}")
    validation = editor.validate_merges()
    print(f"  merges valid {validation.valid_count}, invalid {validation.invalid_count}")


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("output", nargs="?", type=Path, help="where to save the edited tokenizer")
    parser.add_argument("--tokenizer", type=Path, default=SAMPLES / "tokenizer.json",
                        help="tokenizer.json to edit (default: the ByteLevel sample)")
    parser.add_argument("--source", type=Path, default=SAMPLES / "marker_tokenizer.json",
                        help="tokenizer.json to merge in (default: the marker sample)")
    args = parser.parse_args()
    output: Path = args.output or Path(tempfile.mkdtemp(prefix="quorvane-")) / "edited.json"

    print(f"quorvane {quorvane.__version__}")
    editor = quorvane.Quorvane(str(args.tokenizer))
    report(editor, args.tokenizer)

    def add() -> list[str]:
        results = editor.add_tokens(["Ġquorvane", "Ġlanterns", "Ġthe"])
        return [f"{r.token!r}: {r.method}, merges {r.added_merges}" for r in results]

    def remove() -> list[str]:
        r = editor.remove_token("Ġlantern")
        return [f"{r.root_token!r} took {len(r.removed_tokens) - 1} more tokens and "
                f"{len(r.removed_merges)} merges with it"]

    def shrink() -> list[str]:
        preview = [token for token, _, _ in editor.find_tokens_to_shrink(3)]
        r = editor.shrink(100)
        return [f"longest first: {show(preview)}",
                f"{r.tokens_removed_count} chosen, {r.total_tokens_removed} tokens and "
                f"{r.total_merges_removed} merges removed"]

    def keep_size() -> list[str]:
        words = ["Ġkeeper", "Ġbakery", "Ġrowing"]
        d = editor.add_tokens_keep_size(words, whitelist=words)
        return [f"{d['tokens_added']} of {d['tokens_requested']} added, {d['tokens_removed']} removed "
                f"to make room"]

    def drop_invalid() -> list[str]:
        return [f"{editor.remove_invalid_merges()} merges without a product dropped"]

    def reindex() -> list[str]:
        has_gaps, total_gaps, _, _ = editor.check_vocab_gaps()
        r = editor.reindex_vocab()
        return [f"gaps before: {total_gaps if has_gaps else 0}",
                f"ids {r.old_min_id}..{r.old_max_id} -> {r.new_min_id}..{r.new_max_id}, "
                f"{r.ids_remapped} ids remapped"]

    def merge() -> list[str]:
        r = editor.merge_from(str(args.source), max_vocab_size=3600)
        return [f"target is {r.representation}; {r.tokens_injected} source tokens injected, "
                f"{r.bridge_tokens_added} bridge tokens, {r.target_tokens_removed} target tokens made room",
                f"merges: {r.bridge_merges_added} bridge, {r.source_merges_added} from the source, "
                f"{r.target_merges_retained} kept"]

    step(editor, "add_tokens: three words with their merge chains", add)
    step(editor, "remove_token: 'Ġlantern' and everything built on it", remove)
    step(editor, "shrink(100): the longest ordinary tokens", shrink)
    step(editor, "add_tokens_keep_size: three words, a victim for each", keep_size)
    step(editor, "remove_invalid_merges", drop_invalid)
    step(editor, "reindex_vocab: close the id gaps", reindex)
    step(editor, f"merge_from {args.source.name}: the marker sample, converted", merge)

    editor.save(str(output))
    copy = quorvane.Quorvane(str(output))
    if copy.get_vocab() != editor.get_vocab() or copy.get_merges() != editor.get_merges():
        raise SystemExit(f"the result at {output} does not reload with the same vocabulary and merges")
    print(f"\nsaved {copy!r} to {output}; it reloads identically")
    invalid = copy.validate_merges().invalid_count
    print(f"invalid merges {invalid}, id gaps {copy.check_vocab_gaps()[1]}")


if __name__ == "__main__":
    main()
