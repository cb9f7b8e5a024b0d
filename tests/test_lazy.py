"""Dask arrays and xarray DataArrays against the eager call on the same data:
lazy until computed, one task per chunk of records, the same bits."""

import os

import numpy as np
import pytest
from conftest import assert_same_bits

import groundmotion as gm

da = pytest.importorskip("dask.array")
RNG = np.random.default_rng(15)
X, Y = RNG.standard_normal((2, 5, 3, 700)) * 0.1
PERIODS = [0.05, 0.5, 2.0]
MEASURES = {
    "arias": lambda a, b: gm.arias_intensity(a, 0.01),
    "cav": lambda a, b: gm.cav(a, 0.01),
    "duration": lambda a, b: gm.significant_duration(a, 0.01, 0.05, 0.75),
    "spectra": lambda a, b: gm.spectra(a, 0.01, PERIODS, [0.02, 0.05]).psa,
    "rotdnn": lambda a, b: gm.rotd(a, b, percentiles=[10, 50]).rotdnn,
    "response": lambda a, b: gm.response_spectrum(a, b, None, 0.01, PERIODS, percentiles=[84]).rotdnn,
    "fourier": lambda a, b: gm.fourier_spectrum(a, 0.01, nfft=1024).amplitude,
    "eas": lambda a, b: gm.effective_amplitude_spectrum(a, b, 0.01, center_frequencies=[0.5, 5.0]).amplitude,
    "peaks": lambda a, b: gm.peak_motions(a, 0.01).pgd,
    "rotd_peaks": lambda a, b: gm.rotd_peak_motions(a, b, 0.01).pgv,
    "cav5": lambda a, b: gm.cav(a, 0.01, gm.CAV5_THRESHOLD),
    "cav_std": lambda a, b: gm.cav_std(a, 0.01),
    "bracketed": lambda a, b: gm.bracketed_duration(a, 0.01, 0.1),
    "husid": lambda a, b: gm.husid(a, 0.01),
    "arias_times": lambda a, b: gm.arias_times(a, 0.01, [0.05, 0.5, 0.95]),
    "housner": lambda a, b: gm.housner_intensity(a, 0.01),
    "smooth": lambda a, b: gm.konno_ohmachi_smooth(abs(a), 40.0, frequencies=np.arange(700) * 0.1,
                                                    center_frequencies=[1.0, 7.0]),
}


@pytest.mark.parametrize("name", MEASURES)
def test_dask_arrays_are_lazy_one_task_per_chunk_and_exact(name):
    fn = MEASURES[name]
    lazy = fn(da.from_array(X, chunks=(2, 2, -1)), da.from_array(Y, chunks=(2, 2, -1)))
    assert isinstance(lazy, da.Array) and lazy.numblocks[:2] == (3, 2)
    assert_same_bits(lazy.compute(scheduler="sync"), fn(X, Y))


def test_time_on_another_axis_stays_there():
    lazy = gm.husid(da.from_array(np.moveaxis(X[0], -1, 0), chunks=(-1, 2)), 0.01, axis=0)
    assert_same_bits(lazy.compute(scheduler="sync"), np.moveaxis(gm.husid(X[0], 0.01), -1, 0))
    with pytest.raises(ValueError, match="dt must be one number"):
        gm.cav(da.from_array(X[0], chunks=(2, -1)), np.full(5, 0.01))


def test_a_split_time_axis_is_refused_with_the_rechunk_to_do():
    with pytest.raises(ValueError, match=r"rechunk\(\{1: -1\}\)"):
        gm.arias_intensity(da.from_array(X[0], chunks=(5, 100)), 0.01)


def test_dataarrays_keep_their_coordinates_and_gain_the_measure_axes():
    xr = pytest.importorskip("xarray")
    coords = {"event": [10, 11, 12, 13, 14], "station": ["A", "B", "C"]}
    a = xr.DataArray(np.moveaxis(X, -1, 0), dims=("time", "event", "station"), coords=coords)
    b = xr.DataArray(np.moveaxis(Y, -1, 0), dims=("time", "event", "station"), coords=coords)
    arias = gm.arias_intensity(a, 0.01)
    assert arias.dims == ("event", "station") and list(arias.station.values) == ["A", "B", "C"]
    assert_same_bits(arias.values, gm.arias_intensity(X, 0.01))
    s = gm.spectra(a, 0.01, PERIODS, [0.02, 0.05])
    assert s.psa.dims == ("event", "station", "damping", "period") and list(s.period.values) == PERIODS
    r = gm.response_spectrum(a, b, None, 0.01, PERIODS, percentiles=[84])
    assert r.rotdnn.dims == ("event", "station", "percentile", "period")
    peaks = gm.rotd_peak_motions(a, b, 0.01, percentiles=[50, 100])
    assert peaks.pga.dims == ("event", "station", "percentile")
    assert_same_bits(peaks.pgd.values, gm.rotd_peak_motions(X, Y, 0.01, percentiles=[50, 100]).pgd)
    lazy = gm.fourier_spectrum(a.chunk({"event": 2}), 0.01)
    assert isinstance(lazy.data, da.Array) and lazy.dims[-1] == "frequency"
    assert_same_bits(lazy.values, gm.fourier_spectrum(X, 0.01).amplitude)
    with pytest.raises(ValueError, match="dim='t'"):
        gm.cav(a, 0.01, dim="t")


@pytest.mark.skipif(os.environ.get("GM_SANITIZED") == "1", reason="worker processes under the sanitizers")
def test_a_local_cluster_of_two_processes_gives_the_same_bits():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        lazy = gm.spectra(da.from_array(X, chunks=(1, 3, -1)), 0.01, PERIODS).sd
        assert_same_bits(lazy.compute(), gm.spectra(X, 0.01, PERIODS).sd)
