"""Encoding speed on the real tokenizers, checked against the `tokenizers` package.

    python bench/bench_encode.py [--repeat N] [--corpus-dir DIR]

Two measurements, each held to a target (reported, not asserted):

  tokenize_batch(every vocabulary string of gemma3)   < 1 s, excluding the open
  unreachable_tokens() on gemma3                        < 1 s

tokenize_batch runs on an editor opened just before: "first call" includes
whatever the encoder builds on first use, "later calls" is the best of N
afterwards; as many empty strings show what passing the list in and the
pieces out costs alone. The baselines, in the same run, are the client's
model.tokenize called word by word (the Python loop a user would write) and
the client's own batch: encode_batch of a Tokenizer holding only the model,
so no normalizer, pre-tokenizer or added token takes part and each string is
one word.

unreachable_tokens runs, first call and best of N, on a freshly opened editor
of every corpus tokenizer, against the client deciding the same thing word by
word: a token is unreachable when model.tokenize(token) is not [token], byte
tokens of a byte-fallback model and added tokens aside.

All answers must agree exactly, or the run exits with 1.
"""

from __future__ import annotations

import argparse
import re
import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True  # the benchmark leaves nothing in the tree

import quorvane  # noqa: E402
import tokenizers  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_io import DEFAULT_CORPUS, unpack  # noqa: E402

NAMES = ("llama2", "llama3", "qwen3", "gemma3")
BYTE_TOKEN = re.compile(r"<0x[0-9A-F]{2}>")
TOKENIZE_GOAL = 1.0
UNREACHABLE_GOAL = {"gemma3": 1.0}


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def best_of(repeat: int, fn):
    best, result = float("inf"), None
    for _ in range(repeat):
        elapsed, result = timed(fn)
        best = min(best, elapsed)
    return best, result


def client_loop(client: tokenizers.Tokenizer, words: list[str]) -> list[list[str]]:
    tokenize = client.model.tokenize
    return [[t.value for t in tokenize(w)] for w in words]


def client_batch(model_only: tokenizers.Tokenizer, words: list[str]) -> list[list[str]]:
    # Without a normalizer or pre-tokenizer each input is one word for the model.
    # (is_pretokenized input would need numpy in this package.)
    return [e.tokens for e in model_only.encode_batch(words, add_special_tokens=False)]


def client_unreachable(client: tokenizers.Tokenizer, vocab: dict[str, int]):
    byte_fallback = client.model.byte_fallback
    added = {t.content for t in client.get_added_tokens_decoder().values()}
    tokens = sorted(vocab, key=str.encode)
    return [(t, vocab[t], p) for t, p in zip(tokens, client_loop(client, tokens))
            if p != [t] and not (byte_fallback and BYTE_TOKEN.fullmatch(t)) and t not in added]


def first_difference(words, ours, theirs) -> str:
    for w, o, t in zip(words, ours, theirs):
        if o != t:
            return f"{w!r}: quorvane {o!r}, client {t!r}"
    return f"lengths {len(ours)} and {len(theirs)}"


def verdict(seconds: float, goal: float | None) -> str:
    if goal is None:
        return ""
    return f"< {goal * 1000:.0f} ms " + ("ok" if seconds < goal else "MISSED")


def bench_tokenize(path: Path, repeat: int, faults: list[str]) -> None:
    load, editor = timed(lambda: quorvane.Quorvane(str(path)))
    client = tokenizers.Tokenizer.from_file(str(path))
    words = list(editor.get_vocab())
    first, ours = timed(lambda: editor.tokenize_batch(words))
    later, _ = best_of(repeat, lambda: editor.tokenize_batch(words))
    loop, expected = best_of(repeat, lambda: client_loop(client, words))
    model_only = tokenizers.Tokenizer(client.model)
    batch, batched = best_of(repeat, lambda: client_batch(model_only, words))
    empty = [""] * len(words)
    crossing, _ = best_of(repeat, lambda: editor.tokenize_batch(empty))
    if ours != expected:
        faults.append(f"tokenize_batch on {path.stem}: {first_difference(words, ours, expected)}")
    if batched != expected:
        faults.append(f"client batch vs loop on {path.stem}: {first_difference(words, batched, expected)}")

    print(f"tokenize_batch over the {len(words):,} vocabulary strings of {path.stem} "
          f"(open {load * 1000:.0f} ms, not counted):")
    print(f"  {'quorvane, first call':<34} {first * 1000:9.1f} ms   {verdict(first, TOKENIZE_GOAL)}")
    print(f"  {'quorvane, later calls':<34} {later * 1000:9.1f} ms")
    print(f"  {'quorvane, as many empty strings':<34} {crossing * 1000:9.1f} ms   (the list in and out alone)")
    print(f"  {'client model.tokenize loop':<34} {loop * 1000:9.1f} ms   x{loop / first:6.1f} first, "
          f"x{loop / later:6.1f} later")
    print(f"  {'client encode_batch (model only)':<34} {batch * 1000:9.1f} ms   x{batch / first:6.1f} first, "
          f"x{batch / later:6.1f} later")
    pieces = sum(len(p) for p in ours)
    print(f"  {len(words):,} strings, {pieces:,} pieces, "
          f"{sum(1 for w, p in zip(words, ours) if p != [w]):,} strings that are not one piece")


def bench_unreachable(paths: dict[str, Path], repeat: int, faults: list[str]) -> None:
    print()
    print(f"{'unreachable_tokens':<12} | {'vocab':>7} {'unreachable':>11} | {'first call':>10} {'later':>8}"
          f" {'client':>8} {'client/first':>12} | goal")
    print("-" * 84)
    for name, path in paths.items():
        editor = quorvane.Quorvane(str(path))
        client = tokenizers.Tokenizer.from_file(str(path))
        first, found = timed(editor.unreachable_tokens)
        later, _ = best_of(repeat, editor.unreachable_tokens)
        vocab = editor.get_vocab()
        base, expected = timed(lambda: client_unreachable(client, vocab))
        if found != expected:
            missing = [e for e in expected if e not in found][:3]
            extra = [f for f in found if f not in expected][:3]
            faults.append(f"unreachable_tokens on {name}: not reported {missing}, reported wrongly {extra}")
        print(f"{name:<12} | {len(vocab):>7} {len(found):>11} | {first * 1000:10.1f} {later * 1000:8.1f}"
              f" {base * 1000:8.1f} {base / first:12.1f} | {verdict(first, UNREACHABLE_GOAL.get(name))}")
        del editor, client
    print("times in ms; client = model.tokenize of every token in a Python loop")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="runs per measurement, best kept (default 3)")
    parser.add_argument("--corpus-dir", type=Path, default=DEFAULT_CORPUS)
    args = parser.parse_args()

    paths = {name: unpack(args.corpus_dir / f"{name}.json.xz") for name in NAMES}
    faults: list[str] = []
    bench_tokenize(paths["gemma3"], args.repeat, faults)
    bench_unreachable(paths, args.repeat, faults)
    if faults:
        print("\nanswer check FAILED:", *faults, sep="\n  ", file=sys.stderr)
        return 1
    print("\nanswer check: quorvane and the client agree on every string and every token")
    return 0


if __name__ == "__main__":
    sys.exit(main())
