// raw_input.cpp - samples in a stated format from a byte stream: headerless input, and the
// data of the stream-friendly containers (WAV, RF64, AU) once their header has been read.
//
// Decoded here rather than through libsndfile so that a live pipe is read exactly as it
// arrives: a short read yields the frames it completes at once, and a stop request ends the
// stream.
#include "input/audio_input.h"
#include "input/byte_stream.h"
#include "input/frame_buffer.h"
#include "input/stream_source.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace rsid_tool {

std::atomic<int> stop_requested{0};
std::atomic<bool> output_failed{false};

namespace {

int bytes_per_sample(const raw_format& f) { return f.bits / 8; }

// G.711 mu-law to 16-bit linear: the byte is stored inverted; 0x84 is the bias added before
// encoding.
double mu_law(unsigned char b) {
    const int u = ~b & 0xFF;
    int t = ((u & 0x0F) << 3) + 0x84;
    t <<= (u & 0x70) >> 4;
    return (u & 0x80) ? 0x84 - t : t - 0x84;
}

// G.711 A-law to 16-bit linear: even bits are stored inverted (XOR 0x55); the sign bit set
// means positive.
double a_law(unsigned char b) {
    const int a = b ^ 0x55;
    int t = (a & 0x0F) << 4;
    const int segment = (a & 0x70) >> 4;
    if (segment == 0)
        t += 8;
    else
        t = (t + 0x108) << (segment - 1);
    return (a & 0x80) ? t : -t;
}

// The sample's bytes as an unsigned integer, in the stated byte order.
uint64_t assemble(const unsigned char* p, int bytes, bool big_endian) {
    uint64_t u = 0;
    for (int i = 0; i < bytes; ++i)
        u = (u << 8) | p[big_endian ? i : bytes - 1 - i];
    return u;
}

// One sample on the 16-bit scale.
double decode_sample(const unsigned char* p, const raw_format& f) {
    switch (f.encoding) {
    case sample_encoding::signed_int:
    case sample_encoding::unsigned_int: {
        auto u = static_cast<uint32_t>(assemble(p, bytes_per_sample(f), f.big_endian));
        const int shift = 32 - f.bits;
        if (f.encoding == sample_encoding::unsigned_int)
            u ^= 1u << (f.bits - 1); // offset binary: flipping the top bit gives two's complement
        // Move the sign bit to bit 31, then scale: full scale of any width maps to +-32768.
        const auto s = static_cast<int32_t>(u << shift);
        return s / 65536.0;
    }
    case sample_encoding::floating: {
        double v = 0.0;
        const uint64_t u = assemble(p, bytes_per_sample(f), f.big_endian);
        if (f.bits == 32) {
            const auto u32 = static_cast<uint32_t>(u);
            float x = 0.0f;
            std::memcpy(&x, &u32, sizeof(x));
            v = x;
        } else {
            std::memcpy(&v, &u, sizeof(v));
        }
        // Normalised float by convention; NaN and infinities become silence and the range is
        // kept within +-2^20 so that no later sum can overflow.
        v *= 32768.0;
        return std::isfinite(v) ? std::clamp(v, -1048576.0, 1048576.0) : 0.0;
    }
    case sample_encoding::mu_law:
        return mu_law(*p);
    case sample_encoding::a_law:
        return a_law(*p);
    }
    return 0.0;
}

// The bytes of one frame of a format that check_raw_format accepts (it throws otherwise).
std::size_t frame_bytes(const raw_format& f, const std::string& name) {
    check_raw_format(f, name);
    return static_cast<std::size_t>(bytes_per_sample(f)) * static_cast<std::size_t>(f.channels);
}

std::string encoding_name(const raw_format& f) {
    switch (f.encoding) {
    case sample_encoding::signed_int:
        return "signed " + std::to_string(f.bits) + "-bit";
    case sample_encoding::unsigned_int:
        return "unsigned " + std::to_string(f.bits) + "-bit";
    case sample_encoding::floating:
        return "float " + std::to_string(f.bits) + "-bit";
    case sample_encoding::mu_law:
        return "mu-law";
    case sample_encoding::a_law:
        return "A-law";
    }
    return "?";
}

class raw_source final : public audio_source {
  public:
    void date(const std::optional<start_time>& start) { info_.start = start; }

    raw_source(std::unique_ptr<byte_stream> stream, const std::string& name,
               const raw_format& format, std::string description,
               std::optional<uint64_t> data_bytes, std::string warning)
        : stream_(std::move(stream)), format_(format), left_(data_bytes),
          buffer_(frame_bytes(format, name)) {
        info_.name = name;
        info_.warning = std::move(warning);
        info_.format = description.empty()
                           ? "raw " + encoding_name(format) +
                                 (format.big_endian ? " big-endian" : " little-endian")
                           : std::move(description);
        info_.rate = format.rate;
        info_.channels = format.channels;
        info_.live = stream_->live();
        if (data_bytes)
            info_.frames = static_cast<int64_t>(*data_bytes / frame_bytes(format, name));
    }

    std::size_t read(double* out, std::size_t frames) override {
        return buffer_.read(
            frames, [&](unsigned char* dst, std::size_t max) { return fetch(dst, max); },
            [&](const unsigned char* bytes, std::size_t n) { decode(bytes, n, out); });
    }

  private:
    // Up to max bytes of the stream, no further than the container's data.
    std::size_t fetch(unsigned char* dst, std::size_t max) {
        if (left_)
            max = static_cast<std::size_t>(std::min<uint64_t>(max, *left_));
        const std::size_t got = max == 0 ? 0 : stream_->read(dst, max);
        // A container whose data ends before its header said is cut off, unless the stream
        // ended because a stop was requested.
        if (got == 0 && left_ && *left_ > 0 && !stopping())
            throw input_error(info_.name + ": truncated: the data ends before its header says");
        if (left_)
            *left_ -= got;
        return got;
    }

    void decode(const unsigned char* bytes, std::size_t frames, double* out) const {
        const std::size_t samples = frames * static_cast<std::size_t>(format_.channels);
        const auto step = static_cast<std::size_t>(bytes_per_sample(format_));
        if (format_.encoding == sample_encoding::signed_int && format_.bits == 16 &&
            !format_.big_endian) {
            // The common case, little-endian 16-bit, without the general decoder's dispatch.
            const unsigned char* p = bytes;
            for (std::size_t i = 0; i < samples; ++i, p += 2)
                out[i] = static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
        } else {
            for (std::size_t i = 0; i < samples; ++i)
                out[i] = decode_sample(bytes + i * step, format_);
        }
    }

    std::unique_ptr<byte_stream> stream_;
    raw_format format_;
    std::optional<uint64_t> left_; // data bytes still to come, when the container says
    frame_buffer buffer_;
};

} // namespace

void check_raw_format(const raw_format& f, const std::string& what) {
    if (!(f.rate >= min_rate && f.rate <= max_rate))
        throw input_error(what + ": raw sample rate must lie in 1000 to 1536000");
    if (f.channels < 1 || f.channels > max_channels)
        throw input_error(what + ": raw channel count must lie in 1 to 64");
    bool ok = false;
    switch (f.encoding) {
    case sample_encoding::signed_int:
        ok = f.bits == 8 || f.bits == 16 || f.bits == 24 || f.bits == 32;
        break;
    case sample_encoding::unsigned_int:
        ok = f.bits == 8 || f.bits == 16;
        break;
    case sample_encoding::floating:
        ok = f.bits == 32 || f.bits == 64;
        break;
    case sample_encoding::mu_law:
    case sample_encoding::a_law:
        ok = f.bits == 8;
        break;
    }
    if (!ok)
        throw input_error(what + ": raw " + encoding_name(f) + " is not supported");
}

std::optional<sample_encoding> parse_encoding(const std::string& name) {
    if (name == "signed" || name == "signed-integer")
        return sample_encoding::signed_int;
    if (name == "unsigned" || name == "unsigned-integer")
        return sample_encoding::unsigned_int;
    if (name == "float" || name == "floating-point")
        return sample_encoding::floating;
    if (name == "mu-law" || name == "ulaw")
        return sample_encoding::mu_law;
    if (name == "a-law" || name == "alaw")
        return sample_encoding::a_law;
    return std::nullopt;
}

std::unique_ptr<audio_source> open_raw_stream(std::unique_ptr<byte_stream> stream,
                                              const std::string& name, const raw_format& format,
                                              std::string description,
                                              std::optional<uint64_t> data_bytes,
                                              std::string warning,
                                              std::optional<start_time> start) {
    auto source = std::make_unique<raw_source>(
        std::move(stream), name, format, std::move(description), data_bytes, std::move(warning));
    source->date(start);
    return source;
}

std::unique_ptr<audio_source> open_raw_file(const std::string& path, const raw_format& format) {
    check_raw_format(format, path);
    return open_raw_stream(open_path_stream(path), path, format);
}

std::unique_ptr<audio_source> open_raw_fd(int fd, const std::string& name,
                                          const raw_format& format) {
    check_raw_format(format, name);
    return open_raw_stream(fd_stream(fd, false, name), name, format);
}

std::unique_ptr<audio_source> open_raw_memory(std::span<const unsigned char> bytes,
                                              const std::string& name, const raw_format& format) {
    check_raw_format(format, name);
    return open_raw_stream(memory_stream(bytes), name, format);
}

} // namespace rsid_tool
