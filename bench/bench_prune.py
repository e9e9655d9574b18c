"""Pruning the leaves of the merge structure: `quorvane prune` against the pure-Python reference.

    python bench/bench_prune.py [--quick] [--repeat N] [--corpus-dir DIR] [--text-dir DIR]

On qwen3 (../shared/corpus/qwen3.json.xz, unpacked once under the system temp
dir), with the use of each token counted on ../shared/text/cs-train.txt.xz and
pl-train.txt.xz (read compressed by both sides), N = 32,000 tokens removed
(--quick: 8,000, one run). Printed:

  ours        the whole `quorvane prune TOKENIZER --count N --text CS PL -o OUT
              --id-map MAP` command as a subprocess, end to end, best of N runs,
              each writing a new OUT and MAP as the reference does (the answer
              is checked in OUT and MAP)
  reference   the whole plain_learn run, once: reading the tokenizer (json and the
              client), counting the words, reading the merge structure, choosing
              the leaves, writing the tokenizer and the id map with json
  ratio       reference / ours (target >= 10x)
  shrink      the length-based `Quorvane.shrink(N)` for comparison (open, shrink, save)
  bytes/token of cs-heldout and pl-heldout (UTF-8 bytes of each non-blank line
              over the tokens the client encodes it to, summed) for the original,
              ours, the reference and shrink, with the loss against the original
              in % (target < 0.5 % for ours)
  broken      tokens reachable before and unreachable after (Quorvane.unreachable_tokens)

Then, when `quorvane adapt` exists, one run on qwen3 (new text cs-train, kept
text pl-train, --replace 8,000): time, vocabulary size before/after and the
held-out bytes/token of both languages before/after.

Answer check: the plain encoder the reference builds on agrees with the
client's model.tokenize on a sample; every command succeeds and the client
loads its output; ours
removes exactly N tokens, breaks no reachable token (the verdict of
unreachable_tokens is confirmed with the client on a sample), writes an id map
that agrees with the two vocabularies, and leaves the same vocabulary and merge
list as the reference (else the first differences are shown); adapt keeps the
size and breaks no reachable token. A failed check makes the run exit with 1.
Temporary files live under the system temp dir only.
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

sys.dont_write_bytecode = True  # the benchmark leaves nothing in the tree

import quorvane  # noqa: E402
import tokenizers  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import plain_learn  # noqa: E402
from bench_extend import (  # noqa: E402
    bytes_per_token, check_encoder, failure, has_command, held_out, load_client, run_best, shown, unreachable_of)
from bench_io import DEFAULT_CORPUS, unpack  # noqa: E402

DEFAULT_TEXT = DEFAULT_CORPUS.parent / "text"
NAME = "qwen3"
LANGUAGES = ("cs", "pl")
RATIO_GOAL = 10.0
LOSS_GOAL = 0.5  # % of held-out bytes per token
SAMPLE = 3_000  # tokens whose reachability the client confirms
ADAPT_REPLACE = 8_000


@dataclass
class Subject:
    """One tokenizer under measurement."""
    label: str
    seconds: float | None
    bpt: dict[str, float] = field(default_factory=dict)
    broken: int = 0
    vocab_size: int = 0


def reference_prune(path: Path, texts: list[Path], count: int, out: Path,
                    id_map: Path) -> tuple[float, list[str], dict[str, int]]:
    start = time.perf_counter()
    doc = json.loads(path.read_bytes())
    client = tokenizers.Tokenizer.from_file(str(path))
    words = plain_learn.count_words(client, [str(t) for t in texts])
    removed = plain_learn.prune_leaves(doc, count, words=words)
    pruned, old_to_new = plain_learn.pruned_document(doc, removed)
    plain_learn.write(pruned, str(out))
    with open(id_map, "w", encoding="utf-8") as f:
        json.dump({"old_to_new": {str(k): v for k, v in sorted(old_to_new.items())}}, f)
    return time.perf_counter() - start, removed, words


def shrink_by_length(path: Path, count: int, out: Path) -> float:
    start = time.perf_counter()
    editor = quorvane.Quorvane(str(path))
    editor.shrink(count)
    editor.save(str(out))
    return time.perf_counter() - start


def unreachable(path: Path) -> set[str]:
    return {t for t, _, _ in quorvane.Quorvane(str(path)).unreachable_tokens()}


def check_reachability(label: str, out: Path, client: tokenizers.Tokenizer, before: set[str],
                       faults: list[str]) -> int:
    """Tokens reachable before and unreachable after; the editor's verdict checked with the client."""
    after = unreachable(out)
    vocab = json.loads(out.read_bytes())["model"]["vocab"]
    broken = sorted(after - before, key=str.encode)
    added = {t.content for t in client.get_added_tokens_decoder().values()}
    ordinary = [t for t in sorted(vocab, key=str.encode)
                if t not in added and not plain_learn.BYTE_TOKEN.fullmatch(t)]
    sample = random.Random(7).sample(ordinary, min(SAMPLE, len(ordinary))) + sorted(after & set(ordinary))[:SAMPLE]
    said = set(unreachable_of(client, sample))
    disagree = [t for t in sample if (t in said) != (t in after)]
    if disagree:
        faults.append(f"{label}: unreachable_tokens and the client disagree on {len(disagree)} of "
                      f"{len(sample)} sampled tokens, first {shown(disagree[0])}")
    return len(broken)


def outside_ids(doc: dict) -> dict[str, int]:
    """Content -> id of the added tokens that are not model tokens."""
    vocab = doc["model"]["vocab"]
    return {e["content"]: e["id"] for e in doc.get("added_tokens") or ()
            if isinstance(e, dict) and isinstance(e.get("content"), str) and e["content"] not in vocab}


def check_id_map(label: str, before_doc: dict, after_doc: dict, id_map: Path, faults: list[str]) -> None:
    """The id map holds every model token that stayed, and the added tokens outside the
    model that moved (the client numbers those from the model's size up)."""
    before, after = before_doc["model"]["vocab"], after_doc["model"]["vocab"]
    try:
        data = json.loads(id_map.read_bytes())
    except (OSError, ValueError) as exc:
        faults.append(f"{label}: no readable id map: {exc}")
        return
    want = {str(before[t]): i for t, i in after.items() if t in before}
    outside_before, outside_after = outside_ids(before_doc), outside_ids(after_doc)
    want.update({str(i): outside_after[t] for t, i in outside_before.items()
                 if t in outside_after and outside_after[t] != i})
    got = data.get("old_to_new") if isinstance(data, dict) else None
    got = got if isinstance(got, dict) else {}
    if got != want:
        wrong = next(k for k in sorted({*want, *got}, key=int) if got.get(k) != want.get(k))
        faults.append(f"{label}: the id map says old id {wrong} -> {got.get(wrong)}, "
                      f"the vocabularies say {want.get(wrong)}")
    removed = data.get("removed") if isinstance(data, dict) else None
    if isinstance(removed, list):
        gone = {t for t in before if t not in after}
        if {e.get("token") for e in removed} != gone:
            faults.append(f"{label}: the id map's removed tokens are not the tokens that left")


def compare_with_reference(ours: dict, ref: dict, removed: list[str], original: dict[str, int],
                           faults: list[str]) -> None:
    mine, theirs = ours["model"], ref["model"]
    gone_ours = set(original) - set(mine["vocab"])
    gone_ref = set(removed)
    if gone_ours != gone_ref:
        only_ours = sorted(gone_ours - gone_ref, key=lambda t: -original[t])
        only_ref = [t for t in removed if t not in gone_ours]
        faults.append(f"prune: ours and the reference remove different tokens: {len(only_ours)} only by ours "
                      f"(first by id: {shown(only_ours[0]) if only_ours else '-'}"
                      f"{f' id {original[only_ours[0]]}' if only_ours else ''}), {len(only_ref)} only by the "
                      f"reference (first in its order: {shown(only_ref[0]) if only_ref else '-'}"
                      f"{f' id {original[only_ref[0]]}, its turn {removed.index(only_ref[0]) + 1}' if only_ref else ''})")
        return
    if mine["vocab"] != theirs["vocab"]:
        wrong = next(t for t in theirs["vocab"] if mine["vocab"].get(t) != theirs["vocab"][t])
        faults.append(f"prune: token {shown(wrong)} has id {mine['vocab'].get(wrong)}, the reference gives "
                      f"{theirs['vocab'][wrong]}")
    a, b = plain_learn.merge_pairs(mine), plain_learn.merge_pairs(theirs)
    if a != b:
        k = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
        faults.append(f"prune: the merge lists differ from merge {k} on ({len(a)} ours, {len(b)} reference): "
                      f"ours {a[k] if k < len(a) else '-'}, reference {b[k] if k < len(b) else '-'}")


def measure(subject: Subject, out: Path, heldout: dict, before: set[str], faults: list[str]) -> tokenizers.Tokenizer | None:
    client = load_client(out, subject.label, faults)
    if client is None:
        return None
    subject.vocab_size = client.get_vocab_size(with_added_tokens=False)
    for lang, (lines, size) in heldout.items():
        subject.bpt[lang] = bytes_per_token(client, lines, size)
    subject.broken = check_reachability(subject.label, out, client, before, faults)
    return client


def bench_adapt(path: Path, text_dir: Path, heldout: dict, original: Subject, before: set[str],
                workdir: Path, faults: list[str]) -> None:
    if not has_command("adapt"):
        print("\nquorvane adapt is not there; skipped")
        return
    out = workdir / "adapt.json"
    print(f"\n  quorvane adapt --replace {ADAPT_REPLACE} ...", flush=True)
    run = run_best(["adapt", str(path), "--text", str(text_dir / "cs-train.txt.xz"),
                    "--keep-text", str(text_dir / "pl-train.txt.xz"), "--replace", str(ADAPT_REPLACE),
                    "-o", str(out)], 1, [out])
    if run.returncode != 0:
        faults.append(failure("quorvane adapt", run))
        return
    adapted = Subject("adapt", run.seconds)
    if measure(adapted, out, heldout, before, faults) is None:
        return
    if adapted.vocab_size != original.vocab_size:
        faults.append(f"adapt: the vocabulary went from {original.vocab_size:,} to {adapted.vocab_size:,}")
    if adapted.broken:
        faults.append(f"adapt: {adapted.broken} tokens reachable before are unreachable after")
    print(f"\nadapt on {NAME} (new text cs-train, kept text pl-train, --replace {ADAPT_REPLACE:,}): "
          f"{run.seconds:.2f} s, vocabulary {original.vocab_size:,} -> {adapted.vocab_size:,}")
    for lang in heldout:
        b, a = original.bpt[lang], adapted.bpt[lang]
        print(f"  {lang}-heldout bytes/token {b:.4f} -> {a:.4f} ({100 * (a - b) / b:+.2f} %)")
    out.unlink()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="8,000 tokens, one run")
    parser.add_argument("--repeat", type=int, default=3, help="runs of our command, best kept (default 3)")
    parser.add_argument("--corpus-dir", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--text-dir", type=Path, default=DEFAULT_TEXT)
    args = parser.parse_args()
    count = 8_000 if args.quick else 32_000
    repeat = 1 if args.quick else args.repeat

    if not has_command("prune"):
        print("quorvane prune is not there (python -m quorvane_cli prune --help fails)", file=sys.stderr)
        return 1
    path = unpack(args.corpus_dir / f"{NAME}.json.xz")
    texts = [args.text_dir / f"{lang}-train.txt.xz" for lang in LANGUAGES]
    heldout = {lang: held_out(args.text_dir / f"{lang}-heldout.txt.xz") for lang in LANGUAGES}
    print(f"tokenizers {tokenizers.__version__}; {NAME}, use counted on "
          f"{', '.join(t.name for t in texts)}, {count:,} tokens removed", flush=True)

    faults: list[str] = []
    original_doc = json.loads(path.read_bytes())
    original_vocab = original_doc["model"]["vocab"]
    before = unreachable(path)
    original = Subject("original", None)
    measure(original, path, heldout, before, faults)

    with tempfile.TemporaryDirectory(prefix="quorvane-bench-prune-") as tmp:
        work = Path(tmp)
        outs = {label: work / f"{label}.json" for label in ("ours", "reference", "shrink")}
        print("  quorvane prune ...", flush=True)
        run = run_best(["prune", str(path), "--count", str(count), "--text", *map(str, texts),
                        "-o", str(outs["ours"]), "--id-map", str(work / "ours-map.json")], repeat,
                       [outs["ours"], work / "ours-map.json"])
        if run.returncode != 0:
            faults.append(failure("quorvane prune", run))
        print("  reference ...", flush=True)
        ref_seconds, removed, words = reference_prune(path, texts, count, outs["reference"], work / "ref-map.json")
        check_encoder(NAME, original_doc, tokenizers.Tokenizer.from_file(str(path)), words, faults)
        print("  shrink ...", flush=True)
        shrink_seconds = shrink_by_length(path, count, outs["shrink"])

        subjects = [original]
        for label, seconds in (("ours", run.seconds), ("reference", ref_seconds), ("shrink", shrink_seconds)):
            if label == "ours" and run.returncode != 0:
                continue
            subject = Subject(label, seconds)
            if measure(subject, outs[label], heldout, before, faults) is not None:
                subjects.append(subject)
        ours = next((s for s in subjects if s.label == "ours"), None)
        if ours is not None:
            ours_doc = json.loads(outs["ours"].read_bytes())
            if len(original_vocab) - len(ours_doc["model"]["vocab"]) != count:
                faults.append(f"prune: the vocabulary shrank by {len(original_vocab) - len(ours_doc['model']['vocab']):,},"
                              f" not {count:,}")
            if ours.broken:
                faults.append(f"prune: {ours.broken} tokens reachable before are unreachable after")
            check_id_map("prune", original_doc, ours_doc, work / "ours-map.json", faults)
            compare_with_reference(ours_doc, json.loads(outs["reference"].read_bytes()), removed, original_vocab,
                                   faults)
        reference = next(s for s in subjects if s.label == "reference")
        if reference.broken or len(removed) != count:
            faults.append(f"the reference removed {len(removed):,} tokens and broke {reference.broken} (a fault of "
                          f"the reference)")

        print(f"\n{'':<10} {'time s':>7} {'vocab':>8} | " + " ".join(
            f"{lang + ' b/t':>8} {'loss':>7}" for lang in LANGUAGES) + f" | {'broken':>6}")
        print("-" * 76)
        for s in subjects:
            cells = []
            for lang in LANGUAGES:
                bpt = s.bpt[lang]
                loss = 100 * (original.bpt[lang] - bpt) / original.bpt[lang]
                cells.append(f"{bpt:8.4f} {loss:6.3f}%")
            took = f"{s.seconds:7.2f}" if s.seconds is not None else f"{'-':>7}"
            print(f"{s.label:<10} {took} {s.vocab_size:>8} | {' '.join(cells)} | {s.broken:>6}")
        print(f"times: ours the whole command, best of {repeat}; reference once, in this process; shrink "
              f"open + shrink + save in this process;\nloss: held-out bytes per token lost against the original; "
              f"broken: reachable before, unreachable after")
        if ours is not None:
            ratio = ref_seconds / run.seconds
            worst = max(100 * (original.bpt[lang] - ours.bpt[lang]) / original.bpt[lang] for lang in LANGUAGES)
            print("\ntargets:")
            print(f"  {'pass' if ratio >= RATIO_GOAL else 'MISSED':<6} reference/ours {ratio:.1f}x >= {RATIO_GOAL:.0f}x")
            print(f"  {'pass' if worst < LOSS_GOAL else 'MISSED':<6} held-out loss of ours {worst:.3f} % < {LOSS_GOAL} %")

        bench_adapt(path, args.text_dir, heldout, original, before, work, faults)

    if faults:
        print("\nanswer check FAILED:", *faults, sep="\n  ", file=sys.stderr)
        return 1
    print("\nanswer check: our pruning removed exactly the reference's tokens and broke none")
    return 0


if __name__ == "__main__":
    sys.exit(main())
