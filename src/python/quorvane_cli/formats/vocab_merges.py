"""vocab.json + merges.txt, the pair of files GPT-2-style slow tokenizers and
converters read a BPE model from: written anew from an edited tokenizer.json.

vocab.json maps each token of the model's vocabulary to its id (added tokens
outside the model stay in tokenizer_config.json and added_tokens.json).
merges.txt is a `#version: 0.2` line, then one merge a line, its two tokens
separated by one space, in merge order, ending in a newline. Readers split a
line at its spaces (or at any whitespace) and skip a first line starting with
"#version" (one reader any such line), so a merge whose tokens hold
whitespace, or whose left token starts with "#version", cannot be written: `unwritable` names the first.
"""

from __future__ import annotations

import json
from collections.abc import Mapping, Sequence

VOCAB = "vocab.json"
MERGES = "merges.txt"
HEADER = "#version: 0.2"


def unwritable(merges: Sequence[tuple[str, str]]) -> str | None:
    """Why `merges` cannot be written as merges.txt (naming the first merge that
    cannot), or None."""
    for position, (left, right) in enumerate(merges):
        shown = json.dumps([left, right], ensure_ascii=False)
        if not left or not right:
            return f"merge {position} {shown} has an empty token"
        if any(character.isspace() for character in left + right):
            return f"merge {position} {shown} has whitespace in a token, where readers split the line"
        if left.startswith("#version"):
            return f"merge {position} {shown} would be read as a version line and skipped"
    return None


def vocab_text(vocab: Mapping[str, int]) -> str:
    """vocab.json's text: the tokens in id order, one a line."""
    ordered = dict(sorted(vocab.items(), key=lambda item: item[1]))
    return json.dumps(ordered, ensure_ascii=False, indent=2) + "\n"


def merges_text(merges: Sequence[tuple[str, str]]) -> str:
    """merges.txt's text; the merges must have passed `unwritable`."""
    return "".join([HEADER, "\n", *(f"{left} {right}\n" for left, right in merges)])
