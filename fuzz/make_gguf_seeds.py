#!/usr/bin/env python3
"""Writes the seed corpus of read_gguf_fuzz under fuzz/seeds/read_gguf_fuzz/
(committed; run this again only to change it), small GGUF files written with
the `gguf` package's GGUFWriter.

    python3 fuzz/make_gguf_seeds.py [--campaign DIR [MODEL.gguf ...]]

With --campaign, also writes into DIR (not committed) a copy of the seeds and,
for each real model given (default: the cached ones), the model's header and
metadata cut down: every array shortened to its first 64 elements, and the
first tensors of its directory with one block row each. Those keep the real
key names, value types and tensor types while staying a few kilobytes.
"""
import shutil
import sys
from pathlib import Path

import numpy as np
from gguf import GGMLQuantizationType, GGUFValueType, GGUFWriter

HERE = Path(__file__).resolve().parent
SEEDS = HERE / "seeds" / "read_gguf_fuzz"
MODELS = Path.home() / ".cache" / "quorvane" / "models"


def write(path, fill, arch="llama"):
    writer = GGUFWriter(str(path), arch)
    fill(writer)
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()


def quantised(writer, name, qtype, rows):
    """A tensor of `rows` rows of one block each, zero bytes."""
    from gguf import GGML_QUANT_SIZES

    _block, size = GGML_QUANT_SIZES[qtype]
    writer.add_tensor(name, np.zeros((rows, size), dtype=np.uint8), raw_dtype=qtype)


def llama_vocab(writer):
    tokens = ["<unk>", "<s>", "</s>", "<0x41>", "\u2581", "a", "b", "ab", "\u2581ab", "\u00e9", "\n\n"]
    writer.add_tokenizer_model("llama")
    writer.add_token_list(tokens)
    writer.add_token_scores([0.0, 0.0, 0.0, 0.0, -1.0, -2.0, -3.0, -4.0, -5.0, -6.0, -1000.0])
    writer.add_token_types([2, 3, 3, 6, 1, 1, 1, 1, 1, 1, 4])
    writer.add_bos_token_id(1)
    writer.add_eos_token_id(2)
    writer.add_add_space_prefix(False)
    writer.add_tensor("token_embd.weight", np.arange(len(tokens) * 4, dtype=np.float32).reshape(len(tokens), 4))
    quantised(writer, "output.weight", GGMLQuantizationType.Q8_0, len(tokens))


def gpt2_vocab(writer):
    writer.add_tokenizer_model("gpt2")
    writer.add_tokenizer_pre("smollm")
    writer.add_token_list(["a", "b", "ab", "\u0120", "\u0120ab", "<|endoftext|>"])
    writer.add_token_types([1, 1, 1, 1, 1, 3])
    writer.add_token_merges(["a b", "\u0120 ab"])
    writer.add_chat_template("{% for m in messages %}{{ m['content'] }}{% endfor %}")
    quantised(writer, "token_embd.weight", GGMLQuantizationType.Q4_K, 6)
    writer.add_tensor("output_norm.weight", np.ones(8, dtype=np.float16))


def every_value_type(writer):
    writer.add_uint8("t.u8", 200)
    writer.add_int8("t.i8", -100)
    writer.add_uint16("t.u16", 60000)
    writer.add_int16("t.i16", -30000)
    writer.add_uint32("t.u32", 4000000000)
    writer.add_int32("t.i32", -2000000000)
    writer.add_float32("t.f32", 0.5)
    writer.add_bool("t.bool", True)
    writer.add_string("t.str", "h\u00e9llo")
    writer.add_uint64("t.u64", 2**64 - 1)
    writer.add_int64("t.i64", -(2**63))
    writer.add_float64("t.f64", -2.5)
    writer.add_key_value("t.bools", [True, False], GGUFValueType.ARRAY, sub_type=GGUFValueType.BOOL)
    writer.add_key_value("t.i16s", [1, -2, 3], GGUFValueType.ARRAY, sub_type=GGUFValueType.INT16)
    writer.add_key_value("t.nested", [[1, 2], [3]], GGUFValueType.ARRAY)


def aligned_64(writer):
    writer.add_custom_alignment(64)
    writer.add_tensor("a", np.ones((2, 3), dtype=np.float32))
    writer.add_tensor("b", np.ones(5, dtype=np.int8))
    quantised(writer, "c", GGMLQuantizationType.Q5_1, 2)


def version_2(path):
    """A version-2 file has the layout of version 3."""
    write(path, llama_vocab)
    data = bytearray(path.read_bytes())
    data[4:8] = (2).to_bytes(4, "little")
    path.write_bytes(bytes(data))


def write_seeds(out):
    out.mkdir(parents=True, exist_ok=True)
    write(out / "llama_vocab.gguf", llama_vocab)
    write(out / "gpt2_vocab.gguf", gpt2_vocab, arch="gpt2")
    write(out / "every_value_type.gguf", every_value_type)
    write(out / "aligned_64.gguf", aligned_64)
    write(out / "no_tensors.gguf", lambda w: w.add_name("empty"))
    version_2(out / "version_2.gguf")


def cut_model(model, out):
    """The model's metadata with short arrays and a few one-row tensors."""
    import quorvane

    info = quorvane.read_gguf(str(model))
    values = {}
    arch = "llama"
    for key, vtype, value, _start, _end in info["metadata"]:
        if key == "general.architecture":
            arch = value
        elif key != "general.alignment":
            values[key] = (vtype, value)

    def fill(writer):
        for key, (vtype, value) in values.items():
            if vtype == GGUFValueType.ARRAY:
                element_type, items = value
                writer.add_key_value(key, items[:64], GGUFValueType.ARRAY, sub_type=GGUFValueType(element_type))
            else:
                writer.add_key_value(key, value, GGUFValueType(vtype))
        for name, _dims, ggml_type, _offset, _nbytes in info["tensors"][:6]:
            quantised(writer, name, GGMLQuantizationType(ggml_type), 2)

    write(out / (model.stem + "_cut.gguf"), fill, arch=arch)


def main(argv):
    if argv[:1] == ["--campaign"]:
        campaign = Path(argv[1])
        models = [Path(m) for m in argv[2:]] or sorted(MODELS.glob("*.gguf"))
        write_seeds(SEEDS)
        campaign.mkdir(parents=True, exist_ok=True)
        for seed in SEEDS.iterdir():
            shutil.copy(seed, campaign / seed.name)
        for model in models:
            cut_model(model, campaign)
    else:
        write_seeds(SEEDS)


if __name__ == "__main__":
    main(sys.argv[1:])
