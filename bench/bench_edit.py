"""Editing speed at full-vocabulary scale, checked against a pure-Python editor.

    python bench/bench_edit.py [--corpus-dir DIR] [--skip-client]

Each batch runs on a freshly opened editor (the time includes building the
indexes the batch needs) and, in the same run, on bench/plain_editor.py, a
careful pure-Python implementation with the same data structures. Both must
end with the same vocabulary and merge list, or the run fails. Printed: times,
the ratio baseline/quorvane, and the target each batch is held to (reported,
not asserted):

  shrink(100_000) on gemma3             < 0.5 s   (time per cascade per file)
  remove_tokens(20_000 long) on gemma3  < 0.3 s
  add_tokens(10_000 new words) on llama3 < 0.1 s
  reindex_vocab after shrink on gemma3  < 0.05 s

With the tokenizers package it also reports, after add_tokens, the share of
added words that the real client encodes as the single new token.
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import tempfile
import time
from pathlib import Path

import quorvane

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_io import DEFAULT_CORPUS, unpack  # noqa: E402
from plain_editor import PlainEditor  # noqa: E402

BYTE_LEVEL_SPACE = "\u0120"
MARKER = "\u2581"  # the space marker of the other representation
ALPHABET = "abcdefghijklmnopqrstuvwxyz"


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def space_symbol(doc: dict) -> str:
    return BYTE_LEVEL_SPACE if "ByteLevel" in json.dumps(doc.get("pre_tokenizer")) else MARKER


def new_words(doc: dict, count: int, seed: int) -> list[str]:
    rng = random.Random(seed)
    vocab = doc["model"]["vocab"]
    prefix = space_symbol(doc)
    words: list[str] = []
    seen: set[str] = set()
    while len(words) < count:
        word = prefix + "".join(rng.choice(ALPHABET) for _ in range(rng.randint(5, 12)))
        if word not in vocab and word not in seen:
            seen.add(word)
            words.append(word)
    return words


def long_tokens(doc: dict, count: int, seed: int) -> list[str]:
    tokens = sorted(t for t in doc["model"]["vocab"] if len(t) >= 6)
    random.Random(seed).shuffle(tokens)
    return tokens[:count]


def same_state(editor: quorvane.Quorvane, plain: PlainEditor, what: str) -> None:
    if editor.get_vocab() != plain.vocab or editor.get_merges() != plain.merges:
        raise SystemExit(f"MISMATCH after {what}: quorvane and the plain editor disagree")


def row(name: str, ours: float, base: float, target: float | None) -> None:
    verdict = "" if target is None else ("  ok" if ours < target else f"  MISSED (< {target} s)")
    print(f"  {name:<38} {ours * 1000:9.1f} ms   plain {base * 1000:9.1f} ms   x{base / ours:7.1f}{verdict}")


def bench_shrink(path: Path, doc: dict, target: float | None, reindex_target: float | None) -> None:
    editor = quorvane.Quorvane(str(path))
    ours, result = timed(lambda: editor.shrink(100_000))
    plain = PlainEditor(doc)
    base, (removed, tokens, merges) = timed(lambda: plain.shrink(100_000))
    if (result.tokens_removed_count, result.total_tokens_removed, result.total_merges_removed) != (
        removed, tokens, merges):
        raise SystemExit(f"MISMATCH in shrink counts on {path.name}")
    row(f"shrink(100_000) {path.stem}", ours, base, target)
    # The same with the merge indexes built beforehand (a removal of a string
    # no merge knows builds them and changes nothing): what is left grows with
    # the cascades, not with the merge list.
    warm = quorvane.Quorvane(str(path))
    warm.remove_token("\u0000 no such token \u0000")
    cascades, _ = timed(lambda: warm.shrink(100_000))
    print(f"  {'':<38} {ours / max(result.tokens_removed_count, 1) * 1e6:9.2f} us per cascade, "
          f"{cascades / max(result.tokens_removed_count, 1) * 1e6:.2f} us with the indexes built "
          f"({result.tokens_removed_count} cascades, {result.initial_merges_count} merges)")
    r_ours, reindexed = timed(editor.reindex_vocab)
    r_base, remapped = timed(plain.reindex_vocab)
    if reindexed.ids_remapped != remapped:
        raise SystemExit(f"MISMATCH in reindex on {path.name}")
    row(f"reindex_vocab after shrink {path.stem}", r_ours, r_base, reindex_target)
    same_state(editor, plain, f"shrink and reindex on {path.name}")


def bench_remove(path: Path, doc: dict, target: float | None) -> None:
    tokens = long_tokens(doc, 20_000, seed=7)
    editor = quorvane.Quorvane(str(path))
    ours, records = timed(lambda: editor.remove_tokens(tokens))
    plain = PlainEditor(doc)
    base, counts = timed(lambda: plain.remove_tokens(tokens))
    if [(len(r.removed_tokens), len(r.removed_merges)) for r in records] != counts:
        raise SystemExit(f"MISMATCH in remove_tokens on {path.name}")
    row(f"remove_tokens({len(tokens)}) {path.stem}", ours, base, target)
    same_state(editor, plain, f"remove_tokens on {path.name}")


def bench_add(path: Path, doc: dict, target: float | None, client: bool) -> None:
    words = new_words(doc, 10_000, seed=3)
    editor = quorvane.Quorvane(str(path))
    ours, records = timed(lambda: editor.add_tokens(words))
    plain = PlainEditor(doc)
    base, expected = timed(lambda: plain.add_tokens(words))
    if [(r.added, r.method, r.added_merges) for r in records] != expected:
        raise SystemExit(f"MISMATCH in add_tokens on {path.name}")
    row(f"add_tokens({len(words)}) {path.stem}", ours, base, target)
    same_state(editor, plain, f"add_tokens on {path.name}")
    if client:
        reached_share(editor, words)


def reached_share(editor: quorvane.Quorvane, words: list[str]) -> None:
    """Share of added words the real client encodes as the one new token.

    Each word's text is what the client itself decodes the new token to, so
    the marker and ByteLevel conventions (and a prepended marker) all hold.
    """
    import tokenizers

    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "tokenizer.json"
        editor.save(str(out))
        client = tokenizers.Tokenizer.from_file(str(out))
    ids = [client.token_to_id(w) for w in words]
    texts = [client.decode([i]) for i in ids]
    encodings = client.encode_batch(texts, add_special_tokens=False)
    single = sum(1 for i, e in zip(ids, encodings) if e.ids == [i])
    print(f"  {'':<38} real client: {single}/{len(words)} added words encode as their single "
          f"new token ({100 * single / len(words):.1f}%)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus-dir", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--skip-client", action="store_true", help="skip the real-client share")
    args = parser.parse_args()

    files = {name: unpack(args.corpus_dir / f"{name}.json.xz") for name in ("llama2", "llama3", "gemma3")}
    docs = {name: json.loads(path.read_text(encoding="utf-8")) for name, path in files.items()}

    print("shrink and reindex (time per cascade should not grow with the merge list):")
    for name in ("llama2", "llama3", "gemma3"):
        gemma = name == "gemma3"
        bench_shrink(files[name], docs[name], 0.5 if gemma else None, 0.05 if gemma else None)
    print("cascade removal:")
    bench_remove(files["gemma3"], docs["gemma3"], 0.3)
    print("addition (new words in the file's own representation):")
    for name in ("llama3", "llama2", "gemma3"):
        bench_add(files[name], docs[name], 0.1 if name == "llama3" else None, not args.skip_client)
    print("all answers agree with the plain editor")


if __name__ == "__main__":
    main()
