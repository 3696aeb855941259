"""The stacker-path search of optimise_nsga2.py with Optuna's multi-objective samplers.

Same problem, objectives and backends (imported from optimise_nsga2.py): control points of the
stacker's path, maximise the worst homogenisation effect, minimise the reclaimed flow's
variability. Optuna's ask-and-tell interface hands out a whole generation of trials at once, which
`pilora.evaluate` runs in one call; failed plans are told as failed trials. ``--sampler nsga2``
(default) uses NSGAIISampler, ``--sampler tpe`` the multi-objective TPESampler.

Writes, into ``--out`` (default out/optimise_optuna): ``pareto_front.png``, ``evaluations.csv``
and ``front.csv``, as the NSGA-II example does.

    python examples/optimise_optuna.py [--sampler nsga2|tpe] [--population 40] [--generations 25]
        [--points 20] [--cycles 5] [--workers N | --processes N | --scheduler ADDRESS | --dask N]
        [--seed S] [--out DIR] [--quick]
"""

from __future__ import annotations

import math
import time

import pandas as pd

from optimise_nsga2 import OBJECTIVES, evaluator, finish, generation_seed, make_problem, objectives, parser


def main(argv: list[str] | None = None) -> pd.DataFrame:
    import optuna

    p = parser(__doc__.splitlines()[0], "out/optimise_optuna")
    p.add_argument("--sampler", choices=("nsga2", "tpe"), default="nsga2")
    args = p.parse_args(argv)
    size = args.population or (8 if args.quick else 40)
    generations = args.generations or (2 if args.quick else 25)
    problem = make_problem(args.points, args.cycles, args.quick)

    optuna.logging.set_verbosity(optuna.logging.WARNING)
    if args.sampler == "nsga2":
        sampler: optuna.samplers.BaseSampler = optuna.samplers.NSGAIISampler(population_size=size, seed=args.seed)
    else:
        sampler = optuna.samplers.TPESampler(n_startup_trials=size, seed=args.seed)
    directions = ["maximize" if direction > 0 else "minimize" for _, direction in OBJECTIVES]
    study = optuna.create_study(directions=directions, sampler=sampler)

    rows: list[pd.DataFrame] = []
    started = time.perf_counter()
    with evaluator(args) as run:
        for generation in range(generations + 1):
            trials = [study.ask() for _ in range(size)]
            genes = [[trial.suggest_float(f"u{k:02d}", 0.0, 1.0) for k in range(args.points)] for trial in trials]
            frame = run(problem.tasks(genes), generation_seed(args.seed, generation))
            for trial, values, error in zip(trials, objectives(frame), frame["error"]):
                failed = isinstance(error, str) or not all(map(math.isfinite, values))
                if failed:
                    study.tell(trial, state=optuna.trial.TrialState.FAIL)
                else:
                    study.tell(trial, list(values))
            rows.append(frame.assign(generation=generation))
            best = study.best_trials
            print(f"generation {generation:3d}: front of {len(best)}, best worst-effect "
                  f"{max(t.values[0] for t in best):.3f}, steadiest flow {min(t.values[1] for t in best):.3f} m³ "
                  f"({time.perf_counter() - started:.1f} s)")
        reference = run([problem.chevron()], generation_seed(args.seed, generations + 1))
    evaluations = pd.concat(rows, ignore_index=True)
    title = f"Optuna {type(sampler).__name__}, {size} plans x {generations + 1} generations"
    return finish(evaluations, reference, problem, title, args.out)


if __name__ == "__main__":
    main()
