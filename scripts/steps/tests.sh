#!/usr/bin/env bash
# Every test: the C++ core tests on a release build; the C++ tests and the Python tests of both
# native faces under AddressSanitizer and UndefinedBehaviorSanitizer; valgrind memcheck over the
# C++ tests; short runs of the fuzzers (PILORA_FUZZ_SECONDS, default 60, and
# PILORA_FUZZ_STATE_SECONDS, default 20); then the Python tests of the module and the package on
# the release build, and last the report in headless Chromium.
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
echo "== Python tests: the module and the package"
PYTHONPATH=build/release:src python3.14 -m pytest -p no:cacheprovider tests/module tests/package
echo "== Browser tests: the report in headless Chromium"
PYTHONPATH=build/release:src python3.14 -m pytest -p no:cacheprovider tests/browser
