"""The command line, in-process and as `python -m groundmotion`."""

from __future__ import annotations

import csv
import json
import os
import subprocess
import sys
from importlib import resources
from pathlib import Path

import numpy as np
import pytest

import groundmotion
from groundmotion import cli
from groundmotion.api import (
    arias_intensity,
    cav,
    konno_ohmachi_smooth,
    response_spectrum,
    rotd,
    significant_duration,
)
from groundmotion.io import read_at2

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
DATA = resources.files("groundmotion") / "data"
H1 = str(DATA / "RSN6_IMPVALL.I_I-ELC180.AT2.gz")
H2 = str(DATA / "RSN6_IMPVALL.I_I-ELC270.AT2.gz")
V = str(DATA / "RSN6_IMPVALL.I_I-ELC-UP.AT2.gz")


def run_module(*args, cwd=None):
    """`python -m groundmotion ARGS` in a fresh interpreter that finds this package."""
    env = dict(os.environ)
    package_parent = str(Path(groundmotion.__file__).resolve().parent.parent)
    stage_parent = str(Path(groundmotion.__file__).parent.parent)
    env["PYTHONPATH"] = os.pathsep.join([stage_parent, package_parent, env.get("PYTHONPATH", "")])
    env["MPLBACKEND"] = "Agg"
    return subprocess.run(
        [sys.executable, "-m", "groundmotion", *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        env=env,
        timeout=300,
    )


def run(capsys, *args):
    status = cli.main(list(args))
    out, err = capsys.readouterr()
    return status, out, err


def trimmed(*paths):
    records = [read_at2(p) for p in paths]
    n = min(len(r[0]) for r in records)
    return [r[0][:n] for r in records], records[0][1]


# ---------------------------------------------------------------------------
# demo


def test_demo_as_a_module_writes_tables_and_plots(tmp_path):
    pytest.importorskip("matplotlib")
    result = run_module("demo", "--output-dir", str(tmp_path / "out"))
    assert result.returncode == 0, result.stderr
    assert "El Centro Array #9" in result.stdout and "RotD50" in result.stdout
    for name in ("response_spectrum.png", "fourier_spectrum.png"):
        image = tmp_path / "out" / name
        assert image.read_bytes()[:8] == PNG_SIGNATURE
    with open(tmp_path / "out" / "response_spectrum.csv") as handle:
        rows = list(csv.DictReader(handle))
    assert len(rows) == 111  # PEER's periods
    (h1, h2, v), dt = trimmed(H1, H2, V)
    periods = np.array([float(r["period (s)"]) for r in rows])
    spectrum = response_spectrum(h1, h2, v, dt, periods)
    np.testing.assert_array_equal([float(r["RotD50 (g)"]) for r in rows], spectrum.rotd50)


def test_demo_without_matplotlib_still_runs(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    status, out, _ = run(capsys, "demo", "--output-dir", str(tmp_path))
    assert status == 0
    assert "no plots" in out and "groundmotion[plot]" in out
    assert (tmp_path / "response_spectrum.csv").exists()
    assert not (tmp_path / "response_spectrum.png").exists()


# ---------------------------------------------------------------------------
# measures


def parse_table(text):
    lines = [line.split() for line in text.strip().splitlines()]
    return {row[0]: [float(v) for v in row[1:]] for row in lines[1:] if len(row) == 6}


def test_measures_table_matches_the_functions(capsys):
    status, out, _ = run(capsys, "measures", H1, V)
    assert status == 0
    table = parse_table(out)
    samples, dt = read_at2(V)
    pga, ia, cav_value, d575, d595 = table[Path(V).name]
    assert pga == pytest.approx(np.abs(samples).max(), rel=1e-5)
    assert ia == pytest.approx(arias_intensity(samples, dt), rel=1e-5)
    assert cav_value == pytest.approx(cav(samples, dt), rel=1e-5)
    assert d575 == pytest.approx(significant_duration(samples, dt, 0.05, 0.75), rel=1e-5)
    assert d595 == pytest.approx(significant_duration(samples, dt), rel=1e-5)
    # Two files are taken as a horizontal pair.
    (h1, v_trimmed), _ = trimmed(H1, V)
    assert f"{rotd(h1, v_trimmed).rotd50:.6g} g" in out


def test_measures_pairs(capsys, tmp_path):
    status, out, _ = run(capsys, "measures", H1, H2, V)
    assert status == 0 and "RotD50" not in out and len(parse_table(out)) == 3
    status, out, _ = run(capsys, "measures", "--pair", H1, H2, H2, H1)
    assert status == 0 and out.count("RotD50 PGA of") == 2
    status, _, err = run(capsys, "measures", "--pair", H1, H2, V)
    assert status == 2 and "two by two" in err
    target = tmp_path / "m.json"
    status, _, _ = run(capsys, "measures", H1, H2, "--output", str(target))
    document = json.loads(target.read_text())
    assert [r["record"] for r in document["records"]] == [Path(H1).name, Path(H2).name]
    (h1, h2), _ = trimmed(H1, H2)
    assert document["pairs"][0]["rotd50_pga_g"] == rotd(h1, h2).rotd50


# ---------------------------------------------------------------------------
# spectrum


def test_spectrum_csv_json_and_plot(capsys, tmp_path):
    periods = ["0.1", "0.5:2:4", "3"]
    expected_periods = [0.1, *np.geomspace(0.5, 2, 4), 3.0]
    (h1, h2, v), dt = trimmed(H1, H2, V)
    spectrum = response_spectrum(h1, h2, v, dt, expected_periods, 0.02)

    target = tmp_path / "s.csv"
    status, out, err = run(
        capsys,
        "spectrum",
        H1,
        H2,
        V,
        "--periods",
        *periods,
        "--damping",
        "0.02",
        "--output",
        str(target),
    )
    assert status == 0 and "trimmed" in err
    with open(target) as handle:
        rows = list(csv.DictReader(handle))
    np.testing.assert_array_equal([float(r["period (s)"]) for r in rows], expected_periods)
    np.testing.assert_array_equal([float(r["RotD50 (g)"]) for r in rows], spectrum.rotd50)
    np.testing.assert_array_equal(
        [float(r[f"PSA {Path(V).name} (g)"]) for r in rows], spectrum.psa_ver
    )

    target = tmp_path / "s.json"
    status, *_ = run(
        capsys,
        "spectrum",
        H1,
        H2,
        "--periods",
        *periods,
        "--damping",
        "0.02",
        "--output",
        str(target),
    )
    document = json.loads(target.read_text())
    assert document["psa_ver"] is None and document["damping"] == 0.02
    np.testing.assert_array_equal(document["rotd100"], spectrum.rotd100)

    pytest.importorskip("matplotlib")
    image = tmp_path / "s.png"
    status, out, _ = run(capsys, "spectrum", H1, H2, "--periods", "0.05:5:20", "--plot", str(image))
    assert status == 0 and "RotD50 (g)" in out
    assert image.read_bytes()[:8] == PNG_SIGNATURE


def test_spectrum_plot_without_matplotlib_is_a_clear_error(capsys, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    status, _, err = run(
        capsys, "spectrum", H1, H2, "--periods", "1", "--plot", str(tmp_path / "x.png")
    )
    assert status == 2 and "pip install 'groundmotion[plot]'" in err


@pytest.mark.parametrize(
    "args, message",
    [
        (["spectrum", H1, H2, "--periods", "0.1:x:3"], "first:last:count"),
        (["spectrum", H1, H2, "--periods", "-1"], "periods must be positive and finite"),
        (
            ["spectrum", H1, H2, "--periods", "1", "--output", "out.txt"],
            "must end in .csv or .json",
        ),
        (["measures", "/no/such/file.AT2"], "/no/such/file.AT2: No such file or directory"),
    ],
)
def test_errors_are_one_line_with_status_2(capsys, args, message):
    status, _, err = run(capsys, *args)
    assert status == 2
    assert err.count("\n") == 1 and err.startswith("groundmotion: error: ")
    assert message in err


@pytest.mark.parametrize(
    "args, message",
    [
        (["spectrum", H1, H2, "--damping", "1.5"], "outside [0, 1)"),
        (["spectrum", H1], "the following arguments are required: H2"),
        (["spectrum", H1, H2, V, V], "unrecognized arguments"),
        (["smooth", H1, "--bandwidth", "0"], "is not positive and finite"),
    ],
)
def test_argument_errors_exit_2_through_argparse(capsys, args, message):
    with pytest.raises(SystemExit) as info:
        cli.main(args)
    assert info.value.code == 2
    assert message in capsys.readouterr().err


def test_malformed_record_from_a_subprocess_has_no_traceback(tmp_path):
    bad = tmp_path / "bad.AT2"
    bad.write_text("a\nb\nc\nNPTS= 3, DT= .01\n1 2 x\n")
    result = run_module("measures", str(bad))
    assert result.returncode == 2
    assert "Traceback" not in result.stderr
    assert result.stderr.strip() == f"groundmotion: error: {bad}, line 5: not a number: 'x'"


# ---------------------------------------------------------------------------
# smooth and plain text records


def test_smooth_text_record(capsys, tmp_path):
    samples = np.random.default_rng(3).normal(size=256) * 0.1
    record = tmp_path / "acc.txt"
    record.write_text("\n".join(repr(float(v)) for v in samples))
    target = tmp_path / "fas.csv"
    status, _, _ = run(
        capsys, "smooth", str(record), "--dt", "0.02", "--bandwidth", "25", "--output", str(target)
    )
    assert status == 0
    with open(target) as handle:
        rows = list(csv.DictReader(handle))
    assert len(rows) == 129
    freq = np.array([float(r["frequency (Hz)"]) for r in rows])
    np.testing.assert_allclose(freq, np.arange(129) / (256 * 0.02))
    amplitude = np.abs(np.fft.rfft(samples)) * 0.02
    np.testing.assert_allclose([float(r["amplitude (g s)"]) for r in rows], amplitude, rtol=1e-15)
    np.testing.assert_array_equal(
        [float(r["smoothed (g s)"]) for r in rows], konno_ohmachi_smooth(amplitude, 25.0)
    )

    status, _, err = run(capsys, "smooth", str(record))
    assert status == 2 and "give its sampling interval with --dt" in err
    two = tmp_path / "two.csv"
    two.write_text("0,1\n2,3\n")
    status, _, err = run(capsys, "smooth", str(two), "--dt", "0.01")
    assert status == 2 and "choose the acceleration column with --column" in err
    status, _, err = run(capsys, "smooth", H1, "--dt", "0.02")
    assert status == 2 and "disagrees with DT=0.01" in err


def test_parse_periods():
    np.testing.assert_allclose(cli.parse_periods(["0.01:10:4"]), [0.01, 0.1, 1.0, 10.0])
    np.testing.assert_array_equal(cli.parse_periods(["2", "1"]), [2.0, 1.0])
    for bad in (["1:2"], ["0:1:3"], ["0.1:1:0"], ["abc"]):
        with pytest.raises(cli.CommandError):
            cli.parse_periods(bad)
