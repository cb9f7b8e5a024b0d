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
// The hot passes (2 and 3) read the samples as 4-wide AVX2 vectors when the
// processor has them; each lane performs the very operations of the scalar
// code, so both paths decide alike.
#include "rotd.hpp"

#include <math.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

// Building with -DGM_ROTD_SCALAR_ONLY leaves the vector paths out, to check
// that the scalar code alone gives the same bits.
#if defined(__x86_64__) && !defined(GM_ROTD_SCALAR_ONLY)
#include <immintrin.h>
#define GM_ROTD_AVX2 1
#endif

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
// Small helpers

struct AngleTable {
    alignas(32) double cos[N_ANGLES];
    alignas(32) double sin[N_ANGLES];
};

// cos and sin of k degrees, k = 0..179, from the C library's sincos.
const AngleTable& angle_table() {
    static const AngleTable table = [] {
        AngleTable t;
        for (int k = 0; k < N_ANGLES; ++k) {
            // volatile: the library computes the values at run time, the
            // compiler never folds them.
            volatile double theta = static_cast<double>(k) * DEG_TO_RAD;
            double s;
            double c;
            ::sincos(theta, &s, &c);
            t.sin[k] = s;
            t.cos[k] = c;
        }
        return t;
    }();
    return table;
}

bool have_avx2() {
#ifdef GM_ROTD_AVX2
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
#else
    return false;
#endif
}

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
    uint64_t non_finite;  // non-zero when a sample is an infinity or NaN
    bool tiny;            // a sample has 0 < |coordinate| < PLAIN_MIN
};

// v - v is +0.0 (all bits clear) for every finite v and NaN otherwise.
inline uint64_t non_finite_bits(double v) { return bits_of(v - v); }

inline bool is_tiny(double v) {
    const double a = std::fabs(v);
    return a < PLAIN_MIN && a > 0.0;
}

ScanFlags scan_boxes_scalar(const double* x, const double* y, uint64_t nt, SampleBox* boxes) {
    ScanFlags f{0, false};
    for (uint64_t lo = 0, b = 0; lo < nt; lo += BOX, ++b) {
        const uint64_t hi = std::min(nt, lo + BOX);
        SampleBox box{x[lo], x[lo], y[lo], y[lo]};
        for (uint64_t i = lo; i < hi; ++i) {
            const double px = x[i];
            const double py = y[i];
            f.non_finite |= non_finite_bits(px) | non_finite_bits(py);
            f.tiny = f.tiny || is_tiny(px) || is_tiny(py);
            box.minx = px < box.minx ? px : box.minx;
            box.maxx = px > box.maxx ? px : box.maxx;
            box.miny = py < box.miny ? py : box.miny;
            box.maxy = py > box.maxy ? py : box.maxy;
        }
        boxes[b] = box;
    }
    return f;
}

#ifdef GM_ROTD_AVX2
__attribute__((target("avx2"))) inline double lane_min(__m256d v) {
    const __m128d m = _mm_min_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_min_sd(m, _mm_unpackhi_pd(m, m)));
}
__attribute__((target("avx2"))) inline double lane_max(__m256d v) {
    const __m128d m = _mm_max_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_max_sd(m, _mm_unpackhi_pd(m, m)));
}
__attribute__((target("avx2"))) inline bool any_lane(__m256d v) {
    return !_mm256_testz_si256(_mm256_castpd_si256(v), _mm256_castpd_si256(v));
}

// The box of each whole run of BOX samples from vectors; the last, partial
// run through the scalar code.  min/max of finite values do not depend on
// the order of their operands (a NaN or infinity fails the screen anyway).
__attribute__((target("avx2"))) ScanFlags scan_boxes_avx2(const double* x, const double* y,
                                                          uint64_t nt, SampleBox* boxes) {
    static_assert(BOX % 4 == 0);
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d tiny_bound = _mm256_set1_pd(PLAIN_MIN);
    const __m256d zero = _mm256_setzero_pd();
    __m256d bad = zero;
    __m256d tiny = zero;
    uint64_t lo = 0;
    uint64_t b = 0;
    for (; lo + BOX <= nt; lo += BOX, ++b) {
        __m256d mnx = _mm256_loadu_pd(x + lo);
        __m256d mxx = mnx;
        __m256d mny = _mm256_loadu_pd(y + lo);
        __m256d mxy = mny;
        for (uint64_t i = lo; i < lo + BOX; i += 4) {
            const __m256d a = _mm256_loadu_pd(x + i);
            const __m256d c = _mm256_loadu_pd(y + i);
            bad = _mm256_or_pd(bad, _mm256_or_pd(_mm256_sub_pd(a, a), _mm256_sub_pd(c, c)));
            const __m256d abs_a = _mm256_andnot_pd(sign, a);
            const __m256d abs_c = _mm256_andnot_pd(sign, c);
            tiny = _mm256_or_pd(
                tiny, _mm256_or_pd(_mm256_and_pd(_mm256_cmp_pd(abs_a, tiny_bound, _CMP_LT_OQ),
                                                 _mm256_cmp_pd(abs_a, zero, _CMP_GT_OQ)),
                                   _mm256_and_pd(_mm256_cmp_pd(abs_c, tiny_bound, _CMP_LT_OQ),
                                                 _mm256_cmp_pd(abs_c, zero, _CMP_GT_OQ))));
            mnx = _mm256_min_pd(a, mnx);
            mxx = _mm256_max_pd(a, mxx);
            mny = _mm256_min_pd(c, mny);
            mxy = _mm256_max_pd(c, mxy);
        }
        boxes[b] = SampleBox{lane_min(mnx), lane_max(mxx), lane_min(mny), lane_max(mxy)};
    }
    ScanFlags f{any_lane(bad) ? uint64_t{1} : uint64_t{0}, any_lane(tiny)};
    if (lo < nt) {
        const ScanFlags rest = scan_boxes_scalar(x + lo, y + lo, nt - lo, boxes + b);
        f.non_finite |= rest.non_finite;
        f.tiny = f.tiny || rest.tiny;
    }
    return f;
}
#endif

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
inline bool keep_sample(const Edges& e, double px, double py) {
    bool all_left = true;
    bool all_right = true;
    for (int k = 0; k < 4; ++k) {
        const double l = e.ex[k] * (py - e.ay[k]);
        const double r = e.ey[k] * (px - e.ax[k]);
        all_left = all_left && l > r;
        all_right = all_right && l < r;
    }
    return !(all_left || all_right);
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

// True when keep_sample drops every point of the box (plain trajectories).
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
inline bool box_dropped(const Edges& e, const SampleBox& b) {
    const double cx[4] = {b.minx, b.minx, b.maxx, b.maxx};
    const double cy[4] = {b.miny, b.maxy, b.miny, b.maxy};
    bool all_left = true;
    bool all_right = true;
    for (int k = 0; k < 4; ++k) {
        for (int j = 0; j < 4; ++j) {
            const double l = e.ex[k] * (cy[j] - e.ay[k]);
            const double r = e.ey[k] * (cx[j] - e.ax[k]);
            const double c = l - r;
            const double margin = (std::fabs(l) + std::fabs(r)) * 0x1p-49 + 0x1p-1000;
            all_left = all_left && c > margin;
            all_right = all_right && c < -margin;
        }
    }
    return all_left || all_right;
}

void select_scalar(const double* x, const double* y, uint64_t lo, uint64_t hi, const Edges& e,
                   std::vector<Point>& out) {
    for (uint64_t i = lo; i < hi; ++i) {
        if (keep_sample(e, x[i], y[i])) out.push_back(Point{x[i], y[i]});
    }
}

#ifdef GM_ROTD_AVX2
// Vector form of keep_sample, four samples at a time, over every box that
// box_dropped cannot rule out.
__attribute__((target("avx2"))) void select_avx2(const double* x, const double* y, uint64_t nt,
                                                 const SampleBox* boxes, const Edges& e,
                                                 std::vector<Point>& out) {
    __m256d ax[4], ay[4], ex[4], ey[4];
    for (int k = 0; k < 4; ++k) {
        ax[k] = _mm256_set1_pd(e.ax[k]);
        ay[k] = _mm256_set1_pd(e.ay[k]);
        ex[k] = _mm256_set1_pd(e.ex[k]);
        ey[k] = _mm256_set1_pd(e.ey[k]);
    }
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d slack = _mm256_set1_pd(0x1p-49);
    const __m256d floor = _mm256_set1_pd(0x1p-1000);
    for (uint64_t lo = 0, b = 0; lo < nt; lo += BOX, ++b) {
        // box_dropped with the four corners in the four lanes
        const SampleBox& box = boxes[b];
        const __m256d cx = _mm256_setr_pd(box.minx, box.minx, box.maxx, box.maxx);
        const __m256d cy = _mm256_setr_pd(box.miny, box.maxy, box.miny, box.maxy);
        __m256d box_left = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        __m256d box_right = box_left;
        for (int k = 0; k < 4; ++k) {
            const __m256d l = _mm256_mul_pd(ex[k], _mm256_sub_pd(cy, ay[k]));
            const __m256d r = _mm256_mul_pd(ey[k], _mm256_sub_pd(cx, ax[k]));
            const __m256d c = _mm256_sub_pd(l, r);
            const __m256d margin = _mm256_add_pd(
                _mm256_mul_pd(_mm256_add_pd(_mm256_andnot_pd(sign, l), _mm256_andnot_pd(sign, r)), slack),
                floor);
            box_left = _mm256_and_pd(box_left, _mm256_cmp_pd(c, margin, _CMP_GT_OQ));
            box_right = _mm256_and_pd(box_right,
                                      _mm256_cmp_pd(c, _mm256_xor_pd(margin, sign), _CMP_LT_OQ));
        }
        if (_mm256_movemask_pd(box_left) == 0xF || _mm256_movemask_pd(box_right) == 0xF) continue;
        const uint64_t hi = std::min(nt, lo + BOX);
        const uint64_t hv = lo + ((hi - lo) & ~uint64_t{3});
        for (uint64_t i = lo; i < hv; i += 4) {
            const __m256d px = _mm256_loadu_pd(x + i);
            const __m256d py = _mm256_loadu_pd(y + i);
            __m256d all_left = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
            __m256d all_right = all_left;
            for (int k = 0; k < 4; ++k) {
                const __m256d l = _mm256_mul_pd(ex[k], _mm256_sub_pd(py, ay[k]));
                const __m256d r = _mm256_mul_pd(ey[k], _mm256_sub_pd(px, ax[k]));
                all_left = _mm256_and_pd(all_left, _mm256_cmp_pd(l, r, _CMP_GT_OQ));
                all_right = _mm256_and_pd(all_right, _mm256_cmp_pd(l, r, _CMP_LT_OQ));
            }
            const int drop = _mm256_movemask_pd(_mm256_or_pd(all_left, all_right));
            if (drop != 0xF) {
                for (int j = 0; j < 4; ++j) {
                    if (((drop >> j) & 1) == 0) out.push_back(Point{x[i + j], y[i + j]});
                }
            }
        }
        select_scalar(x, y, hv, hi, e, out);
    }
}
#endif

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

void directional_peaks_scalar(const Point* v, size_t n, double* out) {
    const AngleTable& t = angle_table();
    for (int k = 0; k < N_ANGLES; ++k) {
        const double c = t.cos[k];
        const double s = t.sin[k];
        double acc = 0.0;
        for (size_t i = 0; i < n; ++i) {
            const double pc = v[i].x * c;
            const double ps = v[i].y * s;
            const double r = std::fabs(pc + ps);
            acc = r > acc ? r : acc;  // a NaN operand is ignored
        }
        out[k] = acc;
    }
}

#ifdef GM_ROTD_AVX2
// Four angles per vector, twelve per sweep over the vertices.  The maximum
// does not depend on the order of its operands.
__attribute__((target("avx2"))) void directional_peaks_avx2(const Point* v, size_t n,
                                                            double* out) {
    const AngleTable& t = angle_table();
    const __m256d sign = _mm256_set1_pd(-0.0);
    constexpr int GROUP = 12;
    static_assert(N_ANGLES % GROUP == 0);
    for (int k0 = 0; k0 < N_ANGLES; k0 += GROUP) {
        const __m256d c0 = _mm256_load_pd(t.cos + k0);
        const __m256d c1 = _mm256_load_pd(t.cos + k0 + 4);
        const __m256d c2 = _mm256_load_pd(t.cos + k0 + 8);
        const __m256d s0 = _mm256_load_pd(t.sin + k0);
        const __m256d s1 = _mm256_load_pd(t.sin + k0 + 4);
        const __m256d s2 = _mm256_load_pd(t.sin + k0 + 8);
        __m256d a0 = _mm256_setzero_pd();
        __m256d a1 = _mm256_setzero_pd();
        __m256d a2 = _mm256_setzero_pd();
        for (size_t i = 0; i < n; ++i) {
            const __m256d vx = _mm256_set1_pd(v[i].x);
            const __m256d vy = _mm256_set1_pd(v[i].y);
            const __m256d r0 = _mm256_add_pd(_mm256_mul_pd(vx, c0), _mm256_mul_pd(vy, s0));
            const __m256d r1 = _mm256_add_pd(_mm256_mul_pd(vx, c1), _mm256_mul_pd(vy, s1));
            const __m256d r2 = _mm256_add_pd(_mm256_mul_pd(vx, c2), _mm256_mul_pd(vy, s2));
            // max(r, a) is r > a ? r : a, which ignores a NaN r
            a0 = _mm256_max_pd(_mm256_andnot_pd(sign, r0), a0);
            a1 = _mm256_max_pd(_mm256_andnot_pd(sign, r1), a1);
            a2 = _mm256_max_pd(_mm256_andnot_pd(sign, r2), a2);
        }
        _mm256_storeu_pd(out + k0, a0);
        _mm256_storeu_pd(out + k0 + 4, a1);
        _mm256_storeu_pd(out + k0 + 8, a2);
    }
}
#endif

}  // namespace

// ---------------------------------------------------------------------------
// Hull

Hull Hull::with_capacity(uint64_t nt) {
    Hull h;
    h.points_.reserve(nt);
    h.vertices_.reserve(256);
    return h;
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

    bool plain = false;
    if (!select_candidates(px, py, nt, plain)) return nan_peaks();
    build_hull(plain);

    Peaks out;
#ifdef GM_ROTD_AVX2
    if (have_avx2()) {
        directional_peaks_avx2(vertices_.data(), vertices_.size(), out.data());
        return out;
    }
#endif
    directional_peaks_scalar(vertices_.data(), vertices_.size(), out.data());
    return out;
}

bool Hull::select_candidates(const double* x, const double* y, uint64_t nt, bool& plain) {
    boxes_.resize((nt + BOX - 1) / BOX);
    const bool simd = have_avx2();
#ifdef GM_ROTD_AVX2
    const ScanFlags flags = simd ? scan_boxes_avx2(x, y, nt, boxes_.data())
                                 : scan_boxes_scalar(x, y, nt, boxes_.data());
#else
    (void)simd;
    const ScanFlags flags = scan_boxes_scalar(x, y, nt, boxes_.data());
#endif
    if (flags.non_finite != 0) return false;
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
#ifdef GM_ROTD_AVX2
    if (simd) {
        select_avx2(x, y, nt, boxes_.data(), edges, points_);
        return true;
    }
#endif
    for (uint64_t lo = 0, b = 0; lo < nt; lo += BOX, ++b) {
        if (!box_dropped(edges, boxes_[b])) {
            select_scalar(x, y, lo, std::min(nt, lo + BOX), edges, points_);
        }
    }
    return true;
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
    const double median = (from_total_order_key(low) + from_total_order_key(high)) * 0.5;
    return {peaks[kmin], median, peaks[kmax], static_cast<double>(kmin), static_cast<double>(kmax)};
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
