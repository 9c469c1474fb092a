// detect.cpp - `rsid detect`: open each input, run the recognizer over it, print the records.
#include "commands.h"
#include "recognizer.h"
#include "report.h"

#include <fmt/core.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <unistd.h>

namespace rsid_tool {

namespace {

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
    explicit scanner(const detect_options& o) : o_(o) {}

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
        const auto started = std::chrono::steady_clock::now();
        end_record end;
        end.input = input == "-" ? "stdin" : input;
        end.status = "ok";
        try {
            const std::unique_ptr<audio_source> source = open(input);
            const source_info& info = source->info();
            if (o_.verbose)
                fmt::print(
                    stderr, "{}: {}, {} Hz, {} channel{}{}\n", end.input, info.format, info.rate,
                    info.channels, info.channels == 1 ? "" : "s",
                    info.frames >= 0
                        ? fmt::format(", {:.2f} s", static_cast<double>(info.frames) / info.rate)
                        : std::string());
            if (!info.warning.empty() && !o_.quiet)
                fmt::print(stderr, "rsid: warning: {}\n", info.warning);
            detector_feed feed(*source, o_.channel);
            progress_bar bar(info, !o_.quiet);
            scan_callbacks callbacks;
            callbacks.on_heard = [&](const heard& h) {
                bar.clear(); // the report takes the line; the bar is redrawn at the next percent
                report(info, h);
                ++end.detections;
                if (o_.once)
                    stopped_ = true;
                return !stopped_;
            };
            callbacks.on_progress = [&] {
                bar.update(feed.frames_read());
                return true;
            };
            try {
                recognize(feed, callbacks);
            } catch (const input_error& e) {
                end.error = e.what();
            }
            end.duration_s = static_cast<double>(feed.frames_read()) / info.rate;
        } catch (const input_error& e) {
            end.error = e.what();
        }
        if (stop_requested)
            end.error.clear(); // an input cut short by the signal is interrupted, not broken
        if (stop_requested && !stopped_) {
            stopped_ = true;
            end.status = "interrupted";
        } else if (stopped_) {
            end.status = "stopped";
        }
        if (!end.error.empty()) {
            ++errors_;
            end.status = "error";
            fmt::print(stderr, "rsid: {}\n", end.error);
        }
        if (o_.verbose) {
            const double took =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            fmt::print(stderr, "{}: {} found; {:.2f} s of audio in {:.3f} s ({:.0f}x real time)\n",
                       end.input, end.detections, end.duration_s, took,
                       took > 0 ? end.duration_s / took : 0.0);
        }
        if (o_.json)
            emit(json_line(end));
    }

    void report(const source_info& info, const heard& h) {
        detection_record r;
        r.input = info.name;
        r.sample = static_cast<int64_t>(std::llround(h.start_s * info.rate));
        r.rate = info.rate;
        r.time_s = h.start_s;
        r.code = h.code;
        r.freq_hz = h.freq_hz;
        r.snr_db = h.snr_db;
        r.level_dbfs = h.level_dbfs;
        r.channel = o_.channel;
        r.label = o_.label;
        if (o_.utc && info.live) {
            // The audio just read is about now; the identifier began that much earlier.
            r.utc = std::chrono::system_clock::now() -
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(
                        std::chrono::duration<double>(h.read_s - h.start_s));
        }
        emit(o_.json ? json_line(r) : text_line(r));
        ++found_;
    }

    const detect_options& o_;
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
