#!/usr/bin/env bash
# Builds the abi3 wheel once and runs the Python test suite against that very
# wheel under every CPython 3.10+ found in pyenv (the tests marked slow, which
# repeat the small-tokenizer checks on the large real ones, run once, under
# the default interpreter, in run_tests.sh).
#
#   bash scripts/check_pythons.sh              # every 3.10+ under $PYENV_ROOT/versions
#   bash scripts/check_pythons.sh 3.10 3.13    # only versions starting with these
#   QUORVANE_PYTHONS="3.12" bash scripts/check_pythons.sh
#   QUORVANE_SKIP_PYTHONS="3.11.7" bash scripts/check_pythons.sh
#
# It also checks that the extension needs no Boost or utf8proc shared library.
# Each interpreter gets a venv under build-ci/venvs/, kept between runs; the
# test dependencies come from pip's cache after the first run (tokenizers
# ships one abi3 wheel, so a single download serves every version).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
export PIP_DISABLE_PIP_VERSION_CHECK=1

versions_dir="$PYENV_ROOT/versions"
read -r -a wanted <<<"${*:-${QUORVANE_PYTHONS:-}}"
read -r -a skipped <<<"${QUORVANE_SKIP_PYTHONS:-}"

# matches VERSION PREFIX...: VERSION is PREFIX or starts with "PREFIX.".
matches() {
  local v=$1 p
  shift
  for p in "$@"; do
    [[ $v == "$p" || $v == "$p".* ]] && return 0
  done
  return 1
}

pythons=()
if [[ -d $versions_dir ]]; then
  for dir in "$versions_dir"/*/; do
    v=$(basename "$dir")
    # Plain CPython releases only (no 2.x, no free-threaded or other builds).
    [[ $v =~ ^3\.([0-9]+)\.[0-9]+$ ]] || continue
    ((BASH_REMATCH[1] >= 10)) || continue
    [[ -x $dir/bin/python3 ]] || continue
    if ((${#wanted[@]})) && ! matches "$v" "${wanted[@]}"; then continue; fi
    if ((${#skipped[@]})) && matches "$v" "${skipped[@]}"; then continue; fi
    pythons+=("$v")
  done
fi
if ((${#pythons[@]} == 0)); then
  echo "check_pythons: no CPython 3.10+ matched under $versions_dir" >&2
  exit 1
fi
echo "check_pythons: CPython ${pythons[*]}"

log "building the wheel once"
ensure_venv "$VENV" python3
rm -f dist/quorvane-*.whl
pip_build "$VENV/bin/python" wheel . --no-deps -w dist -q
wheels=(dist/quorvane-*.whl)
if ((${#wheels[@]} != 1)) || [[ ! -f ${wheels[0]} ]]; then
  echo "check_pythons: expected exactly one wheel in dist/, found: ${wheels[*]}" >&2
  exit 1
fi
wheel="$ROOT/${wheels[0]}"
echo "wheel: ${wheels[0]}"
if [[ $(basename "$wheel") != quorvane-0.2.0-cp310-abi3-*.whl ]]; then
  echo "check_pythons: the wheel is not tagged cp310-abi3" >&2
  exit 1
fi

log "shared libraries of the extension"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
"$VENV/bin/python" -m zipfile -e "$wheel" "$unpacked"
so=$(find "$unpacked" -name 'quorvane*.so')
if [[ $(basename "$so") != quorvane.abi3.so ]]; then
  echo "check_pythons: expected quorvane.abi3.so in the wheel, found: $so" >&2
  exit 1
fi
ldd "$so"
if ldd "$so" | grep -E 'libboost|libutf8proc|not found'; then
  echo "check_pythons: the extension needs a shared library it should not" >&2
  exit 1
fi

failed=()
for v in "${pythons[@]}"; do
  log "CPython $v"
  env_dir="$ROOT/build-ci/venvs/$v"
  ensure_venv "$env_dir" "$versions_dir/$v/bin/python3"
  py="$env_dir/bin/python"
  # The wheel first, forced, so a rebuilt wheel of the same version replaces
  # the old one; then the test extras, which pip finds in its cache.
  if ! "$py" -m pip install -q --force-reinstall --no-deps "$wheel" ||
     ! "$py" -m pip install -q "$wheel[test]"; then
    failed+=("$v (install)")
    continue
  fi
  if ! "$py" -c 'import sys, quorvane; print(sys.version.split()[0], quorvane.__file__)' ||
     ! run_pytest "$py" -m "not slow"; then
    failed+=("$v")
  fi
done

echo
if ((${#failed[@]})); then
  echo "check_pythons: FAILED on CPython ${failed[*]}" >&2
  exit 1
fi
echo "check_pythons: passed on CPython ${pythons[*]}"
