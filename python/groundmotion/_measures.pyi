"""Compiled kernels of groundmotion beyond the core measures.

Declared, bound and documented like those of ``groundmotion._core``, and run
through the same call frame.
"""

import numpy as np
from numpy.typing import NDArray

__all__ = ["_oscillator_peaks", "_psa_percentiles", "_rotd_percentiles", "_simd_target"]

def _simd_target() -> str:
    """The instruction set the kernels run on in this process: "avx2",
    "baseline" (SSE2 on x86-64, NEON on aarch64) or "scalar"."""

def _oscillator_peaks(
    waveforms_py: NDArray[np.float64], coefficients_py: NDArray[np.float64]
) -> NDArray[np.float64]:
    """Peaks max|x|, max|v| and max|x + 2 damping v| of single-component
    oscillators started at rest, shape (n_records, n_oscillators, 3)."""

def _rotd_percentiles(
    comp_0_py: NDArray[np.float64],
    comp_90_py: NDArray[np.float64],
    percentiles_py: NDArray[np.float64],
) -> NDArray[np.float64]:
    """RotDnn of every station's horizontal pair at each percentile of the
    (1, n_percentiles) array, shape (n_stations, n_percentiles)."""

def _psa_percentiles(
    comp_0_py: NDArray[np.float64],
    comp_90_py: NDArray[np.float64],
    coefficients_py: NDArray[np.float64],
    percentiles_py: NDArray[np.float64],
) -> NDArray[np.float64]:
    """RotDnn of the horizontal oscillator responses, shape (n_stations,
    n_oscillators, n_percentiles)."""
