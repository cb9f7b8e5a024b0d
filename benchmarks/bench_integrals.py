"""Arias intensity, CAV and significant duration on a (1000, 20000) batch.

Baselines measured side by side in this run:
- np.sum(w, axis=1): one streaming read of the batch, the floor;
- a vectorised NumPy version of the same split-trapezoid arithmetic.

    python benchmarks/bench_integrals.py [--rows 1000] [--cols 20000]
"""

import argparse
import time

import numpy as np

from groundmotion import _core

ARIAS_FACTOR = 15.409511965857936


def best_of(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def numpy_trapz(w, dt, square):
    a0, a1 = w[:, :-1], w[:, 1:]
    f0, f1 = (a0 * a0, a1 * a1) if square else (np.abs(a0), np.abs(a1))
    lo, hi = np.fmin(a0, a1), np.fmax(a0, a1)
    whole = (lo >= 0) | (hi <= 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        t = -(a0 * (dt / (a1 - a0)))
        c = np.where(whole, (f0 + f1) * dt, f0 * t + f1 * (dt - t))
    return c.sum(axis=1) * 0.5


def numpy_duration(w, dt, low, high):
    a0, a1 = w[:, :-1], w[:, 1:]
    lo, hi = np.fmin(a0, a1), np.fmax(a0, a1)
    whole = (lo >= 0) | (hi <= 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        t = -(a0 * (dt / (a1 - a0)))
        c = np.where(whole, (a0 * a0 + a1 * a1) * dt, a0 * a0 * t + a1 * a1 * (dt - t))
    cum = np.zeros_like(w)
    np.cumsum(c, axis=1, out=cum[:, 1:])
    cum *= 0.5 * ARIAS_FACTOR
    norm = cum / cum[:, -1:]
    i_low = (norm <= low).sum(axis=1)
    i_high = (norm <= high).sum(axis=1)
    return (i_high - i_low) * dt


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1000)
    parser.add_argument("--cols", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    t = np.arange(args.cols) * 0.01
    w = rng.standard_normal((args.rows, args.cols)) * np.exp(-(((t - 40.0) / 30.0) ** 2))
    wf = np.asfortranarray(w)
    dt = 0.01

    floor = best_of(lambda: np.sum(w, axis=1), args.repeat)
    print(f"batch {w.shape}, best of {args.repeat}; floor np.sum(w, axis=1): {floor * 1e3:.1f} ms")
    print(f"{'case':<34}{'ours ms':>9}{'numpy ms':>10}{'x numpy':>9}{'/ np.sum':>10}")
    cases = [
        ("_arias_intensity", lambda a: _core._arias_intensity(a, dt), lambda: numpy_trapz(w, dt, True)),
        ("_cav", lambda a: _core._cav(a, dt), lambda: numpy_trapz(w, dt, False)),
        (
            "_significant_duration",
            lambda a: _core._significant_duration(a, dt, 0.05, 0.95),
            lambda: numpy_duration(w, dt, 0.05, 0.95),
        ),
    ]
    for name, ours, theirs in cases:
        t_c = best_of(lambda: ours(w), args.repeat)
        t_f = best_of(lambda: ours(wf), args.repeat)
        t_np = best_of(theirs, max(1, args.repeat // 2))
        print(f"{name:<34}{t_c * 1e3:9.1f}{t_np * 1e3:10.1f}{t_np / t_c:9.1f}{t_c / floor:10.2f}")
        print(f"{'  same batch, Fortran order':<34}{t_f * 1e3:9.1f}{'':>10}{'':>9}{t_f / floor:10.2f}"
              f"   (F/C {t_f / t_c:.2f})")


if __name__ == "__main__":
    main()
