"""Derived qualities: the safe formula evaluator, the presets and a record's derived qualities."""

import pickle

import numpy as np
import pandas as pd
import pytest

from pilora import BedSettings, Chevron, Record, RecordError, simulate
from pilora.derived import PRESETS, DerivedError, evaluate, expression_names, resolve_derived

OXIDES = ("CaO", "SiO2", "Al2O3", "Fe2O3")


def raw_meal(rows: int = 240) -> pd.DataFrame:
    rng = np.random.default_rng(3)
    marl = np.clip(0.3 + np.cumsum(rng.normal(0, 0.02, rows)), 0, 1)
    return pd.DataFrame({
        "time": np.arange(rows) / 30,
        "mass": 2.0,
        "CaO": 54 - 12 * marl, "SiO2": 2 + 14 * marl, "Al2O3": 0.6 + 4.4 * marl, "Fe2O3": 0.4 + 1.8 * marl,
    })


def test_presets_follow_their_formulas() -> None:
    c, s, a, f = 44.0, 14.0, 3.5, 2.0
    columns = dict(zip(OXIDES, (c, s, a, f)))
    expected = {"LSF": 100 * c / (2.8 * s + 1.18 * a + 0.65 * f), "SM": s / (a + f), "AM": a / f, "B2": c / s}
    record = Record.from_frame(raw_meal(), bulk_density=1.5, derived=list(PRESETS))
    derived = record.derive(columns)
    assert derived == pytest.approx(expected, rel=1e-15)


def test_a_blends_derived_quality_is_the_formula_of_its_averages() -> None:
    record = Record.from_frame(raw_meal(), bulk_density=1.5, derived={"LSF": None, "CS": "CaO / SiO2"})
    result = simulate(BedSettings(60, 12, chunks_per_volume_unit=4), record, Chevron(layers=10), seed=5)
    rows = result.reclaimed.dropna(subset=["CaO"])
    derived = record.derive(rows)
    np.testing.assert_allclose(derived["LSF"], 100 * rows["CaO"] / (2.8 * rows["SiO2"] + 1.18 * rows["Al2O3"]
                                                                    + 0.65 * rows["Fe2O3"]), rtol=1e-15)
    np.testing.assert_allclose(derived["CS"], rows["CaO"] / rows["SiO2"], rtol=1e-15)
    # Not the average of the portions' factors: the formula is nonlinear.
    per_row = record.derive(record.frame)["LSF"]
    mass = record.frame["mass"]
    whole = record.derive({p: np.average(record.frame[p], weights=mass) for p in OXIDES})["LSF"]
    assert abs(np.average(per_row, weights=mass) - whole) > 1e-6


@pytest.mark.parametrize(
    ("expression", "names", "value"),
    [
        ("-CaO ** 2 / (SiO2 - 1)", ("CaO", "SiO2"), -4.0),
        ("+CaO * 2e0 - 0.5", ("CaO",), 3.5),
        ("`H2O free` * 10", ("H2O free",), 30.0),
        ("2 ** 2 ** 3", (), 256.0),  # right-associative, as written
        ("CaO / (SiO2 - SiO2)", ("CaO", "SiO2"), np.inf),
    ],
)
def test_formulas_evaluate_over_arrays_and_numbers(expression, names, value) -> None:
    columns = {"CaO": 2.0, "SiO2": 2.0, "H2O free": 3.0}
    assert expression_names(expression) == names
    assert evaluate(expression, columns) == value
    arrays = {k: np.full(3, v) for k, v in columns.items()}
    np.testing.assert_array_equal(evaluate(expression, arrays) * np.ones(3), np.full(3, value))


@pytest.mark.parametrize(
    "expression",
    ["__import__('os').system('true')", "CaO.real", "CaO[0]", "(lambda: 1)()", "CaO > 1", "CaO if 1 else 2",
     "'text'", "True * CaO", "[CaO]", "CaO; SiO2", "CaO // 2", "CaO % 2", "", "(" * 500 + "CaO" + ")" * 500,
     "CaO +", "x" * 3000],
)
def test_anything_but_arithmetic_is_refused(expression) -> None:
    with pytest.raises(DerivedError):
        expression_names(expression)


def test_huge_powers_overflow_instead_of_hanging() -> None:
    assert evaluate("10 ** 10 ** 10", {}) == np.inf


@pytest.mark.parametrize(
    ("derived", "message"),
    [
        (["MgO"], "'MgO' is no preset"),
        ({"CaO": "SiO2 * 2"}, "takes a parameter's name"),
        ({"time_std": "CaO"}, "takes a name the record's tables use"),
        (["LSF", "LSF=CaO"], "given twice"),
        (["R=CaO/MgO"], "reads 'MgO', not a parameter"),
        (["=CaO"], "without a name"),
        ("LSF", "not one string"),
    ],
)
def test_derived_names_and_formulas_are_checked(derived, message) -> None:
    with pytest.raises(DerivedError, match=message):
        resolve_derived(derived, OXIDES, reserved={"time_std"})
    with pytest.raises(ValueError, match=message):
        Record.from_frame(raw_meal(), bulk_density=1.5, derived=derived)


@pytest.mark.parametrize(("formula", "row", "value"), [
    ("X=CaO/0", 0, "inf"),
    ("X=CaO**CaO**CaO", 0, "inf"),  # an overflow
    ("X=(SiO2 - SiO2) / (CaO - CaO)", 0, "nan"),
    ("X=CaO/(Fe2O3 - {fe})", 7, "inf"),  # one row only
])
def test_a_derived_quality_not_finite_on_the_records_rows_is_refused(formula, row, value) -> None:
    import warnings

    frame = raw_meal()
    formula = formula.format(fe=repr(float(frame["Fe2O3"].iloc[7])))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # and without NumPy's warnings
        with pytest.raises(RecordError, match=rf"^row {row}, column 'X': the derived quality 'X' = .* is {value}"
                                              r".*change its formula") as caught:
            Record.from_frame(frame, bulk_density=1.5, derived=[formula])
    assert caught.value.row == row and caught.value.column == "X"


def test_a_record_keeps_its_formulas_through_pickling() -> None:
    record = Record.from_frame(raw_meal(), bulk_density=1.5, derived=["SM", "AM=Al2O3/Fe2O3"])
    assert record.derived == {"SM": PRESETS["SM"], "AM": "Al2O3/Fe2O3"}
    again = pickle.loads(pickle.dumps(record))
    assert again == record
    np.testing.assert_array_equal(again.derive(record.frame)["AM"], record.frame["Al2O3"] / record.frame["Fe2O3"])
