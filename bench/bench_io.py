"""Open/write speed and memory of quorvane on the real tokenizers.

    python bench/bench_io.py [--repeat N] [--only gemma3 ...] [--corpus-dir DIR]

For each ../shared/corpus/*.json.xz (unpacked once into a cache under the
system temp dir) it times, best of N:

  open      quorvane.Quorvane(path)         vs json.loads(file bytes) and
                                               tokenizers.Tokenizer.from_file
  to_json   editor.to_json()                 vs json.dumps(indent=2, ensure_ascii=False)
  save      editor.save(path)                   and Tokenizer.to_str(pretty=True)

and checks the answer: to_json -> from_json -> to_json is byte-identical,
the output of to_json and of save parse to the same JSON, and model.vocab,
model.merges and added_tokens equal the original's. A wrong answer makes the
run fail; the speed and memory targets are only reported.

Peak memory is the peak RSS of a fresh process that imports quorvane, opens
the file and holds it, shown against the file size.
"""

from __future__ import annotations

import argparse
import gc
import json
import lzma
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import quorvane
import tokenizers

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_CORPUS = ROOT.parent / "shared" / "corpus"
CACHE = Path(tempfile.gettempdir()) / "quorvane-corpus-cache"
MB = 1024 * 1024

# ru_maxrss survives exec: a child started from a large parent reports the
# parent's peak. VmHWM belongs to the new process image alone, so it is read
# first, with ru_maxrss only where /proc is missing; the children are also
# started before this process has loaded anything large.
PEAK_RSS_SCRIPT = """
import resource, sys

def peak_kib():
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

import quorvane
before = peak_kib()
editor = quorvane.Quorvane(sys.argv[1])
print(before, peak_kib(), editor.vocab_size)
"""

def unpack(xz: Path) -> Path:
    """The decompressed file in the cache, refreshed when the archive is newer."""
    CACHE.mkdir(parents=True, exist_ok=True)
    out = CACHE / xz.name.removesuffix(".xz")
    if not out.exists() or out.stat().st_mtime < xz.stat().st_mtime:
        tmp = out.with_suffix(f".tmp{os.getpid()}")
        with lzma.open(xz) as src, open(tmp, "wb") as dst:
            while chunk := src.read(16 * MB):
                dst.write(chunk)
        tmp.replace(out)
    return out


def best_of(repeat: int, fn):
    """Best wall time in seconds over `repeat` runs, and the last result."""
    best = float("inf")
    result = None
    for _ in range(repeat):
        result = None
        gc.collect()
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def peak_rss(path: Path) -> tuple[int, int]:
    """(RSS after importing quorvane, peak RSS after opening path), bytes."""
    out = subprocess.run(
        [sys.executable, "-c", PEAK_RSS_SCRIPT, str(path)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout.split()
    return int(out[0]) * 1024, int(out[1]) * 1024


def check_output(name: str, original: dict, ours: str, saved: str) -> list[str]:
    """Faults in our output; empty when it is right."""
    faults = []
    again = quorvane.Quorvane.from_json(ours).to_json()
    if again != ours:
        faults.append("to_json -> from_json -> to_json is not byte-identical")
    parsed = json.loads(ours)
    if json.loads(saved) != parsed:
        faults.append("save and to_json hold different JSON")
    for where, got, want in (
        ("model.vocab", parsed["model"]["vocab"], original["model"]["vocab"]),
        ("model.merges", parsed["model"]["merges"], original["model"]["merges"]),
        ("added_tokens", parsed["added_tokens"], original["added_tokens"]),
    ):
        if got != want:
            faults.append(f"{where} differs from the original")
    if list(parsed["model"]["vocab"]) != sorted(parsed["model"]["vocab"], key=lambda t: t.encode()):
        faults.append("model.vocab is not in token byte order")
    return [f"{name}: {f}" for f in faults]


def bench_file(path: Path, repeat: int, workdir: Path) -> tuple[dict, list[str]]:
    raw = path.read_bytes()
    row: dict = {"name": path.stem, "size": len(raw)}

    row["open"], editor = best_of(repeat, lambda: quorvane.Quorvane(str(path)))
    row["loads"], original = best_of(repeat, lambda: json.loads(path.read_bytes()))
    row["from_file"], hf = best_of(repeat, lambda: tokenizers.Tokenizer.from_file(str(path)))

    row["to_json"], ours = best_of(repeat, editor.to_json)
    out = workdir / f"{path.stem}.saved.json"
    row["save"], _ = best_of(repeat, lambda: editor.save(str(out)))
    row["dumps"], _ = best_of(repeat, lambda: json.dumps(original, indent=2, ensure_ascii=False))
    row["to_str"], _ = best_of(repeat, lambda: hf.to_str(pretty=True))

    faults = check_output(path.stem, original, ours, out.read_text(encoding="utf-8"))
    out.unlink()
    del editor, original, hf, ours
    gc.collect()
    return row, faults


def ratio(a: float, b: float) -> float:
    return a / b if b > 0 else float("inf")


def print_table(rows: list[dict]) -> None:
    ms = lambda s: f"{s * 1000:9.1f}"
    print()
    print(
        f"{'file':<8} {'MB':>6} | {'open':>9} {'loads':>9} {'from_file':>9} | "
        f"{'to_json':>9} {'save':>9} {'dumps':>9} {'to_str':>9} | "
        f"{'loads/open':>10} {'ff/open':>8} {'dumps/tj':>8} {'dumps/save':>10} | {'peak RSS':>9} {'x size':>6}"
    )
    print("-" * 160)
    for r in rows:
        print(
            f"{r['name']:<8} {r['size'] / MB:6.1f} | {ms(r['open'])} {ms(r['loads'])} {ms(r['from_file'])} | "
            f"{ms(r['to_json'])} {ms(r['save'])} {ms(r['dumps'])} {ms(r['to_str'])} | "
            f"{ratio(r['loads'], r['open']):10.1f} {ratio(r['from_file'], r['open']):8.1f} "
            f"{ratio(r['dumps'], r['to_json']):8.1f} {ratio(r['dumps'], r['save']):10.1f} | "
            f"{r['rss_peak'] / MB:7.1f}MB {r['rss_peak'] / r['size']:6.2f}"
        )
    print("times in ms, best of N; ff = Tokenizer.from_file, tj = to_json;")
    base = min(r["rss_base"] for r in rows) / MB
    print(f"peak RSS of a process that imports quorvane and holds the opened file "
          f"(the interpreter and the module alone: {base:.1f} MB)")


def print_targets(rows: list[dict]) -> None:
    target = next((r for r in rows if r["name"] == "gemma3"), None)
    if target is None:
        return
    checks = [
        ("open >= 10x faster than json.loads", ratio(target["loads"], target["open"]), 10.0),
        ("open >= 2x faster than Tokenizer.from_file", ratio(target["from_file"], target["open"]), 2.0),
        ("to_json >= 10x faster than json.dumps", ratio(target["dumps"], target["to_json"]), 10.0),
        ("save >= 10x faster than json.dumps", ratio(target["dumps"], target["save"]), 10.0),
        ("peak RSS <= 4x file size", ratio(4.0 * target["size"], target["rss_peak"]), 1.0),
    ]
    print("\ntargets on gemma3:")
    for label, value, need in checks:
        verdict = "pass" if value >= need else "FAIL"
        shown = f"{target['rss_peak'] / target['size']:.2f}x" if "RSS" in label else f"{value:.1f}x"
        print(f"  {verdict}  {label:<45} {shown}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="runs per measurement, best kept (default 3)")
    parser.add_argument("--only", nargs="*", help="corpus names to run, e.g. gemma3 llama2")
    parser.add_argument("--corpus-dir", type=Path, default=DEFAULT_CORPUS)
    args = parser.parse_args()

    archives = sorted(args.corpus_dir.glob("*.json.xz"))
    if args.only:
        archives = [a for a in archives if a.name.removesuffix(".json.xz") in args.only]
    if not archives:
        print(f"no corpus files found in {args.corpus_dir}", file=sys.stderr)
        return 1

    print(f"quorvane {quorvane.__version__}, tokenizers {tokenizers.__version__}, "
          f"Python {sys.version.split()[0]}, best of {args.repeat}")
    paths = [unpack(xz) for xz in sorted(archives, key=lambda a: a.stat().st_size)]
    # Memory first, while this process is still small (see PEAK_RSS_SCRIPT).
    rss = {path.stem: peak_rss(path) for path in paths}
    rows, faults = [], []
    with tempfile.TemporaryDirectory(prefix="quorvane-bench-") as workdir:
        for path in paths:
            print(f"  {path.stem} ...", flush=True)
            row, file_faults = bench_file(path, args.repeat, Path(workdir))
            row["rss_base"], row["rss_peak"] = rss[path.stem]
            rows.append(row)
            faults += file_faults

    print_table(rows)
    print_targets(rows)
    if faults:
        print("\noutput check FAILED:", *faults, sep="\n  ", file=sys.stderr)
        return 1
    print("\noutput check: every file reloads identically")
    return 0


if __name__ == "__main__":
    sys.exit(main())
