"""What every subcommand of the ``pilora`` command shares: option values, the record, bed and plan
options, the checks that refuse a study before it runs, and the output folder.

Every mistake becomes a :class:`UsageError` whose message is one line that says what to change;
the command prints it and exits with status 2. Checks that cost nothing run before any
simulation: the grid's cell count and the chunks the record makes (so that a grid far too fine is
refused at once, not after minutes), the reclaim step against the bed, the plan against the bed
and the grid, and the end cones against the bed (a bed whose end cones cover it leaves nothing to
measure).

Conventions: lengths in m, volumes in m³, masses in t, bulk densities in t/m³, times in h (plan
speeds in m/min, swing periods in minutes), angles in degrees.
"""

from __future__ import annotations

import argparse
import math
import os
import re
import secrets
import shlex
import sys
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

__all__ = [
    "DEFAULT_OUT",
    "DEFAULT_SEED",
    "LAYERED",
    "MAX_CELLS",
    "MAX_CHUNKS",
    "PLAN_NAMES",
    "Study",
    "UNITS",
    "UsageError",
    "add_study_arguments",
    "VISIBLE_ENV",
    "bed_text",
    "build_study",
    "check_visible",
    "check_plan",
    "command_line",
    "make_plan",
    "output_folder",
    "plan_label",
    "plan_option_check",
    "simulate_checked",
]

DEFAULT_SEED = 1
DEFAULT_OUT = "pilora-out"
PLAN_NAMES = ("chevron", "windrow", "strata", "cone-shell", "chevcon")
LAYERED = ("chevron", "windrow", "strata", "chevcon")

#: Most grid cells a study may ask for (a grid of 5000 x 4000 cells takes about 80 MB).
MAX_CELLS = 20_000_000
#: Most unit chunks a record may be stacked as (about 40 s of stacking on one core).
MAX_CHUNKS = 100_000_000
#: Fewest reclaimed rows a study may leave along the bed.
MIN_ROWS = 10
#: Most cones a cone-shell plan may pour (--step): a few thousand already take minutes.
MAX_CONES = 2_000

# Folders of the operating system that the command never writes into (nor below).
SYSTEM_FOLDERS = ("/bin", "/boot", "/dev", "/etc", "/lib", "/lib32", "/lib64", "/libx32", "/proc",
                  "/run", "/sbin", "/sys", "/usr", "/var/lib", "/var/cache", "/var/log", "/var/spool",
                  "/var/mail", "/var/backups")

UNITS = """\
units: lengths in m, volumes in m³, masses in t, flows in t/h, bulk density in t/m³, record times
in h (or dates), stacker speeds in m/min, swing periods in minutes, angles in degrees. H
(homogenisation effect) = std in / std out, mass weighted, the input and the reclaimed material
each in blocks of one hour of the record's mean feed (t) first; flow variability in % (CV).
exit status: 0 done, 2 a mistake in the command or the record (the message says what to fix)."""


#: The environment variable through which scripts/pilora names the host folders the command can
#: see inside the toolchain's root (the current folder and the checkout, separated by
#: ``os.pathsep``); a record or an --out elsewhere would be missing there, or written into the
#: root instead of the host. Unset (the command run directly): every folder is visible.
VISIBLE_ENV = "PILORA_VISIBLE"


class UsageError(Exception):
    """A mistake in the command line or its input; the message says what to fix (exit status 2)."""


def amount(value: float) -> str:
    """A volume or mass for a message: ``12,345`` (whole units), or ``3.38e+299`` beyond a billion
    or below one (a number, not a line of digits)."""
    return f"{value:,.0f}" if 1 <= abs(value) < 1e9 or value == 0 else f"{value:.3g}"


def tidy(message: str) -> str:
    """A library message with long decimals rounded to four significant digits (0.3333333432674408
    becomes 0.3333)."""
    return re.sub(r"(?<![\w.])\d+\.\d{6,}(?:e[-+]?\d+)?", lambda m: f"{float(m.group()):.4g}", message)


# ---------------------------------------------------------------------------------------------
# Option values


def number(text: str, what: str) -> float:
    """``text`` as a finite float; argparse's error naming ``what`` (a unit) otherwise."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number ({what})") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number ({what})")
    return value


def finite(unit: str) -> Callable[[str], float]:
    """Parser of a finite number in ``unit`` (zero and negative numbers too: the plan says whether
    it lies on the bed)."""
    def parse(text: str) -> float:
        return number(text, unit)

    return parse


def positive(unit: str) -> Callable[[str], float]:
    """Parser of a finite number above 0 in ``unit``."""
    def parse(text: str) -> float:
        value = number(text, unit)
        if not value > 0:
            raise argparse.ArgumentTypeError(f"{text} must be above 0 ({unit})")
        return value

    return parse


def between(low: float, high: float, unit: str, *, closed: bool = False,
            high_closed: bool = False) -> Callable[[str], float]:
    """Parser of a number within (low, high); ``closed``: [low, high]; ``high_closed``: (low, high]."""
    def parse(text: str) -> float:
        value = number(text, unit)
        if closed:
            inside, bounds = low <= value <= high, f"from {low:g} to {high:g}"
        elif high_closed:
            inside, bounds = low < value <= high, f"above {low:g} and at most {high:g}"
        else:
            inside, bounds = low < value < high, f"above {low:g} and below {high:g}"
        if not inside:
            raise argparse.ArgumentTypeError(f"{text} must be {bounds} ({unit})")
        return value

    return parse


def count(text: str) -> int:
    """Parser of a whole number of at least 1."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} must be at least 1")
    return value


def bed_size(text: str) -> tuple[float, float]:
    """Parser of ``LENGTHxWIDTH`` in m."""
    match = re.fullmatch(r"\s*([^xX×]+?)\s*[xX×]\s*([^xX×]+?)\s*", text)
    if not match:
        raise argparse.ArgumentTypeError(f"{text!r} is not LENGTHxWIDTH in m, e.g. 200x40")
    length, width = (positive("m")(part) for part in match.groups())
    return length, width


def seed(text: str) -> int | None:
    """Parser of a seed from 0 to 2**63 - 1, or ``random`` (None)."""
    if text.strip().lower() == "random":
        return None
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number or 'random'") from None
    if not 0 <= value < 2**63:
        raise argparse.ArgumentTypeError(f"{text} must be from 0 to 2**63 - 1")
    return value


# ---------------------------------------------------------------------------------------------
# The options every subcommand has


def add_study_arguments(parser: argparse.ArgumentParser) -> None:
    """The record, bed, plan-setting and output options shared by ``run`` and ``compare``."""
    from .records import add_record_arguments

    add_record_arguments(parser)
    bed = parser.add_argument_group("bed")
    bed.add_argument("--bed", type=bed_size, default=(200.0, 40.0), metavar="LENGTHxWIDTH",
                     help="bed size in m, along x by across z (default: 200x40). A circular bed is "
                          "the square around its ring")
    bed.add_argument("--circular", action="store_true",
                     help="a circular bed (stacked by the chevcon plan) instead of a linear one")
    bed.add_argument("--reclaim-angle", type=between(0, 90, "degrees", high_closed=True), default=45.0,
                     metavar="DEG", help="angle of the reclaim face, above 0 and at most 90 degrees "
                                         "(default: 45; 90 is a vertical face)")
    bed.add_argument("--repose-angle", type=between(0, 90, "degrees"), default=45.0, metavar="DEG",
                     help="angle of repose of the material, above 0 and below 90 degrees (default: 45)")
    resolution = bed.add_mutually_exclusive_group()
    resolution.add_argument("--chunks-per-m3", type=positive("chunks per m³"), metavar="N",
                            help="model resolution: unit chunks per m³, more is finer and slower "
                                 "(default: cells of width / 120, 27 per m³ on a 40 m wide bed at "
                                 "45°). Averaged over seeds, effects on the default cells lie within "
                                 "about 6.5%% of the finest grid's (5%% from width / 160, see "
                                 "docs/model.md, section 3); a single run's can differ far more, so "
                                 "compare plans over seeds ('pilora compare')")
    resolution.add_argument("--cell-size", type=positive("m"), metavar="M",
                            help="model resolution as the edge of a grid cell in m, instead of "
                                 "--chunks-per-m3 (default: width / 120)")
    bed.add_argument("--eight-neighbour", type=between(0, 1, "a probability", closed=True), default=0.85,
                     metavar="P", help="probability that a sliding chunk looks at all eight neighbours "
                                       "rather than four, 0 to 1 (default: 0.85, the roundest cones)")
    bed.add_argument("--reclaim-increment", type=positive("m"), metavar="M",
                     help="length of a reclaim step in m (default: the cell size)")
    plan = parser.add_argument_group("plan settings (each used by the plan it names)")
    plan.add_argument("--rows", type=count, metavar="N", help="windrow: rows per layer (default: 4)")
    plan.add_argument("--swing-period", type=positive("minutes"), metavar="MIN",
                      help="strata: time of one full swing across and back, in minutes (default: 7)")
    plan.add_argument("--step", type=positive("m"), metavar="M",
                      help="cone-shell: distance between cone positions in m (default: 10)")
    plan.add_argument("--tail", type=positive("m"), metavar="M",
                      help="chevcon: length of the arc the boom swings over, in m (default: a third "
                           "of the reclaim arc)")
    plan.add_argument("--start", type=finite("m"), metavar="M",
                      help="chevron, windrow, strata: where the first pass starts along the bed in m; "
                           "cone-shell: the first cone's position (default: open ends, far enough in "
                           "for the end cones to form on the bed at the angle of repose)")
    plan.add_argument("--end", type=finite("m"), metavar="M",
                      help="chevron, windrow, strata: the other reversal point along the bed in m; "
                           "cone-shell: the limit of the cone positions (default: open ends, as --start)")
    out = parser.add_argument_group("output")
    out.add_argument("--seed", type=seed, default=DEFAULT_SEED, metavar="N",
                     help=f"seed of the random draws, 0 to 2**63 - 1, or 'random' (default: {DEFAULT_SEED}); "
                          "the same command and seed give byte-identical tables")
    out.add_argument("--out", type=Path, default=Path(DEFAULT_OUT), metavar="DIR",
                     help=f"folder for the outputs, made when missing (default: ./{DEFAULT_OUT}); "
                          "files of an earlier study there are replaced (each written beside and "
                          "renamed; links are replaced, never written through). A folder holding "
                          "the record under an output's name, and system folders, are refused")


# ---------------------------------------------------------------------------------------------
# The study: record and bed


@dataclass(frozen=True)
class Study:
    """What a subcommand runs on: the record (and where it came from), the bed, the seed."""

    record: Any  # pilora.Record
    source: str
    bed: Any  # pilora.BedSettings
    seed: int
    path: Path | None = None  # the record's file; None for the sample
    notes: tuple[str, ...] = ()  # what reading the record detected and found, one line each
    findings: Any = None  # pilora.check_record's table, where the record options provide it


def _resolution_option(args: argparse.Namespace) -> str:
    if getattr(args, "cell_size", None) is not None:
        return f"--cell-size {args.cell_size:g}"
    if getattr(args, "chunks_per_m3", None) is not None:
        return f"--chunks-per-m3 {args.chunks_per_m3:g}"
    return "the default cells (width / 120)"


def _refuse_cells(args: argparse.Namespace, length: float, width: float, cell: float) -> None:
    cells = (length / cell) * (width / cell)
    if not cells <= MAX_CELLS:
        raise UsageError(
            f"a {length:g} x {width:g} m bed in cells of {cell:.3g} m ({_resolution_option(args)}) is "
            f"{cells:.3g} cells, more than {MAX_CELLS:.3g}: give a smaller --bed or a larger --cell-size "
            f"(at least {math.sqrt(length * width / MAX_CELLS):.3g} m)")


def _check_cells(args: argparse.Namespace, length: float, width: float) -> None:
    """The grid's size from the options alone, before the bed's settings are built (whose grid
    arithmetic overflows on absurd sizes); the cell as the core resolves it to within a percent."""
    if args.cell_size is not None:
        cell = float(args.cell_size)
    elif args.chunks_per_m3 is not None:
        cell = (1.0 / (args.chunks_per_m3 * math.tan(math.radians(args.repose_angle)))) ** (1.0 / 3.0)
    else:
        cell = width / 120.0
    _refuse_cells(args, length, width, cell * 1.01)


def _check_grid(args: argparse.Namespace, bed: Any, record: Any) -> None:
    """Refuses, before anything is allocated, a grid or a chunk count far beyond a study's size."""
    length, width = bed.length, bed.width
    try:
        cell = float(bed.cell_size)
        chunks_per_m3 = float(bed.resolved_chunks_per_volume_unit)
    except (ValueError, OverflowError, ArithmeticError) as error:
        raise UsageError(f"--bed {length:g}x{width:g} with {_resolution_option(args)}: {error}") from None
    _refuse_cells(args, length, width, cell)
    chunks = record.total_volume * chunks_per_m3
    if not chunks <= MAX_CHUNKS:
        finest = (record.total_volume / MAX_CHUNKS / math.tan(math.radians(bed.repose_angle))) ** (1 / 3)
        raise UsageError(
            f"the record's {amount(record.total_volume)} m³ in cells of {cell:.3g} m ({_resolution_option(args)}) "
            f"are {chunks:.3g} chunks, more than {MAX_CHUNKS:.3g} (minutes of simulation): give a larger "
            f"--cell-size (at least {finest:.3g} m) or fewer --chunks-per-m3")
    axis = bed.arc_length if bed.circular else length
    fewest = axis / cell * cell**3  # a cube of a cell per cell along the bed: less leaves rows empty
    if not record.total_volume >= fewest:
        density = record.bulk_density
        why = ("every mass is 0" if record.total_volume == 0 else
               f"{amount(record.total_volume)} m³, less than a {cell:.3g} m cell's cube for each of the "
               f"{axis / cell:.0f} cells along the bed, {fewest:.3g} m³")
        check = (f"check the masses and --bulk-density {density:g} t/m³ (crushed limestone: about 1.5)"
                 if density is not None else "check the volumes (m³)")
        raise UsageError(f"the record holds almost no volume ({why}): {check}")
    increment = getattr(args, "reclaim_increment", None)
    if increment is not None:
        if increment < cell / 10:
            raise UsageError(f"--reclaim-increment {increment:g} m is finer than a tenth of the cell "
                             f"({cell:.3g} m): give at least {cell / 10:.3g} m (default: the cell size)")
        if increment > axis / MIN_ROWS:
            raise UsageError(f"--reclaim-increment {increment:g} m leaves fewer than {MIN_ROWS} reclaimed "
                             f"rows along the {axis:g} m bed: give at most {axis / MIN_ROWS:.3g} m "
                             f"(default: the cell size, {cell:.3g} m)")


def visible_folders() -> tuple[str, ...]:
    """The host folders the command sees when scripts/pilora runs it in the toolchain's root
    (:data:`VISIBLE_ENV`), as real paths; empty when it runs directly (every folder visible)."""
    value = os.environ.get(VISIBLE_ENV, "")
    return tuple(os.path.realpath(p) for p in value.split(os.pathsep) if p)


def check_visible(args: argparse.Namespace) -> None:
    """Refuses a RECORD or an --out outside the folders scripts/pilora makes visible, before the
    record is read: such a record is missing in the root, and outputs written there would be lost."""
    folders = visible_folders()
    if not folders:
        return
    for what, path in (("RECORD", getattr(args, "record", None)), ("--out", getattr(args, "out", None))):
        if path is None or any(_inside(os.path.realpath(path), folder) for folder in folders):
            continue
        shown = " and ".join(folders)
        raise UsageError(f"{what} {str(path)!r} is outside the folder{'s' if len(folders) > 1 else ''} "
                         f"scripts/pilora runs in ({shown}): run it from a folder that holds both the "
                         f"record and --out")


def build_study(args: argparse.Namespace) -> Study:
    """The record, bed and seed the options name, every cheap check passed."""
    from ..settings import BedSettings
    from .records import load_record, record_findings, record_notes

    check_visible(args)
    record, source = load_record(args)
    length, width = args.bed
    _check_cells(args, length, width)
    try:
        if args.cell_size is not None:
            bed = BedSettings(length, width, reclaim_angle=args.reclaim_angle, cell_size=args.cell_size,
                              circular=args.circular, eight_neighbour_probability=args.eight_neighbour,
                              repose_angle=args.repose_angle)
        else:
            bed = BedSettings(length, width, reclaim_angle=args.reclaim_angle,
                              chunks_per_volume_unit=args.chunks_per_m3, circular=args.circular,
                              eight_neighbour_probability=args.eight_neighbour, repose_angle=args.repose_angle)
    except (ValueError, OverflowError) as error:
        raise UsageError(f"--bed {length:g}x{width:g} with {_resolution_option(args)}: {error}") from None
    limit = bed.heap_capacity  # the largest heap at the angle of repose, its end cones on the bed
    if record.total_volume > limit:
        raise UsageError(
            f"the record holds {amount(record.total_volume)} m³ but a {bed_text(bed)} bed holds at most "
            f"{limit:,.0f} m³ in one heap at a repose angle of {bed.repose_angle:g}°: give a larger "
            f"--bed (or a shorter record)")
    _check_grid(args, bed, record)
    chosen = secrets.randbits(63) if args.seed is None else args.seed
    path = getattr(args, "record", None)
    findings = record_findings(record)
    notes = tuple(record_notes(record, findings))
    return Study(record, source, bed, chosen, Path(path) if path is not None else None, notes, findings)


# ---------------------------------------------------------------------------------------------
# Plans


def plan_option_check(args: argparse.Namespace, plans: Sequence[str]) -> None:
    """Refuses plan settings for plans the command does not run, and beds the plans do not stack."""
    owners = {"rows": "windrow", "swing_period": "strata", "step": "cone-shell", "tail": "chevcon"}
    for option, owner in owners.items():
        if getattr(args, option) is not None and owner not in plans:
            flag = "--" + option.replace("_", "-")
            raise UsageError(f"{flag} sets the {owner} plan, which this command does not run: "
                             f"drop {flag} or run --plan{'s' if args.command == 'compare' else ''} {owner}")
    for option in ("start", "end"):
        if getattr(args, option, None) is not None and "chevcon" in plans:
            raise UsageError(f"--{option} sets the reversal points of a linear bed's plan; the chevcon plan "
                             f"of a circular bed has none: drop --{option}")
    if args.circular and any(p != "chevcon" for p in plans):
        raise UsageError("a circular bed is stacked by the chevcon plan only: use --plan chevcon "
                         "or drop --circular")
    if not args.circular and "chevcon" in plans:
        raise UsageError("the chevcon plan stacks circular beds: add --circular (and a square --bed, "
                         "e.g. 120x120)")


def plan_settings(name: str, args: argparse.Namespace, bed: Any) -> dict[str, Any]:
    """The plan's own settings from the options (its defaults where not given)."""
    ends = {key: value for key, value in (("start", getattr(args, "start", None)),
                                           ("end", getattr(args, "end", None))) if value is not None}
    if name == "windrow":
        return {"rows": getattr(args, "rows", None) or 4, **ends}
    if name == "strata":
        return {"swing_period": getattr(args, "swing_period", None) or 7.0, **ends}
    if name == "cone-shell":
        cones = {"first" if key == "start" else "last": value for key, value in ends.items()}
        return {"step": getattr(args, "step", None) or 10.0, **cones}
    if name == "chevron":
        return ends
    if name == "chevcon":
        tail = getattr(args, "tail", None)
        return {"tail": tail if tail is not None else bed.arc_length / 3.0}
    return {}


def make_plan(name: str, *, layers: int | None = None, speed: float | None = None,
              settings: dict[str, Any] | None = None) -> Any:
    """The plan ``name`` with its settings, by layer count or travel speed (m/min); PlanError when
    the settings are not a plan (:func:`pilora.compare.make_plan`)."""
    from ..compare import make_plan as named_plan

    return named_plan(name, settings or {}, speed=speed, layers=layers)


def plan_label(name: str, *, layers: int | None = None, speed: float | None = None) -> str:
    """``chevron, 60 layers`` / ``windrow at 12 m/min`` / ``cone-shell``."""
    if speed is not None:
        return f"{name} at {speed:g} m/min"
    if layers is None:
        return name
    return f"{name}, {layers} {'swings' if name == 'chevcon' else 'layers'}"


# What to change when a plan cuts the record into too many pieces for the grid.
_TOO_MANY_PIECES = {
    "chevron": "give fewer --layers (or a lower speed)",
    "windrow": "give fewer --rows or --layers (or a lower speed)",
    "strata": "give a longer --swing-period or fewer --layers (or a lower speed)",
    "cone-shell": "give a larger --step",
    "chevcon": "give fewer --layers (or a lower speed) or a longer --tail",
}


def check_plan(name: str, plan: Any, study: Study, label: str) -> None:
    """Refuses a plan that does not fit the bed or the grid, before it runs."""
    from ..plans import PlanError

    bed, record = study.bed, study.record
    if name == "windrow":
        rows = int(plan.rows)
        cell = float(bed.cell_size)
        most = max(int(bed.width / cell), 1)
        if rows > most:
            raise UsageError(f"--rows {rows}: {rows} rows across the {bed.width:g} m bed are closer than "
                             f"a cell ({cell:.3g} m): give at most {most} rows")
    if name == "cone-shell":
        step, cell = float(plan.step), float(bed.cell_size)
        axis = bed.arc_length if bed.circular else bed.length
        if step < cell:
            raise UsageError(f"--step {step:g} m is finer than a cell ({cell:.3g} m): give at least {cell:.3g} m "
                             f"(default: 10)")
        if axis / step > MAX_CONES:
            raise UsageError(f"--step {step:g} m makes {axis / step:,.0f} cones along the {axis:g} m bed, more "
                             f"than {MAX_CONES:,}: give at least {axis / MAX_CONES:.3g} m (default: 10)")
    try:
        cones = plan.end_cones(record, bed)
    except PlanError as error:
        raise UsageError(f"{label} does not fit the {bed_text(bed)} bed: {tidy(str(error))}") from None
    except ValueError as error:
        raise UsageError(f"{label}: {tidy(str(error))}: {_TOO_MANY_PIECES.get(name, 'change the plan')}") from None
    axis = bed.arc_length if bed.circular else bed.length
    covered = sum(max(0.0, min(b, axis) - max(a, 0.0)) for a, b in cones)
    if covered >= axis * (1 - 1e-9):
        if bed.reclaim_angle < bed.repose_angle:  # the reclaim face's reach makes most of the cones
            change = (f"reclaim angle {bed.reclaim_angle:g}°: the face reaches far along the bed), "
                      f"leaving nothing to measure without them: give a larger --reclaim-angle (at least "
                      f"the repose angle, {bed.repose_angle:g}°; 90 is a vertical face) or a longer --bed")
        else:
            change = (f"repose angle {bed.repose_angle:g}°), leaving nothing to measure without them: give a "
                      f"smaller --repose-angle (bulk materials: 30 to 45°) or a longer --bed")
        raise UsageError(f"{label}: the end cones cover the whole {axis:g} m bed ({change}")


def simulate_checked(study: Study, plan: Any, seed: int, reclaim_increment: float | None, label: str,
                     name: str, sections: dict[str, tuple[float, ...]] | None = None) -> Any:
    """``pilora.simulate`` with the plan's and the grid's refusals as one-line usage errors;
    ``sections`` as :func:`pilora.simulate` takes them (m)."""
    from ..plans import PlanError
    from ..run import simulate

    try:
        return simulate(study.bed, study.record, plan, seed=seed, reclaim_increment=reclaim_increment,
                        sections=sections)
    except PlanError as error:
        raise UsageError(f"{label} does not fit the {bed_text(study.bed)} bed: {tidy(str(error))}") from None
    except MemoryError:
        raise UsageError(f"{label}: not enough memory for this grid: give a larger --cell-size") from None
    except ValueError as error:
        if "pieces" in str(error):
            raise UsageError(f"{label}: {tidy(str(error))}: {_TOO_MANY_PIECES.get(name, 'change the plan')}") from None
        raise UsageError(f"{label}: {tidy(str(error))}") from None


def check_effects(table: Any, label: str, args: argparse.Namespace, record: Any = None) -> None:
    """Refuses a run whose block-basis effects (end cones left out, ``table`` from
    :func:`pilora.blending`) are NaN for a parameter whose input varies, or whose every quality
    lacks an effect (no worst effect at all): such a run measured nothing, and NaN is not a result.
    ``record``: the run's record, to name the cause (its blocks, its values)."""
    import numpy as np

    effects = table["effect_block"]
    constant = set(table.attrs.get("constant", ()))
    missing = [str(p) for p, v in effects.items() if p not in constant and not np.isfinite(v)]
    if any(np.isfinite(v) for v in effects) and not missing:
        return
    block, blocks = float(table.attrs["block_mass"]), int(table.attrs["blocks"])
    unit = "t" if record is None or record.bulk_density is not None else "m³"
    varies = record is not None and bool(np.any(np.ptp(record.values, axis=0) > 0))
    if not any(np.isfinite(v) for v in effects) and (blocks < 2 or varies):
        # The input's values vary, yet not from block to block: its mass fills fewer than two blocks.
        size = f" of {amount(block)} {unit}" if math.isfinite(block) else ""
        made = "less than one block" if blocks < 1 else "one block" if blocks == 1 else "fewer than two blocks"
        raise UsageError(f"{label}: no quality has a homogenisation effect: the record's mass fills {made}{size} "
                         f"(an hour of its mean feed), fewer than the two an effect compares: give a longer "
                         f"record (at least two hours of feed, spread over time)")
    if missing:
        if record is not None and missing[0] in record.parameters:
            values = record.frame[missing[0]].to_numpy(dtype=float)
            largest = float(np.max(np.abs(values))) if len(values) else 0.0
            if 0 < largest < 1e-100:
                raise UsageError(f"{label}: {missing[0]}'s values (at most {largest:.3g}) are too small to measure "
                                 f"their spread in double precision: give {missing[0]} in larger units")
        increment = getattr(args, "reclaim_increment", None)
        hint = ("give a smaller --reclaim-increment" if increment is not None else
                "give a longer --bed, a smaller --repose-angle or finer cells")
        raise UsageError(f"{label}: the run measured no homogenisation effect for {', '.join(missing)} "
                         f"(too few reclaimed rows outside the end cones): {hint}")
    raise UsageError(f"{label}: no quality parameter varies in the input, so there is no homogenisation "
                     f"effect to measure: give --parameters that vary")


def bed_text(bed: Any) -> str:
    """``200 x 40 m`` (``circular`` added for ring beds)."""
    return f"{bed.length:g} x {bed.width:g} m{' circular' if bed.circular else ''}"


# ---------------------------------------------------------------------------------------------
# Outputs


def _inside(path: str, folder: str) -> bool:
    return path == folder or path.startswith(folder.rstrip("/") + "/")


def output_folder(path: Path, *, names: Iterable[str], record: Path | None, make: bool = True) -> Path:
    """The ``--out`` folder, made when missing, after refusing what would do harm.

    Refused: a file; a system folder of the operating system or a folder below one (the command
    may run as root inside the toolchain's root); a folder where one of the outputs ``names``
    would replace the record (the same file, by any path or link). Checked before anything is
    written; with ``make`` False only checked (the folder is made by a later call, once the run
    has a result to write).
    """
    if path.exists() and not path.is_dir():
        raise UsageError(f"--out {str(path)!r} is a file: give a folder")
    real = os.path.realpath(path)
    if real == "/" or any(_inside(real, folder) for folder in SYSTEM_FOLDERS) or real == "/var":
        raise UsageError(f"--out {str(path)!r} is a system folder ({real}): give a folder of your own")
    if record is not None and path.is_dir():
        for name in names:
            target = path / name
            try:
                same = target.exists() and os.path.samefile(target, record)
            except OSError:
                same = False
            if same or os.path.realpath(target) == os.path.realpath(record):
                raise UsageError(f"--out {str(path)!r} would replace the record {str(record)!r} with the "
                                 f"output {name}: give another --out folder")
    if not make:
        return path
    try:
        path.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise UsageError(f"cannot make the --out folder {str(path)!r}: {error.strerror or error}") from None
    if not os.access(path, os.W_OK):
        raise UsageError(f"cannot write into the --out folder {str(path)!r}: choose another")
    return path


def command_line(args: argparse.Namespace, seed_value: int) -> str:
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
    words += ["--seed", str(seed_value)]
    return shlex.join(words)


class _Quiet:
    """A progress bar that shows nothing (standard error is not a terminal)."""

    def __enter__(self) -> _Quiet:
        return self

    def __exit__(self, *exc: object) -> None:
        return None

    def update(self, n: int = 1) -> None:
        return None

    def set_postfix_str(self, text: str) -> None:
        return None


def progress(total: int, desc: str, unit: str) -> Any:
    """A progress bar on standard error, shown on a terminal only (tqdm is not even imported
    otherwise)."""
    if not sys.stderr.isatty():
        return _Quiet()
    from tqdm import tqdm

    return tqdm(total=total, desc=desc, unit=unit, file=sys.stderr, leave=False, dynamic_ncols=True)


def warm_up() -> None:
    """Imports what the outputs need (matplotlib and its Agg canvas, its fonts, pyarrow) in a
    background thread, while the record is read and the simulation runs with the interpreter
    lock released."""
    import threading

    def load() -> None:
        try:
            import matplotlib.backends.backend_agg  # noqa: F401
            import matplotlib.figure  # noqa: F401
            import matplotlib.font_manager  # noqa: F401
            import pyarrow.parquet  # noqa: F401
        except Exception:  # noqa: BLE001 - the outputs import them again and report any error
            pass

    threading.Thread(target=load, name="pilora-warm-up", daemon=True).start()
