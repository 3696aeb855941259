"""The examples run on small sizes and write sensible output; the README's Python code runs."""

import importlib.util
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"


def needs(*modules):
    missing = [name for name in modules if importlib.util.find_spec(name) is None]
    return pytest.mark.skipif(bool(missing), reason=f"needs {', '.join(missing)} (not installed)")


def run_example(name, *args):
    run = subprocess.run([sys.executable, str(EXAMPLES / name), *args], cwd=ROOT,
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    return run


@needs("matplotlib", "pandas")
@pytest.mark.parametrize("script, figure", [
    ("plot_homogenisation.py", "homogenisation.png"),
    ("plot_heights.py", "heights.png"),
    ("plot_layers.py", "layers.png"),
])
def test_figure_scripts_write_png_images(tmp_path, script, figure):
    from matplotlib import image

    out = tmp_path / "figures"
    run = run_example(script, "--quick", "--out", str(out))
    path = out / figure
    assert run.stdout.splitlines()[-1] == str(path)
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    pixels = image.imread(path)
    height, width, _ = pixels.shape
    assert height >= 300 and width >= 500
    assert pixels[..., :3].std() > 0.05, "the figure is (almost) blank"


@needs("matplotlib", "pandas")
def test_homogenisation_effect_leaves_out_empty_rows(monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))
    import bedplans
    import numpy as np

    # Input std 1 and 10; reclaimed rows holding material std 0.5 and 1; the empty first row
    # (x 0.0, volume 0.0, averages 0.0) would distort the output std if it were counted.
    quality = np.array([[1.0, 10.0], [3.0, 30.0]])
    result = {"x": [0.0, 1.0, 2.0], "volume": [0.0, 1.0, 1.0],
              "grade": [0.0, 1.5, 2.5], "moisture": [0.0, 19.0, 21.0]}
    assert bedplans.std_ratio(quality, result) == pytest.approx([2.0, 10.0])


@needs("distributed")
def test_parallel_plans_run_in_worker_processes_with_both_engines(tmp_path):
    report_path = tmp_path / "report.json"
    run_example("parallel_plans.py", "--quick", "--plans", "3", "--workers", "2",
                "--engines", "serial,process,dask", "--json", str(report_path))
    report = json.loads(report_path.read_text())
    serial = report["serial"]["results"]
    assert [(r["layers"], r["seed"]) for r in serial] == [(10, 0), (20, 1), (40, 2)]
    for engine in ("process", "dask"):
        results = report[engine]["results"]
        # Plans come back in order, evaluated in worker processes, each on a bed of its own.
        assert [(r["layers"], r["seed"]) for r in results] == [(r["layers"], r["seed"]) for r in serial]
        assert report["parent"] not in {r["pid"] for r in results}
        for mine, reference in zip(results, serial):
            # Random walks differ from run to run; the stacked volume and the blending do not much.
            assert mine["volume"] == pytest.approx(reference["volume"], rel=0.02)
            assert mine["grade_ratio"] > 1.5 and mine["moisture_ratio"] > 1.5


@needs("pandas")
def test_readme_python_code_runs(tmp_path):
    readme = (ROOT / "README.md").read_text()
    blocks = re.findall(r"^```python\n(.*?)^```", readme, re.MULTILINE | re.DOTALL)
    assert len(blocks) >= 5
    code = "\n".join(blocks)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env,
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
