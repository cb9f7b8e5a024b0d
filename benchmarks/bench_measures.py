"""The time-domain kernels of peak motions, CAV variants and durations on a
(1000, 20000) batch, as ratios to np.sum over the same array, and
rotd_peak_motions against one gm.rotd call; all measured side by side in one
run, best of --repeat.

    python benchmarks/bench_measures.py [--rows 1000] [--cols 20000] [--repeat 5]

Input: white noise under a Gaussian envelope, C order, dt = 0.01 s (and
dt = 0.007 s for CAVstd, whose windows are then 142 or 143 intervals).  The
kernels are called directly (one thread, no argument checks), then the
public functions, which add the argument checks and the look for a unit
mistake.
rotd_peak_motions (acceleration, velocity and displacement, percentiles 0,
50 and 100) runs against one gm.rotd call on the same pairs, with the same
percentiles and without them: on --pairs pairs of the noise records (whose
velocity is a random walk, a hard case for the hull), and on the horizontal
pairs of the real records in ../shared/records when they are there (one
call per pair, times summed).
"""

import argparse
import collections
import glob
import re
import time
from pathlib import Path

import numpy as np

import groundmotion as gm
from groundmotion import _core, _measures


def best_of(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1000)
    parser.add_argument("--cols", type=int, default=20000)
    parser.add_argument("--pairs", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    t = np.arange(args.cols) * 0.01
    w = rng.standard_normal((args.rows, args.cols)) * np.exp(-(((t - 40.0) / 30.0) ** 2)) * 0.1
    dt = 0.01
    fractions = np.array([[0.05, 0.75, 0.95]])
    print(f"simd target {_measures._simd_target()}, batch {w.shape}, best of {args.repeat}")
    cases = [
        ("_peak_motions (PGA, PGV, PGD)", lambda: _measures._peak_motions(w, dt)),
        ("_cav_threshold (CAV5)", lambda: _measures._cav_threshold(w, dt, gm.CAV5_THRESHOLD)),
        ("_cav_std, dt 0.01", lambda: _measures._cav_std(w, dt, 0.025)),
        ("_cav_std, dt 0.007", lambda: _measures._cav_std(w, 0.007, 0.025)),
        ("_bracketed_duration", lambda: _measures._bracketed_duration(w, dt, 0.05)),
        ("_arias_times (3 fractions)", lambda: _measures._arias_times(w, dt, fractions)),
        ("_husid (writes the batch)", lambda: _measures._husid(w, dt)),
        ("gm.peak_motions (the public call)", lambda: gm.peak_motions(w, dt)),
        ("gm.cav(threshold=CAV5_THRESHOLD)", lambda: gm.cav(w, dt, gm.CAV5_THRESHOLD)),
        ("gm.cav_std", lambda: gm.cav_std(w, dt)),
        ("gm.bracketed_duration", lambda: gm.bracketed_duration(w, dt)),
        ("gm.arias_times (3 fractions)", lambda: gm.arias_times(w, dt, fractions[0])),
        ("gm.husid", lambda: gm.husid(w, dt)),
        ("  for scale: _core._cav", lambda: _core._cav(w, dt)),
        ("  for scale: _core._significant_duration",
         lambda: _core._significant_duration(w, dt, 0.05, 0.95)),
        ("  for scale: np.cumsum(w, axis=1)", lambda: np.cumsum(w, axis=1)),
        # Any result the size of the batch starts as fresh pages that the
        # operating system zeroes: the least a Husid curve can cost.
        ("  for scale: w.copy()", lambda: w.copy()),
        ("  for scale: np.full(w.shape, 1.0)", lambda: np.full(w.shape, 1.0)),
    ]
    print(f"{'kernel':<42}{'ms':>9}{'np.sum ms':>11}{'/ np.sum':>10}")
    for name, fn in cases:
        # np.sum right next to each kernel, so both see the same machine load.
        floor = best_of(lambda: np.sum(w, axis=1), args.repeat)
        ours = best_of(fn, args.repeat)
        print(f"{name:<42}{ours * 1e3:9.1f}{floor * 1e3:11.1f}{ours / floor:10.2f}")

    x, y = w[: args.pairs], w[args.pairs : 2 * args.pairs]
    compare_rotd(f"{args.pairs} noise pairs of {args.cols} samples", [(x, y, dt)], args.repeat)
    pairs = real_pairs()
    if pairs:
        compare_rotd(f"{len(pairs)} real pairs (../shared/records), one call each", pairs,
                     args.repeat)


PERCENTILES = (0.0, 50.0, 100.0)


def compare_rotd(title, pairs, repeat):
    def total(fn):
        return sum(best_of(lambda: fn(x, y, dt), repeat) for x, y, dt in pairs)

    plain = total(lambda x, y, dt: gm.rotd(x, y))
    with_p = total(lambda x, y, dt: gm.rotd(x, y, percentiles=PERCENTILES))
    peaks = total(lambda x, y, dt: gm.rotd_peak_motions(x, y, dt, PERCENTILES))
    print(f"\n{title}, percentiles {PERCENTILES}")
    print(f"{'gm.rotd(x, y)':<42}{plain * 1e3:9.1f} ms")
    print(f"{'gm.rotd(x, y, percentiles=...)':<42}{with_p * 1e3:9.1f} ms")
    print(f"{'gm.rotd_peak_motions (a, v, d)':<42}{peaks * 1e3:9.1f} ms   "
          f"{peaks / plain:.2f} x gm.rotd, {peaks / with_p:.2f} x gm.rotd with percentiles")


def real_pairs():
    """The two horizontal components of every record in ../shared/records,
    trimmed to the shorter."""
    root = Path(__file__).resolve().parents[2] / "shared" / "records"
    groups = collections.defaultdict(list)
    for path in sorted(glob.glob(str(root / "*" / "*.AT2"))):
        name = Path(path).name
        if re.search(r"\d\.AT2$", name):  # horizontals end in their azimuth
            groups[(Path(path).parent, name.split("_")[0])].append(path)
    pairs = []
    for paths in groups.values():
        if len(paths) >= 2:
            (a, dt), (b, _) = gm.read_at2(paths[0]), gm.read_at2(paths[1])
            n = min(len(a), len(b))
            pairs.append((a[:n], b[:n], dt))
    return pairs


if __name__ == "__main__":
    main()
