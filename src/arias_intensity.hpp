#pragma once

#include "views.hpp"

namespace gm {

// pi * 9.81 / 2, the double nearest to it.
constexpr double ARIAS_FACTOR = 15.409511965857936;

OwnedArray arias_intensity(const View2D& waveforms, double dt);

// The same for every record of a ragged batch, record i sampled every
// dts[0, i]: the bits of one-record calls.
OwnedArray arias_intensity_ragged(const RowList& records, const View2D& dts);

}  // namespace gm
