"""The public functions: shapes, checks, named results, threads, and oracles.

The oracles are independent of the kernels: closed forms for the integrals,
brute-force rotation for RotD, SciPy's exact linear-system solver for the
oscillators, the Konno-Ohmachi formula evaluated directly, and PEER's own
spectrum of the bundled record.
"""

from __future__ import annotations

import ast
import dataclasses
import inspect
import json
import math
import re
import sys
from importlib import resources
from pathlib import Path

import numpy as np
import pytest

import groundmotion
from groundmotion import _core, api
from groundmotion.api import (
    arias_intensity,
    cav,
    konno_ohmachi_matrix,
    konno_ohmachi_smooth,
    response_spectrum,
    rotd,
    significant_duration,
)
from groundmotion.io import read_at2
from groundmotion.results import RotD

import reference

RNG = np.random.default_rng(20240601)
G = 9.81


def bits(a):
    return np.ascontiguousarray(np.asarray(a, dtype=np.float64)).view(np.uint64)


def assert_bit_identical(a, b):
    np.testing.assert_array_equal(bits(a), bits(b))


@pytest.fixture(scope="module")
def el_centro():
    """The bundled three-component record, trimmed to a common length, and PEER's data."""
    data = resources.files("groundmotion") / "data"
    info = json.loads((data / "RSN6.json").read_text())
    comps = [read_at2(str(data / info["components"][k])) for k in ("000", "090", "ver")]
    n = min(len(c[0]) for c in comps)
    assert {c[1] for c in comps} == {0.01}
    return [c[0][:n] for c in comps], 0.01, info


# ---------------------------------------------------------------------------
# Shapes and conversion, common to the per-record measures

PER_RECORD = [
    pytest.param(lambda a, **kw: arias_intensity(a, 0.01, **kw), id="arias"),
    pytest.param(lambda a, **kw: cav(a, 0.01, **kw), id="cav"),
    pytest.param(lambda a, **kw: significant_duration(a, 0.01, **kw), id="duration"),
    pytest.param(lambda a, **kw: significant_duration(a, 0.01, 0.2, 0.6, **kw), id="duration-2060"),
]


@pytest.mark.parametrize("measure", PER_RECORD)
def test_one_record_is_a_float_and_a_batch_an_array(measure):
    batch = RNG.normal(size=(5, 300))
    values = measure(batch)
    assert isinstance(values, np.ndarray) and values.shape == (5,) and values.dtype == np.float64
    for k in range(5):
        one = measure(batch[k])
        assert type(one) is float
        assert_bit_identical(one, values[k])
    assert measure(np.empty((0, 300))).shape == (0,)


@pytest.mark.parametrize("measure", PER_RECORD)
def test_any_layout_and_any_real_array_like_give_the_same_values(measure):
    base = RNG.normal(size=(4, 200))
    expected = measure(base)
    fortran = np.asfortranarray(base)
    reversed_rows = base[::-1, ::-1].copy()[::-1, ::-1]  # negative strides, same values
    padded = np.zeros((8, 400))
    padded[::2, ::2] = base
    for variant in (fortran, reversed_rows, padded[::2, ::2], base.tolist(), base.astype(">f8")):
        assert_bit_identical(measure(variant), expected)
    ints = RNG.integers(-5, 5, size=(3, 50))
    assert_bit_identical(measure(ints), measure(ints.astype(np.float64)))
    f32 = base.astype(np.float32)
    assert_bit_identical(measure(f32), measure(f32.astype(np.float64)))


def test_float64_input_reaches_the_kernel_without_a_copy(monkeypatch):
    seen = []

    def spy(waveforms, dt):
        seen.append(waveforms)
        return np.zeros(waveforms.shape[0])

    monkeypatch.setattr(api, "_arias_intensity", spy)
    base = RNG.normal(size=(6, 100))
    for array in (base, np.asfortranarray(base), base[::-2, 1::3], base[2]):
        seen.clear()
        arias_intensity(array, 0.01)
        (passed,) = seen
        assert passed.ndim == 2 and passed.dtype == np.float64
        assert np.shares_memory(passed, array)
        np.testing.assert_array_equal(passed, np.atleast_2d(array))


@pytest.mark.parametrize(
    "value, error",
    [
        (np.ones((2, 3, 4)), ValueError),
        (np.float64(1.0), ValueError),
        (np.ones(3, dtype=complex), TypeError),
        (np.array([1.0, None]), TypeError),
        (["0.1", "0.2"], TypeError),
        (np.array([True, False]), TypeError),
    ],
    ids=["3-D", "0-D", "complex", "object", "strings", "bool"],
)
def test_records_that_are_not_real_1d_or_2d_arrays_are_refused(value, error):
    with pytest.raises(error, match="acc"):
        arias_intensity(value, 0.01)
    with pytest.raises(error, match="spectra"):
        konno_ohmachi_smooth(value)
    with pytest.raises(error, match="comp_0"):
        rotd(value, value)


BAD_NUMBERS = [0.0, -0.01, math.nan, math.inf, -math.inf]


@pytest.mark.parametrize("dt", BAD_NUMBERS)
def test_dt_must_be_positive_and_finite(dt):
    acc = np.ones(10)
    for call in (
        lambda: arias_intensity(acc, dt),
        lambda: cav(acc, dt),
        lambda: significant_duration(acc, dt),
        lambda: response_spectrum(acc, acc, None, dt, [1.0]),
    ):
        with pytest.raises(
            ValueError, match=r"dt must be positive and finite; got " + re.escape(repr(dt))
        ):
            call()


@pytest.mark.parametrize("dt", ["0.01", None, True, [0.01], 1 + 0j])
def test_dt_must_be_a_real_number(dt):
    with pytest.raises(TypeError, match="dt must be a real number"):
        arias_intensity(np.ones(10), dt)


def test_dt_accepts_any_real_scalar():
    acc = RNG.normal(size=50)
    expected = cav(acc, 0.5)
    for dt in (np.float32(0.5), np.float64(0.5), np.array(0.5), 1 / 2):
        assert cav(acc, dt) == expected
    assert cav(acc, 1) == cav(acc, 1.0)


@pytest.mark.parametrize(
    "low, high, name",
    [(-0.1, 0.95, "low"), (0.05, 1.5, "high"), (math.nan, 0.95, "low"), (0.05, math.inf, "high")],
)
def test_duration_fractions_must_lie_in_0_1(low, high, name):
    with pytest.raises(ValueError, match=rf"{name} must lie in \[0, 1\]; got"):
        significant_duration(np.ones(10), 0.01, low, high)


def test_duration_low_above_high_is_refused():
    with pytest.raises(ValueError, match=r"low must not exceed high; got low=0\.9 and high=0\.1"):
        significant_duration(np.ones(10), 0.01, 0.9, 0.1)
    # Equal fractions are a valid, if empty, interval.
    assert significant_duration(RNG.normal(size=100), 0.01, 0.5, 0.5) == 0.0


# ---------------------------------------------------------------------------
# Time-integral measures against closed forms and the slow reference


def test_integrals_of_a_sine_match_the_closed_forms():
    # a(t) = A sin(2 pi f t) over whole cycles: integral of a^2 is A^2 T / 2 and
    # integral of |a| is 2 A T / pi.  Sampled finely, the trapezoid rule with
    # zero-crossing splits is close to both.
    amplitude, f, duration, dt = 0.3, 2.0, 5.0, 1e-4
    t = np.arange(0.0, duration + dt / 2, dt)
    acc = amplitude * np.sin(2 * np.pi * f * t)
    ia = math.pi / (2 * G) * (amplitude * G) ** 2 * duration / 2
    assert arias_intensity(acc, dt) == pytest.approx(ia, rel=1e-6)
    assert cav(acc, dt) == pytest.approx(2 * amplitude * G * duration / math.pi, rel=1e-6)
    # D5-95 of a stationary sine: 90 % of the duration, within a sample.
    assert significant_duration(acc, dt) == pytest.approx(0.9 * duration, abs=2 * dt + 1e-3)


def test_duration_thresholds_reach_the_kernel_in_order():
    batch = RNG.normal(size=(4, 120))
    for low, high in ((0.05, 0.75), (0.05, 0.95), (0.2, 0.8), (0.0, 1.0)):
        got = significant_duration(batch, 0.02, low, high)
        want = [reference.significant_duration(row.tolist(), 0.02, low, high) for row in batch]
        assert_bit_identical(got, want)
    assert significant_duration([0.0, 1.0, 1.0, 0.0], 1.0) == 2.0


@pytest.mark.parametrize("measure", PER_RECORD)
def test_a_nan_sample_spoils_only_its_own_record(measure):
    batch = RNG.normal(size=(3, 100))
    batch[1, 40] = math.nan
    values = measure(batch)
    assert math.isnan(values[1]) and np.isfinite(values[[0, 2]]).all()


# ---------------------------------------------------------------------------
# RotD


def brute_rotd(x, y):
    """The five RotD values by rotating to every whole degree."""
    theta = np.radians(np.arange(180.0))
    rotated = np.cos(theta)[:, None] * x[None, :] + np.sin(theta)[:, None] * y[None, :]
    peaks = np.abs(rotated).max(axis=1)
    return peaks.min(), np.median(peaks), peaks.max(), float(peaks.argmin()), float(peaks.argmax())


def test_rotd_matches_brute_force_rotation():
    x, y = RNG.normal(size=(2, 6, 400))
    y[0] = 0.3 * x[0]  # a nearly polarised pair
    result = rotd(x, y)
    assert isinstance(result, RotD) and result.n_records == 6
    for k in range(6):
        want = brute_rotd(x[k], y[k])
        got = [
            getattr(result, f)[k]
            for f in ("rotd00", "rotd50", "rotd100", "angle_rotd00", "angle_rotd100")
        ]
        np.testing.assert_allclose(got[:3], want[:3], rtol=1e-12)
        assert got[3:] == list(want[3:])


def test_rotd_one_record_gives_floats_and_a_batch_arrays():
    x, y = RNG.normal(size=(2, 3, 50))
    batch = rotd(x, y)
    one = rotd(x[2], y[2])
    assert one.n_records is None
    for field in dataclasses.fields(RotD):
        value = getattr(one, field.name)
        assert type(value) is float
        assert getattr(batch, field.name).shape == (3,)
        assert_bit_identical(value, getattr(batch, field.name)[2])
    # A lone 0 component peaks at 0 degrees and vanishes across it.
    single = rotd([0.0, 1.0, -2.0], [0.0, 0.0, 0.0])
    assert (single.rotd100, single.angle_rotd100) == (2.0, 0.0)
    assert single.angle_rotd00 == 90.0 and single.rotd00 < 1e-15


def test_rotd_components_must_match():
    with pytest.raises(
        ValueError, match=r"comp_90 has shape \(2, 101\) but comp_0 has shape \(2, 100\)"
    ):
        rotd(np.ones((2, 100)), np.ones((2, 101)))
    with pytest.raises(
        ValueError, match=r"comp_90 has shape \(1, 100\) but comp_0 has shape \(100,\)"
    ):
        rotd(np.ones(100), np.ones((1, 100)))
    with pytest.raises(ValueError, match="no samples"):
        rotd([], [])
    assert rotd(np.empty((0, 7)), np.empty((0, 7))).rotd50.shape == (0,)


def test_rotd_nan_rows_are_nan_and_others_untouched():
    x, y = RNG.normal(size=(2, 3, 80))
    y[1, 5] = math.inf
    result = rotd(x, y)
    for field in dataclasses.fields(RotD):
        column = getattr(result, field.name)
        assert math.isnan(column[1]) and np.isfinite(column[[0, 2]]).all()


# ---------------------------------------------------------------------------
# Response spectra


def lsim_responses(acc, dt, period, damping):
    """Pseudo-acceleration response by SciPy's exact solver for linear input."""
    signal = pytest.importorskip("scipy.signal")
    w = 2 * math.pi / period
    system = signal.StateSpace(
        [[0.0, 1.0], [-w * w, -2 * damping * w]], [[0.0], [-1.0]], [[w * w, 0.0]], [[0.0]]
    )
    t = np.arange(len(acc)) * dt
    _, y, _ = signal.lsim(system, acc, t, interp=True)
    return np.asarray(y)


def test_response_spectrum_matches_an_exact_linear_solver():
    dt = 0.01
    x, y, z = RNG.normal(size=(3, 500)) * 0.1
    periods = np.array([0.05, 0.2, 1.0, 3.0])
    for damping in (0.0, 0.05, 0.3):
        s = response_spectrum(x, y, z, dt, periods, damping)
        assert s.damping == damping
        for k, period in enumerate(periods):
            rx, ry, rz = (lsim_responses(c, dt, period, damping) for c in (x, y, z))
            np.testing.assert_allclose(
                [s.psa_000[k], s.psa_090[k], s.psa_ver[k]],
                [np.abs(rx).max(), np.abs(ry).max(), np.abs(rz).max()],
                rtol=1e-8,
            )
            want = brute_rotd(rx, ry)
            np.testing.assert_allclose(
                [s.rotd00[k], s.rotd50[k], s.rotd100[k]], want[:3], rtol=1e-8
            )
            assert (s.angle_rotd00[k], s.angle_rotd100[k]) == want[3:]
        np.testing.assert_array_equal(s.geometric_mean, np.sqrt(s.psa_000 * s.psa_090))


def test_response_spectrum_of_el_centro_matches_peer(el_centro):
    (h1, h2, v), dt, info = el_centro
    peer = info["peer_psa_5pct"]
    periods = np.array(peer["period_s"])
    s = response_spectrum(h1, h2, v, dt, periods)
    long = periods >= 0.1
    # PEER lists the horizontals to about seven digits and the vertical to three;
    # below 0.1 s PEER resamples the record, which moves its values by a few percent.
    np.testing.assert_allclose(s.psa_000[long], np.array(peer["h1_g"])[long], rtol=2e-5)
    np.testing.assert_allclose(s.psa_090[long], np.array(peer["h2_g"])[long], rtol=2e-5)
    np.testing.assert_allclose(s.psa_ver[long], np.array(peer["ver_g"])[long], rtol=6e-3)
    for name, key in (("psa_000", "h1_g"), ("psa_090", "h2_g"), ("psa_ver", "ver_g")):
        np.testing.assert_allclose(getattr(s, name), peer[key], rtol=0.04)
    assert np.all(s.rotd00 <= s.rotd50) and np.all(s.rotd50 <= s.rotd100)
    assert np.all(s.rotd100 >= np.maximum(s.psa_000, s.psa_090) * (1 - 1e-12))


def test_response_spectrum_shapes_and_vertical_none():
    x, y, z = RNG.normal(size=(3, 4, 200))
    periods = [0.1, 0.5, 2.0]
    batch = response_spectrum(x, y, z, 0.01, periods)
    assert batch.n_records == 4 and batch.periods.shape == (3,)
    for name in ("psa_000", "psa_ver", "geometric_mean", "rotd50", "angle_rotd100"):
        assert getattr(batch, name).shape == (4, 3)
    one = response_spectrum(x[1], y[1], z[1], 0.01, periods)
    assert one.n_records is None and one.rotd50.shape == (3,)
    assert_bit_identical(one.rotd50, batch.rotd50[1])
    assert_bit_identical(one.psa_ver, batch.psa_ver[1])
    # No vertical: psa_ver is None and the horizontal results are unchanged.
    horizontal = response_spectrum(x, y, None, 0.01, periods)
    assert horizontal.psa_ver is None
    for name in ("psa_000", "psa_090", "geometric_mean", "rotd00", "rotd50", "rotd100"):
        assert_bit_identical(getattr(horizontal, name), getattr(batch, name))
    # A single period still has a period axis.
    assert response_spectrum(x[0], y[0], None, 0.01, 1.0).psa_000.shape == (1,)
    assert response_spectrum(x, y, None, 0.01, np.array([])).rotd50.shape == (4, 0)


@pytest.mark.parametrize(
    "kwargs, match",
    [
        ({"periods": [0.1, 0.0]}, r"periods must be positive and finite; got periods\[1\] = 0\.0"),
        ({"periods": [-1.0]}, r"periods\[0\] = -1\.0"),
        ({"periods": [0.1, math.nan]}, r"periods\[1\] = nan"),
        ({"periods": [math.inf]}, r"periods\[0\] = inf"),
        ({"periods": np.ones((2, 2))}, r"periods must be a number or 1-D"),
        ({"damping": -0.01}, r"damping must lie in \[0, 1\); got -0\.01"),
        ({"damping": 1.0}, r"damping must lie in \[0, 1\); got 1\.0"),
        ({"damping": math.nan}, r"damping must lie in \[0, 1\); got nan"),
        ({"comp_ver": np.ones(99)}, r"comp_ver has shape \(99,\) but comp_0 has shape \(100,\)"),
        ({"comp_90": np.ones(101)}, r"comp_90 has shape \(101,\) but comp_0"),
    ],
)
def test_response_spectrum_checks_its_arguments(kwargs, match):
    arguments = {
        "comp_0": np.ones(100),
        "comp_90": np.ones(100),
        "comp_ver": None,
        "dt": 0.01,
        "periods": [0.1, 1.0],
        "damping": 0.05,
    }
    arguments.update(kwargs)
    with pytest.raises(ValueError, match=match):
        response_spectrum(**arguments)


def test_response_spectrum_nan_station_is_nan_throughout():
    x, y, z = RNG.normal(size=(3, 3, 100))
    z[2, 10] = math.nan
    s = response_spectrum(x, y, z, 0.01, [0.1, 1.0])
    assert np.isnan(s.rotd50[2]).all() and np.isnan(s.psa_000[2]).all()
    assert np.isfinite(s.rotd50[:2]).all()


# ---------------------------------------------------------------------------
# Konno-Ohmachi smoothing


def brute_konno_ohmachi(spectrum, b):
    n = len(spectrum)
    out = np.empty(n)
    out[0] = spectrum[0]
    i = np.arange(1, n, dtype=float)
    for c in range(1, n):
        x = b * np.log10(i / c)
        with np.errstate(invalid="ignore", divide="ignore"):
            w = (np.sin(x) / x) ** 4
        w[c - 1] = 1.0
        out[c] = np.dot(w, spectrum[1:]) / w.sum()
    return out


@pytest.mark.parametrize("b", [10.0, 40.0, 100.0])
def test_smoothing_matches_the_window_formula(b):
    spectra = np.abs(RNG.normal(size=(3, 150)))
    smoothed = konno_ohmachi_smooth(spectra, b)
    for row, out in zip(spectra, smoothed):
        np.testing.assert_allclose(out, brute_konno_ohmachi(row, b), rtol=1e-12)
    one = konno_ohmachi_smooth(spectra[1], b)
    assert one.shape == (150,)
    assert_bit_identical(one, smoothed[1])


def test_smoothing_matrix_agrees_with_the_smoothing():
    n, b = 90, 30.0
    matrix = konno_ohmachi_matrix(n, b)
    assert matrix.dtype == np.float32 and matrix.shape == (n, n)
    np.testing.assert_allclose(matrix.sum(axis=1), 1.0, rtol=1e-6)
    np.testing.assert_array_equal(matrix[0], np.eye(n, dtype=np.float32)[0])
    spectrum = np.abs(RNG.normal(size=n)) + 1.0
    np.testing.assert_allclose(
        matrix.astype(np.float64) @ spectrum, konno_ohmachi_smooth(spectrum, b), rtol=1e-6
    )
    band = konno_ohmachi_matrix(n, b, 17, 40)
    assert band.shape == (23, n)
    assert_bit_identical(band, matrix[17:40])
    assert konno_ohmachi_matrix(n, b, start=n).shape == (0, n)


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        (
            {"n_bins": 8, "start": 5, "stop": 3},
            ValueError,
            r"start must not exceed stop=3; got start=5",
        ),
        ({"n_bins": 8, "stop": 9}, ValueError, r"stop must not exceed n_bins=8; got stop=9"),
        ({"n_bins": -1}, ValueError, r"n_bins must not be negative; got -1"),
        ({"n_bins": 8, "start": -2}, ValueError, r"start must not be negative"),
        ({"n_bins": 8.0}, TypeError, r"n_bins must be an integer; got float 8\.0"),
        (
            {"n_bins": 8, "bandwidth": 0.0},
            ValueError,
            r"bandwidth must be positive and finite; got 0\.0",
        ),
        (
            {"n_bins": 8, "bandwidth": math.nan},
            ValueError,
            r"bandwidth must be positive and finite; got nan",
        ),
    ],
)
def test_smoothing_matrix_checks_its_arguments(kwargs, error, match):
    with pytest.raises(error, match=match):
        konno_ohmachi_matrix(**kwargs)


@pytest.mark.parametrize("b", [0.0, -40.0, math.inf, math.nan])
def test_smoothing_bandwidth_must_be_positive_and_finite(b):
    with pytest.raises(ValueError, match="bandwidth must be positive and finite"):
        konno_ohmachi_smooth(np.ones(10), b)


# ---------------------------------------------------------------------------
# Threads: the result never depends on how the batch is split


def _batch_calls(batch, other, vertical):
    return {
        "arias": lambda **kw: arias_intensity(batch, 0.01, **kw),
        "cav": lambda **kw: cav(batch, 0.01, **kw),
        "duration": lambda **kw: significant_duration(batch, 0.01, 0.05, 0.75, **kw),
        "rotd": lambda **kw: dataclasses.astuple(rotd(batch, other, **kw)),
        "psa-by-period": lambda **kw: _spectrum_fields(
            response_spectrum(
                batch[:3], other[:3], vertical[:3], 0.01, np.geomspace(0.05, 5, 13), **kw
            )
        ),
        "psa-by-record": lambda **kw: _spectrum_fields(
            response_spectrum(batch, other, vertical, 0.01, [0.3, 1.0], **kw)
        ),
        "smooth": lambda **kw: konno_ohmachi_smooth(np.abs(batch[:, :120]), 20.0, **kw),
        "matrix": lambda **kw: konno_ohmachi_matrix(64, 20.0, 3, 60, **kw),
    }


def _spectrum_fields(s):
    return [
        getattr(s, f.name) for f in dataclasses.fields(s) if f.name not in ("periods", "damping")
    ]


@pytest.mark.parametrize("name", list(_batch_calls(None, None, None)))
def test_workers_give_bit_identical_results(name):
    batch, other, vertical = RNG.normal(size=(3, 11, 250))
    batch[4, 7] = math.nan  # NaN rows must come out the same too
    call = _batch_calls(batch, other, vertical)[name]
    expected = call()
    for workers in (2, 3, 16, None):
        got = call(workers=workers)
        for a, b in zip(np.atleast_1d(expected), np.atleast_1d(got)):
            assert_bit_identical(a, b)


def test_progress_bar_leaves_the_result_unchanged(capsys):
    pytest.importorskip("tqdm")
    batch = RNG.normal(size=(9, 100))
    expected = cav(batch, 0.01)
    for workers in (1, 2):
        assert_bit_identical(cav(batch, 0.01, workers=workers, progress=True), expected)
    assert "9/9" in capsys.readouterr().err


def test_progress_without_tqdm_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    with pytest.raises(ImportError, match="pip install tqdm"):
        cav(np.ones((2, 5)), 0.01, progress=True)


@pytest.mark.parametrize(
    "workers, error", [(0, ValueError), (-2, ValueError), (1.5, TypeError), ("2", TypeError)]
)
def test_workers_must_be_a_positive_integer(workers, error):
    with pytest.raises(error, match="workers"):
        cav(np.ones((2, 5)), 0.01, workers=workers)


def test_a_failure_in_one_thread_reaches_the_caller(monkeypatch):
    calls = []

    def failing(waveforms, dt):
        calls.append(len(waveforms))
        if len(calls) == 2:
            raise RuntimeError("kernel failed")
        return np.zeros(len(waveforms))

    monkeypatch.setattr(api, "_cav", failing)
    with pytest.raises(RuntimeError, match="kernel failed"):
        cav(np.ones((8, 5)), 0.01, workers=4)


# ---------------------------------------------------------------------------
# Result types


def test_results_are_frozen_and_print_readably():
    x, y = RNG.normal(size=(2, 3, 60))
    one = rotd(x[0], y[0])
    with pytest.raises(dataclasses.FrozenInstanceError):
        one.rotd50 = 0.0
    text = repr(one)
    assert text.startswith("RotD(rotd00=") and f"{one.rotd50:.6g}" in text
    assert "n_records=3" in repr(rotd(x, y))
    spectrum = response_spectrum(x[0], y[0], None, 0.01, np.geomspace(0.1, 2, 30))
    text = repr(spectrum)
    assert "30 periods" in text and "rotd50" in text and "psa_ver" not in text
    assert len(text.splitlines()) < 15  # head and tail only
    assert "n_records=3" in repr(response_spectrum(x, y, None, 0.01, [1.0]))


def test_to_dataframe():
    pd = pytest.importorskip("pandas")
    x, y, z = RNG.normal(size=(3, 2, 60))
    frame = rotd(x, y).to_dataframe()
    assert list(frame.columns) == ["rotd00", "rotd50", "rotd100", "angle_rotd00", "angle_rotd100"]
    assert len(frame) == 2 and frame.index.name == "record"
    one = response_spectrum(x[0], y[0], z[0], 0.01, [0.2, 1.0])
    frame = one.to_dataframe()
    assert frame.index.name == "period" and list(frame.index) == [0.2, 1.0]
    np.testing.assert_array_equal(frame["rotd50"], one.rotd50)
    assert "psa_ver" in frame.columns
    batch = response_spectrum(x, y, None, 0.01, [0.2, 1.0])
    frame = batch.to_dataframe()
    assert isinstance(frame.index, pd.MultiIndex) and len(frame) == 4
    assert "psa_ver" not in frame.columns
    assert frame.loc[(1, 1.0), "rotd50"] == batch.rotd50[1, 1]


def test_to_dataframe_without_pandas_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="pip install pandas"):
        rotd([1.0, 2.0], [0.0, 1.0]).to_dataframe()


# ---------------------------------------------------------------------------
# Package surface


def test_core_stub_matches_the_module():
    stub = Path(_core.__file__).with_name("_core.pyi")
    if not stub.exists():
        stub = Path(groundmotion.__file__).with_name("_core.pyi")
    tree = ast.parse(stub.read_text())
    functions = {
        node.name: [a.arg for a in node.args.args]
        for node in tree.body
        if isinstance(node, ast.FunctionDef)
    }
    assert sorted(functions) == sorted(_core.__all__)
    for name, parameters in functions.items():
        assert list(inspect.signature(getattr(_core, name)).parameters) == parameters
    defined = {node.name for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    defined |= {
        t.id
        for node in tree.body
        if isinstance(node, ast.AnnAssign | ast.Assign)
        for t in (node.targets if isinstance(node, ast.Assign) else [node.target])
    }
    assert "PanicException" not in defined and "__all__" in defined
    (all_list,) = [
        n.value for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"
    ]
    assert ast.literal_eval(all_list) == _core.__all__


def test_package_exports_the_public_functions():
    for name in (
        "arias_intensity",
        "cav",
        "significant_duration",
        "rotd",
        "response_spectrum",
        "konno_ohmachi_smooth",
        "konno_ohmachi_matrix",
        "RotD",
        "ResponseSpectrum",
        "read_at2",
        "read_columns",
        "RecordFormatError",
    ):
        assert hasattr(groundmotion, name), name
