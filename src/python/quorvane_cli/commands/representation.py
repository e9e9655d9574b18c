"""How a merge would see a tokenizer's token representation, read from the
document's raw `pre_tokenizer` and `normalizer` sections.

ByteLevel wins over a space marker; NFC is reported on its own. Objects are
searched in ascending key order and arrays in order, the first hit winning, so
that the answer matches what `Quorvane.merge_from` reports.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Mapping
from dataclasses import dataclass

BYTE_LEVEL_LABEL = "ByteLevel (\u0120)"
_BYTE_TOKEN = re.compile(r"<0x[0-9A-Fa-f]{2}>")


@dataclass(frozen=True)
class Representation:
    """`label` is "ByteLevel (Ġ)", "space marker (<marker>)" or None when neither applies."""

    label: str | None
    nfc: bool


def contains_type(value: object, name: str) -> bool:
    """True when `value` holds, at any depth, an object whose "type" is the string `name`."""
    if isinstance(value, dict):
        if value.get("type") == name:
            return True
        return any(contains_type(member, name) for member in value.values())
    if isinstance(value, list):
        return any(contains_type(element, name) for element in value)
    return False


def find_space_marker(value: object) -> str | None:
    """The "content" of the first Replace of the String pattern " " in `value`, if any.

    A Replace of " " whose content is not a string ends the search of that
    object: it supplies nothing and its other members are not looked at.
    """
    if isinstance(value, list):
        for element in value:
            marker = find_space_marker(element)
            if marker is not None:
                return marker
        return None
    if not isinstance(value, dict):
        return None
    pattern = value.get("pattern")
    if value.get("type") == "Replace" and isinstance(pattern, dict) and pattern.get("String") == " ":
        content = value.get("content")
        return content if isinstance(content, str) else None
    for key in sorted(value, key=lambda k: k.encode("utf-8", "surrogatepass")):  # byte order
        marker = find_space_marker(value[key])
        if marker is not None:
            return marker
    return None


def detect_representation(document: Mapping[str, object]) -> Representation:
    """The representation of the tokenizer `document` (a parsed tokenizer.json)."""
    normalizer = document.get("normalizer")
    nfc = contains_type(normalizer, "NFC")
    if contains_type(document.get("pre_tokenizer"), "ByteLevel"):
        return Representation(BYTE_LEVEL_LABEL, nfc)
    marker = find_space_marker(normalizer)
    return Representation(None if marker is None else f"space marker ({marker})", nfc)


def special_added_tokens(document: Mapping[str, object]) -> set[str]:
    """Contents of the document's added_tokens entries marked `"special": true`."""
    entries = document.get("added_tokens")
    if not isinstance(entries, list):
        return set()
    return {
        entry["content"]
        for entry in entries
        if isinstance(entry, dict) and entry.get("special") is True and isinstance(entry.get("content"), str)
    }


def byte_fallback_tokens(document: Mapping[str, object], vocab: Iterable[str]) -> set[str]:
    """The byte tokens "<0x00>" to "<0xFF>" of a model with byte fallback, which
    the model reaches through that fallback rather than through merges."""
    model = document.get("model")
    if not isinstance(model, dict) or model.get("byte_fallback") is not True:
        return set()
    return {token for token in vocab if _BYTE_TOKEN.fullmatch(token)}
