"""Random beds under random calls, as many as the hypothesis profile (conftest.py) asks for: a
state machine checks the volume balance, the slope rule, the reclaimed rows and the refusals."""

import ctypes
import ctypes.util
import math
import sys
from concurrent.futures import ThreadPoolExecutor
from types import SimpleNamespace

import numpy as np
import pytest
from hypothesis import given, note
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from _pilora_lib import PiloraLib

NAN, INF, f32 = math.nan, math.inf, np.float32
XZV, NAMES = ["x", "z", "volume"], ["cu", "Fe", "x ", "\u00e9t\u00e9"]
libm = ctypes.CDLL(ctypes.util.find_library("m"))
libm.powf.restype, libm.powf.argtypes = ctypes.c_float, [ctypes.c_float, ctypes.c_float]


def geometry(*args):
    """The settings of a bed and the geometry they give, in single precision like the module."""
    size_x, size_z, angle, ppvu, circular, p8, _, _, _, increment = args
    cell = f32(1.0) / f32(libm.powf(ppvu, 0.33333334))
    nx, nz = (int(float(f32(size) / cell) + 0.5) for size in (size_x, size_z))
    arc = float(min(f32(size_x), f32(size_z))) * 1.5707963705062866
    slices = int(arc / float(cell) + 0.5) if circular else nx
    vertical = float(abs(f32(90.0) - f32(angle))) < 0.01
    return SimpleNamespace(
        args=list(args), cell=cell, chunk=float(f32(1.0) / f32(ppvu)), nx=nx, nz=nz,
        slices=slices, increment=f32(increment), eight=not f32(p8) < 1.0,
        slice_is_column=not circular and vertical,
        # Only the last column feeds the last slice of a linear bed whose face stands vertical or
        # leans forward; otherwise any chunk may end up there.
        last_slice_is_last_column=not circular and (f32(angle) < 90.0 or vertical))


@st.composite
def beds(draw):
    ppvu = float(f32(draw(st.sampled_from([1.0, 8.0, 0.125, 27.0]) | st.floats(0.02, 100.0))))
    cell = float(f32(1.0) / f32(libm.powf(ppvu, 0.33333334)))
    cells = st.sampled_from([1.0, 2.0]) | st.floats(0.51, 12.0)
    size_x, size_z = draw(cells) * cell, draw(cells) * cell
    angle = draw(st.sampled_from([90.0, 89.995])  # a vertical face: each slice is a column
                 | st.sampled_from([45.0, 30.0, 0.0, 135.0, 180.0, -30.0, 270.0])
                 | st.floats(-360.0, 360.0))
    p8 = draw(st.sampled_from([0.0, 0.5, 1.0, NAN, INF, -INF]) | st.floats(-0.5, 1.5))
    unused = st.floats(width=32)  # settings stored without effect, NaN and infinities included
    return geometry(size_x, size_z, angle, ppvu, draw(st.booleans()), p8, draw(unused),
                    draw(unused), False, draw(st.floats(0.05, 1.0) | st.floats(1.0, 4.0)) * cell)


def positions(bed):
    extent = 2.0 * float(max(bed.nx, bed.nz, 1) * bed.cell)
    return st.floats(-extent, extent) | st.sampled_from([NAN, INF, -INF, 1e30, -1e30, 3e9])


def misaligned(table):
    """The table as rows of a packed record array, one byte off a float64 boundary."""
    packed = np.zeros(len(table), [("pad", "u1"), ("row", "f8", table.shape[1:])])
    packed["row"] = table
    return packed["row"]


EXACT_LAYOUTS = [np.ascontiguousarray, np.asfortranarray, lambda t: np.ascontiguousarray(t.T).T,
                 lambda t: np.repeat(t, 2, axis=0)[::2], misaligned]
LAYOUTS = [*EXACT_LAYOUTS, lambda t: t.astype(np.float32)]


@st.composite
def tables(draw, bed, count, constant):
    """(table, names, the values read): needed columns and maybe a timestamp, in any order."""
    n = draw(st.integers(0, 5))
    columns = {"x": [draw(positions(bed)) for _ in range(n)],
               "z": [draw(positions(bed)) for _ in range(n)],
               "volume": [draw(st.floats(0.0, 5.0)) * bed.chunk for _ in range(n)],
               "timestamp": [draw(st.floats(width=32)) for _ in range(n)]}
    for j in range(count):
        columns[NAMES[j]] = [draw(st.floats(-1e3, 1e3, width=32)) if j else constant
                             for _ in range(n)]
    order = draw(st.permutations([c for c in columns if c != "timestamp" or draw(st.booleans())]))
    params = iter(NAMES[:count])  # parameters keep their order among themselves
    order = [next(params) if name in NAMES else name for name in order]
    data = np.array([columns[name] for name in order]).reshape(len(order), n).T
    table = draw(st.sampled_from(LAYOUTS))(data)
    return table, tuple(order) if draw(st.booleans()) else order, np.asarray(table, np.float64)


def check_heights(m):
    """Whole chunks that never go down, none more than one above an edge neighbour (nor a corner
    one when every step scans all eight), all stacked volume there but for less than a chunk."""
    bed, field = m.bed, m.lib.get_heights()
    assert len(field) == bed.nz and all(len(row) == bed.nx for row in field)
    field = np.array(field, dtype=np.float64).reshape(bed.nz, bed.nx)
    chunks = np.rint(field / float(bed.cell)).astype(np.int64)
    assert np.array_equal(f32(chunks) * bed.cell, f32(field)), "heights are not whole chunks"
    assert (chunks >= m.chunks).all(), "a height went down"
    steps = [np.diff(chunks, axis=0), np.diff(chunks, axis=1)]
    if bed.eight:
        steps += [chunks[1:, 1:] - chunks[:-1, :-1], chunks[1:, :-1] - chunks[:-1, 1:]]
    assert all(np.abs(step).max(initial=0) <= 1 for step in steps)
    m.chunks, m.on_grid = chunks, int(chunks.sum()) * bed.chunk
    m.tol = 1e-7 * bed.chunk + 1e-12 * m.stacked
    assert -m.tol <= m.stacked - m.on_grid < bed.chunk + m.tol


def check_reclaim(m):
    """Rows at x = 0, increment, ... until x rounds to the slice count; volumes that add up to
    the material on the grid less at most half the last slice (where a slice is a column, the
    material between x and the last x, a slice's spread evenly over its width); averages zero
    without volume and within the range of the values stacked. Once."""
    bed, result, xs, x, reached = m.bed, m.lib.reclaim(), [], f32(0.0), f32(0.0)
    if m.reclaimed:
        assert result == {key: [] for key in ["x", "volume", *m.names]}
        return
    while math.trunc(float(reached / bed.cell) + 0.5) < bed.slices:
        xs.append(float(x))
        reached, x = x, f32(x + bed.increment)
    m.reclaimed = True
    assert list(result) == ["x", "volume", *m.names] and result["x"] == xs
    assert all(len(column) == len(xs) for column in result.values())
    volumes, tol = np.array(result["volume"]), m.tol * (len(xs) + 1)
    assert (volumes >= 0.0).all() and volumes[:1].sum() == 0.0
    last = m.chunks[:, -1:].sum() * bed.chunk if bed.last_slice_is_last_column else m.on_grid
    assert m.on_grid - 0.5 * last - tol <= math.fsum(volumes) <= m.on_grid + tol
    if bed.slice_is_column and xs:
        columns, k = m.chunks.sum(axis=0) * bed.chunk, np.arange(bed.nx)
        cells = [float(f32(x) / bed.cell) for x in xs]
        expected = [math.fsum(columns * np.clip(np.minimum(q, k + 1) - np.maximum(p, k), 0, 1))
                    for p, q in zip([0.0] + cells, cells)]
        np.testing.assert_allclose(volumes, expected, rtol=1e-9, atol=tol)
    for name, (low, high) in zip(m.names, m.bounds):
        averages, slack = np.array(result[name]), 1e-9 * max(abs(low), abs(high), 1.0)
        assert (averages[volumes == 0.0] == 0.0).all()
        assert ((averages >= low - slack) & (averages <= high + slack))[volumes > 0.0].all()


class BedMachine(RuleBasedStateMachine):
    @initialize(bed=beds(), count=st.integers(0, 3), constant=st.integers(-1000, 1000))
    def build(self, bed, count, constant):
        self.bed, self.lib = bed, PiloraLib(*bed.args)
        self.count, self.constant = count, float(constant)  # values per portion; the first fixed
        self.count_fixed, self.names, self.stacked, self.reclaimed = False, [], 0.0, False
        self.bounds = [[self.constant, self.constant]] + [[INF, -INF] for _ in range(count - 1)]
        self.chunks = np.zeros((bed.nz, bed.nx), dtype=np.int64)

    @rule(data=st.data())
    def stack(self, data):
        x, z = data.draw(positions(self.bed)), data.draw(positions(self.bed))
        volume = data.draw(st.sampled_from([0.0, 1.0, 3.0]) | st.floats(0.0, 6.0)) * self.bed.chunk
        values = [self.constant, *data.draw(st.lists(st.floats(-1e6, 1e6), min_size=2,
                                                     max_size=2))][:self.count]
        self.lib.stack(data.draw(st.floats()), x, z, volume, values)
        self.stacked, self.count_fixed = self.stacked + volume, True
        self.widen_bounds([[value] for value in values])

    @rule(data=st.data())
    def stack_list(self, data):
        table, names, seen = data.draw(tables(self.bed, self.count, self.constant))
        note(f"{table.dtype} {table.strides} {names}")
        self.lib.stack_list(table, names)
        self.stacked += math.fsum(seen[:, names.index("volume")])
        self.names = NAMES[:self.count] if self.count else self.names
        self.count_fixed |= bool(self.count or len(seen))
        self.widen_bounds([seen[:, j] for j, name in enumerate(names) if name in NAMES])

    def widen_bounds(self, columns):
        for bounds, column in zip(self.bounds, columns):
            bounds[:] = min([bounds[0], *column]), max([bounds[1], *column])

    @rule(data=st.data())
    def bad_call(self, data):
        """A refused portion or table: the right exception, and the heights as they were."""
        draw, bed, values = data.draw, self.bed, [self.constant] * self.count
        names, rows = XZV + NAMES[:self.count], draw(st.integers(1, 4))
        bad = np.tile([0.0, 0.0, bed.chunk] + values, (rows, 1))
        bad[draw(st.integers(0, rows - 1)), 2] = draw(st.sampled_from([NAN, INF, -INF, -1.0]))
        capacity = bed.nx * bed.nz * (2147483646.0 - bed.nx - bed.nz) * bed.chunk
        huge = draw(st.floats(1.01, 1e6).map(lambda f: f * capacity)  # more than the bed holds
                    | st.sampled_from([2.0**53 * bed.chunk, 1e300]))
        calls = [("stack_list", (draw(st.sampled_from(LAYOUTS))(bad), names), ValueError),
                 ("stack", (0.0, 1.0, 1.0, draw(st.sampled_from([NAN, INF, -INF]) | st.floats(
                     max_value=-1e-300)), values), ValueError),
                 ("stack", (0.0, 0.0, 0.0, huge, values), ValueError),
                 ("stack_list", (np.tile([0.0, 0.0, huge / rows] + values, (rows, 1)), names),
                  ValueError)]
        if self.count:  # a parameter value that is not finite, or gives no finite sum
            column, value = draw(st.integers(0, self.count - 1)), draw(st.sampled_from(
                [NAN, INF, -INF, 1.7e308 / bed.chunk, -1.7e308 / bed.chunk]))
            spoilt = np.tile([0.0, 0.0, 2.0 * bed.chunk] + values, (rows, 1))
            spoilt[draw(st.integers(0, rows - 1)), 3 + column] = value
            one = [*values[:column], value, *values[column + 1:]]
            layout = draw(st.sampled_from(EXACT_LAYOUTS))
            calls += [("stack", (0.0, 0.0, 0.0, 2.0 * bed.chunk, one), ValueError),
                      ("stack_list", (layout(spoilt), names), ValueError)]
        if self.count_fixed:
            count = (self.count + draw(st.integers(1, 4))) % 5
            calls += [("stack", (0.0, 0.0, 0.0, bed.chunk, [1.0] * count), RuntimeError),
                      ("stack_list", (np.ones((2, 3 + count)), XZV + NAMES[:count]), RuntimeError)]
        if self.names:
            names = list(names)
            names[draw(st.integers(3, len(names) - 1))] = draw(st.sampled_from(["CU", "fe", "cu "]))
            calls += [("stack_list", (np.ones((1, len(names))), names), ValueError)]
        method, args, error = draw(st.sampled_from(calls))
        before = self.lib.get_heights()
        with pytest.raises(error):
            getattr(self.lib, method)(*args)
        assert self.lib.get_heights() == before

    @invariant()
    def heights(self):
        check_heights(self)

    @rule()
    def reclaim(self):
        check_reclaim(self)


TestBedMachine = BedMachine.TestCase


BAD = st.sampled_from([NAN, INF, -INF, 1e39, -1e39])  # 1e39 is infinite in single precision
SIZE, POSITIVE = BAD | st.floats(max_value=-1e-30), BAD | st.floats(max_value=1e-46)
WRONG_TYPE = st.sampled_from(["1.0", None, [1.0], b"1", 2**1100])


@given(bed=beds(), data=st.data(), case=st.sampled_from([
    ([0], SIZE, ValueError), ([1], SIZE, ValueError), ([2], BAD, ValueError),
    ([3], POSITIVE, ValueError), ([9], POSITIVE, ValueError),
    ([0, 1], st.sampled_from([1e11, 1e20, 3e5]), ValueError),  # more cells than 32 bits count
    ([8], st.just(True), RuntimeError),  # the detailed simulator, whatever the other settings
    *[([i], WRONG_TYPE, TypeError) for i in (0, 3, 5, 9)]]))
def test_invalid_settings_are_refused(bed, data, case):
    args, value = list(bed.args), data.draw(case[1])
    for i in case[0]:
        args[i] = value
    with pytest.raises(case[2]):
        PiloraLib(*args)


def test_beds_in_threads_of_their_own():
    """Eight threads at once, switching as often as the interpreter allows, each stacking random
    portions into a bed of its own and checking it as the state machine does."""

    def use_bed(seed):
        rng = np.random.default_rng(seed)
        bed = geometry(12.0, 8.0, 45.0, 1.0, seed % 2 == 1, 0.5, 0.0, 0.0, False, 0.5)
        m = SimpleNamespace(bed=bed, lib=PiloraLib(*bed.args), chunks=0, stacked=0.0,
                            names=["q", "r"], bounds=[[7.0, 7.0], [-5.0, 5.0]], reclaimed=False)
        for _ in range(30):
            table = rng.uniform([-1, -1, 0, 7, -5], [13, 9, 4, 7, 5], (rng.integers(0, 6), 5))
            m.lib.stack_list(np.asfortranarray(table), ["x", "z", "volume", "q", "r"])
            m.lib.stack(0.0, *rng.uniform(0, [12, 8]), volume := rng.uniform(0, 3), [7.0, 0.0])
            m.stacked += math.fsum(table[:, 2]) + volume
            check_heights(m)
        check_reclaim(m)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        with ThreadPoolExecutor(8) as pool:
            list(pool.map(use_bed, range(8)))  # raises what a thread raised
    finally:
        sys.setswitchinterval(interval)
