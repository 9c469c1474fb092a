// What a record says besides the identifier: its text columns, and the wall-clock time of its
// start, from ISO 8601 text, a WAV file's bext chunk or the arrival of live samples.
#include "input/audio_input.h"
#include "input/start_time.h"
#include "records/report.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

using namespace rsid_tool;
using std::chrono::system_clock;

double epoch_s(system_clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// Local time fixed for the tests that read zoneless times: five hours behind UTC, no summer time.
class local_zone : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        saved_ = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "EST5", 1);
        tzset();
    }
    void TearDown() override {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    std::optional<std::string> saved_;
};

// Seconds since 1970 as Python's datetime.fromisoformat(...).timestamp() gives them; -1: refused.
TEST_F(local_zone, iso8601_times_and_their_zones) {
    const struct {
        const char* text;
        double epoch;
    } cases[] = {
        {"2024-05-01T12:00:00Z", 1714564800.0},
        {"2024-05-01t12:00:00z", 1714564800.0},
        {"2024-05-01T14:00:00+02:00", 1714564800.0},
        {"2024-05-01T14:00:00+0200", 1714564800.0},
        {"2024-05-01T07:00-05", 1714564800.0},
        {"2024-05-01 12:00:00.5Z", 1714564800.5},
        {"2024-02-29T23:59:59.250Z", 1709251199.25},
        {"2024-02-29T23:59:59,25Z", 1709251199.25},
        {"2000-01-01T00:00:00.123456789123Z", 946684800.123456789},
        {"2024-05-01T12:00:00", 1714582800.0}, // no zone: local time, here UTC-5
        {"2024-05-01T12:00", 1714582800.0},
        {"2024-02-30T00:00:00Z", -1}, // no such day
        {"2023-02-29T00:00:00Z", -1},
        {"2024-13-01T00:00:00Z", -1},
        {"2024-05-01T24:00:00Z", -1},
        {"2024-05-01T12:60:00Z", -1},
        {"2024-05-01T12:00:00+2", -1},
        {"2024-05-01T12:00:00.Z", -1},
        {"2024-05-01T12:00:00Z ", -1},
        {"2024-05-01", -1},
        {"24-05-01T12:00:00Z", -1},
        {"9999-12-31T23:59:59Z", -1}, // past what the system clock holds
        {"", -1},
    };
    for (const auto& c : cases) {
        const auto t = parse_iso8601(c.text);
        if (c.epoch < 0) {
            EXPECT_FALSE(t) << c.text;
            continue;
        }
        ASSERT_TRUE(t) << c.text;
        EXPECT_NEAR(epoch_s(*t), c.epoch, 1e-6) << c.text;
    }
}

// A Broadcast WAV file: RIFF, fmt, bext (602 bytes; the date at 320, the time at 330) and data,
// written here byte by byte. Its date and time are local time.
std::vector<unsigned char> bwf(const char* date, const char* time) {
    std::vector<unsigned char> b;
    const auto put = [&](const void* p, std::size_t n) {
        const auto* c = static_cast<const unsigned char*>(p);
        b.insert(b.end(), c, c + n);
    };
    const auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<unsigned char>(v >> (8 * i)));
    };
    const auto u16 = [&](uint16_t v) {
        b.push_back(static_cast<unsigned char>(v));
        b.push_back(static_cast<unsigned char>(v >> 8));
    };
    const uint32_t frames = 4800;
    put("RIFF", 4);
    u32(4 + (8 + 16) + (8 + 602) + (8 + frames * 2));
    put("WAVE", 4);
    put("fmt ", 4);
    u32(16);
    u16(1);     // PCM
    u16(1);     // mono
    u32(48000); // frames/s
    u32(96000); // bytes/s
    u16(2);     // block
    u16(16);    // bits
    std::vector<unsigned char> bext(602, 0);
    std::memcpy(bext.data() + 320, date, std::min<std::size_t>(10, std::strlen(date)));
    std::memcpy(bext.data() + 330, time, std::min<std::size_t>(8, std::strlen(time)));
    put("bext", 4);
    u32(602);
    put(bext.data(), bext.size());
    put("data", 4);
    u32(frames * 2);
    b.resize(b.size() + frames * 2, 0);
    return b;
}

TEST_F(local_zone, a_wav_files_bext_chunk_dates_it) {
    const struct {
        const char* date;
        const char* time;
        double epoch; // -1: no start
    } cases[] = {
        {"2024-05-01", "07:00:00", 1714564800.0}, // local, UTC-5
        {"2024:05:01", "07-00-00", 1714564800.0}, // other separators
        {"", "", -1},                             // unset
        {"2024-05-01", "", -1},
        {"2024-13-01", "07:00:00", -1},
        {"yesterday", "07:00:00", -1},
    };
    for (const auto& c : cases) {
        const auto bytes = bwf(c.date, c.time);
        const auto source = open_sound_memory(bytes, "bwf.wav");
        const auto& start = source->info().start;
        if (c.epoch < 0) {
            EXPECT_FALSE(start) << c.date << " " << c.time;
            continue;
        }
        ASSERT_TRUE(start) << c.date << " " << c.time;
        EXPECT_EQ(std::string(start->clock), "bext");
        EXPECT_NEAR(epoch_s(start->utc), c.epoch, 1e-6) << c.date << " " << c.time;
    }
}

// Chunks stamped as a pipe delivers them: faster than real time, in bursts, with pauses. The
// times of frames never run backwards, each frame is dated no later than its chunk arrived and
// no earlier than the chunk before it (nor than the clock's making), and a stream that arrives at
// its own rate is dated by its frames' positions (the first chunk here arriving when it would
// have been recorded).
TEST(arrival_clock, never_runs_backwards_and_follows_real_time) {
    using ms = std::chrono::milliseconds;
    const double rate = 48000;
    const struct {
        const char* what;
        std::vector<std::pair<uint64_t, int>> chunks; // frames in the chunk, ms after the last
        bool real_time;
    } cases[] = {
        {"real time", {{4800, 100}, {4800, 100}, {4800, 100}, {4800, 100}}, true},
        {"100x real time", {{48000, 10}, {48000, 10}, {48000, 10}, {48000, 10}}, false},
        {"bursts and stalls", {{100, 0}, {96000, 1}, {7, 3000}, {48000, 0}, {1, 0}}, false},
        // The reader thread stamped its first chunks before the clock was made.
        {"stamped before the clock", {{96000, -30}, {48000, 1}, {48000, 40}}, false},
    };
    for (const auto& c : cases) {
        arrival_clock clock(rate);
        const auto t0 = std::chrono::steady_clock::now();
        const auto sys0 = system_clock::now();
        auto when = t0;
        uint64_t read = 0;
        std::vector<std::pair<uint64_t, std::chrono::steady_clock::time_point>> stamps;
        for (const auto& [frames, after_ms] : c.chunks) {
            when += ms(after_ms);
            read += frames;
            clock.read(read, when);
            stamps.emplace_back(read, when);
        }
        system_clock::time_point last{};
        for (uint64_t f = 0; f < read; f += 97) {
            const system_clock::time_point t = clock.at(static_cast<int64_t>(f));
            EXPECT_GE(t, last) << c.what << " frame " << f;
            last = t;
            std::size_t k = 0;
            while (stamps[k].first <= f)
                ++k;
            const double s = std::chrono::duration<double>(t - sys0).count();
            const double chunk_s = std::chrono::duration<double>(stamps[k].second - t0).count();
            const double before_s =
                k == 0 ? 0.0 : std::chrono::duration<double>(stamps[k - 1].second - t0).count();
            EXPECT_LE(s, chunk_s + 0.05) << c.what << " frame " << f;
            EXPECT_GE(s, before_s - 0.05) << c.what << " frame " << f;
            if (c.real_time) {
                EXPECT_NEAR(s, static_cast<double>(f) / rate, 0.01) << f;
            }
        }
    }
}

TEST(text_line, carries_snr_level_and_channel_when_known) {
    detection_record base;
    base.input = "in.wav";
    base.time_s = 1.5;
    base.code = 131;
    base.freq_hz = 1500.0;
    const auto with = [&](auto change) {
        detection_record r = base;
        change(r);
        return r;
    };
    const struct {
        detection_record r;
        const char* line;
    } cases[] = {
        {base, "in.wav: 00:00:01.50  code 131  1500.0 Hz"},
        {with([](detection_record& r) {
             r.snr_db = 12.34;
             r.level_dbfs = -20.06;
         }),
         "in.wav: 00:00:01.50  code 131  1500.0 Hz  SNR 12.3 dB  -20.1 dBFS"},
        {with([](detection_record& r) {
             r.snr_db = -3.0;
             r.channel = 2;
             r.label = "site 4";
         }),
         "in.wav: 00:00:01.50  code 131  1500.0 Hz  SNR -3.0 dB  ch 2  site 4"},
        {with([](detection_record& r) {
             r.offset_hz = -250.0;
             r.snr_db = 8.0;
             r.level_dbfs = -6.0;
             r.utc = system_clock::time_point(std::chrono::seconds(1714564800));
             r.clock = "sigmf";
         }),
         "in.wav: 00:00:01.50  2024-05-01T12:00:00.000Z  code 131  1500.0 Hz (-250.0 Hz)  "
         "SNR 8.0 dB  -6.0 dBFS"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text_line(c.r), c.line);
}

} // namespace
