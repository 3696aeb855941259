"""The figure examples run as scripts on their --quick sizes and write real PNG images."""

import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from matplotlib import image

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
SCRIPTS = {
    "plot_gallery": ["quality.png", "heights.png", "section_across_time.png", "section_across_cao.png",
                     "section_along.png", "heap.png"],
    "plot_heights": ["heights_linear.png", "heights_circular.png"],
    "plot_homogenisation": ["homogenisation.png"],
    "plot_layers": ["layers.png"],
}


def run_example(name: str, out: pathlib.Path) -> str:
    """Runs examples/<name>.py --quick --out OUT in a fresh interpreter, warnings as errors, from
    another folder than the checkout; returns what it printed."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    done = subprocess.run([sys.executable, "-W", "error", EXAMPLES / f"{name}.py", "--quick", "--out", out],
                          capture_output=True, text=True, cwd=out.parent, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


@pytest.fixture(scope="module")
def ran(tmp_path_factory):
    """ran(name) -> (output folder, printed text) of the example's one run in this module."""
    cache = {}

    def get(name):
        if name not in cache:
            out = tmp_path_factory.mktemp(name) / "figures"
            cache[name] = out, run_example(name, out)
        return cache[name]

    return get


@pytest.mark.parametrize("name", sorted(SCRIPTS))
def test_example_writes_its_figures_as_real_images(ran, name):
    out, printed = ran(name)
    paths = [out / file for file in SCRIPTS[name]]
    assert printed.splitlines()[-len(paths):] == [str(p) for p in paths]
    assert sorted(out.iterdir()) == sorted(paths)
    for path in paths:
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        pixels = image.imread(path)
        assert pixels.shape[0] >= 300 and pixels.shape[1] >= 400, pixels.shape
        assert pixels[..., :3].std() > 0.05, f"{path.name} is (almost) blank"


def test_layers_example_output_variability_falls_with_the_layers(ran):
    _, printed = ran("plot_layers")
    rows = re.findall(r"^\s*(\d+) layers: std out / std in = ([\d.]+) \(1 / sqrt\(layers\) = ([\d.]+)\)$",
                      printed, re.MULTILINE)
    layers, simulated, classic = (list(map(float, column)) for column in zip(*rows))
    assert layers == [1, 2, 4, 8] and classic == pytest.approx([1, 0.707, 0.5, 0.354], abs=1e-3)
    # One layer already blends a little; eight layers blend well beyond it.
    assert simulated[0] < 1 and 0 < simulated[-1] < 0.7 * simulated[0]


# ---------------------------------------------------------------------------------------------
# The optimiser examples, on their --quick sizes, imported (they return their fronts)


def optimiser_example(name, monkeypatch):
    import importlib

    monkeypatch.syspath_prepend(str(EXAMPLES))
    return importlib.import_module(name)


def check_front(front, out):
    assert (out / "pareto_front.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    written = pd.read_csv(out / "front.csv", float_precision="round_trip")
    assert len(written) == len(front) >= 1
    values = written[["worst_effect", "travel"]].to_numpy()
    assert np.isfinite(values).all() and (values[:, 0] > 0).all()
    for effect, travel in values:  # no point of the front dominates another
        better = (values[:, 0] >= effect) & (values[:, 1] <= travel)
        strictly = (values[:, 0] > effect) | (values[:, 1] < travel)
        assert not (better & strictly).any()


def test_nsga2_example_finds_the_same_front_on_threads_and_processes(tmp_path, monkeypatch):
    nsga2 = optimiser_example("optimise_nsga2", monkeypatch)
    tiny = ["--quick", "--population", "8", "--generations", "2", "--points", "4", "--seed", "5"]
    front = nsga2.main([*tiny, "--workers", "2", "--out", str(tmp_path / "threads")])
    check_front(front, tmp_path / "threads")
    again = nsga2.main([*tiny, "--processes", "2", "--out", str(tmp_path / "processes")])
    pd.testing.assert_frame_equal(again, front)


@pytest.mark.parametrize("sampler", ["nsga2", "tpe"])
def test_optuna_example_writes_its_front(sampler, tmp_path, monkeypatch):
    optuna = optimiser_example("optimise_optuna", monkeypatch)
    front = optuna.main(["--quick", "--sampler", sampler, "--population", "6", "--generations", "1",
                         "--points", "4", "--workers", "2", "--out", str(tmp_path)])
    check_front(front, tmp_path)
