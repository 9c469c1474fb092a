// RowSpectrum: the soft rule's rows against the long-double DFT and the library's spectrum,
// and every instruction-set path against the others bit for bit.
#include "row_spectrum.h"
#include "rsid_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace {

// Magnitudes of bins 111..444 in long double: the value the truncation is of.
void exact_magnitudes(const double* frame, long double* out) {
    const rsid_tables& t = rsid_shared_tables();
    for (int i = 0; i < 334; ++i) {
        long double re = 0, im = 0;
        const int k = 111 + i;
        for (int j = 0; j < 1114; ++j) {
            const long double x = static_cast<long double>(frame[j]) * t.window_table[j];
            re += x * t.cos_table[(j * k) % 1114];
            im += x * t.sin_table[(j * k) % 1114];
        }
        out[i] = std::sqrt(re * re + im * im) / 1114;
    }
}

TEST(RowSpectrum, TruncatesTheExactMagnitudesOnEveryPath) {
    struct kind {
        const char* name;
        double noise;   // Gaussian, standard deviation
        double tone;    // amplitude of a tone at a random frequency
        int clicks;     // full-scale samples
        bool truncated; // samples are whole numbers, as from 16-bit audio
    };
    const kind kinds[] = {
        {"silence", 0.0, 0.0, 0, true},
        {"quiet noise", 3.0, 0.0, 0, false},
        {"full-scale noise", 18000.0, 0, 0, true},
        {"tone in noise", 100.0, 20000.0, 0, true},
        {"full-scale tone", 0.0, 32767.0, 0, false},
        {"clicks", 0.0, 0.0, 5, true},
    };
    std::mt19937 rng(2026);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::uniform_real_distribution<double> hz(500.0, 2500.0);
    std::uniform_int_distribution<int> at(0, 1113);
    double frame[1114];
    long double exact[334];
    int32_t library[334], rows[rsid_path_count][334];
    for (const kind& k : kinds) {
        int differ = 0; // entries where the library's and the rows' truncations differ
        for (int trial = 0; trial < 30; ++trial) {
            const double f = hz(rng);
            for (int j = 0; j < 1114; ++j) {
                double x =
                    k.noise * gauss(rng) + k.tone * std::sin(2 * std::numbers::pi * f * j / 6000.0);
                frame[j] = k.truncated ? std::trunc(x) : x;
            }
            for (int c = 0; c < k.clicks; ++c)
                frame[at(rng)] = 32767.0;
            exact_magnitudes(frame, exact);
            const long double largest = *std::max_element(exact, exact + 334);
            rsid_spectrum(&rsid_shared_tables(), frame, library);
            for (int path = 0; path < rsid_path_count; ++path)
                rsid::row_spectrum_on(path, frame, rows[path]);
            for (int i = 0; i < 334; ++i) {
                for (int path = 1; path < rsid_path_count; ++path)
                    ASSERT_EQ(rows[path][i], rows[0][i]) << k.name << " path " << path;
                differ += rows[0][i] != library[i];
                // Rounding is relative to the frame's largest bin: only a value that all but
                // sits on a whole number may truncate the other way.
                const long double gap = std::abs(exact[i] - std::round(exact[i]));
                if (gap > 1e-9L * std::max(1.0L, largest)) {
                    ASSERT_EQ(rows[0][i], static_cast<int32_t>(exact[i]))
                        << k.name << " trial " << trial << " bin " << 111 + i;
                }
            }
        }
        EXPECT_LE(differ, 3) << k.name; // of 10,020 entries
    }
}

} // namespace
