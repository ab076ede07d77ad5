#!/usr/bin/env bash
# Sets up the project's virtual environment, installs parleykit with the benchmark peers (the
# OpenAI SDK), and runs every benchmark; arguments go to bench/run.py (e.g. --quick).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh
PY=$(ensure_venv .venv)
# Built in place with the build backend in the venv: an unchanged tree rebuilds in seconds.
"$PY" -m pip install -q 'scikit-build-core>=0.10' ninja
"$PY" -m pip install -q --no-build-isolation ".[bench]"
exec "$PY" bench/run.py "$@"
