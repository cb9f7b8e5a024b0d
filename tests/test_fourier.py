"""Fourier and effective amplitude spectra, and Konno-Ohmachi smoothing onto
any centres, against plain NumPy references (the window formula evaluated at
every bin and centre) and against pykooh and ObsPy where they are installed."""

import math
import warnings

import numpy as np
import pytest
from conftest import assert_same_bits
from groundmotion import (EAS_CENTER_FREQUENCIES, GroundMotionWarning, _core,
                          effective_amplitude_spectrum, fourier_spectrum, konno_ohmachi_smooth)
from hypothesis import given, settings
from hypothesis import strategies as st

RNG = np.random.default_rng(2026)


def reference(spectra, freq, centres, b):
    """Normalised window at every positive bin about every centre, then the
    weighted means; also a bound on the rounding of the means, and one on
    what the rounding of the window's argument moves them.

    The argument is x = b (log10 f - log10 fc), as the smoothing takes it,
    with the C library's logarithms; those carry about b |log10 f| 2^-53 of
    rounding, and so does the sine that the smoothing takes far from a centre
    from the angles b log10 f.  A weight moves by 4 |cot x - 1/x| times that,
    relative, and the mean by the weight times its value's distance from the
    mean; with b = 400 and the heaviest bins far out on the window's slope
    that reaches 1e-12."""
    f = freq[freq > 0]
    log10 = np.vectorize(math.log10, otypes=[float])
    lf, lc = log10(f)[:, None], log10(centres)[None, :]
    x = b * (lf - lc)
    on_bin = x == 0
    safe = np.where(on_bin, 1.0, x)
    w = np.where(on_bin, 1.0, (np.sin(x) / safe) ** 4)
    w = w / w.sum(axis=0)
    s = spectra[..., freq > 0]
    mean = s @ w
    with np.errstate(divide="ignore"):
        slope = np.where(on_bin, 0.0, 4 * np.abs(np.cos(x) / np.sin(x) - 1 / safe))
    shift = 8 * 2.0 ** -53 * b * (np.abs(lf) + np.abs(lc) + 1)
    moved = np.abs(s[..., :, None] - mean[..., None, :]) * (w * slope * shift)
    return mean, np.abs(s) @ w, moved.sum(axis=-2)


def assert_close(actual, spectra, freq, centres, b, tol=1e-12):
    expected, scale, moved = reference(spectra, freq, centres, b)
    assert np.all(np.abs(actual - expected) <= tol * scale + moved)


@settings(max_examples=60, deadline=None)
@given(st.data())
def test_smoothing_onto_any_centres_is_the_window_formula(data):
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))  # a failure replays
    n = data.draw(st.integers(1, 300))
    steps = rng.uniform(0.001, 2.0, n) ** data.draw(st.sampled_from([1, 3]))
    freq = np.cumsum(steps) + data.draw(st.sampled_from([0.0, 0.05]))
    if data.draw(st.booleans()):
        freq = np.concatenate([[0.0], freq])
    centres = np.concatenate([rng.uniform(freq[-1] * 1e-3, freq[-1] * 2, data.draw(st.integers(1, 40))),
                              rng.choice(freq[freq > 0], 3)])  # some on a bin
    b = data.draw(st.sampled_from([1.0, 40.0, 188.5, 400.0]))
    spectra = np.abs(rng.standard_normal((data.draw(st.integers(1, 7)), freq.size)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", GroundMotionWarning)
        out = konno_ohmachi_smooth(spectra, b, frequencies=freq, center_frequencies=centres)
        alone = konno_ohmachi_smooth(spectra[-1], b, frequencies=freq, center_frequencies=centres)
    assert_close(out, spectra, freq, centres, b)
    assert_same_bits(alone, out[-1])


@pytest.mark.parametrize("n, b", [(17, 40.0), (513, 40.0), (4097, 188.5)])
def test_fft_bins_as_centres_give_the_uniform_grid_smoothing(n, b):
    spectra = np.abs(RNG.standard_normal((3, n)))
    freq = np.fft.rfftfreq(2 * n - 2, 0.01)
    today = _core._konno_ohmachi_smooth(spectra, b)
    for out in (konno_ohmachi_smooth(spectra, b, frequencies=freq),
                konno_ohmachi_smooth(spectra, b, frequencies=freq, center_frequencies=freq[1:])):
        assert np.max(np.abs(out[:, -n + 1:] - today[:, 1:]) / today[:, 1:]) <= 1e-12
    assert_same_bits(konno_ohmachi_smooth(spectra, b, frequencies=freq)[:, 0], spectra[:, 0])


def test_peers_agree_within_1e_12():
    freq = np.fft.rfftfreq(4096, 0.005)[1:]
    spectrum = np.abs(RNG.standard_normal(freq.size)) * freq ** -0.5
    centres = np.logspace(-1, np.log10(90), 150)
    checked = 0
    try:
        import pykooh
    except ImportError:
        pykooh = None
    if pykooh is not None:
        ours = konno_ohmachi_smooth(spectrum, 188.5, frequencies=freq, center_frequencies=centres)
        theirs = pykooh.smooth(centres, freq, spectrum, 188.5, normalize=True)
        shared = np.isfinite(theirs)  # pykooh gives NaN where a window holds too few bins
        assert shared.sum() > 100
        assert np.max(np.abs(ours - theirs)[shared] / theirs[shared]) <= 1e-12
        checked += 1
    try:
        from obspy.signal import konnoohmachismoothing as konno
    except ImportError:
        konno = None
    if konno is not None:
        theirs = konno.konno_ohmachi_smoothing(spectrum, freq, bandwidth=40, normalize=True)
        ours = konno_ohmachi_smooth(spectrum, 40.0, frequencies=freq)
        assert np.max(np.abs(ours - theirs) / theirs) <= 1e-12
        checked += 1
    if not checked:
        pytest.skip("neither pykooh nor ObsPy is installed")


def test_batches_nan_overflow_and_axes():
    freq = np.linspace(0.0, 25.0, 200)
    centres = [0.5, 3.0, 20.0]
    spectra = np.abs(RNG.standard_normal((2, 3, 200)))
    spectra[1, 2, 50] = np.nan
    out = konno_ohmachi_smooth(spectra, 40.0, frequencies=freq, center_frequencies=centres)
    assert out.shape == (2, 3, 3) and np.isnan(out[1, 2]).all() and np.isfinite(out[:, :2]).all()
    moved = konno_ohmachi_smooth(np.moveaxis(spectra, -1, 0), 40.0, frequencies=freq,
                                 center_frequencies=centres, axis=0)
    assert_same_bits(moved, out)
    huge = konno_ohmachi_smooth(spectra[0] * 1e306, 40.0, frequencies=freq, center_frequencies=centres)
    assert np.all(np.abs(huge / 1e306 - out[0]) <= 1e-13 * out[0])


@pytest.mark.parametrize("kwargs, message", [
    ({"frequencies": [0.0, 2.0, 1.0]}, "strictly increasing"),
    ({"frequencies": [1.0, 1.0, 2.0]}, "strictly increasing"),
    ({"frequencies": [-1.0, 1.0, 2.0]}, "negative"),
    ({"frequencies": [0.0, np.nan, 2.0]}, "finite"),
    ({"frequencies": [1.0, 2.0]}, "one value per bin"),
    ({"frequencies": [0.0, 1.0, 2.0], "center_frequencies": [1.0, 0.0]}, "center_frequencies"),
    ({"frequencies": [0.0, 1.0, 2.0], "center_frequencies": [-2.0]}, "center_frequencies"),
    ({"center_frequencies": [1.0]}, "needs frequencies"),
])
def test_bad_frequencies_are_refused(kwargs, message):
    with pytest.raises(ValueError, match=message):
        konno_ohmachi_smooth(np.ones(3), **kwargs)


def test_centres_outside_the_bins_warn():
    with pytest.warns(GroundMotionWarning, match="outside"):
        konno_ohmachi_smooth(np.ones(3), frequencies=[0.0, 1.0, 2.0], center_frequencies=[0.5, 5.0])


def test_fourier_spectrum_is_the_scaled_rfft():
    acc = RNG.standard_normal((2, 3, 1000))
    fs = fourier_spectrum(acc, 0.01, nfft=1500)
    assert_same_bits(fs.frequencies, np.fft.rfftfreq(1500, 0.01))
    assert np.allclose(fs.amplitude, np.abs(np.fft.rfft(acc, 1500)) * 0.01, rtol=1e-12, atol=0)
    in_gal = fourier_spectrum(np.moveaxis(acc, -1, 0) * 980.665, 0.01, units="gal", axis=0, nfft=1500)
    assert np.allclose(in_gal.amplitude, fs.amplitude, rtol=1e-12, atol=0)
    with pytest.raises(ValueError, match="nfft"):
        fourier_spectrum(acc, 0.01, nfft=999)


def test_effective_amplitude_spectrum_is_the_mean_square_smoothed():
    h1, h2 = RNG.standard_normal((2, 4, 3000)) * 0.1
    eas = effective_amplitude_spectrum(h1, h2, 0.01)
    freq = np.fft.rfftfreq(3000, 0.01)
    expected = EAS_CENTER_FREQUENCIES[(EAS_CENTER_FREQUENCIES >= freq[1]) & (EAS_CENTER_FREQUENCIES <= 50.0)]
    assert_same_bits(eas.frequencies, expected)
    raw = np.sqrt((np.abs(np.fft.rfft(h1)) ** 2 + np.abs(np.fft.rfft(h2)) ** 2) / 2) * 0.01
    assert_close(eas.amplitude, raw, freq, expected, 188.5, tol=1e-12)
    # The mean square does not depend on the orientation of the pair.
    c, s = np.cos(0.7), np.sin(0.7)
    turned = effective_amplitude_spectrum(c * h1 + s * h2, c * h2 - s * h1, 0.01).amplitude
    assert np.max(np.abs(turned - eas.amplitude) / eas.amplitude) <= 1e-12
    with pytest.raises(ValueError, match="same shape"):
        effective_amplitude_spectrum(h1, h2[:, 1:], 0.01)
