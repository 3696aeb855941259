"""The command's record: the RECORD argument, its options, and loading it with one-line refusals.

Wiring (in the command's parser and study set-up)::

    from .commands.records import add_record_arguments, load_record, record_notes

    add_record_arguments(run)           # instead of the RECORD argument and the "record columns"
                                        # group in _add_common; the bed, plan and output groups stay
    record, source = load_record(args)  # instead of _load_record(args); raises UsageError
    for line in record_notes(record):   # what was detected and found, one line each
        print(line)

`load_record` raises `pilora.commands.common.UsageError` with a one-line message (exit status 2)
for every mistake in the options or the record; nothing is written by it. `record_notes` lists
what reading detected (separator, decimal comma, time format, time zone, units, filled or dropped
entries) and the count of `pilora.check_record` findings by kind; `record_findings` gives the
findings table itself for a report.
"""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import TYPE_CHECKING

import pandas as pd

from .common import UsageError, positive

if TYPE_CHECKING:
    from ..record import Record

__all__ = ["add_record_arguments", "load_record", "record_findings", "record_notes"]

_SEPARATORS = {",": ",", ";": ";", "tab": "\t", "\\t": "\t", "\t": "\t", "|": "|", "space": r"\s+"}


def _columns(text: str) -> tuple[str, ...]:
    names = tuple(p.strip() for p in text.split(",") if p.strip())
    if not names:
        raise argparse.ArgumentTypeError("no column named: e.g. CaO,SiO2")
    return names


def _separator(text: str) -> str:
    if text not in _SEPARATORS:
        raise argparse.ArgumentTypeError(f"{text!r} is not a separator: give one of , ; tab | space")
    return _SEPARATORS[text]


def _decimal(text: str) -> str:
    if text not in (".", ","):
        raise argparse.ArgumentTypeError(f"{text!r} is not a decimal mark: give . or ,")
    return text


def _derived(text: str) -> str:
    if not text.split("=", 1)[0].strip():
        raise argparse.ArgumentTypeError(f"{text!r} has no name: give NAME=EXPR or a preset (LSF, SM, AM, B2)")
    return text


def add_record_arguments(parser: argparse.ArgumentParser) -> None:
    """Adds RECORD and the record options (the groups "record columns" and "reading the record")."""
    parser.add_argument(
        "record", nargs="?", metavar="RECORD", type=Path,
        help="quality record, a .csv (also .csv.gz and the like), .parquet or .xlsx file with one row "
             "per interval: a time column, the mass (t) or volume (m³) of each interval and one column "
             "per quality parameter; headers may carry units (CaO [%%]). Default: the sample record "
             "shipped with pilora (two days of crushed limestone, about 54,000 t)")
    rec = parser.add_argument_group("record columns (by name, or by header with its unit)")
    rec.add_argument("--time", default="time", metavar="COLUMN",
                     help="column of interval start times: hours (numbers) or dates (default: time)")
    rec.add_argument("--mass", metavar="COLUMN",
                     help="column of interval masses in t (default: 'mass' when the record has one, "
                          "else the one column headed in [t])")
    rec.add_argument("--volume", metavar="COLUMN",
                     help="column of interval volumes in m³ (default: 'volume' when there is no mass)")
    rec.add_argument("--bulk-density", type=positive("t/m³"), metavar="T/M3",
                     help="bulk density on the bed in t/m³, turns masses into volumes; needed for a "
                          "record given by mass (crushed limestone: about 1.5; the sample: 1.5)")
    rec.add_argument("--parameters", type=_columns, metavar="A,B,...",
                     help="quality parameter columns (default: every other numeric column)")
    rec.add_argument("--derived", action="append", type=_derived, metavar="NAME=EXPR",
                     help="a derived quality computed from the blend's averages, repeatable: a preset "
                          "(LSF, SM, AM, B2: lime saturation factor, silica and alumina modulus, "
                          "basicity CaO/SiO2) or NAME=EXPR over parameter names with + - * / ** and "
                          "parentheses, e.g. --derived 'CS=CaO/SiO2'")
    read = parser.add_argument_group("reading the record (detected when not given)")
    read.add_argument("--sep", type=_separator, metavar="SEP",
                      help="CSV separator: , ; tab | or space (default: detected)")
    read.add_argument("--decimal", type=_decimal, metavar="MARK",
                      help="decimal mark of a CSV file, . or , (default: detected)")
    read.add_argument("--encoding", metavar="NAME",
                      help="text encoding of a CSV file, e.g. utf-8 or cp1252 (default: UTF-8, else cp1252)")
    read.add_argument("--sheet", metavar="NAME",
                      help="sheet of an .xlsx workbook, by name or 0-based number (default: the first)")
    read.add_argument("--time-format", metavar="FORMAT",
                      help="format of dates in strftime codes, e.g. '%%d.%%m.%%Y %%H:%%M' for "
                           "25.10.2026 02:30 (default: ISO 8601, else detected)")
    read.add_argument("--timezone", metavar="ZONE",
                      help="IANA time zone of local dates, e.g. Europe/Berlin: times become UTC, the "
                           "repeated autumn hour is placed by the rows' order, a time in the skipped "
                           "spring hour is refused (default: dates as given)")
    read.add_argument("--missing", choices=("refuse", "interpolate", "drop"), default="refuse",
                      help="empty cells: refuse the record naming every one (default), interpolate "
                           "them linearly in time, or drop their rows")


def _refuse_missing_file(path: Path) -> None:
    if not path.exists():
        raise UsageError(f"RECORD {str(path)!r} does not exist (give a .csv, .parquet or .xlsx file, "
                         "or leave RECORD out to use the sample record)")
    if path.is_dir():
        raise UsageError(f"RECORD {str(path)!r} is a folder: give a .csv, .parquet or .xlsx file")


def _keywords(message: str) -> str:
    """A library message in the command's words (keywords become options)."""
    for keyword, option in (("missing='interpolate'", "--missing interpolate"), ("missing='drop'", "--missing drop"),
                            ("time_format=", "--time-format "), ("timezone=", "--timezone "),
                            ("decimal=','", "--decimal ,"), ("sep=", "--sep "), ("sheet=", "--sheet "),
                            ("parameters=", "--parameters"), ("encoding=", "--encoding ")):
        message = message.replace(keyword, option)
    return message


def load_record(args: argparse.Namespace) -> tuple[Record, str]:
    """(record, source text) from the parsed options; `UsageError` (one line) for any mistake."""
    from ..record import KINDS, Record, RecordError, _Columns, _default_amount, _kind, _read_table
    from ..sample import SAMPLE_BULK_DENSITY, sample_record_path

    if args.mass is not None and args.volume is not None:
        raise UsageError("give --mass or --volume, not both")
    if args.record is None:
        path, source = sample_record_path(), "the sample record (limestone.csv, shipped with pilora)"
        density = SAMPLE_BULK_DENSITY if args.bulk_density is None else args.bulk_density
    else:
        path, source, density = Path(args.record), str(args.record), args.bulk_density
        _refuse_missing_file(path)
    kind = _kind(path)
    if kind not in (".csv", ".parquet", ".xlsx"):
        raise UsageError(f"RECORD {str(path)!r} is neither .csv nor .parquet nor .xlsx: give a file of "
                         f"one of {KINDS}")
    sep, decimal, encoding = (getattr(args, k, None) for k in ("sep", "decimal", "encoding"))
    sheet = getattr(args, "sheet", None)
    if sheet is not None and kind != ".xlsx":
        raise UsageError(f"--sheet is for .xlsx workbooks, and {str(path)!r} is not one")
    csv_options = [o for o, v in (("--sep", sep), ("--decimal", decimal), ("--encoding", encoding))
                   if v is not None]
    if csv_options and kind != ".csv":
        raise UsageError(f"{', '.join(csv_options)} {'is' if len(csv_options) == 1 else 'are'} for CSV files, "
                         f"and {str(path)!r} is not one")
    try:
        table = _read_table(path, sep=sep, decimal=decimal, encoding=encoding, sheet=sheet)
    except (OSError, ValueError, ImportError) as error:
        text = _keywords(_one_line(error))
        if not text.startswith(path.name):  # a RecordError names the file itself
            text = f"cannot read {str(path)!r}: {text}"
        raise UsageError(text) from None
    frame = table.frame
    heads = _Columns.of([str(c).strip() for c in frame.columns])
    shown = ", ".join(heads.originals.values())
    for option, name in (("--time", args.time), ("--mass", args.mass), ("--volume", args.volume),
                         *(("--parameters", p) for p in args.parameters or ())):
        if name is not None and heads.find(name) is None:
            default = " (the default)" if option == "--time" and name == "time" else ""
            hint = ""
            if len(heads.names) == 1:
                marks = [m for m in (";", ",", "\t", "|") if m in heads.names[0]]
                if marks:
                    hint = f" (one column only: is the separator {marks[0]!r}? give --sep)"
            raise UsageError(f"the record has no column {name!r}{default} for {option}; "
                             f"its columns are: {shown}{hint}")
    mass, volume = args.mass, args.volume
    if mass is None and volume is None:
        mass, volume = _default_amount(heads.names)
        if mass is None and volume is None:
            by_unit = [n for n, u in heads.units.items() if u.lower() in ("t", "tonnes", "tons")]
            by_volume = [n for n, u in heads.units.items() if u.lower() in ("m³", "m3", "m^3")]
            if len(by_unit) == 1:
                mass = by_unit[0]
            elif len(by_volume) == 1:
                volume = by_volume[0]
        if mass is None and volume is None:
            raise UsageError(f"the record has neither a 'mass' nor a 'volume' column: name the column "
                             f"of interval masses (t) with --mass or of volumes (m³) with --volume; "
                             f"its columns are: {shown}")
    if mass is not None and density is None:
        raise UsageError(f"the record gives masses (column {heads.originals.get(mass, mass)!r}, t): give "
                         "--bulk-density in t/m³ to turn them into volumes (crushed limestone: about 1.5)")
    try:
        record = Record._build(frame, table, time=args.time, mass=mass, volume=volume, bulk_density=density,
                               parameters=args.parameters, time_format=getattr(args, "time_format", None),
                               timezone=getattr(args, "timezone", None), missing=getattr(args, "missing", "refuse"),
                               derived=getattr(args, "derived", None))
    except RecordError as error:
        rows = " (rows count from 0, the first data row)" if error.row is not None else ""
        raise UsageError(f"{source}: {_keywords(_one_line(error))}{rows}") from None
    except ValueError as error:
        raise UsageError(f"{source}: {_keywords(_one_line(error))}") from None
    if not record.parameters:
        raise UsageError(f"{source}: no quality parameter column found: name them with --parameters")
    return record, source


def _one_line(error: BaseException) -> str:
    return " ".join(str(error).split())


def record_findings(record: Record) -> pd.DataFrame:
    """`pilora.check_record(record)` with its default thresholds: the findings for a report."""
    from ..quality import check_record

    return check_record(record)


def record_notes(record: Record, findings: pd.DataFrame | None = None) -> list[str]:
    """Lines for the command to print: what reading the record detected or did, then how many
    findings `check_record` has (by kind), or that it has none. Pass `findings` when already made."""
    lines = [f"record: {note}" for note in record.notes]
    if record.derived:
        lines.append("record: derived " + ", ".join(f"{k} = {v}" for k, v in record.derived.items()))
    if findings is None:
        findings = record_findings(record)
    if len(findings):
        counts = findings["kind"].value_counts()
        kinds = ", ".join(f"{counts[k]} {k}" for k in findings["kind"].drop_duplicates())
        lines.append(f"record: {len(findings)} data quality finding{'s' if len(findings) != 1 else ''} "
                     f"({kinds}); see the report's data quality section")
    else:
        lines.append("record: no data quality findings")
    return lines
