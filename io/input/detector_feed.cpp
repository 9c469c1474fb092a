// detector_feed.cpp - channel choice, rate conversion to 6000/s and the detector's blocks.
#include "input/audio_input.h"

#include <algorithm>
#include <cmath>

namespace rsid_tool {

namespace {

constexpr std::size_t read_frames = 4096; // frames asked of the source per pull

} // namespace

detector_feed::detector_feed(audio_source& source, channel_choice channel)
    : source_(source), channel_(channel) {
    const source_info& info = source.info();
    if (channel < 0 || channel > info.channels)
        throw input_error(info.name + ": no channel " + std::to_string(channel) + " (it has " +
                          std::to_string(info.channels) + ")");
    if (info.rate != detector_rate) {
        try {
            resampler_ = std::make_unique<rsid::resampler>(info.rate, detector_rate);
        } catch (const rsid::resampler_error& e) {
            throw input_error(info.name + ": " + e.what());
        }
    }
}

detector_feed::~detector_feed() = default;

void detector_feed::pull() {
    const auto channels = static_cast<std::size_t>(source_.info().channels);
    frames_.resize(read_frames * channels);
    const std::size_t n = source_done_ ? 0 : source_.read(frames_.data(), read_frames);
    frames_read_ += n;
    if (n == 0)
        source_done_ = true;

    mono_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double* frame = frames_.data() + i * channels;
        if (channel_ > 0) {
            mono_[i] = frame[channel_ - 1];
        } else {
            double sum = 0.0;
            for (std::size_t c = 0; c < channels; ++c)
                sum += frame[c];
            mono_[i] = sum / static_cast<double>(channels);
        }
    }

    // Compact what has been handed out before appending.
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pending_head_));
    pending_head_ = 0;
    if (!resampler_) {
        pending_.insert(pending_.end(), mono_.begin(), mono_.end());
    } else {
        try {
            if (n > 0)
                resampler_->process(mono_.data(), n, pending_);
            else if (!flushed_)
                resampler_->flush(pending_);
        } catch (const rsid::resampler_error& e) {
            throw input_error(source_.info().name + ": " + e.what());
        }
    }
    if (source_done_)
        flushed_ = true;
}

bool detector_feed::next(std::array<double, detector_block>& block) {
    while (pending_.size() - pending_head_ < detector_block && !flushed_)
        pull();
    const std::size_t available = pending_.size() - pending_head_;
    if (available == 0)
        return false;
    const std::size_t n = std::min(available, detector_block);
    for (std::size_t i = 0; i < n; ++i) {
        // The filter's overshoot on a full-scale input stays far inside this bound; the clamp
        // only guarantees what the header promises.
        const double v = pending_[pending_head_ + i];
        block[i] = std::isfinite(v) ? std::clamp(v, -1048576.0, 1048576.0) : 0.0;
    }
    std::fill(block.begin() + static_cast<std::ptrdiff_t>(n), block.end(), 0.0);
    pending_head_ += n;
    delivered_ += detector_block;
    return true;
}

std::size_t decode_memory(std::span<const unsigned char> bytes,
                          const std::optional<raw_format>& raw, channel_choice channel,
                          const std::function<void(const double* block)>& on_block) {
    const std::unique_ptr<audio_source> source =
        raw ? open_raw_memory(bytes, "memory", *raw) : open_sound_memory(bytes, "memory");
    detector_feed feed(*source, channel);
    std::array<double, detector_block> block{};
    std::size_t blocks = 0;
    while (feed.next(block)) {
        on_block(block.data());
        ++blocks;
    }
    return blocks;
}

} // namespace rsid_tool
