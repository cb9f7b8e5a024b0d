// The trapezoidal rule that splits a sign-changing interval at its linearly
// interpolated zero crossing, in total and as a running sum.
#pragma once

#include "views.hpp"

namespace gm {

enum class Integrand { Square, Abs };

// Integral of f(a) along every row, (S * 0.5) for each row.
OwnedArray trapz_with_fun(const View2D& waveforms, double dt, Integrand f);

// Integral of f(a) along every record of a ragged batch, (S * 0.5) for each,
// record i sampled every dts[0, i]: the bits of a one-record call.
OwnedArray trapz_ragged(const RowList& records, const View2D& dts, Integrand f);

// Running integral of f(a) along one row: out[0] = 0, out[k] = (S_k * 0.5).
// `out` holds row.len elements.
void cumulative_trapz_row(const Row& row, double dt, Integrand f, double* out);

}  // namespace gm
