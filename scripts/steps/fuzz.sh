#!/usr/bin/env bash
# Builds the libFuzzer target of the core with Clang (ASan + UBSan) and runs it for
# PILORA_FUZZ_SECONDS (default 60). The corpus is kept in build/fuzz-corpus between runs; a
# finding is written to build/fuzz-findings and fails the script.
set -euo pipefail
mkdir -p build/fuzz-corpus build/fuzz-findings
dir=build/fuzz
CXX=clang++ cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$(command -v python3.14)" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPILORA_BUILD_FUZZERS=ON >"$dir.configure.log" 2>&1 ||
  { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" --target fuzz_core >/dev/null
seconds=${PILORA_FUZZ_SECONDS:-60}
echo "== fuzz_core for ${seconds} s"
status=0
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 \
  "$dir/tests/fuzz/fuzz_core" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -rss_limit_mb=2048 -malloc_limit_mb=512 -print_final_stats=1 \
  -artifact_prefix=build/fuzz-findings/ build/fuzz-corpus "$@" >build/fuzz.log 2>&1 || status=$?
grep -v '^#[0-9]*[[:space:]]*\(NEW\|REDUCE\|pulse\)\|^"\|^###### \|NEW_FUNC\|^INFO' build/fuzz.log || true
exit "$status"
