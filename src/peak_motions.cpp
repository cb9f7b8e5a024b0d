#include "peak_motions.hpp"

#include <array>
#include <cmath>
#include <string>
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
    V dt;
    V prev{}, v{}, d{};

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

// Runs of this many samples are screened together.
constexpr uint64_t RUN = 64;

// The samples of the trajectory (x[i], y[i]) that may give a directional
// peak, copied to (cx, cy); returns their number.  A directional peak is the
// largest |projection|, reached at a vertex of the convex hull of the samples
// and their mirror images through the origin.  The screen: the samples of
// largest |x|, |x + y|, |y| and |y - x| and their mirror images form a
// symmetric octagon inside that hull; a run of samples whose bounding box
// lies strictly inside the octagon (by a margin far above the rounding of
// the test) holds no such vertex and is left out.  Velocity and displacement
// trajectories are smooth, so most runs are small boxes well inside.
uint64_t hull_candidates(const double* x, const double* y, uint64_t n, double* cx,
                         double* cy) {
    uint64_t at[4] = {0, 0, 0, 0};
    double best[4] = {-1.0, -1.0, -1.0, -1.0};
    double extent = 0.0;
    for (uint64_t i = 0; i < n; ++i) {
        const double f[4] = {std::fabs(x[i]), std::fabs(x[i] + y[i]), std::fabs(y[i]),
                             std::fabs(y[i] - x[i])};
        for (int j = 0; j < 4; ++j) {
            if (f[j] > best[j]) {
                best[j] = f[j];
                at[j] = i;
            }
        }
        // Plain comparisons: every sample is finite here, and std::fmax is a
        // library call unless NaNs are ruled out at compile time.
        extent = f[0] > extent ? f[0] : extent;
        extent = f[2] > extent ? f[2] : extent;
    }
    // The support points of the directions 0, 45, ..., 315 degrees, in
    // counterclockwise order: each extreme sample on the positive side of
    // its form, then the same mirrored.
    Point poly[8];
    int m = 0;
    for (int half = 0; half < 2; ++half) {
        for (int j = 0; j < 4; ++j) {
            double px = x[at[j]], py = y[at[j]];
            const double f = j == 0 ? px : j == 1 ? px + py : j == 2 ? py : py - px;
            const double sign = (f < 0.0) != (half == 1) ? -1.0 : 1.0;
            const Point p{sign * px, sign * py};
            if (m == 0 || p.x != poly[m - 1].x || p.y != poly[m - 1].y) poly[m++] = p;
        }
    }
    while (m > 1 && poly[m - 1].x == poly[0].x && poly[m - 1].y == poly[0].y) --m;
    const double margin = 1e-9 * extent * extent;
    auto inside = [&](double qx, double qy) {
        for (int j = 0; j < m; ++j) {
            const Point a = poly[j], b = poly[(j + 1) % m];
            if (!((b.x - a.x) * (qy - a.y) - (b.y - a.y) * (qx - a.x) > margin)) return false;
        }
        return true;
    };
    uint64_t kept = 0;
    for (uint64_t start = 0; start < n; start += RUN) {
        const uint64_t stop = n - start < RUN ? n : start + RUN;
        double x0 = x[start], x1 = x0, y0 = y[start], y1 = y0;
        for (uint64_t i = start + 1; i < stop; ++i) {
            x0 = x[i] < x0 ? x[i] : x0;
            x1 = x[i] > x1 ? x[i] : x1;
            y0 = y[i] < y0 ? y[i] : y0;
            y1 = y[i] > y1 ? y[i] : y1;
        }
        if (m >= 3 && inside(x0, y0) && inside(x1, y0) && inside(x1, y1) && inside(x0, y1)) {
            continue;
        }
        for (uint64_t i = start; i < stop; ++i, ++kept) {
            cx[kept] = x[i];
            cy[kept] = y[i];
        }
    }
    return kept;
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
    // Velocity and displacement of both components, and the hull candidates.
    std::vector<double> work(6 * nt);
    double *vx = work.data(), *vy = vx + nt, *dx = vy + nt, *dy = dx + nt;
    double *cx = dy + nt, *cy = cx + nt;
    Hull hull = Hull::with_capacity(nt);
    for (uint64_t r = 0; r < ns; ++r) {
        const Row x = comp_0.row(r), y = comp_90.row(r);
        Integrals<double> ix(Step{dt}), iy(Step{dt});
        ix.first(x[0]);
        iy.first(y[0]);
        vx[0] = vy[0] = dx[0] = dy[0] = 0.0;
        for (uint64_t k = 1; k < nt; ++k) {
            ix.next(x[k]);
            iy.next(y[k]);
            vx[k] = ix.v;
            vy[k] = iy.v;
            dx[k] = ix.d;
            dy[k] = iy.d;
        }
        double* row_out = out + r * 2 * n_p;
        const double bad = (ix.v - ix.v) + (ix.d - ix.d) + (iy.v - iy.v) + (iy.d - iy.d);
        if (bad != bad) {
            for (uint64_t j = 0; j < 2 * n_p; ++j) row_out[j] = quiet_nan();
            continue;
        }
        for (int q = 0; q < 2; ++q) {
            const uint64_t m = q == 0 ? hull_candidates(vx, vy, nt, cx, cy)
                                      : hull_candidates(dx, dy, nt, cx, cy);
            const SortedPeaks sorted(hull.peaks(Row::of(cx, m), Row::of(cy, m)));
            for (uint64_t j = 0; j < n_p; ++j) row_out[q * n_p + j] = sorted.at(ps[j]);
        }
    }
    return result;
}

}  // namespace gm
