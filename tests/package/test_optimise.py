"""The control-point plan that optimisers search over, and the two optimiser examples on tiny
sizes (a couple of generations, evaluated through pilora.evaluate)."""

import importlib
import math
import pathlib

import numpy as np
import pandas as pd
import pytest

from pilora import BedSettings, Chevron, ControlPoints, PlanError, Record

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
BED = BedSettings(30.0, 8.0, chunks_per_volume_unit=1.0)  # 1 m cells: quick


@pytest.fixture(scope="module")
def record():
    frame = pd.DataFrame({"time": np.arange(60) * 0.2, "volume": 3.0, "q": np.sin(np.arange(60) / 5.0)})
    return Record.from_frame(frame, volume="volume", bulk_density=1.6)


def test_two_points_travelled_n_times_are_a_chevron_of_n_layers(record):
    points, chevron = ControlPoints(positions=(0.0, 30.0), cycles=7), Chevron(layers=7)
    times = np.linspace(0.0, record.duration, 997)
    np.testing.assert_allclose(points.stacker_position(times, record, BED),
                               chevron.stacker_position(times, record, BED), atol=1e-9)
    assert points.passes(record, BED) == pytest.approx(7.0)
    assert points.end_cones(record, BED) == chevron.end_cones(record, BED)
    mine, theirs = points.portions(record, BED), chevron.portions(record, BED)
    assert len(mine) == len(theirs)
    np.testing.assert_allclose(mine[["time", "x", "z", "volume", "q"]], theirs[["time", "x", "z", "volume", "q"]],
                               atol=1e-9)


def test_the_stacker_passes_the_points_forth_and_back_at_equal_times(record):
    plan = ControlPoints(positions=(2.0, 28.0, 11.0), cycles=3, lane=1.5)
    path = [2.0, 28.0, 11.0, 28.0, 2.0, 28.0, 11.0]
    assert plan.path().tolist() == path
    x, z = plan.stacker_position(np.linspace(0.0, record.duration, len(path)), record, BED)
    np.testing.assert_allclose(x, path, atol=1e-9)
    assert set(z) == {1.5}
    assert plan.passes(record, BED) == pytest.approx((26 + 17 + 17 + 26 + 26 + 17) / 26)
    portions = plan.portions(record, BED)
    assert portions["volume"].sum() == pytest.approx(record.total_volume)
    assert portions["x"].between(2.0, 28.0).all()
    (low, first), (last, high) = plan.end_cones(record, BED)
    assert low == 0.0 and high == BED.reclaim_length and 2.0 <= first and last <= 28.0


@pytest.mark.parametrize("settings, match", [
    ({"positions": (5.0,)}, "at least two"),
    ({"positions": (1.0, math.nan)}, "finite"),
    ({"positions": ("a", "b")}, "numbers"),
    ({"positions": (1.0, 2.0), "cycles": 0}, "cycles"),
    ({"positions": (1.0, 2.0), "cycles": 1.5}, "cycles"),
    ({"positions": (1.0, 2.0), "lane": "middle"}, "lane"),
])
def test_refuses_bad_settings(settings, match):
    with pytest.raises(PlanError, match=match):
        ControlPoints(**settings)


@pytest.mark.parametrize("bed, match", [(BedSettings(20.0, 8.0), "positions: 25.0 m lies off the bed"),
                                        (BedSettings(30.0, 30.0, circular=True), "linear beds")])
def test_refuses_beds_it_does_not_fit(record, bed, match):
    with pytest.raises(PlanError, match=match):
        ControlPoints(positions=(5.0, 25.0)).portions(record, bed)


def example(name, monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))
    return importlib.import_module(name)


def check_study(front, out, population, generations):
    assert (out / "pareto_front.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    evaluations = pd.read_csv(out / "evaluations.csv", float_precision="round_trip")
    assert len(evaluations) == population * (generations + 1)
    assert set(evaluations["plan"]) == {"ControlPoints"}
    objectives = evaluations[["worst_effect", "flow_variability"]].to_numpy()
    assert np.isfinite(objectives).all()
    for _, row in front.iterrows():  # nothing evaluated beats a front member in both objectives
        better = (objectives[:, 0] >= row["worst_effect"]) & (objectives[:, 1] <= row["flow_variability"])
        strictly = (objectives[:, 0] > row["worst_effect"]) | (objectives[:, 1] < row["flow_variability"])
        assert not (better & strictly).any()


def test_nsga2_example_finds_the_same_front_on_threads_and_processes(tmp_path, monkeypatch):
    nsga2 = example("optimise_nsga2", monkeypatch)
    tiny = ["--quick", "--population", "8", "--generations", "2", "--points", "6", "--seed", "5"]
    front = nsga2.main([*tiny, "--workers", "2", "--out", str(tmp_path / "threads")])
    check_study(front, tmp_path / "threads", 8, 2)
    again = nsga2.main([*tiny, "--processes", "2", "--out", str(tmp_path / "processes")])
    pd.testing.assert_frame_equal(again, front)


@pytest.mark.parametrize("sampler", ["nsga2", "tpe"])
def test_optuna_example_writes_its_front(sampler, tmp_path, monkeypatch):
    optuna = example("optimise_optuna", monkeypatch)
    front = optuna.main(["--quick", "--sampler", sampler, "--population", "6", "--generations", "1",
                         "--points", "6", "--workers", "2", "--out", str(tmp_path)])
    check_study(front, tmp_path, 6, 1)
