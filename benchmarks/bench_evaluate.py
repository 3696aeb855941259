"""Population evaluation: 64 W1-sized tasks, serial against threads, processes and Dask.

A W1-sized task: a 100 x 20 m linear bed at 8 chunks per m³ (0.5 m cells), a record of 2,000
intervals of 10 m³ (20,000 m³, about 160,000 chunks) with two drifting quality parameters,
stacked as a chevron of 100 passes and reclaimed in 0.5 m steps (see benchmarks/workload.hpp).

Measured, each the best of --repeat runs:
- ``simulate``: the bare loop of `pilora.simulate` calls (the simulation itself);
- ``run_task``: the bare loop of `pilora.run_task` calls (simulation and measures);
- ``serial``: `pilora.evaluate` with one worker and a CSV row log; its excess over ``run_task``
  is the per-task overhead of the population machinery;
- ``threads``, ``processes`` and ``dask`` with 1 and 2 workers; the pools and clusters are started
  and warmed up (one task each) before the clock starts, their start-up is shown apart.
Every backend's rows are checked to equal the serial rows.

    python benchmarks/bench_evaluate.py [--tasks 64] [--repeat 3] [--backends ...] [--json PATH]
"""

from __future__ import annotations

import argparse
import concurrent.futures as cf
import contextlib
import json
import multiprocessing
import os
import pathlib
import tempfile
import time
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
import pandas as pd

import pilora

RUN_SEED = 12345
BACKENDS = ("threads 1", "threads 2", "processes 1", "processes 2", "dask 1", "dask 2")


def w1_record(rows: int = 2000, seed: int = 1) -> pilora.Record:
    """2,000 intervals of 3 minutes and 10 m³ (1.6 t/m³), a drifting grade and moisture."""
    rng = np.random.default_rng(seed)
    drift = np.cumsum(rng.normal(0.0, 0.3, size=(rows, 2)), axis=0)
    frame = pd.DataFrame({"time": np.arange(rows) * 0.05, "volume": 10.0,
                          "grade": 50.0 + drift[:, 0] + rng.normal(0.0, 1.0, rows),
                          "moisture": 5.0 + 0.2 * drift[:, 1] + rng.normal(0.0, 0.2, rows)})
    return pilora.Record.from_frame(frame, volume="volume", bulk_density=1.6)


def w1_tasks(count: int) -> list[pilora.Task]:
    bed = pilora.BedSettings(100.0, 20.0, chunks_per_volume_unit=8.0)
    record, plan = w1_record(), pilora.Chevron(layers=100)
    return [pilora.Task(bed, record, plan, reclaim_increment=0.5) for _ in range(count)]


def best(repeat: int, run: Callable[[], object]) -> tuple[float, object]:
    """The shortest wall time of `repeat` runs, and the last run's result."""
    times, result = [], None
    for _ in range(repeat):
        started = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - started)
    return min(times), result


@contextlib.contextmanager
def backend(name: str, warm: list[pilora.Task]) -> Iterator[tuple[dict[str, Any], float]]:
    """Evaluate keywords for a backend, and its start-up seconds (pool or cluster, warmed up)."""
    kind, workers = name.split()[0], int(name.split()[1])
    started = time.perf_counter()
    if kind == "threads":
        with cf.ThreadPoolExecutor(workers) as pool:
            yield {"executor": pool}, 0.0
    elif kind == "processes":
        context = multiprocessing.get_context("forkserver")
        with cf.ProcessPoolExecutor(workers, mp_context=context) as pool:
            pilora.evaluate(warm * workers, seed=1, executor=pool)
            yield {"executor": pool}, time.perf_counter() - started
    else:
        from distributed import Client, LocalCluster

        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            client.wait_for_workers(workers)
            pilora.evaluate(warm * workers, seed=1, client=client)
            yield {"client": client}, time.perf_counter() - started


def main(argv: list[str] | None = None) -> dict[str, object]:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--tasks", type=int, default=64)
    p.add_argument("--repeat", type=int, default=3, help="runs per measurement (best taken)")
    p.add_argument("--backends", default=",".join(BACKENDS))
    p.add_argument("--json", type=pathlib.Path, default=None)
    args = p.parse_args(argv)

    tasks = w1_tasks(args.tasks)
    seeds = [pilora.task_seed(RUN_SEED, i) for i in range(len(tasks))]
    load = os.getloadavg()
    print(f"{len(tasks)} W1-sized tasks, best of {args.repeat}; {os.cpu_count()} CPUs, "
          f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")

    def simulations() -> None:
        for task, seed in zip(tasks, seeds):
            pilora.simulate(task.bed, task.record, task.plan, seed=seed, reclaim_increment=task.reclaim_increment)

    def runs() -> None:
        for task, seed in zip(tasks, seeds):
            pilora.run_task(task, seed)

    def serial() -> pd.DataFrame:
        with tempfile.TemporaryDirectory() as folder:
            return pilora.evaluate(tasks, seed=RUN_SEED, workers=1, log=pathlib.Path(folder) / "rows.csv")

    simulate_s, _ = best(args.repeat, simulations)
    run_task_s, _ = best(args.repeat, runs)
    serial_s, reference = best(args.repeat, serial)
    assert isinstance(reference, pd.DataFrame)
    rows: list[dict[str, object]] = [
        {"backend": "simulate loop", "workers": 1, "seconds": simulate_s, "startup": 0.0},
        {"backend": "run_task loop", "workers": 1, "seconds": run_task_s, "startup": 0.0},
        {"backend": "serial (evaluate, CSV log)", "workers": 1, "seconds": serial_s, "startup": 0.0},
    ]
    identical = True
    for name in [b.strip() for b in args.backends.split(",") if b.strip()]:
        with backend(name, tasks[:1]) as (keywords, startup):
            seconds, frame = best(args.repeat, lambda: pilora.evaluate(tasks, seed=RUN_SEED, **keywords))
        assert isinstance(frame, pd.DataFrame)
        same = frame.equals(reference)
        identical &= same
        rows.append({"backend": name.split()[0] + ("" if same else " (ROWS DIFFER)"),
                     "workers": int(name.split()[1]), "seconds": seconds, "startup": startup})

    print(f"{'backend':<28}{'workers':>8}{'seconds':>9}{'ms/task':>9}{'speed-up':>10}{'start-up s':>12}")
    for row in rows:
        seconds = float(row["seconds"])  # type: ignore[arg-type]
        print(f"{row['backend']:<28}{row['workers']:>8}{seconds:>9.2f}{1e3 * seconds / len(tasks):>9.1f}"
              f"{serial_s / seconds:>9.2f}x{float(row['startup']):>12.2f}")  # type: ignore[arg-type]
    overhead = serial_s / run_task_s - 1.0
    measures = run_task_s / simulate_s - 1.0
    print(f"per-task overhead of evaluate over run_task: {100 * overhead:+.1f} % "
          f"({1e3 * (serial_s - run_task_s) / len(tasks):.2f} ms); the measures add {100 * measures:.1f} % "
          f"to simulate")
    print(f"rows identical on every backend: {'yes' if identical else 'NO'}")
    load = os.getloadavg()
    print(f"load average after: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
    report = {"tasks": len(tasks), "repeat": args.repeat, "rows": rows, "overhead": overhead,
              "identical": identical, "load_after": load}
    if args.json is not None:
        args.json.write_text(json.dumps(report, indent=1))
    return report


if __name__ == "__main__":
    main()
