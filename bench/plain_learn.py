"""Careful pure-Python references for learning a vocabulary from text.

The baseline the extend and prune benchmarks measure against, and the second
opinion they check our answers with. Everything runs in one process on parsed
tokenizer.json documents (dicts), which it never changes:

- count_words: each non-blank line of the texts (plain, .xz, .gz; line endings
  and a leading byte-order mark dropped) normalised and pre-tokenized with the
  tokenizer's own `normalizer` and `pre_tokenizer` from the `tokenizers`
  package. A tokenizer with no pre_tokenizer whose normaliser writes the "▁"
  marker has as words the pieces of the normalised line cut before every "▁".
- Encoder: BPE with ranks, a merge given twice keeping the rank of its last
  occurrence; the lowest rank fires first, ties to the leftmost pair. It can
  report the merges that fired.
- train: continued BPE training from the current segmentation of each word;
  the pair with the highest count (ties: left token, then right token, smaller
  as UTF-8 bytes) is merged everywhere, left to right, and appended as a new
  merge with a new token. Pair counts are kept up to date per changed word, in
  a heap whose entries are upper bounds, refreshed when popped.
- prune_leaves: the leaves of the merge structure read from how every token's
  own string encodes, removed least used first (uses from the words' encodings,
  passed to the inputs of the last merge of a removed token).
- extended_document / pruned_document: the tokenizer.json that results.
"""

from __future__ import annotations

import gzip
import heapq
import io
import json
import lzma
import re
import time
from collections import Counter
from dataclasses import dataclass, field
from typing import Iterable, Iterator, Sequence

from plain_editor import is_special

MARKER = "\u2581"
BYTE_TOKEN = re.compile(r"<0x[0-9A-F]{2}>")
BEFORE_MARKER = re.compile(f"(?={MARKER})")


# Text.

def documents(path: str) -> Iterator[str]:
    """The non-blank lines of a text file, without line endings."""
    opener = lzma.open if path.endswith(".xz") else gzip.open if path.endswith(".gz") else open
    with opener(path, "rb") as raw:
        text = io.TextIOWrapper(raw, encoding="utf-8", newline="").read()
    text = text.removeprefix("\ufeff")
    for line in text.split("\n"):
        line = line.removesuffix("\r")
        if line and not line.isspace():
            yield line


def writes_marker(client) -> bool:
    """No pre_tokenizer, and the normaliser puts the marker for a space."""
    normalizer = client.normalizer
    return client.pre_tokenizer is None and normalizer is not None and MARKER in normalizer.normalize_str(" ")


def count_words(client, paths: Iterable[str]) -> dict[str, int]:
    """Word -> occurrences, words as the client's normaliser and pre-tokenizer cut them."""
    normalizer = client.normalizer
    pre_tokenizer = client.pre_tokenizer
    marker = writes_marker(client)
    counts: Counter[str] = Counter()
    for path in paths:
        for line in documents(path):
            text = normalizer.normalize_str(line) if normalizer is not None else line
            if pre_tokenizer is not None:
                counts.update(piece for piece, _ in pre_tokenizer.pre_tokenize_str(text))
            elif marker:
                counts.update(piece for piece in BEFORE_MARKER.split(text) if piece)
            else:
                counts[text] += 1
    return dict(counts)


# Encoding.

def merge_pairs(model: dict) -> list[tuple[str, str]]:
    """The merge list as pairs, whether written as [left, right] or "left right"."""
    out = []
    for merge in model["merges"]:
        if isinstance(merge, str):
            parts = merge.split(" ")
            if len(parts) != 2:
                raise ValueError(f"merge {merge!r} is not two tokens")
            out.append((parts[0], parts[1]))
        else:
            out.append((merge[0], merge[1]))
    return out


class Encoder:
    """The client's BPE word encoding, on token strings."""

    def __init__(self, doc: dict) -> None:
        model = doc["model"]
        if model.get("continuing_subword_prefix") or model.get("end_of_word_suffix"):
            raise ValueError("subword prefixes and word suffixes are not modelled")
        self.vocab: dict[str, int] = model["vocab"]
        self.merges = merge_pairs(model)
        # A pair given twice keeps its last rank, as the client's map does.
        self.ranks = {pair: rank for rank, pair in enumerate(self.merges)}
        self.unk = model.get("unk_token")
        self.byte_fallback = bool(model.get("byte_fallback"))
        self.fuse_unk = bool(model.get("fuse_unk"))
        self.ignore_merges = bool(model.get("ignore_merges"))
        self._cache: dict[str, list[str]] = {}

    def symbols(self, word: str) -> list[str]:
        """The characters of the word as tokens, before any merge."""
        vocab = self.vocab
        out: list[str] = []
        last_unk = False
        for c in word:
            if c in vocab:
                out.append(c)
                last_unk = False
                continue
            if self.byte_fallback:
                codes = [f"<0x{b:02X}>" for b in c.encode()]
                if all(code in vocab for code in codes):
                    out += codes
                    last_unk = False
                    continue
            if self.unk is None:
                continue  # the client drops a character it has no token for
            if not (self.fuse_unk and last_unk):
                out.append(self.unk)
            last_unk = True
        return out

    def _merge(self, parts: list[str], fired: list[tuple[str, str]] | None) -> list[str]:
        ranks = self.ranks
        get = ranks.get
        while len(parts) > 1:
            best = None
            at = 0
            for i in range(len(parts) - 1):
                rank = get((parts[i], parts[i + 1]))
                if rank is not None and (best is None or rank < best):
                    best, at = rank, i
            if best is None:
                break
            left, right = parts[at], parts[at + 1]
            if fired is not None:
                fired.append((left, right))
            parts[at:at + 2] = [left + right]
        return parts

    def encode(self, word: str) -> list[str]:
        pieces = self._cache.get(word)
        if pieces is None:
            if self.ignore_merges and word in self.vocab:
                pieces = [word]
            else:
                pieces = self._merge(self.symbols(word), None)
            self._cache[word] = pieces
        return pieces

    def encode_fired(self, word: str) -> tuple[list[str], list[tuple[str, str]]]:
        """The pieces and the merges that fired, in firing order."""
        if self.ignore_merges and word in self.vocab:
            return [word], []
        fired: list[tuple[str, str]] = []
        return self._merge(self.symbols(word), fired), fired


def protected_tokens(doc: dict) -> set[str]:
    """Strings no learning step builds from or removes (besides byte tokens and special shapes)."""
    out = {e["content"] for e in doc.get("added_tokens") or () if isinstance(e, dict) and "content" in e}
    unk = doc["model"].get("unk_token")
    if unk is not None:
        out.add(unk)
    return out


def frozen(token: str, protected: set[str]) -> bool:
    return token in protected or is_special(token) or BYTE_TOKEN.fullmatch(token) is not None


def next_free_id(doc: dict) -> int:
    used = set(doc["model"]["vocab"].values())
    used.update(e["id"] for e in doc.get("added_tokens") or () if isinstance(e, dict) and type(e.get("id")) is int)
    return max(used) + 1 if used else 0


def outside_entries(doc: dict, vocab: dict[str, int]) -> list[dict]:
    """Added-token entries whose content is not a model token."""
    return [e for e in doc.get("added_tokens") or ()
            if isinstance(e, dict) and isinstance(e.get("content"), str) and e["content"] not in vocab]


def dense(vocab: dict[str, int]) -> bool:
    return sorted(vocab.values()) == list(range(len(vocab)))


def renumber_outside(doc: dict, vocab: dict[str, int]) -> list[dict]:
    """The added tokens outside the model numbered from its size, in entry order, as the
    tokenizers package numbers them whatever the file says."""
    ids: dict[str, int] = {}
    entries = []
    for e in doc.get("added_tokens") or ():
        if isinstance(e, dict) and isinstance(e.get("content"), str) and e["content"] not in vocab:
            e = {**e, "id": ids.setdefault(e["content"], len(vocab) + len(ids))}
        entries.append(e)
    return entries


def places_after_model(doc: dict) -> bool:
    """Whether new tokens go right after a dense model, the added tokens beside it
    moving up behind them."""
    vocab = doc["model"]["vocab"]
    return dense(vocab) and bool(outside_entries(doc, vocab))


def first_new_id(doc: dict) -> int:
    return len(doc["model"]["vocab"]) if places_after_model(doc) else next_free_id(doc)


# Continued training.

@dataclass
class Training:
    merges: list[tuple[str, str, int]] = field(default_factory=list)  # left, right, count when merged
    counts: dict[tuple[str, str], int] = field(default_factory=dict)  # pair counts when training stopped
    stopped: str = ""  # why it ended before the requested count ("" when it did not)
    unreachable: list[tuple[str, str, int]] = field(default_factory=list)  # pairs passed over: product not alone
    seconds_segment: float = 0.0


def train(doc: dict, words: dict[str, int], count: int, *, marker: bool, max_token_length: int = 0,
          min_frequency: int = 2, encoder: Encoder | None = None) -> Training:
    start = time.perf_counter()
    encoder = encoder or Encoder(doc)
    vocab = set(doc["model"]["vocab"])
    protected = protected_tokens(doc)
    items = sorted(words.items())
    seqs = [list(encoder.encode(w)) for w, _ in items]
    freq = [n for _, n in items]
    result = Training()
    result.seconds_segment = time.perf_counter() - start

    counts: dict[tuple[str, str], int] = {}
    where: dict[tuple[str, str], set[int]] = {}
    for i, seq in enumerate(seqs):
        n = freq[i]
        for pair in zip(seq, seq[1:]):
            counts[pair] = counts.get(pair, 0) + n
            where.setdefault(pair, set()).add(i)

    def eligible(left: str, right: str) -> bool:
        if frozen(left, protected) or frozen(right, protected):
            return False
        product = left + right
        if marker and MARKER in product[1:]:
            return False
        return not (max_token_length and len(product) > max_token_length)

    learned: dict[tuple[str, str], int] = {}  # rank among the learned merges
    dead: set[tuple[str, str]] = set()

    def encodes_alone(left: str, right: str) -> bool:
        """Whether the product, encoded by the tokenizer with this merge appended, is one token.

        A word can reach a pair from other pieces than the product's own string
        gives; such a token would appear in text but never on its own."""
        parts = list(encoder.encode(left + right))
        candidate = len(learned)
        while len(parts) > 1:
            best = None
            at = 0
            for i in range(len(parts) - 1):
                pair = (parts[i], parts[i + 1])
                rank = candidate if pair == (left, right) else learned.get(pair)
                if rank is not None and (best is None or rank < best):
                    best, at = rank, i
            if best is None:
                return False
            if best == candidate:
                return len(parts) == 2
            parts[at:at + 2] = [parts[at] + parts[at + 1]]
        return False

    heap = [(-c, l.encode(), r.encode(), l, r) for (l, r), c in counts.items() if eligible(l, r)]
    heapq.heapify(heap)
    while len(result.merges) < count:
        if not heap:
            result.stopped = "no pair left"
            break
        stored, _, _, left, right = heapq.heappop(heap)
        pair = (left, right)
        now = counts.get(pair, 0)
        if now != -stored:  # counts only fall except for new pairs, which get fresh entries
            if now > 0:
                heapq.heappush(heap, (-now, left.encode(), right.encode(), left, right))
            continue
        product = left + right
        if product in vocab:
            continue  # dead: the product is a token already
        if now < min_frequency:
            result.stopped = f"best pair occurs {now} < {min_frequency} times"
            break
        if pair in dead:
            continue
        if not encodes_alone(left, right):
            dead.add(pair)  # only this pair: another with the same product may still encode alone
            result.unreachable.append((left, right, now))
            continue
        vocab.add(product)
        learned[pair] = len(learned)
        result.merges.append((left, right, now))
        grown: set[tuple[str, str]] = set()
        for i in where.pop(pair, ()):
            seq = seqs[i]
            merged: list[str] = []
            k = 0
            hit = False
            while k < len(seq):
                if k + 1 < len(seq) and seq[k] == left and seq[k + 1] == right:
                    merged.append(product)
                    k += 2
                    hit = True
                else:
                    merged.append(seq[k])
                    k += 1
            if not hit:
                continue
            n = freq[i]
            for p in zip(seq, seq[1:]):
                counts[p] -= n
            for p in zip(merged, merged[1:]):
                counts[p] = counts.get(p, 0) + n
                if product in p:
                    where.setdefault(p, set()).add(i)
                    grown.add(p)
            seqs[i] = merged
        counts.pop(pair, None)
        for l, r in grown:
            if eligible(l, r):
                heapq.heappush(heap, (-counts[(l, r)], l.encode(), r.encode(), l, r))
    result.counts = {p: c for p, c in counts.items() if c > 0}
    return result


def extended_document(doc: dict, merges: Sequence[tuple[str, str, int]]) -> dict:
    """A copy of the document with the learned merges appended and their products given new ids."""
    out = dict(doc)
    model = dict(doc["model"])
    vocab = dict(model["vocab"])
    place = places_after_model(doc)
    next_id = first_new_id(doc)
    strings = bool(model["merges"]) and isinstance(model["merges"][0], str)
    new = list(model["merges"])
    for left, right, _ in merges:
        vocab[left + right] = next_id
        next_id += 1
        new.append(f"{left} {right}" if strings else [left, right])
    model["vocab"] = vocab
    model["merges"] = new
    out["model"] = model
    if place and merges:
        out["added_tokens"] = renumber_outside(doc, vocab)
    return out


# Pruning.

@dataclass
class Structure:
    """How each token's own string encodes: the tokens it uses and its last merge."""
    uses: dict[str, set[str]]
    users: dict[str, int]
    last: dict[str, tuple[str, str]]  # only for tokens that encode to themselves with a merge


def structure(encoder: Encoder) -> Structure:
    uses: dict[str, set[str]] = {}
    users: dict[str, int] = dict.fromkeys(encoder.vocab, 0)
    last: dict[str, tuple[str, str]] = {}
    for token in encoder.vocab:
        pieces, fired = encoder.encode_fired(token)
        inputs = {t for pair in fired for t in pair}
        uses[token] = inputs
        for t in inputs:
            users[t] += 1
        if fired and pieces == [token]:
            last[token] = fired[-1]
    return Structure(uses, users, last)


def prune_leaves(doc: dict, count: int, *, words: dict[str, int] | None = None,
                 keep: Iterable[str] = (), encoder: Encoder | None = None) -> list[str]:
    """The tokens to remove, in the order they go."""
    encoder = encoder or Encoder(doc)
    vocab = encoder.vocab
    protected = protected_tokens(doc) | set(keep)
    s = structure(encoder)
    users = s.users
    use: Counter[str] = Counter()
    if words:
        for word, n in words.items():
            for piece in encoder.encode(word):
                use[piece] += n

    def removable(token: str) -> bool:
        return len(token) > 1 and not frozen(token, protected)

    heap = [(use[t], -vocab[t], t) for t, n in users.items() if n == 0 and removable(t)]
    heapq.heapify(heap)
    gone: set[str] = set()
    order: list[str] = []
    while len(order) < count and heap:
        u, _, token = heapq.heappop(heap)
        if token in gone or u != use[token]:
            continue  # use only grows; the entry with the current use is still queued
        gone.add(token)
        order.append(token)
        for t in s.uses[token]:
            users[t] -= 1
            if users[t] == 0 and removable(t) and t not in gone:
                heapq.heappush(heap, (use[t], -vocab[t], t))
        if words and token in s.last and use[token]:
            for t in s.last[token]:
                use[t] += use[token]
                if users[t] == 0 and removable(t) and t not in gone:
                    heapq.heappush(heap, (use[t], -vocab[t], t))
    return order


def pruned_document(doc: dict, removed: Iterable[str]) -> tuple[dict, dict[int, int]]:
    """A copy without the tokens and every merge that has one as input or product, ids
    closed up in id order, the added tokens outside the model numbered right after it;
    and the map old id -> new id of the model tokens."""
    gone = set(removed)
    model = dict(doc["model"])
    strings = bool(model["merges"]) and isinstance(model["merges"][0], str)
    kept = sorted(((t, i) for t, i in model["vocab"].items() if t not in gone),
                  key=lambda e: (e[1], e[0].encode()))
    vocab = {t: n for n, (t, _) in enumerate(kept)}
    id_map = {i: n for n, (_, i) in enumerate(kept)}
    merges = [m for m, (l, r) in zip(model["merges"], merge_pairs(model))
              if l not in gone and r not in gone and l + r not in gone]
    model["vocab"] = vocab
    model["merges"] = merges if strings or not merges else [list(m) for m in merges]
    out = dict(doc)
    out["model"] = model
    out["added_tokens"] = renumber_outside(doc, vocab)
    return out, id_map


def write(doc: dict, path: str) -> None:
    with open(path, "w", encoding="utf-8") as f:
        json.dump(doc, f, ensure_ascii=False, indent=2)
