"""The public functions: argument checks, shapes, named results, threads,
and oracles independent of the kernels: closed forms for the integrals,
brute-force rotation for RotD, SciPy's exact linear solver for the
oscillators, the window formula for smoothing, PEER's spectrum of the
bundled record."""

import dataclasses
import json
import math
import re
import sys
from importlib import resources
from importlib.util import find_spec

import numpy as np
import oracles
import pytest
from conftest import assert_same_bits

HAVE_TQDM = find_spec("tqdm") is not None
from groundmotion import (ResponseSpectrum, RotD, api, arias_intensity, cav, konno_ohmachi_matrix, konno_ohmachi_smooth,
                          read_at2, response_spectrum, rotd, significant_duration)

RNG = np.random.default_rng(20240601)
G = 9.81
PER_RECORD = [
    pytest.param(lambda a, **kw: arias_intensity(a, 0.01, **kw), id="arias"),
    pytest.param(lambda a, **kw: cav(a, 0.01, **kw), id="cav"),
    pytest.param(lambda a, **kw: significant_duration(a, 0.01, 0.2, 0.6, **kw), id="duration"),
]


@pytest.mark.parametrize("measure", PER_RECORD)
def test_one_record_is_a_float_a_batch_an_array_and_any_real_array_like_works(measure):
    base = RNG.normal(size=(4, 200))
    base[1, 40] = math.nan  # spoils its own record only
    values = measure(base)
    assert values.shape == (4,) and values.dtype == np.float64 and measure(np.empty((0, 9))).shape == (0,)
    assert math.isnan(values[1]) and np.isfinite(values[[0, 2, 3]]).all()
    for k in range(4):
        assert type(measure(base[k])) is float
        assert_same_bits(measure(base[k]), values[k])
    padded = np.zeros((8, 400))
    padded[::2, ::2] = base
    for variant in (np.asfortranarray(base), base[::-1, ::-1].copy()[::-1, ::-1], padded[::2, ::2],
                    base.tolist(), base.astype(">f8")):
        assert_same_bits(measure(variant), values)
    ints = RNG.integers(-5, 5, size=(3, 50))
    assert_same_bits(measure(ints), measure(ints.astype(np.float64)))
    f32 = base.astype(np.float32)
    assert_same_bits(measure(f32), measure(f32.astype(np.float64)))


def test_float64_input_reaches_the_kernel_without_a_copy(monkeypatch):
    seen = []
    monkeypatch.setattr(api, "_arias_intensity", lambda w, dt: seen.append(w) or np.zeros(w.shape[0]))
    base = RNG.normal(size=(6, 100))
    for array in (base, np.asfortranarray(base), base[::-2, 1::3], base[2]):
        arias_intensity(array, 0.01)
        passed = seen.pop()
        assert passed.ndim == 2 and passed.dtype == np.float64 and np.shares_memory(passed, array)


@pytest.mark.parametrize("value, error", [
    (np.float64(1.0), ValueError), (np.ones(3, dtype=complex), TypeError),
    (np.array([1.0, None]), TypeError), (["0.1", "0.2"], TypeError), (np.array([True, False]), TypeError)])
def test_records_that_are_not_real_1d_or_2d_arrays_are_refused(value, error):
    for call, name in [(lambda: arias_intensity(value, 0.01), "acc"), (lambda: konno_ohmachi_smooth(value), "spectra"),
                       (lambda: rotd(value, value), "comp_0")]:
        with pytest.raises(error, match=name):
            call()


@pytest.mark.parametrize("dt", [0.0, -0.01, math.nan, math.inf, -math.inf, "0.01", None, True, [0.01], 1 + 0j])
def test_dt_must_be_a_positive_finite_real_number(dt):
    acc = np.ones(10)
    error, message = (ValueError, "positive and finite; got " + re.escape(repr(dt))) if isinstance(dt, float) else (TypeError, "a real number")
    for call in (arias_intensity, cav, significant_duration, lambda a, dt: response_spectrum(a, a, None, dt, [1.0])):
        with pytest.raises(error, match="dt must be " + message):
            call(acc, dt)
    for ok in (np.float32(0.5), np.array(0.5), 1 / 2):
        assert cav(acc, ok) == cav(acc, 0.5)


def test_duration_fractions():
    for low, high, name in [(-0.1, 0.95, "low"), (0.05, 1.5, "high"), (math.nan, 0.95, "low"), (0.05, math.inf, "high")]:
        with pytest.raises(ValueError, match=rf"{name} must lie in \[0, 1\]; got"):
            significant_duration(np.ones(10), 0.01, low, high)
    with pytest.raises(ValueError, match=r"low must not exceed high; got low=0\.9 and high=0\.1"):
        significant_duration(np.ones(10), 0.01, 0.9, 0.1)
    batch = RNG.normal(size=(4, 120))
    for low, high in ((0.05, 0.75), (0.2, 0.8), (0.0, 1.0), (0.5, 0.5)):
        want = oracles.per_row(oracles.significant_duration, batch, 0.02, low, high)
        assert_same_bits(significant_duration(batch, 0.02, low, high), want)


def test_integrals_of_a_sine_match_the_closed_forms():
    # Over whole cycles the integral of a^2 is A^2 T / 2 and of |a| 2 A T / pi;
    # D5-95 of a stationary sine is 90 % of its duration.
    amplitude, f, duration, dt = 0.3, 2.0, 5.0, 1e-4
    acc = amplitude * np.sin(2 * np.pi * f * np.arange(0.0, duration + dt / 2, dt))
    assert arias_intensity(acc, dt) == pytest.approx(math.pi / (2 * G) * (amplitude * G) ** 2 * duration / 2, rel=1e-6)
    assert cav(acc, dt) == pytest.approx(2 * amplitude * G * duration / math.pi, rel=1e-6)
    assert significant_duration(acc, dt) == pytest.approx(0.9 * duration, abs=2 * dt + 1e-3)


def test_rotd_matches_brute_force_and_gives_floats_for_one_record():
    x, y = RNG.normal(size=(2, 6, 400))
    y[0] = 0.3 * x[0]  # a nearly polarised pair
    y[5, 7] = math.inf
    result = rotd(x, y)
    assert isinstance(result, RotD) and result.n_records == 6
    columns = np.array(dataclasses.astuple(result)[:5]).T
    assert np.isnan(columns[5]).all()
    for k in range(5):
        assert_same_bits(columns[k], oracles.brute_rotd(x[k], y[k]))
        one = rotd(x[k], y[k])
        assert one.n_records is None and all(type(v) is float for v in dataclasses.astuple(one)[:5])
        assert_same_bits(dataclasses.astuple(one)[:5], columns[k])
    for a, b, match in [(np.ones((2, 100)), np.ones((2, 101)), r"comp_90 has shape \(2, 101\) but comp_0 has shape \(2, 100\)"),
                        (np.ones(100), np.ones((1, 100)), r"comp_90 has shape \(1, 100\) but comp_0 has shape \(100,\)"),
                        ([], [], "no samples")]:
        with pytest.raises(ValueError, match=match):
            rotd(a, b)
    assert rotd(np.empty((0, 7)), np.empty((0, 7))).rotd50.shape == (0,)


def lsim_responses(acc, dt, period, damping):
    """Pseudo-acceleration response by SciPy's exact solver for linear input."""
    signal = pytest.importorskip("scipy.signal")
    w = 2 * math.pi / period
    system = signal.StateSpace([[0.0, 1.0], [-w * w, -2 * damping * w]], [[0.0], [-1.0]], [[w * w, 0.0]], [[0.0]])
    return np.asarray(signal.lsim(system, acc, np.arange(len(acc)) * dt, interp=True)[1])


def test_response_spectrum_matches_an_exact_linear_solver():
    x, y, z = RNG.normal(size=(3, 500)) * 0.1
    periods = np.array([0.05, 0.2, 1.0, 3.0])
    for damping in (0.0, 0.05, 0.3):
        s = response_spectrum(x, y, z, 0.01, periods, damping)
        assert isinstance(s, ResponseSpectrum) and s.damping == damping
        np.testing.assert_array_equal(s.geometric_mean, np.sqrt(s.psa_000 * s.psa_090))
        for k, period in enumerate(periods):
            rx, ry, rz = (lsim_responses(c, 0.01, period, damping) for c in (x, y, z))
            got = [s.psa_000[k], s.psa_090[k], s.psa_ver[k], s.rotd00[k], s.rotd50[k], s.rotd100[k]]
            want = oracles.brute_rotd(rx, ry)
            np.testing.assert_allclose(got, [*np.abs([rx, ry, rz]).max(axis=1), *want[:3]], rtol=1e-8)
            assert (s.angle_rotd00[k], s.angle_rotd100[k]) == tuple(want[3:])


def test_response_spectrum_of_el_centro_matches_peer():
    data = resources.files("groundmotion") / "data"
    info = json.loads((data / "RSN6.json").read_text())
    comps = [read_at2(str(data / info["components"][k])) for k in ("000", "090", "ver")]
    assert {c[1] for c in comps} == {0.01}
    h1, h2, v = (c[0][: min(len(c[0]) for c in comps)] for c in comps)
    peer = info["peer_psa_5pct"]
    periods = np.array(peer["period_s"])
    s = response_spectrum(h1, h2, v, 0.01, periods)
    long = periods >= 0.1  # below 0.1 s PEER resamples the record: a few percent
    for name, key, rtol in (("psa_000", "h1_g", 2e-5), ("psa_090", "h2_g", 2e-5), ("psa_ver", "ver_g", 6e-3)):
        np.testing.assert_allclose(getattr(s, name)[long], np.array(peer[key])[long], rtol=rtol)
        np.testing.assert_allclose(getattr(s, name), peer[key], rtol=0.04)
    assert np.all(s.rotd00 <= s.rotd50) and np.all(s.rotd50 <= s.rotd100)
    assert np.all(s.rotd100 >= np.maximum(s.psa_000, s.psa_090) * (1 - 1e-12))


def test_response_spectrum_shapes_vertical_none_and_nan_stations():
    x, y, z = RNG.normal(size=(3, 4, 200))
    z[2, 10] = math.nan
    batch = response_spectrum(x, y, z, 0.01, [0.1, 0.5, 2.0])
    assert batch.n_records == 4 and batch.periods.shape == (3,) and batch.angle_rotd100.shape == (4, 3)
    assert np.isnan(batch.rotd50[2]).all() and np.isfinite(batch.rotd50[[0, 1, 3]]).all()
    one = response_spectrum(x[1], y[1], z[1], 0.01, [0.1, 0.5, 2.0])
    assert one.n_records is None and one.rotd50.shape == (3,)
    assert_same_bits(one.psa_ver, batch.psa_ver[1])
    horizontal = response_spectrum(x, y, None, 0.01, [0.1, 0.5, 2.0])
    assert horizontal.psa_ver is None
    assert_same_bits(horizontal.rotd50[[0, 1, 3]], batch.rotd50[[0, 1, 3]])
    assert response_spectrum(x[0], y[0], None, 0.01, 1.0).psa_000.shape == (1,)
    assert response_spectrum(x, y, None, 0.01, np.array([])).rotd50.shape == (4, 0)


@pytest.mark.parametrize("kwargs, match", [
    ({"periods": [0.1, 0.0]}, r"periods must be positive and finite; got periods\[1\] = 0\.0"),
    ({"periods": [0.1, math.nan]}, r"periods\[1\] = nan"), ({"periods": [math.inf]}, r"periods\[0\] = inf"),
    ({"periods": np.ones((2, 2))}, r"periods must be a number or 1-D"),
    ({"damping": -0.01}, r"damping must lie in \[0, 1\); got -0\.01"), ({"damping": 1.0}, r"got 1\.0"),
    ({"comp_ver": np.ones(99)}, r"comp_ver has shape \(99,\) but comp_0 has shape \(100,\)"),
    ({"comp_90": np.ones(101)}, r"comp_90 has shape \(101,\) but comp_0")])
def test_response_spectrum_checks_its_arguments(kwargs, match):
    arguments = {"comp_0": np.ones(100), "comp_90": np.ones(100), "comp_ver": None, "dt": 0.01, "periods": [0.1, 1.0], "damping": 0.05}
    with pytest.raises(ValueError, match=match):
        response_spectrum(**(arguments | kwargs))


def test_smoothing_and_its_matrix_match_the_window_formula():
    spectra = np.abs(RNG.normal(size=(3, 150)))
    for b in (10.0, 40.0, 100.0):
        want = spectra @ oracles.ko_matrix(150, b).T
        np.testing.assert_allclose(konno_ohmachi_smooth(spectra, b), want, rtol=1e-12)
        assert_same_bits(konno_ohmachi_smooth(spectra[1], b), konno_ohmachi_smooth(spectra, b)[1])
    matrix = konno_ohmachi_matrix(90, 30.0)
    assert matrix.dtype == np.float32 and matrix.shape == (90, 90)
    np.testing.assert_allclose(matrix, oracles.ko_matrix(90, 30.0), rtol=F32, atol=1e-45)
    assert_same_bits(konno_ohmachi_matrix(90, 30.0, 17, 40), matrix[17:40])
    assert konno_ohmachi_matrix(90, 30.0, start=90).shape == (0, 90)


F32 = 2.0**-23


@pytest.mark.parametrize("kwargs, error, match", [
    ({"n_bins": 8, "start": 5, "stop": 3}, ValueError, r"start must not exceed stop=3; got start=5"),
    ({"n_bins": 8, "stop": 9}, ValueError, r"stop must not exceed n_bins=8; got stop=9"),
    ({"n_bins": -1}, ValueError, r"n_bins must not be negative; got -1"),
    ({"n_bins": 8, "start": -2}, ValueError, r"start must not be negative"),
    ({"n_bins": 8.0}, TypeError, r"n_bins must be an integer; got float 8\.0"),
    ({"n_bins": 8, "bandwidth": 0.0}, ValueError, r"bandwidth must be positive and finite; got 0\.0"),
    ({"n_bins": 8, "bandwidth": math.nan}, ValueError, r"bandwidth must be positive and finite; got nan")])
def test_smoothing_arguments(kwargs, error, match):
    with pytest.raises(error, match=match):
        konno_ohmachi_matrix(**kwargs)
    if "bandwidth" in kwargs:
        with pytest.raises(error, match=match):
            konno_ohmachi_smooth(np.ones(10), kwargs["bandwidth"])


def batch_calls(batch, other, vertical):
    def fields(s):
        return [getattr(s, f.name) for f in dataclasses.fields(s)
                if f.name not in ("periods", "damping") and getattr(s, f.name) is not None]

    return {
        "arias": lambda **kw: arias_intensity(batch, 0.01, **kw),
        "cav": lambda **kw: cav(batch, 0.01, **kw),
        "duration": lambda **kw: significant_duration(batch, 0.01, 0.05, 0.75, **kw),
        "rotd": lambda **kw: fields(rotd(batch, other, percentiles=[10, 90], **kw)),
        "psa-by-period": lambda **kw: fields(response_spectrum(batch[:3], other[:3], vertical[:3], 0.01, np.geomspace(0.05, 5, 13), **kw)),
        "psa-by-record": lambda **kw: fields(response_spectrum(batch, other, vertical, 0.01, [0.3, 1.0], [0.05, 0.1], percentiles=50, **kw)),
        "smooth": lambda **kw: konno_ohmachi_smooth(np.abs(batch[:, :120]), 20.0, **kw),
        "matrix": lambda **kw: konno_ohmachi_matrix(64, 20.0, 3, 60, **kw),
    }


@pytest.mark.parametrize("name", list(batch_calls(None, None, None)))
def test_workers_and_progress_give_bit_identical_results(name):
    batch, other, vertical = RNG.normal(size=(3, 11, 250))
    batch[4, 7] = math.nan
    call = batch_calls(batch, other, vertical)[name]
    expected = call()
    kws = [{"workers": 2}, {"workers": 3}, {"workers": 16}, {"workers": None}]
    kws += [{"workers": 2, "progress": True}] if HAVE_TQDM else []
    for kw in kws:
        got = call(**kw)
        pairs = zip(expected, got) if isinstance(got, list) else [(expected, got)]
        for a, b in pairs:
            assert_same_bits(b, a)


def test_workers_progress_and_failures_in_threads(monkeypatch, capsys):
    if HAVE_TQDM:
        cav(np.ones((9, 5)), 0.01, workers=1, progress=True)
        assert "9/9" in capsys.readouterr().err
    for workers, error in [(0, ValueError), (-2, ValueError), (1.5, TypeError), ("2", TypeError)]:
        with pytest.raises(error, match="workers"):
            cav(np.ones((2, 5)), 0.01, workers=workers)
    calls = []

    def failing(waveforms, dt):
        calls.append(len(waveforms))
        if len(calls) == 2:
            raise RuntimeError("kernel failed")
        return np.zeros(len(waveforms))

    monkeypatch.setattr(api, "_cav", failing)
    with pytest.raises(RuntimeError, match="kernel failed"):
        cav(np.ones((8, 5)), 0.01, workers=4)
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    with pytest.raises(ImportError, match="pip install tqdm"):
        cav(np.ones((2, 5)), 0.01, progress=True)


def test_results_are_frozen_print_readably_and_make_data_frames(monkeypatch):
    pd = pytest.importorskip("pandas")
    x, y, z = RNG.normal(size=(3, 2, 60))
    one = rotd(x[0], y[0])
    with pytest.raises(dataclasses.FrozenInstanceError):
        one.rotd50 = 0.0
    assert repr(one).startswith("RotD(rotd00=") and f"{one.rotd50:.6g}" in repr(one)
    assert "n_records=2" in repr(rotd(x, y)) and "n_records=2" in repr(response_spectrum(x, y, None, 0.01, [1.0]))
    text = repr(response_spectrum(x[0], y[0], None, 0.01, np.geomspace(0.1, 2, 30)))
    assert "30 periods" in text and "rotd50" in text and "psa_ver" not in text and len(text.splitlines()) < 15
    frame = rotd(x, y).to_dataframe()
    assert list(frame.columns) == ["rotd00", "rotd50", "rotd100", "angle_rotd00", "angle_rotd100"]
    assert len(frame) == 2 and frame.index.name == "record"
    spectrum = response_spectrum(x[0], y[0], z[0], 0.01, [0.2, 1.0])
    frame = spectrum.to_dataframe()
    assert frame.index.name == "period" and list(frame.index) == [0.2, 1.0] and "psa_ver" in frame.columns
    np.testing.assert_array_equal(frame["rotd50"], spectrum.rotd50)
    batch = response_spectrum(x, y, None, 0.01, [0.2, 1.0])
    frame = batch.to_dataframe()
    assert isinstance(frame.index, pd.MultiIndex) and len(frame) == 4 and "psa_ver" not in frame.columns
    assert frame.loc[(1, 1.0), "rotd50"] == batch.rotd50[1, 1]
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="pip install pandas"):
        one.to_dataframe()
