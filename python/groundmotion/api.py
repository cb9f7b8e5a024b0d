"""Ground-motion intensity measures of one record or of a whole batch.

Every function takes one record as a 1-D array or a batch as a 2-D array with
one record per row, accepts any array-like of real numbers and returns the
natural shape: a Python float (or a 1-D array, or a `RotD` of floats) for one
record, arrays with a leading record axis for a batch.  Inputs are converted
once to float64 with `numpy.asarray`; an array that is already float64 is
used as it is, in any memory layout, without a copy.

The arguments are checked here and wrong ones raise `ValueError` or
`TypeError` naming the argument; the compiled kernels in `groundmotion._core`
then compute without further tests.  Non-finite samples are not errors: a
NaN or infinite sample makes the result of its own record NaN and leaves the
other records of a batch untouched.

The batch functions take ``workers=`` (split the records across that many
threads; the kernels release the interpreter lock, so the threads compute in
parallel, and every record's result is bit for bit the one of a
single-threaded call) and ``progress=True`` (a tqdm progress bar).  Threads
pay off for calls that run for more than a few milliseconds; below that,
starting them costs more than they save.
"""

from __future__ import annotations

import math
import numbers
import operator
import os
from collections.abc import Callable
from concurrent.futures import FIRST_EXCEPTION, ThreadPoolExecutor, wait
from typing import Any, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._core import (
    _arias_intensity,
    _cav,
    _konno_ohmachi_matrix_rows,
    _konno_ohmachi_smooth,
    _psa,
    _rotd,
    _significant_duration,
)
from ._measures import (
    _cav_threshold,
    _oscillator_peaks,
    _psa_percentiles,
    _psa_substeps,
    _rotd_percentiles,
)
from .oscillator import oscillator_coefficients
from .results import ResponseSpectrum, RotD, Spectra

__all__ = [
    "arias_intensity",
    "cav",
    "konno_ohmachi_matrix",
    "konno_ohmachi_smooth",
    "response_spectrum",
    "rotd",
    "significant_duration",
    "spectra",
]

FloatArray = NDArray[np.float64]
#: One value per record: a float for one record, an array for a batch.
Measure = Union[float, FloatArray]

# With progress=True every worker gets this many chunks, so the bar moves.
_PROGRESS_CHUNKS_PER_WORKER = 8


# ---------------------------------------------------------------------------
# Argument checks


def _real_array(value: ArrayLike, name: str) -> FloatArray:
    """`value` as a float64 array, refusing anything that is not real numbers."""
    array = np.asarray(value)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must hold real numbers; got an array of dtype {array.dtype}")
    return np.asarray(array, dtype=np.float64)


def _records(value: ArrayLike, name: str) -> tuple[FloatArray, bool]:
    """A (n_records, n_samples) view of `value` and whether it was one record."""
    array = _real_array(value, name)
    if array.ndim == 1:
        return array[np.newaxis, :], True
    if array.ndim == 2:
        return array, False
    raise ValueError(
        f"{name} must be 1-D (one record) or 2-D (one record per row); "
        f"got a {array.ndim}-D array of shape {array.shape}"
    )


def _components(values: dict[str, ArrayLike]) -> tuple[list[FloatArray], bool]:
    """The components of one record or batch as 2-D views, after checking their shapes."""
    converted = {name: _real_array(value, name) for name, value in values.items()}
    (first_name, first), *others = converted.items()
    for name, array in others:
        if array.shape != first.shape:
            raise ValueError(
                f"{name} has shape {array.shape} but {first_name} has shape "
                f"{first.shape}; the components of a record must have the same shape "
                "(trim the longer one to the common length)"
            )
    views = [_records(array, name) for name, array in converted.items()]
    return [v for v, _ in views], views[0][1]


def _real_scalar(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be a real number; got {value!r}")
    if isinstance(value, numbers.Real):
        return float(value)
    if isinstance(value, np.ndarray) and value.ndim == 0 and value.dtype.kind in "iuf":
        return float(value)
    raise TypeError(f"{name} must be a real number; got {type(value).__name__} {value!r}")


def _positive_finite(value: Any, name: str) -> float:
    number = _real_scalar(value, name)
    if not (math.isfinite(number) and number > 0.0):
        raise ValueError(f"{name} must be positive and finite; got {number!r}")
    return number


def _fraction(value: Any, name: str) -> float:
    number = _real_scalar(value, name)
    if not 0.0 <= number <= 1.0:
        raise ValueError(f"{name} must lie in [0, 1]; got {number!r}")
    return number


def _integer(value: Any, name: str) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer; got {value!r}")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(
            f"{name} must be an integer; got {type(value).__name__} {value!r}"
        ) from None


def _index(value: Any, name: str) -> int:
    number = _integer(value, name)
    if number < 0:
        raise ValueError(f"{name} must not be negative; got {number}")
    return number


def _workers(value: Any) -> int:
    if value is None:
        return os.cpu_count() or 1
    number = _index(value, "workers")
    if number < 1:
        raise ValueError(f"workers must be at least 1 (or None for all CPUs); got {number}")
    return number


def _periods(value: ArrayLike) -> FloatArray:
    """Oscillator periods as a fresh 1-D array, each positive and finite."""
    period_array = _real_array(value, "periods")
    if period_array.ndim > 1:
        raise ValueError(
            f"periods must be a number or 1-D; got an array of shape {period_array.shape}"
        )
    period_array = np.atleast_1d(period_array).copy()
    bad = np.flatnonzero(~(np.isfinite(period_array) & (period_array > 0.0)))
    if bad.size:
        raise ValueError(
            f"periods must be positive and finite; got periods[{bad[0]}] = "
            f"{float(period_array[bad[0]])!r}"
        )
    return period_array


def _damping(value: Any, name: str = "damping") -> float:
    number = _real_scalar(value, name)
    if not 0.0 <= number < 1.0:
        raise ValueError(f"{name} must lie in [0, 1); got {number!r}")
    return number


def _dampings(value: Any) -> tuple[FloatArray, bool]:
    """A number or a non-empty 1-D sequence of dampings as a fresh 1-D array,
    and whether it was a sequence."""
    if np.ndim(value) == 0:
        return np.array([_damping(value)]), False
    damping_array = _real_array(value, "damping")
    if damping_array.ndim != 1 or damping_array.size == 0:
        raise ValueError(
            f"damping must be a number or a non-empty 1-D sequence; got an array of "
            f"shape {damping_array.shape}"
        )
    for k, number in enumerate(damping_array):
        _damping(float(number), f"damping[{k}]")
    return damping_array.copy(), True


def _percentiles(value: Any) -> FloatArray:
    """A number or a non-empty 1-D sequence of percentiles as a fresh 1-D array,
    each in [0, 100]."""
    if np.ndim(value) == 0:
        array = np.array([_real_scalar(value, "percentiles")])
    else:
        array = _real_array(value, "percentiles")
        if array.ndim != 1 or array.size == 0:
            raise ValueError(
                f"percentiles must be a number or a non-empty 1-D sequence; got an array of "
                f"shape {array.shape}"
            )
        array = array.copy()
    bad = np.flatnonzero(~((array >= 0.0) & (array <= 100.0)))
    if bad.size:
        raise ValueError(
            f"percentiles must lie in [0, 100]; got {float(array[bad[0]])!r}"
        )
    return array


# ---------------------------------------------------------------------------
# Splitting a batch across threads


def _progress_bar(total: int, desc: str) -> Any:
    try:
        from tqdm.auto import tqdm
    except ImportError as exc:
        raise ImportError(
            "progress=True needs tqdm, which is not installed; install it with "
            "`pip install tqdm` (or `pip install groundmotion[progress]`)"
        ) from exc
    return tqdm(total=total, desc=desc, unit="record")


def _chunked(
    compute: Callable[[slice], NDArray[Any]],
    n_items: int,
    axis: int,
    workers: int,
    progress: bool,
    desc: str,
) -> NDArray[Any]:
    """Run `compute` over consecutive slices of ``range(n_items)``.

    The slices' results are joined along `axis`.  Each item's result depends
    on that item alone, so the joined result is bit for bit the one of a
    single call over everything, however the items are split.
    """
    bar = _progress_bar(n_items, desc) if progress else None
    per_worker = _PROGRESS_CHUNKS_PER_WORKER if progress else 1
    n_chunks = min(n_items, workers * per_worker)
    try:
        if n_chunks <= 1:
            result = compute(slice(0, n_items))
            if bar is not None:
                bar.update(n_items)
            return result
        bounds = [n_items * k // n_chunks for k in range(n_chunks + 1)]
        slices = [slice(a, b) for a, b in zip(bounds[:-1], bounds[1:])]
        if workers == 1:
            parts = []
            for part in slices:
                parts.append(compute(part))
                if bar is not None:
                    bar.update(part.stop - part.start)
            return np.concatenate(parts, axis=axis)
        with ThreadPoolExecutor(max_workers=min(workers, n_chunks)) as pool:
            futures = {pool.submit(compute, part): part for part in slices}
            pending = set(futures)
            while pending:
                done, pending = wait(pending, return_when=FIRST_EXCEPTION)
                for future in done:
                    if future.exception() is not None:
                        for other in pending:
                            other.cancel()
                        raise future.exception()  # type: ignore[misc]
                    if bar is not None:
                        part = futures[future]
                        bar.update(part.stop - part.start)
            return np.concatenate([future.result() for future in futures], axis=axis)
    finally:
        if bar is not None:
            bar.close()


def _per_record(
    kernel: Callable[..., FloatArray],
    records: FloatArray,
    args: tuple[float, ...],
    workers: Any,
    progress: bool,
    desc: str,
) -> FloatArray:
    n_workers = _workers(workers)
    return _chunked(
        lambda rows: kernel(records[rows], *args),
        records.shape[0],
        0,
        n_workers,
        progress,
        desc,
    )


def _one_or_all(values: FloatArray, single: bool) -> Measure:
    return float(values[0]) if single else values


def _time_series(acc: ArrayLike, axis: Any, units: Any,
                 name: str = "acc") -> tuple[FloatArray, tuple[int, ...]]:
    """`acc` in g as (n_records, n_samples), time along `axis` moved last, and
    the shape of its record dimensions."""
    array = _real_array(acc, name)
    if array.ndim == 0:
        raise ValueError(f"{name} must have a time axis; got a single number")
    axis_number = _integer(axis, "axis")
    if not -array.ndim <= axis_number < array.ndim:
        raise ValueError(
            f"axis must lie in [{-array.ndim}, {array.ndim}) for {name} of shape "
            f"{array.shape}; got {axis_number}"
        )
    if not isinstance(units, str) or units not in _UNITS:
        raise ValueError(f"units must be one of {', '.join(map(repr, _UNITS))}; got {units!r}")
    moved = np.moveaxis(array, axis_number, -1)
    records = moved.reshape(math.prod(moved.shape[:-1]), moved.shape[-1])
    divisor = _UNITS[units]
    return (records if divisor is None else records / divisor), moved.shape[:-1]


def _threshold(value: Any, name: str = "threshold") -> float:
    number = _real_scalar(value, name)
    if not (math.isfinite(number) and number >= 0.0):
        raise ValueError(f"{name} must be non-negative and finite; got {number!r}")
    return number


def _per_leading(values: FloatArray, leading: tuple[int, ...]) -> Any:
    """Per-record values, (n_records, ...), in the record dimensions: a float
    (or the trailing array) for one record."""
    shaped = values.reshape(leading + values.shape[1:])
    return float(shaped) if shaped.ndim == 0 else shaped


# ---------------------------------------------------------------------------
# Time-integral measures


def arias_intensity(
    acc: ArrayLike, dt: float, *, workers: int | None = 1, progress: bool = False
) -> Measure:
    """Arias intensity of acceleration records.

    ``Ia = pi / (2 g) * integral of a(t)**2 dt`` (Arias, 1970), with the
    acceleration ``a`` in m/s^2 and g = 9.81 m/s^2.  The integral is the
    trapezoidal rule, with an interval in which the acceleration changes sign
    split at the linearly interpolated zero crossing.

    Parameters
    ----------
    acc : array_like, shape (n_samples,) or (n_records, n_samples)
        Acceleration in units of g (standard gravity), one record or one
        record per row.
    dt : float
        Sampling interval in seconds, positive and finite.
    workers : int or None, optional
        Number of threads over which the records are split (None: one per
        CPU).  The result is identical, to the bit, for every value.
    progress : bool, optional
        Show a tqdm progress bar (needs tqdm).

    Returns
    -------
    float or numpy.ndarray of shape (n_records,)
        Arias intensity in m/s.  A record with fewer than two samples gives
        0.0; a record with a NaN sample gives NaN.

    Raises
    ------
    ValueError
        If `dt` is not positive and finite or `acc` has more than two
        dimensions.
    TypeError
        If `acc` does not hold real numbers or `dt` is not a real number.

    References
    ----------
    Arias, A. (1970). A measure of earthquake intensity. In R. J. Hansen
    (ed.), Seismic Design for Nuclear Power Plants, MIT Press, 438-483.

    Examples
    --------
    >>> arias_intensity([0.0, 0.1, 0.0], 0.01)  # doctest: +ELLIPSIS
    0.00154...
    """
    records, single = _records(acc, "acc")
    dt = _positive_finite(dt, "dt")
    values = _per_record(_arias_intensity, records, (dt,), workers, progress, "Arias intensity")
    return _one_or_all(values, single)


def cav(
    acc: ArrayLike,
    dt: float,
    threshold: float = 0.0,
    *,
    units: str = "g",
    axis: int = -1,
    workers: int | None = 1,
    progress: bool = False,
) -> Measure:
    """Cumulative absolute velocity of acceleration records, with a threshold.

    ``CAV = integral of |a(t)| dt`` (EPRI, 1988), with the acceleration in
    m/s^2 (g = 9.81 m/s^2), by the trapezoidal rule with sign-changing
    intervals split at the zero crossing.  With a `threshold`, the samples
    whose absolute value lies below it count as zero before the rule runs:
    ``threshold=CAV5_THRESHOLD`` (5 cm/s^2) gives CAV5 (Kramer and Mitchell,
    2006).  ``threshold=0`` is the plain CAV, bit for bit.

    Parameters
    ----------
    acc : array_like
        Acceleration with time along `axis` and any number of record
        dimensions around it (one record is 1-D).
    dt : float
        Sampling interval in seconds, positive and finite.
    threshold : float, optional
        Acceleration in g below which a sample counts as zero; non-negative
        and finite.
    units : {"g", "m/s2", "cm/s2", "gal"}, optional
        Unit of `acc`; converted to g with g = 9.80665 m/s^2 (the integral is
        then taken to m/s with the 9.81 above).
    axis : int, optional
        The time axis of `acc`.
    workers : int or None, optional
        Number of threads over which the records are split (None: one per
        CPU); the result does not depend on it.
    progress : bool, optional
        Show a tqdm progress bar (needs tqdm).

    Returns
    -------
    float or numpy.ndarray
        CAV in m/s, a float for one record and an array of the record
        dimensions for a batch; 0.0 for a record of fewer than two samples,
        NaN for a record with a NaN sample.

    Raises
    ------
    ValueError
        If `dt` is not positive and finite, `threshold` is negative or not
        finite, `acc` has no dimension, `axis` is out of range or `units` is
        not one of the names above.
    TypeError
        If `acc` does not hold real numbers or a number argument is not a
        real number.

    References
    ----------
    EPRI (1988). A criterion for determining exceedance of the operating
    basis earthquake. Report NP-5930, Electric Power Research Institute.

    Kramer, S. L. and Mitchell, R. A. (2006). Ground motion intensity
    measures for liquefaction hazard evaluation. Earthquake Spectra, 22(2),
    413-438.

    Examples
    --------
    >>> cav([1.0, 1.0], 1.0)
    9.81
    """
    records, leading = _time_series(acc, axis, units)
    dt = _positive_finite(dt, "dt")
    threshold = _threshold(threshold)
    if threshold == 0.0:
        values = _per_record(_cav, records, (dt,), workers, progress, "CAV")
    else:
        values = _per_record(_cav_threshold, records, (dt, threshold), workers, progress, "CAV")
    return _per_leading(values, leading)


def significant_duration(
    acc: ArrayLike,
    dt: float,
    low: float = 0.05,
    high: float = 0.95,
    *,
    workers: int | None = 1,
    progress: bool = False,
) -> Measure:
    """Significant duration: time between two fractions of the Arias intensity.

    The cumulative Arias intensity of each record, normalised by its total,
    reaches `low` at one sample and `high` at a later one; the duration is
    the time between those samples (Trifunac and Brady, 1975).  The defaults
    give D5-95; ``high=0.75`` gives D5-75.  Each threshold sample is the last
    one whose normalised value equals the threshold exactly, otherwise the
    first one that exceeds it; there is no interpolation between samples, so
    the duration is a whole multiple of `dt`.

    Parameters
    ----------
    acc : array_like, shape (n_samples,) or (n_records, n_samples)
        Acceleration in units of g, one record or one record per row.
    dt : float
        Sampling interval in seconds, positive and finite.
    low, high : float, optional
        Fractions of the total Arias intensity, ``0 <= low <= high <= 1``.
    workers : int or None, optional
        Number of threads over which the records are split (None: one per
        CPU); the result does not depend on it.
    progress : bool, optional
        Show a tqdm progress bar (needs tqdm).

    Returns
    -------
    float or numpy.ndarray of shape (n_records,)
        Duration in seconds.  0.0 for a record whose Arias intensity is below
        1e-10 m/s (all zeros, fewer than two samples); NaN for a record with a
        NaN sample.

    Raises
    ------
    ValueError
        If `dt` is not positive and finite, `low` or `high` lies outside
        [0, 1], ``low > high``, or `acc` has more than two dimensions.
    TypeError
        If `acc` does not hold real numbers or a number argument is not a real
        number.

    References
    ----------
    Trifunac, M. D. and Brady, A. G. (1975). A study on the duration of
    strong earthquake ground motion. Bulletin of the Seismological Society of
    America, 65(3), 581-626.

    Arias, A. (1970). A measure of earthquake intensity. In R. J. Hansen
    (ed.), Seismic Design for Nuclear Power Plants, MIT Press, 438-483.

    Examples
    --------
    >>> significant_duration([0.0, 1.0, 1.0, 0.0], 1.0)
    2.0
    """
    records, single = _records(acc, "acc")
    dt = _positive_finite(dt, "dt")
    low = _fraction(low, "low")
    high = _fraction(high, "high")
    if low > high:
        raise ValueError(f"low must not exceed high; got low={low!r} and high={high!r}")
    values = _per_record(
        _significant_duration, records, (dt, low, high), workers, progress, "Significant duration"
    )
    return _one_or_all(values, single)


# ---------------------------------------------------------------------------
# Rotated-component peaks and response spectra


def rotd(
    comp_0: ArrayLike,
    comp_90: ArrayLike,
    *,
    workers: int | None = 1,
    progress: bool = False,
    percentiles: float | ArrayLike | None = None,
) -> RotD:
    """RotD00, RotD50 and RotD100 of pairs of horizontal components.

    The pair is rotated to every whole-degree orientation from 0 to 179
    degrees and the peak absolute value of each rotated series taken; RotD00,
    RotD50 and RotD100 are the smallest, the median and the largest of those
    180 directional peaks (Boore, 2010).

    Parameters
    ----------
    comp_0, comp_90 : array_like, shape (n_samples,) or (n_records, n_samples)
        The two horizontal components, 90 degrees apart, sampled at the same
        instants; equal shapes, one record or one record per row.  Any unit
        (the results are in the same unit).
    workers : int or None, optional
        Number of threads over which the records are split (None: one per
        CPU); the result does not depend on it.
    progress : bool, optional
        Show a tqdm progress bar (needs tqdm).
    percentiles : float or sequence of floats, optional
        Percentiles in [0, 100] at which RotDnn is also wanted: the 180
        directional peaks, sorted, read at position ``nn / 100 * 179`` with
        linear interpolation between neighbours (0, 50 and 100 give RotD00,
        RotD50 and RotD100 exactly).

    Returns
    -------
    RotD
        Fields ``rotd00``, ``rotd50``, ``rotd100`` (peaks, unit of the input)
        and ``angle_rotd00``, ``angle_rotd100`` (degrees from `comp_0` toward
        `comp_90`), floats for one record and arrays of shape (n_records,)
        for a batch.  A record with a NaN or infinite sample in either
        component gives NaN in all five.  With `percentiles`, also
        ``percentiles`` and ``rotdnn``, of shape (n_percentiles,) for one
        record and (n_records, n_percentiles) for a batch; otherwise both
        are None.

    Raises
    ------
    ValueError
        If the two components differ in shape, hold no samples, or have more
        than two dimensions, or a percentile lies outside [0, 100].
    TypeError
        If a component does not hold real numbers.

    References
    ----------
    Boore, D. M. (2010). Orientation-independent, nongeometric-mean measures
    of seismic intensity from two horizontal components of motion. Bulletin
    of the Seismological Society of America, 100(4), 1830-1835.

    Examples
    --------
    >>> r = rotd([0.0, 1.0, 0.0], [0.0, 1.0, 0.0])
    >>> r.rotd100, r.angle_rotd100  # doctest: +ELLIPSIS
    (1.41421356..., 45.0)
    """
    (x, y), single = _components({"comp_0": comp_0, "comp_90": comp_90})
    if x.shape[0] > 0 and x.shape[1] == 0:
        raise ValueError("comp_0 and comp_90 hold no samples; RotD needs at least one")
    percentile_array = None if percentiles is None else _percentiles(percentiles)
    n_workers = _workers(workers)
    table = _chunked(
        lambda rows: _rotd(x[rows], y[rows]), x.shape[0], 0, n_workers, progress, "RotD"
    )
    if percentile_array is None:
        return RotD._from_table(table, single)
    wanted = percentile_array[np.newaxis, :]
    rotdnn = _chunked(
        lambda rows: _rotd_percentiles(x[rows], y[rows], wanted),
        x.shape[0], 0, n_workers, False, "RotDnn",
    )
    return RotD._from_table(table, single, percentile_array, rotdnn)


def response_spectrum(
    comp_0: ArrayLike,
    comp_90: ArrayLike,
    comp_ver: ArrayLike | None,
    dt: float,
    periods: ArrayLike,
    damping: float | ArrayLike = 0.05,
    *,
    workers: int | None = 1,
    progress: bool = False,
    percentiles: float | ArrayLike | None = None,
    steps_per_period: int | None = None,
) -> ResponseSpectrum:
    """Pseudo-spectral acceleration of three-component records, with RotD.

    Every component drives a linear single-degree-of-freedom oscillator of
    each period, solved exactly for a ground acceleration that varies
    linearly between samples (Nigam and Jennings, 1969), starting at rest.
    The pseudo-spectral acceleration (PSA) is ``(2 pi / T)**2`` times the
    peak relative displacement.  The horizontal responses of each period also
    form a pair whose RotD00, RotD50 and RotD100 are reported (Boore, 2010).

    Parameters
    ----------
    comp_0, comp_90 : array_like, shape (n_samples,) or (n_records, n_samples)
        The two horizontal components (0 and 90 degrees), acceleration in g.
    comp_ver : array_like or None
        The vertical component, same shape; None when there is none (the
        result's ``psa_ver`` is then None).
    dt : float
        Sampling interval in seconds, positive and finite.
    periods : float or array_like, shape (n_periods,)
        Oscillator periods in seconds, each positive and finite.  The result
        always has a period axis, also for a single period.
    damping : float or sequence of floats, optional
        Fraction of critical damping in [0, 1); 0.05 for 5 %.  A sequence
        (at least one value) adds a damping axis before the period axis.
    workers : int or None, optional
        Number of threads over which the oscillators (or the records, when
        there are more records than oscillators) are split (None: one per
        CPU); the result does not depend on it.
    progress : bool, optional
        Show a tqdm progress bar (needs tqdm).
    percentiles : float or sequence of floats, optional
        Percentiles in [0, 100] at which RotDnn of the horizontal response
        pair is also wanted, read from the sorted directional peaks as in
        `rotd`.
    steps_per_period : int or None, optional
        None (the default) runs every oscillator once per sample interval.
        A positive integer n runs every period T < n dt on sub-steps exactly
        as `spectra` does (the same number of steps per interval, the same
        linear reading between samples, the last sample left out), for all
        three components, and takes the peaks and the RotD statistics over
        every sub-step of the responses.  Periods with T >= n dt run once
        per interval over the record without its last sample, which every
        period then leaves out (PEER's rule with n = 10).

    Returns
    -------
    ResponseSpectrum
        ``periods``, ``damping``, ``psa_000``, ``psa_090``, ``psa_ver``,
        ``geometric_mean``, ``rotd00``, ``rotd50``, ``rotd100``,
        ``angle_rotd00`` and ``angle_rotd100``; the response fields have shape
        (n_periods,) for one record and (n_records, n_periods) for a batch,
        PSA in g, with a damping axis before the period axis for a sequence
        of dampings.  A record with a NaN or infinite sample in any component
        gives NaN in all of its fields.  With `percentiles`, also
        ``percentiles`` and ``rotdnn``, whose shape has a percentile axis just
        before the period axis; otherwise both are None.

    Raises
    ------
    ValueError
        If the components differ in shape or have more than two dimensions,
        `dt` or a period is not positive and finite, `periods` has more than
        one dimension, a damping lies outside [0, 1) or the sequence is empty,
        a percentile lies outside [0, 100], or `steps_per_period` is neither
        None nor a positive integer.
    TypeError
        If an array does not hold real numbers or a number argument is not a
        real number.

    Notes
    -----
    The oscillators start at rest with the first sample, and the first sample
    enters the response only through the first step.  A record sampled at
    `dt` resolves periods down to a few times `dt`; shorter periods tend to
    PGA as the period goes to zero.

    References
    ----------
    Nigam, N. C. and Jennings, P. C. (1969). Calculation of response spectra
    from strong-motion earthquake records. Bulletin of the Seismological
    Society of America, 59(2), 909-922.

    Boore, D. M. (2010). Orientation-independent, nongeometric-mean measures
    of seismic intensity from two horizontal components of motion. Bulletin
    of the Seismological Society of America, 100(4), 1830-1835.

    Examples
    --------
    >>> import numpy as np
    >>> t = np.arange(0, 10, 0.01)
    >>> s = response_spectrum(np.sin(2 * np.pi * t), np.zeros_like(t), None, 0.01, [0.5, 1.0, 2.0])
    >>> s.psa_000.shape, s.psa_ver is None
    ((3,), True)
    """
    given: dict[str, ArrayLike] = {"comp_0": comp_0, "comp_90": comp_90}
    if comp_ver is not None:
        given["comp_ver"] = comp_ver
    components, single = _components(given)
    x, y = components[:2]
    # Without a vertical component the oscillator runs on zeros, read from a
    # zero-stride view: no memory is allocated for them.
    z = components[2] if len(components) == 3 else np.broadcast_to(np.zeros((1, 1)), x.shape)
    dt = _positive_finite(dt, "dt")
    period_array = _periods(periods)
    damping_array, several = _dampings(damping)
    percentile_array = None if percentiles is None else _percentiles(percentiles)
    n_workers = _workers(workers)

    substeps = _substeps(period_array, dt, steps_per_period)

    # The oscillators of every damping, one after the other; those run on
    # sub-steps also carry their number of steps per interval.
    dampings = damping_array if several else [float(damping_array[0])]
    coefficients = np.concatenate([_step_coefficients(period_array, d, dt, substeps)
                                   for d in dampings])
    steps = np.tile(substeps, len(dampings))
    fine = steps > 1
    with_steps = np.column_stack([coefficients[fine], steps[fine]])

    def run_all(kernel: Callable[..., FloatArray], fine_kernel: Callable[..., FloatArray],
                records: tuple[FloatArray, ...], tail: tuple[FloatArray, ...],
                desc: str) -> FloatArray:
        whole = _whole_step_records(records, steps_per_period)
        return _stitched(
            fine,
            lambda: _oscillator_table(kernel, whole, coefficients[~fine], tail, n_workers,
                                      progress, desc),
            lambda: _oscillator_table(fine_kernel, records, with_steps, tail, n_workers,
                                      progress, desc),
        )

    leading = (x.shape[0],) + ((damping_array.size,) if several else ())
    table = run_all(_psa, _psa_substeps, (x, y, z), (), "PSA")
    table = table.reshape(leading + (period_array.size, 9))
    rotdnn = None
    if percentile_array is not None:
        rotdnn = run_all(_psa_percentiles, _psa_percentiles, (x, y),
                         (percentile_array[np.newaxis, :],), "RotDnn")
        rotdnn = np.swapaxes(rotdnn.reshape(leading + (period_array.size, percentile_array.size)), -1, -2)
    return ResponseSpectrum._from_table(
        period_array, damping_array if several else float(damping_array[0]), table, single,
        vertical=comp_ver is not None, percentiles=percentile_array, rotdnn=rotdnn,
    )


# ---------------------------------------------------------------------------
# Single-component spectra

#: Standard gravity, m/s^2.
STANDARD_GRAVITY = 9.80665
_CM_PER_G = 980.665  # cm/s^2 in one g
# Divisors that take each accepted input unit to g; None for g itself.
_UNITS = {"g": None, "m/s2": STANDARD_GRAVITY, "cm/s2": _CM_PER_G, "gal": _CM_PER_G}


def _oscillator_table(kernel: Callable[..., FloatArray], records: tuple[FloatArray, ...],
                      rows: FloatArray, tail: tuple[Any, ...], workers: int, progress: bool,
                      desc: str) -> FloatArray:
    """kernel(*records, rows, *tail), split across the records or across the
    oscillator rows, whichever are more."""
    n_records, n_rows = records[0].shape[0], rows.shape[0]
    if n_rows >= n_records:
        return _chunked(lambda o: kernel(*records, rows[o], *tail), n_rows, 1, workers,
                        progress, desc)
    return _chunked(lambda r: kernel(*(a[r] for a in records), rows, *tail), n_records, 0,
                    workers, progress, desc)


def _whole_step_records(records: tuple[FloatArray, ...],
                        steps_per_period: Any) -> tuple[FloatArray, ...]:
    """The records the whole-step oscillators run on.  With sub-steps the last
    sample is left out at every period: the sub-stepped oscillators stop short
    of it, the whole-step ones run on the record without it."""
    return records if steps_per_period is None else tuple(a[:, :-1] for a in records)


def _stitched(fine: np.ndarray, whole_part: Callable[[], FloatArray],
              fine_part: Callable[[], FloatArray]) -> FloatArray:
    """The results of the whole-step oscillators and of the sub-stepped ones
    (`fine`), each (n_records, n, ...), in oscillator order."""
    if not fine.any():
        return whole_part()
    if fine.all():
        return fine_part()
    sub, rest = fine_part(), whole_part()
    out = np.empty(sub.shape[:1] + (fine.size,) + sub.shape[2:])
    out[:, fine] = sub
    out[:, ~fine] = rest
    return out


def _substeps(periods: np.ndarray, dt: float, steps_per_period: Any) -> np.ndarray:
    """Steps per sample interval of every period, as floats (1 without sub-steps)."""
    substeps = np.ones(periods.size)
    if steps_per_period is None:
        return substeps
    if isinstance(steps_per_period, (bool, np.bool_)) or not isinstance(
        steps_per_period, (int, np.integer)
    ) or steps_per_period < 1:
        raise ValueError(
            f"steps_per_period must be None or a positive integer; got {steps_per_period!r}"
        )
    span = float(steps_per_period) * dt
    short = periods < span
    # T < n dt, yet the rounded quotient may be 1: at least two steps then.
    substeps[short] = np.maximum(np.ceil(span / periods[short]), 2.0)
    return substeps


def _step_coefficients(periods: np.ndarray, damping: float, dt: float,
                       substeps: np.ndarray) -> np.ndarray:
    """The recursion coefficients of every period for its step dt / k."""
    table = np.asarray(oscillator_coefficients(periods, damping, dt), np.float64)
    for k in np.unique(substeps[substeps > 1]):
        rows = substeps == k
        table[rows] = oscillator_coefficients(periods[rows], damping, dt / k)
    return table


def spectra(
    acc: ArrayLike,
    dt: float,
    periods: ArrayLike,
    damping: float | ArrayLike = 0.05,
    *,
    units: str = "g",
    axis: int = -1,
    workers: int | None = 1,
    progress: bool = False,
    steps_per_period: int | None = None,
) -> Spectra:
    """Displacement, velocity and acceleration response spectra of records.

    Every record drives a linear single-degree-of-freedom oscillator of each
    period and damping, solved exactly for a ground acceleration that varies
    linearly between samples (the recursion of `response_spectrum`), starting
    at rest.  The peaks over the samples of the relative displacement, the
    relative velocity and the total (absolute) acceleration give SD, SV and
    SA; PSA is ``(2 pi / T)**2`` times SD and PSV is ``2 pi / T`` times SD.

    Parameters
    ----------
    acc : array_like
        Ground acceleration with time along `axis` and any number of record
        dimensions before or after it.
    dt : float
        Sampling interval in seconds, positive and finite.
    periods : float or array_like, shape (n_periods,)
        Oscillator periods in seconds, each positive and finite.
    damping : float or sequence of floats, optional
        Fraction of critical damping in [0, 1); 0.05 for 5 %.  A sequence
        (at least one value) adds a damping axis before the period axis.
    units : {"g", "m/s2", "cm/s2", "gal"}, optional
        Unit of `acc`; converted to g with g = 9.80665 m/s^2.
    axis : int, optional
        The time axis of `acc`.
    workers : int or None, optional
        Number of threads over which the records (or the oscillators, when
        there are more of them than records) are split (None: one per CPU);
        the result does not depend on it.
    progress : bool, optional
        Show a tqdm progress bar (needs tqdm).
    steps_per_period : int or None, optional
        None (the default) runs every oscillator once per sample interval,
        from the first sample to the last.  A positive integer n runs every
        period T < n dt on k = ceil(n dt / T) steps per sample interval (at
        least 2; n dt is rounded, then the quotient), over the record read
        linearly between samples at the times j dt / k for j = 0 ..
        (len - 1) k - 1, so that the last sample is left out, and takes the
        peaks over every step; sub-sample j of the interval from a0 to a1 is
        ``a0 + (a1 - a0) * (j / k)``.  Periods with T >= n dt run once per
        interval over the record without its last sample, which every
        period then leaves out.  ``steps_per_period=10`` is the rule of
        PEER's NGA-West2 spectra.

    Returns
    -------
    Spectra
        ``periods``, ``damping`` and the fields ``sd`` (cm), ``sv`` (cm/s),
        ``sa`` (g), ``psv`` (cm/s) and ``psa`` (g), each of shape
        ``leading + (n_periods,)`` for one damping and ``leading +
        (n_dampings, n_periods)`` for a sequence, where ``leading`` is the
        shape of `acc` without `axis`.  A record with a NaN or infinite
        sample gives NaN in all of its fields.  Without `steps_per_period`
        ``psa`` equals `response_spectrum`'s ``psa_000`` for the same record
        in g.

    Raises
    ------
    ValueError
        If `acc` has no dimension, `axis` is out of range, `dt` or a period
        is not positive and finite, `periods` has more than one dimension, a
        damping lies outside [0, 1) or the sequence is empty, `units` is
        not one of the names above, or `steps_per_period` is neither None
        nor a positive integer.
    TypeError
        If an array does not hold real numbers or a number argument is not a
        real number.

    Examples
    --------
    >>> import numpy as np
    >>> t = np.arange(0, 10, 0.01)
    >>> s = spectra(np.sin(2 * np.pi * t), 0.01, [0.5, 1.0, 2.0], [0.02, 0.05])
    >>> s.sd.shape
    (2, 3)
    """
    array = _real_array(acc, "acc")
    if array.ndim == 0:
        raise ValueError("acc must have a time axis; got a single number")
    axis_number = _integer(axis, "axis")
    if not -array.ndim <= axis_number < array.ndim:
        raise ValueError(
            f"axis must lie in [{-array.ndim}, {array.ndim}) for acc of shape "
            f"{array.shape}; got {axis_number}"
        )
    dt = _positive_finite(dt, "dt")
    period_array = _periods(periods)
    damping_array, several = _dampings(damping)
    if not isinstance(units, str) or units not in _UNITS:
        raise ValueError(f"units must be one of {', '.join(map(repr, _UNITS))}; got {units!r}")
    n_workers = _workers(workers)
    substeps = _substeps(period_array, dt, steps_per_period)

    moved = np.moveaxis(array, axis_number, -1)
    leading = moved.shape[:-1]
    records = moved.reshape(-1, moved.shape[-1])
    divisor = _UNITS[units]
    if divisor is not None:
        records = records / divisor
    coefficients = np.concatenate([
        np.column_stack([
            _step_coefficients(period_array, d, dt, substeps),
            np.full(period_array.size, 2.0 * d),
            substeps,
        ])
        for d in damping_array
    ])
    fine = coefficients[:, -1] != 1.0
    whole = _whole_step_records((records,), steps_per_period)
    table = _stitched(
        fine,
        lambda: _oscillator_table(_oscillator_peaks, whole, coefficients[~fine], (), n_workers,
                                  progress, "spectra"),
        lambda: _oscillator_table(_oscillator_peaks, (records,), coefficients[fine], (),
                                  n_workers, progress, "spectra"),
    )
    shape = leading + ((damping_array.size,) if several else ()) + (period_array.size, 3)
    return Spectra._from_table(
        period_array, damping_array if several else float(damping_array[0]), table.reshape(shape)
    )


# ---------------------------------------------------------------------------
# Konno-Ohmachi smoothing


def konno_ohmachi_smooth(
    spectra: ArrayLike,
    bandwidth: float = 40.0,
    *,
    workers: int | None = 1,
    progress: bool = False,
) -> FloatArray:
    """Konno-Ohmachi smoothing of Fourier amplitude spectra.

    Output bin ``c`` is the weighted mean of all input bins ``i`` with the
    weights ``[sin(b log10(f_i / f_c)) / (b log10(f_i / f_c))]**4``
    normalised to sum to one (Konno and Ohmachi, 1998), ``b`` being the
    bandwidth coefficient.  The smoothing is linear and each window spans the
    whole spectrum (no truncation); the smoothing matrix is never formed.

    The bins must be equally spaced from zero frequency, as in the one-sided
    spectrum of a real FFT (`numpy.fft.rfft`, frequencies
    ``numpy.fft.rfftfreq(n, dt)``): bin ``i`` stands for ``i * df``.  The
    spacing ``df`` itself is not needed.  Output bin 0 (zero frequency) is
    input bin 0, and input bin 0 gets no weight in any other output bin.

    Parameters
    ----------
    spectra : array_like, shape (n_bins,) or (n_spectra, n_bins)
        One spectrum or one spectrum per row (any unit; the result is in the
        same unit).
    bandwidth : float, optional
        Bandwidth coefficient ``b``, positive and finite; larger is narrower.
        40 is the customary value.
    workers : int or None, optional
        Number of threads over which the spectra are split (None: one per
        CPU); the result does not depend on it.  Every chunk computes the
        windows anew (``n_bins**2`` sines), so threads pay off for batches of
        many more spectra than workers.
    progress : bool, optional
        Show a tqdm progress bar (needs tqdm).

    Returns
    -------
    numpy.ndarray of float64, same shape as `spectra`
        The smoothed spectra.  A NaN anywhere in a spectrum makes that whole
        smoothed spectrum NaN; other spectra are unaffected.

    Raises
    ------
    ValueError
        If `bandwidth` is not positive and finite or `spectra` has more than
        two dimensions.
    TypeError
        If `spectra` does not hold real numbers or `bandwidth` is not a real
        number.

    References
    ----------
    Konno, K. and Ohmachi, T. (1998). Ground-motion characteristics estimated
    from spectral ratio between horizontal and vertical components of
    microtremor. Bulletin of the Seismological Society of America, 88(1),
    228-241.

    Examples
    --------
    >>> konno_ohmachi_smooth([2.0, 2.0, 2.0, 2.0], 40.0)
    array([2., 2., 2., 2.])
    """
    records, single = _records(spectra, "spectra")
    bandwidth = _positive_finite(bandwidth, "bandwidth")
    values = _per_record(
        _konno_ohmachi_smooth, records, (bandwidth,), workers, progress, "Konno-Ohmachi"
    )
    return values[0] if single else values


def konno_ohmachi_matrix(
    n_bins: int,
    bandwidth: float = 40.0,
    start: int = 0,
    stop: int | None = None,
    *,
    workers: int | None = 1,
    progress: bool = False,
) -> NDArray[np.float32]:
    """Rows of the Konno-Ohmachi smoothing matrix, in float32.

    Row ``c`` holds the weights that produce output bin ``c`` of a spectrum
    of `n_bins` bins (see `konno_ohmachi_smooth`), so that
    ``matrix @ spectrum`` smooths a spectrum.  Each row is computed and
    normalised in float64 and rounded to float32 when stored; a row does not
    depend on the band it is requested in, so a large matrix can be built
    band by band.

    Parameters
    ----------
    n_bins : int
        Number of frequency bins (columns), bins equally spaced from zero
        frequency.
    bandwidth : float, optional
        Bandwidth coefficient ``b``, positive and finite.
    start, stop : int, optional
        The band of rows ``start`` to ``stop - 1``; ``0 <= start <= stop <=
        n_bins``.  `stop` defaults to `n_bins` (the whole matrix).
    workers : int or None, optional
        Number of threads over which the rows are split (None: one per
        CPU); the result does not depend on it.
    progress : bool, optional
        Show a tqdm progress bar (needs tqdm).

    Returns
    -------
    numpy.ndarray of float32, shape (stop - start, n_bins)
        Row ``r`` is matrix row ``start + r``: non-negative weights summing to
        one (within float32 rounding); row 0 is ``[1, 0, ..., 0]``.

    Raises
    ------
    ValueError
        If an index is negative, the band is not ``start <= stop <= n_bins``,
        or `bandwidth` is not positive and finite.
    TypeError
        If an index is not an integer or `bandwidth` not a real number.

    References
    ----------
    Konno, K. and Ohmachi, T. (1998). Ground-motion characteristics estimated
    from spectral ratio between horizontal and vertical components of
    microtremor. Bulletin of the Seismological Society of America, 88(1),
    228-241.

    Examples
    --------
    >>> konno_ohmachi_matrix(2)
    array([[1., 0.],
           [0., 1.]], dtype=float32)
    """
    n_bins = _index(n_bins, "n_bins")
    bandwidth = _positive_finite(bandwidth, "bandwidth")
    start = _index(start, "start")
    stop = n_bins if stop is None else _index(stop, "stop")
    if stop > n_bins:
        raise ValueError(f"stop must not exceed n_bins={n_bins}; got stop={stop}")
    if start > stop:
        raise ValueError(f"start must not exceed stop={stop}; got start={start}")
    n_workers = _workers(workers)
    return _chunked(
        lambda rows: _konno_ohmachi_matrix_rows(
            n_bins, bandwidth, start + rows.start, start + rows.stop
        ),
        stop - start,
        0,
        n_workers,
        progress,
        "Konno-Ohmachi matrix",
    )
