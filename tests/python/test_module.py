"""The module surface: its one class, argument conversion, settings validation, the refusal of
the detailed simulator and the exported height field."""

import math
import re
import subprocess
import sys
from concurrent import interpreters
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import _pilora_lib
from _pilora_lib import PiloraLib

NAMES = ["x", "z", "volume"]


class IndexOnly:
    def __index__(self):
        return 10


def test_module_holds_one_class_with_four_methods(make_bed):
    assert _pilora_lib.__doc__ == "Pilora Lib for Python"
    assert [name for name in vars(_pilora_lib) if not name.startswith("__")] == ["PiloraLib"]
    public = sorted(name for name in dir(PiloraLib) if not name.startswith("_"))
    assert public == ["get_heights", "reclaim", "stack", "stack_list"]
    with pytest.raises(AttributeError):
        make_bed().reclaim_increment = 2.0


def test_module_is_for_the_main_interpreter_and_loads_numpy_only_for_tables(bed_settings):
    interpreter = interpreters.create()
    try:
        with pytest.raises(interpreters.ExecutionFailed, match="subinterpreters"):
            interpreter.exec("import _pilora_lib")
    finally:
        interpreter.close()
    script = (
        "import sys, _pilora_lib\n"
        f"bed = _pilora_lib.PiloraLib(*{bed_settings()!r})\n"
        "bed.stack(0.0, 1.0, 0.0, 2.0, []); bed.get_heights(); bed.reclaim()\n"
        "print('numpy' in sys.modules)\n"
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert (run.stdout, run.stderr) == ("False\n", "")


def _init(index, value):
    return lambda bed, s: PiloraLib(*s[:index], value, *s[index + 1:])


@pytest.mark.parametrize(
    "call",
    [
        lambda bed, s: PiloraLib(*s[:9]),
        lambda bed, s: PiloraLib(*s, 1.0),
        lambda bed, s: PiloraLib(*s[:9], reclaim_increment=s[9]),
        _init(0, "10"), _init(4, "no"), _init(3, None), _init(0, [1.0]), _init(1, b"1"),
        _init(9, 2**1100),
        lambda bed, s: bed.stack(0.0, 0.0, 0.0, 1.0),
        lambda bed, s: bed.stack(0.0, 0.0, 0.0, 1.0, [], 0.0),
        lambda bed, s: bed.stack(0.0, 0.0, 0.0, volume=1.0, parameter_values=[]),
        lambda bed, s: bed.stack(0.0, "0", 0.0, 1.0, []),
        lambda bed, s: bed.stack(0.0, 0.0, 0.0, 2**1100, []),
        lambda bed, s: bed.stack(0.0, 0.0, 0.0, 1.0, "12"),
        lambda bed, s: bed.stack(0.0, 0.0, 0.0, 1.0, ["1"]),
        lambda bed, s: bed.stack(0.0, 0.0, 0.0, 1.0, [object()]),
        lambda bed, s: bed.stack(0.0, 0.0, 0.0, 1.0, b"12"),
        lambda bed, s: bed.stack_list(np.ones((1, 3))),
        lambda bed, s: bed.stack_list(np.ones((1, 3)), column_names=NAMES),
        lambda bed, s: bed.stack_list(np.ones((1, 3)), "xzv"),
        lambda bed, s: bed.stack_list(np.ones((1, 3)), ["x", "z", 3]),
        lambda bed, s: bed.stack_list([["a", "b", "c"]], NAMES),
        lambda bed, s: bed.stack_list([[1.0, 2.0, 3.0], [1.0]], NAMES),
        lambda bed, s: bed.stack_list({"x": 1}, NAMES),
        lambda bed, s: bed.stack_list(object(), NAMES),
        lambda bed, s: bed.reclaim(1.0),
        lambda bed, s: bed.get_heights(None),
    ],
)
def test_wrong_arguments_raise_type_error_and_change_nothing(make_bed, bed_settings, call):
    bed = make_bed()
    with pytest.raises(TypeError, match="incompatible"):
        call(bed, bed_settings())
    assert bed.get_heights() == [[0.0] * 10]
    assert bed.reclaim() == {"x": [float(x) for x in range(11)], "volume": [0.0] * 11}


@pytest.mark.parametrize(
    "overrides, rows",
    [({"bed_size_x": v, "reclaim_angle": v}, 11)
     for v in (10, 10.0, np.float32(10), np.int64(10), Fraction(10), Decimal(10), IndexOnly())]
    + [({"detailed": v}, 11) for v in (False, None, 0, np.False_)]
    + [({"circular": v}, 11) for v in (False, None, 0, 0.0, np.False_)]
    + [({"circular": v}, 7) for v in (True, 1, 2.5, np.True_)],
)
def test_settings_take_any_number_and_truth_value(make_bed, overrides, rows):
    # 10 x 4 cells: ten slices along x when linear, six along the quarter arc of radius 4.
    assert len(make_bed(bed_size_z=4.0, **overrides).reclaim()["x"]) == rows


X_TENTHS = [0.0, 0.10000000149011612, 0.20000000298023224, 0.30000001192092896]


@pytest.mark.parametrize(
    "increment, xs, rows",
    [(0.1, X_TENTHS, 96), (Fraction(1, 10), X_TENTHS, 96),
     (2**24 + 1, [0.0, 16777216.0], 2)],  # an int, exact in double, rounded to single
)
def test_reclaim_x_holds_running_sums_of_the_single_precision_increment(make_bed, increment, xs,
                                                                         rows):
    got = make_bed(reclaim_increment=increment).reclaim()["x"]
    assert (got[: len(xs)], len(got)) == (xs, rows)


@pytest.mark.parametrize("detailed", [True, 1, np.True_])
@pytest.mark.parametrize(
    "overrides",
    [{}, {"circular": True}, {"bed_size_x": math.nan, "bed_size_z": -1.0},
     {"particles_per_volume_unit": 0.0, "reclaim_angle": math.inf}, {"reclaim_increment": 0.0},
     {"bed_size_x": 1e12, "bed_size_z": 1e12}],
)
def test_detailed_simulator_is_refused_whatever_the_other_settings(make_bed, detailed, overrides):
    with pytest.raises(RuntimeError) as raised:
        make_bed(detailed=detailed, **overrides)
    assert type(raised.value) is RuntimeError
    assert str(raised.value) == "Detailed simulator not available on this platform."


INVALID = {
    # 1e39 is finite in double and infinite in single precision, 1e-46 is zero there; 1e10
    # cells do not fit 32 bits.
    "bed_size_x": [math.nan, math.inf, 1e39, -1.0, -1e-3, 1e10, 1e20],
    "bed_size_z": [-math.inf, -0.25, 1e39, 1e10],
    "reclaim_angle": [math.nan, math.inf, -math.inf, 1e39, -1e39],
    "particles_per_volume_unit": [0.0, -0.0, -8.0, math.nan, math.inf, -math.inf, 1e39, 1e-46],
    "reclaim_increment": [0.0, -0.0, -0.1, math.nan, math.inf, -math.inf, 1e-46],
}


@pytest.mark.parametrize(
    "overrides, named",
    [({name: value}, name) for name, values in INVALID.items() for value in values]
    + [({"bed_size_x": 7e4, "bed_size_z": 7e4}, "bed_size_x and bed_size_z")],
)
def test_invalid_settings_are_refused_naming_the_setting(make_bed, overrides, named):
    with pytest.raises(ValueError, match=re.escape(named)):
        make_bed(**overrides)


@pytest.mark.parametrize(
    "overrides",
    [{"eight_neighbour_probability": math.nan}, {"eight_neighbour_probability": -math.inf},
     {"stored_setting_a": math.nan, "stored_setting_b": -1e39}, {"reclaim_angle": -720.0}],
)
def test_unchecked_settings_accept_any_float(make_bed, overrides):
    bed = make_bed(**overrides)
    bed.stack(0.0, 0.0, 0.0, 3.0, [])
    assert sum(bed.get_heights()[0]) == 3.0


@pytest.mark.parametrize(
    "overrides, shape",
    [({}, (1, 10)), ({"bed_size_z": 4.0}, (4, 10)),
     ({"bed_size_z": 4.0, "circular": True}, (4, 10)),
     ({"bed_size_z": 4.0, "particles_per_volume_unit": 8.0}, (8, 20)),
     ({"bed_size_x": 0.5, "bed_size_z": 0.5}, (1, 1)), ({"bed_size_z": 0.4}, (0, 10)),
     ({"bed_size_x": 0.4, "bed_size_z": 3.0}, (3, 0)),
     ({"bed_size_x": 0.0, "bed_size_z": 0.0}, (0, 0)),
     ({"bed_size_x": -0.0, "bed_size_z": 2.0}, (2, 0)),
     # Sizes are narrowed to single precision: 2.5 - 1e-8 becomes 2.5f and rounds up to three
     # cells (two in double); the largest float below 2.5 stays below.
     ({"bed_size_x": 2.5 - 1e-8}, (1, 3)), ({"bed_size_x": 2.4999997615814209}, (1, 2)),
     ({"bed_size_z": 0.5 - 1e-9}, (1, 10))],
)
def test_new_bed_has_a_zero_height_field_of_its_grid_shape(make_bed, overrides, shape):
    rows = make_bed(**overrides).get_heights()
    nz, nx = shape
    assert rows == [[0.0] * nx for _ in range(nz)]
    assert all(type(value) is float for row in rows for value in row)


def test_heights_are_independent_copies(make_bed):
    bed = make_bed(bed_size_z=2.0)
    first, second = bed.get_heights(), bed.get_heights()
    assert first == second and first is not second and first[0] is not second[0]
    first[0][0] = 99.0
    bed.stack(0.0, 0.0, 0.0, 1.0, [])
    assert second == [[0.0] * 10, [0.0] * 10]
    assert bed.get_heights()[0][0] == 1.0


def test_no_call_writes_output(make_bed, capfd):
    bed = make_bed(bed_size_z=3.0)
    bed.stack_list(np.array([[1.0, 1.0, 2.0, 0.5], [4.0, 2.0, 3.5, 0.25]]), NAMES + ["p"])
    bed.stack(0.0, 5.0, 1.0, 2.5, [1.0])
    for failing in (lambda: bed.stack(0.0, 5.0, 1.0, math.nan, [1.0]),
                    lambda: bed.stack(0.0, 5.0, 1.0, 1.0, []),
                    lambda: bed.stack_list(np.ones((2, 4)), NAMES + ["q"]),
                    lambda: make_bed(detailed=True), lambda: make_bed(bed_size_x=-1.0),
                    lambda: bed.stack("0", 5.0, 1.0, 1.0, [])):
        with pytest.raises((ValueError, RuntimeError, TypeError)):
            failing()
    bed.get_heights(), bed.reclaim(), bed.reclaim()
    del bed
    assert capfd.readouterr() == ("", "")
