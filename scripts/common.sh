# Helpers shared by the scripts in this directory; source it, don't run it.
# Sets ROOT to the project root and works from there.

# pyenv's interpreters are the machine's Python; make sure they come first
# even when the caller's PATH was not set up by a login shell.
PYENV_ROOT="${PYENV_ROOT:-${HOME:-/root}/.pyenv}"
if [[ -d $PYENV_ROOT/shims && :$PATH: != *":$PYENV_ROOT/shims:"* ]]; then
  export PATH="$PYENV_ROOT/shims:$PYENV_ROOT/bin:$PATH"
fi

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

# The build venv: the default python3, the project installed into it.
VENV="${QUORVANE_VENV:-$ROOT/.venv}"
# scikit-build-core keeps its CMake tree here between runs, so `pip install .`
# and `pip wheel .` after it rebuild only what changed. That needs one
# unchanging build environment (a fresh isolated one clears the tree every
# time), hence pip_build below.
WHEEL_BUILD_DIR="$ROOT/build-ci/wheel"
NPROC=$(nproc 2>/dev/null || echo 2)

log() { printf '\n==> %s  [%ds]\n' "$*" "$SECONDS"; }

# ensure_venv DIR PYTHON: create DIR as a venv of PYTHON unless it already is one.
ensure_venv() {
  local dir=$1 python=$2
  if [[ ! -x "$dir/bin/python" ]]; then
    "$python" -m venv "$dir"
  fi
}

# pip_build PYTHON PIP-ARGS...: `pip PIP-ARGS` building the project inside the
# venv of PYTHON instead of an isolated environment. The build requirements
# are installed there first: those of pyproject.toml and whatever
# scikit-build-core asks for on this machine (CMake or Ninja when the system
# has none recent enough).
pip_build() {
  local python=$1
  shift
  local requires
  requires=$("$python" - <<'PY'
import re
try:
    import tomllib
    with open("pyproject.toml", "rb") as f:
        print(" ".join(tomllib.load(f)["build-system"]["requires"]))
except ImportError:  # Python 3.10
    text = open("pyproject.toml", encoding="utf-8").read()
    block = re.search(r"^\[build-system\](.*?)(?=^\[|\Z)", text, re.S | re.M).group(1)
    print(" ".join(re.findall(r'"([^"]+)"', re.search(r"requires\s*=\s*\[(.*?)\]", block, re.S).group(1))))
PY
  )
  # shellcheck disable=SC2086 # one requirement per word
  "$python" -m pip install -q $requires
  requires=$("$python" -c 'from scikit_build_core.build import get_requires_for_build_wheel as r; print(" ".join(r()))')
  if [[ -n $requires ]]; then
    # shellcheck disable=SC2086
    "$python" -m pip install -q $requires
  fi
  "$python" -m pip "$@" --no-build-isolation --config-settings=build-dir="$WHEEL_BUILD_DIR"
}

have_python_tests() {
  [[ -n $(find tests/python \( -name 'test_*.py' -o -name '*_test.py' \) -print -quit 2>/dev/null) ]]
}

# run_pytest PYTHON [ARGS...]: the Python suite under PYTHON. pytest's exit 5
# (nothing collected) passes only while tests/python holds no test files yet;
# once there are test files, collecting nothing means something is broken.
run_pytest() {
  local python=$1
  shift
  if ! have_python_tests; then
    echo "no Python test files in tests/python yet: pytest skipped"
    return 0
  fi
  local rc=0
  "$python" -m pytest tests/python -q "$@" || rc=$?
  if ((rc == 5)); then
    echo "pytest collected no tests although tests/python has test files" >&2
  fi
  return "$rc"
}
