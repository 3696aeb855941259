"""The ``pilora`` command: a blending study from a quality record, written as tables, figures and a report.

``pilora run [RECORD]`` simulates one stacking plan and ``pilora compare [RECORD]`` a grid of plans
by layer counts, ranked; both write their outputs into one folder (``--out``, default
``pilora-out``) and end with a self-contained ``report.html``. Without RECORD they run on the sample
record shipped with the package (:func:`pilora.sample_record`). ``pilora --help`` and
``pilora run --help`` explain every option and its unit.

Conventions: lengths in m, volumes in m³, masses in t, bulk densities in t/m³, times in h (plan
speeds and swing periods in minutes, as stackers are set), angles in degrees. The homogenisation
effect H is std in / std out (mass weighted), with the input grouped into blocks of a reclaimed
row's mass ("same mass", the fair basis) unless a column says "interval".

Seeds: every run uses the seed given by ``--seed`` (default 1, so the same command gives the same
bytes); ``--seed random`` draws one from the operating system. The seed is printed and stored in
``summary.json``. In ``compare``, repeat r of every grid cell uses seed + r, the same for every plan
and layer count, so the plans are compared on the same random draws and any cell can be replayed
with ``pilora run --seed <seed + r>``.

Exit status: 0 on success, 2 for a mistake in the command or its input (the message says what to
fix), 130 when interrupted.
"""

from __future__ import annotations

import argparse
import math
import os
import re
import secrets
import shlex
import sys
import textwrap
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, NoReturn

import numpy as np
import pandas as pd

from .commands.common import UsageError

__all__ = ["main"]

DEFAULT_SEED = 1
DEFAULT_OUT = "pilora-out"
PLAN_NAMES = ("chevron", "windrow", "strata", "cone-shell", "chevcon")
LAYERED = ("chevron", "windrow", "strata", "chevcon")

# Figures of a run: file stem, caption.
_FIGURES = (
    ("quality", "Input quality over stacking time (left) and reclaimed quality along the bed (right); "
                "end cones shaded."),
    ("effects", "Homogenisation effect per parameter (same-mass basis), without end cones."),
    ("heights", "The heap's height map as stacked, seen from above; dashed lines bound the end cones."),
    ("sections", "Sections through the heap along the centre line and across the bed."),
)

_EFFECT_NOTE = (
    "mean and std: mass weighted, ddof 0, in the parameter's units. effect = std_in / std_out "
    "(H), vrr = H² (variance reduction ratio). 'interval': each record interval against each "
    "reclaimed row; 'same mass': the record grouped into blocks of a reclaimed row's mass first "
    "(std_in_same_mass), the fair basis: H near 1 means the bed did not blend."
)


class _Exit(Exception):
    """argparse wanted to exit (help shown, or a usage error already printed)."""

    def __init__(self, status: int) -> None:
        super().__init__(status)
        self.status = status


class _Parser(argparse.ArgumentParser):
    # Return from main() instead of leaving the interpreter, so the command runs in-process too.
    def exit(self, status: int = 0, message: str | None = None) -> NoReturn:
        if message:
            self._print_message(message, sys.stderr)
        raise _Exit(status)


# ---------------------------------------------------------------------------------------------
# Option values


def _number(text: str, what: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number ({what})") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number ({what})")
    return value


def _positive(unit: str) -> Callable[[str], float]:
    def parse(text: str) -> float:
        value = _number(text, unit)
        if not value > 0:
            raise argparse.ArgumentTypeError(f"{text} must be above 0 ({unit})")
        return value

    return parse


def _between(low: float, high: float, unit: str, *, closed: bool = False) -> Callable[[str], float]:
    def parse(text: str) -> float:
        value = _number(text, unit)
        inside = low <= value <= high if closed else low < value < high
        if not inside:
            bounds = f"from {low:g} to {high:g}" if closed else f"above {low:g} and below {high:g}"
            raise argparse.ArgumentTypeError(f"{text} must be {bounds} ({unit})")
        return value

    return parse


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} must be at least 1")
    return value


def _bed_size(text: str) -> tuple[float, float]:
    match = re.fullmatch(r"\s*([^xX×]+?)\s*[xX×]\s*([^xX×]+?)\s*", text)
    if not match:
        raise argparse.ArgumentTypeError(f"{text!r} is not LENGTHxWIDTH in m, e.g. 200x40")
    length, width = (_positive("m")(part) for part in match.groups())
    return length, width


def _seed(text: str) -> int | None:
    if text.strip().lower() == "random":
        return None
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number or 'random'") from None
    if not 0 <= value < 2**63:
        raise argparse.ArgumentTypeError(f"{text} must be from 0 to 2**63 - 1")
    return value


def _layers_grid(text: str) -> tuple[int, ...]:
    """'60', '30,45,80' or 'START:STOP[:STEP]' (STOP included when the steps reach it; STEP 10)."""
    text = text.strip()
    if ":" in text:
        parts = text.split(":")
        if len(parts) not in (2, 3):
            raise argparse.ArgumentTypeError(f"{text!r} is not START:STOP or START:STOP:STEP, e.g. 30:80:10")
        start, stop, *rest = (_count(p) for p in parts)
        step = rest[0] if rest else 10
        if stop < start:
            raise argparse.ArgumentTypeError(f"{text!r} runs backwards: give START <= STOP, e.g. 30:80:10")
        return tuple(range(start, stop + 1, step))
    values = tuple(_count(p) for p in text.split(","))
    if len(set(values)) != len(values):
        raise argparse.ArgumentTypeError(f"{text!r} names a layer count twice")
    return values


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


def _columns(text: str) -> tuple[str, ...]:
    names = tuple(p.strip() for p in text.split(",") if p.strip())
    if not names:
        raise argparse.ArgumentTypeError("no column named: e.g. CaO,SiO2")
    return names


# ---------------------------------------------------------------------------------------------
# The parser

_UNITS = """\
units: lengths in m, volumes in m³, masses in t, bulk density in t/m³, record times in h (or
dates), swing periods in minutes, angles in degrees. H (homogenisation effect) = std in / std out,
mass weighted; the 'same mass' basis groups the record into blocks of a reclaimed row's mass.
exit status: 0 done, 2 a mistake in the command or the record (the message says what to fix)."""


def _add_common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "record", nargs="?", metavar="RECORD", type=Path,
        help="quality record, a .csv or .parquet file with one row per interval: a time column, "
             "the mass (t) or volume (m³) of each interval and one column per quality parameter. "
             "Default: the sample record shipped with pilora (two days of crushed limestone, "
             "about 54,000 t)")
    rec = parser.add_argument_group("record columns")
    rec.add_argument("--time", default="time", metavar="COLUMN",
                     help="column of interval start times: hours (numbers) or dates (default: time)")
    rec.add_argument("--mass", metavar="COLUMN",
                     help="column of interval masses in t (default: 'mass' when the record has one)")
    rec.add_argument("--volume", metavar="COLUMN",
                     help="column of interval volumes in m³ (default: 'volume' when there is no mass)")
    rec.add_argument("--bulk-density", type=_positive("t/m³"), metavar="T/M3",
                     help="bulk density on the bed in t/m³, turns masses into volumes; needed for a "
                          "record given by mass (crushed limestone: about 1.5; the sample: 1.5)")
    rec.add_argument("--parameters", type=_columns, metavar="A,B,...",
                     help="quality parameter columns (default: every other numeric column)")
    bed = parser.add_argument_group("bed")
    bed.add_argument("--bed", type=_bed_size, default=(200.0, 40.0), metavar="LENGTHxWIDTH",
                     help="bed size in m, along x by across z (default: 200x40). A circular bed is "
                          "the square around its ring")
    bed.add_argument("--circular", action="store_true",
                     help="a circular bed (stacked by the chevcon plan) instead of a linear one")
    bed.add_argument("--reclaim-angle", type=_between(0, 180, "degrees"), default=45.0, metavar="DEG",
                     help="angle of the reclaim face, above 0 and below 180 degrees (default: 45; "
                          "90 is a vertical face)")
    bed.add_argument("--repose-angle", type=_between(0, 90, "degrees"), default=45.0, metavar="DEG",
                     help="angle of repose of the material, above 0 and below 90 degrees (default: 45)")
    resolution = bed.add_mutually_exclusive_group()
    resolution.add_argument("--chunks-per-m3", type=_positive("chunks per m³"), metavar="N",
                            help="model resolution: unit chunks per m³, more is finer and slower "
                                 "(default: cells of width / 120, 27 per m³ on a 40 m wide "
                                 "bed at 45°, within 5%% of finer grids)")
    resolution.add_argument("--cell-size", type=_positive("m"), metavar="M",
                            help="model resolution as the edge of a grid cell in m, instead of "
                                 "--chunks-per-m3 (default: width / 120)")
    bed.add_argument("--eight-neighbour", type=_between(0, 1, "a probability", closed=True), default=0.85,
                     metavar="P", help="probability that a sliding chunk looks at all eight neighbours "
                                       "rather than four, 0 to 1 (default: 0.85, the roundest cones)")
    bed.add_argument("--reclaim-increment", type=_positive("m"), metavar="M",
                     help="length of a reclaim step in m (default: the cell size)")
    plan = parser.add_argument_group("plan settings (each used by the plan it names)")
    plan.add_argument("--rows", type=_count, metavar="N", help="windrow: rows per layer (default: 4)")
    plan.add_argument("--swing-period", type=_positive("minutes"), metavar="MIN",
                      help="strata: time of one full swing across and back, in minutes (default: 7)")
    plan.add_argument("--step", type=_positive("m"), metavar="M",
                      help="cone-shell: distance between cone positions in m (default: 10)")
    plan.add_argument("--tail", type=_positive("m"), metavar="M",
                      help="chevcon: length of the arc the boom swings over, in m (default: a third "
                           "of the reclaim arc)")
    out = parser.add_argument_group("output")
    out.add_argument("--seed", type=_seed, default=DEFAULT_SEED, metavar="N",
                     help=f"seed of the random draws, 0 to 2**63 - 1, or 'random' (default: {DEFAULT_SEED}); "
                          "the same command and seed give byte-identical tables")
    out.add_argument("--out", type=Path, default=Path(DEFAULT_OUT), metavar="DIR",
                     help=f"folder for the outputs, made when missing (default: ./{DEFAULT_OUT}); "
                          "files of an earlier study there are replaced")


def build_parser() -> argparse.ArgumentParser:
    """The command's argument parser (``pilora run`` and ``pilora compare``)."""
    parser = _Parser(
        prog="pilora", allow_abbrev=False,
        description=textwrap.fill("Simulate a blending bed stacked from a quality record, and write the reclaimed "
                    "table, a JSON summary, figures and a self-contained report.html. Without a RECORD, "
                                  "both commands run on the sample record shipped with pilora."),
        epilog=_UNITS, formatter_class=argparse.RawDescriptionHelpFormatter)
    from . import __version__

    parser.add_argument("--version", action="version", version=f"pilora {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    run = commands.add_parser(
        "run", allow_abbrev=False, help="one plan: stack the record, reclaim the bed, measure the blending",
        description=textwrap.fill("Stack RECORD onto a bed by one plan, reclaim it, and measure the blending. "
                    "Writes reclaimed.csv/.parquet, blending.csv/.parquet, summary.json, figures "
                    "(PNG) and report.html into --out."),
        epilog=_UNITS, formatter_class=argparse.RawDescriptionHelpFormatter)
    _add_common(run)
    run.add_argument("--plan", choices=PLAN_NAMES, default="chevron",
                     help="stacking plan (default: chevron); chevcon needs --circular")
    run.add_argument("--layers", type=_count, metavar="N",
                     help="layers (one-way passes) over the record's duration (default: 60; "
                          "chevcon: swings); cone-shell lays none")
    run.set_defaults(handler=_run)
    compare = commands.add_parser(
        "compare", allow_abbrev=False, help="a grid of plans by layer counts, ranked by their worst effect",
        description=textwrap.fill("Run every plan at every layer count (each --repeats times) on RECORD and rank "
                    "them by the worst homogenisation effect over the parameters (same-mass basis, "
                    "end cones left out; the mean over repeats). Writes grid.csv/.parquet, "
                    "ranking.csv/.parquet and, for the best plan, the outputs of 'pilora run', "
                    "with the ranking in report.html."),
        epilog=_UNITS, formatter_class=argparse.RawDescriptionHelpFormatter)
    _add_common(compare)
    compare.add_argument("--plans", type=_plan_list, default=("chevron", "windrow", "strata"),
                         metavar="A,B,...",
                         help=f"plans to compare, from {', '.join(PLAN_NAMES)} (default: chevron,windrow,strata)")
    compare.add_argument("--layers", type=_layers_grid, default=tuple(range(30, 81, 10)),
                         metavar="START:STOP[:STEP]",
                         help="layer counts: START:STOP:STEP with STOP included (STEP defaults to 10), "
                              "or a list such as 30,45,80 (default: 30:80:10)")
    compare.add_argument("--repeats", type=_count, default=1, metavar="K",
                         help="runs per grid cell with seeds seed, seed + 1, ... (default: 1)")
    compare.set_defaults(handler=_compare)
    return parser


# ---------------------------------------------------------------------------------------------
# Building the study from the options


@dataclass(frozen=True)
class _Study:
    record: Any  # pilora.Record
    source: str
    bed: Any  # pilora.BedSettings
    seed: int


def _read_frame(path: Path) -> pd.DataFrame:
    if not path.exists():
        raise UsageError(f"RECORD {str(path)!r} does not exist (give a .csv or .parquet file, "
                         "or leave RECORD out to use the sample record)")
    if path.is_dir():
        raise UsageError(f"RECORD {str(path)!r} is a folder: give a .csv or .parquet file")
    suffixes = [s.lower() for s in path.suffixes]
    if suffixes and suffixes[-1] in (".gz", ".bz2", ".xz", ".zst", ".zip"):
        suffixes = suffixes[:-1]
    kind = suffixes[-1] if suffixes else ""
    try:
        if kind == ".csv":
            return pd.read_csv(path)
        if kind in (".parquet", ".pq"):
            return pd.read_parquet(path, engine="pyarrow")
    except (OSError, ValueError) as error:
        raise UsageError(f"cannot read {str(path)!r}: {error}") from None
    raise UsageError(f"RECORD {str(path)!r} is neither .csv nor .parquet: give a CSV or Parquet file")


def _load_record(args: argparse.Namespace) -> tuple[Any, str]:
    from .record import Record, RecordError, _default_amount
    from .sample import SAMPLE_BULK_DENSITY, sample_record_path

    if args.mass is not None and args.volume is not None:
        raise UsageError("give --mass or --volume, not both")
    if args.record is None:
        path, source = sample_record_path(), "the sample record (limestone.csv, shipped with pilora)"
        density = SAMPLE_BULK_DENSITY if args.bulk_density is None else args.bulk_density
    else:
        path, source, density = args.record, str(args.record), args.bulk_density
    frame = _read_frame(path)
    columns = [str(c) for c in frame.columns]
    shown = ", ".join(columns)
    for option, name in (("--time", args.time), ("--mass", args.mass), ("--volume", args.volume),
                         *(("--parameters", p) for p in args.parameters or ())):
        if name is not None and name not in columns:
            default = " (the default)" if option == "--time" and name == "time" else ""
            raise UsageError(f"the record has no column {name!r}{default} for {option}; "
                             f"its columns are: {shown}")
    mass, volume = args.mass, args.volume
    if mass is None and volume is None:
        mass, volume = _default_amount(columns)
        if mass is None and volume is None:
            raise UsageError(f"the record has neither a 'mass' nor a 'volume' column: name the column "
                             f"of interval masses (t) with --mass or of volumes (m³) with --volume; "
                             f"its columns are: {shown}")
    if mass is not None and density is None:
        raise UsageError(f"the record gives masses (column {mass!r}, t): give --bulk-density in t/m³ "
                         "to turn them into volumes (crushed limestone: about 1.5)")
    try:
        record = Record.from_frame(frame, time=args.time, mass=mass, volume=volume,
                                   bulk_density=density, parameters=args.parameters)
    except RecordError as error:
        raise UsageError(f"{source}: {error} (rows count from 0, the first data row)") from None
    except ValueError as error:
        raise UsageError(f"{source}: {error}") from None
    if not record.parameters:
        raise UsageError(f"{source}: no quality parameter column found: name them with --parameters")
    return record, source


def _heap_limit(bed: Any) -> float:
    """Most volume (m³) one heap at the angle of repose can hold on the bed's rectangle: a hip roof
    (h = short side / 2 * tan(repose)), V = h * short * (3 * long - short) / 6."""
    long_side, short_side = max(bed.length, bed.width), min(bed.length, bed.width)
    height = 0.5 * short_side * math.tan(math.radians(bed.repose_angle))
    return height * short_side * (3.0 * long_side - short_side) / 6.0


def _study(args: argparse.Namespace) -> _Study:
    from ._native import Bed
    from .settings import BedSettings

    record, source = _load_record(args)
    length, width = args.bed
    chunks = args.chunks_per_m3
    if args.cell_size is not None:
        try:
            chunks = Bed.resolve(width, cell_size=args.cell_size, repose_angle=args.repose_angle)[0]
        except ValueError as error:
            raise UsageError(f"--cell-size {args.cell_size:g}: {error}") from None
    try:
        bed = BedSettings(length, width, reclaim_angle=args.reclaim_angle,
                          chunks_per_volume_unit=chunks, circular=args.circular,
                          eight_neighbour_probability=args.eight_neighbour, repose_angle=args.repose_angle)
    except ValueError as error:
        raise UsageError(f"--bed {length:g}x{width:g}: {error}") from None
    limit = _heap_limit(bed)
    if record.total_volume > limit:
        raise UsageError(
            f"the record holds {record.total_volume:,.0f} m³ but a {length:g} x {width:g} m bed holds at "
            f"most {limit:,.0f} m³ in one heap at a repose angle of {bed.repose_angle:g}°: give a larger "
            f"--bed (or a shorter record)")
    seed = secrets.randbits(63) if args.seed is None else args.seed
    return _Study(record, source, bed, seed)


def _plan_option_check(args: argparse.Namespace, plans: Sequence[str]) -> None:
    owners = {"rows": "windrow", "swing_period": "strata", "step": "cone-shell", "tail": "chevcon"}
    for option, owner in owners.items():
        if getattr(args, option) is not None and owner not in plans:
            flag = "--" + option.replace("_", "-")
            raise UsageError(f"{flag} sets the {owner} plan, which this command does not run: "
                             f"drop {flag} or run --plan{'s' if args.command == 'compare' else ''} {owner}")
    if args.circular and any(p != "chevcon" for p in plans):
        raise UsageError("a circular bed is stacked by the chevcon plan only: use --plan chevcon "
                         "or drop --circular")
    if not args.circular and "chevcon" in plans:
        raise UsageError("the chevcon plan stacks circular beds: add --circular (and a square --bed, "
                         "e.g. 120x120)")


def _make_plan(name: str, layers: int | None, args: argparse.Namespace, bed: Any) -> Any:
    from .plans import PlanError

    try:
        return _plan(name, layers, args, bed)
    except PlanError as error:
        raise UsageError(f"the {name} plan: {error}") from None


def _plan(name: str, layers: int | None, args: argparse.Namespace, bed: Any) -> Any:
    from .plans import Chevcon, Chevron, ConeShell, Strata, Windrow

    if name == "chevron":
        return Chevron(layers=layers)
    if name == "windrow":
        return Windrow(rows=args.rows or 4, layers=layers)
    if name == "strata":
        return Strata(swing_period=args.swing_period or 7.0, layers=layers)
    if name == "cone-shell":
        return ConeShell(step=args.step or 10.0)
    tail = args.tail if args.tail is not None else bed.arc_length / 3.0
    return Chevcon(tail=tail, swings=layers)


def _plan_label(name: str, layers: int | None) -> str:
    return name if layers is None else f"{name}, {layers} {'swings' if name == 'chevcon' else 'layers'}"


# ---------------------------------------------------------------------------------------------
# Running


def _progress(total: int, desc: str, unit: str) -> Any:
    from tqdm import tqdm

    # disable=None: shown on a terminal only, silent when stderr is piped or redirected.
    return tqdm(total=total, desc=desc, unit=unit, disable=None, file=sys.stderr, leave=False,
                dynamic_ncols=True)


def _simulate(study: _Study, plan: Any, seed: int, args: argparse.Namespace, label: str) -> Any:
    from .plans import PlanError
    from .run import simulate

    try:
        return simulate(study.bed, study.record, plan, seed=seed, reclaim_increment=args.reclaim_increment)
    except PlanError as error:
        raise UsageError(f"{label} does not fit the {_bed_text(study.bed)} bed: {error}") from None


def _bed_text(bed: Any) -> str:
    return f"{bed.length:g} x {bed.width:g} m{' circular' if bed.circular else ''}"


def _out_dir(path: Path) -> Path:
    if path.exists() and not path.is_dir():
        raise UsageError(f"--out {str(path)!r} is a file: give a folder")
    try:
        path.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise UsageError(f"cannot make the --out folder {str(path)!r}: {error.strerror or error}") from None
    if not os.access(path, os.W_OK):
        raise UsageError(f"cannot write into the --out folder {str(path)!r}: choose another")
    return path


def _command_line(args: argparse.Namespace, seed: int) -> str:
    """The command that replays this run (the record path as given, the seed made explicit)."""
    words = ["pilora", args.command]
    argv = list(args.argv)
    skip = False
    for i, word in enumerate(argv):
        if skip:
            skip = False
            continue
        if i == 0 and word == args.command:
            continue
        if word == "--seed":
            skip = True
            continue
        if word.startswith("--seed="):
            continue
        words.append(word)
    words += ["--seed", str(seed)]
    return shlex.join(words)


def _record_settings(study: _Study) -> dict[str, Any]:
    record = study.record
    density = record.bulk_density
    return {
        "record": study.source,
        "rows": len(record),
        "duration (h)": record.duration,
        "start": str(record.start) if record.start is not None else "-",
        "mass (t)": record.total_mass if density is not None else "-",
        "volume (m³)": record.total_volume,
        "bulk density (t/m³)": density if density is not None else "-",
        "parameters": record.parameters,
    }


def _bed_settings(bed: Any) -> dict[str, Any]:
    return {
        "bed (m)": _bed_text(bed),
        "reclaim angle (°)": bed.reclaim_angle,
        "repose angle (°)": bed.repose_angle,
        "chunks per m³": bed.resolved_chunks_per_volume_unit,
        "cell size (m)": bed.cell_size,
        "eight-neighbour probability": bed.eight_neighbour_probability,
        "heap limit (m³)": _heap_limit(bed),
    }


def _run_outputs(result: Any, out: Path, report: Any, heading: str) -> dict[str, Any]:
    """Writes the run's tables and figures into ``out`` and adds its sections to ``report``;
    returns the run's summary."""
    from .analysis import blending, flow_variability, summary
    from .figures import plot_effects, plot_heights, plot_quality, plot_sections, save_figure
    from .report import Figure, write_table

    with_cones = blending(result, end_cones=True)
    without = blending(result, end_cones=False)
    write_table(result.reclaimed, out, "reclaimed")
    both = pd.concat({"without": without, "with": with_cones}, names=["end_cones"])
    write_table(both, out, "blending")

    report.add_table(f"{heading}: blending without end cones", without, note=_EFFECT_NOTE)
    report.add_table(f"{heading}: blending with end cones", with_cones)
    balance = dict(result.balance)
    report.add_settings(f"{heading}: volumes and flow", {
        **{f"{k} (m³)": v for k, v in balance.items()},
        "end cones (m along the bed)": ", ".join(f"{a:.1f}-{b:.1f}" for a, b in result.end_cones) or "none",
        "flow variability (m³ per step)": flow_variability(result, end_cones=True),
        "flow variability without end cones (m³ per step)": flow_variability(result, end_cones=False),
        "reclaim increment (m)": result.reclaim_increment,
    })
    makers = {
        "quality": lambda: plot_quality(result),
        "effects": lambda: plot_effects(result, end_cones=False),
        "heights": lambda: plot_heights(result),
        "sections": lambda: plot_sections(result),
    }
    figures = []
    for stem, caption in _FIGURES:
        path = save_figure(makers[stem](), out / f"{stem}.png")
        figures.append(Figure(path, caption))
    report.add_figures(f"{heading}: figures", figures)
    return summary(result)


def _headline(table: pd.DataFrame) -> str:
    return ", ".join(f"{p} {v:.2f}" for p, v in table["effect_same_mass"].items())


def _run(args: argparse.Namespace) -> int:
    from . import __version__
    from .analysis import blending
    from .report import Report, write_json

    started = time.perf_counter()
    name = args.plan
    _plan_option_check(args, [name])
    if name == "cone-shell" and args.layers is not None:
        raise UsageError("the cone-shell plan lays no layers: drop --layers (set --step instead)")
    layers = None if name == "cone-shell" else (args.layers or 60)
    with _progress(4, "pilora run", "step") as bar:
        study = _study(args)
        plan = _make_plan(name, layers, args, study.bed)
        out = _out_dir(args.out)
        bar.update()
        label = _plan_label(name, layers)
        result = _simulate(study, plan, study.seed, args, label)
        bar.update()
        report = Report(f"Pilora: {label}", _subtitle(study, __version__))
        report.add_settings("Record", _record_settings(study))
        report.add_settings("Bed and plan", {**_bed_settings(study.bed), "plan": repr(plan),
                                             "passes": plan.passes(study.record, study.bed),
                                             "seed": study.seed,
                                             "command": _command_line(args, study.seed)})
        digest = _run_outputs(result, out, report, "Result")
        bar.update()
        digest["command"] = {"name": "run", "plan": name, "layers": layers,
                             "line": _command_line(args, study.seed), "record": study.source}
        write_json(digest, out / "summary.json")
        report.write(out / "report.html")
        bar.update()
    without = blending(result, end_cones=False)
    print(f"pilora run: {label} on a {_bed_text(study.bed)} bed, {study.source}, seed {study.seed}")
    print(f"homogenisation effect without end cones (same mass): {_headline(without)}")
    print(f"wrote {out / 'report.html'} and the tables, summary and figures in "
          f"{time.perf_counter() - started:.1f} s")
    return 0


def _subtitle(study: _Study, version: str) -> str:
    return f"{study.source} · {_bed_text(study.bed)} bed · seed {study.seed} · pilora {version}"


def _compare(args: argparse.Namespace) -> int:
    from . import __version__
    from .analysis import blending, flow_variability
    from .report import Figure, Report, write_json, write_table

    started = time.perf_counter()
    _plan_option_check(args, args.plans)
    study = _study(args)
    if study.seed + args.repeats > 2**63:
        raise UsageError(f"seeds {study.seed} to {study.seed + args.repeats - 1} pass 2**63 - 1: give a smaller --seed")
    cells = [(name, None if name == "cone-shell" else layers)
             for name in args.plans for layers in (args.layers if name in LAYERED else (None,))]
    plans = {}
    for name, layers in cells:
        plans[name, layers] = _make_plan(name, layers, args, study.bed)
    out = _out_dir(args.out)
    parameters = list(study.record.parameters)
    rows = []
    with _progress(len(cells) * args.repeats, "pilora compare", "run") as bar:
        for (name, layers), plan in plans.items():
            label = _plan_label(name, layers)
            for repeat in range(args.repeats):
                bar.set_postfix_str(label)
                seed = study.seed + repeat
                result = _simulate(study, plan, seed, args, label)
                table = blending(result, end_cones=False)
                effects = table["effect_same_mass"]
                row = {"plan": name, "layers": layers, "repeat": repeat, "seed": seed,
                       "passes": plan.passes(study.record, study.bed),
                       **{f"effect_{p}": float(effects[p]) for p in parameters},
                       "worst_effect": float(effects.min()), "worst_parameter": str(effects.idxmin()),
                       "flow_variability": flow_variability(result, end_cones=False)}
                if name == "strata":
                    row["resonant"] = bool(plan.resonance(study.record, study.bed).resonant)
                rows.append(row)
                bar.update()
    grid = pd.DataFrame(rows)
    grid["layers"] = grid["layers"].astype("Int64")
    if "resonant" in grid:
        grid["resonant"] = grid["resonant"].astype("boolean")
    ranking = _rank(grid, parameters)
    write_table(grid, out, "grid")
    write_table(ranking, out, "ranking")

    best = ranking.iloc[0]
    best_layers = None if pd.isna(best["layers"]) else int(best["layers"])
    best_plan = plans[best["plan"], best_layers]
    best_label = _plan_label(best["plan"], best_layers)
    result = _simulate(study, best_plan, study.seed, args, best_label)

    report = Report("Pilora: plans compared", _subtitle(study, __version__))
    report.add_settings("Record", _record_settings(study))
    report.add_settings("Bed and grid", {
        **_bed_settings(study.bed), "plans": args.plans, "layers": args.layers, "repeats": args.repeats,
        "seeds": f"{study.seed} to {study.seed + args.repeats - 1} (repeat r: seed + r, every cell)",
        "command": _command_line(args, study.seed)})
    report.add_table("Ranking", ranking.set_index("rank"), note=(
        "Ranked by the worst homogenisation effect over the parameters (same-mass basis, end cones "
        "left out), the mean over the repeats; worst_effect_std is its spread over the repeats "
        "(ddof 1). effect_<parameter>: mean over the repeats. flow_variability: std of the "
        "reclaimed volume per step (m³), end cones left out. A resonant strata plan lays every "
        "pass on the track of the first: change --swing-period."))
    figure = _plot_ranking(ranking, out / "ranking.png")
    report.add_figures("Ranking: figure", [Figure(figure, "Worst homogenisation effect (same mass, "
                                                          "without end cones) by layers, per plan; bars: "
                                                          "spread over repeats.")])
    digest = _run_outputs(result, out, report, f"Best: {best_label}, seed {study.seed}")
    report.write(out / "report.html")
    write_json({"version": __version__, "seed": study.seed, "record": study.source,
                "plans": list(args.plans), "layers": list(args.layers), "repeats": args.repeats,
                "command": _command_line(args, study.seed),
                "ranking": ranking.to_dict(orient="records"), "best": digest}, out / "summary.json")

    print(f"pilora compare: {len(cells)} plan settings ({len(args.plans)} plans by layers) x {args.repeats} "
          f"repeats on a {_bed_text(study.bed)} bed, "
          f"{study.source}, seed {study.seed}")
    for _, row in ranking.head(5).iterrows():
        layers = "" if pd.isna(row["layers"]) else f", {int(row['layers'])} layers"
        print(f"  {int(row['rank'])}. {row['plan']}{layers}: worst effect {row['worst_effect']:.2f}")
    print(f"wrote {out / 'report.html'} and the tables, summary and figures in "
          f"{time.perf_counter() - started:.1f} s")
    return 0


def _rank(grid: pd.DataFrame, parameters: Sequence[str]) -> pd.DataFrame:
    """One row per (plan, layers): means over the repeats, ranked by the worst effect (highest first)."""
    keys = ["plan", "layers"]
    measures = [f"effect_{p}" for p in parameters] + ["flow_variability"]
    grouped = grid.groupby(keys, sort=False, dropna=False)
    ranking = grouped[["worst_effect", *measures]].mean().reset_index()
    spread = grouped["worst_effect"].std(ddof=1).reset_index(drop=True)
    ranking.insert(3, "worst_effect_std", spread.to_numpy())
    if "resonant" in grid:
        ranking["resonant"] = grouped["resonant"].any().reset_index(drop=True).astype("boolean")
    order = np.lexsort((ranking["layers"].fillna(0).to_numpy(), ranking["plan"].to_numpy(),
                        -ranking["worst_effect"].to_numpy()))
    ranking = ranking.iloc[order].reset_index(drop=True)
    ranking.insert(0, "rank", np.arange(1, len(ranking) + 1))
    return ranking


def _plot_ranking(ranking: pd.DataFrame, path: Path) -> Path:
    """Worst effect by layer count, one line per plan (plans without layers as a dashed level)."""
    from matplotlib.figure import Figure as MplFigure

    from .figures import save_figure

    fig = MplFigure(figsize=(7, 4), layout="constrained")
    ax = fig.subplots()
    for plan, rows in ranking.groupby("plan", sort=False):
        rows = rows.sort_values("layers")
        spread = rows["worst_effect_std"].fillna(0.0).to_numpy()
        if rows["layers"].isna().all():
            ax.axhline(float(rows["worst_effect"].iloc[0]), ls="--", lw=1, label=str(plan))
        else:
            ax.errorbar(rows["layers"].astype(float), rows["worst_effect"], yerr=spread, marker="o",
                        capsize=3, label=str(plan))
    ax.axhline(1.0, color="0.3", ls=":", lw=0.8)
    ax.set_xlabel("layers")
    ax.set_ylabel("worst H (same mass, without end cones)")
    ax.legend(fontsize="small")
    return save_figure(fig, path)


# ---------------------------------------------------------------------------------------------


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the ``pilora`` command with ``argv`` (default: ``sys.argv[1:]``); returns the exit status.

    0: done; 2: a mistake in the command line or the record, reported on stderr as
    ``pilora: error: ...`` with what to fix (never a traceback); 130: interrupted.
    """
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except _Exit as done:
        return done.status
    args.argv = argv
    try:
        return int(args.handler(args))
    except UsageError as error:
        print(f"pilora {args.command}: error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"pilora {args.command}: interrupted", file=sys.stderr)
        return 130
