#include "arias_intensity.hpp"

#include "trapz.hpp"

namespace gm {

OwnedArray arias_intensity(const View2D& waveforms, double dt) {
    OwnedArray result = trapz_with_fun(waveforms, dt, Integrand::Square);
    double* v = result.f64();
    for (size_t i = 0; i < result.size(); ++i) v[i] = v[i] * ARIAS_FACTOR;
    return result;
}

OwnedArray arias_intensity_ragged(const RowList& records, const View2D& dts) {
    OwnedArray result = trapz_ragged(records, dts, Integrand::Square);
    double* v = result.f64();
    for (size_t i = 0; i < result.size(); ++i) v[i] = v[i] * ARIAS_FACTOR;
    return result;
}

}  // namespace gm
