#pragma once

#include "views.hpp"

namespace gm {

// Bracketed duration of every row: dt times the number of sample intervals
// from the first to the last sample whose |a| reaches `threshold`; 0 when no
// sample does, NaN for a row with a NaN or infinite sample.
OwnedArray bracketed_duration(const View2D& waveforms, double dt, double threshold);

}  // namespace gm
