"""Words of running text added to the real tokenizers: add_tokens against add_tokens_reachable.

    python bench/bench_reachable.py [--quick] [--corpus-dir DIR] [--text-dir DIR]

For each of llama2, llama3, qwen3 and gemma3 and each of Polish and Czech
(../shared/text/*-train.txt.xz) it takes the 2,000 words (maximal runs of
letters) from frequency rank 2,000, in the form they take after a space
(ByteLevel characters of " word", or "▁word"), and adds them to a freshly
opened editor twice: with add_tokens, the way that builds a chain of merges
from the longest known prefix, and with add_tokens_reachable. Printed per run:

  one token   share of the words that the real client, encoding whole lines of
              the text (up to 5 lines per word), produces as their one token at
              every occurrence after a space
  entries     new vocabulary entries
  bound       the fewest new entries any binary merge trees over each word's
              pieces need, summed over the words (an internal node whose string
              is already a token is free; a character the vocabulary lacks costs
              one); shared intermediates can take a run below it
  turn min    the same minimum, but with the words added one call each and
              each word measured against the vocabulary at its turn (so
              intermediates made for earlier words are free); "over" counts
              the words that took more new entries than that
  broken      tokens reachable before that are unreachable after (must be 0)
  new unr.    new entries that are themselves unreachable
  time        the call alone, on a freshly opened editor (so it includes
              whatever indexes the call builds on first use)

Then add_tokens_reachable of 10,000 Polish words (from rank 2,000) on gemma3,
on a freshly opened editor, best of N, held to < 0.5 s (reported, not
asserted); also with the encoder built beforehand, and add_tokens.

Answer check, for every run: after the call, tokenize_batch of the requested
words and unreachable_tokens() agree exactly with the client reading our
to_json, and add_tokens_reachable leaves no requested word unreachable,
breaks no token, and ends in the same state when called once per word. A failed check makes the run exit with 1. Nothing is written
into the tree (the corpus is unpacked under the system temp dir).
"""

from __future__ import annotations

import argparse
import collections
import lzma
import re
import sys
import time
from dataclasses import dataclass
from pathlib import Path

sys.dont_write_bytecode = True  # the benchmark leaves nothing in the tree

import quorvane  # noqa: E402
import tokenizers  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_io import DEFAULT_CORPUS, unpack  # noqa: E402

DEFAULT_TEXT = DEFAULT_CORPUS.parent / "text"
NAMES = ("llama2", "llama3", "qwen3", "gemma3")
BYTE_LEVEL_NAMES = {"llama3", "qwen3"}
MARKER = "\u2581"
LETTER_RUN = re.compile(r"[^\W\d_]+")
BYTE_TOKEN = re.compile(r"<0x[0-9A-F]{2}>")
FIRST_RANK = 2_000
LARGE_GOAL = 0.5


def byte_level_table() -> list[str]:
    """The ByteLevel alphabet: the character that stands for each byte."""
    printable = [*range(33, 127), *range(161, 173), *range(174, 256)]
    extra = iter(range(256, 512))
    return [chr(b) if b in printable else chr(next(extra)) for b in range(256)]


BYTE_CHARS = byte_level_table()


def read_lines(path: Path) -> list[str]:
    with lzma.open(path) as f:
        return [line for line in f.read().decode("utf-8").split("\n") if line]


def ranked_words(lines: list[str], start: int, count: int) -> list[str]:
    counts = collections.Counter(w for line in lines for w in LETTER_RUN.findall(line))
    return sorted(counts, key=lambda w: (-counts[w], w))[start:start + count]


def after_a_space(name: str, word: str) -> str:
    if name in BYTE_LEVEL_NAMES:
        return "".join(BYTE_CHARS[b] for b in (" " + word).encode())
    return MARKER + word


def client_pieces(client: tokenizers.Tokenizer, words: list[str]) -> list[list[str]]:
    tokenize = client.model.tokenize
    return [[t.value for t in tokenize(w)] for w in words]


def client_unreachable(client: tokenizers.Tokenizer, vocab: dict[str, int]):
    byte_fallback = client.model.byte_fallback
    added = {t.content for t in client.get_added_tokens_decoder().values()}
    tokens = sorted(vocab, key=str.encode)
    return [(t, vocab[t], p) for t, p in zip(tokens, client_pieces(client, tokens))
            if p != [t] and not (byte_fallback and BYTE_TOKEN.fullmatch(t)) and t not in added]


def units(client: tokenizers.Tokenizer, word: str) -> tuple[list[str], set[str]]:
    """The word's pieces, each byte-fallback or unknown stretch split into its
    characters; and those characters (each needs a new token)."""
    raw = word.encode()
    out: list[str] = []
    missing: set[str] = set()
    pending = b""
    for token in client.model.tokenize(word):
        start, end = token.offsets
        if token.value.encode() == raw[start:end]:
            if pending:
                out += pending.decode()
                missing.update(pending.decode())
                pending = b""
            out.append(token.value)
        else:
            pending += raw[start:end]
    if pending:
        out += pending.decode()
        missing.update(pending.decode())
    return out, missing


def units_of_pieces(word: str, pieces: list[str]) -> tuple[list[str], set[str]]:
    """units() from the editor's own pieces, for states the client has not seen:
    a byte-fallback stretch shows as <0xNN> tokens (no unknown token fires here)."""
    out: list[str] = []
    missing: set[str] = set()
    pending = bytearray()
    pos = 0
    for piece in [*pieces, None]:
        if piece is not None and BYTE_TOKEN.fullmatch(piece) and not word.startswith(piece, pos):
            pending.append(int(piece[3:5], 16))
            continue
        if pending:
            chars = pending.decode()
            out += chars
            missing.update(chars)
            pos += len(chars)
            pending.clear()
        if piece is not None:
            out.append(piece)
            pos += len(piece)
    return out, missing


def fewest_new_tokens(pieces: list[str], vocab: dict[str, int] | set[str], missing: set[str]) -> int:
    """Interval minimum over binary merge trees: cost[i][j] for pieces i..j.
    A new string that occurs twice in one tree is counted twice."""
    k = len(pieces)
    cost = [[0] * k for _ in range(k)]
    for span in range(2, k + 1):
        for i in range(k - span + 1):
            j = i + span - 1
            inside = min(cost[i][m] + cost[m + 1][j] for m in range(i, j))
            cost[i][j] = inside + ("".join(pieces[i:j + 1]) not in vocab)
    return len(missing) + (cost[0][k - 1] if k else 0)


def one_token_share(client: tokenizers.Tokenizer, forms: dict[str, str], lines: list[str]) -> tuple[int, int]:
    """(words produced as their one token at every occurrence after a space in
    up to 5 lines each, words that occur after a space at all)."""
    wanted = set(forms)
    where: dict[str, list[tuple[int, int]]] = collections.defaultdict(list)
    for index, line in enumerate(lines):
        found = collections.Counter(
            m.group() for m in LETTER_RUN.finditer(line)
            if m.start() > 0 and line[m.start() - 1] == " " and m.group() in wanted)
        for word, n in found.items():
            if len(where[word]) < 5:
                where[word].append((index, n))
    chosen = sorted({i for spots in where.values() for i, _ in spots})
    encoded = dict(zip(chosen, client.encode_batch([lines[i] for i in chosen], add_special_tokens=False)))
    produced = 0
    for word, spots in where.items():
        token_id = client.token_to_id(forms[word])
        produced += token_id is not None and all(encoded[i].ids.count(token_id) >= n for i, n in spots)
    return produced, len(where)


@dataclass
class Run:
    name: str
    language: str
    method: str
    requested: int
    produced: int
    looked_at: int
    entries: int
    bound: int
    broken: int
    new_unreachable: int
    seconds: float
    turn_minimum: int | None = None  # one word at a time, each word's own minimum at its turn
    over_minimum: int | None = None  # words that took more new entries than that


@dataclass
class Before:
    """The unedited tokenizer: what every run starts from."""
    vocab: dict[str, int]
    unreachable: set[str]


def run_once(name: str, language: str, path: Path, lines: list[str], forms: dict[str, str],
             bound: int, before: Before, method: str, faults: list[str]) -> Run:
    editor = quorvane.Quorvane(str(path))
    vocab_before, unreachable_before = before.vocab, before.unreachable
    requested = list(forms.values())
    add = getattr(editor, method)
    start = time.perf_counter()
    results = add(requested)
    seconds = time.perf_counter() - start

    where = f"{method} on {name}/{language}"
    client = tokenizers.Tokenizer.from_str(editor.to_json())
    if editor.tokenize_batch(requested) != client_pieces(client, requested):
        faults.append(f"{where}: tokenize_batch of the requested words differs from the client")
    vocab = editor.get_vocab()
    unreachable = editor.unreachable_tokens()
    if unreachable != client_unreachable(client, vocab):
        faults.append(f"{where}: unreachable_tokens differs from the client")
    now = {t for t, _, _ in unreachable}
    broken = sorted((now & set(vocab_before)) - unreachable_before)
    if method == "add_tokens_reachable":
        left = [(r.token, r.reason) for r in results if not r.reachable]
        if left:
            faults.append(f"{where}: {len(left)} requested words not reachable, first {left[:3]}")
        if broken:
            faults.append(f"{where}: made reachable tokens unreachable: {broken[:5]}")
    produced, looked_at = one_token_share(client, forms, lines)
    run = Run(name, language, method, len(requested), produced, looked_at, len(vocab) - len(vocab_before),
              bound, len(broken), len(now - set(vocab_before)), seconds)
    if method == "add_tokens_reachable":
        run.turn_minimum, run.over_minimum = replay(path, requested, vocab_before, editor, where, faults)
    return run


def replay(path: Path, requested: list[str], vocab_before: dict[str, int], batch: quorvane.Quorvane,
           where: str, faults: list[str]) -> tuple[int, int]:
    """The same words one call each: (sum of each word's own minimum at its
    turn, words over it). The end state must be the batch call's."""
    editor = quorvane.Quorvane(str(path))
    known = set(vocab_before)
    total = over = 0
    for word in requested:
        pieces, missing = units_of_pieces(word, editor.tokenize(word))
        fewest = fewest_new_tokens(pieces, known, missing)
        (r,) = editor.add_tokens_reachable([word])
        total += fewest
        over += len(r.added_tokens) > fewest
        known.update(r.added_tokens)
    if editor.get_merges() != batch.get_merges() or editor.get_vocab() != batch.get_vocab():
        faults.append(f"{where}: one call per word ends in another state than one call for all")
    return total, over


def print_table(runs: list[Run]) -> None:
    print(f"{'tokenizer':<9} {'lang':<4} {'method':<20} | {'one token':>9} {'of':>5} | {'entries':>7}"
          f" {'bound':>6} {'ratio':>6} | {'turn min':>8} {'over':>4} | {'broken':>6} {'new unr.':>8} |"
          f" {'time ms':>8}")
    print("-" * 120)
    for r in runs:
        ratio = f"{r.entries / r.bound:6.3f}" if r.bound else f"{'-':>6}"
        turn = ("-", "-") if r.turn_minimum is None else (r.turn_minimum, r.over_minimum)
        print(f"{r.name:<9} {r.language:<4} {r.method:<20} | {100 * r.produced / max(r.looked_at, 1):8.2f}%"
              f" {r.looked_at:>5} | {r.entries:>7} {r.bound:>6} {ratio} | {turn[0]:>8} {turn[1]:>4} |"
              f" {r.broken:>6} {r.new_unreachable:>8} | {r.seconds * 1000:8.1f}")
    print("one token: share of the words that occur after a space in the text (column 'of'); "
          "ratio = entries / bound;\nturn min: the words added one call each, every word's own minimum "
          "against the vocabulary at its turn, summed; over: words that took more")


def timed_addition(path: Path, method: str, forms: list[str], warm: bool):
    editor = quorvane.Quorvane(str(path))
    if warm:
        editor.tokenize(forms[0])  # builds whatever the encoder needs
    add = getattr(editor, method)
    start = time.perf_counter()
    results = add(forms)
    return time.perf_counter() - start, editor, results


def bench_large(path: Path, lines: list[str], count: int, repeat: int, faults: list[str]) -> None:
    forms = [after_a_space("gemma3", w) for w in ranked_words(lines, FIRST_RANK, count)]
    old = min(timed_addition(path, "add_tokens", forms, warm=False)[0] for _ in range(repeat))
    warm = min(timed_addition(path, "add_tokens_reachable", forms, warm=True)[0] for _ in range(repeat))
    ours = float("inf")
    for _ in range(repeat):
        seconds, editor, results = timed_addition(path, "add_tokens_reachable", forms, warm=False)
        ours = min(ours, seconds)
    left = sum(1 for r in results if not r.reachable)
    pieces = editor.tokenize_batch(forms)
    client = tokenizers.Tokenizer.from_str(editor.to_json())
    if pieces != client_pieces(client, forms):
        faults.append(f"add_tokens_reachable of {count} words on gemma3: tokenize_batch differs from the client")
    if left or any(p != [w] for p, w in zip(pieces, forms)):
        faults.append(f"add_tokens_reachable of {count} words on gemma3: {left} words not reachable")
    verdict = "ok" if ours < LARGE_GOAL else "MISSED"
    print(f"\n{len(forms):,} Polish words on gemma3, each call on a freshly opened editor, best of {repeat}:")
    print(f"  add_tokens_reachable          {ours * 1000:8.1f} ms   < {LARGE_GOAL * 1000:.0f} ms {verdict}")
    print(f"  the same, encoder built first {warm * 1000:8.1f} ms")
    print(f"  add_tokens                    {old * 1000:8.1f} ms   reachable/add_tokens x{ours / old:.2f}")
    print(f"  {editor.vocab_size:,} tokens after, "
          f"{sum(len(r.added_tokens) for r in results):,} new entries")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="300 Polish words per tokenizer, 2,000 for the timing")
    parser.add_argument("--repeat", type=int, default=3, help="runs of the large timing, best kept (default 3)")
    parser.add_argument("--corpus-dir", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--text-dir", type=Path, default=DEFAULT_TEXT)
    args = parser.parse_args()

    count, large = (300, 2_000) if args.quick else (2_000, 10_000)
    languages = ("pl",) if args.quick else ("pl", "cs")
    texts = {lang: read_lines(args.text_dir / f"{lang}-train.txt.xz") for lang in languages}
    words = {lang: ranked_words(texts[lang], FIRST_RANK, count) for lang in languages}
    print(f"quorvane {quorvane.__version__}, tokenizers {tokenizers.__version__}; "
          f"{count} words per language from rank {FIRST_RANK}", flush=True)

    faults: list[str] = []
    runs: list[Run] = []
    paths = {}
    for name in NAMES:
        paths[name] = path = unpack(args.corpus_dir / f"{name}.json.xz")
        original = tokenizers.Tokenizer.from_file(str(path))
        unedited = quorvane.Quorvane(str(path))
        before = Before(unedited.get_vocab(), {t for t, _, _ in unedited.unreachable_tokens()})
        vocab = before.vocab
        for lang in languages:
            forms = {w: after_a_space(name, w) for w in words[lang]}
            bound = 0
            for form in forms.values():
                pieces, missing = units(original, form)
                bound += fewest_new_tokens(pieces, vocab, missing)
            for method in ("add_tokens", "add_tokens_reachable"):
                print(f"  {name} {lang} {method} ...", flush=True)
                runs.append(run_once(name, lang, path, texts[lang], forms, bound, before, method, faults))
        del original, unedited, before, vocab
    print()
    print_table(runs)
    bench_large(paths["gemma3"], texts["pl"], large, args.repeat, faults)

    if faults:
        print("\nanswer check FAILED:", *faults, sep="\n  ", file=sys.stderr)
        return 1
    print("\nanswer check: the editor and the client agree after every run")
    return 0


if __name__ == "__main__":
    sys.exit(main())
