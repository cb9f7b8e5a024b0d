// The floor for single-component response spectra: the bare oscillator
// recursion and nothing else, compiled by bench_spectra.py at benchmark time.
//
// The same eight coefficients per oscillator and the same arithmetic as the
// library's step (src/oscillator.hpp), in the same order:
//
//     x' = ((a_xx x + a_xv v) + b_x0 a[k]) + b_x1 a[k+1]
//     v' = ((a_vx x + a_vv v) + b_v0 a[k]) + b_v1 a[k+1]
//
// keeping only the peak of |x|: no relative velocity or total acceleration
// peaks, no NaN handling, no argument checks.  Four periods (FLOOR_LANES)
// sit side by side in the lanes of a GCC vector of doubles, and three such
// groups are advanced in each loop iteration so that the two-step dependency
// chain of one group hides behind the others' work.
//
// Build it with the library's floating-point flags (-O2 -std=c++20
// -ffp-contract=off -fno-math-errno), once without and once with -mavx2; and
// with -mavx512f -DFLOOR_LANES=8 for eight periods in the lanes of a 512-bit
// vector.  -DFLOOR_GROUPS=G advances G groups together instead of three, and
// -DFLOOR_ALL_PEAKS takes the three peaks of the library's spectra.

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

#ifndef FLOOR_LANES
#define FLOOR_LANES 4
#endif
constexpr int LANES = FLOOR_LANES;
typedef double vd __attribute__((vector_size(8 * LANES)));

struct Coefficients {
    vd a_xx, a_xv, a_vx, a_vv, b_x0, b_v0, b_x1, b_v1;
};

inline vd broadcast(double s) {
    vd v;
    for (int i = 0; i < LANES; ++i) v[i] = s;
    return v;
}

typedef long long vi __attribute__((vector_size(8 * LANES)));
inline vd clear_sign(vd a) { return (vd)((vi)a & ~(vi)broadcast(-0.0)); }

#ifndef FLOOR_GROUPS
#define FLOOR_GROUPS 3
#endif
// With FLOOR_ALL_PEAKS, the peaks of |v| and of |x + 2 zeta v| (zeta = 5 %)
// are taken too, as the library takes them, and summed into `sink`.
volatile double sink;

// Advance K groups of LANES oscillators over one record of n samples from
// rest; write the LANES K peaks of |x| to out.
template <int K>
void run(const double* acc, long n, const Coefficients* c, double* out) {
    vd x[K], v[K], peak[K], peak_v[K], peak_a[K];
    for (int j = 0; j < K; ++j) {
        x[j] = broadcast(0.0);
        v[j] = broadcast(0.0);
        peak[j] = broadcast(0.0);
        peak_v[j] = broadcast(0.0);
        peak_a[j] = broadcast(0.0);
    }
#ifdef FLOOR_ALL_PEAKS
    const vd two_zeta = broadcast(0.1);
#endif
    for (long k = 0; k + 1 < n; ++k) {
        const vd e = broadcast(acc[k]);
        const vd l = broadcast(acc[k + 1]);
// Unrolled, so that the groups' states stay in registers.
#pragma GCC unroll 8
        for (int j = 0; j < K; ++j) {
            const Coefficients& q = c[j];
            const vd nx = ((q.a_xx * x[j] + q.a_xv * v[j]) + q.b_x0 * e) + q.b_x1 * l;
            const vd nv = ((q.a_vx * x[j] + q.a_vv * v[j]) + q.b_v0 * e) + q.b_v1 * l;
            x[j] = nx;
            v[j] = nv;
#ifndef FLOOR_ALL_PEAKS
            const vd magnitude = nx < 0.0 ? -nx : nx;
            peak[j] = peak[j] < magnitude ? magnitude : peak[j];
#else
            // |.| by clearing the sign bit, as the library takes it.
            const vd magnitude = clear_sign(nx);
            peak[j] = magnitude > peak[j] ? magnitude : peak[j];
            const vd speed = clear_sign(nv);
            peak_v[j] = speed > peak_v[j] ? speed : peak_v[j];
            const vd total = clear_sign(nx + two_zeta * nv);
            peak_a[j] = total > peak_a[j] ? total : peak_a[j];
#endif
        }
    }
    for (int j = 0; j < K; ++j) {
        for (int i = 0; i < LANES; ++i) {
            out[LANES * j + i] = peak[j][i];
            sink = sink + peak_v[j][i] + peak_a[j][i];
        }
    }
}

}  // namespace

extern "C" {

// The number of oscillators in a group.
long floor_lanes() { return LANES; }

// acc: n_records rows of n_samples doubles.  coefficients: n_groups groups,
// each the eight coefficients (a_xx, a_xv, a_vx, a_vv, b_x0, b_v0, b_x1,
// b_v1) of LANES oscillators, coefficient-major (8 x LANES doubles).  out:
// n_records rows of LANES n_groups peaks.
void floor_peaks(const double* acc, long n_records, long n_samples,
                 const double* coefficients, long n_groups, double* out) {
    // The caller's array need not be aligned for the vector type: copy it
    // into storage that is (once per call, outside the timed loops' cost).
    std::vector<Coefficients> aligned(n_groups);
    std::memcpy(aligned.data(), coefficients, sizeof(Coefficients) * n_groups);
    const Coefficients* c = aligned.data();
    for (long r = 0; r < n_records; ++r) {
        const double* a = acc + r * n_samples;
        double* o = out + r * LANES * n_groups;
        long g = 0;
        for (; g + FLOOR_GROUPS <= n_groups; g += FLOOR_GROUPS) {
            run<FLOOR_GROUPS>(a, n_samples, c + g, o + LANES * g);
        }
        for (; g < n_groups; ++g) run<1>(a, n_samples, c + g, o + LANES * g);
    }
}

}
