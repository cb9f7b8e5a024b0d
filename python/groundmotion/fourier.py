"""Fourier amplitude spectra, the effective amplitude spectrum of a horizontal
pair, and Konno-Ohmachi smoothing from any frequencies onto any centres.

The transforms are NumPy's (SciPy's, with its threads, where SciPy is
installed); the smoothing runs in the compiled kernel.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from . import api
from .api import GroundMotionWarning
from .lazy import measure as _lazy
from ._measures import _konno_ohmachi_onto
from .results import FourierSpectrum

__all__ = [
    "EAS_BANDWIDTH",
    "EAS_CENTER_FREQUENCIES",
    "GroundMotionWarning",
    "effective_amplitude_spectrum",
    "fourier_spectrum",
]

#: Bandwidth coefficient of the effective amplitude spectrum (NGA-East):
#: the main lobe of the window spans 2 pi / 188.5 = 1/30 of a decade.
EAS_BANDWIDTH = 188.5
#: The default centres of `effective_amplitude_spectrum`: 20 per decade,
#: log-spaced from 0.01 to 100 Hz (81 values), of which a record keeps those
#: inside its band.
EAS_CENTER_FREQUENCIES = np.logspace(-2.0, 2.0, 81)


def _frequencies(value: ArrayLike, n_bins: int) -> np.ndarray:
    """Input bin frequencies: 1-D, n_bins of them, finite, strictly increasing,
    the first at least 0 and at least one positive."""
    freq = api._real_array(value, "frequencies")
    if freq.ndim != 1 or freq.size != n_bins:
        raise ValueError(
            f"frequencies must be 1-D with one value per bin ({n_bins}); got shape {freq.shape}"
        )
    bad = np.flatnonzero(~np.isfinite(freq))
    if bad.size:
        raise ValueError(f"frequencies must be finite; got frequencies[{bad[0]}] = {freq[bad[0]]!r}")
    if n_bins and freq[0] < 0.0:
        raise ValueError(f"frequencies must not be negative; got frequencies[0] = {freq[0]!r}")
    steps = np.flatnonzero(np.diff(freq) <= 0.0)
    if steps.size:
        k = steps[0]
        raise ValueError(
            "frequencies must be strictly increasing; got frequencies["
            f"{k}] = {freq[k]!r} and frequencies[{k + 1}] = {freq[k + 1]!r}"
        )
    if not (freq > 0.0).any():
        raise ValueError("frequencies must hold at least one positive frequency")
    return np.ascontiguousarray(freq)


def _centres(value: ArrayLike) -> np.ndarray:
    return api._positive_values(value, "center_frequencies")


def smooth_onto(spectra: ArrayLike, bandwidth: float, frequencies: ArrayLike | None,
                center_frequencies: ArrayLike | None, axis: Any, workers: Any,
                progress: bool) -> np.ndarray:
    """`konno_ohmachi_smooth` with `frequencies` (and perhaps centres)."""
    if frequencies is None:
        raise ValueError(
            "center_frequencies needs frequencies, the frequency of every input bin "
            "(for an FFT spectrum: numpy.fft.rfftfreq(nfft, dt))"
        )
    records, leading = api._time_last(spectra, "spectra", axis)
    bandwidth = api._positive_finite(bandwidth, "bandwidth")
    freq = _frequencies(frequencies, records.shape[1])
    bins_as_centres = center_frequencies is None
    if bins_as_centres:
        centres = freq[freq > 0.0]
    else:
        centres = _centres(center_frequencies)
        low, high = freq[freq > 0.0][0], freq[-1]
        outside = (centres < low) | (centres > high)
        if outside.any():
            api._warn(
                f"{int(outside.sum())} of the center_frequencies lie outside the input bins "
                f"({low:g} to {high:g} Hz); their windows see only one side of the centre"
            )
    n_workers = api._workers(workers)
    freq_row, centre_row = freq[np.newaxis, :], centres[np.newaxis, :]
    smoothed = api._chunked(
        lambda rows: _konno_ohmachi_onto(records[rows], freq_row, centre_row, bandwidth),
        records.shape[0], 0, n_workers, progress, "Konno-Ohmachi",
    )
    if bins_as_centres and freq[0] == 0.0:
        # The 0 Hz bin is its own output, as on a uniform grid.
        smoothed = np.concatenate([records[:, :1], smoothed], axis=1)
    return smoothed.reshape(leading + (smoothed.shape[1],))


def _transform(records: np.ndarray, nfft: int, workers: int) -> np.ndarray:
    try:
        import scipy.fft
    except ImportError:
        return np.fft.rfft(records, n=nfft, axis=-1)
    return scipy.fft.rfft(records, n=nfft, axis=-1, workers=workers)


@_lazy("acc")
def fourier_spectrum(acc: ArrayLike, dt: float, *, nfft: int | None = None, units: str = "g",
                     axis: int = api.LAST_AXIS, workers: int | None = 1) -> FourierSpectrum:
    """Fourier amplitude spectrum of records.

    ``amplitude = |rfft(acc, nfft)| * dt``: the discrete transform scaled by
    the sampling interval, which approximates the continuous Fourier
    transform of the record, in g s.  Padding with zeros (``nfft`` beyond the
    number of samples) makes the bins finer, ``1 / (nfft dt)`` apart, without
    changing that scale.

    Parameters
    ----------
    acc : array_like, pandas Series or DataFrame, or list of 1-D arrays
        Ground acceleration with time along `axis` and any number of record
        dimensions; a DataFrame holds one record per column; records of
        different lengths (a list) need `nfft`.
    dt : float
        Sampling interval in seconds, positive and finite.
    nfft : int, optional
        Length of the transform: every record padded with zeros at its end.
        At least the number of samples; None (the default) is that number.
    units : {"g", "m/s2", "cm/s2", "gal"}, optional
        Unit of `acc` (g = 9.80665 m/s^2); the amplitude is in g s.
    axis : int, optional
        The time axis of `acc`.
    workers : int or None, optional
        Threads of SciPy's FFT where SciPy is installed (None: one per CPU).

    Returns
    -------
    FourierSpectrum
        ``frequencies`` (Hz, ``numpy.fft.rfftfreq(nfft, dt)``, from 0 to the
        Nyquist frequency) and ``amplitude`` of shape ``leading +
        (nfft // 2 + 1,)``.

    Raises
    ------
    ValueError
        If `dt` is not positive and finite, `nfft` is smaller than the
        number of samples, `units` is unknown or `axis` out of range.
    TypeError
        If an argument has the wrong type.

    Examples
    --------
    >>> fourier_spectrum([0.0, 1.0, 0.0, 0.0], 0.5).amplitude
    array([0.5, 0.5, 0.5])
    """
    batch = api._batch(acc, dt, units=units, axis=axis)
    if batch.dt is None:
        raise ValueError("dt must be one number: the records of one spectrum share its frequencies")
    dt = batch.dt
    lengths = [r.size for r in batch.records()] if batch.ragged is not None else [batch.uniform.shape[1]]
    n = max(lengths, default=0)
    if nfft is None:
        if len(set(lengths)) > 1:
            raise ValueError(
                "records of different lengths have different frequencies; give nfft (at least "
                f"the longest record, {n} samples) to put them all on one grid"
            )
        nfft = n
    else:
        nfft = api._integer(nfft, "nfft")
        if nfft < max(n, 1):
            raise ValueError(
                f"nfft must be at least the number of samples ({n}) and at least 1; got {nfft}"
            )
    if nfft == 0:
        raise ValueError("acc must hold at least one sample")
    n_workers = api._workers(workers)
    if batch.ragged is not None:
        amplitude = np.stack([np.abs(_transform(r, nfft, n_workers)) for r in batch.ragged]) * dt
    else:
        amplitude = np.abs(_transform(batch.uniform, nfft, n_workers)) * dt
    return FourierSpectrum(np.fft.rfftfreq(nfft, dt), batch.shaped(amplitude))


@_lazy("comp_0", "comp_90")
def effective_amplitude_spectrum(
    comp_0: ArrayLike,
    comp_90: ArrayLike,
    dt: float,
    *,
    center_frequencies: ArrayLike | None = None,
    bandwidth: float = EAS_BANDWIDTH,
    nfft: int | None = None,
    units: str = "g",
    axis: int = api.LAST_AXIS,
    workers: int | None = 1,
) -> FourierSpectrum:
    """Effective amplitude spectrum (EAS) of horizontal pairs.

    ``EAS(f) = sqrt((FAS_0(f)**2 + FAS_90(f)**2) / 2)`` from the two Fourier
    amplitude spectra of `fourier_spectrum`, then smoothed with the
    Konno-Ohmachi window (normalised to sum to one at each centre) onto
    `center_frequencies`, as in Goulet et al. (2018, PEER 2018/08, NGA-East)
    with the bandwidth coefficient b = 188.5.  The EAS does not depend on
    the orientation of the pair.

    Bandwidths.  The window ``(sin x / x)**4`` with ``x = b log10(f / f_c)``
    has its first zeros at ``x = +-pi``: its main lobe spans ``2 pi / b``
    decades, 1/30 of a decade (0.0333) for b = 188.5 and 0.157 decades for
    the customary b = 40.  Conventions that state the width ``w`` in decades
    use ``b = 2 pi / w``; ObsPy, pykooh and Geopsy take b itself.

    Parameters
    ----------
    comp_0, comp_90 : array_like
        The two horizontal components, same shape, time along `axis`.
    dt : float
        Sampling interval in seconds, positive and finite.
    center_frequencies : float or array_like, optional
        The frequencies (Hz, positive) at which the EAS is given.  By default
        `EAS_CENTER_FREQUENCIES` (20 per decade, 0.01 to 100 Hz) that lie
        within the record's band, from the first nonzero bin to the Nyquist
        frequency; the result's ``frequencies`` says which.
    bandwidth : float, optional
        Konno-Ohmachi bandwidth coefficient b, positive and finite.
    nfft, units, axis, workers
        As in `fourier_spectrum`.

    Returns
    -------
    FourierSpectrum
        ``frequencies`` (the centres) and ``amplitude`` (g s) of shape
        ``leading + (n_centres,)``.

    References
    ----------
    Goulet, C. A., Kottke, A., Boore, D. M., et al. (2018). Effective
    amplitude spectrum (EAS) as a metric for ground motion modeling using
    Fourier amplitudes. PEER Report 2018/08, Chapter 2.
    """
    batches = api._component_batches({"comp_0": comp_0, "comp_90": comp_90}, dt, units, axis)
    if batches[0].ragged is not None:
        # Record by record; the records must share their frequencies.
        steps = batches[0].steps()
        ones = [effective_amplitude_spectrum(x, y, float(d), center_frequencies=center_frequencies,
                                             bandwidth=bandwidth, nfft=nfft, workers=workers)
                for x, y, d in zip(batches[0].ragged, batches[1].ragged, steps)]
        if any(one.frequencies.shape != ones[0].frequencies.shape
               or np.any(one.frequencies != ones[0].frequencies) for one in ones):
            raise ValueError("records of different lengths or steps have different frequencies: "
                             "give nfft, one dt, and center_frequencies")
        return FourierSpectrum(ones[0].frequencies,
                               np.stack([one.amplitude for one in ones]).reshape(
                                   batches[0].leading + ones[0].amplitude.shape))
    fas_0, fas_90 = (fourier_spectrum(b.uniform, b.dt, nfft=nfft, workers=workers)
                     for b in batches)
    freq = fas_0.frequencies
    if center_frequencies is None:
        low, high = (freq[1], freq[-1]) if freq.size > 1 else (np.inf, 0.0)
        inside = (EAS_CENTER_FREQUENCIES >= low) & (EAS_CENTER_FREQUENCIES <= high)
        centres = EAS_CENTER_FREQUENCIES[inside]
        if centres.size == 0:
            raise ValueError(
                f"the record's band (up to {high:g} Hz) holds none of the default "
                "center_frequencies; give center_frequencies"
            )
    else:
        centres = _centres(center_frequencies)
    # hypot: no overflow on the way for any finite amplitudes.
    eas = np.hypot(fas_0.amplitude, fas_90.amplitude) * np.sqrt(0.5)
    smoothed = smooth_onto(eas, bandwidth, freq, centres, -1, workers, False)
    return FourierSpectrum(centres, batches[0].shaped(smoothed))
