"""`quorvane resize-embeddings` on small safetensors models built here: id maps
made by running the editing commands, every row of the result checked against
rows worked out independently (the pieces of a new token come from the
`tokenizers` package's model), and the `safetensors` package loading what we
write."""

import json
import os
import shutil
import struct
from pathlib import Path

import pytest

from quorvane_cli import main
from test_cli import SAMPLE, failure, run, run_json

if os.environ.get("QUORVANE_SANITIZED"):
    # numpy's native code keeps objects at exit that LeakSanitizer cannot tell
    # from leaks; the command runs none of our native code that other tests do not.
    pytest.skip("numpy under the sanitizers", allow_module_level=True)
np = pytest.importorskip("numpy")
safetensors = pytest.importorskip("safetensors")
tokenizers = pytest.importorskip("tokenizers")

from quorvane_cli.formats.embedding_writer import from_float, to_float  # noqa: E402

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


def header_keys(path):
    data = Path(path).read_bytes()
    (length,) = struct.unpack("<Q", data[:8])
    return list(json.loads(data[8:8 + length]))


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


# Edits of the sample, run one after the other, then one resize with all their
# id maps. The sample's added tokens stand after the model, where loaders number
# them from its entry count: an edit that leaves gaps or takes ids past them puts
# them onto model tokens' ids until a reindex closes the gaps.
EDITS = {
    "add": [("add", "Ġquorvane", "Ġembeddings", "Ġthe"), ("reindex",)],
    "shrink-reindex": [("shrink", "60"), ("reindex",)],  # moves rows down
    "reachable": [("add", "Ġquorvane", "Ġembeddingsq", "--reachable")],  # keeps them where loaders look
    "unencodable": [("add", "\u2603", "Ġsnow", "--atomic"), ("reindex",)],  # "☃" is not in the byte alphabet
}


def pieces_by_client(tokenizer, token):
    """The old ids the `tokenizers` package splits `token` into, or None."""
    try:
        ids = [t.id for t in tokenizer.model.tokenize(token)]
    except Exception:  # the client raises plain Exception
        return None
    return ids or None


def added_outside(path):
    """Content -> id of the added tokens, as the tokenizers package numbers them."""
    client = tokenizers.Tokenizer.from_file(str(path))
    return {t["content"]: client.token_to_id(t["content"]) for t in json.loads(Path(path).read_text())["added_tokens"]}


FROM_PIECES = ("mean-of-constituents", "norm-matched", "positional", "shrunk")


def row_of_pieces(rows, init, name, mean_of_all):
    """A new token's row from its pieces' rows, by hand: the plain mean, the mean
    at the pieces' mean length, weights 1..k rising to the last piece (input
    rows) or falling from the first (the output rows of untied models), which
    keep the plain mean under norm-matched, or nine tenths of the mean and one
    of `mean_of_all`."""
    mean = rows.mean(axis=0)
    if init == "shrunk":
        return 0.9 * mean + 0.1 * mean_of_all
    if init == "norm-matched" and name != "lm_head.weight":
        return mean / np.sqrt((mean**2).sum()) * np.mean([np.sqrt((row**2).sum()) for row in rows])
    if init == "positional":
        weights = list(range(1, len(rows) + 1))
        if name == "lm_head.weight":
            weights.reverse()
        return sum(w * row for w, row in zip(weights, rows)) / sum(weights)
    return mean


def expected_rows(model, id_map, init, new_rows, out):
    """Per new row: ("copy", old id) or ("made", float64 row per tensor name).

    Added tokens the map leaves out keep their rows, at the ids loaders give them
    with the new tokenizer."""
    client = tokenizers.Tokenizer.from_file(str(model.dir / "tokenizer.json"))
    old_ids = sorted({int(k) for k in id_map["old_to_new"]} | {e["id"] for e in id_map["removed"]}
                     | set(added_outside(model.dir / "tokenizer.json").values()))
    means = {name: m[old_ids].mean(axis=0) for name, m in model.matrices.items()}
    made = {name: np.zeros(WIDTH) for name in model.matrices} if init == "zeros" else means
    rows = [("made", made)] * new_rows
    for token in id_map["added"]:
        ids = pieces_by_client(client, token["token"]) if init in FROM_PIECES else None
        rows[token["id"]] = ("made", made if ids is None else
                             {n: row_of_pieces(m[ids], init, n, means[n]) for n, m in model.matrices.items()})
    for old, new in id_map["old_to_new"].items():
        for target in new if isinstance(new, list) else [new]:
            rows[target] = ("copy", int(old))
    new_added = added_outside(out / "tokenizer.json")
    for content, old in added_outside(model.dir / "tokenizer.json").items():
        if str(old) not in id_map["old_to_new"]:
            rows[new_added[content]] = ("copy", old)
    return rows


def check_resized(model, out, id_map, init, new_rows):
    """Every row of every resized tensor, the other tensors and metadata, config and index."""
    found = {}
    for path in model.weights():
        tensors, metadata = load(out / path.name)
        old_tensors, old_metadata = load(path)
        assert metadata == old_metadata
        assert header_keys(out / path.name) == header_keys(path)
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
    for new_id, (kind, value) in enumerate(expected_rows(model, id_map, init, new_rows, out)):
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


def new_row_count(id_map, tokenizer):
    return 1 + max([t["id"] for t in id_map["added"]] + list(added_outside(tokenizer).values())
                   + [max(v) if isinstance(v, list) else v for v in id_map["old_to_new"].values()])


def resize_after(capsys, tmp_path, model, steps, *options):
    """Run the edits one after the other into a new directory, then resize the
    model with their id maps; (the model, the id map of all the edits together,
    the output directory, the report)."""
    out = tmp_path / "out"
    out.mkdir()
    source, maps = model.dir / "tokenizer.json", []
    for step, (command, *arguments) in enumerate(steps):
        target = out / "tokenizer.json" if step == len(steps) - 1 else tmp_path / f"step{step}.json"
        maps.append(tmp_path / f"ids{step}.json")
        run_json(capsys, command, source, *arguments, "-o", target, "--id-map", maps[-1])
        source = target
    report = run_json(capsys, "resize-embeddings", model.dir, *[a for m in maps for a in ("--id-map", m)],
                      "-o", out, *options)
    return model, composed([json.loads(m.read_text()) for m in maps]), out, report


def composed(maps):
    """The id map of edits made one after the other, in the maps' own format."""
    first = maps[0]
    for second in maps[1:]:
        later = second["old_to_new"]
        targets = lambda new: new if isinstance(new, list) else [new]  # noqa: E731
        old_to_new = {}
        for old, mid in first["old_to_new"].items():
            news = sorted(n for m in targets(mid) if str(m) in later for n in targets(later[str(m)]))
            if news:
                old_to_new[old] = news[0] if len(news) == 1 else news
        old_of = {m: int(old) for old, mid in first["old_to_new"].items() for m in targets(mid)}
        removed = first["removed"] + [{"token": e["token"], "id": old_of[e["id"]]}
                                      for e in second["removed"] if e["id"] in old_of]
        added = second["added"] + [{"token": e["token"], "id": n} for e in first["added"]
                                   if str(e["id"]) in later for n in targets(later[str(e["id"])])]
        first = {"old_to_new": old_to_new, "removed": removed, "added": added}
    return first


class TestResize:
    @pytest.mark.parametrize("layout", LAYOUTS)
    @pytest.mark.parametrize("init", ["mean-of-constituents", "mean", "zeros", "norm-matched", "positional", "shrunk"])
    @pytest.mark.parametrize("edit_name", EDITS)
    def test_every_row(self, capsys, tmp_path, edit_name, init, layout):
        model = Model(tmp_path, **LAYOUTS[layout])
        model, id_map, out, report = resize_after(capsys, tmp_path, model, EDITS[edit_name], "--init", init)
        new_rows = new_row_count(id_map, out / "tokenizer.json")
        assert (report["old_rows"], report["new_rows"]) == (len(next(iter(model.matrices.values()))), new_rows)
        assert report["rows_copied"] + report["rows_initialised"] == new_rows
        assert report["tied"] == (len(model.matrices) == 1)
        check_resized(model, out, id_map, init, new_rows)
        if edit_name == "unencodable" and init == "mean-of-constituents":
            assert (report["rows_from_pieces"], report["rows_fell_back_to_mean"]) == (1, 1)
        assert not list(out.glob(".*.tmp"))

    def test_added_tokens_on_model_ids_are_refused(self, capsys, tmp_path):
        """After a shrink the sample's added tokens land on kept tokens' ids."""
        model = Model(tmp_path)
        out = tmp_path / "out"
        out.mkdir()
        run_json(capsys, "shrink", model.dir / "tokenizer.json", "60", "-o", out / "tokenizer.json",
                 "--id-map", tmp_path / "ids.json")
        status, _, err = run(capsys, "resize-embeddings", model.dir, "--id-map", tmp_path / "ids.json", "-o", out)
        assert status == 1 and "onto ids that model tokens hold" in err and "quorvane reindex" in err
        assert sorted(p.name for p in out.iterdir()) == ["tokenizer.json"]

    def test_added_tokens_of_the_new_tokenizer_get_the_mean(self, capsys, tmp_path):
        """A new token the new tokenizer matches whole is not built from pieces."""
        model = Model(tmp_path)
        out = tmp_path / "out"
        out.mkdir()
        run_json(capsys, "add", model.dir / "tokenizer.json", "Ġquorvane", "--reachable", "-o",
                 out / "tokenizer.json", "--id-map", tmp_path / "ids.json")
        id_map = json.loads((tmp_path / "ids.json").read_text())
        whole = id_map["added"][-1]
        _json_edit(out / "tokenizer.json", lambda doc: doc["added_tokens"].append(
            {"id": whole["id"], "content": whole["token"], "special": True, "single_word": False,
             "lstrip": False, "rstrip": False, "normalized": False}))
        report = run_json(capsys, "resize-embeddings", model.dir, "--id-map", tmp_path / "ids.json", "-o", out)
        assert report["rows_fell_back_to_mean"] == 1
        assert report["rows_from_pieces"] == len(id_map["added"]) - 1
        mean = model.matrices["lm_head.weight"].mean(axis=0)
        np.testing.assert_allclose(floats(*load(out / "model.safetensors")[0]["lm_head.weight"])[whole["id"]],
                                   mean, rtol=1e-6)


def shrink_map(capsys, tmp_path, model, out=None):
    """The id map of pruning 60 tokens from the model's tokenizer (the gaps closed,
    the added tokens kept where loaders number them), its tokenizer written into
    `out` if given."""
    id_map = tmp_path / "ids.json"
    target = out / "tokenizer.json" if out is not None else tmp_path / "shrunk.json"
    target.parent.mkdir(exist_ok=True)
    run_json(capsys, "prune", model.dir / "tokenizer.json", "--count", "60", "-o", target, "--id-map", id_map)
    return id_map


def snapshot(directory):
    return {p.name: p.read_bytes() for p in sorted(Path(directory).iterdir())} if Path(directory).exists() else None


class TestOutputDirectory:
    def test_completes_the_model_and_keeps_what_is_there(self, capsys, tmp_path):
        model = Model(tmp_path)
        (model.dir / "generation_config.json").write_text('{"do_sample": false}')
        (model.dir / "pytorch_model.bin").write_bytes(b"old weights")
        (model.dir / "README.md").write_text("card")
        (model.dir / "tokenizer_config.json").write_text(json.dumps({
            "added_tokens_decoder": {"0": {"content": "<|endoftext|>"}, "3000": {"content": "<|im_start|>"},
                                     "3001": {"content": "<|im_end|>"}},
            "chat_template": "{{ x }}",
        }))
        out = tmp_path / "out"
        id_map = shrink_map(capsys, tmp_path, model, out)
        (out / "README.md").write_text("my card")
        edited = (out / "tokenizer.json").read_bytes()
        report = run_json(capsys, "resize-embeddings", model.dir, "--id-map", id_map, "-o", out)
        assert (out / "tokenizer.json").read_bytes() == edited
        assert (out / "README.md").read_text() == "my card"
        assert (out / "generation_config.json").read_text() == '{"do_sample": false}'
        assert not (out / "pytorch_model.bin").exists()
        assert report["files_not_copied"] == ["pytorch_model.bin"]
        (not_copied,) = report["warnings"]
        assert "pytorch_model.bin" in not_copied
        assert sorted(report["files_copied"]) == ["generation_config.json", "tokenizer_config.json"]
        # the added tokens' ids are those the edited tokenizer.json gives them
        decoder = json.loads((out / "tokenizer_config.json").read_text())["added_tokens_decoder"]
        assert {entry["content"]: int(i) for i, entry in decoder.items()} == added_outside(out / "tokenizer.json")
        # a second run replaces what the first wrote
        again = run_json(capsys, "resize-embeddings", model.dir, "--id-map", id_map, "-o", out, "--init", "zeros")
        assert again["files_written"] == report["files_written"] and again["files_copied"] == []

    def test_old_tokenizer_is_not_copied(self, capsys, tmp_path):
        model = Model(tmp_path)
        id_map = shrink_map(capsys, tmp_path, model)
        out = tmp_path / "new" / "out"
        status, text, _ = (main([str(a) for a in ("resize-embeddings", model.dir, "--id-map", id_map, "-o", out)]),
                           *capsys.readouterr())
        assert status == 0 and "no tokenizer.json" in text
        assert sorted(p.name for p in out.iterdir()) == ["config.json", "model.safetensors"]
        assert oct(out.joinpath("config.json").stat().st_mode & 0o777) != oct(0o600)


class TestRows:
    @pytest.mark.parametrize("options, rows", [((), 2940), (("--rows", "3100"), 3100),
                                               (("--pad-to-multiple-of", "64"), 2944)])
    def test_row_count(self, capsys, tmp_path, options, rows):
        """Old rows no token of the map names (padding) are dropped; extra new rows are made like new ones."""
        model = Model(tmp_path, rows=ROWS + 30)
        (model.dir / "tokenizer.json").unlink()  # the map alone says which rows are tokens
        survivors = [i for i in range(3000) if not 100 <= i < 160]
        id_map = tmp_path / "ids.json"
        id_map.write_text(json.dumps({
            "old_to_new": {str(old): new for new, old in enumerate(survivors)},
            "removed": [{"token": f"t{i}", "id": i} for i in range(100, 160)],
            "added": [],
        }))
        out = tmp_path / "out"
        report = run_json(capsys, "resize-embeddings", model.dir, "--id-map", id_map, "-o", out,
                          "--init", "zeros", *options)
        assert (report["old_rows"], report["new_rows"], report["rows_copied"]) == (ROWS + 30, rows, 2940)
        tensors, _ = load(out / "model.safetensors")
        values = floats(*tensors["lm_head.weight"])
        assert values.shape == (rows, WIDTH)
        np.testing.assert_array_equal(values[:2940], model.matrices["lm_head.weight"][survivors])
        assert not values[2940:].any()
        assert json.loads((out / "config.json").read_text())["vocab_size"] == rows

    @pytest.mark.parametrize("dtype", ["BF16", "F64"])
    def test_scattered_rows(self, capsys, tmp_path, dtype):
        """Rows in reverse order (no two consecutive): gathered in memory rather than copied run by run."""
        model = Model(tmp_path, dtype=dtype)
        (model.dir / "tokenizer.json").unlink()
        id_map = tmp_path / "ids.json"
        id_map.write_text(json.dumps({
            "old_to_new": {str(old): ROWS - 1 - old for old in range(ROWS) if old != 7},
            "removed": [{"token": "t7", "id": 7}],
            "added": [{"token": "new", "id": ROWS - 1 - 7}],
        }))
        run_json(capsys, "resize-embeddings", model.dir, "--id-map", id_map, "-o", tmp_path / "out", "--init", "mean")
        tensors, _ = load(tmp_path / "out" / "model.safetensors")
        for name, old in model.matrices.items():
            expected = old[::-1].copy()
            expected[ROWS - 1 - 7] = old.mean(axis=0)
            np.testing.assert_allclose(floats(*tensors[name]), expected, rtol=2**-8)
            np.testing.assert_array_equal(floats(*tensors[name])[:ROWS - 8], old[:7:-1])

    def test_too_few_rows(self, capsys, tmp_path):
        model = Model(tmp_path)
        id_map = shrink_map(capsys, tmp_path, model)
        assert "fewer than the 2942 rows" in failure(
            capsys, "resize-embeddings", model.dir, "--id-map", id_map, "-o", tmp_path / "out", "--rows", "10")
        assert not (tmp_path / "out").exists()


class TestPlan:
    @pytest.mark.parametrize("init", ["mean-of-constituents", "zeros"])
    def test_plan_gives_the_rows_written(self, capsys, tmp_path, init):
        model = Model(tmp_path, dtype="F64")
        before = snapshot(model.dir)
        _, id_map, _, _ = resize_after(capsys, tmp_path, model, EDITS["unencodable"], "--init", init)
        plan_path = tmp_path / "plan.json"
        report = run_json(capsys, "resize-embeddings", model.dir, "--id-map", tmp_path / "ids0.json",
                          "--id-map", tmp_path / "ids1.json", "--plan-only", plan_path, "--init", init,
                          "--tokenizer", tmp_path / "out")
        assert report["plan"] == str(plan_path) and snapshot(model.dir) == before
        plan = json.loads(plan_path.read_text())
        assert (plan["old_rows"], plan["new_rows"], plan["init"]) == (ROWS, new_row_count(id_map, tmp_path / "out" / "tokenizer.json"), init)
        assert plan["tensors"] == ["model.embed_tokens.weight", "lm_head.weight"]
        written, _ = load(tmp_path / "out" / "model.safetensors")
        for name, old in model.matrices.items():
            applied = []
            for row in plan["rows"]:
                if isinstance(row, int):
                    applied.append(old[row])
                elif isinstance(row, list):
                    applied.append(old[row].mean(axis=0))
                else:
                    applied.append(old[plan["mean_of"]].mean(axis=0) if row == "mean" else np.zeros(WIDTH))
            np.testing.assert_allclose(np.array(applied), floats(*written[name]), rtol=1e-12)
        kinds = {type(row).__name__ if not isinstance(row, str) else row for row in plan["rows"]}
        assert kinds == ({"int", "list", "mean"} if init != "zeros" else {"int", "zeros"})
        assert plan["added"] == {str(e["id"]): e["token"] for e in id_map["added"]}


class TestBfloat16:
    """Means are rounded back to bfloat16 to nearest, ties to even; NaN and infinities survive."""

    @pytest.mark.parametrize("value, bits", [
        (1.0, 0x3F80),
        (1.0 + 2**-8, 0x3F80),  # a tie: to the even neighbour, down
        (1.0 + 3 * 2**-8, 0x3F82),  # a tie: to the even neighbour, up
        (1.0 + 2**-8 + 2**-20, 0x3F81),  # past the tie: up
        (-2.5, 0xC020),
        (-0.0, 0x8000),
        (float("inf"), 0x7F80),
        (3.4e38, 0x7F80),  # rounds past the largest bfloat16
        (float("-inf"), 0xFF80),
    ])
    def test_rounding(self, value, bits):
        assert from_float(np.array([value]), "BF16").view("<u2")[0] == bits

    def test_nan_stays_nan(self):
        assert np.isnan(to_float(from_float(np.array([float("nan")]), "BF16"), "BF16")[0])



def _json_edit(path, change):
    value = json.loads(Path(path).read_text())
    change(value)
    Path(path).write_text(json.dumps(value))


def _rewrite_header(path, change):
    """Change the JSON header of a safetensors file, keeping its data."""
    data = Path(path).read_bytes()
    (length,) = struct.unpack("<Q", data[:8])
    header = json.loads(data[8:8 + length])
    change(header)
    text = json.dumps(header).encode()
    Path(path).write_bytes(struct.pack("<Q", len(text)) + text + data[8 + length:])


def _weights(model, tensors, **config):
    """Replace the model's weights with `tensors` {name: (dtype, shape)} of zeros."""
    for path in model.weights():
        path.unlink()
    sizes = {"F32": 4, "I32": 4, "BF16": 2}
    write_safetensors(model.dir / "model.safetensors", {
        name: (dtype, shape, bytes(sizes[dtype] * int(np.prod(shape)))) for name, (dtype, shape) in tensors.items()
    })
    _json_edit(model.dir / "config.json", lambda c: c.update(config))


FIRST_SHARD = "model-00001-of-00002.safetensors"
INDEX = "model.safetensors.index.json"

# name -> (Model options, change(model, id map path, tmp_path) -> extra arguments or None, message)
REFUSALS = {
    "map not JSON": ({}, lambda m, ids, t: ids.write_text("{"), "invalid JSON"),
    "map not a map": ({}, lambda m, ids, t: ids.write_text("[]"), "not an id map"),
    "negative new id": ({}, lambda m, ids, t: _json_edit(ids, lambda v: v["old_to_new"].update({"5": -1})),
                        "-1 is not an id"),
    "two rows to one id": ({}, lambda m, ids, t: _json_edit(ids, lambda v: v["old_to_new"].update({"5": 6})),
                           "new id 6 is given to old ids"),
    "token with two ids": ({}, lambda m, ids, t: _json_edit(ids, lambda v: v["added"].extend(
        [{"token": "Ġzz", "id": 3002}, {"token": "Ġzz", "id": 3003}])), "has two new ids"),
    "map of another tokenizer": ({}, lambda m, ids, t: _json_edit(ids, lambda v: v["removed"].append(
        {"token": "Ġnot-there", "id": 5})), "was not made from"),
    "ids beyond the matrix": (dict(rows=2000), lambda m, ids, t: None, "beyond the embedding's 2000 rows"),
    "gaps everywhere": ({}, lambda m, ids, t: _json_edit(ids, lambda v: v["added"].append(
        {"token": "Ġfar", "id": 10**6})), "close the gaps"),
    "missing shard": (dict(sharded=True), lambda m, ids, t: (m.dir / "model-00002-of-00002.safetensors").unlink(),
                      "which is missing"),
    "tensor in no shard": (dict(sharded=True), lambda m, ids, t: _json_edit(
        m.dir / INDEX, lambda v: v["weight_map"].update({"ghost.weight": FIRST_SHARD})), "is not in its shard"),
    "index not JSON": (dict(sharded=True), lambda m, ids, t: (m.dir / INDEX).write_text("{"), "invalid JSON"),
    "shard outside": (dict(sharded=True), lambda m, ids, t: _json_edit(
        m.dir / INDEX, lambda v: v["weight_map"].update({"lm_head.weight": "../x.safetensors"})),
        "not a file of the model directory"),
    "truncated weights": ({}, lambda m, ids, t: (m.dir / "model.safetensors").write_bytes(
        (m.dir / "model.safetensors").read_bytes()[:-10]), "the file holds"),
    "header not JSON": ({}, lambda m, ids, t: (m.dir / "model.safetensors").write_bytes(
        struct.pack("<Q", 4) + b"{{{{"), "header is not JSON"),
    "header too long": ({}, lambda m, ids, t: (m.dir / "model.safetensors").write_bytes(
        struct.pack("<Q", 2**40) + b"{}"), "header length"),
    "overlapping tensors": ({}, lambda m, ids, t: _rewrite_header(
        m.dir / "model.safetensors", lambda h: h["layers.0.weight"].update(data_offsets=[0, 192])), "overlaps"),
    "size against shape": ({}, lambda m, ids, t: _rewrite_header(
        m.dir / "model.safetensors", lambda h: h["layers.0.weight"].update(shape=[4, 5])), "bytes for I64"),
    "no embedding": ({}, lambda m, ids, t: _weights(m, {"foo.weight": ("F32", (3002, 4))}),
                     "tried model.embed_tokens.weight"),
    "no such --tensor": ({}, lambda m, ids, t: ["--tensor", "nope"], "no tensor 'nope'"),
    "integer embedding": ({}, lambda m, ids, t: ["--tensor", "layers.0.weight"], "is I64; only F16, BF16"),
    "not a matrix": ({}, lambda m, ids, t: _weights(m, {"model.embed_tokens.weight": ("F32", (3002, 2, 2))}),
                     "not [rows, width]"),
    "rows differ": ({}, lambda m, ids, t: _weights(m, {"model.embed_tokens.weight": ("F32", (3002, 4)),
                                                       "lm_head.weight": ("F32", (3010, 4))}), "has 3010 rows"),
    "untied without a head": (dict(tied=True), lambda m, ids, t: _json_edit(
        m.dir / "config.json", lambda c: c.update(tie_word_embeddings=False)), "not tied"),
    "no config": ({}, lambda m, ids, t: (m.dir / "config.json").unlink(), "config.json: no such file"),
    "no weights": ({}, lambda m, ids, t: (m.dir / "model.safetensors").unlink(), "no *.safetensors"),
    "pieces without the tokenizer": ({}, lambda m, ids, t: (m.dir / "tokenizer.json").unlink(), "use --init mean"),
    "output is the model": ({}, lambda m, ids, t: ["-o", m.dir], "names the model directory"),
    "output is a file": ({}, lambda m, ids, t: ["-o", ids], "is not a directory"),
}


class TestRefusals:
    """Each refusal is one error line, writes nothing and leaves the model as it was."""

    @pytest.mark.parametrize("case", REFUSALS)
    def test_refused(self, capsys, tmp_path, case):
        options, change, message = REFUSALS[case]
        model = Model(tmp_path, **options)
        id_map = tmp_path / "ids.json"
        run_json(capsys, "add", model.dir / "tokenizer.json", "Ġquorvane", "-o", tmp_path / "added.json",
                 "--id-map", id_map)
        extra = change(model, id_map, tmp_path)
        extra = extra if isinstance(extra, list) else []
        before = snapshot(model.dir)
        out = tmp_path / "out"
        args = ["resize-embeddings", model.dir, "--id-map", id_map, *(extra if "-o" in extra else ["-o", out, *extra])]
        assert message in failure(capsys, *args)
        assert not out.exists() and snapshot(model.dir) == before

    def test_interrupted_write_leaves_nothing(self, capsys, tmp_path, monkeypatch):
        import quorvane_cli.formats.embedding_writer

        def full(*args):
            raise OSError(28, "No space left on device")

        model = Model(tmp_path, sharded=True)
        out = tmp_path / "out"
        id_map = shrink_map(capsys, tmp_path, model, out)
        before = snapshot(out)
        monkeypatch.setattr(quorvane_cli.formats.embedding_writer, "made_rows", full)
        assert "No space left" in failure(capsys, "resize-embeddings", model.dir, "--id-map", id_map, "-o", out)
        assert snapshot(out) == before  # the edited tokenizer alone, no temporary files
        assert "No space left" in failure(capsys, "resize-embeddings", model.dir, "--id-map", id_map,
                                          "-o", tmp_path / "fresh")
        assert not (tmp_path / "fresh").exists()

    def test_without_numpy(self, capsys, tmp_path, monkeypatch):
        model = Model(tmp_path)
        id_map = shrink_map(capsys, tmp_path, model)
        monkeypatch.setitem(__import__("sys").modules, "numpy", None)
        assert "pip install 'quorvane[model]'" in failure(
            capsys, "resize-embeddings", model.dir, "--id-map", id_map, "-o", tmp_path / "out")

    def test_needs_an_output(self, capsys, tmp_path):
        status = main(["resize-embeddings", str(tmp_path), "--id-map", "x.json"])
        assert status == 2 and "-o/--output and --plan-only" in capsys.readouterr().err
