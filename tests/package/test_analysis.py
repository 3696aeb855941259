"""Measures of blending on inputs with known answers."""

import dataclasses
import json
import math
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

import pilora
from pilora import BedSettings, Chevron, Record, simulate
from pilora.analysis import (blending, blending_table, flow_variability, quality_series, same_mass_blocks, summary,
                             variogram, weighted_mean, weighted_std)
from pilora.run import Result


def fake_result(end_cones=((0.0, 2.0), (8.0, 10.0)), reclaim_length=10.0):
    """Four record rows of 10 m³ (20 t), each dropped as two 5 m³ portions (two on the cones' closed
    edges, at 2 and 8 m); five 2 m steps."""
    record = SimpleNamespace(
        frame=pd.DataFrame({"time": [0.0, 1, 2, 3], "duration": 1.0, "volume": 10.0, "mass": 20.0,
                            "q": [1.0, 2, 3, 4]}),
        parameters=("q",), bulk_density=2.0, duration=4.0,
    )
    portions = pd.DataFrame({"time": np.repeat([0.0, 1, 2, 3], 2) + [0, 0.5] * 4,
                             "x": [1.0, 1, 2, 5, 5, 6, 6, 8], "z": 5.0, "volume": 5.0,
                             "q": np.repeat([1.0, 2, 3, 4], 2)})
    volume = np.array([0.0, 5, 10, 10, 10, 5])
    reclaimed = pd.DataFrame({"x": [0.0, 2, 4, 6, 8, 10], "volume": volume, "mass": 2 * volume,
                              "q": [np.nan, 1, 2, 3, 3, 4], "time_mean": np.nan, "time_std": np.nan})
    bed = SimpleNamespace(reclaim_length=reclaim_length, capacity=400.0)
    return Result(bed=bed, plan=None, record=record, seed=7, portions=portions, reclaimed=reclaimed,
                  heights=np.zeros((2, 10), np.float32), cell_size=1.0, reclaim_increment=2.0,
                  end_cones=end_cones, balance={"stacked": 40.0, "reclaimed": 40.0, "on_bed": 0.0, "buffered": 0.0})


def test_weighted_statistics_ignore_weightless_rows():
    values = np.array([[5.0, 50], [1, 10], [np.nan, np.nan]])
    np.testing.assert_allclose(weighted_mean(values, [3, 1, 0]), [4, 40])
    np.testing.assert_allclose(weighted_std(values, [3, 1, 0]), [math.sqrt(3), 10 * math.sqrt(3)])  # ddof 0
    assert math.isnan(weighted_mean([1.0], [0.0]))
    with pytest.raises(ValueError, match="non-negative"):
        weighted_std([1.0, 2.0], [1.0, -1.0])


@pytest.mark.parametrize(
    ("block", "values", "masses"),
    [
        (15.0, [4 / 3, 8 / 3], [15, 15]),
        (12.0, [14 / 12, 28 / 12, 3], [12, 12, 6]),  # the last block holds the remainder
        (100.0, [2], [30]),
    ],
)
def test_same_mass_blocks_split_rows_proportionally(block, values, masses):
    got_values, got_masses = same_mass_blocks([1.0, 2, 0, 3], [10.0, 10, 0, 10], block)
    np.testing.assert_allclose(got_values, values)
    np.testing.assert_allclose(got_masses, masses)


@pytest.mark.parametrize(
    ("values", "weights", "lags", "expected"),
    [
        (np.arange(6.0), None, [0, 1, 3], [0, 0.5, 4.5]),  # a trend: h^2 / 2
        ([1.0, -1] * 4, None, [1, 2], [2, 0]),  # a period of 2 rows
        ([1.0, 9, 2, 3], [1, 0, 1, 1], [1, 2, 5], [0.5, 0.5, np.nan]),  # the weightless row pairs with no one
    ],
)
def test_variogram(values, weights, lags, expected):
    np.testing.assert_allclose(variogram(values, lags, weights), expected)


def test_blending_table_on_both_bases():
    inputs = pd.DataFrame({"mass": [1.0] * 8 + [0], "a": [1.0] * 4 + [-1] * 4 + [np.nan],
                           "b": [1.0, -1] * 4 + [0]})
    outputs = pd.DataFrame({"mass": [0.0, 4, 4], "a": [np.nan, 0.5, -0.5], "b": [np.nan, 0.0, 0.0]})
    table = blending_table(inputs, outputs)
    assert table.attrs == {"block_mass": 4.0, "rows_in": 8, "rows_out": 2}
    a, b = table.loc["a"], table.loc["b"]
    assert (a["mean_in"], a["std_in"], a["std_out"]) == (0, 1, 0.5)
    assert (a["effect_interval"], a["vrr_interval"]) == (2, 4)
    assert (a["std_in_same_mass"], a["effect_same_mass"], a["vrr_same_mass"]) == (1, 2, 4)
    # An output that does not vary: infinite effect per interval; blocks that do not vary: NaN.
    assert math.isinf(b["effect_interval"]) and math.isnan(b["effect_same_mass"])


def test_end_cones_leave_out_rows_and_the_input_dropped_there():
    result = fake_result()
    inputs, outputs = quality_series(result, end_cones=False)
    assert inputs["mass"].tolist() == [0.0, 10, 20, 10]
    assert outputs["x"].tolist() == [0.0, 4, 6, 8]
    table = blending(result, end_cones=False)
    assert table.at["q", "mean_in"] == pytest.approx(3.0)
    assert table.at["q", "mean_out"] == pytest.approx((2 + 3 + 3) / 3)
    assert blending(result).at["q", "mean_in"] == pytest.approx(2.5)
    # Without end cones in the plan, both series stay whole.
    assert len(quality_series(fake_result(end_cones=()), end_cones=False)[1]) == 6


@pytest.mark.parametrize(
    ("reclaim_length", "end_cones", "expected"),
    [
        (10.0, True, math.sqrt(6)),  # rows 1-5: 5, 10, 10, 10, 5
        (9.0, True, math.sqrt(4.6875)),  # the last step reaches past the bed: left out
        (10.0, False, 0.0),  # only the three steps between the cones
    ],
)
def test_flow_variability(reclaim_length, end_cones, expected):
    result = fake_result(reclaim_length=reclaim_length)
    assert flow_variability(result, end_cones=end_cones) == pytest.approx(expected)


def test_summary_is_strict_json():
    bed = BedSettings(length=30.0, width=8.0, chunks_per_volume_unit=1.0)
    frame = pd.DataFrame({"time": np.arange(40.0), "volume": 12.0, "q": np.random.default_rng(0).normal(size=40)})
    result = simulate(bed, Record.from_frame(frame, volume="volume"), Chevron(layers=4), seed=3)
    digest = summary(result)
    json.dumps(digest, allow_nan=False)
    assert (digest["version"], digest["seed"]) == (pilora.__version__, 3)
    assert digest["settings"] == dataclasses.asdict(bed)
    assert digest["cells"] == {"chunks_per_volume_unit": 1.0, "cell_size": 1.0, "chunk_volume": 1.0,
                               "grid_shape": [8, 30]}
    default = summary(simulate(BedSettings(30.0, 8.0), result.record, Chevron(layers=4), seed=3))
    assert default["settings"]["chunks_per_volume_unit"] is None  # as given: the default grid
    assert default["cells"]["cell_size"] == pytest.approx(8.0 / 120) and default["cells"]["grid_shape"][0] == 120
    assert digest["plan"]["repr"] == "Chevron(layers=4)" and digest["plan"]["fields"]["layers"] == 4
    assert digest["record"]["mass"] is None  # a record without a bulk density has no masses
    assert digest["end_cones"] == [list(r) for r in result.end_cones] != []
    assert digest["capacity_used"] == pytest.approx(480.0 / bed.capacity)
    assert set(digest["blending_without_end_cones"]["q"]) == set(blending(result).columns)
