#pragma once

#include "views.hpp"

namespace gm {

constexpr double CAV_FACTOR = 9.81;

OwnedArray cav(const View2D& waveforms, double dt);

// The same for every record of a ragged batch, record i sampled every
// dts[0, i]: the bits of one-record calls.
OwnedArray cav_ragged(const RowList& records, const View2D& dts);

}  // namespace gm
