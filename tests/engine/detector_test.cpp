// The engine on identifiers made independently of the library: every identifier once, where
// and how strong, whatever the chunking, the rate or the neighbours in time and frequency.
#include "detector.h"
#include "rsid.h"
#include "rsid_signal.h"
#include "rsid_state.h"
#include "stream.h"
#include "synth.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

namespace {

struct placed {
    double start_s, base_hz;
};

// Runs a whole stream through a fresh stream detector in chunks of the given size.
std::vector<rsid::detection> detect(const std::vector<double>& x, double rate,
                                    std::size_t chunk = 4096, double full_scale = 32768.0) {
    rsid::stream_detector d(rate, full_scale);
    std::vector<rsid::detection> out;
    for (std::size_t i = 0; i < x.size(); i += chunk)
        d.feed(x.data() + i, std::min(chunk, x.size() - i), out);
    d.finish(out);
    return out;
}

// Each placed identifier must be reported exactly once, within 25 ms and 3 Hz; returns the
// number found and counts reports that match none.
int match(const std::vector<placed>& want, const std::vector<rsid::detection>& got,
          int* false_reports, const std::string& what) {
    int found = 0;
    std::vector<bool> used(got.size());
    for (const placed& p : want) {
        int hits = 0;
        for (std::size_t i = 0; i < got.size(); ++i) {
            if (std::abs(got[i].freq_hz - p.base_hz) < 20.0 &&
                std::abs(got[i].time_s - p.start_s) < 0.5) {
                ++hits;
                used[i] = true;
                EXPECT_NEAR(got[i].time_s, p.start_s, 0.025) << what << " at " << p.base_hz;
                EXPECT_NEAR(got[i].freq_hz, p.base_hz, 3.0) << what << " at " << p.start_s;
                EXPECT_EQ(got[i].code, 131);
            }
        }
        EXPECT_LE(hits, 1) << what << ": reported twice at " << p.base_hz << " Hz " << p.start_s;
        found += hits > 0;
    }
    *false_reports += static_cast<int>(std::count(used.begin(), used.end(), false));
    return found;
}

std::vector<double> mix(double rate, double seconds, const std::vector<placed>& ids,
                        double snr_db = 99.0, unsigned seed = 1, double amplitude = 8000.0) {
    std::vector<double> x(static_cast<std::size_t>(seconds * rate));
    for (const placed& p : ids)
        synth::add_identifier(x, rate, p.start_s, p.base_hz, amplitude);
    if (snr_db < 90.0)
        synth::add_noise(x, rate, amplitude, snr_db, seed);
    return x;
}

// The cases a host of the library alone loses: simultaneous and staggered pairs, trains
// without gaps, an identifier in the last samples.
TEST(Engine, FindsEveryIdentifierOnceWithItsStartAndFrequency) {
    struct scenario {
        const char* name;
        std::vector<std::vector<placed>> streams;
        double tail_s; // stream length after the last identifier ends
    };
    std::vector<scenario> scenarios;
    scenario same{"simultaneous", {}, 2.0}, staggered{"staggered", {}, 2.0},
        train{"train", {}, 2.0}, end{"end of stream", {}, 0.0};
    for (int i = 0; i < 8; ++i) {
        const double low = 620.0 + 37.0 * i, apart = 300.0 + 1000.0 * i / 7.0;
        same.streams.push_back({{1.0 + 0.01 * i, low}, {1.0 + 0.01 * i, low + apart}});
        staggered.streams.push_back(
            {{1.0, low + apart}, {1.0 + 0.2 + i / 7.0, low + (i % 2 ? 0.0 : apart / 2.0)}});
    }
    for (int i = 0; i < 5; ++i) {
        std::vector<placed> t;
        for (int n = 0; n < 4; ++n)
            t.push_back({0.5 + n * (synth::length_s + 0.175 * i), 900.0 + 150.0 * n + 20.0 * i});
        train.streams.push_back(t);
    }
    for (double after : {0.0, 0.004, 0.05}) // identifier ends this long before the stream
        end.streams.push_back({{1.0 - after, 1200.0 + 300.0 * after}});
    scenarios = {same, staggered, train, end};

    for (const scenario& s : scenarios) {
        int found = 0, total = 0, false_reports = 0;
        for (const auto& ids : s.streams) {
            double last = 0.0;
            for (const placed& p : ids)
                last = std::max(last, p.start_s + synth::length_s);
            const std::vector<double> x = mix(48000.0, last + s.tail_s, ids, 10.0, 7);
            found += match(ids, detect(x, 48000.0), &false_reports, s.name);
            total += static_cast<int>(ids.size());
        }
        EXPECT_EQ(found, total) << s.name;
        EXPECT_EQ(false_reports, 0) << s.name;
    }
}

// Reports come in the order the identifiers end, not the order of their frequencies.
TEST(Engine, ReportsInTheOrderIdentifiersEnd) {
    const std::vector<placed> ids = {{1.0, 2000.0}, {1.6, 700.0}, {2.2, 1400.0}};
    const auto got = detect(mix(8000.0, 5.0, ids), 8000.0);
    ASSERT_EQ(got.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(got[i].freq_hz, ids[i].base_hz, 3.0) << i;
}

// Forty identifiers in two and a half minutes of noise at -4 dB: at least 98 % found, no
// false reports.
TEST(Engine, ManyIdentifiersInNoise) {
    std::mt19937 rng(2024);
    std::vector<placed> ids;
    for (int i = 0; i < 40; ++i) { // one per 3.7 s slot, so that no two overlap in time and band
        std::uniform_real_distribution<double> at(0.2, 1.9), hz(620.0, 2220.0);
        ids.push_back({3.7 * i + at(rng), hz(rng)});
    }
    int false_reports = 0;
    const auto got = detect(mix(12000.0, 150.0, ids, -4.0, 99), 12000.0);
    EXPECT_GE(match(ids, got, &false_reports, "noise"), 39);
    EXPECT_EQ(false_reports, 0);
}

// Sensitivity: at least half the identifiers at -14 dB SNR in 3 kHz and nine in ten at -12 dB,
// through the resampler from 48000/s.
TEST(Engine, DetectionProbabilityAtLowSnr) {
    for (const auto& [snr, at_least] : {std::pair{-14.0, 0.5}, std::pair{-12.0, 0.9}}) {
        int found = 0, false_reports = 0;
        const int trials = 40;
        for (int i = 0; i < trials; ++i) {
            const std::vector<placed> id = {{0.6 + 0.0137 * i, 640.0 + 39.0 * i}};
            const auto x = mix(48000.0, 3.5, id, snr, 1000u + static_cast<unsigned>(i));
            found += match(id, detect(x, 48000.0), &false_reports, "low SNR");
        }
        EXPECT_GE(found, at_least * trials) << snr << " dB";
        EXPECT_EQ(false_reports, 0) << snr << " dB";
    }
}

// Chunks of any size give the same reports, field for field, with and without conversion.
TEST(Engine, ChunkSizeDoesNotChangeReports) {
    for (double rate : {6000.0, 44100.0}) {
        const auto x = mix(rate, 6.0, {{0.7, 800.0}, {1.1, 1900.0}, {3.9, 1300.0}}, 0.0, 3);
        const auto want = detect(x, rate, x.size());
        ASSERT_EQ(want.size(), 3u) << rate;
        for (std::size_t chunk : {1u, 7u, 960u, 4097u, 100000u}) {
            const auto got = detect(x, rate, chunk);
            ASSERT_EQ(got.size(), want.size()) << rate << " chunk " << chunk;
            for (std::size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(got[i].sample, want[i].sample) << rate << " chunk " << chunk;
                EXPECT_EQ(got[i].freq_hz, want[i].freq_hz) << rate << " chunk " << chunk;
                EXPECT_EQ(got[i].snr_db, want[i].snr_db) << rate << " chunk " << chunk;
                EXPECT_EQ(got[i].bin, want[i].bin) << rate << " chunk " << chunk;
            }
        }
    }
}

// Any input rate: the start is a sample index at that rate, within 25 ms.
TEST(Engine, PositionsInTheInputsOwnRate) {
    for (double rate : {8000.0, 11025.0, 16000.0, 22050.0, 44100.0, 48000.0, 96000.0, 192000.0}) {
        const double start = 0.8 + rate / 1e6;
        const auto got = detect(mix(rate, 3.5, {{start, 1500.0}}), rate);
        ASSERT_EQ(got.size(), 1u) << rate;
        EXPECT_EQ(got[0].rate, rate);
        EXPECT_NEAR(static_cast<double>(got[0].sample), start * rate, 0.025 * rate) << rate;
        EXPECT_DOUBLE_EQ(got[0].time_s, static_cast<double>(got[0].sample) / rate);
    }
}

// An identifier in the first samples of a stream (a recording that opens with it) is placed
// as accurately as one later on: its peak pass comes before the first pass with all 15 rows.
TEST(Engine, IdentifierAtTheStartOfTheStream) {
    for (double rate : {6000.0, 44100.0}) {
        for (double start : {0.0, 0.002, 0.01, 0.03, 0.05, 0.08}) {
            const auto got = detect(mix(rate, 3.0, {{start, 1300.0}}, 5.0, 11), rate);
            ASSERT_EQ(got.size(), 1u) << rate << " " << start;
            EXPECT_NEAR(got[0].time_s, start, 0.01) << rate << " " << start;
        }
    }
}

// Level against full scale of the input, SNR against noise in 3 kHz; float input on the +-1
// scale reads the same as 16-bit input.
TEST(Engine, LevelAndSnrEstimates) {
    struct row {
        double amplitude, snr_db, full_scale;
    };
    const row rows[] = {{8000.0, -10.0, 32768.0}, {8000.0, 0.0, 32768.0}, {20000.0, 5.0, 32768.0},
                        {0.05, -5.0, 1.0},        {0.5, 8.0, 1.0},        {300.0, 0.0, 32768.0}};
    for (const row& r : rows) {
        double level = 0.0, snr = 0.0;
        int n = 0;
        for (int i = 0; i < 6; ++i) {
            std::vector<double> x(static_cast<std::size_t>(48000 * 4));
            synth::add_identifier(x, 48000.0, 1.0 + 0.013 * i, 900.0 + 97.0 * i, r.amplitude);
            synth::add_noise(x, 48000.0, r.amplitude, r.snr_db, 40u + static_cast<unsigned>(i));
            for (const auto& d : detect(x, 48000.0, 4096, r.full_scale))
                level += d.level_dbfs, snr += d.snr_db, ++n;
        }
        ASSERT_EQ(n, 6) << r.amplitude << " " << r.snr_db;
        EXPECT_NEAR(level / n, 20.0 * std::log10(r.amplitude / r.full_scale), 1.0)
            << r.amplitude << " " << r.snr_db;
        EXPECT_NEAR(snr / n, r.snr_db, 1.5) << r.amplitude << " " << r.snr_db;
    }
}

// The plain detector is exactly what a host of the eight exports sees.
TEST(Engine, PlainDetectorReproducesTheExports) {
    const auto x =
        mix(6000.0, 12.0, {{1.0, 900.0}, {1.5, 1800.0}, {4.0, 1200.0}, {5.45, 700.0}}, -2.0, 5);
    rsid_rx = rsid_receiver{};
    init_rsid();
    rsid::plain_detector plain;
    int reports = 0;
    for (std::size_t b = 0; b + 960 <= x.size(); b += 960) {
        rsid::detection d;
        const bool got = plain.check(&x[b], &d);
        ASSERT_EQ(got, rsid_check(&x[b]) == 1) << "block " << b / 960;
        if (got) {
            EXPECT_EQ(d.freq_hz, getrsfreq());
            ++reports;
        }
    }
    EXPECT_GE(reports, 2);
}

// No report in twenty minutes of noise at the detector's own rate.
TEST(Engine, NoReportsInNoise) {
    rsid::detector d;
    std::vector<rsid::detection> out;
    std::mt19937 rng(77);
    std::normal_distribution<double> gauss(0.0, 3000.0);
    std::vector<double> block(6000);
    for (int s = 0; s < 20 * 60; ++s) {
        for (double& v : block)
            v = gauss(rng);
        d.feed(block.data(), block.size(), out);
    }
    d.finish(out);
    EXPECT_TRUE(out.empty()) << out.size() << " reports, first at " << out[0].start;
}

// Threads with detectors of their own get what one thread gets (run under ThreadSanitizer).
TEST(EngineThreads, ConcurrentDetectorsAgreeWithOneThread) {
    std::vector<std::vector<double>> inputs;
    for (int t = 0; t < 4; ++t)
        inputs.push_back(
            mix(16000.0, 4.0, {{0.5 + 0.3 * t, 700.0 + 400.0 * t}}, 3.0, static_cast<unsigned>(t)));
    std::vector<std::vector<rsid::detection>> got(inputs.size());
    std::vector<std::thread> pool;
    for (std::size_t t = 0; t < inputs.size(); ++t)
        pool.emplace_back([&, t] { got[t] = detect(inputs[t], 16000.0); });
    for (auto& th : pool)
        th.join();
    for (std::size_t t = 0; t < inputs.size(); ++t) {
        const auto want = detect(inputs[t], 16000.0);
        ASSERT_EQ(got[t].size(), 1u) << t;
        ASSERT_EQ(want.size(), 1u) << t;
        EXPECT_EQ(got[t][0].sample, want[0].sample) << t;
        EXPECT_EQ(got[t][0].freq_hz, want[0].freq_hz) << t;
    }
}

// Bad arguments are refused before anything is built.
TEST(Engine, RefusesImpossibleRatesAndScales) {
    for (double rate : {0.0, -48000.0, 999.0, 2e6, std::nan("")})
        EXPECT_THROW(rsid::stream_detector{rate}, std::invalid_argument) << rate;
    for (double scale : {0.0, -1.0, std::nan(""), 1e-320})
        EXPECT_THROW((rsid::stream_detector{48000.0, scale}), std::invalid_argument) << scale;
}

} // namespace
