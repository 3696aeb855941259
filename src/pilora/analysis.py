"""Measures of blending: how much a bed evened out the quality of what went through it.

Conventions, shared by every function here:

- **Weights.** Means and standard deviations are mass-weighted (tonnes). Rows of zero mass (the
  empty first reclaimed row, empty steps) carry zero weight and never count. A record without a
  bulk density has no masses: its rows and the reclaimed rows are then weighted by volume (m³),
  which for one density throughout gives the same measures.
- **Standard deviations** are population values about the weighted mean (``ddof = 0``):
  ``sqrt(sum(w (v - mean)^2) / sum(w))``. The handbook relation for uncorrelated input,
  ``H = sqrt(N (M - 1) / (M - N))`` (N layers, M portions, one per slice and layer), is exact
  for the expected output variance with this convention on both sides.
- **Homogenisation effect** ``H = std_in / std_out`` (above 1: the bed evened the quality out) and
  **variance reduction ratio** ``VRR = H**2 = var_in / var_out``. Some authors use the inverse
  ratio (output over input variance); here both grow with better blending.
- **The stated basis** (``_block`` columns, the one to quote): input and reclaimed material are
  each grouped into consecutive blocks of one mass, by default one hour of the record's mean
  feed rate, as a plant judges its feed by hourly averages. Blocks of a fixed mass do not move
  with the grid or the reclaim step.
- **Two bases of the grid** for the input side, the output side being the reclaimed rows in
  both: *per interval* takes the record's rows as they are (flatters the bed when a reclaimed row
  holds far more mass than a record row); *same mass* first groups consecutive input into blocks
  of the mean reclaimed row's mass, splitting a record row proportionally where it straddles a
  block boundary (the last, partial block counts with its own, smaller mass). Both depend on the
  size of a reclaimed row, that is on the grid and the step. On uncorrelated input the same-mass
  effect is 1.17 to 1.40 in this model, not 1: a chunk's slide spreads each portion over several
  slices, so a row mixes some of its neighbours' intervals (the basis only gives about 1 where an
  interval holds no more than a row); the bed earns its keep on drift.
- **End cones** are closed ranges ``[start, end]`` along the reclaim axis (m) from
  ``plan.end_cones``. Leaving them out (``end_cones=False``) drops the reclaimed rows whose step,
  ``x - increment`` to ``x``, overlaps a range, and on the input side the material the plan
  dropped there: each record row keeps the part of its volume whose portions' ``x`` lies outside
  every range (portions are matched to record rows by cumulative volume, in stacking order). The
  input is cut by where the stacker dropped it, not by the slice its chunks were booked into; the
  two differ near a range's inner edge, by the chunks' slide and by the reclaim face's lean
  (material h m up the heap is booked h / tan(reclaim angle) m before its column). Stacking times
  cannot serve instead: on a chevron bed every pass feeds both cones.
"""

from __future__ import annotations

import math
import weakref
from collections.abc import Callable, Sequence
from importlib import metadata
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from .run import Result, _run_blocks, _Run, simulate

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from .plans import Plan
    from .record import Record
    from .settings import BedSettings

__all__ = [
    "BlockMassError",
    "blending",
    "blending_table",
    "default_block_mass",
    "flow_variability",
    "flow_variability_rows",
    "in_ranges",
    "measurement_noise",
    "quality_series",
    "same_mass_blocks",
    "summary",
    "variogram",
    "weighted_mean",
    "weighted_std",
    "worst_effect",
]

#: Columns of :func:`blending_table` and :func:`blending`, in order.
BLENDING_COLUMNS = (
    "mean_in",
    "std_in",
    "mean_out",
    "std_out",
    "effect_interval",
    "vrr_interval",
    "std_in_same_mass",
    "effect_same_mass",
    "vrr_same_mass",
)


#: Blocks of a stated mass are refused when they would number more than this many per record row
#: or reclaimed row (and more than `MIN_BLOCK_LIMIT`), or more than `MAX_BLOCKS` in all: blocks
#: far smaller than the rows only repeat the rows' values, and each block costs memory.
BLOCKS_PER_ROW = 100
MIN_BLOCK_LIMIT = 10_000
MAX_BLOCKS = 2_000_000


class BlockMassError(ValueError):
    """Blocks of a stated mass far smaller than the rows they are cut from (a record timed in the
    wrong unit, say): the message names the smallest block mass that works."""


def _block_limit(rows_in: int, rows_out: int) -> int:
    """The most blocks the measures make of a series, for so many rows in and out."""
    return min(MAX_BLOCKS, max(MIN_BLOCK_LIMIT, BLOCKS_PER_ROW * max(rows_in, rows_out)))


def _check_block_count(block_mass: float, total: float, rows_in: int, rows_out: int, unit: str = "t",
                       why: str = "") -> None:
    """Refuses (BlockMassError) blocks of `block_mass` that would cut `total` into more blocks than
    :func:`_block_limit` allows, naming the smallest block mass that works."""
    limit = _block_limit(rows_in, rows_out)
    if not (total > 0 and block_mass > 0) or total / block_mass <= limit:
        return
    raise BlockMassError(
        f"blocks of {block_mass:.4g} {unit}{why} cut the {total:.6g} {unit} into {total / block_mass:.3g} "
        f"blocks, far more than the record's {rows_in} and the {rows_out} reclaimed rows (at most {limit}): "
        f"give a block mass of at least {total / limit:.4g} {unit}")


# ----------------------------------------------------------------------------------------------
# Weighted statistics on plain arrays


def _weights(weights: ArrayLike, n: int) -> np.ndarray:
    w = np.asarray(weights, dtype=np.float64)
    if w.shape != (n,):
        raise ValueError(f"weights must be a 1-D array of {n} values, got shape {w.shape}")
    if not np.all(np.isfinite(w)) or np.any(w < 0):
        raise ValueError("weights must be finite and non-negative")
    return w


def _moments(v: np.ndarray, w: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Weighted mean and population std along the first axis of checked weights ``w``, as
    :func:`weighted_mean` and :func:`weighted_std` give them (bit for bit)."""
    keep = w > 0
    v, w = v[keep], w[keep]
    total = w.sum()
    if total == 0:
        return np.full(v.shape[1:], np.nan), np.full(v.shape[1:], np.nan)
    mean = np.tensordot(w, v, axes=(0, 0)) / total
    return mean, np.sqrt(np.tensordot(w, (v - mean) ** 2, axes=(0, 0)) / total)


def weighted_mean(values: ArrayLike, weights: ArrayLike) -> np.ndarray | float:
    """Weighted mean of ``values`` along the first axis.

    ``values`` is 1-D (n,) or 2-D (n, P); ``weights`` (n,) are non-negative (masses in t, say).
    Rows of zero weight do not count, whatever their values (NaN included). Returns a float for
    1-D input, an array of P floats for 2-D input; NaN where the weights sum to zero.
    """
    v, w, total, mean = _weighted(values, weights)
    return float(mean) if mean.ndim == 0 else mean


def weighted_std(values: ArrayLike, weights: ArrayLike) -> np.ndarray | float:
    """Weighted population standard deviation (``ddof = 0``) along the first axis.

    ``sqrt(sum(w (v - m)^2) / sum(w))`` with ``m`` the weighted mean; shapes and the handling of
    zero weights as in :func:`weighted_mean`. NaN where the weights sum to zero.
    """
    v, w, total, mean = _weighted(values, weights)
    std = mean if total == 0 else np.sqrt(np.tensordot(w, (v - mean) ** 2, axes=(0, 0)) / total)
    return float(std) if std.ndim == 0 else std


def _weighted(values: ArrayLike, weights: ArrayLike) -> tuple[np.ndarray, np.ndarray, float, np.ndarray]:
    """The rows of positive weight, their values and weights, the weights' sum and the weighted
    mean along the first axis (NaN where the weights sum to zero)."""
    v = np.asarray(values, dtype=np.float64)
    w = _weights(weights, v.shape[0] if v.ndim else -1)
    keep = w > 0
    v, w = v[keep], w[keep]
    total = w.sum()
    if total == 0:
        return v, w, total, np.full(v.shape[1:], np.nan)
    return v, w, total, np.tensordot(w, v, axes=(0, 0)) / total


def same_mass_blocks(
    values: ArrayLike, masses: ArrayLike, block_mass: float
) -> tuple[np.ndarray, np.ndarray]:
    """Group consecutive rows into blocks of equal mass.

    Row i (value ``values[i]``, 1-D or one row of a 2-D array, mass ``masses[i]`` in t) is split
    proportionally where a block boundary falls inside it: a row of 10 t straddling a boundary at
    4 t gives 4 t to one block and 6 t to the next. Blocks are filled in row order; the last block
    holds what is left (less than ``block_mass``, or nothing: then it is not returned). Rows of
    zero mass do not count.

    Returns ``(block_values, block_masses)``: the mass-weighted mean of each block (shape (k,) or
    (k, P)) and each block's mass (k,). More than :data:`MAX_BLOCKS` blocks are refused
    (:class:`BlockMassError`).
    """
    v = np.asarray(values, dtype=np.float64)
    w = _weights(masses, v.shape[0] if v.ndim else -1)
    return _same_mass_blocks(v, w, block_mass)


def _same_mass_blocks(v: np.ndarray, w: np.ndarray, block_mass: float) -> tuple[np.ndarray, np.ndarray]:
    """:func:`same_mass_blocks` of float64 values and checked masses."""
    if not (block_mass > 0 and math.isfinite(block_mass)):
        raise ValueError(f"block_mass must be positive and finite, got {block_mass!r}")
    keep = w > 0
    v, w = v[keep], w[keep]
    flat = v.reshape(len(v), -1)
    cum_mass = np.concatenate(([0.0], np.cumsum(w)))
    total = cum_mass[-1]
    if total == 0:
        return np.empty((0, *v.shape[1:])), np.empty(0)
    if total / block_mass > MAX_BLOCKS:
        raise BlockMassError(f"blocks of {block_mass:.4g} cut {total:.6g} into {total / block_mass:.3g} blocks, "
                             f"more than {MAX_BLOCKS}: give a block mass of at least {total / MAX_BLOCKS:.4g}")
    count = max(1, math.ceil(total / block_mass - 1e-9))  # no sliver block from rounding
    edges = np.minimum(np.arange(count + 1) * block_mass, total)
    edges[-1] = total
    # Mass-times-value accumulated up to each edge, linear within a row: proportional splitting.
    cum_sums = np.vstack((np.zeros(flat.shape[1]), np.cumsum(w[:, None] * flat, axis=0)))
    at_edges = np.column_stack([np.interp(edges, cum_mass, col) for col in cum_sums.T])
    block_masses = np.diff(edges)
    block_values = np.diff(at_edges, axis=0) / block_masses[:, None]
    return block_values.reshape((count, *v.shape[1:])), block_masses


def in_ranges(positions: ArrayLike, ranges: Sequence[tuple[float, float]]) -> np.ndarray:
    """Boolean mask: which positions (m) lie in any of the closed ranges ``[start, end]``."""
    x = np.asarray(positions, dtype=np.float64)
    mask = np.zeros(x.shape, dtype=bool)
    for start, end in ranges:
        mask |= (x >= start) & (x <= end)
    return mask


def variogram(values: ArrayLike, lags: ArrayLike, weights: ArrayLike | None = None) -> np.ndarray:
    """Experimental semivariogram of a series at integer lags (in rows).

    ``gamma(h) = sum_i w_i w_(i+h) (v_(i+h) - v_i)^2 / (2 sum_i w_i w_(i+h))``: half the mean
    squared difference of values ``h`` rows apart, each pair weighted by the product of the two
    rows' weights (masses, say; default 1), so a row of zero weight (an empty reclaimed row) takes
    part in no pair. For a series of independent values of variance s^2, gamma is about s^2 at
    every lag; drift shows as gamma growing with the lag, a period p as dips at multiples of p.

    Returns one value per lag (float64, the units of ``values`` squared); NaN where a lag has no
    pair of positive weight. Lags must be non-negative integers.
    """
    v = np.asarray(values, dtype=np.float64)
    if v.ndim != 1:
        raise ValueError("values must be a 1-D series")
    w = np.ones(len(v)) if weights is None else _weights(weights, len(v))
    lag_array = np.atleast_1d(np.asarray(lags))
    if lag_array.ndim != 1 or not np.issubdtype(lag_array.dtype, np.integer) or np.any(lag_array < 0):
        raise ValueError("lags must be non-negative integers")
    out = np.full(lag_array.shape, np.nan)
    v = np.where(w > 0, v, 0.0)  # values of weightless rows never enter a pair
    for i, h in enumerate(lag_array.tolist()):
        if h >= len(v):
            continue
        pair = w[: len(v) - h] * w[h:]
        total = pair.sum()
        if total > 0:
            out[i] = float(pair @ (v[h:] - v[: len(v) - h]) ** 2) / (2.0 * total)
    return out


# ----------------------------------------------------------------------------------------------
# Input against output


def _ratio(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.asarray(a, dtype=np.float64) / np.asarray(b, dtype=np.float64)


def blending_table(
    inputs: pd.DataFrame,
    outputs: pd.DataFrame,
    parameters: Sequence[str] | None = None,
    *,
    weight: str = "mass",
) -> pd.DataFrame:
    """Blending measures of an input series against an output series.

    ``inputs``: the input in stacking order, one row per interval, with a weight column (named by
    ``weight``: masses in t, or volumes) and one column per parameter. ``outputs``: the reclaimed
    rows, same columns. ``parameters`` default to the columns the two frames share, less the
    weight column. Rows of zero weight never count.

    Returns a DataFrame indexed by parameter with the columns ``mean_in``, ``std_in`` (per
    interval), ``mean_out``, ``std_out``, ``effect_interval`` (std_in / std_out),
    ``vrr_interval`` (its square), ``std_in_same_mass`` (of the input grouped into blocks of the
    mean output row's mass, :func:`same_mass_blocks`), ``effect_same_mass`` and
    ``vrr_same_mass``; conventions in the module's docstring. An effect is inf where the output
    does not vary and the input does, NaN where neither varies or a side is empty, and NaN for a
    parameter whose input does not vary at all (every row of positive weight holding the same
    value), which ``attrs["constant"]`` then lists. ``attrs`` holds ``block_mass`` (the mean
    output row's mass, in the weight's unit), ``rows_in`` and ``rows_out`` (rows of positive
    weight).
    """
    if parameters is None:
        parameters = [c for c in inputs.columns if c in outputs.columns and c != weight]
    parameters = list(parameters)
    w_in = inputs[weight].to_numpy(dtype=np.float64)
    w_out = outputs[weight].to_numpy(dtype=np.float64)
    v_in = inputs[parameters].to_numpy(dtype=np.float64).reshape(len(inputs), len(parameters))
    v_out = outputs[parameters].to_numpy(dtype=np.float64).reshape(len(outputs), len(parameters))
    table = _table(*_blending_numbers(w_in, v_in, w_out, v_out), parameters)
    return table


def _constant(v: np.ndarray, w: np.ndarray) -> np.ndarray:
    """Per column of v (n, K): whether every row of positive weight holds the same value (the
    input does not vary, so no effect can be measured on it)."""
    kept = v[w > 0]
    if not len(kept):
        return np.zeros(v.shape[1], dtype=bool)
    with np.errstate(invalid="ignore"):
        return np.asarray(np.all(kept == kept[:1], axis=0))


def _derived(v: np.ndarray, derive: Callable[[np.ndarray], np.ndarray] | None) -> np.ndarray:
    """Values (n, P) extended by the derived qualities of each row's averages (n, P + D)."""
    return v if derive is None else np.hstack((v, derive(v)))


def _block_std(v: np.ndarray, w: np.ndarray, block_mass: float,
               derive: Callable[[np.ndarray], np.ndarray] | None) -> np.ndarray:
    """Std of the averages of consecutive blocks of `block_mass` (derived qualities from each
    block's averages), NaN where there is no block."""
    width = _derived(v[:0], derive).shape[1]
    if not (math.isfinite(block_mass) and block_mass > 0 and w.sum() > 0):
        return np.full(width, np.nan)
    blocks, block_masses = _same_mass_blocks(v, w, block_mass)
    return _moments(_derived(blocks, derive), _weights(block_masses, len(blocks)))[1]


def _blending_numbers(
    w_in: np.ndarray,
    v_in: np.ndarray,
    w_out: np.ndarray,
    v_out: np.ndarray,
    *,
    block_mass: float | None = None,
    derive: Callable[[np.ndarray], np.ndarray] | None = None,
    noise: np.ndarray | None = None,
    unit: str = "t",
    why: str = "",
) -> tuple[dict[str, np.ndarray], dict[str, Any]]:
    """The columns and attrs of :func:`blending_table` from the weights (n,) and values (n, P) of
    the input and the output series; with a `block_mass`, also those of the block basis (the
    input's measurement `noise`, a std per quality, taken out for ``effect_material``).
    `derive` maps averages (k, P) to derived qualities (k, D), which become extra columns.
    `unit` (of the weights) and `why` (how the block mass was chosen) word the refusal of
    blocks far smaller than the rows (:func:`_check_block_count`)."""
    w_in = _weights(w_in, len(v_in))
    w_out = _weights(w_out, len(v_out))
    x_in, x_out = _derived(v_in, derive), _derived(v_out, derive)
    mean_in, std_in = _moments(x_in, w_in)
    mean_out, std_out = _moments(x_out, w_out)
    if derive is not None:  # a mixture's derived quality is that of its averages
        k = v_in.shape[1]
        mean_in[k:] = derive(_moments(v_in, w_in)[0][None, :])[0]
        mean_out[k:] = derive(_moments(v_out, w_out)[0][None, :])[0]
    rows_in = int(np.count_nonzero(w_in > 0))
    rows_out = int(np.count_nonzero(w_out > 0))
    if block_mass is not None:
        _check_block_count(block_mass, max(float(w_in.sum()), float(w_out.sum())), rows_in, rows_out, unit, why)
    row_mass = float(w_out.sum() / rows_out) if rows_out else math.nan
    std_blocks = _block_std(v_in, w_in, row_mass, derive) if rows_out else np.full(x_in.shape[1], np.nan)
    constant = _constant(x_in, w_in)
    effect_interval = np.where(constant, np.nan, _ratio(std_in, std_out))
    effect_same_mass = np.where(constant, np.nan, _ratio(std_blocks, std_out))
    columns = {
        "mean_in": mean_in,
        "std_in": std_in,
        "mean_out": mean_out,
        "std_out": std_out,
        "effect_interval": effect_interval,
        "vrr_interval": effect_interval**2,
        "std_in_same_mass": std_blocks,
        "effect_same_mass": effect_same_mass,
        "vrr_same_mass": effect_same_mass**2,
    }
    attrs: dict[str, Any] = {"block_mass": row_mass, "rows_in": rows_in, "rows_out": rows_out}
    if block_mass is not None:
        total_in = float(w_in.sum())
        blocks = max(1, math.ceil(total_in / block_mass - 1e-9)) if total_in > 0 else 0
        std_in_block = _block_std(v_in, w_in, block_mass, derive)
        std_out_block = _block_std(v_out, w_out, block_mass, derive)
        # One block of input (or none) has no spread to measure: no block effect, not 0.
        unmeasured = constant | (blocks < 2)
        effect_block = np.where(unmeasured, np.nan, _ratio(std_in_block, std_out_block))
        kept = w_in[w_in > 0]
        # A block averages about block_mass / (sum w² / sum w) independent analyses.
        per_row = float((kept * kept).sum() / kept.sum()) if kept.size else math.nan
        share = min(1.0, per_row / block_mass) if math.isfinite(per_row) else math.nan
        noise = np.full(x_in.shape[1], np.nan) if noise is None else np.asarray(noise, dtype=np.float64)
        std_noise = noise * math.sqrt(share)
        # Noise at least the input's whole spread leaves no spread of the material to measure.
        noise_only = ~unmeasured & (std_noise >= std_in_block)
        material = np.sqrt(np.maximum(std_in_block**2 - std_noise**2, 0.0))
        effect_material = np.where(unmeasured | noise_only, np.nan, _ratio(material, std_out_block))
        columns.update({
            "std_in_block": std_in_block,
            "std_out_block": std_out_block,
            "effect_block": effect_block,
            "vrr_block": effect_block**2,
            "std_noise": std_noise,
            "effect_material": effect_material,
        })
        attrs["row_mass"] = row_mass
        attrs["block_mass"] = float(block_mass)
        attrs["blocks"] = blocks
        attrs["noise_only_mask"] = noise_only
        attrs["unmeasurable"] = _unmeasurable(blocks, rows_in, constant, block_mass, unit)
    attrs["constant_mask"] = constant
    return columns, attrs


def _unmeasurable(blocks: int, rows_in: int, constant: np.ndarray, block_mass: float, unit: str) -> str:
    """Why no block effect can be measured on the input at all ("" when one can)."""
    if rows_in < 2:
        return (f"the input holds {'no row' if rows_in == 0 else 'one row'} of positive amount, so its "
                "quality does not vary: no effect can be measured; give a record with more rows of feed")
    if blocks < 2:
        return (f"the input holds fewer than two blocks of {block_mass:.4g} {unit} ({blocks}), so no spread "
                "between blocks and no effect can be measured: give a longer record or a smaller block mass")
    if constant.size and bool(np.all(constant)):
        return "no quality of the input varies: no effect can be measured"
    return ""


def _table(columns: dict[str, np.ndarray], attrs: dict[str, Any], parameters: Sequence[str]) -> pd.DataFrame:
    table = pd.DataFrame(columns, index=pd.Index(list(parameters), name="parameter"))
    attrs = dict(attrs)
    mask = attrs.pop("constant_mask", None)
    if mask is not None and bool(np.any(mask)):
        attrs["constant"] = [str(p) for p, c in zip(parameters, mask) if c]
    noise_only = attrs.pop("noise_only_mask", None)
    if noise_only is not None:
        attrs["noise_only"] = [str(p) for p, c in zip(parameters, noise_only) if c]
    table.attrs = attrs
    return table


class _Placement:
    """Per record row, the volume a plan placed and the part of it outside some ranges along the
    reclaim axis, from the portions in stacking (time) order, given block after block: a portion
    belongs to the record row whose cumulative volume range holds its middle. The sums run
    portion after portion, so blocks of any size give the same numbers, bit for bit."""

    def __init__(self, record_volume: np.ndarray, ranges: Sequence[tuple[float, float]]) -> None:
        self.ends = np.cumsum(record_volume)
        self.ranges = ranges
        self.kept = np.zeros(len(self.ends))
        self.placed = np.zeros(len(self.ends))
        self.stacked: float | None = None  # cumulative volume of the portions so far
        self.time = -math.inf  # the last portion's time
        self.ordered = True  # whether the portions came in time order

    def add(self, time: np.ndarray | None, x: np.ndarray, volume: np.ndarray) -> None:
        """Takes the next portions: positions ``x`` (m) and volumes (m³); with their times (h),
        checks that they come in time order (else `ordered` turns False and the rest is ignored)."""
        if not self.ordered or not len(volume):
            return
        if time is not None:
            if not (time[0] >= self.time and bool(np.all(time[1:] >= time[:-1]))):
                self.ordered = False
                return
            self.time = float(time[-1])
        if self.stacked is None:
            cumulative = np.cumsum(volume)
        else:  # the running sum carried on: the same additions as one cumsum of every portion
            carried = np.empty(len(volume) + 1)
            carried[0] = self.stacked
            carried[1:] = volume
            cumulative = np.cumsum(carried, out=carried)[1:]
        self.stacked = float(cumulative[-1])
        middles = cumulative - volume / 2
        row = np.minimum(np.searchsorted(self.ends, middles, side="right"), len(self.ends) - 1)
        outside = ~in_ranges(x, self.ranges)
        np.add.at(self.kept, row, volume * outside)  # portion after portion, as bincount adds
        np.add.at(self.placed, row, volume)

    def share(self) -> np.ndarray:
        """Per record row, the share of its volume placed outside the ranges (1 for rows with
        no portion)."""
        with np.errstate(divide="ignore", invalid="ignore"):
            share: np.ndarray = np.where(self.placed > 0, self.kept / self.placed, 1.0)
        return share


def _share_outside(record: Record, portions: pd.DataFrame, ranges: Sequence[tuple[float, float]]) -> np.ndarray:
    """Per record row, the share of its volume that the plan dropped outside the ranges."""
    time = portions["time"].to_numpy(dtype=np.float64)
    if not bool(np.all(time[1:] >= time[:-1])):  # (a stable sort of ordered times changes nothing)
        portions = portions.sort_values("time", kind="stable")
    placement = _Placement(record.frame["volume"].to_numpy(dtype=np.float64), ranges)
    placement.add(None, portions["x"].to_numpy(dtype=np.float64), portions["volume"].to_numpy(dtype=np.float64))
    return placement.share()


def _input_share_outside(result: Result) -> np.ndarray:
    """Per record row, the share of its volume that the plan dropped outside every end cone."""
    return _share_outside(result.record, result.portions, result.end_cones)


def _in_cones(x: np.ndarray, increment: float, ranges: Sequence[tuple[float, float]]) -> np.ndarray:
    """Which reclaimed rows hold end-cone material: those whose step, from ``x - increment`` to
    ``x``, overlaps a range by more than rounding (a row that only touches a range's edge does
    not). The whole step counts, so a long step that takes in the first slice's wedge counts too."""
    x = np.asarray(x, dtype=np.float64)
    tolerance = 1e-9 * max(float(increment), 1.0)
    mask = np.zeros(x.shape, dtype=bool)
    for start, end in ranges:
        mask |= (x > start + tolerance) & (x - increment < end - tolerance)
    return mask


def quality_series(result: Result, *, end_cones: bool = True) -> tuple[pd.DataFrame, pd.DataFrame]:
    """The input and output series that the measures compare.

    Returns ``(inputs, outputs)``. ``inputs``: the record's rows in stacking order with the
    columns ``time`` (h from the record's start), ``volume`` (m³), ``mass`` (t), every parameter
    and ``weight``. ``outputs``: the reclaimed rows (``x`` in m, ``volume``, ``mass``, every
    parameter, ``time_mean``, ``time_std`` in h) and ``weight``. ``weight`` is the mass, or the
    volume for a record without a bulk density. Rows of zero weight stay in (they never count in
    the measures). With ``end_cones=False`` the reclaimed rows in the end cones are dropped, and
    each input row's volume, mass and weight shrink to the part the plan dropped outside them
    (module docstring). For :func:`variogram`: ``variogram(inputs["SiO2"], lags, inputs["weight"])``.
    """
    parameters = list(result.record.parameters)
    by_mass = result.record.bulk_density is not None
    inputs = result.record.frame[["time", "volume", "mass", *parameters]].reset_index(drop=True)
    inputs["weight"] = inputs["mass" if by_mass else "volume"]
    outputs = result.reclaimed.assign(weight=result.reclaimed["mass" if by_mass else "volume"])
    if not end_cones and result.end_cones:
        share = _input_share_outside(result)
        inputs[["volume", "mass", "weight"]] = inputs[["volume", "mass", "weight"]].mul(share, axis=0)
        cones = _in_cones(outputs["x"].to_numpy(), result.reclaim_increment, result.end_cones)
        outputs = outputs[~cones]
    return inputs, outputs.reset_index(drop=True)


# ----------------------------------------------------------------------------------------------
# The stated basis, derived qualities and the input's measurement noise


def default_block_mass(record: Record) -> float:
    """The default mass of a block (t; m³ for a record without a bulk density): one hour of the
    record's mean feed rate, its mass over its duration in hours. It depends on the record only,
    never on the grid or the reclaim step."""
    weight = "mass" if record.bulk_density is not None else "volume"
    return float(record.frame[weight].sum()) / float(record.duration)


def _block_mass(record: Record, block_mass: float | None) -> float:
    if block_mass is None:
        return default_block_mass(record)
    if isinstance(block_mass, bool) or not isinstance(block_mass, (int, float, np.integer, np.floating)):
        raise TypeError(f"block_mass must be a number of t, not {type(block_mass).__name__}")
    if not (math.isfinite(float(block_mass)) and float(block_mass) > 0):
        raise ValueError(f"block_mass must be a finite mass above 0 t, not {block_mass}")
    return float(block_mass)


def _unit(record: Record) -> str:
    return "t" if record.bulk_density is not None else "m³"


def _why(record: Record, block_mass: float | None) -> str:
    """How the block mass was chosen, for messages ("" when the caller gave it)."""
    return " (one hour of the record's mean feed rate)" if block_mass is None else ""


def _options(record: Record, block_mass: float | None) -> dict[str, Any]:
    """The keywords of :func:`_blending_numbers` for a record's block basis."""
    return {"block_mass": _block_mass(record, block_mass), "derive": _deriver(record),
            "noise": _record_noise(record), "unit": _unit(record),
            "why": _why(record, block_mass)}


def _basis(record: Record, block_mass: float | None, mass: float) -> str:
    unit = "t" if record.bulk_density is not None else "m³"
    if block_mass is None:
        return (f"consecutive blocks of {mass:.6g} {unit} of input and of reclaimed material "
                f"(one hour of the record's mean feed rate of {mass:.6g} {unit}/h)")
    return f"consecutive blocks of {mass:.6g} {unit} of input and of reclaimed material"


def _names(record: Record) -> list[str]:
    """The rows of a blending table: the parameters, then the derived qualities."""
    return [*record.parameters, *getattr(record, "derived", {})]


def _deriver(record: Record) -> Callable[[np.ndarray], np.ndarray] | None:
    """Averages (k, P) -> derived qualities (k, D) of a record with derived qualities, else None."""
    derived = list(getattr(record, "derived", {}) or {})
    if not derived:
        return None
    parameters = list(record.parameters)

    def derive(v: np.ndarray) -> np.ndarray:
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            out = record.derive({p: v[:, i] for i, p in enumerate(parameters)})
        return np.column_stack([np.broadcast_to(np.asarray(out[d], dtype=np.float64), (len(v),))
                                for d in derived]).reshape(len(v), len(derived))

    return derive


# A record's noise, by the record: it depends on the record alone, and a population evaluates the
# same record many times. Records are values (a run never changes one); an entry goes with its
# record.
_NOISE: dict[int, tuple[weakref.ref[Record], np.ndarray]] = {}


def _record_noise(record: Record) -> np.ndarray:
    """:func:`measurement_noise` of a record as an array, computed once per record object."""
    key = id(record)
    known = _NOISE.get(key)
    if known is not None and known[0]() is record:
        return known[1]
    noise = measurement_noise(record).to_numpy()
    noise.flags.writeable = False
    try:
        ref = weakref.ref(record, lambda _, key=key: _NOISE.pop(key, None))  # type: ignore[misc]
    except TypeError:  # a record type without weak references: computed each time
        return noise
    _NOISE[key] = (ref, noise)
    return noise


#: Lags (in rows) whose semivariogram is extrapolated to lag 0 by :func:`measurement_noise`.
NOISE_LAGS = (1, 2, 3, 4)


def _nugget(values: np.ndarray) -> float:
    """The semivariogram's intercept at lag 0 from a straight line through its first lags
    (:data:`NOISE_LAGS`), kept between 0 and the first lag's value."""
    if len(values) <= max(NOISE_LAGS) + 1 or not np.all(np.isfinite(values)):
        return math.nan
    lags = np.asarray(NOISE_LAGS)
    gamma = variogram(values, lags)
    slope, intercept = np.polyfit(lags.astype(np.float64), gamma, 1)
    return float(min(max(intercept, 0.0), gamma[0]))


def measurement_noise(record: Record) -> pd.Series:
    """Each quality's measurement noise (the analyser's own error) as a standard deviation, in the
    parameter's unit, estimated from the nugget of the record's semivariogram.

    The estimator: the semivariogram of the record's rows of positive amount (stopped rows left
    out), gamma(h) at the lags h = 1 to 4 rows (:func:`variogram`, unweighted), is extrapolated to
    h = 0 by a least-squares straight line; its intercept, the nugget, kept between 0 and
    gamma(1), is the noise's variance. Uncorrelated noise of variance s² adds s² to gamma at every
    lag while a drift's share grows from 0, so the intercept is the noise's share where the drift
    is smooth over a few rows (a drift that changes within a row reads as noise). Rows are taken
    as equally spaced. Derived qualities (if the record has any) follow the parameters, estimated
    the same way from their rows' values. NaN where the record has five rows or fewer.
    """
    frame = record.frame
    fed = frame["volume"].to_numpy(dtype=np.float64) > 0
    values = np.column_stack([frame[p].to_numpy(dtype=np.float64)[fed] for p in record.parameters]).reshape(
        int(fed.sum()), len(record.parameters))
    values = _derived(values, _deriver(record))
    names = _names(record)
    return pd.Series([_nugget(values[:, i]) for i in range(len(names))], index=pd.Index(names, name="parameter"),
                     name="measurement_noise").pow(0.5)


def blending(result: Result, *, end_cones: bool = True, block_mass: float | None = None) -> pd.DataFrame:
    """Blending measures of a simulation run, per quality parameter (derived qualities after).

    Input: the record's rows (mass-weighted); output: the reclaimed rows (mass = volume x bulk
    density). ``end_cones=False`` leaves out the reclaimed rows in the plan's end cones and the
    input the plan dropped there (see the module's docstring). Means and stds in the
    parameter's units, ``ddof = 0``, ``H = std_in / std_out``, ``VRR = H**2``.

    Bases (each column names its own):

    - *interval* and *same mass*, as in :func:`blending_table` (the same-mass blocks hold the
      mean reclaimed row's mass, ``attrs["row_mass"]``, which depends on the grid and the
      reclaim step);
    - *block*, the stated basis: input and reclaimed material each grouped into consecutive
      blocks of ``block_mass`` (t; m³ for a record without a bulk density), by default one hour
      of the record's mean feed rate (:func:`default_block_mass`), whatever the grid:
      ``std_in_block``, ``std_out_block``, ``effect_block`` (their ratio), ``vrr_block``;
    - the *material's* effect: ``std_noise`` is the input's measurement noise
      (:func:`measurement_noise`) in a block's average, ``noise * sqrt(m / block_mass)`` for
      rows of mean mass m (``sum w² / sum w``), at most the noise itself; ``effect_material`` is
      ``sqrt(std_in_block² - std_noise²) / std_out_block``: the bed's effect on the material's
      own spread, which the analyser's noise does not inflate. Where the noise is at least the
      input's whole block spread (``std_noise >= std_in_block``: white noise, say) nothing is
      left of the material's spread to measure: ``effect_material`` is NaN there, not 0, and
      ``attrs["noise_only"]`` lists those qualities. The output keeps the averaged noise it
      carries, so this is the cautious figure.

    A quality whose input does not vary (every row of positive weight holds the same value) has
    no effect: every effect and VRR is NaN there, and ``attrs["constant"]`` lists it (an empty
    list when there is none); worst effects leave it out (:func:`worst_effect`). Derived
    qualities (``record.derived``) are extra rows, each computed from the averages of every row,
    block or mixture, never averaged themselves. ``attrs``: ``block_mass``, ``basis`` (a
    sentence naming the block basis), ``row_mass``, ``rows_in``, ``rows_out``, ``end_cones``,
    ``constant``, ``noise_only`` (qualities whose ``effect_material`` is NaN for the noise),
    ``blocks`` (the input's blocks of ``block_mass``, a last partial one included) and
    ``unmeasurable``: "" when effects can be measured, else the sentence saying why not (an
    input of fewer than two blocks of the stated mass, or of fewer than two rows of feed, or
    no quality that varies). With fewer than two blocks the block columns' effects and VRRs
    are NaN; check ``attrs["unmeasurable"]`` before reporting any effect as a result.

    Raises :class:`BlockMassError` (a ValueError) for blocks far smaller than the rows (more
    than :data:`BLOCKS_PER_ROW` per record or reclaimed row, and more than
    :data:`MIN_BLOCK_LIMIT`, or more than :data:`MAX_BLOCKS` in all: a record timed in the
    wrong unit, say), naming the smallest block mass that works.
    """
    record = result.record
    mass = _block_mass(record, block_mass)
    share = _input_share_outside(result) if not end_cones and result.end_cones else None
    columns, attrs = _blending_numbers(*_series(result, end_cones, share), **_options(record, block_mass))
    table = _table(columns, attrs, _names(record))
    table.attrs.setdefault("constant", [])
    table.attrs["basis"] = _basis(record, block_mass, mass)
    table.attrs["end_cones"] = end_cones
    return table


def worst_effect(effects: pd.Series | Sequence[float], constant: Sequence[bool] | None = None) -> float:
    """The smallest effect, leaving out qualities whose input does not vary (NaN effects, or
    those flagged in `constant`); NaN when none is left."""
    values = np.asarray(effects, dtype=np.float64)
    keep = ~np.isnan(values)
    if constant is not None:
        keep &= ~np.asarray(constant, dtype=bool)
    return float(values[keep].min()) if keep.any() else math.nan


def _series(
    run: Result | _Run, end_cones: bool, share: np.ndarray | None
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """The input and output weights (n,) and values (n, P) of :func:`quality_series`;
    ``share``: per record row, the part of its volume dropped outside the end cones (needed
    for ``end_cones=False`` when the run has end cones)."""
    record, reclaimed = run.record, run.reclaimed
    parameters = list(record.parameters)
    weight = "mass" if record.bulk_density is not None else "volume"
    frame = record.frame
    w_in = frame[weight].to_numpy(dtype=np.float64)
    v_in = np.empty((len(w_in), len(parameters)))
    for i, name in enumerate(parameters):
        v_in[:, i] = frame[name].to_numpy(dtype=np.float64)
    w_out = np.asarray(reclaimed[weight], dtype=np.float64)
    v_out = np.empty((len(w_out), len(parameters)))
    for i, name in enumerate(parameters):
        v_out[:, i] = np.asarray(reclaimed[name], dtype=np.float64)
    if not end_cones and run.end_cones:
        assert share is not None
        w_in = w_in * share
        keep = ~_in_cones(np.asarray(reclaimed["x"], dtype=np.float64), run.reclaim_increment, run.end_cones)
        w_out, v_out = w_out[keep], v_out[keep]
    return w_in, v_in, w_out, v_out


def _blending_both(
    run: Result | _Run, share: np.ndarray | None = None, *, block_mass: float | None = None
) -> dict[bool, tuple[dict[str, np.ndarray], dict[str, Any]]]:
    """The columns and attrs of :func:`blending` with (True) and without (False) the end cones,
    each computed once (one serves for both where the run has no end cones). ``share`` as in
    :func:`_series`; by default from the run's portions."""
    record = run.record
    options = _options(record, block_mass)
    both = {True: _blending_numbers(*_series(run, True, None), **options)}
    if not run.end_cones:
        both[False] = both[True]
    else:
        if share is None:
            assert isinstance(run, Result)
            share = _input_share_outside(run)
        both[False] = _blending_numbers(*_series(run, False, share), **options)
    return both


def _measured_run(
    bed: BedSettings, record: Record, plan: Plan, *, seed: int | None, reclaim_increment: float | None
) -> tuple[Result | _Run, dict[bool, tuple[dict[str, np.ndarray], dict[str, Any]]]]:
    """A run and its :func:`_blending_both`, the portions cut and stacked in blocks
    (:func:`pilora.run._run_blocks`) where that gives the numbers of :func:`simulate`, which
    runs otherwise."""
    placements: list[_Placement] = []

    def watch(ranges: tuple[tuple[float, float], ...]) -> Callable[[np.ndarray, np.ndarray, np.ndarray], None] | None:
        if not ranges:
            return None
        placements.append(_Placement(record.frame["volume"].to_numpy(dtype=np.float64), ranges))
        return placements[0].add

    run = _run_blocks(bed, record, plan, seed=seed, reclaim_increment=reclaim_increment, watch=watch)
    if run is None:
        result = simulate(bed, record, plan, seed=seed, reclaim_increment=reclaim_increment)
        return result, _blending_both(result)
    share = None
    if placements:
        if placements[0].ordered:
            share = placements[0].share()
        else:  # portions out of time order: sorted as a whole, as from a Result
            share = _share_outside(record, plan.portions(record, bed), run.end_cones)
    return run, _blending_both(run, share)


# ----------------------------------------------------------------------------------------------
# The reclaimed flow


def _flow_rows(result: Result | _Run, end_cones: bool) -> np.ndarray:
    reclaimed = result.reclaimed
    x = np.asarray(reclaimed["x"], dtype=np.float64)
    keep = np.ones(len(x), dtype=bool)
    keep[:1] = False  # row 0: the reclaimer's start, always empty
    if len(x) > 1 and x[-1] > result.bed.reclaim_length * (1 + 1e-6):
        keep[-1] = False  # the last step reaches past the bed's end
    if not end_cones:
        keep &= ~_in_cones(x, result.reclaim_increment, result.end_cones)
    volume: np.ndarray = np.asarray(reclaimed["volume"], dtype=np.float64)
    return volume[keep]


def _flow_std(result: Result | _Run, end_cones: bool) -> float:
    volume = _flow_rows(result, end_cones)
    return float(np.std(volume)) if len(volume) else math.nan


def flow_variability_rows(result: Result, *, end_cones: bool = True) -> float:
    """Standard deviation of the reclaimed volume per reclaim step (m³), ``ddof = 0``, unweighted:
    a figure of the grid and the step (see :func:`flow_variability` for the physical one).

    Every step of the reclaimer counts, empty ones too (an interruption of the flow), except row 0
    (the reclaimer's start: always empty) and the last row when its step reaches past the bed's
    reclaim length (a partial step). ``end_cones=False`` also leaves out the steps that overlap
    an end cone. A steady flow gives 0; divide by the increment for m³ per m.
    """
    return _flow_std(result, end_cones)


def _flow_cv(run: Result | _Run, end_cones: bool, block_mass: float | None = None) -> float:
    """:func:`flow_variability` of a run."""
    record, reclaimed = run.record, run.reclaimed
    weight = np.asarray(reclaimed["mass" if record.bulk_density is not None else "volume"], dtype=np.float64)
    weight = np.where(np.isfinite(weight), weight, 0.0)
    x = np.asarray(reclaimed["x"], dtype=np.float64)
    increment = float(run.reclaim_increment)
    end = float(run.bed.reclaim_length)
    full = np.flatnonzero(weight > 0)
    if not full.size:
        return math.nan
    # The heap: from the start of its first step holding material to the end of its last.
    heap_start, heap_end = max(x[full[0]] - increment, 0.0), min(x[full[-1]], end)
    total = float(weight.sum())
    mass = _block_mass(record, block_mass)
    _check_block_count(mass, total, len(record.frame), int(full.size), _unit(record), _why(record, block_mass))
    window = (heap_end - heap_start) * mass / total
    rows = full
    if not end_cones and run.end_cones:
        rows = full[~_in_cones(x[full], increment, run.end_cones)]
        if not rows.size:
            return math.nan
    lo, hi = int(rows[0]), int(rows[-1])
    start, stop = max(x[lo] - increment, 0.0), min(x[hi], end)
    if not (window > 0 and stop > start):
        return math.nan
    bounds = np.concatenate(([start], np.minimum(x[lo:hi + 1], end)))
    cumulative = np.concatenate(([0.0], np.cumsum(weight[lo:hi + 1])))
    edges = np.arange(start, stop, window)
    if stop - edges[-1] < 1e-9 * window:
        edges = edges[:-1]
    edges = np.append(edges, stop)
    amounts = np.diff(np.interp(edges, bounds, cumulative))
    lengths = np.diff(edges)
    rate = amounts / lengths
    mean = float(amounts.sum() / lengths.sum())
    std = math.sqrt(float(np.sum(lengths * (rate - mean) ** 2) / lengths.sum()))
    return 100.0 * std / mean if mean > 0 else math.nan


def flow_variability(result: Result, *, end_cones: bool = True, block_mass: float | None = None) -> float:
    """Variability of the reclaimed flow, in per cent: the coefficient of variation (std over
    mean, ``ddof = 0``) of the tonnes reclaimed per block of time, for a reclaimer advancing at a
    constant speed.

    The reclaimer advances at the speed that reclaims the whole heap (from the first step holding
    material to the last) in blocks of ``block_mass`` on average (default one hour of the record's
    mean feed rate, as for :func:`blending`): each block of time takes a window of the same
    length along the reclaim axis, and its tonnes are the material reclaimed in that window
    (rows split in proportion where a window's edge falls inside them; m³ for a record without a
    bulk density). Windows are weighted by their length, so a short last window counts little.
    ``end_cones=False`` counts only the windows over the stretch between the end cones (the same
    window length). A steady flow gives 0; the figure depends on the heap, not on the grid or the
    reclaim step. The per-step figure of the grid is :func:`flow_variability_rows`. Blocks far
    smaller than the rows are refused with a :class:`BlockMassError`, as :func:`blending`
    refuses them.
    """
    return _flow_cv(result, end_cones, block_mass)


def _jsonable(value: Any) -> Any:
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    if isinstance(value, (np.floating, float)):
        value = float(value)
        return value if math.isfinite(value) else None
    if isinstance(value, np.integer):
        return int(value)
    if isinstance(value, np.bool_):
        return bool(value)
    if isinstance(value, (str, int, bool)) or value is None:
        return value
    return repr(value)


def _fields(obj: Any) -> dict[str, Any]:
    import dataclasses

    if dataclasses.is_dataclass(obj) and not isinstance(obj, type):
        return {f.name: getattr(obj, f.name) for f in dataclasses.fields(obj)}
    return {}


def _version() -> str:
    try:
        return metadata.version("pilora")
    except metadata.PackageNotFoundError:
        from . import __version__

        return __version__


def summary(result: Result) -> dict[str, Any]:
    """A JSON-able digest of a run: what went in, and the measures of what came out.

    Keys: ``version`` (the package's), ``seed``, ``settings`` (the bed's fields, as given),
    ``cells`` (the grid the settings resolve to: ``chunks_per_volume_unit`` per m³,
    ``cell_size`` m, ``chunk_volume`` m³, ``grid_shape`` [cells across, cells along]), ``plan``
    (``type``, ``repr`` and ``fields``), ``record`` (rows, parameters, mass t, volume m³,
    duration h), ``reclaim_increment`` (m), ``blending`` and ``blending_without_end_cones``
    (parameter -> column -> value, as :func:`blending`), ``flow_variability`` and
    ``flow_variability_without_end_cones`` (per cent, see below), ``balance`` (m³, as
    ``Result.balance``), ``end_cones`` (list of [start, end] in m) and ``fill`` (stacked volume
    over the largest heap the bed holds at the angle of repose, ``BedSettings.heap_capacity``:
    1 is a full bed). ``blocks``, ``unmeasurable``, ``constant`` and ``noise_only`` are
    :func:`blending`'s attrs of the same names (with the end cones). ``basis`` names the blocks
    of the ``_block`` columns and ``block_mass`` is
    their mass (t); ``flow_variability`` is in per cent (:func:`flow_variability`),
    ``flow_variability_rows`` in m³ per step. Non-finite numbers become None, so the dict passes
    ``json.dumps(..., allow_nan=False)``.
    """
    record = result.record
    capacity = float(result.bed.heap_capacity)
    mass = default_block_mass(record)

    both = _blending_both(result, block_mass=mass)

    def table(end_cones: bool) -> dict[str, dict[str, float]]:
        columns = both[end_cones][0]
        return {str(p): {c: float(values[i]) for c, values in columns.items()}
                for i, p in enumerate(_names(record))}

    digest = {
        "version": _version(),
        "seed": int(result.seed),
        "settings": _fields(result.bed),
        "cells": {
            "chunks_per_volume_unit": float(result.bed.resolved_chunks_per_volume_unit),
            "cell_size": float(result.bed.cell_size),
            "chunk_volume": float(result.bed.chunk_volume),
            "grid_shape": [int(n) for n in result.bed.grid_shape],
        },
        "plan": {
            "type": type(result.plan).__name__,
            "repr": repr(result.plan),
            "fields": _fields(result.plan),
        },
        "record": {
            "rows": len(record.frame),
            "parameters": list(record.parameters),
            "mass": float(record.frame["mass"].sum()) if record.bulk_density is not None else math.nan,
            "volume": float(record.frame["volume"].sum()),
            "duration": float(record.duration),
        },
        "reclaim_increment": float(result.reclaim_increment),
        "basis": _basis(record, None, mass),
        "block_mass": mass,
        "blending": table(True),
        "blending_without_end_cones": table(False),
        "constant": [str(p) for p, c in zip(_names(record), both[True][1]["constant_mask"]) if c],
        "noise_only": [str(p) for p, c in zip(_names(record), both[True][1]["noise_only_mask"]) if c],
        "blocks": both[True][1]["blocks"],
        "unmeasurable": both[True][1]["unmeasurable"],
        "flow_variability": flow_variability(result),
        "flow_variability_without_end_cones": flow_variability(result, end_cones=False),
        "flow_variability_rows": flow_variability_rows(result),
        "flow_variability_rows_without_end_cones": flow_variability_rows(result, end_cones=False),
        "balance": dict(result.balance),
        "end_cones": [list(r) for r in result.end_cones],
        "fill": result.balance["stacked"] / capacity if capacity > 0 else math.nan,
    }
    jsonable: dict[str, Any] = _jsonable(digest)
    return jsonable
