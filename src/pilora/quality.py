"""What an engineer should look at in a quality record before trusting a result.

`check_record` lists findings: a frozen analyser (one reading repeated for longer than a stated
time), stops (no feed), gaps in time, spikes (a robust z-score against a running median) and
values outside physical bounds (negative percentages, oxides summing to more than 100 %). Findings
only warn: the record is never changed.
"""

from __future__ import annotations

import re

import numpy as np
import pandas as pd

from .record import Record

__all__ = ["FINDING_KINDS", "check_record"]

#: The kinds of finding, in the order a table of findings lists them at equal start.
FINDING_KINDS = ("frozen", "stop", "gap", "spike", "bounds")

_OXIDE = re.compile(r"^(?:[A-Z][a-z]?\d*)+O\d*$")  # CaO, SiO2, Al2O3, Fe2O3, MgO, K2O, SO3, ...
_NOT_IN_SUM = frozenset({"H2O"})  # moisture is given as received, the oxides on a dry basis
_MAD_TO_STD = 0.6745  # MAD of a normal distribution / its standard deviation


def _runs(mask: np.ndarray) -> list[tuple[int, int]]:
    """(first, last) row of each run of True."""
    if not mask.any():
        return []
    edges = np.diff(np.concatenate([[0], mask.astype(np.int8), [0]]))
    return list(zip(np.flatnonzero(edges == 1).tolist(), (np.flatnonzero(edges == -1) - 1).tolist()))


#: Elements of the windows handled at once by `_running_median_and_mad` (rows x window): 8 MiB a chunk.
_CHUNK_ELEMENTS = 1 << 20
#: The widest spike window, in rows: a window as wide as the record at the most, and never wider than this.
MAX_SPIKE_WINDOW = 1001


def _running_median_and_mad(values: np.ndarray, window: int) -> tuple[np.ndarray, np.ndarray]:
    """Median and median absolute deviation (from that median) of the centred window of each row,
    NaN entries left out; NaN where the window holds fewer than half its rows. Rows are taken a
    chunk at a time, so the memory is about `_CHUNK_ELEMENTS` floats whatever the window."""
    half = window // 2
    padded = np.concatenate([np.full(half, np.nan), values, np.full(half, np.nan)])
    windows = np.lib.stride_tricks.sliding_window_view(padded, window)
    median = np.full(len(values), np.nan)
    mad = np.full(len(values), np.nan)
    step = max(1, _CHUNK_ELEMENTS // window)
    for lo in range(0, len(values), step):
        part = windows[lo:lo + step]
        missing = np.isnan(part)
        enough = np.count_nonzero(~missing, axis=1) > half
        full = ~missing.any(axis=1)  # np.median is much faster than np.nanmedian
        for chosen, middle in ((full, np.median), (enough & ~full, np.nanmedian)):
            if chosen.any():
                rows = part[chosen]
                centre = middle(rows, axis=1)
                median[lo:lo + step][chosen] = centre
                mad[lo:lo + step][chosen] = middle(np.abs(rows - centre[:, None]), axis=1)
    return median, mad


def _span(hours: float) -> str:
    return f"{hours * 60:.0f} min" if hours < 2 else f"{hours:.1f} h"


def check_record(
    record: Record,
    *,
    frozen_hours: float = 0.5,
    gap_factor: float = 3.0,
    spike_z: float = 6.0,
    spike_window_hours: float = 1.0,
) -> pd.DataFrame:
    """Findings about a record's data, one row each, in time order; the record is not changed.

    Parameters
    ----------
    record : Record
    frozen_hours : float
        A parameter reading one value unchanged for longer than this (h), over three rows or
        more, is a frozen analyser ("frozen"); parameters frozen over the same rows are one finding.
    gap_factor : float
        A step between two rows' times longer than this many median steps is a gap ("gap"); the
        row before a gap stands for the material of the whole gap.
    spike_z : float
        A value whose robust z-score, 0.6745 (x - median) / MAD over a centred running window,
        exceeds this in size is a spike ("spike"); runs of such rows are one finding.
    spike_window_hours : float
        Length of the running window of the spike test (h): at least five rows, at most the
        record's rows and :data:`MAX_SPIKE_WINDOW` (1001) rows; `attrs["spike_window_rows"]`
        gives the rows used.

    Returns
    -------
    pandas.DataFrame
        Columns ``kind`` (one of "frozen", "stop", "gap", "spike", "bounds"), ``parameter``
        (the parameters concerned, comma-separated; "" for the feed and for time), ``start`` and
        ``end`` (h from the record's start, as `Record.frame`'s "time"), ``rows`` (how many rows;
        0 for a gap) and ``message`` (a sentence naming the 0-based rows and, for dated records,
        the local times). Stops are rows of no volume; "bounds" are negative percentages (or
        above 100 %), and rows whose oxides (parameters named like CaO, SiO2, ... or in %, not
        H2O) sum to more than 100 %. `attrs` keeps the thresholds used.
    """
    if not isinstance(record, Record):
        raise TypeError(f"check_record takes a Record, not {type(record).__name__}")
    for name, value in (("frozen_hours", frozen_hours), ("gap_factor", gap_factor), ("spike_z", spike_z),
                        ("spike_window_hours", spike_window_hours)):
        if not (np.isfinite(value) and value > 0):
            raise ValueError(f"{name} must be a finite number above 0, not {value!r}")
    frame = record.frame
    time = frame["time"].to_numpy(dtype=float)
    duration = frame["duration"].to_numpy(dtype=float)
    end = time + duration
    n = len(frame)
    stamps = record.times()
    step = float(np.median(np.diff(time))) if n > 1 else float(duration[0])

    def clock(row: int, after: float = 0.0) -> str:
        """Row's start plus `after` hours, as a date (local) or as hours."""
        if stamps is None:
            return f"h {time[row] + after:.6g}"
        fmt = "%Y-%m-%d %H:%M %Z" if stamps.dt.tz is not None else "%Y-%m-%d %H:%M"
        return (stamps.iloc[row] + pd.Timedelta(hours=after).round("s")).strftime(fmt).strip()

    def when(first: int, last: int) -> str:
        rows = f"row {first}" if first == last else f"rows {first}-{last}"
        return f"{rows}, {clock(first)} to {clock(last, float(duration[last]))}"

    found: list[tuple[float, int, str, str, float, int, str]] = []

    def add(kind: str, parameter: str, first: int, last: int, message: str) -> None:
        found.append((float(time[first]), FINDING_KINDS.index(kind), kind, parameter,
                      float(end[last]), last - first + 1, message))

    # Frozen analyser: runs of one value per parameter, merged across parameters frozen together.
    frozen: dict[tuple[int, int], list[str]] = {}
    held = {name: np.zeros(n, dtype=bool) for name in record.parameters}  # rows of frozen runs
    for name in record.parameters:
        values = frame[name].to_numpy(dtype=float)
        same = np.concatenate([[False], values[1:] == values[:-1]])
        for first, last in _runs(same):
            first -= 1  # the run starts at the row the reading first appeared in
            if last - first + 1 >= 3 and end[last] - time[first] > frozen_hours:
                frozen.setdefault((first, last), []).append(name)
                held[name][first:last + 1] = True
    for (first, last), names in frozen.items():
        readings = ", ".join(f"{n} {frame[n].iloc[first]:g}" for n in names)
        add("frozen", ", ".join(names), first, last,
            f"{' and '.join(names) if len(names) < 3 else ', '.join(names)} unchanged ({readings}) for "
            f"{_span(end[last] - time[first])} over {last - first + 1} rows ({when(first, last)}): "
            "a frozen analyser?")

    # Stops: no feed.
    for first, last in _runs(frame["volume"].to_numpy(dtype=float) == 0.0):
        add("stop", "", first, last, f"no feed for {_span(end[last] - time[first])} ({when(first, last)})")

    # Gaps in time.
    if n > 1:
        steps = np.diff(time)
        for row in np.flatnonzero(steps > gap_factor * step).tolist():
            found.append((float(time[row] + step), FINDING_KINDS.index("gap"), "gap", "", float(time[row + 1]), 0,
                          f"no rows for {_span(steps[row] - step)} between rows {row} and {row + 1} "
                          f"({clock(row, step)} to {clock(row + 1)}; the usual step is {_span(step)}): "
                          f"row {row} stands for the whole gap"))

    # Spikes: robust z-score against a running median (frozen readings left out of the window).
    rows_in_window = spike_window_hours / step if step > 0 else 5.0
    widest = max(5, min(MAX_SPIKE_WINDOW, n if n % 2 else n - 1))
    window = min(widest, max(5, int(round(rows_in_window)) | 1) if rows_in_window < widest else widest)
    spiked: dict[tuple[int, int], list[tuple[str, str]]] = {}
    for name in record.parameters:
        series = frame[name].astype(float).where(~held[name])
        median, mad = _running_median_and_mad(series.to_numpy(), window)
        deviation = series.to_numpy() - median
        with np.errstate(all="ignore"):
            z = _MAD_TO_STD * deviation / mad
        spikes = (np.abs(z) > spike_z) & (mad > 0)
        for first, last in _runs(spikes):
            peak = first + int(np.argmax(np.abs(z[first:last + 1])))
            spiked.setdefault((first, last), []).append(
                (name, f"{name} {series.iloc[peak]:g} against {median[peak]:g} (z {z[peak]:+.1f})"))
    for (first, last), entries in spiked.items():
        add("spike", ", ".join(e[0] for e in entries), first, last,
            f"{'; '.join(e[1] for e in entries)}, robust z-score against a running median "
            f"({when(first, last)}): a sampling fault or an outlier?")

    # Physical bounds.
    percent = [p for p in record.parameters
               if record.units.get(p, "%" if _OXIDE.match(p) else None) == "%"]
    for name in percent:
        values = frame[name].to_numpy(dtype=float)
        for mask, what in ((values < 0, "negative"), (values > 100, "above 100 %")):
            for first, last in _runs(mask):
                add("bounds", name, first, last,
                    f"{name} {what} ({values[first:last + 1].min() if what == 'negative' else values[first:last + 1].max():g} %; "
                    f"{when(first, last)})")
    oxides = [p for p in percent if _OXIDE.match(p) and p not in _NOT_IN_SUM]
    if len(oxides) >= 2:
        total = frame[oxides].to_numpy(dtype=float).sum(axis=1)
        for first, last in _runs(total > 100.0):
            add("bounds", ", ".join(oxides), first, last,
                f"{' + '.join(oxides)} = {total[first:last + 1].max():.4g} % above 100 % ({when(first, last)})")

    found.sort(key=lambda f: (f[0], f[1]))
    table = pd.DataFrame(
        [(kind, parameter, start, stop, rows, message) for start, _, kind, parameter, stop, rows, message in found],
        columns=["kind", "parameter", "start", "end", "rows", "message"],
    ).astype({"start": float, "end": float, "rows": int})
    table.attrs.update(frozen_hours=frozen_hours, gap_factor=gap_factor, spike_z=spike_z,
                       spike_window_rows=window, step_hours=step)
    return table
