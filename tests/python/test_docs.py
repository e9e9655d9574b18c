"""Every code block of the guide (docs/*.md) and of the README runs here, so
the documentation cannot drift from the code.

The blocks of one page run in order: `python` blocks in one shared namespace,
`sh` blocks through bash, all in one working directory that starts with
copies of the sample tokenizers. A `text` block right after a code block is
what that block prints, exactly. `quorvane` in shell blocks is the
command-line tool of the Python running the tests.
"""

from __future__ import annotations

import contextlib
import io
import os
import re
import shlex
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SAMPLES = ROOT / "examples" / "sample"
SAMPLE_FILES = ("tokenizer.json", "marker_tokenizer.json")
PAGES = sorted((ROOT / "docs").glob("*.md")) + [ROOT / "README.md"]

FENCE = re.compile(r"^```(\w*)([^\n]*)\n(.*?)^```[ \t]*$", re.S | re.M)
# Under the sanitizers, blocks that load numpy (tagged "```python numpy") are
# left out with their output: numpy's native code keeps objects at exit that
# LeakSanitizer cannot tell from leaks, and none of our native code runs there
# that the other blocks do not run.
SANITIZED = bool(os.environ.get("QUORVANE_SANITIZED"))


@dataclass
class Block:
    language: str
    code: str
    line: int
    tags: tuple[str, ...] = ()


def read_blocks(page: Path) -> list[Block]:
    text = page.read_text(encoding="utf-8")
    return [
        Block(m.group(1), m.group(3), text.count("\n", 0, m.start()) + 1, tuple(m.group(2).split()))
        for m in FENCE.finditer(text)
    ]


def runs_in_readme(block: Block) -> bool:
    """The README also shows how to install and build, which the tests do not
    repeat; of its shell blocks only those calling the tool run."""
    if block.language != "sh":
        return True
    commands = [line for line in block.code.splitlines() if line.strip() and not line.startswith("#")]
    return all(line.startswith("quorvane ") for line in commands)


def prepare(workdir: Path, page: Path) -> Path:
    """Sample copies where the page expects them: the guide works next to
    them, the README from the project root."""
    target = workdir if page.parent.name == "docs" else workdir / "examples" / "sample"
    target.mkdir(parents=True, exist_ok=True)
    for name in SAMPLE_FILES:
        shutil.copyfile(SAMPLES / name, target / name)
    bin_dir = workdir.parent / "bin"
    bin_dir.mkdir(exist_ok=True)
    shim = bin_dir / "quorvane"
    # A preloaded runtime (the sanitized test run) stays with the tool's Python.
    preload = os.environ.get("LD_PRELOAD")
    keep = f"export LD_PRELOAD={shlex.quote(preload)}\n" if preload else ""
    shim.write_text(f'#!/bin/sh\n{keep}exec "{sys.executable}" -m quorvane_cli "$@"\n', encoding="utf-8")
    shim.chmod(0o755)
    return bin_dir


def shell_env(bin_dir: Path) -> dict[str, str]:
    """The environment of the shell blocks: the shim first on PATH and, under the
    sanitizers, no preloaded runtime for the shell and its tools, which are not
    ours to check (they leak by design)."""
    env = dict(os.environ, QUORVANE_ROOT=str(ROOT), PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    env.pop("LD_PRELOAD", None)
    return env


def run_python(block: Block, namespace: dict[str, object], where: str) -> str:
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(block.code, where, "exec"), namespace)
    return out.getvalue()


def run_shell(block: Block, workdir: Path, env: dict[str, str], where: str) -> str:
    done = subprocess.run(
        ["bash", "-euo", "pipefail", "-c", block.code],
        cwd=workdir, env=env, capture_output=True, text=True, timeout=600,
    )
    assert done.returncode == 0, f"{where} exited with {done.returncode}:\n{done.stderr}"
    return done.stdout


def trimmed(text: str) -> list[str]:
    return [line.rstrip() for line in text.rstrip("\n").split("\n")]


def test_pages_have_blocks():
    assert (ROOT / "docs" / "README.md") in PAGES
    assert all(read_blocks(page) for page in PAGES)


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(ROOT)))
def test_page_blocks_run(page: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch):
    workdir = tmp_path / "work"
    workdir.mkdir()
    bin_dir = prepare(workdir, page)
    env = shell_env(bin_dir)
    monkeypatch.chdir(workdir)
    namespace: dict[str, object] = {"__name__": "__docs__"}
    previous: str | None = None  # output of the last code block
    left_out = False  # the last code block was left out, and so is its output
    for block in read_blocks(page):
        where = f"{page.relative_to(ROOT)}:{block.line}"
        if block.language == "text" and left_out:
            left_out = False
            continue
        left_out = SANITIZED and "numpy" in block.tags
        if left_out:
            previous = None
            continue
        if block.language == "text":
            assert previous is not None, f"{where}: output block without a code block before it"
            assert trimmed(previous) == trimmed(block.code), f"{where}: the block before prints otherwise"
            previous = None
            continue
        if page.name == "README.md" and page.parent == ROOT and not runs_in_readme(block):
            previous = None
            continue
        if block.language == "python":
            previous = run_python(block, namespace, where)
        elif block.language == "sh":
            previous = run_shell(block, workdir, env, where)
        else:
            pytest.fail(f"{where}: a ```{block.language} block would not be tested")



def names_in_headings(page: Path) -> set[str]:
    """Every `name` a heading of the page shows (the last part of a dotted one)."""
    lines = page.read_text(encoding="utf-8").splitlines()
    return {name for line in lines if line.startswith("#") for name in re.findall(r"`(?:\w+\.)?([\w-]+)", line)}


def test_every_method_and_subcommand_has_a_section():
    import argparse

    import quorvane
    from quorvane_cli.cli.parser import build_parser

    methods = {name for name in vars(quorvane.Quorvane) if not name.startswith("_")}
    assert methods - names_in_headings(ROOT / "docs" / "python-api.md") == set()
    parser = build_parser(None)
    commands = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    assert set(commands.choices) - names_in_headings(ROOT / "docs" / "cli.md") == set()
