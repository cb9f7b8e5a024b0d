// The module _measures: the measures that came after _core, declared like
// its functions and run through the same frame.

#include "arias_intensity.hpp"
#include "bracketed_duration.hpp"
#include "cav.hpp"
#include "konno_ohmachi.hpp"
#include "module_def.hpp"
#include "numbers.hpp"
#include "peak_motions.hpp"
#include "psa_substeps.hpp"
#include "rotd_percentiles.hpp"
#include "significant_duration.hpp"
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
                "the eight recursion coefficients that _psa takes, or those and the number\n"
                "of sub-steps k that _psa_substeps takes; the responses start at rest and\n"
                "are those of _psa (of _psa_substeps), bit for bit, and percentiles_py is\n"
                "read as in _rotd_percentiles.  An oscillator whose final state is not\n"
                "finite, or whose k is not a whole number in [1, 2^32], gives a row of NaNs.",
                comp_0_py, comp_90_py, coefficients_py, percentiles_py),
    GM_FUNCTION(_psa_substeps, gm::psa_substeps,
                "The (n_stations, n_oscillators, 9) result of _core._psa with sub-steps.\n"
                "Each row of coefficients_py holds the eight recursion coefficients of\n"
                "groundmotion.oscillator_coefficients (for the step dt / k), then k, the\n"
                "whole number of recursion steps per sample interval in [1, 2^32].  With\n"
                "k > 1 every component is read linearly between samples as\n"
                "_oscillator_peaks reads it (the last sample is left out), the peaks are\n"
                "taken after every step and the RotD statistics come from the sub-stepped\n"
                "horizontal responses; k = 1 gives the bits of _psa.  An oscillator whose\n"
                "final state is not finite, or whose k is not such a whole number, gives a\n"
                "row of NaNs.",
                comp_0_py, comp_90_py, comp_ver_py, coefficients_py),
    GM_FUNCTION(_konno_ohmachi_onto, gm::smooth_onto,
                "Konno-Ohmachi smoothing of every row of spectra_py (n_spectra, n_bins) onto\n"
                "the centres centres_py (1, n_centres), as an (n_spectra, n_centres) array.\n"
                "frequencies_py (1, n_bins) holds the frequency of every bin, positive and\n"
                "strictly increasing except for a first bin at 0 Hz, which takes no part.\n"
                "The weight of bin i about centre c is (sin x / x)^4 with x = bandwidth *\n"
                "(log10 f_i - log10 f_c), and 1 where x is 0; each output is the weighted\n"
                "sum over every bin divided by the sum of the weights.  A NaN in a spectrum\n"
                "makes that spectrum's row NaN.",
                spectra_py, frequencies_py, centres_py, bandwidth),
    GM_FUNCTION(_arias_ragged, gm::arias_intensity_ragged,
                "Arias intensity of every record of a ragged batch, as an (n_records,)\n"
                "array: records_py is a list of 1-D float64 arrays of any lengths, in g,\n"
                "dts_py a (1, n_records) array of their sampling intervals.  Each value\n"
                "is the one _core._arias_intensity gives for that record alone.",
                records_py, dts_py),
    GM_FUNCTION(_cav_ragged, gm::cav_ragged,
                "Cumulative absolute velocity of every record of a ragged batch, as\n"
                "_arias_ragged takes them; each value is _core._cav's for that record.",
                records_py, dts_py),
    GM_FUNCTION(_significant_duration_ragged, gm::significant_duration_ragged,
                "Significant duration of every record of a ragged batch, as _arias_ragged\n"
                "takes them; each value is _core._significant_duration's for that record.",
                records_py, dts_py, low, high),
    GM_FUNCTION(_oscillator_peaks_ragged, gm::oscillator_peaks_ragged,
                "_oscillator_peaks over every record of a ragged batch (a list of 1-D\n"
                "float64 arrays, all sampled at the step the coefficients are for), as an\n"
                "(n_records, n_oscillators, 3) array; each record's rows are those of\n"
                "_oscillator_peaks for the record alone.",
                records_py, coefficients_py),
    GM_FUNCTION(_peak_motions, gm::peak_motions,
                "Peaks of every waveform and of its running trapezoidal velocity and\n"
                "displacement from rest, as an (n_records, 3) array: max|a|, max|v| and\n"
                "max|d| in the unit of the samples (times s, s^2), with\n"
                "v[k] = v[k-1] + (dt * (a[k-1] + a[k])) * 0.5 and d likewise from v.\n"
                "A record with a NaN or infinite sample gives three NaNs.",
                waveforms_py, dt),
    GM_FUNCTION(_rotd_motions, gm::rotd_motions,
                "RotDnn of the running velocity and displacement of _peak_motions of\n"
                "every horizontal pair, as an (n_records, 2, n_percentiles) array\n"
                "([:, 0] velocity, [:, 1] displacement, unit of the samples times s and\n"
                "s^2); percentiles_py is read as in _rotd_percentiles.  A pair with a NaN\n"
                "or infinite sample gives NaNs.",
                comp_0_py, comp_90_py, dt, percentiles_py),
    GM_FUNCTION(_cav_threshold, gm::cav_threshold,
                "CAV (m/s, the rule and factor of _core._cav) of every waveform with the\n"
                "samples whose absolute value lies below threshold set to zero.",
                waveforms_py, dt, threshold),
    GM_FUNCTION(_cav_std, gm::cav_std,
                "Standardised CAV (m/s): the CAV of _core._cav over the 1-second windows\n"
                "whose peak |a| reaches level, summed.  Window i holds the sample\n"
                "intervals starting at k dt in [i, i + 1) s (k + 1e-6 in place of k), its\n"
                "peak is over both ends of those intervals, and the last window holds\n"
                "the rest of the record.",
                waveforms_py, dt, level),
    GM_FUNCTION(_bracketed_duration, gm::bracketed_duration,
                "Time from the first to the last sample whose |a| reaches threshold, as\n"
                "dt times the number of intervals between them; 0 when none does, NaN\n"
                "for a waveform with a NaN or infinite sample.",
                waveforms_py, dt, threshold),
    GM_FUNCTION(_husid, gm::husid,
                "The Husid curve of every waveform, (n_records, n_samples): the running\n"
                "Arias intensity of _core._significant_duration over its total; zeros\n"
                "below its minimum total, NaNs for a NaN or infinite total.",
                waveforms_py, dt),
    GM_FUNCTION(_arias_times, gm::arias_times,
                "Times i dt at which the Husid curve reaches each fraction of the\n"
                "(1, n_fractions) array fractions_py, i found by the search of\n"
                "_core._significant_duration, as an (n_records, n_fractions) array.",
                waveforms_py, dt, fractions_py),
    GM_FUNCTION(_parse_numbers, gm::parse_numbers,
                "The whitespace-separated decimal numbers of the bytes text_py, each\n"
                "rounded correctly to float64, as an (n + 1,) array: -1 then the n numbers,\n"
                "or, when a token is not a decimal number, that token's byte offset alone.",
                text_py),
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
