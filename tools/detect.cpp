// detect.cpp - `rsid detect`: feed each input to the detector and report every recognition.
#include "commands.h"
#include "rsid.h"

#include <fmt/core.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace rsid_tool {

namespace {

constexpr int json_version = 1; // bump when a field changes meaning or goes away

constexpr double sequence_s = 1.3925; // 15 tones of 4456 samples at 48000/s

// From the end of the sequence to the middle of the block in which the detector reports it.
// The last tone is decided once the analysis frame (two tones long) is centred on it, and the
// match is reported one half-tone pass later; measured over start offsets spread across a
// block, the middle of the reporting block lies this far after the end (the spread is +-0.1 s).
constexpr double detector_latency_s = 0.113;

// Silence after each input: lets a match still held at the end be reported (one more
// analysis), and then fills all 29 rows of the tone history and the 1114-sample frame
// (29 * 278.5 + 1114 = 9191 samples), so the next input starts from a cleared history.
constexpr int flush_blocks = 10; // 9600 samples, 1.6 s

std::string clock_time(double s) {
    const auto centis = static_cast<long long>(std::llround(s * 100.0));
    return fmt::format("{:02}:{:02}:{:02}.{:02}", centis / 360000, centis / 6000 % 60,
                       centis / 100 % 60, centis % 100);
}

std::string utc_time(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    const std::time_t secs = static_cast<std::time_t>(ms.count() / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", tm.tm_year + 1900,
                       tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                       ms.count() % 1000);
}

// One flushed line on stdout: a reader at the other end of a pipe sees each report at once.
void emit(const std::string& line) {
    if (std::fputs(line.c_str(), stdout) == EOF || std::fputc('\n', stdout) == EOF ||
        std::fflush(stdout) != 0)
        throw output_error(std::string("stdout: ") + std::strerror(errno));
}

// A progress bar on stderr for long files, only when stderr is a terminal.
class progress_bar {
  public:
    progress_bar(const source_info& info, bool enabled)
        : name_(info.name),
          enabled_(enabled && info.frames > 0 &&
                   static_cast<double>(info.frames) / info.rate >= 60.0 && isatty(STDERR_FILENO)),
          frames_(info.frames) {}
    ~progress_bar() { clear(); }
    progress_bar(const progress_bar&) = delete;
    progress_bar& operator=(const progress_bar&) = delete;

    void update(uint64_t frames_read) {
        if (!enabled_)
            return;
        const int percent =
            static_cast<int>(100 * static_cast<double>(frames_read) / static_cast<double>(frames_));
        if (percent == shown_)
            return;
        shown_ = percent;
        const int width = 40;
        const int filled = std::min(width, percent * width / 100);
        fmt::print(
            stderr, "\r{} [{}{}] {:3}%", name_, std::string(static_cast<std::size_t>(filled), '#'),
            std::string(static_cast<std::size_t>(width - filled), ' '), std::min(percent, 100));
        std::fflush(stderr);
    }
    void clear() {
        if (enabled_ && shown_ >= 0) {
            fmt::print(stderr, "\r\033[K");
            std::fflush(stderr);
            shown_ = -1;
        }
    }

  private:
    std::string name_;
    bool enabled_;
    int64_t frames_;
    int shown_ = -1;
};

class scanner {
  public:
    explicit scanner(const detect_options& o) : o_(o) { init_rsid(); }

    int run() {
        for (const std::string& input : o_.inputs) {
            if (stopped_)
                break;
            scan(input);
        }
        if (errors_ > 0)
            return exit_io;
        return found_ > 0 ? exit_found : exit_none;
    }

  private:
    std::unique_ptr<audio_source> open(const std::string& input) {
        if (input == "-")
            return o_.raw ? open_raw_fd(STDIN_FILENO, "stdin", *o_.raw)
                          : open_sound_fd(STDIN_FILENO, "stdin");
        return o_.raw ? open_raw_file(input, *o_.raw) : open_sound_file(input);
    }

    void scan(const std::string& input) {
        const std::string name = input == "-" ? "stdin" : input;
        const auto started = std::chrono::steady_clock::now();
        int found_here = 0;
        std::string error;
        std::string status = "ok";
        double seconds = 0.0;
        bool fed = false;
        std::array<double, detector_block> block{};
        uint64_t blocks = 0;
        try {
            const std::unique_ptr<audio_source> source = open(input);
            const source_info& info = source->info();
            if (o_.verbose)
                fmt::print(
                    stderr, "{}: {}, {} Hz, {} channel{}{}\n", name, info.format, info.rate,
                    info.channels, info.channels == 1 ? "" : "s",
                    info.frames >= 0
                        ? fmt::format(", {:.2f} s", static_cast<double>(info.frames) / info.rate)
                        : std::string());
            detector_feed feed(*source, o_.channel);
            progress_bar bar(info, !o_.quiet);
            bar_ = &bar;
            try {
                while (!stopped_ && feed.next(block)) {
                    fed = true;
                    if (rsid_check(block.data()))
                        found_here += report(info, blocks, feed.delivered());
                    ++blocks;
                    bar.update(feed.frames_read());
                }
            } catch (const input_error& e) {
                error = e.what(); // what was read still counts; flushed below
            }
            bar.clear();
            bar_ = nullptr;
            seconds = static_cast<double>(feed.frames_read()) / info.rate;
            if (fed) {
                block.fill(0.0);
                for (int i = 0; i < flush_blocks; ++i, ++blocks) {
                    if (rsid_check(block.data()) && !stopped_)
                        found_here +=
                            report(info, blocks, blocks * detector_block + detector_block);
                }
            }
        } catch (const input_error& e) {
            error = e.what();
        }
        if (stop_requested && !stopped_) {
            stopped_ = true;
            status = "interrupted";
        } else if (stopped_) {
            status = "stopped";
        }
        if (!error.empty()) {
            ++errors_;
            status = "error";
            fmt::print(stderr, "rsid: {}\n", error);
        }
        if (o_.verbose) {
            const double took =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            fmt::print(stderr, "{}: {} found; {:.2f} s of audio in {:.3f} s ({:.0f}x real time)\n",
                       name, found_here, seconds, took, took > 0 ? seconds / took : 0.0);
        }
        if (o_.json) {
            nlohmann::ordered_json j;
            j["version"] = json_version;
            j["type"] = "end";
            j["input"] = name;
            j["status"] = status;
            j["detections"] = found_here;
            j["duration_s"] = std::round(seconds * 1000.0) / 1000.0;
            if (!error.empty())
                j["error"] = error;
            emit(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        }
    }

    // Reports the recognition made in detector block `block`; `delivered_end` is the detector
    // sample count at the end of the audio read so far (for the wall clock of live input).
    int report(const source_info& info, uint64_t block, uint64_t delivered_end) {
        const double block_middle = (static_cast<double>(block) + 0.5) *
                                    static_cast<double>(detector_block) / detector_rate;
        const double start = std::max(0.0, block_middle - detector_latency_s - sequence_s);
        const auto sample = static_cast<long long>(std::llround(start * info.rate));
        const int code = 131; // the only code the detector looks for
        const double freq = getrsfreq();
        std::string utc;
        if (o_.utc && info.live) {
            // The audio just read is about now; the identifier began that much earlier.
            const double ago = static_cast<double>(delivered_end) / detector_rate - start;
            utc = utc_time(std::chrono::system_clock::now() -
                           std::chrono::duration_cast<std::chrono::system_clock::duration>(
                               std::chrono::duration<double>(ago)));
        }
        if (bar_)
            bar_->clear(); // the report takes the line; the bar is redrawn at the next percent
        if (o_.json) {
            nlohmann::ordered_json j;
            j["version"] = json_version;
            j["type"] = "detection";
            j["input"] = info.name;
            j["time_s"] = std::round(start * 1000.0) / 1000.0;
            j["time"] = clock_time(start);
            j["sample"] = sample;
            if (info.rate == std::floor(info.rate))
                j["rate"] = static_cast<long long>(info.rate);
            else
                j["rate"] = info.rate;
            j["code"] = code;
            j["freq_hz"] = std::round(freq * 10000.0) / 10000.0;
            if (!utc.empty())
                j["utc"] = utc;
            if (!o_.label.empty())
                j["label"] = o_.label;
            emit(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        } else {
            std::string line = fmt::format("{}: {}", info.name, clock_time(start));
            if (!utc.empty())
                line += "  " + utc;
            line += fmt::format("  code {}  {:.1f} Hz", code, freq);
            if (!o_.label.empty())
                line += "  " + o_.label;
            emit(line);
        }
        ++found_;
        if (o_.once)
            stopped_ = true;
        return 1;
    }

    const detect_options& o_;
    progress_bar* bar_ = nullptr; // of the input being scanned, while it is on screen
    int found_ = 0;
    int errors_ = 0;
    bool stopped_ = false;
};

} // namespace

int run_detect(const detect_options& o) {
    if (o.inputs.empty())
        throw usage_error("detect: no input given (- reads stdin)");
    return scanner(o).run();
}

} // namespace rsid_tool
