// The identifier at any rate: the exports' own samples at 48000/s, and at every other rate a
// stream in which the detector finds it where the silence before it ends.
#include "rsid.h"
#include "send.h"
#include "stream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace {

TEST(Send, At48000TheSamplesAreTheExportsOwn) {
    const double lead = 0.25, tail = 0.1;
    const std::vector<int16_t> got = rsid::send_int16({1234.5, 48000.0, lead, tail});
    ASSERT_EQ(got.size(), 12000u + 66840u + 4800u);
    std::vector<int16_t> want(12000, 0);
    int16_t block[1920];
    rsid_encode(1234.5);
    while (want.size() < 12000u + 66840u) {
        rsid_get(block);
        want.insert(want.end(), block, block + 1920);
    }
    want.resize(12000u + 66840u);
    want.resize(got.size(), 0);
    EXPECT_EQ(got, want);
}

TEST(Send, EveryRateHoldsTheIdentifierAfterTheLead) {
    const double lead = 0.6, tail = 1.0;
    for (double rate : {1000.0, 8000.0, 11025.0, 44100.0, 96000.0, 192000.0, 768000.0}) {
        const double freq = rate == 1000.0 ? 300.0 : 1700.0; // the tones fit below 500 Hz
        const std::vector<double> x = rsid::send_samples({freq, rate, lead, tail});
        ASSERT_EQ(x.size(), static_cast<std::size_t>(std::llround((lead + 1.3925 + tail) * rate)))
            << rate;
        if (rate == 1000.0)
            continue; // below the detector's band: the length is all there is to check
        rsid::stream_detector d(rate);
        std::vector<rsid::detection> found;
        d.feed(x.data(), x.size(), found);
        d.finish(found);
        ASSERT_EQ(found.size(), 1u) << rate;
        EXPECT_NEAR(found[0].time_s, lead, 0.025) << rate;
        EXPECT_NEAR(found[0].freq_hz, freq, 3.0) << rate;
        // Peak 20000 of 32768, through the resampler: about -4.3 dBFS everywhere.
        EXPECT_NEAR(found[0].level_dbfs, 20.0 * std::log10(20000.0 / 32768.0), 1.0) << rate;
    }
}

TEST(Send, RefusesWhatCannotBeSent) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const rsid::send_request bad[] = {
        {0.0, 48000.0, 0.0, 0.0},    {-5.0, 48000.0, 0.0, 0.0},       {nan, 48000.0, 0.0, 0.0},
        {1500.0, 999.0, 0.0, 0.0},   {1500.0, 768001.0, 0.0, 0.0},    {1500.0, nan, 0.0, 0.0},
        {1500.0, 3000.0, 0.0, 0.0},  {23900.0, 96000.0, 0.0, 0.0},    {1500.0, 48000.0, -1.0, 0.0},
        {1500.0, 48000.0, 0.0, nan}, {1500.0, 48000.0, 86401.0, 0.0},
    };
    for (const auto& r : bad)
        EXPECT_THROW(rsid::send_samples(r), std::invalid_argument)
            << r.freq_hz << " Hz at " << r.rate << ", lead " << r.lead_s << ", tail " << r.tail_s;
}

} // namespace
