"""Populations of simulation runs: many tasks at once, reproducible, logged and resumable.

:func:`evaluate` runs a list of :class:`Task` values (bed settings, record, plan, reclaim
increment) and returns one row per task, in task order: the plan's type and parameters, the bed's
settings, the measures of blending, the seed the task ran with and the package's version.

Seeds
    Task ``i`` of a run seeded ``s`` runs with the bed seed ::

        1 + numpy.random.SeedSequence(s, spawn_key=(i,)).generate_state(1, numpy.uint64)[0] % (2**31 - 2)

    the first 64-bit word of ``SeedSequence(s).spawn(n)[i]`` mapped onto [1, 2**31 - 2], the
    states of the bed's engine (``std::minstd_rand``; a bed seeded k starts in state k mod
    (2**31 - 1), so every task seed is its own engine state). See :func:`task_seed`. It depends
    on nothing but the run seed and the task's index, so the rows are bit-identical whichever
    backend runs them and with how many workers.

Backends
    ``workers=1``: one after the other in the calling thread. ``workers=N``: N threads in this
    process (beds release the interpreter lock while they stack and reclaim; the records are
    shared). Threads scale as far as the Python part of a run allows (cutting the record into
    portions, the tables, the measures), which holds the lock: with runs that spend a large share
    there, worker processes scale better. ``workers=N, processes=True``: a pool of N processes
    started by the forkserver method, shut down at the end. ``executor=``: any
    :class:`concurrent.futures.Executor`; a ``ThreadPoolExecutor`` shares the records, any other
    executor is taken for worker processes on this machine: each distinct record is written once
    to a temporary spool folder and each worker process reads it once, keeping it in a small
    per-process cache keyed by the record's fingerprint (so an executor reused for many calls, as
    an optimiser does, reads each record once in all). ``client=``: a
    :class:`distributed.Client` or a scheduler address; the records are scattered to every worker
    once per call (``broadcast=True``) and the tasks refer to them. The tasks travel in pieces of
    up to eight, largest first and down to single tasks at the end, so that the scheduler's cost
    (a few milliseconds a piece) is shared and the workers still finish together; the rows of a
    piece arrive, and are logged, when it finishes.

    Dask's nanny starts its workers with ``MALLOC_TRIM_THRESHOLD_=65536`` by default, which makes
    glibc map and unmap every allocation above 128 KiB anew: a run then costs up to 1.7 times the
    CPU time. Start the workers without it, e.g. for a LocalCluster::

        environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
        environ.pop("MALLOC_TRIM_THRESHOLD_", None)
        with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
            cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1)

    (for ``dask worker`` processes, the same key in the Dask configuration file). Dask's
    statistical profiler, which samples the worker threads every 10 ms, costs a run some 3 % more;
    ``"distributed.worker.profile.enabled": False`` in the same ``dask.config.set`` turns it off.

Row log
    ``log="sweep.csv"``: a CSV file with a header, one line appended and flushed per finished
    task (floats written in their shortest round-trip form, so they read back bit-identical).
    A line cut short by a kill is dropped when the log is resumed. ``log="sweep.parquet"``: a
    folder of Parquet part files, one per batch of finished tasks; a batch is written at most
    every :data:`PARQUET_BATCH_SECONDS` seconds and at the end, to a hidden temporary name first
    and then renamed, so a kill loses at most the last batch and never leaves a broken part.
    ``resume=True`` reads the log and skips every task whose index and fingerprint (a digest of
    the bed settings, the record's content, the plan, the reclaim increment and the label) are
    already there; a log from another task list or another run seed is refused. Without
    ``resume=True`` an existing log is refused rather than overwritten.
"""

from __future__ import annotations

import concurrent.futures as cf
import csv
import dataclasses
import enum
import hashlib
import math
import multiprocessing
import numbers
import os
import pathlib
import pickle
import secrets
import shutil
import sys
import tempfile
import threading
import time
import uuid
from collections import OrderedDict
from collections.abc import Generator, Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import pandas as pd

from .analysis import _blending_both, _flow_std, _measured_run
from .plans import Plan
from .record import Record
from .run import Result, _Run
from .settings import BedSettings

if TYPE_CHECKING:
    import distributed

__all__ = ["PARQUET_BATCH_SECONDS", "Task", "evaluate", "measures", "run_task", "task_seed"]

#: Largest run seed + 1: run seeds are stored in 64-bit integer columns.
RUN_SEED_LIMIT = 2**63

#: A Parquet log writes a part file at most this often (seconds) while tasks finish.
PARQUET_BATCH_SECONDS = 1.0

# Non-zero states of the bed's engine (std::minstd_rand, modulus 2**31 - 1).
_ENGINE_STATES = 2**31 - 2

# Records kept per worker process (least recently used dropped first).
_RECORD_CACHE_SIZE = 8

# Most tasks sent to a Dask worker in one piece.
_DASK_PIECE_LIMIT = 8


# ---------------------------------------------------------------------------------------------
# Tasks and seeds


@dataclass(frozen=True)
class Task:
    """One simulation run of a population: a plan stacked from a record onto a bed.

    Attributes
    ----------
    bed : BedSettings
        The bed's settings (metres, degrees).
    record : Record
        The quality record stacked.
    plan : Plan
        The stacking plan.
    reclaim_increment : float or None
        Reclaim step along the bed (m); None for the run's default.
    label : str or None
        A name carried into the task's row (not used by the simulation).
    """

    bed: BedSettings
    record: Record
    plan: Plan
    reclaim_increment: float | None = None
    label: str | None = None

    def __post_init__(self) -> None:
        for name, kind in (("bed", BedSettings), ("record", Record), ("plan", Plan)):
            value = getattr(self, name)
            if not isinstance(value, kind):
                raise TypeError(f"Task.{name} must be a {kind.__name__}, not {type(value).__name__}")
        increment = self.reclaim_increment
        if increment is not None:
            if isinstance(increment, bool) or not isinstance(increment, numbers.Real):
                raise TypeError(f"Task.reclaim_increment must be a number of metres or None, not "
                                f"{type(increment).__name__}")
            if not (math.isfinite(increment) and increment > 0):
                raise ValueError(f"Task.reclaim_increment must be finite and positive, not {increment!r}")
            object.__setattr__(self, "reclaim_increment", float(increment))
        if self.label is not None and (not isinstance(self.label, str) or not self.label):
            raise TypeError(f"Task.label must be a non-empty string or None, not {self.label!r}")


def task_seed(run_seed: int, index: int) -> int:
    """The bed seed of task ``index`` in a run seeded ``run_seed``, an integer in [1, 2**31 - 2].

    ``1 + SeedSequence(run_seed, spawn_key=(index,)).generate_state(1, numpy.uint64)[0] % (2**31 - 2)``:
    the first 64-bit word of the ``index``-th child of ``SeedSequence(run_seed).spawn(...)``,
    mapped onto the non-zero states of the bed's engine (``std::minstd_rand``, modulus
    2**31 - 1), so that distinct task seeds start distinct engine states.
    """
    run_seed = _check_run_seed(run_seed)
    if isinstance(index, bool) or not isinstance(index, numbers.Integral) or index < 0:
        raise ValueError(f"task index must be a non-negative integer, not {index!r}")
    word = np.random.SeedSequence(run_seed, spawn_key=(int(index),)).generate_state(1, np.uint64)[0]
    return 1 + int(word) % _ENGINE_STATES


def _check_run_seed(seed: object) -> int:
    if isinstance(seed, bool) or not isinstance(seed, numbers.Integral):
        raise TypeError(f"the run seed must be an integer, not {type(seed).__name__}")
    if not 0 <= int(seed) < RUN_SEED_LIMIT:
        raise ValueError(f"the run seed must lie in [0, 2**63), not {seed}")
    return int(seed)


# ---------------------------------------------------------------------------------------------
# One task


def _measure_columns(parameters: Iterable[str]) -> list[str]:
    """Names of the measure columns, in row order, for the given quality parameters."""
    parameters = list(parameters)
    columns: list[str] = []
    for cones in ("", "_no_cones"):
        columns += [f"effect{cones}.{p}" for p in parameters]
        columns += [f"effect_interval{cones}.{p}" for p in parameters]
        columns += [f"worst_effect{cones}", f"flow_variability{cones}"]
    return columns


def measures(result: Result) -> dict[str, float]:
    """The measures of one run, as a row evaluates them.

    For each quality parameter ``p``: ``effect.p`` (homogenisation effect sigma_in / sigma_out on
    the same-mass basis, :func:`pilora.blending`'s ``effect_same_mass``) and ``effect_interval.p``
    (per input interval); ``worst_effect``, the smallest same-mass effect over the parameters
    (NaN if any is NaN); ``flow_variability``, the std of the reclaimed volume per step (m³).
    Each again with the suffix ``_no_cones``, leaving out the end cones.
    """
    return _measure_row(result, _blending_both(result))


def _measure_row(run: Result | _Run, both: dict[bool, tuple[dict[str, np.ndarray], dict[str, Any]]]) -> dict[str, float]:
    """The row of :func:`measures` from a run and its blending numbers with and without end cones."""
    parameters = list(run.record.parameters)
    row: dict[str, float] = {}
    for end_cones, suffix in ((True, ""), (False, "_no_cones")):
        columns = both[end_cones][0]
        same_mass = [float(v) for v in columns["effect_same_mass"]]
        row.update({f"effect{suffix}.{p}": v for p, v in zip(parameters, same_mass)})
        row.update({f"effect_interval{suffix}.{p}": float(v)
                    for p, v in zip(parameters, columns["effect_interval"])})
        row[f"worst_effect{suffix}"] = (math.nan if not same_mass or any(map(math.isnan, same_mass))
                                        else min(same_mass))
        row[f"flow_variability{suffix}"] = _flow_std(run, end_cones)
    return row


def run_task(task: Task, seed: int) -> dict[str, float]:
    """Run one task with the given bed seed and return its measures (see :func:`measures`).

    This is what every backend of :func:`evaluate` calls for each task, with
    ``seed = task_seed(run_seed, index)``.
    """
    # The same numbers as measures(simulate(...)), without the run's tables of all the portions.
    run, both = _measured_run(task.bed, task.record, task.plan, seed=seed,
                              reclaim_increment=task.reclaim_increment)
    return _measure_row(run, both)


# What a worker runs: (bed, plan, reclaim increment, seed); the record travels apart.
_Job = tuple[BedSettings, Plan, "float | None", int]
# What a worker returns: measures (or None), error message (or None), whether it loaded a record.
_Outcome = tuple["dict[str, float] | None", "str | None", bool]


def _attempt(task: Task, seed: int, catch: bool, loaded: bool) -> _Outcome:
    if not catch:
        return run_task(task, seed), None, loaded
    try:
        return run_task(task, seed), None, loaded
    except Exception as error:  # noqa: BLE001 - recorded in the task's row on request
        return None, f"{type(error).__name__}: {error}", loaded


def _run_shared(task: Task, seed: int, catch: bool) -> _Outcome:
    return _attempt(task, seed, catch, False)


_records: OrderedDict[str, Record] = OrderedDict()
_records_lock = threading.Lock()


def _spooled_record(fingerprint: str, spool: str) -> tuple[Record, bool]:
    with _records_lock:
        record = _records.get(fingerprint)
        if record is not None:
            _records.move_to_end(fingerprint)
            return record, False
    with open(os.path.join(spool, fingerprint + ".pickle"), "rb") as file:
        record = pickle.load(file)
    with _records_lock:
        _records[fingerprint] = record
        while len(_records) > _RECORD_CACHE_SIZE:
            _records.popitem(last=False)
    return record, True


def _run_spooled(job: _Job, fingerprint: str, spool: str, catch: bool) -> _Outcome:
    record, loaded = _spooled_record(fingerprint, spool)
    bed, plan, increment, seed = job
    return _attempt(Task(bed, record, plan, increment), seed, catch, loaded)


# ---------------------------------------------------------------------------------------------
# Fingerprints and the flattened description of a task


def _digest(*parts: bytes | str) -> str:
    h = hashlib.blake2b(digest_size=16)
    for part in parts:
        data = part.encode() if isinstance(part, str) else part
        h.update(len(data).to_bytes(8, "little"))
        h.update(data)
    return h.hexdigest()


def _record_fingerprint(record: Record) -> str:
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
        if field.name != "frame":
            parts += [field.name, _token(getattr(record, field.name))]
    return _digest(*parts)


def _token(value: object) -> str:
    """A stable text for a settings or plan value (for fingerprints)."""
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        inner = ",".join(f"{f.name}={_token(getattr(value, f.name))}" for f in dataclasses.fields(value))
        return f"{type(value).__module__}.{type(value).__qualname__}({inner})"
    if isinstance(value, np.ndarray):
        return f"array({value.dtype},{value.shape},{_digest(np.ascontiguousarray(value).tobytes())})"
    if isinstance(value, np.generic):
        return _token(value.item())
    if isinstance(value, (tuple, list)):
        return "(" + ",".join(_token(v) for v in value) + ")"
    if isinstance(value, Mapping):
        return "{" + ",".join(f"{_token(k)}:{_token(v)}" for k, v in value.items()) + "}"
    if isinstance(value, float):
        return value.hex()
    text = repr(value)
    if " at 0x" in text:
        raise TypeError(f"cannot fingerprint a {type(value).__name__}: its repr is not stable")
    return text


def _flatten(prefix: str, value: object, out: dict[str, object]) -> None:
    """Flatten a settings or plan value into columns ``prefix.field``, ``prefix.field[i]``."""
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        for field in dataclasses.fields(value):
            if not field.name.startswith("_"):
                _flatten(f"{prefix}.{field.name}", getattr(value, field.name), out)
    elif isinstance(value, enum.Enum):
        out[prefix] = value.name
    elif isinstance(value, np.generic):
        _flatten(prefix, value.item(), out)
    elif value is None or isinstance(value, (bool, int, float, str)):
        out[prefix] = value
    elif isinstance(value, (tuple, list, np.ndarray)):
        for i, item in enumerate(value):
            _flatten(f"{prefix}[{i}]", item, out)
    elif isinstance(value, Mapping):
        for key, item in value.items():
            _flatten(f"{prefix}.{key}", item, out)
    else:
        out[prefix] = repr(value)


@dataclass
class _Prepared:
    """What the parent knows of a task before running it."""

    task: Task
    record_fingerprint: str
    fingerprint: str
    columns: dict[str, object]


def _prepare(index: int, task: Task, record_fingerprints: dict[int, str]) -> _Prepared:
    record_fp = record_fingerprints.get(id(task.record))
    if record_fp is None:
        record_fp = record_fingerprints[id(task.record)] = _record_fingerprint(task.record)
    fingerprint = _digest(_token(task.bed), record_fp, _token(task.plan),
                          _token(task.reclaim_increment), _token(task.label))
    columns: dict[str, object] = {"task": index, "label": task.label, "plan": type(task.plan).__name__}
    _flatten("plan", task.plan, columns)
    columns["reclaim_increment"] = task.reclaim_increment
    _flatten("bed", task.bed, columns)
    columns["record"] = record_fp
    return _Prepared(task, record_fp, fingerprint, columns)


# ---------------------------------------------------------------------------------------------
# The row schema

_Kind = Literal["int64", "float64", "bool", "string"]


def _kind(values: list[object]) -> _Kind:
    kinds = {type(v) for v in values}
    if kinds <= {bool}:
        return "bool"
    if kinds <= {int}:
        return "int64"
    if kinds <= {int, float, type(None)}:
        return "float64"
    return "string"


def _schema(prepared: list[_Prepared], parameters: list[str], catch: bool) -> dict[str, _Kind]:
    # Columns in groups (the plan's, then the bed's, ...), each in order of first appearance.
    group = {"plan": 0, "reclaim_increment": 1, "bed": 2, "record": 3}
    described: dict[str, list[object]] = {}
    for name in sorted(dict.fromkeys(n for item in prepared for n in item.columns),
                       key=lambda n: group.get(n.split(".")[0].split("[")[0], -1)):
        described[name] = []
    for item in prepared:
        for name, values in described.items():
            values.append(item.columns.get(name))
    schema: dict[str, _Kind] = {"task": "int64", "label": "string", "plan": "string"}
    for name, values in described.items():
        if name not in schema:
            schema[name] = "string" if name == "record" else _kind(values)
    schema.update({name: "float64" for name in _measure_columns(parameters)})
    if catch:
        schema["error"] = "string"
    schema.update({"seed": "int64", "run_seed": "int64", "version": "string", "fingerprint": "string"})
    return schema


def _missing(value: object) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value))


def _cell(value: object, kind: _Kind) -> object:
    if kind == "string":
        return None if _missing(value) else str(value)
    if kind == "float64":
        return math.nan if value is None else float(value)  # type: ignore[arg-type]
    if kind == "int64":
        return int(value)  # type: ignore[call-overload]
    return bool(value)


def _frame(rows: list[dict[str, object]], schema: dict[str, _Kind]) -> pd.DataFrame:
    data: dict[str, Any] = {}
    for name, kind in schema.items():
        values = [_cell(row.get(name), kind) for row in rows]
        data[name] = pd.Series(values, dtype=object if kind == "string" else kind)
    return pd.DataFrame(data, columns=list(schema))


# ---------------------------------------------------------------------------------------------
# Row logs


def _union(schema: dict[str, _Kind], previous: Mapping[str, _Kind]) -> dict[str, _Kind]:
    """The log's columns: this run's, then those only the log has; kinds that differ widen."""
    union = dict(schema)
    for name, kind in previous.items():
        if name not in union:
            union[name] = kind
        elif union[name] != kind:
            union[name] = "float64" if {union[name], kind} <= {"int64", "float64"} else "string"
    return union


def _parsed(column: pd.Series, kind: _Kind) -> pd.Series:
    """A CSV column read as text, turned into `kind` (floats through Python's exact parser)."""
    text = column.astype(object)
    if kind == "string":
        return text.where(text != "", None)
    if kind == "bool":
        return text.map({"True": True, "False": False, "": None})
    floats = text.where(text != "", "nan").astype(np.float64)
    if kind == "int64" and np.isfinite(floats).all():
        return text.astype(np.int64)
    return floats


class _CsvLog:
    """A CSV row log: header line, then one flushed line per finished task."""

    def __init__(self, path: pathlib.Path, schema: dict[str, _Kind]) -> None:
        self.path = path
        self.previous: pd.DataFrame | None = None
        if path.exists():
            self._repair()
        if path.exists() and path.stat().st_size:
            text = pd.read_csv(path, dtype=str, keep_default_na=False, na_filter=False)
            # The text does not tell kinds: the run's columns keep theirs, the log's others are text.
            extra: dict[str, _Kind] = {n: "string" for n in text.columns if n not in schema}
            self.schema = {**schema, **extra}
            self.previous = pd.DataFrame({name: _parsed(text[name], self.schema[name])
                                          for name in text.columns})
            if list(self.schema) != list(text.columns):
                # Columns the log lacks (say, of new plan types): rewrite it with all of them.
                temporary = path.with_name(f".{path.name}.{uuid.uuid4().hex}")
                with open(temporary, "w", newline="") as file:
                    file.write(_csv_line(list(self.schema)))
                    for row in self.previous.to_dict("records"):
                        file.write(_csv_line(self._line(row)))
                os.replace(temporary, path)
            self.file = open(path, "a", newline="")
        else:
            self.schema = dict(schema)
            self.file = open(path, "w", newline="")
            self.file.write(_csv_line(list(self.schema)))
            self.file.flush()

    def _repair(self) -> None:
        """Drop a last line cut short by a kill (no final newline)."""
        with open(self.path, "rb+") as file:
            data = file.read()
            if not data.endswith(b"\n"):
                file.truncate(data.rfind(b"\n") + 1)

    def _line(self, row: Mapping[str, object]) -> list[object]:
        line: list[object] = []
        for name, kind in self.schema.items():
            value = row.get(name)
            if _missing(value):
                line.append("" if kind == "string" else "nan")
            elif isinstance(value, (float, np.floating)):
                line.append(repr(float(value)))
            else:
                line.append(value)
        return line

    def append(self, row: Mapping[str, object]) -> None:
        self.file.write(_csv_line(self._line(row)))
        self.file.flush()

    def close(self) -> None:
        self.file.flush()
        os.fsync(self.file.fileno())
        self.file.close()


class _Lines:
    """A file-like sink collecting what csv.writer writes."""

    def __init__(self) -> None:
        self.parts: list[str] = []

    def write(self, text: str) -> None:
        self.parts.append(text)


def _csv_line(values: list[object]) -> str:
    sink = _Lines()
    csv.writer(sink, lineterminator="\n").writerow(values)
    return "".join(sink.parts)


class _ParquetLog:
    """A Parquet row log: a folder of part files, one per batch of finished tasks."""

    def __init__(self, path: pathlib.Path, schema: dict[str, _Kind]) -> None:
        import pyarrow.parquet as pq

        self.path = path
        self.previous: pd.DataFrame | None = None
        self.buffer: list[dict[str, object]] = []
        self.written = time.monotonic()
        if path.exists() and not path.is_dir():
            raise ValueError(f"a Parquet log is a folder of part files, and {path} is a file")
        path.mkdir(parents=True, exist_ok=True)
        parts = sorted(path.glob("part-*.parquet"))
        tables = [pq.read_table(part) for part in parts]
        previous: dict[str, _Kind] = {}
        for table in tables:
            previous = _union(previous, {f.name: _ARROW_KINDS.get(str(f.type), "string") for f in table.schema})
        self.schema = _union(schema, previous)
        self.arrow = _arrow_schema(self.schema)
        if tables:
            frames = [table.to_pandas() for table in tables]
            self.previous = pd.concat(frames, ignore_index=True)
            for name in self.previous.columns:
                if self.previous[name].dtype == object:
                    self.previous[name] = self.previous[name].where(self.previous[name].notna(), None)
            if any(table.schema != self.arrow for table in tables):
                # Parts of other columns or kinds: one part with every column replaces them, so
                # that the folder reads as one table.
                self.buffer = self.previous.to_dict("records")
                self.flush()
                for part in parts:
                    part.unlink()

    def append(self, row: Mapping[str, object]) -> None:
        self.buffer.append(dict(row))
        if time.monotonic() - self.written >= PARQUET_BATCH_SECONDS:
            self.flush()

    def flush(self) -> None:
        import pyarrow as pa
        import pyarrow.parquet as pq

        self.written = time.monotonic()
        if not self.buffer:
            return
        rows = [{name: _cell(row.get(name), kind) for name, kind in self.schema.items()} for row in self.buffer]
        table = pa.Table.from_pylist(rows, schema=self.arrow)
        name = f"part-{time.time_ns():020d}-{uuid.uuid4().hex[:8]}.parquet"
        temporary = self.path / f".{name}.tmp"
        pq.write_table(table, temporary)
        os.replace(temporary, self.path / name)
        self.buffer = []

    def close(self) -> None:
        self.flush()


_ARROW_KINDS: dict[str, _Kind] = {"int64": "int64", "double": "float64", "bool": "bool", "string": "string"}


def _arrow_schema(schema: dict[str, _Kind]) -> Any:
    import pyarrow as pa

    types = {"int64": pa.int64(), "float64": pa.float64(), "bool": pa.bool_(), "string": pa.string()}
    return pa.schema([(name, types[kind]) for name, kind in schema.items()])


_Log = _CsvLog | _ParquetLog


def _open_log(path: str | os.PathLike[str], schema: dict[str, _Kind], resume: bool) -> _Log:
    path = pathlib.Path(path)
    suffix = path.suffix.lower()
    if suffix not in (".csv", ".parquet", ".pq"):
        raise ValueError(f"the log's suffix must be .csv or .parquet, not {path.suffix!r} ({path})")
    path.parent.mkdir(parents=True, exist_ok=True)
    if path.exists() and not resume:
        raise FileExistsError(f"the log {path} exists: pass resume=True to continue it, or remove it")
    return _CsvLog(path, schema) if suffix == ".csv" else _ParquetLog(path, schema)


def _logged_rows(log: _Log, prepared: list[_Prepared], run_seed: int,
                 catch: bool) -> dict[int, dict[str, object]]:
    """Rows of the log that stand for tasks of this run, by task index; refuses foreign logs."""
    done: dict[int, dict[str, object]] = {}
    if log.previous is None or not len(log.previous):
        return done
    for name in ("task", "fingerprint", "run_seed"):
        if name not in log.previous.columns:
            raise ValueError(f"the log {log.path} has no column {name!r}: not a row log of pilora.evaluate")
    for row in log.previous.sort_values("task", kind="stable").to_dict("records"):
        index = int(row["task"])
        if not 0 <= index < len(prepared):
            raise ValueError(f"the log {log.path} holds task {index}, but only {len(prepared)} tasks "
                             "were given: it belongs to another task list")
        if row["fingerprint"] != prepared[index].fingerprint:
            raise ValueError(f"the log {log.path} holds another task at index {index} "
                             f"(fingerprint {row['fingerprint']}, expected {prepared[index].fingerprint})")
        if int(row["run_seed"]) != run_seed:
            raise ValueError(f"the log {log.path} was written with run seed {row['run_seed']}, "
                             f"not {run_seed}")
        if not catch and not _missing(row.get("error")):
            continue  # a failed task, logged by a run that recorded errors: run it again
        done.setdefault(index, row)
    return done


# ---------------------------------------------------------------------------------------------
# Backends: each yields (task index, outcome) as tasks finish


def _serial(pending: list[int], prepared: list[_Prepared], seeds: list[int],
            catch: bool) -> Generator[tuple[int, _Outcome]]:
    for i in pending:
        yield i, _run_shared(prepared[i].task, seeds[i], catch)


def _pooled(executor: cf.Executor, pending: list[int], prepared: list[_Prepared], seeds: list[int],
            catch: bool) -> Generator[tuple[int, _Outcome]]:
    shared = isinstance(executor, cf.ThreadPoolExecutor)
    spool = None if shared else tempfile.mkdtemp(prefix="pilora-records-")
    futures: dict[cf.Future[_Outcome], int] = {}
    try:
        if spool is not None:
            written: set[str] = set()
            for i in pending:
                item = prepared[i]
                if item.record_fingerprint not in written:
                    with open(os.path.join(spool, item.record_fingerprint + ".pickle"), "wb") as file:
                        pickle.dump(item.task.record, file, protocol=pickle.HIGHEST_PROTOCOL)
                    written.add(item.record_fingerprint)
        for i in pending:
            task = prepared[i].task
            if spool is None:
                future = executor.submit(_run_shared, task, seeds[i], catch)
            else:
                job = (task.bed, task.plan, task.reclaim_increment, seeds[i])
                future = executor.submit(_run_spooled, job, prepared[i].record_fingerprint, spool, catch)
            futures[future] = i
        for future in cf.as_completed(futures):
            yield futures[future], future.result()
    finally:
        for future in futures:
            future.cancel()
        if spool is not None:
            # Tasks already running may still read the spool: wait for them before removing it.
            cf.wait([f for f in futures if not f.cancelled()])
            shutil.rmtree(spool, ignore_errors=True)


def _pieces(groups: Mapping[str, list[int]], threads: int) -> list[tuple[str, list[int]]]:
    """Cut tasks that share a record into the pieces sent to Dask workers, largest first: each
    piece takes a 2 x threads-th part of the tasks not yet cut, at least one task and at most
    :data:`_DASK_PIECE_LIMIT`. The scheduler's cost, a few milliseconds a piece, is then paid
    once per piece, the pieces run in the order sent, and the last small ones even out the
    workers' finishing times."""
    left = sum(len(indices) for indices in groups.values())
    pieces = []
    for name, indices in groups.items():
        start = 0
        while start < len(indices):
            size = max(1, min(_DASK_PIECE_LIMIT, math.ceil(left / (2 * threads)), len(indices) - start))
            pieces.append((name, indices[start:start + size]))
            start += size
            left -= size
    return pieces


def _run_piece(jobs: list[tuple[int, _Job]], record: Record,
               catch: bool) -> tuple[list[tuple[int, _Outcome]], BaseException | None]:
    """Run a piece of tasks that share a record; stop at the first error when errors are not
    recorded, returning it beside the outcomes of the tasks that finished before it."""
    done: list[tuple[int, _Outcome]] = []
    for index, (bed, plan, increment, seed) in jobs:
        try:
            done.append((index, _attempt(Task(bed, record, plan, increment), seed, catch, False)))
        except Exception as error:  # noqa: BLE001 - raised again by the caller, after the rows before it
            return done, error
    return done, None


def _dask(client: distributed.Client, pending: list[int], prepared: list[_Prepared], seeds: list[int],
          catch: bool) -> Generator[tuple[int, _Outcome]]:
    import distributed

    groups: dict[str, list[int]] = {}
    for i in pending:
        groups.setdefault(prepared[i].record_fingerprint, []).append(i)
    names = list(groups)
    records = [prepared[groups[n][0]].task.record for n in names]
    scattered = dict(zip(names, client.scatter(records, broadcast=True, hash=False)))
    futures: list[distributed.Future] = []
    try:
        for name, indices in _pieces(groups, max(1, sum(client.nthreads().values()))):
            jobs = []
            for i in indices:
                task = prepared[i].task
                jobs.append((i, (task.bed, task.plan, task.reclaim_increment, seeds[i])))
            futures.append(client.submit(_run_piece, jobs, scattered[name], catch, pure=False))
        for future in distributed.as_completed(futures, loop=client.loop):
            done, error = future.result()
            yield from done
            if error is not None:
                raise error
    finally:
        client.cancel(futures + list(scattered.values()))


# ---------------------------------------------------------------------------------------------
# The population call


def evaluate(tasks: Iterable[Task], *, seed: int | None = None, workers: int | None = None,
             processes: bool = False, executor: cf.Executor | None = None,
             client: distributed.Client | str | None = None, log: str | os.PathLike[str] | None = None,
             resume: bool = False, errors: Literal["raise", "record"] = "raise",
             progress: bool | None = None) -> pd.DataFrame:
    """Run many tasks and return one row per task, in task order.

    Parameters
    ----------
    tasks : iterable of Task
        The runs.
    seed : int or None
        The run seed, in [0, 2**63); None draws one from the OS (readable from the rows'
        ``run_seed`` column and ``frame.attrs["run_seed"]``). Task ``i`` runs with
        ``task_seed(seed, i)``.
    workers : int or None
        Threads in this process (1: run in the calling thread); with ``processes=True``, worker
        processes. None: the number of CPUs this process may use. Give at most one of
        ``workers``, ``executor`` and ``client``.
    processes : bool
        Run on a pool of ``workers`` processes (forkserver start method) made for this call.
    executor : concurrent.futures.Executor or None
        Run on this executor (not shut down). A ThreadPoolExecutor shares the records; any other
        is taken for worker processes on this machine (records read once per process).
    client : distributed.Client, str or None
        Run on a Dask cluster, given as a client or a scheduler address ("tcp://host:8786").
    log : path or None
        Row log written as tasks finish: ``.csv`` (a file) or ``.parquet`` (a folder of part files).
    resume : bool
        Continue an existing log: skip the tasks it holds (same index and fingerprint).
    errors : {"raise", "record"}
        On a failing task: raise its exception (rows finished so far stay in the log), or record
        ``"Type: message"`` in an ``error`` column with NaN measures and go on.
    progress : bool or None
        Show a progress bar on standard error; None shows it when standard error is a terminal.

    Returns
    -------
    pandas.DataFrame
        Columns: ``task`` (index), ``label``, ``plan`` (the plan's type), ``plan.<field>`` (the
        plan's parameters, sequences flattened to ``plan.<field>[i]``), ``reclaim_increment`` (m),
        ``bed.<field>``, ``record`` (digest of the record's content), the measures of
        :func:`measures`, ``error`` (with ``errors="record"``), ``seed`` (the bed seed),
        ``run_seed``, ``version`` (of the package) and ``fingerprint`` (of the task).
        ``attrs`` holds ``run_seed``, ``backend`` ("serial", "threads", "processes" or "dask"),
        ``resumed`` (rows taken from the log) and ``record_loads`` (records read from the spool
        by worker processes: at most one per record and process).
    """
    from . import __version__

    tasks = list(tasks)
    for i, task in enumerate(tasks):
        if not isinstance(task, Task):
            raise TypeError(f"task {i} is a {type(task).__name__}, not a pilora.Task")
    run_seed = secrets.randbits(63) if seed is None else _check_run_seed(seed)
    if sum(option is not None for option in (workers, executor, client)) > 1:
        raise ValueError("give at most one of workers=, executor= and client=")
    if processes and (executor is not None or client is not None):
        raise ValueError("processes=True goes with workers=, not with executor= or client=")
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, numbers.Integral)):
        raise TypeError(f"workers must be an integer, not {type(workers).__name__}")
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    if executor is not None and not isinstance(executor, cf.Executor):
        raise TypeError(f"executor must be a concurrent.futures.Executor, not {type(executor).__name__}")
    if errors not in ("raise", "record"):
        raise ValueError(f"errors must be 'raise' or 'record', not {errors!r}")
    if resume and log is None:
        raise ValueError("resume=True needs the log to resume from (log=...)")
    if progress is not None and not isinstance(progress, bool):
        raise TypeError(f"progress must be True, False or None, not {progress!r}")
    catch = errors == "record"

    record_fingerprints: dict[int, str] = {}
    prepared = [_prepare(i, task, record_fingerprints) for i, task in enumerate(tasks)]
    parameters: dict[str, None] = {}
    for task in tasks:
        parameters.update(dict.fromkeys(task.record.parameters))
    schema = _schema(prepared, list(parameters), catch)
    seeds = [task_seed(run_seed, i) for i in range(len(tasks))]

    opened = _open_log(log, schema, resume) if log is not None else None
    done: dict[int, dict[str, object]] = {}
    rows: list[dict[str, object] | None] = [None] * len(tasks)
    loads = 0
    backend = "serial"
    own_client: distributed.Client | None = None
    own_executor: cf.Executor | None = None
    outcomes: Generator[tuple[int, _Outcome]] | None = None
    try:
        if opened is not None:
            done = _logged_rows(opened, prepared, run_seed, catch)
            for i, row in done.items():
                rows[i] = row
        pending = [i for i in range(len(tasks)) if i not in done]
        count = workers if workers is not None else (os.process_cpu_count() or 1)
        if client is not None:
            backend = "dask"
            if isinstance(client, str):
                import distributed

                client = own_client = distributed.Client(client, set_as_default=False)
            outcomes = _dask(client, pending, prepared, seeds, catch)
        elif executor is not None:
            backend = "threads" if isinstance(executor, cf.ThreadPoolExecutor) else "processes"
            outcomes = _pooled(executor, pending, prepared, seeds, catch)
        elif processes:
            backend = "processes"
            context = multiprocessing.get_context(
                "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn")
            own_executor = cf.ProcessPoolExecutor(max_workers=count, mp_context=context)
            outcomes = _pooled(own_executor, pending, prepared, seeds, catch)
        elif count > 1 and len(pending) > 1:
            backend = "threads"
            own_executor = cf.ThreadPoolExecutor(max_workers=count, thread_name_prefix="pilora")
            outcomes = _pooled(own_executor, pending, prepared, seeds, catch)
        else:
            outcomes = _serial(pending, prepared, seeds, catch)

        from tqdm import tqdm

        show = sys.stderr.isatty() if progress is None else progress
        with tqdm(total=len(tasks), initial=len(done), disable=not show, unit="task",
                  desc="pilora.evaluate", file=sys.stderr, dynamic_ncols=True) as bar:
            for i, (values, error, loaded) in outcomes:
                loads += loaded
                row = dict(prepared[i].columns)
                row.update(values if values is not None else {})
                if catch:
                    row["error"] = error
                row.update(seed=seeds[i], run_seed=run_seed, version=__version__,
                           fingerprint=prepared[i].fingerprint)
                rows[i] = row
                if opened is not None:
                    opened.append(row)
                bar.update()
    finally:
        if outcomes is not None:
            outcomes.close()  # cancels what has not started
        if opened is not None:
            opened.close()
        if own_executor is not None:
            own_executor.shutdown(wait=True, cancel_futures=True)
        if own_client is not None:
            own_client.close()
    frame = _frame([row for row in rows if row is not None], schema)
    frame.attrs.update(run_seed=run_seed, backend=backend, resumed=len(done), record_loads=loads)
    return frame
