// Pseudo-spectral acceleration statistics.
//
// Every (station, period) pair runs the eight-coefficient recursion over the
// station's three components, records the three peaks and hands the two
// horizontal responses to the trajectory hull for the RotD statistics.
//
// The recursion of one component is one long chain of dependent operations,
// so a single oscillator leaves most of the floating-point units idle.  The
// kernel therefore runs four periods side by side, one per lane of a vector
// of four doubles: the lanes never mix, and each lane performs exactly the
// products and additions, in the order, that the one-oscillator `respond`
// performs, so a period's results do not depend on whether it ran in a lane
// or alone.  The periods left over after the last whole group of four go
// through `respond` one at a time.
#include "psa.hpp"

#include <cmath>
#include <cstring>
#include <vector>

#include "rotd.hpp"

namespace gm {

namespace {

constexpr uint64_t LANES = 4;

typedef double v4d __attribute__((vector_size(32)));
typedef int64_t v4i __attribute__((vector_size(32)));
typedef double v2d __attribute__((vector_size(16)));

inline double load(const char* p) {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Peaks and verdicts of four oscillators run side by side over one station.
struct LaneOutcome {
    double peaks[3][LANES];  // [component][lane]
    bool finite[LANES];
};

// Writes a 4 x 4 block, r[u] holding step u of the four lanes, so that lane
// j's four values land at out[j * pitch .. j * pitch + 3].  Pairing the
// steps within 128-bit halves needs only in-lane shuffles; each half then
// holds two consecutive values of one lane and is stored as it is.
inline void store_block(const v4d (&r)[LANES], double* out, uint64_t pitch) {
    const v4d t0 = __builtin_shuffle(r[0], r[1], v4i{0, 4, 2, 6});  // lanes 0, 2; steps 0, 1
    const v4d t1 = __builtin_shuffle(r[0], r[1], v4i{1, 5, 3, 7});  // lanes 1, 3; steps 0, 1
    const v4d t2 = __builtin_shuffle(r[2], r[3], v4i{0, 4, 2, 6});  // lanes 0, 2; steps 2, 3
    const v4d t3 = __builtin_shuffle(r[2], r[3], v4i{1, 5, 3, 7});  // lanes 1, 3; steps 2, 3
    const v2d halves[8] = {{t0[0], t0[1]}, {t2[0], t2[1]}, {t1[0], t1[1]}, {t3[0], t3[1]},
                           {t0[2], t0[3]}, {t2[2], t2[3]}, {t1[2], t1[3]}, {t3[2], t3[3]}};
    for (uint64_t j = 0; j < LANES; ++j) {
        std::memcpy(out + j * pitch, &halves[2 * j], sizeof(v2d));
        std::memcpy(out + j * pitch + 2, &halves[2 * j + 1], sizeof(v2d));
    }
}

// Four oscillators over one station's three components.  `coefficients`
// holds coefficient c of lane j at [c * LANES + j].  The 000 and 090
// responses of lane j go to response_0[j * nt ...] and response_90[j * nt ...].
//
// Steps are taken in groups of four: the four responses of a group, one
// vector per step, are rearranged in registers so that each lane's four
// consecutive values go to its buffer in two stores.
__attribute__((target_clones("avx2", "default")))
void respond_lanes(const double* coefficients, const Row& comp_0, const Row& comp_90,
                   const Row& comp_ver, double* response_0, double* response_90,
                   LaneOutcome& outcome) {
    const uint64_t nt = comp_0.len;
    v4d c[N_COEFFICIENTS];
    for (uint64_t i = 0; i < N_COEFFICIENTS; ++i) {
        std::memcpy(&c[i], coefficients + i * LANES, sizeof(v4d));
    }
    const v4d a_xx = c[0], a_xv = c[1], a_vx = c[2], a_vv = c[3];
    const v4d b_x0 = c[4], b_v0 = c[5], b_x1 = c[6], b_v1 = c[7];

    v4d x0{}, v0{}, x90{}, v90{}, xv{}, vv{};
    v4d peak0{}, peak90{}, peakv{};
    for (uint64_t j = 0; j < LANES; ++j) {
        response_0[j * nt] = 0.0;
        response_90[j * nt] = 0.0;
    }

    const char* p0 = comp_0.data;
    const char* p90 = comp_90.data;
    const char* pv = comp_ver.data;
    double early0 = load(p0), early90 = load(p90), earlyv = load(pv);

    // One step over samples k-1 and k of the three components, all lanes.
    // |x| clears the sign bit, as fabs does.
    auto step = [&]() __attribute__((always_inline)) {
        p0 += comp_0.stride;
        p90 += comp_90.stride;
        pv += comp_ver.stride;
        const double late0 = load(p0), late90 = load(p90), latev = load(pv);
        const v4d e0 = {early0, early0, early0, early0};
        const v4d l0 = {late0, late0, late0, late0};
        const v4d e90 = {early90, early90, early90, early90};
        const v4d l90 = {late90, late90, late90, late90};
        const v4d ev = {earlyv, earlyv, earlyv, earlyv};
        const v4d lv = {latev, latev, latev, latev};
        const v4d nx0 = ((a_xx * x0 + a_xv * v0) + b_x0 * e0) + b_x1 * l0;
        const v4d nv0 = ((a_vx * x0 + a_vv * v0) + b_v0 * e0) + b_v1 * l0;
        const v4d nx90 = ((a_xx * x90 + a_xv * v90) + b_x0 * e90) + b_x1 * l90;
        const v4d nv90 = ((a_vx * x90 + a_vv * v90) + b_v0 * e90) + b_v1 * l90;
        const v4d nxv = ((a_xx * xv + a_xv * vv) + b_x0 * ev) + b_x1 * lv;
        const v4d nvv = ((a_vx * xv + a_vv * vv) + b_v0 * ev) + b_v1 * lv;
        x0 = nx0;
        v0 = nv0;
        x90 = nx90;
        v90 = nv90;
        xv = nxv;
        vv = nvv;
        const v4d m0 = reinterpret_cast<v4d>(reinterpret_cast<v4i>(x0) & INT64_MAX);
        const v4d m90 = reinterpret_cast<v4d>(reinterpret_cast<v4i>(x90) & INT64_MAX);
        const v4d mv = reinterpret_cast<v4d>(reinterpret_cast<v4i>(xv) & INT64_MAX);
        peak0 = m0 > peak0 ? m0 : peak0;
        peak90 = m90 > peak90 ? m90 : peak90;
        peakv = mv > peakv ? mv : peakv;
        early0 = late0;
        early90 = late90;
        earlyv = latev;
    };

    uint64_t k = 1;
    for (; k + LANES <= nt; k += LANES) {
        v4d steps_0[LANES], steps_90[LANES];
        for (uint64_t u = 0; u < LANES; ++u) {
            step();
            steps_0[u] = x0;
            steps_90[u] = x90;
        }
        store_block(steps_0, response_0 + k, nt);
        store_block(steps_90, response_90 + k, nt);
    }
    for (; k < nt; ++k) {
        step();
        for (uint64_t j = 0; j < LANES; ++j) {
            response_0[j * nt + k] = x0[j];
            response_90[j * nt + k] = x90[j];
        }
    }

    for (uint64_t j = 0; j < LANES; ++j) {
        outcome.peaks[0][j] = peak0[j];
        outcome.peaks[1][j] = peak90[j];
        outcome.peaks[2][j] = peakv[j];
        outcome.finite[j] = is_finite_bits(x0[j]) && is_finite_bits(v0[j]) &&
                            is_finite_bits(x90[j]) && is_finite_bits(v90[j]) &&
                            is_finite_bits(xv[j]) && is_finite_bits(vv[j]);
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

    const double a_xx = coefficients[0], a_xv = coefficients[1];
    const double a_vx = coefficients[2], a_vv = coefficients[3];
    const double b_x0 = coefficients[4], b_v0 = coefficients[5];
    const double b_x1 = coefficients[6], b_v1 = coefficients[7];

    double x0 = 0.0, v0 = 0.0, x90 = 0.0, v90 = 0.0, xv = 0.0, vv = 0.0;
    double peak0 = 0.0, peak90 = 0.0, peakv = 0.0;
    response_0[0] = 0.0;
    response_90[0] = 0.0;

    const char* p0 = comp_0.data;
    const char* p90 = comp_90.data;
    const char* pv = comp_ver.data;
    double early0 = load(p0), early90 = load(p90), earlyv = load(pv);
    for (uint64_t k = 1; k < nt; ++k) {
        p0 += comp_0.stride;
        p90 += comp_90.stride;
        pv += comp_ver.stride;
        const double late0 = load(p0), late90 = load(p90), latev = load(pv);

        const double nx0 = ((a_xx * x0 + a_xv * v0) + b_x0 * early0) + b_x1 * late0;
        const double nv0 = ((a_vx * x0 + a_vv * v0) + b_v0 * early0) + b_v1 * late0;
        const double nx90 = ((a_xx * x90 + a_xv * v90) + b_x0 * early90) + b_x1 * late90;
        const double nv90 = ((a_vx * x90 + a_vv * v90) + b_v0 * early90) + b_v1 * late90;
        const double nxv = ((a_xx * xv + a_xv * vv) + b_x0 * earlyv) + b_x1 * latev;
        const double nvv = ((a_vx * xv + a_vv * vv) + b_v0 * earlyv) + b_v1 * latev;
        x0 = nx0;
        v0 = nv0;
        x90 = nx90;
        v90 = nv90;
        xv = nxv;
        vv = nvv;

        response_0[k] = x0;
        response_90[k] = x90;
        const double m0 = std::fabs(x0), m90 = std::fabs(x90), mv = std::fabs(xv);
        peak0 = m0 > peak0 ? m0 : peak0;
        peak90 = m90 > peak90 ? m90 : peak90;
        peakv = mv > peakv ? mv : peakv;

        early0 = late0;
        early90 = late90;
        earlyv = latev;
    }

    if (!(is_finite_bits(x0) && is_finite_bits(v0) && is_finite_bits(x90) &&
          is_finite_bits(v90) && is_finite_bits(xv) && is_finite_bits(vv))) {
        return std::nullopt;
    }
    return ComponentPeaks{peak0, peak90, peakv};
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

    uint64_t p = 0;
    for (; p + LANES <= n_periods; p += LANES) {
        double lanes[N_COEFFICIENTS * LANES];
        for (uint64_t j = 0; j < LANES; ++j) {
            for (uint64_t i = 0; i < N_COEFFICIENTS; ++i) {
                lanes[i * LANES + j] = coefficients.at(p + j, i);
            }
        }
        for (uint64_t s = 0; s < ns; ++s) {
            LaneOutcome outcome;
            respond_lanes(lanes, comp_0.row(s), comp_90.row(s), comp_ver.row(s), response_0.data(),
                          response_90.data(), outcome);
            for (uint64_t j = 0; j < LANES; ++j) {
                double* row = row_of(s, p + j);
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
