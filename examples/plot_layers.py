"""The effect of the number of chevron layers on the output standard deviation.

The same total volume of uncorrelated input is stacked on a linear bed in 1, 2, 4, ... chevron
layers, one portion per reclaim increment and layer, and reclaimed with a vertical face, so that
every reclaimed row holds about one portion of each layer. For such input the classic relation
expects the output standard deviation to fall as 1/sqrt(layers); the figure sets the simulated
ratio std out / std in against it. A portion does not stay in its own slice: it slides down the
heap's flanks and mixes with its neighbours along the bed, so even one layer blends, and the
simulated curve starts below 1. The rows in the first and last tenth of the bed (the end cones)
are left out of the output standard deviation.

    python examples/plot_layers.py [--out DIR] [--quick]

Writes DIR/layers.png (default DIR: build/figures).
"""

from __future__ import annotations

import argparse
import pathlib

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from bedplans import PARAMETERS, Bed, chevron_positions, run, save_figure, std_ratio, uncorrelated_input  # noqa: E402


def main(argv: list[str] | None = None) -> pathlib.Path:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("build/figures"))
    parser.add_argument("--seeds", type=int, default=0, help="input streams averaged per point (default 8, quick 2)")
    parser.add_argument("--quick", action="store_true", help="a short bed and fewer layers, for tests")
    args = parser.parse_args(argv)

    # A vertical reclaim face: every reclaimed row is the column of the bed above one increment.
    bed = Bed(length=40.0, width=12.0, reclaim_angle=90.0) if args.quick else Bed(reclaim_angle=90.0)
    seeds = args.seeds or (2 if args.quick else 8)
    counts = [1, 2, 4, 8, 16] if args.quick else [1, 2, 4, 8, 16, 32, 64]
    volume_per_length = 30.0 if not args.quick else 10.0
    spacing = bed.reclaim_increment
    per_layer = len(chevron_positions(bed, 1, spacing))

    ratios = np.empty((len(counts), len(PARAMETERS)))
    for row, layers in enumerate(counts):
        volume = volume_per_length * bed.length / (layers * per_layer)
        positions = chevron_positions(bed, layers, spacing)
        seen = []
        for seed in range(seeds):
            quality = uncorrelated_input(len(positions), seed)
            _, result = run(bed, positions, volume, quality)
            seen.append([1.0 / r for r in std_ratio(quality, result, core=0.1)])
        ratios[row] = np.mean(seen, axis=0)
        print(f"{layers:3d} layers, portions of volume {volume:7.3f}: std out / std in = "
              + ", ".join(f"{v:.3f} ({name})" for v, name in zip(ratios[row], PARAMETERS)))

    layers_axis = np.array(counts, dtype=float)
    figure, axis = plt.subplots(figsize=(7, 5), layout="constrained")
    fine = np.geomspace(layers_axis[0], layers_axis[-1], 100)
    axis.plot(fine, 1.0 / np.sqrt(fine), color="black", linestyle="--", label="1 / sqrt(layers)")
    one_layer = float(ratios[0].mean())
    axis.plot(fine, one_layer / np.sqrt(fine), color="gray", linestyle=":",
              label=f"{one_layer:.2f} / sqrt(layers) (from one layer)")
    for index, (name, marker) in enumerate(zip(PARAMETERS, "os")):
        axis.plot(layers_axis, ratios[:, index], marker=marker, linestyle="-", label=f"simulated, {name}")
    axis.set_xscale("log", base=2)
    axis.set_yscale("log")
    axis.set_xticks(counts, labels=[str(c) for c in counts])
    axis.set_xlabel("chevron layers")
    axis.set_ylabel("std out / std in")
    axis.set_title(f"Layers against output variability, uncorrelated input\n"
                   f"{bed.length:g} x {bed.width:g} bed, {volume_per_length:g} volume per length unit, "
                   f"reclaim face 90 degrees, mean of {seeds} inputs", fontsize=10)
    axis.grid(True, which="both", alpha=0.3)
    axis.legend()

    return save_figure(figure, args.out, "layers.png")


if __name__ == "__main__":
    main()
