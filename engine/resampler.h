// resampler.h - the project's one wrapper over soxr: a mono stream of doubles converted from
// one rate to another, used by the engine's stream detector (any rate to the detector's 6000/s),
// the tool's input path and every host that sends (the generator's 48000/s to any rate).
//
// soxr keeps its output aligned with its input: output sample j stands for input time
// j / out_rate, and the filter's delay only makes samples arrive later. Converting down by
// dropping samples would fold the whole input band into the detector's; soxr filters first.
#ifndef RSID_ENGINE_RESAMPLER_H
#define RSID_ENGINE_RESAMPLER_H

#include <cstddef>
#include <stdexcept>
#include <vector>

struct soxr; // soxr.h's handle

namespace rsid {

// soxr refused the rates or failed while converting; the message says what soxr said.
struct resampler_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class resampler {
  public:
    enum class quality { high, very_high }; // soxr's HQ (20-bit) and VHQ (28-bit) recipes

    // Single-threaded, so that results do not depend on the machine. Throws resampler_error.
    resampler(double in_rate, double out_rate, quality q = quality::high);
    ~resampler();
    resampler(const resampler&) = delete;
    resampler& operator=(const resampler&) = delete;

    // Converts in[0..n) and appends every output sample soxr has ready to out.
    void process(const double* in, std::size_t n, std::vector<double>& out);
    // Ends the stream: appends the filter's tail to out. Call once, after the last process().
    void flush(std::vector<double>& out);

  private:
    void run(const double* in, std::size_t n, std::vector<double>& out);
    struct soxr* soxr_ = nullptr;
    double ratio_; // output samples per input sample
};

} // namespace rsid

#endif
