// detect.cpp - `rsid detect`: open each input, run the recognizer over it, print the records.
#include "commands.h"
#include "diagnostics.h"
#include "recognizer.h"
#include "report.h"

#include <fmt/core.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace rsid_tool {

namespace {

// One flushed line on stdout: a reader at the other end of a pipe sees each report at once.
// A reader that has gone (EPIPE) is broken_pipe, any other failure output_error.
void emit_stdout(const std::string& line) {
    if (std::fputs(line.c_str(), stdout) == EOF || std::fputc('\n', stdout) == EOF ||
        std::fflush(stdout) != 0) {
        if (errno == EPIPE)
            throw broken_pipe("stdout: the reader closed the pipe");
        throw output_error(std::string("stdout: ") + std::strerror(errno));
    }
}

// Writes to stderr that cannot throw (a full or closed stderr only loses them).
void draw(const std::string& text) {
    (void)std::fputs(text.c_str(), stderr);
    (void)std::fflush(stderr);
    std::clearerr(stderr);
}

// A progress bar on stderr for long files, only when stderr is a terminal.
class progress_bar {
  public:
    progress_bar(const source_info& info, bool enabled)
        : name_(printable(info.name)),
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
        draw(fmt::format(
            "\r{} [{}{}] {:3}%", name_, std::string(static_cast<std::size_t>(filled), '#'),
            std::string(static_cast<std::size_t>(width - filled), ' '), std::min(percent, 100)));
    }
    void clear() {
        if (enabled_ && shown_ >= 0) {
            draw("\r\033[K");
            shown_ = -1;
        }
    }

  private:
    std::string name_;
    bool enabled_;
    int64_t frames_;
    int shown_ = -1;
};

// What one input's scan says, in order: lines for stdout and messages for stderr. With one
// job they go out at once; with several, each input's lines wait until the inputs before it
// are done, so that the output is the same as with one job. Once stdout's reader has gone,
// lines for stdout are dropped and `gone` is set, which ends every scan.
class outbox {
  public:
    outbox(bool direct, std::atomic<bool>& gone) : direct_(direct), gone_(gone) {}
    void out(std::string line) { put({false, std::move(line)}); }
    void err(std::string line) { put({true, std::move(line)}); }
    void close() {
        const std::lock_guard<std::mutex> lock(m_);
        closed_ = true;
        cv_.notify_all();
    }
    // Writes everything this input says until it is closed (the main thread, several jobs).
    void drain() {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            cv_.wait(lock, [&] { return !queue_.empty() || closed_; });
            while (!queue_.empty()) {
                entry e = std::move(queue_.front());
                queue_.pop_front();
                lock.unlock();
                write(e);
                lock.lock();
            }
            if (closed_)
                return;
        }
    }

  private:
    struct entry {
        bool err;
        std::string line;
    };
    void write(const entry& e) {
        if (e.err) {
            tell_user(printable(e.line));
        } else if (!gone_) {
            try {
                emit_stdout(e.line);
            } catch (const broken_pipe&) {
                gone_ = true;
            }
        }
    }
    void put(entry e) {
        if (direct_) {
            write(e);
            return;
        }
        const std::lock_guard<std::mutex> lock(m_);
        queue_.push_back(std::move(e));
        cv_.notify_all();
    }
    bool direct_;
    std::atomic<bool>& gone_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<entry> queue_;
    bool closed_ = false;
};

class scanner {
  public:
    explicit scanner(const detect_options& o) : o_(o) {}

    int run() {
        const std::size_t inputs = o_.inputs.size();
        // --once stops at the first identifier in output order: one input at a time.
        const std::size_t jobs = o_.once ? 1 : std::min<std::size_t>(o_.jobs, inputs);
        if (jobs <= 1) {
            for (const std::string& input : o_.inputs) {
                if (stopped_ || gone_)
                    break;
                outbox box(true, gone_);
                scan(input, box, true);
            }
        } else {
            std::vector<std::unique_ptr<outbox>> boxes;
            for (std::size_t i = 0; i < inputs; ++i)
                boxes.push_back(std::make_unique<outbox>(false, gone_));
            std::atomic<std::size_t> next{0};
            std::vector<std::thread> workers;
            for (std::size_t w = 0; w < jobs; ++w) {
                workers.emplace_back([&] {
                    for (std::size_t i; (i = next++) < inputs;) {
                        if (!gone_)
                            scan(o_.inputs[i], *boxes[i], false);
                        boxes[i]->close();
                    }
                });
            }
            try {
                for (auto& box : boxes)
                    box->drain();
            } catch (...) {
                stop_requested = 1; // stdout failed: let the workers end their inputs
                for (auto& box : boxes)
                    box->close();
                for (std::thread& t : workers)
                    t.join();
                throw;
            }
            for (std::thread& t : workers)
                t.join();
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

    void scan(const std::string& input, outbox& box, bool show_progress) {
        const auto started = std::chrono::steady_clock::now();
        end_record end;
        end.input = input == "-" ? "stdin" : input;
        end.status = "ok";
        try {
            const std::unique_ptr<audio_source> source = open(input);
            const source_info& info = source->info();
            if (o_.verbose)
                box.err(fmt::format(
                    "{}: {}, {} Hz, {} channel{}{}", end.input, info.format, info.rate,
                    info.channels, info.channels == 1 ? "" : "s",
                    info.frames >= 0
                        ? fmt::format(", {:.2f} s", static_cast<double>(info.frames) / info.rate)
                        : std::string()));
            if (!info.warning.empty() && !o_.quiet)
                box.err("rsid: warning: " + info.warning);
            check_band(info, box);
            progress_bar bar(info, show_progress && !o_.quiet);
            scan_callbacks callbacks;
            callbacks.on_heard = [&](const heard& h) {
                bar.clear(); // the report takes the line; the bar is redrawn at the next percent
                report(info, h, box);
                ++end.detections;
                if (o_.once)
                    stopped_ = true;
                return !stopped_ && !gone_;
            };
            callbacks.on_progress = [&](uint64_t frames_read) {
                bar.update(frames_read);
                end.duration_s = static_cast<double>(frames_read) / info.rate;
                return !gone_;
            };
            try {
                end.duration_s =
                    static_cast<double>(recognize(*source, o_.channel, callbacks)) / info.rate;
            } catch (const input_error& e) {
                end.error = e.what();
            }
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
            box.err("rsid: " + end.error);
        }
        if (o_.verbose) {
            const double took =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            box.err(fmt::format("{}: {} found; {:.2f} s of audio in {:.3f} s ({:.0f}x real time)",
                                end.input, end.detections, end.duration_s, took,
                                took > 0 ? end.duration_s / took : 0.0));
        }
        if (o_.json)
            box.out(json_line(end));
    }

    // The detector looks at tone 0 from bin 111 up and tone 15 up to bin 444; an input whose
    // rate cannot carry that band holds only the identifiers that fit below half its rate.
    void check_band(const source_info& info, outbox& box) const {
        namespace sig = rsid_signal;
        const double band_top = (sig::first_bin + sig::bins) * sig::true_bin_hz; // 2397 Hz
        if (info.rate >= 2.0 * band_top)
            return;
        const double above = 15 * sig::tone_spacing_hz; // tone 15 above tone 0
        const double highest_base = info.rate / 2.0 - above;
        const std::string why = fmt::format("the detector's band reaches {:.0f} Hz, which needs "
                                            "{:.0f}/s or more",
                                            band_top, std::ceil(2.0 * band_top));
        if (highest_base <= sig::first_bin * sig::true_bin_hz)
            throw input_error(fmt::format("{}: {:g}/s is too low for any identifier ({})",
                                          info.name, info.rate, why));
        if (!o_.quiet)
            box.err(fmt::format("rsid: warning: {}: at {:g}/s only identifiers with tone 0 below "
                                "{:.0f} Hz can be found ({})",
                                info.name, info.rate, highest_base, why));
    }

    void report(const source_info& info, const heard& h, outbox& box) {
        const rsid::detection& d = h.detection;
        detection_record r;
        r.input = info.name;
        r.sample = d.sample;
        r.rate = info.rate;
        r.time_s = d.time_s;
        r.code = d.code;
        r.freq_hz = d.freq_hz;
        r.snr_db = d.snr_db;
        r.level_dbfs = d.level_dbfs;
        r.channel = d.channel;
        r.label = o_.label;
        if (o_.utc && info.live) {
            // The audio just read is about now; the identifier began that much earlier.
            r.utc = std::chrono::system_clock::now() -
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(
                        std::chrono::duration<double>(h.read_s - d.time_s));
        }
        box.out(o_.json ? json_line(r) : text_line(r));
        ++found_;
    }

    const detect_options& o_;
    std::atomic<int> found_{0};
    std::atomic<int> errors_{0};
    std::atomic<bool> stopped_{false};
    std::atomic<bool> gone_{false}; // stdout's reader has closed the pipe
};

} // namespace

int run_detect(const detect_options& o) {
    if (o.inputs.empty())
        throw usage_error("detect: no input given (- reads stdin)");
    return scanner(o).run();
}

} // namespace rsid_tool
