"""A stacking plan given by control points: the stacker's path as positions along the bed.

Optimisers search over plans; a plan whose motion is a short vector of numbers suits them. A
:class:`ControlPoints` plan moves the stacker piecewise linearly through a list of positions along
x, reached at equal steps of the stacker's time (or at a constant speed), on one lane. A chevron
is the special case of two points at the reversal ends traversed back and forth. As every plan
here, its stacker is tied to its feed by default: it stands while the feed stops.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, NamedTuple

import numpy as np

from .plans import Plan, PlanError, _across, _check_travel, _fed, _linear, _number, _points, _stacking_hours

if TYPE_CHECKING:
    from .record import Record
    from .settings import BedSettings

__all__ = ["ControlPoints"]


@dataclass(frozen=True, kw_only=True, repr=False)
class ControlPoints(Plan):
    """The stacker moves at piecewise-constant speed through control points along the bed.

    Parameters
    ----------
    positions : tuple of float
        At least two positions along x (m, within the bed). The stacker is at ``positions[0]`` at
        the record's start and travels straight from each point to the next, spending the same
        time on every leg.
    cycles : int
        How often the points are travelled over the record's stacking hours, alternately forward
        and backward (first ``positions[0]`` to ``positions[-1]``, then back), so the path has no
        jump: ``cycles * (len(positions) - 1)`` legs in all, each taking the same time. Default 1.
    lane : float or None
        The stacker's z in m; default: the bed's centre line.
    speed : float or None
        Instead of `cycles`: the stacker travels the points forward and back at this constant
        speed, m/min while stacking, as far as the record's stacking hours take it (the last
        cycle may be incomplete); a speed too slow to travel the points' whole reach once is
        refused, naming the lowest that does. Give `speed` or a `cycles` other than 1, not both.
    travel : str
        "feed" (default): the stacker stands while the feed stops (rows of zero volume), its legs
        spread over the stacking hours; "time": over the record's whole duration.

    ``ControlPoints(positions=(0, L), cycles=n)`` is a chevron of n layers over the whole length.
    Linear beds only. The end cones lie beyond the outermost positions; ``passes`` is the
    travelled length over the distance between the outermost positions (full-length passes).
    """

    positions: tuple[float, ...]
    cycles: int = 1
    lane: float | None = None
    speed: float | None = None
    travel: str = "feed"

    def __post_init__(self) -> None:
        _points(self, "positions")
        if isinstance(self.cycles, bool) or not isinstance(self.cycles, (int, np.integer)) or self.cycles < 1:
            raise PlanError(f"must be a whole number of at least 1, not {self.cycles!r}", parameter="cycles")
        object.__setattr__(self, "cycles", int(self.cycles))
        if self.lane is not None:
            if isinstance(self.lane, bool) or not isinstance(self.lane, (int, float, np.integer, np.floating)):
                raise PlanError(f"must be a number, not {type(self.lane).__name__}", parameter="lane")
            if not math.isfinite(float(self.lane)):
                raise PlanError(f"must be finite, not {self.lane}", parameter="lane")
        _number(self, "speed", positive=True)
        if self.speed is not None and self.cycles != 1:
            raise PlanError("give cycles or speed, not both", parameter="speed")
        _check_travel(self)

    def path(self, cycles: int | None = None) -> np.ndarray:
        """The points in travel order over all cycles (m): ``cycles * (len(positions) - 1) + 1``
        values, one per leg end (`cycles` defaults to the plan's)."""
        forward = np.asarray(self.positions, dtype=np.float64)
        legs = [forward[:1]]
        for cycle in range(self.cycles if cycles is None else cycles):
            legs.append((forward if cycle % 2 == 0 else forward[::-1])[1:])
        return np.concatenate(legs)

    def _checked(self, record: Record, bed: BedSettings) -> _PointMotion:
        _linear(self, bed)
        outside = [x for x in self.positions if not 0.0 <= x <= bed.length]
        if outside:
            raise PlanError(f"{outside[0]} m lies off the bed, which runs from 0 to {bed.length} m along x",
                            parameter="positions")
        hours = _stacking_hours(self, record)
        lane = _across("lane", self.lane, bed)
        if self.speed is None:
            path = self.path()
            travelled = np.concatenate([[0.0], np.cumsum(np.abs(np.diff(path)))])
            return _PointMotion(path, travelled, (len(path) - 1) / hours, lane, travelled[-1])
        cycle = float(np.sum(np.abs(np.diff(self.positions))))
        if not cycle > 0:
            raise PlanError("the points do not move the stacker: give cycles", parameter="speed")
        distance = float(self.speed) * 60.0 * hours  # m travelled over the stacking hours
        reach = max(self.positions) - min(self.positions)
        if distance < reach * (1 - 1e-9):
            raise PlanError(
                f"at {self.speed:.4g} m/min the stacker travels {distance / reach:.3g} of one {reach:.4g} m pass "
                f"in the {hours:.4g} h of stacking; one full pass takes at least "
                f"{reach / (60.0 * hours):.4g} m/min", parameter="speed")
        path = self.path(max(1, math.ceil(distance / cycle - 1e-9)))
        travelled = np.concatenate([[0.0], np.cumsum(np.abs(np.diff(path)))])
        # Legs at a constant speed: the stacker reaches leg end i after travelled[i] / speed hours.
        # The motion's leg clock is then the distance, in legs, interpolated from `travelled`.
        return _PointMotion(path, travelled, math.nan, lane, distance, float(self.speed) * 60.0)

    def _motion(self, record: Record, bed: BedSettings):  # type: ignore[no-untyped-def]
        return _fed(self, record, self._checked(record, bed))

    def _reach(self, record: Record, bed: BedSettings) -> tuple[float, float]:
        self._checked(record, bed)
        return min(self.positions), max(self.positions)

    def _passes(self, record: Record, bed: BedSettings) -> float:
        motion = self._checked(record, bed)
        lo, hi = self._reach(record, bed)
        return float(motion.total / (hi - lo)) if hi > lo else 0.0

    def _travelled(self, record: Record, bed: BedSettings) -> float:
        return float(self._checked(record, bed).total)


class _PointMotion(NamedTuple):
    path: np.ndarray  # x at the leg ends (m)
    travelled: np.ndarray  # distance travelled at the leg ends (m)
    legs_per_hour: float  # legs at equal times; NaN for travel at a constant speed
    lane: float
    total: float  # distance travelled over the record (m)
    speed: float = math.nan  # m/h, for travel at a constant speed

    def _along(self, t: np.ndarray) -> np.ndarray:
        """Distance travelled (m) by times t (h)."""
        t = np.asarray(t, dtype=np.float64)
        if math.isnan(self.legs_per_hour):
            return np.minimum(t * self.speed, self.total)
        legs = np.arange(len(self.path), dtype=np.float64)
        return np.interp(t * self.legs_per_hour, legs, self.travelled)

    def position(self, t: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        if math.isnan(self.legs_per_hour):
            x = np.interp(self._along(t), self.travelled, self.path)
        else:
            legs = np.arange(len(self.path), dtype=np.float64)
            x = np.interp(np.asarray(t, dtype=np.float64) * self.legs_per_hour, legs, self.path)
        return x, np.full_like(x, self.lane)

    def distance(self, t: np.ndarray) -> np.ndarray:
        return self._along(t)
