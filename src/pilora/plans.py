"""Stacking plans: where the stacker is over time, and the portions that follow from a record.

Every plan is a frozen dataclass of the settings engineers give a stacker (keyword-only), with
the same four methods:

- ``stacker_position(times, record, bed)``: the stacker's (x, z) in m at times in h from the
  record's start;
- ``portions(record, bed)``: the record cut into portions along the stacker's path (below);
- ``end_cones(record, bed)``: the ranges along the reclaim axis whose slices hold end cones;
- ``passes(record, bed)``: the one-way passes (layers) the plan lays with the record;
- ``travel_speed(record, bed)``: the stacker's speed along the bed while it stacks, m/min.

**The stacker is tied to its feed** (``travel="feed"``, the default of every travelling plan): it
travels while material arrives and stands while the feed is stopped (record rows of zero volume),
so a plan's motion is spread over the record's *stacking* hours, the durations of its rows of
positive volume. A plan given by a layer or pass count runs at the speed that lays that many in
those hours, so ``layers`` counts passes of material; one given by a speed (m/min of travel while
stacking) lays as many as the stacking hours allow (the last pass may be incomplete); a speed
too low for one full pass (one swing of a chevcon) is refused with a `PlanError` naming the
lowest speed that makes one.
``travel="time"`` spreads the motion over the record's whole duration instead, the stacker
travelling through stops too.

**Open ends.** A linear bed has no walls at its ends: by default a plan's reversal points (or first
and last cone) leave room for the heap's end cones to form on the bed at the angle of repose.
Material dropped evenly between the reversal points a and b makes a heap of the section
V / (b - a) = h² / tan(repose_angle) (V the record's volume, h the crest): a ridge at full section
that ends in half cones of radius r = h / tan(repose_angle). A half cone holds pi h³ / (6 tan²),
the material dropped over the last pi r / 6 (0.52 r) before a reversal point, so by that balance
its apex (where the full section begins) lies 0.52 r inside the reversal point and its toe about
half a radius beyond it. In the model the crest rounds off over the cone: the section falls
short of the full one (by more than 3 %) up to about one radius inside the reversal point, and
the toe lies about 0.6 r beyond it (the sample record on 200 x 40 m, 0.25 to 1 m cells). By
default the reversal points lie one radius from the bed's ends, leaving the toes room on the bed:

    V = (length - 2 r) h² / tan(repose_angle),   a = r,   b = length - r

(a heap too short for its two cones is a single cone, V = pi h³ / (3 tan²)). The crest is at most
a roof across the bed's width, h <= width / 2 tan(repose_angle); a record that needs more is
refused with a `PlanError` giving the bed length it needs. Reversal points given explicitly
(``start=``, ``end=``; ``first=``, ``last=``) are kept as given: at 0 and the bed's length the
heap stands against the grid's edges, which hold it as walls would.

The ``bed`` is a `BedSettings` (a `pilora.Bed` works too: only its geometry is read).

Portions: record row i covers the hours [t_i, t_i + d_i). Its material is spread along the path the
stacker travels in that time, in n_i pieces of equal volume at the middles of n_i equal sub-intervals
of time, n_i being the path's length over `spacing` (the bed's cell size by default) rounded up, at
least 1. A piece sits where the stacker is at its time, so every piece lies on the stacker's path,
and the pieces' volumes add up to the record's. Plans are checked against the bed and refused with
`PlanError` naming the setting that does not fit; no piece lands off the bed.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass, fields
from typing import TYPE_CHECKING, NamedTuple, Protocol

import numpy as np
import pandas as pd

from .record import Record, _FieldError
from .settings import BedSettings

if TYPE_CHECKING:
    from ._native import Bed

__all__ = ["Chevcon", "Chevron", "ConeShell", "Plan", "PlanError", "Resonance", "Strata", "Windrow"]

#: Most pieces a plan cuts a record into before it refuses the spacing.
MAX_PIECES = 50_000_000


class PlanError(_FieldError):
    """A plan that does not fit the bed or the record; `parameter` names the plan's setting at fault
    (None when the bed's kind is at fault)."""

    _fields = ("parameter",)

    def __init__(self, message: str, *, parameter: str | None = None) -> None:
        self.parameter = parameter
        super().__init__(message, f"{parameter}: {message}" if parameter is not None else message)


class _Motion(Protocol):
    def position(self, t: np.ndarray) -> tuple[np.ndarray, np.ndarray]: ...

    def distance(self, t: np.ndarray) -> np.ndarray: ...


def _settings(bed: BedSettings | Bed) -> BedSettings:
    """The settings of a bed given as settings or as a built `pilora.Bed`."""
    if isinstance(bed, BedSettings):
        return bed
    try:
        return BedSettings(
            bed.length,
            bed.width,
            reclaim_angle=bed.reclaim_angle,
            chunks_per_volume_unit=bed.chunks_per_volume_unit,
            circular=bed.circular,
            eight_neighbour_probability=bed.eight_neighbour_probability,
            repose_angle=bed.repose_angle,
        )
    except AttributeError:
        raise TypeError(f"bed must be BedSettings or a pilora.Bed, not {type(bed).__name__}") from None


# -- checks ---------------------------------------------------------------------------------------


def _number(plan: Plan, name: str, *, positive: bool = False, optional: bool = True) -> None:
    """Checks the plan's setting `name` is a number (above 0 if `positive`) and stores it as a float."""
    value = getattr(plan, name)
    if value is None:
        if optional:
            return
        raise PlanError("must be given", parameter=name)
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise PlanError(f"must be a number, not {type(value).__name__}", parameter=name)
    if not math.isfinite(float(value)):
        raise PlanError(f"must be finite, not {value}", parameter=name)
    if positive and not float(value) > 0:
        raise PlanError(f"must be above 0, not {value}", parameter=name)
    object.__setattr__(plan, name, float(value))


def _points(plan: Plan, name: str) -> None:
    """Checks the plan's setting `name` is a sequence of at least two finite positions (m) and
    stores it as a tuple of floats."""
    value = getattr(plan, name)
    try:
        points = tuple(float(x) for x in value)
    except (TypeError, ValueError):
        raise PlanError(f"must be a sequence of numbers, not {value!r}", parameter=name) from None
    if len(points) < 2:
        raise PlanError(f"needs at least two points, not {len(points)}", parameter=name)
    if not all(math.isfinite(x) for x in points):
        raise PlanError("must be finite", parameter=name)
    object.__setattr__(plan, name, points)


def _count(plan: Plan, name: str, *, optional: bool = True) -> None:
    """Checks the plan's setting `name` is a whole number of at least 1 and stores it as an int."""
    value = getattr(plan, name)
    if value is None:
        if optional:
            return
        raise PlanError("must be given", parameter=name)
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise PlanError(f"must be a whole number, not {value!r}", parameter=name)
    if value < 1:
        raise PlanError(f"must be at least 1, not {value}", parameter=name)
    object.__setattr__(plan, name, int(value))


def _one_of(plan: object, a: str, b: str) -> None:
    given = [name for name in (a, b) if getattr(plan, name) is not None]
    if len(given) != 1:
        raise PlanError(f"give exactly one of {a} and {b}", parameter=a)


def _linear(plan: Plan, bed: BedSettings) -> None:
    if bed.circular:
        raise PlanError(f"{type(plan).__name__} stacks linear beds; use Chevcon on a circular bed")


def _along(name: str, value: float | None, default: float, bed: BedSettings) -> float:
    x = default if value is None else float(value)
    if not 0.0 <= x <= bed.length:
        raise PlanError(f"{x} m lies off the bed, which runs from 0 to {bed.length} m along x", parameter=name)
    return x


def _across(name: str, value: float | None, bed: BedSettings) -> float:
    z = 0.5 * bed.width if value is None else float(value)
    if not 0.0 <= z <= bed.width:
        raise PlanError(f"{z} m lies off the bed, which runs from 0 to {bed.width} m across", parameter=name)
    return z


#: Radii of an end cone by which the heap's full section begins inside its reversal point (the
#: module's documentation: pi / 6 by the mass balance; the model's crest rounds off further in).
_FULL_SECTION = 1.0


def _heap_volume(length: np.ndarray | float, h: np.ndarray | float, tan: float) -> np.ndarray | float:
    """Volume (m³) of the heap of crest height h (m) that material dropped evenly along `length`
    (m) forms: max(length, pi r / 3) h² / tan for a cone radius r = h / tan (a ridge with half
    cones; a cone where the length is short)."""
    return np.maximum(length, math.pi * h / (3.0 * tan)) * h * h / tan


# A pure function of plain values, asked twice a run (the plan's motion and its end cones) and
# once more by every run of a population on the same record and bed: kept for the last few.
@functools.lru_cache(maxsize=256)
def _open_ends(
    volume: float, bed: BedSettings, low: float | None, high: float | None, names: tuple[str, str]
) -> tuple[float, float]:
    """The outermost drop positions (m along x) of a heap of `volume` m³ with open ends: those
    given (`low`, `high`, checked to lie on the bed) kept, the others a cone radius from the
    bed's ends (the module's documentation)."""
    a = None if low is None else _along(names[0], low, 0.0, bed)
    b = None if high is None else _along(names[1], high, bed.length, bed)
    if a is not None and b is not None:
        return a, b
    tan = math.tan(math.radians(bed.repose_angle))
    length = float(bed.length)
    h_max = 0.5 * float(bed.width) * tan

    def span(h: np.ndarray) -> np.ndarray:
        lo = h / tan if a is None else np.full_like(h, a)
        hi = length - h / tan if b is None else np.full_like(h, b)
        return np.abs(hi - lo)

    def fits(h: np.ndarray) -> np.ndarray:
        return np.asarray(_heap_volume(span(h), h, tan) >= volume)

    grid = np.linspace(0.0, h_max, 4097)[1:]
    ok = np.flatnonzero(fits(grid))
    if not ok.size:
        given = (a is not None) or (b is not None)
        needed = volume * tan / (h_max * h_max) + 2.0 * h_max / tan
        raise PlanError(
            f"the record's {volume:.6g} m³ need a bed of at least {needed:.1f} m to form open ends "
            f"(a roof across the {bed.width:g} m width at {bed.repose_angle:g}°, with its end cones)"
            + (" and more with the reversal point given" if given else "")
            + "; give a longer bed, or start= and end= to stack against the bed's ends",
            parameter=names[1] if b is None else names[0],
        )
    hi_h = float(grid[ok[0]])
    lo_h = float(grid[ok[0] - 1]) if ok[0] > 0 else 0.0
    for _ in range(60):  # bisection to the crest that holds the volume exactly
        mid = 0.5 * (lo_h + hi_h)
        if bool(fits(np.array([mid]))[0]):
            hi_h = mid
        else:
            lo_h = mid
    room = hi_h / tan
    return (room if a is None else a), (length - room if b is None else b)


def _crest(volume: float, lo: float, hi: float, bed: BedSettings) -> float:
    """Crest height (m) of a heap of `volume` m³ dropped evenly between lo and hi (m along x), as
    the module's documentation gives it, up to a roof across the width; beyond that the grid's
    side edges hold the heap, which rises by the excess volume over the area."""
    tan = math.tan(math.radians(bed.repose_angle))
    h_max = 0.5 * float(bed.width) * tan
    span = max(hi - lo, 0.0)
    full = float(_heap_volume(span, h_max, tan))
    if volume >= full:
        return h_max + ((volume - full) / (span * float(bed.width)) if span > 0 else 0.0)
    ridge = math.sqrt(volume * tan / span) if span > 0 else math.inf
    if span >= math.pi * ridge / (3.0 * tan):
        return ridge
    return (3.0 * volume * tan * tan / math.pi) ** (1.0 / 3.0)


def _reversals(plan: Plan, record: Record, bed: BedSettings) -> tuple[float, float]:
    a, b = _open_ends(record.total_volume, bed, plan.start, plan.end, ("start", "end"))  # type: ignore[attr-defined]
    if a == b:
        raise PlanError(f"the reversal points coincide at {a} m", parameter="end")
    return a, b


_TRAVELS = ("feed", "time")


def _check_travel(plan: Plan) -> None:
    travel = getattr(plan, "travel")
    if travel not in _TRAVELS:
        raise PlanError(f"must be 'feed' (the stacker stands while the feed stops) or 'time', not {travel!r}",
                        parameter="travel")


class _Clock(NamedTuple):
    """The stacker's own clock for a plan tied to its feed: hours of stacking (rows of positive
    volume) by each time of the record. None stands for the record's time itself."""

    bounds: np.ndarray  # interval bounds, h
    running: np.ndarray  # stacking hours by each bound

    @classmethod
    def of(cls, plan: object, record: Record) -> _Clock | None:
        """The clock of a plan's `travel` (None for travel by time, or a record without stops)."""
        if getattr(plan, "travel", "time") != "feed":
            return None
        frame = record.frame
        fed = frame["volume"].to_numpy() > 0.0
        if bool(fed.all()) or not bool(fed.any()):
            return None
        bounds = np.append(frame["time"].to_numpy(), record.duration)
        running = np.append(0.0, np.cumsum(np.where(fed, frame["duration"].to_numpy(), 0.0)))
        return cls(bounds, running)

    @property
    def hours(self) -> float:
        return float(self.running[-1])

    def __call__(self, t: np.ndarray) -> np.ndarray:
        return np.interp(t, self.bounds, self.running)


def _stacking_hours(plan: object, record: Record) -> float:
    """Hours over which the plan spreads its motion: the stacking hours for travel tied to the
    feed, else the record's duration."""
    clock = _Clock.of(plan, record)
    return record.duration if clock is None else clock.hours


class _Fed(NamedTuple):
    """A motion run on the stacker's clock: it stands while the feed is stopped."""

    motion: _Motion
    clock: _Clock

    def position(self, t: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        return self.motion.position(self.clock(t))

    def distance(self, t: np.ndarray) -> np.ndarray:
        return self.motion.distance(self.clock(t))


def _fed(plan: Plan, record: Record, motion: _Motion) -> _Motion:
    clock = _Clock.of(plan, record)
    return motion if clock is None else _Fed(motion, clock)


def _triangle(u: np.ndarray, total: float) -> tuple[np.ndarray, np.ndarray]:
    """For u passes travelled (of `total`): the pass index and the fraction of the way from the
    first pass's start, back and forth."""
    k = np.floor(u)
    k = np.minimum(k, max(math.ceil(total) - 1, 0))
    f = u - k
    index = k.astype(np.int64)
    odd = (index & 1) == 1  # k is a whole number: its parity (float remainders cost far more)
    return index, np.where(odd, 1.0 - f, f)


def _swing(u: np.ndarray) -> np.ndarray:
    """A triangle wave of period 1 from 0 (at u = 0) to 1 (at u = 1/2) and back."""
    return 1.0 - np.abs(1.0 - 2.0 * (u - np.floor(u)))


class _Travel(NamedTuple):
    """Back-and-forth travel along x between reversal points a (first pass's start) and b."""

    a: float
    b: float
    speed: float  # m/h
    passes: float

    @classmethod
    def of(cls, plan: Plan, record: Record, bed: BedSettings, passes: float | None, *,
           check: bool = True) -> _Travel:
        """The travel of a plan given by a pass count, or by its speed (`passes` None): a speed
        that makes less than one full pass is refused (unless not `check`: the plan checks its
        own least)."""
        a, b = _reversals(plan, record, bed)
        length = abs(b - a)
        hours = _stacking_hours(plan, record)
        if passes is not None:
            speed = passes * length / hours
        else:
            speed = float(plan.speed) * 60.0  # type: ignore[attr-defined]
            passes = speed * hours / length
            if check and passes < 1.0 - 1e-9:
                raise PlanError(
                    f"at {plan.speed:.4g} m/min the stacker travels {passes:.3g} of one {length:.4g} m pass "  # type: ignore[attr-defined]
                    f"in the {hours:.4g} h of stacking; one full pass takes at least "
                    f"{length / (60.0 * hours):.4g} m/min", parameter="speed")
        return cls(a, b, speed, passes)

    def at(self, t: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """(pass index, x) at times t."""
        k, f = _triangle(self.speed * t / abs(self.b - self.a), self.passes)
        return k, self.a + (self.b - self.a) * f


# -- plans ----------------------------------------------------------------------------------------


@dataclass(frozen=True, kw_only=True, repr=False)
class Plan:
    """Base of the stacking plans; see the module's documentation for the methods' conventions."""

    def _motion(self, record: Record, bed: BedSettings) -> _Motion:
        raise NotImplementedError

    def _reach(self, record: Record, bed: BedSettings) -> tuple[float, float]:
        """The x range (m) between the outermost positions the stacker drops material at."""
        raise NotImplementedError

    def _passes(self, record: Record, bed: BedSettings) -> float:
        raise NotImplementedError

    def passes(self, record: Record, bed: BedSettings | Bed) -> float:
        """One-way passes along the bed the plan lays with the record (fractional when the record
        ends part-way through a pass)."""
        return self._passes(record, _settings(bed))

    def _travelled(self, record: Record, bed: BedSettings) -> float:
        """Distance (m) the stacker travels along the bed (the reclaim axis) over the record."""
        raise NotImplementedError

    def travel_speed(self, record: Record, bed: BedSettings | Bed) -> float:
        """The stacker's mean speed along the bed while it stacks, m/min: the distance travelled
        along the bed (the reclaim axis; across-bed moves such as a strata swing not counted)
        over the hours of stacking (for travel by time, the record's duration)."""
        bed = _settings(bed)
        return self._travelled(record, bed) / (60.0 * _stacking_hours(self, record))

    def stacker_position(
        self, times: np.ndarray | float, record: Record, bed: BedSettings | Bed
    ) -> tuple[np.ndarray, np.ndarray]:
        """The stacker's drop position (x, z) in m at `times` (h from the record's start, within
        [0, record.duration])."""
        bed = _settings(bed)
        t = np.atleast_1d(np.asarray(times, dtype=float))
        if t.size and not (np.all(t >= 0.0) and np.all(t <= record.duration)):
            raise ValueError(f"times must lie within the record's 0 to {record.duration} h")
        x, z = self._motion(record, bed).position(t)
        return _on_bed(x, z, bed)

    def portions(self, record: Record, bed: BedSettings | Bed, *, spacing: float | None = None) -> pd.DataFrame:
        """The record cut into portions along the stacker's path.

        Each record interval's volume is split into pieces about `spacing` m apart along the path
        the stacker travels during it (default: the bed's cell size), each at the stacker's
        position at the middle of its share of the interval's time.

        Returns
        -------
        pandas.DataFrame
            Columns "time" (h from the record's start: the piece's time), "x", "z" (m), "volume"
            (m³), then the record's parameters; rows in time order. The volumes add up to the
            record's.
        """
        cut = self._cut(record, _settings(bed), spacing)
        parameters = list(record.parameters)
        names = ["time", "x", "z", "volume", *parameters]
        if all(v.dtype == np.float64 for v in cut.values):
            # One block of float64, filled in place and taken over without a copy.
            table = np.empty((len(names), cut.total))
            cut.fill(0, len(cut.counts), table)
            return pd.DataFrame(table.T, columns=names, copy=False)
        time, x, z, volume = np.empty((4, cut.total))
        cut.fill(0, len(cut.counts), (time, x, z, volume))
        columns = dict(zip(names, (time, x, z, volume, *cut.repeated(0, len(cut.counts), cut.values))))
        return pd.DataFrame(columns)

    def _cut(self, record: Record, bed: BedSettings, spacing: float | None = None) -> _Cut:
        """The record cut into pieces for `portions`, to be produced row range by row range."""
        spacing = bed.cell_size if spacing is None else float(spacing)
        if not (math.isfinite(spacing) and spacing > 0):
            raise ValueError(f"spacing must be a finite length above 0 m, not {spacing}")
        motion = self._motion(record, bed)
        frame = record.frame
        start = frame["time"].to_numpy()
        duration = frame["duration"].to_numpy()
        path = motion.distance(start + duration) - motion.distance(start)
        count = np.maximum(np.ceil(path / spacing - 1e-9), 1.0)
        total = float(count.sum())
        if total > MAX_PIECES:
            raise ValueError(f"spacing {spacing} m cuts the record into {total:.3g} pieces; choose a larger one")
        values = tuple(frame[name].to_numpy() for name in record.parameters)
        return _Cut(motion, bed, start, duration, frame["volume"].to_numpy(), values, count.astype(np.int64),
                    int(total))

    def end_cones(self, record: Record, bed: BedSettings | Bed) -> tuple[tuple[float, float], ...]:
        """Closed ranges (start, end) along the reclaim axis (m) whose reclaimed slices hold
        end-cone material; () for circular beds, which have no ends.

        The physical cones: near its outermost drop positions x_lo and x_hi (the reversal
        points, or the first and last cone) the heap is not at full section but falls in half
        cones at the angle of repose, short of the full section up to d = r inside x_lo and x_hi
        (r = h / tan(repose_angle); the module's documentation). The crest h is that of material
        dropped evenly between x_lo and x_hi (more where the record overfills a roof across the
        width, the grid's side edges then holding the heap). A slice at s is reclaimed through a
        face reaching from (s, 0) to (s + o, h), o = h / tan(reclaim_angle); it holds cone
        material when its face meets the heap before x_lo + d or beyond x_hi - d. The ranges are
        therefore [0, x_lo + d] and [x_hi - d - o, reclaim_length] (the second takes in the
        face's wedge over the far cone), each left out when empty, merged when they meet. Where
        a cone's toe would lie beyond the bed's end, the heap stands against the grid's edge at
        full section instead (d = 0 there); at the first edge the first slice takes in the whole
        wedge of heap between the edge and its face, so it always counts.
        """
        bed = _settings(bed)
        if bed.circular:
            return ()
        lo, hi = sorted(self._reach(record, bed))
        height = _crest(record.total_volume, lo, hi, bed)
        angle = float(bed.reclaim_angle)
        offset = 0.0 if abs(90.0 - angle) < 0.01 else height / math.tan(math.radians(angle))
        end = float(bed.reclaim_length)
        radius = height / math.tan(math.radians(bed.repose_angle))
        apex = _FULL_SECTION * radius
        toe = (1.0 - math.pi / 6.0) * radius * (1 - 1e-9)
        first = min(end, lo + (apex if lo >= toe else 0.0))
        last = max(0.0, hi - (apex if float(bed.length) - hi >= toe else 0.0) - offset)
        # A face leaning forward books the wedge of heap in front of it at the grid's first edge
        # into the first slice: that slice holds end-cone material wherever the stacker turned.
        cell = float(bed.cell_size)
        if offset > 0.0:
            first = max(first, min(end, cell))
        ranges = []
        if first > 0.0:
            ranges.append((0.0, first))
        if last < end:
            ranges.append((last, end))
        if len(ranges) == 2 and ranges[1][0] <= ranges[0][1]:
            ranges = [(0.0, end)]
        return tuple(ranges)

    def __repr__(self) -> str:
        shown = []
        for field in fields(self):
            value = getattr(self, field.name)
            if value != field.default:
                shown.append(f"{field.name}={value!r}")
        return f"{type(self).__name__}({', '.join(shown)})"


def _on_bed(
    x: np.ndarray, z: np.ndarray, bed: BedSettings, *, out: tuple[np.ndarray, np.ndarray] | None = None
) -> tuple[np.ndarray, np.ndarray]:
    # Positions are computed on the bed; this only removes rounding beyond its edges.
    if out is None:
        return np.clip(x, 0.0, bed.length), np.clip(z, 0.0, bed.width)
    return np.clip(x, 0.0, bed.length, out=out[0]), np.clip(z, 0.0, bed.width, out=out[1])


#: Pieces in a block of `_Cut.blocks`: a few thousand, so that a block's columns (32 KiB each) come
#: from memory the allocator keeps, rather than from fresh pages, while NumPy's cost per call stays
#: small against the work.
BLOCK_PIECES = 4096


class _TravellingPlan(Plan):
    """A plan whose stacker travels to and fro between two reversal points (`start`, `end`)."""

    def _travel(self, record: Record, bed: BedSettings) -> _Travel:
        raise NotImplementedError

    def _reach(self, record: Record, bed: BedSettings) -> tuple[float, float]:
        return _reversals(self, record, bed)

    def _passes(self, record: Record, bed: BedSettings) -> float:
        return self._travel(record, bed).passes

    def _travelled(self, record: Record, bed: BedSettings) -> float:
        travel = self._travel(record, bed)
        return travel.passes * abs(travel.b - travel.a)


class _Cut(NamedTuple):
    """A record cut into pieces along a plan's path (see `Plan.portions`), produced for any range
    of record rows. Every step is element-wise, so the pieces of rows lo..hi are the same numbers,
    bit for bit, whether produced alone or with all the others."""

    motion: _Motion
    bed: BedSettings
    start: np.ndarray  # per record row: h from the record's start
    duration: np.ndarray  # h
    volume: np.ndarray  # m³
    values: tuple[np.ndarray, ...]  # one column per quality parameter
    counts: np.ndarray  # pieces per record row (int64, at least 1)
    total: int  # pieces in all

    def blocks(self, pieces: int | None = None) -> list[tuple[int, int]]:
        """Consecutive ranges (lo, hi) of record rows, about `pieces` pieces each (default
        `BLOCK_PIECES`; a row with more pieces makes a block of its own), covering every row."""
        pieces = BLOCK_PIECES if pieces is None else pieces
        rows = len(self.counts)
        if self.total <= pieces:
            return [(0, rows)] if rows else []
        ends = np.cumsum(self.counts)
        bounds = np.unique(np.searchsorted(ends, np.arange(pieces, self.total, pieces), side="right"))
        bounds = bounds[(bounds > 0) & (bounds < rows)].tolist()
        edges = [0, *bounds, rows]
        return list(zip(edges[:-1], edges[1:]))

    def repeated(self, lo: int, hi: int, columns: tuple[np.ndarray, ...]) -> list[np.ndarray]:
        """Per-row columns (rows lo..hi) repeated for each of the rows' pieces."""
        n = self.counts[lo:hi]
        return [np.repeat(column[lo:hi], n) for column in columns]

    def fill(self, lo: int, hi: int, out: np.ndarray | tuple[np.ndarray, ...]) -> None:
        """Writes the pieces of record rows lo..hi into the rows of `out`: time (h), x, z (m),
        volume (m³), then (if `out` has room for them) the parameters' values, as float64.

        Piece j of the n_i pieces of row i lies at the time t_i + (j + 0.5) / n_i d_i and holds
        v_i / n_i of the row's volume (the module's documentation).
        """
        n = self.counts[lo:hi]
        per = np.repeat(n, n)
        j = np.arange(len(per))
        j -= np.repeat(np.cumsum(n) - n, n)
        time, x, z, volume = out[0], out[1], out[2], out[3]
        np.add(j, 0.5, out=time)
        time /= per
        time *= np.repeat(self.duration[lo:hi], n)
        time += np.repeat(self.start[lo:hi], n)  # t_i + ((j + 0.5) / n_i) d_i, as one expression gives it
        _on_bed(*self.motion.position(time), self.bed, out=(x, z))
        np.divide(np.repeat(self.volume[lo:hi], n), per, out=volume)
        for k in range(4, len(out)):
            out[k][...] = np.repeat(self.values[k - 4][lo:hi], n)


@dataclass(frozen=True, kw_only=True, repr=False)
class Chevron(_TravellingPlan):
    """Chevron stacking on a linear bed: the stacker runs back and forth along one lane at a
    constant speed; each one-way pass lays one roof-shaped layer.

    Parameters
    ----------
    layers : int or None
        One-way passes (layers) over the hours of stacking (the record's duration for
        ``travel="time"``); the speed follows.
    speed : float or None
        Travel speed in m/min while stacking; the layer count follows (n = v T / L for a pass
        length L and T hours of stacking). Give exactly one of `layers` and `speed`.
    start, end : float or None
        Reversal points along x in m; the first pass runs from `start` to `end`. Defaults: open
        ends, leaving room for the end cones on the bed (the module's documentation); 0 and the
        bed's length stack against the grid's edges.
    lane : float or None
        The stacker's z in m; default: the bed's centre line.
    travel : str
        "feed" (default): the stacker stands while the feed stops, so `layers` counts passes of
        material; "time": it travels through stops too.
    """

    layers: int | None = None
    speed: float | None = None
    start: float | None = None
    end: float | None = None
    lane: float | None = None
    travel: str = "feed"

    def __post_init__(self) -> None:
        _one_of(self, "layers", "speed")
        _count(self, "layers")
        _number(self, "speed", positive=True)
        for name in ("start", "end", "lane"):
            _number(self, name)
        _check_travel(self)

    def _travel(self, record: Record, bed: BedSettings) -> _Travel:
        _linear(self, bed)
        return _Travel.of(self, record, bed, None if self.layers is None else float(self.layers))

    def _motion(self, record: Record, bed: BedSettings) -> _Motion:
        travel = self._travel(record, bed)
        lane = _across("lane", self.lane, bed)
        return _fed(self, record, _LaneMotion(travel, lane))


class _LaneMotion(NamedTuple):
    travel: _Travel
    lane: float

    def position(self, t: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        _, x = self.travel.at(t)
        return x, np.full_like(x, self.lane)

    def distance(self, t: np.ndarray) -> np.ndarray:
        return self.travel.speed * t


@dataclass(frozen=True, kw_only=True, repr=False)
class Windrow(_TravellingPlan):
    """Windrow stacking on a linear bed: rows along the bed side by side across the width, each
    row one pass; the next layer lays its rows in the valleys between the rows below.

    Parameters
    ----------
    rows : int
        Rows in a full layer.
    layers : int or None
        Layers over the hours of stacking (the record's duration for ``travel="time"``); the
        speed follows. Give exactly one of `layers` and `speed`.
    speed : float or None
        Travel speed in m/min while stacking; the passes follow from the hours of stacking.
    spacing : float or None
        Distance between neighbouring rows' centre lines in m; default: width / rows. The rows
        are centred on the bed's centre line: row j (0 nearest z = 0) lies at
        width / 2 + (j - (rows - 1) / 2) * spacing.
    valleys : bool
        Lay every second layer (layers 1, 3, ...) as rows - 1 rows in the valleys, half a spacing
        beyond rows 0 .. rows - 2. With False every layer repeats the full rows.
    order : tuple of int or None
        The order in which a layer's rows are laid, as row indices; valley layers lay their rows
        (valley j between rows j and j + 1) in the same order, leaving out row rows - 1. Default:
        across the bed and back, rows 0, 1, ... in even layers and the reverse in odd ones.
    start, end : float or None
        Reversal points along x in m (default: open ends, as for `Chevron`); pass 0 runs from
        `start` to `end`, and every row is one pass, so the stacker moves to the next row at a
        reversal point.
    travel : str
        "feed" (default) or "time", as for `Chevron`.

    `passes` counts the one-way passes, that is the rows laid. A speed too low to lay the rows
    of one layer in the record's stacking hours is refused, naming the lowest speed that does.
    """

    rows: int
    layers: int | None = None
    speed: float | None = None
    spacing: float | None = None
    valleys: bool = True
    order: tuple[int, ...] | None = None
    start: float | None = None
    end: float | None = None
    travel: str = "feed"

    def __post_init__(self) -> None:
        _count(self, "rows", optional=False)
        _one_of(self, "layers", "speed")
        _count(self, "layers")
        _number(self, "speed", positive=True)
        _number(self, "spacing", positive=True)
        for name in ("start", "end"):
            _number(self, name)
        _check_travel(self)
        if not isinstance(self.valleys, (bool, np.bool_)):
            raise PlanError("must be True or False", parameter="valleys")
        if self.order is not None:
            order = tuple(self.order)
            if sorted(int(i) for i in order) != list(range(self.rows)) or not all(
                isinstance(i, (int, np.integer)) and not isinstance(i, bool) for i in order
            ):
                raise PlanError(f"must list each of the rows 0 to {self.rows - 1} once, not {order}", parameter="order")
            object.__setattr__(self, "order", tuple(int(i) for i in order))

    def row_positions(self, bed: BedSettings | Bed) -> tuple[np.ndarray, np.ndarray]:
        """z in m of the rows of a full layer and of the valley rows between them."""
        bed = _settings(bed)
        spacing = bed.width / self.rows if self.spacing is None else float(self.spacing)
        full = 0.5 * bed.width + (np.arange(self.rows) - 0.5 * (self.rows - 1)) * spacing
        if full[0] < -1e-9 * bed.width or full[-1] > bed.width * (1 + 1e-9):
            raise PlanError(
                f"{self.rows} rows {spacing} m apart span {full[-1] - full[0]} m, more than the bed's width",
                parameter="spacing",
            )
        return np.clip(full, 0.0, bed.width), full[:-1] + 0.5 * spacing

    def _cycle(self, bed: BedSettings) -> tuple[np.ndarray, int]:
        """z of the passes of two consecutive layers, and the passes of the first of them."""
        full, valley = self.row_positions(bed)
        rows = self.rows
        first = list(range(rows)) if self.order is None else list(self.order)
        if self.order is None:
            second = list(range(rows - 1 if self.valleys else rows))[::-1]
        else:
            second = [i for i in first if i < rows - 1] if self.valleys else first
        if self.valleys and rows > 1:
            z = np.concatenate([full[first], valley[second]])
        else:
            second = list(reversed(first)) if self.order is None else first
            z = np.concatenate([full[first], full[second]])
        return z, len(first)

    def _pass_count(self, bed: BedSettings) -> float | None:
        if self.layers is None:
            return None
        cycle, first = self._cycle(bed)
        return float((self.layers // 2) * len(cycle) + (self.layers % 2) * first)

    def _travel(self, record: Record, bed: BedSettings) -> _Travel:
        _linear(self, bed)
        travel = _Travel.of(self, record, bed, self._pass_count(bed), check=False)
        if travel.passes < self.rows * (1 - 1e-9):
            slowest = self.rows * abs(travel.b - travel.a) / (60.0 * _stacking_hours(self, record))
            raise PlanError(
                f"at {travel.speed / 60.0:.4g} m/min the stacker lays {travel.passes:.3g} of the {self.rows} "
                f"rows of a layer; laying them takes at least {slowest:.4g} m/min",
                parameter="speed",
            )
        return travel

    def _motion(self, record: Record, bed: BedSettings) -> _Motion:
        return _fed(self, record, _RowMotion(self._travel(record, bed), self._cycle(bed)[0]))


class _RowMotion(NamedTuple):
    travel: _Travel
    rows: np.ndarray  # z of the passes of a cycle

    def position(self, t: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        k, x = self.travel.at(t)
        return x, self.rows[k % len(self.rows)]

    def distance(self, t: np.ndarray) -> np.ndarray:
        return self.travel.speed * t


class Resonance(NamedTuple):
    """How a strata plan's swing lines up with its passes.

    ratio : float
        Pass time over swing period.
    repeat : int or None
        The first pass k (1 <= k < passes) that drops its material where pass 0 did (the swing's
        phase at every x within `tolerance` periods of pass 0's), or None.
    passes : float
        The plan's passes with the record.
    resonant : bool
        Whether the pattern repeats within `within` passes: the layers then lie on few distinct
        tracks and the reclaimed quality shows the stacking pattern.
    """

    ratio: float
    repeat: int | None
    passes: float
    resonant: bool


@dataclass(frozen=True, kw_only=True, repr=False)
class Strata(_TravellingPlan):
    """Strata (horizontal layer) stacking on a linear bed: the boom swings across the width while
    the stacker travels back and forth along the bed, laying flat layers.

    Parameters
    ----------
    swing_period : float
        Time of one full swing, across and back, in minutes.
    swing_width : float or None
        Width the boom sweeps in m, centred on `lane`; default: the bed's width.
    layers : int or None
        One-way passes over the hours of stacking (the record's duration for
        ``travel="time"``); give exactly one of `layers` and `speed`.
    speed : float or None
        Travel speed along the bed in m/min while stacking.
    start, end : float or None
        Reversal points along x in m (default: open ends, as for `Chevron`).
    lane : float or None
        Centre of the swing across the bed in m; default: the bed's centre line.
    travel : str
        "feed" (default): the stacker and its swing stand while the feed stops; "time": both run
        through stops too.

    The swing starts at its low-z end at time 0 (z = lane - swing_width / 2). A pass lays at
    least one full swing: a speed (or a layer count) that makes a pass shorter than the swing
    period is refused, naming the fastest speed the period allows.

    Warning: when the swing period divides twice the pass time (the ratio pass time / period is
    a whole or half number), every pass drops its material on the same track as the first and
    the layers are not independent: the reclaimed quality shows the pattern. Check a plan with
    `resonance(record, bed)`.
    """

    swing_period: float
    swing_width: float | None = None
    layers: int | None = None
    speed: float | None = None
    start: float | None = None
    end: float | None = None
    lane: float | None = None
    travel: str = "feed"

    def __post_init__(self) -> None:
        _number(self, "swing_period", positive=True, optional=False)
        _number(self, "swing_width", positive=True)
        _one_of(self, "layers", "speed")
        _count(self, "layers")
        _number(self, "speed", positive=True)
        for name in ("start", "end", "lane"):
            _number(self, name)
        _check_travel(self)

    def _swing_range(self, bed: BedSettings) -> tuple[float, float]:
        lane = _across("lane", self.lane, bed)
        width = bed.width if self.swing_width is None else float(self.swing_width)
        low, high = lane - 0.5 * width, lane + 0.5 * width
        tolerance = 1e-9 * bed.width
        if low < -tolerance or high > bed.width + tolerance:
            raise PlanError(
                f"a swing of {width} m around {lane} m reaches beyond the bed's width of {bed.width} m",
                parameter="swing_width",
            )
        return max(low, 0.0), min(high, bed.width)

    def _travel(self, record: Record, bed: BedSettings) -> _Travel:
        _linear(self, bed)
        travel = _Travel.of(self, record, bed, None if self.layers is None else float(self.layers))
        length = abs(travel.b - travel.a)
        period = float(self.swing_period) / 60.0  # h
        if length / travel.speed < period * (1 - 1e-9):
            fastest = length / period / 60.0
            most = math.floor(_stacking_hours(self, record) / period)
            raise PlanError(
                f"at {travel.speed / 60.0:.4g} m/min a {length:.4g} m pass takes "
                f"{60.0 * length / travel.speed:.4g} min, less than one swing of {self.swing_period:g} min; "
                f"this swing allows at most {fastest:.4g} m/min ({most} layers)",
                parameter="speed" if self.speed is not None else "layers",
            )
        return travel

    def _motion(self, record: Record, bed: BedSettings) -> _Motion:
        low, high = self._swing_range(bed)
        return _fed(self, record, _SwingMotion(self._travel(record, bed), low, high, float(self.swing_period) / 60.0))

    def swing_ratio(self, record: Record, bed: BedSettings | Bed) -> float:
        """Pass time over swing period."""
        bed = _settings(bed)
        travel = self._travel(record, bed)
        pass_hours = abs(travel.b - travel.a) / travel.speed
        return pass_hours / (float(self.swing_period) / 60.0)

    def resonance(
        self, record: Record, bed: BedSettings | Bed, *, tolerance: float = 0.05, within: int = 2
    ) -> Resonance:
        """Whether later passes repeat the first pass's track (see `Resonance`).

        Pass k runs in the first pass's direction when k is even and against it when odd; the
        swing's phase where pass k crosses a point x differs from pass 0's by k r (even k) or
        (k + 1) r (odd k) periods for a ratio r, up to the swing's symmetry. A pass repeats pass 0
        when that difference lies within `tolerance` periods of a whole number.
        """
        bed = _settings(bed)
        ratio = self.swing_ratio(record, bed)
        passes = self.passes(record, bed)
        k = np.arange(1, max(math.ceil(passes), 1))
        shift = np.where(k % 2 == 0, k, k + 1) * ratio
        off = np.abs(shift - np.round(shift))
        hits = np.flatnonzero(off <= tolerance)
        repeat = int(k[hits[0]]) if hits.size else None
        return Resonance(ratio, repeat, passes, repeat is not None and repeat <= within)


class _SwingMotion(NamedTuple):
    travel: _Travel
    low: float
    high: float
    period: float  # h

    def position(self, t: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        _, x = self.travel.at(t)
        return x, self.low + (self.high - self.low) * _swing(t / self.period)

    def distance(self, t: np.ndarray) -> np.ndarray:
        # The travel and the swing added: at least the path's length.
        return (self.travel.speed + 2.0 * (self.high - self.low) / self.period) * t


@dataclass(frozen=True, kw_only=True, repr=False)
class ConeShell(Plan):
    """Cone shell stacking on a linear bed: the stacker stays at one point until the cone there is
    complete, then steps forward.

    Parameters
    ----------
    step : float
        Distance between cone positions in m.
    first, last : float or None
        The first cone position, and the limit of the positions, along x in m (default: open
        ends, leaving room for the end cones as the module's documentation says, as if the
        cones formed one ridge); the positions are first, first + step, ... up to `last`
        (towards lower x when last < first).
    lane : float or None
        The stacker's z in m; default: the bed's centre line.
    cone_volume : float or None
        Volume stacked at each position before the stacker steps on, m³; default: the record's
        volume shared equally by all positions, so that the cones fill the bed from `first` to
        `last`. A record that needs more positions than fit is refused.

    The stacker steps at the moment the volume stacked (the record's volume, accumulated at a
    constant rate within each interval) reaches the next multiple of the cone volume. `passes`
    is 1: the stacker moves along the bed once.
    """

    step: float
    first: float | None = None
    last: float | None = None
    lane: float | None = None
    cone_volume: float | None = None

    def __post_init__(self) -> None:
        _number(self, "step", positive=True, optional=False)
        for name in ("first", "last", "lane"):
            _number(self, name)
        _number(self, "cone_volume", positive=True)

    def positions(self, bed: BedSettings | Bed, record: Record | None = None) -> np.ndarray:
        """x in m of the cone positions on the bed; the open ends (defaults of `first` and
        `last`) follow from the `record`'s volume, so without a record both must be given."""
        bed = _settings(bed)
        _linear(self, bed)
        if record is None:
            if self.first is None or self.last is None:
                raise TypeError("positions needs the record when first or last is left to the open ends")
            first = _along("first", self.first, 0.0, bed)
            last = _along("last", self.last, bed.length, bed)
        else:
            first, last = _open_ends(record.total_volume, bed, self.first, self.last, ("first", "last"))
        count = int(math.floor(abs(last - first) / float(self.step) + 1e-9)) + 1
        direction = 1.0 if last >= first else -1.0
        return first + direction * float(self.step) * np.arange(count)

    def _motion(self, record: Record, bed: BedSettings) -> _ConeMotion:
        positions = self.positions(bed, record)
        total = record.total_volume
        if self.cone_volume is None:
            per = total / len(positions)
        else:
            per = float(self.cone_volume)
            needed = math.ceil(total / per - 1e-9)
            if needed > len(positions):
                raise PlanError(
                    f"{total:.6g} m³ in cones of {per:.6g} m³ need {needed} positions; "
                    f"{len(positions)} fit between first and last",
                    parameter="cone_volume",
                )
        frame = record.frame
        times = np.append(frame["time"].to_numpy(), record.duration)
        stacked = np.append(0.0, np.cumsum(frame["volume"].to_numpy()))
        return _ConeMotion(positions, _across("lane", self.lane, bed), per, times, stacked, float(self.step))

    def _reach(self, record: Record, bed: BedSettings) -> tuple[float, float]:
        motion = self._motion(record, bed)
        used = motion.index(np.array([0.0, record.duration]))
        return float(motion.positions[used[0]]), float(motion.positions[used[1]])

    def _passes(self, record: Record, bed: BedSettings) -> float:
        _linear(self, bed)
        return 1.0

    def _travelled(self, record: Record, bed: BedSettings) -> float:
        lo, hi = self._reach(record, bed)
        return abs(hi - lo)

    def travel_speed(self, record: Record, bed: BedSettings | Bed) -> float:
        """The stacker's mean advance along the bed while it stacks, m/min: the distance from the
        first cone to the last over the hours of stacking (the stacker steps with the volume
        stacked, so it stands while the feed stops)."""
        bed = _settings(bed)
        return self._travelled(record, bed) / (60.0 * _stacking_hours(_FEED, record))


class _FeedTravel:
    travel = "feed"


_FEED = _FeedTravel()


class _ConeMotion(NamedTuple):
    positions: np.ndarray
    lane: float
    per: float  # m³ per position
    times: np.ndarray  # interval bounds, h
    stacked: np.ndarray  # volume stacked by each bound, m³
    step: float

    def index(self, t: np.ndarray) -> np.ndarray:  # type: ignore[override]  # not tuple.index
        if not self.per > 0:
            return np.zeros(t.shape, dtype=np.int64)
        volume = np.interp(t, self.times, self.stacked)
        k = np.floor(volume / self.per * (1 - 1e-12))
        return np.clip(k, 0, len(self.positions) - 1).astype(np.int64)

    def position(self, t: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        x = self.positions[self.index(t)]
        return x, np.full_like(x, self.lane)

    def distance(self, t: np.ndarray) -> np.ndarray:
        return self.index(t) * self.step


@dataclass(frozen=True, kw_only=True, repr=False)
class Chevcon(Plan):
    """Continuous chevron stacking on a circular bed: the boom swings back and forth over the
    tail, an arc of the ring, while the tail advances along the ring.

    Positions along the ring are measured on the bed's reclaim axis: s from 0 to the reclaim arc
    (`BedSettings.arc_length`), at the angle theta = pi (1 - 2 s / arc) around the bed's centre
    (`BedSettings.centre`), the way the bed's slices are counted. The reclaimer works from s = 0
    upward, so the stacking front advances that way too and the oldest material is reclaimed
    first.

    Parameters
    ----------
    tail : float
        Length of the tail (the arc the boom swings over) in m along the reclaim axis.
    swing_speed : float or None
        Swing speed in m/min along the reclaim axis (at the default radius, the boom tip's
        speed); give exactly one of `swing_speed` and `swings`.
    swings : int or None
        One-way swings over the hours of stacking (the record's duration for
        ``travel="time"``): the plan's passes.
    advance : float or None
        How far the tail advances per swing, m along the reclaim axis; the front advances
        steadily. Default: so that the tail ends at the arc's end when the record does. A record
        that would carry the tail past the arc's end is refused.
    radius : float or None
        Distance of the drop point from the centre in m; default: a quarter of the bed's shorter
        side, where the ring's circumference equals the reclaim arc.
    start : float
        Where the tail starts, m along the reclaim axis.
    travel : str
        "feed" (default): the swing and the advance stand while the feed stops; "time": they run
        through stops too.

    The ring closes at s = 0: material high on the heap at the start is booked, by the inclined
    reclaim face, to the arc's end. Circular beds have no end cones.
    """

    tail: float
    swing_speed: float | None = None
    swings: int | None = None
    advance: float | None = None
    radius: float | None = None
    start: float = 0.0
    travel: str = "feed"

    def __post_init__(self) -> None:
        _number(self, "tail", positive=True, optional=False)
        _one_of(self, "swing_speed", "swings")
        _number(self, "swing_speed", positive=True)
        _count(self, "swings")
        _number(self, "advance")
        if self.advance is not None and self.advance < 0:
            raise PlanError(f"must not be negative, not {self.advance}", parameter="advance")
        _number(self, "radius", positive=True)
        _number(self, "start", optional=False)
        _check_travel(self)

    def _motion(self, record: Record, bed: BedSettings) -> _Motion:
        return _fed(self, record, self._ring(record, bed))

    def _ring(self, record: Record, bed: BedSettings) -> _RingMotion:
        if not bed.circular:
            raise PlanError("Chevcon stacks circular beds; use Chevron, Windrow, Strata or ConeShell on a linear bed")
        arc = float(bed.arc_length)
        start = float(self.start)
        tail = float(self.tail)
        if not 0.0 <= start < arc:
            raise PlanError(f"{start} m lies off the reclaim arc of {arc} m", parameter="start")
        if start + tail > arc:
            raise PlanError(f"a tail of {tail} m from {start} m runs past the reclaim arc of {arc} m", parameter="tail")
        hours = _stacking_hours(self, record)
        if self.swings is not None:
            swings = float(self.swings)
            swing_hours = hours / swings
        else:
            swing_hours = tail / (float(self.swing_speed) * 60.0)  # type: ignore[arg-type]  # given without swings
            swings = hours / swing_hours
            if swings < 1.0 - 1e-9:
                raise PlanError(
                    f"at {self.swing_speed:.4g} m/min the boom swings {swings:.3g} of one {tail:.4g} m swing in "
                    f"the {hours:.4g} h of stacking; one full swing takes at least "
                    f"{tail / (60.0 * hours):.4g} m/min", parameter="swing_speed")
        room = arc - start - tail
        if self.advance is None:
            advance = room / swings
        else:
            advance = float(self.advance)
            if advance * swings > room * (1 + 1e-9) + 1e-12:
                raise PlanError(
                    f"{swings:.6g} swings advancing {advance} m each carry the tail "
                    f"{advance * swings - room:.6g} m past the arc's end",
                    parameter="advance",
                )
        cx, cz = bed.centre
        radius = 0.25 * min(bed.length, bed.width) if self.radius is None else float(self.radius)
        if cx - radius < 0 or cz - radius < 0 or cx + radius > bed.length or cz + radius > bed.width:
            raise PlanError(
                f"a circle of {radius} m around ({cx}, {cz}) m reaches off the "
                f"{bed.length} x {bed.width} m bed",
                parameter="radius",
            )
        return _RingMotion(arc, start, tail, swings, swing_hours, advance, cx, cz, radius)

    def _passes(self, record: Record, bed: BedSettings) -> float:
        return self._ring(record, bed).swings

    def _travelled(self, record: Record, bed: BedSettings) -> float:
        ring = self._ring(record, bed)
        return ring.swings * ring.tail

    def along(self, times: np.ndarray | float, record: Record, bed: BedSettings | Bed) -> np.ndarray:
        """The stacker's position along the reclaim axis, m, at `times` (h from the record's start)."""
        bed = _settings(bed)
        t = np.atleast_1d(np.asarray(times, dtype=float))
        clock = _Clock.of(self, record)
        return self._ring(record, bed).along(t if clock is None else clock(t))

    def end_cones(self, record: Record, bed: BedSettings | Bed) -> tuple[tuple[float, float], ...]:
        self._ring(record, _settings(bed))
        return ()


class _RingMotion(NamedTuple):
    arc: float
    start: float
    tail: float
    swings: float
    swing_hours: float
    advance: float  # m per swing
    cx: float
    cz: float
    radius: float

    def along(self, t: np.ndarray) -> np.ndarray:
        u = t / self.swing_hours
        _, f = _triangle(u, self.swings)
        return self.start + self.advance * u + self.tail * f

    def position(self, t: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        theta = math.pi * (1.0 - 2.0 * self.along(t) / self.arc)
        return self.cx + self.radius * np.cos(theta), self.cz + self.radius * np.sin(theta)

    def distance(self, t: np.ndarray) -> np.ndarray:
        scale = 2.0 * math.pi * self.radius / self.arc  # m of ring per m of reclaim axis
        return (self.tail + self.advance) / self.swing_hours * scale * t
