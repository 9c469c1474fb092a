// arguments.cpp - the Python module's checks and conversions, free of Python.
#include "arguments.h"

#include "input/audio_input.h" // max_channels, the tool's limit, which the module shares

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <tuple>

namespace rsid_python {

namespace {

constexpr std::size_t block_frames = 65536; // frames converted per engine call

constexpr const char* audio_types =
    "int16, int32 (each on its own full scale), float32 or float64 (audio normalised to +-1)";

std::string number(double v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

std::string shape_text(const array_shape& s) {
    std::string t = "(";
    for (std::size_t i = 0; i < s.dims.size(); ++i)
        t += (i ? ", " : "") + std::to_string(s.dims[i]);
    return t + (s.dims.size() == 1 ? ",)" : ")");
}

std::size_t part_size(sample_type t) {
    switch (t) {
    case sample_type::int16:
        return 2;
    case sample_type::int32:
    case sample_type::float32:
    case sample_type::complex64:
        return 4;
    default:
        return 8;
    }
}

template <typename T> void copy_as(audio& a, const void* p, std::size_t count) {
    std::vector<T> v(count);
    if (count > 0)
        std::memcpy(v.data(), p, count * sizeof(T));
    a.data = std::move(v);
}

// Checks real samples; `takes` says what the caller accepts.
audio check_real(const array_shape& s, const std::string& what, const std::string& takes) {
    const bool i16 = s.kind == 'i' && s.itemsize == 2, i32 = s.kind == 'i' && s.itemsize == 4;
    const bool f32 = s.kind == 'f' && s.itemsize == 4, f64 = s.kind == 'f' && s.itemsize == 8;
    if (!i16 && !i32 && !f32 && !f64)
        throw wrong_type(what + " has samples of type " + s.dtype + "; " + takes +
                         ": convert with .astype()");
    if (s.dims.size() != 1 && s.dims.size() != 2)
        throw std::invalid_argument(what + " must be 1-D (samples) or 2-D (frames x " +
                                    "channels), not " + std::to_string(s.dims.size()) + "-D");
    audio a;
    a.two_d = s.dims.size() == 2;
    a.frames = s.dims[0];
    a.channels = a.two_d ? s.dims[1] : 1;
    if (a.two_d && a.channels == 0)
        throw std::invalid_argument(what + " has no channels (shape " + std::to_string(a.frames) +
                                    " x 0)");
    // Each channel has a detector of its own (about 0.3 MB): as many as a sound file may have.
    if (a.channels > static_cast<std::size_t>(rsid_tool::max_channels))
        throw std::invalid_argument(what + " has shape " + shape_text(s) + ": more than " +
                                    std::to_string(rsid_tool::max_channels) +
                                    " channels; pass (frames, channels)");
    if (i16)
        a.type = sample_type::int16, a.full_scale = 32768.0, a.name = "int16";
    else if (i32)
        a.type = sample_type::int32, a.full_scale = 2147483648.0, a.name = "int32";
    else if (f32)
        a.type = sample_type::float32, a.name = "float32";
    else
        a.type = sample_type::float64, a.name = "float64";
    return a;
}

} // namespace

void audio::copy_from(const void* samples) {
    const std::size_t count = bytes() / part_size(type);
    switch (type) {
    case sample_type::int16:
        copy_as<int16_t>(*this, samples, count);
        break;
    case sample_type::int32:
        copy_as<int32_t>(*this, samples, count);
        break;
    case sample_type::float32:
    case sample_type::complex64: // std::complex<float> is float[2]
        copy_as<float>(*this, samples, count);
        break;
    case sample_type::float64:
    case sample_type::complex128:
        copy_as<double>(*this, samples, count);
        break;
    }
}

std::size_t audio::bytes() const { return frames * channels * part_size(type); }

void audio::channel(std::size_t c, std::size_t from, std::size_t n, double* out) const {
    std::visit(
        [&](const auto& v) {
            const auto* p = v.data() + from * channels + c;
            for (std::size_t i = 0; i < n; ++i)
                out[i] = static_cast<double>(p[i * channels]);
        },
        data);
}

void audio::frames_as_floats(std::size_t from, std::size_t n, float* out) const {
    std::visit(
        [&](const auto& v) {
            const auto* p = v.data() + from * channels;
            for (std::size_t i = 0; i < n * channels; ++i) {
                const auto x = static_cast<double>(p[i]);
                out[i] = std::abs(x) <= std::numeric_limits<float>::max()
                             ? static_cast<float>(x)
                             : std::numeric_limits<float>::quiet_NaN();
            }
        },
        data);
}

audio check_audio(const array_shape& shape, const std::string& what) {
    return check_real(shape, what, std::string("rsid takes ") + audio_types);
}

audio check_band(const array_shape& s, const std::string& what, std::optional<bool> iq,
                 const char* flag) {
    if (s.kind == 'c' && (s.itemsize == 8 || s.itemsize == 16)) {
        if (iq && !*iq)
            throw std::invalid_argument(what + " holds complex (I/Q) samples but " + flag +
                                        "=False asks for real audio");
        if (s.dims.size() != 1)
            throw std::invalid_argument(what + " of complex samples must be 1-D, not " +
                                        std::to_string(s.dims.size()) + "-D");
        audio a;
        a.frames = s.dims[0];
        a.channels = 2;
        a.full_scale = 1.0;
        a.type = s.itemsize == 8 ? sample_type::complex64 : sample_type::complex128;
        a.name = s.itemsize == 8 ? "complex64" : "complex128";
        return a;
    }
    audio a = check_real(s, what,
                         std::string("a band is complex64 or complex128 (I/Q, full scale 1.0), "
                                     "or real ") +
                             audio_types);
    if (!a.two_d && iq && *iq)
        throw std::invalid_argument(
            what + " is 1-D real samples, but " + flag +
            "=True takes complex samples or 2 columns, I and Q (frames x 2)");
    if (a.two_d && !(iq && *iq))
        throw std::invalid_argument(
            what + " is 2-D (" + std::to_string(a.frames) + " x " + std::to_string(a.channels) +
            "): wide real audio is 1-D; pass " + flag + "=True for 2 columns of I and Q");
    if (a.two_d && a.channels != 2)
        throw std::invalid_argument(what + " has " + std::to_string(a.channels) + " columns; " +
                                    flag + "=True takes 2, I and Q");
    return a;
}

void check_rate(double rate) {
    if (!(rate >= 1000.0 && rate <= 1536000.0))
        throw std::invalid_argument("rate must lie in 1000 to 1536000 samples/s, not " +
                                    number(rate));
}

void check_scan_rate(double rate) {
    if (!(rate >= 6000.0 && rate <= 20e6))
        throw std::invalid_argument("rate must lie in 6000 to 20000000 samples/s (complex "
                                    "frames for I/Q), not " +
                                    number(rate));
}

void check_center(double center) {
    if (!std::isfinite(center))
        throw std::invalid_argument("center must be a finite frequency in Hz, not " +
                                    number(center));
}

void check_path(const std::string& name) {
    if (name.find('\0') != std::string::npos)
        throw std::invalid_argument("path holds a NUL character, which no file name can");
}

std::vector<std::size_t> chosen(const audio& a, std::optional<int> channel) {
    std::vector<std::size_t> list;
    if (!channel) {
        for (std::size_t c = 0; c < a.channels; ++c)
            list.push_back(c);
        return list;
    }
    if (!a.two_d)
        throw std::invalid_argument("channel=" + std::to_string(*channel) +
                                    " needs 2-D samples (frames x channels); 1-D samples are "
                                    "one channel already");
    if (*channel < 1 || static_cast<std::size_t>(*channel) > a.channels)
        throw std::invalid_argument("no channel " + std::to_string(*channel) +
                                    ": the samples have " + std::to_string(a.channels) +
                                    " (channels count from 1)");
    list.push_back(static_cast<std::size_t>(*channel - 1));
    return list;
}

void run_feed(const audio& a, const std::vector<std::size_t>& channels,
              std::vector<rsid::stream_detector>& detectors, std::vector<double>& buffer,
              std::vector<rsid::detection>& found, int first_number) {
    for (std::size_t from = 0; from < a.frames; from += block_frames) {
        const std::size_t n = std::min(block_frames, a.frames - from);
        buffer.resize(n);
        for (std::size_t k = 0; k < channels.size(); ++k) {
            a.channel(channels[k], from, n, buffer.data());
            const std::size_t before = found.size();
            detectors[k].feed(buffer.data(), n, found);
            for (std::size_t i = before; i < found.size(); ++i)
                found[i].channel = first_number + static_cast<int>(channels[k]);
        }
    }
}

void run_finish(const std::vector<std::size_t>& channels,
                std::vector<rsid::stream_detector>& detectors, std::vector<rsid::detection>& found,
                int first_number) {
    for (std::size_t k = 0; k < channels.size(); ++k) {
        const std::size_t before = found.size();
        detectors[k].finish(found);
        for (std::size_t i = before; i < found.size(); ++i)
            found[i].channel = first_number + static_cast<int>(channels[k]);
    }
}

void run_scan(const audio& a, rsid::band_scanner& scanner, std::vector<float>& buffer,
              std::vector<rsid::detection>& found) {
    for (std::size_t from = 0; from < a.frames; from += block_frames) {
        const std::size_t n = std::min(block_frames, a.frames - from);
        buffer.resize(n * a.channels);
        a.frames_as_floats(from, n, buffer.data());
        scanner.feed(buffer.data(), n, found);
    }
}

void order(std::vector<rsid::detection>& found) {
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return std::tie(a.sample, a.channel, a.freq_hz) < std::tie(b.sample, b.channel, b.freq_hz);
    });
}

void audio_offsets(std::vector<rsid::detection>& found) {
    for (rsid::detection& d : found)
        d.offset_hz = d.freq_hz;
}

} // namespace rsid_python
