// capi_test.cpp - librsid-engine.so as a host meets it: bad arguments refused without effect,
// the same reports as the C++ engine and as `rsid detect --json` / `rsid scan --json`, every
// sample format, and detectors on several threads.
#include "rsid_engine.h"
#include "scanner.h"
#include "send.h"
#include "stream.h"
#include "synth.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

using detections = std::vector<rsid_detection>;

detections read_all_detector(rsid_detector* d) {
    detections all;
    rsid_detection buf[2]; // small on purpose: reads must resume where the last one stopped
    for (std::size_t n; (n = rsid_detector_read(d, buf, 2)) > 0;)
        all.insert(all.end(), buf, buf + n);
    return all;
}

detections read_all_scanner(rsid_scanner* s) {
    detections all;
    rsid_detection buf[3];
    for (std::size_t n; (n = rsid_scanner_read(s, buf, 3)) > 0;)
        all.insert(all.end(), buf, buf + n);
    return all;
}

// Through the C API in chunks of the given size, then finished.
template <typename Sample>
detections detect_chunks(const std::vector<Sample>& x, double rate, std::size_t chunk) {
    rsid_detector* d = nullptr;
    EXPECT_EQ(rsid_detector_new(&d, rate), RSID_OK);
    for (std::size_t at = 0; at < x.size(); at += chunk) {
        const std::size_t n = std::min(chunk, x.size() - at);
        if constexpr (std::is_same_v<Sample, float>)
            EXPECT_EQ(rsid_detector_feed_f32(d, x.data() + at, n), 0);
        else
            EXPECT_EQ(rsid_detector_feed_i16(d, x.data() + at, n), 0);
    }
    EXPECT_EQ(rsid_detector_finish(d), RSID_OK);
    detections got = read_all_detector(d);
    rsid_detector_free(d);
    return got;
}

detections detect_f32(const std::vector<float>& x, double rate, std::size_t chunk) {
    return detect_chunks(x, rate, chunk);
}

detections detect_i16(const std::vector<int16_t>& x, double rate, std::size_t chunk) {
    return detect_chunks(x, rate, chunk);
}

void expect_same(const detections& got, const std::vector<rsid::detection>& want,
                 const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].code, want[i].code) << what << " #" << i;
        EXPECT_EQ(got[i].sample, want[i].sample) << what << " #" << i;
        EXPECT_EQ(got[i].freq_hz, want[i].freq_hz) << what << " #" << i;
        EXPECT_EQ(got[i].offset_hz, want[i].offset_hz) << what << " #" << i;
        EXPECT_EQ(got[i].time_s, want[i].time_s) << what << " #" << i;
        EXPECT_EQ(got[i].snr_db, want[i].snr_db) << what << " #" << i;
        EXPECT_EQ(got[i].level_dbfs, want[i].level_dbfs) << what << " #" << i;
    }
}

// Audio with identifiers (start s, tone 0 Hz) in noise, on the +-1 scale, rounded to 16 bits
// so that the float and integer feeds carry the same values.
std::vector<int16_t> audio(double rate, double seconds,
                           const std::vector<std::pair<double, double>>& ids, unsigned seed) {
    std::vector<double> x(static_cast<std::size_t>(rate * seconds));
    const double a = 6000.0;
    for (const auto& [start, hz] : ids)
        synth::add_identifier(x, rate, start, hz, a);
    synth::add_noise(x, rate, a, 6.0, seed);
    std::vector<int16_t> s(x.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        s[i] = static_cast<int16_t>(std::lround(std::clamp(x[i], -32768.0, 32767.0)));
    return s;
}

std::vector<float> to_unit(const std::vector<int16_t>& x) {
    std::vector<float> f(x.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        f[i] = static_cast<float>(x[i]) / 32768.0f;
    return f;
}

// I/Q with identifiers (start s, offset Hz) in noise, interleaved floats, complex full scale 1.
std::vector<float> iq(double rate, double seconds,
                      const std::vector<std::pair<double, double>>& ids, unsigned seed) {
    std::vector<std::complex<double>> x(static_cast<std::size_t>(rate * seconds));
    const double a = 0.1;
    for (const auto& [start, hz] : ids)
        synth::add_identifier_iq(x, rate, start, hz, a);
    synth::add_noise_iq(x, rate, a, 0.0, seed);
    std::vector<float> f(2 * x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        f[2 * i] = static_cast<float>(x[i].real());
        f[2 * i + 1] = static_cast<float>(x[i].imag());
    }
    return f;
}

const std::vector<std::pair<double, double>> several = {
    {0.4, 900.0}, {0.9, 2100.0}, {3.1, 1500.0}}; // two overlapping in time

TEST(EngineCApi, RefusesBadArgumentsAndChangesNothing) {
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    rsid_detector* d = nullptr;
    rsid_scanner* s = nullptr;
    ASSERT_EQ(rsid_detector_new(&d, 16000.0), RSID_OK);
    ASSERT_EQ(rsid_scanner_new(&s, 48000.0, 0.0, RSID_CF32), RSID_OK);
    auto* sentinel_d = reinterpret_cast<rsid_detector*>(&d);
    auto* sentinel_s = reinterpret_cast<rsid_scanner*>(&s);
    rsid_detector* made_d = sentinel_d;
    rsid_scanner* made_s = sentinel_s;
    const float f[4] = {0.1f, 0.2f, 0.3f, 0.4f};
    const int16_t i16[4] = {1, 2, 3, 4};
    rsid_detection out[4];
    rsid_detector_options opt_small = RSID_DETECTOR_OPTIONS_INIT, opt_neg = opt_small;
    opt_small.size = sizeof(size_t);
    opt_neg.channel = -1;
    const int32_t code_4096[] = {131, 4096}, code_minus[] = {-1}, code_7[] = {7};
    rsid_detector_options opt_rule = opt_small, opt_null = opt_small, opt_exact_codes = opt_small,
                          opt_4096 = opt_small, opt_minus = opt_small;
    for (rsid_detector_options* o : {&opt_rule, &opt_null, &opt_exact_codes, &opt_4096, &opt_minus})
        *o = RSID_DETECTOR_OPTIONS_INIT;
    opt_rule.rule = 3;
    opt_null.rule = RSID_RULE_SOFT;
    opt_null.code_count = 2;
    opt_exact_codes.rule = RSID_RULE_EXACT;
    opt_exact_codes.codes = code_7;
    opt_exact_codes.code_count = 1;
    opt_4096.rule = RSID_RULE_SOFT;
    opt_4096.codes = code_4096;
    opt_4096.code_count = 2;
    opt_minus.codes = code_minus; // the default rule with codes is the soft rule
    opt_minus.code_count = 1;

    const struct {
        const char* call;
        std::function<long long()> run;
        long long want;
    } table[] = {
        {"detector_new(NULL)", [] { return rsid_detector_new(nullptr, 48000.0); }, RSID_EINVAL},
        {"detector_new rate 0", [&] { return rsid_detector_new(&made_d, 0.0); }, RSID_ERANGE},
        {"detector_new rate 999", [&] { return rsid_detector_new(&made_d, 999.0); }, RSID_ERANGE},
        {"detector_new rate 1536001", [&] { return rsid_detector_new(&made_d, 1536001.0); },
         RSID_ERANGE},
        {"detector_new rate -48000", [&] { return rsid_detector_new(&made_d, -48000.0); },
         RSID_ERANGE},
        {"detector_new rate NaN", [&] { return rsid_detector_new(&made_d, nan); }, RSID_ERANGE},
        {"detector_new rate Inf", [&] { return rsid_detector_new(&made_d, inf); }, RSID_ERANGE},
        {"new_with small size", [&] { return rsid_detector_new_with(&made_d, 8e3, &opt_small); },
         RSID_EINVAL},
        {"new_with channel -1", [&] { return rsid_detector_new_with(&made_d, 8e3, &opt_neg); },
         RSID_EINVAL},
        {"new_with rule 3", [&] { return rsid_detector_new_with(&made_d, 8e3, &opt_rule); },
         RSID_EINVAL},
        {"new_with codes NULL", [&] { return rsid_detector_new_with(&made_d, 8e3, &opt_null); },
         RSID_EINVAL},
        {"new_with exact and codes",
         [&] { return rsid_detector_new_with(&made_d, 8e3, &opt_exact_codes); }, RSID_EINVAL},
        {"new_with code 4096", [&] { return rsid_detector_new_with(&made_d, 8e3, &opt_4096); },
         RSID_ERANGE},
        {"new_with code -1", [&] { return rsid_detector_new_with(&made_d, 8e3, &opt_minus); },
         RSID_ERANGE},
        {"scanner_new_with code 4096",
         [&] { return rsid_scanner_new_with(&made_s, 48e3, 0.0, RSID_CF32, &opt_4096); },
         RSID_ERANGE},
        {"scanner_new_with channel -1",
         [&] { return rsid_scanner_new_with(&made_s, 48e3, 0.0, RSID_CF32, &opt_neg); },
         RSID_EINVAL},
        {"feed_f32(NULL handle)", [&] { return rsid_detector_feed_f32(nullptr, f, 4); },
         RSID_EINVAL},
        {"feed_f32(NULL samples)", [&] { return rsid_detector_feed_f32(d, nullptr, 4); },
         RSID_EINVAL},
        {"feed_f32 count overflow", [&] { return rsid_detector_feed_f32(d, f, SIZE_MAX); },
         RSID_EINVAL},
        {"feed_i16(NULL handle)", [&] { return rsid_detector_feed_i16(nullptr, i16, 4); },
         RSID_EINVAL},
        {"feed_i16(NULL samples)", [&] { return rsid_detector_feed_i16(d, nullptr, 1); },
         RSID_EINVAL},
        {"feed_i16 count overflow",
         [&] { return rsid_detector_feed_i16(d, i16, SIZE_MAX / 2 + 1); }, RSID_EINVAL},
        {"detector_finish(NULL)", [] { return rsid_detector_finish(nullptr); }, RSID_EINVAL},
        {"detector_read(NULL)",
         [&] { return static_cast<long long>(rsid_detector_read(nullptr, out, 4)); }, 0},
        {"detector_read(out NULL)",
         [&] { return static_cast<long long>(rsid_detector_read(d, nullptr, 4)); }, 0},
        {"scanner_new(NULL)", [] { return rsid_scanner_new(nullptr, 48e3, 0.0, RSID_CF32); },
         RSID_EINVAL},
        {"scanner_new format 0", [&] { return rsid_scanner_new(&made_s, 48e3, 0.0, 0); },
         RSID_EINVAL},
        {"scanner_new format 6", [&] { return rsid_scanner_new(&made_s, 48e3, 0.0, 6); },
         RSID_EINVAL},
        {"scanner_new rate 5999", [&] { return rsid_scanner_new(&made_s, 5999.0, 0.0, RSID_CU8); },
         RSID_ERANGE},
        {"scanner_new rate 2.1e7", [&] { return rsid_scanner_new(&made_s, 2.1e7, 0.0, RSID_CU8); },
         RSID_ERANGE},
        {"scanner_new rate NaN", [&] { return rsid_scanner_new(&made_s, nan, 0.0, RSID_CS8); },
         RSID_ERANGE},
        {"scanner_new centre Inf", [&] { return rsid_scanner_new(&made_s, 48e3, inf, RSID_F32); },
         RSID_ERANGE},
        {"scanner_new centre NaN", [&] { return rsid_scanner_new(&made_s, 48e3, nan, RSID_CS16); },
         RSID_ERANGE},
        {"scanner_feed(NULL handle)", [&] { return rsid_scanner_feed(nullptr, f, 2); },
         RSID_EINVAL},
        {"scanner_feed(NULL frames)", [&] { return rsid_scanner_feed(s, nullptr, 2); },
         RSID_EINVAL},
        {"scanner_feed count overflow", [&] { return rsid_scanner_feed(s, f, SIZE_MAX / 8 + 1); },
         RSID_EINVAL},
        {"scanner_finish(NULL)", [] { return rsid_scanner_finish(nullptr); }, RSID_EINVAL},
        {"scanner_read(NULL)",
         [&] { return static_cast<long long>(rsid_scanner_read(nullptr, out, 4)); }, 0},
        {"send freq NaN",
         [&] { return static_cast<long long>(rsid_send_i16(nan, 48e3, nullptr, 0)); }, 0},
        {"send freq 0", [] { return static_cast<long long>(rsid_send_i16(0.0, 48e3, nullptr, 0)); },
         0},
        {"send rate 999",
         [] { return static_cast<long long>(rsid_send_i16(1500.0, 999.0, nullptr, 0)); }, 0},
        {"send tones above rate/2",
         [] { return static_cast<long long>(rsid_send_i16(3900.0, 8000.0, nullptr, 0)); }, 0},
    };
    for (const auto& row : table)
        EXPECT_EQ(row.run(), row.want) << row.call;
    EXPECT_EQ(made_d, sentinel_d) << "a refused new wrote *out";
    EXPECT_EQ(made_s, sentinel_s) << "a refused new wrote *out";
    EXPECT_EQ(rsid_detector_samples(d), 0u);
    EXPECT_EQ(rsid_detector_pending(d), 0u);

    // Nothing the refused calls did shows in what the handles report afterwards.
    const std::vector<int16_t> x = audio(16000.0, 5.0, several, 1);
    EXPECT_EQ(rsid_detector_feed_i16(d, x.data(), x.size()), RSID_OK);
    EXPECT_EQ(rsid_detector_finish(d), RSID_OK);
    const detections after = read_all_detector(d);
    const detections fresh = detect_i16(x, 16000.0, x.size());
    ASSERT_EQ(after.size(), several.size());
    ASSERT_EQ(fresh.size(), after.size());
    for (std::size_t i = 0; i < fresh.size(); ++i)
        EXPECT_EQ(after[i].sample, fresh[i].sample) << i;
    rsid_detector_free(d);
    rsid_scanner_free(s);
    rsid_detector_free(nullptr);
    rsid_scanner_free(nullptr);

    for (const int e :
         std::vector<int>{RSID_OK, RSID_EINVAL, RSID_ERANGE, RSID_ENOMEM, RSID_EFAILED, -99, 7})
        EXPECT_NE(rsid_engine_strerror(e), nullptr) << e;
    EXPECT_STRNE(rsid_engine_strerror(RSID_EINVAL), rsid_engine_strerror(RSID_ERANGE));
}

// The C API gives the C++ engine's reports, whatever the chunks and sample type; non-finite
// samples count as silence.
TEST(EngineCApi, DetectorReportsAreTheEngines) {
    for (const double rate : {8000.0, 44100.0, 96000.0}) {
        const std::vector<int16_t> x = audio(rate, 5.0, several, 2);
        std::vector<float> f = to_unit(x);
        std::vector<rsid::detection> want;
        rsid::stream_detector engine(rate);
        const std::vector<double> wide(x.begin(), x.end());
        engine.feed(wide.data(), wide.size(), want);
        engine.finish(want);
        ASSERT_EQ(want.size(), several.size()) << rate;
        const std::string at = " at " + std::to_string(rate);
        expect_same(detect_i16(x, rate, x.size()), want, "i16 whole" + at);
        expect_same(detect_i16(x, rate, 997), want, "i16 by 997" + at);
        expect_same(detect_f32(f, rate, 4096 * 3 + 1), want, "f32" + at);
        // Silence is 0 on both feeds; NaN and Inf in a quiet stretch are the same silence.
        for (std::size_t i = 0; i < static_cast<std::size_t>(0.2 * rate); i += 3)
            f[i] = (i % 2 != 0) ? std::nanf("") : -std::numeric_limits<float>::infinity();
        std::vector<float> zeroed = f;
        for (float& v : zeroed)
            v = std::isfinite(v) ? v : 0.0f;
        const detections with_nan = detect_f32(f, rate, 5000);
        const detections with_zero = detect_f32(zeroed, rate, 5000);
        ASSERT_EQ(with_nan.size(), several.size()) << rate;
        for (std::size_t i = 0; i < with_nan.size(); ++i)
            EXPECT_EQ(with_nan[i].level_dbfs, with_zero[i].level_dbfs) << rate << " #" << i;
    }
}

// The rule and the codes reach the detector and the scanner as the engine's own options: each
// handle reports what the C++ engine with the same options reports, and the codes heard are
// those asked for. A caller of the first version's struct size gets the default rule whatever
// lies beyond it.
TEST(EngineCApi, RulesAndCodesReachTheEngine) {
    const double rate = 8000.0;
    std::vector<double> x(static_cast<std::size_t>(rate * 6.0));
    synth::add_identifier(x, rate, 0.5, 1000.0, 4000.0, 131);
    synth::add_identifier(x, rate, 3.0, 1800.0, 4000.0, 1000);
    synth::add_noise(x, rate, 4000.0, 6.0, 5);
    std::vector<float> f(x.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        f[i] = static_cast<float>(x[i] / 32768.0);
    const int32_t both[] = {131, 1000};
    const struct {
        const char* name;
        int32_t rule, all_codes;
        const int32_t* codes;
        std::size_t count;
        bool first_version; // size up to channel only
        std::vector<int> heard;
    } cases[] = {
        {"default", RSID_RULE_DEFAULT, 0, nullptr, 0, false, {131}},
        {"exact", RSID_RULE_EXACT, 0, nullptr, 0, false, {131}},
        {"soft both", RSID_RULE_SOFT, 0, both, 2, false, {131, 1000}},
        {"default with codes", RSID_RULE_DEFAULT, 0, both, 2, false, {131, 1000}},
        {"soft all", RSID_RULE_SOFT, 1, nullptr, 0, false, {131, 1000}},
        {"first version", 99, 1, nullptr, 7, true, {131}},
    };
    for (const auto& c : cases) {
        rsid_detector_options o = RSID_DETECTOR_OPTIONS_INIT;
        o.channel = 2;
        o.rule = c.rule;
        o.all_codes = c.all_codes;
        o.codes = c.codes;
        o.code_count = c.count;
        if (c.first_version)
            o.size = offsetof(rsid_detector_options, channel) + sizeof(int32_t);
        rsid::detector_options rule = rsid::default_detector_options();
        if (!c.first_version && (c.rule == RSID_RULE_SOFT || c.count > 0 || c.all_codes)) {
            rule.exact = false;
            rule.all_codes = c.all_codes != 0;
            if (c.count > 0)
                rule.codes.assign(c.codes, c.codes + c.count);
        } else if (c.rule == RSID_RULE_EXACT) {
            rule.exact = true;
        }

        std::vector<rsid::detection> want;
        rsid::stream_detector engine(rate, 1.0, rule);
        const std::vector<double> unit(f.begin(), f.end());
        engine.feed(unit.data(), unit.size(), want);
        engine.finish(want);
        rsid_detector* d = nullptr;
        ASSERT_EQ(rsid_detector_new_with(&d, rate, &o), RSID_OK) << c.name;
        ASSERT_EQ(rsid_detector_feed_f32(d, f.data(), f.size()), RSID_OK) << c.name;
        ASSERT_EQ(rsid_detector_finish(d), RSID_OK) << c.name;
        const detections got = read_all_detector(d);
        rsid_detector_free(d);
        expect_same(got, want, std::string(c.name) + " detector");
        std::vector<int> heard;
        for (const auto& r : got) {
            heard.push_back(r.code);
            EXPECT_EQ(r.channel, 2) << c.name;
        }
        EXPECT_EQ(heard, c.heard) << c.name;

        std::vector<rsid::detection> band_want;
        rsid::band_scanner band({rate, false, 0.0, 1.0}, rule);
        band.feed(f.data(), f.size(), band_want);
        band.finish(band_want);
        rsid_scanner* s = nullptr;
        ASSERT_EQ(rsid_scanner_new_with(&s, rate, 0.0, RSID_F32, &o), RSID_OK) << c.name;
        ASSERT_EQ(rsid_scanner_feed(s, f.data(), f.size()), RSID_OK) << c.name;
        ASSERT_EQ(rsid_scanner_finish(s), RSID_OK) << c.name;
        expect_same(read_all_scanner(s), band_want, std::string(c.name) + " scanner");
        rsid_scanner_free(s);
    }
}

// Every sample format finds the identifiers; cf32 equals the C++ scanner's reports exactly.
TEST(EngineCApi, ScannerFormats) {
    const double rate = 48000.0, centre = 7.04e6;
    const std::vector<std::pair<double, double>> ids = {
        {0.3, -15000.0}, {0.6, 3000.0}, {2.2, 11000.0}};
    const std::vector<float> x = iq(rate, 4.0, ids, 3);
    std::vector<rsid::detection> want;
    rsid::band_scanner engine({rate, true, centre, 1.0});
    engine.feed(x.data(), x.size() / 2, want);
    engine.finish(want);
    ASSERT_EQ(want.size(), ids.size());

    std::vector<int16_t> cs16(x.size());
    std::vector<uint8_t> cu8(x.size());
    std::vector<int8_t> cs8(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        cs16[i] = static_cast<int16_t>(std::lround(std::clamp(x[i] * 32768.0, -32768.0, 32767.0)));
        cs8[i] = static_cast<int8_t>(std::lround(std::clamp(x[i] * 128.0, -128.0, 127.0)));
        cu8[i] = static_cast<uint8_t>(std::lround(std::clamp(x[i] * 128.0 + 127.5, 0.0, 255.0)));
    }
    const struct {
        int format;
        const void* data;
        std::size_t frame_bytes;
    } table[] = {{RSID_CF32, x.data(), 8},
                 {RSID_CS16, cs16.data(), 4},
                 {RSID_CU8, cu8.data(), 2},
                 {RSID_CS8, cs8.data(), 2}};
    for (const auto& row : table) {
        rsid_scanner* s = nullptr;
        ASSERT_EQ(rsid_scanner_new(&s, rate, centre, row.format), RSID_OK);
        const std::size_t frames = x.size() / 2, step = 7001;
        for (std::size_t at = 0; at < frames; at += step)
            ASSERT_EQ(rsid_scanner_feed(s,
                                        static_cast<const char*>(row.data) + at * row.frame_bytes,
                                        std::min(step, frames - at)),
                      RSID_OK);
        ASSERT_EQ(rsid_scanner_finish(s), RSID_OK);
        const detections got = read_all_scanner(s);
        rsid_scanner_free(s);
        if (row.format == RSID_CF32) {
            expect_same(got, want, "cf32");
            continue;
        }
        ASSERT_EQ(got.size(), want.size()) << row.format;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].code, 131) << row.format;
            EXPECT_NEAR(got[i].offset_hz, want[i].offset_hz, 3.0) << row.format;
            EXPECT_NEAR(got[i].freq_hz - got[i].offset_hz, centre, 1e-6) << row.format;
            EXPECT_NEAR(got[i].time_s, want[i].time_s, 0.05) << row.format;
        }
    }
}

// The identifier from rsid_send_i16 is the engine's, and is found where it was put.
TEST(EngineCApi, SendsWhatTheEngineSends) {
    for (const auto& [freq, rate] : {std::pair{1500.0, 48000.0}, {1000.0, 11025.0}}) {
        const std::size_t n = rsid_send_i16(freq, rate, nullptr, 0);
        rsid::send_request request;
        request.freq_hz = freq;
        request.rate = rate;
        const std::vector<int16_t> want = rsid::send_int16(request);
        ASSERT_EQ(n, want.size()) << rate;
        std::vector<int16_t> got(n + 10, 7);
        EXPECT_EQ(rsid_send_i16(freq, rate, got.data(), 100), n); // writes only 100
        EXPECT_EQ(got[100], 7);
        EXPECT_EQ(rsid_send_i16(freq, rate, got.data(), got.size()), n);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << rate;
        EXPECT_EQ(got[n], 7);
        got.resize(n);
        const detections found = detect_i16(got, rate, got.size());
        ASSERT_EQ(found.size(), 1u) << rate;
        EXPECT_EQ(found[0].code, 131);
        EXPECT_NEAR(found[0].freq_hz, freq, 3.0);
    }
}

// ---- The tool as the reference: the same samples through `rsid detect/scan --json` ----------

#ifdef RSID_TOOL
std::vector<nlohmann::json> run_tool(const std::string& args) {
    std::vector<nlohmann::json> records;
    FILE* p = popen((std::string(RSID_TOOL) + " " + args).c_str(), "r");
    if (p == nullptr)
        return records;
    char line[4096];
    while (std::fgets(line, sizeof line, p) != nullptr) {
        auto j = nlohmann::json::parse(line);
        if (j["type"] == "detection")
            records.push_back(j);
    }
    pclose(p);
    return records;
}

void write_bytes(const std::string& path, const void* data, std::size_t bytes,
                 const std::string& head = {}) {
    std::ofstream f(path, std::ios::binary);
    f.write(head.data(), static_cast<std::streamsize>(head.size()));
    f.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
}

// A mono 16-bit WAV header for n samples.
std::string wav_header(double rate, std::size_t n) {
    auto le = [](uint32_t v, int bytes) {
        std::string s;
        for (int i = 0; i < bytes; ++i)
            s += static_cast<char>((v >> (8 * i)) & 0xFF);
        return s;
    };
    const auto r = static_cast<uint32_t>(rate), data = static_cast<uint32_t>(2 * n);
    return "RIFF" + le(36 + data, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(1, 2) + le(r, 4) +
           le(2 * r, 4) + le(2, 2) + le(16, 2) + "data" + le(data, 4);
}

double rounded(double x, double scale) { return std::round(x * scale) / scale; }

// The tool's records against the C API's reports, as printed. `close` allows for a tool whose
// band scanner runs another transform (FFTW) than the library's: the same identifiers, with
// values that differ only by the transforms' rounding.
void expect_tool_match(const detections& api, const std::vector<nlohmann::json>& tool, bool scan,
                       bool close = false) {
    ASSERT_EQ(api.size(), tool.size());
    const double hz = close ? 0.01 : 0.0, s = close ? 0.002 : 0.0, db = close ? 0.2 : 0.0;
    for (std::size_t i = 0; i < api.size(); ++i) {
        const nlohmann::json& j = tool[i];
        EXPECT_EQ(api[i].code, j["code"].get<int>()) << i;
        EXPECT_EQ(api[i].channel, j["channel"].get<int>()) << i;
        EXPECT_NEAR(static_cast<double>(api[i].sample), j["sample"].get<double>(), close ? 2 : 0)
            << i;
        EXPECT_NEAR(rounded(api[i].time_s, 1e3), j["time_s"].get<double>(), s) << i;
        EXPECT_NEAR(rounded(api[i].freq_hz, 1e4), j["freq_hz"].get<double>(), hz) << i;
        EXPECT_NEAR(rounded(api[i].snr_db, 10.0), j["snr_db"].get<double>(), db) << i;
        EXPECT_NEAR(rounded(api[i].level_dbfs, 10.0), j["level_dbfs"].get<double>(), db) << i;
        if (scan)
            EXPECT_NEAR(rounded(api[i].offset_hz, 1e4), j["offset_hz"].get<double>(), hz) << i;
        else
            EXPECT_FALSE(j.contains("offset_hz"));
    }
}

TEST(EngineCApi, ReportsAreTheTools) {
    const std::string dir = testing::TempDir();
    {
        const double rate = 22050.0;
        const std::vector<int16_t> x = audio(rate, 6.0, several, 4);
        const std::string path = dir + "capi_several.wav";
        write_bytes(path, x.data(), 2 * x.size(), wav_header(rate, x.size()));
        const auto tool = run_tool("detect --json " + path);
        const detections api = detect_i16(x, rate, 1000);
        ASSERT_EQ(api.size(), several.size());
        expect_tool_match(api, tool, false);
    }
#ifdef RSID_TOOL_FFTW
    const bool close = true; // the tool's band scanner uses FFTW, the library KissFFT
#else
    const bool close = false;
#endif
    {
        const double rate = 96000.0, centre = 14.07e6;
        const std::vector<std::pair<double, double>> ids = {
            {0.5, -30000.0}, {0.7, 12000.0}, {2.5, 40000.0}};
        const std::vector<float> x = iq(rate, 4.0, ids, 5);
        const std::string path = dir + "capi_several.cf32";
        write_bytes(path, x.data(), sizeof(float) * x.size());
        const auto tool = run_tool("scan --json -t cf32 -r 96000 --center 14070000 " + path);
        rsid_scanner* s = nullptr;
        ASSERT_EQ(rsid_scanner_new(&s, rate, centre, RSID_CF32), RSID_OK);
        ASSERT_EQ(rsid_scanner_feed(s, x.data(), x.size() / 2), RSID_OK);
        ASSERT_EQ(rsid_scanner_finish(s), RSID_OK);
        const detections api = read_all_scanner(s);
        rsid_scanner_free(s);
        ASSERT_EQ(api.size(), ids.size());
        expect_tool_match(api, tool, true, close);
    }
}
#endif

// Eight detectors on four threads, each thread taking turns between two of them, give what
// each gives alone. Run under ThreadSanitizer by the tsan preset.
TEST(EngineThreads, CApiEightDetectorsOnFourThreads) {
    const double rate = 16000.0;
    std::vector<std::vector<int16_t>> inputs;
    std::vector<detections> alone;
    for (int k = 0; k < 8; ++k) {
        inputs.push_back(
            audio(rate, 3.0, {{0.2 + 0.1 * k, 600.0 + 200.0 * k}}, static_cast<unsigned>(10 + k)));
        alone.push_back(detect_i16(inputs.back(), rate, inputs.back().size()));
        ASSERT_EQ(alone.back().size(), 1u) << k;
    }
    std::vector<detections> got(8);
    std::vector<std::thread> pool;
    for (int t = 0; t < 4; ++t)
        pool.emplace_back([&, t] {
            rsid_detector* pair[2] = {nullptr, nullptr};
            rsid_detector_options options = RSID_DETECTOR_OPTIONS_INIT;
            for (int k = 0; k < 2; ++k) {
                options.channel = 2 * t + k + 1;
                rsid_detector_new_with(&pair[k], rate, &options);
            }
            const std::size_t n = inputs[0].size(), step = 1600;
            for (std::size_t at = 0; at < n; at += step)
                for (int k = 0; k < 2; ++k)
                    rsid_detector_feed_i16(pair[k],
                                           inputs[static_cast<std::size_t>(2 * t + k)].data() + at,
                                           std::min(step, n - at));
            for (int k = 0; k < 2; ++k) {
                rsid_detector_finish(pair[k]);
                got[static_cast<std::size_t>(2 * t + k)] = read_all_detector(pair[k]);
                rsid_detector_free(pair[k]);
            }
        });
    for (auto& th : pool)
        th.join();
    for (std::size_t k = 0; k < 8; ++k) {
        ASSERT_EQ(got[k].size(), 1u) << k;
        EXPECT_EQ(got[k][0].sample, alone[k][0].sample) << k;
        EXPECT_EQ(got[k][0].freq_hz, alone[k][0].freq_hz) << k;
        EXPECT_EQ(got[k][0].snr_db, alone[k][0].snr_db) << k;
        EXPECT_EQ(got[k][0].channel, static_cast<int32_t>(k + 1)) << k;
    }
}

} // namespace
