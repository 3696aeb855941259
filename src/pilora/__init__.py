"""Pilora: a blending-bed (stockpile) simulator.

Lengths are in metres, volumes in cubic metres, masses in tonnes and times in hours unless a
docstring says otherwise.
"""

import pkgutil as _pkgutil

# In a checkout the native module is built into build/<dir>/pilora/, beside src/pilora/ on the
# path; an installed package has both in one folder.
__path__ = _pkgutil.extend_path(__path__, __name__)

from ._native import Bed, Reclaimed  # noqa: E402
from .plans import Chevcon, Chevron, ConeShell, Plan, PlanError, Resonance, Strata, Windrow  # noqa: E402
from .record import Record, RecordError, read_record  # noqa: E402
from .settings import BedSettings  # noqa: E402
from .analysis import blending, flow_variability, summary, variogram  # noqa: E402
from .figures import plot_effects, plot_heights, plot_quality, plot_sections, save_figure  # noqa: E402
from .run import Result, simulate  # noqa: E402
from .sample import sample_record, sample_record_path  # noqa: E402
from .control import ControlPoints  # noqa: E402
from .evaluate import Task, evaluate, run_task, task_seed  # noqa: E402

__version__ = "0.1.0"

__all__ = [
    "Bed",
    "Reclaimed",
    "BedSettings",
    "Chevcon",
    "Chevron",
    "ConeShell",
    "ControlPoints",
    "Plan",
    "PlanError",
    "Record",
    "RecordError",
    "Resonance",
    "Strata",
    "Task",
    "Windrow",
    "Result",
    "__version__",
    "blending",
    "evaluate",
    "flow_variability",
    "plot_effects",
    "plot_heights",
    "plot_quality",
    "plot_sections",
    "read_record",
    "sample_record",
    "sample_record_path",
    "run_task",
    "save_figure",
    "simulate",
    "summary",
    "task_seed",
    "variogram",
]
