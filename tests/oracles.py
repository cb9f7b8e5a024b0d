"""Slow, obvious references for every kernel, written from the formulas.

Python floats are IEEE doubles and Python never fuses or reorders operations,
so where a reference runs in Python floats it gives the exact bits the kernel
must give.  Keep these slow and plain: they are the yardstick, not code to
optimise.
"""

import math
import struct
from fractions import Fraction

import numpy as np

ARIAS_FACTOR = 15.409511965857936  # pi / (2 g) with accelerations in g
CAV_FACTOR = 9.81


# ----------------------------------------------------------- time integrals


def _min_num(a, b):
    return b if math.isnan(a) else a if math.isnan(b) else min(a, b)


def _max_num(a, b):
    return b if math.isnan(a) else a if math.isnan(b) else max(a, b)


def contribution(a0, a1, dt, f):
    """Twice the trapezoid over [a0, a1], split where the line crosses zero."""
    if _min_num(a0, a1) >= 0.0 or _max_num(a0, a1) <= 0.0:
        return (f(a0) + f(a1)) * dt
    t = -(a0 * (dt / (a1 - a0)))
    return f(a0) * t + f(a1) * (dt - t)


def cumulative(row, dt, f):
    out, s = [0.0], 0.0
    for a0, a1 in zip(row, row[1:]):
        s = s + contribution(float(a0), float(a1), dt, f)
        out.append(s)
    return [v * 0.5 for v in out]


def arias(row, dt):
    return cumulative(list(row), dt, lambda a: a * a)[-1] * ARIAS_FACTOR if len(row) else 0.0


def cav(row, dt):
    return cumulative(list(row), dt, abs)[-1] * CAV_FACTOR if len(row) else 0.0


def _key(x):
    (b,) = struct.unpack("<q", struct.pack("<d", x))
    return b ^ ((b >> 63) & 0x7FFFFFFFFFFFFFFF)  # total order of doubles


def _search(w, total, target):
    """The last index whose normalised value equals the target, else the
    first above it (len(w) if none), in the total order of doubles."""
    keys = [_key(v / total) for v in w]
    equal = [k for k, v in enumerate(keys) if v == _key(target)]
    if equal:
        return equal[-1]
    return next((k for k, v in enumerate(keys) if v > _key(target)), len(w))


def significant_duration(row, dt, low, high):
    if len(row) == 0:
        return 0.0
    cum = [v * ARIAS_FACTOR for v in cumulative(list(row), dt, lambda a: a * a)]
    total = cum[-1]
    if math.isnan(total) or total == math.inf:
        return math.nan
    if total < 1e-10:
        return 0.0
    i_low = _search(cum, total, low)
    return dt * float(_search(cum[i_low:], total, high) if i_low < len(row) else 0)


def per_row(fn, batch, *args):
    return [fn([float(v) for v in row], *args) for row in batch]


# ----------------------------------------------------------- RotD

DEGREE = 0.017453292519943295
COS = np.array([math.cos(k * DEGREE) for k in range(180)])  # the C library's values
SIN = np.array([math.sin(k * DEGREE) for k in range(180)])


def peaks_at(xs, ys):
    """The 180 directional peaks max(+0, |x cos + y sin|), products rounded apart."""
    with np.errstate(over="ignore", invalid="ignore"):
        v = np.abs(np.multiply.outer(COS, np.asarray(xs, float)) + np.multiply.outer(SIN, np.asarray(ys, float)))
    return np.maximum(v.max(axis=1, initial=0.0), 0.0)


def statistics(peaks):
    ordered = np.sort(peaks)
    a, b = ordered[89], ordered[90]
    with np.errstate(over="ignore"):
        median = (a + b) * 0.5
    if median == np.inf and b < np.inf:  # the sum overflows, the mean does not
        median = a * 0.5 + b * 0.5
    return np.array([peaks.min(), median, peaks.max(), float(np.argmin(peaks)), float(np.argmax(peaks))])


def brute_rotd(xs, ys):
    """RotD00, RotD50, RotD100 and their first orientations, every sample rotated."""
    return statistics(peaks_at(xs, ys))


def _round53(q):
    """q to 53 significant bits, ties to even, with an unbounded exponent."""
    if q == 0:
        return Fraction(0)
    a = abs(q)
    e = a.numerator.bit_length() - a.denominator.bit_length()
    e -= Fraction(2) ** e > a
    m = a * Fraction(2) ** (52 - e)
    whole, rest = divmod(m.numerator, m.denominator)
    whole += 2 * rest > m.denominator or (2 * rest == m.denominator and whole % 2)
    return (1 if q > 0 else -1) * whole / Fraction(2) ** (52 - e)


def _orientation(a, b, p, exact):
    if exact:
        d = [_round53(Fraction(u) - Fraction(v)) for u, v in ((b[0], a[0]), (p[1], a[1]), (b[1], a[1]), (p[0], a[0]))]
        lhs, rhs = _round53(d[0] * d[1]), _round53(d[2] * d[3])
    else:
        lhs, rhs = (b[0] - a[0]) * (p[1] - a[1]), (b[1] - a[1]) * (p[0] - a[0])
    return (lhs > rhs) - (lhs < rhs)


def hull_rotd(xs, ys):
    """RotD from the convex hull of the trajectory, every orientation test
    rounded as float64 rounds but with an unbounded exponent (exact
    rationals wherever float64 could overflow or underflow)."""
    mags = np.abs(np.r_[xs, ys])
    exact = not np.all((mags == 0) | ((mags >= 2.0**-400) & (mags < 2.0**510)))
    pts = sorted({(float(x) + 0.0, float(y) + 0.0) for x, y in zip(xs, ys)},
                 key=lambda p: (_key(p[0]), _key(p[1])))
    hull = []
    for chain in (pts, pts[::-1]):
        start = len(hull)
        for p in chain:
            while len(hull) >= start + 2 and _orientation(hull[-2], hull[-1], p, exact) <= 0:
                hull.pop()
            hull.append(p)
        hull.pop()
    hull = hull or pts
    return statistics(peaks_at([p[0] for p in hull], [p[1] for p in hull]))


# ----------------------------------------------------------- oscillators


def respond(coefficients, row):
    """Response x after every step and the final state, from rest."""
    a_xx, a_xv, a_vx, a_vv, b_x0, b_v0, b_x1, b_v1 = (float(c) for c in coefficients)
    a = [float(s) for s in row]
    x = v = 0.0
    out = [0.0]
    for k in range(len(a) - 1):
        x, v = (((a_xx * x + a_xv * v) + b_x0 * a[k]) + b_x1 * a[k + 1],
                ((a_vx * x + a_vv * v) + b_v0 * a[k]) + b_v1 * a[k + 1])
        out.append(x)
    return out, math.isfinite(x) and math.isfinite(v)


def psa(c0, c90, cv, coefficients, rotd):
    """The whole `_psa` result; the RotD columns from `rotd` on the responses."""
    ns, nt = c0.shape
    out = np.zeros((ns, len(coefficients), 9))
    for p, row in enumerate(coefficients):
        for s in range(ns if nt else 0):
            runs = [respond(row, c[s]) for c in (c0, c90, cv)]
            if not all(ok for _, ok in runs):
                out[s, p] = np.full(9, 0x7FF8000000000000, np.uint64).view(np.float64)
                continue
            peaks = [max(map(abs, r)) for r, _ in runs]
            out[s, p] = [*peaks, math.sqrt(peaks[0] * peaks[1]), *rotd(runs[0][0], runs[1][0])]
    return out


def exact_coefficients(period, damping, dt, mp):
    """The eight weights from the exponential of the augmented system, in
    mpmath.  In tau = omega t, (x, v) = (omega^2 u, omega u') obeys x' = v,
    v' = -x - 2 zeta v - a; appending a and its slope as states gives the
    exact response to a ramp of a over one step."""
    h = 2 * mp.pi / mp.mpf(period) * mp.mpf(dt)
    z = mp.mpf(damping)
    e = mp.expm(mp.matrix([[0, h, 0, 0], [-h, -2 * z * h, -h, 0], [0, 0, 0, 1], [0, 0, 0, 0]]))
    values = [e[0, 0], e[0, 1], e[1, 0], e[1, 1], e[0, 2] - e[0, 3], e[1, 2] - e[1, 3], e[0, 3], e[1, 3]]
    return np.array([float(v) for v in values]), float(h)


# ----------------------------------------------------------- Konno-Ohmachi


def ko_window(n, c, b, table=None):
    """The normalised window about bin c: (sin x / x)^4 with x = b (log10 i -
    log10 c), 1 at the centre, 0 at bin 0, divided by its sum."""
    w = np.zeros(n)
    if c == 0:
        w[0] = 1.0
        return w
    table = table or [math.log10(i) if i else -math.inf for i in range(n)]
    for i in range(1, n):
        x = b * (table[i] - table[c])
        try:
            q = math.sin(x) / x
        except (ZeroDivisionError, ValueError):
            q = math.nan
        w[i] = (q * q) * (q * q)
    w[c] = 1.0
    return w / w.sum()


def ko_matrix(n, b):
    table = [math.log10(i) if i else -math.inf for i in range(n)]
    return np.array([ko_window(n, c, b, table) for c in range(n)]).reshape(n, n)


# ----------------------------------------------------------- single-component spectra


def exact_spectra(row, dt, period, damping):
    """Peaks of |u| (cm), |u'| (cm/s) and |u'' + a| (g) at the samples, from
    rest, for u'' + 2 zeta w u' + w^2 u = -a(t) with a (in g) linear between
    samples: each step is the matrix exponential of the system in the
    physical state (u, u', a, da/dt)."""
    from scipy.linalg import expm

    w, z = 2 * math.pi / period, damping
    m = np.array([[0, 1, 0, 0], [-w * w, -2 * z * w, -1, 0], [0, 0, 0, 1], [0, 0, 0, 0]], float)
    e = expm(m * dt)
    u = du = 0.0
    peaks = [0.0, 0.0, 0.0]
    for a0, a1 in zip(row, row[1:]):
        u, du = (e[:2] @ np.array([u, du, a0, (a1 - a0) / dt]))
        total = -(w * w * u + 2 * z * w * du)  # u'' + a
        peaks = [max(p, abs(q)) for p, q in zip(peaks, (u, du, total))]
    return np.array([peaks[0] * 980.665, peaks[1] * 980.665, peaks[2]])


def substepped_peaks(coefficients, row, k):
    """Peaks of |x|, |v| and |x + c v| (c the ninth coefficient) of the plain
    recursion over the record interpolated to k points per sample interval,
    built in full: a0 + (a1 - a0) * (j / k) for j = 0 .. k - 1 of each
    interval, so without the last sample when k > 1."""
    a = np.asarray(row, float)
    if k > 1:
        fine = a[:-1, None] + (a[1:] - a[:-1])[:, None] * (np.arange(k) / k)
        fine[:, 0] = a[:-1]
        a = fine.ravel()
    a_xx, a_xv, a_vx, a_vv, b_x0, b_v0, b_x1, b_v1, c = (float(v) for v in coefficients[:9])
    x = v = 0.0
    peaks = [0.0, 0.0, 0.0]
    for e, l in zip(a.tolist(), a[1:].tolist()):
        x, v = (((a_xx * x + a_xv * v) + b_x0 * e) + b_x1 * l,
                ((a_vx * x + a_vv * v) + b_v0 * e) + b_v1 * l)
        peaks = [max(p, abs(q)) for p, q in zip(peaks, (x, v, x + c * v))]
    return np.array(peaks)
