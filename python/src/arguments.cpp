// arguments.cpp - the Python module's checks and conversions, free of Python.
#include "arguments.h"

#include "input/audio_input.h" // max_channels, the tool's limit, which the module shares

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
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
    // As many as a sound file may have: with a detector each (about 0.3 MB), at most 20 MB.
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

void audio::view(const void* samples) { samples_ = samples; }

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
    samples_ = std::visit([](const auto& v) -> const void* { return v.data(); }, data);
}

std::size_t audio::bytes() const { return frames * channels * part_size(type); }

// Calls f with the samples as a pointer to their part type.
template <typename F> void audio::with_samples(F f) const {
    switch (type) {
    case sample_type::int16:
        return f(static_cast<const int16_t*>(samples_));
    case sample_type::int32:
        return f(static_cast<const int32_t*>(samples_));
    case sample_type::float32:
    case sample_type::complex64:
        return f(static_cast<const float*>(samples_));
    case sample_type::float64:
    case sample_type::complex128:
        return f(static_cast<const double*>(samples_));
    }
}

void audio::channel(std::size_t c, std::size_t from, std::size_t n, double* out) const {
    with_samples([&](const auto* v) {
        const auto* p = v + from * channels + c;
        for (std::size_t i = 0; i < n; ++i)
            out[i] = static_cast<double>(p[i * channels]);
    });
}

void audio::mix(std::size_t from, std::size_t n, double* out) const {
    with_samples([&](const auto* v) {
        const auto* p = v + from * channels;
        for (std::size_t i = 0; i < n; ++i, p += channels) {
            double sum = 0.0;
            for (std::size_t c = 0; c < channels; ++c)
                sum += static_cast<double>(p[c]);
            out[i] = sum / static_cast<double>(channels);
        }
    });
}

void audio::frames_as_floats(std::size_t from, std::size_t n, float* out) const {
    with_samples([&](const auto* v) {
        const auto* p = v + from * channels;
        for (std::size_t i = 0; i < n * channels; ++i) {
            const auto x = static_cast<double>(p[i]);
            out[i] = std::abs(x) <= std::numeric_limits<float>::max()
                         ? static_cast<float>(x)
                         : std::numeric_limits<float>::quiet_NaN();
        }
    });
}

audio check_audio(const array_shape& shape, const std::string& what) {
    return check_real(shape, what, std::string("rsid takes ") + audio_types);
}

void check_whole(const audio& a, const std::string& what) {
    if (a.two_d && a.frames > 0 && a.channels > a.frames)
        throw std::invalid_argument(what + " has " + std::to_string(a.frames) + " frames of " +
                                    std::to_string(a.channels) +
                                    " channels: rsid takes (frames, channels); pass " + what +
                                    ".T if these are (channels, frames)");
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

rsid::detector_options rule_of(bool exact, bool all, const std::vector<int>& codes) {
    rsid::detector_options rule = rsid::default_detector_options();
    if (exact) {
        if (all || (!codes.empty() && codes != std::vector<int>{131}))
            throw std::invalid_argument("exact=True looks for code 131 only: leave out codes");
        rule.exact = true;
        return rule;
    }
    if (!all && codes.empty())
        return rule;
    rule.exact = false;
    rule.all_codes = all;
    if (!all)
        rule.codes = codes;
    for (const int c : rule.codes)
        if (c < 0 || c > 4095)
            throw std::invalid_argument("codes run from 0 to 4095, not " + std::to_string(c));
    rsid::check_options(rule);
    return rule;
}

void check_path(const std::string& name) {
    if (name.find('\0') != std::string::npos)
        throw std::invalid_argument("path holds a NUL character, which no file name can");
}

std::vector<int> heard_as(std::size_t channels, int choice) {
    if (choice == mix_channels)
        return {0};
    if (choice == every_channel) {
        std::vector<int> all(channels);
        std::iota(all.begin(), all.end(), 1);
        return all;
    }
    if (choice < 1 || static_cast<std::size_t>(choice) > channels)
        throw std::invalid_argument("no channel " + std::to_string(choice) + ": the samples have " +
                                    std::to_string(channels) + " (channels count from 1)");
    return {choice};
}

void run_feed(const audio& a, const std::vector<int>& heard,
              std::vector<rsid::stream_detector>& detectors, std::vector<double>& buffer,
              std::vector<rsid::detection>& found) {
    for (std::size_t from = 0; from < a.frames; from += block_frames) {
        const std::size_t n = std::min(block_frames, a.frames - from);
        buffer.resize(n);
        for (std::size_t k = 0; k < heard.size(); ++k) {
            if (heard[k] == 0)
                a.mix(from, n, buffer.data());
            else
                a.channel(static_cast<std::size_t>(heard[k] - 1), from, n, buffer.data());
            const std::size_t before = found.size();
            detectors[k].feed(buffer.data(), n, found);
            for (std::size_t i = before; i < found.size(); ++i)
                found[i].channel = heard[k];
        }
    }
}

void run_finish(const std::vector<int>& heard, std::vector<rsid::stream_detector>& detectors,
                std::vector<rsid::detection>& found) {
    for (std::size_t k = 0; k < heard.size(); ++k) {
        const std::size_t before = found.size();
        detectors[k].finish(found);
        for (std::size_t i = before; i < found.size(); ++i)
            found[i].channel = heard[k];
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
