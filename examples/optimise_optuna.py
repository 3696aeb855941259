"""The stacker-path search with Optuna's samplers, through pilora's ask/tell study.

A thin use of `pilora.optimise.Study`: `study.ask()` hands out a generation's tasks (candidates
times replicates), `pilora.evaluate(..., as_completed=True)` runs them and yields each row as its
task finishes (as a steady-state algorithm would take them), and `study.tell(rows)` scores the
generation. ``--sampler nsga2`` (default) uses Optuna's NSGAIISampler, ``--sampler tpe`` its
multi-objective TPESampler. Same problem and backends as optimise_nsga2.py.

Writes, into ``--out`` (default out/optimise_optuna): ``front.csv`` and ``pareto_front.png``, as
the NSGA-II example does.

    python examples/optimise_optuna.py [--sampler nsga2|tpe] [--population 40] [--generations 25]
        [--points 6] [--replicates 2] [--workers N | --processes N | --dask N | --scheduler ADDRESS]
        [--seed S] [--out DIR] [--quick]
"""

from __future__ import annotations

import pandas as pd

import pilora
from optimise_nsga2 import backend, make_problem, parser, write_front
from pilora.optimise import Study


def main(argv: list[str] | None = None) -> pd.DataFrame:
    p = parser(__doc__.splitlines()[0], "out/optimise_optuna")
    p.add_argument("--sampler", choices=("nsga2", "tpe"), default="nsga2")
    args = p.parse_args(argv)
    size = args.population or (8 if args.quick else 40)
    generations = args.generations or (2 if args.quick else 25)
    problem = make_problem(args.points, args.replicates, args.quick)
    study = Study(problem, algorithm="optuna" if args.sampler == "nsga2" else "tpe", population=size,
                  generations=generations, seed=args.seed)
    with backend(args) as keywords:
        while not study.done:
            rows = pilora.evaluate(study.ask(), seed=study.run_seed, errors="record", as_completed=True, **keywords)
            entry = study.tell(pd.DataFrame(list(rows)))
            print(f"generation {entry['generation']:3d}: front of {entry['front']}, "
                  f"hypervolume {entry['hypervolume']:.6g}")
    front = study.front()[["generation", "worst_effect", "travel", "genes"]]
    return write_front(front, problem, f"Optuna {args.sampler}, {size} plans x {generations + 1} generations",
                       args.out)


if __name__ == "__main__":
    main()
