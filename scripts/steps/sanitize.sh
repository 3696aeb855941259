#!/usr/bin/env bash
# The C++ tests and the Python tests under AddressSanitizer and UndefinedBehaviorSanitizer.
#
# Builds build/asan with GCC (-DPILORA_SANITIZE=ON: every finding aborts), runs the C++ tests
# with leak detection on, then the Python tests of the two native faces (the module, the package's
# Bed and the runs over it) in python3.14 with the sanitizer runtime preloaded. Leak detection is off for Python: the interpreter itself keeps memory until exit.
# Any report fails the script.
set -euo pipefail
mkdir -p build
dir=build/asan
CXX=g++ bash scripts/steps/build.sh "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPILORA_SANITIZE=ON -DPILORA_BUILD_TESTS=ON >/dev/null

common=abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1

echo "== C++ core tests (ASan + UBSan + LSan)"
ASAN_OPTIONS=$common:detect_leaks=1 \
  ctest --test-dir "$dir" --output-on-failure --timeout 600 -j "$(nproc)"

echo "== Python module tests (ASan + UBSan preloaded into python3.14)"
asan_runtime=$(g++ -print-file-name=libasan.so)
ubsan_runtime=$(g++ -print-file-name=libubsan.so)
LD_PRELOAD="$asan_runtime $ubsan_runtime" ASAN_OPTIONS=$common:detect_leaks=0 \
  PYTHONPATH=$dir:src PYTHONMALLOC=malloc \
  python3.14 -m pytest -p no:cacheprovider -q tests/module tests/package/test_bed.py tests/package/test_run.py "$@"
