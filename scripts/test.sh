#!/usr/bin/env bash
# The whole test suite in labelled passes, then one line with the verdict for all of them:
#   3.12 lowest deps parleykit installed into .venv-lowest (CPython 3.12) with the lowest release of
#                    fastmcp, mcp and pydantic that pyproject.toml allows, the whole suite
#   3.12 ASan+UBSan  the suite against sanitizer builds of the native modules (scripts/sanitize.sh);
#                    on 3.12 only: the native code is the same for both versions but for the few
#                    calls of native/pk/compat.hpp, and a second sanitized pass would double the time
#   3.13 newest deps parleykit installed into .venv-3.13 (CPython 3.13) with the newest allowed
#                    releases of fastmcp, mcp and pydantic, the whole suite
#   wheels           manylinux wheels for both versions (scripts/wheels.sh), each installed into a
#                    fresh venv and toured (tests/test_wheels.py)
# Every pass runs even when an earlier one failed; the exit status is non-zero when any failed.
# Extra arguments go to pytest in the three suite passes. PK_TEST_PASSES picks passes by key
# (lowest, asan, newest, wheels; all of them by default): PK_TEST_PASSES="lowest newest" bash scripts/test.sh
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh

passed=() failed=()
selected=" ${PK_TEST_PASSES:-lowest asan newest wheels} "
run_pass() {
  local key=$1 label=$2 start status
  shift 2
  [[ $selected == *" $key "* ]] || return 0
  echo
  echo "==== [$label] $(date -u +%H:%M:%S)"
  start=$SECONDS
  "$@"
  status=$?
  echo "==== [$label] $([ $status -eq 0 ] && echo passed || echo "FAILED (exit $status)") in $((SECONDS - start)) s"
  if [ $status -eq 0 ]; then passed+=("$label"); else failed+=("$label"); fi
}

# suite VERSION DIR lowest|newest: installs the work tree into the venv DIR of VERSION with the test
# dependencies and the lowest or newest allowed fastmcp, mcp and pydantic, then runs the suite.
# pytest exits 5 when it collected nothing: that is a failure here, never a pass.
suite() {
  local version=$1 dir=$2 end=$3 py
  shift 3
  py=$(ensure_venv "$dir" "$version") || return 1
  # One resolution of the work tree together with the chosen end of each range.
  if [ "$end" = lowest ]; then
    "$py" -m pip install -q ".[test]" "${LOWEST_DEPENDENCIES[@]}" || return 1
  else
    "$py" -m pip install -q --upgrade ".[test]" "${DEPENDENCY_RANGES[@]}" || return 1
  fi
  echo "dependencies: $(dependency_versions "$py")"
  "$py" -m pytest -q -p no:cacheprovider "$@"
}

wheels() {
  local house=build/wheelhouse
  rm -rf "$house"
  bash scripts/wheels.sh "$house" || return 1
  PARLEYKIT_WHEELHOUSE=$house "$(ensure_venv .venv)" -m pytest -q -p no:cacheprovider tests/test_wheels.py
}

total=$SECONDS
run_pass lowest "3.12 lowest deps" suite 3.12 .venv-lowest lowest "$@"
run_pass asan "3.12 ASan+UBSan" bash scripts/sanitize.sh "$@"
run_pass newest "3.13 newest deps" suite 3.13 "$(venv_dir 3.13)" newest "$@"
run_pass wheels "wheels" wheels

labels() { [ $# -gt 0 ] && printf '[%s] ' "$@" | sed 's/ $//'; }
echo
if [ ${#failed[@]} -eq 0 ] && [ ${#passed[@]} -gt 0 ]; then
  echo "test.sh: PASSED all ${#passed[@]} passes $(labels "${passed[@]}") in $((SECONDS - total)) s"
  exit 0
fi
echo "test.sh: FAILED $(labels "${failed[@]}"); passed $(labels "${passed[@]}" || echo none) in $((SECONDS - total)) s"
exit 1
