"""Replicates of a study: realisations of a record, and intervals over the replicates' results.

A bed's effect on one record depends on chance twice: on the model's random draws (the seed) and
on how the record's events (a run of high lime, a stoppage, a change of bench) happen to fall on
the stacker's passes. The second is by far the larger: on the sample record chevron's worst
effect moves by some 0.4 over seeds but from 21 to 52 over layer counts a few percent apart,
because each count lines the same events up differently with the passes. A decision taken from
one record must hold for the next, whose events will fall elsewhere; so replicates vary both.

Realisations (:func:`realisations`)
    Realisation 0 is the record itself. Realisation k (k = 1, 2, ...) is the record *rotated*:
    it starts at row j_k and runs to the end, then continues with rows 0 .. j_k - 1, its times
    laid anew from the rows' durations. The start rows are drawn at random, one in each of
    ``count`` equal stretches of the record (stratified: j_k uniform in
    [k n / count, (k + 1) n / count) for n rows), from ``numpy.random.default_rng(seed)``.

    Why rotation rather than a moving-block bootstrap: a rotation keeps every row, so the mass,
    the distribution of every quality, the variogram (the drift the bed is there to even out) and
    the stoppages are the record's own, save one seam where its end meets its start; only the
    timing of the events relative to the passes moves, and by an offset that, measured within one
    pass, is spread evenly over the pass. A moving-block bootstrap would also change what the
    record holds (blocks repeated, others left out, a seam at every block boundary) and needs a
    block length chosen against the drift's correlation length, which the comparison should not
    depend on. Rotations do not depend on the plan, so every plan of a comparison runs on the
    same realisations: the plans are compared on equal material.

Intervals (:func:`interval`)
    By default the Student-t interval of the mean over the replicates: mean ± t(1 - (1 - coverage)
    / 2, n - 1) s / sqrt(n), with s the sample standard deviation (ddof 1) of n values. It covers
    the expected value over seeds and event timings with probability ``coverage`` for replicates
    that are roughly normal; with one value there is no interval (both bounds NaN).

    Effects (H = std in / std out) and coefficients of variation are positive ratios that
    spread on a multiplicative scale (a few events more or less on a pass scale an effect up or
    down rather than shift it), and a t-interval of their mean can reach below zero (28.4, from
    -1.44 to 58.3, from two replicates of the sample record). For them ``positive=True`` takes the interval on the logarithm: the t-interval of
    the mean of ln(value), back-transformed, exp(m ± t s_ln / sqrt(n)). Its centre is the
    geometric mean, its bounds are always above zero and the interval is asymmetric about the
    centre as such ratios are; it covers the median of a log-normally spread quantity. ``compare``
    and ``optimise`` take every effect's and flow variability's interval this way.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Sequence

import numpy as np
import pandas as pd

from .record import Record

__all__ = ["interval", "realisations", "rotated", "start_rows"]


def rotated(record: Record, start: int) -> Record:
    """The record begun at row ``start``: rows start .. n - 1, then 0 .. start - 1, times laid anew
    from the durations (hours from 0); everything else (parameters, density, date of the start,
    units) kept. ``start`` 0 gives the record itself."""
    n = len(record)
    if isinstance(start, bool) or not isinstance(start, (int, np.integer)) or not 0 <= start < n:
        raise ValueError(f"start must be a row of the record, 0 to {n - 1}, not {start!r}")
    if start == 0:
        return record
    frame = record.frame
    order = np.r_[np.arange(start, n), np.arange(0, start)]
    moved = frame.iloc[order].reset_index(drop=True)
    durations = moved["duration"].to_numpy(dtype=float)
    times = np.concatenate([[0.0], np.cumsum(durations[:-1])])
    moved["time"] = times
    return dataclasses.replace(record, frame=moved)


def start_rows(record: Record, count: int, *, seed: int) -> list[int]:
    """The rows the ``count`` realisations start at: 0, then one row drawn uniformly in each
    further stretch [k n / count, (k + 1) n / count) of the record's n rows."""
    if isinstance(count, bool) or not isinstance(count, (int, np.integer)) or count < 1:
        raise ValueError(f"count must be a whole number of at least 1, not {count!r}")
    n = len(record)
    if count > n:
        raise ValueError(f"a record of {n} rows has at most {n} realisations, not {count}")
    rng = np.random.default_rng(seed)
    rows = [0]
    for k in range(1, int(count)):
        low, high = (k * n) // count, ((k + 1) * n) // count
        rows.append(int(rng.integers(max(low, 1), max(high, low + 1))))
    return rows


def realisations(record: Record, count: int, *, seed: int) -> list[Record]:
    """``count`` realisations of ``record``: the record itself, then ``count - 1`` rotations
    started at the rows :func:`start_rows` draws (see the module's documentation).

    The same (record, count, seed) always gives the same realisations.
    """
    return [rotated(record, start) for start in start_rows(record, count, seed=seed)]


def interval(values: Sequence[float] | np.ndarray | pd.Series, coverage: float = 0.9, *,
             positive: bool = False) -> tuple[float, float, float]:
    """(centre, low, high): the centre of ``values`` and the Student-t interval of ``coverage``
    around it (see the module's documentation).

    ``positive=False``: the arithmetic mean and the t-interval of the mean. ``positive=True``, for
    positive ratios such as effects and coefficients of variation: the geometric mean and the
    t-interval of the mean logarithm, back-transformed, so both bounds are above zero; a value of
    0 or below has no logarithm and gives the arithmetic mean with NaN bounds.

    NaN among the values gives NaN throughout (a missing result is not averaged away); a single
    value gives (value, NaN, NaN).
    """
    if not 0.0 < coverage < 1.0:
        raise ValueError(f"coverage must lie between 0 and 1, not {coverage!r}")
    array = np.asarray(values, dtype=float).ravel()
    if array.size == 0:
        return math.nan, math.nan, math.nan
    mean = float(array.mean())
    if array.size == 1 or not np.isfinite(array).all():
        return (mean if np.isfinite(mean) else math.nan), math.nan, math.nan
    if positive and not bool(np.all(array > 0)):
        return mean, math.nan, math.nan
    from scipy import stats

    sample = np.log(array) if positive else array
    centre = float(sample.mean())
    spread = float(sample.std(ddof=1)) / math.sqrt(array.size)
    half = float(stats.t.ppf(0.5 + coverage / 2.0, array.size - 1)) * spread
    if positive:
        return math.exp(centre), math.exp(centre - half), math.exp(centre + half)
    return centre, centre - half, centre + half
