#!/usr/bin/env bash
# Builds the libFuzzer targets with Clang (ASan + UBSan) and runs them: the core for
# PILORA_FUZZ_SECONDS (default 60), a bed's saved state for PILORA_FUZZ_STATE_SECONDS (default 20).
# Each target keeps its corpus in build/fuzz-corpus[-<target>] between runs; a finding is written
# to build/fuzz-findings and fails the script.
set -euo pipefail
mkdir -p build/fuzz-corpus build/fuzz-corpus-bed-state build/fuzz-findings
dir=build/fuzz
CXX=clang++ cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$(command -v python3.14)" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPILORA_BUILD_FUZZERS=ON >"$dir.configure.log" 2>&1 ||
  { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" --target fuzz_core fuzz_bed_state >/dev/null
status=0
run() {  # run TARGET SECONDS CORPUS [libFuzzer options...]
  local target=$1 seconds=$2 corpus=$3
  shift 3
  echo "== $target for ${seconds} s"
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 \
    "$dir/tests/fuzz/$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -rss_limit_mb=2048 -malloc_limit_mb=512 -print_final_stats=1 \
    -artifact_prefix=build/fuzz-findings/ "$corpus" "$@" >"build/$target.log" 2>&1 || status=$?
  grep -v '^#[0-9]*[[:space:]]*\(NEW\|REDUCE\|pulse\)\|^"\|^###### \|NEW_FUNC\|^INFO' "build/$target.log" || true
}
run fuzz_core "${PILORA_FUZZ_SECONDS:-60}" build/fuzz-corpus "$@"
run fuzz_bed_state "${PILORA_FUZZ_STATE_SECONDS:-20}" build/fuzz-corpus-bed-state "$@"
exit "$status"
