#!/usr/bin/env bash
# Builds the benchmarks and runs them: the core on workload W1 (with GCC, and with Clang where
# it is installed), then the Python module, the package's Bed and population evaluation.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/toolchain.sh"
pilora_setup
pilora_run bash -c '
  set -euo pipefail
  mkdir -p build
  reps=${PILORA_BENCH_REPETITIONS:-15}
  compilers="g++"
  command -v clang++ >/dev/null && compilers="g++ clang++"
  for cxx in $compilers; do
    CXX=$cxx bash scripts/steps/build.sh "build/bench-$cxx" -DCMAKE_BUILD_TYPE=Release -DPILORA_BUILD_BENCHMARKS=ON >/dev/null
    echo "== core, $cxx $($cxx -dumpversion) (best of $reps)"
    python3.14 benchmarks/report.py "build/bench-$cxx" --repetitions "$reps"
  done
  echo "== module, g++ (best of $reps)"
  PYTHONPATH=build/bench-g++ python3.14 benchmarks/bench_module.py --repetitions "$reps"
  echo "== pilora.Bed, g++ (interleaved with the core)"
  PYTHONPATH=build/bench-g++:src python3.14 benchmarks/bench_bed.py build/bench-g++ --rounds 5
  echo "== pilora.evaluate, g++ (64 W1-sized tasks on every backend)"
  PYTHONPATH=build/bench-g++:src python3.14 benchmarks/bench_evaluate.py --repeat 3
'
