// spectrum_kernel.h - the DFT sums in discrete-log order; compiled once per instruction set.
//
// The frame length 1114 is 2 * 557 with 557 prime, and 2 generates the multiplicative group
// modulo 557. Every sample index j other than 0 and 557 is therefore (by the Chinese remainder
// theorem) the pair (j mod 2, 2^e mod 557), and (j * k) mod 1114 for bin k is the pair
// (j * k mod 2, 2^(e + log k) mod 557). With the frame and the tables stored in this order the
// table entry of every product x[j] * table[(j * k) mod 1114] sits at a fixed shift, log k, from
// its sample: each bin becomes two contiguous dot products. The products are exactly those of
// the direct DFT; only the order in which they are summed differs.
//
// Each bin is summed in four lanes, lane l taking the positions e = l (mod 4), even samples
// first, then odd; the lanes are then added as (l0 + l1) + (l2 + l3). Every instruction set
// runs these same operations in this same order, so all paths agree bit for bit. The file is
// included by one source per instruction set and must not pull in any inline function that
// another source could share: the AVX source is compiled with -mavx.
#ifndef RSID_SPECTRUM_KERNEL_H
#define RSID_SPECTRUM_KERNEL_H

#include <cstdint>

struct rsid_log_frame {
    double x[2][556]; // windowed sample of (parity p, 2^e mod 557)
};
struct rsid_log_tables {
    double c[2][1112]; // cos_table of (parity q, 2^e mod 557), e taken mod 556: doubled so that
    double s[2][1112]; // a shift of up to 555 reads 556 entries without wrapping
};

void rsid_dft_sums_baseline(const rsid_log_frame& f, const rsid_log_tables& t, double* re,
                            double* im);
void rsid_dft_sums_avx(const rsid_log_frame& f, const rsid_log_tables& t, double* re, double* im);

namespace rsid_log {

struct order_table {
    int16_t pos[2][556]; // pos[p][e]: the j with j mod 2 = p and j mod 557 = 2^e mod 557
    int16_t shift[334];  // log base 2 of ((111 + i) mod 557): the shift of bin 111 + i
    constexpr order_table() : pos{}, shift{} {
        int16_t log[557] = {};
        int r = 1;
        for (int e = 0; e < 556; ++e) {
            log[r] = static_cast<int16_t>(e);
            for (int p = 0; p < 2; ++p)
                pos[p][e] = static_cast<int16_t>(r % 2 == p ? r : r + 557);
            r = r * 2 % 557;
        }
        for (int i = 0; i < 334; ++i)
            shift[i] = log[(111 + i) % 557];
    }
};

inline constexpr order_table order{};

} // namespace rsid_log

#ifdef RSID_KERNEL_BODY
namespace {

typedef double pair_lanes __attribute__((vector_size(16))); // SSE2
typedef double quad_lanes __attribute__((vector_size(32))); // AVX

template <typename V> inline void load(V& v, const double* p) {
    __builtin_memcpy(&v, p, sizeof v); // unaligned: the shift puts tables at any offset
}

// Sums of B bins starting at magnitude entry first; the frame is loaded once for all B. The
// four lanes are held as 4 / W native registers of W doubles.
template <typename V, int B>
inline void sum_block(const rsid_log_frame& f, const rsid_log_tables& t, int first, double* re,
                      double* im) {
    constexpr int W = sizeof(V) / sizeof(double);
    constexpr int P = 4 / W;
    V acc_re[B][P] = {};
    V acc_im[B][P] = {};
    for (int p = 0; p < 2; ++p) {
        const double* c[B];
        const double* s[B];
#pragma GCC unroll 8
        for (int b = 0; b < B; ++b) {
            int q = p & (111 + first + b); // odd bins keep the parity of j, even bins clear it
            c[b] = t.c[q] + rsid_log::order.shift[first + b];
            s[b] = t.s[q] + rsid_log::order.shift[first + b];
        }
        for (int e = 0; e < 556; e += 4) {
            V x[P];
#pragma GCC unroll 4
            for (int h = 0; h < P; ++h)
                load(x[h], f.x[p] + e + h * W);
#pragma GCC unroll 8 // unrolled so that every accumulator stays in a register
            for (int b = 0; b < B; ++b) {
#pragma GCC unroll 4
                for (int h = 0; h < P; ++h) {
                    V v;
                    load(v, c[b] + e + h * W);
                    acc_re[b][h] += x[h] * v;
                    load(v, s[b] + e + h * W);
                    acc_im[b][h] += x[h] * v;
                }
            }
        }
    }
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) {
        double r[4];
        double m[4];
        for (int l = 0; l < 4; ++l) {
            r[l] = acc_re[b][l / W][l % W];
            m[l] = acc_im[b][l / W][l % W];
        }
        re[b] = (r[0] + r[1]) + (r[2] + r[3]);
        im[b] = (m[0] + m[1]) + (m[2] + m[3]);
    }
}

} // namespace
#endif

#endif
