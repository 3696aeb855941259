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

from .common import Study, bed_text, heap_limit

__all__ = ["FIGURES", "RUN_OUTPUTS", "MODEL_NOTE", "add_record_and_bed", "add_run", "bed_settings",
           "record_settings", "reclaim_rate", "subtitle"]

# Figures of a run: file stem, caption.
FIGURES = (
    ("quality", "Input quality over stacking time (left) and reclaimed quality along the bed (right); "
                "end cones shaded."),
    ("effects", "Homogenisation effect per parameter, without end cones."),
    ("heights", "The heap's height map as stacked, seen from above; dashed lines bound the end cones."),
    ("sections", "Sections through the heap along the centre line and across the bed."),
)

#: Every file a run writes into its folder.
RUN_OUTPUTS = ("reclaimed.csv", "reclaimed.parquet", "blending.csv", "blending.parquet", "summary.json",
               "report.html", *(f"{stem}.png" for stem, _ in FIGURES))

MODEL_NOTE = (
    "What the model leaves out: the bed is idealised. Material does not segregate by size as it "
    "rolls down the heap, the reclaimer cuts a perfect slice, and the feed's quality is taken as "
    "measured. Real beds blend less, so read every effect as an upper bound and compare plans "
    "with it rather than promise it. See docs/model.md (in the project's documentation) for the "
    "model, its settings and how they move the answer.")

_EFFECT_NOTE = (
    "mean and std: mass weighted, ddof 0, in the parameter's units. effect = std_in / std_out "
    "(H), vrr = H² (variance reduction ratio). Columns ending in _block take the input in blocks of "
    "the stated mass (t) first, the fair basis: H near 1 means the bed did not blend.")


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
        "heap limit (m³)": heap_limit(bed),
    }


def add_record_and_bed(report: Any, study: Study, extra: dict[str, Any]) -> None:
    report.add_settings("Record", record_settings(study))
    findings = study.findings
    if findings is not None and len(findings):
        report.add_table("Record: data quality", findings.head(50), note=(
            f"{len(findings)} finding(s) of pilora.check_record" + (", the first 50 shown" if len(findings) > 50 else "")
            + "; the simulation used the record as read."))
    report.add_settings("Bed and plan", {**bed_settings(study.bed), **extra})


def _flow(result: Any, end_cones: bool) -> tuple[float, float]:
    """(mean, std) of the reclaimed flow in t/h, the bed reclaimed at the record's mean feed rate
    (m³/h without a bulk density), one value per reclaim step of mass; end cones left out on request."""
    reclaimed = result.reclaimed
    density = result.record.bulk_density
    amount = reclaimed["mass"].to_numpy(dtype=float) if density is not None else reclaimed["volume"].to_numpy(dtype=float)
    rate = reclaim_rate(result.record)
    keep = amount > 0
    if not end_cones and result.end_cones:
        middle = reclaimed["x"].to_numpy(dtype=float) - result.reclaim_increment / 2
        for a, b in result.end_cones:
            keep &= ~((middle >= a) & (middle <= b))
    # The reclaimer moves at a steady speed: every step takes the same time, the bed's total
    # over the rate divided among the steps.
    steps = max(int((amount > 0).sum()), 1)
    step_hours = float(amount.sum()) / rate / steps if rate > 0 else math.nan
    flows = amount[keep] / step_hours
    if flows.size == 0:
        return math.nan, math.nan
    return float(flows.mean()), float(flows.std())


def _block_std(table: pd.DataFrame) -> pd.Series:
    for column in ("std_out_block", "std_out"):
        if column in table:
            return table[column]
    return pd.Series(np.nan, index=table.index)


def add_run(report: Any, result: Any, out: Path, heading: str,
            without: pd.DataFrame | None = None) -> tuple[dict[str, Any], pd.DataFrame]:
    """Writes a run's tables and figures into ``out`` and adds its sections to ``report``; returns
    the run's summary and its blending table without end cones (``without``, when given)."""
    from ..analysis import blending, summary
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
    per_block.index.name = "parameter"
    basis = without.attrs.get("basis") or (
        f"blocks of {block:,.0f} {unit}, about {hours:.2g} h of reclaiming at {rate:,.0f} {unit}/h")
    report.add_table(f"{heading}: reclaimed quality, std per block", per_block, note=(
        f"Standard deviation of the quality per block, in and out, end cones left out, in each "
        f"parameter's units; derived qualities included where the record defines them. Basis: "
        f"{basis.rstrip('.')}."))
    report.add_table(f"{heading}: blending without end cones", without, note=_EFFECT_NOTE)
    report.add_table(f"{heading}: blending with end cones", with_cones)
    flow_mean, flow_std = _flow(result, True)
    _, flow_std_inner = _flow(result, False)
    balance = dict(result.balance)
    density = result.record.bulk_density
    amounts = {f"{k} (t)": v * density for k, v in balance.items()} if density is not None else {
        f"{k} (m³)": v for k, v in balance.items()}
    report.add_settings(f"{heading}: amounts and flow", {
        **amounts,
        "end cones (m along the bed)": ", ".join(f"{a:.1f}-{b:.1f}" for a, b in result.end_cones) or "none",
        f"reclaimed flow, mean ({unit}/h)": flow_mean,
        f"reclaimed flow, std ({unit}/h)": flow_std,
        f"reclaimed flow without end cones, std ({unit}/h)": flow_std_inner,
        "reclaimer rate assumed": f"the record's mean feed rate, {rate:,.0f} {unit}/h, steady along the bed",
        "reclaim increment (m)": result.reclaim_increment,
    })
    makers = {
        "quality": lambda: plot_quality(result),
        "effects": lambda: plot_effects(result, end_cones=False),
        "heights": lambda: plot_heights(result),
        "sections": lambda: plot_sections(result),
    }
    figures = []
    for stem, caption in FIGURES:
        path = save_figure(makers[stem](), out / f"{stem}.png", dpi=100)
        figures.append(Figure(path, caption))
    report.add_figures(f"{heading}: figures", figures)
    return summary(result), without
