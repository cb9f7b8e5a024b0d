#include "cav.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "row_states.hpp"
#include "trapz.hpp"

namespace gm {

using trapz_detail::contribution;

OwnedArray cav(const View2D& waveforms, double dt) {
    OwnedArray result = trapz_with_fun(waveforms, dt, Integrand::Abs);
    double* v = result.f64();
    for (size_t i = 0; i < result.size(); ++i) v[i] = v[i] * CAV_FACTOR;
    return result;
}

OwnedArray cav_ragged(const RowList& records, const View2D& dts) {
    OwnedArray result = trapz_ragged(records, dts, Integrand::Abs);
    double* v = result.f64();
    for (size_t i = 0; i < result.size(); ++i) v[i] = v[i] * CAV_FACTOR;
    return result;
}

namespace {

struct Cut {
    double dt, threshold;
};

template <class V>
struct ThresholdCav {
    static constexpr int OUT = 1;
    V dt, threshold;
    V prev{}, prev_abs{}, sum{};

    explicit ThresholdCav(const Cut& c)
        : dt(simd::splat<V>(c.dt)), threshold(simd::splat<V>(c.threshold)) {}

    GM_INLINE V cut(V a) const { return simd::select(simd::abs(a) < threshold, V{}, a); }
    GM_INLINE void first(V a) {
        prev = cut(a);
        prev_abs = simd::abs(prev);
    }
    GM_INLINE void next(uint64_t, V a) {
        const V c = cut(a);
        const V c_abs = simd::abs(c);
        sum = sum + trapz_detail::contribution_carried<Integrand::Abs>(prev, c, prev_abs, c_abs, dt);
        prev = c;
        prev_abs = c_abs;
    }
    GM_INLINE std::array<V, OUT> finish() { return {(sum * 0.5) * CAV_FACTOR}; }
};

struct Windows {
    double dt, level;
    const uint64_t* ends;  // the sample that closes each window, ascending
};

template <class V>
struct StandardisedCav {
    static constexpr int OUT = 1;
    V dt, level;
    const uint64_t* end;
    V prev{}, window{}, peak{}, total{}, prev_abs{};
    bool open = false;

    explicit StandardisedCav(const Windows& w)
        : dt(simd::splat<V>(w.dt)), level(simd::splat<V>(w.level)), end(w.ends) {}
    GM_INLINE void close() {
        // A NaN sample makes the window's integral NaN, and the total with it.
        const auto keep = (peak >= level) | (window != window);
        total = total + simd::select(keep, window, V{});
        open = false;
    }
    GM_INLINE void first(V a) {
        prev = a;
        peak = simd::abs(a);
        prev_abs = peak;
    }
    GM_INLINE void next(uint64_t k, V a) {
        const V a_abs = simd::abs(a);
        window = window + trapz_detail::contribution_carried<Integrand::Abs>(prev, a, prev_abs,
                                                                             a_abs, dt);
        peak = simd::max(a_abs, peak);
        prev = a;
        prev_abs = a_abs;
        open = true;
        if (k == *end) {
            close();
            ++end;
            window = V{};
            peak = simd::abs(a);
        }
    }
    GM_INLINE std::array<V, OUT> finish() {
        if (open) close();
        return {(total * 0.5) * CAV_FACTOR};
    }
};

}  // namespace

OwnedArray cav_threshold(const View2D& waveforms, double dt, double threshold) {
    OwnedArray result(Dtype::F64, {waveforms.rows});
    run_row_states<ThresholdCav>(waveforms, Cut{dt, threshold}, result.f64());
    return result;
}

OwnedArray cav_std(const View2D& waveforms, double dt, double level) {
    OwnedArray result(Dtype::F64, {waveforms.rows});
    // Sample k lies in window floor((k + 1e-6) dt): a sample time within a
    // millionth of dt below a whole second counts as that second.  The
    // first sample of a window closes the one before; windows shorter than
    // a sample interval (dt > 1 s) merge with the next.
    std::vector<uint64_t> ends;
    double window = 0.0;
    const uint64_t nt = waveforms.rows == 0 ? 0 : waveforms.cols;
    for (uint64_t k = 1; k < nt; ++k) {
        const double w = std::floor((static_cast<double>(k) + 1e-6) * dt);
        if (w > window) {
            ends.push_back(k);
            window = w;
        }
    }
    ends.push_back(UINT64_MAX);
    run_row_states<StandardisedCav>(waveforms, Windows{dt, level, ends.data()}, result.f64());
    return result;
}

}  // namespace gm
