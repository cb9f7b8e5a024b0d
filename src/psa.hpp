// Oscillator response spectra: the two-sample recursion of a linear
// oscillator given by eight coefficients, and the nine statistics per
// station and period.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "views.hpp"

namespace gm {

// One oscillator is one row of eight recursion coefficients:
//   columns 0..3  the 2 x 2 state matrix, row by row:  a_xx, a_xv, a_vx, a_vv
//   columns 4..7  the 2 x 2 input matrix, column by column:
//                 b_x0, b_v0 (weights of the earlier sample a[k]),
//                 b_x1, b_v1 (weights of the later sample a[k+1]).
// One step of one component is
//   x' = ((a_xx*x + a_xv*v) + b_x0*a[k]) + b_x1*a[k+1]
//   v' = ((a_vx*x + a_vv*v) + b_v0*a[k]) + b_v1*a[k+1]
// and x is the response whose peak is reported.
constexpr uint64_t N_COEFFICIENTS = 8;

// Last axis of the `_psa` result: 000, 090 and vertical peaks, their
// horizontal geometric mean, then RotD00, RotD50, RotD100 and the
// orientations of RotD00 and RotD100 of the horizontal response pair.
constexpr uint64_t ROTD_COMPONENTS = 9;

using CoefficientRecord = std::array<double, N_COEFFICIENTS>;
using ComponentPeaks = std::array<double, 3>;  // 000, 090, vertical

// Runs one oscillator over one station's three components, starting at rest.
// Writes the 000 and 090 responses to the two buffers (element 0 is the rest
// value 0.0, element k the response after the step over samples k-1 and k)
// and returns the peak absolute response of each component, or nothing when
// the final state of any component is not finite.  The three rows and the
// two buffers must all have the same length, at least 1.
std::optional<ComponentPeaks> respond(const CoefficientRecord& coefficients, const Row& comp_0,
                                      const Row& comp_90, const Row& comp_ver,
                                      std::span<double> response_0,
                                      std::span<double> response_90);

OwnedArray psa(const View2D& comp_0, const View2D& comp_90, const View2D& comp_ver,
               const View2D& coefficients);

}  // namespace gm
