"""Beds used from several Python threads at once, one bed per thread."""

import sys
import threading

import numpy as np

from _pilora_lib import PiloraLib

THREADS = 8
ROUNDS = 30


def forced_strip():
    """Ten unit cells in a row, every chunk dropped on the first: the heap is forced, so every
    thread must get exactly the same heights and reclaimed rows."""
    strip = PiloraLib(10.0, 1.0, 90.0, 1.0, False, 0.5, 0.0, 0.0, False, 1.0)
    for i in range(ROUNDS):
        strip.stack(0.0, 0.0, 0.0, 1.5, [float(i)])
    return strip.get_heights(), strip.reclaim()


def use_beds(seed):
    """Stacks random portions into a bed of its own (cell size 1, chunk volume 1), checking the
    heap after every round, then reclaims it; returns the forced strip's result."""
    rng = np.random.default_rng(seed)
    bed = PiloraLib(12.0, 8.0, 45.0, 1.0, seed % 2 == 1, 0.5, 0.0, 0.0, False, 0.5)
    stacked, before = 0.0, np.zeros((8, 12))
    for _ in range(ROUNDS):
        rows = int(rng.integers(0, 6))
        table = np.column_stack([rng.uniform(-1, 13, rows), rng.uniform(-1, 9, rows),
                                 rng.uniform(0, 4, rows), np.full(rows, 7.0),
                                 rng.uniform(-5, 5, rows)])
        bed.stack_list(np.asfortranarray(table), ["x", "z", "volume", "q", "r"])
        volume = float(rng.uniform(0, 3))
        bed.stack(0.0, float(rng.uniform(0, 12)), float(rng.uniform(0, 8)), volume, [7.0, 0.0])
        stacked += table[:, 2].sum() + volume
        heights = np.array(bed.get_heights())
        assert (heights >= before).all()
        assert np.abs(np.diff(heights, axis=0)).max() <= 1
        assert np.abs(np.diff(heights, axis=1)).max() <= 1
        assert 0 <= stacked - heights.sum() < 1 + 1e-9
        before = heights
    result = bed.reclaim()
    volumes = np.array(result["volume"])
    assert volumes.sum() <= heights.sum() + 1e-9
    np.testing.assert_allclose(np.array(result["q"])[volumes > 0], 7.0, rtol=1e-12)
    return forced_strip()


def test_one_bed_per_thread():
    expected = forced_strip()
    outcomes = [None] * THREADS
    start = threading.Barrier(THREADS)

    def run(seed):
        start.wait()
        try:
            outcomes[seed] = use_beds(seed)
        except BaseException as error:  # reported by the main thread
            outcomes[seed] = error

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as the interpreter allows
    try:
        threads = [threading.Thread(target=run, args=(seed,)) for seed in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    for outcome in outcomes:
        if isinstance(outcome, BaseException):
            raise outcome
        assert outcome == expected

