"""Comparing plans: equal passes at equal speed, record realisations, intervals and the recommendation."""

import math

import numpy as np
import pandas as pd
import pytest

from pilora import BedSettings, Record, sample_record
from pilora.compare import comparison, recommend
from pilora.replicates import interval, realisations, start_rows


@pytest.fixture(scope="module")
def record():
    """The sample record's first twelve hours (360 rows, about 13,000 t)."""
    whole = sample_record()
    return Record.from_frame(whole.frame.iloc[:360].drop(columns=["duration", "volume"]), mass="mass",
                             bulk_density=whole.bulk_density, last_duration=1 / 30)


# 1 m cells: the comparison, not the model's resolution, is under test.
BED = BedSettings(100.0, 30.0, chunks_per_volume_unit=1.0)


def test_equal_speed_means_equal_passes(record):
    result = comparison(record, BED, plans=("chevron", "windrow", "strata", "cone-shell"), speeds=(4.0, 6.0),
                        settings={"strata": {"swing_period": 3.0}}, workers=2)
    ranking = result.ranking
    travelling = ranking[ranking["plan"] != "cone-shell"]
    assert len(travelling) == 6 and len(ranking) == 7
    for speed, rows in travelling.groupby("speed"):
        assert speed in (4.0, 6.0)
        assert rows["passes"].to_numpy() == pytest.approx(rows["passes"].iloc[0], rel=1e-9)
    # Passes grow with speed: 1.5 times the speed, 1.5 times the passes.
    passes = travelling.groupby("speed")["passes"].first()
    assert passes[6.0] == pytest.approx(1.5 * passes[4.0], rel=1e-9)
    windrow = travelling[travelling["plan"] == "windrow"].iloc[0]
    assert windrow["settings"] == "rows 4" and windrow["layers"] < windrow["passes"]
    cone = ranking[ranking["plan"] == "cone-shell"].iloc[0]
    assert math.isnan(cone["layers"]) and cone["passes"] < 2  # one walk along the bed, cone by cone


def test_intervals_widen_with_record_realisations(record):
    # Seeds alone move an effect by little; where the record's events fall on the passes moves it
    # by much more, and an interval that leaves it out claims a precision the record does not have.
    common = {"plans": ("chevron",), "layers": (24,), "replicates": 4, "seed": 5, "workers": 2}
    seeds = comparison(record, BED, vary_record=False, **common)
    both = comparison(record, BED, vary_record=True, **common)
    width = {name: float(c.ranking["worst_effect_high"].iloc[0] - c.ranking["worst_effect_low"].iloc[0])
             for name, c in (("seeds", seeds), ("both", both))}
    assert width["both"] > 2 * width["seeds"] > 0
    # Effects are positive ratios: their intervals, on the logarithm, stay above zero.
    low = both.ranking.filter(like="_low").to_numpy(dtype=float)
    assert (low > 0).all()
    runs = both.grid["worst_effect"].to_numpy()
    assert both.ranking["worst_effect"].iloc[0] == pytest.approx(np.exp(np.log(runs).mean()), rel=1e-12)
    assert set(seeds.grid["record_start_h"]) == {0.0} and both.grid["record_start_h"].nunique() == 4
    # Replicate 0 runs the record itself with the same task seed either way.
    assert seeds.grid["worst_effect"].iloc[0] == both.grid["worst_effect"].iloc[0]
    assert seeds.grid["seed"].nunique() == 4


def test_realisations_rotate_the_record(record):
    first, *others = realisations(record, 3, seed=9)
    starts = start_rows(record, 3, seed=9)
    assert first is record and starts[0] == 0
    # One start drawn in each third of the record; the same seed, the same realisations.
    assert 120 <= starts[1] < 240 <= starts[2] < 360
    assert start_rows(record, 3, seed=9) == starts != start_rows(record, 3, seed=10)
    for start, other in zip(starts[1:], others, strict=True):
        frame = other.frame
        assert frame["time"].iloc[0] == 0.0 and np.diff(frame["time"]).min() > 0
        assert frame["time"].iloc[-1] + frame["duration"].iloc[-1] == pytest.approx(record.duration, rel=1e-12)
        moved = pd.concat([record.frame.iloc[start:], record.frame.iloc[:start]]).reset_index(drop=True)
        pd.testing.assert_frame_equal(frame.drop(columns="time"), moved.drop(columns="time"))
        assert other.bulk_density == record.bulk_density and other.parameters == record.parameters
    with pytest.raises(ValueError, match="at most 360 realisations"):
        realisations(record, 361, seed=1)


def test_interval_is_the_student_t_interval_of_the_mean():
    mean, low, high = interval([1.0, 2.0, 3.0], 0.9)
    # t(0.95, 2) = 2.919986; s = 1; half width 2.919986 / sqrt(3).
    assert (mean, low, high) == pytest.approx((2.0, 2.0 - 1.685854, 2.0 + 1.685854), abs=1e-6)
    assert interval([4.0], 0.9)[0] == 4.0 and all(math.isnan(v) for v in interval([4.0], 0.9)[1:])
    assert all(math.isnan(v) for v in interval([1.0, math.nan, 3.0], 0.9))
    assert interval([1.0, 2.0, 3.0], 0.99)[2] > high


def test_intervals_of_positive_ratios_stay_above_zero():
    # Two replicates of an effect far apart: the interval of the mean reaches below zero, the one
    # on the logarithm does not, and it centres on the geometric mean.
    assert interval([3.0, 53.8], 0.9)[1] < 0
    centre, low, high = interval([3.0, 53.8], 0.9, positive=True)
    assert centre == pytest.approx(math.sqrt(3.0 * 53.8)) and 0 < low < 3.0 and high > 53.8
    # t(0.95, 2) = 2.919986 on ln(1), ln(2), ln(4): mean ln 2, s = ln 2.
    half = 2.919986 * math.log(2) / math.sqrt(3)
    assert interval([1.0, 2.0, 4.0], 0.9, positive=True) == pytest.approx(
        (2.0, 2.0 * math.exp(-half), 2.0 * math.exp(half)), rel=1e-6)
    assert interval([2.0, 0.0, 4.0], 0.9, positive=True)[0] == 2.0  # no logarithm: no bounds
    assert all(math.isnan(v) for v in interval([2.0, 0.0, 4.0], 0.9, positive=True)[1:])


def _ranking(rows, replicates=3):
    frame = pd.DataFrame(rows, columns=["plan", "worst_effect", "worst_effect_low", "worst_effect_high"])
    frame = frame.assign(settings="", speed=10.0, passes=100.0, layers=100.0, worst_parameter="CaO",
                         label=frame["plan"])
    frame.attrs.update(coverage=0.9, replicates=replicates)
    return frame


@pytest.mark.parametrize(("rows", "clearly", "says"), [
    ([("chevron", 40, 36, 44), ("chevron", 39, 35, 43), ("strata", 30, 28, 32)], True, "above the runner-up, strata"),
    ([("chevron", 40, 31, 49), ("strata", 35, 30, 40)], False, "No plan is clearly better"),
    ([("chevron", 40, math.nan, math.nan), ("strata", 20, math.nan, math.nan)], False, "no intervals"),
])
def test_a_plan_is_better_only_when_the_intervals_say_so(rows, clearly, says):
    advice = recommend(_ranking(rows, replicates=1 if math.isnan(rows[0][2]) else 3))
    assert advice.clearly_better is clearly
    assert says in advice.sentence
    assert advice.best["plan"] == "chevron" and advice.runner_up["plan"] == "strata"
