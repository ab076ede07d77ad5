# Sourced by the project's scripts: finds CPython 3.12 and prepares the project's virtual environment.
find_python() {
  if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
  if python3.12 -c 'import sys' >/dev/null 2>&1; then command -v python3.12; return; fi
  local root cand
  root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  for cand in "$root"/versions/3.12*/bin/python3.12; do
    [ -x "$cand" ] && { echo "$cand"; return; }
  done
  echo "CPython 3.12 not found: set PYTHON to its path" >&2
  return 1
}

# ensure_venv DIR: creates DIR with CPython 3.12 when it is missing; prints the venv's python.
ensure_venv() {
  local dir=$1 py
  if [ ! -x "$dir/bin/python" ]; then
    py=$(find_python) || return 1
    "$py" -m venv "$dir" || return 1
    "$dir/bin/python" -m pip install -q --upgrade pip >/dev/null || return 1
  fi
  echo "$(cd "$dir" && pwd)/bin/python"
}

# ensure_dev_venv DIR: ensure_venv, plus the packages the build and the tests need; prints the python.
ensure_dev_venv() {
  local py
  py=$(ensure_venv "$1") || return 1
  if ! "$py" -c 'import fastmcp, pydantic, requests, pytest, hypothesis, openai, Cython, mypy, ninja' >/dev/null 2>&1; then
    "$py" -m pip install -q 'fastmcp==3.4.7' 'mcp>=1.24,<2' 'pydantic>=2.11.7,<2.14' requests pytest hypothesis openai cython setuptools ninja mypy types-requests >&2 \
      || return 1
  fi
  echo "$py"
}
