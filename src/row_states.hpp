// One pass along every row of a batch for measures that keep a small state
// per record: the state sees sample 0, then each later sample in time order,
// and gives OUT numbers at the end.  A state is written once as a template
// over the lane type (double, or a vector of rows side by side); groups of
// ROWS rows run together on a vector target, the rest and every row on the
// scalar target one at a time, and every lane performs the one-row
// arithmetic, so a row gives the same bits on every path.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

#include "simd.hpp"
#include "trapz_impl.hpp"
#include "views.hpp"

namespace gm {

// G states made from the same parameters.
template <class S, size_t G, class Params>
GM_INLINE std::array<S, G> fill(const Params& params) {
    return [&]<size_t... I>(std::index_sequence<I...>) {
        return std::array<S, G>{((void)I, S(params))...};
    }(std::make_index_sequence<G>{});
}

// State<V> provides
//   static constexpr int OUT;                 numbers per row
//   explicit State(const Params&);            before any sample
//   void first(V a);                          sample 0
//   void next(uint64_t k, V a);               sample k >= 1
//   std::array<V, OUT> finish();              after the last sample (also
//                                             when the row has none)
// run_row_states writes out[row * OUT + j].
template <template <class> class State, class Params>
void run_row_states(const View2D& w, const Params& params, double* out) {
    using namespace trapz_detail;
    constexpr int OUT = State<double>::OUT;
    const uint64_t ns = w.rows;
    const uint64_t done = simd::dispatch([&](auto tag) GM_LAMBDA_INLINE -> uint64_t {
        uint64_t rows_done = 0;
        if constexpr (simd::is_vector<decltype(tag)>) {
            using V = simd::native<decltype(tag)>;
            constexpr int L = LANES<V>;
            constexpr int G = ROWS / L;
            if (w.cols >= 1) {
                for (; rows_done + ROWS <= ns; rows_done += ROWS) {
                    auto states = fill<State<V>, G>(params);
                    for_each_sample<V>(
                        w, rows_done,
                        [&](const Lanes<V>& cur) GM_LAMBDA_INLINE {
                            for (int g = 0; g < G; ++g) states[g].first(cur.v[g]);
                        },
                        [&](uint64_t k, const Lanes<V>& cur) GM_LAMBDA_INLINE {
                            for (int g = 0; g < G; ++g) states[g].next(k, cur.v[g]);
                        });
                    for (int g = 0; g < G; ++g) {
                        const std::array<V, OUT> r = states[g].finish();
                        for (int lane = 0; lane < L; ++lane) {
                            for (int j = 0; j < OUT; ++j) {
                                out[(rows_done + g * L + lane) * OUT + j] = r[j][lane];
                            }
                        }
                    }
                }
            }
        }
        return rows_done;
    });
    for (uint64_t r = done; r < ns; ++r) {
        const Row row = w.row(r);
        State<double> state(params);
        if (row.len > 0) {
            state.first(row[0]);
            for (uint64_t k = 1; k < row.len; ++k) state.next(k, row[k]);
        }
        const std::array<double, OUT> res = state.finish();
        for (int j = 0; j < OUT; ++j) out[r * OUT + j] = res[j];
    }
}

// NaN where `bad` is NaN, else v: a record with a non-finite sample.
template <class V>
GM_INLINE V nan_where(V bad, V v) {
    return simd::select(bad != bad, simd::splat<V>(quiet_nan()), v);
}

}  // namespace gm
