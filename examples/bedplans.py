"""Stacking plans shared by the examples: bed settings, synthetic input, chevron and ring plans,
and one complete stack-then-reclaim run of a bed.

A plan is plain data (settings, numbers of layers and portions, a seed): it can be pickled and sent
to another process, which builds its own bed from it. A PiloraLib object itself cannot be pickled.
"""

from __future__ import annotations

import math
import pathlib
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

from _pilora_lib import PiloraLib

Array = npt.NDArray[np.float64]

PARAMETERS = ("grade", "moisture")


@dataclass(frozen=True)
class Bed:
    """The settings of one bed; lengths in the caller's length unit, the angle in degrees."""

    length: float = 100.0  # bed_size_x
    width: float = 20.0  # bed_size_z
    reclaim_angle: float = 45.0
    chunks_per_volume_unit: float = 8.0  # particles_per_volume_unit
    circular: bool = False
    eight_neighbour_probability: float = 0.5
    reclaim_increment: float = 1.0

    @property
    def cell_size(self) -> float:
        return 1.0 / self.chunks_per_volume_unit ** (1.0 / 3.0)

    def build(self) -> PiloraLib:
        return PiloraLib(self.length, self.width, self.reclaim_angle, self.chunks_per_volume_unit,
                         self.circular, self.eight_neighbour_probability, 0.0, 0.0, False,
                         self.reclaim_increment)

    def ring(self) -> tuple[float, float, float]:
        """Centre (x, z) and radius of the arc along which a circular bed is reclaimed."""
        radius = min(self.length, self.width) / 4.0
        return self.length / 2.0 - 0.5, self.width / 2.0 - 0.5, radius


def correlated_input(portions: int, seed: int) -> Array:
    """Two quality parameters per portion: slowly wandering grades (first-order autoregressive,
    so neighbouring portions are alike) plus noise, around the means 52 and 8."""
    rng = np.random.default_rng(seed)
    shocks = rng.normal(0.0, 1.0, size=(portions, 2))
    wander = np.empty_like(shocks)
    wander[0] = shocks[0]
    for t in range(1, portions):
        wander[t] = 0.995 * wander[t - 1] + 0.1 * shocks[t]
    values: Array = np.array([52.0, 8.0]) + wander * np.array([2.0, 0.5]) + shocks * np.array([0.5, 0.2])
    return values


def uncorrelated_input(portions: int, seed: int) -> Array:
    """Two quality parameters per portion, independent from portion to portion."""
    rng = np.random.default_rng(seed)
    values: Array = np.array([52.0, 8.0]) + rng.normal(0.0, 1.0, size=(portions, 2)) * np.array([2.0, 0.5])
    return values


def chevron_positions(bed: Bed, layers: int, spacing: float) -> Array:
    """(x, z) of every portion of a chevron plan: along the bed's centre line, forth and back,
    one pass per layer, a portion every `spacing` length units."""
    forth = np.arange(spacing / 2.0, bed.length, spacing)
    passes = [forth if layer % 2 == 0 else forth[::-1] for layer in range(layers)]
    x = np.concatenate(passes)
    return np.column_stack([x, np.full_like(x, bed.width / 2.0)])


def ring_positions(bed: Bed, turns: int, portions_per_turn: int) -> Array:
    """(x, z) of every portion of a circular bed stacked turn after turn along its reclaim arc."""
    cx, cz, radius = bed.ring()
    angle = np.linspace(0.0, 2.0 * math.pi * turns, turns * portions_per_turn, endpoint=False)
    return np.column_stack([cx + radius * np.cos(angle), cz + radius * np.sin(angle)])


def run(bed: Bed, positions: Array, volume: float, quality: Array) -> tuple[PiloraLib, dict[str, list[float]]]:
    """Stacks one portion of `volume` per position with the given quality, then reclaims the bed.
    Returns the bed (for its heights) and the reclaimed table."""
    table = np.column_stack([positions, np.full(len(positions), volume), quality])
    pile = bed.build()
    pile.stack_list(table, ["x", "z", "volume", *PARAMETERS])
    return pile, pile.reclaim()


def std_ratio(quality: Array, result: dict[str, list[float]], core: float = 0.0) -> list[float]:
    """The homogenisation effect per parameter: the standard deviation of the input portions over
    that of the reclaimed rows that hold material. With `core` > 0, rows in that fraction of the
    bed's length at either end (the poorly blended end cones) are left out."""
    x = np.array(result["x"])
    keep = np.array(result["volume"]) > 0.0
    if core > 0.0:
        keep &= (x >= core * x[-1]) & (x <= (1.0 - core) * x[-1])
    return [float(np.std(quality[:, i]) / np.std(np.array(result[name])[keep]))
            for i, name in enumerate(PARAMETERS)]


@dataclass(frozen=True)
class Plan:
    """A chevron stacking plan to evaluate: plain, picklable data."""

    layers: int
    spacing: float = 0.5
    volume: float = 0.5
    seed: int = 1
    bed: Bed = field(default_factory=Bed)


def evaluate(plan: Plan) -> dict[str, float]:
    """Builds a bed for the plan, stacks a correlated input and reclaims it; returns the plan's
    figures of merit. Runs wherever it is called: the bed never leaves this function."""
    positions = chevron_positions(plan.bed, plan.layers, plan.spacing)
    quality = correlated_input(len(positions), plan.seed)
    _, result = run(plan.bed, positions, plan.volume, quality)
    grade, moisture = std_ratio(quality, result)
    return {"layers": float(plan.layers), "seed": float(plan.seed),
            "volume": float(sum(result["volume"])), "grade_ratio": grade, "moisture_ratio": moisture}


def save_figure(figure: object, out: pathlib.Path, name: str) -> pathlib.Path:
    """Writes a matplotlib figure as out/name, closes it and prints the path."""
    import matplotlib.pyplot as plt

    out.mkdir(parents=True, exist_ok=True)
    path = out / name
    figure.savefig(path, dpi=110)  # type: ignore[attr-defined]
    plt.close(figure)  # type: ignore[arg-type]
    print(path)
    return path
