"""The module on small beds whose heap is known exactly: every refusal, where chunks land, how
tables are read, the reclaimed rows and the height field."""

import copy
import pickle
from math import inf, nan

import numpy as np
import pytest

from _pilora_lib import PiloraLib

XZV = ["x", "z", "volume"]
STAIRCASE = [4.0, 3.0, 2.0, 1.0] + [0.0] * 6  # ten chunks dropped at x = 0 on the strip
ROW = np.array([[0.0, 0.0, 1.5, 2.0]])  # a table of one portion: x, z, volume, a parameter
FULL = 10.0 * (2147483646 - 11)  # the strip's ten 32-bit columns, less the slope a heap needs
VOLUME, COUNT = "volume must be a finite number not below zero", "invalid parameter count"
MORE = "volume is more than the bed can hold"
SMALL = "the bed is smaller than half a cell along an axis and cannot take material"
NAMES = "parameter names differ from those recorded by an earlier stack_list call"
CELLS = " gives more grid cells than 32 bits can count"
TYPES = "(): incompatible function arguments. The following argument types are supported:"
FINITE, OVERFLOWS = " must be a finite number", " times the volume is beyond the range of double"
TWICE = 'column_names names the parameter "a" more than once'
PICKLE = "cannot pickle 'PiloraLib' object"
INIT = "PiloraLib.__init__() called on a built bed: a new bed takes a new PiloraLib"

REFUSALS = [  # (call, exception, message[, bed settings])
    ("make_bed(detailed=True, bed_size_x=nan, reclaim_increment=0.0)", RuntimeError,
     "Detailed simulator not available on this platform."),
    ("make_bed(reclaim_increment=1e-46)", ValueError,  # zero in single precision
     "reclaim_increment must be a finite number above zero"),
    ("make_bed(bed_size_x=1e39)", ValueError, "bed_size_x must be a finite number"),
    ("make_bed(bed_size_z=nan)", ValueError, "bed_size_z must be a finite number"),
    ("make_bed(bed_size_x=-1e-3)", ValueError, "bed_size_x must not be negative"),
    ("make_bed(bed_size_z=-0.25)", ValueError, "bed_size_z must not be negative"),
    ("make_bed(reclaim_angle=-inf)", ValueError, "reclaim_angle must be a finite number"),
    ("make_bed(particles_per_volume_unit=-0.0)", ValueError,
     "particles_per_volume_unit must be a finite number above zero"),
    ("make_bed(bed_size_x=1e10)", ValueError, "bed_size_x" + CELLS),
    ("make_bed(bed_size_z=1e10)", ValueError, "bed_size_z" + CELLS),
    ("make_bed(bed_size_x=7e4, bed_size_z=7e4)", ValueError, "bed_size_x and bed_size_z give"
     " more grid cells than 32 bits can count"),
    ("PiloraLib(*[1.0] * 9)", TypeError, "__init__(): incompatible constructor arguments. The "
     "following argument types are supported:"),
    ("bed.stack(0, 0, 0, nan, [2.0])", ValueError, VOLUME),
    ("bed.stack_list(np.array([[1, 0, 1, 2], [2, 0, nan, 2]]), XZV + ['p'])", ValueError, VOLUME),
    ("bed.stack(0, 0, 0, FULL - 1.0, [2.0])", ValueError, MORE),  # with the 1.5 stacked before
    ("bed.stack_list(np.array([[0, 0, FULL / 2, 2]] * 2), XZV + ['p'])", ValueError, MORE),
    # 2**52 chunks fit this bed's columns, but stacking them would never end.
    ("make_bed(bed_size_x=1500, bed_size_z=1500).stack(0, 0, 0, 2.0**52, [])", ValueError, MORE),
    ("bed.stack(0, 0, 0, 0.0, [2.0])", ValueError, SMALL, {"bed_size_z": 0.4}),
    ("bed.stack_list(ROW, XZV + ['a'])", ValueError, SMALL, {"bed_size_x": 0.4}),
    # One value that is not finite, or whose product with the volume is not, would spoil the
    # averages of all material stacked after it.
    ("bed.stack(0, 0, 0, 1.0, [nan])", ValueError, "parameter_values[0]" + FINITE),
    ("bed.stack(0, 0, 0, 0.0, [-inf])", ValueError, "parameter_values[0]" + FINITE),
    ("bed.stack(0, 0, 0, 2.0, [1e308])", ValueError, "parameter_values[0]" + OVERFLOWS),
    ("bed.stack_list(np.array([[2, 0, 0, 1], [nan, 0, 0, 1], [2, 0, 0, inf]]), ['a'] + XZV)",
     ValueError, 'the parameter value in row 1, column 0 ("a")' + FINITE),
    ("bed.stack_list(np.array([[0, 0, 1, 2], [0, 0, 1, 2], [0, 0, 2, -1e308]]), XZV + ['a'])",
     ValueError, 'the parameter value in row 2, column 3 ("a")' + OVERFLOWS),
    ("bed.stack(0, 0, 0, 1.0, [])", RuntimeError, COUNT),
    ("bed.stack_list(ROW[:, :3], XZV)", RuntimeError, COUNT),
    *[(f"bed.stack_list(ROW[:0], XZV + ['a']); bed.stack_list({table}, XZV + ['A'])",
       ValueError, NAMES) for table in ("ROW", "ROW[:0]")],
    ("bed.stack_list(ROW, ['x', 'z', 'Volume', 'a'])", ValueError,
     'column_names must name the columns "x", "z" and "volume"'),
    ("bed.stack_list(ROW, XZV + ['a', 'b'])", ValueError,
     "column_names names 5 columns but the table has 4"),
    ("bed.stack_list(ROW, XZV + [b'\\xff'])", ValueError, "column name is not valid UTF-8"),
    ("bed.stack_list(np.array([[0, 0, 1, 2, 3]]), XZV + ['a', 'a'])", ValueError, TWICE),
    ("bed.stack_list(np.array([[0, 0, 1, 2, 3]]), ['a', *XZV, b'a'])", ValueError, TWICE),
    ("bed.stack_list(ROW[0], XZV + ['a'])", ValueError,
     "array has incorrect number of dimensions: 1; expected 2"),
    ("bed.reclaim()", ValueError, "reclaim_increment is too small to move the reclaim position to "
     "the end of the bed", {"reclaim_increment": 1e-7}),
    ("bed.stack(0, '0', 0, 1.0, [2.0])", TypeError, "stack" + TYPES),
    ("bed.stack_list(ROW, 'xzva')", TypeError, "stack_list" + TYPES),
    # Containers without an order of their own (a set's changes with the hash seed).
    *[(f"bed.stack(0, 0, 0, 1.0, {values})", TypeError, "stack" + TYPES)
      for values in ("{2.0}", "frozenset([2.0])", "{2.0: 1}")],
    *[(f"bed.stack_list(ROW, {names}(XZV + ['a']))", TypeError, "stack_list" + TYPES)
      for names in ("set", "frozenset", "dict.fromkeys")],
    ("bed.reclaim(1.0)", TypeError, "reclaim" + TYPES),
    ("bed.get_heights(None)", TypeError, "get_heights" + TYPES),
    *[(f"pickle.dumps(bed, {protocol})", TypeError, PICKLE)
      for protocol in range(pickle.HIGHEST_PROTOCOL + 1)],
    ("copy.copy(bed)", TypeError, PICKLE), ("copy.deepcopy(bed)", TypeError, PICKLE),
    ("bed.__init__(*[10.0] * 8, False, 1.0)", TypeError, INIT), ("bed.__init__()", TypeError, INIT),
]


def run(code, **names):
    return eval(code, {**globals(), **names})


def outcome(bed):
    """What the bed does next: take a table that completes the buffered chunk and names the
    parameter, then give its heights and reclaimed rows (or the heights and the refusal)."""
    try:
        bed.stack_list(np.array([[0, 0, 1, 4]]), XZV + ["a"])
        return bed.get_heights(), bed.reclaim()
    except (ValueError, RuntimeError) as error:
        return bed.get_heights(), repr(error)


@pytest.mark.parametrize("call, error, message, overrides", [(*r, {})[:4] for r in REFUSALS])
def test_refused_call_names_the_fault_and_changes_nothing(make_bed, capfd, call, error, message,
                                                          overrides):
    bed, twin = make_bed(**overrides), make_bed(**overrides)
    for lib in bed, twin:  # one chunk and half a chunk buffered where the bed has cells
        if any(lib.get_heights()):
            lib.stack(0.0, 0.0, 0.0, 1.5, [2.0])
    with pytest.raises(error) as raised:
        exec(call, {**globals(), "bed": bed, "make_bed": make_bed})
    assert type(raised.value) is error and str(raised.value).splitlines()[0] == message
    assert outcome(bed) == outcome(twin)
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("call", ["bed.stack(0, 0, 0, 1.0, [])", "bed.stack_list(ROW, XZV + ['a'])",
                                  "bed.reclaim()", "bed.get_heights()", "pickle.dumps(bed, 0)"])
def test_an_object_whose_init_never_ran_refuses_every_call_until_built(call):
    bed = PiloraLib.__new__(PiloraLib)
    with pytest.raises(TypeError, match="^(PiloraLib object not initialised: its __init__ has not"
                                        " run|cannot pickle 'PiloraLib' object)$"):
        run(call, bed=bed)
    bed.__init__(10.0, 1.0, 90.0, 1.0, False, 0.5, 0.0, 0.0, False, 1.0)
    assert bed.get_heights() == [[0.0] * 10]


@pytest.mark.parametrize("probability", [0.0, 1.0])
@pytest.mark.parametrize("stack_ten", [
    "bed.stack(0, 0, 0, 10.0, [])", "[bed.stack(t, 0, 0, 1.0, []) for t in range(10)]",
    "[bed.stack(0, -1.0, 0, 0.25, []) for _ in range(40)]",
    "bed.stack_list(np.tile([nan, 0, 0, 1.0], (10, 1)), ['timestamp'] + XZV)"])
def test_chunks_dropped_at_the_end_of_the_strip_build_a_staircase(make_bed, probability,
                                                                  stack_ten):
    bed = make_bed(eight_neighbour_probability=probability)
    run(stack_ten, bed=bed)
    assert bed.get_heights() == [STAIRCASE]


@pytest.mark.parametrize("at, cell", [(0.49, 0), (0.5 - 1e-9, 1), (2.7, 3), (9.49, 9), (9.6, 9),
                                      (-3.0, 0), (nan, 0), (inf, 9), (1e300, 9), (-inf, 0)])
@pytest.mark.parametrize("stack", ["bed.stack(0, at, at, 1.0, [])",
                                   "bed.stack_list(np.array([[at, at, 1.0]]), XZV)"])
def test_a_chunk_on_a_fresh_bed_rests_on_the_rounded_and_clamped_cell(make_bed, at, cell, stack):
    bed = make_bed(bed_size_z=10.0)
    run(stack, bed=bed, at=at)
    assert np.argwhere(bed.get_heights()).tolist() == [[cell, cell]]


@pytest.mark.parametrize("angle, increment, volumes", [
    (90.0, 1.0, [0.0] + STAIRCASE), (89.995, 1.0, [0.0] + STAIRCASE),
    (45.0, 1.0, [0, 6, 2, 1, 1, 0, 0, 0, 0, 0, 0]), (30.0, 1.0, [0, 7, 1, 1, 1, 0, 0, 0, 0, 0, 0]),
    (0.0, 1.0, [0, 10] + [0] * 9), (135.0, 1.0, [0] * 10 + [10]),
    # Each step takes its share of a slice; it stops at the middle of the (empty) last slice.
    (90.0, 0.25, [0.0] + [h / 4 for h in STAIRCASE for _ in range(4)][:38])])
def test_reclaim_books_chunks_back_by_height_over_slope_and_conserves_volume(
        make_bed, angle, increment, volumes):
    bed = make_bed(reclaim_angle=angle, reclaim_increment=increment)
    bed.stack(0.0, 0.0, 0.0, 10.0, [])
    assert bed.reclaim() == {"x": [i * increment for i in range(len(volumes))],
                             "volume": [float(v) for v in volumes]}
    assert bed.get_heights() == [STAIRCASE]  # reclaiming leaves the heap standing
    assert bed.reclaim() == {"x": [], "volume": []}


def test_reclaim_reports_the_volume_and_the_average_of_every_named_parameter(make_bed):
    bed = make_bed(bed_size_x=1.0)
    bed.stack_list(np.array([[0, 0, 1, 2, -1], [0, 0, 3, 6, 3]]), XZV + ["p", "q"])
    assert bed.reclaim() == {"x": [0, 1], "volume": [0, 4], "p": [0, 5], "q": [0, 2]}
    bed = make_bed(bed_size_x=0.4)  # no slices, no rows
    bed.stack_list(np.empty((0, 4)), XZV + ["a"])
    assert bed.reclaim() == {"x": [], "volume": [], "a": []}


def test_the_first_portion_fixes_the_parameter_count_even_without_material(make_bed):
    bed = make_bed()
    bed.stack(0.0, 3.0, 0.0, 0.0, [2.0, 3.0])
    with pytest.raises(RuntimeError, match=COUNT):
        bed.stack_list(np.empty((0, 4)), XZV + ["a"])


def misaligned(table):
    """The table as rows of a packed record array one byte after a float64 boundary, a view
    that NumPy marks unaligned."""
    packed = np.zeros(len(table), [("pad", "u1"), ("row", "f8", table.shape[1:])])
    packed["row"] = table
    assert not packed["row"].flags.aligned
    return packed["row"]


# One chunk on each of four cells of a fresh 10 x 3 bed, where none of them moves.
TABLE = np.array([[1, 0, 1, 2, 10], [4, 2, 1, 3, 20], [7, 1, 1, 5, 30], [8, 1, 1, 7, 40]], float)
A, B = {1: 2.0, 4: 3.0, 7: 5.0, 8: 7.0}, {1: 10.0, 4: 20.0, 7: 30.0, 8: 40.0}


@pytest.mark.parametrize("layout, names, averages", [
    *[(layout, XZV + ["a", "b"], {"a": A, "b": B}) for layout in [
        "np.ascontiguousarray(t.T).T", "t[::-1]",
        "np.repeat(np.repeat(t, 2, 0), 2, 1)[::2, ::2]", "np.frombuffer(t.tobytes()).reshape(4, 5)",
        "t.astype(np.float32)", "t.astype(np.int32)", "t.astype(int).tolist()", "misaligned(t)"]],
    ("t[:, [0, 1, 3, 2, 4]]", ["x", "z", "Volume", "volume", "X"], {"Volume": A, "X": B}),
    ("t[:, [3, 3, 4, 0, 1, 2]]", ["volume", "a", "timestamp", "x", "z", "volume"], {"a": A}),
    ("t", [b"x", bytearray(b"z"), b"volume", "\u00e9t\u00e9".encode()], {"\u00e9t\u00e9": A}),
    ("t", XZV + ["volume\0dry", "x\0"], {"volume\0dry": A, "x\0": B}),  # keys are whole names
    ("t", XZV, {})])  # columns beyond the names are ignored
def test_stack_list_reads_the_named_columns_in_any_layout(make_bed, layout, names, averages):
    bed = make_bed(bed_size_z=3.0)
    bed.stack_list(run(layout, t=TABLE), names)
    assert np.argwhere(bed.get_heights()).tolist() == [[0, 1], [1, 7], [1, 8], [2, 4]]  # (z, x)
    result = bed.reclaim()
    assert list(result) == ["x", "volume", *averages]
    by_slice = {name: [0.0] + [column.get(x, 0.0) for x in range(10)]
                for name, column in {"volume": dict.fromkeys(A, 1.0), **averages}.items()}
    assert result == {"x": [float(x) for x in range(11)], **by_slice}


# Sizes are narrowed to single precision: 2.5 - 1e-8 becomes 2.5f and rounds up to three cells,
# the largest float below 2.5 to two.
@pytest.mark.parametrize("overrides, shape", [
    ({"bed_size_z": 4.0, "circular": True}, (4, 10)), ({"bed_size_z": 0.4}, (0, 10)),
    ({"bed_size_z": 4.0, "particles_per_volume_unit": 8.0}, (8, 20)), ({"bed_size_x": 0.0}, (1, 0)),
    ({"bed_size_x": 2.5 - 1e-8}, (1, 3)), ({"bed_size_x": 2.4999997615814209}, (1, 2))])
def test_a_new_bed_has_a_zero_height_field_of_its_grid_shape(make_bed, overrides, shape):
    assert make_bed(**overrides).get_heights() == [[0.0] * shape[1]] * shape[0]
