// module.cpp - rsid._rsid, the native half of the Python module: numpy arrays in, detections
// out, over the engine (stream detectors, the identifier at any rate) and the tool's file
// readers.
//
// Every entry point works the same way: with the GIL held, check the arguments and copy the
// samples out of the caller's array into a buffer of their own type; then release the GIL for
// the engine's work, so that Python threads run detectors on several cores at once. Detections
// go back as plain tuples (time_s, sample, freq_hz, snr_db, level_dbfs, code, channel, rate);
// rsid/__init__.py makes them Detection values.
#include "audio_input.h"
#include "send.h"
#include "stream.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
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

// Checks and copies an array-like of samples; `what` names it in messages.
audio take_audio(const py::handle& obj, const char* what) {
    const py::array x = py::module_::import("numpy").attr("asarray")(obj);
    const char kind = x.dtype().kind();
    const auto size = x.dtype().itemsize();
    const bool i16 = kind == 'i' && size == 2, i32 = kind == 'i' && size == 4;
    const bool f32 = kind == 'f' && size == 4, f64 = kind == 'f' && size == 8;
    if (!i16 && !i32 && !f32 && !f64)
        throw py::type_error(std::string(what) + " has samples of type " +
                             std::string(py::str(x.dtype())) +
                             "; rsid takes int16, int32 (each on its own full scale), float32 or "
                             "float64 (audio normalised to +-1): convert with .astype()");
    if (x.ndim() != 1 && x.ndim() != 2)
        throw py::value_error(std::string(what) + " must be 1-D (samples) or 2-D (frames x " +
                              "channels), not " + std::to_string(x.ndim()) + "-D");
    audio a;
    a.two_d = x.ndim() == 2;
    a.frames = static_cast<std::size_t>(x.shape(0));
    a.channels = a.two_d ? static_cast<std::size_t>(x.shape(1)) : 1;
    if (a.two_d && a.channels == 0)
        throw py::value_error(std::string(what) + " has no channels (shape " +
                              std::to_string(a.frames) + " x 0)");
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

py::list tuples(const std::vector<rsid::detection>& found) {
    py::list out;
    for (const rsid::detection& d : found)
        out.append(py::make_tuple(d.time_s, d.sample, d.freq_hz, d.snr_db, d.level_dbfs, d.code,
                                  d.channel, d.rate));
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
    py::class_<stream>(m, "Stream")
        .def(py::init<double, std::optional<int>>(), py::arg("rate"), py::arg("channel"))
        .def("feed", &stream::feed, py::arg("chunk"))
        .def("finish", &stream::finish)
        .def_property_readonly("rate", &stream::rate)
        .def_property_readonly("frames", &stream::frames);
}
