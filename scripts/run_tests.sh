#!/usr/bin/env bash
# The whole test run: system packages, the project installed into .venv,
# the C++ core tests through CTest, the Python suite, then the same suite
# under the other CPython versions against one abi3 wheel, then the C++ tests
# and the Python suite again against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (scripts/run_sanitized.sh), and a short run of
# the fuzz targets over their seeds and kept regressions (scripts/fuzz_smoke.sh).
#
#   bash scripts/run_tests.sh
#
# QUORVANE_PYTHONS (version prefixes, e.g. "3.10 3.13") narrows the
# multi-Python step, which by default covers every CPython 3.10+ in pyenv
# other than the one .venv was made from. A failing test stage does not stop
# the later ones; the run fails at the end, naming every stage that failed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
export PIP_DISABLE_PIP_VERSION_CHECK=1
start=$SECONDS
failed=()

core_tests() {
  if [[ -z $(find tests/editor -name '*_test.cc' -print -quit 2>/dev/null) ]]; then
    echo "no C++ test files in tests/editor yet: CTest skipped"
    return 0
  fi
  local generator=()
  command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
  cmake -S . -B build-ci/core "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DQUORVANE_BUILD_TESTS=ON -DQUORVANE_BUILD_MODULE=OFF >/dev/null &&
    cmake --build build-ci/core -j "$NPROC" &&
    ctest --test-dir build-ci/core --output-on-failure -j "$NPROC"
}

log "system packages"
bash scripts/setup_system.sh

log "installing the project into .venv"
ensure_venv "$VENV" python3
# llama.cpp (the llama extra) judges the GGUF files we write; it is built from
# source once, without its multimodal part, and pip keeps the wheel cached. It
# is installed on its own first: pip_build's build directory and its use of the
# venv as the build environment are for this project's build only.
CMAKE_ARGS="${CMAKE_ARGS:-} -DLLAVA_BUILD=OFF" "$VENV/bin/python" -m pip install -q "llama-cpp-python>=0.3"
pip_build "$VENV/bin/python" install -q ".[test,llama]"
default_python=$("$VENV/bin/python" -c 'import platform; print(platform.python_version())')
"$VENV/bin/python" -c 'import quorvane; print(quorvane.__file__)'

log "C++ core tests"
core_tests || failed+=("C++ core tests")

log "Python tests (CPython $default_python)"
run_pytest "$VENV/bin/python" || failed+=("Python tests")

log "other CPython versions"
QUORVANE_SKIP_PYTHONS=$default_python bash scripts/check_pythons.sh ${QUORVANE_PYTHONS:-} ||
  failed+=("other CPython versions")

log "sanitizers (ASan and UBSan)"
bash scripts/run_sanitized.sh || failed+=("sanitizers")

log "fuzzing smoke run"
bash scripts/fuzz_smoke.sh 30 || failed+=("fuzzing smoke run")

echo
if ((${#failed[@]})); then
  printf 'FAILED after %d s:' $((SECONDS - start)) >&2
  printf ' [%s]' "${failed[@]}" >&2
  echo >&2
  exit 1
fi
echo "all test stages passed in $((SECONDS - start)) s"
