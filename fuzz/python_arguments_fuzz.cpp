// python_arguments_fuzz.cpp - the Python module's argument layer (python/src/arguments.h) with
// arbitrary dtypes, shapes, rates, centres, channels, I/Q flags, send requests, file names and
// sample bytes: the same checks and conversions module.cpp runs on what numpy reports, then
// the engine on what they let through.
//
// Input: a 48-byte header, then ndim dimensions (4 bytes each), then the samples.
//   0 entry: detect, Detector (two chunks), scan, Scanner (two chunks), send, file name
//   1 dtype (an index into `dtypes`, which holds refused types too)    2 ndim
//   3 channel: the byte - 3 (0 the mix, -1 every channel, -2 and -3 refused, 1.. one)
//   4 iq / complex: 0 None, 1 False, 2 True
//   8 rate, 16 center (also send's freq), 24 lead, 32 tail: native doubles
//   40 dimensions' multiplier: dimension k is its 4 bytes times 1 + byte 40 + k (so that huge
//      dimensions, which numpy allows for empty arrays, come up)
// As numpy never holds an array larger than its buffer, the first dimension is cut to the
// samples that follow.
//
// Allowed outcomes: the engine runs, or std::invalid_argument (the module's ValueError and
// TypeError). Any other exception, a crash or a sanitizer report is a finding.
#include "arguments.h"
#include "fuzz_support.h"
#include "rsid_signal.h"
#include "send.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using fuzz::require;

using namespace rsid_python;

struct dtype_case {
    char kind;
    std::size_t itemsize;
    const char* name;
};
constexpr dtype_case dtypes[] = {
    {'i', 2, "int16"},     {'i', 4, "int32"},       {'f', 4, "float32"}, {'f', 8, "float64"},
    {'c', 8, "complex64"}, {'c', 16, "complex128"}, {'i', 8, "int64"},   {'u', 1, "uint8"},
    {'b', 1, "bool"},      {'f', 2, "float16"},     {'O', 8, "object"},  {'U', 12, "<U3"},
};
constexpr std::size_t header_bytes = 48;

double double_at(const uint8_t* p) {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Copies the samples and checks that the conversions give what the bytes hold.
void take(audio& a, const uint8_t* samples, std::size_t available) {
    require(a.bytes() <= available);
    a.copy_from(samples);
    if (a.frames == 0)
        return;
    std::vector<double> column(a.frames);
    for (std::size_t c = 0; c < a.channels; ++c)
        a.channel(c, 0, a.frames, column.data());
    a.mix(0, a.frames, column.data());
    std::vector<float> interleaved(a.frames * a.channels);
    a.frames_as_floats(0, a.frames, interleaved.data());
    for (float x : interleaved)
        require(!std::isinf(x)); // beyond float's range is NaN (silence), never infinity
}

void detect(const audio& a, double rate, int channel, std::vector<rsid::detection>& found) {
    const std::vector<int> heard = heard_as(a.channels, channel);
    std::vector<rsid::stream_detector> detectors;
    for (std::size_t k = 0; k < heard.size(); ++k)
        detectors.emplace_back(rate, a.full_scale);
    std::vector<double> buffer;
    run_feed(a, heard, detectors, buffer, found);
    run_finish(heard, detectors, found);
    order(found);
    audio_offsets(found);
}

void scan(const audio& a, double rate, double center, std::vector<rsid::detection>& found) {
    // A wide band's scanner holds hundreds of MB and plans its transforms for seconds: the
    // checks see every rate, the scanner only the rates of audio.
    if (a.frames == 0 || rate > 96000.0)
        return;
    rsid::band_scanner scanner({.rate = rate,
                                .complex = a.channels == 2,
                                .center_hz = center,
                                .full_scale = a.full_scale});
    std::vector<float> buffer;
    run_scan(a, scanner, buffer, found);
    scanner.finish(found);
    order(found);
}

void run(const uint8_t* data, std::size_t size) {
    if (size < header_bytes)
        return;
    const int entry = data[0] % 6;
    const dtype_case& t = dtypes[data[1] % std::size(dtypes)];
    const std::size_t ndim = data[2] % 5;
    const int channel = static_cast<int>(data[3]) - 3; // the mix, every channel, or one
    const std::optional<bool> iq =
        data[4] % 3 == 0 ? std::nullopt : std::optional<bool>(data[4] % 3 == 2);
    const double rate = double_at(data + 8), center = double_at(data + 16);
    const double lead = double_at(data + 24), tail = double_at(data + 32);
    if (size < header_bytes + 4 * ndim)
        return;
    array_shape shape{t.kind, t.itemsize, t.name, {}};
    for (std::size_t k = 0; k < ndim; ++k) {
        uint32_t d;
        std::memcpy(&d, data + header_bytes + 4 * k, sizeof d);
        shape.dims.push_back(std::size_t{d} * (1 + std::size_t{data[40 + k]}));
    }
    const uint8_t* samples = data + header_bytes + 4 * ndim;
    const std::size_t available = size - header_bytes - 4 * ndim;
    if (!shape.dims.empty()) {
        std::size_t rest = t.itemsize; // bytes of one frame
        for (std::size_t k = 1; k < ndim; ++k)
            rest = shape.dims[k] == 0 ? 0 : std::min(rest * shape.dims[k], available + 1);
        if (rest > 0)
            shape.dims[0] = std::min(shape.dims[0], available / rest);
    }

    std::vector<rsid::detection> found;
    switch (entry) {
    case 0: { // detect(x, rate, channel)
        check_rate(rate);
        audio a = check_audio(shape, "x");
        check_whole(a, "x");
        take(a, samples, available);
        detect(a, rate, channel, found);
        break;
    }
    case 1: { // Detector(rate, channel).feed(chunk) twice: the stream's layout holds
        check_rate(rate);
        audio a = check_audio(shape, "chunk");
        take(a, samples, available);
        detect(a, rate, channel, found);
        detect(a, rate, channel, found);
        break;
    }
    case 2:   // scan(x, rate, center, iq)
    case 3: { // Scanner(rate, center, complex).feed(chunk)
        check_scan_rate(rate);
        check_center(center);
        audio a = check_band(shape, "x", entry == 2 ? iq : std::optional<bool>(iq.value_or(true)),
                             entry == 2 ? "iq" : "complex");
        take(a, samples, available);
        scan(a, rate, center, found);
        break;
    }
    case 4: { // send(freq, rate, lead, tail)
        const rsid::send_request r{center, rate, lead, tail};
        rsid::check_send(r);
        // The length is what send.h promises (made for short requests only, for speed).
        namespace sig = rsid_signal;
        const auto at_tx =
            static_cast<double>(std::llround(lead * sig::tx_rate) + sig::sequence_tx_samples +
                                std::llround(tail * sig::tx_rate));
        if (at_tx * std::max<double>(rate, sig::tx_rate) < 2e10) {
            const std::vector<int16_t> x = rsid::send_int16(r);
            require(x.size() ==
                    static_cast<std::size_t>(std::llround(at_tx * rate / sig::tx_rate)));
        }
        break;
    }
    default: // a file name
        check_path(std::string(reinterpret_cast<const char*>(samples), available));
        break;
    }
    for (const rsid::detection& d : found)
        require(std::isfinite(d.time_s) && std::isfinite(d.freq_hz));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    try {
        run(data, size);
    } catch (const std::invalid_argument&) {
        // ValueError or TypeError in Python
    }
    return 0;
}
