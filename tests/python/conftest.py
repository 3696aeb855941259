"""Fixtures shared by the module tests: beds built from named settings."""

import numpy as np
import pytest

from _pilora_lib import PiloraLib

SETTING_NAMES = (
    "bed_size_x",
    "bed_size_z",
    "reclaim_angle",
    "particles_per_volume_unit",
    "circular",
    "eight_neighbour_probability",
    "stored_setting_a",
    "stored_setting_b",
    "detailed",
    "reclaim_increment",
)

# A linear strip of ten unit cells along x and one along z with a vertical reclaim face: every
# chunk (volume 1, height 1) is booked into the slice of its own column, and reclaiming steps
# one slice at a time. Dropped at x = 0, chunks can only slide towards +x, so the heap is forced.
STRIP = {
    "bed_size_x": 10.0,
    "bed_size_z": 1.0,
    "reclaim_angle": 90.0,
    "particles_per_volume_unit": 1.0,
    "circular": False,
    "eight_neighbour_probability": 0.5,
    "stored_setting_a": 0.0,
    "stored_setting_b": 0.0,
    "detailed": False,
    "reclaim_increment": 1.0,
}


@pytest.fixture
def bed_settings():
    """bed_settings(**overrides) -> the ten positional constructor arguments, STRIP by default."""

    def build(**overrides):
        assert overrides.keys() <= STRIP.keys(), overrides.keys() - STRIP.keys()
        return [overrides.get(name, STRIP[name]) for name in SETTING_NAMES]

    return build


@pytest.fixture
def make_bed(bed_settings):
    """make_bed(**overrides) -> a PiloraLib built from bed_settings(**overrides)."""

    def build(**overrides):
        return PiloraLib(*bed_settings(**overrides))

    return build


@pytest.fixture
def height_field():
    """height_field(bed) -> the bed's height field as a (grid_nz, grid_nx) float64 array."""

    def read(bed):
        rows = bed.get_heights()
        return np.array(rows, dtype=np.float64).reshape(len(rows), -1 if rows and rows[0] else 0)

    return read
