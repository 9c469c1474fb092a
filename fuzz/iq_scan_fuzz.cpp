// iq_scan_fuzz.cpp - arbitrary bytes as raw I/Q in every sample type through `rsid scan`'s
// input (from memory or a real file) into the band scanner and its waterfall.
//
// Four control bytes come first: the sample type and how the bytes are taken (and whether the
// picture is drawn), the rate, the centre (including rates and centres that must be refused:
// 1e21 Hz once made the picture's axes loop forever) and the size of the chunks read. The
// samples must be finite, the reports finite and within the band and never below the report
// floor, and the picture must be drawn.
//
// Allowed outcomes: reports, or input_error. Any other exception, a crash, a hang or a sanitizer
// report is a finding.
#include "fuzz_support.h"
#include "input/iq_input.h"
#include "pictures/waterfall.h"
#include "scanner.h" // engine/

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace {

using fuzz::require;

using namespace rsid_tool;

// A file with the given contents, kept in memory (memfd) and opened by path like any other.
std::string memory_file(std::span<const unsigned char> bytes, int& fd) {
    fd = memfd_create("rsid-fuzz", 0);
    require(fd >= 0);
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        require(n > 0);
        done += static_cast<std::size_t>(n);
    }
    return "/proc/self/fd/" + std::to_string(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 4)
        return 0;
    // Rates and centres near the limits and beyond; wide rates are left out for speed.
    static constexpr double rates[] = {6000.0, 8000.0,   24000.0, 48000.0, 96000.0, 5999.0,
                                       0.0,    -48000.0, 11025.5, 12000.0, 2e7 + 1, 32000.0,
                                       6000.5, NAN,      16000.0, 44100.0};
    static constexpr double centres[] = {0.0,    7.1e6, -1e5,       1e12, -1e12,   1.0000001e12,
                                         1e21,   1e308, INFINITY,   NAN,  14.07e6, 2.4e9,
                                         1e-300, -0.0,  123456.789, 5e11};
    static constexpr std::size_t chunks[] = {1, 7, 333, 4096, 32768, 1000, 2, 65536};
    const auto type = static_cast<iq_type>(data[0] & 3);
    const bool as_file = data[0] & 4;
    const bool plot = data[0] & 0x80;
    const double rate = rates[data[1] % 16];
    const double centre = centres[data[2] % 16];
    const std::size_t chunk = chunks[data[3] % 8];
    const std::span<const unsigned char> bytes(data + 4, size - 4);

    int fd = -1;
    try {
        const std::unique_ptr<band_source> source =
            as_file ? open_iq_file(memory_file(bytes, fd), type, rate, centre)
                    : open_iq_memory(bytes, "fuzz", type, rate, centre);
        const band_info& info = source->info();
        require(info.complex && info.rate == rate && info.center_hz == centre);
        require(std::abs(centre) <= rsid::max_center_hz);
        rsid::band_scanner scanner({info.rate, true, info.center_hz, 1.0});
        waterfall picture(scanner.width(), scanner.entry_hz(0), scanner.bin_hz(), info.rate);
        scanner.on_pass = [&](const float* mags, double centre_frame) {
            picture.add(mags, centre_frame);
        };
        std::vector<float> samples(2 * chunk);
        std::vector<rsid::detection> found;
        for (std::size_t n; (n = source->read(samples.data(), chunk)) > 0;) {
            require(n <= chunk);
            for (std::size_t i = 0; i < 2 * n; ++i)
                require(std::isfinite(samples[i]) && std::abs(samples[i]) <= 1e6f);
            scanner.feed(samples.data(), n, found);
        }
        scanner.finish(found);
        for (const rsid::detection& d : found) {
            require(std::isfinite(d.freq_hz) && std::isfinite(d.snr_db));
            require(std::abs(d.offset_hz) <= rate / 2 + 200.0);
            require(d.level_dbfs >= rsid::report_floor_dbfs);
            picture.mark({d.time_s, 1.3925, d.freq_hz, d.freq_hz + 161.5,
                          mark_label(d.time_s, d.freq_hz, d.snr_db)});
        }
        if (plot && size < 20000) // drawing is slow under the sanitizers
            picture.write_png("/dev/null", "fuzz");
    } catch (const input_error&) {
        // A refused input: the tool prints the message and goes on to the next input.
    }
    if (fd >= 0)
        close(fd);
    return 0;
}
