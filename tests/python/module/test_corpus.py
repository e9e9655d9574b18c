"""The real tokenizers of ../shared/corpus: counts, byte-identical round trips,
and the Hugging Face `tokenizers` package loading what we write and encoding a
multilingual sample exactly as it does from the original file."""

import json

import pytest

import quorvane

tokenizers = pytest.importorskip("tokenizers")

# name -> (vocab size, merges, added tokens)
COUNTS = {
    "llama2": (32_000, 58_980, 3),
    "qwen3": (151_643, 151_387, 26),
    "llama3": (128_000, 280_147, 256),
    "gemma3": (262_144, 514_906, 6_415),
}

SAMPLE = (
    "The quick brown fox jumps over the lazy dog. Ça coûte 12,50 € — naïve café!\n"
    "日本語のテキストと中文混合，还有한국어 문장도 있습니다.\n"
    "Emoji: 🤖🚀👍🏽 and flags 🇩🇪.\n"
    "def add(a, b):\n\treturn a + b  # tabs\tand    spaces\n\n\n"
    "    indented   runs      of whitespace   \r\n"
)


@pytest.fixture(scope="module", params=sorted(COUNTS))
def opened(request, corpus):
    name = request.param
    return name, corpus[name], quorvane.Quorvane(corpus[name])


class TestCorpusFiles:
    def test_counts_and_no_invalid_merges(self, opened):
        name, path, editor = opened
        vocab_size, merges, added = COUNTS[name]
        assert editor.vocab_size == vocab_size
        assert editor.merges_count == merges
        assert len(json.loads(editor.to_json())["added_tokens"]) == added
        report = editor.validate_merges()
        assert (report.valid_count, report.invalid_count) == (merges, 0)

    def test_save_and_to_json_round_trips_are_byte_identical(self, opened, tmp_path):
        _, _, editor = opened
        first = tmp_path / "first.json"
        second = tmp_path / "second.json"
        editor.save(str(first))
        quorvane.Quorvane(str(first)).save(str(second))
        assert first.read_bytes() == second.read_bytes()
        text = editor.to_json()
        assert quorvane.Quorvane.from_json(text).to_json() == text

    def test_output_means_what_the_original_means(self, opened):
        _, path, editor = opened
        with open(path, encoding="utf-8") as f:
            original = json.load(f)
        ours = json.loads(editor.to_json())
        assert ours["model"]["vocab"] == original["model"]["vocab"]
        assert ours["model"]["merges"] == original["model"]["merges"]
        assert ours["added_tokens"] == original["added_tokens"]
        for section in ("normalizer", "pre_tokenizer", "post_processor", "decoder"):
            assert ours[section] == original.get(section)


class TestRealClient:
    def test_loads_our_output_and_encodes_identically(self, opened, tmp_path):
        _, path, editor = opened
        reference = tokenizers.Tokenizer.from_file(path)
        expected = reference.encode(SAMPLE).ids
        saved = tmp_path / "saved.json"
        editor.save(str(saved))
        assert tokenizers.Tokenizer.from_file(str(saved)).encode(SAMPLE).ids == expected
        assert tokenizers.Tokenizer.from_str(editor.to_json()).encode(SAMPLE).ids == expected
