// scanner.h - the band scanner: every identifier anywhere in a whole band of I/Q or wide audio.
//
// One spectrum across the whole band at the detector's own resolution: a Hann-windowed frame
// about two symbols long, advanced half a symbol per pass. Two symbols are rate * 1114 / 6000
// samples, a length that carries the prime 557 at most rates and makes transforms slow; the
// frame is the nearest even length whose prime factors are 2, 3, 5 and 7 (at most 0.6 % away
// above 1000 samples), so bins lie about 5.386 Hz apart and the tones on every second bin to
// within 0.1 bin across an identifier's width. Every bin of the band is a column of
// tone 0; the tone decisions, the mismatch count and the runs are the library's and the
// engine's own (search_rules.h, runs.h), applied to the wider row; or the soft rule (soft.h) on
// the same rows, its false-alarm budget shared per 48 kHz of band. The sensitivity is therefore
// the detector's at any offset (the soft rule's at the half-symbol hop), and the noise per bin
// is the same.
//
// Complex input (I/Q) covers -rate/2 .. +rate/2 around the centre; real input 0 .. rate/2. A
// slow DC blocker takes out the offset of 8-bit receivers before the transform, band_fft.h's
// (our own, or FFTW's in a tool built with RSID_FFTW).
//
// With threads > 1, consecutive passes are analysed at once, one on each thread (transform,
// magnitudes and the library's tone decisions and distances); the runs and reports follow in
// pass order on the calling thread, so the reports are the same for any number of threads.
#ifndef RSID_ENGINE_SCANNER_H
#define RSID_ENGINE_SCANNER_H

#include "detection.h"
#include "runs.h"
#include "soft.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace rsid {

// The largest centre frequency taken [Hz]: far above any receiver (1 THz), and small enough that
// frequencies a bin apart still differ in a double and print in a few digits.
inline constexpr double max_center_hz = 1e12;

struct scan_options {
    double rate = 0.0;       // frames per second (complex frames for I/Q), 6000 to 20e6
    bool complex = false;    // I/Q interleaved, I first
    double center_hz = 0.0;  // band's centre (I/Q) or 0 Hz (real), within +-max_center_hz [Hz]
    double full_scale = 1.0; // input value of full scale (a complex amplitude for I/Q)
    int threads = 1;         // threads that share the passes, 1 to 64 (the caller's among them)
    bool search = true;      // false: magnitudes only (on_pass), for pictures; nothing reported
    int pass_stride = 1;     // without search: a spectrum every nth pass only, 1 to 4 (at 4 the
                             // frames still meet: every sample is seen)
};

// The transform length for a frame of about nominal samples: the nearest even number whose
// prime factors are 2, 3, 5 and 7 (the lower of two as near).
int smooth_length(double nominal);

class band_scanner {
  public:
    // Throws std::invalid_argument for a rate, scale, centre or thread count out of range, or
    // bad detector options.
    explicit band_scanner(const scan_options& options,
                          const detector_options& rule = default_detector_options());
    ~band_scanner();
    band_scanner(const band_scanner&) = delete;
    band_scanner& operator=(const band_scanner&) = delete;

    // Takes frames (interleaved I, Q for complex input) and appends a detection for every
    // identifier that ended in them, in the order they ended. Any chunk size gives the same
    // reports. detection::sample counts input frames; freq_hz is absolute, offset_hz against
    // the centre (I/Q) or 0 Hz (real).
    void feed(const float* samples, std::size_t frames, std::vector<detection>& out);
    // Ends the stream and reports what is still open; the scanner starts a new stream.
    void finish(std::vector<detection>& out);

    // Called with the magnitudes of every pass (width() entries, lowest frequency first, on the
    // 16-bit scale) and the input frame at the centre of its analysis frame: for waterfalls.
    std::function<void(const float* magnitudes, double centre_frame)> on_pass;

    int width() const { return width_; }      // entries of a magnitude row
    double bin_hz() const { return bin_hz_; } // spacing of the entries [Hz]
    double entry_hz(double entry) const;      // absolute frequency of an entry [Hz]
    int frame() const { return frame_; }      // samples per analysis frame
    uint64_t frames_taken() const { return taken_; }

  private:
    struct fft;
    struct free_rows { // of ring_ and tones_
        void operator()(void* rows) const { std::free(rows); }
    };
    template <class T> static std::unique_ptr<T[], free_rows> rows_of(std::size_t count);
    class crew;
    std::size_t offset(int ahead) const; // frame start of pass passes_ + ahead in buffer_
    void analyse(int count, std::vector<detection>& out);
    void transform(int lane, int64_t pass);  // magnitudes (and tone decisions) of a pass
    void exact_pass(int lane, int64_t pass); // the library's rule: matches_[lane] of a pass
    void report(const std::vector<run>& ended, std::vector<detection>& out) const;
    int64_t frame_start(int64_t pass) const;
    std::size_t lead_in() const;
    float* ring_row(int64_t pass) { return ring_.get() + (pass % ring_rows_) * width_; }
    uint8_t* tone_row(int64_t pass) { return tones_.get() + (pass % tone_rows_) * width_; }

    scan_options o_;
    int frame_; // transform length
    int width_; // magnitude entries (columns + 30)
    double bin_hz_;
    double gain_;   // input scale -> 16-bit scale
    double symbol_; // input frames per symbol
    double hop_;    // input frames per pass, on average: half a symbol
    int threads_;
    std::vector<std::unique_ptr<fft>> ffts_; // one per thread
    std::unique_ptr<crew> crew_;             // the threads beyond the caller's
    std::vector<float> window_;              // Hann / n; for I/Q alternating in sign, so that the
                                             // spectrum comes out lowest frequency first
    std::vector<float> buffer_; // the samples of the next passes (2 floats a frame for I/Q)
    std::size_t fill_ = 0;      // frames in buffer_
    double dc_i_ = 0.0, dc_q_ = 0.0, dc_step_;
    int ring_keep_; // rows a report reads back
    int ring_rows_; // ring_keep_ and the rows analysed ahead of the reports
    // Rows are written before they are read (a pass reads back only to this stream's first),
    // so the large ring and tone rows are left uninitialised.
    std::unique_ptr<float[], free_rows> ring_;    // magnitude rows of the last passes
    int tone_rows_;                               // 29 and the rows analysed ahead
    std::unique_ptr<uint8_t[], free_rows> tones_; // rows of tone decisions
    std::vector<uint8_t> distances_;              // of every column of a pass, per thread
    uint8_t codeword_[15];
    // The soft rule, on slices of the band's columns that the threads score at once (one slice
    // for a narrow band or one thread). Each holds a margin of entries either side of its own
    // columns, so that its noise estimates, leakage checks and twins are those of the whole row.
    struct soft_slice {
        soft_search search;
        int start;  // its first entry in the row
        int lo, hi; // the columns it answers for
        std::vector<match> found;
    };
    std::vector<soft_slice> soft_;
    run_tracker runs_;
    std::vector<std::vector<match>> matches_; // of a pass, per thread
    std::vector<run> ended_;
    int64_t passes_ = 0;
    uint64_t taken_ = 0;
};

} // namespace rsid

#endif
