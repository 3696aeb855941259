"""Input quality against reclaimed quality for a linear bed stacked in chevron layers.

A drifting input (two days in rows of six minutes: a grade and a moisture that wander slowly, with
noise on top) is stacked along the bed's centre line, one layer per pass, and reclaimed. The figure
(`pilora.plot_quality`) sets the input over stacking time beside the reclaimed rows along the bed;
its title gives the homogenisation effect H = std in / std out on the same-mass basis.

    python examples/plot_homogenisation.py [--out DIR] [--layers N] [--quick]

Writes DIR/homogenisation.png (default DIR: build/figures).
"""

from __future__ import annotations

import argparse
import pathlib

import numpy as np
import pandas as pd

import pilora


def drifting_input(volume: float, hours: float = 48.0, seed: int = 7) -> pilora.Record:
    """Rows of 0.1 h holding `volume` m³ in all at 1.6 t/m³; "grade" (%) and "moisture" (%) each a
    random walk plus noise around 52 and 8."""
    rows = int(hours / 0.1)
    rng = np.random.default_rng(seed)
    walk, noise = np.cumsum(rng.normal(size=(rows, 2)), axis=0), rng.normal(size=(rows, 2))
    quality = np.array([52.0, 8.0]) + walk * np.array([0.1, 0.02]) + noise * np.array([0.5, 0.2])
    frame = pd.DataFrame({"time": np.arange(rows) * 0.1, "volume": volume / rows,
                          "grade": quality[:, 0], "moisture": quality[:, 1]})
    return pilora.Record.from_frame(frame, volume="volume", bulk_density=1.6)


def main(argv: list[str] | None = None) -> pathlib.Path:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("build/figures"))
    parser.add_argument("--layers", type=int, default=40, help="chevron layers (default 40)")
    parser.add_argument("--quick", action="store_true", help="a short bed, for tests")
    args = parser.parse_args(argv)

    bed = pilora.BedSettings(length=30.0 if args.quick else 100.0, width=10.0 if args.quick else 20.0)
    record = drifting_input(0.8 * bed.heap_capacity)  # 4/5 of the largest heap the bed holds, with its end cones
    result = pilora.simulate(bed, record, pilora.Chevron(layers=args.layers), seed=7)
    effect = pilora.blending(result)["effect_same_mass"]

    figure = pilora.plot_quality(result)
    figure.suptitle(f"Chevron stacking, {args.layers} layers, {bed.length:g} x {bed.width:g} m bed: "
                    + ", ".join(f"H = {h:.1f} ({name})" for name, h in effect.items()) + ", same mass")
    path = pilora.save_figure(figure, args.out / "homogenisation.png")
    print(path)
    return path


if __name__ == "__main__":
    main()
