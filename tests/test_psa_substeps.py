"""`gm.response_spectrum(..., steps_per_period=n)` and its kernel
`_measures._psa_substeps`: component peaks to the bit of `gm.spectra`, RotD
and RotDnn against every degree applied to responses of the record
interpolated in full, the periods T >= n dt and the k = 1 rows to the bit of
the path without sub-steps, and PEER's short-period spectra."""

import json
import math
from fractions import Fraction
from pathlib import Path

import numpy as np
import oracles
import pytest
from conftest import assert_same_bits
from test_rotdnn import by_position

import groundmotion as gm
from groundmotion._core import _psa
from groundmotion._measures import _psa_percentiles, _psa_substeps

PEER = Path(__file__).parent / "data" / "peer"
PERIODS = np.array([0.011, 0.017, 0.026, 0.05, 0.079, 0.13, 0.5])
FIELDS = ("psa_000", "psa_090", "psa_ver", "geometric_mean", "rotd00", "rotd50", "rotd100",
          "angle_rotd00", "angle_rotd100")


def interpolated(row, k):
    fine = row[:-1, None] + (row[1:] - row[:-1])[:, None] * (np.arange(k) / k)
    return fine.ravel()


def test_substeps_against_spectra_and_rotation():
    rng = np.random.default_rng(8)
    x, y, z = rng.standard_normal((3, 2, 90)) * 0.3
    x[1, 50] = np.nan
    dt, n, dampings = 0.02, 4, [0.02, 0.05]
    s = gm.response_spectrum(x, y, z, dt, PERIODS, dampings, steps_per_period=n, percentiles=[30.0])
    plain = gm.response_spectrum(x[:, :-1], y[:, :-1], z[:, :-1], dt, PERIODS, dampings, percentiles=[30.0])
    long = PERIODS >= n * dt
    for name in FIELDS + ("rotdnn",):
        assert_same_bits(getattr(s, name)[..., long], getattr(plain, name)[..., long], any_nan=True)
    for name, comp in zip(FIELDS, (x, y, z)):
        want = gm.spectra(comp[0], dt, PERIODS, dampings, steps_per_period=n).psa
        assert_same_bits(getattr(s, name)[0], want)
    assert np.isnan(s.rotd50[1]).all()
    for d, damping in enumerate(dampings):
        for p in np.flatnonzero(~long):
            k = math.ceil(n * Fraction(str(dt)) / Fraction(str(PERIODS[p])))
            c = gm.oscillator_coefficients(PERIODS[p], damping, dt / k)[0]
            xs, ys = (oracles.respond(c, interpolated(comp[0], k))[0] for comp in (x, y))
            peaks = oracles.peaks_at(xs, ys)  # x is already PSA in g
            got = [s.rotd00[0, d, p], s.rotd50[0, d, p], s.rotd100[0, d, p], s.rotdnn[0, d, 0, p]]
            want = [*oracles.statistics(peaks)[:3], by_position(peaks, 30.0)]
            np.testing.assert_allclose(got, want, rtol=1e-12)


def test_one_step_rows_give_the_bits_without_substeps_and_bad_counts_nan():
    rng = np.random.default_rng(3)
    x, y, z = rng.standard_normal((3, 3, 70)) * 0.2
    c = np.asarray(gm.oscillator_coefficients(PERIODS, 0.05, 0.01))
    ones = np.column_stack([c, np.ones(len(c))])
    assert_same_bits(_psa_substeps(x, y, z, ones), _psa(x, y, z, c))
    ps = np.array([[0.0, 37.5, 100.0]])
    assert_same_bits(_psa_percentiles(x, y, ones, ps), _psa_percentiles(x, y, c, ps))
    bad = np.column_stack([c[:5], [0.0, 2.5, np.nan, 2.0**33, 3.0]])
    assert np.isnan(_psa_substeps(x, y, z, bad)[:, :4]).all()
    assert np.isnan(_psa_percentiles(x, y, bad, ps)[:, :4]).all()
    assert np.isfinite(_psa_substeps(x, y, z, bad)[:, 4]).all()
    with pytest.raises(ValueError, match="steps_per_period must be None or a positive integer"):
        gm.response_spectrum(x, y, z, 0.01, PERIODS, steps_per_period=True)


def test_substeps_give_peer_short_period_spectra():
    reference = json.loads((PEER / "reference_spectra.json").read_text())
    periods = np.array(reference["period"])
    for record in reference["records"]:
        (h1, dt), (h2, _) = (gm.read_at2(PEER / f"{f}.gz") for f in record["files"][:2])
        n = max(h1.size, h2.size)  # RSN31's two differ by one sample at the end
        h1, h2 = np.pad(h1, (0, n - h1.size)), np.pad(h2, (0, n - h2.size))
        short = periods < 10 * dt
        for spp, close in ((10, True), (None, False)):
            s = gm.response_spectrum(h1, h2, None, dt, periods[short], steps_per_period=spp)
            for got, name in ((s.psa_000, "h1"), (s.psa_090, "h2")):
                error = np.abs(got / np.array(record[name])[short] - 1).max()
                assert error < 2e-6 if close else error > 1e-3  # PEER prints seven digits
