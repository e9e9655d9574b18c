"""The text-aware core against the `tokenizers` package: tokenize and
tokenize_batch, unreachable_tokens and add_tokens_reachable, on small
generated tokenizers (hypothesis) and on the real ones of ../shared/corpus
with the running text of ../shared/text.

The client judging the editor is built from the editor's own output
(`to_json`), so every comparison also checks that what we write loads and
means what we think."""

import collections
import json
import lzma
import random
import re

import pytest

import quorvane
from conftest import ROOT, tokenizer_doc
from test_merge import byte_level_table

tokenizers = pytest.importorskip("tokenizers")
pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

TEXT_DIR = ROOT.parent / "shared" / "text"
TEXTS = ("cs-train", "cs-heldout", "pl-train", "pl-heldout")
NAMES = ("llama2", "llama3", "qwen3", "gemma3")
BYTE_LEVEL_NAMES = {"llama3", "qwen3"}  # the others mark a preceding space with "▁"
MARKER = "\u2581"
BYTE_TOKEN = re.compile(r"<0x[0-9A-F]{2}>")
LETTER_RUN = re.compile(r"[^\W\d_]+")

SMALL = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def client_of(editor):
    return tokenizers.Tokenizer.from_str(editor.to_json())


def client_pieces(client, words):
    tokenize = client.model.tokenize
    return [[t.value for t in tokenize(w)] for w in words]


def assert_same_pieces(words, ours, theirs, what):
    """ours == theirs, reporting the first words that differ rather than a list diff."""
    assert len(ours) == len(theirs) == len(words)
    bad = [(w, o, t) for w, o, t in zip(words, ours, theirs) if o != t]
    assert not bad, (f"{what}: {len(bad)} of {len(words)} words differ; first (word, ours, client): "
                     + "; ".join(repr(b) for b in bad[:5]))


def client_exemptions(client):
    """Tokens the client never needs to build: the byte tokens of a byte-fallback
    model, and added tokens (matched whole before the model runs)."""
    byte_fallback = client.model.byte_fallback
    added = {t.content for t in client.get_added_tokens_decoder().values()}
    return lambda token: bool(byte_fallback and BYTE_TOKEN.fullmatch(token)) or token in added


def client_unreachable(client, vocab, exempt):
    """What unreachable_tokens must say, judged by the client, in ascending UTF-8 order."""
    tokens = sorted(vocab, key=str.encode)
    return [(t, vocab[t], p) for t, p in zip(tokens, client_pieces(client, tokens))
            if p != [t] and not exempt(t)]


def editor_of(doc):
    return quorvane.Quorvane.from_json(json.dumps(doc))


# ---------------------------------------------------------------- real text

def read_lines(name):
    with lzma.open(TEXT_DIR / f"{name}.txt.xz") as f:
        return [line for line in f.read().decode("utf-8").split("\n") if line]


@pytest.fixture(scope="module")
def text_lines():
    if not all((TEXT_DIR / f"{name}.txt.xz").exists() for name in TEXTS):
        pytest.skip(f"no running text in {TEXT_DIR}")
    return {name: read_lines(name) for name in TEXTS}


def pretokenized(client, lines):
    """Every distinct word the client's normalizer and pre-tokenizer make of `lines`."""
    words = set()
    for line in lines:
        text = line if client.normalizer is None else client.normalizer.normalize_str(line)
        if client.pre_tokenizer is None:
            words.add(text)
        else:
            words.update(w for w, _ in client.pre_tokenizer.pre_tokenize_str(text))
    return sorted(words)


def ranked_words(lines, start, count):
    counts = collections.Counter(w for line in lines for w in LETTER_RUN.findall(line))
    return sorted(counts, key=lambda w: (-counts[w], w))[start:start + count]


def after_a_space(name, word):
    """`word` as the model sees it after a space in running text."""
    if name in BYTE_LEVEL_NAMES:
        table = byte_level_table()
        return "".join(table[b] for b in (" " + word).encode())
    return MARKER + word


def occurrences_after_a_space(lines, words, per_word=5):
    """word -> [(line index, how often the word follows a space there)], at most per_word lines."""
    wanted = set(words)
    where = collections.defaultdict(list)
    for index, line in enumerate(lines):
        found = collections.Counter(
            m.group() for m in LETTER_RUN.finditer(line)
            if m.start() > 0 and line[m.start() - 1] == " " and m.group() in wanted)
        for word, n in found.items():
            if len(where[word]) < per_word:
                where[word].append((index, n))
    return where


def missed_in_running_text(client, forms, lines):
    """Words (of `forms`, word -> model form) that the client, encoding whole lines,
    does not produce as their one token at every occurrence after a space; and how
    many words were looked at (those that follow a space somewhere)."""
    where = occurrences_after_a_space(lines, forms)
    chosen = sorted({i for spots in where.values() for i, _ in spots})
    encoded = dict(zip(chosen, client.encode_batch([lines[i] for i in chosen], add_special_tokens=False)))
    missed = []
    for word, spots in where.items():
        token_id = client.token_to_id(forms[word])
        for i, n in spots:
            if token_id is None or encoded[i].ids.count(token_id) < n:
                at = lines[i].find(" " + word)
                near = [tok for tok, (s, e) in zip(encoded[i].tokens, encoded[i].offsets)
                        if e > at and s < at + len(word) + 2]
                missed.append((word, lines[i][max(at - 10, 0):at + len(word) + 10], near))
                break
    return missed, len(where)


# ------------------------------------------------------------ the lower bound

def units(client, word):
    """The word's pieces under the client, with every byte-fallback or unknown
    stretch split into its characters (each of which must become a new token)."""
    raw = word.encode()
    out, missing, pending = [], set(), b""
    for token in client.model.tokenize(word):
        start, end = token.offsets
        if token.value.encode() == raw[start:end]:
            if pending:
                out += list(pending.decode())
                missing.update(pending.decode())
                pending = b""
            out.append(token.value)
        else:
            pending += raw[start:end]
    if pending:
        out += list(pending.decode())
        missing.update(pending.decode())
    return out, missing


def units_of_pieces(word, pieces):
    """units() from our own pieces, for states the client has not seen; a
    byte-fallback stretch is told by its <0xNN> tokens (no unknown token fires
    in the corpus models)."""
    out, missing, pending, pos = [], set(), bytearray(), 0
    for piece in pieces + [None]:
        if piece is not None and BYTE_TOKEN.fullmatch(piece) and not word.startswith(piece, pos):
            pending.append(int(piece[3:5], 16))
            continue
        if pending:
            chars = pending.decode()
            out += chars
            missing.update(chars)
            pos += len(chars)
            pending.clear()
        if piece is not None:
            assert word.startswith(piece, pos), (word, pieces)
            out.append(piece)
            pos += len(piece)
    assert pos == len(word), (word, pieces)
    return out, missing


def fewest_new_tokens(pieces, vocab, missing=()):
    """The fewest new vocabulary entries any binary merge tree over `pieces` needs:
    an internal node whose string is already a token is free, every other costs
    one (a new string that occurs twice in the tree, twice), and each missing
    single character costs one."""
    k = len(pieces)
    cost = [[0] * k for _ in range(k)]
    for span in range(2, k + 1):
        for i in range(k - span + 1):
            j = i + span - 1
            inside = min(cost[i][m] + cost[m + 1][j] for m in range(i, j))
            cost[i][j] = inside + ("".join(pieces[i:j + 1]) not in vocab)
    return len(missing) + (cost[0][k - 1] if k else 0)


class TestLowerBound:
    def test_units_of_pieces_split_byte_fallback_into_characters(self):
        assert units_of_pieces("▁łyk", ["▁", "<0xC5>", "<0x82>", "yk"]) == (["▁", "ł", "yk"], {"ł"})
        assert units_of_pieces("▁<0x41>", ["▁", "<0x41>"]) == (["▁", "<0x41>"], set())

    @pytest.mark.parametrize("pieces, vocab, missing, expected", [
        (["▁kot"], {}, (), 0),
        (["a", "b", "c", "d"], {}, (), 3),
        (["a", "b", "c", "d"], {"bc"}, (), 2),                # a (bc) d: the middle is free
        (["a", "b", "c", "d"], {"bc", "abcd"}, (), 1),
        (["a", "b", "c", "d"], {"ab", "cd"}, (), 1),          # only the root is new
        (["▁", "ł", "y"], {"▁ł"}, ("ł",), 2),                 # the character, then the root
    ])
    def test_interval_minimum(self, pieces, vocab, missing, expected):
        assert fewest_new_tokens(pieces, vocab, missing) == expected


# ---------------------------------------------------- small generated models

# Characters of the generated alphabets (one to four UTF-8 bytes), and
# characters no generated model has as a token of their own.
ALPHABET_POOL = "abcdeéñ日😀"
STRANGERS = "zß€🙂"


@st.composite
def small_bpe(draw):
    """(document, alphabet): a valid BPE document over a few characters, with
    random model flags; every merge's inputs and product are in the vocabulary,
    some pairs are repeated, and some character forms are missing."""
    alphabet = "".join(draw(st.lists(st.sampled_from(ALPHABET_POOL), min_size=1, max_size=5, unique=True)))
    prefix = draw(st.sampled_from([None, "##"]))
    suffix = draw(st.sampled_from([None, "</w>"]))
    unk = draw(st.sampled_from([None, "<unk>"]))
    flags = {"byte_fallback": draw(st.booleans()), "fuse_unk": draw(st.booleans()),
             "ignore_merges": draw(st.booleans())}
    tokens = {}  # ordered set

    for char in alphabet:
        forms = [char] + ([prefix + char] if prefix else [])
        forms += [f + suffix for f in forms] if suffix else []
        for form in forms:
            if draw(st.integers(0, 4)):
                tokens[form] = None
    if unk:
        tokens[unk] = None
    if flags["byte_fallback"]:
        candidates = sorted(set((alphabet + STRANGERS + "#").encode()))
        for byte in draw(st.lists(st.sampled_from(candidates), unique=True)):
            tokens[f"<0x{byte:02X}>"] = None
        if draw(st.booleans()):
            tokens["<0xc3>"] = None  # lower case: an ordinary token to the client

    # The client forms a merge's product as left + right without the prefix.
    strip = len(prefix or "")
    merges = []
    for _ in range(draw(st.integers(0, 12))):
        if merges and draw(st.integers(0, 4)) == 0:
            merges.append(draw(st.sampled_from(merges)))
            continue
        rights = [t for t in tokens if t.startswith(prefix) and len(t) > strip] if prefix else list(tokens)
        if not rights:
            break
        left, right = draw(st.sampled_from(list(tokens))), draw(st.sampled_from(rights))
        merges.append((left, right))
        tokens[left + right[strip:]] = None

    ids = draw(st.permutations(range(len(tokens))))
    vocab = dict(zip(tokens, ids))
    declared = draw(st.lists(st.sampled_from(sorted(vocab)), unique=True, max_size=2)) if vocab else []
    added = [{"id": vocab[t], "content": t, "single_word": False, "lstrip": False, "rstrip": False,
              "normalized": False, "special": True} for t in declared]
    doc = tokenizer_doc(vocab, merges, added, dropout=None, unk_token=unk,
                        continuing_subword_prefix=prefix, end_of_word_suffix=suffix, **flags)
    return doc, alphabet


def words_over(alphabet, min_size=0):
    return st.text(alphabet=alphabet + STRANGERS + "#<>", min_size=min_size, max_size=8)


class TestSmallTokenizers:
    @SMALL
    @given(small_bpe(), st.data())
    def test_tokenize_matches_the_client(self, case, data):
        doc, alphabet = case
        words = data.draw(st.lists(words_over(alphabet), max_size=15)) + list(doc["model"]["vocab"])
        editor = editor_of(doc)
        expected = client_pieces(client_of(editor), words)
        assert_same_pieces(words, editor.tokenize_batch(words), expected, "tokenize_batch")
        assert_same_pieces(words, [editor.tokenize(w) for w in words], expected, "tokenize")

    @SMALL
    @given(small_bpe())
    def test_unreachable_tokens_match_the_client(self, case):
        doc, _ = case
        editor = editor_of(doc)
        client = client_of(editor)
        expected = client_unreachable(client, doc["model"]["vocab"], client_exemptions(client))
        assert editor.unreachable_tokens() == expected

    @SMALL
    @given(small_bpe(), st.data())
    def test_reachable_additions(self, case, data):
        doc, alphabet = case
        words = data.draw(st.lists(st.text(alphabet=alphabet + STRANGERS, min_size=1, max_size=6),
                                   min_size=1, max_size=6, unique=True))
        editor = editor_of(doc)
        unreachable_before = {t for t, _, _ in editor.unreachable_tokens()}
        # Also ask for some of the model's own unreachable tokens to be made reachable.
        words += sorted(unreachable_before - set(words))[:3]
        vocab_before, merges_before = editor.get_vocab(), editor.get_merges()
        pieces_before = editor.tokenize_batch(words)

        results = editor.add_tokens_reachable(words)

        vocab, merges = editor.get_vocab(), editor.get_merges()
        client = client_of(editor)
        assert [r.token for r in results] == words
        assert [r.pieces for r in results] == pieces_before
        assert merges == merges_before + [m for r in results for m in r.added_merges]
        created = [t for r in results for t in r.added_tokens]
        assert len(created) == len(set(created))
        assert set(created) == set(vocab) - set(vocab_before)
        assert {t: vocab[t] for t in vocab_before} == vocab_before
        assert len(set(vocab.values())) == len(vocab)

        now = editor.tokenize_batch(words)
        assert_same_pieces(words, now, client_pieces(client, words), "requested words after the call")
        # A suffix is glued to the last character, so without ignore_merges no
        # word can come out as itself.
        always = not doc["model"]["end_of_word_suffix"] or doc["model"]["ignore_merges"]
        added = {t.content for t in client.get_added_tokens_decoder().values()}
        for r, pieces in zip(results, now):
            # An added token is matched whole in text whatever the model makes of it.
            assert r.reachable == (pieces == [r.token] or r.token in added)
            assert (r.reason is None) == r.reachable
            assert r.added == (r.token not in vocab_before and r.token in vocab)
            # The refusals: a character that would split an unknown token which
            # today comes out whole only because all of it is unknown, or break
            # a token that encodes as itself only because the character is dropped.
            refused = r.reason is not None and ("would split the unknown token" in r.reason
                                                or "only because that character is dropped" in r.reason)
            assert r.reachable or not always or refused, (r.token, r.pieces, r.reason)

        unreachable = client_unreachable(client, vocab, client_exemptions(client))
        assert editor.unreachable_tokens() == unreachable
        assert {t for t, _, _ in unreachable if t in vocab_before} <= unreachable_before


class TestReachableEdges:
    def test_empty_token_is_refused_and_adds_nothing(self, make_editor):
        editor = make_editor(["a", "b"])
        (r,) = editor.add_tokens_reachable([""])
        assert (r.added, r.reachable, r.pieces, r.added_tokens, r.added_merges) == (False, False, [], [], [])
        assert r.reason
        assert editor.get_vocab() == {"a": 0, "b": 1}

    def test_a_repeated_request_adds_nothing_the_second_time(self, make_editor):
        editor = make_editor(["a", "b"])
        first, second = editor.add_tokens_reachable(["ab", "ab"])
        assert (first.added_tokens, first.added_merges) == (["ab"], [("a", "b")])
        assert (second.reachable, second.added_tokens, second.added_merges) == (True, [], [])
        assert editor.get_merges() == [("a", "b")]

    def test_a_character_the_model_drops_is_not_added_under_a_token_that_needs_it_dropped(self, make_editor):
        # "##a" encodes as itself because "#" has no token and is dropped;
        # making "##aaa" reachable would need "#" and break "##a".
        editor = make_editor(["a", "##a", "##aa", "##aaa"], [("##a", "##a"), ("##a", "##aa")],
                             continuing_subword_prefix="##")
        assert editor.tokenize("##a") == ["##a"]
        (r,) = editor.add_tokens_reachable(["##aaa"])
        assert not r.reachable and "'#' would break the token '##a'" in r.reason
        assert r.added_tokens == [] and editor.get_vocab() == {"a": 0, "##a": 1, "##aa": 2, "##aaa": 3}
        assert editor.tokenize("##a") == ["##a"]

    def test_an_existing_unreachable_token_gets_merges_only(self, make_editor):
        # 'abc' is in the vocabulary, but "ab" + "c" has no merge.
        editor = make_editor(["a", "b", "c", "ab", "abc"], [("a", "b")])
        assert [t for t, _, _ in editor.unreachable_tokens()] == ["abc"]
        (r,) = editor.add_tokens_reachable(["abc"])
        assert (r.added, r.reachable, r.pieces, r.added_tokens, r.added_merges) == (
            False, True, ["ab", "c"], [], [("ab", "c")])
        assert editor.unreachable_tokens() == []

    def test_length_limit(self, make_editor):
        editor = make_editor(["a"])
        (r,) = editor.add_tokens_reachable(["b" * 8193])
        assert (r.added, r.reachable, r.added_tokens, r.added_merges) == (False, False, [], [])
        assert "8192" in r.reason and editor.get_vocab() == {"a": 0}
        (r,) = editor.add_tokens_reachable(["a" * 8192])
        assert r.reachable and editor.tokenize("a" * 8192) == ["a" * 8192]
        # Doubling: a, aa, aaaa, ... needs one new token per power of two.
        assert len(r.added_tokens) == 13

    def test_a_bare_string_is_not_a_list(self, small_editor):
        with pytest.raises(TypeError):
            small_editor.add_tokens_reachable("ab")
        assert small_editor.vocab_size == 5


class TestEncoderEdges:
    @pytest.mark.parametrize("vocab, merges, model, words", [
        # a repeated pair ranks where it last appears
        (["a", "b", "c", "ab", "bc"], [("a", "b"), ("b", "c"), ("a", "b")], {}, ["abc", "cab"]),
        # the product of a prefixed right side drops the prefix
        (["a", "##b", "##c", "ab", "##bc", "abc"], [("a", "##b"), ("##b", "##c"), ("ab", "##c")],
         {"continuing_subword_prefix": "##"}, ["abc", "cab", "bc", "##b", ""]),
        # byte fallback takes the bytes of the prefixed form; the rest is one fused unknown
        (["a", "b", "<unk>", "<0x7A>", "<0x23>", "<0xC3>", "<0xA9>"], [],
         {"unk_token": "<unk>", "fuse_unk": True, "byte_fallback": True, "continuing_subword_prefix": "##"},
         ["azxxéab", "éa", "xé"]),
        (["a", "<unk>"], [], {"unk_token": "<unk>", "fuse_unk": False}, ["axxa", "x"]),
        # ignore_merges answers from the vocabulary before any merge
        (["a", "b", "ab", "a</w>", "b</w>", "ab</w>"], [("a", "b</w>")],
         {"end_of_word_suffix": "</w>", "ignore_merges": True}, ["ab", "aab", "ab</w>", "ba"]),
        ([], [], {}, ["", "abc"]),
    ])
    def test_hand_made_models(self, vocab, merges, model, words):
        editor = editor_of(tokenizer_doc(vocab, merges, **model))
        expected = client_pieces(client_of(editor), words)
        assert_same_pieces(words, editor.tokenize_batch(words), expected, "tokenize_batch")
        assert_same_pieces(words, [editor.tokenize(w) for w in words], expected, "tokenize")

    def test_an_unknown_token_missing_from_the_vocabulary_fails_like_the_client(self, make_editor):
        editor = make_editor(["a", "b"], unk_token="<unk>")
        client = client_of(editor)
        assert editor.tokenize("ab") == client_pieces(client, ["ab"])[0] == ["a", "b"]
        with pytest.raises(Exception, match="not found in the vocabulary"):
            client.model.tokenize("az")
        with pytest.raises(ValueError, match="^Failed to tokenize: the unknown token '<unk>' is not in the vocab"):
            editor.tokenize("az")
        with pytest.raises(ValueError, match="^Failed to tokenize"):
            editor.tokenize_batch(["ab", "az"])

    def test_empty_inputs(self, small_editor):
        assert small_editor.tokenize("") == []
        assert small_editor.tokenize_batch([]) == []
        assert small_editor.tokenize_batch(["", "ab"]) == [[], ["ab"]]

    def test_a_bare_string_is_not_a_batch(self, small_editor):
        with pytest.raises(TypeError):
            small_editor.tokenize_batch("ab")


# ------------------------------------------------------- the real tokenizers

@pytest.fixture(scope="module", params=NAMES)
def loaded(request, corpus):
    """(name, editor, client of its to_json), unedited; tests leave them as they are."""
    name = request.param
    editor = quorvane.Quorvane(corpus[name])
    return name, editor, client_of(editor)


@pytest.mark.slow
class TestCorpusEncoder:
    def test_every_vocabulary_string(self, loaded):
        name, editor, client = loaded
        words = list(editor.get_vocab())
        assert_same_pieces(words, editor.tokenize_batch(words), client_pieces(client, words), name)

    def test_every_word_of_the_running_text(self, loaded, text_lines):
        name, editor, client = loaded
        words = pretokenized(client, [line for lines in text_lines.values() for line in lines])
        assert_same_pieces(words, editor.tokenize_batch(words), client_pieces(client, words), name)

    def test_unreachable_tokens(self, loaded):
        name, editor, client = loaded
        expected = client_unreachable(client, editor.get_vocab(), client_exemptions(client))
        found = editor.unreachable_tokens()
        missing = [e for e in expected if e not in found][:5]
        extra = [f for f in found if f not in expected][:5]
        assert found == expected, f"{name}: not reported {missing}; reported wrongly {extra}"


def random_words(prefix, count, seed, vocab):
    rng = random.Random(seed)
    words = set()
    while len(words) < count:
        word = prefix + "".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(4, 10)))
        if word not in vocab:
            words.add(word)
    return sorted(words)


@pytest.mark.slow
class TestCorpusEncoderAfterEdits:
    @pytest.mark.parametrize("name", ["llama2", "llama3"])
    def test_follows_each_edit(self, corpus, text_lines, name):
        editor = quorvane.Quorvane(corpus[name])
        original = tokenizers.Tokenizer.from_file(corpus[name])
        vocab = editor.get_vocab()
        rng = random.Random(11)
        probe = rng.sample(sorted(vocab), 3000)
        probe += rng.sample(pretokenized(original, text_lines["pl-heldout"]), 1000)
        editor.tokenize_batch(probe)  # whatever the encoder keeps is built before the edits

        def check(extra, what):
            editor.remove_invalid_merges()  # the client refuses a merge without its product
            words = probe + extra
            assert_same_pieces(words, editor.tokenize_batch(words),
                               client_pieces(client_of(editor), words), f"{name} after {what}")

        added = random_words("Ġ" if name in BYTE_LEVEL_NAMES else MARKER, 500, 5, vocab)
        editor.add_tokens(added)
        check(added, "add_tokens")
        exempt = client_exemptions(original)
        removed = [t for t in probe[:3000] if len(t) > 3 and not exempt(t)][:100]
        for token in removed:
            editor.remove_token(token)
        check(added, "remove_token")
        before = set(editor.get_vocab())
        editor.shrink(5000)
        check(added + sorted(before - set(editor.get_vocab())), "shrink")
        reachable = editor.add_tokens_reachable(added[:100] + removed[:50])
        check([r.token for r in reachable], "add_tokens_reachable")


@pytest.mark.slow
class TestCorpusReachableAdditions:
    @pytest.mark.parametrize("language", ["pl", "cs"])
    def test_words_of_running_text(self, corpus, loaded, text_lines, language):
        name, unedited, original = loaded
        lines = text_lines[f"{language}-train"]
        forms = {w: after_a_space(name, w) for w in ranked_words(lines, 2000, 2000)}
        requested = list(forms.values())
        vocab_before = unedited.get_vocab()
        bound = 0
        for word in requested:
            pieces, missing = units(original, word)
            bound += fewest_new_tokens(pieces, vocab_before, missing)
        unreachable_before = {t for t, _, _ in unedited.unreachable_tokens()}

        editor = quorvane.Quorvane(corpus[name])
        results = editor.add_tokens_reachable(requested)

        vocab = editor.get_vocab()
        assert [r.token for r in results] == requested
        unreached = [(r.token, r.pieces, r.reason) for r in results if not r.reachable]
        assert not unreached, f"{name}/{language}: {len(unreached)} not reachable, first {unreached[:3]}"
        assert all(t in vocab for r in results for t in r.added_tokens)
        new_entries = len(vocab) - len(vocab_before)
        assert new_entries <= 1.05 * bound, f"{name}/{language}: {new_entries} new entries, bound {bound}"

        client = client_of(editor)
        assert_same_pieces(requested, editor.tokenize_batch(requested), client_pieces(client, requested),
                           f"{name}/{language} requested words")
        expected = client_unreachable(client, vocab, client_exemptions(client))
        assert editor.unreachable_tokens() == expected
        broken = sorted({t for t, _, _ in expected if t in vocab_before} - unreachable_before)
        assert not broken, f"{name}/{language}: reachable before, not after: {broken[:10]}"

        # One word at a time, each word's new entries against the cheapest of
        # its own merge trees at its turn (a word that repeats a new string
        # may come in under it); the end state is the batch's.
        # The first 200 words: a call that moves added tokens rebuilds the
        # encoder, too slow to repeat 2,000 times on the larger tokenizers.
        one_by_one = quorvane.Quorvane(corpus[name])
        known, over = set(vocab_before), []
        for word in requested[:200]:
            pieces, missing = units_of_pieces(word, one_by_one.tokenize(word))
            fewest = fewest_new_tokens(pieces, known, missing)
            (r,) = one_by_one.add_tokens_reachable([word])
            if len(r.added_tokens) > fewest:
                over.append((word, pieces, fewest, r.added_tokens))
            known.update(r.added_tokens)
        assert len(over) <= 0.001 * len(requested), f"{name}/{language}: over the minimum: {over[:3]}"
        replayed = one_by_one.get_merges()
        assert replayed == editor.get_merges()[:len(replayed)]
        assert all(vocab.get(t) is not None for t in one_by_one.get_vocab())

        missed, looked_at = missed_in_running_text(client, forms, lines)
        assert len(missed) <= 0.001 * looked_at, (
            f"{name}/{language}: {len(missed)} of {looked_at} words not one token in running text; "
            f"first (word, context, client tokens): {missed[:5]}")
