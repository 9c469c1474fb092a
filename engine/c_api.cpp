// c_api.cpp - rsid_engine.h over the engine's classes: argument checks, sample formats, a queue
// of reports per handle, and no exception past the boundary.
//
// Samples go through a fixed buffer of the handle in chunks, so a feed of any length allocates
// nothing once the handle exists (the engine gives the same reports for any chunk size).
#include "rsid_engine.h"

#include "resampler.h"
#include "scanner.h"
#include "send.h"
#include "stream.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#ifndef RSID_ENGINE_VERSION
#error "RSID_ENGINE_VERSION is set by CMake from project()"
#endif

namespace {

constexpr std::size_t chunk = 4096; // samples or frames converted per step

// The limits the engine's constructors enforce, checked here first so that a refusal is an
// error code, not an exception that happens to carry the same meaning.
constexpr double min_detector_rate = 1000.0, max_detector_rate = 1536000.0;
constexpr double min_scanner_rate = 6000.0, max_scanner_rate = 20e6;
constexpr float max_float_sample = 1e6f; // cf32 beyond this is clamped, as the tool does

bool in(double x, double lo, double hi) { return x >= lo && x <= hi; } // false for NaN

// Runs f, turning whatever it throws into an error code.
template <class F> int guarded(F&& f) noexcept {
    try {
        f();
        return RSID_OK;
    } catch (const std::bad_alloc&) {
        return RSID_ENOMEM;
    } catch (const std::invalid_argument&) {
        return RSID_ERANGE;
    } catch (...) {
        return RSID_EFAILED;
    }
}

// Reports waiting to be read, oldest first.
struct report_queue {
    std::vector<rsid::detection> items;
    std::size_t head = 0;

    std::size_t pending() const { return items.size() - head; }
    std::size_t pop(rsid_detection* out, std::size_t max, int32_t channel) {
        const std::size_t n = std::min(max, pending());
        for (std::size_t i = 0; i < n; ++i) {
            const rsid::detection& d = items[head + i];
            out[i] = rsid_detection{d.code,   channel,  d.freq_hz, d.offset_hz,
                                    d.sample, d.time_s, d.snr_db,  d.level_dbfs};
        }
        head += n;
        if (head == items.size()) { // keeps its capacity: no allocation in steady state
            items.clear();
            head = 0;
        }
        return n;
    }
};

// What rsid_detector_options asks for, checked. A struct of the first version (up to channel)
// gets the default rule; later fields are read only when the caller's size reaches them.
struct asked {
    int32_t channel = 0;
    rsid::detector_options rule = rsid::default_detector_options();
};

int read_options(const rsid_detector_options* o, asked& a) {
    constexpr std::size_t first_size = offsetof(rsid_detector_options, channel) + sizeof(int32_t);
    if (o == nullptr)
        return RSID_OK;
    if (o->size < first_size || o->channel < 0)
        return RSID_EINVAL;
    a.channel = o->channel;
    if (o->size < offsetof(rsid_detector_options, code_count) + sizeof(std::size_t))
        return RSID_OK;
    if (o->codes == nullptr && o->code_count != 0)
        return RSID_EINVAL;
    switch (o->rule) {
    case RSID_RULE_DEFAULT:
        if (o->all_codes == 0 && o->code_count == 0)
            return RSID_OK;
        a.rule.exact = false; // codes are the soft rule's
        break;
    case RSID_RULE_EXACT:
        if (o->all_codes != 0 || o->code_count != 0)
            return RSID_EINVAL;
        a.rule.exact = true;
        return RSID_OK;
    case RSID_RULE_SOFT:
        a.rule.exact = false;
        break;
    default:
        return RSID_EINVAL;
    }
    a.rule.all_codes = o->all_codes != 0;
    if (o->code_count != 0) {
        if (o->code_count > 4096)
            return RSID_ERANGE;
        a.rule.codes.assign(o->codes, o->codes + o->code_count);
    }
    const bool outside = std::any_of(a.rule.codes.begin(), a.rule.codes.end(),
                                     [](int c) { return c < 0 || c > 4095; });
    return outside ? RSID_ERANGE : RSID_OK;
}

// read_options, with a failure to copy the code list (std::bad_alloc) as its code.
int read_options_guarded(const rsid_detector_options* o, asked& a) {
    int checked = RSID_OK;
    const int rc = guarded([&] { checked = read_options(o, a); });
    return rc != RSID_OK ? rc : checked;
}

} // namespace

struct rsid_detector {
    rsid::stream_detector stream;
    int32_t channel;
    std::vector<double> wide = std::vector<double>(chunk);
    report_queue queue;

    rsid_detector(double rate, int32_t ch, const rsid::detector_options& rule)
        : stream(rate, 1.0, rule), channel(ch) {}

    // Feeds count samples, each converted by to_unit to the +-1 scale.
    template <class T, class C> int feed(const T* samples, std::size_t count, C to_unit) {
        if (count == 0)
            return RSID_OK;
        if (samples == nullptr || count > SIZE_MAX / sizeof(T))
            return RSID_EINVAL;
        return guarded([&] {
            for (std::size_t at = 0; at < count; at += chunk) {
                const std::size_t n = std::min(chunk, count - at);
                for (std::size_t i = 0; i < n; ++i)
                    wide[i] = to_unit(samples[at + i]);
                stream.feed(wide.data(), n, queue.items);
            }
        });
    }
};

struct rsid_scanner {
    std::unique_ptr<rsid::band_scanner> scan;
    int format;
    std::size_t per_frame;      // floats per frame: 2 for I/Q, 1 for real audio
    std::size_t frame_bytes;    // bytes of one input frame
    std::vector<float> samples; // a chunk of frames as floats, full scale 1
    report_queue queue;
    int32_t channel = 0; // written into every report

    // A chunk of input frames as floats on the band scanner's scale, as the tool reads them.
    void decode(const unsigned char* in, std::size_t frames) {
        const std::size_t count = frames * per_frame;
        float* out = samples.data();
        switch (format) {
        case RSID_CF32:
        case RSID_F32:
            std::memcpy(out, in, count * sizeof(float));
            for (std::size_t i = 0; i < count; ++i)
                out[i] = std::isfinite(out[i])
                             ? std::clamp(out[i], -max_float_sample, max_float_sample)
                             : 0.0f;
            break;
        case RSID_CS16:
            for (std::size_t i = 0; i < count; ++i) {
                int16_t v;
                std::memcpy(&v, in + 2 * i, sizeof(v));
                out[i] = static_cast<float>(v) / 32768.0f;
            }
            break;
        case RSID_CU8:
            for (std::size_t i = 0; i < count; ++i)
                out[i] = (static_cast<float>(in[i]) - 127.5f) / 128.0f; // offset binary
            break;
        case RSID_CS8:
            for (std::size_t i = 0; i < count; ++i)
                out[i] = static_cast<float>(static_cast<int8_t>(in[i])) / 128.0f;
            break;
        default:
            break;
        }
    }
};

extern "C" {

const char* rsid_engine_version(void) { return RSID_ENGINE_VERSION; }

const char* rsid_engine_strerror(int error) {
    switch (error) {
    case RSID_OK:
        return "success";
    case RSID_EINVAL:
        return "invalid argument (a NULL handle or pointer, an unknown format or size, or a "
               "count too large)";
    case RSID_ERANGE:
        return "value out of range (a rate or frequency outside what is supported, NaN or Inf)";
    case RSID_ENOMEM:
        return "out of memory";
    case RSID_EFAILED:
        return "internal failure";
    default:
        return "unknown error";
    }
}

int rsid_detector_new(rsid_detector** out, double rate) {
    return rsid_detector_new_with(out, rate, nullptr);
}

int rsid_detector_new_with(rsid_detector** out, double rate, const rsid_detector_options* options) {
    if (out == nullptr)
        return RSID_EINVAL;
    asked a;
    if (const int rc = read_options_guarded(options, a); rc != RSID_OK)
        return rc;
    if (!in(rate, min_detector_rate, max_detector_rate))
        return RSID_ERANGE;
    rsid_detector* d = nullptr;
    const int rc = guarded([&] { d = new rsid_detector(rate, a.channel, a.rule); });
    if (rc == RSID_OK)
        *out = d;
    return rc;
}

int rsid_detector_feed_f32(rsid_detector* d, const float* samples, size_t count) {
    if (d == nullptr)
        return RSID_EINVAL;
    return d->feed(samples, count, [](float v) { return static_cast<double>(v); });
}

int rsid_detector_feed_i16(rsid_detector* d, const int16_t* samples, size_t count) {
    if (d == nullptr)
        return RSID_EINVAL;
    // Exact: the detector scales back by 32768, a power of two.
    return d->feed(samples, count, [](int16_t v) { return static_cast<double>(v) / 32768.0; });
}

int rsid_detector_finish(rsid_detector* d) {
    if (d == nullptr)
        return RSID_EINVAL;
    return guarded([&] { d->stream.finish(d->queue.items); });
}

size_t rsid_detector_read(rsid_detector* d, rsid_detection* out, size_t max) {
    if (d == nullptr || out == nullptr)
        return 0;
    return d->queue.pop(out, max, d->channel);
}

size_t rsid_detector_pending(const rsid_detector* d) {
    return d == nullptr ? 0 : d->queue.pending();
}

uint64_t rsid_detector_samples(const rsid_detector* d) {
    return d == nullptr ? 0 : d->stream.samples();
}

void rsid_detector_free(rsid_detector* d) { delete d; }

int rsid_scanner_new(rsid_scanner** out, double rate, double center_hz, int format) {
    return rsid_scanner_new_with(out, rate, center_hz, format, nullptr);
}

int rsid_scanner_new_with(rsid_scanner** out, double rate, double center_hz, int format,
                          const rsid_detector_options* options) {
    if (out == nullptr)
        return RSID_EINVAL;
    asked a;
    if (const int rc = read_options_guarded(options, a); rc != RSID_OK)
        return rc;
    std::size_t per_frame = 2, sample_bytes = 0;
    switch (format) {
    case RSID_CF32:
        sample_bytes = 4;
        break;
    case RSID_CS16:
        sample_bytes = 2;
        break;
    case RSID_CU8:
    case RSID_CS8:
        sample_bytes = 1;
        break;
    case RSID_F32:
        sample_bytes = 4;
        per_frame = 1;
        break;
    default:
        return RSID_EINVAL;
    }
    if (!in(rate, min_scanner_rate, max_scanner_rate) || !std::isfinite(center_hz))
        return RSID_ERANGE;
    rsid_scanner* s = nullptr;
    const int rc = guarded([&] {
        auto made = std::make_unique<rsid_scanner>();
        made->scan = std::make_unique<rsid::band_scanner>(
            rsid::scan_options{rate, format != RSID_F32, center_hz, 1.0}, a.rule);
        made->channel = a.channel;
        made->format = format;
        made->per_frame = per_frame;
        made->frame_bytes = per_frame * sample_bytes;
        made->samples.resize(chunk * per_frame);
        s = made.release();
    });
    if (rc == RSID_OK)
        *out = s;
    return rc;
}

int rsid_scanner_feed(rsid_scanner* s, const void* frames, size_t count) {
    if (s == nullptr)
        return RSID_EINVAL;
    if (count == 0)
        return RSID_OK;
    if (frames == nullptr || count > SIZE_MAX / s->frame_bytes)
        return RSID_EINVAL;
    const auto* bytes = static_cast<const unsigned char*>(frames);
    return guarded([&] {
        for (std::size_t at = 0; at < count; at += chunk) {
            const std::size_t n = std::min(chunk, count - at);
            s->decode(bytes + at * s->frame_bytes, n);
            s->scan->feed(s->samples.data(), n, s->queue.items);
        }
    });
}

int rsid_scanner_finish(rsid_scanner* s) {
    if (s == nullptr)
        return RSID_EINVAL;
    return guarded([&] { s->scan->finish(s->queue.items); });
}

size_t rsid_scanner_read(rsid_scanner* s, rsid_detection* out, size_t max) {
    if (s == nullptr || out == nullptr)
        return 0;
    return s->queue.pop(out, max, s->channel);
}

size_t rsid_scanner_pending(const rsid_scanner* s) { return s == nullptr ? 0 : s->queue.pending(); }

void rsid_scanner_free(rsid_scanner* s) { delete s; }

size_t rsid_send_i16(double freq_hz, double rate, int16_t* out, size_t capacity) {
    try {
        rsid::send_request request;
        request.freq_hz = freq_hz;
        request.rate = rate;
        rsid::check_send(request);
        const std::vector<int16_t> samples = rsid::send_int16(request);
        if (out != nullptr)
            std::copy_n(samples.begin(), std::min(capacity, samples.size()), out);
        return samples.size();
    } catch (...) {
        return 0;
    }
}

} // extern "C"
