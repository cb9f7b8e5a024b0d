#include "trapz.hpp"

#include "trapz_impl.hpp"

namespace gm {

using namespace trapz_detail;

namespace {

struct NoStep {
    template <class T>
    void operator()(uint64_t, const T&) const {}
};

template <Integrand F>
__attribute__((target_clones("avx2", "default")))
void integrate_rows(const View2D& w, double dt, double* out) {
    const uint64_t ns = w.rows;
    uint64_t r = 0;
    if (w.cols >= 2) {
        for (; r + LANES <= ns; r += LANES) {
            VecD sum = run_lanes<F>(w, r, dt, NoStep{});
            for (int lane = 0; lane < LANES; ++lane) out[r + lane] = sum[lane] * 0.5;
        }
    }
    for (; r < ns; ++r) out[r] = run_row<F>(w.row(r), dt, NoStep{}) * 0.5;
}

}  // namespace

OwnedArray trapz_with_fun(const View2D& waveforms, double dt, Integrand f) {
    OwnedArray result(Dtype::F64, {waveforms.rows});
    if (f == Integrand::Square) {
        integrate_rows<Integrand::Square>(waveforms, dt, result.f64());
    } else {
        integrate_rows<Integrand::Abs>(waveforms, dt, result.f64());
    }
    return result;
}

void cumulative_trapz_row(const Row& row, double dt, Integrand f, double* out) {
    if (row.len == 0) return;
    out[0] = 0.0;
    auto store = [out](uint64_t i, double sum) { out[i] = sum * 0.5; };
    if (f == Integrand::Square) {
        run_row<Integrand::Square>(row, dt, store);
    } else {
        run_row<Integrand::Abs>(row, dt, store);
    }
}

}  // namespace gm
