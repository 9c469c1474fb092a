// detector.cpp - the detection core: every identifier, where it started and how strong it was.
#include "detector.h"

#include "rsid_signal.h"
#include "rsid_state.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace rsid {

namespace {

using namespace rsid_signal;

constexpr int ring_rows = 64;  // magnitude rows kept: a run of up to 35 passes plus 29 rows
constexpr int cluster_gap = 2; // matching columns this close are one identifier
constexpr int follow_gap = 3;  // a run follows its identifier this far from pass to pass
constexpr int flush_samples = frame + symbol_rx_samples; // zeros that close every open run

// The best match's start lies this many detector samples after the position the frame
// arithmetic gives (the centre of the frame on the centre of the last symbol). Measured over
// start offsets spread across two passes, SNR from -10 dB to noiseless, 8 bases.
constexpr double start_bias = 0.0;

// A Hann-windowed sine centred on a bin gives a quarter of its amplitude there and an eighth
// in each neighbour: the power of the three bins is 1.5 * (A / 4)^2.
constexpr double three_bin_power = 1.5 / 16.0;
// White noise of variance s^2 gives each bin an expected power of s^2 * 0.375 / 1114 (the mean
// of the squared window over the frame length); 6000/s holds exactly 3 kHz of it.
constexpr double noise_bin_power = 0.375 / frame;
// The frame centred on a symbol holds it in its middle half only: the tone's three bins carry
// this much less power than a steady sine of the same amplitude would give them (measured).
constexpr double level_gain = 1.245;
constexpr int noise_margin = 16; // bins beyond the column, and twice the distance kept from tones

// Power of a truncated magnitude, taking the truncated fraction as half on average.
double power(int32_t m) {
    const double v = m + 0.5;
    return v * v;
}

} // namespace

struct detector::run {
    int column = 0;      // column of the latest matching pass
    int best_column = 0; // the held match, replaced by later passes of lower or equal distance
    int best_distance = 0;
    int64_t first_pass = 0;
    int64_t last_pass = 0;
};

detector::detector()
    : rx_(std::make_unique<rsid_receiver>()), history_(static_cast<std::size_t>(ring_rows) * bins) {
    rsid_receiver_init(*rx_);
}
detector::~detector() = default;
detector::detector(detector&&) noexcept = default;
detector& detector::operator=(detector&&) noexcept = default;
detector::detector(const detector& other)
    : rx_(std::make_unique<rsid_receiver>(*other.rx_)), history_(other.history_),
      runs_(other.runs_), samples_(other.samples_), passes_(other.passes_) {}
detector& detector::operator=(const detector& other) {
    if (this != &other)
        *this = detector(other);
    return *this;
}

void detector::feed(const double* samples, std::size_t count, std::vector<detection>& out) {
    double clean[512];
    while (count > 0) {
        const std::size_t n = std::min<std::size_t>(count, 512);
        for (std::size_t i = 0; i < n; ++i)
            clean[i] = std::isfinite(samples[i]) ? samples[i] : 0.0;
        take(clean, n, out);
        samples += n;
        count -= n;
    }
}

void detector::feed(const float* samples, std::size_t count, std::vector<detection>& out) {
    double clean[512];
    while (count > 0) {
        const std::size_t n = std::min<std::size_t>(count, 512);
        for (std::size_t i = 0; i < n; ++i)
            clean[i] = std::isfinite(samples[i]) ? static_cast<double>(samples[i]) : 0.0;
        take(clean, n, out);
        samples += n;
        count -= n;
    }
}

void detector::take(const double* samples, std::size_t count, std::vector<detection>& out) {
    while (count > 0) {
        bool analysed = false;
        const int chunk = static_cast<int>(std::min<std::size_t>(count, 1 << 20));
        const int taken = rsid_intake(*rx_, samples, chunk, &analysed);
        samples += taken;
        count -= static_cast<std::size_t>(taken);
        samples_ += static_cast<uint64_t>(taken);
        if (analysed)
            pass(out);
    }
}

void detector::finish(std::vector<detection>& out) {
    const double zeros[flush_samples] = {};
    take(zeros, flush_samples, out);
    for (const run& r : runs_) // still matching in silence: report what was held
        report(r, out);
    *this = detector();
}

void detector::pass(std::vector<detection>& out) {
    rsid_receiver& rx = *rx_;
    std::copy(rx.magnitudes, rx.magnitudes + bins, history_.begin() + (passes_ % ring_rows) * bins);
    rsid_tone_pass(rx, rx.magnitudes);

    // Clusters of matching columns, each with its best column: the lowest distance, then the
    // lowest column, as the library's own search chooses.
    struct cluster {
        int column, distance, last;
    };
    cluster found[columns];
    int clusters = 0;
    for (int c = rx.search_start; c < rx.search_end - 30; ++c) {
        const int d = rsid_distance(rx, c);
        if (d >= 2)
            continue;
        if (clusters > 0 && c - found[clusters - 1].last <= cluster_gap) {
            cluster& k = found[clusters - 1];
            if (d < k.distance)
                k.column = c, k.distance = d;
            k.last = c;
        } else {
            found[clusters++] = {c, d, c};
        }
    }

    // Each open run takes the nearest cluster within reach; a cluster left over opens a run.
    bool taken[columns] = {};
    std::vector<run> open;
    for (run& r : runs_) {
        int pick = -1;
        for (int i = 0; i < clusters; ++i) {
            const int gap = std::abs(found[i].column - r.column);
            if (!taken[i] && gap <= follow_gap &&
                (pick < 0 || gap < std::abs(found[pick].column - r.column)))
                pick = i;
        }
        if (pick < 0) { // the first pass without a match: the run is over
            report(r, out);
            continue;
        }
        taken[pick] = true;
        if (found[pick].distance <= r.best_distance) {
            r.best_column = found[pick].column;
            r.best_distance = found[pick].distance;
        }
        r.column = found[pick].column;
        r.last_pass = passes_;
        open.push_back(r);
    }
    for (int i = 0; i < clusters; ++i) {
        if (!taken[i])
            open.push_back({found[i].column, found[i].column, found[i].distance, passes_, passes_});
    }
    runs_ = std::move(open);
    ++passes_;
}

void detector::report(const run& r, std::vector<detection>& out) const {
    const int64_t newest = passes_; // this pass's row is in the ring already
    const int64_t oldest = std::max<int64_t>(newest - ring_rows + history_rows, history_rows - 1);
    const uint8_t* codeword = rx_->rx_codeword;
    const int c = r.best_column;
    auto row = [&](int64_t n) { return history_.data() + (n % ring_rows) * bins; };

    // Energy of the 15 tones, read one symbol apart, with pass n holding the last one.
    auto energy = [&](int64_t n) {
        double e = 0.0;
        for (int j = 0; j < symbols; ++j)
            e += row(n - 28 + 2 * j)[c + 2 * codeword[j]];
        return e;
    };
    const int64_t from = std::max(oldest, r.first_pass - 1);
    int64_t peak = from;
    double best = -1.0;
    for (int64_t n = from; n <= newest; ++n) {
        const double e = energy(n);
        if (e > best)
            best = e, peak = n;
    }
    double frac = 0.0; // the peak between passes, from a parabola through its neighbours
    if (peak > from && peak < newest) {
        const double a = energy(peak - 1), b = best, d = energy(peak + 1);
        const double curve = a - 2.0 * b + d;
        if (curve < 0.0)
            frac = std::clamp(0.5 * (a - d) / curve, -0.5, 0.5);
    }
    // An identifier in the first 50 ms of the stream peaks before the first pass that has all
    // 15 rows. The rows of symbols 1 to 14 reach two passes further back: their peak places the
    // start, instead of holding it at that first full pass (up to 46 ms late).
    if (peak == history_rows - 1) {
        auto later = [&](int64_t n) {
            double e = 0.0;
            for (int j = 1; j < symbols; ++j)
                e += row(n - 28 + 2 * j)[c + 2 * codeword[j]];
            return e;
        };
        const int64_t n = peak == newest || later(peak - 1) > later(peak) ? peak - 1 : peak;
        const double a = later(n - 1), b = later(n), d = later(n + 1);
        const double curve = a - 2.0 * b + d;
        frac = static_cast<double>(n - peak);
        if (curve < 0.0)
            frac += std::clamp(0.5 * (a - d) / curve, -0.5, 0.5);
    }

    detection det;
    det.code = rx_->rx_code & 0xFF;
    det.bin = c + first_bin;
    det.distance = r.best_distance;
    // Frame n is centred on the last symbol: the identifier began 14.5 symbols before its centre.
    det.start = static_cast<double>(frame_start(peak)) + frac * hop_mean + frame / 2.0 -
                14.5 * symbol_rx_samples + start_bias;

    // Frequency, level and noise from the 15 rows of the peak pass.
    double freq_sum = 0.0, freq_weight = 0.0, tone_power = 0.0;
    std::vector<double> noise;
    noise.reserve(symbols * (30 + 2 * noise_margin));
    for (int j = 0; j < symbols; ++j) {
        const int32_t* m = row(peak - 28 + 2 * j);
        const int k = c + 2 * codeword[j];
        const double here = m[k] + 0.5;
        const double below = k > 0 ? m[k - 1] + 0.5 : 0.0;
        const double above = k + 1 < bins ? m[k + 1] + 0.5 : 0.0;
        // A Hann window's neighbour ratio a gives the offset (2a - 1) / (a + 1) bins.
        const double a = std::max(above, below) / here;
        const double offset = std::clamp((2.0 * a - 1.0) / (a + 1.0), 0.0, 1.0);
        const double f = (first_bin + k + (above >= below ? offset : -offset)) * true_bin_hz -
                         codeword[j] * tone_spacing_hz;
        freq_sum += f * here;
        freq_weight += here;
        tone_power += here * here + below * below + above * above;
        // Noise: the bins of the column and a margin either side, away from this tone and the
        // tones of the symbols either side (the two-symbol frame holds parts of them, and a
        // tone cut off at a symbol boundary spreads over several bins).
        for (int b = std::max(0, c - noise_margin); b <= c + 30 + noise_margin && b < bins; ++b) {
            bool near = false;
            for (int s = std::max(0, j - 1); s <= std::min(symbols - 1, j + 1); ++s)
                near = near || std::abs(b - (c + 2 * codeword[s])) <= noise_margin / 2;
            if (!near)
                noise.push_back(power(m[b]));
        }
    }
    det.freq_hz = freq_sum / freq_weight;
    // The median of exponentially distributed bin powers is ln 2 times their mean; unlike the
    // mean, it ignores a carrier or another signal in a few of the bins.
    double noise_per_bin = 0.0;
    if (!noise.empty()) {
        std::nth_element(noise.begin(),
                         noise.begin() + static_cast<std::ptrdiff_t>(noise.size() / 2),
                         noise.end());
        noise_per_bin = noise[noise.size() / 2] / std::numbers::ln2;
    }
    const double amplitude_sq =
        std::max((tone_power / symbols - 3.0 * noise_per_bin) / three_bin_power, 1e-9) * level_gain;
    det.level_dbfs = 10.0 * std::log10(amplitude_sq / (full_scale * full_scale));
    const double noise_3k = std::max(noise_per_bin / noise_bin_power, 1e-9);
    det.snr_db = 10.0 * std::log10(amplitude_sq / 2.0 / noise_3k);
    out.push_back(det);
}

plain_detector::plain_detector() : rx_(std::make_unique<rsid_receiver>()) {
    rsid_receiver_init(*rx_);
}
plain_detector::~plain_detector() = default;

bool plain_detector::check(const double* block, detection* found) {
    if (!rsid_receiver_check(*rx_, block))
        return false;
    found->code = rx_->detected_code;
    found->bin = rx_->detected_bin;
    found->distance = rx_->detected_distance;
    found->freq_hz = rsid_receiver_freq(*rx_);
    return true;
}

} // namespace rsid
