// audio_plot.h - the picture of `rsid detect --plot`: a waterfall of the detector's 0-3 kHz band
// of one input. The audio is converted to the detector's 6000/s as the detector's own input is
// (engine/stream.h), and the spectrum is the band scanner's on it without its search (the
// detector's resolution, half a symbol per row): a picture costs a fraction of the detection.
// Reports are marked on it.
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
class converter;
} // namespace rsid

namespace rsid_tool {

class audio_plot {
  public:
    static constexpr double top_hz = 3000.0; // the plotted band is 0 to this [Hz]

    // channel: 1..n plots that channel, anything else the mix; any rate a source takes.
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
    void spectrum(); // converted_ into the scanner, and so into the picture

    int channels_;
    channel_choice channel_;
    std::unique_ptr<rsid::converter> converter_;
    std::unique_ptr<rsid::band_scanner> scanner_;
    std::unique_ptr<waterfall> picture_;
    std::mutex lock_; // frames() runs on the reading thread, mark() on the reporting one
    std::vector<double> mono_;
    std::vector<double> converted_; // at 6000/s
    std::vector<float> spectrum_in_;
    std::vector<rsid::detection> ignored_; // none: the scanner does not search
};

} // namespace rsid_tool

#endif
