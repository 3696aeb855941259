"""Height maps of a linear bed stacked in chevron layers and a circular bed stacked by Chevcon.

A day of material (a synthetic record, one row per six minutes) is stacked onto each bed: along
the linear bed's centre line, back and forth, one layer per pass; on the circular bed, by a boom
swinging over a tail that advances along the ring. The figures show the heaps seen from above
(heights in m).

    python examples/plot_heights.py [--out DIR] [--quick]

Writes DIR/heights_linear.png and DIR/heights_circular.png (default DIR: build/figures).
"""

from __future__ import annotations

import argparse
import pathlib

import numpy as np
import pandas as pd

import pilora


def day_of_material(volume: float, seed: int = 3) -> pilora.Record:
    """24 h in rows of 0.1 h, `volume` m³ in all, one quality parameter wandering around 52."""
    rows = 240
    grade = 52.0 + np.cumsum(np.random.default_rng(seed).normal(0.0, 0.2, rows))
    frame = pd.DataFrame({"time": np.arange(rows) * 0.1, "volume": volume / rows, "grade": grade})
    return pilora.Record.from_frame(frame, volume="volume")


def main(argv: list[str] | None = None) -> list[pathlib.Path]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("build/figures"))
    parser.add_argument("--quick", action="store_true", help="small beds, for tests")
    args = parser.parse_args(argv)

    scale = 0.4 if args.quick else 1.0
    linear = pilora.BedSettings(length=100.0 * scale, width=20.0 * scale, chunks_per_volume_unit=8.0)
    circular = pilora.BedSettings(length=60.0 * scale, width=60.0 * scale, chunks_per_volume_unit=8.0,
                                  circular=True)
    runs = {
        # Four fifths of the roof that spans the width at 45°: length x width² / 4 m³.
        "linear": (linear, pilora.Chevron(layers=int(30 * scale)), 0.2 * linear.length * linear.width**2),
        # A tail of a quarter of the reclaim arc; as many m³ as the square has m² (a 7 m heap).
        "circular": (circular, pilora.Chevcon(tail=circular.arc_length / 4, swings=int(40 * scale)),
                     circular.length * circular.width),
    }
    paths = []
    for name, (bed, plan, volume) in runs.items():
        result = pilora.simulate(bed, day_of_material(volume), plan, seed=1)
        paths.append(pilora.save_figure(pilora.plot_heights(result), args.out / f"heights_{name}.png"))
        print(paths[-1])
    return paths


if __name__ == "__main__":
    main()
