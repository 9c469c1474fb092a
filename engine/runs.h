// runs.h - from matching columns to reports, for any width of spectrum: the detector's 304
// columns and the band scanner's tens of thousands alike.
//
// Each pass hands over its matching columns, each with a score: the library's rule gives minus
// the distance (0 or 1), the soft rule the codeword's summed tone energies. Matching columns
// close together are one identifier (a tone between two bins matches in both); each cluster
// continues the open run nearest to it, or opens one. A run keeps its best match as the library
// does (a later pass replaces it when its score is higher or equal, so for distances: lower or
// equal) and is reported at the first pass without a match, so every identifier is reported
// once, in the order the identifiers end.
//
// measure() then reads the magnitudes of the last passes: the energy of the 15 tones one symbol
// apart peaks at the pass whose frame is centred on the last symbol (interpolated between passes
// with a parabola), and that pass gives the frequency, the tones' power and the noise around.
#ifndef RSID_ENGINE_RUNS_H
#define RSID_ENGINE_RUNS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace rsid {

struct match {
    int column;
    int distance; // the library's rule: 0 or 1; the soft rule: hard decisions that differ
    int code;     // identifier whose codeword matched
    float score;  // higher is better: -distance, or the soft score
};

struct run {
    int column = 0;      // column of the latest matching pass
    int best_column = 0; // the held match
    int best_distance = 0;
    int best_code = 0;
    float best_score = 0.0f;
    int64_t first_pass = 0;
    int64_t last_pass = 0;
    int64_t best_pass = 0;
};

class run_tracker {
  public:
    // The matches of pass n, in increasing column order. Runs that end here are appended to
    // ended in column order.
    void pass(int64_t n, const std::vector<match>& matches, std::vector<run>& ended);
    // Ends every open run (end of stream) and appends them to ended.
    void close(std::vector<run>& ended);
    bool idle() const { return open_.empty() && held_.empty(); }

    // The soft rule's shadows: a strong identifier also lifts the scores of other codewords near
    // it, at columns up to one identifier's width away and at times up to one identifier's
    // length away (the code is cyclic: a codeword shifted in time is another codeword). With
    // rows_per_symbol (passes per symbol), a run that ends is held until nothing can appear
    // within one identifier's length of its best pass. It is dropped if runs with a higher score
    // lie within that span and 30 columns of it and its codeword has tones beside theirs: many
    // (shadow_tones), or enough that its score less what they can add is under threshold. 0:
    // every run is reported (the library's rule).
    void set_shadow(int rows_per_symbol, float threshold) {
        rows_per_symbol_ = rows_per_symbol;
        shadow_ = 14 * static_cast<int64_t>(rows_per_symbol);
        threshold_ = threshold;
    }

  private:
    void release(int64_t n, bool all, std::vector<run>& ended);
    // r is no identifier of its own: a copy of a stronger run, or lifted by one's tones.
    bool shadowed(const run& r) const { return copy_of_stronger(r) || lifted_by_stronger(r); }
    bool copy_of_stronger(const run& r) const;
    bool lifted_by_stronger(const run& r) const;
    template <typename Visit> void each_run(Visit visit) const; // open, held and recent

    int64_t shadow_ = 0;
    int rows_per_symbol_ = 0;
    float threshold_ = 0.0f;
    std::vector<run> held_;   // ended, waiting for their span to pass
    std::vector<run> recent_; // released, still a shadow for runs held after them
    std::vector<run> released_;
    std::vector<run> open_;
    std::vector<match> clusters_;
    std::vector<bool> taken_;
};

// A shadow is made of other identifiers' tones: a run is one when at least this many tones of
// its codeword, where it was best, lie on or one bin beside a tone of a stronger run within a
// symbol. Codewords a strong identifier lifts share most of their tones with it (one a symbol or
// a few tones aside shares 9 to 14; one lifted by leakage wins its symbols with tones beside
// the strong ones); two identifiers of their own share fewer in 99 % of placements within a
// shadow's reach, and an identifier of code 131 shares at most 3 with another of the same code
// anywhere else in that reach but one symbol or bin aside (the same identifier).
inline constexpr int shadow_tones = 6;

// The magnitude rows of the last passes: row of pass n at (n mod rows).
template <typename Magnitude> struct magnitude_ring {
    const Magnitude* data;
    int width; // entries per row
    int rows;
    const Magnitude* row(int64_t n) const { return data + (n % rows) * width; }
};

struct measurement {
    double peak = 0.0;  // pass (fractional) whose frame is centred on the last symbol
    double tone0 = 0.0; // entry of tone 0, fractional: interpolated between bins
    // Power of a steady real sine that would give the tones' bins what they hold, as its
    // squared amplitude on the magnitudes' scale; and the noise power per bin around them.
    double amplitude_sq = 0.0;
    double noise_per_bin = 0.0;
    // Tones of the codeword that are not the strongest of their 16 in the rows of the pass
    // nearest the peak: the hard decisions, for the record.
    int peak_distance = 0;
};

// Measures run r from the ring, whose rows oldest..newest are valid (newest - oldest + 1 <=
// ring.rows; the peak is looked for from the run's first pass on). codeword: 15 tone numbers.
// tone_step: tone spacing in bins (10.7666 Hz over the bin width, about 2). Nothing when the
// rows of a whole identifier never existed (newest < oldest + 28): a run that a strong burst at
// the start of a stream made of some of a codeword's symbols is no identifier.
template <typename Magnitude>
std::optional<measurement> measure(const run& r, const magnitude_ring<Magnitude>& ring,
                                   int64_t oldest, int64_t newest, const uint8_t* codeword,
                                   double tone_step);

extern template std::optional<measurement> measure<int32_t>(const run&,
                                                            const magnitude_ring<int32_t>&, int64_t,
                                                            int64_t, const uint8_t*, double);
extern template std::optional<measurement> measure<float>(const run&, const magnitude_ring<float>&,
                                                          int64_t, int64_t, const uint8_t*, double);

// Frame start of analysis n, in detector samples: hops alternate 279, 278 from the first frame.
inline int64_t frame_start(int64_t n) { return 279 * ((n + 1) / 2) + 278 * (n / 2); }

// A Hann-windowed sine centred on a bin gives a quarter of its amplitude there and an eighth
// in each neighbour: the power of the three bins is 1.5 * (A / 4)^2.
inline constexpr double three_bin_power = 1.5 / 16.0;
// The frame centred on a symbol holds it in its middle half only: the tone's three bins carry
// this much less power than a steady sine of the same amplitude would give them (measured).
inline constexpr double level_gain = 1.245;
// No identifier is reported below this level [dBFS]. The quietest one a quantised capture can
// carry lies near -150 dBFS (16-bit I/Q at 20e6/s: quantisation noise of -136 dB in 3 kHz, and
// detection down to -14 dB SNR); 8-bit captures and sound files stop far above. Below it lies
// only the rounding residue of float samples and transforms, which can line up as a match of
// an identifier's tones in a clean synthetic capture (-167 dBFS and below) but is no sound.
inline constexpr double report_floor_dbfs = -155.0;
// White noise of variance s^2 gives each bin of an n-point frame an expected power of
// s^2 * 0.375 / n (the mean of the squared window over the frame length).
inline constexpr double window_power = 0.375;

} // namespace rsid

#endif
