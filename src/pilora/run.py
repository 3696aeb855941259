"""One simulation run: a record stacked onto a bed by a plan, then reclaimed.

:func:`simulate` goes from (bed settings, record, plan, seed) to a :class:`Result`: what went in,
what came out row by row, where each reclaimed row's material came from in time, the heap's
height field and the volume balance. Lengths in m, volumes in m³, masses in t, times in h.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from .plans import Plan
    from .record import Record
    from .settings import BedSettings

__all__ = ["Result", "simulate"]

# Two hidden parameters stacked with the quality: the stacking time (h from the record's start)
# and its square, whose volume-weighted averages per reclaimed row give the time's mean and spread.
_TIME = "__stacking_time_h__"
_TIME_SQUARED = "__stacking_time_h_squared__"


@dataclass(frozen=True, eq=False, repr=False)
class Result:
    """What one run of :func:`simulate` produced. Plain data; picklable.

    Attributes
    ----------
    bed, plan, record, seed
        What went in; ``seed`` is the bed's seed (drawn from the OS when none was given).
    portions
        The plan's portions table as stacked: ``time`` (h), ``x``, ``z`` (m), ``volume`` (m³),
        then every parameter.
    reclaimed
        One row per reclaim step, in reclaim order: ``x`` (m, the reclaimer's position at the
        step's end: the row holds the material between the previous row's ``x`` and its own),
        ``volume`` (m³), ``mass`` (t, volume x the record's bulk density; NaN for a record without
        one), every parameter (the
        volume-weighted mean of the row's material), ``time_mean`` and ``time_std`` (h from the
        record's start: the volume-weighted mean and population spread of the stacking times of
        the row's material, i.e. where the input ended up). Row 0 is the reclaimer's start,
        ``x = 0`` with volume 0: it is kept so that the rows map one-to-one on the steps. Rows of
        volume 0 have NaN quality and times. Up to half of the last slice may stay on the bed.
    heights
        Height of the heap, float32 of shape (nz, nx): ``heights[k, i]`` is the height (m) of the
        cell whose centre lies at ``x = (i + 0.5) * cell_size``, ``z = (k + 0.5) * cell_size``.
        Read-only. Reclaiming does not lower it: it shows the heap as stacked.
    cell_size
        Edge of a grid cell and of a chunk (m).
    reclaim_increment
        Length of a reclaim step (m).
    end_cones
        Ranges ``(start, end)`` along the reclaim axis (m) that hold end cones; empty on
        circular beds.
    balance
        Volumes (m³): ``stacked`` (all the bed accepted) = ``reclaimed`` + ``on_bed`` (left in
        the slices: the unreported half of the last slice) + ``buffered`` (less than one chunk
        waiting in the stack buffer, never deposited), up to rounding.
    """

    bed: BedSettings
    plan: Plan
    record: Record
    seed: int
    portions: pd.DataFrame
    reclaimed: pd.DataFrame
    heights: np.ndarray
    cell_size: float
    reclaim_increment: float
    end_cones: tuple[tuple[float, float], ...]
    balance: dict[str, float]

    def __repr__(self) -> str:
        b = self.balance
        return (
            f"Result({self.plan!r}, bed={self.bed!r}, seed={self.seed}, "
            f"record_rows={len(self.record.frame)}, portions={len(self.portions)}, "
            f"reclaimed_rows={len(self.reclaimed)}, stacked={b['stacked']:.6g} m³, "
            f"reclaimed={b['reclaimed']:.6g} m³, on_bed={b['on_bed']:.6g} m³)"
        )

    @property
    def parameters(self) -> tuple[str, ...]:
        """The quality parameters' names, in the record's order."""
        return tuple(self.record.parameters)


def simulate(
    bed: BedSettings,
    record: Record,
    plan: Plan,
    *,
    seed: int | None = None,
    reclaim_increment: float | None = None,
) -> Result:
    """Stack ``record`` onto a bed built from ``bed`` following ``plan``, then reclaim it.

    Parameters
    ----------
    bed
        The bed's settings; the bed itself is built here, with ``seed``.
    record
        The quality record: times (h), volumes (m³), masses (t) and parameters.
    plan
        The stacking plan; ``plan.portions(record, bed)`` places the record on the bed.
    seed
        Seed of the bed's random draws; None draws one from the OS (``Result.seed`` tells which).
        The same seed and inputs give the same result, bit for bit.
    reclaim_increment
        Length of a reclaim step (m), positive; default the cell size (one slice per row).

    Returns
    -------
    Result
        See :class:`Result` for the tables and their conventions.

    Raises
    ------
    ValueError
        For a non-positive or non-finite increment, a parameter named like a column of the
        reclaimed table ("time_mean", "time_std") or one of the run's two hidden parameters, or
        portions the bed refuses (beyond its capacity, say). ``PlanError``
        (a ValueError) when the plan does not fit the bed.
    """
    parameters = list(record.parameters)
    taken = sorted({"time_mean", "time_std", _TIME, _TIME_SQUARED}.intersection(parameters))
    if taken:
        raise ValueError(f"the record's parameters {taken} take names of the reclaimed table's own columns")
    portions = plan.portions(record, bed)
    native = bed.build(seed=seed)
    increment = float(native.cell_size if reclaim_increment is None else reclaim_increment)
    if not (increment > 0 and math.isfinite(increment)):
        raise ValueError(f"reclaim_increment must be positive and finite, got {reclaim_increment!r}")

    time = portions["time"].to_numpy(dtype=np.float64)
    values = np.column_stack(
        [portions[p].to_numpy(dtype=np.float64) for p in parameters] + [time, time * time]
    ).reshape(len(portions), len(parameters) + 2)
    native.stack(
        portions["x"].to_numpy(dtype=np.float64),
        portions["z"].to_numpy(dtype=np.float64),
        portions["volume"].to_numpy(dtype=np.float64),
        values,
        names=(*parameters, _TIME, _TIME_SQUARED),
    )
    out = native.reclaim(increment)

    volume = np.asarray(out.volume, dtype=np.float64)
    averages = np.asarray(out.averages, dtype=np.float64).reshape(len(volume), -1)
    empty = volume <= 0
    averages = np.where(empty[:, None], np.nan, averages)
    column = {name: averages[:, i] for i, name in enumerate(out.names)}
    time_mean = column[_TIME]
    time_std = np.sqrt(np.maximum(column[_TIME_SQUARED] - time_mean * time_mean, 0.0))
    reclaimed = pd.DataFrame(
        {
            "x": np.asarray(out.x, dtype=np.float64),
            "volume": volume,
            "mass": volume * (math.nan if record.bulk_density is None else float(record.bulk_density)),
            **{p: column[p] for p in parameters},
            "time_mean": time_mean,
            "time_std": time_std,
        }
    )
    heights = np.array(native.heights, dtype=np.float32)
    heights.setflags(write=False)
    balance = {
        "stacked": float(native.stacked_volume),
        "reclaimed": float(volume.sum()),
        "on_bed": float(native.bed_volume),
        "buffered": float(native.buffered_volume),
    }
    return Result(
        bed=bed,
        plan=plan,
        record=record,
        seed=int(native.seed),
        portions=portions,
        reclaimed=reclaimed,
        heights=heights,
        cell_size=float(native.cell_size),
        reclaim_increment=increment,
        end_cones=tuple((float(a), float(b)) for a, b in plan.end_cones(record, bed)),
        balance=balance,
    )

