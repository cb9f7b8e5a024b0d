#include "trapz.hpp"

#include <vector>

#include "trapz_impl.hpp"

namespace gm {

using namespace trapz_detail;

namespace {

struct NoStep {
    template <class... T>
    void operator()(const T&...) const {}
};

template <Integrand F, class V>
GM_INLINE uint64_t integrate_columns(const View2D& w, double dt, double* out) {
    const uint64_t rows = w.rows / ROWS * ROWS;
    std::vector<double> sums(rows, 0.0);
    sweep_columns<F, V>(w, 0, rows, dt, sums.data(), NoSweeper{});
    for (uint64_t r = 0; r < rows; ++r) out[r] = sums[r] * 0.5;
    return rows;
}

// Groups of ROWS rows run side by side on a vector target; the rest, and
// every row on the scalar target, one at a time.
template <Integrand F>
void integrate_rows(const View2D& w, double dt, double* out) {
    const uint64_t ns = w.rows;
    const uint64_t r = simd::dispatch([&](auto tag) GM_LAMBDA_INLINE -> uint64_t {
        uint64_t done = 0;
        if constexpr (simd::is_vector<decltype(tag)>) {
            using V = simd::native<decltype(tag)>;
            constexpr int L = LANES<V>;
            if (w.cols >= 2 && ns >= static_cast<uint64_t>(ROWS) &&
                w.stride0 == static_cast<int64_t>(sizeof(double))) {
                done = integrate_columns<F, V>(w, dt, out);
            } else if (w.cols >= 2) {
                for (; done + ROWS <= ns; done += ROWS) {
                    Lanes<V> sum = run_lanes<F, V>(w, done, dt, NoStep{});
                    for (int g = 0; g < ROWS / L; ++g) {
                        for (int lane = 0; lane < L; ++lane) {
                            out[done + g * L + lane] = sum.v[g][lane] * 0.5;
                        }
                    }
                }
            }
        }
        return done;
    });
    for (uint64_t i = r; i < ns; ++i) out[i] = run_row<F>(w.row(i), dt, NoStep{}) * 0.5;
}

template <Integrand F>
void integrate_ragged(const RowList& records, const double* dts, double* out) {
    const uint64_t n = records.size;
    const std::vector<uint64_t> order = by_length(records);
    const uint64_t grouped = simd::dispatch([&](auto tag) GM_LAMBDA_INLINE -> uint64_t {
        uint64_t done = 0;
        if constexpr (simd::is_vector<decltype(tag)>) {
            using V = simd::native<decltype(tag)>;
            for (; done + ROWS <= n; done += ROWS) {
                const Row* rows[ROWS];
                double group_dts[ROWS], sums[ROWS];
                for (int lane = 0; lane < ROWS; ++lane) {
                    rows[lane] = &records[order[done + lane]];
                    group_dts[lane] = dts[order[done + lane]];
                }
                const Lanes<V> sum = run_ragged<F, V>(rows, group_dts, NoStep{});
                for (int lane = 0; lane < ROWS; ++lane) {
                    sums[lane] = sum.v[lane / LANES<V>][lane % LANES<V>] * 0.5;
                }
                for (int lane = 0; lane < ROWS; ++lane) out[order[done + lane]] = sums[lane];
            }
        }
        return done;
    });
    for (uint64_t i = grouped; i < n; ++i) {
        out[order[i]] = run_row<F>(records[order[i]], dts[order[i]], NoStep{}) * 0.5;
    }
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

OwnedArray trapz_ragged(const RowList& records, const View2D& dts, Integrand f) {
    const std::vector<double> step = steps_of(dts, records);
    OwnedArray result(Dtype::F64, {records.size});
    if (f == Integrand::Square) {
        integrate_ragged<Integrand::Square>(records, step.data(), result.f64());
    } else {
        integrate_ragged<Integrand::Abs>(records, step.data(), result.f64());
    }
    return result;
}

}  // namespace gm
