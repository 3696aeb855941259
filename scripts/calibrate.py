#!/usr/bin/env python3
"""The calibration study of Pilora's model settings: writes docs/model.md and docs/figures/*.png.

    PYTHONPATH=build/<dir>:src python3.14 scripts/calibrate.py [--quick] [--out DIR] [--workers N]

Every run is seeded, so the tables and figures come out the same on every machine (bit for bit on
the same build; figures up to the plotting library's version). The full study takes some minutes
on two cores; ``--quick`` runs a few small cases of every section, for the test suite.

Sections: (1) the footprint of a single cone against the eight-neighbour probability, (2) the
convergence of the blending measures as cells get finer relative to the bed's width, (3) the
reclaim angle, the angle of repose and the eight-neighbour probability against the measures,
(4) what the model leaves out, (5) the model against blending theory. Lengths in m, volumes in
m³, masses in t, times in h, angles in degrees.
"""

from __future__ import annotations

import argparse
import math
import os
import platform
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from scipy.signal import lfilter  # noqa: E402

import pilora  # noqa: E402
from pilora import BedSettings, Chevron, Record, blending, simulate  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
BULK_DENSITY = 1.6  # t/m³, limestone


# ------------------------------------------------------------------------------------------------
# Theory


def ar1(n: int, correlation_length: float, rng: np.random.Generator) -> np.ndarray:
    """A stationary AR(1) series of `n` values with unit variance and autocorrelation
    ``exp(-lag / correlation_length)`` (lags and length in steps); white noise for a length of 0."""
    noise = rng.standard_normal(n)
    if correlation_length <= 0:
        return noise
    rho = math.exp(-1.0 / correlation_length)
    noise[1:] *= math.sqrt(1.0 - rho * rho)
    return lfilter([1.0], [1.0, -rho], noise)


def flat_layer_effect(layers: int, per_pass: int, correlation_length: float) -> float:
    """Homogenisation effect of the idealised flat-layer chevron bed for AR(1) input.

    The input is ``layers * per_pass`` portions of a stationary AR(1) series (autocorrelation
    ``exp(-lag / correlation_length)``, lags in portions; white noise for a length of 0). Layer j
    lays its ``per_pass`` portions one per slice, forward for even j and backward for odd j (the
    stacker's way back); a slice is reclaimed as the mean of its ``layers`` portions. The result is
    ``sqrt(E[var_in] / E[var_out])`` with both variances taken about their own sample means
    (``ddof = 0``), as :func:`pilora.blending` does. For white noise it is the handbook's
    ``sqrt(N (M - 1) / (M - N))``.
    """
    n, s = int(layers), int(per_pass)
    m = n * s
    rho = math.exp(-1.0 / correlation_length) if correlation_length > 0 else 0.0

    def corr(lag: np.ndarray) -> np.ndarray:
        lag = np.abs(lag)
        return np.where(lag == 0, 1.0, rho ** np.maximum(lag, 1))

    lags = np.arange(1, m)
    var_in = 1.0 - (m + 2.0 * np.sum((m - lags) * corr(lags))) / (m * m)
    i = np.arange(s)
    place = (i, s - 1 - i)  # the slice order of even and odd layers
    trace = 0.0
    total = 0.0
    # Pairs of layers (j, j') by their distance d = j - j' and the parity of j.
    for d in range(-(n - 1), n):
        for parity in (0, 1):
            first = max(0, d)
            last = min(n - 1, n - 1 + d)
            count = len(range(first + ((first - parity) % 2), last + 1, 2))
            if count == 0:
                continue
            other = (parity - d) % 2
            block = corr(d * s + place[parity][:, None] - place[other][None, :])
            trace += count * float(np.trace(block))
            total += count * float(block.sum())
    var_out = (trace / s - total / (s * s)) / (n * n)
    return math.sqrt(var_in / var_out)


# ------------------------------------------------------------------------------------------------
# Section 1: the footprint of a single cone


@dataclass(frozen=True)
class ConeShape:
    """Shape of a single cone's footprint (the cells holding material), seen from its drop cell.

    height: m. area: m². axis_extent, diagonal_extent: mean distance (m) from the drop cell's
    centre to the outer edge of the last covered cell along the four axes and the four
    diagonals. roundness: the area over that of the circle through the farthest covered cell
    (1 for a disc, 2 / pi for a square or a diamond). anisotropy: the mean of cos(4 theta) over
    the covered cells, weighted by their squared distance: above 0 for a diamond (material
    reaches farthest along the axes), below 0 for a square (along the diagonals), 0 for a disc.
    """

    height: float
    area: float
    axis_extent: float
    diagonal_extent: float
    roundness: float
    anisotropy: float

    @property
    def extent_ratio(self) -> float:
        """Diagonal over axis extent: 1/sqrt(2) for a diamond, sqrt(2) for a square."""
        return self.diagonal_extent / self.axis_extent


def cone_shape(heights: np.ndarray, cell: float, centre: tuple[int, int]) -> ConeShape:
    """Measure the footprint of a single cone in `heights` (m, shape (nz, nx)) of cells of
    `cell` m, dropped on the cell `centre` = (k, i) (row along z, column along x)."""
    h = np.asarray(heights, dtype=np.float64)
    nz, nx = h.shape
    k0, i0 = centre
    k, i = np.mgrid[0:nz, 0:nx]
    covered = h > 0
    dx = (i - i0)[covered].astype(float)
    dz = (k - k0)[covered].astype(float)
    r2 = dx * dx + dz * dz
    theta = np.arctan2(dz, dx)
    area = float(covered.sum()) * cell * cell
    r_max = (math.sqrt(float(r2.max())) + 0.5) * cell if r2.size else 0.0
    anisotropy = float(np.sum(r2 * np.cos(4 * theta)) / np.sum(r2)) if r2.sum() > 0 else 0.0

    def reach(di: int, dk: int) -> int:
        """Covered cells in a row from the drop cell, in the direction (di, dk)."""
        m = 0
        while True:
            row, column = k0 + (m + 1) * dk, i0 + (m + 1) * di
            if not (0 <= row < nz and 0 <= column < nx and covered[row, column]):
                return m
            m += 1

    axis = (np.mean([reach(1, 0), reach(-1, 0), reach(0, 1), reach(0, -1)]) + 0.5) * cell
    diagonal = (np.mean([reach(1, 1), reach(-1, 1), reach(1, -1), reach(-1, -1)]) + 0.5) * cell * math.sqrt(2)
    return ConeShape(
        height=float(h.max()),
        area=area,
        axis_extent=float(axis),
        diagonal_extent=float(diagonal),
        roundness=area / (math.pi * r_max * r_max) if r_max > 0 else 0.0,
        anisotropy=anisotropy,
    )


def single_cone(probability: float, volume: float, cell: float, seed: int, repose_angle: float = 45.0) -> tuple[ConeShape, np.ndarray]:
    """Drop `volume` m³ at the centre of a square bed of `cell` m cells; the cone's shape and heights."""
    tan = math.tan(math.radians(repose_angle))
    chunks = volume / (cell**2 * cell * tan)
    reach = math.ceil(1.25 * (1.5 * chunks) ** (1 / 3)) + 2  # beyond the widest (diamond) cone
    n = 2 * reach + 1
    bed = pilora.Bed(
        n * cell, n * cell, cell_size=cell, eight_neighbour_probability=probability,
        repose_angle=repose_angle, seed=seed,
    )
    centre = reach * bed.cell_size
    bed.stack(centre, centre, volume)
    heights = np.asarray(bed.heights)
    return cone_shape(heights, bed.cell_size, (reach, reach)), heights


def first_root(x: Sequence[float], y: Sequence[float]) -> float:
    """The x where y first crosses 0 from above (linear interpolation); NaN if it never does."""
    for a, b, ya, yb in zip(x[:-1], x[1:], y[:-1], y[1:]):
        if ya >= 0 > yb:
            return a + (b - a) * ya / (ya - yb)
    return math.nan


# ------------------------------------------------------------------------------------------------
# Sections 2 and 3: blending measures of a chevron bed


@dataclass(frozen=True)
class Study:
    """The chevron bed of sections 2 and 3: a length x width bed, a record of `hours` h in `rows`
    intervals holding `volume` m³ (drift: AR(1) with a correlation length of `drift_passes`
    passes; noise: white), stacked in `layers` passes."""

    length: float = 100.0
    width: float = 20.0
    volume: float = 5000.0  # m³: 87 % of the roof a 30° repose angle gives
    hours: float = 100.0
    rows: int = 2000
    layers: int = 50
    drift_passes: float = 1.0
    row: float = 2.0  # m reclaimed per row, whatever the cell size

    def record(self, seed: int) -> Record:
        rng = np.random.default_rng(seed)
        per_pass = self.rows / self.layers
        frame = pd.DataFrame(
            {
                "time": np.arange(self.rows) * (self.hours / self.rows),
                "mass": np.full(self.rows, self.volume * BULK_DENSITY / self.rows),
                "drift": 50.0 + 2.0 * ar1(self.rows, self.drift_passes * per_pass, rng),
                "noise": 50.0 + 2.0 * rng.standard_normal(self.rows),
            }
        )
        return Record.from_frame(frame, mass="mass", bulk_density=BULK_DENSITY, last_duration=self.hours / self.rows)

    def settings(self, cell_ratio: float, *, repose_angle: float = 45.0, reclaim_angle: float = 45.0,
                 probability: float = 0.5) -> BedSettings:
        """Bed settings with cells of width / `cell_ratio`."""
        cell = self.width / cell_ratio
        chunks = 1.0 / (cell**3 * math.tan(math.radians(repose_angle)))
        return BedSettings(self.length, self.width, reclaim_angle=reclaim_angle, chunks_per_volume_unit=chunks,
                           eight_neighbour_probability=probability, repose_angle=repose_angle)


#: The measures the recommended cell size is chosen by: the drift's effects without end cones.
CRITERION = ("drift_same_mass", "drift_interval")

MEASURES = {
    "drift_same_mass": "drift: H same mass",
    "drift_interval": "drift: H per interval",
    "noise_interval": "noise: H per interval",
    "drift_same_mass_cones": "drift: H same mass, with end cones",
}


def measures(settings: BedSettings, record: Record, plan: Chevron, seed: int, row: float) -> dict[str, float]:
    """The blending measures of one run reclaimed in rows of `row` m (end cones left out unless named)."""
    result = simulate(settings, record, plan, seed=seed, reclaim_increment=row)
    without = blending(result, end_cones=False)
    with_cones = blending(result, end_cones=True)
    return {
        "drift_same_mass": float(without.at["drift", "effect_same_mass"]),
        "drift_interval": float(without.at["drift", "effect_interval"]),
        "noise_interval": float(without.at["noise", "effect_interval"]),
        "drift_same_mass_cones": float(with_cones.at["drift", "effect_same_mass"]),
    }


# ------------------------------------------------------------------------------------------------
# Section 5: the model against theory


def chevron_layers(values: np.ndarray, layers: int) -> np.ndarray:
    """What the idealised flat-layer chevron bed reclaims from `values` (one portion per slice
    and layer, odd layers laid backwards): the mean of each slice's portions, in slice order."""
    grid = np.asarray(values, dtype=np.float64).reshape(layers, -1).copy()
    grid[1::2] = grid[1::2, ::-1]
    return grid.mean(axis=0)


THEORY_WIDTH = 16.0  # m: an 8 m high roof at 45°
THEORY_ROW = 4.0  # m per reclaimed row: one record interval per row and layer


def response_matrix(layers: int, per_pass: int, *, seed: int, chunks_per_volume_unit: float = 8.0,
                    repose_angle: float = 45.0) -> tuple[np.ndarray, np.ndarray]:
    """Where each record interval ends up on a chevron bed reclaimed through a vertical face.

    The bed is ``per_pass * 4`` m long and 16 m wide; a record of ``layers * per_pass`` intervals
    of 1 h fills its roof in `layers` passes, one interval per 4 m reclaimed row and layer (the
    handbook's set-up). Every interval is stacked with a quality parameter of its own (1 for it,
    0 for the others), so the reclaimed averages are the share of each row's volume that came
    from each interval. Returns ``(shares, volumes)``: shares of shape (rows, intervals), each row
    summing to 1, and the rows' volumes (m³); rows of no volume are left out. The bed is linear
    in its input: the reclaimed quality of any input ``q`` is ``shares @ q``.
    """
    m = layers * per_pass
    length = per_pass * THEORY_ROW
    settings = BedSettings(length, THEORY_WIDTH, reclaim_angle=90.0, chunks_per_volume_unit=chunks_per_volume_unit,
                           repose_angle=repose_angle)
    volume = 0.25 * THEORY_WIDTH**2 * math.tan(math.radians(repose_angle)) * length / m
    frame = pd.DataFrame({"time": np.arange(m, dtype=float), "volume": np.full(m, volume)})
    record = Record.from_frame(frame, volume="volume", last_duration=1.0)
    portions = Chevron(layers=layers).portions(record, settings)
    interval = np.floor(portions["time"].to_numpy()).astype(np.int64)
    bounds = np.searchsorted(interval, np.arange(m + 1))
    x, z, v = (portions[c].to_numpy() for c in ("x", "z", "volume"))
    bed = settings.build(seed=seed)
    names = [f"interval_{t}" for t in range(m)]
    own = np.zeros(m)
    for t in range(m):
        own[t] = 1.0
        piece = slice(bounds[t], bounds[t + 1])
        bed.stack(x[piece], z[piece], v[piece], values=own, names=names)
        own[t] = 0.0
    out = bed.reclaim(THEORY_ROW)
    keep = np.asarray(out.volume) > 0
    return np.asarray(out.averages)[keep], np.asarray(out.volume)[keep]


def expected_effect(shares: np.ndarray, volumes: np.ndarray, correlation_length: float) -> float:
    """The bed's homogenisation effect per interval for AR(1) input, as an expectation:
    ``sqrt(E[var_in] / E[var_out])`` over input series (``ddof = 0``, intervals of equal mass,
    rows weighted by volume), for the bed whose `shares` and row `volumes` are given
    (:func:`response_matrix`). No input is drawn: the effect is exact for that bed."""
    m = shares.shape[1]
    lags = np.arange(m)
    rho = math.exp(-1.0 / correlation_length) if correlation_length > 0 else 0.0
    kernel = np.where(lags == 0, 1.0, rho ** np.maximum(lags, 1))
    covariance = kernel[np.abs(lags[:, None] - lags[None, :])]
    var_in = 1.0 - covariance.sum() / (m * m)
    w = volumes / volumes.sum()
    b = shares @ covariance @ shares.T
    var_out = float(w @ np.diag(b) - w @ b @ w)
    return math.sqrt(var_in / var_out)


def effect_of(values: np.ndarray, shares: np.ndarray, volumes: np.ndarray) -> float:
    """The effect per interval of one input series on the bed of `shares` and `volumes`."""
    out = shares @ values
    w = volumes / volumes.sum()
    std_out = math.sqrt(float(w @ (out - w @ out) ** 2))
    return float(np.std(values)) / std_out


# ------------------------------------------------------------------------------------------------
# Output helpers


def markdown_table(frame: pd.DataFrame, formats: dict[str, str] | None = None, index: bool = False) -> str:
    """A GitHub-flavoured markdown table; `formats` maps columns to format specs."""
    formats = formats or {}
    frame = frame.reset_index() if index else frame
    header = "| " + " | ".join(str(c) for c in frame.columns) + " |"
    rule = "|" + "|".join("---" for _ in frame.columns) + "|"
    lines = [header, rule]
    for _, row in frame.iterrows():
        cells = []
        for column in frame.columns:
            value = row[column]
            cell_format = formats.get(column)
            if isinstance(value, float) and math.isnan(value):
                cells.append("–")
            elif isinstance(value, float) and math.isinf(value):
                cells.append("∞")
            elif cell_format is not None:
                cells.append(format(value, cell_format))
            else:
                cells.append(str(value))
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def save(fig: plt.Figure, path: Path) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110, bbox_inches="tight", metadata={"Software": None})
    plt.close(fig)


# ------------------------------------------------------------------------------------------------
# The study



@dataclass(frozen=True)
class Plan:
    """How much of each section to run."""

    cone_volume: float = 5000.0  # m³
    cone_cells: tuple[float, ...] = (1.0, 0.5, 0.25, 0.125)  # m
    cone_probabilities: tuple[float, ...] = (0.0, 0.2, 0.4, 0.5, 0.6, 0.7, 0.8, 0.85, 0.9, 0.95, 1.0)
    cone_seeds: int = 3
    studies: tuple[Study, ...] = (Study(), Study(rows=4000, layers=100), Study(rows=4000, layers=200),
                                  Study(rows=8000, layers=400))
    cell_ratios: tuple[float, ...] = (20, 40, 60, 80, 120, 160, 240)
    convergence_seeds: int = 10
    knob_seeds: int = 6
    reclaim_angles: tuple[float, ...] = (30.0, 37.5, 45.0, 60.0, 90.0)
    repose_angles: tuple[float, ...] = (30.0, 34.0, 37.5, 41.0, 45.0)
    probabilities: tuple[float, ...] = (0.0, 0.5, 1.0)
    theory_layers: tuple[int, ...] = (4, 16, 64)
    theory_cells: tuple[float, ...] = (1.0, 8.0)  # chunks per m³: cells of 1 m and 0.5 m
    theory_per_pass: int = 30


QUICK = Plan(
    cone_volume=400.0,
    cone_cells=(1.0, 0.5),
    cone_probabilities=(0.0, 0.5, 1.0),
    cone_seeds=1,
    studies=(Study(length=60.0, width=12.0, volume=900.0, rows=600, layers=12),),
    cell_ratios=(10, 20),
    convergence_seeds=1,
    knob_seeds=1,
    reclaim_angles=(45.0, 90.0),
    repose_angles=(37.5, 45.0),
    probabilities=(0.5, 1.0),
    theory_layers=(4,),
    theory_cells=(8.0,),
    theory_per_pass=10,
)


class Runner:
    """Runs tasks on threads: a native bed releases the interpreter lock while it works. Every
    task carries its own seed, so results do not depend on the number of threads."""

    def __init__(self, workers: int) -> None:
        self.pool = ThreadPoolExecutor(max_workers=max(1, workers))

    def map(self, fn: Callable[..., Any], tasks: Iterable[tuple]) -> list[Any]:
        return list(self.pool.map(lambda task: fn(*task), list(tasks)))


def cone_section(plan: Plan, run: Runner, figures: Path) -> dict[str, Any]:
    volume = plan.cone_volume
    tasks = [
        (p, volume, cell, 1000 * a + 10 * b + s)
        for a, cell in enumerate(plan.cone_cells)
        for b, p in enumerate(plan.cone_probabilities)
        for s in range(plan.cone_seeds)
    ]
    shapes = run.map(lambda p, v, c, seed: single_cone(p, v, c, seed)[0], tasks)
    frame = pd.DataFrame(
        [{"cell": cell, "probability": p, **vars(shape), "extent_ratio": shape.extent_ratio}
         for (p, _, cell, _), shape in zip(tasks, shapes)]
    )
    mean = frame.groupby(["cell", "probability"]).mean().reset_index()
    roots = []
    for cell, group in mean.groupby("cell"):
        p = group["probability"].to_numpy()
        roots.append({
            "cell": cell,
            "cells_high": float(group["height"].mean() / cell),
            "by_anisotropy": first_root(p, group["anisotropy"].to_numpy()),
            "by_extents": first_root(p, (1.0 - group["extent_ratio"]).to_numpy()),
            "by_roundness": float(p[np.argmax(group["roundness"].to_numpy())]),
        })
    roots = pd.DataFrame(roots).sort_values("cells_high", ignore_index=True)
    good = roots.dropna(subset=["by_anisotropy"])
    fit = None
    if len(good) >= 2:
        slope, intercept = np.polyfit(np.log(good["cells_high"]), np.log(1.0 - good["by_anisotropy"]), 1)
        fit = (math.exp(intercept), -float(slope))

    fig, ax = plt.subplots(figsize=(6.4, 4.0))
    for cell, group in mean.groupby("cell", sort=False):
        high = group["height"].mean() / cell
        ax.plot(group["probability"], group["anisotropy"], marker="o", label=f"{cell:g} m cells: {high:.0f} chunks high")
    ax.axhline(0.0, color="0.5", lw=0.8)
    ax.set_xlabel("eight-neighbour probability")
    ax.set_ylabel("anisotropy (> 0 diamond, < 0 square)")
    ax.set_title(f"Footprint of a single {volume:g} m³ cone")
    ax.legend(fontsize=8)
    save(fig, figures / "cone_anisotropy.png")

    cell = 0.5 if 0.5 in plan.cone_cells else plan.cone_cells[0]
    root = roots.loc[roots["cell"] == cell, "by_anisotropy"].iloc[0]
    shown = [0.0] + ([round(float(root), 2)] if math.isfinite(root) else []) + [1.0]
    fig, axes = plt.subplots(1, len(shown), figsize=(3.3 * len(shown), 3.4))
    for ax, p in zip(np.atleast_1d(axes), shown):
        _, heights = single_cone(p, volume, cell, seed=7)
        half = heights.shape[0] * cell / 2
        extent = (-half, half, -half, half)
        ax.contour(heights, levels=np.arange(1.0, float(heights.max()), 2.0), extent=extent, linewidths=0.7)
        ax.contour(heights, levels=[0.5 * cell], colors="k", extent=extent, linewidths=1.2)
        ax.set_aspect("equal")
        ax.set_title(f"probability {p:g}: {heights.max():.1f} m high", fontsize=9)
    fig.suptitle(f"{volume:g} m³ on {cell:g} m cells: the footprint (black) and contours every 2 m", fontsize=10)
    save(fig, figures / "cone_footprints.png")
    return {"mean": mean, "roots": roots, "fit": fit, "volume": volume, "footprint_cell": cell}


def convergence_section(plan: Plan, run: Runner, figures: Path, probability: float) -> dict[str, Any]:
    tasks = [(study, ratio, s) for study in plan.studies for ratio in plan.cell_ratios for s in range(plan.convergence_seeds)]

    def one(study: Study, ratio: float, s: int) -> dict[str, Any]:
        settings = study.settings(ratio, probability=probability)
        result = measures(settings, study.record(100 + s), Chevron(layers=study.layers), seed=200 + s, row=study.row)
        return {"layers": study.layers, "ratio": ratio, "seed": s, "cell": settings.cell_size, **result}

    frame = pd.DataFrame(run.map(one, tasks))
    mean = frame.drop(columns="seed").groupby(["layers", "ratio"]).mean()
    std = frame.drop(columns="seed").groupby(["layers", "ratio"]).std(ddof=1)
    # Each run against the finest grid's run of the same record and bed seed, then the mean.
    finest = frame[frame["ratio"] == max(plan.cell_ratios)][["layers", "seed", *MEASURES]]
    paired = frame.merge(finest, on=["layers", "seed"], suffixes=("", "_finest"))
    for key in MEASURES:
        paired[key] = paired[key] / paired[f"{key}_finest"]
    relative = paired.groupby(["layers", "ratio"])[list(MEASURES)].mean()
    deviation = (relative - 1.0).abs()
    worst = deviation[list(CRITERION)].max(axis=1).groupby(level="ratio").max()
    worst_cones = deviation["drift_same_mass_cones"].groupby(level="ratio").max()

    fig, (left, right) = plt.subplots(1, 2, figsize=(11.0, 4.0))
    for study in plan.studies:
        m = mean.loc[study.layers]
        r = relative.loc[study.layers]
        line = left.plot(m.index, m["drift_same_mass"], marker="o", label=f"{study.layers} layers")[0]
        left.plot(m.index, m["drift_interval"], marker="s", ls="--", color=line.get_color())
        right.plot(r.index, r["drift_same_mass"], marker="o", color=line.get_color(), label=f"{study.layers} layers")
    right.axhspan(0.95, 1.05, color="0.9", zorder=0)
    for ax in (left, right):
        ax.set_xscale("log")
        ax.set_xticks(plan.cell_ratios, [f"{x:g}" for x in plan.cell_ratios])
        ax.set_xlabel("bed width / cell size")
    left.set_ylabel("drift: H same mass (o), per interval (s)")
    right.set_ylabel("drift: H same mass / same run on the finest grid")
    left.set_title(f"{plan.studies[0].length:g} x {plan.studies[0].width:g} m chevron beds, means of "
                   f"{plan.convergence_seeds} seeds", fontsize=10)
    right.set_title("each run against the finest grid, means (band: 5 %)", fontsize=10)
    right.legend(fontsize=8)
    save(fig, figures / "convergence.png")
    return {"mean": mean, "std": std, "relative": relative, "deviation": deviation, "worst": worst,
            "worst_cones": worst_cones, "probability": probability, "frame": frame}


def knob_section(plan: Plan, run: Runner, figures: Path, ratio: float, probability: float) -> dict[str, Any]:
    study = plan.studies[0]
    base = {"repose_angle": 45.0, "reclaim_angle": 45.0, "probability": probability}
    cases = [("reclaim angle", "reclaim_angle", v) for v in plan.reclaim_angles]
    cases += [("angle of repose", "repose_angle", v) for v in plan.repose_angles]
    cases += [("eight-neighbour probability", "probability", v) for v in sorted({*plan.probabilities, probability})]

    def one(case: tuple[str, str, float], s: int) -> dict[str, Any]:
        knob, key, value = case
        settings = study.settings(ratio, **{**base, key: value})
        result = measures(settings, study.record(300 + s), Chevron(layers=study.layers), seed=400 + s, row=study.row)
        return {"knob": knob, "value": value, **result}

    frame = pd.DataFrame(run.map(one, [(c, s) for c in cases for s in range(plan.knob_seeds)]))
    mean = frame.groupby(["knob", "value"], sort=False).mean().reset_index()
    fig, axes = plt.subplots(1, 3, figsize=(12.0, 3.6), sharey=True)
    for ax, (knob, group) in zip(axes, mean.groupby("knob", sort=False)):
        for key, label in MEASURES.items():
            ax.plot(group["value"], group[key], marker="o", label=label)
        ax.set_xlabel(knob)
    axes[0].set_ylabel("homogenisation effect H")
    axes[0].legend(fontsize=7)
    fig.suptitle(f"{study.length:g} x {study.width:g} m, {study.layers} layers, cells of width / {ratio:g}; "
                 f"others at 45°, 45°, {probability:g}", fontsize=10)
    save(fig, figures / "knobs.png")
    return {"mean": mean, "base": base, "study": study, "ratio": ratio}


def theory_section(plan: Plan, run: Runner) -> dict[str, Any]:
    s = plan.theory_per_pass
    tasks = [(n, cpvu) for cpvu in plan.theory_cells for n in plan.theory_layers]
    beds = dict(zip(tasks, run.map(lambda n, cpvu: response_matrix(n, s, seed=n, chunks_per_volume_unit=cpvu), tasks)))
    rows = []
    for (n, cpvu), (shares, volumes) in beds.items():
        cell = cpvu ** (-1 / 3)
        for multiple, name in ((0, "uncorrelated"), (1, "AR(1), l = S"), (5, "AR(1), l = 5 S")):
            theory = flat_layer_effect(n, s, multiple * s)
            model = expected_effect(shares, volumes, multiple * s)
            rows.append({"input": name, "layers N": n, "cell (m)": cell, "theory": theory, "model": model})
    fine = max(plan.theory_cells)
    n = 16 if 16 in plan.theory_layers else plan.theory_layers[0]
    shares, volumes = beds[(n, fine)]
    t = np.arange(n * s) + 0.5
    for k in (1.0, 2.0, 1.5):
        values = np.cos(2 * math.pi * t * k / (2 * s))
        ideal = float(np.std(chevron_layers(values, n)))
        theory = float(np.std(values)) / ideal if ideal > 1e-9 * float(np.std(values)) else math.inf
        rows.append({"input": f"cosine, {k:g} cycles per two passes", "layers N": n, "cell (m)": fine ** (-1 / 3),
                     "theory": theory, "model": effect_of(values, shares, volumes)})
    frame = pd.DataFrame(rows)
    frame["model / theory"] = (frame["model"] / frame["theory"]).where(np.isfinite(frame["theory"]))

    study = plan.studies[0]
    settings = study.settings(20.0, repose_angle=37.5, reclaim_angle=37.5)
    result = simulate(settings, study.record(7), Chevron(layers=study.layers), seed=8)
    b = result.balance
    table = blending(result)
    conservation = {
        "mass": abs(b["stacked"] - b["reclaimed"] - b["on_bed"] - b["buffered"]) / b["stacked"],
        "left": (b["on_bed"] + b["buffered"]) / b["stacked"],
        "mean": float(((table["mean_out"] - table["mean_in"]).abs() / table["std_in"]).max()),
    }
    published = {(4, 1): 2.9, (16, 1): 6.7, (64, 1): 14.1, (4, 5): 3.7, (16, 5): 11.6, (64, 5): 28.7}
    ideal = pd.DataFrame([
        {"correlation length": f"{a} S", **{f"N = {m}": f"{flat_layer_effect(m, 100, a * 100):.2f} ({published[(m, a)]})"
                                            for m in (4, 16, 64)}}
        for a in (1, 5)
    ])
    return {"frame": frame, "conservation": conservation, "ideal": ideal, "per_pass": s}


def recommend(cones: dict[str, Any], convergence: dict[str, Any]) -> dict[str, Any]:
    """The coarsest cell ratio whose drift measures without end cones lie within 5 % of the finest
    grid's for every study, and the eight-neighbour probability that makes cones of a roof's height on that grid
    round (the roof spans the width at the angle of repose: width / 2 / cell chunks high)."""
    worst = convergence["worst"]
    ok = worst[worst <= 0.05]
    ratio = float(ok.index.min()) if len(ok) else float(worst.index.max())
    result: dict[str, Any] = {"cell_ratio": ratio, "cells_high": ratio / 2, "probability": math.nan}
    if cones["fit"] is not None:
        c, beta = cones["fit"]
        exact = 1.0 - c * (ratio / 2) ** (-beta)
        result["probability_exact"] = exact
        result["probability"] = round(round(exact / 0.05) * 0.05, 2)
    return result


# ------------------------------------------------------------------------------------------------
# The document


def _pct(x: float) -> str:
    return f"{100 * x:.1f} %"


def document(plan: Plan, quick: bool, cones: dict[str, Any], convergence: dict[str, Any], knobs: dict[str, Any],
             theory: dict[str, Any], recommended: dict[str, Any], seconds: float, command: str, workers: int) -> str:
    """docs/model.md from the study's results."""
    ratio = recommended["cell_ratio"]
    p_rec = recommended["probability"]
    fit = cones["fit"]
    roots = cones["roots"]
    mean = cones["mean"]
    cell = cones["footprint_cell"]
    at_cell = mean[mean["cell"] == cell]
    first = plan.studies[0]
    out: list[str] = []
    w = out.append

    w("# The model, its settings and how far to trust it\n")
    w("This study calibrates the settings of Pilora's cellular model that come without a physical value "
      "(the eight-neighbour probability and the cell size), shows how the reclaim angle and the angle of "
      "repose move the blending measures, states what the model leaves out, and checks the model against "
      "blending theory. Every table and figure below is written by one script with fixed seeds:\n")
    w(f"```\nPYTHONPATH=build/<dir>:src {command}\n```\n")
    w(f"The last run took {seconds:.0f} s on {workers} threads ({platform.machine()}, {os.cpu_count()} cores)"
      + (" in the quick mode, whose small cases only exercise the script: its numbers are not the study's." if quick else ".")
      + " Lengths are in m, volumes in m³, masses in t, angles in degrees; H is the homogenisation effect "
      "std_in / std_out (`pilora.blending`).\n")

    w("## The model in brief\n")
    w("The bed is a grid of square cells of width w. Material is cut into unit chunks of volume "
      "1 / `chunks_per_volume_unit`; a chunk dropped on a cell slides, one step at a time, to a strictly lower "
      "neighbour (the lowest one, the first met in a random order) until none is lower, and stays there. A step "
      "scans the four edge neighbours, or all eight with the `eight_neighbour_probability`. A column therefore "
      "never stands more than one chunk above an edge neighbour: one chunk per cell is the slope of every heap. "
      "A chunk's height is w tan(`repose_angle`), so that slope is the angle of repose, and its width follows "
      "from its volume (w = (`chunks_per_volume_unit` tan(angle))^(-1/3)); at 45° chunks are cubes. Each chunk "
      "is booked into the reclaim slice that a face at the `reclaim_angle` through the chunk meets at the floor; "
      "reclaiming takes the slices in order and averages them.\n")
    w("The walk works on chunk counts only. Every length enters the model as a number of cells: a bed twice as "
      "long and wide, with cells twice as wide and eight times the volume, receives the same chunks in the same "
      "cells and gives the same measures. So the cell size only matters relative to the bed, and the "
      "recommendation below is one relative to the bed's width.\n")

    w("## Recommended settings\n")
    rec = pd.DataFrame([
        {"setting": "cell size", "recommended": f"width / {ratio:g}",
         "default until now": "1 chunk per m³ (1 m cells at 45°)",
         "evidence": f"blending measures within 5 % of the finest grid (section 2)"},
        {"setting": "`eight_neighbour_probability`", "recommended": f"{p_rec:g}", "default until now": "0.5",
         "evidence": f"roundest cones {recommended['cells_high']:g} chunks high, the height of a roof on that grid (section 1)"},
        {"setting": "`repose_angle`", "recommended": "the material's (limestone about 35-38°)", "default until now": "45",
         "evidence": "sets the heap's height and the end cones' length (section 3)"},
        {"setting": "`reclaim_angle`", "recommended": "the reclaimer's face", "default until now": "45",
         "evidence": "the strongest of the three knobs on the measures (section 3)"},
    ])
    w(markdown_table(rec) + "\n")
    w(f"**Defaults after this study:** `eight_neighbour_probability` = {p_rec:g}; cells of width / {ratio:g} "
      f"(`chunks_per_volume_unit` = ({ratio:g} / width)³ / tan(`repose_angle`)) unless `chunks_per_volume_unit` "
      "or `cell_size` is given; `repose_angle` = 45 and `reclaim_angle` = 45 stay, as a bed's own values "
      "belong to its material and machine. Finer cells cost time: the chunk count grows with the cube of "
      "width / cell.\n")

    w("## 1. A single cone and the eight-neighbour probability\n")
    hi = at_cell.set_index("probability")["height"]
    w(f"A cone of {cones['volume']:g} m³ dropped on one cell, at 45°. With four neighbours only, a step down a "
      "diagonal takes two edge steps, so the flanks fall one chunk per cell along the axes and two per cell along "
      "the diagonals: a pyramid on a diamond. With eight always, they fall one chunk per cell in every direction: a "
      f"pyramid on a square, lower for the same volume ({hi.iloc[0]:.1f} m against {hi.iloc[-1]:.1f} m on "
      f"{cell:g} m cells). Mixing the two makes the footprint rounder. Three measures of a footprint (the cells "
      "holding material), from the drop cell: the ratio of its diagonal to its axis extent (1/√2 for a diamond, "
      "√2 for a square), its roundness (area over the circle through its farthest cell: 2/π for both pyramids, "
      "1 for a disc) and its anisotropy (the mean of cos 4θ weighted by the squared distance: above 0 for a "
      f"diamond, below 0 for a square, 0 for a disc). Means of {plan.cone_seeds} seeds, {cell:g} m cells:\n")
    table = at_cell[["probability", "height", "area", "axis_extent", "diagonal_extent", "extent_ratio", "roundness",
                     "anisotropy"]].rename(columns={"height": "height (m)", "area": "area (m²)",
                                                    "axis_extent": "axis extent (m)", "diagonal_extent": "diagonal extent (m)",
                                                    "extent_ratio": "diagonal / axis"})
    w(markdown_table(table, {"probability": "g", "height (m)": ".2f", "area (m²)": ".0f", "axis extent (m)": ".2f",
                             "diagonal extent (m)": ".2f", "diagonal / axis": ".3f", "roundness": ".3f",
                             "anisotropy": "+.3f"}) + "\n")
    w("![anisotropy against the probability](figures/cone_anisotropy.png)\n")
    w("![footprints](figures/cone_footprints.png)\n")
    w("The probability that makes the cone round (anisotropy 0, diagonal / axis 1, and the largest roundness "
      "among the probabilities tried) depends on how many chunks high the cone is, the same cone on finer "
      "cells being a larger cone in cells:\n")
    w(markdown_table(roots.rename(columns={"cell": "cell (m)", "cells_high": "chunks high", "by_anisotropy": "anisotropy 0 at",
                                           "by_extents": "diagonal = axis at", "by_roundness": "roundest tried"}),
                     {"cell (m)": "g", "chunks high": ".0f", "anisotropy 0 at": ".3f", "diagonal = axis at": ".3f",
                      "roundest tried": "g"}) + "\n")
    if fit is not None:
        c, beta = fit
        w(f"A fit through the first column: **1 - p = {c:.2f} n^(-{beta:.2f})** for a cone n chunks high. "
          "An occasional eight-neighbour step rounds off the corners of the diamond over a few cells; the taller "
          "the cone in cells, the more often it has to happen, so p tends to 1, where the square takes over. "
          f"No one value makes every cone round. On the recommended grid (width / {ratio:g}) a roof across the bed "
          f"is {recommended['cells_high']:g} chunks high, and so are the end cones and the cones of cone-shell "
          f"stacking; the fit gives p = {recommended.get('probability_exact', math.nan):.3f} there, "
          f"**recommended: {p_rec:g}**. For beds on other grids, p = 1 - {c:.2f} (width / 2 / cell)^(-{beta:.2f}).\n")
    w("At another angle of repose the walk is the same: the footprint in cells does not change, and the heights "
      "scale with tan(angle).\n")

    w("## 2. Convergence as cells get finer\n")
    rows_per_pass = first.rows / first.layers
    w(f"A {first.length:g} x {first.width:g} m linear bed, chevron stacked from reversal points at its ends; a "
      f"record of {first.hours:g} h in {first.rows} intervals holding {first.volume:g} m³ ({first.volume * BULK_DENSITY:g} t), "
      f"with a drift (AR(1), correlation length one pass: {rows_per_pass:g} intervals) and a noise (uncorrelated) "
      f"parameter; reclaim face and repose at 45°, probability {convergence['probability']:g}. Stacked in "
      + ", ".join(f"{s.layers}" for s in plan.studies)
      + f" layers ({', '.join(f'{s.rows}' for s in plan.studies)} intervals), reclaimed in rows of {first.row:g} m whatever "
      "the cell (the same-mass basis depends on the row's size; rows of one cell would mix the grid with the basis). "
      f"Means (and standard deviations) over {plan.convergence_seeds} seeds: the same records and bed seeds on "
      "every grid. The drifts differ from record to record, and so do the effects; each run is therefore also "
      "divided by the run of the same record and seed on the finest grid, and the last column gives the mean "
      "of these ratios for the three drift measures.\n")
    m = convergence["mean"]
    sd = convergence["std"]
    show = pd.DataFrame({
        "layers": m.index.get_level_values("layers"),
        "width / cell": m.index.get_level_values("ratio"),
        "cell (m)": m["cell"].to_numpy(),
        **{label: [f"{a:.2f} ± {b:.2f}" for a, b in zip(m[key], sd[key].fillna(0.0))] for key, label in MEASURES.items()},
        "drift against the finest grid": [
            " / ".join(f"{x:.3f}" for x in row) for row in convergence["relative"][[k for k in MEASURES if k.startswith("drift")]].to_numpy()
        ],
    })
    w(markdown_table(show, {"width / cell": "g", "cell (m)": ".3f"}) + "\n")
    w("![convergence](figures/convergence.png)\n")
    worst = convergence["worst"]
    drift_keys = [k for k in MEASURES if k.startswith("drift")]
    few = float(convergence["deviation"].loc[plan.studies[0].layers][drift_keys].max(axis=1).get(60.0, math.nan))
    cones_at = float(convergence["worst_cones"].get(ratio, math.nan))
    w("The drift measures, the ones a bed is built for, grow as cells get finer and settle. The largest "
      "deviation of the two without end cones from the finest grid, over every layer count, is "
      + ", ".join(f"{_pct(v)} at width / {r:g}" for r, v in worst.items() if r != max(plan.cell_ratios))
      + f". **Recommended: cells of width / {ratio:g} or finer**, the coarsest grid within 5 % for every layer count "
      "tried"
      + (f" (the measure with end cones, which depends on a few rows at the bed's ends, within {_pct(cones_at)})"
         if math.isfinite(cones_at) and ratio != max(plan.cell_ratios) else "")
      + ". Coarser grids underrate the bed: a layer thinner than a chunk is laid in patches, so rows hold "
      "unequal shares of the layers (section 5 shows it against theory with 64 layers on 1 m cells). How fast a "
      "bed converges depends on its layers and its record, not simply on the layers' thickness"
      + (f"; beds of few layers are accurate on coarser grids ({plan.studies[0].layers} layers within {_pct(few)} at "
         f"width / 60)" if math.isfinite(few) else "")
      + ". The chunk count, and with it the time, grows with the cube of width / cell, so for "
      "quick comparisons of plans a coarser grid that ranks them alike may do. The per-interval effect on "
      "uncorrelated noise converges more slowly and unevenly: it counts how many intervals a row mixes, which "
      "depends on how far chunks slide along the bed relative to the intervals' spacing, a finer detail of "
      "the walk.\n")

    w("## 3. Reclaim angle, angle of repose and eight-neighbour probability\n")
    k = knobs["mean"]
    w(f"The first bed of section 2 on cells of width / {knobs['ratio']:g}, one setting changed at a time from "
      f"reclaim angle 45, repose angle 45 and probability {knobs['base']['probability']:g}; means of {plan.knob_seeds} "
      "seeds. The record's volume fits the roof of the lowest repose angle, so every heap keeps its shape.\n")
    table = k[["knob", "value", *MEASURES]].rename(columns=MEASURES)
    w(markdown_table(table, {"value": "g", **{label: ".2f" for label in MEASURES.values()}}) + "\n")
    w("![knobs](figures/knobs.png)\n")
    spans = []
    for knob, group in k.groupby("knob", sort=False):
        drift, noise = group["drift_same_mass"], group["noise_interval"]
        spans.append(f"{knob} {_pct(drift.max() / drift.min() - 1.0)} and {_pct(noise.max() / noise.min() - 1.0)}")
    w("Spread (largest over smallest, less 1) of the drift's same-mass effect and of the noise's per-interval "
      "effect over the values tried: " + "; ".join(spans) + ". "
      "The reclaim angle matters most: a leaning face cuts every layer obliquely, so a row holds material laid "
      "over a longer stretch of the bed and a longer time. The angle of repose changes the heap's height for the "
      "same width (a lower, flatter roof), the length of the end cones (the measures with end cones) and with "
      "it which rows count as end cones. The probability barely moves a chevron bed, whose flanks run along an "
      "axis; it matters for cones: end cones, cone shell, windrows.\n")

    w("## 4. What the model leaves out\n")
    for item in (
        "**Segregation.** Every chunk is a uniform mixture: coarse particles do not roll to the toe and fines do "
        "not stay at the ridge, so the quality does not vary across the heap by size.",
        "**Dynamics.** Chunks come to rest one after another, each sliding down a still heap; there are no "
        "avalanches, no momentum, no impact of the falling stream and no flow of material already at rest.",
        "**One angle of repose.** Material rests and slides at the same angle everywhere; the dynamic and static "
        "angles, moisture, cohesion and the weather are not modelled. Slopes are one chunk per cell along the "
        "grid's axes only, and the corners depend on the eight-neighbour probability (section 1).",
        "**Compaction and density.** The bulk density is one number; material on the heap does not settle, "
        "consolidate or change volume, and masses are volumes times that density.",
        "**The stacker.** Material drops at points: no boom height, no spread of the falling stream, no stacker "
        "travelling during a chunk's fall. A portion smaller than a chunk waits and falls with the next.",
        "**The reclaimer.** The face is a plane at a fixed angle through the whole heap, and a slice is mixed "
        "perfectly when reclaimed; there is no harrow, no bucket wheel, no material left on the floor, and no "
        "blending on the belt afterwards.",
        "**The bed's ends.** The grid's edges are walls: material never leaves the grid.",
        "**Sampling.** Qualities are exact; the analysis of real samples (error, delay, composite samples) is not "
        "modelled.",
    ):
        w(f"- {item}")
    w("")

    w("## 5. The model against theory\n")
    s = theory["per_pass"]
    w("The idealised flat-layer bed: N layers of S portions, one portion per slice and layer, odd layers laid "
      "backwards as a chevron stacker does; a slice is reclaimed as the mean of its portions. For a stationary "
      "AR(1) input (autocorrelation exp(-lag / l), lags in portions) its effect is "
      "sqrt(E[var_in] / E[var_out]), both variances about their own sample means, computed exactly "
      "(`flat_layer_effect` in the script). For uncorrelated input this is the handbook's "
      "sqrt(N (M - 1) / (M - N)) for M = N S portions. It reproduces the published values for S = 100 "
      "(in brackets):\n")
    w(markdown_table(theory["ideal"]) + "\n")
    w(f"The model: a linear bed of {s} rows of {THEORY_ROW:g} m, {THEORY_WIDTH:g} m wide (an 8 m roof), chevron "
      "stacked with one record interval per row and layer, reclaimed through a vertical face in rows of "
      f"{THEORY_ROW:g} m. The bed is linear in its input: every interval is stacked with a parameter of its own, "
      "so the reclaimed averages give the share of every row that came from every interval, and from these the "
      "expected effect for any input covariance follows exactly, with no input drawn. S is "
      f"{s} here; the published S = 100 needs a 400 m bed and three times the time, and the comparison is the same.\n")
    w(markdown_table(theory["frame"], {"layers N": "d", "cell (m)": ".2g", "theory": ".2f", "model": ".2f",
                                        "model / theory": ".3f"}) + "\n")
    fr = theory["frame"]
    ar = fr[fr["input"].str.startswith("AR")]
    fine = ar[ar["cell (m)"] == ar["cell (m)"].min()]
    coarse = ar[ar["cell (m)"] == ar["cell (m)"].max()]
    white = fr[fr["input"] == "uncorrelated"]
    w(f"- **Autocorrelated input.** On {fine['cell (m)'].iloc[0]:.2g} m cells the model blends as the idealised "
      f"bed does, within {_pct((fine['model / theory'] - 1).abs().max())}. "
      + (f"On {coarse['cell (m)'].iloc[0]:.2g} m cells it falls short by up to {_pct(1 - coarse['model / theory'].min())} "
         "when layers are many: 64 layers of an 8 m roof are an eighth of a chunk thick, and a layer thinner than "
         "a chunk is laid in patches, so rows hold unequal shares of the layers. "
         if len(coarse) and coarse['cell (m)'].iloc[0] != fine['cell (m)'].iloc[0] else "")
      + "Finer cells bring the model to the idealised bed, as they make the measures converge in section 2.")
    w(f"- **Uncorrelated input.** The model exceeds the handbook by {_pct(white['model / theory'].min() - 1)} to "
      f"{_pct(white['model / theory'].max() - 1)}: a chunk slides along the bed as well as across it, so each "
      f"interval spreads over a metre or two on either side of where it was dropped and every {THEORY_ROW:g} m row "
      "mixes some of its neighbours' intervals. A real heap does the same; the handbook's one portion per slice is "
      "the idealisation. For drift the neighbours are alike and the spreading does not matter.")
    w("- **Resonance.** A cosine input whose period is two passes, or one, lands on the same slices pass after "
      "pass and is not blended (H about 1, in the model as in theory); half-way between (1.5 cycles per two "
      "passes) successive passes cancel, exactly in the idealised bed and nearly in the model.")
    c = theory["conservation"]
    w(f"- **Conservation.** A run at a 37.5° angle of repose and reclaim face: stacked volume = reclaimed + on the "
      f"bed + buffered to {c['mass']:.1e} of the stacked volume ({c['left']:.1e} of it stays on the bed or in the "
      "buffer: the half slice at the end and less than one chunk); every parameter's mass-weighted mean comes "
      f"out within {c['mean']:.1e} standard deviations of the input's.\n")
    w("`tests/package/test_model.py` pins the idealised values above, the model against the idealised bed for "
      "autocorrelated input and the conservation of each parameter's mean; `tests/package/test_theory.py` the "
      "handbook relation for uncorrelated input, the resonance and the volume balance.\n")
    return "\n".join(out) + "\n"


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a few small cases of every section (for tests)")
    parser.add_argument("--out", type=Path, default=ROOT / "docs", help="folder for model.md and figures/")
    parser.add_argument("--workers", type=int, default=2, help="threads running beds (results do not depend on it)")
    args = parser.parse_args(argv)
    plan = QUICK if args.quick else Plan()
    figures = args.out / "figures"
    figures.mkdir(parents=True, exist_ok=True)
    run = Runner(args.workers)
    start = time.perf_counter()
    cones = cone_section(plan, run, figures)
    convergence = convergence_section(plan, run, figures, probability=0.5)
    recommended = recommend(cones, convergence)
    p = recommended["probability"] if math.isfinite(recommended["probability"]) else 0.5
    knobs = knob_section(plan, run, figures, recommended["cell_ratio"], p)
    theory = theory_section(plan, run)
    seconds = time.perf_counter() - start
    command = "python3.14 scripts/calibrate.py" + (" --quick" if args.quick else "")
    text = document(plan, args.quick, cones, convergence, knobs, theory, recommended, seconds, command, args.workers)
    (args.out / "model.md").write_text(text, encoding="utf-8")
    print(f"wrote {args.out / 'model.md'} and {figures} in {seconds:.0f} s", file=sys.stderr)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
