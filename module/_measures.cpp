// The module _measures: the measures that came after _core, declared like
// its functions and run through the same frame.

#include "module_def.hpp"
#include "rotd_percentiles.hpp"
#include "simd.hpp"
#include "spectra.hpp"

namespace {

const char* simd_target() { return gm::simd::target_name(gm::simd::target()); }

constexpr gm::frame::Function MEASURES[] = {
    GM_FUNCTION(_oscillator_peaks, gm::oscillator_peaks,
                "Peaks of single-component oscillators started at rest, as an\n"
                "(n_records, n_oscillators, 3) array.  Each row of coefficients_py holds\n"
                "the eight recursion coefficients of groundmotion.oscillator_coefficients\n"
                "(for the step dt / k), then 2 * damping, then k, the whole number of\n"
                "recursion steps per sample interval in [1, 2^32].  With k > 1 the record\n"
                "is read linearly between samples at the times j dt / k, j = 0 ..\n"
                "(n - 1) k - 1 (the last sample is left out).  The columns of the result\n"
                "are max|x|, max|v| and max|x + 2 damping v| of the scaled state\n"
                "(x = w^2 u, v = w u') over every step.  An oscillator whose final state\n"
                "is not finite, or whose k is not such a whole number, gives three NaNs.",
                waveforms_py, coefficients_py),
    GM_FUNCTION(_rotd_percentiles, gm::rotd_percentiles,
                "RotDnn of every station's horizontal pair, as an (n_stations,\n"
                "n_percentiles) array.  percentiles_py is a (1, n_percentiles) array of\n"
                "values in [0, 100]; RotDnn is the 180 directional peaks, sorted, read at\n"
                "position nn / 100 * 179 with linear interpolation, so that 0, 50 and 100\n"
                "give the RotD00, RotD50 and RotD100 of _rotd.  A station with a NaN or\n"
                "infinite sample gives a row of NaNs.",
                comp_0_py, comp_90_py, percentiles_py),
    GM_FUNCTION(_psa_percentiles, gm::psa_percentiles,
                "RotDnn of the horizontal oscillator responses, as an (n_stations,\n"
                "n_oscillators, n_percentiles) array.  Each row of coefficients_py holds\n"
                "the eight recursion coefficients that _psa takes; the responses start at\n"
                "rest and are those of _psa, bit for bit, and percentiles_py is read as in\n"
                "_rotd_percentiles.  An oscillator whose final state is not finite gives a\n"
                "row of NaNs.",
                comp_0_py, comp_90_py, coefficients_py, percentiles_py),
    GM_FUNCTION(_simd_target, simd_target,
                "The instruction set the kernels run on in this process: \"avx2\",\n"
                "\"baseline\" (SSE2 on x86-64, NEON on aarch64) or \"scalar\".  The\n"
                "environment variable GROUNDMOTION_SIMD, read once, narrows the choice\n"
                "to \"baseline\" or \"scalar\"."),
};

}  // namespace

GM_MODULE(_measures,
          "Compiled kernels of groundmotion beyond the core measures.\n"
          "Declared, bound and documented like those of groundmotion._core.",
          MEASURES)
