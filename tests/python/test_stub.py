"""The checked-in type stub matches the built module, and mypy checks code against it."""

import difflib
import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "src" / "python" / "_pilora_lib.pyi"


@pytest.mark.skipif(importlib.util.find_spec("pybind11_stubgen") is None,
                    reason="pybind11-stubgen is not installed")
def test_checked_in_stub_is_what_stubgen_makes_of_the_module(tmp_path):
    subprocess.run([sys.executable, "-m", "pybind11_stubgen", "_pilora_lib", "-o", str(tmp_path)],
                   check=True, capture_output=True, text=True)
    made = (tmp_path / "_pilora_lib.pyi").read_text()
    kept = STUB.read_text()
    diff = "".join(difflib.unified_diff(kept.splitlines(True), made.splitlines(True),
                                        "src/python/_pilora_lib.pyi", "regenerated"))
    assert made == kept, (
        "the stub no longer matches the module; regenerate it with\n"
        "  python3.14 -m pybind11_stubgen _pilora_lib -o src/python  (module on PYTHONPATH)\n" + diff)


# Misuses the stub must catch, by line of MISUSE.
MISUSE = """\
from _pilora_lib import PiloraLib
bed = PiloraLib(10.0, 4.0, 45.0, 8.0, False, 0.5, 0.0, 0.0, False, 1.0)
heights: list[list[float]] = bed.get_heights()
bed.stack(0.0, 1, 2, 0.5, (52.0, 8.0))
bed.stack(0.0, 1.0, 2.0, "half", [])
bed.get_heights(1)
PiloraLib(10.0, 4.0)
bed.reclaim().items()
text: str = bed.get_heights()
"""
MISUSE_LINES = {5, 6, 7, 9}


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_accepts_the_examples_and_rejects_misuse(tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    # Configuration from pyproject.toml: the examples, checked against src/python/_pilora_lib.pyi.
    run = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(ROOT / "build" / "mypy-cache"),
                          "examples", str(misuse)], cwd=ROOT, capture_output=True, text=True)
    errors = re.findall(r"^(.+?):(\d+): error:", run.stdout, re.MULTILINE)
    # (With a warm cache mypy may report misuse.py under the path of an earlier run.)
    in_examples = [f"{name}:{line}" for name, line in errors if not name.endswith("misuse.py")]
    assert in_examples == [], run.stdout
    assert {int(line) for name, line in errors if name.endswith("misuse.py")} == MISUSE_LINES, run.stdout
