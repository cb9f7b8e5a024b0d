// Konno-Ohmachi smoothing: on a uniform frequency grid that starts at zero,
// and from any increasing frequencies onto any centres.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "views.hpp"

namespace gm {

// Konno-Ohmachi smoothing of every row of `spectra` (n_spectra, n_bins).
OwnedArray smooth(const View2D& spectra, double bandwidth);

// Smoothing of every row of `spectra` (n_spectra, n_bins) whose bins lie at
// the frequencies (1, n_bins) (positive and increasing, except a first bin
// at 0 Hz, which takes no part) onto the centres (1, n_centres), positive:
// an (n_spectra, n_centres) array.
OwnedArray smooth_onto(const View2D& spectra, const View2D& frequencies, const View2D& centres,
                       double bandwidth);

// Rows start..stop of the n_bins x n_bins smoothing matrix, in float32.
OwnedArray matrix_rows(uint64_t n_bins, double bandwidth, uint64_t start, uint64_t stop);

// log10 of every bin index, log_bins[0] = -inf: the table shared by every
// window of one call.
std::vector<double> log_bins(uint64_t n_bins);

// The normalised weights that produce output bin `c` from every input bin,
// written over the whole of `window` (which has the table's length).
void smoothing_window(uint64_t c, std::span<const double> log_bins, std::span<double> window,
                      double bandwidth);

// sin(x[k]) for every k: the sine behind every weight, faithfully rounded
// and odd (sine(-x) == -sine(x) bit for bit).
void sine(std::span<const double> x, std::span<double> out);

}  // namespace gm
