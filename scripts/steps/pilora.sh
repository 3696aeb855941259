#!/usr/bin/env bash
# Builds the native module where needed, then runs `pilora ARGS` (MODE pilora) or
# `python3.14 ARGS` (MODE python) in WORKDIR with the package importable:
#   pilora.sh WORKDIR MODE [ARGS...]
set -euo pipefail
work=$1 mode=$2
shift 2
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
dir=$src/build/release
mkdir -p "$src/build"
(
  flock 9
  cd "$src"
  if [ ! -f "$dir/build.ninja" ]; then
    printf '[pilora] building the native module into %s (once)\n' "$dir" >&2
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$(command -v python3.14)" \
      >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log" >&2; exit 1; }
  fi
  cmake --build "$dir" --target _native >"$dir.native.log" 2>&1 || { cat "$dir.native.log" >&2; exit 1; }
) 9>"$src/build/release.lock"
cd "$work"
export PYTHONPATH=$dir:$src/src${PYTHONPATH:+:$PYTHONPATH}
if [ "$mode" = python ]; then exec python3.14 "$@"; fi
exec python3.14 -m pilora "$@"
