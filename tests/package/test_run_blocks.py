"""Runs stacked a block of portions at a time (what `run_task` does): the numbers of `simulate` and
`measures`, bit for bit, whatever the blocks; and the cases left to `simulate`."""

import numpy as np
import pandas as pd
import pytest

from pilora import (BedSettings, Chevcon, Chevron, ConeShell, ControlPoints, Record, Strata, Task, Windrow, run_task,
                    simulate)
from pilora import plans
from pilora.analysis import _Placement
from pilora.evaluate import measures

LINEAR = BedSettings(40.0, 10.0, chunks_per_volume_unit=2.0)
RING = BedSettings(60.0, 50.0, circular=True, chunks_per_volume_unit=1.0)


def drifting(rows=300, volume=2.0, bulk_density=1.6, seed=3):
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({"time": np.arange(rows) * 0.05, "volume": volume,
                          "a": np.cumsum(rng.normal(size=rows)), "b": rng.normal(size=rows)})
    return Record.from_frame(frame, volume="volume", bulk_density=bulk_density)


def direct(rows=200, overlap=1.0, dtype=np.float64, bad=None):
    """A record built field by field: intervals `overlap` steps long, "q" of `dtype`, an
    infinite value in row `bad`."""
    q = np.random.default_rng(4).normal(size=rows).astype(dtype)
    if bad is not None:
        q[bad] = np.inf
    frame = pd.DataFrame({"time": np.arange(rows) * 0.05, "duration": 0.05 * overlap, "volume": 2.0,
                          "mass": 3.0, "q": q})
    return Record(frame, ("q",), 1.5)


def bits(row):
    return {key: np.float64(value).tobytes() for key, value in row.items()}


@pytest.mark.parametrize(
    ("bed", "record", "plan"),
    [
        (LINEAR, drifting(), Chevron(layers=9)),
        (LINEAR, drifting(bulk_density=None), Windrow(rows=3, layers=4)),
        (LINEAR, drifting(), Strata(swing_period=7.0, layers=5)),
        (LINEAR, drifting(), ConeShell(step=4.0)),
        (LINEAR, drifting(), ControlPoints(positions=(2.0, 38.0, 11.0), cycles=3)),
        (RING, drifting(volume=8.0), Chevcon(tail=20.0, swings=12)),
        (LINEAR, direct(overlap=3.0), Chevron(layers=6)),  # portions out of time order
        (LINEAR, direct(dtype=np.float32), Chevron(layers=6)),  # left to simulate
    ],
    ids=["chevron", "windrow", "strata", "cone shell", "control points", "chevcon", "overlapping", "float32"],
)
@pytest.mark.parametrize("pieces", [1, 97, 100_000])
def test_blocks_give_the_numbers_of_simulate(monkeypatch, bed, record, plan, pieces):
    monkeypatch.setattr(plans, "BLOCK_PIECES", pieces)
    cut = plan._cut(record, bed)
    blocks = cut.blocks()
    assert [lo for lo, _ in blocks] == [0] + [hi for _, hi in blocks[:-1]] and blocks[-1][1] == len(record.frame)
    table = np.empty((4 + len(record.parameters), cut.total))
    for lo, hi in blocks:
        start = int(cut.counts[:lo].sum())
        cut.fill(lo, hi, table[:, start:start + int(cut.counts[lo:hi].sum())])
    portions = plan.portions(record, bed)
    np.testing.assert_array_equal(table, portions.to_numpy(dtype=np.float64).T)
    assert bits(run_task(Task(bed, record, plan, reclaim_increment=1.5), 7)) == bits(
        measures(simulate(bed, record, plan, seed=7, reclaim_increment=1.5)))


@pytest.mark.parametrize("plan", [Chevron(layers=9), Strata(swing_period=7.0, layers=5), ConeShell(step=4.0)], ids=repr)
def test_pieces_lie_at_the_middles_of_equal_shares_of_time(plan):
    """Piece j of the n pieces of row i: at t_i + (j + 0.5) / n d_i, where the stacker is then,
    with v_i / n of the volume."""
    record = drifting()
    portions = plan.portions(record, LINEAR)
    frame = record.frame
    n = plan._cut(record, LINEAR).counts
    row = np.repeat(np.arange(len(frame)), n)
    j = np.arange(n.sum()) - np.repeat(np.cumsum(n) - n, n)
    time = frame["time"].to_numpy()[row] + (j + 0.5) / n[row] * frame["duration"].to_numpy()[row]
    x, z = plan.stacker_position(time, record, LINEAR)
    expected = np.vstack([time, x, z, frame["volume"].to_numpy()[row] / n[row], frame["a"].to_numpy()[row],
                          frame["b"].to_numpy()[row]])
    np.testing.assert_array_equal(portions.to_numpy().T, expected)


def test_refusals_are_those_of_simulate(monkeypatch):
    monkeypatch.setattr(plans, "BLOCK_PIECES", 50)
    record, plan = direct(bad=150), Chevron(layers=6)
    with pytest.raises(ValueError) as expected:
        simulate(LINEAR, record, plan, seed=1)
    with pytest.raises(ValueError) as got:
        run_task(Task(LINEAR, record, plan), 1)
    assert str(got.value) == str(expected.value) and str(got.value).startswith("portion ")


def test_placement_in_blocks_adds_as_one_bincount():
    """Per record row, the volume placed and placed outside the ranges, portion after portion."""
    rng = np.random.default_rng(5)
    record_volume = rng.uniform(0.0, 3.0, 50)
    record_volume[[3, 4, 20]] = 0.0
    volume = np.repeat(record_volume, 7) / 7 * rng.uniform(0.9, 1.1, 350)
    x = rng.uniform(0.0, 40.0, 350)
    ranges = ((0.0, 5.0), (33.0, 40.0))
    row = np.minimum(np.searchsorted(np.cumsum(record_volume), np.cumsum(volume) - volume / 2, side="right"), 49)
    outside = ~((x <= 5.0) | (x >= 33.0))
    cuts = [0, 1, 2, 60, 61, 200, 350]
    placement = _Placement(record_volume, ranges)
    for lo, hi in zip(cuts[:-1], cuts[1:]):
        placement.add(np.arange(lo, hi, dtype=float), x[lo:hi], volume[lo:hi])
    assert placement.ordered
    np.testing.assert_array_equal(placement.placed, np.bincount(row, weights=volume, minlength=50))
    np.testing.assert_array_equal(placement.kept, np.bincount(row, weights=volume * outside, minlength=50))
    late = _Placement(record_volume, ranges)
    late.add(np.array([1.0, 2.0]), x[:2], volume[:2])
    late.add(np.array([1.5]), x[2:3], volume[2:3])
    assert not late.ordered
