"""Demonstration: a linear blending bed stacked in chevron layers, then reclaimed.

A synthetic input stream with two quality parameters (a slowly wandering grade with noise, seeded so
that every run gets the same input) is stacked back and forth along the middle of a linear bed,
layer by layer. The bed is then reclaimed slice by slice, and the standard deviation of each
parameter before and after the bed shows its homogenisation effect.

    python examples/demo.py [--layers N] [--csv PATH]
"""

from __future__ import annotations

import argparse
import csv
import math
import pathlib
import time

import numpy as np

from _pilora_lib import PiloraLib
from bedplans import correlated_input

# The embedded default bed: 100 x 20 length units, 8 unit chunks per volume unit (cell 0.5),
# a reclaim face at 45 degrees, eight neighbours scanned in half of the walk steps.
BED_LENGTH = 100.0
BED_WIDTH = 20.0
RECLAIM_ANGLE = 45.0
CHUNKS_PER_VOLUME_UNIT = 8.0
EIGHT_NEIGHBOUR_PROBABILITY = 0.5
RECLAIM_INCREMENT = 1.0
PORTION_VOLUME = 0.5
PORTION_SPACING = 0.25
PARAMETERS = ("grade", "moisture")


def chevron_plan(layers: int) -> np.ndarray:
    """Portion positions: along the bed's centre line, forth and back, one pass per layer."""
    forth = np.arange(PORTION_SPACING, BED_LENGTH, PORTION_SPACING)
    passes = [forth if layer % 2 == 0 else forth[::-1] for layer in range(layers)]
    x = np.concatenate(passes)
    return np.column_stack([x, np.full_like(x, BED_WIDTH / 2)])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--layers", type=int, default=60, help="chevron layers (default 60)")
    parser.add_argument("--csv", type=pathlib.Path, default=pathlib.Path("build/demo/reclaimed.csv"),
                        help="where to write the reclaimed table")
    args = parser.parse_args()

    positions = chevron_plan(args.layers)
    quality = correlated_input(len(positions), seed=7)
    table = np.column_stack([positions, np.full(len(positions), PORTION_VOLUME), quality])
    columns = ["x", "z", "volume", *PARAMETERS]

    bed = PiloraLib(BED_LENGTH, BED_WIDTH, RECLAIM_ANGLE, CHUNKS_PER_VOLUME_UNIT, False,
                    EIGHT_NEIGHBOUR_PROBABILITY, 0.0, 0.0, False, RECLAIM_INCREMENT)
    cell = 1.0 / CHUNKS_PER_VOLUME_UNIT ** (1.0 / 3.0)
    empty = bed.get_heights()
    print(f"bed: linear, {BED_LENGTH:g} x {BED_WIDTH:g}, cell {cell:g}, "
          f"grid {len(empty[0])} x {len(empty)}, reclaim face {RECLAIM_ANGLE:g} degrees")
    print(f"input: {len(table)} portions of volume {PORTION_VOLUME:g} in {args.layers} chevron layers "
          f"({len(table) * PORTION_VOLUME * CHUNKS_PER_VOLUME_UNIT:.0f} unit chunks)")

    started = time.perf_counter()
    bed.stack_list(table, columns)
    stacked = time.perf_counter()
    top = max(max(row) for row in bed.get_heights())
    result = bed.reclaim()
    reclaimed = time.perf_counter()
    print(f"stacked in {stacked - started:.3f} s, reclaimed in {reclaimed - stacked:.3f} s; "
          f"heap top {top:g}, {len(result['x'])} reclaim rows")

    volume = np.array(result["volume"])
    full = volume > 0.0
    print(f"volume stacked {table[:, 2].sum():g}, reclaimed {volume.sum():g}")
    print(f"{'parameter':<10} {'input std':>10} {'output std':>11} {'ratio':>7}")
    for index, name in enumerate(PARAMETERS):
        out = np.array(result[name])[full]
        std_in = float(np.std(quality[:, index]))
        std_out = float(np.std(out))
        ratio = std_in / std_out if std_out > 0 else math.inf
        print(f"{name:<10} {std_in:10.4f} {std_out:11.4f} {ratio:7.2f}")

    args.csv.parent.mkdir(parents=True, exist_ok=True)
    with args.csv.open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(list(result))
        writer.writerows(zip(*result.values()))
    print(f"reclaimed table written to {args.csv}")


if __name__ == "__main__":
    main()
