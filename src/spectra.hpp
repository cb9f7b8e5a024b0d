// Peaks of single-component oscillators: the response spectra of one
// component per record (displacement, velocity and total acceleration).
#pragma once

#include <cstdint>

#include "views.hpp"

namespace gm {

// One oscillator is one row of ten coefficients: the eight recursion
// coefficients of psa.hpp, then c = 2 * damping, the weight of the scaled
// velocity v in the total acceleration, then k, the number of recursion steps
// per sample interval (a whole number in [1, 2^32], as a double).  The
// recursion coefficients are those of the step dt / k.
constexpr uint64_t N_PEAK_COEFFICIENTS = 10;

// Last axis of the `_oscillator_peaks` result: the peaks of |x|, of |v| and
// of |x + c v| (in the scaled state x = w^2 u, v = w u', x + 2 zeta v is
// minus the total acceleration u'' + a).
constexpr uint64_t N_OSCILLATOR_PEAKS = 3;

// Runs every oscillator (row of `coefficients`) over every record (row of
// `waveforms`), from rest, with the recursion of `psa`, and returns an
// (n_records, n_oscillators, 3) array of peaks.  With k = 1 the recursion
// runs from the first sample to the last and the peak of |x| is `psa`'s
// component peak, bit for bit.  With k > 1 it runs over the record read
// linearly between samples at the times j dt / k, j = 0 .. (n - 1) k - 1 (the
// last sample itself is left out), sub-sample j of the interval from a0 to a1
// being a0 + (a1 - a0) * (j / k) rounded step by step in that order, and the
// peaks are taken after every sub-step.  An oscillator whose final state is
// not finite, or whose k is not a whole number in [1, 2^32], gives three
// quiet NaNs.
OwnedArray oscillator_peaks(const View2D& waveforms, const View2D& coefficients);

// The same over every record of a ragged batch (a record without samples
// gives zeros, as a batch of empty records does).
OwnedArray oscillator_peaks_ragged(const RowList& records, const View2D& coefficients);

}  // namespace gm
