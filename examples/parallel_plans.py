"""Many stacking plans at once: evaluate chevron plans in parallel, one bed per plan.

A PiloraLib object cannot be pickled, and every call holds the interpreter lock, so threads do not
help. Plans travel instead: each plan is plain data, sent to a worker process, which builds its
own bed, stacks, reclaims and sends back a few numbers. Two engines do the distributing:

- concurrent.futures.ProcessPoolExecutor, on one machine;
- Dask distributed, here on a LocalCluster of worker processes; pointed at a scheduler address
  (--scheduler tcp://host:8786) the same code runs the plans on a cluster.

Every engine is timed against a serial run of the same plans.

    python examples/parallel_plans.py [--plans N] [--workers N] [--engines serial,process,dask]
                                      [--scheduler ADDRESS] [--json PATH] [--quick]
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import time
from collections.abc import Callable, Sequence
from concurrent.futures import ProcessPoolExecutor

from bedplans import Bed, Plan, evaluate

Result = dict[str, float]
# An engine evaluates the plans with some workers and returns the results in plan order and the
# seconds it spent starting up (pool or cluster) before the first plan could be sent.
Engine = Callable[[Sequence[Plan], int, str | None], tuple[list[Result], float]]


def evaluate_here(plan: Plan) -> Result:
    """evaluate() plus the id of the process that ran it and the CPU seconds it took."""
    cpu = time.process_time()
    result = evaluate(plan)
    result["cpu_seconds"] = time.process_time() - cpu
    result["pid"] = float(os.getpid())
    return result


def run_serial(plans: Sequence[Plan], workers: int, scheduler: str | None) -> tuple[list[Result], float]:
    return [evaluate_here(plan) for plan in plans], 0.0


def run_process_pool(plans: Sequence[Plan], workers: int,
                     scheduler: str | None) -> tuple[list[Result], float]:
    started = time.perf_counter()
    with ProcessPoolExecutor(max_workers=workers) as pool:
        # Start the workers (each imports this script and bedplans) before timing the plans.
        for future in [pool.submit(os.getpid) for _ in range(workers)]:
            future.result()
        setup = time.perf_counter() - started
        return list(pool.map(evaluate_here, plans)), setup


def run_dask(plans: Sequence[Plan], workers: int, scheduler: str | None) -> tuple[list[Result], float]:
    from distributed import Client, LocalCluster

    started = time.perf_counter()
    if scheduler is not None:
        with Client(scheduler) as client:
            setup = time.perf_counter() - started
            results: list[Result] = client.gather(client.map(evaluate_here, plans, pure=False))
            return results, setup
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.wait_for_workers(workers)
        client.run(__import__, "bedplans")
        setup = time.perf_counter() - started
        results = client.gather(client.map(evaluate_here, plans, pure=False))
        return results, setup


ENGINES: dict[str, Engine] = {"serial": run_serial, "process": run_process_pool, "dask": run_dask}


def make_plans(count: int, quick: bool) -> list[Plan]:
    """Chevron plans with 10 to 80 layers and different input streams. The full-size plans use a
    fine grid (216 unit chunks per volume unit, cell 1/6), 0.05 to 1 second each."""
    bed = Bed(length=30.0, width=8.0) if quick else Bed(chunks_per_volume_unit=216.0)
    layers = [10, 20, 40, 80]
    return [Plan(layers=layers[i % len(layers)], seed=i, bed=bed) for i in range(count)]


def main(argv: list[str] | None = None) -> dict[str, object]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plans", type=int, default=0, help="number of plans (default 16, quick 4)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--engines", default="serial,process,dask")
    parser.add_argument("--scheduler", default=None, help="address of a running Dask scheduler")
    parser.add_argument("--json", type=pathlib.Path, default=None, help="write results and timings here")
    parser.add_argument("--quick", action="store_true", help="small plans, for tests")
    args = parser.parse_args(argv)

    plans = make_plans(args.plans or (4 if args.quick else 16), args.quick)
    engines = [name.strip() for name in args.engines.split(",") if name.strip()]
    print(f"{len(plans)} plans, {args.workers} workers, parent process {os.getpid()}")
    report: dict[str, object] = {"plans": len(plans), "workers": args.workers, "parent": os.getpid()}
    for name in engines:
        started = time.perf_counter()
        results, setup = ENGINES[name](plans, args.workers, args.scheduler)
        seconds = time.perf_counter() - started - setup
        report[name] = {"seconds": seconds, "setup_seconds": setup, "results": results}
        processes = len({result["pid"] for result in results})
        cpu = sum(result["cpu_seconds"] for result in results)
        # CPU seconds of the plans over the wall time: how many cores were busy with plans.
        line = f"{name:>8}: {seconds:7.2f} s in {processes} process(es), {cpu / seconds:4.2f} cores busy"
        serial = report.get("serial")
        if name != "serial" and isinstance(serial, dict):
            line += f", speed-up {serial['seconds'] / seconds:.2f}x over serial"
        if setup:
            line += f" (plus {setup:.2f} s starting the workers)"
        print(line)
    for name in engines[:1]:
        results = report[name]["results"]  # type: ignore[index]
        for plan, result in zip(plans, results):
            print(f"  {plan.layers:3d} layers, seed {plan.seed:2d}: homogenisation "
                  f"{result['grade_ratio']:6.2f} (grade) {result['moisture_ratio']:6.2f} (moisture)")
    if args.json is not None:
        args.json.write_text(json.dumps(report, indent=1))
    return report


if __name__ == "__main__":
    main()
