// soft_bench.cpp - the soft rule against the library's: detection curves with independent
// identifiers, false reports in long noise, and the 50 % points under fading, drift and a carrier.
//
//   soft_bench curve [OPTIONS] SNR...   identifiers in noise through the 48 kHz path
//   soft_bench wrong [OPTIONS] SNR...   wrong codes among the reports, by kind, and their bound
//   soft_bench noise [OPTIONS] HOURS    false reports in white and pink noise at 6000/s
//   soft_bench scan [OPTIONS] HOURS     false reports of the band scanner, real 48 kHz noise
//   soft_bench speed SECONDS            real-time factors of each rule, detector and scanner
//
// OPTIONS: --exact (the library's rule), --codes all|N,N,... (default 131), --unambiguous (with
// all codes: leave out the codes another code imitates a few tones away), --trials N (200),
// --rate R (48000), --cond awgn|fade0.1|fade1|drift|carrier|unlocked|mute, --threshold DB, --twin
// LOG_ODDS (detector_options::twin_log_odds), --seed N. (mute: the identifier's last symbol
// lost, as to a deep fade or a gap in the audio.)
//
// A trial is 3.5 s of white noise with one identifier of a random code (from the set; 131 by
// default) at a random frequency (tone 0 from 700 to 2000 Hz) and start (0.3 to 1.5 s), made
// by tests/support/synth.h, not by the library. Found: a report of the right code within 6 Hz
// and 50 ms. Wrong: a report of another code within 100 Hz and 0.5 s.
//
// wrong: --codes all, random codes (not the 16 one-tone words); each trial seeded on its own
// (--seed, SNR, trial), so one can be replayed. A report near the identifier (170 Hz, 0.5 s: a
// codeword 15 tones off) of another code is wrong, sorted by what it shares with the sent one:
// the same tones at the same times (another code that is this signal: not counted as wrong),
// shifted in time by whole symbols (a cyclic shift, maybe also in frequency), or in frequency
// only, or neither. --verbose lists them; --replay SEED runs the trial of that seed alone at each
// SNR given (the same draw of noise, scaled).
#include "scanner.h"
#include "stream.h"
#include "synth.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

struct settings {
    rsid::detector_options detector;
    bool unambiguous = false; // --codes all: draw only codes that no other code imitates
    int trials = 200;
    double rate = 48000.0;
    std::string cond = "awgn";
    unsigned seed = 1;
    bool verbose = false;
    unsigned replay = 0; // wrong: only the trial of this seed
};

// Rayleigh flat fading: a sum of sinusoids with random angles of arrival and phases (Jakes'
// model) with Doppler spread fd, mean power 1.
struct fading {
    std::vector<double> freq, phase;
    fading(double fd, std::mt19937& rng) {
        std::uniform_real_distribution<double> u(0.0, 2.0 * std::numbers::pi);
        for (int i = 0; i < 32; ++i) {
            freq.push_back(fd * std::cos(u(rng)));
            phase.push_back(u(rng));
        }
    }
    std::complex<double> at(double t) const {
        std::complex<double> g;
        for (std::size_t i = 0; i < freq.size(); ++i)
            g += std::polar(1.0, 2.0 * std::numbers::pi * freq[i] * t + phase[i]);
        return g / std::sqrt(static_cast<double>(freq.size()));
    }
};

// The identifier with a condition applied: a complex phase, scaled by the fading gain.
void add_condition(std::vector<double>& x, double rate, double start_s, double base_hz,
                   double amplitude, int code, const std::string& cond, std::mt19937& rng) {
    const auto symbols = synth::codeword(code);
    const double fd = cond == "fade0.1" ? 0.1 : cond == "fade1" ? 1.0 : 0.0;
    const fading fade(fd, rng);
    double phase = 0.0;
    std::uniform_real_distribution<double> any_phase(0.0, 2.0 * std::numbers::pi);
    int symbol = -1;
    const auto first = static_cast<std::size_t>(std::ceil(start_s * rate));
    for (std::size_t n = first; n < x.size(); ++n) {
        const double into = static_cast<double>(n) / rate - start_s;
        if (into >= synth::length_s)
            break;
        const auto now = static_cast<int>(into / synth::symbol_s);
        if (cond == "unlocked" && now != symbol) // a sender whose every tone starts afresh
            phase = any_phase(rng);
        symbol = now;
        double f = base_hz + symbols[static_cast<std::size_t>(now)] * 10.7666;
        if (cond == "drift")
            f += 1.0 * (into - synth::length_s / 2.0); // 1 Hz/s, centred on the identifier
        phase += 2.0 * std::numbers::pi * f / rate;
        std::complex<double> v = std::polar(amplitude, phase);
        if (fd > 0.0)
            v *= fade.at(static_cast<double>(n) / rate);
        if (cond == "mute" && now == 14) // its last symbol lost (a deep fade, a gap)
            v = 0.0;
        x[n] += v.imag();
    }
    if (cond == "carrier") { // 20 dB above the identifier, 30 Hz below tone 0, all the time
        const double a = amplitude * 10.0;
        for (std::size_t n = 0; n < x.size(); ++n)
            x[n] += a * std::sin(2.0 * std::numbers::pi * (base_hz - 30.0) *
                                 static_cast<double>(n) / rate);
    }
}

// One trial: 3.5 s of white noise at snr with an identifier of code (tone 0 at f0 Hz, starting
// at t0 s) under the settings' condition, through a fresh stream detector.
std::vector<rsid::detection> trial(const settings& s, double snr, int code, double f0, double t0,
                                   std::mt19937& rng) {
    const double amplitude = 3000.0;
    std::vector<double> x(static_cast<std::size_t>(3.5 * s.rate));
    add_condition(x, s.rate, t0, f0, amplitude, code, s.cond, rng);
    synth::add_noise(x, s.rate, amplitude, snr, static_cast<unsigned>(rng()));
    rsid::stream_detector d(s.rate, 32768.0, s.detector);
    std::vector<rsid::detection> out;
    d.feed(x.data(), x.size(), out);
    d.finish(out);
    return out;
}

void curve(const settings& s, const std::vector<double>& snrs) {
    std::printf("%-8s %7s %7s %7s %9s %9s\n", "snr_db", "found", "wrong", "other", "|df| Hz",
                "|dt| ms");
    std::mt19937 rng(s.seed);
    std::uniform_real_distribution<double> base(700.0, 2000.0), start(0.3, 1.5);
    std::uniform_int_distribution<int> any(1, 4095);
    // Codes whose codeword plus a constant k is a codeword (no symbol has a bit of k set, or
    // every symbol has them all): sent k tones up, they are that other code, tone for tone.
    auto imitated = [](int code) {
        const auto w = synth::codeword(code);
        for (int k = 1; k < 16; ++k) {
            bool up = true, down = true;
            for (const int v : w) {
                up = up && (v & k) == 0;
                down = down && (v & k) == k;
            }
            if (up || down)
                return true;
        }
        return false;
    };
    for (const double snr : snrs) {
        int found = 0, wrong = 0, other = 0;
        double df = 0.0, dt = 0.0;
        for (int t = 0; t < s.trials; ++t) {
            int code =
                s.detector.all_codes
                    ? any(rng)
                    : s.detector.codes[static_cast<std::size_t>(t) % s.detector.codes.size()];
            while (s.detector.all_codes && s.unambiguous && imitated(code))
                code = any(rng);
            const double f0 = base(rng), t0 = start(rng);
            const std::vector<rsid::detection> out = trial(s, snr, code, f0, t0, rng);
            bool hit = false;
            for (const auto& r : out) {
                const double e_f = std::abs(r.freq_hz - f0), e_t = std::abs(r.time_s - t0);
                if (r.code == code && e_f <= 6.0 && e_t <= 0.05 && !hit) {
                    hit = true;
                    df += e_f, dt += e_t;
                } else if (r.code != code && e_f <= 100.0 && e_t <= 0.5) {
                    ++wrong;
                } else {
                    ++other;
                }
            }
            found += hit ? 1 : 0;
        }
        std::printf("%-8.1f %7.3f %7d %7d %9.2f %9.1f\n", snr,
                    static_cast<double>(found) / s.trials, wrong, other, found ? df / found : 0.0,
                    found ? 1000.0 * dt / found : 0.0);
        std::fflush(stdout);
    }
}

// The one-sided 95 % upper bound on a rate of which x in n were seen (Clopper-Pearson).
double upper_bound(int x, int n) {
    if (n == 0)
        return 1.0;
    auto at_most = [&](double p) { // P(X <= x) for X binomial (n, p)
        double sum = 0.0;
        for (int k = 0; k <= x; ++k)
            sum += std::exp(std::lgamma(n + 1.0) - std::lgamma(k + 1.0) - std::lgamma(n - k + 1.0) +
                            k * std::log(p) + (n - k) * std::log1p(-p));
        return sum;
    };
    double lo = 0.0, hi = 1.0;
    for (int i = 0; i < 60; ++i) {
        const double mid = 0.5 * (lo + hi);
        (at_most(mid) > 0.05 ? lo : hi) = mid;
    }
    return hi;
}

void wrong(const settings& s, const std::vector<double>& snrs) {
    std::printf("%-7s %6s %6s %7s %6s %5s %6s %6s %6s %6s %9s\n", "snr_db", "trials", "found",
                "reports", "wrong", "same", "time", "freq", "other", "missed", "wrong<=");
    constexpr double step_hz = 10.7666;
    int all_reports = 0, all_wrong = 0;
    for (std::size_t si = 0; si < snrs.size(); ++si) {
        const double snr = snrs[si];
        int found = 0, reports = 0, same = 0, time = 0, freq = 0, other = 0;
        for (int t = 0; t < s.trials; ++t) {
            if (s.replay != 0 && t > 0)
                break;
            const unsigned seed = s.replay != 0
                                      ? s.replay
                                      : s.seed * 1000003u + static_cast<unsigned>(si) * 100003u +
                                            static_cast<unsigned>(t);
            std::mt19937 rng(seed);
            std::uniform_real_distribution<double> base(700.0, 2000.0), start(0.3, 1.5);
            std::uniform_int_distribution<int> any(1, 4095);
            int code = any(rng);
            for (auto w = synth::codeword(code);
                 std::all_of(w.begin(), w.end(), [&](int v) { return v == w[0]; });
                 w = synth::codeword(code))
                code = any(rng);
            const double f0 = base(rng), t0 = start(rng);
            const std::vector<rsid::detection> out = trial(s, snr, code, f0, t0, rng);
            const auto sent = synth::codeword(code);
            bool hit = false;
            for (const auto& r : out) {
                const double e_f = r.freq_hz - f0, e_t = r.time_s - t0;
                if (r.code == code && std::abs(e_f) <= 6.0 && std::abs(e_t) <= 0.05) {
                    hit = true;
                    ++reports;
                    continue;
                }
                if (r.code == code || std::abs(e_f) > 170.0 || std::abs(e_t) > 0.5)
                    continue;
                ++reports;
                // Report slot i lies at sent slot i + dt, its tones dk above the sent ones'.
                const auto dk = static_cast<int>(std::lround(e_f / step_hz));
                const auto dt = static_cast<int>(std::lround(e_t / synth::symbol_s));
                const auto heard = synth::codeword(r.code);
                int shared = 0;
                for (int i = 0; i < 15; ++i) {
                    const int j = i + dt;
                    shared += j >= 0 && j < 15 &&
                                      sent[static_cast<std::size_t>(j)] ==
                                          heard[static_cast<std::size_t>(i)] + dk
                                  ? 1
                                  : 0;
                }
                const char* kind = shared == 15 ? "same"
                                   : dt != 0    ? "time"
                                   : dk != 0    ? "freq"
                                                : "other";
                ++(shared == 15 ? same : dt != 0 ? time : dk != 0 ? freq : other);
                if (s.verbose)
                    std::printf("   seed %u: code %d at %.1f Hz %.3f s heard as %d, %+d tones "
                                "%+d symbols, %d tones shared: %s\n",
                                seed, code, f0, t0, r.code, dk, dt, shared, kind);
            }
            found += hit ? 1 : 0;
        }
        const int bad = time + freq + other;
        const int counted = reports - same;
        all_reports += counted;
        all_wrong += bad;
        std::printf("%-7.1f %6d %6.3f %7d %6d %5d %6d %6d %6d %6d %9.2g\n", snr, s.trials,
                    static_cast<double>(found) / s.trials, reports, bad, same, time, freq, other,
                    s.trials - found, upper_bound(bad, counted));
        std::fflush(stdout);
    }
    std::printf("all     %6zu %6s %7d %6d %34s %9.2g\n",
                snrs.size() * static_cast<std::size_t>(s.trials), "", all_reports, all_wrong, "",
                upper_bound(all_wrong, all_reports));
}

// Pink noise: white noise through Paul Kellet's economy filter (within 0.5 dB of 1/f above
// 10 Hz at these rates), scaled to the given deviation.
struct pink {
    double b0 = 0, b1 = 0, b2 = 0;
    double next(double w) {
        b0 = 0.99765 * b0 + w * 0.0990460;
        b1 = 0.96300 * b1 + w * 0.2965164;
        b2 = 0.57000 * b2 + w * 1.0526913;
        return (b0 + b1 + b2 + w * 0.1848) / 3.5;
    }
};

void noise(const settings& s, double hours) {
    std::printf("%-6s %8s %8s %10s\n", "noise", "hours", "reports", "per 24 h");
    for (const bool is_pink : {false, true}) {
        std::mt19937_64 rng(s.seed + (is_pink ? 1000 : 0));
        std::normal_distribution<double> gauss(0.0, 3000.0);
        pink filter;
        rsid::detector d(s.detector);
        std::vector<rsid::detection> out;
        std::vector<double> block(6000);
        const auto seconds = static_cast<long>(hours * 3600.0);
        for (long sec = 0; sec < seconds; ++sec) {
            for (double& v : block)
                v = is_pink ? filter.next(gauss(rng)) : gauss(rng);
            d.feed(block.data(), block.size(), out);
        }
        d.finish(out);
        std::printf("%-6s %8.1f %8zu %10.3f\n", is_pink ? "pink" : "white", hours, out.size(),
                    static_cast<double>(out.size()) * 24.0 / hours);
        for (const auto& r : out)
            std::printf("   at %.1f s: code %d, %.1f Hz, snr %.1f dB, distance %d\n",
                        r.start / 6000.0, r.code, r.freq_hz, r.snr_db, r.distance);
        std::fflush(stdout);
    }
}

void scan_noise(const settings& s, double hours) {
    std::printf("%-6s %8s %8s %10s\n", "noise", "hours", "reports", "per 24 h");
    std::mt19937_64 rng(s.seed);
    std::normal_distribution<double> gauss(0.0, 0.1);
    rsid::scan_options o;
    o.rate = 48000.0;
    rsid::band_scanner scanner(o, s.detector);
    std::vector<rsid::detection> out;
    std::vector<float> block(48000);
    const auto seconds = static_cast<long>(hours * 3600.0);
    for (long sec = 0; sec < seconds; ++sec) {
        for (float& v : block)
            v = static_cast<float>(gauss(rng));
        scanner.feed(block.data(), block.size(), out);
    }
    scanner.finish(out);
    std::printf("%-6s %8.1f %8zu %10.3f\n", "white", hours, out.size(),
                static_cast<double>(out.size()) * 24.0 / hours);
    for (const auto& r : out)
        std::printf("   at %.1f s: code %d, %.1f Hz, snr %.1f dB\n", r.time_s, r.code, r.freq_hz,
                    r.snr_db);
}

// Real-time factors (input seconds per second of one core) of the 48 kHz detector and the
// 192 kHz I/Q scanner under each rule, on the same noise, in this one process.
void speed(double seconds) {
    auto factor = [&](const auto& run) {
        const auto t0 = std::chrono::steady_clock::now();
        run();
        return seconds /
               std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    std::mt19937 rng(1);
    std::normal_distribution<float> gauss(0.0f, 0.05f);
    std::vector<float> audio(static_cast<std::size_t>(48000.0 * seconds));
    for (float& v : audio)
        v = gauss(rng);
    std::vector<float> iq(static_cast<std::size_t>(2 * 192000.0 * seconds));
    for (float& v : iq)
        v = gauss(rng);
    rsid::detector_options exact, soft, all;
    exact.exact = true;
    all.all_codes = true;
    const std::pair<const char*, rsid::detector_options> rules[] = {
        {"exact", exact}, {"soft 131", soft}, {"soft all", all}};
    for (const auto& [name, rule] : rules) {
        const double detect = factor([&] {
            rsid::stream_detector d(48000.0, 1.0, rule);
            std::vector<rsid::detection> out;
            for (std::size_t i = 0; i < audio.size(); i += 48000)
                d.feed(audio.data() + i, std::min<std::size_t>(48000, audio.size() - i), out);
            d.finish(out);
        });
        const double scan = factor([&] {
            rsid::scan_options o;
            o.rate = 192000.0;
            o.complex = true;
            rsid::band_scanner b(o, rule);
            std::vector<rsid::detection> out;
            for (std::size_t i = 0; i < iq.size() / 2; i += 192000)
                b.feed(iq.data() + 2 * i, std::min<std::size_t>(192000, iq.size() / 2 - i), out);
            b.finish(out);
        });
        std::printf("%-9s detector 48 kHz %7.1fx   scanner 192 kHz I/Q %6.1fx real time\n", name,
                    detect, scan);
        std::fflush(stdout);
    }
}

std::vector<int> parse_codes(const std::string& text) {
    std::vector<int> codes;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t used = 0;
        codes.push_back(std::stoi(text.substr(at), &used));
        at += used + 1;
    }
    return codes;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s curve|noise|scan [OPTIONS] ARGS...\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    settings s;
    std::vector<double> args;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--exact") {
            s.detector.exact = true;
        } else if (a == "--codes" && more) {
            const std::string v = argv[++i];
            s.detector.all_codes = v == "all";
            if (!s.detector.all_codes)
                s.detector.codes = parse_codes(v);
        } else if (a == "--replay" && more) {
            s.replay = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--verbose") {
            s.verbose = true;
        } else if (a == "--unambiguous") {
            s.unambiguous = true;
        } else if (a == "--trials" && more) {
            s.trials = std::atoi(argv[++i]);
        } else if (a == "--rate" && more) {
            s.rate = std::atof(argv[++i]);
        } else if (a == "--cond" && more) {
            s.cond = argv[++i];
        } else if (a == "--threshold" && more) {
            s.detector.threshold_db = std::atof(argv[++i]);
        } else if (a == "--twin" && more) {
            s.detector.twin_log_odds = std::atof(argv[++i]);
        } else if (a == "--seed" && more) {
            s.seed = static_cast<unsigned>(std::atoi(argv[++i]));
        } else {
            args.push_back(std::atof(a.c_str()));
        }
    }
    const auto t0 = std::chrono::steady_clock::now();
    if (mode == "curve")
        curve(s, args);
    else if (mode == "wrong")
        wrong(s, args);
    else if (mode == "noise" && !args.empty())
        noise(s, args[0]);
    else if (mode == "scan" && !args.empty())
        scan_noise(s, args[0]);
    else if (mode == "speed" && !args.empty())
        speed(args[0]);
    else
        return 2;
    std::printf("(%.1f s)\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    return 0;
}
