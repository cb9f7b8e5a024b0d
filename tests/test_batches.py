"""Record batches in every accepted layout: ragged lists with a step per
record, pandas objects, record dimensions on any axis, units, and the
plausibility warnings.  The reference is always the record computed alone."""

import warnings

import numpy as np
import pytest
from conftest import assert_same_bits
from hypothesis import given, settings
from hypothesis import strategies as st

import groundmotion as gm

RNG = np.random.default_rng(14)
SCALAR = [gm.arias_intensity, gm.cav, gm.significant_duration]


def alone(fn, records, dts, **kw):
    return np.array([fn(r, d, **kw) for r, d in zip(records, dts)])


@settings(max_examples=40, deadline=None)
@given(lengths=st.lists(st.integers(0, 300), min_size=1, max_size=30), data=st.data())
def test_ragged_batches_give_the_bits_of_records_alone(lengths, data):
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))  # a failure replays
    records = [rng.standard_normal(n) * 0.2 for n in lengths]
    if len(records) > 2:
        records[1][:1] = np.nan
    dts = data.draw(st.sampled_from([0.01, list(rng.choice([0.005, 0.01, 0.02], len(records)))]))
    per_record = np.broadcast_to(dts, len(records))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", gm.GroundMotionWarning)
        for fn in SCALAR:
            assert_same_bits(fn(records, dts), alone(fn, records, per_record))


def test_ragged_pairs_and_spectra_stack_the_records_alone():
    lengths = [400, 350, 512]
    x, y = ([RNG.standard_normal(n) * 0.1 for n in lengths] for _ in range(2))
    dts = [0.01, 0.02, 0.01]
    periods = [0.1, 1.0]
    r = gm.rotd(x, y, percentiles=[50, 84])
    s = gm.spectra(x, dts, periods, [0.02, 0.05])
    rs = gm.response_spectrum(x, y, None, dts, periods)
    for k in range(3):
        assert_same_bits(r.rotdnn[k], gm.rotd(x[k], y[k], percentiles=[50, 84]).rotdnn)
        assert_same_bits(s.sd[k], gm.spectra(x[k], dts[k], periods, [0.02, 0.05]).sd)
        assert_same_bits(rs.rotd50[k], gm.response_spectrum(x[k], y[k], None, dts[k], periods).rotd50)
    assert s.sd.shape == (3, 2, 2) and r.rotd50.shape == (3,)
    same_steps = gm.peak_motions(x[:2], [0.01, 0.01]).pgv  # steps all one value
    assert_same_bits(same_steps, [gm.peak_motions(a, 0.01).pgv for a in x[:2]])
    fas = gm.fourier_spectrum(x, 0.01, nfft=600)
    assert_same_bits(fas.amplitude[1], gm.fourier_spectrum(x[1], 0.01, nfft=600).amplitude)
    with pytest.raises(ValueError, match="nfft"):
        gm.fourier_spectrum(x, 0.01)


def test_pandas_record_dimensions_axis_and_units():
    pd = pytest.importorskip("pandas")
    acc = RNG.standard_normal((2, 3, 500)) * 0.1
    frame = pd.DataFrame(acc[0].T, columns=["H1", "H2", "UP"])
    for fn in SCALAR:
        by_column = fn(frame, 0.01)
        assert list(by_column.index) == ["H1", "H2", "UP"]
        assert_same_bits(by_column.to_numpy(), fn(acc[0], 0.01))
        assert fn(frame["H2"], 0.01) == fn(acc[0, 1], 0.01)
        assert fn(acc, 0.01).shape == (2, 3)
        assert_same_bits(fn(np.moveaxis(acc, -1, 0), 0.01, axis=0), fn(acc, 0.01))
    assert np.allclose(gm.arias_intensity(acc * 980.665, 0.01, units="gal"), gm.arias_intensity(acc, 0.01), rtol=1e-14)
    assert np.allclose(gm.cav(acc * 9.80665, 0.01, units="m/s2"), gm.cav(acc, 0.01), rtol=1e-14)
    r = gm.rotd(acc, acc[::-1], percentiles=[10])
    assert r.rotd50.shape == (2, 3) and r.rotdnn.shape == (2, 3, 1)
    assert_same_bits(r.rotd100[1, 2], gm.rotd(acc[1, 2], acc[0, 2]).rotd100)
    assert gm.spectra(acc, 0.01, [0.2, 1.0]).psa.shape == (2, 3, 2)
    assert gm.arias_intensity(acc[0], 0.01, workers=-1).shape == (3,)


def test_plausibility_warnings_and_their_absence():
    record = np.sin(np.arange(2000) * 0.05) * 0.3
    cases = [(lambda: gm.arias_intensity(record * 980.665, 0.01), "units="),
             (lambda: gm.cav(record, 100.0), "not a sampling rate"),
             (lambda: gm.significant_duration(record, 1e-6), "outside the usual"),
             (lambda: gm.arias_intensity(np.column_stack([record, record]), 0.01), "axis=0"),
             (lambda: gm.rotd(record * 20, record), "units=")]
    # A batch beyond a million samples (its later records are only sampled):
    # a unit mistake spanning it, or in one of its first records, is seen.
    big = np.tile(record, (600, 1))
    gal = big.copy()
    gal[140] *= 980.665
    cases += [(lambda: gm.cav(big * 980.665, 0.01), "units="), (lambda: gm.cav(gal, 0.01), "units="),
              (lambda: gm.cav(list(gal), 0.01), "units="),
              # an empty channel, then one record too long to be read whole
              (lambda: gm.cav([np.zeros(0), np.full(2**21, 300.0)], 0.01), "units=")]
    for call, message in cases:
        with pytest.warns(gm.GroundMotionWarning, match=message):
            call()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        gm.arias_intensity(record * 980.665, 0.01, units="cm/s2")
        gm.arias_intensity(np.column_stack([record, record]), 0.01, axis=-1)
        gm.arias_intensity(np.column_stack([record, record]), 0.01, axis=0)
        gm.significant_duration(record * 100, 0.01)  # a duration does not depend on the unit
        gm.rotd(np.array([0.0, np.inf, 1.0]), np.zeros(3))
        gm.cav(big, 0.01)


@pytest.mark.parametrize("dt, message", [([0.01, 0.02], "one step per record"), ([0.01, -1.0, 0.01], r"dt\[1\]"),
                                         ([[0.01]], "one step per record")])
def test_steps_per_record_are_checked(dt, message):
    with pytest.raises(ValueError, match=message):
        gm.arias_intensity([np.ones(5), np.ones(6), np.ones(7)], dt)
