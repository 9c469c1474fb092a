// output_format.cpp - containers, sample formats and streamed headers of `rsid send`.
#include "output/output_format.h"

#include "errors.h"
#include "input/audio_input.h"

#include <fmt/core.h>
#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cctype>

namespace rsid_tool {

namespace {

struct container {
    const char* name;
    // cppcheck-suppress unusedStructMember ; read through find_if's iterator in find_container
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

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::optional<int> find_container(const std::string& type) {
    const auto* c = std::find_if(containers.begin(), containers.end(),
                                 [&](const container& k) { return type == k.name; });
    return c == containers.end() ? std::nullopt : std::optional<int>(c->format);
}

// The extension of the last path component, if it has one.
std::optional<std::string> extension(const std::string& output) {
    const auto dot = output.find_last_of('.');
    if (dot == std::string::npos || output.find('/', dot) != std::string::npos)
        return std::nullopt;
    return lower(output.substr(dot + 1));
}

void put16(std::string& s, uint32_t v, bool big) {
    for (int i = 0; i < 2; ++i)
        s.push_back(static_cast<char>(v >> (8 * (big ? 1 - i : i))));
}

void put32(std::string& s, uint32_t v, bool big) {
    for (int i = 0; i < 4; ++i)
        s.push_back(static_cast<char>(v >> (8 * (big ? 3 - i : i))));
}

} // namespace

int container_format(std::string type, const std::string& output) {
    if (type.empty()) {
        if (output == "-")
            throw usage_error("send: writing to stdout needs the type: -t TYPE");
        const std::optional<std::string> ext = extension(output);
        if (!ext)
            throw usage_error("send: cannot tell the type of '" + output +
                              "' from its name: -t TYPE");
        type = *ext;
    }
    type = lower(type);
    if (const std::optional<int> f = find_container(type))
        return *f;
    throw usage_error("send: unknown type '" + type + "' (wav flac ogg aiff au caf w64 raw)");
}

std::optional<int> container_of_name(const std::string& output) {
    const std::optional<std::string> ext = extension(output);
    return ext ? find_container(*ext) : std::nullopt;
}

// Sample format of the output: 16-bit signed unless -e/-b say otherwise. Eight-bit WAV exists
// only unsigned, so an unstated 8-bit encoding falls back to unsigned where signed is refused.
int full_format(const std::optional<std::string>& encoding, std::optional<int> bits_given, int rate,
                int major) {
    if (major == SF_FORMAT_OGG)
        return major | SF_FORMAT_VORBIS;
    const std::string enc = encoding.value_or("signed");
    const auto e = parse_encoding(enc);
    if (!e)
        throw usage_error("send: unknown encoding '" + enc + "'");
    const bool companded = *e == sample_encoding::mu_law || *e == sample_encoding::a_law;
    const int bits = bits_given.value_or(*e == sample_encoding::floating ? 32 : companded ? 8 : 16);
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
    if (sub == 0) {
        if (companded)
            throw usage_error(fmt::format("send: {} samples are 8-bit; leave out -b", enc));
        throw usage_error(fmt::format("send: no {}-bit {} samples (-b: {})", bits, enc,
                                      *e == sample_encoding::floating       ? "32 or 64"
                                      : *e == sample_encoding::unsigned_int ? "8"
                                                                            : "8, 16, 24 or 32"));
    }
    // Raw output is little-endian, as `detect -t raw` reads it by default.
    const int endian = major == SF_FORMAT_RAW ? SF_ENDIAN_LITTLE : SF_ENDIAN_FILE;
    SF_INFO check{};
    check.samplerate = rate;
    check.channels = 1;
    check.format = major | sub | endian;
    if (sf_format_check(&check))
        return check.format;
    if (sub == SF_FORMAT_PCM_S8 && !encoding) {
        check.format = major | SF_FORMAT_PCM_U8 | endian;
        if (sf_format_check(&check))
            return check.format;
    }
    throw usage_error(fmt::format("send: this type cannot hold {}-bit {} samples", bits, enc));
}

int sample_bytes(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_24:
        return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_VORBIS: // decoded size; the file is smaller
        return 4;
    case SF_FORMAT_DOUBLE:
        return 8;
    case SF_FORMAT_PCM_16:
        return 2;
    default:
        return 1;
    }
}

int sized_format(int format, uint64_t data_bytes, bool stream) {
    const int major = format & SF_FORMAT_TYPEMASK;
    if (stream || data_bytes <= max_32bit_data)
        return format;
    if (major == SF_FORMAT_WAV) {
        SF_INFO check{};
        check.samplerate = 48000;
        check.channels = 1;
        check.format = (format & ~SF_FORMAT_TYPEMASK) | SF_FORMAT_RF64;
        if (sf_format_check(&check))
            return check.format;
    }
    if (major == SF_FORMAT_WAV || major == SF_FORMAT_AIFF || major == SF_FORMAT_AU)
        throw usage_error(fmt::format("send: {:.1f} GiB of samples do not fit {} (4 GiB at most); "
                                      "use wav, w64, caf or flac",
                                      static_cast<double>(data_bytes) / (1u << 30),
                                      major == SF_FORMAT_AU     ? "au"
                                      : major == SF_FORMAT_AIFF ? "aiff"
                                                                : "wav"));
    return format;
}

std::string streamed_header(int format, int rate) {
    const int major = format & SF_FORMAT_TYPEMASK;
    const int sub = format & SF_FORMAT_SUBMASK;
    const auto bytes = static_cast<uint32_t>(sample_bytes(format));
    const auto r = static_cast<uint32_t>(rate);
    std::string h;
    if (major == SF_FORMAT_WAV) {
        const uint32_t tag = sub == SF_FORMAT_FLOAT || sub == SF_FORMAT_DOUBLE ? 3
                             : sub == SF_FORMAT_ALAW                           ? 6
                             : sub == SF_FORMAT_ULAW                           ? 7
                                                                               : 1;
        h = "RIFF";
        put32(h, 0xFFFFFFFFu, false); // the length is left open: until the end of the stream
        h += "WAVEfmt ";
        put32(h, 16, false);
        put16(h, tag, false);
        put16(h, 1, false); // mono
        put32(h, r, false);
        put32(h, r * bytes, false); // bytes per second
        put16(h, bytes, false);     // bytes per frame
        put16(h, bytes * 8, false); // bits per sample
        h += "data";
        put32(h, 0xFFFFFFFFu, false);
    } else if (major == SF_FORMAT_AU) {
        const uint32_t encoding = sub == SF_FORMAT_ULAW     ? 1
                                  : sub == SF_FORMAT_PCM_S8 ? 2
                                  : sub == SF_FORMAT_PCM_16 ? 3
                                  : sub == SF_FORMAT_PCM_24 ? 4
                                  : sub == SF_FORMAT_PCM_32 ? 5
                                  : sub == SF_FORMAT_FLOAT  ? 6
                                  : sub == SF_FORMAT_DOUBLE ? 7
                                                            : 27; // A-law
        h = ".snd";
        put32(h, 24, true);          // offset of the samples
        put32(h, 0xFFFFFFFFu, true); // AU's "length unknown"
        put32(h, encoding, true);
        put32(h, r, true);
        put32(h, 1, true);
    }
    return h;
}

} // namespace rsid_tool
