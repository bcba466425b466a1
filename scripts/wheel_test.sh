#!/usr/bin/env bash
# Tests the built wheels as a user gets them:
#   wheel_test.sh DIST PYTHON...
# For each interpreter: a fresh virtual environment, the wheel of its version
# from DIST and the test tools installed into it, then the Python test suite
# run against the installed package with no C or C++ compiler on PATH.
set -euo pipefail
cd "$(dirname "$0")/.."
dist="$1"; shift
root="$PWD/build/wheel-test"
mkdir -p "$root"

# PATH without compilers: every program of the usual directories, less the
# C and C++ compilers (cc, gcc-12, x86_64-linux-gnu-g++, clang++-14, ...).
bin="$root/bin"
rm -rf "$bin"; mkdir -p "$bin"
for dir in /usr/local/sbin /usr/local/bin /usr/sbin /usr/bin /sbin /bin; do
  [ -d "$dir" ] || continue
  for tool in "$dir"/*; do
    name="${tool##*/}"
    [[ "$name" =~ (^|-)(cc|c\+\+|gcc|g\+\+|cpp|clang|clang\+\+|c89|c99|tcc|zig)(-[0-9.]+)?$ ]] && continue
    [ -e "$bin/$name" ] || ln -s "$tool" "$bin/$name"
  done
done

for py in "$@"; do
  ver="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  tag="cp${ver/./}"
  wheel="$(ls "$dist"/veskline-*-"$tag"-"$tag"-*manylinux*.whl)"
  venv="$root/venv-$ver"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/pip" install --quiet --upgrade pip
  "$venv/bin/pip" install --quiet pytest pytest-timeout hypothesis numpy
  "$venv/bin/pip" install --quiet --no-deps "$wheel"
  site="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')"
  echo "== $(basename "$wheel") on CPython $ver, no compiler on PATH"
  # The installed package, never the source tree; and truly no compiler.
  (cd "$root" && env -i HOME="$HOME" PATH="$venv/bin:$bin" "$venv/bin/python" -c '
import shutil, sys, veskline, veskline_core
missing = [c for c in ("cc", "c++", "gcc", "g++", "clang") if shutil.which(c)]
assert not missing, f"compilers on PATH: {missing}"
assert shutil.which("veskline"), "the veskline script is not installed"
print("  importing", veskline_core.__file__, "and", veskline.__file__)
')
  env -i HOME="$HOME" LANG=C.UTF-8 PATH="$venv/bin:$bin" VESKLINE_EXPECT_MODULE_DIR="$site" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
done
