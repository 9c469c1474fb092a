// false_reports.cpp - how often the detector reports the identifier in white noise.
//
//   false_reports [HOURS [SEED]]
//
// Feeds HOURS hours (default 1) of white noise at 6000 samples/s per level through rsid_check,
// as a host would, and prints the reports per level. With no report in T hours, the rate is
// below 3/T per hour with 95% confidence (the rule of three), which is what the last column
// states. Each level has its own seed and ends with 2 s of silence, so that a match still held
// at its end is reported and counted.
#include "rsid.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

struct level {
    const char* name;
    bool gaussian; // else uniform over [-size, size]
    double size;   // half range, or standard deviation
};

long reports_in_noise(const level& l, double hours, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> uniform(-l.size, l.size + 1.0);
    std::normal_distribution<double> gaussian(0.0, l.size);
    double block[960];
    long reports = 0;
    const long blocks = std::lround(hours * 3600.0 * 6000.0 / 960.0);
    init_rsid();
    for (long b = 0; b < blocks; ++b) {
        for (double& v : block) // integer samples, clipped to 16 bits, as a sound card gives
            v = std::clamp(std::floor(l.gaussian ? gaussian(rng) : uniform(rng)), -32768.0,
                           32767.0);
        reports += rsid_check(block);
    }
    // Flush a match held at the end: 2 s of silence lets it be reported.
    std::fill(std::begin(block), std::end(block), 0.0);
    for (int b = 0; b < 13; ++b)
        reports += rsid_check(block);
    return reports;
}

} // namespace

int main(int argc, char** argv) {
    const double hours = argc > 1 ? std::atof(argv[1]) : 1.0;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 1;
    if (!(hours > 0.0)) {
        std::fprintf(stderr, "usage: %s [HOURS [SEED]]\n", argv[0]);
        return 2;
    }
    const level levels[] = {{"uniform, full 16-bit scale", false, 32767.0},
                            {"gaussian, sigma 8000", true, 8000.0},
                            {"gaussian, sigma 1000", true, 1000.0},
                            {"gaussian, sigma 100", true, 100.0},
                            {"uniform +-10", false, 10.0}};
    std::printf("%-28s %8s %8s %12s\n", "noise", "hours", "reports", "95% bound/h");
    long total = 0;
    unsigned s = seed;
    for (const level& l : levels) {
        long r = reports_in_noise(l, hours, s++);
        total += r;
        if (r == 0)
            std::printf("%-28s %8.1f %8ld %12.4f\n", l.name, hours, r, 3.0 / hours);
        else
            std::printf("%-28s %8.1f %8ld %12s\n", l.name, hours, r, "-");
        std::fflush(stdout);
    }
    const double all_hours = hours * static_cast<double>(std::size(levels));
    std::printf("all levels: %ld report(s) in %.1f hours of noise (seed %u)", total, all_hours,
                seed);
    if (total == 0)
        std::printf(", below %.4f per hour with 95%% confidence", 3.0 / all_hours);
    std::printf("\n");
    return 0;
}
