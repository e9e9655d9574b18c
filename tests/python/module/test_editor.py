"""Creating editors, the exceptions of failed operations, queries and their
result objects, and writing (smoke checks only)."""

import copy
import json
import os
import pickle
import subprocess
import sys

import pytest

import quorvane
from quorvane import Quorvane

from conftest import tokenizer_doc


class TestCreation:
    def test_from_file_and_from_json_agree(self, write_doc):
        doc = tokenizer_doc(["a", "b", "ab"], [("a", "b")])
        by_path = Quorvane(write_doc(doc))
        by_text = Quorvane.from_json(json.dumps(doc))
        assert type(by_path) is type(by_text) is Quorvane
        assert by_path.get_vocab() == by_text.get_vocab() == {"a": 0, "ab": 2, "b": 1}

    def test_missing_file(self, tmp_path):
        path = str(tmp_path / "nope.json")
        with pytest.raises(IOError) as raised:
            Quorvane(path)
        assert str(raised.value) == f"Failed to load tokenizer: Failed to read: {path}"

    @pytest.mark.parametrize(
        "text, message",
        [
            ("{", None),
            (json.dumps(tokenizer_doc(["a"], model_type="WordPiece")), "Only BPE tokenizers are supported"),
            (json.dumps(tokenizer_doc(["a"], model_type="bpe")), "Only BPE tokenizers are supported"),
        ],
        ids=["malformed", "wordpiece", "lowercase"],
    )
    def test_refused_documents(self, write_doc, text, message):
        with pytest.raises(ValueError) as from_text:
            Quorvane.from_json(text)
        with pytest.raises(IOError) as from_file:
            Quorvane(write_doc(text))
        if message:
            assert str(from_text.value) == message
            assert str(from_file.value) == f"Failed to load tokenizer: {message}"
        else:
            assert str(from_text.value).startswith("Failed to parse JSON: ")
            assert " at line 1 column " in str(from_text.value)
            assert str(from_file.value) == "Failed to load tokenizer: Failed to parse tokenizer.json"

    def test_non_ascii_path_in_message(self, tmp_path):
        path = str(tmp_path / "tökenizer €.json")
        with pytest.raises(OSError, match=f"^Failed to load tokenizer: Failed to read: {path}$"):
            Quorvane(path)


class TestQueries:
    def test_lookups(self, small_editor):
        assert small_editor.has_token("é") and not small_editor.has_token("x")
        assert small_editor.get_token_id("<s>") == 4
        assert small_editor.get_token_id("A") is None
        assert small_editor.get_token_by_id(3) == "é"
        assert small_editor.get_token_by_id(5) is None

    def test_shared_id_answers_first_in_byte_order(self, make_editor):
        editor = make_editor({"zz": 7, "b": 7, "c": 1})
        assert editor.get_token_by_id(7) == "b"

    def test_listings_are_ordered(self, make_editor):
        editor = make_editor({"b": 0, "a": 1, "ab": 2, "é": 3, "": 4}, [("b", "a"), ("a", "b")])
        assert list(editor.get_vocab().items()) == [("", 4), ("a", 1), ("ab", 2), ("b", 0), ("é", 3)]
        assert editor.get_merges() == [("b", "a"), ("a", "b")]
        assert editor.get_single_char_tokens() == [("a", 1), ("b", 0), ("é", 3)]

    def test_added_tokens_are_not_vocabulary(self, make_editor):
        editor = make_editor(["a"], added_tokens=[{"id": 9, "content": "<pad>", "special": True}])
        assert not editor.has_token("<pad>")
        assert editor.get_token_by_id(9) is None
        assert editor.vocab_size == 1

    def test_sizes_repr_str(self, small_editor):
        assert (small_editor.vocab_size, small_editor.merges_count) == (5, 2)
        assert repr(small_editor) == str(small_editor) == "Quorvane(vocab_size=5, merges_count=2)"


class TestStats:
    def test_small(self, make_editor):
        editor = make_editor({"<s>": 3, "[UNK]": 9, "a": 4, "é": 5, "ab": 6, "<a": 7, "[": 8}, [("a", "b")])
        stats = editor.get_stats()
        assert isinstance(stats, quorvane.TokenizerStats)
        assert (stats.vocab_size, stats.merges_count) == (7, 1)
        assert (stats.single_char_count, stats.special_token_count) == (3, 2)
        assert (stats.min_token_id, stats.max_token_id) == (3, 9)
        assert stats.length_distribution == [(1, 3), (2, 2), (3, 1), (5, 1)]

    def test_empty_vocabulary(self, make_editor):
        stats = make_editor({}).get_stats()
        assert (stats.vocab_size, stats.min_token_id, stats.max_token_id) == (0, 0, 0)
        assert stats.length_distribution == []

    def test_u32_ids(self, make_editor):
        stats = make_editor({"a": 2**32 - 1}).get_stats()
        assert stats.min_token_id == stats.max_token_id == 2**32 - 1


class TestValidation:
    @pytest.fixture
    def editor(self, make_editor):
        # Positions 2 and 5 are invalid; position 4's left input 'x' is absent
        # but its product exists, which counts as valid.
        return make_editor(
            ["a", "b", "ab", "c", "abc", "bc", "y", "xy"],
            [("a", "b"), ("ab", "c"), ("c", "c"), ("b", "c"), ("x", "y"), ("b", "a")],
        )

    def test_report(self, editor):
        report = editor.validate_merges()
        assert (report.valid_count, report.invalid_count) == (4, 2)
        assert report.invalid_merges == [(2, "c", "c"), (5, "b", "a")]

    def test_remove_invalid(self, editor):
        assert editor.remove_invalid_merges() == 2
        assert editor.get_merges() == [("a", "b"), ("ab", "c"), ("b", "c"), ("x", "y")]
        assert editor.remove_invalid_merges() == 0
        assert editor.validate_merges().invalid_merges == []


class TestResultObjects:
    def test_fields_are_read_only(self, small_editor):
        stats = small_editor.get_stats()
        with pytest.raises(AttributeError):
            stats.vocab_size = 0
        with pytest.raises(AttributeError):
            del stats.vocab_size
        with pytest.raises(AttributeError):
            stats.extra = 1
        assert stats.vocab_size == 5

    def test_lists_are_fresh_on_every_read(self, small_editor):
        report = small_editor.validate_merges()
        first = report.invalid_merges
        first.append("x")
        assert report.invalid_merges == [(1, "x", "y")]
        assert report.invalid_merges is not report.invalid_merges

    def test_results_outlive_edits_and_editor(self, make_editor):
        editor = make_editor(["a", "b"], [("a", "b")])
        report = editor.validate_merges()
        editor.remove_invalid_merges()
        del editor
        assert report.invalid_merges == [(0, "a", "b")]


class TestWriting:
    def test_save_and_reload(self, small_editor, tmp_path):
        path = str(tmp_path / "out.json")
        assert small_editor.save(path) is None
        again = Quorvane(path)
        assert again.get_vocab() == small_editor.get_vocab()
        assert again.get_merges() == small_editor.get_merges()

    def test_to_json_smoke(self, small_editor):
        text = small_editor.to_json()
        assert text.startswith('{\n  "version": "1.0",')
        assert Quorvane.from_json(text).get_merges() == small_editor.get_merges()

    def test_save_failure(self, small_editor, tmp_path):
        path = str(tmp_path / "missing" / "out.json")
        with pytest.raises(IOError) as raised:
            small_editor.save(path)
        assert str(raised.value) == f"Failed to save tokenizer: Failed to write: {path}"
        assert not os.path.exists(path)

    def test_real_client_reads_saved_file(self, make_editor, tmp_path):
        tokenizers = pytest.importorskip("tokenizers")
        editor = make_editor(["a", "b", "ab", "é"], [("a", "b")])
        path = str(tmp_path / "out.json")
        editor.save(path)
        loaded = tokenizers.Tokenizer.from_file(path)
        assert loaded.get_vocab() == editor.get_vocab()
        assert loaded.encode("abé").tokens == ["ab", "é"]


class TestPickling:
    """An editor pickles as its JSON text, to be rebuilt where it lands (a
    cluster's worker)."""

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_an_edited_editor_comes_back_whole(self, small_editor, protocol):
        small_editor.add_token("abé")
        small_editor.remove_token("b")
        again = pickle.loads(pickle.dumps(small_editor, protocol))
        assert type(again) is Quorvane and again is not small_editor
        assert again.to_json() == small_editor.to_json()
        again.add_token("éé")  # its own, not the original's
        assert not small_editor.has_token("éé")

    def test_in_a_fresh_interpreter(self, make_editor):
        editor = make_editor(["a", "b", "ab", "é"], [("a", "b")], added_tokens=[
            {"id": 4, "content": "<s>", "single_word": False, "lstrip": False, "rstrip": False,
             "normalized": False, "special": True}])
        code = ("import pickle, sys; e = pickle.loads(sys.stdin.buffer.read()); "
                "sys.stdout.write(e.to_json())")
        done = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(editor),
                              capture_output=True, check=True)
        assert done.stdout.decode() == editor.to_json()

    def test_deepcopy_needs_no_json(self, small_editor, monkeypatch):
        monkeypatch.setattr(Quorvane, "from_json", None)  # pickling cannot work without it
        assert copy.deepcopy(small_editor).to_json() == small_editor.to_json()
        with pytest.raises(pickle.PicklingError):
            pickle.dumps(small_editor)


class TestCorpus:
    """Whole-vocabulary conversions on real files (counts and round trips are
    in test_corpus.py)."""

    @pytest.mark.parametrize("name", ["llama2", "qwen3"])
    def test_listings_match_the_file(self, corpus, name):
        editor = Quorvane(corpus[name])
        with open(corpus[name], encoding="utf-8") as f:
            model = json.load(f)["model"]
        vocab = editor.get_vocab()
        assert vocab == model["vocab"]
        assert list(vocab) == sorted(model["vocab"], key=lambda t: t.encode())
        assert editor.get_merges() == [tuple(m) for m in model["merges"]]
        singles = editor.get_single_char_tokens()
        assert singles == [(t, i) for t, i in vocab.items() if len(t) == 1]
        assert editor.get_stats().single_char_count == len(singles)
        assert pickle.loads(pickle.dumps(editor)).to_json() == editor.to_json()


class TestIndexOnFirstUse:
    """Opening leaves the vocabulary index to whichever use needs it first."""

    def test_edits_before_any_lookup(self, write_doc):
        # "a" is given twice: the later id holds, and the earlier one is free.
        path = write_doc('{"version":"1.0","added_tokens":[],"model":{"type":"BPE",'
                         '"vocab":{"a":0,"b":1,"ab":2,"c":3,"a":4},"merges":[["a","b"]]}}')
        looked_up = Quorvane(path)
        assert looked_up.get_vocab() == {"a": 4, "ab": 2, "b": 1, "c": 3}
        results = []
        for editor in (Quorvane(path), looked_up):
            added = editor.add_token("d")
            removed = editor.remove_token("b")
            results.append((added.added, removed.removed_merges, editor.get_vocab(), editor.to_json()))
        assert results[0] == results[1]
        assert results[0][:3] == (True, [("a", "b")], {"a": 4, "c": 3, "d": 5})

    def test_threads_that_need_it_at_once(self, corpus):
        # Two encoder builds without the interpreter lock, and lookups and a
        # copy on this thread meanwhile, all wanting the index first.
        import threading

        reference = Quorvane(corpus["qwen3"])
        vocab = reference.get_vocab()
        sample = list(vocab)[::97]
        editor = Quorvane(corpus["qwen3"])
        start = threading.Barrier(3)

        def build():
            start.wait()
            editor.prepare_encoder()

        builders = [threading.Thread(target=build) for _ in range(2)]
        for builder in builders:
            builder.start()
        start.wait()
        copy = editor.copy()
        ids = [editor.get_token_id(token) for token in sample]
        for builder in builders:
            builder.join()
        assert ids == [vocab[token] for token in sample]
        assert copy.get_vocab() == vocab and editor.get_vocab() == vocab
        assert editor.tokenize_batch(sample) == reference.tokenize_batch(sample)
