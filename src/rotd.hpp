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

// cos and sin of the whole degrees 0 .. 179 at which every trajectory is
// rotated.
struct AngleTable {
    alignas(32) double cos[180];
    alignas(32) double sin[180];
};
const AngleTable& angle_table();

// Bounding box of a run of consecutive samples.
struct SampleBox {
    double minx, maxx, miny, maxy;
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
    // Fills points_ with the samples that the polygon of the four extreme
    // samples does not strictly contain.  Returns false, leaving the lists
    // alone, when a sample is an infinity or NaN.  `plain` tells whether the
    // trajectory's cross products can be taken in plain float64 arithmetic.
    // V is the lane type of the running target (rotd.cpp).
    template <class V>
    bool select_candidates(const double* x, const double* y, uint64_t nt, bool& plain);
    // Sorts and de-duplicates points_, then builds vertices_ from it.
    void build_hull(bool plain);
    // keys_ = the (x, y) sort keys of points_, ascending.
    void sort_keys();

    __extension__ typedef unsigned __int128 SortKey;

    std::vector<Point> points_;
    std::vector<Point> vertices_;
    // Work storage of the sort and the filter, kept from row to row.
    std::vector<SortKey> keys_;
    std::vector<uint32_t> bucket_;
    std::vector<uint32_t> counts_;
    std::vector<SampleBox> boxes_;  // one per run of 64 samples
    std::vector<Point> chain_;      // the monotone chain's stack
    // Contiguous copies of rows with a non-unit stride.
    std::vector<double> copy_x_;
    std::vector<double> copy_y_;
};

RotdRow rotd_statistics(const Peaks& peaks);

// (a + b) * 0.5 for peaks a <= b, halved before adding when the sum
// overflows: the median of an even count, as RotD50 takes it.
double mean_of_two(double a, double b);

OwnedArray rotd(const View2D& comp_0, const View2D& comp_90);

}  // namespace gm
