// runs.cpp - runs of matching passes, and what a report measures.
#include "runs.h"

#include "soft.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <numbers>
#include <type_traits>

namespace rsid {

namespace {

constexpr int cluster_gap = 2;   // matching columns this close are one identifier
constexpr int follow_gap = 3;    // a run follows its identifier this far from pass to pass
constexpr int noise_margin = 16; // bins beyond the column, and twice the distance kept from tones
// A run of the same code at the same time, this much weaker (three clipped tones' worth) than
// another anywhere in the band, is a copy of it.
constexpr float copy_margin = 3.0f * energy_ceiling;

} // namespace

void run_tracker::pass(int64_t n, const std::vector<match>& matches, std::vector<run>& ended) {
    // Clusters, each with its best column: the highest score (the lowest distance), then the
    // lowest column, as the library's own search chooses. last: the cluster's highest column so
    // far.
    clusters_.clear();
    int last = -1000;
    for (const match& m : matches) {
        if (!clusters_.empty() && m.column - last <= cluster_gap) {
            if (m.score > clusters_.back().score)
                clusters_.back() = m;
        } else {
            clusters_.push_back(m);
        }
        last = m.column;
    }

    // Each open run takes the nearest cluster within reach; a cluster left over opens a run.
    taken_.assign(clusters_.size(), false);
    std::size_t kept = 0;
    for (run& r : open_) {
        // Clusters are in column order: look around the run's column only.
        auto it = std::lower_bound(clusters_.begin(), clusters_.end(), r.column - follow_gap,
                                   [](const match& m, int c) { return m.column < c; });
        std::ptrdiff_t pick = -1;
        for (; it != clusters_.end() && it->column <= r.column + follow_gap; ++it) {
            const std::ptrdiff_t i = it - clusters_.begin();
            if (!taken_[static_cast<std::size_t>(i)] &&
                (pick < 0 ||
                 std::abs(it->column - r.column) <
                     std::abs(clusters_[static_cast<std::size_t>(pick)].column - r.column)))
                pick = i;
        }
        if (pick < 0) { // the first pass without a match: the run is over
            (shadow_ > 0 ? held_ : ended).push_back(r);
            continue;
        }
        const match& m = clusters_[static_cast<std::size_t>(pick)];
        taken_[static_cast<std::size_t>(pick)] = true;
        // The library's rule lets an equal match replace the held one; the soft rule keeps the
        // first of equal scores (a strong identifier's clipped score is equal over several
        // passes, and a codeword shifted in time may equal it later).
        if (m.score > r.best_score || (shadow_ == 0 && m.score == r.best_score)) {
            r.best_column = m.column;
            r.best_distance = m.distance;
            r.best_code = m.code;
            r.best_score = m.score;
            r.best_pass = n;
        }
        r.column = m.column;
        r.last_pass = n;
        open_[kept++] = r;
    }
    open_.resize(kept);
    for (std::size_t i = 0; i < clusters_.size(); ++i) {
        if (!taken_[i])
            open_.push_back({clusters_[i].column, clusters_[i].column, clusters_[i].distance,
                             clusters_[i].code, clusters_[i].score, n, n, n});
    }
    std::sort(open_.begin(), open_.end(),
              [](const run& a, const run& b) { return a.column < b.column; });
    if (shadow_ > 0)
        release(n, false, ended);
}

void run_tracker::close(std::vector<run>& ended) {
    if (shadow_ > 0) {
        held_.insert(held_.end(), open_.begin(), open_.end());
        open_.clear();
        release(0, true, ended);
        recent_.clear();
        return;
    }
    ended.insert(ended.end(), open_.begin(), open_.end());
    open_.clear();
}

namespace {

// Marks the tones of b's codeword on or one bin beside a tone of a's within a symbol (the
// two-symbol frames hold parts of the symbols either side), both where their runs were best:
// rows_per_symbol rows a symbol, a run's best row centred on its last symbol.
void mark_shared(const run& a, const run& b, int rows_per_symbol, bool* near) {
    const auto& wa = codeword_of(a.best_code);
    const auto& wb = codeword_of(b.best_code);
    const int64_t late = b.best_pass - a.best_pass; // rows
    for (int i = 0; i < 15; ++i) {
        const int bin = b.best_column + 2 * wb[static_cast<std::size_t>(i)];
        for (int j = 0; j < 15 && !near[i]; ++j) {
            const int64_t apart = late + static_cast<int64_t>(i - j) * rows_per_symbol;
            near[i] = std::abs(apart) <= rows_per_symbol &&
                      std::abs(bin - (a.best_column + 2 * wa[static_cast<std::size_t>(j)])) <= 1;
        }
    }
}

// o ranks above r. Equal scores (clipped, from a strong identifier that two codewords explain
// alike, or one identifier split into two runs) go to the lower column, then the earlier pass.
bool outranks(const run& o, const run& r) {
    return o.best_score > r.best_score ||
           (o.best_score == r.best_score &&
            (o.best_column < r.best_column ||
             (o.best_column == r.best_column && o.best_pass < r.best_pass)));
}

bool within_a_column(const run& o, const run& r) {
    return std::abs(o.best_column - r.best_column) <= 30;
}

} // namespace

template <typename Visit> void run_tracker::each_run(Visit visit) const {
    for (const auto* runs : {&open_, &held_, &recent_})
        for (const run& o : *runs)
            visit(o);
}

// The same code at the same time as a stronger run: the same identifier in two runs, or a copy
// of a stronger one (sidebands of a fading or gated signal, near it or anywhere in a band).
bool run_tracker::copy_of_stronger(const run& r) const {
    bool copy = false;
    each_run([&](const run& o) {
        copy = copy || (o.best_code == r.best_code &&
                        2 * std::abs(o.best_pass - r.best_pass) <= rows_per_symbol_ &&
                        ((outranks(o, r) && within_a_column(o, r)) ||
                         o.best_score >= r.best_score + copy_margin));
    });
    return copy;
}

// Many tones on or beside those of stronger runs within reach: a twin or a codeword lifted by
// leakage, however strong. Fewer: a run that would not reach the threshold without them (each at
// most the ceiling, where noise alone would give 1 on average).
bool run_tracker::lifted_by_stronger(const run& r) const {
    bool near[15] = {};
    bool any = false;
    each_run([&](const run& o) {
        if (outranks(o, r) && within_a_column(o, r) &&
            std::abs(o.best_pass - r.best_pass) <= shadow_) {
            mark_shared(o, r, rows_per_symbol_, near);
            any = true;
        }
    });
    if (!any)
        return false;
    const auto shared = static_cast<int>(std::count(near, near + 15, true));
    return shared >= shadow_tones ||
           r.best_score - static_cast<float>(shared) * (energy_ceiling - 1.0f) < threshold_;
}

void run_tracker::release(int64_t n, bool all, std::vector<run>& ended) {
    // Runs whose span has passed (all: every held run), in the order they ended.
    released_.clear();
    std::size_t kept = 0;
    for (const run& r : held_) {
        if (all || r.best_pass + shadow_ < n)
            released_.push_back(r);
        else
            held_[kept++] = r;
    }
    held_.resize(kept);
    std::sort(released_.begin(), released_.end(),
              [](const run& a, const run& b) { return a.last_pass < b.last_pass; });
    recent_.insert(recent_.end(), released_.begin(), released_.end());
    std::copy_if(released_.begin(), released_.end(), std::back_inserter(ended),
                 [&](const run& r) { return !shadowed(r); });
    std::erase_if(recent_, [&](const run& r) { return !all && r.best_pass + 2 * shadow_ < n; });
}

template <typename Magnitude>
std::optional<measurement> measure(const run& r, const magnitude_ring<Magnitude>& ring,
                                   int64_t oldest, int64_t newest, const uint8_t* codeword,
                                   double tone_step) {
    if (newest < oldest + 28)
        return std::nullopt;
    const int c = r.best_column;
    const int width = ring.width;
    // Energy of the 15 tones, read one symbol (two passes) apart, pass n holding the last.
    auto energy = [&](int64_t n) {
        double e = 0.0;
        for (int j = 0; j < 15; ++j)
            e += static_cast<double>(ring.row(n - 28 + 2 * j)[c + 2 * codeword[j]]);
        return e;
    };
    const int64_t from = std::max(oldest + 28, r.first_pass - 1);
    int64_t peak = from;
    double best = -1.0;
    for (int64_t n = from; n <= newest; ++n) {
        const double e = energy(n);
        if (e > best)
            best = e, peak = n;
    }
    measurement out;
    double frac = 0.0; // the peak between passes, from a parabola through its neighbours
    if (peak > from && peak < newest) {
        const double a = energy(peak - 1), d = energy(peak + 1);
        const double curve = a - 2.0 * best + d;
        if (curve < 0.0)
            frac = std::clamp(0.5 * (a - d) / curve, -0.5, 0.5);
    }
    out.peak = static_cast<double>(peak) + frac;
    {
        const auto nearest = std::clamp<int64_t>(std::llround(out.peak), oldest + 28, newest);
        const Magnitude* rows[15];
        for (int j = 0; j < 15; ++j)
            rows[j] = ring.row(nearest - 28 + 2 * j);
        out.peak_distance = hard_distance(rows, c, codeword);
    }

    // Frequency, the tones' power and the noise from the 15 rows of the peak pass. Magnitudes
    // are taken half a unit up: integer magnitudes were truncated.
    const double lift = std::is_integral_v<Magnitude> ? 0.5 : 0.0;
    auto at = [&](const Magnitude* m, int b) {
        return b >= 0 && b < width ? static_cast<double>(m[b]) + lift : 0.0;
    };
    double tone_sum = 0.0, tone_weight = 0.0, tone_power = 0.0;
    std::vector<double> noise;
    noise.reserve(15 * (31 + 2 * noise_margin));
    for (int j = 0; j < 15; ++j) {
        const Magnitude* m = ring.row(peak - 28 + 2 * j);
        const int k = c + 2 * codeword[j];
        const double here = at(m, k), below = at(m, k - 1), above = at(m, k + 1);
        // A Hann window's neighbour ratio a gives the offset (2a - 1) / (a + 1) bins.
        const double a = here > 0.0 ? std::max(above, below) / here : 0.0;
        const double offset = std::clamp((2.0 * a - 1.0) / (a + 1.0), 0.0, 1.0);
        tone_sum += (k + (above >= below ? offset : -offset) - codeword[j] * tone_step) * here;
        tone_weight += here;
        tone_power += here * here + below * below + above * above;
        // Noise: the bins of the column and a margin either side, away from this tone and the
        // tones of the symbols either side (the two-symbol frame holds parts of them, and a
        // tone cut off at a symbol boundary spreads over several bins).
        for (int b = std::max(0, c - noise_margin); b <= c + 30 + noise_margin && b < width; ++b) {
            bool near = false;
            for (int s = std::max(0, j - 1); s <= std::min(14, j + 1); ++s)
                near = near || std::abs(b - (c + 2 * codeword[s])) <= noise_margin / 2;
            if (!near) {
                const double v = at(m, b);
                noise.push_back(v * v);
            }
        }
    }
    out.tone0 = tone_weight > 0.0 ? tone_sum / tone_weight : c;
    // The median of exponentially distributed bin powers is ln 2 times their mean; unlike the
    // mean, it ignores a carrier or another signal in a few of the bins.
    if (!noise.empty()) {
        const auto middle = noise.begin() + static_cast<std::ptrdiff_t>(noise.size() / 2);
        std::nth_element(noise.begin(), middle, noise.end());
        out.noise_per_bin = *middle / std::numbers::ln2;
    }
    out.amplitude_sq =
        std::max((tone_power / 15.0 - 3.0 * out.noise_per_bin) / three_bin_power, 1e-9) *
        level_gain;
    return out;
}

template std::optional<measurement> measure<int32_t>(const run&, const magnitude_ring<int32_t>&,
                                                     int64_t, int64_t, const uint8_t*, double);
template std::optional<measurement> measure<float>(const run&, const magnitude_ring<float>&,
                                                   int64_t, int64_t, const uint8_t*, double);

} // namespace rsid
