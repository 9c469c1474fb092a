// scan.cpp - `rsid scan`: open each band (raw I/Q, SigMF, sound file), run the band scanner
// over it, print the records; draw the waterfall and write SigMF annotations when asked.
#include "commands.h"
#include "input/iq_input.h"
#include "input/sigmf.h"
#include "input/zmq_input.h"
#include "pictures/waterfall.h"
#include "publish/mqtt_publisher.h"
#include "publish/outbox.h"
#include "records/merge.h"
#include "records/report.h"
#include "scanner.h" // engine/

#include <fmt/core.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string_view>
#include <unistd.h>

namespace rsid_tool {

namespace {

constexpr std::size_t chunk_frames = 1 << 15; // frames read from the source at a time

class band_scan {
  public:
    // mqtt: where detections are also published, or null.
    band_scan(const scan_command& o, mqtt_publisher* mqtt) : o_(o), mqtt_(mqtt) {}

    int run() {
        const std::size_t inputs = o_.inputs.size();
        scan_in_order(
            inputs, std::min<std::size_t>(o_.jobs, inputs),
            [&](std::size_t i, outbox& box, bool) { scan(i, box); }, stopped_, gone_);
        if (errors_ > 0)
            return exit_io;
        return found_ > 0 ? exit_found : exit_none;
    }

  private:
    std::unique_ptr<band_source> open(const std::string& input, outbox& box) const {
        if (is_zmq_url(input)) // check_scan has made sure of -t and -r
            return open_zmq_band(input, *o_.type, *o_.rate, o_.center.value_or(0.0));
        const band_request request{o_.type, o_.rate, o_.center, o_.iq};
        return open_band(input, request, [&](const std::string& note) {
            if (!o_.quiet)
                box.err("rsid: " + note);
        });
    }

    // One input while it is scanned: what its end record, annotations and picture collect.
    struct job {
        std::size_t index;
        outbox& box;
        end_record end;
        std::optional<band_info> info;
        std::vector<sigmf_annotation> annotations;
        std::unique_ptr<waterfall> picture;
        std::optional<start_time> start;      // --start, else the recording's own
        std::optional<arrival_clock> arrival; // without a start: when the samples came
        std::optional<double> span;           // span= of a ZeroMQ input, else --span [Hz]
    };

    // Open, scan to the end, draw, annotate, and close with the end record.
    void scan(std::size_t index, outbox& box) {
        const auto started = std::chrono::steady_clock::now();
        const std::string& input = o_.inputs[index];
        job j{index, box, {}, {}, {}, {}, {}, {}, o_.span};
        j.end.input = input == "-" ? "stdin" : input;
        j.end.status = "ok";
        try {
            const std::unique_ptr<band_source> source = open(input, box);
            j.info = source->info();
            if (is_sigmf(input))
                j.info->start = read_sigmf(input).start;
            j.start = o_.start ? o_.start : j.info->start;
            j.arrival.emplace(j.info->rate);
            if (is_zmq_url(input) && parse_zmq_url(input).span)
                j.span = parse_zmq_url(input).span;
            std::unique_ptr<rsid::band_scanner> scanner = make_scanner(j);
            describe(j, *scanner);
            if (!o_.plot.empty())
                start_picture(j, *scanner);
            read_all(j, *source, scanner);
            draw(j);
        } catch (const input_error& e) {
            j.end.error = e.what();
        }
        if (o_.sigmf_annotations && j.info && j.end.error.empty())
            annotate(input, *j.info, j.annotations, j.end, box);
        close_input(j.end, stopped_, errors_, box, o_.verbose, o_.json && !(mqtt_ && o_.quiet),
                    started);
    }

    std::unique_ptr<rsid::band_scanner> make_scanner(const job& j) const {
        // Jobs beyond one per input share the passes of each band.
        const auto threads = static_cast<int>(std::clamp<std::size_t>(
            o_.jobs / std::min<std::size_t>(o_.jobs, o_.inputs.size()), 1, 64));
        try {
            return std::make_unique<rsid::band_scanner>(
                rsid::scan_options{j.info->rate, j.info->complex, j.info->center_hz, 1.0, threads},
                o_.rule);
        } catch (const std::invalid_argument& e) {
            throw input_error(j.end.input + ": " + e.what());
        }
    }

    // -v: the input's format and band.
    void describe(job& j, const rsid::band_scanner& scanner) const {
        if (!o_.verbose)
            return;
        const band_info& info = *j.info;
        j.box.err(fmt::format(
            "{}: {}, {} frames/s, {:.0f} Hz to {:.0f} Hz{}", j.end.input, info.format, info.rate,
            scanner.entry_hz(0), scanner.entry_hz(scanner.width() - 1),
            info.frames >= 0
                ? fmt::format(", {:.2f} s", static_cast<double>(info.frames) / info.rate)
                : std::string()));
    }

    // The waterfall takes every pass of the scanner.
    static void start_picture(job& j, rsid::band_scanner& scanner) {
        j.picture = std::make_unique<waterfall>(scanner.width(), scanner.entry_hz(0),
                                                scanner.bin_hz(), j.info->rate);
        waterfall* picture = j.picture.get();
        scanner.on_pass = [picture](const float* mags, double centre) {
            picture->add(mags, centre);
        };
    }

    // Every chunk through the scanner, each report delivered as it comes; a read error ends
    // the input, and what was read is still scanned to its end. A source that retunes (a live
    // band's new centre) ends one scanner's stream and starts the next at that frame, as if
    // the band were two inputs one after the other.
    void read_all(job& j, band_source& source, std::unique_ptr<rsid::band_scanner>& scanner) {
        const std::size_t per = j.info->complex ? 2 : 1;
        std::vector<float> samples(chunk_frames * per);
        std::vector<rsid::detection> found;
        uint64_t read = 0;
        uint64_t base = 0; // frames before the scanner's stream
        try {
            for (std::size_t n; !gone_ && (n = source.read(samples.data(), chunk_frames)) > 0;) {
                if (source.info().center_hz != j.info->center_hz) {
                    scanner->finish(found);
                    deliver(j, found, base);
                    retune(j, source.info().center_hz, scanner);
                    base = read;
                }
                read += n;
                j.arrival->read(read, std::chrono::steady_clock::now());
                if (mqtt_)
                    mqtt_->audio_read(static_cast<double>(n) / j.info->rate);
                scanner->feed(samples.data(), n, found);
                deliver(j, found, base);
            }
        } catch (const input_error& e) {
            j.end.error = e.what();
        }
        scanner->finish(found);
        deliver(j, found, base);
        j.end.duration_s = static_cast<double>(read) / j.info->rate;
    }

    // A new scanner on the new centre. The picture, whose frequencies are the old band's, is
    // drawn as it stands and ends there.
    void retune(job& j, double center_hz, std::unique_ptr<rsid::band_scanner>& scanner) {
        if (j.picture && !o_.quiet)
            j.box.err(fmt::format("rsid: {}: retuned to {:.0f} Hz; the picture ends here",
                                  j.end.input, center_hz));
        draw(j);
        j.picture.reset();
        j.info->center_hz = center_hz;
        scanner = make_scanner(j);
        if (o_.verbose)
            j.box.err(fmt::format("{}: retuned to {:.0f} Hz, {:.0f} Hz to {:.0f} Hz", j.end.input,
                                  center_hz, scanner->entry_hz(0),
                                  scanner->entry_hz(scanner->width() - 1)));
    }

    // Reports to the output (and broker), the picture and the annotations; base: frames of the
    // input before the scanner's stream.
    void deliver(job& j, std::vector<rsid::detection>& found, uint64_t base) {
        for (rsid::detection& d : found) {
            if (j.span && !owned(d, *j.span))
                continue;
            d.sample += static_cast<int64_t>(base);
            d.time_s = static_cast<double>(d.sample) / d.rate;
            report(j.end.input, d, j.start ? after(*j.start, d.time_s) : j.arrival->at(d.sample),
                   j.start ? j.start->clock : clock_arrival, j.box);
            ++j.end.detections;
            if (j.picture)
                j.picture->mark({d.time_s, identifier_s, d.freq_hz, d.freq_hz + identifier_width_hz,
                                 mark_label(d.time_s, d.freq_hz, d.snr_db)});
            j.annotations.push_back(annotation(d));
        }
        found.clear();
    }

    // Whether a report is in the input's share of a split band: the centre of its tones within
    // span/2 of the band's centre. Deciding by one point gives an identifier that straddles
    // two slices' shares to one of them; the shares overlap by merge's frequency tolerance,
    // since each slice measures a little differently and an identifier on the seam must not
    // be dropped by both (rsid merge joins the two reports of it).
    static bool owned(const rsid::detection& d, double span) {
        return std::abs(d.offset_hz + identifier_width_hz / 2) <= span / 2 + same_freq_hz;
    }

    // The picture, if asked for; a failed write is the input's error unless it had one.
    void draw(job& j) const {
        if (!j.picture)
            return;
        try {
            j.picture->write_png(plot_path(o_.plot, j.index, o_.inputs.size()),
                                 fmt::format("{}: {:.0f} frames/s{}", j.end.input, j.info->rate,
                                             j.info->complex ? " I/Q" : ", real audio"));
        } catch (const output_error& e) {
            if (j.end.error.empty())
                j.end.error = e.what();
        }
    }

    // The report's sample span and band as a SigMF annotation.
    static sigmf_annotation annotation(const rsid::detection& d) {
        sigmf_annotation a;
        a.sample_start = d.sample;
        a.sample_count = static_cast<int64_t>(std::llround(identifier_s * d.rate));
        a.freq_lower_edge = d.freq_hz;
        a.freq_upper_edge = d.freq_hz + identifier_width_hz;
        a.label = fmt::format("code {}", d.code);
        a.comment = fmt::format("SNR {:.1f} dB, level {:.1f} dBFS", d.snr_db, d.level_dbfs);
        return a;
    }

    // Into the recording's metadata, or a new one beside a raw file; stdin and sound files have
    // no sample file that SigMF could describe.
    void annotate(const std::string& input, const band_info& info,
                  const std::vector<sigmf_annotation>& annotations, end_record& end,
                  outbox& box) const {
        if (input == "-" || !info.type) {
            if (!o_.quiet)
                box.err("rsid: " + end.input +
                        ": no annotations written (SigMF describes raw I/Q files only)");
            return;
        }
        sigmf_dataset dataset;
        try { // the samples that were scanned: a SigMF recording's own, or the raw file
            dataset.file = std::filesystem::path(is_sigmf(input) ? read_sigmf(input).data : input)
                               .filename()
                               .string();
        } catch (const input_error& e) {
            end.error = e.what();
            return;
        }
        dataset.type = *info.type;
        dataset.rate = info.rate;
        dataset.frequency = info.center_hz;
        try {
            write_sigmf_annotations(sigmf_meta_for(input), dataset, annotations);
        } catch (const output_error& e) {
            end.error = e.what();
        }
    }

    // utc: when it started, after the start given or recorded (clock), else when its samples
    // arrived, which only the broker's events carry.
    void report(const std::string& input, const rsid::detection& d,
                std::chrono::system_clock::time_point utc, const char* clock, outbox& box) {
        detection_record r;
        r.input = input;
        r.sample = d.sample;
        r.rate = d.rate;
        r.time_s = d.time_s;
        r.code = d.code;
        r.freq_hz = d.freq_hz;
        r.offset_hz = d.offset_hz;
        r.snr_db = d.snr_db;
        r.level_dbfs = d.level_dbfs;
        r.channel = 0;
        if (clock != std::string_view(clock_arrival) || mqtt_) {
            r.utc = utc;
            r.clock = clock;
        }
        if (!(mqtt_ && o_.quiet)) // with --mqtt, -q leaves the reports to the broker
            box.out(o_.json ? json_line(r) : text_line(r));
        if (mqtt_)
            mqtt_->publish(r);
        ++found_;
    }

    const scan_command& o_;
    mqtt_publisher* mqtt_;
    std::atomic<int> found_{0};
    std::atomic<int> errors_{0};
    std::atomic<bool> stopped_{false};
    std::atomic<bool> gone_{false}; // stdout's reader has closed the pipe
};

} // namespace

int run_scan(const scan_command& o) {
    if (o.inputs.empty())
        throw usage_error("scan: no input given (- reads stdin)");
    if (o.mqtt.url.empty())
        return band_scan(o, nullptr).run();
    mqtt_publisher mqtt(o.mqtt, input_names(o.inputs), "rsid scan");
    const int status = band_scan(o, &mqtt).run();
    // A detection that did not reach the broker is a failed output.
    return mqtt.finish() > 0 ? exit_io : status;
}

} // namespace rsid_tool
