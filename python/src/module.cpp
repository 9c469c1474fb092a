// module.cpp - rsid._rsid, the native half of the Python module: numpy arrays in, detections
// out, over the engine (stream detectors, the identifier at any rate) and io/: the file
// readers, and the record writer that `rsid detect --json` prints with.
//
// Every entry point works the same way: with the GIL held, check the arguments and take the
// samples in place from the caller's array, in their own type (arguments.h, shared with the
// fuzz harness), so that no input is copied whatever its size; then release the GIL for the
// engine's work, so that Python threads run detectors and band scanners on several cores at once.
// Detections go back as plain tuples (time_s, sample, freq_hz, offset_hz, snr_db, level_dbfs, code,
// channel, rate); rsid/__init__.py makes them Detection values.
#include "arguments.h"
#include "input/audio_input.h"
#include "input/reach.h"
#include "records/report.h"
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

// Checked samples, read in place from the array: forcecast to the native byte order and C
// order copies only when the caller's layout differs. `keep` holds the memory while `a` is used.
struct samples {
    py::array keep;
    audio a;
};

// The conversion keeps numpy's error (MemoryError for a copy that does not fit), which
// array_t::ensure() would clear.
template <typename T> py::array in_place(audio& a, const py::array& x) {
    const py::array_t<T, py::array::c_style | py::array::forcecast> c(x);
    a.view(c.data());
    return c;
}

py::array take_samples(audio& a, const py::array& x) {
    switch (a.type) {
    case sample_type::int16:
        return in_place<int16_t>(a, x);
    case sample_type::int32:
        return in_place<int32_t>(a, x);
    case sample_type::float32:
        return in_place<float>(a, x);
    case sample_type::float64:
        return in_place<double>(a, x);
    case sample_type::complex64:
        return in_place<std::complex<float>>(a, x);
    case sample_type::complex128:
        return in_place<std::complex<double>>(a, x);
    }
    return x;
}

// Checks an array-like of audio samples; `what` names it in messages.
samples take_audio(const py::handle& obj, const char* what) {
    const py::array x = py::module_::import("numpy").attr("asarray")(obj);
    samples s{x, check_audio(shape_of(x), what)};
    s.keep = take_samples(s.a, x);
    return s;
}

// Checks the samples of a band (check_band() says which).
samples take_band(const py::handle& obj, const char* what, std::optional<bool> iq,
                  const char* flag) {
    const py::array x = py::module_::import("numpy").attr("asarray")(obj);
    samples s{x, check_band(shape_of(x), what, iq, flag)};
    s.keep = take_samples(s.a, x);
    return s;
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

py::list detect(const py::handle& x, double rate, int channel, const rsid::detector_options& rule) {
    check_rate(rate);
    const samples in = take_audio(x, "x");
    check_whole(in.a, "x");
    const std::vector<int> heard = heard_as(in.a.channels, channel);
    std::vector<rsid::detection> found;
    {
        py::gil_scoped_release unlocked;
        std::vector<rsid::stream_detector> detectors;
        for (std::size_t k = 0; k < heard.size(); ++k)
            detectors.emplace_back(rate, in.a.full_scale, rule);
        std::vector<double> buffer;
        run_feed(in.a, heard, detectors, buffer, found);
        run_finish(heard, detectors, found);
        order(found);
        audio_offsets(found);
    }
    return tuples(found);
}

// A stream over many calls. The first chunk with samples fixes the layout (1-D or the number of
// channels) and the scale (int16, int32 or float) until finish() ends the stream.
class stream {
  public:
    stream(double rate, int channel, rsid::detector_options rule)
        : rate_(rate), channel_(channel), rule_(std::move(rule)) {
        check_rate(rate);
        if (channel < every_channel)
            throw std::invalid_argument("channel counts from 1, not " + std::to_string(channel));
    }

    py::list feed(const py::handle& chunk) {
        const samples in = take_audio(chunk, "chunk");
        const audio& a = in.a;
        std::vector<rsid::detection> found;
        if (a.frames > 0) { // an empty chunk changes nothing, not even the layout
            py::gil_scoped_release unlocked;
            const std::lock_guard<std::mutex> hold(busy_); // one call at a time per stream
            if (detectors_.empty()) {
                heard_ = heard_as(a.channels, channel_);
                two_d_ = a.two_d;
                width_ = a.channels;
                full_scale_ = a.full_scale;
                type_ = a.name;
                for (std::size_t k = 0; k < heard_.size(); ++k)
                    detectors_.emplace_back(rate_, full_scale_, rule_);
            } else if (a.two_d != two_d_ || a.channels != width_) {
                throw std::invalid_argument("this stream takes " + layout(two_d_, width_) +
                                            "; the chunk has " + layout(a.two_d, a.channels) +
                                            " (finish() ends the stream)");
            } else if (a.full_scale != full_scale_) {
                throw wrong_type(std::string("this stream takes ") + type_ +
                                 " samples (its full scale); the chunk holds " + a.name +
                                 " (finish() ends the stream)");
            }
            run_feed(a, heard_, detectors_, buffer_, found);
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
            run_finish(heard_, detectors_, found);
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
    int channel_; // mix_channels, every_channel or 1..n
    rsid::detector_options rule_;
    std::mutex busy_;
    std::vector<int> heard_;
    std::vector<rsid::stream_detector> detectors_; // empty until the stream's first samples
    std::vector<double> buffer_;
    bool two_d_ = false;
    std::size_t width_ = 1;
    double full_scale_ = 1.0;
    const char* type_ = "";
    uint64_t frames_ = 0;
};

// Every frame of a file through detectors that hear `heard`; returns the frames read. The
// readers give every encoding on the 16-bit scale.
uint64_t detect_source(rsid_tool::audio_source& source, const std::vector<int>& heard,
                       const rsid::detector_options& rule, interruption& interrupted,
                       std::vector<rsid::detection>& found) {
    const rsid_tool::source_info& info = source.info();
    std::vector<rsid::stream_detector> detectors;
    for (std::size_t k = 0; k < heard.size(); ++k)
        detectors.emplace_back(info.rate, 32768.0, rule);
    constexpr std::size_t block_frames = 8192;
    audio block;
    block.channels = static_cast<std::size_t>(info.channels);
    std::vector<double> frames(block_frames * block.channels), buffer;
    uint64_t read = 0;
    while (const std::size_t n = source.read(frames.data(), block_frames)) {
        if (interrupted())
            break;
        block.frames = n;
        block.view(frames.data());
        run_feed(block, heard, detectors, buffer, found);
        read += n;
    }
    run_finish(heard, detectors, found);
    order(found);
    audio_offsets(found);
    return read;
}

// The detections of a file and the seconds of audio read.
py::tuple detect_file(const py::handle& path, int channel, const rsid::detector_options& rule) {
    const std::string name = file_name(path);
    std::vector<rsid::detection> found;
    double duration_s = 0.0;
    interruption interrupted;
    try {
        py::gil_scoped_release unlocked;
        const auto source = rsid_tool::open_sound_file(name, std::ref(interrupted));
        const rsid_tool::source_info& info = source->info();
        std::vector<int> heard;
        try {
            heard = heard_as(static_cast<std::size_t>(info.channels), channel);
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument(name + ": " + e.what());
        }
        duration_s = static_cast<double>(detect_source(*source, heard, rule, interrupted, found)) /
                     info.rate;
    } catch (const std::exception&) {
        interrupted.rethrow(); // the input ended early because of Ctrl-C: say that instead
        throw;
    }
    interrupted.rethrow();
    return py::make_tuple(tuples(found), duration_s);
}

py::list scan(const py::handle& x, double rate, double center, std::optional<bool> iq,
              const rsid::detector_options& rule) {
    check_scan_rate(rate);
    check_center(center);
    const samples in = take_band(x, "x", iq, "iq");
    const audio& a = in.a;
    std::vector<rsid::detection> found;
    if (a.frames > 0) { // a wide band's scanner holds hundreds of MB: none for no samples
        py::gil_scoped_release unlocked;
        rsid::band_scanner scanner({.rate = rate,
                                    .complex = a.channels == 2,
                                    .center_hz = center,
                                    .full_scale = a.full_scale},
                                   rule);
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
    band_stream(double rate, double center, bool complex, rsid::detector_options rule)
        : rate_(rate), center_(center), complex_(complex), rule_(std::move(rule)) {
        check_scan_rate(rate);
        check_center(center);
    }

    py::list feed(const py::handle& chunk) {
        const samples in = take_band(chunk, "chunk", complex_, "complex");
        const audio& a = in.a;
        std::vector<rsid::detection> found;
        if (a.frames > 0) { // an empty chunk changes nothing, not even the scale
            py::gil_scoped_release unlocked;
            const std::lock_guard<std::mutex> hold(busy_); // one call at a time per stream
            if (!scanner_) {
                scanner_ = std::make_unique<rsid::band_scanner>(
                    rsid::scan_options{.rate = rate_,
                                       .complex = complex_,
                                       .center_hz = center_,
                                       .full_scale = a.full_scale},
                    rule_);
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
    rsid::detector_options rule_;
    std::mutex busy_;
    std::unique_ptr<rsid::band_scanner> scanner_; // null until the stream's first samples
    std::vector<float> buffer_;
    double full_scale_ = 1.0;
    const char* type_ = "";
    uint64_t frames_ = 0;
};

py::list scan_file(const py::handle& path, double center, std::optional<bool> iq,
                   const rsid::detector_options& rule) {
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
            {.rate = info.rate, .complex = complex, .center_hz = center, .full_scale = 32768.0},
            rule);
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

py::array_t<int16_t> send(double freq, double rate, double lead, double tail, int code) {
    std::vector<int16_t> x;
    {
        py::gil_scoped_release unlocked;
        x = rsid::send_int16({freq, rate, lead, tail, code});
    }
    py::array_t<int16_t> out(static_cast<py::ssize_t>(x.size()));
    if (!x.empty())
        std::memcpy(out.mutable_data(), x.data(), x.size() * sizeof(int16_t));
    return out;
}

// The records `rsid detect --json` and `rsid scan --json` write (records/report.h), for
// rsid.records() and Detection.to_json(). Names come as bytes, exactly as the file system has them.
std::string detection_json(const py::tuple& row, std::optional<double> offset_hz,
                           const std::string& input, const std::string& label) {
    rsid_tool::detection_record r;
    r.input = input;
    r.time_s = row[0].cast<double>();
    r.sample = row[1].cast<int64_t>();
    r.freq_hz = row[2].cast<double>();
    r.offset_hz = offset_hz;
    r.snr_db = row[4].cast<double>();
    r.level_dbfs = row[5].cast<double>();
    r.code = row[6].cast<int>();
    r.channel = row[7].cast<int>();
    r.rate = row[8].cast<double>();
    r.label = label;
    return rsid_tool::json_line(r);
}

std::string end_json(const std::string& input, const std::string& status, int detections,
                     double duration_s, const std::string& error) {
    return rsid_tool::json_line(
        rsid_tool::end_record{input, status, detections, duration_s, error});
}

void define_records(py::module_& m) {
    m.def("detection_json", &detection_json, py::arg("row"), py::arg("offset_hz"), py::arg("input"),
          py::arg("label"),
          "detection_json(row, offset_hz, input, label) -> str, a detection record");
    m.def("end_json", &end_json, py::arg("input"), py::arg("status"), py::arg("detections"),
          py::arg("duration_s"), py::arg("error"),
          "end_json(input, status, detections, duration_s, error) -> str, an end record");
    m.def(
        "rate_warning", [](double rate) { return rsid_tool::reach_at(rate).warning; },
        py::arg("rate"), "rate_warning(rate) -> str, empty when the detector's band fits");
    m.def("tone_warning", &rsid_tool::tone_out_of_reach, py::arg("freq"), py::arg("rate"),
          "tone_warning(freq, rate) -> str, empty when the detector hears tone 0 there");
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

    py::class_<rsid::detector_options>(m, "Rule").def(py::init(&rule_of), py::arg("exact"),
                                                      py::arg("all"), py::arg("codes"));
    m.def("detect", &detect, py::arg("x"), py::arg("rate"), py::arg("channel"), py::arg("rule"),
          "detect(x, rate, channel, rule) -> list of tuples (channel: 0 mix, -1 all, n)");
    m.def("detect_file", &detect_file, py::arg("path"), py::arg("channel"), py::arg("rule"),
          "detect_file(path, channel, rule) -> (list of tuples, seconds read)");
    m.def("send", &send, py::arg("freq"), py::arg("rate"), py::arg("lead"), py::arg("tail"),
          py::arg("code"), "send(freq, rate, lead, tail, code) -> numpy.ndarray of int16");
    m.def("scan", &scan, py::arg("x"), py::arg("rate"), py::arg("center"), py::arg("iq"),
          py::arg("rule"), "scan(x, rate, center, iq, rule) -> list of tuples");
    m.def("scan_file", &scan_file, py::arg("path"), py::arg("center"), py::arg("iq"),
          py::arg("rule"), "scan_file(path, center, iq, rule) -> list of tuples");
    py::class_<stream>(m, "Stream")
        .def(py::init<double, int, rsid::detector_options>(), py::arg("rate"), py::arg("channel"),
             py::arg("rule"))
        .def("feed", &stream::feed, py::arg("chunk"))
        .def("finish", &stream::finish)
        .def_property_readonly("rate", &stream::rate)
        .def_property_readonly("frames", &stream::frames);
    define_records(m);
    py::class_<band_stream>(m, "BandStream")
        .def(py::init<double, double, bool, rsid::detector_options>(), py::arg("rate"),
             py::arg("center"), py::arg("complex"), py::arg("rule"))
        .def("feed", &band_stream::feed, py::arg("chunk"))
        .def("finish", &band_stream::finish)
        .def_property_readonly("rate", &band_stream::rate)
        .def_property_readonly("center", &band_stream::center)
        .def_property_readonly("complex", &band_stream::complex)
        .def_property_readonly("frames", &band_stream::frames);
}
