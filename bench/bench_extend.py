"""Learning new tokens from a text: `quorvane extend` against the pure-Python reference.

    python bench/bench_extend.py [--quick] [--repeat N] [--corpus-dir DIR] [--text-dir DIR]

For qwen3 and llama2 (../shared/corpus/*.json.xz, unpacked once under the
system temp dir), learning from ../shared/text/cs-train.txt.xz, read compressed
by both sides, and N = 8,000 and 32,000 new tokens (--quick: 8,000 only, one
run), printed per run:

  ours        the whole `quorvane extend TOKENIZER --text cs-train.txt.xz --add N
              -o OUT` command as a subprocess, end to end, best of N runs, each
              writing a new OUT as the reference does (the answer is checked
              in OUT)
  reference   the whole plain_learn run, once: reading the tokenizer (json and
              the client), counting the words, segmenting them, training, writing
              with json; its phases are shown below the table
  ratio       reference / ours (target >= 10x)
  bytes/token on cs-heldout (UTF-8 bytes of each non-blank line over the tokens
              the client encodes it to, without special tokens, summed) for the
              original, ours and the reference (target: ours >= reference)
  learned     new tokens in our output

When the text cannot give N tokens (no pair left that occurs twice: qwen3 on
cs-train gives about 21,000), the command must refuse with the number the
reference reaches; that run is listed below the table instead.

Answer check: the plain encoder the reference builds on agrees with the
client's model.tokenize on a sample of words and tokens of each tokenizer;
and for every run, the command succeeds (or refuses as above), every
token it added is reachable (the client tokenizes its string to exactly
itself), the original merges are kept in front and the original tokens keep
their ids, our new merges and ids equal the reference's (else the first
difference is shown with both pairs' counts at that step), and the vocabulary
grew by exactly N. A failed check makes the run exit with 1. Temporary files
live under the system temp dir only.
"""

from __future__ import annotations

import argparse
import gc
import json
import random
import subprocess
import sys
import tempfile
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path

sys.dont_write_bytecode = True  # the benchmark leaves nothing in the tree

import tokenizers  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import plain_learn  # noqa: E402
from bench_io import DEFAULT_CORPUS, unpack  # noqa: E402

DEFAULT_TEXT = DEFAULT_CORPUS.parent / "text"
NAMES = ("qwen3", "llama2")
SIZES = (8_000, 32_000)
RATIO_GOAL = 10.0


# Shared with bench_prune.

def quorvane_command(*args: str) -> list[str]:
    return [sys.executable, "-m", "quorvane_cli", *args]


def has_command(name: str) -> bool:
    done = subprocess.run(quorvane_command(name, "--help"), capture_output=True, text=True)
    return done.returncode == 0


@dataclass
class Command:
    seconds: float
    returncode: int
    stdout: str
    stderr: str


def run_best(args: list[str], repeat: int, outputs: Sequence[Path] = ()) -> Command:
    """The command `repeat` times (stopping at a failure); the best wall time.

    `outputs`, the files the command writes, are removed before each run
    (untimed), so that every run writes new files as the reference does and
    none pays for replacing what the run before it wrote."""
    best: Command | None = None
    for _ in range(repeat):
        for output in outputs:
            output.unlink(missing_ok=True)
        gc.collect()
        start = time.perf_counter()
        done = subprocess.run(quorvane_command(*args), capture_output=True, text=True)
        seconds = time.perf_counter() - start
        run = Command(seconds, done.returncode, done.stdout, done.stderr)
        if done.returncode != 0:
            return run
        if best is None or seconds < best.seconds:
            best = run
    assert best is not None
    return best


def failure(what: str, run: Command) -> str:
    tail = run.stderr.strip().splitlines()[-3:]
    return f"{what} exited with {run.returncode}: " + " | ".join(tail)


def held_out(text: Path) -> tuple[list[str], int]:
    lines = list(plain_learn.documents(str(text)))
    return lines, sum(len(line.encode()) for line in lines)


def bytes_per_token(client: tokenizers.Tokenizer, lines: list[str], size: int) -> float:
    tokens = sum(len(e.ids) for e in client.encode_batch(lines, add_special_tokens=False))
    return size / tokens


def load_client(path: Path, who: str, faults: list[str]) -> tokenizers.Tokenizer | None:
    try:
        return tokenizers.Tokenizer.from_file(str(path))
    except Exception as exc:  # the client raises plain Exception for everything
        faults.append(f"{who}: the client cannot load {path.name}: {exc}")
        return None


def unreachable_of(client: tokenizers.Tokenizer, tokens) -> list[str]:
    tokenize = client.model.tokenize
    return [t for t in tokens if [p.value for p in tokenize(t)] != [t]]


def byte_level_table() -> list[str]:
    printable = [*range(33, 127), *range(161, 173), *range(174, 256)]
    extra = iter(range(256, 512))
    return [chr(b) if b in printable else chr(next(extra)) for b in range(256)]


BYTE_OF = {c: b for b, c in enumerate(byte_level_table())}
EXOTIC = ["\u2581日本語😀x", "\u2581\x00\x01ab", "\u2581" + "a" * 17, "ĠÃ¤Ã¤", "<unk><s>", "\u2581\u2581\u2581", "ĠĠĠĠ"]
SAMPLE = 2_000


def shown(token: str, byte_level: bool = False) -> str:
    """The token quoted; for a ByteLevel tokenizer also the text it stands for."""
    quoted = json.dumps(token, ensure_ascii=False)
    if byte_level and all(c in BYTE_OF for c in token):
        try:
            return f"{quoted} ({json.dumps(bytes(BYTE_OF[c] for c in token).decode(), ensure_ascii=False)})"
        except UnicodeDecodeError:
            pass
    return quoted


def is_byte_level(doc: dict) -> bool:
    return '"ByteLevel"' in json.dumps(doc.get("pre_tokenizer"))


def check_encoder(label: str, doc: dict, client: tokenizers.Tokenizer, words, faults: list[str]) -> None:
    """The plain encoder, which the references build on, against the client's own on a sample."""
    rng = random.Random(5)
    words = sorted(words)
    tokens = sorted(doc["model"]["vocab"])
    sample = rng.sample(words, min(SAMPLE, len(words))) + rng.sample(tokens, min(SAMPLE, len(tokens))) + EXOTIC
    encoder = plain_learn.Encoder(doc)
    tokenize = client.model.tokenize
    wrong = [w for w in sample if encoder.encode(w) != [t.value for t in tokenize(w)]]
    if wrong:
        faults.append(f"{label}: the plain encoder and the client part on {len(wrong)} of {len(sample)} strings "
                      f"(a fault of the reference), first {shown(wrong[0])}")


# The reference, timed phase by phase.

@dataclass
class Reference:
    seconds: dict[str, float] = field(default_factory=dict)
    training: plain_learn.Training | None = None
    words: dict[str, int] = field(default_factory=dict)
    marker: bool = False

    @property
    def total(self) -> float:
        return sum(self.seconds.values())


def reference_extend(path: Path, text: Path, count: int, out: Path) -> Reference:
    ref = Reference()
    clock = time.perf_counter()

    def lap(phase: str) -> None:
        nonlocal clock
        now = time.perf_counter()
        ref.seconds[phase] = ref.seconds.get(phase, 0.0) + now - clock
        clock = now

    doc = json.loads(path.read_bytes())
    client = tokenizers.Tokenizer.from_file(str(path))
    lap("read")
    ref.words = plain_learn.count_words(client, [str(text)])
    lap("count")
    ref.marker = plain_learn.writes_marker(client)
    ref.training = plain_learn.train(doc, ref.words, count, marker=ref.marker)
    ref.seconds["segment"] = ref.training.seconds_segment
    lap("train")
    ref.seconds["train"] -= ref.training.seconds_segment
    plain_learn.write(plain_learn.extended_document(doc, ref.training.merges), str(out))
    lap("write")
    return ref


# One run.

@dataclass
class Run:
    name: str
    count: int
    ours: float
    reference: Reference
    learned: int
    bpt_original: float
    bpt_ours: float
    bpt_reference: float


def first_difference(doc: dict, words: dict[str, int], marker: bool, ours: list[tuple[str, str]],
                     theirs: list[tuple[str, str, int]]) -> str | None:
    """Where our new merges first part from the reference's, with both pairs' counts at that step."""
    b = is_byte_level(doc)
    for k, ((a, c), (left, right, count)) in enumerate(zip(ours, theirs)):
        if (a, c) != (left, right):
            state = plain_learn.train(doc, words, k, marker=marker).counts
            return (f"new token {k + 1}: ours {shown(a + c, b)} = {shown(a, b)} + {shown(c, b)}"
                    f" (count {state.get((a, c), 0)} at that step), reference {shown(left + right, b)}"
                    f" = {shown(left, b)} + {shown(right, b)} (count {count})")
    if len(ours) != len(theirs):
        return f"ours learned {len(ours)} tokens, the reference {len(theirs)}"
    return None


def bench_one(name: str, path: Path, text: Path, count: int, repeat: int, heldout: tuple[list[str], int],
              original_bpt: float, workdir: Path, faults: list[str], refused: list[str],
              checked: set[str] | None = None) -> Run | None:
    where = f"{name} +{count}"
    ours_out = workdir / f"{name}-extend-{count}-ours.json"
    ref_out = workdir / f"{name}-extend-{count}-reference.json"

    print(f"  {where}: quorvane extend ...", flush=True)
    run = run_best(["extend", str(path), "--text", str(text), "--add", str(count), "-o", str(ours_out)], repeat, [ours_out])
    print(f"  {where}: reference ...", flush=True)
    ref = reference_extend(path, text, count, ref_out)
    training = ref.training
    assert training is not None
    learnable = len(training.merges)
    if run.returncode != 0:
        refusal = f"Only {learnable} new tokens can be learned"
        if learnable < count and refusal in run.stderr:
            print(f"  {where}: refused, as it should be: the text gives only {learnable:,} tokens "
                  f"({training.stopped})", flush=True)
            refused.append(f"{name} +{count}: refused, {learnable:,} learnable ({training.stopped})")
        else:
            faults.append(failure(f"{where}: quorvane extend", run))
        ref_out.unlink()
        return None
    if learnable < count:
        faults.append(f"{where}: the reference learns only {learnable:,} tokens ({training.stopped}), yet "
                      f"quorvane extend did not refuse")

    doc = json.loads(path.read_bytes())
    if checked is not None and name not in checked:
        checked.add(name)
        check_encoder(name, doc, tokenizers.Tokenizer.from_file(str(path)), ref.words, faults)
    ours_doc = json.loads(ours_out.read_bytes())
    before_merges = plain_learn.merge_pairs(doc["model"])
    ours_merges = plain_learn.merge_pairs(ours_doc["model"])
    vocab, ours_vocab = doc["model"]["vocab"], ours_doc["model"]["vocab"]
    if ours_merges[:len(before_merges)] != before_merges:
        faults.append(f"{where}: the original merges are not kept in front")
    new_merges = ours_merges[len(before_merges):]
    added = {t: i for t, i in ours_vocab.items() if t not in vocab}
    if any(ours_vocab.get(t) != i for t, i in vocab.items()):
        faults.append(f"{where}: tokens of the original changed id or went missing")
    if len(ours_vocab) - len(vocab) != count:
        faults.append(f"{where}: the vocabulary grew by {len(ours_vocab) - len(vocab):,}, not {count:,}")

    difference = first_difference(doc, ref.words, ref.marker, new_merges, training.merges)
    if difference:
        faults.append(f"{where}: our new merges differ from the reference's at {difference}")
    else:
        next_id = plain_learn.first_new_id(doc)
        want = {l + r: next_id + k for k, (l, r, _) in enumerate(training.merges)}
        wrong = [t for t, i in want.items() if added.get(t) != i] + [t for t in added if t not in want]
        if wrong:
            faults.append(f"{where}: {len(wrong)} new tokens have other ids than the reference gives, first "
                          f"{shown(wrong[0])}: {added.get(wrong[0])}, reference {want.get(wrong[0])}")

    client = load_client(ours_out, where, faults)
    ref_client = load_client(ref_out, f"{where} reference", faults)
    if client is None or ref_client is None:
        return None
    broken = unreachable_of(client, added)
    if broken:
        faults.append(f"{where}: {len(broken)} added tokens are not reachable, first {shown(broken[0])}")
    broken = unreachable_of(ref_client, [l + r for l, r, _ in training.merges])
    if broken:
        faults.append(f"{where}: the reference left {len(broken)} added tokens unreachable (a fault of the "
                      f"reference), first {shown(broken[0])}")

    lines, size = heldout
    result = Run(name, count, run.seconds, ref, len(added), original_bpt,
                 bytes_per_token(client, lines, size), bytes_per_token(ref_client, lines, size))
    ours_out.unlink()
    ref_out.unlink()
    return result


def print_table(runs: list[Run], repeat: int) -> None:
    print(f"\n{'tokenizer':<9} {'N':>6} {'learned':>7} | {'ours s':>7} {'ref s':>7} {'ratio':>6} | "
          f"{'orig':>6} {'ours':>6} {'ref':>6} {'ours-ref':>8}")
    print("-" * 86)
    for r in runs:
        ratio = r.reference.total / r.ours
        print(f"{r.name:<9} {r.count:>6} {r.learned:>7} | {r.ours:7.2f} {r.reference.total:7.2f} {ratio:5.1f}x | "
              f"{r.bpt_original:6.3f} {r.bpt_ours:6.3f} {r.bpt_reference:6.3f} {r.bpt_ours - r.bpt_reference:+8.4f}")
    print(f"times in s (ours: the whole command, best of {repeat}; reference: once, in this process);"
          f"\nbytes per token of cs-heldout with the original, ours and the reference")
    print("reference phases (s):")
    for r in runs:
        phases = "  ".join(f"{k} {v:.2f}" for k, v in r.reference.seconds.items())
        print(f"  {r.name:<9} {r.count:>6}  {phases}")
    print("\ntargets:")
    for r in runs:
        ratio = r.reference.total / r.ours
        print(f"  {'pass' if ratio >= RATIO_GOAL else 'MISSED':<6} {r.name} +{r.count}: reference/ours "
              f"{ratio:.1f}x >= {RATIO_GOAL:.0f}x;  "
              f"{'pass' if r.bpt_ours >= r.bpt_reference - 1e-12 else 'MISSED':<6} bytes/token ours >= reference")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="N = 8,000 only, one run")
    parser.add_argument("--repeat", type=int, default=3, help="runs of our command, best kept (default 3)")
    parser.add_argument("--corpus-dir", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--text-dir", type=Path, default=DEFAULT_TEXT)
    args = parser.parse_args()
    repeat = 1 if args.quick else args.repeat
    sizes = SIZES[:1] if args.quick else SIZES

    if not has_command("extend"):
        print("quorvane extend is not there (python -m quorvane_cli extend --help fails)", file=sys.stderr)
        return 1
    text = args.text_dir / "cs-train.txt.xz"
    heldout = held_out(args.text_dir / "cs-heldout.txt.xz")
    print(f"tokenizers {tokenizers.__version__}; learning from {text.name}", flush=True)

    faults: list[str] = []
    runs: list[Run] = []
    refused: list[str] = []
    checked: set[str] = set()  # tokenizers whose plain encoder was checked against the client
    with tempfile.TemporaryDirectory(prefix="quorvane-bench-extend-") as tmp:
        for name in NAMES:
            path = unpack(args.corpus_dir / f"{name}.json.xz")
            original_bpt = bytes_per_token(tokenizers.Tokenizer.from_file(str(path)), *heldout)
            for count in sizes:
                run = bench_one(name, path, text, count, repeat, heldout, original_bpt, Path(tmp), faults, refused,
                                checked)
                if run is not None:
                    runs.append(run)
    if runs:
        print_table(runs, repeat)
    for line in refused:
        print(f"  {line}")

    if faults:
        print("\nanswer check FAILED:", *faults, sep="\n  ", file=sys.stderr)
        return 1
    print("\nanswer check: every added token reachable, our new tokens equal the reference's, "
          "the vocabulary grew as it should")
    return 0


if __name__ == "__main__":
    sys.exit(main())
