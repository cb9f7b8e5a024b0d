"""Konno-Ohmachi smoothing: `_konno_ohmachi_matrix_rows` and `_konno_ohmachi_smooth`.

The oracle is the literal formula, evaluated slowly: a table of math.log10 of
the bin indices, x = b * (log_i - log_c), q = math.sin(x) / x, the weight
(q*q)*(q*q), the centre set to 1 and bin 0 to 0, then the window divided by
its sum.  The kernel evaluates the same formula with a vectorised sine (within
one unit in the last place of libm's), sums in its own order and, in
`smooth`, divides the accumulated sums rather than every weight, so:

* matrix rows must equal the float32 rounding of the oracle, except where the
  oracle's float64 value sits so close to the midpoint between two float32
  values that the last bits of the float64 decide the rounding;
* smoothed values must lie within 1e-12 of the oracle, relative to the sum of
  |weight * value| that makes up each output bin.

A second family of checks needs no oracle: sums, symmetries, bands, layouts,
non-finite propagation.  The last section compiles the kernel on its own twice
(vector dispatch and the baseline body alone) and compares the bits.
"""

import ctypes
import itertools
import math
import os
import pathlib
import shutil
import subprocess

import numpy as np
import pytest
from groundmotion import _core
from hypothesis import given, settings
from hypothesis import strategies as st

rows_of = _core._konno_ohmachi_matrix_rows
smooth = _core._konno_ohmachi_smooth

F32_EPS = 2.0**-24  # half a float32 ulp at 1, relative


def bits(a):
    a = np.ascontiguousarray(a)
    return a.view(np.uint64 if a.dtype == np.float64 else np.uint32)


def assert_same_bits(actual, expected):
    assert actual.shape == expected.shape
    np.testing.assert_array_equal(bits(actual), bits(expected))


def panic_class():
    with pytest.raises(BaseException) as excinfo:
        rows_of(4, 40.0, 6, 5)
    return type(excinfo.value)


# ---------------------------------------------------------------- oracle


def log_table(n):
    return [math.log10(i) if i else -math.inf for i in range(n)]


def reference_window(n, c, b, table=None):
    """The normalised float64 window about bin c, straight from the formula."""
    if c == 0:
        w = np.zeros(n)
        w[0] = 1.0
        return w
    table = log_table(n) if table is None else table
    w = np.empty(n)
    lc = table[c]
    for i in range(1, n):
        x = b * (table[i] - lc)
        try:
            q = math.sin(x) / x
        except (ZeroDivisionError, ValueError):  # 0/0 at the centre, sin(inf)
            q = math.nan
        w[i] = (q * q) * (q * q)
    w[c] = 1.0
    w[0] = 0.0
    return w / w.sum()


def reference_matrix(n, b):
    table = log_table(n)
    return np.array([reference_window(n, c, b, table) for c in range(n)]).reshape(n, n)


def assert_rounds_like(rows32, ref64):
    """rows32 is the nearest-even float32 of ref64, bar float32 near-ties."""
    ref32 = ref64.astype(np.float32)
    differ = rows32 != ref32
    if not differ.any():
        return
    # Only a float64 value within a few float64 ulps of a float32 midpoint may
    # round either way; then the two candidates are neighbours.
    r64, r32, got = ref64[differ], ref32[differ].astype(np.float64), rows32[differ]
    other = np.nextafter(
        ref32[differ], np.where(got > r32, np.inf, -np.inf).astype(np.float32)
    )
    assert np.array_equal(got, other), "differs by more than one float32 ulp"
    midpoint = (r32 + other.astype(np.float64)) / 2
    assert np.all(np.abs(r64 - midpoint) <= 1e-13 * np.abs(r64)), "not a near-tie"


def smoothing_error(actual, spectra, weights):
    """Largest error of `actual` against spectra @ weights.T, relative to the
    sum of |weight * value| behind each output."""
    expected = spectra @ weights.T
    scale = np.abs(spectra) @ np.abs(weights).T
    return np.max(
        np.abs(actual - expected) / np.where(scale > 0, scale, 1.0), initial=0.0
    )


# ---------------------------------------------------------------- the oracle


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 8, 15, 16, 17, 33, 129, 131, 300])
@pytest.mark.parametrize("b", [40.0, 6.5, 137.25])
def test_matrix_rows_are_the_rounded_formula(n, b):
    assert_rounds_like(rows_of(n, b, 0, n), reference_matrix(n, b))


@pytest.mark.parametrize("b", [0.3, 1.0, 1e4, -40.0])
def test_matrix_rows_at_unusual_bandwidths(b):
    n = 97
    assert_rounds_like(rows_of(n, b, 0, n), reference_matrix(n, b))


def test_matrix_rows_of_a_band_of_a_long_spectrum():
    n, b = 4097, 40.0
    table = log_table(n)
    picked = [1, 2, 3, 100, 1000, 2048, 4095, 4096]
    ref = np.array([reference_window(n, c, b, table) for c in picked])
    for c, expected in zip(picked, ref):
        assert_rounds_like(rows_of(n, b, c, c + 1)[0], expected)


@pytest.mark.parametrize(
    "m, n",
    [(1, 1), (1, 2), (2, 3), (3, 16), (5, 17), (7, 128), (6, 129), (11, 257), (4, 700)],
)
@pytest.mark.parametrize("b", [40.0, 3.0])
def test_smoothing_is_the_formula_within_1e_12(m, n, b):
    rng = np.random.default_rng(1000 * m + n)
    spectra = rng.standard_normal((m, n)) * rng.uniform(0.1, 1e3, size=(m, 1))
    assert smoothing_error(smooth(spectra, b), spectra, reference_matrix(n, b)) <= 1e-12


def test_smoothing_a_long_spectrum_at_a_few_bins():
    n, b = 8193, 40.0
    rng = np.random.default_rng(8193)
    spectra = np.abs(rng.standard_normal((2, n)))
    out = smooth(spectra, b)
    table = log_table(n)
    picked = [0, 1, 2, 7, 127, 128, 129, 4096, 8191, 8192]
    weights = np.array([reference_window(n, c, b, table) for c in picked])
    assert smoothing_error(out[:, picked], spectra, weights) <= 1e-12


# ---------------------------------------------------------------- window properties


@pytest.mark.parametrize("b", [40.0, 0.0, -3.0, math.nan, math.inf, -math.inf, 1e300])
@pytest.mark.parametrize("n", [1, 2, 3, 10])
def test_row_zero_is_the_unit_vector_for_any_bandwidth(n, b):
    row = rows_of(n, b, 0, 1)
    expected = np.zeros((1, n), np.float32)
    expected[0, 0] = 1.0
    assert_same_bits(row, expected)


@pytest.mark.parametrize("b", [40.0, 0.0, math.nan, math.inf, -7.0])
def test_two_bins_give_the_identity(b):
    assert_same_bits(rows_of(2, b, 0, 2), np.eye(2, dtype=np.float32))
    assert_same_bits(rows_of(1, b, 0, 1), np.ones((1, 1), np.float32))


@pytest.mark.parametrize("n, b", [(10, 40.0), (300, 40.0), (300, 2.0), (1025, 150.0)])
def test_rows_sum_to_one_peak_at_the_centre_and_ignore_bin_zero(n, b):
    m = rows_of(n, b, 0, n)
    assert np.all(m >= 0)
    sums = m.astype(np.float64).sum(axis=1)
    assert np.all(np.abs(sums - 1.0) <= n * F32_EPS)
    assert np.all(m[1:, 0] == 0.0)
    centre = np.diagonal(m)
    assert np.all(m <= centre[:, None])


def test_bins_whose_product_is_the_centre_squared_get_equal_weights():
    # log10(i) - log10(c) = -(log10(j) - log10(c)) when i * j = c * c, and
    # sin(x)/x is even; only the rounding of the table separates them.
    n, b = 2000, 40.0
    m = rows_of(n, b, 0, n).astype(np.float64)
    checked = 0
    for c in range(2, 45):
        for i in range(1, c):
            if (c * c) % i == 0 and c * c // i < n:
                j = c * c // i
                assert m[c, i] == pytest.approx(m[c, j], rel=4 * F32_EPS, abs=1e-44)
                checked += 1
    assert checked > 100


def test_the_documented_six_bin_example():
    m = rows_of(6, 10.0, 2, 3)[0]
    assert m[0] == 0.0
    assert m[1] == m[4]
    assert 0.85 < m[2] < 0.95
    assert m[3] > 0.5 * (1 - m[2])
    # A larger bandwidth narrows the window: more weight at the centre.
    assert rows_of(6, 20.0, 2, 3)[0][2] > m[2]


@pytest.mark.parametrize("b", [40.0, 0.5, 1234.5, 1e-3])
def test_negative_bandwidth_is_its_magnitude_bit_for_bit(b):
    assert_same_bits(rows_of(150, -b, 0, 150), rows_of(150, b, 0, 150))
    x = np.random.default_rng(3).standard_normal((3, 150))
    assert_same_bits(smooth(x, -b), smooth(x, b))


@pytest.mark.parametrize("b", [0.0, -0.0, math.nan, math.inf, -math.inf])
def test_degenerate_bandwidths_give_nan_rows(b):
    m = rows_of(7, b, 0, 7)
    assert np.all(np.isnan(m[1:]))
    assert m[0, 0] == 1.0 and np.all(m[0, 1:] == 0.0)
    x = np.random.default_rng(4).standard_normal((2, 7))
    out = smooth(x, b)
    assert np.all(np.isnan(out[:, 1:]))
    np.testing.assert_array_equal(out[:, 0], x[:, 0])


# ---------------------------------------------------------------- bands


def test_a_row_is_the_same_in_every_band():
    n, b = 300, 40.0
    full = rows_of(n, b, 0, n)
    for start, stop in [(3, 4), (4, 8), (0, 5), (150, 300), (299, 300), (1, 299)]:
        assert_same_bits(rows_of(n, b, start, stop), full[start:stop])


@settings(max_examples=40, deadline=None)
@given(
    n=st.integers(1, 90),
    cuts=st.lists(st.floats(0, 1), max_size=4),
    b=st.sampled_from([40.0, 7.0, -12.5, 300.0]),
)
def test_bands_tile_the_matrix(n, cuts, b):
    edges = sorted({0, n, *(int(c * n) for c in cuts)})
    pieces = [rows_of(n, b, lo, hi) for lo, hi in itertools.pairwise(edges)]
    assert_same_bits(np.vstack(pieces), rows_of(n, b, 0, n))


def test_empty_bands():
    for n, s in [(0, 0), (5, 0), (5, 3), (5, 5)]:
        out = rows_of(n, 40.0, s, s)
        assert out.shape == (0, n) and out.dtype == np.float32


def test_band_checks_and_their_messages():
    panic = panic_class()
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    cases = [
        (
            (4, 40.0, 6, 5),
            "start 6 is past stop 5",
        ),  # tested first, though stop > n_bins too
        ((8, 40.0, 5, 3), "start 5 is past stop 3"),
        ((8, 40.0, 0, 9), "stop 9 is past n_bins 8"),
        ((4, 40.0, 2, 5), "stop 5 is past n_bins 4"),
        ((0, 40.0, 0, 1), "stop 1 is past n_bins 0"),
        ((2**64 - 1, 40.0, 2**64 - 1, 0), f"start {2**64 - 1} is past stop 0"),
    ]
    for args, message in cases:
        with pytest.raises(panic) as excinfo:
            rows_of(*args)
        assert str(excinfo.value) == message
    # The module stays usable.
    assert rows_of(3, 40.0, 0, 1).shape == (1, 3)


# ---------------------------------------------------------------- smoothing


def test_negative_zeros_stay_negative_as_in_the_formula():
    # Every product w * -0.0 is -0.0 and so is their sum: the sign survives.
    x = np.full((3, 200), -0.0)
    assert_same_bits(smooth(x, 40.0), x)
    assert_same_bits(smooth(x[:, :1], 40.0), x[:, :1])


def test_empty_and_tiny_batches():
    for shape in [(0, 0), (0, 7), (3, 0)]:
        out = smooth(np.zeros(shape), 40.0)
        assert out.shape == shape and out.dtype == np.float64
    x = np.random.default_rng(5).standard_normal((4, 1))
    np.testing.assert_array_equal(smooth(x, 40.0), x)
    x2 = np.random.default_rng(6).standard_normal((4, 2))
    for b in [40.0, 0.0, math.nan]:
        np.testing.assert_array_equal(smooth(x2, b), x2)


def test_no_spectra_needs_no_work_whatever_the_bins():
    # Not even the table of logarithms: 2**59 bins would not fit in memory.
    out = smooth(np.broadcast_to(np.zeros((1, 1)), (0, 2**59)), 40.0)
    assert out.shape == (0, 2**59)


def test_sizes_that_cannot_be_allocated_raise_memory_error():
    with pytest.raises(MemoryError):
        rows_of(2**62, 40.0, 0, 0)
    with pytest.raises(MemoryError):
        rows_of(2**62, 40.0, 0, 1)
    # Zero-stride views of a single value stand for batches far beyond memory.
    for shape in [(1, 2**59), (2**20, 2**30), (3, 2**50)]:
        with pytest.raises(MemoryError):
            smooth(np.broadcast_to(np.zeros((1, 1)), shape), 40.0)
    assert rows_of(5, 40.0, 0, 5).shape == (5, 5)


def test_output_bin_zero_is_input_bin_zero_and_constants_stay_constant():
    rng = np.random.default_rng(7)
    x = rng.standard_normal((5, 333))
    out = smooth(x, 40.0)
    np.testing.assert_array_equal(out[:, 0], x[:, 0])
    const = np.full((2, 333), 2.5)
    const[:, 0] = -8.0  # bin 0 feeds output bin 0 only
    out = smooth(const, 25.0)
    assert out[0, 0] == -8.0
    np.testing.assert_allclose(out[:, 1:], 2.5, rtol=1e-14)


def test_smoothing_is_linear_row_by_row():
    rng = np.random.default_rng(8)
    x, y = rng.standard_normal((2, 6, 200))
    alpha, beta = 1.75, -0.3
    combined = smooth(alpha * x + beta * y, 40.0)
    separate = alpha * smooth(x, 40.0) + beta * smooth(y, 40.0)
    scale = smooth(np.abs(x), 40.0) + smooth(np.abs(y), 40.0)
    assert np.all(np.abs(combined - separate) <= 1e-14 * scale)


@pytest.mark.parametrize("m, n", [(13, 300), (9, 129), (23, 40), (101, 17), (205, 64)])
def test_a_spectrum_smoothed_alone_equals_it_within_any_batch(m, n):
    # The batch runs spectra in groups through the vector kernels; a spectrum
    # alone takes the one-spectrum remainder path.
    rng = np.random.default_rng(m * n)
    x = rng.standard_normal((m, n))
    out = smooth(x, 40.0)
    for k in {0, 1, m // 2, m - 2, m - 1}:
        assert_same_bits(smooth(x[k : k + 1], 40.0), out[k : k + 1])
        assert_same_bits(smooth(x[k : k + 3], 40.0), out[k : k + 3])


def test_every_memory_layout_gives_the_same_bits():
    rng = np.random.default_rng(9)
    x = rng.standard_normal((7, 150))
    expected = smooth(np.ascontiguousarray(x), 40.0)
    assert_same_bits(smooth(np.asfortranarray(x), 40.0), expected)
    assert_same_bits(smooth(x.T.copy().T, 40.0), expected)
    wide = rng.standard_normal((14, 450))
    wide[::2, ::3] = x
    assert_same_bits(smooth(wide[::2, ::3], 40.0), expected)
    assert_same_bits(
        smooth(x[::-1, ::-1], 40.0)[::-1, ::-1], smooth(x[:, ::-1], 40.0)[:, ::-1]
    )
    assert_same_bits(smooth(x[::-1], 40.0), expected[::-1])
    row = x[3]
    assert_same_bits(
        smooth(np.broadcast_to(row, (4, 150)), 40.0), np.tile(expected[3], (4, 1))
    )


def test_matrix_product_agrees_with_matrix_free_smoothing():
    n, b = 700, 40.0
    m32 = rows_of(n, b, 0, n).astype(np.float64)
    x = np.random.default_rng(10).standard_normal((5, n))
    # The only difference is the rounding of every weight to float32.
    expected = x @ m32.T
    scale = np.abs(x) @ m32.T
    assert np.all(np.abs(smooth(x, b) - expected) <= 2 * F32_EPS * scale + 1e-300)


def test_nan_and_infinity_propagate_through_zero_weights():
    rng = np.random.default_rng(11)
    x = np.abs(rng.standard_normal((5, 60))) + 0.1
    x[1, 17] = math.nan
    x[2, 30] = math.inf
    x[3, 0] = -math.inf
    x[4, 10] = math.inf
    x[4, 50] = -math.inf
    out = smooth(x, 40.0)
    clean = smooth(x[[0]], 40.0)
    assert_same_bits(out[[0]], clean)  # other spectra are untouched
    assert np.all(np.isnan(out[1]))  # a NaN reaches every bin, bin 0 included
    assert np.isnan(out[2, 0]) and np.all(out[2, 1:] == math.inf)  # 0 * inf at bin 0
    assert out[3, 0] == -math.inf and np.all(np.isnan(out[3, 1:]))
    assert np.all(np.isnan(out[4]))  # infinities of both signs meet


# ---------------------------------------------------------------- ObsPy


def test_agrees_with_obspy_on_the_same_grid():
    ko = pytest.importorskip("obspy.signal.konnoohmachismoothing")
    n, b = 513, 40.0
    frequencies = np.arange(n) * 0.25  # the uniform grid from zero
    rng = np.random.default_rng(12)
    spectra = np.abs(rng.standard_normal((3, n))) + 0.1
    # ObsPy's loop path (its 2-D matrix path applies the transposed matrix).
    theirs = ko.konno_ohmachi_smoothing(
        spectra, frequencies, bandwidth=b, normalize=True, enforce_no_matrix=True
    )
    ours = smooth(spectra, b)
    # Bin 0 agrees here only because this grid's first frequency is exactly
    # 0.0: ObsPy builds the zero-centre window and the zero weight of bin 0
    # by comparing frequencies with 0.0, where the kernel goes by the bin
    # index.  Elsewhere ObsPy takes log10(f / fc) rather than the difference
    # of the logarithms, a last-bit difference.
    np.testing.assert_allclose(ours, theirs, rtol=1e-12)
    assert ours[0, 0] == theirs[0, 0] == spectra[0, 0]
    matrix = ko.calculate_smoothing_matrix(frequencies, bandwidth=b, normalize=True)
    np.testing.assert_allclose(rows_of(n, b, 0, n), matrix, rtol=F32_EPS, atol=1e-45)


# ---------------------------------------------------------------- both bodies of the kernel

SHIM = r"""
#include <cstring>
#include <vector>
#include "konno_ohmachi.hpp"
extern "C" {
int ko_smooth(const double* x, uint64_t m, uint64_t n, double b, double* out) {
    try {
        gm::View2D v{reinterpret_cast<const char*>(x), m, n,
                     static_cast<int64_t>(n * sizeof(double)), sizeof(double)};
        gm::OwnedArray r = gm::smooth(v, b);
        std::memcpy(out, r.f64(), m * n * sizeof(double));
        return 0;
    } catch (...) {
        return 1;
    }
}
int ko_rows(uint64_t n, uint64_t start, uint64_t stop, double b, float* out) {
    try {
        gm::OwnedArray r = gm::matrix_rows(n, start, stop, b);
        std::memcpy(out, r.f32(), (stop - start) * n * sizeof(float));
        return 0;
    } catch (...) {
        return 1;
    }
}
void ko_sine(const double* x, uint64_t n, double* out) {
    gm::sine({x, n}, {out, n});
}
void ko_window(uint64_t c, uint64_t n, double b, double* out) {
    std::vector<double> table = gm::log_bins(n);
    gm::smoothing_window(c, table, {out, n}, b);
}
}
"""


def _compile(tmp, name, defines):
    src = pathlib.Path(__file__).resolve().parents[1] / "src"
    shim = tmp / "shim.cpp"
    shim.write_text(SHIM)
    lib = tmp / f"{name}.so"
    cmd = [
        os.environ.get("CXX", "g++"), "-std=c++20", "-O2", "-shared", "-fPIC",
        "-ffp-contract=off", "-fno-math-errno", "-Wno-psabi", f"-I{src}", *defines,
        str(shim), str(src / "konno_ohmachi.cpp"), "-o", str(lib),
    ]  # fmt: skip
    subprocess.run(cmd, check=True, capture_output=True)
    handle = ctypes.CDLL(str(lib))
    f64 = np.ctypeslib.ndpointer(np.float64, flags="C")
    handle.ko_smooth.argtypes = [
        f64,
        ctypes.c_uint64,
        ctypes.c_uint64,
        ctypes.c_double,
        f64,
    ]
    f32 = np.ctypeslib.ndpointer(np.float32, flags="C")
    handle.ko_rows.argtypes = [ctypes.c_uint64] * 3 + [ctypes.c_double, f32]
    handle.ko_sine.argtypes = [f64, ctypes.c_uint64, f64]
    handle.ko_window.argtypes = [ctypes.c_uint64, ctypes.c_uint64, ctypes.c_double, f64]
    return handle


@pytest.fixture(scope="module")
def bodies(tmp_path_factory):
    if not (
        pathlib.Path(__file__).resolve().parents[1] / "src" / "konno_ohmachi.cpp"
    ).exists():
        pytest.skip("kernel sources not at hand")
    if shutil.which(os.environ.get("CXX", "g++")) is None:
        pytest.skip("no C++ compiler")
    tmp = tmp_path_factory.mktemp("ko")
    # As built (run-time choice among the clones), and the baseline body alone.
    return _compile(tmp, "dispatch", []), _compile(tmp, "baseline", ["-DGM_KO_CLONES="])


def run_smooth(handle, x, b):
    x = np.ascontiguousarray(x, dtype=np.float64)
    out = np.empty_like(x)
    assert handle.ko_smooth(x, *x.shape, b, out) == 0
    return out


def run_rows(handle, n, start, stop, b):
    out = np.empty((stop - start, n), np.float32)
    assert handle.ko_rows(n, start, stop, b, out) == 0
    return out


def run_sine(handle, x):
    x = np.ascontiguousarray(x, dtype=np.float64)
    out = np.empty_like(x)
    handle.ko_sine(x, x.size, out)
    return out


def test_vector_and_baseline_bodies_agree_bit_for_bit(bodies):
    dispatch, baseline = bodies
    rng = np.random.default_rng(13)
    for m, n, b in [(1, 300, 40.0), (7, 129, 5.0), (12, 1000, 40.0), (3, 17, math.nan)]:
        x = rng.standard_normal((m, n))
        a = run_smooth(dispatch, x, b)
        assert_same_bits(run_smooth(baseline, x, b), a)
        assert_same_bits(smooth(x, b), a)
    for n, start, stop, b in [
        (300, 0, 300, 40.0),
        (1025, 500, 520, 3.0),
        (9, 0, 9, -2.0),
    ]:
        a = run_rows(dispatch, n, start, stop, b)
        assert_same_bits(run_rows(baseline, n, start, stop, b), a)
        assert_same_bits(rows_of(n, b, start, stop), a)


@pytest.mark.parametrize(
    "n, c, b", [(1000, 1, 40.0), (1000, 500, 40.0), (4097, 77, 3.5)]
)
def test_a_window_is_its_weights_each_divided_by_one_sum(bodies, n, c, b):
    # The weights before normalisation, from the kernel's own sine; the sum
    # may be taken in any order, so try the doubles near numpy's sum.  Every
    # entry must be the exact quotient of its weight by one of them (a
    # multiplication by a rounded reciprocal would miss some entries).
    dispatch, _ = bodies
    window = np.empty(n)
    dispatch.ko_window(c, n, b, window)
    table = np.array(log_table(n))
    x = b * (table[1:] - table[c])
    with np.errstate(invalid="ignore"):
        q = run_sine(dispatch, x) / x
    u = np.concatenate([[0.0], (q * q) * (q * q)])
    u[c] = 1.0
    total = np.sum(u)
    near = [total]
    lo = hi = total
    for _ in range(16):
        lo, hi = np.nextafter(lo, -np.inf), np.nextafter(hi, np.inf)
        near += [lo, hi]
    assert any(np.array_equal(bits(u / s), bits(window)) for s in near)


def sine_arguments(rng):
    smoothing = [
        b
        * (
            np.log10(rng.integers(1, 20000, 40000))
            - np.log10(rng.integers(1, 20000, 40000))
        )
        for b in (0.7, 40.0, 1e3, 4e4)
    ]
    k = rng.integers(0, 600000, 100000)
    near_axes = k * (np.pi / 2) * (1 + rng.uniform(-1e-12, 1e-12, k.size))
    specials = np.array(
        [0.0, 1e-310, 5e-324, 1e-20, 0.785398163397448, 1e6, 1e6 - 1e-10, 3e8]
    )
    return np.concatenate(
        [
            rng.uniform(-4, 4, 100000),
            rng.uniform(-1e6, 1e6, 100000),
            np.exp(rng.uniform(-700, 20, 100000)),
            near_axes,
            specials,
            *smoothing,
        ]
    )


def ulps_apart(a, b):
    def ordered(v):
        i = v.view(np.int64)
        return np.where(i < 0, np.int64(-(2**63)) - i, i)

    return np.abs(ordered(a) - ordered(b))


def test_the_vector_sine_is_within_one_ulp_of_libm_and_odd(bodies):
    dispatch, baseline = bodies
    x = sine_arguments(np.random.default_rng(14))
    x = np.concatenate([x, -x])
    ours = run_sine(dispatch, x)
    libm = np.array([math.sin(v) for v in x])
    assert np.max(ulps_apart(ours, libm)) <= 1
    assert np.mean(ours != libm) < 0.05  # nearly always the same double
    half = x.size // 2
    assert_same_bits(ours[half:], -ours[:half])
    assert_same_bits(run_sine(baseline, x), ours)
    special = run_sine(dispatch, np.array([math.inf, -math.inf, math.nan, -0.0]))
    assert np.all(np.isnan(special[:3])) and bits(special[3:]) == bits(np.array([-0.0]))
