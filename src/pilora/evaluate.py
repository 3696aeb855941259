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
    already there. The latest row of a task wins; a row logged by another version of the
    package, or a failure when errors are not recorded, is run again (and its new row logged).
    Everything is checked before the log is changed: a file that is not a row log, or a log of
    another task list or another run seed, is refused and left byte for byte as it was. Without
    ``resume=True`` an existing log is refused rather than overwritten. See
    :mod:`pilora.rowlog`.

As tasks finish
    ``as_completed=True`` returns a :class:`RowIterator` yielding the rows (dicts) as the tasks
    finish, on every backend, each logged before it is yielded: the same rows as the frame,
    for steady-state optimisers. With Dask, rows arrive a piece at a time.
"""

from __future__ import annotations

import concurrent.futures as cf
import dataclasses
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
from collections import OrderedDict
from collections.abc import Generator, Iterable, Iterator, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, overload

import numpy as np
import pandas as pd

from . import rowlog
from .analysis import _blending_both, _flow_cv, _flow_std, _measured_run
from .plans import Plan
from .record import Record
from .rowlog import Prepared as _Prepared
from .run import Result, _Run
from .settings import BedSettings

if TYPE_CHECKING:
    import distributed

__all__ = ["PARQUET_BATCH_SECONDS", "RowIterator", "Task", "evaluate", "measures", "run_task", "task_seed"]

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
    """Names of the measure columns, in row order, for the given qualities (the record's
    parameters, then its derived qualities)."""
    parameters = list(parameters)
    columns: list[str] = []
    for cones in ("", "_no_cones"):
        columns += [f"effect{cones}.{p}" for p in parameters]
        columns += [f"effect_same_mass{cones}.{p}" for p in parameters]
        columns += [f"effect_interval{cones}.{p}" for p in parameters]
        columns += [f"worst_effect{cones}", f"flow_variability{cones}", f"flow_variability_rows{cones}"]
    return columns


def measures(result: Result) -> dict[str, float]:
    """The measures of one run, as a row evaluates them.

    For each quality ``p`` (the record's parameters, then its derived qualities): ``effect.p``,
    the homogenisation effect sigma_in / sigma_out on the stated block basis
    (:func:`pilora.blending`'s ``effect_block``: blocks of one hour of the record's mean feed
    rate, independent of the grid), ``effect_same_mass.p`` (on blocks of a reclaimed row's mass)
    and ``effect_interval.p`` (per input interval); ``worst_effect``, the smallest block-basis
    effect over the qualities whose input varies (a constant quality has no effect and is left
    out; NaN if none is left or any varying one is NaN); ``flow_variability``, the coefficient of
    variation of the reclaimed flow per hour in per cent (:func:`pilora.flow_variability`), and
    ``flow_variability_rows``, the std of the reclaimed volume per step (m³). Each again with
    the suffix ``_no_cones``, leaving out the end cones.
    """
    return _measure_row(result, _blending_both(result))


def _measure_row(run: Result | _Run, both: dict[bool, tuple[dict[str, np.ndarray], dict[str, Any]]]) -> dict[str, float]:
    """The row of :func:`measures` from a run and its blending numbers with and without end cones."""
    names = [*run.record.parameters, *getattr(run.record, "derived", {})]
    row: dict[str, float] = {}
    for end_cones, suffix in ((True, ""), (False, "_no_cones")):
        columns, attrs = both[end_cones]
        block = [float(v) for v in columns["effect_block"]]
        constant = attrs["constant_mask"]
        row.update({f"effect{suffix}.{p}": v for p, v in zip(names, block)})
        row.update({f"effect_same_mass{suffix}.{p}": float(v) for p, v in zip(names, columns["effect_same_mass"])})
        row.update({f"effect_interval{suffix}.{p}": float(v)
                    for p, v in zip(names, columns["effect_interval"])})
        varying = [v for v, c in zip(block, constant) if not c]
        row[f"worst_effect{suffix}"] = (math.nan if not varying or any(map(math.isnan, varying))
                                        else min(varying))
        row[f"flow_variability{suffix}"] = _flow_cv(run, end_cones)
        row[f"flow_variability_rows{suffix}"] = _flow_std(run, end_cones)
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
        return None, _message(error), loaded


def _message(error: Exception) -> str:
    """``"Type: message"``, with what UTF-8 cannot hold (lone surrogates, say from file names
    decoded with ``surrogateescape``) written as backslash escapes, so that a log can hold it."""
    text = f"{type(error).__name__}: {error}"
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


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


@dataclass
class _Setup:
    """A call of :func:`evaluate` with its arguments checked, its tasks prepared and its log read
    and checked (not yet changed)."""

    prepared: list[_Prepared]
    kinds: dict[str, rowlog.Kind]
    seeds: list[int]
    run_seed: int
    version: str
    catch: bool
    workers: int | None
    processes: bool
    executor: cf.Executor | None
    client: distributed.Client | str | None
    log: rowlog.Log | None
    resumed: dict[int, dict[str, object]]
    outdated: int
    progress: bool | None
    # What the run has done so far (the iterator reads it; the generator of rows writes it).
    backend: str | None = None
    record_loads: int = 0
    rows: dict[int, dict[str, object]] = dataclasses.field(default_factory=dict)


class RowIterator(Iterator[dict[str, object]]):
    """The rows of ``evaluate(..., as_completed=True)``, one per task, yielded as tasks finish.

    Each row is a dict holding the columns of :func:`evaluate`'s frame in its order, with the
    values that frame holds (Python ints, floats and bools, text as ``str``, NaN for a missing
    number and None for missing text); ``pandas.DataFrame(rows)`` makes a frame of them, and
    :meth:`frame` the very frame :func:`evaluate` returns. Rows taken over from a resumed log come
    first; each row is in the log before it is yielded. A failing task raises from ``next()``
    (with ``errors="raise"``) after the rows that finished before it.

    The tasks start at the first ``next()``. Closing the iterator (``close()``, leaving a ``with``
    block, or dropping it) cancels the tasks not yet started, waits for those running and closes
    the log: a later ``resume=True`` call continues from the rows logged. Drive one iterator from
    one thread at a time.

    Attributes
    ----------
    run_seed : int
        The run seed (drawn from the OS when ``seed=None``).
    total : int
        Rows the iterator yields in all (the number of tasks).
    resumed : int
        Rows taken over from the log.
    outdated : int
        Rows of the log, logged by another version of the package, whose tasks run again.
    backend : str or None
        "serial", "threads", "processes" or "dask"; None until the tasks start.
    record_loads : int
        Records read from the spool by worker processes so far.
    """

    def __init__(self, setup: _Setup) -> None:
        self.run_seed = setup.run_seed
        self.total = len(setup.prepared)
        self.resumed = len(setup.resumed)
        self.outdated = setup.outdated
        self._setup = setup
        # The generator does not refer to the iterator: dropping the iterator closes it at once.
        self._generator = _rows(setup)

    @property
    def backend(self) -> str | None:
        return self._setup.backend

    @property
    def record_loads(self) -> int:
        return self._setup.record_loads

    def __iter__(self) -> RowIterator:
        return self

    def __next__(self) -> dict[str, object]:
        return next(self._generator)

    def close(self) -> None:
        """Stop: cancel the tasks not yet started, wait for the running ones, close the log."""
        self._generator.close()

    def __enter__(self) -> RowIterator:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def frame(self) -> pd.DataFrame:
        """The rows yielded so far, in task order, as the frame :func:`evaluate` returns (its
        ``attrs`` included)."""
        rows = self._setup.rows
        frame = rowlog.frame([rows[i] for i in sorted(rows)], self._setup.kinds)
        frame.attrs.update(run_seed=self.run_seed, backend=self.backend or "serial",
                           resumed=self.resumed, outdated=self.outdated, record_loads=self.record_loads)
        return frame


def _rows(setup: _Setup) -> Generator[dict[str, object]]:
    """Run the tasks of a call, yielding each row as its task finishes (after logging it)."""
    prepared, seeds, catch, kinds = setup.prepared, setup.seeds, setup.catch, setup.kinds
    own_client: distributed.Client | None = None
    own_executor: cf.Executor | None = None
    outcomes: Generator[tuple[int, _Outcome]] | None = None
    bar = None
    try:
        if setup.log is not None:
            setup.log.start()
        show = sys.stderr.isatty() if setup.progress is None else setup.progress
        if show:
            from tqdm import tqdm

            bar = tqdm(total=len(prepared), initial=len(setup.resumed), unit="task",
                       desc="pilora.evaluate", file=sys.stderr, dynamic_ncols=True)
        for i, row in setup.resumed.items():
            setup.rows[i] = row = rowlog.typed(row, kinds)
            yield row
        pending = [i for i in range(len(prepared)) if i not in setup.resumed]
        count = setup.workers if setup.workers is not None else (os.process_cpu_count() or 1)
        client = setup.client
        if client is not None:
            setup.backend = "dask"
            if isinstance(client, str):
                import distributed

                client = own_client = distributed.Client(client, set_as_default=False)
            outcomes = _dask(client, pending, prepared, seeds, catch)
        elif setup.executor is not None:
            setup.backend = "threads" if isinstance(setup.executor, cf.ThreadPoolExecutor) else "processes"
            outcomes = _pooled(setup.executor, pending, prepared, seeds, catch)
        elif setup.processes:
            setup.backend = "processes"
            context = multiprocessing.get_context(
                "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn")
            own_executor = cf.ProcessPoolExecutor(max_workers=count, mp_context=context)
            outcomes = _pooled(own_executor, pending, prepared, seeds, catch)
        elif count > 1 and len(pending) > 1:
            setup.backend = "threads"
            own_executor = cf.ThreadPoolExecutor(max_workers=count, thread_name_prefix="pilora")
            outcomes = _pooled(own_executor, pending, prepared, seeds, catch)
        else:
            setup.backend = "serial"
            outcomes = _serial(pending, prepared, seeds, catch)
        for i, (values, error, loaded) in outcomes:
            setup.record_loads += loaded
            row = dict(prepared[i].columns)
            row.update(values if values is not None else {})
            if catch:
                row["error"] = error
            row.update(seed=seeds[i], run_seed=setup.run_seed, version=setup.version,
                       fingerprint=prepared[i].fingerprint)
            if setup.log is not None:
                setup.log.append(row)
            setup.rows[i] = row = rowlog.typed(row, kinds)
            if bar is not None:
                bar.update()
            yield row
    finally:
        try:
            if outcomes is not None:
                outcomes.close()  # cancels what has not started
            if setup.log is not None:
                setup.log.close()
        finally:
            if bar is not None:
                bar.close()
            if own_executor is not None:
                own_executor.shutdown(wait=True, cancel_futures=True)
            if own_client is not None:
                own_client.close()


@overload
def evaluate(tasks: Iterable[Task], *, seed: int | None = ..., workers: int | None = ...,
             processes: bool = ..., executor: cf.Executor | None = ...,
             client: distributed.Client | str | None = ..., log: str | os.PathLike[str] | None = ...,
             resume: bool = ..., errors: Literal["raise", "record"] = ..., progress: bool | None = ...,
             as_completed: Literal[False] = ...) -> pd.DataFrame: ...


@overload
def evaluate(tasks: Iterable[Task], *, seed: int | None = ..., workers: int | None = ...,
             processes: bool = ..., executor: cf.Executor | None = ...,
             client: distributed.Client | str | None = ..., log: str | os.PathLike[str] | None = ...,
             resume: bool = ..., errors: Literal["raise", "record"] = ..., progress: bool | None = ...,
             as_completed: Literal[True]) -> RowIterator: ...


def evaluate(tasks: Iterable[Task], *, seed: int | None = None, workers: int | None = None,
             processes: bool = False, executor: cf.Executor | None = None,
             client: distributed.Client | str | None = None, log: str | os.PathLike[str] | None = None,
             resume: bool = False, errors: Literal["raise", "record"] = "raise",
             progress: bool | None = None, as_completed: bool = False) -> pd.DataFrame | RowIterator:
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
        Continue an existing log: skip the tasks whose latest row it holds (same index and
        fingerprint, same package version). A log that is not one of these tasks and this run
        seed is refused and left as it was.
    errors : {"raise", "record"}
        On a failing task: raise its exception (rows finished so far stay in the log), or record
        ``"Type: message"`` in an ``error`` column with NaN measures and go on.
    progress : bool or None
        Show a progress bar on standard error; None shows it when standard error is a terminal.
    as_completed : bool
        Return a :class:`RowIterator` instead of a frame: the same rows, as dicts, yielded as the
        tasks finish (in the order they finish), for optimisers that go on as results come in.
        The arguments and the log are checked at the call, the tasks start at the first
        ``next()``.

    Returns
    -------
    pandas.DataFrame
        Columns: ``task`` (index), ``label``, ``plan`` (the plan's type), ``plan.<field>`` (the
        plan's parameters, sequences flattened to ``plan.<field>[i]``), ``reclaim_increment`` (m),
        ``bed.<field>``, ``record`` (digest of the record's content), the measures of
        :func:`measures`, ``error`` (with ``errors="record"``), ``seed`` (the bed seed),
        ``run_seed``, ``version`` (of the package) and ``fingerprint`` (of the task).
        ``attrs`` holds ``run_seed``, ``backend`` ("serial", "threads", "processes" or "dask"),
        ``resumed`` (rows taken from the log), ``outdated`` (rows of the log written by another
        version of the package, whose tasks ran again) and ``record_loads`` (records read from
        the spool by worker processes: at most one per record and process).
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
    if not isinstance(as_completed, bool):
        raise TypeError(f"as_completed must be True or False, not {as_completed!r}")
    catch = errors == "record"

    record_fingerprints: dict[int, str] = {}
    prepared = [rowlog.prepare(i, task, record_fingerprints) for i, task in enumerate(tasks)]
    parameters: dict[str, None] = {}
    for task in tasks:
        parameters.update(dict.fromkeys([*task.record.parameters, *getattr(task.record, "derived", {})]))
    kinds = rowlog.schema(prepared, _measure_columns(list(parameters)), catch)
    seeds = [task_seed(run_seed, i) for i in range(len(tasks))]

    opened, resumed = None, rowlog.Resumed({}, 0)
    if log is not None:
        opened = rowlog.open_log(log, kinds, resume, PARQUET_BATCH_SECONDS)
        resumed = rowlog.logged_rows(opened, prepared, run_seed, catch=catch, version=__version__)
    setup = _Setup(prepared, kinds, seeds, run_seed, __version__, catch, workers, processes, executor,
                   client, opened, resumed.rows, resumed.outdated, progress)
    rows = RowIterator(setup)
    if as_completed:
        return rows
    with rows:
        for _ in rows:
            pass
    return rows.frame()
