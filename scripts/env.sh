# Sourced by the project's scripts: finds CPython 3.12 or 3.13 and prepares the project's virtual
# environments (.venv for 3.12, .venv-3.13 for 3.13).

# find_python [VERSION]: prints the interpreter of VERSION (3.12 by default, or 3.13): $PYTHON312 or
# $PYTHON313 if set ($PYTHON too for 3.12), else pythonVERSION if it runs, else the one under pyenv.
find_python() {
  local version=${1:-3.12} var root cand
  var=PYTHON${version/./}
  if [ -n "${!var:-}" ]; then echo "${!var}"; return; fi
  if [ "$version" = 3.12 ] && [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
  if "python$version" -c 'import sys' >/dev/null 2>&1; then command -v "python$version"; return; fi
  root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  for cand in "$root"/versions/"$version"*/bin/python"$version"; do
    [ -x "$cand" ] && { echo "$cand"; return; }
  done
  echo "CPython $version not found: set $var to its path" >&2
  return 1
}

# venv_dir VERSION: the project's virtual environment for that version.
venv_dir() {
  if [ "${1:-3.12}" = 3.12 ]; then echo .venv; else echo ".venv-$1"; fi
}

# ensure_venv DIR [VERSION]: creates DIR with CPython VERSION (3.12 by default) when it is missing;
# prints the venv's python.
ensure_venv() {
  local dir=$1 version=${2:-3.12} py
  if [ ! -x "$dir/bin/python" ]; then
    py=$(find_python "$version") || return 1
    "$py" -m venv "$dir" || return 1
    "$dir/bin/python" -m pip install -q --upgrade pip >/dev/null || return 1
  fi
  echo "$(cd "$dir" && pwd)/bin/python"
}

# The runtime dependencies' allowed ranges (as pyproject.toml states them), and the lowest release
# each allows: the test run proves both ends.
DEPENDENCY_RANGES=('fastmcp>=3.4,<5' 'mcp>=1.24,<3' 'pydantic>=2.11.7,<2.15')
LOWEST_DEPENDENCIES=('fastmcp==3.4.0' 'mcp==1.24.0' 'pydantic==2.11.7')

# dependency_versions PYTHON: one line naming the installed fastmcp, mcp and pydantic.
dependency_versions() {
  "$1" -c 'import importlib.metadata as m; print(", ".join(f"{d} {m.version(d)}" for d in ("fastmcp", "mcp", "pydantic")))'
}

# ensure_dev_venv DIR [VERSION]: ensure_venv, plus the packages the build and the tests need; prints
# the python.
ensure_dev_venv() {
  local py
  py=$(ensure_venv "$1" "${2:-3.12}") || return 1
  if ! "$py" -c 'import fastmcp, pydantic, requests, httpx, pytest, Cython, mypy, ninja, openai, hypothesis, prompt_toolkit, docstring_parser' >/dev/null 2>&1; then
    "$py" -m pip install -q "${DEPENDENCY_RANGES[@]}" requests httpx prompt_toolkit docstring_parser pytest cython setuptools ninja mypy types-requests openai hypothesis >&2 \
      || return 1
  fi
  echo "$py"
}
