"""Quality records: parsing from frames and files, units, and the refusal of bad rows."""

import pickle

import numpy as np
import pandas as pd
import pytest

from pilora.record import Record, RecordError, read_record


def belt(rows: int = 6) -> pd.DataFrame:
    return pd.DataFrame(
        {
            "time": pd.date_range("2024-03-01 06:00", periods=rows, freq="15min"),
            "mass": np.linspace(10.0, 20.0, rows),
            "cao": np.arange(rows, dtype=float) + 40.0,
            "sio2": np.arange(rows) + 10,  # integers are a parameter too
            "operator": ["ann", "bob"] * (rows // 2),  # text is left out
            "ok": [True] * rows,  # as are booleans
        }
    )


def test_dates_and_mass_become_hours_and_volume() -> None:
    record = Record.from_frame(belt(), bulk_density=1.6)
    frame = record.frame
    assert list(frame.columns) == ["time", "duration", "volume", "mass", "cao", "sio2"]
    assert record.parameters == ("cao", "sio2")
    assert record.start == pd.Timestamp("2024-03-01 06:00")
    np.testing.assert_allclose(frame["time"], np.arange(6) * 0.25)
    np.testing.assert_allclose(frame["duration"], 0.25)
    np.testing.assert_allclose(frame["volume"], np.linspace(10.0, 20.0, 6) / 1.6)
    np.testing.assert_allclose(frame["mass"], np.linspace(10.0, 20.0, 6))
    assert record.total_mass == pytest.approx(90.0)
    assert record.total_volume == pytest.approx(90.0 / 1.6)
    assert record.duration == pytest.approx(1.5)
    assert frame["sio2"].dtype == float


def test_hours_intervals_and_the_last_rows_duration() -> None:
    frame = pd.DataFrame({"hours": [5.0, 5.5, 6.5, 6.75, 7.75], "volume": 1.0, "q": 0.0})
    record = Record.from_frame(frame, time="hours")
    np.testing.assert_allclose(record.frame["time"], [0.0, 0.5, 1.5, 1.75, 2.75])
    # Each interval lasts until the next row; the last one the median step (1.0 h and 0.5 h, 0.25 h).
    np.testing.assert_allclose(record.frame["duration"], [0.5, 1.0, 0.25, 1.0, 0.75])
    assert record.origin == 5.0 and record.start is None
    assert Record.from_frame(frame, time="hours", last_duration=2.0).duration == pytest.approx(4.75)


def test_time_spans_count_as_hours() -> None:
    frame = pd.DataFrame({"time": pd.to_timedelta([30, 45, 105], unit="min"), "volume": 1.0})
    record = Record.from_frame(frame)
    np.testing.assert_allclose(record.frame["time"], [0.0, 0.25, 1.25])
    assert record.origin == 0.5 and record.parameters == ()


def test_volume_without_a_density_has_no_mass() -> None:
    frame = pd.DataFrame({"time": [0.0, 1.0], "volume": [2.0, 3.0], "q": [1.0, 2.0]})
    bare = Record.from_frame(frame)
    assert bare.bulk_density is None and np.isnan(bare.total_mass)
    assert bare.frame["mass"].isna().all()
    weighed = Record.from_frame(frame, bulk_density=2.0)
    np.testing.assert_allclose(weighed.frame["mass"], [4.0, 6.0])


def test_named_parameters_and_a_dated_index() -> None:
    frame = belt().set_index("time")
    record = Record.from_frame(frame, bulk_density=1.0, parameters=["sio2"])
    assert record.parameters == ("sio2",)
    assert record.start == pd.Timestamp("2024-03-01 06:00")


@pytest.mark.parametrize("suffix", [".csv", ".csv.gz", ".parquet"])
def test_files_read_as_frames(tmp_path, suffix: str) -> None:
    frame = belt()
    path = tmp_path / f"belt{suffix}"
    if suffix == ".parquet":
        frame.to_parquet(path)
    else:
        frame.to_csv(path, index=False)
    assert read_record(path, bulk_density=1.6) == Record.from_frame(frame, bulk_density=1.6)


def test_other_files_are_refused(tmp_path) -> None:
    with pytest.raises(ValueError, match=r"\.csv or \.parquet"):
        read_record(tmp_path / "belt.xlsx")


def spoil(frame: pd.DataFrame, column: str, row: int, value: object) -> pd.DataFrame:
    frame = frame.copy()
    if not isinstance(value, float):
        frame[column] = frame[column].astype(object)
    elif frame[column].dtype.kind == "i":
        frame[column] = frame[column].astype(float)
    frame.loc[frame.index[row], column] = value
    return frame


@pytest.mark.parametrize(
    ("column", "row", "value", "message"),
    [
        ("mass", 3, np.nan, "missing mass"),
        ("mass", 2, -1.0, "negative mass"),
        ("mass", 4, np.inf, "mass is not finite"),
        ("mass", 1, "heavy", "mass is not a number"),
        ("time", 2, None, "missing time"),
        ("time", 3, pd.Timestamp("2024-03-01 06:15"), "not after the previous"),  # duplicate
        ("time", 5, pd.Timestamp("2024-03-01 05:00"), "not after the previous"),  # unsorted
        ("time", 1, "yesterday", "not a time"),
        ("cao", 4, np.nan, "missing value"),
        ("cao", 2, "n/a", "value is not a number"),
        ("sio2", 0, -np.inf, "value is not finite"),
    ],
)
def test_bad_rows_are_named(column: str, row: int, value: object, message: str) -> None:
    frame = spoil(belt(), column, row, value)
    frame.index = frame.index + 100  # rows are positions, not index labels
    with pytest.raises(RecordError, match=message) as caught:
        Record.from_frame(frame, bulk_density=1.6)
    assert (caught.value.row, caught.value.column) == (row, column)
    assert str(caught.value).startswith(f"row {row}, column {column!r}: ")
    again = pickle.loads(pickle.dumps(caught.value))  # as it comes back from a worker process
    assert (type(again), again.row, again.column, str(again)) == (RecordError, row, column, str(caught.value))


def test_the_first_bad_row_is_reported() -> None:
    frame = spoil(spoil(belt(), "cao", 4, np.nan), "mass", 2, -5.0)
    frame = spoil(frame, "sio2", 2, np.nan)
    with pytest.raises(RecordError) as caught:
        Record.from_frame(frame, bulk_density=1.0)
    assert (caught.value.row, caught.value.column) == (2, "mass")


def test_csv_rows_count_from_the_first_data_line(tmp_path) -> None:
    path = tmp_path / "belt.csv"
    path.write_text("time,volume,q\n0,1,5\n1,1,6\n2,-1,7\n3,1,8\n")
    with pytest.raises(RecordError, match="row 2, column 'volume': negative volume"):
        read_record(path)
    # A column of numbers with a stray word is refused at that word, not left out.
    path.write_text("time,volume,q\n0,1,5\n1,1,6\n2,1,seven\n")
    with pytest.raises(RecordError, match="row 2, column 'q': value is not a number"):
        read_record(path)


@pytest.mark.parametrize(
    ("frame", "keywords", "error", "message"),
    [
        (pd.DataFrame({"time": [], "volume": []}), {}, RecordError, "no rows"),
        (pd.DataFrame({"time": [0.0], "q": [1.0]}), {}, RecordError, "no mass or volume"),
        (pd.DataFrame({"time": [0.0], "t": [1.0]}), {"mass": "tonnes", "bulk_density": 1.0}, RecordError, "'tonnes': no such"),
        (pd.DataFrame({"time": [0.0], "mass": [1.0]}), {}, ValueError, "needs a bulk_density"),
        (pd.DataFrame({"time": [0.0], "mass": [1.0]}), {"bulk_density": -1.0}, ValueError, "bulk_density"),
        (pd.DataFrame({"time": [0.0], "v": [1.0], "m": [1.0]}), {"mass": "m", "volume": "v"}, ValueError, "not both"),
        (pd.DataFrame({"time": [0.0], "volume": [1.0]}), {}, ValueError, "needs last_duration"),
        (pd.DataFrame({"time": [0.0, 1.0], "volume": 1.0, "x": 2.0}), {"parameters": ["x"]}, ValueError, "'x' cannot"),
        (pd.DataFrame({"time": [0.0, 1.0], "volume": 1.0}), {"parameters": ["q"]}, RecordError, "'q': no such"),
    ],
)
def test_unusable_records_are_refused(frame, keywords, error, message) -> None:
    with pytest.raises(error, match=message):
        Record.from_frame(frame, **keywords)


def test_records_compare_pickle_and_show_their_size() -> None:
    record = Record.from_frame(belt(), bulk_density=1.6)
    assert pickle.loads(pickle.dumps(record)) == record
    assert record != Record.from_frame(belt(), bulk_density=1.5)
    text = repr(record)
    assert "6 rows" in text and "1.5 h" in text and "('cao', 'sio2')" in text and "1.6 t/m³" in text
