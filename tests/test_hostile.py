"""Hostile calls of every function: random arguments of every kind.  Each call
either returns a result of the documented shape and dtype or raises one of the
documented exception types; it never crashes and never writes into an input."""

import os
import threading
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from groundmotion import _core


def panic_class():
    try:
        _core._konno_ohmachi_matrix_rows(1, 1.0, 1, 0)
    except BaseException as e:  # noqa: BLE001 - the point is to catch it
        return type(e)
    raise AssertionError("no failure")


PANIC = panic_class()
ALLOWED = (TypeError, OverflowError, MemoryError, PANIC)

SPECIAL = [0.0, -0.0, 1.0, -1.0, np.nan, -np.nan, np.inf, -np.inf, 5e-324, -5e-324,
           1.7976931348623157e308, -1.7976931348623157e308, 1e308, 1e-310]


@st.composite
def float_arrays(draw, max_side=7):
    """2-D float64 arrays in any layout: C, Fortran, reversed, strided,
    broadcast (zero stride), offset views, read-only."""
    rows = draw(st.integers(0, max_side))
    cols = draw(st.integers(0, max_side))
    elements = st.one_of(st.floats(-1e3, 1e3), st.sampled_from(SPECIAL))
    data = np.array(draw(st.lists(elements, min_size=rows * cols * 4, max_size=rows * cols * 4)),
                    dtype=np.float64).reshape(rows * 2, cols * 2) if rows * cols else np.zeros((rows * 2, cols * 2))
    layout = draw(st.sampled_from(["c", "f", "rev", "step", "bcast", "offset", "readonly", "T"]))
    if layout == "c":
        a = np.ascontiguousarray(data[:rows, :cols])
    elif layout == "f":
        a = np.asfortranarray(data[:rows, :cols])
    elif layout == "rev":
        a = data[::-1, ::-1][:rows, :cols]
    elif layout == "step":
        a = data[::2, ::2]
    elif layout == "bcast":
        a = np.broadcast_to(data[:1, :cols] if rows else data[:0, :cols], (rows, cols))
    elif layout == "offset":
        a = data[1 : rows + 1, 1 : cols + 1]
    elif layout == "T":
        a = data[:cols, :rows].T
    else:
        a = data[:rows, :cols].copy()
        a.flags.writeable = False
    return a


not_arrays = st.sampled_from(
    [None, 1.0, "x", [[1.0, 2.0]], np.zeros(3), np.zeros((2, 2, 2)), np.zeros((2, 2), np.float32),
     np.zeros((2, 2), ">f8"), np.zeros((2, 2), np.int64), np.zeros((2, 2), complex),
     np.zeros((2, 2), object), np.ma.zeros((2, 2)), np.float64(1.0)]
)
floats = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.sampled_from(SPECIAL),
                   st.integers(-(2**70), 2**70), st.sampled_from([None, "1.0", np.float32(2.0), True]))
uints = st.one_of(st.integers(0, 12), st.integers(-5, 2**65), st.sampled_from([2**62, 2**64 - 1, 1.5, None, np.int64(3), "3"]))

SIGNATURES = {
    "_arias_intensity": ["a", "f"],
    "_cav": ["a", "f"],
    "_significant_duration": ["a", "f", "f", "f"],
    "_rotd": ["a", "a"],
    "_psa": ["a", "a", "a", "a"],
    "_konno_ohmachi_smooth": ["a", "f"],
    "_konno_ohmachi_matrix_rows": ["u", "f", "u", "u"],
}


def expected_shape(name, args):
    if name in ("_arias_intensity", "_cav", "_significant_duration"):
        return (args[0].shape[0],), np.float64
    if name == "_rotd":
        return (args[0].shape[0], 5), np.float64
    if name == "_psa":
        return (args[0].shape[0], args[3].shape[0], 9), np.float64
    if name == "_konno_ohmachi_smooth":
        return args[0].shape, np.float64
    n_bins, _, start, stop = (int(a) if not isinstance(a, float) else a for a in args)
    return (stop - start, n_bins), np.float32


@st.composite
def calls(draw):
    name = draw(st.sampled_from(sorted(SIGNATURES)))
    kinds = SIGNATURES[name]
    args = []
    for kind in kinds:
        good = draw(st.booleans()) or draw(st.booleans())
        if kind == "a":
            args.append(draw(float_arrays()) if good else draw(not_arrays))
        elif kind == "f":
            args.append(draw(st.floats(allow_nan=True)) if good else draw(floats))
        else:
            args.append(draw(st.integers(0, 9)) if good else draw(uints))
    if name == "_psa" and draw(st.booleans()) and all(isinstance(a, np.ndarray) for a in args):
        # make the shapes agree more often than chance would
        base = args[0]
        args[1] = base[::-1] if base.ndim == 2 else base
        args[2] = base
        args[3] = np.random.default_rng(len(args)).standard_normal((draw(st.integers(0, 3)), 8))
    arity = draw(st.sampled_from(["exact", "exact", "exact", "missing", "extra", "kw", "badkw"]))
    return name, args, arity


def snapshot(objs):
    return [(o, o.copy()) for o in objs if isinstance(o, np.ndarray)]


@settings(max_examples=int(os.environ.get("GM_FUZZ_EXAMPLES", "1000")), deadline=None,
          suppress_health_check=list(HealthCheck))
@given(calls())
def test_random_calls_never_crash_and_never_write(call):
    name, args, arity = call
    fn = getattr(_core, name)
    before = snapshot(args)
    kwargs = {}
    call_args = list(args)
    if arity == "missing":
        call_args = call_args[:-1]
    elif arity == "extra":
        call_args.append(1.0)
    elif arity == "kw":
        params = list(fn.__text_signature__.strip("()").split(", "))
        kwargs = {params[-1]: call_args.pop()}
    elif arity == "badkw":
        kwargs = {"nope": 1}
    try:
        result = fn(*call_args, **kwargs)
    except ALLOWED:
        pass
    else:
        assert arity in ("exact", "kw")
        shape, dtype = expected_shape(name, args)
        assert result.shape == shape and result.dtype == dtype
        assert result.flags.c_contiguous and result.flags.writeable
    for original, copy in before:
        assert original.tobytes() == copy.tobytes()


def test_huge_requests_fail_cleanly_or_do_no_work():
    with pytest.raises(MemoryError):
        _core._konno_ohmachi_matrix_rows(2**62, 40.0, 0, 0)
    with pytest.raises(MemoryError):
        _core._konno_ohmachi_matrix_rows(2**40, 40.0, 0, 2**40)
    nothing = np.broadcast_to(np.zeros((1, 1)), (0, 10**12))
    assert _core._rotd(nothing, nothing).shape == (0, 5)
    assert _core._psa(nothing, nothing, nothing, np.zeros((3, 8))).shape == (0, 3, 9)
    assert _core._konno_ohmachi_smooth(np.broadcast_to(np.zeros((1, 1)), (0, 10**12)), 40.0).shape == (0, 10**12)
    for fn in (_core._arias_intensity, _core._cav):
        assert fn(nothing, 0.01).shape == (0,)
    assert _core._significant_duration(nothing, 0.01, 0.05, 0.95).shape == (0,)


def every_path():
    """One call per success path and per error path of every function."""
    rng = np.random.default_rng(2)
    w = rng.standard_normal((9, 64))
    coeffs = rng.standard_normal((2, 8)) * 0.1
    return w, coeffs, [
        lambda: _core._arias_intensity(w, 0.01),
        lambda: _core._cav(w, 0.01),
        lambda: _core._significant_duration(w, 0.01, 0.05, 0.95),
        lambda: _core._rotd(w, w),
        lambda: _core._psa(w[:2], w[:2], w[:2], coeffs),
        lambda: _core._konno_ohmachi_smooth(w, 40.0),
        lambda: _core._konno_ohmachi_matrix_rows(64, 40.0, 3, 9),
        # binding
        lambda: _core._rotd(w),
        lambda: _core._psa(w, w, w, coeffs, w),
        lambda: _core._cav(w, dt=0.1, nope=2),
        lambda: _core._cav(w, 0.1, dt=0.1),
        # conversion
        lambda: _core._psa(w, w, [1.0], coeffs),
        lambda: _core._significant_duration(w, 0.01, 0.05, "high"),
        lambda: _core._konno_ohmachi_matrix_rows(4, 40.0, -1, 2),
        lambda: _core._konno_ohmachi_smooth(w.astype(np.float32), 40.0),
        # internal checks
        lambda: _core._rotd(w, w[:3]),
        lambda: _core._rotd(w[:, :0], w[:, :0]),
        lambda: _core._psa(w[:2], w[:2], w[:2], coeffs[:, :7]),
        lambda: _core._psa(w[:2], w[:1], w[:2], coeffs),
        lambda: _core._konno_ohmachi_matrix_rows(4, 40.0, 3, 2),
        lambda: _core._konno_ohmachi_matrix_rows(4, 40.0, 2, 5),
        # allocation failure
        lambda: _core._konno_ohmachi_matrix_rows(2**62, 40.0, 0, 0),
    ]


def rss_kib():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:  # no /proc (a bare chroot): resident memory is not checked
        pass
    return 0


def test_no_growth_over_many_calls_on_every_path():
    import gc
    import sys
    import tracemalloc

    n = int(os.environ.get("GM_LEAK_CALLS", "100000"))
    w, coeffs, paths = every_path()
    dt = 0.01

    def sweep(count):
        for _ in range(count):
            for p in paths:
                try:
                    p()
                except BaseException:  # noqa: BLE001
                    pass

    sweep(max(1, n // 20))  # warm every cache and allocator pool
    gc.collect()
    refs = [sys.getrefcount(o) for o in (w, coeffs, dt)]
    rss0 = rss_kib()
    tracemalloc.start()
    t0 = tracemalloc.take_snapshot()
    sweep(n)
    gc.collect()
    t1 = tracemalloc.take_snapshot()
    tracemalloc.stop()
    assert [sys.getrefcount(o) for o in (w, coeffs, dt)] == refs
    assert sum(s.size_diff for s in t1.compare_to(t0, "filename")) < 100 * 1024
    assert rss_kib() - rss0 < 8 * 1024  # KiB: noise, not a leak of every call


def test_threads_under_load_match_the_serial_results():
    w, coeffs, paths = every_path()
    good = paths[:7]
    expect = [p() for p in good]
    failures = []
    stop = time.monotonic() + float(os.environ.get("GM_THREAD_SECONDS", "3"))

    def worker(offset):
        k = offset
        while time.monotonic() < stop:
            got = good[k % len(good)]()
            if not np.array_equal(got, expect[k % len(good)], equal_nan=True):
                failures.append(k % len(good))
            k += 1

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert not failures


def test_unaligned_arrays_read_like_aligned_ones():
    rng = np.random.default_rng(8)
    values = rng.standard_normal((9, 40))
    raw = np.zeros(values.size * 8 + 1, np.uint8)
    unaligned = np.frombuffer(raw.data, dtype=np.float64, offset=1, count=values.size).reshape(9, 40)
    raw[1:] = np.frombuffer(values.tobytes(), np.uint8)
    assert not unaligned.flags.aligned
    coeffs = rng.standard_normal((5, 8)) * 0.1
    for fn, args in [
        (_core._arias_intensity, (0.01,)),
        (_core._cav, (0.01,)),
        (_core._significant_duration, (0.01, 0.05, 0.95)),
        (_core._konno_ohmachi_smooth, (40.0,)),
    ]:
        assert fn(unaligned, *args).tobytes() == fn(values, *args).tobytes()
    assert _core._rotd(unaligned, unaligned[::-1]).tobytes() == _core._rotd(values, values[::-1]).tobytes()
    got = _core._psa(unaligned, unaligned, unaligned, coeffs)
    assert got.tobytes() == _core._psa(values, values, values, coeffs).tobytes()


def test_spectra_near_the_float64_maximum_do_not_overflow():
    # The smoothing weights sum to one: a huge constant spectrum stays (very
    # nearly) constant, and scaling a spectrum by a power of two scales its
    # smoothing exactly.
    huge = np.full((2, 64), 1e308)
    out = _core._konno_ohmachi_smooth(huge, 40.0)
    assert np.isfinite(out).all()
    assert np.allclose(out, 1e308, rtol=1e-12, atol=0)
    x = np.random.default_rng(3).random((3, 200))
    assert np.array_equal(_core._konno_ohmachi_smooth(x * 2.0**1020, 40.0), _core._konno_ohmachi_smooth(x, 40.0) * 2.0**1020)


def test_an_unrepresentable_empty_result_is_a_memory_error():
    z = np.broadcast_to(np.zeros((1, 1)), (2**59, 0))
    with pytest.raises(MemoryError):
        _core._psa(z, z, z, np.zeros((0, 8)))
