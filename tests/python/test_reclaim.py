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


def stack_random(bed, rng, bed_size_x, bed_size_z, portions=40, constant=0.7):
    """Stacks random portions, half through stack and half through stack_list, with a constant
    parameter "c" and a random parameter "r"; returns the stacked volume."""
    x = rng.uniform(0.0, bed_size_x, portions)
    z = rng.uniform(0.0, bed_size_z, portions)
    volume = rng.uniform(0.01, 3.0, portions)
    r = rng.normal(size=portions)
    half = portions // 2
    for row in range(half):
        bed.stack(0.0, x[row], z[row], volume[row], [constant, r[row]])
    table = np.column_stack([x, z, volume, np.full(portions, constant), r])[half:]
    bed.stack_list(table, NAMES + ["c", "r"])
    return volume.sum()


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


def test_x_column_holds_running_single_precision_sums(make_bed):
    xs = make_bed(reclaim_increment=0.1).reclaim()["x"]
    assert xs[:4] == [0.0, 0.10000000149011612, 0.20000000298023224, 0.30000001192092896]
    assert len(xs) == 96


@pytest.mark.parametrize("bed", BEDS.values(), ids=BEDS.keys())
def test_each_unit_step_reclaims_one_slice(make_bed, height_field, bed):
    overrides, slices, cell, chunk = bed
    lib = make_bed(reclaim_increment=cell, **overrides)
    stack_random(lib, np.random.default_rng(11), slices * cell, 3.0)
    columns = height_field(lib).sum(axis=0) / cell * chunk
    result = lib.reclaim()
    assert result["x"] == [i * cell for i in range(slices + 1)]
    assert result["volume"] == [0.0, *columns]


@pytest.mark.parametrize("bed", BEDS.values(), ids=BEDS.keys())
def test_an_increment_beyond_the_bed_reclaims_everything_in_one_step(make_bed, height_field, bed):
    overrides, slices, cell, chunk = bed
    lib = make_bed(reclaim_increment=25.0, **overrides)
    stack_random(lib, np.random.default_rng(12), slices * cell, 3.0)
    result = lib.reclaim()
    assert result["x"] == [0.0, 25.0]
    total = height_field(lib).sum() / cell * chunk
    assert result["volume"] == [0.0, pytest.approx(total, rel=1e-12)]


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


@pytest.mark.parametrize("increment", [0.25, 0.3, 0.7, 1.0, 2.0])
@pytest.mark.parametrize("bed", BEDS.values(), ids=BEDS.keys())
def test_stacked_volume_is_reclaimed_buffered_or_left_in_the_last_slice(make_bed, height_field,
                                                                         bed, increment):
    overrides, slices, cell, chunk = bed
    lib = make_bed(reclaim_increment=increment, **overrides)
    stacked = stack_random(lib, np.random.default_rng(13), slices * cell, 3.0)
    h = height_field(lib) / cell * chunk  # volume per column
    buffered = stacked - h.sum()
    assert -1e-9 <= buffered < chunk + 1e-9
    before = lib.get_heights()
    result = lib.reclaim()
    # Reclaiming stops once the position passes the middle of the last slice; the part of that
    # slice beyond the last position stays in the bed.
    left = max(0.0, slices - result["x"][-1] / cell)
    assert left <= 0.5
    tail = left * h[:, -1].sum()
    assert sum(result["volume"]) + buffered + tail == pytest.approx(stacked, rel=1e-12)
    assert lib.get_heights() == before  # reclaiming leaves the heap standing


@pytest.mark.parametrize("constant", [0.7, -2.5, 1e6])
@pytest.mark.parametrize("increment", [0.3, 1.0])
def test_averages_are_volume_weighted_and_zero_for_empty_steps(make_bed, constant, increment):
    bed = make_bed(bed_size_z=3.0, reclaim_increment=increment)
    stack_random(bed, np.random.default_rng(14), 3.0, 3.0, portions=10, constant=constant)
    result = bed.reclaim()
    assert list(result) == ["x", "volume", "c", "r"]
    for volume, c, r in zip(result["volume"], result["c"], result["r"]):
        if volume > 0.0:
            assert c == pytest.approx(constant, rel=1e-12)
        else:
            assert (c, r) == (0.0, 0.0)
    assert result["volume"][0] == 0.0


def test_one_slice_returns_the_weighted_average_of_its_material(make_bed):
    bed = make_bed(bed_size_x=1.0)
    bed.stack_list(np.array([[0.0, 0.0, 1.0, 2.0, -1.0], [0.0, 0.0, 3.0, 6.0, 3.0]]),
                   NAMES + ["p", "q"])
    assert bed.reclaim() == {"x": [0.0, 1.0], "volume": [0.0, 4.0], "p": [0.0, 5.0],
                             "q": [0.0, 2.0]}


def test_sums_without_names_are_not_reported(make_bed):
    bed = make_bed()
    bed.stack(0.0, 3.0, 0.0, 2.0, [5.0, 6.0])
    result = bed.reclaim()
    assert list(result) == ["x", "volume"]
    assert sum(result["volume"]) == 2.0


def test_names_without_material_report_zeros(make_bed):
    bed = make_bed(reclaim_increment=2.5)
    bed.stack_list(np.empty((0, 6)), ["timestamp", "a", *NAMES, "b"])
    assert bed.reclaim() == {"x": [0.0, 2.5, 5.0, 7.5, 10.0], "volume": [0.0] * 5,
                             "a": [0.0] * 5, "b": [0.0] * 5}


def test_a_bed_without_slices_returns_no_rows(make_bed):
    bed = make_bed(bed_size_x=0.4)
    bed.stack_list(np.empty((0, 4)), NAMES + ["a"])
    assert bed.reclaim() == {"x": [], "volume": [], "a": []}


def test_a_bed_is_reclaimed_once(make_bed):
    bed = make_bed(bed_size_z=3.0)
    stack_random(bed, np.random.default_rng(15), 10.0, 3.0)
    assert len(bed.reclaim()["x"]) == 11
    bed.stack(0.0, 5.0, 1.0, 4.0, [1.0, 1.0])  # stacked after the end was reached: never reported
    assert bed.reclaim() == {"x": [], "volume": [], "c": [], "r": []}


@pytest.mark.parametrize("increment", [1e-7, 5e-8])
def test_an_increment_that_stalls_before_the_end_is_refused(make_bed, increment):
    # x + 1e-7 == x in single precision from x = 2 on, 5e-8 from x = 1 on; the end is at 9.5.
    bed = make_bed(reclaim_increment=increment)
    bed.stack(0.0, 0.0, 0.0, 10.0, [])
    for _ in range(2):
        with pytest.raises(ValueError, match="reclaim_increment"):
            bed.reclaim()
    assert bed.get_heights() == [[4.0, 3.0, 2.0, 1.0] + [0.0] * 6]
