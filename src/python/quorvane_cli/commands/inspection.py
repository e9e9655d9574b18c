"""`info` and `validate`: reports on a tokenizer that change nothing."""

from __future__ import annotations

import argparse
import json

import quorvane

from quorvane_cli.cli.errors import CliError
from quorvane_cli.formats.gguf import EMBEDDINGS, GGML_TYPES, Gguf
from quorvane_cli.formats.source import GgufSource, open_source
from quorvane_cli.cli.output import Report, limited, show
from quorvane_cli.cli.progress import Progress
from quorvane_cli.commands.reachability import unreachable_tokens
from quorvane_cli.commands.representation import byte_fallback_tokens, detect_representation, special_added_tokens


def _invalid_merges(validation: quorvane.ValidationResult) -> list[dict[str, object]]:
    return [
        {"position": position, "left": left, "right": right}
        for position, left, right in validation.invalid_merges
    ]


def _invalid_lines(validation: quorvane.ValidationResult, limit: int) -> list[str]:
    rows = (
        f"{position}: {show(left)} + {show(right)} -> {show(left + right)} not in the vocabulary"
        for position, left, right in validation.invalid_merges
    )
    return limited(rows, validation.invalid_count, limit)


def _lengths(distribution: list[tuple[int, int]], shown: int = 16) -> str:
    """"1: 256, 2: 4287, ..." up to `shown` characters, the longer ones summed up."""
    parts = [f"{length}: {count}" for length, count in distribution if length <= shown]
    longer = [(length, count) for length, count in distribution if length > shown]
    if longer:
        parts.append(f"longer: {sum(count for _, count in longer)} (up to {longer[-1][0]})")
    return ", ".join(parts) or "none"


def _gguf_info(model: Gguf) -> dict[str, object]:
    tensors = []
    for name in EMBEDDINGS:
        tensor = model.tensor(name)
        if tensor is not None:
            tensors.append({"name": name, "type": GGML_TYPES.get(tensor[2], str(tensor[2])), "shape": list(tensor[1])})
    return {"architecture": model.architecture, "tokenizer_model": model.model, "pre": model.pre,
            "embeddings": tensors, "tied": model.tensor("output.weight") is None}


def _gguf_lines(model: Gguf) -> list[str]:
    info = _gguf_info(model)
    lines = [
        f"architecture:    {model.architecture}",
        f"tokenizer model: {model.model} (pre: {model.pre})",
    ]
    for tensor in info["embeddings"]:  # type: ignore[attr-defined]
        shape = " x ".join(map(str, tensor["shape"]))
        lines.append(f"tensor:          {tensor['name']}, {tensor['type']}, {shape}")
    if info["tied"]:
        lines.append("output:          tied to token_embd.weight")
    return lines


def run_info(args: argparse.Namespace, progress: Progress) -> Report:
    """Statistics, id gaps, invalid merges, representation and, on request, unreachable tokens.

    Two kinds of unreachable: tokens no chain of merges builds from single
    characters (read from the merge list alone), and tokens that tokenizing
    their own text does not give back whole (the editor runs the model). The
    second is what text sees: an earlier merge can take a token's characters
    apart before the merge that builds it comes, and a model with ignore_merges
    returns a word of its vocabulary whole, merges or not. Its JSON list holds
    only the first --limit tokens, since each carries its pieces.
    """
    path: str = args.tokenizer
    limit: int = args.limit
    progress.phase(f"reading {path}")
    source = open_source(path, args.tokenizer_json)
    editor = source.editor()
    try:
        raw = json.loads(source.document())
    except ValueError as exc:
        raise CliError(f"{path}: {exc}") from None
    document = raw if isinstance(raw, dict) else {}

    stats = editor.get_stats()
    has_gaps, total_gaps, min_id, max_id = editor.check_vocab_gaps()
    validation = editor.validate_merges()
    representation = detect_representation(document)
    data: dict[str, object] = {
        "tokenizer": path,
        "vocab_size": stats.vocab_size,
        "merges_count": stats.merges_count,
        "single_char_count": stats.single_char_count,
        "special_token_count": stats.special_token_count,
        "min_token_id": stats.min_token_id,
        "max_token_id": stats.max_token_id,
        "length_distribution": [
            {"length": length, "count": count} for length, count in stats.length_distribution
        ],
        "gaps": {"has_gaps": has_gaps, "total_gaps": total_gaps, "min_id": min_id, "max_id": max_id},
        "invalid_merges": {"count": validation.invalid_count, "merges": _invalid_merges(validation)},
        "representation": representation.label,
        "nfc": representation.nfc,
    }
    gaps = f"{total_gaps} missing ids between {min_id} and {max_id}" if has_gaps else "none"
    lines = [
        f"tokenizer:       {path}",
        f"vocabulary:      {stats.vocab_size} tokens, ids {stats.min_token_id}..{stats.max_token_id}",
        f"merges:          {stats.merges_count}",
        f"single chars:    {stats.single_char_count}",
        f"special tokens:  {stats.special_token_count}",
        f"id gaps:         {gaps}",
        f"representation:  {representation.label or 'unsupported'}",
        f"NFC:             {'yes' if representation.nfc else 'no'}",
        f"token lengths:   {_lengths(stats.length_distribution)}",
        f"invalid merges:  {validation.invalid_count}",
        *_invalid_lines(validation, limit),
    ]
    if isinstance(source, GgufSource):
        data["gguf"] = _gguf_info(source.model)
        lines += _gguf_lines(source.model)

    if args.reachability:
        progress.phase("tracing merges from single characters")
        vocab = editor.get_vocab()
        whole = special_added_tokens(document) | byte_fallback_tokens(document, vocab)
        found = unreachable_tokens(vocab, editor.get_merges(), whole)
        structural = {
            "count": len(found),
            "tokens": [{"token": token, "id": token_id} for token, token_id in found],
        }
        # "unreachable" is the key scripts have read since before the tokenization count existed.
        data["unreachable"] = data["unreachable_by_merges"] = structural
        lines.append(f"unreachable by merges (structural): {len(found)}")
        lines += limited((f"{token_id}: {show(token)}" for token, token_id in found), len(found), limit)

        progress.phase("tokenizing every token's own text")
        tokenized = editor.unreachable_tokens()
        data["unreachable_by_tokenization"] = {
            "count": len(tokenized),
            "tokens": [
                {"token": token, "id": token_id, "pieces": list(pieces)}
                for token, token_id, pieces in tokenized[:limit]
            ],
        }
        lines.append(f"unreachable by tokenization: {len(tokenized)}")
        rows = (
            f"{token_id}: {show(token)} -> {' + '.join(map(show, pieces))}"
            for token, token_id, pieces in tokenized
        )
        lines += limited(rows, len(tokenized), limit)
    return Report(data, lines)


def run_validate(args: argparse.Namespace, progress: Progress) -> Report:
    """Check every merge's product; exit status 1 when some are not in the vocabulary."""
    path: str = args.tokenizer
    progress.phase(f"reading {path}")
    editor = open_source(path, args.tokenizer_json).editor()
    validation = editor.validate_merges()
    data: dict[str, object] = {
        "tokenizer": path,
        "valid_count": validation.valid_count,
        "invalid_count": validation.invalid_count,
        "invalid_merges": _invalid_merges(validation),
    }
    lines = [f"{path}: {validation.valid_count} valid merges, {validation.invalid_count} invalid"]
    lines += _invalid_lines(validation, args.limit)
    return Report(data, lines, status=1 if validation.invalid_count else 0)
