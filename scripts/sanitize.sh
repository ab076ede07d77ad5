#!/usr/bin/env bash
# Builds every extension module with AddressSanitizer and UndefinedBehaviorSanitizer into build/asan
# and runs the whole test suite against a staged copy of the package holding those modules.
# Exits non-zero when a test fails or when any sanitizer reported anything, in this process or in
# any subprocess the tests start.
# Usage: scripts/sanitize.sh [pytest arguments]   (default: the whole suite, quietly)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
source scripts/env.sh
PY=$(ensure_dev_venv .venv)
BUILD=build/asan
STAGE=$ROOT/$BUILD/stage
REPORTS=$ROOT/$BUILD/reports

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPK_SANITIZE=ON -DPython_EXECUTABLE="$PY" \
  -DCMAKE_MAKE_PROGRAM="$(dirname "$PY")/ninja" >/dev/null
cmake --build "$BUILD" -j2

# The staged package: the Python sources of the work tree with the sanitized modules beside them.
rm -rf "$STAGE" "$REPORTS"
mkdir -p "$STAGE/parleykit" "$REPORTS"
find src/parleykit -maxdepth 1 -type f ! -name '*.so' -exec cp {} "$STAGE/parleykit/" \;
cp "$BUILD"/*.so "$STAGE/parleykit/"

# The interpreter is not instrumented, so the sanitizer runtimes the modules were linked against
# must be loaded first. Take them from the module itself, else ask the compiler.
runtime() {
  local lib=$1 path
  path=$(ldd "$BUILD"/modal.*.so | awk -v l="$lib" '$1 ~ "^"l"\\.so" {print $3; exit}')
  if [ -z "$path" ]; then path=$("${CXX:-c++}" -print-file-name="$lib.so"); fi
  [ -f "$path" ] || { echo "sanitize: $lib runtime not found" >&2; return 1; }
  echo "$path"
}
ASAN_LIB=$(runtime libasan)
UBSAN_LIB=$(runtime libubsan)

# ASan reports go to files (one per process) so that those of subprocesses are seen too. UBSan,
# running inside the ASan runtime, ignores log_path and writes to standard error; every report of
# either stops its process with exit code 86, which fails this run or the test that ran it.
export LD_PRELOAD="$ASAN_LIB:$UBSAN_LIB${LD_PRELOAD:+:$LD_PRELOAD}"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:exitcode=86:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=86"
# Every Python object straight from malloc, so ASan sees use after free and overruns of objects
# that the small-object allocator would otherwise recycle unseen.
export PYTHONMALLOC=malloc
export PYTHONPATH="$STAGE"

status=0
"$PY" -m pytest -q -p no:cacheprovider "${@:-tests}" || status=$?

if compgen -G "$REPORTS/*" >/dev/null; then
  echo "sanitize: sanitizer reports:" >&2
  for report in "$REPORTS"/*; do
    echo "==== $report" >&2
    cat "$report" >&2
  done
  exit 86
fi
if [ "$status" -eq 86 ]; then
  echo "sanitize: a sanitizer stopped the test run (its report is above)" >&2
elif [ "$status" -ne 0 ]; then
  echo "sanitize: the test run failed (exit $status)" >&2
fi
exit "$status"
