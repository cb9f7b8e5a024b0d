#pragma once

#include "views.hpp"

namespace gm {

OwnedArray significant_duration(const View2D& waveforms, double dt, double low, double high);

// The same for every record of a ragged batch, record i sampled every
// dts[0, i]: the bits of one-record calls.
OwnedArray significant_duration_ragged(const RowList& records, const View2D& dts, double low,
                                      double high);
// The Husid curve of every row, (n, cols): the cumulative Arias intensity of
// significant_duration divided by its total.  A row whose total is below
// significant_duration's minimum gives zeros, a NaN or infinite total NaNs.
OwnedArray husid(const View2D& waveforms, double dt);

// The time i dt at which every row's Husid curve reaches each fraction of the
// (1, n_fractions) array, i found by significant_duration's search (the last
// sample equal to the fraction, else the first above it): (n, n_fractions).
// Zeros and NaNs as for husid.
OwnedArray arias_times(const View2D& waveforms, double dt, const View2D& fractions);

}  // namespace gm
