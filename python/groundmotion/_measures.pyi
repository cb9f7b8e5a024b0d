"""Compiled kernels of groundmotion beyond the core measures.

Declared, bound and documented like those of ``groundmotion._core``, and run
through the same call frame.
"""

import numpy as np
from numpy.typing import NDArray

__all__ = ["_oscillator_peaks", "_rotd_percentiles", "_psa_percentiles", "_psa_substeps",
           "_konno_ohmachi_onto", "_arias_ragged", "_cav_ragged", "_significant_duration_ragged",
           "_oscillator_peaks_ragged", "_peak_motions", "_rotd_motions", "_cav_threshold",
           "_cav_std", "_bracketed_duration", "_husid", "_arias_times", "_parse_numbers", "_simd_target"]

def _simd_target() -> str:
    """The instruction set the kernels run on in this process: "avx2",
    "baseline" (SSE2 on x86-64, NEON on aarch64) or "scalar"."""

def _oscillator_peaks(
    waveforms_py: NDArray[np.float64], coefficients_py: NDArray[np.float64]
) -> NDArray[np.float64]:
    """Peaks max|x|, max|v| and max|x + 2 damping v| of single-component
    oscillators started at rest, shape (n_records, n_oscillators, 3).

    A row of coefficients: the eight recursion coefficients for the step
    dt / k, 2 * damping, and k, the whole number of steps per sample interval
    (1 to 2**32, as a float).  With k > 1 the record is read linearly between
    samples at j dt / k, j = 0 .. (n - 1) k - 1 (the last sample left out),
    sub-sample j of [a0, a1] being a0 + (a1 - a0) * (j / k).  A row whose
    final state is not finite, or whose k is not such a whole number, gives
    three NaNs."""

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
    n_oscillators, n_percentiles).  A row of coefficients: the eight of
    `_psa`, or those and the number of sub-steps k of `_psa_substeps`."""

def _psa_substeps(
    comp_0_py: NDArray[np.float64],
    comp_90_py: NDArray[np.float64],
    comp_ver_py: NDArray[np.float64],
    coefficients_py: NDArray[np.float64],
) -> NDArray[np.float64]:
    """The (n_stations, n_oscillators, 9) result of `_psa` with k recursion
    steps per sample interval.  A row of coefficients: the eight recursion
    coefficients for the step dt / k, then k (1 to 2**32, as a float).  The
    components are read between samples as `_oscillator_peaks` reads them;
    k = 1 gives `_psa`'s bits, a k that is not such a whole number NaNs."""

def _konno_ohmachi_onto(
    spectra_py: NDArray[np.float64],
    frequencies_py: NDArray[np.float64],
    centres_py: NDArray[np.float64],
    bandwidth: float,
) -> NDArray[np.float64]:
    """Konno-Ohmachi smoothing of every spectrum (n_spectra, n_bins), its bins
    at the (1, n_bins) frequencies, onto the (1, n_centres) centres, shape
    (n_spectra, n_centres).  A first bin at 0 Hz takes no part."""

def _arias_ragged(
    records_py: list[NDArray[np.float64]], dts_py: NDArray[np.float64]
) -> NDArray[np.float64]:
    """Arias intensity (m/s) of every 1-D record of the list (in g), record i
    sampled every dts_py[0, i]: each value that of the record alone."""

def _cav_ragged(
    records_py: list[NDArray[np.float64]], dts_py: NDArray[np.float64]
) -> NDArray[np.float64]:
    """CAV (m/s) of every record of a ragged batch, as `_arias_ragged` takes them."""

def _significant_duration_ragged(
    records_py: list[NDArray[np.float64]], dts_py: NDArray[np.float64], low: float, high: float
) -> NDArray[np.float64]:
    """Significant duration (s) of every record of a ragged batch."""

def _oscillator_peaks_ragged(
    records_py: list[NDArray[np.float64]], coefficients_py: NDArray[np.float64]
) -> NDArray[np.float64]:
    """`_oscillator_peaks` over every record of a ragged batch, shape
    (n_records, n_oscillators, 3): each record's rows those of the record alone."""
def _peak_motions(waveforms_py: NDArray[np.float64], dt: float) -> NDArray[np.float64]:
    """max|a|, max|v| and max|d| of every waveform and its running trapezoidal
    velocity and displacement from rest, shape (n_records, 3); three NaNs for
    a waveform with a NaN or infinite sample."""

def _cav_threshold(
    waveforms_py: NDArray[np.float64], dt: float, threshold: float
) -> NDArray[np.float64]:
    """CAV (m/s) with the samples whose |a| lies below threshold set to zero,
    shape (n_records,)."""

def _cav_std(waveforms_py: NDArray[np.float64], dt: float, level: float) -> NDArray[np.float64]:
    """Standardised CAV (m/s): the CAV of the 1-second windows whose peak |a|
    reaches level, summed, shape (n_records,)."""

def _bracketed_duration(
    waveforms_py: NDArray[np.float64], dt: float, threshold: float
) -> NDArray[np.float64]:
    """Time from the first to the last sample whose |a| reaches threshold, shape
    (n_records,); 0 when none does, NaN for a non-finite sample."""

def _husid(waveforms_py: NDArray[np.float64], dt: float) -> NDArray[np.float64]:
    """The Husid curve of every waveform, shape (n_records, n_samples)."""

def _arias_times(
    waveforms_py: NDArray[np.float64], dt: float, fractions_py: NDArray[np.float64]
) -> NDArray[np.float64]:
    """Times i dt at which the Husid curve reaches each fraction of the
    (1, n_fractions) array, i found by `_significant_duration`'s search,
    shape (n_records, n_fractions)."""

def _rotd_motions(
    comp_0_py: NDArray[np.float64],
    comp_90_py: NDArray[np.float64],
    dt: float,
    percentiles_py: NDArray[np.float64],
) -> NDArray[np.float64]:
    """RotDnn of the running velocity and displacement of every horizontal
    pair, shape (n_records, 2, n_percentiles)."""

def _parse_numbers(text_py: bytes) -> NDArray[np.float64]:
    """-1 then the whitespace-separated decimal numbers of the text, or the byte
    offset of the first token that is not one."""
