"""A wheel built from the checkout installs into a fresh virtual environment and works there."""

import importlib.util
import os
import pathlib
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

missing = [name for name in ("pip", "venv", "scikit_build_core", "pybind11")
           if importlib.util.find_spec(name) is None]
pytestmark = pytest.mark.skipif(
    bool(missing), reason=f"building and installing a wheel needs {', '.join(missing)} (not installed)")

USE = """\
import numpy as np
import _pilora_lib
bed = _pilora_lib.PiloraLib(10.0, 4.0, 45.0, 8.0, False, 0.5, 0.0, 0.0, False, 1.0)
bed.stack_list(np.array([[2.0, 2.0, 1.0, 5.0]]), ["x", "z", "volume", "grade"])
result = bed.reclaim()
print(_pilora_lib.__file__)
print(sum(result["volume"]), max(result["grade"]))
"""


def run(*command, env=None, **options):
    # Tools run here (the compiler, make, the linker, the venv's Python with the wheel's own
    # module) are not under test: a sanitizer runtime preloaded into this process stays out.
    env = {key: value for key, value in (env or os.environ).items() if key != "LD_PRELOAD"}
    done = subprocess.run([str(part) for part in command], capture_output=True, text=True,
                          env=env, **options)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_wheel_installs_into_a_fresh_venv(tmp_path):
    # The command of scripts/wheel.sh.
    run(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
        "--disable-pip-version-check", "-q", "-w", tmp_path / "dist", ".", cwd=ROOT)
    (wheel,) = (tmp_path / "dist").glob("pilora-*.whl")
    assert {"_pilora_lib.pyi", "py.typed", "_pilora_lib-stubs/__init__.pyi"} <= set(
        zipfile.ZipFile(wheel).namelist())

    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", venv)
    python = venv / "bin" / "python"
    # The system pip, seen through --system-site-packages, installs into the environment it runs in.
    run(python, "-m", "pip", "install", "--no-index", "--no-deps", "--disable-pip-version-check",
        "-q", wheel)

    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    location, numbers = run(python, "-c", USE, cwd=tmp_path, env=env).splitlines()
    assert pathlib.Path(location).is_relative_to(venv)
    assert numbers == "1.0 5.0"

    if importlib.util.find_spec("mypy") is not None:
        # mypy, pointed at the environment, finds the installed stub.
        (tmp_path / "typed.py").write_text(
            "import _pilora_lib\nreveal_type(_pilora_lib.PiloraLib.get_heights)\n")
        out = run(sys.executable, "-m", "mypy", "--cache-dir", ROOT / "build" / "mypy-cache-wheel",
                  "--python-executable", python, "typed.py", cwd=tmp_path, env=env)
        assert "_pilora_lib.PiloraLib) -> list[list[float]]" in out.replace("builtins.", "")
