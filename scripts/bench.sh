#!/usr/bin/env bash
# Builds the benchmarks and runs them: the core on workload W1, then the Python module.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/toolchain.sh"
pilora_setup
pilora_run bash -c '
  set -euo pipefail
  mkdir -p build
  bash scripts/steps/build.sh build/bench -DCMAKE_BUILD_TYPE=Release -DPILORA_BUILD_BENCHMARKS=ON >/dev/null
  echo "== core (best of ${PILORA_BENCH_REPETITIONS:-5})"
  python3.14 benchmarks/report.py build/bench --repetitions "${PILORA_BENCH_REPETITIONS:-5}"
  echo "== module (best of ${PILORA_BENCH_REPETITIONS:-5})"
  PYTHONPATH=build/bench python3.14 benchmarks/bench_module.py --repetitions "${PILORA_BENCH_REPETITIONS:-5}"
'
