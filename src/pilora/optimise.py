"""Multi-objective search of stacking plans: robust, multi-fidelity, resumable, against a chevron.

A candidate is a :class:`StackerPath`: the stacker travels from one end of a chevron's span to
the other (its reversal points on the bed, inside the end cones) through a few turning points in
between, and back, until it has travelled a given distance, at a cruising speed and with an
acceleration the stacker can give (both limited). Every candidate thus reaches both ends, and
its end cones lie where a chevron's do: the measures without end cones cover the same slices for
all. Its genes are numbers in [0, 1]: one per turning point (its place as a share of the span)
and, when the travel is a decision, one for the travel (a share of the range of passes allowed).

Objectives (:data:`OBJECTIVES`; ``effect.<name>`` for any quality parameter or derived quality):

- ``worst_effect``: the smallest homogenisation effect over the quality parameters, end cones left
  out (the rows' ``worst_effect_no_cones``, on the mass basis :func:`pilora.evaluate` states);
  maximised.
- ``flow_variability``: the variability of the reclaimed flow, end cones left out (the rows'
  ``flow_variability_no_cones``, in the unit :func:`pilora.flow_variability` states); minimised.
- ``travel``: the distance the stacker travels over the record (m), the energy it spends;
  minimised.

Robust objectives: every candidate runs ``replicates`` times, replicate r on the record's r-th
realisation (:func:`pilora.replicates.realisations`, the first being the record itself) with its
own bed seed; the objective is the centre of the replicates (``robust="mean"``) or the
pessimistic end of their interval (``robust="bound"``: the low end for a maximised objective,
the high end for a minimised one, at ``coverage``). Effects and flow variabilities are positive
ratios: their centre is the geometric mean and their interval the Student-t interval of the mean
logarithm, back-transformed (:func:`pilora.replicates.interval` with ``positive=True``, as
:func:`pilora.compare` takes them), so no bound falls below zero. A paired difference (front
point against chevron) takes the plain t-interval of its mean.

Multi-fidelity: the search runs on a coarse grid (``search_cell_size``, default three times the
bed's cell); the final front and the chevrons are then run again on the bed's own grid with
``check_replicates`` replicates on fresh realisations (drawn with the seed + 1, so that the check
does not reward plans fitted to the search's realisations), and each point's move between the two
grids is reported.

The baseline: a sweep of ``chevrons`` chevrons (the bed's default reversal points) over the whole
layer counts the passes allow, run the same way on the coarse grid; on the fine grid, for every
front point the chevron of equal travel (layers = travel / pass length, rounded), and the three
best chevrons of the sweep; the best chevron on the fine grid is the one "at the best travel".
Whether a front point beats a chevron is told by the interval of their paired difference
(replicate r of both on realisation r) on the fine grid.

Convergence: the hypervolume, per generation, of the non-dominated set of every feasible
candidate evaluated so far (so it never falls), against a stated reference point.

``pilora.optimise`` is this module's :func:`optimise` (the package exports the function under the
module's name): import the other names with ``from pilora.optimise import Problem, Study, ...``.

Seeds: the study's ``seed`` seeds the algorithm, the realisations and the run seed of each batch
(``SeedSequence(seed, spawn_key=(k,))``), so that the same call gives the same front, bit for bit,
on any backend. With ``out=``, every generation's rows go to a row log
(``out/rows/search-NNNN.csv``); ``resume=True`` replays the study from the logs, running only the
tasks they lack, and so continues a killed study to the front an uninterrupted one finds; the
chevrons' rows go to ``chevrons-search.csv`` and the fine check's to ``fine-<digest of the front
checked>.csv``, so a finished study resumed with more ``generations`` runs them and checks its new
front (the first front's log is left as it was). :meth:`Study.tell` refuses rows whose run seed or
fingerprints are not those of the tasks last asked.
"""

from __future__ import annotations

import concurrent.futures as cf
import dataclasses
import functools
import math
import multiprocessing
import numbers
import os
import pathlib
import random
import time
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, NamedTuple

import numpy as np
import pandas as pd

from . import rowlog
from .evaluate import Task, evaluate
from .plans import Chevron, Plan, PlanError, _across, _linear, _points

from .plans import _check_travel, _Clock, _fed, _stacking_hours
from .record import Record
from .settings import BedSettings

if TYPE_CHECKING:
    import distributed

__all__ = [
    "OBJECTIVES",
    "Evaluator",
    "OptimiseError",
    "Optimised",
    "Problem",
    "StackerPath",
    "Study",
    "hypervolume",
    "optimise",
    "write_outputs",
]

#: Seconds per hour, squared: m/s² to m/h².
_PER_HOUR2 = 3600.0 * 3600.0
#: Most legs a stacker path may have (a guard against points that nearly coincide).
_MAX_LEGS = 1_000_000
#: The spawn key of the fine grid's run seed (the search's generations use 0, 1, 2, ...).
_FINE_KEY = 2**31 - 1
_CHEVRON_KEY = 2**31 - 2
_CHOSEN_KEY = 2**31 - 3


class OptimiseError(ValueError):
    """Settings of a study that cannot work; the message names the limit (the command exits 2)."""


# ---------------------------------------------------------------------------------------------
# The plan family


@dataclass(frozen=True, kw_only=True, repr=False)
class StackerPath(Plan):
    """The stacker travels through turning points, forth and back, at a limited speed and acceleration.

    Parameters
    ----------
    points : tuple of float
        At least two positions along x (m, on the bed). The stacker starts at ``points[0]``,
        travels to each next point in turn, then back through them to the first, and so on,
        until it has travelled ``distance`` m (the last leg may end part-way).
    distance : float
        The distance the stacker travels over the record (m, above 0).
    max_speed : float
        The stacker's highest travel speed (m/min). Default 20.
    acceleration : float
        The stacker's acceleration and braking (m/s²). Default 0.05.
    lane : float or None
        The stacker's z in m; default: the bed's centre line.
    travel : str
        "feed" (default): the stacker stands while the feed stops (record rows of zero volume),
        its motion spread over the stacking hours; "time": over the record's whole duration.

    Motion: between two reversals (where the direction changes; points passed in the same
    direction are not stops) the stacker accelerates from rest at ``acceleration``, cruises and
    brakes to rest at the next reversal; a short run where the cruising speed is not reached is
    a triangle of speed. One cruising speed holds for the whole record, the lowest that travels
    the whole distance within the stacking hours. A distance the stacker cannot travel at
    ``max_speed`` raises `PlanError` naming ``max_speed``. ``passes`` is the distance over the
    span between the outermost positions reached; ``travel_speed`` the mean speed while
    stacking, :meth:`cruise_speed` the cruising speed (both m/min); :meth:`instructions` the
    stacker controller's table.
    """

    points: tuple[float, ...]
    distance: float
    max_speed: float = 20.0
    acceleration: float = 0.05
    lane: float | None = None
    travel: str = "feed"

    def __post_init__(self) -> None:
        _points(self, "points")
        for name in ("distance", "max_speed", "acceleration"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, numbers.Real):
                raise PlanError(f"must be a number, not {type(value).__name__}", parameter=name)
            if not (math.isfinite(float(value)) and float(value) > 0.0):
                raise PlanError(f"must be finite and above 0, not {value}", parameter=name)
            object.__setattr__(self, name, float(value))
        if self.lane is not None:
            if isinstance(self.lane, bool) or not isinstance(self.lane, numbers.Real):
                raise PlanError(f"must be a number, not {type(self.lane).__name__}", parameter="lane")
            if not math.isfinite(float(self.lane)):
                raise PlanError(f"must be finite, not {self.lane}", parameter="lane")
            object.__setattr__(self, "lane", float(self.lane))
        _check_travel(self)

    def path(self) -> np.ndarray:
        """The positions (m) where the stacker turns or passes a point, in travel order, the last
        where its travel ends."""
        p = np.asarray(self.points, dtype=np.float64)
        half = float(np.abs(np.diff(p)).sum())  # one way through all points
        if not half > 0.0:
            raise PlanError("all points coincide: the stacker cannot travel", parameter="points")
        sweeps = math.ceil(self.distance / half)
        if sweeps * (len(p) - 1) > _MAX_LEGS:
            raise PlanError(f"the points lie too close for a distance of {self.distance:g} m "
                            f"(more than {_MAX_LEGS} legs)", parameter="points")
        legs = [p[:1]]
        for sweep in range(sweeps):
            legs.append((p if sweep % 2 == 0 else p[::-1])[1:])
        path = np.concatenate(legs)
        travelled = np.concatenate([[0.0], np.cumsum(np.abs(np.diff(path)))])
        last = int(np.searchsorted(travelled, self.distance, side="left"))
        end = np.interp(self.distance, travelled[last - 1:last + 1], path[last - 1:last + 1])
        return np.concatenate([path[:last], [end]])

    def _checked(self, record: Record, bed: BedSettings) -> _PathMotion:
        _linear(self, bed)
        outside = [x for x in self.points if not 0.0 <= x <= bed.length]
        if outside:
            raise PlanError(f"{outside[0]} m lies off the bed, which runs from 0 to {bed.length} m along x",
                            parameter="points")
        return _path_motion(self, _stacking_hours(self, record), _across("lane", self.lane, bed))

    def _motion(self, record: Record, bed: BedSettings) -> Any:
        return _fed(self, record, self._checked(record, bed))

    def _reach(self, record: Record, bed: BedSettings) -> tuple[float, float]:
        motion = self._checked(record, bed)
        ends = np.concatenate([motion.x0, motion.x0 + motion.direction * motion.length])
        return float(ends.min()), float(ends.max())

    def _passes(self, record: Record, bed: BedSettings) -> float:
        lo, hi = self._reach(record, bed)
        return self.distance / (hi - lo)

    def _travelled(self, record: Record, bed: BedSettings) -> float:
        self._checked(record, bed)
        return self.distance

    def cruise_speed(self, record: Record, bed: BedSettings) -> float:
        """The cruising speed (m/min) at which the stacker travels ``distance`` m in the stacking hours."""
        return self._checked(record, bed).speed / 60.0

    def instructions(self, record: Record, bed: BedSettings) -> pd.DataFrame:
        """The stacker controller's table: one row where each phase of the motion begins.

        Columns: ``time`` (h from the record's start), ``position`` (m along x), ``speed`` (m/min,
        the magnitude), ``direction`` (+1 towards larger x, -1 back, 0 standing), ``action``
        ("accelerate", "cruise", "brake", "stand"). Between two rows the speed changes linearly
        in time (constant acceleration), so the position at t follows as
        ``position + direction * (speed + (t - time) * (next speed - speed) / (2 * (next time - time))) * (t - time)``
        (speeds in m/h) and reproduces :meth:`stacker_position`. The last row is where the
        stacker stands at the end of its travel. A stacker tied to a feed that stops stands
        through every stop: where the stop begins, a row of the motion then and a "stand" row at
        the same time (the stacker stops at once), and where it ends, a row taking the motion up
        again. Rows at equal times are instant changes.
        """
        motion = self._checked(record, bed)
        rows: list[tuple[float, float, float, int, str]] = []
        for i in range(len(motion.length)):
            t0, x0, d = float(motion.start[i]), float(motion.x0[i]), int(motion.direction[i])
            peak, t_acc, t_cruise = float(motion.peak[i]), float(motion.t_acc[i]), float(motion.t_cruise[i])
            s_acc = 0.5 * motion.accel * t_acc * t_acc
            rows.append((t0, x0, 0.0, d, "accelerate"))
            if t_cruise > 0.0:
                rows.append((t0 + t_acc, x0 + d * s_acc, peak / 60.0, d, "cruise"))
            rows.append((t0 + t_acc + t_cruise, x0 + d * (float(motion.length[i]) - s_acc), peak / 60.0, d, "brake"))
        # The last run ends within the stacking hours, bar the rounding of its sums.
        end = min(float(motion.start[-1] + motion.duration[-1]), _stacking_hours(self, record))
        rows = [(min(t, end), x, v, d, a) for t, x, v, d, a in rows]
        rows.append((end, float(motion.x0[-1] + motion.direction[-1] * motion.length[-1]), 0.0, 0, "stand"))
        clock = None if _Clock is None else _Clock.of(self, record)
        if clock is not None:
            rows = _with_stops(rows, motion, record, end)
        return pd.DataFrame(rows, columns=["time", "position", "speed", "direction", "action"])


@functools.lru_cache(maxsize=512)
def _path_motion(plan: StackerPath, hours: float, lane: float) -> _PathMotion:
    """The motion of a path over ``hours`` of stacking (kept: a run asks for it several times)."""
    return _PathMotion.of(plan, hours, lane)


def _with_stops(rows: list[tuple[float, float, float, int, str]], motion: _PathMotion, record: Record,
                end: float) -> list[tuple[float, float, float, int, str]]:
    """Instruction rows in the stacker's hours of stacking turned into the record's hours, with a
    "stand" row at each feed stop's start and a row taking the motion up again at its end."""
    frame = record.frame
    fed = frame["volume"].to_numpy() > 0.0
    begin = frame["time"].to_numpy()
    finish = begin + frame["duration"].to_numpy()
    stops: list[tuple[float, float, float]] = []  # (stacking hours before it, record start, record end)
    running = 0.0
    for row in range(len(fed)):
        if fed[row]:
            running += finish[row] - begin[row]
        elif stops and stops[-1][2] == begin[row]:
            stops[-1] = (stops[-1][0], stops[-1][1], finish[row])
        else:
            stops.append((running, begin[row], finish[row]))
    stops = [stop for stop in stops if stop[0] < end]
    out: list[tuple[float, float, float, int, str]] = []
    for tau, x, speed, direction, action in rows:
        offset = sum(b - a for at, a, b in stops if at <= tau)
        out.append((tau + offset, x, speed, direction, action))
    taken = {row[0] for row in rows}
    for at, a, b in stops:
        i, s = motion._along(np.array([at]))
        k = int(i[0])
        x = float(motion.x0[k] + motion.direction[k] * s[0])
        tau = at - motion.start[k]
        if tau < motion.t_acc[k]:
            speed, action = motion.accel * tau, "accelerate"
        elif tau < motion.t_acc[k] + motion.t_cruise[k]:
            speed, action = float(motion.peak[k]), "cruise"
        else:
            speed, action = motion.accel * max(motion.duration[k] - tau, 0.0), "brake"
        out.append((a, x, float(speed) / 60.0, int(motion.direction[k]), action))  # the feed stops: at once
        out.append((a, x, 0.0, 0, "stand"))
        if at not in taken:
            out.append((b, x, float(speed) / 60.0, int(motion.direction[k]), action))
    out.sort(key=lambda row: row[0])
    return out


class _PathMotion(NamedTuple):
    """A stacker path cut into runs between reversals, each a trapezoid (or triangle) of speed."""

    x0: np.ndarray  # start of each run (m)
    direction: np.ndarray  # +1 or -1
    length: np.ndarray  # m
    before: np.ndarray  # distance travelled before each run (m)
    start: np.ndarray  # h
    duration: np.ndarray  # h
    peak: np.ndarray  # highest speed of each run (m/h)
    t_acc: np.ndarray  # h accelerating (as long braking)
    t_cruise: np.ndarray  # h at the peak speed
    accel: float  # m/h²
    speed: float  # cruising speed (m/h)
    lane: float

    @classmethod
    def of(cls, plan: StackerPath, hours: float, lane: float) -> _PathMotion:
        path = plan.path()
        step = np.diff(path)
        step = step[step != 0.0]
        sign = np.sign(step)
        # Runs of legs in one direction: the stacker stops only where it turns.
        breaks = np.flatnonzero(sign[1:] != sign[:-1]) + 1
        edges = np.concatenate([[0], breaks, [len(step)]])
        length = np.add.reduceat(np.abs(step), edges[:-1])
        direction = sign[edges[:-1]]
        x0 = path[0] + np.concatenate([[0.0], np.cumsum(step)])[edges[:-1]]
        accel = plan.acceleration * _PER_HOUR2
        top = plan.max_speed * 60.0

        def total(v: float) -> float:
            full = length >= v * v / accel
            return float(np.where(full, length / v + v / accel, 2.0 * np.sqrt(length / accel)).sum())

        if total(top) > hours:
            raise PlanError(f"travelling {plan.distance:.6g} m in the record's {hours:.6g} h of stacking takes more than "
                            f"{plan.max_speed:g} m/min at {plan.acceleration:g} m/s²", parameter="max_speed")
        lo, hi = 0.0, top
        for _ in range(200):  # the lowest cruising speed that finishes in time (total falls with v)
            mid = 0.5 * (lo + hi)
            if mid <= lo or mid >= hi:
                break
            if total(mid) > hours:
                lo = mid
            else:
                hi = mid
        speed = hi
        peak = np.minimum(speed, np.sqrt(length * accel))
        t_acc = peak / accel
        t_cruise = np.maximum(length - peak * t_acc, 0.0) / peak
        duration = 2.0 * t_acc + t_cruise
        start = np.concatenate([[0.0], np.cumsum(duration)[:-1]])
        before = np.concatenate([[0.0], np.cumsum(length)[:-1]])
        return cls(x0, direction, length, before, start, duration, peak, t_acc, t_cruise, accel, speed, lane)

    def _along(self, t: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """(run index, distance travelled within the run) at times t."""
        t = np.asarray(t, dtype=np.float64)
        i = np.clip(np.searchsorted(self.start, t, side="right") - 1, 0, len(self.start) - 1)
        tau = np.clip(t - self.start[i], 0.0, self.duration[i])
        t_acc, peak, length = self.t_acc[i], self.peak[i], self.length[i]
        braking = np.maximum(self.duration[i] - tau, 0.0)
        s = np.where(tau < t_acc, 0.5 * self.accel * tau * tau,
                     np.where(tau <= t_acc + self.t_cruise[i], 0.5 * peak * t_acc + peak * (tau - t_acc),
                              length - 0.5 * self.accel * braking * braking))
        return i, np.clip(s, 0.0, length)

    def position(self, t: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        i, s = self._along(t)
        x = self.x0[i] + self.direction[i] * s
        return x, np.full_like(x, self.lane)

    def distance(self, t: np.ndarray) -> np.ndarray:
        i, s = self._along(t)
        return self.before[i] + s


# ---------------------------------------------------------------------------------------------
# Objectives and statistics


@dataclass(frozen=True)
class Objective:
    """An objective: its name, the row column it reads (None: from the plan), +1 maximised or
    -1 minimised, its unit and a sentence saying what it is."""

    name: str
    column: str | None
    direction: float
    unit: str
    text: str


#: The objectives by name; ``effect.<name>`` adds one for any parameter or derived quality.
OBJECTIVES: dict[str, Objective] = {
    "worst_effect": Objective("worst_effect", "worst_effect_no_cones", 1.0, "",
                              "the worst homogenisation effect over the quality parameters, end cones left out"),
    "flow_variability": Objective("flow_variability", "flow_variability_no_cones", -1.0, "%",
                                  "the variability of the reclaimed flow (coefficient of variation of the "
                                  "tonnes reclaimed per block of time), end cones left out"),
    "travel": Objective("travel", None, -1.0, "m", "the distance the stacker travels over the record"),
}


def _objective(name: str, record: Record) -> Objective:
    if name in OBJECTIVES:
        return OBJECTIVES[name]
    if name.startswith("effect."):
        quality = name[len("effect."):]
        known = [*record.parameters, *getattr(record, "derived", {})]
        if quality not in known:
            raise OptimiseError(f"objective {name!r}: the record has no parameter or derived quality "
                                f"{quality!r} (it has {', '.join(known)})")
        return Objective(name, f"effect_no_cones.{quality}", 1.0, "",
                         f"the homogenisation effect of {quality}, end cones left out")
    raise OptimiseError(f"unknown objective {name!r}: choose from {', '.join(OBJECTIVES)} or effect.<parameter>")


def _interval(values: Sequence[float], coverage: float) -> tuple[float, float, float]:
    """(mean, low, high): the replicates' mean and its interval at ``coverage``."""
    try:
        from .replicates import interval
    except ImportError:
        return _t_interval(values, coverage)
    mean, low, high = interval(np.asarray(values, dtype=float), coverage)
    return float(mean), float(low), float(high)


def _t_interval(values: Sequence[float], coverage: float) -> tuple[float, float, float]:
    """Student's t interval of the mean (NaN bounds for a single value)."""
    from scipy import stats

    v = np.asarray(values, dtype=float)
    mean = float(v.mean())
    if len(v) < 2:
        return mean, math.nan, math.nan
    half = float(stats.t.ppf(0.5 + 0.5 * coverage, len(v) - 1) * v.std(ddof=1) / math.sqrt(len(v)))
    return mean, mean - half, mean + half


def _realisations(record: Record, count: int, seed: int) -> list[Record]:
    try:
        from .replicates import realisations
    except ImportError:
        return [record] * count  # until record realisations exist, replicates differ by bed seed only
    return list(realisations(record, count, seed=seed))


def batch_seed(seed: int, key: int) -> int:
    """The run seed of batch ``key`` of a study seeded ``seed``: the first 63 bits drawn by
    ``SeedSequence(seed, spawn_key=(key,))``."""
    return int(np.random.SeedSequence(seed, spawn_key=(key,)).generate_state(1, np.uint64)[0] >> 1)


def pareto(values: np.ndarray, directions: Sequence[float]) -> np.ndarray:
    """True for the rows of ``values`` (candidates x objectives) that no other row dominates."""
    if not len(values):
        return np.zeros(0, dtype=bool)
    v = np.asarray(values, dtype=float).reshape(len(values), -1) * np.asarray(directions, dtype=float)
    at_least = (v[:, None, :] <= v[None, :, :]).all(axis=2)
    better = (v[:, None, :] < v[None, :, :]).any(axis=2)
    return ~(at_least & better).any(axis=1)


def hypervolume(values: np.ndarray, directions: Sequence[float], reference: Sequence[float]) -> float:
    """The hypervolume that the points ``values`` (n x objectives, in their own units) dominate up
    to ``reference`` (DEAP's hypervolume, the objectives turned into minimised ones); points not
    strictly better than the reference in every objective add nothing. Its unit is the product
    of the objectives' units."""
    from deap.tools._hypervolume import hv

    if not len(values):
        return 0.0
    signs = -np.asarray(directions, dtype=float)
    points = np.asarray(values, dtype=float).reshape(len(values), -1) * signs
    ref = np.asarray(reference, dtype=float) * signs
    points = points[(points < ref).all(axis=1)]
    if not len(points):
        return 0.0
    return float(hv.hypervolume(points.tolist(), ref.tolist()))


# ---------------------------------------------------------------------------------------------
# The problem


class Problem:
    """One record on one bed: the plan a gene vector stands for, the tasks that evaluate it, and
    the robust objectives read from their rows.

    Parameters
    ----------
    record, bed
        The record and the bed; ``bed`` sets the fine grid (the final check and the baseline).
    objectives : sequence of str
        Names from :data:`OBJECTIVES` or ``effect.<parameter>``; the first is the one the baseline
        comparison and the chosen plan go by.
    points : int
        Turning points of a plan between the span's two ends (at least 1).
    passes : float or (float, float)
        Full-length passes (travel over the bed's length): one number fixes the travel (a
        constraint), a range makes it a decision.
    max_speed : float
        The stacker's highest speed (m/min).
    acceleration : float
        The stacker's acceleration (m/s²).
    replicates : int
        Runs per candidate (record realisations and bed seeds).
    robust : {"mean", "bound"}
        The statistic over the replicates the search optimises.
    coverage : float
        Coverage of the replicates' intervals (0 to 1).
    search_cell_size : float or None
        Cell size of the search's coarse grid (m); default three times the bed's.
    seed : int
        Seeds the realisations (the check's: seed + 1).
    check_replicates : int or None
        Replicates of the fine check; default the larger of 5 and ``replicates``.
    """

    record: Record
    bed: BedSettings
    objectives: tuple[Objective, ...]
    points: int
    replicates: int
    robust: str
    coverage: float
    max_speed: float
    acceleration: float
    passes: tuple[float, float]
    decides_travel: bool
    span: tuple[float, float]
    search_bed: BedSettings
    seed: int
    realisations: list[Record]
    check_replicates: int
    check_realisations: list[Record]

    def __init__(self, record: Record, bed: BedSettings, *, objectives: Sequence[str] = ("worst_effect", "travel"),
                 points: int = 4, passes: float | tuple[float, float] = (20.0, 150.0), max_speed: float = 20.0,
                 acceleration: float = 0.05, replicates: int = 3, robust: Literal["mean", "bound"] = "mean",
                 coverage: float = 0.9, search_cell_size: float | None = None, seed: int = 1,
                 check_replicates: int | None = None) -> None:
        if not isinstance(record, Record):
            raise TypeError(f"record must be a pilora.Record, not {type(record).__name__}")
        if not isinstance(bed, BedSettings):
            raise TypeError(f"bed must be BedSettings, not {type(bed).__name__}")
        if bed.circular:
            raise OptimiseError("the optimiser plans stacker paths on linear beds, not circular ones")
        names = list(dict.fromkeys(objectives))
        if not names:
            raise OptimiseError("give at least one objective")
        self.record = record
        self.bed = bed
        self.objectives = tuple(_objective(name, record) for name in names)
        if isinstance(points, bool) or not isinstance(points, numbers.Integral) or points < 1:
            raise OptimiseError(f"points must be a whole number of at least 1, not {points!r}")
        self.points = int(points)
        if isinstance(replicates, bool) or not isinstance(replicates, numbers.Integral) or replicates < 1:
            raise OptimiseError(f"replicates must be a whole number of at least 1, not {replicates!r}")
        self.replicates = int(replicates)
        if robust not in ("mean", "bound"):
            raise OptimiseError(f"robust must be 'mean' or 'bound', not {robust!r}")
        if robust == "bound" and self.replicates < 2:
            raise OptimiseError("robust='bound' needs at least 2 replicates for an interval")
        self.robust = robust
        if not 0.0 < coverage < 1.0:
            raise OptimiseError(f"coverage must lie between 0 and 1, not {coverage}")
        self.coverage = float(coverage)
        for name, value in (("max_speed", max_speed), ("acceleration", acceleration)):
            if not (isinstance(value, numbers.Real) and math.isfinite(value) and value > 0):
                raise OptimiseError(f"{name} must be a finite number above 0, not {value!r}")
        self.max_speed = float(max_speed)
        self.acceleration = float(acceleration)
        low, high = (passes, passes) if isinstance(passes, numbers.Real) else tuple(passes)
        if not (math.isfinite(low) and math.isfinite(high) and 0 < low <= high):
            raise OptimiseError(f"passes must be above 0 (a range low:high with low <= high), not {passes!r}")
        self.passes = (float(low), float(high))
        self.decides_travel = high > low
        # The span a chevron's stacker travels on this bed (inside the end cones on open ends):
        # the points lie in it, and a pass is its length.
        try:
            first, last = Chevron(layers=1)._reach(record, bed)
            self.span = (float(first), float(last))
        except PlanError as error:
            raise OptimiseError(f"a chevron does not fit the bed: {error}") from None
        length = self.span[1] - self.span[0]
        # The most travel the stacker can make: a chevron, which turns least.
        try:
            StackerPath(points=self.span, distance=high * length, max_speed=self.max_speed,
                        acceleration=self.acceleration)._checked(record, bed)
        except PlanError:
            reach = self.max_speed * 60.0 * _stacking_hours(Chevron(layers=1), record) / length
            raise OptimiseError(
                f"{high:g} passes of {length:.4g} m in the record's {record.duration:g} h need more "
                f"than the maximum speed of {self.max_speed:g} m/min (at {self.acceleration:g} m/s²), which "
                f"makes at most about {reach:.4g} passes: lower the passes or raise the maximum speed") from None
        cell = 3.0 * bed.cell_size if search_cell_size is None else float(search_cell_size)
        if not (math.isfinite(cell) and cell > 0):
            raise OptimiseError(f"search_cell_size must be a length above 0 m, not {search_cell_size!r}")
        try:
            self.search_bed = dataclasses.replace(bed, chunks_per_volume_unit=_chunks_for(bed, cell))
        except (ValueError, OverflowError) as error:
            raise OptimiseError(f"search_cell_size {cell:g} m does not make a grid of the bed: {error}") from None
        self.seed = int(seed)
        self.realisations = _realisations(record, self.replicates, self.seed)
        check = max(5, self.replicates) if check_replicates is None else check_replicates
        if isinstance(check, bool) or not isinstance(check, numbers.Integral) or check < 1:
            raise OptimiseError(f"check_replicates must be a whole number of at least 1, not {check!r}")
        self.check_replicates = int(check)
        self.check_realisations = _realisations(record, self.check_replicates, self.seed + 1)

    @property
    def genes(self) -> int:
        """Genes of a candidate: one per point, and one for the travel when it is a decision."""
        return self.points + int(self.decides_travel)

    @property
    def directions(self) -> tuple[float, ...]:
        return tuple(o.direction for o in self.objectives)

    @property
    def names(self) -> tuple[str, ...]:
        return tuple(o.name for o in self.objectives)

    @property
    def pass_length(self) -> float:
        """The length of a pass (m): the span between a chevron's reversal points on this bed."""
        return self.span[1] - self.span[0]

    def plan(self, genes: Sequence[float]) -> StackerPath:
        """The plan of a gene vector (numbers in [0, 1], clipped): the span's start, turning points
        at its start + gene x its length, its end; a distance of (the passes' low end + gene x their
        range) passes."""
        g = np.clip(np.asarray(genes, dtype=float), 0.0, 1.0)
        if len(g) != self.genes:
            raise ValueError(f"a candidate has {self.genes} genes, not {len(g)}")
        low, high = self.passes
        passes = low + (float(g[self.points]) * (high - low) if self.decides_travel else 0.0)
        start, length = self.span[0], self.pass_length
        inner = tuple(start + float(u) * length for u in g[:self.points])
        return StackerPath(points=(self.span[0], *inner, self.span[1]),
                           distance=passes * length, max_speed=self.max_speed, acceleration=self.acceleration)

    def chevron(self, travel: float) -> Chevron:
        """The chevron (the bed's default reversal points) of the travel closest to ``travel`` m,
        in whole layers."""
        return Chevron(layers=max(1, round(travel / self.pass_length)))

    def tasks(self, plans: Iterable[Plan], *, fine: bool = False) -> list[Task]:
        """Tasks of the plans, plan-major: plan i's replicate r is task ``i * k + r``, on
        realisation r; on the coarse grid with the search's ``replicates`` realisations, or with
        ``fine`` on the bed's grid with the check's ``check_replicates`` ones."""
        bed, records = (self.bed, self.check_realisations) if fine else (self.search_bed, self.realisations)
        return [Task(bed, record, plan) for plan in plans for record in records]

    def statistics(self, rows: pd.DataFrame, plans: Sequence[Plan], *, fine: bool = False) -> pd.DataFrame:
        """Per plan (rows of :meth:`tasks`, in task order): for each objective its ``mean``,
        ``low``, ``high`` and the robust ``value``; ``feasible`` when every replicate ran and gave
        finite numbers; ``replicates.<objective>``, the replicates' values (for paired
        comparisons)."""
        rows = rows.sort_values("task", kind="stable").reset_index(drop=True)
        k, n = (self.check_replicates if fine else self.replicates), len(plans)
        if len(rows) != k * n:
            raise ValueError(f"expected {k * n} rows ({n} plans x {k} replicates), not {len(rows)}")
        if "task" in rows and not np.array_equal(rows["task"].to_numpy(), np.arange(k * n)):
            raise ValueError(f"expected the rows of tasks 0 to {k * n - 1} ({n} plans x {k} replicates) once "
                             f"each, not of tasks {_task_list(rows['task'])}")
        failed = rows["error"].notna().to_numpy() if "error" in rows else np.zeros(len(rows), dtype=bool)
        feasible = ~failed.reshape(n, k).any(axis=1)
        out: dict[str, Any] = {}
        for objective in self.objectives:
            if objective.column is None:
                values = np.repeat([[_travel(plan, self.record, self.bed)] for plan in plans], k, axis=1)
            elif objective.column in rows:
                values = rows[objective.column].to_numpy(dtype=float).reshape(n, k)
            else:
                raise OptimiseError(f"the rows have no column {objective.column!r} for the objective "
                                    f"{objective.name!r}")
            feasible &= np.isfinite(values).all(axis=1)
            if objective.column is None:  # from the plan: the same in every replicate
                mean = low = high = values[:, 0]
            else:
                mean, low, high = _intervals(values, self.coverage)
            value = mean if self.robust == "mean" else (low if objective.direction > 0 else high)
            out.update({objective.name: value, f"{objective.name}.mean": mean, f"{objective.name}.low": low,
                        f"{objective.name}.high": high,
                        f"replicates.{objective.name}": [tuple(map(float, v)) for v in values]})
        return pd.DataFrame({"feasible": feasible, **out})


def _task_list(tasks: pd.Series) -> str:
    numbers = [str(t) for t in tasks.tolist()]
    return ", ".join(numbers if len(numbers) <= 8 else [*numbers[:8], "..."])


def _intervals(values: np.ndarray, coverage: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Row by row of ``values`` (plans x replicates): the centre and interval at ``coverage`` of
    positive ratios, as :func:`pilora.replicates.interval` with ``positive=True`` gives each row
    (geometric mean; NaN bounds for a single replicate or a non-finite value; NaN throughout for
    a row with a NaN)."""
    from .replicates import interval

    n, k = values.shape
    if not k:
        nan = np.full(n, math.nan)
        return nan, nan.copy(), nan.copy()
    rows = np.array([interval(row, coverage, positive=True) for row in values], dtype=float).reshape(n, 3)
    return rows[:, 0], rows[:, 1], rows[:, 2]


def _travel(plan: Plan, record: Record, bed: BedSettings) -> float:
    """The distance (m) a plan's stacker travels over the record."""
    if isinstance(plan, StackerPath):
        return plan.distance
    if hasattr(plan, "_travelled"):
        try:
            return float(plan._travelled(record, bed))
        except NotImplementedError:
            pass
    lo, hi = plan._reach(record, bed)
    return float(plan.passes(record, bed) * (hi - lo))


def _chunks_for(bed: BedSettings, cell: float) -> float:
    """Chunks per m³ for cells of ``cell`` m on ``bed`` (a chunk is a cell's column one chunk high)."""
    from ._native import Bed

    return float(Bed.resolve(bed.width, cell_size=cell, repose_angle=bed.repose_angle)[0])


# ---------------------------------------------------------------------------------------------
# Running batches: an evaluator, with a map for DEAP


class Evaluator:
    """Runs batches of tasks through :func:`pilora.evaluate` on one backend for a whole study.

    ``workers``/``processes``/``executor``/``client`` as :func:`pilora.evaluate` takes them; with
    ``processes=True`` one pool of worker processes lives as long as the evaluator (use it as a
    context manager, or call :meth:`close`), so each worker reads each record once.

    :meth:`map` is a ``map`` for DEAP's toolbox: register the problem's candidate-to-plan
    function as ``evaluate`` and this as ``map``; a whole population then runs in one call::

        from pilora.optimise import Evaluator

        evaluator = Evaluator(problem, workers=2, seed=7)
        toolbox.register("evaluate", problem.plan)       # genes -> plan
        toolbox.register("map", evaluator.map)           # plans -> robust objective tuples
        fitnesses = toolbox.map(toolbox.evaluate, population)
    """

    def __init__(self, problem: Problem | None = None, *, seed: int = 1, workers: int | None = None,
                 processes: bool = False, executor: cf.Executor | None = None,
                 client: distributed.Client | str | None = None, progress: bool = False) -> None:
        self.problem = problem
        self.seed = seed
        self.batches = 0
        self.progress = progress
        self._own: cf.Executor | None = None
        if processes:
            if executor is not None or client is not None:
                raise ValueError("processes=True goes with workers=, not with executor= or client=")
            context = multiprocessing.get_context(
                "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn")
            executor = self._own = cf.ProcessPoolExecutor(max_workers=workers or os.process_cpu_count() or 1,
                                                          mp_context=context)
            workers = None
        self.backend: dict[str, Any] = {"workers": workers, "executor": executor, "client": client}

    def __enter__(self) -> Evaluator:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        if self._own is not None:
            self._own.shutdown(wait=True, cancel_futures=True)
            self._own = None

    def run(self, tasks: list[Task], seed: int, log: pathlib.Path | None = None, resume: bool = False) -> pd.DataFrame:
        """The rows of ``tasks`` run with run seed ``seed`` (errors recorded in the rows)."""
        backend = {k: v for k, v in self.backend.items() if v is not None}
        return evaluate(tasks, seed=seed, log=log, resume=resume and log is not None, errors="record",
                        progress=self.progress, **backend)

    def map(self, function: Callable[[Any], Plan], candidates: Iterable[Any]) -> list[tuple[float, ...]]:
        """``function`` (a candidate to its plan) over ``candidates``, then all plans in one batch
        on the problem's coarse grid: the robust objective tuples, in the problem's objective order
        (raw values: DEAP's fitness weights give the directions). Infeasible plans get
        :func:`penalty`'s values."""
        if self.problem is None:
            raise ValueError("map needs the Evaluator's problem")
        plans = [function(candidate) for candidate in candidates]
        if not plans:
            return []
        rows = self.run(self.problem.tasks(plans), batch_seed(self.seed, self.batches))
        self.batches += 1
        stats = self.problem.statistics(rows, plans)
        return [_fitness(self.problem, row) for _, row in stats.iterrows()]


def penalty(problem: Problem) -> tuple[float, ...]:
    """Objective values that every feasible candidate dominates (for infeasible ones)."""
    return tuple(-1e12 * d for d in problem.directions)


def _fitness(problem: Problem, row: Mapping[str, Any]) -> tuple[float, ...]:
    if not row["feasible"]:
        return penalty(problem)
    return tuple(float(row[name]) for name in problem.names)


# ---------------------------------------------------------------------------------------------
# The ask/tell study


class Study:
    """An ask/tell loop over generations of candidates.

    ::

        from pilora.optimise import Problem, Study

        problem = Problem(record, bed, objectives=("worst_effect", "travel"), replicates=3)
        study = Study(problem, population=20, generations=10, seed=1)
        while not study.done:
            tasks = study.ask()                     # the generation's tasks (candidates x replicates)
            rows = pilora.evaluate(tasks, seed=study.run_seed, errors="record")
            study.tell(rows)
        study.front()                               # the non-dominated candidates found

    ``algorithm``: ``"nsga2"`` (DEAP's NSGA-II: tournament on crowding, simulated binary
    crossover, polynomial mutation, NSGA-II selection; ``population`` a multiple of 4), ``"optuna"``
    (Optuna's NSGAIISampler) or ``"tpe"`` (Optuna's multi-objective TPESampler). Generation 0 is
    the initial population, so a study evaluates ``population x (generations + 1)`` candidates.
    :attr:`archive` holds every candidate told (genes, plan, generation, objectives) and
    :attr:`convergence` the hypervolume per generation against :attr:`reference` (given, or
    from generation 0: each objective's worst feasible value there, pushed out by a tenth of its
    range, or of its size when the range is 0).
    """

    reference: tuple[float, ...] | None
    generation: int
    archive: pd.DataFrame
    _rng: random.Random

    def __init__(self, problem: Problem, *, algorithm: Literal["nsga2", "optuna", "tpe"] = "nsga2",
                 population: int = 20, generations: int = 10, seed: int = 1,
                 reference: Sequence[float] | None = None) -> None:
        if algorithm not in ("nsga2", "optuna", "tpe"):
            raise OptimiseError(f"algorithm must be nsga2, optuna or tpe, not {algorithm!r}")
        if isinstance(population, bool) or not isinstance(population, numbers.Integral) or population < 4:
            raise OptimiseError(f"the population must be at least 4 candidates, not {population!r}")
        if algorithm == "nsga2" and population % 4:
            raise OptimiseError(f"NSGA-II's population must be a multiple of 4 (its tournament takes pairs "
                                f"of pairs), not {population}")
        if isinstance(generations, bool) or not isinstance(generations, numbers.Integral) or generations < 0:
            raise OptimiseError(f"generations must be a whole number of at least 0, not {generations!r}")
        self.problem: Problem = problem
        self.algorithm: str = algorithm
        self.population_size: int = int(population)
        self.generations: int = int(generations)
        self.seed: int = int(seed)
        self.reference = None if reference is None else self._checked_reference(reference)
        self.generation = 0
        self.archive = pd.DataFrame()
        self.convergence: list[dict[str, Any]] = []
        self._rng = random.Random(seed)
        self._pending: list[Any] | None = None
        self._population: list[Any] = []
        if algorithm == "nsga2":
            self._setup_deap()
        else:
            self._setup_optuna()

    # -- the interface

    @property
    def done(self) -> bool:
        return self.generation > self.generations

    @property
    def run_seed(self) -> int:
        """The run seed of the current generation's tasks (:func:`batch_seed` of the generation)."""
        return batch_seed(self.seed, self.generation)

    def ask(self) -> list[Task]:
        """The current generation's tasks: candidate i's replicate r is task ``i * replicates + r``.
        Asking again before telling gives the same tasks."""
        if self.done:
            raise RuntimeError(f"the study has run its {self.generations + 1} generations")
        if self._pending is None:
            self._pending = self._ask_deap() if self.algorithm == "nsga2" else self._ask_optuna()
        return self.problem.tasks(self._plans(self._pending))

    def tell(self, rows: pd.DataFrame) -> dict[str, Any]:
        """The rows of the asked tasks (any order; ``task`` numbers them): scores the candidates,
        moves to the next generation and returns its convergence entry."""
        if self._pending is None:
            raise RuntimeError("tell() follows ask()")
        candidates = self._pending
        self._check_rows(rows, self.problem.tasks(self._plans(candidates)))
        stats = self.problem.statistics(rows, self._plans(candidates))
        fitness = [_fitness(self.problem, row) for _, row in stats.iterrows()]
        if self.algorithm == "nsga2":
            self._tell_deap(candidates, fitness)
        else:
            self._tell_optuna(candidates, stats, fitness)
        genes = [list(self._genes(c)) for c in candidates]
        told = stats.drop(columns=[c for c in stats.columns if c.startswith("replicates.")])
        told.insert(0, "generation", self.generation)
        told.insert(1, "genes", [tuple(g) for g in genes])
        self.archive = pd.concat([self.archive, told], ignore_index=True) if len(self.archive) else told
        if self.reference is None:
            self.reference = self._default_reference(told)
        entry = self._measure()
        self.convergence.append(entry)
        self._pending = None
        self.generation += 1
        return entry

    def front(self) -> pd.DataFrame:
        """The feasible candidates of the archive that no other dominates (on the robust
        objectives), one per distinct plan, in archive order."""
        feasible = self.archive[self.archive["feasible"]] if len(self.archive) else self.archive
        if not len(feasible):
            return feasible
        values = feasible[list(self.problem.names)].to_numpy(dtype=float)
        front = feasible[pareto(values, self.problem.directions)]
        return front.drop_duplicates(subset=["genes"]).reset_index(drop=True)

    # -- helpers

    def _check_rows(self, rows: pd.DataFrame, tasks: list[Task]) -> None:
        """Refuse rows of other tasks or another generation (their run seed or fingerprints
        differ from the asked tasks'), before anything is scored."""
        if "run_seed" in rows:
            seeds = set(rows["run_seed"].tolist())
            if seeds != {self.run_seed} and len(rows):
                other = next(iter(seeds - {self.run_seed}))
                raise OptimiseError(f"the rows were run with run seed {other}, not generation {self.generation}'s "
                                    f"{self.run_seed}: tell the rows of the tasks last asked, run with "
                                    "seed=study.run_seed")
        if "fingerprint" in rows and "task" in rows:
            cache: dict[int, str] = {}
            for task, fingerprint in zip(rows["task"].tolist(), rows["fingerprint"].tolist()):
                index = int(task)
                if not 0 <= index < len(tasks) or rowlog.prepare(index, tasks[index], cache).fingerprint != fingerprint:
                    raise OptimiseError(f"the row of task {index} is not of generation {self.generation}'s "
                                        "task of that number: tell the rows of the tasks last asked")

    def _plans(self, candidates: Sequence[Any]) -> list[StackerPath]:
        return [self.problem.plan(self._genes(c)) for c in candidates]

    def _genes(self, candidate: Any) -> list[float]:
        if self.algorithm == "nsga2":
            return list(candidate)
        return [candidate.params[f"u{k:02d}"] for k in range(self.problem.genes)]

    def _checked_reference(self, reference: Sequence[float]) -> tuple[float, ...]:
        ref = tuple(float(v) for v in reference)
        problem = self.problem
        if len(ref) != len(problem.objectives):
            raise OptimiseError(f"the reference point has {len(ref)} values, one per objective is "
                                f"{len(problem.objectives)} ({', '.join(problem.names)})")
        for value, objective in zip(ref, problem.objectives):
            if not math.isfinite(value):
                raise OptimiseError(f"the reference {objective.name} must be finite, not {value}")
            least = problem.passes[0] * problem.pass_length
            if objective.name == "travel" and value <= least:
                raise OptimiseError(f"reference travel {value:g} m: no plan travels less than "
                                    f"{least:g} m (the least passes), so none "
                                    f"can dominate it; give more")
            if objective.name == "flow_variability" and value <= 0:
                raise OptimiseError(f"reference flow_variability {value:g}: no flow varies less than 0, so "
                                    f"none can dominate it; give a value above 0")
            if objective.direction > 0 and objective.name.startswith(("worst_effect", "effect.")) and value < 0:
                raise OptimiseError(f"reference {objective.name} {value:g}: effects are at least 0; give 0 or more")
        return ref

    def _default_reference(self, told: pd.DataFrame) -> tuple[float, ...] | None:
        feasible = told[told["feasible"]]
        if not len(feasible):
            return None
        ref = []
        for objective in self.problem.objectives:
            v = feasible[objective.name].to_numpy(dtype=float)
            worst = v.min() if objective.direction > 0 else v.max()
            spread = float(v.max() - v.min()) or abs(float(worst)) or 1.0
            ref.append(float(worst - objective.direction * 0.1 * spread))
        return tuple(ref)

    def _measure(self) -> dict[str, Any]:
        front = self.front()
        values = front[list(self.problem.names)].to_numpy(dtype=float) if len(front) else np.zeros((0, 0))
        volume = (hypervolume(values, self.problem.directions, self.reference)
                  if self.reference is not None and len(front) else 0.0)
        entry: dict[str, Any] = {"generation": self.generation,
                                 "candidates": len(self.archive),
                                 "evaluations": len(self.archive) * self.problem.replicates,
                                 "feasible": int(self.archive["feasible"].sum()),
                                 "front": len(front), "hypervolume": volume}
        for name, value in zip(self.problem.names, self.reference or (math.nan,) * len(self.problem.names)):
            entry[f"reference.{name}"] = value
        return entry

    # -- DEAP's NSGA-II

    def _setup_deap(self) -> None:
        from deap import base

        weights = self.problem.directions

        class Fitness(base.Fitness):  # type: ignore[misc]
            pass

        Fitness.weights = weights

        class Candidate(list):
            def __init__(self, genes: Iterable[float]) -> None:
                super().__init__(genes)
                self.fitness = Fitness()

        self._candidate = Candidate

    def _ask_deap(self) -> list[Any]:
        from deap import tools

        n, size, rng = self.problem.genes, self.population_size, self._rng
        if self.generation == 0:
            return [self._candidate([rng.random() for _ in range(n)]) for _ in range(size)]
        parents = _seeded(rng, tools.selTournamentDCD, self._population, size)
        offspring = [self._candidate(list(p)) for p in parents]
        for a, b in zip(offspring[::2], offspring[1::2]):
            if rng.random() < 0.9:
                _seeded(rng, tools.cxSimulatedBinaryBounded, a, b, eta=15.0, low=0.0, up=1.0)
            for child in (a, b):
                _seeded(rng, tools.mutPolynomialBounded, child, eta=20.0, low=0.0, up=1.0, indpb=1.0 / n)
        return offspring

    def _tell_deap(self, candidates: list[Any], fitness: list[tuple[float, ...]]) -> None:
        from deap import tools

        for candidate, values in zip(candidates, fitness):
            candidate.fitness.values = values
        self._population = tools.selNSGA2(self._population + candidates, self.population_size)

    # -- Optuna

    def _setup_optuna(self) -> None:
        import optuna

        optuna.logging.set_verbosity(optuna.logging.WARNING)
        if self.algorithm == "optuna":
            sampler: optuna.samplers.BaseSampler = optuna.samplers.NSGAIISampler(
                population_size=self.population_size, seed=self.seed)
        else:
            sampler = optuna.samplers.TPESampler(n_startup_trials=self.population_size, seed=self.seed)
        directions = ["maximize" if d > 0 else "minimize" for d in self.problem.directions]
        self._optuna = optuna.create_study(directions=directions, sampler=sampler)

    def _ask_optuna(self) -> list[Any]:
        trials = [self._optuna.ask() for _ in range(self.population_size)]
        for trial in trials:
            for k in range(self.problem.genes):
                trial.suggest_float(f"u{k:02d}", 0.0, 1.0)
        return trials

    def _tell_optuna(self, trials: list[Any], stats: pd.DataFrame, fitness: list[tuple[float, ...]]) -> None:
        import optuna

        for trial, feasible, values in zip(trials, stats["feasible"], fitness):
            if feasible:
                self._optuna.tell(trial, list(values))
            else:
                self._optuna.tell(trial, state=optuna.trial.TrialState.FAIL)


def _seeded(rng: random.Random, operator: Callable[..., Any], *arguments: Any, **keywords: Any) -> Any:
    """Run a DEAP operator (which draws from the `random` module) on a state taken from ``rng``,
    so that a study depends on its seed alone."""
    saved = random.getstate()
    random.seed(rng.getrandbits(64))
    try:
        return operator(*arguments, **keywords)
    finally:
        random.setstate(saved)


# ---------------------------------------------------------------------------------------------
# The whole study


@dataclass
class Optimised:
    """What :func:`optimise` found.

    Attributes
    ----------
    problem, study
        The problem and the finished ask/tell study.
    front : pandas.DataFrame
        One row per front point: ``point``, ``generation`` (where found), the plan (``points[i]``
        in m, ``distance`` in m, ``passes``, ``cruise_speed`` in m/min), ``feasible_fine``; per
        objective ``<name>.search``
        (the robust value on the coarse grid), ``<name>.mean``/``.low``/``.high`` and
        ``<name>.fine`` (the robust value) on the fine grid, ``<name>.moved`` (fine minus search);
        ``chevron.layers`` (the chevron of equal travel) and ``vs_chevron.mean``/``.low``/``.high``,
        the paired difference in the first objective against it (positive: the point is better).
        Sorted by the first objective, best first.
    convergence : pandas.DataFrame
        Hypervolume per generation (see :class:`Study`).
    chevrons : pandas.DataFrame
        The chevrons: ``layers``, ``travel`` (m), ``grid`` ("search" or "fine"), each objective's
        mean/low/high and robust value.
    comparison : dict
        ``equal_travel`` and ``best_travel``: whether any front point beats the chevron on the
        first objective on the fine grid, by how much (``by``: mean, low, high of the paired
        difference at ``joint_coverage``, Bonferroni over the front's points), and a sentence.
    chosen : StackerPath
        The front point best in the first objective on the fine grid.
    reference : tuple of float
        The hypervolume's reference point.
    seconds : dict
        Wall-clock time of the search, the chevrons and the fine check.
    """

    problem: Problem
    study: Study
    front: pd.DataFrame
    convergence: pd.DataFrame
    chevrons: pd.DataFrame
    comparison: dict[str, Any]
    chosen: StackerPath
    reference: tuple[float, ...]
    seconds: dict[str, float]


def optimise(record: Record, bed: BedSettings, *, objectives: Sequence[str] = ("worst_effect", "travel"),
             population: int = 20, generations: int = 10, replicates: int = 3, seed: int = 1, points: int = 4,
             passes: float | tuple[float, float] = (20.0, 150.0), max_speed: float = 20.0,
             acceleration: float = 0.05, search_cell_size: float | None = None,
             algorithm: Literal["nsga2", "optuna", "tpe"] = "nsga2", robust: Literal["mean", "bound"] = "mean",
             coverage: float = 0.9, reference: Sequence[float] | None = None, chevrons: int = 40,
             check_replicates: int | None = None,
             out: str | os.PathLike[str] | None = None, resume: bool = False, workers: int | None = None,
             processes: bool = False, executor: cf.Executor | None = None,
             client: distributed.Client | str | None = None, progress: bool = False,
             callback: Callable[[dict[str, Any]], None] | None = None) -> Optimised:
    """Search stacker paths for the record on the bed; check the front and the chevrons on the fine grid.

    See the module's documentation for the plan family, the objectives, the robust statistic, the
    fidelities, the baseline and the seeds; :class:`Problem` and :class:`Study` for the settings
    they take. ``chevrons``: chevrons of the coarse sweep, spread over the passes allowed (whole layers).
    ``out``: folder for the row logs (``out/rows``; nothing else is written: see
    :func:`write_outputs`); ``resume=True`` continues the study those logs hold. ``workers``,
    ``processes``, ``executor``, ``client``: the backend (:func:`pilora.evaluate`), shared by every
    batch. ``callback``: called with each generation's convergence entry.

    Raises
    ------
    OptimiseError
        For settings that cannot work (a travel beyond the maximum speed, a population below 4,
        a reference point the front does not dominate, ...); the message names the limit.
    """
    problem = Problem(record, bed, objectives=objectives, points=points, passes=passes, max_speed=max_speed,
                      acceleration=acceleration, replicates=replicates, robust=robust, coverage=coverage,
                      search_cell_size=search_cell_size, seed=seed, check_replicates=check_replicates)
    study = Study(problem, algorithm=algorithm, population=population, generations=generations, seed=seed,
                  reference=reference)
    if isinstance(chevrons, bool) or not isinstance(chevrons, numbers.Integral) or chevrons < 1:
        raise OptimiseError(f"chevrons must be a whole number of at least 1, not {chevrons!r}")
    logs = None if out is None else pathlib.Path(out) / "rows"
    if logs is not None:
        if logs.exists() and any(logs.iterdir()) and not resume:
            raise OptimiseError(f"{logs.parent} holds a study already: resume it, or choose another folder")
        logs.mkdir(parents=True, exist_ok=True)

    def log(name: str) -> pathlib.Path | None:
        return None if logs is None else logs / f"{name}.csv"

    seconds: dict[str, float] = {}
    with Evaluator(problem, seed=seed, workers=workers, processes=processes, executor=executor, client=client,
                   progress=progress) as evaluator:
        started = time.perf_counter()
        while not study.done:
            tasks = study.ask()
            rows = evaluator.run(tasks, study.run_seed, log(f"search-{study.generation:04d}"), resume)
            entry = study.tell(rows)
            if callback is not None:
                callback(entry)
        seconds["search"] = time.perf_counter() - started

        started = time.perf_counter()
        low, high = problem.passes
        layers = sorted({max(1, round(v)) for v in np.linspace(low, high, chevrons)})
        sweep = [Chevron(layers=n) for n in layers]
        coarse = problem.statistics(
            evaluator.run(problem.tasks(sweep), batch_seed(seed, _CHEVRON_KEY), log("chevrons-search"), resume),
            sweep)
        coarse.insert(0, "layers", layers)
        seconds["chevrons"] = time.perf_counter() - started

        front = study.front()
        if not len(front):
            raise OptimiseError("no feasible candidate was found: widen the passes or raise the maximum speed")
        reference_point = study.reference
        final = study.convergence[-1]["hypervolume"]
        if final <= 0.0:
            best = {o.name: (front[o.name].max() if o.direction > 0 else front[o.name].min())
                    for o in problem.objectives}
            limits = ", ".join(f"{n} {'below' if o.direction > 0 else 'above'} {best[n]:.6g}"
                               for n, o in zip(problem.names, problem.objectives))
            raise OptimiseError(f"no front point dominates the reference point {reference_point}: the front "
                                f"reaches {limits}; give a reference beyond those")

        # The fine check: the front, the chevrons of equal travel and the sweep's three best.
        started = time.perf_counter()
        first = problem.objectives[0]
        plans = [problem.plan(genes) for genes in front["genes"]]
        ranked = coarse[coarse["feasible"]].assign(_key=lambda f: -first.direction * f[first.name])
        top = [int(n) for n in ranked.sort_values(["_key", "layers"], kind="stable")["layers"].head(3)]
        equal = [problem.chevron(plan.distance).layers for plan in plans]
        fine_layers = list(dict.fromkeys([*equal, *top]))
        fine_chevrons = [Chevron(layers=n) for n in fine_layers]
        everything: list[Plan] = [*plans, *fine_chevrons]
        # Its log is named by the front it checks, so that a study resumed with more generations
        # checks its new front in a log of its own.
        checked = rowlog.digest(*(rowlog.token(plan) for plan in plans))[:12]
        fine_rows = evaluator.run(problem.tasks(everything, fine=True), batch_seed(seed, _FINE_KEY),
                                  log(f"fine-{checked}"), resume)
        fine = problem.statistics(fine_rows, everything, fine=True)
        seconds["fine"] = time.perf_counter() - started

    fine_front, fine_chev = fine.iloc[:len(plans)].reset_index(drop=True), fine.iloc[len(plans):].reset_index(drop=True)
    fine_chev.insert(0, "layers", fine_layers)
    usable = fine_chev[fine_chev["feasible"]] if fine_chev["feasible"].any() else fine_chev
    best_layers = int(usable.loc[(usable[first.name] * first.direction).idxmax(), "layers"])
    table = _front_table(problem, front, plans, fine_front, fine_chev, equal)
    chevron_table = _chevron_table(problem, coarse, fine_chev)
    comparison = _comparison(problem, table, fine_front, fine_chev, best_layers)
    order = table["point"].to_numpy()
    chosen = plans[int(order[0])]
    convergence = pd.DataFrame(study.convergence)
    return Optimised(problem, study, table, convergence, chevron_table, comparison, chosen,
                     tuple(reference_point or ()), seconds)


def _front_table(problem: Problem, front: pd.DataFrame, plans: list[StackerPath], fine: pd.DataFrame,
                 chevrons: pd.DataFrame, equal: list[int]) -> pd.DataFrame:
    rows = []
    first = problem.objectives[0]
    by_layers = {int(n): i for i, n in enumerate(chevrons["layers"])}
    for i, plan in enumerate(plans):
        row: dict[str, Any] = {"point": i, "generation": int(front.loc[i, "generation"])}
        row.update({f"points[{k}]": x for k, x in enumerate(plan.points)})
        row.update(distance=plan.distance, passes=plan.passes(problem.record, problem.bed),
                   cruise_speed=plan.cruise_speed(problem.record, problem.bed),
                   feasible_fine=bool(fine.loc[i, "feasible"]))
        for objective in problem.objectives:
            name = objective.name
            row[f"{name}.search"] = float(front.loc[i, name])
            for part in ("mean", "low", "high"):
                row[f"{name}.{part}"] = float(fine.loc[i, f"{name}.{part}"])
            row[f"{name}.fine"] = float(fine.loc[i, name])
            row[f"{name}.moved"] = row[f"{name}.fine"] - row[f"{name}.search"]
        j = by_layers[equal[i]]
        row["chevron.layers"] = equal[i]
        diff = _paired(problem, first, fine.loc[i, f"replicates.{first.name}"],
                       chevrons.loc[j, f"replicates.{first.name}"])
        row.update({"vs_chevron.mean": diff[0], "vs_chevron.low": diff[1], "vs_chevron.high": diff[2]})
        rows.append(row)
    table = pd.DataFrame(rows)
    key = table[f"{first.name}.fine"] * -first.direction
    return table.assign(_key=key).sort_values(["_key", "point"], kind="stable").drop(columns="_key").reset_index(drop=True)


def _paired(problem: Problem, objective: Objective, mine: Sequence[float], theirs: Sequence[float],
            coverage: float | None = None) -> tuple[float, float, float]:
    """The interval of the paired difference (at ``coverage``, default the problem's), signed so
    that positive means ``mine`` is better."""
    d = objective.direction * (np.asarray(mine, dtype=float) - np.asarray(theirs, dtype=float))
    if len(d) < 2:
        return float(d[0]), math.nan, math.nan
    return _interval(d, problem.coverage if coverage is None else coverage)


def _chevron_table(problem: Problem, coarse: pd.DataFrame, fine: pd.DataFrame) -> pd.DataFrame:
    keep = ["layers", "feasible"] + [f"{n}{s}" for n in problem.names for s in ("", ".mean", ".low", ".high")]
    a = coarse[keep].assign(grid="search")
    b = fine[keep].assign(grid="fine")
    table = pd.concat([a, b], ignore_index=True)
    table.insert(1, "distance", table["layers"] * problem.pass_length)
    return table[["grid", *[c for c in table.columns if c != "grid"]]]


def _comparison(problem: Problem, table: pd.DataFrame, fine: pd.DataFrame, chevrons: pd.DataFrame,
                best_layers: int) -> dict[str, Any]:
    first = problem.objectives[0]
    name = first.name
    pct = 100.0 * problem.coverage
    out: dict[str, Any] = {"objective": name, "coverage": problem.coverage, "grid": "fine",
                           "cell_size": problem.bed.cell_size}
    # The verdicts take every front point's chance to win: Bonferroni over the m points.
    m = len(table)
    joint = 1.0 - (1.0 - problem.coverage) / m
    out["joint_coverage"] = joint
    joint_text = f"{100 * joint:.4g} % interval, Bonferroni over the {m} front points"

    def verdict(by: tuple[float, float, float]) -> bool:
        return bool(by[1] > 0) if math.isfinite(by[1]) else bool(by[0] > 0)

    # Equal travel: each point against its own chevron; the best paired difference.
    best = table.sort_values(["vs_chevron.mean", "point"], ascending=[False, True], kind="stable").iloc[0]
    point, layers = int(best["point"]), int(best["chevron.layers"])
    j = int(np.flatnonzero(chevrons["layers"].to_numpy() == layers)[0])
    by = _paired(problem, first, fine.loc[point, f"replicates.{name}"], chevrons.loc[j, f"replicates.{name}"], joint)
    beaten = verdict(by)
    out["equal_travel"] = {
        "beaten": beaten, "point": point, "chevron_layers": layers, "by": list(by),
        "by_single": [float(best["vs_chevron.mean"]), float(best["vs_chevron.low"]), float(best["vs_chevron.high"])],
        "statement": (f"{'A front point beats' if beaten else 'No front point beats'} the chevron of equal travel "
                      f"on {name} on the fine grid: the best, point {point} against {layers} layers, differs by "
                      f"{by[0]:+.4g} ({joint_text}: {by[1]:+.4g} to {by[2]:+.4g}; positive is better)")}
    # The best chevron on the fine grid: every point against it.
    j = int(np.flatnonzero(chevrons["layers"].to_numpy() == best_layers)[0])
    theirs = chevrons.loc[j, f"replicates.{name}"]
    means = [(_paired(problem, first, fine.loc[int(p), f"replicates.{name}"], theirs)[0], int(p)) for p in table["point"]]
    _, point = max(means, key=lambda d: (d[0], -d[1]))
    by = _paired(problem, first, fine.loc[point, f"replicates.{name}"], theirs, joint)
    beaten = verdict(by)
    chevron_stats = [float(chevrons.loc[j, f"{name}.{s}"]) for s in ("mean", "low", "high")]
    out["best_travel"] = {
        "beaten": beaten, "point": point, "chevron_layers": best_layers, "chevron": chevron_stats, "by": list(by),
        "statement": (f"{'A front point beats' if beaten else 'No front point beats'} the best chevron "
                      f"({best_layers} layers, {name} {chevron_stats[0]:.4g}, {pct:.0f} % interval "
                      f"{chevron_stats[1]:.4g} to {chevron_stats[2]:.4g}) on the fine grid: the best point, "
                      f"{point}, differs by {by[0]:+.4g} ({joint_text}: {by[1]:+.4g} to {by[2]:+.4g}; "
                      "positive is better)")}
    return out


# ---------------------------------------------------------------------------------------------
# Outputs


def write_outputs(found: Optimised, out: str | os.PathLike[str], *, title: str = "Pilora: optimised stacker paths",
                  subtitle: str = "", settings: Mapping[str, Any] | None = None, seed: int = 1,
                  figures: bool = True) -> dict[str, Any]:
    """Writes the study's outputs into ``out`` and returns the summary.

    ``front.csv`` (:attr:`Optimised.front`), ``convergence.csv``, ``chevrons.csv``,
    ``stacker.csv`` (the chosen plan's :meth:`StackerPath.instructions`), ``summary.json`` and
    ``report.html`` (the front against the chevrons, the convergence curve, and the chosen plan
    run on the fine grid with ``seed``: its height map, sections and quality). The tables are
    byte-identical for the same study; the summary and the report also hold timings.
    """
    from . import __version__
    from .report import Figure, Report, write_json

    out = pathlib.Path(out)
    out.mkdir(parents=True, exist_ok=True)
    problem = found.problem
    _csv(found.front, out / "front.csv")
    _csv(found.convergence, out / "convergence.csv")
    _csv(found.chevrons, out / "chevrons.csv")
    instructions = found.chosen.instructions(problem.record, problem.bed)
    _csv(instructions, out / "stacker.csv")

    units = {o.name: o.unit for o in problem.objectives}
    basis = _basis_text(problem)
    summary: dict[str, Any] = {
        "basis": basis,
        "version": __version__,
        "objectives": [{"name": o.name, "direction": "maximise" if o.direction > 0 else "minimise",
                        "unit": o.unit, "column": o.column, "what": o.text} for o in problem.objectives],
        "robust": {"statistic": problem.robust, "replicates": problem.replicates,
                   "check_replicates": problem.check_replicates, "coverage": problem.coverage,
                   "what": ("the mean over the replicates" if problem.robust == "mean" else
                            "the pessimistic end of the replicates' interval (low for maximised, high for minimised)")},
        "grids": {"search_cell_size": problem.search_bed.cell_size, "fine_cell_size": problem.bed.cell_size},
        "plan": {"family": "StackerPath", "points": problem.points, "passes": list(problem.passes),
                 "travel_decided": problem.decides_travel, "max_speed_m_per_min": problem.max_speed,
                 "acceleration_m_per_s2": problem.acceleration},
        "study": {"algorithm": found.study.algorithm, "population": found.study.population_size,
                  "generations": found.study.generations, "seed": found.study.seed,
                  "evaluations": int(found.convergence["evaluations"].iloc[-1])},
        "reference_point": dict(zip(problem.names, found.reference)),
        "hypervolume": float(found.convergence["hypervolume"].iloc[-1]),
        "front_points": len(found.front),
        "chosen": {"point": int(found.front["point"].iloc[0]), "plan": repr(found.chosen),
                   **{f"{n}.fine": float(found.front[f"{n}.fine"].iloc[0]) for n in problem.names}},
        "baseline": found.comparison,
        "moved": {n: {"mean": float(found.front[f"{n}.moved"].mean()),
                      "largest": float(found.front[f"{n}.moved"].abs().max())} for n in problem.names},
        "units": units,
        "seconds": found.seconds,
        "settings": dict(settings or {}),
    }
    from .commands.outputs import MODEL_NOTE

    report = Report(title, subtitle)
    report.add_text("Is it better than a chevron?", [found.comparison["equal_travel"]["statement"] + ".",
                                                     found.comparison["best_travel"]["statement"] + "."])
    report.add_text("Units and basis", [
        "; ".join(f"{o.name}: {o.text} ({_unit_text(o)}, {'maximised' if o.direction > 0 else 'minimised'})"
                  for o in problem.objectives) + ".",
        f"Basis: {basis}.", MODEL_NOTE])
    report.add_settings("Study", {
        "objectives": ", ".join(f"{o.name} ({'max' if o.direction > 0 else 'min'})" for o in problem.objectives),
        "robust statistic": summary["robust"]["what"], "replicates (search)": problem.replicates,
        "replicates (fine check, fresh realisations)": problem.check_replicates,
        "search grid cell (m)": problem.search_bed.cell_size, "fine grid cell (m)": problem.bed.cell_size,
        "algorithm": found.study.algorithm, "population": found.study.population_size,
        "generations": found.study.generations, "seed": found.study.seed,
        "reference point": ", ".join(f"{n} {v:.6g}" for n, v in zip(problem.names, found.reference)),
        **dict(settings or {})})
    shown = found.front.drop(columns=[c for c in found.front.columns if c.startswith("points[")])
    report.add_table("Front, coarse search and fine check", shown,
                     note=("'.search' is the robust value on the search grid, '.mean/.low/.high' the fine grid's "
                           "replicates, '.moved' fine minus search; vs_chevron: paired difference in the first "
                           "objective against the chevron of equal travel, positive is better."))
    report.add_table("Chevrons", found.chevrons)
    if figures:
        from .figures import plot_heights, plot_quality, plot_sections, save_figure
        from .run import simulate

        axes = ", ".join(f"{o.name} in {_unit_text(o)}" for o in problem.objectives)
        pictures = [Figure(_plot_front(found, out / "front.png"),
                           f"The front on the search grid (open) and the fine grid (filled, with "
                           f"{problem.coverage:.0%} intervals over the replicates), against the chevrons "
                           f"(red); {axes}."),
                    Figure(_plot_convergence(found, out / "convergence.png"),
                           "Hypervolume of the front found so far, per generation, against the reference point "
                           "(in the product of the objectives' units).")]
        report.add_figures("Front and convergence", pictures)
        run_seed = batch_seed(seed, _CHOSEN_KEY)
        middle = 0.5 * (problem.span[0] + problem.span[1])
        try:  # with a vertical section across the middle of the bed, where the simulation records them
            from .sections import plot_section

            result = simulate(problem.bed, problem.record, found.chosen, seed=run_seed,
                              sections={"across": (middle,)})
        except (ImportError, TypeError):
            plot_section = None  # type: ignore[assignment]
            result = simulate(problem.bed, problem.record, found.chosen, seed=run_seed)
        chosen = [Figure(save_figure(plot_heights(result), out / "chosen_heights.png"),
                         "The chosen plan's height map (m), x along and z across the bed in m."),
                  Figure(save_figure(plot_sections(result), out / "chosen_sections.png"),
                         "Its outline along and across the bed (heights and positions in m).")]
        if plot_section is not None:
            first = problem.record.parameters[0]
            chosen += [Figure(save_figure(plot_section(result, 0, "time"), out / "chosen_section_time.png"),
                              f"A section across the bed at x = {middle:.1f} m (positions and heights in m), "
                              f"coloured by the stacking time of the material (h from the record's start)."),
                       Figure(save_figure(plot_section(result, 0, first), out / "chosen_section_quality.png"),
                              f"The same section coloured by {first} of the material "
                              f"({getattr(problem.record, 'units', {}).get(first) or 'the record units'}).")]
        chosen.append(Figure(save_figure(plot_quality(result), out / "chosen_quality.png"),
                             f"Input and reclaimed quality of the chosen plan, each parameter in its units; the "
                             f"input also in its block averages ({basis})."))
        report.add_figures(f"The chosen plan: {found.chosen!r}", chosen)
    write_json(summary, out / "summary.json")
    report.write(out / "report.html")
    return summary


def _unit_text(objective: Objective) -> str:
    return objective.unit or "H = std in / std out, a ratio"


def _basis_text(problem: Problem) -> str:
    """The block basis the effects are measured on (as :func:`pilora.blending` states it)."""
    from .analysis import default_block_mass

    unit = "t" if problem.record.bulk_density is not None else "m³"
    mass = default_block_mass(problem.record)
    return (f"effects H = std in / std out on consecutive blocks of {mass:,.0f} {unit} of input and of reclaimed "
            f"material (one hour of the record's mean feed rate), end cones left out; qualities whose input "
            f"does not vary are left out of the worst effect")


def _csv(frame: pd.DataFrame, path: pathlib.Path) -> None:
    frame.to_csv(path, index=False, lineterminator="\n", encoding="utf-8")


def _axis_label(found: Optimised, name: str) -> str:
    """An objective's name with its unit (H is a ratio: no unit)."""
    from .figures import text

    unit = next((o.unit for o in found.problem.objectives if o.name == name), "")
    return text(f"{name} ({unit})" if unit else f"{name} (H, ratio)" if "effect" in name else name)


def _plot_front(found: Optimised, path: pathlib.Path) -> pathlib.Path:
    from .figures import _figure, _margins, save_figure

    problem = found.problem
    names = problem.names
    y = names[0]
    x = names[1] if len(names) > 1 else None
    fig = _figure(7.5, 4.8)
    ax = fig.subplots()
    archive = found.study.archive
    feasible = archive[archive["feasible"]]
    front, chev = found.front, found.chevrons

    def xs(frame: pd.DataFrame, suffix: str) -> Any:
        return frame[f"{x}{suffix}"] if x else frame.index

    ax.scatter(xs(feasible, ""), feasible[y], s=6, c="0.8", label="candidates (search grid)")
    ax.scatter(xs(front, ".search"), front[f"{y}.search"], s=25, facecolors="none", edgecolors="C0",
               label="front, search grid")
    ax.errorbar(xs(front, ".mean"), front[f"{y}.mean"], yerr=_bars(front, y), fmt="o", c="C0", ms=4,
                label="front, fine grid")
    coarse, fine = chev[chev["grid"] == "search"], chev[chev["grid"] == "fine"]
    ax.plot(xs(coarse, ""), coarse[y], "--", c="C3", lw=1, label="chevrons, search grid")
    ax.errorbar(xs(fine, ".mean"), fine[f"{y}.mean"], yerr=_bars(fine, y), fmt="*", c="C3", ms=9,
                label="chevrons, fine grid")
    ax.set_xlabel(_axis_label(found, x) if x else "candidate")
    ax.set_ylabel(_axis_label(found, y))
    ax.legend(fontsize="small")
    _margins(fig, left=0.8, bottom=0.6, top=0.25)
    return save_figure(fig, path, dpi=110)


def _bars(frame: pd.DataFrame, name: str) -> Any:
    mean = frame[f"{name}.mean"].to_numpy(dtype=float)
    low = np.nan_to_num(mean - frame[f"{name}.low"].to_numpy(dtype=float))
    high = np.nan_to_num(frame[f"{name}.high"].to_numpy(dtype=float) - mean)
    return np.vstack([np.maximum(low, 0), np.maximum(high, 0)])


def _plot_convergence(found: Optimised, path: pathlib.Path) -> pathlib.Path:
    from matplotlib.ticker import MaxNLocator

    from .figures import _figure, _margins, save_figure, text

    fig = _figure(6.5, 3.8)
    ax = fig.subplots()
    c = found.convergence
    ax.plot(c["generation"], c["hypervolume"], "o-", ms=3)
    ax.xaxis.set_major_locator(MaxNLocator(integer=True))
    ax.set_xlabel("generation")
    units = [o.unit or "H" for o in found.problem.objectives]
    ax.set_ylabel(text(f"hypervolume ({' × '.join(units)})"))
    ref = ", ".join(f"{n} {v:.4g}" for n, v in zip(found.problem.names, found.reference))
    ax.set_title(text(f"reference point: {ref}"), fontsize="small")
    _margins(fig, left=0.85, bottom=0.6, top=0.4)
    return save_figure(fig, path, dpi=110)
