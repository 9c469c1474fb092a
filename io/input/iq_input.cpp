// iq_input.cpp - raw I/Q from a descriptor or memory, and sound files as bands.
#include "input/iq_input.h"

#include "input/byte_stream.h"
#include "input/frame_buffer.h"
#include "input/sigmf.h"

#include "scanner.h" // engine/: max_center_hz

#include <fmt/core.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace rsid_tool {

namespace {

// cf32 values beyond this are clamped, so that no sum in the transform can overflow.
constexpr float max_float_sample = 1e6f;

float decode(const unsigned char* p, iq_type type) {
    switch (type) {
    case iq_type::cu8:
        return (static_cast<float>(*p) - 127.5f) / 128.0f; // offset binary around 127.5
    case iq_type::cs8:
        return static_cast<float>(static_cast<int8_t>(*p)) / 128.0f;
    case iq_type::cs16: {
        const auto v = static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
        return static_cast<float>(v) / 32768.0f;
    }
    case iq_type::cf32: {
        const uint32_t u = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
        float x = 0.0f;
        std::memcpy(&x, &u, sizeof(x));
        return std::isfinite(x) ? std::clamp(x, -max_float_sample, max_float_sample) : 0.0f;
    }
    }
    return 0.0f;
}

bool is_live(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 &&
           (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode));
}

class iq_source : public band_source {
  public:
    iq_source(const std::string& name, iq_type type, double rate, double center_hz, bool live,
              int64_t bytes)
        : type_(type), buffer_(iq_frame_bytes(type)) {
        if (!(rate >= min_band_rate && rate <= max_band_rate))
            throw input_error(name + ": I/Q sample rate must lie in 6000 to 20000000");
        if (!(std::abs(center_hz) <= rsid::max_center_hz))
            throw input_error(name + ": the centre frequency must lie within -1e12 to 1e12 Hz");
        info_.name = name;
        info_.format = std::string("raw I/Q ") + sigmf_datatype(type);
        info_.rate = rate;
        info_.complex = true;
        info_.center_hz = center_hz;
        info_.live = live;
        info_.type = type;
        if (bytes >= 0)
            info_.frames = bytes / static_cast<int64_t>(iq_frame_bytes(type));
    }

    std::size_t read(float* out, std::size_t frames) override {
        return buffer_.read(
            frames, [&](unsigned char* dst, std::size_t max) { return fetch(dst, max); },
            [&](const unsigned char* bytes, std::size_t n) { decode_iq(bytes, n, type_, out); });
    }

  protected:
    // Copies up to max bytes to dst; returns 0 only at the end of input.
    virtual std::size_t fetch(unsigned char* dst, std::size_t max) = 0;

  private:
    iq_type type_;
    frame_buffer buffer_;
};

class iq_fd_source final : public iq_source {
  public:
    iq_fd_source(int fd, bool owned, const std::string& name, iq_type type, double rate,
                 double center_hz, int64_t bytes)
        : iq_source(name, type, rate, center_hz, is_live(fd), bytes), fd_(fd), owned_(owned) {}
    ~iq_fd_source() override {
        if (owned_)
            close(fd_);
    }
    iq_fd_source(const iq_fd_source&) = delete;
    iq_fd_source& operator=(const iq_fd_source&) = delete;

  protected:
    // A pipe, FIFO or device is waited on in poll() so that a stop request is seen within
    // 200 ms on whichever thread reads it (a signal interrupts only the thread it lands on).
    std::size_t fetch(unsigned char* dst, std::size_t max) override {
        for (;;) {
            if (stopping())
                return 0;
            if (info_.live) {
                pollfd p{fd_, POLLIN, 0};
                const int ready = poll(&p, 1, 200);
                if (ready < 0 && errno != EINTR)
                    throw input_error(info_.name + ": " + std::strerror(errno));
                if (ready <= 0)
                    continue;
            }
            const ssize_t got = ::read(fd_, dst, max);
            if (got >= 0)
                return static_cast<std::size_t>(got);
            if (errno != EINTR && errno != EAGAIN)
                throw input_error(info_.name + ": " + std::strerror(errno));
        }
    }

  private:
    int fd_;
    bool owned_;
};

class iq_memory_source final : public iq_source {
  public:
    iq_memory_source(std::span<const unsigned char> bytes, const std::string& name, iq_type type,
                     double rate, double center_hz)
        : iq_source(name, type, rate, center_hz, false, static_cast<int64_t>(bytes.size())),
          bytes_(bytes) {}

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

class sound_band final : public band_source {
  public:
    sound_band(std::unique_ptr<audio_source> sound, bool iq, double center_hz)
        : sound_(std::move(sound)) {
        const source_info& s = sound_->info();
        if (iq && s.channels != 2)
            throw input_error(s.name + ": --iq needs two channels (I and Q), it has " +
                              std::to_string(s.channels));
        if (!(s.rate >= min_band_rate))
            throw input_error(s.name + ": a band needs at least 6000 samples/s");
        if (!(std::abs(center_hz) <= rsid::max_center_hz))
            throw input_error(s.name + ": the centre frequency must lie within -1e12 to 1e12 Hz");
        info_.name = s.name;
        info_.format = s.format + (iq ? ", I/Q" : ", real audio");
        info_.start = s.start;
        info_.rate = s.rate;
        info_.complex = iq;
        info_.center_hz = center_hz;
        info_.frames = s.frames;
        info_.live = s.live;
    }

    std::size_t read(float* out, std::size_t frames) override {
        const auto channels = static_cast<std::size_t>(sound_->info().channels);
        frames_.resize(frames * channels);
        const std::size_t n = sound_->read(frames_.data(), frames);
        for (std::size_t i = 0; i < n; ++i) {
            const double* f = frames_.data() + i * channels;
            if (info_.complex) { // the source's 16-bit scale back to +-1
                out[2 * i] = static_cast<float>(f[0] / 32768.0);
                out[2 * i + 1] = static_cast<float>(f[1] / 32768.0);
            } else {
                double sum = 0.0;
                for (std::size_t c = 0; c < channels; ++c)
                    sum += f[c];
                out[i] = static_cast<float>(sum / static_cast<double>(channels) / 32768.0);
            }
        }
        return n;
    }

  private:
    std::unique_ptr<audio_source> sound_;
    std::vector<double> frames_;
};

} // namespace

std::optional<iq_type> parse_iq_type(const std::string& name) {
    if (name == "cu8")
        return iq_type::cu8;
    if (name == "cs8")
        return iq_type::cs8;
    if (name == "cs16")
        return iq_type::cs16;
    if (name == "cf32")
        return iq_type::cf32;
    return std::nullopt;
}

std::optional<iq_type> iq_type_of_name(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return std::nullopt;
    std::string ext = path.substr(dot + 1);
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return parse_iq_type(ext);
}

std::optional<iq_type> sigmf_iq_type(const std::string& datatype) {
    if (datatype == "cu8")
        return iq_type::cu8;
    if (datatype == "ci8")
        return iq_type::cs8;
    if (datatype == "ci16_le")
        return iq_type::cs16;
    if (datatype == "cf32_le")
        return iq_type::cf32;
    return std::nullopt;
}

const char* sigmf_datatype(iq_type type) {
    switch (type) {
    case iq_type::cu8:
        return "cu8";
    case iq_type::cs8:
        return "ci8";
    case iq_type::cs16:
        return "ci16_le";
    case iq_type::cf32:
        return "cf32_le";
    }
    return "?";
}

std::size_t iq_frame_bytes(iq_type type) {
    switch (type) {
    case iq_type::cu8:
    case iq_type::cs8:
        return 2;
    case iq_type::cs16:
        return 4;
    case iq_type::cf32:
        return 8;
    }
    return 2;
}

void decode_iq(const unsigned char* bytes, std::size_t frames, iq_type type, float* out) {
    const std::size_t step = iq_frame_bytes(type) / 2;
    for (std::size_t i = 0; i < 2 * frames; ++i)
        out[i] = decode(bytes + i * step, type);
}

std::unique_ptr<band_source> open_iq_file(const std::string& path, iq_type type, double rate,
                                          double center_hz) {
    const int fd = open_input_fd(path); // a FIFO without a writer: fetch() waits, not open
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        throw input_error(path + ": is a directory");
    }
    const int64_t bytes = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : -1;
    try {
        return std::make_unique<iq_fd_source>(fd, true, path, type, rate, center_hz, bytes);
    } catch (...) {
        close(fd);
        throw;
    }
}

std::unique_ptr<band_source> open_iq_fd(int fd, const std::string& name, iq_type type, double rate,
                                        double center_hz) {
    return std::make_unique<iq_fd_source>(fd, false, name, type, rate, center_hz, -1);
}

std::unique_ptr<band_source> open_iq_memory(std::span<const unsigned char> bytes,
                                            const std::string& name, iq_type type, double rate,
                                            double center_hz) {
    return std::make_unique<iq_memory_source>(bytes, name, type, rate, center_hz);
}

std::unique_ptr<band_source> open_sound_band(std::unique_ptr<audio_source> sound, bool iq,
                                             double center_hz) {
    return std::make_unique<sound_band>(std::move(sound), iq, center_hz);
}

std::unique_ptr<band_source> open_band(const std::string& input, const band_request& request,
                                       const std::function<void(const std::string&)>& note) {
    const double center = request.center_hz.value_or(0.0);
    const std::string name = input == "-" ? "stdin" : input;
    if (input != "-" && is_sigmf(input)) {
        const sigmf_recording rec = read_sigmf(input);
        if (request.center_hz && rec.frequency && *rec.frequency != *request.center_hz && note)
            note(fmt::format("{}: --center {:.0f} Hz replaces the recording's core:frequency "
                             "{:.0f} Hz",
                             name, *request.center_hz, *rec.frequency));
        return open_iq_file(rec.data, rec.type, rec.rate,
                            request.center_hz ? center : rec.frequency.value_or(0.0));
    }
    const std::optional<iq_type> type = request.type   ? request.type
                                        : input == "-" ? std::nullopt
                                                       : iq_type_of_name(input);
    if (type) {
        if (!request.rate)
            throw input_error(fmt::format("{}: raw I/Q ({}) needs its sample rate: -r RATE", name,
                                          sigmf_datatype(*type)));
        if (input == "-")
            return open_iq_fd(STDIN_FILENO, name, *type, *request.rate, center);
        return open_iq_file(input, *type, *request.rate, center);
    }
    if (request.rate)
        throw input_error(name +
                          ": -r describes raw I/Q, whose type comes from -t "
                          "cu8|cs8|cs16|cf32 or from a name ending in .cu8 .cs8 .cs16 .cf32");
    try {
        return open_sound_band(input == "-" ? open_sound_fd(STDIN_FILENO, name)
                                            : open_sound_file(input),
                               request.iq, center);
    } catch (const unknown_format_error&) {
        throw input_error(name +
                          ": not a sound file the tool can read (unknown format); raw "
                          "I/Q needs -t cu8|cs8|cs16|cf32 (or a name ending so) and -r RATE");
    }
}

} // namespace rsid_tool
