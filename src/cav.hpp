#pragma once

#include "views.hpp"

namespace gm {

constexpr double CAV_FACTOR = 9.81;

OwnedArray cav(const View2D& waveforms, double dt);

// The same for every record of a ragged batch, record i sampled every
// dts[0, i]: the bits of one-record calls.
OwnedArray cav_ragged(const RowList& records, const View2D& dts);
// CAV with the samples whose absolute value is below `threshold` (in the
// unit of the samples) set to zero before the rule of `cav` integrates them.
OwnedArray cav_threshold(const View2D& waveforms, double dt, double threshold);

// Standardised CAV: the integral of |a| of `cav` over 1-second windows whose
// peak |a| reaches `level`, summed.  Window i holds the sample intervals that
// start at a time k dt in [i, i + 1) s (k dt within a millionth of dt of a
// whole second counts as that second); its peak is taken over the samples at
// both ends of those intervals.  The last window holds what is left of the
// record.
OwnedArray cav_std(const View2D& waveforms, double dt, double level);

}  // namespace gm
