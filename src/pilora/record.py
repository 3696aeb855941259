"""Quality records: what arrived on the belt, and when.

A record is a table of intervals. Row i covers the hours [time_i, time_i + duration_i) from the
record's start; its material has a volume (m³), a mass (t) and one value per quality parameter.
"""

from __future__ import annotations

import functools
import math
import os
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["Record", "RecordError", "read_record"]

#: Column names a record's table uses itself, or that a portions table uses; no parameter may take one.
RESERVED_NAMES = frozenset({"time", "duration", "volume", "mass", "x", "z"})

_HOUR = pd.Timedelta(hours=1)



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
    label) or in the file's data (the first line after a CSV's header is row 0); `column` is the
    column's name. Either is None when the fault is not a row's or a column's.
    """

    _fields = ("row", "column")

    def __init__(self, message: str, *, row: int | None = None, column: str | None = None) -> None:
        self.row = row
        self.column = column
        where = []
        if row is not None:
            where.append(f"row {row}")
        if column is not None:
            where.append(f"column {column!r}")
        super().__init__(message, f"{', '.join(where)}: {message}" if where else message)


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
        The first row's time for records timed by dates; None for records timed in hours.
    origin : float
        For records timed in hours: the first row's time as given (h); 0 for dates.

    Build one with `Record.from_frame` or `read_record`; both check every row.
    """

    frame: pd.DataFrame
    parameters: tuple[str, ...]
    bulk_density: float | None = None
    start: pd.Timestamp | None = None
    origin: float = 0.0

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
    ) -> Record:
        """A record from a table of intervals, every row checked.

        Parameters
        ----------
        frame : pandas.DataFrame
            One row per interval, in time order.
        time : str
            Column (or, when no column has the name, the named index) of the intervals' start
            times: numbers (hours), time spans (timedeltas) or dates (datetimes, or text that
            `pandas.to_datetime` reads with `time_format`, ISO 8601 by default). Dates become hours
            from the first row, whose date is kept as `start`; numbers and spans become hours from
            the first row, whose time is kept as `origin` (h).
        mass, volume : str or None
            Give one: the column of each interval's mass (t; needs `bulk_density`, volume =
            mass / bulk_density) or volume (m³; mass = volume * bulk_density when a density is
            given, else NaN: a record without a density has no mass). With neither, a column named
            "mass" is used, else one named "volume".
        bulk_density : float or None
            Bulk density in t/m³, above 0.
        parameters : sequence of str or None
            Columns of quality parameters. None: every other column holding numbers (a column of
            text only, or of booleans, is left out; one holding numbers and some text is refused
            at its first text row). Names used by the record's own table ("time", "duration",
            "volume", "mass", "x", "z") are left out by default and refused when named.
        last_duration : float or None
            Duration of the last row, h. An interval lasts until the next row's time; the last one
            lasts `last_duration`, by default the median of the steps between rows (required for a
            single row).
        time_format : str or None
            Format for dates given as text (see `pandas.to_datetime`); None: ISO 8601.

        Raises
        ------
        RecordError
            For missing or non-numeric values, negative or non-finite masses and volumes, times
            not strictly ascending (unsorted or duplicate), missing columns, and empty records;
            the error names the first offending row (0-based position) and its column.
        """
        if not isinstance(frame, pd.DataFrame):
            raise TypeError(f"frame must be a pandas DataFrame, not {type(frame).__name__}")
        if time not in frame.columns and frame.index.name == time:
            frame = frame.reset_index()
        columns = [str(c) for c in frame.columns]
        if len(set(columns)) != len(columns):
            raise RecordError("the column names are not unique")
        frame = frame.set_axis(columns, axis=1)
        if len(frame) == 0:
            raise RecordError("the record has no rows")

        if mass is not None and volume is not None:
            raise ValueError("give either mass or volume, not both")
        if mass is None and volume is None:
            mass, volume = _default_amount(columns)
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
                raise RecordError("no such column", column=name)
        if time == amount:
            raise ValueError("time and the mass or volume are the same column")

        faults: list[tuple[int, int, str, str]] = []  # (row, column order, column, message)
        order = {name: i for i, name in enumerate(columns)}

        def fault(mask: np.ndarray, column: str, message: str) -> None:
            rows = np.flatnonzero(mask)
            if rows.size:
                faults.append((int(rows[0]), order[column], column, message))

        # Time.
        raw_time = frame[time]
        start: pd.Timestamp | None = None
        origin = 0.0
        fault(raw_time.isna().to_numpy(), time, "missing time")
        if pd.api.types.is_datetime64_any_dtype(raw_time.dtype):
            stamps = raw_time
        elif pd.api.types.is_timedelta64_dtype(raw_time.dtype):
            stamps = None
            hours = (raw_time / _HOUR).to_numpy(dtype=float)
        elif pd.api.types.is_numeric_dtype(raw_time.dtype) and not pd.api.types.is_bool_dtype(raw_time.dtype):
            stamps = None
            hours = raw_time.to_numpy(dtype=float, na_value=np.nan)
        else:
            numbers = pd.to_numeric(raw_time, errors="coerce")
            if numbers.notna().sum() == raw_time.notna().sum():
                stamps = None
                hours = numbers.to_numpy(dtype=float)
            else:
                stamps = pd.to_datetime(raw_time, errors="coerce", format=time_format or "ISO8601")
                fault((stamps.isna() & raw_time.notna()).to_numpy(), time, "not a time")
        if stamps is not None:
            valid = stamps.notna().to_numpy()
            if valid[0]:
                start = stamps.iloc[0]
                hours = ((stamps - start) / _HOUR).to_numpy(dtype=float)
            else:
                hours = np.full(len(frame), np.nan)
        else:
            fault(~np.isfinite(hours) & ~np.isnan(hours), time, "time is not finite")
            if math.isfinite(hours[0]):
                origin = float(hours[0])
                hours = hours - origin
        steps = np.diff(hours)
        fault(
            np.concatenate([[False], ~(steps > 0) & np.isfinite(steps)]),
            time,
            "time is not after the previous row's (unsorted or duplicate times)",
        )

        # Mass or volume.
        what = "mass" if mass is not None else "volume"
        amounts = _numbers(frame[amount], amount, what, fault)
        fault(np.isinf(amounts), amount, f"{what} is not finite")
        fault(amounts < 0, amount, f"negative {what}")

        # Parameters.
        if parameters is None:
            taken = {time, amount}
            names = []
            for name in columns:
                if name in taken or name in RESERVED_NAMES:
                    continue
                column = frame[name]
                if pd.api.types.is_bool_dtype(column.dtype):
                    continue
                if pd.api.types.is_numeric_dtype(column.dtype):
                    names.append(name)
                elif column.dtype == object or pd.api.types.is_string_dtype(column.dtype):
                    if pd.to_numeric(column, errors="coerce").notna().any():
                        names.append(name)
        else:
            if isinstance(parameters, str):
                raise TypeError("parameters must be a sequence of column names, not a string")
            names = [str(p) for p in parameters]
            if len(set(names)) != len(names):
                raise ValueError(f"the parameters {names} are not unique")
            for name in names:
                if name in RESERVED_NAMES:
                    raise ValueError(f"{name!r} cannot be a parameter's name: the record's table uses it")
                if name in (time, amount):
                    raise ValueError(f"{name!r} is the record's time or amount column, not a parameter")
                if name not in columns:
                    raise RecordError("no such column", column=name)
        values = {name: _numbers(frame[name], name, "value", fault) for name in names}
        for name, column in values.items():
            fault(np.isinf(column), name, "value is not finite")

        if faults:
            row, _, column, message = min(faults)
            raise RecordError(message, row=row, column=column)

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
        table = pd.DataFrame(
            {"time": hours, "duration": duration, "volume": volumes, "mass": masses, **values}
        )
        return cls(table, tuple(names), bulk_density, start, origin)

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

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Record):
            return NotImplemented
        return (
            self.parameters == other.parameters
            and self.bulk_density == other.bulk_density
            and self.start == other.start
            and self.origin == other.origin
            and self.frame.equals(other.frame)
        )

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        frame = self.frame
        when = f" from {self.start}" if self.start is not None else ""
        if self.bulk_density is not None:
            amount = f"{self.total_volume:.6g} m³ ({self.total_mass:.6g} t at {self.bulk_density:g} t/m³)"
        else:
            amount = f"{self.total_volume:.6g} m³"
        return (
            f"Record({len(frame)} rows, {self.duration:.6g} h{when}, {amount}, "
            f"parameters={self.parameters!r})"
        )


def _numbers(column: pd.Series, name: str, what: str, fault) -> np.ndarray:  # type: ignore[no-untyped-def]
    """The column as floats; missing and non-numeric entries reported through `fault`."""
    missing = column.isna().to_numpy()
    fault(missing, name, f"missing {what}")
    if pd.api.types.is_bool_dtype(column.dtype):
        fault(~missing, name, f"{what} is not a number")
        return np.full(len(column), np.nan)
    if pd.api.types.is_numeric_dtype(column.dtype):
        return column.to_numpy(dtype=float, na_value=np.nan)
    numbers = pd.to_numeric(column, errors="coerce")
    fault((numbers.isna().to_numpy() & ~missing), name, f"{what} is not a number")
    return numbers.to_numpy(dtype=float, na_value=np.nan)


def read_record(path: str | os.PathLike[str], **keywords: object) -> Record:
    """A record from a CSV file (suffix .csv, optionally compressed: .csv.gz, .csv.bz2, .csv.xz,
    .csv.zst) or a Parquet file (.parquet, .pq); the keywords are those of `Record.from_frame`.

    Rows are numbered from 0 in the file's data: in a CSV file, row 0 is the line after the header.
    """
    path = Path(path)
    suffixes = [s.lower() for s in path.suffixes]
    if suffixes and suffixes[-1] in (".gz", ".bz2", ".xz", ".zst", ".zip"):
        suffixes = suffixes[:-1]
    kind = suffixes[-1] if suffixes else ""
    if kind == ".csv":
        frame = pd.read_csv(path)
    elif kind in (".parquet", ".pq"):
        frame = pd.read_parquet(path, engine="pyarrow")
    else:
        raise ValueError(f"{path.name}: a record is read from .csv or .parquet files")
    return Record.from_frame(frame, **keywords)  # type: ignore[arg-type]
