// waterfall.cpp - reducing magnitude rows to a bounded picture, and drawing it with cairo.
#include "pictures/waterfall.h"

#include "errors.h"
#include "pictures/png_file.h"
#include "records/report.h" // clock_time
#include "rsid_signal.h"

#include <cairo.h>
#include <fmt/core.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <optional>

namespace rsid_tool {

namespace {

// Margins around the plot area [px], wide enough for the axes' labels.
constexpr int margin_left = 96, margin_right = 24, margin_top = 44, margin_bottom = 56;
constexpr int plot_width = 1200;               // [px]
constexpr int min_plot_height = 400;           // short inputs are stretched to this [px]
constexpr double font_size = 13.0;             // [px]
constexpr double label_height = font_size + 6; // a label's dark ground [px]
constexpr int label_shifts = 6;     // rows a label may move up or down to find a free place
constexpr int max_listed = 40;      // labels listed under the plot; the rest are counted
constexpr double scale_width = 300; // the colour scale, right of the title [px]

// The scanner's pass: a quarter of its two-symbol frame, used when one pass gives no spacing.
constexpr double default_pass_s = rsid_signal::frame / 4.0 / rsid_signal::rx_rate;

// A cell's level: the top 16 bits of its magnitude as a float. Non-negative floats order as
// their bit patterns, so levels order as the magnitudes do and the peak of two magnitudes has the
// peak of their levels (truncation, not rounding, keeps that exact); seven bits of mantissa
// resolve 1/128 of an octave, 0.07 dB, finer than the colour scale's steps. Magnitudes under
// 1e-6 (-120 dB), zero and NaN among them, share the lowest level; infinity the highest.
constexpr float min_magnitude = 1e-6f;
constexpr uint16_t level_of(float magnitude) {
    const float v = magnitude > min_magnitude ? std::min(magnitude, FLT_MAX) : min_magnitude;
    return static_cast<uint16_t>(std::bit_cast<uint32_t>(v) >> 16);
}
constexpr uint16_t floor_level = level_of(0.0f);
constexpr uint16_t top_level = level_of(FLT_MAX);

// The dB of the magnitudes a level holds, at the middle of its range.
double level_db(uint16_t level) {
    const auto v = std::bit_cast<float>(static_cast<uint32_t>(level) << 16 | 0x8000u);
    return 20.0 * std::log10(static_cast<double>(v));
}

struct surface_deleter {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct context_deleter {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using surface_ptr = std::unique_ptr<cairo_surface_t, surface_deleter>;
using context_ptr = std::unique_ptr<cairo_t, context_deleter>;

// Dark blue through cyan and yellow to white; never magenta, the colour of the marks.
uint32_t colour(double v) {
    static constexpr double stops[][3] = {
        {0, 0, 0}, {0, 0, 140}, {0, 150, 210}, {250, 230, 0}, {255, 255, 255}};
    v = std::clamp(v, 0.0, 1.0) * 4.0;
    const int i = std::min(3, static_cast<int>(v));
    const double f = v - i;
    uint32_t rgb = 0xFF000000u;
    for (int c = 0; c < 3; ++c) {
        const double x = stops[i][c] + (stops[i + 1][c] - stops[i][c]) * f;
        rgb |= static_cast<uint32_t>(std::lround(x)) << (16 - 8 * c);
    }
    return rgb;
}

// 1, 2 or 5 times a power of ten, near span / count.
double nice_step(double span, int count) {
    const double raw = span / count;
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    constexpr double steps[] = {1.0, 2.0, 5.0, 10.0};
    // The first of 1, 2 and 5 that is large enough, else 10.
    const double* m = std::find_if(std::begin(steps), std::end(steps) - 1,
                                   [&](double step) { return step * p >= raw; });
    return *m * p;
}

// The ticks of an axis from low to high, about count of them at a nice step. None where the
// step cannot separate them (an empty, huge or non-finite span, or one lost in the rounding of
// its ends), so that drawing an axis always ends.
std::vector<double> axis_ticks(double low, double high, int count, double* step_out) {
    const double step = nice_step(high - low, count);
    *step_out = step;
    if (!std::isfinite(low) || !std::isfinite(high) || !std::isfinite(step) || !(step > 0.0))
        return {};
    const double first = std::ceil(low / step);
    if (!(std::abs(first) < 0x1p52)) // beyond this, neighbouring ticks are one number
        return {};
    std::vector<double> ticks;
    for (int i = 0; i <= 4 * count; ++i) {
        const double at = (first + i) * step + 0.0; // + 0.0: no "-0.0"
        if (at > high)
            return ticks;
        ticks.push_back(at);
    }
    return {}; // more than asked for: the step is lost in the rounding of the ends
}

// A frequency in the unit that suits the band, with as many decimals as the step needs.
std::string frequency_text(double hz, double step, double scale, const char* unit) {
    const double wanted = std::ceil(-std::log10(step / scale) - 1e-9);
    const int decimals =
        static_cast<int>(std::clamp(std::isfinite(wanted) ? wanted : 0.0, 0.0, 9.0));
    return fmt::format("{:.{}f} {}", hz / scale, decimals, unit);
}

void text_at(cairo_t* cr, double x, double y, const std::string& s, double align_x,
             double align_y) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, s.c_str(), &e);
    cairo_move_to(cr, x - e.width * align_x - e.x_bearing, y - e.height * align_y - e.y_bearing);
    cairo_show_text(cr, s.c_str());
}

// Each level's colour, by level from the floor: noise_db - 3 dB (black) up to noise_db + span_db
// (white). A cell then costs one lookup.
std::vector<uint32_t> cell_colours(const waterfall_layout& l) {
    std::vector<uint32_t> ramp(1024); // the colours by value
    for (std::size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = colour(static_cast<double>(i) / static_cast<double>(ramp.size() - 1));
    const double floor_db = l.noise_db - 3.0;
    const double per_db =
        static_cast<double>(ramp.size() - 1) / (l.noise_db + l.span_db - floor_db);
    std::vector<uint32_t> by_level(top_level - floor_level + 1u);
    for (std::size_t i = 0; i < by_level.size(); ++i) {
        const double at =
            std::clamp((level_db(static_cast<uint16_t>(floor_level + i)) - floor_db) * per_db, 0.0,
                       static_cast<double>(ramp.size() - 1));
        by_level[i] = ramp[static_cast<std::size_t>(std::lround(at))];
    }
    return by_level;
}

} // namespace

std::string mark_label(double time_s, double freq_hz, double snr_db) {
    const double a = std::abs(freq_hz);
    const std::string f = a >= 1e6   ? fmt::format("{:.6f} MHz", freq_hz / 1e6)
                          : a >= 1e4 ? fmt::format("{:.3f} kHz", freq_hz / 1e3)
                                     : fmt::format("{:.1f} Hz", freq_hz);
    return fmt::format("{}  {}  {:.1f} dB", clock_time(time_s), f, snr_db);
}

std::string plot_path(const std::string& plot, std::size_t index, std::size_t count) {
    if (count <= 1)
        return plot;
    const std::size_t dot = plot.rfind('.');
    const std::size_t slash = plot.rfind('/');
    const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    std::string n(1, '-'); // not "-" + ...: GCC 12 warns falsely on that at -O3 (-Wrestrict)
    n += std::to_string(index + 1);
    return has_ext ? plot.substr(0, dot) + n + plot.substr(dot) : plot + n;
}

waterfall::waterfall(int entries, double first_hz, double entry_hz, double rate)
    : entries_(std::max(1, entries)), columns_(std::min(entries_, max_columns)),
      first_hz_(first_hz), entry_hz_(entry_hz), rate_(rate) {
    for (int c = 0; c <= columns_; ++c)
        column_start_.push_back(static_cast<int>(static_cast<int64_t>(c) * entries_ / columns_));
    pending_.assign(static_cast<std::size_t>(columns_), floor_level);
    // All the rows there can be, so that growing never copies them (pages are only touched as
    // rows arrive).
    rows_.reserve(static_cast<std::size_t>(max_rows) * static_cast<std::size_t>(columns_));
}

void waterfall::expect_passes(int64_t passes) {
    if (passes_ > 0)
        return;
    while (passes / row_passes_ >= max_rows) // as add() would merge
        row_passes_ *= 2;
}

void waterfall::add(const float* magnitudes, double centre_frame) {
    if (passes_ == 0)
        first_frame_ = centre_frame;
    last_frame_ = centre_frame;
    ++passes_;
    for (int c = 0; c < columns_; ++c) {
        float peak = 0.0f;
        for (int e = column_start_[static_cast<std::size_t>(c)];
             e < column_start_[static_cast<std::size_t>(c) + 1]; ++e)
            peak = std::max(peak, magnitudes[e]);
        uint16_t& cell = pending_[static_cast<std::size_t>(c)];
        cell = std::max(cell, level_of(peak));
    }
    if (++pending_passes_ < row_passes_)
        return;
    rows_.insert(rows_.end(), pending_.begin(), pending_.end());
    std::fill(pending_.begin(), pending_.end(), floor_level);
    pending_passes_ = 0;
    if (static_cast<int64_t>(rows_.size()) >= static_cast<int64_t>(max_rows) * columns_)
        merge_rows();
}

// Halves the rows held: row i becomes the peak of rows 2i and 2i + 1.
void waterfall::merge_rows() {
    const auto w = static_cast<std::size_t>(columns_);
    const std::size_t n = rows_.size() / w;
    for (std::size_t r = 0; r < n / 2; ++r)
        for (std::size_t c = 0; c < w; ++c)
            rows_[r * w + c] = std::max(rows_[2 * r * w + c], rows_[(2 * r + 1) * w + c]);
    rows_.resize(n / 2 * w);
    row_passes_ *= 2;
}

int waterfall::rows() const {
    return static_cast<int>(rows_.size() / static_cast<std::size_t>(columns_)) +
           (pending_passes_ > 0 ? 1 : 0);
}

// Past the whole rows, the row being filled: with no pass at all, one row at the lowest level.
const uint16_t* waterfall::row(int r) const {
    const std::size_t at = static_cast<std::size_t>(r) * static_cast<std::size_t>(columns_);
    return at < rows_.size() ? rows_.data() + at : pending_.data();
}

waterfall_layout waterfall::layout() const {
    waterfall_layout l;
    const int r = std::max(1, rows());
    const int scale = r >= min_plot_height ? 1 : (min_plot_height + r - 1) / r;
    l.plot_width = plot_width;
    l.plot_height = r * scale;
    l.left = margin_left;
    l.top = margin_top;
    l.width = margin_left + plot_width + margin_right;
    l.height = margin_top + static_cast<int>(l.plot_height) + margin_bottom;
    l.low_hz = first_hz_ - entry_hz_ / 2.0;
    l.high_hz = first_hz_ + (entries_ - 0.5) * entry_hz_;
    const double pass_s =
        passes_ > 1 ? (last_frame_ - first_frame_) / static_cast<double>(passes_ - 1) / rate_
                    : default_pass_s;
    l.start_s = first_frame_ / rate_ - pass_s / 2.0;
    l.end_s = l.start_s + r * static_cast<double>(row_passes_) * pass_s;
    set_scale(l);
    place_labels(l);
    return l;
}

// The colour scale starts at the noise floor, the median cell (most cells of a band are noise),
// and spans 20 to 60 dB above it: an identifier near 0 dB SNR, whose tones stand several dB over
// the noise in their cells, still shows however strong the band's loudest carrier; a floor more
// than 90 dB under the peak is taken as 90 dB under it. Cells of digital silence (the lowest
// level) are no noise and are left out. Noise is also narrow: half its cells lie within a few dB
// (about 5 between the quartiles). Cells spread much wider than that have no noise floor to
// show, as in a generated file whose cells run from the signal down to its faintest leakage; the
// scale then ends at the peak and spans the 60 dB under it, so that the tones themselves, not a
// glare around them, stand out. The quartiles are counted by level, in one pass over the cells
// and without a copy of them.
void waterfall::set_scale(waterfall_layout& l) const {
    constexpr double noise_spread_db = 15.0; // widest spread between the quartiles of noise
    std::vector<uint32_t> count(top_level - floor_level + 1u, 0); // cells by level, from the floor
    const int r = std::max(1, rows());
    for (int y = 0; y < r; ++y) {
        const uint16_t* in = row(y);
        for (int x = 0; x < columns_; ++x)
            ++count[in[x] - floor_level];
    }
    std::size_t peak = count.size() - 1;
    while (count[peak] == 0)
        --peak;
    const double peak_db = level_db(static_cast<uint16_t>(floor_level + peak));
    uint64_t sounding = 0; // cells above digital silence
    for (std::size_t v = 1; v < count.size(); ++v)
        sounding += count[v];
    // The level of the sounding cell of this rank, in ascending order.
    const auto level_at = [&](uint64_t rank) {
        std::size_t v = 1;
        for (uint64_t below = 0; below + count[v] <= rank; ++v)
            below += count[v];
        return level_db(static_cast<uint16_t>(floor_level + v));
    };
    const bool noise =
        sounding > 0 && level_at(sounding * 3 / 4) - level_at(sounding / 4) <= noise_spread_db;
    l.noise_db = noise ? std::max(level_at(sounding / 2), peak_db - 90.0)
                       : std::max(peak_db - 60.0, level_db(floor_level));
    l.span_db = std::clamp(peak_db - l.noise_db, 20.0, 60.0);
}

// Each mark's box, at least 10 x 8 px; its label beside it on the right (else the left), or as
// few rows above or below as keep it clear of every box and of every label placed before;
// failing that, in the list under the plot.
void waterfall::place_labels(waterfall_layout& l) const {
    double tallest = 0.0; // of the boxes [px]
    for (const waterfall_mark& m : marks_) {
        waterfall_box box{l.x(m.low_hz), l.y(m.start_s), l.x(m.high_hz),
                          l.y(m.start_s + m.length_s)};
        if (box.x1 - box.x0 < 10.0) {
            const double c = (box.x0 + box.x1) / 2.0;
            box.x0 = c - 5.0;
            box.x1 = c + 5.0;
        }
        if (box.y1 - box.y0 < 8.0)
            box.y1 = box.y0 + 8.0;
        box = {std::round(box.x0), std::round(box.y0), std::round(box.x1), std::round(box.y1)};
        l.marks.push_back(box);
        tallest = std::max(tallest, box.y1 - box.y0 + 2.0);
    }
    // What a label must not cover, by top edge: the boxes (and their 2 px lines), then the
    // labels placed so far.
    std::multimap<double, waterfall_box> boxes;
    std::multimap<double, waterfall_box> placed;
    for (const waterfall_box& b : l.marks)
        boxes.emplace(b.y0 - 1.0, waterfall_box{b.x0 - 1.0, b.y0 - 1.0, b.x1 + 1.0, b.y1 + 1.0});
    const auto clear_of = [](const std::multimap<double, waterfall_box>& taken, double height,
                             const waterfall_box& g) {
        for (auto it = taken.lower_bound(g.y0 - height); it != taken.end() && it->first < g.y1;
             ++it)
            if (it->second.intersects(g))
                return false;
        return true;
    };

    surface_ptr scratch(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1));
    context_ptr cr(cairo_create(scratch.get()));
    cairo_select_font_face(cr.get(), "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                           CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr.get(), font_size);
    const double right_edge = l.left + l.plot_width;
    const double bottom = l.top + l.plot_height;
    int listed = 0;
    for (std::size_t i = 0; i < marks_.size(); ++i) {
        const waterfall_box& box = l.marks[i];
        cairo_text_extents_t e;
        cairo_text_extents(cr.get(), marks_[i].label.c_str(), &e);
        const double w = e.width + 6;
        std::optional<waterfall_box> found;
        for (int k = 0; k <= 2 * label_shifts && !found; ++k) { // rows 0, +1, -1, +2, ...
            const double y = box.y0 + (k % 2 == 0 ? k / 2 : -(k + 1) / 2) * label_height;
            for (const double x : {box.x1 + 4, box.x0 - 4 - w}) {
                const waterfall_box g{x, y, x + w, y + label_height};
                if (g.x0 >= l.left && g.x1 <= right_edge && g.y0 >= l.top && g.y1 <= bottom &&
                    clear_of(boxes, tallest, g) && clear_of(placed, label_height, g)) {
                    found = g;
                    break;
                }
            }
        }
        l.listed.push_back(!found);
        if (found) {
            placed.emplace(found->y0, *found);
            l.labels.push_back(*found);
        } else if (listed < max_listed) { // one line each under the frequency axis
            const double y = bottom + margin_bottom + listed++ * label_height;
            l.labels.push_back({l.left, y, l.left + w, y + label_height});
        } else {
            l.labels.push_back({}); // counted on the list's last line
            ++listed;
        }
    }
    if (listed > 0)
        l.height +=
            static_cast<int>(std::ceil((std::min(listed, max_listed + 1)) * label_height)) + 8;
}

// The cells in the picture's rows y0 to y0 + count - 1 (data: row y0), stretched to the plot area
// without smoothing: each pixel takes the cell under its centre.
void waterfall::draw_cells(const waterfall_layout& l, const std::vector<uint32_t>& colours, int y0,
                           int count, unsigned char* data, int stride) const {
    const int r = std::max(1, rows());
    const auto width = static_cast<int>(l.plot_width);
    const auto height = static_cast<int>(l.plot_height);
    const auto left = static_cast<int>(l.left);
    const auto top = static_cast<int>(l.top);
    std::vector<int> column_at(static_cast<std::size_t>(width)); // each pixel's column
    for (int x = 0; x < width; ++x)
        column_at[static_cast<std::size_t>(x)] = static_cast<int>(
            (static_cast<int64_t>(2 * x + 1) * columns_) / (2 * static_cast<int64_t>(width)));
    std::vector<uint32_t> line(static_cast<std::size_t>(width));
    int drawn = -1; // the cell row in line
    for (int y = std::max(y0, top) - top; y < std::min(y0 + count - top, height); ++y) {
        const int cell_row = static_cast<int>((static_cast<int64_t>(2 * y + 1) * r) /
                                              (2 * static_cast<int64_t>(height)));
        if (cell_row != drawn) {
            const uint16_t* in = row(cell_row);
            for (int x = 0; x < width; ++x)
                line[static_cast<std::size_t>(x)] =
                    colours[in[column_at[static_cast<std::size_t>(x)]] - floor_level];
            drawn = cell_row;
        }
        std::memcpy(data + static_cast<std::ptrdiff_t>(top + y - y0) * stride + left * 4,
                    line.data(), line.size() * 4);
    }
}

// The background and the cells of each band of rows, and over them everything else, recorded
// once and played back over each band: the whole image is never held.
void waterfall::write_png(const std::string& path, const std::string& title) const {
    const waterfall_layout l = layout();
    const cairo_rectangle_t extents{0.0, 0.0, static_cast<double>(l.width),
                                    static_cast<double>(l.height)};
    const surface_ptr over(cairo_recording_surface_create(CAIRO_CONTENT_COLOR_ALPHA, &extents));
    {
        const context_ptr cr(cairo_create(over.get()));
        draw_over(cr.get(), l, title);
        if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS)
            throw output_error(path + ": cannot draw the picture");
    }
    const std::vector<uint32_t> colours = cell_colours(l);
    write_png_file(path, l.width, l.height, [&](cairo_surface_t* band, int y) {
        const context_ptr cr(cairo_create(band));
        cairo_set_source_rgb(cr.get(), 0.12, 0.12, 0.12);
        cairo_paint(cr.get());
        cairo_surface_flush(band);
        draw_cells(l, colours, y, cairo_image_surface_get_height(band),
                   cairo_image_surface_get_data(band), cairo_image_surface_get_stride(band));
        cairo_surface_mark_dirty(band);
        cairo_set_source_surface(cr.get(), over.get(), 0.0, -y);
        cairo_paint(cr.get());
    });
}

// The axes, the title, the colour scale and the reports' boxes and labels.
void waterfall::draw_over(cairo_t* cr, const waterfall_layout& l, const std::string& title) const {
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, font_size);
    cairo_set_line_width(cr, 1.0);
    cairo_set_source_rgb(cr, 0.9, 0.9, 0.9);
    text_at(cr, l.left, 14, title, 0.0, 0.0);

    // Frequency axis below the plot, in the unit of the band's largest frequency.
    double step = 0.0;
    const std::vector<double> freq_ticks = axis_ticks(l.low_hz, l.high_hz, 10, &step);
    const double biggest = std::max(std::abs(l.low_hz), std::abs(l.high_hz));
    const double scale = biggest >= 1e6 ? 1e6 : biggest >= 1e3 ? 1e3 : 1.0;
    const char* unit = biggest >= 1e6 ? "MHz" : biggest >= 1e3 ? "kHz" : "Hz";
    const double bottom = l.top + l.plot_height;
    for (const double f : freq_ticks) {
        const double x = std::round(l.x(f)) + 0.5;
        cairo_move_to(cr, x, bottom);
        cairo_line_to(cr, x, bottom + 6);
        cairo_stroke(cr);
        text_at(cr, x, bottom + 10, frequency_text(f, step, scale, unit), 0.5, 0.0);
    }
    text_at(cr, l.left + l.plot_width / 2, bottom + 32, "frequency", 0.5, 0.0);

    // Time axis on the left, from the start of the input.
    double tstep = 0.0;
    for (const double t : axis_ticks(l.start_s, l.end_s, 10, &tstep)) {
        const double y = std::round(l.y(t)) + 0.5;
        cairo_move_to(cr, l.left - 6, y);
        cairo_line_to(cr, l.left, y);
        cairo_stroke(cr);
        const std::string s =
            tstep >= 1.0 ? clock_time(t).substr(0, 8) : fmt::format("{:.1f} s", t);
        text_at(cr, l.left - 9, y, s, 1.0, 0.5);
    }
    cairo_rectangle(cr, l.left - 0.5, l.top - 0.5, l.plot_width + 1, l.plot_height + 1);
    cairo_stroke(cr);

    // The colour scale, right of the title: dB over the noise floor.
    {
        const double x0 = l.left + l.plot_width - scale_width;
        const double y0 = 8.0;
        const double h = 10.0;
        cairo_pattern_t* ramp = cairo_pattern_create_linear(x0, 0, x0 + scale_width, 0);
        for (int i = 0; i <= 16; ++i) {
            const uint32_t c = colour(i / 16.0);
            cairo_pattern_add_color_stop_rgb(ramp, i / 16.0, ((c >> 16) & 0xFF) / 255.0,
                                             ((c >> 8) & 0xFF) / 255.0, (c & 0xFF) / 255.0);
        }
        cairo_set_source(cr, ramp);
        cairo_rectangle(cr, x0, y0, scale_width, h);
        cairo_fill(cr);
        cairo_pattern_destroy(ramp);
        cairo_set_source_rgb(cr, 0.9, 0.9, 0.9);
        for (int tick = 0; tick * 10.0 <= l.span_db + 1e-9; ++tick) {
            const double db = tick * 10.0;
            const double x = std::round(x0 + (db + 3.0) / (l.span_db + 3.0) * scale_width) + 0.5;
            cairo_move_to(cr, x, y0 + h);
            cairo_line_to(cr, x, y0 + h + 4);
            cairo_stroke(cr);
            text_at(cr, x, y0 + h + 6, fmt::format("{:.0f}", db), 0.5, 0.0);
        }
        text_at(cr, x0 - 8, y0 + h / 2, "dB over noise", 1.0, 0.5);
    }

    // The reports: a box over the identifier's time and band, and its label on a dark ground
    // where place_labels put it, joined to the box when moved off its top row.
    int listed = 0;
    for (std::size_t i = 0; i < marks_.size(); ++i) {
        const waterfall_box& b = l.marks[i];
        const waterfall_box& g = l.labels[i];
        cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
        cairo_set_source_rgb(cr, mark_rgb[0] / 255.0, mark_rgb[1] / 255.0, mark_rgb[2] / 255.0);
        cairo_set_line_width(cr, 2.0);
        cairo_rectangle(cr, b.x0, b.y0, b.x1 - b.x0, b.y1 - b.y0);
        cairo_stroke(cr);
        cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
        if (l.listed[i] && listed++ >= max_listed)
            continue;
        if (!l.listed[i] && g.y0 != b.y0) {
            const bool right = g.x0 >= b.x1;
            cairo_set_source_rgb(cr, 0.85, 0.85, 0.85);
            cairo_set_line_width(cr, 1.0);
            cairo_move_to(cr, right ? b.x1 + 1 : b.x0 - 1, b.y0 + 1);
            cairo_line_to(cr, right ? g.x0 : g.x1, (g.y0 + g.y1) / 2);
            cairo_stroke(cr);
        }
        cairo_set_source_rgba(cr, 0, 0, 0, 0.7);
        cairo_rectangle(cr, g.x0, g.y0, g.x1 - g.x0, g.y1 - g.y0);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 1, 1, 1);
        text_at(cr, g.x0 + 3, g.y0 + 3, marks_[i].label, 0.0, 0.0);
    }
    if (listed > max_listed) {
        cairo_set_source_rgb(cr, 0.9, 0.9, 0.9);
        text_at(cr, l.left, l.top + l.plot_height + margin_bottom + max_listed * label_height + 3,
                fmt::format("and {} more reports (see the text output)", listed - max_listed), 0.0,
                0.0);
    }
}

} // namespace rsid_tool
