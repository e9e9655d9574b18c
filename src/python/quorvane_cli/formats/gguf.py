"""GGUF models read as tokenizers: the metadata's `tokenizer.ggml.*` keys become
a tokenizer.json document, and that an editor (`quorvane.Quorvane.from_json`,
no file in between).

Two tokenizer models are read, as llama.cpp runs them:

- "gpt2": byte-level BPE with its merges; the `pre` name stands for the
  pre-tokenizer's regular expressions, applied one after the other, each
  splitting the pieces the one before left (Split ... Isolated in a Sequence,
  then ByteLevel without its own expression). An unknown `pre` is refused
  unless the model's own tokenizer.json is given to take them from.
- "llama": SentencePiece BPE with scores and no merges; the merges are derived
  from the scores (the pair whose product scores highest merges first),
  characters the vocabulary lacks fall back to the `<0xNN>` byte tokens, and
  `add_space_prefix` says whether a "▁" is put before the text.

Token types give the added tokens: CONTROL ones are special, USER_DEFINED ones
are matched whole in the raw text. The container itself is read by the core
(`quorvane.read_gguf`), which checks every declared size against the file.
"""

from __future__ import annotations

import json
import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, cast

import quorvane

from quorvane_cli.cli.errors import CliError

SUFFIX = ".gguf"

# Token types (llama.cpp's llama_token_type).
NORMAL, UNKNOWN, CONTROL, USER_DEFINED, UNUSED, BYTE = 1, 2, 3, 4, 5, 6

# Value types of the metadata.
UINT8, INT8, UINT16, INT16, UINT32, INT32, FLOAT32, BOOL, STRING, ARRAY, UINT64, INT64, FLOAT64 = range(13)
SCALARS = {
    UINT8: "B", INT8: "b", UINT16: "H", INT16: "h", UINT32: "I", INT32: "i",
    FLOAT32: "f", BOOL: "?", UINT64: "Q", INT64: "q", FLOAT64: "d",
}

# Tensor types (ggml_type) by id, as ggml names them.
GGML_TYPES = {
    0: "F32", 1: "F16", 2: "Q4_0", 3: "Q4_1", 6: "Q5_0", 7: "Q5_1", 8: "Q8_0", 9: "Q8_1", 10: "Q2_K",
    11: "Q3_K", 12: "Q4_K", 13: "Q5_K", 14: "Q6_K", 15: "Q8_K", 16: "IQ2_XXS", 17: "IQ2_XS", 18: "IQ3_XXS",
    19: "IQ1_S", 20: "IQ4_NL", 21: "IQ3_S", 22: "IQ2_S", 23: "IQ4_XS", 24: "I8", 25: "I16", 26: "I32",
    27: "I64", 28: "F64", 29: "IQ1_M", 30: "BF16", 34: "TQ1_0", 35: "TQ2_0", 39: "MXFP4",
}
Q8_0 = 8

GPT2_RE = r"'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)"
LLAMA3_RE = (
    r"(?:'[sS]|'[tT]|'[rR][eE]|'[vV][eE]|'[mM]|'[lL][lL]|'[dD])|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}"
    r"| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+"
)
QWEN2_RE = (
    r"(?:'[sS]|'[tT]|'[rR][eE]|'[vV][eE]|'[mM]|'[lL][lL]|'[dD])|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}"
    r"| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+"
)
DEEPSEEK3_RE = [
    r"\p{N}{1,3}",
    "[\u4e00-\u9fa5\u3040-\u309f\u30a0-\u30ff]+",
    "[!\"#$%&'()*+,\\-./:;<=>?@\\[\\\\\\]^_`{|}~][A-Za-z]+|[^\r\n\\p{L}\\p{P}\\p{S}]?[\\p{L}\\p{M}]+"
    "| ?[\\p{P}\\p{S}]+[\r\n]*|\\s*[\r\n]+|\\s+(?!\\S)|\\s+",
]
DEEPSEEK_CODER_RE = ["[\r\n]", r"\s?\p{L}+", r"\s?\p{P}+", "[\u4e00-\u9fa5\u0800-\u4e00\uac00-\ud7ff]+", r"\p{N}"]


@dataclass(frozen=True)
class Pre:
    """What a `pre` name stands for: the regular expressions, applied in turn,
    and whether llama.cpp lets a word of the vocabulary skip the merges."""

    expressions: tuple[str, ...]
    ignore_merges: bool = False


def _names(names: str, pre: Pre) -> dict[str, Pre]:
    return {name: pre for name in names.split()}


PRE: dict[str, Pre] = {
    **_names("default gpt-2 phi-2 olmo mpt jina-es jina-de jina-v2-es jina-v2-de roberta-bpe gigachat trillion",
             Pre((GPT2_RE,))),
    **_names("llama3 llama-v3 llama-bpe falcon3 falcon-h1 pixtral midm-2.0 lfm2", Pre((LLAMA3_RE,), True)),
    **_names("dbrx smaug-bpe", Pre((LLAMA3_RE,))),
    **_names("starcoder refact command-r smollm codeshell exaone minerva-7b", Pre((r"\p{N}", GPT2_RE))),
    **_names("qwen2 deepseek-r1-qwen stablelm2 hunyuan megrez", Pre((QWEN2_RE,))),
    **_names("deepseek-v3 hunyuan-dense", Pre(tuple(DEEPSEEK3_RE))),
    **_names("deepseek-coder", Pre(tuple(DEEPSEEK_CODER_RE))),
}

EMBEDDINGS = ("token_embd.weight", "output.weight")  # input rows, and output rows unless tied


def is_gguf(path: str) -> bool:
    """Whether `path` names a GGUF file (by its name; the content is checked on reading)."""
    return path.lower().endswith(SUFFIX) and not os.path.isdir(path)


# The tokenizer ---------------------------------------------------------------


@dataclass
class Gguf:
    """A GGUF file as read: its container and the metadata by key."""

    path: str
    container: dict[str, Any]
    values: dict[str, Any]

    @property
    def architecture(self) -> str:
        return str(self.values.get("general.architecture", ""))

    @property
    def model(self) -> str:
        return str(self.values.get("tokenizer.ggml.model", ""))

    @property
    def pre(self) -> str:
        return str(self.values.get("tokenizer.ggml.pre", "default"))

    def array(self, key: str) -> list[Any] | None:
        value = self.values.get(key)
        return value[1] if isinstance(value, tuple) else None

    def element_type(self, key: str) -> int | None:
        """The value type of the elements of the array under `key`."""
        value = self.values.get(key)
        return value[0] if isinstance(value, tuple) else None

    def special_ids(self) -> dict[str, int]:
        """tokenizer.ggml.{name}_token_id -> id, for every such key the file has."""
        found = {}
        for key, value in self.values.items():
            if key.startswith("tokenizer.ggml.") and key.endswith("_token_id") and type(value) is int:
                found[key] = value
        return found

    def tensor(self, name: str) -> tuple[str, tuple[int, ...], int, int, int] | None:
        return next((t for t in self.container["tensors"] if t[0] == name), None)


def read_gguf(path: str) -> Gguf:
    """The GGUF file `path`: its header, metadata and tensor directory, read by the core."""
    try:
        # Read through a plain dict: the writer and `info` look fields up by name.
        container = cast("dict[str, Any]", quorvane.read_gguf(path))
    except OSError as exc:
        raise CliError(f"cannot read {path}: {exc.strerror or exc}") from None
    values = {key: value for key, _, value, _, _ in container["metadata"]}
    return Gguf(path, container, values)


def _added(content: str, token_id: int, special: bool) -> dict[str, object]:
    return {"id": token_id, "content": content, "single_word": False, "lstrip": False, "rstrip": False,
            "normalized": False, "special": special}


def _pre_parts(model: Gguf, tokenizer_json: str | None) -> dict[str, object]:
    """The normalizer, pre-tokenizer and decoder of a "gpt2" model."""
    if tokenizer_json is not None:
        from quorvane_cli.cli.jsonfile import read_json

        document = read_json(tokenizer_json)
        if not isinstance(document, dict):
            raise CliError(f"{tokenizer_json}: not a tokenizer.json document")
        return {key: document.get(key) for key in ("normalizer", "pre_tokenizer", "decoder", "post_processor")}
    pre = PRE.get(model.pre)
    if pre is None:
        raise CliError(
            f"{model.path}: the pre-tokenizer {model.pre!r} is not known; give the model's own tokenizer.json "
            "with --tokenizer-json FILE to take it from"
        )
    splits: list[dict[str, object]] = [
        {"type": "Split", "pattern": {"Regex": expression}, "behavior": "Isolated", "invert": False}
        for expression in pre.expressions
    ]
    byte_level = {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True, "use_regex": False}
    return {
        "normalizer": None,
        "pre_tokenizer": {"type": "Sequence", "pretokenizers": [*splits, byte_level]},
        "decoder": {"type": "ByteLevel", "add_prefix_space": True, "trim_offsets": True, "use_regex": True},
        "post_processor": None,
    }


def bpe_members(path: str) -> str:
    """The "vocab" and "merges" members of the tokenizer in the GGUF file `path`,
    written as JSON text by the core (see `quorvane.gguf_bpe_members`)."""
    try:
        return quorvane.gguf_bpe_members(path)
    except OSError as exc:
        raise CliError(f"cannot read {path}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise CliError(f"{path}: {exc}") from None


def tokenizer_text(model: Gguf, tokenizer_json: str | None = None,
                   members: Callable[[], str] | None = None) -> str:
    """The tokenizer.json text of the tokenizer in `model`'s metadata.

    The document around the model's vocabulary and merges is small and made
    here; those two, the bulk of it, are written as text by the core:
    `members()` gives them (by default `bpe_members` of the file)."""
    document = _document_without_vocab(model, tokenizer_json)
    text = members() if members is not None else bpe_members(model.path)
    head = json.dumps(document, ensure_ascii=False, separators=(",", ":"))
    # "model" is the document's last member: its object and the document close the text.
    assert head.endswith("}}"), "the model must be the document's last member"
    return f"{head[:-2]},{text}}}}}"


def _document_without_vocab(model: Gguf, tokenizer_json: str | None) -> dict[str, object]:
    """The tokenizer.json document of `model`'s tokenizer, but for the model's
    "vocab" and "merges" (which would come last in it)."""
    kind = model.model
    tokens = model.array("tokenizer.ggml.tokens")
    if kind not in ("gpt2", "llama"):
        what = {"bert": "WordPiece", "t5": "Unigram", "rwkv": "RWKV", "plamo2": "PLaMo-2"}.get(kind, kind or "none")
        raise CliError(
            f"{model.path}: tokenizer model {kind!r} ({what}) is not byte-pair encoding; "
            "only \"gpt2\" and \"llama\" models are read"
        )
    if not tokens or model.element_type("tokenizer.ggml.tokens") != STRING:
        raise CliError(f"{model.path}: no tokenizer.ggml.tokens array of strings")
    types = model.array("tokenizer.ggml.token_type") or [NORMAL] * len(tokens)
    if len(types) != len(tokens):
        raise CliError(f"{model.path}: {len(types)} token types for {len(tokens)} tokens")
    added = [_added(tokens[i], i, kind_ == CONTROL) for i, kind_ in enumerate(types) if kind_ in (CONTROL, USER_DEFINED)]
    unknown_id = model.values.get("tokenizer.ggml.unknown_token_id")
    if kind == "gpt2":
        parts = _pre_parts(model, tokenizer_json)
        bpe: dict[str, object] = {
            "type": "BPE", "dropout": None, "unk_token": None, "continuing_subword_prefix": None,
            "end_of_word_suffix": None, "fuse_unk": False, "byte_fallback": False,
            "ignore_merges": PRE[model.pre].ignore_merges if tokenizer_json is None and model.pre in PRE else False,
        }
        return {"version": "1.0", "truncation": None, "padding": None, "added_tokens": added, **parts, "model": bpe}
    space_prefix = bool(model.values.get("tokenizer.ggml.add_space_prefix", True))
    normalizers: list[dict[str, object]] = [{"type": "Replace", "pattern": {"String": " "}, "content": "\u2581"}]
    if space_prefix:
        normalizers.insert(0, {"type": "Prepend", "prepend": "\u2581"})
    unk = tokens[unknown_id] if type(unknown_id) is int and 0 <= unknown_id < len(tokens) else None
    bpe = {
        "type": "BPE", "dropout": None, "unk_token": unk, "continuing_subword_prefix": None,
        "end_of_word_suffix": None, "fuse_unk": True, "byte_fallback": True, "ignore_merges": False,
    }
    decoders: list[dict[str, object]] = [
        {"type": "Replace", "pattern": {"String": "\u2581"}, "content": " "},
        {"type": "ByteFallback"}, {"type": "Fuse"},
    ]
    if space_prefix:
        decoders.append({"type": "Strip", "content": " ", "start": 1, "stop": 0})
    return {
        "version": "1.0", "truncation": None, "padding": None, "added_tokens": added,
        "normalizer": {"type": "Sequence", "normalizers": normalizers},
        "pre_tokenizer": None, "post_processor": None,
        "decoder": {"type": "Sequence", "decoders": decoders}, "model": bpe,
    }
