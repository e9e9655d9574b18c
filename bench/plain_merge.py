"""A pure-Python merge of a source tokenizer into a target tokenizer.

The baseline the merge benchmark measures against, and the second opinion it
checks every answer with. It works on parsed tokenizer.json documents (dicts),
changes neither, and returns what `Quorvane.merge_from` leaves in the editor:

- the target's representation: ByteLevel when its pre_tokenizer has a
  ByteLevel part, otherwise the space marker of the first Replace of " " in its
  normalizer (depth first, object keys in UTF-8 byte order); NFC when the
  normalizer has an NFC part;
- every source token converted into it: byte-fallback tokens ("<0x41>") as
  their byte, ByteLevel sources read through the inverse of the byte table (a
  token that is a piece of a character is kept as bytes for a ByteLevel target
  and dropped for a marker target), other tokens read as text in which the
  source's marker (default "▁", an empty one stands for nothing) is a space;
- for a ByteLevel target, bridge tokens and merges that build each source
  token no source merge produces one character at a time;
- the kept tokens: the converted and bridge tokens, the target's protected
  tokens (single characters, <...>/[...] shapes, added-token contents, the
  unk token), then the target's own tokens by ascending id up to the limit;
- gap-free ids (kept target ids below N stay), added-token ids from N upward,
  and the merge list: bridge merges, converted source merges, target merges,
  each taken once and only when its inputs and product are kept.
"""

from __future__ import annotations

import unicodedata
from dataclasses import dataclass, field

# The target's representation is read the way the command-line tool reads it.
from quorvane_cli.commands.representation import contains_type, find_space_marker

DEFAULT_MARKER = "\u2581"
MAX_VOCAB_SIZE = 2**32 - 1

RESULT_FIELDS = (
    "initial_target_vocab_size", "source_vocab_size", "final_model_vocab_size", "final_vocab_size",
    "tokens_injected", "target_tokens_removed", "bridge_tokens_added", "bridge_merges_added",
    "source_merges_added", "target_merges_retained", "representation",
)


class MergeError(ValueError):
    """A merge that cannot be done; the message is the one quorvane gives."""


def _byte_level_table() -> list[str]:
    printable = {*range(33, 127), *range(161, 173), *range(174, 256)}
    extra = iter(range(256, 512))
    return [chr(b) if b in printable else chr(next(extra)) for b in range(256)]


BYTE_LEVEL_TABLE = _byte_level_table()  # byte -> the character that stands for it
BYTE_OF = {c: b for b, c in enumerate(BYTE_LEVEL_TABLE)}
HEX_DIGITS = "0123456789abcdefABCDEF"


def byte_fallback_value(token: str) -> int | None:
    """The byte of a byte-fallback token ("<0x41>"; also "<0x+F>" for 0x0F)."""
    raw = token.encode("utf-8")
    if len(raw) != 6 or not raw.startswith(b"<0x") or not raw.endswith(b">"):
        return None
    high, low = raw[3:5].decode("latin-1")
    if high == "+" and low in HEX_DIGITS:
        return int(low, 16)
    if high in HEX_DIGITS and low in HEX_DIGITS:
        return int(high + low, 16)
    return None


def is_special_shape(token: str) -> bool:
    return len(token) > 0 and ((token[0] == "[" and token[-1] == "]") or (token[0] == "<" and token[-1] == ">"))


def by_id(vocab: dict[str, int]) -> list[tuple[str, int]]:
    """Vocabulary entries by id ascending, ties by token bytes."""
    return sorted(vocab.items(), key=lambda entry: (entry[1], entry[0].encode("utf-8")))


@dataclass
class Representation:
    byte_level: bool
    marker: str  # meaningful only when not byte_level
    apply_nfc: bool

    @property
    def label(self) -> str:
        return "ByteLevel (\u0120)" if self.byte_level else f"space marker ({self.marker})"

    def encode(self, text: str) -> str:
        if self.byte_level:
            return "".join(BYTE_LEVEL_TABLE[b] for b in text.encode("utf-8"))
        return text.replace(" ", self.marker)


def detect_representation(target: dict) -> Representation:
    byte_level = contains_type(target.get("pre_tokenizer"), "ByteLevel")
    marker = find_space_marker(target.get("normalizer"))
    if not byte_level and marker is None:
        raise MergeError("Unsupported target: no ByteLevel pre-tokenizer or space marker found")
    return Representation(byte_level, marker or "", contains_type(target.get("normalizer"), "NFC"))


@dataclass
class Conversion:
    converted_tokens: list[str] = field(default_factory=list)  # distinct forms, first appearance first
    token_map: dict[str, str] = field(default_factory=dict)  # source token -> its form
    bridge_tokens: set[str] = field(default_factory=set)
    bridge_merges: list[tuple[str, str]] = field(default_factory=list)


def _convert_token(token: str, rep: Representation, source_marker: str, source_byte_level: bool) -> str | None:
    """The target form of one ordinary source token; None when it has none."""
    byte = byte_fallback_value(token)
    if byte is not None:
        return BYTE_LEVEL_TABLE[byte] if rep.byte_level else token
    if source_byte_level and all(c in BYTE_OF for c in token):
        try:
            text = bytes(BYTE_OF[c] for c in token).decode("utf-8")
        except UnicodeDecodeError:
            # A piece of a character: only a byte alphabet can spell it, and
            # there it is spelled as it already is.
            return token if rep.byte_level else None
    else:
        text = token.replace(source_marker, " ") if source_marker else token
    if rep.apply_nfc:
        text = unicodedata.normalize("NFC", text)
    return rep.encode(text)


def convert_source(source: dict, rep: Representation) -> Conversion:
    vocab = source["model"]["vocab"]
    specials = {
        e["content"] for e in source["added_tokens"]
        if isinstance(e, dict) and e.get("special") is True and isinstance(e.get("content"), str)
        and e["content"] in vocab
    }
    marker = find_space_marker(source.get("normalizer"))
    if marker is None:
        marker = DEFAULT_MARKER
    source_byte_level = contains_type(source.get("pre_tokenizer"), "ByteLevel")

    out = Conversion()
    seen: set[str] = set()
    order = [token for token, _ in by_id(vocab)]
    for token in order:
        if token in specials:
            continue
        form = _convert_token(token, rep, marker, source_byte_level)
        if form is None:
            continue
        if form not in seen:
            seen.add(form)
            out.converted_tokens.append(form)
        out.token_map[token] = form

    if rep.byte_level:
        _add_bridges(out, order, {left + right for left, right in source["model"]["merges"]})
    return out


def _add_bridges(conv: Conversion, order: list[str], products: set[str]) -> None:
    """Chains for the base tokens: converted tokens no source merge produces."""
    seen: set[tuple[str, str]] = set()
    for token in order:
        if token not in conv.token_map or token in products:
            continue
        form = conv.token_map[token]
        acc = form[:1]
        for ch in form[1:]:
            merge = (acc, ch)
            acc += ch
            conv.bridge_tokens.add(acc)
            if merge not in seen:
                seen.add(merge)
                conv.bridge_merges.append(merge)


@dataclass
class MergeOutput:
    vocab: dict[str, int]
    merges: list[list[str]]  # [left, right], as tokenizer.json writes them
    added_tokens: list  # the target's entries with their new ids
    result: dict  # RESULT_FIELDS -> value


def _added_only(target: dict, t0: dict[str, int]) -> list[str]:
    """Distinct added-token contents outside the model vocabulary, in entry order."""
    out: list[str] = []
    for entry in target["added_tokens"]:
        content = entry.get("content") if isinstance(entry, dict) else None
        if isinstance(content, str) and content not in t0 and content not in out:
            out.append(content)
    return out


def _protected(target: dict, t0: dict[str, int]) -> set[str]:
    contents = {
        e["content"] for e in target["added_tokens"] if isinstance(e, dict) and isinstance(e.get("content"), str)
    }
    unk = target["model"].get("unk_token")
    return {
        t for t in t0
        if len(t) == 1 or is_special_shape(t) or t in contents or (unk is not None and t == unk)
    }


def _assign_ids(kept: set[str], n: int, target_order: list[tuple[str, int]], conv: Conversion) -> dict[str, int]:
    """Kept target ids below n stay; every other kept token takes the lowest free id."""
    new: dict[str, int] = {}
    for token, old_id in target_order:
        if token in kept and old_id < n:
            new[token] = old_id
    used = set(new.values())
    free = iter([i for i in range(n) if i not in used])
    sequence = (conv.converted_tokens + sorted(conv.bridge_tokens, key=lambda s: s.encode("utf-8"))
                + [token for token, _ in target_order])
    for token in sequence:
        if token in kept and token not in new:
            next_id = next(free, None)
            if next_id is None:
                raise MergeError(f"No free model ID for token {token}")
            new[token] = next_id
    if len(new) != n or next(free, None) is not None:
        raise MergeError("Failed to assign a contiguous model vocabulary")
    return new


def _added_token_ids(target: dict, new: dict[str, int], n: int) -> tuple[list, int]:
    """Copies of the added_tokens entries with their new ids, and the complete size."""
    entries = [dict(e) if isinstance(e, dict) else e for e in target["added_tokens"]]
    given: dict[str, int] = {}
    complete = n
    for entry in entries:
        content = entry.get("content") if isinstance(entry, dict) else None
        if not isinstance(content, str):
            continue
        if content in new:
            entry["id"] = new[content]
        elif content in given:
            entry["id"] = given[content]
        else:
            given[content] = entry["id"] = complete
            complete += 1
    return entries, complete


def merge(target_doc: dict, source_doc: dict, max_vocab_size: int) -> MergeOutput:
    """Merges `source_doc` into a copy of `target_doc`'s model and added tokens."""
    if source_doc["model"].get("type") != "BPE" or target_doc["model"].get("type") != "BPE":
        raise MergeError("Only BPE tokenizers are supported")
    if not 1 <= max_vocab_size <= MAX_VOCAB_SIZE:
        raise MergeError(f"max_vocab_size must be between 1 and {MAX_VOCAB_SIZE}")
    rep = detect_representation(target_doc)
    conv = convert_source(source_doc, rep)

    t0: dict[str, int] = target_doc["model"]["vocab"]
    m0 = target_doc["model"]["merges"]
    added_only = _added_only(target_doc, t0)
    if len(added_only) >= max_vocab_size:
        raise MergeError("Added tokens alone exceed max_vocab_size")
    limit = max_vocab_size - len(added_only)

    derived = (set(conv.token_map.values()) | conv.bridge_tokens) - set(added_only)
    kept = derived | _protected(target_doc, t0)
    if len(kept) > limit:
        raise MergeError(f"Required converted and protected tokens ({len(kept)}) exceed model limit ({limit})")
    target_order = by_id(t0)
    for token, _ in target_order:
        if len(kept) == limit:
            break
        kept.add(token)
    n = len(kept)

    vocab = _assign_ids(kept, n, target_order, conv)
    added_tokens, complete = _added_token_ids(target_doc, vocab, n)

    merges: list[list[str]] = []
    accepted: set[tuple[str, str]] = set()

    def offer(left: str, right: str) -> int:
        if (left, right) in accepted or left not in kept or right not in kept or left + right not in kept:
            return 0
        accepted.add((left, right))
        merges.append([left, right])
        return 1

    bridge_merges = sum(offer(l, r) for l, r in conv.bridge_merges)
    token_map = conv.token_map
    source_merges = sum(
        offer(token_map[l], token_map[r])
        for l, r in source_doc["model"]["merges"]
        if l in token_map and r in token_map and l + r in token_map and token_map[l] + token_map[r] == token_map[l + r]
    )
    target_merges = sum(offer(l, r) for l, r in m0)

    result = {
        "initial_target_vocab_size": len(t0),
        "source_vocab_size": len(source_doc["model"]["vocab"]),
        "final_model_vocab_size": n,
        "final_vocab_size": complete,
        "tokens_injected": len(derived - t0.keys()),
        "target_tokens_removed": len(t0.keys() - kept),
        "bridge_tokens_added": len({b for b in conv.bridge_tokens if b in derived and b not in t0}),
        "bridge_merges_added": bridge_merges,
        "source_merges_added": source_merges,
        "target_merges_retained": target_merges,
        "representation": rep.label,
    }
    return MergeOutput(vocab, merges, added_tokens, result)
