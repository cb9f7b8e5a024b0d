"""Compiled kernels of groundmotion.

Every array argument must be a two-dimensional float64 NumPy array in the
machine's byte order (any memory layout); other arrays are refused with
TypeError.  Shape rules are checked inside the kernels and a violation raises
``pyo3_runtime.PanicException``, which derives from BaseException (it is not
an attribute of this module).  The public, checked functions are in
``groundmotion.api``.
"""

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "_arias_intensity",
    "_cav",
    "_konno_ohmachi_matrix_rows",
    "_konno_ohmachi_smooth",
    "_psa",
    "_rotd",
    "_significant_duration",
]

def _arias_intensity(waveforms_py: NDArray[np.float64], dt: float) -> NDArray[np.float64]: ...
def _cav(waveforms_py: NDArray[np.float64], dt: float) -> NDArray[np.float64]: ...
def _konno_ohmachi_matrix_rows(
    n_bins: int, bandwidth: float, start: int, stop: int
) -> NDArray[np.float32]:
    """Rows `start..stop` of the Konno-Ohmachi smoothing matrix.

    Returns a `(stop - start, n_bins)` row-major `float32` array. Row `c` is
    the set of weights that produce output bin `c` and sums to one.
    """

def _konno_ohmachi_smooth(spectra_py: NDArray[np.float64], bandwidth: float) -> NDArray[np.float64]:
    """Konno-Ohmachi smoothing of `(n_spectra, n_bins)` spectra, matrix-free."""

def _psa(
    comp_0_py: NDArray[np.float64],
    comp_90_py: NDArray[np.float64],
    comp_ver_py: NDArray[np.float64],
    coefficients_py: NDArray[np.float64],
) -> NDArray[np.float64]:
    """Pseudo-spectral acceleration statistics for every station and period.

    The three components have shape `(ns, nt)` and `coefficients` has
    shape `(n_periods, 8)`, one oscillator per row. Returns an
    `(ns, n_periods, 9)` array whose last axis holds the 000, 090, vertical
    and geometric mean peaks, then the five columns `_rotd` returns.
    """

def _rotd(comp_0_py: NDArray[np.float64], comp_90_py: NDArray[np.float64]) -> NDArray[np.float64]:
    """RotD statistics of every `(comp_0, comp_90)` pair.

    Returns an `(ns, 5)` array: RotD00, RotD50 and RotD100, then the
    orientation in degrees at which RotD00 and RotD100 occur.
    """

def _significant_duration(
    waveforms_py: NDArray[np.float64], dt: float, low: float, high: float
) -> NDArray[np.float64]: ...
