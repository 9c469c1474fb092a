// Receivers as values: two detectors side by side each get what they get alone, and threads
// running detectors of their own (and racing to build the shared tables) agree with one thread.
#include "rsid_signal.h"
#include "rsid_state.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <thread>
#include <vector>

namespace {

struct report {
    size_t block;
    int32_t bin;
    bool operator==(const report&) const = default;
};

// lead seconds of noise, the identifier at base_hz (every eighth generator sample), 3 s tail.
std::vector<double> stream(double base_hz, double lead, unsigned seed) {
    std::vector<double> s;
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 300.0);
    s.resize(static_cast<size_t>(lead * rsid_signal::rx_rate));
    rsid_transmitter tx{};
    rsid_tx_arm(tx, base_hz);
    int16_t block[rsid_signal::tx_block];
    int more;
    do {
        more = rsid_tx_get(tx, block);
        for (int n = 0; n < rsid_signal::tx_block; n += rsid_signal::decimation)
            s.push_back(block[n]);
    } while (more);
    s.resize(s.size() + 3 * rsid_signal::rx_rate);
    s.resize((s.size() + 959) / 960 * 960);
    for (double& v : s)
        v += noise(rng);
    return s;
}

std::vector<report> run(rsid_receiver& rx, const std::vector<double>& s, size_t from, size_t to) {
    std::vector<report> out;
    for (size_t b = from; b < to; ++b)
        if (rsid_receiver_check(rx, &s[b * 960]))
            out.push_back({b, rx.detected_bin});
    return out;
}

TEST(Receivers, TwoSideBySideGetWhatEachGetsAlone) {
    const std::vector<double> a = stream(900.0, 1.3, 1);
    const std::vector<double> b = stream(1800.0, 2.9, 2);
    auto alone_a = std::make_unique<rsid_receiver>();
    auto alone_b = std::make_unique<rsid_receiver>();
    rsid_receiver_init(*alone_a);
    rsid_receiver_init(*alone_b);
    const std::vector<report> want_a = run(*alone_a, a, 0, a.size() / 960);
    const std::vector<report> want_b = run(*alone_b, b, 0, b.size() / 960);
    ASSERT_EQ(want_a.size(), 1u);
    ASSERT_EQ(want_b.size(), 1u);
    EXPECT_NE(want_a[0].bin, want_b[0].bin);

    // Interleaved block by block, and sharing the tables of the static receiver.
    auto x = std::make_unique<rsid_receiver>();
    auto y = std::make_unique<rsid_receiver>();
    rsid_receiver_init(*x);
    rsid_receiver_init(*y);
    std::vector<report> got_a, got_b;
    for (size_t blk = 0; blk < std::max(a.size(), b.size()) / 960; ++blk) {
        if (blk < a.size() / 960)
            for (const report& r : run(*x, a, blk, blk + 1))
                got_a.push_back(r);
        if (blk < b.size() / 960)
            for (const report& r : run(*y, b, blk, blk + 1))
                got_b.push_back(r);
    }
    EXPECT_EQ(got_a, want_a);
    EXPECT_EQ(got_b, want_b);
    EXPECT_EQ(x->tables, y->tables); // one shared copy of the tables
}

// Run under ThreadSanitizer in CI: the first use of the shared tables races on purpose.
TEST(Receivers, ThreadsWithDetectorsOfTheirOwnAgreeWithOneThread) {
    constexpr int threads = 4;
    std::vector<std::vector<double>> inputs;
    for (int t = 0; t < threads; ++t)
        inputs.push_back(stream(700.0 + 350.0 * t, 0.5 + 0.4 * t, 10u + static_cast<unsigned>(t)));
    std::vector<std::vector<report>> got(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            auto rx = std::make_unique<rsid_receiver>();
            rsid_receiver_init(*rx);
            const auto& s = inputs[static_cast<size_t>(t)];
            got[static_cast<size_t>(t)] = run(*rx, s, 0, s.size() / 960);
        });
    }
    for (std::thread& th : pool)
        th.join();
    for (int t = 0; t < threads; ++t) {
        auto rx = std::make_unique<rsid_receiver>();
        rsid_receiver_init(*rx);
        const auto& s = inputs[static_cast<size_t>(t)];
        EXPECT_EQ(got[static_cast<size_t>(t)], run(*rx, s, 0, s.size() / 960)) << "thread " << t;
        EXPECT_EQ(got[static_cast<size_t>(t)].size(), 1u) << "thread " << t;
    }
}

} // namespace
