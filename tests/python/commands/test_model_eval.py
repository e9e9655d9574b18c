"""Bits per byte of the real GGUF models (`eval` on a GGUF): the figure against
one computed here from every logit of the same windows, the tokens per byte
against the compression report of the model's own tokenizer, and the inputs
it refuses. Slow: llama.cpp runs the models (a few hundred bytes of text each)."""

import lzma
import math

import numpy as np
import pytest

from conftest import ROOT
from quorvane_cli.cli.errors import CliError
from quorvane_cli.commands.model_eval import bits_per_byte
from test_cli import failure, run_json

pytestmark = pytest.mark.slow

HELDOUT = ROOT.parent / "shared" / "text" / "cs-heldout.txt.xz"
CONTEXT = 32  # several windows from a short text


@pytest.fixture(scope="module")
def short_text(tmp_path_factory):
    """The first lines of the Czech held-out text, about 400 bytes."""
    lines = []
    with lzma.open(HELDOUT, "rt", encoding="utf-8") as file:
        for line in file:
            if line.strip():
                lines.append(line.rstrip("\n"))
            if sum(len(line.encode()) for line in lines) > 400:
                break
    path = tmp_path_factory.mktemp("text") / "cs.txt"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path, lines


def full_logits_bits_per_byte(model, lines, context):
    """Bits per byte from every logit of every window, by the windows the
    documentation describes: documents after the tokens of "\\n", windows that
    start with the begin-of-text token, or else overlap by one token."""
    import llama_cpp

    llm = llama_cpp.Llama(model, n_ctx=context, n_batch=context, n_threads=2, logits_all=True, verbose=False)
    separator = llm.tokenize(b"\n", add_bos=False, special=False)
    stream, scored = [], []
    for line in lines:
        ids = llm.tokenize(line.encode(), add_bos=False, special=False)
        stream += separator + ids
        scored += [False] * len(separator) + [True] * len(ids)
    bos = llm.token_bos() if llama_cpp.llama_vocab_get_add_bos(llama_cpp.llama_model_get_vocab(llm.model)) else None
    windows = []
    if bos is not None:
        for start in range(0, len(stream), context - 1):
            windows.append(([bos] + stream[start:start + context - 1], start))
    else:
        for start in range(0, len(stream) - 1, context - 1):
            windows.append((stream[start:start + context], start + 1))
    nats = 0.0
    for window, start in windows:
        llm.reset()
        llm.eval(window)
        logits = np.asarray(llm.scores[:len(window) - 1], dtype=np.float64)
        logits -= logits.max(axis=1, keepdims=True)
        log_probs = logits - np.log(np.exp(logits).sum(axis=1, keepdims=True))
        for position, target in enumerate(window[1:]):
            if scored[start + position]:
                nats -= log_probs[position, target]
    return nats / math.log(2) / sum(len(line.encode()) for line in lines), sum(scored)


@pytest.mark.parametrize("name", ["smollm2", "gemma3"])
def test_bits_per_byte_against_full_logits(capsys, gguf_models, short_text, name):
    path, lines = short_text
    model = gguf_models[name]
    result = run_json(capsys, "eval", model, "--text", path, "--context", CONTEXT, "--threads", 2)
    (subject,) = result["tokenizers"]
    (figures,) = subject["model"]
    expected, tokens = full_logits_bits_per_byte(model, lines, CONTEXT)
    assert figures["bytes_scored"] == result["bytes"]
    assert figures["tokens_scored"] == tokens == subject["tokens"]
    assert figures["windows"] > 2
    assert figures["bits_per_byte"] == pytest.approx(expected, rel=1e-4)
    # the model's own tokenizer, read from the file, counts as llama.cpp does
    assert figures["tokens_per_byte"] == pytest.approx(1 / subject["bytes_per_token"], rel=1e-12)


class TestRefused:
    def test_a_model_llama_cpp_cannot_load(self, tmp_path, gguf_models, short_text):
        broken = tmp_path / "broken.gguf"
        with open(gguf_models["smollm2"], "rb") as file:
            broken.write_bytes(file.read(1 << 20))
        with pytest.raises(CliError, match="llama.cpp cannot load"):
            bits_per_byte(str(broken), [str(short_text[0])])

    def test_a_context_beyond_the_models(self, capsys, gguf_models, short_text):
        err = failure(capsys, "eval", gguf_models["smollm2"], "--text", short_text[0], "--context", 10**6)
        assert "--context 1000000 is beyond the 8192 tokens" in err

    @pytest.mark.parametrize("argv, message", [
        (["--max-bytes", "10"], "no text to score within --max-bytes 10"),
        (["--context", "1"], "a window needs at least 2 tokens"),
    ])
    def test_nothing_to_score(self, capsys, gguf_models, short_text, argv, message):
        err = failure(capsys, "eval", gguf_models["smollm2"], "--text", short_text[0], *argv)
        assert message in err
