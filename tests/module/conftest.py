"""Shared by the module tests: the hypothesis profiles and beds built from named settings."""

import os

import pytest
from hypothesis import HealthCheck, settings

from _pilora_lib import PiloraLib

# HYPOTHESIS_PROFILE=long runs many more examples (and longer call sequences) than the default.
SLOW = [HealthCheck.too_slow, HealthCheck.data_too_large]
for profile, examples, steps in [("default", 300, 25), ("long", 2000, 60)]:
    settings.register_profile(profile, max_examples=examples, stateful_step_count=steps,
                              deadline=None, suppress_health_check=SLOW)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

# A linear strip of ten unit cells along x and one along z with a vertical reclaim face: every
# chunk (volume 1, height 1) is booked into the slice of its own column, and reclaiming steps
# one slice at a time. Dropped at x = 0, chunks can only slide towards +x, so the heap is forced.
STRIP = {"bed_size_x": 10.0, "bed_size_z": 1.0, "reclaim_angle": 90.0,
         "particles_per_volume_unit": 1.0, "circular": False, "eight_neighbour_probability": 0.5,
         "stored_setting_a": 0.0, "stored_setting_b": 0.0, "detailed": False,
         "reclaim_increment": 1.0}


@pytest.fixture
def make_bed():
    """make_bed(**overrides) -> a PiloraLib built from STRIP with the given settings replaced."""
    return lambda **overrides: PiloraLib(*{**STRIP, **overrides}.values())
