// png_file.h - the one wrapper over libpng: a picture drawn with cairo a band of rows at a time,
// each band encoded as soon as it is drawn, at zlib's fastest settings. Cairo's own writer needs
// the whole image (several megabytes for a long input, each 4 KB of it a page fault when first
// touched) and uses zlib's default level, which on a noisy waterfall of a few million pixels
// costs more than the detection the picture shows.
#ifndef RSID_TOOL_PNG_FILE_H
#define RSID_TOOL_PNG_FILE_H

#include <cairo.h>

#include <functional>
#include <string>

namespace rsid_tool {

// Writes a width x height RGB picture to path through a temporary file renamed into place (a
// failed write leaves what was there). draw(band, y) draws the picture's rows from y on into the
// RGB24 image surface band, the picture's width and png_band_rows high, from its top row; the
// last band's rows past the picture are not written. Throws output_error naming path and the
// reason, and what draw throws.
inline constexpr int png_band_rows = 64;
void write_png_file(const std::string& path, int width, int height,
                    const std::function<void(cairo_surface_t* band, int y)>& draw);

} // namespace rsid_tool

#endif
