// audio_plot.h - the picture of `rsid detect --plot`: a waterfall of the detector's 0-3 kHz band
// of one input. It takes the detector's own input (6000/s, recognizer.h) and draws the band
// scanner's spectrum of it without the scanner's search (the detector's resolution, half a
// symbol per row; long files a row per one to four passes, as their rows are merged anyway):
// a picture costs a fraction of the detection. Reports are marked on it.
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
} // namespace rsid

namespace rsid_tool {

class audio_plot {
  public:
    static constexpr double top_hz = 3000.0; // the plotted band is 0 to this [Hz]

    // info: the input the samples come from (its length sets how often a spectrum is taken).
    explicit audio_plot(const source_info& info);
    ~audio_plot();
    audio_plot(const audio_plot&) = delete;
    audio_plot& operator=(const audio_plot&) = delete;

    // The input as the detector takes it: 6000/s on the 16-bit scale, the resampler's tail too.
    void add(const double* samples, std::size_t count);
    void mark(const rsid::detection& d);
    // Ends the spectrum and writes the PNG. Throws output_error.
    void write(const std::string& path, const std::string& title);

  private:
    std::unique_ptr<rsid::band_scanner> scanner_;
    std::unique_ptr<waterfall> picture_;
    std::mutex lock_; // add() runs on the reading thread, mark() on the reporting one
    std::vector<float> samples_;
    std::vector<rsid::detection> ignored_; // none: the scanner does not search
};

} // namespace rsid_tool

#endif
