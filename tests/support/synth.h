// synth.h - identifiers made independently of the library's generator: the codeword of 131 as
// a literal (any other code from a Reed-Solomon encoder of its own, by polynomial division
// rather than the library's products), continuous-phase tones computed in double at any rate
// and start time.
#ifndef RSID_TESTS_SYNTH_H
#define RSID_TESTS_SYNTH_H

#include <array>
#include <cmath>
#include <complex>
#include <cstddef>
#include <numbers>
#include <random>
#include <vector>

namespace synth {

inline constexpr int codeword_131[15] = {0, 15, 7, 0, 4, 15, 12, 8, 8, 3, 11, 7, 11, 12, 3};
inline constexpr double symbol_s = 4456.0 / 48000.0; // one tone
inline constexpr double length_s = 15 * symbol_s;    // 1.3925 s

// GF(16) modulo x^4 + x^3 + 1, by shift and reduce.
inline int gf_mul(int a, int b) {
    int p = 0;
    for (int i = 0; i < 4; ++i) {
        if (b & (1 << i))
            p ^= a << i;
    }
    for (int bit = 6; bit >= 4; --bit) {
        if (p & (1 << bit))
            p ^= 0x19 << (bit - 4);
    }
    return p;
}

// The codeword of a code: message m(x) = (code >> 8) + ((code >> 4) & 15) x + (code & 15) x^2
// times g(x), the product of (x + a^i) for i = 1..12 with a = 2.
inline std::array<int, 15> codeword(int code) {
    std::array<int, 13> g{1}; // g(x), built up root by root
    int root = 1;
    for (int i = 1; i <= 12; ++i) {
        root = gf_mul(root, 2);
        for (int k = i; k >= 1; --k)
            g[k] = g[k - 1] ^ gf_mul(g[k], root);
        g[0] = gf_mul(g[0], root);
    }
    const int m[3] = {code >> 8, (code >> 4) & 15, code & 15};
    std::array<int, 15> c{};
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k <= 12; ++k)
            c[i + k] ^= gf_mul(m[i], g[k]);
    return c;
}

// Adds an identifier with tone 0 at base_hz and the given peak amplitude, starting start_s
// seconds into x (sampled at rate), with the phase continuous from tone to tone.
inline void add_identifier(std::vector<double>& x, double rate, double start_s, double base_hz,
                           double amplitude, int code = 131) {
    const std::array<int, 15> symbols = codeword(code);
    double phase = 0.0;
    const auto first = static_cast<std::size_t>(std::ceil(start_s * rate));
    double t_prev = start_s;
    for (std::size_t n = first; n < x.size(); ++n) {
        const double t = static_cast<double>(n) / rate;
        const double into = t - start_s;
        if (into >= length_s)
            break;
        const int sym = static_cast<int>(into / symbol_s);
        const double f = base_hz + symbols[sym] * 10.7666;
        phase += 2.0 * std::numbers::pi * f * (t - t_prev);
        t_prev = t;
        x[n] += amplitude * std::sin(phase);
    }
}

// White Gaussian noise whose power in 3 kHz gives the identifier of the given peak amplitude
// the given SNR (the tones' power A^2 / 2 against the noise in 3 kHz).
inline void add_noise(std::vector<double>& x, double rate, double amplitude, double snr_db,
                      unsigned seed) {
    const double in_3k = amplitude * amplitude / 2.0 / std::pow(10.0, snr_db / 10.0);
    const double sigma = std::sqrt(in_3k * (rate / 2.0) / 3000.0);
    std::mt19937 rng(seed);
    std::normal_distribution<double> gauss(0.0, sigma);
    for (double& v : x)
        v += gauss(rng);
}

// The identifier as upper-sideband I/Q: a complex tone of amplitude a whose frequency (against
// the centre) rises with the tone numbers.
inline void add_identifier_iq(std::vector<std::complex<double>>& x, double rate, double start_s,
                              double offset_hz, double amplitude) {
    double phase = 0.0;
    const auto first = static_cast<std::size_t>(std::ceil(start_s * rate));
    double t_prev = start_s;
    for (std::size_t n = first; n < x.size(); ++n) {
        const double t = static_cast<double>(n) / rate;
        const double into = t - start_s;
        if (into >= length_s)
            break;
        const double f = offset_hz + codeword_131[static_cast<int>(into / symbol_s)] * 10.7666;
        phase += 2.0 * std::numbers::pi * f * (t - t_prev);
        t_prev = t;
        x[n] += std::polar(amplitude, phase);
    }
}

// Complex white noise giving a complex tone of amplitude a the given SNR in 3 kHz (a^2 against
// the noise power in 3 kHz, as an upper-sideband receiver would hear it).
inline void add_noise_iq(std::vector<std::complex<double>>& x, double rate, double amplitude,
                         double snr_db, unsigned seed) {
    const double in_3k = amplitude * amplitude / std::pow(10.0, snr_db / 10.0);
    const double sigma = std::sqrt(in_3k * rate / 3000.0 / 2.0); // per component
    std::mt19937 rng(seed);
    std::normal_distribution<double> gauss(0.0, sigma);
    for (auto& v : x)
        v += std::complex<double>(gauss(rng), gauss(rng));
}

} // namespace synth

#endif
