// audio_plot.cpp - the 0-3 kHz waterfall of one audio input.
#include "pictures/audio_plot.h"

#include "records/report.h"
#include "scanner.h" // engine/
#include "stream.h"  // engine/: converter

#include <algorithm>
#include <cmath>

namespace rsid_tool {

audio_plot::audio_plot(const source_info& info, channel_choice channel)
    : channels_(info.channels), channel_(channel >= 1 && channel <= info.channels ? channel : 0) {
    converter_ = std::make_unique<rsid::converter>(info.rate);
    scanner_ = std::make_unique<rsid::band_scanner>(
        rsid::scan_options{detector_rate, false, 0.0, rsid_signal::full_scale, false});
    const int entries =
        std::min(scanner_->width(), static_cast<int>(top_hz / scanner_->bin_hz()) + 1);
    picture_ = std::make_unique<waterfall>(entries, scanner_->entry_hz(0), scanner_->bin_hz(),
                                           detector_rate);
    scanner_->on_pass = [this](const float* mags, double centre) { picture_->add(mags, centre); };
}

audio_plot::~audio_plot() = default;

void audio_plot::frames(const double* frames, std::size_t count) {
    const std::lock_guard<std::mutex> hold(lock_);
    const auto channels = static_cast<std::size_t>(channels_);
    mono_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double* f = frames + i * channels;
        if (channel_ > 0) {
            mono_[i] = f[channel_ - 1];
        } else {
            double sum = 0.0;
            for (std::size_t c = 0; c < channels; ++c)
                sum += f[c];
            mono_[i] = sum / static_cast<double>(channels);
        }
    }
    converted_.clear();
    converter_->feed(mono_.data(), count, converted_);
    spectrum();
}

void audio_plot::spectrum() {
    spectrum_in_.assign(converted_.begin(), converted_.end());
    scanner_->feed(spectrum_in_.data(), spectrum_in_.size(), ignored_);
}

void audio_plot::mark(const rsid::detection& d) {
    const std::lock_guard<std::mutex> hold(lock_);
    picture_->mark({d.time_s, identifier_s, d.freq_hz, d.freq_hz + identifier_width_hz,
                    mark_label(d.time_s, d.freq_hz, d.snr_db)});
}

void audio_plot::write(const std::string& path, const std::string& title) {
    const std::lock_guard<std::mutex> hold(lock_);
    converted_.clear();
    converter_->finish(converted_);
    spectrum();
    scanner_->finish(ignored_);
    picture_->write_png(path, title);
}

} // namespace rsid_tool
