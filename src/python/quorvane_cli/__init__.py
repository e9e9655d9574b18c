"""Inspect and edit Hugging Face tokenizer.json BPE tokenizers.

Editing commands write to -o PATH, or replace the input with --in-place; the
input file is never changed otherwise. A TOKENIZER may also be a model's saved
directory holding tokenizer.json: an edit then writes a whole directory, its
tokenizer_config.json rewritten for the new ids.

Exit status: 0 success, 1 failure (including `validate` finding invalid
merges), 2 usage error.
"""

from __future__ import annotations

import os
import sys

from quorvane_cli.cli.errors import CliError, UsageError
from quorvane_cli.cli.output import emit
from quorvane_cli.cli.parser import build_parser, command_named
from quorvane_cli.cli.progress import Progress

__all__ = ["main", "run"]


def _status(code: object) -> int:
    if code is None:
        return 0
    return code if isinstance(code, int) else 1


def _fail(message: str) -> int:
    print(f"quorvane: error: {message}", file=sys.stderr)
    return 1


def main(argv: list[str] | None = None) -> int:
    """Run the tool on `argv` (default: the process arguments); return the exit status."""
    parser = build_parser(__doc__, command_named(sys.argv[1:] if argv is None else argv))
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit:
        return _status(exit.code)
    try:
        report = args.handler(args, Progress.for_stderr(args.quiet))
        emit(report, args.json)
    except UsageError as exc:
        try:
            args.subparser.error(str(exc))
        except SystemExit as exit:
            return _status(exit.code)
        raise  # pragma: no cover - error() always exits
    except BrokenPipeError:
        # The reader went away: say nothing more, and keep the interpreter from
        # complaining when it flushes stdout on exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (CliError, OSError, ValueError) as exc:
        return _fail(str(exc))
    except MemoryError:
        return _fail("out of memory")
    except KeyboardInterrupt:
        return _fail("interrupted")
    return _status(report.status)


def run() -> None:
    """The `quorvane` program: main() on the process arguments, then the process ends.

    It ends without the interpreter's teardown, which after a large edit spends
    its time freeing the tokenizer and the word counts object by object. The
    standard streams are flushed first; when that fails, the process ends the
    usual way, which reports the failure.
    """
    status = main()
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except BaseException:
        raise SystemExit(status) from None
    os._exit(status)
