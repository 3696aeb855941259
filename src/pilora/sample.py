"""The sample quality record shipped with the package: a synthetic crushed-limestone feed.

Two days (six eight-hour shifts) of a belt weigher and cross-belt analyser, one row per two
minutes: ``time`` (interval start, local time), ``mass`` (t over the interval, about 1,200 t/h),
``CaO``, ``SiO2``, ``Al2O3``, ``Fe2O3`` (per cent, dry basis) and ``H2O`` (per cent, as
received); about 54,000 t in all. It shows shift-to-shift drift (each shift works another bench),
a wet spell (hours 28 to 34: more moisture, slower feed) and a handful of outliers (clay pockets,
analyser spikes). The checkout's ``scripts/make_sample_record.py`` makes it from a fixed seed and
documents every step; the `pilora` command runs on it when no record is given.

A second sample, ``"historian"``, is a day of the same kind of feed as a plant historian exports it
(semicolons, decimal commas, local times in Europe/Berlin across the autumn clock change, units in
the headers, empty cells, a feed stop, a gap and a two-hour analyser freeze); see
`sample_record_path` for the call that reads it.
"""

from __future__ import annotations

from importlib import resources
from pathlib import Path

from .record import Record, read_record

__all__ = ["HISTORIAN_KEYWORDS", "SAMPLE_BULK_DENSITY", "SAMPLES", "sample_record", "sample_record_path"]

SAMPLE_BULK_DENSITY = 1.5
"""Bulk density of the sample's crushed limestone on the bed, t/m³ (turns its masses into volumes)."""


#: The shipped samples: name -> file in the package's data folder.
SAMPLES = {"limestone": "limestone.csv", "historian": "historian.csv"}

#: How the historian sample is read (besides its path): ``read_record(sample_record_path("historian"),
#: **HISTORIAN_KEYWORDS)``.
HISTORIAN_KEYWORDS: dict[str, object] = {
    "time": "Zeit",
    "mass": "Tonnage [t]",
    "bulk_density": SAMPLE_BULK_DENSITY,
    "timezone": "Europe/Berlin",
    "missing": "interpolate",
}


def sample_record_path(name: str = "limestone") -> Path:
    """Path of a sample record's CSV file inside the installed package.

    ``"limestone"`` (the default): the plain sample, read by `sample_record`.
    ``"historian"``: a historian's export of 25 hours from 24.10.2026 18:00 local time
    (``Zeit;Tonnage [t];CaO [%];SiO2 [%];Al2O3 [%];Fe2O3 [%];H2O (%)``, times
    ``dd.mm.yyyy HH:MM`` in Europe/Berlin, the hour 02:00-02:58 of 25.10.2026 twice, decimal
    commas, six empty cells, a feed stop, a 30-minute gap, a two-hour analyser freeze). Read it
    with::

        read_record(sample_record_path("historian"), time="Zeit", mass="Tonnage [t]",
                    bulk_density=1.5, timezone="Europe/Berlin", missing="interpolate")

    or from the command: ``pilora run HISTORIAN.csv --time Zeit --mass "Tonnage [t]"
    --bulk-density 1.5 --timezone Europe/Berlin --missing interpolate --derived LSF``.
    """
    if name not in SAMPLES:
        raise ValueError(f"no sample record {name!r}: the samples are {', '.join(map(repr, SAMPLES))}")
    return Path(str(resources.files(__package__).joinpath("data", SAMPLES[name])))


def sample_record(name: str = "limestone", **keywords: object) -> Record:
    """A sample record: ``"limestone"`` with its masses turned into volumes at
    :data:`SAMPLE_BULK_DENSITY`, or ``"historian"`` read as `sample_record_path` shows. Further
    keywords go to `read_record` (``derived=["LSF"]``, say)."""
    if name == "historian":
        return read_record(sample_record_path(name), **{**HISTORIAN_KEYWORDS, **keywords})  # type: ignore[arg-type]
    return read_record(sample_record_path(name), **{"time": "time", "mass": "mass",  # type: ignore[arg-type]
                                                    "bulk_density": SAMPLE_BULK_DENSITY, **keywords})
