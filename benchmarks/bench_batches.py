"""Ragged batches against uniform ones with the same number of samples,
measured side by side in one run.

    python benchmarks/bench_batches.py [--records 1000] [--repeat 3]

Workload: --records records of band-limited noise in g with lengths drawn
uniformly from 5,000 to 20,000 samples and a sampling interval of 0.005,
0.01 or 0.02 s each (a ragged list with one step per record), against a
uniform (records, mean length) array with one step.  One thread.  For each
measure the ratio is the ragged batch's throughput (samples per second) over
the uniform batch's; every ragged result is also checked, bit for bit,
against the same record computed alone.
"""

import argparse
import time

import numpy as np

import groundmotion as gm


def best(repeat, fn):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    rng = np.random.default_rng(2014)
    lengths = rng.integers(5000, 20001, args.records)
    ragged = [np.cumsum(rng.standard_normal(n)) * 1e-3 for n in lengths]
    dts = rng.choice([0.005, 0.01, 0.02], args.records)
    uniform = np.cumsum(rng.standard_normal((args.records, int(lengths.mean()))), axis=1) * 1e-3
    periods = np.logspace(-2, 1, 20)
    measures = {
        "arias_intensity": lambda a, d: gm.arias_intensity(a, d),
        "cav": lambda a, d: gm.cav(a, d),
        "significant_duration": lambda a, d: gm.significant_duration(a, d),
        "spectra (20 periods)": lambda a, d: gm.spectra(a, d, periods).psa,
    }
    print(f"{args.records} records, {lengths.sum():,} samples ragged, {uniform.size:,} uniform; "
          f"SIMD target {gm._measures._simd_target()}")
    print(f"{'measure':<24s} {'uniform s':>10s} {'ragged s':>10s} {'throughput ratio':>17s}")
    for name, fn in measures.items():
        t_uniform = best(args.repeat, lambda: fn(uniform, 0.01))
        t_ragged = best(args.repeat, lambda: fn(ragged, dts))
        ratio = (lengths.sum() / t_ragged) / (uniform.size / t_uniform)
        check = np.array([fn(r, d) for r, d in zip(ragged[:50], dts[:50])])
        same = np.array_equal(np.asarray(fn(ragged[:50], dts[:50])), check, equal_nan=True)
        print(f"{name:<24s} {t_uniform:10.4f} {t_ragged:10.4f} {ratio:16.2f}x"
              f"{'' if same else '   RESULTS DIFFER FROM RECORDS ALONE'}")


if __name__ == "__main__":
    main()
