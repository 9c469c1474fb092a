// row_spectrum_kernel.h - the correlation behind row_spectrum.h, compiled once per instruction
// set with the library's transforms (rx/spectrum_kernel.h).
//
// With z = x0 + i x1 (the frame's two halves in discrete-log order, as the library packs them)
// and C the parity-0 table of cos + i sin, one cyclic correlation of length 556,
//   G[f] = sum_e z[e] C[(e + f) mod 556],
// holds every bin: C[e + 278] is conj C[e], so G[f] and G[f + 278] give the four real sums of
// both halves with cos and sin at shift f (row_spectrum.cpp). The library takes one
// correlation per half and per parity of the bin instead, so that each sum is the same
// products as the direct DFT: four lanes where two do here.
//
// The correlation is a transform of 1024 points: the forward transform of z (the library's),
// per frequency k the products of Z[-k] with the spectra of two tables D_l[m] = C[(m + 469 l)
// mod 556] (shifts 0..468 from lane 0, 469..555 from lane 1), and one inverse transform of the
// two lanes at once. Every path runs the same operations on each element in the same order, as
// the library's do, so all paths agree bit for bit.
#ifndef RSID_ENGINE_ROW_SPECTRUM_KERNEL_H
#define RSID_ENGINE_ROW_SPECTRUM_KERNEL_H

#include "rx/spectrum_kernel.h"

#include <cstdint>

namespace rsid {

inline constexpr int row_split = 469; // shifts below come from lane 0, the rest from lane 1

struct row_tables {
    // Per frequency k = p + 256 m: the spectra of D_0 and D_1 over 1024 (the inverse
    // transform's scale), at dh[p][m][part][lane] with parts re, im.
    double dh[256][4][2][2];
    // Per bin 111 + i: where G[f] and G[f + 278] of its shift f sit in the output.
    int16_t at[334][2];
    double window[2][556]; // the window in the frame's discrete-log order
};

// g_re, g_im: elements 0..511 of the two lanes' outputs, interleaved (element m of lane l at
// 2 m + l).
void row_sums_baseline(const rsid_log_frame& f, const rsid_log_tables& t, const row_tables& r,
                       double* g_re, double* g_im);
void row_sums_avx(const rsid_log_frame& f, const rsid_log_tables& t, const row_tables& r,
                  double* g_re, double* g_im);
void row_sums_avx512(const rsid_log_frame& f, const rsid_log_tables& t, const row_tables& r,
                     double* g_re, double* g_im);

} // namespace rsid

#ifdef RSID_KERNEL_BODY
namespace {

// The products, fused with the first inverse stage (n 1024, s 1) over the two lanes.
inline void row_products(const rsid_log_tables& t, const rsid::row_tables& r, const double* z_re,
                         const double* z_im, double* a_re, double* a_im) {
    for (int p = 0; p < 256; ++p) {
        pair_lanes pr[4];
        pair_lanes pi[4];
        for (int m = 0; m < 4; ++m) {
            const int mirror = (1024 - (p + 256 * m)) & 1023;
            const auto zr = splat<pair_lanes>(z_re[mirror]);
            const auto zi = splat<pair_lanes>(z_im[mirror]);
            const auto dr = load<pair_lanes>(r.dh[p][m][0]);
            const auto di = load<pair_lanes>(r.dh[p][m][1]);
            pr[m] = zr * dr - zi * di;
            pi[m] = zr * di + zi * dr;
        }
        const double w_re[3] = {t.w_re[p], t.w_re[2 * p], t.w_re[3 * p]};
        const double w_im[3] = {t.w_im[p], t.w_im[2 * p], t.w_im[3 * p]};
        butterfly<pair_lanes, true> b{pr[0], pi[0], pr[1], pi[1], pr[2],
                                      pi[2], pr[3], pi[3], {},    {}};
        b.run(p != 0, w_re, w_im);
        for (int q = 0; q < 4; ++q) {
            store(a_re + 8 * p + 2 * q, b.yr[q]);
            store(a_im + 8 * p + 2 * q, b.yi[q]);
        }
    }
}

template <typename V>
inline void row_sums(const rsid_log_frame& f, const rsid_log_tables& t, const rsid::row_tables& r,
                     double* g_re, double* g_im) {
    constexpr int W = sizeof(V) / sizeof(double);
    double a_re[2048];
    double a_im[2048];
    double b_re[2048];
    double b_im[2048];
    forward<V>(f, t, a_re, a_im, b_re, b_im); // Z in b[0, 1024)
    row_products(t, r, b_re, b_im, a_re, a_im);
    const double* m_re = b_re; // the input of the last two stages
    const double* m_im = b_im;
    if constexpr (W >= 8) { // 32 registers: two stages per pass
        two_stages<V, true, 2>(t, 256, 4, a_re, a_im, b_re, b_im);
    } else {
        stage<V, true, 2>(t, 256, 4, a_re, a_im, b_re, b_im);
        stage<V, true, 2>(t, 64, 16, b_re, b_im, a_re, a_im);
        m_re = a_re;
        m_im = a_im;
    }
    last_stages<V, 2>(t, m_re, m_im, g_re, g_im); // elements below 512: all that is read
}

} // namespace
#endif

#endif
