"""Konno-Ohmachi smoothing onto log-spaced centres, against pykooh and ObsPy,
measured side by side in one run.

    python benchmarks/bench_eas.py [--repeat 3] [--spectra 500] [--no-obspy]

Spectra of 16,384 bins: |rfft| * dt of 32,768-sample windows (dt = 0.005 s,
bins 1/163.84 to 100 Hz; the 0 Hz bin, which takes no part, is left out) of
band-limited noise; 200 centres log-spaced from 0.1 to
100 Hz; bandwidth 188.5 (the effective amplitude spectrum's); windows
normalised to sum to one.  Every contender runs on one core (BLAS held to one
thread with threadpoolctl where it is installed).

1. One spectrum: `gm.konno_ohmachi_smooth(..., frequencies=, center_frequencies=)`
   against pykooh `smooth` (after a warm-up call, so that its JIT compilation
   is not counted).
2. A batch of --spectra spectra: the same call against pykooh's
   `CachedSmoother`, the time to build its weights included.
3. ObsPy `konno_ohmachi_smoothing` has no centres: it smooths at every input
   bin, its own output ordinates.  It is timed on one spectrum and on the
   batch (its matrix path: the 16,384 x 16,384 smoothing matrix once, then one
   product), against our call at the 200 centres and against
   `gm.konno_ohmachi_smooth` at every bin.
4. Peak extra memory of case 2, in fresh subprocesses: the rise of the
   resident set's high-water mark over the resident set before the call (so
   that allocations made in C count too), less the result array.

Results are compared where they must agree (within 1e-12, where pykooh's are
finite), so a fast but wrong kernel shows.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_konno_ohmachi import MEMORY_PROBE, best_of, report  # noqa: E402

import groundmotion as gm  # noqa: E402

DT, NFFT, BANDWIDTH = 0.005, 32768, 188.5
FREQ = np.fft.rfftfreq(NFFT, DT)[1:]  # the 0 Hz bin takes no part: left out for every contender
CENTRES = np.logspace(-1.0, 2.0, 200)


def spectra(count, seed=16385):
    rng = np.random.default_rng(seed)
    noise = np.cumsum(rng.standard_normal((count, NFFT)), axis=1) * 1e-3
    return np.ascontiguousarray(np.abs(np.fft.rfft(noise, axis=1))[:, 1:] * DT)


def ours(x):
    return gm.konno_ohmachi_smooth(x, BANDWIDTH, frequencies=FREQ, center_frequencies=CENTRES)


def agreement(a, b):
    shared = np.isfinite(b)
    return np.max(np.abs(a - b)[shared] / np.abs(b[shared]))


def one_thread():
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        print("(threadpoolctl is not installed: BLAS may use every core)")
        return None
    return threadpool_limits(limits=1)


PROBE_SETUP = r"""
import numpy as np
X = np.load({spectra!r})
freq = np.fft.rfftfreq(32768, 0.005)[1:]
centres = np.logspace(-1.0, 2.0, 200)
if {which!r} == "ours":
    import groundmotion as gm
    run = lambda x: gm.konno_ohmachi_smooth(x, 188.5, frequencies=freq, center_frequencies=centres)
else:
    import pykooh
    from threadpoolctl import threadpool_limits
    threadpool_limits(limits=1)
    run = lambda x: np.dot(x, pykooh.CachedSmoother(freq, centres, 188.5, True)._weights)
"""


def memory(batch):
    probe_tail = MEMORY_PROBE[MEMORY_PROBE.index("run(X[:2])"):].replace("{{", "{").replace("}}", "}")
    rises = {}
    with tempfile.TemporaryDirectory() as tmp:
        path = str(Path(tmp) / "spectra.npy")
        np.save(path, batch)
        for which in ("ours", "pykooh"):
            code = "import json, resource\n" + PROBE_SETUP.format(spectra=path, which=which) + probe_tail
            env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
            done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                  env=env, check=False)
            if done.returncode != 0:
                print(f"  {which}: probe failed: {done.stderr.strip().splitlines()[-1:]}")
                return
            probe = json.loads(done.stdout.strip().splitlines()[-1])
            rises[which] = max(0, probe["rise"] - probe["result"])
    share = rises["ours"] / max(rises["pykooh"], 1)
    print(f"\n4. peak extra memory of the batch of {batch.shape[0]} (less the result)")
    print(f"  groundmotion                 {rises['ours'] / 2**20:9.2f} MiB")
    print(f"  pykooh CachedSmoother        {rises['pykooh'] / 2**20:9.2f} MiB")
    print(f"  ratio {100 * share:.2f} %   target <= 1 %: {'met' if share <= 0.01 else 'MISSED'}")
    # What the kernel allocates for its work (tiles of weights and of spectra,
    # the centres' tables), which a resident-set rise may not resolve.
    padded = -(-CENTRES.size // 8) * 8
    tiles = (64 * min(256, padded) + min(batch.shape[0], 100) * 64 + 3 * padded
             + CENTRES.size + batch.shape[0]) * 8
    print(f"  the kernel's working buffers   {tiles / 2**10:9.1f} KiB = "
          f"{100 * tiles / max(rises['pykooh'], 1):.2f} % of CachedSmoother's")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--spectra", type=int, default=500)
    parser.add_argument("--no-obspy", action="store_true", help="skip ObsPy (slow)")
    args = parser.parse_args()
    import pykooh

    limits = one_thread()
    print(f"groundmotion {gm.__version__}, SIMD target {gm._measures._simd_target()}; "
          f"{FREQ.size} bins, {CENTRES.size} centres, b = {BANDWIDTH}")
    batch = spectra(args.spectra)
    x = batch[0]
    pykooh.smooth(CENTRES, FREQ, x, BANDWIDTH, normalize=True)  # compile
    ours_1, mine = best_of(args.repeat, lambda: ours(x))
    kooh_1, theirs = best_of(args.repeat, lambda: pykooh.smooth(CENTRES, FREQ, x, BANDWIDTH,
                                                                normalize=True))
    report("1. one spectrum onto 200 centres", ours_1,
           [("pykooh smooth", kooh_1, 20, f"   (max rel diff {agreement(mine, theirs):.1e})")])

    ours_n, mine = best_of(args.repeat, lambda: ours(batch))

    def cached():
        smoother = pykooh.CachedSmoother(FREQ, CENTRES, BANDWIDTH, True)
        return np.dot(batch, smoother._weights)

    cached_n, theirs = best_of(args.repeat, cached)
    report(f"2. {args.spectra} spectra onto 200 centres", ours_n,
           [("pykooh CachedSmoother (build + apply)", cached_n, 1,
             f"   (max rel diff {agreement(mine, theirs):.1e})")])

    if not args.no_obspy:
        from obspy.signal.konnoohmachismoothing import konno_ohmachi_smoothing

        every_1, _ = best_of(1, lambda: gm.konno_ohmachi_smooth(x, BANDWIDTH, frequencies=FREQ))
        obspy_1, _ = best_of(1, lambda: konno_ohmachi_smoothing(x, FREQ, BANDWIDTH, normalize=True))
        report("3a. ObsPy on one spectrum, at every bin (its own ordinates)", ours_1,
               [("ObsPy konno_ohmachi_smoothing", obspy_1, None, ""),
                ("gm.konno_ohmachi_smooth at every bin", every_1, None, "")])
        obspy_n, _ = best_of(1, lambda: konno_ohmachi_smoothing(batch, FREQ, BANDWIDTH,
                                                                 normalize=True,
                                                                 max_memory_usage=4096))
        report(f"3b. ObsPy on {args.spectra} spectra, at every bin (matrix path)", ours_n,
               [("ObsPy konno_ohmachi_smoothing", obspy_n, None, "")])
    memory(batch)
    del limits


if __name__ == "__main__":
    main()
