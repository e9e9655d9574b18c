#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/seeds/ (they are committed; run this
again only to change them).

    python3 fuzz/make_seeds.py [CORPUS_DIR [TEXT_DIR]]

CORPUS_DIR holds the real tokenizers as *.json or *.json.xz (default:
../shared/corpus). Each contributes small slices: a few merges from one place
in its merge list, the tokens those merges need, a few low ids, and the
file's own added tokens (a few), normalizer and pre-tokenizer. The splitter's
seeds pair each file's normalizer and pre-tokenizer with a few lines of the
real texts in TEXT_DIR (default: ../shared/text, *.txt.xz).
"""
import json
import lzma
import random
import struct
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
SEEDS = HERE / "seeds"

# Operation bytes of editor_ops_fuzz (op = byte % 10).
ADD, ATOMIC, REMOVE, REMOVE_MANY, SHRINK, REINDEX, REMOVE_INVALID, KEEP_SIZE, MERGE, SYNC = range(10)


def load(path):
    opener = lzma.open if path.suffix == ".xz" else open
    with opener(path, "rt", encoding="utf-8") as f:
        return json.load(f)


def slice_of(doc, start, count):
    model = doc["model"]
    merges = model["merges"][start:start + count]
    wanted = set()
    for left, right in merges:
        wanted.update((left, right, left + right))
    by_id = sorted(model["vocab"].items(), key=lambda kv: kv[1])
    wanted.update(token for token, _ in by_id[:8])
    added = doc["added_tokens"][:3]
    wanted.update(entry["content"] for entry in added if entry["content"] in model["vocab"])
    vocab = {token: model["vocab"][token] for token in sorted(wanted) if token in model["vocab"]}
    out = dict(doc)
    out["added_tokens"] = added
    out["model"] = dict(model, vocab=vocab, merges=merges)
    return json.dumps(out, ensure_ascii=False, indent=2).encode()


def hand_written():
    base = '{"version":"1.0","added_tokens":[],"model":{"type":"BPE","vocab":{},"merges":[]}}'
    full = r'''{
  "version": "1.0",
  "truncation": {"max_length": 512, "strategy": "LongestFirst", "stride": 0},
  "padding": null,
  "added_tokens": [
    {"id": 0, "content": "<s>", "single_word": false, "lstrip": false, "rstrip": false, "normalized": false, "special": true},
    {"id": 4294967295, "content": "[UNK]", "special": false},
    7,
    {"id": -1, "content": 5}
  ],
  "normalizer": {"type": "Sequence", "normalizers": [{"type": "NFC"},
    {"type": "Replace", "pattern": {"String": " "}, "content": "\u2581"}]},
  "pre_tokenizer": null,
  "post_processor": {"type": "TemplateProcessing", "single": [{"SpecialToken": {"id": "<s>", "type_id": 0}}],
    "numbers": [0, -0, 1.5e300, 18446744073709551615, -9223372036854775808, 1E5, 0.1, -2.5e-7]},
  "decoder": {"type": "ByteFallback"},
  "unknown_top": {"nested": [1, [2, [3]], {"deep": null}]},
  "model": {
    "type": "BPE",
    "dropout": 0.25,
    "unk_token": "[UNK]",
    "continuing_subword_prefix": "##",
    "end_of_word_suffix": "</w>",
    "fuse_unk": true,
    "byte_fallback": true,
    "ignore_merges": false,
    "unknown_model": [true, false],
    "vocab": {"<s>": 0, "a": 1, "b": 2, "ab": 3, "\u00e9": 4, "\ud83d\ude00": 5, "\u2581a": 6,
              "tab\tquote\"back\\slash": 7, "a": 9, "<0x41>": 10, "": 11, "x": 4294967295},
    "merges": [["a", "b"], ["\u2581", "a"], ["a", "b"], ["ab", ""], ["q", "r"]]
  }
}'''
    byte_level = ('{"version":"1.0","added_tokens":[],"pre_tokenizer":{"type":"ByteLevel","add_prefix_space":false,'
                  '"trim_offsets":true,"use_regex":true},"model":{"type":"BPE","vocab":{"\u0120":0,"t":1,'
                  '"\u0120t":2,"h":3,"\u0120th":4,"\u00c3":5,"\u00a9":6,"\u00c3\u00a9":7},'
                  '"merges":[["\u0120","t"],["\u0120t","h"],["\u00c3","\u00a9"]]}}')
    return {
        "minimal.json": base.encode(),
        "full.json": full.encode(),
        "byte_level.json": byte_level.encode(),
        "word_piece.json": base.replace('"BPE"', '"WordPiece"').encode(),
        "spaced.json": (" \n\t" + base + "\r\n ").encode(),
        "scalar_sections.json": base.replace('"added_tokens":[]',
                                             '"added_tokens":[],"truncation":5,"padding":"x",'
                                             '"normalizer":true,"decoder":-3').encode(),
    }


def with_length(text):
    return struct.pack("<H", len(text)) + text


def ops_seeds(slices):
    rng = random.Random(20240611)
    seeds = {}
    # Generated documents: the bytes after the flags are read by gen_document,
    # then as operations; every operation appears.
    for i in range(12):
        flags = rng.choice([0, 4])
        doc = bytes(rng.randrange(256) for _ in range(rng.randrange(40, 160)))
        ops = bytearray()
        for op in range(10):
            ops.append((op + 10 * rng.randrange(25)) & 0xFF)
            ops.extend(rng.randrange(256) for _ in range(rng.randrange(2, 12)))
        seeds[f"generated_{i:02d}"] = bytes([flags]) + doc + bytes(ops)
    # Real slices as the target, another as the merge source, then a fixed
    # program of operations with arguments that pick existing tokens.
    program = bytes([
        ADD, 2, 3, 9,             # an existing token extended by a piece
        ADD, 0, 3, 1, 2, 12,      # a new string of three pieces
        ATOMIC, 0, 1, 13,
        REMOVE, 1, 5,             # an existing token
        REMOVE_MANY, 3, 1, 2, 3, 7, 0, 1, 4,
        SHRINK, 3, 0,
        REMOVE_INVALID,
        REINDEX,
        KEEP_SIZE, 2, 0, 3, 1, 2, 6, 1, 1, 1, 0,
        MERGE, 0,
        SYNC, 0,
        MERGE, 1 | (6 << 2),      # a small max_vocab_size
    ])
    names = sorted(slices)
    for i, name in enumerate(names):
        other = slices[names[(i + 1) % len(names)]]
        target = slices[name]
        if len(target) + len(other) > 12000:
            continue
        seeds[f"slice_{Path(name).stem}"] = bytes([1 | 2]) + with_length(target) + with_length(other) + program
    return seeds


def text_lines(text_dir):
    """A few short lines of each real text: letters with diacritics, digits,
    quotes, code and runs of spaces, cut at a character boundary."""
    lines = []
    for path in sorted(text_dir.glob("*-heldout.txt.xz")):
        with lzma.open(path, "rt", encoding="utf-8") as f:
            text = f.read().split("\n")
        for line in text[:400:40]:
            lines.append(line.encode()[:160].decode("utf-8", "ignore"))
    return lines


def split_seeds(corpus, text_dir):
    """Seeds of split_text_fuzz: settings given as JSON (flags bit 0), then text."""
    lines = text_lines(text_dir)
    extra = "it's  \u00e9l\u00e8ve e\u0301 \ufb01n \u00bd\u00b2 \u3000x\u0085y 123456 \u6f22\u5b57 \U0001f600 \u2581a\t\r\n\n  \n"
    settings = {}
    for path in sorted(corpus.glob("*.json*")):
        doc = load(path)
        settings[path.name.split(".")[0]] = (doc.get("normalizer"), doc.get("pre_tokenizer"))
    split = lambda pattern, behavior, invert=False: {"type": "Split", "pattern": pattern, "behavior": behavior,
                                                     "invert": invert}
    settings.update({
        "byte_level": (None, {"type": "ByteLevel", "add_prefix_space": True, "trim_offsets": True,
                              "use_regex": True}),
        "nfkd_punctuation": ({"type": "NFKD"}, split({"Regex": r"\p{P}+"}, "MergedWithNext", True)),
        "behaviours": ({"type": "Sequence", "normalizers": [{"type": "NFKC"}, {"type": "Replace",
                        "pattern": {"String": "  "}, "content": " "}]},
                       {"type": "Sequence", "pretokenizers": [split({"String": " "}, "Removed"),
                                                              split({"Regex": r"(?i:[aeiou])+"}, "Contiguous"),
                                                              split({"String": "e"}, "MergedWithPrevious", True)]}),
    })
    seeds = {}
    for i, (name, (normalizer, pre_tokenizer)) in enumerate(sorted(settings.items())):
        members = json.dumps({"normalizer": normalizer, "pre_tokenizer": pre_tokenizer}, ensure_ascii=False)[1:-1]
        members = members.encode()
        text = "\n".join(lines[i::len(settings)][:3] + [extra]).encode()
        seeds[name] = b"\x01" + struct.pack("<H", len(members)) + members + text
    # Generated settings (flags bit 0 clear): a shape byte, the steps' bytes, then text.
    rng = random.Random(20261210)
    for i in range(8):
        body = bytes(rng.randrange(256) for _ in range(rng.randrange(8, 40)))
        seeds[f"generated_{i:02d}"] = b"\x00" + body + lines[i].encode()
    return seeds


def main():
    corpus = Path(sys.argv[1]) if len(sys.argv) > 1 else HERE.parent.parent / "shared" / "corpus"
    text_dir = Path(sys.argv[2]) if len(sys.argv) > 2 else HERE.parent.parent / "shared" / "text"
    slices = {}
    for path in sorted(corpus.glob("*.json*")):
        doc = load(path)
        n = len(doc["model"]["merges"])
        stem = path.name.split(".")[0]
        for start in (0, n // 50, n // 2):
            text = slice_of(doc, start, 24)
            if len(text) <= 6000:
                slices[f"{stem}_{start}.json"] = text
    read_dir = SEEDS / "read_document_fuzz"
    ops_dir = SEEDS / "editor_ops_fuzz"
    split_dir = SEEDS / "split_text_fuzz"
    for d in (read_dir, ops_dir, split_dir):
        d.mkdir(parents=True, exist_ok=True)
        for old in d.iterdir():
            old.unlink()
    for name, text in {**hand_written(), **slices}.items():
        (read_dir / name).write_bytes(text)
    # The editor seeds pair slices from different files; one per file is enough.
    firsts = {name: text for name, text in slices.items() if name.endswith("_0.json")}
    for name, data in ops_seeds(firsts).items():
        (ops_dir / name).write_bytes(data)
    for name, data in split_seeds(corpus, text_dir).items():
        (split_dir / name).write_bytes(data)
    dirs = (read_dir, ops_dir, split_dir)
    total = sum(p.stat().st_size for d in dirs for p in d.iterdir())
    print(" + ".join(str(len(list(d.iterdir()))) for d in dirs) + f" seeds, {total} bytes")


if __name__ == "__main__":
    main()
