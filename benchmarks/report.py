"""Runs the core benchmark binary and prints the deposition figures with the ratio to the floor.

    python benchmarks/report.py BUILD_DIR [--repetitions N]
"""

from __future__ import annotations

import argparse
import json
import pathlib
import subprocess


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", type=pathlib.Path)
    parser.add_argument("--repetitions", type=int, default=15)
    args = parser.parse_args()

    out = subprocess.run(
        [str(args.build / "benchmarks" / "core_bench"), "--benchmark_format=json",
         f"--benchmark_repetitions={args.repetitions}", "--benchmark_enable_random_interleaving=true"],
        check=True, capture_output=True, text=True).stdout
    runs = [b for b in json.loads(out)["benchmarks"] if b.get("run_type") == "iteration"]

    def fastest(name: str) -> dict:
        return min((b for b in runs if b["run_name"].split("/iterations:")[0] == name), key=lambda b: b["cpu_time"])

    deposition = fastest("W1/deposition")
    library = fastest("W1/deposition_library_engine")
    floor = fastest("W1/floor")
    below = fastest("stack_below_chunk")
    reclaim = fastest("W1/reclaim")
    print(f"W1: {deposition['steps/chunk']:.3f} walk steps per chunk, "
          f"steady-state allocations while stacking passes 2-100: {deposition['steady_allocs']:.0f}")
    print(f"{'variant':<36} {'chunks/s':>10} {'ns/chunk':>9} {'ns/step':>8} {'floor':>7} {'ratio':>6}")
    for label, run in (("deposition (library engine draws)", library), ("deposition", deposition)):
        print(f"{label:<36} {run['chunks/s'] / 1e6:9.2f}M {run['ns/chunk']:9.1f} {run['ns/step']:8.2f} "
              f"{floor['ns/step']:7.2f} {run['ns/step'] / floor['ns/step']:6.2f}")
    print(f"stack() of a portion below one chunk: {below['cpu_time']:.1f} ns; "
          f"reclaim W1 (increment 0.05): {reclaim['ns/row']:.0f} ns/row")


if __name__ == "__main__":
    main()
