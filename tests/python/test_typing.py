"""Type-check the API walk-through, the examples and the command-line package
with `mypy --strict`, against the stub a user gets; compare the stub with the
module through mypy's stubtest; and run the walk-through.

mypy reads the installed stub package (quorvane-stubs) the way it does for any
user. When quorvane is imported from a build directory instead (PYTHONPATH),
nothing is installed for mypy to find, so MYPYPATH points at the source stub.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

import quorvane

ROOT = Path(__file__).resolve().parents[2]
API_USAGE = ROOT / "tests" / "typing" / "api_usage.py"
SAMPLE = ROOT / "examples" / "sample"
CLI_PACKAGE = ROOT / "src" / "python" / "quorvane_cli"
STUB_PACKAGE = Path(quorvane.__file__).resolve().parent / "quorvane-stubs" / "__init__.pyi"


def subprocess_env() -> dict[str, str]:
    env = dict(os.environ)
    if not STUB_PACKAGE.exists():
        # Imported from a build directory: let the child import the same module
        # whatever its working directory, and show mypy the source stub.
        module_dir = str(Path(quorvane.__file__).resolve().parent)
        stub_dir = str(ROOT / "src" / "python")
        for name, first in (("PYTHONPATH", module_dir), ("MYPYPATH", stub_dir)):
            env[name] = os.pathsep.join(filter(None, [first, env.get(name)]))
    return env


def mypy_targets() -> list[Path]:
    targets = [API_USAGE, *sorted((ROOT / "examples").rglob("*.py"))]
    if CLI_PACKAGE.is_dir():
        targets.append(CLI_PACKAGE)
    return targets


@pytest.fixture(scope="module")
def mypy_run(tmp_path_factory: pytest.TempPathFactory):
    pytest.importorskip("mypy.api", reason="mypy is not installed (pip install quorvane[test])")
    # Outside the repository, so nothing in the working directory shadows the
    # installed module or stub.
    workdir = tmp_path_factory.mktemp("mypy")
    env = subprocess_env()

    def run(target: Path) -> subprocess.CompletedProcess[str]:
        command = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(workdir / "cache"), str(target)]
        return subprocess.run(command, cwd=workdir, env=env, capture_output=True, text=True, timeout=600)

    return run


@pytest.mark.parametrize("target", mypy_targets(), ids=lambda p: str(p.relative_to(ROOT)))
def test_mypy_strict(mypy_run, target: Path) -> None:
    result = mypy_run(target)
    assert result.returncode == 0, result.stdout + result.stderr


# stubtest takes a C function's __self__ (the class, for a static method made
# with METH_STATIC) as the sign of a classmethod; from_json is a staticmethod.
STUBTEST_ALLOWLIST = ["quorvane.Quorvane.from_json"]


def test_stubtest(tmp_path: Path) -> None:
    pytest.importorskip("mypy.stubtest", reason="mypy is not installed (pip install quorvane[test])")
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("\n".join(STUBTEST_ALLOWLIST) + "\n", encoding="utf-8")
    command = [
        sys.executable, "-m", "mypy.stubtest", "quorvane",
        "--allowlist", str(allowlist), "--ignore-unused-allowlist",
    ]  # fmt: skip
    result = subprocess.run(command, cwd=tmp_path, env=subprocess_env(), capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


def test_api_usage_runs(tmp_path: Path) -> None:
    command = [
        sys.executable,
        str(API_USAGE),
        str(SAMPLE / "tokenizer.json"),
        str(SAMPLE / "marker_tokenizer.json"),
        str(tmp_path),
    ]
    result = subprocess.run(command, cwd=tmp_path, env=subprocess_env(), capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert [p.name for p in tmp_path.iterdir()] == ["edited.json"]
