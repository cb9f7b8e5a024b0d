// The interval rule shared by the total and the running integrals, written
// once over the element type: a plain double or a vector of rows.
// Every lane performs exactly the operations of the one-row rule, so a row
// gives the same bits whichever path computed it.  Everything here is
// inlined into a dispatched caller and compiled for its instruction set.
#pragma once

#include <cmath>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <numeric>
#include <vector>
#include <type_traits>

#include "simd.hpp"
#include "trapz.hpp"

namespace gm::trapz_detail {

using simd::f64x2;
using simd::f64x4;

// Lanes of a vector of rows: four doubles on AVX2, two on the baseline
// (simd::native).
template <class V>
constexpr int LANES = static_cast<int>(simd::lanes_of<V>);

template <Integrand F, class V>
GM_INLINE V integrand(V a) {
    if constexpr (F == Integrand::Square) {
        return a * a;
    } else {
        return simd::abs(a);
    }
}

// Contribution of the interval [a0, a1], for one row (V = double) or four
// rows side by side (V = f64x4): split at the zero crossing when the
// samples have strictly opposite signs.  A NaN operand is ignored by the
// min and max, as IEEE minNum/maxNum do (a NaN a0 fails the compares and
// yields a1; a NaN a1 yields a0).
template <Integrand F, class V>
GM_INLINE V contribution(V a0, V a1, V dt) {
    const auto a1_nan = a1 != a1;
    const V lo = simd::select(a1_nan, a0, simd::min(a0, a1));
    const V hi = simd::select(a1_nan, a0, simd::max(a0, a1));
    const auto whole = (lo >= 0.0) | (hi <= 0.0);
    const V f0 = integrand<F>(a0);
    const V f1 = integrand<F>(a1);
    const V plain = (f0 + f1) * dt;
    if constexpr (sizeof(V) == sizeof(double)) {
        if (whole) return plain;  // one row: the split costs a division
    }
    const V t = -(a0 * (dt / (a1 - a0)));
    return simd::select(whole, plain, f0 * t + f1 * (dt - t));
}

// The same rule for callers that carry f(a0) over from the interval before,
// the split decided by the plain minimum and maximum: with a NaN sample both
// forms are NaN, so the choice changes nothing but which NaN.
template <Integrand F, class V>
GM_INLINE V contribution_carried(V a0, V a1, V f0, V f1, V dt) {
    const auto whole = (simd::min(a0, a1) >= 0.0) | (simd::max(a0, a1) <= 0.0);
    const V plain = (f0 + f1) * dt;
    if constexpr (sizeof(V) == sizeof(double)) {
        if (whole) return plain;
    }
    const V t = -(a0 * (dt / (a1 - a0)));
    return simd::select(whole, plain, f0 * t + f1 * (dt - t));
}

// A group of ROWS rows is integrated together, as ROWS / LANES vectors; a
// group of eight float64 fills a cache line when the rows of a column are
// adjacent (Fortran order).
constexpr int ROWS = 8;

template <class V>
struct Lanes {
    V v[ROWS / LANES<V>];
};

// Samples of ROWS rows, interleaved: tile[k] holds sample (start + k) of rows
// row0 .. row0 + ROWS - 1.
constexpr uint64_t CHUNK = 256;

template <class V>
GM_INLINE void load_tile(const View2D& w, uint64_t row0, uint64_t start, uint64_t count,
                         Lanes<V>* tile) {
    if (w.stride0 == static_cast<int64_t>(sizeof(double))) {
        // The rows of one column are adjacent (Fortran order).
        for (uint64_t k = 0; k < count; ++k) {
            const char* p = w.data + static_cast<int64_t>(row0) * w.stride0 +
                            static_cast<int64_t>(start + k) * w.stride1;
            std::memcpy(&tile[k], p, sizeof(Lanes<V>));
        }
        return;
    }
    double* out = reinterpret_cast<double*>(tile);
    for (int lane = 0; lane < ROWS; ++lane) {
        Row r = w.row(row0 + lane);
        if (r.contiguous()) {
            const char* p = r.data + static_cast<int64_t>(start * sizeof(double));
            for (uint64_t k = 0; k < count; ++k) {
                // memcpy: the caller's array need not be aligned.
                std::memcpy(&out[k * ROWS + lane], p + k * sizeof(double), sizeof(double));
            }
        } else {
            for (uint64_t k = 0; k < count; ++k) out[k * ROWS + lane] = r[start + k];
        }
    }
}

// Samples k .. k+3 of LANES contiguous rows r[0..], transposed: t[j] holds
// sample k + j of the rows.
template <class V>
GM_INLINE void transpose_samples(const double* const* r, uint64_t k, V (&t)[4]) {
    if constexpr (LANES<V> == 4) {
        const f64x4 in[4] = {simd::load<f64x4>(r[0] + k), simd::load<f64x4>(r[1] + k),
                             simd::load<f64x4>(r[2] + k), simd::load<f64x4>(r[3] + k)};
        simd::transpose4(in, t);
    } else {
        for (uint64_t h = 0; h < 4; h += 2) {
            const f64x2 a = simd::load<f64x2>(r[0] + k + h), b = simd::load<f64x2>(r[1] + k + h);
            t[h] = GM_SHUFFLE(a, b, 0, 2);
            t[h + 1] = GM_SHUFFLE(a, b, 1, 3);
        }
    }
}

// Hands the samples of ROWS rows starting at row0 to the caller in time
// order, transposed (ROWS rows side by side): first(sample 0), then
// next(k, sample k) for k = 1 .. cols - 1.  The samples come either straight
// from contiguous rows or through a small tile for any other layout.
template <class V, class First, class Next>
GM_INLINE void for_each_sample(const View2D& w, uint64_t row0, First&& first, Next&& next) {
    constexpr int L = LANES<V>;
    const uint64_t nt = w.cols;
    uint64_t start = 0;
    if (w.stride1 == static_cast<int64_t>(sizeof(double)) && nt >= 5) {
        const double* rows[ROWS];
        for (int lane = 0; lane < ROWS; ++lane) rows[lane] = w.row(row0 + lane).ptr();
        double samples[ROWS];
        for (int lane = 0; lane < ROWS; ++lane) {
            std::memcpy(&samples[lane], rows[lane], sizeof(double));
        }
        Lanes<V> head;
        std::memcpy(&head, samples, sizeof head);  // lane l is v[l / L][l % L]
        first(head);
        uint64_t k = 1;
        for (; k + 4 <= nt; k += 4) {
            Lanes<V> block[4];
            for (int g = 0; g < ROWS / L; ++g) {
                V t[4];
                transpose_samples<V>(rows + g * L, k, t);
                for (int j = 0; j < 4; ++j) block[j].v[g] = t[j];
            }
            for (int j = 0; j < 4; ++j) next(k + j, block[j]);
        }
        start = k;  // the rest goes through the tile
        if (start >= nt) return;
    }

    alignas(64) Lanes<V> tile[CHUNK];
    for (; start < nt; start += CHUNK) {
        uint64_t count = nt - start < CHUNK ? nt - start : CHUNK;
        load_tile<V>(w, row0, start, count, tile);
        uint64_t k = 0;
        if (start == 0) {
            first(tile[0]);
            k = 1;
        }
        for (; k < count; ++k) next(start + k, tile[k]);
    }
}

// Runs the rule over ROWS rows starting at row0.  `step(k, sums)` sees the
// running sums after sample k (k >= 1).  Returns the final sums.  With
// `Carried` the rule is `contribution_carried`: the same bits wherever no
// sample is NaN.
template <Integrand F, class V, bool Carried = false, class Step>
GM_INLINE Lanes<V> run_lanes(const View2D& w, uint64_t row0, double dt, Step&& step) {
    constexpr int L = LANES<V>;
    const V dtv = simd::splat<V>(dt);
    Lanes<V> sum{};
    Lanes<V> prev{};
    Lanes<V> f_prev{};
    for_each_sample<V>(
        w, row0,
        [&](const Lanes<V>& cur) GM_LAMBDA_INLINE {
            prev = cur;
            if constexpr (Carried) {
                for (int g = 0; g < ROWS / L; ++g) f_prev.v[g] = integrand<F>(cur.v[g]);
            }
        },
        [&](uint64_t k, const Lanes<V>& cur) GM_LAMBDA_INLINE {
            for (int g = 0; g < ROWS / L; ++g) {
                if constexpr (Carried) {
                    const V f = integrand<F>(cur.v[g]);
                    sum.v[g] = sum.v[g] +
                               contribution_carried<F>(prev.v[g], cur.v[g], f_prev.v[g], f, dtv);
                    f_prev.v[g] = f;
                } else {
                    sum.v[g] = sum.v[g] + contribution<F>(prev.v[g], cur.v[g], dtv);
                }
            }
            step(k, sum);
            prev = cur;
        });
    return sum;
}

// Rows adjacent in memory (Fortran order): sweeps the columns over rows
// row0 .. row0 + count - 1 (count a multiple of the lanes), SWEEP columns at a
// time, so that memory is read nearly in its own order while each vector
// of rows keeps its running sum, and its sweeper's state, in registers
// for SWEEP columns.  Each row still adds its intervals left to right.
// `sweeper.enter(v)` comes before the columns of rows row0 + v * L ..
// in a pass, `sweeper(k, sum)` after each sample k, `sweeper.leave(v, sum)`
// after the pass.

struct NoSweeper {
    void enter(uint64_t) {}
    template <class V>
    void operator()(uint64_t, V) {}
    template <class V>
    void leave(uint64_t, V) {}
};

constexpr uint64_t SWEEP = 16;

template <Integrand F, class V, class Sweeper>
GM_INLINE void sweep_columns(const View2D& w, uint64_t row0, uint64_t count, double dt,
                             double* sums, Sweeper&& sweeper) {
    constexpr int L = LANES<V>;
    const V dtv = simd::splat<V>(dt);
    const char* base = w.data + static_cast<int64_t>(row0) * w.stride0;
    auto column = [&](uint64_t k) { return base + static_cast<int64_t>(k) * w.stride1; };
    for (uint64_t k0 = 1; k0 < w.cols; k0 += SWEEP) {
        const uint64_t k1 = w.cols - k0 < SWEEP ? w.cols : k0 + SWEEP;
        // A local copy, whose address never escapes, can live in registers.
        std::remove_cvref_t<Sweeper> state = sweeper;
        for (uint64_t v = 0; v < count / L; ++v) {
            const uint64_t at = v * L * sizeof(double);
            V s = simd::load<V>(sums + v * L);
            V prev = simd::load<V>(column(k0 - 1) + at);
            state.enter(v);
            for (uint64_t k = k0; k < k1; ++k) {
                const V cur = simd::load<V>(column(k) + at);
                s = s + contribution<F>(prev, cur, dtv);
                state(k, s);
                prev = cur;
            }
            state.leave(v, s);
            simd::store(sums + v * L, s);
        }
        sweeper = state;
    }
}

// Ragged batches.  The caller takes records in order of length, ROWS at a
// time, so that a group's lengths are close; a group runs side by side over its
// longest record, and a lane whose record has ended adds +0.0, which leaves
// its sum (never -0.0: every contribution is >= +0 or NaN) exactly as it
// was.  Each record's sum is therefore the one of a one-record call.
// Record indices in order of length (ties in their own order), and the
// steps of a (1, n) view, one per record.
inline std::vector<uint64_t> by_length(const RowList& records) {
    std::vector<uint64_t> order(records.size);
    std::iota(order.begin(), order.end(), uint64_t{0});
    std::stable_sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) {
        return records[a].len < records[b].len;
    });
    return order;
}

inline std::vector<double> steps_of(const View2D& dts, const RowList& records) {
    if (dts.rows != 1) panic_not_equal("dt rows", dts.rows, 1);
    if (dts.cols != records.size) panic_not_equal("dt values", dts.cols, records.size);
    std::vector<double> steps(records.size);
    for (uint64_t i = 0; i < records.size; ++i) steps[i] = dts.at(0, i);
    return steps;
}

template <Integrand F, class V, class Step>
GM_INLINE Lanes<V> run_ragged(const Row* const* rows, const double* dts, Step&& step) {
    constexpr int L = LANES<V>;
    uint64_t shortest = rows[0]->len, longest = 0;
    bool contiguous = true;
    Lanes<V> sum{}, prev{}, dtv{}, lengths{};
    for (int lane = 0; lane < ROWS; ++lane) {
        const Row& r = *rows[lane];
        shortest = std::min(shortest, r.len);
        longest = std::max(longest, r.len);
        contiguous = contiguous && r.contiguous();
        dtv.v[lane / L][lane % L] = dts[lane];
        lengths.v[lane / L][lane % L] = static_cast<double>(r.len);
        prev.v[lane / L][lane % L] = r.len > 0 ? r[0] : 0.0;
    }
    auto advance = [&](uint64_t k, const Lanes<V>& cur) {
        for (int g = 0; g < ROWS / L; ++g) {
            sum.v[g] = sum.v[g] + contribution<F>(prev.v[g], cur.v[g], dtv.v[g]);
        }
        step(k, sum);
        prev = cur;
    };
    // Where every record still has samples: as a uniform group.
    uint64_t start = 1;
    if (contiguous) {
        const double* ptrs[ROWS];
        for (int lane = 0; lane < ROWS; ++lane) ptrs[lane] = rows[lane]->ptr();
        for (; start + 4 <= shortest; start += 4) {
            Lanes<V> block[4];
            for (int g = 0; g < ROWS / L; ++g) {
                V t[4];
                transpose_samples<V>(ptrs + g * L, start, t);
                for (int j = 0; j < 4; ++j) block[j].v[g] = t[j];
            }
            for (int j = 0; j < 4; ++j) advance(start + j, block[j]);
        }
    }
    // The rest through a tile, the samples past a record's end masked.
    alignas(64) Lanes<V> tile[CHUNK];
    for (; start < longest; start += CHUNK) {
        const uint64_t count = std::min<uint64_t>(CHUNK, longest - start);
        double* flat = reinterpret_cast<double*>(tile);
        for (int lane = 0; lane < ROWS; ++lane) {
            const Row& r = *rows[lane];
            const uint64_t have = r.len > start ? std::min(count, r.len - start) : 0;
            for (uint64_t k = 0; k < have; ++k) flat[k * ROWS + lane] = r[start + k];
            for (uint64_t k = have; k < count; ++k) flat[k * ROWS + lane] = 0.0;
        }
        for (uint64_t k = 0; k < count; ++k) {
            const V at = simd::splat<V>(static_cast<double>(start + k));
            for (int g = 0; g < ROWS / L; ++g) {
                const auto live = at < lengths.v[g];
                const V c = contribution<F>(prev.v[g], tile[k].v[g], dtv.v[g]);
                sum.v[g] = sum.v[g] + simd::select(live, c, simd::splat<V>(0.0));
                prev.v[g] = tile[k].v[g];
            }
            step(start + k, sum);
        }
    }
    return sum;
}

template <Integrand F, class Step>
GM_INLINE double run_row(const Row& row, double dt, Step&& step) {
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
