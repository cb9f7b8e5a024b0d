"""The flatfile against the same table built with pyrotd and eqsig in a loop,
and on a local Dask cluster of one and two worker processes, measured side
by side in one run.

    python benchmarks/bench_flatfile.py [--records DIR] [--peer-stations 8]
                                        [--cluster-records 400] [--no-cluster]

Records: the PEER NGA-West2 files of DIR (by default ../shared/records/
peer_nga_west2 beside the repository when it is there, else tests/data/peer).

1. `gm.flatfile(DIR)` with the standard columns and the 111 NGA-West2 periods,
   one thread (and, for reference, every CPU: the default), best of three,
   split into reading (`read_records`) and computing (`flatfile`
   on the records read), against the same table from pyrotd and eqsig in a
   loop: a plain AT2 parser, eqsig for Arias, CAV and the significant
   durations, NumPy for PGA, PGV, PGD (cumulative trapezoids) and CAV5,
   pyrotd `calc_spec_accels` for the PSA of every component and
   `calc_rotated_spec_accels` and `calc_rotated_peaks` for the RotD rows.
   The peers run on --peer-stations stations and are scaled to all of them
   (their cost is linear in the number of stations).
2. A flatfile of --cluster-records files (the records repeated under new
   names) on a `LocalCluster` of one and of two worker processes with one
   thread each, against the local call with two threads; and the scheduler's
   overhead per task (a thousand empty tasks).
"""

import argparse
import os
import tempfile
import time
from pathlib import Path

import numpy as np

import groundmotion as gm
from groundmotion.flatfile import NGA_WEST2_PERIODS, flatfile

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared" / "records" / "peer_nga_west2"


def seconds(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def read_at2_plainly(path):
    with open(path) as handle:
        lines = handle.read().splitlines()
    head = lines[3].replace(",", " ").split()
    dt = float(head[head.index("DT=") + 1]) if "DT=" in head else float(head[1])
    return np.array([float(v) for line in lines[4:] for v in line.split()]), dt


def peer_station(paths, periods, damping):
    """The rows of one station, by pyrotd and eqsig."""
    import eqsig
    import pyrotd

    freqs = 1.0 / periods
    rows, comps = [], []
    for path in paths:
        acc, dt = read_at2_plainly(path)
        vel = np.concatenate([[0.0], np.cumsum((acc[1:] + acc[:-1]) * dt / 2)]) * 980.665
        disp = np.concatenate([[0.0], np.cumsum((vel[1:] + vel[:-1]) * dt / 2)])
        signal = eqsig.AccSignal(acc * 9.80665, dt)
        cav5 = acc.copy()
        cav5[np.abs(cav5) < gm.CAV5_THRESHOLD] = 0.0
        rows.append([np.abs(acc).max(), np.abs(vel).max(), np.abs(disp).max(),
                     eqsig.im.calc_arias_intensity(signal)[-1], eqsig.im.calc_cav(signal)[-1],
                     np.trapezoid(np.abs(cav5), dx=dt) * 9.81,
                     eqsig.im.calc_sig_dur(signal, 0.05, 0.75),
                     eqsig.im.calc_sig_dur(signal, 0.05, 0.95),
                     *pyrotd.calc_spec_accels(dt, acc, freqs, damping).spec_accel])
        comps.append((acc, dt))
    horizontals = [c for p, c in zip(paths, comps) if not Path(p).stem.upper().endswith(("UP", "DWN", "V"))]
    if len(horizontals) == 2:
        (a, dt), (b, _) = horizontals
        n = min(len(a), len(b))
        rotated = pyrotd.calc_rotated_spec_accels(dt, a[:n], b[:n], freqs, damping,
                                                  percentiles=[0, 50, 100])
        peaks = pyrotd.calc_rotated_peaks(dt, a[:n], b[:n], percentiles=[0, 50, 100]) \
            if hasattr(pyrotd, "calc_rotated_peaks") else None
        rows.append([rotated, peaks])
    return rows


def stations_of(folder):
    groups = {}
    for path in sorted(Path(folder).glob("*.AT2*")):
        groups.setdefault(path.name.split("_")[0], []).append(str(path))
    return list(groups.values())


def local(args, folder):
    stations = stations_of(folder)
    n_files = sum(len(s) for s in stations)
    print(f"1. {n_files} records, {len(stations)} stations, {len(NGA_WEST2_PERIODS)} periods, "
          f"one thread")
    flatfile(stations[0], workers=1)  # imports and first calls out of the timings

    def best(fn, repeat=3):
        runs = [seconds(fn) for _ in range(repeat)]
        return min(t for t, _ in runs), runs[-1][1]

    t_read, records = best(lambda: gm.read_records(folder))
    t_compute, table = best(lambda: flatfile(records, workers=1))
    t_total, _ = best(lambda: flatfile(folder, workers=1))
    t_all_cpus, _ = best(lambda: flatfile(folder))
    subset = stations[: args.peer_stations]
    t_peer, _ = seconds(lambda: [peer_station(s, NGA_WEST2_PERIODS, 0.05) for s in subset])
    t_peer_all = t_peer * len(stations) / len(subset)
    print(f"  groundmotion flatfile           {t_total:8.3f} s  (reading {t_read:.3f} s, "
          f"computing {t_compute:.3f} s), {len(table)} rows")
    print(f"  pyrotd + eqsig loop             {t_peer_all:8.3f} s  (timed on {len(subset)} "
          f"stations, {t_peer:.2f} s, scaled)")
    ratio = t_peer_all / t_total
    print(f"  ratio x{ratio:.1f}   target >= 30x: {'met' if ratio >= 30 else 'MISSED'}")
    print(f"  groundmotion flatfile, every CPU {t_all_cpus:8.3f} s  (the default workers=None; "
          f"ratio x{t_peer_all / t_all_cpus:.1f})")
    print(f"  per record: reading {1e3 * t_read / n_files:.2f} ms, computing "
          f"{1e3 * t_compute / n_files:.2f} ms (one thread)")


def cluster(args, folder):
    from distributed import Client, LocalCluster

    sources = sorted(Path(folder).glob("*.AT2*"))
    with tempfile.TemporaryDirectory() as tmp:
        count, copy = 0, 0
        while count < args.cluster_records:
            for path in sources:
                name = path.name.replace("RSN", f"RSN{copy + 1}0", 1)
                os.symlink(path, Path(tmp) / name)
                count += 1
            copy += 1
        print(f"\n2. {count} records on a local cluster (processes, one thread each)")
        t_threads, reference = seconds(lambda: flatfile(tmp, workers=2))
        times = {}
        for n in (1, 2):
            with LocalCluster(n_workers=n, threads_per_worker=1, dashboard_address=None) as c, \
                    Client(c) as client:
                # Every worker warm, as on a cluster that is already running.
                warm = [str(p) for p in sorted(sources)[:3]]
                client.run(lambda: len(flatfile(warm, workers=1)))
                times[n], frame = seconds(lambda: flatfile(tmp, client=client))
                assert frame.equals(reference), "the cluster's table differs from the local one"
                if n == 2:
                    futures = [client.submit(int, k, pure=False) for k in range(1000)]
                    t_tasks, _ = seconds(lambda: client.gather(futures))
                    submit_gather, _ = seconds(
                        lambda: client.gather([client.submit(int, k, pure=False)
                                               for k in range(1000)]))
        print(f"  local, two threads              {t_threads:8.3f} s")
        print(f"  Dask, one worker                {times[1]:8.3f} s")
        print(f"  Dask, two workers               {times[2]:8.3f} s")
        speedup = times[1] / times[2]
        print(f"  two workers over one            x{speedup:.2f}   target >= 1.7x: "
              f"{'met' if speedup >= 1.7 else 'MISSED'}")
        gap = times[2] / t_threads - 1
        print(f"  Dask (2) against threads (2)    {100 * gap:+.1f} %   target within 15 %: "
              f"{'met' if gap <= 0.15 else 'MISSED'}")
        print(f"  overhead per task               {1e3 * submit_gather / 1000:.3f} ms "
              f"(1000 empty tasks submitted and gathered)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", default=str(SHARED if SHARED.is_dir() else ROOT / "tests/data/peer"))
    parser.add_argument("--peer-stations", type=int, default=8)
    parser.add_argument("--cluster-records", type=int, default=400)
    parser.add_argument("--no-cluster", action="store_true")
    args = parser.parse_args()
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    local(args, args.records)
    if not args.no_cluster:
        cluster(args, args.records)


if __name__ == "__main__":
    main()
