"""Comparing stacking plans fairly: at equal stacker speed, over replicates, with intervals.

:func:`compare` runs every plan family at every swept setting (stacker speeds in m/min, or layer
counts for plans that lay layers), each ``replicates`` times, and returns the ranking: one row
per plan and setting, every effect as a mean with the bounds of its interval.

Fair basis
    Plans are compared at the same stacker speed while stacking (m/min): at equal speed the
    stacker makes the same number of one-way passes along the bed whatever it lays (a chevron
    layer, a windrow row, a strata sweep), so no plan wins by travelling more. A layer count
    (``layers=``) means one-way passes for chevron and strata but rows x layers for windrow;
    use it for chevron-like plans only. Every row shows the plan's speed, passes and, where they
    mean something, layers.

Replicates
    Replicate r of every cell runs with the bed seed ``task_seed(seed, i)`` of its task (no two
    replicates share a random walk) and, with ``vary_record=True`` (the default), on realisation r
    of the record (:func:`pilora.replicates.realisations`: realisation 0 is the record, the others
    the record rotated to start elsewhere, so its events fall differently on the passes). Every
    plan runs on the same realisations.

Measures and ranking
    Per task, as :func:`pilora.evaluate` measures them with the end cones left out: ``effect_<p>``
    (homogenisation effect H = std in / std out per parameter), ``worst_effect`` (the smallest
    over the parameters whose input varies) and ``flow_variability``. Per cell: the geometric mean over the
    replicates and its interval of the stated ``coverage``, taken on the logarithm as effects
    and coefficients of variation are positive ratios (:func:`pilora.replicates.interval` with
    ``positive=True``: the geometric mean and the back-transformed Student-t interval of the mean
    logarithm, both bounds above zero), as ``<measure>``, ``<measure>_low`` and
    ``<measure>_high``. The ranking orders by ``worst_effect_low`` (the interval's lower bound of
    the worst effect: a plan ranks high only when it is good with confidence), falling back to
    the mean with a single replicate. A plan is called better than the runner-up (the best cell
    of another plan) only when its lower bound lies above the runner-up's upper bound.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

from .plans import Plan, PlanError
from .record import Record
from .replicates import interval, realisations, start_rows
from .settings import BedSettings

__all__ = ["Comparison", "PLAN_FAMILIES", "Recommendation", "compare", "comparison", "recommend"]

#: Plan families by the names the command uses.
PLAN_FAMILIES = ("chevron", "windrow", "strata", "cone-shell", "chevcon")

#: Default speeds (m/min of stacker travel while stacking) compared when none are given.
DEFAULT_SPEEDS = (10.0, 20.0)

_DEFAULT_SETTINGS: dict[str, dict[str, Any]] = {
    "windrow": {"rows": 4},
    "strata": {"swing_period": 7.0},
    "cone-shell": {"step": 10.0},
}

_UNITS = {"swing_period": "min", "step": "m", "tail": "m", "spacing": "m", "start": "m", "end": "m"}


class Recommendation(NamedTuple):
    """What a ranking says: the best row, the runner-up (best row of another plan, or None), whether
    the best is clearly better (its interval above the runner-up's), and the sentence saying so."""

    best: pd.Series
    runner_up: pd.Series | None
    clearly_better: bool
    sentence: str
    basis: str


@dataclass(frozen=True)
class Comparison:
    """A comparison's ranking (one row per cell), its grid (one row per task) and recommendation."""

    ranking: pd.DataFrame
    grid: pd.DataFrame
    recommendation: Recommendation


def _family(plan: Plan) -> str:
    name = type(plan).__name__.lower()
    return "cone-shell" if name == "coneshell" else name


def make_plan(name: str, settings: Mapping[str, Any], *, speed: float | None, layers: int | None) -> Plan:
    """The plan family ``name`` ("chevron", "windrow", "strata", "cone-shell", "chevcon") with its
    own ``settings``, by travel speed (m/min while stacking; a chevcon's swing speed) or by layer
    count (a chevcon's swings); PlanError when the settings are not a plan."""
    from . import plans as p

    if name == "cone-shell":
        return p.ConeShell(**settings)
    if name == "chevcon":
        if speed is not None:
            return p.Chevcon(**settings, swing_speed=speed)
        return p.Chevcon(**settings, swings=layers)
    kind = {"chevron": p.Chevron, "windrow": p.Windrow, "strata": p.Strata}[name]
    return kind(**settings, speed=speed) if speed is not None else kind(**settings, layers=layers)


def _settings_text(plan: Plan) -> str:
    """The plan's own settings other than its speed or layers, e.g. ``rows 4`` or ``swing period 7 min``."""
    import dataclasses

    words = []
    for item in dataclasses.fields(plan):
        field, value = item.name, getattr(plan, item.name)
        if value is None or field in ("layers", "speed", "swings", "swing_speed", "travel"):
            continue
        if item.default is not dataclasses.MISSING and value == item.default:
            continue
        if field == "valleys" and value is True:
            continue
        unit = _UNITS.get(field, "")
        shown = f"{value:g}" if isinstance(value, float) else str(value)
        words.append(f"{field.replace('_', ' ')} {shown}{' ' + unit if unit else ''}")
    return ", ".join(words)


def travel_speed(plan: Plan, record: Record, bed: BedSettings) -> float:
    """The stacker's travel speed while stacking (m/min); NaN for a plan that does not travel."""
    method = getattr(plan, "travel_speed", None)
    if callable(method):
        return float(method(record, bed))
    travel = getattr(plan, "_travel", None)
    if callable(travel):
        return float(travel(record, bed).speed) / 60.0
    speed = getattr(plan, "swing_speed", None)
    if speed is not None:
        return float(speed)
    return math.nan


def _layers(plan: Plan, passes: float) -> float:
    """Layers where the word means something: the plan's own count, else from its passes."""
    family = _family(plan)
    given = getattr(plan, "layers", None)
    if given is not None:
        return float(given)
    if family in ("chevron", "strata"):
        return passes
    if family == "windrow":
        rows = int(plan.rows)  # type: ignore[attr-defined]
        per_layer = rows - 0.5 if getattr(plan, "valleys", True) and rows > 1 else rows
        return passes / per_layer
    return math.nan


@dataclass(frozen=True)
class _Cell:
    plan: Plan
    family: str
    label: str
    settings: str
    speed: float
    passes: float
    layers: float
    swept: float | None


def _cells(record: Record, bed: BedSettings, plans: Sequence[str | Plan], speeds: Sequence[float] | None,
           layers: Sequence[int] | None, settings: Mapping[str, Mapping[str, Any]]) -> list[_Cell]:
    cells = []
    for entry in plans:
        made: list[tuple[Plan, float | None]]
        if isinstance(entry, Plan):
            made = [(entry, None)]
        else:
            if entry not in PLAN_FAMILIES:
                raise ValueError(f"unknown plan {entry!r}: choose from {', '.join(PLAN_FAMILIES)}")
            own = {**_DEFAULT_SETTINGS.get(entry, {}), **dict(settings.get(entry, {}))}
            if entry == "chevcon" and "tail" not in own:
                own["tail"] = bed.arc_length / 3.0
            if entry == "cone-shell":
                made = [(make_plan(entry, own, speed=None, layers=None), None)]
            elif speeds is not None:
                made = []
                for v in speeds:
                    try:
                        made.append((make_plan(entry, own, speed=float(v), layers=None), float(v)))
                    except PlanError as error:
                        raise PlanError(f"{entry} at {v:g} m/min: {error}") from None
            else:
                made = [(make_plan(entry, own, speed=None, layers=int(n)), float(n)) for n in layers or ()]
        for plan, swept in made:
            family = _family(plan)
            where = f" at {swept:g} m/min" if speeds is not None and swept is not None else (
                f", {swept:g} layers" if swept is not None else "")
            label = f"{family}{where}"
            try:
                passes = float(plan.passes(record, bed))
                # The speed asked for, where one was (the plan's own figure may differ in the last bit).
                speed = swept if speeds is not None and swept is not None else travel_speed(plan, record, bed)
                plan.end_cones(record, bed)
            except PlanError as error:
                raise PlanError(f"{label}: {error}") from None
            cells.append(_Cell(plan, family, label, _settings_text(plan), speed, passes,
                               _layers(plan, passes), swept))
    return cells


def comparison(
    record: Record,
    bed: BedSettings,
    *,
    plans: Sequence[str | Plan] = ("chevron", "windrow", "strata"),
    speeds: Sequence[float] | None = None,
    layers: Sequence[int] | None = None,
    replicates: int = 1,
    vary_record: bool = True,
    seed: int = 1,
    workers: int | None = None,
    coverage: float = 0.9,
    reclaim_increment: float | None = None,
    settings: Mapping[str, Mapping[str, Any]] | None = None,
    progress: bool | None = None,
) -> Comparison:
    """Runs the comparison and returns its ranking, grid and recommendation (see :func:`compare`)."""
    from .evaluate import Task, evaluate

    if speeds is not None and layers is not None:
        raise ValueError("give speeds or layers, not both")
    named = [p for p in plans if not isinstance(p, Plan)]
    if speeds is None and layers is None and named:
        speeds = DEFAULT_SPEEDS
    if speeds is not None:
        speeds = [float(v) for v in speeds]
        if not speeds or not all(math.isfinite(v) and v > 0 for v in speeds):
            raise ValueError(f"speeds must be positive m/min, not {speeds}")
    if isinstance(replicates, bool) or not isinstance(replicates, (int, np.integer)) or replicates < 1:
        raise ValueError(f"replicates must be a whole number of at least 1, not {replicates!r}")
    if not 0.0 < coverage < 1.0:
        raise ValueError(f"coverage must lie between 0 and 1, not {coverage!r}")
    cells = _cells(record, bed, plans, speeds, layers, settings or {})
    if not cells:
        raise ValueError("nothing to compare: give plans and speeds or layers")
    if vary_record:
        records = realisations(record, replicates, seed=seed)
        starts = [float(record.frame["time"].iloc[j]) for j in start_rows(record, replicates, seed=seed)]
    else:
        records, starts = [record] * replicates, [0.0] * replicates
    tasks = [Task(bed, records[r], cell.plan, reclaim_increment, label=f"{cell.label} #{r}")
             for cell in cells for r in range(replicates)]
    rows = evaluate(tasks, seed=seed, workers=workers, progress=progress)

    parameters = list(record.parameters)
    extra = [c[len("effect_no_cones."):] for c in rows.columns
             if c.startswith("effect_no_cones.") and c[len("effect_no_cones."):] not in parameters]
    parameters += extra
    grid_rows = []
    for k, (task, (_, row)) in enumerate(zip(tasks, rows.iterrows(), strict=True)):
        cell = cells[k // replicates]
        effects = {p: float(row.get(f"effect_no_cones.{p}", math.nan)) for p in parameters}
        grid_rows.append({
            "plan": cell.family, "settings": cell.settings, "speed": cell.speed, "passes": cell.passes,
            "layers": cell.layers, "replicate": k % replicates,
            "record_start_h": starts[k % replicates],
            "seed": int(row["seed"]),
            **{f"effect_{p}": v for p, v in effects.items()},
            "worst_effect": float(row.get("worst_effect_no_cones", math.nan)),
            "worst_parameter": _worst(effects),
            "flow_variability": float(row.get("flow_variability_no_cones", math.nan)),
            "cell": k // replicates,
        })
    grid = pd.DataFrame(grid_rows)
    ranking = _rank(grid, cells, parameters, coverage, replicates)
    ranking.attrs.update(
        coverage=coverage, replicates=replicates, vary_record=vary_record, seed=seed,
        swept="speed" if speeds is not None else "layers",
        statistic="worst_effect_low" if replicates > 1 else "worst_effect",
        parameters=parameters)
    return Comparison(ranking, grid.drop(columns="cell"), recommend(ranking))


def _worst(effects: Mapping[str, float]) -> str:
    finite = {p: v for p, v in effects.items() if math.isfinite(v)}
    return min(finite, key=finite.__getitem__) if finite else ""


def _rank(grid: pd.DataFrame, cells: list[_Cell], parameters: list[str], coverage: float,
          replicates: int) -> pd.DataFrame:
    measures = ["worst_effect", *[f"effect_{p}" for p in parameters], "flow_variability"]
    rows = []
    for index, cell in enumerate(cells):
        part = grid[grid["cell"] == index]
        row: dict[str, Any] = {"plan": cell.family, "settings": cell.settings, "speed": cell.speed,
                               "passes": cell.passes, "layers": cell.layers, "replicates": len(part)}
        for name in measures:
            mean, low, high = interval(part[name].to_numpy(), coverage, positive=True)
            row[name], row[f"{name}_low"], row[f"{name}_high"] = mean, low, high
        counts = part["worst_parameter"].value_counts()
        row["worst_parameter"] = str(counts.index[0]) if len(counts) else ""
        row["label"] = cell.label
        rows.append(row)
    ranking = pd.DataFrame(rows)
    key = "worst_effect_low" if replicates > 1 else "worst_effect"
    score = ranking[key].fillna(-np.inf).to_numpy()
    order = np.lexsort((ranking["speed"].fillna(0).to_numpy(), ranking["plan"].to_numpy(), -score))
    ranking = ranking.iloc[order].reset_index(drop=True)
    ranking.insert(0, "rank", np.arange(1, len(ranking) + 1))
    return ranking


def _describe(row: pd.Series) -> str:
    words = [str(row["plan"])]
    if row.get("settings"):
        words.append(f"({row['settings']})")
    if math.isfinite(row["speed"]) and row["plan"] != "cone-shell":
        words.append(f"at {row['speed']:.3g} m/min")
    where = f"{row['passes']:.0f} pass{'es' if round(row['passes']) != 1 else ''}"
    if math.isfinite(row["layers"]) and row["plan"] not in ("chevron", "strata"):
        where += f", {row['layers']:.0f} layers"
    return " ".join(words) + f" ({where})"


def _effect(row: pd.Series, coverage: float) -> str:
    text = f"worst effect H {row['worst_effect']:.3g}"
    if math.isfinite(row.get("worst_effect_low", math.nan)):
        text += f" ({coverage:.0%} interval {row['worst_effect_low']:.3g} to {row['worst_effect_high']:.3g})"
    if row.get("worst_parameter"):
        text += f", for {row['worst_parameter']}"
    return text


def recommend(ranking: pd.DataFrame) -> Recommendation:
    """The recommendation a ranking supports: its first row; the runner-up is the best row of
    another plan (the second row when every row is of one plan). The best is *clearly better*
    only when the lower bound of its worst effect lies above the runner-up's upper bound."""
    coverage = float(ranking.attrs.get("coverage", 0.9))
    replicates = int(ranking.attrs.get("replicates", 1))
    best = ranking.iloc[0]
    others = ranking[ranking["plan"] != best["plan"]]
    runner = others.iloc[0] if len(others) else (ranking.iloc[1] if len(ranking) > 1 else None)
    clearly = bool(runner is not None and math.isfinite(best.get("worst_effect_low", math.nan))
                   and math.isfinite(runner.get("worst_effect_high", math.nan))
                   and best["worst_effect_low"] > runner["worst_effect_high"])
    recommended = f"{_describe(best)}: {_effect(best, coverage)}"
    if runner is None:
        sentence = f"Only one plan was run: {recommended}."
    elif clearly:
        gain = best["worst_effect"] / runner["worst_effect"] - 1.0
        sentence = (f"Stack by {recommended}; {gain:.0%} above the runner-up, {_describe(runner)}, "
                    f"{_effect(runner, coverage)}, and the intervals do not overlap.")
    else:
        why = ("their intervals overlap" if replicates > 1 else
               "with one replicate there are no intervals: run more replicates")
        finite = ranking[np.isfinite(ranking["worst_effect"].to_numpy(dtype=float))]
        highest = finite.loc[finite["worst_effect"].idxmax()] if len(finite) else best
        if replicates > 1 and highest["label"] != best["label"]:
            why += (f"; {highest['label']} has the highest geometric mean, {highest['worst_effect']:.3g}, but a wider "
                    f"interval: run more replicates to separate them")
        sentence = (f"No plan is clearly better: {_describe(best)} ranks first with "
                    f"{_effect(best, coverage)}, against {_describe(runner)}, "
                    f"{_effect(runner, coverage)}; {why}.")
    vary = ranking.attrs.get("vary_record", True)
    basis = (f"Basis: the worst homogenisation effect H = std in / std out over the parameters whose "
             f"input varies, end cones left out; the {'geometric ' if replicates > 1 else ''}mean over "
             f"{replicates} replicate{'s' if replicates != 1 else ''} (seeds{' and record rotations' if vary else ''})"
             + (f", with its {coverage:.0%} Student-t interval on the logarithm (H is a positive ratio); "
                "ranked by the interval's lower bound."
                if replicates > 1 else "; ranked by the mean."))
    return Recommendation(best, runner, clearly, sentence, basis)


def compare(
    record: Record,
    bed: BedSettings,
    *,
    plans: Sequence[str | Plan] = ("chevron", "windrow", "strata"),
    speeds: Sequence[float] | None = None,
    layers: Sequence[int] | None = None,
    replicates: int = 1,
    vary_record: bool = True,
    seed: int = 1,
    workers: int | None = None,
    coverage: float = 0.9,
    reclaim_increment: float | None = None,
    settings: Mapping[str, Mapping[str, Any]] | None = None,
    progress: bool | None = None,
) -> pd.DataFrame:
    """Rank stacking plans on ``record`` and ``bed``: one row per plan and setting, best first.

    Parameters
    ----------
    record, bed
        The quality record and the bed's settings.
    plans
        Plan family names (``"chevron"``, ``"windrow"``, ``"strata"``, ``"cone-shell"``,
        ``"chevcon"``), each swept over ``speeds`` or ``layers``, and/or :class:`Plan` values run
        as they are.
    speeds
        Stacker travel speeds while stacking, m/min (default, when neither is given:
        :data:`DEFAULT_SPEEDS`); every family runs at each. A speed beyond a plan's reach raises
        :class:`PlanError` naming the limit.
    layers
        Layer counts instead of speeds, for chevron-like plans (one-way passes).
    replicates
        Runs per cell, each with its own seed and (``vary_record``) its own realisation of the
        record.
    vary_record
        Vary the record over the replicates (rotations, see :mod:`pilora.replicates`); False
        varies the seed only.
    seed
        The run seed; task i runs with ``task_seed(seed, i)`` (see :func:`pilora.evaluate`).
    workers
        Threads for :func:`pilora.evaluate` (default: every CPU).
    coverage
        Coverage of the intervals, between 0 and 1 (default 0.9).
    reclaim_increment
        Reclaim step (m); default the cell size.
    settings
        Per family, its own settings, e.g. ``{"windrow": {"rows": 6}}`` (defaults: windrow 4
        rows, strata a 7-minute swing, cone-shell 10 m steps, chevcon a third of the arc).

    Returns
    -------
    pandas.DataFrame
        Columns ``rank``, ``plan``, ``settings`` (text), ``speed`` (m/min while stacking, NaN for
        cone-shell), ``passes``, ``layers`` (NaN where layers mean nothing), ``replicates``, then
        for ``worst_effect``, every ``effect_<parameter>`` and ``flow_variability`` the geometric mean and
        ``_low``/``_high`` bounds of its interval on the logarithm (above zero; NaN with one
        replicate), ``worst_parameter`` (the parameter
        most often worst) and ``label``. ``attrs``: ``coverage``, ``replicates``, ``vary_record``,
        ``seed``, ``swept`` ("speed" or "layers"), ``statistic`` (the ranking's column) and
        ``parameters``. Effects are H = std in / std out with the end cones left out.
    """
    return comparison(record, bed, plans=plans, speeds=speeds, layers=layers, replicates=replicates,
                      vary_record=vary_record, seed=seed, workers=workers, coverage=coverage,
                      reclaim_increment=reclaim_increment, settings=settings, progress=progress).ranking
