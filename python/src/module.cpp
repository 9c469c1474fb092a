// module.cpp - rsid._rsid, the native half of the Python module: numpy arrays in, detections
// out, over the engine (stream detectors, the identifier at any rate) and the tool's file
// readers.
//
// Every entry point works the same way: with the GIL held, check the arguments and copy the
// samples out of the caller's array into a buffer of their own type; then release the GIL for
// the engine's work, so that Python threads run detectors and band scanners on several cores at
// once. Detections go back as plain tuples (time_s, sample, freq_hz, offset_hz, snr_db,
// level_dbfs, code, channel, rate); rsid/__init__.py makes them Detection values.
#include "audio_input.h"
#include "scanner.h"
#include "send.h"
#include "stream.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

namespace py = pybind11;

namespace {

constexpr std::size_t block_frames = 65536; // frames converted to doubles per engine call

std::string number(double v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

// Samples of one call, frames x channels interleaved, in the caller's own type. The scale
// follows the type: integers on their own full scale, floats as audio normalised to +-1.
struct audio {
    std::variant<std::vector<int16_t>, std::vector<int32_t>, std::vector<float>,
                 std::vector<double>>
        data;
    std::size_t frames = 0;
    std::size_t channels = 1;
    bool two_d = false; // frames x channels; a 1-D array is one unnumbered channel
    double full_scale = 1.0;
    const char* type = "";

    // Channel c (0-based) of frames [from, from + n) as doubles.
    void channel(std::size_t c, std::size_t from, std::size_t n, double* out) const {
        std::visit(
            [&](const auto& v) {
                const auto* p = v.data() + from * channels + c;
                for (std::size_t i = 0; i < n; ++i)
                    out[i] = static_cast<double>(p[i * channels]);
            },
            data);
    }

    // Frames [from, from + n), every channel, interleaved as floats for the band scanner.
    // Values beyond float's range become NaN, which the scanner takes as silence, as it does
    // NaN and infinity.
    void frames_as_floats(std::size_t from, std::size_t n, float* out) const {
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
};

template <typename T> void copy_into(audio& a, const py::array& x, double full_scale) {
    // forcecast to the native byte order and C order; copies only when the layout differs.
    const auto c = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(x);
    if (!c)
        throw py::error_already_set();
    std::vector<T> v(static_cast<std::size_t>(c.size()));
    if (!v.empty())
        std::memcpy(v.data(), c.data(), v.size() * sizeof(T));
    a.data = std::move(v);
    a.full_scale = full_scale;
}

constexpr const char* audio_types =
    "int16, int32 (each on its own full scale), float32 or float64 (audio normalised to +-1)";

// Checks and copies an array of real samples; `what` names it in messages, `takes` says what the
// caller accepts.
audio take_real(const py::array& x, const std::string& what, const std::string& takes) {
    const char kind = x.dtype().kind();
    const auto size = x.dtype().itemsize();
    const bool i16 = kind == 'i' && size == 2, i32 = kind == 'i' && size == 4;
    const bool f32 = kind == 'f' && size == 4, f64 = kind == 'f' && size == 8;
    if (!i16 && !i32 && !f32 && !f64)
        throw py::type_error(what + " has samples of type " + std::string(py::str(x.dtype())) +
                             "; " + takes + ": convert with .astype()");
    if (x.ndim() != 1 && x.ndim() != 2)
        throw py::value_error(what + " must be 1-D (samples) or 2-D (frames x " +
                              "channels), not " + std::to_string(x.ndim()) + "-D");
    audio a;
    a.two_d = x.ndim() == 2;
    a.frames = static_cast<std::size_t>(x.shape(0));
    a.channels = a.two_d ? static_cast<std::size_t>(x.shape(1)) : 1;
    if (a.two_d && a.channels == 0)
        throw py::value_error(what + " has no channels (shape " + std::to_string(a.frames) +
                              " x 0)");
    if (i16)
        copy_into<int16_t>(a, x, 32768.0), a.type = "int16";
    else if (i32)
        copy_into<int32_t>(a, x, 2147483648.0), a.type = "int32";
    else if (f32)
        copy_into<float>(a, x, 1.0), a.type = "float32";
    else
        copy_into<double>(a, x, 1.0), a.type = "float64";
    return a;
}

// Checks and copies an array-like of audio samples; `what` names it in messages.
audio take_audio(const py::handle& obj, const char* what) {
    const py::array x = py::module_::import("numpy").attr("asarray")(obj);
    return take_real(x, what, std::string("rsid takes ") + audio_types);
}

// Copies complex samples as interleaved I, Q pairs of T (float or double).
template <typename T> void copy_complex(audio& a, const py::array& x) {
    const auto c =
        py::array_t<std::complex<T>, py::array::c_style | py::array::forcecast>::ensure(x);
    if (!c)
        throw py::error_already_set();
    std::vector<T> v(2 * static_cast<std::size_t>(c.size()));
    if (!v.empty())
        std::memcpy(v.data(), c.data(), v.size() * sizeof(T)); // std::complex<T> is T[2]
    a.data = std::move(v);
}

// Checks and copies the samples of a band: complex64 or complex128 I/Q (full scale 1.0), 2-D
// real samples of two columns, I and Q, when `iq` says so, or 1-D real samples of wide audio.
// The result has two channels for I/Q and one for real audio. `flag` names the argument that
// says I/Q (iq= for scan, complex= for Scanner) in messages.
audio take_band(const py::handle& obj, const char* what, std::optional<bool> iq, const char* flag) {
    const py::array x = py::module_::import("numpy").attr("asarray")(obj);
    const std::string name = what;
    const char kind = x.dtype().kind();
    const auto size = x.dtype().itemsize();
    if (kind == 'c' && (size == 8 || size == 16)) {
        if (iq && !*iq)
            throw py::value_error(name + " holds complex (I/Q) samples but " + flag +
                                  "=False asks for real audio");
        if (x.ndim() != 1)
            throw py::value_error(name + " of complex samples must be 1-D, not " +
                                  std::to_string(x.ndim()) + "-D");
        audio a;
        a.frames = static_cast<std::size_t>(x.shape(0));
        a.channels = 2;
        a.full_scale = 1.0;
        if (size == 8)
            copy_complex<float>(a, x), a.type = "complex64";
        else
            copy_complex<double>(a, x), a.type = "complex128";
        return a;
    }
    audio a = take_real(x, name,
                        std::string("a band is complex64 or complex128 (I/Q, full scale 1.0), "
                                    "or real ") +
                            audio_types);
    if (!a.two_d && iq && *iq)
        throw py::value_error(name + " is 1-D real samples, but " + flag +
                              "=True takes complex samples or 2 columns, I and Q (frames x 2)");
    if (a.two_d && !(iq && *iq))
        throw py::value_error(name + " is 2-D (" + std::to_string(a.frames) + " x " +
                              std::to_string(a.channels) + "): wide real audio is 1-D; pass " +
                              flag + "=True for 2 columns of I and Q");
    if (a.two_d && a.channels != 2)
        throw py::value_error(name + " has " + std::to_string(a.channels) + " columns; " + flag +
                              "=True takes 2, I and Q");
    return a;
}

void check_rate(double rate) {
    if (!(rate >= 1000.0 && rate <= 1536000.0))
        throw py::value_error("rate must lie in 1000 to 1536000 samples/s, not " + number(rate));
}

// The 0-based channels to run: all of them, or the one asked for (1-based).
std::vector<std::size_t> chosen(const audio& a, std::optional<int> channel) {
    std::vector<std::size_t> list;
    if (!channel) {
        for (std::size_t c = 0; c < a.channels; ++c)
            list.push_back(c);
        return list;
    }
    if (!a.two_d)
        throw py::value_error("channel=" + std::to_string(*channel) +
                              " needs 2-D samples (frames x channels); 1-D samples are one "
                              "channel already");
    if (*channel < 1 || static_cast<std::size_t>(*channel) > a.channels)
        throw py::value_error("no channel " + std::to_string(*channel) + ": the samples have " +
                              std::to_string(a.channels) + " (channels count from 1)");
    list.push_back(static_cast<std::size_t>(*channel - 1));
    return list;
}

// The order every list is returned in: by start, then channel, then frequency.
void order(std::vector<rsid::detection>& found) {
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return std::tie(a.sample, a.channel, a.freq_hz) < std::tie(b.sample, b.channel, b.freq_hz);
    });
}

// A detector hears audio, whose frequencies count from 0 Hz: its offset is its frequency.
void audio_offsets(std::vector<rsid::detection>& found) {
    for (rsid::detection& d : found)
        d.offset_hz = d.freq_hz;
}

py::list tuples(const std::vector<rsid::detection>& found) {
    py::list out;
    for (const rsid::detection& d : found)
        out.append(py::make_tuple(d.time_s, d.sample, d.freq_hz, d.offset_hz, d.snr_db,
                                  d.level_dbfs, d.code, d.channel, d.rate));
    return out;
}

// Feeds frames [from, from + n) of the chosen channels, one stream detector each.
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

py::list detect(const py::handle& x, double rate, std::optional<int> channel) {
    check_rate(rate);
    const audio a = take_audio(x, "x");
    const std::vector<std::size_t> channels = chosen(a, channel);
    std::vector<rsid::detection> found;
    {
        py::gil_scoped_release unlocked;
        std::vector<rsid::stream_detector> detectors;
        for (std::size_t k = 0; k < channels.size(); ++k)
            detectors.emplace_back(rate, a.full_scale);
        std::vector<double> buffer;
        const int first_number = a.two_d ? 1 : 0; // 1-D: channel 0, a mono stream
        run_feed(a, channels, detectors, buffer, found, first_number);
        run_finish(channels, detectors, found, first_number);
        order(found);
        audio_offsets(found);
    }
    return tuples(found);
}

// A stream over many calls. The first chunk with samples fixes the layout (1-D or the number of
// channels) and the scale (int16, int32 or float) until finish() ends the stream.
class stream {
  public:
    stream(double rate, std::optional<int> channel) : rate_(rate), channel_(channel) {
        check_rate(rate);
        if (channel && *channel < 1)
            throw py::value_error("channel counts from 1, not " + std::to_string(*channel));
    }

    py::list feed(const py::handle& chunk) {
        const audio a = take_audio(chunk, "chunk");
        std::vector<rsid::detection> found;
        if (a.frames > 0) { // an empty chunk changes nothing, not even the layout
            py::gil_scoped_release unlocked;
            const std::lock_guard<std::mutex> hold(busy_); // one call at a time per stream
            if (detectors_.empty()) {
                channels_ = chosen(a, channel_);
                two_d_ = a.two_d;
                width_ = a.channels;
                full_scale_ = a.full_scale;
                type_ = a.type;
                for (std::size_t k = 0; k < channels_.size(); ++k)
                    detectors_.emplace_back(rate_, full_scale_);
            } else if (a.two_d != two_d_ || a.channels != width_) {
                throw py::value_error("this stream takes " + layout(two_d_, width_) +
                                      "; the chunk has " + layout(a.two_d, a.channels) +
                                      " (finish() ends the stream)");
            } else if (a.full_scale != full_scale_) {
                throw py::type_error(std::string("this stream takes ") + type_ +
                                     " samples (its full scale); the chunk holds " + a.type +
                                     " (finish() ends the stream)");
            }
            run_feed(a, channels_, detectors_, buffer_, found, two_d_ ? 1 : 0);
            frames_ += a.frames;
            order(found);
            audio_offsets(found);
        }
        return tuples(found);
    }

    py::list finish() {
        std::vector<rsid::detection> found;
        {
            py::gil_scoped_release unlocked;
            const std::lock_guard<std::mutex> hold(busy_);
            run_finish(channels_, detectors_, found, two_d_ ? 1 : 0);
            detectors_.clear();
            frames_ = 0;
            order(found);
            audio_offsets(found);
        }
        return tuples(found);
    }

    double rate() const { return rate_; }
    uint64_t frames() {
        py::gil_scoped_release unlocked;
        const std::lock_guard<std::mutex> hold(busy_);
        return frames_;
    }

  private:
    static std::string layout(bool two_d, std::size_t channels) {
        return two_d ? std::to_string(channels) + "-channel 2-D chunks" : "1-D chunks";
    }

    double rate_;
    std::optional<int> channel_;
    std::mutex busy_;
    std::vector<std::size_t> channels_;
    std::vector<rsid::stream_detector> detectors_; // empty until the stream's first samples
    std::vector<double> buffer_;
    bool two_d_ = false;
    std::size_t width_ = 1;
    double full_scale_ = 1.0;
    const char* type_ = "";
    uint64_t frames_ = 0;
};

py::list detect_file(const py::handle& path, std::optional<int> channel) {
    const std::string name = py::str(py::module_::import("os").attr("fsdecode")(path));
    std::vector<rsid::detection> found;
    {
        py::gil_scoped_release unlocked;
        const auto source = rsid_tool::open_sound_file(name);
        const rsid_tool::source_info& info = source->info();
        const auto width = static_cast<std::size_t>(info.channels);
        std::vector<std::size_t> channels;
        if (channel) {
            if (*channel < 1 || static_cast<std::size_t>(*channel) > width)
                throw py::value_error("no channel " + std::to_string(*channel) + " in " + name +
                                      ": it has " + std::to_string(width) +
                                      " (channels count from 1)");
            channels.push_back(static_cast<std::size_t>(*channel - 1));
        } else {
            for (std::size_t c = 0; c < width; ++c)
                channels.push_back(c);
        }
        // The readers give every encoding on the 16-bit scale; a mono file is channel 0.
        const int first_number = width > 1 || channel ? 1 : 0;
        std::vector<rsid::stream_detector> detectors;
        for (std::size_t k = 0; k < channels.size(); ++k)
            detectors.emplace_back(info.rate, 32768.0);
        audio block;
        block.channels = width;
        std::vector<double> frames(8192 * width), buffer;
        while (const std::size_t n = source->read(frames.data(), 8192)) {
            frames.resize(n * width);
            block.data = std::move(frames);
            block.frames = n;
            run_feed(block, channels, detectors, buffer, found, first_number);
            frames = std::move(std::get<std::vector<double>>(block.data));
            frames.resize(8192 * width);
        }
        run_finish(channels, detectors, found, first_number);
        order(found);
        audio_offsets(found);
    }
    return tuples(found);
}

// The band scanner's rates: the detector's own 6000/s up to 20 MS/s.
void check_scan_rate(double rate) {
    if (!(rate >= 6000.0 && rate <= 20e6))
        throw py::value_error("rate must lie in 6000 to 20000000 samples/s (complex frames for "
                              "I/Q), not " +
                              number(rate));
}

void check_center(double center) {
    if (!std::isfinite(center))
        throw py::value_error("center must be a finite frequency in Hz, not " + number(center));
}

// Feeds every frame of a band (1 or 2 channels) to a scanner, a block at a time.
void run_scan(const audio& a, rsid::band_scanner& scanner, std::vector<float>& buffer,
              std::vector<rsid::detection>& found) {
    for (std::size_t from = 0; from < a.frames; from += block_frames) {
        const std::size_t n = std::min(block_frames, a.frames - from);
        buffer.resize(n * a.channels);
        a.frames_as_floats(from, n, buffer.data());
        scanner.feed(buffer.data(), n, found);
    }
}

py::list scan(const py::handle& x, double rate, double center, std::optional<bool> iq) {
    check_scan_rate(rate);
    check_center(center);
    const audio a = take_band(x, "x", iq, "iq");
    std::vector<rsid::detection> found;
    if (a.frames > 0) { // a wide band's scanner holds hundreds of MB: none for no samples
        py::gil_scoped_release unlocked;
        rsid::band_scanner scanner({.rate = rate,
                                    .complex = a.channels == 2,
                                    .center_hz = center,
                                    .full_scale = a.full_scale});
        std::vector<float> buffer;
        run_scan(a, scanner, buffer, found);
        scanner.finish(found);
        order(found);
    }
    return tuples(found);
}

// The band scanner over many calls. The first chunk with samples fixes the scale (complex or
// float on +-1, int16, int32) until finish() ends the stream; I/Q or real is fixed at the start.
class band_stream {
  public:
    band_stream(double rate, double center, bool complex)
        : rate_(rate), center_(center), complex_(complex) {
        check_scan_rate(rate);
        check_center(center);
    }

    py::list feed(const py::handle& chunk) {
        const audio a = take_band(chunk, "chunk", complex_, "complex");
        std::vector<rsid::detection> found;
        if (a.frames > 0) { // an empty chunk changes nothing, not even the scale
            py::gil_scoped_release unlocked;
            const std::lock_guard<std::mutex> hold(busy_); // one call at a time per stream
            if (!scanner_) {
                scanner_ = std::make_unique<rsid::band_scanner>(
                    rsid::scan_options{.rate = rate_,
                                       .complex = complex_,
                                       .center_hz = center_,
                                       .full_scale = a.full_scale});
                full_scale_ = a.full_scale;
                type_ = a.type;
            } else if (a.full_scale != full_scale_) {
                throw py::type_error(std::string("this stream takes ") + type_ +
                                     " samples (their full scale); the chunk holds " + a.type +
                                     " (finish() ends the stream)");
            }
            run_scan(a, *scanner_, buffer_, found);
            frames_ += a.frames;
            order(found);
        }
        return tuples(found);
    }

    py::list finish() {
        std::vector<rsid::detection> found;
        {
            py::gil_scoped_release unlocked;
            const std::lock_guard<std::mutex> hold(busy_);
            if (scanner_)
                scanner_->finish(found);
            scanner_.reset();
            frames_ = 0;
            order(found);
        }
        return tuples(found);
    }

    double rate() const { return rate_; }
    double center() const { return center_; }
    bool complex() const { return complex_; }
    uint64_t frames() {
        py::gil_scoped_release unlocked;
        const std::lock_guard<std::mutex> hold(busy_);
        return frames_;
    }

  private:
    double rate_;
    double center_;
    bool complex_;
    std::mutex busy_;
    std::unique_ptr<rsid::band_scanner> scanner_; // null until the stream's first samples
    std::vector<float> buffer_;
    double full_scale_ = 1.0;
    const char* type_ = "";
    uint64_t frames_ = 0;
};

py::list scan_file(const py::handle& path, double center, std::optional<bool> iq) {
    check_center(center);
    const std::string name = py::str(py::module_::import("os").attr("fsdecode")(path));
    const bool complex = iq && *iq;
    std::vector<rsid::detection> found;
    {
        py::gil_scoped_release unlocked;
        const auto source = rsid_tool::open_sound_file(name);
        const rsid_tool::source_info& info = source->info();
        if (info.channels != (complex ? 2 : 1))
            throw py::value_error(name + " has " + std::to_string(info.channels) +
                                  (info.channels == 1 ? " channel" : " channels") +
                                  ": scan_file takes 1 (wide real audio) or, with iq=True, 2 "
                                  "(I and Q)");
        if (!(info.rate >= 6000.0))
            throw py::value_error(name + " has " + number(info.rate) +
                                  " samples/s; the band scanner needs 6000 or more");
        // The readers give every encoding on the 16-bit scale.
        rsid::band_scanner scanner(
            {.rate = info.rate, .complex = complex, .center_hz = center, .full_scale = 32768.0});
        const auto width = static_cast<std::size_t>(info.channels);
        std::vector<double> frames(8192 * width);
        std::vector<float> buffer(8192 * width);
        while (const std::size_t n = source->read(frames.data(), 8192)) {
            for (std::size_t i = 0; i < n * width; ++i)
                buffer[i] = static_cast<float>(frames[i]); // finite, within +-32768
            scanner.feed(buffer.data(), n, found);
        }
        scanner.finish(found);
        order(found);
    }
    return tuples(found);
}

py::array_t<int16_t> send(double freq, double rate, double lead, double tail) {
    std::vector<int16_t> x;
    {
        py::gil_scoped_release unlocked;
        x = rsid::send_int16({freq, rate, lead, tail});
    }
    py::array_t<int16_t> out(static_cast<py::ssize_t>(x.size()));
    if (!x.empty())
        std::memcpy(out.mutable_data(), x.data(), x.size() * sizeof(int16_t));
    return out;
}

} // namespace

PYBIND11_MODULE(_rsid, m) {
    m.doc() = "Native part of the rsid module; use the rsid package, not this.";
    m.attr("__version__") = RSID_VERSION;
    py::register_exception<rsid_tool::input_error>(m, "InputError", PyExc_OSError);

    m.def("detect", &detect, py::arg("x"), py::arg("rate"), py::arg("channel"),
          "detect(x, rate, channel) -> list of tuples");
    m.def("detect_file", &detect_file, py::arg("path"), py::arg("channel"),
          "detect_file(path, channel) -> list of tuples");
    m.def("send", &send, py::arg("freq"), py::arg("rate"), py::arg("lead"), py::arg("tail"),
          "send(freq, rate, lead, tail) -> numpy.ndarray of int16");
    m.def("scan", &scan, py::arg("x"), py::arg("rate"), py::arg("center"), py::arg("iq"),
          "scan(x, rate, center, iq) -> list of tuples");
    m.def("scan_file", &scan_file, py::arg("path"), py::arg("center"), py::arg("iq"),
          "scan_file(path, center, iq) -> list of tuples");
    py::class_<stream>(m, "Stream")
        .def(py::init<double, std::optional<int>>(), py::arg("rate"), py::arg("channel"))
        .def("feed", &stream::feed, py::arg("chunk"))
        .def("finish", &stream::finish)
        .def_property_readonly("rate", &stream::rate)
        .def_property_readonly("frames", &stream::frames);
    py::class_<band_stream>(m, "BandStream")
        .def(py::init<double, double, bool>(), py::arg("rate"), py::arg("center"),
             py::arg("complex"))
        .def("feed", &band_stream::feed, py::arg("chunk"))
        .def("finish", &band_stream::finish)
        .def_property_readonly("rate", &band_stream::rate)
        .def_property_readonly("center", &band_stream::center)
        .def_property_readonly("complex", &band_stream::complex)
        .def_property_readonly("frames", &band_stream::frames);
}
