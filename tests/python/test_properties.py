"""Properties that hold for every random bed and every random sequence of calls.

Valid use (a state machine over stack, stack_list, get_heights and reclaim) keeps the volume
balance, the slope rule and the reclaim rows; bad input raises the documented exception and
leaves the bed exactly as it was.

HYPOTHESIS_PROFILE=long runs many more examples than the default profile.
"""

import ctypes
import ctypes.util
import math
import os
from types import SimpleNamespace

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, note, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from _pilora_lib import PiloraLib

_LONG = os.environ.get("HYPOTHESIS_PROFILE") == "long"
PROFILE = settings(
    max_examples=2000 if _LONG else 300,
    stateful_step_count=60 if _LONG else 25,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

NAN, INF = math.nan, math.inf
f32 = np.float32

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.powf.restype = ctypes.c_float
_libm.powf.argtypes = [ctypes.c_float, ctypes.c_float]


# ---------------------------------------------------------------------------------------------
# The bed's geometry, derived from its settings the way the simulator does (single precision).


class Bed:
    """Settings of a bed and the geometry they give."""

    def __init__(self, size_x, size_z, angle, ppvu, circular, p8, a, b, increment):
        self.args = [size_x, size_z, angle, ppvu, circular, p8, a, b, False, increment]
        self.ppvu = f32(ppvu)
        self.cell = f32(1.0) / f32(_libm.powf(self.ppvu, f32(0.33333334)))
        self.chunk = float(f32(1.0) / self.ppvu)
        self.nx = int(float(f32(size_x) / self.cell) + 0.5)
        self.nz = int(float(f32(size_z) / self.cell) + 0.5)
        self.circular = bool(circular)
        self.p8 = float(f32(p8))
        if circular:
            radius = f32(size_z) if f32(size_z) < f32(size_x) else f32(size_x)
            self.slices = int(float(radius) * 1.5707963705062866 / float(self.cell) + 0.5)
        else:
            self.slices = self.nx
        # Only the last column feeds the last slice of a linear bed whose face leans forward or
        # stands vertical; otherwise any chunk may end up in it.
        vertical = float(abs(f32(90.0) - f32(angle))) < 0.01
        self.last_slice_is_last_column = not circular and (f32(angle) < f32(90.0) or vertical)
        self.slice_is_column = not circular and vertical
        self.increment = f32(increment)

    @property
    def takes_material(self):
        return self.nx > 0 and self.nz > 0 and self.slices > 0

    def finished(self, x):
        p = float(f32(x) / self.cell) + 0.5
        r = -1 if math.isnan(p) else math.trunc(min(p, 2.0**31 - 1))
        return r < 0 or r >= self.slices

    def reclaim_positions(self):
        """Reclaiming steps x from 0 and stops once the last position it reclaimed up to is
        finished."""
        positions, x, reached = [], f32(0.0), f32(0.0)
        while not self.finished(reached):
            positions.append(float(x))
            reached, x = x, f32(x + self.increment)
        return positions

    def __repr__(self):
        return f"PiloraLib(*{self.args!r})"


@st.composite
def beds(draw, max_cells=12, strip=False):
    ppvu = float(f32(draw(st.sampled_from([1.0, 8.0, 0.125, 27.0]) | st.floats(0.02, 100.0))))
    cell = float(f32(1.0) / f32(_libm.powf(f32(ppvu), f32(0.33333334))))
    cells = st.sampled_from([1.0, 2.0]) | st.floats(0.5, max_cells)
    size_x, size_z = draw(cells) * cell, draw(st.floats(0.5, 1.49) if strip else cells) * cell
    if draw(st.integers(0, 9)) == 0:  # now and then a bed below half a cell along an axis
        size_x = draw(st.sampled_from([0.0, 0.49]) | st.floats(0.0, 0.49)) * cell
    angle = draw(st.sampled_from([90.0, 45.0, 30.0, 0.0, 135.0, 180.0, -30.0, 89.995, 270.0])
                 | st.floats(-360.0, 360.0))
    p8 = draw(st.sampled_from([0.0, 0.5, 1.0, NAN, INF, -INF]) | st.floats(-0.5, 1.5))
    stored = st.floats(allow_nan=True, allow_infinity=True, width=32)
    increment = draw(st.floats(0.05, 4.0)) * cell
    return Bed(size_x, size_z, angle, ppvu, draw(st.booleans()) and not strip, p8,
               draw(stored), draw(stored), increment)


def positions(bed):
    extent = 2.0 * float(max(bed.nx, bed.nz, 1) * bed.cell)
    return st.floats(-extent, extent) | st.sampled_from([NAN, INF, -INF, 1e30, -1e30, 3e9])


def counts(bed, heights):
    """The height field as whole chunk counts, shape (grid_nz, grid_nx)."""
    assert len(heights) == bed.nz and all(len(row) == bed.nx for row in heights)
    field = np.array(heights, dtype=np.float64).reshape(bed.nz, bed.nx)
    chunks = np.rint(field / float(bed.cell))
    assert np.array_equal(f32(chunks) * bed.cell, f32(field)), "heights are not whole chunks"
    return chunks.astype(np.int64)


def check_slopes(bed, chunks):
    """No cell stands more than one chunk above a cell it shares an edge with (nor a corner,
    when every walk step scans all eight neighbours)."""
    assert (chunks >= 0).all()
    assert np.abs(np.diff(chunks, axis=0)).max(initial=0) <= 1
    assert np.abs(np.diff(chunks, axis=1)).max(initial=0) <= 1
    if bed.p8 >= 1.0 or math.isnan(bed.p8):
        assert np.abs(chunks[1:, 1:] - chunks[:-1, :-1]).max(initial=0) <= 1
        assert np.abs(chunks[1:, :-1] - chunks[:-1, 1:]).max(initial=0) <= 1


def tolerance(bed, volume):
    return 1e-7 * bed.chunk + 1e-12 * volume


def check_balance(bed, chunks, stacked):
    """What was stacked is on the grid in whole chunks plus a buffered remainder below a chunk."""
    on_grid = int(chunks.sum()) * bed.chunk
    remainder = stacked - on_grid
    tol = tolerance(bed, stacked)
    assert -tol <= remainder < bed.chunk + tol, (stacked, on_grid)


def check_reclaim(bed, result, names, chunks, constant, bounds):
    """Rows as the slice count and the increment give them, volumes that add up to the material
    on the grid (less at most half of the last slice), averages of a constant parameter equal to
    it and every average within the range of the values stacked. Where each slice holds one
    column, every row holds what lies between its position and the previous one, with each
    slice's material spread evenly over its width."""
    on_grid = int(chunks.sum()) * bed.chunk
    last_column = int(chunks[:, -1].sum()) * bed.chunk if bed.nx else 0.0
    assert list(result) == ["x", "volume"] + list(dict.fromkeys(names))
    expected = bed.reclaim_positions()
    assert result["x"] == expected
    rows = len(expected)
    assert all(len(column) == rows for column in result.values())
    volumes = np.array(result["volume"])
    if rows:
        assert volumes[0] == 0.0
    assert (volumes >= 0.0).all()
    total = math.fsum(volumes)
    tol = tolerance(bed, on_grid) * (rows + 1)
    assert total <= on_grid + tol
    last_slice = last_column if bed.last_slice_is_last_column else on_grid
    assert total >= on_grid - 0.5 * last_slice - tol, (total, on_grid, last_slice)
    if bed.slice_is_column and rows:
        columns = chunks.sum(axis=0) * bed.chunk
        cells = [float(f32(x) / bed.cell) for x in result["x"]]
        k = np.arange(len(columns))
        expected = [math.fsum(columns * np.clip(np.minimum(q, k + 1) - np.maximum(p, k), 0, None))
                    for p, q in zip([0.0] + cells, cells)]
        np.testing.assert_allclose(volumes, expected, rtol=1e-9, atol=tol)
    for j, name in enumerate(names):
        averages = np.array(result[name])
        assert (averages[volumes == 0.0] == 0.0).all()
        taken = averages[volumes > 0.0]
        if j == 0 and constant is not None:
            np.testing.assert_allclose(taken, constant, rtol=1e-9, atol=1e-9)
        if j in bounds and taken.size:
            low, high = bounds[j]
            slack = 1e-9 * max(abs(low), abs(high), 1.0)
            assert (taken >= low - slack).all() and (taken <= high + slack).all()


# ---------------------------------------------------------------------------------------------
# Tables for stack_list: the columns a call needs, in random order and memory layout.

NAMES = ["cu", "Fe", "x ", "\u00e9t\u00e9", "q"]


@st.composite
def tables(draw, bed, count, constant, rows=st.integers(0, 5)):
    """(table object, column names, the float64 table the module reads)."""
    n = draw(rows)
    layout = draw(st.sampled_from(["C", "F", "transposed", "strided", "float32", "int", "list"]))
    whole = layout in ("int", "list")
    pos = st.integers(-3, bed.nx + 3) if whole else positions(bed)
    vol = (st.integers(0, 4).map(lambda k: float(k))
           if whole else st.floats(0.0, 5.0).map(lambda v: v * bed.chunk))
    value = st.integers(-1000, 1000) if whole else st.floats(-1e3, 1e3, width=32)
    columns = {
        "x": [float(draw(pos)) for _ in range(n)],
        "z": [float(draw(pos)) for _ in range(n)],
        "volume": [float(draw(vol)) for _ in range(n)],
    }
    for j in range(count):
        columns[NAMES[j]] = [float(constant) if j == 0 else float(draw(value)) for _ in range(n)]
    names = list(columns)
    if draw(st.booleans()):
        names.append("timestamp")
        columns["timestamp"] = [float(draw(st.integers(0, 99))) for _ in range(n)]
    # Columns in random order; parameter columns keep their order among themselves.
    order = draw(st.permutations(names))
    params = iter(NAMES[:count])
    order = [next(params) if name in NAMES else name for name in order]
    junk = -1.0 if whole else NAN  # read as a volume, it would be refused
    cols = [columns[name] for name in order]
    if draw(st.booleans()):  # an earlier "volume" column, overridden by the later one
        order, cols = ["volume"] + order, [[junk] * n] + cols
    cols += [[junk] * n] * draw(st.integers(0, 2))  # unnamed trailing columns are ignored
    data = np.array(cols, dtype=np.float64).reshape(len(cols), n).T
    if layout == "list" and n == 0:
        layout = "C"
    if layout == "C":
        table = np.ascontiguousarray(data)
    elif layout == "F":
        table = np.asfortranarray(data)
    elif layout == "transposed":
        table = np.ascontiguousarray(data.T).T
    elif layout == "strided":
        padded = np.full((2 * n, data.shape[1] + 1), junk)
        padded[::2, 1:] = data
        table = padded[::2, 1:]
    elif layout == "float32":
        table = data.astype(np.float32)
    elif layout == "int":
        table = data.astype(np.int64)
    else:
        table = data.astype(np.int64).tolist()
    if draw(st.booleans()):
        order = tuple(order)
    seen = np.asarray(table, dtype=np.float64).reshape(data.shape)
    return table, order, seen


# ---------------------------------------------------------------------------------------------
# Random valid use.


class BedMachine(RuleBasedStateMachine):
    @initialize(data=st.data(), count=st.integers(0, 3), constant=st.integers(-1000, 1000))
    def build(self, data, count, constant):
        self.bed = data.draw(beds())
        self.lib = PiloraLib(*self.bed.args)
        self.count = count  # parameter values of every portion; the first one is constant
        self.constant = float(constant)
        self.count_fixed = False
        self.names = []  # recorded by stack_list
        self.bounds = {0: (self.constant, self.constant)} if count else {}
        self.stacked = 0.0
        self.chunks = np.zeros((self.bed.nz, self.bed.nx), dtype=np.int64)
        self.reclaimed = False

    def note_values(self, j, values):
        if len(values):
            low, high = self.bounds.get(j, (INF, -INF))
            self.bounds[j] = (min(low, float(np.min(values))), max(high, float(np.max(values))))

    def refuse_without_cells(self, call):
        if self.bed.takes_material:
            return False
        with pytest.raises(ValueError, match="cannot take material"):
            call()
        return True

    @rule(data=st.data())
    def stack(self, data):
        x, z = data.draw(positions(self.bed)), data.draw(positions(self.bed))
        volume = data.draw(st.sampled_from([0.0, 1.0, 3.0]) | st.floats(0.0, 6.0)) * self.bed.chunk
        values = [self.constant] + data.draw(
            st.lists(st.floats(-1e6, 1e6), min_size=self.count - 1, max_size=self.count - 1)
        ) if self.count else []
        if self.refuse_without_cells(lambda: self.lib.stack(0.0, x, z, volume, values)):
            return
        self.lib.stack(data.draw(st.floats()), x, z, volume, values)
        self.stacked += volume
        self.count_fixed = True
        for j, value in enumerate(values):
            self.note_values(j, [value])

    @rule(data=st.data())
    def stack_list(self, data):
        table, names, seen = data.draw(tables(self.bed, self.count, self.constant))
        note(f"table {type(table).__name__} {getattr(table, 'dtype', '')} names {names}")
        if len(seen) and self.refuse_without_cells(lambda: self.lib.stack_list(table, names)):
            return
        self.lib.stack_list(table, names)
        last = {name: j for j, name in enumerate(names)}
        self.stacked += math.fsum(seen[:, last["volume"]])
        if self.count:
            self.names = NAMES[: self.count]
        if self.count or len(seen):
            self.count_fixed = True
        params = [j for j, name in enumerate(names) if name not in ("x", "z", "volume", "timestamp")]
        for p, column in enumerate(params):
            self.note_values(p, seen[:, column])

    @rule()
    def reclaim(self):
        chunks = self.check_heights()
        result = self.lib.reclaim()
        if self.reclaimed:
            assert result == {key: [] for key in ["x", "volume"] + self.names}
            return
        self.reclaimed = True
        check_reclaim(self.bed, result, self.names, chunks,
                      self.constant if self.count else None, self.bounds)

    @rule(data=st.data())
    def bad_call(self, data):
        call, error = data.draw(bad_calls(self))
        before = self.lib.get_heights()
        with pytest.raises(error):
            call(self.lib)
        assert self.lib.get_heights() == before

    @invariant()
    def heights_hold(self):
        if hasattr(self, "lib"):
            self.check_heights()

    def check_heights(self):
        chunks = counts(self.bed, self.lib.get_heights())
        assert (chunks >= self.chunks).all(), "a height went down"
        check_slopes(self.bed, chunks)
        check_balance(self.bed, chunks, self.stacked)
        self.chunks = chunks
        return chunks


BedMachine.TestCase.settings = PROFILE
TestBedMachine = BedMachine.TestCase


# ---------------------------------------------------------------------------------------------
# Random bad input.


def _expect(m, names, error):
    """`error`, or either refusal when the call also carries another parameter count than the
    bed's (which of the two is reported first is not fixed)."""
    params = [n for n in names if n not in ("x", "z", "volume", "timestamp")]
    if m.count_fixed and len(params) != m.count or not m.bed.takes_material:
        return (ValueError, RuntimeError)
    return error


def _missing_column(m, draw):
    names = ["x", "z", "volume"] + NAMES[: m.count]
    names.remove(draw(st.sampled_from(["x", "z", "volume"])))
    names[draw(st.integers(0, 1))] = draw(st.sampled_from(["X", "Volume", "timestamp", "zz"]))
    call = lambda lib: lib.stack_list(np.ones((2, len(names))), names)  # noqa: E731
    return call, _expect(m, names, ValueError)


def _too_many_names(m, draw):
    names = ["x", "z", "volume"] + NAMES[: m.count]
    columns = draw(st.integers(0, len(names) - 1))
    return lambda lib: lib.stack_list(np.ones((3, columns)), names), ValueError


def _dimensions(m, draw):
    shape = draw(st.sampled_from([(), (4,), (2, 4, 3), (1, 1, 1, 1)]))
    names = ["x", "z", "volume"] + NAMES[: m.count]
    return lambda lib: lib.stack_list(np.ones(shape), names), ValueError


def _bad_volume_row(m, draw):
    n = draw(st.integers(1, 6))
    names = ["x", "z", "volume"] + NAMES[: m.count]
    table = np.tile([0.0, 0.0, m.bed.chunk] + [m.constant] * m.count, (n, 1))
    table[draw(st.integers(0, n - 1)), 2] = draw(st.sampled_from([NAN, INF, -INF, -1.0, -1e-300]))
    if draw(st.booleans()):
        table = np.asfortranarray(table)
    return lambda lib: lib.stack_list(table, names), ValueError


def _bad_volume(m, draw):
    volume = draw(st.sampled_from([NAN, INF, -INF, -1e-300]) | st.floats(max_value=-1e-300))
    values = [m.constant] * m.count
    return lambda lib: lib.stack(0.0, 1.0, 1.0, volume, values), ValueError


def _huge_volume(m, draw):
    """More than the bed holds: the columns' 32-bit chunk counts less the slope the heap may need,
    in one portion or summed over the rows of one table; and 2**52 chunks or more at once, which
    the cutting loop could not count down."""
    bed = m.bed
    capacity = bed.nx * bed.nz * (2147483646.0 - bed.nx - bed.nz) * bed.chunk
    volume = draw(st.floats(1.01, 1e6).map(lambda f: f * capacity)
                  | st.sampled_from([2.0**53 * bed.chunk, 1e300]))
    if draw(st.booleans()):
        return lambda lib: lib.stack(0.0, 0.0, 0.0, volume, [m.constant] * m.count), ValueError
    names = ["x", "z", "volume"] + NAMES[: m.count]
    rows = draw(st.integers(1, 3))
    table = np.array([[0.0, 0.0, volume / rows] + [m.constant] * m.count] * rows)
    return lambda lib: lib.stack_list(table, names), ValueError


def _wrong_count(m, draw):
    count = (m.count + draw(st.integers(1, 5))) % 6
    if draw(st.booleans()):
        call = lambda lib: lib.stack(0.0, 0.0, 0.0, m.bed.chunk, [1.0] * count)  # noqa: E731
        return call, RuntimeError if m.bed.takes_material else (ValueError, RuntimeError)
    names = ["x", "z", "volume"] + (NAMES + ["extra"])[:count]
    error = RuntimeError if not m.names else (RuntimeError, ValueError)
    return lambda lib: lib.stack_list(np.ones((2, len(names))), names), error


def _other_names(m, draw):
    names = ["x", "z", "volume"] + list(m.names)
    j = draw(st.integers(3, len(names) - 1))
    names[j] = draw(st.sampled_from(["CU", "other", names[j] + " ", "fe"]))
    return lambda lib: lib.stack_list(np.ones((1, len(names))), names), ValueError


def _undecodable_name(m, draw):
    names = ["x", "z", "volume"] + NAMES[: m.count][:-1] + [b"\xff\xfe"]
    call = lambda lib: lib.stack_list(np.ones((1, len(names))), names)  # noqa: E731
    return call, ValueError if m.count else _expect(m, names, ValueError)


def _wrong_types(m, draw):
    calls = [
        lambda lib: lib.stack(0.0, "1", 0.0, 1.0, []),
        lambda lib: lib.stack(0.0, 0.0, 0.0, 1.0, "abc"),
        lambda lib: lib.stack(0.0, 0.0, 0.0, 1.0, [object()]),
        lambda lib: lib.stack(0.0, 0.0, 0.0, 2**1100, []),
        lambda lib: lib.stack(0.0, 0.0, 0.0, 1.0),
        lambda lib: lib.stack(0.0, 0.0, 0.0, 1.0, [], 1),
        lambda lib: lib.stack(0.0, 0.0, 0.0, volume=1.0, parameter_values=[]),
        lambda lib: lib.stack_list(np.ones((1, 3)), "xzv"),
        lambda lib: lib.stack_list(np.ones((1, 3)), ["x", "z", 3]),
        lambda lib: lib.stack_list([[1.0, 2.0], [1.0]], ["x", "z"]),
        lambda lib: lib.stack_list({"x": 1}, ["x", "z", "volume"]),
        lambda lib: lib.stack_list([["a", "b", "c"]], ["x", "z", "volume"]),
        lambda lib: lib.reclaim(1.0),
        lambda lib: lib.get_heights(0),
    ]
    return draw(st.sampled_from(calls)), TypeError


@st.composite
def bad_calls(draw, m):
    kinds = [_missing_column, _too_many_names, _dimensions, _bad_volume_row, _bad_volume,
             _undecodable_name, _wrong_types, _huge_volume]
    kinds += [_wrong_count] if m.count_fixed else []
    kinds += [_other_names] if m.names else []
    return draw(st.sampled_from(kinds))(m, draw)


@st.composite
def forced_history(draw):
    """A bed whose heap does not depend on the random walk (one cell across, every chunk dropped
    at the first cell) with a random valid history of portions."""
    bed = draw(beds(strip=True))
    assume(bed.takes_material)
    count = draw(st.integers(0, 2))
    at = st.sampled_from([0.0, -1.0, -INF, NAN, 0.2 * float(bed.cell)])
    portions = draw(st.lists(st.tuples(at, st.floats(0.0, 4.0), st.lists(
        st.floats(-1e3, 1e3), min_size=count, max_size=count)), min_size=1, max_size=8))
    return bed, [(x, v * bed.chunk, values) for x, v, values in portions]


@PROFILE
@given(history=forced_history(), data=st.data())
def test_refused_calls_change_nothing(history, data):
    """Twin beds with the same history: one also gets a refused call. Both then take the same
    last portion (which carries any buffered remainder down) and reclaim the same rows."""
    bed, portions = history
    twins = [PiloraLib(*bed.args), PiloraLib(*bed.args)]
    for lib in twins:
        for x, volume, values in portions:
            lib.stack(0.0, x, 0.0, volume, values)
    state = SimpleNamespace(bed=bed, count=len(portions[0][2]), constant=1.0, count_fixed=True,
                            names=[])
    call, error = data.draw(bad_calls(state))
    with pytest.raises(error):
        call(twins[0])
    x, volume, values = portions[-1]
    results = []
    for lib in twins:
        lib.stack(0.0, x, 0.0, volume + 0.5 * bed.chunk, values)
        results.append((lib.get_heights(), lib.reclaim()))
    assert results[0][0] == results[1][0]
    np.testing.assert_equal(results[0][1], results[1][1])


@PROFILE
@given(bed=beds(), field=st.sampled_from(["size_x", "size_z", "angle", "ppvu", "increment",
                                          "huge", "detailed", "type"]), data=st.data())
def test_invalid_settings_are_refused(bed, field, data):
    args = list(bed.args)
    error = ValueError
    if field == "size_x" or field == "size_z":
        args[field == "size_z"] = data.draw(st.sampled_from([NAN, INF, -INF, 1e39, -1e-3])
                                            | st.floats(max_value=-1e-30))
    elif field == "angle":
        args[2] = data.draw(st.sampled_from([NAN, INF, -INF, 1e39, -1e39]))
    elif field == "ppvu":
        args[3] = data.draw(st.sampled_from([NAN, INF, -INF, 0.0, -0.0, 1e39])
                            | st.floats(max_value=0.0))
    elif field == "increment":
        args[9] = data.draw(st.sampled_from([NAN, INF, -INF, 0.0, -0.0, 1e-46])
                            | st.floats(max_value=0.0))
    elif field == "huge":  # more cells or slices than 32 bits count
        scale = float(bed.cell) * data.draw(st.sampled_from([1e10, 1e20, 7e4]))
        args[0], args[1] = scale, scale
    elif field == "detailed":  # refused first, whatever the other settings are
        args[9] = data.draw(st.sampled_from([NAN, 0.0, 1.0]))
        args[8], error = True, RuntimeError
    else:
        args[data.draw(st.sampled_from([0, 1, 2, 3, 5, 9]))] = data.draw(
            st.sampled_from(["1.0", None, [1.0], b"1", 2**1100]))
        error = TypeError
    with pytest.raises(error):
        PiloraLib(*args)


@settings(PROFILE, max_examples=PROFILE.max_examples // 6)  # each refusal walks ~2**23 steps
@given(bed=beds(), tiny=st.floats(1e-12, 1e-8), data=st.data())
def test_increment_that_cannot_reach_the_end(bed, tiny, data):
    """An increment too small to move the position to the end of the bed is refused before
    anything is reclaimed, every time."""
    assume(bed.takes_material)
    bed.args[9] = float(bed.cell) * tiny
    lib = PiloraLib(*bed.args)
    for _ in range(data.draw(st.integers(1, 3))):
        lib.stack(0.0, data.draw(positions(bed)), 0.0, 2.5 * bed.chunk, [])
    before = lib.get_heights()
    for _ in range(2):
        with pytest.raises(ValueError, match="reclaim_increment"):
            lib.reclaim()
    assert lib.get_heights() == before
