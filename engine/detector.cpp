// detector.cpp - the detection core: every identifier, where it started and how strong it was.
#include "detector.h"

#include "coherent.h"
#include "row_spectrum.h"
#include "rsid_signal.h"
#include "rsid_state.h"
#include "rx/search_rules.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace rsid {

namespace {

using namespace rsid_signal;

// Magnitude rows kept: a run of up to 35 passes plus 29 rows; the soft rule holds a run for one
// identifier's length (28 passes) more.
constexpr int ring_rows = 96;
constexpr int flush_samples = frame + symbol_rx_samples; // zeros that close every open run
// Silence before the stream, so that the second frame is centred on the first symbol of an
// identifier that starts with the stream, and its energy can be weighed like any other's.
constexpr int lead_in = symbol_rx_samples;
constexpr int rows_per_symbol = 4; // the soft rule's rows: every quarter symbol
constexpr double quarter_hop = hop_mean / 2.0;
// The rows half way between the library's frames cost as much as those frames, and matter only
// where an identifier is. An identifier whose symbols are centred between two frames loses at
// most 1 dB of energy in each (its symbol fills the middle of the frame's window a quarter symbol
// off): a row between two frames is scored when either frame scores within look_db of the
// threshold, or when any row did in the last hot_rows. Noise seldom does: in 10 minutes of
// white noise 7 of 12,931 such rows were taken (with many codes, only columns whose strongest
// tones alone reach the threshold have candidates scored).
constexpr double look_db = 2.0;
// Rows are hot for a symbol, and as far as twins lie after a report: reach_ symbols (twin_reach
// with codes that may have twins; one code has none, and reads 2 as it always has).
int64_t hot_rows(int64_t reach) { return (1 + reach) * rows_per_symbol; }
// An in-between row's hypotheses read its rows a symbol apart, and the twins of a report 14 +
// reach_ symbols back: the rows of its phase that were left out are taken when it is.
int64_t back_symbols(int64_t reach) { return 14 + reach; }
// A report is weighed against its twins when its run is released, up to an identifier's length
// after its best row and 8 symbols more for a run that went on matching (soft.cpp): with codes
// that may have twins, the samples of the identifier and of its twins twin_reach symbols either
// side are kept that long.
constexpr int64_t twin_symbols = 14 + 14 + twin_reach + 8 + twin_reach;

// Start of quarter-symbol row q: the library's frames (even q) and the frames half way between.
int64_t quarter_start(int64_t q) {
    const int64_t n = q / 2;
    return frame_start(n) + (q % 2 == 0 ? 0 : (frame_start(n + 1) - frame_start(n)) / 2);
}

} // namespace

detector::detector() : detector(default_detector_options()) {}

detector::detector(detector_options options)
    : options_(std::move(options)), rx_(std::make_unique<rsid_receiver>()),
      history_(static_cast<std::size_t>(ring_rows) * bins) {
    check_options(options_);
    rsid_receiver_init(*rx_);
    if (options_.exact) {
        const double zeros[lead_in] = {};
        bool analysed = false;
        rsid_intake(*rx_, zeros, lead_in, &analysed); // fills part of the first frame only
    } else {
        soft_.emplace(options_, bins, rows_per_symbol, rx_rate / quarter_hop, columns, true);
        look_ = static_cast<float>(soft_->lowered(look_db));
        soft_->set_floor(look_);
        runs_.set_shadow(rows_per_symbol, static_cast<float>(soft_->threshold()));
        kept_.assign(lead_in, 0.0);
        // One code has no twin among the codes looked for (many detectors of code 131 each keep
        // a third of the samples).
        reach_ = soft_->twinned() ? twin_reach : 2;
        kept_symbols_ = soft_->twinned() ? twin_symbols : back_symbols(reach_) + 1;
    }
}
detector::~detector() = default;
detector::detector(detector&&) noexcept = default;
detector& detector::operator=(detector&&) noexcept = default;
detector::detector(const detector& other)
    : options_(other.options_), rx_(std::make_unique<rsid_receiver>(*other.rx_)),
      history_(other.history_), runs_(other.runs_), samples_(other.samples_),
      passes_(other.passes_), soft_(other.soft_), kept_(other.kept_),
      kept_start_(other.kept_start_), kept_symbols_(other.kept_symbols_), reach_(other.reach_),
      quarter_(other.quarter_), look_(other.look_), hot_until_(other.hot_until_),
      looked_(other.looked_) {}
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
    if (soft_) {
        take_soft(samples, count, out);
        return;
    }
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

void detector::take_soft(const double* samples, std::size_t count, std::vector<detection>& out) {
    kept_.insert(kept_.end(), samples, samples + count);
    samples_ += count;
    int32_t magnitudes[bins];
    auto take_row = [&](int64_t q) {
        row_spectrum(kept_.data() + (quarter_start(q) - kept_start_), magnitudes);
        soft_->put(q, magnitudes);
    };
    // quarter_ is the next library frame (even); the row before it is decided after it.
    while (kept_start_ + static_cast<int64_t>(kept_.size()) >= quarter_start(quarter_) + frame) {
        const int64_t q = quarter_;
        take_row(q);
        passes_ = q / 2;
        std::copy(magnitudes, magnitudes + bins, history_.begin() + (passes_ % ring_rows) * bins);
        even_.clear();
        const bool look = soft_->score(q, even_) >= look_;
        if (q > 0) {
            const int64_t between = q - 1;
            odd_.clear();
            if (look || looked_ || between <= hot_until_) {
                for (int64_t back = back_symbols(reach_); back > 0; --back) {
                    const int64_t r = between - back * rows_per_symbol;
                    if (r >= 0 && !soft_->has(r))
                        take_row(r);
                }
                take_row(between);
                if (soft_->score(between, odd_) >= look_)
                    hot_until_ = std::max(hot_until_, between + hot_rows(reach_));
            }
            ended_.clear();
            runs_.pass(between, odd_, ended_);
            report(ended_, out);
        }
        if (look)
            hot_until_ = std::max(hot_until_, q + hot_rows(reach_));
        looked_ = look;
        ended_.clear();
        runs_.pass(q, even_, ended_);
        report(ended_, out);
        quarter_ += 2;
    }
    // Drop what no later row or report needs, now and then: once there is at least as much to
    // drop as to keep, so that each sample is moved about once.
    const int64_t first = std::max<int64_t>(0, quarter_ - kept_symbols_ * rows_per_symbol);
    const int64_t unneeded = quarter_start(first) - kept_start_;
    const int64_t live = static_cast<int64_t>(kept_.size()) - unneeded;
    if (unneeded > std::max<int64_t>(8192, live)) {
        kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(unneeded));
        kept_start_ += unneeded;
    }
}

void detector::finish(std::vector<detection>& out) {
    const double zeros[flush_samples] = {};
    take(zeros, flush_samples, out);
    ended_.clear();
    runs_.close(ended_); // still matching in silence: report what was held
    report(ended_, out);
    *this = detector(options_);
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
            matches_.push_back(
                {c, distance[c], rx.rx_code & 0xFF, static_cast<float>(-distance[c])});
    }
    ended_.clear();
    runs_.pass(passes_, matches_, ended_);
    report(ended_, out);
    ++passes_;
}

void detector::report(const std::vector<run>& ended, std::vector<detection>& out) const {
    for (const run& r : ended) {
        auto det = describe(r);
        if (det && soft_)
            det = named(r, *det);
        if (det)
            out.push_back(*det);
    }
}

std::optional<detection> detector::describe(run r) const {
    const magnitude_ring<int32_t> ring{history_.data(), bins, ring_rows};
    const int64_t oldest = std::max<int64_t>(0, passes_ - ring_rows + 1);
    const uint8_t* codeword = soft_ ? codeword_of(r.best_code).data() : rx_->rx_codeword;
    int64_t newest = passes_;
    if (soft_) { // runs count quarter-symbol rows; the magnitudes kept are half a symbol apart
        r.first_pass /= 2;
        newest = std::min(passes_, r.last_pass / 2 + 1); // a held run ended a while ago
    }
    const auto measured = measure(r, ring, oldest, newest, codeword, tone_spacing_hz / true_bin_hz);
    if (!measured)
        return std::nullopt;
    const measurement& m = *measured;
    detection det;
    det.code = r.best_code;
    det.bin = r.best_column + first_bin;
    det.distance = soft_ ? m.peak_distance : r.best_distance;
    det.freq_hz = (first_bin + m.tone0) * true_bin_hz;
    // The peak frame is centred on the last symbol: the identifier began 14.5 symbols before its
    // centre. Frames advance half a symbol per pass on average.
    const auto whole = static_cast<int64_t>(std::floor(m.peak));
    det.start = static_cast<double>(frame_start(whole)) - lead_in +
                (m.peak - static_cast<double>(whole)) * hop_mean + frame / 2.0 -
                14.5 * symbol_rx_samples;
    det.level_dbfs = 10.0 * std::log10(m.amplitude_sq / (full_scale * full_scale));
    // At 6000/s the whole band is 3 kHz: the noise per bin scales straight to it.
    const double noise_3k = std::max(m.noise_per_bin * frame / window_power, 1e-9);
    det.snr_db = 10.0 * std::log10(m.amplitude_sq / 2.0 / noise_3k);
    if (det.level_dbfs < report_floor_dbfs)
        return std::nullopt;
    return det;
}

std::optional<twin> detector::unresolved(const run& r, const detection& det) const {
    const double enough = options_.twin_log_odds;
    if (enough <= 0.0)
        return std::nullopt;
    std::vector<twin> twins;
    soft_->twins(r.best_code, r.best_column, r.best_pass, twins);
    for (const twin& t : twins) {
        if (t.told(enough))
            continue;
        // The energies cannot tell them apart: the phase may.
        if (!phase_names(det, t, false))
            return t;
    }
    return std::nullopt;
}

bool detector::phase_names(const detection& det, const twin& t, bool twin_over_code) const {
    // The named code's own tones must be heard: resting on the other's tones missing alone, the
    // ratio says nothing (a fade or a gap takes a tone as well as its absence from the sender
    // does).
    bool heard = false;
    const auto odds = phase_log_odds(det, t, twin_over_code, &heard);
    const double enough = options_.twin_log_odds;
    if (!odds || !heard || *odds < enough)
        return false;
    // Fitted the other way round (the other's timing and drift reckoned from its own middle),
    // the ratio must say the same: a fit that only just held the shared tones together can
    // swing it by several.
    const auto back = phase_log_odds(det, t, !twin_over_code);
    return back && -*back >= enough;
}

std::optional<double> detector::phase_log_odds(const detection& det, const twin& t,
                                               bool twin_over_code, bool* heard) const {
    const tone_hypothesis mine{codeword_of(det.code).data(),
                               det.start + lead_in - static_cast<double>(kept_start_), det.freq_hz};
    const tone_hypothesis other{codeword_of(t.code).data(),
                                mine.start + t.symbols * symbol_rx_samples,
                                mine.base_hz + t.tones * tone_spacing_hz};
    return twin_over_code ? coherent_log_odds(kept_.data(), kept_.size(), other, mine, heard)
                          : coherent_log_odds(kept_.data(), kept_.size(), mine, other, heard);
}

std::optional<detection> detector::named(const run& r, const detection& det) const {
    const auto doubt = unresolved(r, det);
    if (!doubt)
        return det;
    // Near the threshold the twin scores higher about one time in ten: when the phase names it
    // against this code, it is reported instead, if it is told from its own twins.
    if (!phase_names(det, *doubt, true))
        return std::nullopt;
    run moved = r;
    moved.best_code = doubt->code;
    moved.column += 2 * doubt->tones;
    moved.best_column += 2 * doubt->tones;
    moved.first_pass += doubt->symbols * rows_per_symbol;
    moved.last_pass += doubt->symbols * rows_per_symbol;
    moved.best_pass += doubt->symbols * rows_per_symbol;
    // Its twins must still be there to weigh (a run that went on matching for long after its
    // best row may be released when those of a twin twin_reach symbols early are gone).
    std::vector<twin> weighable;
    auto described = describe(moved);
    if (!described ||
        !soft_->twins(moved.best_code, moved.best_column, moved.best_pass, weighable) ||
        unresolved(moved, *described))
        described.reset();
    return described;
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
