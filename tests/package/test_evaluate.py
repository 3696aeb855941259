"""Populations: a seed per task, the same rows on every backend, row logs, resume after a kill,
recorded failures and refusals."""

import concurrent.futures as cf
import contextlib
import dataclasses
import importlib
import math
import multiprocessing
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest

import pilora
from pilora import BedSettings, Chevron, ControlPoints, PlanError, Record, Task, evaluate, run_task, task_seed

RUN = 20240304

evaluate_module = importlib.import_module("pilora.evaluate")  # pilora.evaluate is the function


def tiny_record(rows=40, seed=1):
    """rows x 2.5 m³ at 1.5 t/m³: a drifting parameter "a" and a noisy one "b"."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({"time": np.arange(rows) * 0.1, "volume": 2.5,
                          "a": np.cumsum(rng.normal(size=rows)), "b": rng.normal(size=rows)})
    return Record.from_frame(frame, volume="volume", bulk_density=1.5)


def tiny_tasks():
    """Four chevrons and two control-point plans on a 20 x 6 m bed (about 5 ms each)."""
    bed, record = BedSettings(20.0, 6.0, chunks_per_volume_unit=1.0), tiny_record()
    tasks = [Task(bed, record, Chevron(layers=k), label=f"chevron {k}") for k in (2, 3, 5, 8)]
    tasks += [Task(bed, record, ControlPoints(positions=(2.0, 18.0, 5.0, 15.0), cycles=c), reclaim_increment=2.0)
              for c in (1, 3)]
    return tasks


def sweep_tasks(count=60):
    """Tasks of some 50 ms each: a sweep long enough to be killed half-way."""
    bed, record = BedSettings(40.0, 10.0, chunks_per_volume_unit=2.0), tiny_record(rows=200, seed=2)
    return [Task(bed, record, Chevron(layers=5 + i % 7)) for i in range(count)]


@pytest.fixture(scope="module")
def reference():
    return evaluate(tiny_tasks(), seed=RUN, workers=1)


def test_task_seeds_are_the_spawned_children_of_the_run_seed(reference):
    children = np.random.SeedSequence(RUN).spawn(len(reference))
    expected = [1 + int(child.generate_state(1, np.uint64)[0]) % (2**31 - 2) for child in children]
    assert [task_seed(RUN, i) for i in range(len(reference))] == expected == list(reference["seed"])
    assert len(set(expected)) == len(expected)
    other = evaluate(tiny_tasks()[:2], seed=RUN + 1, workers=1)
    assert not set(other["seed"]) & set(expected)
    assert not np.array_equal(other["effect.a"], reference["effect.a"][:2])


def test_rows_describe_the_tasks_in_order_and_hold_their_runs(reference):
    tasks = tiny_tasks()
    assert list(reference["task"]) == list(range(len(tasks)))
    assert list(reference["plan"]) == ["Chevron"] * 4 + ["ControlPoints"] * 2
    assert list(reference["label"][:4]) == [f"chevron {k}" for k in (2, 3, 5, 8)] and reference["label"][4] is None
    np.testing.assert_array_equal(reference["plan.layers"], [2, 3, 5, 8, np.nan, np.nan])
    assert list(reference.loc[5, [f"plan.positions[{k}]" for k in range(4)]]) == [2.0, 18.0, 5.0, 15.0]
    assert set(reference["version"]) == {pilora.__version__} and set(reference["run_seed"]) == {RUN}
    assert reference["fingerprint"].nunique() == len(tasks) and reference["record"].nunique() == 1
    for i in (0, 5):  # a row holds the measures of run_task with the task's seed
        measures = run_task(tasks[i], task_seed(RUN, i))
        assert list(reference.loc[i, list(measures)]) == list(measures.values())
    assert {"effect.a", "effect_interval_no_cones.b", "worst_effect", "flow_variability_no_cones"} <= set(measures)
    assert np.isfinite(reference[list(measures)].to_numpy(float)).all()


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster:
        yield cluster


def spawn_pool():
    return cf.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn"))


@pytest.mark.parametrize("backend", ["threads 2", "threads 3", "processes 2", "thread pool", "spawned pool",
                                     "dask client", "dask address"])
def test_every_backend_and_worker_count_gives_the_same_rows(backend, reference, request):
    tasks = tiny_tasks()
    if backend.startswith("threads"):
        frame = evaluate(tasks, seed=RUN, workers=int(backend.split()[1]))
    elif backend == "processes 2":
        frame = evaluate(tasks, seed=RUN, workers=2, processes=True)
        assert 1 <= frame.attrs["record_loads"] <= 2  # once per worker process, not once per task
    elif backend == "thread pool":
        with cf.ThreadPoolExecutor(2) as pool:
            frame = evaluate(tasks, seed=RUN, executor=pool)
    elif backend == "spawned pool":
        with spawn_pool() as pool:
            frame = evaluate(tasks, seed=RUN, executor=pool)
            again = evaluate(tasks[::-1], seed=RUN, executor=pool)
        assert 1 <= frame.attrs["record_loads"] <= 2
        assert again.attrs["record_loads"] == 0  # the workers keep the record between calls
        assert list(again["seed"]) == list(reference["seed"])  # seeds follow the index, not the task
    else:
        cluster = request.getfixturevalue("cluster")
        if backend == "dask client":
            import distributed

            with distributed.Client(cluster) as client:
                frame = evaluate(tasks, seed=RUN, client=client)
        else:
            frame = evaluate(tasks, seed=RUN, client=cluster.scheduler_address)
    pd.testing.assert_frame_equal(frame, reference)


def test_dask_pieces_keep_rows_of_several_records_and_stop_at_a_failure(cluster, reference, tmp_path):
    distributed = pytest.importorskip("distributed")
    tasks, other = tiny_tasks(), tiny_record(seed=3)
    tasks = [*tasks, *(Task(t.bed, other, t.plan, t.reclaim_increment) for t in tasks)] * 3  # pieces of 8 down to 1
    with distributed.Client(cluster) as client:
        pd.testing.assert_frame_equal(evaluate(tasks, seed=RUN, client=client), evaluate(tasks, seed=RUN, workers=1))
        off = Task(tasks[0].bed, tasks[0].record, Chevron(layers=3, end=50.0))
        failing = [*tiny_tasks() * 2, off, *tiny_tasks() * 4]  # the failure fifth in the piece of tasks 8-15
        path = tmp_path / "sweep.csv"
        with pytest.raises(PlanError, match="end"):
            evaluate(failing, seed=RUN, client=client, log=path)
    logged = set(read_log(path)["task"])
    assert {8, 9, 10, 11} <= logged and 12 not in logged  # the piece's rows before the failure are kept


def read_log(path):
    if path.suffix == ".csv":
        logged = pd.read_csv(path, float_precision="round_trip")
    else:
        logged = pd.read_parquet(path)
    return logged.sort_values("task", ignore_index=True)  # rows are logged as tasks finish


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_log_grows_with_a_resumed_sweep_and_reads_back_as_the_rows(suffix, reference, tmp_path):
    path = tmp_path / f"sweep{suffix}"
    tasks = tiny_tasks()
    first = evaluate(tasks[:3], seed=RUN, workers=2, log=path)  # chevrons only: fewer columns
    pd.testing.assert_frame_equal(first, reference.loc[:2, first.columns], check_dtype=False)
    resumed = evaluate(tasks, seed=RUN, workers=2, log=path, resume=True)
    assert resumed.attrs["resumed"] == 3
    pd.testing.assert_frame_equal(resumed, reference)
    logged = read_log(path)
    assert list(logged.columns) == list(reference.columns)
    numbers = reference.select_dtypes("number").columns
    pd.testing.assert_frame_equal(logged[numbers], reference[numbers], check_dtype=False)
    complete = evaluate(tasks, seed=RUN, log=path, resume=True)
    assert complete.attrs["resumed"] == len(tasks)
    pd.testing.assert_frame_equal(complete, reference)


def test_a_line_cut_short_is_dropped_and_its_task_run_again(reference, tmp_path):
    path = tmp_path / "sweep.csv"
    evaluate(tiny_tasks(), seed=RUN, log=path)
    data = path.read_bytes()
    path.write_bytes(data[:-25])
    resumed = evaluate(tiny_tasks(), seed=RUN, log=path, resume=True)
    assert resumed.attrs["resumed"] == len(reference) - 1
    pd.testing.assert_frame_equal(resumed, reference)
    assert path.read_bytes() == data


SWEEP = """
import sys
sys.path.insert(0, {tests!r})
sys.modules.pop("test_evaluate", None)
import pilora, test_evaluate
sys.modules["pilora.evaluate"].PARQUET_BATCH_SECONDS = 0.05
pilora.evaluate(test_evaluate.sweep_tasks(), seed={seed}, workers=1, log=sys.argv[1])
"""


def logged_tasks(path):
    if not path.exists():
        return 0
    if path.suffix == ".csv":
        return max(path.read_text().count("\n") - 1, 0)
    parts = list(path.glob("part-*.parquet"))
    return len(read_log(path)) if parts else 0


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_a_killed_sweep_resumes_where_it_stopped(suffix, tmp_path):
    path = tmp_path / f"sweep{suffix}"
    tasks = sweep_tasks()
    script = SWEEP.format(tests=str(pathlib.Path(__file__).parent), seed=RUN)
    child = subprocess.Popen([sys.executable, "-c", script, str(path)], env=os.environ.copy())
    try:
        deadline = time.monotonic() + 120
        while logged_tasks(path) < 3 and child.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        child.send_signal(signal.SIGKILL)
    finally:
        child.wait()
    assert child.returncode == -signal.SIGKILL
    done = logged_tasks(path)
    assert 3 <= done < len(tasks)
    resumed = evaluate(tasks, seed=RUN, workers=2, log=path, resume=True)
    assert resumed.attrs["resumed"] == done
    pd.testing.assert_frame_equal(resumed, evaluate(tasks, seed=RUN, workers=2))
    assert logged_tasks(path) == len(tasks)


def test_failures_are_recorded_or_raised(reference, tmp_path):
    tasks = tiny_tasks()
    off = Task(tasks[0].bed, tasks[0].record, Chevron(layers=3, end=50.0))
    recorded = evaluate([*tasks, off], seed=RUN, workers=2, errors="record")
    assert recorded["error"][:-1].isna().all() and "PlanError" in recorded["error"].iloc[-1]
    assert math.isnan(recorded["worst_effect"].iloc[-1])
    pd.testing.assert_frame_equal(recorded[:-1].drop(columns="error"), reference)
    path = tmp_path / "sweep.csv"
    with pytest.raises(PlanError, match="end"):
        evaluate([*tasks[:2], off, *tasks[2:]], seed=RUN, workers=1, log=path)
    assert list(read_log(path)["task"]) == [0, 1]


def test_progress_bar_only_when_asked_or_on_a_terminal(capsys):
    evaluate(tiny_tasks()[:2], seed=RUN, workers=1, progress=True)
    assert "2/2" in capsys.readouterr().err
    evaluate(tiny_tasks()[:2], seed=RUN, workers=1)  # standard error is not a terminal here
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("keywords, error, match", [
    ({"tasks": ["not a task"]}, TypeError, "task 0 is a str"),
    ({"workers": 2, "executor": cf.ThreadPoolExecutor(1)}, ValueError, "at most one"),
    ({"workers": 2, "client": "tcp://127.0.0.1:1"}, ValueError, "at most one"),
    ({"processes": True, "client": "tcp://127.0.0.1:1"}, ValueError, "processes=True"),
    ({"workers": 0}, ValueError, "at least 1"),
    ({"workers": 1.5}, TypeError, "integer"),
    ({"executor": "threads"}, TypeError, "Executor"),
    ({"seed": -1}, ValueError, r"\[0, 2\*\*63\)"),
    ({"seed": 2**63}, ValueError, r"\[0, 2\*\*63\)"),
    ({"seed": 1.0}, TypeError, "integer"),
    ({"resume": True}, ValueError, "log"),
    ({"log": "sweep.txt"}, ValueError, "suffix"),
    ({"errors": "ignore"}, ValueError, "errors"),
    ({"progress": "yes"}, TypeError, "progress"),
])
def test_refuses_bad_calls(keywords, error, match):
    keywords = {"tasks": tiny_tasks()[:1], "seed": RUN, **keywords}
    with pytest.raises(error, match=match):
        evaluate(keywords.pop("tasks"), **keywords)


@pytest.mark.parametrize("change, error, match", [
    ({"record": "limestone.csv"}, TypeError, "Task.record must be a Record"),
    ({"plan": None}, TypeError, "Task.plan"),
    ({"reclaim_increment": 0.0}, ValueError, "positive"),
    ({"reclaim_increment": "1"}, TypeError, "reclaim_increment"),
    ({"label": ""}, TypeError, "label"),
])
def test_refuses_bad_tasks(change, error, match):
    task = tiny_tasks()[0]
    fields = {"bed": task.bed, "record": task.record, "plan": task.plan, **change}
    with pytest.raises(error, match=match):
        Task(**fields)


def test_refuses_logs_of_other_runs(tmp_path):
    path = tmp_path / "sweep.parquet"
    tasks = tiny_tasks()
    evaluate(tasks[:3], seed=RUN, log=path)
    with pytest.raises(FileExistsError, match="resume=True"):
        evaluate(tasks[:3], seed=RUN, log=path)
    with pytest.raises(ValueError, match="run seed"):
        evaluate(tasks[:3], seed=RUN + 1, log=path, resume=True)
    with pytest.raises(ValueError, match="another task at index 0"):
        evaluate(tasks[3:], seed=RUN, log=path, resume=True)
    with pytest.raises(ValueError, match="only 2 tasks"):
        evaluate(tasks[:2], seed=RUN, log=path, resume=True)
    (tmp_path / "file.parquet").write_text("")
    with pytest.raises(ValueError, match="folder"):
        evaluate(tasks[:1], seed=RUN, log=tmp_path / "file.parquet", resume=True)


def snapshot(path):
    """A log's bytes: a file's, or each file's in a folder by name."""
    if path.is_dir():
        return {entry.name: entry.read_bytes() for entry in sorted(path.iterdir())}
    return path.read_bytes()


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_a_resume_checks_the_whole_log_before_changing_it(suffix, reference, tmp_path):
    tasks = tiny_tasks()
    path = tmp_path / f"sweep{suffix}"
    evaluate(tasks[:3], seed=RUN, workers=1, log=path)  # chevrons only: integer layers, fewer columns
    if suffix == ".csv":
        path.write_bytes(path.read_bytes()[:-25])  # the line of task 2 cut short by a kill
    before = snapshot(path)
    other = [Task(t.bed, tiny_record(seed=3), t.plan, t.reclaim_increment) for t in tasks]  # another study
    for keywords, match in [({"tasks": other}, "another task at index 0"),
                            ({"tasks": tasks[:1]}, "only 1 task was"),
                            ({"tasks": tasks, "seed": RUN + 1}, "run seed"),
                            ({"tasks": other, "as_completed": True}, "another task")]:
        keywords = {"seed": RUN, **keywords}
        with pytest.raises(ValueError, match=match):  # each would add columns to the log
            evaluate(keywords.pop("tasks"), log=path, resume=True, errors="record", **keywords)
        assert snapshot(path) == before
    resumed = evaluate(tasks, seed=RUN, log=path, resume=True)
    assert resumed.attrs["resumed"] == (2 if suffix == ".csv" else 3)
    pd.testing.assert_frame_equal(resumed, reference)
    if suffix == ".csv":  # the columns it added left the logged cells' text as it was
        text = pd.read_csv(path, dtype=str, keep_default_na=False)
        assert list(text["plan.layers"][:2]) == ["2", "3"]


def foreign_parquet(path, name):
    path.mkdir()
    pd.DataFrame({"a": [1, 2], "b": ["x", None]}).to_parquet(path / name)


@pytest.mark.parametrize("name, make, match", [
    ("results.csv", lambda p: p.write_bytes(b"a,b\n1,2\n3,4"), "no column 'task'"),
    ("results.csv", lambda p: p.write_bytes(b"quality data"), "no header line"),
    ("results.csv", lambda p: p.write_bytes(b"\xff\xfe\x00t\x00\n"), "cannot be read as CSV"),
    ("results.csv", lambda p: p.write_text("task,seed,run_seed,version,fingerprint\n1,2\n"), "2 cells"),
    ("results.csv", lambda p: p.write_text("task,seed,run_seed,version,fingerprint\none,2,3,0,f\n"),
     "'one' in its column 'task'"),
    ("results.csv", lambda p: p.mkdir(), "is a folder"),
    ("results.parquet", lambda p: foreign_parquet(p, "data.parquet"), "holds 'data.parquet'"),
    ("results.parquet", lambda p: foreign_parquet(p, "part-00000000000000000001-0123abcd.parquet"),
     "no column 'task'"),
    ("results.parquet", lambda p: p.write_bytes(b"PAR1"), "is a file"),
])
def test_a_resume_refuses_what_is_not_a_row_log_and_leaves_it_as_it_was(name, make, match, tmp_path):
    path = tmp_path / name
    make(path)
    before = snapshot(path)
    with pytest.raises(ValueError, match=match):
        evaluate(tiny_tasks(), seed=RUN, log=path, resume=True)
    assert snapshot(path) == before


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_a_resume_takes_the_latest_row_of_each_task_of_this_version(suffix, reference, tmp_path, monkeypatch):
    tasks, path = tiny_tasks(), tmp_path / f"sweep{suffix}"
    real = evaluate_module.run_task

    def flaky(task, seed):
        if task.label == "chevron 3":
            raise OSError("the disk was full")
        return real(task, seed)

    with monkeypatch.context() as patch:
        patch.setattr(evaluate_module, "run_task", flaky)
        failed = evaluate(tasks, seed=RUN, log=path, errors="record")
    assert list(failed["error"].notna()) == [False, True, False, False, False, False]
    again = evaluate(tasks, seed=RUN, log=path, resume=True)  # errors raised: the failure runs again
    assert again.attrs["resumed"] == len(tasks) - 1
    pd.testing.assert_frame_equal(again, reference)
    for errors in ("record", "raise"):  # the success, logged after the failure, wins
        third = evaluate(tasks, seed=RUN, log=path, resume=True, errors=errors)
        assert third.attrs["resumed"] == len(tasks)
        pd.testing.assert_frame_equal(third.drop(columns="error", errors="ignore"), reference)
    monkeypatch.setattr(pilora, "__version__", "99.0")  # rows of another version run again
    upgraded = evaluate(tasks, seed=RUN, log=path, resume=True)
    assert (upgraded.attrs["resumed"], upgraded.attrs["outdated"]) == (0, len(tasks))
    assert set(upgraded["version"]) == {"99.0"}
    pd.testing.assert_frame_equal(upgraded.drop(columns="version"), reference.drop(columns="version"))
    later = evaluate(tasks, seed=RUN, log=path, resume=True)
    assert (later.attrs["resumed"], later.attrs["outdated"]) == (len(tasks), 0)
    assert len(read_log(path)) == 2 * len(tasks) + 1


@pytest.mark.parametrize("backend", ["serial", "threads 2", "processes 2", "dask client"])
def test_as_completed_yields_each_row_once_logged_and_the_rows_of_the_frame(backend, reference, tmp_path,
                                                                          request):
    path = tmp_path / "sweep.csv"
    keywords = {"serial": {"workers": 1}, "threads 2": {"workers": 2},
                "processes 2": {"workers": 2, "processes": True}}.get(backend)
    with contextlib.ExitStack() as stack:
        if keywords is None:
            import distributed

            keywords = {"client": stack.enter_context(distributed.Client(request.getfixturevalue("cluster")))}
        rows = evaluate(tiny_tasks(), seed=RUN, log=path, as_completed=True, **keywords)
        seen = []
        for row in rows:
            assert row["task"] in set(read_log(path)["task"])
            seen.append(row)
    assert rows.backend == backend.split()[0] and rows.total == len(reference)
    assert sorted(row["task"] for row in seen) == list(reference["task"])
    by_task = pd.DataFrame(sorted(seen, key=lambda row: row["task"]))
    pd.testing.assert_frame_equal(by_task, reference)
    pd.testing.assert_frame_equal(rows.frame(), reference)


@pytest.mark.parametrize("workers", [1, 2])
def test_as_completed_hands_over_a_row_while_other_tasks_wait(workers, reference, monkeypatch):
    handed = threading.Event()
    real = evaluate_module.run_task

    def waiting(task, seed):
        if task.label != "chevron 2" and not handed.wait(20):
            raise TimeoutError("no row was handed over while the other tasks waited")
        return real(task, seed)

    monkeypatch.setattr(evaluate_module, "run_task", waiting)
    rows = evaluate(tiny_tasks(), seed=RUN, workers=workers, as_completed=True)
    first = next(rows)
    handed.set()
    assert first["task"] == 0
    assert sorted(row["task"] for row in rows) == list(range(1, len(reference)))


def test_as_completed_stops_at_a_failure_or_when_closed_and_resumes(reference, tmp_path):
    tasks, path = tiny_tasks(), tmp_path / "sweep.parquet"
    off = Task(tasks[0].bed, tasks[0].record, Chevron(layers=3, end=50.0))
    rows = evaluate([*tasks[:2], off], seed=RUN, workers=1, as_completed=True)
    assert [next(rows)["task"], next(rows)["task"]] == [0, 1]
    with pytest.raises(PlanError, match="end"):
        next(rows)
    with evaluate(tasks, seed=RUN, workers=2, log=path, as_completed=True) as rows:
        first = {next(rows)["task"], next(rows)["task"]}
    dropped = evaluate(tasks, seed=RUN, workers=2, as_completed=True)
    next(dropped)
    del dropped  # its worker threads end with it, not at some later collection
    assert not [thread for thread in threading.enumerate() if thread.name.startswith("pilora")]
    resumed = evaluate(tasks, seed=RUN, log=path, resume=True, as_completed=True)
    assert resumed.resumed >= 2 and resumed.backend is None  # nothing runs before the first next()
    again = list(resumed)
    assert first <= {row["task"] for row in again[:resumed.resumed]}
    pd.testing.assert_frame_equal(resumed.frame(), reference)


def test_a_record_keeps_the_fingerprint_logs_of_earlier_versions_hold() -> None:
    # Digests of logs written before records had units, zones, notes or derived qualities: a
    # field added since counts only when it is set, so those logs still resume.
    from pilora.rowlog import record_fingerprint

    plain = pilora.Record.from_frame(pd.DataFrame({"time": [0.0, 1.0, 2.0], "volume": [1.0, 2.0, 3.0],
                                                   "a": [1.0, 2.0, 4.0]}))
    assert record_fingerprint(plain) == "b31c690eea425abc556871f45e7606b2"
    assert record_fingerprint(pilora.sample_record()) == "02a3ef95c9cda8b79c5dbe831dbd6e23"
    derived = pilora.Record.from_frame(plain.frame[["time", "volume", "a"]], derived={"b": "2 * a"})
    assert record_fingerprint(derived) != record_fingerprint(plain)


# ---------------------------------------------------------------------------------------------
# Row logs: awkward text, exact floats, CSV against Parquet, logs cut by a kill


AWKWARD = 'comma, "quoted", \'single\'\ttab ünïcødé ✓ 🙂 ; =1+1 '


class Note:
    """A plan setting whose repr is awkward CSV text."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return f"Note({self.text!r}, {{'a': [1, 2]}})"


@dataclasses.dataclass(frozen=True, kw_only=True, repr=False)
class NotedPlan(pilora.Plan):
    """A plan carrying text into its row (never run: the tests replace run_task)."""

    note: object
    name: str = "plain"


# Floats whose text form is easy to get wrong: shortest round-trip, signed zero, subnormal, huge.
AWKWARD_FLOATS = [0.1 + 0.2, -0.0, 5e-324, 1.7976931348623157e308, 1 / 3, -math.inf, math.inf, math.nan]


def awkward_tasks(newlines=True):
    """Tasks whose labels, plan settings and error messages hold text that CSV must quote."""
    bed, record = BedSettings(20.0, 6.0, chunks_per_volume_unit=1.0), tiny_record()
    lines = "\nsecond line\r\nthird" if newlines else ""
    return [Task(bed, record, NotedPlan(note=Note(AWKWARD + lines), name=text), label=label)
            for text, label in [(AWKWARD + lines, "fail: " + AWKWARD + lines), ("nan", "None"),
                                ("1.5", "True"), (" ", "fail: \"" + lines), ("naïve", AWKWARD), ("", "empty name")]]


def fake_run_task(task, seed):
    """Measures from the task's index in its plan's name: fast and with awkward floats."""
    if task.label.startswith("fail"):
        raise OSError(task.label)
    columns = evaluate_module._measure_columns(task.record.parameters)
    return {name: AWKWARD_FLOATS[(seed + k) % len(AWKWARD_FLOATS)] for k, name in enumerate(columns)}


def bits(frame):
    """The float columns' bytes: equal only if every float, its sign and NaNs included, is equal."""
    return frame.select_dtypes("float64").to_numpy().tobytes()


@pytest.mark.parametrize("newlines", [False, True])
def test_csv_and_parquet_logs_resume_awkward_text_and_floats_unchanged(newlines, tmp_path, monkeypatch):
    monkeypatch.setattr(evaluate_module, "run_task", fake_run_task)
    tasks = awkward_tasks(newlines)
    # A plan of another type last: resuming with it adds its columns to the log.
    tasks.append(Task(tasks[0].bed, tasks[0].record, Chevron(layers=4), label=AWKWARD + "\n"))
    reference = evaluate(tasks, seed=RUN, workers=1, errors="record")
    assert reference["error"].iloc[0] == "OSError: fail: " + AWKWARD + ("\nsecond line\r\nthird" if newlines else "")
    assert reference["plan.note"].iloc[0] == repr(Note(tasks[0].plan.note.text))
    assert reference["plan.name"].iloc[5] == ""  # empty text, not missing
    frames = {}
    for suffix in (".csv", ".parquet"):
        path = tmp_path / f"sweep{suffix}"
        evaluate(tasks[:-1], seed=RUN, workers=2, log=path, errors="record")
        grown = evaluate(tasks, seed=RUN, workers=2, log=path, resume=True, errors="record")
        assert grown.attrs["resumed"] == len(tasks) - 1
        pd.testing.assert_frame_equal(grown, reference, check_exact=True)
        frames[suffix] = resumed = evaluate(tasks, seed=RUN, workers=1, log=path, resume=True, errors="record")
        assert resumed.attrs["resumed"] == len(tasks)  # every row read back as this run's task
        pd.testing.assert_frame_equal(resumed, reference, check_exact=True)
        assert bits(resumed) == bits(reference)
        with evaluate(tasks, seed=RUN, log=path, resume=True, errors="record", as_completed=True) as rows:
            by_task = pd.DataFrame(sorted(rows, key=lambda row: row["task"]))
        pd.testing.assert_frame_equal(by_task, reference, check_exact=True)
    pd.testing.assert_frame_equal(frames[".csv"], frames[".parquet"], check_exact=True)


@pytest.mark.parametrize("newlines", [False, True])
def test_a_csv_log_cut_anywhere_in_its_last_line_resumes_to_the_same_rows(newlines, tmp_path, monkeypatch):
    """A kill may cut the last record at any byte: in a quoted cell, just after a newline in a
    quoted cell, between the bytes of one character, just before its end of line; each resume
    drops the cut record and runs its task."""
    monkeypatch.setattr(evaluate_module, "run_task", fake_run_task)
    tasks = awkward_tasks(newlines)
    tasks = tasks[1:] + tasks[:1]  # the failing task with text on several lines last
    path = tmp_path / "sweep.csv"
    reference = evaluate(tasks, seed=RUN, workers=1, log=path, errors="record")
    data = path.read_bytes()
    last = data.rindex(f"\n{len(tasks) - 1},".encode()) + 1
    text = data[last:].decode()
    cuts = {last + 1, len(data) - 1, last + len(text[:text.index("✓")].encode()) + 1,  # inside ✓
            last + len(text[:text.index('"')].encode()) + 1}  # inside a quoted cell
    cuts |= {last + len(text[:i].encode()) + 1 for i, c in enumerate(text[:-1]) if c in "\r\n"}
    cuts |= set(range(last, len(data), 37))
    for cut in sorted(cuts):
        path.write_bytes(data[:cut])
        resumed = evaluate(tasks, seed=RUN, workers=1, log=path, resume=True, errors="record")
        assert resumed.attrs["resumed"] == len(tasks) - 1, cut
        pd.testing.assert_frame_equal(resumed, reference, check_exact=True)
        assert path.read_bytes() == data, cut


def test_logs_hold_any_text_whatever_the_locale(tmp_path):
    """Logs are UTF-8 under a C locale too, and an error message that UTF-8 cannot hold (a lone
    surrogate from a file name) is logged with it escaped."""
    script = """
import sys
sys.path.insert(0, {tests!r})
import pilora, test_evaluate
from pilora import Task, evaluate
module = sys.modules["pilora.evaluate"]
def run(task, seed):
    if task.label.startswith("x"):
        raise OSError("file \\udcff.csv")
    return test_evaluate.fake_run_task(task, seed)
module.run_task = run
base = test_evaluate.awkward_tasks(newlines=False)[1]
tasks = [Task(base.bed, base.record, base.plan, label=label) for label in ("Düngung ✓", "x ✓")]
for path in sys.argv[1:]:
    first = evaluate(tasks[:1], seed=1, workers=1, log=path, errors="record")
    rows = evaluate(tasks, seed=1, workers=1, log=path, resume=True, errors="record")
    again = evaluate(tasks, seed=1, workers=1, log=path, resume=True, errors="record")
    assert rows.attrs["resumed"] == 1 and again.attrs["resumed"] == 2, path
    assert list(again["label"]) == ["Düngung ✓", "x ✓"], again["label"]
    assert list(again["error"]) == [None, "OSError: file \\\\udcff.csv"], again["error"]
print("ok")
""".format(tests=str(pathlib.Path(__file__).parent))
    env = {**os.environ, "LC_ALL": "C", "LANG": "C", "PYTHONUTF8": "0", "PYTHONIOENCODING": "utf-8"}
    program = tmp_path / "program.py"  # a file: a C locale cannot decode "-c" text beyond ASCII
    program.write_text(script, encoding="utf-8")
    done = subprocess.run([sys.executable, str(program), str(tmp_path / "a.csv"), str(tmp_path / "a.parquet")],
                          env=env, capture_output=True, text=True, encoding="utf-8")
    assert done.stdout.strip() == "ok", done.stderr[-2000:]


@pytest.mark.parametrize("damage", ["header cut short", "empty file", "parquet temporary"])
def test_a_log_a_kill_left_before_its_first_row_starts_again(damage, tmp_path, monkeypatch):
    monkeypatch.setattr(evaluate_module, "run_task", fake_run_task)
    tasks = awkward_tasks(newlines=False)
    path = tmp_path / ("sweep.parquet" if "parquet" in damage else "sweep.csv")
    reference = evaluate(tasks, seed=RUN, workers=1, log=path, errors="record")
    if damage == "parquet temporary":  # a part half written when the kill came
        leftover = path / ".part-00000000000000000001-0123abcd.parquet.tmp"
        leftover.write_bytes(b"PAR1 cut")
        resumed = evaluate(tasks, seed=RUN, workers=1, log=path, resume=True, errors="record")
        assert resumed.attrs["resumed"] == len(tasks) and not leftover.exists()
    else:
        data = path.read_bytes()
        path.write_bytes(data[:data.index(b"\n") // 2] if damage == "header cut short" else b"")
        resumed = evaluate(tasks, seed=RUN, workers=1, log=path, resume=True, errors="record")
        assert resumed.attrs["resumed"] == 0 and path.read_bytes() == data
    pd.testing.assert_frame_equal(resumed, reference, check_exact=True)
