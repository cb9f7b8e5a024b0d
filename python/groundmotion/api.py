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

import dataclasses
import functools
import inspect
import math
import numbers
import operator
import os
import sys
import warnings
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
    _arias_ragged,
    _cav_ragged,
    _cav_threshold,
    _oscillator_peaks,
    _oscillator_peaks_ragged,
    _psa_percentiles,
    _psa_substeps,
    _rotd_percentiles,
    _significant_duration_ragged,
)
from .lazy import measure as _lazy
from .oscillator import oscillator_coefficients
from .results import ResponseSpectrum, RotD, Spectra

__all__ = [
    "GroundMotionWarning",
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
    if value is None or (isinstance(value, int) and not isinstance(value, bool) and value == -1):
        return os.cpu_count() or 1
    number = _index(value, "workers")
    if number < 1:
        raise ValueError(
            f"workers must be at least 1 (or None or -1 for all CPUs); got {number}"
        )
    return number


def _positive_values(value: ArrayLike, name: str) -> FloatArray:
    """A number or 1-D sequence as a fresh 1-D array, each positive and finite."""
    array = _real_array(value, name)
    if array.ndim > 1:
        raise ValueError(f"{name} must be a number or 1-D; got an array of shape {array.shape}")
    array = np.atleast_1d(array).copy()
    bad = np.flatnonzero(~(np.isfinite(array) & (array > 0.0)))
    if bad.size:
        raise ValueError(
            f"{name} must be positive and finite; got {name}[{bad[0]}] = {float(array[bad[0]])!r}"
        )
    return array


def _periods(value: ArrayLike) -> FloatArray:
    """Oscillator periods as a fresh 1-D array, each positive and finite."""
    return _positive_values(value, "periods")


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


def _rotd_columns(percentiles: FloatArray) -> list[int] | None:
    """For percentiles all among 0, 50 and 100, the RotD00, RotD50 and RotD100
    columns that hold them bit for bit (in their order); None otherwise."""
    if not set(percentiles) <= {0.0, 50.0, 100.0}:
        return None
    return [(0.0, 50.0, 100.0).index(p) for p in percentiles]


def _axis_of(value: Any, name: str, axis: Any) -> int:
    """`axis` checked against the dimensions of `value` (an array)."""
    ndim = np.ndim(value)
    if ndim == 0:
        raise ValueError(f"{name} must have a time axis; got a single number")
    axis_number = _integer(axis, "axis")
    if not -ndim <= axis_number < ndim:
        raise ValueError(
            f"axis must lie in [{-ndim}, {ndim}) for {name} of shape {np.shape(value)}; "
            f"got {axis_number}"
        )
    return axis_number


def _time_last(value: ArrayLike, name: str, axis: Any) -> tuple[np.ndarray, tuple[int, ...]]:
    """`value` with `axis` moved last, as (n_records, n) rows, and the shape
    of the record dimensions."""
    moved = np.moveaxis(_real_array(value, name), _axis_of(value, name, axis), -1)
    return moved.reshape(-1, moved.shape[-1]), moved.shape[:-1]


def _in_g(records: np.ndarray, units: Any) -> np.ndarray:
    if not isinstance(units, str) or units not in _UNITS:
        raise ValueError(
            f"units must be one of {', '.join(map(repr, _UNITS))}; got {units!r}"
        )
    divisor = _UNITS[units]
    return records if divisor is None else records / divisor


# ---------------------------------------------------------------------------
# Record batches: arrays, pandas objects and ragged lists


class GroundMotionWarning(UserWarning):
    """Input that is accepted but probably not what was meant: a unit, a
    sampling interval or a layout that looks mistaken."""


#: Plausibility limits: a PGA above this many g, and sampling intervals
#: outside [DT_RANGE[0], DT_RANGE[1]] seconds, draw a GroundMotionWarning.
PGA_LIMIT_G = 5.0
DT_RANGE = (1e-5, 1.0)
# The PGA limit is checked sample by sample on the first records of a batch
# that fit in this many samples, and at every 61st sample of every 7th record
# from the first one that does not fit: a unit mistake spans the batch, and a
# sparse look at the rest costs a small fraction of one pass over it (a pass
# costs half of the fastest measures).
_FULL_CHECK_SAMPLES = 1 << 20
_CHECK_STRIDE = 61
_CHECK_RECORD_STRIDE = 7


class _DefaultAxis(int):
    """The default time axis, -1: a caller who passes axis=-1 has chosen the
    layout, one who leaves it may have a transposed batch."""


LAST_AXIS = _DefaultAxis(-1)


def _warn(message: str) -> None:
    """A GroundMotionWarning pointing at the caller's line outside the package."""
    package = os.path.dirname(os.path.abspath(__file__))
    frame, level = sys._getframe(1), 2
    while frame is not None and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == package:
        frame, level = frame.f_back, level + 1
    warnings.warn(message, GroundMotionWarning, stacklevel=level)


def _is_pandas(value: Any, kind: str) -> bool:
    return type(value).__name__ == kind and type(value).__module__.startswith("pandas")


def _unpandas(value: Any, name: str) -> tuple[Any, Any]:
    """A pandas object as records: a DataFrame holds one per column, time down
    the index (returned with time last, and its column labels); a Series is
    one record."""
    if _is_pandas(value, "DataFrame"):
        return _real_array(value.to_numpy(), name).T, value.columns
    if _is_pandas(value, "Series"):
        return value.to_numpy(), None
    return value, None


def _listed(value: Any) -> bool:
    """A list or tuple of 1-D records."""
    return isinstance(value, (list, tuple)) and all(np.ndim(item) == 1 for item in value)


def _is_ragged(value: Any) -> bool:
    """A list or tuple of 1-D records whose lengths differ."""
    if not isinstance(value, (list, tuple)) or len(value) < 2:
        return False
    lengths = set()
    for item in value:
        if np.ndim(item) != 1:
            return False
        lengths.add(len(item))
    return len(lengths) > 1


class _Batch:
    """Records as the kernels take them, in g, and the shape of a result.

    Either `uniform`, an (n_records, n_samples) view with the step `dt`, or
    `ragged`, a list of 1-D records with one step each in `dts`.
    """

    def __init__(self, uniform: FloatArray | None, ragged: list[FloatArray] | None,
                 dt: float | None, dts: FloatArray | None, leading: tuple[int, ...],
                 single: bool, labels: Any) -> None:
        self.uniform, self.ragged, self.dt, self.dts = uniform, ragged, dt, dts
        self.leading, self.single, self.labels = leading, single, labels

    @property
    def n(self) -> int:
        return len(self.ragged) if self.ragged is not None else self.uniform.shape[0]

    def records(self) -> list[FloatArray]:
        """Every record as a 1-D array."""
        return self.ragged if self.ragged is not None else list(self.uniform)

    def steps(self) -> FloatArray:
        return self.dts if self.dts is not None else np.full(self.n, self.dt)

    def shaped(self, values: FloatArray, name: str | None = None) -> Any:
        """Per-record results (n_records, ...) in the caller's layout: a float
        for one record, a Series for a DataFrame's columns, else an array."""
        extra = values.shape[1:]
        if self.single:
            return float(values[0]) if not extra else values[0]
        if self.labels is not None and not extra:
            import pandas

            return pandas.Series(values, index=self.labels, name=name)
        return values.reshape(self.leading + extra)


# The step of measures that have none (RotD).
_NO_STEP = object()


def _steps(dt: Any, n: int, single: bool = False) -> tuple[float | None, FloatArray | None]:
    """A scalar step, or one per record of a batch."""
    if dt is _NO_STEP:
        return None, None
    if single or np.ndim(dt) == 0:
        return _positive_finite(dt, "dt"), None
    dts = _real_array(dt, "dt")
    if dts.ndim != 1 or dts.size != n:
        raise ValueError(
            f"dt must be a number or hold one step per record ({n}); got shape {dts.shape}"
        )
    for k, value in enumerate(dts):
        _positive_finite(float(value), f"dt[{k}]")
    if np.all(dts == dts[0]):
        return float(dts[0]), None
    return None, dts.copy()


def _batch(acc: Any, dt: Any, *, name: str = "acc", units: str = "g", axis: Any = LAST_AXIS,
           check_peak: bool = True) -> _Batch:
    """Accelerations in any accepted layout, in g, with their steps."""
    if not isinstance(units, str) or units not in _UNITS:
        raise ValueError(f"units must be one of {', '.join(map(repr, _UNITS))}; got {units!r}")
    divisor = _UNITS[units]
    acc, labels = _unpandas(acc, name)
    if labels is not None:
        axis = -1
    if _is_ragged(acc) or (_listed(acc) and len(acc) > 1 and np.ndim(dt) == 1):
        ragged = [_real_array(item, f"{name}[{k}]") for k, item in enumerate(acc)]
        step, dts = _steps(dt, len(ragged))
        if dts is None:
            dts = np.full(len(ragged), np.nan if step is None else step)
        if divisor is not None:
            ragged = [r / divisor for r in ragged]
        batch = _Batch(None, ragged, step, dts, (len(ragged),), False, None)
    else:
        array = _real_array(acc, name)
        axis_number = _axis_of(array, name, axis)
        if (labels is None and axis is LAST_AXIS and array.ndim >= 2
                and array.shape[-2] > array.shape[-1] > 0):
            _warn(
                f"{name} has {array.shape[-2]} records of {array.shape[-1]} samples each along "
                f"the last axis; if time runs down the columns (a DataFrame's or column_stack's "
                f"layout), pass axis=0, and to keep this layout pass axis=-1"
            )
        moved = np.moveaxis(array, axis_number, -1)
        uniform = moved.reshape(math.prod(moved.shape[:-1]), moved.shape[-1])
        step, dts = _steps(dt, uniform.shape[0], single=array.ndim == 1)
        if divisor is not None:
            uniform = uniform / divisor
        if dts is not None:
            batch = _Batch(None, list(uniform), None, dts, moved.shape[:-1], array.ndim == 1,
                           labels)
        else:
            batch = _Batch(uniform, None, step, None, moved.shape[:-1], array.ndim == 1, labels)
    steps = batch.dts if batch.dts is not None else np.array([] if dt is _NO_STEP else [batch.dt])
    if steps.size and (steps.max() > DT_RANGE[1] or steps.min() < DT_RANGE[0]):
        bad = steps.max() if steps.max() > DT_RANGE[1] else steps.min()
        _warn(
            f"dt={bad:g} s is outside the usual sampling intervals ({DT_RANGE[0]:g} to "
            f"{DT_RANGE[1]:g} s); dt is the interval between samples in seconds, not a "
            "sampling rate"
        )
    if check_peak and units == "g" and _peak_exceeds(batch, PGA_LIMIT_G):
        _warn(
            f"{name} reaches more than {PGA_LIMIT_G:g} g; if it is not in g, say its unit "
            "with units= ('m/s2', 'cm/s2' or 'gal')"
        )
    return batch


def _peak_exceeds(batch: _Batch, limit: float) -> bool:
    def over(a: np.ndarray) -> bool:
        # Non-finite samples are not a unit mistake: they make their own
        # record's result NaN.
        if a.size == 0:
            return False
        hi, lo = a.max(), a.min()
        if not (math.isfinite(hi) and math.isfinite(lo)):
            a = a[np.isfinite(a)]
            hi, lo = (a.max(), a.min()) if a.size else (0.0, 0.0)
        return bool(hi > limit or lo < -limit)

    if batch.ragged is not None:
        budget, sampled = _FULL_CHECK_SAMPLES, 0
        for r in batch.ragged:
            if sampled == 0 and r.size <= budget:
                budget -= r.size
                if over(r):
                    return True
                continue
            # From the first record that does not fit on, as in a uniform batch.
            if sampled % _CHECK_RECORD_STRIDE == 0 and over(r[::_CHECK_STRIDE]):
                return True
            sampled += 1
        return False
    a = batch.uniform
    if a.size <= _FULL_CHECK_SAMPLES:
        return over(a)
    whole = _FULL_CHECK_SAMPLES // max(a.shape[1], 1)
    return over(a[:whole]) or over(a[whole::_CHECK_RECORD_STRIDE, ::_CHECK_STRIDE])


def _scalar_measure(kernel: Callable[..., FloatArray], ragged_kernel: Callable[..., FloatArray],
                    batch: _Batch, args: tuple[float, ...], workers: Any, progress: bool,
                    desc: str, name: str) -> Any:
    """One value per record, from the uniform kernel or the ragged one."""
    n_workers = _workers(workers)
    if batch.ragged is None:
        values = _chunked(lambda rows: kernel(batch.uniform[rows], batch.dt, *args),
                          batch.n, 0, n_workers, progress, desc)
    else:
        dts = batch.dts[np.newaxis, :]
        values = _chunked(lambda rows: ragged_kernel(batch.ragged[rows], dts[:, rows], *args),
                          batch.n, 0, n_workers, progress, desc)
    return batch.shaped(values, name)


# Results with named fields: the fields that hold one value (or row) per
# record, as opposed to the periods, dampings and percentiles they share.
_SHARED_FIELDS = frozenset({"periods", "damping", "percentiles"})


def _record_fields(result: Any) -> list[str]:
    return [f.name for f in dataclasses.fields(result)
            if f.name not in _SHARED_FIELDS and getattr(result, f.name) is not None]


def _reshaped(result: Any, leading: tuple[int, ...]) -> Any:
    """A batch result with its record axis laid out as `leading`."""
    return dataclasses.replace(result, **{
        name: getattr(result, name).reshape(leading + getattr(result, name).shape[1:])
        for name in _record_fields(result)
    })


def _stacked(results: list[Any]) -> Any:
    """One batch result from the results of records computed one by one."""
    return dataclasses.replace(results[0], **{
        name: np.stack([np.asarray(getattr(r, name)) for r in results])
        for name in _record_fields(results[0])
    })


def _component_batches(given: dict[str, Any], dt: Any, units: str, axis: Any) -> list[_Batch]:
    """The components of a batch of stations, checked to match."""
    batches = [_batch(value, dt, name=name, units=units, axis=axis) for name, value in given.items()]
    (first_name, first), *others = zip(given, batches)
    for name, other in others:
        if first.ragged is not None or other.ragged is not None:
            same = (first.ragged is not None and other.ragged is not None
                    and [r.size for r in first.ragged] == [r.size for r in other.ragged])
        else:
            same = first.uniform.shape == other.uniform.shape and first.leading == other.leading
        if not same:
            shapes = [b.leading + (b.uniform.shape[1],) if b.uniform is not None
                      else [r.size for r in b.ragged] for b in (other, first)]
            raise ValueError(
                f"{name} has shape {shapes[0]} but {first_name} has shape {shapes[1]}; the "
                "components of a record must have the same shape (trim the longer one to the "
                "common length)"
            )
    return batches


def _by_record(batches: list[_Batch], one: Callable[..., Any]) -> Any:
    """`one(*components, dt)` for every station of a ragged batch (or one with
    a step per record), stacked into one result with the batch's record
    dimensions."""
    lists, steps = [b.records() for b in batches], batches[0].steps()
    stacked = _stacked([one(*(rec[i] for rec in lists), float(steps[i]))
                        for i in range(batches[0].n)])
    leading = batches[0].leading
    return stacked if len(leading) == 1 else _reshaped(stacked, leading)


def record_inputs(*names: str) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
    """Let a measure written for arrays (its record parameters `names`, time
    on `axis`) take a DataFrame (one record per column; a result of one value
    per record comes back as a Series indexed by the columns), a Series (one
    record), a ragged list of 1-D records, and `dt` with one step per record
    (each record then computed alone and the results stacked: a list where
    they differ in length)."""

    def wrap(fn: Callable[..., Any]) -> Callable[..., Any]:
        signature = inspect.signature(fn)

        def labelled(result: Any, labels: Any) -> Any:
            if labels is not None and isinstance(result, np.ndarray) and result.shape == (len(labels),):
                import pandas

                return pandas.Series(result, index=labels, name=fn.__name__)
            return result

        @functools.wraps(fn)
        def call(*args: Any, **kwargs: Any) -> Any:
            bound = signature.bind(*args, **kwargs)
            labels = None
            for name in names:
                bound.arguments[name], found = _unpandas(bound.arguments.get(name), name)
                labels = found if name == names[0] else labels
            if labels is not None and "axis" in signature.parameters:
                bound.arguments["axis"] = -1
            first = bound.arguments.get(names[0])
            dt = bound.arguments.get("dt")
            listed = _listed(first)
            if not (_is_ragged(first) or (np.ndim(dt) == 1 and (listed or np.ndim(first) >= 2))):
                return labelled(fn(*bound.args, **bound.kwargs), labels)
            # One record at a time.
            columns, leading = {}, None
            for name in names:
                value = bound.arguments.get(name)
                if value is None:
                    continue
                if listed:
                    columns[name] = [_real_array(r, name) for r in value]
                    leading = leading or (len(value),)
                else:
                    array = _real_array(value, name)
                    moved = np.moveaxis(array, _integer(bound.arguments.get("axis", -1), "axis"), -1)
                    columns[name] = list(moved.reshape(-1, moved.shape[-1]))
                    leading = leading or moved.shape[:-1]
            n = len(columns[names[0]])
            step, dts = _steps(dt, n) if "dt" in bound.arguments else (None, None)
            results = []
            for k in range(n):
                one = dict(bound.arguments)
                one.update({name: rows[k] for name, rows in columns.items()})
                if "axis" in signature.parameters:
                    one["axis"] = -1
                if "dt" in one:
                    one["dt"] = float(dts[k]) if dts is not None else step
                results.append(fn(**one))
            if dataclasses.is_dataclass(results[0]):
                stacked = _stacked(results)
                return stacked if len(leading) == 1 else _reshaped(stacked, leading)
            values = [np.asarray(r) for r in results]
            if len({v.shape for v in values}) > 1:
                return values  # curves of records of different lengths
            return labelled(np.stack(values).reshape(leading + values[0].shape), labels)

        return call

    return wrap


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
    records_per_item: float = 1.0,
) -> NDArray[Any]:
    """Run `compute` over consecutive slices of ``range(n_items)``.

    The progress bar counts records: `records_per_item` of them per item
    (items are oscillators when a few records are split across them).

    The slices' results are joined along `axis`.  Each item's result depends
    on that item alone, so the joined result is bit for bit the one of a
    single call over everything, however the items are split.
    """
    bar = _progress_bar(round(n_items * records_per_item), desc) if progress else None

    def advance(count: int) -> None:
        if bar is not None:
            bar.update(count if records_per_item == 1.0 else count * records_per_item)

    per_worker = _PROGRESS_CHUNKS_PER_WORKER if progress else 1
    n_chunks = min(n_items, workers * per_worker)
    try:
        if n_chunks <= 1:
            result = compute(slice(0, n_items))
            advance(n_items)
            return result
        bounds = [n_items * k // n_chunks for k in range(n_chunks + 1)]
        slices = [slice(a, b) for a, b in zip(bounds[:-1], bounds[1:])]
        if workers == 1:
            parts = []
            for part in slices:
                parts.append(compute(part))
                advance(part.stop - part.start)
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
                    part = futures[future]
                    advance(part.stop - part.start)
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


def _time_series(acc: ArrayLike, axis: Any, units: Any, name: str = "acc",
                 dt: Any = _NO_STEP) -> tuple[FloatArray, tuple[int, ...]]:
    """`acc` in g as (n_records, n_samples), time along `axis` moved last, and
    the shape of its record dimensions (with the checks and warnings of
    every measure, those of `dt` included when it is given)."""
    batch = _batch(acc, dt, name=name, units=units, axis=axis)
    if batch.ragged is not None:
        raise ValueError(f"{name} must hold records of one length here")
    return batch.uniform, batch.leading


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


@_lazy("acc")
def arias_intensity(
    acc: ArrayLike, dt: float | ArrayLike, *, units: str = "g", axis: int = LAST_AXIS,
    workers: int | None = 1, progress: bool = False
) -> Measure:
    """Arias intensity of acceleration records.

    ``Ia = pi / (2 g) * integral of a(t)**2 dt`` (Arias, 1970), with the
    acceleration ``a`` in m/s^2 and g = 9.81 m/s^2.  The integral is the
    trapezoidal rule, with an interval in which the acceleration changes sign
    split at the linearly interpolated zero crossing.

    Parameters
    ----------
    acc : array_like, pandas Series or DataFrame, or list of 1-D arrays
        Acceleration with time along `axis` and any number of record
        dimensions; a Series is one record, a DataFrame one record per
        column (time down the index; the result is a Series indexed by the
        columns); a list of 1-D records of different lengths is a ragged
        batch (one result per record, each that of the record alone).
    dt : float or sequence of floats
        Sampling interval in seconds, positive and finite, or one per record.
    units : {"g", "m/s2", "cm/s2", "gal"}, optional
        Unit of `acc` (g = 9.80665 m/s^2).
    axis : int, optional
        The time axis of `acc`.
    workers : int or None, optional
        Number of threads over which the records are split (None or -1: one
        per CPU).  The result is identical, to the bit, for every value.
    progress : bool, optional
        Show a tqdm progress bar (needs tqdm).

    Returns
    -------
    float, numpy.ndarray of the record dimensions, or pandas.Series
        Arias intensity in m/s.  A record with fewer than two samples gives
        0.0; a record with a NaN sample gives NaN.

    Raises
    ------
    ValueError
        If `dt` is not positive and finite, `units` is unknown or `axis`
        out of range.
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
    batch = _batch(acc, dt, units=units, axis=axis)
    return _scalar_measure(_arias_intensity, _arias_ragged, batch, (), workers, progress,
                           "Arias intensity", "arias_intensity")


@_lazy("acc")
def cav(
    acc: ArrayLike,
    dt: float | ArrayLike,
    threshold: float = 0.0,
    *,
    units: str = "g",
    axis: int = LAST_AXIS,
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
    acc : array_like, pandas Series or DataFrame, or list of 1-D arrays
        Acceleration with time along `axis` and any number of record
        dimensions; a Series is one record, a DataFrame one record per
        column (time down the index; the result is a Series indexed by the
        columns); a list of 1-D records of different lengths is a ragged
        batch (one result per record, each that of the record alone).
    dt : float or sequence of floats
        Sampling interval in seconds, positive and finite, or one per record.
    threshold : float, optional
        Acceleration in g below which a sample counts as zero; non-negative
        and finite.
    units : {"g", "m/s2", "cm/s2", "gal"}, optional
        Unit of `acc` (g = 9.80665 m/s^2; the integral is then taken to m/s
        with the 9.81 above).
    axis : int, optional
        The time axis of `acc`.
    workers : int or None, optional
        Number of threads over which the records are split (None or -1: one
        per CPU).  The result is identical, to the bit, for every value.
    progress : bool, optional
        Show a tqdm progress bar (needs tqdm).

    Returns
    -------
    float, numpy.ndarray of the record dimensions, or pandas.Series
        CAV in m/s; 0.0 for a record of fewer than two samples, NaN for a
        record with a NaN sample.

    Raises
    ------
    ValueError
        If `dt` is not positive and finite, `threshold` is negative or not
        finite, `units` is unknown or `axis` out of range.
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
    batch = _batch(acc, dt, units=units, axis=axis)
    threshold = _threshold(threshold)
    if threshold == 0.0:
        return _scalar_measure(_cav, _cav_ragged, batch, (), workers, progress, "CAV", "cav")
    if batch.ragged is not None:
        return batch.shaped(np.array([float(_cav_threshold(r[np.newaxis, :], float(d), threshold)[0])
                                      for r, d in zip(batch.ragged, batch.dts)]), "cav")
    return _scalar_measure(lambda w, step: _cav_threshold(w, step, threshold), None, batch, (),
                           workers, progress, "CAV", "cav")


@_lazy("acc")
def significant_duration(
    acc: ArrayLike,
    dt: float | ArrayLike,
    low: float = 0.05,
    high: float = 0.95,
    *,
    units: str = "g",
    axis: int = LAST_AXIS,
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
    acc : array_like, pandas Series or DataFrame, or list of 1-D arrays
        Acceleration with time along `axis` and any number of record
        dimensions; a Series is one record, a DataFrame one record per
        column (time down the index; the result is a Series indexed by the
        columns); a list of 1-D records of different lengths is a ragged
        batch (one result per record, each that of the record alone).
    dt : float or sequence of floats
        Sampling interval in seconds, positive and finite, or one per record.
    low, high : float, optional
        Fractions of the total Arias intensity, ``0 <= low <= high <= 1``.
    units : {"g", "m/s2", "cm/s2", "gal"}, optional
        Unit of `acc` (g = 9.80665 m/s^2).
    axis : int, optional
        The time axis of `acc`.
    workers : int or None, optional
        Number of threads over which the records are split (None or -1: one
        per CPU).  The result is identical, to the bit, for every value.
    progress : bool, optional
        Show a tqdm progress bar (needs tqdm).

    Returns
    -------
    float, numpy.ndarray of the record dimensions, or pandas.Series
        Duration in seconds.  0.0 for a record whose Arias intensity is below
        1e-10 m/s (all zeros, fewer than two samples); NaN for a record with a
        NaN sample.

    Raises
    ------
    ValueError
        If `dt` is not positive and finite, `low` or `high` lies outside
        [0, 1], ``low > high``, `units` is unknown or `axis` out of range.
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
    batch = _batch(acc, dt, units=units, axis=axis, check_peak=False)
    low = _fraction(low, "low")
    high = _fraction(high, "high")
    if low > high:
        raise ValueError(f"low must not exceed high; got low={low!r} and high={high!r}")
    return _scalar_measure(_significant_duration, _significant_duration_ragged, batch,
                           (low, high), workers, progress, "Significant duration",
                           "significant_duration")


# ---------------------------------------------------------------------------
# Rotated-component peaks and response spectra


@_lazy("comp_0", "comp_90")
def rotd(
    comp_0: ArrayLike,
    comp_90: ArrayLike,
    *,
    units: str = "g",
    axis: int = LAST_AXIS,
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
    batches = _component_batches({"comp_0": comp_0, "comp_90": comp_90}, _NO_STEP, units, axis)
    if batches[0].ragged is not None:
        return _by_record(batches, lambda a, b, _: rotd(a, b, percentiles=percentiles))
    (x, y), single, leading = (b.uniform for b in batches), batches[0].single, batches[0].leading
    if x.shape[0] > 0 and x.shape[1] == 0:
        raise ValueError("comp_0 and comp_90 hold no samples; RotD needs at least one")
    percentile_array = None if percentiles is None else _percentiles(percentiles)
    n_workers = _workers(workers)
    table = _chunked(
        lambda rows: _rotd(x[rows], y[rows]), x.shape[0], 0, n_workers, progress, "RotD"
    )
    rotdnn = None
    columns = None if percentile_array is None else _rotd_columns(percentile_array)
    if columns is not None:
        rotdnn = table[:, columns]
    elif percentile_array is not None:
        wanted = percentile_array[np.newaxis, :]
        rotdnn = _chunked(
            lambda rows: _rotd_percentiles(x[rows], y[rows], wanted),
            x.shape[0], 0, n_workers, False, "RotDnn",
        )
    result = RotD._from_table(table, single, percentile_array, rotdnn)
    return result if single else _reshaped(result, leading)


@_lazy("comp_0", "comp_90", "comp_ver")
def response_spectrum(
    comp_0: ArrayLike,
    comp_90: ArrayLike,
    comp_ver: ArrayLike | None,
    dt: float | ArrayLike,
    periods: ArrayLike,
    damping: float | ArrayLike = 0.05,
    *,
    units: str = "g",
    axis: int = LAST_AXIS,
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
    batches = _component_batches(given, dt, units, axis)
    if batches[0].ragged is not None:
        return _by_record(batches, lambda *c: response_spectrum(
            c[0], c[1], c[2] if len(c) == 4 else None, c[-1], periods, damping,
            percentiles=percentiles, steps_per_period=steps_per_period))
    components = [b.uniform for b in batches]
    single, leading_records, dt = batches[0].single, batches[0].leading, batches[0].dt
    x, y = components[:2]
    # Without a vertical component the oscillator runs on zeros, read from a
    # zero-stride view: no memory is allocated for them.
    z = components[2] if len(components) == 3 else np.broadcast_to(np.zeros((1, 1)), x.shape)
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
    columns = None if percentile_array is None else _rotd_columns(percentile_array)
    if columns is not None:  # RotD00, RotD50 and RotD100 are columns 4 to 6
        rotdnn = np.swapaxes(table[..., [4 + c for c in columns]], -1, -2)
    elif percentile_array is not None:
        rotdnn = run_all(_psa_percentiles, _psa_percentiles, (x, y),
                         (percentile_array[np.newaxis, :],), "RotDnn")
        rotdnn = np.swapaxes(rotdnn.reshape(leading + (period_array.size, percentile_array.size)), -1, -2)
    result = ResponseSpectrum._from_table(
        period_array, damping_array if several else float(damping_array[0]), table, single,
        vertical=comp_ver is not None, percentiles=percentile_array, rotdnn=rotdnn,
    )
    return result if single else _reshaped(result, leading_records)


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
                        progress, desc, records_per_item=n_records / max(n_rows, 1))
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


@_lazy("acc")
def spectra(
    acc: ArrayLike,
    dt: float | ArrayLike,
    periods: ArrayLike,
    damping: float | ArrayLike = 0.05,
    *,
    units: str = "g",
    axis: int = LAST_AXIS,
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
    batch = _batch(acc, dt, units=units, axis=axis)
    period_array = _periods(periods)
    damping_array, several = _dampings(damping)
    n_workers = _workers(workers)
    shape = ((damping_array.size,) if several else ()) + (period_array.size, 3)

    def coefficients_for(step: float, substeps: np.ndarray) -> np.ndarray:
        return np.concatenate([
            np.column_stack([
                _step_coefficients(period_array, d, step, substeps),
                np.full(period_array.size, 2.0 * d),
                substeps,
            ])
            for d in damping_array
        ])

    if batch.ragged is not None:
        if steps_per_period is not None:
            return _by_record([batch], lambda a, step: spectra(
                a, step, periods, damping, steps_per_period=steps_per_period))
        # Records that share a step share the oscillators' coefficients.
        table = np.empty((batch.n, damping_array.size * period_array.size, 3))
        for step in np.unique(batch.dts):
            members = np.flatnonzero(batch.dts == step)
            group = [batch.ragged[i] for i in members]
            rows = coefficients_for(float(step), np.ones(period_array.size))
            table[members] = _chunked(lambda part: _oscillator_peaks_ragged(group[part], rows),
                                      len(group), 0, n_workers, progress, "spectra")
        return Spectra._from_table(
            period_array, damping_array if several else float(damping_array[0]),
            table.reshape(batch.leading + shape),
        )
    dt, leading, records = batch.dt, batch.leading, batch.uniform
    substeps = _substeps(period_array, dt, steps_per_period)
    coefficients = coefficients_for(dt, substeps)
    fine = coefficients[:, -1] != 1.0
    whole = _whole_step_records((records,), steps_per_period)
    table = _stitched(
        fine,
        lambda: _oscillator_table(_oscillator_peaks, whole, coefficients[~fine], (), n_workers,
                                  progress, "spectra"),
        lambda: _oscillator_table(_oscillator_peaks, (records,), coefficients[fine], (),
                                  n_workers, progress, "spectra"),
    )
    return Spectra._from_table(
        period_array, damping_array if several else float(damping_array[0]),
        table.reshape(leading + shape),
    )


# ---------------------------------------------------------------------------
# Konno-Ohmachi smoothing


@_lazy("spectra")
def konno_ohmachi_smooth(
    spectra: ArrayLike,
    bandwidth: float = 40.0,
    *,
    frequencies: ArrayLike | None = None,
    center_frequencies: ArrayLike | None = None,
    axis: int = LAST_AXIS,
    workers: int | None = 1,
    progress: bool = False,
) -> FloatArray:
    """Konno-Ohmachi smoothing of Fourier amplitude spectra.

    Output ``c`` is the weighted mean of all input bins ``i`` with the
    weights ``[sin(b log10(f_i / f_c)) / (b log10(f_i / f_c))]**4``
    normalised to sum to one at each centre (Konno and Ohmachi, 1998; the
    ``normalize=True`` convention of ObsPy and pykooh), ``b`` being the
    bandwidth coefficient.  The smoothing is linear and each window spans the
    whole spectrum (no truncation); the smoothing matrix is never formed.

    Without `frequencies` the bins must be equally spaced from zero
    frequency, as in the one-sided spectrum of a real FFT (`numpy.fft.rfft`,
    frequencies ``numpy.fft.rfftfreq(n, dt)``): bin ``i`` stands for
    ``i * df``.  The spacing ``df`` itself is not needed.  Output bin 0 (zero
    frequency) is input bin 0, and input bin 0 gets no weight in any other
    output bin.

    With `frequencies` the bins may lie anywhere (a band of an FFT spectrum,
    a log-spaced spectrum); a bin at 0 Hz is allowed and takes no part.  With
    `center_frequencies` the result is given at those frequencies only, at a
    cost of ``n_centres * n_bins`` weights per call (computed once for all
    the spectra of a chunk, never stored whole).

    The window's main lobe, ``|b log10(f / f_c)| < pi``, spans ``2 pi / b``
    decades: 0.157 decades for b = 40, 1/30 of a decade (0.0333) for the
    b = 188.5 of the effective amplitude spectrum.

    Parameters
    ----------
    spectra : array_like
        Spectra with frequency along `axis` (any unit; the result is in the
        same unit): one spectrum or one per row, and with `frequencies` any
        number of spectrum dimensions.
    bandwidth : float, optional
        Bandwidth coefficient ``b``, positive and finite; larger is narrower.
        40 is the customary value.
    frequencies : array_like, shape (n_bins,), optional
        The frequency of every input bin, strictly increasing and finite; the
        first may be 0, all others are positive.
    center_frequencies : float or array_like, optional
        The output frequencies, positive and finite, in any order; needs
        `frequencies`.  By default the outputs are at the input bins.
    axis : int, optional
        The frequency axis of `spectra`.
    workers : int or None, optional
        Number of threads over which the spectra are split (None: one per
        CPU); the result does not depend on it.  Every chunk computes the
        windows anew (``n_bins**2`` sines), so threads pay off for batches of
        many more spectra than workers.
    progress : bool, optional
        Show a tqdm progress bar (needs tqdm).

    Returns
    -------
    numpy.ndarray of float64
        The smoothed spectra: the shape of `spectra` with `axis` last, and
        ``n_centres`` values along it where `center_frequencies` is given.
        A NaN anywhere in a spectrum makes that whole smoothed spectrum NaN;
        other spectra are unaffected.

    Raises
    ------
    ValueError
        If `bandwidth` is not positive and finite, `axis` is out of range,
        `frequencies` is not strictly increasing, holds a negative, infinite
        or NaN value or does not have one value per bin, or a centre is not
        positive and finite.

    Warns
    -----
    GroundMotionWarning
        If a centre lies outside the positive input frequencies.
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
    if frequencies is not None or center_frequencies is not None:
        from .fourier import smooth_onto

        return smooth_onto(spectra, bandwidth, frequencies, center_frequencies, axis, workers,
                           progress)
    # On the uniform grid, one spectrum or one per row, as always.
    array = _real_array(spectra, "spectra")
    _records(array, "spectra")
    records, leading = _time_last(array, "spectra", axis)
    bandwidth = _positive_finite(bandwidth, "bandwidth")
    values = _per_record(
        _konno_ohmachi_smooth, records, (bandwidth,), workers, progress, "Konno-Ohmachi"
    )
    return values.reshape(leading + values.shape[1:])


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
