"""The README's Python code runs, and a wheel built from the checkout installs into a fresh
virtual environment and works there. (The examples, which use the package, are tested in
tests/package/test_examples.py.)"""

import importlib.util
import os
import pathlib
import re
import subprocess
import sys
import zipfile

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
