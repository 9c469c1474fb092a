// audio_plot.cpp - the 0-3 kHz waterfall of one audio input.
#include "pictures/audio_plot.h"

#include "records/report.h"
#include "scanner.h" // engine/

#include <algorithm>
#include <cmath>

namespace rsid_tool {

audio_plot::audio_plot(const source_info& info) {
    // A file long enough to have its rows merged gets a spectrum only every second to fourth
    // pass: the merge would have kept the peak of those passes anyway.
    const double passes =
        static_cast<double>(info.frames) / info.rate * detector_rate / (rsid_signal::frame / 4.0);
    const int stride =
        static_cast<int>(std::clamp(std::floor(passes / waterfall::max_rows), 1.0, 4.0));
    scanner_ = std::make_unique<rsid::band_scanner>(
        rsid::scan_options{.rate = detector_rate,
                           .complex = false,
                           .center_hz = 0.0,
                           .full_scale = rsid_signal::full_scale,
                           .search = false,
                           .pass_stride = stride});
    const int entries =
        std::min(scanner_->width(), static_cast<int>(top_hz / scanner_->bin_hz()) + 1);
    picture_ = std::make_unique<waterfall>(entries, scanner_->entry_hz(0), scanner_->bin_hz(),
                                           detector_rate);
    if (info.frames > 0)
        picture_->expect_passes(static_cast<int64_t>(passes / stride));
    scanner_->on_pass = [this](const float* mags, double centre) { picture_->add(mags, centre); };
}

audio_plot::~audio_plot() = default;

void audio_plot::add(const double* samples, std::size_t count) {
    const std::lock_guard<std::mutex> hold(lock_);
    samples_.assign(samples, samples + count);
    scanner_->feed(samples_.data(), count, ignored_);
}

void audio_plot::mark(const rsid::detection& d) {
    const std::lock_guard<std::mutex> hold(lock_);
    picture_->mark({d.time_s, identifier_s, d.freq_hz, d.freq_hz + identifier_width_hz,
                    mark_label(d.time_s, d.freq_hz, d.snr_db)});
}

void audio_plot::write(const std::string& path, const std::string& title) {
    const std::lock_guard<std::mutex> hold(lock_);
    scanner_->finish(ignored_);
    picture_->write_png(path, title);
}

} // namespace rsid_tool
