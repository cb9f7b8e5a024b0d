#include "bracketed_duration.hpp"

#include <array>

#include "row_states.hpp"

namespace gm {

namespace {

struct Level {
    double dt, threshold;
};

template <class V>
struct Bracket {
    static constexpr int OUT = 1;
    V dt, threshold;
    // Sample numbers as doubles (exact below 2^53); -1 before any.
    V first_k = simd::splat<V>(-1.0), last_k = simd::splat<V>(-1.0);
    V bad{};  // NaN once a sample is not finite

    explicit Bracket(const Level& l)
        : dt(simd::splat<V>(l.dt)), threshold(simd::splat<V>(l.threshold)) {}
    GM_INLINE void next(uint64_t k, V a) {
        const V at = simd::splat<V>(static_cast<double>(k));
        const auto reached = simd::abs(a) >= threshold;
        last_k = simd::select(reached, at, last_k);
        first_k = simd::select(reached & (first_k < 0.0), at, first_k);
        bad = bad + (a - a);
    }
    GM_INLINE void first(V a) { next(0, a); }
    GM_INLINE std::array<V, OUT> finish() { return {nan_where(bad, dt * (last_k - first_k))}; }
};

}  // namespace

OwnedArray bracketed_duration(const View2D& waveforms, double dt, double threshold) {
    OwnedArray result(Dtype::F64, {waveforms.rows});
    run_row_states<Bracket>(waveforms, Level{dt, threshold}, result.f64());
    return result;
}

}  // namespace gm
