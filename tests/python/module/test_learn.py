"""Learning from text: extend_vocabulary and prune_leaves on small generated
tokenizers (hypothesis) and on the real ones of ../shared/corpus with the
running text of ../shared/text, the word counts they start from, and the
extend, prune and adapt commands end to end.

The `tokenizers` package is the judge throughout: it is built from what we
write (`to_json`, or the file a command saves), so every check on an edited
tokenizer also checks that it loads and encodes as we say."""

import collections
import gzip
import json
import lzma
import re
import shutil
import sys
from pathlib import Path

import pytest

import quorvane
from conftest import tokenizer_doc
from quorvane_cli.cli.errors import CliError
from quorvane_cli.text.reading import BLOCK_SIZE
from quorvane_cli.text.wordcount import Splitter, count_text, gather_counts, read_counts, write_counts
from test_cli import MARKER as MARKER_SAMPLE
from test_cli import SAMPLE, failure, run_json
from test_encoding import (BYTE_TOKEN, MARKER, NAMES, STRANGERS, TEXT_DIR, TEXTS, assert_same_pieces,
                           client_exemptions, client_of, client_pieces, client_unreachable, editor_of,
                           small_bpe, text_lines)  # noqa: F401 (text_lines is a fixture)
from test_merge import MARKER_NORMALIZER, added
from test_merge import doc as merge_doc

tokenizers = pytest.importorskip("tokenizers")
pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

LEARN = settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
ONLY_LEARNED = re.compile(r"^Only (\d+) new tokens can be learned from this text \((\d+) asked for\)$")
ONLY_PRUNED = re.compile(r"^Only (\d+) tokens can be pruned \((\d+) asked for\)$")
EVERYTHING = 2**40  # more than any tokenizer here can learn or lose


def most_learnable(editor, words, **options):
    """How many tokens extend_vocabulary can learn: what its refusal of too many says."""
    try:
        editor.extend_vocabulary(words, EVERYTHING, **options)
    except ValueError as exc:
        found = ONLY_LEARNED.match(str(exc))
        assert found and int(found.group(2)) == EVERYTHING, str(exc)
        return int(found.group(1))
    raise AssertionError("learned 2**40 tokens")


def most_prunable(editor, words=None, keep=None):
    try:
        editor.prune_leaves(EVERYTHING, words, keep)
    except ValueError as exc:
        found = ONLY_PRUNED.match(str(exc))
        assert found and int(found.group(2)) == EVERYTHING, str(exc)
        return int(found.group(1))
    raise AssertionError("pruned 2**40 tokens")


def tokenizable(editor, word):
    """Whether the model can encode `word` at all (not when the unknown token it needs is missing)."""
    try:
        editor.tokenize(word)
        return True
    except ValueError:
        return False


def replay(pieces, merges, prefix):
    """Continued training replayed on one word: `pieces` after each merge in turn
    has joined every occurrence of its pair, left to right; and per merge, how
    many adjacent positions held its pair just before (overlaps included, as
    pair counts count them)."""
    strip = len(prefix or "")
    pieces, seen = list(pieces), []
    for left, right in merges:
        seen.append(sum(pair == (left, right) for pair in zip(pieces, pieces[1:])))
        joined, i = [], 0
        while i < len(pieces):
            if i + 1 < len(pieces) and (pieces[i], pieces[i + 1]) == (left, right):
                joined.append(left + (right[strip:] if strip and right.startswith(prefix) else right))
                i += 2
            else:
                joined.append(pieces[i])
                i += 1
        pieces = joined
    return pieces, seen


def is_protected(doc, keep=()):
    """What prune_leaves must never take: single characters (also as the model
    spells them inside or at the end of a word, "##e" or "e</w>"), byte-fallback
    and special-shaped tokens, the unknown token, added tokens and the keep list."""
    model = doc["model"]
    prefix, suffix = model.get("continuing_subword_prefix") or "", model.get("end_of_word_suffix") or ""
    contents = {entry["content"] for entry in doc["added_tokens"]}

    def character(token):
        if prefix and token.startswith(prefix) and len(token) > len(prefix):
            token = token[len(prefix):]
        if suffix and token.endswith(suffix) and len(token) > len(suffix):
            token = token[:-len(suffix)]
        return len(token) == 1

    def protected(token):
        return (character(token) or token == model.get("unk_token") or token in contents or token in keep
                or (token[:1], token[-1:]) in {("<", ">"), ("[", "]")})

    return protected


@st.composite
def word_counts(draw, doc, alphabet):
    """Pre-tokenized words with counts: mostly over the characters the model can
    encode in every position, a few with characters it lacks, some counts 0."""
    editor = editor_of(doc)
    usable = "".join(c for c in alphabet if tokenizable(editor, c * 3)) or alphabet
    own = draw(st.dictionaries(st.text(usable, min_size=2, max_size=8), st.integers(1, 9),
                               min_size=1, max_size=12))
    odd = draw(st.dictionaries(st.text(alphabet + STRANGERS + "#", min_size=1, max_size=5),
                               st.integers(0, 3), max_size=3))
    return {**own, **odd}


def up_to(limit):
    """A count from 0 to `limit`, evenly (integers() would mostly give the ends)."""
    return st.sampled_from(range(limit + 1))


def unreachable_set(editor):
    return {token for token, _, _ in editor.unreachable_tokens()}


def ids_shared_with_added_tokens(client, lines):
    """Added tokens whose id the client also gives a model token, and the lines
    whose ids do not read back as their tokens."""
    model = {i: t for t, i in client.get_vocab(with_added_tokens=False).items()}
    shared = [t.content for i, t in client.get_added_tokens_decoder().items()
              if model.get(i, t.content) != t.content]
    encodings = client.encode_batch(lines, add_special_tokens=False)
    misread = [line for line, e in zip(lines, encodings) if [client.id_to_token(i) for i in e.ids] != e.tokens]
    return shared, misread




# ---------------------------------------------------- small generated models

class TestExtendSmall:
    @LEARN
    @given(small_bpe(), st.data())
    def test_continued_training(self, case, data):
        doc, alphabet = case
        words = data.draw(word_counts(doc, alphabet))
        options = {"max_token_length": data.draw(st.sampled_from([0, 2, 3])),
                   "min_frequency": data.draw(st.integers(0, 3))}
        as_pairs = data.draw(st.booleans())
        editor = editor_of(doc)
        prefix, suffix = doc["model"]["continuing_subword_prefix"], doc["model"]["end_of_word_suffix"]
        possible = most_learnable(editor, words, **options)
        count = data.draw(up_to(possible + 1))
        document = editor.to_json()
        vocab_before, merges_before = editor.get_vocab(), editor.get_merges()
        unreachable_before = unreachable_set(editor)
        usable = [w for w in words if tokenizable(editor, w)]
        pieces_before = editor.tokenize_batch(usable)

        argument = list(words.items()) if as_pairs else words
        if count > possible:
            with pytest.raises(ValueError, match=rf"^Only {possible} new tokens can be learned "
                                                 rf"from this text \({count} asked for\)$"):
                editor.extend_vocabulary(argument, count, **options)
            assert editor.to_json() == document
            return
        result = editor.extend_vocabulary(argument, count, **options)

        # Fewer steps of the same training: the first `count` of all it could learn.
        everything = editor_of(doc).extend_vocabulary(words, possible, **options)
        assert result.added_tokens == everything.added_tokens[:count]
        assert len(result.added_tokens) == len(result.added_merges) == len(result.frequencies) == count

        vocab, merges = editor.get_vocab(), editor.get_merges()
        assert merges == merges_before + result.added_merges
        assert {t: vocab[t] for t in vocab_before} == vocab_before
        assert set(vocab) - set(vocab_before) == set(result.added_tokens)
        assert len(vocab) == len(vocab_before) + count
        new_ids = sorted(vocab[t] for t in result.added_tokens)
        assert new_ids == list(range(len(vocab_before), len(vocab_before) + count))  # ids were dense
        for (left, right), token in zip(result.added_merges, result.added_tokens):
            assert left in vocab and right in vocab and token not in vocab_before
        limit = options["max_token_length"]
        assert all(len(t) <= limit for t in result.added_tokens) or not limit

        # Every training word encodes as the training left it (under
        # ignore_merges, one that is now a token comes back whole), and each
        # merge's frequency is the count of its pair at its turn.
        usable_counts = [words[w] for w in usable]
        replayed = [replay(p, result.added_merges, prefix) for p in pieces_before]
        left = [[w] if doc["model"]["ignore_merges"] and w in vocab else r for w, (r, _) in zip(usable, replayed)]
        client = client_of(editor)
        assert_same_pieces(usable, editor.tokenize_batch(usable), client_pieces(client, usable), "after learning")
        assert_same_pieces(usable, editor.tokenize_batch(usable), left, "against the replay")
        frequencies = [sum(c * seen[i] for c, (_, seen) in zip(usable_counts, replayed)) for i in range(count)]
        assert result.frequencies == frequencies
        assert result.frequencies == sorted(result.frequencies, reverse=True)
        assert all(f >= max(options["min_frequency"], 1) for f in result.frequencies)

        # What was reachable stays so; the new tokens are produced alone
        # wherever a token's own string is a word (no prefix, no suffix).
        unreachable = client_unreachable(client, vocab, client_exemptions(client))
        assert editor.unreachable_tokens() == unreachable
        assert {t for t, _, _ in unreachable if t in vocab_before} <= unreachable_before
        if not suffix:
            # With a continuing prefix, the tokens that start a word: not those
            # that continue one, nor those built on a byte-fallback or unknown
            # token standing inside a word.
            unk = doc["model"]["unk_token"]

            def starts_a_word(t):
                return not prefix or not (t.startswith(prefix) or BYTE_TOKEN.match(t)
                                          or (unk and t.startswith(unk)))

            alone = [t for t in result.added_tokens if starts_a_word(t) and client_pieces(client, [t])[0] != [t]]
            assert not alone, f"learned tokens the tokenizer never produces alone: {alone}"

    @LEARN
    @given(small_bpe(), st.data())
    def test_prune_then_learn_in_the_freed_ids(self, case, data):
        doc, alphabet = case
        kept, new = data.draw(word_counts(doc, alphabet)), data.draw(word_counts(doc, alphabet))
        editor = editor_of(doc)
        vocab = editor.get_vocab()
        editor.prune_leaves(data.draw(up_to(most_prunable(editor_of(doc), kept))), kept)
        survivors = editor.get_vocab()
        freed = sorted(set(vocab.values()) - set(survivors.values()))
        if most_learnable(editor, new) < len(freed):
            return  # the new text cannot fill them; test_continued_training checks the refusal
        result = editor.extend_vocabulary(new, len(freed), reuse_freed_ids=True)
        after = editor.get_vocab()
        assert len(after) == len(vocab)
        assert sorted(after.values()) == sorted(vocab.values())
        assert sorted(after[t] for t in result.added_tokens) == freed
        assert {t: after[t] for t in survivors} == survivors
        client = client_of(editor)
        assert editor.unreachable_tokens() == client_unreachable(client, after, client_exemptions(client))

    @LEARN
    @given(small_bpe(), st.data())
    def test_unchanged_words_keep_their_segmentation(self, case, data):
        doc, alphabet = case
        new = data.draw(word_counts(doc, alphabet))
        # Words of their own, and some shared with the training words.
        kept = {**data.draw(word_counts(doc, alphabet)),
                **{w: 1 for w in data.draw(st.lists(st.sampled_from(sorted(new)), max_size=3))}}
        editor = editor_of(doc)
        usable = [w for w in kept if tokenizable(editor, w)]
        before = editor.tokenize_batch(usable)
        possible = most_learnable(editor, new, unchanged_words=kept)
        result = editor.extend_vocabulary(new, data.draw(up_to(possible)), unchanged_words=list(kept.items()))

        assert editor.tokenize_batch(usable) == before
        assert_same_pieces(usable, before, client_pieces(client_of(editor), usable), "the unchanged words")
        assert not set(result.added_tokens) & set(kept)
        # With no pair to refuse and no product spelled like a kept word, the
        # training is plain training. (Refusals may let it learn more: a
        # refused pair leaves its pieces to other pairs.)
        plain = editor_of(doc)
        plain_tokens = plain.extend_vocabulary(new, most_learnable(editor_of(doc), new)).added_tokens
        if not any(len(pieces) > 1 for pieces in before) and not set(plain_tokens) & set(kept):
            assert result.added_tokens == plain_tokens[:len(result.added_tokens)]
            assert possible == len(plain_tokens)


class TestPruneSmall:
    @LEARN
    @given(small_bpe(), st.data())
    def test_only_leaves_go(self, case, data):
        doc, alphabet = case
        words = data.draw(st.none() | word_counts(doc, alphabet))
        editor = editor_of(doc)
        vocab, merges_before = editor.get_vocab(), editor.get_merges()
        keep = data.draw(st.lists(st.sampled_from(sorted(vocab)), max_size=3)) if vocab else []
        possible = most_prunable(editor, words, keep)
        count = data.draw(up_to(possible + 1))
        document = editor.to_json()
        client_before = client_of(editor)
        pieces_before = dict(zip(vocab, client_pieces(client_before, list(vocab))))
        unreachable_before = unreachable_set(editor)

        if count > possible:
            with pytest.raises(ValueError, match=rf"^Only {possible} tokens can be pruned \({count} asked for\)$"):
                editor.prune_leaves(count, words, keep)
            assert editor.to_json() == document
            return
        result = editor.prune_leaves(count, words, keep)

        after = editor.get_vocab()
        lost = set(vocab) - set(after)
        assert len(result.removed) == len(set(result.removed)) == result.tokens_removed == count
        assert lost == set(result.removed) and not set(after) - set(vocab)
        assert {t: vocab[t] for t in after} == after  # ids are not closed up here
        protected = is_protected(doc, keep)
        assert not [t for t in lost if protected(t)]
        merges = iter(merges_before)
        assert all(m in merges for m in editor.get_merges()), "the merges left are not in their old order"
        assert len(merges_before) - len(editor.get_merges()) == result.merges_removed
        client = client_of(editor)
        unreachable = client_unreachable(client, after, client_exemptions(client))
        assert editor.unreachable_tokens() == unreachable

        # Leaves only: every token left is encoded as before, unless its
        # encoding held a token that went (an unreachable one's may).
        survivors = list(after)
        changed = [(t, pieces_before[t], p) for t, p in zip(survivors, client_pieces(client, survivors))
                   if p != pieces_before[t] and lost.isdisjoint(pieces_before[t])]
        assert not changed, f"tokens left whose encoding changed: {changed[:5]}"
        assert {t for t, _, _ in unreachable} <= unreachable_before


# A leaf that also feeds a redundant merge: "abc" is built ab + c, but the merge
# list also makes it from a + bc. "bc" is used by no token's encoding.
REDUNDANT = (["a", "b", "c", "ab", "bc", "abc"], [("a", "b"), ("b", "c"), ("ab", "c"), ("a", "bc")])


class TestLearningEdges:
    def test_ties_and_limits(self, make_editor):
        def learned(words, count, **options):
            return make_editor(list("abcd")).extend_vocabulary(words, count, **options).added_tokens

        assert learned({"cd": 2, "ab": 2}, 1) == ["ab"]          # tie: the smaller left token
        assert learned({"bd": 2, "bc": 2}, 1) == ["bc"]          # then the smaller right one
        assert learned({"ab": 1, "cd": 3}, 1) == ["cd"]
        assert learned({"ab": 1}, 1, min_frequency=1) == ["ab"]
        assert learned({"abcd": 2}, 2, max_token_length=2) == ["ab", "cd"]
        for words, options, possible in [({"ab": 1}, {}, 0), ({"abcd": 2}, {"max_token_length": 2}, 2),
                                         ({"abab": 0}, {}, 0)]:
            assert most_learnable(make_editor(list("abcd")), words, **options) == possible

    def test_pruning_does_not_depend_on_dense_ids(self, make_editor):
        """Ids far apart (kept in the same order) prune the same leaves as 0..n-1."""
        tokens = ["a", "b", "c", "d", "ab", "cd", "abc", "abcd", "bd"]
        merges = [("a", "b"), ("c", "d"), ("ab", "c"), ("ab", "cd"), ("b", "d")]
        words = {"abcd": 3, "abc": 2, "cd": 5, "bd": 1}
        spread = {token: 7 + 1_000_003 * i for i, token in enumerate(tokens)}
        for count in range(1, 5):
            dense = make_editor(tokens, merges).prune_leaves(count, words)
            sparse = make_editor(spread, merges).prune_leaves(count, words)
            assert dense.removed == sparse.removed and dense.merges_removed == sparse.merges_removed

    def test_repeated_pairs_add_up(self, make_editor):
        pairs = make_editor(list("abc")).extend_vocabulary([("abc", 1), ("abc", 1)], 2)
        summed = make_editor(list("abc")).extend_vocabulary({"abc": 2}, 2)
        assert (pairs.added_tokens, pairs.added_merges, pairs.frequencies) == (
            summed.added_tokens, summed.added_merges, summed.frequencies) == (
            ["ab", "abc"], [("a", "b"), ("ab", "c")], [2, 2])

    def test_repeated_pairs_are_one_word(self, make_editor):
        assert make_editor(list("abc")).extend_vocabulary([("abc", 1), ("abc", 1)], 2).words == 1

    def test_what_is_never_merged(self, make_editor):
        # Existing tokens are not learned again; added, byte and unknown tokens are never inputs.
        assert most_learnable(make_editor(["a", "b", "ab"]), {"ab": 5}) == 0  # no merge makes it, still
        assert most_learnable(make_editor(["a", "b"], added_tokens=[added("b", 1)]), {"ab": 5, "ba": 5}) == 0
        fallback = make_editor(["a", "<0x7A>"], byte_fallback=True)
        assert fallback.tokenize("zz") == ["<0x7A>", "<0x7A>"]
        assert most_learnable(fallback, {"zz": 5, "za": 5}) == 0
        unknown = make_editor(["a", "<unk>"], unk_token="<unk>")
        assert most_learnable(unknown, {"zaz": 5, "az": 5}) == 0

    def test_no_marker_inside_a_learned_token(self, make_editor):
        editor = editor_of(merge_doc([MARKER, "a", "b"], normalizer=MARKER_NORMALIZER))
        result = editor.extend_vocabulary({f"{MARKER}a{MARKER}b": 5}, 2)
        assert result.added_tokens == [f"{MARKER}a", f"{MARKER}b"]
        assert most_learnable(editor, {f"a{MARKER}b": 5}) == 0

    def test_ids_after_the_highest_or_in_the_gaps(self, make_editor):
        vocab = {"a": 0, "b": 1, "c": 2, "d": 5}
        for reuse, ids in [(False, [6, 7, 8]), (True, [3, 4, 6])]:
            editor = make_editor(vocab)
            result = editor.extend_vocabulary({"abcd": 2}, 3, reuse_freed_ids=reuse)
            assert [editor.get_vocab()[t] for t in result.added_tokens] == ids
        # A pruned id is free again only to a learner that reuses ids.
        for reuse, id in [(False, 7), (True, 3)]:
            editor = make_editor({**vocab, "ab": 6}, [("a", "b")])
            assert editor.prune_leaves(1).removed == ["ab"]
            (token,) = editor.extend_vocabulary({"cd": 2}, 1, reuse_freed_ids=reuse).added_tokens
            assert editor.get_vocab()[token] == id

    def test_least_used_leaves_first_and_highest_ids_without_text(self, make_editor):
        # ids: a..f 0..5, ab=6 cd=7 abcd=8 ef=9; the leaves are abcd and ef.
        def pruned(words, count=1):
            editor = make_editor([*"abcdef", "ab", "cd", "abcd", "ef"],
                                 [("a", "b"), ("c", "d"), ("ab", "cd"), ("e", "f")])
            return editor.prune_leaves(count, words).removed

        assert pruned(None) == ["ef"]
        assert pruned(None, 4) == ["ef", "abcd", "cd", "ab"]  # abcd's parts become leaves when it goes
        assert pruned({"abcd": 5, "ef": 1}) == ["ef"]
        assert pruned({"abcd": 1, "ef": 5}) == ["abcd"]
        # abcd's use passes to ab and cd, which then outweigh ef; ties to the higher id.
        assert pruned({"abcd": 2, "ef": 3, "ab": 2, "cd": 2}, 4) == ["abcd", "ef", "cd", "ab"]

    def test_argument_errors(self, small_editor):
        document = small_editor.to_json()
        for call, error in [(lambda: small_editor.extend_vocabulary({"ab": -1}, 1), OverflowError),
                            (lambda: small_editor.extend_vocabulary("ab", 1), TypeError),
                            (lambda: small_editor.extend_vocabulary({1: 2}, 1), TypeError),
                            (lambda: small_editor.extend_vocabulary({"ab": 2}, -1), OverflowError),
                            (lambda: small_editor.prune_leaves(1, keep="ab"), TypeError),
                            (lambda: small_editor.prune_leaves(1, {"ab": "2"}), TypeError)]:
            with pytest.raises(error):
                call()
        assert small_editor.to_json() == document

    def test_prefix_merges_stay(self, make_editor):
        def editor():
            # ids: a=0 ##b=1 ##c=2 ab=3 ac=4; both ab and ac are leaves.
            return make_editor(["a", "##b", "##c", "ab", "ac"], [("a", "##b"), ("a", "##c")],
                               continuing_subword_prefix="##")

        untouched = editor()
        document = untouched.to_json()
        untouched.prune_leaves(0)
        assert untouched.to_json() == document
        pruned = editor()
        assert pruned.tokenize("ab") == ["ab"] and pruned.prune_leaves(1).removed == ["ac"]
        assert (pruned.get_merges(), pruned.tokenize("ab")) == ([("a", "##b")], ["ab"])

    @pytest.mark.parametrize("vocab, model, word", [
        (["e", "e</w>"], {"end_of_word_suffix": "</w>"}, "ee"),
        (["e", "##e"], {"continuing_subword_prefix": "##"}, "ee"),
    ])
    def test_character_forms_stay(self, make_editor, vocab, model, word):
        editor = make_editor(vocab, **model)
        pieces = editor.tokenize(word)
        assert len(pieces) == 2
        with pytest.raises(ValueError, match="^Only 0 tokens can be pruned"):
            editor.prune_leaves(1)
        assert editor.tokenize(word) == pieces

    def test_merges_onto_an_unknown_continuation_load(self, make_editor):
        editor = make_editor(["b", "##a", "##d", "<unk>", "<unk>d"], [("<unk>", "##d")], unk_token="<unk>",
                             continuing_subword_prefix="##")
        assert editor.tokenize("bxd") == ["b", "<unk>d"]
        try:
            editor.extend_vocabulary({"bxd": 2}, 1)
        except ValueError:
            pass  # refusing the pair is as sound
        client_of(editor)  # the client loads what we write

    def test_learned_ids_keep_clear_of_added_tokens(self, make_editor):
        # <s> stands outside the model's two tokens, at id 2; the tokenizers
        # package numbers such tokens from the model's size, so a learned token
        # at id 3 would share its id.
        editor = make_editor(["a", "b"], added_tokens=[added("<s>", 2)])
        editor.extend_vocabulary({"ab": 2}, 1)
        client = client_of(editor)
        encoding = client.encode("ab<s>")
        assert encoding.tokens == ["ab", "<s>"] and len(set(encoding.ids)) == 2
        assert ids_shared_with_added_tokens(client, ["ab<s>"]) == ([], [])

    def test_a_leaf_goes_alone(self, make_editor):
        editor = make_editor(*REDUNDANT)
        result = editor.prune_leaves(1, {"abc": 10, "bc": 1})
        assert result.removed == ["bc"]
        assert (set(editor.get_vocab()), result.tokens_removed) == ({"a", "b", "c", "ab", "abc"}, 1)
        assert editor.tokenize("abc") == ["abc"]

    def test_kept_tokens_stay(self, make_editor):
        editor = make_editor(*REDUNDANT)
        editor.prune_leaves(1, {"abc": 10, "bc": 1}, keep=["abc"])
        assert editor.has_token("abc")

    def test_added_tokens_stay(self, make_editor):
        editor = make_editor(*REDUNDANT, added_tokens=[added("abc", 5)])
        editor.prune_leaves(1, {"abc": 10, "bc": 1})
        assert editor.get_vocab().get("abc") == 5


# --------------------------------------------------------------- word counts

def client_words(client, line):
    """The words the client's model receives for `line`; for a model given whole
    lines (the "▁" marker written by the normalizer, no pre-tokenizer), the
    pieces that start at each marker."""
    text = line if client.normalizer is None else client.normalizer.normalize_str(line)
    if client.pre_tokenizer is not None:
        return [word for word, _ in client.pre_tokenizer.pre_tokenize_str(text)]
    pieces = re.findall(f"{MARKER}[^{MARKER}]*", text)
    assert "".join(pieces) == text
    return pieces


class TestWordCounts:
    @pytest.mark.slow
    @pytest.mark.parametrize("name", NAMES)
    def test_words_are_what_the_model_receives(self, corpus, text_lines, name):
        document = Path(corpus[name]).read_text(encoding="utf-8")
        client = tokenizers.Tokenizer.from_str(document)
        splitter = Splitter(document)
        lines = [line for text in TEXTS for line in text_lines[text][::20]]
        ours = [list(splitter.words(line)) for line in lines]
        theirs = [client_words(client, line) for line in lines]
        assert_same_pieces(lines, ours, theirs, f"{name} words")
        if name == "llama2":
            assert all(w.startswith(MARKER) and MARKER not in w[1:] for words in ours for w in words)

        paths = [str(TEXT_DIR / f"{text}.txt.xz") for text in ("cs-heldout", "pl-heldout")]
        expected = collections.Counter(w for text in ("cs-heldout", "pl-heldout")
                                       for line in text_lines[text] for w in client_words(client, line))
        assert count_text(document, paths, processes=1) == expected
        if name in ("llama2", "qwen3"):  # workers load the client from the JSON; the small ones suffice
            assert count_text(document, paths, processes=2) == expected

    def test_count_files(self, tmp_path):
        counts = collections.Counter({"Ġthe": 7, "a\tb": 2, "▁zażółć": 1, "x": 0})
        plain = tmp_path / "counts.tsv"
        write_counts(str(plain), counts)
        assert plain.read_text(encoding="utf-8").split("\n")[:2] == ["word\tcount", "Ġthe\t7"]
        data = plain.read_bytes() + "Ġthe\t 3\n\n".encode()  # a repeated word adds up
        (tmp_path / "c.tsv.gz").write_bytes(gzip.compress(data))
        (tmp_path / "c.tsv.xz").write_bytes(lzma.compress(data))
        (tmp_path / "headless.tsv").write_text("Ġthe\t10\n", encoding="utf-8")
        assert read_counts(str(plain)) == counts
        for name in ("c.tsv.gz", "c.tsv.xz"):
            assert read_counts(str(tmp_path / name)) == counts + collections.Counter({"Ġthe": 3})
        text = tmp_path / "text.txt"
        text.write_text("the the\n", encoding="utf-8")
        document = SAMPLE.read_text(encoding="utf-8")
        assert gather_counts(document, [str(text), str(tmp_path / "headless.tsv")]) == {"the": 1, "Ġthe": 11}
        with pytest.raises(CliError, match="line break"):
            write_counts(str(tmp_path / "bad.tsv"), collections.Counter({"a\nb": 1}))


# ------------------------------------------------------- the real tokenizers

@pytest.fixture(scope="module")
def counted(corpus):
    """counted(name, text) -> the word counts of ../shared/text/<text>.txt.xz for that tokenizer."""
    cache = {}

    def count(name, text):
        source = TEXT_DIR / f"{text}.txt.xz"
        if not source.exists():
            pytest.skip(f"no {source}")
        if (name, text) not in cache:
            document = Path(corpus[name]).read_text(encoding="utf-8")
            cache[name, text] = count_text(document, [str(source)])
        return cache[name, text]

    return count


@pytest.fixture(scope="module")
def extended(corpus, counted):
    """extended(name) -> (editor before, editor with 2,000 tokens learned from cs-train, the result)."""
    cache = {}

    def extend(name):
        if name not in cache:
            editor = quorvane.Quorvane(corpus[name])
            cache[name] = (quorvane.Quorvane(corpus[name]), editor,
                           editor.extend_vocabulary(counted(name, "cs-train"), 2000))
        return cache[name]

    return extend


def bytes_per_token(client, lines):
    client.no_truncation()
    client.no_padding()
    tokens = sum(len(e.ids) for e in client.encode_batch(lines, add_special_tokens=False))
    return sum(len(line.encode()) for line in lines) / tokens


@pytest.mark.slow
class TestCorpus:
    @pytest.mark.parametrize("name", ["qwen3", "llama2"])
    def test_extend_from_czech(self, corpus, counted, extended, text_lines, name):
        counts = counted(name, "cs-train")
        original, editor, result = extended(name)
        vocab_before, unreachable_before = original.get_vocab(), unreachable_set(original)
        heldout = text_lines["cs-heldout"]
        before = bytes_per_token(tokenizers.Tokenizer.from_file(corpus[name]), heldout)
        vocab = editor.get_vocab()
        assert len(result.added_tokens) == len(set(result.added_tokens)) == 2000
        assert len(vocab) == len(vocab_before) + 2000
        assert editor.get_merges()[-2000:] == result.added_merges
        if name == "llama2":
            assert all(MARKER not in t[1:] for t in result.added_tokens)
        client = client_of(editor)
        unreachable = client_unreachable(client, vocab, client_exemptions(client))
        assert editor.unreachable_tokens() == unreachable
        assert {t for t, _, _ in unreachable} <= unreachable_before
        frequent = [w for w, _ in counts.most_common(5000)]
        assert_same_pieces(frequent, editor.tokenize_batch(frequent), client_pieces(client, frequent), name)
        after = bytes_per_token(client, heldout)
        assert after > 1.05 * before, f"{name}: held-out bytes per token {before:.3f} -> {after:.3f}"

    @pytest.mark.parametrize("name", ["qwen3", "llama2"])  # qwen3's added tokens stand outside its model
    def test_extended_ids_read_back(self, extended, text_lines, name):
        shared, misread = ids_shared_with_added_tokens(client_of(extended(name)[1]), text_lines["cs-heldout"])
        assert not shared, f"{name}: added tokens sharing a learned token's id: {shared[:5]}"
        assert not misread, f"{name}: {len(misread)} held-out lines whose ids read back wrong, first {misread[:1]}"

    # llama2's merge list makes many tokens more than one way ("▁you" from "▁" + "you", "▁y" + "ou", ...):
    # the leaves must go alone, not with every product of a merge that names them.
    @pytest.mark.parametrize("name", ["qwen3", "llama2"])
    def test_prune_by_czech_and_polish_use(self, corpus, counted, text_lines, name):
        counts = counted(name, "cs-train") + counted(name, "pl-train")
        editor = quorvane.Quorvane(corpus[name])
        vocab, unreachable_before = editor.get_vocab(), unreachable_set(editor)
        pieces_before = dict(zip(vocab, editor.tokenize_batch(list(vocab))))
        heldout = text_lines["cs-heldout"] + text_lines["pl-heldout"]
        before = bytes_per_token(tokenizers.Tokenizer.from_file(corpus[name]), heldout)

        result = editor.prune_leaves(4000, counts)

        after_vocab = editor.get_vocab()
        assert len(set(result.removed)) == 4000 and not set(result.removed) & set(after_vocab)
        assert (len(after_vocab), result.tokens_removed) == (len(vocab) - 4000, 4000)
        client = client_of(editor)
        survivors = list(after_vocab)
        changed = [t for t, p in zip(survivors, client_pieces(client, survivors)) if p != pieces_before[t]]
        assert not changed, f"{name}: {len(changed)} tokens left encode differently, first {changed[:5]}"
        unreachable = client_unreachable(client, after_vocab, client_exemptions(client))
        assert editor.unreachable_tokens() == unreachable
        assert {t for t, _, _ in unreachable} <= unreachable_before
        after = bytes_per_token(client, heldout)
        assert after > 0.995 * before, f"{name}: held-out bytes per token {before:.3f} -> {after:.3f}"


# ------------------------------------------------------------ the commands

# Polish sentences, repeated so that their pairs are seen often enough to learn.
NEW_TEXT = "\n".join([
    "Kliknij przycisk, aby otworzyć okno dialogowe ustawień dokumentu.",
    "Wybierz komórkę, a następnie wpisz formułę w pasku formuły.",
    "Ten rozdział opisuje, jak drukować dokumenty i arkusze kalkulacyjne.",
    "Dokument zapisano w formacie tekstowym i wysłano do drukarki.",
    "Zaznacz kolumnę, aby zmienić szerokość wszystkich komórek.",
] * 3) + "\n"
NEW_HELDOUT = "Kliknij komórkę, aby zmienić ustawienia wydruku dokumentu.\n"
LETTERS_NEW = "cecec ebeb ecce bebe\n" * 3
LETTERS_TEXT = "\n".join(" ".join(["abcab", "cabde", "deabc", "bbcad", "eddab", "abcde"][i:] * 3)
                         for i in range(6)) + "\n"


@pytest.fixture
def files(tmp_path):
    """Paths of the inputs the commands read, all in tmp_path."""
    letters = tokenizer_doc(list("abcde") + ["ab", "abc", "de"], [("a", "b"), ("ab", "c"), ("d", "e")])
    letters["pre_tokenizer"] = {"type": "WhitespaceSplit"}
    paths = {
        "letters": tmp_path / "letters.json",
        "letters_text": tmp_path / "letters.txt",
        "letters_new": tmp_path / "letters_new.txt",
        "sample": Path(shutil.copy(SAMPLE, tmp_path / "sample.json")),
        "new": tmp_path / "new.txt",
        "heldout": tmp_path / "heldout.txt",
        "out": tmp_path / "out.json",
        "map": tmp_path / "map.json",
        "sample_text": SAMPLE.parent / "corpus.txt",
    }
    paths["letters"].write_text(json.dumps(letters), encoding="utf-8")
    paths["letters_text"].write_text(LETTERS_TEXT, encoding="utf-8")
    paths["letters_new"].write_text(LETTERS_NEW, encoding="utf-8")
    paths["new"].write_text(NEW_TEXT, encoding="utf-8")
    paths["heldout"].write_text(NEW_HELDOUT, encoding="utf-8")
    return paths


def vocab_of(path):
    return quorvane.Quorvane(str(path)).get_vocab()


def check_id_map(path, before, after, report):
    """The id map says how each token's id went from `before` to `after`, the
    added tokens outside the model that the command moved included."""
    mapping = json.loads(Path(path).read_text(encoding="utf-8"))
    survivors = sorted((t for t in before if t in after), key=before.get)
    expected = {before[t]: after[t] for t in survivors}
    expected.update({m["old_id"]: m["new_id"] for m in report["moved_added_tokens"]})
    assert mapping["old_to_new"] == {str(old): new for old, new in sorted(expected.items())}
    assert mapping["removed"] == [{"token": t, "id": i} for i, t in sorted((i, t) for t, i in before.items()
                                                                              if t not in after)]
    assert mapping["added"] == [{"token": t, "id": i} for i, t in sorted((i, t) for t, i in after.items()
                                                                            if t not in before)]
    return mapping


def token_count(path, text):
    client = tokenizers.Tokenizer.from_file(str(path))
    return sum(len(e.ids) for e in client.encode_batch(text.splitlines(), add_special_tokens=False))


EXTEND_KEYS = {"input", "output", "distinct_words", "tokens_added", "added_tokens", "added_merges",
               "frequencies", "learn_seconds", "moved_added_tokens", "vocab_size", "merges_count", "id_map",
               "seconds"}
PRUNE_KEYS = {"input", "output", "tokens_removed", "merges_removed", "removed_tokens", "prune_seconds",
              "ids_remapped", "moved_added_tokens", "vocab_size", "merges_count", "id_map", "seconds"}


class TestCommands:
    @pytest.mark.parametrize("tokenizer, text, add", [("letters", "letters_text", 12), ("sample", "new", 50)])
    def test_extend(self, capsys, files, tmp_path, tokenizer, text, add):
        source, out = files[tokenizer], files["out"]
        report = run_json(capsys, "extend", source, "--text", files[text], "--add", add, "-o", out,
                          "--id-map", files["map"], "--quiet")
        assert set(report) == EXTEND_KEYS
        document = source.read_text(encoding="utf-8")
        expected = quorvane.Quorvane(str(source)).extend_vocabulary(count_text(document, [str(files[text])]), add)
        assert (report["tokens_added"], report["added_tokens"], report["frequencies"]) == (
            add, expected.added_tokens, expected.frequencies)
        assert report["added_merges"] == [list(m) for m in expected.added_merges]
        assert report["distinct_words"] == expected.words
        before, after = vocab_of(source), vocab_of(out)
        assert report["vocab_size"] == len(after) == len(before) + add
        mapping = check_id_map(files["map"], before, after, report)
        assert [row["token"] for row in mapping["added"]] == report["added_tokens"]
        assert token_count(out, files[text].read_text(encoding="utf-8")) < token_count(
            source, files[text].read_text(encoding="utf-8"))

        # The same words as a count file, and the options.
        counts = tmp_path / "counts.tsv"
        write_counts(str(counts), count_text(document, [str(files[text])]))
        again = run_json(capsys, "extend", source, "--text", counts, "--add", add, "-o", tmp_path / "again.json")
        assert again["added_tokens"] == report["added_tokens"]
        short = run_json(capsys, "extend", source, "--text", files[text], "--add", 3, "--max-token-length", 2,
                         "-o", tmp_path / "short.json")
        assert all(len(t) <= 2 for t in short["added_tokens"]) and short["tokens_added"] == 3

    @pytest.mark.parametrize("tokenizer, text, count", [("letters", "letters_text", 1), ("sample", "new", 40)])
    def test_prune(self, capsys, files, tmp_path, tokenizer, text, count):
        source, out = files[tokenizer], files["out"]
        before = vocab_of(source)
        report = run_json(capsys, "prune", source, "--count", count, "--text", files[text], "-o", out,
                          "--id-map", files["map"], "--quiet")
        assert set(report) == PRUNE_KEYS
        after = vocab_of(out)
        assert report["vocab_size"] == len(after) == len(before) - count
        assert sorted(after.values()) == list(range(len(after)))  # the gaps are closed
        assert report["tokens_removed"] == count and len(report["removed_tokens"]) == count
        mapping = check_id_map(files["map"], before, after, report)
        assert sorted(row["token"] for row in mapping["removed"]) == sorted(report["removed_tokens"])
        tokenizers.Tokenizer.from_file(str(out))

        # Kept tokens stay; without text the command prunes as prune_leaves does without words.
        keep = tmp_path / "keep.txt"
        keep.write_text("\n".join(report["removed_tokens"]) + "\n", encoding="utf-8")
        kept = run_json(capsys, "prune", source, "--count", count, "--keep", keep, "-o", tmp_path / "kept.json")
        assert not set(kept["removed_tokens"]) & set(report["removed_tokens"])
        blind = run_json(capsys, "prune", source, "--count", 1, "-o", tmp_path / "blind.json")
        assert blind["removed_tokens"] == quorvane.Quorvane(str(source)).prune_leaves(1).removed

    @pytest.mark.parametrize("tokenizer, kept, replace", [
        ("letters", ["--keep-text", "letters_text"], 2),
        ("sample", [], 50),
        ("sample", ["--keep-text", "sample_text", "--heldout", "heldout", "--keep-heldout", "sample_text"], 50),
        ("sample", ["--keep-text", "sample_text", "--keep-segmentation", "--keep-heldout", "sample_text"], 50),
    ])
    def test_adapt_keeps_the_size_and_the_ids(self, capsys, files, tokenizer, kept, replace):
        source, out = files[tokenizer], files["out"]
        new = files["letters_new" if tokenizer == "letters" else "new"]
        before = vocab_of(source)
        options = [files.get(a, a) for a in kept]
        report = run_json(capsys, "adapt", source, "--text", new, *options, "--replace", replace,
                          "-o", out, "--id-map", files["map"], "--quiet")
        after = vocab_of(out)
        assert report["vocab_size"] == len(after) == len(before)
        assert sorted(after.values()) == sorted(before.values())
        assert report["tokens_added"] == len(report["removed_tokens"]) == replace
        mapping = check_id_map(files["map"], before, after, report)
        # Every token kept keeps its id; the new ones take the freed ids.
        assert all(int(old) == new_id for old, new_id in mapping["old_to_new"].items())
        assert sorted(r["id"] for r in mapping["added"]) == sorted(r["id"] for r in mapping["removed"])
        if "--heldout" in kept:
            figures = report["heldout"]
            assert figures["text"]["bytes_per_token_after"] > figures["text"]["bytes_per_token_before"]
            assert figures["keep_text"]["bytes_per_token_before"] > 0
        if "--keep-segmentation" in kept:
            # The kept text is split as the pruning alone leaves it.
            pruned = files["out"].with_name("pruned.json")
            run_json(capsys, "prune", source, "--count", replace, "--text", files["sample_text"], "-o", pruned)
            words = list(count_text(files["sample"].read_text(encoding="utf-8"), [str(files["sample_text"])]))
            assert report["keep_segmentation"]
            assert quorvane.Quorvane(str(out)).tokenize_batch(words) == \
                quorvane.Quorvane(str(pruned)).tokenize_batch(words)

    @pytest.mark.parametrize("tokenizer", [SAMPLE, MARKER_SAMPLE])
    def test_extended_ids_read_back(self, capsys, files, tokenizer):
        # The ByteLevel sample's <|im_start|> and <|im_end|> stand at 3000 and 3001, outside its 3,000 tokens.
        run_json(capsys, "extend", tokenizer, "--text", files["new"], "--add", 30, "-o", files["out"])
        client = tokenizers.Tokenizer.from_file(str(files["out"]))
        assert ids_shared_with_added_tokens(client, [*NEW_TEXT.splitlines(), "<|im_start|>user"]) == ([], [])

    @pytest.mark.parametrize("command, count, first", [("extend", 30, 3030), ("prune", 500, 2500)])
    def test_added_tokens_outside_the_model_move_in_the_id_map(self, capsys, files, command, count, first):
        # <|im_start|> and <|im_end|> stand at 3000 and 3001, right after the sample's 3,000 tokens.
        how = ["--add", count] if command == "extend" else ["--count", count]
        report = run_json(capsys, command, SAMPLE, "--text", files["new"], *how, "-o", files["out"],
                          "--id-map", files["map"])
        assert report["moved_added_tokens"] == [{"token": "<|im_start|>", "old_id": 3000, "new_id": first},
                                                {"token": "<|im_end|>", "old_id": 3001, "new_id": first + 1}]
        mapping = json.loads(Path(files["map"]).read_text(encoding="utf-8"))
        assert (mapping["old_to_new"]["3000"], mapping["old_to_new"]["3001"]) == (first, first + 1)
        client = tokenizers.Tokenizer.from_file(str(files["out"]))
        assert client.token_to_id("<|im_start|>") == first

    def test_sample_marker_tokenizer(self, capsys, files, tmp_path):
        extended = run_json(capsys, "extend", MARKER_SAMPLE, "--text", files["new"], "--add", 30,
                            "-o", files["out"])
        assert all(MARKER not in t[1:] for t in extended["added_tokens"])
        client = tokenizers.Tokenizer.from_file(str(files["out"]))
        encoding = client.encode(NEW_HELDOUT.strip())
        assert client.decode(encoding.ids) == NEW_HELDOUT.strip()


BAD_INPUTS = {
    # name: (file contents or None for no file, what the one error line says)
    "missing.txt": (None, "missing.txt"),
    "missing.tsv": (None, "missing.tsv: no such file"),
    "blank.txt": (b"\n  \n\t\r\n", "blank.txt: no text (every line is blank)"),
    "latin1.txt": (b"ok\ncaf\xe9\n", "latin1.txt: not UTF-8 (invalid continuation byte at byte 6)"),
    # Offsets count from the start of the text, past the blocks read before and a byte-order mark.
    "late.txt": (b"a\n" * (BLOCK_SIZE // 2) + "\u00e9".encode() + b"\xff\n",
                 f"late.txt: not UTF-8 (invalid start byte at byte {BLOCK_SIZE + 2})"),
    "bom.txt": (b"\xef\xbb\xbfok\n\xff\n", "bom.txt: not UTF-8 (invalid start byte at byte 6)"),
    "cut.txt.xz": (lzma.compress(b"ok\ncaf\xc3"),
                   "cut.txt.xz: not UTF-8 (unexpected end of data at byte 6 of the decompressed text)"),
    "letters.tsv": ("word\tcount\nab\tmany\n".encode(), "letters.tsv: line 2: the count 'many' is not an integer"),
    "notab.tsv": (b"ab 3\n", "notab.tsv: line 1: expected a word, a tab and a count"),
    "negative.tsv": (b"ab\t-3\n", "negative.tsv: line 1: the count must be an integer of 0 or more"),
    "header.tsv": (b"word\tcount\n", "header.tsv: no word counts"),
    "counts.parquet": (b"PAR1 not really", "reading Parquet needs pyarrow"),
}


class TestCommandFailures:
    def commands(self, files, bad):
        """Each command with `bad` where it reads text."""
        common = ["-o", files["out"], "--id-map", files["map"]]
        return [
            ["extend", files["sample"], "--text", bad, "--add", 5, *common],
            ["prune", files["sample"], "--count", 5, "--text", files["new"], bad, *common],
            ["adapt", files["sample"], "--text", bad, "--replace", 5, *common],
            ["adapt", files["sample"], "--text", files["new"], "--keep-text", bad, "--replace", 5, *common],
        ]

    @pytest.mark.parametrize("name", BAD_INPUTS)
    def test_unusable_text(self, capsys, files, tmp_path, monkeypatch, name):
        data, message = BAD_INPUTS[name]
        if name.endswith(".parquet"):
            # The message for a machine without pyarrow, whether or not this one has it.
            monkeypatch.setitem(sys.modules, "pyarrow", None)
            monkeypatch.setitem(sys.modules, "pyarrow.parquet", None)
        bad = tmp_path / name
        if data is not None:
            bad.write_bytes(data)
        for argv in self.commands(files, bad):
            assert message in failure(capsys, *argv), argv
            assert not files["out"].exists() and not files["map"].exists()

    def test_more_than_can_be_done(self, capsys, files):
        sample, new = str(files["sample"]), str(files["new"])
        words = count_text(files["sample"].read_text(encoding="utf-8"), [new])
        learnable = most_learnable(quorvane.Quorvane(sample), words)
        prunable = most_prunable(quorvane.Quorvane(sample), words)
        common = ["-o", files["out"], "--id-map", files["map"]]
        counts = files["map"].with_suffix(".tsv")
        write_counts(str(counts), words)
        for argv, message in [
            (["extend", sample, "--text", new, "--add", 100_000],
             f"Only {learnable} new tokens can be learned from this text (100000 asked for)"),
            (["extend", sample, "--text", new, "--add", 10, "--min-frequency", 1000],
             "Only 0 new tokens can be learned from this text (10 asked for)"),
            (["prune", sample, "--count", 100_000, "--text", new],
             f"Only {prunable} tokens can be pruned (100000 asked for)"),
            (["adapt", sample, "--text", new, "--replace", 100_000], "tokens can be pruned (100000 asked for)"),
            # The freed ids outnumber what the text can fill.
            (["adapt", sample, "--text", new, "--replace", learnable + 1],
             "new tokens can be learned from this text"),
            (["adapt", sample, "--text", new, "--replace", 5, "--heldout", counts],
             "--heldout takes text, not word counts"),
            (["adapt", sample, "--text", new, "--replace", 5, "--keep-segmentation"],
             "--keep-segmentation needs --keep-text"),
            (["prune", sample, "--count", 5, "--keep", files["map"].parent / "keep.txt"], "keep.txt"),
        ]:
            err = failure(capsys, *argv, *common)
            assert message in err, (argv, err)
            if "can be" in message:  # says how many could be
                assert re.search(r"Only \d+ (new )?tokens can be", err), err
            assert not files["out"].exists() and not files["map"].exists()
