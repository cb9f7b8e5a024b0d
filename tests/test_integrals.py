"""Arias intensity, cumulative absolute velocity and significant duration
against slow pure-Python references, bit for bit."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import reference as ref
from groundmotion import _core


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


def assert_same_bits(got, expect):
    got = np.asarray(got, dtype=np.float64)
    expect = np.asarray(expect, dtype=np.float64)
    same = (bits(got) == bits(expect)) | (np.isnan(got) & np.isnan(expect))
    assert same.all(), (got[~same], expect[~same])


def reference_batch(batch, fn, *args):
    return [fn(list(map(float, row)), *args) for row in batch]


def wavy(rng, ns, nt):
    """Acceleration-like rows: smooth, sign-changing, with quiet stretches."""
    t = np.arange(nt) * 0.01
    rows = []
    for _ in range(ns):
        env = np.exp(-((t - rng.uniform(0, t[-1] + 0.01)) ** 2) / 2.0)
        rows.append(env * np.sin(2 * np.pi * rng.uniform(0.5, 8) * t) * rng.uniform(0.01, 1.0))
    out = np.array(rows).reshape(ns, nt)
    out[:, : nt // 10] = 0.0  # quiet onset: exact zeros touch the sign test
    return out


@pytest.mark.parametrize("ns, nt", [(1, 1), (3, 2), (1, 257), (8, 300), (9, 513), (21, 100)])
def test_total_integrals_match_the_reference(ns, nt):
    rng = np.random.default_rng(ns * 1000 + nt)
    batch = np.concatenate([wavy(rng, ns, nt), rng.standard_normal((ns, nt))])
    for dt in (0.01, 0.005, 1.0):
        assert_same_bits(_core._arias_intensity(batch, dt), reference_batch(batch, ref.arias, dt))
        assert_same_bits(_core._cav(batch, dt), reference_batch(batch, ref.cav, dt))


@pytest.mark.parametrize("ns, nt", [(1, 3), (8, 300), (11, 700), (17, 64)])
def test_duration_matches_the_reference(ns, nt):
    rng = np.random.default_rng(ns + 7 * nt)
    batch = wavy(rng, ns, nt)
    for low, high in [(0.05, 0.95), (0.05, 0.75), (0.2, 0.8), (0.0, 1.0), (0.95, 0.05)]:
        got = _core._significant_duration(batch, 0.01, low, high)
        assert_same_bits(got, reference_batch(batch, ref.significant_duration, 0.01, low, high))


finite = st.floats(-1e3, 1e3, allow_nan=False, allow_infinity=False, allow_subnormal=True)
sample = st.one_of(finite, st.sampled_from([0.0, -0.0, 1.0, -1.0, 5e-324, float("nan")]))


@settings(max_examples=150, deadline=None)
@given(
    hnp.arrays(np.float64, hnp.array_shapes(min_dims=2, max_dims=2, max_side=20), elements=sample),
    st.sampled_from([0.01, 0.02, 1.0, 0.0, -0.01, 3.5]),
)
def test_random_batches_bit_exact(batch, dt):
    assert_same_bits(_core._arias_intensity(batch, dt), reference_batch(batch, ref.arias, dt))
    assert_same_bits(_core._cav(batch, dt), reference_batch(batch, ref.cav, dt))
    for low, high in [(0.05, 0.95), (0.5, 1.0), (-0.0, 1.0)]:
        assert_same_bits(
            _core._significant_duration(batch, dt, low, high),
            reference_batch(batch, ref.significant_duration, dt, low, high),
        )


def test_vector_path_matches_single_rows():
    # Full groups of rows take the vector path, the rest and single rows the
    # scalar one: every row must come out the same either way.
    rng = np.random.default_rng(3)
    batch = np.concatenate([wavy(rng, 20, 1000), rng.standard_normal((13, 1000)) * 1e-3])
    batch[4, 17] = np.nan
    batch[9, 600] = np.inf
    for fn, args in [
        (_core._arias_intensity, (0.01,)),
        (_core._cav, (0.01,)),
        (_core._significant_duration, (0.01, 0.05, 0.95)),
    ]:
        whole = fn(batch, *args)
        alone = np.array([fn(batch[i : i + 1], *args)[0] for i in range(len(batch))])
        assert_same_bits(whole, alone)
        assert_same_bits(fn(np.asfortranarray(batch), *args), whole)
        assert_same_bits(fn(batch[::-1], *args)[::-1], whole)


def test_worked_examples():
    cav = _core._cav(np.array([[1.0, -1.0], [1.0, 1.0], [0.0, -2.0]]), 1.0)
    assert list(cav) == [9.81 / 2, 9.81, 9.81]
    assert _core._arias_intensity(np.array([[1.0, 1.0]]), 1.0)[0] == 15.409511965857936
    # nt = 0 and nt = 1 give zeros, ns = 0 an empty result
    for fn in (_core._arias_intensity, _core._cav):
        assert list(fn(np.zeros((3, 0)), 1.0)) == [0.0] * 3
        assert list(fn(np.full((2, 1), np.nan), 1.0)) == [0.0] * 2
        assert fn(np.zeros((0, 10**6))[:, ::1], 1.0).shape == (0,)
    w = np.random.default_rng(0).standard_normal((5, 40))
    assert_same_bits(_core._cav(w, -0.01), -_core._cav(w, 0.01))
    assert list(_core._cav(w, 0.0)) == [0.0] * 5

    dur = _core._significant_duration
    assert dur(np.array([[0.0, 1, 1, 0]]), 1.0, 0.05, 0.95)[0] == 2.0
    assert dur(np.array([[0.0, 1, 0, 0, 1, 0]]), 1.0, 0.5, 1.0)[0] == 2.0
    assert dur(np.array([[0.0, 0, 0, 1, 0]]), 0.01, 0.0, 1.0)[0] == 0.02
    assert dur(np.array([[0.0, 1, 1, 0]]), 1.0, 0.95, 0.05)[0] == 0.0
    assert list(dur(np.zeros((2, 0)), 1.0, 0.05, 0.95)) == [0.0, 0.0]
    assert list(dur(np.ones((2, 5)), -1.0, 0.05, 0.95)) == [0.0, 0.0]
    nan = dur(np.array([[0.0, np.nan, 1.0]]), 1.0, 0.05, 0.95)[0]
    assert bits(nan) == 0x7FF8000000000000


def test_overflowing_total_gives_nan_not_a_platform_dependent_duration():
    # The running Arias intensity overflows to +inf; inf / inf has no
    # portable sign, so the duration is reported as NaN.
    row = np.full((1, 50), 1e160)
    assert np.isinf(_core._arias_intensity(row, 1.0)[0])
    got = _core._significant_duration(row, 1.0, 0.05, 0.95)[0]
    assert bits(got) == 0x7FF8000000000000
    assert math.isnan(ref.significant_duration(list(row[0]), 1.0, 0.05, 0.95))
    # a total of -inf (a negative dt) is below the minimum total, as for any
    # negative dt
    assert _core._significant_duration(row, -1.0, 0.05, 0.95)[0] == 0.0
    assert _core._significant_duration(np.ones((9, 3)), -np.inf, 0.05, 0.95).tolist() == [0.0] * 9
    assert _core._significant_duration(np.asfortranarray(np.full((9, 50), 1e160)), -1.0, 0.05, 0.95).tolist() == [0.0] * 9


targets = st.sampled_from([0.0, -0.0, 0.05, 0.25, 0.5, 0.75, 0.95, 1.0, 1.5, -0.5,
                           float("nan"), -float("nan"), float("inf")])


@settings(max_examples=150, deadline=None)
@given(
    hnp.arrays(np.float64, st.tuples(st.integers(8, 24), st.integers(2, 90)),
               elements=st.sampled_from([0.0, 0.0, 0.0, 1.0, -1.0, 2.0, 0.5, 1e-9, np.nan, 1e200])),
    st.sampled_from([0.01, 1.0, 0.0, -1.0]),
    targets,
    targets,
)
def test_fortran_batches_find_the_same_thresholds(batch, dt, low, high):
    # Rows adjacent in memory take their own path (two sweeps, no cumulative
    # array); coarse values make exact ties with the targets common.
    expect = reference_batch(batch, ref.significant_duration, dt, low, high)
    assert_same_bits(_core._significant_duration(np.asfortranarray(batch), dt, low, high), expect)
    assert_same_bits(_core._significant_duration(batch, dt, low, high), expect)
