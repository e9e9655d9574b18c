"""The id map written by `--id-map`: how every token's id changed in an edit.

    {"old_to_new": {"<old id>": <new id>, ...},
     "removed": [{"token": t, "id": <old id>}, ...],
     "added": [{"token": t, "id": <new id>}, ...]}

Both sides come from `get_vocab()`. Survivors are keyed by their old id as a
decimal string, in numeric order. A vocabulary may give one id to several
tokens; when such tokens end up with different ids, a JSON object cannot hold
one key twice, so that key maps to the sorted list of their new ids instead.
Added tokens that stand outside the model and that an edit moved (the
learning commands keep them where the `tokenizers` package numbers them)
are survivors too: their old id maps to their new one.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping


def build_id_map(
    before: Mapping[str, int], after: Mapping[str, int], moved: Iterable[tuple[str, int, int]] = ()
) -> dict[str, object]:
    """The id map between the vocabularies `before` and `after` an edit, with the
    (content, old id, new id) of the added tokens outside the model it moved."""
    new_ids: dict[int, set[int]] = {}
    for token, old_id in before.items():
        new_id = after.get(token)
        if new_id is not None:
            new_ids.setdefault(old_id, set()).add(new_id)
    for _, old_id, new_id in moved:
        new_ids.setdefault(old_id, set()).add(new_id)
    old_to_new: dict[str, int | list[int]] = {}
    for old_id in sorted(new_ids):
        targets = sorted(new_ids[old_id])
        old_to_new[str(old_id)] = targets[0] if len(targets) == 1 else targets

    removed = sorted((old_id, token) for token, old_id in before.items() if token not in after)
    added = sorted((new_id, token) for token, new_id in after.items() if token not in before)
    return {
        "old_to_new": old_to_new,
        "removed": [{"token": token, "id": token_id} for token_id, token in removed],
        "added": [{"token": token, "id": token_id} for token_id, token in added],
    }
