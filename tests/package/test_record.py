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
    with pytest.raises(ValueError, match=r"\.csv, \.parquet or \.xlsx"):
        read_record(tmp_path / "belt.txt")


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


# -- times, zones and dialects ------------------------------------------------------------------

BERLIN = "Europe/Berlin"
# Two-minute rows across the autumn clock change (03:00 CEST becomes 02:00 CET on 2026-10-25).
INSTANTS = pd.date_range("2026-10-24 23:50", periods=48, freq="2min", tz="UTC")


def plant(rows: int = 48) -> pd.DataFrame:
    """A plant's record in UTC, headers with units."""
    rng = np.random.default_rng(7)
    return pd.DataFrame({
        "time": INSTANTS[:rows],
        "Tonnage [t]": np.round(rng.uniform(30, 40, rows), 2),
        "CaO [%]": np.round(rng.normal(50, 1, rows), 2),
        "SiO2 [%]": np.round(rng.normal(5, 0.3, rows), 2),
        "H2O (%)": np.round(rng.normal(3, 0.2, rows), 2),
    })


def plain_record(frame: pd.DataFrame, tmp_path, **keywords) -> Record:
    """The record written plainly (comma, decimal point, ISO 8601 in UTC with offsets) and read."""
    path = tmp_path / "plain.csv"
    frame.assign(time=frame["time"].dt.strftime("%Y-%m-%d %H:%M:%S+00:00")).to_csv(path, index=False)
    return read_record(path, mass="Tonnage [t]", bulk_density=1.5, **keywords)


def local_text(frame: pd.DataFrame, fmt: str) -> pd.Series:
    return frame["time"].dt.tz_convert(BERLIN).dt.strftime(fmt)


def test_times_with_offsets_across_a_clock_change_are_instants(tmp_path) -> None:
    path = tmp_path / "offsets.csv"
    path.write_text("time,volume,q\n2026-10-25 02:58:00+02:00,1,5\n2026-10-25 02:00:00+01:00,1,6\n"
                    "2026-10-25T01:02:00Z,1,7\n")
    record = read_record(path)
    np.testing.assert_allclose(record.frame["time"], [0.0, 2 / 60, 4 / 60])
    assert record.start == pd.Timestamp("2026-10-25 00:58", tz="UTC") and record.timezone == "UTC"
    assert read_record(path, timezone=BERLIN).timezone == BERLIN  # the zone only shows the times
    # A frame with zone-aware dates is held in UTC too, and keeps its zone's name.
    aware = pd.DataFrame({"time": INSTANTS[:3].tz_convert(BERLIN), "volume": 1.0})
    record = Record.from_frame(aware)
    assert record.timezone == BERLIN and str(record.start.tz) == "UTC"
    assert list(record.times().dt.strftime("%H:%M %Z")) == ["01:50 CEST", "01:52 CEST", "01:54 CEST"]
    path.write_text("time,volume\n2026-10-25 02:58:00+02:00,1\n2026-10-25 03:10:00,1\n")
    with pytest.raises(RecordError, match=r"row 1, column 'time': time '2026-10-25 03:10:00' has no UTC offset"):
        read_record(path)


def test_local_times_through_both_clock_changes(tmp_path) -> None:
    frame = plant()
    path = tmp_path / "local.csv"
    frame.assign(time=local_text(frame, "%Y-%m-%d %H:%M")).to_csv(path, index=False)
    record = read_record(path, mass="Tonnage", bulk_density=1.5, timezone=BERLIN)
    np.testing.assert_allclose(record.frame["time"], np.arange(48) / 30)
    assert record.start == INSTANTS[0] and record.timezone == BERLIN
    assert any("43 rows in the repeated hour of 2026-10-25" in note and "30 before the clock change, 13 after" in note
               for note in record.notes)
    # Without the zone the repeated hour runs backwards: refused, saying what to give.
    with pytest.raises(RecordError, match=r"row 35, column 'time': time is not after .*timezone="):
        read_record(path, mass="Tonnage", bulk_density=1.5)
    # The spring's skipped hour does not exist: each such row named with its line.
    path.write_text("time,volume\n2026-03-29 01:58,1\n2026-03-29 02:00,1\n2026-03-29 02:30,1\n2026-03-29 03:02,1\n")
    with pytest.raises(RecordError) as caught:
        read_record(path, timezone=BERLIN)
    assert str(caught.value).startswith("row 1, column 'time': 2026-03-29 02:00:00 does not exist in Europe/Berlin")
    assert "(line 3)" in str(caught.value) and ": row 2 (line 4)" in str(caught.value)
    assert [f[0] for f in caught.value.faults] == [1, 2]
    with pytest.raises(ValueError, match="unknown time zone 'Europe/Berln'"):
        read_record(path, timezone="Europe/Berln")


def _excel(frame: pd.DataFrame, path) -> None:
    local = frame.assign(time=frame["time"].dt.tz_convert(BERLIN).dt.tz_localize(None))
    with pd.ExcelWriter(path, engine="openpyxl") as book:
        pd.DataFrame({"note": ["cover sheet"]}).to_excel(book, sheet_name="Info", index=False)
        local.to_excel(book, sheet_name="Export", index=False)


def _historian(frame: pd.DataFrame, path, encoding: str = "utf-8") -> None:
    export = frame.assign(time=local_text(frame, "%d.%m.%Y %H:%M"), Schicht="Früh")
    export.to_csv(path, sep=";", decimal=",", index=False, encoding=encoding)


# Each case: file name, writer, read_record keywords beyond the plain ones.
DIALECTS = [
    ("historian.csv", _historian, {}),
    ("historian-cp1252.csv", lambda f, p: _historian(f, p, "cp1252"), {}),
    ("historian-given.csv", _historian, {"sep": ";", "decimal": ",", "time_format": "%d.%m.%Y %H:%M"}),
    ("tabs.csv.gz", lambda f, p: f.assign(time=local_text(f, "%Y-%m-%d %H:%M")).to_csv(p, sep="\t", index=False), {}),
    ("pipes.csv", lambda f, p: f.assign(time=local_text(f, "%m/%d/%Y %I:%M %p")).to_csv(p, sep="|", index=False),
     {"sep": "|", "time_format": "%m/%d/%Y %I:%M %p"}),
    ("workbook.xlsx", _excel, {"sheet": "Export"}),
    ("aware.parquet", lambda f, p: f.assign(time=f["time"].dt.tz_convert(BERLIN)).to_parquet(p), {}),
]


@pytest.mark.parametrize(("name", "write", "keywords"), DIALECTS, ids=[d[0] for d in DIALECTS])
def test_exports_read_as_the_record_written_plainly(tmp_path, name, write, keywords) -> None:
    frame = plant()
    write(frame, tmp_path / name)
    record = read_record(tmp_path / name, mass="Tonnage [t]", bulk_density=1.5, timezone=BERLIN, **keywords)
    assert record == plain_record(frame, tmp_path, timezone=BERLIN)
    assert record.units == {"CaO": "%", "SiO2": "%", "H2O": "%"} and record.parameters == ("CaO", "SiO2", "H2O")
    if name.startswith("historian") and not keywords:
        assert any("separator ';', decimal comma" in note for note in record.notes)
        assert ("encoding cp1252" in " ".join(record.notes)) == ("cp1252" in name)


def test_a_decimal_comma_not_detected_is_named_with_its_remedy(tmp_path) -> None:
    path = tmp_path / "export.csv"
    _historian(plant(4), path)
    with pytest.raises(RecordError, match=r"row 0, column 'Tonnage': mass is not a number \('[\d,]+'\) "
                                          r"\(a decimal comma: read with decimal=','\) \(line 2\)"):
        read_record(path, mass="Tonnage", bulk_density=1.5, decimal=".", timezone=BERLIN)


def test_times_that_do_not_read_name_the_row_the_text_the_format_and_a_remedy(tmp_path) -> None:
    path = tmp_path / "times.csv"
    path.write_text("time,volume\n24.10.2026 18:00,1\n24.10.2026 18:02,1\n24.10.2026 18:0x,1\n")
    with pytest.raises(RecordError) as caught:
        read_record(path, time_format="%Y-%m-%d %H:%M")
    assert str(caught.value).startswith(
        "row 0, column 'time': not a time: '24.10.2026 18:00' does not read as '%Y-%m-%d %H:%M' (line 2); "
        "it reads as time_format='%d.%m.%Y %H:%M'")
    assert "3 faults in all" in str(caught.value)
    # Detected, the one format that reads the other rows names the bad one.
    with pytest.raises(RecordError, match=r"^row 2, column 'time': not a time: '24.10.2026 18:0x' does not read as "
                                          r"'%d.%m.%Y %H:%M' \(line 4\); give time_format="):
        read_record(path)
    path.write_text("time,volume\n01/02/2026 06:00,1\n01/02/2026 07:00,1\n")
    with pytest.raises(RecordError, match=r"read as '%d/%m/%Y %H:%M' or as '%m/%d/%Y %H:%M': give time_format="):
        read_record(path)


def test_units_in_headers_and_the_original_headers(tmp_path) -> None:
    frame = plant(6)
    by_header = Record.from_frame(frame, mass="Tonnage [t]", bulk_density=1.5, parameters=["CaO [%]", "H2O (%)"])
    by_name = Record.from_frame(frame, mass="Tonnage", bulk_density=1.5, parameters=["CaO", "H2O"])
    assert by_header == by_name and by_name.units == {"CaO": "%", "H2O": "%"}
    # With no mass or volume column, the one column in t is the mass.
    assert Record.from_frame(frame, bulk_density=1.5) == Record.from_frame(frame, mass="Tonnage", bulk_density=1.5)
    # A unit is kept in the name when taking it off would make two columns one.
    twice = pd.DataFrame({"time": [0.0, 1.0], "volume": 1.0, "Fe [%]": 1.0, "Fe [ppm]": 2.0})
    assert Record.from_frame(twice).parameters == ("Fe [%]", "Fe [ppm]")


def test_reserved_names_are_refused_with_what_to_do() -> None:
    frame = pd.DataFrame({"time": [0.0, 1.0], "volume": 1.0, "q": 2.0, "time_std": 0.5})
    with pytest.raises(RecordError, match=r"column 'time_std': .*reclaimed table: rename it"):
        Record.from_frame(frame)
    assert Record.from_frame(frame, parameters=["q"]).parameters == ("q",)
    for name in ("time_mean", "duration"):
        with pytest.raises(RecordError, match=f"'{name}' cannot be a parameter's name"):
            Record.from_frame(frame.rename(columns={"q": name}), parameters=[name])
    # A column of a name the tables use is refused, not silently left out, unless it is the time
    # (or the amount) the caller named.
    plain = frame.drop(columns="time_std")
    for name in ("x", "duration", "z"):
        with pytest.raises(RecordError, match=f"column '{name}': .*may not be named .*rename it"):
            Record.from_frame(plain.assign(**{name: 3.0}))
        assert Record.from_frame(plain.assign(**{name: 3.0}), parameters=["q"]).parameters == ("q",)
    with pytest.raises(RecordError, match="column 'time': .*may not be named"):
        Record.from_frame(plain.assign(hours=[5.0, 6.0]), time="hours")
    assert Record.from_frame(plain.rename(columns={"time": "x"}), time="x").parameters == ("q",)
    both = Record.from_frame(plain.assign(mass=2.0), mass="mass", bulk_density=2.0)
    assert both.parameters == ("q",) and any("'volume' is left out" in note for note in both.notes)


def test_missing_entries_refused_all_at_once_filled_or_dropped(tmp_path) -> None:
    path = tmp_path / "gaps.csv"
    path.write_text("time,volume,a,b\n0,1,1,10\n1,1,,20\n2,,3,\n\n3,1,4,40\n4,1,5,50\n")
    with pytest.raises(RecordError) as caught:
        read_record(path)
    text = str(caught.value)
    assert text.startswith("row 1, column 'a': missing value (line 3); a value is a finite number; "
                           "or read with missing='interpolate'")
    assert "column 'volume', missing volume: row 2 (line 4)" in text and "column 'b', missing value: row 2 (line 4)" in text
    assert "3 faults in all" in text
    filled = read_record(path, missing="interpolate")
    np.testing.assert_allclose(filled.frame[["volume", "a", "b"]].to_numpy(),
                               [[1, 1, 10], [1, 2, 20], [1, 3, 30], [1, 4, 40], [1, 5, 50]])
    dropped = read_record(path, missing="drop", last_duration=1.0)
    np.testing.assert_allclose(dropped.frame["time"], [0, 3, 4])
    np.testing.assert_allclose(dropped.frame["duration"], [3, 1, 1])
    assert any("dropped 2 rows" in note for note in dropped.notes)
    # Beyond twenty faults: the first twenty named, and a count of all.
    many = pd.DataFrame({"time": np.arange(30.0), "volume": 1.0, "a": np.nan})
    many.loc[0, "a"] = 1.0
    with pytest.raises(RecordError, match=r"and 9 more; 29 faults in all$"):
        Record.from_frame(many)


def test_new_attributes_compare_and_pickle() -> None:
    frame = plant(6)
    record = Record.from_frame(frame, mass="Tonnage", bulk_density=1.5, timezone=BERLIN, derived=["B2"])
    again = pickle.loads(pickle.dumps(record))
    assert again == record and again.derived == {"B2": "CaO / SiO2"} and again.timezone == BERLIN
    assert record != Record.from_frame(frame, mass="Tonnage", bulk_density=1.5, timezone=BERLIN)
    assert record != Record.from_frame(frame, mass="Tonnage", bulk_density=1.5, derived=["B2"])
    assert "Europe/Berlin" in repr(record) and "derived=('B2',)" in repr(record)


def test_a_file_that_does_not_read_is_refused_naming_it(tmp_path) -> None:
    import gzip

    whole = gzip.compress(b"time,volume,a\n" + b"".join(b"%d,1,%d\n" % (i, i) for i in range(200)))
    cases = {
        "cut.csv.gz": whole[: len(whole) // 2],  # truncated: the stream ends early
        "noise.csv.gz": b"\x1f\x8b" + bytes(range(200)),  # a gzip header, then garbage
        "text.csv.zip": b"not a zip archive",
        "text.parquet": b"time,volume\n0,1\n",
        "text.xlsx": b"time,volume\n0,1\n",
    }
    for name, data in cases.items():
        (tmp_path / name).write_bytes(data)
        with pytest.raises(RecordError, match=rf"^{name.replace('.', '[.]')} cannot be read as a \w+ file \(\w+") as caught:
            read_record(tmp_path / name)
        assert "\n" not in str(caught.value)
    with pytest.raises(RecordError, match="does not exist"):
        read_record(tmp_path / "none.csv")

