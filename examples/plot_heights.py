"""Height maps of a linear and a circular bed after stacking.

The linear bed is stacked in chevron layers along its centre line; the circular bed turn after turn
along its reclaim arc (a ring around the bed's centre). The figure shows get_heights() of both, in
length units, seen from above.

    python examples/plot_heights.py [--out DIR] [--quick]

Writes DIR/heights.png (default DIR: build/figures).
"""

from __future__ import annotations

import argparse
import pathlib

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from bedplans import Bed, chevron_positions, correlated_input, ring_positions, save_figure  # noqa: E402


def main(argv: list[str] | None = None) -> pathlib.Path:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("build/figures"))
    parser.add_argument("--quick", action="store_true", help="small beds, for tests")
    args = parser.parse_args(argv)

    scale = 0.4 if args.quick else 1.0
    linear = Bed(length=100.0 * scale, width=20.0 * scale)
    circular = Bed(length=60.0 * scale, width=60.0 * scale, circular=True)
    volume = 0.5

    beds = []
    positions = chevron_positions(linear, layers=int(30 * scale), spacing=0.5)
    beds.append((linear, positions, f"linear bed, chevron stacking, {int(30 * scale)} layers"))
    _, _, radius = circular.ring()
    turns, per_turn = int(30 * scale), int(2 * np.pi * radius / 0.5)
    positions = ring_positions(circular, turns, per_turn)
    beds.append((circular, positions, f"circular bed, {turns} turns along the reclaim arc"))

    figure, axes = plt.subplots(1, 2, figsize=(12, 4.2), width_ratios=[1.6, 1.0],
                               layout="constrained")
    for axis, (bed, positions, title) in zip(axes, beds):
        pile = bed.build()
        table = np.column_stack([positions, np.full(len(positions), volume),
                                 correlated_input(len(positions), seed=3)])
        pile.stack_list(table, ["x", "z", "volume", "grade", "moisture"])
        heights = np.array(pile.get_heights())  # heights[z][x], length units
        image = axis.imshow(heights, origin="lower", cmap="terrain", interpolation="nearest",
                            extent=(0.0, heights.shape[1] * bed.cell_size,
                                    0.0, heights.shape[0] * bed.cell_size))
        axis.set_title(f"{title}\n{bed.length:g} x {bed.width:g}, cell {bed.cell_size:g}, "
                       f"top {heights.max():g}", fontsize=10)
        axis.set_xlabel("x")
        axis.set_ylabel("z")
        figure.colorbar(image, ax=axis, shrink=0.8, label="height")
    figure.suptitle("Height maps after stacking (get_heights)")

    return save_figure(figure, args.out, "heights.png")


if __name__ == "__main__":
    main()
