// spectrum_kernel.h - the DFT sums in discrete-log order, as correlations computed with a fast
// transform; compiled once per instruction set.
//
// The frame length 1114 is 2 * 557 with 557 prime, and 2 generates the multiplicative group
// modulo 557. Every sample index j other than 0 and 557 is therefore (by the Chinese remainder
// theorem) the pair (j mod 2, 2^e mod 557), and (j * k) mod 1114 for bin k is the pair
// (j * k mod 2, 2^(e + log k) mod 557). With the frame and the tables stored in this order the
// table entry of every product x[j] * table[(j * k) mod 1114] sits at a fixed shift, log k, from
// its sample: each half (even, odd samples) of each bin is one value of a cyclic correlation of
// length 556 of the frame with a table, taken at the bin's shift.
//
// Those correlations are computed with a transform of 1024 points, much like Rader's algorithm
// but with the tables used exactly as they are, whatever rounding they carry: the sums are the
// same products as the direct DFT, and only rounding differs. With C_q[e] = cos + i sin of table
// entry (q, e), a correlation of the zero-padded frame (556 samples) with D[m] = C_q[m mod 556],
// m < 1024, gives the shifts 0..468 without wrapping; a second table, D[m] = C_q[(m + 469) mod
// 556], gives 469..555. Odd bins need x0 with C_0 plus x1 with C_1 (the parity of j * k is that
// of j), even bins x0 and x1 both with C_0. So one analysis is
//   - one forward transform of z = x0 + i x1 (the two real halves packed into one);
//   - per frequency k, X0 and X1 recovered from Z[k] and Z[-k], and four products: lanes 0 to
//     3 are the odd bins' shifts 0..468 and 469..555, then the even bins' likewise;
//   - one inverse transform of those four lanes at once.
// The spectra of the tables, with every exact scale folded in, are derived once from the tables
// (rsid_log_tables_derive), and the twiddle factors come from square roots and the four
// operations only (correctly rounded everywhere), never from the platform's sin and cos.
//
// Both transforms are radix-4 Stockham (self-sorting): every stage after the first of the
// forward transform, and every stage of the four-lane inverse, reads and writes whole runs of
// consecutive doubles, so each instruction set runs the same operations on each element in the
// same order and all paths agree bit for bit. The file is included by one source per
// instruction set and must not pull in any inline function that another source could share: the
// AVX source is compiled with -mavx, the AVX-512 source with -mavx512f. The AVX-512 path runs
// its 512-bit registers wherever a run of doubles is at least eight long and the 256-bit code
// elsewhere (the products' four lanes, the forward stage of stride 4).
#ifndef RSID_SPECTRUM_KERNEL_H
#define RSID_SPECTRUM_KERNEL_H

#include <cstdint>

struct rsid_log_frame {
    double x[2][556]; // windowed sample of (parity p, 2^e mod 557)
};
struct rsid_log_tables {
    double c[2][1112]; // cos_table of (parity q, 2^e mod 557), e taken mod 556: doubled so that
    double s[2][1112]; // a shift of up to 555 reads 556 entries without wrapping

    // Derived from c and s by rsid_log_tables_derive.
    double w_re[1024];    // cos(2 pi m / 1024)
    double w_im[1024];    // -sin(2 pi m / 1024): the forward transform's twiddle factors
    double w1_re[3][256]; // w^((t + 1) p), t = 0..2: the first forward stage, stored by p
    double w1_im[3][256]; // so that it runs over consecutive p
    // Per frequency k = p + 256 m and lane l, the spectrum to multiply by conj(2 X0) (g) and by
    // conj(2i X1) (h), at gh[p][m][part][l] with parts g_re, g_im, h_re, h_im: the products
    // read it as one sequential stream.
    double gh[256][4][4][4];
};

// Fills everything after c and s from c and s. Run once, when the tables are made.
void rsid_log_tables_derive(rsid_log_tables& t);

void rsid_dft_sums_baseline(const rsid_log_frame& f, const rsid_log_tables& t, double* re,
                            double* im);
void rsid_dft_sums_avx(const rsid_log_frame& f, const rsid_log_tables& t, double* re, double* im);
void rsid_dft_sums_avx512(const rsid_log_frame& f, const rsid_log_tables& t, double* re,
                          double* im);

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

inline constexpr int split = 469; // shifts below come from lanes 0 and 2, the rest from 1 and 3

} // namespace rsid_log

#ifdef RSID_KERNEL_BODY
namespace {

typedef double pair_lanes __attribute__((vector_size(16))); // SSE2
typedef double quad_lanes __attribute__((vector_size(32))); // AVX
typedef double oct_lanes __attribute__((vector_size(64)));  // AVX-512

template <typename V> inline V load(const double* p) {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
template <typename V> inline void store(double* p, V v) { __builtin_memcpy(p, &v, sizeof v); }
template <typename V> inline V splat(double d) {
    V v{}; // each element set below; each set reads the rest, so they must not start undefined
    for (int l = 0; l < static_cast<int>(sizeof(V) / sizeof(double)); ++l)
        v[l] = d;
    return v;
}

// One radix-4 butterfly of a Stockham stage on W elements at once. Forward (sign -1):
//   y0 = (a + c) + (b + d),            y1 = w1 ((a - c) - i (b - d)),
//   y2 = w2 ((a + c) - (b + d)),       y3 = w3 ((a - c) + i (b - d));
// the inverse has +i and conjugate twiddles. twiddled is false where all three are 1.
template <typename V, bool inverse> struct butterfly {
    V ar, ai, br, bi, cr, ci, dr, di;
    V yr[4], yi[4];
    void run(bool twiddled, const double* w_re, const double* w_im) {
        const V sr = ar + cr;
        const V si = ai + ci;
        const V mr = ar - cr;
        const V mi = ai - ci;
        const V tr = br + dr;
        const V ti = bi + di;
        const V ur = br - dr;
        const V ui = bi - di;
        yr[0] = sr + tr;
        yi[0] = si + ti;
        yr[2] = sr - tr;
        yi[2] = si - ti;
        if (!inverse) {
            yr[1] = mr + ui;
            yi[1] = mi - ur;
            yr[3] = mr - ui;
            yi[3] = mi + ur;
        } else {
            yr[1] = mr - ui;
            yi[1] = mi + ur;
            yr[3] = mr + ui;
            yi[3] = mi - ur;
        }
        if (!twiddled)
            return;
        for (int t = 1; t < 4; ++t) {
            const V vr = yr[t];
            const V vi = yi[t];
            const V wr = splat<V>(w_re[t - 1]);
            const V wi = splat<V>(inverse ? -w_im[t - 1] : w_im[t - 1]);
            yr[t] = vr * wr - vi * wi;
            yi[t] = vr * wi + vi * wr;
        }
    }
};

// One Stockham stage of length n (stride s) over complex elements of L lanes each: element m
// of lane l at position L * m + l of re and im.
template <typename V, bool inverse, int L>
inline void stage(const rsid_log_tables& t, int n, int s, const double* x_re, const double* x_im,
                  double* y_re, double* y_im) {
    constexpr int W = sizeof(V) / sizeof(double);
    if constexpr (W > 4) {
        if (s * L < W) { // runs shorter than a register: four lanes (s * L is at least 4)
            stage<quad_lanes, inverse, L>(t, n, s, x_re, x_im, y_re, y_im);
            return;
        }
    }
    const int quarter = n / 4;
    const int step = 1024 / n;
    for (int p = 0; p < quarter; ++p) {
        const double w_re[3] = {t.w_re[p * step], t.w_re[2 * p * step], t.w_re[3 * p * step]};
        const double w_im[3] = {t.w_im[p * step], t.w_im[2 * p * step], t.w_im[3 * p * step]};
        for (int q = 0; q < s * L; q += W) {
            butterfly<V, inverse> b;
            const int in = q + s * L * p;
            const int jump = s * L * quarter;
            b.ar = load<V>(x_re + in);
            b.ai = load<V>(x_im + in);
            b.br = load<V>(x_re + in + jump);
            b.bi = load<V>(x_im + in + jump);
            b.cr = load<V>(x_re + in + 2 * jump);
            b.ci = load<V>(x_im + in + 2 * jump);
            b.dr = load<V>(x_re + in + 3 * jump);
            b.di = load<V>(x_im + in + 3 * jump);
            b.run(p != 0, w_re, w_im);
            const int out = q + s * L * 4 * p;
            for (int r = 0; r < 4; ++r) {
                store(y_re + out + r * s * L, b.yr[r]);
                store(y_im + out + r * s * L, b.yi[r]);
            }
        }
    }
}

// Two Stockham stages at once, (n, s) and then (n / 4, 4 s), with the same operations on each
// element as stage() twice: for each p2 < n / 16 and q the sixteen elements that the two stages
// combine go through both in registers, one pass over the scratch instead of two.
template <typename V, bool inverse, int L>
inline void two_stages(const rsid_log_tables& t, int n, int s, const double* x_re,
                       const double* x_im, double* y_re, double* y_im) {
    constexpr int W = sizeof(V) / sizeof(double);
    if constexpr (W > 4) {
        if (s * L < W) { // runs shorter than a register: four lanes (s * L is at least 4)
            two_stages<quad_lanes, inverse, L>(t, n, s, x_re, x_im, y_re, y_im);
            return;
        }
    }
    const int sixteenth = n / 16;
    const int quarter = n / 4;
    const int step = 1024 / n; // twiddle steps of the first stage; the second's is 4 step
    const int run = s * L;     // consecutive doubles per butterfly input of the first stage
    for (int p2 = 0; p2 < sixteenth; ++p2) {
        const double v_re[3] = {t.w_re[4 * p2 * step], t.w_re[8 * p2 * step],
                                t.w_re[12 * p2 * step]};
        const double v_im[3] = {t.w_im[4 * p2 * step], t.w_im[8 * p2 * step],
                                t.w_im[12 * p2 * step]};
        for (int q = 0; q < run; q += W) {
            V yr[4][4]; // [j][r]: output r of the first stage's butterfly p2 + j n / 16
            V yi[4][4];
            for (int j = 0; j < 4; ++j) {
                const int p = p2 + j * sixteenth;
                const double w_re[3] = {t.w_re[p * step], t.w_re[2 * p * step],
                                        t.w_re[3 * p * step]};
                const double w_im[3] = {t.w_im[p * step], t.w_im[2 * p * step],
                                        t.w_im[3 * p * step]};
                butterfly<V, inverse> b;
                const int in = q + run * p;
                const int jump = run * quarter;
                b.ar = load<V>(x_re + in);
                b.ai = load<V>(x_im + in);
                b.br = load<V>(x_re + in + jump);
                b.bi = load<V>(x_im + in + jump);
                b.cr = load<V>(x_re + in + 2 * jump);
                b.ci = load<V>(x_im + in + 2 * jump);
                b.dr = load<V>(x_re + in + 3 * jump);
                b.di = load<V>(x_im + in + 3 * jump);
                b.run(p != 0, w_re, w_im);
                for (int r = 0; r < 4; ++r) {
                    yr[j][r] = b.yr[r];
                    yi[j][r] = b.yi[r];
                }
            }
            for (int r = 0; r < 4; ++r) {
                butterfly<V, inverse> b{yr[0][r], yi[0][r], yr[1][r], yi[1][r], yr[2][r],
                                        yi[2][r], yr[3][r], yi[3][r], {},       {}};
                b.run(p2 != 0, v_re, v_im);
                const int out = q + run * r + 16 * run * p2;
                for (int r2 = 0; r2 < 4; ++r2) {
                    store(y_re + out + 4 * run * r2, b.yr[r2]);
                    store(y_im + out + 4 * run * r2, b.yi[r2]);
                }
            }
        }
    }
}

// The forward transform of z = x0 + i x1 (zero-padded to 1024): Z in natural order in b_re,
// b_im [0, 1024). a is scratch.
template <typename V>
inline void forward(const rsid_log_frame& f, const rsid_log_tables& t, double* a_re, double* a_im,
                    double* b_re, double* b_im) {
    constexpr int W = sizeof(V) / sizeof(double);
    // z, zero-padded; entries from 768 on are never read (d of the first stage).
    __builtin_memcpy(a_re, f.x[0], sizeof f.x[0]);
    __builtin_memcpy(a_im, f.x[1], sizeof f.x[1]);
    for (int m = 556; m < 768; ++m)
        a_re[m] = a_im[m] = 0.0;

    // First forward stage (n 1024, s 1), run over consecutive p: its outputs land interleaved.
    double* f_re = b_re;
    double* f_im = b_im;
    for (int p = 0; p < 256; p += W) {
        butterfly<V, false> b;
        b.ar = load<V>(a_re + p);
        b.ai = load<V>(a_im + p);
        b.br = load<V>(a_re + p + 256);
        b.bi = load<V>(a_im + p + 256);
        b.cr = load<V>(a_re + p + 512);
        b.ci = load<V>(a_im + p + 512);
        b.dr = b.di = V{};
        b.run(false, nullptr, nullptr);
        for (int r = 1; r < 4; ++r) { // the twiddles vary along p here
            const V vr = b.yr[r];
            const V vi = b.yi[r];
            const V wr = load<V>(t.w1_re[r - 1] + p);
            const V wi = load<V>(t.w1_im[r - 1] + p);
            b.yr[r] = vr * wr - vi * wi;
            b.yi[r] = vr * wi + vi * wr;
        }
        for (int l = 0; l < W; ++l) {
            for (int r = 0; r < 4; ++r) {
                f_re[4 * (p + l) + r] = b.yr[r][l];
                f_im[4 * (p + l) + r] = b.yi[r][l];
            }
        }
    }
    double* g_re = b_re + 1024;
    double* g_im = b_im + 1024;
    if constexpr (W >= 8) { // 32 registers: two stages per pass (16 would spill)
        two_stages<V, false, 1>(t, 256, 4, f_re, f_im, g_re, g_im);
        two_stages<V, false, 1>(t, 16, 64, g_re, g_im, f_re, f_im);
    } else {
        stage<V, false, 1>(t, 256, 4, f_re, f_im, g_re, g_im);
        stage<V, false, 1>(t, 64, 16, g_re, g_im, f_re, f_im);
        stage<V, false, 1>(t, 16, 64, f_re, f_im, g_re, g_im);
        stage<V, false, 1>(t, 4, 256, g_re, g_im, f_re, f_im);
    } // Z in natural order in f
}

// The four lanes of products, and the first inverse stage: from Z in f into a.
template <typename V>
inline void products(const rsid_log_tables& t, const double* f_re, const double* f_im, double* a_re,
                     double* a_im) {
    constexpr int W = sizeof(V) / sizeof(double);
    if constexpr (W > 4) { // four lanes per frequency: a register of four
        products<quad_lanes>(t, f_re, f_im, a_re, a_im);
        return;
    }
    // Products, fused with the first inverse stage (n 1024, s 1). With A = Z[k] + conj Z[-k]
    // = 2 X0[k] and B = Z[k] - conj Z[-k] = 2i X1[k], lane l gets conj(A) g_l + conj(B) h_l.
    for (int p = 0; p < 256; ++p) {
        V ar[4];
        V ai[4];
        V br[4];
        V bi[4];
        for (int m = 0; m < 4; ++m) {
            const int k = p + 256 * m;
            const int mirror = (1024 - k) & 1023;
            ar[m] = splat<V>(f_re[k] + f_re[mirror]);
            ai[m] = splat<V>(f_im[k] - f_im[mirror]);
            br[m] = splat<V>(f_re[k] - f_re[mirror]);
            bi[m] = splat<V>(f_im[k] + f_im[mirror]);
        }
        const double w_re[3] = {t.w_re[p], t.w_re[2 * p], t.w_re[3 * p]};
        const double w_im[3] = {t.w_im[p], t.w_im[2 * p], t.w_im[3 * p]};
        for (int l = 0; l < 4; l += W) {
            V pr[4];
            V pi[4];
            for (int m = 0; m < 4; ++m) {
                const V gr = load<V>(t.gh[p][m][0] + l);
                const V gi = load<V>(t.gh[p][m][1] + l);
                const V hr = load<V>(t.gh[p][m][2] + l);
                const V hi = load<V>(t.gh[p][m][3] + l);
                pr[m] = (ar[m] * gr + ai[m] * gi) + (br[m] * hr + bi[m] * hi);
                pi[m] = (ar[m] * gi - ai[m] * gr) + (br[m] * hi - bi[m] * hr);
            }
            butterfly<V, true> b{pr[0], pi[0], pr[1], pi[1], pr[2], pi[2], pr[3], pi[3], {}, {}};
            b.run(p != 0, w_re, w_im);
            for (int r = 0; r < 4; ++r) {
                store(a_re + 16 * p + 4 * r + l, b.yr[r]);
                store(a_im + 16 * p + 4 * r + l, b.yi[r]);
            }
        }
    }
}

// The last two inverse stages over L lanes (n 16, s 64, then n 4, s 256, untwiddled) at once:
// for each q the sixteen elements q + 64 j go through both in registers, one pass over the
// scratch instead of two. Only elements 0..511 of the last stage are ever read (the shifts split
// below 512), so its y2 and y3 are left out. Position q + 64 L r + 256 L j in doubles is element
// (q / L + 64 r + 256 j), lane q mod L.
template <typename V, int L>
inline void last_stages(const rsid_log_tables& t, const double* m_re, const double* m_im,
                        double* o_re, double* o_im) {
    constexpr int W = sizeof(V) / sizeof(double);
    constexpr int run = 64 * L;
    for (int q = 0; q < run; q += W) {
        V yr[4][4]; // [p][r]: output r of the n 16 butterfly p
        V yi[4][4];
        for (int p = 0; p < 4; ++p) {
            const double w_re[3] = {t.w_re[p * 64], t.w_re[2 * p * 64], t.w_re[3 * p * 64]};
            const double w_im[3] = {t.w_im[p * 64], t.w_im[2 * p * 64], t.w_im[3 * p * 64]};
            butterfly<V, true> b;
            const int in = q + run * p;
            b.ar = load<V>(m_re + in);
            b.ai = load<V>(m_im + in);
            b.br = load<V>(m_re + in + 4 * run);
            b.bi = load<V>(m_im + in + 4 * run);
            b.cr = load<V>(m_re + in + 8 * run);
            b.ci = load<V>(m_im + in + 8 * run);
            b.dr = load<V>(m_re + in + 12 * run);
            b.di = load<V>(m_im + in + 12 * run);
            b.run(p != 0, w_re, w_im);
            for (int r = 0; r < 4; ++r) {
                yr[p][r] = b.yr[r];
                yi[p][r] = b.yi[r];
            }
        }
        for (int r = 0; r < 4; ++r) {
            const V sr = yr[0][r] + yr[2][r];
            const V si = yi[0][r] + yi[2][r];
            const V mr = yr[0][r] - yr[2][r];
            const V mi = yi[0][r] - yi[2][r];
            const V tr = yr[1][r] + yr[3][r];
            const V ti = yi[1][r] + yi[3][r];
            const V ur = yr[1][r] - yr[3][r];
            const V ui = yi[1][r] - yi[3][r];
            store(o_re + q + run * r, sr + tr);
            store(o_im + q + run * r, si + ti);
            store(o_re + q + run * r + 4 * run, mr - ui);
            store(o_im + q + run * r + 4 * run, mi + ur);
        }
    }
}

template <typename V>
inline void fast_sums(const rsid_log_frame& f, const rsid_log_tables& t, double* re, double* im) {
    constexpr int W = sizeof(V) / sizeof(double);
    // Four lanes of 1024 complex values, twice (the stages alternate between them).
    double a_re[4096];
    double a_im[4096];
    double b_re[4096];
    double b_im[4096];
    forward<V>(f, t, a_re, a_im, b_re, b_im);
    products<V>(t, b_re, b_im, a_re, a_im);
    double* m_re = b_re; // the input of the last two stages
    double* m_im = b_im;
    double* o_re = a_re; // their output
    double* o_im = a_im;
    if constexpr (W >= 8) { // 32 registers: two stages per pass (16 would spill)
        two_stages<V, true, 4>(t, 256, 4, a_re, a_im, b_re, b_im);
    } else {
        stage<V, true, 4>(t, 256, 4, a_re, a_im, b_re, b_im);
        stage<V, true, 4>(t, 64, 16, b_re, b_im, a_re, a_im);
        m_re = a_re;
        m_im = a_im;
        o_re = b_re;
        o_im = b_im;
    }

    last_stages<V, 4>(t, m_re, m_im, o_re, o_im);

    for (int i = 0; i < 334; ++i) {
        int shift = rsid_log::order.shift[i];
        int lane = ((111 + i) & 1) ? 0 : 2;
        if (shift >= rsid_log::split) {
            shift -= rsid_log::split;
            lane += 1;
        }
        re[i] = o_re[4 * shift + lane];
        im[i] = o_im[4 * shift + lane];
    }
}

} // namespace
#endif

#endif
