"""The plan of `resize-embeddings` and of GGUF edits: which old row, or which
rule, each new id's embedding row comes from.

An id map (written by an editing subcommand with --id-map, or several composed
in order) says where every surviving token's row goes; the new rows are made
by the `--init` rule (`init_rules`) from the pieces the old tokenizer splits
the new token into, or are the mean of the old rows, or zeros. Nothing here
reads or writes weights: `embedding_writer` carries the plan out.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import quorvane

from quorvane_cli.cli.errors import CliError
from quorvane_cli.cli.jsonfile import read_json
from quorvane_cli.cli.output import show
from quorvane_cli.formats.init_rules import FROM_PIECES, NEEDS_MEAN

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

MAX_ID = 2**32 - 1

MEAN, ZEROS = -1, -2  # special sources; -3 - k is the k-th group of pieces


# The id map ------------------------------------------------------------------


@dataclass
class IdMap:
    """A checked id map: (old id, new id) per surviving row, removed and added tokens."""

    moves: list[tuple[int, int]]
    removed: list[tuple[str, int]]
    added: list[tuple[str, int]]

    def old_ids(self) -> list[int]:
        """The old tokenizer's ids, sorted: those that survived and those removed."""
        return sorted({old for old, _ in self.moves} | {old for _, old in self.removed})

    @property
    def highest_new_id(self) -> int:
        return max([new for _, new in self.moves] + [new for _, new in self.added], default=-1)


def _an_id(value: object, path: str, where: str) -> int:
    if type(value) is not int or not 0 <= value <= MAX_ID:
        raise CliError(f"{path}: {where}: {json.dumps(value)} is not an id (0 to {MAX_ID})")
    return value


def _entries(value: object, path: str, key: str) -> list[tuple[str, int]]:
    if not isinstance(value, list):
        raise CliError(f"{path}: {key!r} is not a list")
    entries = []
    for position, entry in enumerate(value):
        if not isinstance(entry, dict) or not isinstance(entry.get("token"), str):
            raise CliError(f"{path}: {key}[{position}] is not an object with a token and an id")
        entries.append((entry["token"], _an_id(entry.get("id"), path, f"{key}[{position}].id")))
    return entries


def _plain_moves(keys: list[str], targets: list[object]) -> list[tuple[int, int]] | None:
    """The moves of a map whose every target is one valid id, checked in bulk
    (a map of a large vocabulary has hundreds of thousands); None otherwise."""
    if not all(type(t) is int for t in targets):
        return None
    ids: list[int] = targets  # type: ignore[assignment]
    if ids and not 0 <= min(ids) <= max(ids) <= MAX_ID:
        return None
    if not all(len(k) <= 10 and k.isascii() and k.isdigit() for k in keys):
        return None
    olds = [int(k) for k in keys]
    if olds and max(olds) > MAX_ID:
        return None
    return list(zip(olds, ids))


def read_id_map(path: str) -> IdMap:
    """The id map in `path`, refused when it cannot describe one edit of one vocabulary."""
    return parse_id_map(read_json(path), path)


def parse_id_map(value: object, path: str) -> IdMap:
    """The id map `value` (the JSON read from `path`), checked as `read_id_map` says."""
    if not isinstance(value, dict) or not isinstance(value.get("old_to_new"), dict):
        raise CliError(f"{path}: not an id map (no 'old_to_new' object)")
    table = value["old_to_new"]
    moves = _plain_moves(list(table), list(table.values()))
    if moves is None:
        moves = []
        for key, target in table.items():
            if not (key.isascii() and key.isdigit()):
                raise CliError(f"{path}: old_to_new: key {key!r} is not an old id")
            old = _an_id(int(key), path, f"old_to_new key {key!r}")
            targets = target if isinstance(target, list) and target else [target]
            moves += [(old, _an_id(new, path, f"old_to_new[{key!r}]")) for new in targets]
    removed = _entries(value.get("removed", []), path, "removed")
    added = _entries(value.get("added", []), path, "added")

    check_targets(moves, path)
    named: dict[str, int] = {}
    for token, new in added:
        if named.setdefault(token, new) != new:
            raise CliError(f"{path}: added token {show(token)} has two new ids, {named[token]} and {new}")
    return IdMap(moves, removed, added)


def compose(first: IdMap, second: IdMap) -> IdMap:
    """The map of two edits made one after the other: `first`'s old ids to
    `second`'s new ones. A token the first edit added and the second kept is
    added; one the second removed that the first kept is removed, with its
    first old id; one the first added and the second removed never was."""
    later: dict[int, list[int]] = {}
    for mid, new in second.moves:
        later.setdefault(mid, []).append(new)
    earlier: dict[int, list[int]] = {}
    for old, mid in first.moves:
        earlier.setdefault(mid, []).append(old)
    moves = [(old, new) for old, mid in first.moves for new in later.get(mid, [])]
    removed = first.removed + [(token, old) for token, mid in second.removed for old in earlier.get(mid, [])]
    added = second.added + [(token, new) for token, mid in first.added for new in later.get(mid, [])]
    return IdMap(moves, removed, added)


def read_id_maps(paths: Sequence[str]) -> IdMap:
    """The id maps of edits made one after the other, composed into one."""
    id_map = read_id_map(paths[0])
    for path in paths[1:]:
        id_map = compose(id_map, read_id_map(path))
    check_targets(id_map.moves, " then ".join(paths))
    return id_map


def check_targets(moves: Sequence[tuple[int, int]], path: str) -> None:
    """Refuse two old rows moving to one new id: which one the token there means is unknown."""
    source: dict[int, int] = {}
    for old, new in moves:
        if source.setdefault(new, old) != old:
            raise CliError(f"{path}: new id {new} is given to old ids {source[new]} and {old}")


def carried_added_tokens(
    id_map: IdMap, old: dict[str, int], new: dict[str, int] | None
) -> list[tuple[int, int]]:
    """(old id, new id) of the added tokens that stand outside the model, which the
    map does not list: at the id loaders give them with the new tokenizer.json, or
    where they were when there is none; a token the new tokenizer lacks is dropped.
    `old` and `new` are the ids loaders give (modeldir.loader_ids)."""
    listed = set(id_map.old_ids())
    carried = []
    for content, old_id in old.items():
        if old_id in listed:
            continue
        new_id = old_id if new is None else new.get(content)
        if new_id is not None:
            carried.append((old_id, new_id))
    return carried


def check_against_tokenizer(
    id_map: IdMap, vocab: dict[str, int], map_path: str, tokenizer: str, outside: Iterable[int] = ()
) -> None:
    """Refuse a map made from another tokenizer than the model's (its old ids are
    the vocabulary's ids, and the ids of `outside`, the added tokens outside the
    model that an edit moved; its removed tokens had the ids it says)."""
    for token, old in id_map.removed:
        if vocab.get(token) != old:
            had = "is not in it" if token not in vocab else f"has id {vocab[token]} there"
            raise CliError(
                f"{map_path} was not made from {tokenizer}: removed token {show(token)} (id {old}) {had}"
            )
    ours, theirs = set(id_map.old_ids()), set(vocab.values())
    stray = sorted((ours - theirs - set(outside)) | (theirs - ours))
    if stray:
        side = "the map" if stray[0] in ours else tokenizer
        raise CliError(
            f"{map_path} was not made from {tokenizer}: only {side} has id {stray[0]} "
            "(MODEL_DIR must hold the tokenizer as it was before the edit)"
        )


# Where each new row comes from --------------------------------------------------


@dataclass
class RowPlan:
    """`source[i]` is the old row new row i copies, or MEAN, ZEROS, or -3 - k for
    the mean of the old rows `groups[k]` (a new token's pieces, repeats kept)."""

    source: npt.NDArray[np.int64]
    groups: list[list[int]]
    rule: str  # the --init rule that makes a group's row (init_rules)
    mean_ids: list[int]
    copied: int
    added: int  # rows of the map's added tokens not taken by a survivor
    from_pieces: int
    fell_back: int  # added rows that wanted pieces and got the mean
    unnamed: int  # rows no token names: gaps in the new ids and padding

    @property
    def new_rows(self) -> int:
        return len(self.source)

    @property
    def needs_mean(self) -> bool:
        """Whether making the rows takes the mean of the rows `mean_ids`: for a
        row that is that mean, or for a rule that also starts from it."""
        return bool((self.source == MEAN).any()) or (self.rule in NEEDS_MEAN and bool(self.groups))


def row_count(needed: int, rows: int | None, multiple: int | None) -> int:
    if rows is not None:
        if rows < needed:
            raise CliError(f"--rows {rows} is fewer than the {needed} rows the new ids need")
        return rows
    if multiple:
        return -(-needed // multiple) * multiple
    return needed


def plan_rows(
    id_map: IdMap,
    old_rows: int,
    init: str,
    new_rows: int,
    pieces: dict[str, list[int] | None],
    map_path: str,
    mean_ids: list[int],
) -> RowPlan:
    """Where each of `new_rows` rows comes from; `pieces` gives the old ids of each
    added token's pieces (None when it has none) for the rules that use them, and
    "mean" is that of the rows `mean_ids`."""
    import numpy as np

    moves = np.array(id_map.moves, dtype=np.int64).reshape(-1, 2)
    if len(moves) and moves[:, 0].max() >= old_rows:
        raise CliError(f"{map_path}: old id {moves[:, 0].max()} is beyond the embedding's {old_rows} rows")
    for token, old in id_map.removed:
        if old >= old_rows:
            raise CliError(f"{map_path}: removed token {show(token)} has old id {old}, "
                           f"beyond the embedding's {old_rows} rows")
    if mean_ids and mean_ids[-1] >= old_rows:
        raise CliError(f"the old tokenizer has id {mean_ids[-1]}, beyond the embedding's {old_rows} rows")
    fill = ZEROS if init == "zeros" else MEAN
    source = np.full(new_rows, fill, dtype=np.int64)
    named = np.zeros(new_rows, dtype=bool)
    source[moves[:, 1]] = moves[:, 0]
    named[moves[:, 1]] = True
    copied = int(named.sum())
    groups: list[list[int]] = []
    added = from_pieces = fell_back = 0
    for token, new in id_map.added:
        if named[new]:  # shares its id with a survivor (or an earlier added token)
            continue
        named[new] = True
        added += 1
        if init not in FROM_PIECES:
            continue
        ids = pieces.get(token)
        if ids is None:
            fell_back += 1
            continue
        source[new] = -3 - len(groups)
        groups.append(ids)
        from_pieces += 1
    unnamed_below = int((~named[: id_map.highest_new_id + 1]).sum())
    if unnamed_below > copied + added:
        raise CliError(
            f"{map_path}: the new ids leave {unnamed_below} of rows 0..{id_map.highest_new_id} to no token, "
            "more than the tokens have; close the gaps with `quorvane reindex` first"
        )
    return RowPlan(
        source, groups, init, mean_ids, copied, added, from_pieces, fell_back, new_rows - copied - added
    )


def added_tokens(doc: object) -> dict[str, int]:
    """Content -> id of a tokenizer.json document's added tokens."""
    entries = doc.get("added_tokens") if isinstance(doc, dict) else None
    if not isinstance(entries, list):
        return {}
    return {
        e["content"]: e["id"] for e in entries
        if isinstance(e, dict) and isinstance(e.get("content"), str)
        and type(e.get("id")) is int and 0 <= e["id"] <= MAX_ID
    }


def encode_pieces(
    editor: quorvane.Quorvane, vocab: dict[str, int], tokens: Sequence[str], whole: set[str], unknown: str | None
) -> dict[str, list[int] | None]:
    """The old ids of the pieces the old tokenizer encodes each token into; None for
    tokens in `whole` (added tokens, matched whole rather than built), and for
    those it cannot encode or encodes to the unknown token."""
    wanted = [token for token in dict.fromkeys(tokens) if token not in whole]
    try:
        encoded = editor.tokenize_batch(wanted)
    except ValueError:  # one word it cannot encode spoils the batch: go one by one
        encoded = []
        for token in wanted:
            try:
                encoded.append(editor.tokenize(token))
            except ValueError:
                encoded.append([])
    result: dict[str, list[int] | None] = {token: None for token in tokens}
    for token, pieces in zip(wanted, encoded):
        ids = [vocab.get(piece) for piece in pieces]
        if pieces and unknown not in pieces and all(i is not None for i in ids):
            result[token] = [i for i in ids if i is not None]
    return result

