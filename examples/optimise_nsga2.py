"""Search stacker paths with DEAP's NSGA-II, the population evaluated through pilora's map.

A thin use of `pilora.optimise`: its `Problem` turns a gene vector into a stacker path (turning
points travelled forth and back at a limited speed and acceleration, the travel a decision) and
its `Evaluator.map` runs a whole population in one call of `pilora.evaluate` (threads, worker
processes or Dask), returning robust objective tuples: the worst homogenisation effect without
end cones (maximised) and the stacker's travel in m (minimised), each the mean over replicates.
The loop itself is DEAP's: `eaMuPlusLambda` with NSGA-II selection. `pilora optimise` (or
`pilora.optimise(...)`) does all this and more: the fine-grid check, the chevrons, the report.

Writes, into ``--out`` (default out/optimise_nsga2): ``front.csv`` (the last population's
non-dominated plans) and ``pareto_front.png``.

    python examples/optimise_nsga2.py [--population 40] [--generations 25] [--points 6]
        [--replicates 2] [--workers N | --processes N | --dask N | --scheduler ADDRESS] [--seed S]
        [--out DIR] [--quick]
"""

from __future__ import annotations

import argparse
import contextlib
import pathlib
import random
from collections.abc import Iterator
from typing import Any

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import pandas as pd  # noqa: E402

import pilora  # noqa: E402
from pilora.optimise import Evaluator, Problem  # noqa: E402


def make_problem(points: int, replicates: int, quick: bool) -> Problem:
    """The sample record (48 h, about 36,000 m³ of limestone) on a 200 x 40 m bed (search on
    1 m cells, check on the default ones); quick: its first 4 hours on a 60 x 20 m bed."""
    record = pilora.sample_record()
    if quick:
        frame = record.frame
        rows = frame.loc[frame["time"] < 4.0, ["time", "mass", *record.parameters]]
        record = pilora.Record.from_frame(rows, mass="mass", bulk_density=record.bulk_density)
        return Problem(record, pilora.BedSettings(60.0, 20.0, cell_size=1.0), points=points, replicates=replicates,
                       search_cell_size=2.0, passes=(10.0, 60.0))
    return Problem(record, pilora.BedSettings(200.0, 40.0), points=points, replicates=replicates,
                   search_cell_size=1.0)


@contextlib.contextmanager
def backend(args: argparse.Namespace) -> Iterator[dict[str, Any]]:
    """The keywords of `Evaluator` for the chosen backend; a Dask cluster lives as long as the study."""
    if args.dask or args.scheduler:
        from distributed import Client, LocalCluster

        with contextlib.ExitStack() as stack:
            if args.scheduler:
                client = stack.enter_context(Client(args.scheduler))
            else:
                cluster = stack.enter_context(LocalCluster(n_workers=args.dask, threads_per_worker=1,
                                                           dashboard_address=":0"))
                client = stack.enter_context(Client(cluster))
            yield {"client": client}
    elif args.processes:
        yield {"workers": args.processes, "processes": True}
    else:
        yield {"workers": args.workers}


def parser(description: str, out: str) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--population", type=int, default=0, help="plans per generation (default 40, quick 8)")
    p.add_argument("--generations", type=int, default=0, help="generations (default 25, quick 2)")
    p.add_argument("--points", type=int, default=6, help="turning points per plan")
    p.add_argument("--replicates", type=int, default=2, help="runs per plan (record realisations and seeds)")
    group = p.add_mutually_exclusive_group()
    group.add_argument("--workers", type=int, default=None, help="threads (default: the CPUs)")
    group.add_argument("--processes", type=int, default=0, help="worker processes")
    group.add_argument("--dask", type=int, default=0, help="workers of a Dask LocalCluster")
    group.add_argument("--scheduler", default=None, help="address of a running Dask scheduler")
    p.add_argument("--seed", type=int, default=2024)
    p.add_argument("--out", type=pathlib.Path, default=pathlib.Path(out))
    p.add_argument("--quick", action="store_true", help="a tiny problem, for tests")
    return p


def write_front(front: pd.DataFrame, problem: Problem, title: str, out: pathlib.Path) -> pd.DataFrame:
    """Writes front.csv and pareto_front.png; returns the front."""
    out.mkdir(parents=True, exist_ok=True)
    front = front.sort_values(["travel", "worst_effect"], kind="stable").reset_index(drop=True)
    front.to_csv(out / "front.csv", index=False, lineterminator="\n")
    fig, ax = plt.subplots(figsize=(6.5, 4.2), layout="constrained")
    ax.plot(front["travel"] / 1000.0, front["worst_effect"], "o-", ms=4, label="front (search grid)")
    ax.set_xlabel("stacker travel (km)")
    ax.set_ylabel("worst homogenisation effect, end cones out")
    ax.set_title(title, fontsize="small")
    ax.legend()
    fig.savefig(out / "pareto_front.png", dpi=110)
    plt.close(fig)
    best = front.iloc[front["worst_effect"].idxmax()]
    print(f"{len(front)} plans on the front; best blend H = {best['worst_effect']:.3f} at {best['travel']:.0f} m "
          f"of travel")
    print(f"figure: {out / 'pareto_front.png'}")
    return front


def main(argv: list[str] | None = None) -> pd.DataFrame:
    from deap import algorithms, base, creator, tools

    args = parser(__doc__.splitlines()[0], "out/optimise_nsga2").parse_args(argv)
    mu = args.population or (8 if args.quick else 40)
    generations = args.generations or (2 if args.quick else 25)
    problem = make_problem(args.points, args.replicates, args.quick)
    random.seed(args.seed)  # DEAP's operators draw from the random module

    if not hasattr(creator, "PathFitness"):
        creator.create("PathFitness", base.Fitness, weights=problem.directions)
        creator.create("Path", list, fitness=creator.PathFitness)
    toolbox = base.Toolbox()
    toolbox.register("gene", random.random)
    toolbox.register("individual", tools.initRepeat, creator.Path, toolbox.gene, n=problem.genes)
    toolbox.register("population", tools.initRepeat, list, toolbox.individual)
    toolbox.register("mate", tools.cxSimulatedBinaryBounded, eta=15.0, low=0.0, up=1.0)
    toolbox.register("mutate", tools.mutPolynomialBounded, eta=20.0, low=0.0, up=1.0, indpb=1.0 / problem.genes)
    toolbox.register("select", tools.selNSGA2)
    toolbox.register("evaluate", problem.plan)  # genes -> stacker path; the map runs them
    with backend(args) as keywords, Evaluator(problem, seed=args.seed, **keywords) as evaluator:
        toolbox.register("map", evaluator.map)
        population = toolbox.population(n=mu)
        population, _ = algorithms.eaMuPlusLambda(population, toolbox, mu=mu, lambda_=mu, cxpb=0.6, mutpb=0.3,
                                                  ngen=generations, verbose=False)
    best = tools.sortNondominated(population, mu, first_front_only=True)[0]
    rows = [{"worst_effect": i.fitness.values[0], "travel": i.fitness.values[1],
             **{f"gene[{k}]": g for k, g in enumerate(i)}} for i in best if i.fitness.values[0] > 0]
    front = pd.DataFrame(rows).drop_duplicates(subset=["worst_effect", "travel"])
    return write_front(front, problem, f"NSGA-II (DEAP), {mu} plans x {generations + 1} generations", args.out)


if __name__ == "__main__":
    main()
