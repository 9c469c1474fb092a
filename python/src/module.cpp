// module.cpp - rsid._rsid, the native half of the Python module: numpy arrays in, detections
// out, over the engine (stream detectors, the identifier at any rate) and the tool's file
// readers.
//
// Every entry point works the same way: with the GIL held, check the arguments and copy the
// samples out of the caller's array into a buffer of their own type (arguments.h, shared with
// the fuzz harness); then release the GIL for the engine's work, so that Python threads run
// detectors and band scanners on several cores at once. Detections go back as plain tuples
// (time_s, sample, freq_hz, offset_hz, snr_db, level_dbfs, code, channel, rate);
// rsid/__init__.py makes them Detection values.
#include "arguments.h"
#include "input/audio_input.h"
#include "send.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace py = pybind11;

namespace {

using namespace rsid_python;

array_shape shape_of(const py::array& x) {
    array_shape s;
    s.kind = x.dtype().kind();
    s.itemsize = static_cast<std::size_t>(x.dtype().itemsize());
    s.dtype = py::str(x.dtype());
    for (py::ssize_t i = 0; i < x.ndim(); ++i)
        s.dims.push_back(static_cast<std::size_t>(x.shape(i)));
    return s;
}

// The checked samples copied out of the array. forcecast to the native byte order and C order
// copies only when the layout differs.
template <typename T> void copy_out(audio& a, const py::array& x) {
    const auto c = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(x);
    if (!c)
        throw py::error_already_set();
    a.copy_from(c.data());
}

void take_samples(audio& a, const py::array& x) {
    switch (a.type) {
    case sample_type::int16:
        return copy_out<int16_t>(a, x);
    case sample_type::int32:
        return copy_out<int32_t>(a, x);
    case sample_type::float32:
        return copy_out<float>(a, x);
    case sample_type::float64:
        return copy_out<double>(a, x);
    case sample_type::complex64:
        return copy_out<std::complex<float>>(a, x);
    case sample_type::complex128:
        return copy_out<std::complex<double>>(a, x);
    }
}

// Checks and copies an array-like of audio samples; `what` names it in messages.
audio take_audio(const py::handle& obj, const char* what) {
    const py::array x = py::module_::import("numpy").attr("asarray")(obj);
    audio a = check_audio(shape_of(x), what);
    take_samples(a, x);
    return a;
}

// Checks and copies the samples of a band (check_band() says which).
audio take_band(const py::handle& obj, const char* what, std::optional<bool> iq, const char* flag) {
    const py::array x = py::module_::import("numpy").attr("asarray")(obj);
    audio a = check_band(shape_of(x), what, iq, flag);
    take_samples(a, x);
    return a;
}

// A path (str, bytes or os.PathLike) as the file name the readers open.
std::string file_name(const py::handle& path) {
    const std::string name = py::str(py::module_::import("os").attr("fsdecode")(path));
    check_path(name);
    return name;
}

// Ctrl-C during a call that runs without the GIL: Python's handler runs only when asked, with
// the GIL. Asked while a FIFO keeps a reader waiting and between blocks of a file; once it has
// raised KeyboardInterrupt (held until rethrow()), the call ends with it.
class interruption {
  public:
    bool operator()() {
        if (!raised_) {
            const py::gil_scoped_acquire hold;
            raised_ = PyErr_CheckSignals() != 0;
        }
        return raised_;
    }
    // With the GIL: throws the pending KeyboardInterrupt, if any.
    void rethrow() const {
        if (raised_)
            throw py::error_already_set();
    }

  private:
    bool raised_ = false;
};

py::list tuples(const std::vector<rsid::detection>& found) {
    py::list out;
    for (const rsid::detection& d : found)
        out.append(py::make_tuple(d.time_s, d.sample, d.freq_hz, d.offset_hz, d.snr_db,
                                  d.level_dbfs, d.code, d.channel, d.rate));
    return out;
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
            throw std::invalid_argument("channel counts from 1, not " + std::to_string(*channel));
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
                type_ = a.name;
                for (std::size_t k = 0; k < channels_.size(); ++k)
                    detectors_.emplace_back(rate_, full_scale_);
            } else if (a.two_d != two_d_ || a.channels != width_) {
                throw std::invalid_argument("this stream takes " + layout(two_d_, width_) +
                                            "; the chunk has " + layout(a.two_d, a.channels) +
                                            " (finish() ends the stream)");
            } else if (a.full_scale != full_scale_) {
                throw wrong_type(std::string("this stream takes ") + type_ +
                                 " samples (its full scale); the chunk holds " + a.name +
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
    const std::string name = file_name(path);
    std::vector<rsid::detection> found;
    interruption interrupted;
    try {
        py::gil_scoped_release unlocked;
        const auto source = rsid_tool::open_sound_file(name, std::ref(interrupted));
        const rsid_tool::source_info& info = source->info();
        const auto width = static_cast<std::size_t>(info.channels);
        std::vector<std::size_t> channels;
        if (channel) {
            if (*channel < 1 || static_cast<std::size_t>(*channel) > width)
                throw std::invalid_argument("no channel " + std::to_string(*channel) + " in " +
                                            name + ": it has " + std::to_string(width) +
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
            if (interrupted())
                break;
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
    } catch (const std::exception&) {
        interrupted.rethrow(); // the input ended early because of Ctrl-C: say that instead
        throw;
    }
    interrupted.rethrow();
    return tuples(found);
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
                type_ = a.name;
            } else if (a.full_scale != full_scale_) {
                throw wrong_type(std::string("this stream takes ") + type_ +
                                 " samples (their full scale); the chunk holds " + a.name +
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
    const std::string name = file_name(path);
    const bool complex = iq && *iq;
    std::vector<rsid::detection> found;
    interruption interrupted;
    try {
        py::gil_scoped_release unlocked;
        const auto source = rsid_tool::open_sound_file(name, std::ref(interrupted));
        const rsid_tool::source_info& info = source->info();
        if (info.channels != (complex ? 2 : 1))
            throw std::invalid_argument(name + " has " + std::to_string(info.channels) +
                                        (info.channels == 1 ? " channel" : " channels") +
                                        ": scan_file takes 1 (wide real audio) or, with "
                                        "iq=True, 2 (I and Q)");
        if (!(info.rate >= 6000.0))
            throw std::invalid_argument(name + " has " + std::to_string(std::lround(info.rate)) +
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
            if (interrupted())
                break;
            scanner.feed(buffer.data(), n, found);
        }
        scanner.finish(found);
        order(found);
    } catch (const std::exception&) {
        interrupted.rethrow(); // the input ended early because of Ctrl-C: say that instead
        throw;
    }
    interrupted.rethrow();
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
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const wrong_type& e) {
            PyErr_SetString(PyExc_TypeError, e.what());
        }
    });

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
