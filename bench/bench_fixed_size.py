"""Speed of the fixed-size edits on real tokenizers, checked against pure-Python versions.

    python bench/bench_fixed_size.py [--corpus-dir DIR] [--words N] [--walk-words K]

  add_tokens_keep_size(2_000 new words) on gemma3            < 0.5 s
  sync_single_chars(gemma3 into llama2, min_id=259)          < 1 s, opening the source included

Each edit runs on a freshly opened editor (the time includes building the
indexes it needs) and, in the same run, on a pure-Python version built on
bench/plain_editor.py; both must end with the same vocabulary, merge list and
result dictionary, or the run fails. For add_tokens_keep_size there are two
baselines:

  heap   the same victim queue in Python, over the full word list;
  walk   the victim chosen by a fresh pass over the whole vocabulary and a
         sort, once per victim, run on the first K words only (it needs a
         quarter of a second per victim on gemma3) and extrapolated to the
         full run's victim count.

The progress text sync_single_chars writes to standard error is captured and
its shape checked. Targets are reported, not asserted; the machine is shared,
so figures are noisy.
"""

from __future__ import annotations

import argparse
import heapq
import json
import os
import re
import sys
import tempfile
import time
from pathlib import Path

import quorvane

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_edit import new_words, timed  # noqa: E402
from bench_io import DEFAULT_CORPUS, unpack  # noqa: E402
from plain_editor import PlainEditor, is_special  # noqa: E402

MARKER = "\u2581"


class FixedSizeEditor(PlainEditor):
    """PlainEditor plus the two fixed-size edits, written from their definitions."""

    def __init__(self, doc: dict) -> None:
        super().__init__(doc)
        self._inserted: list[str] | None = None

    def _ensure(self, token: str) -> None:
        if token not in self.vocab and self._inserted is not None:
            self._inserted.append(token)
        super()._ensure(token)

    def _produced(self, token: str) -> bool:
        return any(self._slots[i][3] for i in self._producers.get(token, ()))

    def _protected(self, whitelist) -> set[str]:
        kept = set(whitelist or ())
        kept.update(t for t in self.vocab if len(t) == 1 or is_special(t))
        kept.add(MARKER)
        return kept

    def _key(self, token: str) -> tuple:
        # heapq pops the smallest: longest, then merge-produced, then bytes
        # (str order is code point order, which is UTF-8 byte order).
        return (-len(token), not self._produced(token), token)

    def add_tokens_keep_size(self, tokens, whitelist=None, fresh_walk=False) -> dict:
        start = len(self.vocab)
        kept = self._protected(whitelist)
        heap = None if fresh_walk else [self._key(t) for t in self.vocab if t not in kept]
        if heap is not None:
            heapq.heapify(heap)
        added = removed = 0
        for token in tokens:
            if token in self.vocab:
                continue
            self._inserted = []
            _, _, merges = self.add_token(token)
            inserted, self._inserted = self._inserted, None
            if len(token) == 1:
                inserted.append(token)
            added += 1
            if heap is not None:
                for t in inserted + [left + right for left, right in merges]:
                    if t in self.vocab and t not in kept:
                        heapq.heappush(heap, self._key(t))
            if len(self.vocab) > start:  # at most one victim per added element
                victim = self._walk_victim(kept) if heap is None else self._heap_victim(heap)
                if victim is not None:
                    self._cascade(victim)
                    removed += 1
        self._commit()
        return {"initial_vocab_size": start, "final_vocab_size": len(self.vocab),
                "tokens_requested": len(tokens), "tokens_added": added, "tokens_removed": removed}

    def _heap_victim(self, heap: list) -> str | None:
        while heap:
            length, unproduced, token = heapq.heappop(heap)
            if token in self.vocab and (not self._produced(token)) == unproduced:
                return token
        return None

    def _walk_victim(self, kept: set[str]) -> str | None:
        rows = sorted(self._key(t) for t in self.vocab if t not in kept)
        return rows[0][2] if rows else None

    def sync_single_chars(self, source_path: Path, min_id: int) -> dict:
        with open(source_path, encoding="utf-8") as f:
            source = json.load(f)
        chars = sorted(t for t in source["model"]["vocab"] if len(t) == 1)
        missing = [t for t in chars if t not in self.vocab]
        result = {"initial_vocab_size": len(self.vocab), "final_vocab_size": 0, "chars_in_source": len(chars),
                  "chars_already_present": len(chars) - len(missing), "chars_added_count": len(missing),
                  "total_tokens_removed": 0, "total_merges_removed": 0}
        if missing:
            for token, _, _ in self.find_tokens_to_shrink(len(missing), min_id):
                if token in self.vocab:
                    tokens, merges = self._cascade(token)
                    result["total_tokens_removed"] += tokens
                    result["total_merges_removed"] += merges
            self._commit()
            for token in missing:
                self.vocab[token] = self._allocate()
            self.reindex_vocab()
        result["final_vocab_size"] = len(self.vocab)
        return result


def same_state(editor: quorvane.Quorvane, plain: PlainEditor, what: str) -> None:
    if editor.get_vocab() != plain.vocab or editor.get_merges() != plain.merges:
        raise SystemExit(f"MISMATCH after {what}: quorvane and the Python version disagree")


def row(name: str, ours: float, base: float, label: str, target: float | None = None) -> None:
    verdict = "" if target is None else ("  ok" if ours < target else f"  MISSED (< {target} s)")
    print(f"  {name:<44} {ours * 1000:9.1f} ms   {label:<5} {base * 1000:11.1f} ms   x{base / ours:8.1f}{verdict}")


def bench_keep_size(path: Path, doc: dict, count: int, walk_count: int, target: float | None) -> None:
    words = new_words(doc, count, seed=5)
    editor = quorvane.Quorvane(str(path))
    ours, result = timed(lambda: editor.add_tokens_keep_size(words))
    plain = FixedSizeEditor(doc)
    base, expected = timed(lambda: plain.add_tokens_keep_size(words))
    if result != expected:
        raise SystemExit(f"MISMATCH in add_tokens_keep_size on {path.name}: {result} != {expected}")
    same_state(editor, plain, f"add_tokens_keep_size on {path.name}")
    name = f"add_tokens_keep_size({count}) {path.stem}"
    row(name, ours, base, "heap", target)

    # The fresh walk per victim, on the first few words only.
    few = words[:walk_count]
    small = quorvane.Quorvane(str(path))
    small_result = small.add_tokens_keep_size(few)
    walker = FixedSizeEditor(doc)
    walk, walked = timed(lambda: walker.add_tokens_keep_size(few, fresh_walk=True))
    if small_result != walked:
        raise SystemExit(f"MISMATCH in the fresh-walk run on {path.name}: {small_result} != {walked}")
    same_state(small, walker, f"the fresh-walk run on {path.name}")
    per_victim = walk / max(walked["tokens_removed"], 1)
    row(name, ours, per_victim * result["tokens_removed"], "walk", target)
    print(f"  {'':<44} {result['tokens_removed']} victims; the walk took {per_victim * 1000:.0f} ms per victim "
          f"over {walked['tokens_removed']} ({walk_count} words), extrapolated")


PROGRESS = re.compile(r"\r   \[[ \d]{2}\d\.\d%\] \d+/\d+ removed \| Elapsed: \d+\.\ds \| ETA: \d+\.\ds    ")


def check_progress(text: str, result: dict) -> None:
    m = result["chars_added_count"]
    lines = [
        f"\n   Pre-computing {m} tokens to remove...\n",
        f"\n   Phase 2: Adding {m} single-char tokens...\n",
        "\n   Phase 3: Reindexing vocabulary to remove ID gaps...\n",
    ]
    faults = [line.strip() for line in lines if line not in text]
    progress = PROGRESS.findall(text)
    if not progress or "[100.0%]" not in progress[-1]:
        faults.append("no final progress line")
    if not re.search(rf"   Added {m} tokens in \d+\.\d\ds\n", text):
        faults.append("no 'Added' line")
    if faults:
        raise SystemExit(f"MISMATCH in the progress text: {faults}\n{text!r}")


def bench_sync(source: Path, target_path: Path, target_doc: dict, min_id: int, target: float | None) -> None:
    editor = quorvane.Quorvane(str(target_path))
    with tempfile.TemporaryFile() as err:
        saved = os.dup(2)
        os.dup2(err.fileno(), 2)
        try:
            ours, result = timed(lambda: editor.sync_single_chars(str(source), min_id))
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        err.seek(0)
        text = err.read().decode("utf-8")
    check_progress(text, result)
    plain = FixedSizeEditor(target_doc)
    base, expected = timed(lambda: plain.sync_single_chars(source, min_id))
    if result != expected:
        raise SystemExit(f"MISMATCH in sync_single_chars: {result} != {expected}")
    same_state(editor, plain, "sync_single_chars")
    if editor.check_vocab_gaps()[0]:
        raise SystemExit("gaps left after sync_single_chars")
    row(f"sync_single_chars({source.stem} -> {target_path.stem})", ours, base, "plain", target)
    print(f"  {'':<44} {result['chars_added_count']} characters added, {result['total_tokens_removed']} "
          f"tokens removed; vocabulary {result['initial_vocab_size']} -> {result['final_vocab_size']}; "
          "both times include opening the source")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus-dir", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--words", type=int, default=2_000, help="new words for add_tokens_keep_size")
    parser.add_argument("--walk-words", type=int, default=3, help="words for the fresh-walk baseline")
    args = parser.parse_args()

    files = {name: unpack(args.corpus_dir / f"{name}.json.xz") for name in ("llama2", "llama3", "gemma3")}
    docs = {name: json.loads(path.read_text(encoding="utf-8")) for name, path in files.items()}

    print(f"{'':<46} {'quorvane':>12}   {'baseline':>19}   {'ratio':>9}")
    print("add_tokens_keep_size (new words in the file's own representation):")
    for name in ("gemma3", "llama3"):
        bench_keep_size(files[name], docs[name], args.words, args.walk_words, 0.5 if name == "gemma3" else None)
    print("sync_single_chars:")
    bench_sync(files["gemma3"], files["llama2"], docs["llama2"], 259, 1.0)
    print("all answers agree with the Python versions")


if __name__ == "__main__":
    main()
