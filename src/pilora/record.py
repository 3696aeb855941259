"""Quality records: what arrived on the belt, and when.

A record is a table of intervals. Row i covers the hours [time_i, time_i + duration_i) from the
record's start; its material has a volume (m³), a mass (t) and one value per quality parameter.

Records come from frames (`Record.from_frame`) or files (`read_record`: CSV in any common dialect,
also compressed, Parquet, Excel). Dates are held as hours from the first row; dates with a UTC
offset or a time zone are held in UTC (the zone kept for display), local times resolved through
the zone's clock changes. Headers such as ``CaO [%]`` give the parameter ``CaO`` in ``%``.
"""

from __future__ import annotations

import contextlib
import csv
import functools
import io
import math
import os
import re
import zoneinfo
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from .derived import DerivedError, evaluate, resolve_derived
from .derived import expression_names as expression_names_of

__all__ = ["Record", "RecordError", "read_record"]

#: Column names a record's table uses itself, or that a portions table uses: columns of these names
#: are not taken as parameters by default, and are refused when named as parameters.
RESERVED_NAMES = frozenset({"time", "duration", "volume", "mass", "x", "z"})

#: Column names of a run's reclaimed table (and its two hidden columns): a record column of one of
#: these names is refused, as a parameter of that name would be overwritten in the results.
TABLE_NAMES = frozenset({"time_mean", "time_std", "__stacking_time_h__", "__stacking_time_h_squared__"})

#: Reserved names a record column may only have as the record's time (or amount) column: a column
#: of one of these names besides would be overwritten by the record's own or a run's column.
_SHADOWED = frozenset({"time", "duration", "x", "z"})

MISSING = ("refuse", "interpolate", "drop")

_HOUR = pd.Timedelta(hours=1)
_SHOWN_FAULTS = 20
_UNIT = re.compile(r"^\s*(?P<name>.*?\S)\s*(?:\[(?P<square>[^\[\]]*)\]|\((?P<round>[^()]*)\))\s*$")
_OFFSET = re.compile(r"\d{1,2}:\d{2}(?::\d{2}(?:[.,]\d+)?)?\s*(?:Z|UTC|GMT|[+-]\d{2}:?\d{2})\s*$", re.IGNORECASE)
_COMMA_NUMBER = re.compile(r"^\s*[+-]?\d*,\d+\s*$")
_POINT_NUMBER = re.compile(r"^\s*[+-]?\d*\.\d+\s*$")
_GROUPED_NUMBER = re.compile(r"^\s*[+-]?\d{1,3}(?:\.\d{3})+(?:,\d+)?\s*$")
_SEPARATORS = ",;\t|"
_SEPARATOR_NAMES = {",": "','", ";": "';'", "\t": "tab", "|": "'|'"}
#: Date formats tried when the times are not ISO 8601 and no format is given (day first before
#: month first; a format is only taken when it alone reads every time).
TIME_FORMATS = (
    "%d.%m.%Y %H:%M", "%d.%m.%Y %H:%M:%S", "%d.%m.%y %H:%M", "%d.%m.%Y",
    "%d/%m/%Y %H:%M", "%d/%m/%Y %H:%M:%S", "%m/%d/%Y %H:%M", "%m/%d/%Y %H:%M:%S",
    "%m/%d/%Y %I:%M %p", "%m/%d/%Y %I:%M:%S %p", "%d-%m-%Y %H:%M", "%d-%m-%Y %H:%M:%S",
    "%Y/%m/%d %H:%M", "%Y/%m/%d %H:%M:%S", "%d.%m.%Y %H:%M:%S%z", "%d.%m.%Y %H:%M%z",
)


def _default_amount(columns: list[str]) -> tuple[str | None, str | None]:
    """(mass, volume): the column a record's amounts are read from when none is named, a column
    named "mass" before one named "volume"; (None, None) when there is neither."""
    if "mass" in columns:
        return "mass", None
    if "volume" in columns:
        return None, "volume"
    return None, None


class _FieldError(ValueError):
    """A ValueError whose message names fields of its own (the keyword arguments of its
    ``__init__``, listed in ``_fields``), kept when pickled, so that it arrives whole from a
    worker process."""

    _fields: tuple[str, ...] = ()

    def __init__(self, message: str, text: str) -> None:
        self._message = message
        super().__init__(text)

    def __reduce__(self) -> tuple[Any, ...]:
        keywords = {name: getattr(self, name) for name in self._fields}
        return (functools.partial(type(self), **keywords), (self._message,), self.__dict__)


class RecordError(_FieldError):
    """A record that cannot be used as given.

    `row` is the 0-based position of the offending row in the frame (its place, not its index
    label) or in the file's data (the first line after a CSV's header is row 0); `line` is that
    row's line in the file (1-based; for a workbook, the sheet's row) when read from one; `column`
    is the column's name. Each is None when the fault is not a row's or a column's. When several
    rows are bad, these name the first, the message lists up to 20 and counts all, and `faults`
    holds every one as (row, line, column, message).
    """

    _fields = ("row", "column", "line")

    def __init__(self, message: str, *, row: int | None = None, column: str | None = None,
                 line: int | None = None) -> None:
        self.row = row
        self.column = column
        self.line = line
        self.faults: list[tuple[int | None, int | None, str | None, str]] = []
        where = []
        if row is not None:
            where.append(f"row {row}")
        if column is not None:
            where.append(f"column {column!r}")
        super().__init__(message, f"{', '.join(where)}: {message}" if where else message)


def _split_unit(header: str) -> tuple[str, str | None]:
    """("CaO", "%") from "CaO [%]" or "CaO (%)"; (header, None) without a unit."""
    match = _UNIT.match(header)
    if not match:
        return header, None
    unit = match.group("square") if match.group("square") is not None else match.group("round")
    return match.group("name"), unit.strip()


@dataclass
class _Columns:
    """A table's headers: names with any unit suffix taken off, and the units."""

    names: list[str]  # in column order
    originals: dict[str, str]  # name -> header as given
    units: dict[str, str]  # name -> unit

    @classmethod
    def of(cls, headers: list[str]) -> _Columns:
        split = [_split_unit(h) for h in headers]
        counts: dict[str, int] = {}
        for name, _ in split:
            counts[name] = counts.get(name, 0) + 1
        names, originals, units = [], {}, {}
        for header, (name, unit) in zip(headers, split):
            if unit is None or counts[name] > 1 or (name != header and name in headers):
                name, unit = header, None  # no unit, or stripping it would make two columns one
            names.append(name)
            originals[name] = header
            if unit:
                units[name] = unit
        return cls(names, originals, units)

    def find(self, given: str) -> str | None:
        """The column's name for a name or an original header; None for neither."""
        if given in self.originals:
            return given
        for name, header in self.originals.items():
            if header == given:
                return name
        stripped = given.strip()
        return stripped if stripped in self.originals else None


@dataclass
class _Table:
    """A table read from a file, with where each data row came from and what was detected."""

    frame: pd.DataFrame
    notes: tuple[str, ...] = ()
    lines: np.ndarray | None = None  # 1-based line (or sheet row) of each data row
    line_word: str = "line"


class _Faults:
    """Bad rows and columns, gathered so that one message names them all."""

    def __init__(self, order: dict[str, int], positions: np.ndarray, table: _Table | None) -> None:
        self.order = order
        self.positions = positions  # original data row of each row of the (possibly reduced) frame
        self.table = table
        # row, column order, column, kind (short), message (with the row's text), accepted
        self.items: list[tuple[int, int, str, str, str, str]] = []

    def add(self, mask: np.ndarray, column: str, what: str | Callable[[int], str], accepted: str,
            kind: str | None = None) -> None:
        for row in np.flatnonzero(mask):
            text = what(int(row)) if callable(what) else what
            self.items.append((int(self.positions[row]), self.order.get(column, -1), column,
                               kind or text, text, accepted))

    def line(self, row: int) -> int | None:
        if self.table is None or self.table.lines is None or row >= len(self.table.lines):
            return None
        return int(self.table.lines[row])

    def where(self, row: int) -> str:
        line = self.line(row)
        return f" ({self.table.line_word} {line})" if line is not None and self.table is not None else ""

    def __bool__(self) -> bool:
        return bool(self.items)

    def error(self) -> RecordError:
        """One error naming the first fault in full, then up to 19 more (grouped by column and
        kind), and the count of all."""
        items = sorted(self.items)
        row, _, column, _, what, accepted = items[0]
        parts = [f"{what}{self.where(row)}; {accepted}"]
        said = {accepted}
        shown = items[1:_SHOWN_FAULTS]
        groups: dict[tuple[str, str], list[int]] = {}
        for r, _, c, k, _, a in shown:
            groups.setdefault((c, k), []).append(r)
            if a not in said:
                said.add(a)
                groups[(c, k)].append(-1)  # marks where the accepted text goes
        listed = []
        accepted_of = {(c, k): a for _, _, c, k, _, a in shown}
        for (c, k), rows in groups.items():
            entry = (f"column {c!r}, {k}: {'row' if len([r for r in rows if r >= 0]) == 1 else 'rows'} "
                     + ", ".join(f"{r}{self.where(r)}" for r in rows if r >= 0))
            if -1 in rows:
                entry += f" ({accepted_of[(c, k)]})"
            listed.append(entry)
        if listed:
            parts.append(f"also {'; '.join(listed)}")
        if len(items) > 1:
            rest = len(items) - 1 - len(shown)
            parts.append(f"{f'and {rest} more; ' if rest else ''}{len(items)} faults in all")
        error = RecordError(" | ".join(parts), row=row, column=column, line=self.line(row))
        error.faults = [(r, self.line(r), c, w) for r, _, c, _, w, _ in items]
        return error


@dataclass(frozen=True, eq=False)
class Record:
    """A quality record: consecutive intervals of material with their quality.

    Attributes
    ----------
    frame : pandas.DataFrame
        One row per interval, a default RangeIndex, and the float columns "time" (hours from the
        record's start, strictly ascending, 0 in the first row), "duration" (hours), "volume" (m³),
        "mass" (t; NaN throughout when the record has no bulk density), then one column per
        quality parameter.
    parameters : tuple of str
        The quality parameters, in column order.
    bulk_density : float or None
        Bulk density in t/m³, or None when the record was given by volume without one.
    start : pandas.Timestamp or None
        The first row's time for records timed by dates (in UTC, tz-aware, when the dates had a
        UTC offset or a time zone; naive for plain dates); None for records timed in hours.
    origin : float
        For records timed in hours: the first row's time as given (h); 0 for dates.
    units : dict of str to str
        Unit of each parameter that had one in its header (``CaO [%]`` gives ``{"CaO": "%"}``).
    timezone : str or None
        IANA name of the zone the record's local times were given in (or shown in: "UTC" for
        times given with UTC offsets); None for plain dates and hours.
    notes : tuple of str
        What reading the record found out or did on its own (separator, decimal comma, encoding,
        time format, clock changes, units, missing values filled or dropped); not compared.
    derived : dict of str to str
        Derived qualities, name -> formula over the parameters (presets resolved); see `derive`.

    Build one with `Record.from_frame` or `read_record`; both check every row.
    """

    frame: pd.DataFrame
    parameters: tuple[str, ...]
    bulk_density: float | None = None
    start: pd.Timestamp | None = None
    origin: float = 0.0
    units: dict[str, str] = field(default_factory=dict)
    timezone: str | None = None
    notes: tuple[str, ...] = ()
    derived: dict[str, str] = field(default_factory=dict)

    def __post_init__(self) -> None:
        needed = ["time", "duration", "volume", "mass", *self.parameters]
        if list(self.frame.columns) != needed:
            raise ValueError(f"a record's frame has the columns {needed}, not {list(self.frame.columns)}")

    # -- construction ---------------------------------------------------------------------------

    @classmethod
    def from_frame(
        cls,
        frame: pd.DataFrame,
        *,
        time: str = "time",
        mass: str | None = None,
        volume: str | None = None,
        bulk_density: float | None = None,
        parameters: Sequence[str] | None = None,
        last_duration: float | None = None,
        time_format: str | None = None,
        timezone: str | None = None,
        missing: str = "refuse",
        derived: Mapping[str, str | None] | Iterable[str] | None = None,
    ) -> Record:
        """A record from a table of intervals, every row checked.

        Parameters
        ----------
        frame : pandas.DataFrame
            One row per interval, in time order. A header with a unit in brackets or parentheses
            (``CaO [%]``, ``H2O (%)``) names the column ``CaO`` with the unit ``%``; either form
            may be given wherever a column is named.
        time : str
            Column (or, when no column has the name, the named index) of the intervals' start
            times: numbers (hours), time spans (timedeltas) or dates (datetimes, or text read with
            `time_format`; without one, ISO 8601, else the one format of `TIME_FORMATS` that reads
            every row). Dates become hours from the first row, whose date is kept as `start`;
            numbers and spans become hours from the first row, whose time is kept as `origin` (h).
            Dates with a UTC offset (``2026-10-25 02:00+01:00``) are instants: held in UTC.
        mass, volume : str or None
            Give one: the column of each interval's mass (t; needs `bulk_density`, volume =
            mass / bulk_density) or volume (m³; mass = volume * bulk_density when a density is
            given, else NaN: a record without a density has no mass). With neither, a column named
            "mass" is used, else one named "volume", else the one column in t (or m³) by its unit.
        bulk_density : float or None
            Bulk density in t/m³, above 0.
        parameters : sequence of str or None
            Columns of quality parameters. None: every other column holding numbers (a column of
            text only, or of booleans, is left out; one holding numbers and some text is refused
            at its text rows). Names used by the record's own table ("time", "duration",
            "volume", "mass", "x", "z") are refused when named; by default a column "time",
            "duration", "x" or "z" that is not the time column (nor the amount) is refused too,
            a "mass" or "volume" column that is not the amount is left out (a note says so);
            names of a run's reclaimed table ("time_mean", "time_std") are refused: rename such a
            column.
        last_duration : float or None
            Duration of the last row, h. An interval lasts until the next row's time; the last one
            lasts `last_duration`, by default the median of the steps between rows (required for a
            single row).
        time_format : str or None
            strftime format of dates given as text (``"%d.%m.%Y %H:%M"``); None: detected.
        timezone : str or None
            IANA name (``"Europe/Berlin"``) of the zone of local dates without an offset: they are
            turned into UTC, the autumn's repeated hour resolved by the rows' order (the first
            pass before the clock change), a time in the spring's skipped hour refused. With
            dates that carry offsets, only the zone kept for display.
        missing : {"refuse", "interpolate", "drop"}
            Missing times, amounts and values: refused (every one named), filled linearly in time
            from their neighbours (amounts and values; a missing time is still refused), or their
            rows dropped (the interval before a dropped row then lasts until the next kept row).
        derived : mapping or sequence of str, or None
            Derived qualities: ``{"LSF": "100 * CaO / (2.8 * SiO2 + 1.18 * Al2O3 + 0.65 * Fe2O3)"}``,
            or preset names and NAME=EXPR texts (``["LSF", "CS=CaO/SiO2"]``); see `pilora.derived`.

        Raises
        ------
        RecordError
            For missing or non-numeric values, negative or non-finite masses and volumes, times
            not strictly ascending (unsorted or duplicate), times that do not read or do not exist
            in the zone, missing columns, reserved names and empty records; the error names the
            first offending row (0-based position) and its column, and its message every bad row
            and column (the first 20, and a count).
        """
        return cls._build(frame, None, time=time, mass=mass, volume=volume, bulk_density=bulk_density,
                          parameters=parameters, last_duration=last_duration, time_format=time_format,
                          timezone=timezone, missing=missing, derived=derived)

    @classmethod
    def _build(
        cls,
        frame: pd.DataFrame,
        table: _Table | None,
        *,
        time: str = "time",
        mass: str | None = None,
        volume: str | None = None,
        bulk_density: float | None = None,
        parameters: Sequence[str] | None = None,
        last_duration: float | None = None,
        time_format: str | None = None,
        timezone: str | None = None,
        missing: str = "refuse",
        derived: Mapping[str, str | None] | Iterable[str] | None = None,
    ) -> Record:
        if not isinstance(frame, pd.DataFrame):
            raise TypeError(f"frame must be a pandas DataFrame, not {type(frame).__name__}")
        if missing not in MISSING:
            raise ValueError(f"missing must be one of {', '.join(map(repr, MISSING))}, not {missing!r}")
        zone = _zone(timezone)
        notes: list[str] = list(table.notes) if table is not None else []
        if time not in frame.columns and frame.index.name is not None and str(frame.index.name) == time:
            frame = frame.reset_index()
        headers = [str(c).strip() for c in frame.columns]
        if len(set(headers)) != len(headers):
            twice = sorted({h for h in headers if headers.count(h) > 1})
            raise RecordError(f"the column names {twice} are not unique: rename one of each")
        heads = _Columns.of(headers)
        columns = heads.names
        frame = frame.set_axis(columns, axis=1)
        if len(frame) == 0:
            raise RecordError("the record has no rows")

        if mass is not None and volume is not None:
            raise ValueError("give either mass or volume, not both")
        time = _named(heads, time)
        mass = _named(heads, mass) if mass is not None else None
        volume = _named(heads, volume) if volume is not None else None
        if mass is None and volume is None:
            mass, volume = _default_amount(columns)
            if mass is None and volume is None:
                mass, volume = _amount_by_unit(heads, notes)
            if mass is None and volume is None:
                raise RecordError("no mass or volume column: name one with mass= or volume=")
        amount = mass if mass is not None else volume
        assert amount is not None
        if bulk_density is not None:
            bulk_density = float(bulk_density)
            if not (math.isfinite(bulk_density) and bulk_density > 0.0):
                raise ValueError(f"bulk_density must be a finite number above 0 t/m³, not {bulk_density}")
        elif mass is not None:
            raise ValueError("a record given by mass needs a bulk_density (t/m³) to become volume")
        for name in (time, amount):
            if name not in columns:
                raise RecordError(f"no such column (the columns: {', '.join(headers)})", column=name)
        if time == amount:
            raise ValueError("time and the mass or volume are the same column")
        names = _parameter_names(frame, heads, parameters, time, amount)
        if parameters is None:
            notes.extend(f"the column {heads.originals[other]!r} is left out: the amounts are read from "
                         f"{heads.originals[amount]!r}" for other in ("mass", "volume")
                         if other in columns and other != amount)
        try:
            derived_map = resolve_derived(derived, names, reserved=RESERVED_NAMES | TABLE_NAMES)
        except DerivedError as error:
            raise ValueError(str(error)) from None

        # Rows with a missing entry, dropped first when asked (rows keep their numbers in messages).
        positions = np.arange(len(frame))
        used = [time, amount, *names]
        if missing == "drop":
            gone = frame[used].isna().any(axis=1).to_numpy()
            if gone.any():
                dropped = np.flatnonzero(gone)
                shown = ", ".join(map(str, dropped[:10])) + (", ..." if dropped.size > 10 else "")
                notes.append(f"dropped {dropped.size} rows with missing entries (rows {shown})")
                frame = frame.loc[~gone].reset_index(drop=True)
                positions = positions[~gone]
                if len(frame) == 0:
                    raise RecordError("no row is left once the rows with missing entries are dropped")

        faults = _Faults({name: i for i, name in enumerate(columns)}, positions, table)
        fill = "; or read with missing='interpolate' (filled linearly in time) or missing='drop'"

        # Time.
        hours, start, origin, timezone = _times(frame[time], time, time_format, zone, timezone, faults, notes)
        steps = np.diff(hours)
        faults.add(
            np.concatenate([[False], ~(steps > 0) & np.isfinite(steps)]),
            time,
            "time is not after the previous row's (unsorted or duplicate times)",
            "times must rise from row to row: sort the rows, remove duplicates, and give local times "
            "with their timezone= so that a clock change does not repeat them",
        )

        # Mass or volume, and the parameters.
        what = "mass" if mass is not None else "volume"
        unit = "t" if mass is not None else "m³"
        accepted = f"a {what} is a finite number of {unit}, 0 or more"
        amounts = _numbers(frame[amount], amount, what, faults, accepted, missing == "refuse", fill)
        faults.add(np.isinf(amounts), amount, f"{what} is not finite", accepted)
        faults.add(amounts < 0, amount, f"negative {what}", accepted)
        values = {
            name: _numbers(frame[name], name, "value", faults, "a value is a finite number",
                           missing == "refuse", fill)
            for name in names
        }
        for name, column in values.items():
            faults.add(np.isinf(column), name, "value is not finite", "a value is a finite number")

        if missing == "interpolate" and not faults:
            _interpolate(hours, {amount: amounts, **values}, frame, faults, notes)
        if faults:
            raise faults.error()
        _check_derived(derived_map, values, faults)

        n = len(frame)
        if n > 1:
            last = float(np.median(steps)) if last_duration is None else float(last_duration)
        elif last_duration is None:
            raise ValueError("a record of one row needs last_duration (h)")
        else:
            last = float(last_duration)
        if not (math.isfinite(last) and last > 0):
            raise ValueError(f"last_duration must be a finite number of hours above 0, not {last}")
        duration = np.empty(n)
        duration[:-1] = steps
        duration[-1] = last

        if mass is not None:
            assert bulk_density is not None
            masses = amounts
            volumes = amounts / bulk_density
        else:
            volumes = amounts
            masses = amounts * bulk_density if bulk_density is not None else np.full(n, np.nan)
        result = pd.DataFrame(
            {"time": hours, "duration": duration, "volume": volumes, "mass": masses, **values}
        )
        units = {name: heads.units[name] for name in names if name in heads.units}
        if units:
            notes.append("units from the headers: " + ", ".join(f"{k} [{v}]" for k, v in units.items()))
        return cls(result, tuple(names), bulk_density, start, origin, units=units, timezone=timezone,
                   notes=tuple(notes), derived=derived_map)

    # -- summaries ------------------------------------------------------------------------------

    def __len__(self) -> int:
        return len(self.frame)

    @property
    def total_volume(self) -> float:
        """Volume of the whole record, m³."""
        return float(self.frame["volume"].sum())

    @property
    def total_mass(self) -> float:
        """Mass of the whole record, t (NaN without a bulk density)."""
        if self.bulk_density is None:
            return math.nan
        return float(self.frame["mass"].sum())

    @property
    def duration(self) -> float:
        """Hours from the record's start to the end of its last interval."""
        frame = self.frame
        return float(frame["time"].iloc[-1] + frame["duration"].iloc[-1])

    @property
    def values(self) -> np.ndarray:
        """The quality parameters as a float array of shape (rows, parameters)."""
        return self.frame.loc[:, list(self.parameters)].to_numpy(dtype=float)

    def times(self) -> pd.Series | None:
        """Each row's start as a date (local in `timezone` when the record has one), or None for
        records timed in hours."""
        if self.start is None:
            return None
        micros = np.round(self.frame["time"].to_numpy() * 3.6e9)  # to the microsecond
        stamps = self.start + pd.to_timedelta(micros, unit="us")
        stamps = pd.Series(stamps)
        if self.timezone is not None and stamps.dt.tz is not None:
            stamps = stamps.dt.tz_convert(self.timezone)
        return stamps

    def derive(self, columns: Mapping[str, Any]) -> dict[str, np.ndarray]:
        """Every derived quality (name -> float array) from averages of the parameters.

        `columns` maps each parameter a formula reads to an array of averages (a reclaimed row's,
        an input block's; a DataFrame will do); the formula is applied to those averages, as a
        mixture's derived quality is the formula of its averages. Division by zero gives inf or
        NaN. An empty dict for a record without derived qualities.
        """
        out: dict[str, np.ndarray] = {}
        for name, expression in self.derived.items():
            value = evaluate(expression, columns)
            if value.ndim == 0:
                shapes = [np.shape(columns[p]) for p in self.parameters if p in columns]
                value = np.full(shapes[0] if shapes else (), float(value))
            out[name] = value
        return out

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Record):
            return NotImplemented
        return (
            self.parameters == other.parameters
            and self.bulk_density == other.bulk_density
            and self.start == other.start
            and self.origin == other.origin
            and self.units == other.units
            and self.timezone == other.timezone
            and self.derived == other.derived
            and self.frame.equals(other.frame)
        )

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        frame = self.frame
        when = ""
        if self.start is not None:
            shown = self.start
            if self.timezone is not None and self.start.tzinfo is not None:
                shown = self.start.tz_convert(self.timezone)
            when = f" from {shown}" + (f" {self.timezone}" if self.timezone else "")
        if self.bulk_density is not None:
            amount = f"{self.total_volume:.6g} m³ ({self.total_mass:.6g} t at {self.bulk_density:g} t/m³)"
        else:
            amount = f"{self.total_volume:.6g} m³"
        extra = f", derived={tuple(self.derived)!r}" if self.derived else ""
        return (
            f"Record({len(frame)} rows, {self.duration:.6g} h{when}, {amount}, "
            f"parameters={self.parameters!r}{extra})"
        )


# ---------------------------------------------------------------------------------------------
# Columns


def _named(heads: _Columns, given: str) -> str:
    """The column a caller named (by name or original header); the name as given when absent, so
    that the check for a missing column names it."""
    found = heads.find(str(given))
    return found if found is not None else str(given)


def _amount_by_unit(heads: _Columns, notes: list[str]) -> tuple[str | None, str | None]:
    """(mass, volume) from the one column in t, else the one in m³; (None, None) otherwise."""
    for unit_names, index in ((("t", "tonnes", "tons"), 0), (("m³", "m3", "m^3"), 1)):
        found = [n for n, u in heads.units.items() if u.lower() in unit_names]
        if len(found) == 1:
            notes.append(f"amounts from the column {heads.originals[found[0]]!r} (its unit: {heads.units[found[0]]})")
            return (found[0], None) if index == 0 else (None, found[0])
    return None, None


def _parameter_names(frame: pd.DataFrame, heads: _Columns, parameters: Sequence[str] | None,
                     time: str, amount: str) -> list[str]:
    columns = heads.names
    if parameters is None:
        for name in columns:
            if name in TABLE_NAMES:
                raise RecordError(
                    f"a record column may not be named {name!r}, a column of a run's reclaimed table: "
                    "rename it, or name the parameters to use with parameters=", column=name)
        for name in columns:
            if name in _SHADOWED and name not in (time, amount):
                read = f" (the times are read from {heads.originals.get(time, time)!r})" if name == "time" else ""
                raise RecordError(
                    f"a record column may not be named {name!r}, a name the record's or a run's tables "
                    f"use{read}: rename it, or name the parameters to use with parameters=", column=name)
        names = []
        for name in columns:
            if name in (time, amount) or name in RESERVED_NAMES:
                continue
            column = frame[name]
            if pd.api.types.is_bool_dtype(column.dtype):
                continue
            if pd.api.types.is_numeric_dtype(column.dtype):
                names.append(name)
            elif column.dtype == object or pd.api.types.is_string_dtype(column.dtype):
                if pd.to_numeric(column, errors="coerce").notna().any():
                    names.append(name)
        return names
    if isinstance(parameters, str):
        raise TypeError("parameters must be a sequence of column names, not a string")
    names = [_named(heads, str(p)) for p in parameters]
    if len(set(names)) != len(names):
        raise ValueError(f"the parameters {names} are not unique")
    for name in names:
        if name in RESERVED_NAMES or name in TABLE_NAMES:
            raise RecordError(f"{name!r} cannot be a parameter's name: the record's or a run's tables use "
                              "it; rename the column", column=name)
        if name in (time, amount):
            raise ValueError(f"{name!r} is the record's time or amount column, not a parameter")
        if name not in columns:
            raise RecordError(f"no such column (the columns: {', '.join(heads.originals.values())})",
                              column=name)
    return names


def _check_derived(derived: Mapping[str, str], values: Mapping[str, np.ndarray], faults: _Faults) -> None:
    """Refuses a derived quality that is not a finite number on every row of the record (a
    division by zero, an overflow): the measures take it from averages of such rows."""
    for name, expression in derived.items():
        result = np.broadcast_to(evaluate(expression, values), (len(faults.positions),))
        bad = np.flatnonzero(~np.isfinite(result))
        if bad.size:
            row = int(bad[0])
            position = int(faults.positions[row])
            inputs = ", ".join(f"{p} {values[p][row]:g}" for p in expression_names_of(expression))
            raise RecordError(
                f"the derived quality {name!r} = {expression} is {result[row]:g}{faults.where(position)}, "
                f"from {inputs or 'numbers alone'}, not a finite number ({bad.size} row"
                f"{'s' if bad.size != 1 else ''} in all): change its formula (a division by zero or an "
                "overflow?)", row=position, column=name, line=faults.line(position))


def _numbers(column: pd.Series, name: str, what: str, faults: _Faults, accepted: str,
             refuse_missing: bool, fill: str) -> np.ndarray:
    """The column as floats; missing (when refused) and non-numeric entries reported to `faults`."""
    missing = column.isna().to_numpy()
    if refuse_missing:
        faults.add(missing, name, f"missing {what}", accepted + fill)
    if pd.api.types.is_bool_dtype(column.dtype):
        faults.add(~missing, name, f"{what} is not a number", accepted)
        return np.full(len(column), np.nan)
    if pd.api.types.is_numeric_dtype(column.dtype):
        return column.to_numpy(dtype=float, na_value=np.nan)
    numbers = pd.to_numeric(column, errors="coerce")
    bad = numbers.isna().to_numpy() & ~missing
    if bad.any():
        texts = column.to_numpy()

        def text(row: int) -> str:
            shown = str(texts[row])
            hint = " (a decimal comma: read with decimal=',')" if _COMMA_NUMBER.match(shown) else ""
            return f"{what} is not a number ({shown[:40]!r}){hint}"

        faults.add(bad, name, text, accepted, f"{what} is not a number")
    return numbers.to_numpy(dtype=float, na_value=np.nan)


def _interpolate(hours: np.ndarray, columns: dict[str, np.ndarray], frame: pd.DataFrame,
                 faults: _Faults, notes: list[str]) -> None:
    """Fills missing amounts and values in place, linearly in time, the ends from their nearest."""
    filled: dict[str, int] = {}
    for name, values in columns.items():
        gaps = np.isnan(values)
        if not gaps.any():
            continue
        if gaps.all():
            faults.add(np.eye(1, len(values), dtype=bool)[0], name, "no entry at all to fill the column from",
                       "give values, or leave the column out of the parameters")
            continue
        known = ~gaps
        values[gaps] = np.interp(hours[gaps], hours[known], values[known])
        filled[name] = int(gaps.sum())
    if filled:
        notes.append("filled missing entries linearly in time: "
                     + ", ".join(f"{count} in {name}" for name, count in filled.items()))


# ---------------------------------------------------------------------------------------------
# Time


def _zone(timezone: str | None) -> zoneinfo.ZoneInfo | None:
    if timezone is None:
        return None
    if not isinstance(timezone, str) or not timezone.strip():
        raise ValueError(f"timezone must be an IANA name such as 'Europe/Berlin' or 'UTC', not {timezone!r}")
    try:
        return zoneinfo.ZoneInfo(timezone.strip())
    except (zoneinfo.ZoneInfoNotFoundError, ValueError):
        raise ValueError(f"unknown time zone {timezone!r}: give an IANA name such as 'Europe/Berlin', "
                         "'America/Chicago' or 'UTC'") from None


def _format_name(time_format: str | None) -> str:
    return "ISO 8601 (YYYY-MM-DD HH:MM)" if time_format is None else repr(time_format)


def _parse(texts: pd.Series, time_format: str | None, utc: bool) -> pd.Series:
    with np.errstate(all="ignore"):
        return pd.to_datetime(texts, errors="coerce", format=time_format or "ISO8601", utc=utc)


def _times(raw: pd.Series, name: str, time_format: str | None, zone: zoneinfo.ZoneInfo | None,
           timezone: str | None, faults: _Faults, notes: list[str]
           ) -> tuple[np.ndarray, pd.Timestamp | None, float, str | None]:
    """(hours from the first row, start, origin, zone name) of a time column; faults reported."""
    n = len(raw)
    absent = raw.isna().to_numpy()
    faults.add(absent, name, "missing time", "every row needs its time; or read with missing='drop'")
    stamps: pd.Series | None = None
    if pd.api.types.is_datetime64_any_dtype(raw.dtype):
        stamps = raw
    elif pd.api.types.is_timedelta64_dtype(raw.dtype):
        hours = (raw / _HOUR).to_numpy(dtype=float)
    elif pd.api.types.is_numeric_dtype(raw.dtype) and not pd.api.types.is_bool_dtype(raw.dtype):
        hours = raw.to_numpy(dtype=float, na_value=np.nan)
    else:
        numbers = pd.to_numeric(raw, errors="coerce")
        if numbers.notna().sum() == raw.notna().sum():
            hours = numbers.to_numpy(dtype=float)
        else:
            stamps = _dates(raw, name, time_format, faults, notes)
    if stamps is None:
        if zone is not None:
            raise ValueError(f"timezone= applies to dates, and the column {name!r} gives hours")
        faults.add(~np.isfinite(hours) & ~np.isnan(hours), name, "time is not finite", "a time is a finite number of hours")
        origin = 0.0
        if math.isfinite(hours[0]):
            origin = float(hours[0])
            hours = hours - origin
        return hours, None, origin, None

    if stamps.dt.tz is not None:
        stamps = stamps.dt.tz_convert("UTC")
        if timezone is None:
            given = str(raw.dt.tz) if pd.api.types.is_datetime64_any_dtype(raw.dtype) else "UTC"
            timezone = given if _is_zone_name(given) else "UTC"
    elif zone is not None:
        stamps = _localise(stamps, zone, name, faults, notes)
    if zone is not None:
        timezone = zone.key
    valid = stamps.notna().to_numpy()
    if not valid[0]:
        return np.full(n, np.nan), None, 0.0, timezone
    start = stamps.iloc[0]
    return ((stamps - start) / _HOUR).to_numpy(dtype=float), start, 0.0, timezone


def _is_zone_name(name: str) -> bool:
    try:
        zoneinfo.ZoneInfo(name)
    except (zoneinfo.ZoneInfoNotFoundError, ValueError):
        return False
    return True


def _dates(raw: pd.Series, name: str, time_format: str | None, faults: _Faults, notes: list[str]) -> pd.Series:
    """Dates from text (or objects), in UTC when the texts carry offsets; faults reported."""
    present = raw.notna().to_numpy()
    texts = raw.astype(object)
    is_text = np.array([isinstance(v, str) for v in texts], dtype=bool)
    offset = np.array([bool(_OFFSET.search(v)) if isinstance(v, str) else
                       getattr(v, "tzinfo", None) is not None for v in texts], dtype=bool)
    aware = bool(offset[present].any())
    if aware and not offset[present].all():
        faults.add(present & ~offset, name, lambda r: f"time {str(texts.iloc[r])!r} has no UTC offset",
                   "give every time with its offset (+01:00), or none with timezone=", "time without a UTC offset")
    chosen = time_format
    stamps = _parse(texts, chosen, aware)
    if time_format is None and (stamps.isna().to_numpy() & present).any():
        sample = texts[present].iloc[:200]
        likely = [f for f in TIME_FORMATS if _parse(sample, f, aware).notna().sum() >= len(sample) // 2]
        readers = {f: _parse(texts, f, aware) for f in likely}
        complete = [f for f, s in readers.items() if not (s.isna().to_numpy() & present).any()]
        if len(complete) == 1:
            chosen = complete[0]
            stamps = readers[chosen]
            notes.append(f"times read as {chosen!r} (detected)")
        elif len(complete) > 1:
            raise RecordError(f"the times read as {' or as '.join(map(repr, complete[:3]))}: give time_format=",
                              column=name)
        else:
            best = max(readers, key=lambda f: int(readers[f].notna().sum()), default=None)
            if best is not None and int(readers[best].notna().sum()) > int(stamps.notna().sum()):
                chosen, stamps = best, readers[best]
    bad = stamps.isna().to_numpy() & present

    def message(row: int) -> str:
        text = str(texts.iloc[row])
        return f"not a time: {text[:40]!r} does not read as {_format_name(chosen)}"

    if bad.any():
        first = str(texts.iloc[int(np.flatnonzero(bad)[0])])
        fits = [f for f in TIME_FORMATS if pd.notna(_parse(pd.Series([first]), f, aware).iloc[0])]
        if fits and fits[0] != chosen:
            hint = f"it reads as time_format={fits[0]!r}"
        elif is_text[bad].any():
            hint = "give time_format= in strftime codes, e.g. '%d.%m.%Y %H:%M' for 25.10.2026 02:30"
        else:
            hint = "give dates or hours"
        faults.add(bad, name, message, hint, f"not a time as {_format_name(chosen)}")
    if aware:
        notes.append("times with UTC offsets, held in UTC")
    return stamps


def _localise(stamps: pd.Series, zone: zoneinfo.ZoneInfo, name: str, faults: _Faults, notes: list[str]) -> pd.Series:
    """Local dates in `zone` as UTC: a repeated (autumn) hour resolved by the rows' order, a
    skipped (spring) hour refused."""
    n = len(stamps)
    early = stamps.dt.tz_localize(zone, ambiguous=np.ones(n, dtype=bool), nonexistent="NaT")
    late = stamps.dt.tz_localize(zone, ambiguous=np.zeros(n, dtype=bool), nonexistent="NaT")
    present = stamps.notna().to_numpy()
    skipped = present & early.isna().to_numpy()
    local = stamps.dt.strftime("%Y-%m-%d %H:%M:%S")
    faults.add(skipped, name, lambda r: f"{local.iloc[r]} does not exist in {zone.key} (the clocks skip it)",
               "correct the time, or give the times with their UTC offsets", f"time skipped by the clocks in {zone.key}")
    twice = np.flatnonzero(present & ~skipped & (early != late).to_numpy())
    second = np.zeros(n, dtype=bool)
    previous: pd.Timestamp | None = None
    after = False
    days: dict[str, list[int]] = {}
    for row in twice:
        now = stamps.iloc[row]
        if previous is None or now - previous > pd.Timedelta(hours=2):
            after = False  # another clock change
        elif now <= previous:
            after = True  # the clock went back: the second pass of the hour
        second[row] = after
        previous = now
        counts = days.setdefault(str(now.date()), [0, 0])
        counts[int(after)] += 1
    utc = early.where(~second, late).dt.tz_convert("UTC")
    for day, (before, then) in days.items():
        notes.append(f"{before + then} rows in the repeated hour of {day} ({zone.key}) placed by their order: "
                     f"{before} before the clock change, {then} after")
    notes.append(f"local times in {zone.key}, held in UTC")
    return utc


# ---------------------------------------------------------------------------------------------
# Files


_COMPRESSED = (".gz", ".bz2", ".xz", ".zst", ".zip")
KINDS = ".csv (also .csv.gz, .csv.bz2, .csv.xz, .csv.zst, .csv.zip), .parquet or .xlsx"


@contextlib.contextmanager
def _reading(path: Path, kind: str) -> Iterator[None]:
    """Turns any failure to read the file (missing, damaged, truncated, not of its kind) into a
    one-line RecordError naming the file and what is wrong."""
    try:
        yield
    except RecordError:
        raise
    except FileNotFoundError:
        raise RecordError(f"{str(path)!r} does not exist: give the record's file") from None
    except IsADirectoryError:
        raise RecordError(f"{str(path)!r} is a folder: give the record's file") from None
    except PermissionError:
        raise RecordError(f"{str(path)!r} may not be read (permission denied): give a file you may read") from None
    except MemoryError:
        raise
    except Exception as error:  # zlib, lzma, zip, gzip, Arrow, openpyxl: each its own type
        lines = [line.strip() for line in str(error).splitlines() if line.strip()]
        detail = f"{type(error).__name__}: {lines[0]}" if lines else type(error).__name__
        raise RecordError(f"{path.name} cannot be read as a {kind} file ({detail}): the file is damaged, "
                          "truncated or of another kind; give an intact copy") from None


def _kind(path: Path) -> str:
    suffixes = [s.lower() for s in path.suffixes]
    if suffixes and suffixes[-1] in _COMPRESSED:
        suffixes = suffixes[:-1]
    kind = suffixes[-1] if suffixes else ""
    return {".pq": ".parquet", ".xlsm": ".xlsx"}.get(kind, kind)


def _read_table(path: Path, *, sep: str | None = None, decimal: str | None = None,
                encoding: str | None = None, sheet: str | int | None = None) -> _Table:
    """The file's table as read, with the line of each data row and what was detected."""
    kind = _kind(path)
    if kind == ".csv":
        if sheet is not None:
            raise ValueError("sheet= is for .xlsx workbooks, not CSV files")
        return _read_csv(path, sep, decimal, encoding)
    if sep is not None or decimal is not None or encoding is not None:
        raise ValueError(f"sep=, decimal= and encoding= are for CSV files, not {kind or 'this file'}")
    if kind == ".parquet":
        if sheet is not None:
            raise ValueError("sheet= is for .xlsx workbooks, not Parquet files")
        with _reading(path, "Parquet"):
            return _Table(pd.read_parquet(path, engine="pyarrow"))
    if kind == ".xlsx":
        return _read_workbook(path, sheet)
    raise ValueError(f"{path.name}: a record is read from .csv, .parquet or .xlsx files ({KINDS})")


def _read_workbook(path: Path, sheet: str | int | None) -> _Table:
    with _reading(path, "workbook"):
        book = pd.ExcelFile(path, engine="openpyxl")
    with book:
        names = book.sheet_names
        if sheet is None:
            chosen: str = names[0]
        elif isinstance(sheet, int) or (isinstance(sheet, str) and sheet not in names and sheet.isdigit()):
            index = int(sheet)
            if not 0 <= index < len(names):
                raise ValueError(f"{path.name} has {len(names)} sheets, no sheet {index}: its sheets are "
                                 f"{', '.join(map(repr, names))} (sheet= takes a name or a 0-based number)")
            chosen = names[index]
        elif sheet in names:
            chosen = sheet
        else:
            raise ValueError(f"{path.name} has no sheet {sheet!r}: its sheets are {', '.join(map(repr, names))}")
        with _reading(path, "workbook"):
            frame = book.parse(chosen)
    notes = (f"sheet {chosen!r} of {len(names)}",) if len(names) > 1 or sheet is not None else ()
    return _Table(frame, notes, np.arange(len(frame)) + 2, "sheet row")


def _read_csv(path: Path, sep: str | None, decimal: str | None, encoding: str | None) -> _Table:
    with _reading(path, "CSV"), pd.io.common.get_handle(path, "rb", compression="infer", is_text=False) as handles:
        data = handles.handle.read()
    detected = []
    if encoding is None:
        for encoding in ("utf-8-sig", "cp1252", "latin-1"):
            try:
                text = data.decode(encoding)
                break
            except UnicodeDecodeError:
                continue
        if encoding != "utf-8-sig":
            detected.append(f"encoding {encoding} (not UTF-8)")
        else:
            encoding = "utf-8"
    else:
        try:
            text = data.decode(encoding)
        except LookupError:
            raise ValueError(f"unknown encoding {encoding!r}: give one such as 'utf-8' or 'cp1252'") from None
        except UnicodeDecodeError as error:
            raise ValueError(f"{path.name} is not {encoding} (byte {error.start}): give the file's "
                             "encoding, e.g. 'cp1252' or 'latin-1'") from None
        text = text.removeprefix("\ufeff")
    lines = text.splitlines()
    kept = [i + 1 for i, line in enumerate(lines) if line.strip()]
    head = [lines[i - 1] for i in kept[:60]]
    if sep is None:
        sep = _sniff_separator(head)
        detected.append(f"separator {_SEPARATOR_NAMES.get(sep, repr(sep))}")
    thousands = None
    if decimal is None:
        decimal, thousands = _sniff_decimal(head[1:], sep)
        detected.append("decimal comma" if decimal == "," else "decimal point")
        if thousands:
            detected.append(f"thousands separator {thousands!r}")
    elif decimal not in (".", ","):
        raise ValueError(f"decimal must be '.' or ',', not {decimal!r}")
    if decimal == sep:
        raise ValueError(f"the separator and the decimal mark are both {sep!r}: give sep= or decimal=")
    try:
        frame = pd.read_csv(io.StringIO(text), sep=sep, decimal=decimal, thousands=thousands,
                            engine="python" if len(sep) > 1 else "c")
    except (pd.errors.ParserError, ValueError) as error:
        raise ValueError(f"{path.name} does not read as CSV with separator {sep!r}: "
                         f"{str(error).strip().splitlines()[-1]}; give sep=") from None
    notes = (f"read {path.name} as CSV: {', '.join(detected)} (detected)",) if detected else ()
    numbered = np.asarray(kept[1:], dtype=np.int64) if len(kept) - 1 == len(frame) else np.arange(len(frame)) + 2
    return _Table(frame, notes, numbered, "line")


def _sniff_separator(head: list[str]) -> str:
    if not head:
        return ","
    header = head[0]
    try:
        found = csv.Sniffer().sniff("\n".join(head), delimiters=_SEPARATORS).delimiter
    except csv.Error:
        found = None
    if found is not None and found in header:
        return found
    counts = {s: header.count(s) for s in _SEPARATORS}
    best = max(counts, key=lambda s: counts[s])
    return best if counts[best] else ","


def _sniff_decimal(rows: list[str], sep: str) -> tuple[str, str | None]:
    if sep == ",":
        return ".", None
    comma = point = grouped = 0
    for fields in csv.reader(rows, delimiter=sep):
        for entry in fields:
            if _COMMA_NUMBER.match(entry):
                comma += 1
            elif _POINT_NUMBER.match(entry):
                point += 1
            if _GROUPED_NUMBER.match(entry) and "," in entry:
                grouped += 1
    if comma > point:
        return ",", ("." if grouped else None)
    return ".", None


def read_record(
    path: str | os.PathLike[str],
    *,
    time: str = "time",
    mass: str | None = None,
    volume: str | None = None,
    bulk_density: float | None = None,
    parameters: Sequence[str] | None = None,
    sep: str | None = None,
    decimal: str | None = None,
    encoding: str | None = None,
    sheet: str | int | None = None,
    time_format: str | None = None,
    timezone: str | None = None,
    missing: str = "refuse",
    derived: Mapping[str, str | None] | Iterable[str] | None = None,
    last_duration: float | None = None,
) -> Record:
    """A record from a file: CSV (``.csv``, also compressed: ``.csv.gz``, ``.bz2``, ``.xz``,
    ``.zst``, ``.zip``), Parquet (``.parquet``, ``.pq``) or an Excel workbook (``.xlsx``).

    A CSV file's dialect is detected unless given: the separator (``sep``: ',', ';', tab or
    '|'), a decimal comma (``decimal``: '.' or ','; with it a '.' grouping thousands such as
    1.234,5) and the encoding (``encoding``: UTF-8, else cp1252). What was detected is said in
    `Record.notes`. ``sheet`` names a workbook's sheet (or its 0-based number; default the first).
    The other keywords are those of `Record.from_frame`.

    Rows are numbered from 0 in the file's data: in a CSV file, row 0 is the line after the header;
    errors also give the file's line (1-based; for a workbook the sheet's row). A file that cannot
    be read (missing, damaged or truncated, of another kind than its name says) raises a
    `RecordError` of one line naming the file and what is wrong.

    Example, a historian's export (``Zeit;Tonnage [t];CaO [%];...`` with ``25.10.2026 02:00``
    and ``51,43``)::

        read_record("export.csv", time="Zeit", mass="Tonnage [t]", bulk_density=1.5,
                    timezone="Europe/Berlin", derived=["LSF"])
    """
    path = Path(path)
    table = _read_table(path, sep=sep, decimal=decimal, encoding=encoding, sheet=sheet)
    return Record._build(table.frame, table, time=time, mass=mass, volume=volume, bulk_density=bulk_density,
                         parameters=parameters, last_duration=last_duration, time_format=time_format,
                         timezone=timezone, missing=missing, derived=derived)
