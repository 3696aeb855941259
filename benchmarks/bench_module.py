"""Benchmarks of the Python module on workload W1 (see benchmarks/workload.hpp).

Prints one line per figure, best of several repetitions:

    python benchmarks/bench_module.py [--repetitions N]
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable

import numpy as np

from _pilora_lib import PiloraLib

PASSES = 100
POSITIONS = 401


def w1_bed(increment: float = 0.05) -> PiloraLib:
    return PiloraLib(100.0, 20.0, 45.0, 8.0, False, 0.5, 0.0, 0.0, False, increment)


def w1_table() -> np.ndarray:
    rows = []
    for p in range(PASSES):
        order = range(POSITIONS) if p % 2 == 0 else range(POSITIONS - 1, -1, -1)
        for j in order:
            rows.append((0.25 * j, 10.0, 0.5, 50.0 + (j * 7 + p * 3) % 11, 5.0 + ((j + p) % 5) * 0.5))
    return np.array(rows)


COLUMNS = ["x", "z", "volume", "grade", "moisture"]


def best(repetitions: int, setup: Callable[[], object], run: Callable[[object], object]) -> float:
    """Best wall time of `run(setup())` over the repetitions, in seconds."""
    times = []
    for _ in range(repetitions):
        state = setup()
        started = time.perf_counter()
        run(state)
        times.append(time.perf_counter() - started)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repetitions", type=int, default=15)
    reps = parser.parse_args().repetitions

    table = w1_table()
    t = best(reps, w1_bed, lambda bed: bed.stack_list(table, COLUMNS))
    print(f"stack_list W1 ({len(table)} rows, 160400 chunks): {t * 1e3:.1f} ms, "
          f"{len(table) / t / 1e6:.3f} M rows/s, {t / 160400 * 1e9:.1f} ns/chunk")

    tiny_rows = 1_000_000
    tiny = np.column_stack([np.full(tiny_rows, 50.0), np.full(tiny_rows, 10.0),
                            np.full(tiny_rows, 1e-12), np.ones(tiny_rows), np.ones(tiny_rows)])
    t = best(reps, w1_bed, lambda bed: bed.stack_list(tiny, COLUMNS))
    print(f"stack_list per-row overhead (rows below one chunk): {t / tiny_rows * 1e9:.1f} ns/row")

    calls = 200_000

    def stack_calls(bed: PiloraLib) -> None:
        stack = bed.stack
        values = [50.0, 5.0]
        for _ in range(calls):
            stack(0.0, 50.0, 10.0, 0.0, values)

    t = best(reps, w1_bed, stack_calls)
    print(f"stack() that deposits nothing: {t / calls * 1e9:.1f} ns/call")

    def stacked() -> PiloraLib:
        bed = w1_bed()
        bed.stack_list(table, COLUMNS)
        return bed

    reads = 200
    t = best(reps, stacked, lambda bed: [bed.get_heights() for _ in range(reads)])
    print(f"get_heights (200 x 40): {t / reads * 1e6:.1f} us/call")

    rows = len(stacked().reclaim()["x"])
    t = best(reps, stacked, lambda bed: bed.reclaim())
    print(f"reclaim W1, increment 0.05 ({rows} rows): {t * 1e3:.2f} ms, {t / rows * 1e9:.0f} ns/row")


if __name__ == "__main__":
    main()
