// soft.cpp - normalised tone energies, the threshold from the budget, candidates by re-encoding.
#include "soft.h"

#include "block_median.h"
#include "log_i0.h"
#include "rsid_state.h"
#include "rx/search_rules.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

namespace rsid {

namespace {

constexpr int symbols = 15;
constexpr int all = 4096;
constexpr int block = median_block; // entries per block of the noise estimate
constexpr int blocks_around = 3;    // blocks either side averaged with the block's own
constexpr int median_rows = 4;      // rows whose block medians are averaged: this and 3 before
constexpr float noise_floor = 1.0f; // power; below one unit of magnitude nothing is measured
// A block's median is the 9th smallest of its 16 powers; of exponential powers that is on
// average 1/8 + 1/9 + ... + 1/16 = 0.788 of their mean (the (n/2+1)-th of n falls at the sum of
// 1/i over the n/2+1 largest i), not ln 2, the median of the distribution itself. Taken as ln 2,
// the energies would run 12 % low and the threshold would stand 0.56 dB above its budget.
constexpr float median_share = [] {
    double share = 0.0;
    for (int i = block - block / 2; i <= block; ++i)
        share += 1.0 / i;
    return static_cast<float>(share);
}();
constexpr int direct_limit = 8;   // up to this many codes, each is scored directly
constexpr int reliable = 6;       // hard decisions re-encoded, 3 at a time
constexpr float tie_step = 1e-3f; // weight of the unclipped energies: ties only
// A row's strongest tones are kept in steps of the ceiling too: their sums over a row's symbols
// skip, with whole-number sums, the columns whose strongest tones cannot reach the threshold.
constexpr float peak_steps = 255.0f / energy_ceiling;
constexpr int twin_tones = 15; // twins shifted by up to this many tones
constexpr int twin_shared = 9; // sharing at least this many tones
// Rows of normalised energies kept, in symbols: a report is weighed when its run is released,
// one identifier's length (14 symbols) after its best row, against twins reaching back 14 +
// twin_reach symbols before that row; 8 more for a run that goes on matching after its best row.
constexpr int kept_symbols = 14 + 14 + twin_reach + 8;

// Where positions i < j < k of a codeword sit in code_tables::triple.
constexpr std::size_t triple_at(int i, int j, int k) {
    return (static_cast<std::size_t>(i) * 15 + static_cast<std::size_t>(j)) * 15 +
           static_cast<std::size_t>(k);
}

struct code_tables {
    std::array<std::array<uint8_t, 15>, all> codewords{};
    // For the 455 sets of 3 positions i < j < k, the code whose codeword holds value v at one of
    // them and 0 at the other two; codes add as their codewords do (exclusive or), so the code
    // through any 3 values is the exclusive or of three entries.
    std::vector<std::array<std::array<uint16_t, 16>, 3>> through;
    std::array<int16_t, 15 * 15 * 15> triple{}; // (i, j, k) -> index into through
};

const code_tables& tables() {
    static const code_tables t = [] {
        code_tables c;
        for (int code = 0; code < all; ++code)
            rsid_codeword(code, c.codewords[static_cast<std::size_t>(code)].data());
        std::vector<std::array<int, 3>> sets;
        for (int i = 0; i < symbols; ++i)
            for (int j = i + 1; j < symbols; ++j)
                for (int k = j + 1; k < symbols; ++k) {
                    c.triple[triple_at(i, j, k)] = static_cast<int16_t>(sets.size());
                    sets.push_back({i, j, k});
                }
        c.through.resize(sets.size());
        for (int code = 0; code < all; ++code) {
            const auto& w = c.codewords[static_cast<std::size_t>(code)];
            for (std::size_t s = 0; s < sets.size(); ++s) {
                const uint8_t a = w[static_cast<std::size_t>(sets[s][0])];
                const uint8_t b = w[static_cast<std::size_t>(sets[s][1])];
                const uint8_t d = w[static_cast<std::size_t>(sets[s][2])];
                if (b == 0 && d == 0)
                    c.through[s][0][a] = static_cast<uint16_t>(code);
                if (a == 0 && d == 0)
                    c.through[s][1][b] = static_cast<uint16_t>(code);
                if (a == 0 && b == 0)
                    c.through[s][2][d] = static_cast<uint16_t>(code);
            }
        }
        return c;
    }();
    return t;
}

// The tail of the sum of 15 normalised energies in noise: each exponential with mean 1, clipped
// at the ceiling. tail[i] = P(sum >= i * step), by numerical convolution, built once.
constexpr double tail_step = 0.01;

const std::vector<double>& noise_tail() {
    static const std::vector<double> tail = [] {
        const int m = static_cast<int>(std::lround(energy_ceiling / tail_step)) + 1;
        std::vector<double> one(static_cast<std::size_t>(m));
        for (int i = 0; i + 1 < m; ++i)
            one[static_cast<std::size_t>(i)] =
                std::exp(-i * tail_step) - std::exp(-(i + 1) * tail_step);
        one.back() = std::exp(-(m - 1) * tail_step); // everything above the ceiling
        std::vector<double> sum = one;
        for (int k = 1; k < symbols; ++k) {
            std::vector<double> next(sum.size() + one.size() - 1, 0.0);
            for (std::size_t a = 0; a < sum.size(); ++a) {
                if (sum[a] < 1e-30)
                    continue;
                for (std::size_t b = 0; b < one.size(); ++b)
                    next[a + b] += sum[a] * one[b];
            }
            sum.swap(next);
        }
        std::vector<double> t(sum.size() + 1, 0.0);
        for (std::size_t i = sum.size(); i-- > 0;)
            t[i] = t[i + 1] + sum[i];
        return t;
    }();
    return tail;
}

// The sum that noise reaches with probability p per hypothesis.
double sum_for(double p) {
    const std::vector<double>& t = noise_tail();
    const auto it = std::find_if(t.begin(), t.end(), [p](double v) { return v < p; });
    return static_cast<double>(it - t.begin()) * tail_step;
}

// A symbol of an identifier may be faded far below the others (or above them): with this
// probability a tone's power in a symbol is taken as any at all, exponential about the mean
// (Rayleigh fading), instead of the strength the code's other tones show. A tone missing where
// one hypothesis has it and another does not then weighs about ln(1 / faded_symbol) at most
// against the first: in fading, an identifier's weakest symbol does not name its twin by its
// energy. (With the strength of the other 14 alone, Rayleigh fading of 1 Hz Doppler named a twin
// in 1 report of 80 at -8 dB.) Where the tones are as strong as each other, as in white noise,
// nothing changes: there the other term is the larger by far.
constexpr double faded_symbol = 1e-3;

// The log-likelihood ratio of a tone of signal-to-noise ratio snr, as strong as that, against
// noise alone (both of mean power 1 in noise): its energy e is Rician, e^(-e - snr)
// I0(2 sqrt(snr e)); noise's is e^-e.
double steady_evidence(double snr, double energy) {
    return -snr + log_i0(2.0 * std::sqrt(snr * std::max(energy, 0.0)));
}

// The same for a tone that with probability faded_symbol is exponential of mean 1 + snr instead.
double tone_evidence(double snr, float e) {
    const double energy = std::max(static_cast<double>(e), 0.0);
    const double steady = std::log1p(-faded_symbol) + steady_evidence(snr, energy);
    const double faded = std::log(faded_symbol) + energy * snr / (1.0 + snr) - std::log1p(snr);
    return std::max(steady, faded) + std::log1p(std::exp(-std::abs(steady - faded)));
}

// Calls f with the codeword of every code looked for but code whose codeword, k tones up and d
// symbols late, shares twin_shared to 14 of code's tones: its symbol i where code has symbol
// i + d, k tones lower.
template <typename F>
void for_each_twin(int code, int d, int k, const std::vector<bool>& wanted, const F& f) {
    const code_tables& t = tables();
    const auto& w = t.codewords[static_cast<std::size_t>(code)];
    int at[symbols], value[symbols], n = 0; // the tones a twin must share, where they exist
    for (int i = 0; i < symbols; ++i) {
        const int j = i + d;
        const int v = j >= 0 && j < symbols ? w[static_cast<std::size_t>(j)] - k : -1;
        if (v >= 0 && v < 16)
            at[n] = i, value[n++] = v;
    }
    if (n < twin_shared)
        return;
    // A codeword sharing twin_shared of the n tones shares 3 of any n - twin_shared + 3 of them,
    // and any 3 fix it: the triples of the first so many find every twin.
    const int first = n - twin_shared + 3;
    uint16_t seen[84]; // C(9, 3): the most triples there can be
    int seen_count = 0;
    for (int a = 0; a < first; ++a)
        for (int b = a + 1; b < first; ++b)
            for (int e = b + 1; e < first; ++e) {
                const auto& through =
                    t.through[static_cast<std::size_t>(t.triple[triple_at(at[a], at[b], at[e])])];
                const uint16_t other = through[0][static_cast<std::size_t>(value[a])] ^
                                       through[1][static_cast<std::size_t>(value[b])] ^
                                       through[2][static_cast<std::size_t>(value[e])];
                if (other == code || !wanted[other] ||
                    std::find(seen, seen + seen_count, other) != seen + seen_count)
                    continue;
                seen[seen_count++] = other;
                const auto& v = t.codewords[other];
                int shared = 0;
                for (int i = 0; i < n; ++i)
                    shared += v[static_cast<std::size_t>(at[i])] == value[i] ? 1 : 0;
                // All 15 the same: another code sent some tones higher is this one, tone for
                // tone. No detector can tell them apart; the search reports the lower column.
                if (shared >= twin_shared && shared < symbols)
                    f(static_cast<int>(other), v);
            }
}

} // namespace

double noise_exceedance(double sum) {
    const std::vector<double>& t = noise_tail();
    const auto i = static_cast<std::size_t>(std::max(0.0, std::ceil(sum / tail_step)));
    return i < t.size() ? t[i] : 0.0;
}

const std::array<uint8_t, 15>& codeword_of(int code) {
    return tables().codewords[static_cast<std::size_t>(code & (all - 1))];
}

detector_options default_detector_options() { return {}; }

void check_options(const detector_options& o) {
    if (!std::isfinite(o.threshold_db))
        throw std::invalid_argument("the threshold offset must be finite");
    if (o.max_distance < 0 || o.max_distance > symbols)
        throw std::invalid_argument("the tones that may lose are 0 to 15");
    if (o.exact || o.all_codes)
        return;
    if (o.codes.empty())
        throw std::invalid_argument("the set of codes is empty");
    const auto bad =
        std::find_if(o.codes.begin(), o.codes.end(), [](int c) { return c < 0 || c >= all; });
    if (bad != o.codes.end())
        throw std::invalid_argument("code " + std::to_string(*bad) + " is outside 0 to 4095");
}

soft_search::soft_search(const detector_options& options, int width, int rows_per_symbol,
                         double rows_per_second, double budget_columns, bool sparse)
    : width_(width), columns_(width - 30), rows_per_symbol_(rows_per_symbol),
      ring_rows_(kept_symbols * rows_per_symbol + 2) {
    check_options(options);
    max_distance_ = options.max_distance;
    tables();
    std::vector<int> codes;
    if (options.all_codes) {
        for (int c = 0; c < all; ++c) {
            const auto& w = codeword_of(c);
            if (std::any_of(w.begin(), w.end(), [&](uint8_t s) { return s != w[0]; }))
                codes.push_back(c);
        }
    } else {
        codes = options.codes;
        std::sort(codes.begin(), codes.end());
        codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    }
    direct_ = codes.size() <= static_cast<std::size_t>(direct_limit);
    twin_log_odds_ = options.twin_log_odds;
    twinned_ = twin_log_odds_ > 0.0 && codes.size() > 1;
    wanted_.assign(all, false);
    for (const int c : codes)
        wanted_[static_cast<std::size_t>(c)] = true;
    if (direct_) {
        codes_ = codes;
    } else {
        tones_.resize(static_cast<std::size_t>(ring_rows_) * static_cast<std::size_t>(width_));
        peaks_.resize(tones_.size());
        peak_sums_.resize(static_cast<std::size_t>(std::max(columns_, 0)));
    }
    // The budget shared over every hypothesis of a day: rows, columns and codes.
    const double hypotheses =
        rows_per_second * 86400.0 * budget_columns * static_cast<double>(codes.size());
    noise_mean_ = 15.0 * (1.0 - std::exp(-static_cast<double>(energy_ceiling)));
    const double sum = sum_for(false_reports_per_day / hypotheses);
    threshold_ = noise_mean_ + (sum - noise_mean_) * std::pow(10.0, options.threshold_db / 10.0);
    floor_ = static_cast<float>(threshold_);
    power_.resize(static_cast<std::size_t>(width_));
    blocks_ = (width_ + block - 1) / block;
    // Sparse rows may be taken a whole ring late: their medians are kept as long as they are.
    const int median_slots = sparse ? ring_rows_ : median_rows;
    window_ = sparse ? 2 * median_rows : median_rows;
    medians_.resize(static_cast<std::size_t>(blocks_) * static_cast<std::size_t>(median_slots));
    medians_row_.assign(static_cast<std::size_t>(median_slots), -1);
    ring_.resize(static_cast<std::size_t>(ring_rows_) * static_cast<std::size_t>(width_));
    taken_.assign(static_cast<std::size_t>(ring_rows_), -1);
    sums_.resize(static_cast<std::size_t>(std::max(columns_, 0)));
    best_.resize(sums_.size());
    best_code_.assign(sums_.size(), codes_.empty() ? 0 : codes_.front());
}

void soft_search::reset() {
    std::fill(ring_.begin(), ring_.end(), 0.0f);
    std::fill(tones_.begin(), tones_.end(), uint8_t{0});
    std::fill(peaks_.begin(), peaks_.end(), uint8_t{0});
    std::fill(medians_.begin(), medians_.end(), 0.0f);
    std::fill(medians_row_.begin(), medians_row_.end(), -1);
    std::fill(taken_.begin(), taken_.end(), -1);
    rows_ = 0;
}

double soft_search::lowered(double db) const {
    return noise_mean_ + (threshold_ - noise_mean_) * std::pow(10.0, -db / 10.0);
}

void soft_search::normalise(int64_t r, float* x) {
    // Medians of the blocks; each block's noise is the mean of the medians of this row and the
    // rows before it, over the blocks either side, as many on each side (fewer at the edges,
    // where the noise may slope): a window centred on the block, over median_share.
    const int nb = blocks_;
    const auto slots = static_cast<int64_t>(medians_row_.size());
    medians_row_[static_cast<std::size_t>(r % slots)] = r;
    float* medians =
        medians_.data() + static_cast<std::size_t>(r % slots) * static_cast<std::size_t>(nb);
    const int whole = width_ / block;
    block_medians(power_.data(), whole, medians);
    if (whole < nb) { // the last, shorter block
        float scratch[block];
        const int n = width_ - whole * block;
        std::copy(power_.begin() + whole * block, power_.end(), scratch);
        std::nth_element(scratch, scratch + n / 2, scratch + n);
        medians[whole] = scratch[n / 2];
    }
    // The rows whose medians make the noise: this one and those before it in the window, the
    // latest median_rows of them (in the order of their slots).
    const float* use[median_rows];
    int filled = 0;
    if (window_ == median_rows) {
        for (int64_t s = 0; s < slots; ++s) {
            const int64_t held = medians_row_[static_cast<std::size_t>(s)];
            if (held >= 0 && held <= r && held > r - window_)
                use[filled++] = medians_.data() + s * nb;
        }
    } else {
        for (int64_t q = r; q > r - window_ && q >= 0 && filled < median_rows; --q) {
            if (medians_row_[static_cast<std::size_t>(q % slots)] == q)
                use[filled++] = medians_.data() + (q % slots) * nb;
        }
    }
    for (int b = 0; b < nb; ++b) {
        const int k = std::min({blocks_around, b, nb - 1 - b});
        float sum = 0.0f;
        for (int u = 0; u < filled; ++u) {
            const float* m = use[u];
            for (int i = b - k; i <= b + k; ++i)
                sum += m[i];
        }
        const float mean = sum / static_cast<float>(filled * (2 * k + 1));
        const float noise = std::max(mean / median_share, noise_floor);
        const float scale = 1.0f / noise;
        const int from = b * block, to = std::min(width_, from + block);
        for (int e = from; e < to; ++e)
            x[e] = power_[static_cast<std::size_t>(e)] * scale;
    }
}

bool soft_search::on_grid(const float* const* rows, int column, const uint8_t* tones) const {
    // A strong tone between two of the codeword's places lends each a good part of its power,
    // and clipped, that is as much as a tone of its own: a strong identifier of another code, an
    // odd number of bins aside, can lift a codeword whose places lie beside its tones in enough
    // symbols. A tone of the codeword's own, within half a bin of its place, gives its place at
    // least as much as the bin beside; a cell the bin beside outweighs by half again, when that
    // bin holds four times the ceiling or more, holds another tone's leakage and counts as noise
    // here. Weak identifiers are left alone: noise reaches four times the ceiling once in e^24.
    float sum = 0.0f;
    for (int j = 0; j < symbols; ++j) {
        const float* r = rows[j];
        const int e = column + 2 * tones[j];
        const float beside = std::max(e > 0 ? r[e - 1] : 0.0f, e + 1 < width_ ? r[e + 1] : 0.0f);
        const bool leak = beside > 4.0f * energy_ceiling && beside > 1.5f * r[e];
        sum += leak ? 1.0f : std::min(r[e], energy_ceiling);
    }
    return sum >= static_cast<float>(threshold_);
}

template <typename Magnitude> void soft_search::put(int64_t r, const Magnitude* magnitudes) {
    const auto w = static_cast<std::size_t>(width_);
    const int64_t slot = r % ring_rows_;
    for (std::size_t e = 0; e < w; ++e) {
        const auto m = static_cast<float>(magnitudes[e]);
        power_[e] = m * m;
    }
    float* x = ring_.data() + static_cast<std::size_t>(slot) * w;
    normalise(r, x);
    if (!direct_ && columns_ > 0) {
        uint8_t* t = tones_.data() + static_cast<std::size_t>(slot) * w;
        rsid_tone_decisions(t, x, 0, columns_);
        rsid_tone_decisions(t, x, 1, columns_);
        // Rounded up: one step more than the energy's, so that a sum of steps never falls
        // short of the sum of the energies.
        uint8_t* p = peaks_.data() + static_cast<std::size_t>(slot) * w;
        for (int c = 0; c < columns_; ++c) {
            const float v = std::min(x[c + 2 * t[c]], energy_ceiling);
            p[c] = static_cast<uint8_t>(std::min(std::floor(v * peak_steps) + 1.0f, 255.0f));
        }
    }
    taken_[static_cast<std::size_t>(slot)] = r;
    rows_ = std::max(rows_, r + 1);
}

float soft_search::score(int64_t r, std::vector<match>& out) {
    if (columns_ <= 0)
        return -1.0f;
    const auto w = static_cast<std::size_t>(width_);
    const float* rows[symbols];
    for (int j = 0; j < symbols; ++j) {
        const int64_t q = (r - rows_per_symbol_ * (14 - j)) % ring_rows_;
        rows[j] = ring_.data() + static_cast<std::size_t>((q + ring_rows_) % ring_rows_) * w;
    }
    if (direct_) {
        score_listed(rows);
    } else {
        std::fill(best_.begin(), best_.end(), -1.0f);
        const uint8_t* tones[symbols];
        const uint8_t* peaks[symbols];
        for (int j = 0; j < symbols; ++j) {
            tones[j] = tones_.data() + static_cast<std::size_t>(rows[j] - ring_.data());
            peaks[j] = peaks_.data() + static_cast<std::size_t>(rows[j] - ring_.data());
        }
        score_candidates(rows, tones, peaks);
    }
    const auto enough = static_cast<float>(threshold_);
    float top = -1.0f;
    for (int c = 0; c < columns_; ++c) {
        const float s = best_[static_cast<std::size_t>(c)];
        if (s < floor_) // nearly always: no chain of comparisons through a wide band's row
            continue;
        top = std::max(top, s);
        if (s < enough)
            continue;
        // Ties, as among the clipped scores of a strong identifier and of the codewords that
        // share most of its tones, go to the energies before clipping: a small term of their
        // logarithms, which moves no score across the threshold.
        const int code = best_code_[static_cast<std::size_t>(c)];
        const auto& tones = codeword_of(code);
        const int distance = hard_distance(rows, c, tones.data());
        if (distance > max_distance_ || !on_grid(rows, c, tones.data()))
            continue;
        float unclipped = 0.0f;
        for (int j = 0; j < symbols; ++j)
            unclipped += std::log1p(rows[j][c + 2 * tones[static_cast<std::size_t>(j)]]);
        out.push_back({c, distance, code, s + tie_step * unclipped});
    }
    return top;
}

void soft_search::score_listed(const float* const* rows) {
    // The first code's sums go straight to the best scores: a wide band's row is tens of
    // megabytes, and clearing it twice a row was a tenth of the time.
    const auto n = static_cast<std::size_t>(columns_);
    for (std::size_t k = 0; k < codes_.size(); ++k) {
        const int code = codes_[k];
        const auto& w = codeword_of(code);
        float* sums = k == 0 ? best_.data() : sums_.data();
        const float* first = rows[0] + 2 * w[0];
        for (std::size_t c = 0; c < n; ++c)
            sums[c] = std::min(first[c], energy_ceiling);
        for (int j = 1; j < symbols; ++j) {
            const float* r = rows[j] + 2 * w[static_cast<std::size_t>(j)];
            for (std::size_t c = 0; c < n; ++c)
                sums[c] += std::min(r[c], energy_ceiling);
        }
        if (k == 0) { // one code alone: best_code_ holds it from the start
            if (codes_.size() > 1)
                std::fill(best_code_.begin(), best_code_.end(), code);
            continue;
        }
        for (std::size_t c = 0; c < n; ++c) {
            if (sums[c] > best_[c])
                best_[c] = sums[c], best_code_[c] = code;
        }
    }
}

namespace {

// The candidates of column c: the codes through each 3 of its reliable symbols (order[0..5]) that
// are looked for, each once, in the order of the triples (the first of equal scores keeps the
// column). Returns how many there are in code.
int candidates(const code_tables& t, const std::vector<bool>& wanted, const int* order,
               const uint8_t* const* tones, std::size_t c, uint16_t* code) {
    int count = 0;
    for (int a = 0; a < reliable; ++a)
        for (int b = a + 1; b < reliable; ++b)
            for (int d = b + 1; d < reliable; ++d) {
                int p[3] = {order[a], order[b], order[d]};
                if (p[0] > p[1])
                    std::swap(p[0], p[1]);
                if (p[1] > p[2])
                    std::swap(p[1], p[2]);
                if (p[0] > p[1])
                    std::swap(p[0], p[1]);
                const auto& through =
                    t.through[static_cast<std::size_t>(t.triple[triple_at(p[0], p[1], p[2])])];
                const auto k =
                    static_cast<uint16_t>(through[0][tones[p[0]][c]] ^ through[1][tones[p[1]][c]] ^
                                          through[2][tones[p[2]][c]]);
                if (wanted[k] && std::find(code, code + count, k) == code + count)
                    code[count++] = k;
            }
    return count;
}

} // namespace

void soft_search::score_candidates(const float* const* rows, const uint8_t* const* tones,
                                   const uint8_t* const* peaks) {
    const code_tables& t = tables();
    const auto limit = static_cast<float>(threshold_);
    const auto n = static_cast<std::size_t>(columns_);
    // The sum of each symbol's strongest tone bounds every codeword's score from above: first
    // in steps (whole numbers, rounded up, a margin far above rounding), then exactly where
    // those reach the threshold.
    const float step_limit = (limit - 0.01f) * peak_steps;
    std::copy(peaks[0], peaks[0] + n, peak_sums_.begin());
    for (int j = 1; j < symbols; ++j) {
        const uint8_t* p = peaks[j];
        for (std::size_t c = 0; c < n; ++c)
            peak_sums_[c] = static_cast<uint16_t>(peak_sums_[c] + p[c]);
    }
    for (std::size_t c = 0; c < n; ++c) {
        if (static_cast<float>(peak_sums_[c]) < step_limit)
            continue;
        // The most reliable hard decisions: the strongest winners.
        int order[symbols];
        float value[symbols];
        float bound = 0.0f;
        for (int j = 0; j < symbols; ++j) {
            order[j] = j;
            value[j] = rows[j][c + 2 * tones[j][c]];
            bound += std::min(value[j], energy_ceiling);
        }
        if (bound < limit)
            continue;
        // The column's clipped energies, gathered once: each candidate reads them from here.
        float cells[symbols][16];
        for (int j = 0; j < symbols; ++j) {
            const float* r = rows[j] + c;
            for (int k = 0; k < 16; ++k)
                cells[j][k] = std::min(r[2 * k], energy_ceiling);
        }
        std::partial_sort(order, order + reliable, order + symbols,
                          [&](int a, int b) { return value[a] > value[b]; });
        uint16_t code[20];
        const int count = candidates(t, wanted_, order, tones, c, code);
        // Each scored whole, all at once: near a strong identifier every symbol holds a strong
        // tone, and a candidate through 3 of them falls short of the floor only after most of
        // its symbols, so reading them all without a branch costs less than stopping early.
        float scores[20];
        for (int i = 0; i < count; ++i) {
            const auto& w = t.codewords[code[i]];
            float sum = 0.0f; // in symbol order, as every score is summed
            for (int j = 0; j < symbols; ++j)
                sum += cells[j][w[static_cast<std::size_t>(j)]];
            scores[i] = sum;
        }
        // A score below the floor never counts (score() passes over it), so only those that
        // reach it take the column, the first of equal ones.
        for (int i = 0; i < count; ++i) {
            if (scores[i] > best_[c] && scores[i] >= floor_)
                best_[c] = scores[i], best_code_[c] = code[i];
        }
    }
}

template void soft_search::put<int32_t>(int64_t, const int32_t*);
template void soft_search::put<float>(int64_t, const float*);

float soft_search::energy(int64_t r, int e) const {
    if (!has(r))
        return 0.0f;
    return ring_[static_cast<std::size_t>(r % ring_rows_) * static_cast<std::size_t>(width_) +
                 static_cast<std::size_t>(e)];
}

bool soft_search::twins(int code, int column, int64_t row, std::vector<twin>& out) const {
    const int64_t oldest = row - (14 + twin_reach) * rows_per_symbol_;
    if (oldest < rows_ - ring_rows_ || column < 0 || column >= columns_)
        return false;
    const code_tables& t = tables();
    code &= all - 1;
    const auto& w = t.codewords[static_cast<std::size_t>(code)];
    // The tones' strength, from the code's own 15 energies (noise alone has mean 1).
    float mean = 0.0f;
    for (int j = 0; j < symbols; ++j)
        mean +=
            energy(row - (14 - j) * rows_per_symbol_, column + 2 * w[static_cast<std::size_t>(j)]);
    const double snr = std::max(static_cast<double>(mean) / symbols - 1.0, 0.5);
    // Evidence of a codeword at column c whose last symbol is in row r.
    auto evidence = [&](const std::array<uint8_t, 15>& v, int c, int64_t r) {
        double sum = 0.0;
        for (int j = 0; j < symbols; ++j)
            sum += tone_evidence(snr, energy(r - (14 - j) * rows_per_symbol_,
                                             c + 2 * v[static_cast<std::size_t>(j)]));
        return sum;
    };
    // Whether code's own tones where the twin v (d symbols late, k tones up) has none are heard:
    // together, likelier tones than noise. The frame centred on a symbol is two symbols long and
    // holds half of each neighbour, so a tone beside a shared one (there whichever was sent) and
    // within a tone of it takes a fifth of its power; such a tone is read a quarter symbol
    // further out, where a twenty-fifth is left and a tone of its own loses a fifth, and must be
    // likely as strong as the code's other tones (a twenty-fifth of a strong tone is no noise).
    auto heard = [&](const std::array<uint8_t, 15>& v, int d, int k) {
        bool shared[symbols];
        for (int i = 0; i < symbols; ++i) {
            const int j = i - d;
            shared[i] = j >= 0 && j < symbols &&
                        w[static_cast<std::size_t>(i)] == v[static_cast<std::size_t>(j)] + k;
        }
        auto leaks = [&](int i, int from) {
            return from >= 0 && from < symbols && shared[from] &&
                   std::abs(w[static_cast<std::size_t>(from)] - w[static_cast<std::size_t>(i)]) <=
                       1;
        };
        const int64_t quarter = rows_per_symbol_ / 4;
        double sum = 0.0;
        for (int i = 0; i < symbols; ++i) {
            if (shared[i])
                continue;
            const bool after = leaks(i, i + 1), before = leaks(i, i - 1);
            const int64_t aside = after == before ? 0 : after ? -quarter : quarter;
            const float e = energy(row - (14 - i) * rows_per_symbol_ + aside,
                                   column + 2 * w[static_cast<std::size_t>(i)]);
            sum += aside != 0 ? steady_evidence(snr, e) : tone_evidence(snr, e);
        }
        return sum > 0.0;
    };
    const double own = evidence(w, column, row);
    for (int d = -twin_reach; d <= twin_reach; ++d) {
        for (int k = -twin_tones; k <= twin_tones; ++k) {
            if ((d != 0 || k != 0) && column + 2 * k >= 0 && column + 2 * k < columns_)
                for_each_twin(
                    code, d, k, wanted_, [&](int other, const std::array<uint8_t, 15>& v) {
                        out.push_back(
                            {other, d, k,
                             own - evidence(v, column + 2 * k, row + d * rows_per_symbol_),
                             heard(v, d, k)});
                    });
        }
    }
    return true;
}

bool soft_search::distinct(const run& r) const {
    if (twin_log_odds_ <= 0.0)
        return true;
    std::vector<twin> found;
    twins(r.best_code, r.best_column, r.best_pass, found);
    return std::all_of(found.begin(), found.end(),
                       [&](const twin& t) { return t.told(twin_log_odds_); });
}

template <typename Magnitude>
int hard_distance(const Magnitude* const* rows, int column, const uint8_t* codeword) {
    int n = 0;
    for (int j = 0; j < symbols; ++j) {
        const Magnitude* m = rows[j] + column;
        int winner = 0;
        for (int t = 1; t < 16; ++t) {
            if (m[2 * t] > m[2 * winner])
                winner = t;
        }
        n += winner != codeword[j] ? 1 : 0;
    }
    return n;
}

template int hard_distance<int32_t>(const int32_t* const*, int, const uint8_t*);
template int hard_distance<float>(const float* const*, int, const uint8_t*);

} // namespace rsid
