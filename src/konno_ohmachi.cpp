// Konno-Ohmachi smoothing on a uniform frequency grid that starts at zero.
//
// Bin i stands for the frequency i * df, so the window about bin c is a
// function of log10(i / c), taken as log_bins[i] - log_bins[c] from one table
// of logarithms per call.  Before normalisation the weight of bin i about c is
//
//     u(i, c) = (sin x / x)^4,   x = b * (log_bins[i] - log_bins[c]),
//
// with u(c, c) = 1, u(0, c) = u(c, 0) = 0 for c >= 1 and u(0, 0) = 1.  The
// window about c is u(., c) divided by its sum s_c.
//
// Cost.  A whole smoothing needs u at every pair of bins: n_bins^2 sines,
// and n_spectra * n_bins^2 multiply-adds to apply the windows.  Three things
// keep that small:
//
// * The sine is evaluated four lanes at a time, several vectors in flight
//   (`sin_block` below): a faithfully rounded sine (its error stays below one
//   unit in the last place, so it is never more than one unit from libm's),
//   odd bit for bit.  The difference of two table entries is
//   exactly antisymmetric and sin(x)/x is then exactly even, so u(i, c) and
//   u(c, i) are the same double: `smooth` computes each unordered pair once.
// * `smooth` works on square tiles of the unnormalised matrix U: the tile
//   (C, I) and its mirror (I, C) are applied to the whole batch as two small
//   matrix products, and the sums of every output bin are divided by s_c at
//   the end (the same quotient as weighting by u / s_c, up to rounding).
//   Working memory is two tiles, a packed block of spectra and a few
//   n_bins vectors, never n_bins^2.
// * `matrix_rows` computes each requested row on its own, in float64, so a
//   row does not depend on the band it is asked for in.
//
// Bits.  Every routine below is written once, as a template over V, the
// element type of the target `simd::dispatch` picked: double for the scalar
// target, four doubles (simd::f64x4) for the vector ones.  A value of V
// holds L = 1 or 4 consecutive elements, and where a routine sums in a fixed
// pattern of four lanes it keeps 4 / L values of V for them, so each
// element sees the same sequence of IEEE operations whatever the target,
// the lane or the position of a spectrum in its batch: no fused
// multiply-add, no reassociation, remainders padded into full vectors
// rather than taken through other code.  A row of `matrix_rows` is
// therefore the same in every band and on every target, and a spectrum
// smoothed alone equals the same spectrum smoothed within a batch.  `smooth`
// and `matrix_rows` share the weights u bit for bit; they sum them in
// different orders.
//
// The templates live in `kernel` and are always inlined; the hot loops are
// entered through `simd::dispatch` (the functions after `kernel`), so that
// each is compiled for the instruction set of the target that runs it.
#include "konno_ohmachi.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

#include "simd.hpp"

namespace gm {

namespace {

namespace kernel {

using simd::as_bits;
using simd::as_double;
using simd::Bits;
using simd::broadcast;
using simd::greater_equal;
using simd::lanes_of;
using simd::less;
using simd::PARTS;
using simd::splat_bits;
using simd::transpose_quad;

// ---------------------------------------------------------------------------
// Sine.
//
// x = k * pi/2 + r with k = round(|x| * 2/pi) and |r| <= pi/4 (a hair
// more where the rounding of |x| * 2/pi lands on the other side).  pi/2 is
// a 33-bit head, whose product with k < 2^20 is exact, plus a 53-bit tail;
// the reduced argument comes out as an unevaluated pair y0 + y1.  The
// polynomials on |r| <= pi/4 are the classic minimax ones with the low part
// folded in.  Lanes that this cannot reduce accurately (|x| >= 1e6, NaN or
// infinite, or |x| within k * 2^-23 of k * pi/2) are handed to libm's sin
// one by one: a handful per million.  Every lane is computed for |x| and
// the sign of x applied at the end, so the result is odd bit for bit.
// ---------------------------------------------------------------------------

constexpr double SINE_REDUCE_MAX = 1.0e6;           // keeps k below 2^20
constexpr double TWO_OVER_PI = 0x1.45f306dc9c883p-1;
constexpr double PIO2_1 = 0x1.921fb544p0;            // first 33 bits of pi/2
constexpr double PIO2_1T = 0x1.0b4611a626331p-34;    // the next 53 bits
constexpr int64_t CLOSE_TO_AXIS_EXPONENT = int64_t{23} << 52;  // 2^-23: see sin_block
constexpr double ROUNDER = 0x1.8p52;                 // adding it rounds to an integer

constexpr double S1 = -1.66666666666666324348e-01;
constexpr double S2 = 8.33333333332248946124e-03;
constexpr double S3 = -1.98412698298579493134e-04;
constexpr double S4 = 2.75573137070700676789e-06;
constexpr double S5 = -2.50507602534068634195e-08;
constexpr double S6 = 1.58969099521155010221e-10;

constexpr double C1 = 4.16666666666666019037e-02;
constexpr double C2 = -1.38888888888741095749e-03;
constexpr double C3 = 2.48015872894767294178e-05;
constexpr double C4 = -2.75573143513906633035e-07;
constexpr double C5 = 2.08757232129817482790e-09;
constexpr double C6 = -1.13596475577881948265e-11;

constexpr int64_t SIGN_BIT = static_cast<int64_t>(0x8000000000000000ULL);
constexpr size_t SINE_BLOCK = 4;  // values of V whose sines are in flight

// Lane by lane, the constant a where the mask is set and b elsewhere.
template <class V>
GM_INLINE V pick_constant(Bits<V> mask, double a, double b) {
    return simd::select(mask, simd::splat<V>(a), simd::splat<V>(b));
}

// sin of U values of V at once.  The steps of one value form a long chain of
// dependent operations; running U independent chains side by side, step by
// step, keeps the floating-point units busy.  Each lane's operations are the
// same whatever U and V.
template <class V, size_t U>
GM_INLINE void sin_block(const V (&x)[U], V (&out)[U]) {
    using simd::splat;
    using I = Bits<V>;
    constexpr size_t L = lanes_of<V>;
    I sign[U], quadrant[U];
    V ax[U], fn[U], y0[U], y1[U], z[U];
#pragma GCC unroll 8
    for (size_t u = 0; u < U; ++u) {
        sign[u] = as_bits(x[u]) & splat_bits<V>(SIGN_BIT);
        ax[u] = as_double<V>(as_bits(x[u]) & ~splat_bits<V>(SIGN_BIT));
        const V t = ax[u] * splat<V>(TWO_OVER_PI) + splat<V>(ROUNDER);
        fn[u] = t - splat<V>(ROUNDER);
        quadrant[u] = as_bits(t);  // low bits hold k
    }
    // ax - fn * pi/2 as y0 + y1: fn * PIO2_1 is exact and so is r1, and
    // y0 + y1 = r1 - fn * PIO2_1T exactly (|r1| > |fn * PIO2_1T| wherever
    // the result is kept).  PIO2_1 + PIO2_1T is pi/2 to 86 bits, so the
    // pair is within fn * 2^-86 of the true reduced argument: relative
    // error below 2^-63 unless |y0| < fn * 2^-23, which happens only within
    // that distance of a multiple of pi/2; such lanes go to libm.
#pragma GCC unroll 8
    for (size_t u = 0; u < U; ++u) {
        const V r1 = ax[u] - fn[u] * splat<V>(PIO2_1);
        const V w = fn[u] * splat<V>(PIO2_1T);
        y0[u] = r1 - w;
        y1[u] = (r1 - y0[u]) - w;
        z[u] = y0[u] * y0[u];
    }
#pragma GCC unroll 8
    for (size_t u = 0; u < U; ++u) {
        const V zz = z[u], a = y0[u], b = y1[u];
        // With h = 1 - z/2: for even k, sin(a + b) = a + (z a Q + b h), Q the
        // sine polynomial; for odd k, cos(a + b) = h + (((1 - h) - z/2) +
        // (z z Q - a b)), Q the cosine polynomial.  One polynomial per lane,
        // its coefficients chosen by the parity of k.
        const I odd = -(quadrant[u] & splat_bits<V>(1));
        const V q =
            pick_constant<V>(odd, C1, S1) +
            zz * (pick_constant<V>(odd, C2, S2) +
                  zz * (pick_constant<V>(odd, C3, S3) +
                        zz * (pick_constant<V>(odd, C4, S4) +
                              zz * (pick_constant<V>(odd, C5, S5) +
                                    zz * pick_constant<V>(odd, C6, S6)))));
        const V hz = splat<V>(0.5) * zz;
        const V h = splat<V>(1.0) - hz;
        const V head = simd::select(odd, h, a);
        const V carry = as_double<V>(as_bits((splat<V>(1.0) - h) - hz) & odd);
        const V tail = simd::select(odd, -a, h) * b;
        const V f = head + (carry + ((zz * simd::select(odd, zz, a)) * q + tail));
        // k mod 4 = 2 or 3: the negative.
        const I negate = (quadrant[u] & splat_bits<V>(2)) << 62;
        out[u] = as_double<V>(as_bits(f) ^ negate ^ sign[u]);
    }
    I reduced[U], any_left = splat_bits<V>(0);
#pragma GCC unroll 8
    for (size_t u = 0; u < U; ++u) {
        const V ay0 = simd::abs(y0[u]);
        // fn * 2^-23, exactly, by the exponent (fn is a whole number below
        // 2^20; for fn = 0 this gives a negative number, for NaN a NaN).
        const V close = as_double<V>(as_bits(fn[u]) - splat_bits<V>(CLOSE_TO_AXIS_EXPONENT));
        reduced[u] = less(ax[u], splat<V>(SINE_REDUCE_MAX)) & greater_equal(ay0, close);
        any_left |= ~reduced[u];
    }
    if (simd::any(any_left)) {
        for (size_t u = 0; u < U; ++u) {
            int64_t done[L], sign_lanes[L];
            double ax_lanes[L], out_lanes[L];
            simd::store(done, reduced[u]);
            simd::store(sign_lanes, sign[u]);
            simd::store(ax_lanes, ax[u]);
            simd::store(out_lanes, out[u]);
            for (size_t lane = 0; lane < L; ++lane) {
                if (done[lane] == 0) {
                    const double s = std::sin(ax_lanes[lane]);
                    out_lanes[lane] =
                        std::bit_cast<double>(std::bit_cast<int64_t>(s) ^ sign_lanes[lane]);
                }
            }
            out[u] = simd::load<V>(out_lanes);
        }
    }
}

// Unnormalised weights (sin x / x)^4 of U values of V of bins with log10
// `li` about a centre with log10 `lc`.
template <class V, size_t U>
GM_INLINE void weight_block(const double* li, V lc, V b, double* out) {
    constexpr size_t L = lanes_of<V>;
    V x[U], s[U];
#pragma GCC unroll 8
    for (size_t u = 0; u < U; ++u) x[u] = b * (simd::load<V>(li + u * L) - lc);
    sin_block<V, U>(x, s);
#pragma GCC unroll 8
    for (size_t u = 0; u < U; ++u) {
        const V q = s[u] / x[u];
        const V q2 = q * q;
        simd::store(out + u * L, q2 * q2);
    }
}

// out[k] = u for the bins whose logarithms are log_i[0..count) about a centre
// with logarithm lc.  The last partial vector is padded with the centre
// itself (a lane that is computed and dropped), so every weight takes the
// same path.
template <class V>
GM_INLINE void weights(const double* log_i, size_t count, double lc, double b, double* out) {
    constexpr size_t U = SINE_BLOCK, L = lanes_of<V>;
    const V vlc = simd::splat<V>(lc), vb = simd::splat<V>(b);
    size_t k = 0;
    for (; k + U * L <= count; k += U * L) weight_block<V, U>(log_i + k, vlc, vb, out + k);
    for (; k + L <= count; k += L) weight_block<V, 1>(log_i + k, vlc, vb, out + k);
    if (k < count) {
        double pad[L], res[L];
        const size_t m = count - k;
        std::fill(pad, pad + L, lc);
        std::memcpy(pad, log_i + k, m * sizeof(double));
        weight_block<V, 1>(pad, vlc, vb, res);
        std::memcpy(out + k, res, m * sizeof(double));
    }
}

// Weights of one bin about centres, centres in the lanes.
//
// x = b (log10 f - log10 f_c) as in `weight_block`.  Where |x| < NEAR the
// sine is that of `sin_block`.  Farther out it comes from the angles of the
// bin and of the centre alone, sin(y - y_c) = sin y cos y_c - cos y sin y_c
// with y = b log10 f: two products per weight against a reduction and a
// polynomial.  That sine is off by a few units of |y| * 2^-53 (about 1e-13
// for y = 400) where x is, and with it the weight (sin x / x)^4 by at most
// 4 * 1e-13 / NEAR^4 = 1e-16: less than the rounding of x itself moves it.
// Which sine a weight takes depends on its own x alone, never on its lane.
constexpr double NEAR = 8.0;

struct Angles {
    const double* sin;
    const double* cos;
};

template <class V, size_t U>
GM_INLINE void across_block(V li, V si, V ci, const double* lc, Angles centre, V b, double* out) {
    constexpr size_t L = lanes_of<V>;
    V x[U], s[U];
    Bits<V> near[U], any_near = simd::splat_bits<V>(0);
#pragma GCC unroll 8
    for (size_t u = 0; u < U; ++u) {
        x[u] = b * (li - simd::load<V>(lc + u * L));
        s[u] = si * simd::load<V>(centre.cos + u * L) - ci * simd::load<V>(centre.sin + u * L);
        near[u] = less(simd::abs(x[u]), simd::splat<V>(NEAR));
        any_near |= near[u];
    }
    if (simd::any(any_near)) {
        for (size_t u = 0; u < U; ++u) {
            if (!simd::any(near[u])) continue;
            const V in[1] = {x[u]};
            V direct[1];
            sin_block<V, 1>(in, direct);
            s[u] = simd::select(near[u], direct[0], s[u]);
        }
    }
#pragma GCC unroll 8
    for (size_t u = 0; u < U; ++u) {
        const V q = s[u] / x[u];
        const V q2 = q * q;
        const auto on_bin = greater_equal(simd::splat<V>(0.0), simd::abs(x[u]));
        simd::store(out + u * L, simd::select(on_bin, simd::splat<V>(1.0), q2 * q2));
    }
}

// w[k][j] for the bins log_i[0..rows) (angles `bin`) and the centres
// log_c[0..cols) (angles `centre`), rows of w `ld` apart; cols is a
// multiple of the lanes and the centre arrays hold them all.
template <class V>
GM_INLINE void across_tile(const double* log_i, Angles bin, size_t rows, const double* log_c,
                           Angles centre, size_t cols, size_t ld, double b, double* w) {
    constexpr size_t U = SINE_BLOCK, L = lanes_of<V>;
    const V vb = simd::splat<V>(b);
    for (size_t k = 0; k < rows; ++k) {
        const V li = simd::splat<V>(log_i[k]);
        const V si = simd::splat<V>(bin.sin[k]), ci = simd::splat<V>(bin.cos[k]);
        double* row = w + k * ld;
        size_t j = 0;
        for (; j + U * L <= cols; j += U * L) {
            across_block<V, U>(li, si, ci, log_c + j, {centre.sin + j, centre.cos + j}, vb,
                               row + j);
        }
        for (; j < cols; j += L) {
            across_block<V, 1>(li, si, ci, log_c + j, {centre.sin + j, centre.cos + j}, vb,
                               row + j);
        }
    }
}

template <class V>
GM_INLINE void sine_array(const double* x, size_t count, double* out) {
    constexpr size_t L = lanes_of<V>;
    size_t k = 0;
    for (; k + L <= count; k += L) {
        V in[1] = {simd::load<V>(x + k)}, res[1];
        sin_block<V, 1>(in, res);
        simd::store(out + k, res[0]);
    }
    if (k < count) {
        double pad[L] = {}, res_lanes[L];
        const size_t m = count - k;
        std::memcpy(pad, x + k, m * sizeof(double));
        V in[1] = {simd::load<V>(pad)}, res[1];
        sin_block<V, 1>(in, res);
        simd::store(res_lanes, res[0]);
        std::memcpy(out + k, res_lanes, m * sizeof(double));
    }
}

// Sum of w[0..n) in a fixed order: eight running lanes, then the lanes
// pairwise, then the remainder in sequence.
template <class V>
GM_INLINE double fixed_sum(const double* w, size_t n) {
    constexpr size_t L = lanes_of<V>, P = PARTS<V>;
    V a0[P], a1[P];
    for (size_t p = 0; p < P; ++p) a0[p] = a1[p] = simd::splat<V>(0.0);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        for (size_t p = 0; p < P; ++p) a0[p] += simd::load<V>(w + i + p * L);
        for (size_t p = 0; p < P; ++p) a1[p] += simd::load<V>(w + i + 4 + p * L);
    }
    if (i + 4 <= n) {
        for (size_t p = 0; p < P; ++p) a0[p] += simd::load<V>(w + i + p * L);
        i += 4;
    }
    double a[4];
    for (size_t p = 0; p < P; ++p) simd::store(a + p * L, a0[p] + a1[p]);
    double s = (a[0] + a[1]) + (a[2] + a[3]);
    for (; i < n; ++i) s += w[i];
    return s;
}

// w[i] = w[i] / s: a division for every entry.
template <class V>
GM_INLINE void divide_by(double* w, size_t n, double s) {
    constexpr size_t L = lanes_of<V>;
    const V vs = simd::splat<V>(s);
    size_t i = 0;
    for (; i + L <= n; i += L) simd::store(w + i, simd::load<V>(w + i) / vs);
    for (; i < n; ++i) w[i] = w[i] / s;
}

// Nearest-even float32 of every entry.
template <class V>
GM_INLINE void to_float32(const double* w, size_t n, float* out) {
    size_t i = 0;
    if constexpr (lanes_of<V> == 4) {
        for (; i + 4 <= n; i += 4) {
            simd::store(out + i, __builtin_convertvector(simd::load<V>(w + i), simd::f32x4));
        }
    }
    for (; i < n; ++i) out[i] = static_cast<float>(w[i]);
}

// The window about c (c < window size = table size), normalised.
template <class V>
GM_INLINE void normalised_window(uint64_t c, const double* log_bins, double* window, size_t n,
                                 double bandwidth) {
    if (c == 0) {
        std::fill(window, window + n, 0.0);
        window[0] = 1.0;
        return;
    }
    // Every bin but 0 by the formula (the centre's 0/0 is overwritten next).
    weights<V>(log_bins + 1, n - 1, log_bins[c], bandwidth, window + 1);
    window[c] = 1.0;
    window[0] = 0.0;
    const double s = fixed_sum<V>(window, n);
    divide_by<V>(window, n, s);
}

// ---------------------------------------------------------------------------
// Tiled application for `smooth`.
//
// The bins are cut into tiles of T bins (T a multiple of 16).  For a pair of
// tiles C <= I the block u[c][i] = U[C + c][I + i] is computed once, row by
// row, into a row-major T x T buffer (zero past the last bin), transposed
// into ut (a few moves per weight, against a sine per weight), and applied
// twice, to every spectrum of the batch:
//   outputs C from inputs I:  Y[s][C + c] (+)= sum_i X[s][I + i] * ut[i][c]
//   outputs I from inputs C:  Y[s][I + i] (+)= sum_c X[s][C + c] * u[c][i]
// Both are the same product (`product`): output bins in the lanes, a few
// spectra in registers, one input bin per step.  The partial sum of an
// output over a tile runs over the tile's input bins in order from -0.0
// (the additive identity) and is then stored (the first contribution to that
// output) or added to it, tile pairs in a fixed order.  So the arithmetic of
// an output depends on the number of bins alone: never on the lane, on the
// other spectra of the batch or on the target.
// ---------------------------------------------------------------------------

constexpr size_t TILE = 128;  // bins per tile (a multiple of 16)
constexpr size_t GROUP = 5;   // spectra per product call
constexpr size_t PANEL = 8;   // output bins per product call
constexpr size_t CHUNK = 100; // spectra packed at a time (a multiple of GROUP)
constexpr size_t PREFETCH_ROWS = 4;

// y[r][j] (+)= sum over k < K of xp[k][r] * a[k][j], for r < R and the
// ncols <= PANEL output bins j (rows of a `lda` apart, rows of y `ldy`
// apart), in values of V = simd::native<Tag>.
template <class Tag, size_t R>
GM_INLINE void product(const double* xp, const double* a, size_t lda, size_t K, double* y,
                       size_t ldy, size_t ncols, bool first) {
    using V = simd::native<Tag>;
    constexpr size_t L = lanes_of<V>, N = PANEL / L;
    V acc[R][N];
    for (size_t r = 0; r < R; ++r)
        for (size_t v = 0; v < N; ++v) acc[r][v] = simd::splat<V>(-0.0);
    for (size_t k = 0; k < K; ++k) {
        V av[N];
        for (size_t v = 0; v < N; ++v) av[v] = simd::load<V>(a + k * lda + v * L);
        for (size_t r = 0; r < R; ++r) {
            const V xb = broadcast<Tag>(xp[k * R + r]);
            for (size_t v = 0; v < N; ++v) acc[r][v] += xb * av[v];
        }
    }
    for (size_t r = 0; r < R; ++r) {
        double* yr = y + r * ldy;
        if (ncols == PANEL) {
            for (size_t v = 0; v < N; ++v) {
                simd::store(yr + v * L,
                            first ? acc[r][v] : simd::load<V>(yr + v * L) + acc[r][v]);
            }
        } else {
            double tmp[PANEL];
            for (size_t v = 0; v < N; ++v) simd::store(tmp + v * L, acc[r][v]);
            for (size_t j = 0; j < ncols; ++j) yr[j] = first ? tmp[j] : yr[j] + tmp[j];
        }
    }
}

// Packs rows s0..s0+rows, columns j0..j0+K of the batch into xp: groups of
// GROUP spectra (the last one shorter), group g at xp + g * GROUP * K laid
// out as [k][r].  A spectrum with a scale other than 1 (see `smooth`) is
// multiplied by it on the way.
void pack(const View2D& x, size_t s0, size_t rows, size_t j0, size_t K, const double* scale,
          double* xp) {
    for (size_t r = 0; r < rows; ++r) {
        const size_t g = r / GROUP, R = std::min(GROUP, rows - g * GROUP);
        double* dst = xp + g * GROUP * K + r % GROUP;
        const char* row = x.data + static_cast<int64_t>(s0 + r) * x.stride0 +
                          static_cast<int64_t>(j0) * x.stride1;
        // Rows lie far apart: ask for a later row's segment while copying.
        if (r + PREFETCH_ROWS < rows) {
            const char* ahead = row + static_cast<int64_t>(PREFETCH_ROWS) * x.stride0;
            for (size_t k = 0; k < K; k += 8) {
                __builtin_prefetch(ahead + static_cast<int64_t>(k) * x.stride1);
            }
        }
        // memcpy: the caller's array need not be aligned.
        for (size_t k = 0; k < K; ++k) {
            std::memcpy(dst + k * R, row + static_cast<int64_t>(k) * x.stride1, sizeof(double));
        }
        if (scale[s0 + r] != 1.0) {
            for (size_t k = 0; k < K; ++k) dst[k * R] *= scale[s0 + r];
        }
    }
}

// y[s][j] (+)= sum over k < K of x[s][j0 + k] * a[k][j] for every spectrum s
// of the batch and the output bins j < outputs; y has row stride ldy.
// The batch goes through in chunks of CHUNK spectra packed into xp; a
// chunk is applied panel by panel (PANEL output bins), so that a panel of a
// stays at hand for every group of the chunk.
template <class Tag>
GM_INLINE void apply_tile(const View2D& x, const double* scale, size_t j0, const double* a,
                          size_t lda, size_t K, size_t outputs, double* y, size_t ldy, bool first,
                          double* xp) {
    for (size_t s0 = 0; s0 < x.rows; s0 += CHUNK) {
        const size_t rows = std::min(CHUNK, x.rows - s0);
        pack(x, s0, rows, j0, K, scale, xp);
        for (size_t j = 0; j < outputs; j += PANEL) {
            const size_t ncols = std::min(PANEL, outputs - j);
            for (size_t g = 0; g * GROUP < rows; ++g) {
                const double* xg = xp + g * GROUP * K;
                double* yg = y + (s0 + g * GROUP) * ldy + j;
                // The next group's outputs, one row stride apart each.
                for (size_t r = GROUP; r < 2 * GROUP && g * GROUP + r < rows; ++r) {
                    __builtin_prefetch(yg + r * ldy);
                    __builtin_prefetch(yg + r * ldy + PANEL - 1);
                }
                switch (std::min(GROUP, rows - g * GROUP)) {
                    case 5: product<Tag, 5>(xg, a + j, lda, K, yg, ldy, ncols, first); break;
                    case 4: product<Tag, 4>(xg, a + j, lda, K, yg, ldy, ncols, first); break;
                    case 3: product<Tag, 3>(xg, a + j, lda, K, yg, ldy, ncols, first); break;
                    case 2: product<Tag, 2>(xg, a + j, lda, K, yg, ldy, ncols, first); break;
                    default: product<Tag, 1>(xg, a + j, lda, K, yg, ldy, ncols, first); break;
                }
            }
        }
    }
}

// ut = transpose of u, both T x T with rows ld apart (T a multiple of 4),
// and on the way sums_u[j] += sum over k of u[k][j] for j < cols_u and
// sums_ut[j] += sum over k of ut[k][j] for j < cols_ut, each in order of k.
// Blocks of four rows by four columns; in[p][j] is part p of row j.
template <class V>
GM_INLINE void transpose(const double* u, size_t T, size_t ld, double* ut, size_t cols_u,
                         double* sums_u, size_t cols_ut, double* sums_ut) {
    constexpr size_t L = lanes_of<V>, P = PARTS<V>;
    V acc_u[TILE / L], acc_ut[TILE / L];
    for (size_t v = 0; v < T / L; ++v) acc_u[v] = acc_ut[v] = simd::splat<V>(0.0);
    for (size_t r = 0; r < T; r += 4) {
        V* row_sums = acc_ut + r / L;
        for (size_t c = 0; c < T; c += 4) {
            V in[P][4], out[P][4];
            for (size_t j = 0; j < 4; ++j) {
                const double* row = u + (r + j) * ld + c;
                for (size_t p = 0; p < P; ++p) in[p][j] = simd::load<V>(row + p * L);
            }
            V* column_sums = acc_u + c / L;
            for (size_t j = 0; j < 4; ++j)
                for (size_t p = 0; p < P; ++p) column_sums[p] += in[p][j];
            transpose_quad<V>(in, out);
            for (size_t i = 0; i < 4; ++i)
                for (size_t p = 0; p < P; ++p) row_sums[p] += out[p][i];
            for (size_t i = 0; i < 4; ++i) {
                double* row = ut + (c + i) * ld + r;
                for (size_t p = 0; p < P; ++p) simd::store(row + p * L, out[p][i]);
            }
        }
    }
    double lanes[TILE];
    std::memcpy(lanes, acc_u, T * sizeof(double));
    for (size_t j = 0; j < cols_u; ++j) sums_u[j] += lanes[j];
    std::memcpy(lanes, acc_ut, T * sizeof(double));
    for (size_t j = 0; j < cols_ut; ++j) sums_ut[j] += lanes[j];
}

// sums[j] += sum over k of a[k][j] for j < cols (cols <= TILE): the rows
// of a (T of them, ld apart) added in order, L columns per value of V.
template <class V>
GM_INLINE void column_sums(const double* a, size_t T, size_t ld, size_t cols, double* sums) {
    constexpr size_t L = lanes_of<V>;
    V acc[TILE / L];
    const size_t values = (cols + L - 1) / L;
    for (size_t v = 0; v < values; ++v) acc[v] = simd::splat<V>(0.0);
    for (size_t k = 0; k < T; ++k) {
        for (size_t v = 0; v < values; ++v) acc[v] += simd::load<V>(a + k * ld + v * L);
    }
    double lanes[TILE];
    std::memcpy(lanes, acc, values * L * sizeof(double));
    for (size_t j = 0; j < cols; ++j) sums[j] += lanes[j];
}

// Y[r][c] = Y[r][c] / sums[c] over a (rows, n) C-ordered block.
template <class V>
GM_INLINE void normalise(double* y, size_t rows, size_t n, const double* sums) {
    constexpr size_t L = lanes_of<V>;
    for (size_t r = 0; r < rows; ++r) {
        double* yr = y + r * n;
        size_t c = 0;
        for (; c + L <= n; c += L) {
            simd::store(yr + c, simd::load<V>(yr + c) / simd::load<V>(sums + c));
        }
        for (; c < n; ++c) yr[c] = yr[c] / sums[c];
    }
}

}  // namespace kernel

using kernel::CHUNK;
using kernel::TILE;

// ---------------------------------------------------------------------------
// The routines above on the target of this process.  Each dispatch is a
// function of its own, compiled for the target's instruction set, with the
// routine inlined into it; the boundaries are those of the hot loops, so
// that a routine's constants stay in registers or next to its code.

void weights(const double* log_i, size_t count, double lc, double b, double* out) {
    simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
        kernel::weights<typename decltype(tag)::f64>(log_i, count, lc, b, out);
    });
}

void across_tile(const double* log_i, kernel::Angles bin, size_t rows, const double* log_c,
                 kernel::Angles centre, size_t cols, size_t ld, double b, double* w) {
    simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
        kernel::across_tile<typename decltype(tag)::f64>(log_i, bin, rows, log_c, centre, cols,
                                                         ld, b, w);
    });
}

void apply_tile(const View2D& x, const double* scale, size_t j0, const double* a, size_t lda,
                size_t K, size_t outputs, double* y, size_t ldy, bool first, double* xp) {
    simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
        kernel::apply_tile<decltype(tag)>(x, scale, j0, a, lda, K, outputs, y, ldy, first, xp);
    });
}

void transpose(const double* u, size_t T, size_t ld, double* ut, size_t cols_u, double* sums_u,
               size_t cols_ut, double* sums_ut) {
    simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
        kernel::transpose<simd::native<decltype(tag)>>(u, T, ld, ut, cols_u, sums_u, cols_ut,
                                                       sums_ut);
    });
}

void column_sums(const double* a, size_t T, size_t ld, size_t cols, double* sums) {
    simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
        kernel::column_sums<simd::native<decltype(tag)>>(a, T, ld, cols, sums);
    });
}

void normalise(double* y, size_t rows, size_t n, const double* sums) {
    simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
        kernel::normalise<simd::native<decltype(tag)>>(y, rows, n, sums);
    });
}

// A float64 buffer of n entries; sizes that cannot be represented are an
// allocation failure like any other.
std::vector<double> buffer(uint64_t n) {
    std::vector<double> v;
    if (n > v.max_size()) throw std::bad_alloc();
    v.resize(static_cast<size_t>(n));
    return v;
}

// The outputs are sums of unnormalised weights (each at most 1, their total
// at most n_bins) times the inputs, divided by that total at the end.  A
// spectrum large enough for such a sum to overflow is scaled down by a power
// of two on the way in (the returned scale) and back up at the end (`unscale`).
int headroom_of(uint64_t n_bins) { return std::bit_width(n_bins) + 1; }

std::vector<double> overflow_scales(const View2D& spectra, int headroom) {
    const double limit = std::ldexp(1.0, 1023 - headroom);
    std::vector<double> scale(spectra.rows, 1.0);
    for (uint64_t s = 0; s < spectra.rows; ++s) {
        const Row row = spectra.row(s);
        for (uint64_t k = 0; k < row.len; ++k) {
            const double v = row[k];
            if (std::fabs(v) >= limit && std::fabs(v) <= DBL_MAX) {
                scale[s] = std::ldexp(1.0, -headroom);
                break;
            }
        }
    }
    return scale;
}

void unscale(double* y, size_t rows, size_t cols, const std::vector<double>& scale, int headroom) {
    const double up = std::ldexp(1.0, headroom);
    for (size_t s = 0; s < rows; ++s) {
        if (scale[s] == 1.0) continue;
        for (size_t k = 0; k < cols; ++k) y[s * cols + k] *= up;
    }
}

// u[c][i] = U[c0 + c][i0 + i] for a pair of tiles c0 <= i0, rows ld apart,
// zero past the last bin.  On the diagonal the upper triangle is computed
// and mirrored.
void build_tile(const double* log_bins, size_t n, size_t T, size_t ld, double b, size_t c0,
                size_t i0, double* u) {
    const size_t vc = std::min(T, n - c0), vi = std::min(T, n - i0);
    if (vc < T || vi < T) std::fill(u, u + T * ld, 0.0);
    if (c0 == i0) {
        for (size_t c = 0; c < vc; ++c) {
            const size_t gc = c0 + c, count = vc - c - 1;
            double* row = u + c * ld;
            if (gc == 0) {
                std::fill(row + 1, row + 1 + count, 0.0);
            } else if (count > 0) {
                weights(log_bins + gc + 1, count, log_bins[gc], b, row + c + 1);
            }
            row[c] = 1.0;
            for (size_t i = c + 1; i < vc; ++i) u[i * ld + c] = row[i];
        }
    } else {
        // i0 > c0 >= 0, so bin 0 can only be a centre here: its row is 0.
        for (size_t c = 0; c < vc; ++c) {
            const size_t gc = c0 + c;
            if (gc == 0) {
                std::fill(u, u + vi, 0.0);
            } else {
                weights(log_bins + i0, vi, log_bins[gc], b, u + c * ld);
            }
        }
    }
}

}  // namespace

std::vector<double> log_bins(uint64_t n_bins) {
    std::vector<double> table = buffer(n_bins);
    for (uint64_t i = 0; i < n_bins; ++i) table[i] = std::log10(static_cast<double>(i));
    return table;
}

void sine(std::span<const double> x, std::span<double> out) {
    if (x.size() != out.size()) panic_not_equal("sine output length", out.size(), x.size());
    simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
        kernel::sine_array<typename decltype(tag)::f64>(x.data(), x.size(), out.data());
    });
}

void smoothing_window(uint64_t c, std::span<const double> log_bins, std::span<double> window,
                      double bandwidth) {
    const size_t n = window.size();
    if (c == 0 && n == 0) panic("centre bin 0 is past an empty window");
    if (c != 0 && c >= log_bins.size()) {
        panic("centre bin " + std::to_string(c) + " is past the " +
              std::to_string(log_bins.size()) + " bins of the table");
    }
    if (c != 0 && n != log_bins.size()) panic_not_equal("window length", n, log_bins.size());
    simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
        kernel::normalised_window<typename decltype(tag)::f64>(c, log_bins.data(), window.data(),
                                                               n, bandwidth);
    });
}

OwnedArray matrix_rows(uint64_t n_bins, double bandwidth, uint64_t start, uint64_t stop) {
    if (start > stop) {
        panic("start " + std::to_string(start) + " is past stop " + std::to_string(stop));
    }
    if (stop > n_bins) {
        panic("stop " + std::to_string(stop) + " is past n_bins " + std::to_string(n_bins));
    }
    const std::vector<double> table = log_bins(n_bins);
    OwnedArray result(Dtype::F32, {stop - start, n_bins});
    std::vector<double> row = buffer(n_bins);
    float* out = result.f32();
    for (uint64_t c = start; c < stop; ++c) {
        simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
            using V = typename decltype(tag)::f64;
            kernel::normalised_window<V>(c, table.data(), row.data(), n_bins, bandwidth);
            kernel::to_float32<V>(row.data(), n_bins, out + (c - start) * n_bins);
        });
    }
    return result;
}

OwnedArray smooth(const View2D& spectra, double bandwidth) {
    const uint64_t n_spectra = spectra.rows, n_bins = spectra.cols;
    OwnedArray result(Dtype::F64, {n_spectra, n_bins});
    if (n_spectra == 0 || n_bins == 0) return result;

    const size_t n = n_bins, m = n_spectra;
    const std::vector<double> table = log_bins(n);
    const size_t T = std::min(TILE, (n + 15) / 16 * 16);
    // Rows of a tile a little more than a power of two apart, so that a
    // column walk spreads over the cache sets.
    const size_t ld = T + 8;
    const size_t n_tiles = (n + T - 1) / T;

    std::vector<double> u(T * ld), ut(T * ld), sums(n, 0.0), packed(std::min(m, CHUNK) * T);
    std::vector<char> touched(n_tiles, 0);
    double* y = result.f64();

    const int headroom = headroom_of(n);
    const std::vector<double> scale = overflow_scales(spectra, headroom);

    for (size_t tc = 0; tc < n_tiles; ++tc) {
        for (size_t ti = tc; ti < n_tiles; ++ti) {
            const size_t c0 = tc * T, i0 = ti * T;
            const size_t vc = std::min(T, n - c0), vi = std::min(T, n - i0);
            const bool diagonal = ti == tc;
            build_tile(table.data(), n, T, ld, bandwidth, c0, i0, u.data());
            // The sums of the rows of u (for the bins C) are those of the
            // columns of ut; those of the columns of u are for the bins I.
            // On the diagonal u is its own transpose.
            if (diagonal) {
                column_sums(u.data(), T, ld, vc, sums.data() + c0);
            } else {
                transpose(u.data(), T, ld, ut.data(), vi, sums.data() + i0, vc, sums.data() + c0);
            }
            // Outputs C from inputs I, then outputs I from inputs C.
            apply_tile(spectra, scale.data(), i0, diagonal ? u.data() : ut.data(), ld, vi, vc,
                       y + c0, n, !touched[tc], packed.data());
            if (!diagonal) {
                apply_tile(spectra, scale.data(), c0, u.data(), ld, vc, vi, y + i0, n,
                           !touched[ti], packed.data());
            }
            touched[tc] = 1;
            touched[ti] = 1;
        }
    }
    normalise(y, m, n, sums.data());
    unscale(y, m, n, scale, headroom);
    return result;
}

// Onto any centres.  The bins (after a 0 Hz one, which takes no part) are
// cut into tiles of ONTO_BINS; for every block of up to TILE centres and
// every tile, the weights w[k][j] of the tile's bins about the block's
// centres are computed once, centres in the lanes, summed into the
// normalising totals and applied to the whole batch by the product of
// `smooth`.  Working memory: one tile of weights and one packed block of
// spectra, whatever the number of spectra, bins or centres.
constexpr size_t ONTO_BINS = 64;

OwnedArray smooth_onto(const View2D& spectra, const View2D& frequencies, const View2D& centres,
                       double bandwidth) {
    const uint64_t m = spectra.rows, n = spectra.cols, n_c = centres.cols;
    OwnedArray result(Dtype::F64, {m, n_c});
    if (m == 0 || n_c == 0) return result;
    if (frequencies.rows != 1) panic_not_equal("frequency rows", frequencies.rows, 1);
    if (centres.rows != 1) panic_not_equal("centre rows", centres.rows, 1);
    if (frequencies.cols != n) panic_not_equal("frequencies", frequencies.cols, n);

    const size_t first = (n > 0 && frequencies.at(0, 0) == 0.0) ? 1 : 0;
    // Centres padded with the last one to whole panels (computed, dropped);
    // their logarithms and the sines and cosines of their angles y = b log10 f
    // (cos y = sin(y + pi/2)).
    const size_t padded = (n_c + kernel::PANEL - 1) / kernel::PANEL * kernel::PANEL;
    std::vector<double> log_c = buffer(padded), centre_trig = buffer(2 * padded);
    for (size_t j = 0; j < padded; ++j) {
        log_c[j] = std::log10(centres.at(0, std::min(j, n_c - 1)));
        centre_trig[j] = bandwidth * log_c[j];
        centre_trig[padded + j] = centre_trig[j] + M_PI_2;
    }
    sine(centre_trig, centre_trig);
    // The same for one tile of bins at a time: working memory stays a tile's,
    // whatever the number of bins.
    double log_i[ONTO_BINS], bin_trig[2 * ONTO_BINS];

    // Up to two panels' worth of centres per block (one block for up to 256
    // centres, so that each bin's logarithm and angle are taken once).
    const size_t block = std::min<size_t>(2 * TILE, padded);
    std::vector<double> w = buffer(ONTO_BINS * block), sums(n_c, 0.0),
                        packed = buffer(std::min<size_t>(m, CHUNK) * ONTO_BINS);
    const int headroom = headroom_of(n);
    const std::vector<double> scale = overflow_scales(spectra, headroom);
    double* y = result.f64();
    for (size_t c0 = 0; c0 < n_c; c0 += block) {
        const size_t cols = std::min<size_t>(block, n_c - c0);
        const size_t ld = (cols + kernel::PANEL - 1) / kernel::PANEL * kernel::PANEL;
        for (size_t i0 = first; i0 < n; i0 += ONTO_BINS) {
            const size_t rows = std::min<size_t>(ONTO_BINS, n - i0);
            for (size_t k = 0; k < rows; ++k) {
                log_i[k] = std::log10(frequencies.at(0, i0 + k));
                bin_trig[k] = bandwidth * log_i[k];
                bin_trig[rows + k] = bin_trig[k] + M_PI_2;
            }
            sine({bin_trig, 2 * rows}, {bin_trig, 2 * rows});
            across_tile(log_i, {bin_trig, bin_trig + rows}, rows, log_c.data() + c0,
                        {centre_trig.data() + c0, centre_trig.data() + padded + c0}, ld, ld,
                        bandwidth, w.data());
            // The column sums take at most a panel of TILE columns at a time.
            for (size_t j = 0; j < cols; j += TILE) {
                column_sums(w.data() + j, rows, ld, std::min<size_t>(TILE, cols - j),
                            sums.data() + c0 + j);
            }
            apply_tile(spectra, scale.data(), i0, w.data(), ld, rows, cols, y + c0, n_c,
                       i0 == first, packed.data());
        }
    }
    normalise(y, m, n_c, sums.data());
    unscale(y, m, n_c, scale, headroom);
    return result;
}

}  // namespace gm
