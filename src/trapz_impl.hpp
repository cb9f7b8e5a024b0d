// The interval rule shared by the total and the running integrals, written
// once for a plain double and once for a vector of LANES rows.  Every lane
// performs exactly the operations of the scalar rule, so a row gives the same
// bits whichever path computed it.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "trapz.hpp"

namespace gm::trapz_detail {

constexpr int LANES = 8;
typedef double VecD __attribute__((vector_size(LANES * sizeof(double))));
typedef int64_t VecI __attribute__((vector_size(LANES * sizeof(double))));

template <Integrand F>
inline double f_scalar(double a) {
    if constexpr (F == Integrand::Square) {
        return a * a;
    } else {
        return std::fabs(a);
    }
}

// Contribution of the interval [a0, a1]: split at the zero crossing when the
// samples have strictly opposite signs (a NaN operand is ignored by the
// min/max, as IEEE minNum/maxNum do).
template <Integrand F>
inline double contribution(double a0, double a1, double dt) {
    double lo = std::fmin(a0, a1);
    double hi = std::fmax(a0, a1);
    if (lo >= 0.0 || hi <= 0.0) {
        return (f_scalar<F>(a0) + f_scalar<F>(a1)) * dt;
    }
    double t = -(a0 * (dt / (a1 - a0)));
    return f_scalar<F>(a0) * t + f_scalar<F>(a1) * (dt - t);
}

template <Integrand F>
inline VecD f_vec(VecD a) {
    if constexpr (F == Integrand::Square) {
        return a * a;
    } else {
        VecI bits;
        std::memcpy(&bits, &a, sizeof bits);
        bits &= INT64_MAX;
        VecD r;
        std::memcpy(&r, &bits, sizeof r);
        return r;
    }
}

template <Integrand F>
inline VecD contribution(VecD a0, VecD a1, VecD dt) {
    // minNum / maxNum: a NaN in a1 yields a0 (a NaN in a0 fails the compare
    // and yields a1).
    VecD lo = a0 < a1 ? a0 : a1;
    VecD hi = a0 > a1 ? a0 : a1;
    lo = a1 != a1 ? a0 : lo;
    hi = a1 != a1 ? a0 : hi;
    VecI whole = (lo >= 0.0) | (hi <= 0.0);
    VecD f0 = f_vec<F>(a0);
    VecD f1 = f_vec<F>(a1);
    VecD plain = (f0 + f1) * dt;
    VecD t = -(a0 * (dt / (a1 - a0)));
    VecD split = f0 * t + f1 * (dt - t);
    return whole ? plain : split;
}

// Samples of LANES rows, interleaved: tile[k][lane] is sample (start + k) of
// row (row0 + lane).
constexpr uint64_t CHUNK = 256;

inline void load_tile(const View2D& w, uint64_t row0, uint64_t start, uint64_t count,
                      VecD* tile) {
    if (w.stride0 == static_cast<int64_t>(sizeof(double))) {
        // The rows of one column are adjacent (Fortran order).
        for (uint64_t k = 0; k < count; ++k) {
            const char* p = w.data + static_cast<int64_t>(row0) * w.stride0 +
                            static_cast<int64_t>(start + k) * w.stride1;
            std::memcpy(&tile[k], p, sizeof(VecD));
        }
        return;
    }
    double* out = reinterpret_cast<double*>(tile);
    for (int lane = 0; lane < LANES; ++lane) {
        Row r = w.row(row0 + lane);
        if (r.contiguous()) {
            const double* p = r.ptr() + start;
            for (uint64_t k = 0; k < count; ++k) out[k * LANES + lane] = p[k];
        } else {
            for (uint64_t k = 0; k < count; ++k) out[k * LANES + lane] = r[start + k];
        }
    }
}

// Runs the rule over LANES rows starting at row0.  `step(k, S)` sees the
// running sums after sample k (k >= 1).  Returns the final sums.
template <Integrand F, class Step>
inline VecD run_lanes(const View2D& w, uint64_t row0, double dt, Step&& step) {
    alignas(64) VecD tile[CHUNK];
    const uint64_t nt = w.cols;
    VecD dtv = dt - VecD{};
    VecD sum = VecD{};
    VecD prev = VecD{};
    for (uint64_t start = 0; start < nt; start += CHUNK) {
        uint64_t count = nt - start < CHUNK ? nt - start : CHUNK;
        load_tile(w, row0, start, count, tile);
        uint64_t k = 0;
        if (start == 0) {
            prev = tile[0];
            k = 1;
        }
        for (; k < count; ++k) {
            VecD cur = tile[k];
            sum = sum + contribution<F>(prev, cur, dtv);
            step(start + k, sum);
            prev = cur;
        }
    }
    return sum;
}

template <Integrand F, class Step>
inline double run_row(const Row& row, double dt, Step&& step) {
    double sum = 0.0;
    if (row.len < 2) return sum;
    double prev = row[0];
    for (uint64_t i = 1; i < row.len; ++i) {
        double cur = row[i];
        sum = sum + contribution<F>(prev, cur, dt);
        step(i, sum);
        prev = cur;
    }
    return sum;
}

}  // namespace gm::trapz_detail
