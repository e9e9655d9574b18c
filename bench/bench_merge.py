"""Merge speed and memory on the real tokenizers, checked against a pure-Python merge.

    python bench/bench_merge.py [--repeat N] [--corpus-dir DIR]

Two merges, each held to a target (reported, not asserted):

  merge_from qwen3 into llama3 (default limit 262144)   < 0.8 s
  merge_from llama3 into gemma3, max_vocab_size 300000  < 1.2 s

"merge_from" is the call alone on a target opened just before (untimed); it
includes opening the source, which happens inside the call, and the target's
indexes, which are built on first use. "open+merge" adds opening the target.
Best of N, each run on a freshly opened target.

The baseline, in the same run, is bench/plain_merge.py: json.load of the
source plus the plain merge (the target document is parsed beforehand, like
the opened target). Both must give the same vocabulary, merge list,
added_tokens entries and the eleven result values, or the run exits with 1.

Peak memory is the VmHWM of a fresh process that imports quorvane, opens the
target and runs merge_from, shown against the two file sizes.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import quorvane

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_io import DEFAULT_CORPUS, MB, unpack  # noqa: E402
from plain_merge import RESULT_FIELDS, merge  # noqa: E402

# VmHWM belongs to the new process image alone (ru_maxrss would report the
# parent's peak across exec), so the children are also started before this
# process has loaded anything large.
PEAK_RSS_SCRIPT = """
import sys

def peak_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])

import quorvane
before = peak_kib()
editor = quorvane.Quorvane(sys.argv[1])
editor.merge_from(sys.argv[2], int(sys.argv[3]))
print(before, peak_kib())
"""


@dataclass
class Case:
    source: str
    target: str
    limit: int
    goal: float  # seconds, for merge_from

    @property
    def name(self) -> str:
        return f"{self.source} into {self.target} ({self.limit})"


CASES = [
    Case("qwen3", "llama3", 262_144, 0.8),
    Case("llama3", "gemma3", 300_000, 1.2),
]


def peak_rss(target: Path, source: Path, limit: int) -> tuple[int, int]:
    """(peak RSS after importing quorvane, peak RSS after the merge), bytes."""
    out = subprocess.run(
        [sys.executable, "-c", PEAK_RSS_SCRIPT, str(target), str(source), str(limit)],
        check=True, capture_output=True, text=True,
    ).stdout.split()
    return int(out[0]) * 1024, int(out[1]) * 1024


def time_quorvane(case: Case, target: Path, source: Path, repeat: int):
    """Best merge_from time, best open+merge time, and the last run's editor and result."""
    best_merge = best_total = float("inf")
    editor = result = None
    for _ in range(repeat):
        editor = result = None
        gc.collect()
        start = time.perf_counter()
        editor = quorvane.Quorvane(str(target))
        opened = time.perf_counter()
        result = editor.merge_from(str(source), case.limit)
        end = time.perf_counter()
        best_merge = min(best_merge, end - opened)
        best_total = min(best_total, end - start)
    return best_merge, best_total, editor, result


def time_plain(case: Case, target_doc: dict, source: Path, repeat: int):
    best = float("inf")
    out = None
    for _ in range(repeat):
        out = None
        gc.collect()
        start = time.perf_counter()
        with open(source, encoding="utf-8") as f:
            source_doc = json.load(f)
        out = merge(target_doc, source_doc, case.limit)
        best = min(best, time.perf_counter() - start)
        del source_doc
    return best, out


def disagreements(editor: quorvane.Quorvane, result, plain) -> list[str]:
    faults = []
    if editor.get_vocab() != plain.vocab:
        faults.append("model vocabularies differ")
    if editor.get_merges() != [tuple(m) for m in plain.merges]:
        faults.append("merge lists differ")
    if json.loads(editor.to_json())["added_tokens"] != plain.added_tokens:
        faults.append("added_tokens entries differ")
    for name in RESULT_FIELDS:
        if getattr(result, name) != plain.result[name]:
            faults.append(f"{name}: quorvane {getattr(result, name)!r}, plain {plain.result[name]!r}")
    return faults


def load_note() -> str:
    one, five, fifteen = os.getloadavg()
    cpus = os.cpu_count() or 1
    note = f"load average {one:.2f} {five:.2f} {fifteen:.2f} on {cpus} CPUs"
    if one > 0.5 * cpus:
        note += ": the machine is busy, the times are noisy"
    return note


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="runs per measurement, best kept (default 3)")
    parser.add_argument("--corpus-dir", type=Path, default=DEFAULT_CORPUS)
    args = parser.parse_args()

    files = {name: unpack(args.corpus_dir / f"{name}.json.xz") for name in ("llama3", "qwen3", "gemma3")}
    print(f"quorvane {quorvane.__version__}, Python {sys.version.split()[0]}, best of {args.repeat}; "
          f"{load_note()}")
    # Memory first, while this process is still small.
    rss = {case.name: peak_rss(files[case.target], files[case.source], case.limit) for case in CASES}

    rows, faults = [], []
    for case in CASES:
        print(f"  {case.name} ...", flush=True)
        target, source = files[case.target], files[case.source]
        ours, total, editor, result = time_quorvane(case, target, source, args.repeat)
        with open(target, encoding="utf-8") as f:
            target_doc = json.load(f)
        base, plain = time_plain(case, target_doc, source, args.repeat)
        faults += [f"{case.name}: {fault}" for fault in disagreements(editor, result, plain)]
        rows.append((case, ours, total, base, result))
        del editor, result, plain, target_doc
        gc.collect()

    ms = lambda s: f"{s * 1000:8.1f}"
    print()
    print(f"{'merge':<30} | {'merge_from':>10} {'open+merge':>10} {'plain':>8} {'plain/mf':>8} | {'goal':<13}|"
          f" {'final vocab':>11} {'injected':>8} {'removed':>7}")
    print("-" * 118)
    for case, ours, total, base, r in rows:
        verdict = "ok" if ours < case.goal else "MISSED"
        print(f"{case.name:<30} | {ms(ours):>10} {ms(total):>10} {ms(base)} {base / ours:8.1f} |"
              f" < {case.goal * 1000:4.0f} {verdict:<6}|"
              f" {r.final_vocab_size:>11} {r.tokens_injected:>8} {r.target_tokens_removed:>7}")
    print("times in ms, best of N; plain = json.load of the source + bench/plain_merge.py")

    print()
    print(f"{'peak RSS (open target, merge_from)':<36} | {'target MB':>9} {'source MB':>9} | {'peak MB':>8}"
          f" {'x target':>8} {'x both':>6}")
    print("-" * 86)
    for case in CASES:
        base_rss, peak = rss[case.name]
        t_size, s_size = files[case.target].stat().st_size, files[case.source].stat().st_size
        print(f"{case.name:<36} | {t_size / MB:9.1f} {s_size / MB:9.1f} | {peak / MB:8.1f}"
              f" {peak / t_size:8.2f} {peak / (t_size + s_size):6.2f}")
    print(f"(the interpreter and the module alone: {min(b for b, _ in rss.values()) / MB:.1f} MB)")

    if faults:
        print("\nanswer check FAILED:", *faults, sep="\n  ", file=sys.stderr)
        return 1
    print("\nanswer check: quorvane and the plain merge agree on every merge")
    return 0


if __name__ == "__main__":
    sys.exit(main())
