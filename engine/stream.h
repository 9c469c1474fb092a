// stream.h - a detector for audio at any rate and scale: rate conversion to the detector's
// 6000 samples/s in front of the detection core, and reports placed in the input's own samples.
//
// The two halves can also run apart: a host may convert on one thread (converter) and detect on
// another (detector, then place()), with exactly the reports of stream_detector.
#ifndef RSID_ENGINE_STREAM_H
#define RSID_ENGINE_STREAM_H

#include "detector.h"
#include "resampler.h"

#include <memory>
#include <vector>

namespace rsid {

// Input at any rate and scale to the detector's 6000/s on the 16-bit scale.
class converter {
  public:
    // rate: input samples/s (1000 to 1536000); full_scale: the input value of full scale,
    // 32768 for 16-bit integers, 1 for audio normalised to +-1. Throws std::invalid_argument
    // for a rate or scale out of range, resampler_error if soxr refuses.
    explicit converter(double rate, double full_scale = 32768.0);

    // Appends the converted samples of in[0..count) to out.
    void feed(const double* in, std::size_t count, std::vector<double>& out);
    // Appends the resampler's tail; the converter then starts a new stream.
    void finish(std::vector<double>& out);

    double rate() const { return rate_; }

  private:
    double rate_;
    double gain_;                          // input scale -> the detector's 16-bit scale
    std::unique_ptr<resampler> resampler_; // null at 6000/s
    std::vector<double> scaled_;
};

// Places detections out[from..] in the input's samples at the given rate.
void place(std::vector<detection>& out, std::size_t from, double rate);

class stream_detector {
  public:
    // As converter's and detector's: throws std::invalid_argument or resampler_error.
    explicit stream_detector(double rate, double full_scale = 32768.0,
                             const detector_options& options = default_detector_options());

    // Mono samples on the input's scale. Any chunk size gives the same reports.
    void feed(const double* samples, std::size_t count, std::vector<detection>& out);
    void feed(const float* samples, std::size_t count, std::vector<detection>& out);
    // Ends the stream (the resampler's tail, then the detector's); starts a new one at sample 0.
    void finish(std::vector<detection>& out);

    double rate() const { return converter_.rate(); }
    uint64_t samples() const { return samples_; } // input samples taken since the stream began

  private:
    void run(std::vector<detection>& out); // the converted samples through the detector

    converter converter_;
    detector detector_;
    std::vector<double> converted_; // a chunk converted to 6000/s
    uint64_t samples_ = 0;
};

} // namespace rsid

#endif
