// Pseudo-spectral acceleration statistics.
//
// Every (station, period) pair runs the eight-coefficient recursion over the
// station's three components, records the three peaks and hands the two
// horizontal responses to the trajectory hull for the RotD statistics.
//
// The recursion of one component is one long chain of dependent operations,
// so a single oscillator leaves most of the floating-point units idle.  On a
// vector target the kernel therefore runs four periods side by side, one per
// lane of a vector of four doubles.  The recursion is written once, as
// `Oscillators<V>` (on the shared step of oscillator.hpp) over V = double (one period) or f64x4 (four periods): the
// lanes never mix, and each lane performs exactly the products and additions,
// in the order, that the one-period form performs, so a period's results do
// not depend on whether it ran in a lane or alone.  The periods left over
// after the last whole group of four, and every period on the scalar target,
// go through `respond` one at a time.
#include "psa.hpp"

#include <cmath>
#include <cstring>
#include <vector>

#include "oscillator.hpp"
#include "rotd.hpp"
#include "simd.hpp"

namespace gm {

namespace {

constexpr uint64_t LANES = 4;

// One oscillator per lane of V over one station's three components, starting
// at rest.  Each sample is read once and broadcast to every lane; the
// broadcast serves as the later sample of one step and the earlier of the
// next.
template <class V>
struct Oscillators {
    Recursion<V> rec;
    V x0{}, v0{}, x90{}, v90{}, xv{}, vv{};
    V peak0{}, peak90{}, peakv{};

    const char* p0;
    const char* p90;
    const char* pv;
    int64_t stride0, stride90, stridev;
    V early0, early90, earlyv;

    // c[i] holds coefficient i of every lane.
    GM_INLINE Oscillators(const V (&c)[N_COEFFICIENTS], const Row& comp_0, const Row& comp_90,
                          const Row& comp_ver)
        : rec(c),
          p0(comp_0.data), p90(comp_90.data), pv(comp_ver.data),
          stride0(comp_0.stride), stride90(comp_90.stride), stridev(comp_ver.stride),
          early0(simd::splat<V>(load_sample(p0))), early90(simd::splat<V>(load_sample(p90))),
          earlyv(simd::splat<V>(load_sample(pv))) {}

    // One step over samples k-1 and k of the three components.
    GM_INLINE void step() {
        p0 += stride0;
        p90 += stride90;
        pv += stridev;
        const V e0 = early0, e90 = early90, ev = earlyv;
        const V l0 = simd::splat<V>(load_sample(p0));
        const V l90 = simd::splat<V>(load_sample(p90));
        const V lv = simd::splat<V>(load_sample(pv));
        rec.step(x0, v0, e0, l0);
        rec.step(x90, v90, e90, l90);
        rec.step(xv, vv, ev, lv);
        peak0 = simd::max(simd::abs(x0), peak0);
        peak90 = simd::max(simd::abs(x90), peak90);
        peakv = simd::max(simd::abs(xv), peakv);
        early0 = l0;
        early90 = l90;
        earlyv = lv;
    }

    // Whether lane j ended in a finite state.
    GM_INLINE bool finite(int j) const {
        return is_finite_bits(simd::lane(x0, j)) && is_finite_bits(simd::lane(v0, j)) &&
               is_finite_bits(simd::lane(x90, j)) && is_finite_bits(simd::lane(v90, j)) &&
               is_finite_bits(simd::lane(xv, j)) && is_finite_bits(simd::lane(vv, j));
    }
};

// Peaks and verdicts of four oscillators run side by side over one station.
struct LaneOutcome {
    double peaks[3][LANES];  // [component][lane]
    bool finite[LANES];
};

// Writes a 4 x 4 block, r[u] holding step u of the four lanes, so that lane
// j's four values land at out[j * pitch .. j * pitch + 3].  Pairing the
// steps within 128-bit halves needs only in-lane shuffles; each half then
// holds two consecutive values of one lane and is stored as it is.
template <class V>
GM_INLINE void store_block(const V (&r)[LANES], double* out, uint64_t pitch) {
    using simd::f64x2;
    const V t0 = GM_SHUFFLE(r[0], r[1], 0, 4, 2, 6);  // lanes 0, 2; steps 0, 1
    const V t1 = GM_SHUFFLE(r[0], r[1], 1, 5, 3, 7);  // lanes 1, 3; steps 0, 1
    const V t2 = GM_SHUFFLE(r[2], r[3], 0, 4, 2, 6);  // lanes 0, 2; steps 2, 3
    const V t3 = GM_SHUFFLE(r[2], r[3], 1, 5, 3, 7);  // lanes 1, 3; steps 2, 3
    const f64x2 halves[8] = {{t0[0], t0[1]}, {t2[0], t2[1]}, {t1[0], t1[1]}, {t3[0], t3[1]},
                             {t0[2], t0[3]}, {t2[2], t2[3]}, {t1[2], t1[3]}, {t3[2], t3[3]}};
    for (uint64_t j = 0; j < LANES; ++j) {
        simd::store(out + j * pitch, halves[2 * j]);
        simd::store(out + j * pitch + 2, halves[2 * j + 1]);
    }
}

// Four oscillators over one station's three components, V a vector of four
// doubles.  `coefficients` holds coefficient c of lane j at [c * LANES + j].
// The 000 and 090 responses of lane j go to response_0[j * nt ...] and
// response_90[j * nt ...].
//
// Steps are taken in groups of four: the four responses of a group, one
// vector per step, are rearranged in registers so that each lane's four
// consecutive values go to its buffer in two stores.
template <class V>
GM_INLINE void respond_lanes(const double* coefficients, const Row& comp_0, const Row& comp_90,
                             const Row& comp_ver, double* response_0, double* response_90,
                             LaneOutcome& outcome) {
    static_assert(sizeof(V) == LANES * sizeof(double));
    const uint64_t nt = comp_0.len;
    V c[N_COEFFICIENTS];
    for (uint64_t i = 0; i < N_COEFFICIENTS; ++i) {
        c[i] = simd::load<V>(coefficients + i * LANES);
    }
    Oscillators<V> osc(c, comp_0, comp_90, comp_ver);
    for (uint64_t j = 0; j < LANES; ++j) {
        response_0[j * nt] = 0.0;
        response_90[j * nt] = 0.0;
    }

    uint64_t k = 1;
    for (; k + LANES <= nt; k += LANES) {
        V steps_0[LANES], steps_90[LANES];
        // Unrolled, so that the steps stay in registers for store_block.
#pragma GCC unroll 4
        for (uint64_t u = 0; u < LANES; ++u) {
            osc.step();
            steps_0[u] = osc.x0;
            steps_90[u] = osc.x90;
        }
        store_block(steps_0, response_0 + k, nt);
        store_block(steps_90, response_90 + k, nt);
    }
    for (; k < nt; ++k) {
        osc.step();
        for (uint64_t j = 0; j < LANES; ++j) {
            response_0[j * nt + k] = simd::lane(osc.x0, j);
            response_90[j * nt + k] = simd::lane(osc.x90, j);
        }
    }

    for (uint64_t j = 0; j < LANES; ++j) {
        outcome.peaks[0][j] = simd::lane(osc.peak0, j);
        outcome.peaks[1][j] = simd::lane(osc.peak90, j);
        outcome.peaks[2][j] = simd::lane(osc.peakv, j);
        outcome.finite[j] = osc.finite(j);
    }
}

void fill_nan(double* row) {
    for (uint64_t i = 0; i < ROTD_COMPONENTS; ++i) row[i] = quiet_nan();
}

// Writes the nine statistics of one (station, period) pair whose final state
// is finite; x and y are the whole 000 and 090 responses.
void write_statistics(double* row, double peak_0, double peak_90, double peak_ver, Hull& hull,
                      const double* x, const double* y, uint64_t nt) {
    const Peaks directional = hull.peaks(Row::of(x, nt), Row::of(y, nt));
    row[0] = peak_0;
    row[1] = peak_90;
    row[2] = peak_ver;
    row[3] = std::sqrt(peak_0 * peak_90);
    const RotdRow rotd = rotd_statistics(directional);
    for (uint64_t i = 0; i < rotd.size(); ++i) row[4 + i] = rotd[i];
}

}  // namespace

std::optional<ComponentPeaks> respond(const CoefficientRecord& coefficients, const Row& comp_0,
                                      const Row& comp_90, const Row& comp_ver,
                                      std::span<double> response_0,
                                      std::span<double> response_90) {
    const uint64_t nt = comp_0.len;
    if (nt == 0) panic("an oscillator needs at least one sample");
    if (comp_90.len != nt) panic_not_equal("the 090 row must match the 000 row", comp_90.len, nt);
    if (comp_ver.len != nt) {
        panic_not_equal("the vertical row must match the 000 row", comp_ver.len, nt);
    }
    if (response_0.size() != nt) {
        panic_not_equal("the 000 response must match the record", response_0.size(), nt);
    }
    if (response_90.size() != nt) {
        panic_not_equal("the 090 response must match the record", response_90.size(), nt);
    }

    double c[N_COEFFICIENTS];
    for (uint64_t i = 0; i < N_COEFFICIENTS; ++i) c[i] = coefficients[i];
    Oscillators<double> osc(c, comp_0, comp_90, comp_ver);
    response_0[0] = 0.0;
    response_90[0] = 0.0;
    for (uint64_t k = 1; k < nt; ++k) {
        osc.step();
        response_0[k] = osc.x0;
        response_90[k] = osc.x90;
    }

    if (!osc.finite(0)) return std::nullopt;
    return ComponentPeaks{osc.peak0, osc.peak90, osc.peakv};
}

OwnedArray psa(const View2D& comp_0, const View2D& comp_90, const View2D& comp_ver,
               const View2D& coefficients) {
    if (comp_90.rows != comp_0.rows || comp_90.cols != comp_0.cols ||
        comp_ver.rows != comp_0.rows || comp_ver.cols != comp_0.cols) {
        panic("components must have matching shapes");
    }
    if (coefficients.cols != N_COEFFICIENTS) {
        panic_not_equal("coefficients must have 8 columns", coefficients.cols, N_COEFFICIENTS);
    }
    const uint64_t ns = comp_0.rows;
    const uint64_t nt = comp_0.cols;
    const uint64_t n_periods = coefficients.rows;
    OwnedArray result(Dtype::F64, {ns, n_periods, ROTD_COMPONENTS});
    // With nothing to compute, no working storage is made: its size follows
    // nt, which may be huge for an input without stations.
    if (nt == 0 || ns == 0 || n_periods == 0) return result;

    Hull hull = Hull::with_capacity(nt);
    if (nt > SIZE_MAX / sizeof(double) / LANES) throw std::bad_alloc();
    // Lane j's responses occupy [j * nt, (j + 1) * nt); the one-at-a-time
    // periods use lane 0's stretch.
    std::vector<double> response_0(LANES * nt, 0.0);
    std::vector<double> response_90(LANES * nt, 0.0);
    double* out = result.f64();
    auto row_of = [&](uint64_t s, uint64_t p) {
        return out + (s * n_periods + p) * ROTD_COMPONENTS;
    };

    // Whole groups of four periods on a vector target; returns the first
    // period left for the one-at-a-time path.
    uint64_t p = simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
        using Tag = decltype(tag);
        uint64_t q = 0;
        if constexpr (simd::is_vector<Tag>) {
            using V = typename Tag::f64;
            for (; q + LANES <= n_periods; q += LANES) {
                double lanes[N_COEFFICIENTS * LANES];
                for (uint64_t j = 0; j < LANES; ++j) {
                    for (uint64_t i = 0; i < N_COEFFICIENTS; ++i) {
                        lanes[i * LANES + j] = coefficients.at(q + j, i);
                    }
                }
                for (uint64_t s = 0; s < ns; ++s) {
                    LaneOutcome outcome;
                    respond_lanes<V>(lanes, comp_0.row(s), comp_90.row(s), comp_ver.row(s),
                                     response_0.data(), response_90.data(), outcome);
                    for (uint64_t j = 0; j < LANES; ++j) {
                        double* row = row_of(s, q + j);
                        if (!outcome.finite[j]) {
                            fill_nan(row);
                            continue;
                        }
                        write_statistics(row, outcome.peaks[0][j], outcome.peaks[1][j],
                                         outcome.peaks[2][j], hull, response_0.data() + j * nt,
                                         response_90.data() + j * nt, nt);
                    }
                }
            }
        }
        return q;
    });

    const std::span<double> single_0(response_0.data(), nt);
    const std::span<double> single_90(response_90.data(), nt);
    for (; p < n_periods; ++p) {
        CoefficientRecord record;
        for (uint64_t i = 0; i < N_COEFFICIENTS; ++i) record[i] = coefficients.at(p, i);
        for (uint64_t s = 0; s < ns; ++s) {
            double* row = row_of(s, p);
            const auto peaks = respond(record, comp_0.row(s), comp_90.row(s), comp_ver.row(s),
                                       single_0, single_90);
            if (!peaks) {
                fill_nan(row);
                continue;
            }
            write_statistics(row, (*peaks)[0], (*peaks)[1], (*peaks)[2], hull, single_0.data(),
                             single_90.data(), nt);
        }
    }
    return result;
}

}  // namespace gm
