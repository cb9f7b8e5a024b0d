"""Slow, obvious pure-Python versions of the time-integral measures.

Python floats are IEEE doubles and Python never fuses or reorders
operations, so these give the exact bits the kernels must give.
"""

import math
import struct

ARIAS_FACTOR = 15.409511965857936
CAV_FACTOR = 9.81


def _min_num(a, b):
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return a if a < b else b


def _max_num(a, b):
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return a if a > b else b


def contribution(a0, a1, dt, f):
    lo, hi = _min_num(a0, a1), _max_num(a0, a1)
    if lo >= 0.0 or hi <= 0.0:
        return (f(a0) + f(a1)) * dt
    t = -(a0 * (dt / (a1 - a0)))
    return f(a0) * t + f(a1) * (dt - t)


def square(a):
    return a * a


def cumulative(row, dt, f):
    out = [0.0] * len(row)
    s = 0.0
    for i in range(len(row) - 1):
        s = s + contribution(float(row[i]), float(row[i + 1]), dt, f)
        out[i + 1] = s
    return [v * 0.5 for v in out]


def integral(row, dt, f):
    s = 0.0
    for i in range(len(row) - 1):
        s = s + contribution(float(row[i]), float(row[i + 1]), dt, f)
    return s * 0.5


def arias(row, dt):
    return integral(row, dt, square) * ARIAS_FACTOR


def cav(row, dt):
    return integral(row, dt, abs) * CAV_FACTOR


def _key(x):
    (bits,) = struct.unpack("<q", struct.pack("<d", x))
    return bits ^ ((bits >> 63) & 0x7FFFFFFFFFFFFFFF)


def _search(w, total, target):
    # Linear scan: the last index whose normalised value equals the target,
    # otherwise the first index above it (len(w) if none).
    t = _key(target)
    last_equal = None
    for k, v in enumerate(w):
        kv = _key(v / total)
        if kv == t:
            last_equal = k
    if last_equal is not None:
        return last_equal
    for k, v in enumerate(w):
        if _key(v / total) > t:
            return k
    return len(w)


def significant_duration(row, dt, low, high):
    n = len(row)
    if n == 0:
        return 0.0
    cum = [v * ARIAS_FACTOR for v in cumulative(row, dt, square)]
    total = cum[-1]
    if math.isnan(total) or total == math.inf:
        return math.nan
    if total < 1e-10:
        return 0.0
    i_low = _search(cum, total, low)
    j = _search(cum[i_low:], total, high) if i_low < n else 0
    return dt * float(j)
