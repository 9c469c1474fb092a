// coherent.cpp - the tones' phase: the oscillator fitted on the shared tones, the others projected.
#include "coherent.h"

#include "log_i0.h"
#include "rsid_signal.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numbers>
#include <numeric>
#include <utility>
#include <vector>

namespace rsid {

namespace {

using namespace rsid_signal;
using cplx = std::complex<double>;

constexpr double two_pi = 2.0 * std::numbers::pi;
constexpr double rate = rx_rate;
constexpr double symbol = symbol_rx_samples; // 557: 4456 / 8, exactly
constexpr int min_shared = 9;
// Samples left out at either end of a symbol, so that a timing a sample or two off takes next to
// nothing of the tone beside it.
constexpr double guard = 3.0;
// Timing is searched this far either side of the hypothesis (a report's start is good to about
// 6 ms), first every coarse_step samples, then sample by sample; frequency as far as a report's
// is off (within 1 Hz on average), first every freq_step, then a tenth of that.
constexpr double reach = 0.3 * symbol;
constexpr int coarse_step = 4;
constexpr double freq_reach = 2.5;
constexpr double freq_step = 0.05;
// A drifting carrier (a receiver's or a sender's oscillator warming up) bends the phase across
// an identifier: 1 Hz/s turns its ends a radian against the middle.
constexpr double drift_reach = 1.5; // Hz/s
constexpr double drift_step = 0.25;
// The shared tones' sum in phase must keep this share of their power (an oscillator in noise
// keeps nearly all of it, give or take a tenth at the weakest reported; symbols of phases of
// their own keep about a third, up to two), else the phase tells nothing.
constexpr double coherence_floor = 0.75;
// Shared tones that tell how far a tone where the two differ may stray: its nearest.
constexpr int nearest = 4;
// The noise alone gives those mean residuals of up to this many times its power often (the mean
// of 14, of 4): only what lies beyond counts as spread.
constexpr double overall_margin = 1.2;
constexpr double local_margin = 1.5;
// A tone's frequency holds a carrier's leakage when the median there is this far above the noise.
constexpr double leak_floor = 2.0;

enum class owner { shared, a_only, b_only };

// One symbol of a hypothesis: where it starts, its frequency, and the phase the oscillator has
// there (the tones before it wound it on; a's phases for the shared tones and b's own, moved into
// a's reckoning, for the others).
struct cell {
    double start;
    double hz;
    double phase;
    owner who;
};

std::array<cell, 15> cells_of(const tone_hypothesis& h) {
    std::array<cell, 15> cells{};
    double phase = 0.0;
    for (std::size_t m = 0; m < cells.size(); ++m) {
        const double hz = h.base_hz + h.codeword[m] * tone_spacing_hz;
        cells[m] = {h.start + static_cast<double>(m) * symbol, hz, phase, owner::a_only};
        phase = std::fmod(phase + two_pi * hz * symbol / rate, two_pi);
    }
    return cells;
}

// The correlation of x with the oscillator over cell c shifted by tau samples, its frequency off
// by df (whose phase runs from sample origin on, as a whole identifier's would).
cplx correlate(const double* x, const cell& c, double tau, double df, double origin) {
    const double s = c.start + tau;
    const auto first = static_cast<std::ptrdiff_t>(std::ceil(s + guard));
    const auto last = static_cast<std::ptrdiff_t>(std::floor(s + symbol - guard));
    const auto n0 = static_cast<double>(first);
    const double phase = c.phase + two_pi * (c.hz * (n0 - s) + df * (n0 - origin)) / rate;
    cplx turn = std::polar(1.0, -phase);
    const cplx step = std::polar(1.0, -two_pi * (c.hz + df) / rate);
    cplx z = 0.0;
    for (std::ptrdiff_t n = first; n <= last; ++n) {
        z += x[n] * turn;
        turn *= step;
    }
    return z;
}

struct fit {
    double tau = 0.0;
    double df = 0.0;
    double drift = 0.0;  // Hz/s
    double power = -1.0; // |sum|^2 of the shared tones
};

// The turn a drifting frequency gives cell c's correlation at its middle, beyond what correlate()
// turns: the phase of the drift, counted from the middle of the identifier.
cplx drifted(const cell& c, double tau, double drift, double middle) {
    const double t = (c.start + tau + symbol / 2.0 - middle) / rate;
    return std::polar(1.0, -std::numbers::pi * drift * t * t);
}

// The timing, frequency and drift that put the shared tones most in phase.
fit fit_shared(const double* x, const std::vector<cell>& shared, double middle) {
    const auto n = shared.size();
    std::vector<cplx> z(n), turned(n), turn(n);
    // A frequency offset turns each tone by its phase at the symbol's middle: tried by rotation.
    auto best_rotation = [&](double tau, double df0, double drift, double step, int steps,
                             fit& best) {
        for (std::size_t i = 0; i < n; ++i) {
            const double mid = (shared[i].start + tau + symbol / 2.0 - middle) / rate;
            turned[i] = z[i] * drifted(shared[i], tau, drift, middle) *
                        std::polar(1.0, two_pi * steps * step * mid);
            turn[i] = std::polar(1.0, -two_pi * step * mid);
        }
        for (int g = -steps; g <= steps; ++g) {
            cplx sum = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                sum += turned[i];
                turned[i] *= turn[i];
            }
            if (std::norm(sum) > best.power)
                best = {tau, df0 + g * step, drift, std::norm(sum)};
        }
    };
    fit best;
    const int coarse = static_cast<int>(reach / coarse_step);
    const int freq_steps = static_cast<int>(std::lround(freq_reach / freq_step));
    const int drift_steps = static_cast<int>(std::lround(drift_reach / drift_step));
    for (int t = -coarse; t <= coarse; ++t) {
        const double tau = t * coarse_step;
        for (std::size_t i = 0; i < n; ++i)
            z[i] = correlate(x, shared[i], tau, 0.0, middle);
        for (int d = -drift_steps; d <= drift_steps; ++d)
            best_rotation(tau, 0.0, d * drift_step, freq_step, freq_steps, best);
    }
    const fit rough = best;
    for (int t = 1 - coarse_step; t < coarse_step; ++t) {
        const double tau = rough.tau + t;
        for (std::size_t i = 0; i < n; ++i)
            z[i] = correlate(x, shared[i], tau, rough.df, middle);
        for (int d = -4; d <= 4; ++d)
            best_rotation(tau, rough.df, rough.drift + d * drift_step / 5.0, freq_step / 10.0, 10,
                          best);
    }
    return best;
}

// v' G^-1 v for a symmetric positive definite 4x4 G (Cholesky, with a touch of ridge so that
// shared tones all of one frequency leave the timing out rather than fail).
double quadratic_inverse(std::array<double, 16> g, const std::array<double, 4>& v) {
    for (std::size_t i = 0; i < 4; ++i)
        g[i * 4 + i] += 1e-9 * (1.0 + g[i * 4 + i]);
    std::array<double, 16> l{};
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            double sum = g[i * 4 + j];
            for (std::size_t k = 0; k < j; ++k)
                sum -= l[i * 4 + k] * l[j * 4 + k];
            l[i * 4 + j] = i == j ? std::sqrt(std::max(sum, 1e-300)) : sum / l[j * 4 + j];
        }
    }
    double q = 0.0; // |L^-1 v|^2
    std::array<double, 4> y{};
    for (std::size_t i = 0; i < 4; ++i) {
        double sum = v[i];
        for (std::size_t k = 0; k < i; ++k)
            sum -= l[i * 4 + k] * y[k];
        y[i] = sum / l[i * 4 + i];
        q += y[i] * y[i];
    }
    return q;
}

// The phase the fit foretells at a tone strays as the least-squares fit of the shared tones'
// phases on what the fit varied would: a constant, the frequency (time), the drift (time
// squared) and the timing (which turns each tone by its frequency). A tone beyond the shared
// ones (a twin's extra symbol lies at an end) is foretold the least well.
class foretelling {
  public:
    foretelling(const std::vector<cell>& shared, double tau, double middle)
        : tau_(tau), middle_(middle) {
        mean_hz_ = std::accumulate(shared.begin(), shared.end(), 0.0,
                                   [](double sum, const cell& c) { return sum + c.hz; }) /
                   static_cast<double>(shared.size());
        for (const cell& c : shared) {
            const auto v = regressors(c);
            for (std::size_t i = 0; i < 4; ++i)
                for (std::size_t j = 0; j < 4; ++j)
                    gram_[i * 4 + j] += v[i] * v[j];
        }
    }
    // The variance of the phase foretold at c, in that of one shared tone's phase.
    double leverage(const cell& c) const { return quadratic_inverse(gram_, regressors(c)); }

  private:
    std::array<double, 4> regressors(const cell& c) const {
        const double t = (c.start + tau_ + symbol / 2.0 - middle_) / rate;
        return {1.0, t, t * t, (c.hz - mean_hz_) / 100.0};
    }
    std::array<double, 16> gram_{};
    double tau_, middle_, mean_hz_ = 0.0;
};

double median(std::vector<double> v) {
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

} // namespace

std::optional<double> coherent_log_odds(const double* x, std::size_t count,
                                        const tone_hypothesis& a, const tone_hypothesis& b,
                                        bool* heard) {
    const std::array<cell, 15> in_a = cells_of(a);
    std::array<cell, 15> in_b = cells_of(b);
    std::vector<cell> shared, differ;
    double b_to_a = 0.0; // what b's phases lack of a's on the tones they share
    bool matched_b[15] = {};
    for (const cell& c : in_a) {
        auto* const same = std::find_if(in_b.begin(), in_b.end(), [&](const cell& d) {
            return std::abs(d.start - c.start) < 1.0 && std::abs(d.hz - c.hz) < 1.0;
        });
        if (same == in_b.end()) {
            differ.push_back(c);
            continue;
        }
        if (shared.empty())
            b_to_a = c.phase - same->phase;
        matched_b[same - in_b.begin()] = true;
        shared.push_back({c.start, c.hz, c.phase, owner::shared});
    }
    for (std::size_t m = 0; m < in_b.size(); ++m) {
        if (!matched_b[m])
            differ.push_back({in_b[m].start, in_b[m].hz, in_b[m].phase + b_to_a, owner::b_only});
    }
    if (shared.size() < static_cast<std::size_t>(min_shared) || shared.size() == in_a.size())
        return std::nullopt;
    // Every cell must lie in x wherever the timing search takes it.
    double lo = in_a[0].start, hi = in_a[14].start;
    for (const cell& c : differ) {
        lo = std::min(lo, c.start);
        hi = std::max(hi, c.start);
    }
    if (lo - reach - coarse_step < 0.0 ||
        hi + symbol + reach + coarse_step >= static_cast<double>(count))
        return std::nullopt;

    const double middle = a.start + 7.5 * symbol;
    const fit f = fit_shared(x, shared, middle);
    auto on_fit = [&](const cell& c) {
        return correlate(x, c, f.tau, f.df, middle) * drifted(c, f.tau, f.drift, middle);
    };
    std::vector<cplx> z(shared.size());
    cplx sum = 0.0;
    double energy = 0.0;
    for (std::size_t i = 0; i < shared.size(); ++i) {
        z[i] = on_fit(shared[i]);
        sum += z[i];
        energy += std::norm(z[i]);
    }
    // The noise of one correlation: the 15 tones of each of a's symbols that a does not send.
    std::vector<double> others;
    for (std::size_t m = 0; m < in_a.size(); ++m) {
        for (int t = 0; t < 16; ++t) {
            if (t != a.codeword[m])
                others.push_back(std::norm(correlate(
                    x, {in_a[m].start, a.base_hz + t * tone_spacing_hz, 0.0, owner::a_only}, f.tau,
                    f.df, middle)));
        }
    }
    const double noise = median(others) / std::numbers::ln2; // exponential: mean = median / ln 2
    if (!(noise > 0.0))
        return std::nullopt;
    const auto n = static_cast<double>(shared.size());
    const double in_phase = (std::norm(sum) - n * noise) / (n * n); // amplitude^2, from the sum
    const double each = energy / n - noise;                         // and from the energies
    if (!(in_phase > 0.0) || in_phase < coherence_floor * each)
        return std::nullopt;
    const double amplitude = std::sqrt(in_phase);
    const cplx phase = std::polar(1.0, -std::arg(sum));
    // How far the shared tones stray from the oscillator beyond the noise: fading turns and
    // scales each symbol, and a tone where the two differ may stray as far. Near it (its nearest
    // shared tones) and across the identifier, whichever is more.
    const double fitted_noise = noise * (1.0 + 1.0 / n);
    std::vector<std::pair<double, double>> stray(shared.size()); // distance, |residual|^2
    double overall = 0.0;
    for (std::size_t i = 0; i < shared.size(); ++i) {
        stray[i].second = std::norm(z[i] * phase - amplitude);
        overall += stray[i].second / n;
    }
    const foretelling foretold(shared, f.tau, middle);
    double llr = 0.0;    // of a over b
    double a_only = 0.0; // of a's own tones over noise
    for (const cell& c : differ) {
        for (std::size_t i = 0; i < shared.size(); ++i)
            stray[i].first = std::abs(shared[i].start - c.start);
        std::partial_sort(stray.begin(), stray.begin() + nearest, stray.end());
        double local = 0.0;
        for (int i = 0; i < nearest; ++i)
            local += stray[static_cast<std::size_t>(i)].second / nearest;
        const double spread = std::max(
            {overall - overall_margin * fitted_noise, local - local_margin * fitted_noise, 0.0});
        // The noise at this tone's frequency: a strong carrier a few tones away leaks into it in
        // every symbol (the median of a's symbols there, when clearly above the noise of all
        // tones: the median of a dozen alone strays by a third).
        std::vector<double> here;
        for (const cell& m : in_a) {
            if (std::abs(m.hz - c.hz) >= 1.0) // a's own tone there is no leakage
                here.push_back(std::norm(
                    correlate(x, {m.start, c.hz, 0.0, owner::a_only}, f.tau, f.df, middle)));
        }
        const double at_tone = here.empty() ? noise : median(here) / std::numbers::ln2;
        const double floor = at_tone > leak_floor * noise ? at_tone : noise;
        // A tone here: the amplitude, give or take the spread, at a phase known as well as the
        // fit on the shared tones foretells it (von Mises about the fitted one), in the noise;
        // none: the noise alone.
        const cplx w = on_fit(c) * phase;
        const double kappa = 2.0 * in_phase / (foretold.leverage(c) * noise);
        const double wide = floor + spread;
        const double tone = std::norm(w) / floor - (std::norm(w) + in_phase) / wide +
                            log_i0(std::abs(2.0 * amplitude * w / wide + kappa)) - log_i0(kappa) -
                            std::log1p(spread / floor);
        llr += c.who == owner::a_only ? tone : -tone;
        if (c.who == owner::a_only)
            a_only += tone;
    }
    if (heard)
        *heard = a_only > 0.0;
    return llr;
}

} // namespace rsid
