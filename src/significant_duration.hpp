#pragma once

#include "views.hpp"

namespace gm {

OwnedArray significant_duration(const View2D& waveforms, double dt, double low, double high);

// The same for every record of a ragged batch, record i sampled every
// dts[0, i]: the bits of one-record calls.
OwnedArray significant_duration_ragged(const RowList& records, const View2D& dts, double low,
                                      double high);

}  // namespace gm
