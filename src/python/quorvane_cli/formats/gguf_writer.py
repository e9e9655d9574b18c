"""Writing an edited tokenizer back into a GGUF model, with its embedding rows.

The new file is written in the container's phases: the header; the metadata in
the source's order, every record copied byte for byte except the tokenizer's
arrays (tokens, token types, scores, merges), its special-token ids (which
follow the id map) and `{arch}.vocab_size`; the tensor directory; the data,
aligned as the source's. `token_embd.weight` and `output.weight` (absent when
the model ties them) follow the id map: surviving rows are copied as bytes,
new rows are made by --init in float32 from the dequantised rows and quantised
to the tensor's type, or, for types the `gguf` package cannot quantise, the
whole tensor is written as Q8_0. Every other tensor is copied file to file.

Memory is about one embedding matrix. The file is written under a temporary
name beside the target and renamed into place; on failure nothing is left.
"""

from __future__ import annotations

import contextlib
import json
import os
import struct
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, BinaryIO

import quorvane

from quorvane_cli.formats.embedding_plan import IdMap, encode_pieces, parse_id_map, plan_rows, MEAN, ZEROS, RowPlan
from quorvane_cli.cli.errors import CliError
from quorvane_cli.formats.init_rules import FROM_PIECES, INPUT, OUTPUT, row_from_pieces
from quorvane_cli.formats.gguf import (
    ARRAY, BYTE, CONTROL, EMBEDDINGS, FLOAT32, GGML_TYPES, INT32, NORMAL, Q8_0, SCALARS, STRING, USER_DEFINED, Gguf,
)
from quorvane_cli.cli.output import show
from quorvane_cli.cli.progress import Progress
from quorvane_cli.formats.safetensors_io import copy_range

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

# Types whose rows the gguf package quantises; ggml's names.
QUANTISABLE = ("F32", "F16", "BF16", "Q8_0", "Q4_0", "Q4_1", "Q5_0", "Q5_1")
BLOCK_ROWS = 4096  # rows dequantised at a time for a mean


@dataclass
class Written:
    """What writing a GGUF did, for the report."""

    tokens: int
    tensors: list[dict[str, object]] = field(default_factory=list)
    requantised: list[str] = field(default_factory=list)
    plan: RowPlan | None = None
    gaps_closed: int = 0  # gaps in the ids closed before writing
    moved: list[tuple[str, int, int]] = field(default_factory=list)  # added tokens the edit moved

    def lines(self) -> list[str]:
        lines = []
        if self.gaps_closed:
            lines.append(f"closed {self.gaps_closed} gaps in the ids first (a GGUF numbers its tokens densely)")
        lines += [f"{t['name']}: {t['old_rows']} -> {t['new_rows']} rows ({t['type']})" for t in self.tensors]
        if self.plan is not None:
            lines.append(f"rows: {self.plan.copied} copied, {self.plan.added} made for new tokens "
                         f"({self.plan.from_pieces} from their pieces)")
        for name in self.requantised:
            lines.append(f"{name}: its type cannot be quantised here, so the whole tensor is written as Q8_0")
        return lines

    def data(self) -> dict[str, object]:
        return {"tokens": self.tokens, "tensors": self.tensors, "requantised_as_q8_0": self.requantised,
                "gaps_closed": self.gaps_closed}


# Encoding metadata values ------------------------------------------------------


def _string(text: str) -> bytes:
    raw = text.encode("utf-8")
    return struct.pack("<Q", len(raw)) + raw


def _record(key: str, kind: int, value: Any) -> bytes:
    """One key-value record: the key, the value type, the value."""
    out = bytearray(_string(key))
    out += struct.pack("<I", kind)
    if kind == STRING:
        out += _string(value)
    elif kind == ARRAY:
        element, items = value
        out += struct.pack("<IQ", element, len(items))
        if element == STRING:
            out += b"".join(_string(item) for item in items)
        else:
            out += struct.pack(f"<{len(items)}{SCALARS[element]}", *items)
    else:
        out += struct.pack("<" + SCALARS[kind], value)
    return bytes(out)


# The tokenizer arrays ----------------------------------------------------------


def _scores(model: Gguf, document: dict[str, Any], tokens: list[str]) -> list[float]:
    """Scores that keep llama.cpp's merge order equal to the editor's: old tokens keep
    theirs, new ones score below all of them, in the order of their first merge."""
    old_tokens = model.array("tokenizer.ggml.tokens") or []
    old_scores = model.array("tokenizer.ggml.scores") or [0.0] * len(old_tokens)
    score = dict(zip(old_tokens, old_scores))
    floor = min(old_scores, default=0.0)
    rank: dict[str, int] = {}
    for left, right in document["model"]["merges"]:
        rank.setdefault(left + right, len(rank))
    new = sorted((t for t in tokens if t not in score), key=lambda t: rank.get(t, len(rank)))
    for position, token in enumerate(new):
        score[token] = floor - 1.0 - position
    return [float(score[token]) for token in tokens]


def _token_arrays(model: Gguf, document: dict[str, Any]) -> tuple[list[str], list[int]]:
    """Tokens by id and their types: added tokens are CONTROL (special) or
    USER_DEFINED, other tokens keep their old type, new ones are NORMAL (BYTE for
    <0xNN> in a SentencePiece model)."""
    vocab: dict[str, int] = document["model"]["vocab"]
    added = {entry["content"]: entry for entry in document.get("added_tokens") or []}
    by_id: dict[int, str] = {i: t for t, i in vocab.items()}
    for content, entry in added.items():
        by_id.setdefault(entry["id"], content)
    count = max(by_id, default=-1) + 1
    if len(by_id) != count:
        raise CliError("the edited tokenizer leaves gaps in its ids; a GGUF numbers its tokens densely")
    tokens = [by_id[i] for i in range(count)]
    old_tokens = model.array("tokenizer.ggml.tokens") or []
    old_types = model.array("tokenizer.ggml.token_type") or [NORMAL] * len(old_tokens)
    old_type = dict(zip(old_tokens, old_types))
    sentencepiece = model.model == "llama"
    types = []
    for token in tokens:
        entry = added.get(token)
        if entry is not None:
            types.append(CONTROL if entry.get("special") else USER_DEFINED)
        elif token in old_type and old_type[token] not in (CONTROL, USER_DEFINED):
            types.append(old_type[token])
        elif sentencepiece and len(token) == 6 and token.startswith("<0x") and token.endswith(">"):
            types.append(BYTE)
        else:
            types.append(NORMAL)
    return tokens, types


def _special_ids(model: Gguf, before: quorvane.Quorvane, editor: quorvane.Quorvane) -> dict[str, int]:
    """The special-token ids at the tokens' new ids; refused when the edit removed one."""
    moved = {}
    for key, old in model.special_ids().items():
        token = before.get_token_by_id(old)
        if token is None:  # names no token: kept as it is
            moved[key] = old
            continue
        new = editor.get_token_id(token)
        if new is None:
            name = key.removeprefix("tokenizer.ggml.").removesuffix("_token_id")
            raise CliError(f"the edit removes {show(token)}, the model's {name} token ({key}); nothing written")
        moved[key] = new
    return moved


def check_special_tokens(model: Gguf, before: quorvane.Quorvane, editor: quorvane.Quorvane) -> None:
    """Refuse an edit that removed a special token the model names."""
    _special_ids(model, before, editor)


# Rows --------------------------------------------------------------------------


def _quant_type(kind: int) -> Any:
    from gguf.constants import GGMLQuantizationType

    return GGMLQuantizationType(kind)


def _dequantise(rows: npt.NDArray[np.uint8], kind: int) -> npt.NDArray[np.float32]:
    import numpy as np
    from gguf.quants import dequantize

    return np.asarray(dequantize(rows, _quant_type(kind)), dtype=np.float32).reshape(len(rows), -1)


def _quantise(values: npt.NDArray[np.float32], kind: int) -> npt.NDArray[np.uint8]:
    import numpy as np
    from gguf.quants import quantize

    out = np.asarray(quantize(np.ascontiguousarray(values, dtype=np.float32), _quant_type(kind)))
    return out.view(np.uint8).reshape(len(values), -1)


def _mean(old: npt.NDArray[np.uint8], kind: int, ids: list[int]) -> npt.NDArray[np.float64]:
    import numpy as np

    total: npt.NDArray[np.float64] | None = None
    chosen = np.asarray(ids, dtype=np.int64)
    for first in range(0, len(chosen), BLOCK_ROWS):
        block = _dequantise(old[chosen[first:first + BLOCK_ROWS]], kind).astype(np.float64).sum(axis=0)
        total = block if total is None else total + block
    assert total is not None
    return total / max(len(chosen), 1)


def new_matrix(
    old: npt.NDArray[np.uint8], kind: int, plan: RowPlan, progress: Progress, name: str
) -> tuple[npt.NDArray[np.uint8], int]:
    """The rows of the edited matrix and their type: survivors copied as bytes, new
    rows made in float32 and quantised to `kind`, or everything as Q8_0 when
    `kind` cannot be quantised here."""
    import numpy as np

    source = plan.source
    made = np.flatnonzero(source < 0)
    target = kind if GGML_TYPES[kind] in QUANTISABLE else Q8_0
    mean = _mean(old, kind, plan.mean_ids) if plan.needs_mean else None
    values = np.zeros((len(made), _dequantise(old[:1], kind).shape[1]), dtype=np.float32)
    for row, new_id in enumerate(made):
        origin = int(source[new_id])
        if origin == MEAN:
            assert mean is not None
            values[row] = mean
        elif origin != ZEROS:
            pieces = _dequantise(old[plan.groups[-3 - origin]], kind).astype(np.float64)
            values[row] = row_from_pieces(pieces, plan.rule, OUTPUT if name == "output.weight" else INPUT, mean)
    if target == kind:
        width = old.shape[1]
        out: npt.NDArray[np.uint8] = np.empty((len(source), width), dtype=np.uint8)
        kept = source >= 0
        out[kept] = old[source[kept]]
        if len(made):
            out[made] = _quantise(values, kind)
        return out, target
    rows: list[npt.NDArray[np.uint8]] = []
    with progress.bar(f"writing {name} as Q8_0", len(source)) as advance:
        for first in range(0, len(source), BLOCK_ROWS):
            part = source[first:first + BLOCK_ROWS]
            floats = np.zeros((len(part), values.shape[1]), dtype=np.float32)
            kept = part >= 0
            floats[kept] = _dequantise(old[part[kept]], kind)
            rows.append(_quantise(floats, target))
            advance(len(part))
        out = np.concatenate(rows) if rows else np.empty((0, 0), dtype=np.uint8)
        if len(made):
            out[made] = _quantise(values, target)
    return out, target


def _read_rows(model: Gguf, name: str) -> tuple[npt.NDArray[np.uint8], int, tuple[int, ...]]:
    import numpy as np

    tensor = model.tensor(name)
    assert tensor is not None
    _, dims, kind, offset, nbytes = tensor
    with open(model.path, "rb") as file:
        file.seek(model.container["data_offset"] + offset)
        raw = file.read(nbytes)
    if len(raw) != nbytes:
        raise CliError(f"{model.path}: {name} ends early")
    return np.frombuffer(raw, dtype=np.uint8).reshape(dims[1], -1), kind, dims


# The file ----------------------------------------------------------------------


def _document(editor: quorvane.Quorvane) -> dict[str, Any]:
    document = json.loads(editor.to_json())
    assert isinstance(document, dict)
    return document


def id_map_of(editor: quorvane.Quorvane, before: quorvane.Quorvane) -> IdMap:
    """The edit's id map (old ids to new), as `--id-map` would write it."""
    return parse_id_map(json.loads(editor.id_map_json(before)), "the edit's id map")


def write_gguf(
    model: Gguf,
    before: quorvane.Quorvane,
    editor: quorvane.Quorvane,
    output: str,
    init: str,
    progress: Progress,
) -> Written:
    """Write `model` with the tokenizer of `editor` (an edit of `before`) to `output`."""
    import numpy as np

    document = _document(editor)
    tokens, types = _token_arrays(model, document)
    specials = _special_ids(model, before, editor)
    id_map = id_map_of(editor, before)
    vocab_before = before.get_vocab()
    new_rows = len(tokens)
    pieces: dict[str, list[int] | None] = {}
    if init in FROM_PIECES and id_map.added:
        progress.phase(f"encoding {len(id_map.added)} new tokens with the old tokenizer")
        added_contents = {e["content"] for e in document.get("added_tokens") or []}
        unk = document["model"].get("unk_token")
        pieces = encode_pieces(before, vocab_before, [t for t, _ in id_map.added], added_contents,
                               unk if isinstance(unk, str) else None)

    rewritten: dict[str, bytes] = {}
    arch = model.architecture
    for key, kind, value, _, _ in model.container["metadata"]:
        new_value: Any = None
        if key == "tokenizer.ggml.tokens":
            new_value = (STRING, tokens)
        elif key == "tokenizer.ggml.token_type":
            new_value = (INT32, types)
        elif key == "tokenizer.ggml.scores":
            new_value = (FLOAT32, _scores(model, document, tokens))
        elif key == "tokenizer.ggml.merges":
            new_value = (STRING, [f"{left} {right}" for left, right in document["model"]["merges"]])
        elif key in specials:
            new_value = specials[key]
        elif key == f"{arch}.vocab_size" and kind in SCALARS:
            new_value = new_rows
        if new_value is not None:
            rewritten[key] = _record(key, kind, new_value)

    written = Written(new_rows)
    resized: dict[str, Resized] = {}
    for name in EMBEDDINGS:
        tensor = model.tensor(name)
        if tensor is None:
            continue
        _, dims, kind, _, nbytes = tensor
        if len(dims) != 2:
            raise CliError(f"{model.path}: {name} has {len(dims)} dimensions, not 2")
        if written.plan is None:
            written.plan = plan_rows(id_map, dims[1], init, new_rows, pieces, "the edit's id map",
                                     sorted(vocab_before.values()))
        target = kind if GGML_TYPES.get(kind) in QUANTISABLE else Q8_0
        row_bytes = nbytes // max(dims[1], 1) if target == kind else dims[0] // 32 * 34
        resized[name] = Resized(name, kind, target, dims, row_bytes, written.plan)
        written.tensors.append({"name": name, "type": GGML_TYPES[target],
                                "old_rows": dims[1], "new_rows": new_rows, "width": dims[0]})
        if target != kind:
            written.requantised.append(name)
    if "token_embd.weight" not in resized:
        raise CliError(f"{model.path}: no token_embd.weight tensor to follow the edit")
    _write_file(model, rewritten, resized, output, progress)
    return written


@dataclass
class Resized:
    """An embedding tensor that follows the edit: its new type and row size are
    known up front, its rows are made only when the file reaches it, so that
    one matrix (old and new) is in memory at a time."""

    name: str
    kind: int
    target: int
    dims: tuple[int, ...]
    row_bytes: int
    plan: RowPlan

    @property
    def nbytes(self) -> int:
        return self.row_bytes * self.plan.new_rows

    def make(self, model: Gguf, progress: Progress) -> npt.NDArray[np.uint8]:
        progress.phase(f"reading {self.name}")
        old, _, _ = _read_rows(model, self.name)
        matrix, target = new_matrix(old, self.kind, self.plan, progress, self.name)
        assert target == self.target and matrix.nbytes == self.nbytes
        return matrix


@contextlib.contextmanager
def _staged(output: str) -> Iterator[BinaryIO]:
    """A file beside `output` that becomes it when the body succeeds, and is gone when not."""
    folder = os.path.dirname(os.path.abspath(output))
    handle, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(output)}.", suffix=".tmp", dir=folder)
    try:
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(handle, 0o666 & ~umask)  # as a file the user created, not mkstemp's private 0600
        with os.fdopen(handle, "wb") as target:
            yield target
        os.replace(temporary, output)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def _pad(target: BinaryIO, alignment: int) -> None:
    target.write(b"\0" * (-target.tell() % alignment))


def _write_file(
    model: Gguf, rewritten: dict[str, bytes], resized: dict[str, Resized], output: str, progress: Progress
) -> None:
    container = model.container
    alignment: int = container["alignment"]
    tensors = container["tensors"]
    progress.phase(f"writing {output}")
    with open(model.path, "rb") as source, _staged(output) as target:
        target.write(b"GGUF" + struct.pack("<IQQ", container["version"], len(tensors), len(container["metadata"])))
        for key, _, _, start, end in container["metadata"]:
            if key in rewritten:
                target.write(rewritten[key])
            else:
                source.seek(start)
                target.write(source.read(end - start))
        offset = 0
        for name, dims, kind, _, nbytes in tensors:
            if name in resized:
                kind, nbytes = resized[name].target, resized[name].nbytes
                dims = (dims[0], resized[name].plan.new_rows)
            target.write(_string(name) + struct.pack("<I", len(dims)))
            target.write(struct.pack(f"<{len(dims)}Q", *dims) + struct.pack("<IQ", kind, offset))
            offset += -(-nbytes // alignment) * alignment
        _pad(target, alignment)
        data_offset = container["data_offset"]
        with progress.bar(f"writing {output}", len(tensors)) as advance:
            for name, _, _, old_offset, nbytes in tensors:
                if name in resized:
                    target.write(resized[name].make(model, progress).data)
                else:
                    copy_range(source, target, data_offset + old_offset, nbytes)
                _pad(target, alignment)
                advance(1)
