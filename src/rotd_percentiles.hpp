// RotD at any percentile: order statistics of the 180 directional peaks of a
// horizontal pair, of the records themselves or of oscillator responses.
#pragma once

#include <cstdint>

#include "rotd.hpp"
#include "views.hpp"

namespace gm {

// The 180 peaks sorted in the IEEE total order, ready to be read at any
// percentile.  A NaN among the peaks makes every percentile NaN.
class SortedPeaks {
public:
    explicit SortedPeaks(const Peaks& peaks);
    // RotDnn: the value at position p / 100 * 179 of the sorted peaks, linear
    // between neighbours; 0, 50 and 100 give the bits of RotD00, RotD50 and
    // RotD100 of rotd_statistics.  p must lie in [0, 100].
    double at(double p) const;

private:
    Peaks sorted_;
    bool nan_ = false;
};

// RotDnn of every station's pair at every percentile of the (1, n_p) array:
// an (ns, n_p) array.
OwnedArray rotd_percentiles(const View2D& comp_0, const View2D& comp_90,
                            const View2D& percentiles);

// RotDnn of the horizontal oscillator responses of every station and
// oscillator, each row of `coefficients` the eight recursion coefficients that
// psa takes, or those and a ninth column, the number of sub-steps k that
// psa_substeps takes (a row whose k is not a whole number in [1, 2^32] gives
// NaNs): an (ns, n_osc, n_p) array.
OwnedArray psa_percentiles(const View2D& comp_0, const View2D& comp_90,
                           const View2D& coefficients, const View2D& percentiles);

}  // namespace gm
