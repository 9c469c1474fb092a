// png_file.cpp - libpng behind write_png_file. libpng reports errors by longjmp, so the frame
// that calls setjmp holds only what may be abandoned, and no C++ frame lies between it and
// libpng's calls back.
#include "pictures/png_file.h"

#include "errors.h"
#include "replace_file.h"

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace rsid_tool {

namespace {

struct sink {
    replace_file* file;
    std::string error; // why the write failed
};

extern "C" void on_png_write(png_structp png, png_bytep data, png_size_t length) {
    auto* s = static_cast<sink*>(png_get_io_ptr(png));
    try {
        s->file->write(data, length);
    } catch (const output_error& e) {
        s->error = e.what();
    } catch (const std::bad_alloc&) {
        s->error = "out of memory";
    }
    if (!s->error.empty())
        png_error(png, "write failed");
}

extern "C" void on_png_flush(png_structp /*png*/) {}

// libpng's own messages name nothing the user knows; the caller says what failed.
extern "C" void on_png_error(png_structp png, png_const_charp /*message*/) { png_longjmp(png, 1); }

// Encodes the rows; false when libpng failed (sink::error may say why).
bool encode(png_structp png, png_infop info, const unsigned char* data, int width, int height,
            int stride, unsigned char* row) {
    // libpng reports a failure by longjmp: nothing here owns a resource a jump would skip.
    if (setjmp(png_jmpbuf(png))) // NOLINT(cert-err52-cpp)
        return false;
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    // Runs only: the plot's background and the dark noise filter to runs of zeros, and deflate
    // looks for nothing else, several times faster than its fastest level.
    png_set_compression_level(png, Z_BEST_SPEED);
    png_set_compression_strategy(png, Z_RLE);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) {
        const unsigned char* src = data + static_cast<std::ptrdiff_t>(y) * stride;
        for (int x = 0; x < width; ++x) { // cairo's native-endian xRGB to R, G, B
            uint32_t v;
            std::memcpy(&v, src + 4 * x, 4);
            row[3 * x] = static_cast<unsigned char>(v >> 16);
            row[3 * x + 1] = static_cast<unsigned char>(v >> 8);
            row[3 * x + 2] = static_cast<unsigned char>(v);
        }
        png_write_row(png, row);
    }
    png_write_end(png, info);
    return true;
}

} // namespace

void write_png_file(cairo_surface_t* image, const std::string& path) {
    cairo_surface_flush(image);
    const int width = cairo_image_surface_get_width(image);
    const int height = cairo_image_surface_get_height(image);
    replace_file out(path);
    sink to{&out, {}};
    std::vector<unsigned char> row(static_cast<std::size_t>(width) * 3);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &to, on_png_error, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        throw output_error(path + ": out of memory");
    }
    png_set_write_fn(png, &to, on_png_write, on_png_flush);
    const bool ok = encode(png, info, cairo_image_surface_get_data(image), width, height,
                           cairo_image_surface_get_stride(image), row.data());
    png_destroy_write_struct(&png, &info);
    if (!to.error.empty())
        throw output_error(to.error);
    if (!ok)
        throw output_error(path + ": cannot encode the picture");
    out.commit();
}

} // namespace rsid_tool
