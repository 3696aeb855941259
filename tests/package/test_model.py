"""The model against theory beyond the handbook relation, and the calibration study's own measures.

Autocorrelated input is compared with the idealised flat-layer bed through the bed's response:
every record interval is stacked with a parameter of its own, so the reclaimed averages give the
share of each row that came from each interval, and the expected effect for an AR(1) input follows
exactly, without drawing inputs (scripts/calibrate.py, which writes docs/model.md).
"""

import importlib.util
import math
import re
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from pilora import BedSettings, Chevcon, Chevron, Record, blending, simulate

ROOT = Path(__file__).resolve().parents[2]


def _load_study():
    module_spec = importlib.util.spec_from_file_location("calibrate", ROOT / "scripts" / "calibrate.py")
    module = importlib.util.module_from_spec(module_spec)
    sys.modules.setdefault("calibrate", module)
    module_spec.loader.exec_module(module)
    return module


calibrate = _load_study()


@pytest.mark.parametrize(
    ("layers", "lengths", "published"), [(4, 1, 2.9), (16, 1, 6.7), (64, 1, 14.1), (4, 5, 3.7), (16, 5, 11.6), (64, 5, 28.7)]
)
def test_idealised_flat_layer_bed_gives_the_published_effects(layers, lengths, published):
    assert round(calibrate.flat_layer_effect(layers, 100, lengths * 100), 1) == published


def test_idealised_bed_is_the_handbook_for_uncorrelated_input_and_its_response_gives_the_same():
    layers, per_pass = 6, 20
    m = layers * per_pass
    assert calibrate.flat_layer_effect(layers, per_pass, 0) == pytest.approx(math.sqrt(layers * (m - 1) / (m - layers)))
    # The idealised bed as shares of intervals per slice: the response route must agree.
    shares = np.stack([calibrate.chevron_layers(row, layers) for row in np.eye(m)], axis=1)
    for length in (0.0, 7.0, 100.0):
        assert calibrate.expected_effect(shares, np.ones(per_pass), length) == pytest.approx(
            calibrate.flat_layer_effect(layers, per_pass, length), rel=1e-10)


@pytest.mark.parametrize("layers", [4, 16, 64])
def test_autocorrelated_input_blends_as_in_the_idealised_bed(layers):
    """Half-metre cells (8 m of roof in 16 chunks): within a few per cent for drift over one pass and five."""
    per_pass = 30
    shares, volumes = calibrate.response_matrix(layers, per_pass, seed=layers, chunks_per_volume_unit=8.0)
    assert shares.shape == (per_pass, layers * per_pass)
    assert np.allclose(shares.sum(axis=1), 1.0)
    for length in (per_pass, 5 * per_pass):
        ratio = calibrate.expected_effect(shares, volumes, length) / calibrate.flat_layer_effect(layers, per_pass, length)
        assert 0.97 < ratio < 1.04, (layers, length, ratio)


@pytest.mark.parametrize(
    ("settings", "plan"),
    [
        # (2100 m³ fill these beds beyond open ends: stacked from edge to edge.)
        (BedSettings(60.0, 14.0, chunks_per_volume_unit=1.0), Chevron(layers=9, start=0.0, end=60.0)),
        (BedSettings(60.0, 14.0, reclaim_angle=60.0, repose_angle=35.0, chunks_per_volume_unit=3.0),
         Chevron(layers=20, start=0.0, end=60.0)),
        (BedSettings(40.0, 40.0, circular=True, reclaim_angle=40.0, repose_angle=37.5, chunks_per_volume_unit=1.0),
         Chevcon(tail=12.0, swings=15)),
    ],
    ids=["chevron", "chevron-at-35-degrees", "chevcon"],
)
def test_each_parameters_mass_weighted_mean_is_conserved(settings, plan):
    """The reclaimed mean of every parameter is the input's, up to what stays on the bed or in the buffer."""
    rng = np.random.default_rng(4)
    n = 500
    values = {"Fe": 1e3 + 40 * rng.standard_normal(n), "trace": 1e-3 * rng.random(n), "flag": (rng.random(n) < 0.1) * 1.0}
    frame = pd.DataFrame({"time": np.arange(n) * 0.1, "mass": 4.0 + rng.random(n), **values})
    record = Record.from_frame(frame, mass="mass", bulk_density=1.7, last_duration=0.1)
    result = simulate(settings, record, plan, seed=9)
    table = blending(result)
    b = result.balance
    left = (b["on_bed"] + b["buffered"]) / b["reclaimed"]
    for name, v in values.items():
        mean_in = table.at[name, "mean_in"]
        assert mean_in == pytest.approx(np.average(v, weights=frame["mass"]), rel=1e-12)
        bound = left * np.abs(v - mean_in).max() + 1e-12 * np.abs(v).max()
        assert abs(table.at[name, "mean_out"] - mean_in) <= bound, (name, table.at[name, "mean_out"], mean_in, bound)


def _pyramid(kind: str, radius: int = 30) -> np.ndarray:
    k, i = np.mgrid[-radius - 3 : radius + 4, -radius - 3 : radius + 4]
    distance = {"diamond": np.abs(i) + np.abs(k), "square": np.maximum(np.abs(i), np.abs(k)), "disc": np.hypot(i, k)}[kind]
    return np.maximum(radius - distance, 0.0)


@pytest.mark.parametrize(
    ("kind", "ratio", "roundness", "sign"),
    [("diamond", 1 / math.sqrt(2), 2 / math.pi, 1), ("square", math.sqrt(2), 2 / math.pi, -1), ("disc", 1.0, 1.0, 0)],
)
def test_cone_shape_measures_known_footprints(kind, ratio, roundness, sign):
    heights = _pyramid(kind)
    centre = (heights.shape[0] // 2, heights.shape[1] // 2)
    shape = calibrate.cone_shape(heights, 0.5, centre)
    assert shape.height == 30.0
    assert shape.extent_ratio == pytest.approx(ratio, abs=0.04)
    assert shape.roundness == pytest.approx(roundness, abs=0.06)
    if sign:
        assert sign * shape.anisotropy > 0.2
    else:
        assert abs(shape.anisotropy) < 0.01


def test_quick_study_writes_its_document_and_figures_the_same_on_any_number_of_threads(tmp_path):
    documents = []
    for workers in (1, 2):
        out = tmp_path / f"w{workers}"
        assert calibrate.main(["--quick", "--out", str(out), "--workers", str(workers)]) == 0
        for figure in ("cone_anisotropy", "cone_footprints", "convergence", "knobs"):
            assert (out / "figures" / f"{figure}.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        text = (out / "model.md").read_text(encoding="utf-8")
        documents.append("\n".join(line for line in text.splitlines() if not line.startswith("The last run took")))
    assert documents[0] == documents[1]
    for heading in ("## Recommended settings", "## 1. ", "## 2. The bed's ends", "## 3. ", "## 4. ",
                    "## 5. What the model leaves out", "## 6. "):
        assert heading in documents[0]
    assert not re.search(r"\bnan\b", documents[0], re.IGNORECASE)


@pytest.mark.parametrize(
    ("size", "reclaim_angle", "circular"), [((12.0, 5.0), 45.0, False), ((12.0, 5.0), 30.0, False), ((8.0, 8.0), 37.0, True)]
)
def test_bed_at_45_degrees_gives_what_the_library_module_gives(size, reclaim_angle, circular):
    """Layer after layer, one chunk per cell: no chunk finds a lower neighbour, whatever the draws,
    so both faces must give the same heights and reclaimed rows, bit for bit."""
    from _pilora_lib import PiloraLib

    from pilora import Bed

    cell, increment = 0.5, 0.7
    bed = Bed(*size, reclaim_angle=reclaim_angle, chunks_per_volume_unit=8.0, circular=circular, seed=3)
    library = PiloraLib(*size, reclaim_angle, 8.0, circular, 0.5, 0.0, 0.0, False, increment)
    nz, nx = bed.grid_shape
    layer, k, i = np.meshgrid(np.arange(3), np.arange(nz), np.arange(nx), indexing="ij")
    table = np.column_stack([
        i.ravel() * cell, k.ravel() * cell, np.full(i.size, cell**3), np.sin(i.ravel() + 3.0 * k.ravel() + 7.0 * layer.ravel()),
    ])
    bed.stack(table[:, 0], table[:, 1], table[:, 2], table[:, 3:], names=["q"])
    library.stack_list(table, ["x", "z", "volume", "q"])
    heights = np.asarray(library.get_heights(), dtype=np.float32)
    assert np.array_equal(bed.heights, heights) and heights.min() == 3 * cell
    rows, expected = bed.reclaim(increment), library.reclaim()
    assert rows.x.tolist() == expected["x"] and rows.volume.tolist() == expected["volume"]
    assert rows.averages[:, 0].tolist() == expected["q"]


def test_the_crest_vertical_of_the_sample_chevron_meets_the_ideal_chevrons_layers(tmp_path):
    """20 layers on the sample (0.5 m cells): time rises with height, at least 60 % of the passes are
    met, and each pass ends on the crest's vertical within a cell of the ideal chevron's top."""
    tops = calibrate.chevron_tops(9.0, 4)
    np.testing.assert_allclose(tops, [0.0, 4.5, 9.0 / math.sqrt(2), 9.0 * math.sqrt(0.75), 9.0])
    # Each pass lays the same cross-section, A / n = (h_k² - h_(k-1)²) / tan: a roof of 9 m at 45° in 4 passes.
    np.testing.assert_allclose(np.diff(tops**2), 81.0 / 4)
    # Cells of 1 m: tops 1..4 m fall in the first pass (<= 4.5), 5 and 6 in the second, 7 in the third, 8 and 9 in the last.
    np.testing.assert_array_equal(calibrate.passes_on_rows(tops, 9, 1.0), [1, 1, 1, 1, 2, 2, 3, 4, 4])
    np.testing.assert_array_equal(calibrate.passes_on_rows(tops, 11, 1.0)[-2:], [4, 4])
    # A cell whose top is a layer's top belongs to that layer: 0.5 m cells, the ninth's top at 4.5 m.
    np.testing.assert_array_equal(calibrate.passes_on_rows(tops, 18, 0.5)[7:10], [1, 1, 2])

    layers = calibrate.layers_section(calibrate.QUICK, calibrate.Runner(1), tmp_path)
    assert calibrate.QUICK.layer_counts == (20,)
    for name in (*layers["figures"].values(), "chevron_crest_layers.png"):
        assert (tmp_path / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    frame = layers["frame"]
    cell = layers["bed"].chunk_height
    assert (frame["starts"] == 20).all() and len(frame) == len(calibrate.QUICK.layer_positions)
    for _, vertical in frame.iterrows():
        assert vertical["rank"] >= 0.9
        assert 0.6 * 20 <= vertical["met"] <= vertical["cells"]
        assert abs(vertical["met"] - vertical["ideal_met"]) <= 2
        assert vertical["top_error"] <= cell + 1e-9
        assert vertical["thickness"].sum() == pytest.approx(vertical["cells"] * cell)
    assert layers["per_pass"][20]["theory thickness"].is_monotonic_decreasing
    out = []
    calibrate.layers_text(out.append, calibrate.QUICK, layers)
    text = "\n".join(out)
    assert text.startswith("## 7. The layers inside a chevron") and "figures/chevron_crest_layers.png" in text
    assert not re.search(r"\bnan\b", text, re.IGNORECASE)
