// resampler.h - the one wrapper of soxr in the project: high-quality, single-threaded rate
// conversion of a mono stream of doubles, chunk by chunk.
//
// soxr keeps its output aligned with its input: output sample j stands for input time
// j / out_rate, and the filter's delay only makes samples arrive later, it does not move them.
// Decimating by dropping samples would fold noise from the whole input band into the
// detector's; soxr filters first.
#ifndef RSID_ENGINE_RESAMPLER_H
#define RSID_ENGINE_RESAMPLER_H

#include <cstddef>
#include <stdexcept>
#include <vector>

namespace rsid {

struct resampler_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class resampler {
  public:
    // Throws resampler_error if soxr refuses the rates.
    resampler(double in_rate, double out_rate);
    ~resampler();
    resampler(const resampler&) = delete;
    resampler& operator=(const resampler&) = delete;

    // Converts count input samples and appends the output to out.
    void process(const double* in, std::size_t count, std::vector<double>& out);
    // Appends the filter's tail: the output still owed for the input given so far.
    void flush(std::vector<double>& out);

  private:
    struct state;
    state* s_;
};

} // namespace rsid

#endif
