#include "significant_duration.hpp"

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

}  // namespace

// One row of cumulative Arias intensity, n values spaced `stride` doubles.
double threshold_search(const double* v, int64_t stride, uint64_t n, double dt, double low,
                        double high) {
    if (n == 0) return 0.0;
    double total = v[static_cast<int64_t>(n - 1) * stride];
    // An overflowing record normalises to inf / inf, whose NaN sign is not the
    // same on every CPU: any non-finite total is reported as NaN.
    if (!is_finite_bits(total)) return quiet_nan();
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
__attribute__((target_clones("avx2", "default")))
void cumulative_lanes(const View2D& w, uint64_t row0, double dt, double* cum) {
    for (int lane = 0; lane < ROWS; ++lane) cum[lane] = 0.0;
    run_lanes<Integrand::Square>(w, row0, dt, [cum](uint64_t k, const Lanes& sum) {
        for (int g = 0; g < GROUP; ++g) {
            VecD v = (sum.v[g] * 0.5) * ARIAS_FACTOR;
            std::memcpy(cum + k * ROWS + g * LANES, &v, sizeof v);
        }
    });
}

// The same for BAND rows whose columns are contiguous (Fortran order),
// sweeping the columns; `cum` is nt x BAND, interleaved.
constexpr uint64_t BAND = 16 * ROWS;

__attribute__((target_clones("avx2", "default")))
void cumulative_band(const View2D& w, uint64_t row0, double dt, double* cum) {
    double sums[BAND] = {};
    for (uint64_t lane = 0; lane < BAND; ++lane) cum[lane] = 0.0;
    sweep_columns<Integrand::Square>(w, row0, BAND, dt, sums,
                                     [cum](uint64_t k, uint64_t v, VecD sum) {
        VecD scaled = (sum * 0.5) * ARIAS_FACTOR;
        std::memcpy(cum + k * BAND + v * LANES, &scaled, sizeof scaled);
    });
}

}  // namespace

OwnedArray significant_duration(const View2D& waveforms, double dt, double low, double high) {
    const uint64_t ns = waveforms.rows;
    const uint64_t nt = waveforms.cols;
    OwnedArray result(Dtype::F64, {ns});
    double* out = result.f64();
    if (ns == 0 || nt == 0) return result;

    uint64_t r = 0;
    if (nt >= 2 && ns >= BAND && waveforms.stride0 == static_cast<int64_t>(sizeof(double))) {
        std::vector<double> cum(nt * BAND);
        for (; r + BAND <= ns; r += BAND) {
            cumulative_band(waveforms, r, dt, cum.data());
            for (uint64_t lane = 0; lane < BAND; ++lane) {
                out[r + lane] = threshold_search(cum.data() + lane, BAND, nt, dt, low, high);
            }
        }
    }
    if (nt >= 2 && ns - r >= static_cast<uint64_t>(ROWS)) {
        std::vector<double> cum(nt * ROWS);
        double* c = cum.data();
        for (; r + ROWS <= ns; r += ROWS) {
            cumulative_lanes(waveforms, r, dt, c);
            for (int lane = 0; lane < ROWS; ++lane) {
                out[r + lane] = threshold_search(c + lane, ROWS, nt, dt, low, high);
            }
        }
    }
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
