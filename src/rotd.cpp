// Rotated-component maxima.
//
// A station's two horizontal records trace a trajectory (x_i, y_i).  The peak
// of the record rotated by k degrees is the largest |x_i cos + y_i sin|, and
// that largest value is always reached at a vertex of the trajectory's convex
// hull.  `Hull::peaks` therefore
//   1. screens the samples for infinities and NaN,
//   2. finds the leftmost, top, rightmost and bottom samples,
//   3. drops every sample strictly inside the polygon of those extremes
//      (Akl-Toussaint),
//   4. sorts the survivors and builds their convex hull (Andrew's monotone
//      chain),
//   5. evaluates the 180 rotated magnitudes at the hull's vertices only.
// Steps 2 to 4 only decide which samples step 5 visits; the values come from
// step 5 alone, so any exact way of taking those decisions gives the same
// bits.
//
// Every decision of steps 3 and 4 compares two rounded products,
//   (B.x - A.x)(P.y - A.y)  against  (B.y - A.y)(P.x - A.x),
// each difference and product rounded to float64 on its own.  The comparison
// is taken as float64 would take it with an unbounded exponent range: for a
// "plain" trajectory (every coordinate zero or of magnitude in
// [2^-400, 2^510)) no difference or product can overflow or fall below the
// normal range, and plain float64 arithmetic is exactly that.  Any other
// trajectory takes the careful path (`cross_sign`), which keeps hull vertices
// that overflowing or underflowing products would otherwise lose; the hull
// of such a trajectory is the hull of its copy scaled by any power of two.
//
// The hot passes (the box scan of steps 1 and 2, the filter of step 3 on a
// plain trajectory, and step 5) are written once, as templates over their
// lane type: double on the scalar target, vectors of doubles on the targets
// that simd::dispatch runs with vectors.  A lane performs the very
// operations of the scalar form, so every target takes the same decisions
// and computes the same bits.
#include "rotd.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "simd.hpp"

namespace gm {
namespace {

constexpr int N_ANGLES = 180;
constexpr double DEG_TO_RAD = 0.017453292519943295;
// Bounds of a plain trajectory.  Below 2^510 no difference (<= 2^511),
// product (<= 2^1022) or difference of products (<= 2^1023) overflows.  With
// every non-zero |coordinate| at least 2^-400, every coordinate is a multiple
// of 2^-452, so a non-zero difference is at least 2^-452 and a product of
// two non-zero differences at least 2^-904: always a normal number.
constexpr double PLAIN_MAX = 0x1p510;
constexpr double PLAIN_MIN = 0x1p-400;
// Pass 1 records the bounding box of every run of BOX samples.  The extremes
// are then looked up box by box, and pass 2 skips every box that lies deep
// inside the extreme-point polygon.
constexpr uint64_t BOX = 64;

// ---------------------------------------------------------------------------
// Lanes
//
// The hot passes are templates over their lane type V: double on the scalar
// target, two doubles on the baseline, four doubles on AVX2 (simd::native).

template <class V>
constexpr uint64_t LANES = simd::lanes_of<V>;

using simd::abs;
using simd::all_set;
using simd::Bits;
using simd::lane_set;
using simd::Mask;
using simd::max;
using simd::min;
using simd::splat;

// ---------------------------------------------------------------------------
// Small helpers

}  // namespace

// cos and sin of k degrees, k = 0..179, from the C library.  (glibc's sincos
// gives the very bits of its sin and cos.)
const AngleTable& angle_table() {
    static const AngleTable table = [] {
        AngleTable t;
        for (int k = 0; k < N_ANGLES; ++k) {
            // volatile: the library computes the values at run time, the
            // compiler never folds them.
            volatile double angle = static_cast<double>(k) * DEG_TO_RAD;
            const double theta = angle;
            t.sin[k] = std::sin(theta);
            t.cos[k] = std::cos(theta);
        }
        return t;
    }();
    return table;
}

namespace {

inline uint64_t bits_of(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Integer key whose signed order is the IEEE 754 total order of doubles
// (-NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN).  The map is its own
// inverse.
inline int64_t total_order_key(int64_t bits) {
    return bits ^ static_cast<int64_t>(static_cast<uint64_t>(bits >> 63) >> 1);
}
inline int64_t total_order_key(double v) { return total_order_key(static_cast<int64_t>(bits_of(v))); }
inline double from_total_order_key(int64_t key) {
    const int64_t bits = total_order_key(key);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}
// The same order on unsigned keys.
inline uint64_t unsigned_order_key(double v) {
    return static_cast<uint64_t>(total_order_key(v)) ^ (uint64_t{1} << 63);
}
inline double from_unsigned_order_key(uint64_t key) {
    return from_total_order_key(static_cast<int64_t>(key ^ (uint64_t{1} << 63)));
}

Peaks nan_peaks() {
    Peaks p;
    p.fill(quiet_nan());
    return p;
}

bool all_zero(const double* v, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) {
        if (v[i] != 0.0) return false;
    }
    return true;
}

bool all_finite(const Row& r) {
    for (uint64_t i = 0; i < r.len; ++i) {
        if (!is_finite_bits(r[i])) return false;
    }
    return true;
}

inline bool same_point(const Point& a, const Point& b) { return a.x == b.x && a.y == b.y; }

// ---------------------------------------------------------------------------
// The careful orientation test.
//
// A value is kept as a mantissa in [0.5, 1) and a separate integer exponent,
// so differences and products are rounded to 53 bits exactly as float64
// rounds them, but never overflow or underflow.

struct Wide {
    double m;  // 0, or 0.5 <= |m| < 1
    int e;
};

inline Wide widen(double v, int shift) {
    int e = 0;
    const double m = std::frexp(v, &e);
    return {m, e + shift};
}

// a - b rounded once.  A difference in the subnormal range is exact.  When
// it overflows, |a - b| > 2^1023, and the halves give the same rounding one
// binade lower (halving a tiny partner moves the result by far less than
// half an ulp of it).
inline Wide wide_difference(double a, double b) {
    const double d = a - b;
    if (std::isfinite(d)) return widen(d, 0);
    return widen(a * 0.5 - b * 0.5, 1);
}

// The product of two mantissas lies in [0.25, 1), a normal float64: its
// rounding is the rounding of the whole product.
inline Wide wide_product(Wide p, Wide q) {
    if (p.m == 0.0 || q.m == 0.0) return {0.0, 0};
    return widen(p.m * q.m, p.e + q.e);
}

inline int wide_compare(Wide a, Wide b) {
    const int sa = (a.m > 0.0) - (a.m < 0.0);
    const int sb = (b.m > 0.0) - (b.m < 0.0);
    if (sa != sb) return sa < sb ? -1 : 1;
    if (sa == 0) return 0;
    if (a.e != b.e) return ((a.e > b.e) == (sa > 0)) ? 1 : -1;
    return (a.m > b.m) - (a.m < b.m);
}

// A finite product of two finite factors is correctly rounded when it is a
// normal number or an exact zero.
inline bool rounded_exactly(double product, double f, double g) {
    return std::fabs(product) >= DBL_MIN || f == 0.0 || g == 0.0;
}

// Sign of (B.x - A.x)(P.y - A.y) - (B.y - A.y)(P.x - A.x): +1 when P lies
// strictly to the left of the directed line A->B, -1 strictly to the right,
// 0 on it (or, for a zero-length edge, anywhere).
inline int cross_sign(double ax, double ay, double bx, double by, double px, double py) {
    const double d1 = bx - ax;
    const double d2 = py - ay;
    const double d3 = by - ay;
    const double d4 = px - ax;
    const double l = d1 * d2;
    const double r = d3 * d4;
    if (std::isfinite(l) && std::isfinite(r) && rounded_exactly(l, d1, d2) &&
        rounded_exactly(r, d3, d4)) {
        return (l > r) - (l < r);
    }
    const Wide wl = wide_product(wide_difference(bx, ax), wide_difference(py, ay));
    const Wide wr = wide_product(wide_difference(by, ay), wide_difference(px, ax));
    return wide_compare(wl, wr);
}

// ---------------------------------------------------------------------------
// Pass 1: non-finite screen, the bounding box of every run of BOX samples,
// and whether the trajectory is plain

struct ScanFlags {
    bool non_finite;  // a sample is an infinity or NaN
    bool tiny;        // a sample has 0 < |coordinate| < PLAIN_MIN
};

template <class V>
struct Screen {
    // The or of the bits of v - v: +0.0 (all bits clear) for every finite v
    // and NaN otherwise.
    Bits<V> non_finite{};
    // How many coordinates with 0 < |v| < PLAIN_MIN each lane has seen.
    // (Counted rather than or-ed: GCC turns an or of masks into a blend.)
    Bits<V> tiny{};
};

// n += 1 in the lanes that m sets (-1 in a set vector lane).
template <class V>
GM_INLINE void count_lanes(Bits<V>& n, Mask<V> m) {
    if constexpr (LANES<V> == 1) {
        n += m;
    } else {
        n -= m;
    }
}

// The lanes of the magnitudes m with 0 < m < PLAIN_MIN.
template <class V>
GM_INLINE Mask<V> tiny_lanes(V m) {
    if constexpr (LANES<V> == 1) {
        return m < PLAIN_MIN && m > 0.0;
    } else {
        return (m < splat<V>(PLAIN_MIN)) & (m > splat<V>(0.0));
    }
}

// The box of the n samples at x and y, n a non-zero multiple of the lanes,
// whose screen is folded into s.  The box of finite samples does not depend
// on the order of the min and max operations (a NaN or infinity fails the
// screen anyway).
template <class V>
GM_INLINE SampleBox scan_run(const double* x, const double* y, uint64_t n, Screen<V>& s) {
    V mnx = simd::load<V>(x);
    V mxx = mnx;
    V mny = simd::load<V>(y);
    V mxy = mny;
    for (uint64_t i = 0; i < n; i += LANES<V>) {
        const V a = simd::load<V>(x + i);
        const V c = simd::load<V>(y + i);
        s.non_finite |= std::bit_cast<Bits<V>>(a - a) | std::bit_cast<Bits<V>>(c - c);
        if constexpr (LANES<V> == 1) {  // the scalar form stops early
            s.tiny = s.tiny || tiny_lanes(abs(a)) || tiny_lanes(abs(c));
        } else {
            count_lanes<V>(s.tiny, tiny_lanes(abs(a)));
            count_lanes<V>(s.tiny, tiny_lanes(abs(c)));
        }
        mnx = min(a, mnx);
        mxx = max(a, mxx);
        mny = min(c, mny);
        mxy = max(c, mxy);
    }
    return SampleBox{simd::hmin(mnx), simd::hmax(mxx), simd::hmin(mny), simd::hmax(mxy)};
}

// Whole runs of BOX samples in lanes of V, the last, partial run one sample
// at a time.
template <class V>
GM_INLINE ScanFlags scan_boxes(const double* x, const double* y, uint64_t nt, SampleBox* boxes) {
    static_assert(BOX % LANES<V> == 0);
    Screen<V> whole;
    Screen<double> part;
    uint64_t lo = 0;
    uint64_t b = 0;
    for (; lo + BOX <= nt; lo += BOX, ++b) boxes[b] = scan_run<V>(x + lo, y + lo, BOX, whole);
    if (lo < nt) boxes[b] = scan_run<double>(x + lo, y + lo, nt - lo, part);
    return ScanFlags{simd::any(whole.non_finite) || simd::any(part.non_finite),
                     simd::any(whole.tiny) || simd::any(part.tiny)};
}

struct Extremes {
    uint64_t left, right, top, bottom;
    double magnitude;  // the largest |coordinate|
};

inline uint64_t first_equal(const double* v, uint64_t lo, uint64_t hi, double value) {
    for (uint64_t i = lo; i < hi; ++i) {
        if (v[i] == value) return i;
    }
    return lo;  // unreachable: the box holds the value
}

// The first sample with the smallest x, the largest x, the largest y and the
// smallest y: exactly the samples that a strict-comparison scan starting at
// sample 0 keeps.  The first box holding the extreme value is found first,
// then the first sample in it.
Extremes find_extremes(const double* x, const double* y, uint64_t nt, const SampleBox* boxes) {
    const uint64_t nb = (nt + BOX - 1) / BOX;
    SampleBox g = boxes[0];
    uint64_t bl = 0, br = 0, bt = 0, bb = 0;
    for (uint64_t b = 1; b < nb; ++b) {
        const SampleBox& s = boxes[b];
        if (s.minx < g.minx) { g.minx = s.minx; bl = b; }
        if (s.maxx > g.maxx) { g.maxx = s.maxx; br = b; }
        if (s.maxy > g.maxy) { g.maxy = s.maxy; bt = b; }
        if (s.miny < g.miny) { g.miny = s.miny; bb = b; }
    }
    auto end = [nt](uint64_t b) { return std::min(nt, (b + 1) * BOX); };
    Extremes e;
    e.left = first_equal(x, bl * BOX, end(bl), g.minx);
    e.right = first_equal(x, br * BOX, end(br), g.maxx);
    e.top = first_equal(y, bt * BOX, end(bt), g.maxy);
    e.bottom = first_equal(y, bb * BOX, end(bb), g.miny);
    e.magnitude = std::max(std::max(-g.minx, g.maxx), std::max(-g.miny, g.maxy));
    return e;
}

// ---------------------------------------------------------------------------
// Pass 2: the extreme-point polygon filter

// Four directed edges A_k -> B_k, with the edge vectors B_k - A_k.
struct Edges {
    double ax[4], ay[4], bx[4], by[4], ex[4], ey[4];
};

// The polygon leftmost -> top -> rightmost -> bottom, repeated corners left
// out.  With fewer than four corners the closing edge repeats; with one
// corner every edge has zero length.
Edges polygon_edges(const Point& left, const Point& top, const Point& right, const Point& bottom) {
    Point q[5];
    int m = 0;
    q[m++] = left;
    bool top_added = false;
    if (!same_point(top, left)) {
        q[m++] = top;
        top_added = true;
    }
    if (!same_point(right, left) && (!top_added || !same_point(right, top))) q[m++] = right;
    bool bottom_new = true;
    for (int j = 0; j < m; ++j) bottom_new = bottom_new && !same_point(bottom, q[j]);
    if (bottom_new) q[m++] = bottom;
    q[m] = q[0];

    const int start[4] = {0, m == 1 ? 0 : 1, std::min(m - 1, 2), std::min(m - 1, 3)};
    Edges e;
    for (int k = 0; k < 4; ++k) {
        const Point& a = q[start[k]];
        const Point& b = q[start[k] + 1];
        e.ax[k] = a.x;
        e.ay[k] = a.y;
        e.bx[k] = b.x;
        e.by[k] = b.y;
        e.ex[k] = b.x - a.x;
        e.ey[k] = b.y - a.y;
    }
    return e;
}

// A sample is dropped when it lies strictly on the same side of all four
// edges, c_k = l_k - r_k all positive or all negative.  c_k is positive
// exactly when l_k > r_k and negative exactly when l_k < r_k: a difference
// of two distinct finite doubles never rounds to zero, and for a plain
// trajectory nothing overflows.
//
// The edges with every lane of ax[k] holding e.ax[k], and so on.
template <class V>
struct EdgeLanes {
    V ax[4], ay[4], ex[4], ey[4];
};

template <class V>
GM_INLINE EdgeLanes<V> edge_lanes(const Edges& e) {
    EdgeLanes<V> l;
    for (int k = 0; k < 4; ++k) {
        l.ax[k] = splat<V>(e.ax[k]);
        l.ay[k] = splat<V>(e.ay[k]);
        l.ex[k] = splat<V>(e.ex[k]);
        l.ey[k] = splat<V>(e.ey[k]);
    }
    return l;
}

// The lanes of the samples (px, py) that the filter drops (plain
// trajectories).
template <class V>
GM_INLINE Mask<V> dropped(const EdgeLanes<V>& e, V px, V py) {
    Mask<V> all_left = all_set<Mask<V>>();
    Mask<V> all_right = all_set<Mask<V>>();
    for (int k = 0; k < 4; ++k) {
        const V l = e.ex[k] * (py - e.ay[k]);
        const V r = e.ey[k] * (px - e.ax[k]);
        if constexpr (LANES<V> == 1) {  // the scalar form stops early
            all_left = all_left && l > r;
            all_right = all_right && l < r;
        } else {
            all_left &= l > r;
            all_right &= l < r;
        }
    }
    return all_left | all_right;
}

// The same decision on the careful path.
inline bool keep_sample_careful(const Edges& e, double px, double py) {
    int left = 0;
    int right = 0;
    for (int k = 0; k < 4; ++k) {
        const int s = cross_sign(e.ax[k], e.ay[k], e.bx[k], e.by[k], px, py);
        left += s > 0;
        right += s < 0;
    }
    return !(left == 4 || right == 4);
}

// True when `dropped` drops every point of the box (plain trajectories).
//
// For one edge let c(P) = L - R with L = ex (py - ay), R = ey (px - ax) in
// exact arithmetic.  The per-sample test rounds two differences, two
// products and their difference; its sign equals the sign of c(P) whenever
// |c(P)| > mu(P) = 2.01u (|L| + |R|) + 2^-1074 (u = 2^-53; the last term
// covers underflow).  c + mu is convex and c - mu concave in P, so both
// take their extreme over the box at a corner.  At a corner the rounded
// c~ and m~ = |L~| + |R~| satisfy |c~ - c| + mu < 6u m~ + 2^-1072, and the
// test below asks for a margin of 16u m~ + 2^-1000.  A box that passes
// therefore holds only samples whose every c_k has the sign found here.
//
// The four corners go through the lanes of V.
template <class V>
GM_INLINE bool box_dropped(const EdgeLanes<V>& e, const SampleBox& b) {
    const double corner_x[4] = {b.minx, b.minx, b.maxx, b.maxx};
    const double corner_y[4] = {b.miny, b.maxy, b.miny, b.maxy};
    const V slack = splat<V>(0x1p-49);
    const V floor = splat<V>(0x1p-1000);
    bool all_left = true;
    bool all_right = true;
    for (uint64_t j = 0; j < 4; j += LANES<V>) {
        const V cx = simd::load<V>(corner_x + j);
        const V cy = simd::load<V>(corner_y + j);
        Mask<V> left = all_set<Mask<V>>();
        Mask<V> right = all_set<Mask<V>>();
        for (int k = 0; k < 4; ++k) {
            const V l = e.ex[k] * (cy - e.ay[k]);
            const V r = e.ey[k] * (cx - e.ax[k]);
            const V c = l - r;
            const V margin = (abs(l) + abs(r)) * slack + floor;
            if constexpr (LANES<V> == 1) {
                left = left && c > margin;
                right = right && c < -margin;
            } else {
                left &= c > margin;
                right &= c < -margin;
            }
        }
        all_left = all_left && simd::all(left);
        all_right = all_right && simd::all(right);
    }
    return all_left || all_right;
}

// Appends to out, in order, the samples of [lo, hi) that the filter keeps;
// hi - lo is a multiple of the lanes.
template <class V>
GM_INLINE void keep_samples(const double* x, const double* y, uint64_t lo, uint64_t hi,
                            const EdgeLanes<V>& e, std::vector<Point>& out) {
    for (uint64_t i = lo; i < hi; i += LANES<V>) {
        const Mask<V> drop = dropped(e, simd::load<V>(x + i), simd::load<V>(y + i));
        if (simd::all(drop)) continue;
        for (uint64_t j = 0; j < LANES<V>; ++j) {
            if (!lane_set(drop, j)) out.push_back(Point{x[i + j], y[i + j]});
        }
    }
}

// The filter of a plain trajectory over every box that box_dropped cannot
// rule out: whole groups of lanes first, the rest one sample at a time.
template <class V>
GM_INLINE void select_plain(const double* x, const double* y, uint64_t nt, const SampleBox* boxes,
                            const Edges& edges, std::vector<Point>& out) {
    const EdgeLanes<V> e = edge_lanes<V>(edges);
    const EdgeLanes<double> e1 = edge_lanes<double>(edges);
    for (uint64_t lo = 0, b = 0; lo < nt; lo += BOX, ++b) {
        if (box_dropped(e, boxes[b])) continue;
        const uint64_t hi = std::min(nt, lo + BOX);
        const uint64_t hv = lo + (hi - lo) / LANES<V> * LANES<V>;
        keep_samples(x, y, lo, hv, e, out);
        keep_samples(x, y, hv, hi, e1, out);
    }
}

// ---------------------------------------------------------------------------
// Trajectories on a line through the origin

// Whether every sample has y = s x and x = y / s exactly, s a power of two,
// with every coordinate zero or of magnitude in [PLAIN_MIN, PLAIN_MAX); if
// so, lo and hi become the smallest and the largest x.  The samples are read
// in runs of BOX, and the reading stops after the first run that fails.
//
// Such a trajectory is plain, and every difference of its y is s times the
// difference of its x, exactly (no difference or product of a plain
// trajectory leaves the normal range, where scaling by a power of two is
// exact).  Each orientation test of the chain then compares two products
// that round to the same double, so it finds no left turn: the hull is the
// first and the last point in the sort order, the points with the smallest
// and the largest x (equal x means equal y here).
template <class V>
GM_INLINE bool on_scaled_line(const double* x, const double* y, uint64_t nt, double s,
                              double& lo, double& hi) {
    using M = Mask<V>;
    const V scale = splat<V>(s);
    const V inverse = splat<V>(1.0 / s);
    const V zero = splat<V>(0.0);
    const V small = splat<V>(PLAIN_MIN);
    const V large = splat<V>(PLAIN_MAX);
    auto plain = [&](V v) GM_LAMBDA_INLINE -> M {
        const V m = abs(v);
        if constexpr (LANES<V> == 1) {
            return m == 0.0 || (m >= PLAIN_MIN && m < PLAIN_MAX);
        } else {
            return (m == zero) | ((m >= small) & (m < large));
        }
    };
    V mn = splat<V>(x[0]);
    V mx = mn;
    uint64_t i = 0;
    const uint64_t whole = nt / LANES<V> * LANES<V>;
    while (i < whole) {
        const uint64_t end = std::min(whole, i + BOX);
        M ok = all_set<M>();
        for (; i < end; i += LANES<V>) {
            const V a = simd::load<V>(x + i);
            const V b = simd::load<V>(y + i);
            if constexpr (LANES<V> == 1) {
                ok = ok && b == a * scale && a == b * inverse && plain(a) && plain(b);
            } else {
                ok &= (b == a * scale) & (a == b * inverse) & plain(a) & plain(b);
            }
            mn = min(a, mn);
            mx = max(a, mx);
        }
        if (!simd::all(ok)) return false;
    }
    for (; i < nt; ++i) {
        const double a = x[i];
        const double b = y[i];
        const double m = std::fabs(a);
        const double n = std::fabs(b);
        if (!(b == a * s && a == b * (1.0 / s) && (m == 0.0 || (m >= PLAIN_MIN && m < PLAIN_MAX)) &&
              (n == 0.0 || (n >= PLAIN_MIN && n < PLAIN_MAX)))) {
            return false;
        }
        lo = std::min(lo, a);
        hi = std::max(hi, a);
    }
    lo = std::min(lo, simd::hmin(mn));
    hi = std::max(hi, simd::hmax(mx));
    return true;
}

// Whether the n values at v are all finite; if so, lo and hi become the
// smallest and the largest of them.
template <class V>
GM_INLINE bool axis_extent(const double* v, uint64_t n, double& lo, double& hi) {
    V mn = splat<V>(v[0]);
    V mx = mn;
    Bits<V> non_finite{};
    uint64_t i = 0;
    for (; i + LANES<V> <= n; i += LANES<V>) {
        const V a = simd::load<V>(v + i);
        non_finite |= std::bit_cast<Bits<V>>(a - a);  // +0.0 for a finite a
        mn = min(a, mn);
        mx = max(a, mx);
    }
    for (; i < n; ++i) {
        if (!is_finite_bits(v[i])) return false;
        lo = std::min(lo, v[i]);
        hi = std::max(hi, v[i]);
    }
    if (simd::any(non_finite)) return false;
    lo = std::min(lo, simd::hmin(mn));
    hi = std::max(hi, simd::hmax(mx));
    return true;
}

// The ratio s for on_scaled_line: y / x at the first sample with x != 0,
// when that is a power of two; 0 otherwise.
inline double power_of_two_ratio(const double* x, const double* y, uint64_t nt) {
    for (uint64_t i = 0; i < nt; ++i) {
        if (x[i] == 0.0) continue;
        const double s = y[i] / x[i];
        int e = 0;
        const double m = std::isfinite(s) ? std::frexp(s, &e) : 0.0;
        return (m == 0.5 || m == -0.5) ? s : 0.0;
    }
    return 0.0;
}

// ---------------------------------------------------------------------------
// Step 4: sort and monotone chain

template <typename T>
void insertion_sort(T* a, size_t n) {
    for (size_t i = 1; i < n; ++i) {
        const T v = a[i];
        size_t j = i;
        for (; j > 0 && v < a[j - 1]; --j) a[j] = a[j - 1];
        a[j] = v;
    }
}

// Strict left turn O -> A -> P.
template <bool PLAIN>
inline bool left_turn(const Point& o, const Point& a, const Point& p) {
    if constexpr (PLAIN) {
        return (a.x - o.x) * (p.y - o.y) > (a.y - o.y) * (p.x - o.x);
    } else {
        return cross_sign(o.x, o.y, a.x, a.y, p.x, p.y) > 0;
    }
}

// Andrew's monotone chain over n >= 3 points sorted by (x, y), without
// repeats: counter-clockwise from the first point; points without a strict
// left turn (collinear ones included) are dropped.  `h` has room for 2n
// points; returns the number of vertices written to it.
template <bool PLAIN>
size_t monotone_chain(const Point* pts, size_t n, Point* h) {
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        const Point p = pts[i];
        while (k >= 2 && !left_turn<PLAIN>(h[k - 2], h[k - 1], p)) --k;
        h[k++] = p;
    }
    const size_t lower = k;
    for (size_t i = n - 1; i-- > 0;) {
        const Point p = pts[i];
        while (k > lower && !left_turn<PLAIN>(h[k - 2], h[k - 1], p)) --k;
        h[k++] = p;
    }
    return k - 1;  // the last one is the first point, reached again
}

// ---------------------------------------------------------------------------
// Step 5: the rotated magnitudes at the hull's vertices

// Three V of angles (3, 6 or 12 angles) per sweep over the vertices.  Every
// angle has its own maximum, so the grouping changes no bits.
template <class V>
GM_INLINE void directional_peaks(const Point* v, size_t n, double* out) {
    const AngleTable& t = angle_table();
    constexpr int L = static_cast<int>(LANES<V>);
    static_assert(N_ANGLES % (3 * L) == 0);
    for (int k0 = 0; k0 < N_ANGLES; k0 += 3 * L) {
        const V c0 = simd::load<V>(t.cos + k0);
        const V c1 = simd::load<V>(t.cos + k0 + L);
        const V c2 = simd::load<V>(t.cos + k0 + 2 * L);
        const V s0 = simd::load<V>(t.sin + k0);
        const V s1 = simd::load<V>(t.sin + k0 + L);
        const V s2 = simd::load<V>(t.sin + k0 + 2 * L);
        V a0 = splat<V>(0.0);
        V a1 = a0;
        V a2 = a0;
        for (size_t i = 0; i < n; ++i) {
            const V vx = splat<V>(v[i].x);
            const V vy = splat<V>(v[i].y);
            // max(r, a) is r > a ? r : a, which ignores a NaN r
            a0 = max(abs(vx * c0 + vy * s0), a0);
            a1 = max(abs(vx * c1 + vy * s1), a1);
            a2 = max(abs(vx * c2 + vy * s2), a2);
        }
        simd::store(out + k0, a0);
        simd::store(out + k0 + L, a1);
        simd::store(out + k0 + 2 * L, a2);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Hull

Hull Hull::with_capacity(uint64_t nt) {
    Hull h;
    h.points_.reserve(nt);
    h.vertices_.reserve(256);
    return h;
}

template <class V>
GM_INLINE bool Hull::select_candidates(const double* x, const double* y, uint64_t nt,
                                       bool& plain) {
    boxes_.resize((nt + BOX - 1) / BOX);
    const ScanFlags flags = scan_boxes<V>(x, y, nt, boxes_.data());
    if (flags.non_finite) return false;
    const Extremes ext = find_extremes(x, y, nt, boxes_.data());
    plain = ext.magnitude < PLAIN_MAX && !flags.tiny;
    const Edges edges = polygon_edges(Point{x[ext.left], y[ext.left]}, Point{x[ext.top], y[ext.top]},
                                      Point{x[ext.right], y[ext.right]},
                                      Point{x[ext.bottom], y[ext.bottom]});
    points_.clear();
    if (!plain) {
        for (uint64_t i = 0; i < nt; ++i) {
            if (keep_sample_careful(edges, x[i], y[i])) points_.push_back(Point{x[i], y[i]});
        }
        return true;
    }
    select_plain<V>(x, y, nt, boxes_.data(), edges, points_);
    return true;
}

Peaks Hull::peaks(const Row& x, const Row& y) {
    const uint64_t nt = x.len;
    if (nt == 0 || y.len < nt) {
        // The screen covers both sequences whole and comes first.
        if (!all_finite(x) || !all_finite(y)) return nan_peaks();
        panic("ndarray: index out of bounds");
    }

    // Rows with a non-unit stride (or not aligned to a double) are read once
    // into contiguous copies.
    auto direct = [](const Row& r) {
        return r.contiguous() && reinterpret_cast<uintptr_t>(r.data) % alignof(double) == 0;
    };
    const double* px = x.ptr();
    const double* py = y.ptr();
    if (!direct(x)) {
        copy_x_.resize(nt);
        for (uint64_t i = 0; i < nt; ++i) copy_x_[i] = x[i];
        px = copy_x_.data();
    }
    if (!direct(y)) {
        copy_y_.resize(nt);
        for (uint64_t i = 0; i < nt; ++i) copy_y_[i] = y[i];
        py = copy_y_.data();
    }
    // Samples of y beyond x's length take part in the screen only.
    for (uint64_t i = nt; i < y.len; ++i) {
        if (!is_finite_bits(y[i])) return nan_peaks();
    }

    // A trajectory on one axis (a record paired with zeros) has every point
    // on the segment between its two extreme points in the sort order: the
    // chain finds each of them collinear with the ends, in plain and in exact
    // arithmetic alike, and keeps only the ends.  They are taken at once:
    // the extreme-point filter cannot shorten a segment, and sorting all of
    // it is what would cost.
    const bool on_x = all_zero(py, nt), on_y = !on_x && all_zero(px, nt);
    double line_lo = px[0], line_hi = px[0];
    if (on_x || on_y) {
        const double* v = on_x ? px : py;
        double lo = v[0], hi = v[0];
        const bool finite = simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
            return axis_extent<simd::native<decltype(tag)>>(v, nt, lo, hi);
        });
        if (!finite) return nan_peaks();
        // (Which of two equal zeros is taken does not matter: the sort
        // makes every zero positive.)
        auto point = [&](double c) { return on_x ? Point{c, 0.0} : Point{0.0, c}; };
        points_.assign({point(lo), point(hi)});
        build_hull(true);  // two points: no turn is tested
    } else if (const double s = power_of_two_ratio(px, py, nt);
               s != 0.0 && simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
                   return on_scaled_line<simd::native<decltype(tag)>>(px, py, nt, s, line_lo,
                                                                      line_hi);
               })) {
        // A record paired with a copy scaled by a power of two (on_scaled_line).
        points_.assign({Point{line_lo, line_lo * s}, Point{line_hi, line_hi * s}});
        build_hull(true);
    } else {
        bool plain = false;
        const bool finite = simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
            return select_candidates<simd::native<decltype(tag)>>(px, py, nt, plain);
        });
        if (!finite) return nan_peaks();
        build_hull(plain);
    }
    return simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
        using V = simd::native<decltype(tag)>;
        Peaks out;
        directional_peaks<V>(vertices_.data(), vertices_.size(), out.data());
        return out;
    });
}

void Hull::sort_keys() {
    const size_t n = points_.size();
    keys_.resize(n);
    // Adding +0.0 turns -0.0 into +0.0 and changes nothing else.  Without it
    // the total order would put (-0, 1) between (-0, 0) and (+0, 0), the
    // de-duplication would keep both zeros, and the chain, seeing the same
    // point twice, would drop the true vertex (-0, 1).  The sign of a zero
    // changes no comparison of the chain and no rotated magnitude.
    auto key_of = [](const Point& p) {
        return (static_cast<SortKey>(unsigned_order_key(p.x + 0.0)) << 64) |
               unsigned_order_key(p.y + 0.0);
    };
    double xmin = 0.0;
    double scale = 0.0;
    if (n > 32 && n < (size_t{1} << 31)) {
        xmin = points_[0].x;
        double xmax = xmin;
        for (const Point& p : points_) {
            xmin = p.x < xmin ? p.x : xmin;
            xmax = p.x > xmax ? p.x : xmax;
        }
        scale = static_cast<double>(n) / (xmax - xmin);
    }
    if (!(scale > 0.0 && scale < 0x1p900)) {
        for (size_t i = 0; i < n; ++i) keys_[i] = key_of(points_[i]);
        std::sort(keys_.begin(), keys_.end());
        return;
    }
    // Distribute by value over n buckets, then sort every bucket.  The bucket
    // index floor((x - xmin) * scale) never decreases as x grows (each
    // rounding is monotonic), so the buckets come in x order.
    const uint32_t last = static_cast<uint32_t>(n - 1);
    bucket_.resize(n);
    counts_.assign(n + 1, 0);
    for (size_t i = 0; i < n; ++i) {
        const double t = (points_[i].x - xmin) * scale;
        const uint32_t b = t < static_cast<double>(last) ? static_cast<uint32_t>(t) : last;
        bucket_[i] = b;
        ++counts_[b + 1];
    }
    for (size_t b = 1; b <= n; ++b) counts_[b] += counts_[b - 1];
    for (size_t i = 0; i < n; ++i) keys_[counts_[bucket_[i]]++] = key_of(points_[i]);
    // counts_[b] is now the end of bucket b, counts_[b - 1] its start.
    size_t start = 0;
    for (size_t b = 0; b < n; ++b) {
        const size_t end = counts_[b];
        const size_t len = end - start;
        if (len > 16) {
            std::sort(keys_.begin() + start, keys_.begin() + end);
        } else if (len > 1) {
            insertion_sort(keys_.data() + start, len);
        }
        start = end;
    }
}

void Hull::build_hull(bool plain) {
    // Sort by x, then y, in the IEEE total order with zeros made positive,
    // then drop every point equal (as numbers) to the last one kept.
    sort_keys();
    const size_t n = points_.size();
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
        const Point p{from_unsigned_order_key(static_cast<uint64_t>(keys_[i] >> 64)),
                      from_unsigned_order_key(static_cast<uint64_t>(keys_[i]))};
        if (kept > 0 && same_point(p, points_[kept - 1])) continue;
        points_[kept++] = p;
    }
    points_.resize(kept);
    if (kept < 3) {
        vertices_.assign(points_.begin(), points_.end());
        return;
    }
    if (chain_.size() < 2 * kept) chain_.resize(2 * kept);
    const size_t nv = plain ? monotone_chain<true>(points_.data(), kept, chain_.data())
                            : monotone_chain<false>(points_.data(), kept, chain_.data());
    vertices_.assign(chain_.begin(), chain_.begin() + static_cast<std::ptrdiff_t>(nv));
}

// ---------------------------------------------------------------------------
// RotD statistics

RotdRow rotd_statistics(const Peaks& peaks) {
    for (double p : peaks) {
        if (std::isnan(p)) {
            const double nan = quiet_nan();
            return {nan, nan, nan, nan, nan};
        }
    }
    // Strict comparisons: among equal values the smallest orientation wins.
    size_t kmin = 0;
    size_t kmax = 0;
    for (size_t k = 1; k < peaks.size(); ++k) {
        if (peaks[k] < peaks[kmin]) kmin = k;
        if (peaks[k] > peaks[kmax]) kmax = k;
    }
    // Median of the even count 180: the mean of the 90th and 91st smallest
    // in the IEEE total order.
    std::array<int64_t, N_ANGLES> keys;
    for (size_t k = 0; k < keys.size(); ++k) keys[k] = total_order_key(peaks[k]);
    std::nth_element(keys.begin(), keys.begin() + 89, keys.end());
    const int64_t low = keys[89];
    const int64_t high = *std::min_element(keys.begin() + 90, keys.end());
    const double median = mean_of_two(from_total_order_key(low), from_total_order_key(high));
    return {peaks[kmin], median, peaks[kmax], static_cast<double>(kmin), static_cast<double>(kmax)};
}

double mean_of_two(double a, double b) {
    const double mean = (a + b) * 0.5;
    // Two peaks near the largest double overflow their sum; halving each
    // first gives the mean, and the same bits wherever the sum is finite.
    return mean == INFINITY && b < INFINITY ? a * 0.5 + b * 0.5 : mean;
}

OwnedArray rotd(const View2D& comp_0, const View2D& comp_90) {
    if (comp_0.rows != comp_90.rows) {
        panic_not_equal("Components must have the same number of waveforms", comp_0.rows,
                        comp_90.rows);
    }
    const uint64_t ns = comp_0.rows;
    OwnedArray out(Dtype::F64, {ns, 5});
    if (ns == 0) return out;
    Hull hull = Hull::with_capacity(comp_0.cols);
    double* dst = out.f64();
    for (uint64_t i = 0; i < ns; ++i) {
        const RotdRow row = rotd_statistics(hull.peaks(comp_0.row(i), comp_90.row(i)));
        std::memcpy(dst + i * 5, row.data(), sizeof row);
    }
    return out;
}

}  // namespace gm
