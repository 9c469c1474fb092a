// reach.h - which identifiers the detector can hear in an input at a given rate. The detector
// looks at tone 0 from bin 111 up and at tone 15 up to bin 444 of its 6000/s spectrum; an input
// whose rate cannot carry that band holds only the identifiers whose 15 tones fit below half of
// it. The tool warns (or fails) with these sentences, and the Python module warns with them.
#ifndef RSID_TOOL_REACH_H
#define RSID_TOOL_REACH_H

#include "rsid_signal.h"

#include <string>

namespace rsid_tool {

namespace reach {
namespace sig = rsid_signal;
// Top of the detector's band, tone 15 at bin 444 [Hz]: 2397 Hz.
inline constexpr double band_top_hz = (sig::first_bin + sig::bins) * sig::true_bin_hz;
// Lowest and highest tone 0 it hears at any rate [Hz]: bins 111 and 414 (598 and 2230 Hz).
inline constexpr double lowest_hz = sig::first_bin * sig::true_bin_hz;
inline constexpr double highest_hz = (sig::first_bin + sig::columns - 1) * sig::true_bin_hz;
// Tone 15 above tone 0 [Hz].
inline constexpr double span_hz = 15 * sig::tone_spacing_hz;
} // namespace reach

// What `rate` samples/s let the detector hear. `warning` is empty when the whole band fits;
// otherwise the sentence to show (without the input's name). `none` is true when no identifier
// fits at all, which the tool treats as an error.
struct rate_reach {
    double highest_tone0_hz = reach::highest_hz; // the highest tone 0 that can be found [Hz]
    bool none = false;
    std::string warning;
};
rate_reach reach_at(double rate);

// Empty when the detector hears an identifier with tone 0 at freq_hz in `rate` samples/s;
// else the sentence that says why not.
std::string tone_out_of_reach(double freq_hz, double rate);

} // namespace rsid_tool

#endif
