"""Phase lines on standard error while a command runs.

They appear only when standard error is a terminal and --quiet is not given,
so pipes, logs and scripts see nothing. `sync_single_chars` writes its own
phase text to file descriptor 2 from native code; `native_output` lets that
through when progress is on and sends it to the null device otherwise.
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager


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
