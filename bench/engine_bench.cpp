// engine_bench.cpp - real-time factors of the engine's detector and band scanner.
//
//   engine_bench [SECONDS]
//
// Each case runs SECONDS (default 60) of noisy input with identifiers through a fresh detector
// or scanner five times and prints the median real-time factor (seconds of input per second of
// one core). The input is made before the clock starts. The detector and the 192000/s scanner
// also run through the C API (librsid-engine.so), with the ratio of the two medians.
#include "rsid_engine.h"
#include "scanner.h"
#include "stream.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <numbers>
#include <random>
#include <vector>

namespace {

double median_factor(double seconds, const std::function<void()>& run) {
    std::vector<double> factors;
    for (int i = 0; i < 5; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        run();
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        factors.push_back(seconds / took);
    }
    std::sort(factors.begin(), factors.end());
    return factors[2];
}

// Noise with an identifier-like keyed tone every few seconds, as interleaved floats.
std::vector<float> input(double rate, double seconds, bool complex, double scale) {
    const auto frames = static_cast<std::size_t>(rate * seconds);
    std::vector<float> x(frames * (complex ? 2 : 1));
    std::mt19937 rng(1);
    std::normal_distribution<float> noise(0.0f, static_cast<float>(scale * 0.1));
    for (float& v : x)
        v = noise(rng);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double f = 1000.0 + 10.7666 * (static_cast<int>(t / 0.0928) % 16);
        const double a = 2.0 * std::numbers::pi * f * t;
        x[i * (complex ? 2 : 1)] += static_cast<float>(scale * 0.2 * std::cos(a));
        if (complex)
            x[i * 2 + 1] += static_cast<float>(scale * 0.2 * std::sin(a));
    }
    return x;
}

// The C++ engine and the C API on the same input, alternating, seven runs each: the medians
// and their ratio (above 1: the C API is slower).
void compare(const char* what, double seconds, const std::function<void()>& cxx,
             const std::function<void()>& c) {
    std::vector<double> a, b;
    for (int i = 0; i < 7; ++i) {
        for (auto [run, into] : {std::pair{&cxx, &a}, std::pair{&c, &b}}) {
            const auto t0 = std::chrono::steady_clock::now();
            (*run)();
            into->push_back(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        }
    }
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    std::printf("%s: C++ %.0fx, C API %.0fx real time; C API / C++ time %.3f\n", what,
                seconds / a[3], seconds / b[3], b[3] / a[3]);
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    std::vector<rsid::detection> out;

    const std::vector<float> audio = input(48000.0, seconds, false, 32768.0);
    std::printf("detector, 48000/s 16-bit scale input (soxr to 6000/s): %.0fx real time\n",
                median_factor(seconds, [&] {
                    rsid::stream_detector d(48000.0);
                    d.feed(audio.data(), audio.size(), out);
                    d.finish(out);
                }));
    std::vector<float> unit(audio.size()); // the same samples on the C API's +-1 scale
    for (std::size_t i = 0; i < audio.size(); ++i)
        unit[i] = audio[i] / 32768.0f;
    // Both in blocks of 4096 frames, as a host receives them.
    constexpr std::size_t block = 4096;
    compare(
        "detector, 48000/s, blocks of 4096", seconds,
        [&] {
            rsid::stream_detector d(48000.0);
            for (std::size_t at = 0; at < audio.size(); at += block)
                d.feed(audio.data() + at, std::min(block, audio.size() - at), out);
            d.finish(out);
        },
        [&] {
            rsid_detector* d = nullptr;
            rsid_detector_new(&d, 48000.0);
            for (std::size_t at = 0; at < unit.size(); at += block)
                rsid_detector_feed_f32(d, unit.data() + at, std::min(block, unit.size() - at));
            rsid_detector_finish(d);
            rsid_detector_free(d);
        });
    const std::vector<float> iq192 = input(192000.0, seconds, true, 1.0);
    std::printf("scanner, 192000/s cf32 I/Q: %.1fx real time\n", median_factor(seconds, [&] {
                    rsid::band_scanner s({192000.0, true, 0.0, 1.0});
                    s.feed(iq192.data(), iq192.size() / 2, out);
                    s.finish(out);
                }));
    const std::size_t frames = iq192.size() / 2;
    compare(
        "scanner, 192000/s cf32, blocks of 4096", seconds,
        [&] {
            rsid::band_scanner s({192000.0, true, 0.0, 1.0});
            for (std::size_t at = 0; at < frames; at += block)
                s.feed(iq192.data() + 2 * at, std::min(block, frames - at), out);
            s.finish(out);
        },
        [&] {
            rsid_scanner* s = nullptr;
            rsid_scanner_new(&s, 192000.0, 0.0, RSID_CF32);
            for (std::size_t at = 0; at < frames; at += block)
                rsid_scanner_feed(s, iq192.data() + 2 * at, std::min(block, frames - at));
            rsid_scanner_finish(s);
            rsid_scanner_free(s);
        });
    const double short_s = std::min(seconds, 10.0);
    const std::vector<float> iq24 = input(2.4e6, short_s, true, 1.0);
    std::printf("scanner, 2400000/s I/Q (one core): %.2fx real time\n", median_factor(short_s, [&] {
                    rsid::band_scanner s({2.4e6, true, 0.0, 1.0});
                    s.feed(iq24.data(), iq24.size() / 2, out);
                    s.finish(out);
                }));
    return 0;
}
