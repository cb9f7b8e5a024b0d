"""Record readers: formats found by content, units to g, metadata, hostile files."""

import gzip
import os
import shutil
from pathlib import Path

import numpy as np
import pytest
from conftest import examples
from groundmotion import Record, RecordFormatError, io, read_at2, read_record, read_records

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
    variants = {"crcrlf": "\r\r\n".join(lines), "blank": "\n\n".join(lines), "cm": "\n".join(cm),
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
    assert records[1].units.upper() == "CM/SEC/SEC" and read_record(PEER[0]).units == "G"


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
