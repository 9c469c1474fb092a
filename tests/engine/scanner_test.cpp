// The band scanner on synthesised I/Q and wide audio: identifiers anywhere in the band (both
// sides of the centre, the edges, across a DC spike), next to carriers and other signals, in
// noise, found once each with frequency, start and SNR.
#include "scanner.h"
#include "synth.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

namespace {

using iq = std::vector<std::complex<double>>;

struct placed {
    double start_s, offset_hz;
};

std::vector<rsid::detection> scan(const std::vector<float>& interleaved, double rate, bool complex,
                                  double center, std::size_t chunk = 65536) {
    rsid::band_scanner s({rate, complex, center, 1.0});
    std::vector<rsid::detection> out;
    const std::size_t per = complex ? 2 : 1, frames = interleaved.size() / per;
    for (std::size_t i = 0; i < frames; i += chunk)
        s.feed(interleaved.data() + i * per, std::min(chunk, frames - i), out);
    s.finish(out);
    return out;
}

std::vector<float> flatten(const iq& x) {
    std::vector<float> f(2 * x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        f[2 * i] = static_cast<float>(x[i].real());
        f[2 * i + 1] = static_cast<float>(x[i].imag());
    }
    return f;
}

// Every placed identifier found once within 3 Hz and 50 ms, SNR within 2 dB; nothing else.
void expect_found(const std::vector<placed>& want, const std::vector<rsid::detection>& got,
                  double center, double snr_db, const std::string& what) {
    std::size_t matched = 0;
    for (const placed& p : want) {
        int hits = 0;
        for (const rsid::detection& d : got) {
            if (std::abs(d.offset_hz - p.offset_hz) > 20.0)
                continue;
            ++hits;
            EXPECT_NEAR(d.offset_hz, p.offset_hz, 3.0) << what;
            EXPECT_NEAR(d.freq_hz, center + p.offset_hz, 3.0) << what;
            EXPECT_NEAR(d.time_s, p.start_s, 0.05) << what << " at " << p.offset_hz;
            if (snr_db < 10.0) {
                EXPECT_NEAR(d.snr_db, snr_db, 2.0) << what << " at " << p.offset_hz;
            }
            EXPECT_EQ(d.code, 131);
        }
        EXPECT_EQ(hits, 1) << what << ": identifier at " << p.offset_hz << " Hz";
        matched += static_cast<std::size_t>(hits);
    }
    EXPECT_EQ(got.size(), matched) << what << ": reports that match no identifier";
}

TEST(Scanner, FindsIdentifiersAnywhereInAnIqBand) {
    const double rate = 192000.0, center = 7.1e6, amplitude = 0.05;
    struct scenario {
        const char* name;
        std::vector<placed> ids;
        double carrier_hz; // a steady carrier 30 dB above the identifiers, or 0 for none
        double dc;         // a receiver's DC offset on I and Q
        double fsk_hz;     // another keyed-tone signal, or 0
    };
    const scenario scenarios[] = {
        {"both sides, the edges and the first sample",
         {{0.0, -95800.0}, {0.5, -41234.5}, {0.7, 1234.0}, {0.4, 60111.0}, {0.6, 95600.0}},
         0.0,
         0.0,
         0.0},
        // Tone 0 at entry 16370: the row's tone decisions are made in blocks of 16384 entries.
        {"across a block of the decisions", {{0.3, -8300.0}}, 0.0, 0.0, 0.0},
        {"across the centre with a DC spike", {{0.4, -90.0}, {0.9, -30000.0}}, 0.0, 0.02, 0.0},
        {"next to a strong carrier and a keyed signal",
         {{0.5, 20000.0}, {0.5, -50000.0}},
         20000.0 + 161.0 + 3500.0,
         0.0,
         -50000.0 - 3500.0},
    };
    for (const scenario& s : scenarios) {
        iq x(static_cast<std::size_t>(rate * 2.6));
        for (const placed& p : s.ids)
            synth::add_identifier_iq(x, rate, p.start_s, p.offset_hz, amplitude);
        synth::add_noise_iq(x, rate, amplitude, 0.0, 11);
        std::mt19937 rng(5);
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double t = static_cast<double>(i) / rate;
            x[i] += std::complex<double>(s.dc, s.dc);
            if (s.carrier_hz != 0.0)
                x[i] += std::polar(amplitude * 31.6, 2.0 * std::numbers::pi * s.carrier_hz * t);
            if (s.fsk_hz != 0.0) { // 16 random tones 10 Hz apart, 50 baud
                static std::vector<int> keys;
                const auto sym = static_cast<std::size_t>(t * 50.0);
                while (keys.size() <= sym)
                    keys.push_back(std::uniform_int_distribution<int>(0, 15)(rng));
                x[i] += std::polar(amplitude * 3.0,
                                   2.0 * std::numbers::pi * (s.fsk_hz + 10.0 * keys[sym]) * t);
            }
        }
        expect_found(s.ids, scan(flatten(x), rate, true, center), center, 0.0, s.name);
    }
}

// One channel of wide audio is scanned from 0 Hz to half the rate.
TEST(Scanner, FindsIdentifiersAcrossWideAudio) {
    const double rate = 48000.0;
    const std::vector<placed> ids = {{0.3, 350.0}, {0.5, 2700.0}, {0.8, 15000.0}, {0.4, 23500.0}};
    std::vector<double> x(static_cast<std::size_t>(rate * 2.8));
    for (const placed& p : ids)
        synth::add_identifier(x, rate, p.start_s, p.offset_hz, 4000.0 / 32768.0);
    synth::add_noise(x, rate, 4000.0 / 32768.0, 3.0, 2);
    const std::vector<float> f(x.begin(), x.end());
    expect_found(ids, scan(f, rate, false, 0.0), 0.0, 3.0, "wide audio");
}

// Chunks of any size give the same reports.
TEST(Scanner, ChunkSizeDoesNotChangeReports) {
    const double rate = 24000.0;
    iq x(static_cast<std::size_t>(rate * 3.0));
    synth::add_identifier_iq(x, rate, 0.6, -4000.0, 0.1);
    synth::add_identifier_iq(x, rate, 1.1, 7000.0, 0.1);
    synth::add_noise_iq(x, rate, 0.1, -3.0, 4);
    const auto f = flatten(x);
    const auto want = scan(f, rate, true, 0.0, x.size());
    ASSERT_EQ(want.size(), 2u);
    for (std::size_t chunk : {1u, 333u, 10000u}) {
        const auto got = scan(f, rate, true, 0.0, chunk);
        ASSERT_EQ(got.size(), want.size()) << chunk;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].sample, want[i].sample) << chunk;
            EXPECT_EQ(got[i].freq_hz, want[i].freq_hz) << chunk;
        }
    }
}

// Threads share the passes: every field of every report is the one a single thread gives,
// under either rule, for chunks that end anywhere in a batch.
TEST(Scanner, ThreadsDoNotChangeReports) {
    const double rate = 96000.0;
    iq x(static_cast<std::size_t>(rate * 3.0));
    synth::add_identifier_iq(x, rate, 0.2, -47000.0, 0.1);
    synth::add_identifier_iq(x, rate, 0.9, 1000.0, 0.1);
    synth::add_identifier_iq(x, rate, 1.45, 30000.0, 0.1);
    // Across the columns where two threads split the soft rule's scores.
    synth::add_identifier_iq(x, rate, 0.5, -130.0, 0.1);
    synth::add_noise_iq(x, rate, 0.1, -6.0, 6);
    const auto f = flatten(x);
    rsid::detector_options exact;
    exact.exact = true;
    struct setting {
        const char* rule;
        rsid::detector_options options;
    };
    for (const setting& rule : {setting{"exact", exact}, setting{"soft", {}}}) {
        auto run = [&](int threads, std::size_t chunk) {
            rsid::scan_options o{rate, true, 7e6, 1.0, threads};
            rsid::band_scanner s(o, rule.options);
            std::vector<rsid::detection> out;
            for (std::size_t i = 0; i < x.size(); i += chunk)
                s.feed(f.data() + 2 * i, std::min(chunk, x.size() - i), out);
            s.finish(out);
            return out;
        };
        const auto want = run(1, 65536);
        ASSERT_EQ(want.size(), 4u) << rule.rule;
        for (const auto& [threads, chunk] : {std::pair{2, 65536u}, {2, 4999u}, {3, 100000u}}) {
            const auto got = run(threads, chunk);
            ASSERT_EQ(got.size(), want.size()) << rule.rule << " " << threads;
            for (std::size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(got[i].sample, want[i].sample) << rule.rule << " " << threads;
                EXPECT_EQ(got[i].freq_hz, want[i].freq_hz) << rule.rule << " " << threads;
                EXPECT_EQ(got[i].start, want[i].start) << rule.rule << " " << threads;
                EXPECT_EQ(got[i].snr_db, want[i].snr_db) << rule.rule << " " << threads;
                EXPECT_EQ(got[i].level_dbfs, want[i].level_dbfs) << rule.rule << " " << threads;
                EXPECT_EQ(got[i].distance, want[i].distance) << rule.rule << " " << threads;
            }
        }
    }
}

// The transform's length near two symbols, at rates where two symbols are a multiple of the
// prime 557 and others: even, of the factors 2, 3, 5 and 7, within 0.6 %.
TEST(Scanner, TransformLengthIsSmooth) {
    for (const double rate : {24000.0, 48000.0, 192000.0, 1e6, 2.048e6, 2.4e6, 1e7, 2e7}) {
        const double two_symbols = rate * 1114.0 / 6000.0;
        int n = rsid::smooth_length(two_symbols);
        EXPECT_NEAR(n, two_symbols, 0.006 * two_symbols) << rate;
        EXPECT_EQ(n % 2, 0) << rate;
        for (const int p : {2, 3, 5, 7})
            while (n % p == 0)
                n /= p;
        EXPECT_EQ(n, 1) << rate << ": " << rsid::smooth_length(two_symbols);
    }
    EXPECT_EQ(rsid::band_scanner({192000.0, true, 0.0, 1.0}).frame(), 35840); // 2^10 5 7
}

// No report in twenty minutes of I/Q noise (24 kHz wide: eight detectors' worth of columns).
TEST(Scanner, NoReportsInIqNoise) {
    const double rate = 24000.0;
    rsid::band_scanner s({rate, true, 0.0, 1.0});
    std::vector<rsid::detection> out;
    std::mt19937 rng(8);
    std::normal_distribution<float> gauss(0.0f, 0.1f);
    std::vector<float> block(2 * 24000);
    for (int second = 0; second < 20 * 60; ++second) {
        for (float& v : block)
            v = gauss(rng);
        s.feed(block.data(), block.size() / 2, out);
    }
    s.finish(out);
    EXPECT_TRUE(out.empty()) << out.size() << " reports, first at " << out[0].offset_hz << " Hz";
}

// A clean synthetic capture: only the identifiers placed in it, none in the rounding residue of
// the strong ones, which the wide transforms hold about 110 dB below them: at full scale,
// quiet, and so quiet that the residue falls below the quietest level of any real capture.
TEST(Scanner, NoReportsFromRoundingInCleanCaptures) {
    const double rate = 1e6;
    const std::vector<placed> ids = {{0.3, -250000.0}, {1.0, 1234.0}, {2.0, 333333.0}};
    for (const double amplitude : {1.0, 0.03, 0.001}) {
        iq x(static_cast<std::size_t>(rate * 3.6));
        for (const placed& p : ids)
            synth::add_identifier_iq(x, rate, p.start_s, p.offset_hz, amplitude);
        const auto got = scan(flatten(x), rate, true, 14e6);
        expect_found(ids, got, 14e6, 99.0, "amplitude " + std::to_string(amplitude));
    }
}

TEST(Scanner, RefusesImpossibleSettings) {
    for (double rate : {0.0, 5999.0, 3e7, std::nan("")})
        EXPECT_THROW(rsid::band_scanner({rate, true, 0.0, 1.0}), std::invalid_argument) << rate;
    EXPECT_THROW(rsid::band_scanner({48000.0, false, 0.0, 0.0}), std::invalid_argument);
    for (double center : {static_cast<double>(INFINITY), 1.0001e12, -1e21})
        EXPECT_THROW(rsid::band_scanner({48000.0, true, center, 1.0}), std::invalid_argument)
            << center;
    EXPECT_NO_THROW(rsid::band_scanner({48000.0, true, -1e12, 1.0}));
    for (const int threads : {0, 65})
        EXPECT_THROW(rsid::band_scanner({48000.0, true, 0.0, 1.0, threads}), std::invalid_argument)
            << threads;
}

} // namespace
