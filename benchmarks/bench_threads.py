"""Two Python threads calling the kernels at once, against the same two calls
one after the other.  The kernels release the interpreter lock, so on two
cores the pair should take about the time of one call.

    python benchmarks/bench_threads.py
"""

import threading
import time

import numpy as np

from groundmotion import _core, oscillator_coefficients


def cases():
    rng = np.random.default_rng(0)
    t = np.arange(20000) * 0.01
    w = rng.standard_normal((500, 20000)) * np.exp(-(((t - 40.0) / 30.0) ** 2))
    pair = w[:200], w[200:400]
    comps = [w[i * 20 : (i + 1) * 20, :10000] for i in range(3)]
    coeffs = oscillator_coefficients(np.geomspace(0.01, 20, 111), 0.05, 0.01)
    spectra = np.abs(rng.standard_normal((100, 4097)))
    return [
        ("_arias_intensity (500 x 20000)", lambda: _core._arias_intensity(w, 0.01)),
        ("_cav (500 x 20000)", lambda: _core._cav(w, 0.01)),
        ("_significant_duration (500 x 20000)", lambda: _core._significant_duration(w, 0.01, 0.05, 0.95)),
        ("_rotd (200 x 20000)", lambda: _core._rotd(*pair)),
        ("_psa (20 x 10000 x 111 periods)", lambda: _core._psa(*comps, coeffs)),
        ("_konno_ohmachi_smooth (100 x 4097)", lambda: _core._konno_ohmachi_smooth(spectra, 40.0)),
        ("_konno_ohmachi_matrix_rows (4097, all)", lambda: _core._konno_ohmachi_matrix_rows(4097, 40.0, 0, 4097)),
    ]


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    print(f"{'case':<42}{'serial ms':>10}{'2 threads ms':>14}{'speed-up':>10}")
    for name, fn in cases():
        fn()

        def serial():
            fn()
            fn()

        def threaded():
            threads = [threading.Thread(target=fn) for _ in range(2)]
            for th in threads:
                th.start()
            for th in threads:
                th.join()

        s = best(serial)
        p = best(threaded)
        print(f"{name:<42}{s * 1e3:10.1f}{p * 1e3:14.1f}{s / p:10.2f}")


if __name__ == "__main__":
    main()
