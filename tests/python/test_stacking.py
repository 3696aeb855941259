"""Stacking material with stack and stack_list: where chunks land, how tables are read, and the
portions and tables that are refused without changing the bed."""

import math

import numpy as np
import pytest

NAMES = ["x", "z", "volume"]
nan, inf = math.nan, math.inf

# One unit chunk on each of four distinct cells of a fresh 10 x 3 bed: a chunk dropped on a cell
# of height 0 never moves, so the heap is known exactly. Columns x, z, volume, a, b.
TABLE = np.array(
    [[1.0, 0.0, 1.0, 2.0, 10.0], [4.0, 2.0, 1.0, 3.0, 20.0], [7.0, 1.0, 1.0, 5.0, 30.0],
     [8.0, 1.0, 1.0, 7.0, 40.0]]
)
TABLE_CELLS = {(1, 0), (4, 2), (7, 1), (8, 1)}
TABLE_A = {1: 2.0, 4: 3.0, 7: 5.0, 8: 7.0}  # slice (= x column): value of a
TABLE_B = {1: 10.0, 4: 20.0, 7: 30.0, 8: 40.0}


def occupied(bed):
    """The (x, z) cells of a bed whose columns hold exactly one unit chunk; no column holds more."""
    rows = bed.get_heights()
    assert all(h in (0.0, 1.0) for row in rows for h in row)
    return {(x, z) for z, row in enumerate(rows) for x, h in enumerate(row) if h == 1.0}


def by_slice(values):
    """A reclaim column of the 10-slice unit bed (increment 1) as {slice: value} where non-zero."""
    assert len(values) == 11 and values[0] == 0.0
    return {i - 1: v for i, v in enumerate(values) if v != 0.0}


@pytest.mark.parametrize(
    "position, cell",
    [(0.0, 0), (0.49, 0), (0.5 - 1e-9, 1), (0.5, 1), (2.7, 3), (9.49, 9), (9.6, 9), (-3.0, 0),
     (nan, 0), (inf, 9), (1e30, 9), (1e300, 9), (-1e30, 0), (-1e300, 0), (-inf, 0)],
)
@pytest.mark.parametrize("method", ["stack", "stack_list"])
def test_chunk_on_a_fresh_bed_rests_on_the_rounded_and_clamped_cell(make_bed, position, cell,
                                                                   method):
    bed = make_bed(bed_size_z=10.0)
    if method == "stack":
        bed.stack(0.0, position, position, 1.0, [])
    else:
        bed.stack_list(np.array([[position, position, 1.0]]), NAMES)
    assert occupied(bed) == {(cell, cell)}


@pytest.mark.parametrize("probability", [0.0, 0.5, 1.0])
@pytest.mark.parametrize(
    "stack_ten",
    [
        pytest.param(lambda bed: bed.stack(0.0, 0.0, 0.0, 10.0, []), id="one-portion"),
        pytest.param(lambda bed: [bed.stack(t, 0.0, 0.0, 1.0, []) for t in range(10)], id="ten"),
        pytest.param(lambda bed: [bed.stack(0.0, 0.0, 0.0, 0.25, []) for _ in range(40)],
                     id="quarters"),
        pytest.param(lambda bed: bed.stack_list(np.tile([nan, 0.0, 0.0, 1.0], (10, 1)),
                                                ["timestamp"] + NAMES), id="table"),
    ],
)
def test_chunks_dropped_at_the_end_of_a_strip_build_a_staircase(make_bed, probability,
                                                                stack_ten):
    bed = make_bed(eight_neighbour_probability=probability)
    stack_ten(bed)
    assert bed.get_heights() == [[4.0, 3.0, 2.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0]]


def test_portions_are_cut_into_chunks_and_the_remainder_waits(make_bed):
    # 8 chunks per volume unit: chunk volume 0.125, cell size and chunk height 0.5.
    bed = make_bed(bed_size_x=0.5, bed_size_z=0.5, particles_per_volume_unit=8.0)
    for volume, height in [(0.1, 0.0), (0.3, 1.5), (0.0, 1.5), (0.05, 1.5), (0.125, 2.0)]:
        bed.stack(0.0, 0.0, 0.0, volume, [])
        assert bed.get_heights() == [[height]]
    bed = make_bed(bed_size_x=0.5, bed_size_z=0.5, particles_per_volume_unit=8.0)
    bed.stack(0.0, 0.0, 0.0, 0.125, [])  # exactly one chunk, nothing buffered before
    assert bed.get_heights() == [[0.5]]


@pytest.mark.parametrize("volume", [nan, inf, -inf, -1.0, -1e-300, 1e300])
def test_stack_refuses_a_volume_that_is_not_finite_and_non_negative(make_bed, volume):
    bed = make_bed(bed_size_x=1.0)
    bed.stack(0.0, 0.0, 0.0, 1.5, [2.0])
    with pytest.raises(ValueError, match="volume"):
        bed.stack(0.0, 0.0, 0.0, volume, [2.0])
    assert bed.get_heights() == [[1.0]]
    bed.stack(0.0, 0.0, 0.0, 0.5, [2.0])  # completes the buffered half chunk
    assert bed.get_heights() == [[2.0]]
    assert bed.reclaim()["volume"] == [0.0, 2.0]


def test_more_than_the_bed_holds_is_refused(make_bed):
    # Regressions: 2**53 chunks made stacking loop for ever (popping a chunk no longer lowered
    # the buffer), and enough chunks over several calls overflowed a column's 32-bit count.
    bed = make_bed(bed_size_x=1.0)  # one cell, chunk 1
    bed.stack(0.0, 0.0, 0.0, 10.0, [])
    capacity = 2147483646 - 2
    for call in (lambda: bed.stack(0.0, 0.0, 0.0, capacity - 9.0, []),
                 lambda: bed.stack(0.0, 0.0, 0.0, 2.0**53, []),
                 lambda: bed.stack_list([[0, 0, capacity // 2]] * 2, NAMES),
                 lambda: make_bed(bed_size_x=3000.0, bed_size_z=3000.0).stack(0.0, 0.0, 0.0,
                                                                              2.0**53, [])):
        with pytest.raises(ValueError, match="more than the bed can hold"):
            call()
    assert bed.get_heights() == [[10.0]]


@pytest.mark.parametrize(
    "first, second", [([], [1.0]), ([1.0, 2.0], [1.0]), ([1.0, 2.0], []), ([1.0], [1.0, 2.0])]
)
@pytest.mark.parametrize("first_volume", [0.0, 1.5])
def test_first_portion_fixes_the_parameter_count(make_bed, first, second, first_volume):
    bed = make_bed(bed_size_x=1.0)
    bed.stack(0.0, 0.0, 0.0, first_volume, first)
    before = bed.get_heights()
    with pytest.raises(RuntimeError, match="^invalid parameter count$"):
        bed.stack(0.0, 0.0, 0.0, 5.0, second)
    with pytest.raises(RuntimeError, match="^invalid parameter count$"):
        bed.stack_list(np.array([[0.0, 0.0, 5.0, *second]]), NAMES + ["p", "q"][: len(second)])
    assert bed.get_heights() == before
    bed.stack(0.0, 0.0, 0.0, 2.0, first)
    total = math.floor(first_volume + 2.0)
    assert bed.get_heights() == [[float(total)]]
    assert bed.reclaim() == {"x": [0.0, 1.0], "volume": [0.0, float(total)]}


@pytest.mark.parametrize(
    "overrides",
    [{"bed_size_x": 0.4}, {"bed_size_z": 0.4}, {"bed_size_x": 0.0, "bed_size_z": 0.0},
     {"bed_size_z": 0.4, "circular": True}, {"bed_size_x": 0.3, "bed_size_z": 0.3,
                                             "circular": True}],
)
@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda bed: bed.stack(0.0, 0.0, 0.0, 1.0, [1.0]), id="stack"),
        pytest.param(lambda bed: bed.stack(0.0, 0.0, 0.0, 0.0, [1.0]), id="stack-zero"),
        pytest.param(lambda bed: bed.stack_list(np.array([[0.0, 0.0, 1.0, 1.0]]), NAMES + ["p"]),
                     id="stack_list"),
    ],
)
def test_bed_without_an_interior_cell_refuses_material(make_bed, overrides, call):
    bed = make_bed(**overrides)
    before = bed.get_heights()
    with pytest.raises(ValueError, match="bed"):
        call(bed)
    assert bed.get_heights() == before
    result = bed.reclaim()
    assert list(result) == ["x", "volume"] and not any(result["volume"])


@pytest.mark.parametrize(
    "names, table, cells, averages",
    [
        pytest.param(NAMES + ["a", "b"], TABLE, TABLE_CELLS, {"a": TABLE_A, "b": TABLE_B},
                     id="plain"),
        pytest.param(["timestamp", "x", "z", "volume", "b", "a"],
                     [[nan, 2.0, 0.0, 1.0, 5.0, 6.0], [inf, 6.0, 2.0, 1.0, 7.0, 8.0]],
                     {(2, 0), (6, 2)}, {"b": {2: 5.0, 6: 7.0}, "a": {2: 6.0, 6: 8.0}},
                     id="timestamp-first"),
        pytest.param(["X", "x", "z", "volume", "Volume", "Z"],
                     [[9.0, 3.0, 1.0, 1.0, 4.0, 5.0]], {(3, 1)},
                     {"X": {3: 9.0}, "Volume": {3: 4.0}, "Z": {3: 5.0}}, id="case-sensitive"),
        pytest.param(["x", "z", "volume", "x", "volume"], [[9.0, 1.0, -1.0, 2.0, 1.0]],
                     {(2, 1)}, {}, id="last-x-and-volume-win"),
        pytest.param(["a", "x", "z", "volume", "a"], [[1.0, 5.0, 0.0, 1.0, 2.0]], {(5, 0)},
                     {"a": {5: 2.0}}, id="repeated-parameter"),
        pytest.param(NAMES, [[4.0, 2.0, 1.0, nan, -1.0]], {(4, 2)}, {}, id="surplus-columns"),
        pytest.param([b"x", bytearray(b"z"), b"volume", "\u00e9t\u00e9".encode()],
                     [[0.0, 0.0, 1.0, 3.0]], {(0, 0)}, {"\u00e9t\u00e9": {0: 3.0}}, id="bytes"),
    ],
)
def test_stack_list_reads_the_named_columns(make_bed, names, table, cells, averages):
    bed = make_bed(bed_size_z=3.0)
    bed.stack_list(np.asarray(table, dtype=np.float64), names)
    assert occupied(bed) == cells
    result = bed.reclaim()
    assert list(result) == ["x", "volume", *averages]
    assert by_slice(result["volume"]) == {x: 1.0 for x, _ in cells}
    for name, values in averages.items():
        assert by_slice(result[name]) == values


@pytest.mark.parametrize(
    "layout",
    [
        pytest.param(lambda t: t, id="c-order"),
        pytest.param(np.asfortranarray, id="fortran-order"),
        pytest.param(lambda t: np.ascontiguousarray(t.T).T, id="transposed"),
        pytest.param(lambda t: np.repeat(np.repeat(t, 2, 0), 2, 1)[::2, ::2], id="strided"),
        pytest.param(lambda t: t[::-1], id="reversed-rows"),
        pytest.param(lambda t: np.frombuffer(t.tobytes()).reshape(t.shape), id="read-only"),
        pytest.param(lambda t: t.astype(np.float32), id="float32"),
        pytest.param(lambda t: t.astype(np.int32), id="int32"),
        pytest.param(lambda t: [[int(v) for v in row] for row in t], id="nested-int-lists"),
    ],
)
def test_stack_list_reads_any_layout_through_its_strides(make_bed, layout):
    bed = make_bed(bed_size_z=3.0)
    table = layout(TABLE)
    bed.stack_list(table, NAMES + ["a", "b"])
    assert occupied(bed) == TABLE_CELLS
    result = bed.reclaim()
    assert (by_slice(result["a"]), by_slice(result["b"])) == (TABLE_A, TABLE_B)
    if isinstance(table, np.ndarray) and table.dtype == np.float64:
        assert np.array_equal(table, layout(TABLE))  # read, not written


ROWS = np.array([[1.0, 1.0, 1.0, 5.0], [3.0, 2.0, 1.0, 6.0], [5.0, 0.0, 1.0, 7.0]])


@pytest.mark.parametrize(
    "table, names, message",
    [
        *[(np.ones(shape), NAMES + ["p"],
           f"array has incorrect number of dimensions: {len(shape)}; expected 2")
          for shape in [(), (4,), (1, 1, 4)]],
        (ROWS, ["x", "z", "p"], "volume"),
        (ROWS, ["z", "volume", "p"], '"x"'),
        (ROWS, ["x", "volume", "X", "Z"], '"z"'),
        (ROWS, ["x", "z", "Volume", "p"], "volume"),
        (ROWS, NAMES + ["p", "q"], "columns"),
        (ROWS, NAMES + [b"\xff\xfe"], "UTF-8"),
    ]
    # A refused volume in the last row: the rows before it are not stacked either.
    + [(np.vstack([ROWS, [[6.0, 1.0, v, 8.0]]]), NAMES + ["p"], "volume")
       for v in (nan, -0.5, inf, 1e300)],
)
def test_refused_table_records_no_names_and_stacks_no_row(make_bed, table, names, message):
    bed = make_bed(bed_size_z=3.0)
    with pytest.raises(ValueError) as raised:
        bed.stack_list(table, names)
    assert message in str(raised.value)
    assert occupied(bed) == set()
    # Neither names nor a parameter count were recorded: other names are taken afterwards.
    bed.stack_list(np.array([[2.0, 1.0, 1.0, 3.0, 4.0]]), NAMES + ["q", "r"])
    assert occupied(bed) == {(2, 1)}
    assert list(bed.reclaim()) == ["x", "volume", "q", "r"]


def test_later_tables_must_repeat_the_recorded_names(make_bed):
    bed = make_bed(bed_size_z=3.0)
    bed.stack_list(TABLE[:2], NAMES + ["a", "b"])
    bed.stack_list(TABLE[2:], NAMES + ["a", "b"])
    refused = [
        (ValueError, TABLE, NAMES + ["b", "a"]),
        (ValueError, TABLE, NAMES + ["a", "c"]),
        (ValueError, TABLE, NAMES + ["a", "B"]),
        (ValueError, np.empty((0, 5)), NAMES + ["a", "c"]),
        (ValueError, np.vstack([TABLE, [[0.0, 0.0, nan, 1.0, 1.0]]]), NAMES + ["a", "b"]),
        (RuntimeError, TABLE[:, :4], NAMES + ["a"]),
        (RuntimeError, TABLE[:, :3], NAMES),
    ]
    for error, table, names in refused:
        with pytest.raises(error):
            bed.stack_list(table, names)
    assert occupied(bed) == TABLE_CELLS
    result = bed.reclaim()
    assert list(result) == ["x", "volume", "a", "b"]
    assert by_slice(result["a"]) == TABLE_A


def test_names_and_parameter_count_are_fixed_by_whichever_call_comes_first(make_bed):
    bed = make_bed()
    bed.stack(0.0, 3.0, 0.0, 1.0, [2.0, 3.0])  # fixes two parameters, still unnamed
    bed.stack_list(np.empty((0, 5)), NAMES + ["a", "b"])
    bed.stack_list(np.array([[5.0, 0.0, 1.0, 4.0, 5.0]]), NAMES + ["a", "b"])
    result = bed.reclaim()
    assert list(result) == ["x", "volume", "a", "b"]
    assert (by_slice(result["a"]), by_slice(result["b"])) == ({3: 2.0, 5: 4.0}, {3: 3.0, 5: 5.0})
    bed = make_bed()
    bed.stack_list(np.empty((0, 4)), NAMES + ["a"])  # names one parameter, stacks nothing
    assert bed.get_heights() == [[0.0] * 10]
    for values in ([], [1.0, 2.0]):
        with pytest.raises(RuntimeError, match="^invalid parameter count$"):
            bed.stack(0.0, 3.0, 0.0, 1.0, values)
    bed.stack(0.0, 3.0, 0.0, 1.0, [6.0])
    result = bed.reclaim()
    assert list(result) == ["x", "volume", "a"] and by_slice(result["a"]) == {3: 6.0}
