"""`quorvane resize-embeddings` on small safetensors models built here: id maps
made by running the editing commands, every row of the result checked against
rows worked out independently (the pieces of a new token come from the
`tokenizers` package's model), and the `safetensors` package loading what we
write."""

import json
import shutil
import struct
from pathlib import Path

import pytest

from quorvane_cli import main
from test_cli import SAMPLE, failure, run_json

np = pytest.importorskip("numpy")
safetensors = pytest.importorskip("safetensors")
tokenizers = pytest.importorskip("tokenizers")

from quorvane_cli.embeddings import from_float, to_float  # noqa: E402

WIDTH = 6
ROWS = 3002  # the sample's ids: 0..2999 in the model, 3000 and 3001 added tokens
OTHER = np.arange(24, dtype=np.int64).reshape(4, 6)


def write_safetensors(path, tensors, metadata=None):
    """Write tensors {name: (dtype, shape, bytes)} in the container layout, in the order given."""
    header, offset = {}, 0
    if metadata is not None:
        header["__metadata__"] = metadata
    for name, (dtype, shape, data) in tensors.items():
        header[name] = {"dtype": dtype, "shape": list(shape), "data_offsets": [offset, offset + len(data)]}
        offset += len(data)
    text = json.dumps(header).encode()
    text += b" " * (-len(text) % 8)
    with open(path, "wb") as file:
        file.write(struct.pack("<Q", len(text)) + text)
        for _, _, data in tensors.values():
            file.write(data)


def as_bf16(values):
    """float32 -> bfloat16 bits by truncation: the test matrices are exact in bfloat16 anyway."""
    return (values.astype(np.float32).view(np.uint32) >> 16).astype("<u2")


def load(path):
    """{name: (dtype, shape, raw bytes)} and the metadata, read by the safetensors package."""
    data = Path(path).read_bytes()
    tensors = {name: (t["dtype"], tuple(t["shape"]), bytes(t["data"])) for name, t in safetensors.deserialize(data)}
    (length,) = struct.unpack("<Q", data[:8])
    return tensors, json.loads(data[8:8 + length]).get("__metadata__")


def floats(dtype, shape, data):
    raw = np.frombuffer(data, dtype=np.uint8).reshape(shape[0], -1)
    return to_float(raw, dtype).astype(np.float64)


class Model:
    """A model directory: the sample tokenizer, config.json, and matrices whose
    values are exact in bfloat16 so that every dtype holds the same numbers."""

    def __init__(self, root, dtype="F32", tied=False, sharded=False, rows=ROWS):
        self.dir = root / "model"
        self.dir.mkdir()
        shutil.copy(SAMPLE, self.dir / "tokenizer.json")
        rng = np.random.default_rng(7)
        self.dtype = dtype
        self.matrices = {"model.embed_tokens.weight": rng.integers(-128, 128, (rows, WIDTH)) / 16}
        if not tied:
            self.matrices["lm_head.weight"] = rng.integers(-128, 128, (rows, WIDTH)) / 16
        tensors = {name: (dtype, m.shape, self.encode(m)) for name, m in self.matrices.items()}
        tensors["layers.0.weight"] = ("I64", OTHER.shape, OTHER.tobytes())
        metadata = {"format": "pt", "note": "kept"}
        if sharded:
            first = {k: tensors[k] for k in ("model.embed_tokens.weight", "layers.0.weight")}
            second = {k: v for k, v in tensors.items() if k not in first}
            write_safetensors(self.dir / "model-00001-of-00002.safetensors", first, metadata)
            write_safetensors(self.dir / "model-00002-of-00002.safetensors", second, metadata)
            index = {
                "metadata": {"total_size": sum(len(t[2]) for t in tensors.values())},
                "weight_map": {
                    **{k: "model-00001-of-00002.safetensors" for k in first},
                    **{k: "model-00002-of-00002.safetensors" for k in second},
                },
            }
            (self.dir / "model.safetensors.index.json").write_text(json.dumps(index))
        else:
            write_safetensors(self.dir / "model.safetensors", tensors, metadata)
        self.config = {"architectures": ["Tiny"], "vocab_size": rows, "hidden_size": WIDTH,
                       "tie_word_embeddings": tied, "torch_dtype": "float32"}
        (self.dir / "config.json").write_text(json.dumps(self.config))

    @classmethod
    def read(cls, directory, dtype, names):
        """The model a previous resize wrote in `directory`."""
        model = cls.__new__(cls)
        model.dir, model.dtype = directory, dtype
        model.config = json.loads((directory / "config.json").read_text())
        model.matrices = {}
        for path in model.weights():
            for name, (dtype, shape, data) in load(path)[0].items():
                if name in names:
                    model.matrices[name] = floats(dtype, shape, data)
        return model

    def encode(self, matrix):
        if self.dtype == "BF16":
            return as_bf16(matrix).tobytes()
        return matrix.astype({"F16": "<f2", "F32": "<f4", "F64": "<f8"}[self.dtype]).tobytes()

    def weights(self):
        return sorted(self.dir.glob("*.safetensors"))


EDITS = {  # edits of the sample, run one after the other, each resizing the model
    "add": [("add", "Ġquorvane", "Ġembeddings", "Ġthe")],
    "shrink": [("shrink", "60")],  # leaves gaps: rows no token names
    "shrink-reindex": [("shrink", "60"), ("reindex",)],  # moves rows down
    "unencodable": [("add", "\u2603", "Ġsnow", "--atomic")],  # "☃" is not in the byte alphabet
}


def pieces_by_client(tokenizer, token):
    """The old ids the `tokenizers` package splits `token` into, or None."""
    try:
        ids = [t.id for t in tokenizer.model.tokenize(token)]
    except Exception:  # the client raises plain Exception
        return None
    return ids or None


def expected_rows(model, id_map, init, new_rows):
    """Per new row: ("copy", old id) or ("made", float64 row per tensor name)."""
    client = tokenizers.Tokenizer.from_file(str(model.dir / "tokenizer.json"))
    old_ids = sorted({int(k) for k in id_map["old_to_new"]} | {e["id"] for e in id_map["removed"]})
    means = {name: m[old_ids].mean(axis=0) for name, m in model.matrices.items()}
    made = {name: np.zeros(WIDTH) for name in model.matrices} if init == "zeros" else means
    rows = [("made", made)] * new_rows
    for token in id_map["added"]:
        ids = pieces_by_client(client, token["token"]) if init == "mean-of-constituents" else None
        rows[token["id"]] = ("made", made if ids is None else {n: m[ids].mean(axis=0) for n, m in model.matrices.items()})
    for old, new in id_map["old_to_new"].items():
        for target in new if isinstance(new, list) else [new]:
            rows[target] = ("copy", int(old))
    return rows


def check_resized(model, out, id_map, init, new_rows):
    """Every row of every resized tensor, the other tensors and metadata, config and index."""
    found = {}
    for path in model.weights():
        tensors, metadata = load(out / path.name)
        old_tensors, old_metadata = load(path)
        assert metadata == old_metadata
        assert set(tensors) == set(old_tensors)
        for name, (dtype, shape, data) in tensors.items():
            if name not in model.matrices:
                assert (dtype, shape, data) == old_tensors[name]
                continue
            assert (dtype, shape) == (model.dtype, (new_rows, WIDTH))
            row_bytes = len(data) // new_rows
            found[name] = (floats(dtype, shape, data), np.frombuffer(data, np.uint8).reshape(new_rows, row_bytes),
                           np.frombuffer(old_tensors[name][2], np.uint8).reshape(-1, row_bytes))
    assert set(found) == set(model.matrices)
    tolerance = {"BF16": 2**-8, "F16": 2**-11}.get(model.dtype, 1e-6)  # half an ulp
    for new_id, (kind, value) in enumerate(expected_rows(model, id_map, init, new_rows)):
        for name, (values, raw, old_raw) in found.items():
            if kind == "copy":
                assert raw[new_id].tobytes() == old_raw[value].tobytes(), (name, new_id)
            else:
                np.testing.assert_allclose(values[new_id], value[name], rtol=tolerance, atol=1e-7,
                                           err_msg=f"{name} row {new_id}")
    config = json.loads((out / "config.json").read_text())
    assert list(config) == list(model.config)
    assert config == {**model.config, "vocab_size": new_rows}
    index = model.dir / "model.safetensors.index.json"
    if index.exists():
        written = json.loads((out / index.name).read_text())
        sizes = sum(len(t[2]) for p in model.weights() for t in load(out / p.name)[0].values())
        assert written["metadata"]["total_size"] == sizes
        assert written["weight_map"] == json.loads(index.read_text())["weight_map"]


LAYOUTS = {
    "f32-untied": dict(dtype="F32"),
    "bf16-tied": dict(dtype="BF16", tied=True),
    "f16-sharded-untied": dict(dtype="F16", sharded=True),
    "bf16-sharded-untied": dict(dtype="BF16", sharded=True),
}


def new_row_count(id_map):
    return 1 + max([t["id"] for t in id_map["added"]]
                   + [max(v) if isinstance(v, list) else v for v in id_map["old_to_new"].values()])


def resize_after(capsys, tmp_path, model, steps, *options):
    """Run the edits, each writing its tokenizer and id map into a new directory
    that resize-embeddings then completes; (model the last map applies to, its
    id map, the last output directory, the last report)."""
    for step, (command, *arguments) in enumerate(steps):
        out = tmp_path / f"out{step}"
        out.mkdir()
        id_map = tmp_path / f"ids{step}.json"
        run_json(capsys, command, model.dir / "tokenizer.json", *arguments,
                 "-o", out / "tokenizer.json", "--id-map", id_map)
        last = step == len(steps) - 1
        report = run_json(capsys, "resize-embeddings", model.dir, "--id-map", id_map, "-o", out,
                          *(options if last else ("--init", "mean")))
        if not last:
            model = Model.read(out, model.dtype, model.matrices)
    return model, json.loads(id_map.read_text()), out, report


class TestResize:
    @pytest.mark.parametrize("layout", LAYOUTS)
    @pytest.mark.parametrize("init", ["mean-of-constituents", "mean", "zeros"])
    @pytest.mark.parametrize("edit_name", EDITS)
    def test_every_row(self, capsys, tmp_path, edit_name, init, layout):
        model = Model(tmp_path, **LAYOUTS[layout])
        model, id_map, out, report = resize_after(capsys, tmp_path, model, EDITS[edit_name], "--init", init)
        new_rows = new_row_count(id_map)
        assert (report["old_rows"], report["new_rows"]) == (len(next(iter(model.matrices.values()))), new_rows)
        assert report["rows_copied"] + report["rows_initialised"] == new_rows
        assert report["tied"] == (len(model.matrices) == 1)
        check_resized(model, out, id_map, init, new_rows)
        if edit_name == "unencodable" and init == "mean-of-constituents":
            assert (report["rows_from_pieces"], report["rows_fell_back_to_mean"]) == (1, 1)
        assert not list(out.glob(".*.tmp"))
