// raw_input.cpp - headerless samples in a stated format, from a descriptor or from memory.
//
// Decoded here rather than through libsndfile so that a live pipe is read exactly as it
// arrives: a short read yields the frames it completes at once, and an interrupted read can end
// the stream.
#include "audio_input.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rsid_tool {

volatile std::sig_atomic_t stop_requested = 0;

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

// One little-endian sample on the 16-bit scale.
double decode_sample(const unsigned char* p, const raw_format& f) {
    switch (f.encoding) {
    case sample_encoding::signed_int:
    case sample_encoding::unsigned_int: {
        uint32_t u = 0;
        for (int i = bytes_per_sample(f) - 1; i >= 0; --i)
            u = (u << 8) | p[i];
        const int shift = 32 - f.bits;
        if (f.encoding == sample_encoding::unsigned_int)
            u ^= 1u << (f.bits - 1); // offset binary: flipping the top bit gives two's complement
        // Move the sign bit to bit 31, then scale: full scale of any width maps to +-32768.
        const auto s = static_cast<int32_t>(u << shift);
        return s / 65536.0;
    }
    case sample_encoding::floating: {
        double v = 0.0;
        if (f.bits == 32) {
            uint32_t u = 0;
            for (int i = 3; i >= 0; --i)
                u = (u << 8) | p[i];
            float x = 0.0f;
            std::memcpy(&x, &u, sizeof(x));
            v = x;
        } else {
            uint64_t u = 0;
            for (int i = 7; i >= 0; --i)
                u = (u << 8) | p[i];
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

class raw_source : public audio_source {
  public:
    raw_source(const std::string& name, const raw_format& format, bool live) : format_(format) {
        check_raw_format(format, name);
        info_.name = name;
        info_.format = "raw " + encoding_name(format) + " little-endian";
        info_.rate = format.rate;
        info_.channels = format.channels;
        info_.live = live;
        frame_bytes_ = static_cast<std::size_t>(bytes_per_sample(format) * format.channels);
    }

    std::size_t read(double* out, std::size_t frames) override {
        if (frames == 0)
            return 0;
        const std::size_t want = frames * frame_bytes_;
        if (buffer_.size() < want)
            buffer_.resize(want);
        // Gather until at least one whole frame is there (or the input ends), then decode the
        // whole frames and keep the bytes of a split frame for the next call.
        while (have_ < frame_bytes_) {
            const std::size_t got = fetch(buffer_.data() + have_, want - have_);
            if (got == 0)
                return 0; // end of input; a partial frame is dropped
            have_ += got;
        }
        const std::size_t n = have_ / frame_bytes_;
        const std::size_t samples = n * static_cast<std::size_t>(format_.channels);
        const std::size_t step = static_cast<std::size_t>(bytes_per_sample(format_));
        for (std::size_t i = 0; i < samples; ++i)
            out[i] = decode_sample(buffer_.data() + i * step, format_);
        const std::size_t used = n * frame_bytes_;
        std::memmove(buffer_.data(), buffer_.data() + used, have_ - used);
        have_ -= used;
        return n;
    }

  protected:
    // Copies up to max bytes to dst; returns 0 only at the end of input.
    virtual std::size_t fetch(unsigned char* dst, std::size_t max) = 0;

  private:
    raw_format format_;
    std::size_t frame_bytes_ = 0;
    std::vector<unsigned char> buffer_;
    std::size_t have_ = 0; // bytes in buffer_ not yet decoded
};

class raw_fd_source final : public raw_source {
  public:
    // Takes ownership of fd when owned is true.
    raw_fd_source(int fd, bool owned, const std::string& name, const raw_format& format)
        : raw_source(name, format, is_live(fd)), fd_(fd), owned_(owned) {}
    ~raw_fd_source() override {
        if (owned_)
            close(fd_);
    }
    raw_fd_source(const raw_fd_source&) = delete;
    raw_fd_source& operator=(const raw_fd_source&) = delete;

    static bool is_live(int fd) {
        struct stat st {};
        return fstat(fd, &st) == 0 &&
               (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode));
    }

  protected:
    std::size_t fetch(unsigned char* dst, std::size_t max) override {
        for (;;) {
            if (stop_requested)
                return 0;
            const ssize_t got = ::read(fd_, dst, max);
            if (got >= 0)
                return static_cast<std::size_t>(got);
            if (errno != EINTR && errno != EAGAIN)
                throw input_error(info_.name + ": " + std::strerror(errno));
            // EINTR: a signal arrived; the loop ends the stream if it was a request to stop.
        }
    }

  private:
    int fd_;
    bool owned_;
};

class raw_memory_source final : public raw_source {
  public:
    raw_memory_source(std::span<const unsigned char> bytes, const std::string& name,
                      const raw_format& format)
        : raw_source(name, format, false), bytes_(bytes) {}

  protected:
    std::size_t fetch(unsigned char* dst, std::size_t max) override {
        const std::size_t n = std::min(max, bytes_.size() - pos_);
        if (n > 0)
            std::memcpy(dst, bytes_.data() + pos_, n);
        pos_ += n;
        return n;
    }

  private:
    std::span<const unsigned char> bytes_;
    std::size_t pos_ = 0;
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

std::unique_ptr<audio_source> open_raw_file(const std::string& path, const raw_format& format) {
    check_raw_format(format, path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw input_error(path + ": " + std::strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        throw input_error(path + ": is a directory");
    }
    return std::make_unique<raw_fd_source>(fd, true, path, format);
}

std::unique_ptr<audio_source> open_raw_fd(int fd, const std::string& name,
                                          const raw_format& format) {
    return std::make_unique<raw_fd_source>(fd, false, name, format);
}

std::unique_ptr<audio_source> open_raw_memory(std::span<const unsigned char> bytes,
                                              const std::string& name, const raw_format& format) {
    return std::make_unique<raw_memory_source>(bytes, name, format);
}

} // namespace rsid_tool
