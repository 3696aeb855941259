"""The native module's checked-in stub is what stubgen makes of it and types its use; a wheel holds
both native modules, the package and both stubs, and works installed."""

import difflib
import importlib.util
import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "src" / "pilora" / "_native.pyi"
USE = """\
import numpy as np
import pilora
bed = pilora.Bed(10.0, 4.0, chunks_per_volume_unit=8, seed=1)
bed.stack(np.array([2.0, 5.0]), 2.0, 1.0, {"grade": np.array([5.0, 7.0])})
out: pilora.Reclaimed = bed.reclaim(1.0)
reveal_type(out.averages)
reveal_type(bed.heights)
bed.stack(1.0, 2.0)
bed.reclaim()
names: list[str] = bed.parameter_names
pilora.Bed(10.0, 4.0, 45.0)
"""  # mypy must report lines 8, 9, 10 and 11


def run(*command, **options):
    done = subprocess.run(command, capture_output=True, text=True, **{"cwd": ROOT, **options})
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


@pytest.mark.skipif(importlib.util.find_spec("pybind11_stubgen") is None, reason="no stubgen")
def test_checked_in_stub_is_what_stubgen_makes_of_the_module(tmp_path):
    run(sys.executable, "-m", "pybind11_stubgen", "pilora._native", "-o", tmp_path)
    made = (tmp_path / "pilora" / "_native.pyi").read_text()
    kept = STUB.read_text()
    assert made == kept, "the stub no longer matches the module; regenerate it with\n  " \
        "python3.14 -m pybind11_stubgen pilora._native -o build/stub && " \
        "cp build/stub/pilora/_native.pyi src/pilora/  (module on PYTHONPATH)\n" + \
        "".join(difflib.unified_diff(kept.splitlines(True), made.splitlines(True)))


def mypy_errors(output: str) -> set[int]:
    return {int(line) for line in re.findall(r"^[^:]*use\.py:(\d+): error:", output, re.MULTILINE)}


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_types_the_bed_from_the_stub(tmp_path):
    package = tmp_path / "stubs" / "pilora"
    package.mkdir(parents=True)
    (package / "__init__.pyi").write_text("from ._native import Bed as Bed, Reclaimed as Reclaimed\n")
    (package / "_native.pyi").write_text(STUB.read_text())
    (tmp_path / "use.py").write_text(USE)
    done = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", tmp_path / "cache", "use.py"],
                          cwd=tmp_path, capture_output=True, text=True, env={**os.environ, "MYPYPATH": str(tmp_path / "stubs")})
    assert mypy_errors(done.stdout) == {8, 9, 10, 11}, done.stdout
    assert "dtype[numpy.float64]" in done.stdout and "_32Bit" in done.stdout, done.stdout  # averages, heights


@pytest.mark.skipif(any(importlib.util.find_spec(m) is None for m in ("pip", "venv", "scikit_build_core", "pybind11")),
                    reason="needs pip, venv, scikit-build-core and pybind11")
def test_wheel_holds_both_modules_the_package_and_both_stubs(tmp_path):
    # Built as scripts/wheel.sh does (its build folder is kept between runs, so this is quick once
    # the modules are built); a sanitizer runtime preloaded into this process stays out of the tools.
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    run(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--disable-pip-version-check",
        "-q", "-w", tmp_path / "dist", ".", env=env)
    (wheel,) = (tmp_path / "dist").glob("pilora-*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    for pattern in (r"_pilora_lib\.cpython-.*\.so", r"_pilora_lib\.pyi", r"_pilora_lib-stubs/__init__\.pyi",
                    r"pilora/_native\.cpython-.*\.so", r"pilora/_native\.pyi", r"pilora/py\.typed",
                    r"pilora/__init__\.py", r"pilora/settings\.py"):
        assert any(re.fullmatch(pattern, name) for name in names), (pattern, names)

    venv, python = tmp_path / "venv", tmp_path / "venv" / "bin" / "python"
    run(sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", venv, env=env)
    run(python, "-m", "pip", "install", "--no-index", "--no-deps", "--disable-pip-version-check", "-q", wheel, env=env)
    env.pop("PYTHONPATH", None)
    code = "import pilora, pilora._native as n, _pilora_lib\nprint(pilora.__file__, n.__file__, _pilora_lib.__file__)\n"
    assert all(pathlib.Path(p).is_relative_to(venv) for p in run(python, "-c", code, cwd=tmp_path, env=env).split())
    if importlib.util.find_spec("mypy"):  # pointed at the venv, mypy finds the installed stub
        (tmp_path / "use.py").write_text(USE)
        done = subprocess.run([sys.executable, "-m", "mypy", "--follow-imports=silent", "--cache-dir",
                               tmp_path / "cache", "--python-executable", python, "use.py"],
                              cwd=tmp_path, capture_output=True, text=True, env=env)
        assert mypy_errors(done.stdout) == {8, 9, 10, 11}, done.stdout
