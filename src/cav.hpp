#pragma once

#include "views.hpp"

namespace gm {

constexpr double CAV_FACTOR = 9.81;

OwnedArray cav(const View2D& waveforms, double dt);

}  // namespace gm
