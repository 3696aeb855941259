"""The outputs every subcommand writes, built in one place: tables, figures, summary and report.

Files are written beside their final name and renamed onto it (:func:`pilora.report.replaced_atomically`):
a reader never sees half a file, and a link in the output folder is replaced, never written
through. Masses in t, flows in t/h, lengths in m.
"""

from __future__ import annotations

import math
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from .common import Study, bed_text

__all__ = ["FIGURES", "INSIDE_FIGURES", "RUN_OUTPUTS", "MODEL_NOTE", "add_record_and_bed", "add_run",
           "bed_settings", "record_settings", "reclaim_rate", "subtitle", "summary_units"]

# Figures of a run: file stem, caption (completed with the run's block basis where it has "{basis}").
FIGURES = (
    ("quality", "Input quality over stacking time in h (left: the record's rows, and their averages in "
                "{basis}) and reclaimed quality along the bed in m (right: one value per reclaimed row, "
                "the band the input's mean ± one std of its block averages); each parameter in its own "
                "units; end cones shaded."),
    ("effects", "Homogenisation effect H = std in / std out per parameter (derived qualities included), "
                "without end cones, on the block basis: {basis}. H is a ratio (no unit); 1 means no blending."),
    ("heights", "The heap's height map as stacked (m), seen from above, x along and z across the bed in "
                "m; dashed lines bound the end cones."),
    ("sections", "The heap's outline (height in m) along the centre line and across the bed at a "
                 "quarter, half and three quarters of its length (m, across at true scale)."),
)

#: Figures of the inside of the bed, drawn when the run recorded a section (``pilora run``).
INSIDE_FIGURES = ("section_time", "section_quality", "heap_3d")

#: Cells along the longer side the 3-D heap is drawn with (the heights sampled every few cells):
#: enough to see the layers' roof and the end cones, few enough to draw in about a third of a second.
HEAP_3D_CELLS = 120

#: Every file a run writes into its folder.
RUN_OUTPUTS = ("reclaimed.csv", "reclaimed.parquet", "blending.csv", "blending.parquet", "summary.json",
               "report.html", *(f"{stem}.png" for stem, _ in FIGURES),
               *(f"{stem}.png" for stem in INSIDE_FIGURES))

MODEL_NOTE = (
    "What the model leaves out: the bed is idealised. Material does not segregate by size as it "
    "rolls down the heap, the reclaimer cuts a perfect slice, and the feed's quality is taken as "
    "measured. Real beds blend less, so read every effect as an upper bound and compare plans "
    "with it rather than promise it. See docs/model.md (in the project's documentation) for the "
    "model, its settings and how they move the answer.")

_EFFECT_NOTE = (
    "mean and std: mass weighted, ddof 0, in the parameter's units. effect = std_in / std_out "
    "(H, a ratio), vrr = H² (variance reduction ratio). Columns ending in _block take the input and "
    "the reclaimed material in blocks of the stated mass (t) first, the fair basis: H near 1 means the "
    "bed did not blend. _same_mass: blocks of a reclaimed row's mass (a figure of the grid); "
    "_interval: the record's rows as they are; std_noise: the input's measurement noise in a block's "
    "average, and effect_material the effect with it taken out.")


def reclaim_rate(record: Any) -> float:
    """The reclaimer's rate assumed for flows in t/h: the record's mean feed rate (t/h; m³/h for a
    record without a bulk density)."""
    amount = record.total_mass if record.bulk_density is not None else record.total_volume
    return float(amount) / record.duration if record.duration > 0 else math.nan


def subtitle(study: Study, version: str) -> str:
    return f"{study.source} · {bed_text(study.bed)} bed · seed {study.seed} · pilora {version}"


def record_settings(study: Study) -> dict[str, Any]:
    record = study.record
    density = record.bulk_density
    settings = {
        "record": study.source,
        "rows": len(record),
        "duration (h)": record.duration,
        "start": str(record.start) if record.start is not None else "-",
        "mass (t)": record.total_mass if density is not None else "-",
        "mean feed rate (t/h)": reclaim_rate(record) if density is not None else "-",
        "volume (m³)": record.total_volume,
        "bulk density (t/m³)": density if density is not None else "-",
        "parameters": record.parameters,
    }
    notes = study.notes or getattr(record, "notes", ())
    if notes:
        settings["read as"] = "; ".join(notes)
    return settings


def bed_settings(bed: Any) -> dict[str, Any]:
    return {
        "bed (m)": bed_text(bed),
        "reclaim angle (°)": bed.reclaim_angle,
        "repose angle (°)": bed.repose_angle,
        "chunks per m³": bed.resolved_chunks_per_volume_unit,
        "cell size (m)": bed.cell_size,
        "eight-neighbour probability": bed.eight_neighbour_probability,
        "heap capacity (m³)": bed.heap_capacity,
    }


def add_record_and_bed(report: Any, study: Study, extra: dict[str, Any]) -> None:
    report.add_settings("Record", record_settings(study))
    findings = study.findings
    if findings is not None and len(findings):
        report.add_table("Record: data quality", findings.head(50), note=(
            f"{len(findings)} finding(s) of pilora.check_record" + (", the first 50 shown" if len(findings) > 50 else "")
            + "; the simulation used the record as read."))
    report.add_settings("Bed and plan", {**bed_settings(study.bed), **extra})


def _block_std(table: pd.DataFrame) -> pd.Series:
    for column in ("std_out_block", "std_out"):
        if column in table:
            return table[column]
    return pd.Series(np.nan, index=table.index)


def summary_units(record: Any) -> dict[str, Any]:
    """The unit of every figure in a run's summary (:func:`pilora.summary`), for summary.json."""
    unit = "t" if record.bulk_density is not None else "m³"
    units = getattr(record, "units", {}) or {}
    return {
        "block_mass": unit,
        "basis": "the blocks the _block columns compare: see 'basis'",
        "blending": {
            "mean_*, std_*": {str(p): units.get(p, "the record's units") for p in
                              (*record.parameters, *(getattr(record, "derived", {}) or {}))},
            "effect_*": "H = std in / std out, a ratio (no unit)",
            "vrr_*": "H², a ratio (no unit)",
            "columns": "_block: blocks of block_mass; _same_mass: blocks of a reclaimed row's mass (a figure "
                       "of the grid); _interval: the record's rows against the reclaimed rows",
        },
        "constant": "parameters whose input does not vary: no effect, left out of every worst effect",
        "flow_variability": f"% (coefficient of variation of the {unit} reclaimed per block of time)",
        "flow_variability_rows": "m³ per reclaim step (a figure of the grid and the step)",
        "balance": "m³",
        "end_cones": "m along the reclaim axis",
        "reclaim_increment": "m",
        "fill": "stacked volume over the bed's heap capacity (1 is a full bed)",
        "record": {"mass": "t", "volume": "m³", "duration": "h"},
        "cells": {"cell_size": "m", "chunk_volume": "m³", "chunks_per_volume_unit": "per m³"},
    }


def add_run(report: Any, result: Any, out: Path, heading: str,
            without: pd.DataFrame | None = None) -> tuple[dict[str, Any], pd.DataFrame]:
    """Writes a run's tables and figures into ``out`` and adds its sections to ``report``; returns
    the run's summary (with the unit of every figure under ``units``) and its blending table
    without end cones (``without``, when given). A run with sections (``pilora run``'s, across
    the bed at mid-length) also gets the figures of the bed's inside."""
    from ..analysis import blending, flow_variability, flow_variability_rows, summary
    from ..figures import plot_effects, plot_heights, plot_quality, plot_sections, save_figure
    from ..report import Figure, write_table

    with_cones = blending(result, end_cones=True)
    if without is None:
        without = blending(result, end_cones=False)
    write_table(result.reclaimed, out, "reclaimed")
    both = pd.concat({"without": without, "with": with_cones}, names=["end_cones"])
    write_table(both, out, "blending")

    rate = reclaim_rate(result.record)
    unit = "t" if result.record.bulk_density is not None else "m³"
    block = without.attrs.get("block_mass", math.nan)
    hours = block / rate if rate > 0 else math.nan
    per_block = pd.DataFrame({"std in": without.get("std_in_block", without.get("std_in_same_mass")),
                              "std out": _block_std(without),
                              "effect H": without.get("effect_block", without.get("effect_same_mass"))})
    per_block.insert(0, "unit", [_unit(result.record, p) for p in per_block.index])
    per_block.index.name = "parameter"
    basis = (without.attrs.get("basis") or (
        f"blocks of {block:,.0f} {unit}, about {hours:.2g} h of reclaiming at {rate:,.0f} {unit}/h")).rstrip(".")
    constant = [str(p) for p in without.attrs.get("constant", ())]
    left_out = (f" {', '.join(constant)} do{'es' if len(constant) == 1 else ''} not vary in the input: no "
                f"effect (shown as -), left out of the worst effect." if constant else "")
    report.add_table(f"{heading}: reclaimed quality, std per block", per_block, note=(
        f"Standard deviation of the quality per block, in and out, end cones left out, in each "
        f"parameter's unit (column 'unit'); derived qualities included where the record defines them. "
        f"Basis: {basis}.{left_out}"))
    report.add_table(f"{heading}: blending without end cones", without,
                     note=f"{_EFFECT_NOTE} Block basis: {basis}.{left_out}")
    report.add_table(f"{heading}: blending with end cones", with_cones, note="As above, end cones included.")
    balance = dict(result.balance)
    density = result.record.bulk_density
    amounts = {f"{k} (t)": v * density for k, v in balance.items()} if density is not None else {
        f"{k} (m³)": v for k, v in balance.items()}
    digest = summary(result)
    digest["units"] = summary_units(result.record)
    report.add_settings(f"{heading}: amounts and flow", {
        **amounts,
        "fill (stacked volume over the bed's heap capacity)": digest.get("fill", math.nan),
        "end cones (m along the bed)": ", ".join(f"{a:.1f}-{b:.1f}" for a, b in result.end_cones) or "none",
        f"reclaimed flow, mean ({unit}/h)": rate,
        f"flow variability (%, CV of the {unit} reclaimed per block of {block:,.0f} {unit})":
            flow_variability(result),
        f"flow variability without end cones (%, CV per block of {block:,.0f} {unit})":
            flow_variability(result, end_cones=False),
        "flow variability per reclaim step (m³, std per step: a figure of the grid)": flow_variability_rows(result),
        "reclaimer rate assumed": f"the record's mean feed rate, {rate:,.0f} {unit}/h, steady along the bed",
        "reclaim increment (m)": result.reclaim_increment,
    })
    makers = {
        "quality": lambda: plot_quality(result),
        "effects": lambda: plot_effects(result, end_cones=False),
        "heights": lambda: plot_heights(result),
        "sections": lambda: plot_sections(result),
    }
    inside = _inside(result, out) if getattr(result, "sections", ()) else []
    aside = _draw_aside([(path, make) for path, _, make in inside])
    figures = []
    try:
        for stem, caption in FIGURES:
            path = save_figure(makers[stem](), out / f"{stem}.png", dpi=100)
            figures.append(Figure(path, caption.format(basis=basis)))
    finally:
        drawn = aside()
    report.add_figures(f"{heading}: figures", figures)
    if inside:
        if not drawn:
            for path, _, make in inside:
                save_figure(make(), path, dpi=100)
        report.add_figures(f"{heading}: inside the bed", [Figure(path, caption) for path, caption, _ in inside])
    return digest, without


def _draw_aside(jobs: list[tuple[Path, Any]]) -> Any:
    """Draws ``jobs`` ((path, figure maker) pairs, saved as PNG) in a forked copy of this process,
    on another core while this one draws the rest; returns a function that waits for the copy
    and tells whether it wrote every file (False: draw them here).

    Matplotlib draws under the interpreter lock, so threads would not help. A fork is only safe
    in a process of one thread: with any other thread alive (or no ``os.fork``) nothing is
    started and the function returned says False at once.
    """
    import os
    import sys
    import threading

    def not_drawn() -> bool:
        return False

    if not jobs or sys.platform != "linux" or not hasattr(os, "fork"):
        return not_drawn
    for thread in threading.enumerate():  # the outputs' imports, warmed up in the background
        if thread.name == "pilora-warm-up":
            thread.join()
    try:
        alone = threading.active_count() == 1 and len(os.listdir("/proc/self/task")) == 1
    except OSError:
        alone = False
    if not alone:
        return not_drawn
    from ..figures import save_figure

    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:  # the copy: draw, and leave without running the parent's exit handlers
        status = 1
        try:
            for path, make in jobs:
                save_figure(make(), path, dpi=100)
            status = 0
        except BaseException:  # noqa: BLE001 - the parent draws them again and reports any error
            pass
        finally:
            os._exit(status)

    def joined() -> bool:
        _, status = os.waitpid(pid, 0)
        return os.waitstatus_to_exitcode(status) == 0 and all(path.exists() for path, _ in jobs)

    return joined


def _unit(record: Any, name: str) -> str:
    return (getattr(record, "units", {}) or {}).get(name, "-")


def _inside(result: Any, out: Path) -> list[tuple[Path, str, Any]]:
    """The figures of the inside, (path, caption, figure maker) each: the run's first section
    coloured by stacking time and by the first parameter, and the heap in 3-D."""
    from ..sections import plot_heap_3d, plot_section

    section = result.sections[0]
    first = result.record.parameters[0]
    unit = _unit(result.record, first)
    unit = f"in {unit}" if unit != "-" else "in the record's units"
    where = (f"across the bed at x = {section.position:g} m" if section.kind == "across" else
             f"along the bed at z = {section.position:g} m")
    cells = (f"cells {section.cell_size:.2g} m wide and {section.cell_height:.2g} m high, each the volume-weighted "
             f"average of the material resting there, blank where none rests; the black line is the heap's outline "
             f"(m). The section shows the heap as stacked (reclaiming does not change it)")
    heights = np.asarray(result.heights)
    step = max(1, math.ceil(max(heights.shape) / HEAP_3D_CELLS))
    return [
        (out / "section_time.png",
         f"A vertical section {where}, coloured by stacking time (h from the record's start); {cells}. "
         f"On a layered plan each pass of the stacker is a roof-shaped band of one colour.",
         lambda: plot_section(result, 0, "time")),
        (out / "section_quality.png", f"The same section coloured by {first} ({unit}); {cells}.",
         lambda: plot_section(result, 0, first)),
        (out / "heap_3d.png",
         f"The heap as stacked, a shaded 3-D surface coloured by height (m); x along and z across the "
         f"bed in m. Drawn every {step * result.cell_size:.2g} m; z and height are stretched where the "
         f"bed is long (the ticks give metres).",
         lambda: plot_heap_3d(result, cells=HEAP_3D_CELLS)),
    ]
