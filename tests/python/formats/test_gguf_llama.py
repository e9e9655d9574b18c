"""The real models, judged by llama.cpp itself (through llama-cpp-python): its
tokenization of every line of the shared texts (69,000) equals the `tokenizers`
package's on the tokenizer.json of the same edit, before any edit and after
each kind of edit, and the edited model loads and evaluates. Slow: each case
reads, edits and writes a whole model."""

import json
import lzma
import math
import shlex
from pathlib import Path

import numpy as np
import pytest

import quorvane
from quorvane_cli.formats.gguf import read_gguf
from test_cli import run_json

pytestmark = pytest.mark.slow
tokenizers = pytest.importorskip("tokenizers")
gguf = pytest.importorskip("gguf")

TEXT_DIR = Path(__file__).resolve().parents[4] / "shared" / "text"
TEXTS = sorted(str(path) for path in TEXT_DIR.glob("*.txt.xz"))
TRAIN = [path for path in TEXTS if "-train" in path]


def lines(paths):
    found = []
    for path in paths:
        with lzma.open(path, "rt", encoding="utf-8") as file:
            found += [line.rstrip("\n") for line in file if line.strip()]
    return found


@pytest.fixture(scope="module")
def text_lines():
    """Every line of the shared texts."""
    return lines(TEXTS)


def llama_cpp():
    import llama_cpp as module  # an ImportError fails the test: the main run installs it

    return module


def llama_tokenize(model):
    """llama.cpp's tokenization of one line (no BOS, special tokens as text),
    through its C function when the binding has it: the Python wrapper costs
    as much again per call, and every line of the texts is tokenized per edit."""
    module = llama_cpp()
    vocab_model = module.Llama(model, vocab_only=True, verbose=False)
    get_vocab = getattr(module, "llama_model_get_vocab", None)
    if get_vocab is None:
        return lambda raw: vocab_model.tokenize(raw, add_bos=False, special=False)
    vocab = get_vocab(vocab_model._model.model)
    size = 1 << 16
    buffer = (module.llama_token * size)()

    def tokenize(raw):
        count = module.llama_tokenize(vocab, raw, len(raw), buffer, size, False, False)
        assert 0 <= count <= size, f"llama_tokenize returned {count}"
        return buffer[:count]

    tokenize.keep = vocab_model  # the model must outlive the function
    return tokenize


def mismatches(model, tokenizer_json, text_lines):
    """The lines llama.cpp and the tokenizers package encode differently."""
    tokenize = llama_tokenize(model)
    client = tokenizers.Tokenizer.from_file(str(tokenizer_json))
    client.no_truncation()
    ours = client.encode_batch(text_lines, add_special_tokens=False)
    return [line for line, encoding in zip(text_lines, ours) if tokenize(line.encode("utf-8")) != encoding.ids]


def evaluates(model, vocab_size):
    """The model loads in llama.cpp and gives finite logits over `vocab_size` tokens."""
    llm = llama_cpp().Llama(model, n_ctx=64, n_threads=2, verbose=False, logits_all=True)
    assert llm.n_vocab() == vocab_size
    tokens = llm.tokenize("Dobrý den, jak se máte?".encode(), add_bos=True)
    llm.eval(tokens)
    logits = np.asarray(llm.scores[llm.n_tokens - 1])
    assert np.isfinite(logits).all() and logits.std() > 0


EDITS = {
    "unedited": ["reindex"],
    "prune": ["prune", "--count", "2048", "--text", *TRAIN],
    "extend": ["extend", "--text", TRAIN[0], "--add", "256"],
    "adapt": ["adapt", "--text", TRAIN[0], "--keep-text", TRAIN[-1], "--replace", "256"],
    "add-reachable": ["add", "Dobrý", "dziękuję", "Quorvane", "--reachable"],
    "remove": ["remove", "the", "▁the", "Ġthe", "ing", "▁ing", "Ġing"],
}


def edit(name, model, tmp_path, capsys):
    """Run edit `name` on `model` twice, to a GGUF and to a tokenizer.json; both paths."""
    command, *arguments = EDITS[name]
    if name in ("add-reachable", "remove"):  # tokens in the model's own spelling
        space = "Ġ" if read_gguf(model).model == "gpt2" else "▁"
        arguments = [a for a in arguments if not a.startswith(("▁", "Ġ")) or a.startswith(space)]
    outputs = []
    for suffix in ("gguf", "json"):
        out = tmp_path / f"{name}.{suffix}"
        run_json(capsys, command, model, *arguments, "-o", out)
        outputs.append(out)
    if name == "remove":  # then close the gaps the removal left, in both
        for out in outputs:
            run_json(capsys, "reindex", out, "--in-place")
    return outputs


@pytest.mark.parametrize("model_name", ["smollm2", "gemma3"])
@pytest.mark.parametrize("name", list(EDITS))
def test_llama_cpp_agrees(gguf_models, tmp_path, capsys, text_lines, model_name, name):
    model = gguf_models[model_name]
    written, document = edit(name, model, tmp_path, capsys)
    assert mismatches(str(written), document, text_lines)[:3] == []
    vocab_size = len(json.loads(document.read_text(encoding="utf-8"))["model"]["vocab"])
    if name != "unedited":
        evaluates(str(written), vocab_size)


def embedding_bytes(path):
    """The rows of token_embd.weight as raw bytes, one row per token (the
    gguf package's reader takes a minute over a 262,144-token vocabulary)."""
    container = quorvane.read_gguf(path)
    name, dims, _, offset, nbytes = next(t for t in container["tensors"] if t[0] == "token_embd.weight")
    data = np.memmap(path, np.uint8, "r", container["data_offset"] + offset, (nbytes,))
    return data.reshape(dims[1], -1)


@pytest.mark.parametrize("model_name", ["smollm2", "gemma3"])
def test_surviving_rows_are_bytes_of_the_old(gguf_models, tmp_path, capsys, model_name):
    model = gguf_models[model_name]
    out = tmp_path / "out.gguf"
    run_json(capsys, "extend", model, "--text", TRAIN[0], "--add", "64", "-o", out, "--id-map",
             tmp_path / "map.json")
    id_map = json.loads((tmp_path / "map.json").read_text(encoding="utf-8"))
    old_raw, new_raw = embedding_bytes(model), embedding_bytes(str(out))
    moves = [(int(a), b) for a, b in id_map["old_to_new"].items()]
    olds = np.array([a for a, _ in moves])
    news = np.array([b for _, b in moves])
    assert (new_raw[news] == old_raw[olds]).all()
    assert len(id_map["added"]) == 64


def recipe_commands():
    """The commands of the guide's recipe for shrinking a GGUF model (indented
    blocks, continuation lines joined), as argument lists without `quorvane`."""
    text = (Path(__file__).resolve().parents[3] / "docs" / "recipes.md").read_text(encoding="utf-8")
    start = text.index("## Shrink a GGUF model")
    section = text[start:text.index("\n## ", start + 1)]
    commands, current = [], ""
    for line in section.splitlines():
        if line.startswith("    ") and line.strip():
            current += line.strip()
            if current.endswith("\\"):
                current = current[:-1]
                continue
            commands.append(shlex.split(current))
            current = ""
    assert [command[0] for command in commands] == ["quorvane", "quorvane"], commands
    return [command[1:] for command in commands]


def test_shrink_recipe_runs(gguf_models, tmp_path, capsys, monkeypatch):
    # Model and texts at their real paths; the model's view on 1,000 bytes of
    # each text instead of the recipe's 20,000, which would take minutes here.
    names = {"gemma-3-270m-q4_k_m.gguf": gguf_models["gemma3"], **{Path(p).name: p for p in TEXTS}}
    monkeypatch.chdir(tmp_path)
    prune, evaluate = recipe_commands()
    prune = [names.get(arg, arg) for arg in prune]
    evaluate = [names.get(arg, arg) for arg in evaluate]
    evaluate[evaluate.index("--max-bytes") + 1] = "1000"
    pruned = run_json(capsys, *prune)
    assert pruned["vocab_size"] == 262144 - 196608
    figures = run_json(capsys, *evaluate)
    before, after = figures["tokenizers"]
    assert after["vocab_size"] == pruned["vocab_size"]
    for model in (before, after):
        assert len(model["model"]) == 2 and all(0 < entry["bytes_scored"] <= 1000 for entry in model["model"])
        assert all(math.isfinite(entry["bits_per_byte"]) for entry in model["model"])
