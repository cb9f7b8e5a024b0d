"""What every compiled function must do, whatever it computes: the frozen
surface, argument binding and conversion, failed internal checks, results,
memory layouts, untouched inputs, leaks, threads and hostile calls.  Each
property is written once and runs over the registry in functions.py."""

import ast
import gc
import hashlib
import importlib
import inspect
import os
import sys
import threading
import tracemalloc
from pathlib import Path

import groundmotion
import numpy as np
import pytest
from conftest import STRESS, assert_same_bits, examples, layouts
from functions import FUNCTIONS
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

BY_NAME = pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f"{f.module}.{f.name}")
# sha256 of repr((__doc__, __text_signature__)), first 16 digits; the module's own under ""
SURFACE = {"": "637e13243a311f55", "_arias_intensity": "df705b7ee6f2d5b8",
           "_cav": "df705b7ee6f2d5b8", "_konno_ohmachi_matrix_rows": "ce61ec2a3d5b9881",
           "_konno_ohmachi_smooth": "9b37c17da679c33d", "_psa": "fd69d40a703027de",
           "_rotd": "d35179a58305eede", "_significant_duration": "d31ec3e8c12f1fe3"}


def digest(value):
    return hashlib.sha256(repr(value).encode()).hexdigest()[:16]


def test_the_core_surface_is_frozen():
    core = importlib.import_module("groundmotion._core")
    names = [f.name for f in FUNCTIONS if f.module == core.__name__]
    assert core.__all__ == names
    assert sorted(n for n in vars(core) if not n.startswith("__")) == sorted(names)
    got = {"": digest(core.__doc__)}
    for f in FUNCTIONS[: len(names)]:
        fn = getattr(core, f.name)
        assert list(inspect.signature(fn).parameters) == list(f.params)
        assert fn.__self__ is core and fn.__module__ == "groundmotion._core"
        got[f.name] = digest((fn.__doc__, fn.__text_signature__))
    assert got == SURFACE
    stub = ast.parse((Path(groundmotion.__file__).parent / "_core.pyi").read_text())
    typed = [(n.name, tuple(a.arg for a in n.args.args)) for n in stub.body if isinstance(n, ast.FunctionDef)]
    assert typed == [(f.name, f.params) for f in FUNCTIONS[: len(names)]]


def missing(names):
    q = [f"'{n}'" for n in names]
    listed = " and ".join(q) if len(q) < 3 else ", ".join(q[:-1]) + ", and " + q[-1]
    return f"missing {len(q)} required positional argument{'s' * (len(q) > 1)}: {listed}"


@BY_NAME
def test_binding(f):
    args, fn, n = f.make_args(np.random.default_rng(0)), f.fn, len(f.params)
    expect = fn(*args)
    assert_same_bits(fn(**dict(zip(f.params, args))), expect)
    assert_same_bits(fn(*args[:1], **dict(zip(f.params[1:], args[1:]))), expect)
    cases = [
        ((), {}, missing(f.params)),
        (args[:-1], {}, missing(f.params[-1:])),
        ((*args, 1.0), {}, f"takes {n} positional arguments but {n + 1} were given"),
        ((*args, 1.0), {"nope": 1}, f"takes {n} positional arguments but {n + 1} were given"),
        (args, {"nope": 1}, "got an unexpected keyword argument 'nope'"),
        (args, {f.params[0]: args[0]}, f"got multiple values for argument '{f.params[0]}'"),
    ]
    for pos, kw, message in cases:
        with pytest.raises(TypeError) as info:
            fn(*pos, **kw)
        assert str(info.value) == f"{f.name}() {message}"
        assert not getattr(info.value, "__notes__", None)


A = np.zeros((2, 2))
BAD = {
    "a": [([[1.0, 2.0]], TypeError, "'list' object is not an instance of 'ndarray'"),
          (np.zeros(3), TypeError, "'ndarray' object is not an instance of 'ndarray'"),
          (np.zeros((1, 2, 3)), TypeError, "'ndarray' object is not an instance of 'ndarray'"),
          (A.astype(np.float32), TypeError, "'ndarray' object is not an instance of 'ndarray'"),
          (A.astype(">f8"), TypeError, "'ndarray' object is not an instance of 'ndarray'"),
          (A.astype(np.int64), TypeError, "'ndarray' object is not an instance of 'ndarray'"),
          (None, TypeError, "'None' is not an instance of 'ndarray'"),
          (np.ma.zeros((2, 2), np.float32), TypeError, "'MaskedArray' object is not an instance of 'ndarray'")],
    "f": [("1.0", TypeError, None), (None, TypeError, None), (10**400, OverflowError, None)],
    "u": [(-1, OverflowError, None), (2**64, OverflowError, None), (1.0, TypeError, None)],
    "r": [(np.zeros((2, 2)), TypeError, "'ndarray' object is not an instance of 'list'"),
          (None, TypeError, "'None' is not an instance of 'list'"),
          ([np.zeros(2), np.zeros((1, 2))], TypeError, "'ndarray' object is not an instance of 'ndarray'"),
          ([np.zeros(2, np.float32)], TypeError, "'ndarray' object is not an instance of 'ndarray'"),
          ([[1.0]], TypeError, "'list' object is not an instance of 'ndarray'")],
    "b": [("1 2", TypeError, "'str' object is not an instance of 'bytes'"),
          (bytearray(b"1 2"), TypeError, "'bytearray' object is not an instance of 'bytes'"),
          (None, TypeError, "'None' is not an instance of 'bytes'")],
}


@BY_NAME
def test_conversion_errors_name_the_first_bad_parameter(f):
    good = f.make_args(np.random.default_rng(1))
    for i, kind in enumerate(f.kinds):
        for bad, error, message in BAD[kind]:
            later = [BAD[k][0][0] for k in f.kinds[i + 1:]]  # also bad, converted after
            with pytest.raises(error) as info:
                f.fn(*good[:i], bad, *later)
            assert info.value.__notes__ == [f"while processing '{f.params[i]}'"]
            assert message is None or str(info.value) == message


def test_numbers_convert_like_python_numbers():
    from groundmotion import _core

    class Floaty:
        def __float__(self):
            return 0.5

    class Indexy:
        def __index__(self):
            return 3

    one = np.ones((1, 2))
    assert [_core._cav(one, dt)[0] for dt in (1, np.float32(1.0), True, Floaty())] == [9.81] * 3 + [4.905]
    assert _core._konno_ohmachi_matrix_rows(Indexy(), 40, np.int64(0), np.uint8(1)).shape == (1, 3)


@BY_NAME
def test_failed_checks_raise_one_base_exception_class_and_leave_the_module_usable(f, panic):
    assert panic.__qualname__ == "PanicException" and panic.__module__ == "pyo3_runtime"
    assert panic.__bases__ == (BaseException,) and panic.__doc__
    for args in f.refused(np.random.default_rng(2)):
        with pytest.raises((panic, MemoryError)):
            f.fn(*args)
    args = f.make_args(np.random.default_rng(2))
    out = f.fn(*args)
    assert (out.shape, out.dtype) == f.result(args)
    assert out.flags.c_contiguous and out.flags.writeable and not out.flags.owndata
    assert type(out.base).__name__ == "PySliceContainer"


def test_a_result_buffer_lives_as_long_as_a_view_of_it():
    from groundmotion import _core

    r = _core._arias_intensity(np.ones((4, 5)), 0.01)
    r[:] = 7.0
    view = r[1:]
    del r
    gc.collect()
    assert list(view) == [7.0] * 3
    with pytest.raises(TypeError):  # the owner type cannot be made from Python
        type(view.base)()


@BY_NAME
def test_every_layout_reads_like_a_contiguous_copy_and_inputs_stay_unchanged(f):
    args = f.make_args(np.random.default_rng(3), 6, 70)
    for i in f.arrays():
        for name, view in layouts(args[i]):
            before = view.tobytes(), view.__array_interface__["data"]
            varied = (*args[:i], view, *args[i + 1:])
            plain = (*args[:i], np.ascontiguousarray(view), *args[i + 1:])
            got = f.fn(*varied)
            assert_same_bits(got, f.fn(*plain))
            assert (view.tobytes(), view.__array_interface__["data"]) == before, name
    if len(f.arrays()) > 1:  # one array passed for several parameters
        same = [args[0] if i in f.arrays() and args[i].shape == args[0].shape else a
                for i, a in enumerate(args)]
        assert_same_bits(f.fn(*same), f.fn(*[a.copy() if isinstance(a, np.ndarray) else a for a in same]))


def call_paths(f, rng):
    """Every way a call can end: a result, each binding error, a conversion
    error at each parameter, each failed internal check."""
    args = f.make_args(rng)
    paths = [args, args[:-1], (*args, 1.0)]
    paths += [(*args[:i], BAD[k][0][0]) for i, k in enumerate(f.kinds)]
    return [(p, {}) for p in paths + f.refused(rng)] + [(args, {"nope": 1})]


def resident():
    try:  # no /proc (a bare chroot): resident memory is not checked
        return int(Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return 0


def test_no_reference_or_memory_growth_on_any_path():
    n = 100_000 if STRESS else 1000
    paths = [(f.fn, p, kw) for f in FUNCTIONS for p, kw in call_paths(f, np.random.default_rng(4))]
    held = [a for _, p, _ in paths for a in p if isinstance(a, (np.ndarray, float, list))]

    def sweep(count):
        for _ in range(count):
            for fn, p, kw in paths:
                try:
                    fn(*p, **kw)
                except BaseException:  # noqa: BLE001 - failed checks are BaseExceptions
                    pass

    sweep(max(1, n // 20))  # warm every cache and allocator pool
    gc.collect()
    refs = [sys.getrefcount(a) for a in held]
    rss = resident()
    tracemalloc.start()
    t0 = tracemalloc.take_snapshot()
    sweep(n)
    gc.collect()
    t1 = tracemalloc.take_snapshot()
    tracemalloc.stop()
    assert [sys.getrefcount(a) for a in held] == refs
    assert sum(s.size_diff for s in t1.compare_to(t0, "filename")) < 100 * 1024
    if not os.environ.get("GM_SANITIZED"):  # the sanitizer holds freed blocks back
        assert resident() - rss < 8 << 20  # the kernels' own allocations too


def test_threads_give_the_serial_results():
    rng = np.random.default_rng(5)
    calls = [(f.fn, f.make_args(rng, 12, 700)) for f in FUNCTIONS]
    expect = [fn(*a) for fn, a in calls]
    failures = []

    def worker(k):
        for j in range(400 if STRESS else 20):
            fn, a = calls[(k + j) % len(calls)]
            if not np.array_equal(fn(*a), expect[(k + j) % len(calls)], equal_nan=True):
                failures.append(fn.__name__)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert not failures


SPECIAL = [0.0, -0.0, 1.0, -1.0, np.nan, -np.nan, np.inf, -np.inf, 5e-324, 1.7976931348623157e308, 1e-310]


@st.composite
def hostile_arrays(draw):
    rows, cols = draw(st.integers(0, 6)), draw(st.integers(0, 6))
    values = draw(st.lists(st.one_of(st.floats(-1e3, 1e3), st.sampled_from(SPECIAL)),
                           min_size=rows * cols, max_size=rows * cols))
    a = np.array(values, dtype=np.float64).reshape(rows, cols)
    variants = [a] + [v for _, v in layouts(a)]
    return variants[draw(st.integers(0, len(variants) - 1))]


GOOD = {"a": hostile_arrays(), "f": st.one_of(st.floats(), st.sampled_from(SPECIAL)), "u": st.integers(0, 9),
        "r": st.lists(hostile_arrays().map(lambda a: a[0] if a.shape[0] else a.reshape(-1)), max_size=12),
        "b": st.one_of(st.binary(max_size=64), st.lists(st.floats(), max_size=12).map(lambda v: " ".join(map(repr, v)).encode()))}
WRONG = {"a": st.sampled_from([None, 1.0, [[1.0]], np.zeros(3), np.zeros((2, 2), complex), np.zeros((2, 2), object)]),
         "f": st.sampled_from([None, "1.0", 2**70, np.float32(2.0), True]),
         "u": st.sampled_from([-5, 2**64, 2**62, 1.5, None, np.int64(3)]),
         "r": st.sampled_from([None, np.zeros(3), [np.zeros((2, 2))], [1.0], "abc", (np.zeros(2, np.int64),)]),
         "b": st.sampled_from([None, "1 2", 1.0, memoryview(b"12"), np.zeros(2)])}


OSCILLATOR_COLUMNS = {"_psa": 8, "_oscillator_peaks": 10, "_psa_percentiles": 9, "_psa_substeps": 9}  # coefficient columns


@settings(max_examples=examples(100), deadline=None, suppress_health_check=list(HealthCheck))
@given(st.data())
def test_hostile_calls_never_crash_and_never_write(data):
    f = data.draw(st.sampled_from(FUNCTIONS))
    args = [data.draw(GOOD[k] if data.draw(st.integers(0, 3)) else WRONG[k]) for k in f.kinds]
    cols = OSCILLATOR_COLUMNS.get(f.name)
    if cols and data.draw(st.booleans()) and isinstance(args[0], np.ndarray):
        if f.name in ("_psa", "_psa_substeps"):
            args[1:3] = [args[0], args[0][::-1]]  # agreeing shapes more often than chance
        args[-1] = np.asarray(data.draw(st.lists(st.sampled_from(SPECIAL + [0.5, -0.3]), min_size=cols, max_size=3 * cols)))
        args[-1] = args[-1][: len(args[-1]) // cols * cols].reshape(-1, cols)
    before = [(a, a.tobytes()) for a in args if isinstance(a, np.ndarray)]
    try:
        out = f.fn(*args)
    except BaseException as e:  # noqa: BLE001 - failed checks are BaseExceptions
        assert type(e).__name__ in ("TypeError", "OverflowError", "MemoryError", "PanicException"), e
    else:
        assert (out.shape, out.dtype) == f.result(args) and out.flags.c_contiguous
    assert all(a.tobytes() == b for a, b in before)


def test_requests_with_nothing_to_do_need_no_memory_and_huge_ones_fail_cleanly():
    from groundmotion import _core

    none = np.broadcast_to(np.zeros((1, 1)), (0, 10**12))
    for f in FUNCTIONS:
        if f.kinds[0] == "a":
            args = [none if k == "a" and p not in ("percentiles_py", "fractions_py") else a
                    for p, k, a in zip(f.params, f.kinds, f.make_args(np.random.default_rng(6)))]
            if "coefficients_py" in f.params:
                args[f.params.index("coefficients_py")] = np.zeros((111, OSCILLATOR_COLUMNS.get(f.name, 8)))
            assert f.fn(*args).shape == f.result(args)[0]
    many = np.broadcast_to(np.zeros((1, 1)), (2, 10**12))
    assert _core._psa(many, many, many, np.zeros((0, 8))).shape == (2, 0, 9)
    with pytest.raises(MemoryError):  # an empty result whose shape is not representable
        z = np.broadcast_to(np.zeros((1, 1)), (2**59, 0))
        _core._psa(z, z, z, np.zeros((0, 8)))
    with pytest.raises(MemoryError):
        _core._konno_ohmachi_matrix_rows(2**40, 40.0, 0, 2**40)
