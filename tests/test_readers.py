"""Record readers: formats found by content, units to g, metadata, hostile files."""

import gzip
import io
import os
import shutil
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import examples
from groundmotion import Record, RecordFormatError, read_at2, read_record, read_records
from groundmotion import io as gmio

DATA = Path(__file__).parent / "data"
FORMATS = DATA / "formats"
PEER = sorted((DATA / "peer").glob("*.AT2.gz"))
CM = 980.665  # cm/s^2 in one g


def wave(n):  # the cm/s^2 values the synthetic files were written from
    k = np.arange(n)
    return 150.0 * np.sin(0.3 * k) * np.exp(-0.01 * k)


def peer_text(path):
    return gzip.decompress(path.read_bytes()).decode()


def test_at2_vintages_give_one_record_with_its_metadata(tmp_path):
    text = peer_text(PEER[0])
    lines = text.splitlines()
    expect = np.array(" ".join(lines[4:]).split(), dtype=float)  # the file read by hand
    cm = [*lines[:2], "ACCELERATION TIME SERIES IN UNITS OF CM/SEC/SEC", lines[3]] + [
        " ".join(f"{v * CM:.9e}" for v in expect[k : k + 5]) for k in range(0, expect.size, 5)]
    old = ["PEER STRONG MOTION DATABASE RECORD. PROCESSING BY PACIFIC ENGINEERING.", "PARKFIELD 06/28/66 0426, CHOLAME #8, 050",
           "ACCELERATION TIME HISTORY IN UNITS OF G. FILTER POINTS: HP=0.1 Hz LP=40.0 Hz", f" {expect.size}   0.01000   NPTS, DT"]
    variants = {"crcrlf": "\r\r\n".join(lines), "blank": "\n\n".join(lines), "cm": "\n".join(cm),
                "cms2": "\n".join(cm).replace("CM/SEC/SEC", "CM/S^2"), "old": "\n".join(old + lines[4:]),
                "late": "\n".join([lines[0], "extra note", "", *lines[1:]]), "cr": "\r".join(lines)}
    for key, body in variants.items():
        (tmp_path / f"RSN31_PARKF_C08050{key}.AT2").write_text(body, newline="")
    records = read_records(tmp_path)
    assert [r.name for r in records] == sorted(r.name for r in records) and len(records) == len(variants)
    for record in [read_record(PEER[0]), *records]:
        np.testing.assert_allclose(record.acceleration, expect, rtol=1e-8, atol=0)
        assert record.dt == 0.01 and record.metadata["rsn"] == 31 and not record.acceleration.flags.writeable
    meta = read_record(PEER[0]).metadata
    assert (meta["event"], meta["date"], meta["station"]) == ("Parkfield", "6/28/1966", "Cholame - Shandon Array #8")
    assert [(r.component, r.metadata["vertical"]) for r in read_records(PEER[:3])] == [
        ("050", False), ("320", False), ("DWN", True)]
    assert [r.units for r in records[1:3]] == ["CM/SEC/SEC", "CM/S^2"] and read_record(PEER[0]).units == "G"
    assert (records[-1].metadata["event"], records[-1].metadata["date"], records[-1].component) == ("PARKFIELD", "06/28/66", "050")


@pytest.mark.parametrize("name, header, match", [
    ("RSN1_X-ELC180.VT2", "VELOCITY TIME SERIES IN UNITS OF CM/SEC", "VT2 file holds velocity"),
    ("RSN1_X-ELC180.DT2", "DISPLACEMENT TIME SERIES IN UNITS OF CM", "holds displacement"),
    ("r.AT2", "VELOCITY TIME SERIES IN UNITS OF CM/SEC", "velocity time series, not acceleration"),
    ("r.AT2", "ACCELERATION TIME SERIES IN UNITS OF FT/S2", "units 'FT/S2'"),
    ("r.AT2", "ACCELERATION IN UNITS OF G", "NPTS=1000000000000 but the file holds only 3")])
def test_at2_refusals(tmp_path, name, header, match):
    npts = 10**12 if "NPTS=1000" in match else 3
    (tmp_path / name).write_text(f"PEER\nEvent, 1/1/2000, Station, 90\n{header}\nNPTS= {npts}, DT= .01 SEC\n1 2 3\n")
    with pytest.raises(RecordFormatError, match=match):
        read_record(tmp_path / name)
    if name.endswith("AT2"):
        with pytest.raises(RecordFormatError, match=match):
            read_at2(tmp_path / name)


def test_cosmos_smc_and_csmip_files_match_the_values_written(tmp_path):
    cosmos, smc = read_record(FORMATS / "synthetic.V2c"), read_record(FORMATS / "synthetic.smc")
    np.testing.assert_allclose(cosmos.acceleration * CM, wave(200), atol=5e-6)  # velocity set skipped
    np.testing.assert_allclose(smc.acceleration * CM, wave(200), atol=1e-4)
    assert (cosmos.dt, cosmos.component, cosmos.metadata["event"]) == (0.01, "090", "Synthetic Test Event")
    assert (smc.dt, smc.component, smc.metadata["station"]) == (0.01, "270", "TST1")
    csmip = read_records(FORMATS / "synthetic_csmip.V2")
    assert [(r.component, r.metadata["vertical"], r.dt) for r in csmip] == [("360", False, 0.01), ("UP", True, 0.01)]
    for sign, record in zip((1, -1), csmip):
        np.testing.assert_allclose(record.acceleration * CM, sign * wave(100), atol=5e-4)
    with pytest.raises(RecordFormatError, match="holds 2 records; read them with read_records"):
        read_record(FORMATS / "synthetic_csmip.V2")
    cosmos_lines = (FORMATS / "synthetic.V2c").read_text().splitlines()
    smc_lines = (FORMATS / "synthetic.smc").read_text().splitlines()
    for lines, match in [(cosmos_lines[len(cosmos_lines) // 2 :], "holds velocity, no acceleration"),
                         (["3 VELOCITY", *smc_lines[1:]], "holds 'velocity', not an accelerogram"),
                         (cosmos_lines[:60], r"line 60: the data block ends after 96 of 200 samples")]:
        (tmp_path / "r.V2").write_text("\n".join(lines))
        with pytest.raises(RecordFormatError, match=match):
            read_record(tmp_path / "r.V2")


def test_obspy_formats_scale_factor_and_unknown_units(tmp_path):
    obspy = pytest.importorskip("obspy")
    knet = read_record(FORMATS / "TST0012001021204.EW")
    counts = np.array((FORMATS / "TST0012001021204.EW").read_text().split("\n", 17)[17].split(), dtype=float)
    np.testing.assert_allclose(knet.acceleration, (counts - counts.mean()) * 3920 / 6182761 / CM, rtol=1e-12)
    assert (knet.dt, knet.component, knet.metadata["station"], knet.metadata["mag"]) == (0.01, "EW", "TST001", 5.9)
    data = np.arange(-50, 50, dtype=np.int32)
    traces = [obspy.Trace(data, {"station": "ST", "channel": c, "delta": 0.02}) for c in ("HNE", "HNZ")]
    obspy.Stream(traces[:1]).write(str(tmp_path / "one.sac"), format="SAC")
    obspy.Stream(traces).write(str(tmp_path / "two.mseed"), format="MSEED")
    for path in (tmp_path / "one.sac", tmp_path / "two.mseed"):
        with pytest.raises(RecordFormatError, match="pass units="):
            read_records(path)
    sac = read_record(tmp_path / "one.sac", units="cm/s2")
    np.testing.assert_allclose(sac.acceleration, data / CM)
    pair = read_records(tmp_path / "two.mseed", calibration=2e-3)  # counts to m/s^2
    assert [r.component for r in pair] == ["HNE", "HNZ"] and pair[1].metadata["vertical"]
    np.testing.assert_allclose(pair[0].acceleration, data * 2e-3 / 9.80665)
    os.rename(tmp_path / "one.sac", tmp_path / "disguised.txt")  # found by content, not name
    assert read_record(tmp_path / "disguised.txt", units="g").metadata["format"] == "sac"


@pytest.mark.parametrize("text, kwargs, expect", [
    ("\ufefftime,acc\n0,0.1\n0.02,-0.2\n0.04,0.3\n", {}, (0.02, [0.1, -0.2, 0.3], "g")),
    ("0.0 1\n0.01 2\n0.02 3\n0.03 4\n", {}, (0.01, [1, 2, 3, 4], "g")),
    ("acc (cm/s2)\n98.0665\n-196.133\n", {"dt": 0.005}, (0.005, [0.1, -0.2], "cm/s2")),
    ("t;a;b\n0;1;2\n1;3;4\n", {"column": "b", "units": "m/s2"}, (1.0, [2 / 9.80665, 4 / 9.80665], "m/s2")),
    ("# comment\n0.5\n-0.5\n", {"dt": 0.01, "units": "m/s2"}, (0.01, [0.5 / 9.80665, -0.5 / 9.80665], "m/s2"))])
def test_text_and_csv(tmp_path, text, kwargs, expect):
    (tmp_path / "r.csv").write_text(text, encoding="utf-8")
    record = read_record(tmp_path / "r.csv", **kwargs)
    assert (record.dt, record.units) == expect[::2]
    np.testing.assert_allclose(record.acceleration, expect[1], rtol=1e-12)


def test_text_round_trip_through_both_parsers(tmp_path_factory):
    hypothesis = pytest.importorskip("hypothesis")
    st = hypothesis.strategies

    @hypothesis.settings(max_examples=examples(60), deadline=None, database=None)
    @hypothesis.given(st.lists(st.floats(-10, 10, allow_nan=False, width=32), min_size=2, max_size=50),
                      st.sampled_from([",", ";", "\t", "  "]), st.booleans(), st.sampled_from(["", "time,acc\n"]))
    def check(values, sep, comment, header):  # a comment line sends the file through the line-by-line parser
        rows = [f"{k * 0.01:.2f}{sep}{v!r}" + ("\n# note" if comment and k == 1 else "") for k, v in enumerate(values)]
        path = tmp_path_factory.mktemp("t") / "r.txt"
        path.write_text(header.replace(",", sep) + "\n".join(rows) + "\n")
        record = read_record(path)
        assert record.dt == pytest.approx(0.01) and record.acceleration.tolist() == values

    check()


@pytest.mark.parametrize("data, match", [
    (b"0,0123\n-0,0045\n0,0210\n0,0150\n", "decimal comma"),
    (b"acc;b\n0,0123;1\n", "line 2: '0,0123' has a decimal comma"),
    (b"0.1\n0.2\n", "no time column; pass dt="),
    (b"0 1 2\n1 3 4\n2 5 6\n", "2 data columns; choose one with column="),
    (b"0.1\n0.2\nnan\n", "a sample is nan"),
    (gzip.compress(b"0.1\n" * 5000)[:30], "gzip data are truncated"),
    (bytes(range(256)) * 8, "binary content"),
    (b"PEER\nx, 1/1/2000, y, 90\nUNITS OF G\nNPTS= 2, DT= .01\n" + b"\x00\x01\xff" * 100, "binary content")])
def test_malformed_files_are_refused_by_name(tmp_path, data, match):
    path = tmp_path / "record.dat"
    path.write_bytes(data)
    with pytest.raises(RecordFormatError, match=match) as info:
        read_record(path)
    assert str(path) in str(info.value)


def test_gzip_by_content_and_a_bound_on_its_size(tmp_path, monkeypatch):
    plain = peer_text(PEER[1])
    (tmp_path / "no_gz_suffix.AT2").write_bytes(gzip.compress(plain.encode()))
    np.testing.assert_array_equal(read_record(tmp_path / "no_gz_suffix.AT2").acceleration, read_at2(PEER[1])[0])
    monkeypatch.setattr(gmio, "MAX_RECORD_BYTES", len(plain) - 1)
    with pytest.raises(RecordFormatError, match="expand beyond MAX_RECORD_BYTES"):
        read_record(tmp_path / "no_gz_suffix.AT2")
    (tmp_path / "plain.AT2").write_text(plain)
    with pytest.raises(RecordFormatError, match="larger than MAX_RECORD_BYTES"):
        read_record(tmp_path / "plain.AT2")


def test_read_records_from_a_folder_a_glob_a_list_and_argument_errors(tmp_path):
    shutil.copytree(DATA / "peer", tmp_path / "peer")
    shutil.copy(FORMATS / "synthetic.smc", tmp_path / "peer" / "sub.smc")
    (tmp_path / "peer" / "notes.csv").write_text("not,a,record\n")
    (tmp_path / "peer" / "RSN1_X.VT2").write_text("velocity")
    names = [r.name for r in read_records(tmp_path / "peer")]
    assert names == sorted(p.name[:-7] for p in PEER) + ["sub"]
    assert [r.name for r in read_records(str(tmp_path / "peer" / "*DWN.AT2.gz"))] == [p.name[:-7] for p in PEER if "DWN" in p.name]
    assert [r.name for r in read_records([PEER[2], PEER[0]])] == [PEER[2].name[:-7], PEER[0].name[:-7]]
    for kwargs, error, match in [({"format": "xyz"}, ValueError, "format must be"), ({"units": "furlongs"}, ValueError, "units must"),
                                 ({"dt": -1.0}, ValueError, "dt must"), ({"calibration": 0.0}, ValueError, "calibration must")]:
        with pytest.raises(error, match=match):
            read_records(PEER, **kwargs)
    with pytest.raises(TypeError, match="paths must"):
        read_records(42)
    with pytest.raises(FileNotFoundError, match="no file matches"):
        read_records(str(tmp_path / "*.none"))
    with pytest.raises(ValueError, match="dt must be positive"):
        Record([0.1, 0.2], dt=0.0)


def test_optional_readers_name_their_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "obspy", None)  # as if ObsPy were not installed
    with pytest.raises(ImportError, match=r"pip install 'groundmotion\[obspy\]'"):
        read_record(FORMATS / "TST0012001021204.EW")


def test_urls_through_fsspec():
    fsspec = pytest.importorskip("fsspec")
    with fsspec.open("memory://records/r.AT2", "wb") as handle:
        handle.write(PEER[0].read_bytes())
    np.testing.assert_array_equal(read_record("memory://records/r.AT2").acceleration, read_at2(PEER[0])[0])


SHORT_AT2 = "\n".join([*peer_text(PEER[0]).splitlines()[:3], "NPTS=  100, DT= .0100 SEC", *peer_text(PEER[0]).splitlines()[4:24]])
SEEDS = [SHORT_AT2.encode()] + [
    (FORMATS / name).read_bytes()[:6000] for name in ("synthetic.V2c", "synthetic.smc", "synthetic_csmip.V2", "TST0012001021204.EW")]


def test_fuzzed_files_give_a_record_or_a_format_error(tmp_path_factory):
    hypothesis = pytest.importorskip("hypothesis")
    st = hypothesis.strategies
    seeds = SEEDS if _has("obspy") else SEEDS[:-1]  # the K-NET file needs ObsPy
    if _has("obspy"):
        import obspy

        for fmt in ("MSEED", "SAC"):
            buffer = io.BytesIO()
            obspy.Trace(np.arange(300, dtype=np.int32), {"channel": "HNE"}).write(buffer, format=fmt)
            seeds = [*seeds, buffer.getvalue()]
    path = tmp_path_factory.mktemp("fuzz") / "record.dat"

    @hypothesis.settings(max_examples=examples(250), deadline=None, database=None)
    @hypothesis.given(st.one_of(
        st.binary(max_size=3000),
        st.tuples(st.sampled_from(seeds), st.lists(st.tuples(st.floats(0, 1), st.binary(max_size=12), st.integers(0, 40)), max_size=6),
                  st.floats(0.05, 1)).map(_mutate)))
    def check(data):
        path.write_bytes(data)
        try:
            assert isinstance(read_record(path, units="g" if data[:1] in (b"0", b"\x00") else None), Record)
        except RecordFormatError:
            pass

    check()


def _mutate(args):
    data, edits, keep = args
    data = bytearray(data[: max(1, int(len(data) * keep))])
    for where, insert, cut in edits:
        k = int(where * len(data))
        data[k : k + cut] = insert
    return bytes(data)


def _has(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True
