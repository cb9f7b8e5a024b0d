"""Dask arrays and xarray DataArrays as inputs of every measure.

A measure given a dask array returns a lazy result, one task per chunk of
records, whose computed values are those of the eager call on the same data:
every block goes through the same kernels, and a record's result never
depends on the other records of its block.  A DataArray comes back as a
DataArray (or a Dataset, for measures with several named fields) that keeps
the other dimensions and their coordinates and adds ``period``,
``frequency``, ``percentile`` or ``damping`` where the measure has them.

Neither dask nor xarray is imported unless such an input arrives.
"""

from __future__ import annotations

import dataclasses
import functools
import inspect
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

__all__ = ["measure"]

# Shared fields of named results, and the dimension each one names.
_AXES = {"damping": "damping", "percentiles": "percentile", "periods": "period",
         "frequencies": "frequency"}


def _is_dask(value: Any) -> bool:
    return type(value).__module__.startswith("dask") and hasattr(value, "chunks")


def _is_xarray(value: Any) -> bool:
    return type(value).__name__ == "DataArray" and type(value).__module__.startswith("xarray")


def measure(*records: str) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
    """Let the measure `fn`, whose record parameters are `records`, take dask
    arrays and DataArrays; it gains a keyword ``dim`` (the time dimension of
    a DataArray, "time" by default)."""

    def wrap(fn: Callable[..., Any]) -> Callable[..., Any]:
        signature = inspect.signature(fn)

        @functools.wraps(fn)
        def call(*args: Any, dim: str = "time", **kwargs: Any) -> Any:
            bound = signature.bind(*args, **kwargs)
            given = [bound.arguments.get(name) for name in records]
            if any(_is_xarray(v) for v in given):
                return _with_xarray(call, fn, bound, records, dim)
            if any(_is_dask(v) for v in given):
                return _with_dask(fn, bound, records)
            return fn(*args, **kwargs)

        parameters = list(signature.parameters.values())
        parameters.append(inspect.Parameter("dim", inspect.Parameter.KEYWORD_ONLY, default="time"))
        call.__signature__ = signature.replace(parameters=parameters)  # type: ignore[attr-defined]
        return call

    return wrap


# ---------------------------------------------------------------------------
# Dask


def _time_axis(bound: inspect.BoundArguments, ndim: int) -> int:
    axis = int(bound.arguments.get("axis", -1))
    if not -ndim <= axis < ndim:
        raise ValueError(f"axis must lie in [{-ndim}, {ndim}); got {axis}")
    return axis % ndim


def _with_dask(fn: Callable[..., Any], bound: inspect.BoundArguments,
               records: Sequence[str]) -> Any:
    import dask.array as da

    names = [name for name in records if bound.arguments.get(name) is not None]
    arrays = [da.asarray(bound.arguments[name]) for name in names]
    first = arrays[0]
    for name, array in zip(names[1:], arrays[1:]):
        if array.shape != first.shape:
            raise ValueError(
                f"{name} has shape {array.shape} but {names[0]} has shape {first.shape}; the "
                "components of a record must have the same shape"
            )
    axis = _time_axis(bound, first.ndim)
    if np.ndim(bound.arguments.get("dt", 0.0)) > 0:
        raise ValueError("with dask arrays, dt must be one number: records with steps of their "
                         "own go in a list (a ragged batch) instead")
    for name, array in zip(names, arrays):
        if len(array.chunks[axis]) > 1:
            raise ValueError(
                f"{name} splits its time axis (axis {axis}) into {len(array.chunks[axis])} "
                f"chunks; a record must lie in one chunk: rechunk with "
                f"{name}.rechunk({{{axis}: -1}}) and chunk the record axes instead"
            )
    arrays = [da.moveaxis(a, axis, -1).rechunk(da.moveaxis(first, axis, -1).chunks)
              for a in arrays]
    if "axis" in bound.arguments:
        bound.arguments["axis"] = -1
    if "workers" in bound.arguments:
        bound.arguments["workers"] = 1  # one task, one thread: the cluster runs the tasks

    def block(*blocks: np.ndarray) -> Any:
        arguments = dict(bound.arguments)
        for name, values in zip(names, blocks):
            arguments[name] = np.asarray(values, dtype=np.float64)
        return fn(**arguments)

    leading, n_time = arrays[0].shape[:-1], arrays[0].shape[-1]
    probe = block(*(np.zeros((1, n_time)) for _ in names))
    if not dataclasses.is_dataclass(probe):
        extra = np.shape(probe)[1:]
        if not extra:  # one value per record
            return da.map_blocks(lambda *b: np.asarray(block(*b), dtype=np.float64), *arrays,
                                 drop_axis=arrays[0].ndim - 1, dtype=np.float64)
        # A row per record (a curve in time, values at given fractions).
        width = int(np.prod(extra))
        rows = da.map_blocks(
            lambda *b: np.asarray(block(*b), dtype=np.float64).reshape(b[0].shape[:-1] + (width,)),
            *arrays, dtype=np.float64, chunks=arrays[0].chunks[:-1] + ((width,),))
        if extra == (n_time,):  # a curve along the time axis goes back where it came from
            return da.moveaxis(rows, -1, axis)
        return rows.reshape(leading + extra) if len(extra) > 1 else rows
    # Named fields: each block gives its fields side by side in one row per
    # record, which the result's lazy fields then take apart.
    fields = [f.name for f in dataclasses.fields(probe)
              if f.name not in _AXES and getattr(probe, f.name) is not None]
    shapes = [np.shape(getattr(probe, name))[1:] for name in fields]
    widths = [int(np.prod(s)) for s in shapes]

    def packed(*b: np.ndarray) -> np.ndarray:
        result = block(*b)
        n = b[0].shape[:-1]
        return np.concatenate(
            [np.asarray(getattr(result, name), dtype=np.float64).reshape(n + (w,))
             for name, w in zip(fields, widths)], axis=-1)

    table = da.map_blocks(packed, *arrays, dtype=np.float64,
                          chunks=arrays[0].chunks[:-1] + ((sum(widths),),))
    lazy, start = {}, 0
    for name, shape, width in zip(fields, shapes, widths):
        lazy[name] = table[..., start:start + width].reshape(leading + shape)
        start += width
    return dataclasses.replace(probe, **lazy)


# ---------------------------------------------------------------------------
# xarray


def _field_dims(name: str, shape: tuple[int, ...], shared: dict[str, np.ndarray]) -> tuple[str, ...]:
    """The dimensions of a field's trailing `shape`, in the order damping,
    percentile, period, frequency, among the result's shared axes; a field
    named rotdnn is the one that has percentiles beside periods."""
    import itertools

    present = [d for d in ("damping", "percentile", "period", "frequency") if d in shared]
    fits = [c for c in itertools.combinations(present, len(shape))
            if all(len(shared[d]) == n for d, n in zip(c, shape))]
    if not fits:
        raise ValueError(f"cannot name the dimensions of {name} of shape {shape}")
    wanted = [c for c in fits if ("percentile" in c) == (name == "rotdnn" or "period" not in present)]
    return (wanted or fits)[0]


def _with_xarray(call: Callable[..., Any], fn: Callable[..., Any],
                 bound: inspect.BoundArguments, records: Sequence[str], dim: str) -> Any:
    import xarray as xr

    names = [name for name in records if bound.arguments.get(name) is not None]
    given = [bound.arguments[name] for name in names]
    if not all(_is_xarray(v) for v in given):
        raise TypeError(f"{', '.join(names)} must all be DataArrays, or none of them")
    if any(dim not in v.dims for v in given):
        raise ValueError(
            f"dim={dim!r} is not a dimension of {names[0]} (dimensions {given[0].dims}); "
            "name the time dimension with dim="
        )
    given = [v.transpose(..., dim) for v in given]
    template = given[0]
    for name, v in zip(names[1:], given[1:]):
        if v.dims != template.dims or v.shape != template.shape:
            raise ValueError(f"{name} and {names[0]} must have the same dimensions and shape")
    arguments = dict(bound.arguments)
    for name, v in zip(names, given):
        arguments[name] = v.data
    if "axis" in inspect.signature(fn).parameters:
        arguments["axis"] = -1
    result = call(**arguments)  # a dask-backed DataArray stays lazy
    dims = template.dims[:-1]
    coords = {k: c for k, c in template.coords.items() if dim not in c.dims}
    if not dataclasses.is_dataclass(result):
        values = np.asarray(result) if not hasattr(result, "chunks") else result
        extra = tuple(f"{fn.__name__}_{k}" for k in range(np.ndim(values) - len(dims)))
        if np.shape(values)[len(dims):] == (template.sizes[dim],):
            # A curve along the time axis (as on the dask path) keeps its dimension.
            extra = (dim,)
            coords.update({k: c for k, c in template.coords.items() if c.dims == (dim,)})
        return xr.DataArray(values, dims=dims + extra, coords=coords, name=fn.__name__)
    shared = {_AXES[f.name]: getattr(result, f.name) for f in dataclasses.fields(result)
              if f.name in _AXES and isinstance(getattr(result, f.name), np.ndarray)}
    variables = {}
    for f in dataclasses.fields(result):
        value = getattr(result, f.name)
        if f.name in _AXES or value is None:
            continue
        extra = _field_dims(f.name, np.shape(value)[len(dims):], shared)
        variables[f.name] = xr.DataArray(value, dims=dims + extra,
                                         coords={**coords, **{d: shared[d] for d in extra}})
    if len(variables) == 1:
        return next(iter(variables.values())).rename(next(iter(variables)))
    return xr.Dataset(variables)
