#!/usr/bin/env bash
# Builds the module and runs the demonstration.
set -euo pipefail
mkdir -p build
bash scripts/steps/build.sh build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
PYTHONPATH=build/release python3.14 examples/demo.py "$@"
