// scanner.cpp - one spectrum across the band, the library's search rules across every column.
#include "scanner.h"

#include "rsid_signal.h"
#include "rsid_state.h"
#include "rx/search_rules.h"

#include "band_fft.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>
#include <string>

namespace rsid {

namespace {

using namespace rsid_signal;

// Magnitude rows kept for measuring a run at its end; the soft rule holds a run for one
// identifier's length (28 passes) more.
constexpr int exact_ring_rows = 40;
constexpr int soft_ring_rows = 72;

// The transform is single precision: its rounding leaves a residue of every strong component
// across the whole band, 105 to 130 dB below it (measured on clean captures at 1e6 and 2.4e6/s),
// and the residue of an identifier carries its tone pattern. A report this far below the
// strongest entry of its pass is that residue [dB].
constexpr double transform_range_db = 100.0;

// The codeword of 131, as the library's receiver holds it.
void codeword_of_131(uint8_t* out) { rsid_codeword(code & 0xFF, out); }

} // namespace

struct band_scanner::fft : band_fft {
    using band_fft::band_fft;
};

band_scanner::band_scanner(const scan_options& options, const detector_options& rule)
    : o_(options) {
    if (!(o_.rate >= rx_rate && o_.rate <= 20e6))
        throw std::invalid_argument("rate " + std::to_string(o_.rate) +
                                    " is outside 6000 to 20000000 samples/s");
    gain_ = full_scale / o_.full_scale;
    if (!(o_.full_scale > 0.0) || !std::isfinite(gain_))
        throw std::invalid_argument("full scale must be a positive finite number");
    if (!(std::abs(o_.center_hz) <= max_center_hz))
        throw std::invalid_argument("centre frequency must lie within +-1e12 Hz");
    if (o_.pass_stride < 1 || o_.pass_stride > 4 || (o_.search && o_.pass_stride != 1))
        throw std::invalid_argument("a pass stride is 1 to 4, and 1 when searching");
    // The detector's frame, two symbols long, at this rate; even, so that the centre is a bin.
    frame_ = 2 * static_cast<int>(std::lround(o_.rate * rsid_signal::frame / rx_rate / 2.0));
    bin_hz_ = o_.rate / frame_;
    symbol_ = o_.rate * symbol_tx_samples / tx_rate;
    width_ = o_.complex ? frame_ : frame_ / 2 + 1;
    fft_ = std::make_unique<fft>(frame_, o_.complex);
    window_.resize(static_cast<std::size_t>(frame_));
    for (int i = 0; i < frame_; ++i) // Hann, scaled by 1 / n as the detector's sums are
        window_[static_cast<std::size_t>(i)] = static_cast<float>(
            (0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / frame_)) / frame_);
    buffer_.resize(static_cast<std::size_t>(frame_) * (o_.complex ? 2 : 1));
    dc_step_ = 2.0 * std::numbers::pi * 2.0 / o_.rate; // a 2 Hz one-pole: offsets, not signals
    ring_rows_ = rule.exact ? exact_ring_rows : soft_ring_rows;
    ring_.resize(static_cast<std::size_t>(ring_rows_) * static_cast<std::size_t>(width_));
    tones_.resize(static_cast<std::size_t>(history_rows) * static_cast<std::size_t>(width_));
    distances_.resize(static_cast<std::size_t>(width_));
    codeword_of_131(codeword_);
    fill_ = lead_in();
    check_options(rule);
    if (!rule.exact) { // rows half a symbol apart; one budget per 48 kHz of band
        soft_.emplace(rule, width_, 2, o_.rate / (frame_ / 4.0), tx_rate / bin_hz_);
        runs_.set_shadow(28);
    }
}

// Silence before the stream, so that the second frame is centred on the first symbol of an
// identifier that starts with the stream.
std::size_t band_scanner::lead_in() const { return static_cast<std::size_t>(frame_ / 2); }

band_scanner::~band_scanner() = default;

double band_scanner::entry_hz(double entry) const {
    // NOLINTNEXTLINE(bugprone-integer-division): frame_ is even; its half is a whole bin
    return o_.center_hz + (o_.complex ? entry - frame_ / 2 : entry) * bin_hz_;
}

// Frames start half a symbol apart on average, each start rounded to a whole frame.
int64_t band_scanner::frame_start(int64_t pass) const {
    return static_cast<int64_t>(std::floor(static_cast<double>(pass) * frame_ / 4.0 + 0.5));
}

void band_scanner::feed(const float* samples, std::size_t frames, std::vector<detection>& out) {
    const std::size_t per = o_.complex ? 2 : 1;
    const auto full = static_cast<std::size_t>(frame_);
    while (frames > 0) {
        const std::size_t n = std::min(frames, full - fill_);
        float* dst = buffer_.data() + fill_ * per;
        for (std::size_t i = 0; i < n; ++i) {
            // Non-finite values are silence; the DC blocker follows the input's offset.
            double re = samples[i * per] * gain_;
            re = std::isfinite(re) ? re : 0.0;
            dc_i_ += (re - dc_i_) * dc_step_;
            dst[i * per] = static_cast<float>(re - dc_i_);
            if (o_.complex) {
                double im = samples[i * per + 1] * gain_;
                im = std::isfinite(im) ? im : 0.0;
                dc_q_ += (im - dc_q_) * dc_step_;
                dst[i * per + 1] = static_cast<float>(im - dc_q_);
            }
        }
        samples += n * per;
        frames -= n;
        fill_ += n;
        taken_ += n;
        if (fill_ == full)
            analyse(out);
    }
}

void band_scanner::analyse(std::vector<detection>& out) {
    const auto n = static_cast<std::size_t>(frame_);
    if (passes_ % o_.pass_stride == 0)
        spectrum(out);
    // Advance the frame: drop the samples before the next frame's start.
    const auto hop = static_cast<std::size_t>(frame_start(passes_ + 1) - frame_start(passes_));
    const std::size_t per = o_.complex ? 2 : 1;
    std::memmove(buffer_.data(), buffer_.data() + hop * per, (n - hop) * per * sizeof(float));
    fill_ = n - hop;
    ++passes_;
}

// The pass's magnitudes, to on_pass and to the search.
void band_scanner::spectrum(std::vector<detection>& out) {
    const auto n = static_cast<std::size_t>(frame_);
    const auto w = static_cast<std::size_t>(width_);
    if (o_.complex) {
        for (std::size_t i = 0; i < n; ++i) {
            fft_->in[2 * i] = buffer_[2 * i] * window_[i];
            fft_->in[2 * i + 1] = buffer_[2 * i + 1] * window_[i];
        }
    } else {
        for (std::size_t i = 0; i < n; ++i)
            fft_->in[i] = buffer_[i] * window_[i];
    }
    fft_->run();

    // Magnitudes, lowest frequency first: for I/Q the negative half comes first.
    float* mags = ring_.data() + static_cast<std::size_t>(passes_ % ring_rows_) * w;
    for (std::size_t e = 0; e < w; ++e) {
        const std::size_t b = o_.complex ? (e + n / 2) % n : e;
        const float re = fft_->out[b][0], im = fft_->out[b][1];
        mags[e] = std::sqrt(re * re + im * im);
    }
    if (on_pass)
        on_pass(mags, static_cast<double>(frame_start(passes_)) - static_cast<double>(lead_in()) +
                          frame_ / 2.0);

    if (o_.search)
        search(mags, out);
}

// The pass's matches (the soft rule's or the library's) into runs, and the runs that ended
// into reports.
void band_scanner::search(const float* mags, std::vector<detection>& out) {
    matches_.clear();
    if (soft_) {
        soft_->row(mags, matches_);
    } else {
        exact_pass(mags);
    }
    ended_.clear();
    runs_.pass(passes_, matches_, ended_);
    report(ended_, out);
}

void band_scanner::exact_pass(const float* mags) {
    const auto w = static_cast<std::size_t>(width_);
    // Tone decisions into the newest tone_row, then every column against the codeword.
    history_row_ = (history_row_ + 1) % history_rows;
    uint8_t* tone_row = tones_.data() + static_cast<std::size_t>(history_row_) * w;
    const int limit = width_ - 30;
    rsid_tone_decisions(tone_row, mags, 0, limit);
    rsid_tone_decisions(tone_row, mags, 1, limit);
    const uint8_t* rows[15];
    int r = (history_row_ + 1) % history_rows; // the oldest tone_row, written 28 passes ago
    for (int j = 0; j < 15; ++j, r = (r + 2) % history_rows)
        rows[j] = tones_.data() + static_cast<std::size_t>(r) * w;
    if (passes_ >= history_rows - 1) { // the oldest rows hold decisions of this stream
        rsid_row_distances(rows, codeword_, 0, limit, distances_.data());
        for (int c = 0; c < limit; ++c) {
            const int d = distances_[static_cast<std::size_t>(c)];
            if (d < 2)
                matches_.push_back({c, d, code, static_cast<float>(-d)});
        }
    }
}

void band_scanner::finish(std::vector<detection>& out) {
    // Silence past the end closes every run that is still matching: a frame and a half of the
    // input's own offset, which the DC blocker turns into zeros.
    const std::size_t per = o_.complex ? 2 : 1;
    const std::size_t frames = static_cast<std::size_t>(frame_) * 3 / 2;
    std::vector<float> flat(frames * per);
    for (std::size_t i = 0; i < flat.size(); ++i)
        flat[i] = static_cast<float>((i % per == 0 ? dc_i_ : dc_q_) / gain_);
    feed(flat.data(), frames, out);
    ended_.clear();
    runs_.close(ended_);
    report(ended_, out);
    passes_ = 0;
    std::fill(buffer_.begin(), buffer_.end(), 0.0f);
    fill_ = lead_in();
    taken_ = 0;
    history_row_ = 0;
    if (soft_)
        soft_->reset();
    dc_i_ = dc_q_ = 0.0;
    std::fill(tones_.begin(), tones_.end(), uint8_t{0});
}

void band_scanner::report(const std::vector<run>& ended, std::vector<detection>& out) const {
    const magnitude_ring<float> ring{ring_.data(), width_, ring_rows_};
    const int64_t newest = passes_;
    const int64_t oldest = std::max<int64_t>(0, newest - ring_rows_ + 1);
    for (const run& r : ended) {
        const uint8_t* codeword = soft_ ? codeword_of(r.best_code).data() : codeword_;
        const int64_t last = soft_ ? std::min(newest, r.last_pass + 1) : newest;
        const measurement m = measure(r, ring, oldest, last, codeword, tone_spacing_hz / bin_hz_);
        detection det;
        det.code = r.best_code;
        det.bin = r.best_column;
        det.distance = r.best_distance;
        if (soft_) { // the hard decisions of the peak pass, for the record
            const auto peak = std::clamp<int64_t>(std::llround(m.peak), oldest + 28, last);
            const float* rows[15];
            for (int j = 0; j < 15; ++j)
                rows[j] = ring.row(peak - 28 + 2 * j);
            det.distance = hard_distance(rows, r.best_column, codeword);
        }
        // NOLINTNEXTLINE(bugprone-integer-division): frame_ is even; its half is a whole bin
        det.offset_hz = (o_.complex ? m.tone0 - frame_ / 2 : m.tone0) * bin_hz_;
        det.freq_hz = o_.center_hz + det.offset_hz;
        // The peak frame is centred on the last symbol: the identifier began 14.5 symbols
        // before its centre.
        const auto whole = static_cast<int64_t>(std::floor(m.peak));
        const double start_at =
            static_cast<double>(frame_start(whole)) - static_cast<double>(lead_in()) +
            (m.peak - static_cast<double>(whole)) * frame_ / 4.0 + frame_ / 2.0 - 14.5 * symbol_;
        det.start = start_at;
        det.sample = static_cast<int64_t>(std::llround(std::max(0.0, start_at)));
        det.rate = o_.rate;
        det.time_s = static_cast<double>(det.sample) / o_.rate;
        // Noise of the whole input from the noise per bin, then the share in 3 kHz; a complex
        // tone of amplitude a reads as a real sine of amplitude 2a.
        const double noise_total = m.noise_per_bin * frame_ / window_power;
        double level_sq, signal, noise_3k;
        if (o_.complex) {
            level_sq = m.amplitude_sq / 4.0;
            signal = level_sq;
            noise_3k = noise_total * 3000.0 / o_.rate;
        } else {
            level_sq = m.amplitude_sq;
            signal = level_sq / 2.0;
            noise_3k = noise_total * 3000.0 / (o_.rate / 2.0);
        }
        det.level_dbfs = 10.0 * std::log10(level_sq / (full_scale * full_scale));
        det.snr_db = 10.0 * std::log10(signal / std::max(noise_3k, 1e-12));
        // A Hann-windowed sine of amplitude A peaks at A / 4, as m.amplitude_sq counts it.
        const int64_t at = std::clamp(whole, oldest, newest);
        const float* pass_row = ring_.data() + static_cast<std::size_t>(at % ring_rows_) *
                                                   static_cast<std::size_t>(width_);
        const double strongest = 4.0 * *std::max_element(pass_row, pass_row + width_);
        if (det.level_dbfs < report_floor_dbfs ||
            10.0 * std::log10(m.amplitude_sq) < 20.0 * std::log10(strongest) - transform_range_db)
            continue;
        out.push_back(det);
    }
}

} // namespace rsid
