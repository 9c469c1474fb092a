// engine_api_fuzz.cpp - drives the engine's C API with arbitrary call sequences and arguments.
//
// Each input is a program over a few detector and scanner handles: create with any rate,
// centre and format (NaN, infinities, zero, huge, unknown formats), feed any samples (NaN,
// infinities, denormals, full-scale square waves) in any counts, finish, read into buffers of
// exactly the length asked for, free in any order, and make the identifier at any rate into a
// buffer of any capacity. Every buffer is a heap block of exactly its length, so
// AddressSanitizer catches a read or write one element past it. Besides "no crash, no leak, no
// sanitizer report" the harness checks what the header promises of every result, and traps
// when one is broken: statuses are 0 or negative, a refused call leaves its handle usable, a
// read never returns more than asked for, and every report is finite with a valid code.
//
// Samples are the cost (the rate converter and the spectra): an input feeds at most 60000
// frames in all, enough for an identifier at 12000/s to be heard. A scanner wider than 100000
// frames/s is made and freed but not fed: its transforms alone take seconds under the
// sanitizers, which would leave the fuzzer a few inputs a second.
#include "fuzz_support.h"
#include "rsid_engine.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace {

using fuzz::exact;
using fuzz::require;

double any_double(FuzzedDataProvider& in) {
    static constexpr double special[] = {0.0,
                                         -0.0,
                                         std::numeric_limits<double>::quiet_NaN(),
                                         std::numeric_limits<double>::infinity(),
                                         -std::numeric_limits<double>::infinity(),
                                         std::numeric_limits<double>::max(),
                                         std::numeric_limits<double>::lowest(),
                                         std::numeric_limits<double>::denorm_min(),
                                         1e12,
                                         -1e12,
                                         1e300,
                                         1.0,
                                         5999.0,
                                         6000.0,
                                         8000.0,
                                         44100.0,
                                         48000.0,
                                         192000.0,
                                         2.4e6,
                                         2e7,
                                         1500.0,
                                         100e6};
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
        return fuzz::pick(in, special);
    case 1:
        return fuzz::any_bits(in);
    default:
        return in.ConsumeFloatingPointInRange(-1e6, 3e6);
    }
}

float any_sample(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0:
        return std::numeric_limits<float>::quiet_NaN();
    case 1:
        return in.ConsumeBool() ? std::numeric_limits<float>::infinity()
                                : -std::numeric_limits<float>::infinity();
    case 2:
        return in.ConsumeBool() ? std::numeric_limits<float>::max()
                                : std::numeric_limits<float>::denorm_min();
    default:
        return in.ConsumeFloatingPointInRange(-1.0f, 1.0f);
    }
}

// What a reader may rely on in every report.
void check(const rsid_detection& d) {
    require(d.code >= 0 && d.code <= 4095);
    require(d.channel >= 0);
    require(std::isfinite(d.freq_hz) && std::isfinite(d.offset_hz));
    require(std::isfinite(d.time_s) && d.time_s >= 0.0 && d.sample >= 0);
    require(std::isfinite(d.snr_db) && std::isfinite(d.level_dbfs));
}

// Bytes per frame of each scanner format, and of the detector's two sample types.
std::size_t frame_bytes(int format) {
    switch (format) {
    case RSID_CF32:
        return 8;
    case RSID_CS16:
        return 4;
    case RSID_CU8:
    case RSID_CS8:
        return 2;
    case RSID_F32:
        return 4;
    default:
        return 1; // an unknown format: its scanner is refused, the bytes never read
    }
}

// A frame's worth of samples in the scanner's format: a tone, noise or hostile values.
std::vector<unsigned char> frames_for(FuzzedDataProvider& in, int format, std::size_t count) {
    std::vector<unsigned char> bytes(count * frame_bytes(format));
    if (format == RSID_CF32 || format == RSID_F32) {
        for (std::size_t i = 0; i * 4 < bytes.size(); ++i) {
            const float v = in.remaining_bytes() > 0
                                ? any_sample(in)
                                : static_cast<float>(0.5 * std::sin(0.3 * static_cast<double>(i)));
            std::memcpy(bytes.data() + 4 * i, &v, 4);
        }
    } else {
        const std::vector<unsigned char> given = in.ConsumeBytes<unsigned char>(bytes.size());
        if (!given.empty())
            std::memcpy(bytes.data(), given.data(), given.size());
    }
    return bytes;
}

constexpr std::size_t frame_budget = 60000;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    std::array<rsid_detector*, 2> detectors{};
    std::array<rsid_scanner*, 2> scanners{};
    std::array<int, 2> formats{}; // each scanner's format, for buffers of exactly its frames
    std::array<bool, 2> wide{};   // each scanner too wide to feed here
    std::size_t budget = frame_budget;
    require(rsid_engine_version() != nullptr);

    while (in.remaining_bytes() > 0) {
        const std::size_t h = in.ConsumeIntegralInRange<std::size_t>(0, 1);
        const std::size_t count = std::min<std::size_t>(
            budget, in.ConsumeBool() ? in.ConsumeIntegralInRange<std::size_t>(0, 64)
                                     : in.ConsumeIntegralInRange<std::size_t>(0, 50000));
        switch (in.ConsumeIntegralInRange(0, 12)) {
        case 0: { // a new detector, over the old one (freed first) or refused
            rsid_detector_free(detectors[h]);
            detectors[h] = nullptr;
            const int r = rsid_detector_new(&detectors[h], any_double(in));
            require(r <= 0);
            require((r == 0) == (detectors[h] != nullptr));
            break;
        }
        case 1: {
            auto samples = exact<float>(count);
            for (std::size_t i = 0; i < count; ++i)
                samples[i] = in.remaining_bytes() > 0
                                 ? any_sample(in)
                                 : static_cast<float>(std::sin(0.2 * static_cast<double>(i)));
            const int r = rsid_detector_feed_f32(detectors[h], samples.get(), count);
            require(r <= 0 && (detectors[h] != nullptr || r < 0));
            budget -= count;
            break;
        }
        case 2: {
            auto samples = exact<int16_t>(count);
            for (std::size_t i = 0; i < count; ++i)
                samples[i] = in.ConsumeIntegral<int16_t>();
            const int r = rsid_detector_feed_i16(detectors[h], samples.get(), count);
            require(r <= 0 && (detectors[h] != nullptr || r < 0));
            budget -= count;
            break;
        }
        case 3:
            require(rsid_detector_finish(detectors[h]) <= 0);
            break;
        case 4: {
            const std::size_t max = in.ConsumeIntegralInRange<std::size_t>(0, 4);
            auto out = exact<rsid_detection>(max);
            const std::size_t n =
                rsid_detector_read(detectors[h], max == 0 ? nullptr : out.get(), max);
            require(n <= max);
            for (std::size_t i = 0; i < n; ++i)
                check(out[i]);
            break;
        }
        case 5: {
            rsid_scanner_free(scanners[h]);
            scanners[h] = nullptr;
            const double rate = any_double(in);
            const double center = any_double(in);
            const int format = in.ConsumeIntegralInRange(-1, 6);
            const int r = rsid_scanner_new(&scanners[h], rate, center, format);
            formats[h] = format;
            wide[h] = !(rate <= 100000.0);
            require(r <= 0);
            require((r == 0) == (scanners[h] != nullptr));
            break;
        }
        case 6: {
            if (wide[h])
                break;
            const std::size_t n = std::min<std::size_t>(count, 20000);
            std::vector<unsigned char> bytes = frames_for(in, formats[h], n);
            const int r = rsid_scanner_feed(scanners[h], bytes.empty() ? nullptr : bytes.data(), n);
            require(r <= 0 && (scanners[h] != nullptr || r < 0));
            budget -= n;
            break;
        }
        case 7:
            if (!wide[h])
                require(rsid_scanner_finish(scanners[h]) <= 0);
            break;
        case 8: {
            const std::size_t max = in.ConsumeIntegralInRange<std::size_t>(0, 4);
            auto out = exact<rsid_detection>(max);
            const std::size_t n =
                rsid_scanner_read(scanners[h], max == 0 ? nullptr : out.get(), max);
            require(n <= max);
            for (std::size_t i = 0; i < n; ++i)
                check(out[i]);
            break;
        }
        case 9: { // the identifier: its length first, then into a buffer of any capacity
            const double freq = any_double(in);
            double rate = any_double(in);
            if (rate > 200000.0 && rate <= 1e9) // valid but seconds of work under the sanitizers
                rate = 192000.0;
            const std::size_t need = rsid_send_i16(freq, rate, nullptr, 0);
            const std::size_t capacity = std::min<std::size_t>(
                {need, budget, in.ConsumeIntegralInRange<std::size_t>(0, 100000)});
            auto out = exact<int16_t>(capacity);
            require(rsid_send_i16(freq, rate, capacity == 0 ? nullptr : out.get(), capacity) ==
                    need);
            budget -= capacity;
            break;
        }
        case 10:
            require(rsid_engine_strerror(in.ConsumeIntegral<int>()) != nullptr);
            break;
        case 11: // a refused call leaves the handle as it was: null handles and null buffers
            require(rsid_detector_feed_f32(nullptr, nullptr, count) < 0);
            require(rsid_detector_new(nullptr, 48000.0) < 0);
            require(rsid_scanner_new(nullptr, 48000.0, 0.0, RSID_CF32) < 0);
            if (detectors[h] && count > 0)
                require(rsid_detector_feed_i16(detectors[h], nullptr, count) < 0);
            break;
        default:
            rsid_detector_free(detectors[h]);
            detectors[h] = nullptr;
            rsid_scanner_free(scanners[h]);
            scanners[h] = nullptr;
            break;
        }
    }
    for (rsid_detector* d : detectors)
        rsid_detector_free(d);
    for (rsid_scanner* s : scanners)
        rsid_scanner_free(s);
    return 0;
}
