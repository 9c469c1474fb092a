// detector.h - the engine's detection core: many independent detectors at 6000 samples/s that
// report every identifier, with its start, frequency, level and SNR.
//
// Dependency-free like lib/ (only the C++ standard library), so that the same code builds for
// WebAssembly; rate conversion is a separate stage in front of it (stream.h).
//
// A detector is the library's receiver used as a value: the same spectrum, the same tone
// decisions and the same mismatch count (lib/rsid_state.h). What differs is what happens after
// a pass:
//   - every cluster of matching columns is a run of its own, so identifiers that overlap in time
//     at different frequencies are each reported once, with their own best match;
//   - no sample is skipped after a report;
//   - the magnitudes of the last passes are kept, so that a report can say where the
//     identifier started (the energy of its 15 tones peaks when the frames are centred on the
//     symbols), at what frequency exactly, and how strong it was;
//   - finish() flushes the stream, so an identifier in its last samples is still reported.
//
// With the soft rule (soft.h) the detector takes its own spectra every quarter symbol from the
// same samples (row_spectrum.h: the library's magnitudes to rounding, at about half the cost),
// and the runs follow the soft matches; the reports are measured the same way.
#ifndef RSID_ENGINE_DETECTOR_H
#define RSID_ENGINE_DETECTOR_H

#include "coherent.h"
#include "detection.h"
#include "runs.h"
#include "soft.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

struct rsid_receiver;

namespace rsid {

class detector {
  public:
    detector();                                  // default_detector_options()
    explicit detector(detector_options options); // throws std::invalid_argument
    ~detector();
    detector(detector&& other) noexcept;
    detector& operator=(detector&& other) noexcept;
    detector(const detector& other);
    detector& operator=(const detector& other);

    // Takes samples at 6000/s on the 16-bit scale (full scale +-32768) and appends a detection
    // for every identifier that ended in them, in the order they ended. Any chunk size gives the
    // same reports. Non-finite samples are taken as 0.
    void feed(const double* samples, std::size_t count, std::vector<detection>& out);
    void feed(const float* samples, std::size_t count, std::vector<detection>& out);

    // Ends the stream: runs the frame past the last sample so that a match still open is
    // reported. The detector then starts a new stream of its own at sample 0.
    void finish(std::vector<detection>& out);

    uint64_t samples() const { return samples_; } // taken in since the stream began

  private:
    void pass(std::vector<detection>& out);
    void take(const double* samples, std::size_t count, std::vector<detection>& out);
    void take_soft(const double* samples, std::size_t count, std::vector<detection>& out);
    void report(const std::vector<run>& ended, std::vector<detection>& out) const;
    // What run r reports: nothing when it holds no whole identifier.
    std::optional<detection> describe(run r) const;
    // The soft rule's report of run r (described as det): its code when the tones' energies or,
    // where those cannot, their phase (coherent.h) tell it from each of its twins; else the twin
    // the phase names, if that is told from its own; else nothing.
    std::optional<detection> named(const run& r, const detection& det) const;
    // The first twin of det's code that neither its energies nor its phase tell it from.
    std::optional<twin> unresolved(const run& r, const detection& det) const;
    // coherent_log_odds of det's code over twin t (or of t over the code).
    std::optional<double> phase_log_odds(const detection& det, const twin& t, bool twin_over_code,
                                         bool* heard = nullptr) const;
    // Whether the code it names is heard in its own differing tones and that ratio, fitted
    // either way round, reaches twin_log_odds.
    bool phase_names(const detection& det, const twin& t, bool twin_over_code) const;

    detector_options options_;
    std::unique_ptr<rsid_receiver> rx_;
    std::vector<int32_t> history_; // magnitude rows of the last passes (a ring)
    run_tracker runs_;
    std::vector<match> matches_; // of the current pass
    std::vector<run> ended_;
    uint64_t samples_ = 0;
    int64_t passes_ = 0; // analyses made since the stream began (soft: half-symbol rows)
    // The soft rule: quarter-symbol rows of its own from the samples kept here.
    std::optional<soft_search> soft_;
    std::vector<double> kept_; // samples from kept_start_ on (the lead-in counted)
    int64_t kept_start_ = 0;
    int64_t kept_symbols_ = 0; // kept back from the next frame
    int64_t reach_ = 2;        // symbols either side of a report that its twins' rows lie
    int64_t quarter_ = 0;      // the next library frame's quarter-symbol row (even)
    std::vector<match> even_;  // matches of a library frame's row
    std::vector<match> odd_;   // and of the row before it
    float look_ = 0.0f;        // a row scoring this much makes the rows around it count
    int64_t hot_until_ = -1;   // rows between frames up to here are taken
    bool looked_ = false;      // the last frame's row scored look_
};

// What a host of the eight exports sees: one held match, the rest of a block dropped after a
// report, blocks of 960. For reproducing the library's own behaviour on a value of its own.
class plain_detector {
  public:
    plain_detector();
    ~plain_detector();
    plain_detector(const plain_detector&) = delete;
    plain_detector& operator=(const plain_detector&) = delete;

    // 960 samples; returns true and sets *found (code, bin, distance, freq_hz) on a report.
    bool check(const double* block, detection* found);

  private:
    std::unique_ptr<rsid_receiver> rx_;
};

} // namespace rsid

#endif
