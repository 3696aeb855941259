"""Findings about a record's data: frozen analysers, stops, gaps, spikes and physical bounds."""

import numpy as np
import pandas as pd
import pytest

from pilora import Record, check_record, sample_record


def test_the_historian_sample_shows_its_freeze_stop_and_gap() -> None:
    record = sample_record("historian")
    before = record.frame.copy()
    findings = check_record(record)
    assert list(findings.columns) == ["kind", "parameter", "start", "end", "rows", "message"]
    assert list(findings["kind"]) == ["stop", "gap", "frozen"]
    stop, gap, frozen = (findings.iloc[i] for i in range(3))
    assert stop["rows"] == 23 and "rows 300-322" in stop["message"] and "03:00 CET" in stop["message"]
    assert gap["end"] - gap["start"] == pytest.approx(0.5) and "between rows 419 and 420" in gap["message"]
    assert frozen["parameter"] == "CaO, SiO2, Al2O3, Fe2O3" and frozen["rows"] == 61
    assert frozen["end"] - frozen["start"] == pytest.approx(61 / 30)
    assert record.frame.equals(before)  # findings never change the data
    # A freeze shorter than the stated time is no finding.
    assert "frozen" not in set(check_record(record, frozen_hours=2.5)["kind"])


# Rows of the limestone sample's planted outliers: six clay pockets (CaO down, SiO2 and Al2O3 up)
# and four analyser spikes in one oxide each (SiO2 at row 92 lies within its shift's spread).
CLAY_POCKETS = {117, 603, 737, 939, 1214, 1310}
SPIKES = {92: "SiO2", 149: "Fe2O3", 180: "CaO", 1064: "Al2O3"}


def test_the_limestone_samples_outliers_are_the_spikes_found() -> None:
    findings = check_record(sample_record())
    assert set(findings["kind"]) == {"spike"} and (findings["rows"] == 1).all()
    found = dict(zip(np.round(findings["start"] * 30).astype(int), findings["parameter"]))
    assert set(found) <= CLAY_POCKETS | set(SPIKES)  # nothing but planted outliers
    assert all({"CaO", "Al2O3"} <= set(found[row].split(", ")) for row in CLAY_POCKETS)
    assert sum(found.get(row) == oxide for row, oxide in SPIKES.items()) >= 3


def feed(rows: int = 200, **columns) -> Record:
    base = {"time": np.arange(rows) / 30, "volume": 1.0,
            "CaO": 50 + np.sin(np.arange(rows) / 15) + np.random.default_rng(1).normal(0, 0.1, rows),
            "SiO2": 5 + 0.01 * np.arange(rows) % 0.7}
    base.update(columns)
    return Record.from_frame(pd.DataFrame(base))


def test_a_clean_feed_has_no_findings() -> None:
    assert check_record(feed()).empty


def test_spikes_and_physical_bounds() -> None:
    cao = feed().frame["CaO"].to_numpy().copy()
    cao[[50, 51]] = 40.0  # two rows of a sampling fault
    sio2 = np.full(200, 5.0) + np.random.default_rng(2).normal(0, 0.05, 200)
    sio2[120] = -0.4
    sio2[150:153] = 55.0  # CaO + SiO2 above 100 %
    findings = check_record(feed(CaO=cao, SiO2=sio2))
    spikes = findings[findings["kind"] == "spike"]
    assert spikes.iloc[0]["parameter"] == "CaO" and spikes.iloc[0]["rows"] == 2
    bounds = findings[findings["kind"] == "bounds"]
    assert list(bounds["parameter"]) == ["SiO2", "CaO, SiO2"]
    assert "SiO2 negative (-0.4 %" in bounds.iloc[0]["message"] and bounds.iloc[1]["rows"] == 3
    assert "above 100 %" in bounds.iloc[1]["message"] and "rows 150-152" in bounds.iloc[1]["message"]


def test_the_spike_window_is_bounded_by_the_record_and_a_row_count(monkeypatch) -> None:
    import pilora.quality

    # Rows 1e-7 h apart: an hour's window would hold 1e7 rows. The window stops at the record's
    # rows, so the spike is still found, against the median of the whole record.
    cao = feed().frame["CaO"].to_numpy().copy()
    cao[80] = 60.0
    frame = pd.DataFrame({"time": np.arange(200) * 1e-7, "volume": 1.0, "CaO": cao})
    findings = check_record(Record.from_frame(frame))
    assert findings.attrs["spike_window_rows"] == 199
    assert findings["kind"].tolist() == ["spike"] and "row 80" in findings.iloc[0]["message"]
    long = pd.DataFrame({"time": np.arange(3000) * 1e-4, "volume": 1.0, "CaO": np.resize(cao, 3000)})
    assert check_record(Record.from_frame(long)).attrs["spike_window_rows"] == pilora.quality.MAX_SPIKE_WINDOW
    # Rows taken a few at a time give the same medians as all at once.
    values = np.where(np.arange(200) % 17 == 3, np.nan, cao)
    whole = pilora.quality._running_median_and_mad(values, 31)
    monkeypatch.setattr(pilora.quality, "_CHUNK_ELEMENTS", 70)
    np.testing.assert_array_equal(pilora.quality._running_median_and_mad(values, 31), whole)


def test_thresholds_are_checked() -> None:
    with pytest.raises(ValueError, match="spike_z must be a finite number above 0"):
        check_record(feed(), spike_z=0)
