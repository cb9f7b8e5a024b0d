#pragma once

#include "views.hpp"

namespace gm {

// Peak ground acceleration, velocity and displacement of every row: an
// (n, 3) array of max|a|, max|v| and max|d|, where v and d are the running
// trapezoidal integrals from rest (v[0] = d[0] = 0),
//   v[k] = v[k-1] + (dt * (a[k-1] + a[k])) * 0.5,
//   d[k] = d[k-1] + (dt * (v[k-1] + v[k])) * 0.5,
// in the unit of the samples times s and s^2.  A row whose final velocity
// or displacement is not finite (a NaN or infinite sample) gives three NaNs.
OwnedArray peak_motions(const View2D& waveforms, double dt);

// RotDnn of the velocity and the displacement (as above) of every pair of
// horizontal components, at each percentile of the (1, n_p) array: an
// (n, 2, n_p) array, [r, 0] velocity and [r, 1] displacement, read from the
// 180 directional peaks as rotd_percentiles reads them.  The peaks come from
// the convex hull of the trajectory (rotd.hpp), built on the samples that a
// cheap screen cannot place strictly inside it.  A pair with a NaN or
// infinite sample gives NaNs.
OwnedArray rotd_motions(const View2D& comp_0, const View2D& comp_90, double dt,
                        const View2D& percentiles);

}  // namespace gm
