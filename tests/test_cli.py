"""The command line, in-process and as `python -m groundmotion`."""

import csv
import json
import os
import subprocess
import sys
from importlib import resources
from pathlib import Path

import groundmotion
from groundmotion import spectra as gm_spectra
import numpy as np
import pytest
from groundmotion import (CAV5_THRESHOLD, arias_intensity, bracketed_duration, cav, cav_std, cli,
                          effective_amplitude_spectrum, konno_ohmachi_smooth, peak_motions, read_at2,
                          response_spectrum, rotd, significant_duration)

PNG = b"\x89PNG\r\n\x1a\n"
DATA = resources.files("groundmotion") / "data"
H1, H2, V = (str(DATA / f"RSN6_IMPVALL.I_I-ELC{c}.AT2.gz") for c in ("180", "270", "-UP"))


def run_module(*args):
    """`python -m groundmotion ARGS` in a fresh interpreter that finds this package."""
    parents = [str(Path(groundmotion.__file__).parent.parent), str(Path(groundmotion.__file__).resolve().parent.parent)]
    env = {**os.environ, "MPLBACKEND": "Agg", "PYTHONPATH": os.pathsep.join([*parents, os.environ.get("PYTHONPATH", "")])}
    return subprocess.run([sys.executable, "-m", "groundmotion", *args], capture_output=True, text=True, env=env, timeout=300)


def run(capsys, *args):
    status = cli.main(list(args))
    return (status, *capsys.readouterr())


def trimmed(*paths):
    records = [read_at2(p) for p in paths]
    return [r[0][: min(len(r[0]) for r in records)] for r in records], records[0][1]


def rows(path):
    with open(path) as handle:
        return list(csv.DictReader(handle))


def test_demo_as_a_module_writes_tables_and_plots(tmp_path, capsys, monkeypatch):
    pytest.importorskip("matplotlib")
    result = run_module("demo", "--output-dir", str(tmp_path / "out"))
    assert result.returncode == 0, result.stderr
    assert "El Centro Array #9" in result.stdout and "RotD50" in result.stdout
    for name in ("response_spectrum.png", "fourier_spectrum.png"):
        assert (tmp_path / "out" / name).read_bytes()[:8] == PNG
    table = rows(tmp_path / "out" / "response_spectrum.csv")
    assert len(table) == 111  # PEER's periods
    (h1, h2, v), dt = trimmed(H1, H2, V)
    spectrum = response_spectrum(h1, h2, v, dt, [float(r["period_s"]) for r in table])
    np.testing.assert_array_equal([float(r["rotd50"]) for r in table], spectrum.rotd50)
    assert (tmp_path / "out" / "tripartite.png").read_bytes()[:8] == PNG
    sp = rows(tmp_path / "out" / "spectra.csv")
    t = np.array([float(r["period (s)"]) for r in sp])
    psa = np.array([[float(r[f"PSA {c} (g)"]) for r in sp] for c in ("180", "270")])
    exact = gm_spectra(np.vstack([h1, h2]), dt, t, steps_per_period=10)
    np.testing.assert_array_equal(psa, exact.psa)
    long = t >= 10 * dt  # whole steps over the record without its last sample
    short_record = response_spectrum(h1[:-1], h2[:-1], None, dt, t[long])
    np.testing.assert_array_equal(psa[:, long], [short_record.psa_000, short_record.psa_090])
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    status, out, _ = run(capsys, "demo", "--output-dir", str(tmp_path))
    assert status == 0 and "no plots" in out and "groundmotion[plot]" in out
    assert (tmp_path / "response_spectrum.csv").exists() and not (tmp_path / "response_spectrum.png").exists()
    assert (tmp_path / "spectra.csv").exists() and not (tmp_path / "tripartite.png").exists()


def test_measures_tables_pairs_and_json(capsys, tmp_path):
    status, out, _ = run(capsys, "measures", H1, V)
    table = {r[0]: [float(v) for v in r[1:]] for r in map(str.split, out.strip().splitlines()[1:]) if len(r) == 11}
    samples, dt = read_at2(V)
    peaks = peak_motions(samples, dt)
    expected = [np.abs(samples).max(), arias_intensity(samples, dt), cav(samples, dt),
                significant_duration(samples, dt, 0.05, 0.75), significant_duration(samples, dt),
                peaks.pgv, peaks.pgd, cav(samples, dt, CAV5_THRESHOLD), cav_std(samples, dt),
                bracketed_duration(samples, dt, 0.05)]
    assert status == 0 and table[Path(V).name] == pytest.approx(expected, rel=1e-5)
    assert "RotD50" not in out  # two files are a pair only with --pair
    status, out, _ = run(capsys, "measures", H1, H2, V)
    assert status == 0 and "RotD50" not in out
    status, out, _ = run(capsys, "measures", "--pair", H1, H2, H2, H1)
    assert status == 0 and out.count("RotD50 PGA of") == 2
    status, _, err = run(capsys, "measures", "--pair", H1, H2, V)
    assert status == 2 and "two by two" in err
    run(capsys, "measures", "--pair", H1, H2, "--output", str(tmp_path / "m.json"))
    document = json.loads((tmp_path / "m.json").read_text())
    assert [r["record"] for r in document["records"]] == [Path(H1).name, Path(H2).name]
    assert document["records"][0]["pgv_cm_per_s"] == peak_motions(read_at2(H1)[0], read_at2(H1)[1]).pgv
    assert document["pairs"][0]["rotd50_pga_g"] == rotd(*trimmed(H1, H2)[0]).rotd50


def test_spectrum_csv_json_and_plot(capsys, tmp_path):
    periods = ["--periods", "0.1", "0.5:2:4", "3", "--damping", "0.02"]
    (h1, h2, v), dt = trimmed(H1, H2, V)
    spectrum = response_spectrum(h1, h2, v, dt, [0.1, *np.geomspace(0.5, 2, 4), 3.0], 0.02)
    status, _, err = run(capsys, "spectrum", H1, H2, V, *periods, "--output", str(tmp_path / "s.csv"))
    assert status == 0 and "trimmed" in err
    table = rows(tmp_path / "s.csv")
    assert_same = np.testing.assert_array_equal
    assert_same([float(r["period_s"]) for r in table], spectrum.periods)
    assert_same([float(r["rotd50"]) for r in table], spectrum.rotd50)
    assert_same([float(r["psa_ver"]) for r in table], spectrum.psa_ver)  # read back exactly: shortest round trip
    assert table[0]["file_ver"] == V
    status, _, _ = run(capsys, "spectrum", V, "--periods", "0.2", "1", "--output", str(tmp_path / "one.json"))
    one = json.loads((tmp_path / "one.json").read_text())
    assert status == 0 and one["psa_000"] == gm_spectra(*read_at2(V), [0.2, 1.0]).psa.tolist()
    run(capsys, "spectrum", H1, H2, *periods, "--output", str(tmp_path / "s.json"))
    document = json.loads((tmp_path / "s.json").read_text())
    assert document["psa_ver"] is None and document["damping"] == 0.02
    np.testing.assert_array_equal(document["rotd100"], spectrum.rotd100)
    pytest.importorskip("matplotlib")
    status, out, _ = run(capsys, "spectrum", H1, H2, "--periods", "0.05:5:20", "--plot", str(tmp_path / "s.png"))
    assert status == 0 and "rotd50" in out and (tmp_path / "s.png").read_bytes()[:8] == PNG


@pytest.mark.parametrize("args, message", [
    (["spectrum", H1, H2, "--periods", "0.1:x:3"], "first:last:count"),
    (["spectrum", H1, H2, "--periods", "-1"], "periods must be positive and finite"),
    (["spectrum", H1, H2, "--periods", "1", "--output", "out.txt"], "must end in .csv or .json"),
    (["measures", "/no/such/file.AT2"], "/no/such/file.AT2: No such file or directory"),
    (["spectrum", H1, H2, "--damping", "1.5"], "outside [0, 1)"),
    (["spectrum", H1, H2, V, V], "unrecognized arguments"),
    (["smooth", H1, "--bandwidth", "0"], "is not positive and finite")])
def test_errors_exit_2_with_one_line(capsys, args, message):
    try:
        status, ours = cli.main(args), True
    except SystemExit as exit:  # argparse's own errors
        status, ours = exit.code, False
    err = capsys.readouterr().err
    assert status == 2 and message in err
    assert not ours or (err.count("\n") == 1 and err.startswith("groundmotion: error: "))


def test_plot_without_matplotlib_and_a_malformed_record_from_a_subprocess(capsys, tmp_path, monkeypatch):
    bad = tmp_path / "bad.AT2"
    bad.write_text("a\nb\nc\nNPTS= 3, DT= .01\n1 2 x\n")
    result = run_module("measures", str(bad))
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert result.stderr.strip() == f"groundmotion: error: {bad}, line 5: not a number: 'x'"
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    status, _, err = run(capsys, "spectrum", H1, H2, "--periods", "1", "--plot", str(tmp_path / "x.png"))
    assert status == 2 and "pip install 'groundmotion[plot]'" in err


def test_smooth_text_record(capsys, tmp_path):
    samples = np.random.default_rng(3).normal(size=256) * 0.1
    record = tmp_path / "acc.txt"
    record.write_text("\n".join(repr(float(v)) for v in samples))
    status, _, _ = run(capsys, "smooth", str(record), "--dt", "0.02", "--bandwidth", "25", "--output", str(tmp_path / "f.csv"))
    table = rows(tmp_path / "f.csv")
    assert status == 0 and len(table) == 129
    np.testing.assert_allclose([float(r["frequency (Hz)"]) for r in table], np.arange(129) / (256 * 0.02))
    amplitude = np.abs(np.fft.rfft(samples)) * 0.02
    np.testing.assert_allclose([float(r["amplitude (g s)"]) for r in table], amplitude, rtol=1e-15)
    np.testing.assert_array_equal([float(r["smoothed (g s)"]) for r in table], konno_ohmachi_smooth(amplitude, 25.0))
    (tmp_path / "two.csv").write_text("0,1\n2,3\n")
    for args, message in [([str(record)], "give its sampling interval with --dt"),
                          ([str(tmp_path / "two.csv"), "--dt", "0.01"], "choose the acceleration column with --column"),
                          ([H1, "--dt", "0.02"], "disagrees with DT=0.01")]:
        status, _, err = run(capsys, "smooth", *args)
        assert status == 2 and message in err


def test_parse_periods_and_library_messages_in_option_spelling():
    assert cli._as_options("dt must be positive; got -1.0") == "--dt must be positive; got -1.0"
    assert cli._as_options("center_frequencies[2] must be positive") == "--centers[2] must be positive"
    np.testing.assert_allclose(cli.parse_periods(["0.01:10:4"]), [0.01, 0.1, 1.0, 10.0])
    np.testing.assert_array_equal(cli.parse_periods(["2", "1"]), [2.0, 1.0])
    for bad in (["1:2"], ["0:1:3"], ["0.1:1:0"], ["abc"]):
        with pytest.raises(cli.CommandError):
            cli.parse_periods(bad)


def test_smooth_at_centres_and_eas_of_a_pair(capsys, tmp_path):
    (h1, dt), (h2, _) = read_at2(H1), read_at2(H2)
    status, _, _ = run(capsys, "smooth", H1, "--centers", "0.5:20:7", "--output", str(tmp_path / "c.csv"))
    table = rows(tmp_path / "c.csv")
    freq = np.fft.rfftfreq(h1.size, dt)
    expected = konno_ohmachi_smooth(np.abs(np.fft.rfft(h1)) * dt, frequencies=freq, center_frequencies=np.geomspace(0.5, 20, 7))
    assert status == 0 and len(table) == 7
    np.testing.assert_allclose([float(r["smoothed (g s)"]) for r in table], expected, rtol=1e-15)
    n = min(h1.size, h2.size)
    status, _, _ = run(capsys, "eas", H1, H2, "--centers", "9", "--output", str(tmp_path / "e.json"))
    document = json.loads((tmp_path / "e.json").read_text())
    eas = effective_amplitude_spectrum(h1[:n], h2[:n], dt, center_frequencies=np.geomspace(*np.fft.rfftfreq(n, dt)[[1, -1]], 9))
    assert status == 0 and document["bandwidth"] == 188.5
    np.testing.assert_allclose(document["eas_g_s"], eas.amplitude, rtol=1e-15)
    status, _, err = run(capsys, "eas", H1, H2, "--centers", "1:x")
    assert status == 2 and "first:last:count" in err
