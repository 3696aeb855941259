"""One simulation run: a record stacked onto a bed by a plan, then reclaimed.

:func:`simulate` goes from (bed settings, record, plan, seed) to a :class:`Result`: what went in,
what came out row by row, where each reclaimed row's material came from in time, the heap's
height field and the volume balance. Lengths in m, volumes in m³, masses in t, times in h.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

from .plans import Plan
from .sections import Section, read_sections

if TYPE_CHECKING:
    from ._native import Bed, Reclaimed
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
    sections
        The vertical sections asked of :func:`simulate` (:class:`pilora.sections.Section`), those
        across the bed first, then those along it, each in the order given; () without.
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
    sections: tuple[Section, ...] = ()

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
    sections: Mapping[str, float | Sequence[float]] | None = None,
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
    sections
        Vertical sections to record, ``{"across": (x, ...), "along": (z, ...)}`` in m (a single
        number for one): every chunk that comes to rest in a section's cells is kept there, with
        its stacking time and quality (see :class:`pilora.sections.Section`). They only read:
        the run is the same, bit for bit, with and without them. At most ``Bed.max_sections``;
        on a circular bed only sections across.

    Returns
    -------
    Result
        See :class:`Result` for the tables and their conventions.

    Raises
    ------
    ValueError
        For a non-positive or non-finite increment, a parameter named like a column of the
        reclaimed table ("time_mean", "time_std") or one of the run's two hidden parameters,
        sections the bed cannot take (outside it, along a circular bed, too many), or
        portions the bed refuses (beyond its capacity, say). ``PlanError``
        (a ValueError) when the plan does not fit the bed.
    """
    parameters = _parameters(record)
    if type(plan).portions is Plan.portions and all(v.dtype == np.float64 for v in _values(record)):
        # The plan's own cut, written once into the table the Result keeps, stacked from there.
        cut = plan._cut(record, bed)
        table = np.empty((4 + len(parameters), cut.total))
        cut.fill(0, len(cut.counts), table)
        portions = pd.DataFrame(table.T, columns=["time", "x", "z", "volume", *parameters], copy=False)
        columns: Sequence[np.ndarray] | np.ndarray = table
    else:
        portions = plan.portions(record, bed)
        columns = [portions[name].to_numpy(dtype=np.float64) for name in ("time", "x", "z", "volume", *parameters)]
    native = _build(bed, seed, sections)
    increment = _increment(native, reclaim_increment)
    _stack(native, parameters, columns)
    out = native.reclaim(increment)

    reclaimed = _reclaimed(out, record, parameters)
    heights = np.array(native.heights, dtype=np.float32)
    heights.setflags(write=False)
    balance = _balance(native, float(reclaimed["volume"].sum()))
    return Result(
        bed=bed,
        plan=plan,
        record=record,
        seed=int(native.seed),
        portions=portions,
        reclaimed=pd.DataFrame(reclaimed),
        heights=heights,
        cell_size=float(native.cell_size),
        reclaim_increment=increment,
        end_cones=tuple((float(a), float(b)) for a, b in plan.end_cones(record, bed)),
        balance=balance,
        sections=read_sections(native, heights, parameters, _TIME),
    )


# ----------------------------------------------------------------------------------------------
# The steps of a run, shared by `simulate` and by runs that keep only what the measures read.


def _build(bed: BedSettings, seed: int | None, sections: Mapping[str, float | Sequence[float]] | None) -> Bed:
    """The native bed of a run, with its section probes if any."""
    return bed.build(seed=seed, sections=sections)


def _parameters(record: Record) -> list[str]:
    parameters = list(record.parameters)
    taken = sorted({"time_mean", "time_std", _TIME, _TIME_SQUARED}.intersection(parameters))
    if taken:
        raise ValueError(f"the record's parameters {taken} take names of the reclaimed table's own columns")
    return parameters


def _values(record: Record) -> list[np.ndarray]:
    return [record.frame[name].to_numpy() for name in record.parameters]


def _increment(native: Bed, reclaim_increment: float | None) -> float:
    increment = float(native.cell_size if reclaim_increment is None else reclaim_increment)
    if not (increment > 0 and math.isfinite(increment)):
        raise ValueError(f"reclaim_increment must be positive and finite, got {reclaim_increment!r}")
    return increment


def _stack(native: Bed, parameters: list[str], columns: Sequence[np.ndarray] | np.ndarray) -> None:
    """Stacks portions given as the columns time (h), x, z (m), volume (m³), then the parameters'
    values (float64), with the stacking time and its square as two hidden parameters."""
    time = columns[0]
    values = {name: columns[4 + i] for i, name in enumerate(parameters)}
    values[_TIME] = time
    values[_TIME_SQUARED] = time * time
    native.stack(columns[1], columns[2], columns[3], values, names=(*parameters, _TIME, _TIME_SQUARED))


def _reclaimed(out: Reclaimed, record: Record, parameters: list[str]) -> dict[str, np.ndarray]:
    """The columns of `Result.reclaimed` from what the bed reclaimed."""
    volume = np.asarray(out.volume, dtype=np.float64)
    averages = np.asarray(out.averages, dtype=np.float64).reshape(len(volume), -1)
    empty = volume <= 0
    averages = np.where(empty[:, None], np.nan, averages)
    column = {name: averages[:, i] for i, name in enumerate(out.names)}
    time_mean = column[_TIME]
    time_std = np.sqrt(np.maximum(column[_TIME_SQUARED] - time_mean * time_mean, 0.0))
    return {
        "x": np.asarray(out.x, dtype=np.float64),
        "volume": volume,
        "mass": volume * (math.nan if record.bulk_density is None else float(record.bulk_density)),
        **{p: column[p] for p in parameters},
        "time_mean": time_mean,
        "time_std": time_std,
    }


def _balance(native: Bed, reclaimed: float) -> dict[str, float]:
    return {
        "stacked": float(native.stacked_volume),
        "reclaimed": reclaimed,
        "on_bed": float(native.bed_volume),
        "buffered": float(native.buffered_volume),
    }


@dataclass(frozen=True, eq=False, repr=False)
class _Run:
    """A run that kept no tables (:func:`_run_blocks`): the fields of :class:`Result` the measures
    read, the reclaimed table as plain columns."""

    bed: BedSettings
    plan: Plan
    record: Record
    seed: int
    reclaimed: dict[str, np.ndarray]
    reclaim_increment: float
    end_cones: tuple[tuple[float, float], ...]


#: Stacking in blocks is left to `simulate` for records within this share of the bed's capacity:
#: sums of the portions' volumes in other orders could then fall on the other side of it.
_CAPACITY_MARGIN = 1e-6


def _run_blocks(
    bed: BedSettings,
    record: Record,
    plan: Plan,
    *,
    seed: int | None,
    reclaim_increment: float | None,
    watch: Callable[[tuple[tuple[float, float], ...]], Callable[[np.ndarray, np.ndarray, np.ndarray], None] | None]
    | None = None,
) -> _Run | None:
    """:func:`simulate` without its tables: the record is cut and stacked a block of a few thousand
    portions at a time, so that no table of all the portions is ever made.

    The same numbers as :func:`simulate`, bit for bit: a block's portions are the table's rows (the
    cut is element-wise) and the bed stacks portions in order, whatever the calls. ``watch`` is
    called with the end cones and may return a callable that sees each block's ``time`` (h), ``x``
    (m) and ``volume`` (m³) columns, in stacking order, before the next block is made.

    Returns None, having stacked nothing that stays, where only :func:`simulate` keeps its
    promises: a plan with portions of its own, parameters that are not float64, a record that
    fills the bed to within a millionth of its capacity, or a block the bed refuses (the whole
    table then gets the refusal, or is taken, as one call).
    """
    parameters = _parameters(record)
    values = _values(record)
    if type(plan).portions is not Plan.portions or not all(v.dtype == np.float64 for v in values):
        return None
    cut = plan._cut(record, bed)
    native = bed.build(seed=seed)
    increment = _increment(native, reclaim_increment)
    if not float(np.sum(cut.volume)) < float(native.capacity) * (1.0 - _CAPACITY_MARGIN):
        return None
    end_cones = tuple((float(a), float(b)) for a, b in plan.end_cones(record, bed))
    each = None if watch is None else watch(end_cones)
    for lo, hi in cut.blocks():
        columns = np.empty((4 + len(parameters), int(cut.counts[lo:hi].sum())))
        cut.fill(lo, hi, columns)
        try:
            _stack(native, parameters, columns)
        except ValueError:
            return None
        if each is not None:
            each(columns[0], columns[1], columns[3])
    out = native.reclaim(increment)
    return _Run(bed, plan, record, int(native.seed), _reclaimed(out, record, parameters), increment, end_cones)
