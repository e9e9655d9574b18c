"""The command line: subcommands, their arguments and the handler each runs."""

from __future__ import annotations

import argparse
import importlib
from collections.abc import Callable, Sequence

import quorvane

from quorvane_cli.formats import init_rules
from quorvane_cli.cli.output import Report
from quorvane_cli.cli.progress import Progress

# How resize-embeddings can make the rows of new tokens (its --init).
INIT_CHOICES = init_rules.RULES

Handler = Callable[[argparse.Namespace, Progress], Report]


def _handler(module: str, name: str) -> Handler:
    """The function `name` of quorvane_cli.`module`, imported when its subcommand
    runs: each run loads only its own command's module."""

    def run(args: argparse.Namespace, progress: Progress) -> Report:
        handler: Handler = getattr(importlib.import_module(f"quorvane_cli.{module}"), name)
        return handler(args, progress)

    run.__name__ = name
    return run


run_add, run_merge, run_reindex, run_remove, run_shrink, run_sync_chars = (
    _handler("commands.editing", name)
    for name in ("run_add", "run_merge", "run_reindex", "run_remove", "run_shrink", "run_sync_chars")
)
run_resize_embeddings = _handler("formats.embedding_writer", "run_resize_embeddings")
run_eval = _handler("commands.evaluation", "run_eval")
run_info, run_validate = _handler("commands.inspection", "run_info"), _handler("commands.inspection", "run_validate")
run_adapt, run_extend, run_prune = (_handler("commands.learning", name) for name in ("run_adapt", "run_extend", "run_prune"))
run_count = _handler("text.counting", "run_count")
run_upgrade_merges = _handler("commands.upgrade", "run_upgrade_merges")

MAX_ID = 2**32 - 1
MAX_COUNT = 2**64 - 1


def _integer(maximum: int, what: str) -> Callable[[str], int]:
    """An argument type for integers from 0 to `maximum`."""

    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if not 0 <= value <= maximum:
            raise argparse.ArgumentTypeError(f"{what} must be between 0 and {maximum}, not {value}")
        return value

    convert.__name__ = what
    return convert


token_id = _integer(MAX_ID, "id")
count = _integer(MAX_COUNT, "count")


def _common(command: argparse.ArgumentParser) -> None:
    command.add_argument("--json", action="store_true", help="print the result as one JSON object")
    command.add_argument("--quiet", action="store_true", help="no progress lines on stderr")


def _tokenizer(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "tokenizer", metavar="TOKENIZER",
        help="the tokenizer.json to read, a model directory holding one, or a GGUF model (.gguf)",
    )
    command.add_argument(
        "--tokenizer-json", metavar="FILE",
        help="for a GGUF model whose pre-tokenizer is not known: the model's own tokenizer.json to take it from",
    )


def _output(
    command: argparse.ArgumentParser, *, id_map: bool = True, drops_tokens: bool = True, unless: str = ""
) -> None:
    where = command.add_argument_group(f"output (one of -o and --in-place is required{unless})")
    choice = where.add_mutually_exclusive_group()
    choice.add_argument(
        "-o", "--output", metavar="PATH",
        help="write the edited tokenizer to PATH; for a model directory, a new directory holding "
        "every file of it; for a GGUF model, a new .gguf with its embedding rows "
        "(either way only the tokenizer.json when PATH ends in .json)",
    )
    choice.add_argument(
        "--in-place", action="store_true",
        help="replace TOKENIZER with the result (in a model directory, its tokenizer files)",
    )
    where.add_argument(
        "--init", choices=INIT_CHOICES, default=init_rules.DEFAULT,
        help="for a GGUF model: the embedding rows of new tokens (as in resize-embeddings)",
    )
    if id_map:
        where.add_argument(
            "--id-map", metavar="FILE",
            help="write the old and new id of every token (and the removed and added ones) as JSON",
        )
        where.add_argument(
            "--keep-gaps", action="store_true",
            help="for a model directory: leave the gaps the edit makes in the ids (by default they are closed, "
            "as loaders would number added tokens onto ids that model tokens hold)",
        )
        where.add_argument(
            "--slow-files", choices=("keep", "rewrite", "drop"),
            help="for a model directory: what to do with vocab.json + merges.txt and a SentencePiece "
            "tokenizer.model (default: write them anew where they can say what tokenizer.json says, "
            "otherwise leave them out with a warning; rewrite writes them even where some words would "
            "encode differently; keep copies them unchanged)",
        )
    if drops_tokens:
        where.add_argument(
            "--keep-invalid-merges", action="store_true",
            help="keep merges whose product the edit removed (by default they are dropped, "
            "so that the output loads in the tokenizers package)",
        )


def _token_sources(command: argparse.ArgumentParser, verb: str) -> None:
    command.add_argument(
        "tokens", metavar="TOKEN", nargs="*", help=f"a token to {verb} (put -- before any starting with -)"
    )
    command.add_argument(
        "--file", metavar="FILE",
        help=f"more tokens to {verb}: a JSON array of strings if FILE ends in .json, else one per line",
    )


TEXTS_HELP = (
    "UTF-8 text, one document a line (.xz and .gz are decompressed), or word counts "
    "(.tsv, .tsv.gz, .tsv.xz, .parquet)"
)


def _learning(sub: argparse.ArgumentParser) -> None:
    sub.add_argument(
        "--max-token-length", metavar="N", type=count, default=0,
        help="learn no token longer than N characters (default: no limit)",
    )
    sub.add_argument(
        "--min-frequency", metavar="N", type=count, default=2,
        help="merge no pair seen fewer than N times (default 2)",
    )


def _info_arguments(info: argparse.ArgumentParser) -> None:
    _tokenizer(info)
    info.add_argument(
        "--reachability", action="store_true",
        help="also count the tokens that no chain of merges builds from single characters, and those "
        "that tokenizing their own text does not give back whole (listing the first of each)",
    )
    info.add_argument(
        "--limit", metavar="N", type=count, default=20, help="list at most N of each kind (default 20)"
    )
    _common(info)


def _validate_arguments(validate: argparse.ArgumentParser) -> None:
    _tokenizer(validate)
    validate.add_argument(
        "--limit", metavar="N", type=count, default=20, help="list at most N invalid merges (default 20)"
    )
    _common(validate)


def _add_arguments(add: argparse.ArgumentParser) -> None:
    _tokenizer(add)
    _token_sources(add, "add")
    mode = add.add_mutually_exclusive_group()
    mode.add_argument("--atomic", action="store_true", help="add each token whole, without merges")
    mode.add_argument(
        "--reachable", action="store_true",
        help="add merges chosen from how each token tokenizes now, so that tokenizing it gives it back "
        "whole; if any token cannot be made so, nothing is written and the exit status is 1",
    )
    mode.add_argument(
        "--keep-size", action="store_true",
        help="remove one long token for each token added beyond the starting vocabulary size",
    )
    add.add_argument(
        "--whitelist", metavar="FILE", help="with --keep-size: a token file of tokens never to remove"
    )
    _output(add)
    _common(add)


def _remove_arguments(remove: argparse.ArgumentParser) -> None:
    _tokenizer(remove)
    _token_sources(remove, "remove")
    _output(remove)
    _common(remove)


def _shrink_arguments(shrink: argparse.ArgumentParser) -> None:
    _tokenizer(shrink)
    shrink.add_argument("count", metavar="COUNT", type=count, help="number of tokens to remove")
    shrink.add_argument("--min-id", metavar="N", type=token_id, default=0, help="only remove ids N and above")
    shrink.add_argument(
        "--dry-run", action="store_true", help="only list the tokens that would be removed; write nothing"
    )
    _output(shrink, unless=" unless --dry-run")
    _common(shrink)


def _reindex_arguments(reindex: argparse.ArgumentParser) -> None:
    _tokenizer(reindex)
    _output(reindex, drops_tokens=False)
    _common(reindex)


def _sync_arguments(sync: argparse.ArgumentParser) -> None:
    _tokenizer(sync)
    sync.add_argument("source", metavar="SOURCE", help="the tokenizer.json (model directory, GGUF model) to take single characters from")
    sync.add_argument("--min-id", metavar="N", type=token_id, default=0, help="only remove ids N and above")
    _output(sync)
    _common(sync)


def _merge_arguments(merge: argparse.ArgumentParser) -> None:
    _tokenizer(merge)
    merge.add_argument("source", metavar="SOURCE", help="the tokenizer.json (model directory, GGUF model) to merge in")
    merge.add_argument(
        "--max-vocab-size", metavar="N", type=count, default=262144,
        help="largest complete vocabulary, added tokens included (default 262144)",
    )
    _output(merge)
    _common(merge)


def _evaluation_arguments(evaluation: argparse.ArgumentParser) -> None:
    evaluation.add_argument(
        "tokenizers", metavar="TOKENIZER", nargs="+", help="a tokenizer.json, a model directory holding one, or a GGUF model, to measure"
    )
    evaluation.add_argument(
        "--text", metavar="FILE", nargs="+", action="extend", required=True,
        help="UTF-8 text, one document a line (.xz and .gz are decompressed); blank lines are skipped",
    )
    model = evaluation.add_argument_group("GGUF models (bits per byte, with llama.cpp)")
    model.add_argument(
        "--context", metavar="N", type=count, default=None,
        help="tokens per window the model reads (default 512, or its training context when shorter)",
    )
    model.add_argument(
        "--max-bytes", metavar="N", type=count, default=None,
        help="score only the first N bytes of each text (whole lines) with the models",
    )
    model.add_argument("--threads", metavar="N", type=count, default=None, help="llama.cpp's threads")
    model.add_argument(
        "--no-model", action="store_true",
        help="measure a GGUF model's tokenizer alone, without running the model",
    )
    _common(evaluation)


def _size(text: str) -> int:
    """An argument type for a size in bytes, with an optional K, M or G (binary) suffix."""
    number, scale = text.strip(), 1
    if number[-1:].upper() in ("K", "M", "G"):
        scale = 1024 ** ("KMG".index(number[-1].upper()) + 1)
        number = number[:-1]
    try:
        value = int(number) * scale
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (an integer, optionally followed by K, M or G)") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"the size must be at least 1 byte, not {text!r}")
    return value


def _count_arguments(counting: argparse.ArgumentParser) -> None:
    _tokenizer(counting)
    counting.add_argument("--text", metavar="FILE", nargs="+", action="extend", required=True, help=TEXTS_HELP)
    counting.add_argument(
        "-o", "--output", metavar="COUNTS", required=True,
        help="the count file to write: .tsv, .tsv.gz, .tsv.xz or .parquet (Parquet needs pyarrow)",
    )
    counting.add_argument(
        "--min-count", metavar="N", type=count, default=1, help="write only words seen at least N times (default 1)"
    )
    cluster = counting.add_argument_group("on a Dask cluster (pip install 'quorvane[dask]')")
    cluster.add_argument(
        "--dask", metavar="ADDRESS",
        help="count on the Dask cluster whose scheduler is at ADDRESS (every worker must read the texts at "
        "the same path), or on local worker processes started for the command with 'local'",
    )
    cluster.add_argument(
        "--workers", metavar="N", type=_integer(1024, "workers"),
        help="with --dask local: how many worker processes (default: one per core)",
    )
    cluster.add_argument(
        "--block-size", metavar="SIZE", type=_size,
        help="bytes of plain text per task (default 64M; K, M and G suffixes); compressed texts are one task each",
    )
    _common(counting)


def _extend_arguments(extend: argparse.ArgumentParser) -> None:
    _tokenizer(extend)
    extend.add_argument("--text", metavar="FILE", nargs="+", action="extend", required=True, help=TEXTS_HELP)
    extend.add_argument("--add", metavar="N", type=count, required=True, help="number of tokens to learn")
    _learning(extend)
    _output(extend, drops_tokens=False)
    _common(extend)


def _prune_arguments(prune: argparse.ArgumentParser) -> None:
    _tokenizer(prune)
    prune.add_argument("--count", metavar="N", type=count, required=True, help="number of tokens to remove")
    prune.add_argument("--text", metavar="FILE", nargs="+", action="extend", help=TEXTS_HELP)
    prune.add_argument("--keep", metavar="FILE", help="a token file of tokens never to remove")
    _output(prune, drops_tokens=False)
    _common(prune)


def _adapt_arguments(adapt: argparse.ArgumentParser) -> None:
    _tokenizer(adapt)
    adapt.add_argument(
        "--text", metavar="FILE", nargs="+", action="extend", required=True,
        help="text of the new language: " + TEXTS_HELP,
    )
    adapt.add_argument(
        "--keep-text", metavar="FILE", nargs="+", action="extend",
        help="text of the language to keep, by which the tokens to drop are chosen "
        "(without it, the highest ids go)",
    )
    adapt.add_argument("--replace", metavar="N", type=count, required=True, help="number of tokens to replace")
    adapt.add_argument(
        "--keep-segmentation", action="store_true",
        help="learn no merge that would split a word of --keep-text otherwise than the pruning left it",
    )
    adapt.add_argument(
        "--heldout", metavar="FILE", nargs="+", action="extend",
        help="held-out text of the new language: report its bytes per token before and after",
    )
    adapt.add_argument(
        "--keep-heldout", metavar="FILE", nargs="+", action="extend",
        help="held-out text of the kept language: report its bytes per token before and after",
    )
    _learning(adapt)
    _output(adapt, drops_tokens=False)
    _common(adapt)


def _upgrade_arguments(upgrade: argparse.ArgumentParser) -> None:
    _tokenizer(upgrade)
    _output(upgrade, id_map=False, drops_tokens=False)
    _common(upgrade)


def _resize_arguments(resize: argparse.ArgumentParser) -> None:
    resize.add_argument(
        "model_dir", metavar="MODEL_DIR",
        help="the model: config.json, tokenizer.json and *.safetensors weights (sharded or not), "
        "or a GGUF model (.gguf; then -o OUT.gguf and --tokenizer, the edited tokenizer.json)",
    )
    resize.add_argument(
        "--id-map", metavar="FILE", required=True, action="append",
        help="the id map an editing subcommand wrote with --id-map; give it again for each later edit, "
        "in order, and the maps are composed",
    )
    where = resize.add_argument_group("output (one of -o and --plan-only is required)")
    choice = where.add_mutually_exclusive_group()
    choice.add_argument(
        "-o", "--output", metavar="OUT_DIR",
        help="write the resized model there (created if missing; files it has that this command "
        "does not write are kept)",
    )
    choice.add_argument(
        "--plan-only", metavar="PLAN",
        help="write only a JSON plan of where each new row comes from, for use elsewhere",
    )
    resize.add_argument(
        "--tokenizer", metavar="FILE",
        help="with --plan-only: the edited tokenizer.json (a file or a model directory), so that added "
        "tokens outside the model are planned where loaders will number them (with -o: OUT_DIR's); "
        "for a GGUF model, the edited tokenizer.json its rows and tokenizer follow",
    )
    resize.add_argument(
        "--init", choices=INIT_CHOICES, default=init_rules.DEFAULT,
        help="rows of new tokens: from the rows of the pieces the old tokenizer splits the token into, "
        "their mean (default), their mean scaled to their mean norm (norm-matched), or a mean weighted "
        "towards the last piece for input rows and the first for output rows (positional), or their "
        "mean moved a tenth of the way to the mean of all rows (shrunk), each the mean where a token "
        "has no pieces; or the mean of all the tokenizer's rows, or zeros",
    )
    resize.add_argument(
        "--tensor", metavar="NAME", action="append",
        help="resize this tensor (repeatable) instead of the embeddings found by their usual names",
    )
    rows = resize.add_mutually_exclusive_group()
    rows.add_argument(
        "--rows", metavar="N", type=count,
        help="give the matrices N rows (at least highest new id + 1; the extra rows are made like new ones)",
    )
    rows.add_argument(
        "--pad-to-multiple-of", metavar="K", type=_integer(2**32, "multiple"),
        help="round the row count up to a multiple of K",
    )
    _common(resize)


# The subcommands in the order `quorvane --help` lists them: name, handler,
# summary, and what adds the subcommand's own arguments.
Arguments = Callable[[argparse.ArgumentParser], None]
COMMANDS: tuple[tuple[str, Handler, str, Arguments], ...] = (
    ("info", run_info, "Show statistics, id gaps, invalid merges and the representation.", _info_arguments),
    ("validate", run_validate, "Check that every merge's product is in the vocabulary (exit 1 if not).",
     _validate_arguments),
    ("add", run_add, "Add tokens, with the merges that build them unless --atomic.", _add_arguments),
    ("remove", run_remove, "Remove tokens with every merge and token that depends on them.", _remove_arguments),
    ("shrink", run_shrink, "Remove the COUNT longest tokens (never single characters or special tokens).",
     _shrink_arguments),
    ("reindex", run_reindex, "Close the gaps in the id space.", _reindex_arguments),
    ("sync-chars", run_sync_chars,
     "Copy the single-character tokens SOURCE has and TOKENIZER lacks, removing as many long tokens.",
     _sync_arguments),
    ("merge", run_merge, "Merge SOURCE into TOKENIZER, converted to TOKENIZER's representation.", _merge_arguments),
    ("eval", run_eval,
     "Encode texts with each tokenizer (the tokenizers package) and compare the figures side by side.",
     _evaluation_arguments),
    ("count", run_count,
     "Count the words of texts as the tokenizer splits them (on a Dask cluster with --dask) into a count file.",
     _count_arguments),
    ("extend", run_extend, "Learn new tokens from text by continuing BPE training on top of the tokenizer.",
     _extend_arguments),
    ("prune", run_prune, "Remove leaf tokens, the least used in the text first (highest ids first without text).",
     _prune_arguments),
    ("adapt", run_adapt,
     "Replace leaf tokens the kept language needs least with tokens learned from a new language's "
     "text, keeping the vocabulary size.",
     _adapt_arguments),
    ("upgrade-merges", run_upgrade_merges, 'Rewrite merges written as "left right" strings as [left, right] pairs.',
     _upgrade_arguments),
    ("resize-embeddings", run_resize_embeddings,
     "Cut and extend a model's embedding matrices (safetensors) to follow an id map.", _resize_arguments),
)


def command_named(argv: Sequence[str]) -> str | None:
    """The subcommand `argv` starts with, or None (an option, or no such subcommand)."""
    if argv and any(name == argv[0] for name, _, _, _ in COMMANDS):
        return argv[0]
    return None


def build_parser(description: str | None, only: str | None = None) -> argparse.ArgumentParser:
    """The `quorvane` argument parser; each subcommand sets `handler` and `subparser`.

    With `only`, the name of a subcommand, that subcommand alone is built: all a
    command line that names it needs (argparse's parsers cost more to build
    than a short command takes to run).
    """
    parser = argparse.ArgumentParser(
        prog="quorvane", description=description, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--version", action="version", version=f"quorvane {quorvane.__version__}")
    commands = parser.add_subparsers(title="commands", dest="command", metavar="COMMAND", required=True)
    for name, handler, summary, arguments in COMMANDS:
        if only is None or name == only:
            sub = commands.add_parser(name, help=summary, description=summary)
            sub.set_defaults(handler=handler, subparser=sub)
            arguments(sub)
    return parser
