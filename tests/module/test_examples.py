"""The examples run on small sizes and write sensible output, the README's Python code runs, and
a wheel built from the checkout installs into a fresh virtual environment and works there."""

import importlib.util
import json
import os
import pathlib
import re
import subprocess
import sys
import zipfile

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
USE = """\
import numpy as np, _pilora_lib
bed = _pilora_lib.PiloraLib(10.0, 4.0, 45.0, 8.0, False, 0.5, 0.0, 0.0, False, 1.0)
bed.stack_list(np.array([[2.0, 2.0, 1.0, 5.0]]), ["x", "z", "volume", "grade"])
result = bed.reclaim()
print(_pilora_lib.__file__, sum(result["volume"]), max(result["grade"]), sep="\\n")
"""


def needs(*modules):
    missing = [name for name in modules if importlib.util.find_spec(name) is None]
    return pytest.mark.skipif(bool(missing), reason=f"needs {', '.join(missing)} (not installed)")


def run(*command, **options):
    done = subprocess.run(command, capture_output=True, text=True, **{"cwd": ROOT, **options})
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


@needs("matplotlib", "pandas")
@pytest.mark.parametrize("figure", ["homogenisation", "heights", "layers"])
def test_figure_scripts_write_png_images(tmp_path, figure):
    from matplotlib import image

    out = run(sys.executable, ROOT / "examples" / f"plot_{figure}.py", "--quick", "--out", tmp_path)
    path = tmp_path / f"{figure}.png"
    assert out.splitlines()[-1] == str(path) and path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    pixels = image.imread(path)
    assert pixels.shape[0] >= 300 and pixels.shape[1] >= 500
    assert pixels[..., :3].std() > 0.05, "the figure is (almost) blank"


def test_homogenisation_effect_leaves_out_empty_rows(monkeypatch):
    monkeypatch.syspath_prepend(str(ROOT / "examples"))
    import bedplans

    # Input std 1 and 10; reclaimed rows holding material std 0.5 and 1; the empty first row
    # (x 0.0, volume 0.0, averages 0.0) would distort the output std if it were counted.
    result = {"x": [0.0, 1.0, 2.0], "volume": [0.0, 1.0, 1.0], "grade": [0.0, 1.5, 2.5],
              "moisture": [0.0, 19.0, 21.0]}
    assert bedplans.std_ratio(np.array([[1, 10], [3, 30]]), result) == pytest.approx([2, 10])


@needs("distributed")
def test_parallel_plans_run_in_worker_processes_with_both_engines(tmp_path):
    run(sys.executable, ROOT / "examples" / "parallel_plans.py", "--quick", "--plans", "3",
        "--workers", "2", "--engines", "serial,process,dask", "--json", tmp_path / "report.json")
    report = json.loads((tmp_path / "report.json").read_text())
    # Plans come back in order, evaluated in worker processes, each on a bed of its own; random
    # walks differ from run to run, the stacked volume and the blending not much.
    for engine in ("serial", "process", "dask"):
        results = report[engine]["results"]
        assert [(r["layers"], r["seed"]) for r in results] == [(10, 0), (20, 1), (40, 2)]
        assert engine == "serial" or report["parent"] not in {r["pid"] for r in results}
        for mine, serial in zip(results, report["serial"]["results"]):
            assert mine["volume"] == pytest.approx(serial["volume"], rel=0.02)
            assert mine["grade_ratio"] > 1.5 and mine["moisture_ratio"] > 1.5


@needs("pandas")
def test_readme_python_code_runs(tmp_path):
    blocks = re.findall(r"^```python\n(.*?)^```", (ROOT / "README.md").read_text(),
                        re.MULTILINE | re.DOTALL)
    assert len(blocks) >= 5
    run(sys.executable, "-c", "\n".join(blocks), cwd=tmp_path,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))


@needs("pip", "venv", "scikit_build_core", "pybind11")
def test_wheel_installs_into_a_fresh_venv(tmp_path):
    # The tools run here (compiler, linker, the venv's Python with the wheel's own module) are not
    # under test: a sanitizer runtime preloaded into this process stays out of them.
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    run(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",  # as wheel.sh
        "--disable-pip-version-check", "-q", "-w", tmp_path / "dist", ".", env=env)
    (wheel,) = (tmp_path / "dist").glob("pilora-*.whl")
    assert {"_pilora_lib.pyi", "py.typed", "_pilora_lib-stubs/__init__.pyi"} <= set(
        zipfile.ZipFile(wheel).namelist())
    venv, python = tmp_path / "venv", tmp_path / "venv" / "bin" / "python"
    run(sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", venv, env=env)
    # The system pip, seen through --system-site-packages, installs into the venv it runs in.
    run(python, "-m", "pip", "install", "--no-index", "--no-deps", "--disable-pip-version-check",
        "-q", wheel, env=env)
    env.pop("PYTHONPATH", None)
    location, *numbers = run(python, "-c", USE, cwd=tmp_path, env=env).splitlines()
    assert pathlib.Path(location).is_relative_to(venv) and numbers == ["1.0", "5.0"]
    if importlib.util.find_spec("mypy"):  # mypy, pointed at the venv, finds the installed stub
        (tmp_path / "typed.py").write_text("import _pilora_lib\n"
                                           "reveal_type(_pilora_lib.PiloraLib.get_heights)\n")
        out = run(sys.executable, "-m", "mypy", "--cache-dir", ROOT / "build" / "mypy-cache-wheel",
                  "--python-executable", python, "typed.py", cwd=tmp_path, env=env)
        assert "_pilora_lib.PiloraLib) -> list[list[float]]" in out.replace("builtins.", "")
