"""Adding, removing, shrinking and reindexing from Python, on small documents
whose every id and merge the assertions spell out, and on the real tokenizers
with the `tokenizers` package as the judge of what we write."""

import random

import pytest

import quorvane

from test_corpus import SAMPLE


class TestAddition:
    def test_the_three_strategies(self, make_editor):
        editor = make_editor(["h", "e", "l", "o", "he", "hel"])
        r = editor.add_token("hello")
        assert (r.token, r.added, r.method) == ("hello", True, "longest_prefix")
        assert r.added_merges == [("l", "o"), ("hel", "lo")]
        assert editor.get_token_id("lo") == 6 and editor.get_token_id("hello") == 7

        r = editor.add_token("é")
        assert (r.method, r.added_merges) == ("single_char", [])
        r = editor.add_token("xyz")
        assert r.method == "char_chain"
        assert r.added_merges == [("x", "y"), ("xy", "z")]
        assert [editor.get_token_id(t) for t in ("x", "y", "xy", "z", "xyz")] == [9, 10, 11, 12, 13]

    def test_existing_pair_is_not_appended_again(self, make_editor):
        editor = make_editor(["a", "b"], [("a", "b")])
        r = editor.add_token("ab")
        assert (r.method, r.added_merges) == ("longest_prefix", [])
        assert editor.get_merges() == [("a", "b")]

    def test_empty_token_and_duplicates_in_one_call(self, make_editor):
        editor = make_editor(["a"])
        records = editor.add_tokens(["ab", "ab", ""])
        assert [(r.added, r.method) for r in records] == [
            (True, "longest_prefix"), (False, "already_exists"), (True, "char_chain")]
        assert editor.has_token("")

    def test_atomic_addition_adds_no_merges(self, make_editor):
        editor = make_editor(["a"])
        assert editor.add_token_atomic("<pad>") is True
        assert editor.add_token_atomic("<pad>") is False
        assert editor.merges_count == 0

    def test_new_ids_skip_added_token_ids_and_never_reuse_freed_ones(self, make_editor):
        editor = make_editor({"a": 0, "b": 1, "c": 9}, added_tokens=[{"id": 10, "content": "<x>"}])
        editor.remove_token("c")
        assert editor.add_token("q").token == "q"
        assert editor.get_token_id("q") == 11

    def test_a_bad_list_adds_nothing(self, make_editor):
        editor = make_editor(["a"])
        with pytest.raises(TypeError, match="argument 'tokens': Can't extract `str` to `Vec`"):
            editor.add_tokens("abc")
        with pytest.raises(TypeError):
            editor.add_tokens(["b", 1])
        assert editor.vocab_size == 1


class TestRemoval:
    def test_cascade_closure(self, make_editor):
        editor = make_editor(["a", "b", "c", "ab", "abc", "bc"], [("a", "b"), ("ab", "c"), ("b", "c")])
        r = editor.remove_token("ab")
        assert r.root_token == "ab"
        assert sorted(r.removed_tokens) == ["ab", "abc"]
        assert sorted(r.removed_merges) == [("a", "b"), ("ab", "c")]
        assert editor.get_merges() == [("b", "c")]
        assert sorted(editor.get_vocab()) == ["a", "b", "bc", "c"]

    def test_only_the_first_producer_goes(self, make_editor):
        editor = make_editor(["x", "y", "z", "yz", "xy", "xyz"], [("x", "yz"), ("xy", "z")])
        editor.remove_token("xyz")
        assert editor.get_merges() == [("xy", "z")]
        # The survivor now yields a token that is gone: reported, then dropped.
        assert editor.validate_merges().invalid_merges == [(0, "xy", "z")]
        assert editor.remove_invalid_merges() == 1

    def test_absent_root_still_cascades(self, make_editor):
        editor = make_editor(["a", "ab"], [("a", "b")])
        r = editor.remove_token("b")
        assert sorted(r.removed_tokens) == ["ab", "b"]
        assert editor.get_merges() == [] and editor.get_vocab() == {"a": 0}

    def test_remove_tokens_skips_what_is_gone(self, make_editor):
        editor = make_editor(["a", "b", "ab", "c"], [("a", "b")])
        records = editor.remove_tokens(["a", "ab", "zz", "c", "c"])
        assert [r.root_token for r in records] == ["a", "c"]
        assert editor.remove_tokens([]) == []


class TestShrink:
    def test_selection_order_and_filters(self, make_editor):
        editor = make_editor({"ab": 10, "cd": 20, "abcd": 5, "日本語": 30, "<abc>": 40, "[x]": 41,
                              "<ab": 42, "x": 50, "ef": 19})
        assert editor.find_tokens_to_shrink(10) == [
            ("abcd", 5, 4), ("<ab", 42, 3), ("日本語", 30, 3), ("cd", 20, 2), ("ef", 19, 2), ("ab", 10, 2)]
        assert [t for t, _, _ in editor.find_tokens_to_shrink(10, min_id=20)] == ["<ab", "日本語", "cd"]
        assert editor.find_tokens_to_shrink(0) == []

    def test_shrink_counts(self, make_editor):
        # 'abcd' goes with its producer (abc, d); 'abc' then with (ab, c).
        editor = make_editor({"a": 0, "b": 1, "c": 2, "d": 3, "ab": 4, "abc": 9, "abcd": 5, "xyz": 8},
                             [("a", "b"), ("ab", "c"), ("abc", "d")])
        preview = [t for t, _, _ in editor.find_tokens_to_shrink(3)]
        assert preview == ["abcd", "abc", "xyz"]
        r = editor.shrink(3)
        assert (r.initial_vocab_size, r.final_vocab_size) == (8, 5)
        assert (r.initial_merges_count, r.final_merges_count) == (3, 1)
        assert (r.tokens_removed_count, r.total_tokens_removed, r.total_merges_removed) == (3, 3, 2)

    def test_arguments(self, make_editor):
        editor = make_editor(["ab"])
        assert editor.shrink(count=5).tokens_removed_count == 1
        assert editor.shrink(5, min_id=100).tokens_removed_count == 0
        with pytest.raises(TypeError, match=r"Quorvane.shrink\(\) missing 1 required positional argument: 'count'"):
            editor.shrink()
        with pytest.raises(OverflowError):
            editor.shrink(-1)


class TestReindex:
    @pytest.mark.parametrize(
        "vocab, gaps, remapped, after",
        [
            ({"a": 0, "b": 1, "c": 2}, (False, 0, 0, 2), 0, {"a": 0, "b": 1, "c": 2}),
            ({"a": 0, "b": 1, "c": 5}, (True, 3, 0, 5), 1, {"a": 0, "b": 1, "c": 2}),
            ({"a": 3, "b": 4, "c": 5}, (True, 3, 3, 5), 3, {"a": 0, "b": 1, "c": 2}),
            ({"a": 0, "x": 2, "y": 2}, (False, 0, 0, 2), 2, {"a": 0, "x": 1, "y": 2}),
            ({"z": 0, "a": 7}, (True, 6, 0, 7), 1, {"z": 0, "a": 1}),
            ({}, (False, 0, 0, 0), 0, {}),
        ],
    )
    def test_gaps_and_reindex(self, make_editor, vocab, gaps, remapped, after):
        editor = make_editor(vocab)
        assert editor.check_vocab_gaps() == gaps
        r = editor.reindex_vocab()
        assert r.ids_remapped == remapped
        assert r.gaps_removed == (gaps[1] if remapped else 0)
        assert editor.get_vocab() == after
        assert editor.reindex_vocab().ids_remapped == 0

    def test_added_token_ids_still_count_as_taken(self, make_editor):
        editor = make_editor({f"t{i}": i * 2 for i in range(10)}, added_tokens=[{"id": 100, "content": "<x>"}])
        editor.reindex_vocab()
        assert sorted(editor.get_vocab().values()) == list(range(10))
        editor.add_token_atomic("new")
        assert editor.get_token_id("new") == 101


def words_for(editor, count, seed):
    """New words in the file's own representation."""
    byte_level = editor.has_token("\u0120the")
    space = "\u0120" if byte_level else "\u2581"
    rng = random.Random(seed)
    words = set()
    while len(words) < count:
        word = space + "".join(rng.choice("bcdfghjklmnpqrstvwxz") for _ in range(rng.randint(5, 9)))
        if not editor.has_token(word):
            words.add(word)
    return sorted(words)


@pytest.mark.parametrize("name", ["llama3", "llama2", "gemma3"])
def test_real_client_after_additions(corpus, tmp_path, name):
    editor = quorvane.Quorvane(corpus[name])
    records = editor.add_tokens(words_for(editor, 300, seed=1))
    assert all(r.added for r in records)
    out = tmp_path / "added.json"
    editor.save(str(out))
    client = tokenizers.Tokenizer.from_file(str(out))
    for r in records:
        assert client.token_to_id(r.token) == editor.get_token_id(r.token)
    original = tokenizers.Tokenizer.from_file(corpus[name])
    expected = original.decode(original.encode(SAMPLE).ids)
    assert client.decode(client.encode(SAMPLE).ids) == expected


@pytest.mark.parametrize("name", ["llama2", "qwen3", "llama3", "gemma3"])
def test_real_client_after_removals(corpus, tmp_path, name):
    editor = quorvane.Quorvane(corpus[name])
    editor.shrink(2_000)
    long_tokens = [t for t, _, _ in editor.find_tokens_to_shrink(5_000)][::3]
    removed = set()
    for r in editor.remove_tokens(long_tokens):
        removed.update(r.removed_tokens)
    # A removed token can still be the product of a later merge; the real
    # client refuses such a file until those leftovers are dropped.
    leftovers = editor.validate_merges().invalid_count
    assert editor.remove_invalid_merges() == leftovers
    assert editor.validate_merges().invalid_count == 0
    out = tmp_path / "removed.json"
    editor.save(str(out))
    client = tokenizers.Tokenizer.from_file(str(out))
    encoding = client.encode(SAMPLE)
    assert not removed.intersection(encoding.tokens)
    original = tokenizers.Tokenizer.from_file(corpus[name])
    assert client.decode(encoding.ids) == original.decode(original.encode(SAMPLE).ids)


tokenizers = pytest.importorskip("tokenizers")


def test_reindex_keeps_added_tokens_on_their_tokens(corpus, tmp_path):
    # gemma3 lists thousands of vocabulary tokens in added_tokens; closing the
    # gaps a shrink leaves moves them, and their entries must move along.
    import json

    editor = quorvane.Quorvane(corpus["gemma3"])
    editor.shrink(1_000)
    editor.remove_invalid_merges()
    assert editor.reindex_vocab().ids_remapped > 0
    doc = json.loads(editor.to_json())
    vocab = doc["model"]["vocab"]
    in_vocab = [e for e in doc["added_tokens"] if e["content"] in vocab]
    assert len(in_vocab) > 6_000
    assert all(e["id"] == vocab[e["content"]] for e in in_vocab)
    out = tmp_path / "reindexed.json"
    editor.save(str(out))
    client = tokenizers.Tokenizer.from_file(str(out))
    for e in in_vocab[:: len(in_vocab) // 50]:
        assert client.token_to_id(e["content"]) == e["id"]
        assert client.id_to_token(e["id"]) == e["content"]
