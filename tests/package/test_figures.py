"""Figures: one call each, what they draw, and saving to PNG and SVG."""

import numpy as np
import pandas as pd
import pytest
from matplotlib.figure import Figure

from pilora import BedSettings, Chevron, Record, simulate
from pilora.analysis import blending
from pilora.figures import decimate, plot_effects, plot_heights, plot_quality, plot_sections, plot_sweep, save_figure


@pytest.fixture(scope="module")
def result():
    frame = pd.DataFrame({"time": np.arange(60.0), "mass": 30.0, "q": np.random.default_rng(1).normal(size=60)})
    record = Record.from_frame(frame, mass="mass", bulk_density=2.0)
    return simulate(BedSettings(length=60.0, width=10.0, chunks_per_volume_unit=1.0), record, Chevron(layers=6), seed=4, reclaim_increment=2.0)


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


def test_quality_and_effects_are_drawn_on_the_stated_block_basis(result):
    # The blocks drawn, the band and the bars are those of blending's block basis (one hour of
    # feed by default), not the per-row blocks whose size follows the grid.
    table = blending(result)
    left, right = plot_quality(result, "q").axes
    blocks = next(line for line in left.lines if line.get_label().startswith("blocks of"))
    assert blocks.get_label() == f"blocks of {table.attrs['block_mass']:,.0f} t"
    band = next(patch for patch in right.patches if str(patch.get_label()).startswith("input mean"))
    low, high = (band.get_transform() - right.transData).transform([(0, 0), (0, 1)])[:, 1]
    mean, std = table.at["q", "mean_in"], table.at["q", "std_in_block"]
    assert (low, high) == pytest.approx((mean - std, mean + std), rel=1e-9)
    assert f"H = {table.at['q', 'effect_block']:.2f} (blocks of" in right.get_title()

    without = blending(result, end_cones=False)
    ax = plot_effects(result, end_cones=False).axes[0]
    assert ax.patches[0].get_height() == pytest.approx(without.at["q", "effect_block"])
    assert "blocks of" in ax.get_ylabel()
    with pytest.raises(ValueError, match="no effect_block column"):
        plot_effects(without.drop(columns="effect_block"))


def test_plot_heights_and_sections_are_in_metres(result):
    heights = plot_heights(result).axes[0]
    assert heights.images[0].get_extent() == [0.0, 60.0, 0.0, 10.0]
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


def test_save_figure_draws_names_the_font_lacks_without_warnings(tmp_path, recwarn):
    # A CJK header: the font has no glyph for it, drawn as boxes, and nothing on standard error.
    fig = Figure()
    fig.subplots().set_title("日本 品質")
    save_figure(fig, tmp_path / "f.png")
    assert not [w for w in recwarn if "Glyph" in str(w.message)]


def test_save_figure_refuses_other_formats(tmp_path):
    with pytest.raises(ValueError, match=r"\.png or \.svg"):
        save_figure(Figure(), tmp_path / "f.jpg")


def test_names_with_dollar_signs_are_drawn_as_written(tmp_path):
    # "$...$" is mathtext to matplotlib; "\frac{a}" without its arguments does not parse at all.
    name = r"cost $\frac{a}$"
    frame = pd.DataFrame({"time": np.arange(40.0), "mass": 30.0, name: np.random.default_rng(2).normal(size=40)})
    record = Record.from_frame(frame, mass="mass", bulk_density=2.0)
    run = simulate(BedSettings(length=60.0, width=10.0, chunks_per_volume_unit=1.0), record, Chevron(layers=4), seed=1)
    for fig in (plot_quality(run), plot_effects({name: run})):
        save_figure(fig, tmp_path / "f.png")
        texts = [t.get_text() for ax in fig.axes for t in (ax.yaxis.label, *ax.get_xticklabels())]
        assert any(name in t.replace("\\$", "$") for t in texts)


def test_decimate_keeps_every_extreme_of_a_long_line():
    x = np.arange(100_000.0)
    y = np.sin(x / 500.0) + np.where(x == 77_777, 5.0, 0.0)
    short_x, short_y = decimate(x, y, limit=2000)
    assert len(short_x) <= 2000 and np.all(np.diff(short_x) > 0)
    assert short_y.max() == y.max() and short_y.min() == y.min()
    assert decimate(x[:10], y[:10])[1] is not None and len(decimate(x[:10], y[:10])[0]) == 10


def test_plot_sweep_draws_a_band_per_plan_and_a_level_for_plans_without_speed():
    ranking = pd.DataFrame({
        "plan": ["chevron", "chevron", "cone-shell"], "speed": [10.0, 20.0, np.nan],
        "worst_effect": [20.0, 30.0, 5.0], "worst_effect_low": [18.0, 27.0, 4.0],
        "worst_effect_high": [22.0, 33.0, 6.0]})
    ranking.attrs.update(coverage=0.9, swept="speed")
    ax = plot_sweep(ranking).axes[0]
    assert ax.get_xlabel() == "stacker speed while stacking (m/min)"
    chevron = next(line for line in ax.lines if line.get_label() == "chevron")
    np.testing.assert_array_equal(chevron.get_xdata(), [10.0, 20.0])
    assert len(ax.collections) == 1 and len(ax.patches) == 1  # the band, and the level's span
    assert "90% interval" in ax.get_title()
