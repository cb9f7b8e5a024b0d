// Displacement, velocity and total-acceleration peaks of single-component
// oscillators.
//
// As in psa.cpp, four oscillators run side by side, one per lane of a vector
// of four doubles, on the step of oscillator.hpp.  A group that the
// oscillators do not fill repeats its last oscillator in the free lanes,
// whose results are dropped.  On AVX2 several groups advance together over
// each record (`GROUPS_IN_FLIGHT`): one group's step is a chain of a product
// and three sums that the next step waits for, and the other groups' steps
// fill that wait.  On the scalar target every oscillator runs alone through
// the same template with V = double.  A lane's results are those of the
// oscillator run alone.
#include "spectra.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>
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
// Groups of four oscillators advanced together over a record.  The
// baseline's registers (sixteen of two doubles on SSE2) hold one group's
// state and little more.
template <class Tag>
constexpr uint64_t GROUPS_IN_FLIGHT = Tag::target == simd::Target::Avx2 ? 4 : 1;

// The end of one run: the final state and the three peaks, per lane of V.
template <class V>
struct Run {
    V x{}, v{};
    V peak_x{}, peak_v{}, peak_a{};
};

// G groups of oscillators, one oscillator per lane of V, over one record,
// from rest, with `substeps` steps per sample interval (the same number in
// every lane), read as `walk` reads it.  c[g][i] holds coefficient i of every
// lane of group g (the ninth being 2 * damping; the tenth, the number of
// sub-steps, is read by the caller).  Each group's arithmetic is that of the
// group run alone.
template <class V, uint64_t G>
GM_INLINE void run(const V (&c)[G][N_RUN_COEFFICIENTS], uint64_t substeps, const Row& row,
                   Run<V> (&r)[G]) {
    for (uint64_t g = 0; g < G; ++g) r[g] = Run<V>{};
    walk<V>(row, substeps, [&](V e, V l) GM_LAMBDA_INLINE {
        for (uint64_t g = 0; g < G; ++g) {
            const Recursion<V> rec(c[g]);
            const V two_zeta = c[g][N_COEFFICIENTS];
            rec.step(r[g].x, r[g].v, e, l);
            r[g].peak_x = simd::max(simd::abs(r[g].x), r[g].peak_x);
            r[g].peak_v = simd::max(simd::abs(r[g].v), r[g].peak_v);
            r[g].peak_a = simd::max(simd::abs(r[g].x + two_zeta * r[g].v), r[g].peak_a);
        }
    });
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

    // Within each run of equal sub-steps in `order`: groups of four
    // oscillators on a vector target, one at a time on the scalar target.
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
            if constexpr (simd::is_vector<Tag>) {
                using V = typename Tag::f64;
                static_assert(sizeof(V) == LANES * sizeof(double));
                constexpr uint64_t IN_FLIGHT = GROUPS_IN_FLIGHT<Tag>;
                // Groups of LANES oscillators of order[begin, end), the last
                // one filled up with its last oscillator.
                const uint64_t n_groups = (end - begin + LANES - 1) / LANES;
                // Coefficient i of lane j of group g at [(g * N + i) * LANES + j].
                std::vector<double> table(n_groups * N_RUN_COEFFICIENTS * LANES);
                for (uint64_t g = 0; g < n_groups; ++g) {
                    for (uint64_t j = 0; j < LANES; ++j) {
                        const uint64_t o = order[std::min(begin + g * LANES + j, end - 1)];
                        for (uint64_t i = 0; i < N_RUN_COEFFICIENTS; ++i) {
                            table[(g * N_RUN_COEFFICIENTS + i) * LANES + j] = coefficients.at(o, i);
                        }
                    }
                }
                // Groups first .. first + G - 1 over record s.
                auto pass = [&](uint64_t s, uint64_t first, auto in_flight) GM_LAMBDA_INLINE {
                    constexpr uint64_t G = decltype(in_flight)::value;
                    V c[G][N_RUN_COEFFICIENTS];
                    for (uint64_t g = 0; g < G; ++g) {
                        for (uint64_t i = 0; i < N_RUN_COEFFICIENTS; ++i) {
                            c[g][i] = simd::load<V>(&table[((first + g) * N_RUN_COEFFICIENTS + i) * LANES]);
                        }
                    }
                    Run<V> r[G];
                    run<V, G>(c, k, row_at(s), r);
                    for (uint64_t g = 0; g < G; ++g) {
                        const uint64_t lo = begin + (first + g) * LANES;
                        for (uint64_t j = 0; j < LANES && lo + j < end; ++j) {
                            write_lane(r[g], static_cast<int>(j), row_of(s, order[lo + j]));
                        }
                    }
                };
                // Record by record, so that a record is read from the cache
                // by every pass after the first.
                for (uint64_t s = 0; s < ns; ++s) {
                    if (row_at(s).len == 0) continue;
                    uint64_t first = 0;
                    for (; first + IN_FLIGHT <= n_groups; first += IN_FLIGHT) {
                        pass(s, first, std::integral_constant<uint64_t, IN_FLIGHT>{});
                    }
                    // The groups left over, as many as there are.
                    [&]<uint64_t... M>(std::integer_sequence<uint64_t, M...>) GM_LAMBDA_INLINE {
                        ((n_groups - first == M + 1
                              ? pass(s, first, std::integral_constant<uint64_t, M + 1>{})
                              : void()),
                         ...);
                    }(std::make_integer_sequence<uint64_t, IN_FLIGHT - 1>{});
                }
                return end;
            }
            return begin;
        });
        for (; q < end; ++q) {
            const uint64_t o = order[q];
            double c[1][N_RUN_COEFFICIENTS];
            for (uint64_t i = 0; i < N_RUN_COEFFICIENTS; ++i) c[0][i] = coefficients.at(o, i);
            for (uint64_t s = 0; s < ns; ++s) {
                const Row row = row_at(s);
                if (row.len == 0) continue;
                Run<double> r[1];
                run<double, 1>(c, k, row, r);
                write_lane(r[0], 0, row_of(s, o));
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
