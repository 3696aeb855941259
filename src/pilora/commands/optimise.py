"""``pilora optimise``: a multi-objective search of stacker paths, checked on the fine grid against chevrons.

Runs :func:`pilora.optimise.optimise` on the record and bed the shared options name and writes
:func:`pilora.optimise.write_outputs`' files into ``--out``: front.csv, convergence.csv,
chevrons.csv, stacker.csv (the chosen plan's stacker instructions), summary.json and report.html,
with the row logs in ``--out``/rows. The same command gives a byte-identical front.csv; a study
killed at any point continues with ``--resume`` (same options) to the same front.
"""

from __future__ import annotations

import argparse
import sys
import textwrap
import time
from collections.abc import Sequence
from typing import Any

from .common import (MAX_CELLS, MAX_CHUNKS, UNITS, UsageError, add_study_arguments, amount, bed_text, between,
                     build_study, command_line, count, output_folder, positive, tidy)

__all__ = ["add_parser", "handle", "main"]

OUTPUTS = ("front.csv", "convergence.csv", "chevrons.csv", "stacker.csv", "summary.json", "report.html",
           "front.png", "convergence.png", "chosen_heights.png", "chosen_sections.png", "chosen_quality.png",
           "chosen_section_time.png", "chosen_section_quality.png")


#: Fewest cells the search grid may have across the bed (and along it).
FEWEST_SEARCH_CELLS = 4


def _names(text: str) -> tuple[str, ...]:
    names = tuple(part.strip() for part in text.split(",") if part.strip())
    if not names:
        raise argparse.ArgumentTypeError(f"{text!r} names no objective (e.g. worst_effect,travel)")
    return names


def _passes(text: str) -> float | tuple[float, float]:
    parts = text.split(":")
    if len(parts) > 2:
        raise argparse.ArgumentTypeError(f"{text!r} is not N or LOW:HIGH (passes)")
    values = [positive("passes")(part) for part in parts]
    if len(values) == 2 and values[0] > values[1]:
        raise argparse.ArgumentTypeError(f"{text}: the low end must not exceed the high end")
    return values[0] if len(values) == 1 else (values[0], values[1])


def _numbers(text: str) -> tuple[float, ...]:
    from .common import number

    return tuple(number(part, "reference point") for part in text.split(","))


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    """Adds ``optimise`` to the command's subparsers."""
    parser = subparsers.add_parser(
        "optimise", allow_abbrev=False,
        help="search stacker paths (NSGA-II or Optuna), check the front on the fine grid against chevrons",
        description=textwrap.fill(
            "Search stacker paths for RECORD on the bed: from one end of a chevron's span to the other "
            "through turning points and back, at a limited speed and acceleration, the travel a decision (--passes LOW:HIGH) or fixed "
            "(--passes N). Each candidate runs --replicates times on a coarse grid; the final front and "
            "chevrons of equal travel are run again on the bed's grid. Writes front.csv, convergence.csv, "
            "chevrons.csv, stacker.csv, summary.json and report.html into --out."),
        epilog=UNITS, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_study_arguments(parser)
    search = parser.add_argument_group("search")
    search.add_argument("--population", type=int, default=20, metavar="N",
                        help="candidates per generation, at least 4 (NSGA-II: a multiple of 4; default: 20)")
    search.add_argument("--generations", type=int, default=10, metavar="G",
                        help="generations after the first population (default: 10)")
    search.add_argument("--replicates", type=count, default=3, metavar="K",
                        help="runs per candidate, on record realisations with their own bed seeds (default: 3)")
    search.add_argument("--objectives", type=_names, default=("worst_effect", "travel"), metavar="A,B,...",
                        help="from worst_effect (max), flow_variability (min), travel (min, m) and "
                             "effect.<parameter> (max); the first decides the comparison with the chevrons "
                             "(default: worst_effect,travel)")
    search.add_argument("--robust", choices=("mean", "bound"), default="mean",
                        help="statistic over the replicates: their mean, or the pessimistic end of their "
                             "interval (default: mean)")
    search.add_argument("--coverage", type=between(0, 1, "a share"), default=0.9, metavar="P",
                        help="coverage of the intervals over replicates (default: 0.9)")
    search.add_argument("--algorithm", choices=("nsga2", "optuna", "tpe"), default="nsga2",
                        help="NSGA-II of DEAP (default), Optuna's NSGAIISampler or its TPESampler")
    search.add_argument("--search-cell-size", type=positive("m"), metavar="M",
                        help="cell size of the search's coarse grid in m (default: three times the bed's)")
    search.add_argument("--reference", type=_numbers, metavar="A,B,...",
                        help="the hypervolume's reference point, one value per objective (default: from "
                             "the first generation, stated in summary.json)")
    search.add_argument("--chevrons", type=count, default=40, metavar="N",
                        help="chevrons of the baseline sweep over the passes allowed (default: 40)")
    search.add_argument("--check-replicates", type=count, metavar="K",
                        help="replicates of the fine check, on fresh realisations (default: the larger "
                             "of 5 and --replicates)")
    search.add_argument("--workers", type=count, metavar="N", help="threads (default: the CPUs)")
    search.add_argument("--processes", action="store_true", help="run the workers as processes")
    search.add_argument("--resume", action="store_true",
                        help="continue the study whose row logs --out holds (same options)")
    stacker = parser.add_argument_group("stacker")
    stacker.add_argument("--points", type=count, default=4, metavar="N",
                         help="turning points of a path between the two ends of a chevron's span, "
                              "at least 1 (default: 4)")
    stacker.add_argument("--passes", type=_passes, default=(20.0, 150.0), metavar="N|LOW:HIGH",
                         help="travel in passes of the chevron's span: fixed (N) or a decision (LOW:HIGH; "
                              "default: 20:150)")
    stacker.add_argument("--max-speed", type=positive("m/min"), default=20.0, metavar="M/MIN",
                         help="the stacker's highest travel speed in m/min (default: 20)")
    stacker.add_argument("--acceleration", type=positive("m/s²"), default=0.05, metavar="M/S2",
                         help="the stacker's acceleration and braking in m/s² (default: 0.05)")
    parser.set_defaults(handler=handle)
    return parser


def handle(args: argparse.Namespace) -> int:
    """Runs the study the options describe; mistakes raise UsageError (exit status 2)."""
    from .. import __version__
    from ..optimise import OptimiseError, optimise, write_outputs
    from ..plans import PlanError

    started = time.perf_counter()
    for option in ("rows", "swing_period", "step", "tail"):
        if getattr(args, option, None) is not None:
            flag = "--" + option.replace("_", "-")
            raise UsageError(f"{flag} sets another plan; optimise searches stacker paths: drop {flag}")
    for option in ("start", "end"):
        if getattr(args, option, None) is not None:
            raise UsageError(f"--{option}: optimise runs its stacker paths between the open ends' reversal "
                             f"points, as the chevrons it compares with: drop --{option}")
    if args.circular:
        raise UsageError("optimise plans stacker paths on linear beds: drop --circular")
    if args.population < 4:
        raise UsageError(f"--population {args.population}: at least 4 candidates are needed")
    if args.generations < 0:
        raise UsageError(f"--generations {args.generations}: give 0 or more")
    study = build_study(args)
    check_search_grid(args, study)
    resuming = args.resume and _has_logs(args.out)
    out = output_folder(args.out, names=OUTPUTS, record=study.path)
    line = command_line(args, study.seed)
    if args.resume and not resuming:
        print(f"pilora optimise: no row logs to resume in {out / 'rows'}: starting a new study", flush=True)

    def told(entry: dict[str, Any]) -> None:
        print(f"generation {entry['generation']:3d}: {entry['candidates']} candidates, front of {entry['front']}, "
              f"hypervolume {entry['hypervolume']:.6g} ({time.perf_counter() - started:.1f} s)", flush=True)

    print(f"pilora optimise: {study.source} on a {bed_text(study.bed)} bed, seed {study.seed}", flush=True)
    try:
        found = optimise(
            study.record, study.bed, objectives=args.objectives, population=args.population,
            generations=args.generations, replicates=args.replicates, seed=study.seed, points=args.points,
            passes=args.passes, max_speed=args.max_speed, acceleration=args.acceleration,
            search_cell_size=args.search_cell_size, algorithm=args.algorithm, robust=args.robust,
            coverage=args.coverage, reference=args.reference, chevrons=args.chevrons,
            check_replicates=args.check_replicates, out=out,
            resume=args.resume, workers=args.workers, processes=args.processes, callback=told)
    except (OptimiseError, PlanError) as error:
        raise UsageError(_flagged(str(error))) from None
    except ValueError as error:
        if "log" in str(error):  # a row log of another study
            raise UsageError(f"--out {str(out)!r} holds the logs of another study ({error}): "
                             "give the same options or another --out") from None
        raise
    summary = write_outputs(found, out, title="Pilora: optimised stacker paths",
                            subtitle=f"{study.source} · {bed_text(study.bed)} bed · seed {study.seed} · "
                                     f"pilora {__version__}",
                            settings={"command": line, "record": study.source}, seed=study.seed)
    for key in ("equal_travel", "best_travel"):
        print(summary["baseline"][key]["statement"])
    print(f"wrote {out / 'report.html'}, front.csv, convergence.csv, stacker.csv and summary.json in "
          f"{time.perf_counter() - started:.1f} s")
    return 0


def _has_logs(out: Any) -> bool:
    """Whether ``out`` holds row logs of a study (``rows/*.csv``) that --resume continues."""
    from pathlib import Path

    rows = Path(out) / "rows"
    return rows.is_dir() and any(rows.glob("*.csv"))


def check_search_grid(args: argparse.Namespace, study: Any) -> None:
    """Refuses, before anything runs or is written, a search grid (--search-cell-size, default three
    times the bed's cells) that is no grid of the bed, has too many cells, cuts the record into too
    many chunks, or makes the chevrons at the most passes allowed too many pieces."""
    import dataclasses
    import math

    from ..optimise import _chunks_for
    from ..plans import Chevron, PlanError

    bed, record = study.bed, study.record
    given = args.search_cell_size
    cell = 3.0 * float(bed.cell_size) if given is None else float(given)
    option = f"--search-cell-size {cell:g}" if given is not None else f"the default search cells ({cell:.3g} m)"
    default = f"(default: three times the bed's cells, {3.0 * float(bed.cell_size):.3g} m)"
    coarsest = min(bed.length, bed.width) / FEWEST_SEARCH_CELLS
    if cell > coarsest:
        raise UsageError(f"{option} leaves fewer than {FEWEST_SEARCH_CELLS} cells across the {bed_text(bed)} "
                         f"bed: give --search-cell-size at most {coarsest:.3g} m {default}")
    cells = (bed.length / cell) * (bed.width / cell)
    if not cells <= MAX_CELLS:
        raise UsageError(f"{option} makes {cells:.3g} cells of the {bed_text(bed)} bed, more than {MAX_CELLS:.3g}: "
                         f"give --search-cell-size at least {math.sqrt(bed.length * bed.width / MAX_CELLS):.3g} m "
                         f"{default}")
    try:
        search = dataclasses.replace(bed, chunks_per_volume_unit=_chunks_for(bed, cell))
    except (ValueError, OverflowError) as error:
        raise UsageError(f"{option}: {tidy(str(error))}: give another --search-cell-size {default}") from None
    chunks = record.total_volume * float(search.resolved_chunks_per_volume_unit)
    if not chunks <= MAX_CHUNKS:
        raise UsageError(f"{option}: the record's {amount(record.total_volume)} m³ are {chunks:.3g} chunks on "
                         f"the search grid, more than {MAX_CHUNKS:.3g}: give a larger --search-cell-size {default}")
    passes = args.passes[1] if isinstance(args.passes, tuple) else args.passes
    try:
        Chevron(layers=max(1, math.ceil(passes))).end_cones(record, search)
    except PlanError:
        return  # the passes themselves: the search's own check names --passes or --max-speed
    except ValueError as error:
        raise UsageError(f"{option}: {passes:g} passes on the search grid: {tidy(str(error))}: give a larger "
                         f"--search-cell-size or fewer --passes") from None


def _flagged(message: str) -> str:
    """The library's message with the command's option names for the settings it names."""
    message = message.replace("resume it,", "add --resume,")
    for name, flag in (("max_speed", "--max-speed"), ("search_cell_size", "--search-cell-size"),
                       ("population", "--population"), ("passes", "--passes"), ("replicates", "--replicates"),
                       ("reference point", "--reference"), ("maximum speed", "--max-speed")):
        if name in message and flag not in message:
            message = message.replace(name, f"{name} ({flag})", 1)
    return message


def main(argv: Sequence[str] | None = None) -> int:
    """``pilora optimise ARGS`` (``argv`` without the word ``optimise``; default ``sys.argv[1:]``)
    through :func:`pilora.cli.main`: returns the exit status, 2 for a mistake, with a one-line
    message on standard error."""
    from ..cli import main as command

    return command(["optimise", *(sys.argv[1:] if argv is None else argv)])


if __name__ == "__main__":
    sys.exit(main())
