"""`eval`: what tokenizers do with a text, measured with the `tokenizers` package.

Each non-blank line of the texts is one document, encoded without special
tokens, and without the truncation or padding a file may configure, since both
would change the counts. Line endings are not part of the text measured. The
texts are read once, in chunks of lines that every tokenizer encodes in turn,
so a large corpus is never held in memory; `.xz` and `.gz` files are
decompressed on the way.

Figures, per tokenizer:

- bytes, characters per token: UTF-8 bytes and code points of the documents
  over the number of tokens they encode to;
- tokens per word: tokens over the whitespace-separated pieces of the text;
- byte-fallback share: the tokens "<0x00>".."<0xFF>" among all tokens (0 for a
  model without byte fallback, where such tokens are ordinary ones);
- vocabulary used: distinct ids seen over the complete vocabulary size (the
  client's count, added tokens included);
- unreachable tokens: vocabulary tokens that no text ever produces, from
  `Quorvane.unreachable_tokens`.
"""

from __future__ import annotations

import argparse
import contextlib
import os
from collections import Counter
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import quorvane

from quorvane_cli.cli.errors import CliError
from quorvane_cli.formats.gguf import is_gguf
from quorvane_cli.formats.source import open_source
from quorvane_cli.commands.model_eval import bits_per_byte
from quorvane_cli.cli.output import Report
from quorvane_cli.cli.progress import Progress
from quorvane_cli.text.reading import TextFile, line_batches

if TYPE_CHECKING:
    from tokenizers import Tokenizer

MISSING_CLIENT = "quorvane eval needs the tokenizers package: pip install 'quorvane[eval]'"

LINES_PER_BATCH = 1000
TEXT_KEYS = ("documents", "bytes", "characters", "words")


def _client() -> type[Tokenizer]:
    """The `tokenizers.Tokenizer` class, imported only when eval runs."""
    try:
        from tokenizers import Tokenizer
    except ImportError:
        raise CliError(MISSING_CLIENT) from None
    return Tokenizer


@dataclass
class _Subject:
    """One tokenizer under measurement, and what it has produced so far."""

    path: str
    client: Tokenizer
    editor: quorvane.Quorvane
    byte_fallback: bool
    byte_ids: frozenset[int]  # ids of the byte tokens "<0x00>".."<0xFF>" when byte_fallback is on
    tokens: int = 0
    seen: Counter[int] = field(default_factory=Counter)  # id -> occurrences


def _load(path: str, client_class: type[Tokenizer]) -> _Subject:
    source = open_source(path)
    editor = source.editor()  # the same error as every other subcommand for a bad file
    try:
        client = client_class.from_str(source.document())
    except Exception as exc:  # the client raises plain Exception for every kind of failure
        raise CliError(f"{path}: the tokenizers package cannot load it: {exc}") from None
    client.no_truncation()
    client.no_padding()
    byte_fallback = getattr(client.model, "byte_fallback", False) is True
    byte_ids: frozenset[int] = frozenset()
    if byte_fallback:
        byte_ids = frozenset(
            token_id for b in range(256) if (token_id := client.token_to_id(f"<0x{b:02X}>")) is not None
        )
    return _Subject(path, client, editor, byte_fallback, byte_ids)


def _ratio(part: int, whole: int) -> float | None:
    return part / whole if whole else None


def evaluate(
    tokenizers: Sequence[str],
    texts: Sequence[str],
    progress: Progress | None = None,
    *,
    context: int | None = None,
    max_bytes: int | None = None,
    threads: int | None = None,
    model: bool = True,
) -> list[dict[str, object]]:
    """How each tokenizer in `tokenizers` (paths of tokenizer.json files or of model
    directories holding one) encodes the `texts` (paths), one dict each.

    Each dict holds "tokenizer" (the path), the text's "documents", "bytes",
    "characters" and "words", the "tokens" it encodes to, "distinct_tokens",
    "byte_fallback_tokens", "unreachable_tokens", "vocab_size" (added tokens
    included) and "model_vocab_size", and the ratios "bytes_per_token",
    "chars_per_token", "tokens_per_word", "byte_fallback_share" and
    "vocab_used" (None where the tokenizer produced no token at all). For a
    GGUF model, unless `model` is false, "model" lists what
    `model_eval.bits_per_byte` measures on each text with `context`,
    `max_bytes` and `threads`.
    Raises OSError for a file that cannot be opened, ValueError or OSError for a
    tokenizer the editor cannot load, CliError for anything else unusable (the
    message names the file).
    """
    progress = progress or Progress(False)
    if not tokenizers or not texts:
        raise CliError("eval needs at least one tokenizer and one text")
    client_class = _client()
    with contextlib.ExitStack() as stack:
        files = []
        for path in texts:
            text = TextFile(path)
            stack.callback(text.close)
            files.append(text)
        subjects = []
        for path in tokenizers:
            progress.phase(f"reading {path}")
            subjects.append(_load(path, client_class))

        documents = size = characters = words = 0
        label = f"encoding {len(files)} text" + ("s" if len(files) != 1 else "")
        with progress.bar(label, sum(text.size for text in files)) as advance:
            for batch in line_batches(files, LINES_PER_BATCH, advance):
                documents += len(batch)
                characters += sum(map(len, batch))
                size += sum(len(document.encode()) for document in batch)
                words += sum(len(document.split()) for document in batch)
                for subject in subjects:
                    for encoding in subject.client.encode_batch(batch, add_special_tokens=False):
                        ids = encoding.ids
                        subject.tokens += len(ids)
                        subject.seen.update(ids)

    results: list[dict[str, object]] = []
    for subject in subjects:
        figures: list[dict[str, object]] | None = None
        if model and is_gguf(subject.path):
            figures = bits_per_byte(subject.path, texts, context=context, max_bytes=max_bytes,
                                  threads=threads, progress=progress)
        progress.phase(f"finding unreachable tokens of {subject.path}")
        unreachable = len(subject.editor.unreachable_tokens())
        tokens, seen = subject.tokens, subject.seen
        byte_tokens = sum(seen[token_id] for token_id in subject.byte_ids)
        vocab_size = subject.client.get_vocab_size(with_added_tokens=True)
        results.append({
            "tokenizer": subject.path,
            "documents": documents,
            "bytes": size,
            "characters": characters,
            "words": words,
            "tokens": tokens,
            "distinct_tokens": len(seen),
            "byte_fallback_tokens": byte_tokens,
            "unreachable_tokens": unreachable,
            "vocab_size": vocab_size,
            "model_vocab_size": subject.client.get_vocab_size(with_added_tokens=False),
            "bytes_per_token": _ratio(size, tokens),
            "chars_per_token": _ratio(characters, tokens),
            "tokens_per_word": tokens / words,
            "byte_fallback_share": _ratio(byte_tokens, tokens) if subject.byte_fallback else 0.0,
            "vocab_used": _ratio(len(seen), vocab_size),
            **({"model": figures} if figures is not None else {}),
        })
    return results


def _fixed(digits: int) -> Callable[[object], str]:
    return lambda value: f"{value:.{digits}f}" if isinstance(value, float) else "-"


def _percent(digits: int) -> Callable[[object], str]:
    return lambda value: f"{value:.{digits}%}" if isinstance(value, float) else "-"


ROWS: list[tuple[str, str, Callable[[object], str]]] = [
    ("vocabulary", "vocab_size", str),
    ("model vocabulary", "model_vocab_size", str),
    ("tokens", "tokens", str),
    ("bytes per token", "bytes_per_token", _fixed(2)),
    ("characters per token", "chars_per_token", _fixed(2)),
    ("tokens per word", "tokens_per_word", _fixed(3)),
    ("byte-fallback tokens", "byte_fallback_share", _percent(2)),
    ("vocabulary used", "vocab_used", _percent(1)),
    ("unreachable tokens", "unreachable_tokens", str),
]


MODEL_ROWS: list[tuple[str, str, Callable[[object], str]]] = [
    ("bits per byte", "bits_per_byte", _fixed(4)),
    ("tokens per byte", "tokens_per_byte", _fixed(4)),
    ("bytes scored", "bytes_scored", lambda value: "-" if value is None else str(value)),
]


def _model_figure(result: dict[str, object], index: int, key: str) -> object:
    """Figure `key` of a GGUF model on text `index`; None for other tokenizers."""
    model = result.get("model")
    return model[index][key] if isinstance(model, list) else None


def table(results: Sequence[dict[str, object]], texts: Sequence[str] = ()) -> list[str]:
    """The figures side by side: one row per figure, one column per tokenizer;
    then, when a tokenizer is a GGUF model, the model's figures on each of `texts`."""
    cells = [["", *(str(result["tokenizer"]) for result in results)]]
    cells += [[label, *(shown(result[key]) for result in results)] for label, key, shown in ROWS]
    if any("model" in result for result in results):
        for index, text in enumerate(texts):
            cells += [[f"{label} ({os.path.basename(text)})",
                       *(shown(_model_figure(result, index, key)) for result in results)]
                      for label, key, shown in MODEL_ROWS]
    widths = [max(len(row[column]) for row in cells) for column in range(len(cells[0]))]
    return [
        "  ".join([row[0].ljust(widths[0]), *(cell.rjust(width) for cell, width in zip(row[1:], widths[1:]))])
        for row in cells
    ]


def run_eval(args: argparse.Namespace, progress: Progress) -> Report:
    """Encode the texts with every tokenizer and report the figures side by side."""
    paths: list[str] = args.tokenizers
    texts: list[str] = args.text
    results = evaluate(paths, texts, progress, context=args.context, max_bytes=args.max_bytes, threads=args.threads,
                       model=not args.no_model)
    totals = {key: results[0][key] for key in TEXT_KEYS}
    data: dict[str, object] = {
        "texts": texts,
        **totals,
        "tokenizers": [{key: value for key, value in result.items() if key not in TEXT_KEYS} for result in results],
    }
    lines = [
        f"text: {', '.join(texts)}",
        f"  {totals['documents']} documents, {totals['bytes']} bytes, "
        f"{totals['characters']} characters, {totals['words']} words",
        "",
        *table(results, texts),
    ]
    return Report(data, lines)
