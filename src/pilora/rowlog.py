"""Row logs of :func:`pilora.evaluate`: the rows' columns, task fingerprints, CSV and Parquet logs.

A row log holds one row per finished task, appended as tasks finish, so that a population run
that stops (killed, or raising on a failed task) continues where it stopped (``resume=True``).

Opening a log has two steps. :func:`open_log` reads what the log holds and writes nothing;
:func:`logged_rows` checks every row against the tasks of this run and picks the rows to reuse;
only then does :meth:`CsvLog.start` / :meth:`ParquetLog.start` change the log (drop a line cut short
by a kill, add columns this run brings, append). A file or folder that is not a row log of these
tasks and this run seed is refused and left byte for byte as it was.

Rules of a resumed log:

- A row stands for task ``task`` if its ``fingerprint`` (a digest of the bed settings, the
  record's content, the plan, the reclaim increment and the label) and ``run_seed`` equal this
  run's; any row that does not is refused, as is a task index beyond this run's tasks.
- Rows are read in the order they were logged and the latest row of a task wins.
- A row logged by another version of the package is run again (its new row, logged later, wins
  from then on); so is a failed row (non-empty ``error``) when errors are not recorded.
"""

from __future__ import annotations

import csv
import dataclasses
import enum
import hashlib
import io
import math
import numbers
import os
import pathlib
import re
import time
import uuid
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from .evaluate import Task
    from .record import Record

Kind = Literal["int64", "float64", "bool", "string"]

#: Columns every row log has: a CSV file or Parquet folder without them is not a row log.
KEY_COLUMNS: dict[str, Kind] = {"task": "int64", "seed": "int64", "run_seed": "int64",
                                "version": "string", "fingerprint": "string"}

# Names of Parquet part files (written by ParquetLog.flush) and their temporaries.
_PART = re.compile(r"part-\d{20}-[0-9a-f]{8}\.parquet")
_PART_TEMPORARY = re.compile(r"\.part-\d{20}-[0-9a-f]{8}\.parquet\.tmp")


class LogError(ValueError):
    """A log that cannot be continued by this run (left unchanged)."""


# ---------------------------------------------------------------------------------------------
# Fingerprints and the flattened description of a task


def digest(*parts: bytes | str) -> str:
    """A 128-bit BLAKE2b digest (hex) of the parts, each prefixed by its length."""
    h = hashlib.blake2b(digest_size=16)
    for part in parts:
        data = part.encode() if isinstance(part, str) else part
        h.update(len(data).to_bytes(8, "little"))
        h.update(data)
    return h.hexdigest()


def record_fingerprint(record: Record) -> str:
    """A digest of a record's content: columns, their dtypes and values, and its other fields."""
    parts: list[bytes | str] = []
    for name, column in record.frame.items():
        values = column.to_numpy()
        parts += [repr(name), str(values.dtype)]
        if values.dtype.kind in "biufcmM":
            parts.append(np.ascontiguousarray(values).tobytes())
        else:
            parts.append(repr(values.tolist()))
    for field in dataclasses.fields(record):
        value = getattr(record, field.name)
        # Fields at their default leave the digest as it was before they existed, so a log keeps
        # its records' fingerprints when a later version adds a field; notes only say how a file
        # was read.
        if field.name in ("frame", "notes") or (field.name not in _FIRST_FIELDS and _is_default(field, value)):
            continue
        parts += [field.name, token(value)]
    return digest(*parts)


# The fields a record had when logs began; a field added later counts only when it is set.
_FIRST_FIELDS = ("parameters", "bulk_density", "start", "origin")


def _is_default(field: dataclasses.Field[Any], value: object) -> bool:
    if field.default is not dataclasses.MISSING:
        default = field.default
    elif field.default_factory is not dataclasses.MISSING:
        default = field.default_factory()
    else:
        return False
    try:
        return bool(type(value) is type(default) and value == default)
    except (TypeError, ValueError):
        return False


def token(value: object) -> str:
    """A stable text for a settings or plan value (for fingerprints)."""
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        inner = ",".join(f"{f.name}={token(getattr(value, f.name))}" for f in dataclasses.fields(value))
        return f"{type(value).__module__}.{type(value).__qualname__}({inner})"
    if isinstance(value, np.ndarray):
        return f"array({value.dtype},{value.shape},{digest(np.ascontiguousarray(value).tobytes())})"
    if isinstance(value, np.generic):
        return token(value.item())
    if isinstance(value, (tuple, list)):
        return "(" + ",".join(token(v) for v in value) + ")"
    if isinstance(value, Mapping):
        return "{" + ",".join(f"{token(k)}:{token(v)}" for k, v in value.items()) + "}"
    if isinstance(value, float):
        return value.hex()
    text = repr(value)
    if " at 0x" in text:
        raise TypeError(f"cannot fingerprint a {type(value).__name__}: its repr is not stable")
    return text


def flatten(prefix: str, value: object, out: dict[str, object]) -> None:
    """Flatten a settings or plan value into columns ``prefix.field``, ``prefix.field[i]``."""
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        for field in dataclasses.fields(value):
            if not field.name.startswith("_"):
                flatten(f"{prefix}.{field.name}", getattr(value, field.name), out)
    elif isinstance(value, enum.Enum):
        out[prefix] = value.name
    elif isinstance(value, np.generic):
        flatten(prefix, value.item(), out)
    elif value is None or isinstance(value, (bool, int, float, str)):
        out[prefix] = value
    elif isinstance(value, (tuple, list, np.ndarray)):
        for i, item in enumerate(value):
            flatten(f"{prefix}[{i}]", item, out)
    elif isinstance(value, Mapping):
        for key, item in value.items():
            flatten(f"{prefix}.{key}", item, out)
    else:
        out[prefix] = repr(value)


@dataclass
class Prepared:
    """What the parent knows of a task before running it: its fingerprints and its columns."""

    task: Task
    record_fingerprint: str
    fingerprint: str
    columns: dict[str, object]


def prepare(index: int, task: Task, record_fingerprints: dict[int, str]) -> Prepared:
    """Fingerprint and describe task ``index``; ``record_fingerprints`` caches records' digests
    by ``id`` (the caller keeps the records alive)."""
    record_fp = record_fingerprints.get(id(task.record))
    if record_fp is None:
        record_fp = record_fingerprints[id(task.record)] = record_fingerprint(task.record)
    fingerprint = digest(token(task.bed), record_fp, token(task.plan),
                         token(task.reclaim_increment), token(task.label))
    columns: dict[str, object] = {"task": index, "label": task.label, "plan": type(task.plan).__name__}
    flatten("plan", task.plan, columns)
    columns["reclaim_increment"] = task.reclaim_increment
    flatten("bed", task.bed, columns)
    columns["record"] = record_fp
    return Prepared(task, record_fp, fingerprint, columns)


# ---------------------------------------------------------------------------------------------
# The row schema


def _kind(values: list[object]) -> Kind:
    kinds = {type(v) for v in values}
    if kinds <= {bool}:
        return "bool"
    if kinds <= {int}:
        return "int64"
    if kinds <= {int, float, type(None)}:
        return "float64"
    return "string"


def schema(prepared: list[Prepared], measure_columns: Iterable[str], catch: bool) -> dict[str, Kind]:
    """The rows' columns and kinds: the task's description, the measures, ``error`` (when
    errors are recorded), then :data:`KEY_COLUMNS` but the task index."""
    # Columns in groups (the plan's, then the bed's, ...), each in order of first appearance.
    group = {"plan": 0, "reclaim_increment": 1, "bed": 2, "record": 3}
    described: dict[str, list[object]] = {}
    for name in sorted(dict.fromkeys(n for item in prepared for n in item.columns),
                       key=lambda n: group.get(n.split(".")[0].split("[")[0], -1)):
        described[name] = []
    for item in prepared:
        for name, values in described.items():
            values.append(item.columns.get(name))
    kinds: dict[str, Kind] = {"task": "int64", "label": "string", "plan": "string"}
    for name, values in described.items():
        if name not in kinds:
            kinds[name] = "string" if name == "record" else _kind(values)
    kinds.update({name: "float64" for name in measure_columns})
    if catch:
        kinds["error"] = "string"
    kinds.update({"seed": "int64", "run_seed": "int64", "version": "string", "fingerprint": "string"})
    return kinds


def missing(value: object) -> bool:
    """Whether a cell is empty (None or a float NaN)."""
    return value is None or (isinstance(value, float) and math.isnan(value))


def cell(value: object, kind: Kind) -> object:
    """A cell as a row of this kind holds it: None for missing text, NaN for a missing number."""
    if kind == "string":
        return None if missing(value) else str(value)
    if kind == "float64":
        return math.nan if value is None else float(value)  # type: ignore[arg-type]
    if kind == "int64":
        return int(value)  # type: ignore[call-overload]
    return bool(value)


def typed(row: Mapping[str, object], kinds: Mapping[str, Kind]) -> dict[str, object]:
    """The row with exactly the given columns, each cell as :func:`cell` makes it."""
    return {name: cell(row.get(name), kind) for name, kind in kinds.items()}


def frame(rows: list[dict[str, object]], kinds: dict[str, Kind]) -> pd.DataFrame:
    """The rows as a frame with the given columns: int64, float64 and bool columns, text as
    Python strings or None in object columns."""
    data: dict[str, Any] = {}
    for name, kind in kinds.items():
        values = [cell(row.get(name), kind) for row in rows]
        data[name] = pd.Series(values, dtype=object if kind == "string" else kind)
    return pd.DataFrame(data, columns=list(kinds))


def _union(kinds: dict[str, Kind], previous: Mapping[str, Kind]) -> dict[str, Kind]:
    """The log's columns: this run's, then those only the log has; kinds that differ widen."""
    union = dict(kinds)
    for name, kind in previous.items():
        if name not in union:
            union[name] = kind
        elif union[name] != kind:
            union[name] = "float64" if {union[name], kind} <= {"int64", "float64"} else "string"
    return union


# ---------------------------------------------------------------------------------------------
# CSV logs


class _Lines:
    """A file-like sink collecting what csv.writer writes."""

    def __init__(self) -> None:
        self.parts: list[str] = []

    def write(self, text: str) -> None:
        self.parts.append(text)


def _csv_cell(value: object) -> str:
    if value is None:
        return ""
    sink = _Lines()
    csv.writer(sink, lineterminator="\n").writerow([value])  # an empty text comes out as ""
    return "".join(sink.parts)[:-1]


def csv_line(values: list[object]) -> str:
    """One record of a CSV log (``\\n``-terminated; a newline in a cell is quoted): None as an
    empty cell, an empty text as ``""``, so that the two read back apart."""
    return ",".join(_csv_cell(value) for value in values) + "\n"


def _records(path: pathlib.Path, data: bytes) -> tuple[list[list[str | None]], int]:
    """The whole records at the start of a CSV log (cells as text, None for an empty unquoted
    cell), and the bytes they take: a record cut short by a kill (its last line, or a quoted
    cell holding newlines, unfinished) is left out."""
    pieces = re.findall(rb"[^\n]*\n", data)  # whole lines; what follows the last one is cut short
    ends = np.cumsum([0] + [len(piece) for piece in pieces]).tolist()
    try:
        texts = [piece.decode("utf-8") for piece in pieces]
    except UnicodeDecodeError as error:
        raise LogError(f"the log {path} cannot be read as CSV ({error}): not a row log of "
                       "pilora.evaluate; give another log path") from None
    reader = csv.reader(iter(texts), quoting=csv.QUOTE_NOTNULL, strict=True)
    records: list[list[str | None]] = []
    whole = 0
    while True:
        try:
            records.append(next(reader))  # type: ignore[arg-type]  # QUOTE_NOTNULL: None for empty
        except StopIteration:
            break
        except csv.Error as error:
            if reader.line_num == len(texts) and str(error) == "unexpected end of data":
                break  # a quoted cell cut short after one of its newlines
            raise LogError(f"the log {path} cannot be read as CSV ({error}): not a row log of "
                           "pilora.evaluate; give another log path") from None
        whole = ends[reader.line_num]
    return records, whole


def _parsed(path: pathlib.Path, name: str, texts: list[str | None], kind: Kind) -> tuple[list[Any], Kind]:
    """A CSV column read as text (None for an empty unquoted cell), as values of `kind` (floats
    through Python's exact parser), and the kind they have: integers written as floats ("2.0")
    are read as integers, a column that is not of its kind is read as floats or text; refused in
    a key column. Text is missing (None) for an empty unquoted cell and empty for ``""``; logs
    written before empty text was quoted read their empty cells as missing."""
    if kind == "string":
        return texts, kind
    flags = {"True": True, "False": False, "": None, None: None}
    if kind == "bool" and all(t in flags for t in texts):
        return [flags[t] for t in texts], kind
    try:
        return ([int(t) for t in texts] if kind == "int64" else  # type: ignore[arg-type]
                [float(t) if t else math.nan for t in texts]), kind
    except (ValueError, TypeError):
        pass
    try:
        floats = [float(t) if t else math.nan for t in texts]
    except ValueError:
        floats = None
    if kind == "int64" and floats is not None and all(math.isfinite(v) and v == int(v) for v in floats):
        return [int(v) for v in floats], kind
    if name in KEY_COLUMNS:
        bad = next(t for t in texts if not _integral(t))
        raise LogError(f"the log {path} holds {bad!r} in its column {name!r}, which takes integers: "
                       "not a row log of pilora.evaluate; give another log path")
    return (floats, "float64") if floats is not None else (texts, "string")


def _integral(text: str | None) -> bool:
    try:
        return float(text) == int(float(text))  # type: ignore[arg-type]
    except (ValueError, OverflowError, TypeError):
        return False


class CsvLog:
    """A CSV row log: a header line, then one flushed line per finished task.

    Made by :func:`open_log`, which reads the file (``previous``: the rows it holds, in the
    order written) and changes nothing; :meth:`start` then drops a line cut short, adds the
    columns this run brings (moving the existing cells' text unchanged) and opens the file for
    appending.
    """

    def __init__(self, path: pathlib.Path, kinds: dict[str, Kind]) -> None:
        self.path = path
        self.previous: pd.DataFrame | None = None
        self.kinds = dict(kinds)
        self._header: list[str] | None = None  # the log's header, None for a new or empty log
        self._cells: list[list[str | None]] = []  # the log's cells, as text
        self._end: int | None = None  # bytes of whole lines, when a line cut short follows them
        self._file: io.TextIOWrapper | None = None
        if path.exists():
            self._read()

    def _read(self) -> None:
        path = self.path
        if path.is_dir():
            raise LogError(f"the log {path} is a folder: a CSV log is a file")
        data = path.read_bytes()
        lines, whole = _records(path, data)
        if whole < len(data):
            self._end = whole  # a kill cut the last line short: it is dropped by start()
        fresh = csv_line(list(self.kinds))
        if not whole:
            # Nothing but a header cut short by a kill (or an empty file): started anew, if ours.
            if data and not fresh.encode().startswith(data):
                raise LogError(f"the log {path} holds no header line of a row log: not a row log "
                               "of pilora.evaluate; give another log path")
            return
        header, cells = [name or "" for name in lines[0]], lines[1:]
        absent = [name for name in KEY_COLUMNS if name not in header]
        if absent:
            raise LogError(f"the log {path} has no column {absent[0]!r}: not a row log of "
                           "pilora.evaluate; give another log path")
        if len(set(header)) != len(header):
            raise LogError(f"the log {path} names a column twice: not a row log of pilora.evaluate")
        for number, line in enumerate(cells, start=2):
            if len(line) != len(header):
                raise LogError(f"line {number} of the log {path} has {len(line)} cells, its header "
                               f"{len(header)}: not a row log of pilora.evaluate")
        # The run's columns keep their kinds; the log's others are text (the text does not tell).
        kinds: dict[str, Kind] = {**self.kinds, **{name: "string" for name in header if name not in self.kinds}}
        columns: dict[str, list[object]] = {}
        for j, name in enumerate(header):
            columns[name], _ = _parsed(path, name, [line[j] for line in cells], kinds[name])
        self.kinds = kinds
        self._header, self._cells = header, cells
        self.previous = pd.DataFrame(columns, columns=header)

    def start(self) -> None:
        """Make the log ready to append: the one step that changes an existing log."""
        path = self.path
        path.parent.mkdir(parents=True, exist_ok=True)
        if self._header is None:
            self._file = open(path, "w", encoding="utf-8", newline="")
            self._file.write(csv_line(list(self.kinds)))
            self._file.flush()
            return
        if self._header != list(self.kinds):
            # Columns the log lacks (say, of new plan types): rewrite it with all of them, each
            # existing cell's text as it was.
            where = {name: j for j, name in enumerate(self._header)}
            blank = {name: None if kind == "string" else "nan" for name, kind in self.kinds.items()}
            temporary = path.with_name(f".{path.name}.{uuid.uuid4().hex}")
            try:
                with open(temporary, "w", encoding="utf-8", newline="") as file:
                    file.write(csv_line(list(self.kinds)))
                    for line in self._cells:
                        file.write(csv_line([line[where[n]] if n in where else blank[n] for n in self.kinds]))
                    file.flush()
                    os.fsync(file.fileno())
                os.replace(temporary, path)
            finally:
                temporary.unlink(missing_ok=True)
        elif self._end is not None:
            with open(path, "rb+") as file:
                file.truncate(self._end)
        self._file = open(path, "a", encoding="utf-8", newline="")

    def _line(self, row: Mapping[str, object]) -> list[object]:
        line: list[object] = []
        for name, kind in self.kinds.items():
            value = row.get(name)
            if missing(value):
                line.append(None if kind == "string" else "nan")
            elif isinstance(value, (float, np.floating)):
                line.append(repr(float(value)))
            else:
                line.append(value)
        return line

    def append(self, row: Mapping[str, object]) -> None:
        """Log a row (flushed at once)."""
        assert self._file is not None, "start() the log first"
        self._file.write(csv_line(self._line(row)))
        self._file.flush()

    def close(self) -> None:
        """Flush, sync and close the log (nothing to do if it was not started)."""
        if self._file is not None:
            self._file.flush()
            os.fsync(self._file.fileno())
            self._file.close()
            self._file = None


# ---------------------------------------------------------------------------------------------
# Parquet logs


_ARROW_KINDS: dict[str, Kind] = {"int64": "int64", "double": "float64", "bool": "bool", "string": "string"}


def _arrow_schema(kinds: dict[str, Kind]) -> Any:
    import pyarrow as pa

    types = {"int64": pa.int64(), "float64": pa.float64(), "bool": pa.bool_(), "string": pa.string()}
    return pa.schema([(name, types[kind]) for name, kind in kinds.items()])


class ParquetLog:
    """A Parquet row log: a folder of part files, one per batch of finished tasks.

    A batch is written at most every ``batch_seconds`` seconds and at the end, to a hidden
    temporary name first and then renamed. Made by :func:`open_log`, which reads the parts
    (``previous``: their rows in the order written) and changes nothing; :meth:`start` removes
    temporaries left by a kill and, when the parts' columns differ from this run's, replaces
    them by one part holding every column, so that the folder reads as one table.
    """

    def __init__(self, path: pathlib.Path, kinds: dict[str, Kind], batch_seconds: float) -> None:
        import pyarrow.parquet as pq

        self.path = path
        self.previous: pd.DataFrame | None = None
        self.batch_seconds = batch_seconds
        self.buffer: list[dict[str, object]] = []
        self.written = time.monotonic()
        self._parts: list[pathlib.Path] = []
        self._temporaries: list[pathlib.Path] = []
        self._rewrite = False
        self._started = False
        if path.exists() and not path.is_dir():
            raise LogError(f"a Parquet log is a folder of part files, and {path} is a file; "
                           "give another log path")
        tables = []
        if path.is_dir():
            for entry in sorted(path.iterdir()):
                if _PART.fullmatch(entry.name) and entry.is_file():
                    self._parts.append(entry)
                elif _PART_TEMPORARY.fullmatch(entry.name):
                    self._temporaries.append(entry)
                elif not entry.name.startswith("."):
                    raise LogError(f"the folder {path} holds {entry.name!r}, not a part of a row log "
                                   "of pilora.evaluate; give another log path")
            for part in self._parts:
                try:
                    tables.append(pq.read_table(part))
                except Exception as error:  # noqa: BLE001 - any unreadable part: refused
                    raise LogError(f"the part {part} of the log cannot be read ({error}); "
                                   "remove it to continue the log") from None
        previous: dict[str, Kind] = {}
        for table in tables:
            previous = _union(previous, {f.name: _ARROW_KINDS.get(str(f.type), "string") for f in table.schema})
        absent = [name for name in KEY_COLUMNS if tables and name not in previous]
        if absent:
            raise LogError(f"the log {path} has no column {absent[0]!r}: not a row log of "
                           "pilora.evaluate; give another log path")
        self.kinds = _union(kinds, previous)
        self.arrow = _arrow_schema(self.kinds)
        if tables:
            frames = [table.to_pandas() for table in tables]
            self.previous = pd.concat(frames, ignore_index=True)
            for name in self.previous.columns:
                if self.previous[name].dtype == object:
                    self.previous[name] = self.previous[name].where(self.previous[name].notna(), None)
            self._rewrite = any(table.schema != self.arrow for table in tables)

    def start(self) -> None:
        """Make the log ready to append: the one step that changes an existing log."""
        self.path.mkdir(parents=True, exist_ok=True)
        for temporary in self._temporaries:
            temporary.unlink(missing_ok=True)
        self._started = True
        if self._rewrite and self.previous is not None:
            self.buffer = self.previous.to_dict("records")
            self.flush()
            for part in self._parts:
                part.unlink()
        self.written = time.monotonic()

    def append(self, row: Mapping[str, object]) -> None:
        """Log a row (written with its batch)."""
        assert self._started, "start() the log first"
        self.buffer.append(dict(row))
        if time.monotonic() - self.written >= self.batch_seconds:
            self.flush()

    def flush(self) -> None:
        """Write the rows not yet written as one part file."""
        import pyarrow as pa
        import pyarrow.parquet as pq

        self.written = time.monotonic()
        if not self.buffer:
            return
        rows = [typed(row, self.kinds) for row in self.buffer]
        table = pa.Table.from_pylist(rows, schema=self.arrow)
        name = f"part-{time.time_ns():020d}-{uuid.uuid4().hex[:8]}.parquet"
        temporary = self.path / f".{name}.tmp"
        pq.write_table(table, temporary)
        os.replace(temporary, self.path / name)
        self.buffer = []

    def close(self) -> None:
        """Write the last batch (nothing to do if the log was not started)."""
        if self._started:
            self.flush()


Log = CsvLog | ParquetLog


def open_log(path: str | os.PathLike[str], kinds: dict[str, Kind], resume: bool,
             batch_seconds: float) -> Log:
    """Read the log at ``path`` (``.csv``: a file; ``.parquet``/``.pq``: a folder), changing
    nothing; refuse an existing log without ``resume``, and anything that is not a row log."""
    path = pathlib.Path(path)
    suffix = path.suffix.lower()
    if suffix not in (".csv", ".parquet", ".pq"):
        raise ValueError(f"the log's suffix must be .csv or .parquet, not {path.suffix!r} ({path})")
    if path.exists() and not resume:
        raise FileExistsError(f"the log {path} exists: pass resume=True to continue it, or remove it")
    return CsvLog(path, kinds) if suffix == ".csv" else ParquetLog(path, kinds, batch_seconds)


def _integer(log: Log, name: str, value: object) -> int:
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        return int(value)
    if isinstance(value, float) and math.isfinite(value) and value == int(value):
        return int(value)
    raise LogError(f"the log {log.path} holds {value!r} in its column {name!r}, not an integer: "
                   "not a row log of pilora.evaluate")


@dataclass
class Resumed:
    """The rows of a log that this run takes over, by task index, and how many it runs again
    because another version of the package logged them."""

    rows: dict[int, dict[str, object]]
    outdated: int


def logged_rows(log: Log, prepared: list[Prepared], run_seed: int, *, catch: bool,
                version: str) -> Resumed:
    """Check every row of the log against this run's tasks and pick the rows to reuse.

    Refuses (:class:`LogError`, the log unchanged) a row of a task index beyond this run's, of
    another task (fingerprint) or of another run seed. Of the rows of a task the latest wins;
    it is reused unless another package version logged it or it is a failure and this run does
    not record errors (``catch`` false): those tasks run again.
    """
    previous = log.previous
    if previous is None or not len(previous):
        return Resumed({}, 0)
    rows = previous.to_dict("records")  # in the order logged
    indices = [_integer(log, "task", row["task"]) for row in rows]
    for index, row in sorted(zip(indices, rows), key=lambda pair: pair[0]):  # the first fault in task order
        if not 0 <= index < len(prepared):
            given = f"{len(prepared)} {'task was' if len(prepared) == 1 else 'tasks were'} given"
            raise LogError(f"the log {log.path} holds task {index}, but only {given}: it belongs to "
                           "another task list; give another log path")
        if row["fingerprint"] != prepared[index].fingerprint:
            raise LogError(f"the log {log.path} holds another task at index {index} "
                           f"(fingerprint {row['fingerprint']}, expected {prepared[index].fingerprint}): "
                           "it belongs to another task list; give another log path")
        if _integer(log, "run_seed", row["run_seed"]) != run_seed:
            raise LogError(f"the log {log.path} was written with run seed {row['run_seed']}, "
                           f"not {run_seed}: pass seed={row['run_seed']} or give another log path")
    latest = dict(zip(indices, rows))  # the latest row of each task
    outdated = sum(row["version"] != version for row in latest.values())
    return Resumed({index: row for index, row in latest.items()
                    if row["version"] == version and (catch or missing(row.get("error")))}, outdated)
