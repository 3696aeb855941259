"""The command's record options: reading a historian's export, and one-line refusals."""

import argparse

import pandas as pd
import pytest

from pilora import read_record, sample_record_path
from pilora.commands.common import UsageError
from pilora.commands.records import add_record_arguments, load_record, record_notes

HISTORIAN = ["{historian}", "--time", "Zeit", "--mass", "Tonnage [t]", "--bulk-density", "1.5",
             "--timezone", "Europe/Berlin"]


def parse(argv: list[str], **paths) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="pilora run")
    add_record_arguments(parser)
    paths.setdefault("historian", sample_record_path("historian"))
    return parser.parse_args([a.format(**paths) for a in argv])


def test_the_historian_sample_as_the_command_reads_it() -> None:
    args = parse([*HISTORIAN, "--missing", "interpolate", "--derived", "LSF", "--derived", "CS=CaO/SiO2"])
    record, source = load_record(args)
    assert source == str(sample_record_path("historian"))
    assert record == read_record(sample_record_path("historian"), time="Zeit", mass="Tonnage", bulk_density=1.5,
                                 timezone="Europe/Berlin", missing="interpolate", derived=["LSF", "CS=CaO/SiO2"])
    notes = record_notes(record)
    assert notes[0] == "record: read historian.csv as CSV: separator ';', decimal comma (detected)"
    assert notes[-1] == ("record: 3 data quality findings (1 stop, 1 gap, 1 frozen); "
                         "see the report's data quality section")


REFUSALS = [
    (HISTORIAN, "row 37, column 'CaO': missing value (line 39); a value is a finite number; or read with "
                "--missing interpolate (filled linearly in time) or --missing drop"),
    ([*HISTORIAN, "--missing", "drop", "--sep", ","], "no column 'Zeit' for --time; its columns are: "
                                                      "Zeit;Tonnage [t];"),
    ([*HISTORIAN, "--missing", "drop", "--decimal", "."], "(a decimal comma: read with --decimal ,) (line 2)"),
    ([*HISTORIAN, "--missing", "drop", "--time-format", "%Y-%m-%d %H:%M"],
     "it reads as --time-format '%d.%m.%Y %H:%M'"),
    ([*HISTORIAN[:-2], "--missing", "drop"], "row 270, column 'Zeit': time is not after the previous row's"),
    ([*HISTORIAN[:-1], "Europe/Berln"], "unknown time zone 'Europe/Berln'"),
    ([*HISTORIAN, "--missing", "drop", "--derived", "LSF=CaO/MgO"], "reads 'MgO', not a parameter"),
    ([*HISTORIAN, "--missing", "drop", "--derived", "CaO=CaO*2"], "takes a parameter's name"),
    ([*HISTORIAN, "--sheet", "Export"], "--sheet is for .xlsx workbooks"),
    (["{plain}", "--encoding", "cp1252"], "--encoding is for CSV files"),
    (["{reserved}", "--bulk-density", "1.5"], "may not be named 'time_std'"),
    (["{reserved}", "--bulk-density", "1.5", "--parameters", "time_std"], "'time_std' cannot be a parameter's name"),
    (["{text}"], "is neither .csv nor .parquet nor .xlsx"),
]


@pytest.mark.parametrize(("argv", "message"), REFUSALS)
def test_mistakes_are_refused_in_one_line(tmp_path, argv, message) -> None:
    frame = pd.DataFrame({"time": [0.0, 1.0], "mass": [1.0, 2.0], "q": [3.0, 4.0], "time_std": [0.0, 0.0]})
    frame.to_csv(tmp_path / "reserved.csv", index=False)
    frame.to_parquet(tmp_path / "plain.parquet")
    (tmp_path / "record.txt").write_text("time,mass\n0,1\n")
    args = parse(argv, plain=tmp_path / "plain.parquet", reserved=tmp_path / "reserved.csv",
                 text=tmp_path / "record.txt")
    with pytest.raises(UsageError) as caught:
        load_record(args)
    text = str(caught.value)
    assert message in text and "\n" not in text
