"""The sample quality record shipped with the package: a synthetic crushed-limestone feed.

Two days (six eight-hour shifts) of a belt weigher and cross-belt analyser, one row per two
minutes: ``time`` (interval start, local time), ``mass`` (t over the interval, about 1,200 t/h),
``CaO``, ``SiO2``, ``Al2O3``, ``Fe2O3`` (per cent, dry basis) and ``H2O`` (per cent, as
received); about 54,000 t in all. It shows shift-to-shift drift (each shift works another bench),
a wet spell (hours 28 to 34: more moisture, slower feed) and a handful of outliers (clay pockets,
analyser spikes). The checkout's ``scripts/make_sample_record.py`` makes it from a fixed seed and
documents every step; the `pilora` command runs on it when no record is given.
"""

from __future__ import annotations

from importlib import resources
from pathlib import Path

from .record import Record, read_record

__all__ = ["SAMPLE_BULK_DENSITY", "sample_record", "sample_record_path"]

SAMPLE_BULK_DENSITY = 1.5
"""Bulk density of the sample's crushed limestone on the bed, t/m³ (turns its masses into volumes)."""


def sample_record_path() -> Path:
    """Path of the sample record's CSV file inside the installed package."""
    return Path(str(resources.files(__package__).joinpath("data", "limestone.csv")))


def sample_record() -> Record:
    """The sample record, read with its masses turned into volumes at :data:`SAMPLE_BULK_DENSITY`."""
    return read_record(sample_record_path(), time="time", mass="mass", bulk_density=SAMPLE_BULK_DENSITY)
