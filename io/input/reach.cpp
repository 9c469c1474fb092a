// reach.cpp - the rates and frequencies the detector hears, and the sentences that say so.
#include "input/reach.h"

#include <fmt/core.h>

#include <algorithm>
#include <cmath>

namespace rsid_tool {

rate_reach reach_at(double rate) {
    rate_reach r;
    if (rate >= 2.0 * reach::band_top_hz)
        return r;
    r.highest_tone0_hz = std::min(reach::highest_hz, rate / 2.0 - reach::span_hz);
    r.none = r.highest_tone0_hz <= reach::lowest_hz;
    const std::string why = fmt::format("the detector's band reaches {:.0f} Hz, which needs "
                                        "{:.0f}/s or more",
                                        reach::band_top_hz, std::ceil(2.0 * reach::band_top_hz));
    r.warning = r.none ? fmt::format("{:g}/s is too low for any identifier ({})", rate, why)
                       : fmt::format("at {:g}/s only identifiers with tone 0 below {:.0f} Hz can "
                                     "be found ({})",
                                     rate, r.highest_tone0_hz, why);
    return r;
}

std::string tone_out_of_reach(double freq_hz, double rate) {
    const double top = reach_at(rate).highest_tone0_hz;
    if (freq_hz >= reach::lowest_hz && freq_hz <= top)
        return {};
    return fmt::format("tone 0 at {:g} Hz lies outside what the detector hears at {:g}/s "
                       "({:.0f} to {:.0f} Hz): it will not be found",
                       freq_hz, rate, reach::lowest_hz, std::max(top, reach::lowest_hz));
}

} // namespace rsid_tool
