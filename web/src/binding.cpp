// binding.cpp - the engine's detector as plain C functions for WebAssembly (web/src/core.js is
// the only caller).
//
// JavaScript owns nothing but handles: a detector keeps its own input buffer in the module's
// memory, the caller writes samples there and calls rsid_web_feed; detections wait in the
// detector, as rows of rsid_web_fields doubles, until the caller reads and clears them.
//
// Input is audio at 6000 samples/s on the +-1 scale of the Web Audio API; it is scaled here to
// the detector's 16-bit scale. Positions are placed in the samples of the host's input rate the
// way the native stream detector places them (engine/stream.cpp), so that a host which converts
// the rate in front of the detector (time-aligned, as web/src/resampler.js is) reports positions
// in its input's own time.
#include "detector.h"
#include "input/reach.h" // io/: header-only constants
#include "rsid_signal.h"

#include <emscripten/emscripten.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#ifdef RSID_WEB_TESTING
#include "rsid_state.h"
#endif

namespace {

constexpr int input_capacity = 16384; // samples per rsid_web_feed call
constexpr int fields = 9;             // doubles per detection row, in the order of row()

struct web_detector {
    rsid::detector detector;
    double rate = rsid_signal::rx_rate; // input rate that positions count in [samples/s]
    std::vector<rsid::detection> found;
    std::vector<double> rows; // found, flattened for JavaScript
    float input[input_capacity] = {};
};

// The stream detector's placement: the start in detector samples, in the input's samples.
void place(const web_detector& w, rsid::detection& d) {
    const double at = std::max(0.0, d.start) * w.rate / rsid_signal::rx_rate;
    d.sample = static_cast<int64_t>(std::llround(at));
    d.rate = w.rate;
    d.time_s = static_cast<double>(d.sample) / w.rate;
}

void flatten(web_detector& w, std::size_t from) {
    for (std::size_t i = from; i < w.found.size(); ++i) {
        rsid::detection& d = w.found[i];
        place(w, d);
        const double row[fields] = {d.time_s,
                                    static_cast<double>(d.sample), // exact below 2^53
                                    d.freq_hz,
                                    d.snr_db,
                                    d.level_dbfs,
                                    static_cast<double>(d.code),
                                    d.start,
                                    static_cast<double>(d.bin),
                                    static_cast<double>(d.distance)};
        w.rows.insert(w.rows.end(), row, row + fields);
    }
}

int held(const web_detector& w) { return static_cast<int>(w.found.size()); }

} // namespace

extern "C" {

// A new detector whose positions count in samples at rate (the host's input rate, samples/s);
// null if rate is not a positive finite number or memory runs out.
EMSCRIPTEN_KEEPALIVE web_detector* rsid_web_create(double rate) {
    if (!(rate > 0.0) || !std::isfinite(rate))
        return nullptr;
    auto* w = new (std::nothrow) web_detector;
    if (w != nullptr)
        w->rate = rate;
    return w;
}

EMSCRIPTEN_KEEPALIVE void rsid_web_destroy(web_detector* w) { delete w; }

// The rule of w's detector, as the tool's --exact and --codes, before its first samples: exact 1
// for the library's rule (code 131), all 1 for every code, or the first count numbers of
// rsid_web_input(w) as the codes looked for with soft decisions; none of them keeps the default.
// 0, or -1 (the detector unchanged) for a code outside 0 to 4095 or codes beside exact.
EMSCRIPTEN_KEEPALIVE int rsid_web_rule(web_detector* w, int exact, int all, int count) {
    if (count < 0 || count > input_capacity || (exact != 0 && (all != 0 || count != 0)))
        return -1;
    rsid::detector_options rule = rsid::default_detector_options();
    if (exact != 0) {
        rule.exact = true;
    } else if (all != 0) {
        rule.exact = false;
        rule.all_codes = true;
    } else if (count != 0) {
        rule.exact = false;
        rule.codes.clear();
        for (int i = 0; i < count; ++i) {
            const float c = w->input[i];
            if (!(c >= 0.0f && c <= 4095.0f) || c != std::floor(c))
                return -1;
            rule.codes.push_back(static_cast<int>(c));
        }
    }
    w->detector = rsid::detector(rule);
    return 0;
}

// Where the caller writes up to rsid_web_capacity() samples before rsid_web_feed.
EMSCRIPTEN_KEEPALIVE float* rsid_web_input(web_detector* w) { return w->input; }
EMSCRIPTEN_KEEPALIVE int rsid_web_capacity(void) { return input_capacity; }
EMSCRIPTEN_KEEPALIVE int rsid_web_fields(void) { return fields; }

// The detector's band, for the host's check of an input rate [Hz]: which 0, the lowest tone 0;
// 1, the top of the band; 2, tone 15 above tone 0; 3, the highest tone 0. From
// io/input/reach.h, as the tool's and the Python module's checks.
EMSCRIPTEN_KEEPALIVE double rsid_web_band(int which) {
    switch (which) {
    case 0:
        return rsid_tool::reach::lowest_hz;
    case 1:
        return rsid_tool::reach::band_top_hz;
    case 3:
        return rsid_tool::reach::highest_hz;
    default:
        return rsid_tool::reach::span_hz;
    }
}

// Takes count samples (6000/s, +-1 scale) from the input buffer; returns the detections held.
EMSCRIPTEN_KEEPALIVE int rsid_web_feed(web_detector* w, int count) {
    count = std::clamp(count, 0, input_capacity);
    for (int i = 0; i < count; ++i)
        w->input[i] *= 32768.0f; // exact: a power of two (the detector's full scale)
    const std::size_t from = w->found.size();
    w->detector.feed(w->input, static_cast<std::size_t>(count), w->found);
    flatten(*w, from);
    return held(*w);
}

// Ends the stream (an identifier in its last samples is still reported) and starts a new one
// at sample 0; returns the detections held.
EMSCRIPTEN_KEEPALIVE int rsid_web_finish(web_detector* w) {
    const std::size_t from = w->found.size();
    w->detector.finish(w->found);
    flatten(*w, from);
    return held(*w);
}

// Input samples taken since the stream began, at 6000/s.
EMSCRIPTEN_KEEPALIVE double rsid_web_samples(const web_detector* w) {
    return static_cast<double>(w->detector.samples());
}

// The held detections: rsid_web_fields doubles each, valid until the next call on w.
EMSCRIPTEN_KEEPALIVE const double* rsid_web_rows(const web_detector* w) { return w->rows.data(); }

EMSCRIPTEN_KEEPALIVE void rsid_web_clear(web_detector* w) {
    w->found.clear();
    w->rows.clear();
}

#ifdef RSID_WEB_TESTING
// The test build also exposes the spectrum, so that its magnitudes can be compared with the
// native build's bit for bit: the caller writes 1114 samples to rsid_web_frame(), calls
// rsid_web_spectrum, and reads 334 magnitudes from rsid_web_magnitudes().
namespace {
double test_frame[rsid_signal::frame];
int32_t test_magnitudes[rsid_signal::bins];
} // namespace

EMSCRIPTEN_KEEPALIVE double* rsid_web_frame(void) { return test_frame; }
EMSCRIPTEN_KEEPALIVE int32_t* rsid_web_magnitudes(void) { return test_magnitudes; }
EMSCRIPTEN_KEEPALIVE void rsid_web_spectrum(void) {
    rsid_spectrum(&rsid_shared_tables(), test_frame, test_magnitudes);
}
#endif

} // extern "C"
