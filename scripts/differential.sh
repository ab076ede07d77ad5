#!/usr/bin/env bash
# A long differential run: native generators and coroutines against their Python twins under
# random (not derandomised) Hypothesis state machines. The suite runs the same machines briefly.
# Usage: scripts/differential.sh [examples per machine, default 5000] [steps per example, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh
PY=$(ensure_dev_venv .venv)
bash scripts/dev-build
PK_DIFFERENTIAL_EXAMPLES=${1:-5000} PK_DIFFERENTIAL_STEPS=${2:-30} PYTHONPATH=src \
  "$PY" -m pytest -q -p no:cacheprovider tests/test_differential.py
