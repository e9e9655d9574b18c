"""`resize-embeddings`: cut and extend a model's embedding matrices to follow an
id map written by an editing subcommand.

Every new id gets one row: the old row of the token that moved there, or a row
made for it (`--init`, the rules of `init_rules`): the mean of the rows of the
old tokenizer's ids ("mean"), zeros, or a row made from the rows of the
pieces the old tokenizer encodes the new token's string into (the default
"mean-of-constituents", "norm-matched", "positional"; "mean" for rows it
cannot give pieces for). Added tokens that stand outside the model are
missing from the id maps of some edits; their rows follow them to the id the
new tokenizer.json (OUT_DIR's) gives them, or stay where they were. The new
matrix has highest new id + 1 rows, or more with --rows / --pad-to-multiple-of;
old rows no token names (padding beyond the tokenizer) are dropped, and new
rows no token names are made like those of tokens without pieces. Which row
comes from where is planned by `embedding_plan`; this module carries the plan
out.

The weights are streamed file by file and tensor by tensor: runs of rows that
stay together, and every other tensor, are copied file to file (see
`safetensors_io`); means are taken a block of rows at a time. Everything
is checked before anything is written; files are written to temporary names
in the output directory and renamed into place only when all are complete.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import re
import shutil
import tempfile
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, BinaryIO

import quorvane

from quorvane_cli.commands.editing import same_path
from quorvane_cli.cli.errors import CliError, UsageError
from quorvane_cli.formats.gguf import is_gguf
from quorvane_cli.formats.embedding_plan import (
    MEAN, ZEROS, IdMap, RowPlan, added_tokens, carried_added_tokens, check_against_tokenizer, check_targets,
    encode_pieces, plan_rows, read_id_maps, row_count,
)
from quorvane_cli.formats.init_rules import FROM_PIECES, INPUT, OUTPUT, row_from_pieces
from quorvane_cli.cli.jsonfile import read_json, write_json
from quorvane_cli.formats.modeldir import loader_ids, shared_ids
from quorvane_cli.cli.output import Report, show
from quorvane_cli.cli.progress import Progress
from quorvane_cli.formats.safetensors_io import Header, Replacement, Tensor, copy_range, read_header, rewrite

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

# Input embeddings first, then output embeddings (the "head"); every name of
# either list found in the weights is resized.
INPUT_NAMES = (
    "model.embed_tokens.weight",  # Llama, Mistral, Qwen, Gemma, Phi-3, ...
    "transformer.wte.weight",  # GPT-2, GPT-J, Falcon
    "gpt_neox.embed_in.weight",  # GPT-NeoX, Pythia
    "model.embed_in.weight",
    "transformer.word_embeddings.weight",  # Bloom
    "word_embeddings.weight",
    "embeddings.word_embeddings.weight",  # BERT-like encoders
    "bert.embeddings.word_embeddings.weight",
    "roberta.embeddings.word_embeddings.weight",
    "model.decoder.embed_tokens.weight",  # OPT, BART's decoder
    "model.encoder.embed_tokens.weight",
    "model.shared.weight",  # BART, T5 (shared input table)
    "shared.weight",
    "encoder.embed_tokens.weight",
    "decoder.embed_tokens.weight",
    "tok_embeddings.weight",  # original Llama and Mistral checkpoints
)
OUTPUT_NAMES = (
    "lm_head.weight",
    "embed_out.weight",
    "output.weight",
    "cls.predictions.decoder.weight",
)
# Files of MODEL_DIR never copied to OUT_DIR: the old tokenizer's vocabulary
# would contradict the resized rows, and weights in other formats keep the old size.
TOKENIZER_FILES = frozenset(
    {"tokenizer.json", "vocab.json", "merges.txt", "vocab.txt", "tokenizer.model", "added_tokens.json"}
)
OTHER_WEIGHTS = re.compile(
    r"(\.(bin|pt|pth|ckpt|h5|msgpack|gguf|onnx)|\.bin\.index\.json)$"
)
INDEX_SUFFIX = ".safetensors.index.json"
FLOAT_DTYPES = {"F16": "<f2", "F32": "<f4", "F64": "<f8", "BF16": "<u2"}
BLOCK_BYTES = 32 << 20  # rows gathered, converted or written at a time
MIN_RUN = 16  # rows per kernel copy, on average, below which rows are gathered in memory
DTYPE_BYTES = {"F16": 2, "BF16": 2, "F32": 4, "F64": 8}



def _numpy() -> None:
    try:
        import numpy  # noqa: F401
    except ImportError:
        raise CliError("resize-embeddings needs numpy: pip install 'quorvane[model]'") from None


# Numbers ----------------------------------------------------------------------


def to_float(raw: npt.NDArray[np.uint8], dtype: str) -> npt.NDArray[np.floating]:
    """Rows of raw little-endian bytes as float32 (float64 for F64)."""
    import numpy as np

    if dtype == "BF16":
        widened: npt.NDArray[np.uint32] = np.left_shift(raw.view("<u2"), 16, dtype=np.uint32)
        return widened.view(np.float32)
    values = raw.view(FLOAT_DTYPES[dtype])
    return values if dtype == "F64" else values.astype(np.float32)


def from_float(values: npt.NDArray[np.float64], dtype: str) -> npt.NDArray[np.uint8]:
    """`values` as bytes of `dtype`, through float32 (bfloat16 rounded to nearest even)."""
    import numpy as np

    if dtype == "F64":
        return values.astype("<f8").view(np.uint8)
    single = values.astype(np.float32)
    if dtype != "BF16":
        return single.astype(FLOAT_DTYPES[dtype]).view(np.uint8)
    bits = single.view(np.uint32)
    rounded = ((bits + np.uint32(0x7FFF) + ((bits >> 16) & np.uint32(1))) >> 16).astype("<u2")
    nan = np.isnan(single)
    rounded[nan] = ((bits[nan] >> 16) | np.uint32(0x40)).astype("<u2")  # stays a (quiet) NaN
    return rounded.view(np.uint8)


class Rows:
    """The rows of one tensor, read from its file as raw bytes on demand."""

    def __init__(self, header: Header, tensor: Tensor) -> None:
        self.path = header.path
        self.tensor = tensor
        self.start = header.offset(tensor)
        self.count = tensor.shape[0]
        self.width = tensor.nbytes // max(self.count, 1)  # bytes per row

    def offset(self, row: int) -> int:
        return self.start + row * self.width

    def read(self, file: io.BufferedReader, first: int, out: npt.NDArray[np.uint8]) -> None:
        """Fill `out` with the rows from `first` on."""
        view = memoryview(out.reshape(-1))  # type: ignore[arg-type, unused-ignore]
        file.seek(self.offset(first))
        done = 0
        while done < len(view):
            count = file.readinto(view[done:])
            if not count:
                raise CliError(f"{self.path}: file ended inside {self.tensor.name!r}")
            done += count

    def pick(self, ids: npt.NDArray[np.int64]) -> npt.NDArray[np.uint8]:
        """Rows `ids` (sorted, distinct), read run by run of consecutive ids."""
        import numpy as np

        picked = np.empty((len(ids), self.width), dtype=np.uint8)
        starts = np.flatnonzero(np.diff(ids, prepend=-2) != 1)
        with open(self.path, "rb") as file:
            for first, last in zip(starts.tolist(), [*starts[1:].tolist(), len(ids)]):
                self.read(file, int(ids[first]), picked[first:last])
        return picked

    def whole(self) -> npt.NDArray[np.uint8]:
        """Every row, in memory."""
        import numpy as np

        matrix = np.empty((self.count, self.width), dtype=np.uint8)
        with open(self.path, "rb") as file:
            self.read(file, 0, matrix)
        return matrix


def _gather(
    matrix: npt.NDArray[np.uint8], ids: npt.NDArray[np.int64], out: npt.NDArray[np.uint8] | None = None
) -> npt.NDArray[np.uint8]:
    """Rows `ids` of `matrix`, into `out` (contiguous, len(ids) rows) when given.

    Each row is copied whole, as one item: several times faster than numpy's
    element-wise fancy indexing of the bytes. Reusing `out` spares the page
    faults of a fresh block each time."""
    import numpy as np

    width = matrix.shape[1]
    if out is None:
        out = np.empty((len(ids), width), dtype=np.uint8)
    if width:
        item = np.dtype((np.void, width))
        np.take(matrix.view(item).reshape(-1), ids, out=out.view(item).reshape(-1))
    return out


def _sum_rows(rows: npt.NDArray[np.uint8], dtype: str) -> npt.NDArray[np.float64]:
    import numpy as np

    total: npt.NDArray[np.float64] = to_float(rows, dtype).sum(axis=0, dtype=np.float64)
    return total


def _mean_of_all(rows: Rows, ids: Sequence[int], dtype: str) -> npt.NDArray[np.float64]:
    """The float64 mean of rows `ids` (sorted, distinct), read block by block
    into one reused buffer; zeros for no rows."""
    import numpy as np

    total = np.zeros(rows.width // DTYPE_BYTES[dtype], dtype=np.float64)
    if not len(ids) or not rows.width:
        return total
    chosen = np.asarray(ids, dtype=np.int64)
    step = max(1, BLOCK_BYTES // rows.width)
    buffer = np.empty((min(step, rows.count), rows.width), dtype=np.uint8)
    with open(rows.path, "rb") as file:
        first = int(chosen[0])
        while first <= chosen[-1]:
            count = min(step, int(chosen[-1]) + 1 - first)
            block = buffer[:count]
            rows.read(file, first, block)
            low, high = np.searchsorted(chosen, [first, first + count])
            wanted = chosen[low:high] - first
            total += _sum_rows(block if len(wanted) == count else block[wanted], dtype)
            first += count
    return total / len(chosen)


def made_rows(rows: Rows, dtype: str, plan: RowPlan, role: str) -> npt.NDArray[np.uint8]:
    """The bytes of the rows the plan makes: mean, zeros, then each group's row
    by the plan's rule for a matrix of `role`."""
    import numpy as np

    made = np.zeros((2 + len(plan.groups), rows.width), dtype=np.uint8)
    with np.errstate(all="ignore"):  # weights holding NaN or infinities give such means, silently
        mean = _mean_of_all(rows, plan.mean_ids, dtype) if plan.needs_mean else None
        if mean is not None and (plan.source == MEAN).any():
            made[0] = from_float(mean, dtype)
        if plan.groups:
            pieces = np.unique(np.concatenate([np.asarray(g, dtype=np.int64) for g in plan.groups]))
            table = rows.pick(pieces)
            for k, ids in enumerate(plan.groups):
                chosen = table[np.searchsorted(pieces, ids)]
                pieces_rows = to_float(chosen, dtype).astype(np.float64)
                made[2 + k] = from_float(row_from_pieces(pieces_rows, plan.rule, role, mean), dtype)
    return made


def copy_runs(source: npt.NDArray[np.int64]) -> tuple[list[int], list[int]]:
    """Where the runs of new rows start and end: rows copied from consecutive old
    rows, or rows made, one after the other."""
    import numpy as np

    if not len(source):
        return [], []
    copied = source >= 0
    starts = np.flatnonzero(np.concatenate((
        [True], (copied[1:] != copied[:-1]) | (copied[1:] & (source[1:] != source[:-1] + 1))
    )))
    return starts.tolist(), [*starts[1:].tolist(), len(source)]


def row_writer(
    header: Header, tensor: Tensor, plan: RowPlan, progress: Progress, label: str
) -> Replacement:
    """The resized tensor: its new shape, and a callback writing its rows.

    Runs of rows that stay together are copied file to file by the kernel, so
    memory stays at a block whatever the matrix's size. A map that scatters the
    rows (runs averaging under MIN_RUN rows) would make that a system call per
    row or two; then the matrix is read whole and gathered in memory instead.
    """
    import numpy as np

    rows = Rows(header, tensor)
    shape = (plan.new_rows, *tensor.shape[1:])

    def write(target: BinaryIO) -> None:
        progress.phase(f"averaging rows of {tensor.name}")
        made = made_rows(rows, tensor.dtype, plan, OUTPUT if tensor.name in OUTPUT_NAMES else INPUT)
        if not rows.width:
            return
        starts, ends = copy_runs(plan.source)
        with progress.bar(label, plan.new_rows) as advance:
            if len(starts) * MIN_RUN <= plan.new_rows:
                with open(rows.path, "rb") as file:
                    for start, end in zip(starts, ends):
                        first = int(plan.source[start])
                        if first >= 0:
                            copy_range(file, target, rows.offset(first), (end - start) * rows.width)
                        else:
                            target.write(made[-1 - plan.source[start:end]].data)
                        advance(end)
                return
            matrix = rows.whole()
            step = max(1, BLOCK_BYTES // rows.width)
            buffer = np.empty((min(step, plan.new_rows), rows.width), dtype=np.uint8)
            for start in range(0, plan.new_rows, step):
                source = plan.source[start:start + step]
                block = buffer[: len(source)]
                copied = source >= 0
                block[copied] = _gather(matrix, source[copied])
                block[~copied] = made[-1 - source[~copied]]
                target.write(block.data)
                advance(start + len(source))

    return Replacement(shape, plan.new_rows * rows.width, write)


# The model directory ------------------------------------------------------------


@dataclass
class Model:
    """The weight files of a model directory, their headers, and the indexes naming them."""

    directory: str
    headers: dict[str, Header]  # file name -> header
    indexes: dict[str, dict[str, object]]  # index file name -> its JSON
    found: list[tuple[str, Tensor]] = field(default_factory=list)  # (file name, tensor) to resize

    @property
    def old_rows(self) -> int:
        return self.found[0][1].shape[0]


def _plain_name(name: object, index: str) -> str:
    if not isinstance(name, str) or not name or name != os.path.basename(name) or name in (".", ".."):
        raise CliError(f"{index}: weight_map names {json.dumps(name)}, not a file of the model directory")
    return name


def read_model(directory: str) -> Model:
    """Every *.safetensors file of `directory` with its checked header, and the
    indexes, whose every listed tensor must be in the shard it names."""
    names = sorted(os.listdir(directory))
    weights = [n for n in names if n.endswith(".safetensors") and os.path.isfile(os.path.join(directory, n))]
    if not weights:
        raise CliError(f"{directory}: no *.safetensors weights")
    headers = {name: read_header(os.path.join(directory, name)) for name in weights}
    indexes: dict[str, dict[str, object]] = {}
    for name in names:
        if not name.endswith(INDEX_SUFFIX):
            continue
        path = os.path.join(directory, name)
        index = read_json(path)
        if not isinstance(index, dict) or not isinstance(index.get("weight_map"), dict):
            raise CliError(f"{path}: not a safetensors index (no 'weight_map' object)")
        weight_map = index["weight_map"]
        assert isinstance(weight_map, dict)
        for tensor, shard in weight_map.items():
            shard = _plain_name(shard, path)
            if shard not in headers:
                raise CliError(f"{path}: tensor {tensor!r} is in shard {shard}, which is missing")
            if tensor not in headers[shard].tensors:
                raise CliError(f"{path}: tensor {tensor!r} is not in its shard {shard}")
        indexes[name] = index
    return Model(directory, headers, indexes)


def find_tensors(model: Model, names: Sequence[str] | None, config: dict[str, object] | None) -> bool | None:
    """Fill `model.found` with the embeddings to resize, checked; return whether the
    embeddings are tied (None when --tensor chose them)."""
    wanted = list(dict.fromkeys(names)) if names else [*INPUT_NAMES, *OUTPUT_NAMES]
    for name in wanted:
        for file, header in model.headers.items():
            if name in header.tensors:
                model.found.append((file, header.tensors[name]))
    found = {tensor.name for _, tensor in model.found}
    if names:
        missing = [name for name in names if name not in found]
        if missing:
            raise CliError(f"no tensor {missing[0]!r} in the *.safetensors files of {model.directory}")
    elif not found & set(INPUT_NAMES):
        raise CliError(
            f"no input embedding found in {model.directory} (tried {', '.join(INPUT_NAMES)}); "
            "name it with --tensor"
        )
    for file, tensor in model.found:
        if len(tensor.shape) != 2:
            raise CliError(f"{file}: tensor {tensor.name!r} has shape {list(tensor.shape)}, not [rows, width]")
        if tensor.dtype not in FLOAT_DTYPES:
            raise CliError(
                f"{file}: tensor {tensor.name!r} is {tensor.dtype}; only F16, BF16, F32 and F64 can be resized"
            )
    first_file, first = model.found[0]
    for file, tensor in model.found[1:]:
        if tensor.shape[0] != first.shape[0]:
            raise CliError(
                f"{file}: tensor {tensor.name!r} has {tensor.shape[0]} rows, {first_file}: "
                f"{first.name!r} has {first.shape[0]}; name the embeddings with --tensor"
            )
    if names:
        return None
    tied = not found & set(OUTPUT_NAMES)
    if tied and config is not None and config.get("tie_word_embeddings") is False:
        raise CliError(
            f"config.json says the embeddings are not tied, but no output embedding was found "
            f"(tried {', '.join(OUTPUT_NAMES)}); name both with --tensor"
        )
    return tied


def _read_config(directory: str) -> dict[str, object]:
    path = os.path.join(directory, "config.json")
    if not os.path.isfile(path):
        raise CliError(f"{path}: no such file (the model's vocab_size is kept there)")
    config = read_json(path)
    if not isinstance(config, dict):
        raise CliError(f"{path}: not a JSON object")
    return config


def _new_config(config: dict[str, object], rows: int) -> dict[str, object]:
    """`config` with vocab_size (top level, and that of text_config when there is one) set to `rows`."""
    result = dict(config)
    text = result.get("text_config")
    if isinstance(text, dict) and "vocab_size" in text:
        result["text_config"] = {**text, "vocab_size": rows}
        if "vocab_size" not in result:
            return result
    result["vocab_size"] = rows
    return result


def _new_tokenizer_config(path: str, id_map: IdMap) -> dict[str, object] | None:
    """tokenizer_config.json with the ids of `added_tokens_decoder` moved by the map
    (entries of removed tokens dropped); None when nothing changes or it is unreadable."""
    try:
        config = read_json(path)
    except (CliError, OSError):
        return None
    decoder = config.get("added_tokens_decoder") if isinstance(config, dict) else None
    if not isinstance(config, dict) or not isinstance(decoder, dict):
        return None
    targets: dict[int, list[int]] = {}
    for old, new in id_map.moves:
        targets.setdefault(old, []).append(new)
    moved: list[tuple[int, object]] = []
    for key, entry in decoder.items():
        if not (key.isascii() and key.isdigit()):
            return None
        moved += [(new, entry) for new in targets.get(int(key), [])]
    result = {str(new): entry for new, entry in sorted(moved, key=lambda item: item[0])}
    if list(result.items()) == list(decoder.items()):
        return None
    return {**config, "added_tokens_decoder": result}


class Staging:
    """Files written under temporary names in the output directory, renamed into
    place together by `commit`, or all removed by `discard`."""

    def __init__(self, directory: str) -> None:
        self.directory = directory
        self.pending: list[tuple[str, str]] = []  # (temporary, final name)
        umask = os.umask(0)
        os.umask(umask)
        self.mode = 0o666 & ~umask  # what open() would have given; mkstemp gives 0600

    @contextlib.contextmanager
    def open(self, name: str) -> Iterator[BinaryIO]:
        handle, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=self.directory)
        self.pending.append((temporary, name))
        os.fchmod(handle, self.mode)
        with os.fdopen(handle, "wb") as file:
            yield file

    def json(self, name: str, value: object) -> None:
        with self.open(name) as file:
            file.write((json.dumps(value, ensure_ascii=False, indent=2) + "\n").encode("utf-8"))

    def copy(self, source: str, name: str) -> None:
        with self.open(name) as target, open(source, "rb") as file:
            copy_range(file, target, 0, os.fstat(file.fileno()).st_size)
        shutil.copymode(source, self.pending[-1][0])

    def commit(self) -> list[str]:
        for temporary, name in self.pending:
            os.replace(temporary, os.path.join(self.directory, name))
        return [name for _, name in self.pending]

    def discard(self) -> None:
        for temporary, _ in self.pending:
            with contextlib.suppress(OSError):
                os.unlink(temporary)


# The command ------------------------------------------------------------------


def _plan_data(model: Model, plan: RowPlan, init: str, id_map: IdMap) -> dict[str, object]:
    rows: list[object] = []
    for value in plan.source.tolist():
        if value >= 0:
            rows.append(value)
        elif value == MEAN:
            rows.append("mean")
        elif value == ZEROS:
            rows.append("zeros")
        else:
            rows.append(plan.groups[-3 - value])
    return {
        "tensors": [tensor.name for _, tensor in model.found],
        "old_rows": model.old_rows,
        "new_rows": plan.new_rows,
        "init": init,
        "mean_of": plan.mean_ids,
        "added": {str(new): token for token, new in id_map.added},
        "rows": rows,
    }


def run_resize_embeddings(args: argparse.Namespace, progress: Progress) -> Report:
    """Resize the embedding matrices of MODEL_DIR's weights to follow --id-map."""
    started = time.perf_counter()
    directory: str = args.model_dir
    output: str | None = args.output
    plan_path: str | None = args.plan_only
    init: str = args.init
    if (output is None) == (plan_path is None):
        raise UsageError("give exactly one of -o/--output and --plan-only")
    if is_gguf(directory):
        return _resize_gguf(args, progress)
    if args.tokenizer is not None and output is not None:
        raise UsageError("--tokenizer goes with --plan-only (with -o the tokenizer is OUT_DIR's)")
    if not os.path.isdir(directory):
        raise CliError(f"{directory}: not a directory")
    if output is not None:
        if same_path(directory, output):
            raise CliError(f"-o names the model directory {directory}; write the resized model elsewhere")
        if os.path.exists(output) and not os.path.isdir(output):
            raise CliError(f"-o {output}: exists and is not a directory")
    elif plan_path is not None:
        if os.path.isdir(plan_path):
            raise CliError(f"--plan-only {plan_path}: is a directory")
        if os.path.exists(plan_path) and (
            same_path(os.path.dirname(os.path.abspath(plan_path)), directory)
            or any(same_path(plan_path, id_map) for id_map in args.id_map)
        ):
            raise CliError(f"--plan-only {plan_path}: would replace a file of the model or the id map")
    _numpy()

    map_name = " then ".join(args.id_map)
    id_map = read_id_maps(args.id_map)
    progress.phase(f"reading the weights of {directory}")
    model = read_model(directory)
    config = _read_config(directory) if output is not None else None
    tied = find_tensors(model, args.tensor, config)

    old_tokenizer = os.path.join(directory, "tokenizer.json")
    pieces: dict[str, list[int] | None] = {}
    carried: list[tuple[int, int]] = []
    mean_ids = id_map.old_ids()
    if os.path.isfile(old_tokenizer):
        progress.phase(f"reading {old_tokenizer}")
        editor = quorvane.Quorvane(old_tokenizer)
        vocab = editor.get_vocab()
        doc = read_json(old_tokenizer)
        outside = loader_ids(doc) if isinstance(doc, dict) else {}
        check_against_tokenizer(id_map, vocab, map_name, old_tokenizer,
                                [i for t, i in outside.items() if t not in vocab])
        new_doc: dict[str, object] | None = None
        new_tokenizer = os.path.join(output, "tokenizer.json") if output is not None else args.tokenizer
        if new_tokenizer is not None and os.path.isdir(new_tokenizer):
            new_tokenizer = os.path.join(new_tokenizer, "tokenizer.json")
        if new_tokenizer is not None and os.path.isfile(new_tokenizer):
            with contextlib.suppress(CliError, OSError):
                value = read_json(new_tokenizer)
                new_doc = value if isinstance(value, dict) else None
        if new_doc is not None and (shared := shared_ids(new_doc)):
            raise CliError(
                f"loaders number {len(shared)} added tokens of {new_tokenizer} onto ids that model tokens "
                f"hold (e.g. {show(shared[0])}), so one row would have to serve two tokens: close the gaps "
                "first (quorvane reindex) and give the id maps of both edits (--id-map FIRST --id-map SECOND)"
            )
        # Rows sit where loaders number the added tokens, which for those
        # outside the model is not always the id the file records.
        whole = outside
        mean_ids = sorted({*mean_ids, *whole.values()})
        carried = carried_added_tokens(id_map, whole, None if new_doc is None else loader_ids(new_doc))
        id_map.moves += carried
        check_targets(id_map.moves, map_name)
        if init in FROM_PIECES:
            progress.phase(f"encoding {len(id_map.added)} new tokens with the old tokenizer")
            model_doc = doc.get("model") if isinstance(doc, dict) else None
            unknown = model_doc.get("unk_token") if isinstance(model_doc, dict) else None
            pieces = encode_pieces(
                editor, vocab, [t for t, _ in id_map.added], {*whole, *added_tokens(new_doc)},
                unknown if isinstance(unknown, str) else None,
            )
    elif init in FROM_PIECES and id_map.added:
        raise CliError(f"{old_tokenizer}: no such file (--init {init} encodes "
                       "the new tokens with it); use --init mean")
    new_rows = row_count(id_map.highest_new_id + 1, args.rows, args.pad_to_multiple_of)
    plan = plan_rows(id_map, model.old_rows, init, new_rows, pieces, map_name, mean_ids)

    tensors = [
        {"file": file, "name": tensor.name, "dtype": tensor.dtype,
         "old_shape": list(tensor.shape), "new_shape": [plan.new_rows, *tensor.shape[1:]]}
        for file, tensor in model.found
    ]
    data: dict[str, object] = {
        "model_dir": directory,
        "id_map": args.id_map[0] if len(args.id_map) == 1 else args.id_map,
        "init": init,
        "tensors": tensors,
        "tied": tied,
        "old_rows": model.old_rows,
        "new_rows": plan.new_rows,
        "rows_copied": plan.copied,
        "rows_initialised": plan.new_rows - plan.copied,
        "rows_from_pieces": plan.from_pieces,
        "rows_fell_back_to_mean": plan.fell_back,
        "rows_unnamed": plan.unnamed,
        "added_tokens_carried": len(carried),
    }
    names = ", ".join(tensor.name for _, tensor in model.found)
    tie_text = "" if tied is None else " (tied)" if tied else " (untied)"
    lines = [
        f"{names}: {model.old_rows} -> {plan.new_rows} rows{tie_text}",
        f"rows: {plan.copied} copied, {plan.added} for new tokens"
        + (f" ({plan.from_pieces} from their pieces, {plan.fell_back} fell back to the mean)"
           if init in FROM_PIECES else "")
        + f", {plan.unnamed} named by no token",
    ]
    if carried:
        lines.append(f"kept the rows of {len(carried)} added tokens the id map does not list, "
                     "at the ids loaders give them with the new tokenizer.json")
    if plan_path is not None:
        write_json(plan_path, _plan_data(model, plan, init, id_map))
        lines.append(f"wrote plan {plan_path}")
        data.update(plan=plan_path, seconds=round(time.perf_counter() - started, 3))
        return Report(data, lines)

    assert output is not None and config is not None
    written, copied, skipped = _write_model(model, plan, config, id_map, output, progress)
    lines.append(f"wrote {', '.join(written)} in {output}")
    if copied:
        lines.append(f"copied {len(copied)} other files")
    warnings = []
    if skipped:
        warnings.append(f"not copied (they describe the old vocabulary or hold unresized weights): "
                        f"{', '.join(skipped)}")
    new_tokenizer = os.path.join(output, "tokenizer.json")
    if not os.path.isfile(new_tokenizer):
        warnings.append(f"{output} has no tokenizer.json: put the edited tokenizer there")
    lines += [f"warning: {w}" for w in warnings]
    data.update(
        output=output, files_written=written, files_copied=copied, files_not_copied=skipped,
        warnings=warnings, seconds=round(time.perf_counter() - started, 3),
    )
    return Report(data, lines)


def _resize_gguf(args: argparse.Namespace, progress: Progress) -> Report:
    """A GGUF model's rows and tokenizer, taken from its own tokenizer to the
    edited one (--tokenizer) that the id maps describe."""
    from quorvane_cli.formats import gguf_writer
    from quorvane_cli.formats.source import GgufSource, open_source

    path: str = args.model_dir
    output: str | None = args.output
    if output is None or args.tokenizer is None:
        raise UsageError("a GGUF model is resized with -o OUT.gguf and --tokenizer (the edited tokenizer.json)")
    if args.rows is not None or args.pad_to_multiple_of is not None or args.tensor:
        raise UsageError("--rows, --pad-to-multiple-of and --tensor do not apply to a GGUF model "
                         "(it has one row per token)")
    if not is_gguf(output):
        raise CliError(f"-o {output}: a GGUF model is written to a .gguf file")
    if same_path(path, output):
        raise CliError(f"-o names the model {path}; write the resized model elsewhere")
    _numpy()
    map_name = " then ".join(args.id_map)
    id_map = read_id_maps(args.id_map)
    progress.phase(f"reading {path}")
    source = GgufSource(path)
    before = source.editor()
    progress.phase(f"reading {args.tokenizer}")
    editor = open_source(args.tokenizer).editor()
    if editor.check_vocab_gaps()[0]:
        raise CliError(f"{args.tokenizer} leaves gaps in its ids, and a GGUF numbers its tokens densely: "
                       "close them first (quorvane reindex) and give both id maps")
    check_against_tokenizer(id_map, before.get_vocab(), map_name, path)
    actual = gguf_writer.id_map_of(editor, before)
    if any(sorted(mine) != sorted(theirs) for mine, theirs in (
        (id_map.moves, actual.moves), (id_map.removed, actual.removed), (id_map.added, actual.added)
    )):
        raise CliError(f"{map_name} does not take the tokenizer of {path} to {args.tokenizer}")
    written = gguf_writer.write_gguf(source.model, before, editor, output, args.init, progress)
    return Report(
        {"model": path, "output": output, "init": args.init, **written.data()},
        [*written.lines(), f"wrote {output}"],
    )


def _write_model(
    model: Model, plan: RowPlan, config: dict[str, object], id_map: IdMap, output: str, progress: Progress
) -> tuple[list[str], list[str], list[str]]:
    """Write the resized model into `output`: (files written, files copied, files skipped)."""
    created = not os.path.isdir(output)
    os.makedirs(output, exist_ok=True)
    staging = Staging(output)
    copied: list[str] = []
    skipped: list[str] = []
    try:
        growth: dict[str, int] = {}
        for file, header in model.headers.items():
            resized = {tensor.name: tensor for owner, tensor in model.found if owner == file}
            replacements = {
                name: row_writer(header, tensor, plan, progress, f"writing {name}")
                for name, tensor in resized.items()
            }
            growth[file] = sum(replacements[n].nbytes - resized[n].nbytes for n in resized)
            progress.phase(f"writing {file}")
            with staging.open(file) as target:
                if replacements:
                    rewrite(header, target, replacements)
                else:
                    with open(header.path, "rb") as source:
                        copy_range(source, target, 0, os.fstat(source.fileno()).st_size)
        for name, index in model.indexes.items():
            metadata = index.get("metadata")
            if isinstance(metadata, dict) and type(metadata.get("total_size")) is int:
                weight_map = index["weight_map"]
                assert isinstance(weight_map, dict)
                total = metadata["total_size"] + sum(growth[shard] for shard in set(weight_map.values()))
                index = {**index, "metadata": {**metadata, "total_size": total}}
            staging.json(name, index)
        staging.json("config.json", _new_config(config, plan.new_rows))
        produced = {name for _, name in staging.pending}
        for name in sorted(os.listdir(model.directory)):
            path = os.path.join(model.directory, name)
            if name in produced or not os.path.isfile(path) or os.path.exists(os.path.join(output, name)):
                continue
            if name in TOKENIZER_FILES or OTHER_WEIGHTS.search(name):
                skipped.append(name)
                continue
            new_config = _new_tokenizer_config(path, id_map) if name == "tokenizer_config.json" else None
            if new_config is not None:
                staging.json(name, new_config)
            else:
                staging.copy(path, name)
            copied.append(name)
        written = [name for name in staging.commit() if name not in copied]
    except BaseException:
        staging.discard()
        if created:
            with contextlib.suppress(OSError):
                os.rmdir(output)
        raise
    return written, copied, skipped
