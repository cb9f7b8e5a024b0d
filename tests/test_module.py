"""The module surface and the call frame shared by every function."""

import gc
import inspect
import sys
import threading
import tracemalloc

import numpy as np
import pytest

from groundmotion import _core

NAMES = [
    "_arias_intensity",
    "_cav",
    "_konno_ohmachi_matrix_rows",
    "_konno_ohmachi_smooth",
    "_psa",
    "_rotd",
    "_significant_duration",
]

PARAMS = {
    "_arias_intensity": ["waveforms_py", "dt"],
    "_cav": ["waveforms_py", "dt"],
    "_konno_ohmachi_matrix_rows": ["n_bins", "bandwidth", "start", "stop"],
    "_konno_ohmachi_smooth": ["spectra_py", "bandwidth"],
    "_psa": ["comp_0_py", "comp_90_py", "comp_ver_py", "coefficients_py"],
    "_rotd": ["comp_0_py", "comp_90_py"],
    "_significant_duration": ["waveforms_py", "dt", "low", "high"],
}


def panic_type():
    with pytest.raises(BaseException) as info:
        _core._psa(*(np.zeros((1, 2)),) * 3, np.zeros((1, 7)))
    return type(info.value)


def test_all_lists_the_functions_in_table_order():
    assert _core.__all__ == NAMES
    public = sorted(n for n in vars(_core) if not n.startswith("__"))
    assert public == sorted(NAMES)


@pytest.mark.parametrize("name", NAMES)
def test_signature_self_and_module(name):
    fn = getattr(_core, name)
    assert list(inspect.signature(fn).parameters) == PARAMS[name]
    assert fn.__self__ is _core
    assert fn.__module__ == _core.__name__ == "groundmotion._core"


def test_docstrings():
    for name in ("_arias_intensity", "_cav", "_significant_duration"):
        assert getattr(_core, name).__doc__ is None
    assert _core._rotd.__doc__ == (
        "RotD statistics of every `(comp_0, comp_90)` pair.\n\n"
        "Returns an `(ns, 5)` array: RotD00, RotD50 and RotD100, then the\n"
        "orientation in degrees at which RotD00 and RotD100 occur."
    )
    assert _core._konno_ohmachi_smooth.__doc__ == (
        "Konno-Ohmachi smoothing of `(n_spectra, n_bins)` spectra, matrix-free."
    )
    assert _core._konno_ohmachi_matrix_rows.__text_signature__ == "(n_bins, bandwidth, start, stop)"
    assert _core._psa.__doc__.startswith(
        "Pseudo-spectral acceleration statistics for every station and period.\n\n"
    )
    assert _core._psa.__doc__.endswith("then the five columns [`_rotd`] returns.")


W = np.zeros((2, 3))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: _core._cav(W, 1.0, 2.0), "_cav() takes 2 positional arguments but 3 were given"),
        (
            lambda: _core._cav(W, 1.0, 2.0, bogus=1),
            "_cav() takes 2 positional arguments but 3 were given",
        ),
        (lambda: _core._cav(W, 1.0, dt=2.0), "_cav() got multiple values for argument 'dt'"),
        (
            lambda: _core._cav(W, dt=1.0, extra=3),
            "_cav() got an unexpected keyword argument 'extra'",
        ),
        (
            lambda: _core._significant_duration(W),
            "_significant_duration() missing 3 required positional arguments: "
            "'dt', 'low', and 'high'",
        ),
        (
            lambda: _core._rotd(),
            "_rotd() missing 2 required positional arguments: 'comp_0_py' and 'comp_90_py'",
        ),
        (lambda: _core._cav(W), "_cav() missing 1 required positional argument: 'dt'"),
        (
            lambda: _core._konno_ohmachi_matrix_rows(4, 40.0, stop=3),
            "_konno_ohmachi_matrix_rows() missing 1 required positional argument: 'start'",
        ),
        (
            lambda: _core._arias_intensity(1),
            "_arias_intensity() missing 1 required positional argument: 'dt'",
        ),
        (
            lambda: _core._rotd(W, W, W),
            "_rotd() takes 2 positional arguments but 3 were given",
        ),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_everything_by_keyword():
    assert _core._cav(dt=1.0, waveforms_py=W).shape == (2,)


BAD_ARRAYS = [
    ([[1.0, 2.0]], "'list' object is not an instance of 'ndarray'"),
    (np.zeros(3), "'ndarray' object is not an instance of 'ndarray'"),
    (np.zeros((1, 2, 3)), "'ndarray' object is not an instance of 'ndarray'"),
    (np.zeros((2, 2), np.float32), "'ndarray' object is not an instance of 'ndarray'"),
    (np.zeros((2, 2), ">f8"), "'ndarray' object is not an instance of 'ndarray'"),
    (np.zeros((2, 2), np.int64), "'ndarray' object is not an instance of 'ndarray'"),
    (None, "'None' is not an instance of 'ndarray'"),
    (np.ma.zeros((2, 2), np.float32), "'MaskedArray' object is not an instance of 'ndarray'"),
]


@pytest.mark.parametrize("bad, message", BAD_ARRAYS)
def test_array_conversion_errors_carry_a_note(bad, message):
    with pytest.raises(TypeError) as info:
        _core._cav(bad, 1.0)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'waveforms_py'"]


def test_conversion_runs_in_parameter_order_and_stops_at_the_first_failure():
    with pytest.raises(TypeError) as info:
        _core._rotd(W, "not an array")
    assert info.value.__notes__ == ["while processing 'comp_90_py'"]
    # dt is bad too, but waveforms_py is converted first
    with pytest.raises(TypeError) as info:
        _core._significant_duration([1], "x", 0.0, 1.0)
    assert info.value.__notes__ == ["while processing 'waveforms_py'"]
    with pytest.raises(TypeError) as info:
        _core._significant_duration(W, 1.0, 0.0, "x")
    assert info.value.__notes__ == ["while processing 'high'"]


class Floaty:
    def __float__(self):
        return 0.5


class Indexy:
    def __index__(self):
        return 3


def test_number_conversions():
    one = np.array([[1.0, 1.0]])
    assert _core._cav(one, 1)[0] == 9.81
    assert _core._cav(one, np.float32(1.0))[0] == 9.81
    assert _core._cav(one, Floaty())[0] == 9.81 * 0.5
    assert _core._cav(one, True)[0] == 9.81
    assert np.isnan(_core._cav(one, float("nan"))[0])
    with pytest.raises(TypeError) as info:
        _core._cav(one, "1.0")
    assert info.value.__notes__ == ["while processing 'dt'"]
    assert _core._konno_ohmachi_matrix_rows(Indexy(), 40.0, np.int64(0), 1).shape == (1, 3)
    with pytest.raises(OverflowError) as info:
        _core._konno_ohmachi_matrix_rows(-1, 40.0, 0, 0)
    assert info.value.__notes__ == ["while processing 'n_bins'"]
    with pytest.raises(OverflowError) as info:
        _core._konno_ohmachi_matrix_rows(4, 40.0, 0, 2**64)
    assert info.value.__notes__ == ["while processing 'stop'"]
    with pytest.raises(TypeError) as info:
        _core._konno_ohmachi_matrix_rows(4, 40.0, 1.0, 2)
    assert info.value.__notes__ == ["while processing 'start'"]
    with pytest.raises(TypeError) as info:
        _core._konno_ohmachi_matrix_rows(4, None, 0, 2)
    assert info.value.__notes__ == ["while processing 'bandwidth'"]


def test_panic_exception_class():
    cls = panic_type()
    assert cls.__qualname__ == "PanicException"
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert cls.__doc__
    # one class per process
    assert panic_type() is cls
    with pytest.raises(BaseException) as info:
        try:
            _core._rotd(np.zeros((3, 4)), np.zeros((2, 4)))
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    assert type(info.value) is cls
    assert info.value.args == (str(info.value),)
    # the module stays usable
    assert _core._cav(np.ones((1, 2)), 1.0)[0] == 9.81


def test_result_arrays_own_nothing_and_are_freed_with_the_array():
    r = _core._arias_intensity(np.ones((4, 5)), 0.01)
    assert type(r.base).__name__ == "PySliceContainer"
    assert r.flags.writeable and r.flags.c_contiguous and not r.flags.owndata
    assert r.dtype == np.float64 and r.shape == (4,)
    r[:] = 7.0  # the caller may write into it
    view = r[1:]
    del r
    gc.collect()
    assert list(view) == [7.0, 7.0, 7.0]  # the view keeps the buffer alive
    with pytest.raises(TypeError):
        type(view.base)()


def test_inputs_are_never_written_and_any_layout_is_read_in_place():
    rng = np.random.default_rng(5)
    base = rng.standard_normal((6, 40))
    frozen = base.copy()
    views = {
        "c": base,
        "fortran": np.asfortranarray(base),
        "reversed": base[::-1, ::-1].copy()[::-1, ::-1],
        "strided": np.repeat(base, 3, axis=1)[:, ::3],
        "transposed": np.ascontiguousarray(base.T).T,
    }
    readonly = base.copy()
    readonly.flags.writeable = False
    views["readonly"] = readonly
    for fn in (_core._arias_intensity, _core._cav):
        expect = fn(base, 0.01)
        for name, v in views.items():
            assert np.array_equal(fn(v, 0.01), expect), name
    expect = _core._significant_duration(base, 0.01, 0.05, 0.95)
    for name, v in views.items():
        assert np.array_equal(_core._significant_duration(v, 0.01, 0.05, 0.95), expect), name
    assert np.array_equal(base, frozen)
    # a broadcast (zero-stride) array reads the same row everywhere
    row = base[:1]
    b = np.broadcast_to(row, (9, 40))
    assert np.array_equal(_core._cav(b, 0.01), np.repeat(_core._cav(row, 0.01), 9))


def _calls():
    W2 = np.random.default_rng(1).standard_normal((3, 50))
    return [
        lambda: _core._arias_intensity(W2, 0.01),
        lambda: _core._cav(W2, dt=0.01),
        lambda: _core._significant_duration(W2, 0.01, 0.05, 0.95),
        lambda: _core._cav(W2),
        lambda: _core._cav(W2, "x"),
        lambda: _core._cav([1.0], 0.01),
        lambda: _core._cav(W2, 0.01, bogus=1),
        lambda: _core._rotd(W2, W2[:2]),
        lambda: _core._konno_ohmachi_matrix_rows(4, 40.0, 3, 2),
        lambda: _core._konno_ohmachi_matrix_rows(2**62, 40.0, 0, 0),
    ], W2


def test_no_reference_or_memory_growth_on_any_path():
    calls, W2 = _calls()
    dt = 0.01

    def run(n):
        for _ in range(n):
            for c in calls:
                try:
                    c()
                except BaseException:
                    pass

    run(200)  # warm the caches
    gc.collect()
    before = sys.getrefcount(W2), sys.getrefcount(dt)
    tracemalloc.start()
    snap1 = tracemalloc.take_snapshot()
    run(1000)
    gc.collect()
    snap2 = tracemalloc.take_snapshot()
    tracemalloc.stop()
    growth = sum(s.size_diff for s in snap2.compare_to(snap1, "filename"))
    assert (sys.getrefcount(W2), sys.getrefcount(dt)) == before
    assert growth < 64 * 1024


def test_threads_give_the_serial_results():
    rng = np.random.default_rng(11)
    data = rng.standard_normal((40, 3000))
    expect = [
        _core._arias_intensity(data, 0.01),
        _core._cav(data, 0.01),
        _core._significant_duration(data, 0.01, 0.05, 0.95),
    ]
    failures = []

    def worker():
        for _ in range(20):
            got = [
                _core._arias_intensity(data, 0.01),
                _core._cav(data, 0.01),
                _core._significant_duration(data, 0.01, 0.05, 0.95),
            ]
            if not all(np.array_equal(g, e) for g, e in zip(got, expect)):
                failures.append(got)

    threads = [threading.Thread(target=worker) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
