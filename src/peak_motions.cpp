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
// The screen's polygon has vertices in 2 * FORMS directions, 180 / FORMS
// degrees apart.
constexpr int FORMS = 8;

struct Box {
    double x0, x1, y0, y1;
    // The largest value of c x + s y over the box.
    double support(double c, double s) const {
        return (c > 0.0 ? c * x1 : c * x0) + (s > 0.0 ? s * y1 : s * y0);
    }
};

// The samples of the trajectory (x[i], y[i]) that may give a directional
// peak, copied to (cx, cy); returns their number.  A directional peak is the
// largest |projection|, reached at a vertex of the convex hull of the samples
// and their mirror images through the origin.  The screen: the samples of
// largest |projection| on 2 * FORMS directions, and their mirror images, form
// a symmetric polygon inside that hull; a run of samples whose bounding box
// lies strictly inside the polygon (by a margin far above the rounding of
// the test) holds no such vertex and is left out.  Velocity and displacement
// trajectories are smooth, so most runs are small boxes well inside.  Every
// sample is finite; boxes[r] bounds the samples r * RUN .. r * RUN + RUN - 1.
uint64_t hull_candidates(const double* x, const double* y, uint64_t n,
                         const std::vector<Box>& boxes, std::vector<double>& bounds, double* cx,
                         double* cy) {
    const uint64_t runs = boxes.size();
    bounds.resize(runs);
    double extent = 0.0;
    for (const Box& b : boxes) {
        for (double v : {-b.x0, b.x1, -b.y0, b.y1}) extent = v > extent ? v : extent;
    }
    // The exact extreme sample of every direction: the runs whose box could
    // beat the best sample found so far are read, best box first.
    Point poly[2 * FORMS];
    int m = 0;
    for (int k = 0; k < FORMS; ++k) {
        const double angle = 3.141592653589793 * k / FORMS;
        const double c = std::cos(angle), s = std::sin(angle);
        uint64_t first = 0;
        for (uint64_t r = 0; r < runs; ++r) {
            const double up = boxes[r].support(c, s), down = boxes[r].support(-c, -s);
            bounds[r] = up > down ? up : down;
            first = bounds[r] > bounds[first] ? r : first;
        }
        double best = -1.0;
        Point at{0.0, 0.0};
        auto read = [&](uint64_t r) {
            const uint64_t stop = n - r * RUN < RUN ? n : r * RUN + RUN;
            for (uint64_t i = r * RUN; i < stop; ++i) {
                const double f = c * x[i] + s * y[i];
                const double a = f < 0.0 ? -f : f;
                if (a > best) {
                    best = a;
                    at = f < 0.0 ? Point{-x[i], -y[i]} : Point{x[i], y[i]};
                }
            }
        };
        read(first);
        for (uint64_t r = 0; r < runs; ++r) {
            if (r != first && bounds[r] > best) read(r);
        }
        poly[k] = at;
        poly[k + FORMS] = Point{-at.x, -at.y};
    }
    // Counterclockwise, without repeated vertices.
    for (int k = 0; k < 2 * FORMS; ++k) {
        if (m == 0 || poly[k].x != poly[m - 1].x || poly[k].y != poly[m - 1].y) {
            poly[m++] = poly[k];
        }
    }
    while (m > 1 && poly[m - 1].x == poly[0].x && poly[m - 1].y == poly[0].y) --m;
    // Each edge as a half-plane: outward normal and offset.
    struct Edge {
        double nx, ny, limit;
    } edges[2 * FORMS];
    for (int j = 0; j < m; ++j) {
        const Point a = poly[j], b = poly[(j + 1) % m];
        const double nx = b.y - a.y, ny = a.x - b.x;
        const double size = (nx < 0.0 ? -nx : nx) + (ny < 0.0 ? -ny : ny);
        edges[j] = {nx, ny, nx * a.x + ny * a.y - 1e-9 * size * extent};
    }
    uint64_t kept = 0;
    for (uint64_t r = 0; r < runs; ++r) {
        bool inside = m >= 3;
        for (int j = 0; inside && j < m; ++j) {
            inside = boxes[r].support(edges[j].nx, edges[j].ny) < edges[j].limit;
        }
        if (inside) continue;
        const uint64_t stop = n - r * RUN < RUN ? n : r * RUN + RUN;
        for (uint64_t i = r * RUN; i < stop; ++i, ++kept) {
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
    const uint64_t runs = (nt + RUN - 1) / RUN;
    std::vector<Box> box_v(runs), box_d(runs);
    std::vector<double> bounds;
    for (uint64_t r = 0; r < ns; ++r) {
        const Row x = comp_0.row(r), y = comp_90.row(r);
        Integrals<double> ix(Step{dt}), iy(Step{dt});
        ix.first(x[0]);
        iy.first(y[0]);
        // The runs' bounding boxes come along: the integration waits on its
        // additions, and the comparisons fill the gaps.
        for (uint64_t run = 0; run < runs; ++run) {
            const uint64_t stop = nt - run * RUN < RUN ? nt : run * RUN + RUN;
            Box bv{INFINITY, -INFINITY, INFINITY, -INFINITY}, bd = bv;
            for (uint64_t k = run * RUN; k < stop; ++k) {
                if (k > 0) {
                    ix.next(x[k]);
                    iy.next(y[k]);
                }
                const double a = ix.v, b = iy.v, c = ix.d, d = iy.d;
                vx[k] = a;
                vy[k] = b;
                dx[k] = c;
                dy[k] = d;
                bv.x0 = a < bv.x0 ? a : bv.x0;
                bv.x1 = a > bv.x1 ? a : bv.x1;
                bv.y0 = b < bv.y0 ? b : bv.y0;
                bv.y1 = b > bv.y1 ? b : bv.y1;
                bd.x0 = c < bd.x0 ? c : bd.x0;
                bd.x1 = c > bd.x1 ? c : bd.x1;
                bd.y0 = d < bd.y0 ? d : bd.y0;
                bd.y1 = d > bd.y1 ? d : bd.y1;
            }
            box_v[run] = bv;
            box_d[run] = bd;
        }
        double* row_out = out + r * 2 * n_p;
        const double bad = (ix.v - ix.v) + (ix.d - ix.d) + (iy.v - iy.v) + (iy.d - iy.d);
        if (bad != bad) {
            for (uint64_t j = 0; j < 2 * n_p; ++j) row_out[j] = quiet_nan();
            continue;
        }
        for (int q = 0; q < 2; ++q) {
            const uint64_t m = q == 0 ? hull_candidates(vx, vy, nt, box_v, bounds, cx, cy)
                                      : hull_candidates(dx, dy, nt, box_d, bounds, cx, cy);
            const SortedPeaks sorted(hull.peaks(Row::of(cx, m), Row::of(cy, m)));
            for (uint64_t j = 0; j < n_p; ++j) row_out[q * n_p + j] = sorted.at(ps[j]);
        }
    }
    return result;
}

}  // namespace gm
