"""Plans for optimisers (control points, stacker paths) and the optimiser: its study, its command's
outputs, reproducibility and resuming, on tiny records, populations and grids."""

import json
import math
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest

from pilora import BedSettings, Chevron, ControlPoints, PlanError, Record, evaluate
from pilora.commands import optimise as command
from pilora.optimise import Evaluator, OptimiseError, Problem, StackerPath, Study, hypervolume, pareto

BED = BedSettings(30.0, 8.0, chunks_per_volume_unit=1.0)  # 1 m cells: quick
SMALL = BedSettings(40.0, 10.0, cell_size=0.5)  # the optimiser's fine grid in these tests


@pytest.fixture(scope="module")
def record():
    frame = pd.DataFrame({"time": np.arange(60) * 0.2, "volume": 3.0, "q": np.sin(np.arange(60) / 5.0)})
    return Record.from_frame(frame, volume="volume", bulk_density=1.6)


@pytest.fixture(scope="module")
def drifting():
    """12 h of feed with a slow drift and noise in two parameters: what a bed should blend."""
    rng = np.random.default_rng(3)
    t = np.arange(120) * 0.1
    frame = pd.DataFrame({"time": t, "volume": 4.0 + rng.random(120),
                          "CaO": 50 + np.sin(t / 1.5) + 0.3 * rng.standard_normal(120),
                          "SiO2": 5 + 0.5 * np.cos(t / 2.0) + 0.1 * rng.standard_normal(120)})
    return Record.from_frame(frame, volume="volume", bulk_density=1.5)


# ---------------------------------------------------------------------------------------------
# Control points (the plan the examples used before stacker paths)


def test_two_points_travelled_n_times_are_a_chevron_of_n_layers(record):
    points = ControlPoints(positions=(0.0, 30.0), cycles=7)
    chevron = Chevron(layers=7, start=0.0, end=30.0)
    times = np.linspace(0.0, record.duration, 997)
    np.testing.assert_allclose(points.stacker_position(times, record, BED),
                               chevron.stacker_position(times, record, BED), atol=1e-9)
    assert points.passes(record, BED) == pytest.approx(7.0)
    mine, theirs = points.portions(record, BED), chevron.portions(record, BED)
    assert len(mine) == len(theirs)
    np.testing.assert_allclose(mine[["time", "x", "z", "volume", "q"]], theirs[["time", "x", "z", "volume", "q"]],
                               atol=1e-9)


@pytest.mark.parametrize("settings, match", [
    ({"positions": (5.0,)}, "at least two"),
    ({"positions": (1.0, math.nan)}, "finite"),
    ({"positions": ("a", "b")}, "numbers"),
    ({"positions": (1.0, 2.0), "cycles": 0}, "cycles"),
])
def test_control_points_refuse_bad_settings(settings, match):
    with pytest.raises(PlanError, match=match):
        ControlPoints(**settings)


# ---------------------------------------------------------------------------------------------
# Stacker paths


def test_a_path_between_two_ends_is_a_chevron_up_to_its_braking(record):
    """Speed and acceleration limits: the path differs from a chevron only where it brakes and
    accelerates at the ends (within v^2 / 2a), and lays the same passes."""
    path = StackerPath(points=(0.0, 30.0), distance=7 * 30.0, acceleration=0.001, travel="time")
    chevron = Chevron(layers=7, start=0.0, end=30.0, travel="time")
    times = np.linspace(0.0, record.duration, 2001)
    x, _ = path.stacker_position(times, record, BED)
    y, _ = chevron.stacker_position(times, record, BED)
    v = path.cruise_speed(record, BED) * 60.0  # m/h
    a = 0.001 * 3600.0**2
    assert 0 < np.abs(x - y).max() <= v * v / (2 * a) + 1e-9
    assert path.passes(record, BED) == pytest.approx(7.0)
    assert v / 60.0 > chevron.travel_speed(record, BED)  # cruising makes up for the braking
    table = path.portions(record, BED)
    assert table["volume"].sum() == pytest.approx(record.total_volume)
    assert table["x"].between(0.0, 30.0).all()


def test_a_distance_beyond_the_maximum_speed_is_refused(record):
    hours = record.duration
    reachable = StackerPath(points=(0.0, 30.0), distance=0.9 * 20.0 * 60 * hours, max_speed=20.0)
    assert reachable.cruise_speed(record, BED) <= 20.0
    with pytest.raises(PlanError, match="max_speed") as caught:
        StackerPath(points=(0.0, 30.0), distance=1.01 * 20.0 * 60 * hours, max_speed=20.0).portions(record, BED)
    assert caught.value.parameter == "max_speed"


def instructed_positions(table: pd.DataFrame, t: np.ndarray) -> np.ndarray:
    """Positions at times t from stacker instructions: speed linear between rows."""
    times, pos = table["time"].to_numpy(), table["position"].to_numpy()
    speed, direction = table["speed"].to_numpy() * 60.0, table["direction"].to_numpy()
    i = np.clip(np.searchsorted(times, t, side="right") - 1, 0, len(times) - 2)
    dt = t - times[i]
    span = times[i + 1] - times[i]
    slope = np.where(span > 0, (speed[i + 1] - speed[i]) / np.where(span > 0, span, 1.0), 0.0)
    return pos[i] + direction[i] * (speed[i] + 0.5 * slope * dt) * dt


@pytest.mark.parametrize("stops", [False, True])
def test_stacker_instructions_reproduce_the_plans_portions(drifting, stops):
    record = drifting
    if stops:  # the feed stops for an hour: the stacker stands
        frame = record.frame.copy()
        frame.loc[40:49, "volume"] = 0.0
        record = Record.from_frame(frame[["time", "volume", "CaO", "SiO2"]], volume="volume")
    path = StackerPath(points=(3.0, 35.0, 12.0, 28.0), distance=1500.0, acceleration=0.002)
    table = path.instructions(record, SMALL)
    assert list(table.columns) == ["time", "position", "speed", "direction", "action"]
    assert (table["speed"] <= path.max_speed + 1e-12).all() and (np.diff(table["time"]) >= 0).all()
    assert table["time"].iloc[0] == 0.0 and table["time"].iloc[-1] <= record.duration
    # Each run between reversals: accelerate, cruise, brake; the last row stands.
    moves = table[table["action"] != "stand"]
    assert table["action"].iloc[-1] == "stand" and set(moves["direction"]) == {-1, 1}
    assert (table.loc[table["action"] == "stand", ["speed", "direction"]] == 0).all(axis=None)
    assert (table["action"] == "stand").sum() == 1 + stops
    portions = path.portions(record, SMALL)
    moving = portions if not stops else portions[~portions["time"].between(4.0, 5.0)]
    np.testing.assert_allclose(instructed_positions(table, moving["time"].to_numpy()), moving["x"], atol=1e-6)
    if stops:
        still = portions[portions["time"].between(4.0, 5.0)]
        assert still.empty or np.ptp(still["x"]) == 0.0


@pytest.mark.parametrize("settings, match", [
    ({"points": (5.0,), "distance": 10.0}, "at least two"),
    ({"points": (1.0, 2.0), "distance": -1.0}, "distance"),
    ({"points": (1.0, 2.0), "distance": 10.0, "max_speed": 0}, "max_speed"),
    ({"points": (1.0, 2.0), "distance": 10.0, "travel": "walk"}, "travel"),
])
def test_stacker_paths_refuse_bad_settings(settings, match):
    with pytest.raises(PlanError, match=match):
        StackerPath(**settings)


def test_a_path_whose_points_coincide_is_refused_when_run(record):
    with pytest.raises(PlanError, match="coincide"):
        StackerPath(points=(5.0, 5.0), distance=10.0).portions(record, BED)


# ---------------------------------------------------------------------------------------------
# The study


def test_hypervolume_and_pareto_follow_the_directions():
    values = np.array([[10.0, 5.0], [12.0, 9.0], [9.0, 6.0], [12.0, 9.0]])  # (max, min)
    assert pareto(values, (1.0, -1.0)).tolist() == [True, True, False, True]
    # Rectangles above the reference (8, 10): 2 x 5 and 4 x 1, overlapping in 2 x 1.
    assert hypervolume(values, (1.0, -1.0), (8.0, 10.0)) == pytest.approx(10 + 4 - 2)
    assert hypervolume(values, (1.0, -1.0), (13.0, 10.0)) == 0.0
    # No points: an empty front, nothing dominated.
    assert pareto(np.zeros((0, 2)), (1.0, -1.0)).tolist() == []
    assert hypervolume(np.zeros((0, 2)), (1.0, -1.0), (8.0, 10.0)) == 0.0


def test_robust_objectives_are_the_replicates_statistics(drifting):
    from pilora.replicates import interval

    problem = Problem(drifting, SMALL, objectives=("worst_effect", "travel"), replicates=3, robust="bound",
                      coverage=0.8)
    plans = [problem.plan([0.1, 0.5, 0.9, 0.0, 0.3]), problem.plan([0.2, 0.4, 0.6, 0.8, 1.0])]
    effects = [4.0, 5.5, 4.5, 6.0, math.nan, 7.0]
    rows = pd.DataFrame({"task": [3, 1, 2, 0, 5, 4], "error": None,
                         "worst_effect_no_cones": [effects[i] for i in (3, 1, 2, 0, 5, 4)]})
    stats = problem.statistics(rows, plans)
    mean, low, high = interval(effects[:3], 0.8, positive=True)  # effects: on the logarithm
    assert stats.loc[0, ["worst_effect.mean", "worst_effect.low", "worst_effect.high"]].tolist() == \
        pytest.approx([mean, low, high])
    assert stats.loc[0, "worst_effect"] == pytest.approx(low)  # the pessimistic end of a maximised one
    assert stats.loc[0, "travel"] == plans[0].distance == stats.loc[0, "travel.high"]
    assert stats["feasible"].tolist() == [True, False]  # a replicate without a number
    assert stats.loc[0, "replicates.worst_effect"] == (4.0, 5.5, 4.5)


def run_study(problem, algorithm="nsga2", **keywords):
    study = Study(problem, algorithm=algorithm, population=8, generations=3, seed=5, **keywords)
    while not study.done:
        tasks = study.ask()
        assert study.ask() == tasks  # asking again before telling gives the same tasks
        study.tell(evaluate(tasks, seed=study.run_seed, workers=2, errors="record"))
    return study


@pytest.mark.parametrize("algorithm", ["nsga2", "optuna"])
def test_a_study_never_loses_hypervolume_and_its_front_is_undominated(drifting, algorithm):
    problem = Problem(drifting, SMALL, objectives=("worst_effect", "travel"), points=3, replicates=2,
                      search_cell_size=1.0, seed=5)
    study = run_study(problem, algorithm)
    volumes = [entry["hypervolume"] for entry in study.convergence]
    assert len(volumes) == 4 and volumes[0] > 0 and all(b >= a for a, b in zip(volumes, volumes[1:]))
    archive, front = study.archive, study.front()
    # Paths whose end cones cover the bed leave nothing to measure: infeasible, never on the front.
    assert len(archive) == 32 and archive["feasible"].sum() >= 8 and front["feasible"].all()
    values = archive.loc[archive["feasible"], ["worst_effect", "travel"]].to_numpy()
    for _, row in front.iterrows():
        better = (values[:, 0] >= row["worst_effect"]) & (values[:, 1] <= row["travel"])
        strictly = (values[:, 0] > row["worst_effect"]) | (values[:, 1] < row["travel"])
        assert not (better & strictly).any()
    # The travel is the plan's distance, within the passes allowed (of the chevron's span).
    low, high = (p * problem.pass_length for p in problem.passes)
    assert archive["travel"].between(low, high).all()


@pytest.mark.parametrize("algorithm", ["optuna", "tpe"])
def test_optunas_samplers_repeat_their_study_exactly(drifting, algorithm):
    problem = Problem(drifting, SMALL, points=2, replicates=1, search_cell_size=1.0, check_replicates=1)
    first, second = run_study(problem, algorithm), run_study(problem, algorithm)
    pd.testing.assert_frame_equal(first.archive, second.archive, check_exact=True)


def test_deaps_toolbox_map_runs_a_population_in_one_batch(drifting):
    """... and a path the stacker cannot drive (too many turns for its speed and acceleration)
    scores worse than any it can."""
    from deap import base

    problem = Problem(drifting, SMALL, objectives=("worst_effect", "travel"), points=3, replicates=2,
                      passes=40.0, max_speed=2.5, acceleration=0.0002, search_cell_size=1.0)
    toolbox = base.Toolbox()
    with Evaluator(problem, seed=3, workers=2) as evaluator:
        toolbox.register("evaluate", problem.plan)
        toolbox.register("map", evaluator.map)
        population = [[0.0, 1.0, 0.0], [0.0, 0.5, 1.0], [0.45, 0.55, 0.45]]
        fitness = toolbox.map(toolbox.evaluate, population)
        assert evaluator.batches == 1
    assert len(fitness) == 3 and all(len(f) == 2 for f in fitness)
    assert [f[1] for f in fitness[:2]] == pytest.approx([40 * problem.pass_length] * 2)  # travel fixed by passes
    assert fitness[2] == (-1e12, 1e12) and fitness[0][0] > 1.0


@pytest.mark.parametrize("keywords, match", [
    ({"passes": (20.0, 5000.0)}, "maximum speed"),
    ({"objectives": ("worst_effect", "smoothness")}, "unknown objective"),
    ({"objectives": ("effect.MgO",)}, "no parameter"),
    ({"robust": "bound", "replicates": 1}, "at least 2 replicates"),
])
def test_problems_that_cannot_work_name_the_limit(drifting, keywords, match):
    with pytest.raises(OptimiseError, match=match):
        Problem(drifting, SMALL, **keywords)


@pytest.mark.parametrize("keywords, match", [
    ({"population": 3}, "at least 4"),
    ({"population": 10}, "multiple of 4"),
    ({"reference": (1.0, 10.0)}, "no plan travels less"),
    ({"reference": (1.0,)}, "one per objective"),
])
def test_studies_that_cannot_work_name_the_limit(drifting, keywords, match):
    problem = Problem(drifting, SMALL, search_cell_size=1.0)
    with pytest.raises(OptimiseError, match=match):
        Study(problem, **keywords)


# ---------------------------------------------------------------------------------------------
# The command


@pytest.fixture(scope="module")
def record_file(drifting, tmp_path_factory):
    path = tmp_path_factory.mktemp("record") / "feed.csv"
    drifting.frame[["time", "volume", "CaO", "SiO2"]].to_csv(path, index=False)
    return path


TINY = ["--bed", "40x10", "--cell-size", "0.5", "--search-cell-size", "1.0", "--population", "8",
        "--generations", "3", "--replicates", "2", "--check-replicates", "3", "--points", "3", "--chevrons", "4",
        "--seed", "7"]


def optimise_command(record_file, out, *extra):
    return command.main([str(record_file), *TINY, "--out", str(out), *extra])


@pytest.fixture(scope="module")
def finished(record_file, tmp_path_factory):
    """The outputs folder of one uninterrupted study (two threads)."""
    out = tmp_path_factory.mktemp("study") / "out"
    assert optimise_command(record_file, out, "--workers", "2") == 0
    return out


def test_the_same_command_writes_a_byte_identical_front(finished, record_file, tmp_path):
    assert optimise_command(record_file, tmp_path / "again", "--workers", "1") == 0
    for name in ("front.csv", "convergence.csv", "chevrons.csv", "stacker.csv"):
        assert (tmp_path / "again" / name).read_bytes() == (finished / name).read_bytes(), name


def test_the_outputs_tell_the_front_against_the_chevrons(finished):
    front = pd.read_csv(finished / "front.csv", float_precision="round_trip")
    summary = json.loads((finished / "summary.json").read_text())
    convergence = pd.read_csv(finished / "convergence.csv", float_precision="round_trip")
    assert (np.diff(convergence["hypervolume"]) >= 0).all() and convergence["hypervolume"].iloc[-1] > 0
    assert summary["hypervolume"] == convergence["hypervolume"].iloc[-1]
    assert summary["reference_point"] == {"worst_effect": convergence["reference.worst_effect"].iloc[0],
                                          "travel": convergence["reference.travel"].iloc[0]}
    # The fine check moved every point by fine minus search, and the travel not at all.
    assert np.allclose(front["worst_effect.moved"], front["worst_effect.fine"] - front["worst_effect.search"])
    assert (front["travel.moved"] == 0).all()
    assert (front["worst_effect.low"] <= front["worst_effect.mean"]).all()
    # Equal travel: the verdict is the best paired difference's interval, widened for the number
    # of front points that had a chance to win (Bonferroni), lying above 0.
    equal = summary["baseline"]["equal_travel"]
    best = front.loc[front["vs_chevron.mean"].idxmax()]
    assert equal["by_single"] == pytest.approx([best["vs_chevron.mean"], best["vs_chevron.low"],
                                                best["vs_chevron.high"]])
    assert equal["by"][0] == pytest.approx(best["vs_chevron.mean"])
    assert equal["by"][1] <= best["vs_chevron.low"] and equal["by"][2] >= best["vs_chevron.high"]
    assert summary["baseline"]["joint_coverage"] == pytest.approx(1 - 0.1 / len(front))
    assert equal["beaten"] == (equal["by"][1] > 0)
    assert ("No front point" in equal["statement"]) != equal["beaten"]
    chevrons = pd.read_csv(finished / "chevrons.csv")
    assert set(front["chevron.layers"]) <= set(chevrons.loc[chevrons["grid"] == "fine", "layers"])
    best_travel = summary["baseline"]["best_travel"]
    assert best_travel["chevron_layers"] in set(chevrons.loc[chevrons["grid"] == "fine", "layers"])
    assert best_travel["beaten"] == (best_travel["by"][1] > 0)
    # The chosen plan is the front's best on the fine grid, and its instructions are written.
    assert summary["chosen"]["point"] == front["point"].iloc[0]
    assert front["worst_effect.fine"].iloc[0] == front["worst_effect.fine"].max()
    stacker = pd.read_csv(finished / "stacker.csv")
    assert stacker["time"].iloc[-1] <= 12.0 and stacker["action"].iloc[-1] == "stand"
    html = (finished / "report.html").read_text()
    assert "Is it better than a chevron?" in html and html.count("data:image/png;base64,") >= 5


def test_a_killed_study_resumes_to_the_same_front(finished, record_file, tmp_path):
    out = tmp_path / "killed"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    argv = [sys.executable, "-m", "pilora.commands.optimise", str(record_file), *TINY, "--out", str(out),
            "--workers", "2"]
    log = out / "rows" / "search-0002.csv"
    deadline = time.monotonic() + 120
    with subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) as process:
        while not (log.exists() and log.read_text().count("\n") > 4) and process.poll() is None:
            assert time.monotonic() < deadline, "the study never reached its third generation"
            time.sleep(0.01)
        process.send_signal(signal.SIGKILL)
    assert process.returncode == -signal.SIGKILL, "the study ended before it was killed"
    assert not (out / "front.csv").exists()
    assert optimise_command(record_file, out, "--workers", "1", "--resume") == 0
    assert (out / "front.csv").read_bytes() == (finished / "front.csv").read_bytes()
    assert (out / "convergence.csv").read_bytes() == (finished / "convergence.csv").read_bytes()


@pytest.mark.parametrize("extra, message", [
    (["--population", "3"], "--population 3: at least 4"),
    (["--passes", "20:900"], "--max-speed"),
    (["--reference", "1,10"], "no plan travels less"),
    (["--reference", "1000,100000"], "no front point dominates the reference point"),
    (["--objectives", "worst_effect,smoothness"], "unknown objective"),
    (["--step", "3"], "--step sets another plan"),
])
def test_the_command_refuses_what_cannot_work_with_exit_2(record_file, tmp_path, capsys, extra, message):
    assert optimise_command(record_file, tmp_path / "bad", *extra) == 2
    error = capsys.readouterr().err.strip().splitlines()
    assert len(error) == 1 and message in error[0], error


def test_a_finished_study_resumed_with_more_generations_runs_them_and_checks_the_new_front(finished, record_file,
                                                                                          tmp_path):
    out = tmp_path / "longer"
    shutil.copytree(finished / "rows", out / "rows")
    before = row_logs(out)
    assert optimise_command(record_file, out, "--workers", "1", "--resume", "--generations", "4") == 0
    after = row_logs(out)
    assert {name: after[name] for name in before} == before  # the first study's logs as they were
    assert "search-0004.csv" in after
    assert optimise_command(record_file, tmp_path / "fresh", "--workers", "1", "--generations", "4") == 0
    for name in ("front.csv", "convergence.csv"):
        assert (out / name).read_bytes() == (tmp_path / "fresh" / name).read_bytes(), name


def test_a_folder_holding_a_study_is_resumed_or_refused(finished, record_file, capsys):
    assert optimise_command(record_file, finished) == 2
    assert "add --resume" in capsys.readouterr().err


# ---------------------------------------------------------------------------------------------
# Fronts and hypervolumes against hand-computed ones


@pytest.mark.parametrize("values, directions, reference, front, volume", [
    # A staircase of three minimised points and one they dominate: 1 x 1 + 1 x 2 + 1 x 3.
    ([(1, 3), (2, 2), (3, 1), (3, 3)], (-1, -1), (4, 4), [True, True, True, False], 6.0),
    # Maximised and minimised; a duplicate counts once; a point worse than the reference in one
    # objective adds nothing: [1, 5] x [1, 2] and [1, 3] x [0, 2], overlapping in [1, 3] x [1, 2].
    ([(5, 1), (5, 1), (3, 0), (0.5, 0.5)], (1, -1), (1, 2), [True, True, True, False], 4 + 4 - 2),
    # A point on the reference in one objective adds nothing (and is still undominated).
    ([(2, 2), (4, 1)], (-1, -1), (4, 4), [True, True], 4.0),
    # Equal in one objective and worse in the other: dominated.
    ([(1, 2), (1, 3)], (-1, -1), (4, 4), [True, False], 6.0),
    # Four objectives: one box of 1 x 2 x 3 x 4.
    ([(1, 1, 1, 1)], (-1, -1, -1, -1), (2, 3, 4, 5), [True], 24.0),
    # One 3-D box: 2 x 2 x 3.
    ([(3, 1, 0)], (1, -1, 1), (1, 3, -3), [True], 12.0),
    # Two 3-D boxes of 0.5 overlapping in 0.25 (max, min, max); a dominated point; an
    # undominated one beyond the reference in the first objective.
    ([(0, 0, -0.5), (-0.5, 0, 0), (-0.6, 0.6, -0.6), (-2, -1, 1)], (1, -1, 1), (-1, 1, -1),
     [True, True, False, True], 0.75),
])
def test_fronts_and_hypervolumes_are_the_hand_computed_ones(values, directions, reference, front, volume):
    values = np.array(values, dtype=float)
    assert pareto(values, directions).tolist() == front
    assert hypervolume(values, directions, reference) == pytest.approx(volume, rel=1e-12)
    # Neither the order of the points nor dominated points change it.
    assert hypervolume(values[::-1], directions, reference) == pytest.approx(volume, rel=1e-12)
    assert hypervolume(values[pareto(values, directions)], directions, reference) == pytest.approx(volume, rel=1e-12)


# ---------------------------------------------------------------------------------------------
# Stacker paths keep to the stacker's limits


def check_instructions(table, distance, max_speed, acceleration, ends):
    """Instructions that never exceed the stacker's speed (m/min) nor its acceleration (m/s²),
    travel ``distance`` m within ``ends`` and move as their speeds say."""
    time_, position = table["time"].to_numpy(), table["position"].to_numpy()
    speed, direction = table["speed"].to_numpy(), table["direction"].to_numpy()
    assert speed.max() <= max_speed * (1 + 1e-12) and speed.min() >= 0.0
    assert position.min() >= ends[0] - 1e-9 and position.max() <= ends[1] + 1e-9
    dt = np.diff(time_) * 3600.0  # s
    assert (dt >= 0).all()
    timed = dt > 0  # rows at equal times are instant changes (the feed stops)
    change = np.abs(np.diff(speed))[timed] / 60.0 / dt[timed]
    assert change.max() <= acceleration * (1 + 1e-9)
    moving = direction[:-1] != 0
    travelled = 0.5 * (speed[:-1] + speed[1:]) * dt / 60.0  # m in each interval, the speed linear
    np.testing.assert_allclose(np.diff(position)[moving], (direction[:-1] * travelled)[moving], atol=1e-6)
    assert np.diff(position)[~moving] == pytest.approx(0.0, abs=1e-9)
    assert travelled[moving].sum() == pytest.approx(distance, rel=1e-9)


MIDDLE, START, END = [range(40, 50)], [range(0, 10)], [range(110, 120)]  # record rows without feed (h x 10)


@pytest.mark.parametrize("points, distance, acceleration, stops, travel, stands", [
    ((3.0, 35.0), 13_000.0, 0.05, [], "feed", 1),  # close to the top speed (20 m/min over 12 h: 14,400 m)
    ((3.0, 35.0, 12.0, 28.0), 1500.0, 0.002, MIDDLE, "feed", 2),
    ((3.0, 35.0, 12.0, 28.0), 1500.0, 0.002, MIDDLE, "time", 1),  # travels through the feed's stops
    ((3.0, 35.0, 12.0, 28.0), 1500.0, 0.002, START + [range(60, 62)], "feed", 3),
    ((3.0, 35.0, 12.0, 28.0), 1500.0, 0.002, END, "feed", 1),  # done when the feed stops for good
    ((18.0, 20.0, 19.0, 21.0), 300.0, 0.0005, [], "feed", 1),  # short runs that never reach the cruising speed
    ((10.0, 30.0), 25.0, 0.05, MIDDLE, "feed", 2),  # ends part-way through its second leg
])
def test_stacker_instructions_keep_to_the_limits_and_travel_the_distance(drifting, points, distance,
                                                                       acceleration, stops, travel, stands):
    record = drifting
    if stops:
        frame = record.frame.copy()
        frame.loc[[row for rows in stops for row in rows], "volume"] = 0.0
        record = Record.from_frame(frame[["time", "volume", "CaO", "SiO2"]], volume="volume")
    path = StackerPath(points=points, distance=distance, acceleration=acceleration, travel=travel)
    table = path.instructions(record, SMALL)
    assert (table["action"] == "stand").sum() == stands
    check_instructions(table, distance, path.max_speed, acceleration, (min(points), max(points)))
    assert table["position"].iloc[-1] == pytest.approx(path.path()[-1], abs=1e-9)
    fed = path.portions(record, SMALL).query("volume > 0")
    np.testing.assert_allclose(instructed_positions(table, fed["time"].to_numpy()), fed["x"], atol=1e-6)
    assert path.cruise_speed(record, SMALL) <= path.max_speed
    assert path.passes(record, SMALL) == pytest.approx(distance / np.ptp(path.path()))
    # The mean speed over the hours the stacker may move: those with feed, or all of them.
    hours = record.frame.loc[record.frame["volume"] > 0, "duration"].sum() if travel == "feed" else record.duration
    assert path.travel_speed(record, SMALL) == pytest.approx(distance / (60.0 * hours), rel=1e-9)


@pytest.mark.parametrize("points", [(14.0, 16.0), (10.0, 12.0, 14.0, 16.0)])
def test_a_path_whose_turns_leave_too_little_time_is_refused(drifting, points):
    """1000 m in 12 h is 1.4 m/min on average, far below the top speed, but a stacker that turns
    every 2 m (6 m) at 0.0002 m/s² spends 200 s (346 s) a run: 500 (167) runs take 28 h (16 h)."""
    with pytest.raises(PlanError, match="max_speed") as caught:
        StackerPath(points=points, distance=1000.0, acceleration=0.0002).instructions(drifting, SMALL)
    assert caught.value.parameter == "max_speed"
    # Points passed in the same direction are no stops: the stacker runs through them.
    through = StackerPath(points=(3.0, 19.0, 35.0), distance=1000.0, acceleration=0.0002)
    straight = StackerPath(points=(3.0, 35.0), distance=1000.0, acceleration=0.0002)
    pd.testing.assert_frame_equal(through.instructions(drifting, SMALL), straight.instructions(drifting, SMALL))


def test_the_written_stacker_table_keeps_to_the_limits_of_the_chosen_plan(finished):
    front = pd.read_csv(finished / "front.csv", float_precision="round_trip")
    stacker = pd.read_csv(finished / "stacker.csv", float_precision="round_trip")
    chosen = front.iloc[0]
    ends = (chosen["points[0]"], chosen[[c for c in front.columns if c.startswith("points[")]].max())
    check_instructions(stacker, chosen["distance"], 20.0, 0.05, ends)
    assert chosen["passes"] == pytest.approx(chosen["distance"] / (ends[1] - ends[0]))


# ---------------------------------------------------------------------------------------------
# The ask/tell study and the evaluator's map, on made-up rows (no simulation)


def made_up_rows(tasks, order=None, failed=()):
    """Rows of ``tasks`` whose objectives follow the plans: effects grow with the first turning
    point, flows with the second, and each replicate adds its own 0, 1, 3, ..."""
    replicate: dict = {}
    rows = []
    for i, task in enumerate(tasks):
        r = replicate[task.plan] = replicate.get(task.plan, -1) + 1
        spread = [0.0, 1.0, 3.0, 4.0][r]
        rows.append({"task": i, "error": "PlanError: made up" if i in failed else None,
                     "worst_effect_no_cones": task.plan.points[1] + spread,
                     "flow_variability_no_cones": task.plan.points[2] + spread,
                     "effect_no_cones.CaO": 2 * task.plan.points[1] + spread})
    rows = pd.DataFrame(rows)
    return rows if order is None else rows.iloc[order].reset_index(drop=True)


def made_up_study(problem, seed=5, shuffle=False, generations=2, **keywords):
    """A study told made-up rows (shuffled or not): its asks per generation and the study."""
    study = Study(problem, population=8, generations=generations, seed=seed, **keywords)
    asks = []
    rng = np.random.default_rng(0)
    while not study.done:
        tasks = study.ask()
        asks.append(tasks)
        study.tell(made_up_rows(tasks, rng.permutation(len(tasks)) if shuffle else None))
    return asks, study


@pytest.fixture(scope="module")
def problem(drifting):
    return Problem(drifting, SMALL, points=3, replicates=2, search_cell_size=1.0, check_replicates=1)


def test_a_study_asks_each_candidate_once_per_replicate_plan_major(problem):
    study = Study(problem, population=8, generations=1, seed=5)
    tasks = study.ask()
    assert len(tasks) == 8 * 2
    for i in range(8):
        mine = tasks[2 * i:2 * i + 2]
        assert mine[0].plan == mine[1].plan
        assert all(t.record is r for t, r in zip(mine, problem.realisations, strict=True))
    assert len({t.plan for t in tasks}) == 8 and {t.bed for t in tasks} == {problem.search_bed}
    with pytest.raises(RuntimeError, match="follows ask"):
        Study(problem, population=8, generations=1).tell(made_up_rows(tasks))
    study.tell(made_up_rows(tasks))
    study.tell(made_up_rows(study.ask()))
    with pytest.raises(RuntimeError, match="2 generations"):
        study.ask()


@pytest.mark.parametrize("algorithm", ["nsga2", "optuna", "tpe"])
def test_the_same_seed_asks_the_same_whatever_the_order_of_the_rows_told(problem, algorithm):
    asks, study = made_up_study(problem, algorithm=algorithm)
    shuffled_asks, shuffled = made_up_study(problem, shuffle=True, algorithm=algorithm)
    assert shuffled_asks == asks and len(asks) == 3
    pd.testing.assert_frame_equal(shuffled.archive, study.archive, check_exact=True)
    assert shuffled.convergence == study.convergence
    other_asks, _ = made_up_study(problem, seed=6, algorithm=algorithm)
    assert other_asks[0] != asks[0] and other_asks[2] != asks[2]


def test_rows_missing_a_task_are_refused_and_the_generation_waits_for_them(problem):
    study = Study(problem, population=8, generations=1, seed=5)
    tasks = study.ask()
    rows = made_up_rows(tasks)
    with pytest.raises(ValueError, match="expected 16 rows"):
        study.tell(rows.iloc[1:])
    assert study.generation == 0 and not len(study.archive) and study.ask() == tasks
    study.tell(rows)
    assert study.generation == 1 and len(study.archive) == 8


def test_rows_of_another_generation_or_twice_of_a_task_are_refused(problem):
    from pilora.rowlog import prepare

    study = Study(problem, population=8, generations=2, seed=5)

    def stamped(tasks):  # made-up rows carrying what evaluate stamps on them
        rows, cache = made_up_rows(tasks), {}
        rows["run_seed"] = study.run_seed
        rows["fingerprint"] = [prepare(i, task, cache).fingerprint for i, task in enumerate(tasks)]
        return rows

    first = stamped(study.ask())
    study.tell(first)
    rows = stamped(study.ask())
    with pytest.raises(OptimiseError, match="run seed"):
        study.tell(first)
    with pytest.raises(OptimiseError, match="task 0 is not of generation 1"):
        study.tell(first.assign(run_seed=study.run_seed))
    twice = rows.copy()
    twice.iloc[1] = rows.iloc[0]  # task 0's row standing in for task 1's
    with pytest.raises(ValueError, match="once each"):
        study.tell(twice)
    with pytest.raises(ValueError, match="once each"):
        problem.statistics(twice.drop(columns=["run_seed", "fingerprint"]), study._plans(study._pending))
    assert study.generation == 1
    study.tell(rows)
    assert study.generation == 2 and len(study.archive) == 16
    assert Evaluator(problem).map(problem.plan, []) == []  # DEAP may map no candidates


@pytest.mark.parametrize("objective, best", [("worst_effect", max), ("flow_variability", min),
                                             ("effect.CaO", max)])
def test_the_front_follows_each_objectives_direction(drifting, objective, best):
    """With the travel fixed (one number of passes), the front is the candidate best in the
    other objective: the largest effect, the smallest flow variability; a failed candidate
    (an error in one replicate) is never on it, however good its numbers."""
    problem = Problem(drifting, SMALL, objectives=(objective, "travel"), points=3, passes=30.0, replicates=2,
                      search_cell_size=1.0)
    study = Study(problem, population=8, generations=0, seed=5)
    tasks = study.ask()
    values = made_up_rows(tasks)
    column = problem.objectives[0].column
    star = int(np.argmax(values[column].to_numpy() * problem.directions[0])) // 2
    study.tell(made_up_rows(tasks, failed={2 * star + 1}))
    archive = study.archive
    assert not archive.loc[star, "feasible"] and archive["feasible"].sum() == 7
    front = study.front()
    feasible = archive[archive["feasible"]]
    assert len(front) == 1 and front[objective].iloc[0] == best(feasible[objective])
    assert (archive["travel"] == 30.0 * problem.pass_length).all()
    # The reference lies beyond the worst feasible value, so the front has a volume.
    worst = feasible[objective].min() if best is max else feasible[objective].max()
    assert (study.reference[0] - worst) * problem.directions[0] < 0
    assert study.convergence[0]["hypervolume"] > 0


@pytest.mark.parametrize("robust, objective, end", [("mean", "worst_effect", "mean"),
                                                    ("mean", "flow_variability", "mean"),
                                                    ("bound", "worst_effect", "low"),
                                                    ("bound", "effect.CaO", "low"),
                                                    ("bound", "flow_variability", "high")])
def test_the_evaluators_map_gives_each_candidate_its_statistic_in_order(drifting, monkeypatch, robust, objective,
                                                                       end):
    """DEAP's toolbox maps the candidates through the evaluator: one batch per call, with the
    study's batch seeds, the results in the candidates' order whatever order the rows come in,
    each the stated statistic of the candidate's replicates."""
    from deap import base

    module = sys.modules[Evaluator.__module__]  # pilora.optimise is the function
    problem = Problem(drifting, SMALL, objectives=(objective, "travel"), points=3, replicates=3, robust=robust,
                      coverage=0.8, search_cell_size=1.0)
    seeds = []

    def made_up(tasks, *, seed, **keywords):
        seeds.append(seed)
        return made_up_rows(tasks, order=np.random.default_rng(seed % 1000).permutation(len(tasks)))

    monkeypatch.setattr(module, "evaluate", made_up)
    population = [[0.9, 0.2, 0.5, 0.3], [0.1, 0.8, 0.4, 0.9], [0.5, 0.5, 0.5, 0.0]]
    toolbox = base.Toolbox()
    evaluator = Evaluator(problem, seed=11)
    toolbox.register("evaluate", problem.plan)
    toolbox.register("map", evaluator.map)
    first = toolbox.map(toolbox.evaluate, population)
    again = toolbox.map(toolbox.evaluate, iter(population[::-1]))
    assert seeds == [int(np.random.SeedSequence(11, spawn_key=(k,)).generate_state(1, np.uint64)[0] >> 1)
                     for k in (0, 1)]
    assert again == first[::-1]
    for genes, fitness in zip(population, first):
        plan = problem.plan(genes)
        base_value = {"worst_effect": plan.points[1], "flow_variability": plan.points[2],
                      "effect.CaO": 2 * plan.points[1]}[objective]
        # Ratios: the geometric mean, and the t-interval of the logarithms (80 %, 2 degrees of
        # freedom: t = 0.8 sqrt(2 / (1 - 0.8²))).
        logs = np.log(base_value + np.array([0.0, 1.0, 3.0]))
        half = 1.8856180831641267 * logs.std(ddof=1) / math.sqrt(3)
        expected = math.exp(logs.mean() + {"mean": 0.0, "low": -half, "high": half}[end])
        assert fitness == pytest.approx((expected, plan.distance), rel=1e-12)


def row_logs(folder):
    return {path.name: path.read_bytes() for path in sorted((folder / "rows").iterdir())}


@pytest.mark.parametrize("extra", [
    ["--replicates", "3"],  # tasks per candidate
    ["--points", "2"],  # the plans
    ["--max-speed", "25"],
    ["--search-cell-size", "0.8"],  # the coarse grid
    ["--seed", "8"],  # the run seeds
    ["--chevrons", "5"],  # the baseline sweep, after the whole search is taken over
    ["--check-replicates", "4"],  # the fine check, likewise
])
def test_resuming_with_a_changed_setting_is_refused_and_leaves_the_logs(finished, record_file, tmp_path, capsys,
                                                                        extra):
    out = tmp_path / "out"
    shutil.copytree(finished / "rows", out / "rows")
    before = row_logs(out)
    assert optimise_command(record_file, out, "--workers", "1", "--resume", *extra) == 2
    error = capsys.readouterr().err.strip().splitlines()
    assert len(error) == 1 and "another study" in error[0], error
    assert row_logs(out) == before and not (out / "front.csv").exists()


@pytest.mark.parametrize("objectives", [("flow_variability", "travel"), ("worst_effect", "flow_variability")])
def test_front_csv_takes_each_objective_the_right_way(drifting, tmp_path, objectives):
    """A minimised first objective as well as a maximised one: front.csv holds no point another
    dominates on the search grid, lists the best on the fine grid first, and its paired
    differences against the chevrons (rebuilt from the fine check's row log) are positive where
    the point is better."""
    from pilora.optimise import OBJECTIVES, optimise, write_outputs

    found = optimise(drifting, SMALL, objectives=objectives, population=8, generations=1, replicates=2,
                     check_replicates=3, chevrons=3, points=2, search_cell_size=1.0, seed=4, workers=2, out=tmp_path)
    summary = write_outputs(found, tmp_path, figures=False)
    front = pd.read_csv(tmp_path / "front.csv", float_precision="round_trip")
    directions = [OBJECTIVES[name].direction for name in objectives]
    assert [o["direction"] for o in summary["objectives"]] == \
        ["maximise" if d > 0 else "minimise" for d in directions]
    assert pareto(front[[f"{name}.search" for name in objectives]].to_numpy(), directions).all()
    first, sign = objectives[0], directions[0]
    assert (np.diff(front[f"{first}.fine"].to_numpy()) * sign <= 0).all()  # best first
    assert summary["chosen"][f"{first}.fine"] == front[f"{first}.fine"].iloc[0]
    fine, = (tmp_path / "rows").glob("fine-*.csv")
    fine = pd.read_csv(fine, float_precision="round_trip").sort_values("task")
    column = OBJECTIVES[first].column
    for _, point in front.iterrows():
        p = int(point["point"])
        mine = fine[column].to_numpy()[3 * p:3 * p + 3]
        chevron = fine[(fine["plan"] == "Chevron") & (fine["plan.layers"] == point["chevron.layers"])]
        assert point["vs_chevron.mean"] == pytest.approx(np.mean(sign * (mine - chevron[column].to_numpy())),
                                                         rel=1e-12)
