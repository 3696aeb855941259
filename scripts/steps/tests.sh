#!/usr/bin/env bash
# Every test: the C++ core tests on a release build; the C++ and Python tests under
# AddressSanitizer and UndefinedBehaviorSanitizer; valgrind memcheck over the C++ tests; a short
# run of the core's fuzzer (PILORA_FUZZ_SECONDS, default 60); last, the Python module tests on
# the release build.
set -euo pipefail
mkdir -p build
bash scripts/steps/build.sh build/release -DCMAKE_BUILD_TYPE=Release -DPILORA_BUILD_TESTS=ON
echo "== C++ core tests"
ctest --test-dir build/release --output-on-failure --timeout 300 -j "$(nproc)"
echo "== Sanitizers"
bash scripts/steps/sanitize.sh
bash scripts/steps/valgrind.sh
echo "== Fuzzing"
bash scripts/steps/fuzz.sh
echo "== Python module tests"
PYTHONPATH=build/release:src python3.14 -m pytest -p no:cacheprovider tests/module tests/package
