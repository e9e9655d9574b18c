"""Which vocabulary tokens no chain of merges builds from single characters.

A string is buildable when it is one character, or when some merge (a, b) with
a and b both buildable has the product a + b equal to it. One pass over the
merge list settles every merge whose inputs are already buildable, which in a
trained tokenizer is nearly all of them; a merge that has to wait is parked
under its first missing input and offered again when that input is built. A
merge is parked at most once per input, so the work stays linear in the number
of merges whatever their order.
"""

from __future__ import annotations

from collections.abc import Container, Iterable, Mapping


def buildable(merges: Iterable[tuple[str, str]]) -> set[str]:
    """The multi-character strings that the merges build from single characters."""
    built: set[str] = set()
    waiting: dict[str, list[tuple[str, str]]] = {}
    for merge in merges:
        pending = [merge]
        while pending:
            left, right = pending.pop()
            if len(left) != 1 and left not in built:
                waiting.setdefault(left, []).append((left, right))
            elif len(right) != 1 and right not in built:
                waiting.setdefault(right, []).append((left, right))
            else:
                product = left + right
                if product not in built:
                    built.add(product)
                    pending.extend(waiting.pop(product, ()))
    return built


def unreachable_tokens(
    vocab: Mapping[str, int], merges: Iterable[tuple[str, str]], exclude: Container[str] = ()
) -> list[tuple[str, int]]:
    """(token, id) of the vocabulary tokens that are not buildable, in id order.

    Tokens in `exclude` (special added tokens, which the tokenizer matches
    whole) are left out.
    """
    built = buildable(merges)
    found = [
        (token, token_id)
        for token, token_id in vocab.items()
        if len(token) != 1 and token not in built and token not in exclude
    ]
    found.sort(key=lambda entry: (entry[1], entry[0]))
    return found
