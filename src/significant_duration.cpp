#include "significant_duration.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "arias_intensity.hpp"
#include "trapz_impl.hpp"

namespace gm {

using namespace trapz_detail;

namespace {

constexpr double MIN_TOTAL = 1e-10;


// IEEE 754 totalOrder as a signed integer key.
inline int64_t total_order_key(double v) {
    int64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits ^ static_cast<int64_t>(static_cast<uint64_t>(bits >> 63) >> 1);
}

inline int compare_total(double a, double b) {
    int64_t ka = total_order_key(a);
    int64_t kb = total_order_key(b);
    return (ka > kb) - (ka < kb);
}

// Binary search over w[0 .. m) (m >= 1) of the normalised values w[k] / total
// for `target`: the last index equal to it if any, else the first above it.
// Always the same number of rounds for a given m.
uint64_t search(const double* w, int64_t stride, uint64_t m, double total, double target) {
    auto value = [&](uint64_t k) { return w[static_cast<int64_t>(k) * stride] / total; };
    uint64_t base = 0;
    uint64_t size = m;
    while (size > 1) {
        uint64_t half = size / 2;
        uint64_t mid = base + half;
        if (compare_total(value(mid), target) <= 0) base = mid;
        size -= half;
    }
    int c = compare_total(value(base), target);
    if (c == 0) return base;
    return c < 0 ? base + 1 : base;
}

// A NaN total gives NaN.  So does +inf: an overflowing record normalises to
// inf / inf, whose NaN sign is not the same on every CPU, so its duration
// would depend on the machine.  (-inf is below the minimum total: 0.0.)
inline bool unusable_total(double total) { return total != total || total == INFINITY; }

}  // namespace

// One row of cumulative Arias intensity, n values spaced `stride` doubles.
double threshold_search(const double* v, int64_t stride, uint64_t n, double dt, double low,
                        double high) {
    if (n == 0) return 0.0;
    double total = v[static_cast<int64_t>(n - 1) * stride];
    if (unusable_total(total)) return quiet_nan();
    if (total < MIN_TOTAL) return 0.0;
    uint64_t i_low = search(v, stride, n, total, low);
    uint64_t j = 0;
    if (i_low < n) {
        j = search(v + static_cast<int64_t>(i_low) * stride, stride, n - i_low, total, high);
    }
    return dt * static_cast<double>(j);
}

namespace {

// Cumulative Arias intensity of ROWS rows at once into `cum` (nt x ROWS,
// interleaved), each element (S * 0.5) * factor.
GM_INLINE void cumulative_lanes(const View2D& w, uint64_t row0, double dt, double* cum) {
    for (int lane = 0; lane < ROWS; ++lane) cum[lane] = 0.0;
    run_lanes<Integrand::Square>(w, row0, dt, [cum](uint64_t k, const Lanes& sum) {
        for (int g = 0; g < GROUP; ++g) {
            f64x4 v = (sum.v[g] * 0.5) * ARIAS_FACTOR;
            std::memcpy(cum + k * ROWS + g * LANES, &v, sizeof v);
        }
    });
}

// Rows adjacent in memory (Fortran order): two sweeps over the columns and
// no cumulative array.  The first gives every row's total; the second runs
// the same sums again and counts, for each target, the samples whose
// normalised value lies below it and the last one equal to it.  For a finite
// total of at least MIN_TOTAL the cumulative intensity never decreases (every
// interval adds a non-negative amount, and rounding is monotone), so these
// counts give exactly the indices that the binary search finds, and a row
// is settled once its normalised value exceeds both targets.
struct Threshold {
    double value;  // compared directly with normalised values, all >= +0.0
    static Threshold of(double t) {
        // Under the total order, -0.0, negative numbers and -NaN lie below
        // every normalised value, +NaN above all of them.
        if (t != t) return {std::signbit(t) ? -INFINITY : INFINITY};
        if (std::signbit(t)) return {-INFINITY};
        return {t};
    }
};

GM_INLINE void durations_by_columns(const View2D& w, uint64_t count, double dt, double low, double high,
                          double* out) {
    std::vector<double> totals(count, 0.0);
    sweep_columns<Integrand::Square>(w, 0, count, dt, totals.data(), [](auto...) {});
    for (double& t : totals) t = (t * 0.5) * ARIAS_FACTOR;

    // Counters per row: below low, last equal to low, below high, last
    // equal to high (-1 for none).  Sample 0 is the +0.0 that starts a row.
    const double t_low = Threshold::of(low).value, t_high = Threshold::of(high).value;
    const f64x4 lo = simd::splat<f64x4>(t_low);
    const f64x4 hi = simd::splat<f64x4>(t_high);
    // Plain arrays, read and written through memcpy: no alignment is assumed.
    std::vector<int64_t> below_low(count), eq_low(count), below_high(count), eq_high(count);
    auto load = [](const int64_t* p) { return simd::load<i64x4>(p); };
    auto store = [](int64_t* p, i64x4 x) { simd::store(p, x); };
    std::fill(below_low.begin(), below_low.end(), 0.0 < t_low);
    std::fill(below_high.begin(), below_high.end(), 0.0 < t_high);
    std::fill(eq_low.begin(), eq_low.end(), 0.0 == t_low ? 0 : -1);
    std::fill(eq_high.begin(), eq_high.end(), 0.0 == t_high ? 0 : -1);
    std::vector<double> sums(count, 0.0);
    const f64x4 beyond = simd::max(lo, hi);
    uint64_t open = 0;  // groups of LANES rows not yet past both targets
    auto settled = [&]() {
        bool all = open == 0;
        open = 0;
        return all;
    };
    sweep_columns<Integrand::Square>(w, 0, count, dt, sums.data(),
                                     [&](uint64_t k, uint64_t v, f64x4 sum) {
        const f64x4 total = simd::load<f64x4>(totals.data() + v * LANES);
        const f64x4 q = ((sum * 0.5) * ARIAS_FACTOR) / total;
        const i64x4 index = static_cast<int64_t>(k) - i64x4{};
        const uint64_t at = v * LANES;
        store(&below_low[at], load(&below_low[at]) - (q < lo));
        store(&below_high[at], load(&below_high[at]) - (q < hi));
        store(&eq_low[at], q == lo ? index : load(&eq_low[at]));
        store(&eq_high[at], q == hi ? index : load(&eq_high[at]));
        const i64x4 past = q > beyond;
        // A NaN quotient (a row whose total is not usable) never settles the
        // row by itself; such rows are decided by their total alone.
        const i64x4 usable = (total >= MIN_TOTAL) & (total < INFINITY);
        open += !simd::all(past | ~usable);
    }, settled);

    for (uint64_t r = 0; r < count; ++r) {
        const double total = totals[r];
        if (unusable_total(total)) {
            out[r] = quiet_nan();
            continue;
        }
        if (total < MIN_TOTAL) {
            out[r] = 0.0;
            continue;
        }
        const int64_t i_low = eq_low[r] >= 0 ? eq_low[r] : below_low[r];
        int64_t j;
        if (eq_high[r] >= 0) {
            j = eq_high[r] >= i_low ? eq_high[r] - i_low : 0;
        } else {
            j = below_high[r] > i_low ? below_high[r] - i_low : 0;
        }
        out[r] = dt * static_cast<double>(j);
    }
}

}  // namespace

OwnedArray significant_duration(const View2D& waveforms, double dt, double low, double high) {
    const uint64_t ns = waveforms.rows;
    const uint64_t nt = waveforms.cols;
    OwnedArray result(Dtype::F64, {ns});
    double* out = result.f64();
    if (ns == 0 || nt == 0) return result;

    // Groups of ROWS rows side by side on a vector target; the rest, and
    // every row on the scalar target, one at a time.
    uint64_t r = simd::dispatch([&](auto tag) GM_LAMBDA_INLINE -> uint64_t {
        uint64_t done = 0;
        if constexpr (simd::is_vector<decltype(tag)>) {
            if (nt >= 2 && ns >= static_cast<uint64_t>(ROWS) &&
                waveforms.stride0 == static_cast<int64_t>(sizeof(double))) {
                done = ns / ROWS * ROWS;
                durations_by_columns(waveforms, done, dt, low, high, out);
            }
            if (nt >= 2 && ns - done >= static_cast<uint64_t>(ROWS)) {
                std::vector<double> cum(nt * ROWS);
                double* c = cum.data();
                for (; done + ROWS <= ns; done += ROWS) {
                    cumulative_lanes(waveforms, done, dt, c);
                    for (int lane = 0; lane < ROWS; ++lane) {
                        out[done + lane] = threshold_search(c + lane, ROWS, nt, dt, low, high);
                    }
                }
            }
        }
        return done;
    });
    if (r < ns) {
        std::vector<double> cum(nt);
        for (; r < ns; ++r) {
            cumulative_trapz_row(waveforms.row(r), dt, Integrand::Square, cum.data());
            for (double& v : cum) v = v * ARIAS_FACTOR;
            out[r] = threshold_search(cum.data(), 1, nt, dt, low, high);
        }
    }
    return result;
}

}  // namespace gm
