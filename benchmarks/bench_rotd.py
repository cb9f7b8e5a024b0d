"""RotD00/50/100 of a batch: `_core._rotd` against NumPy.

    python benchmarks/bench_rotd.py [--stations 200] [--samples 20000]

Workload: 200 stations of 20000 samples, two horizontal components each.
Measured side by side in one run:

* groundmotion: `_core._rotd`, one call for the whole batch.
* NumPy brute force: per station, the (180, 2) rotation matrix times the
  (2, nt) pair, abs, the peak per angle, then the five statistics.
* np.sum over both components: one streaming read of the input, the floor
  for anything that has to look at every sample.

Two inputs: synthetic accelerations (band-limited noise under a rise-and-decay
envelope, the main case) and random walks (a hard case for the extreme-point
filter: a quarter of the samples survive it and must be sorted).  BLAS is held
to one thread (threadpoolctl) as `_rotd` uses one core.
"""

import argparse
import time

import numpy as np

from groundmotion import _core

DEG_TO_RAD = 0.017453292519943295


def synthetic_accelerations(ns, nt, rng, dt=0.01):
    """Noise through a 2 Hz, 60 %-damped second-order low-pass filter, under
    an envelope that rises to its peak at a fifth of the record and decays;
    the two components get different amplitudes."""
    from scipy.signal import bilinear, lfilter

    w = 2 * np.pi * 2.0
    b, a = bilinear([w * w], [1.0, 2 * 0.6 * w, w * w], fs=1.0 / dt)
    t = np.arange(nt) * dt
    tp = t[-1] * 0.2
    envelope = (t / tp) ** 2 * np.exp(2.0 * (1.0 - t / tp))
    noise = lfilter(b, a, rng.standard_normal((2, ns, nt)), axis=-1) * envelope
    scale = rng.uniform(0.05, 0.5, size=(2, ns, 1))
    return np.ascontiguousarray(noise[0] * scale[0]), np.ascontiguousarray(noise[1] * scale[1])


def random_walks(ns, nt, rng):
    walks = np.cumsum(rng.standard_normal((2, ns, nt)), axis=-1)
    return np.ascontiguousarray(walks[0]), np.ascontiguousarray(walks[1])


def brute_force(comp_0, comp_90):
    theta = np.arange(180) * DEG_TO_RAD
    rotation = np.stack([np.cos(theta), np.sin(theta)], axis=1)  # (180, 2)
    out = np.empty((comp_0.shape[0], 5))
    for i in range(comp_0.shape[0]):
        peaks = np.abs(rotation @ np.stack([comp_0[i], comp_90[i]])).max(axis=1)
        ordered = np.sort(peaks)
        out[i] = (peaks.min(), (ordered[89] + ordered[90]) * 0.5, peaks.max(),
                  peaks.argmin(), peaks.argmax())
    return out


def stream_floor(comp_0, comp_90):
    return np.sum(comp_0) + np.sum(comp_90)


def best_of(fn, repeat):
    best = float("inf")
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def run(name, comp_0, comp_90, repeat):
    t_ours, ours = best_of(lambda: _core._rotd(comp_0, comp_90), repeat)
    t_sum, _ = best_of(lambda: stream_floor(comp_0, comp_90), repeat)
    t_brute, brute = best_of(lambda: brute_force(comp_0, comp_90), 2)
    # BLAS may fuse or reorder the rotation's products: agreement to rounding
    rel = np.max(np.abs(ours[:, :3] - brute[:, :3]) / brute[:, :3])
    ns, nt = comp_0.shape
    print(f"{name}: {ns} stations x {nt} samples")
    print(f"  _core._rotd            {t_ours * 1e3:9.2f} ms")
    print(f"  NumPy brute force      {t_brute * 1e3:9.2f} ms"
          f"   brute / _rotd = {t_brute / t_ours:7.1f}")
    print(f"  np.sum, both comps     {t_sum * 1e3:9.2f} ms"
          f"   _rotd / np.sum = {t_ours / t_sum:5.2f}")
    print(f"  largest relative difference of RotD00/50/100 to brute force: {rel:.1e}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stations", type=int, default=200)
    parser.add_argument("--samples", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=9)
    args = parser.parse_args()
    rng = np.random.default_rng(2024)
    cases = [
        ("synthetic accelerations", synthetic_accelerations(args.stations, args.samples, rng)),
        ("random walks", random_walks(args.stations, args.samples, rng)),
    ]
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:  # then BLAS may use every core
        threadpool_limits = None
    for name, (comp_0, comp_90) in cases:
        if threadpool_limits is None:
            run(name, comp_0, comp_90, args.repeat)
        else:
            with threadpool_limits(limits=1):
                run(name, comp_0, comp_90, args.repeat)


if __name__ == "__main__":
    main()
