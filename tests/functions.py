"""The compiled functions, one record each: where they live, their parameters
in order, small valid arguments, the result they must give, and arguments
their internal checks must refuse.  Tests, scripts and benchmarks read this
list; a new compiled function or module is one more record."""

import importlib
import re
from dataclasses import dataclass
from typing import Callable

import numpy as np

# A stable oscillator row, so that responses stay finite on finite input.
STABLE = [0.95, 0.09, -0.09, 0.95, 0.002, 0.01, 0.002, -0.01]
PERCENTILES = np.array([[0.0, 10.0, 50.0, 84.0, 100.0]])
CENTRES = np.array([[0.3, 1.0, 2.5, 7.0, 20.0]])


@dataclass(frozen=True)
class Compiled:
    module: str
    name: str
    params: tuple  # parameter names in order
    kinds: str  # one letter per parameter: a = float64 2-D array, r = list of 1-D arrays, b = bytes, f = float, u = unsigned
    make_args: Callable  # rng, ns, nt -> small valid arguments
    result: Callable  # arguments -> (shape, dtype) of the result
    refused: Callable = lambda rng: []  # argument tuples an internal check refuses

    @property
    def fn(self):
        return getattr(importlib.import_module(self.module), self.name)

    def arrays(self):
        return [i for i, k in enumerate(self.kinds) if k == "a"]


def _waves(rng, ns, nt):
    return rng.standard_normal((ns, nt)) * 0.2


def _ragged(rng, ns, nt):
    """ns records of lengths near nt (some shorter than two samples)."""
    return [rng.standard_normal(max(nt - (k * 7) % 11, 0) if k % 5 else k % 3) * 0.2 for k in range(ns)]


def _steps_row(ns):
    return np.linspace(0.005, 0.02, ns)[np.newaxis, :]


# A decimal number as the text reader takes it.
NUMBER = re.compile(rb"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|(?i:inf|infinity|nan(?:\([0-9A-Za-z_]*\))?))")


def _per_row(args):
    return (args[0].shape[0],), np.float64


def _big(shape):
    return np.broadcast_to(np.ones((1, 1)), shape)


CORE = "groundmotion._core"
FUNCTIONS = [
    Compiled(CORE, "_arias_intensity", ("waveforms_py", "dt"), "af",
             lambda rng, ns=5, nt=64: (_waves(rng, ns, nt), 0.01), _per_row,
             lambda rng: [(_big((2**59, 1)), 0.01)]),
    Compiled(CORE, "_cav", ("waveforms_py", "dt"), "af",
             lambda rng, ns=5, nt=64: (_waves(rng, ns, nt), 0.01), _per_row),
    Compiled(CORE, "_konno_ohmachi_matrix_rows", ("n_bins", "bandwidth", "start", "stop"), "ufuu",
             lambda rng, ns=5, nt=64: (nt, 40.0, 1, ns + 1),
             lambda a: ((a[3] - a[2], a[0]), np.float32),
             lambda rng: [(8, 40.0, 5, 3), (8, 40.0, 0, 9), (2**62, 40.0, 0, 1)]),
    Compiled(CORE, "_konno_ohmachi_smooth", ("spectra_py", "bandwidth"), "af",
             lambda rng, ns=5, nt=64: (np.abs(_waves(rng, ns, nt)), 40.0),
             lambda a: (a[0].shape, np.float64),
             lambda rng: [(_big((1, 2**59)), 40.0)]),
    Compiled(CORE, "_psa", ("comp_0_py", "comp_90_py", "comp_ver_py", "coefficients_py"), "aaaa",
             lambda rng, ns=5, nt=64: (*(_waves(rng, ns, nt) for _ in range(3)),
                                       np.array([STABLE, STABLE[::-1], [0.5] * 4 + [0.1] * 4])),
             lambda a: ((a[0].shape[0], a[3].shape[0], 9), np.float64),
             lambda rng: [(np.ones((2, 5)), np.ones((2, 5)), np.ones((2, 4)), np.ones((1, 8))),
                          (np.ones((2, 5)),) * 3 + (np.ones((1, 7)),)]),
    Compiled(CORE, "_rotd", ("comp_0_py", "comp_90_py"), "aa",
             lambda rng, ns=5, nt=64: (_waves(rng, ns, nt), _waves(rng, ns, nt)),
             lambda a: ((a[0].shape[0], 5), np.float64),
             lambda rng: [(np.ones((3, 4)), np.ones((2, 4))), (np.ones((2, 0)), np.ones((2, 0)))]),
    Compiled(CORE, "_significant_duration", ("waveforms_py", "dt", "low", "high"), "afff",
             lambda rng, ns=5, nt=64: (_waves(rng, ns, nt), 0.01, 0.05, 0.95), _per_row),
]

# Stable rows of `_oscillator_peaks` with sub-steps 1, 3 and 2 interleaved (a
# group of four and a straggler of each).  Column 0 is 1.0, so that the
# sub-step column stays whole when a layout reverses or repeats columns.
PEAK_ROWS = np.array([row + [c, k] for row, c in (
    ([1.0, 0.05, -0.05, 0.9, 0.002, 0.01, 0.002, -0.01], 0.1),
    ([1.0, 0.09, -0.09, 0.95, 0.01, 0.002, -0.01, 0.002], 0.0),
    ([1.0, -0.1, 0.1, 0.9, 0.1, 0.1, 0.1, 0.1], 0.3),
    ([1.0, 0.05, -0.05, 0.9, -0.01, 0.002, 0.01, 0.002], 0.2),
    ([1.0, -0.1, 0.1, 0.9, 0.002, -0.01, 0.002, 0.01], 0.1)) for k in (1.0, 3.0, 2.0)])
# The same rows for the kernels of three components: no damping column.
SUBSTEP_ROWS = np.delete(PEAK_ROWS, 8, axis=1)

MEASURES = "groundmotion._measures"
FUNCTIONS += [
    Compiled(MEASURES, "_oscillator_peaks", ("waveforms_py", "coefficients_py"), "aa",
             lambda rng, ns=5, nt=64: (_waves(rng, ns, nt), PEAK_ROWS),
             lambda a: ((a[0].shape[0], a[1].shape[0], 3), np.float64),
             lambda rng: [(np.ones((2, 5)), np.ones((1, 9))), (np.ones((2, 5)), np.ones((1, 11)))]),
    Compiled(MEASURES, "_rotd_percentiles", ("comp_0_py", "comp_90_py", "percentiles_py"), "aaa",
             lambda rng, ns=5, nt=64: (_waves(rng, ns, nt), _waves(rng, ns, nt), PERCENTILES),
             lambda a: ((a[0].shape[0], a[2].shape[1]), np.float64),
             lambda rng: [(np.ones((3, 4)), np.ones((2, 4)), PERCENTILES),
                          (np.ones((2, 0)), np.ones((2, 0)), PERCENTILES),
                          (np.ones((2, 4)), np.ones((2, 4)), np.ones((2, 1))),
                          (np.ones((2, 4)), np.ones((2, 4)), np.array([[100.5]]))]),
    Compiled(MEASURES, "_psa_percentiles",
             ("comp_0_py", "comp_90_py", "coefficients_py", "percentiles_py"), "aaaa",
             lambda rng, ns=5, nt=64: (_waves(rng, ns, nt), _waves(rng, ns, nt),
                                       SUBSTEP_ROWS, PERCENTILES),
             lambda a: ((a[0].shape[0], a[2].shape[0], a[3].shape[1]), np.float64),
             lambda rng: [(np.ones((2, 5)), np.ones((2, 4)), np.ones((1, 8)), PERCENTILES),
                          (np.ones((2, 5)), np.ones((2, 5)), np.ones((1, 7)), PERCENTILES),
                          (np.ones((2, 5)), np.ones((2, 5)), np.ones((1, 8)), np.array([[np.nan]]))]),
    Compiled(MEASURES, "_psa_substeps",
             ("comp_0_py", "comp_90_py", "comp_ver_py", "coefficients_py"), "aaaa",
             lambda rng, ns=5, nt=64: (*(_waves(rng, ns, nt) for _ in range(3)), SUBSTEP_ROWS),
             lambda a: ((a[0].shape[0], a[3].shape[0], 9), np.float64),
             lambda rng: [(np.ones((2, 5)), np.ones((2, 5)), np.ones((2, 4)), np.ones((1, 9))),
                          (np.ones((2, 5)),) * 3 + (np.ones((1, 10)),)]),
    Compiled(MEASURES, "_konno_ohmachi_onto",
             ("spectra_py", "frequencies_py", "centres_py", "bandwidth"), "aaaf",
             lambda rng, ns=5, nt=64: (np.abs(_waves(rng, ns, nt)),
                                       np.arange(nt)[np.newaxis] * 0.5, CENTRES, 40.0),
             lambda a: ((a[0].shape[0], a[2].shape[1]), np.float64),
             lambda rng: [(np.ones((2, 5)), np.ones((1, 4)), CENTRES, 40.0),
                          (np.ones((2, 5)), np.ones((2, 5)), CENTRES, 40.0),
                          (np.ones((2, 5)), np.ones((1, 5)), np.ones((2, 3)), 40.0)]),    *[Compiled(MEASURES, name, ("records_py", "dts_py", *extra), "ra" + "f" * len(extra),
               lambda rng, ns=5, nt=64, values=values: (_ragged(rng, ns, nt), _steps_row(ns), *values),
               lambda a: ((len(a[0]),), np.float64),
               lambda rng, values=values: [([np.ones(3)], np.ones((1, 2)), *values),
                                           ([np.ones(3)], np.ones((2, 1)), *values)])
      for name, extra, values in [("_arias_ragged", (), ()), ("_cav_ragged", (), ()),
                                  ("_significant_duration_ragged", ("low", "high"), (0.05, 0.95))]],
    Compiled(MEASURES, "_oscillator_peaks_ragged", ("records_py", "coefficients_py"), "ra",
             lambda rng, ns=5, nt=64: (_ragged(rng, ns, nt), np.array([STABLE + [0.1, 1.0], STABLE + [0.0, 3.0]])),
             lambda a: ((len(a[0]), a[1].shape[0], 3), np.float64),
             lambda rng: [([np.ones(3)], np.ones((1, 9)))]),
]
FRACTIONS = np.array([[0.0, 0.05, 0.5, 0.95, 1.0]])
FUNCTIONS += [
    Compiled(MEASURES, "_peak_motions", ("waveforms_py", "dt"), "af",
             lambda rng, ns=5, nt=64: (_waves(rng, ns, nt), 0.01),
             lambda a: ((a[0].shape[0], 3), np.float64)),
    Compiled(MEASURES, "_rotd_motions", ("comp_0_py", "comp_90_py", "dt", "percentiles_py"), "aafa",
             lambda rng, ns=5, nt=64: (_waves(rng, ns, nt), _waves(rng, ns, nt), 0.01, PERCENTILES),
             lambda a: ((a[0].shape[0], 2, a[3].shape[1]), np.float64),
             lambda rng: [(np.ones((3, 4)), np.ones((2, 4)), 0.01, PERCENTILES),
                          (np.ones((2, 0)), np.ones((2, 0)), 0.01, PERCENTILES),
                          (np.ones((2, 4)), np.ones((2, 4)), 0.01, np.array([[100.5]]))]),
    Compiled(MEASURES, "_cav_threshold", ("waveforms_py", "dt", "threshold"), "aff",
             lambda rng, ns=5, nt=64: (_waves(rng, ns, nt), 0.01, 0.1), _per_row),
    # dt 0.03: windows of 33 and 34 intervals.
    Compiled(MEASURES, "_cav_std", ("waveforms_py", "dt", "level"), "aff",
             lambda rng, ns=5, nt=64: (_waves(rng, ns, nt), 0.03, 0.25), _per_row),
    Compiled(MEASURES, "_bracketed_duration", ("waveforms_py", "dt", "threshold"), "aff",
             lambda rng, ns=5, nt=64: (_waves(rng, ns, nt), 0.01, 0.2), _per_row),
    Compiled(MEASURES, "_husid", ("waveforms_py", "dt"), "af",
             lambda rng, ns=5, nt=64: (_waves(rng, ns, nt), 0.01),
             lambda a: (a[0].shape, np.float64)),
    Compiled(MEASURES, "_arias_times", ("waveforms_py", "dt", "fractions_py"), "afa",
             lambda rng, ns=5, nt=64: (_waves(rng, ns, nt), 0.01, FRACTIONS),
             lambda a: ((a[0].shape[0], a[2].shape[1]), np.float64),
             lambda rng: [(np.ones((2, 4)), 0.01, np.ones((2, 1))),
                          (np.ones((2, 4)), 0.01, np.array([[1.5]]))]),
    Compiled(MEASURES, "_parse_numbers", ("text_py",), "b",
             lambda rng, ns=5, nt=64: (" ".join(map(repr, rng.standard_normal(ns * nt).tolist())).encode(),),
             lambda a: ((len(a[0].split()) + 1,) if all(map(NUMBER.fullmatch, a[0].split())) else (1,),
                        np.float64)),
]
# Functions that report on the build instead of computing a measure: nothing
# in, a text out.  The properties of the measures do not apply to them.
DIAGNOSTICS = [
    Compiled(MEASURES, "_simd_target", (), "", lambda rng, ns=5, nt=64: (), lambda a: ((), str)),
]
ALL = FUNCTIONS + DIAGNOSTICS
MODULES = list(dict.fromkeys(f.module for f in ALL))  # in order of first appearance
