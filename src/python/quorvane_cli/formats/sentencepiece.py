"""SentencePiece model files (tokenizer.model, spiece.model, ...): read, and
written anew for an edited BPE tokenizer.

The file is a serialized `ModelProto`: its pieces (text, score, type) in id
order, then the trainer and normalizer specs, self-test samples and a
denormalizer spec. Reading parses the pieces and the two trainer settings that
matter here (the model type, byte fallback) and keeps every field's bytes;
writing puts new pieces where the old ones stood, drops the self-test samples
(they describe the old vocabulary) and copies every other field byte for byte.
A kept piece keeps its encoding, only its score changing.

SentencePiece's BPE differs from a tokenizer.json's: it has no merge list,
and merges any two adjacent symbols whose concatenation is a piece, the one
whose piece scores highest first (the leftmost among equals). So an edited
merge list is written as scores, each piece getting minus the rank of the
first merge that makes it, and `Divergence` finds the pieces where the two
rules can part: where SentencePiece could join a pair the merge list does
not list, or a piece has more than one merge. Only words that contain such a
piece can encode differently, and only those are encoded both ways.
"""

from __future__ import annotations

import heapq
import re
import struct
from collections.abc import Callable, Collection, Iterable, Mapping, Sequence
from dataclasses import dataclass

from quorvane_cli.cli.errors import CliError
from quorvane_cli.formats import protowire as wire

# SentencePiece.Type, as sentencepiece_model.proto numbers them.
NORMAL, UNKNOWN, CONTROL, USER_DEFINED, UNUSED, BYTE = 1, 2, 3, 4, 5, 6
TYPE_NAMES = {NORMAL: "NORMAL", UNKNOWN: "UNKNOWN", CONTROL: "CONTROL", USER_DEFINED: "USER_DEFINED",
              UNUSED: "UNUSED", BYTE: "BYTE"}
# The types SentencePiece's BPE joins symbols into; the others are never produced by merging.
MERGEABLE = frozenset({NORMAL, USER_DEFINED, UNUSED})
# TrainerSpec.ModelType.
UNIGRAM, BPE, WORD, CHAR = 1, 2, 3, 4
MODEL_TYPE_NAMES = {UNIGRAM: "Unigram", BPE: "BPE", WORD: "word", CHAR: "character"}

# Field numbers: ModelProto, SentencePiece, TrainerSpec.
_PIECES, _TRAINER_SPEC, _NORMALIZER_SPEC, _SELF_TEST_DATA, _DENORMALIZER_SPEC = 1, 2, 3, 4, 5
_SPECS = {_NORMALIZER_SPEC: "normalizer_spec", _SELF_TEST_DATA: "self_test_data", _DENORMALIZER_SPEC: "denormalizer_spec"}
_SAMPLES = 1  # SelfTestData.samples
_PIECE_TEXT, _PIECE_SCORE, _PIECE_TYPE = 1, 2, 3
_MODEL_TYPE, _BYTE_FALLBACK = 3, 35

# Scores are float32: minus a rank is exact up to 2**24.
MAX_RANK = 1 << 24
_BYTE_PIECE = re.compile(r"<0x[0-9A-F]{2}>")


@dataclass(frozen=True)
class Piece:
    """A piece: its text, score and type, and its message as read (empty for a new piece)."""

    text: str
    score: float
    type: int = NORMAL
    encoded: bytes = b""


@dataclass(frozen=True)
class Model:
    """A parsed SentencePiece model file: the pieces, two trainer settings, and
    the top-level fields of `data` for writing it again."""

    name: str
    data: bytes
    top: tuple[wire.Field, ...]
    pieces: tuple[Piece, ...]
    model_type: int
    byte_fallback: bool

    @property
    def kind(self) -> str:
        return MODEL_TYPE_NAMES.get(self.model_type, f"model type {self.model_type}")


def _piece(data: bytes, field: wire.Field, what: str) -> Piece:
    wire.expect(field, wire.LENGTH, what)
    text, score, kind = "", 0.0, NORMAL
    for inner in wire.fields(data, field.value_start, field.end, what):  # the last of a repeated field wins
        if inner.number == _PIECE_TEXT:
            text = wire.text(data, inner, what)
        elif inner.number == _PIECE_SCORE:
            score = wire.float32(data, inner, what)
        elif inner.number == _PIECE_TYPE:
            kind = wire.int32(inner, what)
            if kind not in TYPE_NAMES:
                raise wire.WireError(f"{what}: type {kind} at byte {inner.start} is not a piece type")
    return Piece(text, score, kind, data[field.value_start:field.end])


def parse(data: bytes, name: str) -> Model:
    """The model in `data`; `name` (the file) starts every error message.

    Raises CliError (a WireError) when the bytes are not a ModelProto.
    """
    top = wire.fields(data, 0, len(data), name)
    pieces: list[Piece] = []
    model_type, byte_fallback = UNIGRAM, False  # the proto's defaults
    for field in top:
        if field.number == _PIECES:
            pieces.append(_piece(data, field, f"{name}: pieces[{len(pieces)}]"))
        elif field.number == _TRAINER_SPEC:
            what = f"{name}: trainer_spec"
            wire.expect(field, wire.LENGTH, what)
            for inner in wire.fields(data, field.value_start, field.end, what):
                if inner.number == _MODEL_TYPE:
                    model_type = wire.int32(inner, what)
                elif inner.number == _BYTE_FALLBACK:
                    wire.expect(inner, wire.VARINT, what)
                    byte_fallback = inner.value != 0
        elif field.number in _SPECS:
            # Kept as they are (or dropped), but a file whose messages are broken is refused whole.
            what = f"{name}: {_SPECS[field.number]}"
            wire.expect(field, wire.LENGTH, what)
            for inner in wire.fields(data, field.value_start, field.end, what):
                if field.number == _SELF_TEST_DATA and inner.number == _SAMPLES:
                    wire.expect(inner, wire.LENGTH, what)
                    wire.fields(data, inner.value_start, inner.end, what)
    return Model(name, data, tuple(top), tuple(pieces), model_type, byte_fallback)


def read(path: str, name: str) -> Model:
    """The model in the file `path`, named `name` in errors."""
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as exc:
        raise CliError(f"{name}: cannot read: {exc.strerror or exc}") from None
    return parse(data, name)


def unusable(pieces: Sequence[Piece], byte_fallback: bool) -> str | None:
    """Why SentencePiece would refuse to load these pieces, or None: the rules
    it checks on loading (no empty or repeated piece, one unknown piece, byte
    pieces only with byte fallback)."""
    seen: set[str] = set()
    unknown = 0
    for index, piece in enumerate(pieces):
        if not piece.text:
            return f"piece {index} is empty"
        if piece.text in seen:
            return f"piece {index} ({piece.text!r}) is there twice"
        seen.add(piece.text)
        if piece.type == UNKNOWN:
            unknown += 1
        elif piece.type == BYTE and not byte_fallback:
            return f"piece {index} ({piece.text!r}) is a byte piece, but byte fallback is off"
    if unknown != 1:
        return "it has no unknown piece" if not unknown else f"it has {unknown} unknown pieces"
    return None


def check_usable(model: Model) -> None:
    """Refuse a model SentencePiece itself would refuse to load."""
    reason = unusable(model.pieces, model.byte_fallback)
    if reason is not None:
        raise CliError(f"{model.name}: not a usable SentencePiece model: {reason}")


def _encode_piece(piece: Piece) -> bytes:
    """The message of `piece`: a read piece's own fields with its score and type
    set (a field whose value is unchanged keeps its bytes); a new piece's three."""
    out = bytearray()
    if not piece.encoded:
        wire.put_bytes(out, _PIECE_TEXT, piece.text.encode("utf-8"))
        wire.put_float32(out, _PIECE_SCORE, piece.score)
        if piece.type != NORMAL:
            wire.put_int32(out, _PIECE_TYPE, piece.type)
        return bytes(out)
    data = piece.encoded
    found = wire.fields(data, 0, len(data), "piece")
    last = {field.number: field for field in found}
    wanted: dict[int, bytearray] = {}
    if piece.score != 0.0 or _PIECE_SCORE in last:  # absent means 0.0
        wire.put_float32(wanted.setdefault(_PIECE_SCORE, bytearray()), _PIECE_SCORE, piece.score)
    if piece.type != NORMAL or _PIECE_TYPE in last:  # absent means NORMAL
        wire.put_int32(wanted.setdefault(_PIECE_TYPE, bytearray()), _PIECE_TYPE, piece.type)
    for field in found:
        if field.number in (_PIECE_TEXT, _PIECE_SCORE, _PIECE_TYPE) and last[field.number] is not field:
            continue  # superseded by a later copy of the same field
        for number in sorted(n for n in wanted if n not in last and n < field.number):
            out += wanted.pop(number)  # a field the piece lacked, in number order
        kept = data[field.start:field.end]
        if field.number in wanted:
            new = wanted.pop(field.number)
            unchanged = (data[field.value_start:field.end] == struct.pack("<f", piece.score)
                         if field.number == _PIECE_SCORE else field.value == piece.type)
            kept = kept if unchanged else bytes(new)
        out += kept
    for number in sorted(wanted):
        out += wanted[number]
    return bytes(out)


def encode(model: Model, pieces: Iterable[Piece]) -> bytes:
    """The file `model` with `pieces` in place of its own and no self-test samples."""
    out = bytearray()
    written = False
    for field in model.top:
        if field.number == _PIECES:
            if not written:
                for piece in pieces:
                    wire.put_bytes(out, _PIECES, _encode_piece(piece))
                written = True
        elif field.number != _SELF_TEST_DATA:
            out += model.data[field.start:field.end]
    if not written:
        head = bytearray()
        for piece in pieces:
            wire.put_bytes(head, _PIECES, _encode_piece(piece))
        out[:0] = head
    return bytes(out)


# From an edited tokenizer ---------------------------------------------------------


@dataclass(frozen=True)
class Tokenizer:
    """What the pieces are made from: the edited tokenizer.json's model
    vocabulary, its merges in order, its added tokens (content -> special) and
    the model options a SentencePiece model has no room for."""

    vocab: Mapping[str, int]
    merges: Sequence[tuple[str, str]]
    added: Mapping[str, bool]
    affixes: bool = False  # a continuing_subword_prefix or end_of_word_suffix
    ignore_merges: bool = False


def new_pieces(model: Model, tokenizer: Tokenizer) -> tuple[list[Piece], str | None]:
    """The pieces of `tokenizer` for `model`'s file, and None; or [] and why it
    cannot be written as a SentencePiece model at all.

    A piece the old model had keeps its type; a new one is CONTROL or
    USER_DEFINED when it is a special or plain added token, BYTE when it names
    a byte and the model falls back to bytes, NORMAL otherwise. Pieces that a
    merge makes score minus the rank of their first merge; the other pieces
    SentencePiece may join into score below them all, in id order; pieces it
    never joins into keep their score (0 when new).
    """
    vocab = tokenizer.vocab
    if tokenizer.affixes:
        return [], "the tokenizer's model marks word-internal or word-final pieces, which SentencePiece cannot"
    ids = sorted(vocab.values())
    if ids != list(range(len(ids))):
        return [], "the ids have gaps or are shared, and a SentencePiece model numbers its pieces in order"
    if len(tokenizer.merges) + len(vocab) >= MAX_RANK:
        return [], f"{len(tokenizer.merges)} merges are more than float scores can order"
    old = {piece.text: piece for piece in model.pieces}
    rank: dict[str, int] = {}
    for position, (left, right) in enumerate(tokenizer.merges):
        rank.setdefault(left + right, position)
    unranked = len(tokenizer.merges)
    pieces: list[Piece] = []
    for text in sorted(vocab, key=vocab.__getitem__):
        before = old.get(text)
        if before is not None:
            kind = before.type
        elif text in tokenizer.added:
            kind = CONTROL if tokenizer.added[text] else USER_DEFINED
        elif model.byte_fallback and _BYTE_PIECE.fullmatch(text):
            kind = BYTE
        else:
            kind = NORMAL
        if kind in MERGEABLE and text in rank:
            score = -float(rank[text])
        elif kind in MERGEABLE and len(text) > 1:
            score = -float(unranked)
            unranked += 1
        else:
            score = before.score if before is not None else 0.0
        pieces.append(Piece(text, score, kind, before.encoded if before is not None else b""))
    reason = unusable(pieces, model.byte_fallback)
    return (pieces, None) if reason is None else ([], f"the edited vocabulary would not load: {reason}")


def sentencepiece_bpe(
    word: str, scores: Mapping[str, float], frozen: Callable[[str], list[tuple[str, bool]]],
    unused: Collection[str] = (),
) -> list[str]:
    """The symbols SentencePiece's BPE leaves of `word` before they are looked
    up: user-defined pieces (`frozen` cuts them out) stay whole, and adjacent
    symbols join while their concatenation is a piece of `scores`, the highest
    score first and the leftmost among equals; a piece of `unused` is split
    back into the pair that made it."""
    symbols: list[str] = []
    fixed: list[bool] = []
    for text, is_frozen in frozen(word):
        if is_frozen:
            symbols.append(text)
            fixed.append(True)
        else:
            symbols += text
            fixed += [False] * len(text)
    count = len(symbols)
    before = list(range(-1, count - 1))
    after = list(range(1, count + 1))
    if count:
        after[-1] = -1
    agenda: list[tuple[float, int, int, int]] = []
    made_of: dict[str, tuple[str, str]] = {}

    def consider(left: int, right: int) -> None:
        if left < 0 or right < 0 or fixed[left] or fixed[right]:
            return
        joined = symbols[left] + symbols[right]
        score = scores.get(joined)
        if score is None:
            return
        heapq.heappush(agenda, (-score, left, right, len(joined)))
        if joined in unused:
            made_of[joined] = (symbols[left], symbols[right])

    for index in range(1, count):
        consider(index - 1, index)
    while agenda:
        _, left, right, size = heapq.heappop(agenda)
        if not symbols[left] or not symbols[right] or len(symbols[left]) + len(symbols[right]) != size:
            continue  # one side has been joined to something else since
        symbols[left] += symbols[right]
        symbols[right] = ""
        after[left] = after[right]
        if after[right] >= 0:
            before[after[right]] = left
        consider(before[left], left)
        consider(left, after[left])
    result: list[str] = []

    def resegment(symbol: str) -> None:
        parts = made_of.get(symbol) if symbol in unused else None
        if parts is None:
            result.append(symbol)
        else:
            resegment(parts[0])
            resegment(parts[1])

    for symbol in symbols:
        if symbol:
            resegment(symbol)
    return result


@dataclass
class Difference:
    """How many of the words checked encode differently, and the first that does."""

    words: int = 0  # distinct words checked
    differing: int = 0
    first: tuple[str, list[str], list[str]] | None = None  # word, SentencePiece's pieces, tokenizer.json's


class Divergence:
    """Where SentencePiece's BPE over `pieces` can encode otherwise than the
    tokenizer's merge list, and the words on which it does.

    `risky` holds the pieces whose making differs: a piece SentencePiece can
    join from another pair than the one merge the list has for it, a piece
    with several merges (SentencePiece ranks them all alike), or a product of
    the list SentencePiece never joins into. Encoding a word joins only
    pieces that are substrings of it, so a word holding none of these (nor a
    user-defined piece, which SentencePiece keeps whole) encodes alike both
    ways; only the others are encoded with both rules.
    """

    def __init__(self, pieces: Sequence[Piece], tokenizer: Tokenizer) -> None:
        kinds = {piece.text: piece.type for piece in pieces}
        self.scores = {piece.text: piece.score for piece in pieces if piece.type in MERGEABLE}
        self.user_defined = {piece.text for piece in pieces if piece.type == USER_DEFINED}
        self.unused = {piece.text for piece in pieces if piece.type == UNUSED}
        # With ignore_merges a word that is a token is taken whole, which SentencePiece never does.
        self.every_word = tokenizer.ignore_merges
        made: dict[str, list[tuple[str, str]]] = {}
        for left, right in tokenizer.merges:
            made.setdefault(left + right, []).append((left, right))
        risky = {product for product, pairs in made.items() if len(pairs) > 1 or kinds.get(product) not in MERGEABLE}
        joinable = self.scores.keys()
        for text in joinable:
            listed = made.get(text, [])
            for cut in range(1, len(text)):
                left, right = text[:cut], text[cut:]
                if (len(left) == 1 or left in joinable) and (len(right) == 1 or right in joinable) and (
                        [(left, right)] != listed):
                    risky.add(text)
                    break
        self.risky = risky
        self._watch = risky | self.user_defined
        self._lengths = sorted({len(text) for text in self._watch})
        self._longest_user = max(map(len, self.user_defined), default=0)

    @property
    def exact(self) -> bool:
        """Whether every text encodes alike both ways."""
        return not self.risky and not self.every_word

    def _touched(self, word: str) -> bool:
        watch = self._watch
        return self.every_word or any(
            word[start:start + length] in watch for length in self._lengths for start in range(len(word) - length + 1)
        )

    def frozen(self, word: str) -> list[tuple[str, bool]]:
        """`word` cut into runs and the user-defined pieces SentencePiece matches
        whole (the longest at each position)."""
        if not self._longest_user:
            return [(word, False)]
        parts: list[tuple[str, bool]] = []
        start = position = 0
        while position < len(word):
            for length in range(min(self._longest_user, len(word) - position), 0, -1):
                if word[position:position + length] in self.user_defined:
                    if start < position:
                        parts.append((word[start:position], False))
                    parts.append((word[position:position + length], True))
                    position += length
                    start = position
                    break
            else:
                position += 1
        if start < len(word):
            parts.append((word[start:], False))
        return parts

    def check(
        self, words: Iterable[str], tokenize: Callable[[list[str]], list[list[str]]],
        advance: Callable[[int], None] = lambda done: None, batch: int = 4096,
    ) -> Difference:
        """Encode the words that can differ both ways; `tokenize` is the
        tokenizer's own encoder for a batch of words (Quorvane.tokenize_batch),
        given the runs between user-defined pieces, which it keeps whole as
        added tokens."""
        found = Difference()
        pending: list[str] = []

        def compare() -> None:
            cuts = [self.frozen(word) for word in pending]
            encoded = iter(tokenize([text for cut in cuts for text, whole in cut if not whole]))
            for word, cut in zip(pending, cuts):
                theirs = [piece for text, whole in cut for piece in ([text] if whole else next(encoded))]
                ours = sentencepiece_bpe(word, self.scores, self.frozen, self.unused)
                # Characters outside the vocabulary are never joined by the merge list, and both
                # fall back (to bytes or the unknown token) alike after joining: compare the rest.
                ours = [piece for piece in ours if piece in self.scores]
                theirs = [piece for piece in theirs if piece in self.scores]
                if ours != theirs:
                    found.differing += 1
                    if found.first is None:
                        found.first = (word, ours, theirs)
            pending.clear()
            advance(found.words)

        for word in words:
            found.words += 1
            if self._touched(word):
                pending.append(word)
                if len(pending) == batch:
                    compare()
        compare()
        return found
