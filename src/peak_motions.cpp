#include "peak_motions.hpp"

#include <array>

#include "row_states.hpp"

namespace gm {

namespace {

struct Step {
    double dt;
};

// The running integrals of one row (V = double) or of rows side by side.
template <class V>
struct Integrals {
    V dt;
    V prev{}, v{}, d{};

    explicit Integrals(const Step& s) : dt(simd::splat<V>(s.dt)) {}
    GM_INLINE void first(V a) { prev = a; }
    GM_INLINE void next(V a) {
        const V v_next = v + (dt * (prev + a)) * 0.5;
        d = d + (dt * (v + v_next)) * 0.5;
        v = v_next;
        prev = a;
    }
};

template <class V>
struct Peaks3 {
    static constexpr int OUT = 3;
    Integrals<V> in;
    V pa{}, pv{}, pd{};

    explicit Peaks3(const Step& s) : in(s) {}
    GM_INLINE void first(V a) {
        in.first(a);
        pa = simd::abs(a);
    }
    GM_INLINE void next(uint64_t, V a) {
        in.next(a);
        pa = simd::max(simd::abs(a), pa);
        pv = simd::max(simd::abs(in.v), pv);
        pd = simd::max(simd::abs(in.d), pd);
    }
    GM_INLINE std::array<V, OUT> finish() {
        const V bad = (in.v - in.v) + (in.d - in.d);
        return {nan_where(bad, pa), nan_where(bad, pv), nan_where(bad, pd)};
    }
};

}  // namespace

OwnedArray peak_motions(const View2D& waveforms, double dt) {
    OwnedArray result(Dtype::F64, {waveforms.rows, 3});
    run_row_states<Peaks3>(waveforms, Step{dt}, result.f64());
    return result;
}

OwnedArray velocity_displacement(const View2D& waveforms, double dt) {
    const uint64_t nt = waveforms.cols;
    OwnedArray result(Dtype::F64, {waveforms.rows, 2, nt});
    double* out = result.f64();
    for (uint64_t r = 0; r < waveforms.rows; ++r) {
        const Row row = waveforms.row(r);
        double* vel = out + r * 2 * nt;
        double* dis = vel + nt;
        if (nt == 0) continue;
        Integrals<double> in(Step{dt});
        in.first(row[0]);
        vel[0] = 0.0;
        dis[0] = 0.0;
        for (uint64_t k = 1; k < nt; ++k) {
            in.next(row[k]);
            vel[k] = in.v;
            dis[k] = in.d;
        }
    }
    return result;
}

}  // namespace gm
