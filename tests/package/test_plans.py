"""Stacking plans: the geometry of every plan, end cones, the bed's settings, and refusals."""

import math
import pickle

import numpy as np
import pandas as pd
import pytest

import pilora._native
import pilora.plans
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
    portions = ConeShell(step=10.0, cone_volume=per).portions(RECORD, BED)
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


def small(volume: float) -> Record:
    return Record.from_frame(pd.DataFrame({"time": [0.0, 1.0], "volume": [volume / 2, volume / 2]}))


@pytest.mark.parametrize(
    ("bed", "plan", "volume", "cones"),
    [
        # Heap 10 m high (width 20, repose 45): a 45 degree face reaches 10 m forward.
        (BedSettings(100, 20), Chevron(layers=3, start=10.0, end=90.0), 100.0, ((0.0, 10.0), (80.0, 100.0))),
        (BedSettings(100, 20, reclaim_angle=90.0), Chevron(layers=3, start=10.0, end=90.0), 100.0, ((0.0, 10.0), (90.0, 100.0))),
        (BedSettings(100, 20, reclaim_angle=135.0), Chevron(layers=3, start=10.0, end=90.0), 100.0, ((0.0, 20.0), (90.0, 100.0))),
        # A 30 degree repose, 1 chunk per m³: 1.2 m cells, 83 slices, a 5.8 m high heap.
        (BedSettings(100, 20, repose_angle=30.0, chunks_per_volume_unit=1.0), Chevron(layers=3, start=10.0, end=90.0), 100.0,
         ((0.0, 10.0), (90.0 - 10.0 * math.tan(math.radians(30.0)), 83 * 1.2009369134902954))),
        # From wall to wall: the first slice (1 m) takes in the wedge in front of the face.
        (BedSettings(100, 20, chunks_per_volume_unit=1.0), Chevron(layers=3), 100.0, ((0.0, 1.0), (90.0, 100.0))),
        (BedSettings(100, 20, reclaim_angle=135.0, chunks_per_volume_unit=1.0), Chevron(layers=3), 100.0,
         ((0.0, 10.0), (99.0, 100.0))),
        # 20000 m³ over 80 m overfill the 100 m² roof by 150 m²: 7.5 m more against the walls.
        (BedSettings(100, 20), Chevron(layers=3, start=10.0, end=90.0), 20000.0, ((0.0, 10.0), (72.5, 100.0))),
        (BedSettings(100, 20), Strata(swing_period=5.0, layers=3, start=90.0, end=30.0), 100.0, ((0.0, 30.0), (80.0, 100.0))),
        (BedSettings(100, 20), ConeShell(step=10.0, first=5.0, last=60.0), 100.0, ((0.0, 5.0), (45.0, 100.0))),
        (BedSettings(30, 20), Chevron(layers=3, start=5.0, end=25.0), 100.0, ((0.0, 5.0), (15.0, 30.0))),
        (BedSettings(30, 20), Chevron(layers=3, start=5.0, end=12.0), 100.0, ((0.0, 30.0),)),
    ],
)
def test_end_cones_from_the_geometry(bed: BedSettings, plan: Plan, volume: float, cones) -> None:
    found = plan.end_cones(small(volume), bed)
    assert len(found) == len(cones)
    for (a, b), (c, d) in zip(found, cones):
        assert (a, b) == (pytest.approx(c), pytest.approx(d))


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
    for name in ("cell_size", "chunk_height", "chunk_volume", "grid_shape", "slice_count", "reclaim_length", "capacity"):
        assert getattr(bed, name) == getattr(settings, name), name
    if settings.chunks_per_volume_unit is None:  # the same defaults as a bed given no resolution
        alone = pilora._native.Bed(settings.length, settings.width, reclaim_angle=settings.reclaim_angle,
                                   circular=settings.circular, repose_angle=settings.repose_angle)
        assert (alone.chunks_per_volume_unit, alone.eight_neighbour_probability) == (bed.chunks_per_volume_unit, 0.85)
        assert settings.eight_neighbour_probability == 0.85
        assert settings.cell_size == pytest.approx(settings.width / 120, rel=2e-7)
    # The plans read the same geometry from either.
    plan = Chevron(layers=3) if not settings.circular else Chevcon(tail=10.0, swings=4)
    pd.testing.assert_frame_equal(plan.portions(RECORD, bed), plan.portions(RECORD, settings))
