"""Figures of simulation runs, one call each.

Every function returns a :class:`matplotlib.figure.Figure` built without pyplot: nothing is
shown, no GUI backend or display is needed (saving renders with Agg for PNG and the SVG backend
for SVG), and figures are not kept alive by pyplot's registry. Jupyter displays a returned
figure as it displays any other. :func:`save_figure` writes one to PNG or SVG. Axes are in m, h,
m³ or the parameter's own units, as labelled.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

from .analysis import blending, quality_series, same_mass_blocks

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from .run import Result

__all__ = ["plot_effects", "plot_heights", "plot_quality", "plot_sections", "save_figure"]

def _figure(width: float, height: float) -> Figure:
    # Imported on first use: matplotlib costs a third of a second, and most runs draw nothing.
    from matplotlib.figure import Figure

    return Figure(figsize=(width, height), layout="constrained")


def _shade_cones(ax: Axes, result: Result) -> None:
    for i, (start, end) in enumerate(result.end_cones):
        ax.axvspan(start, end, color="0.85", zorder=0, lw=0, label="end cone" if i == 0 else None)


def _parameters(result: Result, parameters: str | Sequence[str] | None) -> list[str]:
    names = list(result.record.parameters)
    if parameters is None:
        return names
    chosen = [parameters] if isinstance(parameters, str) else list(parameters)
    unknown = [p for p in chosen if p not in names]
    if unknown:
        raise ValueError(f"unknown parameters {unknown}; the record has {names}")
    return chosen


def plot_quality(
    result: Result, parameters: str | Sequence[str] | None = None, *, end_cones: bool = True
) -> Figure:
    """Input quality over stacking time beside reclaimed quality along the bed.

    One row per parameter (default: all of the record's). Left: the record's rows over stacking
    time (h from the record's start, thin) and the same-mass blocks that the fair comparison uses
    (steps, each over its block's time span). Right: the reclaimed rows along the reclaim axis
    (m, at each step's mid-point), with the input's mean and a band of one same-mass standard
    deviation either side; end cones are shaded. Both sides share the quality axis, so the
    narrowing is visible at a glance. ``end_cones=False`` leaves the end-cone rows and the input
    that went there out of the curves and the band.
    """
    names = _parameters(result, parameters)
    inputs, outputs = quality_series(result, end_cones=end_cones)
    table = blending(result, end_cones=end_cones)
    counted = inputs[inputs["weight"] > 0]
    block_mass = table.attrs["block_mass"]
    if np.isfinite(block_mass) and len(counted):
        blocks, _ = same_mass_blocks(counted[["time", *names]].to_numpy(), counted["weight"], block_mass)
    else:
        blocks = np.empty((0, len(names) + 1))
    middle = outputs["x"] - result.reclaim_increment / 2

    fig = _figure(10, 2.6 * len(names) + 0.6)
    axes = fig.subplots(len(names), 2, sharey="row", squeeze=False, width_ratios=(1, 1.4))
    for row, name in enumerate(names):
        left, right = axes[row]
        left.plot(counted["time"], counted[name], lw=0.5, color="0.55", label="record rows")
        if len(blocks):
            left.step(blocks[:, 0], blocks[:, row + 1], where="mid", lw=1.2, color="C0",
                      label="same-mass blocks")
        left.set_ylabel(name)
        mean, std = table.at[name, "mean_in"], table.at[name, "std_in_same_mass"]
        if end_cones:
            _shade_cones(right, result)
        right.axhspan(mean - std, mean + std, color="C0", alpha=0.12, lw=0,
                      label="input mean ± std (same mass)")
        right.axhline(mean, color="C0", lw=0.8)
        right.plot(middle, outputs[name], color="C1", lw=1.2, label="reclaimed")
        right.set_title(f"H = {table.at[name, 'effect_same_mass']:.2f} (same mass), "
                        f"{table.at[name, 'effect_interval']:.2f} (per interval)", fontsize="small")
        if row == 0:
            left.set_title("input", fontsize="small", loc="left")
            left.legend(fontsize="x-small", loc="best")
            right.legend(fontsize="x-small", loc="best")
    axes[-1, 0].set_xlabel("stacking time (h)")
    axes[-1, 1].set_xlabel("position along the reclaim axis (m)")
    fig.suptitle(f"{type(result.plan).__name__}: input and reclaimed quality")
    return fig


def plot_heights(result: Result) -> Figure:
    """The heap's height map (m) seen from above: x along the bed, z across it.

    Cells are drawn at their true size (equal aspect); the end cones' ranges are marked by dashed
    lines (along the reclaim axis, which is x on linear beds).
    """
    heights = np.asarray(result.heights)
    nz, nx = heights.shape
    c = result.cell_size
    aspect = nz / max(nx, 1)
    height = min(8.0, max(2.5, 8.5 * aspect + 1.2))
    fig = _figure(min(10.0, (height - 1.2) / aspect + 2.0), height)
    ax = fig.subplots()
    image = ax.imshow(heights, origin="lower", extent=(0, nx * c, 0, nz * c), cmap="viridis",
                      interpolation="nearest", aspect="equal")
    fig.colorbar(image, ax=ax, label="height (m)", shrink=0.9)
    for start, end in result.end_cones:
        for edge in (start, end):
            ax.axvline(edge, color="w", ls="--", lw=0.8)
    ax.set_xlabel("x along the bed (m)")
    ax.set_ylabel("z across the bed (m)")
    ax.set_title(f"{type(result.plan).__name__}: heights, maximum {heights.max(initial=0):.2f} m")
    return fig


def _cells(positions: Sequence[float], count: int, cell: float) -> list[int]:
    return [int(np.clip(np.floor(p / cell), 0, count - 1)) for p in positions]


def plot_sections(
    result: Result, *, x: Sequence[float] | None = None, z: Sequence[float] | None = None
) -> Figure:
    """Sections through the heap: along the bed at ``z`` and across it at ``x`` (both in m).

    Top: height along x at the cells holding each ``z`` (default: the centre line). Bottom:
    height across the bed at the cells holding each ``x`` (default: a quarter, half and three
    quarters of the bed's length), drawn at equal aspect so the cross section shows its true
    slopes. Heights are the stacked heap's (reclaiming does not lower them).
    """
    heights = np.asarray(result.heights)
    nz, nx = heights.shape
    c = result.cell_size
    zs = [nz * c / 2] if z is None else list(z)
    xs = [nx * c * f for f in (0.25, 0.5, 0.75)] if x is None else list(x)
    along, across = (np.arange(nx) + 0.5) * c, (np.arange(nz) + 0.5) * c

    fig = _figure(10, 6.5)
    top, bottom = fig.subplots(2, 1)
    _shade_cones(top, result)
    for value, k in zip(zs, _cells(zs, nz, c), strict=True):
        top.step(along, heights[k], where="mid", label=f"z = {value:g} m")
    top.set_ylim(bottom=0.0)
    top.set_xlabel("x along the bed (m)")
    top.set_ylabel("height (m)")
    top.set_title("along the bed", fontsize="small", loc="left")
    top.legend(fontsize="x-small")
    for value, i in zip(xs, _cells(xs, nx, c), strict=True):
        bottom.step(across, heights[:, i], where="mid", label=f"x = {value:g} m")
    bottom.set_ylim(0.0, max(float(heights.max(initial=0.0)), c) * 1.15)
    bottom.set_aspect("equal", adjustable="box")
    bottom.set_xlabel("z across the bed (m)")
    bottom.set_ylabel("height (m)")
    bottom.set_title("across the bed", fontsize="small", loc="left")
    bottom.legend(fontsize="x-small")
    fig.suptitle(f"{type(result.plan).__name__}: sections")
    return fig


def _effect_tables(
    results: Result | pd.DataFrame | Mapping[str, Result | pd.DataFrame], end_cones: bool
) -> dict[str, pd.DataFrame]:
    items = results.items() if isinstance(results, Mapping) else [("", results)]
    tables = {}
    for name, item in items:
        if isinstance(item, pd.DataFrame):
            tables[str(name)] = item
        else:
            tables[str(name) or type(item.plan).__name__] = blending(item, end_cones=end_cones)
    return tables


def plot_effects(
    results: Result | pd.DataFrame | Mapping[str, Result | pd.DataFrame],
    *,
    basis: str = "same_mass",
    end_cones: bool = True,
) -> Figure:
    """Homogenisation effect per parameter, as grouped bars, one colour per run.

    ``results``: one :class:`Result`, a table from :func:`blending`, or a mapping of names to
    either (several plans side by side; the names label the bars). ``basis``: ``"same_mass"``
    (the fair comparison) or ``"interval"``. ``end_cones`` is passed to :func:`blending` for the
    results (tables are drawn as given). A dashed line marks H = 1 (no blending).
    """
    if basis not in ("same_mass", "interval"):
        raise ValueError(f"basis must be 'same_mass' or 'interval', got {basis!r}")
    column = f"effect_{basis}"
    tables = _effect_tables(results, end_cones)
    parameters = list(dict.fromkeys(p for t in tables.values() for p in t.index))
    width = 0.8 / max(len(tables), 1)
    fig = _figure(min(12.0, max(5.0, 0.8 * len(parameters) * max(len(tables), 1) ** 0.5 + 2)), 4)
    ax = fig.subplots()
    positions = np.arange(len(parameters))
    for j, (name, table) in enumerate(tables.items()):
        heights = table[column].reindex(parameters).to_numpy(dtype=float)
        bars = ax.bar(positions + (j - (len(tables) - 1) / 2) * width, heights, width, label=name)
        ax.bar_label(bars, fmt="%.2f", fontsize="x-small", padding=1)
    ax.axhline(1.0, color="0.3", ls="--", lw=0.8)
    ax.set_xticks(positions, parameters)
    ax.set_ylabel(f"H = std in / std out ({basis.replace('_', ' ')})")
    ax.set_title("homogenisation effect" + ("" if end_cones else " without end cones"), fontsize="medium")
    if len(tables) > 1 or next(iter(tables), ""):
        ax.legend(fontsize="small")
    return fig


def save_figure(fig: Figure, path: str | Path, *, dpi: float = 150) -> Path:
    """Write ``fig`` to ``path``, a ``.png`` or ``.svg`` file (by suffix, any case).

    Creates missing parent folders; ``dpi`` sets the PNG's resolution. Returns the path. Raises
    ValueError for any other suffix.
    """
    path = Path(path)
    fmt = path.suffix.lower().lstrip(".")
    if fmt not in ("png", "svg"):
        raise ValueError(f"save_figure writes .png or .svg files, not {path.suffix or 'no suffix'!r}")
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, format=fmt, dpi=dpi, metadata={"Date": None} if fmt == "svg" else None)
    return path
