"""Recursion coefficients of damped linear single-degree-of-freedom oscillators.

The compiled kernel ``groundmotion._core._psa`` knows no physics: it runs a
two-sample linear recursion whose eight coefficients per oscillator are built
here.  The recursion is the exact solution of the oscillator equation when the
ground acceleration varies linearly between samples (Nigam and Jennings,
1969), so no error is made beyond the piecewise-linear reading of the record.
"""

from __future__ import annotations

import math

import numpy as np

__all__ = ["oscillator_coefficients"]

# Steps of at most this many radians are summed directly as power series;
# longer steps are halved until they are this short and then doubled back.
_SERIES_STEP = 0.25
# With ||h M|| <= 0.25 * (1 + 2) the terms fall below 1e-20 of the first
# well before this many.
_SERIES_TERMS = 22


def _check_positive(name: str, value: float) -> float:
    if not (math.isfinite(value) and value > 0.0):
        raise ValueError(f"{name} must be positive and finite, got {value!r}")
    return value


def _as_float(name: str, value) -> float:
    if (
        value is None
        or isinstance(value, (str, bytes, bool, np.bool_))
        or np.ndim(value) != 0
    ):
        raise TypeError(f"{name} must be a real number, got {value!r}")
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a real number, got {value!r}") from None


def _series(h: np.ndarray, damping: float):
    """Exact one-step weights for steps h <= _SERIES_STEP, by power series.

    In the dimensionless time tau = omega * t the scaled state z = (x, v)
    obeys z' = M z + g a(tau) with M = [[0, 1], [-1, -2 zeta]] and g = (0, -1).
    Over a step of length h with a varying linearly in between,

        z1 = E z0 + B0 a0 + B1 a1,
        E  = exp(h M)                  = sum (hM)^n / n!
        B0 = h (phi1 - phi2)(hM) g     = h sum (hM)^n (n + 1) / (n + 2)!  g
        B1 = h phi2(hM) g              = h sum (hM)^n / (n + 2)!  g

    With ||hM|| <= 0.75 the terms shrink fast and no entry suffers
    cancellation beyond a few units in the last place, however small h is.
    """
    n = h.shape[0]
    # Powers P = (hM)^k, kept as four arrays over the periods.
    p00 = np.ones(n)
    p01 = np.zeros(n)
    p10 = np.zeros(n)
    p11 = np.ones(n)
    m00, m01, m10, m11 = 0.0 * h, h, -h, -2.0 * damping * h
    e = [np.zeros(n) for _ in range(4)]
    # Only the second column of a power multiplies g = (0, -1).
    b0 = [np.zeros(n), np.zeros(n)]
    b1 = [np.zeros(n), np.zeros(n)]
    weight_e = 1.0  # 1 / k!
    for k in range(_SERIES_TERMS):
        weight_1 = weight_e / ((k + 1) * (k + 2))  # 1 / (k + 2)!
        weight_0 = weight_1 * (k + 1)  # (k + 1) / (k + 2)!
        e[0] += weight_e * p00
        e[1] += weight_e * p01
        e[2] += weight_e * p10
        e[3] += weight_e * p11
        b0[0] -= weight_0 * p01
        b0[1] -= weight_0 * p11
        b1[0] -= weight_1 * p01
        b1[1] -= weight_1 * p11
        p00, p01, p10, p11 = (
            p00 * m00 + p01 * m10,
            p00 * m01 + p01 * m11,
            p10 * m00 + p11 * m10,
            p10 * m01 + p11 * m11,
        )
        weight_e /= k + 1
    b0 = [h * b0[0], h * b0[1]]
    b1 = [h * b1[0], h * b1[1]]
    return e, b0, b1


def _double(e, b0, b1):
    """Weights of a step twice as long, from those of one step.

    Two steps under a forcing linear over both have a1 = (a0 + a2) / 2:
    z2 = E^2 z0 + (E B0 + C / 2) a0 + (B1 + C / 2) a2 with C = E B1 + B0.
    """
    e00, e01, e10, e11 = e
    eb0 = (e00 * b0[0] + e01 * b0[1], e10 * b0[0] + e11 * b0[1])
    c = (e00 * b1[0] + e01 * b1[1] + b0[0], e10 * b1[0] + e11 * b1[1] + b0[1])
    new_e = [
        e00 * e00 + e01 * e10,
        e00 * e01 + e01 * e11,
        e10 * e00 + e11 * e10,
        e10 * e01 + e11 * e11,
    ]
    new_b0 = [eb0[0] + 0.5 * c[0], eb0[1] + 0.5 * c[1]]
    new_b1 = [b1[0] + 0.5 * c[0], b1[1] + 0.5 * c[1]]
    return new_e, new_b0, new_b1


def oscillator_coefficients(periods, damping, dt):
    """Recursion coefficients of damped oscillators for ``_psa``.

    Each row holds the exact one-step recursion of a linear single-degree-of-
    freedom oscillator of natural period ``T`` and damping ratio ``damping``,
    excited by a ground acceleration that varies linearly between samples
    ``dt`` apart (Nigam and Jennings, 1969).  The oscillator obeys

        u'' + 2 zeta omega u' + omega^2 u = -a(t),   omega = 2 pi / T,

    where ``u`` is the displacement relative to the ground.  The state carried
    by the recursion is scaled, ``x = omega^2 u`` and ``v = omega u'``, so the
    response ``x`` is the pseudo-acceleration: its peak is the
    pseudo-spectral acceleration (PSA), in the units of the input records
    (g in, g out).

    Parameters
    ----------
    periods : float or array_like of float, shape (n_periods,)
        Natural periods of the oscillators in seconds; each positive and
        finite.  A scalar is taken as one period.
    damping : float
        Fraction of critical damping (0.05 for 5 %), in [0, 1).
    dt : float
        Sampling interval of the records in seconds, positive and finite.

    Returns
    -------
    numpy.ndarray of float64, shape (n_periods, 8)
        One row per period (a scalar period gives one row), laid out for
        ``_psa``: the state matrix row by row ``a_xx, a_xv, a_vx, a_vv``, then
        the input matrix column by column ``b_x0, b_v0`` (weights of the
        earlier sample) and ``b_x1, b_v1`` (weights of the later sample), so
        that one step reads ``x' = a_xx x + a_xv v + b_x0 a[k] + b_x1 a[k+1]``
        and ``v' = a_vx x + a_vv v + b_v0 a[k] + b_v1 a[k+1]``.

    Raises
    ------
    ValueError
        If a period or ``dt`` is not positive and finite, if ``damping`` is
        outside [0, 1), or if ``periods`` has more than one dimension.
    TypeError
        If ``damping`` or ``dt`` is not a real number.

    Notes
    -----
    The weights are functions of the step ``h = omega dt`` in radians and of
    the damping only.  Steps up to 0.25 rad are summed as power series of the
    matrix exponential and its integrals; longer steps are halved until they
    are that short and the weights then doubled back exactly (two steps under
    a forcing linear over both), so no closed form loses digits when
    ``omega dt`` is small.  For periods from 0.01 s to 100 s and ``dt`` from
    0.001 s to 0.05 s every weight is within 1e-12 (typically 2e-14) of the
    largest weight of its matrix, and within 1e-13 of itself whenever
    ``omega dt < 1``.

    References
    ----------
    Nigam, N. C. and Jennings, P. C. (1969). Calculation of response spectra
    from strong-motion earthquake records. Bulletin of the Seismological
    Society of America, 59(2), 909-922.

    Examples
    --------
    >>> c = oscillator_coefficients([0.1, 1.0], 0.05, 0.01)
    >>> c.shape
    (2, 8)
    """
    dt = _check_positive("dt", _as_float("dt", dt))
    damping = _as_float("damping", damping)
    if not (0.0 <= damping < 1.0):
        raise ValueError(f"damping must lie in [0, 1), got {damping!r}")
    periods = np.asarray(periods, dtype=np.float64)
    if periods.ndim > 1:
        raise ValueError(
            f"periods must be a scalar or one-dimensional, got shape {periods.shape}"
        )
    periods = np.atleast_1d(periods)
    bad = ~(np.isfinite(periods) & (periods > 0.0))
    if bad.any():
        raise ValueError(
            f"periods must be positive and finite, got {periods[bad][0]!r}"
        )

    h = (2.0 * np.pi / periods) * dt
    # Number of halvings that brings each step to at most _SERIES_STEP.
    halvings = np.zeros(h.shape, dtype=np.int64)
    long_steps = h > _SERIES_STEP
    if long_steps.any():
        halvings[long_steps] = np.ceil(np.log2(h[long_steps] / _SERIES_STEP)).astype(
            np.int64
        )
        # Guard the rounding of log2 at exact powers of two.
        halvings += np.ldexp(h, -halvings) > _SERIES_STEP
    e, b0, b1 = _series(np.ldexp(h, -halvings), damping)
    for level in range(int(halvings.max(initial=0)), 0, -1):
        take = halvings >= level
        de, db0, db1 = _double(
            [v[take] for v in e], [v[take] for v in b0], [v[take] for v in b1]
        )
        for target, source in zip(e + b0 + b1, de + db0 + db1):
            target[take] = source

    coefficients = np.empty((periods.shape[0], 8))
    coefficients[:, 0:4] = np.stack(e, axis=1)
    coefficients[:, 4] = b0[0]
    coefficients[:, 5] = b0[1]
    coefficients[:, 6] = b1[0]
    coefficients[:, 7] = b1[1]
    return coefficients
