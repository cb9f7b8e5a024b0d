// Peaks of single-component oscillators: the response spectra of one
// component per record (displacement, velocity and total acceleration).
#pragma once

#include <cstdint>

#include "views.hpp"

namespace gm {

// One oscillator is one row of nine coefficients: the eight recursion
// coefficients of psa.hpp, then c = 2 * damping, the weight of the scaled
// velocity v in the total acceleration.
constexpr uint64_t N_PEAK_COEFFICIENTS = 9;

// Last axis of the `_oscillator_peaks` result: the peaks of |x|, of |v| and
// of |x + c v| (in the scaled state x = w^2 u, v = w u', x + 2 zeta v is
// minus the total acceleration u'' + a).
constexpr uint64_t N_OSCILLATOR_PEAKS = 3;

// Runs every oscillator (row of `coefficients`) over every record (row of
// `waveforms`), from rest, with the recursion of `psa`, and returns an
// (n_records, n_oscillators, 3) array of peaks.  The peak of |x| is `psa`'s
// component peak, bit for bit.  An oscillator whose final state is not
// finite gives three quiet NaNs.
OwnedArray oscillator_peaks(const View2D& waveforms, const View2D& coefficients);

}  // namespace gm
