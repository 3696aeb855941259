#!/usr/bin/env bash
# Configures and builds the project into DIR: build.sh DIR [cmake options...]
set -euo pipefail
dir=$1
shift
cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$(command -v python3.14)" "$@" >"$dir.configure.log" 2>&1 ||
  { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" --parallel "$(nproc)"
