// Pseudo-spectral acceleration statistics with sub-steps: `psa` run on the
// record read linearly between samples, k recursion steps per sample
// interval, as `oscillator_peaks` reads it.
#pragma once

#include <cstdint>
#include <vector>

#include "oscillator.hpp"
#include "psa.hpp"
#include "rotd.hpp"
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

// Every oscillator of `coefficients` (eight recursion coefficients, and the
// number of sub-steps in a ninth column when there is one) over every
// station's horizontal pair, from rest.  Calls done(s, o, c, k, r0, r90,
// peaks) with the two runs and the directional peaks of the sub-stepped
// responses when both runs end finite, and fail(s, o) otherwise, or for
// every station of an oscillator whose sub-step count is not a whole number
// in [1, 2^32].  Nothing is allocated when there is nothing to run.
template <class Done, class Fail>
void run_pairs(const View2D& comp_0, const View2D& comp_90, const View2D& coefficients,
               Done&& done, Fail&& fail) {
    const uint64_t ns = comp_0.rows, nt = comp_0.cols, n_osc = coefficients.rows;
    if (nt == 0 || ns == 0 || n_osc == 0) return;
    Hull hull = Hull::with_capacity(nt);
    std::vector<double> response_0, response_90;
    for (uint64_t o = 0; o < n_osc; ++o) {
        const uint64_t k = coefficients.cols == N_COEFFICIENTS
                               ? 1
                               : substeps_of(coefficients.at(o, N_COEFFICIENTS));
        if (k == 0) {
            for (uint64_t s = 0; s < ns; ++s) fail(s, o);
            continue;
        }
        const uint64_t len = substep_length(nt, k);
        response_0.resize(len);
        response_90.resize(len);
        double c[N_COEFFICIENTS];
        for (uint64_t i = 0; i < N_COEFFICIENTS; ++i) c[i] = coefficients.at(o, i);
        for (uint64_t s = 0; s < ns; ++s) {
            const ComponentRun r0 = run_substeps(c, k, comp_0.row(s), response_0.data());
            const ComponentRun r90 = run_substeps(c, k, comp_90.row(s), response_90.data());
            if (!(r0.finite() && r90.finite())) {
                fail(s, o);
                continue;
            }
            done(s, o, c, k, r0, r90,
                 hull.peaks(Row::of(response_0.data(), len), Row::of(response_90.data(), len)));
        }
    }
}

// The (ns, n_osc, 9) result of `psa`, each oscillator run with its own
// number of sub-steps over all three components, the RotD statistics taken
// from the hull of the sub-stepped horizontal responses.  Rows with k = 1
// give psa's bits; a row whose k is not a whole number in [1, 2^32] gives
// NaNs.
OwnedArray psa_substeps(const View2D& comp_0, const View2D& comp_90, const View2D& comp_ver,
                        const View2D& coefficients);

}  // namespace gm
