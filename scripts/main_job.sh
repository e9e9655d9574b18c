#!/usr/bin/env bash
# Sets everything up (system packages, .venv, `pip install .`) and runs the
# example job on the shipped sample tokenizer.
#
#   bash scripts/main_job.sh [OUTPUT]
#
# OUTPUT is where the unchanged copy is saved (default: a new temporary
# directory). A relative OUTPUT is taken from the directory you run this in.
set -euo pipefail
args=()
for a in "$@"; do
  # Resolve relative paths before common.sh moves to the project root.
  if [[ $a != -* && $a != /* ]]; then a="$PWD/$a"; fi
  args+=("$a")
done
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
export PIP_DISABLE_PIP_VERSION_CHECK=1

bash scripts/setup_system.sh >/dev/null
ensure_venv "$VENV" python3
echo "installing quorvane into .venv ..."
pip_build "$VENV/bin/python" install -q .
"$VENV/bin/python" examples/main_job.py "${args[@]}"
