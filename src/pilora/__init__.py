"""Pilora: a blending-bed (stockpile) simulator.

Lengths are in metres, volumes in cubic metres, masses in tonnes and times in hours unless a
docstring says otherwise.
"""

import pkgutil as _pkgutil

# In a checkout the native module is built into build/<dir>/pilora/, beside src/pilora/ on the
# path; an installed package has both in one folder.
__path__ = _pkgutil.extend_path(__path__, __name__)

from ._native import Bed  # noqa: E402

__version__ = "0.1.0"

__all__ = ["Bed", "__version__"]
