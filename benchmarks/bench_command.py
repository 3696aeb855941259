"""Wall time of the `pilora` command's defaults, warm, beside the figures before the command ran its
simulations on every core and drew its figures with fixed margins.

    PYTHONPATH=build/py:src python3.14 benchmarks/bench_command.py [--repeats N] [--out DIR]

Each command runs as a user runs it (a new interpreter, ``python3.14 -m pilora ...``) on the
sample record, once to warm the file cache and then ``--repeats`` times (default 3); the table
shows the best and median wall time, the target and the report's size. Targets (on the 2-core
machine the figures below come from): ``pilora run`` at most 2.5 s, ``pilora compare`` at most
5 s, every report below 2 MB.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# command, target (s), before (s): the warm wall time measured before (serial simulations,
# constrained layout in every figure, 19 runs by layers for compare).
CASES = [
    (["run"], 2.5, 6.1),
    (["compare"], 5.0, 11.0),
]

REPORT_LIMIT = 2_000_000  # bytes


def _time(command: list[str], out: Path) -> float:
    started = time.perf_counter()
    subprocess.run([sys.executable, "-m", "pilora", *command, "--out", str(out)], check=True,
                   stdout=subprocess.DEVNULL, env=os.environ)
    return time.perf_counter() - started


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--out", type=Path, default=None, help="folder for the outputs (default: a temporary one)")
    args = parser.parse_args()
    folder = args.out or Path(tempfile.mkdtemp(prefix="pilora-bench-"))
    print(f"{'command':<16} {'best (s)':>9} {'median (s)':>11} {'target (s)':>11} {'before (s)':>11} "
          f"{'report (kB)':>12}  met")
    status = 0
    for command, target, before in CASES:
        out = folder / command[0]
        _time(command, out)  # warm
        times = [_time(command, out) for _ in range(args.repeats)]
        size = (out / "report.html").stat().st_size
        met = min(times) <= target and size < REPORT_LIMIT
        status |= not met
        print(f"{'pilora ' + ' '.join(command):<16} {min(times):>9.2f} {statistics.median(times):>11.2f} "
              f"{target:>11.1f} {before:>11.1f} {size / 1000:>12.0f}  {'yes' if met else 'NO'}")
    print(f"machine: {os.process_cpu_count()} CPUs usable; outputs in {folder}")
    return status


if __name__ == "__main__":
    raise SystemExit(main())
