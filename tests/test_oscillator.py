"""Oscillator coefficients: accuracy, physics and agreement with PEER spectra.

The recursion is exact for a ground acceleration that varies linearly between
samples, so at the samples it must reproduce (a) the matrix exponential of the
augmented system in high precision, (b) a tight numerical integration of the
oscillator under the interpolated record, and (c) the steady state of a
harmonic input.  Real
records then compare the whole chain with PEER's published spectra.
"""

import gzip
import json
import math
import re
from pathlib import Path

import numpy as np
import pytest
from groundmotion import _core
from groundmotion.oscillator import oscillator_coefficients

DATA = Path(__file__).parent / "data"


def run_recursion(coefficients, a):
    """States x and v of every oscillator (row) after every step, from rest."""
    c = np.asarray(coefficients, dtype=float)
    x = np.zeros(len(c))
    v = np.zeros(len(c))
    xs, vs = [x], [v]
    for k in range(len(a) - 1):
        x, v = (
            c[:, 0] * x + c[:, 1] * v + c[:, 4] * a[k] + c[:, 6] * a[k + 1],
            c[:, 2] * x + c[:, 3] * v + c[:, 5] * a[k] + c[:, 7] * a[k + 1],
        )
        xs.append(x)
        vs.append(v)
    return np.array(xs).T, np.array(vs).T


# ------------------------------------------------------------ arguments


def test_shapes_and_layout():
    assert oscillator_coefficients(1.0, 0.05, 0.01).shape == (1, 8)
    assert oscillator_coefficients(np.float32(1.0), 0, 1).shape == (1, 8)
    many = oscillator_coefficients([0.1, 1.0, 10.0], 0.05, 0.01)
    assert many.shape == (3, 8) and many.dtype == np.float64 and many.flags.c_contiguous
    assert oscillator_coefficients([], 0.05, 0.01).shape == (0, 8)
    np.testing.assert_array_equal(many[1], oscillator_coefficients(1.0, 0.05, 0.01)[0])


@pytest.mark.parametrize(
    "kwargs, name, shown",
    [
        ({"periods": [1.0, -2.0]}, "periods", "-2.0"),
        ({"periods": 0.0}, "periods", "0.0"),
        ({"periods": [np.nan]}, "periods", "nan"),
        ({"periods": [1.0, np.inf]}, "periods", "inf"),
        ({"dt": 0.0}, "dt", "0.0"),
        ({"dt": -0.01}, "dt", "-0.01"),
        ({"dt": math.inf}, "dt", "inf"),
        ({"dt": math.nan}, "dt", "nan"),
        ({"damping": 1.0}, "damping", "1.0"),
        ({"damping": -0.01}, "damping", "-0.01"),
        ({"damping": math.nan}, "damping", "nan"),
    ],
)
def test_invalid_values_name_the_argument_and_the_value(kwargs, name, shown):
    args = {"periods": [1.0], "damping": 0.05, "dt": 0.01} | kwargs
    with pytest.raises(ValueError) as info:
        oscillator_coefficients(**args)
    assert name in str(info.value) and shown in str(info.value)


def test_other_bad_arguments():
    with pytest.raises(ValueError, match="periods"):
        oscillator_coefficients(np.ones((2, 2)), 0.05, 0.01)
    with pytest.raises(TypeError, match="dt"):
        oscillator_coefficients(1.0, 0.05, "0.01")
    with pytest.raises(TypeError, match="damping"):
        oscillator_coefficients(1.0, None, 0.01)


# ----------------------------------------------- high-precision oracle


def exact_coefficients(mp, period, damping, dt):
    """The eight weights from the exponential of the augmented system.

    In tau = omega t the scaled state (x, v) = (omega^2 u, omega u') obeys
    x' = v, v' = -x - 2 zeta v - a.  Appending a and its slope as states and
    exponentiating over one step gives the response to a linear ramp of a.
    """
    h = 2 * mp.pi / mp.mpf(period) * mp.mpf(dt)
    z = mp.mpf(damping)
    w = mp.matrix([[0, h, 0, 0], [-h, -2 * z * h, -h, 0], [0, 0, 0, 1], [0, 0, 0, 0]])
    e = mp.expm(w)
    whole, slope = (e[0, 2], e[1, 2]), (e[0, 3], e[1, 3])
    values = [e[0, 0], e[0, 1], e[1, 0], e[1, 1]]
    values += [whole[0] - slope[0], whole[1] - slope[1], slope[0], slope[1]]
    return np.array([float(v) for v in values]), float(h)


@pytest.mark.parametrize("damping", [0.0, 0.05, 0.3, 0.95])
@pytest.mark.parametrize("dt", [0.001, 0.005, 0.02, 0.05])
def test_matches_the_matrix_exponential_in_high_precision(damping, dt):
    mp = pytest.importorskip("mpmath")
    mp.mp.dps = 40
    periods = np.geomspace(0.01, 100.0, 13)
    actual = oscillator_coefficients(periods, damping, dt)
    for period, row in zip(periods, actual):
        expected, h = exact_coefficients(mp, period, damping, dt)
        for group in (slice(0, 4), slice(4, 8)):
            scale = np.abs(expected[group]).max()
            assert np.abs(row[group] - expected[group]).max() <= 1e-12 * scale
        if h < 1.0:
            # Short steps: every weight to its own relative accuracy, the
            # tiny input weights of long periods included.
            np.testing.assert_allclose(row, expected, rtol=1e-13, atol=0)


# ------------------------------------------------- physical responses


@pytest.mark.parametrize("ratio", [0.5, 1.0, 1.7])
@pytest.mark.parametrize("period", [0.2, 2.0])
def test_harmonic_steady_state(period, ratio):
    """u'' + 2 zeta w u' + w^2 u = -sin(W t): x = w^2 u settles to amplitude
    w^2 / sqrt((w^2 - W^2)^2 + (2 zeta w W)^2), times sinc^2(W dt / 2) for
    the linear interpolation between samples."""
    damping = 0.1
    omega = 2 * np.pi / period
    big_omega = ratio * omega
    dt = 0.05 / big_omega  # 0.05 rad of forcing per sample
    settle = round(25 / (damping * omega * dt))  # transient down by e^-25
    window = int(20 * 2 * np.pi / big_omega / dt)  # then twenty cycles
    n = settle + window
    t = np.arange(n) * dt
    x, _ = run_recursion(
        oscillator_coefficients(period, damping, dt), np.sin(big_omega * t)
    )
    tail = slice(settle, n)
    basis = np.stack([np.sin(big_omega * t[tail]), np.cos(big_omega * t[tail])], axis=1)
    fit, *_ = np.linalg.lstsq(basis, x[0, tail], rcond=None)
    amplitude = math.hypot(*fit)
    half = big_omega * dt / 2
    expected = omega**2 / math.hypot(
        omega**2 - big_omega**2, 2 * damping * omega * big_omega
    )
    expected *= (math.sin(half) / half) ** 2
    assert amplitude == pytest.approx(expected, rel=1e-7)


def test_matches_a_tight_numerical_integration():
    scipy_integrate = pytest.importorskip("scipy.integrate")
    rng = np.random.default_rng(17)
    a = rng.normal(size=30)
    periods = np.array([0.01, 0.04, 0.3, 2.0, 15.0, 100.0])
    omega = 2 * np.pi / periods
    for damping in (0.0, 0.05, 0.5):
        for dt in (0.001, 0.01, 0.05):
            x, v = run_recursion(oscillator_coefficients(periods, damping, dt), a)
            state = np.zeros(2 * len(periods))
            xs = [state[: len(periods)]]
            vs = [state[len(periods) :]]
            for k in range(len(a) - 1):
                slope = (a[k + 1] - a[k]) / dt

                def rhs(s, y, k=k, slope=slope, damping=damping):
                    xx, vv = y[: len(periods)], y[len(periods) :]
                    ground = a[k] + slope * s
                    return np.concatenate(
                        [omega * vv, omega * (-xx - 2 * damping * vv - ground)]
                    )

                sol = scipy_integrate.solve_ivp(
                    rhs, (0.0, dt), state, method="DOP853", rtol=1e-13, atol=1e-20
                )
                state = sol.y[:, -1]
                xs.append(state[: len(periods)])
                vs.append(state[len(periods) :])
            x_ref, v_ref = np.array(xs).T, np.array(vs).T
            scale = np.maximum(np.abs(x_ref).max(axis=1), np.abs(v_ref).max(axis=1))[
                :, None
            ]
            assert (np.abs(x - x_ref) <= 1e-10 * scale).all(), (damping, dt)
            assert (np.abs(v - v_ref) <= 1e-10 * scale).all(), (damping, dt)


# ------------------------------------------------------- real records


def read_at2(path):
    opener = gzip.open if path.suffix == ".gz" else open
    with opener(path, "rt") as f:
        lines = f.read().splitlines()
    match = re.search(r"NPTS=\s*(\d+),\s*DT=\s*([0-9.Ee+-]+)", lines[3])
    n, dt = int(match.group(1)), float(match.group(2))
    samples = np.array(" ".join(lines[4:]).split(), dtype=float)
    assert len(samples) == n
    return samples, dt


@pytest.fixture(scope="module")
def reference():
    return json.loads((DATA / "peer" / "reference_spectra.json").read_text())


@pytest.mark.parametrize("index", [0, 1, 2])
def test_three_components_match_peer(reference, index):
    """PEER computes the spectra of well-sampled periods from the samples as
    given, which agrees with the exact recursion to PEER's seven digits
    (three for the vertical).  Periods shorter than ten samples are resampled
    by PEER and differ by up to about 13 %."""
    record = reference["records"][index]
    periods = np.array(reference["period"])
    rows = [read_at2(DATA / "peer" / (name + ".gz")) for name in record["files"]]
    dt = rows[0][1]
    n = min(len(r[0]) for r in rows)
    c0, c90, cv = (r[0][None, :n] for r in rows)
    out = _core._psa(c0, c90, cv, oscillator_coefficients(periods, 0.05, dt))[0]
    usable = periods <= 1 / record["lowest_usable_frequency"]
    fine = usable & (periods >= 10 * dt)
    coarse = usable & (periods < 10 * dt)
    for column, key, rtol in [(0, "h1", 1e-5), (1, "h2", 1e-5), (2, "v", 6e-3)]:
        expected = np.array(record[key])
        np.testing.assert_allclose(out[fine, column], expected[fine], rtol=rtol)
        np.testing.assert_allclose(out[coarse, column], expected[coarse], rtol=0.15)


def test_rsn8883_matches_peer_rotd50_and_components(reference):
    extract = reference["rsn8883"]
    periods = np.array(extract["period"])
    (h1, dt), (h2, _) = (
        read_at2(DATA / "rsn8883" / (name + ".gz")) for name in extract["files"]
    )
    n = min(len(h1), len(h2))
    h1, h2 = h1[None, :n], h2[None, :n]
    fine = periods >= 10 * dt
    for spectra in extract["spectra"]:
        out = _core._psa(
            h1, h2, h1, oscillator_coefficients(periods, spectra["damping"], dt)
        )[0]
        for column, key in [(5, "rotd50"), (0, "h1"), (1, "h2")]:
            if key not in spectra:
                continue
            expected = np.array(spectra[key])
            # The reference carries five significant digits.
            np.testing.assert_allclose(out[fine, column], expected[fine], rtol=1e-4)
            np.testing.assert_allclose(out[~fine, column], expected[~fine], rtol=0.03)
