"""Stacking plans: the geometry of every plan, end cones, the bed's settings, and refusals."""

import math
import pickle

import numpy as np
import pandas as pd
import pytest

import pilora._native
import pilora.plans
from pilora.control import ControlPoints
from pilora.plans import Chevcon, Chevron, ConeShell, Plan, PlanError, Strata, Windrow
from pilora.record import Record
from pilora.settings import BedSettings

BED = BedSettings(200.0, 40.0, chunks_per_volume_unit=1.0)  # 1 m cells
RING = BedSettings(120.0, 100.0, circular=True)


def make_record(rows: int = 400, seed: int = 3) -> Record:
    """Irregular steps and volumes, so that intervals differ in length and size."""
    rng = np.random.default_rng(seed)
    return Record.from_frame(
        pd.DataFrame(
            {
                "time": np.cumsum(rng.uniform(0.02, 0.1, rows)),
                "volume": rng.uniform(0.0, 30.0, rows),
                "cao": rng.normal(42.0, 2.0, rows),
                "sio2": rng.normal(13.0, 1.0, rows),
            }
        )
    )


RECORD = make_record()

LINEAR = [
    Chevron(layers=7),
    Chevron(speed=2.5, start=180.0, end=15.0, lane=12.0),
    Windrow(rows=4, layers=5),
    Windrow(rows=3, speed=8.0, spacing=9.0, valleys=False, order=(2, 0, 1), start=5.0, end=195.0),
    Strata(swing_period=7.0, layers=9, swing_width=30.0, lane=18.0),
    ConeShell(step=6.0, first=10.0, last=190.0),
]


@pytest.mark.parametrize("plan", [*LINEAR, Chevcon(tail=30.0, swings=40)], ids=repr)
def test_portions_lie_on_the_path_and_hold_the_record(plan: Plan) -> None:
    bed = RING if isinstance(plan, Chevcon) else BED
    portions = plan.portions(RECORD, bed)
    assert list(portions.columns) == ["time", "x", "z", "volume", "cao", "sio2"]
    assert portions["volume"].sum() == pytest.approx(RECORD.total_volume, rel=1e-12)
    assert portions["x"].between(0.0, bed.length).all() and portions["z"].between(0.0, bed.width).all()
    assert portions["time"].is_monotonic_increasing
    x, z = plan.stacker_position(portions["time"].to_numpy(), RECORD, bed)
    np.testing.assert_array_equal(portions["x"], x)
    np.testing.assert_array_equal(portions["z"], z)
    # Each interval's volume and quality stay with it: the pieces fall in the interval's time.
    frame = RECORD.frame
    row = np.searchsorted(frame["time"].to_numpy(), portions["time"].to_numpy(), side="right") - 1
    np.testing.assert_allclose(portions.groupby(row)["volume"].sum(), frame["volume"], rtol=1e-12, atol=1e-12)
    np.testing.assert_array_equal(portions["cao"], frame["cao"].to_numpy()[row])
    # Neighbouring pieces of a moving stacker lie about a cell apart (cone shell: a step apart;
    # windrow: a row apart across the bed).
    dz = 0.0 if isinstance(plan, Windrow) else np.diff(portions["z"])
    gaps = np.hypot(np.diff(portions["x"]), dz)
    limit = 6.0 if isinstance(plan, ConeShell) else 3 * bed.cell_size
    assert gaps.max() <= limit + 1e-9


def test_a_coarser_spacing_gives_fewer_pieces() -> None:
    record = make_record(20)
    fine = Chevron(layers=4).portions(record, BED)
    coarse = Chevron(layers=4).portions(record, BED, spacing=10.0)
    assert len(fine) == pytest.approx(4 * 200, rel=0.05) and len(coarse) == pytest.approx(80, rel=0.2)
    assert coarse["volume"].sum() == pytest.approx(record.total_volume, rel=1e-12)


def pass_ends(x: np.ndarray) -> np.ndarray:
    """Positions where the travel along x turns round."""
    dx = np.sign(np.diff(x))
    dx = dx[dx != 0]
    return np.count_nonzero(dx[1:] != dx[:-1])


@pytest.mark.parametrize("layers", [1, 2, 7, 30])
def test_chevron_layers_and_reversal_points(layers: int) -> None:
    plan = Chevron(layers=layers, start=20.0, end=170.0)
    t = np.linspace(0.0, RECORD.duration, 20001)
    x, z = plan.stacker_position(t, RECORD, BED)
    assert pass_ends(x) == layers - 1
    assert x.min() == pytest.approx(20.0, abs=0.5) and x.max() == pytest.approx(170.0, abs=0.5)
    assert np.all(z == 20.0)
    # At whole passes the stacker is at a reversal point: start after even passes, end after odd.
    ends = plan.stacker_position(np.linspace(0.0, RECORD.duration, layers + 1), RECORD, BED)[0]
    np.testing.assert_allclose(ends, np.where(np.arange(layers + 1) % 2 == 0, 20.0, 170.0), atol=1e-9)
    assert plan.passes(RECORD, BED) == layers


def test_chevron_speed_sets_the_layers() -> None:
    # n = v T / L: 1.5 m/min for the record's hours over a 100 m pass.
    plan = Chevron(speed=1.5, start=50.0, end=150.0)
    assert plan.passes(RECORD, BED) == pytest.approx(1.5 * 60 * RECORD.duration / 100.0)
    x0, _ = plan.stacker_position([0.0, 1.0], RECORD, BED)
    assert x0[1] - x0[0] == pytest.approx(90.0)


def test_windrow_rows_lie_at_their_places_across_the_bed() -> None:
    plan = Windrow(rows=4, layers=4)  # rows 5, 15, 25, 35 m; valleys at 10, 20, 30 m
    full, valleys = plan.row_positions(BED)
    np.testing.assert_allclose(full, [5.0, 15.0, 25.0, 35.0])
    np.testing.assert_allclose(valleys, [10.0, 20.0, 30.0])
    assert plan.passes(RECORD, BED) == 14
    pass_time = RECORD.duration / 14
    middles = (np.arange(14) + 0.5) * pass_time
    _, z = plan.stacker_position(middles, RECORD, BED)
    np.testing.assert_allclose(z, [5, 15, 25, 35, 30, 20, 10, 5, 15, 25, 35, 30, 20, 10])
    portions = plan.portions(RECORD, BED)
    assert set(np.round(portions["z"], 9)) == {5.0, 10.0, 15.0, 20.0, 25.0, 30.0, 35.0}


def test_windrow_order_without_valleys() -> None:
    plan = Windrow(rows=3, layers=2, spacing=12.0, valleys=False, order=(1, 0, 2))
    middles = (np.arange(6) + 0.5) * RECORD.duration / 6
    _, z = plan.stacker_position(middles, RECORD, BED)
    np.testing.assert_allclose(z, [20, 8, 32, 20, 8, 32])


def test_strata_swing_stays_within_its_width() -> None:
    plan = Strata(swing_period=12.0, swing_width=24.0, lane=16.0, layers=5)
    portions = plan.portions(RECORD, BED)
    assert portions["z"].min() == pytest.approx(4.0, abs=0.5) and portions["z"].max() == pytest.approx(28.0, abs=0.5)
    # The swing: low end at time 0, high end half a period later, back after a period.
    _, z = plan.stacker_position(np.array([0.0, 0.1, 0.2, 0.05]), RECORD, BED)
    np.testing.assert_allclose(z, [4.0, 28.0, 4.0, 16.0], atol=1e-9)
    x, _ = plan.stacker_position(np.linspace(0, RECORD.duration, 5001), RECORD, BED)
    assert pass_ends(x) == 4


@pytest.mark.parametrize(
    ("ratio", "repeat", "resonant"),
    [(10.0, 1, True), (7.5, 1, True), (6.25, 3, False), (math.pi, None, False), (math.e, None, False)],
)
def test_strata_resonance_finds_repeating_tracks(ratio: float, repeat: int | None, resonant: bool) -> None:
    layers = 8
    pass_minutes = RECORD.duration * 60 / layers
    plan = Strata(swing_period=pass_minutes / ratio, layers=layers)
    found = plan.resonance(RECORD, BED, tolerance=0.02)
    assert found.ratio == pytest.approx(ratio)
    assert (found.repeat, found.resonant) == (repeat, resonant)
    if repeat is not None:
        # The repeating pass drops its material on pass 0's track.
        pass_time = RECORD.duration / layers
        s = np.linspace(0.0, pass_time, 50)
        later = repeat * pass_time + (pass_time - s if repeat % 2 else s)
        first = plan.stacker_position(s, RECORD, BED)
        again = plan.stacker_position(later, RECORD, BED)
        np.testing.assert_allclose(again[0], first[0], atol=1e-6)
        np.testing.assert_allclose(again[1], first[1], atol=0.1 * BED.width)


def test_cone_shell_steps_after_equal_volumes() -> None:
    plan = ConeShell(step=20.0, first=10.0, last=190.0)
    positions = plan.positions(BED)
    np.testing.assert_allclose(positions, np.arange(10.0, 191.0, 20.0))
    portions = plan.portions(RECORD, BED)
    assert set(portions["x"]) == set(positions) and portions["x"].is_monotonic_increasing
    per_cone = portions.groupby("x")["volume"].sum()
    largest = RECORD.frame["volume"].max()
    np.testing.assert_allclose(per_cone, RECORD.total_volume / 10, atol=largest)
    assert plan.passes(RECORD, BED) == 1


def test_cone_shell_with_a_cone_volume_uses_the_first_positions() -> None:
    per = RECORD.total_volume / 3.5
    portions = ConeShell(step=10.0, cone_volume=per, first=0.0, last=200.0).portions(RECORD, BED)
    assert sorted(set(portions["x"])) == [0.0, 10.0, 20.0, 30.0]


def test_chevcon_swings_on_the_ring_and_advances() -> None:
    plan = Chevcon(tail=25.0, swings=30, radius=20.0, start=5.0)
    portions = plan.portions(RECORD, RING)
    cx, cz = RING.centre
    np.testing.assert_allclose(np.hypot(portions["x"] - cx, portions["z"] - cz), 20.0)
    t = np.linspace(0.0, RECORD.duration, 30001)
    s = plan.along(t, RECORD, RING)
    advance = (RING.arc_length - 5.0 - 25.0) / 30
    # The tail ends at the arc's end with the record; the last swing runs back from it.
    assert s.min() == pytest.approx(5.0) and s.max() == pytest.approx(RING.arc_length - advance, abs=0.01)
    assert pass_ends(s) == 29
    # Along the arc, the angle around the centre follows the slices' count: theta = pi (1 - 2 s / arc).
    x, z = plan.stacker_position(t, RECORD, RING)
    theta = np.pi * (1.0 - 2.0 * s / RING.arc_length)
    np.testing.assert_allclose(x, cx + 20.0 * np.cos(theta), atol=1e-9)
    np.testing.assert_allclose(z, cz + 20.0 * np.sin(theta), atol=1e-9)
    # The window of the swings advances by `advance` per swing; even swings run forward over it.
    k = np.arange(31)
    turns = plan.along(np.linspace(0.0, RECORD.duration, 31), RECORD, RING)
    np.testing.assert_allclose(turns, 5.0 + advance * k + 25.0 * (k % 2))
    assert plan.passes(RECORD, RING) == 30 and plan.end_cones(RECORD, RING) == ()


def test_chevcon_swing_speed() -> None:
    plan = Chevcon(tail=20.0, swing_speed=1.0, advance=0.1)
    assert plan.passes(RECORD, RING) == pytest.approx(RECORD.duration * 60.0 / 20.0)
    # Too slow for one swing of the tail over the stacking hours: refused, naming the least.
    slowest = 20.0 / (60.0 * RECORD.duration)
    with pytest.raises(PlanError, match=f"swings 0.9 of one 20 m swing.*at least {slowest:.4g} m/min") as caught:
        Chevcon(tail=20.0, swing_speed=0.9 * slowest).passes(RECORD, RING)
    assert caught.value.parameter == "swing_speed"


def small(volume: float) -> Record:
    return Record.from_frame(pd.DataFrame({"time": [0.0, 1.0], "volume": [volume / 2, volume / 2]}))


@pytest.mark.parametrize(
    ("bed", "plan", "volume", "cones"),
    [
        # 2000 m³ dropped evenly over 80 m: a section of 25 m², a crest of 5 m at 45 degrees. The
        # full section begins one cone radius (5 m) inside the reversal points; a 45 degree face
        # reaches 5 m forward over the far cone.
        (BedSettings(100, 20), Chevron(layers=3, start=10.0, end=90.0), 2000.0, ((0.0, 15.0), (80.0, 100.0))),
        (BedSettings(100, 20, reclaim_angle=90.0), Chevron(layers=3, start=10.0, end=90.0), 2000.0,
         ((0.0, 15.0), (85.0, 100.0))),
        # A 30 degree repose, 1 chunk per m³: 1.2 m cells, 83 slices; a 3.80 m crest, 6.58 m radius.
        (BedSettings(100, 20, repose_angle=30.0, chunks_per_volume_unit=1.0), Chevron(layers=3, start=10.0, end=90.0),
         2000.0, ((0.0, 16.5804), (79.6205, 83 * 1.2009369134902954))),
        # From edge to edge: the heap stands against them; the first slice (1 m) takes in the wedge
        # in front of the face. 2500 m³ over 100 m: a 5 m crest.
        (BedSettings(100, 20, chunks_per_volume_unit=1.0), Chevron(layers=3, start=0.0, end=100.0), 2500.0,
         ((0.0, 1.0), (95.0, 100.0))),
        # 20000 m³ over 80 m overfill the 100 m² roof by 150 m²: 7.5 m more against the side edges.
        (BedSettings(100, 20), Chevron(layers=3, start=10.0, end=90.0), 20000.0, ((0.0, 27.5), (55.0, 100.0))),
        # Passes from 90 to 30 m: 2000 m³ over 60 m, a 5.77 m crest.
        (BedSettings(100, 20), Strata(swing_period=5.0, layers=3, start=90.0, end=30.0), 2000.0,
         ((0.0, 35.7735), (78.4530, 100.0))),
        # Cones at 5 ... 55 m: 100 m³ over 50 m, a 1.41 m crest.
        (BedSettings(100, 20), ConeShell(step=10.0, first=5.0, last=60.0), 100.0, ((0.0, 6.4142), (52.1716, 100.0))),
        (BedSettings(30, 20), Chevron(layers=3, start=5.0, end=25.0), 500.0, ((0.0, 10.0), (15.0, 30.0))),
        (BedSettings(30, 20), Chevron(layers=3, start=5.0, end=12.0), 100.0, ((0.0, 30.0),)),
    ],
)
def test_end_cones_from_the_geometry(bed: BedSettings, plan: Plan, volume: float, cones) -> None:
    found = plan.end_cones(small(volume), bed)
    assert len(found) == len(cones)
    for (a, b), (c, d) in zip(found, cones):
        assert (a, b) == (pytest.approx(c, abs=1e-4), pytest.approx(d, abs=1e-4))


@pytest.mark.parametrize(
    ("make", "parameter"),
    [
        (lambda: Chevron(), "layers"),
        (lambda: Chevron(layers=3, speed=1.0), "layers"),
        (lambda: Chevron(layers=0), "layers"),
        (lambda: Chevron(layers=2.5), "layers"),
        (lambda: Chevron(speed=-1.0), "speed"),
        (lambda: Chevron(layers=2, lane=math.nan), "lane"),
        (lambda: Windrow(rows=0, layers=2), "rows"),
        (lambda: Windrow(rows=3, layers=2, order=(0, 0, 1)), "order"),
        (lambda: Strata(swing_period=0.0, layers=2), "swing_period"),
        (lambda: ConeShell(step=-2.0), "step"),
        (lambda: Chevcon(tail=10.0), "swing_speed"),
        (lambda: Chevcon(tail=10.0, swings=3, advance=-1.0), "advance"),
    ],
)
def test_unusable_plans_are_refused(make, parameter: str) -> None:
    with pytest.raises(PlanError) as caught:
        make()
    assert caught.value.parameter == parameter or parameter in str(caught.value)


@pytest.mark.parametrize(
    ("plan", "bed", "parameter"),
    [
        (Chevron(layers=2, end=201.0), BED, "end"),
        (Chevron(layers=2, start=-1.0), BED, "start"),
        (Chevron(layers=2, start=50.0, end=50.0), BED, "end"),
        (Chevron(layers=2, lane=41.0), BED, "lane"),
        (Windrow(rows=4, layers=2, spacing=14.0), BED, "spacing"),
        (Strata(swing_period=5.0, layers=2, swing_width=30.0, lane=10.0), BED, "swing_width"),
        (ConeShell(step=5.0, cone_volume=RECORD.total_volume / 50), BED, "cone_volume"),
        (ConeShell(step=5.0, last=250.0), BED, "last"),
        (Chevcon(tail=200.0, swings=5), RING, "tail"),
        (Chevcon(tail=20.0, swings=50, advance=3.0), RING, "advance"),
        (Chevcon(tail=20.0, swings=5, radius=49.5), RING, "radius"),
        (Chevron(layers=2), RING, None),
        (Chevcon(tail=20.0, swings=5), BED, None),
    ],
    ids=str,
)
def test_plans_that_do_not_fit_the_bed_are_refused(plan: Plan, bed: BedSettings, parameter) -> None:
    with pytest.raises(PlanError) as caught:
        plan.portions(RECORD, bed)
    assert caught.value.parameter == parameter
    again = pickle.loads(pickle.dumps(caught.value))  # as it comes back from a worker process
    assert type(again) is PlanError and again.parameter == parameter and str(again) == str(caught.value)


@pytest.mark.parametrize("plan", [*LINEAR, Chevcon(tail=30.0, swings=40)], ids=repr)
def test_plans_are_plain_values(plan: Plan) -> None:
    assert pickle.loads(pickle.dumps(plan)) == plan
    again = eval(repr(plan), vars(pilora.plans))
    assert again == plan and hash(again) == hash(plan)


def test_reprs_show_what_was_given() -> None:
    assert repr(Chevron(layers=40)) == "Chevron(layers=40)"
    assert repr(Windrow(rows=3, speed=2.0, valleys=False)) == "Windrow(rows=3, speed=2.0, valleys=False)"


@pytest.mark.parametrize(
    ("settings", "cell", "shape", "slices", "arc"),
    [
        (BedSettings(10, 4, chunks_per_volume_unit=8), 0.5, (8, 20), 20, 0.0),
        (BedSettings(10, 4, chunks_per_volume_unit=8, circular=True), 0.5, (8, 20), 13, 6.2831854820251465),
        (BedSettings(200, 40, chunks_per_volume_unit=3.0), float(np.float32(1) / np.float32(3) ** np.float32(0.33333334)), (58, 288), 288, 0.0),
        (BedSettings(10, 10, circular=True, chunks_per_volume_unit=1.0), 1.0, (10, 10), 16, 15.707963705062866),
        # The default cells: width / 120 (exactly, in single precision, for these widths).
        (BedSettings(200, 40), float(np.float32(40) / np.float32(120)), (120, 600), 600, 0.0),
        (BedSettings(60, 30, circular=True, repose_angle=35.0), 0.25, (120, 240), 188, 30 * 1.5707963705062866),
    ],
)
def test_settings_geometry(settings: BedSettings, cell: float, shape, slices: int, arc: float) -> None:
    assert settings.cell_size == cell
    assert settings.grid_shape == shape
    assert settings.slice_count == slices
    assert settings.arc_length == arc
    assert settings.reclaim_length == pytest.approx(slices * cell)


@pytest.mark.parametrize(
    ("keywords", "message"),
    [
        ({"length": -1.0}, "length must be above 0"),
        ({"width": math.inf}, "width must be a finite"),
        ({"reclaim_angle": 0.0}, "reclaim_angle"),
        ({"repose_angle": 90.0}, "repose_angle"),
        ({"chunks_per_volume_unit": 0.0}, "chunks_per_volume_unit"),
        ({"eight_neighbour_probability": 1.5}, "eight_neighbour_probability"),
        ({"length": 0.4, "chunks_per_volume_unit": 1.0}, "half a cell"),
        ({"width": 1e-30}, "default cells without a usable chunk volume"),
    ],
)
def test_settings_refuse_unusable_values(keywords, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        BedSettings(**{"length": 20.0, "width": 10.0, **keywords})


@pytest.mark.parametrize(
    "settings",
    [
        BedSettings(60.0, 12.0, chunks_per_volume_unit=2.0),
        BedSettings(30.0, 30.0, reclaim_angle=60.0, repose_angle=37.0, circular=True, chunks_per_volume_unit=1.7),
        BedSettings(12.0, 2.3, chunks_per_volume_unit=91401456.0),  # printed differently by NumPy
        # The default cells, width / 120, at widths and angles that round differently.
        BedSettings(30.0, 8.0),
        BedSettings(350.05, 92.5876259),  # no single-precision resolution gives exactly width / 120
        BedSettings(192.6, 44.0172485, repose_angle=54.936285),
        BedSettings(61.0, 37.3, reclaim_angle=40.0, repose_angle=36.5, circular=True),
    ],
    ids=repr,
)
def test_settings_build_the_bed_they_describe(settings: BedSettings) -> None:
    if not hasattr(getattr(pilora._native, "Bed", None), "cell_size"):
        pytest.skip("the native Bed is not built yet")
    bed = settings.build(seed=7)
    assert bed.seed == 7
    assert bed.chunks_per_volume_unit == settings.resolved_chunks_per_volume_unit
    for name in ("cell_size", "chunk_height", "chunk_volume", "grid_shape", "slice_count", "reclaim_length"):
        assert getattr(bed, name) == getattr(settings, name), name
    assert bed.capacity == settings.grid_limit  # the grid's technical bound, not the heap's capacity
    if settings.chunks_per_volume_unit is None:  # the same defaults as a bed given no resolution
        alone = pilora._native.Bed(settings.length, settings.width, reclaim_angle=settings.reclaim_angle,
                                   circular=settings.circular, repose_angle=settings.repose_angle)
        assert (alone.chunks_per_volume_unit, alone.eight_neighbour_probability) == (bed.chunks_per_volume_unit, 0.85)
        assert settings.eight_neighbour_probability == 0.85
        assert settings.cell_size == pytest.approx(settings.width / 120, rel=2e-7)
    # The plans read the same geometry from either.
    # (A record larger than these beds hold with open ends: the plan stacks from edge to edge.)
    plan = Chevron(layers=3, start=0.0, end=settings.length) if not settings.circular else Chevcon(tail=10.0, swings=4)
    pd.testing.assert_frame_equal(plan.portions(RECORD, bed), plan.portions(RECORD, settings))


# -- open ends, a stacker tied to its feed, speeds ---------------------------------------------------


@pytest.mark.parametrize(
    "plan",
    [Chevron(layers=5), Windrow(rows=3, layers=2), Strata(swing_period=10.0, layers=4), ConeShell(step=4.0)],
    ids=repr,
)
def test_open_ends_leave_a_cone_radius_at_each_end(plan: Plan) -> None:
    # The record's volume, dropped evenly between the reversal points a and b, makes a crest h
    # with (b - a) h² / tan = V; at 45 degrees the cones' radius is h, and a = h, b = length - h.
    a, b = sorted(plan._reach(RECORD, BED))
    h = a
    assert h > 0 and b == pytest.approx(BED.length - h, abs=6.0 if isinstance(plan, ConeShell) else 1e-9)
    if not isinstance(plan, ConeShell):  # (cones stand a step apart: the last may fall short of b)
        assert (b - a) * h * h == pytest.approx(RECORD.total_volume, rel=1e-9)
    # Reversal points given explicitly are kept, at the bed's edges too.
    if isinstance(plan, Chevron):
        assert Chevron(layers=5, start=0.0, end=200.0)._reach(RECORD, BED) == (0.0, 200.0)


def test_a_heap_that_cannot_form_open_ends_is_refused_with_the_length_it_needs() -> None:
    bed = BedSettings(100.0, 20.0, chunks_per_volume_unit=1.0)
    # A roof across the width (crest 10 m, section 100 m²) between points 10 m from the ends.
    assert bed.heap_capacity == pytest.approx(80 * 100.0)
    fits, too_much = small(bed.heap_capacity * (1 - 1e-6)), small(bed.heap_capacity * 1.25)
    assert Chevron(layers=4)._reach(fits, bed) == (pytest.approx(10.0, abs=1e-3), pytest.approx(90.0, abs=1e-3))
    with pytest.raises(PlanError, match=r"at least 120\.0 m") as caught:
        Chevron(layers=4).portions(too_much, bed)
    assert caught.value.parameter == "end"
    assert Chevron(layers=4)._reach(too_much, BedSettings(120.01, 20.0))[0] == pytest.approx(10.0, abs=1e-3)
    # Stacked from edge to edge, the grid's edges hold it.
    assert len(Chevron(layers=4, start=0.0, end=100.0).portions(too_much, bed)) > 0


def stopped_record(rows: int = 600) -> Record:
    """Rows of 0.1 h; the feed stops for every third block of 20 rows (a third of the time)."""
    rng = np.random.default_rng(5)
    stopped = (np.arange(rows) // 20) % 3 == 2
    return Record.from_frame(pd.DataFrame({"time": 0.1 * np.arange(rows),
                                           "volume": np.where(stopped, 0.0, rng.uniform(5.0, 15.0, rows)),
                                           "q": rng.normal(size=rows)}))


def travel_while_stacking(plan: Plan, record: Record, bed: BedSettings) -> tuple[float, float]:
    """Distance (m) the stacker travels along x while the feed runs, and while it stops."""
    t = np.linspace(0.0, record.duration, 120001)
    x, _ = plan.stacker_position(t, record, bed)
    frame = record.frame
    row = np.minimum(np.searchsorted(frame["time"].to_numpy(), t, side="right") - 1, len(frame) - 1)
    fed = frame["volume"].to_numpy()[row] > 0
    both = fed[:-1] & fed[1:]
    dx = np.abs(np.diff(x))
    return float(dx[both].sum()), float(dx[~fed[:-1] & ~fed[1:]].sum())


def test_a_stacker_tied_to_its_feed_lays_its_layers_in_material() -> None:
    record = stopped_record()
    a, b = Chevron(layers=30)._reach(record, BED)
    moving, standing = travel_while_stacking(Chevron(layers=30), record, BED)
    assert moving / (b - a) == pytest.approx(30, abs=1) and standing == 0.0
    # Travelling by time, it moves through the stops and lays about two thirds of the passes.
    moving, standing = travel_while_stacking(Chevron(layers=30, travel="time"), record, BED)
    assert moving / (b - a) == pytest.approx(20, abs=1) and standing / (b - a) == pytest.approx(10, abs=1)
    # The material follows the stacker: no piece of a stopped row, and every pass holds material.
    portions = Chevron(layers=30).portions(record, BED)
    assert pass_ends(portions.loc[portions["volume"] > 0, "x"].to_numpy()) == 29
    # The speed while stacking: 30 passes in the 40 stacking hours of the 60-hour record.
    assert Chevron(layers=30).travel_speed(record, BED) == pytest.approx(30 * (b - a) / (40 * 60), rel=1e-9)
    assert Chevron(layers=30, travel="time").travel_speed(record, BED) == pytest.approx(30 * (b - a) / (60 * 60))


@pytest.mark.parametrize(
    ("plan", "with_speed"),
    [
        (Chevron(layers=12), lambda v: Chevron(speed=v)),
        (Windrow(rows=3, layers=4), lambda v: Windrow(rows=3, speed=v)),
        (Strata(swing_period=3.0, layers=6), lambda v: Strata(swing_period=3.0, speed=v)),
        (ControlPoints(positions=(20.0, 120.0, 60.0), cycles=5),
         lambda v: ControlPoints(positions=(20.0, 120.0, 60.0), speed=v)),
        (Chevcon(tail=30.0, swings=25), lambda v: Chevcon(tail=30.0, swing_speed=v)),
    ],
    ids=lambda p: type(p).__name__ if isinstance(p, Plan) else "",
)
def test_a_speed_lays_what_the_layers_do(plan: Plan, with_speed) -> None:
    record = stopped_record()
    bed = RING if isinstance(plan, Chevcon) else BED
    speed = plan.travel_speed(record, bed)
    again = with_speed(speed)
    assert again.passes(record, bed) == pytest.approx(plan.passes(record, bed), rel=1e-9)
    assert again.travel_speed(record, bed) == pytest.approx(speed, rel=1e-9)
    if not isinstance(plan, ControlPoints):  # (its legs by count take equal times; by speed, equal speeds)
        t = np.linspace(0.0, record.duration, 997)
        np.testing.assert_allclose(again.stacker_position(t, record, bed), plan.stacker_position(t, record, bed),
                                   atol=1e-6)


def test_speeds_beyond_a_plans_reach_are_refused_naming_the_limit() -> None:
    # Four rows of a 100 m windrow layer in 50 h need 400 m of travel: at least 0.133 m/min.
    record = Record.from_frame(pd.DataFrame({"time": np.arange(50.0), "volume": 20.0}))
    bed = BedSettings(200.0, 40.0, chunks_per_volume_unit=1.0)
    plan = Windrow(rows=4, speed=0.1, start=50.0, end=150.0)
    with pytest.raises(PlanError, match=r"lays 3 of the 4 rows.*at least 0\.1333 m/min") as caught:
        plan.portions(record, bed)
    assert caught.value.parameter == "speed"
    assert Windrow(rows=4, speed=0.1334, start=50.0, end=150.0).passes(record, bed) >= 4
    # A pass of 100 m must last a swing of 10 min: at most 10 m/min, 300 layers in 50 h.
    with pytest.raises(PlanError, match=r"at most 10 m/min \(300 layers\)") as caught:
        Strata(swing_period=10.0, speed=10.5, start=50.0, end=150.0).portions(record, bed)
    assert caught.value.parameter == "speed"
    with pytest.raises(PlanError, match="at most 10 m/min") as caught:
        Strata(swing_period=10.0, layers=301, start=50.0, end=150.0).passes(record, bed)
    assert caught.value.parameter == "layers"
    assert Strata(swing_period=10.0, layers=300, start=50.0, end=150.0).passes(record, bed) == 300


@pytest.mark.parametrize("plan", [Chevron(speed=0.03, start=50.0, end=150.0),
                                  Strata(swing_period=1.0, speed=0.03, start=50.0, end=150.0),
                                  Windrow(rows=1, speed=0.03, start=50.0, end=150.0),
                                  ControlPoints(positions=(80.0, 150.0, 50.0), speed=0.03)], ids=repr)
def test_a_speed_below_one_pass_is_refused_naming_the_slowest(plan: Plan) -> None:
    # A 100 m pass in 50 h of stacking needs at least 0.03333 m/min; at 0.03 the first pass is
    # never finished, and no layer, no effect follows.
    record = Record.from_frame(pd.DataFrame({"time": np.arange(50.0), "volume": 20.0}))
    bed = BedSettings(200.0, 40.0, chunks_per_volume_unit=1.0)
    for call in (plan.passes, plan.travel_speed, plan.portions):
        with pytest.raises(PlanError, match=r"(0\.9 of one|0\.9 of the 1 rows).*at least 0\.03333 m/min") as caught:
            call(record, bed)
        assert caught.value.parameter == "speed"
    assert type(plan)(**{**plan.__dict__, "speed": 0.0334}).passes(record, bed) > 1


@pytest.mark.parametrize("angle", [1e-3, 45.0, 90.0, 90.000001, 90.001, 91.0, 135.0, 179.9, 0.0, -5.0])
def test_reclaim_angles_follow_the_beds_rule(angle: float) -> None:
    try:
        pilora._native.Bed(20.0, 10.0, reclaim_angle=angle, chunks_per_volume_unit=1.0)
    except ValueError:
        with pytest.raises(ValueError, match="reclaim_angle must be above 0 and at most 90"):
            BedSettings(20.0, 10.0, reclaim_angle=angle)
    else:
        settings = BedSettings(20.0, 10.0, reclaim_angle=angle, chunks_per_volume_unit=1.0)
        assert settings.build(seed=1).reclaim_angle <= 90


def test_settings_take_a_cell_size_as_the_bed_does() -> None:
    settings = BedSettings(200.0, 40.0, cell_size=0.5, repose_angle=37.0)
    bed = pilora._native.Bed(200.0, 40.0, cell_size=0.5, repose_angle=37.0)
    assert (settings.cell_size, settings.chunks_per_volume_unit, settings.grid_shape) == (
        bed.cell_size, bed.chunks_per_volume_unit, bed.grid_shape)
    assert settings == BedSettings(200.0, 40.0, chunks_per_volume_unit=bed.chunks_per_volume_unit, repose_angle=37.0)
    with pytest.raises(ValueError, match="not both"):
        BedSettings(200.0, 40.0, cell_size=0.5, chunks_per_volume_unit=8.0)
    with pytest.raises(ValueError, match="cell_size"):
        BedSettings(200.0, 40.0, cell_size=-1.0)


def test_unknown_travel_is_refused() -> None:
    for make in (lambda: Chevron(layers=2, travel="feet"), lambda: ControlPoints(positions=(0, 1), travel=None),
                 lambda: ControlPoints(positions=(0.0, 10.0), cycles=3, speed=1.0)):
        with pytest.raises(PlanError):
            make()


def test_a_chevron_on_the_sample_ends_in_cones_at_the_angle_of_repose() -> None:
    record = pilora.sample_record()
    bed = BedSettings(200.0, 40.0, chunks_per_volume_unit=1.0)
    crest_line = pilora.simulate(bed, record, Chevron(layers=60), seed=1).heights.max(axis=0).astype(float)
    x = (np.arange(len(crest_line)) + 0.5) * bed.cell_size
    crest = crest_line.max()
    # The ends are open: the heap stands at most a quarter of its crest at the bed's ends.
    assert max(crest_line[0], crest_line[-1]) <= 0.25 * crest
    cones = []
    for line in (crest_line, crest_line[::-1]):
        rise = x[np.argmax(line >= 0.75 * crest)] - x[np.argmax(line >= 0.25 * crest)]
        assert math.degrees(math.atan(0.5 * crest / rise)) == pytest.approx(bed.repose_angle, abs=10.0)
        cones.append(x[np.argmax(line >= 0.95 * crest)] - x[np.argmax(line > 0)])  # toe to full height
    assert max(cones) <= 1.4 * min(cones)
