"""What a command hands back: the result as data for --json, and the short
human-readable report printed otherwise."""

from __future__ import annotations

import json
import sys
from collections.abc import Iterable

from quorvane_cli.cli.jsonfile import lines_json


class Report:
    """`data` is printed as one JSON object with --json, `lines` otherwise.

    `status` is the exit status of a command that ran to the end (validate uses 1
    to say it found invalid merges).
    """

    # A plain class rather than a dataclass: importing dataclasses (and inspect
    # with it) takes a tenth of what a short command does in all.
    __slots__ = ("data", "lines", "status")

    def __init__(self, data: dict[str, object] | None = None, lines: list[str] | None = None, status: int = 0) -> None:
        self.data: dict[str, object] = {} if data is None else data
        self.lines: list[str] = [] if lines is None else lines
        self.status = status

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Report):
            return NotImplemented
        return (self.data, self.lines, self.status) == (other.data, other.lines, other.status)

    __hash__ = None  # type: ignore[assignment]  # mutable

    def __repr__(self) -> str:
        return f"Report(data={self.data!r}, lines={self.lines!r}, status={self.status!r})"


def show(token: str) -> str:
    """A token quoted for a human report, so spaces and control characters are visible."""
    return json.dumps(token, ensure_ascii=False)


def limited(items: Iterable[str], total: int, limit: int, indent: str = "  ") -> list[str]:
    """The first `limit` of `items` indented, and a line for the rest of `total`."""
    lines = [indent + item for _, item in zip(range(limit), items)]
    if total > len(lines):
        lines.append(f"{indent}\u2026 and {total - len(lines)} more")
    return lines


def emit(report: Report, as_json: bool) -> None:
    """Print `report` on stdout."""
    if as_json:
        print(lines_json(report.data))
    elif report.lines:
        print("\n".join(report.lines))
    sys.stdout.flush()
