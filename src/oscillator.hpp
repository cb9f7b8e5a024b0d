// The step of the eight-coefficient oscillator recursion and the reading of
// a record on sub-steps, shared by every kernel that runs it (`psa`,
// `oscillator_peaks`, `psa_substeps`, `psa_percentiles`).
//
// Written once over the element type V: double for one oscillator, a vector
// of four doubles for four oscillators side by side, one per lane.  Each lane
// performs exactly the products and additions, in the order, of the
// one-oscillator form, so an oscillator's bits do not depend on the kernel
// or on the lane that ran it.
#pragma once

#include <cstdint>
#include <cstring>

#include "views.hpp"

#include "psa.hpp"
#include "simd.hpp"

namespace gm {

GM_INLINE double load_sample(const char* p) {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The eight coefficients of one oscillator per lane of V (see psa.hpp for
// their layout).
template <class V>
struct Recursion {
    V a_xx, a_xv, a_vx, a_vv;  // state matrix
    V b_x0, b_v0, b_x1, b_v1;  // input matrix

    // c[i] holds coefficient i of every lane, for i < N_COEFFICIENTS.
    GM_INLINE explicit Recursion(const V* c)
        : a_xx(c[0]), a_xv(c[1]), a_vx(c[2]), a_vv(c[3]),
          b_x0(c[4]), b_v0(c[5]), b_x1(c[6]), b_v1(c[7]) {}

    // One step of one component from state (x, v) over the earlier sample e
    // and the later sample l.
    GM_INLINE void step(V& x, V& v, V e, V l) const {
        const V nx = ((a_xx * x + a_xv * v) + b_x0 * e) + b_x1 * l;
        const V nv = ((a_vx * x + a_vv * v) + b_v0 * e) + b_v1 * l;
        x = nx;
        v = nv;
    }
};

// The number of sub-steps a coefficient holds: the whole number in
// [1, 2^32] it equals, or 0 for any other value.
inline uint64_t substeps_of(double k) {
    const bool whole = k >= 1.0 && k <= 4294967296.0 &&
                       k == static_cast<double>(static_cast<uint64_t>(k));
    return whole ? static_cast<uint64_t>(k) : 0;
}

// Calls step(e, l), in V's lanes, for every step over `row` (at least one
// sample) with k >= 1 steps per sample interval.  With k = 1 the steps run
// from the first sample to the last.  With k > 1 they run over the record
// read linearly between samples at the times j dt / k, j = 0 .. (n - 1) k - 1:
// inside the interval from a0 to a1 the sub-sample j (0 < j < k) is
// a0 + (a1 - a0) * (j / k), the difference, the quotient of j and k as
// doubles, the product and the sum each rounded in that order; sub-sample k
// is a1 itself.  The last sample is not reached: the final interval stops
// one sub-step short of it.
template <class V, class Step>
GM_INLINE void walk(const Row& row, uint64_t k, Step&& step) {
    const char* p = row.data;
    if (k == 1) {
        V early = simd::splat<V>(load_sample(p));
        for (uint64_t i = 1; i < row.len; ++i) {
            p += row.stride;
            const V late = simd::splat<V>(load_sample(p));
            step(early, late);
            early = late;
        }
        return;
    }
    const double per = static_cast<double>(k);
    double a0 = load_sample(p);
    for (uint64_t i = 1; i < row.len; ++i) {
        p += row.stride;
        const double a1 = load_sample(p);
        const double rise = a1 - a0;
        const uint64_t steps = i + 1 < row.len ? k : k - 1;
        V early = simd::splat<V>(a0);
        for (uint64_t j = 1; j <= steps; ++j) {
            const V late =
                simd::splat<V>(j < k ? a0 + rise * (static_cast<double>(j) / per) : a1);
            step(early, late);
            early = late;
        }
        a0 = a1;
    }
}

}  // namespace gm
