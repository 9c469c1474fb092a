// stream.cpp - rate conversion in front of the detector, positions back in the input's samples.
#include "stream.h"

#include "rsid_signal.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace rsid {

namespace {

constexpr double min_rate = 1000.0;    // samples/s; below this the ratio is extreme
constexpr double max_rate = 1536000.0; // samples/s

} // namespace

stream_detector::stream_detector(double rate, double full_scale)
    : rate_(rate), gain_(rsid_signal::full_scale / full_scale) {
    if (!(rate >= min_rate && rate <= max_rate))
        throw std::invalid_argument("rate " + std::to_string(rate) +
                                    " is outside 1000 to 1536000 samples/s");
    if (!(full_scale > 0.0) || !std::isfinite(gain_) || gain_ <= 0.0)
        throw std::invalid_argument("full scale must be a positive finite number");
    if (rate != rsid_signal::rx_rate)
        resampler_ = std::make_unique<resampler>(rate, rsid_signal::rx_rate);
}

void stream_detector::feed(const double* samples, std::size_t count, std::vector<detection>& out) {
    scaled_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        // Non-finite values are silence; huge ones are clamped far outside any real audio so
        // that the resampler's arithmetic stays finite.
        const double v = std::isfinite(samples[i]) ? samples[i] * gain_ : 0.0;
        scaled_[i] = std::isfinite(v) ? std::fmax(-1e12, std::fmin(1e12, v)) : 0.0;
    }
    samples_ += count;
    converted_.clear();
    if (resampler_)
        resampler_->process(scaled_.data(), count, converted_);
    else
        converted_.swap(scaled_);
    run(out);
}

void stream_detector::feed(const float* samples, std::size_t count, std::vector<detection>& out) {
    std::vector<double> wide(samples, samples + count);
    feed(wide.data(), count, out);
}

void stream_detector::run(std::vector<detection>& out) {
    const std::size_t from = out.size();
    detector_.feed(converted_.data(), converted_.size(), out);
    place(out, from);
}

void stream_detector::finish(std::vector<detection>& out) {
    converted_.clear();
    if (resampler_)
        resampler_->flush(converted_);
    run(out);
    const std::size_t from = out.size();
    detector_.finish(out);
    place(out, from);
    if (resampler_)
        resampler_ = std::make_unique<resampler>(rate_, rsid_signal::rx_rate);
    samples_ = 0;
}

void stream_detector::place(std::vector<detection>& out, std::size_t from) const {
    for (std::size_t i = from; i < out.size(); ++i) {
        detection& d = out[i];
        const double at = std::max(0.0, d.start) * rate_ / rsid_signal::rx_rate;
        d.sample = static_cast<int64_t>(std::llround(at));
        d.rate = rate_;
        d.time_s = static_cast<double>(d.sample) / rate_;
    }
}

} // namespace rsid
