// The whole receiver on audio from the library's own generator, reduced to 6000 samples/s by
// keeping every eighth sample.
#include "rsid.h"
#include "rsid_state.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

struct detection {
    size_t block; // index of the 960-sample block that reported
    int32_t code, bin, distance;
    double freq;
};

class Detect : public ::testing::Test {
  protected:
    void SetUp() override {
        rsid_rx = rsid_receiver{}; // as after load
        rsid_tx = rsid_transmitter{};
        init_rsid();
    }

    // The identifier at base_hz and 6000 samples/s, scaled to the given peak.
    static std::vector<double> identifier(double base_hz, double peak = 20000.0) {
        rsid_encode(base_hz);
        std::vector<double> out;
        int16_t block[1920];
        int more;
        do {
            more = rsid_get(block);
            for (int n = 0; n < 1920; n += 8)
                out.push_back(block[n] * (peak / 20000.0));
        } while (more);
        out.resize(66840 / 8); // drop the silence after the last tone
        return out;
    }

    static void append_silence(std::vector<double>& s, double seconds) {
        s.resize(s.size() + static_cast<size_t>(seconds * 6000), 0.0);
    }

    // lead seconds of silence, the identifier, tail seconds of silence.
    static std::vector<double> framed(double base_hz, double lead, double tail,
                                      double peak = 20000.0) {
        std::vector<double> s;
        append_silence(s, lead);
        const std::vector<double> id = identifier(base_hz, peak);
        s.insert(s.end(), id.begin(), id.end());
        append_silence(s, tail);
        return s;
    }

    // Feeds the stream in blocks of 960 (the last one padded) and collects the reports.
    static std::vector<detection> feed(std::vector<double> s) {
        s.resize((s.size() + 959) / 960 * 960, 0.0);
        std::vector<detection> out;
        for (size_t b = 0; b < s.size() / 960; ++b) {
            if (rsid_check(&s[b * 960]))
                out.push_back({b, rsid_rx.detected_code, rsid_rx.detected_bin,
                               rsid_rx.detected_distance, getrsfreq()});
        }
        return out;
    }
};

TEST_F(Detect, ReferenceCase1502Point7Hz) {
    EXPECT_DOUBLE_EQ(getrsfreq(), 0.5 * 5.3833); // before any report: bin 0
    std::vector<double> s = framed(1502.7, 2.0, 4.0);
    auto found = feed(s);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].code, 131);
    EXPECT_EQ(found[0].distance, 0);
    EXPECT_EQ(found[0].bin, 279);
    EXPECT_NEAR(found[0].freq, 1504.6324, 5e-5); // (279 + 0.5) * 5.3833 = 1504.63235
    // Reported a little after the sequence ends, about 1.5 s after it starts.
    double after_start = static_cast<double>(found[0].block + 1) * 960 / 6000.0 - 2.0;
    EXPECT_GT(after_start, 1.39);
    EXPECT_LT(after_start, 1.75);
    // getrsfreq keeps the last frequency.
    std::vector<double> quiet;
    append_silence(quiet, 3.0);
    EXPECT_TRUE(feed(quiet).empty());
    EXPECT_EQ(getrsfreq(), found[0].freq);
}

TEST_F(Detect, SilenceAndSignalsThatTruncateAwayAreNeverReported) {
    std::vector<double> s;
    append_silence(s, 5.0);
    EXPECT_TRUE(feed(s).empty());
    // Every magnitude of this one truncates to 0.
    EXPECT_TRUE(feed(framed(1502.7, 1.0, 3.0, 1.0)).empty());
}

TEST_F(Detect, RecognisedAcrossTheBandAndAtAnyStartOffset) {
    const std::vector<double> bases = {600.0,  633.3,  777.7,  901.0,  1000.0, 1111.1,
                                       1250.5, 1377.0, 1500.0, 1623.9, 1750.2, 1888.8,
                                       1999.0, 2100.0, 2150.3, 2200.0};
    int offset = 0;
    for (double base : bases) {
        SetUp();
        std::vector<double> s(static_cast<size_t>(3000 + offset), 0.0);
        offset = (offset + 137) % 960; // a different alignment to the blocks and frames each time
        const std::vector<double> id = identifier(base);
        s.insert(s.end(), id.begin(), id.end());
        append_silence(s, 3.0);
        auto found = feed(s);
        ASSERT_EQ(found.size(), 1u) << "base " << base;
        EXPECT_EQ(found[0].code, 131);
        EXPECT_LE(found[0].distance, 1) << "base " << base;
        EXPECT_NEAR(found[0].freq, base, 5.3833) << "base " << base;
    }
}

TEST_F(Detect, TwoIdentifiersInOneStreamAndInNoise) {
    const unsigned seed = 31337;
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 2000.0);
    std::vector<double> s;
    append_silence(s, 1.0);
    for (double base : {1000.0, 1800.0}) {
        const std::vector<double> id = identifier(base);
        s.insert(s.end(), id.begin(), id.end());
        append_silence(s, 2.5);
    }
    for (double& v : s)
        v = std::trunc(v + noise(rng));
    auto found = feed(s);
    ASSERT_EQ(found.size(), 2u) << "seed " << seed;
    EXPECT_NEAR(found[0].freq, 1000.0, 5.3833);
    EXPECT_NEAR(found[1].freq, 1800.0, 5.3833);

    SetUp();
    std::vector<double> only_noise(6000 * 20);
    for (double& v : only_noise)
        v = std::trunc(noise(rng));
    EXPECT_TRUE(feed(only_noise).empty()) << "seed " << seed;
}

TEST_F(Detect, AReportStopsIntakeForTheRestOfTheBlock) {
    std::vector<double> s = framed(1502.7, 0.5, 3.0);
    s.resize((s.size() + 959) / 960 * 960, 0.0);
    for (size_t b = 0; b < s.size() / 960; ++b) {
        if (rsid_check(&s[b * 960])) {
            // Returned right after the analysis that reported: nothing taken in after it.
            EXPECT_TRUE(rsid_rx.fill == 1114 - 279 || rsid_rx.fill == 1114 - 278)
                << "fill " << rsid_rx.fill;
            return;
        }
    }
    FAIL() << "never reported";
}

TEST_F(Detect, AtMostFourAnalysesPerBlock) {
    std::vector<double> block(960, 0.0);
    rsid_check(block.data());
    rsid_rx.fill = 1113; // the frame fills at the first sample of the next block
    rsid_rx.hop = 279;
    int before = rsid_rx.history_row;
    rsid_check(block.data());
    EXPECT_EQ((rsid_rx.history_row - before + 29) % 29, 4);
    EXPECT_EQ(rsid_rx.fill, 1113 + 960 - (279 + 278 + 279 + 278));
}

TEST_F(Detect, ReinitialisingKeepsTheStream) {
    std::vector<double> s = framed(1502.7, 1.0, 3.0);
    s.resize((s.size() + 959) / 960 * 960, 0.0);
    const auto straight = feed(s);
    ASSERT_EQ(straight.size(), 1u);

    // Re-initialise at every block, including while the match is held.
    SetUp();
    std::vector<detection> found;
    for (size_t b = 0; b < s.size() / 960; ++b) {
        init_rsid();
        if (rsid_check(&s[b * 960]))
            found.push_back({b, rsid_rx.detected_code, rsid_rx.detected_bin, 0, getrsfreq()});
    }
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].block, straight[0].block);
    EXPECT_EQ(found[0].bin, straight[0].bin);
}

TEST_F(Detect, NothingIsReportedBeforeInit) {
    rsid_rx = rsid_receiver{};
    std::vector<double> s = identifier(1502.7);
    append_silence(s, 3.0);
    EXPECT_TRUE(feed(s).empty());
    EXPECT_DOUBLE_EQ(getrsfreq(), 0.5 * 5.3833);
}

TEST_F(Detect, HostileSamplesAreHarmlessAndTheDetectorRecovers) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> s;
    for (double v : {nan, inf, -inf, 1e300, -1e308, 3e9}) {
        s.insert(s.end(), 960, v);
        s.insert(s.end(), 960, 0.0);
    }
    s[100] = nan;
    EXPECT_TRUE(feed(s).empty());
    const int fill = rsid_rx.fill;
    EXPECT_EQ(rsid_check(nullptr), 0);
    EXPECT_EQ(rsid_rx.fill, fill);

    std::vector<double> after = framed(1234.0, 1.0, 3.0);
    auto found = feed(after);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NEAR(found[0].freq, 1234.0, 5.3833);
}

} // namespace
