// soft.h - the soft-decision rule: which codeword's tones hold the most energy, rather than
// which tone won each symbol.
//
// Every row of magnitudes becomes a row of normalised tone energies: each entry's power over
// the noise power around it (the mean of the medians of the 16-entry blocks nearby in this row
// and the three before, so that a carrier or the identifier itself hardly moves it), clipped at a
// ceiling so that no few symbols, a carrier or a strong signal in the wrong place, can make a match
// on their own. A column matches a code at a row when the 15 energies of its codeword, one symbol
// apart and the last in this row, sum to at least the threshold.
//
// The threshold comes from a false-alarm budget: in noise each normalised energy is close to
// exponential with mean 1, so the sum's tail is known; the threshold is where that tail equals
// the budget shared out over every hypothesis (column, row and code) of a day of input.
//
// Any code: the codeword is Reed-Solomon (15, 3) over GF(16), so any 3 of its symbols fix it.
// For a large set of codes each hypothesis takes its hard decisions (the strongest tone of each
// symbol), re-encodes the codewords through every 3 of its 6 most reliable ones, and scores only
// those: a handful of candidates instead of 4096.
//
// Twins: a codeword shifted in time by a symbol (the code is cyclic) or in frequency by a few
// tones can share 14 of its 15 tones with another codeword, so that near the threshold the two
// differ in the energy of one or two symbols only, and either may score higher. Before a code is
// reported, twins() weighs it against every such twin among the codes looked for, on the tones
// where the two differ; a report goes out only when its code is far likelier than each, and its
// own tones there are heard (the narrowband detector weighs a twin the energies leave in doubt
// by the tones' phase too: coherent.h).
#ifndef RSID_ENGINE_SOFT_H
#define RSID_ENGINE_SOFT_H

#include "large_rows.h"
#include "runs.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace rsid {

// How a detector or a band scanner decides. A plain value, so that every host can carry it.
struct detector_options {
    bool exact = false; // the library's rule: code 131, at most one tone wrong
    // Every code but the 16 whose codeword is one tone 15 times (0 among them): any steady
    // carrier is one of those, so they are looked for only when listed.
    bool all_codes = false;
    std::vector<int> codes{131}; // the codes looked for unless all_codes; 0 to 4095
    // Added to the threshold in dB of the signal energy it takes (negative: more sensitive, and
    // more false reports). For tests and measurements.
    double threshold_db = 0.0;
    // Symbols of a report whose tone may lose to another bin, 0 to 15. Clipped energies alone
    // let a strong identifier of another code lift a listed codeword one bin aside through its
    // tones' leakage (4 of 15 tones the strongest there); one at the detection threshold has 6
    // or more. 15 leaves the score alone: for measuring its tail.
    int max_distance = 9;
    // A report's code must be this much likelier than each code looked for whose codeword,
    // shifted by up to 3 symbols and 15 tones, shares 9 or more of its tones: the natural log
    // of their likelihood ratio, from the tones' energies or, where those fall short, in the
    // narrowband detector, from their phase (coherent.h: there 0.6 of this is enough). Were the
    // twin sent, the ratio would reach e^x with probability at most e^-x; 9.2 is 1 wrong code
    // in 10,000 reports per twin.
    // A tone's energy may be faded to any strength one time in a thousand, so that a missing
    // tone alone does not name a code (soft.cpp). 0: the best score decides.
    double twin_log_odds = 9.2;
};

// The options every host starts from.
detector_options default_detector_options();

// Throws std::invalid_argument for an empty set or a code outside 0..4095.
void check_options(const detector_options& options);

// The false-alarm budget the threshold is derived from: reports in noise per day of input, for
// a narrowband detector (304 columns at 6000/s) or per 48 kHz of a scanned band.
inline constexpr double false_reports_per_day = 1.0;
// Twins are looked for this many symbols either side of a report (a cyclic shift by 3 still
// shares 12 tones; near the threshold 3 symbols' energies, or their phase, can favour it).
inline constexpr int twin_reach = 3;
// A report's row is the best of the three or so around an identifier's peak, so a cell of noise
// in it is the highest of three draws: a ratio from its energies must reach about ln 3 more.
inline constexpr double best_row_log_odds = 1.1;
// Normalised energies are clipped here: a few symbols alone never reach the threshold.
inline constexpr float energy_ceiling = 6.0f;

// In noise, the probability that one hypothesis (column, row, code) scores at least sum.
double noise_exceedance(double sum);

// The codeword of every code (15 tone numbers), built once.
const std::array<uint8_t, 15>& codeword_of(int code);

// A codeword that shares 9 to 14 tones with a report's: shifted by symbols (later: positive) and
// tones (higher: positive), and the log-likelihood ratio of the report's code over it from the
// tones' energies.
struct twin {
    int code;
    int symbols;
    int tones;
    double log_odds;
    // Whether the report's own tones that the twin lacks are, together, likelier tones than
    // noise. Without them the ratio rests on the twin's tones missing alone, and a lost symbol
    // (a gap, the sender cut short, a deep fade) makes a code look like its twin a symbol aside:
    // its last tone gone, the two differ only in noise.
    bool heard;
    // Whether the code is told from this twin by the ratio enough, and by best_row_log_odds more.
    bool told(double enough) const { return heard && log_odds >= enough + best_row_log_odds; }
};

class soft_search {
  public:
    // width: entries of a magnitude row (the columns are width - 30); rows_per_symbol: 2 or 4
    // (half- or quarter-symbol hop); rows_per_second: rows per second of input; budget_columns:
    // the columns that share one budget of false reports (304 for a narrowband detector, the
    // columns in 48 kHz for a band scanner).
    // sparse: rows may be left out and taken later, out of order (put and score); the noise of
    // a row then comes from the latest 4 rows taken of the 8 up to it.
    soft_search(const detector_options& options, int width, int rows_per_symbol,
                double rows_per_second, double budget_columns, bool sparse = false);

    // Takes the next row of magnitudes and appends the columns that match with their best code,
    // for hypotheses whose last symbol is centred in this row, in column order.
    template <typename Magnitude> void row(const Magnitude* magnitudes, std::vector<match>& out) {
        put(rows_, magnitudes);
        score(rows_ - 1, out);
    }
    // Takes the magnitudes of row r (counted from the stream's start, one identifier's length
    // back at most), normalised with the noise of the rows taken up to it.
    template <typename Magnitude> void put(int64_t r, const Magnitude* magnitudes);
    // Appends the matches of row r, whose rows a symbol apart must have been taken; returns its
    // best score, matching or not, if it reaches the floor (with many codes: of the columns whose
    // strongest tones alone reach the threshold), else -1.
    float score(int64_t r, std::vector<match>& out);
    // Whether row r was taken and is still kept.
    bool has(int64_t r) const {
        return r >= 0 && taken_[static_cast<std::size_t>(r % ring_rows_)] == r;
    }
    // Starts a new stream.
    void reset();

    double threshold() const { return threshold_; }
    // Whether a report may have twins to weigh: more than one code looked for, and a ratio set.
    bool twinned() const { return twinned_; }
    // The threshold lowered by db of the signal energy it takes.
    double lowered(double db) const;
    // The lowest best score of a row that matters (the threshold unless set, and never above
    // it): with many codes, candidates that cannot reach it are not scored to the end.
    void set_floor(double floor) { floor_ = static_cast<float>(std::min(floor, threshold_)); }

    // Appends every twin among the codes looked for of code at column, its last symbol centred
    // in row (counted from the stream's start), weighed against it (see above): each tone's
    // energy taken as a tone as strong as the code's 15 show, in noise of mean 1. False when the
    // rows it needs are no longer kept (the ring holds the rows of a report held for one
    // identifier's length after it ended).
    bool twins(int code, int column, int64_t row, std::vector<twin>& out) const;
    // Whether a run's code is told from each of its twins by the options' twin_log_odds (true
    // without twins, or when their rows are no longer kept).
    bool distinct(const run& r) const;

  private:
    void normalise(int64_t r, float* x);
    void score_listed(const float* const* rows);
    void score_candidates(const float* const* rows, const uint8_t* const* tones,
                          const uint8_t* const* peaks);
    // Whether the codeword at column still scores the threshold with the cells that only hold
    // a tone's leakage from the bin beside them counted as noise.
    bool on_grid(const float* const* rows, int column, const uint8_t* tones) const;
    // Normalised energy of entry e of row r; 0 for a row not taken or no longer kept.
    float energy(int64_t r, int e) const;

    int width_, columns_, rows_per_symbol_, ring_rows_;
    double threshold_, noise_mean_;
    float floor_ = 0.0f;
    bool direct_;                      // few codes: score each; else candidates from hard decisions
    std::vector<int> codes_;           // direct: the codes looked for
    std::vector<bool> wanted_;         // 4096 flags: the codes looked for
    std::vector<float> power_;         // of the current row
    int blocks_;                       // of 16 entries in a row
    std::vector<float> medians_;       // of the blocks of the last rows
    std::vector<int64_t> medians_row_; // the row whose medians each slot holds (-1: none)
    int window_;                       // rows up to a row whose medians may make its noise
    // Normalised energies of the last rows (not yet clipped): a gigabyte for a 20e6/s band.
    std::vector<float, rows_allocator<float>> ring_;
    std::vector<int64_t> taken_;      // the row each slot of the ring holds (-1: none)
    std::vector<uint8_t> tones_;      // candidates: the strongest tone of each column, per row
    std::vector<uint8_t> peaks_;      // and its clipped energy, in steps rounded up (soft.cpp)
    std::vector<uint16_t> peak_sums_; // per column: the sum of the steps over a row's symbols
    std::vector<float> sums_;         // per column
    std::vector<float> best_;         // per column: the best score of this row
    int max_distance_ = 15;
    double twin_log_odds_ = 0.0;
    bool twinned_ = false;
    std::vector<int> best_code_; // and its code
    int64_t rows_ = 0;
};

extern template void soft_search::put<int32_t>(int64_t, const int32_t*);
extern template void soft_search::put<float>(int64_t, const float*);

// The hard decisions of a codeword at column c of rows[0..14]: tones that are not the strongest
// of their 16.
template <typename Magnitude>
int hard_distance(const Magnitude* const* rows, int column, const uint8_t* codeword);

} // namespace rsid

#endif
