#include "peak_motions.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "rotd.hpp"
#include "rotd_percentiles.hpp"
#include "row_states.hpp"

namespace gm {

namespace {

struct Step {
    double dt;
};

// The running integrals of one row (V = double) or of rows side by side.
template <class V>
struct Integrals {
    V dt{};
    V prev{}, v{}, d{};

    Integrals() = default;
    explicit Integrals(const Step& s) : dt(simd::splat<V>(s.dt)) {}
    GM_INLINE void first(V a) { prev = a; }
    GM_INLINE void next(V a) {
        const V v_next = v + (dt * (prev + a)) * 0.5;
        d = d + (dt * (v + v_next)) * 0.5;
        v = v_next;
        prev = a;
    }
};

template <class V>
struct Peaks3 {
    static constexpr int OUT = 3;
    Integrals<V> in;
    V pa{}, pv{}, pd{};

    explicit Peaks3(const Step& s) : in(s) {}
    GM_INLINE void first(V a) {
        in.first(a);
        pa = simd::abs(a);
    }
    GM_INLINE void next(uint64_t, V a) {
        in.next(a);
        pa = simd::max(simd::abs(a), pa);
        pv = simd::max(simd::abs(in.v), pv);
        pd = simd::max(simd::abs(in.d), pd);
    }
    GM_INLINE std::array<V, OUT> finish() {
        const V bad = (in.v - in.v) + (in.d - in.d);
        return {nan_where(bad, pa), nan_where(bad, pv), nan_where(bad, pd)};
    }
};

}  // namespace

OwnedArray peak_motions(const View2D& waveforms, double dt) {
    OwnedArray result(Dtype::F64, {waveforms.rows, 3});
    run_row_states<Peaks3>(waveforms, Step{dt}, result.f64());
    return result;
}

namespace {

// Runs of RUN samples carry a bounding box; SUPER consecutive runs make a
// super box.
constexpr uint64_t RUN = 64;
constexpr uint64_t SUPER = 16;

struct Box {
    double x0, x1, y0, y1;
};

// An upper bound of |c x + s y| over a box, lane by lane, as the peaks round
// it.  Rounding is monotone, so at a sample inside the box neither product
// exceeds the larger of its values at the box's two edges, nor falls below
// the smaller, and neither does their rounded sum: the bound holds for the
// rounded value itself, with no margin.
template <class V>
GM_INLINE V box_bound(const Box& b, V c, V s) {
    const V cx0 = c * b.x0, cx1 = c * b.x1, sy0 = s * b.y0, sy1 = s * b.y1;
    const V hi = simd::max(cx0, cx1) + simd::max(sy0, sy1);
    const V lo = simd::min(cx0, cx1) + simd::min(sy0, sy1);
    return simd::max(hi, -lo);
}

// The 180 directional peaks of the finite trajectory (xy[2i], xy[2i + 1]): for every
// whole degree, the largest |cos x + sin y| over all the samples, the value
// a sweep over every sample finds, bit for bit.  The directions go a vector
// of lanes at a time, and only the runs whose box could hold a larger value
// than the peaks found so far are read; a smooth trajectory has few such
// runs.  Each group of directions first reads the run that last raised the
// group before, which sits near its extremes.
template <class V>
GM_INLINE void pruned_peaks(const double* xy, uint64_t n, const Box* runs,
                            uint64_t n_runs, const Box* supers, double* out) {
    constexpr int L = static_cast<int>(simd::lanes_of<V>);
    static_assert(180 % L == 0);
    const AngleTable& t = angle_table();
    const uint64_t n_supers = (n_runs + SUPER - 1) / SUPER;
    uint64_t seed = 0;
    for (int k0 = 0; k0 < 180; k0 += L) {
        const V c = simd::load<V>(t.cos + k0), s = simd::load<V>(t.sin + k0);
        V best = simd::splat<V>(0.0);
        uint64_t last = seed;
        // Four running maxima: the maximum of a set is the same whichever
        // way it is grouped.
        auto read = [&](uint64_t r) GM_LAMBDA_INLINE {
            const uint64_t i0 = r * RUN, stop = n - i0 < RUN ? n : i0 + RUN;
            V m0 = best, m1 = best, m2 = best, m3 = best;
            uint64_t i = i0;
            for (; i + 4 <= stop; i += 4) {
                m0 = simd::max(simd::abs(c * xy[2 * (i)] + s * xy[2 * (i) + 1]), m0);
                m1 = simd::max(simd::abs(c * xy[2 * (i + 1)] + s * xy[2 * (i + 1) + 1]), m1);
                m2 = simd::max(simd::abs(c * xy[2 * (i + 2)] + s * xy[2 * (i + 2) + 1]), m2);
                m3 = simd::max(simd::abs(c * xy[2 * (i + 3)] + s * xy[2 * (i + 3) + 1]), m3);
            }
            for (; i < stop; ++i) m0 = simd::max(simd::abs(c * xy[2 * (i)] + s * xy[2 * (i) + 1]), m0);
            const V m = simd::max(simd::max(m0, m1), simd::max(m2, m3));
            if (simd::any(m > best)) last = r;
            best = m;
        };
        read(seed);
        auto visit = [&](uint64_t j) GM_LAMBDA_INLINE {
            if (!simd::any(box_bound(supers[j], c, s) > best)) return;
            const uint64_t r1 = (j + 1) * SUPER < n_runs ? (j + 1) * SUPER : n_runs;
            for (uint64_t r = j * SUPER; r < r1; ++r) {
                if (r != seed && simd::any(box_bound(runs[r], c, s) > best)) read(r);
            }
        };
        // The super box of the seed first: the peaks found there leave fewer
        // runs elsewhere to read.
        const uint64_t home = seed / SUPER;
        visit(home);
        for (uint64_t j = 0; j < n_supers; ++j) {
            if (j != home) visit(j);
        }
        seed = last;
        simd::store(out + k0, best);
    }
}

// The directional peaks of the trajectory, its runs' boxes given; fills the
// super boxes.
Peaks trajectory_peaks(const double* xy, uint64_t n, const Box* runs, uint64_t n_runs,
                       std::vector<Box>& supers) {
    supers.resize((n_runs + SUPER - 1) / SUPER);
    for (uint64_t j = 0; j < supers.size(); ++j) {
        Box b = runs[j * SUPER];
        for (uint64_t r = j * SUPER + 1; r < n_runs && r < (j + 1) * SUPER; ++r) {
            b.x0 = runs[r].x0 < b.x0 ? runs[r].x0 : b.x0;
            b.x1 = runs[r].x1 > b.x1 ? runs[r].x1 : b.x1;
            b.y0 = runs[r].y0 < b.y0 ? runs[r].y0 : b.y0;
            b.y1 = runs[r].y1 > b.y1 ? runs[r].y1 : b.y1;
        }
        supers[j] = b;
    }
    Peaks peaks;
    simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
        pruned_peaks<simd::native<decltype(tag)>>(xy, n, runs, n_runs, supers.data(),
                                                  peaks.data());
    });
    return peaks;
}

// The velocity and displacement of N pairs, each (x, y) interleaved, and the
// boxes of their runs; finite[i] tells whether every value of pair i is
// finite.  On a vector target a pair's two components go side by side, and
// two pairs of a batch run in one loop: one four-lane vector, or two
// two-lane ones (two independent chains of additions); on the scalar target
// (P = double) the components go one after the other.  The same operations on each component either way.  The
// boxes come along: the integration waits on its additions, and the
// comparisons fill the gaps.
template <class P, int N>
GM_INLINE void integrate_pairs(const Row* x, const Row* y, double dt, double* const* v,
                               double* const* d, Box* const* box_v, Box* const* box_d,
                               bool* finite) {
    const uint64_t nt = x[0].len, runs = (nt + RUN - 1) / RUN;
    if constexpr (simd::lanes_of<P> >= 2) {
        // K pairs to a vector, (x, y) of one pair then of the next; M vectors.
        constexpr int W = static_cast<int>(simd::lanes_of<P>), K = W / 2, M = N / K;
        static_assert(M * K == N);
        // The rows' addresses and strides in registers: the stores below
        // could otherwise alias them.  Lane j of vector m reads comp[m W + j].
        const char* comp[2 * N];
        int64_t stride[2 * N];
        for (int i = 0; i < N; ++i) {
            comp[2 * i] = x[i].data;
            comp[2 * i + 1] = y[i].data;
            stride[2 * i] = x[i].stride;
            stride[2 * i + 1] = y[i].stride;
        }
        auto sample = [&](int m, uint64_t k) GM_LAMBDA_INLINE {
            double a[W];
            for (int j = 0; j < W; ++j) {
                std::memcpy(&a[j], comp[m * W + j] + static_cast<int64_t>(k) * stride[m * W + j],
                            sizeof(double));
            }
            return simd::load<P>(a);
        };
        // Pair m K + i is lanes 2i and 2i + 1 of vector m.
        auto store = [](double* const* to, int m, uint64_t k, P a) GM_LAMBDA_INLINE {
            for (int i = 0; i < K; ++i) {
                simd::store(to[m * K + i] + 2 * k, simd::f64x2{a[2 * i], a[2 * i + 1]});
            }
        };
        Integrals<P> in[M];
        for (int m = 0; m < M; ++m) {
            in[m] = Integrals<P>(Step{dt});
            in[m].first(sample(m, 0));
        }
        for (uint64_t run = 0; run < runs; ++run) {
            const uint64_t stop = nt - run * RUN < RUN ? nt : run * RUN + RUN;
            P v0[M], v1[M], d0[M], d1[M];
            for (int m = 0; m < M; ++m) {
                v0[m] = d0[m] = simd::splat<P>(INFINITY);
                v1[m] = d1[m] = simd::splat<P>(-INFINITY);
            }
            for (uint64_t k = run * RUN; k < stop; ++k) {
                for (int m = 0; m < M; ++m) {
                    if (k > 0) in[m].next(sample(m, k));
                    store(v, m, k, in[m].v);
                    store(d, m, k, in[m].d);
                    v0[m] = simd::min(in[m].v, v0[m]);
                    v1[m] = simd::max(in[m].v, v1[m]);
                    d0[m] = simd::min(in[m].d, d0[m]);
                    d1[m] = simd::max(in[m].d, d1[m]);
                }
            }
            for (int m = 0; m < M; ++m) {
                for (int i = 0; i < K; ++i) {
                    const int a = 2 * i, b = 2 * i + 1;
                    box_v[m * K + i][run] = {v0[m][a], v1[m][a], v0[m][b], v1[m][b]};
                    box_d[m * K + i][run] = {d0[m][a], d1[m][a], d0[m][b], d1[m][b]};
                }
            }
        }
        for (int m = 0; m < M; ++m) {
            const P bad = (in[m].v - in[m].v) + (in[m].d - in[m].d);
            for (int i = 0; i < K; ++i) {
                finite[m * K + i] = bad[2 * i] == bad[2 * i] && bad[2 * i + 1] == bad[2 * i + 1];
            }
        }
    } else {
        static_assert(N == 1);
        Integrals<double> ix(Step{dt}), iy(Step{dt});
        ix.first(x[0][0]);
        iy.first(y[0][0]);
        for (uint64_t run = 0; run < runs; ++run) {
            const uint64_t stop = nt - run * RUN < RUN ? nt : run * RUN + RUN;
            Box bv{INFINITY, -INFINITY, INFINITY, -INFINITY}, bd = bv;
            for (uint64_t k = run * RUN; k < stop; ++k) {
                if (k > 0) {
                    ix.next(x[0][k]);
                    iy.next(y[0][k]);
                }
                const double a = ix.v, b = iy.v, c = ix.d, e = iy.d;
                v[0][2 * k] = a;
                v[0][2 * k + 1] = b;
                d[0][2 * k] = c;
                d[0][2 * k + 1] = e;
                bv.x0 = a < bv.x0 ? a : bv.x0;
                bv.x1 = a > bv.x1 ? a : bv.x1;
                bv.y0 = b < bv.y0 ? b : bv.y0;
                bv.y1 = b > bv.y1 ? b : bv.y1;
                bd.x0 = c < bd.x0 ? c : bd.x0;
                bd.x1 = c > bd.x1 ? c : bd.x1;
                bd.y0 = e < bd.y0 ? e : bd.y0;
                bd.y1 = e > bd.y1 ? e : bd.y1;
            }
            box_v[0][run] = bv;
            box_d[0][run] = bd;
        }
        const double bad = (ix.v - ix.v) + (ix.d - ix.d) + (iy.v - iy.v) + (iy.d - iy.d);
        finite[0] = bad == bad;
    }
}

}  // namespace

OwnedArray rotd_motions(const View2D& comp_0, const View2D& comp_90, double dt,
                        const View2D& percentiles) {
    if (comp_0.rows != comp_90.rows || comp_0.cols != comp_90.cols) {
        panic("components must have matching shapes");
    }
    if (percentiles.rows != 1) panic_not_equal("percentiles must be one row", percentiles.rows, 1);
    const uint64_t ns = comp_0.rows, nt = comp_0.cols, n_p = percentiles.cols;
    std::vector<double> ps(n_p);
    for (uint64_t j = 0; j < n_p; ++j) {
        ps[j] = percentiles.at(0, j);
        if (!(ps[j] >= 0.0 && ps[j] <= 100.0)) {
            panic("percentiles must lie in [0, 100]; got " + std::to_string(ps[j]));
        }
    }
    OwnedArray result(Dtype::F64, {ns, 2, n_p});
    if (ns == 0) return result;
    if (nt == 0) panic("ndarray: index out of bounds");
    double* out = result.f64();
    // Velocity and displacement of both components, (x, y) interleaved, for
    // two pairs at a time.
    std::vector<double> work(8 * nt);
    double* v[2] = {work.data(), work.data() + 2 * nt};
    double* d[2] = {work.data() + 4 * nt, work.data() + 6 * nt};
    const uint64_t runs = (nt + RUN - 1) / RUN;
    std::vector<Box> boxes(4 * runs), supers;
    Box* box_v[2] = {boxes.data(), boxes.data() + runs};
    Box* box_d[2] = {boxes.data() + 2 * runs, boxes.data() + 3 * runs};
    auto finish = [&](uint64_t r, int slot, bool finite) {
        double* row_out = out + r * 2 * n_p;
        if (!finite) {
            for (uint64_t j = 0; j < 2 * n_p; ++j) row_out[j] = quiet_nan();
            return;
        }
        for (int q = 0; q < 2; ++q) {
            const SortedPeaks sorted(trajectory_peaks(q == 0 ? v[slot] : d[slot], nt,
                                                      q == 0 ? box_v[slot] : box_d[slot], runs,
                                                      supers));
            for (uint64_t j = 0; j < n_p; ++j) row_out[q * n_p + j] = sorted.at(ps[j]);
        }
    };
    simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
        using P = std::conditional_t<simd::is_vector<decltype(tag)>, simd::f64x2, double>;
        uint64_t r = 0;
        if constexpr (simd::is_vector<decltype(tag)>) {
            for (; r + 2 <= ns; r += 2) {
                const Row x[2] = {comp_0.row(r), comp_0.row(r + 1)};
                const Row y[2] = {comp_90.row(r), comp_90.row(r + 1)};
                bool finite[2];
                integrate_pairs<simd::native<decltype(tag)>, 2>(x, y, dt, v, d, box_v, box_d,
                                                                finite);
                finish(r, 0, finite[0]);
                finish(r + 1, 1, finite[1]);
            }
        }
        for (; r < ns; ++r) {
            const Row x[1] = {comp_0.row(r)}, y[1] = {comp_90.row(r)};
            bool finite[1];
            integrate_pairs<P, 1>(x, y, dt, v, d, box_v, box_d, finite);
            finish(r, 0, finite[0]);
        }
    });
    return result;
}

}  // namespace gm
