// waterfall.h - the picture behind --plot: a waterfall of a band (time down, frequency across)
// with every report marked by a box and a label, written as PNG with cairo.
//
// Rows of magnitudes come in at the scanner's pace (one per pass, half a symbol apart) and are
// reduced as they arrive: entries are gathered into at most max_columns columns by their peak,
// so that a narrow tone stays visible in a wide band, and when max_rows rows are held,
// neighbouring rows are merged (again by peak) and each row stands for twice as many passes.
// Memory is therefore bounded by max_columns x max_rows whatever the input's length. A cell is
// held as a 16-bit level (0.07 dB steps, waterfall.cpp), which is what makes drawing cheap: the
// colour scale's reference is counted, not sorted, and each level's colour is looked up once.
#ifndef RSID_TOOL_WATERFALL_H
#define RSID_TOOL_WATERFALL_H

#include <cairo.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rsid_tool {

struct waterfall_mark {
    double start_s = 0.0;  // where the report starts [s]
    double length_s = 0.0; // how long it lasts [s]
    double low_hz = 0.0;   // its lowest and highest frequency [Hz]
    double high_hz = 0.0;
    std::string label;
};

// A rectangle of the picture [px], x0 <= x1 and y0 <= y1.
struct waterfall_box {
    double x0 = 0.0, y0 = 0.0, x1 = 0.0, y1 = 0.0;
    bool intersects(const waterfall_box& o) const {
        return x0 < o.x1 && o.x0 < x1 && y0 < o.y1 && o.y0 < y1;
    }
};

// Where write_png puts things, in pixels of the image.
struct waterfall_layout {
    int width = 0, height = 0;    // the image
    double left = 0.0, top = 0.0; // the plot area's top left corner
    double plot_width = 0.0, plot_height = 0.0;
    double low_hz = 0.0, high_hz = 0.0; // frequencies at the plot's left and right edges
    double start_s = 0.0, end_s = 0.0;  // times at the plot's top and bottom edges
    double noise_db = 0.0;              // the colour scale: its 0 dB, the noise floor of the
    double span_db = 0.0;               // cells [dB on the 16-bit scale], and its length [dB]
    // Per mark, in the order they were marked: its box, and the ground of its label. A label
    // that finds no free place beside its box (nor a little above or below it) goes to the list
    // under the plot; no two labels overlap.
    std::vector<waterfall_box> marks, labels;
    std::vector<bool> listed;
    double x(double hz) const { return left + (hz - low_hz) / (high_hz - low_hz) * plot_width; }
    double y(double s) const { return top + (s - start_s) / (end_s - start_s) * plot_height; }
};

// The colour of the boxes around reports: pure magenta, which the colour scale never uses.
inline constexpr unsigned char mark_rgb[3] = {255, 0, 255};

// "00:00:02.09  7.101234 MHz  12.3 dB": a report's label on the picture.
std::string mark_label(double time_s, double freq_hz, double snr_db);

// The file the picture of input `index` (from 0) of `count` goes to: FILE.png itself for one
// input, FILE-1.png, FILE-2.png, ... for several.
std::string plot_path(const std::string& plot, std::size_t index, std::size_t count);

class waterfall {
  public:
    static constexpr int max_columns = 1200;
    static constexpr int max_rows = 2000;

    // entries: magnitudes per row; first_hz, entry_hz: frequency of entry 0 and the spacing;
    // rate: input frames per second (row times come in frames).
    waterfall(int entries, double first_hz, double entry_hz, double rate);

    // How many passes the input will give, when known, before the first: rows are then grouped
    // from the start as merging would have grouped them by the end, and never held twice over.
    void expect_passes(int64_t passes);
    // One row of magnitudes (entries values) whose analysis frame is centred on centre_frame.
    void add(const float* magnitudes, double centre_frame);
    void mark(const waterfall_mark& m) { marks_.push_back(m); }

    // Everything's place; with the labels, which need the font's measures.
    waterfall_layout layout() const;
    // Draws and writes the picture; title goes above it. Throws output_error.
    void write_png(const std::string& path, const std::string& title) const;

  private:
    void merge_rows();
    int rows() const;                 // whole rows plus the one being filled
    const uint16_t* row(int r) const; // its levels; the row being filled at rows() - 1
    void set_scale(waterfall_layout& l) const;
    void place_labels(waterfall_layout& l) const;
    void draw_cells(const waterfall_layout& l, const std::vector<uint32_t>& colours, int y0,
                    int count, unsigned char* data, int stride) const;
    void draw_over(cairo_t* cr, const waterfall_layout& l, const std::string& title) const;

    int entries_, columns_;
    double first_hz_, entry_hz_, rate_;
    std::vector<int> column_start_; // first entry of every column, and entries_ at the end
    std::vector<uint16_t> rows_;    // columns_ per row: level of the peak magnitude
    std::vector<uint16_t> pending_; // the row being filled
    int64_t pending_passes_ = 0;
    int64_t row_passes_ = 1; // passes per row
    int64_t passes_ = 0;
    double first_frame_ = 0.0, last_frame_ = 0.0; // centres of the first and last pass
    std::vector<waterfall_mark> marks_;
};

} // namespace rsid_tool

#endif
