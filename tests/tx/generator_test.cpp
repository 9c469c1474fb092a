// Tone sequence generator: measured tone frequencies, phase continuity, block accounting,
// re-arming, agreement with a straightforward evaluation, and hostile base frequencies.
#include "rsid.h"
#include "rsid_state.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

constexpr double pi = 3.14159265358979323846;

class Generator : public ::testing::Test {
  protected:
    void SetUp() override { rsid_tx = rsid_transmitter{}; } // as after load
};

// Pulls blocks until rsid_get returns 0; returns the samples and the results in order.
std::vector<int16_t> pull_all(std::vector<int>* results = nullptr, int max_blocks = 100) {
    std::vector<int16_t> out;
    int16_t block[1920];
    for (int n = 0; n < max_blocks; ++n) {
        int r = rsid_get(block);
        out.insert(out.end(), block, block + 1920);
        if (results)
            results->push_back(r);
        if (r == 0)
            break;
    }
    return out;
}

// The generator's steps evaluated plainly in double precision, sample by sample.
std::vector<int16_t> reference(double base, const uint8_t* codeword, size_t count) {
    std::vector<int16_t> out;
    double phase = 0.0, step = 0.0;
    for (size_t n = 0; n < count; ++n) {
        size_t symbol = n / 4456;
        if (symbol >= 15) {
            out.push_back(0);
            continue;
        }
        if (n % 4456 == 0)
            step = (codeword[symbol] * 10.7666 + base) * 0.00013089969395833334;
        out.push_back(static_cast<int16_t>(std::trunc(std::sin(phase) * 20000.0)));
        phase += step;
        if (phase >= 3.14159265)
            phase -= 6.28318531;
    }
    return out;
}

// Least-squares fit of a * sin(w n) + b * cos(w n) to s[first .. first + len) at a known w.
struct fit {
    double a, b;
    double phase_at(double n, double w) const { return std::atan2(b, a) + w * n; }
    double amplitude() const { return std::hypot(a, b); }
};
fit fit_tone(const std::vector<int16_t>& s, size_t first, size_t len, double w) {
    double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
    for (size_t n = first; n < first + len; ++n) {
        double sn = std::sin(w * static_cast<double>(n)), cn = std::cos(w * static_cast<double>(n));
        ss += sn * sn, cc += cn * cn, sc += sn * cn, ys += s[n] * sn, yc += s[n] * cn;
    }
    double det = ss * cc - sc * sc;
    return {(ys * cc - yc * sc) / det, (yc * ss - ys * sc) / det};
}

// Frequency [Hz at 48 kHz] of the sinusoid in s[first .. first + len): a coarse estimate from
// the zero crossings, refined by golden-section search of the DFT magnitude.
double measure_frequency(const std::vector<int16_t>& s, size_t first, size_t len) {
    auto power = [&](double hz) {
        double w = 2 * pi * hz / 48000.0, re = 0, im = 0;
        for (size_t n = 0; n < len; ++n) {
            re += s[first + n] * std::cos(w * static_cast<double>(n));
            im += s[first + n] * std::sin(w * static_cast<double>(n));
        }
        return re * re + im * im;
    };
    int crossings = 0;
    for (size_t n = first + 1; n < first + len; ++n)
        crossings += (s[n - 1] < 0) != (s[n] < 0);
    double coarse = crossings / 2.0 * 48000.0 / static_cast<double>(len);
    double best = coarse, best_p = -1;
    for (double hz = coarse - 15; hz <= coarse + 15; hz += 1) {
        double p = power(hz);
        if (p > best_p)
            best_p = p, best = hz;
    }
    double lo = best - 1, hi = best + 1;
    const double g = (std::sqrt(5.0) - 1) / 2;
    while (hi - lo > 1e-4) {
        double m1 = hi - g * (hi - lo), m2 = lo + g * (hi - lo);
        if (power(m1) < power(m2))
            lo = m1;
        else
            hi = m2;
    }
    return (lo + hi) / 2;
}

const uint8_t codeword_131[15] = {0, 15, 7, 0, 4, 15, 12, 8, 8, 3, 11, 7, 11, 12, 3};

TEST_F(Generator, ToneFrequenciesMeasuredFromTheOutput) {
    const double want[15] = {1500.0000, 1661.4990, 1575.3662, 1500.0000, 1543.0664,
                             1661.4990, 1629.1992, 1586.1328, 1586.1328, 1532.2998,
                             1618.4326, 1575.3662, 1618.4326, 1629.1992, 1532.2998};
    rsid_encode(1500.0);
    std::vector<int16_t> s = pull_all();
    for (int k = 0; k < 15; ++k) {
        double hz = measure_frequency(s, static_cast<size_t>(k) * 4456, 4456);
        EXPECT_NEAR(hz, want[k], 0.05) << "symbol " << k;
    }
}

TEST_F(Generator, FirstSamplesAndPeak) {
    rsid_encode(1500.0);
    std::vector<int16_t> s = pull_all();
    EXPECT_EQ(s[0], 0);
    EXPECT_EQ(s[1], 3901); // sin(1500 * 2 pi / 48000) * 20000, truncated
    int peak = 0;
    for (int16_t v : s)
        peak = std::max(peak, std::abs(static_cast<int>(v)));
    EXPECT_LE(peak, 20000);
    EXPECT_GE(peak, 19990);
}

TEST_F(Generator, ThirtyFourFullBlocksThenTheTailAndSilence) {
    rsid_encode(1500.0);
    std::vector<int> results;
    std::vector<int16_t> s = pull_all(&results);
    ASSERT_EQ(results.size(), 35u);
    for (size_t i = 0; i < 34; ++i)
        EXPECT_EQ(results[i], 1) << "block " << i;
    EXPECT_EQ(results[34], 0);
    // The 35th block carries the last 1560 samples of the sequence, then 360 zeros.
    const size_t last = 34 * 1920;
    bool tail_live = false;
    for (size_t n = last; n < last + 1560; ++n)
        tail_live |= s[n] != 0;
    EXPECT_TRUE(tail_live);
    for (size_t n = last + 1560; n < last + 1920; ++n)
        ASSERT_EQ(s[n], 0) << "sample " << n;
    for (int extra = 0; extra < 3; ++extra) {
        int16_t block[1920];
        std::fill(block, block + 1920, int16_t{7});
        EXPECT_EQ(rsid_get(block), 0);
        for (int16_t v : block)
            ASSERT_EQ(v, 0);
    }
}

TEST_F(Generator, AgreesSampleForSampleWithAPlainEvaluation) {
    for (double base : {1500.0, 1502.7, 600.0, 2231.4, 0.0, -800.0, 12345.678, 1e6}) {
        rsid_encode(base);
        std::vector<int16_t> s = pull_all();
        std::vector<int16_t> want = reference(base, codeword_131, s.size());
        for (size_t n = 0; n < s.size(); ++n)
            ASSERT_EQ(s[n], want[n]) << "base " << base << " sample " << n;
    }
}

TEST_F(Generator, PhaseIsContinuousAcrossSymbolAndBlockBoundaries) {
    rsid_encode(1234.5);
    std::vector<int16_t> s = pull_all();
    double w[15];
    for (int k = 0; k < 15; ++k)
        w[k] = 2 * pi * (1234.5 + codeword_131[k] * 10.7666) / 48000.0;
    for (int k = 0; k < 15; ++k) {
        size_t first = static_cast<size_t>(k) * 4456;
        // One steady sine per symbol: block boundaries (every 1920 samples) leave no mark.
        fit f = fit_tone(s, first, 4456, w[k]);
        EXPECT_NEAR(f.amplitude(), 20000, 2) << "symbol " << k;
        for (size_t n = first; n < first + 4456; ++n) {
            double model = f.a * std::sin(w[k] * static_cast<double>(n)) +
                           f.b * std::cos(w[k] * static_cast<double>(n));
            ASSERT_NEAR(s[n], model, 2.0) << "symbol " << k << " sample " << n;
        }
        if (k == 14)
            break;
        // The phase at the boundary agrees from both sides.
        const size_t edge = first + 4456;
        fit after = fit_tone(s, edge, 400, w[k + 1]);
        double jump = std::remainder(f.phase_at(static_cast<double>(edge), w[k]) -
                                         after.phase_at(static_cast<double>(edge), w[k + 1]),
                                     2 * pi);
        EXPECT_NEAR(jump, 0.0, 1e-3) << "boundary after symbol " << k;
    }
}

TEST_F(Generator, BeforeAnyEncodeSendsToneZeroAt1500Hz) {
    std::vector<int> results;
    std::vector<int16_t> s = pull_all(&results);
    EXPECT_EQ(results.size(), 35u);
    for (int k = 0; k < 15; ++k)
        EXPECT_NEAR(measure_frequency(s, static_cast<size_t>(k) * 4456, 4456), 1500.0, 0.05)
            << "symbol " << k;
}

TEST_F(Generator, EncodeMidSequenceRestartsFromSymbolZero) {
    rsid_encode(1500.0);
    std::vector<int16_t> fresh = pull_all();
    for (int blocks : {1, 7, 20, 34, 40}) {
        rsid_encode(900.0);
        int16_t block[1920];
        for (int n = 0; n < blocks; ++n)
            rsid_get(block);
        rsid_encode(1500.0);
        EXPECT_EQ(pull_all(), fresh) << "re-armed after " << blocks << " blocks";
    }
}

TEST_F(Generator, NullOutputChangesNothing) {
    rsid_encode(1500.0);
    std::vector<int16_t> fresh = pull_all();
    rsid_encode(1500.0);
    int16_t block[1920];
    rsid_get(block);
    EXPECT_EQ(rsid_get(nullptr), 0);
    std::vector<int16_t> rest = pull_all();
    rest.insert(rest.begin(), block, block + 1920);
    EXPECT_EQ(rest, fresh);
}

TEST_F(Generator, NonFiniteOrOverflowingBaseSendsSilenceNotGarbage) {
    const double inf = std::numeric_limits<double>::infinity();
    for (double base : {std::numeric_limits<double>::quiet_NaN(), inf, -inf}) {
        rsid_encode(base);
        std::vector<int> results;
        std::vector<int16_t> s = pull_all(&results);
        EXPECT_EQ(results.size(), 35u) << "base " << base;
        for (int16_t v : s)
            ASSERT_EQ(v, 0) << "base " << base;
    }
    // Finite but so large that the phase itself runs off to infinity within the sequence.
    for (double base : {1e308, -1e308, std::numeric_limits<double>::max()}) {
        rsid_encode(base);
        std::vector<int16_t> s = pull_all();
        for (int16_t v : s)
            ASSERT_LE(std::abs(static_cast<int>(v)), 20000) << "base " << base;
        EXPECT_EQ(s[66839], 0) << "phase should have overflowed, base " << base;
    }
}

} // namespace
