// Konno-Ohmachi smoothing on a uniform frequency grid that starts at zero.
#pragma once

#include <cstdint>

#include "views.hpp"

namespace gm {

OwnedArray smooth(const View2D& spectra, double bandwidth);
OwnedArray matrix_rows(uint64_t n_bins, uint64_t start, uint64_t stop, double bandwidth);

}  // namespace gm
