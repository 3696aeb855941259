"""Writes the sample quality record shipped with the package: src/pilora/data/limestone.csv.

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

Run it from the checkout root with the toolchain's Python: ``python3.14 scripts/make_sample_record.py``
(``--check`` compares with the shipped file instead of writing it).
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


def main(argv: list[str] | None = None) -> int:
    """Writes the record (or, with --check, compares it with the shipped file); returns the exit status."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare with the shipped file, write nothing")
    parser.add_argument("--out", type=Path, default=TARGET, help=f"where to write (default {TARGET})")
    args = parser.parse_args(argv)
    text = make_record()
    if args.check:
        same = args.out.read_text(encoding="utf-8") == text
        print(f"{args.out}: {'identical' if same else 'DIFFERS'}")
        return 0 if same else 1
    args.out.write_text(text, encoding="utf-8", newline="\n")
    print(f"wrote {args.out} ({len(text.encode())} bytes, {text.count(chr(10)) - 1} rows)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
