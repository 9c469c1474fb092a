// stream.cpp - rate conversion in front of the detector, positions back in the input's samples.
#include "stream.h"

#include "rsid_signal.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace rsid {

namespace {

constexpr double min_rate = 1000.0;    // samples/s; below this the ratio is extreme
constexpr double max_rate = 1536000.0; // samples/s
constexpr double max_value = 1e12;     // far outside any real audio; keeps soxr's sums finite
constexpr double infinity = std::numeric_limits<double>::infinity();

} // namespace

converter::converter(double rate, double full_scale)
    : rate_(rate), gain_(rsid_signal::full_scale / full_scale) {
    if (!(rate >= min_rate && rate <= max_rate))
        throw std::invalid_argument("rate " + std::to_string(rate) +
                                    " is outside 1000 to 1536000 samples/s");
    if (!(full_scale > 0.0) || !std::isfinite(gain_) || gain_ <= 0.0)
        throw std::invalid_argument("full scale must be a positive finite number");
    if (rate != rsid_signal::rx_rate)
        resampler_ = std::make_unique<resampler>(rate, rsid_signal::rx_rate);
}

void converter::feed(const double* in, std::size_t count, std::vector<double>& out) {
    double* dst;
    if (resampler_) {
        scaled_.resize(count);
        dst = scaled_.data();
    } else {
        out.resize(out.size() + count);
        dst = out.data() + out.size() - count;
    }
    for (std::size_t i = 0; i < count; ++i) {
        // Non-finite values are silence; huge ones are clamped. Comparisons only (NaN fails
        // both), so that the loop vectorises.
        const double v = in[i] * gain_;
        const double a = std::abs(v);
        const double clamped = v < 0.0 ? -max_value : max_value;
        dst[i] = a <= max_value ? v : (a < infinity ? clamped : 0.0);
    }
    if (resampler_)
        resampler_->process(scaled_.data(), count, out);
}

void converter::finish(std::vector<double>& out) {
    if (resampler_) {
        resampler_->flush(out);
        resampler_ = std::make_unique<resampler>(rate_, rsid_signal::rx_rate);
    }
}

void place(std::vector<detection>& out, std::size_t from, double rate) {
    for (std::size_t i = from; i < out.size(); ++i) {
        detection& d = out[i];
        const double at = std::max(0.0, d.start) * rate / rsid_signal::rx_rate;
        d.sample = static_cast<int64_t>(std::llround(at));
        d.rate = rate;
        d.time_s = static_cast<double>(d.sample) / rate;
    }
}

stream_detector::stream_detector(double rate, double full_scale, const detector_options& options)
    : converter_(rate, full_scale), detector_(options) {}

void stream_detector::feed(const double* samples, std::size_t count, std::vector<detection>& out) {
    samples_ += count;
    converted_.clear();
    converter_.feed(samples, count, converted_);
    run(out);
}

void stream_detector::feed(const float* samples, std::size_t count, std::vector<detection>& out) {
    const std::vector<double> wide(samples, samples + count);
    feed(wide.data(), count, out);
}

void stream_detector::run(std::vector<detection>& out) {
    const std::size_t from = out.size();
    detector_.feed(converted_.data(), converted_.size(), out);
    place(out, from, rate());
}

void stream_detector::finish(std::vector<detection>& out) {
    converted_.clear();
    converter_.finish(converted_);
    run(out);
    const std::size_t from = out.size();
    detector_.finish(out);
    place(out, from, rate());
    samples_ = 0;
}

} // namespace rsid
