#include "peak_motions.hpp"

#include <algorithm>
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
// finite.  On a vector target a pair's two components go side by side
// (f64x2), and two pairs of a batch run in one loop, two independent chains
// of additions; on the scalar target (P = double) the components go one
// after the other.  The same operations on each component either way.  The
// boxes come along: the integration waits on its additions, and the
// comparisons fill the gaps.
template <class P, int N>
GM_INLINE void integrate_pairs(const Row* x, const Row* y, double dt, double* const* v,
                               double* const* d, Box* const* box_v, Box* const* box_d,
                               bool* finite) {
    const uint64_t nt = x[0].len, runs = (nt + RUN - 1) / RUN;
    if constexpr (simd::lanes_of<P> == 4) {
        // Two pairs in one vector, (x, y) of the first then of the second.
        static_assert(N == 2);
        const char* const p0 = x[0].data;
        const char* const p1 = y[0].data;
        const char* const p2 = x[1].data;
        const char* const p3 = y[1].data;
        const int64_t s0 = x[0].stride, s1 = y[0].stride, s2 = x[1].stride, s3 = y[1].stride;
        auto at = [](const char* p, int64_t stride, uint64_t k) GM_LAMBDA_INLINE {
            double a;
            std::memcpy(&a, p + static_cast<int64_t>(k) * stride, sizeof a);
            return a;
        };
        auto sample = [&](uint64_t k) GM_LAMBDA_INLINE {
            return P{at(p0, s0, k), at(p1, s1, k), at(p2, s2, k), at(p3, s3, k)};
        };
        auto store = [](double* lo, double* hi, P a) GM_LAMBDA_INLINE {
            simd::store(lo, simd::f64x2{a[0], a[1]});
            simd::store(hi, simd::f64x2{a[2], a[3]});
        };
        Integrals<P> in(Step{dt});
        in.first(sample(0));
        for (uint64_t run = 0; run < runs; ++run) {
            const uint64_t stop = nt - run * RUN < RUN ? nt : run * RUN + RUN;
            P v0 = simd::splat<P>(INFINITY), v1 = -v0, d0 = v0, d1 = v1;
            for (uint64_t k = run * RUN; k < stop; ++k) {
                if (k > 0) in.next(sample(k));
                store(v[0] + 2 * k, v[1] + 2 * k, in.v);
                store(d[0] + 2 * k, d[1] + 2 * k, in.d);
                v0 = simd::min(in.v, v0);
                v1 = simd::max(in.v, v1);
                d0 = simd::min(in.d, d0);
                d1 = simd::max(in.d, d1);
            }
            for (int i = 0; i < 2; ++i) {
                box_v[i][run] = {v0[2 * i], v1[2 * i], v0[2 * i + 1], v1[2 * i + 1]};
                box_d[i][run] = {d0[2 * i], d1[2 * i], d0[2 * i + 1], d1[2 * i + 1]};
            }
        }
        const P bad = (in.v - in.v) + (in.d - in.d);
        for (int i = 0; i < 2; ++i) finite[i] = bad[2 * i] == bad[2 * i] && bad[2 * i + 1] == bad[2 * i + 1];
    } else if constexpr (simd::lanes_of<P> == 2) {
        // The rows' addresses and strides in registers: the stores below
        // could otherwise alias them.
        const char* px[N];
        const char* py[N];
        int64_t sx[N], sy[N];
        for (int i = 0; i < N; ++i) {
            px[i] = x[i].data;
            py[i] = y[i].data;
            sx[i] = x[i].stride;
            sy[i] = y[i].stride;
        }
        auto sample = [&](int i, uint64_t k) GM_LAMBDA_INLINE {
            double a, b;
            std::memcpy(&a, px[i] + static_cast<int64_t>(k) * sx[i], sizeof a);
            std::memcpy(&b, py[i] + static_cast<int64_t>(k) * sy[i], sizeof b);
            return P{a, b};
        };
        Integrals<P> in[N];
        for (int i = 0; i < N; ++i) {
            in[i] = Integrals<P>(Step{dt});
            in[i].first(sample(i, 0));
        }
        for (uint64_t run = 0; run < runs; ++run) {
            const uint64_t stop = nt - run * RUN < RUN ? nt : run * RUN + RUN;
            P v0[N], v1[N], d0[N], d1[N];
            for (int i = 0; i < N; ++i) {
                v0[i] = d0[i] = simd::splat<P>(INFINITY);
                v1[i] = d1[i] = simd::splat<P>(-INFINITY);
            }
            for (uint64_t k = run * RUN; k < stop; ++k) {
                for (int i = 0; i < N; ++i) {
                    if (k > 0) in[i].next(sample(i, k));
                    simd::store(v[i] + 2 * k, in[i].v);
                    simd::store(d[i] + 2 * k, in[i].d);
                    v0[i] = simd::min(in[i].v, v0[i]);
                    v1[i] = simd::max(in[i].v, v1[i]);
                    d0[i] = simd::min(in[i].d, d0[i]);
                    d1[i] = simd::max(in[i].d, d1[i]);
                }
            }
            for (int i = 0; i < N; ++i) {
                box_v[i][run] = {v0[i][0], v1[i][0], v0[i][1], v1[i][1]};
                box_d[i][run] = {d0[i][0], d1[i][0], d0[i][1], d1[i][1]};
            }
        }
        for (int i = 0; i < N; ++i) {
            const P bad = (in[i].v - in[i].v) + (in[i].d - in[i].d);
            finite[i] = bad[0] == bad[0] && bad[1] == bad[1];
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
