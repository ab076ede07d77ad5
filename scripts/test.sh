#!/usr/bin/env bash
# Sets up the project's virtual environment (CPython 3.12), builds and installs parleykit with its
# test dependencies, and runs the whole test suite against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh
PY=$(ensure_venv .venv)
"$PY" -m pip install -q ".[test]"
# pytest exits 5 when it collected nothing: that is a failure here, never a pass.
exec "$PY" -m pytest -q -p no:cacheprovider "$@"
