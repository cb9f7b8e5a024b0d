"""Earthquake ground-motion intensity measures for whole batches of records."""

from . import _core
from ._core import (
    _arias_intensity,
    _cav,
    _konno_ohmachi_matrix_rows,
    _konno_ohmachi_smooth,
    _psa,
    _rotd,
    _significant_duration,
)

__version__ = "0.1.0"
