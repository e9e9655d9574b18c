"""`upgrade-merges`: rewrite merges of the older form, one "left right" string
each, as [left, right] arrays.

The document is read with Python's json (member order kept), converted, then
handed to `Quorvane.from_json` and saved, so the output is in the editor's own
format and known to load.
"""

from __future__ import annotations

import argparse
import json

import quorvane

from quorvane_cli.commands.editing import destination, save_edit
from quorvane_cli.cli.errors import CliError
from quorvane_cli.formats.source import GgufSource
from quorvane_cli.cli.output import Report
from quorvane_cli.cli.progress import Progress


def upgrade_merges(document: object) -> int:
    """Convert the string merges of `document` in place; return how many there were.

    A string merge must be two non-empty parts around exactly one space; any
    other string fails the whole conversion with its position. Array merges
    and anything that is not a string are left for the loader to judge.
    """
    model = document.get("model") if isinstance(document, dict) else None
    merges = model.get("merges") if isinstance(model, dict) else None
    if not isinstance(merges, list):
        return 0
    converted = 0
    for position, merge in enumerate(merges):
        if not isinstance(merge, str):
            continue
        left, space, right = merge.partition(" ")
        if not space or not left or not right or " " in right:
            raise CliError(
                f"model.merges[{position}] is {json.dumps(merge, ensure_ascii=False)}: "
                "a merge string must be two tokens separated by exactly one space"
            )
        merges[position] = [left, right]
        converted += 1
    return converted


def run_upgrade_merges(args: argparse.Namespace, progress: Progress) -> Report:
    """Rewrite "left right" merges as arrays and save the result in the editor's format."""
    where = destination(args)
    if isinstance(where.source, GgufSource):
        raise CliError(f"{where.input}: a GGUF model keeps its merges in its own form; nothing to upgrade")
    progress.phase(f"reading {where.input}")
    document = json.loads(where.source.document())
    converted = upgrade_merges(document)
    progress.phase(f"loading {converted} converted merges")
    editor = quorvane.Quorvane.from_json(json.dumps(document, ensure_ascii=False))
    report = Report({"merges_converted": converted}, [f"converted {converted} merges to [left, right] form"])
    return save_edit(editor, where, progress, report)
