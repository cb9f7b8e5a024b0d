"""`_psa`: the eight-coefficient oscillator recursion and its nine statistics.

The oracle is a slow, obvious pure-Python recursion: Python floats are IEEE
doubles and Python never fuses or reorders operations, so it gives the exact
bits of the peaks.  The RotD columns are checked against `_rotd` run on the
oracle's responses (same bits) and against a brute-force rotation of them
(a few units in the last place).
"""

import math

import numpy as np
import pytest
from groundmotion import _core
from groundmotion.oscillator import oscillator_coefficients
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

QUIET_NAN = 0x7FF8000000000000
COPY_LATER = [0, 0, 0, 0, 0, 0, 1, 0]
COPY_EARLIER = [0, 0, 0, 0, 1, 0, 0, 0]
ACCUMULATE_LATER = [1, 0, 0, 1, 0, 0, 1, 0]
DEGREE = 0.017453292519943295


def psa(c0, c90, cv, coefficients):
    return _core._psa(
        np.asarray(c0, dtype=float),
        np.asarray(c90, dtype=float),
        np.asarray(cv, dtype=float),
        np.asarray(coefficients, dtype=float),
    )


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def assert_same_bits(actual, expected):
    assert actual.shape == expected.shape
    np.testing.assert_array_equal(bits(actual), bits(expected))


# ---------------------------------------------------------------- oracle


def reference_respond(coefficients, rows):
    """Responses, peaks and verdict of one oscillator over three rows."""
    a_xx, a_xv, a_vx, a_vv, b_x0, b_v0, b_x1, b_v1 = (float(c) for c in coefficients)
    responses, peaks, finite = [], [], True
    for row in rows:
        a = [float(s) for s in row]
        x = v = 0.0
        peak = 0.0
        response = [0.0]
        for k in range(len(a) - 1):
            x, v = (
                ((a_xx * x + a_xv * v) + b_x0 * a[k]) + b_x1 * a[k + 1],
                ((a_vx * x + a_vv * v) + b_v0 * a[k]) + b_v1 * a[k + 1],
            )
            response.append(x)
            peak = max(peak, abs(x))
        finite = finite and math.isfinite(x) and math.isfinite(v)
        responses.append(response)
        peaks.append(peak)
    return responses, peaks, finite


def reference_psa(c0, c90, cv, coefficients):
    """The whole `_psa` result, with columns 4..8 from `_rotd` on the oracle's responses."""
    c0, c90, cv = (np.asarray(c, dtype=float) for c in (c0, c90, cv))
    coefficients = np.asarray(coefficients, dtype=float)
    ns, nt = c0.shape
    out = np.zeros((ns, coefficients.shape[0], 9))
    if nt == 0:
        return out
    for p, row in enumerate(coefficients):
        for s in range(ns):
            (r0, r90, _), (p0, p90, pv), finite = reference_respond(
                row, (c0[s], c90[s], cv[s])
            )
            if not finite:
                out[s, p] = np.array([QUIET_NAN] * 9, dtype=np.uint64).view(np.float64)
                continue
            rotd = _core._rotd(np.array([r0]), np.array([r90]))[0]
            out[s, p] = [p0, p90, pv, math.sqrt(p0 * p90), *rotd]
    return out


def brute_force_rotd(x, y):
    """RotD00, RotD50, RotD100 and their orientations by rotating every sample."""
    angles = np.arange(180) * DEGREE
    x = np.asarray(x, dtype=float)[:, None]
    y = np.asarray(y, dtype=float)[:, None]
    peaks = np.abs(x * np.cos(angles)[None, :] + y * np.sin(angles)[None, :]).max(
        axis=0
    )
    ordered = np.sort(peaks)
    median = (ordered[89] + ordered[90]) * 0.5
    return (
        np.array([peaks.min(), median, peaks.max()]),
        int(peaks.argmin()),
        int(peaks.argmax()),
    )


def stable_rows(rng, n):
    """Random coefficient rows whose recursion stays bounded."""
    rows = rng.uniform(-1.0, 1.0, size=(n, 8))
    rows[:, :4] *= 0.45  # state matrix of norm below one
    return rows


# ------------------------------------------------------- defined cases


@pytest.mark.parametrize(
    "row, response, peak",
    [
        (COPY_LATER, [0, 1, -3], 3),
        (COPY_EARLIER, [0, 5, 1], 5),
        (ACCUMULATE_LATER, [0, 1, -2], 2),
        ([0] * 8, [0, 0, 0], 0),
    ],
)
def test_elementary_rows(row, response, peak):
    a = [[5.0, 1.0, -3.0]]
    out = psa(a, a, a, [row])
    np.testing.assert_array_equal(out[0, 0, :3], [peak] * 3)
    assert out[0, 0, 3] == peak
    # The horizontal trajectory runs along the diagonal through the response.
    np.testing.assert_array_equal(
        out[0, 0, 4:],
        _core._rotd(np.array([response], float), np.array([response], float))[0],
    )
    if peak:
        assert out[0, 0, 8] == 45.0
        assert out[0, 0, 6] == pytest.approx(peak * math.sqrt(2.0), rel=1e-15)


def test_first_sample_enters_only_through_the_first_step():
    out = psa([[9, 2, -8]], [[1, 0.5, 2]], [[-6, 1, 0]], [COPY_LATER])
    np.testing.assert_array_equal(out[0, 0, :4], [8.0, 2.0, 1.0, 4.0])
    np.testing.assert_array_equal(
        out[0, 0, 4:],
        _core._rotd(np.array([[0.0, 2, -8]]), np.array([[0.0, 0.5, 2]]))[0],
    )
    values, k_min, k_max = brute_force_rotd([0, 2, -8], [0, 0.5, 2])
    np.testing.assert_allclose(out[0, 0, 4:7], values, rtol=1e-14)
    assert (out[0, 0, 7], out[0, 0, 8]) == (k_min, k_max)


def test_geometric_mean_is_the_rounded_root_of_the_rounded_product():
    rng = np.random.default_rng(7)
    c0, c90 = rng.normal(size=(2, 5, 300))
    out = psa(
        c0, c90, c0, oscillator_coefficients([0.05, 0.3, 1.0, 2.0, 7.0], 0.05, 0.01)
    )
    np.testing.assert_array_equal(out[..., 3], np.sqrt(out[..., 0] * out[..., 1]))
    np.testing.assert_array_equal(out[..., 7:], np.round(out[..., 7:]))
    assert ((out[..., 7:] >= 0) & (out[..., 7:] <= 179)).all()
    assert (out[..., 4] <= out[..., 5]).all() and (out[..., 5] <= out[..., 6]).all()


def test_no_samples_gives_zeros_whatever_the_coefficients():
    coefficients = np.full((3, 8), np.nan)
    out = psa(np.zeros((4, 0)), np.zeros((4, 0)), np.zeros((4, 0)), coefficients)
    assert out.shape == (4, 3, 9)
    assert not out.any()


def test_one_sample_gives_zeros_even_with_nan():
    c = np.array([[np.nan], [np.inf], [3.0]])
    coefficients = np.vstack(
        [np.full((5, 8), np.nan), stable_rows(np.random.default_rng(1), 2)]
    )
    out = psa(c, c[::-1], c, coefficients)
    assert out.shape == (3, 7, 9)
    assert_same_bits(out, np.zeros((3, 7, 9)))


@pytest.mark.parametrize("ns, n_periods", [(0, 5), (3, 0), (0, 0)])
def test_empty_batches(ns, n_periods):
    c = np.ones((ns, 50))
    out = psa(c, c, c, np.ones((n_periods, 8)))
    assert out.shape == (ns, n_periods, 9)
    assert out.dtype == np.float64 and out.flags.c_contiguous


@pytest.mark.parametrize("shape, n_periods", [((0, 10**12), 111), ((2, 10**12), 0)])
def test_nothing_to_compute_makes_no_working_storage(shape, n_periods):
    # Broadcast views: no memory behind the huge sample axis.  Working storage
    # sized by nt would be far beyond any machine.
    c = np.broadcast_to(np.zeros((shape[0], 1)), shape)
    out = _core._psa(c, c, c, np.ones((n_periods, 8)))
    assert out.shape == (shape[0], n_periods, 9)


def test_nan_in_a_vertical_row_voids_that_station_only():
    rng = np.random.default_rng(3)
    c0, c90, cv = rng.normal(size=(3, 4, 64))
    cv[2, 40] = np.nan
    coefficients = np.vstack(
        [oscillator_coefficients(np.geomspace(0.05, 3, 6), 0.05, 0.01), [0] * 8]
    )
    out = psa(c0, c90, cv, coefficients)
    assert (bits(out[2]) == QUIET_NAN).all()
    assert not np.isnan(out[[0, 1, 3]]).any()
    clean = psa(c0[[0, 1, 3]], c90[[0, 1, 3]], cv[[0, 1, 3]], coefficients)
    assert_same_bits(out[[0, 1, 3]], clean)


@pytest.mark.parametrize(
    "where, value",
    [("c0", np.inf), ("c90", -np.inf), ("c90", np.nan), ("c0_first", np.nan)],
)
def test_non_finite_samples_void_every_period(where, value):
    c0, c90, cv = np.random.default_rng(5).normal(size=(3, 2, 20))
    if where == "c0_first":
        c0[1, 0] = value  # reaches the state through the first step only
    else:
        {"c0": c0, "c90": c90}[where][1, 19] = value  # the last sample
    out = psa(c0, c90, cv, stable_rows(np.random.default_rng(0), 6))
    assert (bits(out[1]) == QUIET_NAN).all()
    assert not np.isnan(out[0]).any()


def test_non_finite_coefficient_voids_its_period_only():
    coefficients = oscillator_coefficients(np.geomspace(0.05, 3, 9), 0.05, 0.01)
    coefficients[2, 3] = np.nan  # a lane of a vector group
    coefficients[8, 0] = np.inf  # a period computed alone
    c0, c90, cv = np.random.default_rng(9).normal(size=(3, 3, 80))
    out = psa(c0, c90, cv, coefficients)
    assert (bits(out[:, [2, 8]]) == QUIET_NAN).all()
    assert not np.isnan(np.delete(out, [2, 8], axis=1)).any()


def test_growing_recursion_overflows_to_a_nan_row():
    a = np.ones((1, 1100))
    out = psa(a, a, a, [[2, 0, 0, 0, 0, 0, 1, 0]] * 5)  # doubles at every step
    assert (bits(out) == QUIET_NAN).all()
    short = psa(a[:, :100], a[:, :100], a[:, :100], [[2, 0, 0, 0, 0, 0, 1, 0]])
    assert short[0, 0, 0] == 2.0**99 - 1


def test_shape_checks():
    good = np.zeros((2, 100))
    with pytest.raises(BaseException) as info:
        _core._psa(good, good, np.zeros((2, 99)), np.zeros((3, 8)))
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    assert str(info.value) == "components must have matching shapes"
    # The shape rule is reported even when the coefficients are wrong too.
    for c0, c90, cv in [
        (np.zeros((3, 100)), good, good),
        (good, np.zeros((2, 101)), good),
    ]:
        with pytest.raises(
            BaseException, match="^components must have matching shapes$"
        ):
            _core._psa(c0, c90, cv, np.zeros((3, 7)))
    for n, cols in [(0, 7), (4, 9), (1, 0)]:
        with pytest.raises(BaseException) as info:
            _core._psa(good, good, good, np.zeros((n, cols)))
        assert str(info.value) == (
            "assertion `left == right` failed: coefficients must have 8 columns\n"
            f"  left: {cols}\n right: 8"
        )
    # The module stays usable.
    assert psa(good, good, good, np.zeros((1, 8))).shape == (2, 1, 9)


# ------------------------------------------------- against the oracle


@pytest.mark.parametrize("seed", range(4))
def test_matches_the_oracle_bit_for_bit(seed):
    rng = np.random.default_rng(seed)
    ns, nt = 3, int(rng.integers(2, 160))
    c0, c90, cv = rng.normal(size=(3, ns, nt)) * rng.choice([1e-3, 1.0, 50.0])
    coefficients = np.vstack(
        [
            stable_rows(rng, 6),
            oscillator_coefficients(
                rng.uniform(0.02, 5.0, 5), rng.uniform(0, 0.3), 0.01
            ),
        ]
    )
    rng.shuffle(coefficients)
    out = psa(c0, c90, cv, coefficients)
    assert_same_bits(out, reference_psa(c0, c90, cv, coefficients))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    data=st.data(),
    ns=st.integers(0, 3),
    nt=st.integers(0, 12),
    n_periods=st.integers(0, 9),
)
def test_matches_the_oracle_for_any_values(data, ns, nt, n_periods):
    values = st.floats(allow_nan=True, allow_infinity=True, width=64)
    comps = [
        data.draw(hnp.arrays(np.float64, (ns, nt), elements=values)) for _ in range(3)
    ]
    coefficients = data.draw(hnp.arrays(np.float64, (n_periods, 8), elements=values))
    out = psa(*comps, coefficients)
    assert_same_bits(out, reference_psa(*comps, coefficients))


def test_rotd_columns_match_brute_force_rotation_of_the_responses():
    rng = np.random.default_rng(11)
    c0, c90, cv = rng.normal(size=(3, 2, 400))
    coefficients = oscillator_coefficients([0.03, 0.1, 0.25, 0.6, 1.5, 4.0], 0.05, 0.01)
    out = psa(c0, c90, cv, coefficients)
    for s in range(2):
        for p, row in enumerate(coefficients):
            (r0, r90, _), _, _ = reference_respond(row, (c0[s], c90[s], cv[s]))
            values, k_min, k_max = brute_force_rotd(r0, r90)
            np.testing.assert_allclose(out[s, p, 4:7], values, rtol=4e-16 * 8, atol=0)
            assert (out[s, p, 7], out[s, p, 8]) == (k_min, k_max)


# --------------------------------------------------- batch invariance


def test_a_period_gives_the_same_bits_in_any_batch():
    """Periods run four at a time in vector lanes, the rest one at a time;
    where a period lands must not change a single bit."""
    rng = np.random.default_rng(21)
    c0, c90, cv = rng.normal(size=(3, 3, 700))
    coefficients = oscillator_coefficients(np.geomspace(0.02, 8.0, 11), 0.05, 0.005)
    whole = psa(c0, c90, cv, coefficients)
    for p in range(len(coefficients)):
        alone = psa(c0, c90, cv, coefficients[p : p + 1])
        assert_same_bits(alone[:, 0], whole[:, p])
    for shift in (1, 2, 3, 5):
        order = np.roll(np.arange(11), shift)
        assert_same_bits(psa(c0, c90, cv, coefficients[order]), whole[:, order])
    # A station alone, or among others, gives the same bits too.
    assert_same_bits(psa(c0[1:2], c90[1:2], cv[1:2], coefficients), whole[1:2])


def test_strided_inputs_match_contiguous_copies():
    rng = np.random.default_rng(31)
    big = rng.normal(size=(3, 8, 240))
    coefficients = oscillator_coefficients(np.geomspace(0.04, 3.0, 7), 0.05, 0.01)
    expected = psa(
        big[0, ::2, ::3], big[1, ::2, ::3].copy(), big[2, ::2, ::3].copy(), coefficients
    )

    c0 = big[0, ::2, ::3]  # gaps in both axes
    c90 = np.asfortranarray(big[1, ::2, ::3])
    # Negative strides in both axes over the same values.
    cv = np.ascontiguousarray(big[2, ::2, ::3][::-1, ::-1])[::-1, ::-1]
    assert cv.strides[0] < 0 and cv.strides[1] < 0
    coef = np.repeat(coefficients, 2, axis=0)[::2]  # rows two apart
    assert_same_bits(_core._psa(c0, c90, cv, coef), expected)
    assert_same_bits(_core._psa(c0, c90, cv, np.asfortranarray(coefficients)), expected)
    transposed = np.ascontiguousarray(big[2, ::2, ::3].T).T
    assert_same_bits(_core._psa(c0, c90, transposed, coefficients), expected)


def test_broadcast_inputs():
    rng = np.random.default_rng(41)
    row = rng.normal(size=300)
    coefficients = oscillator_coefficients([0.1, 0.5, 1.0, 2.0, 3.0], 0.05, 0.01)
    c = np.broadcast_to(row, (4, 300))  # zero stride between stations
    out = _core._psa(c, c, c, np.broadcast_to(coefficients[2], (5, 8)))
    expected = psa(row[None], row[None], row[None], coefficients[2:3])
    assert_same_bits(out, np.broadcast_to(expected, (4, 5, 9)))
    # One constant value along the sample axis (zero stride) is a step input.
    step = np.broadcast_to(np.float64(1.5), (2, 50))
    full = np.full((2, 50), 1.5)
    assert_same_bits(
        _core._psa(step, step, step, coefficients), psa(full, full, full, coefficients)
    )
