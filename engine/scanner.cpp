// scanner.cpp - one spectrum across the band, the library's search rules across every column.
#include "scanner.h"

#include "rsid_signal.h"
#include "rsid_state.h"
#include "rx/search_rules.h"

#include "band_fft.h"
#include "block_median.h"
#include "large_rows.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <numbers>
#include <stdexcept>
#include <string>
#include <thread>

namespace rsid {

namespace {

using namespace rsid_signal;

// Magnitude rows kept for measuring a run at its end; the soft rule holds a run for one
// identifier's length (28 passes) more.
constexpr int exact_ring_rows = 40;
constexpr int soft_ring_rows = 72;

// The transform is single precision: its rounding leaves a residue of every strong component
// across the whole band, and the residue of an identifier carries its tone pattern. A report
// band_fft::residue_db() below the strongest entry of its pass is that residue.

// The codeword of 131, as the library's receiver holds it.
void codeword_of_131(uint8_t* out) { rsid_codeword(code & 0xFF, out); }

} // namespace

int smooth_length(double nominal) {
    auto smooth = [](int n) {
        for (const int p : {2, 3, 5, 7})
            while (n % p == 0)
                n /= p;
        return n == 1;
    };
    const int below = 2 * static_cast<int>(std::floor(nominal / 2.0));
    for (int step = 0;; step += 2) { // 2 and 4 are smooth: the search ends
        const int lower = below - step, upper = below + 2 + step;
        const bool low_ok = lower >= 2 && smooth(lower), up_ok = smooth(upper);
        if (low_ok && (!up_ok || nominal - lower <= upper - nominal))
            return lower;
        if (up_ok)
            return upper;
    }
}

// Rows of a wide band on large pages (large_rows.h).
template <class T>
std::unique_ptr<T[], band_scanner::free_rows> band_scanner::rows_of(std::size_t count) {
    return std::unique_ptr<T[], free_rows>(static_cast<T*>(allocate_rows(count * sizeof(T))));
}

struct band_scanner::fft : band_fft {
    using band_fft::band_fft;
};

// Threads that take the jobs of a batch with the caller: run(count, job) calls job(0 ..
// count - 1), each once, on any of them, and returns when all are done.
class band_scanner::crew {
  public:
    explicit crew(int helpers) {
        for (int i = 0; i < helpers; ++i)
            threads_.emplace_back([this] { serve(); });
    }
    ~crew() {
        {
            const std::lock_guard<std::mutex> lock(m_);
            stop_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_)
            t.join();
    }
    crew(const crew&) = delete;
    crew& operator=(const crew&) = delete;

    void run(int count, const std::function<void(int)>& job) {
        {
            const std::lock_guard<std::mutex> lock(m_);
            job_ = &job;
            count_ = count;
            next_.store(0);
            busy_ = static_cast<int>(threads_.size());
            ++round_;
        }
        wake_.notify_all();
        work();
        std::unique_lock<std::mutex> lock(m_);
        done_.wait(lock, [this] { return busy_ == 0; });
        job_ = nullptr;
    }

  private:
    void work() {
        for (int i; (i = next_.fetch_add(1)) < count_;)
            (*job_)(i);
    }
    void serve() {
        uint64_t seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_);
                wake_.wait(lock, [&] { return stop_ || round_ != seen; });
                if (stop_)
                    return;
                seen = round_;
            }
            work();
            const std::lock_guard<std::mutex> lock(m_);
            if (--busy_ == 0)
                done_.notify_one();
        }
    }

    std::vector<std::thread> threads_;
    std::mutex m_;
    std::condition_variable wake_, done_;
    const std::function<void(int)>* job_ = nullptr;
    int count_ = 0;
    std::atomic<int> next_{0};
    int busy_ = 0;
    uint64_t round_ = 0;
    bool stop_ = false;
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
    if (o_.threads < 1 || o_.threads > 64)
        throw std::invalid_argument("threads must be 1 to 64");
    if (o_.pass_stride < 1 || o_.pass_stride > 4 || (o_.search && o_.pass_stride != 1))
        throw std::invalid_argument("a pass stride is 1 to 4, and 1 when searching");
    check_options(rule);
    threads_ = o_.threads;
    // The detector's frame, two symbols long, at this rate, rounded to an even length: its
    // quarter is the hop, half a symbol. The transform takes the nearest smooth length.
    const double nominal = 2.0 * std::round(o_.rate * rsid_signal::frame / rx_rate / 2.0);
    hop_ = nominal / 4.0;
    frame_ = smooth_length(o_.rate * rsid_signal::frame / rx_rate);
    bin_hz_ = o_.rate / frame_;
    symbol_ = o_.rate * symbol_tx_samples / tx_rate;
    width_ = o_.complex ? frame_ : frame_ / 2 + 1;
    for (int t = 0; t < threads_; ++t)
        ffts_.push_back(std::make_unique<fft>(frame_, o_.complex));
    if (threads_ > 1)
        crew_ = std::make_unique<crew>(threads_ - 1);
    window_.resize(static_cast<std::size_t>(frame_));
    for (int i = 0; i < frame_; ++i) { // Hann, scaled by 1 / n as the detector's sums are
        // For I/Q, (-1)^t moves the spectrum by half the band: its centre to the middle entry.
        const double sign = o_.complex && i % 2 == 1 ? -1.0 : 1.0;
        window_[static_cast<std::size_t>(i)] = static_cast<float>(
            sign * (0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / frame_)) / frame_);
    }
    // Room for the frames of a batch: one per thread, a hop (rounded up) apart.
    const auto span =
        static_cast<std::size_t>(frame_) +
        static_cast<std::size_t>(threads_ - 1) * static_cast<std::size_t>(std::ceil(hop_) + 1.0);
    buffer_.resize(span * (o_.complex ? 2 : 1));
    dc_step_ = 2.0 * std::numbers::pi * 2.0 / o_.rate; // a 2 Hz one-pole: offsets, not signals
    ring_keep_ = rule.exact ? exact_ring_rows : soft_ring_rows;
    ring_rows_ = ring_keep_ + threads_ - 1;
    ring_ = rows_of<float>(static_cast<std::size_t>(ring_rows_) * static_cast<std::size_t>(width_));
    tone_rows_ = history_rows + threads_ - 1;
    if (rule.exact)
        tones_ = rows_of<uint8_t>(static_cast<std::size_t>(tone_rows_) *
                                  static_cast<std::size_t>(width_));
    distances_.resize(static_cast<std::size_t>(threads_) * static_cast<std::size_t>(width_));
    matches_.resize(static_cast<std::size_t>(threads_));
    codeword_of_131(codeword_);
    fill_ = lead_in();
    if (!rule.exact) { // rows half a symbol apart; one budget per 48 kHz of band
        // A slice's margin covers the noise estimate's blocks either side (3 of 16 entries),
        // twins up to 15 tones aside and their codewords (60 entries), with room to spare.
        constexpr int margin = 8 * median_block;
        constexpr int least = 4096; // columns a slice is worth a thread for
        const int columns = width_ - 30;
        const int count = std::max(1, std::min(threads_, columns / least));
        for (int i = 0; i < count; ++i) {
            const int lo = columns * i / count, hi = columns * (i + 1) / count;
            // Aligned to the row's blocks, so that each block's median is the whole row's.
            const int start = i == 0 ? 0 : (lo - margin) / median_block * median_block;
            const int end = i + 1 == count ? width_ : hi + 30 + margin;
            soft_.push_back({soft_search(rule, end - start, 2, o_.rate / hop_, tx_rate / bin_hz_),
                             start,
                             lo,
                             hi,
                             {}});
        }
        runs_.set_shadow(2, static_cast<float>(soft_.front().search.threshold()));
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
    return static_cast<int64_t>(std::floor(static_cast<double>(pass) * hop_ + 0.5));
}

std::size_t band_scanner::offset(int ahead) const {
    return static_cast<std::size_t>(frame_start(passes_ + ahead) - frame_start(passes_));
}

void band_scanner::feed(const float* samples, std::size_t frames, std::vector<detection>& out) {
    const std::size_t per = o_.complex ? 2 : 1;
    while (frames > 0) {
        // A batch is due once the frame of its last pass is complete.
        const std::size_t full = offset(threads_ - 1) + static_cast<std::size_t>(frame_);
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
            analyse(threads_, out);
    }
}

void band_scanner::transform(int lane, int64_t pass) {
    const auto n = static_cast<std::size_t>(frame_);
    const auto w = static_cast<std::size_t>(width_);
    fft& f = *ffts_[static_cast<std::size_t>(lane)];
    const std::size_t per = o_.complex ? 2 : 1;
    const float* x = buffer_.data() + offset(static_cast<int>(pass - passes_)) * per;
    if (o_.complex) {
        for (std::size_t i = 0; i < n; ++i) {
            f.in[2 * i] = x[2 * i] * window_[i];
            f.in[2 * i + 1] = x[2 * i + 1] * window_[i];
        }
    } else {
        for (std::size_t i = 0; i < n; ++i)
            f.in[i] = x[i] * window_[i];
    }
    f.run();
    // The magnitudes, and the library's tone decisions of this row, a block at a time while the
    // block is in cache: a row of a wide band (3.7 million entries at 20e6/s) is not. A column's
    // decision reads the 30 entries above it. Each block's first column of either parity looks
    // its window over afresh, as the whole row's first does; the winner is the first largest
    // entry either way, so the decisions are the whole row's.
    constexpr std::size_t block = 16384; // entries, even: columns keep their parity
    float* mags = ring_row(pass);
    const int limit = soft_.empty() ? width_ - 30 : 0;
    int decided = 0; // columns below this are decided
    for (std::size_t begin = 0; begin < w; begin += block) {
        const std::size_t end = std::min(w, begin + block);
        for (std::size_t e = begin; e < end; ++e) // vectorised: sqrt leaves errno alone here
            mags[e] = std::sqrt(f.out[e][0] * f.out[e][0] + f.out[e][1] * f.out[e][1]);
        const int ready = std::min(limit, static_cast<int>(end) - 30);
        if (ready > decided) {
            rsid_tone_decisions(tone_row(pass), mags, decided, ready);
            rsid_tone_decisions(tone_row(pass), mags, decided + 1, ready);
            decided = ready;
        }
    }
}

void band_scanner::analyse(int count, std::vector<detection>& out) {
    // The passes of the batch at once: their magnitudes and tone decisions, then (the library's
    // rule) their distances, which read the decisions of earlier passes of the batch.
    // Without a search (pictures), only every pass_stride-th pass is transformed.
    const auto drawn = [&](int j) { return (passes_ + j) % o_.pass_stride == 0; };
    const std::function<void(int)> spectra = [&](int j) {
        if (drawn(j))
            transform(j, passes_ + j);
    };
    const std::function<void(int)> distances = [&](int j) { exact_pass(j, passes_ + j); };
    for (const auto* job : {&spectra, &distances}) {
        if (job == &distances && (!soft_.empty() || !o_.search))
            break;
        if (crew_ && count > 1) {
            crew_->run(count, *job);
        } else {
            for (int j = 0; j < count; ++j)
                (*job)(j);
        }
    }

    // Then in pass order: the soft rule, the runs and the reports.
    for (int j = 0; j < count; ++j, ++passes_) {
        const float* mags = ring_row(passes_);
        if (on_pass && drawn(0))
            on_pass(mags, static_cast<double>(frame_start(passes_)) -
                              static_cast<double>(lead_in()) + frame_ / 2.0);
        if (!o_.search)
            continue;
        std::vector<match>& matches = matches_[static_cast<std::size_t>(j)];
        if (!soft_.empty()) {
            const std::function<void(int)> score = [&](int i) {
                soft_slice& slice = soft_[static_cast<std::size_t>(i)];
                slice.found.clear();
                slice.search.row(mags + slice.start, slice.found);
            };
            const auto slices = static_cast<int>(soft_.size());
            if (crew_ && slices > 1) {
                crew_->run(slices, score);
            } else {
                score(0);
            }
            matches.clear();
            for (const soft_slice& slice : soft_) {
                for (match m : slice.found) {
                    m.column += slice.start;
                    if (m.column >= slice.lo && m.column < slice.hi)
                        matches.push_back(m);
                }
            }
        }
        ended_.clear();
        runs_.pass(passes_, matches, ended_);
        report(ended_, out);
    }

    // Drop the samples before the next pass's frame.
    const std::size_t per = o_.complex ? 2 : 1;
    const auto drop = static_cast<std::size_t>(frame_start(passes_) - frame_start(passes_ - count));
    std::memmove(buffer_.data(), buffer_.data() + drop * per, (fill_ - drop) * per * sizeof(float));
    fill_ -= drop;
}

void band_scanner::exact_pass(int lane, int64_t pass) {
    const auto w = static_cast<std::size_t>(width_);
    std::vector<match>& matches = matches_[static_cast<std::size_t>(lane)];
    matches.clear();
    if (pass < history_rows - 1) // the oldest rows do not hold decisions of this stream yet
        return;
    // Every column against the codeword, over the rows a symbol apart, the oldest 28 passes ago.
    const uint8_t* rows[15];
    for (int j = 0; j < 15; ++j)
        rows[j] = tone_row(pass - 28 + 2 * j);
    uint8_t* distances = distances_.data() + static_cast<std::size_t>(lane) * w;
    const int limit = width_ - 30;
    rsid_row_distances(rows, codeword_, 0, limit, distances);
    for (int c = 0; c < limit; ++c) {
        const int d = distances[static_cast<std::size_t>(c)];
        if (d < 2)
            matches.push_back({c, d, code, static_cast<float>(-d)});
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
    // The passes whose frames are complete, short of a whole batch.
    int complete = 0;
    while (complete < threads_ && offset(complete) + static_cast<std::size_t>(frame_) <= fill_)
        ++complete;
    if (complete > 0)
        analyse(complete, out);
    ended_.clear();
    runs_.close(ended_);
    report(ended_, out);
    passes_ = 0;
    std::fill(buffer_.begin(), buffer_.end(), 0.0f);
    fill_ = lead_in();
    taken_ = 0;
    for (soft_slice& slice : soft_)
        slice.search.reset();
    dc_i_ = dc_q_ = 0.0;
}

void band_scanner::report(const std::vector<run>& ended, std::vector<detection>& out) const {
    const magnitude_ring<float> ring{ring_.get(), width_, ring_rows_};
    const int64_t newest = passes_;
    const int64_t oldest = std::max<int64_t>(0, newest - ring_keep_ + 1);
    for (const run& r : ended) {
        if (!soft_.empty()) { // too like another code to name: report nothing
            auto own = std::find_if(soft_.begin(), soft_.end(),
                                    [&](const soft_slice& s) { return r.best_column < s.hi; });
            if (own == soft_.end())
                --own;
            run local = r;
            local.best_column -= own->start;
            if (!own->search.distinct(local))
                continue;
        }
        const uint8_t* codeword = soft_.empty() ? codeword_ : codeword_of(r.best_code).data();
        const int64_t last = soft_.empty() ? newest : std::min(newest, r.last_pass + 1);
        const auto measured = measure(r, ring, oldest, last, codeword, tone_spacing_hz / bin_hz_);
        if (!measured)
            continue;
        const measurement& m = *measured;
        detection det;
        det.code = r.best_code;
        det.bin = r.best_column;
        det.distance = soft_.empty() ? r.best_distance : m.peak_distance;
        // NOLINTNEXTLINE(bugprone-integer-division): frame_ is even; its half is a whole bin
        det.offset_hz = (o_.complex ? m.tone0 - frame_ / 2 : m.tone0) * bin_hz_;
        det.freq_hz = o_.center_hz + det.offset_hz;
        // The peak frame is centred on the last symbol: the identifier began 14.5 symbols
        // before its centre.
        const auto whole = static_cast<int64_t>(std::floor(m.peak));
        const double start_at =
            static_cast<double>(frame_start(whole)) - static_cast<double>(lead_in()) +
            (m.peak - static_cast<double>(whole)) * hop_ + frame_ / 2.0 - 14.5 * symbol_;
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
        const float* pass_row = ring_.get() + static_cast<std::size_t>(at % ring_rows_) *
                                                  static_cast<std::size_t>(width_);
        const double strongest = 4.0 * *std::max_element(pass_row, pass_row + width_);
        if (det.level_dbfs < report_floor_dbfs ||
            10.0 * std::log10(m.amplitude_sq) <
                20.0 * std::log10(strongest) - band_fft::residue_db())
            continue;
        out.push_back(det);
    }
}

} // namespace rsid
