#!/usr/bin/env bash
# The C++ core tests and the whole Python suite against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer (CMake option
# QUORVANE_SANITIZE). Any sanitizer report fails the run.
#
#   bash scripts/run_sanitized.sh [PYTEST-ARGS...]
#
# Builds in build-ci/asan. Python is .venv's (set up as run_tests.sh does when
# it lacks the test dependencies) with the sanitized module first on
# PYTHONPATH. The interpreter is not instrumented, so libasan is preloaded
# into it; PYTHONMALLOC=malloc routes Python's objects through ASan's
# allocator too, so an overrun or a use after free of a Python object shows.
#
# LeakSanitizer checks both runs at exit. With every Python object on the
# heap it scans, only the Rust client in `tokenizers` needs a suppression
# (scripts/lsan_suppressions.txt); a leaked C++ allocation or an unreachable
# Python object made by the module is reported. LSan's own tracer sometimes
# crashes at exit ("Tracer caught signal 11"); when that is the only report
# and every test passed, the leak check of that run counts as inconclusive,
# with a warning, not as a failure.
#
# A report ends the process that made it. ASan also writes each one under
# build-ci/asan/reports/, and any file there fails the run, so a report from a
# child process whose exit status nobody checks still counts. UBSan in the
# module (its runtime comes in with the module, after ASan's) ignores
# log_path and writes to stderr: pytest runs with --capture=sys so that its
# report is not lost with the output of the test that aborted.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
export PIP_DISABLE_PIP_VERSION_CHECK=1

start=$SECONDS
build="$ROOT/build-ci/asan"
reports="$build/reports"
py="$VENV/bin/python"

bash scripts/setup_system.sh >/dev/null
ensure_venv "$VENV" python3
if ! "$py" -c 'import pytest, hypothesis, tokenizers' 2>/dev/null; then
  log "installing the project and its test dependencies into .venv"
  pip_build "$py" install -q ".[test]"
fi

# The module needs CMake 3.26; a venv that pip_build had to give CMake or
# Ninja has them in its bin/.
cmake=cmake
[[ -x $VENV/bin/cmake ]] && cmake="$VENV/bin/cmake"
generator=()
if command -v ninja >/dev/null 2>&1; then
  generator=(-G Ninja)
elif [[ -x $VENV/bin/ninja ]]; then
  generator=(-G Ninja -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja")
fi

log "sanitized build (build-ci/asan)"
# A build dir made by another generator cannot be reconfigured with this one.
if [[ -f $build/CMakeCache.txt ]] && ! grep -q "^CMAKE_GENERATOR:INTERNAL=${generator[1]:-Unix Makefiles}\$" "$build/CMakeCache.txt"; then
  rm -rf "$build"
fi
"$cmake" -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug -DQUORVANE_SANITIZE=ON \
  -DQUORVANE_BUILD_TESTS=ON -DQUORVANE_BUILD_MODULE=ON -DPython_EXECUTABLE="$py" >/dev/null
"$cmake" --build "$build" -j "$NPROC"

module=$(find "$build" -maxdepth 1 -name 'quorvane*.so' -print -quit)
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
libasan=$("${cxx:-g++}" -print-file-name=libasan.so)
if [[ -z $module || ! -f $libasan ]]; then
  echo "run_sanitized: no module in $build or no libasan ($libasan)" >&2
  exit 1
fi
ldd "$module" | grep -E 'libasan|libubsan'

rm -rf "$reports"
mkdir -p "$reports"
# Reports end the process (abort_on_error, halt_on_error and the build's
# -fno-sanitize-recover=all), so the test runner's exit status shows them.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan_suppressions.txt:print_suppressions=0"

# only_tracer_crashes: true when there are reports and every one is LSan's
# tracer crashing (no leak, no memory error); prints and removes them then.
only_tracer_crashes() {
  local f found=1
  for f in "$reports"/*; do
    [[ -e $f ]] || continue
    grep -q 'LeakSanitizer has encountered a fatal error' "$f" && ! grep -q 'ERROR: ' "$f" || return 1
    found=0
  done
  ((found == 0)) || return 1
  cat "$reports"/* >&2
  rm -f "$reports"/*
}

# reports_clean: true when no report was written since the last call; prints
# and removes any it finds.
reports_clean() {
  local f clean=0
  for f in "$reports"/*; do
    [[ -e $f ]] || continue
    clean=1
    echo "---- sanitizer report: $f" >&2
    cat "$f" >&2
    rm -f "$f"
  done
  return "$clean"
}

failed=()

log "C++ core tests (sanitized)"
if ! ctest --test-dir "$build" --output-on-failure -j "$NPROC"; then
  # Tests that failed only because LSan's tracer crashed get one more run.
  if only_tracer_crashes && ctest --test-dir "$build" --rerun-failed --output-on-failure; then
    echo "run_sanitized: warning: LeakSanitizer's tracer crashed; the tests it hit passed on a rerun" >&2
  else
    failed+=("C++ core tests")
  fi
fi
reports_clean || failed+=("C++ core tests: sanitizer report")

log "Python tests (sanitized module, libasan preloaded)"
# in_sanitized_env COMMAND...: COMMAND (a function too) with the module first
# on the path and the ASan runtime loaded ahead of the interpreter.
# QUORVANE_SANITIZED tells tests that measure memory (resident size, heap
# counters) that ASan's quarantine and allocator make those figures meaningless.
in_sanitized_env() (
  export LD_PRELOAD="$libasan" PYTHONMALLOC=malloc PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
  export QUORVANE_SANITIZED=1
  "$@"
)
if in_sanitized_env "$py" - "$module" <<'PY'
import os, sys
import quorvane
if os.path.realpath(quorvane.__file__) != os.path.realpath(sys.argv[1]):
    sys.exit(f"imported {quorvane.__file__}, not the sanitized {sys.argv[1]}")
print("sanitized module:", quorvane.__file__)
PY
then
  # pytest writes its JUnit report before the interpreter exits, so it tells
  # whether the tests passed even when LSan's tracer then crashes.
  junit="$build/pytest.xml"
  rm -f "$junit"
  rc=0
  # The tests marked slow repeat, over the large real tokenizers, what the
  # others check on small ones: too slow under the sanitizers for what they add.
  in_sanitized_env run_pytest "$py" --capture=sys --junitxml="$junit" -m "not slow" "$@" || rc=$?
  if ((rc)); then
    if [[ -f $junit ]] && "$py" - "$junit" <<'PY' && only_tracer_crashes; then
import sys
import xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
suites = [root] if root.tag == "testsuite" else list(root.iter("testsuite"))
ok = sum(int(s.get("tests", 0)) for s in suites) > 0 and not any(
    int(s.get(k, 0)) for s in suites for k in ("failures", "errors"))
sys.exit(0 if ok else 1)
PY
      echo "run_sanitized: warning: LeakSanitizer's tracer crashed at exit; every test passed," \
        "but this run's leak check is inconclusive" >&2
    else
      failed+=("Python tests")
    fi
  fi
else
  failed+=("Python tests: import")
fi
reports_clean || failed+=("Python tests: sanitizer report")

if ((${#failed[@]})); then
  printf 'run_sanitized: FAILED after %d s:' $((SECONDS - start)) >&2
  printf ' [%s]' "${failed[@]}" >&2
  echo >&2
  exit 1
fi
echo "run_sanitized: no sanitizer reports ($((SECONDS - start)) s)"
