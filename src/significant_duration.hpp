#pragma once

#include "views.hpp"

namespace gm {

OwnedArray significant_duration(const View2D& waveforms, double dt, double low, double high);

}  // namespace gm
