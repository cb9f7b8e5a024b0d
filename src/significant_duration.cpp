#include "significant_duration.hpp"

#include <algorithm>
#include <cmath>
#include <string>
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
template <class V>
GM_INLINE void cumulative_lanes(const View2D& w, uint64_t row0, double dt, double* cum) {
    constexpr int L = LANES<V>;
    for (int lane = 0; lane < ROWS; ++lane) cum[lane] = 0.0;
    run_lanes<Integrand::Square, V>(w, row0, dt, [cum](uint64_t k, const Lanes<V>& sum) {
        for (int g = 0; g < ROWS / L; ++g) {
            simd::store(cum + k * ROWS + g * L, (sum.v[g] * 0.5) * ARIAS_FACTOR);
        }
    });
}

// Rows adjacent in memory (Fortran order): one sweep over the columns, in
// passes of SWEEP columns, that keeps every row's running sum at the end of
// each pass.  For a finite total of at least MIN_TOTAL the cumulative
// intensity never decreases (every interval adds a non-negative amount, and
// rounding is monotone), so the samples below a target are those before the
// first one that reaches it, and the samples equal to it run up to the
// first one beyond it.  A binary search over the pass ends finds the pass
// where that happens, and the pass is summed again from its checkpoint,
// with the same operations, to find the sample: the indices the binary
// search over the whole cumulative array finds.
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

// Keeps the running sums of every row at the end of every pass:
// ends[pass * count + row].
template <class V>
struct Checkpoints {
    double* ends;
    uint64_t count;
    uint64_t pass = 0;
    void enter(uint64_t v) { pass += v == 0; }
    void operator()(uint64_t, V) {}
    void leave(uint64_t v, V sum) { simd::store(ends + (pass - 1) * count + v * LANES<V>, sum); }
};

// One row of a Fortran-ordered batch, with its pass checkpoints.
struct CheckpointedRow {
    Row row;
    const double* ends;  // ends[p * stride], p = 0 .. passes - 1
    uint64_t stride;
    uint64_t passes;
    double dt, total;

    double q(double sum) const { return ((sum * 0.5) * ARIAS_FACTOR) / total; }

    // The first sample k whose normalised intensity passes t (q >= t, or
    // q > t with `strictly`), or row.len if none does.  Sample 0 is +0.0.
    template <class Passes>
    uint64_t first(double t, Passes passes_t) const {
        if (passes_t(0.0, t)) return 0;
        uint64_t lo = 0, n = passes;  // the first pass whose end passes t
        while (n > 0) {
            const uint64_t half = n / 2;
            if (passes_t(q(ends[(lo + half) * stride]), t)) {
                n = half;
            } else {
                lo += half + 1;
                n -= half + 1;
            }
        }
        if (lo == passes) return row.len;
        uint64_t k = 1 + lo * SWEEP;
        double sum = lo == 0 ? 0.0 : ends[(lo - 1) * stride];
        for (double prev = row[k - 1]; k < row.len; ++k) {
            const double cur = row[k];
            sum = sum + contribution<Integrand::Square>(prev, cur, dt);
            if (passes_t(q(sum), t)) return k;
            prev = cur;
        }
        return row.len;  // not reached: the pass's end passes t
    }

    // Samples below t, and the last sample equal to t (-1 for none).
    void search(double t, int64_t& below, int64_t& equal) const {
        const uint64_t ge = first(t, [](double v, double x) { return v >= x; });
        below = static_cast<int64_t>(ge);
        equal = -1;
        if (ge == row.len) return;
        const double at = ge == 0 ? 0.0 : q_at(ge);
        if (at == t) {
            equal = static_cast<int64_t>(first(t, [](double v, double x) { return v > x; })) - 1;
        }
    }

    // The normalised intensity after sample k >= 1, from its pass's checkpoint.
    double q_at(uint64_t k) const {
        const uint64_t pass = (k - 1) / SWEEP;
        uint64_t i = 1 + pass * SWEEP;
        double sum = pass == 0 ? 0.0 : ends[(pass - 1) * stride];
        for (double prev = row[i - 1]; i <= k; ++i) {
            const double cur = row[i];
            sum = sum + contribution<Integrand::Square>(prev, cur, dt);
            prev = cur;
        }
        return q(sum);
    }
};

template <class V>
GM_INLINE void durations_by_columns(const View2D& w, uint64_t count, double dt, double low,
                                    double high, double* out) {
    const uint64_t passes = (w.cols - 1 + SWEEP - 1) / SWEEP;
    std::vector<double> totals(count, 0.0);
    std::vector<double> ends(passes * count);
    sweep_columns<Integrand::Square, V>(w, 0, count, dt, totals.data(),
                                        Checkpoints<V>{ends.data(), count});
    const double t_low = Threshold::of(low).value, t_high = Threshold::of(high).value;
    for (uint64_t r = 0; r < count; ++r) {
        const double total = (totals[r] * 0.5) * ARIAS_FACTOR;
        if (unusable_total(total)) {
            out[r] = quiet_nan();
            continue;
        }
        if (total < MIN_TOTAL) {
            out[r] = 0.0;
            continue;
        }
        const CheckpointedRow row{w.row(r), ends.data() + r, count, passes, dt, total};
        int64_t below_low, eq_low, below_high, eq_high;
        row.search(t_low, below_low, eq_low);
        row.search(t_high, below_high, eq_high);
        const int64_t i_low = eq_low >= 0 ? eq_low : below_low;
        int64_t j;
        if (eq_high >= 0) {
            j = eq_high >= i_low ? eq_high - i_low : 0;
        } else {
            j = below_high > i_low ? below_high - i_low : 0;
        }
        out[r] = dt * static_cast<double>(j);
    }
}


// Calls row(r, cum, stride) with the cumulative Arias intensity of every
// row r >= first (cols values spaced `stride` doubles): groups of ROWS rows
// side by side on a vector target; the rest, and every row on the scalar
// target, one at a time.
template <class RowFn>
void for_each_cumulative(const View2D& waveforms, double dt, uint64_t first, RowFn&& row) {
    const uint64_t ns = waveforms.rows;
    const uint64_t nt = waveforms.cols;
    if (ns == 0 || nt == 0) return;
    uint64_t r = simd::dispatch([&](auto tag) GM_LAMBDA_INLINE -> uint64_t {
        uint64_t done = first;
        if constexpr (simd::is_vector<decltype(tag)>) {
            using V = simd::native<decltype(tag)>;
            if (nt >= 2 && ns - done >= static_cast<uint64_t>(ROWS)) {
                std::vector<double> cum(nt * ROWS);
                double* c = cum.data();
                for (; done + ROWS <= ns; done += ROWS) {
                    cumulative_lanes<V>(waveforms, done, dt, c);
                    for (int lane = 0; lane < ROWS; ++lane) row(done + lane, c + lane, ROWS);
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
            row(r, cum.data(), int64_t{1});
        }
    }
}

}  // namespace

OwnedArray significant_duration(const View2D& waveforms, double dt, double low, double high) {
    const uint64_t ns = waveforms.rows;
    const uint64_t nt = waveforms.cols;
    OwnedArray result(Dtype::F64, {ns});
    double* out = result.f64();
    if (ns == 0 || nt == 0) return result;

    // Rows adjacent in memory (Fortran order) by columns on a vector target;
    // the rest from their cumulative intensity.
    const uint64_t by_columns = simd::dispatch([&](auto tag) GM_LAMBDA_INLINE -> uint64_t {
        uint64_t done = 0;
        if constexpr (simd::is_vector<decltype(tag)>) {
            using V = simd::native<decltype(tag)>;
            if (nt >= 2 && ns >= static_cast<uint64_t>(ROWS) &&
                waveforms.stride0 == static_cast<int64_t>(sizeof(double))) {
                done = ns / ROWS * ROWS;
                durations_by_columns<V>(waveforms, done, dt, low, high, out);
            }
        }
        return done;
    });
    for_each_cumulative(waveforms, dt, by_columns,
                        [&](uint64_t r, const double* cum, int64_t stride) {
                            out[r] = threshold_search(cum, stride, nt, dt, low, high);
                        });
    return result;
}

OwnedArray significant_duration_ragged(const RowList& records, const View2D& dts, double low,
                                      double high) {
    const std::vector<double> step = steps_of(dts, records);
    const uint64_t n = records.size;
    OwnedArray result(Dtype::F64, {n});
    double* out = result.f64();
    const std::vector<uint64_t> order = by_length(records);
    // Groups of records of close lengths side by side, as in a uniform batch;
    // the rest, and every record on the scalar target, one at a time.
    std::vector<double> cum;
    const uint64_t grouped = simd::dispatch([&](auto tag) GM_LAMBDA_INLINE -> uint64_t {
        uint64_t done = 0;
        if constexpr (simd::is_vector<decltype(tag)>) {
            using V = simd::native<decltype(tag)>;
            constexpr int L = LANES<V>;
            for (; done + ROWS <= n; done += ROWS) {
                const Row* rows[ROWS];
                double group_dts[ROWS];
                for (int lane = 0; lane < ROWS; ++lane) {
                    rows[lane] = &records[order[done + lane]];
                    group_dts[lane] = step[order[done + lane]];
                }
                const uint64_t longest = rows[ROWS - 1]->len;
                if (longest < 2) {  // nothing to integrate
                    for (int lane = 0; lane < ROWS; ++lane) {
                        out[order[done + lane]] = significant_duration(
                            one_row(*rows[lane]), group_dts[lane], low, high).f64()[0];
                    }
                    continue;
                }
                cum.resize(longest * ROWS);
                double* c = cum.data();
                for (int lane = 0; lane < ROWS; ++lane) c[lane] = 0.0;
                run_ragged<Integrand::Square, V>(rows, group_dts, [c](uint64_t k, const Lanes<V>& sum) {
                    for (int g = 0; g < ROWS / L; ++g) {
                        simd::store(c + k * ROWS + g * L, (sum.v[g] * 0.5) * ARIAS_FACTOR);
                    }
                });
                for (int lane = 0; lane < ROWS; ++lane) {
                    out[order[done + lane]] =
                        threshold_search(c + lane, ROWS, rows[lane]->len, group_dts[lane], low, high);
                }
            }
        }
        return done;
    });
    for (uint64_t i = grouped; i < n; ++i) {
        out[order[i]] = significant_duration(one_row(records[order[i]]), step[order[i]], low, high).f64()[0];
    }
    return result;
}

// ---------------------------------------------------------------------------
// The Husid curve and the times at which it reaches given fractions, from the
// sums and the search of significant_duration, so that their sample indices
// agree with its durations.

namespace {

// Normalises one row of cumulative intensity in place: NaN for an unusable
// total, zeros below the minimum total, else every value over the total.
template <class V>
GM_INLINE void normalise_row(double* o, uint64_t nt, double total) {
    if (unusable_total(total)) {
        for (uint64_t k = 0; k < nt; ++k) o[k] = quiet_nan();
    } else if (total < MIN_TOTAL) {
        for (uint64_t k = 0; k < nt; ++k) o[k] = 0.0;
    } else {
        constexpr uint64_t L = static_cast<uint64_t>(LANES<V>);
        const V t = simd::splat<V>(total);
        uint64_t k = 0;
        for (; k + L <= nt; k += L) simd::store(o + k, simd::load<V>(o + k) / t);
        for (; k < nt; ++k) o[k] = o[k] / total;
    }
}

// The running intensity of ROWS rows side by side goes straight into their
// output rows, a block of samples at a time through a small interleaved
// buffer; each row is then divided by its total while it is still in cache.
template <class V>
GM_INLINE void husid_lanes(const View2D& w, uint64_t row0, double dt, double* out) {
    constexpr int L = LANES<V>;
    constexpr uint64_t BLOCK = 64;  // samples per flush, a multiple of 4
    const uint64_t nt = w.cols;
    double* rows[ROWS];
    for (int lane = 0; lane < ROWS; ++lane) rows[lane] = out + (row0 + lane) * nt;
    alignas(64) double buf[BLOCK * ROWS];
    uint64_t k0 = 1;  // the first sample held in buf; sample 0 is +0.0
    auto flush = [&](uint64_t count) GM_LAMBDA_INLINE {
        uint64_t j = 0;
        if constexpr (L == 4) {
            for (; j + 4 <= count; j += 4) {
                for (int g = 0; g < ROWS / 4; ++g) {
                    const simd::f64x4 in[4] = {simd::load<simd::f64x4>(buf + (j + 0) * ROWS + g * 4),
                                               simd::load<simd::f64x4>(buf + (j + 1) * ROWS + g * 4),
                                               simd::load<simd::f64x4>(buf + (j + 2) * ROWS + g * 4),
                                               simd::load<simd::f64x4>(buf + (j + 3) * ROWS + g * 4)};
                    simd::f64x4 t[4];
                    simd::transpose4(in, t);
                    for (int i = 0; i < 4; ++i) simd::store(rows[g * 4 + i] + k0 + j, t[i]);
                }
            }
        }
        for (; j < count; ++j) {
            for (int lane = 0; lane < ROWS; ++lane) rows[lane][k0 + j] = buf[j * ROWS + lane];
        }
    };
    const Lanes<V> sums = run_lanes<Integrand::Square, V, true>(
        w, row0, dt, [&](uint64_t k, const Lanes<V>& sum) GM_LAMBDA_INLINE {
            double* at = buf + (k - k0) * ROWS;
            for (int g = 0; g < ROWS / L; ++g) {
                simd::store(at + g * L, (sum.v[g] * 0.5) * ARIAS_FACTOR);
            }
            if (k + 1 - k0 == BLOCK) {
                flush(BLOCK);
                k0 += BLOCK;
            }
        });
    if (nt > k0) flush(nt - k0);
    for (int lane = 0; lane < ROWS; ++lane) {
        rows[lane][0] = 0.0;
        const double total = (sums.v[lane / L][lane % L] * 0.5) * ARIAS_FACTOR;
        normalise_row<V>(rows[lane], nt, total);
    }
}

}  // namespace

OwnedArray husid(const View2D& waveforms, double dt) {
    const uint64_t ns = waveforms.rows, nt = waveforms.cols;
    OwnedArray result(Dtype::F64, {ns, nt});
    double* out = result.f64();
    if (ns == 0 || nt == 0) return result;
    const uint64_t grouped = simd::dispatch([&](auto tag) GM_LAMBDA_INLINE -> uint64_t {
        uint64_t done = 0;
        if constexpr (simd::is_vector<decltype(tag)>) {
            using V = simd::native<decltype(tag)>;
            if (nt >= 2) {
                for (; done + ROWS <= ns; done += ROWS) husid_lanes<V>(waveforms, done, dt, out);
            }
        }
        return done;
    });
    for_each_cumulative(waveforms, dt, grouped, [&](uint64_t r, const double* cum, int64_t stride) {
        double* o = out + r * nt;
        for (uint64_t k = 0; k < nt; ++k) o[k] = cum[static_cast<int64_t>(k) * stride];
        normalise_row<double>(o, nt, o[nt - 1]);
    });
    return result;
}

OwnedArray arias_times(const View2D& waveforms, double dt, const View2D& fractions) {
    if (fractions.rows != 1) panic_not_equal("fractions must be one row", fractions.rows, 1);
    const uint64_t nf = fractions.cols;
    std::vector<double> wanted(nf);
    for (uint64_t j = 0; j < nf; ++j) {
        const double f = fractions.at(0, j);
        if (!(f >= 0.0 && f <= 1.0)) panic("fractions must lie in [0, 1]; got " + std::to_string(f));
        wanted[j] = f;
    }
    const uint64_t ns = waveforms.rows, nt = waveforms.cols;
    OwnedArray result(Dtype::F64, {ns, nf});
    double* out = result.f64();
    if (ns == 0 || nt == 0) return result;
    // Zeros below the minimum total (as allocated), NaNs for an unusable one.
    auto usable = [&](uint64_t r, double total) {
        if (unusable_total(total)) {
            for (uint64_t j = 0; j < nf; ++j) out[r * nf + j] = quiet_nan();
        }
        return !unusable_total(total) && total >= MIN_TOTAL;
    };

    // Groups of ROWS rows side by side keep their running sums only at the
    // end of every SWEEP samples, as the column sweep of significant_duration
    // does, and find each index from those checkpoints (CheckpointedRow): the
    // index the search over the whole cumulative array finds.
    uint64_t r = simd::dispatch([&](auto tag) GM_LAMBDA_INLINE -> uint64_t {
        uint64_t done = 0;
        if constexpr (simd::is_vector<decltype(tag)>) {
            using V = simd::native<decltype(tag)>;
            constexpr int L = LANES<V>;
            if (nt >= 2 && ns >= static_cast<uint64_t>(ROWS)) {
                const uint64_t passes = (nt - 1 + SWEEP - 1) / SWEEP;
                std::vector<double> ends(passes * ROWS);
                double* e = ends.data();
                for (; done + ROWS <= ns; done += ROWS) {
                    const Lanes<V> sums = run_lanes<Integrand::Square, V, true>(
                        waveforms, done, dt, [&](uint64_t k, const Lanes<V>& sum) GM_LAMBDA_INLINE {
                            if (k % SWEEP == 0 || k == nt - 1) {
                                double* at = e + (k - 1) / SWEEP * ROWS;
                                for (int g = 0; g < ROWS / L; ++g) simd::store(at + g * L, sum.v[g]);
                            }
                        });
                    for (int lane = 0; lane < ROWS; ++lane) {
                        const double total = (sums.v[lane / L][lane % L] * 0.5) * ARIAS_FACTOR;
                        if (!usable(done + lane, total)) continue;
                        const CheckpointedRow row{waveforms.row(done + lane), e + lane, ROWS,
                                                  passes, dt, total};
                        for (uint64_t j = 0; j < nf; ++j) {
                            int64_t below, equal;
                            row.search(Threshold::of(wanted[j]).value, below, equal);
                            const int64_t i = equal >= 0 ? equal : below;
                            out[(done + lane) * nf + j] = static_cast<double>(i) * dt;
                        }
                    }
                }
            }
        }
        return done;
    });
    // The rest (fewer than a group) from their cumulative intensity.
    for_each_cumulative(waveforms, dt, r, [&](uint64_t row, const double* cum, int64_t stride) {
        const double total = cum[static_cast<int64_t>(nt - 1) * stride];
        if (!usable(row, total)) return;
        for (uint64_t j = 0; j < nf; ++j) {
            const uint64_t i = search(cum, stride, nt, total, wanted[j]);
            out[row * nf + j] = static_cast<double>(i) * dt;
        }
    });
    return result;
}

}  // namespace gm
