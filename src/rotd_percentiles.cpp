// RotD at any percentile.
//
// The hull gives the 180 directional peaks (rotd.cpp); they are sorted once
// per pair and read at every requested percentile.  The oscillator kernel runs
// the two horizontal components one oscillator at a time through
// `run_substeps` (psa_substeps.hpp), which gives the bits of `psa`'s
// responses with one step per interval (every lane of psa's vector path
// performs the one-oscillator arithmetic) and of `psa_substeps`'s with more.
#include "rotd_percentiles.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "oscillator.hpp"
#include "psa.hpp"
#include "psa_substeps.hpp"

namespace gm {

namespace {

constexpr uint64_t N_PEAKS = std::tuple_size_v<Peaks>;

// Signed integer key whose order is the IEEE 754 total order of doubles.
inline int64_t order_key(double v) {
    int64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits ^ static_cast<int64_t>(static_cast<uint64_t>(bits >> 63) >> 1);
}

// The requested percentiles, checked: one row, every value in [0, 100].
std::vector<double> read_percentiles(const View2D& percentiles) {
    if (percentiles.rows != 1) {
        panic_not_equal("percentiles must be one row", percentiles.rows, 1);
    }
    std::vector<double> out(percentiles.cols);
    for (uint64_t j = 0; j < percentiles.cols; ++j) {
        const double p = percentiles.at(0, j);
        if (!(p >= 0.0 && p <= 100.0)) {
            panic("percentiles must lie in [0, 100]; got " + std::to_string(p));
        }
        out[j] = p;
    }
    return out;
}

void write_row(double* out, const Peaks& peaks, const std::vector<double>& percentiles) {
    const SortedPeaks sorted(peaks);
    for (uint64_t j = 0; j < percentiles.size(); ++j) out[j] = sorted.at(percentiles[j]);
}

}  // namespace

SortedPeaks::SortedPeaks(const Peaks& peaks) : sorted_(peaks) {
    for (double v : peaks) nan_ = nan_ || std::isnan(v);
    std::sort(sorted_.begin(), sorted_.end(),
              [](double a, double b) { return order_key(a) < order_key(b); });
}

double SortedPeaks::at(double p) const {
    if (nan_) return quiet_nan();
    const double pos = p / 100.0 * static_cast<double>(N_PEAKS - 1);
    const double whole = std::floor(pos);
    const auto i = static_cast<uint64_t>(whole);
    const double f = pos - whole;
    if (f == 0.0) return sorted_[i];
    const double a = sorted_[i], b = sorted_[i + 1];
    if (f == 0.5) return mean_of_two(a, b);  // RotD50's arithmetic
    return a + f * (b - a);
}

OwnedArray rotd_percentiles(const View2D& comp_0, const View2D& comp_90,
                            const View2D& percentiles) {
    if (comp_0.rows != comp_90.rows) {
        panic_not_equal("Components must have the same number of waveforms", comp_0.rows,
                        comp_90.rows);
    }
    const std::vector<double> ps = read_percentiles(percentiles);
    const uint64_t ns = comp_0.rows;
    const uint64_t n_p = ps.size();
    OwnedArray out(Dtype::F64, {ns, n_p});
    if (ns == 0) return out;
    Hull hull = Hull::with_capacity(comp_0.cols);
    double* dst = out.f64();
    for (uint64_t s = 0; s < ns; ++s) {
        write_row(dst + s * n_p, hull.peaks(comp_0.row(s), comp_90.row(s)), ps);
    }
    return out;
}

OwnedArray psa_percentiles(const View2D& comp_0, const View2D& comp_90,
                           const View2D& coefficients, const View2D& percentiles) {
    if (comp_90.rows != comp_0.rows || comp_90.cols != comp_0.cols) {
        panic("components must have matching shapes");
    }
    // Eight recursion coefficients, or eight and the number of sub-steps.
    const uint64_t cols = coefficients.cols;
    if (cols != N_COEFFICIENTS && cols != N_SUBSTEP_COEFFICIENTS) {
        panic_not_equal("coefficients must have 8 or 9 columns", cols, N_COEFFICIENTS);
    }
    const std::vector<double> ps = read_percentiles(percentiles);
    const uint64_t n_osc = coefficients.rows, n_p = ps.size();
    OwnedArray result(Dtype::F64, {comp_0.rows, n_osc, n_p});
    double* out = result.f64();
    auto row_of = [&](uint64_t s, uint64_t o) { return out + (s * n_osc + o) * n_p; };
    run_pairs(
        comp_0, comp_90, coefficients,
        [&](uint64_t s, uint64_t o, const double (&)[N_COEFFICIENTS], uint64_t,
            const ComponentRun&, const ComponentRun&, const Peaks& directional) {
            write_row(row_of(s, o), directional, ps);
        },
        [&](uint64_t s, uint64_t o) {
            double* row = row_of(s, o);
            for (uint64_t j = 0; j < n_p; ++j) row[j] = quiet_nan();
        });
    return result;
}

}  // namespace gm
