"""RotD00/50/100 and their orientations from `_core._rotd`, against two
oracles in oracles.py: the brute-force rotation of every sample to every
whole degree, and the statistics of a slow convex hull of the trajectory.
The kernel visits only hull vertices, so each of its statistics equals the
hull oracle's bits and is at most rounding below the brute force's."""

import math
from pathlib import Path

import numpy as np
import oracles
import pytest
from conftest import QUIET_NAN, assert_same_bits, bits, examples
from groundmotion import _core
from groundmotion.io import read_at2
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

brute = oracles.brute_rotd


def rotd(x, y):
    return _core._rotd(np.asarray([x], float), np.asarray([y], float))[0]


def check(xs, ys, result=None):
    """The statistics of the hull oracle, and each statistic and each
    orientation's brute peak below the brute force, within a few rounding
    errors of the largest coordinate (a float64-rounded turn test may keep
    either of two points a few ulps apart)."""
    result = rotd(xs, ys) if result is None else result
    mags = np.abs(np.r_[xs, ys])
    peaks = oracles.peaks_at(xs, ys)
    want = oracles.statistics(peaks)
    with np.errstate(over="ignore"):
        tol = 16 * np.finfo(float).eps * float(np.max(np.abs(xs) + np.abs(ys))) + 4 * 5e-324
    if np.all((mags == 0) | ((mags >= 2.0**-400) & (mags < 2.0**510))):
        assert np.all(np.abs(result[:3] - oracles.hull_rotd(xs, ys)[:3]) <= tol)
    for got, upper in [*zip(result[:3], want[:3]), (result[0], peaks[int(result[3])]),
                       (result[2], peaks[int(result[4])]), (peaks[int(result[4])], want[2])]:
        assert got <= upper and (got == upper or upper - got <= tol)
    assert peaks[int(result[3])] <= want[0] + tol
    return result


def test_single_samples_give_the_c_library_angles():
    result = rotd([3.0], [4.0])
    assert (result[4], result[3]) == (53, 143) and 4.9999 < result[2] < 5.0
    one_zero, zero_one = rotd([1.0], [0.0]), rotd([0.0], [1.0])
    assert (one_zero[2], one_zero[4], one_zero[3]) == (1.0, 0, 90) and 0.0 < one_zero[0] < 1e-15
    assert one_zero[1] == pytest.approx(1 / math.sqrt(2), rel=1e-15)
    assert (zero_one[2], zero_one[4], zero_one[0], zero_one[3]) == (1.0, 90, 0.0, 0)
    rng = np.random.default_rng(7)
    for _ in range(300):
        x, y = rng.standard_normal(2) * 10.0 ** rng.integers(-5, 5)
        assert_same_bits(rotd([x], [y]), brute([x], [y]))


@pytest.mark.parametrize("n", [1, 2, 3, 5, 63, 64, 65, 127, 129, 1000, 4099, 20000])
def test_random_clouds_equal_brute_force(n):
    rng = np.random.default_rng(n)
    for scale in (1.0, 1.7e308):
        x = rng.uniform(-1, 1, n) * scale * rng.uniform(0.1, 1)
        y = rng.uniform(-1, 1, n) * scale * rng.uniform(0.1, 1)
        assert_same_bits(rotd(x, y), brute(x, y))


def test_walks_oscillations_and_batches_equal_brute_force_row_by_row():
    rng = np.random.default_rng(3)
    t = np.arange(3000) * 0.01
    a = np.cumsum(rng.standard_normal((9, 3000)), axis=1)
    b = np.cumsum(rng.standard_normal((9, 3000)), axis=1)
    a[0], b[0] = np.sin(2.1 * t) * np.exp(-0.1 * t), np.cos(1.3 * t) * np.exp(-0.05 * t)
    a[1], b[1] = np.sin(t), 0.5 * np.sin(t + 0.3)  # a thin ellipse traced many times
    a[2], b[2] = 0.0, 0.0
    a[3, :] = a[3, 0]
    b[4] = a[4]
    a[5] *= 1e300
    a[6] *= 1e-310
    a[7] = rng.standard_normal(3000)
    batch = _core._rotd(a, b)
    assert np.all(batch[4, 4] == 45)
    for i in range(9):  # one work object serves every row: no row depends on another
        assert_same_bits(batch[i], rotd(a[i], b[i]))
        assert_same_bits(batch[i], brute(a[i], b[i]) if i != 6 else oracles.hull_rotd(a[i], b[i]))


def nasty():
    rng = np.random.default_rng(5)
    s = np.linspace(-3.0, 2.0, 41)
    big = 1.7e308
    gx, gy = np.meshgrid(np.arange(-3.0, 4.0), np.arange(-2.0, 3.0))
    dup = np.repeat(rng.integers(-4, 5, (2, 12)).astype(float), 5, axis=1)
    tiny = rng.standard_normal((2, 20)) * 1e-310
    exact = {  # the float hull is exact here: the brute force agrees to the bit
        "one sample": ([0.25], [-7.5]), "all equal": (np.full(30, 1.5), np.full(30, -2.25)),
        "two points": (np.tile([1.0, -2.0], 20), np.tile([0.5, 3.0], 20)),
        "vertical line": (np.zeros(41), s), "diagonal": (s, s), "anti-diagonal": (s, -s),
        "grid": (gx, gy), "duplicates": tuple(dup), "zeros": (np.zeros(50), np.zeros(50)),
        "diamond edges": ([-1.0, 0, 1, 0, -0.5, 0.5, 0.5, -0.5, -0.25, 0.75],
                          [0.0, 1, 0, -1, 0.5, 0.5, -0.5, -0.5, 0.75, -0.25]),
        "square edges": ([0.0, 4, 4, 0, 1, 2, 3, 4, 4, 0, 0, 2, 2], [0.0, 0, 4, 4, 0, 0, 0, 1, 3, 2, 1, 4, 2]),
        "signed zeros": ([0.0, -0.0, 0.0, -0.0, 1.0], [-0.0, 0.0, 1.0, 1.0, -0.0]),
        "signed zeros at a vertex": ([-0.0, -0.0, 0.0], [0.0, 1.0, 0.0]),
        "signed zeros mirrored": ([0.0, 0.0, -0.0, 0.0, 2.0], [-0.0, -1.0, 0.0, 3.0, 1.0]),
    }
    rounded = {
        "line with rounding": (s * 0.1, s * 0.3 + 0.7),
        "subnormals": tuple(rng.standard_normal((2, 40)) * 5e-320),
        "tiny and normal": (np.r_[tiny[0], 1.0], np.r_[tiny[1], -1.0]),
        "huge": tuple(rng.uniform(-1.0, 1.0, (2, 40)) * big),
        "huge line": (np.linspace(-1, 1, 9) * big, np.linspace(1, -1, 9) * big),
        "huge with tiny": ([big, -big, 0.0, 1e-300, -1e-300], [0.0, 0.0, big, 5e-324, -5e-324]),
        "overflowing peaks": ([big, 1.6e308, -big], [big, big, -1.0]),
        # orientation tests overflow (inf - inf); taken for "no left turn" they
        # would drop a true vertex: RotD00 about 21 % low
        "overflowing cross products": (np.array([0.46, -0.65, 0.73, 0.08, -0.40, -0.15, -0.94]) * 0.7e308,
                                       np.array([-0.75, 0.34, 0.29, 0.23, -0.23, 0.99, 0.96]) * 0.7e308),
    }
    for group, cases in (("exact", exact), ("rounded", rounded)):
        for name, (x, y) in cases.items():
            yield pytest.param(group, np.ravel(np.asarray(x, float)), np.ravel(np.asarray(y, float)), id=name)


@pytest.mark.parametrize("group, x, y", list(nasty()))
def test_degenerate_and_adversarial_trajectories(group, x, y):
    result = check(x, y)
    if group == "exact":
        assert_same_bits(result, brute(x, y))


@pytest.mark.parametrize("power", [-600, -460, -420, -401, -399, -380, 480, 505, 509, 511, 520, 900])
def test_power_of_two_scaling_changes_no_decision(power):
    # around and beyond the magnitudes where float64 cross products overflow or underflow
    rng = np.random.default_rng(abs(power))
    x, y = np.cumsum(rng.standard_normal((2, 4, 500)), axis=2)
    x[1], y[1] = np.round(x[1]), np.round(y[1])  # duplicates and collinear runs
    x[2, ::7] = 0.0
    expected = _core._rotd(x, y)
    expected[:, :3] *= 2.0**power
    assert_same_bits(_core._rotd(x * 2.0**power, y * 2.0**power), expected)


MODERATE = st.one_of(st.just(0.0), st.integers(-50, 50).map(float), st.floats(-1e6, 1e6).filter(lambda v: abs(v) > 1e-50))


@settings(max_examples=examples(100), deadline=None)
@given(st.lists(st.tuples(MODERATE, MODERATE), min_size=1, max_size=12), st.integers(0, 20))
def test_huge_trajectories_are_exact_scalings_of_moderate_ones(samples, shift):
    small = np.array(samples)
    big = small * 2.0 ** (1000 - shift)
    expect = rotd(small[:, 0], small[:, 1])
    expect[:3] *= 2.0 ** (1000 - shift)
    assert_same_bits(check(big[:, 0], big[:, 1]), expect)


@st.composite
def trajectories(draw, max_size=40):
    kind = draw(st.sampled_from(["grid", "floats", "scaled", "cluster", "line"]))
    n = draw(st.integers(1, max_size))

    def coords(elements):
        return np.array(draw(st.lists(elements, min_size=n, max_size=n)), float)

    if kind == "grid":  # duplicates and collinear triples
        return coords(st.integers(-3, 3).map(float)), coords(st.integers(-3, 3).map(float))
    if kind == "floats":
        return coords(st.floats(allow_nan=False, allow_infinity=False)), coords(st.floats(allow_nan=False, allow_infinity=False))
    if kind == "scaled":
        scale = draw(st.sampled_from([1.0, 1e-3, 1e150, 1e300, 1e-300, 1e-315]))
        return coords(st.floats(-1.0, 1.0)) * scale, coords(st.floats(-1.0, 1.0)) * scale
    if kind == "cluster":  # a few ulps apart: cancellation everywhere
        bx, by = draw(st.floats(-1e6, 1e6)), draw(st.floats(-1e6, 1e6))
        return bx + coords(st.integers(-4, 4)) * np.spacing(bx), by + coords(st.integers(-4, 4)) * np.spacing(by)
    a, b = draw(st.tuples(st.floats(-10, 10), st.floats(-10, 10))), draw(st.tuples(st.floats(-10, 10), st.floats(-10, 10)))
    t = coords(st.floats(-5, 5))  # points on a line, rounded
    return a[0] + t * b[0], a[1] + t * b[1]


@settings(max_examples=examples(250), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trajectories(), st.integers(1, 3))
def test_random_trajectories_against_both_oracles_and_repetition(traj, times):
    x, y = traj
    result = check(x, y)
    assert_same_bits(rotd(np.repeat(x, times), np.repeat(y, times)), result)
    assert_same_bits(rotd(np.tile(x, times), np.tile(y, times)), result)


@settings(max_examples=examples(40), deadline=None)
@given(st.integers(0, 9), st.integers(1, 300), st.integers(0, 2**32 - 1))
def test_interior_samples_change_nothing(prefix, n, seed):
    # Samples added in front shift every sample to another vector lane,
    # another 64-sample box and another tail: the bits stay put.
    rng = np.random.default_rng(seed)
    angle, radius = rng.uniform(0, 2 * np.pi, n), rng.uniform(1.0, 2.0, n)
    x = np.r_[3.0, 0.0, -3.0, 0.0, radius * np.cos(angle)]
    y = np.r_[0.0, 3.0, 0.0, -3.0, radius * np.sin(angle)]
    inner = rng.uniform(-0.3, 0.3, (2, prefix))
    base = rotd(x, y)
    assert_same_bits(base, brute(x, y))
    assert_same_bits(rotd(np.r_[inner[0], x], np.r_[inner[1], y]), base)
    assert_same_bits(rotd(np.r_[x, inner[0]], np.r_[y, inner[1]]), base)


def test_a_non_finite_sample_gives_a_quiet_nan_row_and_spares_the_others():
    rng = np.random.default_rng(2)
    signalling = np.uint64(0x7FF0000000000001).view(np.float64)
    for bad in (np.nan, -np.nan, np.inf, -np.inf, signalling):
        for comp, pos in [(0, 0), (0, 99), (0, 199), (1, 0), (1, 199)]:
            ab = rng.standard_normal((2, 3, 200))
            ab[comp, 1, pos] = bad
            result = _core._rotd(*ab)
            assert np.all(bits(result[1]) == QUIET_NAN)
            assert_same_bits(result[[0, 2]], np.array([brute(ab[0, i], ab[1, i]) for i in (0, 2)]))
    # samples of comp_90 past the length of comp_0 are ignored, except by this screen
    a, b = rng.standard_normal((2, 100)), rng.standard_normal((2, 130))
    expected = _core._rotd(a, b[:, :100])
    assert_same_bits(_core._rotd(a, b), expected)
    b[0, 120] = np.inf
    assert np.all(bits(_core._rotd(a, b)[0]) == QUIET_NAN)
    assert_same_bits(_core._rotd(a, b)[1], expected[1])
    # the screen comes before the length check
    assert np.all(bits(_core._rotd(np.ones((1, 5)), np.array([[1.0, np.nan]]))) == QUIET_NAN)
    assert np.all(bits(_core._rotd(np.empty((1, 0)), np.array([[np.inf]]))) == QUIET_NAN)


@pytest.mark.parametrize("shape_0, shape_90, message", [
    ((3, 100), (2, 100), "assertion `left == right` failed: Components must have the same number of waveforms\n  left: 3\n right: 2"),
    ((1, 0), (0, 0), "assertion `left == right` failed: Components must have the same number of waveforms\n  left: 1\n right: 0"),
    ((2, 0), (2, 0), "ndarray: index out of bounds"), ((1, 0), (1, 4), "ndarray: index out of bounds"),
    ((2, 10), (2, 9), "ndarray: index out of bounds"), ((1, 1), (1, 0), "ndarray: index out of bounds"),
])
def test_failed_checks_and_their_messages(panic, shape_0, shape_90, message):
    with pytest.raises(panic) as info:
        _core._rotd(np.ones(shape_0), np.ones(shape_90))
    assert str(info.value) == message
    assert _core._rotd(np.zeros((0, 7)), np.zeros((0, 7))).shape == (0, 5)


def test_recorded_pair_rsn8883():
    data = Path(__file__).parent / "data" / "rsn8883"
    h1, _ = read_at2(data / "RSN8883_14383980_13849360.AT2.gz")  # 360 degrees
    h2, _ = read_at2(data / "RSN8883_14383980_13849090.AT2.gz")  # 90 degrees
    assert h1.size == h2.size == 16396
    result = rotd(h1, h2)
    assert_same_bits(result, brute(h1, h2))
    assert_same_bits(result, oracles.hull_rotd(h1, h2))
    assert result[2] >= np.abs(h1).max() >= result[0]  # orientation 0 is comp_0, exactly
    assert 0.005 < result[1] < 0.5


def test_the_median_of_peaks_near_the_largest_double_stays_finite():
    top = np.finfo(float).max
    x, y = np.array([0.0, 9.0, -1.0, 0.0, 0.0]), np.array([0.0, 0.0, 0.0, top, top])
    ordered = np.sort(oracles.peaks_at(x, y))
    result = check(x, y)
    assert result[1] == ordered[89] * 0.5 + ordered[90] * 0.5 < np.inf


@pytest.mark.parametrize("scale", [1e-300, 1.0, 1e300])
def test_a_record_paired_with_zeros_gives_the_brute_force_bits(scale):
    x = np.random.default_rng(int(math.log10(scale) + 400)).standard_normal(3000) * scale
    x[:5] = [-0.0, 0.0, x[7], -x[7], 0.0]  # signed zeros and a tie of magnitudes
    for a, b in [(x, np.zeros_like(x)), (-np.zeros_like(x), x)]:
        assert_same_bits(rotd(a, b), oracles.brute_rotd(a, b))


@pytest.mark.parametrize("ratio", [0.5, -2.0, 1.0, -0.125, 0.3])
@pytest.mark.parametrize("scale", [1e-300, 1.0, 1e300])
def test_a_record_paired_with_a_scaled_copy_gives_the_hull_bits(ratio, scale):
    x = np.random.default_rng(int(math.log10(scale) + 400)).standard_normal(800) * scale
    x[:4] = [-0.0, 0.0, x[7], -x[7]]
    y = x * ratio
    nearly = y.copy()
    nearly[500] = np.nextafter(nearly[500], np.inf)  # one sample off the line
    for b in (y, nearly):
        assert_same_bits(rotd(x, b), oracles.hull_rotd(x, b))
