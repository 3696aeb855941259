"""Figures of simulation runs, one call each.

Every function returns a :class:`matplotlib.figure.Figure` built without pyplot: nothing is
shown, no GUI backend or display is needed (saving renders with Agg for PNG and the SVG backend
for SVG), and figures are not kept alive by pyplot's registry. Jupyter displays a returned
figure as it displays any other. :func:`save_figure` writes one to PNG or SVG. Axes are in m, h,
m³ or the parameter's own units, as labelled.
"""

from __future__ import annotations

import warnings
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

__all__ = ["decimate", "plot_effects", "plot_heights", "plot_quality", "plot_sections", "plot_sweep", "save_figure", "text"]

# Most points a line is drawn with; longer series are reduced to each bucket's first, lowest,
# highest and last point, which keeps every extreme in view (see :func:`decimate`).
LINE_POINTS = 4000


def _figure(width: float, height: float) -> Figure:
    # Imported on first use: matplotlib costs a third of a second, and most runs draw nothing.
    # Fixed margins (set by each plot) rather than a layout solver: drawing stays fast.
    from matplotlib.figure import Figure

    return Figure(figsize=(width, height))


def _margins(fig: Figure, *, left: float = 0.8, right: float = 0.25, bottom: float = 0.6, top: float = 0.55,
             hspace: float = 0.45, wspace: float = 0.12) -> None:
    """Fixed margins in inches (turned into the figure's fractions)."""
    width, height = fig.get_size_inches()
    fig.subplots_adjust(left=left / width, right=1 - right / width, bottom=bottom / height,
                        top=1 - top / height, hspace=hspace, wspace=wspace)


def text(label: object) -> str:
    """``label`` as matplotlib draws it literally: dollar signs escaped, so that a name such as
    ``cost $\\frac{a}$`` is not read as mathtext (which may fail to parse)."""
    return str(label).replace("$", r"\$")


def decimate(x: np.ndarray, y: np.ndarray, limit: int = LINE_POINTS) -> tuple[np.ndarray, np.ndarray]:
    """At most about ``limit`` points of the line (x, y) with every bucket's extremes kept.

    Series of up to ``limit`` points come back as they are. Longer ones are cut into ``limit / 4``
    buckets of consecutive points, each reduced to its first, lowest, highest and last point in
    their order (NaN points are dropped first), so the drawn line has the same envelope.
    """
    x = np.asarray(x, dtype=float)
    y = np.asarray(y, dtype=float)
    if len(x) <= limit:
        return x, y
    keep = np.isfinite(y)
    x, y = x[keep], y[keep]
    if len(x) <= limit:
        return x, y
    buckets = max(limit // 4, 1)
    edges = np.linspace(0, len(x), buckets + 1).astype(np.int64)
    chosen: list[np.ndarray] = []
    for lo, hi in zip(edges[:-1], edges[1:], strict=True):
        if hi <= lo:
            continue
        part = y[lo:hi]
        chosen.append(np.unique(np.array([lo, lo + int(np.argmin(part)), lo + int(np.argmax(part)), hi - 1])))
    index = np.concatenate(chosen)
    return x[index], y[index]


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
    time (h from the record's start, thin) and their averages in blocks of the stated mass
    (:func:`pilora.blending`'s block basis, ``attrs["block_mass"]`` t: by default one hour of
    feed; steps, each over its block's time span). Right: the reclaimed rows along the reclaim
    axis (m, at each step's mid-point), with the input's mean and a band of one standard deviation
    of the input's block averages either side; end cones are shaded. The title gives H on the
    block basis and per record interval. Both sides share the quality axis, so the narrowing is
    visible at a glance. ``end_cones=False`` leaves the end-cone rows and the input that went
    there out of the curves and the band.
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
    unit = "t" if result.record.bulk_density is not None else "m³"
    blocked = "effect_block" in table  # the stated basis; tables without it have the per-row blocks
    block_std, block_effect = ("std_in_block", "effect_block") if blocked else ("std_in_same_mass", "effect_same_mass")
    basis = f"blocks of {block_mass:,.0f} {unit}" if blocked else "same mass"

    fig = _figure(10, 2.6 * len(names) + 0.6)
    axes = fig.subplots(len(names), 2, sharey="row", squeeze=False, width_ratios=(1, 1.4))
    for row, name in enumerate(names):
        left, right = axes[row]
        left.plot(*decimate(counted["time"], counted[name]), lw=0.5, color="0.55", label="record rows")
        if len(blocks):
            left.step(*decimate(blocks[:, 0], blocks[:, row + 1]), where="mid", lw=1.2, color="C0",
                      label=f"blocks of {block_mass:,.0f} {unit}")
        left.set_ylabel(text(name))
        mean, std = table.at[name, "mean_in"], table.at[name, block_std]
        if end_cones:
            _shade_cones(right, result)
        right.axhspan(mean - std, mean + std, color="C0", alpha=0.12, lw=0,
                      label=f"input mean ± std ({basis})")
        right.axhline(mean, color="C0", lw=0.8)
        right.plot(*decimate(middle, outputs[name]), color="C1", lw=1.2, label="reclaimed")
        right.set_title(f"H = {table.at[name, block_effect]:.2f} ({basis}), "
                        f"{table.at[name, 'effect_interval']:.2f} (per interval)", fontsize="small")
        if row == 0:
            left.set_title("input", fontsize="small", loc="left")
            left.legend(fontsize="x-small", loc="best")
            right.legend(fontsize="x-small", loc="best")
    axes[-1, 0].set_xlabel("stacking time (h)")
    axes[-1, 1].set_xlabel("position along the reclaim axis (m)")
    fig.suptitle(f"{type(result.plan).__name__}: input and reclaimed quality")
    _margins(fig, left=0.9, top=0.6 if len(names) > 1 else 0.75)
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
    _margins(fig, left=0.8, right=0.3, top=0.45)
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
        top.step(*decimate(along, heights[k]), where="mid", label=f"z = {value:g} m")
    top.set_ylim(bottom=0.0)
    top.set_xlabel("x along the bed (m)")
    top.set_ylabel("height (m)")
    top.set_title("along the bed", fontsize="small", loc="left")
    top.legend(fontsize="x-small")
    for value, i in zip(xs, _cells(xs, nx, c), strict=True):
        bottom.step(*decimate(across, heights[:, i]), where="mid", label=f"x = {value:g} m")
    bottom.set_ylim(0.0, max(float(heights.max(initial=0.0)), c) * 1.15)
    bottom.set_aspect("equal", adjustable="box")
    bottom.set_xlabel("z across the bed (m)")
    bottom.set_ylabel("height (m)")
    bottom.set_title("across the bed", fontsize="small", loc="left")
    bottom.legend(fontsize="x-small")
    fig.suptitle(f"{type(result.plan).__name__}: sections")
    _margins(fig, top=0.65, hspace=0.35)
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
    basis: str = "block",
    end_cones: bool = True,
) -> Figure:
    """Homogenisation effect per parameter, as grouped bars, one colour per run.

    ``results``: one :class:`Result`, a table from :func:`blending`, or a mapping of names to
    either (several plans side by side; the names label the bars; derived qualities are bars
    like any parameter). ``basis``: ``"block"`` (the stated basis, blocks of
    ``attrs["block_mass"]`` t, one hour of feed by default), ``"same_mass"`` (blocks of a
    reclaimed row's mass, a figure of the grid) or ``"interval"``. ``end_cones`` is passed to
    :func:`blending` for the results (tables are drawn as given). A dashed line marks H = 1 (no
    blending); a parameter whose input does not vary has no bar.
    """
    if basis not in ("block", "same_mass", "interval"):
        raise ValueError(f"basis must be 'block', 'same_mass' or 'interval', got {basis!r}")
    column = f"effect_{basis}"
    tables = _effect_tables(results, end_cones)
    missing = [name for name, table in tables.items() if column not in table]
    if missing:
        raise ValueError(f"the table {missing[0]!r} has no {column} column: give basis='same_mass' or 'interval'")
    parameters = list(dict.fromkeys(p for t in tables.values() for p in t.index))
    width = 0.8 / max(len(tables), 1)
    fig = _figure(min(12.0, max(5.0, 0.8 * len(parameters) * max(len(tables), 1) ** 0.5 + 2)), 4)
    ax = fig.subplots()
    positions = np.arange(len(parameters))
    for j, (name, table) in enumerate(tables.items()):
        heights = table[column].reindex(parameters).to_numpy(dtype=float)
        bars = ax.bar(positions + (j - (len(tables) - 1) / 2) * width, heights, width, label=text(name))
        ax.bar_label(bars, fmt="%.2f", fontsize="x-small", padding=1)
    ax.axhline(1.0, color="0.3", ls="--", lw=0.8)
    ax.set_xticks(positions, [text(p) for p in parameters])
    masses = {(float(t.attrs["block_mass"]), "m³" if "m³" in str(t.attrs.get("basis", "")) else "t")
              for t in tables.values() if "block_mass" in t.attrs}
    shown = ("blocks of {:,.0f} {}".format(*masses.pop()) if basis == "block" and len(masses) == 1 else
             basis.replace("_", " "))
    ax.set_ylabel(f"H = std in / std out ({shown})")
    ax.set_title("homogenisation effect" + ("" if end_cones else " without end cones"), fontsize="medium")
    if len(tables) > 1 or next(iter(tables), ""):
        ax.legend(fontsize="small")
    _margins(fig, bottom=0.7)
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
    from .report import replaced_atomically

    with replaced_atomically(path) as temporary, warnings.catch_warnings():
        # A name in a script the font lacks (a CJK header) is drawn as a box; matplotlib warns on
        # standard error once per glyph, which tells a command's user nothing to do.
        warnings.filterwarnings("ignore", message=r"Glyph \d+ .*missing from", category=UserWarning)
        fig.savefig(temporary, format=fmt, dpi=dpi, metadata={"Date": None} if fmt == "svg" else None)
    return path


def plot_sweep(ranking: pd.DataFrame, *, by: str | None = None, measure: str = "worst_effect") -> Figure:
    """A measure of a comparison against the swept setting, one line per plan, with its band.

    ``ranking``: the frame :func:`pilora.compare` returns (columns ``plan``, ``speed`` (m/min)
    and/or ``layers``, ``<measure>`` and, with replicates, ``<measure>_low`` and
    ``<measure>_high``). ``by``: ``"speed"`` or ``"layers"`` (default: ``speed`` when the
    comparison swept speeds). A plan without the setting (cone-shell) is drawn as a dashed level
    across the axis. The points are the geometric means over the replicates and the band their
    interval (on the logarithm, as :func:`pilora.replicates.interval` gives it); a line whose band
    is wide depends on chance (the seed, and where the record's events fell on the passes).
    """
    if by is None:
        by = ranking.attrs.get("swept") or ("speed" if ranking.get("speed") is not None
                                              and ranking["speed"].notna().any() else "layers")
    if by not in ("speed", "layers"):
        raise ValueError(f"by must be 'speed' or 'layers', not {by!r}")
    fig = _figure(7.5, 4.2)
    ax = fig.subplots()
    low, high = f"{measure}_low", f"{measure}_high"
    banded = low in ranking and high in ranking
    for j, (plan, rows) in enumerate(ranking.groupby("plan", sort=False)):
        colour = f"C{j % 10}"
        values = rows[by] if by in rows else pd.Series(np.nan, index=rows.index)
        if values.isna().all():
            level = float(rows[measure].iloc[0])
            ax.axhline(level, ls="--", lw=1, color=colour, label=text(plan))
            if banded and np.isfinite(rows[low].iloc[0]):
                ax.axhspan(float(rows[low].iloc[0]), float(rows[high].iloc[0]), color=colour, alpha=0.1, lw=0)
            continue
        rows = rows.assign(_x=values.astype(float)).sort_values("_x")
        ax.plot(rows["_x"], rows[measure], marker="o", ms=4, color=colour, label=text(plan))
        if banded and rows[low].notna().any():
            ax.fill_between(rows["_x"], rows[low].astype(float), rows[high].astype(float), color=colour,
                            alpha=0.18, lw=0)
    ax.axhline(1.0, color="0.3", ls=":", lw=0.8)
    ax.set_xlabel("stacker speed while stacking (m/min)" if by == "speed" else "layers (one-way passes)")
    ax.set_ylabel("worst H (without end cones)" if measure == "worst_effect" else text(measure))
    coverage = ranking.attrs.get("coverage")
    band = f"; geometric means, bands: their {coverage:.0%} intervals" if banded and coverage else ""
    ax.set_title(f"worst homogenisation effect by {by}{band}", fontsize="medium")
    ax.legend(fontsize="small")
    _margins(fig, left=0.75, bottom=0.6, top=0.4)
    return fig
