// png_file.h - the one wrapper over libpng: a cairo image written as PNG at zlib's fastest
// level. Cairo's own writer uses the default level, which on a noisy waterfall of a few million
// pixels costs more than the detection the picture shows; the fastest level makes a file about a
// fifth larger in a sixth of the time.
#ifndef RSID_TOOL_PNG_FILE_H
#define RSID_TOOL_PNG_FILE_H

#include <cairo.h>

#include <string>

namespace rsid_tool {

// Writes the RGB24 image surface to path through a temporary file renamed into place (a failed
// write leaves what was there). Throws output_error naming path and the reason.
void write_png_file(cairo_surface_t* image, const std::string& path);

} // namespace rsid_tool

#endif
