"""What each --init rule does to a model right after an edit: bits per byte on held-out text.

    python bench/bench_init_rules.py [--table] [--models NAME|GGUF ...] [--languages LANG ...]
        [--edits EDIT ...] [--rules RULE ...] [--max-bytes N] [--context N] [--threads N]
        [--log FILE] [--text-dir DIR] [--english-dir DIR]
    python bench/bench_init_rules.py --markdown --log FILE

Without options: SmolLM2-135M-Instruct (Q4_1) extended by 4,096 Czech tokens,
every rule. --table runs the whole table: both models (`smollm2`,
SmolLM2-135M-Instruct.Q4_1.gguf, and `gemma`, gemma-3-270m-q4_k_m.gguf, from
~/.cache/quorvane/models or $QUORVANE_MODELS, as the test fixture unpacks
them) x the edits x the languages (cs, pl) x the rules. The edits:

  extend-N   `extend` by N tokens learned from LANG-train.txt.xz (4,096 and
             16,384), measured on LANG;
  adapt-N    `adapt --replace N` (8,192): prune the N leaves English uses
             least (--keep-text, the English "keep" text below), learn N
             tokens of LANG in their ids; measured on LANG and on English;
  adapt-N-kept  the same with --keep-segmentation: no learned merge splits
             an English word of the keep text otherwise than the pruning did;
  prune      `prune --text LANG-train.txt.xz` down to 16,384 tokens
             (SmolLM2) or 65,536 (Gemma): no new rows, so one figure, the
             same for every rule; measured on LANG.

Each edit is learned once and its model made per rule (`resize-embeddings`
on the GGUF with the edit's id map), scored, and deleted. A score is `eval`'s
llama.cpp measurement: the first --max-bytes (default 4,000; whole lines)
of LANG-heldout.txt.xz, or of the English held-out text, in --context
windows (default 256 tokens).
No training happens: the figures say how well the new rows stand in for the
pieces they replace.

English: the English original of the shared texts, Debian's LibreOffice
help pages, made by bench/english_text.py (fetched with `apt-get download`,
split the same way) into ~/.cache/quorvane/text: "keep" is en-train.txt.xz,
held out is en-heldout.txt.xz. --english-dir names another directory for
them.

Every measurement is appended to --log (JSON lines; default
init-rules.jsonl under the system temp dir) as soon as it is made, and
measurements already in the log are not made again, so an interrupted
--table run goes on where it stopped. --markdown prints the log as the
guide's tables and measures nothing.

The guide (docs/cli.md, resize-embeddings, "The rows") holds the table this
measured, with its conditions; bench/init-rules.jsonl is its log
(`--markdown --log bench/init-rules.jsonl` prints it again). Cost on 2
cores, per measurement of 4,000 bytes: SmolLM2 8-20 s alone, 35-60 s on a
shared machine; Gemma 3 20-35 s alone, 60-120 s shared; learning and
resizing take 2-25 s per edit.

Answer check, over the log: every rule of one edit gives the same tokens per
byte (one tokenizer); extend and adapt give the new language fewer tokens
per byte than the unedited model; every figure is finite. A failed check
makes the run exit with 1.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

sys.dont_write_bytecode = True  # the benchmark leaves nothing in the tree

import english_text  # noqa: E402
from quorvane_cli.commands.model_eval import bits_per_byte  # noqa: E402
from quorvane_cli.formats.init_rules import DEFAULT, RULES  # noqa: E402

MODELS = Path(os.environ.get("QUORVANE_MODELS", Path.home() / ".cache" / "quorvane" / "models"))
KNOWN_MODELS = {"smollm2": "SmolLM2-135M-Instruct.Q4_1.gguf", "gemma": "gemma-3-270m-q4_k_m.gguf"}
SHOWN_AS = {"smollm2": "SmolLM2-135M", "gemma": "Gemma 3 270M"}
PRUNED_SIZE = {"smollm2": 16_384, "gemma": 65_536}
VOCAB_SIZE = {"smollm2": 49_152, "gemma": 262_144}
DEFAULT_TEXT = Path(__file__).resolve().parents[2] / "shared" / "text"
TABLE_EDITS = ("extend-4096", "adapt-8192-kept", "adapt-8192", "prune", "extend-16384")
# Rules in the order they are measured: the default first, the ones known to be far off last.
FAR_OFF = ("mean", "zeros")
RULE_ORDER = (DEFAULT, *(rule for rule in RULES if rule != DEFAULT and rule not in FAR_OFF), *FAR_OFF)
UNEDITED = "unedited"


@dataclass(frozen=True)
class Cell:
    """One measurement: `model` (a name of KNOWN_MODELS or a path) after `edit`
    for `language` (UNEDITED: none) with new rows by `rule` (None: the edit
    makes none), scored on the held-out text of `measured`."""

    model: str
    edit: str
    language: str
    rule: str | None
    measured: str

    def key(self, max_bytes: int, context: int) -> tuple[object, ...]:
        return (self.model, self.edit, self.language, self.rule, self.measured, max_bytes, context)


def split_edit(edit: str) -> tuple[str, int, bool]:
    """An edit's name as (kind, size, whether adapt keeps the English segmentation)."""
    kind, size, *rest = edit.split("-")
    return kind, int(size), rest == ["kept"]


def quorvane(*argv: object) -> None:
    """One subcommand, as a user runs it; its error ends the benchmark."""
    command = [sys.executable, "-m", "quorvane_cli", *(str(a) for a in argv), "--quiet"]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode:
        sys.exit(f"{' '.join(command)}\n{done.stderr}")


def model_path(model: str) -> str:
    return str(MODELS / KNOWN_MODELS[model]) if model in KNOWN_MODELS else model


def english_texts(directory: str | None) -> tuple[str, str]:
    """The English training ("keep") and held-out texts, made under `directory` if missing."""
    train, heldout = english_text.make(Path(directory) if directory else english_text.CACHE)
    return str(train), str(heldout)


def read_log(path: str) -> list[dict[str, object]]:
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as log:
        return [json.loads(line) for line in log if line.strip()]


def record_key(record: dict[str, object]) -> tuple[object, ...]:
    return tuple(record[k] for k in ("model", "edit", "language", "rule", "measured", "max_bytes", "context"))


class Bench:
    """The runs of one invocation: scores cells not yet in the log and appends them."""

    def __init__(self, args: argparse.Namespace, work: str) -> None:
        self.args = args
        self.work = work
        self.text_dir = Path(args.text_dir)
        self.english_keep, self.english_heldout = english_texts(args.english_dir)
        self.done = {record_key(r) for r in read_log(args.log)}

    def heldout(self, measured: str) -> str:
        return self.english_heldout if measured == "en" else str(self.text_dir / f"{measured}-heldout.txt.xz")

    def wanted(self, cell: Cell) -> bool:
        return cell.key(self.args.max_bytes, self.args.context) not in self.done

    def score(self, cell: Cell, model: str, edit_seconds: float, size: int | None = None) -> None:
        started = time.perf_counter()
        (figures,) = bits_per_byte(model, [self.heldout(cell.measured)], context=self.args.context,
                                   max_bytes=self.args.max_bytes, threads=self.args.threads)
        record = {
            "model": cell.model, "edit": cell.edit, "language": cell.language, "rule": cell.rule,
            "measured": cell.measured, "max_bytes": self.args.max_bytes, "context": self.args.context,
            "tokens_per_byte": figures["tokens_per_byte"], "bits_per_byte": figures["bits_per_byte"],
            "bytes_scored": figures["bytes_scored"], "edit_seconds": round(edit_seconds, 1),
            "eval_seconds": round(time.perf_counter() - started, 1),
        }
        if size is not None:
            record["size"] = size
        with open(self.args.log, "a", encoding="utf-8") as log:
            log.write(json.dumps(record) + "\n")
        self.done.add(record_key(record))
        print(f"{cell.model:8} {cell.edit:13} {cell.language:9} {cell.rule or '-':21} on {cell.measured}: "
              f"{record['tokens_per_byte']:.4f} tokens/byte, {record['bits_per_byte']:.4f} bits/byte "
              f"(edit {record['edit_seconds']} s, eval {record['eval_seconds']} s)", flush=True)

    def run(self, model: str, edit: str, language: str) -> None:
        """Every cell of one edit of one model for one language (and the unedited ones it is compared with)."""
        original = model_path(model)
        measured = (language, "en") if edit.startswith("adapt-") else (language,)
        for text in measured:
            base = Cell(model, UNEDITED, UNEDITED, None, text)
            if self.wanted(base):
                self.score(base, original, 0.0)
        if edit == "prune":
            cell = Cell(model, edit, language, None, language)
            if self.wanted(cell):
                self.prune(cell, original)
            return
        cells = [Cell(model, edit, language, rule, text) for rule in self.args.rules for text in measured]
        if not any(self.wanted(cell) for cell in cells):
            return
        started = time.perf_counter()
        tokenizer, id_map = os.path.join(self.work, "edited.json"), os.path.join(self.work, "ids.json")
        train = self.text_dir / f"{language}-train.txt.xz"
        kind, size, kept = split_edit(edit)
        if kind == "extend":
            quorvane("extend", original, "--text", train, "--add", size, "-o", tokenizer, "--id-map", id_map)
        else:
            quorvane("adapt", original, "--text", train, "--keep-text", self.english_keep, "--replace", size,
                     *(["--keep-segmentation"] if kept else []), "-o", tokenizer, "--id-map", id_map)
        learned = time.perf_counter() - started
        for rule in self.args.rules:
            todo = [cell for cell in cells if cell.rule == rule and self.wanted(cell)]
            if not todo:
                continue
            started = time.perf_counter()
            edited = os.path.join(self.work, "edited.gguf")
            quorvane("resize-embeddings", original, "--tokenizer", tokenizer, "--id-map", id_map,
                     "--init", rule, "-o", edited)
            resized = time.perf_counter() - started
            try:
                for cell in todo:
                    self.score(cell, edited, learned + resized)
            finally:
                os.unlink(edited)

    def prune(self, cell: Cell, original: str) -> None:
        size = self.args.prune_to or PRUNED_SIZE.get(cell.model)
        vocab = VOCAB_SIZE.get(cell.model)
        if size is None or vocab is None:
            sys.exit(f"prune of {cell.model}: give --prune-to and a known model")
        started = time.perf_counter()
        edited = os.path.join(self.work, "pruned.gguf")
        quorvane("prune", original, "--count", vocab - size, "--text",
                 self.text_dir / f"{cell.language}-train.txt.xz", "-o", edited)
        try:
            self.score(cell, edited, time.perf_counter() - started, size)
        finally:
            os.unlink(edited)


def figures_of(record: dict[str, object]) -> tuple[float, float]:
    """The tokens per byte and bits per byte of a logged measurement."""
    return float(str(record["tokens_per_byte"])), float(str(record["bits_per_byte"]))


def checks(records: list[dict[str, object]]) -> list[str]:
    """What is wrong in the log's figures (nothing, for a sound run)."""
    failures = []
    base: dict[tuple[object, ...], float] = {}
    groups: dict[tuple[object, ...], set[float]] = {}
    for r in records:
        tokens, bits = figures_of(r)
        if not (math.isfinite(tokens) and math.isfinite(bits) and tokens > 0):
            failures.append(f"{record_key(r)}: {tokens} tokens per byte, {bits} bits per byte")
        if r["edit"] == UNEDITED:
            base[(r["model"], r["measured"], r["max_bytes"], r["context"])] = tokens
        else:
            groups.setdefault(record_key(r)[:3] + record_key(r)[4:], set()).add(round(tokens, 12))
    for key, seen in groups.items():
        if len(seen) > 1:
            failures.append(f"{key}: the rules disagree on tokens per byte: {sorted(seen)}")
        model, edit, language, measured, max_bytes, context = key
        before = base.get((model, measured, max_bytes, context))
        if str(edit).split("-")[0] in ("extend", "adapt") and measured == language and before is not None:
            if not max(seen) < before:
                failures.append(f"{key}: {max(seen)} tokens per byte, not fewer than the unedited {before}")
    return failures


def _change(value: float, before: float, digits: int = 1) -> str:
    return f"{value / before - 1:+.{digits}%}".replace("-", "\u2212").replace("%", " %")


def _row_order(row: tuple[object, ...]) -> tuple[object, ...]:
    """Table order: model, extend before adapt, size, --keep-segmentation first, language, its own text first."""
    model, edit, language, measured = row
    kind, size, kept = split_edit(str(edit))
    return (list(KNOWN_MODELS).index(str(model)) if model in KNOWN_MODELS else 9,
            kind != "extend", size, not kept, language, measured != language)


def markdown(records: list[dict[str, object]]) -> Iterator[str]:
    """The log as two markdown tables: the rules after extend and adapt, and prune."""
    figures = {(r["model"], r["edit"], r["language"], r["rule"], r["measured"]): r for r in records}
    base = {(r["model"], r["measured"]): r for r in records if r["edit"] == UNEDITED}
    rules = [rule for rule in RULE_ORDER if any(r["rule"] == rule for r in records)]
    rows = sorted({(r["model"], r["edit"], r["language"], r["measured"]) for r in records
                   if r["edit"] not in (UNEDITED, "prune")},
                  key=_row_order)
    yield ("| model | edit | text | tokens per byte | unedited bits per byte | "
           + " | ".join(f"`{rule}`" for rule in rules) + " |")
    yield "|---|---|---|---|---|" + "---|" * len(rules)
    for model, edit, language, measured in rows:
        before = base.get((model, measured))
        if before is None:
            continue
        b_tokens, b_bits = figures_of(before)
        made = [figures.get((model, edit, language, rule, measured)) for rule in rules]
        tokens = next(figures_of(r)[0] for r in made if r)
        cells = [f"{figures_of(r)[1]:.4f} ({_change(figures_of(r)[1], b_bits, 2)})" if r else "not run" for r in made]
        kind, size, kept = split_edit(str(edit))
        name = (f"`{kind}` {size:,}" if kind == "extend"
                else f"`adapt --replace {size:,}{' --keep-segmentation' if kept else ''}`")
        yield (f"| {SHOWN_AS.get(str(model), model)} | {name} {language} | {measured} | {b_tokens:.4f} \u2192 {tokens:.4f} "
               f"({_change(tokens, b_tokens)}) | {b_bits:.4f} | " + " | ".join(cells) + " |")
    pruned = [r for r in records if r["edit"] == "prune"]
    if pruned:
        yield ""
        yield "| model | `prune` by use on | size | tokens per byte | bits per byte |"
        yield "|---|---|---|---|---|"
        for r in pruned:
            before = base.get((r["model"], r["measured"]))
            if before is None:
                continue
            (tokens, bits), (b_tokens, b_bits) = figures_of(r), figures_of(before)
            kept = int(str(r.get("size", PRUNED_SIZE.get(str(r["model"]), 0))))
            yield (f"| {SHOWN_AS.get(str(r['model']), r['model'])} | {r['language']}-train | {VOCAB_SIZE.get(str(r['model']), 0):,} \u2192 {kept:,} "
                   f"| {b_tokens:.4f} \u2192 {tokens:.4f} ({_change(tokens, b_tokens)}) "
                   f"| {b_bits:.4f} \u2192 {bits:.4f} ({_change(bits, b_bits, 2)}) |")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--table", action="store_true", help="every model, edit and language")
    parser.add_argument("--markdown", action="store_true", help="print the log as markdown; measure nothing")
    parser.add_argument("--models", nargs="+", default=None, help="smollm2, gemma, or GGUF paths")
    parser.add_argument("--languages", nargs="+", default=None)
    parser.add_argument("--edits", nargs="+", default=None, help="extend-N, adapt-N, adapt-N-kept, prune")
    parser.add_argument("--rules", nargs="+", choices=RULES, default=list(RULE_ORDER))
    parser.add_argument("--prune-to", type=int, default=None)
    parser.add_argument("--max-bytes", type=int, default=4_000)
    parser.add_argument("--context", type=int, default=256)
    parser.add_argument("--threads", type=int, default=None)
    parser.add_argument("--log", default=os.path.join(tempfile.gettempdir(), "init-rules.jsonl"))
    parser.add_argument("--text-dir", default=str(DEFAULT_TEXT))
    parser.add_argument("--english-dir", default=None)
    args = parser.parse_args()
    if not args.markdown:
        models = args.models or (list(KNOWN_MODELS) if args.table else ["smollm2"])
        languages = args.languages or (["cs", "pl"] if args.table else ["cs"])
        edits = args.edits or (list(TABLE_EDITS) if args.table else ["extend-4096"])
        print(f"held-out: first {args.max_bytes} bytes, context {args.context}; log {args.log}", flush=True)
        with tempfile.TemporaryDirectory(prefix="quorvane-init-") as work:
            bench = Bench(args, work)
            # The cells that matter most first: every language of one model and edit before the next edit.
            for model in models:
                for edit in edits:
                    for language in languages:
                        bench.run(model, edit, language)
    records = [r for r in read_log(args.log)
               if r["max_bytes"] == args.max_bytes and r["context"] == args.context]
    for line in markdown(records):
        print(line)
    failures = checks(records)
    for failure in failures:
        print(f"check failed: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
