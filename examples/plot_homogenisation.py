"""Input quality against reclaimed quality for a chevron-stacked linear bed.

A wandering input stream (two quality parameters) is stacked in chevron layers, fed to the bed as a
pandas DataFrame, and reclaimed. The figure shows both parameters before and after the bed against
the cumulative volume (stacked for the input, reclaimed for the output); the title gives the
homogenisation effect, the standard deviation of the input over that of the output.

    python examples/plot_homogenisation.py [--out DIR] [--layers N] [--quick]

Writes DIR/homogenisation.png (default DIR: build/figures).
"""

from __future__ import annotations

import argparse
import pathlib

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from bedplans import PARAMETERS, Bed, chevron_positions, correlated_input, save_figure, std_ratio  # noqa: E402


def main(argv: list[str] | None = None) -> pathlib.Path:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("build/figures"))
    parser.add_argument("--layers", type=int, default=40, help="chevron layers (default 40)")
    parser.add_argument("--quick", action="store_true", help="a short bed, for tests")
    args = parser.parse_args(argv)

    bed = Bed(length=30.0, width=10.0) if args.quick else Bed()
    volume = 0.5
    positions = chevron_positions(bed, args.layers, spacing=0.5)
    quality = correlated_input(len(positions), seed=7)

    portions = pd.DataFrame({"x": positions[:, 0], "z": positions[:, 1],
                             "volume": np.full(len(positions), volume)})
    for index, name in enumerate(PARAMETERS):
        portions[name] = quality[:, index]

    pile = bed.build()
    pile.stack_list(portions.to_numpy(), list(portions.columns))
    result = pile.reclaim()
    ratios = std_ratio(quality, result)

    stacked = np.cumsum(portions["volume"].to_numpy())
    reclaimed = np.cumsum(result["volume"])
    rows = np.array(result["volume"]) > 0.0

    figure, axes = plt.subplots(len(PARAMETERS), 1, figsize=(9, 6), sharex=True,
                               layout="constrained")
    for axis, name, ratio in zip(axes, PARAMETERS, ratios):
        axis.plot(stacked, portions[name], color="tab:gray", linewidth=0.4, alpha=0.7,
                  label="input (per portion)")
        axis.plot(reclaimed[rows], np.array(result[name])[rows], color="tab:red", linewidth=1.6,
                  label=f"reclaimed (per {bed.reclaim_increment:g} length unit)")
        axis.set_ylabel(name)
        axis.set_title(f"{name}: std in / std out = {ratio:.1f}", fontsize=10)
        axis.legend(loc="upper right", fontsize=8)
    axes[-1].set_xlabel("cumulative volume (stacked for the input, reclaimed for the output)")
    figure.suptitle(f"Chevron stacking, {args.layers} layers, {bed.length:g} x {bed.width:g} bed: "
                    f"homogenisation effect {ratios[0]:.1f} ({PARAMETERS[0]}), "
                    f"{ratios[1]:.1f} ({PARAMETERS[1]})")

    return save_figure(figure, args.out, "homogenisation.png")


if __name__ == "__main__":
    main()
