// Sub-stepped oscillators over three components, one oscillator at a time.
//
// The step is that of oscillator.hpp with V = double, so that an oscillator
// with one step per interval performs `respond`'s arithmetic, and the
// sub-samples are formed as in spectra.cpp, so that a component's peak is the
// |x| peak of `oscillator_peaks` for the same row.
#include "psa_substeps.hpp"

#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "oscillator.hpp"
#include "rotd.hpp"
#include "simd.hpp"

namespace gm {

namespace {

void fill_nan(double* row) {
    for (uint64_t i = 0; i < ROTD_COMPONENTS; ++i) row[i] = quiet_nan();
}

}  // namespace

uint64_t substep_length(uint64_t nt, uint64_t k) {
    if (nt == 0) panic("an oscillator needs at least one sample");
    if (nt > SIZE_MAX / sizeof(double)) throw std::bad_alloc();
    if (k == 1) return nt;
    if (nt - 1 > SIZE_MAX / sizeof(double) / k) throw std::bad_alloc();
    const uint64_t n = (nt - 1) * k;
    return n == 0 ? 1 : n;
}

ComponentRun run_substeps(const double (&c)[N_COEFFICIENTS], uint64_t k, const Row& row,
                          double* response) {
    const Recursion<double> rec(c);
    ComponentRun r;
    uint64_t at = 0;
    if (response != nullptr) response[at++] = 0.0;
    walk<double>(row, k, [&](double e, double l) {
        rec.step(r.x, r.v, e, l);
        r.peak = simd::max(simd::abs(r.x), r.peak);
        if (response != nullptr) response[at++] = r.x;
    });
    return r;
}

OwnedArray psa_substeps(const View2D& comp_0, const View2D& comp_90, const View2D& comp_ver,
                        const View2D& coefficients) {
    if (comp_90.rows != comp_0.rows || comp_90.cols != comp_0.cols ||
        comp_ver.rows != comp_0.rows || comp_ver.cols != comp_0.cols) {
        panic("components must have matching shapes");
    }
    if (coefficients.cols != N_SUBSTEP_COEFFICIENTS) {
        panic_not_equal("coefficients must have 9 columns", coefficients.cols,
                        N_SUBSTEP_COEFFICIENTS);
    }
    const uint64_t n_osc = coefficients.rows;
    OwnedArray result(Dtype::F64, {comp_0.rows, n_osc, ROTD_COMPONENTS});
    double* out = result.f64();
    auto row_of = [&](uint64_t s, uint64_t o) { return out + (s * n_osc + o) * ROTD_COMPONENTS; };
    run_pairs(
        comp_0, comp_90, coefficients,
        [&](uint64_t s, uint64_t o, const double (&c)[N_COEFFICIENTS], uint64_t k,
            const ComponentRun& r0, const ComponentRun& r90, const Peaks& directional) {
            double* row = row_of(s, o);
            const ComponentRun rv = run_substeps(c, k, comp_ver.row(s), nullptr);
            if (!rv.finite()) {
                fill_nan(row);
                return;
            }
            row[0] = r0.peak;
            row[1] = r90.peak;
            row[2] = rv.peak;
            row[3] = std::sqrt(r0.peak * r90.peak);
            const RotdRow rotd = rotd_statistics(directional);
            for (uint64_t i = 0; i < rotd.size(); ++i) row[4 + i] = rotd[i];
        },
        [&](uint64_t s, uint64_t o) { fill_nan(row_of(s, o)); });
    return result;
}

}  // namespace gm
