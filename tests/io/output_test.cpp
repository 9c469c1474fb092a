// The output side of `rsid send` in-process: which container can hold an output of a given
// size, decided before anything is written, and the streamed headers read back by the tool's
// own input path.
#include "errors.h"
#include "input/audio_input.h"
#include "output/output_format.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace {

using namespace rsid_tool;

constexpr uint64_t gib4 = uint64_t{1} << 32;

// A file past 4 GiB would wrap a 32-bit length: WAV becomes RF64, AIFF and AU are refused; a
// stream leaves its length open and containers with 64-bit lengths need nothing.
TEST(output, container_holds_the_whole_output) {
    const int wav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    const int rf64_16 = SF_FORMAT_RF64 | SF_FORMAT_PCM_16;
    const struct {
        int format;
        uint64_t bytes;
        bool stream;
        int want; // 0: refused
    } cases[] = {
        {wav16, 1000, false, wav16},
        {wav16, max_32bit_data, false, wav16},
        {wav16, max_32bit_data + 1, false, rf64_16},
        {wav16, 5 * gib4, false, rf64_16},
        {wav16, 5 * gib4, true, wav16},
        {SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2 * gib4, false, SF_FORMAT_RF64 | SF_FORMAT_FLOAT},
        {SF_FORMAT_WAV | SF_FORMAT_ULAW, 2 * gib4, false, SF_FORMAT_RF64 | SF_FORMAT_ULAW},
        {SF_FORMAT_AIFF | SF_FORMAT_PCM_16, max_32bit_data, false,
         SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
        {SF_FORMAT_AIFF | SF_FORMAT_PCM_16, gib4, false, 0},
        {SF_FORMAT_AU | SF_FORMAT_PCM_16, gib4, false, 0},
        {SF_FORMAT_AU | SF_FORMAT_PCM_16, gib4, true, SF_FORMAT_AU | SF_FORMAT_PCM_16},
        {SF_FORMAT_W64 | SF_FORMAT_PCM_32, 9 * gib4, false, SF_FORMAT_W64 | SF_FORMAT_PCM_32},
        {SF_FORMAT_CAF | SF_FORMAT_PCM_16, 9 * gib4, false, SF_FORMAT_CAF | SF_FORMAT_PCM_16},
        {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 9 * gib4, false, SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {SF_FORMAT_RAW | SF_FORMAT_PCM_16, 9 * gib4, false, SF_FORMAT_RAW | SF_FORMAT_PCM_16},
    };
    for (const auto& c : cases) {
        const std::string where = "format " + std::to_string(c.format) + ", " +
                                  std::to_string(c.bytes) + " bytes" + (c.stream ? ", stream" : "");
        if (c.want == 0) {
            EXPECT_THROW(sized_format(c.format, c.bytes, c.stream), usage_error) << where;
        } else {
            EXPECT_EQ(sized_format(c.format, c.bytes, c.stream), c.want) << where;
        }
    }
}

// Each streamed header, followed by samples, read back by the input path as "until the end of
// the stream": the rate, the encoding and every sample's value come back.
TEST(output, streamed_headers_read_back) {
    const std::vector<double> want = {0.0, 1000.0, -1000.0, 16384.0, -32768.0, 32767.0 / 2};
    const struct {
        int format;
        const char* description; // as the input path names it
        double tolerance;        // quantisation of the encoding, 16-bit scale
    } cases[] = {
        {SF_FORMAT_WAV | SF_FORMAT_PCM_16, "WAV, signed 16-bit PCM", 0.0},
        {SF_FORMAT_WAV | SF_FORMAT_PCM_U8, "WAV, unsigned 8-bit PCM", 256.0},
        {SF_FORMAT_WAV | SF_FORMAT_PCM_24, "WAV, signed 24-bit PCM", 0.0},
        {SF_FORMAT_WAV | SF_FORMAT_FLOAT, "WAV, 32-bit float", 0.0},
        {SF_FORMAT_WAV | SF_FORMAT_ULAW, "WAV, mu-law", 1024.0},
        {SF_FORMAT_AU | SF_FORMAT_PCM_16, "AU, signed 16-bit PCM", 0.0},
        {SF_FORMAT_AU | SF_FORMAT_DOUBLE, "AU, 64-bit float", 0.0},
        {SF_FORMAT_AU | SF_FORMAT_ALAW, "AU, A-law", 1024.0},
    };
    for (const auto& c : cases) {
        const bool au = (c.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_AU;
        std::string bytes = streamed_header(c.format, 22050);
        // The samples, encoded by libsndfile in the header's byte order.
        SF_INFO info{};
        info.samplerate = 22050;
        info.channels = 1;
        info.format = SF_FORMAT_RAW | (c.format & SF_FORMAT_SUBMASK) |
                      (au ? SF_ENDIAN_BIG : SF_ENDIAN_LITTLE);
        char path[] = "/tmp/rsid-output-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        SNDFILE* f = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
        ASSERT_NE(f, nullptr) << c.description << ": " << sf_strerror(nullptr);
        std::vector<double> normalised;
        for (double x : want)
            normalised.push_back(x / 32768.0);
        sf_writef_double(f, normalised.data(), static_cast<sf_count_t>(normalised.size()));
        sf_close(f);
        FILE* in = std::fopen(path, "rb");
        for (int ch; (ch = std::fgetc(in)) != EOF;)
            bytes.push_back(static_cast<char>(ch));
        std::fclose(in);
        std::remove(path);

        const std::span<const unsigned char> span(
            reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        const auto source = open_sound_memory(span, "stream");
        EXPECT_EQ(source->info().rate, 22050.0) << c.description;
        EXPECT_EQ(source->info().format, c.description);
        std::vector<double> got(want.size() + 4);
        const std::size_t n = source->read(got.data(), got.size());
        ASSERT_EQ(n, want.size()) << c.description;
        for (std::size_t i = 0; i < n; ++i)
            EXPECT_NEAR(got[i], want[i], c.tolerance + 1.0) << c.description << " sample " << i;
    }
}

} // namespace
