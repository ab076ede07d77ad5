#!/usr/bin/env bash
# Sets up the project's virtual environment (CPython 3.12), builds and installs parleykit, and runs
# the tour of the conversation client. Extra arguments go to `python -m parleykit tour`.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh
PY=$(ensure_venv .venv)
"$PY" -m pip install -q .
exec "$PY" -m parleykit tour "$@"
