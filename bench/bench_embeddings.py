"""Resizing a 1 GiB bfloat16 embedding: `quorvane resize-embeddings` against plain numpy.

    python bench/bench_embeddings.py [--rows N] [--width N] [--repeat N]

Builds, under the system temp dir, a model of one 262,144 x 2,048 bfloat16
embedding (1 GiB, tied) and a small F32 tensor, and an id map that removes
about 10,000 ids (every 25th from id 2,000 on), moves the survivors down to
close the gaps and adds 8,192 new tokens after them. Then times, best of N:

  ours        the whole `quorvane resize-embeddings MODEL --id-map MAP -o OUT
              --init mean` command as a subprocess (peak RSS shown)
  numpy       the plain way in this process: np.fromfile the matrix as uint16,
              the mean of the old rows through float32, fancy indexing, the
              header written with json, tofile
  zeros       ours with --init zeros: moving rows alone, no mean to take
  cp          `cp` of the weights file (into the page cache): the copy floor
  dd fsync    `dd conv=fsync` of the weights file: what reaching the disk costs
  ratio       numpy / ours

Answer check: both outputs are the same file, byte for byte (the test matrix
holds multiples of 2**-7 below 1, whose sums float64 holds exactly, so the
means cannot differ by summation order), and the small tensor is unchanged.
A failed check exits with 1. Everything written is removed at the end.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.dont_write_bytecode = True  # the benchmark leaves nothing in the tree

import numpy as np  # noqa: E402

EMBEDDING = "model.embed_tokens.weight"
OTHER = "model.norm.weight"
BLOCK_ROWS = 16384


def header_bytes(header: dict[str, object]) -> bytes:
    text = json.dumps(header, separators=(",", ":")).encode()
    text += b" " * (-len(text) % 8)
    return struct.pack("<Q", len(text)) + text


def write_model(directory: Path, rows: int, width: int) -> None:
    """A tied model: bfloat16 embedding of multiples of 2**-7 in [-1, 1), written block by block."""
    directory.mkdir()
    other = np.linspace(-1, 1, 256 * width, dtype=np.float32).reshape(256, width)
    embedding_bytes = rows * width * 2
    header = {
        "__metadata__": {"format": "pt"},
        EMBEDDING: {"dtype": "BF16", "shape": [rows, width], "data_offsets": [0, embedding_bytes]},
        OTHER: {"dtype": "F32", "shape": list(other.shape),
                "data_offsets": [embedding_bytes, embedding_bytes + other.nbytes]},
    }
    rng = np.random.default_rng(1)
    with open(directory / "model.safetensors", "wb") as file:
        file.write(header_bytes(header))
        for start in range(0, rows, BLOCK_ROWS):
            count = min(BLOCK_ROWS, rows - start)
            values = rng.integers(-128, 128, (count, width), dtype=np.int8).astype(np.float32) / 128
            file.write((values.view(np.uint32) >> 16).astype("<u2").tobytes())
        file.write(other.tobytes())
    (directory / "config.json").write_text(json.dumps({"vocab_size": rows, "hidden_size": width,
                                                       "tie_word_embeddings": True}))


def write_id_map(path: Path, rows: int, added: int) -> dict[str, object]:
    removed = set(range(2000, rows, 25))
    survivors = [i for i in range(rows) if i not in removed]
    id_map = {
        "old_to_new": {str(old): new for new, old in enumerate(survivors)},
        "removed": [{"token": f"<old {i}>", "id": i} for i in sorted(removed)],
        "added": [{"token": f"<new {i}>", "id": len(survivors) + i} for i in range(added)],
    }
    path.write_text(json.dumps(id_map))
    return id_map


def plain_numpy(model: Path, id_map: dict[str, object], out: Path) -> None:
    """Load, modify, save with numpy alone (the way a script without streaming would)."""
    source = model / "model.safetensors"
    with open(source, "rb") as file:
        (length,) = struct.unpack("<Q", file.read(8))
        header = json.loads(file.read(length))
    start = 8 + length
    rows, width = header[EMBEDDING]["shape"]
    old = np.fromfile(source, dtype="<u2", count=rows * width, offset=start).reshape(rows, width)
    moves = id_map["old_to_new"]
    added = id_map["added"]
    assert isinstance(moves, dict) and isinstance(added, list)
    known = np.array(sorted({int(k) for k in moves} | {e["id"] for e in id_map["removed"]}))  # type: ignore[union-attr]
    total = np.zeros(width, dtype=np.float64)
    for first in range(0, len(known), BLOCK_ROWS):
        chunk = old[known[first:first + BLOCK_ROWS]]
        total += (chunk.astype(np.uint32) << 16).view(np.float32).sum(axis=0, dtype=np.float64)
    mean = (total / len(known)).astype(np.float32).view(np.uint32)
    mean_bf16 = ((mean + 0x7FFF + ((mean >> 16) & 1)) >> 16).astype("<u2")
    new_rows = 1 + max([*moves.values(), *(e["id"] for e in added)])
    new = np.empty((new_rows, width), dtype="<u2")
    new[:] = mean_bf16
    new[np.array(list(moves.values()))] = old[np.array([int(k) for k in moves])]
    begin, end = header[OTHER]["data_offsets"]
    other = np.fromfile(source, dtype=np.uint8, count=end - begin, offset=start + begin)
    header[EMBEDDING]["shape"] = [new_rows, width]
    header[EMBEDDING]["data_offsets"] = [0, new.nbytes]
    header[OTHER]["data_offsets"] = [new.nbytes, new.nbytes + other.nbytes]
    out.mkdir(exist_ok=True)
    with open(out / "model.safetensors", "wb") as file:
        file.write(header_bytes(header))
        new.tofile(file)
        other.tofile(file)


def best(repeat: int, run: object) -> float:
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        run()  # type: ignore[operator]
        times.append(time.perf_counter() - started)
    return min(times)


def same_files(first: Path, second: Path) -> bool:
    if first.stat().st_size != second.stat().st_size:
        return False
    with open(first, "rb") as a, open(second, "rb") as b:
        while True:
            x, y = a.read(64 << 20), b.read(64 << 20)
            if x != y:
                return False
            if not x:
                return True


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=262_144)
    parser.add_argument("--width", type=int, default=2_048)
    parser.add_argument("--added", type=int, default=8_192)
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()

    root = Path(tempfile.mkdtemp(prefix="quorvane-bench-embeddings-"))
    try:
        model, ours, plain = root / "model", root / "ours", root / "numpy"
        print(f"writing a {args.rows} x {args.width} bfloat16 embedding under {root} ...", flush=True)
        write_model(model, args.rows, args.width)
        id_map = write_id_map(root / "ids.json", args.rows, args.added)
        size = (model / "model.safetensors").stat().st_size
        command = [sys.executable, "-m", "quorvane_cli", "resize-embeddings", str(model),
                   "--id-map", str(root / "ids.json"), "-o", str(ours), "--init", "mean", "--json", "--quiet"]
        reports: list[str] = []

        def run_ours() -> None:
            done = subprocess.run(command, capture_output=True, text=True)
            if done.returncode != 0:
                raise SystemExit(f"resize-embeddings failed: {done.stderr.strip()}")
            reports.append(done.stdout)

        ours_seconds = best(args.repeat, run_ours)
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
        zeros = [*command[:-3], "zeros", "--json", "--quiet"]
        zeros[zeros.index(str(ours))] = str(root / "zeros")
        zeros_seconds = best(args.repeat, lambda: subprocess.run(zeros, check=True, capture_output=True))
        plain_seconds = best(args.repeat, lambda: plain_numpy(model, id_map, plain))
        copy = root / "copy.safetensors"
        cp_seconds = best(args.repeat, lambda: subprocess.run(
            ["cp", str(model / "model.safetensors"), str(copy)], check=True))
        dd_seconds = best(args.repeat, lambda: subprocess.run(
            ["dd", f"if={model / 'model.safetensors'}", f"of={copy}", "bs=16M", "conv=fsync"],
            check=True, capture_output=True))

        report = json.loads(reports[-1])
        faults = []
        if not same_files(ours / "model.safetensors", plain / "model.safetensors"):
            faults.append("the two outputs differ")
        if report["new_rows"] != args.rows - len(id_map["removed"]) + args.added:  # type: ignore[arg-type]
            faults.append(f"new rows {report['new_rows']}")
        gib = size / 2**30
        print(f"{'':8} {'seconds':>8} {'GiB/s':>7}")
        for name, seconds in (("ours", ours_seconds), ("zeros", zeros_seconds), ("numpy", plain_seconds),
                              ("cp", cp_seconds), ("dd fsync", dd_seconds)):
            print(f"{name:8} {seconds:8.2f} {gib / seconds:7.2f}")
        print(f"ratio numpy / ours: {plain_seconds / ours_seconds:.2f}x; "
              f"ours / cp: {ours_seconds / cp_seconds:.2f}x; ours / dd fsync: {ours_seconds / dd_seconds:.2f}x")
        print(f"rows {report['old_rows']} -> {report['new_rows']} ({report['rows_copied']} copied, "
              f"{report['rows_initialised']} initialised); peak RSS of ours {peak / 2**20:.0f} MiB "
              f"for a {size / 2**20:.0f} MiB file")
        for fault in faults:
            print(f"FAILED: {fault}")
        print("answer check: " + ("FAILED" if faults else "both outputs identical"))
        return 1 if faults else 0
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
