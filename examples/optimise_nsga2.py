"""Search stacker paths for the best blend and the steadiest flow: NSGA-II (DEAP) over control points.

A plan is the stacker's path along the bed: ``--points`` positions (about 20), travelled
``--cycles`` times forth and back over the record (`pilora.ControlPoints`). Two objectives pull
against each other: the worst homogenisation effect over the record's quality parameters
(same-mass basis, all reclaimed material; maximise) and the variability of the reclaimed volume
per step (m³; minimise): a stacker that lingers builds a lumpy heap and a lumpy flow. Each
generation is evaluated in one call of `pilora.evaluate`, on threads, worker processes or Dask,
with a run seed per generation; a chevron of as many legs is evaluated as a reference.

Writes, into ``--out`` (default out/optimise_nsga2): ``pareto_front.png`` (the front among every
plan evaluated, with the chevron, and the first cycle of the stacker's path at the front's two ends),
``evaluations.csv`` (every row of every generation) and ``front.csv``.

    python examples/optimise_nsga2.py [--population 40] [--generations 25] [--points 20]
        [--cycles 5] [--workers N | --processes N | --scheduler ADDRESS | --dask N] [--seed S]
        [--out DIR] [--quick]

``optimise_optuna.py`` solves the same problem with Optuna and imports the problem from here.
"""

from __future__ import annotations

import argparse
import concurrent.futures as cf
import contextlib
import math
import multiprocessing
import pathlib
import random
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import pilora  # noqa: E402
from pilora.sample import sample_record  # noqa: E402

# Objectives as (column of pilora.evaluate's rows, direction): +1 maximise, -1 minimise.
OBJECTIVES = (("worst_effect", 1.0), ("flow_variability", -1.0))
# Stands in for a failed or undefined objective, so that such a plan is dominated.
WORST = {"worst_effect": 0.0, "flow_variability": 1e9}


@dataclass(frozen=True)
class Problem:
    """One record on one bed; a plan is a vector of numbers in [0, 1], one per control point."""

    bed: pilora.BedSettings
    record: pilora.Record
    points: int
    cycles: int

    def plan(self, genes: Sequence[float]) -> pilora.ControlPoints:
        """The plan of a gene vector: gene u puts a control point at u x the bed's length."""
        length = self.bed.length
        return pilora.ControlPoints(positions=tuple(float(np.clip(u, 0.0, 1.0)) * length for u in genes),
                                    cycles=self.cycles)

    def tasks(self, population: Sequence[Sequence[float]]) -> list[pilora.Task]:
        return [pilora.Task(self.bed, self.record, self.plan(genes)) for genes in population]

    def chevron(self) -> pilora.Task:
        """A chevron over the whole length laying as many layers as a plan has legs."""
        return pilora.Task(self.bed, self.record, pilora.Chevron(layers=(self.points - 1) * self.cycles),
                           label="chevron")


def make_problem(points: int, cycles: int, quick: bool) -> Problem:
    """The sample record (48 h, about 36,000 m³ of limestone) on a 200 x 30 m bed with 1 m cells;
    quick: its first 4 hours on a 40 x 16 m bed with 2 m cells."""
    record = sample_record()
    if quick:
        frame = record.frame
        rows = frame.loc[frame["time"] < 4.0, ["time", "mass", *record.parameters]]
        record = pilora.Record.from_frame(rows, mass="mass", bulk_density=record.bulk_density)
        bed = pilora.BedSettings(length=40.0, width=16.0, chunks_per_volume_unit=0.125)
    else:
        bed = pilora.BedSettings(length=200.0, width=30.0, chunks_per_volume_unit=1.0)
    return Problem(bed, record, points, cycles)


def objectives(rows: pd.DataFrame) -> list[tuple[float, ...]]:
    """(worst effect, flow variability) per row, undefined values replaced by the worst."""
    values = []
    for _, row in rows.iterrows():
        values.append(tuple(float(row[name]) if math.isfinite(row[name]) else WORST[name]
                            for name, _ in OBJECTIVES))
    return values


def pareto_mask(values: np.ndarray, directions: Sequence[float]) -> np.ndarray:
    """True for the rows of `values` (n x objectives) that no other row dominates."""
    v = np.asarray(values, dtype=float) * np.asarray(directions, dtype=float)  # all maximised
    better_eq = (v[:, None, :] <= v[None, :, :]).all(axis=2)
    strictly = (v[:, None, :] < v[None, :, :]).any(axis=2)
    return ~(better_eq & strictly).any(axis=1)


@contextlib.contextmanager
def evaluator(args: argparse.Namespace) -> Iterator[Callable[[list[pilora.Task], int], pd.DataFrame]]:
    """A function evaluating a list of tasks with a run seed on the chosen backend; the pool or
    cluster lives as long as the study, so that each worker receives the record once."""
    common: dict[str, Any] = {"errors": "record", "progress": False}
    if args.processes:
        context = multiprocessing.get_context("forkserver")
        with cf.ProcessPoolExecutor(args.processes, mp_context=context) as pool:
            yield lambda tasks, seed: pilora.evaluate(tasks, seed=seed, executor=pool, **common)
    elif args.scheduler or args.dask:
        import dask
        from distributed import Client, LocalCluster

        with contextlib.ExitStack() as stack:
            if args.scheduler:
                client = stack.enter_context(Client(args.scheduler))
            else:
                # Workers without the nanny's MALLOC_TRIM_THRESHOLD_, which slows runs down (see
                # pilora.evaluate's documentation).
                environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
                environ.pop("MALLOC_TRIM_THRESHOLD_", None)
                stack.enter_context(dask.config.set({"distributed.nanny.pre-spawn-environ": environ}))
                cluster = stack.enter_context(LocalCluster(n_workers=args.dask, threads_per_worker=1,
                                                           dashboard_address=":0"))
                client = stack.enter_context(Client(cluster))
            yield lambda tasks, seed: pilora.evaluate(tasks, seed=seed, client=client, **common)
    else:
        yield lambda tasks, seed: pilora.evaluate(tasks, seed=seed, workers=args.workers, **common)


def generation_seed(seed: int, generation: int) -> int:
    """The run seed of a generation: the first 63 bits drawn by SeedSequence(seed, spawn_key=(g,))."""
    return int(np.random.SeedSequence(seed, spawn_key=(generation,)).generate_state(1, np.uint64)[0] >> 1)


def plot_front(evaluations: pd.DataFrame, front: pd.DataFrame, reference: pd.DataFrame, problem: Problem,
               title: str, path: pathlib.Path) -> None:
    """The objective space (every plan, the front, the chevron) and the front's two extreme paths."""
    fig, (space, paths) = plt.subplots(1, 2, figsize=(11, 4.4), layout="constrained")
    space.scatter(evaluations["flow_variability"], evaluations["worst_effect"], s=8, c="0.75",
                  label="evaluated plans")
    ordered = front.sort_values("flow_variability")
    space.plot(ordered["flow_variability"], ordered["worst_effect"], "o-", c="C0", ms=4, label="Pareto front")
    space.scatter(reference["flow_variability"], reference["worst_effect"], marker="*", s=120, c="C3",
                  zorder=3, label=f"chevron, {reference['plan.layers'].iloc[0]:.0f} layers")
    space.set_xlabel("flow variability: std of reclaimed volume per step (m³)")
    space.set_ylabel("worst homogenisation effect (same mass)")
    space.legend(loc="lower right")
    space.set_title(title)
    hours = problem.record.duration / problem.cycles
    t = np.linspace(0.0, hours, 1000)
    for (_, row), name, colour in zip([next(ordered.iterrows()), next(ordered[::-1].iterrows())],
                                      ("steadiest flow", "best blend"), ("C2", "C1")):
        positions = tuple(row[f"plan.positions[{k}]"] for k in range(problem.points))
        plan = pilora.ControlPoints(positions=positions, cycles=problem.cycles)
        x, _ = plan.stacker_position(t, problem.record, problem.bed)
        paths.plot(t, x, c=colour, lw=1, label=f"{name}: H {row['worst_effect']:.2f}, "
                                                f"{row['flow_variability']:.2f} m³")
    paths.set_xlabel("time (h)")
    paths.set_ylabel("stacker position x (m)")
    paths.set_ylim(0, problem.bed.length)
    paths.legend(loc="upper right", fontsize="small")
    paths.set_title("the front's two ends: stacker path, first cycle")
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=120)
    plt.close(fig)


def finish(evaluations: pd.DataFrame, reference: pd.DataFrame, problem: Problem, title: str,
           out: pathlib.Path) -> pd.DataFrame:
    """Writes the rows, the front and its figure; returns the front."""
    values = np.array(objectives(evaluations))
    front = evaluations[pareto_mask(values, [d for _, d in OBJECTIVES])]
    front = front.drop_duplicates(subset=["worst_effect", "flow_variability"])
    out.mkdir(parents=True, exist_ok=True)
    evaluations.to_csv(out / "evaluations.csv", index=False)
    front.to_csv(out / "front.csv", index=False)
    plot_front(evaluations, front, reference, problem, title, out / "pareto_front.png")
    best = front.sort_values("worst_effect").iloc[-1]
    print(f"{len(evaluations)} plans evaluated, {len(front)} on the front; best blend "
          f"H = {best['worst_effect']:.3f} at {best['flow_variability']:.3f} m³; chevron "
          f"H = {reference['worst_effect'].iloc[0]:.3f} at {reference['flow_variability'].iloc[0]:.3f} m³")
    print(f"figure: {out / 'pareto_front.png'}")
    return front


def parser(description: str, out: str) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--population", type=int, default=0, help="plans per generation (default 40, quick 8)")
    p.add_argument("--generations", type=int, default=0, help="generations (default 25, quick 2)")
    p.add_argument("--points", type=int, default=20, help="control points per plan")
    p.add_argument("--cycles", type=int, default=5, help="times the points are travelled (forth, back, ...)")
    backend = p.add_mutually_exclusive_group()
    backend.add_argument("--workers", type=int, default=None, help="threads (default: the CPUs)")
    backend.add_argument("--processes", type=int, default=0, help="worker processes")
    backend.add_argument("--dask", type=int, default=0, help="workers of a Dask LocalCluster")
    backend.add_argument("--scheduler", default=None, help="address of a running Dask scheduler")
    p.add_argument("--seed", type=int, default=2024)
    p.add_argument("--out", type=pathlib.Path, default=pathlib.Path(out))
    p.add_argument("--quick", action="store_true", help="a tiny problem, for tests")
    return p


def main(argv: list[str] | None = None) -> pd.DataFrame:
    from deap import base, tools

    args = parser(__doc__.splitlines()[0], "out/optimise_nsga2").parse_args(argv)
    mu = args.population or (8 if args.quick else 40)
    if mu % 4:
        raise SystemExit("--population must be a multiple of 4 (DEAP's tournament on crowding)")
    generations = args.generations or (2 if args.quick else 25)
    problem = make_problem(args.points, args.cycles, args.quick)
    rng = random.Random(args.seed)

    class BlendFitness(base.Fitness):  # type: ignore[misc]
        weights = tuple(direction for _, direction in OBJECTIVES)

    class Individual(list):
        def __init__(self, genes: Sequence[float]) -> None:
            super().__init__(genes)
            self.fitness = BlendFitness()

    rows: list[pd.DataFrame] = []
    started = time.perf_counter()
    with evaluator(args) as run:

        def assess(individuals: list[Individual], generation: int) -> None:
            frame = run(problem.tasks(individuals), generation_seed(args.seed, generation))
            for individual, values in zip(individuals, objectives(frame)):
                individual.fitness.values = values
            rows.append(frame.assign(generation=generation))

        population = [Individual([rng.random() for _ in range(args.points)]) for _ in range(mu)]
        assess(population, 0)
        population = tools.selNSGA2(population, mu)  # sets the crowding distances
        for generation in range(1, generations + 1):
            parents = _seeded(rng, tools.selTournamentDCD, population, mu)
            offspring = [Individual(list(parent)) for parent in parents]
            for a, b in zip(offspring[::2], offspring[1::2]):
                if rng.random() < 0.9:
                    _seeded(rng, tools.cxSimulatedBinaryBounded, a, b, eta=15.0, low=0.0, up=1.0)
                for child in (a, b):
                    _seeded(rng, tools.mutPolynomialBounded, child, eta=20.0, low=0.0, up=1.0,
                            indpb=1.0 / args.points)
            assess(offspring, generation)
            population = tools.selNSGA2(population + offspring, mu)
            front = tools.sortNondominated(population, mu, first_front_only=True)[0]
            print(f"generation {generation:3d}: front of {len(front)}, best worst-effect "
                  f"{max(i.fitness.values[0] for i in front):.3f}, steadiest flow "
                  f"{min(i.fitness.values[1] for i in front):.3f} m³ ({time.perf_counter() - started:.1f} s)")
        reference = run([problem.chevron()], generation_seed(args.seed, generations + 1))
    evaluations = pd.concat(rows, ignore_index=True)
    title = f"NSGA-II (DEAP), {mu} plans x {generations + 1} generations"
    return finish(evaluations, reference, problem, title, args.out)


def _seeded(rng: random.Random, operator: Callable[..., Any], *arguments: Any, **keywords: Any) -> Any:
    """Run a DEAP operator (which draws from the `random` module) on a state taken from `rng`, so
    that a study depends on --seed alone."""
    saved = random.getstate()
    random.seed(rng.getrandbits(64))
    try:
        return operator(*arguments, **keywords)
    finally:
        random.setstate(saved)


if __name__ == "__main__":
    main()
