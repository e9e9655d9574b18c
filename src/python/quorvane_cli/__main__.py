"""`python -m quorvane_cli` runs the command-line tool."""

from __future__ import annotations

from quorvane_cli import main

if __name__ == "__main__":
    raise SystemExit(main())
