"""Train the two small sample tokenizers shipped in this directory.

    python examples/sample/train_sample.py

Both are trained with the `tokenizers` package on corpus.txt (original text
written for this project, free to ship):

- tokenizer.json: ByteLevel BPE, 3000 entries in the model vocabulary plus
  two special tokens that live only in added_tokens (the layout of most
  recent ByteLevel tokenizers).
- marker_tokenizer.json: "▁" space-marker BPE with byte fallback: a
  normalizer Sequence of Prepend "▁" and Replace " " -> "▁", no
  pre-tokenizer, <unk>/<s>/</s> and the 256 <0xNN> byte tokens at the front
  of the vocabulary.

Training is deterministic, so rerunning the script rewrites identical files.
Merges are written as two-element arrays ["left", "right"]; the older
one-string form is converted if a trainer ever produces it.
"""

from __future__ import annotations

import argparse
import json
from pathlib import Path
from typing import Any

from tokenizers import Tokenizer, decoders, models, normalizers, pre_tokenizers, processors, trainers

HERE = Path(__file__).resolve().parent
CORPUS = HERE / "corpus.txt"
SIZE_LIMIT = 300 * 1024
MARKER = "\u2581"

# A tokenizer.json document as json.loads gives it.
Document = dict[str, Any]

BYTE_LEVEL_VOCAB = 3000
MARKER_VOCAB = 1200


def train_byte_level() -> Document:
    tok = Tokenizer(models.BPE())
    tok.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=True)
    tok.decoder = decoders.ByteLevel()
    tok.post_processor = processors.ByteLevel(trim_offsets=False)
    trainer = trainers.BpeTrainer(
        vocab_size=BYTE_LEVEL_VOCAB,
        min_frequency=1,
        special_tokens=["<|endoftext|>"],
        initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
        show_progress=False,
    )
    tok.train([str(CORPUS)], trainer)
    # Added after training, so they get ids past the model vocabulary and
    # appear only in added_tokens.
    tok.add_special_tokens(["<|im_start|>", "<|im_end|>"])
    doc: Document = json.loads(tok.to_str())
    return doc


def train_marker() -> Document:
    specials = ["<unk>", "<s>", "</s>"]
    byte_tokens = [f"<0x{b:02X}>" for b in range(256)]
    tok = Tokenizer(models.BPE(unk_token="<unk>", byte_fallback=True, fuse_unk=True))
    tok.normalizer = normalizers.Sequence(
        [normalizers.Prepend(MARKER), normalizers.Replace(" ", MARKER)]
    )
    # Splitting before each marker during training keeps merges inside words;
    # the shipped tokenizer has no pre-tokenizer, like the real ones of this kind.
    tok.pre_tokenizer = pre_tokenizers.Metaspace(replacement=MARKER, prepend_scheme="never", split=True)
    tok.decoder = decoders.Sequence(
        [decoders.Replace(MARKER, " "), decoders.ByteFallback(), decoders.Fuse(), decoders.Strip(" ", 1, 0)]
    )
    tok.post_processor = processors.TemplateProcessing(
        single="<s> $A", pair="<s> $A <s>:1 $B:1", special_tokens=[("<s>", 1)]
    )
    trainer = trainers.BpeTrainer(
        vocab_size=MARKER_VOCAB,
        min_frequency=1,
        special_tokens=specials + byte_tokens,
        show_progress=False,
    )
    tok.train([str(CORPUS)], trainer)
    doc: Document = json.loads(tok.to_str())
    doc["pre_tokenizer"] = None
    # The byte tokens are ordinary vocabulary entries, not added tokens.
    doc["added_tokens"] = [e for e in doc["added_tokens"] if e["content"] in specials]
    return doc


def normalise_merges(doc: Document) -> None:
    merges = []
    for m in doc["model"]["merges"]:
        if isinstance(m, str):
            left, sep, right = m.partition(" ")
            if not sep or " " in right:
                raise ValueError(f"cannot split merge {m!r} at a single space")
            m = [left, right]
        merges.append(list(m))
    doc["model"]["merges"] = merges


def check(path: Path, doc: Document) -> None:
    size = path.stat().st_size
    if size > SIZE_LIMIT:
        raise SystemExit(f"{path.name}: {size} bytes, over the {SIZE_LIMIT} byte limit")
    merges = doc["model"]["merges"]
    if not all(isinstance(m, list) and len(m) == 2 for m in merges):
        raise SystemExit(f"{path.name}: merges are not all two-element arrays")
    tok = Tokenizer.from_file(str(path))
    for line in CORPUS.read_text(encoding="utf-8").splitlines():
        ids = tok.encode(line, add_special_tokens=False).ids
        back = tok.decode(ids)
        if back != line:
            raise SystemExit(f"{path.name}: round trip changed {line!r} into {back!r}")
    print(
        f"{path.name}: vocab {len(doc['model']['vocab'])}, merges {len(merges)}, "
        f"added_tokens {len(doc['added_tokens'])}, {size} bytes"
    )


def write(path: Path, doc: Document) -> None:
    normalise_merges(doc)
    path.write_text(json.dumps(doc, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")
    check(path, doc)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out-dir", type=Path, default=HERE, help="where to write (default: next to this script)")
    args = parser.parse_args()
    args.out_dir.mkdir(parents=True, exist_ok=True)
    write(args.out_dir / "tokenizer.json", train_byte_level())
    write(args.out_dir / "marker_tokenizer.json", train_marker())


if __name__ == "__main__":
    main()
