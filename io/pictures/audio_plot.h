// audio_plot.h - the picture of `rsid detect --plot`: a waterfall of the detector's 0-3 kHz band
// of one input. The spectrum is the band scanner's on the real audio at the input's rate (the
// detector's resolution, half a symbol per row), cut to 0-3 kHz; reports are marked on it.
#ifndef RSID_TOOL_AUDIO_PLOT_H
#define RSID_TOOL_AUDIO_PLOT_H

#include "detection.h" // engine/
#include "input/audio_input.h"
#include "pictures/waterfall.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace rsid {
class band_scanner;
}

namespace rsid_tool {

class audio_plot {
  public:
    static constexpr double top_hz = 3000.0; // the plotted band is 0 to this [Hz]

    // channel: 1..n plots that channel, anything else the mix. Throws input_error for a rate
    // below 6000/s, which the spectrum cannot take.
    audio_plot(const source_info& info, channel_choice channel);
    ~audio_plot();
    audio_plot(const audio_plot&) = delete;
    audio_plot& operator=(const audio_plot&) = delete;

    // Interleaved frames on the 16-bit scale, as the source gives them.
    void frames(const double* frames, std::size_t count);
    void mark(const rsid::detection& d);
    // Ends the spectrum and writes the PNG. Throws output_error.
    void write(const std::string& path, const std::string& title);

  private:
    int channels_;
    channel_choice channel_;
    std::unique_ptr<rsid::band_scanner> scanner_;
    std::unique_ptr<waterfall> picture_;
    std::mutex lock_; // frames() runs on the reading thread, mark() on the reporting one
    std::vector<float> mono_;
    std::vector<rsid::detection> ignored_; // the scanner's own reports: the detector's count
};

} // namespace rsid_tool

#endif
