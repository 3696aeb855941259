"""Benchmarks of pilora.Bed on workload W1 (see benchmarks/workload.hpp), next to the core's.

Prints a table: deposition per chunk through Bed.stack, through the C++ Bed (bed_bench, also with
two sections) and through
the core (core_bench's W1/deposition), run in the same session in interleaved rounds; two threads
with a bed each against one thread, heights, reclaim per row, copying a stacked bed, a pickle
round trip and the time from Ctrl-C to KeyboardInterrupt. Every figure is the best of its
repetitions; the machine's load is printed before and after.

    PYTHONPATH=BUILD_DIR:src python3.14 benchmarks/bench_bed.py BUILD_DIR [--rounds N]

BUILD_DIR is a build with -DPILORA_BUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release.
"""

from __future__ import annotations

import argparse
import copy
import json
import os
import pathlib
import pickle
import signal
import subprocess
import threading
import time
from collections.abc import Callable

import numpy as np

from pilora import Bed

PASSES, POSITIONS, SEED = 100, 401, 12345
CHUNKS = PASSES * POSITIONS * 4


def w1_bed() -> Bed:
    return Bed(100.0, 20.0, chunks_per_volume_unit=8.0, reclaim_angle=45.0, eight_neighbour_probability=0.5, seed=SEED)


def w1_table() -> tuple[np.ndarray, ...]:
    """x, z, volume and the (n, 2) values of W1's portions, in stacking order."""
    position = np.concatenate([np.arange(POSITIONS) if p % 2 == 0 else np.arange(POSITIONS)[::-1]
                               for p in range(PASSES)])
    passes = np.repeat(np.arange(PASSES), POSITIONS)
    values = np.column_stack([50.0 + (position * 7 + passes * 3) % 11, 5.0 + ((position + passes) % 5) * 0.5])
    n = len(position)
    return 0.25 * position.astype(np.float64), np.full(n, 10.0), np.full(n, 0.5), values


TABLE = w1_table()


def stack_w1(bed: Bed) -> None:
    bed.stack(*TABLE, names=("grade", "moisture"))


def best(repetitions: int, setup: Callable[[], object], run: Callable[[object], object]) -> float:
    """Best wall time of run(setup()) over the repetitions, in seconds."""
    times = []
    for _ in range(repetitions):
        state = setup()
        started = time.perf_counter()
        run(state)
        times.append(time.perf_counter() - started)
    return min(times)


def core(build: pathlib.Path, name: str, repetitions: int, program: str = "core_bench") -> dict:
    """The fastest repetition of a benchmark of core_bench (or of another program of the build)."""
    out = subprocess.run([str(build / "benchmarks" / program), "--benchmark_format=json",
                          f"--benchmark_filter=^{name}/iterations", f"--benchmark_repetitions={repetitions}"],
                         check=True, capture_output=True, text=True).stdout
    runs = [b for b in json.loads(out)["benchmarks"] if b.get("run_type") == "iteration"]
    return min(runs, key=lambda b: b["real_time"])


def two_threads(repetitions: int) -> tuple[float, float]:
    """Seconds for two W1 runs on one thread, and for four runs on two threads with a bed each."""
    def runs(count: int) -> None:
        for _ in range(count):
            stack_w1(w1_bed())

    def parallel(_: object) -> None:
        workers = [threading.Thread(target=runs, args=(2,)) for _ in range(2)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    one = best(repetitions, lambda: None, lambda _: runs(2))
    two = best(repetitions, lambda: None, parallel)
    return one, two


def interrupt_latency(repetitions: int) -> float:
    """Seconds from SIGINT to KeyboardInterrupt in the main thread while a bed stacks."""
    latencies = []
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        for _ in range(repetitions):
            bed, sent = w1_bed(), []
            timer = threading.Timer(0.05, lambda: (sent.append(time.perf_counter()), os.kill(os.getpid(), signal.SIGINT)))
            timer.start()
            try:
                bed.stack(50.0, 10.0, 2e5)
            except KeyboardInterrupt:
                latencies.append(time.perf_counter() - sent[0])
            timer.join()
    finally:
        signal.signal(signal.SIGINT, previous)
    return min(latencies)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", type=pathlib.Path)
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds of 3 repetitions each")
    args = parser.parse_args()
    reps = 3
    load_before = os.getloadavg()

    core_runs, cpp_bed_runs, sections_runs, bed_runs = [], [], [], []
    for _ in range(args.rounds):  # interleaved, so that a burst of load elsewhere spoils all alike
        core_runs.append(core(args.build, "W1/deposition", reps)["real_time"] * 1e-3)  # ms -> s
        cpp_bed_runs.append(core(args.build, "W1/bed_deposition", reps, "bed_bench")["real_time"] * 1e-3)
        sections_runs.append(core(args.build, "W1/bed_deposition_sections", reps, "bed_bench")["real_time"] * 1e-3)
        bed_runs.append(best(reps, w1_bed, stack_w1))
    core_chunk, cpp_bed_chunk, sections_chunk, bed_chunk = (
        min(runs) / CHUNKS for runs in (core_runs, cpp_bed_runs, sections_runs, bed_runs))

    one, two = two_threads(args.rounds)
    speedup = (4 / two) / (2 / one)

    stacked = w1_bed()
    stack_w1(stacked)
    def repeat(times: int, call: Callable[[], object]) -> None:
        for _ in range(times):  # (each result dropped at once, as a caller would)
            call()

    reads = 1000
    heights = best(args.rounds, lambda: None, lambda _: repeat(reads, lambda: stacked.heights)) / reads

    rows = len(copy.copy(stacked).reclaim(0.05).x)
    reclaim = best(args.rounds * 3, lambda: copy.copy(stacked), lambda b: b.reclaim(0.05)) / rows
    core_reclaim = core(args.build, "W1/reclaim", args.rounds)["ns/row"] * 1e-9

    copies = 200
    copying = best(args.rounds, lambda: None, lambda _: repeat(copies, lambda: copy.copy(stacked))) / copies
    state = pickle.dumps(stacked)
    pickling = best(args.rounds, lambda: None, lambda _: pickle.loads(pickle.dumps(stacked)))
    latency = interrupt_latency(args.rounds)
    load_after = os.getloadavg()

    print(f"pilora.Bed on W1 (100 x 20 m, 8 chunks/m³, grid 200 x 40, {CHUNKS:,} chunks), "
          f"best of {args.rounds} rounds; {os.cpu_count()} CPUs, load average before "
          f"{load_before[0]:.2f} {load_before[1]:.2f}, after {load_after[0]:.2f} {load_after[1]:.2f}")
    print(f"{'figure':<44} {'measured':>12} {'reference':>12} {'ratio':>7} {'target':>10}")
    table = [
        ("deposition, ns/chunk (ref: core)", bed_chunk * 1e9, core_chunk * 1e9, bed_chunk / core_chunk, "<= 1.03"),
        ("  the C++ Bed alone, ns/chunk (ref: core)", cpp_bed_chunk * 1e9, core_chunk * 1e9,
         cpp_bed_chunk / core_chunk, ""),
        ("  with two sections, ns/chunk (ref: without)", sections_chunk * 1e9, cpp_bed_chunk * 1e9,
         sections_chunk / cpp_bed_chunk, "<= 1.05"),
        ("2 threads x 2 beds, s (ref: 1 thread x 2)", two, one, speedup, ">= 1.85x"),
        ("heights 200 x 40, us", heights * 1e6, None, None, "<= 10 us"),
        (f"reclaim 0.05 ({rows} rows), ns/row (ref: core)", reclaim * 1e9, core_reclaim * 1e9,
         reclaim / core_reclaim, "<= 50 ns"),
        ("copy.copy of the stacked bed, us", copying * 1e6, None, None, "<= 100 us"),
        (f"pickle round trip ({len(state):,} bytes), us", pickling * 1e6, None, None, ""),
        ("Ctrl-C to KeyboardInterrupt, ms", latency * 1e3, None, None, "~100 ms"),
    ]
    for name, measured, reference, ratio, target in table:
        print(f"{name:<44} {measured:12.2f} {'' if reference is None else f'{reference:12.2f}':>12} "
              f"{'' if ratio is None else f'{ratio:7.3f}':>7} {target:>10}")


if __name__ == "__main__":
    main()
