"""Helpers shared by the tests.  GM_STRESS=1 (scripts/stress.py) turns the
short loops and the hypothesis budgets into long ones."""

import os

import numpy as np
import pytest

STRESS = os.environ.get("GM_STRESS") == "1"
QUIET_NAN = 0x7FF8000000000000


def examples(n):
    """A hypothesis budget: n in the suite, fifty times that under stress."""
    return n * 50 if STRESS else n


def bits(a):
    a = np.ascontiguousarray(a, dtype=None if isinstance(a, np.ndarray) else np.float64)
    return a.view(np.uint32 if a.dtype == np.float32 else np.uint64)


def assert_same_bits(got, expect, any_nan=False):
    """Equal to the bit; with any_nan, NaNs of any payload count as equal."""
    got, expect = np.asarray(got), np.asarray(expect, dtype=np.asarray(got).dtype)
    assert got.shape == expect.shape, (got.shape, expect.shape)
    same = bits(got) == bits(expect)
    if any_nan:
        same |= np.isnan(got) & np.isnan(expect)
    assert same.all(), (got[~same], expect[~same])


def unaligned(a):
    """A copy of a whose data starts one byte past an aligned address."""
    raw = np.zeros(a.nbytes + 1, np.uint8)
    out = np.frombuffer(raw.data, dtype=a.dtype, offset=1, count=a.size).reshape(a.shape)
    out[...] = a
    assert a.size == 0 or not out.flags.aligned
    return out


def layouts(a):
    """a in every memory layout the kernels must read in place: the same
    values, or (zero strides) values a contiguous copy gives again."""
    ns, nt = a.shape
    wide = np.zeros((2 * ns, 3 * nt))
    wide[::2, ::3] = a
    readonly = a.copy()
    readonly.flags.writeable = False
    yield "fortran", np.asfortranarray(a)
    yield "strided", wide[::2, ::3]
    yield "negative", np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1]
    yield "reversed", a[::-1, ::-1]
    yield "transposed", np.ascontiguousarray(a.T).T
    yield "readonly", readonly
    yield "unaligned", unaligned(a)
    if ns:
        yield "zero-stride rows", np.broadcast_to(a[:1], a.shape)
    if nt:
        yield "zero-stride samples", np.broadcast_to(a[:, :1], a.shape)


@pytest.fixture(scope="session")
def panic():
    """The class of the kernels' failed internal checks (not exported)."""
    from groundmotion import _core

    with pytest.raises(BaseException) as info:
        _core._rotd(np.zeros((3, 4)), np.zeros((2, 4)))
    return type(info.value)
