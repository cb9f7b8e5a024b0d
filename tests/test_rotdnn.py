"""RotD at any percentile, from `gm.rotd` and `gm.response_spectrum`: against
the brute-force rotation of every record or response sample to every whole
degree, read at position p / 100 * 179 of the sorted peaks; RotD00/50/100 to
the bit at 0/50/100; a damping sequence against one call per damping."""

import math
from importlib.util import find_spec

import groundmotion as gm
import numpy as np
import oracles
import pytest
from conftest import assert_same_bits

HAVE_PANDAS = find_spec("pandas") is not None

PS = [0.0, 10.0, 50.0, 84.0, 90.0, 100.0]
PERIODS = [0.04, 0.1, 0.2, 0.35, 0.7, 1.5]


def by_position(peaks, p):
    ordered = np.sort(peaks)
    pos = p / 100 * 179
    i = math.floor(pos)
    return ordered[i] + (pos - i) * (ordered[min(i + 1, 179)] - ordered[i])


def near(got, xs, ys):
    peaks = oracles.peaks_at(xs, ys)
    expect = [by_position(peaks, p) for p in PS]
    np.testing.assert_allclose(got, expect, rtol=0, atol=1e-12 * peaks.max())


def records(seed, ns=3, nt=160):
    rng = np.random.default_rng(seed)
    return rng.standard_normal((ns, nt)) * 0.3, rng.standard_normal((ns, nt)) * 0.2


def test_rotd_against_rotation():
    x, y = records(1)
    got = gm.rotd(x, y, percentiles=PS).rotdnn
    for s in range(len(x)):
        near(got[s], x[s], y[s])


def test_response_against_rotation():
    x, y = records(2, ns=2, nt=120)
    dt, damping = 0.01, 0.05
    got = gm.response_spectrum(x, y, None, dt, PERIODS[:3], damping, percentiles=PS).rotdnn
    for p, coefficients in enumerate(gm.oscillator_coefficients(np.array(PERIODS[:3]), damping, dt)):
        for s in range(len(x)):
            (rx, _), (ry, _) = oracles.respond(coefficients, x[s]), oracles.respond(coefficients, y[s])
            near(got[s, :, p], rx, ry)


def test_bits_of_rotd00_50_100():
    x, y = records(3, nt=3)
    # Peaks near the largest double, whose median sum overflows; and a NaN.
    x = np.vstack([x, [0.0, 1.2e308, -3e307], [0.0, 1.0, np.nan]])
    y = np.vstack([y, [0.0, 3e307, 1e308], [0.0, 1.0, 0.0]])
    # 84 takes the percentile kernels; 0, 50 and 100 alone are read off the table.
    for ps, at in (([0, 50, 84, 100], [0, 1, 3]), ([100, 0, 50], [1, 2, 0])):
        r = gm.rotd(x, y, percentiles=ps)
        assert r.rotd50[3] < np.inf and not np.isnan(r.rotd50[3])
        assert_same_bits(r.rotdnn[:, at], np.stack([r.rotd00, r.rotd50, r.rotd100], -1), any_nan=True)
    x, y = records(4)
    x[2, 50] = np.inf
    for ps, at in (([0, 50, 84, 100], [0, 1, 3]), ([100, 0, 50], [1, 2, 0])):
        s = gm.response_spectrum(x, y, y[::-1], 0.01, PERIODS, [0.0, 0.05], percentiles=ps)
        assert_same_bits(s.rotdnn[..., at, :], np.stack([s.rotd00, s.rotd50, s.rotd100], -2),
                         any_nan=True)
        assert np.isnan(s.rotdnn[2]).all() and not np.isnan(s.rotdnn[:2]).any()


def test_damping_sequence_is_one_call_per_damping():
    x, y = records(5)
    dampings = [0.0, 0.02, 0.05, 0.3]
    both = gm.response_spectrum(x, y, x[::-1], 0.01, PERIODS, dampings, percentiles=PS)
    assert both.rotdnn.shape == (3, 4, len(PS), len(PERIODS))
    for k, d in enumerate(dampings):
        one = gm.response_spectrum(x, y, x[::-1], 0.01, PERIODS, d, percentiles=PS)
        for name in ("psa_000", "psa_ver", "rotd50", "angle_rotd100", "rotdnn"):
            assert_same_bits(getattr(both, name)[:, k], getattr(one, name))
    single = gm.response_spectrum(x[1], y[1], None, 0.01, PERIODS, dampings)
    assert single.rotd50.shape == (4, len(PERIODS)) and single.rotdnn is None
    assert_same_bits(single.psa_090, both.psa_090[1])
    assert not HAVE_PANDAS or single.to_dataframe().shape[0] == 4 * len(PERIODS)


def test_shapes():
    x, y = records(6)
    assert gm.rotd(x[0], y[0], percentiles=84).rotdnn.shape == (1,)
    assert gm.rotd(x, y, percentiles=[5, 95]).rotdnn.shape == (3, 2)
    assert gm.rotd(x, y).rotdnn is None and gm.rotd(x, y).percentiles is None
    s = gm.response_spectrum(x[0], y[0], None, 0.01, PERIODS, percentiles=[16, 84])
    assert s.rotdnn.shape == (2, len(PERIODS)) and s.rotd50.shape == (len(PERIODS),)
    assert not HAVE_PANDAS or list(s.to_dataframe().columns[-2:]) == ["rotdnn_16", "rotdnn_84"]


@pytest.mark.parametrize("bad", [-1, 100.5, np.nan, [50, 101], [[50]], []])
def test_refused_percentiles(bad):
    x, y = records(7)
    with pytest.raises(ValueError, match="percentiles"):
        gm.rotd(x, y, percentiles=bad)
    with pytest.raises(ValueError, match="percentiles"):
        gm.response_spectrum(x, y, None, 0.01, [0.1], percentiles=bad)


@pytest.mark.parametrize("bad", [[], [0.05, 1.0], [-0.1], [[0.05]]])
def test_refused_dampings(bad):
    x, y = records(8)
    with pytest.raises(ValueError, match="damping"):
        gm.response_spectrum(x, y, None, 0.01, [0.1], bad)
