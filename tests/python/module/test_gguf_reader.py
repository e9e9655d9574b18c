"""quorvane.read_gguf against the `gguf` package's reader, on small files its
writer makes and on the two real models; quorvane.merges_from_scores against
a plain implementation of llama.cpp's SentencePiece encoding."""

from __future__ import annotations

import os
import random
import struct
from pathlib import Path
from typing import Any

import pytest

import quorvane

if os.environ.get("QUORVANE_SANITIZED"):
    # the gguf package builds on numpy, whose native code keeps objects at exit
    # that LeakSanitizer cannot tell from leaks; the core's tests and the fuzz
    # target read GGUF files under the sanitizers instead
    pytest.skip("numpy under the sanitizers", allow_module_level=True)
gguf = pytest.importorskip("gguf")
np = pytest.importorskip("numpy")


def write_gguf(path: Path, fill: Any, arch: str = "llama") -> Path:
    writer = gguf.GGUFWriter(str(path), arch)
    fill(writer)
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()
    return path


def plain(value: Any) -> Any:
    """read_gguf's value without the element types, as the package gives it
    (which flattens arrays of arrays)."""
    if not isinstance(value, tuple):
        return value
    if value[0] == gguf.GGUFValueType.ARRAY:
        return [v for item in value[1] for v in plain(item)]
    return list(value[1])


def assert_same_as_package(path: Path) -> None:
    """Every record, range and tensor as gguf.GGUFReader reads them."""
    ours = quorvane.read_gguf(str(path))
    theirs = gguf.GGUFReader(str(path))
    fields = [f for f in theirs.fields.values() if not f.name.startswith("GGUF.")]
    assert [m[0] for m in ours["metadata"]] == [f.name for f in fields]
    for (key, value_type, value, start, end), field in zip(ours["metadata"], fields):
        assert value_type == field.types[0], key
        if value_type == gguf.GGUFValueType.ARRAY:
            assert value[0] == field.types[1], key
        expected = field.contents()
        if value_type == gguf.GGUFValueType.FLOAT32:
            assert value == pytest.approx(expected, rel=0, abs=0), key
        else:
            assert plain(value) == expected, key
        assert (start, end) == (field.offset, field.offset + sum(int(p.nbytes) for p in field.parts)), key
    assert ours["data_offset"] == theirs.data_offset
    assert ours["alignment"] == theirs.alignment
    assert ours["version"] == 3
    assert ours["file_size"] == path.stat().st_size
    assert len(ours["tensors"]) == len(theirs.tensors)
    for (name, dims, ggml_type, offset, nbytes), tensor in zip(ours["tensors"], theirs.tensors):
        assert (name, list(dims), ggml_type) == (tensor.name, [int(d) for d in tensor.shape], tensor.tensor_type)
        assert (ours["data_offset"] + offset, nbytes) == (tensor.data_offset, tensor.n_bytes), name


def every_value_type(writer: Any) -> None:
    writer.add_uint8("t.u8", 255)
    writer.add_int8("t.i8", -128)
    writer.add_uint16("t.u16", 65535)
    writer.add_int16("t.i16", -32768)
    writer.add_uint32("t.u32", 2**32 - 1)
    writer.add_int32("t.i32", -(2**31))
    writer.add_float32("t.f32", 0.1)
    writer.add_bool("t.bool", False)
    writer.add_string("t.str", "žluťoučký ▁kůň 🐎")
    writer.add_uint64("t.u64", 2**64 - 1)
    writer.add_int64("t.i64", -(2**63))
    writer.add_float64("t.f64", 1e-300)
    writer.add_token_list(["<unk>", "▁a", "\n"])
    writer.add_token_scores([0.0, -1.5, -1000.0])
    writer.add_token_types([2, 1, 4])
    writer.add_key_value("t.nested", [[1, 2], [3]], gguf.GGUFValueType.ARRAY)
    writer.add_chat_template("{{ messages }}")
    writer.add_tensor("token_embd.weight", np.arange(12, dtype=np.float32).reshape(3, 4))
    writer.add_tensor("q", np.zeros((2, 34), dtype=np.uint8), raw_dtype=gguf.GGMLQuantizationType.Q8_0)
    writer.add_tensor("h", np.ones(7, dtype=np.float16))


class TestAgainstThePackage:
    def test_every_value_type(self, tmp_path: Path) -> None:
        path = write_gguf(tmp_path / "all.gguf", every_value_type)
        assert_same_as_package(path)
        info = quorvane.read_gguf(str(path))
        values = {key: (value_type, value) for key, value_type, value, _, _ in info["metadata"]}
        assert values["t.nested"] == (9, (9, [(5, [1, 2]), (5, [3])]))
        assert values["tokenizer.ggml.scores"] == (9, (6, [0.0, -1.5, -1000.0]))
        assert values["t.f32"] == (6, struct.unpack("<f", struct.pack("<f", 0.1))[0])
        assert isinstance(values["t.bool"][1], bool)

    def test_custom_alignment(self, tmp_path: Path) -> None:
        def fill(writer: Any) -> None:
            writer.add_custom_alignment(128)
            writer.add_tensor("a", np.ones(3, dtype=np.float32))
            writer.add_tensor("b", np.ones(5, dtype=np.int8))

        path = write_gguf(tmp_path / "aligned.gguf", fill)
        assert_same_as_package(path)
        info = quorvane.read_gguf(str(path))
        assert info["alignment"] == 128 and info["data_offset"] % 128 == 0
        assert [t[3] for t in info["tensors"]] == [0, 128]

    @pytest.mark.slow
    @pytest.mark.parametrize("name", ["smollm2", "gemma3"])
    def test_real_models(self, gguf_models: dict[str, str], name: str) -> None:
        assert_same_as_package(Path(gguf_models[name]))


class TestFailures:
    def test_file_problems_are_os_errors(self, tmp_path: Path) -> None:
        with pytest.raises(FileNotFoundError, match="^Failed to read GGUF: .*absent.gguf: No such file") as caught:
            quorvane.read_gguf(str(tmp_path / "absent.gguf"))
        assert caught.value.errno == 2
        with pytest.raises(IsADirectoryError):
            quorvane.read_gguf(str(tmp_path))

    def test_malformed_content_is_a_value_error_naming_the_field(self, tmp_path: Path) -> None:
        path = write_gguf(tmp_path / "all.gguf", every_value_type)
        data = path.read_bytes()
        info = quorvane.read_gguf(str(path))
        last = info["tensors"][-1]
        data_end = info["data_offset"] + last[3] + last[4]  # the writer pads after it
        cut = tmp_path / "cut.gguf"
        for n in (0, 3, 20, 100, len(data) // 2, data_end - 1):
            cut.write_bytes(data[:n])
            with pytest.raises(ValueError, match=f"^Failed to read GGUF: {cut}: "):
                quorvane.read_gguf(str(cut))
        huge = tmp_path / "huge.gguf"
        huge.write_bytes(b"GGUF" + struct.pack("<IQQ", 3, 0, 1) + struct.pack("<Q", 2**62) + bytes(16))
        with pytest.raises(ValueError, match="key-value record 0: key at offset 32 needs 4611686018427387904 bytes"):
            quorvane.read_gguf(str(huge))

    def test_a_string_that_is_not_utf8_names_key_and_index(self, tmp_path: Path) -> None:
        def fill(writer: Any) -> None:
            writer.add_token_list(["a", "bé", "c"])

        path = write_gguf(tmp_path / "latin1.gguf", fill)
        path.write_bytes(path.read_bytes().replace("bé".encode(), b"b\xe9\xe9"))
        with pytest.raises(ValueError, match=r"key 'tokenizer.ggml.tokens' \[1\]: string at offset \d+ is not valid UTF-8"):
            quorvane.read_gguf(str(path))

    def test_arguments(self) -> None:
        with pytest.raises(TypeError):
            quorvane.read_gguf(b"x.gguf")  # type: ignore[arg-type]
        with pytest.raises(TypeError, match="argument 'scores'"):
            quorvane.merges_from_scores(["a"], ["x"], [1])  # type: ignore[list-item]
        with pytest.raises(ValueError, match="differ in length"):
            quorvane.merges_from_scores(["a", "b"], [0.0], [1, 1])
        with pytest.raises(ValueError, match=r"types\[0\]: 99 is not a token type"):
            quorvane.merges_from_scores(["a"], [0.0], [99])


def spm_encode(word: str, scores: dict[str, float]) -> list[str]:
    """llama.cpp's SentencePiece BPE: join the adjacent pair that makes the
    piece of highest score, the leftmost of equals, until none does."""
    symbols = list(word)
    while True:
        best = None
        for i in range(len(symbols) - 1):
            joined = symbols[i] + symbols[i + 1]
            if joined in scores and (best is None or scores[joined] > scores[symbols[best] + symbols[best + 1]]):
                best = i
        if best is None:
            return symbols
        symbols[best : best + 2] = [symbols[best] + symbols[best + 1]]


class TestMergesFromScores:
    @pytest.mark.parametrize("seed", range(6))
    def test_a_bpe_model_encodes_as_llama_cpp(self, seed: int) -> None:
        tokenizers = pytest.importorskip("tokenizers")
        rng = random.Random(seed)
        alphabet = "abcdeéž▁"
        pieces = set(alphabet)
        while len(pieces) < 120:
            pieces.add("".join(rng.choice(alphabet) for _ in range(rng.randint(2, 6))))
        tokens = sorted(pieces)
        rng.shuffle(tokens)
        scores = [-float(i) for i in range(len(tokens))]
        merges = quorvane.merges_from_scores(tokens, scores, [1] * len(tokens))
        bpe = tokenizers.Tokenizer(tokenizers.models.BPE({t: i for i, t in enumerate(tokens)}, merges))
        by_text = dict(zip(tokens, scores))
        for _ in range(300):
            word = "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 14)))
            assert bpe.encode(word).tokens == spm_encode(word, by_text), word

    @pytest.mark.slow
    def test_gemma3_gives_the_corpus_merges_but_those_of_user_defined_pieces(
        self, gguf_models: dict[str, str]
    ) -> None:
        import json
        import lzma

        info = quorvane.read_gguf(gguf_models["gemma3"])
        values = {key: value for key, _, value, _, _ in info["metadata"]}
        tokens = values["tokenizer.ggml.tokens"][1]
        types = values["tokenizer.ggml.token_type"][1]
        merges = quorvane.merges_from_scores(tokens, values["tokenizer.ggml.scores"][1], types)
        corpus = Path(__file__).resolve().parents[4] / "shared" / "corpus" / "gemma3.json.xz"
        with lzma.open(corpus, "rt", encoding="utf-8") as f:
            theirs = [tuple(m) for m in json.load(f)["model"]["merges"]]
        ours = set(merges)
        # The corpus also merges the user-defined runs of spaces, tabs and
        # newlines (added tokens in the GGUF); everything else is the same list.
        user_defined = {t.replace(" ", "▁") for t, ty in zip(tokens, types) if ty == 4}
        extra = [m for m in theirs if m not in ours]
        assert all(m[0] + m[1] in user_defined for m in extra)
        assert [m for m in theirs if m in ours] == merges
