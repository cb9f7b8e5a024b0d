"""Arias intensity, CAV and significant duration against the slow references
in oracles.py, bit for bit."""

import numpy as np
import oracles as ref
import pytest
from conftest import assert_same_bits, bits, examples
from groundmotion import _core
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

THRESHOLDS = [(0.05, 0.95), (0.05, 0.75), (0.2, 0.8), (0.0, 1.0), (0.95, 0.05), (-0.0, 1.0)]


def wavy(rng, ns, nt):
    """Acceleration-like rows: smooth, sign-changing, a quiet onset of exact zeros."""
    t = np.arange(nt) * 0.01
    env = np.exp(-((t - rng.uniform(0, t[-1] + 0.01, (ns, 1))) ** 2) / 2.0)
    out = env * np.sin(2 * np.pi * rng.uniform(0.5, 8, (ns, 1)) * t) * rng.uniform(0.01, 1.0, (ns, 1))
    out[:, : nt // 10] = 0.0
    return out


@pytest.mark.parametrize("ns, nt", [(1, 1), (3, 2), (1, 257), (8, 300), (9, 513), (21, 100)])
def test_batches_match_the_reference_and_each_row_alone(ns, nt):
    # Full groups of rows take the vector path, the rest and single rows the
    # scalar one: every row must come out as the reference has it.
    rng = np.random.default_rng(ns * 1000 + nt)
    batch = np.concatenate([wavy(rng, ns, nt), rng.standard_normal((ns, nt)) * 1e-3])
    batch[-1, nt // 2] = np.nan
    for dt in (0.01, 1.0):
        for fn, oracle in ((_core._arias_intensity, ref.arias), (_core._cav, ref.cav)):
            want = ref.per_row(oracle, batch, dt)
            assert_same_bits(fn(batch, dt), want, any_nan=True)
            assert_same_bits([fn(batch[i : i + 1], dt)[0] for i in range(len(batch))], want, any_nan=True)
    for low, high in THRESHOLDS:
        want = ref.per_row(ref.significant_duration, batch, 0.01, low, high)
        assert_same_bits(_core._significant_duration(batch, 0.01, low, high), want, any_nan=True)


COARSE = [0.0, 0.0, 0.0, 1.0, -1.0, 2.0, 0.5, 1e-9, -0.0, 5e-324, np.nan, 1e200]
TARGETS = [0.0, -0.0, 0.05, 0.25, 0.5, 0.75, 0.95, 1.0, 1.5, -0.5, np.nan, -np.nan, np.inf]


@settings(max_examples=examples(150), deadline=None)
@given(hnp.arrays(np.float64, st.tuples(st.integers(1, 24), st.integers(0, 90)),
                  elements=st.one_of(st.sampled_from(COARSE), st.floats(-1e3, 1e3))),
       st.sampled_from([0.01, 1.0, 0.0, -0.01, 3.5]), st.sampled_from(TARGETS), st.sampled_from(TARGETS))
def test_random_batches_in_both_orders_match_the_reference(batch, dt, low, high):
    # Rows adjacent in memory (Fortran order) take their own path; coarse
    # values make exact ties with the targets common.
    for b in (batch, np.asfortranarray(batch)):
        assert_same_bits(_core._arias_intensity(b, dt), ref.per_row(ref.arias, batch, dt), any_nan=True)
        assert_same_bits(_core._cav(b, dt), ref.per_row(ref.cav, batch, dt), any_nan=True)
        want = ref.per_row(ref.significant_duration, batch, dt, low, high)
        assert_same_bits(_core._significant_duration(b, dt, low, high), want, any_nan=True)


def test_worked_examples():
    assert list(_core._cav(np.array([[1.0, -1.0], [1.0, 1.0], [0.0, -2.0]]), 1.0)) == [9.81 / 2, 9.81, 9.81]
    assert _core._arias_intensity(np.array([[1.0, 1.0]]), 1.0)[0] == 15.409511965857936
    for fn in (_core._arias_intensity, _core._cav):
        assert list(fn(np.zeros((3, 0)), 1.0)) == [0.0] * 3
        assert list(fn(np.full((2, 1), np.nan), 1.0)) == [0.0] * 2
    dur = _core._significant_duration
    assert dur(np.array([[0.0, 1, 1, 0]]), 1.0, 0.05, 0.95)[0] == 2.0
    assert dur(np.array([[0.0, 1, 0, 0, 1, 0]]), 1.0, 0.5, 1.0)[0] == 2.0
    assert dur(np.array([[0.0, 0, 0, 1, 0]]), 0.01, 0.0, 1.0)[0] == 0.02
    assert list(dur(np.ones((2, 5)), -1.0, 0.05, 0.95)) == [0.0, 0.0]
    assert bits(dur(np.array([[0.0, np.nan, 1.0]]), 1.0, 0.05, 0.95)) == 0x7FF8000000000000


def test_an_overflowing_total_gives_nan_not_a_platform_dependent_duration():
    # The running Arias intensity overflows to +inf, and inf / inf has no
    # portable sign; a total of -inf (negative dt) is below the minimum total.
    row = np.full((1, 50), 1e160)
    assert bits(_core._significant_duration(row, 1.0, 0.05, 0.95)) == 0x7FF8000000000000
    assert _core._significant_duration(row, -1.0, 0.05, 0.95)[0] == 0.0
    assert _core._significant_duration(np.ones((9, 3)), -np.inf, 0.05, 0.95).tolist() == [0.0] * 9
    big = np.asfortranarray(np.full((9, 50), 1e160))
    assert _core._significant_duration(big, -1.0, 0.05, 0.95).tolist() == [0.0] * 9
