// row_spectrum.cpp - the tables of the rows' correlation, the paths, and the bins from it.
#include "row_spectrum.h"

#include "row_spectrum_kernel.h"
#include "rsid_state.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <numbers>

namespace rsid {

namespace {

const row_tables& tables() {
    static const row_tables r = [] {
        const rsid_log_tables& t = rsid_shared_tables().log;
        row_tables out{};
        // The spectra of D_l[m] = C[(m + 469 l) mod 556], C = cos + i sin of the parity-0
        // table, by the direct sum (once; the last bits do not matter here).
        double cos_1024[1024];
        double sin_1024[1024];
        for (int m = 0; m < 1024; ++m) {
            cos_1024[m] = std::cos(2.0 * std::numbers::pi * m / 1024.0);
            sin_1024[m] = std::sin(2.0 * std::numbers::pi * m / 1024.0);
        }
        for (int l = 0; l < 2; ++l) {
            for (int k = 0; k < 1024; ++k) {
                double re = 0.0;
                double im = 0.0;
                for (int m = 0; m < 1024; ++m) {
                    const int e = (m + l * row_split) % 556;
                    const int a = (m * k) & 1023; // e^(-2 pi i m k / 1024)
                    re += t.c[0][e] * cos_1024[a] + t.s[0][e] * sin_1024[a];
                    im += t.s[0][e] * cos_1024[a] - t.c[0][e] * sin_1024[a];
                }
                out.dh[k % 256][k / 256][0][l] = re / 1024.0;
                out.dh[k % 256][k / 256][1][l] = im / 1024.0;
            }
        }
        for (int p = 0; p < 2; ++p) {
            for (int e = 0; e < 556; ++e)
                out.window[p][e] = rsid_shared_tables().window_table[rsid_log::order.pos[p][e]];
        }
        auto at = [](int f) { return f < row_split ? 2 * f : 2 * (f - row_split) + 1; };
        for (int i = 0; i < 334; ++i) {
            const int f = rsid_log::order.shift[i];
            out.at[i][0] = static_cast<int16_t>(at(f));
            out.at[i][1] = static_cast<int16_t>(at((f + 278) % 556));
        }
        return out;
    }();
    return r;
}

// As the library's: truncated, NaN 0, the largest int32_t at most; comparisons only, so that
// the loop over the bins vectorises.
int32_t to_magnitude(double m) {
    const double kept = m >= 0.0 ? m : 0.0;
    return static_cast<int32_t>(kept < 2147483647.0 ? kept : 2147483647.0);
}

} // namespace

void row_spectrum_on(int path, const double* frame, int32_t* magnitudes) {
    const rsid_tables& t = rsid_shared_tables();
    const row_tables& r = tables();
    const double* window = t.window_table;
    const auto& pos = rsid_log::order.pos;
    rsid_log_frame log_frame;
    for (int p = 0; p < 2; ++p) {
        for (int e = 0; e < 556; ++e)
            log_frame.x[p][e] = frame[pos[p][e]] * r.window[p][e];
    }
    double g_re[1024];
    double g_im[1024];
#ifdef RSID_HAVE_AVX
    if (path == rsid_path_avx512 && rsid_path_supported(path))
        row_sums_avx512(log_frame, t.log, r, g_re, g_im);
    else if (path == rsid_path_avx && rsid_path_supported(path))
        row_sums_avx(log_frame, t.log, r, g_re, g_im);
    else
#endif
        row_sums_baseline(log_frame, t.log, r, g_re, g_im);
    (void)path;

    // Samples 0 and 557 lie outside the multiplicative group, as in the library's spectrum.
    const double x0 = frame[0] * window[0];
    const double x557 = frame[557] * window[557];
    double power[334];
    for (int i = 0; i < 334; ++i) {
        const int g = r.at[i][0];
        const int h = r.at[i][1];
        // G[f] = (S0 - T1) + i (T0 + S1) and G[f + 278] = (S0 + T1) + i (S1 - T0), with S_p
        // and T_p half p's sums with cos and sin.
        const double s0 = 0.5 * (g_re[g] + g_re[h]);
        const double s1 = 0.5 * (g_im[g] + g_im[h]);
        const double t0 = 0.5 * (g_im[g] - g_im[h]);
        const double t1 = 0.5 * (g_re[h] - g_re[g]);
        const bool odd = ((111 + i) & 1) != 0; // odd bins take half 1 with the other sign
        const int half = odd ? 557 : 0;
        double re = (odd ? s0 - s1 : s0 + s1) + x0 * t.cos_table[0] + x557 * t.cos_table[half];
        double im = (odd ? t0 - t1 : t0 + t1) + x0 * t.sin_table[0] + x557 * t.sin_table[half];
        re *= 0.0008976660682226212; // 1 / 1114
        im *= 0.0008976660682226212;
        power[i] = re * re + im * im;
    }
    for (int i = 0; i < 334; ++i)
        magnitudes[i] = to_magnitude(std::sqrt(power[i]));
}

void row_spectrum(const double* frame, int32_t* magnitudes) {
#ifdef RSID_HAVE_AVX
    // Every path gives the same magnitudes, so the fastest is taken, timed once: the widest
    // registers are not always it (on CPUs that split 512-bit operations in two, AVX runs the
    // rows' narrow lanes faster than AVX-512).
    static const int fastest = [] {
        double test[1114];
        for (int j = 0; j < 1114; ++j)
            test[j] = static_cast<double>((j * 7919) % 2001 - 1000);
        int32_t out[334];
        int best = rsid_path_baseline;
        double best_time = std::numeric_limits<double>::infinity();
        for (int path = 0; path < rsid_path_count; ++path) {
            if (!rsid_path_supported(path))
                continue;
            double shortest = std::numeric_limits<double>::infinity();
            for (int run = 0; run < 24; ++run) {
                const auto start = std::chrono::steady_clock::now();
                row_spectrum_on(path, test, out);
                const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
                shortest = std::min(shortest, took.count());
            }
            if (shortest < best_time)
                best = path, best_time = shortest;
        }
        return best;
    }();
#else
    constexpr int fastest = rsid_path_baseline; // the only path (a clock is not asked for either)
#endif
    row_spectrum_on(fastest, frame, magnitudes);
}

} // namespace rsid
