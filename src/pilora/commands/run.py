"""``pilora run``: one plan stacked from the record, reclaimed and measured; tables, figures, report."""

from __future__ import annotations

import argparse
import textwrap
import time
from typing import Any

from .common import (PLAN_NAMES, UNITS, UsageError, add_study_arguments, amount, bed_text, build_study, check_effects,
                     check_plan, command_line, count, make_plan, output_folder, plan_label, plan_option_check,
                     plan_settings, positive, progress, simulate_checked, warm_up)

__all__ = ["add_parser", "handle"]

DEFAULT_LAYERS = 60


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    """Adds ``run`` to the command's subparsers."""
    run = subparsers.add_parser(
        "run", allow_abbrev=False, help="one plan: stack the record, reclaim the bed, measure the blending",
        description=textwrap.fill("Stack RECORD onto a bed by one plan, reclaim it, and measure the blending. "
                                  "Writes reclaimed.csv/.parquet, blending.csv/.parquet, summary.json, figures "
                                  "(PNG) and report.html into --out."),
        epilog=UNITS, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_study_arguments(run)
    run.add_argument("--plan", choices=PLAN_NAMES, default="chevron",
                     help="stacking plan (default: chevron); chevcon needs --circular")
    travel = run.add_mutually_exclusive_group()
    travel.add_argument("--layers", type=count, metavar="N",
                        help=f"layers (one-way passes) over the record's duration (default: {DEFAULT_LAYERS}; "
                             "chevcon: swings); cone-shell lays none")
    travel.add_argument("--speed", type=positive("m/min"), metavar="M/MIN",
                        help="stacker travel speed while stacking in m/min, instead of --layers "
                             "(chevcon: swing speed)")
    run.set_defaults(handler=handle)
    return run


def _headline(table: Any) -> str:
    column = "effect_block" if "effect_block" in table else "effect_same_mass"
    constant = set(table.attrs.get("constant", ()))
    return ", ".join(f"{p}: constant input, no effect" if p in constant else f"{p} {v:.2f}"
                     for p, v in table[column].items())


def _answer(label: str, plan: Any, study: Any, without: Any) -> str:
    """One sentence: the plan, its travel and the worst effect with its parameter."""
    import math

    from ..compare import travel_speed

    column = "effect_block" if "effect_block" in without else "effect_same_mass"
    effects = without[column]
    constant = set(without.attrs.get("constant", ()))
    varying = effects[[p not in constant for p in effects.index]].dropna()
    speed = travel_speed(plan, study.record, study.bed)
    travel = f"{speed:.3g} m/min while stacking, " if math.isfinite(speed) else ""
    passes = plan.passes(study.record, study.bed)
    worst = (f"worst homogenisation effect H {varying.min():.3g}, for {varying.idxmin()}"
             if len(varying) else "no parameter varies, so there is no effect to measure")
    return f"{label} ({travel}{passes:.0f} passes): {worst}, end cones left out."


def _basis(without: Any, study: Any) -> str:
    from .outputs import reclaim_rate

    block = without.attrs.get("block_mass")
    rate = reclaim_rate(study.record)
    unit = "t" if study.record.bulk_density is not None else "m³"
    where = f" in blocks of {block:,.0f} {unit}" if block else ""
    constant = [str(p) for p in without.attrs.get("constant", ())]
    if constant:
        where += (f" ({', '.join(constant)} {'does' if len(constant) == 1 else 'do'} not vary in the input and "
                  f"{'is' if len(constant) == 1 else 'are'} left out of the worst effect)")
    return (f"H = std in / std out per parameter, the input and the reclaimed material taken{where} "
            f"(about {block / rate:.2g} h of reclaiming at the record's mean rate of {rate:,.0f} {unit}/h); "
            f"one run, seed {study.seed}: 'pilora compare' gives intervals over seeds and record "
            f"rotations." if block and rate > 0 else
            f"H = std in / std out per parameter; one run, seed {study.seed}.")


def handle(args: argparse.Namespace) -> int:
    from .. import __version__
    from ..analysis import blending
    from ..plans import PlanError
    from ..report import Report, write_json
    from .outputs import MODEL_NOTE, RUN_OUTPUTS, add_record_and_bed, add_run, subtitle

    started = time.perf_counter()
    warm_up()
    name = args.plan
    plan_option_check(args, [name])
    if name == "cone-shell" and (args.layers is not None or args.speed is not None):
        raise UsageError("the cone-shell plan lays no layers: drop --layers/--speed (set --step instead)")
    layers = None if name == "cone-shell" or args.speed is not None else (args.layers or DEFAULT_LAYERS)
    with progress(4, "pilora run", "step") as bar:
        study = build_study(args)
        label = plan_label(name, layers=layers, speed=args.speed)
        try:
            plan = make_plan(name, layers=layers, speed=args.speed, settings=plan_settings(name, args, study.bed))
        except PlanError as error:
            raise UsageError(f"the {name} plan: {error}") from None
        check_plan(name, plan, study, label)
        output_folder(args.out, names=RUN_OUTPUTS, record=study.path, make=False)
        bar.update()
        # A section across the bed at mid-length, for the report's pictures of the inside.
        result = simulate_checked(study, plan, study.seed, args.reclaim_increment, label, name,
                                  sections={"across": (0.5 * study.bed.length,)})
        without = blending(result, end_cones=False)
        check_effects(without, label, args, study.record)
        out = output_folder(args.out, names=RUN_OUTPUTS, record=study.path)
        bar.update()
        report = Report(f"Pilora: {label}", subtitle(study, __version__))
        passes = plan.passes(study.record, study.bed)
        report.add_lead(_answer(label, plan, study, without), [_basis(without, study), MODEL_NOTE])
        add_record_and_bed(report, study, {"plan": repr(plan), "passes": passes, "seed": study.seed,
                                           "command": command_line(args, study.seed)})
        digest, _ = add_run(report, result, out, "Result", without)
        bar.update()
        digest["command"] = {"name": "run", "plan": name, "layers": layers, "speed": args.speed,
                             "line": command_line(args, study.seed), "record": study.source}
        write_json(digest, out / "summary.json")
        report.write(out / "report.html")
        bar.update()
    print(f"pilora run: {label} on a {bed_text(study.bed)} bed, {study.source}, seed {study.seed}")
    for line in study.notes:
        print(f"  {line}")
    unit = "t" if study.record.bulk_density is not None else "m³"
    print(f"homogenisation effect H = std in / std out without end cones, on blocks of "
          f"{amount(without.attrs['block_mass'])} {unit} (an hour's feed): {_headline(without)}")
    print(f"wrote {out / 'report.html'} and the tables, summary and figures in "
          f"{time.perf_counter() - started:.1f} s")
    return 0
