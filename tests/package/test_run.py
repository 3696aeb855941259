"""One simulation run: the reclaimed table, stacking-time tracking, seeds, increments, the Result."""

import importlib.util
import math
import pickle
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from pilora import BedSettings, Chevron, Record, blending, simulate

BED = BedSettings(length=40.0, width=10.0, chunks_per_volume_unit=1.0, eight_neighbour_probability=0.5)  # 1 m cells; a 5 m high roof holds 25 m³ per m
HOURS = 20.0


def chevron(layers: int) -> Chevron:
    """A chevron from edge to edge of BED (the grid's edges hold the 900 m³ heap, which open
    ends would not fit)."""
    return Chevron(layers=layers, start=0.0, end=BED.length)


def record(n: int = 200, bulk_density: float = 1.5) -> Record:
    rng = np.random.default_rng(0)
    frame = pd.DataFrame({"time": np.arange(n) * HOURS / n, "mass": bulk_density * 900.0 / n,
                          "q1": rng.normal(10, 1, n), "q2": rng.normal(size=n)})
    return Record.from_frame(frame, mass="mass", bulk_density=bulk_density)


@pytest.fixture(scope="module")
def one_pass():
    return simulate(BED, record(), chevron(1), seed=11)


def test_reclaimed_table(one_pass):
    reclaimed = one_pass.reclaimed
    assert list(reclaimed.columns) == ["x", "volume", "mass", "q1", "q2", "time_mean", "time_std"]
    assert len(reclaimed) == BED.slice_count + 1  # default increment: the cell size
    first = reclaimed.iloc[0]
    assert (first["x"], first["volume"]) == (0.0, 0.0) and first[["q1", "time_mean"]].isna().all()
    np.testing.assert_array_equal(reclaimed["mass"], 1.5 * reclaimed["volume"])
    full = reclaimed[reclaimed["volume"] > 0]
    assert full["q1"].between(6, 14).all() and full["time_std"].ge(0).all()
    assert one_pass.heights.shape == BED.grid_shape and not one_pass.heights.flags.writeable
    assert one_pass.end_cones == chevron(1).end_cones(one_pass.record, BED)


def test_stacking_time_follows_a_single_pass(one_pass):
    """One pass from x = 0 to 40 m in 20 h: the material at x was stacked about x / 2 h in."""
    rows = one_pass.reclaimed.iloc[5:-5]  # away from the walls
    slope = np.polyfit(rows["x"], rows["time_mean"], 1)[0]
    assert slope == pytest.approx(HOURS / BED.length, rel=0.1)
    assert rows["time_std"].median() < 0.1 * HOURS


def test_a_seed_repeats_a_run_bit_for_bit():
    drawn = simulate(BED, record(), chevron(3))
    again = simulate(BED, record(), chevron(3), seed=drawn.seed)
    pd.testing.assert_frame_equal(drawn.reclaimed, again.reclaimed, check_exact=True)
    np.testing.assert_array_equal(drawn.heights, again.heights)
    other = simulate(BED, record(), chevron(3), seed=drawn.seed + 1)
    assert not other.reclaimed.equals(drawn.reclaimed)


def test_reclaim_increment_sets_the_rows_and_refusals():
    result = simulate(BED, record(), chevron(2), seed=1, reclaim_increment=2.5)
    assert result.reclaimed["x"].iloc[:3].tolist() == [0.0, 2.5, 5.0]
    assert len(result.reclaimed) == math.ceil((BED.reclaim_length - 0.5) / 2.5) + 1
    for increment in (0.0, -1.0, math.nan, math.inf):
        with pytest.raises(ValueError, match="reclaim_increment"):
            simulate(BED, record(), chevron(1), seed=1, reclaim_increment=increment)
    # A parameter named like a column of the reclaimed table: refused with the record already.
    with pytest.raises(ValueError, match="time_std"):
        clash = Record.from_frame(pd.DataFrame({"time": [0.0, 1], "volume": 1.0, "time_std": 0.0}), volume="volume")
        simulate(BED, clash, chevron(1))


def test_result_repr_and_pickle(one_pass):
    text = repr(one_pass)
    assert text.startswith("Result(Chevron(layers=1, start=0.0, end=40.0), bed=BedSettings(length=40.0") and "seed=11" in text
    assert "\n" not in text and len(text) < 400
    pd.testing.assert_frame_equal(pickle.loads(pickle.dumps(one_pass)).reclaimed, one_pass.reclaimed)


def test_the_study_example_runs_on_a_small_bed(tmp_path, capsys):
    """examples/study.py, the README's study: three plans, effects without end cones, figures."""
    module_spec = importlib.util.spec_from_file_location("study", Path(__file__).parents[2] / "examples" / "study.py")
    study = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(study)
    rng = np.random.default_rng(2)
    frame = pd.DataFrame({"time": np.arange(300) / 30, "mass": 4.0, "CaO": 50 + np.cumsum(rng.normal(size=300)) / 5,
                          "SiO2": rng.normal(6, 1, 300)})
    record = Record.from_frame(frame, mass="mass", bulk_density=1.5)
    results = study.study(record, BedSettings(length=50.0, width=10.0, chunks_per_volume_unit=1.0), layers=32, out=str(tmp_path))
    # Equal effort: every plan makes the chevron's passes.
    assert [r.plan.passes(record, r.bed) for r in results.values()] == pytest.approx([32, 32, 32])
    printed = capsys.readouterr().out
    assert all(f"{name}:" in printed for name in ("chevron", "windrow", "strata"))
    written = sorted(p.name for p in tmp_path.iterdir())
    assert written == ["chevron_quality.png", "chevron_sections.svg", "effects.png", "strata_quality.png",
                       "windrow_quality.png"]
    for result in results.values():
        effects = blending(result, end_cones=False)["effect_same_mass"]
        assert (effects > 1).all()  # a drifting CaO and noisy SiO2 both come out steadier
