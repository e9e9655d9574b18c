"""A careful pure-Python editor with the same data structures as the core.

The baseline the editing benchmark measures against, and the second opinion it
checks every answer with: vocabulary and merge list as dicts and lists, a set
of merge pairs, users/producers lists with merges marked dead during a batch
and the list written back once per call.
"""

from __future__ import annotations

from typing import Iterable


def is_special(token: str) -> bool:
    return len(token) > 0 and (
        (token[0] == "[" and token[-1] == "]") or (token[0] == "<" and token[-1] == ">")
    )


class PlainEditor:
    def __init__(self, doc: dict) -> None:
        model = doc["model"]
        self.vocab: dict[str, int] = dict(model["vocab"])
        self.merges: list[tuple[str, str]] = [tuple(m) for m in model["merges"]]
        self.added_ids = [
            e["id"]
            for e in doc["added_tokens"]
            if isinstance(e, dict) and type(e.get("id")) is int and 0 <= e["id"] < 2**32
        ]
        self._reset_ids()
        self._slots: list[list] = []  # [left, right, product, alive]
        self._pairs: dict[tuple[str, str], int] = {}
        self._users: dict[str, list[int]] = {}
        self._producers: dict[str, list[int]] = {}
        self._index()

    def _reset_ids(self) -> None:
        self.used = set(self.vocab.values()) | set(self.added_ids)
        self.next_id = (max(self.used) + 1 if self.used else 1) & 0xFFFFFFFF

    def _index(self) -> None:
        self._slots = [[l, r, l + r, True] for l, r in self.merges]
        self._pairs = {}
        self._users = {}
        self._producers = {}
        for i, (l, r, p, _) in enumerate(self._slots):
            self._pairs[(l, r)] = self._pairs.get((l, r), 0) + 1
            self._users.setdefault(l, []).append(i)
            if r != l:
                self._users.setdefault(r, []).append(i)
            self._producers.setdefault(p, []).append(i)
        self._dirty = False

    def _commit(self) -> None:
        if self._dirty:
            self.merges = [(s[0], s[1]) for s in self._slots if s[3]]
            self._index()

    def _allocate(self) -> int:
        i = self.next_id
        while i in self.used:
            i += 1
        self.used.add(i)
        self.next_id = i + 1
        return i

    # Addition.
    def _ensure(self, token: str) -> None:
        if token not in self.vocab:
            self.vocab[token] = self._allocate()

    def _append(self, left: str, right: str, added: list) -> None:
        if self._pairs.get((left, right), 0):
            return
        i = len(self._slots)
        self._slots.append([left, right, left + right, True])
        self.merges.append((left, right))
        self._pairs[(left, right)] = 1
        self._users.setdefault(left, []).append(i)
        if right != left:
            self._users.setdefault(right, []).append(i)
        self._producers.setdefault(left + right, []).append(i)
        added.append((left, right))

    def _chain(self, text: str, added: list) -> None:
        if not text:
            return
        self._ensure(text[0])
        for i in range(1, len(text)):
            self._ensure(text[i])
            self._append(text[:i], text[i], added)
            self._ensure(text[: i + 1])

    def add_token(self, token: str) -> tuple[bool, str, list]:
        if token in self.vocab:
            return False, "already_exists", []
        if len(token) == 1:
            self.vocab[token] = self._allocate()
            return True, "single_char", []
        added: list = []
        for k in range(len(token) - 1, 0, -1):
            if token[:k] in self.vocab:
                prefix, suffix = token[:k], token[k:]
                if suffix not in self.vocab:
                    self._chain(suffix, added)
                self._append(prefix, suffix, added)
                self._ensure(token)
                return True, "longest_prefix", added
        self._chain(token, added)
        self._ensure(token)
        return True, "char_chain", added

    def add_tokens(self, tokens: Iterable[str]) -> list:
        return [self.add_token(t) for t in tokens]

    # Removal.
    def _cascade(self, root: str) -> tuple[int, int]:
        seen: set[str] = set()
        taken: set[int] = set()
        work = [root]
        slots = self._slots
        while work:
            s = work.pop()
            if s in seen:
                continue
            seen.add(s)
            for i in self._users.get(s, ()):
                if slots[i][3] and i not in taken:
                    taken.add(i)
                    work.append(slots[i][2])
            for i in self._producers.get(s, ()):
                if slots[i][3]:
                    taken.add(i)
                    break
        for i in taken:
            slot = slots[i]
            slot[3] = False
            key = (slot[0], slot[1])
            self._pairs[key] -= 1
        for s in seen:
            tid = self.vocab.pop(s, None)
            if tid is not None:
                self.used.discard(tid)
        self._dirty = True
        return len(seen), len(taken)

    def remove_tokens(self, tokens: Iterable[str]) -> list[tuple[int, int]]:
        out = [self._cascade(t) for t in tokens if t in self.vocab]
        self._commit()
        return out

    def find_tokens_to_shrink(self, count: int, min_id: int = 0) -> list[tuple[str, int, int]]:
        ranked = [
            (t, i, len(t))
            for t, i in self.vocab.items()
            if i >= min_id and len(t) >= 2 and not is_special(t)
        ]
        ranked.sort(key=lambda c: (-c[2], -c[1], c[0].encode()))
        return ranked[:count]

    def shrink(self, count: int, min_id: int = 0) -> tuple[int, int, int]:
        removed = tokens = merges = 0
        for token, _, _ in self.find_tokens_to_shrink(count, min_id):
            if token in self.vocab:
                t, m = self._cascade(token)
                removed += 1
                tokens += t
                merges += m
        self._commit()
        return removed, tokens, merges

    def reindex_vocab(self) -> int:
        entries = sorted(self.vocab.items(), key=lambda e: (e[1], e[0].encode()))
        i = 0
        while i < len(entries) and entries[i][1] == i:
            i += 1
        if i == len(entries):
            return 0
        for p in range(i, len(entries)):
            self.vocab[entries[p][0]] = p
        self._reset_ids()
        return len(entries) - i
