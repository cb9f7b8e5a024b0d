"""Konno-Ohmachi smoothing: `_konno_ohmachi_matrix_rows` and
`_konno_ohmachi_smooth`, against the window formula evaluated slowly in
oracles.py and against ObsPy.

The kernel evaluates the formula with a vectorised sine (within one unit in
the last place of libm's) and sums in its own order, so matrix rows must be
the float32 rounding of the oracle except at float32 near-ties, and smoothed
values must lie within 1e-12 of the oracle relative to the sum of
|weight * value| behind each output bin."""

import itertools
import math

import numpy as np
import oracles
import pytest
from conftest import assert_same_bits, examples
from groundmotion import _core
from hypothesis import given, settings
from hypothesis import strategies as st

rows_of = _core._konno_ohmachi_matrix_rows
smooth = _core._konno_ohmachi_smooth
F32_EPS = 2.0**-24


def assert_rounds_like(rows32, ref64):
    """rows32 is the nearest float32 of ref64, bar float32 near-ties."""
    ref32 = ref64.astype(np.float32)
    differ = rows32 != ref32
    got, r32 = rows32[differ], ref32[differ]
    other = np.nextafter(r32, np.where(got > r32, np.inf, -np.inf).astype(np.float32))
    assert np.array_equal(got, other), "more than one float32 ulp away"
    midpoint = (r32.astype(np.float64) + other.astype(np.float64)) / 2
    assert np.all(np.abs(ref64[differ] - midpoint) <= 1e-13 * np.abs(ref64[differ])), "not a near-tie"


def smoothing_error(actual, spectra, weights):
    scale = np.abs(spectra) @ np.abs(weights).T
    return np.max(np.abs(actual - spectra @ weights.T) / np.where(scale > 0, scale, 1.0), initial=0.0)


@pytest.mark.parametrize("n, b", [(n, b) for n in (1, 2, 3, 4, 5, 8, 15, 16, 17, 33, 129, 131, 300) for b in (40.0, 6.5, 137.25)]
                         + [(97, b) for b in (0.3, 1.0, 1e4, -40.0)])
def test_matrix_rows_are_the_rounded_formula(n, b):
    assert_rounds_like(rows_of(n, b, 0, n), oracles.ko_matrix(n, b))


def test_rows_and_smoothing_of_long_spectra_at_a_few_bins():
    n, b = 8193, 40.0
    table = [math.log10(i) if i else -math.inf for i in range(n)]
    picked = [0, 1, 2, 3, 7, 100, 127, 128, 129, 1000, 4096, 8191, 8192]
    weights = np.array([oracles.ko_window(n, c, b, table) for c in picked])
    for c, expected in zip(picked, weights):
        assert_rounds_like(rows_of(n, b, c, c + 1)[0], expected)
    spectra = np.abs(np.random.default_rng(8193).standard_normal((2, n)))
    assert smoothing_error(smooth(spectra, b)[:, picked], spectra, weights) <= 1e-12


@pytest.mark.parametrize("m, n", [(1, 1), (1, 2), (2, 3), (3, 16), (5, 17), (7, 128), (6, 129), (11, 257), (4, 700)])
@pytest.mark.parametrize("b", [40.0, 3.0])
def test_smoothing_is_the_formula_within_1e_12(m, n, b):
    rng = np.random.default_rng(1000 * m + n)
    spectra = rng.standard_normal((m, n)) * rng.uniform(0.1, 1e3, size=(m, 1))
    assert smoothing_error(smooth(spectra, b), spectra, oracles.ko_matrix(n, b)) <= 1e-12


@pytest.mark.parametrize("m, n", [(13, 300), (9, 129), (23, 40), (101, 17), (205, 64)])
def test_a_spectrum_smoothed_alone_equals_it_within_any_batch(m, n):
    # Spectra run in groups through the vector kernels; one alone takes the remainder path.
    x = np.random.default_rng(m * n).standard_normal((m, n))
    out = smooth(x, 40.0)
    for k in {0, 1, m // 2, m - 2, m - 1}:
        assert_same_bits(smooth(x[k : k + 1], 40.0), out[k : k + 1])
        assert_same_bits(smooth(x[k : k + 3], 40.0), out[k : k + 3])


def test_bandwidths():
    x = np.random.default_rng(3).standard_normal((3, 150))
    for b in (40.0, 0.5, 1234.5, 1e-3):  # a negative bandwidth is its magnitude, bit for bit
        assert_same_bits(rows_of(150, -b, 0, 150), rows_of(150, b, 0, 150))
        assert_same_bits(smooth(x, -b), smooth(x, b))
    for b in (40.0, 0.0, -0.0, -3.0, math.nan, math.inf, -math.inf, 1e300):
        assert_same_bits(rows_of(2, b, 0, 2), np.eye(2, dtype=np.float32))  # row 0 is the unit vector
        assert_same_bits(rows_of(10, b, 0, 1), np.eye(1, 10, dtype=np.float32))
        assert_same_bits(smooth(x[:, :2], b), x[:, :2])
    for b in (0.0, -0.0, math.nan, math.inf, -math.inf):  # degenerate: NaN rows past bin 0
        assert np.all(np.isnan(rows_of(7, b, 0, 7)[1:])) and np.all(np.isnan(smooth(x[:, :7], b)[:, 1:]))
        assert_same_bits(smooth(x[:, :7], b)[:, 0], x[:, 0])


@settings(max_examples=examples(40), deadline=None)
@given(st.integers(0, 90), st.lists(st.floats(0, 1), max_size=4), st.sampled_from([40.0, 7.0, -12.5, 300.0]))
def test_bands_tile_the_matrix(n, cuts, b):
    edges = sorted({0, n, *(int(c * n) for c in cuts)})
    pieces = [rows_of(n, b, lo, hi) for lo, hi in itertools.pairwise(edges)] or [rows_of(n, b, 0, 0)]
    assert_same_bits(np.vstack(pieces), rows_of(n, b, 0, n))
    assert rows_of(n, b, n, n).shape == (0, n) and rows_of(n, b, n, n).dtype == np.float32


@pytest.mark.parametrize("args, message", [
    ((4, 40.0, 6, 5), "start 6 is past stop 5"),  # tested first, though stop > n_bins too
    ((8, 40.0, 5, 3), "start 5 is past stop 3"), ((8, 40.0, 0, 9), "stop 9 is past n_bins 8"),
    ((0, 40.0, 0, 1), "stop 1 is past n_bins 0"), ((2**64 - 1, 40.0, 2**64 - 1, 0), f"start {2**64 - 1} is past stop 0"),
])
def test_band_checks_and_their_messages(panic, args, message):
    with pytest.raises(panic) as info:
        rows_of(*args)
    assert str(info.value) == message


def test_memory_errors_and_requests_that_need_no_work():
    with pytest.raises(MemoryError):
        rows_of(2**62, 40.0, 0, 0)
    for shape in [(1, 2**59), (2**20, 2**30), (3, 2**50)]:
        with pytest.raises(MemoryError):
            smooth(np.broadcast_to(np.zeros((1, 1)), shape), 40.0)
    # no spectra: not even the table of logarithms, which would not fit
    assert smooth(np.broadcast_to(np.zeros((1, 1)), (0, 2**59)), 40.0).shape == (0, 2**59)


def test_smoothing_is_linear_keeps_bin_zero_constants_and_signed_zeros():
    rng = np.random.default_rng(8)
    x, y = rng.standard_normal((2, 6, 333))
    combined = smooth(1.75 * x - 0.3 * y, 40.0)
    assert np.all(np.abs(combined - (1.75 * smooth(x, 40.0) - 0.3 * smooth(y, 40.0)))
                  <= 1e-14 * (smooth(np.abs(x), 40.0) + smooth(np.abs(y), 40.0)))
    assert_same_bits(smooth(x, 40.0)[:, 0], x[:, 0])
    const = np.full((2, 333), 2.5)
    const[:, 0] = -8.0  # bin 0 feeds output bin 0 only
    np.testing.assert_allclose(smooth(const, 25.0)[:, 1:], 2.5, rtol=1e-14)
    assert_same_bits(smooth(np.full((3, 200), -0.0), 40.0), np.full((3, 200), -0.0))
    # weights sum to one: a spectrum near the float64 maximum does not overflow,
    # and scaling by a power of two scales the result exactly
    assert np.allclose(smooth(np.full((2, 64), 1e308), 40.0), 1e308, rtol=1e-12, atol=0)
    assert_same_bits(smooth(x * 2.0**1020, 40.0), smooth(x, 40.0) * 2.0**1020)


def test_matrix_product_agrees_with_matrix_free_smoothing():
    n, b = 700, 40.0
    m32 = rows_of(n, b, 0, n).astype(np.float64)
    x = np.random.default_rng(10).standard_normal((5, n))
    # the only difference is the rounding of every weight to float32
    assert np.all(np.abs(smooth(x, b) - x @ m32.T) <= 2 * F32_EPS * (np.abs(x) @ m32.T) + 1e-300)


def test_nan_and_infinity_propagate_through_zero_weights():
    x = np.abs(np.random.default_rng(11).standard_normal((5, 60))) + 0.1
    x[1, 17], x[2, 30], x[3, 0], x[4, 10], x[4, 50] = math.nan, math.inf, -math.inf, math.inf, -math.inf
    out = smooth(x, 40.0)
    assert_same_bits(out[[0]], smooth(x[[0]], 40.0))  # other spectra untouched
    assert np.all(np.isnan(out[1]))  # a NaN reaches every bin, bin 0 included
    assert np.isnan(out[2, 0]) and np.all(out[2, 1:] == math.inf)  # 0 * inf at bin 0
    assert out[3, 0] == -math.inf and np.all(np.isnan(out[3, 1:]))
    assert np.all(np.isnan(out[4]))  # infinities of both signs meet


def test_agrees_with_obspy_on_the_same_grid():
    ko = pytest.importorskip("obspy.signal.konnoohmachismoothing")
    n, b = 513, 40.0
    frequencies = np.arange(n) * 0.25  # uniform from zero: ObsPy's bin 0 matches by value
    spectra = np.abs(np.random.default_rng(12).standard_normal((3, n))) + 0.1
    theirs = ko.konno_ohmachi_smoothing(spectra, frequencies, bandwidth=b, normalize=True, enforce_no_matrix=True)
    np.testing.assert_allclose(smooth(spectra, b), theirs, rtol=1e-12)
    matrix = ko.calculate_smoothing_matrix(frequencies, bandwidth=b, normalize=True)
    np.testing.assert_allclose(rows_of(n, b, 0, n), matrix, rtol=F32_EPS, atol=1e-45)
