// Displacement, velocity and total-acceleration peaks of single-component
// oscillators.
//
// As in psa.cpp, four oscillators run side by side, one per lane of a vector
// of four doubles, on the step of oscillator.hpp; the oscillators left over
// after the last whole group of four, and every oscillator on the scalar
// target, run alone through the same template with V = double.  A lane's
// results are those of the oscillator run alone.
#include "spectra.hpp"

#include <algorithm>
#include <vector>

#include "oscillator.hpp"
#include "psa.hpp"
#include "simd.hpp"

namespace gm {

namespace {

constexpr uint64_t LANES = 4;
// The coefficients a run reads, one value per lane: the recursion's and
// 2 * damping.  The last column, the number of sub-steps, is not per lane.
constexpr uint64_t N_RUN_COEFFICIENTS = N_COEFFICIENTS + 1;
constexpr uint64_t SUBSTEPS_COLUMN = N_COEFFICIENTS + 1;

// The end of one run: the final state and the three peaks, per lane of V.
template <class V>
struct Run {
    V x{}, v{};
    V peak_x{}, peak_v{}, peak_a{};
};

// One oscillator per lane of V over one record, from rest, with `substeps`
// steps per sample interval (the same number in every lane), read as
// `walk` reads it.  c[i] holds coefficient i of every lane (the ninth being
// 2 * damping; the tenth, the number of sub-steps, is read by the caller).
template <class V>
GM_INLINE Run<V> run(const V (&c)[N_RUN_COEFFICIENTS], uint64_t substeps, const Row& row) {
    const Recursion<V> rec(c);
    const V two_zeta = c[N_COEFFICIENTS];
    Run<V> r;
    walk<V>(row, substeps, [&](V e, V l) GM_LAMBDA_INLINE {
        rec.step(r.x, r.v, e, l);
        r.peak_x = simd::max(simd::abs(r.x), r.peak_x);
        r.peak_v = simd::max(simd::abs(r.v), r.peak_v);
        r.peak_a = simd::max(simd::abs(r.x + two_zeta * r.v), r.peak_a);
    });
    return r;
}

// Writes lane j of a run to out[0..2].
template <class V>
GM_INLINE void write_lane(const Run<V>& r, int j, double* out) {
    if (!is_finite_bits(simd::lane(r.x, j)) || !is_finite_bits(simd::lane(r.v, j))) {
        for (uint64_t i = 0; i < N_OSCILLATOR_PEAKS; ++i) out[i] = quiet_nan();
        return;
    }
    out[0] = simd::lane(r.peak_x, j);
    out[1] = simd::lane(r.peak_v, j);
    out[2] = simd::lane(r.peak_a, j);
}

}  // namespace

namespace {

// Peaks of every oscillator over the records row_at(0 .. ns - 1) into out
// (ns, n_osc, 3); a record without samples is left at zero.
template <class RowAt>
void peaks_into(RowAt&& row_at, uint64_t ns, const View2D& coefficients, double* out) {
    const uint64_t n_osc = coefficients.rows;
    auto row_of = [&](uint64_t s, uint64_t o) { return out + (s * n_osc + o) * N_OSCILLATOR_PEAKS; };

    // The numbers of sub-steps (0 for a value that is not a whole number in
    // [1, 2^32]), and the oscillators in increasing order of them (in their
    // own order where equal) so that the four lanes of a group share one.
    std::vector<uint64_t> substeps(n_osc);
    for (uint64_t o = 0; o < n_osc; ++o) substeps[o] = substeps_of(coefficients.at(o, SUBSTEPS_COLUMN));
    std::vector<uint64_t> order(n_osc);
    for (uint64_t o = 0; o < n_osc; ++o) order[o] = o;
    std::stable_sort(order.begin(), order.end(),
                     [&](uint64_t a, uint64_t b) { return substeps[a] < substeps[b]; });

    // Within each run of equal sub-steps in `order`: whole groups of four
    // oscillators on a vector target, then the rest one at a time.
    uint64_t begin = 0;
    while (begin < n_osc) {
        const uint64_t k = substeps[order[begin]];
        uint64_t end = begin;
        while (end < n_osc && substeps[order[end]] == k) ++end;
        if (k == 0) {
            for (uint64_t q = begin; q < end; ++q) {
                for (uint64_t s = 0; s < ns; ++s) {
                    if (row_at(s).len == 0) continue;
                    double* row = row_of(s, order[q]);
                    for (uint64_t i = 0; i < N_OSCILLATOR_PEAKS; ++i) row[i] = quiet_nan();
                }
            }
            begin = end;
            continue;
        }
        uint64_t q = simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
            using Tag = decltype(tag);
            uint64_t first = begin;
            if constexpr (simd::is_vector<Tag>) {
                using V = typename Tag::f64;
                static_assert(sizeof(V) == LANES * sizeof(double));
                for (; first + LANES <= end; first += LANES) {
                    double lanes[N_RUN_COEFFICIENTS * LANES];
                    for (uint64_t j = 0; j < LANES; ++j) {
                        for (uint64_t i = 0; i < N_RUN_COEFFICIENTS; ++i) {
                            lanes[i * LANES + j] = coefficients.at(order[first + j], i);
                        }
                    }
                    V c[N_RUN_COEFFICIENTS];
                    for (uint64_t i = 0; i < N_RUN_COEFFICIENTS; ++i) {
                        c[i] = simd::load<V>(lanes + i * LANES);
                    }
                    for (uint64_t s = 0; s < ns; ++s) {
                        const Row row = row_at(s);
                        if (row.len == 0) continue;
                        const Run<V> r = run<V>(c, k, row);
                        for (uint64_t j = 0; j < LANES; ++j) {
                            write_lane(r, static_cast<int>(j), row_of(s, order[first + j]));
                        }
                    }
                }
            }
            return first;
        });
        for (; q < end; ++q) {
            const uint64_t o = order[q];
            double c[N_RUN_COEFFICIENTS];
            for (uint64_t i = 0; i < N_RUN_COEFFICIENTS; ++i) c[i] = coefficients.at(o, i);
            for (uint64_t s = 0; s < ns; ++s) {
                const Row row = row_at(s);
                if (row.len > 0) write_lane(run<double>(c, k, row), 0, row_of(s, o));
            }
        }
        begin = end;
    }
}

void check_columns(const View2D& coefficients) {
    if (coefficients.cols != N_PEAK_COEFFICIENTS) {
        panic_not_equal("coefficients must have 10 columns", coefficients.cols,
                        N_PEAK_COEFFICIENTS);
    }
}

}  // namespace

OwnedArray oscillator_peaks(const View2D& waveforms, const View2D& coefficients) {
    check_columns(coefficients);
    const uint64_t ns = waveforms.rows;
    OwnedArray result(Dtype::F64, {ns, coefficients.rows, N_OSCILLATOR_PEAKS});
    if (waveforms.cols == 0 || ns == 0 || coefficients.rows == 0) return result;
    peaks_into([&](uint64_t s) { return waveforms.row(s); }, ns, coefficients, result.f64());
    return result;
}

OwnedArray oscillator_peaks_ragged(const RowList& records, const View2D& coefficients) {
    check_columns(coefficients);
    OwnedArray result(Dtype::F64, {records.size, coefficients.rows, N_OSCILLATOR_PEAKS});
    if (records.size == 0 || coefficients.rows == 0) return result;
    peaks_into([&](uint64_t s) { return records[s]; }, records.size, coefficients, result.f64());
    return result;
}

}  // namespace gm
