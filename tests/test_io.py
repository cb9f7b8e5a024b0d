"""Readers: PEER .AT2 files in their header spellings, text columns, bad files."""

import gzip
from importlib import resources

import numpy as np
import pytest
from conftest import examples
from groundmotion import RecordFormatError, read_at2, read_columns
from hypothesis import given, settings
from hypothesis import strategies as st

HEADER = ["PEER NGA STRONG MOTION DATABASE RECORD", "Imperial Valley-02, 5/19/1940, El Centro Array #9, 180",
          "ACCELERATION TIME SERIES IN UNITS OF G"]


def write_at2(path, header_line, samples, per_line=5, fmt="{:15.7E}"):
    body = ["".join(fmt.format(v) for v in samples[k : k + per_line]) for k in range(0, len(samples), per_line)]
    path.write_text("\n".join([*HEADER, header_line, *body]) + "\n")
    return path


def test_reads_the_bundled_records_like_their_text_gzipped_or_not(tmp_path):
    path = str(resources.files("groundmotion") / "data" / "RSN6_IMPVALL.I_I-ELC180.AT2.gz")
    samples, dt = read_at2(path)
    assert dt == 0.01 and samples.shape == (5372,) and samples.dtype == np.float64
    with gzip.open(path, "rt") as handle:
        lines = handle.read().splitlines()
    assert "NPTS=   5372, DT=   .0100 SEC" in lines[3]
    np.testing.assert_array_equal(samples, [float(t) for t in " ".join(lines[4:]).split()])
    (tmp_path / "plain.AT2").write_text("\n".join(lines))
    plain, plain_dt = read_at2(tmp_path / "plain.AT2")
    assert plain_dt == dt and np.array_equal(plain, samples)
    with pytest.raises(FileNotFoundError):
        read_at2(tmp_path / "absent.AT2")
    (tmp_path / "d.AT2").write_text("\n".join([*HEADER, "NPTS= 3, DT= .01", " 1.0D-02 -2.5D+00  3.0d0"]))
    assert read_at2(tmp_path / "d.AT2")[0].tolist() == [0.01, -2.5, 3.0]  # Fortran exponents


@pytest.mark.parametrize("line, dt", [
    ("NPTS=   5000, DT=   .0100 SEC,", 0.01), ("NPTS=  5000, DT=   0.005 SEC", 0.005), ("NPTS= 5000 DT= 0.01", 0.01),
    ("NPTS=5000,DT=1.0E-02", 0.01), ("DT= .0200 SEC, NPTS= 5000", 0.02), ("npts=5000, dt=0.01 sec", 0.01),
    ("  5000    0.0100    NPTS, DT", 0.01), ("5000 .005 NPTS, DT", 0.005), ("0.02 5000 DT, NPTS", 0.02),
    ("NPTS=   5000, DT=   .0100 SEC,   2 POLE @    0.1 HZ,  -2 POLE @      .05", 0.01)])
def test_header_spellings(tmp_path, line, dt):
    samples = np.linspace(-0.1, 0.1, 5000)
    got, got_dt = read_at2(write_at2(tmp_path / "r.AT2", line, samples))
    assert got_dt == dt and len(got) == 5000
    np.testing.assert_allclose(got, samples, rtol=1e-7, atol=1e-12)


@settings(max_examples=examples(30), deadline=None)
@given(st.lists(st.floats(-5, 5, allow_nan=False), min_size=1, max_size=60), st.integers(1, 8),
       st.sampled_from([" {:14.7E}", " {:15.8f}", " {!r}"]))
def test_round_trip_of_written_files(tmp_path_factory, values, per_line, fmt):
    path = write_at2(tmp_path_factory.mktemp("at2") / "r.AT2", f"NPTS= {len(values)}, DT= .0050 SEC", values, per_line, fmt)
    samples, dt = read_at2(path)
    assert dt == 0.005
    np.testing.assert_array_equal(samples, [float(fmt.format(v)) for v in values])


@pytest.mark.parametrize("lines, line, match", [
    (HEADER, None, r"ends after 3 line\(s\)"),
    ([*HEADER, "DT= .01 SEC", "1 2 3"], 4, r"no NPTS in the header line"),
    ([*HEADER, "NPTS= 3", "1 2 3"], 4, r"no DT in the header line"),
    ([*HEADER, "5000 samples", "1 2 3"], 4, r"no NPTS or DT"),
    ([*HEADER, "NPTS= 3, DT= 0.0", "1 2 3"], 4, r"DT must be positive and finite; got 0\.0"),
    ([*HEADER, "NPTS= 3, DT= -.01", "1 2 3"], 4, r"DT must be positive"),
    ([*HEADER, "NPTS= 0, DT= .01", ""], 4, r"NPTS must be a positive whole number; got 0"),
    ([*HEADER, "NPTS= 2.5, DT= .01", "1 2 3"], 4, r"NPTS must be a positive whole number; got 2\.5"),
    ([*HEADER, "NPTS= 6, DT= .01", "1 2 3", "4 x 6"], 6, r"not a number: 'x'"),
    ([*HEADER, "NPTS= 6, DT= .01", "1 2 3", "4 5"], 6, r"NPTS=6 but the file holds only 5 samples"),
    ([*HEADER, "NPTS= 4, DT= .01", "1 2 3", "4 5 6", "7"], 6, r"holds 7 samples, more than NPTS=4")])
def test_malformed_files_name_the_file_and_line(tmp_path, lines, line, match):
    path = tmp_path / "bad.AT2"
    path.write_text("\n".join(lines) + "\n")
    with pytest.raises(RecordFormatError, match=match) as info:
        read_at2(path)
    assert isinstance(info.value, ValueError) and (info.value.path, info.value.line) == (str(path), line)
    assert str(info.value).startswith(f"{path}, line {line}: " if line else f"{path}: ")


def test_columns_whitespace_csv_and_gzip(tmp_path):
    data = np.array([[0.0, 0.1, -0.2], [0.01, 0.15, -0.25], [0.02, -0.05, 0.3]])
    (tmp_path / "r.txt").write_text("# time h1 h2\n" + "\n".join(" ".join(map(str, row)) for row in data) + "\n\n")
    table = read_columns(tmp_path / "r.txt")
    assert table.flags.c_contiguous and np.array_equal(table, data.T)  # one record per row
    (tmp_path / "r.csv").write_text("t,h1,h2\n" + "\n".join(",".join(map(str, row)) for row in data) + "\n")
    np.testing.assert_array_equal(read_columns(tmp_path / "r.csv", skiprows=1), data.T)
    np.testing.assert_array_equal(read_columns(tmp_path / "r.csv", skiprows=1, usecols=1), data[:, 1])
    np.testing.assert_array_equal(read_columns(tmp_path / "r.csv", skiprows=1, usecols=[2, -3]), data[:, [2, 0]].T)
    (tmp_path / "r.dat").write_text("1;2\n3;4\n")
    np.testing.assert_array_equal(read_columns(tmp_path / "r.dat", delimiter=";"), [[1, 3], [2, 4]])
    with gzip.open(tmp_path / "acc.txt.gz", "wt") as handle:
        handle.write("0.1\n-0.2\n0.3\n")
    np.testing.assert_array_equal(read_columns(tmp_path / "acc.txt.gz"), [0.1, -0.2, 0.3])


@pytest.mark.parametrize("text, kwargs, line, match", [
    ("t,acc\n0,1\n", {}, 1, r"not a number: 't' \(use skiprows= to skip a header\)"),
    ("1 2\n3 4 5\n", {}, 2, r"3 columns, but the first data line has 2"),
    ("1 2\n3 oops\n", {}, 2, r"not a number: 'oops'"), ("# only a comment\n\n", {}, None, r"holds no data lines"),
    ("1 2\n", {"usecols": [5]}, 1, r"usecols=\[5\] asks for a column past the 2 here")])
def test_malformed_columns(tmp_path, text, kwargs, line, match):
    path = tmp_path / "bad.txt"
    path.write_text(text)
    with pytest.raises(RecordFormatError, match=match) as info:
        read_columns(path, **kwargs)
    assert info.value.line == line and str(path) in str(info.value)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.floats(allow_nan=False), max_size=40), st.lists(st.sampled_from([" ", "\n", "\t", "\r\n", "  "]), min_size=41, max_size=41),
       st.sampled_from(["{:r}", "{:.7E}", "{:.3e}", "+{:r}", "{:.17g}"]))
def test_the_compiled_number_reader_is_python_float(values, spaces, form):
    from groundmotion._measures import _parse_numbers

    tokens = [(form.replace(":r", "!r") if ":r" in form else form).format(v) for v in values]
    tokens = [t.replace("+-", "-") for t in tokens]
    text = "".join(s + t for s, t in zip(spaces, tokens)) + spaces[-1]
    parsed = _parse_numbers(text.encode())
    assert parsed[0] == -1 and parsed[1:].tolist() == [float(t) for t in tokens]
    for bad, at in ((b"1 2 x3", 4), (b"1 ++2", 2), (b"0x10", 0), (b"1,5", 0)):
        assert _parse_numbers(bad).tolist() == [at]
    assert _parse_numbers(b"1e400 -1e-400").tolist() == [-1, float("1e400"), float("-1e-400")]
