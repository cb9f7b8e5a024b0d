"""Peak motions, CAV variants, durations and spectrum intensities against
independent references: SciPy's cumulative trapezoid, window sums and
rotations by brute force, closed forms, and the existing measures they must
agree with."""

import glob
import math
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

import groundmotion as gm
import oracles
from conftest import assert_same_bits

RNG = np.random.default_rng(13)
G_CM = 980.665
TRAPEZOID = getattr(np, "trapezoid", None) or getattr(np, "trapz")  # NumPy 2, NumPy 1
# The bundled real records, and the larger shared set beside the repository when it is there.
RECORDS = sorted(glob.glob(str(Path(__file__).parent / "data" / "peer" / "*.AT2.gz"))
                 + glob.glob(str(Path(__file__).parents[2] / "shared" / "records" / "*" / "*.AT2")))


def integrals(a, dt):
    cumulative_trapezoid = pytest.importorskip("scipy.integrate").cumulative_trapezoid
    v = cumulative_trapezoid(a, dx=dt, initial=0, axis=-1)
    return v, cumulative_trapezoid(v, dx=dt, initial=0, axis=-1)


def abs_terms(a, dt, f=abs):
    """Twice the trapezoid of f(a) over every interval, split at zero crossings."""
    a0, a1 = a[..., :-1], a[..., 1:]
    whole = (np.minimum(a0, a1) >= 0) | (np.maximum(a0, a1) <= 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        t = -(a0 * (dt / (a1 - a0)))
        return np.where(whole, (f(a0) + f(a1)) * dt, f(a0) * t + f(a1) * (dt - t))


def cav_std_windows(a, dt):
    """Window sums over exact whole seconds: the intervals starting in [i, i+1) s."""
    step = Fraction(str(dt))
    window = np.arange(len(a) - 1) * step.numerator // step.denominator
    total = 0.0
    for w in np.unique(window):
        k = np.flatnonzero(window == w)
        if np.abs(a[k[0]:k[-1] + 2]).max() >= 0.025:
            total += abs_terms(a[k[0]:k[-1] + 2], dt).sum() * 0.5 * 9.81
    return total


def rotated_percentiles(x, y, percentiles):
    return np.percentile(oracles.peaks_at(x, y), percentiles)


def check_time_domain(a, dt):
    """Every time-domain measure of one record against its reference."""
    v, d = integrals(a, dt)
    p = gm.peak_motions(a, dt)
    np.testing.assert_allclose([p.pga, p.pgv, p.pgd],
                               [abs(a).max(), abs(v).max() * G_CM, abs(d).max() * G_CM], rtol=1e-12)
    cut = np.where(abs(a) < gm.CAV5_THRESHOLD, 0.0, a)
    assert gm.cav(a, dt, gm.CAV5_THRESHOLD) == pytest.approx(abs_terms(cut, dt).sum() * 0.5 * 9.81, rel=1e-12)
    assert gm.cav_std(a, dt) == pytest.approx(cav_std_windows(a, dt), rel=1e-12)
    above = np.flatnonzero(abs(a) >= 0.05)
    assert gm.bracketed_duration(a, dt) == (dt * (above[-1] - above[0]) if above.size else 0.0)
    fractions = [0.0, 0.05, 0.2, 0.75, 0.95, 1.0]
    times = gm.arias_times(a, dt, fractions)
    index = np.rint(times / dt).astype(int)
    for lo in range(len(fractions)):
        for hi in range(lo, len(fractions)):
            assert_same_bits(gm.significant_duration(a, dt, fractions[lo], fractions[hi]),
                             (index[hi] - index[lo]) * dt)
    curve = gm.husid(a, dt)
    cumulative = np.concatenate([[0.0], np.cumsum(abs_terms(a, dt, np.square))])
    np.testing.assert_allclose(curve, cumulative / cumulative[-1], rtol=1e-9, atol=1e-12)
    assert_same_bits(times, index * dt)


def test_real_records_against_brute_force():
    for path in RECORDS:
        a, dt = gm.read_at2(path)
        check_time_domain(a, dt)
    h1, dt = gm.read_at2(RECORDS[-1])
    h2, _ = gm.read_at2(RECORDS[-2])
    n = min(len(h1), len(h2))
    check_rotated(h1[:n], h2[:n], dt, [0, 10, 50, 84, 100])


def check_rotated(x, y, dt, percentiles):
    r = gm.rotd_peak_motions(x, y, dt, percentiles)
    assert_same_bits(r.pga, gm.rotd(x, y, percentiles=percentiles).rotdnn)
    (vx, dx), (vy, dy) = integrals(x, dt), integrals(y, dt)
    np.testing.assert_allclose(r.pgv, rotated_percentiles(vx, vy, percentiles) * G_CM, rtol=1e-10)
    np.testing.assert_allclose(r.pgd, rotated_percentiles(dx, dy, percentiles) * G_CM, rtol=1e-10)


@pytest.mark.filterwarnings("ignore::groundmotion.GroundMotionWarning")  # 1e150 g, on purpose
def test_rotated_velocity_and_displacement_are_the_sweep_over_every_sample():
    # Shapes that defeat a screen of the samples: a displacement drifting
    # along a line, pairs on a line (45 degrees is one of the directions),
    # a zero component, magnitudes near both ends of the range; lengths
    # across the blocks of samples the kernel skips.
    for n in (1, 63, 1025, 4000):
        t = np.linspace(0, 1, n)
        noise = RNG.standard_normal((2, n)) * np.exp(-((t - 0.2) / 0.1) ** 2)
        a = RNG.standard_normal(n)
        pairs = [noise, (a, a), (a, 0.3 * a), (a, -4.0 * a), (a, 0 * a), (0 * a, a),
                 (a * 1e-300, noise[1] * 1e-300), (a * 1e150, noise[1] * 1e150)]
        for x, y in pairs:
            r = gm.rotd_peak_motions(x, y, 0.01, [0, 50, 100])
            for got, (px, py) in ((r.pgv, (0, 0)), (r.pgd, (1, 1))):
                ex, ey = integrals(x, 0.01)[px], integrals(y, 0.01)[py]
                assert_same_bits(got, oracles.statistics(oracles.peaks_at(ex, ey))[:3] * G_CM)
        # A batch (pairs run two at a time), and the last pair of an odd one.
        x, y = np.array([p[0] for p in pairs]), np.array([p[1] for p in pairs])
        for rows in (slice(None), slice(1, None)):
            batch = gm.rotd_peak_motions(x[rows], y[rows], 0.01, [0, 50, 100])
            each = [gm.rotd_peak_motions(*p, 0.01, [0, 50, 100]) for p in pairs[rows]]
            assert_same_bits(batch.pgd, [e.pgd for e in each])
            assert_same_bits(batch.pgv, [e.pgv for e in each])


def test_random_records_layouts_and_batches():
    batch = RNG.standard_normal((11, 3, 347)) * np.exp(-np.linspace(-2, 2, 347) ** 2) * 0.2
    for dt in (0.01, 0.03, 0.007):  # 1 / dt whole and not
        for row in batch.reshape(-1, 347)[:6]:
            check_time_domain(row, dt)
        moved = np.moveaxis(batch, -1, 1)  # time on axis 1, records (11, 3)
        peaks = gm.peak_motions(moved, dt, axis=1, units="m/s2")
        each = [gm.peak_motions(r / 9.80665, dt) for r in batch.reshape(-1, 347)]
        assert peaks.pga.shape == (11, 3)
        assert_same_bits(peaks.pgd.reshape(-1), [p.pgd for p in each])
        for f in (gm.cav_std, gm.bracketed_duration, gm.cav):
            assert_same_bits(f(moved, dt, axis=1), [[f(r, dt) for r in rows] for rows in batch])
        assert_same_bits(gm.husid(moved, dt, axis=1), np.moveaxis(gm.husid(batch, dt, workers=3), -1, 1))
        fractions = [0.0, 0.05, 0.5, 0.95, 1.0]
        assert_same_bits(gm.arias_times(moved, dt, fractions, axis=1, workers=2),
                         [[gm.arias_times(r, dt, fractions) for r in rows] for rows in batch])
    check_rotated(batch[0, 0], batch[0, 1], 0.01, [0, 10, 50, 84, 90, 100])
    r = gm.rotd_peak_motions(batch[:, 0], batch[:, 1], 0.01, workers=2)
    assert r.pgv.shape == (11, 3) and list(r.percentiles) == [0, 50, 100]
    try:
        import pandas  # noqa: F401
    except ImportError:
        return
    assert r.to_dataframe().shape == (33, 3) and gm.peak_motions(batch, 0.01).to_dataframe().shape == (33, 3)


def test_threshold_zero_is_todays_cav_and_non_finite_samples_stay_in_their_record():
    batch = RNG.standard_normal((10, 200)) * 0.1
    assert_same_bits(gm.cav(batch, 0.01, 0.0), gm._core._cav(batch, 0.01))
    assert_same_bits(gm.cav(batch, 0.01, 1e9), np.zeros(10))
    batch[2, 50], batch[5, 7] = np.nan, np.inf
    p = gm.peak_motions(batch, 0.01)
    for values in (p.pga, p.pgv, p.pgd, gm.bracketed_duration(batch, 0.01),
                   gm.arias_times(batch, 0.01, [0.1, 0.9])[:, 0], gm.husid(batch, 0.01)[:, 3]):
        assert list(np.flatnonzero(np.isnan(values))) == [2, 5]
    for values in (gm.cav(batch, 0.01), gm.cav(batch, 0.01, 0.05), gm.cav_std(batch, 0.01)):
        assert list(np.flatnonzero(~np.isfinite(values))) == [2, 5] and np.isnan(values[2])
    assert gm.husid(np.zeros(5), 0.01).tolist() == [0.0] * 5 and gm.arias_times(np.zeros(5), 0.01, 0.5).tolist() == [0.0]


def test_closed_forms_on_a_sine_and_pulses():
    amplitude, f, dt = 0.2, 1.0, 1e-4
    t = np.arange(0.0, 3.0 + dt / 2, dt)
    a = amplitude * np.sin(2 * np.pi * f * t)  # v = A/w (1 - cos wt), d = A/w (t - sin(wt)/w)
    w = 2 * np.pi * f
    p = gm.peak_motions(a, dt)
    assert p.pgv == pytest.approx(2 * amplitude / w * G_CM, rel=1e-7)
    assert p.pgd == pytest.approx(amplitude / w * 3.0 * G_CM, rel=1e-7)
    # Every second holds a whole cycle above 0.025 g: CAVstd is CAV.
    assert gm.cav_std(a, dt) == pytest.approx(2 * amplitude * 9.81 * 3.0 / np.pi, rel=1e-7)
    assert gm.cav_std(0.1 * a, dt) == 0.0
    # |sin| >= 1/2 for two thirds of the time: CAV above half the amplitude.
    assert gm.cav(a, dt, amplitude / 2) == pytest.approx(2 * amplitude * 9.81 * 3.0 / np.pi * np.sqrt(3) / 2, rel=1e-3)
    pulse = np.zeros(1000)
    pulse[[100, 400, 700]] = [0.06, -0.3, 0.05]
    assert gm.bracketed_duration(pulse, 0.01) == 6.0 and gm.bracketed_duration(pulse, 0.01, 0.1) == 0.0
    assert gm.bracketed_duration(pulse, 0.01, 0.5) == 0.0
    # A lone 0.03 g sample in the window of 2 to 3 s: CAVstd is that window's CAV.
    lone = np.zeros(500)
    lone[250] = 0.03
    assert gm.cav_std(lone, 0.01) == gm.cav(lone, 0.01) == pytest.approx(0.03 * 0.01 * 9.81)
    assert gm.arias_times([0.0, 1.0, 1.0, 0.0], 1.0, [0.0, 0.5, 1.0]).tolist() == [0.0, 2.0, 3.0]


def test_spectrum_intensities_against_finer_grids_and_spectra():
    for path in RECORDS[::37]:
        a, dt = gm.read_at2(path)
        for fn, low, high, field in ((gm.housner_intensity, 0.1, 2.5, "psv"),
                                     (gm.acceleration_spectrum_intensity, 0.1, 0.5, "psa")):
            fine = np.linspace(low, high, 4001)
            reference = TRAPEZOID(getattr(gm.spectra(a, dt, fine), field), fine)
            assert fn(a, dt) == pytest.approx(reference, rel=1e-3)
        periods = np.linspace(0.2, 3.0, 10)
        psa = gm.spectra(a, dt, periods).psa
        assert gm.sa_avg(a, dt, periods) == pytest.approx(np.prod(psa) ** 0.1, rel=1e-12)
    pair = np.stack([a, 2 * a])
    np.testing.assert_allclose(gm.housner_intensity(pair * 980.665, dt, units="gal"),
                               np.array([1, 2]) * gm.housner_intensity(a, dt), rtol=1e-12)
    assert gm.ASI_PERIODS[0] == 0.1 and gm.HOUSNER_PERIODS[-1] == 2.5


@pytest.mark.parametrize("call, error, message", [
    (lambda: gm.peak_motions(np.ones(5), 0.0), ValueError, "dt must be positive and finite"),
    (lambda: gm.cav_std(np.ones(5, complex), 0.01), TypeError, "acc must hold real numbers"),
    (lambda: gm.husid(np.float64(1.0), 0.01), ValueError, "acc must have a time axis"),
    (lambda: gm.bracketed_duration(np.ones((2, 5)), 0.01, axis=2), ValueError, "axis must lie in"),
    (lambda: gm.cav(np.ones(5), 0.01, units="m/s"), ValueError, "units must be one of"),
    (lambda: gm.cav(np.ones(5), 0.01, -0.1), ValueError, "threshold must be non-negative"),
    (lambda: gm.bracketed_duration(np.ones(5), 0.01, math.nan), ValueError, "threshold must be"),
    (lambda: gm.bracketed_duration(np.ones(5), 0.01, "0.1"), TypeError, "threshold must be a real"),
    (lambda: gm.arias_times(np.ones(5), 0.01, [0.5, 1.5]), ValueError, r"fractions must lie in \[0, 1\]"),
    (lambda: gm.arias_times(np.ones(5), 0.01, []), ValueError, "non-empty"),
    (lambda: gm.rotd_peak_motions(np.ones(5), np.ones(5), 0.01, [101]), ValueError, "percentiles must lie"),
    (lambda: gm.rotd_peak_motions(np.ones(5), np.ones(6), 0.01), ValueError, "same shape"),
    (lambda: gm.rotd_peak_motions(np.ones((2, 0)), np.ones((2, 0)), 0.01), ValueError, "no samples"),
    (lambda: gm.sa_avg(np.ones(5), 0.01, [0.1, -1.0]), ValueError, "periods must be positive"),
    (lambda: gm.housner_intensity(np.ones(5), 0.01, 1.0), ValueError, r"damping must lie in \[0, 1\)"),
    (lambda: gm.peak_motions(np.ones(5), 0.01, workers=0), ValueError, "workers must be at least 1"),
])
def test_bad_arguments_are_refused_like_the_existing_functions(call, error, message):
    with pytest.raises(error, match=message):
        call()
