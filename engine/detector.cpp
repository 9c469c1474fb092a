// detector.cpp - the detection core: every identifier, where it started and how strong it was.
#include "detector.h"

#include "rsid_signal.h"
#include "rsid_state.h"
#include "rx/search_rules.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace rsid {

namespace {

using namespace rsid_signal;

constexpr int ring_rows = 64; // magnitude rows kept: a run of up to 35 passes plus 29 rows
constexpr int flush_samples = frame + symbol_rx_samples; // zeros that close every open run
// Silence before the stream, so that the second frame is centred on the first symbol of an
// identifier that starts with the stream, and its energy can be weighed like any other's.
constexpr int lead_in = symbol_rx_samples;

} // namespace

detector::detector()
    : rx_(std::make_unique<rsid_receiver>()), history_(static_cast<std::size_t>(ring_rows) * bins) {
    rsid_receiver_init(*rx_);
    const double zeros[lead_in] = {};
    bool analysed = false;
    rsid_intake(*rx_, zeros, lead_in, &analysed); // fills part of the first frame only
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
    ended_.clear();
    runs_.close(ended_); // still matching in silence: report what was held
    report(ended_, out);
    *this = detector();
}

void detector::pass(std::vector<detection>& out) {
    rsid_receiver& rx = *rx_;
    std::copy(rx.magnitudes, rx.magnitudes + bins, history_.begin() + (passes_ % ring_rows) * bins);
    rsid_tone_pass(rx, rx.magnitudes);
    const uint8_t* rows[symbols];
    rsid_compared_rows(rx, rows);
    uint8_t distance[columns];
    const int limit = rx.search_end - 30;
    rsid_row_distances(rows, rx.rx_codeword, rx.search_start, limit, distance);
    matches_.clear();
    for (int c = rx.search_start; c < limit; ++c) {
        if (distance[c] < 2)
            matches_.push_back({c, distance[c]});
    }
    ended_.clear();
    runs_.pass(passes_, matches_, ended_);
    report(ended_, out);
    ++passes_;
}

void detector::report(const std::vector<run>& ended, std::vector<detection>& out) const {
    const magnitude_ring<int32_t> ring{history_.data(), bins, ring_rows};
    const int64_t oldest = std::max<int64_t>(0, passes_ - ring_rows + 1);
    for (const run& r : ended) {
        const measurement m =
            measure(r, ring, oldest, passes_, rx_->rx_codeword, tone_spacing_hz / true_bin_hz);
        detection det;
        det.code = rx_->rx_code & 0xFF;
        det.bin = r.best_column + first_bin;
        det.distance = r.best_distance;
        det.freq_hz = (first_bin + m.tone0) * true_bin_hz;
        // The peak frame is centred on the last symbol: the identifier began 14.5 symbols
        // before its centre. Frames advance half a symbol per pass on average.
        const auto whole = static_cast<int64_t>(std::floor(m.peak));
        det.start = static_cast<double>(frame_start(whole)) - lead_in +
                    (m.peak - static_cast<double>(whole)) * hop_mean + frame / 2.0 -
                    14.5 * symbol_rx_samples;
        det.level_dbfs = 10.0 * std::log10(m.amplitude_sq / (full_scale * full_scale));
        // At 6000/s the whole band is 3 kHz: the noise per bin scales straight to it.
        const double noise_3k = std::max(m.noise_per_bin * frame / window_power, 1e-9);
        det.snr_db = 10.0 * std::log10(m.amplitude_sq / 2.0 / noise_3k);
        if (det.level_dbfs < report_floor_dbfs)
            continue;
        out.push_back(det);
    }
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
