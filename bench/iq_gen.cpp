// iq_gen.cpp - I/Q test input for the scan benchmark: Gaussian noise with an identifier every
// few seconds at offsets across the band, written to stdout as raw cf32, cs16 or cu8.
//
//   iq_gen cf32|cs16|cu8 RATE SECONDS [SEED] > file
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: iq_gen cf32|cs16|cu8 RATE SECONDS [SEED]\n");
        return 2;
    }
    const bool cu8 = std::strcmp(argv[1], "cu8") == 0, cs16 = std::strcmp(argv[1], "cs16") == 0;
    const double rate = std::atof(argv[2]), seconds = std::atof(argv[3]);
    std::mt19937 rng(argc > 4 ? static_cast<unsigned>(std::atoi(argv[4])) : 1u);
    std::normal_distribution<double> noise(0.0, 0.05);
    std::uniform_real_distribution<double> where(-0.45, 0.45);
    constexpr int codeword[15] = {0, 15, 7, 0, 4, 15, 12, 8, 8, 3, 11, 7, 11, 12, 3};
    const double symbol = 4456.0 / 48000.0;
    const auto frames = static_cast<std::size_t>(rate * seconds);
    const std::size_t block = 1 << 16;
    std::vector<float> f(2 * block);
    std::vector<uint8_t> b(2 * block);
    std::vector<int16_t> w(2 * block);
    double offset = where(rng) * rate, phase = 0.0;
    for (std::size_t i0 = 0; i0 < frames; i0 += block) {
        const std::size_t n = std::min(block, frames - i0);
        for (std::size_t i = 0; i < n; ++i) {
            const double t = static_cast<double>(i0 + i) / rate;
            const double into = std::fmod(t, 5.0); // one identifier every 5 s
            std::complex<double> v(noise(rng), noise(rng));
            if (into < 15 * symbol) {
                phase += 2.0 * std::numbers::pi *
                         (offset + 10.7666 * codeword[static_cast<int>(into / symbol)]) / rate;
                v += std::polar(0.05, phase);
            } else if (into < 15 * symbol + 1.0 / rate) {
                offset = where(rng) * rate;
            }
            f[2 * i] = static_cast<float>(v.real());
            f[2 * i + 1] = static_cast<float>(v.imag());
            b[2 * i] =
                static_cast<uint8_t>(std::clamp(std::lround(v.real() * 128 + 127.5), 0L, 255L));
            b[2 * i + 1] =
                static_cast<uint8_t>(std::clamp(std::lround(v.imag() * 128 + 127.5), 0L, 255L));
            w[2 * i] =
                static_cast<int16_t>(std::clamp(std::lround(v.real() * 32768), -32768L, 32767L));
            w[2 * i + 1] =
                static_cast<int16_t>(std::clamp(std::lround(v.imag() * 32768), -32768L, 32767L));
        }
        const bool ok = cu8    ? std::fwrite(b.data(), 1, 2 * n, stdout) == 2 * n
                        : cs16 ? std::fwrite(w.data(), sizeof(int16_t), 2 * n, stdout) == 2 * n
                               : std::fwrite(f.data(), sizeof(float), 2 * n, stdout) == 2 * n;
        if (!ok)
            return 3;
    }
    return 0;
}
