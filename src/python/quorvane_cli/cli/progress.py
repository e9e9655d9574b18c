"""Phase lines, and a bar for long loops, on standard error while a command runs.

They appear only when standard error is a terminal and --quiet is not given,
so pipes, logs and scripts see nothing. `sync_single_chars` writes its own
phase text to file descriptor 2 from native code; `native_output` lets that
through when progress is on and sends it to the null device otherwise.
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager

_BAR_WIDTH = 30


class Progress:
    """Writes "[  1.23s] reading tokenizer.json …" lines when enabled."""

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled
        self._start = time.monotonic()

    @classmethod
    def for_stderr(cls, quiet: bool) -> Progress:
        """Progress that is on exactly when stderr is a terminal and not `quiet`."""
        stream = sys.stderr
        return cls(not quiet and stream is not None and stream.isatty())

    def phase(self, text: str) -> None:
        """Announce the phase that starts now, with the seconds since the command began."""
        if self.enabled:
            elapsed = time.monotonic() - self._start
            print(f"[{elapsed:7.2f}s] {text} \u2026", file=sys.stderr, flush=True)

    @contextmanager
    def bar(self, text: str, total: int) -> Iterator[Callable[[int], None]]:
        """A bar rewritten in place on one line for work of `total` units.

        The callable it yields takes the units done so far. The line is redrawn
        at most ten times a second and ended on leaving, even by an exception, so
        that an error message starts a line of its own.
        """
        if not self.enabled:
            yield lambda done: None
            return
        drawn = time.monotonic()
        done = 0

        def draw() -> None:
            share = min(done / total, 1.0) if total > 0 else 1.0
            filled = round(share * _BAR_WIDTH)
            elapsed = drawn - self._start
            bar = "#" * filled + "." * (_BAR_WIDTH - filled)
            print(f"\r[{elapsed:7.2f}s] {text} [{bar}] {share:4.0%}", end="", file=sys.stderr, flush=True)

        def advance(units: int) -> None:
            nonlocal done, drawn
            done = units
            now = time.monotonic()
            if now - drawn >= 0.1:
                drawn = now
                draw()

        draw()
        try:
            yield advance
            drawn = time.monotonic()
            draw()
        finally:
            print(file=sys.stderr, flush=True)

    @contextmanager
    def native_output(self) -> Iterator[None]:
        """Around a call that writes to fd 2 itself: silence fd 2 unless progress is on."""
        if self.enabled:
            sys.stderr.flush()
            yield
            return
        try:
            saved = os.dup(2)
        except OSError:  # fd 2 is closed: nothing to silence
            yield
            return
        try:
            if sys.stderr is not None:
                sys.stderr.flush()
            null = os.open(os.devnull, os.O_WRONLY)
            try:
                os.dup2(null, 2)
            finally:
                os.close(null)
            yield
        finally:
            os.dup2(saved, 2)
            os.close(saved)
