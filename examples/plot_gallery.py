"""The figures of one run, as the README's gallery shows them.

The sample record (two days of crushed limestone, about 54,000 t) stacked on a 200 x 40 m bed in
a chevron of 16 layers, with a section across the bed at x = 100 m and one along it at z = 20 m:
the input against the reclaimed quality, the height map, the two sections coloured by stacking
time and by CaO, and the heap in 3-D.

    python examples/plot_gallery.py [--out DIR] [--cell-size M] [--quick]

Writes DIR/quality.png, heights.png, section_across_time.png, section_across_cao.png,
section_along.png and heap.png (default DIR: build/figures).
"""

from __future__ import annotations

import argparse
import pathlib

import pilora

FIGURES = ("quality.png", "heights.png", "section_across_time.png", "section_across_cao.png",
           "section_along.png", "heap.png")


def main(argv: list[str] | None = None) -> list[pathlib.Path]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("build/figures"))
    parser.add_argument("--cell-size", type=float, default=0.5, help="grid cell in m (default 0.5)")
    parser.add_argument("--quick", action="store_true", help="1 m cells, for tests")
    args = parser.parse_args(argv)

    record = pilora.sample_record()
    bed = pilora.BedSettings(200.0, 40.0, cell_size=1.0 if args.quick else args.cell_size)
    result = pilora.simulate(bed, record, pilora.Chevron(layers=16), seed=1,
                             sections={"across": (100.0,), "along": (20.0,)})  # m
    figures = [
        pilora.plot_quality(result, ["CaO", "SiO2"]),
        pilora.plot_heights(result),
        pilora.plot_section(result, 0, "time"),  # across the bed at x = 100 m
        pilora.plot_section(result, 0, "CaO"),
        pilora.plot_section(result, 1, "time"),  # along the bed at z = 20 m
        pilora.plot_heap_3d(result),
    ]
    args.out.mkdir(parents=True, exist_ok=True)
    paths = [pilora.save_figure(figure, args.out / name) for figure, name in zip(figures, FIGURES)]
    for path in paths:
        print(path)
    return paths


if __name__ == "__main__":
    main()
