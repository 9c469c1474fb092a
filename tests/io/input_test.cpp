// The tool's input path in-process: raw decoding against G.711 and integer reference values,
// channel choice, the resampler's alignment and anti-aliasing, and hostile bytes.
#include "input/audio_input.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

namespace {

using namespace rsid_tool;
using bytes = std::vector<unsigned char>;

raw_format raw(sample_encoding e, int bits, int channels = 1, double rate = detector_rate) {
    raw_format f;
    f.rate = rate;
    f.encoding = e;
    f.bits = bits;
    f.channels = channels;
    return f;
}

std::vector<double> read_all(audio_source& s) {
    std::vector<double> out;
    std::vector<double> buf(1024 * static_cast<std::size_t>(s.info().channels));
    while (std::size_t n = s.read(buf.data(), 1024))
        out.insert(out.end(), buf.begin(),
                   buf.begin() + static_cast<std::ptrdiff_t>(
                                     n * static_cast<std::size_t>(s.info().channels)));
    return out;
}

std::vector<double> feed_all(std::span<const unsigned char> data,
                             const std::optional<raw_format>& f, channel_choice channel) {
    std::vector<double> out;
    decode_memory(data, f, channel,
                  [&](const double* b) { out.insert(out.end(), b, b + detector_block); });
    return out;
}

bytes le16(const std::vector<int16_t>& v) {
    bytes b;
    for (int16_t s : v) {
        const auto u = static_cast<uint16_t>(s);
        b.push_back(static_cast<unsigned char>(u & 0xFF));
        b.push_back(static_cast<unsigned char>(u >> 8));
    }
    return b;
}

// Little-endian samples and the value each must decode to on the 16-bit scale. The G.711 values
// are those of the standard's decoding tables.
struct decode_case {
    const char* what;
    raw_format format;
    bytes in;
    std::vector<double> want;
};

TEST(raw_input, decodes_each_encoding_to_the_16_bit_scale) {
    const float half = 0.5f;
    const double minus_one = -1.0;
    const float nan = std::nanf("");
    const float huge = 1e30f;
    bytes f32;
    for (float x : {half, nan, huge}) {
        unsigned char b[4];
        std::memcpy(b, &x, 4); // this machine is little-endian, as raw input is
        f32.insert(f32.end(), b, b + 4);
    }
    bytes f64(8);
    std::memcpy(f64.data(), &minus_one, 8);

    const std::vector<decode_case> cases = {
        {"s8", raw(sample_encoding::signed_int, 8), {0x80, 0x7F, 0x01}, {-32768, 32512, 256}},
        {"s16",
         raw(sample_encoding::signed_int, 16),
         {0x00, 0x80, 0xFF, 0x7F, 0xFF, 0xFF},
         {-32768, 32767, -1}},
        {"s24",
         raw(sample_encoding::signed_int, 24),
         {0x00, 0x00, 0x80, 0x80, 0x00, 0x00},
         {-32768, 0.5}},
        {"s32",
         raw(sample_encoding::signed_int, 32),
         {0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x01, 0x00},
         {-32768, 1}},
        {"u8", raw(sample_encoding::unsigned_int, 8), {0x00, 0x80, 0xFF}, {-32768, 0, 32512}},
        {"u16", raw(sample_encoding::unsigned_int, 16), {0x00, 0x00, 0x00, 0x80}, {-32768, 0}},
        {"f32", raw(sample_encoding::floating, 32), f32, {16384, 0, 1048576}},
        {"f64", raw(sample_encoding::floating, 64), f64, {-32768}},
        {"mu-law",
         raw(sample_encoding::mu_law, 8),
         {0x00, 0x80, 0xFF, 0x7F, 0x8F},
         {-32124, 32124, 0, 0, 16764}},
        {"a-law", raw(sample_encoding::a_law, 8), {0x55, 0xD5, 0x2A, 0xAA}, {-8, 8, -32256, 32256}},
    };
    for (const decode_case& c : cases) {
        auto src = open_raw_memory(c.in, c.what, c.format);
        EXPECT_EQ(read_all(*src), c.want) << c.what;
    }
}

TEST(raw_input, drops_a_trailing_partial_frame) {
    // Two stereo 16-bit frames and three stray bytes.
    bytes in = le16({100, 200, 300, 400});
    in.insert(in.end(), {1, 2, 3});
    auto src = open_raw_memory(in, "stereo", raw(sample_encoding::signed_int, 16, 2));
    EXPECT_EQ(read_all(*src), (std::vector<double>{100, 200, 300, 400}));
}

TEST(raw_input, refuses_formats_it_cannot_decode) {
    const std::vector<raw_format> bad = {
        raw(sample_encoding::signed_int, 12),
        raw(sample_encoding::unsigned_int, 24),
        raw(sample_encoding::floating, 16),
        raw(sample_encoding::mu_law, 16),
        raw(sample_encoding::signed_int, 16, 0),
        raw(sample_encoding::signed_int, 16, 65),
        raw(sample_encoding::signed_int, 16, 1, 999.0),
        raw(sample_encoding::signed_int, 16, 1, std::nan("")),
    };
    const bytes in(64, 0);
    for (const raw_format& f : bad)
        EXPECT_THROW(open_raw_memory(in, "bad", f), input_error)
            << "bits " << f.bits << " channels " << f.channels << " rate " << f.rate;
}

TEST(detector_feed, picks_or_mixes_channels) {
    // Stereo at 6000/s (no resampling): left 1000, right -3000.
    std::vector<int16_t> frames;
    for (int i = 0; i < 2000; ++i)
        frames.insert(frames.end(), {1000, -3000});
    const bytes in = le16(frames);
    const auto f = raw(sample_encoding::signed_int, 16, 2);
    const struct {
        channel_choice channel;
        double want;
    } cases[] = {{1, 1000.0}, {2, -3000.0}, {0, -1000.0}};
    for (const auto& c : cases) {
        const std::vector<double> out = feed_all(in, f, c.channel);
        ASSERT_EQ(out.size(), 3 * detector_block) << "channel " << c.channel; // 2000 padded up
        EXPECT_EQ(out[0], c.want) << "channel " << c.channel;
        EXPECT_EQ(out[1999], c.want) << "channel " << c.channel;
        EXPECT_EQ(out[2000], 0.0) << "the last block is completed with silence";
    }
    EXPECT_THROW(feed_all(in, f, 3), input_error);
}

// Output sample j of the feed stands for input time j / 6000 s at every input rate: a click at
// 1.0 s comes out at sample 6000.
TEST(detector_feed, keeps_positions_aligned_through_the_resampler) {
    for (double rate : {8000.0, 11025.0, 44100.0, 48000.0, 96000.0}) {
        std::vector<int16_t> in(static_cast<std::size_t>(2 * rate), 0);
        in[static_cast<std::size_t>(rate)] = 30000;
        const std::vector<double> out =
            feed_all(le16(in), raw(sample_encoding::signed_int, 16, 1, rate), 0);
        std::size_t peak = 0;
        for (std::size_t j = 0; j < out.size(); ++j)
            if (std::abs(out[j]) > std::abs(out[peak]))
                peak = j;
        EXPECT_NEAR(static_cast<double>(peak), detector_rate, 1.0) << "rate " << rate;
    }
}

double rms(const std::vector<double>& v, std::size_t from, std::size_t to) {
    double sum = 0.0;
    for (std::size_t i = from; i < to; ++i)
        sum += v[i] * v[i];
    return std::sqrt(sum / static_cast<double>(to - from));
}

// A tone inside the detector's band keeps its level; one above 3000 Hz is filtered out. Keeping
// every eighth sample of 48000/s instead would fold 5000 Hz onto 1000 Hz at full level.
TEST(detector_feed, filters_before_reducing_the_rate) {
    const struct {
        double rate;
        double freq;
        double want_rms;
    } cases[] = {
        {48000.0, 1000.0, 10000.0 / std::sqrt(2.0)},
        {44100.0, 2300.0, 10000.0 / std::sqrt(2.0)},
        {8000.0, 700.0, 10000.0 / std::sqrt(2.0)},
        {48000.0, 5000.0, 0.0},
        {44100.0, 7000.0, 0.0},
        {11025.0, 4000.0, 0.0},
    };
    for (const auto& c : cases) {
        std::vector<int16_t> in(static_cast<std::size_t>(c.rate));
        for (std::size_t i = 0; i < in.size(); ++i)
            in[i] = static_cast<int16_t>(10000.0 * std::sin(2 * std::numbers::pi * c.freq *
                                                            static_cast<double>(i) / c.rate));
        const std::vector<double> out =
            feed_all(le16(in), raw(sample_encoding::signed_int, 16, 1, c.rate), 0);
        const double level = rms(out, 1000, 5000); // away from the edges
        EXPECT_NEAR(level, c.want_rms, 0.01 * 10000.0 + 0.01 * c.want_rms)
            << c.freq << " Hz at " << c.rate << "/s";
    }
}

// libsndfile writes a small mono WAV into memory.
bytes make_wav(int rate, int format, const std::vector<int16_t>& samples) {
    struct sink {
        bytes data;
        sf_count_t pos = 0;
    } s;
    SF_VIRTUAL_IO io{
        [](void* u) { return static_cast<sf_count_t>(static_cast<sink*>(u)->data.size()); },
        [](sf_count_t off, int whence, void* u) {
            auto* k = static_cast<sink*>(u);
            k->pos = (whence == SEEK_SET   ? 0
                      : whence == SEEK_CUR ? k->pos
                                           : static_cast<sf_count_t>(k->data.size())) +
                     off;
            return k->pos;
        },
        [](void*, sf_count_t, void*) { return sf_count_t{0}; },
        [](const void* p, sf_count_t n, void* u) {
            auto* k = static_cast<sink*>(u);
            const auto end = static_cast<std::size_t>(k->pos + n);
            if (k->data.size() < end)
                k->data.resize(end);
            std::memcpy(k->data.data() + k->pos, p, static_cast<std::size_t>(n));
            k->pos += n;
            return n;
        },
        [](void* u) { return static_cast<sink*>(u)->pos; }};
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = format;
    SNDFILE* f = sf_open_virtual(&io, SFM_WRITE, &info, &s);
    EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
    // Normalised doubles: stored as they are in float files, scaled to full range in integer ones.
    std::vector<double> x(samples.begin(), samples.end());
    for (double& v : x)
        v /= rsid_signal::full_scale;
    sf_writef_double(f, x.data(), static_cast<sf_count_t>(x.size()));
    sf_close(f);
    return s.data;
}

TEST(sound_input, reads_containers_from_memory_on_the_16_bit_scale) {
    const std::vector<int16_t> samples = {0, 16384, -32768, 32767, 5};
    const struct {
        const char* what;
        int format;
    } cases[] = {{"wav16", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                 {"wav-float", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
                 {"flac16", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                 {"aiff24", SF_FORMAT_AIFF | SF_FORMAT_PCM_24}};
    for (const auto& c : cases) {
        const bytes file = make_wav(static_cast<int>(detector_rate), c.format, samples);
        auto src = open_sound_memory(file, c.what);
        EXPECT_EQ(src->info().rate, detector_rate) << c.what;
        const std::vector<double> got = read_all(*src);
        ASSERT_EQ(got.size(), samples.size()) << c.what;
        for (std::size_t i = 0; i < got.size(); ++i)
            EXPECT_NEAR(got[i], samples[i], 1.0) << c.what << " sample " << i;
    }
}

TEST(sound_input, a_cut_off_wav_is_an_error_after_its_frames) {
    const bytes file =
        make_wav(8000, SF_FORMAT_WAV | SF_FORMAT_PCM_16, std::vector<int16_t>(8000, 7));
    const bytes cut(file.begin(), file.begin() + 4000);
    auto src = open_sound_memory(cut, "cut");
    std::vector<double> buf(16000);
    std::size_t frames = 0;
    try {
        while (std::size_t n = src->read(buf.data(), 16000))
            frames += n;
        FAIL() << "a truncated file read as complete";
    } catch (const input_error& e) {
        EXPECT_NE(std::string(e.what()).find("truncated"), std::string::npos) << e.what();
    }
    EXPECT_GT(frames, 1900u); // what was there came through first
}

// Bytes after a complete stream (junk, an ID3v1 tag) are not truncation: every frame comes
// through and the file ends cleanly. A stream cut short still is, where its header gives its
// length (FLAC; Ogg has it only from the last page).
TEST(sound_input, bytes_after_a_complete_stream_are_not_truncation) {
    std::vector<int16_t> samples(20000); // several FLAC frames of 4096
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(i % 2000);
    bytes id3v1 = {'T', 'A', 'G'};
    id3v1.resize(128, ' ');
    const struct {
        const char* what;
        int format;
        bytes trailer;
    } cases[] = {
        {"flac + 10 bytes",
         SF_FORMAT_FLAC | SF_FORMAT_PCM_16,
         {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}},
        {"flac + ID3v1", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, id3v1},
        {"ogg + ID3v1", SF_FORMAT_OGG | SF_FORMAT_VORBIS, id3v1},
    };
    for (const auto& c : cases) {
        bytes file = make_wav(8000, c.format, samples);
        file.insert(file.end(), c.trailer.begin(), c.trailer.end());
        try {
            auto src = open_sound_memory(file, c.what);
            EXPECT_EQ(read_all(*src).size(), samples.size()) << c.what;
        } catch (const input_error& e) {
            ADD_FAILURE() << c.what << ": " << e.what();
        }
        if ((c.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_FLAC)
            continue;
        const bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(file.size() / 2));
        auto src = open_sound_memory(cut, "cut");
        EXPECT_THROW(read_all(*src), input_error) << c.what << ", cut in half";
    }
}

// An Ogg Vorbis file cut at any length, in its headers or after them, reads what is there or
// throws input_error; under LeakSanitizer (the asan preset, which suppresses no libvorbis
// leak) it also shows that a refused file leaves nothing allocated behind.
TEST(sound_input, ogg_vorbis_cut_anywhere_is_refused_or_read_without_leaks) {
    std::vector<int16_t> samples(8000);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(8000.0 * std::sin(0.3 * static_cast<double>(i)));
    const bytes file = make_wav(8000, SF_FORMAT_OGG | SF_FORMAT_VORBIS, samples);
    int refused = 0;
    for (std::size_t n = 0; n <= file.size(); n += 97) {
        const bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
        try {
            auto src = open_sound_memory(cut, "cut.ogg");
            EXPECT_LE(read_all(*src).size(), samples.size()) << n << " bytes";
        } catch (const input_error&) {
            ++refused;
        }
    }
    EXPECT_GT(refused, 10); // the headers alone are some 3 KB
    auto whole = open_sound_memory(file, "whole.ogg");
    EXPECT_EQ(read_all(*whole).size(), samples.size());
}

// Whatever the bytes, decode_memory returns or throws input_error. Cases: empty, noise, a valid
// WAV cut at every length, and headers with hostile fields patched in. The seed is fixed.
TEST(sound_input, hostile_bytes_give_input_error_or_nothing) {
    std::vector<bytes> inputs = {{}, {'R', 'I', 'F', 'F'}};
    std::mt19937 rng(12345);
    for (std::size_t size : {1u, 12u, 44u, 100u, 5000u}) {
        bytes b(size);
        for (auto& x : b)
            x = static_cast<unsigned char>(rng());
        inputs.push_back(b);
    }
    const bytes wav =
        make_wav(44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16, std::vector<int16_t>(300, 1000));
    for (std::size_t n = 0; n < wav.size(); n += 7)
        inputs.emplace_back(wav.begin(), wav.begin() + static_cast<std::ptrdiff_t>(n));
    // WAV header fields: channels at 22, rate at 24, bits at 34; data size at 40.
    const struct {
        std::size_t at;
        uint32_t value;
        int width;
    } patches[] = {{22, 0, 2},          {22, 0xFFFF, 2}, {24, 0, 4},  {24, 1, 4},
                   {24, 0xFFFFFFFF, 4}, {34, 0, 2},      {34, 63, 2}, {40, 0xFFFFFFF0, 4}};
    for (const auto& p : patches) {
        bytes b = wav;
        for (int i = 0; i < p.width; ++i)
            b[p.at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(p.value >> (8 * i));
        inputs.push_back(b);
    }
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        for (const auto& f :
             {std::optional<raw_format>{},
              std::optional<raw_format>{raw(sample_encoding::floating, 32, 3, 44100.0)}}) {
            try {
                decode_memory(inputs[i], f, 0, [](const double* b) {
                    for (std::size_t k = 0; k < detector_block; ++k)
                        ASSERT_TRUE(std::isfinite(b[k]) && std::abs(b[k]) <= 1048576.0);
                });
            } catch (const input_error&) {
            }
        }
    }
}

} // namespace
