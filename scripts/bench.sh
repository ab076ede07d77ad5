#!/usr/bin/env bash
# Sets up the project's virtual environment, installs parleykit with the benchmark peers (the
# OpenAI SDK), and runs every benchmark; arguments go to bench/run.py (e.g. --quick).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh
PY=$(ensure_venv .venv)
"$PY" -m pip install -q ".[bench]"
exec "$PY" bench/run.py "$@"
