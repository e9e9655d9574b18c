"""The editing subcommands and what they share: choosing where to write,
dropping merges a removal left invalid, saving, and the id map.

Nothing is written unless the edit succeeded, and the input file is only ever
replaced with --in-place (saving goes through `Quorvane.save`, which replaces
the file atomically). A model directory is read and written as a whole, as
`quorvane_cli.formats.modeldir` describes.
"""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable, Sequence

import quorvane

from quorvane_cli.cli.errors import CliError, UsageError
from quorvane_cli.formats import gguf
from quorvane_cli.formats.source import GgufSource, Source, open_source
from quorvane_cli.formats.target import GgufModel, ModelDirectory, Target, TokenizerFile
from quorvane_cli.cli.jsonfile import write_text
from quorvane_cli.cli.output import Report, limited, show
from quorvane_cli.cli.paths import tokenizer_file, writes_directory
from quorvane_cli.cli.progress import Progress
from quorvane_cli.cli.tokens import gather_tokens, read_token_file

# `modeldir` is imported where a model directory is written, and only then:
# a command on a tokenizer.json goes without what it needs.
INIT_DEFAULT = "mean-of-constituents"

Edit = Callable[[quorvane.Quorvane], Report]

SHOWN = 20  # per-token lines in a human report; --json lists every token


def same_path(first: str, second: str) -> bool:
    """Whether two paths name the same file or directory (by their real paths
    when one does not exist yet)."""
    try:
        return os.path.samefile(first, second)
    except OSError:  # one of them does not exist (yet)
        return os.path.realpath(first) == os.path.realpath(second)


class Destination:
    """Where an edit reads and writes.

    `source` is the tokenizer read (a tokenizer.json, a model directory or a
    GGUF model), `target` what is written, of the same kind (see
    `formats.target`), `input` and `output` the paths as named, and `id_map`
    the --id-map path, if any.
    """

    # A plain class rather than a dataclass, as Report is (output.py).
    __slots__ = ("source", "target", "input", "output", "id_map")

    def __init__(self, source: Source, target: Target, id_map: str | None) -> None:
        self.source = source
        self.target = target
        self.input = source.path
        self.output = target.path
        self.id_map = id_map

    @property
    def keeps_before(self) -> bool:
        """Whether the edit needs a copy of the editor as it was: for the id map, or for the target."""
        return self.id_map is not None or self.target.needs_before

    def __repr__(self) -> str:
        fields = ", ".join(f"{name}={getattr(self, name)!r}" for name in self.__slots__)
        return f"Destination({fields})"


def destination(args: argparse.Namespace) -> Destination:
    """Check the output options of an editing subcommand before anything is read.

    A model directory as input is written as a directory (see `modeldir`), a
    GGUF model as a GGUF model (see `formats.gguf_writer`), unless -o names a
    .json file, which then gets the tokenizer.json alone.
    """
    path: str = args.tokenizer
    output: str | None = args.output
    in_place: bool = args.in_place
    id_map: str | None = getattr(args, "id_map", None)
    if output is None and not in_place:
        raise UsageError("one of the arguments -o/--output --in-place is required")
    source = open_source(path, getattr(args, "tokenizer_json", None))
    read = path if isinstance(source, GgufSource) else tokenizer_file(path)
    json_output = output is not None and output.lower().endswith(".json")
    target: Target
    written: list[str] = []
    # upgrade-merges has neither option: it moves no id and changes no token.
    keep_gaps: bool = getattr(args, "keep_gaps", True)
    slow_files: str | None = getattr(args, "slow_files", None)
    if isinstance(source, GgufSource) and not json_output:
        if output is not None and not gguf.is_gguf(output):
            raise CliError(f"-o {output}: an edit of a GGUF model writes a .gguf file (or a .json tokenizer)")
        if output is not None and not os.path.isdir(os.path.dirname(os.path.abspath(output))):
            raise CliError(f"-o {output}: no such directory")
        target = GgufModel(source, path if output is None else output, getattr(args, "init", INIT_DEFAULT))
    elif writes_directory(path, output):
        from quorvane_cli.formats import modeldir

        plan = modeldir.plan(path, output, keep_gaps=keep_gaps, slow_files=slow_files)
        target = ModelDirectory(plan, path if output is None else output)
        written = [plan.written(name) for name in modeldir.REWRITTEN]
    else:
        target = TokenizerFile(path if output is None else output)
    if not isinstance(target, ModelDirectory) and (slow_files is not None or getattr(args, "keep_gaps", False)):
        raise UsageError("--keep-gaps and --slow-files apply only when a model directory is written")
    if output is not None and not isinstance(target, ModelDirectory) and same_path(read, output):
        raise CliError(f"-o names the input file {read}; use --in-place to replace it")
    written = written or [target.path]
    if id_map is not None:
        if any(same_path(id_map, where) for where in [read, *written]):
            raise CliError(f"--id-map names the tokenizer file {id_map}")
        # Caught here, a typo costs nothing; after the save it leaves the edit half reported.
        folder = os.path.dirname(os.path.abspath(id_map))
        inside = isinstance(target, ModelDirectory) and folder == target.plan.target
        if not os.path.isdir(folder) and not inside:
            raise CliError(f"--id-map {id_map}: no such directory")
    return Destination(source, target, id_map)


def open_editor(where: Destination, progress: Progress) -> quorvane.Quorvane:
    """The editor of the tokenizer an edit reads, shown to the target before the edit."""
    progress.phase(f"reading {where.input}")
    editor = where.source.editor()
    where.target.opened(editor)
    return editor


def run_edit(
    where: Destination, progress: Progress, edit: Edit, *, drop_invalid: bool | None
) -> Report:
    """Load, edit, drop invalid merges, save, write the id map; in that order.

    `drop_invalid` is None for edits that cannot remove tokens; otherwise it says
    whether to call `remove_invalid_merges()` after the edit. An edit whose
    report carries a nonzero status did not do what was asked: nothing is saved
    and the report goes back as it is, naming the input and the output it
    would have written.
    """
    editor = open_editor(where, progress)
    before = editor.copy() if where.keeps_before else None
    report = edit(editor)
    if report.status:
        report.data = {"input": where.input, "output": where.output, **report.data}
        return report
    if drop_invalid is not None:
        dropped = 0
        if drop_invalid:
            progress.phase("dropping invalid merges")
            dropped = editor.remove_invalid_merges()
        report.data["invalid_merges_removed"] = dropped
        if dropped:
            report.lines.append(f"dropped {dropped} merges whose product is gone")
    return save_edit(editor, where, progress, report, before)


def save_edit(
    editor: quorvane.Quorvane,
    where: Destination,
    progress: Progress,
    report: Report,
    before: quorvane.Quorvane | None = None,
    moved: Sequence[tuple[str, int, int]] = (),
) -> Report:
    """Save the edited tokenizer, then the id map against `before` (a copy of the
    editor taken before the edit); complete the report."""
    outcome = where.target.write(editor, before, progress, moved)
    if outcome is not None:
        moved = outcome.moved
    vocab_size, merges_count = editor.vocab_size, editor.merges_count
    report.lines.append(f"wrote {where.output}: {vocab_size} tokens, {merges_count} merges")
    if outcome is not None:
        report.lines += outcome.lines()
    if where.id_map is not None and before is not None:
        progress.phase(f"writing id map {where.id_map}")
        try:
            write_text(where.id_map, editor.id_map_json(before, moved) + "\n")
        except OSError as exc:
            raise CliError(f"wrote {where.output}, but not the id map: {exc}") from None
        report.lines.append(f"wrote id map {where.id_map}")
    report.data = {
        "input": where.input,
        "output": where.output,
        **report.data,
        "vocab_size": vocab_size,
        "merges_count": merges_count,
        "id_map": where.id_map,
    }
    if outcome is not None:
        report.data[where.target.key] = outcome.data()
    return report


def _merge_list(merges: list[tuple[str, str]]) -> list[list[str]]:
    return [[left, right] for left, right in merges]


def _pieces(pieces: list[str]) -> str:
    return " + ".join(map(show, pieces)) if pieces else "nothing"


def _reachable_report(results: list[quorvane.ReachableAdditionResult]) -> Report:
    """The report of `add --reachable`; status 1, and so nothing saved, when a token stayed unreachable."""
    added = sum(result.added for result in results)
    created = sum(len(result.added_tokens) for result in results)
    merges = sum(len(result.added_merges) for result in results)
    failed = [result for result in results if not result.reachable]

    def line(result: quorvane.ReachableAdditionResult) -> str:
        if result.added:
            state = "added"
        else:
            state = "made reachable" if result.added_merges else "already present"
        if not result.reachable:
            state += ", not reachable"
        return (
            f"{show(result.token)}: {state}, {len(result.added_merges)} merges "
            f"(before: {_pieces(result.pieces)})"
        )

    lines = [
        f"added {added} of {len(results)} tokens ({created} new vocabulary entries) with {merges} new merges; "
        + (f"{len(failed)} not reachable" if failed else "all reachable")
    ]
    lines += limited(map(line, results), len(results), SHOWN)
    if failed:
        lines.append(f"not reachable ({len(failed)}):")
        lines += limited((f"{show(r.token)}: {r.reason}" for r in failed), len(failed), SHOWN)
        noun = "token" if len(failed) == 1 else "tokens"
        lines.append(f"nothing written: {len(failed)} {noun} would not be reachable")
    return Report(
        {
            "mode": "reachable",
            "written": not failed,
            "tokens_added": added,
            "vocab_entries_added": created,
            "merges_added": merges,
            "unreachable_count": len(failed),
            "tokens": [
                {
                    "token": result.token,
                    "added": result.added,
                    "reachable": result.reachable,
                    "pieces": list(result.pieces),
                    "added_tokens": list(result.added_tokens),
                    "added_merges": _merge_list(result.added_merges),
                    "reason": result.reason,
                }
                for result in results
            ],
        },
        lines,
        status=1 if failed else 0,
    )


def run_add(args: argparse.Namespace, progress: Progress) -> Report:
    """Add tokens with merge chains, atomically, reachably, or holding the vocabulary size."""
    keep_size: bool = args.keep_size
    atomic: bool = args.atomic
    reachable: bool = args.reachable
    whitelist_path: str | None = args.whitelist
    if whitelist_path is not None and not keep_size:
        raise UsageError("--whitelist is only allowed with --keep-size")
    where = destination(args)
    tokens = gather_tokens(args.tokens, args.file)
    if not tokens:
        raise UsageError("no tokens to add: give them as arguments or with --file")
    if "" in tokens:
        raise CliError("cannot add the empty token")
    whitelist = read_token_file(whitelist_path) if whitelist_path is not None else None

    def add(editor: quorvane.Quorvane) -> Report:
        progress.phase(f"adding {len(tokens)} tokens")
        if keep_size:
            result = editor.add_tokens_keep_size(tokens, whitelist)
            return Report(
                {"mode": "keep_size", **result},
                [
                    f"added {result['tokens_added']} of {result['tokens_requested']} tokens, "
                    f"removed {result['tokens_removed']} to hold the size "
                    f"({result['initial_vocab_size']} -> {result['final_vocab_size']} tokens)"
                ],
            )
        if reachable:
            return _reachable_report(editor.add_tokens_reachable(tokens))
        if atomic:
            added = [(token, editor.add_token_atomic(token)) for token in tokens]
            count = sum(flag for _, flag in added)
            return Report(
                {
                    "mode": "atomic",
                    "tokens_added": count,
                    "tokens": [{"token": token, "added": flag} for token, flag in added],
                },
                [f"added {count} of {len(tokens)} tokens without merges"]
                + limited(
                    (f"{show(token)}: {'added' if flag else 'already present'}" for token, flag in added),
                    len(added), SHOWN,
                ),
            )
        results = editor.add_tokens(tokens)
        added_count = sum(result.added for result in results)
        merges = sum(len(result.added_merges) for result in results)
        return Report(
            {
                "mode": "merges",
                "tokens_added": added_count,
                "merges_added": merges,
                "tokens": [
                    {
                        "token": result.token,
                        "added": result.added,
                        "method": result.method,
                        "added_merges": _merge_list(result.added_merges),
                    }
                    for result in results
                ],
            },
            [f"added {added_count} of {len(tokens)} tokens with {merges} new merges"]
            + limited(
                (f"{show(r.token)}: {r.method}, {len(r.added_merges)} merges" for r in results),
                len(results), SHOWN,
            ),
        )

    drop_invalid = not args.keep_invalid_merges if keep_size else None
    return run_edit(where, progress, add, drop_invalid=drop_invalid)


def run_remove(args: argparse.Namespace, progress: Progress) -> Report:
    """Remove tokens with everything that depends on them."""
    where = destination(args)
    tokens = gather_tokens(args.tokens, args.file)
    if not tokens:
        raise UsageError("no tokens to remove: give them as arguments or with --file")

    def remove(editor: quorvane.Quorvane) -> Report:
        missing = [token for token in dict.fromkeys(tokens) if not editor.has_token(token)]
        progress.phase(f"removing {len(tokens)} tokens")
        results = editor.remove_tokens(tokens)
        tokens_removed = sum(len(result.removed_tokens) for result in results)
        merges_removed = sum(len(result.removed_merges) for result in results)
        lines = [
            f"removed {len(results)} tokens, {tokens_removed} with their dependents, "
            f"and {merges_removed} merges"
        ]
        if missing:
            lines.append(f"not in the vocabulary ({len(missing)}):")
            lines += limited(map(show, missing), len(missing), SHOWN)
        return Report(
            {
                "tokens_removed": tokens_removed,
                "merges_removed": merges_removed,
                "removed": [
                    {
                        "token": result.root_token,
                        "removed_tokens": sorted(result.removed_tokens),
                        "removed_merges": _merge_list(sorted(result.removed_merges)),
                    }
                    for result in results
                ],
                "not_found": missing,
            },
            lines,
        )

    return run_edit(where, progress, remove, drop_invalid=not args.keep_invalid_merges)


def run_shrink(args: argparse.Namespace, progress: Progress) -> Report:
    """Remove the COUNT longest ordinary tokens, or only list them with --dry-run."""
    count: int = args.count
    min_id: int = args.min_id
    if args.dry_run:
        path: str = args.tokenizer
        progress.phase(f"reading {path}")
        candidates = open_source(path, args.tokenizer_json).editor().find_tokens_to_shrink(count, min_id)
        return Report(
            {
                "input": path,
                "dry_run": True,
                "candidates": [
                    {"token": token, "id": token_id, "length": length}
                    for token, token_id, length in candidates
                ],
            },
            [f"would remove {len(candidates)} tokens (and what depends on them):"]
            + [f"  {token_id}: {show(token)} ({length} chars)" for token, token_id, length in candidates],
        )
    where = destination(args)

    def shrink(editor: quorvane.Quorvane) -> Report:
        progress.phase(f"shrinking by {count} tokens")
        result = editor.shrink(count, min_id)
        return Report(
            {
                "initial_vocab_size": result.initial_vocab_size,
                "initial_merges_count": result.initial_merges_count,
                "final_vocab_size": result.final_vocab_size,
                "final_merges_count": result.final_merges_count,
                "tokens_removed_count": result.tokens_removed_count,
                "total_tokens_removed": result.total_tokens_removed,
                "total_merges_removed": result.total_merges_removed,
            },
            [
                f"removed {result.tokens_removed_count} tokens, {result.total_tokens_removed} "
                f"with their dependents, and {result.total_merges_removed} merges "
                f"({result.initial_vocab_size} -> {result.final_vocab_size} tokens)"
            ],
        )

    return run_edit(where, progress, shrink, drop_invalid=not args.keep_invalid_merges)


def run_reindex(args: argparse.Namespace, progress: Progress) -> Report:
    """Close the gaps in the id space."""
    where = destination(args)

    def reindex(editor: quorvane.Quorvane) -> Report:
        progress.phase("reindexing")
        result = editor.reindex_vocab()
        return Report(
            {
                "old_min_id": result.old_min_id,
                "old_max_id": result.old_max_id,
                "new_min_id": result.new_min_id,
                "new_max_id": result.new_max_id,
                "ids_remapped": result.ids_remapped,
                "gaps_removed": result.gaps_removed,
            },
            [
                f"remapped {result.ids_remapped} ids, removed {result.gaps_removed} gaps "
                f"(ids {result.old_min_id}..{result.old_max_id} -> {result.new_min_id}..{result.new_max_id})"
            ],
        )

    return run_edit(where, progress, reindex, drop_invalid=None)


def run_sync_chars(args: argparse.Namespace, progress: Progress) -> Report:
    """Copy the source's missing single-character tokens, holding the vocabulary size."""
    where = destination(args)
    source = open_source(args.source)
    min_id: int = args.min_id

    def sync(editor: quorvane.Quorvane) -> Report:
        progress.phase(f"copying single characters from {source.path}")
        with progress.native_output():
            result = editor.sync_single_chars(source.as_source(), min_id)
        return Report(
            dict(result),
            [
                f"added {result['chars_added_count']} of {result['chars_in_source']} single characters "
                f"({result['chars_already_present']} already present), removed "
                f"{result['total_tokens_removed']} tokens and {result['total_merges_removed']} merges "
                f"({result['initial_vocab_size']} -> {result['final_vocab_size']} tokens)"
            ],
        )

    return run_edit(where, progress, sync, drop_invalid=not args.keep_invalid_merges)


def run_merge(args: argparse.Namespace, progress: Progress) -> Report:
    """Merge a source tokenizer in, converted to this tokenizer's representation."""
    where = destination(args)
    source = open_source(args.source)
    max_vocab_size: int = args.max_vocab_size

    def merge(editor: quorvane.Quorvane) -> Report:
        progress.phase(f"merging {source.path}")
        result = editor.merge_from(source.as_source(), max_vocab_size)
        return Report(
            {
                "representation": result.representation,
                "initial_target_vocab_size": result.initial_target_vocab_size,
                "source_vocab_size": result.source_vocab_size,
                "final_model_vocab_size": result.final_model_vocab_size,
                "final_vocab_size": result.final_vocab_size,
                "tokens_injected": result.tokens_injected,
                "target_tokens_removed": result.target_tokens_removed,
                "bridge_tokens_added": result.bridge_tokens_added,
                "bridge_merges_added": result.bridge_merges_added,
                "source_merges_added": result.source_merges_added,
                "target_merges_retained": result.target_merges_retained,
            },
            [
                f"merged {source.path} as {result.representation}: {result.tokens_injected} tokens injected, "
                f"{result.target_tokens_removed} target tokens dropped, "
                f"{result.bridge_tokens_added} bridge tokens",
                f"merges: {result.bridge_merges_added} bridge, {result.source_merges_added} from the source, "
                f"{result.target_merges_retained} kept from the target",
                f"vocabulary {result.initial_target_vocab_size} -> {result.final_vocab_size} tokens "
                f"({result.final_model_vocab_size} in the model)",
            ],
        )

    return run_edit(where, progress, merge, drop_invalid=not args.keep_invalid_merges)
