// reference.cpp - what the native build computes, for web/test/equality.test.mjs to compare the
// WebAssembly build with, bit for bit.
//
//   web_reference DIR   writes into DIR:
//     frames.f64       analysis frames (1114 little-endian doubles each) of many kinds
//     magnitudes.i32   their magnitudes from rsid_spectrum (334 int32 each)
//     stream.f32       a stream at 6000/s on the +-1 scale (float32): noise and identifiers
//     detections.txt   what the native stream detector reports in it, one line per detection,
//                      every number as a C hexadecimal float so that nothing is rounded
#include "rsid_signal.h"
#include "rsid_state.h"
#include "stream.h"
#include "synth.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace rsid_signal;

constexpr unsigned seed = 16; // fixed: the files are the same on every run

// Frame kinds: noise at several levels, tones, an identifier's two symbols, clicks, and the
// values that stress the arithmetic (huge, tiny, non-finite, saturating).
void make_frame(std::mt19937& rng, int kind, double* x) {
    std::uniform_real_distribution<double> uniform(-32768.0, 32767.0);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::uniform_real_distribution<double> hz(100.0, 2900.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double two_pi = 2.0 * std::numbers::pi;
    switch (kind) {
    case 0: // full-scale integers
        for (int j = 0; j < frame; ++j)
            x[j] = std::trunc(uniform(rng));
        break;
    case 1: // quiet gaussian noise, not integers
        for (int j = 0; j < frame; ++j)
            x[j] = gauss(rng) * 3.0;
        break;
    case 2: { // two tones and noise
        const double f1 = hz(rng), f2 = hz(rng), p = two_pi * unit(rng);
        for (int j = 0; j < frame; ++j)
            x[j] = 12000.0 * std::sin(two_pi * f1 * j / rx_rate + p) +
                   3000.0 * std::sin(two_pi * f2 * j / rx_rate) + gauss(rng) * 500.0;
        break;
    }
    case 3: { // exactly on a bin, where magnitudes sit near integers
        const int bin = first_bin + static_cast<int>(unit(rng) * bins);
        for (int j = 0; j < frame; ++j)
            x[j] = std::round(20000.0 * std::cos(two_pi * bin * j / frame));
        break;
    }
    case 4: { // two symbols of an identifier, continuous phase
        const double base = 600.0 + unit(rng) * 1600.0;
        const int a = static_cast<int>(unit(rng) * 16), b = static_cast<int>(unit(rng) * 16);
        double phase = 0.0;
        for (int j = 0; j < frame; ++j) {
            phase += two_pi * (base + (j < symbol_rx_samples ? a : b) * tone_spacing_hz) / rx_rate;
            x[j] = std::trunc(peak * std::sin(phase));
        }
        break;
    }
    case 5: // sparse clicks
        for (int j = 0; j < frame; ++j)
            x[j] = unit(rng) < 0.01 ? uniform(rng) : 0.0;
        break;
    case 6: // silence
        for (int j = 0; j < frame; ++j)
            x[j] = 0.0;
        break;
    case 7: // full scale at the Nyquist frequency
        for (int j = 0; j < frame; ++j)
            x[j] = j % 2 ? 32767.0 : -32768.0;
        break;
    default: { // one hostile value in every third sample, noise between
        const double special[] = {1e300,
                                  -1e300,
                                  1e-310, // subnormal
                                  1e15,   // magnitudes past the int32 range: saturated
                                  std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::quiet_NaN()};
        for (int j = 0; j < frame; ++j)
            x[j] = j % 3 == 0 ? special[kind - 8] : gauss(rng) * 100.0;
        break;
    }
    }
}

constexpr int frame_kinds = 8 + 6;

bool write(const std::string& path, const void* data, std::size_t bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool ok = std::fwrite(data, 1, bytes, f) == bytes;
    return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: web_reference DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    std::mt19937 rng(seed);

    // Frames and their magnitudes: 40 of each kind.
    const int count = frame_kinds * 40;
    std::vector<double> frames(static_cast<std::size_t>(count) * frame);
    std::vector<int32_t> magnitudes(static_cast<std::size_t>(count) * bins);
    const rsid_tables& tables = rsid_shared_tables();
    for (int i = 0; i < count; ++i) {
        double* x = frames.data() + static_cast<std::size_t>(i) * frame;
        make_frame(rng, i % frame_kinds, x);
        rsid_spectrum(&tables, x, magnitudes.data() + static_cast<std::size_t>(i) * bins);
    }

    // A stream: 80 s of noise with identifiers across the band, at several levels, two of them
    // overlapping in time, the last one ending in the stream's last second.
    std::vector<double> x(80 * rx_rate);
    struct placed {
        double start_s, base_hz, amplitude;
    };
    const placed ids[] = {{1.0, 1500.0, 0.5},  {6.3, 612.0, 0.05},   {12.1, 2210.0, 0.3},
                          {20.0, 1000.0, 0.2}, {20.4, 1800.0, 0.2},  {30.7, 1234.5, 0.02},
                          {41.2, 777.0, 0.9},  {55.55, 2000.0, 0.1}, {78.4, 1650.0, 0.4}};
    for (const placed& p : ids)
        synth::add_identifier(x, rx_rate, p.start_s, p.base_hz, p.amplitude);
    synth::add_noise(x, rx_rate, 0.05, 0.0, seed); // noise as strong as a 0.05 identifier
    std::vector<float> stream(x.begin(), x.end());

    rsid::stream_detector detector(rx_rate, 1.0); // +-1 scale, as the browser's samples are
    std::vector<rsid::detection> found;
    detector.feed(stream.data(), stream.size(), found);
    detector.finish(found);

    std::string text;
    for (const rsid::detection& d : found) {
        char line[512];
        std::snprintf(line, sizeof line, "%a %a %a %a %a %a %a %a %a\n", d.time_s,
                      static_cast<double>(d.sample), d.freq_hz, d.snr_db, d.level_dbfs,
                      static_cast<double>(d.code), d.start, static_cast<double>(d.bin),
                      static_cast<double>(d.distance));
        text += line;
    }

    if (!write(dir + "/frames.f64", frames.data(), frames.size() * sizeof(double)) ||
        !write(dir + "/magnitudes.i32", magnitudes.data(), magnitudes.size() * sizeof(int32_t)) ||
        !write(dir + "/stream.f32", stream.data(), stream.size() * sizeof(float)) ||
        !write(dir + "/detections.txt", text.data(), text.size())) {
        std::perror(dir.c_str());
        return 1;
    }
    std::printf("%d frames, %zu samples, %zu detections\n", count, stream.size(), found.size());
    return 0;
}
