"""`python -m quorvane_cli` runs the command-line tool."""

from __future__ import annotations

from quorvane_cli import run

if __name__ == "__main__":
    run()
