"""The compiled functions on every instruction-set target, and against another build.

    python benchmarks/bench_targets.py [--against STAGE_DIR] [--repeat 5]

Each target (GROUNDMOTION_SIMD=scalar, =baseline, and the best the processor
has) runs in its own interpreter over the same workloads, side by side in
one run; the table gives the best time of each and its ratio to the scalar
path.  With --against, a second build (a directory to put on PYTHONPATH,
for example the stage that scripts/devbuild.sh prints for an older commit)
runs the same workloads on its best target, and the last column is its time
over ours.  Workloads: (1000, 20000) batches in C and Fortran order for the
integrals and the duration, 200 x 20000 pairs for RotD, 20 x 10000
three-component stations and 111 periods for the response spectrum, 500
spectra of 4097 bins for the smoothing.
"""

import argparse
import json
import os
import subprocess
import sys

CHILD = r"""
import json, sys, time
import numpy as np
from groundmotion import _core, oscillator_coefficients
repeat = int(sys.argv[1])
rng = np.random.default_rng(0)
t = np.arange(20000) * 0.01
w = rng.standard_normal((1000, 20000)) * np.exp(-(((t - 40.0) / 30.0) ** 2))
wf = np.asfortranarray(w)
pair = rng.standard_normal((2, 200, 20000)).cumsum(axis=2) * 1e-3
station = rng.standard_normal((3, 20, 10000)) * 0.1
coefficients = np.asarray(oscillator_coefficients(np.geomspace(0.01, 10, 111), 0.05, 0.01))
spectra = np.abs(rng.standard_normal((500, 4097)))
cases = {
    "_arias_intensity C": lambda: _core._arias_intensity(w, 0.01),
    "_arias_intensity F": lambda: _core._arias_intensity(wf, 0.01),
    "_cav C": lambda: _core._cav(w, 0.01),
    "_cav F": lambda: _core._cav(wf, 0.01),
    "_significant_duration C": lambda: _core._significant_duration(w, 0.01, 0.05, 0.95),
    "_significant_duration F": lambda: _core._significant_duration(wf, 0.01, 0.05, 0.95),
    "_rotd": lambda: _core._rotd(pair[0], pair[1]),
    "_psa": lambda: _core._psa(station[0], station[1], station[2], coefficients),
    "_konno_ohmachi_smooth": lambda: _core._konno_ohmachi_smooth(spectra, 40.0),
    "_konno_ohmachi_matrix_rows": lambda: _core._konno_ohmachi_matrix_rows(4097, 40.0, 0, 512),
}
best = {}
for name, fn in cases.items():
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    best[name] = min(times)
print(json.dumps(best))
"""


def run(stage, target, repeat):
    env = dict(os.environ)
    env.pop("GROUNDMOTION_SIMD", None)
    if target:
        env["GROUNDMOTION_SIMD"] = target
    if stage:
        env["PYTHONPATH"] = stage
    out = subprocess.run([sys.executable, "-c", CHILD, str(repeat)], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", help="PYTHONPATH of another build")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    columns = {"scalar": run(None, "scalar", args.repeat),
               "baseline": run(None, "baseline", args.repeat),
               "best": run(None, None, args.repeat)}
    if args.against:
        columns["other build"] = run(args.against, None, args.repeat)
    print(f"best of {args.repeat}, ms; ratios: scalar time over the target's"
          + ("; last column: the other build's best over ours" if args.against else ""))
    print(f"{'function':<28}" + "".join(f"{c:>13}" for c in columns) + f"{'x baseline':>12}{'x best':>9}"
          + (f"{'other/ours':>12}" if args.against else ""))
    for name in columns["best"]:
        row = f"{name:<28}" + "".join(f"{columns[c][name] * 1e3:13.1f}" for c in columns)
        row += f"{columns['scalar'][name] / columns['baseline'][name]:12.2f}"
        row += f"{columns['scalar'][name] / columns['best'][name]:9.2f}"
        if args.against:
            row += f"{columns['other build'][name] / columns['best'][name]:12.2f}"
        print(row)


if __name__ == "__main__":
    main()
