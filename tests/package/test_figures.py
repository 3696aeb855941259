"""Figures: one call each, what they draw, and saving to PNG and SVG."""

import numpy as np
import pandas as pd
import pytest
from matplotlib.figure import Figure

from pilora import BedSettings, Chevron, Record, simulate
from pilora.analysis import blending
from pilora.figures import plot_effects, plot_heights, plot_quality, plot_sections, save_figure


@pytest.fixture(scope="module")
def result():
    frame = pd.DataFrame({"time": np.arange(60.0), "mass": 30.0, "q": np.random.default_rng(1).normal(size=60)})
    record = Record.from_frame(frame, mass="mass", bulk_density=2.0)
    return simulate(BedSettings(length=30.0, width=10.0, chunks_per_volume_unit=1.0), record, Chevron(layers=6), seed=4, reclaim_increment=2.0)


def test_plot_quality_puts_input_beside_output(result):
    fig = plot_quality(result, "q")
    left, right = fig.axes
    assert left.get_xlabel() == "stacking time (h)"
    assert right.get_xlabel() == "position along the reclaim axis (m)"
    reclaimed = next(line for line in right.lines if line.get_label() == "reclaimed")
    np.testing.assert_array_equal(reclaimed.get_xdata(), result.reclaimed["x"] - 1.0)  # step mid-points
    assert "H = " in right.get_title()
    with pytest.raises(ValueError, match="unknown parameters"):
        plot_quality(result, ["q", "nope"])


def test_plot_heights_and_sections_are_in_metres(result):
    heights = plot_heights(result).axes[0]
    assert heights.images[0].get_extent() == [0.0, 30.0, 0.0, 10.0]
    along, across = plot_sections(result, x=[1.0, 2.0], z=[0.5]).axes[:2]
    assert [line.get_label() for line in along.lines] == ["z = 0.5 m"]
    assert [line.get_label() for line in across.lines] == ["x = 1 m", "x = 2 m"]


def test_plot_effects_draws_one_bar_per_run_and_parameter(result):
    fig = plot_effects({"a": result, "b": blending(result)}, basis="interval", end_cones=False)
    ax = fig.axes[0]
    assert len(ax.patches) == 2
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["a", "b"]
    with pytest.raises(ValueError, match="basis"):
        plot_effects(result, basis="volume")


@pytest.mark.parametrize(("name", "magic"), [("f.png", b"\x89PNG"), ("sub/f.SVG", b"<?xml")])
def test_save_figure(tmp_path, name, magic):
    fig = Figure()
    fig.subplots().plot([0, 1], [1, 0])
    path = save_figure(fig, tmp_path / name)
    assert path.read_bytes().startswith(magic)


def test_save_figure_refuses_other_formats(tmp_path):
    with pytest.raises(ValueError, match=r"\.png or \.svg"):
        save_figure(Figure(), tmp_path / "f.jpg")
