// stream_header.cpp - WAV, RF64 and AU headers read from the front of a byte stream.
#include "input/stream_source.h"

#include <array>
#include <fmt/core.h>

namespace rsid_tool {

namespace {

uint32_t le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint64_t le64(const unsigned char* p) {
    return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32;
}
uint32_t be32(const unsigned char* p) {
    return static_cast<uint32_t>(p[3]) | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[0]) << 24;
}

bool is(const unsigned char* p, const char* tag) { return std::equal(p, p + 4, tag); }

// Lengths a writer leaves in a header it cannot finish: 0 (nothing yet), 0xFFFFFFFF (unknown,
// also RF64's "see ds64"), 0x7FFFF000 and 0x80000000 (the largest a 32-bit signed writer
// dares to promise).
bool streamed_length(uint64_t n) {
    return n == 0 || n == 0xFFFFFFFFu || n == 0x7FFFF000u || n == 0x80000000u;
}

std::string encoding_text(const raw_format& f) {
    switch (f.encoding) {
    case sample_encoding::signed_int:
        return fmt::format("signed {}-bit PCM", f.bits);
    case sample_encoding::unsigned_int:
        return fmt::format("unsigned {}-bit PCM", f.bits);
    case sample_encoding::floating:
        return fmt::format("{}-bit float", f.bits);
    case sample_encoding::mu_law:
        return "mu-law";
    case sample_encoding::a_law:
        return "A-law";
    }
    return "?";
}

// Decides how many data bytes to read from what the header said and what the input holds.
void settle_length(stream_layout& layout, uint64_t declared, const byte_stream& stream,
                   const std::string& name) {
    const std::optional<uint64_t> size = stream.length();
    if (!stream.live() && size) {
        const uint64_t rest = *size >= stream.tell() ? *size - stream.tell() : 0;
        if (declared == 0 && rest > 0) {
            layout.warning = fmt::format(
                "{}: the header says 0 data bytes (an unfinished recording?); reading the {} "
                "bytes that follow",
                name, rest);
            return; // to the end
        }
        if (declared > rest && streamed_length(declared))
            return; // to the end
        layout.data_bytes = declared;
        return;
    }
    if (!streamed_length(declared))
        layout.data_bytes = declared;
}

// The fmt chunk: encoding tag, channels, rate, bits. Returns false for encodings the raw
// decoder does not have.
bool parse_fmt(const unsigned char* p, std::size_t size, raw_format& f) {
    if (size < 16)
        return false;
    unsigned tag = le16(p);
    const unsigned channels = le16(p + 2);
    const uint32_t rate = le32(p + 4);
    const unsigned block_align = le16(p + 12);
    unsigned bits = le16(p + 14);
    if (tag == 0xFFFE && size >= 40) // WAVE_FORMAT_EXTENSIBLE: the tag is in the sub-format GUID
        tag = le16(p + 24);
    if (channels == 0 || block_align == 0 || block_align % channels != 0)
        return false;
    // The container width decides the layout; fewer valid bits (20 in 24) decode the same.
    const unsigned width = block_align / channels * 8;
    if (bits > width)
        return false;
    bits = width;
    f.rate = rate;
    f.channels = static_cast<int>(channels);
    f.bits = static_cast<int>(bits);
    f.big_endian = false;
    switch (tag) {
    case 1: // PCM: 8-bit WAV is unsigned, wider is signed
        f.encoding = bits == 8 ? sample_encoding::unsigned_int : sample_encoding::signed_int;
        return true;
    case 3:
        f.encoding = sample_encoding::floating;
        return true;
    case 6:
        f.encoding = sample_encoding::a_law;
        return true;
    case 7:
        f.encoding = sample_encoding::mu_law;
        return true;
    default:
        return false;
    }
}

// The bytes of a bext chunk up to the end of its OriginationTime.
constexpr std::size_t bext_time_end = 338;

// Broadcast WAV's bext chunk of `size` bytes: its OriginationDate (10 bytes) and
// OriginationTime (8) at 320 date the recording; the rest is skipped.
void read_bext(byte_stream& stream, const std::string& name, uint32_t size, stream_layout& layout) {
    std::array<unsigned char, bext_time_end> body{};
    if (stream.read_fully(body.data(), body.size()) < body.size())
        throw input_error(name + ": truncated: the header ends before the data");
    const auto text = [&](std::size_t at, std::size_t n) {
        return std::string_view(reinterpret_cast<const char*>(body.data()) + at, n);
    };
    if (const auto t = parse_bext_time(text(320, 10), text(330, 8)))
        layout.start = start_time{*t, clock_bext};
    const uint64_t rest = static_cast<uint64_t>(size) + (size & 1u) - body.size();
    if (!stream.skip(rest))
        throw input_error(name + ": truncated: the header ends before the data");
}

std::optional<stream_layout> read_wav(byte_stream& stream, const std::string& name, bool rf64) {
    stream_layout layout;
    bool have_fmt = false;
    uint64_t ds64_data = 0; // RF64: the data length, when the data chunk says 0xFFFFFFFF
    for (;;) {
        unsigned char chunk[8];
        if (stream.read_fully(chunk, 8) < 8)
            throw input_error(name + ": truncated: the header ends before the data");
        const uint32_t size = le32(chunk + 4);
        if (is(chunk, "data")) {
            if (!have_fmt)
                throw input_error(name + ": malformed WAV: data before its format");
            uint64_t declared = size;
            if (rf64 && size == 0xFFFFFFFFu)
                declared = ds64_data == 0xFFFFFFFFFFFFFFFFu ? 0xFFFFFFFFu : ds64_data;
            settle_length(layout, declared, stream, name);
            return layout;
        }
        if (is(chunk, "fmt ") || is(chunk, "ds64")) {
            if (size > 4096)
                throw input_error(name + ": malformed WAV: a " + std::string(chunk, chunk + 4) +
                                  " chunk of " + std::to_string(size) + " bytes");
            std::array<unsigned char, 4096> body{};
            if (stream.read_fully(body.data(), size + (size & 1u)) < size)
                throw input_error(name + ": truncated: the header ends before the data");
            if (is(chunk, "ds64")) {
                if (size >= 16)
                    ds64_data = le64(body.data() + 8);
                continue;
            }
            if (!parse_fmt(body.data(), size, layout.format))
                return std::nullopt;
            layout.description = (rf64 ? "RF64, " : "WAV, ") + encoding_text(layout.format);
            have_fmt = true;
            continue;
        }
        if (is(chunk, "bext") && size >= bext_time_end) {
            read_bext(stream, name, size, layout);
            continue;
        }
        if (!stream.skip(static_cast<uint64_t>(size) + (size & 1u)))
            throw input_error(name + ": truncated: the header ends before the data");
    }
}

std::optional<stream_layout> read_au(byte_stream& stream, const std::string& name,
                                     const unsigned char* head) {
    unsigned char rest[12];
    if (stream.read_fully(rest, 12) < 12)
        throw input_error(name + ": truncated: the header ends before the data");
    const uint32_t offset = be32(head + 4);
    const uint32_t declared = be32(head + 8);
    const uint32_t encoding = be32(rest);
    stream_layout layout;
    raw_format& f = layout.format;
    f.rate = be32(rest + 4);
    f.channels = static_cast<int>(std::min<uint32_t>(be32(rest + 8), 1u << 16));
    f.big_endian = true;
    switch (encoding) {
    case 1:
        f.encoding = sample_encoding::mu_law;
        f.bits = 8;
        break;
    case 2:
        f.encoding = sample_encoding::signed_int;
        f.bits = 8;
        break;
    case 3:
        f.encoding = sample_encoding::signed_int;
        f.bits = 16;
        break;
    case 4:
        f.encoding = sample_encoding::signed_int;
        f.bits = 24;
        break;
    case 5:
        f.encoding = sample_encoding::signed_int;
        f.bits = 32;
        break;
    case 6:
        f.encoding = sample_encoding::floating;
        f.bits = 32;
        break;
    case 7:
        f.encoding = sample_encoding::floating;
        f.bits = 64;
        break;
    case 27:
        f.encoding = sample_encoding::a_law;
        f.bits = 8;
        break;
    default:
        return std::nullopt;
    }
    if (offset < 24 || !stream.skip(offset - 24))
        throw input_error(name + ": malformed AU header");
    layout.description = "AU, " + encoding_text(f);
    // AU's own convention for "unknown" is 0xFFFFFFFF, which settle_length already knows.
    settle_length(layout, declared, stream, name);
    return layout;
}

} // namespace

std::optional<stream_layout> read_stream_header(byte_stream& stream, const std::string& name) {
    unsigned char head[12];
    const std::size_t got = stream.read_fully(head, 12);
    std::optional<stream_layout> layout;
    if (got == 12 && (is(head, "RIFF") || is(head, "RF64")) && is(head + 8, "WAVE"))
        layout = read_wav(stream, name, is(head, "RF64"));
    else if (got == 12 && is(head, ".snd"))
        layout = read_au(stream, name, head);
    if (layout)
        check_raw_format(layout->format, name);
    else if (!stream.seek(0))
        throw input_error(name + ": cannot go back to the start of the stream");
    return layout;
}

} // namespace rsid_tool
