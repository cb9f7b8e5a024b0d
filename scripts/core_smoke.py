"""Call every function of groundmotion._core on its success and error paths.

A short, deterministic workout for memory checkers (valgrind, LeakSanitizer),
where the whole test suite would be too slow: small batches in several memory
layouts, empty and degenerate shapes, non-finite data, every kind of argument
error, the kernels' internal checks and allocation failures.  Correct values
are the test suite's business; this script checks that every call ends the
way it must (a fresh C-ordered array, or the expected exception) and that no
call keeps a reference to its arguments.  With --repeat N the whole round runs
N times, so that anything leaked per call grows with N.

    python scripts/core_smoke.py [--repeat N]
"""

import argparse
import gc
import sys
from pathlib import Path

import numpy as np
from groundmotion import _core

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from functions import FUNCTIONS as REGISTRY  # noqa: E402 - the list of compiled functions

FUNCTIONS = [f.name for f in REGISTRY if f.module == _core.__name__]

# A stable oscillator, so that responses stay finite on finite input.
STABLE = [0.95, 0.09, -0.09, 0.95, 0.002, 0.01, 0.002, -0.01]


class Smoke:
    def __init__(self):
        self.calls = 0
        self.failures = []

    def fail(self, what, detail):
        self.failures.append(f"{what}: {detail}")

    @staticmethod
    def _arrays(args, kwargs):
        return [a for a in list(args) + list(kwargs.values()) if isinstance(a, np.ndarray)]

    @staticmethod
    def _refcounts(arrays):
        return [sys.getrefcount(a) for a in arrays]

    def ok(self, what, fn, args, shape, dtype=np.float64, kwargs=None):
        """The call must return a new C-ordered `dtype` array of `shape`."""
        kwargs = kwargs or {}
        held = self._arrays(args, kwargs)
        before = self._refcounts(held)
        self.calls += 1
        try:
            out = fn(*args, **kwargs)
        except BaseException as exc:  # noqa: BLE001 (internal checks are BaseExceptions)
            self.fail(what, f"raised {type(exc).__name__}: {exc}")
            return None
        if self._refcounts(held) != before:
            self.fail(what, "changed the reference count of an argument")
        if not isinstance(out, np.ndarray):
            self.fail(what, f"returned {type(out).__name__}")
            return None
        if out.shape != shape or out.dtype != dtype:
            self.fail(what, f"returned {out.dtype}{out.shape}, expected {np.dtype(dtype)}{shape}")
        if not (out.flags.c_contiguous and out.flags.writeable) or out.base is None:
            self.fail(what, "result is not a writeable C-ordered array with an owner")
        # Touch every element, so that a memory checker sees the whole buffer
        # read and written.
        out[...] = out.copy()
        return out

    def raises(self, what, fn, args, kinds, kwargs=None, note=None):
        """The call must raise one of `kinds` (and carry `note`, if given)."""
        kwargs = kwargs or {}
        held = self._arrays(args, kwargs)
        before = self._refcounts(held)
        self.calls += 1
        try:
            fn(*args, **kwargs)
        except BaseException as exc:  # noqa: BLE001
            if not isinstance(exc, kinds):
                self.fail(what, f"raised {type(exc).__name__}: {exc}")
            elif note is not None and note not in getattr(exc, "__notes__", []):
                self.fail(what, f"missing note {note!r}: {getattr(exc, '__notes__', None)}")
        else:
            self.fail(what, "did not raise")
        if self._refcounts(held) != before:
            self.fail(what, "changed the reference count of an argument")


def layouts(a):
    """`a` in several memory layouts (the broadcast one repeats its first row)."""
    yield "C", np.ascontiguousarray(a)
    yield "Fortran", np.asfortranarray(a)
    wide = np.zeros((a.shape[0], 2 * a.shape[1] + 1))
    wide[:, 1::2] = a
    yield "strided", wide[:, 1::2]
    yield "reversed", np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1]
    ro = a.copy()
    ro.flags.writeable = False
    yield "read-only", ro
    if a.shape[0]:
        yield "broadcast", np.broadcast_to(a[:1], a.shape)


def one_round(s, rng):
    c = _core
    ns, nt = 3, 257
    acc = rng.standard_normal((ns, nt)) * 0.2
    acc2 = rng.standard_normal((ns, nt)) * 0.2
    acc3 = rng.standard_normal((ns, nt)) * 0.1
    coeffs = np.array([STABLE, [0.9, 0.2, -0.2, 0.9, 0.01, 0.02, 0.01, -0.02]])
    spectra = np.abs(rng.standard_normal((ns, 64)))
    nan_acc = acc.copy()
    nan_acc[1, 17] = np.nan
    nan_acc[2, -1] = np.inf

    # --- success paths, in every layout -------------------------------------
    for name, a in layouts(acc):
        s.ok(f"_arias_intensity[{name}]", c._arias_intensity, (a, 0.01), (ns,))
        s.ok(f"_cav[{name}]", c._cav, (a, 0.01), (ns,))
        s.ok(f"_significant_duration[{name}]", c._significant_duration,
             (a, 0.01, 0.05, 0.95), (ns,))
        s.ok(f"_rotd[{name}]", c._rotd, (a, acc2), (ns, 5))
        s.ok(f"_psa[{name}]", c._psa, (a, acc2, acc3, coeffs), (ns, 2, 9))
    for name, sp in layouts(spectra):
        s.ok(f"_konno_ohmachi_smooth[{name}]", c._konno_ohmachi_smooth, (sp, 40.0), sp.shape)
    for name, co in layouts(coeffs):
        s.ok(f"_psa[coefficients {name}]", c._psa, (acc, acc2, acc3, co), (ns, 2, 9))
    s.ok("_konno_ohmachi_matrix_rows[all]", c._konno_ohmachi_matrix_rows,
         (64, 40.0, 0, 64), (64, 64), np.float32)
    s.ok("_konno_ohmachi_matrix_rows[band]", c._konno_ohmachi_matrix_rows,
         (64, 20.0, 10, 21), (11, 64), np.float32)

    # Keywords, numbers that are not floats, non-finite data.
    s.ok("_cav[keywords]", c._cav, (), (ns,), kwargs={"dt": 1, "waveforms_py": acc})
    s.ok("_significant_duration[numpy scalars]", c._significant_duration,
         (acc, np.float32(0.01), np.int64(0), 1), (ns,))
    s.ok("_konno_ohmachi_matrix_rows[keywords]", c._konno_ohmachi_matrix_rows, (), (2, 16),
         np.float32, kwargs={"stop": 3, "start": np.uint8(1), "bandwidth": 10, "n_bins": 16})
    s.ok("_arias_intensity[non-finite]", c._arias_intensity, (nan_acc, 0.01), (ns,))
    s.ok("_significant_duration[non-finite]", c._significant_duration,
         (nan_acc, 0.01, 0.05, 0.95), (ns,))
    s.ok("_rotd[non-finite]", c._rotd, (nan_acc, acc2), (ns, 5))
    s.ok("_psa[non-finite]", c._psa, (acc, nan_acc, acc3, coeffs), (ns, 2, 9))
    s.ok("_psa[non-finite coefficients]", c._psa,
         (acc, acc2, acc3, np.array([STABLE[:4] + [np.nan] * 4])), (ns, 1, 9))
    s.ok("_konno_ohmachi_smooth[non-finite]", c._konno_ohmachi_smooth,
         (np.where(spectra > 1.5, np.nan, spectra), 40.0), spectra.shape)
    s.ok("_konno_ohmachi_smooth[nan bandwidth]", c._konno_ohmachi_smooth,
         (spectra, float("nan")), spectra.shape)

    # Empty and degenerate shapes.
    for shape in [(0, 0), (0, 5), (2, 0), (2, 1), (2, 2)]:
        z = rng.standard_normal(shape)
        s.ok(f"_arias_intensity{shape}", c._arias_intensity, (z, 0.01), (shape[0],))
        s.ok(f"_cav{shape}", c._cav, (z, 0.01), (shape[0],))
        s.ok(f"_significant_duration{shape}", c._significant_duration,
             (z, 0.01, 0.05, 0.95), (shape[0],))
        s.ok(f"_psa{shape}", c._psa, (z, z, z, coeffs), (shape[0], 2, 9))
        s.ok(f"_konno_ohmachi_smooth{shape}", c._konno_ohmachi_smooth, (z, 40.0), shape)
        if shape[0] == 0 or shape[1] > 0:
            s.ok(f"_rotd{shape}", c._rotd, (z, z), (shape[0], 5))
    s.ok("_psa[no periods]", c._psa, (acc, acc2, acc3, np.zeros((0, 8))), (ns, 0, 9))
    s.ok("_konno_ohmachi_matrix_rows[empty band]", c._konno_ohmachi_matrix_rows,
         (8, 40.0, 8, 8), (0, 8), np.float32)
    s.ok("_konno_ohmachi_matrix_rows[no bins]", c._konno_ohmachi_matrix_rows,
         (0, 40.0, 0, 0), (0, 0), np.float32)
    s.ok("_konno_ohmachi_matrix_rows[one bin]", c._konno_ohmachi_matrix_rows,
         (1, 40.0, 0, 1), (1, 1), np.float32)

    # --- argument binding ------------------------------------------------------
    s.raises("_cav[too many]", c._cav, (acc, 0.01, 3), TypeError)
    s.raises("_cav[twice]", c._cav, (acc, 0.01), TypeError, kwargs={"dt": 0.01})
    s.raises("_cav[unknown keyword]", c._cav, (acc, 0.01), TypeError, kwargs={"d": 1.0})
    s.raises("_significant_duration[missing]", c._significant_duration, (acc,), TypeError)
    s.raises("_psa[none]", c._psa, (), TypeError)
    s.raises("_konno_ohmachi_matrix_rows[missing]", c._konno_ohmachi_matrix_rows,
             (), TypeError, kwargs={"n_bins": 4})

    # --- conversion: every parameter kind, first and later parameters --------
    bad_arrays = {
        "list": acc.tolist(),
        "None": None,
        "1-D": acc[0],
        "3-D": acc[None],
        "float32": acc.astype(np.float32),
        "big-endian": acc.astype(">f8"),
        "int": acc.astype(np.int64),
    }
    for label, bad in bad_arrays.items():
        note = "while processing 'waveforms_py'"
        s.raises(f"_arias_intensity[{label}]", c._arias_intensity, (bad, 0.01), TypeError,
                 note=note)
        s.raises(f"_significant_duration[{label}]", c._significant_duration,
                 (bad, 0.01, 0.05, 0.95), TypeError, note=note)
        s.raises(f"_konno_ohmachi_smooth[{label}]", c._konno_ohmachi_smooth, (bad, 40.0),
                 TypeError, note="while processing 'spectra_py'")
        # Arrays already borrowed are released when a later one is refused.
        s.raises(f"_rotd[{label}]", c._rotd, (acc, bad), TypeError,
                 note="while processing 'comp_90_py'")
        s.raises(f"_psa[{label}]", c._psa, (acc, acc2, acc3, bad), TypeError,
                 note="while processing 'coefficients_py'")
    s.raises("_cav[str dt]", c._cav, (acc, "0.01"), TypeError, note="while processing 'dt'")
    s.raises("_significant_duration[str high]", c._significant_duration,
             (acc, 0.01, 0.05, "x"), TypeError, note="while processing 'high'")
    s.raises("_cav[huge dt]", c._cav, (acc, 10**400), OverflowError,
             note="while processing 'dt'")
    mr = c._konno_ohmachi_matrix_rows
    s.raises("_konno_ohmachi_matrix_rows[negative]", mr, (-1, 40.0, 0, 0), OverflowError,
             note="while processing 'n_bins'")
    s.raises("_konno_ohmachi_matrix_rows[2**64]", mr, (8, 40.0, 0, 2**64), OverflowError,
             note="while processing 'stop'")
    s.raises("_konno_ohmachi_matrix_rows[float]", mr, (8, 40.0, 1.0, 2), TypeError,
             note="while processing 'start'")
    s.raises("_konno_ohmachi_matrix_rows[str bandwidth]", mr, (8, "40", 0, 2), TypeError,
             note="while processing 'bandwidth'")

    # --- internal checks inside the kernels -----------------------------------
    # The module does not export the exception class of its internal checks.
    panic = BaseException
    try:
        c._psa(acc, acc2[:2], acc3, coeffs)
    except BaseException as exc:  # noqa: BLE001
        panic = type(exc)
    if panic.__name__ != "PanicException" or issubclass(panic, Exception):
        s.fail("PanicException", f"internal checks raise {panic.__qualname__}")
    s.raises("_psa[shapes differ]", c._psa, (acc, acc2, acc3[:, :-1], coeffs), panic)
    s.raises("_psa[7 coefficients]", c._psa, (acc, acc2, acc3, coeffs[:, :7]), panic)
    s.raises("_psa[9 coefficients]", c._psa, (acc, acc2, acc3, np.zeros((0, 9))), panic)
    s.raises("_rotd[rows differ]", c._rotd, (acc, acc2[:2]), panic)
    s.raises("_rotd[no samples]", c._rotd, (acc[:, :0], acc2[:, :0]), panic)
    s.raises("_konno_ohmachi_matrix_rows[start past stop]", mr, (8, 40.0, 5, 3), panic)
    s.raises("_konno_ohmachi_matrix_rows[stop past n_bins]", mr, (8, 40.0, 0, 9), panic)

    # --- allocation failures (sizes no machine can hold) ----------------------
    s.raises("_konno_ohmachi_matrix_rows[huge]", mr, (2**62, 40.0, 0, 1), MemoryError)
    s.raises("_arias_intensity[huge]", c._arias_intensity,
             (np.broadcast_to(np.ones((1, 1)), (2**59, 1)), 0.01), MemoryError)

    # Every registered function (those of other compiled modules too): its
    # small valid arguments, and the arguments its internal checks refuse.
    for f in REGISTRY:
        args = f.make_args(rng)
        shape, dtype = f.result(args)
        s.ok(f"{f.module}.{f.name}[registry]", f.fn, args, shape, dtype)
        for k, bad in enumerate(f.refused(rng)):
            s.raises(f"{f.module}.{f.name}[refused {k}]", f.fn, bad, (panic, MemoryError))

    # The module is still usable after all of that.
    s.ok("_cav[after errors]", c._cav, (acc, 0.01), (ns,))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=1, help="rounds to run (default 1)")
    args = parser.parse_args()

    if list(_core.__all__) != list(FUNCTIONS):
        print(f"unexpected _core.__all__: {_core.__all__}", file=sys.stderr)
        return 1
    s = Smoke()
    for _ in range(args.repeat):
        one_round(s, np.random.default_rng(20240229))
        gc.collect()
    for line in dict.fromkeys(s.failures):  # each distinct failure once
        print(f"FAIL {line}", file=sys.stderr)
    print(f"core_smoke: {s.calls} calls in {args.repeat} round(s), {len(s.failures)} failure(s)")
    return 1 if s.failures else 0


if __name__ == "__main__":
    sys.exit(main())
