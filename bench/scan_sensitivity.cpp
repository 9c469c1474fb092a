// scan_sensitivity.cpp - the band scanner's 50 % detection points across a band, against the
// narrowband detector's.
//
//   scan_sensitivity [--rate R] [--trials N] [--seed N] SNR...
//
// A trial is 3 s of complex white noise at R (default 192000) I/Q frames per second with one
// identifier (code 131, tests/support/synth.h) starting at 0.3 to 1.2 s, its tone 0 at one of
// five offsets: the lowest and highest the band holds, and three a quarter bin apart mid-band.
// Found: a report within 6 Hz and 50 ms. The narrowband detector runs the same trials as real
// 48 kHz audio (tone 0 from 700 to 2000 Hz). SNR in 3 kHz, as the reports give it. Trial t uses
// the same noise seed in every build, so two builds compare on the same trials.
#include "scanner.h"
#include "stream.h"
#include "synth.h"

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

bool hit(const std::vector<rsid::detection>& out, double freq_hz, double start_s) {
    for (const auto& r : out)
        if (r.code == 131 && std::abs(r.freq_hz - freq_hz) <= 6.0 &&
            std::abs(r.time_s - start_s) <= 0.05)
            return true;
    return false;
}

// The SNR where the found fraction crosses one half, linear between the grid's points.
double half_point(const std::vector<double>& snrs, const std::vector<double>& found) {
    for (std::size_t i = 1; i < snrs.size(); ++i)
        if (found[i - 1] < 0.5 && found[i] >= 0.5)
            return snrs[i - 1] +
                   (0.5 - found[i - 1]) / (found[i] - found[i - 1]) * (snrs[i] - snrs[i - 1]);
    return NAN;
}

} // namespace

int main(int argc, char** argv) {
    double rate = 192000.0;
    int trials = 60;
    unsigned seed = 1;
    std::vector<double> snrs;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rate") == 0 && i + 1 < argc)
            rate = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--trials") == 0 && i + 1 < argc)
            trials = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc)
            seed = static_cast<unsigned>(std::atoi(argv[++i]));
        else
            snrs.push_back(std::atof(argv[i]));
    }
    if (snrs.empty()) {
        std::fprintf(stderr, "usage: %s [--rate R] [--trials N] [--seed N] SNR...\n", argv[0]);
        return 2;
    }
    const double bin = 6000.0 / 1114.0, width_hz = 15 * 10.7666; // tone 0 to tone 15
    struct place {
        const char* name;
        double offset_hz;
    };
    const place places[] = {{"low edge", -rate / 2.0 + 3.0},
                            {"high edge", rate / 2.0 - width_hz - 6.0 * bin},
                            {"mid +0", rate / 8.0 + 0.3},
                            {"mid +1/4 bin", rate / 8.0 + 0.3 + bin / 4.0},
                            {"mid +1/2 bin", rate / 8.0 + 0.3 + bin / 2.0}};
    std::printf("%-13s", "snr_db");
    for (const double snr : snrs)
        std::printf(" %6.1f", snr);
    std::printf("   50 %% point\n");
    const double amplitude = 0.01;
    for (const place& p : places) {
        std::vector<double> found;
        for (const double snr : snrs) {
            int n = 0;
            for (int t = 0; t < trials; ++t) {
                std::mt19937 rng(seed * 7919u + static_cast<unsigned>(t));
                const double start = std::uniform_real_distribution<double>(0.3, 1.2)(rng);
                std::vector<std::complex<double>> x(static_cast<std::size_t>(3.0 * rate));
                synth::add_identifier_iq(x, rate, start, p.offset_hz, amplitude);
                synth::add_noise_iq(x, rate, amplitude, snr, static_cast<unsigned>(rng()));
                std::vector<float> f(2 * x.size());
                for (std::size_t i = 0; i < x.size(); ++i) {
                    f[2 * i] = static_cast<float>(x[i].real());
                    f[2 * i + 1] = static_cast<float>(x[i].imag());
                }
                rsid::band_scanner s({rate, true, 0.0, 1.0});
                std::vector<rsid::detection> out;
                s.feed(f.data(), x.size(), out);
                s.finish(out);
                n += hit(out, p.offset_hz, start) ? 1 : 0;
            }
            found.push_back(static_cast<double>(n) / trials);
        }
        std::printf("%-13s", p.name);
        for (const double v : found)
            std::printf(" %6.2f", v);
        std::printf("   %6.2f dB\n", half_point(snrs, found));
        std::fflush(stdout);
    }
    std::vector<double> found;
    for (const double snr : snrs) {
        int n = 0;
        for (int t = 0; t < trials; ++t) {
            std::mt19937 rng(seed * 7919u + static_cast<unsigned>(t));
            const double start = std::uniform_real_distribution<double>(0.3, 1.2)(rng);
            const double base = std::uniform_real_distribution<double>(700.0, 2000.0)(rng);
            std::vector<double> x(static_cast<std::size_t>(3.0 * 48000.0));
            synth::add_identifier(x, 48000.0, start, base, 3000.0);
            synth::add_noise(x, 48000.0, 3000.0, snr, static_cast<unsigned>(rng()));
            rsid::stream_detector d(48000.0);
            std::vector<rsid::detection> out;
            d.feed(x.data(), x.size(), out);
            d.finish(out);
            n += hit(out, base, start) ? 1 : 0;
        }
        found.push_back(static_cast<double>(n) / trials);
    }
    std::printf("%-13s", "detector");
    for (const double v : found)
        std::printf(" %6.2f", v);
    std::printf("   %6.2f dB\n", half_point(snrs, found));
    return 0;
}
