#!/usr/bin/env bash
# A long run of the conversation state machine, Ctrl-C at random points included (the suite runs
# it with a small, fixed budget).
# Usage: scripts/long-run.sh [EXAMPLES]   (default 500 examples; fresh randomness each run)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh
PY=$(ensure_dev_venv .venv)
bash scripts/dev-build >/dev/null
PARLEYKIT_LONG_RUN=${1:-500} PYTHONPATH=src "$PY" -m pytest -q -p no:cacheprovider tests/test_conversation_machine.py
