// The tones' phase between a codeword and its twins, on identifiers made by tests/support/synth.h
// (continuous phase) and by a generator here whose every symbol starts at a phase of its own.
#include "coherent.h"
#include "soft.h"
#include "synth.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <random>
#include <vector>

namespace {

constexpr double rate = 6000.0;
constexpr double symbol = 557.0; // samples at 6000/s
constexpr double spacing = 10.7666;
constexpr double amplitude = 3000.0;
// The detector's default twin threshold.
const double enough = rsid::detector_options{}.twin_log_odds;

std::array<uint8_t, 15> tones(int code) {
    std::array<uint8_t, 15> t{};
    const auto w = synth::codeword(code);
    for (std::size_t i = 0; i < 15; ++i)
        t[i] = static_cast<uint8_t>(w[i]);
    return t;
}

// The code whose codeword is code's shifted by symbols (later: its symbol i is code's i + d) and
// tones (higher: its tones are code's less k) in the 14 or 13 places they overlap.
int twin_of(int code, int d, int k) {
    const auto w = synth::codeword(code);
    for (int other = 0; other < 4096; ++other) {
        const auto v = synth::codeword(other);
        int shared = 0, overlap = 0;
        for (int i = 0; i < 15; ++i) {
            if (i + d >= 0 && i + d < 15) {
                ++overlap;
                shared += v[static_cast<std::size_t>(i)] + k == w[static_cast<std::size_t>(i + d)];
            }
        }
        if (other != code && shared == overlap && overlap >= 13)
            return other;
    }
    return -1;
}

enum class how { plain, unlocked, drifting, carrier, muted };

// An identifier from a generator of its own: one oscillator (plain), or one drifting 1 Hz/s
// across it, or every symbol at a phase of its own (the tones of no one oscillator); or plain with
// a steady carrier 20 dB above it, 30 Hz below tone 0; or plain with its last symbol faded out.
void add_sent(std::vector<double>& x, double start, double base_hz, int code, how kind,
              unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> any_phase(0.0, 2.0 * std::numbers::pi);
    const auto w = synth::codeword(code);
    double phase = 0.0;
    for (int m = 0; m < 15; ++m) {
        if (kind == how::unlocked)
            phase = any_phase(rng);
        const auto first = static_cast<std::size_t>(std::ceil(start + m * symbol));
        for (std::size_t n = first; n < first + static_cast<std::size_t>(symbol); ++n) {
            double f = base_hz + w[static_cast<std::size_t>(m)] * spacing;
            if (kind == how::drifting)
                f += (static_cast<double>(n) - start - 7.5 * symbol) / rate;
            phase += 2.0 * std::numbers::pi * f / rate;
            x[n] += kind == how::muted && m == 14 ? 0.0 : amplitude * std::sin(phase);
        }
    }
    if (kind == how::carrier) {
        for (std::size_t n = 0; n < x.size(); ++n)
            x[n] +=
                10.0 * amplitude *
                std::sin(2.0 * std::numbers::pi * (base_hz - 30.0) * static_cast<double>(n) / rate);
    }
}

} // namespace

// A codeword against its twin a symbol late, a symbol early, or a symbol early and a tone up,
// with the hypotheses as a report gives them (start and frequency a little off), at -13 dB where
// their energies alone seldom tell them apart. The phase of the one tone where they differ names
// the one sent, from one oscillator or one drifting, and never names the other, also beside a
// strong carrier; tones not of one oscillator tell nothing; hypotheses the samples do not hold
// are not weighed. Against a code whose last tone a fade took, the phase favours its twin (by
// more than the whole threshold), but the twin's own tone is not heard: it is not named.
TEST(Coherent, PhaseNamesTheOneSent) {
    struct trial {
        int code, d, k;
        bool sent_a; // else the twin
        how kind;
        double start_off, hz_off; // of the hypotheses, in samples and Hz
        int named;                // of 6 seeds, at least
    };
    const trial trials[] = {
        {131, 1, 0, true, how::plain, 0.0, 0.0, 4},
        {131, 1, 0, false, how::plain, 0.0, 0.0, 4},
        {2000, -1, 0, true, how::plain, 40.0, 1.2, 4},
        {2000, -1, 0, false, how::plain, -35.0, -0.9, 4},
        {4083, -1, 1, true, how::plain, -20.0, 0.6, 4},
        {4083, -1, 1, false, how::plain, 25.0, -1.5, 4},
        {2000, 1, 0, true, how::drifting, 10.0, 0.3, 4},
        {2000, 1, 0, false, how::drifting, 10.0, 0.3, 4},
        {3333, 1, 0, false, how::carrier, 0.0, 0.0, 0},
        {3333, -1, 0, true, how::carrier, 0.0, 0.0, 0},
        {3333, 1, 0, true, how::unlocked, 0.0, 0.0, 0},
        {2000, -1, 0, true, how::muted, 0.0, 0.0, 0},
        {131, -1, 0, true, how::muted, 15.0, -0.4, 0},
    };
    for (const trial& t : trials) {
        const int other = twin_of(t.code, t.d, t.k);
        ASSERT_GE(other, 0) << t.code;
        const auto a = tones(t.code), b = tones(other);
        const double start = 1.2 * rate, base = 1100.0;
        int named = 0, weighed = 0;
        for (unsigned seed = 1; seed <= 6; ++seed) {
            std::vector<double> x(24000);
            if (t.sent_a)
                add_sent(x, start, base, t.code, t.kind, seed);
            else
                add_sent(x, start + t.d * symbol, base + t.k * spacing, other, t.kind, seed);
            synth::add_noise(x, rate, amplitude, -13.0, seed);
            const rsid::tone_hypothesis ha{a.data(), start + t.start_off, base + t.hz_off};
            const rsid::tone_hypothesis hb{b.data(), ha.start + t.d * symbol,
                                           ha.base_hz + t.k * spacing};
            bool a_own = false, b_own = false;
            const auto odds = rsid::coherent_log_odds(x.data(), x.size(), ha, hb, &a_own);
            const auto back = rsid::coherent_log_odds(x.data(), x.size(), hb, ha, &b_own);
            const auto right = t.sent_a ? odds : back, wrong = t.sent_a ? back : odds;
            // The detector's rule: the named code's own tones heard, and the threshold reached.
            auto names = [](const std::optional<double>& odds_of, bool own) {
                return odds_of && own && *odds_of >= enough;
            };
            EXPECT_FALSE(names(wrong, t.sent_a ? b_own : a_own)) << t.code << " seed " << seed;
            if (t.kind == how::unlocked) {
                EXPECT_TRUE(!right || *right < enough) << t.code << " seed " << seed;
                weighed += odds || back ? 1 : 0;
            }
            named += names(right, t.sent_a ? a_own : b_own) ? 1 : 0;
        }
        EXPECT_GE(named, t.named) << t.code << " twin " << other << " sent "
                                  << (t.sent_a ? "a" : "b");
        EXPECT_LE(weighed, 1) << t.code;
    }
    // A twin whose odd tone lies outside the samples is not weighed.
    const auto a = tones(131), b = tones(twin_of(131, -1, 0));
    std::vector<double> x(24000);
    const rsid::tone_hypothesis ha{a.data(), 100.0, 1100.0}, hb{b.data(), 100.0 - symbol, 1100.0};
    EXPECT_FALSE(rsid::coherent_log_odds(x.data(), x.size(), ha, hb));
}
