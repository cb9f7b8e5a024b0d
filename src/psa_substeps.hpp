// Pseudo-spectral acceleration statistics with sub-steps: `psa` run on the
// record read linearly between samples, k recursion steps per sample
// interval, as `oscillator_peaks` reads it.
#pragma once

#include <cstdint>

#include "psa.hpp"
#include "views.hpp"

namespace gm {

// One sub-stepped oscillator is one row of nine coefficients: the eight
// recursion coefficients of psa.hpp for the step dt / k, then k, the number
// of recursion steps per sample interval (a whole number in [1, 2^32], as a
// double).
constexpr uint64_t N_SUBSTEP_COEFFICIENTS = N_COEFFICIENTS + 1;

// The number of responses of one component of nt >= 1 samples at k
// sub-steps: nt for k = 1, otherwise (nt - 1) k, at least 1 (the rest
// state).  Throws std::bad_alloc when that many doubles cannot be held.
uint64_t substep_length(uint64_t nt, uint64_t k);

// The final state and the peak |x| of one component.
struct ComponentRun {
    double x = 0.0, v = 0.0, peak = 0.0;
    bool finite() const { return is_finite_bits(x) && is_finite_bits(v); }
};

// Runs the eight coefficients c over `row` (at least one sample) from rest,
// with k >= 1 steps per sample interval.  With k = 1 the recursion runs from
// the first sample to the last, with the arithmetic of `respond`.  With
// k > 1 it runs over the sub-samples j dt / k, j = 0 .. (n - 1) k - 1, the
// sub-sample j (0 < j < k) of the interval from a0 to a1 being
// a0 + (a1 - a0) * (j / k), each operation rounded in that order, and the
// last sample left out, as `oscillator_peaks` does.  When `response` is not
// null it receives substep_length(n, k) values: 0.0 for the rest state, then
// x after every step.
ComponentRun run_substeps(const double (&c)[N_COEFFICIENTS], uint64_t k, const Row& row,
                          double* response);

// The (ns, n_osc, 9) result of `psa`, each oscillator run with its own
// number of sub-steps over all three components, the RotD statistics taken
// from the hull of the sub-stepped horizontal responses.  Rows with k = 1
// give psa's bits; a row whose k is not a whole number in [1, 2^32] gives
// NaNs.
OwnedArray psa_substeps(const View2D& comp_0, const View2D& comp_90, const View2D& comp_ver,
                        const View2D& coefficients);

}  // namespace gm
