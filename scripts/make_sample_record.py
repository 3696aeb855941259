"""Writes the sample quality records shipped with the package: src/pilora/data/limestone.csv and
src/pilora/data/historian.csv.

A synthetic belt-weigher and cross-belt analyser record of crushed limestone fed to a blending bed
over two days (six eight-hour shifts, one row per two minutes):

- ``time``: the start of each interval, local time ``YYYY-MM-DD HH:MM`` (intervals of 2 min);
- ``mass``: tonnes over the interval (nominally 1,200 t/h, i.e. 40 t per row);
- ``CaO``, ``SiO2``, ``Al2O3``, ``Fe2O3``: per cent on a dry basis; ``H2O``: per cent as received.

How it is made (every draw from one seeded NumPy generator, values rounded before writing, so the
file is byte-identical whenever the script is run again):

- The chemistry follows a latent marl fraction m (0: pure high-grade limestone, 1: marl) through
  linear mixing lines (CaO 54 - 12 m, SiO2 2 + 14 m, Al2O3 0.6 + 4.4 m, Fe2O3 0.4 + 1.8 m).
- Shift-to-shift drift: each shift works a different bench, so m jumps at every shift change to a
  mean drawn for that shift; within a shift m wanders as an AR(1) process with a correlation
  length of about an hour. Each oxide adds its own analyser noise.
- A wet spell: rain from hour 28 to hour 34 raises the moisture from about 2 % to about 7 % (with
  exponential rise and drying) and slows the feed to about 70 % (sticky chutes).
- Outliers: six single-interval clay pockets (SiO2 and Al2O3 up, CaO down) and four analyser
  spikes, each in one oxide (a fixed factor: CaO x 0.85, SiO2 x 1.8, Al2O3 x 1.9, Fe2O3 x 2).
- The feed rate ramps down and up again over the twenty minutes around each shift change.

The second record, ``historian.csv``, is a day of the same kind of feed as a plant historian
exports it in a German locale (see `make_historian`): semicolons, decimal commas, Windows line
ends, local times ``dd.mm.yyyy HH:MM`` in Europe/Berlin across the autumn clock change (the hour
02:00-02:58 on 25.10.2026 comes twice), units in the headers, a few empty analyser cells, a feed
stop, a historian outage (a gap in time) and a two-hour analyser freeze.

Run it from the checkout root with the toolchain's Python: ``python3.14 scripts/make_sample_record.py``
(``--check`` compares with the shipped files instead of writing them).
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np

SEED = 20240304
START = np.datetime64("2024-03-04T06:00")
STEP_MINUTES = 2
SHIFTS = 6
SHIFT_HOURS = 8
RATE = 1200.0  # t/h
WET_FROM, WET_TO = 28.0, 34.0  # hours from the start
TARGET = Path(__file__).resolve().parent.parent / "src" / "pilora" / "data" / "limestone.csv"
HISTORIAN = TARGET.with_name("historian.csv")

# The historian's day: local times in Europe/Berlin, one row per two minutes of real time.
HISTORIAN_SEED = 20261025
HISTORIAN_START_UTC = np.datetime64("2026-10-24T16:00")  # 18:00 local (CEST, UTC+2)
HISTORIAN_ROWS = 25 * 30  # 25 hours of real time: the local day of 25.10.2026 lasts 25 hours
CLOCK_BACK_UTC = np.datetime64("2026-10-25T01:00")  # 03:00 CEST becomes 02:00 CET
STOP = (300, 323)  # rows without feed (46 minutes)
OUTAGE = (420, 435)  # rows the historian lost (30 minutes)
FREEZE = (520, 580)  # rows over which the analyser repeats one reading (2 hours)
EMPTY = ((37, "CaO"), (38, "CaO"), (150, "SiO2"), (262, "Fe2O3"), (641, "Al2O3"), (700, "H2O"))


def make_record() -> str:
    """The record as CSV text (header plus one line per interval, '\\n' line ends)."""
    rng = np.random.Generator(np.random.PCG64(SEED))
    per_shift = SHIFT_HOURS * 60 // STEP_MINUTES
    n = SHIFTS * per_shift
    hours = np.arange(n) * (STEP_MINUTES / 60.0)

    # Latent marl fraction: a mean per shift, AR(1) wander within (correlation length ~ 1 h).
    shift_means = rng.uniform(0.10, 0.55, SHIFTS)
    phi = np.exp(-STEP_MINUTES / 60.0)
    wander = np.empty(n)
    level = 0.0
    for i in range(n):
        if i % per_shift == 0:
            level = rng.normal(0.0, 0.06)
        level = phi * level + np.sqrt(1.0 - phi * phi) * rng.normal(0.0, 0.06)
        wander[i] = level
    marl = np.clip(np.repeat(shift_means, per_shift) + wander, 0.0, 1.0)

    cao = 54.0 - 12.0 * marl + rng.normal(0.0, 0.25, n)
    sio2 = 2.0 + 14.0 * marl + rng.normal(0.0, 0.20, n)
    al2o3 = 0.6 + 4.4 * marl + rng.normal(0.0, 0.08, n)
    fe2o3 = 0.4 + 1.8 * marl + rng.normal(0.0, 0.05, n)

    # Moisture: dry base level with slow variation, a wet spell with exponential rise and drying.
    h2o = 2.0 + 0.3 * np.sin(2.0 * np.pi * hours / 24.0) + rng.normal(0.0, 0.10, n)
    rise = np.clip(hours - WET_FROM, 0.0, WET_TO - WET_FROM)
    wet = 5.0 * (1.0 - np.exp(-rise / 1.5))
    drying = np.where(hours > WET_TO, np.exp(-(hours - WET_TO) / 3.0), 1.0)
    h2o += wet * drying

    # Feed rate: nominal with noise, slower while wet, ramped around the shift changes.
    mass = RATE * STEP_MINUTES / 60.0 * (1.0 + rng.normal(0.0, 0.05, n))
    mass *= np.where((hours >= WET_FROM) & (hours < WET_TO + 1.0), 0.7, 1.0)
    to_change = np.minimum(hours % SHIFT_HOURS, SHIFT_HOURS - hours % SHIFT_HOURS)
    mass *= np.where(to_change < 1.0 / 6.0, 0.4 + 0.6 * to_change * 6.0, 1.0)

    # Outliers: clay pockets (one interval each) and analyser spikes in a single oxide.
    for i in rng.choice(n, 6, replace=False):
        cao[i] -= rng.uniform(4.0, 8.0)
        sio2[i] += rng.uniform(5.0, 9.0)
        al2o3[i] += rng.uniform(2.0, 4.0)
    for i, (column, factor) in zip(rng.choice(n, 4, replace=False),
                                   ((cao, 0.85), (sio2, 1.8), (al2o3, 1.9), (fe2o3, 2.0))):
        column[i] *= factor

    stamps = START + np.arange(n) * np.timedelta64(STEP_MINUTES, "m")
    lines = ["time,mass,CaO,SiO2,Al2O3,Fe2O3,H2O"]
    for k in range(n):
        stamp = str(stamps[k]).replace("T", " ")
        lines.append(f"{stamp},{mass[k]:.2f},{cao[k]:.2f},{sio2[k]:.2f},{al2o3[k]:.3f},"
                     f"{fe2o3[k]:.3f},{h2o[k]:.2f}")
    return "\n".join(lines) + "\n"


def make_historian() -> str:
    """The historian's export as text (header plus one line per row, Windows line ends).

    25 hours from 24.10.2026 18:00 local time, one row per two minutes; the clock goes back at
    03:00 CEST (01:00 UTC) on 25.10.2026, so the local times 02:00 to 02:58 come twice, first in
    summer time. Columns ``Zeit`` (dd.mm.yyyy HH:MM, local), ``Tonnage [t]`` (per row, about
    1,100 t/h), ``CaO [%]``, ``SiO2 [%]``, ``Al2O3 [%]``, ``Fe2O3 [%]`` (dry basis) and
    ``H2O (%)``, with two decimals and a decimal comma, separated by semicolons. The chemistry
    follows an AR(1) marl fraction (correlation length about two hours) through the mixing lines
    of `make_record`. On top (rows of the file's data, from 0; the repeated hour is rows 240-299):
    a feed stop (rows 300-322: tonnage 0, the analyser still reading), a historian outage (30
    minutes missing between rows 419 and 420: a gap in time), an analyser freeze (rows 505-564:
    every oxide repeats row 504's reading for two hours) and six empty analyser cells.
    """
    rng = np.random.Generator(np.random.PCG64(HISTORIAN_SEED))
    n = HISTORIAN_ROWS
    phi = np.exp(-STEP_MINUTES / 120.0)
    marl = np.empty(n)
    level = rng.normal(0.0, 0.1)
    for i in range(n):
        level = phi * level + np.sqrt(1.0 - phi * phi) * rng.normal(0.0, 0.1)
        marl[i] = level
    marl = np.clip(0.3 + marl, 0.0, 1.0)
    oxides = {
        "CaO": 54.0 - 12.0 * marl + rng.normal(0.0, 0.25, n),
        "SiO2": 2.0 + 14.0 * marl + rng.normal(0.0, 0.20, n),
        "Al2O3": 0.6 + 4.4 * marl + rng.normal(0.0, 0.08, n),
        "Fe2O3": 0.4 + 1.8 * marl + rng.normal(0.0, 0.05, n),
    }
    h2o = 3.0 + 0.4 * np.sin(np.arange(n) * (2.0 * np.pi / 360.0)) + rng.normal(0.0, 0.1, n)
    tonnage = 1100.0 * STEP_MINUTES / 60.0 * (1.0 + rng.normal(0.0, 0.04, n))
    tonnage[STOP[0]:STOP[1]] = 0.0
    for column in oxides.values():
        column[FREEZE[0]:FREEZE[1]] = column[FREEZE[0] - 1]
    columns = {name: [f"{v:.2f}".replace(".", ",") for v in column] for name, column in oxides.items()}
    columns["H2O"] = [f"{v:.2f}".replace(".", ",") for v in h2o]
    for row, name in EMPTY:
        columns[name][row] = ""

    utc = HISTORIAN_START_UTC + np.arange(n) * np.timedelta64(STEP_MINUTES, "m")
    local = utc + np.where(utc < CLOCK_BACK_UTC, 2, 1) * np.timedelta64(1, "h")  # CEST, then CET
    lines = ["Zeit;Tonnage [t];CaO [%];SiO2 [%];Al2O3 [%];Fe2O3 [%];H2O (%)"]
    for k in range(n):
        if OUTAGE[0] <= k < OUTAGE[1]:
            continue
        stamp = local[k].astype(object)
        fields = [stamp.strftime("%d.%m.%Y %H:%M"), f"{tonnage[k]:.2f}".replace(".", ",")]
        fields += [columns[name][k] for name in ("CaO", "SiO2", "Al2O3", "Fe2O3", "H2O")]
        lines.append(";".join(fields))
    return "\r\n".join(lines) + "\r\n"


def main(argv: list[str] | None = None) -> int:
    """Writes the record (or, with --check, compares it with the shipped file); returns the exit status."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare with the shipped files, write nothing")
    parser.add_argument("--out", type=Path, default=TARGET, help=f"where to write the record (default {TARGET})")
    parser.add_argument("--historian-out", type=Path, default=HISTORIAN,
                        help=f"where to write the historian's export (default {HISTORIAN})")
    args = parser.parse_args(argv)
    status = 0
    for path, text in ((args.out, make_record()), (args.historian_out, make_historian())):
        if args.check:
            same = path.exists() and path.read_bytes() == text.encode("utf-8")
            print(f"{path}: {'identical' if same else 'DIFFERS'}")
            status |= 0 if same else 1
            continue
        path.write_bytes(text.encode("utf-8"))
        print(f"wrote {path} ({len(text.encode())} bytes, {text.count(chr(10)) - 1} rows)")
    return status


if __name__ == "__main__":
    sys.exit(main())
