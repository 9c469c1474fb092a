// send.cpp - `rsid send`: the identifier, with silence around it, written to an audio file.
#include "commands.h"
#include "rsid.h"
#include "rsid_signal.h"
#include "sound_writer.h"

#include <fmt/core.h>
#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <unistd.h>

namespace rsid_tool {

namespace {

namespace sig = rsid_signal;

struct container {
    const char* name;
    int format; // libsndfile major format
};

constexpr std::array<container, 9> containers{{
    {"wav", SF_FORMAT_WAV},
    {"flac", SF_FORMAT_FLAC},
    {"ogg", SF_FORMAT_OGG},
    {"aiff", SF_FORMAT_AIFF},
    {"aif", SF_FORMAT_AIFF},
    {"au", SF_FORMAT_AU},
    {"caf", SF_FORMAT_CAF},
    {"w64", SF_FORMAT_W64},
    {"raw", SF_FORMAT_RAW},
}};

int container_format(std::string type, const std::string& output) {
    if (type.empty()) {
        if (output == "-")
            throw usage_error("send: writing to stdout needs the type: -t TYPE");
        const auto dot = output.find_last_of('.');
        if (dot == std::string::npos || output.find('/', dot) != std::string::npos)
            throw usage_error("send: cannot tell the type of '" + output +
                              "' from its name: -t TYPE");
        type = output.substr(dot + 1);
    }
    std::transform(type.begin(), type.end(), type.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const container& c : containers)
        if (type == c.name)
            return c.format;
    throw usage_error("send: unknown type '" + type + "' (wav flac ogg aiff au caf w64 raw)");
}

// Sample format of the output: 16-bit signed unless -e/-b say otherwise. Eight-bit WAV exists
// only unsigned, so an unstated 8-bit encoding falls back to unsigned where signed is refused.
int full_format(const send_options& o, int major) {
    if (major == SF_FORMAT_OGG)
        return major | SF_FORMAT_VORBIS;
    const std::string enc = o.encoding.value_or("signed");
    const auto e = parse_encoding(enc);
    if (!e)
        throw usage_error("send: unknown encoding '" + enc + "'");
    const int bits =
        o.bits.value_or(*e == sample_encoding::floating                                 ? 32
                        : *e == sample_encoding::mu_law || *e == sample_encoding::a_law ? 8
                                                                                        : 16);
    int sub = 0;
    switch (*e) {
    case sample_encoding::signed_int:
        sub = bits == 8    ? SF_FORMAT_PCM_S8
              : bits == 16 ? SF_FORMAT_PCM_16
              : bits == 24 ? SF_FORMAT_PCM_24
              : bits == 32 ? SF_FORMAT_PCM_32
                           : 0;
        break;
    case sample_encoding::unsigned_int:
        sub = bits == 8 ? SF_FORMAT_PCM_U8 : 0;
        break;
    case sample_encoding::floating:
        sub = bits == 32 ? SF_FORMAT_FLOAT : bits == 64 ? SF_FORMAT_DOUBLE : 0;
        break;
    case sample_encoding::mu_law:
        sub = bits == 8 ? SF_FORMAT_ULAW : 0;
        break;
    case sample_encoding::a_law:
        sub = bits == 8 ? SF_FORMAT_ALAW : 0;
        break;
    }
    if (sub == 0)
        throw usage_error(fmt::format("send: no {}-bit {} samples", bits, enc));
    // Raw output is little-endian, as `detect -t raw` reads it.
    const int endian = major == SF_FORMAT_RAW ? SF_ENDIAN_LITTLE : SF_ENDIAN_FILE;
    SF_INFO check{};
    check.samplerate = o.rate;
    check.channels = 1;
    check.format = major | sub | endian;
    if (sf_format_check(&check))
        return check.format;
    if (sub == SF_FORMAT_PCM_S8 && !o.encoding) {
        check.format = major | SF_FORMAT_PCM_U8 | endian;
        if (sf_format_check(&check))
            return check.format;
    }
    throw usage_error(fmt::format("send: this type cannot hold {}-bit {} samples", bits, enc));
}

uint64_t seconds_to_samples(double s) {
    return static_cast<uint64_t>(std::llround(s * sig::tx_rate));
}

void check(const send_options& o) {
    if (!(o.freq > 0.0) || !std::isfinite(o.freq))
        throw usage_error("send: -f needs a positive frequency in Hz");
    const double top = o.freq + 15 * sig::tone_spacing_hz; // tone 15, the highest
    if (top >= sig::tx_rate / 2.0)
        throw usage_error(
            fmt::format("send: tones up to {:.1f} Hz do not fit {}/s", top, sig::tx_rate));
    if (o.rate < 1000 || o.rate > 768000)
        throw usage_error("send: -r must lie in 1000 to 768000");
    if (top >= o.rate / 2.0)
        throw usage_error(
            fmt::format("send: tones up to {:.1f} Hz need a rate above {:.0f}/s", top, 2 * top));
    if (!(o.volume > 0.0 && o.volume <= 1.6))
        throw usage_error("send: --volume must lie in (0, 1.6]");
    for (double s : {o.lead, o.tail, o.gap})
        if (!(s >= 0.0 && s <= 86400.0))
            throw usage_error("send: --lead, --tail and --gap take 0 to 86400 seconds");
    if (o.repeat < 1 || o.repeat > 100000)
        throw usage_error("send: --repeat takes 1 to 100000");
}

} // namespace

int run_send(const send_options& o) {
    check(o);
    const int format = full_format(o, container_format(o.type, o.output));
    // Detection range: tone 0 in the columns from DFT bin 111 up, 5.3833 Hz apart, counted from
    // half a bin into the first to half a bin short of the last, as measured.
    const double lowest = (sig::first_bin + 0.5) * sig::bin_width_hz;                 // 600.2
    const double highest = (sig::first_bin + sig::columns - 0.5) * sig::bin_width_hz; // 2231.4
    if (!o.quiet && (o.freq < lowest || o.freq > highest))
        fmt::print(stderr,
                   "rsid: warning: {:.1f} Hz lies outside the detector's range "
                   "({:.0f} to {:.0f} Hz)\n",
                   o.freq, lowest, highest);

    sound_writer out(o.output, format, o.rate);
    out.silence(seconds_to_samples(o.lead));
    std::array<int16_t, sig::tx_block> block{};
    std::array<double, sig::tx_block> scaled{};
    for (int r = 0; r < o.repeat; ++r) {
        if (r > 0)
            out.silence(seconds_to_samples(o.gap));
        rsid_encode(o.freq);
        // The last block ends in silence that is not ours to send.
        std::size_t left = sig::sequence_tx_samples;
        int more = 1;
        while (more && left > 0) {
            more = rsid_get(block.data());
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
