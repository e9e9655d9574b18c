"""add_tokens_keep_size and sync_single_chars from Python: the dictionaries,
argument handling, the progress text on standard error, and the real
tokenizers loading what the two edits leave behind."""

import json
import random
import re

import pytest

import quorvane
from quorvane import Quorvane

KEEP_SIZE_KEYS = ["initial_vocab_size", "final_vocab_size", "tokens_requested", "tokens_added", "tokens_removed"]
SYNC_KEYS = ["initial_vocab_size", "final_vocab_size", "chars_in_source", "chars_already_present",
             "chars_added_count", "total_tokens_removed", "total_merges_removed"]


@pytest.fixture
def long_tokens(make_editor):
    """a b c at 0-2, four long tokens at 3-6, 'cc' at 8 (id 7 is free)."""
    return make_editor({"a": 0, "b": 1, "c": 2, "ab": 3, "abc": 4, "bca": 5, "abca": 6, "cc": 8},
                       [("a", "b"), ("ab", "c"), ("abc", "a")])


class TestAddTokensKeepSize:
    def test_dictionary(self, long_tokens):
        result = long_tokens.add_tokens_keep_size(["x", "x", "a"])
        assert list(result) == KEEP_SIZE_KEYS
        assert result == {"initial_vocab_size": 8, "final_vocab_size": 8, "tokens_requested": 3,
                          "tokens_added": 1, "tokens_removed": 1}
        assert not long_tokens.has_token("abca")  # the longest went

    @pytest.mark.parametrize("call", [
        lambda e: e.add_tokens_keep_size(["xyzw", "q"]),
        lambda e: e.add_tokens_keep_size(["xyzw", "q"], None),
        lambda e: e.add_tokens_keep_size(tokens=("xyzw", "q"), whitelist=None),
    ])
    def test_none_is_no_whitelist(self, long_tokens, make_editor, call):
        expected = make_editor(json.loads(long_tokens.to_json())["model"]["vocab"],
                               long_tokens.get_merges())
        assert call(long_tokens) == expected.add_tokens_keep_size(["xyzw", "q"], [])
        assert long_tokens.get_vocab() == expected.get_vocab()

    @pytest.mark.parametrize("args, message", [
        ((["x", 1],), "argument 'tokens': 'int' object cannot be converted to 'PyString'"),
        (("xy",), "argument 'tokens': Can't extract `str` to `Vec`"),
        ((["x"], "ab"), "argument 'whitelist': Can't extract `str` to `Vec`"),
        ((["x"], ["ab", b"c"]), "argument 'whitelist': 'bytes' object cannot be converted to 'PyString'"),
    ])
    def test_refused_arguments_change_nothing(self, long_tokens, args, message):
        before = long_tokens.to_json()
        with pytest.raises(TypeError) as raised:
            long_tokens.add_tokens_keep_size(*args)
        assert str(raised.value) == message
        assert long_tokens.to_json() == before


# Progress text with the times masked: the real clock runs here.
def masked(text):
    return re.sub(r"\d+\.\d+s", "<t>s", text)


class TestSyncSingleChars:
    def test_dictionary_and_progress_text(self, long_tokens, write_doc, make_editor, capfd):
        source = write_doc({"version": "1.0", "added_tokens": [],
                            "model": {"type": "BPE", "vocab": {"a": 0, "é": 1, "x": 2, "xé": 3}, "merges": []}})
        capfd.readouterr()
        result = long_tokens.sync_single_chars(source)
        out, err = capfd.readouterr()
        assert out == ""
        assert masked(err) == (
            "\n   Pre-computing 2 tokens to remove...\n"
            "   Found 2 candidate tokens for removal\n"
            "\n   Phase 1: Removing 2 tokens...\n"
            "\r   [100.0%] 2/2 removed | Elapsed: <t>s | ETA: <t>s    \n"
            "\n   Phase 2: Adding 2 single-char tokens...\n"
            "   Added 2 tokens in <t>s\n"
            "\n   Phase 3: Reindexing vocabulary to remove ID gaps...\n"
            "   Reindexed 3 IDs, removed 3 gaps\n")
        assert re.search(r"Added 2 tokens in \d\.\d\ds\n", err)
        assert list(result) == SYNC_KEYS
        assert result == {"initial_vocab_size": 8, "final_vocab_size": 8, "chars_in_source": 3,
                          "chars_already_present": 1, "chars_added_count": 2,
                          "total_tokens_removed": 2, "total_merges_removed": 1}
        assert long_tokens.check_vocab_gaps() == (False, 0, 0, 7)
        assert (long_tokens.get_token_id("x"), long_tokens.get_token_id("é")) == (6, 7)

    def test_nothing_missing_writes_and_changes_nothing(self, long_tokens, write_doc, capfd):
        source = write_doc({"version": "1.0", "added_tokens": [],
                            "model": {"type": "BPE", "vocab": {"c": 5, "a": 9}, "merges": []}})
        before = long_tokens.to_json()
        capfd.readouterr()
        result = long_tokens.sync_single_chars(source_path=source, min_id=3)
        assert capfd.readouterr() == ("", "")
        assert long_tokens.to_json() == before  # the gap at 7 stays
        assert result["chars_added_count"] == 0
        assert result["initial_vocab_size"] == result["final_vocab_size"] == 8

    @pytest.mark.parametrize("doc, reason", [
        (None, "Failed to read: {path}"),
        ("{not json", "Failed to parse tokenizer.json"),
        ({"version": "1.0", "added_tokens": [], "model": {"type": "WordPiece", "vocab": {"a": 0}, "merges": []}},
         "Only BPE tokenizers are supported"),
    ])
    def test_source_load_failure(self, long_tokens, write_doc, tmp_path, capfd, doc, reason):
        path = str(tmp_path / "missing.json") if doc is None else write_doc(doc)
        before = long_tokens.to_json()
        capfd.readouterr()
        with pytest.raises(IOError) as raised:
            long_tokens.sync_single_chars(path)
        assert type(raised.value) is OSError
        assert str(raised.value) == "Failed to load source tokenizer: " + reason.format(path=path)
        assert long_tokens.to_json() == before
        assert capfd.readouterr().err == ""

    @pytest.mark.parametrize("args, error, message", [
        ((5,), TypeError, "argument 'source_path': 'int' object cannot be converted to 'PyString'"),
        (("p", 2**32), OverflowError, "out of range integral type conversion attempted"),
    ])
    def test_arguments(self, long_tokens, args, error, message):
        with pytest.raises(error) as raised:
            long_tokens.sync_single_chars(*args)
        assert str(raised.value) == message


@pytest.mark.filterwarnings("ignore")
class TestRealClient:
    tokenizers = pytest.importorskip("tokenizers")

    CJK = "日本語のテキストと中文混合，还有한국어 문장도 있습니다. 龘齉爨鱻麤 ㄅㄆㄇ"

    @staticmethod
    def byte_fallbacks(encoding):
        return sum(1 for t in encoding.tokens if re.fullmatch(r"<0x[0-9A-F]{2}>", t))

    def test_sync_gemma3_characters_into_llama2(self, corpus, tmp_path, capfd):
        editor = Quorvane(corpus["llama2"])
        kept = [editor.get_token_by_id(i) for i in range(259)]
        result = editor.sync_single_chars(corpus["gemma3"], min_id=259)
        err = capfd.readouterr().err
        assert err.startswith(f"\n   Pre-computing {result['chars_added_count']} tokens to remove...\n")
        assert "\r   [100.0%]" in err
        assert result["chars_added_count"] > 1000
        assert result["chars_in_source"] == result["chars_already_present"] + result["chars_added_count"]
        assert result["final_vocab_size"] == editor.vocab_size
        assert editor.check_vocab_gaps()[:2] == (False, 0)
        assert [editor.get_token_by_id(i) for i in range(259)] == kept  # <unk>, <s>, </s>, bytes
        print(f"\nllama2 <- gemma3: {result}")

        editor.remove_invalid_merges()
        out = tmp_path / "synced.json"
        editor.save(str(out))
        before = self.tokenizers.Tokenizer.from_file(corpus["llama2"])
        after = self.tokenizers.Tokenizer.from_file(str(out))
        old = before.encode(self.CJK, add_special_tokens=False)
        new = after.encode(self.CJK, add_special_tokens=False)
        print(f"byte-fallback tokens: {self.byte_fallbacks(old)} before, {self.byte_fallbacks(new)} after")
        assert self.byte_fallbacks(new) < self.byte_fallbacks(old)
        assert after.decode(new.ids) == self.CJK

    @staticmethod
    def one_entry_words(vocab, count, seed):
        """New "Ġ" words of two pieces already in the vocabulary, such that the
        longest prefix in the vocabulary leaves a suffix that is in it too:
        adding one inserts exactly one entry."""
        starts = sorted(t for t in vocab if t.startswith("\u0120") and t[1:].isalpha() and 3 <= len(t) <= 6)
        ends = sorted(t for t in vocab if t.isalpha() and t.islower() and 2 <= len(t) <= 5)
        rng = random.Random(seed)
        words = set()
        while len(words) < count:
            word = rng.choice(starts) + rng.choice(ends)
            if word in vocab or word in words:
                continue
            prefix = next(word[:k] for k in range(len(word) - 1, 0, -1) if word[:k] in vocab)
            if word[len(prefix):] in vocab:
                words.add(word)
        return sorted(words)

    def test_keep_size_on_llama3(self, corpus, tmp_path):
        from test_corpus import SAMPLE

        editor = Quorvane(corpus["llama3"])
        words = self.one_entry_words(editor.get_vocab(), 1000, seed=11)
        # Each word brings one entry and takes one victim; the whitelist keeps
        # the new words from being victims of later elements.
        result = editor.add_tokens_keep_size(words, whitelist=words)
        assert result["tokens_added"] == result["tokens_removed"] == 1000
        assert result["final_vocab_size"] == result["initial_vocab_size"] == 128_000
        assert all(editor.has_token(w) for w in words)

        # Cascades leave the other producers of removed tokens behind.
        editor.remove_invalid_merges()

        out = tmp_path / "kept.json"
        editor.save(str(out))
        client = self.tokenizers.Tokenizer.from_file(str(out))
        assert client.get_vocab_size(with_added_tokens=False) == 128_000
        encoding = client.encode(SAMPLE, add_special_tokens=False)
        assert client.decode(encoding.ids) == SAMPLE
