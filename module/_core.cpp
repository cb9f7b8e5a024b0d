// The module _core: the seven functions, in the order in which they are
// added to the module and listed in __all__.

#include "module_def.hpp"

#include "arias_intensity.hpp"
#include "cav.hpp"
#include "konno_ohmachi.hpp"
#include "psa.hpp"
#include "rotd.hpp"
#include "significant_duration.hpp"

namespace {

constexpr gm::frame::Function CORE[] = {
    GM_FUNCTION(_arias_intensity, gm::arias_intensity, "", waveforms_py, dt),
    GM_FUNCTION(_cav, gm::cav, "", waveforms_py, dt),
    GM_FUNCTION(_konno_ohmachi_matrix_rows, gm::matrix_rows,
                "Rows `start..stop` of the Konno-Ohmachi smoothing matrix.\n\n"
                "Returns a `(stop - start, n_bins)` row-major `float32` array. Row `c` is\n"
                "the set of weights that produce output bin `c` and sums to one.",
                n_bins, bandwidth, start, stop),
    GM_FUNCTION(_konno_ohmachi_smooth, gm::smooth,
                "Konno-Ohmachi smoothing of `(n_spectra, n_bins)` spectra, matrix-free.",
                spectra_py, bandwidth),
    GM_FUNCTION(_psa, gm::psa,
                "Pseudo-spectral acceleration statistics for every station and period.\n\n"
                "The three components have shape `(ns, nt)` and `coefficients` has\n"
                "shape `(n_periods, 8)`, one oscillator per row as documented on\n"
                "[`psa::N_COEFFICIENTS`]. Returns an `(ns, n_periods, 9)` array whose last "
                "axis is laid out as\n"
                "`ROTD_COMPONENTS`: the 000, 090, vertical and geometric mean peaks,\n"
                "then the five columns [`_rotd`] returns.",
                comp_0_py, comp_90_py, comp_ver_py, coefficients_py),
    GM_FUNCTION(_rotd, gm::rotd,
                "RotD statistics of every `(comp_0, comp_90)` pair.\n\n"
                "Returns an `(ns, 5)` array: RotD00, RotD50 and RotD100, then the\n"
                "orientation in degrees at which RotD00 and RotD100 occur.",
                comp_0_py, comp_90_py),
    GM_FUNCTION(_significant_duration, gm::significant_duration, "", waveforms_py, dt, low, high),
};

}  // namespace

GM_MODULE(_core,
          "Compiled kernels of groundmotion.\n"
          "Every function is named after its measure with a leading underscore;\n"
          "array parameters end in `_py`, number parameters do not.",
          CORE)
