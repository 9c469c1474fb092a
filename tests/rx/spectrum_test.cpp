// Spectrum: the fast sums against the plain sequential DFT, every instruction-set path
// against the others bit for bit, and hostile sample values.
#include "plain_spectrum.h"
#include "rsid.h"
#include "rsid_state.h"
#include "rx/spectrum_kernel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace {

class Spectrum : public ::testing::Test {
  protected:
    void SetUp() override {
        rsid_rx = rsid_receiver{};
        init_rsid();
    }
};

// Frames of several kinds: full-scale noise, quiet noise, tones with noise, sparse clicks.
void random_frame(std::mt19937& rng, int kind, double* frame) {
    std::uniform_real_distribution<double> full(-32768.0, 32767.0);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::uniform_real_distribution<double> hz(500.0, 2500.0);
    switch (kind % 4) {
    case 0:
        for (int j = 0; j < 1114; ++j)
            frame[j] = std::trunc(full(rng));
        break;
    case 1:
        for (int j = 0; j < 1114; ++j)
            frame[j] = gauss(rng) * 3.0;
        break;
    case 2: {
        double f = hz(rng), a = 20000.0 * std::abs(gauss(rng));
        for (int j = 0; j < 1114; ++j)
            frame[j] = std::trunc(a * std::sin(2 * std::numbers::pi * f * j / 6000.0) +
                                  gauss(rng) * 100.0);
        break;
    }
    default:
        std::fill(frame, frame + 1114, 0.0);
        for (int n = 0; n < 5; ++n)
            frame[std::uniform_int_distribution<int>(0, 1113)(rng)] = full(rng);
        break;
    }
}

// The magnitude of bin 111 + i in long double, as the reference for what "exact" means.
long double exact_magnitude(const double* frame, int i) {
    long double re = 0, im = 0;
    const int k = 111 + i;
    for (int j = 0; j < 1114; ++j) {
        long double x = static_cast<long double>(frame[j]) * rsid_shared_tables().window_table[j];
        re += x * rsid_shared_tables().cos_table[(j * k) % 1114];
        im += x * rsid_shared_tables().sin_table[(j * k) % 1114];
    }
    re /= 1114;
    im /= 1114;
    return std::sqrt(re * re + im * im);
}

TEST_F(Spectrum, EveryPathMatchesThePlainSequentialSums) {
    const unsigned seed = 77001;
    std::mt19937 rng(seed);
    double frame[1114];
    int32_t plain[334], fast[334];
    int near_integer = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        random_frame(rng, trial, frame);
        plain_spectrum(frame, rsid_shared_tables().window_table, rsid_shared_tables().cos_table,
                       rsid_shared_tables().sin_table, plain);
        for (int path = 0; path < rsid_path_count; ++path) {
            if (!rsid_path_supported(path))
                continue;
            rsid_spectrum_on(path, rsid_shared_tables(), frame, fast);
            for (int i = 0; i < 334; ++i) {
                if (fast[i] == plain[i])
                    continue;
                // Summation order may only matter where the value all but sits on an integer.
                long double m = exact_magnitude(frame, i);
                long double gap = std::abs(m - std::round(m));
                ASSERT_LE(gap, 1e-9L * std::max(1.0L, m))
                    << "path " << path << " trial " << trial << " bin " << 111 + i << " fast "
                    << fast[i] << " plain " << plain[i] << " seed " << seed;
                ++near_integer;
            }
        }
    }
    EXPECT_LT(near_integer, 10);
}

// Frames scaled so that one bin's exact magnitude lies just beside an integer K, at offsets
// inside and outside the 1e-9 bound. Outside it every path must give the truncation of the
// exact value (the long-double sum) and agree with the plain loop; inside it may land on either
// side, but all paths together.
TEST_F(Spectrum, NearIntegerMagnitudes) {
    const unsigned seed = 4242;
    std::mt19937 rng(seed);
    double base[1114], frame[1114];
    int32_t plain[334], fast[rsid_path_count][334];
    struct row {
        int kind;      // random_frame kind
        long double k; // the integer approached
        double offset; // in units of the bound 1e-9 * max(1, K)
    };
    const row rows[] = {
        {0, 300, 10},   {0, 300, -10},   {0, 300, 0.01}, {0, 300, -0.01}, {1, 1, 10},
        {1, 1, -10},    {1, 2, 0.001},   {1, 3, -0.001}, {2, 5000, 10},   {2, 5000, -10},
        {2, 4999, 0.1}, {2, 4999, -0.1}, {3, 17, 10},    {3, 17, -10},    {3, 17, 0.01},
        {0, 65, 3},     {0, 65, -3},     {2, 12345, 2},  {2, 12345, -2},  {1, 7, 1e-4},
    };
    int checked = 0;
    for (const row& r : rows) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            random_frame(rng, r.kind, base);
            const int i = std::uniform_int_distribution<int>(0, 333)(rng);
            const long double m0 = exact_magnitude(base, i);
            if (m0 < 1e-3L)
                continue;
            const long double target = r.k + r.offset * 1e-9L * std::max(1.0L, r.k);
            for (int j = 0; j < 1114; ++j)
                frame[j] = static_cast<double>(base[j] * (target / m0));
            plain_spectrum(frame, rsid_shared_tables().window_table, rsid_shared_tables().cos_table,
                           rsid_shared_tables().sin_table, plain);
            for (int path = 0; path < rsid_path_count; ++path)
                if (rsid_path_supported(path))
                    rsid_spectrum_on(path, rsid_shared_tables(), frame, fast[path]);
            for (int b = 0; b < 334; ++b) {
                const long double m = exact_magnitude(frame, b);
                const long double gap = std::abs(m - std::round(m));
                const bool clear = gap > 1e-9L * std::max(1.0L, m);
                for (int path = 1; path < rsid_path_count; ++path) {
                    if (rsid_path_supported(path)) {
                        ASSERT_EQ(fast[path][b], fast[0][b]) << "path " << path << " bin " << b;
                    }
                }
                if (!clear)
                    continue;
                ASSERT_EQ(fast[0][b], static_cast<int32_t>(m))
                    << "K " << static_cast<double>(r.k) << " offset " << r.offset << " bin "
                    << 111 + b << " exact " << static_cast<double>(m) << " seed " << seed;
                ASSERT_EQ(fast[0][b], plain[b]) << "bin " << 111 + b << " seed " << seed;
            }
            // The chosen bin itself lies on the intended side of K (scaling rounds the samples).
            const long double m = exact_magnitude(frame, i);
            EXPECT_LT(std::abs(m - target), 0.5L * std::abs(target - r.k)) << "bin " << 111 + i;
            ++checked;
            break;
        }
    }
    EXPECT_EQ(checked, static_cast<int>(std::size(rows)));
}

// The transform's twiddle factors are derived with square roots and the four operations only,
// so their bits are the same on every platform (a WebAssembly build's maths library gives other
// bits for sin and cos than glibc's). They must be accurate to a few units in the last place,
// and their bits are pinned by a checksum that every platform must reproduce.
TEST(SpectrumTables, TwiddlesAreAccurateAndTheSameEverywhere) {
    static rsid_log_tables t;
    rsid_log_tables_derive(t);
    uint64_t hash = 14695981039346656037ull; // FNV-1a over the bytes of w_re, then w_im
    for (const double* w : {t.w_re, t.w_im}) {
        for (int m = 0; m < 1024; ++m) {
            uint64_t bits;
            std::memcpy(&bits, &w[m], sizeof bits);
            for (int b = 0; b < 8; ++b)
                hash = (hash ^ ((bits >> (8 * b)) & 0xff)) * 1099511628211ull;
        }
    }
    const long double two_pi = 6.283185307179586476925286766559L;
    for (int m = 0; m < 1024; ++m) {
        const long double a = two_pi * m / 1024;
        EXPECT_LT(std::abs(t.w_re[m] - std::cos(a)), 5e-16L) << "m " << m;
        EXPECT_LT(std::abs(t.w_im[m] + std::sin(a)), 5e-16L) << "m " << m;
    }
    EXPECT_EQ(hash, 8221681049945671125ull) << "checksum of the twiddle bits";
}

TEST_F(Spectrum, MagnitudesOfKnownSignals) {
    // A full-scale sine on bin k gives A / 4 in bin k (Hann window, 1/1114 scale) and nothing
    // two bins away; silence gives zeros.
    double frame[1114];
    int32_t mags[334];
    for (int k : {111, 250, 279, 444}) {
        for (int j = 0; j < 1114; ++j)
            frame[j] = 20000.0 * std::cos(2 * std::numbers::pi * k * j / 1114.0);
        rsid_spectrum(&rsid_shared_tables(), frame, mags);
        EXPECT_NEAR(mags[k - 111], 5000, 2) << "bin " << k;
        if (k + 2 <= 444) {
            EXPECT_LE(mags[k + 2 - 111], 1) << "bin " << k;
        }
    }
    std::fill(frame, frame + 1114, 0.0);
    rsid_spectrum(&rsid_shared_tables(), frame, mags);
    for (int32_t m : mags)
        EXPECT_EQ(m, 0);
}

#if defined(RSID_HAVE_AVX) || defined(__x86_64__)
// The sums themselves, before truncation, must agree bit for bit between paths, so that a
// recording gives the same detections on every machine.
TEST(SpectrumPaths, SumsAreBitIdenticalAcrossInstructionSets) {
    if (!rsid_path_supported(rsid_path_avx))
        GTEST_SKIP() << "this CPU runs only the baseline path";
    using sums = void (*)(const rsid_log_frame&, const rsid_log_tables&, double*, double*);
    const sums paths[rsid_path_count] = {rsid_dft_sums_baseline, rsid_dft_sums_avx,
                                         rsid_dft_sums_avx512};
    const unsigned seed = 5150;
    std::mt19937 rng(seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    static rsid_log_frame f;
    static rsid_log_tables t;
    for (int trial = 0; trial < 200; ++trial) {
        double scale = std::pow(10.0, trial % 12 - 3);
        for (auto& row : f.x)
            for (double& v : row)
                v = gauss(rng) * scale;
        for (int q = 0; q < 2; ++q)
            for (int e = 0; e < 1112; ++e)
                t.c[q][e] = gauss(rng), t.s[q][e] = gauss(rng);
        rsid_log_tables_derive(t);
        double re_a[334], im_a[334], re_b[334], im_b[334];
        rsid_dft_sums_baseline(f, t, re_a, im_a);
        for (int path = 1; path < rsid_path_count; ++path) {
            if (!rsid_path_supported(path))
                continue;
            paths[path](f, t, re_b, im_b);
            ASSERT_EQ(std::memcmp(re_a, re_b, sizeof re_a), 0)
                << "path " << path << " trial " << trial << " seed " << seed;
            ASSERT_EQ(std::memcmp(im_a, im_b, sizeof im_a), 0)
                << "path " << path << " trial " << trial << " seed " << seed;
        }
    }
}
#endif

TEST_F(Spectrum, HugeValuesSaturateAndNaNGivesZero) {
    const double inf = std::numeric_limits<double>::infinity();
    double frame[1114];
    int32_t mags[334];
    for (int path = 0; path < rsid_path_count; ++path) {
        if (!rsid_path_supported(path))
            continue;
        // Magnitudes of about 5e9, past int32: saturate.
        for (int j = 0; j < 1114; ++j)
            frame[j] = 2e10 * std::cos(2 * std::numbers::pi * 200 * j / 1114.0);
        rsid_spectrum_on(path, rsid_shared_tables(), frame, mags);
        EXPECT_EQ(mags[200 - 111], 2147483647) << "path " << path;
        std::fill(frame, frame + 1114, 1e300);
        frame[5] = -1e300;
        rsid_spectrum_on(path, rsid_shared_tables(), frame, mags);
        for (int32_t m : mags)
            ASSERT_EQ(m, 2147483647) << "path " << path;
        // Sums that overflow to infinity, or to inf - inf: saturated or 0, never undefined.
        for (double v : {1e308, -1e308, inf}) {
            std::fill(frame, frame + 1114, v);
            frame[5] = -v;
            rsid_spectrum_on(path, rsid_shared_tables(), frame, mags);
            for (int32_t m : mags)
                ASSERT_TRUE(m == 0 || m == 2147483647) << "path " << path << " value " << v;
        }
        std::fill(frame, frame + 1114, 100.0);
        frame[300] = std::numeric_limits<double>::quiet_NaN();
        rsid_spectrum_on(path, rsid_shared_tables(), frame, mags);
        for (int32_t m : mags)
            ASSERT_EQ(m, 0) << "path " << path;
        frame[300] = inf;
        rsid_spectrum_on(path, rsid_shared_tables(), frame, mags);
        for (int32_t m : mags)
            ASSERT_TRUE(m == 0 || m == 2147483647) << "path " << path << " magnitude " << m;
    }
}

} // namespace
