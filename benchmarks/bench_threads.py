"""Two Python threads calling the kernels at once, against the same two calls
one after the other.  The kernels release the interpreter lock, so on two
cores the pair should take about the time of one call.

    python benchmarks/bench_threads.py
"""

import sys
import threading
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from functions import FUNCTIONS  # noqa: E402 - the list of compiled functions

NS, NT = 200, 20000


def cases():
    rng = np.random.default_rng(0)
    out = []
    for f in FUNCTIONS:
        args = f.make_args(rng, NS, NT)
        out.append((f"{f.name} ({NS} x {NT})", lambda f=f, args=args: f.fn(*args)))
    return out


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
