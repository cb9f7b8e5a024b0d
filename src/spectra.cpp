// Displacement, velocity and total-acceleration peaks of single-component
// oscillators.
//
// As in psa.cpp, four oscillators run side by side, one per lane of a vector
// of four doubles, on the step of oscillator.hpp; the oscillators left over
// after the last whole group of four, and every oscillator on the scalar
// target, run alone through the same template with V = double.  A lane's
// results are those of the oscillator run alone.
#include "spectra.hpp"

#include "oscillator.hpp"
#include "psa.hpp"
#include "simd.hpp"

namespace gm {

namespace {

constexpr uint64_t LANES = 4;

// The end of one run: the final state and the three peaks, per lane of V.
template <class V>
struct Run {
    V x{}, v{};
    V peak_x{}, peak_v{}, peak_a{};
};

// One oscillator per lane of V over one record, from rest.  c[i] holds
// coefficient i of every lane (the ninth being 2 * damping).
template <class V>
GM_INLINE Run<V> run(const V (&c)[N_PEAK_COEFFICIENTS], const Row& row) {
    const Recursion<V> rec(c);
    const V two_zeta = c[N_COEFFICIENTS];
    Run<V> r;
    const char* p = row.data;
    V early = simd::splat<V>(load_sample(p));
    for (uint64_t k = 1; k < row.len; ++k) {
        p += row.stride;
        const V late = simd::splat<V>(load_sample(p));
        rec.step(r.x, r.v, early, late);
        r.peak_x = simd::max(simd::abs(r.x), r.peak_x);
        r.peak_v = simd::max(simd::abs(r.v), r.peak_v);
        r.peak_a = simd::max(simd::abs(r.x + two_zeta * r.v), r.peak_a);
        early = late;
    }
    return r;
}

// Writes lane j of a run to out[0..2].
template <class V>
GM_INLINE void write_lane(const Run<V>& r, int j, double* out) {
    if (!is_finite_bits(simd::lane(r.x, j)) || !is_finite_bits(simd::lane(r.v, j))) {
        for (uint64_t i = 0; i < N_OSCILLATOR_PEAKS; ++i) out[i] = quiet_nan();
        return;
    }
    out[0] = simd::lane(r.peak_x, j);
    out[1] = simd::lane(r.peak_v, j);
    out[2] = simd::lane(r.peak_a, j);
}

}  // namespace

OwnedArray oscillator_peaks(const View2D& waveforms, const View2D& coefficients) {
    if (coefficients.cols != N_PEAK_COEFFICIENTS) {
        panic_not_equal("coefficients must have 9 columns", coefficients.cols,
                        N_PEAK_COEFFICIENTS);
    }
    const uint64_t ns = waveforms.rows;
    const uint64_t nt = waveforms.cols;
    const uint64_t n_osc = coefficients.rows;
    OwnedArray result(Dtype::F64, {ns, n_osc, N_OSCILLATOR_PEAKS});
    if (nt == 0 || ns == 0 || n_osc == 0) return result;
    double* out = result.f64();
    auto row_of = [&](uint64_t s, uint64_t o) { return out + (s * n_osc + o) * N_OSCILLATOR_PEAKS; };

    // Whole groups of four oscillators on a vector target; returns the first
    // oscillator left for the one-at-a-time path.
    uint64_t o = simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
        using Tag = decltype(tag);
        uint64_t q = 0;
        if constexpr (simd::is_vector<Tag>) {
            using V = typename Tag::f64;
            static_assert(sizeof(V) == LANES * sizeof(double));
            for (; q + LANES <= n_osc; q += LANES) {
                double lanes[N_PEAK_COEFFICIENTS * LANES];
                for (uint64_t j = 0; j < LANES; ++j) {
                    for (uint64_t i = 0; i < N_PEAK_COEFFICIENTS; ++i) {
                        lanes[i * LANES + j] = coefficients.at(q + j, i);
                    }
                }
                V c[N_PEAK_COEFFICIENTS];
                for (uint64_t i = 0; i < N_PEAK_COEFFICIENTS; ++i) {
                    c[i] = simd::load<V>(lanes + i * LANES);
                }
                for (uint64_t s = 0; s < ns; ++s) {
                    const Run<V> r = run<V>(c, waveforms.row(s));
                    for (uint64_t j = 0; j < LANES; ++j) {
                        write_lane(r, static_cast<int>(j), row_of(s, q + j));
                    }
                }
            }
        }
        return q;
    });

    for (; o < n_osc; ++o) {
        double c[N_PEAK_COEFFICIENTS];
        for (uint64_t i = 0; i < N_PEAK_COEFFICIENTS; ++i) c[i] = coefficients.at(o, i);
        for (uint64_t s = 0; s < ns; ++s) {
            write_lane(run<double>(c, waveforms.row(s)), 0, row_of(s, o));
        }
    }
    return result;
}

}  // namespace gm
