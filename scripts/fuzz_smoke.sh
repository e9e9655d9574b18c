#!/usr/bin/env bash
# A short fuzzing run: builds the targets of fuzz/ with clang (libFuzzer,
# AddressSanitizer, UndefinedBehaviorSanitizer) and runs each for a while
# over its seeds and the inputs kept under fuzz/regressions/, which are
# replayed first. Fails when a target crashes or a check fails; the input is
# then left in build-ci/fuzz/artifacts/ (keep it under fuzz/regressions/).
#
#   bash scripts/fuzz_smoke.sh [SECONDS_PER_TARGET]    (default 30)
#
# QUORVANE_FUZZ_CXX names the compiler. By default the first of clang++-19 and
# newer found; libstdc++ 12's <expected> needs clang 19 or newer. When none is
# installed and this runs as root, Debian's clang-19 is installed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

seconds=${1:-30}
build=build-ci/fuzz
targets=(read_document_fuzz editor_ops_fuzz read_gguf_fuzz split_text_fuzz)

find_cxx() {
  local c
  for c in ${QUORVANE_FUZZ_CXX:-} clang++-22 clang++-21 clang++-20 clang++-19; do
    if command -v "$c" >/dev/null 2>&1; then
      echo "$c"
      return 0
    fi
  done
  return 1
}

cxx=$(find_cxx) || {
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null 2>&1; then
    log "installing clang-19 and its runtime libraries"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq --no-install-recommends clang-19 libclang-rt-19-dev >/dev/null ||
      { apt-get update -qq && apt-get install -y -qq --no-install-recommends clang-19 libclang-rt-19-dev >/dev/null; }
  fi
  cxx=$(find_cxx) || {
    echo "fuzz_smoke: no clang++ 19 or newer (Debian 12: apt-get install clang-19 libclang-rt-19-dev)" >&2
    exit 1
  }
}

log "building the fuzz targets with $cxx"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S fuzz -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$build" -j "$NPROC"

mkdir -p "$build/artifacts"
failed=()
for target in "${targets[@]}"; do
  log "$target: ${seconds} s"
  work=$(mktemp -d)
  inputs=(fuzz/seeds/"$target")
  [[ -d fuzz/regressions/$target ]] && inputs+=(fuzz/regressions/"$target")
  dict=fuzz/tokenizer.dict  # unless the target has a dictionary of its own
  [[ -f fuzz/$target.dict ]] && dict=fuzz/$target.dict
  rc=0
  "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -dict="$dict" -artifact_prefix="$build/artifacts/$target-" -print_final_stats=1 \
    "$work" "${inputs[@]}" >"$build/$target.log" 2>&1 || rc=$?
  rm -rf "$work"
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)' "$build/$target.log" || true
  grep -E '^stat::number_of_executed_units' "$build/$target.log" || true
  if ((rc != 0)); then
    tail -n 40 "$build/$target.log" >&2
    failed+=("$target")
  fi
done

if ((${#failed[@]})); then
  echo "fuzz_smoke: FAILED: ${failed[*]} (inputs in $build/artifacts/)" >&2
  exit 1
fi
echo "fuzz_smoke: no crash in ${#targets[@]} targets"
