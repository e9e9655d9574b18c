"""Open the sample tokenizer, report on it, and save an unchanged copy.

    python examples/main_job.py [OUTPUT] [--tokenizer PATH]

OUTPUT defaults to sample-copy.json in a new temporary directory, so a run
never writes into the source tree unless asked to.
"""

from __future__ import annotations

import argparse
import tempfile
from pathlib import Path

import quorvane

SAMPLE = Path(__file__).resolve().parent / "sample" / "tokenizer.json"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", type=Path, help="where to save the copy")
    parser.add_argument("--tokenizer", type=Path, default=SAMPLE, help="tokenizer.json to open (default: the sample)")
    args = parser.parse_args()
    output = args.output or Path(tempfile.mkdtemp(prefix="quorvane-")) / "sample-copy.json"

    print(f"quorvane {quorvane.__version__}")
    editor = quorvane.Quorvane(str(args.tokenizer))
    print(f"opened {args.tokenizer}: {editor!r}")

    stats = editor.get_stats()
    print("statistics:")
    print(f"  vocab_size           {stats.vocab_size}")
    print(f"  merges_count         {stats.merges_count}")
    print(f"  single_char_count    {stats.single_char_count}")
    print(f"  special_token_count  {stats.special_token_count}")
    print(f"  token ids            {stats.min_token_id}..{stats.max_token_id}")
    lengths = ", ".join(f"{length}:{count}" for length, count in stats.length_distribution)
    print(f"  tokens by length     {lengths}")

    validation = editor.validate_merges()
    print("merge validation:")
    print(f"  valid    {validation.valid_count}")
    print(f"  invalid  {validation.invalid_count}")
    for position, left, right in validation.invalid_merges[:10]:
        print(f"    #{position}: {left!r} + {right!r} (product not in the vocabulary)")

    editor.save(str(output))
    copy = quorvane.Quorvane(str(output))
    if copy.get_vocab() != editor.get_vocab() or copy.get_merges() != editor.get_merges():
        raise SystemExit(f"the copy at {output} does not reload with the same vocabulary and merges")
    print(f"saved an unchanged copy to {output} ({output.stat().st_size} bytes); it reloads identically")


if __name__ == "__main__":
    main()
