// Oscillator response spectra: the two-sample recursion of a linear
// oscillator given by eight coefficients, and the nine statistics per
// station and period.
#pragma once

#include <array>
#include <cstdint>

#include "views.hpp"

namespace gm {

constexpr uint64_t N_COEFFICIENTS = 8;
constexpr uint64_t ROTD_COMPONENTS = 9;

OwnedArray psa(const View2D& comp_0, const View2D& comp_90, const View2D& comp_ver,
               const View2D& coefficients);

}  // namespace gm
