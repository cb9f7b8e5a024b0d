// Rotated-component maxima: the convex hull of a horizontal trajectory, its
// 180 directional peaks, and the RotD statistics of those peaks.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "views.hpp"

namespace gm {

using Peaks = std::array<double, 180>;
using RotdRow = std::array<double, 5>;  // RotD00, RotD50, RotD100, angle00, angle100

struct Point {
    double x;
    double y;
};

// Reusable work object: one per kernel call, reused for every row.
class Hull {
public:
    static Hull with_capacity(uint64_t nt);
    // The 180 directional peaks of the trajectory (x[i], y[i]), i < x.len.
    // Throws Panic("ndarray: index out of bounds") when x is empty or y is
    // shorter than x.
    Peaks peaks(const Row& x, const Row& y);

private:
    std::vector<Point> points_;
    std::vector<Point> vertices_;
};

RotdRow rotd_statistics(const Peaks& peaks);

OwnedArray rotd(const View2D& comp_0, const View2D& comp_90);

}  // namespace gm
