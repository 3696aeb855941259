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
from .analysis import blending, flow_variability, flow_variability_rows, measurement_noise, summary, variogram  # noqa: E402
from .figures import plot_effects, plot_heights, plot_quality, plot_sections, plot_sweep, save_figure  # noqa: E402
from .run import Result, simulate  # noqa: E402
from .sections import Section, plot_heap_3d, plot_section  # noqa: E402
from .sample import sample_record, sample_record_path  # noqa: E402
from .quality import check_record  # noqa: E402
from .control import ControlPoints  # noqa: E402
from .compare import compare  # noqa: E402
from .evaluate import RowIterator, Task, evaluate, run_task, task_seed  # noqa: E402
from .optimise import OptimiseError, StackerPath, optimise  # noqa: E402  (pilora.optimise: the function)

__version__ = "0.2.0"

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
    "StackerPath",
    "Task",
    "Windrow",
    "Result",
    "RowIterator",
    "__version__",
    "blending",
    "check_record",
    "compare",
    "evaluate",
    "optimise",
    "OptimiseError",
    "flow_variability",
    "flow_variability_rows",
    "measurement_noise",
    "plot_effects",
    "plot_heights",
    "plot_quality",
    "plot_sections",
    "plot_section",
    "plot_heap_3d",
    "Section",
    "plot_sweep",
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
