// spectrum.cpp - magnitudes of DFT bins 111..444 of the Hann-windowed 1114-sample frame.
//
// A direct DFT over the tables: every bin is the sum of x[j] * table[(j * k) mod 1114] over all
// 1114 samples. The sums are taken in discrete-log order (spectrum_kernel.h) so that they run
// over contiguous memory with wide registers; the instruction set is picked at run time.
#include "rsid_state.h"
#include "spectrum_kernel.h"

#include <cmath>
#include <cstring>
#include <utility>

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

// cos and sin of 2 pi m / 1024 for m = 0..256 by bisection: half angles from square roots,
// then cos a = (cos(a - h) + cos(a + h)) / (2 cos h) and likewise for sin. Only operations that
// IEEE 754 rounds correctly, so the bits are the same on every platform and maths library.
void quarter_circle(double* cq, double* sq) {
    cq[0] = 1.0;
    sq[0] = 0.0;
    cq[256] = 0.0;
    sq[256] = 1.0;
    for (int h = 128; h >= 1; h /= 2) {
        cq[h] = std::sqrt((1.0 + cq[2 * h]) * 0.5);
        sq[h] = sq[2 * h] / (2.0 * cq[h]);
        for (int m = 3 * h; m < 256; m += 2 * h) {
            cq[m] = (cq[m - h] + cq[m + h]) / (2.0 * cq[h]);
            sq[m] = (sq[m - h] + sq[m + h]) / (2.0 * cq[h]);
        }
    }
}

// Forward transform of 1024 points in place (radix-4 Stockham, natural order), for the tables.
void forward_1024(const rsid_log_tables& t, double* re, double* im) {
    double y_re[1024];
    double y_im[1024];
    double* x_r = re;
    double* x_i = im;
    double* y_r = y_re;
    double* y_i = y_im;
    for (int n = 1024, s = 1; n > 1; n /= 4, s *= 4) {
        const int quarter = n / 4;
        for (int p = 0; p < quarter; ++p) {
            for (int q = 0; q < s; ++q) {
                double ar[4];
                double ai[4];
                for (int r = 0; r < 4; ++r) {
                    ar[r] = x_r[q + s * (p + r * quarter)];
                    ai[r] = x_i[q + s * (p + r * quarter)];
                }
                const double sr = ar[0] + ar[2];
                const double si = ai[0] + ai[2];
                const double mr = ar[0] - ar[2];
                const double mi = ai[0] - ai[2];
                const double tr = ar[1] + ar[3];
                const double ti = ai[1] + ai[3];
                const double ur = ar[1] - ar[3];
                const double ui = ai[1] - ai[3];
                const double vr[4] = {sr + tr, mr + ui, sr - tr, mr - ui};
                const double vi[4] = {si + ti, mi - ur, si - ti, mi + ur};
                for (int r = 0; r < 4; ++r) {
                    const int w = r * p * (1024 / n);
                    const int out = q + s * (4 * p + r);
                    y_r[out] = vr[r] * t.w_re[w] - vi[r] * t.w_im[w];
                    y_i[out] = vr[r] * t.w_im[w] + vi[r] * t.w_re[w];
                }
            }
        }
        std::swap(x_r, y_r);
        std::swap(x_i, y_i);
    }
    if (x_r != re) { // five stages: the result is in the scratch arrays
        std::memcpy(re, x_r, sizeof y_re);
        std::memcpy(im, x_i, sizeof y_im);
    }
}

#ifdef RSID_HAVE_AVX
bool cpu_has(int path) {
    __builtin_cpu_init(); // asked here, not left to a constructor at load time
    if (path == rsid_path_avx512)
        return __builtin_cpu_supports("avx512f") != 0; // CPU and OS both
    return __builtin_cpu_supports("avx") != 0;
}
#endif

} // namespace

void rsid_log_tables_derive(rsid_log_tables& t) {
    double cq[257];
    double sq[257];
    quarter_circle(cq, sq);
    for (int m = 0; m < 1024; ++m) {
        const int r = m % 256;
        const double c[4] = {cq[r], -sq[r], -cq[r], sq[r]}; // cos by quadrant
        const double s[4] = {sq[r], cq[r], -sq[r], -cq[r]}; // sin by quadrant
        t.w_re[m] = c[m / 256];
        t.w_im[m] = -s[m / 256];
    }
    for (int r = 0; r < 3; ++r) {
        for (int p = 0; p < 256; ++p) {
            t.w1_re[r][p] = t.w_re[(r + 1) * p];
            t.w1_im[r][p] = t.w_im[(r + 1) * p];
        }
    }

    // Spectra of the four tables D[m] = C_q[(m + offset) mod 556], offsets 0 and split.
    double d_re[2][2][1024];
    double d_im[2][2][1024]; // [q][offset]
    for (int q = 0; q < 2; ++q) {
        for (int b = 0; b < 2; ++b) {
            for (int m = 0; m < 1024; ++m) {
                const int e = (m + b * rsid_log::split) % 556;
                d_re[q][b][m] = t.c[q][e];
                d_im[q][b][m] = t.s[q][e];
            }
            forward_1024(t, d_re[q][b], d_im[q][b]);
        }
    }
    // Lanes: odd bins (x0 with C_0, x1 with C_1), then even bins (both with C_0), each for the
    // two offsets. g carries 1 / 2 (A = 2 X0) and 1 / 1024 (the inverse transform); h carries
    // i / 2 (conj X1 = conj(B) i / 2) and 1 / 1024. All are exact.
    const int h_q[4] = {1, 1, 0, 0};
    for (int k = 0; k < 1024; ++k) {
        for (int l = 0; l < 4; ++l) {
            const int b = l & 1;
            double* gh[4] = {t.gh[k % 256][k / 256][0], t.gh[k % 256][k / 256][1],
                             t.gh[k % 256][k / 256][2], t.gh[k % 256][k / 256][3]};
            gh[0][l] = d_re[0][b][k] * (1.0 / 2048);
            gh[1][l] = d_im[0][b][k] * (1.0 / 2048);
            gh[2][l] = -d_im[h_q[l]][b][k] * (1.0 / 2048);
            gh[3][l] = d_re[h_q[l]][b][k] * (1.0 / 2048);
        }
    }
}

bool rsid_path_supported(int path) {
    if (path == rsid_path_baseline)
        return true;
#ifdef RSID_HAVE_AVX
    if (path == rsid_path_avx) {
        static const bool usable = cpu_has(path); // once, under the runtime's guard
        return usable;
    }
    if (path == rsid_path_avx512) {
        static const bool usable = cpu_has(path);
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
    if (path == rsid_path_avx512 && rsid_path_supported(path))
        rsid_dft_sums_avx512(log_frame, t.log, re, im);
    else if (path == rsid_path_avx && rsid_path_supported(path))
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
