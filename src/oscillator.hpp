// The step of the eight-coefficient oscillator recursion, shared by every
// kernel that runs it (`psa`, `oscillator_peaks`).
//
// Written once over the element type V: double for one oscillator, a vector
// of four doubles for four oscillators side by side, one per lane.  Each lane
// performs exactly the products and additions, in the order, of the
// one-oscillator form, so an oscillator's bits do not depend on the kernel
// or on the lane that ran it.
#pragma once

#include <cstdint>
#include <cstring>

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

}  // namespace gm
