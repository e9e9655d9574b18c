"""Bits per byte: how well a GGUF model predicts a text, computed with llama.cpp.

The figure is the model's cross-entropy over the text, summed over the tokens
it predicts, in bits, divided by the text's UTF-8 bytes. Unlike a loss per
token it does not depend on how the text is cut into tokens, so it compares a
model before and after a tokenizer edit, or models with different tokenizers.

The text is read as `eval` reads it: each non-blank line is a document,
encoded on its own without special tokens, so the tokens per byte here equal
the compression report's for the model's own tokenizer. In the stream the
model reads, each document follows the tokens of "\\n", which give it the
start of a line as context and are not scored (their bytes are not the
text's). The stream is cut into windows of `context` tokens, each starting
with the begin-of-text token when the model adds one, else with the last
token of the window before; the logits at a window's positions predict the
tokens after them, so every document token is scored exactly once.

llama.cpp keeps the logits of every position a batch asks for, a row of
vocabulary-size floats each (1 MiB for a 262,144-token vocabulary), so batches
are cut to hold about OUTPUT_BYTES of them; each row is reduced to the target's
log-probability (a log-sum-exp from the row's maximum) as it is read.
"""

from __future__ import annotations

import ctypes
import math
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from quorvane_cli.cli.errors import CliError
from quorvane_cli.cli.progress import Progress
from quorvane_cli.text.reading import TextFile

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

MISSING_CLIENT = ("bits per byte needs llama.cpp: pip install 'quorvane[llama]' "
                  "(eval --no-model measures a GGUF model's tokenizer alone)")
DEFAULT_CONTEXT = 512
OUTPUT_BYTES = 64 << 20  # logits llama.cpp holds for one batch
MAX_BATCH = 512


def _silent(level: int, text: bytes, data: ctypes.c_void_p) -> None:
    """llama.cpp's log lines, dropped: reports and tests stay readable."""


_callback: Any = None  # kept alive as long as llama.cpp may call it


def _llama_cpp() -> Any:
    """The `llama_cpp` module with its log silenced, imported only when needed."""
    global _callback
    try:
        import llama_cpp  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        raise CliError(MISSING_CLIENT) from None
    if _callback is None:
        _callback = llama_cpp.llama_log_callback(_silent)
        llama_cpp.llama_log_set(_callback, ctypes.c_void_p(0))
        llama_cpp.llama_backend_init()
    return llama_cpp


@dataclass
class _Stream:
    """A text as the model reads it: `tokens`, and which of them are scored
    (the documents' own tokens, not their separators)."""

    tokens: npt.NDArray[np.int32]
    scored: npt.NDArray[np.bool_]
    documents: int
    size: int  # UTF-8 bytes of the documents read


class _Model:
    """A GGUF model loaded by llama.cpp, with a context of `context` tokens."""

    def __init__(self, path: str, context: int | None, threads: int | None) -> None:
        self.llama = llama = _llama_cpp()
        try:
            with open(path, "rb"):
                pass
        except OSError as exc:
            raise CliError(f"cannot read {path}: {exc.strerror or exc}") from None
        params = llama.llama_model_default_params()
        self.model = llama.llama_model_load_from_file(path.encode(), params)
        if not self.model:
            raise CliError(f"{path}: llama.cpp cannot load this model")
        self.ctx = None
        self.batch: Any = None
        try:
            self.vocab = llama.llama_model_get_vocab(self.model)
            self.n_vocab = int(llama.llama_vocab_n_tokens(self.vocab))
            trained = int(llama.llama_model_n_ctx_train(self.model))
            self.context = min(DEFAULT_CONTEXT, trained) if context is None else context
            if self.context > trained:
                raise CliError(f"--context {self.context} is beyond the {trained} tokens {path} was trained on")
            if self.context < 2:
                raise CliError(f"--context {self.context}: a window needs at least 2 tokens")
            bos = int(llama.llama_vocab_bos(self.vocab))
            self.bos = bos if llama.llama_vocab_get_add_bos(self.vocab) and bos >= 0 else None
            self.batch_size = max(1, min(MAX_BATCH, self.context, OUTPUT_BYTES // (4 * self.n_vocab)))
            ctx_params = llama.llama_context_default_params()
            ctx_params.n_ctx = self.context
            ctx_params.n_batch = ctx_params.n_ubatch = self.batch_size
            ctx_params.n_seq_max = 1
            # The plain attention path: on the CPU the flash one rounds through
            # 16-bit floats, which moves the figure by tenths of a percent.
            ctx_params.flash_attn_type = getattr(llama, "LLAMA_FLASH_ATTN_TYPE_DISABLED", 0)
            if threads:
                ctx_params.n_threads = ctx_params.n_threads_batch = threads
            self.ctx = llama.llama_init_from_model(self.model, ctx_params)
            if not self.ctx:
                raise CliError(f"{path}: llama.cpp cannot make a context of {self.context} tokens for it")
            self.batch = llama.llama_batch_init(self.batch_size, 0, 1)
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        if self.batch is not None:
            self.llama.llama_batch_free(self.batch)
            self.batch = None
        if self.ctx:
            self.llama.llama_free(self.ctx)
            self.ctx = None
        if self.model:
            self.llama.llama_model_free(self.model)
            self.model = None

    def tokenize(self, text: str) -> list[int]:
        """The ids of `text`, without special tokens, as llama.cpp encodes it."""
        data = text.encode()
        room = len(data) + 8
        while True:
            out = (self.llama.llama_token * room)()
            count = int(self.llama.llama_tokenize(self.vocab, data, len(data), out, room, False, False))
            if count >= 0:
                return list(out[:count])
            room = -count

    def read(self, path: str, max_bytes: int | None) -> _Stream:
        """The stream of a text: every document (up to `max_bytes` bytes of them,
        whole documents only) after the tokens of a newline."""
        import numpy as np

        separator = self.tokenize("\n")
        tokens: list[int] = []
        scored: list[bool] = []
        documents = size = 0
        text = TextFile(path)
        try:
            for document in text.documents():
                length = len(document.encode())
                if max_bytes is not None and size + length > max_bytes:
                    break
                ids = self.tokenize(document)
                tokens += separator
                scored += [False] * len(separator)
                tokens += ids
                scored += [True] * len(ids)
                documents += 1
                size += length
        finally:
            text.close()
        return _Stream(np.asarray(tokens, dtype=np.int32), np.asarray(scored, dtype=bool), documents, size)

    def windows(self, stream: _Stream) -> Iterator[tuple[npt.NDArray[np.int32], int]]:
        """The windows of the stream, each with the stream index of its position 1
        (position 0 is context only)."""
        import numpy as np

        tokens, n = stream.tokens, self.context
        if self.bos is not None:
            head = np.asarray([self.bos], dtype=np.int32)
            for start in range(0, len(tokens), n - 1):
                yield np.concatenate([head, tokens[start:start + n - 1]]), start
            return
        for start in range(0, len(tokens) - 1, n - 1):
            yield tokens[start:start + n], start + 1

    def window_nats(self, window: npt.NDArray[np.int32], scored: npt.NDArray[np.bool_]) -> float:
        """The negative log-likelihood (in nats) of the tokens `window[1:]` that
        `scored` (aligned with `window[1:]`) marks, given the tokens before them."""
        import numpy as np

        llama = self.llama
        llama.llama_memory_clear(llama.llama_get_memory(self.ctx), True)
        batch = self.batch
        buffer = np.empty(self.n_vocab, dtype=np.float32)
        total = 0.0
        wanted = np.zeros(len(window), dtype=bool)
        wanted[:-1] = scored
        for first in range(0, len(window), self.batch_size):
            last = min(first + self.batch_size, len(window))
            for i in range(first, last):
                k = i - first
                batch.token[k] = int(window[i])
                batch.pos[k] = i
                batch.n_seq_id[k] = 1
                batch.seq_id[k][0] = 0
                batch.logits[k] = bool(wanted[i])
            batch.n_tokens = last - first
            if llama.llama_decode(self.ctx, batch) != 0:
                raise CliError("llama.cpp failed to evaluate a window of the text")
            for i in np.flatnonzero(wanted[first:last]).tolist():
                pointer = llama.llama_get_logits_ith(self.ctx, i)
                row = np.ctypeslib.as_array(pointer, shape=(self.n_vocab,))
                top = float(row.max())
                np.subtract(row, top, out=buffer)
                np.exp(buffer, out=buffer)
                log_sum = top + math.log(float(buffer.sum(dtype=np.float64)))
                total += log_sum - float(row[int(window[first + i + 1])])
        return total


def bits_per_byte(
    model: str,
    texts: Sequence[str],
    *,
    context: int | None = None,
    max_bytes: int | None = None,
    threads: int | None = None,
    progress: Progress | None = None,
) -> list[dict[str, object]]:
    """How well the GGUF model at `model` predicts each of `texts` (paths), one dict each.

    Each dict holds "text" (the path), "bits_per_byte" (the model's
    cross-entropy over the text's documents in bits, over their UTF-8 bytes),
    "tokens_per_byte", "bytes_scored", "tokens_scored", "documents", "windows"
    and "context". Windows are `context` tokens long (default: 512, or the
    model's training context when shorter); `max_bytes` caps the text (whole
    lines); `threads` is llama.cpp's thread count (default: its own choice).
    Needs the `llama-cpp-python` package (`quorvane[llama]`); silences
    llama.cpp's log for the rest of the process. Raises CliError for a model
    llama.cpp cannot load, a context beyond the model's, a text with nothing
    to score; OSError for a text that cannot be opened.
    """
    progress = progress or Progress(False)
    if max_bytes is not None and max_bytes < 1:
        raise CliError(f"--max-bytes {max_bytes}: nothing would be scored")
    progress.phase(f"loading {model} in llama.cpp")
    loaded = _Model(model, context, threads)
    results: list[dict[str, object]] = []
    try:
        for path in texts:
            progress.phase(f"encoding {path} for {model}")
            stream = loaded.read(path, max_bytes)
            count = int(stream.scored.sum())
            if not count:
                raise CliError(f"{path}: no text to score" + (f" within --max-bytes {max_bytes}"
                                                             if max_bytes is not None else ""))
            nats = 0.0
            done = windows = 0
            with progress.bar(f"scoring {path} with {model}", count) as advance:
                for window, start in loaded.windows(stream):
                    scored = stream.scored[start:start + len(window) - 1]
                    nats += loaded.window_nats(window, scored)
                    done += int(scored.sum())
                    windows += 1
                    advance(done)
            results.append({
                "text": path,
                "bits_per_byte": nats / math.log(2) / stream.size,
                "tokens_per_byte": count / stream.size,
                "bytes_scored": stream.size,
                "tokens_scored": count,
                "documents": stream.documents,
                "windows": windows,
                "context": loaded.context,
            })
    finally:
        loaded.close()
    return results
