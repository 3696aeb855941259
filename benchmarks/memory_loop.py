"""Builds, stacks into, reclaims and drops beds in a loop and reports the process's memory.

    PYTHONPATH=build/release python3.14 benchmarks/memory_loop.py [objects]

Every iteration makes a new bed, stacks a portion and a small table into it, makes one refused
call (so the error path is exercised too), reads the heights, reclaims and drops the bed. The
resident set size is printed after a warm-up and then every tenth of the run; with nothing leaking
it stays flat.
"""

import sys
import time

import numpy as np

from _pilora_lib import PiloraLib


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def one_bed(i, table, names):
    bed = PiloraLib(4.0, 3.0, 40.0, 8.0, i % 2 == 1, 0.5, 0.0, 0.0, False, 0.25)
    bed.stack(0.0, 1.0, 1.0, 1.3, [2.0, 3.0])
    bed.stack_list(table, names)
    try:
        bed.stack(0.0, 1.0, 1.0, float("nan"), [2.0, 3.0])
    except ValueError:
        pass
    bed.get_heights()
    return len(bed.reclaim()["x"])


def main():
    objects = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    rng = np.random.default_rng(1)
    table = np.column_stack([rng.uniform(0, 4, 6), rng.uniform(0, 3, 6), rng.uniform(0, 1, 6),
                             rng.uniform(0, 9, 6), rng.uniform(0, 9, 6)])
    names = ["x", "z", "volume", "cu", "fe"]
    print(f"at start: RSS {rss_kib()} KiB")
    warm_up = min(1000, objects)
    for i in range(warm_up):
        one_bed(i, table, names)
    before = rss_kib()
    print(f"after {warm_up} warm-up beds: RSS {before} KiB")
    started = time.perf_counter()
    for i in range(objects):
        one_bed(i, table, names)
        if (i + 1) % (objects // 10 or 1) == 0:
            print(f"{i + 1:>8} beds: RSS {rss_kib()} KiB")
    after = rss_kib()
    elapsed = time.perf_counter() - started
    print(f"{objects} beds in {elapsed:.1f} s ({1e6 * elapsed / objects:.0f} us each); "
          f"RSS before {before} KiB, after {after} KiB, change {after - before:+d} KiB")


if __name__ == "__main__":
    main()
