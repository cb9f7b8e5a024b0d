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
// Bits.  Every vector routine here keeps each element's arithmetic to the
// same sequence of IEEE operations whatever the lane, the vector width of the
// build (`target_clones`: an AVX2 body and a baseline body from the same
// source) or the position of a spectrum in its batch: no fused multiply-add,
// no reassociation, remainders padded into full vectors rather than taken
// through other code.  A row of `matrix_rows` is therefore the same in every
// band and whichever body runs, and a spectrum smoothed alone equals the same
// spectrum smoothed within a batch.  `smooth` and `matrix_rows` share the
// weights u bit for bit; they sum them in different orders.
#include "konno_ohmachi.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

#pragma GCC diagnostic ignored "-Wpsabi"

// Runtime dispatch of the hot loops.  A build may define GM_KO_CLONES as
// empty to get the baseline body alone (used to compare the two bodies).
#ifndef GM_KO_CLONES
#define GM_KO_CLONES __attribute__((target_clones("avx2", "default")))
#endif
#define GM_KO_INLINE inline __attribute__((always_inline))

namespace gm {

namespace {

typedef double v4d __attribute__((vector_size(32)));
typedef int64_t v4i __attribute__((vector_size(32)));
typedef float v4f __attribute__((vector_size(16)));

constexpr size_t W = 4;  // lanes of v4d

GM_KO_INLINE v4d load4(const double* p) {
    v4d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
GM_KO_INLINE void store4(double* p, v4d v) { std::memcpy(p, &v, sizeof v); }
// Adding the scalar to -0.0 in every lane is exact for every value, and is
// how the compiler is best led to a single broadcast.
GM_KO_INLINE v4d splat(double a) {
    v4d v = {-0.0, -0.0, -0.0, -0.0};
    v += a;
    return v;
}
GM_KO_INLINE v4i splat_i(int64_t a) { return v4i{a, a, a, a}; }
GM_KO_INLINE v4d as_d(v4i v) { return std::bit_cast<v4d>(v); }
GM_KO_INLINE v4i as_i(v4d v) { return std::bit_cast<v4i>(v); }

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
constexpr size_t SINE_BLOCK = 4;  // vectors of sines in flight

// Lane by lane, a where the mask is set and b elsewhere.
GM_KO_INLINE v4d pick(v4i mask, double a, double b) { return mask ? splat(a) : splat(b); }

// sin of U vectors at once.  The steps of one vector form a long chain of
// dependent operations; running U independent chains side by side, step by
// step, keeps the floating-point units busy.  Each lane's operations are the
// same whatever U.
template <size_t U>
GM_KO_INLINE void sin_block(const v4d (&x)[U], v4d (&out)[U]) {
    v4i sign[U], quadrant[U];
    v4d ax[U], fn[U], y0[U], y1[U], z[U];
#pragma GCC unroll 8
    for (size_t u = 0; u < U; ++u) {
        sign[u] = as_i(x[u]) & splat_i(SIGN_BIT);
        ax[u] = as_d(as_i(x[u]) & ~splat_i(SIGN_BIT));
        const v4d t = ax[u] * splat(TWO_OVER_PI) + splat(ROUNDER);
        fn[u] = t - splat(ROUNDER);
        quadrant[u] = as_i(t);  // low bits hold k
    }
    // ax - fn * pi/2 as y0 + y1: fn * PIO2_1 is exact and so is r1, and
    // y0 + y1 = r1 - fn * PIO2_1T exactly (|r1| > |fn * PIO2_1T| wherever
    // the result is kept).  PIO2_1 + PIO2_1T is pi/2 to 86 bits, so the
    // pair is within fn * 2^-86 of the true reduced argument: relative
    // error below 2^-63 unless |y0| < fn * 2^-23, which happens only within
    // that distance of a multiple of pi/2; such lanes go to libm.
#pragma GCC unroll 8
    for (size_t u = 0; u < U; ++u) {
        const v4d r1 = ax[u] - fn[u] * splat(PIO2_1);
        const v4d w = fn[u] * splat(PIO2_1T);
        y0[u] = r1 - w;
        y1[u] = (r1 - y0[u]) - w;
        z[u] = y0[u] * y0[u];
    }
#pragma GCC unroll 8
    for (size_t u = 0; u < U; ++u) {
        const v4d zz = z[u], a = y0[u], b = y1[u];
        // With h = 1 - z/2: for even k, sin(a + b) = a + (z a Q + b h), Q the
        // sine polynomial; for odd k, cos(a + b) = h + (((1 - h) - z/2) +
        // (z z Q - a b)), Q the cosine polynomial.  One polynomial per lane,
        // its coefficients chosen by the parity of k.
        const v4i odd = -(quadrant[u] & splat_i(1));
        const v4d q = pick(odd, C1, S1) +
                      zz * (pick(odd, C2, S2) +
                            zz * (pick(odd, C3, S3) +
                                  zz * (pick(odd, C4, S4) +
                                        zz * (pick(odd, C5, S5) + zz * pick(odd, C6, S6)))));
        const v4d hz = splat(0.5) * zz;
        const v4d h = splat(1.0) - hz;
        const v4d head = odd ? h : a;
        const v4d carry = as_d(as_i((splat(1.0) - h) - hz) & odd);
        const v4d tail = (odd ? -a : h) * b;
        const v4d f = head + (carry + ((zz * (odd ? zz : a)) * q + tail));
        // k mod 4 = 2 or 3: the negative.
        const v4i negate = (quadrant[u] & splat_i(2)) << 62;
        const v4i bits = as_i(f);
        out[u] = as_d(bits ^ negate ^ sign[u]);
    }
    v4i reduced[U], any_left = splat_i(0);
#pragma GCC unroll 8
    for (size_t u = 0; u < U; ++u) {
        const v4d ay0 = as_d(as_i(y0[u]) & ~splat_i(SIGN_BIT));
        // fn * 2^-23, exactly, by the exponent (fn is a whole number below
        // 2^20; for fn = 0 this gives a negative number, for NaN a NaN).
        const v4d close = as_d(as_i(fn[u]) - splat_i(CLOSE_TO_AXIS_EXPONENT));
        reduced[u] = (ax[u] < splat(SINE_REDUCE_MAX)) & (ay0 >= close);
        any_left |= ~reduced[u];
    }
    if ((any_left[0] | any_left[1] | any_left[2] | any_left[3]) != 0) {
        for (size_t u = 0; u < U; ++u) {
            for (size_t lane = 0; lane < W; ++lane) {
                if (reduced[u][lane] == 0) {
                    double s = std::sin(ax[u][lane]);
                    int64_t bits;
                    std::memcpy(&bits, &s, sizeof bits);
                    bits ^= sign[u][lane];
                    std::memcpy(&s, &bits, sizeof s);
                    out[u][lane] = s;
                }
            }
        }
    }
}

GM_KO_INLINE v4d sin4(v4d x) {
    v4d in[1] = {x}, out[1];
    sin_block<1>(in, out);
    return out[0];
}

// Unnormalised weights (sin x / x)^4 of U vectors of bins with log10 `li`
// about a centre with log10 `lc`.
template <size_t U>
GM_KO_INLINE void weight_block(const double* li, v4d lc, v4d b, double* out) {
    v4d x[U], s[U];
#pragma GCC unroll 8
    for (size_t u = 0; u < U; ++u) x[u] = b * (load4(li + u * W) - lc);
    sin_block<U>(x, s);
#pragma GCC unroll 8
    for (size_t u = 0; u < U; ++u) {
        const v4d q = s[u] / x[u];
        const v4d q2 = q * q;
        store4(out + u * W, q2 * q2);
    }
}

// out[k] = u for the bins whose logarithms are log_i[0..count) about a centre
// with logarithm lc.  The last partial vector is padded with the centre
// itself (a lane that is computed and dropped), so every weight takes the
// vector path.
GM_KO_CLONES
void weights(const double* log_i, size_t count, double lc, double b, double* out) {
    constexpr size_t U = SINE_BLOCK;
    const v4d vlc = splat(lc), vb = splat(b);
    size_t k = 0;
    for (; k + U * W <= count; k += U * W) weight_block<U>(log_i + k, vlc, vb, out + k);
    for (; k < count; k += W) {
        double pad[W] = {lc, lc, lc, lc};
        const size_t m = std::min(W, count - k);
        std::memcpy(pad, log_i + k, m * sizeof(double));
        double res[W];
        weight_block<1>(pad, vlc, vb, res);
        std::memcpy(out + k, res, m * sizeof(double));
    }
}

GM_KO_CLONES
void sine_array(const double* x, size_t count, double* out) {
    size_t k = 0;
    for (; k + W <= count; k += W) store4(out + k, sin4(load4(x + k)));
    if (k < count) {
        double pad[W] = {0.0, 0.0, 0.0, 0.0};
        size_t m = count - k;
        std::memcpy(pad, x + k, m * sizeof(double));
        double res[W];
        store4(res, sin4(load4(pad)));
        std::memcpy(out + k, res, m * sizeof(double));
    }
}

// Sum of w[0..n) in a fixed order: eight running lanes, then the lanes
// pairwise, then the remainder in sequence.
GM_KO_CLONES
double fixed_sum(const double* w, size_t n) {
    v4d a0 = splat(0.0), a1 = splat(0.0);
    size_t i = 0;
    for (; i + 2 * W <= n; i += 2 * W) {
        a0 += load4(w + i);
        a1 += load4(w + i + W);
    }
    if (i + W <= n) {
        a0 += load4(w + i);
        i += W;
    }
    const v4d a = a0 + a1;
    double s = (a[0] + a[1]) + (a[2] + a[3]);
    for (; i < n; ++i) s += w[i];
    return s;
}

// w[i] = w[i] / s: a division for every entry.
GM_KO_CLONES
void divide_by(double* w, size_t n, double s) {
    const v4d vs = splat(s);
    size_t i = 0;
    for (; i + W <= n; i += W) store4(w + i, load4(w + i) / vs);
    for (; i < n; ++i) w[i] = w[i] / s;
}

// Nearest-even float32 of every entry.
GM_KO_CLONES
void to_float32(const double* w, size_t n, float* out) {
    size_t i = 0;
    for (; i + W <= n; i += W) {
        v4f f = __builtin_convertvector(load4(w + i), v4f);
        std::memcpy(out + i, &f, sizeof f);
    }
    for (; i < n; ++i) out[i] = static_cast<float>(w[i]);
}

// A float64 buffer of n entries; sizes that cannot be represented are an
// allocation failure like any other.
std::vector<double> buffer(uint64_t n) {
    std::vector<double> v;
    if (n > v.max_size()) throw std::bad_alloc();
    v.resize(static_cast<size_t>(n));
    return v;
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
// other spectra of the batch or on the vector width of the build.
// ---------------------------------------------------------------------------

constexpr size_t TILE = 128;  // bins per tile (a multiple of 16)
constexpr size_t GROUP = 5;   // spectra per product call
constexpr size_t PANEL = 8;   // output bins per product call
constexpr size_t CHUNK = 100; // spectra packed at a time (a multiple of GROUP)
constexpr size_t PREFETCH_ROWS = 4;

// y[r][j] (+)= sum over k < K of xp[k][r] * a[k][j], for r < R and the
// ncols <= 4 * V output bins j (rows of a `lda` apart, rows of y `ldy`
// apart).
template <size_t R, size_t V>
GM_KO_INLINE void product(const double* xp, const double* a, size_t lda, size_t K, double* y,
                          size_t ldy, size_t ncols, bool first) {
    v4d acc[R][V];
    for (size_t r = 0; r < R; ++r)
        for (size_t v = 0; v < V; ++v) acc[r][v] = splat(-0.0);
    for (size_t k = 0; k < K; ++k) {
        v4d av[V];
        for (size_t v = 0; v < V; ++v) av[v] = load4(a + k * lda + v * W);
        for (size_t r = 0; r < R; ++r) {
            const v4d xb = splat(xp[k * R + r]);
            for (size_t v = 0; v < V; ++v) acc[r][v] += xb * av[v];
        }
    }
    for (size_t r = 0; r < R; ++r) {
        double* yr = y + r * ldy;
        if (ncols == V * W) {
            for (size_t v = 0; v < V; ++v) {
                store4(yr + v * W, first ? acc[r][v] : load4(yr + v * W) + acc[r][v]);
            }
        } else {
            double tmp[V * W];
            for (size_t v = 0; v < V; ++v) store4(tmp + v * W, acc[r][v]);
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
GM_KO_CLONES
void apply_tile(const View2D& x, const double* scale, size_t j0, const double* a, size_t lda,
                size_t K, size_t outputs, double* y, size_t ldy, bool first, double* xp) {
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
                    case 5: product<5, 2>(xg, a + j, lda, K, yg, ldy, ncols, first); break;
                    case 4: product<4, 2>(xg, a + j, lda, K, yg, ldy, ncols, first); break;
                    case 3: product<3, 2>(xg, a + j, lda, K, yg, ldy, ncols, first); break;
                    case 2: product<2, 2>(xg, a + j, lda, K, yg, ldy, ncols, first); break;
                    default: product<1, 2>(xg, a + j, lda, K, yg, ldy, ncols, first); break;
                }
            }
        }
    }
}

// ut = transpose of u, both T x T with rows ld apart (T a multiple of 4),
// and on the way sums_u[j] += sum over k of u[k][j] for j < cols_u and
// sums_ut[j] += sum over k of ut[k][j] for j < cols_ut, each in order of k.
GM_KO_CLONES
void transpose(const double* u, size_t T, size_t ld, double* ut, size_t cols_u, double* sums_u,
               size_t cols_ut, double* sums_ut) {
    const v4i lo = {0, 4, 2, 6}, hi = {1, 5, 3, 7}, first_halves = {0, 1, 4, 5},
              second_halves = {2, 3, 6, 7};
    v4d acc_u[TILE / W], acc_ut[TILE / W];
    for (size_t v = 0; v < T / W; ++v) acc_u[v] = acc_ut[v] = splat(0.0);
    for (size_t r = 0; r < T; r += W) {
        v4d& row_sums = acc_ut[r / W];
        for (size_t c = 0; c < T; c += W) {
            const v4d a = load4(u + r * ld + c), b = load4(u + (r + 1) * ld + c),
                      d = load4(u + (r + 2) * ld + c), e = load4(u + (r + 3) * ld + c);
            v4d& column_sums = acc_u[c / W];
            column_sums += a;
            column_sums += b;
            column_sums += d;
            column_sums += e;
            const v4d t0 = __builtin_shuffle(a, b, lo), t1 = __builtin_shuffle(a, b, hi);
            const v4d t2 = __builtin_shuffle(d, e, lo), t3 = __builtin_shuffle(d, e, hi);
            const v4d o0 = __builtin_shuffle(t0, t2, first_halves),
                      o1 = __builtin_shuffle(t1, t3, first_halves),
                      o2 = __builtin_shuffle(t0, t2, second_halves),
                      o3 = __builtin_shuffle(t1, t3, second_halves);
            row_sums += o0;
            row_sums += o1;
            row_sums += o2;
            row_sums += o3;
            store4(ut + c * ld + r, o0);
            store4(ut + (c + 1) * ld + r, o1);
            store4(ut + (c + 2) * ld + r, o2);
            store4(ut + (c + 3) * ld + r, o3);
        }
    }
    for (size_t j = 0; j < cols_u; ++j) sums_u[j] += acc_u[j / W][j % W];
    for (size_t j = 0; j < cols_ut; ++j) sums_ut[j] += acc_ut[j / W][j % W];
}

// sums[j] += sum over k of a[k][j] for j < cols (cols <= TILE): the rows
// of a (T of them, ld apart) added in order, four columns per vector.
GM_KO_CLONES
void column_sums(const double* a, size_t T, size_t ld, size_t cols, double* sums) {
    v4d acc[TILE / W];
    const size_t vectors = (cols + W - 1) / W;
    for (size_t v = 0; v < vectors; ++v) acc[v] = splat(0.0);
    for (size_t k = 0; k < T; ++k) {
        for (size_t v = 0; v < vectors; ++v) acc[v] += load4(a + k * ld + v * W);
    }
    for (size_t v = 0; v < vectors; ++v) {
        for (size_t l = 0; l < W && v * W + l < cols; ++l) sums[v * W + l] += acc[v][l];
    }
}

// Y[r][c] = Y[r][c] / sums[c] over a (rows, n) C-ordered block.
GM_KO_CLONES
void normalise(double* y, size_t rows, size_t n, const double* sums) {
    for (size_t r = 0; r < rows; ++r) {
        double* yr = y + r * n;
        size_t c = 0;
        for (; c + W <= n; c += W) store4(yr + c, load4(yr + c) / load4(sums + c));
        for (; c < n; ++c) yr[c] = yr[c] / sums[c];
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
    sine_array(x.data(), x.size(), out.data());
}

void smoothing_window(uint64_t c, std::span<const double> log_bins, std::span<double> window,
                      double bandwidth) {
    const size_t n = window.size();
    if (c == 0) {
        if (n == 0) panic("centre bin 0 is past an empty window");
        std::fill(window.begin(), window.end(), 0.0);
        window[0] = 1.0;
        return;
    }
    if (c >= log_bins.size()) {
        panic("centre bin " + std::to_string(c) + " is past the " +
              std::to_string(log_bins.size()) + " bins of the table");
    }
    if (n != log_bins.size()) panic_not_equal("window length", n, log_bins.size());
    // Every bin but 0 by the formula (the centre's 0/0 is overwritten next).
    weights(log_bins.data() + 1, n - 1, log_bins[c], bandwidth, window.data() + 1);
    window[c] = 1.0;
    window[0] = 0.0;
    const double s = fixed_sum(window.data(), n);
    divide_by(window.data(), n, s);
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
    std::vector<double> window = buffer(n_bins);
    float* out = result.f32();
    for (uint64_t c = start; c < stop; ++c) {
        smoothing_window(c, table, window, bandwidth);
        to_float32(window.data(), window.size(), out + (c - start) * n_bins);
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

    // The outputs are sums of unnormalised weights (each at most 1, their
    // total at most n) times the inputs, divided by that total at the end.
    // A spectrum large enough for such a sum to overflow is scaled down by
    // a power of two on the way in and back up at the end.
    const int headroom = std::bit_width(n) + 1;
    const double limit = std::ldexp(1.0, 1023 - headroom);
    std::vector<double> scale(m, 1.0);
    for (size_t s = 0; s < m; ++s) {
        const char* row = spectra.data + static_cast<int64_t>(s) * spectra.stride0;
        for (size_t k = 0; k < n; ++k) {
            double v;
            std::memcpy(&v, row + static_cast<int64_t>(k) * spectra.stride1, sizeof v);
            if (std::fabs(v) >= limit && std::fabs(v) <= DBL_MAX) {
                scale[s] = std::ldexp(1.0, -headroom);
                break;
            }
        }
    }

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
                       y + c0, n,
                       !touched[tc], packed.data());
            if (!diagonal) {
                apply_tile(spectra, scale.data(), c0, u.data(), ld, vc, vi, y + i0, n,
                           !touched[ti],
                           packed.data());
            }
            touched[tc] = 1;
            touched[ti] = 1;
        }
    }
    normalise(y, m, n, sums.data());
    for (size_t s = 0; s < m; ++s) {
        if (scale[s] == 1.0) continue;
        const double up = std::ldexp(1.0, headroom);
        for (size_t k = 0; k < n; ++k) y[s * n + k] *= up;
    }
    return result;
}

}  // namespace gm
