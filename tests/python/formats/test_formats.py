"""The older tokenizer formats a model directory may hold, read and written
by quorvane_cli.formats: the protobuf wire format of a SentencePiece model,
SentencePiece's BPE rule, and vocab.json + merges.txt."""

import pytest

from quorvane_cli.cli.errors import CliError
from quorvane_cli.formats import protowire as wire
from quorvane_cli.formats import sentencepiece as sp
from quorvane_cli.formats import vocab_merges


def message(*parts):
    return b"".join(parts)


def string_field(number, text):
    out = bytearray()
    wire.put_bytes(out, number, text.encode() if isinstance(text, str) else text)
    return bytes(out)


def piece(text, score=0.0, kind=None, extra=b""):
    out = bytearray()
    wire.put_bytes(out, 1, text.encode())
    wire.put_float32(out, 2, score)
    if kind is not None:
        wire.put_int32(out, 3, kind)
    out += extra
    return string_field(1, bytes(out))


def trainer(model_type=sp.BPE, byte_fallback=False):
    out = bytearray()
    wire.put_int32(out, 3, model_type)
    if byte_fallback:
        wire.put_int32(out, 35, 1)
    return string_field(2, bytes(out))


NORMALIZER = string_field(3, string_field(1, "identity"))
SELF_TEST = string_field(4, string_field(1, string_field(1, "abc") + string_field(2, "a b c")))
EXTENSION = string_field(200, "kept")  # a field this reader does not know, inside a piece


def tiny_model(self_test=b""):
    """<unk> 0, <s> 1, a 2, b 3, ab 4 (score -1, with an unknown field), then the specs."""
    return message(piece("<unk>", 0.0, sp.UNKNOWN), piece("<s>", 0.0, sp.CONTROL), piece("a", -3.0),
                   piece("b", -4.0), piece("ab", -1.0, extra=EXTENSION), trainer(), NORMALIZER, self_test)


class TestWire:
    @pytest.mark.parametrize("data, message_part", [
        (b"\x0a", "runs past the end"),  # a length-delimited field without its length
        (b"\x0a\x05abc", "declares 5 bytes, but only 3 remain"),
        (b"\x0a" + b"\xff" * 9 + b"\x01", "declares"),  # 2**63 bytes: refused before any slicing
        (b"\x08" + b"\x80" * 10 + b"\x01", "longer than ten bytes"),
        (b"\x0b", "wire type 3"),  # a group
        (b"\x00\x01", "not a valid field number"),
        (b"\x15\x00\x00", "runs past the end"),  # a float cut short
        (piece("a") + b"\x12\x01", "declares 1 bytes, but only 0 remain"),
        (string_field(1, b"\x0a\x02\xc3\x28"), "not UTF-8"),
        (string_field(1, b"\x18\x09"), "type 9"),
        (string_field(1, b"\x10\x01"), "wire type 0, expected 5"),  # a score written as a varint
        (string_field(3, b"\x0a\x05ab"), "normalizer_spec"),
        (trainer()[:-1], "declares"),
    ])
    def test_corrupt_bytes_are_refused_with_the_place(self, data, message_part):
        with pytest.raises(CliError, match="^m: ") as raised:
            sp.parse(data, "m")
        assert message_part in str(raised.value)


class TestModelFile:
    def test_parse(self):
        model = sp.parse(tiny_model(SELF_TEST), "m")
        assert [(p.text, p.score, p.type) for p in model.pieces] == [
            ("<unk>", 0.0, sp.UNKNOWN), ("<s>", 0.0, sp.CONTROL), ("a", -3.0, sp.NORMAL), ("b", -4.0, sp.NORMAL),
            ("ab", -1.0, sp.NORMAL)]
        assert (model.model_type, model.byte_fallback, model.kind) == (sp.BPE, False, "BPE")
        sp.check_usable(model)

    def test_writing_the_same_pieces_gives_the_same_bytes_but_the_samples(self):
        model = sp.parse(tiny_model(SELF_TEST), "m")
        assert sp.encode(model, model.pieces) == tiny_model()

    def test_a_new_score_changes_only_its_bytes(self):
        model = sp.parse(tiny_model(), "m")
        rescored = [p if p.text != "ab" else sp.Piece("ab", -7.0, sp.NORMAL, p.encoded) for p in model.pieces]
        written = sp.parse(sp.encode(model, [*rescored, sp.Piece("ba", -8.0)]), "m")
        assert [(p.text, p.score) for p in written.pieces][-2:] == [("ab", -7.0), ("ba", -8.0)]
        assert written.pieces[4].encoded.endswith(EXTENSION)
        assert written.pieces[4].encoded.replace(b"\x00\x00\xe0\xc0", b"\x00\x00\x80\xbf") == model.pieces[4].encoded

    def test_a_type_or_score_the_piece_lacked_is_written_in_field_order(self):
        bare = string_field(1, string_field(1, "x"))  # score 0.0 and type NORMAL by default
        model = sp.parse(message(bare, trainer()), "m")
        assert sp.encode(model, model.pieces) == message(bare, trainer())
        changed = sp.encode(model, [sp.Piece("x", -2.0, sp.USER_DEFINED, model.pieces[0].encoded)])
        assert changed == message(piece("x", -2.0, sp.USER_DEFINED), trainer())

    @pytest.mark.parametrize("pieces, reason", [
        ([piece("a")], "no unknown piece"),
        ([piece("<unk>", kind=sp.UNKNOWN), piece("a"), piece("a")], "is there twice"),
        ([piece("<unk>", kind=sp.UNKNOWN), piece("<0x41>", kind=sp.BYTE)], "byte fallback is off"),
        ([piece("<unk>", kind=sp.UNKNOWN), piece("")], "is empty"),
    ])
    def test_models_sentencepiece_would_not_load(self, pieces, reason):
        with pytest.raises(CliError, match=reason):
            sp.check_usable(sp.parse(message(*pieces, trainer()), "m"))


def tokenizer(vocab, merges, added=(), **options):
    vocab = {token: i for i, token in enumerate(vocab)}
    return sp.Tokenizer(vocab, merges, {token: True for token in added}, **options)


class TestSentencePieceBpe:
    # ids: <unk> 0, a 1, b 2, c 3, ab 4, bc 5, abc 6
    VOCAB = ["<unk>", "a", "b", "c", "ab", "bc", "abc"]

    def pieces(self, merges, **options):
        model = sp.parse(message(piece("<unk>", kind=sp.UNKNOWN), trainer()), "m")
        pieces, reason = sp.new_pieces(model, tokenizer(self.VOCAB, merges, **options))
        assert reason is None
        return pieces

    def test_scores_follow_the_merge_list(self):
        pieces = self.pieces([("b", "c"), ("a", "b"), ("a", "bc")])
        assert {p.text: p.score for p in pieces} == {
            "<unk>": 0.0, "a": 0.0, "b": 0.0, "c": 0.0, "bc": 0.0, "ab": -1.0, "abc": -2.0}
        assert sp.sentencepiece_bpe("abcab", {p.text: p.score for p in pieces}, lambda w: [(w, False)]) == [
            "abc", "ab"]

    def test_ties_go_to_the_leftmost_pair(self):
        scores = {"ab": -1.0, "bc": -1.0}
        assert sp.sentencepiece_bpe("abc", scores, lambda w: [(w, False)]) == ["ab", "c"]

    def test_an_unused_piece_is_split_back(self):
        scores = {"ab": -1.0, "abc": -2.0}
        assert sp.sentencepiece_bpe("abc", scores, lambda w: [(w, False)], unused={"abc"}) == ["ab", "c"]

    @pytest.mark.parametrize("vocab, merges, risky", [
        (["<unk>", "a", "b", "c", "ab", "abc"], [("a", "b"), ("ab", "c")], set()),
        # SentencePiece could also join ab + c, which the list does not (and here never needs to).
        (VOCAB, [("b", "c"), ("a", "b"), ("a", "bc")], {"abc"}),
        # Two merges make abc: SentencePiece ranks them alike.
        (VOCAB, [("a", "b"), ("b", "c"), ("a", "bc"), ("ab", "c")], {"abc"}),
        # bc is in the vocabulary but no merge makes it.
        (VOCAB, [("a", "b"), ("ab", "c")], {"bc", "abc"}),
        # A merge making a control piece, which SentencePiece never joins into.
        (["<unk>", "a", "b", "ab"], [("a", "b")], {"ab"}),
    ])
    def test_divergence_finds_the_pieces_where_the_rules_part(self, vocab, merges, risky):
        added = ["ab"] if vocab == ["<unk>", "a", "b", "ab"] else []
        tok = tokenizer(vocab, merges, added)
        model = sp.parse(message(piece("<unk>", kind=sp.UNKNOWN), trainer()), "m")
        pieces, _ = sp.new_pieces(model, tok)
        divergence = sp.Divergence(pieces, tok)
        assert divergence.risky == risky and divergence.exact == (not risky)

    def test_only_words_with_a_risky_piece_are_encoded_both_ways(self):
        merges = [("a", "b"), ("ab", "c")]  # without b + c, which SentencePiece joins
        divergence = sp.Divergence(self.pieces(merges), tokenizer(self.VOCAB, merges))
        asked = []

        def tokenize(words):
            asked.extend(words)
            return [{"bc": ["b", "c"], "abc": ["abc"], "bca": ["b", "c", "a"]}[word] for word in words]

        found = divergence.check(["aa", "bc", "abc", "bca"], tokenize)
        assert asked == ["bc", "abc", "bca"]
        assert (found.words, found.differing, found.first) == (4, 2, ("bc", ["bc"], ["b", "c"]))

    def test_user_defined_pieces_stay_whole(self):
        vocab = [*self.VOCAB, "<t>"]
        merges = [("b", "c"), ("a", "b"), ("a", "bc")]
        model = sp.parse(message(piece("<unk>", kind=sp.UNKNOWN), trainer()), "m")
        tok = sp.Tokenizer({t: i for i, t in enumerate(vocab)}, merges, {"<t>": False})
        pieces, _ = sp.new_pieces(model, tok)
        assert pieces[-1].type == sp.USER_DEFINED
        divergence = sp.Divergence(pieces, tok)
        found = divergence.check(["a<t>bc"], lambda words: [{"a": ["a"], "bc": ["bc"]}[w] for w in words])
        assert (found.words, found.differing) == (1, 0)

    @pytest.mark.parametrize("vocab, options, reason", [
        ({"<unk>": 0, "a": 2}, {}, "gaps"),
        ({"<unk>": 0, "a": 0}, {}, "gaps"),
        ({"<unk>": 0, "a": 1}, {"affixes": True}, "word-internal"),
        ({"a": 0, "b": 1}, {}, "no unknown piece"),
    ])
    def test_what_a_sentencepiece_model_cannot_hold(self, vocab, options, reason):
        model = sp.parse(message(piece("<unk>", kind=sp.UNKNOWN), trainer()), "m")
        pieces, why = sp.new_pieces(model, sp.Tokenizer(vocab, [], {}, **options))
        assert pieces == [] and reason in why


class TestVocabMerges:
    @pytest.mark.parametrize("merge, reason", [
        (("a b", "c"), "whitespace"),
        (("a", "b\tc"), "whitespace"),
        (("a", "b\u3000"), "whitespace"),  # str.split() cuts there too
        (("a\r", "b"), "whitespace"),
        (("", "b"), "empty"),
        (("#version", "x"), "version line"),
    ])
    def test_merges_a_reader_would_split_wrongly(self, merge, reason):
        assert reason in vocab_merges.unwritable([("x", "y"), merge])
