// detect.cpp - `rsid detect`: open each input, run the recognizer over it, print the records.
#include "commands.h"
#include "diagnostics.h"
#include "input/reach.h"
#include "pictures/audio_plot.h"
#include "publish/outbox.h"
#include "recognizer.h"
#include "records/report.h"

#include <fmt/core.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <unistd.h>

namespace rsid_tool {

namespace {

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

class scanner {
  public:
    // mqtt: where detections are also published, or null.
    scanner(const detect_options& o, mqtt_publisher* mqtt) : o_(o), mqtt_(mqtt) {}

    int run() {
        const std::size_t inputs = o_.inputs.size();
        // --once stops at the first identifier in output order: one input at a time.
        const std::size_t jobs = o_.once ? 1 : std::min<std::size_t>(o_.jobs, inputs);
        scan_in_order(
            inputs, jobs, [&](std::size_t i, outbox& box, bool alone) { scan(i, box, alone); },
            stopped_, gone_);
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

    // Open, describe, detect to the end, draw, and close with the end record.
    void scan(std::size_t index, outbox& box, bool show_progress) {
        const std::string& input = o_.inputs[index];
        const auto started = std::chrono::steady_clock::now();
        end_record end;
        end.input = input == "-" ? "stdin" : input;
        end.status = "ok";
        try {
            const std::unique_ptr<audio_source> source = open(input);
            const source_info& info = source->info();
            describe(info, end.input, box);
            check_band(info, box);
            std::unique_ptr<audio_plot> plot;
            if (!o_.plot.empty())
                plot = std::make_unique<audio_plot>(info);
            detect_all(*source, end, plot.get(), box, show_progress);
            if (plot)
                draw(*plot, index, end, info.rate);
        } catch (const input_error& e) {
            end.error = e.what();
        }
        close_input(end, stopped_, errors_, box, o_.verbose, o_.json && !quiet_stdout(), started);
    }

    // -v: the input's format; a reader's warning; --utc on a file that is not dated.
    void describe(const source_info& info, const std::string& name, outbox& box) const {
        if (o_.verbose)
            box.err(fmt::format(
                "{}: {}, {} Hz, {} channel{}{}", name, info.format, info.rate, info.channels,
                info.channels == 1 ? "" : "s",
                info.frames >= 0
                    ? fmt::format(", {:.2f} s", static_cast<double>(info.frames) / info.rate)
                    : std::string()));
        if (!info.warning.empty() && !o_.quiet)
            box.err("rsid: warning: " + info.warning);
        if (o_.utc && !o_.start && !info.start && !info.live && !o_.quiet)
            box.err(no_start_note(info.name));
    }

    // The detector over the whole input, each report delivered as it is heard, with the
    // progress bar, the broker's count of audio and the plot fed on the way. A read error ends
    // the input.
    void detect_all(audio_source& source, end_record& end, audio_plot* plot, outbox& box,
                    bool show_progress) {
        const source_info& info = source.info();
        progress_bar bar(info, show_progress && !o_.quiet);
        scan_callbacks callbacks;
        if (plot) // the detector's own conversion to 6000/s: the picture's costs no more
            callbacks.on_converted = [plot](const double* x, std::size_t n) { plot->add(x, n); };
        callbacks.on_heard = [&](const heard& h) {
            bar.clear(); // the report takes the line; the bar is redrawn at the next percent
            report(info, h, box);
            if (plot)
                plot->mark(h.detection);
            ++end.detections;
            if (o_.once)
                stopped_ = true;
            return !stopped_ && !gone_;
        };
        uint64_t frames_counted = 0; // frames already reported to the publisher
        callbacks.on_progress = [&](uint64_t frames_read) {
            bar.update(frames_read);
            end.duration_s = static_cast<double>(frames_read) / info.rate;
            if (mqtt_) {
                mqtt_->audio_read(static_cast<double>(frames_read - frames_counted) / info.rate);
                frames_counted = frames_read;
            }
            return !gone_;
        };
        try {
            end.duration_s =
                static_cast<double>(recognize(source, o_.channel, callbacks, o_.rule)) / info.rate;
        } catch (const input_error& e) {
            end.error = e.what();
        }
    }

    // The picture; a failed write is the input's error unless it had one.
    void draw(audio_plot& plot, std::size_t index, end_record& end, double rate) const {
        try {
            plot.write(plot_path(o_.plot, index, o_.inputs.size()),
                       fmt::format("{}: 0-3 kHz, {} samples/s", end.input, rate));
        } catch (const output_error& e) {
            if (end.error.empty())
                end.error = e.what();
        }
    }

    // With --mqtt, -q also leaves stdout to the broker.
    bool quiet_stdout() const { return mqtt_ && o_.quiet; }

    // An input whose rate cannot carry the detector's band (input/reach.h).
    void check_band(const source_info& info, outbox& box) const {
        const rate_reach r = reach_at(info.rate);
        if (r.none)
            throw input_error(fmt::format("{}: {}", info.name, r.warning));
        if (!r.warning.empty() && !o_.quiet)
            box.err(fmt::format("rsid: warning: {}: {}", info.name, r.warning));
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
        // The wall clock: after the start given or recorded; else, with --utc on live input or
        // for the broker (whose events always carry a time), when the samples arrived.
        if (const auto& start = o_.start ? o_.start : info.start) {
            r.utc = after(*start, d.time_s);
            r.clock = start->clock;
        } else if ((o_.utc && info.live) || mqtt_) {
            r.utc = h.arrived;
            r.clock = clock_arrival;
        }
        if (!quiet_stdout())
            box.out(o_.json ? json_line(r) : text_line(r));
        if (mqtt_)
            mqtt_->publish(r);
        ++found_;
    }

    const detect_options& o_;
    mqtt_publisher* mqtt_;
    std::atomic<int> found_{0};
    std::atomic<int> errors_{0};
    std::atomic<bool> stopped_{false};
    std::atomic<bool> gone_{false}; // stdout's reader has closed the pipe
};

} // namespace

// Why not the file's modification time: it marks when the file was last written (the end of a
// recording, or a copy or download), not when its first sample was heard; a plausible time that
// is wrong by the recording's length or by days is worse than none.
std::string no_start_note(const std::string& input) {
    return fmt::format("rsid: note: {}: --utc: the file records no start time (SigMF "
                       "core:datetime, WAV bext); give --start TIME to date its reports",
                       printable(input));
}

int run_detect(const detect_options& o) {
    if (o.inputs.empty())
        throw usage_error("detect: no input given (- reads stdin)");
    if (o.mqtt.url.empty())
        return scanner(o, nullptr).run();
    mqtt_publisher mqtt(o.mqtt, input_names(o.inputs), "rsid detect");
    const int status = scanner(o, &mqtt).run();
    // A detection that did not reach the broker is a failed output.
    return mqtt.finish() > 0 ? exit_io : status;
}

} // namespace rsid_tool
