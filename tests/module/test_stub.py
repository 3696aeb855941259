"""The checked-in type stub is what stubgen makes of the built module, and mypy checks code
against it."""

import difflib
import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
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
import pilora
settings = pilora.BedSettings(40.0, 10.0, chunks_per_volume_unit="fine")
cell: str = pilora.Bed(40.0, 10.0).cell_size
"""  # mypy must report lines 5, 6, 7 and 9, and 11 and 12 (the package, its native module's stub)


@pytest.mark.skipif(importlib.util.find_spec("pybind11_stubgen") is None, reason="no stubgen")
def test_checked_in_stub_is_what_stubgen_makes_of_the_module(tmp_path):
    subprocess.run([sys.executable, "-m", "pybind11_stubgen", "_pilora_lib", "-o", tmp_path],
                   check=True, capture_output=True)
    made = (tmp_path / "_pilora_lib.pyi").read_text()
    kept = (ROOT / "src" / "bindings" / "pilora_lib" / "_pilora_lib.pyi").read_text()
    assert made == kept, "the stub no longer matches the module; regenerate it with\n  " \
        "python3.14 -m pybind11_stubgen _pilora_lib -o src/bindings/pilora_lib  (module on PYTHONPATH)\n" + \
        "".join(difflib.unified_diff(kept.splitlines(True), made.splitlines(True)))


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_accepts_the_examples_and_rejects_misuse(tmp_path):
    (tmp_path / "misuse.py").write_text(MISUSE)
    # Configured in pyproject.toml: the examples, checked against src/bindings/pilora_lib/_pilora_lib.pyi,
    # the package in src/pilora and its native module's stub, src/pilora/_native.pyi.
    out = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", ROOT / "build/mypy-cache",
                          "examples", tmp_path / "misuse.py"], cwd=ROOT, capture_output=True,
                         text=True).stdout
    # (With a warm cache mypy may report misuse.py under the path of an earlier run.)
    errors = {(name.endswith("misuse.py"), int(line))
              for name, line in re.findall(r"^(.+?):(\d+): error:", out, re.MULTILINE)}
    assert errors == {(True, 5), (True, 6), (True, 7), (True, 9), (True, 11), (True, 12)}, out
