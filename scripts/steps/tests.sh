#!/usr/bin/env bash
# Every test: the C++ core tests and the Python module tests on a release build.
set -euo pipefail
mkdir -p build
bash scripts/steps/build.sh build/release -DCMAKE_BUILD_TYPE=Release -DPILORA_BUILD_TESTS=ON
echo "== C++ core tests"
ctest --test-dir build/release --output-on-failure --timeout 300 -j "$(nproc)"
echo "== Python module tests"
PYTHONPATH=build/release python3.14 -m pytest -p no:cacheprovider tests/python
