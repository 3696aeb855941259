"""The output's standard deviation against the number of chevron layers, for uncorrelated input.

The same volume of uncorrelated input is stacked on a linear bed in 1, 2, 4, ... chevron layers,
one record interval per reclaimed row and layer, and reclaimed through a vertical face in rows of
8 m. For such input the classic relation expects std out / std in to fall as 1 / sqrt(layers);
the figure sets the simulated ratio (per interval, variances pooled over several inputs, end cones
left out) against it. Material does not stay in its own row: it slides down the heap's flanks and
mixes with its neighbours along the bed (with few layers, also down the heap's advancing front),
so even one layer blends.

    python examples/plot_layers.py [--out DIR] [--seeds N] [--quick]

Writes DIR/layers.png (default DIR: build/figures).
"""

from __future__ import annotations

import argparse
import pathlib

import numpy as np
import pandas as pd
from matplotlib.figure import Figure

import pilora

ROW = 8.0  # m reclaimed per row


def std_ratio(bed: pilora.BedSettings, layers: int, seeds: int) -> float:
    """std out / std in (per interval, without end cones) of `layers` chevron layers of
    uncorrelated input, the variances pooled over `seeds` inputs (and bed seeds)."""
    intervals = layers * int(bed.length / ROW)
    volume = bed.length * bed.width**2 / 4  # the roof spanning the width at 45°
    var_in, var_out = 0.0, 0.0
    for seed in range(seeds):
        values = np.random.default_rng([layers, seed]).normal(size=intervals)
        frame = pd.DataFrame({"time": np.arange(intervals, dtype=float), "volume": volume / intervals,
                              "q": values})
        record = pilora.Record.from_frame(frame, volume="volume")
        # From edge to edge, as the idealised bed: the grid's edges hold the roof.
        plan = pilora.Chevron(layers=layers, start=0.0, end=bed.length)
        result = pilora.simulate(bed, record, plan, seed=seed, reclaim_increment=ROW)
        table = pilora.blending(result, end_cones=False)
        var_in += table.at["q", "std_in"] ** 2
        var_out += table.at["q", "std_out"] ** 2
    return float(np.sqrt(var_out / var_in))


def main(argv: list[str] | None = None) -> pathlib.Path:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("build/figures"))
    parser.add_argument("--seeds", type=int, default=0, help="inputs pooled per point (default 8, quick 2)")
    parser.add_argument("--quick", action="store_true", help="a short bed and fewer layers, for tests")
    args = parser.parse_args(argv)

    length = 96.0 if args.quick else 480.0
    # 1 m cells (1 chunk per m³), an 8 m roof: a coarse grid keeps the 64-layer beds quick.
    bed = pilora.BedSettings(length=length, width=16.0, reclaim_angle=90.0, chunks_per_volume_unit=1.0)
    seeds = args.seeds or (2 if args.quick else 8)
    counts = [1, 2, 4, 8] if args.quick else [1, 2, 4, 8, 16, 32, 64]
    ratios = []
    for layers in counts:
        ratios.append(std_ratio(bed, layers, seeds))
        print(f"{layers:3d} layers: std out / std in = {ratios[-1]:.3f} (1 / sqrt(layers) = {layers**-0.5:.3f})")

    figure = Figure(figsize=(7, 5), layout="constrained")
    axis = figure.subplots()
    fine = np.geomspace(counts[0], counts[-1], 100)
    axis.plot(fine, 1 / np.sqrt(fine), color="black", linestyle="--", label="1 / sqrt(layers)")
    axis.plot(counts, ratios, marker="o", label="simulated")
    axis.set_xscale("log", base=2)
    axis.set_yscale("log")
    axis.set_xticks(counts, labels=[str(c) for c in counts])
    ticks = [0.1, 0.2, 0.3, 0.5, 0.7, 1.0]
    axis.set_yticks(ticks, labels=[f"{t:g}" for t in ticks])
    axis.set_xlabel("chevron layers")
    axis.set_ylabel("std out / std in")
    axis.set_title(f"Uncorrelated input on a {bed.length:g} x {bed.width:g} m bed, vertical reclaim face, "
                   f"rows of {ROW:g} m,\nvariances pooled over {seeds} inputs, end cones left out", fontsize=10)
    axis.grid(True, which="both", alpha=0.3)
    axis.legend()
    path = pilora.save_figure(figure, args.out / "layers.png")
    print(path)
    return path


if __name__ == "__main__":
    main()
