"""The flatfile: rows and columns against the measures called directly, PEER's
published values, bad files, station pairing, the command line, and the same
table from a Dask cluster (gathered, written as Parquet, with a worker killed)."""

import csv
import os
import shutil
import signal
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from conftest import assert_same_bits

import groundmotion as gm
from groundmotion import cli
from groundmotion.flatfile import NGA_WEST2_PERIODS, flatfile, psa_column

pd = pytest.importorskip("pandas")
PEER = Path(__file__).parent / "data" / "peer"
# PEER's search report: D5-75 and D5-95 (s) and Arias intensity (m/s), the
# larger of the two horizontal components, rounded to 0.1 (PEER's durations
# come from its own processing: within a step of the rounding).
PUBLISHED = {"31": (5.9, 13.1, 0.4), "47": (3.9, 6.9, 0.0), "50": (1.7, 3.2, 0.1)}


@pytest.fixture(scope="module")
def table():
    return flatfile(PEER)


def test_rows_are_the_measures_of_the_records_and_pairs(table):
    assert len(table) == 18 and list(table.columns[:10]) == ["station", "component", "label", "rsn", "event", "date",
                                                             "station_name", "path", "dt", "npts"]
    assert len(table.columns) == 10 + 8 + len(NGA_WEST2_PERIODS) and psa_column(0.01) == "PSA(0.010)"
    for _, row in table[table.component.isin(["H1", "H2", "V"])].iterrows():
        acc, dt = gm.read_record(row.path).acceleration, row["dt"]
        peaks = gm.peak_motions(acc, dt)
        assert (row.PGA, row.PGV, row.PGD) == (peaks.pga, peaks.pgv, peaks.pgd)
        assert row["CAV5"] == gm.cav(acc, dt, gm.CAV5_THRESHOLD) and row["D5-75"] == gm.significant_duration(acc, dt, 0.05, 0.75)
        assert_same_bits(row.iloc[18:].to_numpy(float), gm.spectra(acc, dt, NGA_WEST2_PERIODS).psa)
    station = table[table.station == "RSN50"]
    h1, h2 = (gm.read_record(p).acceleration for p in station.path.iloc[:2])
    spectrum = gm.response_spectrum(h1, h2, None, 0.005, NGA_WEST2_PERIODS)
    assert_same_bits(station[station.component == "RotD50"].iloc[0, 18:].to_numpy(float), spectrum.rotd50)
    for rsn, values in PUBLISHED.items():
        horizontals = table[(table.rsn == rsn) & table.component.isin(["H1", "H2"])]
        ours = [horizontals[c].max() for c in ("D5-75", "D5-95", "Arias")]
        assert np.all(np.abs(np.array(ours) - values) <= [0.11, 0.11, 0.05])


def umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_bad_files_pairing_rules_and_the_command_line(tmp_path, capsys, table):
    folder = tmp_path / "records"
    shutil.copytree(PEER, folder)
    (folder / "RSN99_BROKEN_X000.AT2").write_text("header\nheader\nheader\nNPTS= 10, DT= .01\n1 2 x\n")
    with pytest.raises(gm.RecordFormatError, match="RSN99_BROKEN_X000"):
        flatfile(folder)
    with pytest.warns(gm.GroundMotionWarning, match="skipped"):
        kept = flatfile(folder, keep_going=True)
    assert len(kept) == 18 and kept.attrs["errors"][0][0].endswith("RSN99_BROKEN_X000.AT2")
    fine = flatfile(sorted(PEER.glob("RSN47*")), periods=[0.02, 1.0], steps_per_period=10, measures=[])
    record = gm.read_record(fine.path[0])
    assert_same_bits(fine.iloc[0, 10:].to_numpy(float), gm.spectra(record.acceleration, record.dt, [0.02, 1.0],
                                                                   steps_per_period=10).psa)
    alone = flatfile(sorted(PEER.glob("RSN31*")), pairs=False, measures=["PGA"], periods=[1.0])
    assert list(alone.component) == ["H1", "H1", "V"] and list(alone.columns[10:]) == ["PGA", "PSA(1.000)"]
    manifest = tmp_path / "manifest.csv"
    paths = sorted(str(p) for p in PEER.glob("RSN47*"))
    manifest.write_text("path,station,component\n" + "".join(f"{p},S{k % 2},{c}\n" for k, (p, c) in enumerate(zip(paths, ["N", "E", "UP"]))))
    assert sorted(flatfile(paths, pairs=manifest, periods=[1.0]).station.unique()) == ["S0", "S1"]

    out = tmp_path / "flat.csv"
    out.write_text("old")
    assert cli.main(["flatfile", str(folder), "--output", str(out)]) == 2 and out.read_text() == "old"
    assert cli.main(["flatfile", str(folder), "--output", str(out), "--keep-going"]) == 3
    assert "RSN99_BROKEN_X000.AT2" in capsys.readouterr().err
    with open(out, newline="") as handle:  # Python's own float(): exact on every version
        written = [float(row["PSA(1.000)"]) for row in csv.DictReader(handle)]
    assert_same_bits(written, table["PSA(1.000)"].to_numpy())
    assert oct(os.stat(out).st_mode & 0o777) == oct(0o666 & ~umask())
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        return
    assert cli.main(["flatfile", str(PEER), "--output", str(tmp_path / "flat.parquet"), "--periods", "1"]) == 0
    assert len(pd.read_parquet(tmp_path / "flat.parquet")) == 18


@pytest.mark.skipif(os.environ.get("GM_SANITIZED") == "1", reason="worker processes under the sanitizers")
def test_a_cluster_gives_the_local_table_even_when_a_worker_dies(tmp_path):
    distributed = pytest.importorskip("distributed")
    try:
        import pyarrow  # noqa: F401
    except ImportError:  # absent, or built for another NumPy
        pytest.skip("pyarrow does not import")
    folder = tmp_path / "many"
    folder.mkdir()
    for copy in range(12):  # 36 stations of three components
        for path in PEER.glob("*.AT2.gz"):
            (folder / path.name.replace("RSN", f"RSN{copy + 1}0")).symlink_to(path)
    local = flatfile(folder)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        gathered = flatfile(folder, client=client)
        pd.testing.assert_frame_equal(gathered, local)
        before = client.run(os.getpid)
        outcome = {}
        run = threading.Thread(target=lambda: outcome.update(rows=flatfile(folder, client=client, output=str(tmp_path / "ds"))))
        run.start()
        deadline = time.monotonic() + 30
        while not any(client.processing().values()) and time.monotonic() < deadline:
            time.sleep(0.002)
        busy = next(w for w, tasks in client.processing().items() if tasks)
        os.kill(before[busy], signal.SIGKILL)  # mid-run: the worker holds a partition
        run.join()
        assert set(client.run(os.getpid).values()) != set(before.values())  # a worker was replaced
        assert outcome["rows"] == len(local)
        pd.testing.assert_frame_equal(pd.read_parquet(tmp_path / "ds"), local, check_dtype=False)
        with pytest.raises(FileExistsError, match="overwrite"):
            flatfile(folder, client=client, output=str(tmp_path / "ds"))


@pytest.mark.skipif(os.environ.get("GM_SANITIZED") == "1", reason="a cluster under the sanitizers")
def test_object_storage_stand_in_read_locally_and_by_a_cluster():
    fsspec = pytest.importorskip("fsspec")
    distributed = pytest.importorskip("distributed")
    store = fsspec.filesystem("memory")
    for path in PEER.glob("*.AT2.gz"):
        store.pipe(f"/bucket/records/{path.name}", path.read_bytes())
    local = flatfile(PEER, periods=[0.2, 1.0]).drop(columns="path")
    remote = flatfile("memory://bucket/records", periods=[0.2, 1.0])
    assert remote.path[0].startswith("memory://")
    pd.testing.assert_frame_equal(remote.drop(columns="path"), local)
    # Worker threads share the process's memory filesystem, as workers share a bucket.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        gathered = flatfile("memory://bucket/records/RSN*", periods=[0.2, 1.0], client=client)
    pd.testing.assert_frame_equal(gathered.drop(columns="path"), local)
