#include "cav.hpp"

#include "trapz.hpp"

namespace gm {

OwnedArray cav(const View2D& waveforms, double dt) {
    OwnedArray result = trapz_with_fun(waveforms, dt, Integrand::Abs);
    double* v = result.f64();
    for (size_t i = 0; i < result.size(); ++i) v[i] = v[i] * CAV_FACTOR;
    return result;
}

OwnedArray cav_ragged(const RowList& records, const View2D& dts) {
    OwnedArray result = trapz_ragged(records, dts, Integrand::Abs);
    double* v = result.f64();
    for (size_t i = 0; i < result.size(); ++i) v[i] = v[i] * CAV_FACTOR;
    return result;
}

}  // namespace gm
