"""Earthquake ground-motion intensity measures for whole batches of records.

Every function takes one record (a 1-D array) or a batch (a 2-D array, one
record per row) of accelerations in units of g and returns the natural shape.
The kernels live in the compiled module :mod:`groundmotion._core`.
"""

from ._core import (
    _arias_intensity,
    _cav,
    _konno_ohmachi_matrix_rows,
    _konno_ohmachi_smooth,
    _psa,
    _rotd,
    _significant_duration,
)
from .api import (
    GroundMotionWarning,
    arias_intensity,
    cav,
    konno_ohmachi_matrix,
    konno_ohmachi_smooth,
    response_spectrum,
    rotd,
    significant_duration,
    spectra,
)
from .fourier import (
    EAS_BANDWIDTH,
    EAS_CENTER_FREQUENCIES,
    effective_amplitude_spectrum,
    fourier_spectrum,
)
from .io import Record, RecordFormatError, read_at2, read_columns, read_record, read_records
from .measures import (
    ASI_PERIODS,
    CAV5_THRESHOLD,
    CAV_STD_LEVEL,
    HOUSNER_PERIODS,
    acceleration_spectrum_intensity,
    arias_times,
    bracketed_duration,
    cav_std,
    housner_intensity,
    husid,
    peak_motions,
    rotd_peak_motions,
    sa_avg,
)
from .oscillator import oscillator_coefficients
from .results import FourierSpectrum, PeakMotions, ResponseSpectrum, RotD, Spectra

__version__ = "0.1.0"

__all__ = [
    "arias_intensity",
    "cav",
    "significant_duration",
    "rotd",
    "response_spectrum",
    "spectra",
    "peak_motions",
    "rotd_peak_motions",
    "cav_std",
    "CAV5_THRESHOLD",
    "CAV_STD_LEVEL",
    "bracketed_duration",
    "husid",
    "arias_times",
    "housner_intensity",
    "acceleration_spectrum_intensity",
    "sa_avg",
    "HOUSNER_PERIODS",
    "ASI_PERIODS",
    "oscillator_coefficients",
    "konno_ohmachi_smooth",
    "konno_ohmachi_matrix",
    "fourier_spectrum",
    "effective_amplitude_spectrum",
    "EAS_BANDWIDTH",
    "EAS_CENTER_FREQUENCIES",
    "GroundMotionWarning",
    "read_record",
    "read_records",
    "read_at2",
    "read_columns",
    "Record",
    "RecordFormatError",
    "RotD",
    "ResponseSpectrum",
    "Spectra",
    "FourierSpectrum",
    "PeakMotions",
]
