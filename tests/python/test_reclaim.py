"""Reclaiming a bed: the rows of the returned table, their positions, volumes and averages, and
the conservation of material from stacking to reclaiming."""

import numpy as np
import pytest

NAMES = ["x", "z", "volume"]

# Beds with a vertical reclaim face (slice i holds the chunks of column i), with the number of
# slices, the cell size and the chunk volume.
BEDS = {
    "strip": ({}, 10, 1.0, 1.0),
    "wide": ({"bed_size_z": 3.0}, 10, 1.0, 1.0),
    "fine": ({"bed_size_x": 5.0, "bed_size_z": 2.0, "particles_per_volume_unit": 8.0}, 10, 0.5,
             0.125),
}


def f32_sum(a, b):
    return float(np.float32(a) + np.float32(b))


def stack_random(bed, rng, size_x, portions=40):
    """Stacks random portions with parameters c (constant) and r, half through stack, half
    through stack_list; returns the stacked volume."""
    table = np.column_stack([rng.uniform(0.0, size_x, portions), rng.uniform(0.0, 3.0, portions),
                             rng.uniform(0.01, 3.0, portions), np.full(portions, 0.7),
                             rng.normal(size=portions)])
    for x, z, volume, c, r in table[: portions // 2]:
        bed.stack(0.0, x, z, volume, [c, r])
    bed.stack_list(table[portions // 2:], NAMES + ["c", "r"])
    return table[:, 2].sum()


@pytest.mark.parametrize("increment", [0.1, 0.25, 0.3, 1.0, 3.0, 9.5, 100.0, 0.001])
@pytest.mark.parametrize(
    "overrides, end",
    [({}, 9.5), ({"bed_size_x": 5.0, "particles_per_volume_unit": 8.0}, 4.75),
     ({"bed_size_z": 4.0, "circular": True}, 5.5)],
    ids=["strip", "fine", "circular"],
)
def test_rows_step_by_the_single_precision_increment_to_the_last_slice_middle(
        make_bed, increment, overrides, end):
    result = make_bed(reclaim_increment=increment, **overrides).reclaim()
    xs = result["x"]
    assert list(result) == ["x", "volume"]
    assert xs[0] == 0.0
    assert all(b == f32_sum(a, increment) for a, b in zip(xs, xs[1:]))
    assert all(x < end for x in xs[:-1]) and xs[-1] >= end
    assert result["volume"] == [0.0] * len(xs)


@pytest.mark.parametrize(
    "angle, volumes",
    [(90.0, [4, 3, 2, 1]), (89.995, [4, 3, 2, 1]), (45.0, [6, 2, 1, 1]), (30.0, [7, 1, 1, 1]),
     (0.0, [10]), (135.0, [0] * 9 + [10])],
)
def test_reclaim_face_books_chunks_back_by_height_over_slope(make_bed, angle, volumes):
    bed = make_bed(reclaim_angle=angle)
    bed.stack(0.0, 0.0, 0.0, 10.0, [])  # the forced staircase 4, 3, 2, 1
    assert bed.reclaim()["volume"] == [0.0] + [float(v) for v in volumes] + [0.0] * (
        10 - len(volumes))


@pytest.mark.parametrize("steps", [0.25, 0.3, 0.7, 1.0, 2.0, 25.0])
@pytest.mark.parametrize("bed", BEDS.values(), ids=BEDS.keys())
def test_stacked_volume_is_reclaimed_buffered_or_left_in_the_last_slice(make_bed, height_field,
                                                                         bed, steps):
    overrides, slices, cell, chunk = bed
    lib = make_bed(reclaim_increment=steps * cell, **overrides)
    stacked = stack_random(lib, np.random.default_rng(13), slices * cell)
    h = height_field(lib) / cell * chunk  # volume per column
    buffered = stacked - h.sum()
    assert -1e-9 <= buffered < chunk + 1e-9
    before = lib.get_heights()
    result = lib.reclaim()
    if steps == 1.0:  # each step reclaims one slice
        assert result["x"] == [i * cell for i in range(slices + 1)]
        assert result["volume"] == [0.0, *h.sum(axis=0)]
    elif steps == 25.0:  # beyond the bed: everything in one step
        assert result["x"] == [0.0, 25.0 * cell]
    # Reclaiming stops once the position passes the middle of the last slice; the part of that
    # slice beyond the last position stays in the bed.
    left = max(0.0, slices - result["x"][-1] / cell)
    assert left <= 0.5
    tail = left * h[:, -1].sum()
    assert sum(result["volume"]) + buffered + tail == pytest.approx(stacked, rel=1e-12)
    assert lib.get_heights() == before  # reclaiming leaves the heap standing


def test_one_slice_returns_the_weighted_average_of_its_material(make_bed):
    bed = make_bed(bed_size_x=1.0)
    bed.stack_list(np.array([[0.0, 0.0, 1.0, 2.0, -1.0], [0.0, 0.0, 3.0, 6.0, 3.0]]),
                   NAMES + ["p", "q"])
    assert bed.reclaim() == {"x": [0.0, 1.0], "volume": [0.0, 4.0], "p": [0.0, 5.0],
                             "q": [0.0, 2.0]}


@pytest.mark.parametrize(
    "overrides, stack, expected",
    [
        pytest.param({"bed_size_x": 1.0}, lambda bed: bed.stack(0.0, 0.0, 0.0, 2.0, [5.0, 6.0]),
                     {"x": [0.0, 1.0], "volume": [0.0, 2.0]}, id="sums-without-names"),
        pytest.param({"reclaim_increment": 2.5},
                     lambda bed: bed.stack_list(np.empty((0, 6)), ["timestamp", "a", *NAMES, "b"]),
                     {"x": [0.0, 2.5, 5.0, 7.5, 10.0], "volume": [0.0] * 5, "a": [0.0] * 5,
                      "b": [0.0] * 5}, id="names-without-material"),
        pytest.param({"bed_size_x": 0.4},
                     lambda bed: bed.stack_list(np.empty((0, 4)), NAMES + ["a"]),
                     {"x": [], "volume": [], "a": []}, id="no-slices"),
    ],
)
def test_reported_columns_are_the_recorded_names(make_bed, overrides, stack, expected):
    bed = make_bed(**overrides)
    stack(bed)
    assert bed.reclaim() == expected


@pytest.mark.parametrize("increment", [1e-7, 5e-8])
def test_an_increment_that_stalls_before_the_end_is_refused(make_bed, increment):
    # x + 1e-7 == x in single precision from x = 2 on, 5e-8 from x = 1 on; the end is at 9.5.
    bed = make_bed(reclaim_increment=increment)
    bed.stack(0.0, 0.0, 0.0, 10.0, [])
    for _ in range(2):
        with pytest.raises(ValueError, match="reclaim_increment"):
            bed.reclaim()
    assert bed.get_heights() == [[4.0, 3.0, 2.0, 1.0] + [0.0] * 6]
