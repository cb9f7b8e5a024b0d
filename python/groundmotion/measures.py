"""Peak motions, CAV variants, durations and spectrum intensities.

The measures of a strong-motion flatfile beyond PGA, Arias intensity, CAV
and significant duration.  Every function takes the acceleration with time
along ``axis`` (default the last) and any number of record dimensions around
it, in ``units`` ("g", "m/s2", "cm/s2" or "gal"; g = 9.80665 m/s^2), and
gives one value per record: a float for one 1-D record, an array of the
record dimensions for a batch.  ``workers=`` and ``progress=`` split the
records across threads and show a progress bar as the other batch functions
do.  The time-domain measures run compiled kernels of
`groundmotion._measures`; the spectrum intensities are short functions of
`groundmotion.spectra`.

Velocity and displacement are the running trapezoidal integrals of the
acceleration from rest, without baseline correction: PEER's ``.AT2`` records
are already processed.  Filter a raw record first (for example with
``scipy.signal.sosfiltfilt`` and a Butterworth band-pass) if its integrals
drift.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from ._core import _rotd
from ._measures import (
    _arias_times,
    _bracketed_duration,
    _cav_std,
    _husid,
    _peak_motions,
    _rotd_motions,
    _rotd_percentiles,
)
from .api import (
    _CM_PER_G,
    LAST_AXIS,
    FloatArray,
    Measure,
    _chunked,
    _component_batches,
    _per_leading,
    _per_record,
    _percentiles,
    _periods,
    _positive_finite,
    _real_array,
    _real_scalar,
    _rotd_columns,
    _threshold,
    _time_series,
    _workers,
    record_inputs,
    spectra,
)
from .lazy import measure as _lazy
from .results import PeakMotions

# numpy.trapezoid from NumPy 2, numpy.trapz before.
_trapezoid = getattr(np, "trapezoid", None) or getattr(np, "trapz")

__all__ = [
    "CAV5_THRESHOLD",
    "CAV_STD_LEVEL",
    "HOUSNER_PERIODS",
    "ASI_PERIODS",
    "acceleration_spectrum_intensity",
    "arias_times",
    "bracketed_duration",
    "cav_std",
    "housner_intensity",
    "husid",
    "peak_motions",
    "rotd_peak_motions",
    "sa_avg",
]

#: The CAV5 threshold of Kramer and Mitchell (2006): 5 cm/s^2, in g.
CAV5_THRESHOLD = 5.0 / _CM_PER_G
#: The window peak at which the standardised CAV counts a window, in g.
CAV_STD_LEVEL = 0.025

# Geometric period grids of the spectrum intensities: 200 periods per
# decade, from the lower to the upper bound of each integral.
_PER_DECADE = 200


def _geometric_grid(low: float, high: float) -> FloatArray:
    n = math.ceil(_PER_DECADE * math.log10(high / low)) + 1
    grid = np.geomspace(low, high, n)
    grid[0], grid[-1] = low, high
    return grid


#: Periods (s) over which `housner_intensity` integrates PSV: 0.1 to 2.5 s.
HOUSNER_PERIODS = _geometric_grid(0.1, 2.5)
#: Periods (s) over which `acceleration_spectrum_intensity` integrates PSA.
ASI_PERIODS = _geometric_grid(0.1, 0.5)


# ---------------------------------------------------------------------------
# Peak motions


@_lazy("acc")
@record_inputs("acc")
def peak_motions(
    acc: ArrayLike,
    dt: float,
    *,
    units: str = "g",
    axis: int = LAST_AXIS,
    workers: int | None = 1,
    progress: bool = False,
) -> PeakMotions:
    """Peak ground acceleration, velocity and displacement of records.

    PGA is the largest absolute sample.  The velocity and the displacement
    are the running trapezoidal integrals from rest, ``v[0] = d[0] = 0``,
    ``v[k] = v[k-1] + dt (a[k-1] + a[k]) / 2`` and ``d`` likewise from ``v``
    (``scipy.integrate.cumulative_trapezoid`` with ``initial=0``); PGV and
    PGD are their largest absolute values.  There is no baseline
    correction: filter a raw record first (see the module notes).

    Parameters
    ----------
    acc : array_like
        Acceleration with time along `axis` and any record dimensions.
    dt : float
        Sampling interval in seconds, positive and finite.
    units : {"g", "m/s2", "cm/s2", "gal"}, optional
        Unit of `acc` (g = 9.80665 m/s^2).
    axis : int, optional
        The time axis of `acc`.
    workers : int or None, optional
        Threads over which the records are split (None: one per CPU); the
        result does not depend on it.
    progress : bool, optional
        Show a tqdm progress bar (needs tqdm).

    Returns
    -------
    PeakMotions
        ``pga`` (g), ``pgv`` (cm/s) and ``pgd`` (cm), floats for one record
        and arrays of the record dimensions for a batch.  A record with a
        NaN or infinite sample gives NaN in all three; a record of one
        sample gives its PGA and zero PGV and PGD.

    Raises
    ------
    ValueError
        If `dt` is not positive and finite, `acc` has no dimension, `axis`
        is out of range or `units` is unknown.
    TypeError
        If `acc` does not hold real numbers or `dt` is not a real number.

    Examples
    --------
    >>> peak_motions([0.0, 1.0, 0.0], 1.0).pgv
    980.665
    """
    records, leading = _time_series(acc, axis, units, dt=dt)
    dt = _positive_finite(dt, "dt")
    table = _per_record(_peak_motions, records, (dt,), workers, progress, "peak motions")
    table = table * np.array([1.0, _CM_PER_G, _CM_PER_G])
    return PeakMotions(*(_per_leading(table[:, k], leading) for k in range(3)))


@_lazy("comp_0", "comp_90")
@record_inputs("comp_0", "comp_90")
def rotd_peak_motions(
    comp_0: ArrayLike,
    comp_90: ArrayLike,
    dt: float,
    percentiles: float | ArrayLike = (0.0, 50.0, 100.0),
    *,
    units: str = "g",
    axis: int = LAST_AXIS,
    workers: int | None = 1,
    progress: bool = False,
) -> PeakMotions:
    """Rotated peak acceleration, velocity and displacement of horizontal pairs.

    The acceleration pair, and the velocity and displacement pairs that
    `peak_motions` integrates from it, are each rotated to every whole
    degree from 0 to 179; the 180 directional peaks of each, sorted, are
    read at ``p / 100 * 179`` with linear interpolation (RotDnn, Boore,
    2010).  The acceleration's peaks come from the convex-hull kernel of
    `rotd`.  The velocity and displacement trajectories are integrated pair
    by pair, with a bounding box for every 64 samples; each direction's
    peak is the largest ``|cos(θ) x + sin(θ) y|`` over all the samples, the
    value a sweep over every sample gives, bit for bit, but only the boxes
    that could beat the peak found so far are read.  Smooth trajectories
    leave few such boxes, whatever their shape (a displacement that drifts
    along a line is the hard case for a hull).

    Parameters
    ----------
    comp_0, comp_90 : array_like
        The two horizontal components, same shape, time along `axis`.
    dt : float
        Sampling interval in seconds, positive and finite.
    percentiles : float or sequence of floats, optional
        Percentiles in [0, 100]; (0, 50, 100) by default.
    units, axis, workers, progress
        As for `peak_motions`.

    Returns
    -------
    PeakMotions
        ``pga`` (g), ``pgv`` (cm/s) and ``pgd`` (cm), each of shape
        ``leading + (n_percentiles,)``, and ``percentiles``.  With
        ``units="g"`` ``pga`` is bit for bit ``rotd(comp_0, comp_90,
        percentiles=percentiles).rotdnn``.  A record with a NaN or infinite
        sample gives NaN.

    Raises
    ------
    ValueError
        If the components differ in shape or hold no samples, a percentile
        lies outside [0, 100], or as for `peak_motions`.
    TypeError
        If a component does not hold real numbers or `dt` is not a real
        number.

    References
    ----------
    Boore, D. M. (2010). Orientation-independent, nongeometric-mean measures
    of seismic intensity from two horizontal components of motion. Bulletin
    of the Seismological Society of America, 100(4), 1830-1835.
    """
    batches = _component_batches({"comp_0": comp_0, "comp_90": comp_90}, dt, units, axis)
    (x, y), leading = (b.uniform for b in batches), batches[0].leading
    if x.shape[0] > 0 and x.shape[1] == 0:
        raise ValueError("comp_0 and comp_90 hold no samples; RotD needs at least one")
    dt = _positive_finite(dt, "dt")
    wanted = _percentiles(percentiles)[np.newaxis, :]
    n_workers = _workers(workers)

    # RotD00, RotD50 and RotD100 of the acceleration come from _rotd (the same
    # bits as RotDnn at 0, 50 and 100, for less work).
    rotd_columns = _rotd_columns(wanted[0])

    def compute(rows: slice) -> FloatArray:
        motions = _rotd_motions(x[rows], y[rows], dt, wanted) * _CM_PER_G
        acceleration = _rotd(x[rows], y[rows])[:, rotd_columns] if rotd_columns is not None \
            else _rotd_percentiles(x[rows], y[rows], wanted)
        return np.stack([acceleration, motions[:, 0], motions[:, 1]])

    table = _chunked(compute, x.shape[0], 1, n_workers, progress, "RotD peak motions")
    shape = leading + (wanted.shape[1],)
    return PeakMotions(*(table[k].reshape(shape) for k in range(3)), percentiles=wanted[0])


# ---------------------------------------------------------------------------
# CAV variants


@_lazy("acc")
@record_inputs("acc")
def cav_std(
    acc: ArrayLike,
    dt: float,
    *,
    units: str = "g",
    axis: int = LAST_AXIS,
    workers: int | None = 1,
    progress: bool = False,
) -> Measure:
    """Standardised cumulative absolute velocity (EPRI, 1991).

    The record is cut into 1-second windows; the CAV of every window whose
    peak absolute acceleration reaches 0.025 g (`CAV_STD_LEVEL`) is summed.
    Each window's CAV is that of `cav` (trapezoids split at zero crossings,
    9.81 m/s^2 per g), so that a record whose every window counts gives
    `cav` up to rounding.

    Windows: window i holds the sample intervals that start at a sample
    time ``k dt`` in [i, i + 1) s, and its peak is taken over the samples at
    both ends of those intervals (the sample at a whole second belongs to
    the peaks of the windows on both sides of it).  When ``1 / dt`` is a
    whole number n, window i is the n intervals from sample ``i n`` to
    sample ``(i + 1) n``.  When it is not, the windows keep their whole-second
    starts and hold ``floor(1 / dt)`` or ``ceil(1 / dt)`` intervals, the
    interval that straddles a whole second going to the window it starts
    in; a sample time within a millionth of `dt` below a whole second counts
    as that second, against rounding in ``k dt``.  The last window holds what
    remains of the record after the last whole second, even if it is short,
    and counts like the others.  With ``dt > 1 s`` every interval is a
    window of its own.

    Parameters
    ----------
    acc, dt, units, axis, workers, progress
        As for `cav`.

    Returns
    -------
    float or numpy.ndarray
        CAVstd in m/s; 0.0 when no window reaches 0.025 g, NaN for a record
        with a NaN sample.

    Raises
    ------
    ValueError, TypeError
        As for `cav`.

    References
    ----------
    EPRI (1991). Standardization of the cumulative absolute velocity. Report
    TR-100082, Electric Power Research Institute.
    """
    records, leading = _time_series(acc, axis, units, dt=dt)
    dt = _positive_finite(dt, "dt")
    values = _per_record(_cav_std, records, (dt, CAV_STD_LEVEL), workers, progress, "CAVstd")
    return _per_leading(values, leading)


# ---------------------------------------------------------------------------
# Durations


@_lazy("acc")
@record_inputs("acc")
def bracketed_duration(
    acc: ArrayLike,
    dt: float,
    threshold: float = 0.05,
    *,
    units: str = "g",
    axis: int = LAST_AXIS,
    workers: int | None = 1,
    progress: bool = False,
) -> Measure:
    """Bracketed duration: from the first to the last exceedance of a threshold.

    The time between the first and the last sample whose absolute
    acceleration reaches `threshold` (Bolt, 1973), ``dt`` times the number of
    sample intervals between them.

    Parameters
    ----------
    acc, dt, units, axis, workers, progress
        As for `cav`.
    threshold : float, optional
        Acceleration in g (0.05 g by default), non-negative and finite.

    Returns
    -------
    float or numpy.ndarray
        Duration in seconds; 0.0 when no sample reaches the threshold, NaN
        for a record with a NaN or infinite sample.

    Raises
    ------
    ValueError, TypeError
        As for `cav`.

    References
    ----------
    Bolt, B. A. (1973). Duration of strong ground motion. Proceedings of the
    Fifth World Conference on Earthquake Engineering, Rome, 1304-1313.

    Examples
    --------
    >>> bracketed_duration([0.0, 0.1, 0.0, 0.2, 0.0], 0.5)
    1.0
    """
    records, leading = _time_series(acc, axis, units, dt=dt)
    dt = _positive_finite(dt, "dt")
    threshold = _threshold(threshold)
    values = _per_record(_bracketed_duration, records, (dt, threshold), workers, progress,
                         "bracketed duration")
    return _per_leading(values, leading)


@_lazy("acc")
@record_inputs("acc")
def husid(
    acc: ArrayLike,
    dt: float,
    *,
    units: str = "g",
    axis: int = LAST_AXIS,
    workers: int | None = 1,
    progress: bool = False,
) -> FloatArray:
    """The Husid curve: the running Arias intensity over its total.

    The cumulative Arias intensity of `arias_intensity` (the same sums as
    `significant_duration`) after every sample, divided by the total: 0 at
    the first sample, 1 at the last.

    Parameters
    ----------
    acc, dt, units, axis, workers, progress
        As for `cav`.

    Returns
    -------
    numpy.ndarray
        Same shape as `acc`.  A record whose Arias intensity is below 1e-10
        m/s (`significant_duration`'s minimum) gives zeros, one with a NaN or
        infinite sample NaNs.

    Raises
    ------
    ValueError, TypeError
        As for `cav`.

    References
    ----------
    Husid, R. (1969). Características de terremotos. Análisis general.
    Revista del IDIEM, 8(1), 21-42.
    """
    records, leading = _time_series(acc, axis, units, dt=dt)
    dt = _positive_finite(dt, "dt")
    curves = _per_record(_husid, records, (dt,), workers, progress, "Husid")
    return np.moveaxis(curves.reshape(leading + (records.shape[1],)), -1, int(axis))


@_lazy("acc")
@record_inputs("acc")
def arias_times(
    acc: ArrayLike,
    dt: float,
    fractions: float | ArrayLike,
    *,
    units: str = "g",
    axis: int = LAST_AXIS,
    workers: int | None = 1,
    progress: bool = False,
) -> FloatArray:
    """Times at which the Husid curve reaches given fractions.

    For each fraction the sample index i is the one `significant_duration`
    finds (the last sample whose normalised Arias intensity equals the
    fraction, otherwise the first that exceeds it), and the time is
    ``i * dt``.  The indices agree exactly: ``significant_duration(a, dt,
    lo, hi)`` is ``(i_hi - i_lo) * dt``, bit for bit.

    Parameters
    ----------
    acc, dt, units, axis, workers, progress
        As for `cav`.
    fractions : float or sequence of floats
        Fractions of the total Arias intensity, each in [0, 1].

    Returns
    -------
    numpy.ndarray
        Shape ``leading + (n_fractions,)``, seconds from the first sample.
        Zeros for a record whose Arias intensity is below 1e-10 m/s, NaN for
        one with a NaN or infinite sample.

    Raises
    ------
    ValueError
        If a fraction lies outside [0, 1] or the sequence is empty or not
        1-D, or as for `cav`.
    TypeError
        As for `cav`.

    Examples
    --------
    >>> arias_times([0.0, 1.0, 1.0, 0.0], 1.0, [0.05, 0.95])
    array([1., 3.])
    """
    records, leading = _time_series(acc, axis, units, dt=dt)
    dt = _positive_finite(dt, "dt")
    if np.ndim(fractions) == 0:
        wanted = np.array([_real_scalar(fractions, "fractions")])
    else:
        wanted = _real_array(fractions, "fractions")
        if wanted.ndim != 1 or wanted.size == 0:
            raise ValueError(
                f"fractions must be a number or a non-empty 1-D sequence; got an array of "
                f"shape {wanted.shape}"
            )
    bad = np.flatnonzero(~((wanted >= 0.0) & (wanted <= 1.0)))
    if bad.size:
        raise ValueError(f"fractions must lie in [0, 1]; got {float(wanted[bad[0]])!r}")
    values = _per_record(_arias_times, records, (dt, wanted[np.newaxis, :]), workers, progress,
                         "Arias times")
    return values.reshape(leading + (wanted.size,))


# ---------------------------------------------------------------------------
# Spectrum intensities


def _spectrum_integral(acc: ArrayLike, dt: float, damping: Any, grid: FloatArray, field: str,
                       **options: Any) -> Measure:
    values = getattr(spectra(acc, dt, grid, damping, **options), field)
    integral = _trapezoid(values, grid, axis=-1)
    return float(integral) if integral.ndim == 0 else integral


@_lazy("acc")
@record_inputs("acc")
def housner_intensity(
    acc: ArrayLike,
    dt: float,
    damping: float = 0.05,
    *,
    units: str = "g",
    axis: int = LAST_AXIS,
    workers: int | None = 1,
    progress: bool = False,
) -> Measure:
    """Housner spectrum intensity: PSV integrated from 0.1 to 2.5 s.

    ``SI = integral of PSV(T) dT`` over T from 0.1 to 2.5 s (Housner, 1952),
    PSV from `spectra`, by the trapezoidal rule over `HOUSNER_PERIODS`: 281
    periods spaced geometrically, 200 per decade.  A geometric grid keeps the
    same resolution relative to the width of the resonance peaks, which
    narrow with the period.  On 148 records of PEER's NGA-West2 database
    (PEER NGA-West2, dt 0.005 to 0.02 s) it agrees within 0.021 % with the
    same integral on a grid ten times finer, geometric or uniform (the bound
    kept is 0.1 %).

    Parameters
    ----------
    acc, dt, units, axis, workers, progress
        As for `spectra`.
    damping : float, optional
        Fraction of critical damping in [0, 1); 5 % by default.

    Returns
    -------
    float or numpy.ndarray
        SI in cm (cm/s times s); NaN for a record with a NaN sample.

    Raises
    ------
    ValueError, TypeError
        As for `spectra`.

    References
    ----------
    Housner, G. W. (1952). Spectrum intensities of strong-motion earthquakes.
    Proceedings of the Symposium on Earthquake and Blast Effects on
    Structures, Los Angeles, 20-36.
    """
    return _spectrum_integral(acc, dt, damping, HOUSNER_PERIODS, "psv", units=units, axis=axis,
                              workers=workers, progress=progress)


@_lazy("acc")
@record_inputs("acc")
def acceleration_spectrum_intensity(
    acc: ArrayLike,
    dt: float,
    damping: float = 0.05,
    *,
    units: str = "g",
    axis: int = LAST_AXIS,
    workers: int | None = 1,
    progress: bool = False,
) -> Measure:
    """Acceleration spectrum intensity: PSA integrated from 0.1 to 0.5 s.

    ``ASI = integral of PSA(T) dT`` over T from 0.1 to 0.5 s (Von Thun et
    al., 1988), PSA from `spectra`, by the trapezoidal rule over
    `ASI_PERIODS`: 141 periods spaced geometrically, 200 per decade, as for
    `housner_intensity`; within 0.024 % of a grid ten times finer on the
    same records.

    Parameters
    ----------
    acc, dt, units, axis, workers, progress
        As for `spectra`.
    damping : float, optional
        Fraction of critical damping in [0, 1); 5 % by default.

    Returns
    -------
    float or numpy.ndarray
        ASI in g s; NaN for a record with a NaN sample.

    Raises
    ------
    ValueError, TypeError
        As for `spectra`.

    References
    ----------
    Von Thun, J. L., Roehm, L. H., Scott, G. A. and Wilson, J. A. (1988).
    Earthquake ground motions for design and analysis of dams. Earthquake
    Engineering and Soil Dynamics II, Geotechnical Special Publication 20,
    ASCE, 463-481.
    """
    return _spectrum_integral(acc, dt, damping, ASI_PERIODS, "psa", units=units, axis=axis,
                              workers=workers, progress=progress)


@_lazy("acc")
@record_inputs("acc")
def sa_avg(
    acc: ArrayLike,
    dt: float,
    periods: ArrayLike,
    damping: float = 0.05,
    *,
    units: str = "g",
    axis: int = LAST_AXIS,
    workers: int | None = 1,
    progress: bool = False,
) -> Measure:
    """Average spectral acceleration: the geometric mean of PSA over periods.

    ``exp(mean(log PSA(T_i)))`` over the given periods (Eads et al., 2015),
    PSA from `spectra`.

    Parameters
    ----------
    acc, dt, units, axis, workers, progress
        As for `spectra`.
    periods : float or array_like, shape (n_periods,)
        Oscillator periods in seconds, each positive and finite (Eads et
        al. take ten from 0.2 T1 to 3 T1).
    damping : float, optional
        Fraction of critical damping in [0, 1); 5 % by default.

    Returns
    -------
    float or numpy.ndarray
        Saavg in g; 0.0 when a PSA is zero, NaN for a record with a NaN
        sample.

    Raises
    ------
    ValueError, TypeError
        As for `spectra`.

    References
    ----------
    Eads, L., Miranda, E. and Lignos, D. G. (2015). Average spectral
    acceleration as an intensity measure for collapse risk assessment.
    Earthquake Engineering and Structural Dynamics, 44(12), 2057-2073.
    """
    period_array = _periods(periods)
    psa = spectra(acc, dt, period_array, damping, units=units, axis=axis, workers=workers,
                  progress=progress).psa
    with np.errstate(divide="ignore"):
        mean = np.exp(np.mean(np.log(psa), axis=-1))
    return float(mean) if mean.ndim == 0 else mean
