// send.cpp - `rsid send`: the identifier, with silence around it, written to an audio file.
#include "send.h" // engine/
#include "commands.h"
#include "diagnostics.h"
#include "output/output_format.h"
#include "output/sound_writer.h"
#include "rsid_signal.h"

#include <fmt/core.h>
#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>

namespace rsid_tool {

namespace {

namespace sig = rsid_signal;

uint64_t seconds_to_samples(double s) {
    return static_cast<uint64_t>(std::llround(s * sig::tx_rate));
}

void check(const send_options& o) {
    // Tone 15, the highest, lies 161.5 Hz above tone 0 and must stay below half the rate.
    const double above = 15 * sig::tone_spacing_hz;
    if (!(o.freq > 0.0 && o.freq + above < sig::tx_rate / 2.0))
        throw usage_error(fmt::format("send: -f takes a frequency above 0 and below {:.1f} Hz",
                                      sig::tx_rate / 2.0 - above));
    const double top = o.freq + above;
    if (o.rate < 1000 || o.rate > 768000)
        throw usage_error("send: -r must lie in 1000 to 768000");
    if (top >= o.rate / 2.0)
        throw usage_error(
            fmt::format("send: tones up to {:.1f} Hz need a rate above {:.0f}/s", top, 2 * top));
    if (!(o.volume > 0.0 && o.volume <= 1.6))
        throw usage_error("send: --volume must lie in (0, 1.6]");
    const auto in_range = [](double s) { return s >= 0.0 && s <= 86400.0; };
    const std::array<double, 3> silences{o.lead, o.tail, o.gap};
    if (!std::all_of(silences.begin(), silences.end(), in_range))
        throw usage_error("send: --lead, --tail and --gap take 0 to 86400 seconds");
    if (o.repeat < 1 || o.repeat > 100000)
        throw usage_error("send: --repeat takes 1 to 100000");
    if (o.code < 0 || o.code > 4095)
        throw usage_error("send: --code takes 0 to 4095");
}

// Frames written at the output's rate, for choosing a container that can hold them.
uint64_t output_frames(const send_options& o) {
    const double samples =
        static_cast<double>(seconds_to_samples(o.lead) + seconds_to_samples(o.tail)) +
        o.repeat * static_cast<double>(sig::sequence_tx_samples) +
        (o.repeat - 1) * static_cast<double>(seconds_to_samples(o.gap));
    return static_cast<uint64_t>(samples * o.rate / sig::tx_rate) + 1024; // resampler's tail
}

} // namespace

int run_send(const send_options& o) {
    check(o);
    const int major = container_format(o.type, o.output);
    const int format = full_format(o.encoding, o.bits, o.rate, major);
    // -t says what is written; a name that says otherwise misleads whoever opens it later.
    const std::optional<int> named = container_of_name(o.output);
    if (!o.quiet && !o.type.empty() && named && *named != major)
        tell_user(fmt::format("rsid: warning: writing {} into '{}', whose name says otherwise",
                              major == SF_FORMAT_RAW ? "raw samples" : "-t " + o.type, o.output));
    // Detection range: tone 0 in the columns from DFT bin 111 up, 5.3833 Hz apart, counted from
    // half a bin into the first to half a bin short of the last, as measured.
    const double lowest = (sig::first_bin + 0.5) * sig::bin_width_hz;                 // 600.2
    const double highest = (sig::first_bin + sig::columns - 0.5) * sig::bin_width_hz; // 2231.4
    if (!o.quiet && (o.freq < lowest || o.freq > highest))
        tell_user(fmt::format("rsid: warning: {:.1f} Hz lies outside the detector's range "
                              "({:.0f} to {:.0f} Hz)",
                              o.freq, lowest, highest));

    sound_writer out(o.output, format, o.rate, output_frames(o));
    out.silence(seconds_to_samples(o.lead));
    std::array<int16_t, sig::tx_block> block{};
    std::array<double, sig::tx_block> scaled{};
    for (int r = 0; r < o.repeat; ++r) {
        if (r > 0)
            out.silence(seconds_to_samples(o.gap));
        rsid::tone_generator generator(o.code, o.freq);
        // The last block ends in silence that is not ours to send.
        std::size_t left = sig::sequence_tx_samples;
        bool more = true;
        while (more && left > 0) {
            more = generator.next(block.data());
            const std::size_t n = std::min(left, block.size());
            for (std::size_t i = 0; i < n; ++i)
                scaled[i] = block[i] * o.volume;
            out.write(scaled.data(), n);
            left -= n;
        }
    }
    out.silence(seconds_to_samples(o.tail));
    out.finish();
    return exit_found;
}

} // namespace rsid_tool
