"""The two ways a command ends early, besides the library's own exceptions."""

from __future__ import annotations


class CliError(Exception):
    """A failure shown as one `quorvane: error: ...` line; exit status 1."""


class UsageError(Exception):
    """A command line the parser accepted but that cannot run; exit status 2.

    Shown like the parser's own errors: the subcommand's usage, then the message.
    """
