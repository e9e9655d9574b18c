"""What each --init rule does to a model right after an edit: bits per byte on held-out text.

    python bench/bench_init_rules.py [--model GGUF] [--language cs] [--add N]
        [--max-bytes N] [--context N] [--threads N] [--rules RULE ...] [--text-dir DIR]

The vocabulary of the model (default: SmolLM2-135M-Instruct, Q4_1, from
~/.cache/quorvane/models as the test fixture unpacks it) is extended once by
N tokens (default 4,096) learned from LANG-train.txt.xz, and the model's rows
are made by each rule in turn (`resize-embeddings` on the GGUF with the
extension's id map). Each model, and the unedited one, is scored by `eval`'s
llama.cpp measurement on the first --max-bytes of LANG-heldout.txt.xz.
Printed per rule: tokens per byte and bits per byte, each with its change
against the unedited model. No training happens: the figures say how well the
new rows stand in for the pieces they replace.

Answer check: every rule gives the same tokens per byte (one tokenizer), fewer
than the unedited model's; every figure is finite. A failed check makes the
run exit with 1. Temporary files live under the system temp dir.
"""

from __future__ import annotations

import argparse
import math
import os
import subprocess
import sys
import tempfile
from pathlib import Path

sys.dont_write_bytecode = True  # the benchmark leaves nothing in the tree

from quorvane_cli.formats.init_rules import RULES  # noqa: E402
from quorvane_cli.commands.model_eval import bits_per_byte  # noqa: E402

MODELS = Path(os.environ.get("QUORVANE_MODELS", Path.home() / ".cache" / "quorvane" / "models"))
DEFAULT_MODEL = MODELS / "SmolLM2-135M-Instruct.Q4_1.gguf"
DEFAULT_TEXT = Path(__file__).resolve().parents[2] / "shared" / "text"


def quorvane(*argv: object) -> None:
    """One subcommand, as a user runs it; its error ends the benchmark."""
    command = [sys.executable, "-m", "quorvane_cli", *(str(a) for a in argv), "--quiet"]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode:
        sys.exit(f"{' '.join(command)}\n{done.stderr}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--model", default=str(DEFAULT_MODEL))
    parser.add_argument("--language", default="cs")
    parser.add_argument("--add", type=int, default=4096)
    parser.add_argument("--max-bytes", type=int, default=20_000)
    parser.add_argument("--context", type=int, default=512)
    parser.add_argument("--threads", type=int, default=None)
    parser.add_argument("--rules", nargs="+", choices=RULES, default=list(RULES))
    parser.add_argument("--text-dir", default=str(DEFAULT_TEXT))
    args = parser.parse_args()
    train = Path(args.text_dir) / f"{args.language}-train.txt.xz"
    heldout = str(Path(args.text_dir) / f"{args.language}-heldout.txt.xz")

    def score(model: str) -> tuple[float, float]:
        (figures,) = bits_per_byte(model, [heldout], context=args.context, max_bytes=args.max_bytes,
                                   threads=args.threads)
        return float(figures["tokens_per_byte"]), float(figures["bits_per_byte"])  # type: ignore[arg-type]

    print(f"{Path(args.model).name} + {args.add} {args.language} tokens; "
          f"{args.language}-heldout, first {args.max_bytes} bytes, context {args.context}")
    print(f"{'rule':22} {'tokens/byte':>11} {'change':>8} {'bits/byte':>9} {'change':>8}", flush=True)
    base_tokens, base_bits = score(args.model)
    print(f"{'(unedited)':22} {base_tokens:11.4f} {'':>8} {base_bits:9.4f} {'':>8}", flush=True)
    failures = []
    with tempfile.TemporaryDirectory(prefix="quorvane-init-") as work:
        tokenizer, id_map = os.path.join(work, "extended.json"), os.path.join(work, "ids.json")
        quorvane("extend", args.model, "--text", train, "--add", args.add, "-o", tokenizer, "--id-map", id_map)
        seen_tokens = set()
        for rule in args.rules:
            edited = os.path.join(work, f"{rule}.gguf")
            quorvane("resize-embeddings", args.model, "--tokenizer", tokenizer, "--id-map", id_map,
                     "--init", rule, "-o", edited)
            tokens, bits = score(edited)
            os.unlink(edited)
            seen_tokens.add(round(tokens, 12))
            print(f"{rule:22} {tokens:11.4f} {tokens / base_tokens - 1:+8.1%} {bits:9.4f} "
                  f"{bits / base_bits - 1:+8.2%}", flush=True)
            if not (math.isfinite(bits) and tokens < base_tokens):
                failures.append(f"{rule}: {tokens} tokens per byte, {bits} bits per byte")
    if len(seen_tokens) > 1:
        failures.append(f"the rules disagree on tokens per byte: {sorted(seen_tokens)}")
    for failure in failures:
        print(f"check failed: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
