"""Open/write speed and memory of quorvane on the real tokenizers.

    python bench/bench_io.py [--repeat N] [--only gemma3 ...] [--corpus-dir DIR]
                             [--baseline [LABEL=]DIR ...] [--rounds R]

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

Fresh processes, R of them per build (default 9), each importing quorvane,
opening the file once and holding it, give the open time a command-line run
pays (median) and the peak RSS (median), shown against the file size. With
--baseline, the same is measured for other builds of the module in the same
run, the builds taking turns: DIR holds that build's quorvane.abi3.so (a
CMake build tree of an older commit, say), and its figures are printed
beside this build's with the ratios. Only the module is taken from DIR.
"""

from __future__ import annotations

import argparse
import gc
import json
import lzma
import os
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
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
OPEN_SCRIPT = """
import resource, sys, time

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
start = time.perf_counter()
editor = quorvane.Quorvane(sys.argv[1])
seconds = time.perf_counter() - start
peak = peak_kib()
print(before, peak, seconds, editor.vocab_size, quorvane.__file__)
"""


@dataclass
class Build:
    """A build of the module: where it is imported from, as the column says."""

    label: str
    directory: Path


@dataclass
class FreshOpen:
    """Medians over the fresh processes of one build for one file."""

    seconds: float
    rss_base: int
    rss_peak: int
    vocab_size: int

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


def open_fresh(path: Path, build: Build) -> tuple[int, int, float, int]:
    """One fresh process of `build` opening `path`: RSS after importing
    quorvane, peak RSS after opening (bytes), the open's seconds, vocab_size."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(build.directory), *filter(None, [os.environ.get("PYTHONPATH")])]))
    out = subprocess.run(
        [sys.executable, "-c", OPEN_SCRIPT, str(path)],
        check=True,
        capture_output=True,
        text=True,
        env=env,
    ).stdout.split(maxsplit=4)
    loaded = Path(out[4].strip()).resolve().parent
    if loaded != build.directory.resolve():
        raise SystemExit(f"{build.label}: the child imported quorvane from {loaded}, not {build.directory}")
    return int(out[0]) * 1024, int(out[1]) * 1024, float(out[2]), int(out[3])


def fresh_opens(path: Path, builds: list[Build], rounds: int) -> dict[str, FreshOpen]:
    """Medians of `rounds` fresh processes per build, the builds taking turns
    so that the machine's load falls on all of them alike."""
    runs: dict[str, list[tuple[int, int, float, int]]] = {b.label: [] for b in builds}
    for _ in range(rounds):
        for build in builds:
            runs[build.label].append(open_fresh(path, build))
    return {
        label: FreshOpen(
            seconds=statistics.median(r[2] for r in rs),
            rss_base=int(statistics.median(r[0] for r in rs)),
            rss_peak=int(statistics.median(r[1] for r in rs)),
            vocab_size=rs[0][3],
        )
        for label, rs in runs.items()
    }


def parse_build(text: str) -> Build:
    label, _, directory = text.rpartition("=")
    return Build(label or directory, Path(directory))


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
    row["vocab_size"] = editor.vocab_size
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
    print(f"peak RSS of a process that imports quorvane and holds the opened file, median "
          f"(the interpreter and the module alone: {base:.1f} MB)")


def print_builds(rows: list[dict], builds: list[Build], rounds: int) -> None:
    """Open time and peak RSS of fresh processes, this build beside the baselines."""
    print(f"\nopen in a fresh process and the peak RSS of that process, medians of {rounds}, "
          f"the builds taking turns")
    print(f"{'file':<8} {'build':<24} {'open ms':>9} {'loads/open':>10} {'peak MB':>8} {'x size':>6} | "
          f"{'this / build: open':>18} {'peak':>6}")
    print("-" * 99)
    for r in rows:
        this = r["fresh"][builds[0].label]
        for i, build in enumerate(builds):
            f = r["fresh"][build.label]
            line = (f"{r['name'] if i == 0 else '':<8} {build.label[-24:]:<24} {f.seconds * 1000:9.1f} "
                    f"{ratio(r['loads'], f.seconds):10.1f} {f.rss_peak / MB:8.1f} {f.rss_peak / r['size']:6.2f} |")
            if i:
                line += f" {ratio(this.seconds, f.seconds):17.2f}x {ratio(this.rss_peak, f.rss_peak):5.2f}x"
            print(line)
    print("loads = json.loads of the file (best of N, above); x size = peak RSS / file size")


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
    parser.add_argument("--baseline", nargs="+", type=parse_build, default=[], metavar="[LABEL=]DIR",
                        help="other builds of the module to open the files with, in the same run")
    parser.add_argument("--rounds", type=int, default=9, help="fresh processes per build and file (default 9)")
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
    builds = [Build("this build", Path(quorvane.__file__).resolve().parent), *args.baseline]
    if len({b.label for b in builds}) != len(builds):
        parser.error("each --baseline needs a label of its own")
    # Memory first, while this process is still small (see OPEN_SCRIPT).
    fresh = {path.stem: fresh_opens(path, builds, args.rounds) for path in paths}
    rows, faults = [], []
    with tempfile.TemporaryDirectory(prefix="quorvane-bench-") as workdir:
        for path in paths:
            print(f"  {path.stem} ...", flush=True)
            row, file_faults = bench_file(path, args.repeat, Path(workdir))
            row["fresh"] = fresh[path.stem]
            this = row["fresh"][builds[0].label]
            row["rss_base"], row["rss_peak"] = this.rss_base, this.rss_peak
            faults += [f"{path.stem}: {label} opens {f.vocab_size} tokens, this build {row['vocab_size']}"
                       for label, f in row["fresh"].items() if f.vocab_size != row["vocab_size"]]
            rows.append(row)
            faults += file_faults

    print_table(rows)
    print_builds(rows, builds, args.rounds)
    print_targets(rows)
    if faults:
        print("\noutput check FAILED:", *faults, sep="\n  ", file=sys.stderr)
        return 1
    print("\noutput check: every file reloads identically")
    return 0


if __name__ == "__main__":
    sys.exit(main())
