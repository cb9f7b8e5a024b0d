"""RotD00/50/100 and their orientations from `_core._rotd`.

Two oracles:

* brute force: the rotated record at every sample and every whole degree,
  |x*cos + y*sin| with the products rounded separately, as NumPy's
  element-wise operations do.  The kernel visits only hull vertices, a subset
  of the samples, so each of its statistics is <= the brute-force one and
  equal to it unless a sample on (or within rounding of) the hull boundary
  was dropped.
* `reference`: a slow, obvious model of the hull algorithm (extreme
  points, polygon filter, sort, monotone chain) in Python floats, with exact
  rational arithmetic where float64 could overflow or underflow.  It must
  agree with the kernel to the bit on every input.
"""

import gzip
import math
import struct
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest
from groundmotion import _core
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

DEG_TO_RAD = 0.017453292519943295
# the C library's cos and sin, as the kernel takes them (NumPy may use its own)
COS = np.array([math.cos(k * DEG_TO_RAD) for k in range(180)])
SIN = np.array([math.sin(k * DEG_TO_RAD) for k in range(180)])
QUIET_NAN = 0x7FF8000000000000
DATA = Path(__file__).parent / "data" / "rsn8883"


def rotd(x, y):
    """`_rotd` of a single station."""
    return _core._rotd(np.asarray([x], float), np.asarray([y], float))[0]


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


def assert_same_bits(actual, expected):
    np.testing.assert_array_equal(bits(actual), bits(expected))


# ---------------------------------------------------------------------------
# Oracles


def peaks_at(xs, ys):
    """The 180 directional peaks over the given samples (largest of +0.0 and
    |x cos + y sin|), evaluated the way the kernel evaluates a vertex."""
    xs = np.asarray(xs, float)
    ys = np.asarray(ys, float)
    with np.errstate(over="ignore"):
        values = np.abs(np.multiply.outer(COS, xs) + np.multiply.outer(SIN, ys))
    return np.maximum(values.max(axis=1), 0.0)


def statistics(peaks):
    ordered = np.sort(peaks)  # peaks are never negative: plain order is total order
    with np.errstate(over="ignore"):
        median = (ordered[89] + ordered[90]) * 0.5
    return np.array([peaks.min(), median, peaks.max(),
                     float(np.argmin(peaks)), float(np.argmax(peaks))])


def brute_force(xs, ys):
    return statistics(peaks_at(xs, ys))


def _order_key(v):
    (b,) = struct.unpack("<q", struct.pack("<d", v))
    return b ^ ((b >> 63) & 0x7FFFFFFFFFFFFFFF)


def _round53(q):
    """q rounded to 53 significant bits, ties to even, exponent unbounded."""
    if q == 0:
        return Fraction(0)
    sign = -1 if q < 0 else 1
    a = abs(q)
    e = a.numerator.bit_length() - a.denominator.bit_length()
    if Fraction(2) ** e > a:
        e -= 1
    scale = Fraction(2) ** (52 - e)
    m = a * scale
    whole = m.numerator // m.denominator
    rest = m - whole
    if rest > Fraction(1, 2) or (rest == Fraction(1, 2) and whole % 2 == 1):
        whole += 1
    return sign * whole / scale


def _float_orientation(a, b, p):
    lhs = (b[0] - a[0]) * (p[1] - a[1])
    rhs = (b[1] - a[1]) * (p[0] - a[0])
    return (lhs > rhs) - (lhs < rhs)


def _exact_orientation(a, b, p):
    F = Fraction

    def diff(u, v):
        return _round53(F(u) - F(v))

    lq = _round53(diff(b[0], a[0]) * diff(p[1], a[1]))
    rq = _round53(diff(b[1], a[1]) * diff(p[0], a[0]))
    return (lq > rq) - (lq < rq)


def _is_plain(values):
    """Every |value| zero or in [2^-400, 2^510): then no difference or
    product of two differences overflows or leaves the normal range, and
    float64 arithmetic is the unbounded-exponent arithmetic."""
    a = np.abs(np.asarray(values, float))
    return bool(np.all((a == 0) | ((a >= 2.0**-400) & (a < 2.0**510))))


def reference_vertices(xs, ys):
    """Hull vertices of the trajectory.  Every orientation test rounds each
    difference and each product to 53 bits as float64 does, but with an
    unbounded exponent range (exact rationals where float64 could overflow
    or underflow)."""
    _orientation = _float_orientation if _is_plain(np.r_[xs, ys]) else _exact_orientation
    xs = [float(v) for v in xs]
    ys = [float(v) for v in ys]
    n = len(xs)
    left = top = right = bottom = 0
    for i in range(1, n):
        if xs[i] < xs[left]:
            left = i
        if xs[i] > xs[right]:
            right = i
        if ys[i] > ys[top]:
            top = i
        if ys[i] < ys[bottom]:
            bottom = i
    pt = [(xs[i], ys[i]) for i in (left, top, right, bottom)]
    q = [pt[0]]
    if pt[1] != q[0]:
        q.append(pt[1])
    if pt[2] != q[0] and (len(q) == 1 or pt[2] != pt[1]):
        q.append(pt[2])
    if all(pt[3] != c for c in q):
        q.append(pt[3])
    m = len(q)
    q.append(q[0])
    starts = [0, 0 if m == 1 else 1, min(m - 1, 2), min(m - 1, 3)]
    edges = [(q[j], q[j + 1]) for j in starts]

    candidates = []
    for p in zip(xs, ys):
        signs = [_orientation(a, b, p) for a, b in edges]
        if not (all(s > 0 for s in signs) or all(s < 0 for s in signs)):
            candidates.append(p)
    # total order, but -0.0 counted as +0.0 so that equal points end up adjacent
    candidates.sort(key=lambda p: (_order_key(p[0] + 0.0), _order_key(p[1] + 0.0)))
    pts = []
    for p in candidates:
        if not pts or p != pts[-1]:  # tuples of floats compare as numbers
            pts.append(p)
    if len(pts) < 3:
        return pts
    hull = []
    for p in pts:
        while len(hull) >= 2 and _orientation(hull[-2], hull[-1], p) <= 0:
            hull.pop()
        hull.append(p)
    lower = len(hull)
    for p in reversed(pts[:-1]):
        while len(hull) > lower and _orientation(hull[-2], hull[-1], p) <= 0:
            hull.pop()
        hull.append(p)
    hull.pop()
    return hull


def reference(xs, ys):
    v = reference_vertices(xs, ys)
    return statistics(peaks_at([p[0] for p in v], [p[1] for p in v]))


def _just_below(upper, value, tol):
    """value <= upper and at most tol below it (equal infinities pass)."""
    return value <= upper and (value == upper or upper - value <= tol)


def check_against_oracles(xs, ys, result=None):
    """Bits equal to the reference; every statistic at most rounding below
    the brute force; orientations whose brute-force peak is the reported
    value."""
    if result is None:
        result = rotd(xs, ys)
    assert_same_bits(result, reference(xs, ys))
    with np.errstate(over="ignore", invalid="ignore"):
        brute_peaks = peaks_at(xs, ys)
        brute = statistics(brute_peaks)
        # a few ulps of the largest coordinate; of the smallest subnormal
        # when the rotated values are subnormal themselves
        largest = float(np.max(np.abs(xs) + np.abs(ys)))
        tol = 16 * np.finfo(float).eps * largest + 4 * 5e-324
    for k in range(3):
        assert _just_below(brute[k], result[k], tol)
    for value, angle in ((result[0], result[3]), (result[2], result[4])):
        assert float(angle).is_integer() and 0 <= angle < 180
        assert _just_below(brute_peaks[int(angle)], value, tol)
    assert _just_below(brute[2], brute_peaks[int(result[4])], tol)
    assert brute_peaks[int(result[3])] <= brute[0] + tol
    return result


# ---------------------------------------------------------------------------
# Worked examples


def test_single_sample_three_four():
    result = rotd([3.0], [4.0])
    peaks = np.abs(3.0 * COS + 4.0 * SIN)
    assert_same_bits(result, statistics(peaks))
    assert result[4] == 53 and result[3] == 143
    assert 4.9999 < result[2] < 5.0


def test_all_zero_samples():
    assert_same_bits(rotd(np.zeros(50), np.zeros(50)), np.zeros(5))


def test_samples_on_the_x_axis():
    x = np.linspace(-2.0, 1.0, 31)
    result = check_against_oracles(x, np.zeros_like(x))
    assert result[2] == 2.0 and result[4] == 0
    assert result[3] == 90 and 0.0 < result[0] < 1e-15  # cos(90 deg) is not 0 in float64


def test_unit_components():
    one_zero = rotd([1.0], [0.0])
    assert one_zero[2] == 1.0 and one_zero[4] == 0 and one_zero[3] == 90
    assert 0.0 < one_zero[0] < 1e-15
    assert one_zero[1] == pytest.approx(1 / math.sqrt(2), rel=1e-15)
    zero_one = rotd([0.0], [1.0])
    assert zero_one[2] == 1.0 and zero_one[4] == 90
    assert zero_one[0] == 0.0 and zero_one[3] == 0


def test_same_array_for_both_components_peaks_at_45_degrees():
    w = np.random.default_rng(1).standard_normal((6, 300))
    assert np.all(_core._rotd(w, w)[:, 4] == 45)


def test_angles_are_the_c_library_values():
    """Single samples expose cos and sin of the angles that decide the
    statistics: the C library's values for k * 0.017453292519943295."""
    rng = np.random.default_rng(7)
    for _ in range(300):
        x, y = rng.standard_normal(2) * 10.0 ** rng.integers(-5, 5)
        assert_same_bits(rotd([x], [y]), brute_force([x], [y]))


# ---------------------------------------------------------------------------
# Brute force on clouds and random walks


@pytest.mark.parametrize("n", [1, 2, 3, 5, 63, 64, 65, 127, 129, 1000, 4099, 20000])
def test_random_clouds_equal_brute_force(n):
    rng = np.random.default_rng(n)
    for _ in range(3):
        x = rng.standard_normal(n) * rng.uniform(0.1, 10)
        y = rng.standard_normal(n) * rng.uniform(0.1, 10) + rng.uniform(-1, 1)
        assert_same_bits(rotd(x, y), brute_force(x, y))


def test_random_walks_and_oscillations_equal_brute_force():
    rng = np.random.default_rng(3)
    t = np.arange(5000) * 0.01
    cases = [
        (np.cumsum(rng.standard_normal(5000)), np.cumsum(rng.standard_normal(5000))),
        (np.sin(2.1 * t) * np.exp(-0.1 * t), np.cos(1.3 * t) * np.exp(-0.05 * t)),
        (np.sin(t), 0.5 * np.sin(t + 0.3)),  # a thin ellipse traced many times
    ]
    for x, y in cases:
        assert_same_bits(rotd(x, y), brute_force(x, y))


def test_batch_rows_are_independent_of_their_neighbours():
    """One work object serves every row; a row's bits never depend on the
    rows before it (rows with many hull candidates, degenerate rows, rows
    that need the careful orientation test)."""
    rng = np.random.default_rng(11)
    a = np.cumsum(rng.standard_normal((7, 3000)), axis=1)
    b = np.cumsum(rng.standard_normal((7, 3000)), axis=1)
    a[1], b[1] = 0.0, 0.0
    a[2, :] = a[2, 0]
    b[3] = a[3]
    a[4] *= 1e300
    a[5] *= 1e-310
    a[6] = rng.standard_normal(3000)
    batch = _core._rotd(a, b)
    for i in range(7):
        assert_same_bits(batch[i], rotd(a[i], b[i]))
        if i != 5:
            assert_same_bits(batch[i], brute_force(a[i], b[i]))


# ---------------------------------------------------------------------------
# Degenerate and adversarial trajectories


def _nasty_cases():
    rng = np.random.default_rng(5)
    s = np.linspace(-3.0, 2.0, 41)
    big = 1.7e308
    grid_x, grid_y = np.meshgrid(np.arange(-3.0, 4.0), np.arange(-2.0, 3.0))
    dup_x, dup_y = np.repeat(rng.integers(-4, 5, (2, 12)).astype(float), 5, axis=1)
    tiny = rng.standard_normal((2, 20)) * 1e-310
    cases = {
        "one sample": ([0.25], [-7.5]),
        "all equal": (np.full(30, 1.5), np.full(30, -2.25)),
        "two points repeated": (np.tile([1.0, -2.0], 20), np.tile([0.5, 3.0], 20)),
        "vertical line": (np.zeros(41), s),
        "diagonal x == y": (s, s),
        "anti-diagonal": (s, -s),
        "line with rounding": (s * 0.1, s * 0.3 + 0.7),
        "integer grid": (grid_x, grid_y),
        # samples exactly on the edges of the extreme-point polygon
        "diamond edges": ([-1.0, 0.0, 1.0, 0.0, -0.5, 0.5, 0.5, -0.5, -0.25, 0.75],
                          [0.0, 1.0, 0.0, -1.0, 0.5, 0.5, -0.5, -0.5, 0.75, -0.25]),
        "square with edge points": ([0.0, 4, 4, 0, 1, 2, 3, 4, 4, 0, 0, 2, 2],
                                    [0.0, 0, 4, 4, 0, 0, 0, 1, 3, 2, 1, 4, 2]),
        "signed zeros": ([0.0, -0.0, 0.0, -0.0, 1.0], [-0.0, 0.0, 1.0, 1.0, -0.0]),
        # (-0, 1) must stay a vertex although (-0, 0) and (+0, 0) sort apart
        "signed zeros around a vertex": ([-0.0, -0.0, 0.0], [0.0, 1.0, 0.0]),
        "signed zeros, mirrored": ([0.0, 0.0, -0.0, 0.0, 2.0], [-0.0, -1.0, 0.0, 3.0, 1.0]),
        "duplicates in random order": (dup_x, dup_y),
        "subnormals": tuple(rng.standard_normal((2, 40)) * 5e-320),
        "tiny and normal": (np.r_[tiny[0], 1.0], np.r_[tiny[1], -1.0]),
        "huge": tuple(rng.uniform(-1.0, 1.0, (2, 40)) * big),
        "huge line": (np.linspace(-1, 1, 9) * big, np.linspace(1, -1, 9) * big),
        "huge with tiny": ([big, -big, 0.0, 1e-300, -1e-300], [0.0, 0.0, big, 5e-324, -5e-324]),
        "overflowing peaks": ([big, 1.6e308, -big], [big, big, -1.0]),
    }
    for name, (x, y) in cases.items():
        yield name, np.ravel(np.asarray(x, float)), np.ravel(np.asarray(y, float))


@pytest.mark.parametrize("name,x,y", [pytest.param(n, x, y, id=n) for n, x, y in _nasty_cases()])
def test_nasty_trajectories(name, x, y):
    check_against_oracles(x, y)


_EXACT_HULL = [n for n, _, _ in _nasty_cases()
               if not n.startswith(("huge", "subnormals", "tiny", "line with rounding"))]


@pytest.mark.parametrize("name,x,y", [pytest.param(n, x, y, id=n) for n, x, y in _nasty_cases()
                                      if n in _EXACT_HULL])
def test_points_on_edges_and_duplicates_equal_brute_force(name, x, y):
    """On these the float hull is exact: the brute force agrees to the bit."""
    assert_same_bits(rotd(x, y), brute_force(x, y))


def test_overflowing_cross_products_keep_every_hull_vertex():
    """Seven samples near the float64 maximum.  Their orientation tests
    overflow (inf - inf); counted as "no left turn" they would lose a true
    hull vertex and leave RotD00 about 21 % and RotD50 about 3 % low."""
    x = np.array([0.46, -0.65, 0.73, 0.08, -0.40, -0.15, -0.94]) * 0.7e308
    y = np.array([-0.75, 0.34, 0.29, 0.23, -0.23, 0.99, 0.96]) * 0.7e308
    result = check_against_oracles(x, y)
    assert_same_bits(result, brute_force(x, y))
    assert_same_bits(result[:3], rotd(x * 2.0**-600, y * 2.0**-600)[:3] * 2.0**600)


_MODERATE = st.one_of(st.just(0.0), st.integers(-50, 50).map(float),
                      st.floats(-1e6, 1e6).filter(lambda v: abs(v) > 1e-50))


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(_MODERATE, _MODERATE), min_size=1, max_size=12), st.integers(0, 20))
def test_huge_trajectories_are_exact_scalings(samples, shift):
    """Scaling by a power of two changes no decision: a trajectory near the
    float64 maximum, whose cross products overflow, keeps the hull of its
    moderate copy, and its statistics are that copy's scaled back."""
    small = np.array(samples)
    big = small * 2.0 ** (1000 - shift)
    ref = rotd(small[:, 0], small[:, 1])
    got = rotd(big[:, 0], big[:, 1])
    expect = ref.copy()
    expect[:3] *= 2.0 ** (1000 - shift)
    assert_same_bits(got, expect)
    check_against_oracles(big[:, 0], big[:, 1], got)


@pytest.mark.parametrize("power",
                         [-600, -460, -420, -401, -399, -380, 480, 505, 509, 511, 520, 900])
def test_power_of_two_scaling_changes_no_decision(power):
    """Around and beyond the magnitudes where plain float64 cross products
    would overflow or underflow, the statistics scale exactly."""
    rng = np.random.default_rng(abs(power))
    x = np.cumsum(rng.standard_normal((4, 500)), axis=1)
    y = np.cumsum(rng.standard_normal((4, 500)), axis=1)
    x[1] = np.round(x[1])  # duplicates and collinear runs
    y[1] = np.round(y[1])
    x[2, ::7] = 0.0
    expected = _core._rotd(x, y)
    expected[:, :3] *= 2.0**power
    assert_same_bits(_core._rotd(x * 2.0**power, y * 2.0**power), expected)


def test_huge_random_clouds_equal_brute_force():
    rng = np.random.default_rng(17)
    for n in (5, 7, 40, 300, 5000):
        for _ in range(4):
            x = rng.uniform(-1.0, 1.0, n) * 1.7e308
            y = rng.uniform(-1.0, 1.0, n) * 1.7e308
            assert_same_bits(rotd(x, y), brute_force(x, y))


# ---------------------------------------------------------------------------
# Property tests


_SCALES = [1.0, 1e-3, 1e150, 1e300, 1e-300, 1e-315]


@st.composite
def trajectories(draw, max_size=40):
    kind = draw(st.sampled_from(["grid", "floats", "scaled", "cluster", "line"]))
    n = draw(st.integers(1, max_size))
    if kind == "grid":  # many duplicates and collinear triples
        coord = st.integers(-3, 3).map(float)
        xs = draw(st.lists(coord, min_size=n, max_size=n))
        ys = draw(st.lists(coord, min_size=n, max_size=n))
    elif kind == "floats":
        coord = st.floats(allow_nan=False, allow_infinity=False)
        xs = draw(st.lists(coord, min_size=n, max_size=n))
        ys = draw(st.lists(coord, min_size=n, max_size=n))
    elif kind == "scaled":
        scale = draw(st.sampled_from(_SCALES))
        coord = st.floats(-1.0, 1.0).map(lambda v: v * scale)
        xs = draw(st.lists(coord, min_size=n, max_size=n))
        ys = draw(st.lists(coord, min_size=n, max_size=n))
    elif kind == "cluster":  # a few ulps apart: cancellation everywhere
        base = draw(st.tuples(st.floats(-1e6, 1e6), st.floats(-1e6, 1e6)))
        ulps = st.lists(st.integers(-4, 4), min_size=n, max_size=n)
        xs = base[0] + np.array(draw(ulps), float) * np.spacing(base[0])
        ys = base[1] + np.array(draw(ulps), float) * np.spacing(base[1])
    else:  # points on a line a + t*b, rounded
        a = draw(st.tuples(st.floats(-10, 10), st.floats(-10, 10)))
        b = draw(st.tuples(st.floats(-10, 10), st.floats(-10, 10)))
        ts = draw(st.lists(st.floats(-5, 5), min_size=n, max_size=n))
        xs = [a[0] + t * b[0] for t in ts]
        ys = [a[1] + t * b[1] for t in ts]
    return np.array(xs, float), np.array(ys, float)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trajectories())
def test_random_trajectories_against_oracles(traj):
    x, y = traj
    check_against_oracles(x, y)


@settings(max_examples=100, deadline=None)
@given(trajectories(max_size=25), st.integers(2, 4))
def test_repeating_samples_changes_nothing(traj, times):
    x, y = traj
    assert_same_bits(rotd(np.repeat(x, times), np.repeat(y, times)), rotd(x, y))
    assert_same_bits(rotd(np.tile(x, times), np.tile(y, times)), rotd(x, y))


@settings(max_examples=60, deadline=None)
@given(st.integers(0, 9), st.integers(1, 300), st.integers(0, 2**32 - 1))
def test_interior_samples_change_nothing(prefix, n, seed):
    """Interior samples added in front shift every sample to another vector
    lane, another 64-sample box and another tail: the bits stay put."""
    rng = np.random.default_rng(seed)
    angle = rng.uniform(0, 2 * np.pi, n)
    radius = rng.uniform(1.0, 2.0, n)
    x = radius * np.cos(angle)
    y = radius * np.sin(angle)
    ring = np.array([[3.0, 0.0], [0.0, 3.0], [-3.0, 0.0], [0.0, -3.0]])
    x = np.r_[ring[:, 0], x]
    y = np.r_[ring[:, 1], y]
    inner = rng.uniform(-0.3, 0.3, (2, prefix))
    base = rotd(x, y)
    assert_same_bits(rotd(np.r_[inner[0], x], np.r_[inner[1], y]), base)
    assert_same_bits(rotd(np.r_[x, inner[0]], np.r_[y, inner[1]]), base)
    assert_same_bits(base, brute_force(x, y))


# ---------------------------------------------------------------------------
# Non-finite samples


@pytest.mark.parametrize("bad", [np.nan, -np.nan, np.inf, -np.inf,
                                 np.uint64(0x7FF0000000000001).view(np.float64)])
@pytest.mark.parametrize("where", ["x first", "x middle", "x last", "y first", "y last"])
def test_non_finite_sample_gives_quiet_nan_row(bad, where):
    rng = np.random.default_rng(2)
    a = rng.standard_normal((3, 200))
    b = rng.standard_normal((3, 200))
    comp, pos = {"x first": (a, 0), "x middle": (a, 99), "x last": (a, 199),
                 "y first": (b, 0), "y last": (b, 199)}[where]
    comp[1, pos] = bad
    result = _core._rotd(a, b)
    assert np.all(bits(result[1]) == QUIET_NAN)
    for i in (0, 2):
        assert_same_bits(result[i], brute_force(a[i], b[i]))


def test_non_finite_in_the_extra_samples_of_a_longer_comp_90():
    rng = np.random.default_rng(4)
    a = rng.standard_normal((2, 100))
    b = rng.standard_normal((2, 130))
    expected = _core._rotd(a, b[:, :100])
    assert_same_bits(_core._rotd(a, b), expected)  # extra samples are ignored...
    b[0, 120] = np.inf  # ...except by the screen
    result = _core._rotd(a, b)
    assert np.all(bits(result[0]) == QUIET_NAN)
    assert_same_bits(result[1], expected[1])


def test_screen_comes_before_the_length_check():
    short = np.array([[1.0, np.nan]])
    assert np.all(bits(_core._rotd(np.ones((1, 5)), short)) == QUIET_NAN)
    assert np.all(bits(_core._rotd(np.empty((1, 0)), np.array([[np.inf]]))) == QUIET_NAN)


# ---------------------------------------------------------------------------
# Failed internal checks


def _panic(fn):
    with pytest.raises(BaseException) as info:
        fn()
    exc = info.value
    assert not isinstance(exc, Exception)
    assert f"{type(exc).__module__}.{type(exc).__qualname__}" == "pyo3_runtime.PanicException"
    return str(exc)


def test_row_count_mismatch():
    message = _panic(lambda: _core._rotd(np.zeros((3, 100)), np.zeros((2, 100))))
    assert message == ("assertion `left == right` failed: Components must have the same "
                       "number of waveforms\n  left: 3\n right: 2")
    # checked before anything else is looked at
    message = _panic(lambda: _core._rotd(np.zeros((1, 0)), np.zeros((0, 0))))
    assert message.endswith("\n  left: 1\n right: 0")


@pytest.mark.parametrize("shape_0,shape_90", [((2, 0), (2, 0)), ((1, 0), (1, 4)),
                                              ((2, 10), (2, 9)), ((1, 1), (1, 0))])
def test_index_out_of_bounds(shape_0, shape_90):
    message = _panic(lambda: _core._rotd(np.ones(shape_0), np.ones(shape_90)))
    assert message == "ndarray: index out of bounds"


def test_module_still_works_after_a_panic():
    _panic(lambda: _core._rotd(np.ones((2, 3)), np.ones((2, 2))))
    assert_same_bits(rotd([3.0], [4.0]), brute_force([3.0], [4.0]))


def test_no_stations():
    for cols in (0, 7):
        out = _core._rotd(np.zeros((0, cols)), np.zeros((0, cols)))
        assert out.shape == (0, 5) and out.dtype == np.float64


# ---------------------------------------------------------------------------
# Memory layouts


def test_layouts_give_the_bits_of_contiguous_copies():
    rng = np.random.default_rng(9)
    a = np.cumsum(rng.standard_normal((5, 400)), axis=1)
    b = np.cumsum(rng.standard_normal((5, 400)), axis=1)
    expected = _core._rotd(a, b)
    assert_same_bits(_core._rotd(np.asfortranarray(a), np.asfortranarray(b)), expected)
    assert_same_bits(_core._rotd(a.T.copy().T, b), expected)
    wide_a = np.zeros((10, 1200))
    wide_a[::2, ::3] = a
    wide_b = np.zeros((5, 800))
    wide_b[:, 1::2] = b
    assert_same_bits(_core._rotd(wide_a[::2, ::3], wide_b[:, 1::2]), expected)
    reversed_a = a[::-1, ::-1]
    assert_same_bits(_core._rotd(reversed_a, b[::-1, ::-1]),
                     _core._rotd(reversed_a.copy(), b[::-1, ::-1].copy()))
    row = np.broadcast_to(a[0], (3, 400))
    assert_same_bits(_core._rotd(row, b[:3]), _core._rotd(np.ascontiguousarray(row), b[:3]))
    constant = np.broadcast_to(a[:, :1], (5, 400))  # element stride 0
    assert_same_bits(_core._rotd(b, constant), _core._rotd(b, np.ascontiguousarray(constant)))
    both = _core._rotd(a, a)
    assert_same_bits(both, _core._rotd(a, a.copy()))


def test_unaligned_rows_give_the_bits_of_aligned_copies():
    rng = np.random.default_rng(10)
    a = rng.standard_normal((3, 301))
    b = rng.standard_normal((3, 301))
    raw = np.zeros(a.nbytes + 1, np.uint8)
    shifted = np.frombuffer(raw.data, dtype=np.float64, count=a.size, offset=1).reshape(a.shape)
    assert not shifted.flags.aligned
    shifted[...] = a
    assert_same_bits(_core._rotd(shifted, b), _core._rotd(a, b))
    assert_same_bits(_core._rotd(b, shifted), _core._rotd(b, a))


# ---------------------------------------------------------------------------
# A recorded pair


def read_at2(path):
    """PEER .AT2 (gzipped): four header lines, NPTS and DT on the fourth,
    then the samples."""
    with gzip.open(path, "rt") as f:
        lines = f.read().splitlines()
    header = lines[3].replace(",", " ").split()
    npts = int(header[header.index("NPTS=") + 1])
    values = np.array(" ".join(lines[4:]).split(), dtype=float)
    assert values.size == npts
    return values


def test_recorded_pair_rsn8883():
    h1 = read_at2(DATA / "RSN8883_14383980_13849360.AT2.gz")  # 360 degrees
    h2 = read_at2(DATA / "RSN8883_14383980_13849090.AT2.gz")  # 90 degrees
    assert h1.size == h2.size == 16396
    result = rotd(h1, h2)
    brute = brute_force(h1, h2)
    assert_same_bits(result, brute)
    assert_same_bits(result, reference(h1, h2))
    # orientation 0 is the first component, exactly
    assert result[2] >= np.abs(h1).max() >= result[0]
    assert result[0] <= result[1] <= result[2]
    # both components together, in g
    assert 0.005 < result[1] < 0.5
