#!/usr/bin/env bash
# Prints the path of a CPython interpreter with the GIL.
#   find_python.sh           the oldest one at 3.12 or later
#   find_python.sh 3.13      exactly that minor version (exit 1 if none)
# Looks under pyenv's versions first (its shims fail for versions that are not
# selected), then on PATH.
set -u
want="${1:-}"

candidates() {
  local root
  root="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"
  if [ -d "$root/versions" ]; then
    ls -d "$root"/versions/3.* 2>/dev/null | sort -V | while read -r d; do
      [ -x "$d/bin/python3" ] && echo "$d/bin/python3"
    done
  fi
  for v in 3.12 3.13 3.14 3.15; do
    command -v "python$v" 2>/dev/null
  done
  command -v python3 2>/dev/null
}

for py in $(candidates); do
  info="$("$py" -c 'import sys, sysconfig; print("%d.%d" % sys.version_info[:2], sys.implementation.name, int(bool(sysconfig.get_config_var("Py_GIL_DISABLED"))))' 2>/dev/null)" || continue
  set -- $info
  ver="$1"; impl="$2"; nogil="$3"
  [ "$impl" = cpython ] && [ "$nogil" = 0 ] || continue
  if [ -n "$want" ]; then
    [ "$ver" = "$want" ] && { echo "$py"; exit 0; }
  else
    major="${ver%%.*}"; minor="${ver#*.}"
    if [ "$major" -eq 3 ] && [ "$minor" -ge 12 ]; then echo "$py"; exit 0; fi
  fi
done
exit 1
