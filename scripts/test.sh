#!/usr/bin/env bash
# Sets up the project's virtual environment (CPython 3.12), builds and installs parleykit with its
# test dependencies, runs the whole test suite against the installed package, then runs it again
# against ASan + UBSan builds of the native modules (scripts/sanitize.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh
PY=$(ensure_venv .venv)
"$PY" -m pip install -q ".[test]"
# pytest exits 5 when it collected nothing: that is a failure here, never a pass.
"$PY" -m pytest -q -p no:cacheprovider "$@"
bash scripts/sanitize.sh "$@"
