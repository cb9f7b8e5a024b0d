"""Konno-Ohmachi smoothing: `_konno_ohmachi_smooth` and `_konno_ohmachi_matrix_rows`
against ObsPy and pykooh, measured side by side in one run.

    python benchmarks/bench_konno_ohmachi.py [--repeat 2] [--pykooh-spectra 10]

Workloads (bandwidth 40, windows normalised to sum to one, the uniform grid
f = i * df from zero):

1. One Fourier amplitude spectrum of 8193 bins (the first 16384 samples of
   RSN8883 H1).  ObsPy `konno_ohmachi_smoothing(..., normalize=True)` on the
   1-D spectrum; pykooh `smooth` (not simplified, after a warm-up call so that
   its JIT compilation is not counted).
2. A batch of 500 spectra of 4097 bins (8192-sample windows of both RSN8883
   components).  ObsPy on the 2-D batch takes its matrix path: it builds the
   4097 x 4097 smoothing matrix and applies it with one BLAS product, BLAS
   held to one thread (threadpoolctl) since `_konno_ohmachi_smooth` uses one
   core.  pykooh smooths one spectrum per call: it is timed on the first
   --pykooh-spectra spectra and scaled to 500 (its cost is linear in the
   number of spectra; --pykooh-spectra 500 times them all).
3. The whole 4097 x 4097 float32 smoothing matrix through
   `_konno_ohmachi_matrix_rows` in bands of --band rows, against ObsPy's
   `calculate_smoothing_matrix` (float64).

Times are the best of --repeat runs, wall clock and CPU time (every
contender runs on one core; on a shared machine the CPU time is the steadier
of the two), and a target counts as met on the lower of the two ratios.  Peak extra memory of the
batch (case 2) is measured in fresh subprocesses as the rise of the resident
set's high-water mark (VmHWM, reset just before the call; ru_maxrss where it
cannot be reset) over the resident set before the call, less the result
array, so that allocations made in C count as well.

Note: ObsPy's 2-D matrix path multiplies the spectra by the transposed
matrix (`np.dot(spectra, matrix)`), so its batch result is not the smoothing
of its own 1-D path; the timing comparison still stands (same work).
"""

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
from groundmotion import _core

ROOT = Path(__file__).resolve().parent.parent
RECORDS = ROOT / "tests" / "data" / "rsn8883"
BANDWIDTH = 40.0
DT = 0.005


def records():
    """The two horizontal components of RSN8883 (16396 samples, dt 0.005 s),
    or band-limited noise of the same length if the files are not at hand."""
    paths = sorted(RECORDS.glob("*.AT2.gz"))
    if len(paths) == 2:
        from groundmotion.io import read_at2

        return [read_at2(p)[0] for p in paths]
    rng = np.random.default_rng(8883)
    return [np.cumsum(rng.standard_normal(16396)) * 1e-3 for _ in range(2)]


def amplitude_spectra(signal, n_fft, starts):
    taper = np.hanning(n_fft)
    frames = np.stack([signal[s : s + n_fft] * taper for s in starts])
    return np.abs(np.fft.rfft(frames, axis=1)) * DT


def best_of(repeat, fn):
    """Best wall-clock and best CPU time of `repeat` runs, and the last result."""
    wall = cpu = np.inf
    out = None
    for _ in range(repeat):
        w0, c0 = time.perf_counter(), time.process_time()
        out = fn()
        wall = min(wall, time.perf_counter() - w0)
        cpu = min(cpu, time.process_time() - c0)
    return (wall, cpu), out


def report(title, ours, baselines):
    print(f"\n{title}")
    print(f"  {'':<42s} {'wall':>9s} {'cpu':>9s}   {'ratio (wall / cpu)':<18s}")
    print(f"  {'groundmotion':<42s} {ours[0]:9.4f} {ours[1]:9.4f}")
    for name, seconds, target, note in baselines:
        wall, cpu = seconds[0] / ours[0], seconds[1] / ours[1]
        verdict = ""
        if target is not None:
            verdict = f"  target >= {target:g}x: " + (
                "met" if min(wall, cpu) >= target else "MISSED"
            )
        print(
            f"  {name:<42s} {seconds[0]:9.4f} {seconds[1]:9.4f}   x{wall:6.1f} / x{cpu:6.1f}"
            f"{verdict}{note}"
        )


def single_spectrum(args, comps):
    import pykooh
    from obspy.signal.konnoohmachismoothing import konno_ohmachi_smoothing

    x = amplitude_spectra(comps[0], 16384, [0])[0]
    n = x.size
    f = np.arange(n) / (16384 * DT)
    ours_t, ours = best_of(
        args.repeat, lambda: _core._konno_ohmachi_smooth(x[None, :], BANDWIDTH)
    )
    obspy_t, theirs = best_of(
        args.repeat, lambda: konno_ohmachi_smoothing(x, f, BANDWIDTH, normalize=True)
    )
    pykooh.smooth(f[:64], f[:64], x[:64], BANDWIDTH)  # JIT warm-up
    pykooh_t, kooh = best_of(args.repeat, lambda: pykooh.smooth(f, f, x, BANDWIDTH))
    diff_obspy = np.max(np.abs(ours[0] - theirs) / np.abs(ours[0]))
    diff_kooh = np.max(np.abs(ours[0, 1:] - kooh[1:]) / np.abs(ours[0, 1:]))
    report(
        f"1. one spectrum of {n} bins",
        ours_t,
        [
            (
                "ObsPy konno_ohmachi_smoothing",
                obspy_t,
                20,
                f"   (max rel diff {diff_obspy:.1e})",
            ),
            (
                "pykooh smooth",
                pykooh_t,
                3,
                f"   (max rel diff {diff_kooh:.1e}, bins >= 1)",
            ),
        ],
    )


def batch_spectra(comps, n_spectra=500, n_fft=8192):
    per = n_spectra // 2
    starts = np.linspace(0, comps[0].size - n_fft, per).astype(int)
    return np.ascontiguousarray(
        np.vstack([amplitude_spectra(c, n_fft, starts) for c in comps])[:n_spectra]
    )


def batch(args, comps):
    import pykooh
    from obspy.signal.konnoohmachismoothing import konno_ohmachi_smoothing
    from threadpoolctl import threadpool_limits

    X = batch_spectra(comps)
    m, n = X.shape
    f = np.arange(n) / (8192 * DT)
    ours_t, ours = best_of(
        args.repeat, lambda: _core._konno_ohmachi_smooth(X, BANDWIDTH)
    )
    with threadpool_limits(limits=1):
        obspy_t, _ = best_of(
            args.repeat,
            lambda: konno_ohmachi_smoothing(
                X, f, BANDWIDTH, normalize=True, max_memory_usage=2048
            ),
        )
    pykooh.smooth(f[:64], f[:64], X[0, :64], BANDWIDTH)  # JIT warm-up
    k = max(1, min(args.pykooh_spectra, m))

    def kooh():
        return np.stack([pykooh.smooth(f, f, X[s], BANDWIDTH) for s in range(k)])

    kooh_t, kooh_out = best_of(1, kooh)
    kooh_t = tuple(t * m / k for t in kooh_t)
    diff = np.max(np.abs(ours[:k, 1:] - kooh_out[:, 1:]) / np.abs(ours[:k, 1:]))
    scaled = "" if k == m else f", timed on {k} spectra, scaled to {m}"
    report(
        f"2. a batch of {m} spectra of {n} bins",
        ours_t,
        [
            ("ObsPy matrix path, BLAS on one thread", obspy_t, 1, ""),
            (
                "pykooh smooth, spectrum by spectrum",
                kooh_t,
                10,
                f"   (max rel diff {diff:.1e}{scaled})",
            ),
        ],
    )


def matrix(args):
    from obspy.signal.konnoohmachismoothing import calculate_smoothing_matrix

    n = 4097
    f = np.arange(n) / (8192 * DT)

    def ours():
        out = np.empty((n, n), np.float32)
        for start in range(0, n, args.band):
            stop = min(n, start + args.band)
            out[start:stop] = _core._konno_ohmachi_matrix_rows(
                n, BANDWIDTH, start, stop
            )
        return out

    ours_t, m32 = best_of(args.repeat, ours)
    obspy_t, m64 = best_of(
        args.repeat, lambda: calculate_smoothing_matrix(f, BANDWIDTH, normalize=True)
    )
    diff = np.max(np.abs(m32 - m64))
    report(
        f"3. the {n} x {n} float32 matrix in bands of {args.band} rows",
        ours_t,
        [
            (
                "ObsPy calculate_smoothing_matrix (float64)",
                obspy_t,
                None,
                f"   (max abs diff {diff:.1e})",
            )
        ],
    )


MEMORY_PROBE = r"""
import json, resource, sys
import numpy as np
X = np.load({spectra!r})
f = np.arange(X.shape[1]) / (8192 * 0.005)
if {which!r} == "ours":
    from groundmotion import _core
    run = lambda x: _core._konno_ohmachi_smooth(x, 40.0)
else:
    from obspy.signal.konnoohmachismoothing import konno_ohmachi_smoothing
    from threadpoolctl import threadpool_limits
    threadpool_limits(limits=1)
    run = lambda x: konno_ohmachi_smoothing(x, f, 40.0, normalize=True, max_memory_usage=2048)
run(X[:2])  # load everything a call needs


def status(key):
    with open("/proc/self/status") as handle:
        for line in handle:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024


try:  # reset the high-water mark (Linux), so that only this call counts
    with open("/proc/self/clear_refs", "w") as handle:
        handle.write("5")
    before, peak = status("VmRSS"), lambda: status("VmHWM")
except OSError:
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
out = run(X)
print(json.dumps({{"rise": peak() - before, "result": out.nbytes}}))
"""


def memory(comps):
    import tempfile

    matrix_bytes = 4097 * 4097 * 8
    print(
        "\n4. peak extra memory of the batch (rise of the resident set less the result)"
    )
    with tempfile.TemporaryDirectory() as tmp:
        spectra = str(Path(tmp) / "spectra.npy")
        np.save(spectra, batch_spectra(comps))
        for which, name in [("ours", "groundmotion"), ("obspy", "ObsPy matrix path")]:
            code = MEMORY_PROBE.format(spectra=spectra, which=which)
            env = {
                **os.environ,
                "PYTHONPATH": os.pathsep.join(p for p in sys.path if p),
            }
            done = subprocess.run(
                [sys.executable, "-c", code],
                check=False,
                capture_output=True,
                text=True,
                env=env,
            )
            if done.returncode != 0:
                print(
                    f"  {name}: probe failed: {done.stderr.strip().splitlines()[-1:]}"
                )
                continue
            probe = json.loads(done.stdout.strip().splitlines()[-1])
            extra = max(0, probe["rise"] - probe["result"])
            share = extra / matrix_bytes
            target = (
                f"   target < 5 %: {'met' if share < 0.05 else 'MISSED'}"
                if which == "ours"
                else ""
            )
            print(
                f"  {name:<44s} {extra / 2**20:9.2f} MiB = {100 * share:6.2f} % of the "
                f"{matrix_bytes / 2**20:.0f} MiB float64 matrix{target}"
            )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--pykooh-spectra", type=int, default=10)
    parser.add_argument("--band", type=int, default=256)
    parser.add_argument("--skip-memory", action="store_true")
    args = parser.parse_args()
    comps = records()
    single_spectrum(args, comps)
    batch(args, comps)
    matrix(args)
    if not args.skip_memory:
        memory(comps)


if __name__ == "__main__":
    main()
