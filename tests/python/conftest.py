"""Shared fixtures: small tokenizer documents built from dicts, and the real
tokenizers of ../shared/corpus, decompressed once into pytest's cache."""

import json
import lzma
import os
from pathlib import Path

import pytest

import quorvane

# transformers (test_modeldir) loads from local directories only; never from a hub.
os.environ["HF_HUB_OFFLINE"] = "1"
os.environ["TRANSFORMERS_OFFLINE"] = "1"

ROOT = Path(__file__).resolve().parents[2]
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
