// spectrum.cpp - magnitudes of DFT bins 111..444 of the Hann-windowed 1114-sample frame.
//
// A direct DFT over the tables: every bin is the sum of x[j] * table[(j * k) mod 1114] over all
// 1114 samples. The sums are taken in discrete-log order (spectrum_kernel.h) so that they run
// over contiguous memory with wide registers; the instruction set is picked at run time.
#include "rsid_state.h"
#include "spectrum_kernel.h"

#include <cmath>

namespace {

// Truncates toward zero. A magnitude past the int32 range (huge input) saturates; NaN (from NaN
// or infinite input) becomes 0 instead of an undefined conversion.
int32_t to_magnitude(double m) {
    if (!(m >= 0.0))
        return 0;
    if (m >= 2147483648.0)
        return 2147483647;
    return static_cast<int32_t>(m); // truncate, don't round: results must match bit for bit
}

#ifdef RSID_HAVE_AVX
bool cpu_has_avx() {
    __builtin_cpu_init();                      // asked here, not left to a constructor at load time
    return __builtin_cpu_supports("avx") != 0; // CPU and OS both
}
#endif

} // namespace

bool rsid_path_supported(int path) {
    if (path == rsid_path_baseline)
        return true;
#ifdef RSID_HAVE_AVX
    if (path == rsid_path_avx) {
        static const bool usable = cpu_has_avx(); // once, under the runtime's guard
        return usable;
    }
#endif
    return false;
}

void rsid_spectrum_on(int path, const rsid_tables& t, const double* frame, int32_t* magnitudes) {
    const double* window = t.window_table;
    const auto& pos = rsid_log::order.pos;
    rsid_log_frame log_frame; // the windowed frame in discrete-log order
    for (int p = 0; p < 2; ++p) {
        for (int e = 0; e < 556; ++e) {
            int j = pos[p][e];
            log_frame.x[p][e] = frame[j] * window[j];
        }
    }

    double re[334];
    double im[334];
#ifdef RSID_HAVE_AVX
    if (path == rsid_path_avx && rsid_path_supported(path))
        rsid_dft_sums_avx(log_frame, t.log, re, im);
    else
#endif
        rsid_dft_sums_baseline(log_frame, t.log, re, im);
    (void)path;

    // Samples 0 and 557 lie outside the multiplicative group; (557 * k) mod 1114 is 557 for odd
    // k and 0 for even k.
    const double x0 = frame[0] * window[0];
    const double x557 = frame[557] * window[557];
    for (int i = 0; i < 334; ++i) {
        const int half = ((111 + i) & 1) ? 557 : 0;
        double r = re[i] + x0 * t.cos_table[0] + x557 * t.cos_table[half];
        double m = im[i] + x0 * t.sin_table[0] + x557 * t.sin_table[half];
        r *= 0.0008976660682226212; // 1 / 1114
        m *= 0.0008976660682226212;
        magnitudes[i] = to_magnitude(std::sqrt(r * r + m * m));
    }
}

void rsid_spectrum(const rsid_tables* tables, const double* frame, int32_t* magnitudes) {
    if (tables == nullptr) { // not initialised: the window is all zero
        for (int i = 0; i < 334; ++i)
            magnitudes[i] = 0;
        return;
    }
    rsid_spectrum_on(tables->path, *tables, frame, magnitudes);
}
