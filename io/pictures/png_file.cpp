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
#include <memory>
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

// Draws and encodes the rows band by band; false when libpng failed (sink::error may say why).
// draw runs between libpng's calls, never inside one: a jump never crosses it.
bool encode(png_structp png, png_infop info, int width, int height, cairo_surface_t* band,
            const std::function<void(cairo_surface_t*, int)>& draw, unsigned char* row) {
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
    const int stride = cairo_image_surface_get_stride(band);
    for (int y0 = 0; y0 < height; y0 += png_band_rows) {
        draw(band, y0);
        cairo_surface_flush(band);
        const unsigned char* data = cairo_image_surface_get_data(band);
        for (int y = 0; y < png_band_rows && y0 + y < height; ++y) {
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
    }
    png_write_end(png, info);
    return true;
}

// libpng's write and info structs, freed however the write ends.
struct png_writer {
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_writer(const png_writer&) = delete;
    png_writer& operator=(const png_writer&) = delete;
    explicit png_writer(sink* to)
        : png(png_create_write_struct(PNG_LIBPNG_VER_STRING, to, on_png_error, nullptr)),
          info(png ? png_create_info_struct(png) : nullptr) {}
    ~png_writer() { png_destroy_write_struct(&png, &info); }
};

struct surface_deleter {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};

} // namespace

void write_png_file(const std::string& path, int width, int height,
                    const std::function<void(cairo_surface_t* band, int y)>& draw) {
    const std::unique_ptr<cairo_surface_t, surface_deleter> band(
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, png_band_rows));
    if (cairo_surface_status(band.get()) != CAIRO_STATUS_SUCCESS)
        throw output_error(path + ": cannot make a picture of this size");
    replace_file out(path);
    sink to{&out, {}};
    std::vector<unsigned char> row(static_cast<std::size_t>(width) * 3);
    bool ok = false;
    {
        png_writer w(&to);
        if (!w.info)
            throw output_error(path + ": out of memory");
        png_set_write_fn(w.png, &to, on_png_write, on_png_flush);
        ok = encode(w.png, w.info, width, height, band.get(), draw, row.data());
    }
    if (!to.error.empty())
        throw output_error(to.error);
    if (!ok)
        throw output_error(path + ": cannot encode the picture");
    out.commit();
}

} // namespace rsid_tool
