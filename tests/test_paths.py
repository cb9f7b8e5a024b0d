"""Every instruction-set target gives the scalar path's bits.

One build holds the scalar path, the baseline vectors and (on x86-64 with
AVX2) the AVX2 vectors; GROUNDMOTION_SIMD picks one per process.  Each target
runs in its own interpreter over the same inputs: every registered function,
in C and Fortran order, with special values, at sizes that leave partial
vector groups, and spectra over enough oscillators to fill the groups that
run together.  A NaN made by arithmetic may differ in sign or payload (the
compiler may swap the operands of a commutative operation); every other bit
must agree."""

import os
import subprocess
import sys

import numpy as np
import pytest

CHILD = r"""
import sys, numpy as np
sys.path.insert(0, sys.argv[1])
from functions import FUNCTIONS
from groundmotion import _measures
print(_measures._simd_target())
out = {}
for f in FUNCTIONS:
    for ns, nt in [(1, 3), (2, 3), (9, 37), (17, 130)]:
        rng = np.random.default_rng(ns * 1000 + nt)
        args = list(f.make_args(rng, ns, nt))
        for i in f.arrays():
            if f.params[i] in ("percentiles_py", "fractions_py"):
                continue  # a range the kernel checks, not samples
            a = args[i] * rng.choice([1e-300, 1.0, 1e150], size=(args[i].shape[0], 1))
            if a.size > 6:
                a.flat[rng.integers(a.size, size=3)] = [np.nan, np.inf, -0.0]
            args[i] = a
        for order in "CF":
            call = [np.asarray(x, order=order) if isinstance(x, np.ndarray) else x for x in args]
            out[f"{f.name}-{ns}-{nt}-{order}"] = f.fn(*call)
# Groups of oscillators in flight together, and partial passes of them;
# pairs on a line through the origin.
import groundmotion as gm
acc = np.random.default_rng(3).standard_normal((3, 400))
acc[1, 200] = np.nan
for n in (17, 27, 37, 45):
    s = gm.spectra(acc, 0.01, np.logspace(-2, 1, n), [0.02, 0.05, 0.3][: 1 + n % 3])
    out[f"spectra-{n}"] = np.stack([s.sd, s.sv, s.sa])
for c in (0.0, 0.5, -4.0):
    out[f"rotd-{c}"] = gm.rotd(acc[[0, 2]], c * acc[[0, 2]]).rotd50
np.savez(sys.argv[2], **out)
"""


def run(target, tmp_path):
    env = dict(os.environ)
    env.pop("GROUNDMOTION_SIMD", None)
    if target is not None:
        env["GROUNDMOTION_SIMD"] = target
    path = tmp_path / f"{target}.npz"
    done = subprocess.run([sys.executable, "-c", CHILD, os.path.dirname(__file__), str(path)],
                          env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    with np.load(path) as data:
        return done.stdout.strip(), {k: data[k] for k in data.files}


def same_bits_or_both_nan(a, b):
    assert a.shape == b.shape and a.dtype == b.dtype
    ia = a.view(np.uint64 if a.dtype == np.float64 else np.uint32)
    ib = b.view(ia.dtype)
    return np.all((ia == ib) | (np.isnan(a) & np.isnan(b)))


def test_every_target_gives_the_scalar_bits(tmp_path):
    name, scalar = run("scalar", tmp_path)
    assert name == "scalar"
    best_name, best = run(None, tmp_path)
    base_name, base = run("baseline", tmp_path)
    if best_name == "scalar":
        pytest.skip("this build has no vector paths")
    assert base_name == "baseline" and best_name in ("baseline", "avx2")
    for other in (base, best):
        bad = [k for k in scalar if not same_bits_or_both_nan(scalar[k], other[k])]
        assert bad == []
