#pragma once

#include "views.hpp"

namespace gm {

// pi * 9.81 / 2, the double nearest to it.
constexpr double ARIAS_FACTOR = 15.409511965857936;

OwnedArray arias_intensity(const View2D& waveforms, double dt);

}  // namespace gm
