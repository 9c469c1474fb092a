// scan_floor.cpp - the floor under the band scanner's speed: FFTW's own transform of the
// scanner's frame, and of the two-symbol frame (with the prime 557) it replaced.
//
//   scan_floor RATE
//
// Prints, for complex input at RATE frames per second, each length with FFTW's median time of
// one transform in CPU time of the thread (planned as the scanner plans, FFTW_ESTIMATE, eleven
// runs interleaved; the machine may be shared, and CPU time moves less with other work), the
// cost per input sample of one transform per frame, and the real-time factor of a scanner that
// did nothing but its four transforms per frame (one per half symbol).
#include "scanner.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: scan_floor RATE\n");
        return 2;
    }
    const double rate = std::atof(argv[1]);
    const rsid::band_scanner scanner({rate, true, 0.0, 1.0});
    const double hop = std::round(rate * 1114.0 / 6000.0 / 2.0) / 2.0; // half a symbol
    const int lengths[2] = {scanner.frame(),
                            2 * static_cast<int>(std::lround(rate * 1114.0 / 6000.0 / 2.0))};
    struct plan {
        int n;
        fftwf_complex *in, *out;
        fftwf_plan p;
        std::vector<double> took;
    } plans[2];
    for (int k = 0; k < 2; ++k) {
        plan& p = plans[k];
        p.n = lengths[k];
        p.in = fftwf_alloc_complex(static_cast<std::size_t>(p.n));
        p.out = fftwf_alloc_complex(static_cast<std::size_t>(p.n));
        p.p = fftwf_plan_dft_1d(p.n, p.in, p.out, FFTW_FORWARD, FFTW_ESTIMATE);
        for (int i = 0; i < p.n; ++i) {
            p.in[i][0] = static_cast<float>(std::sin(0.001 * i));
            p.in[i][1] = static_cast<float>(std::cos(0.003 * i));
        }
        fftwf_execute(p.p); // pages in
    }
    for (int r = 0; r < 11; ++r)
        for (plan& p : plans) {
            const double t0 = cpu_seconds();
            fftwf_execute(p.p);
            p.took.push_back(cpu_seconds() - t0);
        }
    for (int k = 0; k < 2; ++k) {
        plan& p = plans[k];
        std::sort(p.took.begin(), p.took.end());
        const double t = p.took[5];
        std::printf("  FFTW %8d points%s: %8.3f ms, %5.2f ns per input sample; 4 per frame: "
                    "%6.1fx real time\n",
                    p.n, k == 0 ? " (scanner)" : " (2 symbols)", t * 1e3, t / p.n * 1e9,
                    hop / (t * rate));
        fftwf_destroy_plan(p.p);
        fftwf_free(p.in);
        fftwf_free(p.out);
    }
    return 0;
}
