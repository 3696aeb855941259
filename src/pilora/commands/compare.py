"""``pilora compare``: plan families at equal stacker speed (or by layers), replicated, ranked with
intervals; the report opens with the recommendation."""

from __future__ import annotations

import argparse
import math
import textwrap
import time
from typing import Any

import pandas as pd

from .common import (LAYERED, PLAN_NAMES, UNITS, UsageError, add_study_arguments, bed_text, build_study,
                     check_plan, command_line, count, make_plan, output_folder, plan_option_check,
                     plan_settings, positive, simulate_checked, tidy, warm_up)

__all__ = ["add_parser", "handle"]

DEFAULT_PLANS = ("chevron", "windrow", "strata")
DEFAULT_REPLICATES = 3

COMPARE_OUTPUTS = ("grid.csv", "grid.parquet", "ranking.csv", "ranking.parquet", "sweep.png")


def _plan_list(text: str) -> tuple[str, ...]:
    names = tuple(p.strip().lower() for p in text.split(",") if p.strip())
    if not names:
        raise argparse.ArgumentTypeError("no plan given: e.g. chevron,windrow,strata")
    unknown = [n for n in names if n not in PLAN_NAMES]
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown plan {unknown[0]!r}: choose from {', '.join(PLAN_NAMES)}")
    if len(set(names)) != len(names):
        raise argparse.ArgumentTypeError(f"{text!r} names a plan twice")
    return names


def _layers_grid(text: str) -> tuple[int, ...]:
    """'60', '30,45,80' or 'START:STOP[:STEP]' (STOP included when the steps reach it; STEP 10)."""
    text = text.strip()
    if ":" in text:
        parts = text.split(":")
        if len(parts) not in (2, 3):
            raise argparse.ArgumentTypeError(f"{text!r} is not START:STOP or START:STOP:STEP, e.g. 30:80:10")
        start, stop, *rest = (count(p) for p in parts)
        step = rest[0] if rest else 10
        if stop < start:
            raise argparse.ArgumentTypeError(f"{text!r} runs backwards: give START <= STOP, e.g. 30:80:10")
        return tuple(range(start, stop + 1, step))
    values = tuple(count(p) for p in text.split(","))
    if len(set(values)) != len(values):
        raise argparse.ArgumentTypeError(f"{text!r} names a layer count twice")
    return values


def _speeds(text: str) -> tuple[float, ...]:
    """'10,15,20' (m/min) or 'START:STOP:STEP' (STOP included when the steps reach it)."""
    text = text.strip()
    parse = positive("m/min")
    if ":" in text:
        parts = text.split(":")
        if len(parts) != 3:
            raise argparse.ArgumentTypeError(f"{text!r} is not START:STOP:STEP in m/min, e.g. 10:20:5")
        start, stop, step = (parse(p) for p in parts)
        if stop < start:
            raise argparse.ArgumentTypeError(f"{text!r} runs backwards: give START <= STOP, e.g. 10:20:5")
        n = int(math.floor((stop - start) / step + 1e-9)) + 1
        if n > 100:
            raise argparse.ArgumentTypeError(f"{text!r} makes {n} speeds: give at most 100")
        return tuple(round(start + i * step, 10) for i in range(n))
    values = tuple(parse(p) for p in text.split(","))
    if len(set(values)) != len(values):
        raise argparse.ArgumentTypeError(f"{text!r} names a speed twice")
    return values


def _coverage(text: str) -> float:
    try:
        value = float(text.rstrip("%")) / (100.0 if text.endswith("%") else 1.0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a coverage such as 0.9 or 90%") from None
    if not 0.5 <= value < 1.0:
        raise argparse.ArgumentTypeError(f"{text} must be from 0.5 to below 1 (e.g. 0.9)")
    return value


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    """Adds ``compare`` to the command's subparsers."""
    compare = subparsers.add_parser(
        "compare", allow_abbrev=False,
        help="plans at equal stacker speed, replicated, ranked with intervals; the report recommends one",
        description=textwrap.fill(
            "Run every plan at every stacker speed (--speeds, m/min while stacking: equal speed means "
            "equal passes, the fair basis) or layer count (--layers, chevron-like plans), each "
            "--replicates times over seeds and rotations of the record (its events shifted against "
            "the passes), and rank them by the lower bound of the interval of the worst "
            "homogenisation effect (end cones left out). Writes grid.csv/.parquet, "
            "ranking.csv/.parquet, sweep.png and, for the best plan, the outputs of 'pilora run'; "
            "report.html opens with the recommendation."),
        epilog=UNITS, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_study_arguments(compare)
    compare.add_argument("--plans", type=_plan_list, default=DEFAULT_PLANS, metavar="A,B,...",
                         help=f"plans to compare, from {', '.join(PLAN_NAMES)} (default: {','.join(DEFAULT_PLANS)})")
    sweep = compare.add_mutually_exclusive_group()
    sweep.add_argument("--speeds", type=_speeds, metavar="V,V,...",
                       help="stacker travel speeds while stacking, m/min, as a list (10,15,20) or "
                            "START:STOP:STEP; every plan runs at each (default: 10,20)")
    sweep.add_argument("--layers", type=_layers_grid, metavar="START:STOP[:STEP]",
                       help="layer counts instead of speeds, for chevron-like plans (one-way passes; a "
                            "windrow layer is several passes: rows, then rows - 1 on the next layer, "
                            "3.5 per layer on average at 4 rows): START:STOP:STEP with STOP included (STEP "
                            "defaults to 10), or a list such as 30,45,80")
    runs = compare.add_mutually_exclusive_group()
    runs.add_argument("--replicates", type=count, metavar="K",
                      help=f"runs per plan and setting, over seeds and rotations of the record "
                           f"(default: {DEFAULT_REPLICATES}); intervals need at least 2")
    runs.add_argument("--repeats", type=count, metavar="K",
                      help="runs per plan and setting over seeds only, the record as it is")
    compare.add_argument("--coverage", type=_coverage, default=0.9, metavar="C",
                         help="coverage of the intervals, e.g. 0.9 or 90%% (default: 0.9)")
    compare.add_argument("--workers", type=count, metavar="N",
                         help="simulations run at once (default: every CPU)")
    compare.set_defaults(handler=handle)
    return compare


def _sweep_error(option: str, message: str) -> str:
    """A plan's refusal of a speed or layer count, naming the option and which way to change it."""
    text = tidy(" ".join(message.split()))
    hint = ("" if f"give higher {option}" in text or f"give lower {option}" in text else
            f": give higher {option}" if "at least" in text else f": give lower {option}" if "at most" in text else "")
    return f"{option}: {text}{hint}"


def _settings(args: argparse.Namespace, bed: Any) -> dict[str, dict[str, Any]]:
    return {name: plan_settings(name, args, bed) for name in args.plans}


def _ranking_tables(ranking: pd.DataFrame, parameters: list[str]) -> tuple[pd.DataFrame, pd.DataFrame]:
    """The ranking as the page shows it: the decision table and the effects table ("mean (low-high)")."""
    def bounds(row: pd.Series, name: str) -> str:
        mean, low, high = row[name], row.get(f"{name}_low"), row.get(f"{name}_high")
        if not math.isfinite(mean):
            return "-"
        if low is None or not math.isfinite(low):
            return f"{mean:.3g}"
        return f"{mean:.3g} ({low:.3g}–{high:.3g})"

    def shown(column: str, form: str) -> list[str]:
        return [format(v, form) if math.isfinite(v) else "-" for v in ranking[column].astype(float)]

    decision = pd.DataFrame({
        "plan": ranking["plan"].to_numpy(),
        "settings": ranking["settings"].replace("", "-").to_numpy(),
        "speed (m/min)": shown("speed", ".3g"),
        "passes": shown("passes", ".0f"),
        "layers": shown("layers", ".0f"),
        "worst H": shown("worst_effect", ".3g"),
        "low": shown("worst_effect_low", ".3g"),
        "high": shown("worst_effect_high", ".3g"),
        "worst for": ranking["worst_parameter"].to_numpy(),
        "runs": ranking["replicates"].to_numpy(),
    }, index=pd.Index(ranking["rank"].to_numpy(), name="rank"))
    effects = pd.DataFrame({p: [bounds(row, f"effect_{p}") for _, row in ranking.iterrows()]
                            for p in parameters}, index=pd.Index(ranking["rank"].to_numpy(), name="rank"))
    effects.insert(0, "plan", [row["label"] for _, row in ranking.iterrows()])
    return decision, effects


def handle(args: argparse.Namespace) -> int:
    from .. import __version__
    from ..compare import DEFAULT_SPEEDS, comparison
    from ..figures import plot_sweep, save_figure
    from ..plans import PlanError
    from ..report import Figure, Report, write_json, write_table
    from .outputs import MODEL_NOTE, RUN_OUTPUTS, add_record_and_bed, add_run, subtitle

    started = time.perf_counter()
    warm_up()
    plan_option_check(args, args.plans)
    study = build_study(args)
    if args.layers is not None:
        flat = [p for p in args.plans if p not in LAYERED and p != "cone-shell"]
        if flat:
            raise UsageError(f"--layers sets chevron-like plans: drop {flat[0]} or use --speeds")
    vary = args.repeats is None
    replicates = args.repeats or args.replicates or DEFAULT_REPLICATES
    if replicates > len(study.record):
        raise UsageError(f"--replicates {replicates}: the record has only {len(study.record)} rows to start "
                         f"rotations at: give at most {len(study.record)}")
    speeds = (args.speeds or DEFAULT_SPEEDS) if args.layers is None else None
    settings = _settings(args, study.bed)
    # The cheap checks of every plan before anything runs (pieces, rows, end cones).
    for name in args.plans:
        values = [None] if name == "cone-shell" else (speeds or args.layers)
        for value in values:
            by_speed = args.layers is None and value is not None
            label = (f"{name} at {value:g} m/min" if by_speed else
                     f"{name}, {value} layers" if value is not None else name)
            try:
                plan = make_plan(name, speed=value if by_speed else None,
                                 layers=None if by_speed or value is None else int(value),
                                 settings=settings[name])
            except PlanError as error:
                raise UsageError(_sweep_error("--speeds" if by_speed else "--layers", f"{label}: {error}")) from None
            check_plan(name, plan, study, label)
    output_folder(args.out, names=(*COMPARE_OUTPUTS, *RUN_OUTPUTS), record=study.path, make=False)
    try:
        result = comparison(study.record, study.bed, plans=args.plans, speeds=speeds, layers=args.layers,
                            replicates=replicates, vary_record=vary, seed=study.seed, workers=args.workers,
                            coverage=args.coverage, reclaim_increment=args.reclaim_increment,
                            settings=settings)
    except PlanError as error:
        raise UsageError(_sweep_error("--speeds" if args.layers is None else "--layers", str(error))) from None
    except ValueError as error:
        raise UsageError(f"{error}: give fewer --layers, lower --speeds or coarser cells") from None
    ranking, grid, advice = result.ranking, result.grid, result.recommendation
    failed = ranking[~ranking["worst_effect"].map(math.isfinite)]
    if len(failed):
        row = failed.iloc[0]
        hint = (f"it lays only {row['passes']:.2g} passes: give higher --speeds (or more --layers)"
                if row["passes"] < 2 else "give a longer --bed or a smaller --repose-angle")
        raise UsageError(f"{row['label']}: the runs measured no homogenisation effect (too few reclaimed "
                         f"rows outside the end cones); {hint}")
    out = output_folder(args.out, names=(*COMPARE_OUTPUTS, *RUN_OUTPUTS), record=study.path)
    write_table(grid, out, "grid")
    write_table(ranking, out, "ranking")

    best = ranking.iloc[0]
    name = str(best["plan"])
    by_speed = speeds is not None and name != "cone-shell"
    best_plan = make_plan(name, speed=float(best["speed"]) if by_speed else None,
                          layers=None if by_speed or name == "cone-shell" else int(round(best["layers"])),
                          settings=settings[name])
    first = grid[(grid["plan"] == best["plan"]) & (grid["settings"] == best["settings"])
                 & (grid["passes"] == best["passes"]) & (grid["replicate"] == 0)]
    best_seed = int(first["seed"].iloc[0])
    best_result = simulate_checked(study, best_plan, best_seed, args.reclaim_increment, str(best["label"]), name)

    parameters = list(ranking.attrs["parameters"])
    report = Report("Pilora: plans compared", subtitle(study, __version__))
    block = _block_text(best_result)
    report.add_lead(advice.sentence, [advice.basis + block, MODEL_NOTE])
    decision, effects = _ranking_tables(ranking, parameters)
    coverage = f"{args.coverage:.0%}"
    unit = "t" if study.record.bulk_density is not None else "m³"
    report.add_table("Ranking", decision, columns_per_table=len(decision.columns), note=(
        f"Ranked by 'low', the lower bound of the {coverage} interval of the geometric mean worst "
        f"homogenisation effect H (std in / std out, the smallest over the parameters whose input varies, end cones "
        f"left out) over the runs of each plan (seeds{' and record rotations' if vary else ''}); with "
        f"one run, by the mean. speed: the stacker's travel while stacking; passes: one-way passes "
        f"along the bed; layers: where they mean something (a windrow layer is several passes). "
        f"worst for: the parameter most often worst. H is a ratio (no unit), on the block basis stated "
        f"above. Every column, with flow variability (% CV of the {unit} reclaimed per block) and its "
        f"interval, in ranking.csv."))
    report.add_table("Ranking: effect per parameter, geometric mean (interval)", effects, columns_per_table=7, note=(
        f"H per parameter (derived qualities included), geometric mean over the runs and its {coverage} "
        f"interval, end cones left out, on the block basis stated above; '-' where the input does not vary."))
    sweep = save_figure(plot_sweep(ranking), out / "sweep.png", dpi=100)
    report.add_figures("Sweep", [Figure(sweep, (
        f"Worst homogenisation effect against {'stacker speed' if speeds is not None else 'layers'} per "
        f"plan; bands: the {coverage} interval of the geometric mean over the runs. A wide band or a "
        f"jagged line means the result depends on chance: on where the record's events fall on the passes."))])
    replay = f"pilora run --plan {name} " + (f"--speed {best['speed']:g}" if by_speed else (
        f"--layers {int(round(best['layers']))}" if name != "cone-shell" else "")) + f" --seed {best_seed}"
    add_record_and_bed(report, study, {
        "plans": args.plans, "speeds (m/min)": speeds if speeds is not None else "-",
        "layers": args.layers if args.layers is not None else "-",
        "runs per plan and setting": f"{replicates} ({'seeds and record rotations' if vary else 'seeds only'})",
        "seeds": f"task i: pilora.task_seed({study.seed}, i) (see grid.csv)",
        "command": command_line(args, study.seed)})
    digest, _ = add_run(report, best_result, out, f"Best: {best['label']}, seed {best_seed}")
    report.write(out / "report.html")
    write_json({"version": __version__, "seed": study.seed, "record": study.source,
                "plans": list(args.plans), "speeds": list(speeds) if speeds is not None else None,
                "layers": list(args.layers) if args.layers is not None else None,
                "replicates": replicates, "vary_record": vary, "coverage": args.coverage,
                "recommendation": advice.sentence, "clearly_better": advice.clearly_better,
                "command": command_line(args, study.seed), "replay_best": replay,
                "ranking": ranking.to_dict(orient="records"), "best": digest,
                "basis": digest.get("basis"), "block_mass": digest.get("block_mass"),
                "units": {"worst_effect, effect_<parameter> (with _low, _high)":
                          "H = std in / std out on the block basis ('basis'), a ratio; end cones left out",
                          "flow_variability": f"% (CV of the {unit} reclaimed per block of time)",
                          "speed": "m/min of stacker travel while stacking", "passes": "one-way passes",
                          "block_mass": unit, "coverage": "share of the intervals' coverage"}},
               out / "summary.json")

    what = f"speeds {', '.join(f'{v:g}' for v in speeds)} m/min" if speeds is not None else "layers"
    print(f"pilora compare: {len(ranking)} plan settings ({len(args.plans)} plans by {what}) x {replicates} "
          f"runs on a {bed_text(study.bed)} bed, {study.source}, seed {study.seed}")
    print(advice.sentence)
    for line in study.notes:
        print(f"  {line}")
    for line in ranked_lines(ranking, out / "ranking.csv"):
        print(line)
    print(f"wrote {out / 'report.html'} and the tables, summary and figures in "
          f"{time.perf_counter() - started:.1f} s")
    return 0


#: Most ranked plan settings printed; beyond it the first ones, and where the rest are.
SHOWN = 12


def ranked_lines(ranking: pd.DataFrame, table: Any) -> list[str]:
    """The ranking for standard output, one line per plan setting: every one up to :data:`SHOWN`,
    else the first ``SHOWN - 2`` and a line saying how many more ``table`` (ranking.csv) holds."""
    shown = ranking if len(ranking) <= SHOWN else ranking.head(SHOWN - 2)
    lines = []
    for _, row in shown.iterrows():
        interval = (f" ({row['worst_effect_low']:.3g} to {row['worst_effect_high']:.3g})"
                    if math.isfinite(row["worst_effect_low"]) else "")
        lines.append(f"  {int(row['rank'])}. {row['label']}: worst effect {row['worst_effect']:.3g}{interval}")
    if len(shown) < len(ranking):
        lines.append(f"  ... and {len(ranking) - len(shown)} more, ranked in {table}")
    return lines


def _block_text(result: Any) -> str:
    from ..analysis import blending

    table = blending(result, end_cones=False)
    block = table.attrs.get("block_mass", math.nan)
    if not math.isfinite(block):
        return ""
    unit = "t" if result.record.bulk_density is not None else "m³"
    basis = str(table.attrs.get("basis") or f"consecutive blocks of {block:,.0f} {unit}").rstrip(".")
    constant = [str(p) for p in table.attrs.get("constant", ())]
    left_out = (f" {', '.join(constant)} do{'es' if len(constant) == 1 else ''} not vary in the input and "
                f"{'is' if len(constant) == 1 else 'are'} left out of the worst effect." if constant else "")
    return (f" Every effect compares the input and the reclaimed material on one basis: {basis}; "
            f"derived qualities count like any parameter.{left_out}")
