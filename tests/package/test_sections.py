"""Sections of a run: they only read, hold what came to rest in them, travel with the Result, meet
the chevron's layers on the sample record, and are drawn."""

import pickle

import numpy as np
import pytest
from scipy.stats import spearmanr

import pilora
from pilora import BedSettings, Chevron, simulate


@pytest.fixture(scope="module")
def chevron():
    """The sample record on a 200 x 40 m bed of 0.5 m cells, 20 chevron layers, with sections
    across the middle and along the centre line."""
    bed = BedSettings(200, 40, chunks_per_volume_unit=8)
    record, plan = pilora.sample_record(), Chevron(layers=20)
    plain = simulate(bed, record, plan, seed=5)
    probed = simulate(bed, record, plan, seed=5, sections={"along": 20.0, "across": (100.0, 30.0)})
    return plain, probed


def test_sections_only_read(chevron):
    plain, probed = chevron
    assert plain.sections == ()
    assert probed.heights.tobytes() == plain.heights.tobytes()
    assert probed.reclaimed.columns.equals(plain.reclaimed.columns)
    assert probed.reclaimed.to_numpy().tobytes() == plain.reclaimed.to_numpy().tobytes()
    assert probed.balance == plain.balance


def test_sections_hold_what_rests_in_their_cells(chevron):
    _, result = chevron
    assert [(s.kind, s.position, s.axis) for s in result.sections] == [
        ("across", 100.0, "z"), ("across", 30.0, "z"), ("along", 20.0, "x")]
    chunk_height = result.bed.chunk_height
    for section in result.sections:
        rows, cells = section.volume.shape
        assert cells == (80 if section.kind == "across" else 400)
        assert section.cell_size == result.cell_size == 0.5 and section.cell_height == chunk_height
        assert list(section.values) == ["time", *result.parameters]
        # Every cell under the surface holds one chunk, and none above it.
        filled = np.arange(rows)[:, None] < np.rint(section.surface / chunk_height)
        np.testing.assert_array_equal(section.volume > 0, filled)
        for name, values in section.values.items():
            assert values.shape == (rows, cells) and not values.flags.writeable
            assert np.isnan(values[~filled]).all() and np.isfinite(values[filled]).all()
            low, high = (0.0, result.record.duration) if name == "time" else (
                result.record.frame[name].min(), result.record.frame[name].max())
            assert ((values[filled] >= low - 1e-9) & (values[filled] <= high + 1e-9)).all(), name
    again = pickle.loads(pickle.dumps(result))
    np.testing.assert_array_equal(again.sections[2].values["time"], result.sections[2].values["time"])


def test_the_crest_vertical_meets_the_chevrons_layers_in_order(chevron):
    _, result = chevron
    middle = result.sections[0]
    column = middle.values["time"][:, middle.volume.shape[1] // 2]
    column = column[np.isfinite(column)]
    assert spearmanr(np.arange(len(column)), column).statistic >= 0.9
    # The passes: each starts where the stacker turns back along x (it stands while the feed stops).
    x, time = result.portions["x"].to_numpy(), result.portions["time"].to_numpy()
    moves = np.flatnonzero(np.diff(x))
    turns = moves[1:][np.sign(np.diff(x)[moves[1:]]) != np.sign(np.diff(x)[moves[:-1]])] + 1
    starts = np.concatenate(([time[0]], time[turns]))
    assert len(starts) == 20
    met = np.unique(np.searchsorted(starts, column, side="right"))
    assert len(met) >= 0.6 * 20


@pytest.mark.parametrize("bed, sections, message", [
    (BedSettings(200, 40, chunks_per_volume_unit=1), {"across": 250.0}, "x = 250 m lies outside"),
    (BedSettings(200, 40, chunks_per_volume_unit=1), {"along": [1.0] * 17}, "at most 16"),
    (BedSettings(200, 40, chunks_per_volume_unit=1), {"sideways": 1.0}, "'across' and 'along'"),
])
def test_sections_the_bed_cannot_take_are_refused(bed, sections, message):
    with pytest.raises(ValueError, match=message):
        simulate(bed, pilora.sample_record(), Chevron(layers=4), seed=1, sections=sections)


def test_figures(chevron):
    _, result = chevron
    time = pilora.plot_section(result, 0, "time")
    assert time.axes[1].get_ylabel() == "stacking time (h)"
    parameter = result.parameters[0]
    quality = pilora.plot_section(result, 2, parameter)
    assert quality.axes[1].get_ylabel().startswith(parameter)
    for color in ("height", "time"):
        heap = pilora.plot_heap_3d(result, color)
        assert heap.axes[0].name == "3d"
    with pytest.raises(ValueError, match="what must be one of"):
        pilora.plot_section(result, 0, "colour")
    with pytest.raises(ValueError, match="no sections"):
        pilora.plot_section(chevron[0], 0)


def test_layer_lines_only_where_the_grid_resolves_the_layers():
    from pilora.sections import _resolved_edges

    edges_h, edges_v = np.arange(7.0), np.arange(9.0)
    filled = np.ones((8, 6), dtype=bool)
    # Layers four cells thick: one line between them, across the section.
    thick = np.repeat([[0], [1]], 4, axis=0) * np.ones((1, 6), dtype=int)
    assert sorted(_resolved_edges(thick, filled, edges_h, edges_v)) == [((c, 4.0), (c + 1.0, 4.0)) for c in range(6)]
    # A new layer in every row (many passes on coarse cells): no line, or the figure shows the grid.
    thin = np.arange(8)[:, None] * np.ones((1, 6), dtype=int)
    assert _resolved_edges(thin, filled, edges_h, edges_v) == []
    # Resolved below, thin above: lines only between the thick layers.
    mixed = np.array([0, 0, 0, 1, 1, 1, 2, 3])[:, None] * np.ones((1, 6), dtype=int)
    assert {segment[0][1] for segment in _resolved_edges(mixed, filled, edges_h, edges_v)} == {3.0}


def test_a_section_of_passes_thinner_than_a_cell_is_drawn_without_a_grid_of_lines():
    # 60 layers on 1 m cells: the passes are a fraction of a chunk thick; 4 layers are resolved.
    from matplotlib.collections import LineCollection

    bed, record = BedSettings(200, 40, cell_size=1.0), pilora.sample_record()
    lines = []
    for layers in (60, 4):
        result = simulate(bed, record, Chevron(layers=layers), seed=1, sections={"across": 100.0})
        ax = pilora.plot_section(result, 0, "time").axes[0]
        lines.append(sum(len(c.get_segments()) for c in ax.collections if isinstance(c, LineCollection)))
    filled = int(np.isfinite(result.sections[0].values["time"]).sum())
    assert lines[0] < 0.05 * filled < lines[1]
