"""GGUF models as input and output, on small files with random weights built
with the gguf package's writer: the tokenizer read from the metadata, the
file written after an edit (tokenizer arrays, special ids, the rows of the
embedding tensors, everything else byte for byte), and the refusals."""

import json
import os
import struct

import pytest

import quorvane
from quorvane_cli.formats.gguf import BYTE, CONTROL, NORMAL, USER_DEFINED, read_gguf, tokenizer_text
from test_cli import failure, run, run_json

if os.environ.get("QUORVANE_SANITIZED"):
    # the gguf package builds on numpy, whose native code keeps objects at exit
    # that LeakSanitizer cannot tell from leaks (as in test_embeddings)
    pytest.skip("numpy under the sanitizers", allow_module_level=True)
np = pytest.importorskip("numpy")
gguf = pytest.importorskip("gguf")
tokenizers = pytest.importorskip("tokenizers")
Q = gguf.GGMLQuantizationType
WIDTH = 256  # one K-quant block per row, eight Q8_0 blocks


def byte_chars():
    """The byte-level alphabet, in byte order."""
    keep = [*range(33, 127), *range(161, 173), *range(174, 256)]
    chars, extra = {}, 0
    for b in range(256):
        if b in keep:
            chars[b] = chr(b)
        else:
            chars[b] = chr(256 + extra)
            extra += 1
    return [chars[b] for b in range(256)]


def gpt2_vocab():
    """ids: <|endoftext|>=0, the 256 byte characters 1..256, then the merged tokens, <tool>=264 (user-defined)."""
    merges = [("Ġ", "t"), ("h", "e"), ("Ġt", "he"), ("Ġ", "k"), ("e", "e"), ("Ġk", "ee"), ("Ġkee", "p")]
    tokens = ["<|endoftext|>", *byte_chars(), *(left + right for left, right in merges), "<tool>"]
    types = [CONTROL, *[NORMAL] * (len(tokens) - 2), USER_DEFINED]
    return tokens, types, merges


def llama_vocab():
    """ids: <unk>=0 <s>=1 </s>=2, <0x00>..<0xFF> 3..258, then pieces with falling scores."""
    pieces = ["▁", "t", "h", "e", "k", "p", "▁t", "he", "▁the", "ee", "▁k", "▁kee", "▁keep"]
    tokens = ["<unk>", "<s>", "</s>", *(f"<0x{b:02X}>" for b in range(256)), *pieces]
    types = [2, CONTROL, CONTROL, *[BYTE] * 256, *[NORMAL] * len(pieces)]
    scores = [0.0] * 259 + [-float(i) for i in range(len(pieces))]
    return tokens, types, scores


def quantised(values, kind):
    """`values` (float32 rows) in type `kind`, as the bytes a GGUF stores."""
    if kind == Q.F32:
        return values.astype(np.float32)
    if kind == Q.F16:
        return values.astype(np.float16)
    if kind == Q.Q4_K:  # not quantisable by the gguf package: made by hand, small scales
        raw = np.random.default_rng(1).integers(0, 256, (len(values), 144), dtype=np.uint8)
        raw[:, 0:2] = np.frombuffer(np.float16(0.01).tobytes(), np.uint8)
        raw[:, 2:4] = np.frombuffer(np.float16(0.001).tobytes(), np.uint8)
        return raw
    return gguf.quants.quantize(values, kind)


def build(path, *, model="gpt2", kind=Q.F32, tied=True, pre="smollm", rows_extra=0):
    """A small GGUF model with random weights; returns its path."""
    writer = gguf.GGUFWriter(str(path), arch="llama")
    if model == "gpt2":
        tokens, types, merges = gpt2_vocab()
        writer.add_tokenizer_model("gpt2")
        writer.add_tokenizer_pre(pre)
        writer.add_token_list(tokens)
        writer.add_token_types(types)
        writer.add_token_merges([f"{left} {right}" for left, right in merges])
        writer.add_bos_token_id(0)
        writer.add_eos_token_id(0)
    else:
        tokens, types, scores = llama_vocab()
        writer.add_tokenizer_model(model)
        writer.add_token_list(tokens)
        writer.add_token_scores(scores)
        writer.add_token_types(types)
        writer.add_bos_token_id(1)
        writer.add_eos_token_id(2)
        writer.add_unk_token_id(0)
        writer.add_add_space_prefix(True)
    writer.add_vocab_size(len(tokens))
    writer.add_chat_template("{{ messages }}")
    rng = np.random.default_rng(0)
    rows = len(tokens) + rows_extra
    writer.add_tensor("token_embd.weight", quantised(rng.standard_normal((rows, WIDTH), np.float32), kind),
                      raw_dtype=kind)
    writer.add_tensor("blk.0.attn_norm.weight", rng.standard_normal(WIDTH, np.float32))
    if not tied:
        writer.add_tensor("output.weight", quantised(rng.standard_normal((rows, WIDTH), np.float32), kind),
                          raw_dtype=kind)
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()
    return str(path)


def rows(path, name):
    """Raw rows of a tensor, and its type."""
    reader = gguf.GGUFReader(path)
    tensor = next(t for t in reader.tensors if t.name == name)
    data = np.asarray(tensor.data)
    return data.reshape(tensor.shape[-1] if len(tensor.shape) > 1 else 1, -1).view(np.uint8), tensor.tensor_type


def metadata(path):
    reader = gguf.GGUFReader(path)
    return {key: field.contents() for key, field in reader.fields.items()}


def read_document(model):
    return json.loads(tokenizer_text(model))


def client(document):
    return tokenizers.Tokenizer.from_str(json.dumps(document))


class TestReading:
    def test_gpt2_tokenizer(self, tmp_path):
        document = read_document(read_gguf(build(tmp_path / "m.gguf")))
        editor = quorvane.Quorvane.from_json(json.dumps(document))
        tokens, _, merges = gpt2_vocab()
        assert editor.get_vocab() == {token: i for i, token in enumerate(tokens)}
        assert editor.get_merges() == merges
        added = {entry["content"]: entry["special"] for entry in document["added_tokens"]}
        assert added == {"<|endoftext|>": True, "<tool>": False}
        encoding = client(document).encode(" keep the<tool>2024 keep")
        assert encoding.tokens == ["Ġkeep", "Ġthe", "<tool>", "2", "0", "2", "4", "Ġkeep"]

    def test_llama_tokenizer_merges_by_score(self, tmp_path):
        document = read_document(read_gguf(build(tmp_path / "m.gguf", model="llama")))
        encoding = client(document).encode("keep the tea ŵ")
        # ▁ is prefixed; characters the vocabulary lacks fall back to bytes
        assert encoding.tokens == ["▁keep", "▁the", "▁t", "e", "<0x61>", "▁", "<0xC5>", "<0xB5>"]
        assert document["model"]["unk_token"] == "<unk>"
        assert {entry["content"] for entry in document["added_tokens"]} == {"<s>", "</s>"}

    @pytest.mark.parametrize("model, message", [
        ("bert", "WordPiece"), ("t5", "Unigram"), ("rwkv", "RWKV"),
    ])
    def test_other_models_refused(self, tmp_path, capsys, model, message):
        path = build(tmp_path / "m.gguf", model=model)
        assert message in failure(capsys, "info", path)

    def test_unknown_pre_needs_the_tokenizer_json(self, tmp_path, capsys):
        path = build(tmp_path / "m.gguf", pre="not-a-pre")
        assert "'not-a-pre' is not known" in failure(capsys, "info", path)
        own = read_document(read_gguf(build(tmp_path / "known.gguf")))
        (tmp_path / "own.json").write_text(json.dumps(own), encoding="utf-8")
        data = run_json(capsys, "info", path, "--tokenizer-json", tmp_path / "own.json")
        assert data["gguf"]["pre"] == "not-a-pre"

    def test_info_shows_the_model(self, tmp_path, capsys):
        path = build(tmp_path / "m.gguf", kind=Q.Q8_0, tied=False)
        data = run_json(capsys, "info", path)
        assert data["vocab_size"] == 265
        assert data["gguf"] == {
            "architecture": "llama", "tokenizer_model": "gpt2", "pre": "smollm", "tied": False,
            "embeddings": [{"name": "token_embd.weight", "type": "Q8_0", "shape": [WIDTH, 265]},
                           {"name": "output.weight", "type": "Q8_0", "shape": [WIDTH, 265]}],
        }

    def test_every_reading_command_takes_a_gguf(self, tmp_path, capsys):
        path = build(tmp_path / "m.gguf")
        run_json(capsys, "reindex", path, "-o", tmp_path / "same.json")
        text = tmp_path / "text.txt"
        text.write_text(" keep the tea\n the keeper 2024\n", encoding="utf-8")
        figures = run_json(capsys, "eval", path, tmp_path / "same.json", "--text", text, "--no-model")
        first, second = figures["tokenizers"]
        assert first["tokens"] == second["tokens"] > 0
        assert run_json(capsys, "validate", path)["invalid_count"] == 0
        merged = run_json(capsys, "merge", tmp_path / "same.json", path, "-o", tmp_path / "merged.json")
        assert merged["final_vocab_size"] >= 265

    @pytest.mark.parametrize("cut", ["magic", "header", "metadata", "tensor data"])
    def test_damaged_files_refused(self, tmp_path, capsys, cut):
        path = build(tmp_path / "m.gguf")
        raw = open(path, "rb").read()
        damaged = {"magic": b"GGUX" + raw[4:], "header": raw[:20], "metadata": raw[:400],
                   "tensor data": raw[:-100]}[cut]
        (tmp_path / "bad.gguf").write_bytes(damaged)
        message = failure(capsys, "info", tmp_path / "bad.gguf")
        assert "bad.gguf" in message

    def test_huge_declared_count_fails_fast(self, tmp_path, capsys):
        path = build(tmp_path / "m.gguf")
        raw = bytearray(open(path, "rb").read())
        raw[16:24] = struct.pack("<Q", 2**62)  # metadata count
        (tmp_path / "bad.gguf").write_bytes(bytes(raw))
        message = failure(capsys, "info", tmp_path / "bad.gguf")
        assert message.startswith(f"quorvane: error: Failed to read GGUF: {tmp_path / 'bad.gguf'}: ")


class TestWriting:
    @pytest.mark.parametrize("kind", [Q.F32, Q.F16, Q.BF16, Q.Q8_0, Q.Q4_0, Q.Q5_1, Q.Q4_K])
    @pytest.mark.parametrize("tied", [True, False])
    def test_rows_follow_the_id_map(self, tmp_path, capsys, kind, tied):
        path = build(tmp_path / "m.gguf", kind=kind, tied=tied)
        out = tmp_path / "out.gguf"
        data = run_json(capsys, "add", path, "Ġthe", "Ġkeeper", "-o", out)
        # Ġkeeper is new: its pieces Ġkeep + e + r
        editor = quorvane.Quorvane.from_json(tokenizer_text(read_gguf(str(out))))
        new_id = editor.get_token_id("Ġkeeper")
        names = ["token_embd.weight"] + ([] if tied else ["output.weight"])
        for name in names:
            old, old_kind = rows(path, name)
            new, new_kind = rows(str(out), name)
            assert len(new) == editor.vocab_size
            requantised = kind == Q.Q4_K
            assert new_kind == (Q.Q8_0 if requantised else kind)
            old_f = gguf.quants.dequantize(old, old_kind).reshape(len(old), -1)
            new_f = gguf.quants.dequantize(new, new_kind).reshape(len(new), -1)
            survivors = [i for i in range(len(old)) if i != new_id]
            if requantised:
                # Q8_0 keeps each value within 1/127 of its block's largest
                assert np.abs(new_f[survivors] - old_f[: len(survivors)]).max() <= np.abs(old_f).max() / 100
            else:
                assert (new[: len(old)] == old[: len(new) - 1]).all() or (new[survivors] == old).all()
            pieces = [editor.get_token_id(p) for p in ("Ġkeep", "e", "r")]
            expected = old_f[pieces].mean(axis=0)
            scale = np.abs(old_f).max()
            tolerance = {Q.F32: 1e-6, Q.F16: 1e-3, Q.BF16: 1e-2}.get(kind, 0.15) * scale
            assert np.abs(new_f[new_id] - expected).max() <= tolerance
        assert data["gguf"]["requantised_as_q8_0"] == (names if kind == Q.Q4_K else [])

    def test_everything_else_is_kept(self, tmp_path, capsys):
        path = build(tmp_path / "m.gguf", kind=Q.Q8_0, tied=False)
        out = tmp_path / "out.gguf"
        run_json(capsys, "remove", path, "Ġkee", "-o", out)
        before, after = metadata(path), metadata(str(out))
        assert list(before) == list(after)
        assert after["llama.vocab_size"] == len(after["tokenizer.ggml.tokens"]) == 265 - 2
        assert after["tokenizer.chat_template"] == before["tokenizer.chat_template"]
        for key in before:
            if not key.startswith(("tokenizer.ggml.", "llama.vocab_size", "GGUF.")):
                assert after[key] == before[key], key
        assert "Ġkeep" not in after["tokenizer.ggml.tokens"]  # removed with its dependents
        assert after["tokenizer.ggml.merges"] == ["Ġ t", "h e", "Ġt he", "Ġ k", "e e"]
        norm_before, _ = rows(path, "blk.0.attn_norm.weight")
        norm_after, _ = rows(str(out), "blk.0.attn_norm.weight")
        assert (norm_before == norm_after).all()
        reader = gguf.GGUFReader(str(out))
        assert all(t.data_offset % 32 == 0 for t in reader.tensors)

    def test_special_ids_follow_the_edit(self, tmp_path, capsys):
        path = build(tmp_path / "m.gguf", model="llama")
        out = tmp_path / "out.gguf"
        # removing <0x41> closes a gap below the pieces and the specials stay put
        run_json(capsys, "remove", path, "▁t", "-o", out)
        after = metadata(str(out))
        tokens = after["tokenizer.ggml.tokens"]
        assert tokens[after["tokenizer.ggml.bos_token_id"]] == "<s>"
        assert tokens[after["tokenizer.ggml.eos_token_id"]] == "</s>"
        scores = dict(zip(tokens, after["tokenizer.ggml.scores"]))
        assert scores["▁keep"] == -12.0

    def test_llama_new_tokens_score_below_all(self, tmp_path, capsys):
        path = build(tmp_path / "m.gguf", model="llama")
        out = tmp_path / "out.gguf"
        run_json(capsys, "add", path, "▁keeper", "▁theek", "-o", out)
        after = metadata(str(out))
        scores = dict(zip(after["tokenizer.ggml.tokens"], after["tokenizer.ggml.scores"]))
        assert min(scores[t] for t in llama_vocab()[0]) > scores["▁keeper"] > scores["▁theek"]
        types = dict(zip(after["tokenizer.ggml.tokens"], after["tokenizer.ggml.token_type"]))
        assert types["▁keeper"] == NORMAL and types["<0x41>"] == BYTE and types["<s>"] == CONTROL
        document = read_document(read_gguf(str(out)))
        assert client(document).encode("keeper").tokens == ["▁keeper"]

    def test_json_output_is_the_tokenizer_alone(self, tmp_path, capsys):
        path = build(tmp_path / "m.gguf")
        run_json(capsys, "add", path, "Ġkeeper", "-o", tmp_path / "out.json")
        document = json.loads((tmp_path / "out.json").read_text(encoding="utf-8"))
        assert "Ġkeeper" in document["model"]["vocab"]
        assert os.listdir(tmp_path) == ["m.gguf", "out.json"] or sorted(os.listdir(tmp_path)) == [
            "m.gguf", "out.json"]

    def test_in_place(self, tmp_path, capsys):
        path = build(tmp_path / "m.gguf", kind=Q.Q8_0)
        run_json(capsys, "add", path, "Ġkeeper", "-o", tmp_path / "copy.gguf")
        run_json(capsys, "add", path, "Ġkeeper", "--in-place")
        assert os.listdir(tmp_path).count("m.gguf") == 1 and len(os.listdir(tmp_path)) == 2
        assert (tmp_path / "m.gguf").read_bytes() == (tmp_path / "copy.gguf").read_bytes()

    @pytest.mark.parametrize("init", ["mean", "zeros"])
    def test_init(self, tmp_path, capsys, init):
        path = build(tmp_path / "m.gguf")
        out = tmp_path / "out.gguf"
        run_json(capsys, "add", path, "Ġkeeper", "--init", init, "-o", out)
        old, _ = rows(path, "token_embd.weight")
        new, _ = rows(str(out), "token_embd.weight")
        old_f, new_f = old.view(np.float32), new.view(np.float32)
        expected = old_f.mean(axis=0) if init == "mean" else np.zeros(WIDTH, np.float32)
        assert np.allclose(new_f[-1], expected, atol=1e-6)

    @pytest.mark.parametrize("init", ["mean-of-constituents", "norm-matched", "positional", "shrunk"])
    def test_rows_from_pieces(self, tmp_path, capsys, init):
        path = build(tmp_path / "m.gguf", tied=False)
        out = tmp_path / "out.gguf"
        run_json(capsys, "add", path, "Ġkeeper", "--init", init, "-o", out)
        pieces = client(read_document(read_gguf(path))).encode(" keeper", add_special_tokens=False).ids
        assert len(pieces) >= 2
        for name, weights in [("token_embd.weight", range(1, len(pieces) + 1)),  # rising to the last piece
                              ("output.weight", range(len(pieces), 0, -1))]:  # falling from the first
            old, _ = rows(path, name)
            new, _ = rows(str(out), name)
            rows_of_pieces = old.view(np.float32)[pieces].astype(np.float64)
            mean = rows_of_pieces.mean(axis=0)
            expected = {
                "mean-of-constituents": mean,
                "norm-matched": mean if name == "output.weight" else
                mean / np.linalg.norm(mean) * np.linalg.norm(rows_of_pieces, axis=1).mean(),
                "positional": np.average(rows_of_pieces, axis=0, weights=list(weights)),
                # the old tokenizer's rows: the model's, but for the one just added
                "shrunk": 0.9 * mean + 0.1 * old.view(np.float32).astype(np.float64).mean(axis=0),
            }[init]
            np.testing.assert_allclose(new.view(np.float32)[-1], expected, rtol=1e-5, atol=1e-6, err_msg=name)


class TestRefusals:
    def listing(self, tmp_path):
        return sorted(os.listdir(tmp_path))

    def test_removing_a_special_token(self, tmp_path, capsys):
        path = build(tmp_path / "m.gguf", model="llama")
        message = failure(capsys, "remove", path, "</s>", "-o", tmp_path / "out.gguf")
        assert "eos token" in message
        assert self.listing(tmp_path) == ["m.gguf"]

    def test_output_is_the_input(self, tmp_path, capsys):
        path = build(tmp_path / "m.gguf")
        assert "input file" in failure(capsys, "add", path, "Ġkeeper", "-o", path)
        assert self.listing(tmp_path) == ["m.gguf"]

    def test_output_of_another_kind(self, tmp_path, capsys):
        path = build(tmp_path / "m.gguf")
        assert ".gguf" in failure(capsys, "add", path, "Ġkeeper", "-o", tmp_path / "out.bin")
        assert self.listing(tmp_path) == ["m.gguf"]

    def test_failed_write_leaves_nothing(self, tmp_path, capsys, monkeypatch):
        from quorvane_cli.formats import gguf_writer

        path = build(tmp_path / "m.gguf")

        def broken(*args, **kwargs):
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(gguf_writer, "copy_range", broken)
        status, _, err = run(capsys, "add", path, "Ġkeeper", "-o", tmp_path / "out.gguf")
        assert status == 1 and "No space left" in err
        assert self.listing(tmp_path) == ["m.gguf"]

    def test_writing_without_the_gguf_package(self, tmp_path, capsys, monkeypatch):
        import importlib.util

        path = build(tmp_path / "m.gguf")
        real = importlib.util.find_spec
        monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == "gguf" else real(name, *a))
        assert "pip install 'quorvane[model]'" in failure(capsys, "add", path, "Ġkeeper", "-o", tmp_path / "o.gguf")
        assert self.listing(tmp_path) == ["m.gguf"]


class TestResizeEmbeddings:
    def test_same_file_as_the_edit_itself(self, tmp_path, capsys):
        path = build(tmp_path / "m.gguf", kind=Q.Q8_0, tied=False)
        run_json(capsys, "add", path, "Ġkeeper", "-o", tmp_path / "direct.gguf")
        run_json(capsys, "add", path, "Ġkeeper", "-o", tmp_path / "edit.json", "--id-map", tmp_path / "map.json")
        run_json(capsys, "resize-embeddings", path, "--id-map", tmp_path / "map.json",
                 "--tokenizer", tmp_path / "edit.json", "-o", tmp_path / "resized.gguf")
        assert (tmp_path / "resized.gguf").read_bytes() == (tmp_path / "direct.gguf").read_bytes()

    def test_map_of_another_edit_refused(self, tmp_path, capsys):
        path = build(tmp_path / "m.gguf")
        run_json(capsys, "add", path, "Ġkeeper", "-o", tmp_path / "edit.json", "--id-map", tmp_path / "map.json")
        run_json(capsys, "remove", tmp_path / "edit.json", "Ġkeeper", "-o", tmp_path / "other.json")
        message = failure(capsys, "resize-embeddings", path, "--id-map", tmp_path / "map.json",
                          "--tokenizer", tmp_path / "other.json", "-o", tmp_path / "out.gguf")
        assert "does not take" in message
        assert not (tmp_path / "out.gguf").exists()
