"""Population evaluation: 64 W1-sized tasks, serial against threads, processes and Dask.

A W1-sized task: a 100 x 20 m linear bed at 8 chunks per m³ (0.5 m cells), a record of 2,000
intervals of 10 m³ (20,000 m³, about 160,000 chunks) with two drifting quality parameters,
stacked as a chevron of 100 passes and reclaimed in 0.5 m steps (see benchmarks/workload.hpp).

Measured in --repeat rounds of one run each (the best run of each kept):
- ``simulate``: the bare loop of `pilora.simulate` calls (the simulation itself);
- ``run_task``: the bare loop of `pilora.run_task` calls (simulation and measures);
- ``serial``: `pilora.evaluate` with one worker and a CSV row log;
- ``serial as completed``: the same through ``evaluate(..., as_completed=True)``, each row taken
  as its task finishes;
- ``machinery alone``: the same with each run replaced by a copy of one run's measures: the
  per-task overhead of the population machinery (seeds, fingerprints, rows, the log);
- ``threads``, ``processes`` and ``dask`` with 1 and 2 workers; the pools and clusters are started
  and warmed up (one task each) before the clock starts, their start-up is shown apart.
  ``dask`` workers are started without the MALLOC_TRIM_THRESHOLD_ that Dask's nanny sets by
  default and without Dask's statistical profiler; ``dask-default`` keeps both, and shows what
  they cost (see `pilora.evaluate`). Each cluster runs its rounds alone, with a serial run in
  each round beside it: its speed-up is taken over those serial runs, so that a spell of outside
  load weighs on both sides.
Every backend's rows are checked to equal the serial rows.

    python benchmarks/bench_evaluate.py [--tasks 64] [--repeat 3] [--backends ...] [--json PATH]
"""

from __future__ import annotations

import argparse
import concurrent.futures as cf
import contextlib
import functools
import json
import math
import multiprocessing
import os
import pathlib
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

import pilora

RUN_SEED = 12345
class Row(NamedTuple):
    backend: str
    seconds: float  # the best round's wall time
    busy: float  # this process's CPU seconds over the wall seconds
    startup: float  # seconds to start and warm up the pool or cluster


BACKENDS = ("threads 1", "threads 2", "processes 1", "processes 2", "dask 1", "dask 2", "dask-default 2")


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
    # Reversals at the bed's ends, as in workload.hpp (the record is too long for open ends).
    record, plan = w1_record(), pilora.Chevron(layers=100, start=0.0, end=100.0)
    return [pilora.Task(bed, record, plan, reclaim_increment=0.5) for _ in range(count)]


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
        import dask
        from distributed import Client, LocalCluster

        environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
        profile = dask.config.get("distributed.worker.profile.enabled")
        if kind == "dask":  # workers tuned as `pilora.evaluate` advises (module docstring)
            environ.pop("MALLOC_TRIM_THRESHOLD_", None)
            profile = False
        with dask.config.set({"distributed.nanny.pre-spawn-environ": environ,
                              "distributed.worker.profile.enabled": profile}), \
                LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                             dashboard_address=":0") as cluster, Client(cluster) as client:
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
    print(f"{len(tasks)} W1-sized tasks, best of {args.repeat} rounds; {os.cpu_count()} CPUs, "
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

    def streamed() -> pd.DataFrame:
        """serial() with the rows taken as they come (evaluate(..., as_completed=True))."""
        with tempfile.TemporaryDirectory() as folder:
            rows = pilora.evaluate(tasks, seed=RUN_SEED, workers=1, log=pathlib.Path(folder) / "rows.csv",
                                   as_completed=True)
            with rows:
                for _ in rows:
                    pass
            return rows.frame()

    one_run = pilora.run_task(tasks[0], seeds[0])

    def machinery() -> None:
        """serial() with every run replaced by a copy of one run's measures: the machinery alone."""
        module: Any = sys.modules["pilora.evaluate"]
        real = module.run_task
        module.run_task = lambda task, seed: dict(one_run)
        try:
            serial()
        finally:
            module.run_task = real

    names = [b.strip() for b in args.backends.split(",") if b.strip()]
    seconds: dict[str, float] = {}
    busy: dict[str, float] = {}
    startup: dict[str, float] = {}
    frames: dict[str, object] = {}

    def rounds(measured: dict[str, Callable[[], object]]) -> None:
        """Run the measurements in rounds, one of each per round, so that a spell of load from
        elsewhere spreads over all of them; keep each one's best."""
        for _ in range(args.repeat):
            for name, run in measured.items():
                wall, cpu = time.perf_counter(), time.process_time()
                frames[name] = run()
                wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
                if wall < seconds.get(name, math.inf):
                    seconds[name], busy[name] = wall, cpu / wall

    # The loops, serial, threads and process pools together (idle pool processes cost nothing);
    # then each Dask cluster alone, as its scheduler and nannies run in this process.
    measured: dict[str, Callable[[], object]] = {"simulate loop": simulations, "run_task loop": runs,
                                                 "serial (evaluate, CSV log)": serial,
                                                 "serial as completed": streamed,
                                                 "machinery alone (no runs)": machinery}
    with contextlib.ExitStack() as stack:
        for name in names:
            if not name.startswith("dask"):
                keywords, startup[name] = stack.enter_context(backend(name, tasks[:1]))
                measured[name] = functools.partial(pilora.evaluate, tasks, seed=RUN_SEED, **keywords)
        rounds(measured)
    paired: dict[str, float] = {}  # each cluster's rows against the serial runs of its own rounds
    for name in names:
        if name.startswith("dask"):
            beside = f"serial beside {name}"
            with backend(name, tasks[:1]) as (keywords, startup[name]):
                rounds({name: functools.partial(pilora.evaluate, tasks, seed=RUN_SEED, **keywords),
                        beside: serial})
            paired[name] = seconds.pop(beside)
            busy.pop(beside)
    reference = frames["serial (evaluate, CSV log)"]
    assert isinstance(reference, pd.DataFrame)
    identical = all(reference.equals(frames[name]) for name in [*names, "serial as completed"])
    serial_s, run_task_s, simulate_s = (seconds[k] for k in ("serial (evaluate, CSV log)", "run_task loop",
                                                             "simulate loop"))
    rows = [Row(name, seconds[name], busy[name], startup.get(name, 0.0)) for name in seconds]

    print(f"{'backend':<28}{'seconds':>9}{'ms/task':>9}{'speed-up':>10}{'busy':>7}{'start-up s':>12}")
    for row in rows:
        print(f"{row.backend:<28}{row.seconds:>9.2f}{1e3 * row.seconds / len(tasks):>9.1f}"
              f"{paired.get(row.backend, serial_s) / row.seconds:>9.2f}x{row.busy:>7.2f}{row.startup:>12.2f}")
    print("busy: CPU seconds of this process over wall seconds (worker processes not counted)")
    if paired:
        print("dask rows: speed-up over the serial runs of their own rounds (best "
              + ", ".join(f"{paired[name]:.2f} s beside {name}" for name in paired) + ")")
    overhead = seconds["machinery alone (no runs)"] / run_task_s
    measures = run_task_s / simulate_s - 1.0
    print(f"per-task overhead of evaluate (machinery alone over the run_task loop): {100 * overhead:.2f} % "
          f"({1e6 * seconds['machinery alone (no runs)'] / len(tasks):.0f} us a task; serial evaluate over "
          f"the run_task loop: {100 * (serial_s / run_task_s - 1):+.1f} %); the measures add "
          f"{100 * measures:.1f} % to simulate")
    print(f"rows identical on every backend: {'yes' if identical else 'NO'}")
    load = os.getloadavg()
    print(f"load average after: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
    report: dict[str, object] = {"tasks": len(tasks), "repeat": args.repeat,
                                 "rows": [row._asdict() for row in rows], "overhead": overhead,
                                 "serial_beside": paired,
                                 "identical": identical, "load_after": load}
    if args.json is not None:
        args.json.write_text(json.dumps(report, indent=1))
    return report


if __name__ == "__main__":
    main()
