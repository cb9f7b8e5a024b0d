"""`gm.spectra` and its kernel `_measures._oscillator_peaks`.

SD, SV and SA are checked against the exact solution of the continuous
oscillator (matrix exponential in oracles.py); PSA against the bits of
`response_spectrum`, which runs the same recursion through `_psa`."""

import json
import math
from fractions import Fraction
from importlib.util import find_spec
from pathlib import Path

import numpy as np
import oracles
import pytest
from conftest import assert_same_bits

import groundmotion as gm

DATA = Path(__file__).parent / "data"
RNG = np.random.default_rng(20240611)
HAVE_PANDAS = find_spec("pandas") is not None
PERIODS = [0.02, 0.1, 0.3, 1.0, 2.5, 7.0, 20.0]  # a group of four and three left over


def combinations(n):
    """Periods in [0.01, 20] s, dampings in [0.005, 0.5], dt in [0.001, 0.05] s."""
    rng = np.random.default_rng(11)
    corners = [(0.01, 0.005, 0.05), (20.0, 0.5, 0.001), (0.01, 0.5, 0.001), (20.0, 0.005, 0.05)]
    drawn = zip(*(np.exp(rng.uniform(np.log(lo), np.log(hi), n))
                  for lo, hi in ((0.01, 20.0), (0.005, 0.5), (0.001, 0.05))))
    return corners + [tuple(map(float, c)) for c in drawn]


@pytest.mark.parametrize("period, damping, dt", combinations(6))
def test_peaks_match_the_exact_continuous_oscillator(period, damping, dt):
    pytest.importorskip("scipy")
    rng = np.random.default_rng(int(period * 1000))
    record = rng.standard_normal(300) * 0.2
    record[150:] *= np.linspace(1, 0, 150)
    s = gm.spectra(record, dt, [period, period * 1.5], damping)
    for k, p in enumerate([period, period * 1.5]):
        want = oracles.exact_spectra(record, dt, p, damping)
        np.testing.assert_allclose([s.sd[k], s.sv[k], s.sa[k]], want, rtol=1e-10, atol=0)
        w = 2 * np.pi / p
        np.testing.assert_allclose([s.psa[k], s.psv[k]], [s.sd[k] * w * w / 980.665, s.sd[k] * w],
                                   rtol=1e-14)


def test_psa_has_the_bits_of_response_spectrum_for_every_damping():
    acc = RNG.standard_normal((5, 700)) * 0.3
    acc[2, 40] = np.nan
    acc[3, 500] = np.inf
    dampings = [0.0, 0.02, 0.05, 0.3]
    s = gm.spectra(acc, 0.01, PERIODS, dampings, workers=3)
    assert s.psa.shape == (5, 4, 7)
    for d, damping in enumerate(dampings):
        r = gm.response_spectrum(acc, acc * 0.5, None, 0.01, PERIODS, damping)
        assert_same_bits(s.psa[:, d], r.psa_000)
        alone = gm.spectra(acc, 0.01, PERIODS, damping)
        for name in ("sd", "sv", "sa", "psv", "psa"):
            assert_same_bits(getattr(s, name)[:, d], getattr(alone, name))
    assert np.isnan(s.sd[2:4]).all() and np.isfinite(s.sa[[0, 1, 4]]).all()


def test_a_peer_record_gives_response_spectrum_psa():
    acc, dt = gm.read_at2(sorted((DATA / "peer").glob("*.AT2.gz"))[0])
    periods = np.geomspace(0.01, 10, 41)
    s = gm.spectra(acc, dt, periods)
    assert_same_bits(s.psa, gm.response_spectrum(acc, acc, None, dt, periods).psa_000)
    assert s.psa.shape == (41,) and (s.sa >= 0.9 * s.psa).all()


def test_leading_dimensions_and_the_time_axis():
    acc = RNG.standard_normal((2, 300, 3)) * 0.1  # time on axis 1
    s = gm.spectra(acc, 0.005, PERIODS, [0.05, 0.1], axis=1)
    assert s.sv.shape == (2, 3, 2, 7)
    if HAVE_PANDAS:
        assert s.to_dataframe().shape == (2 * 3 * 2 * 7, 5)
        assert gm.spectra(acc[0, :, 0], 0.005, 1.0).to_dataframe().index.name == "period"
    one = gm.spectra(acc[1, :, 2], 0.005, PERIODS, [0.05, 0.1])
    assert one.sv.shape == (2, 7)
    assert_same_bits(s.sv[1, 2], one.sv)
    assert_same_bits(gm.spectra(acc.transpose(1, 0, 2), 0.005, PERIODS, axis=0).sa,
                     gm.spectra(acc, 0.005, PERIODS, axis=-2).sa)


def test_substeps_follow_the_recursion_on_the_interpolated_record():
    acc = np.random.default_rng(5).standard_normal((2, 120)) * 0.3
    acc[:, -1] = 4.0  # left out with sub-steps, felt without
    dt, n, dampings = 0.02, 4, [0.0, 0.05]
    periods = np.array([0.011, 0.013, 0.017, 0.02, 0.026, 0.04, 0.05, 0.079, 0.08, 0.3])
    s = gm.spectra(acc, dt, periods, dampings, steps_per_period=n)
    plain = gm.spectra(acc[:, :-1], dt, periods, dampings)  # every period leaves the last out
    long = periods >= n * dt
    for name in ("sd", "sv", "sa"):
        assert_same_bits(getattr(s, name)[..., long], getattr(plain, name)[..., long])
    for d, damping in enumerate(dampings):
        for p in np.flatnonzero(~long):
            k = math.ceil(n * Fraction(str(dt)) / Fraction(str(periods[p])))
            c = np.append(gm.oscillator_coefficients(periods[p], damping, dt / k)[0], 2 * damping)
            w = 2 * np.pi / periods[p]
            for r in range(2):
                got = [s.psa[r, d, p], s.sv[r, d, p] * w / 980.665, s.sa[r, d, p]]
                np.testing.assert_allclose(got, oracles.substepped_peaks(c, acc[r], k), rtol=1e-12)


def test_a_sub_step_count_that_is_not_whole_gives_nan():
    from groundmotion._measures import _oscillator_peaks

    c = gm.oscillator_coefficients(0.1, 0.05, 0.01)[0].tolist()
    out = _oscillator_peaks(np.ones((2, 9)), np.array([c + [0.1, k] for k in (0.0, 2.5, np.nan, 2.0**33, 2.0)]))
    assert np.isnan(out[:, :4]).all() and np.isfinite(out[:, 4]).all()


def test_substeps_give_peer_spectra():
    reference = json.loads((DATA / "peer" / "reference_spectra.json").read_text())
    periods = np.array(reference["period"])
    for record in reference["records"]:
        for name, file in zip(("h1", "h2"), record["files"]):
            acc, dt = gm.read_at2(DATA / "peer" / f"{file}.gz")
            short = periods < 10 * dt
            want = np.array(record[name])
            # PEER prints eight decimals, and at least five digits.
            np.testing.assert_allclose(gm.spectra(acc, dt, periods, steps_per_period=10).psa,
                                       want, rtol=2e-6, atol=5e-9)
            assert np.abs(gm.spectra(acc, dt, periods[short]).psa / want[short] - 1).max() > 1e-3


@pytest.mark.parametrize("units, factor", [("m/s2", 9.80665), ("cm/s2", 980.665), ("gal", 980.665)])
def test_units_are_converted_to_g(units, factor):
    acc = RNG.standard_normal((3, 400)) * 0.2
    base, scaled = gm.spectra(acc, 0.01, PERIODS), gm.spectra(acc * factor, 0.01, PERIODS, units=units)
    for name in ("sd", "sv", "sa", "psv", "psa"):
        np.testing.assert_allclose(getattr(scaled, name), getattr(base, name), rtol=1e-13)


@pytest.mark.parametrize("kwargs, error, text", [
    (dict(units="ft/s2"), ValueError, "units must be one of 'g', 'm/s2', 'cm/s2', 'gal'; got 'ft/s2'"),
    (dict(damping=[]), ValueError, "damping must be a number or a non-empty 1-D sequence"),
    (dict(damping=[0.05, 1.0]), ValueError, r"damping\[1\] must lie in \[0, 1\); got 1.0"),
    (dict(damping=-0.1), ValueError, r"damping must lie in \[0, 1\); got -0.1"),
    (dict(periods=[1.0, 0.0]), ValueError, r"periods must be positive and finite; got periods\[1\] = 0.0"),
    (dict(dt=float("nan")), ValueError, "dt must be positive and finite; got nan"),
    (dict(axis=2), ValueError, r"axis must lie in \[-2, 2\)"),
    (dict(axis=1.0), TypeError, "axis must be an integer"),
    (dict(workers=0), ValueError, "workers must be at least 1"),
    (dict(steps_per_period=0), ValueError, "steps_per_period must be None or a positive integer; got 0"),
    (dict(steps_per_period=2.0), ValueError, "steps_per_period must be None or a positive integer"),
    (dict(acc=np.array(["a"])), TypeError, "acc must hold real numbers"),
])
def test_bad_arguments_are_named(kwargs, error, text):
    args = dict(acc=np.zeros((2, 10)), dt=0.01, periods=[1.0]) | kwargs
    with pytest.raises(error, match=text):
        gm.spectra(**args)
