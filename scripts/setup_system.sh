#!/usr/bin/env bash
# Installs the Debian packages the build needs, when they are missing.
# Fast when everything is present: it asks dpkg only and touches no network.
#
#   bash scripts/setup_system.sh
set -euo pipefail

# Boost is used header-only (Boost.JSON, unordered_flat_map); utf8proc is
# linked from its static library, and so is PCRE2 (the pre-tokenizers' regular
# expressions); GoogleTest builds the core tests; xz
# unpacks the real tokenizers used by tests and benchmarks.
packages=(libboost-json1.81-dev libutf8proc-dev libpcre2-dev libgtest-dev xz-utils)
# Tools that a fresh machine normally has; installed only when absent.
command -v g++ >/dev/null 2>&1 || packages+=(g++)
command -v make >/dev/null 2>&1 || packages+=(make)
command -v cmake >/dev/null 2>&1 || packages+=(cmake)
command -v ninja >/dev/null 2>&1 || packages+=(ninja-build)
# A python3 without venv or its C headers (a bare Debian one) needs these.
if ! python3 -c 'import ensurepip, os, sysconfig, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null; then
  packages+=(python3-venv python3-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "setup_system: all system packages present"
  exit 0
fi

echo "setup_system: installing ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  if command -v sudo >/dev/null 2>&1; then
    exec sudo -- "$0" "$@"
  fi
  echo "setup_system: must run as root to install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
