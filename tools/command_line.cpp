// command_line.cpp - the rsid command line (CLI11) into a command_line: options, their defaults
// and the checks that need no input.
#include "command_line.h"

#include "input/zmq_input.h"
#include "recognizer.h"
#include "scanner.h" // engine/: max_center_hz

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <thread>

namespace rsid_tool {

namespace {

channel_choice parse_channel(const std::string& text) {
    if (text == "mix")
        return 0;
    if (text == "all")
        return all_channels;
    try {
        std::size_t used = 0;
        const int n = std::stoi(text, &used);
        if (used == text.size() && n >= 1)
            return n;
    } catch (const std::exception&) {
    }
    throw usage_error("--channel takes a channel number from 1, mix or all");
}

// Raw input is described entirely by the command line, and every field but the channel count
// must be given: nothing about headerless samples is guessed.
std::optional<raw_format> parse_raw(const std::string& type, const std::optional<double>& rate,
                                    const std::optional<std::string>& encoding,
                                    const std::optional<int>& bits,
                                    const std::optional<int>& channels,
                                    const std::optional<std::string>& endian) {
    if (type.empty()) {
        if (rate || encoding || bits || channels || endian)
            throw usage_error("-r, -e, -b, -c and --endian describe raw input: add -t raw");
        return std::nullopt;
    }
    if (type != "raw")
        throw usage_error(
            "detect: -t takes only raw; other formats are recognised by their header");
    if (!rate)
        throw usage_error("raw input needs its sample rate: -r RATE");
    if (!encoding)
        throw usage_error("raw input needs its encoding: -e signed|unsigned|float|mu-law|a-law");
    raw_format f;
    f.rate = *rate;
    const auto e = parse_encoding(*encoding);
    if (!e)
        throw usage_error("unknown encoding '" + *encoding + "'");
    f.encoding = *e;
    const bool companded =
        f.encoding == sample_encoding::mu_law || f.encoding == sample_encoding::a_law;
    if (!bits && !companded)
        throw usage_error("raw input needs its sample width: -b BITS");
    f.bits = bits.value_or(8);
    f.channels = channels.value_or(1);
    if (endian && *endian != "little" && *endian != "big")
        throw usage_error("--endian takes little or big");
    f.big_endian = endian && *endian == "big";
    try {
        check_raw_format(f, "-t raw");
    } catch (const input_error& e2) {
        throw usage_error(e2.what());
    }
    return f;
}

// --codes and --exact into the detector's rule: --codes chooses the soft rule's codes (all: every
// code but the steady tones, soft.h), --exact the library's rule, which looks for 131 only.
void parse_rule(const std::optional<std::string>& codes, bool exact, rsid::detector_options& rule) {
    if (exact) {
        if (codes && *codes != "131")
            throw usage_error("--exact looks for code 131 only: leave out --codes");
        rule.exact = true;
        return;
    }
    if (!codes)
        return;
    rule.exact = false;
    rule.all_codes = *codes == "all";
    if (rule.all_codes)
        return;
    rule.codes.clear();
    std::size_t at = 0;
    while (at <= codes->size()) {
        const std::size_t comma = std::min(codes->find(',', at), codes->size());
        const std::string item = codes->substr(at, comma - at);
        int n = -1;
        try {
            std::size_t used = 0;
            n = std::stoi(item, &used);
            if (used != item.size())
                n = -1;
        } catch (const std::exception&) {
        }
        if (n < 0 || n > 4095)
            throw usage_error("--codes takes all or a list of codes from 0 to 4095, such as 131,7");
        rule.codes.push_back(n);
        at = comma + 1;
    }
}

// --start TIME: ISO 8601 (start_time.h), or nothing when the option is absent.
std::optional<start_time> parse_start(const std::optional<std::string>& text) {
    if (!text)
        return std::nullopt;
    const auto t = parse_iso8601(*text);
    if (!t)
        throw usage_error("--start takes an ISO 8601 time such as 2024-05-01T12:00:00Z (without "
                          "a zone: local time)");
    return start_time{*t, clock_start_option};
}

// The publishing options (mqtt_publisher.h), for every command that reports detections.
void add_mqtt_options(CLI::App* cmd, mqtt_options& o) {
    cmd->add_option("--mqtt", o.url,
                    "Publish detections to mqtt[s]://[user[:password]@]host[:port][/base]");
    cmd->add_option("--mqtt-password-file", o.password_file,
                    std::string("MQTT password from the file's first line (or $") +
                        mqtt_password_env + ")");
    cmd->add_option("--mqtt-cafile", o.cafile, "CA certificates for mqtts:// (default: system)");
    cmd->add_option("--mqtt-queue", o.queue_limit,
                    "Detections held while the broker is away (default 10000)")
        ->check(CLI::Range(std::size_t{1}, std::size_t{10000000}));
    // A flag that may take a value: "--ha-discovery remove" is rewritten to "=remove" first.
    cmd->add_flag("--ha-discovery{publish}", o.ha_discovery,
                  "Publish Home Assistant MQTT discovery; remove: clear it and exit")
        ->check(CLI::IsMember({"publish", "remove"}));
    cmd->add_option("--ha-prefix", o.ha_prefix, "Home Assistant discovery prefix")
        ->capture_default_str();
    // Hidden: a short heartbeat for tests.
    cmd->add_option("--mqtt-heartbeat", o.heartbeat_s)->group("")->check(CLI::PositiveNumber);
}

// Checks what can be checked before any input is opened, and keeps the password out of `ps`.
void finish_mqtt_options(mqtt_options& o, bool quiet, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mqtt" && i + 1 < argc)
            hide_mqtt_password(argv[i + 1]);
        else if (arg.rfind("--mqtt=", 0) == 0)
            hide_mqtt_password(argv[i]);
    }
    if (o.url.empty()) {
        if (!o.password_file.empty() || !o.cafile.empty() || !o.ha_discovery.empty())
            throw usage_error("--mqtt-password-file, --mqtt-cafile and --ha-discovery need --mqtt");
        return;
    }
    parse_mqtt_url(o.url);
    o.quiet = quiet;
}

// -t and -r describe raw I/Q (whose type may also come from its name, open_band);
// SigMF and sound files describe themselves.
void check_scan(scan_command& scan, const std::string& type) {
    if (!type.empty()) {
        scan.type = parse_iq_type(type);
        if (!scan.type)
            throw usage_error("scan: -t takes the I/Q type cu8, cs8, cs16 or cf32 (files named "
                              "so need no -t)");
        if (!scan.rate)
            throw usage_error("raw I/Q needs its sample rate: -r RATE");
    }
    if (scan.rate && !(*scan.rate >= min_band_rate && *scan.rate <= max_band_rate))
        throw usage_error("-r: the rate must lie in 6000 to 20000000");
    if (scan.center && !(std::abs(*scan.center) <= rsid::max_center_hz))
        throw usage_error("--center must lie within -1e12 to 1e12 Hz");
    if (scan.span && !(*scan.span > 0.0 && *scan.span <= max_band_rate))
        throw usage_error("--span must be above 0 and at most 20000000 Hz");
    const auto zmq = std::find_if(scan.inputs.begin(), scan.inputs.end(), is_zmq_url);
    if (zmq != scan.inputs.end() && !scan.type)
        throw usage_error(*zmq +
                          ": a ZeroMQ band is raw I/Q: add -t cf32 (or cu8|cs8|cs16) -r RATE");
}

} // namespace

command_line parse_command_line(int argc, char** argv) {
    command_line line;
    CLI::App app{
        "rsid - send an identification signal to audio, and find it in recordings and bands",
        "rsid"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "rsid " RSID_VERSION);

    send_options& send = line.send;
    CLI::App* send_cmd = app.add_subcommand(
        "send", "Write the 1.3925 s identifier (code 131) to an audio file or stdout");
    send_cmd->add_option("-f,--freq", send.freq, "Base frequency (tone 0) in Hz")
        ->capture_default_str();
    send_cmd->add_option("--code", send.code, "Identifier code, 0 to 4095")->capture_default_str();
    send_cmd->add_option("-o,--output", send.output, "Output file, or - for stdout (needs -t)")
        ->required();
    send_cmd->add_option("-t,--type", send.type,
                         "Container: wav flac ogg aiff au caf w64 raw (default: from the name)");
    send_cmd->add_option("-r,--rate", send.rate, "Output sample rate")->capture_default_str();
    send_cmd->add_option("-b,--bits", send.bits, "Bits per sample (default 16; 32 for float)");
    send_cmd->add_option("-e,--encoding", send.encoding, "signed unsigned float mu-law a-law");
    send_cmd->add_option("--volume", send.volume, "Linear gain on the peak of 20000 (up to 1.6)")
        ->capture_default_str();
    send_cmd->add_option("--lead", send.lead, "Seconds of silence before")->capture_default_str();
    send_cmd->add_option("--tail", send.tail, "Seconds of silence after")->capture_default_str();
    send_cmd->add_option("--repeat", send.repeat, "Number of identifiers")->capture_default_str();
    send_cmd->add_option("--gap", send.gap, "Seconds of silence between identifiers")
        ->capture_default_str();
    send_cmd->add_flag("-q,--quiet", send.quiet, "No warnings (errors are still printed)");

    detect_options& detect = line.detect;
    std::string type;
    std::optional<double> raw_rate;
    std::optional<std::string> raw_encoding;
    std::optional<int> raw_bits;
    std::optional<int> raw_channels;
    std::optional<std::string> raw_endian;
    std::string channel = "mix";
    CLI::App* detect_cmd = app.add_subcommand(
        "detect", "Scan audio files or stdin and print one line per identifier found");
    detect_cmd->add_option("-t,--type", type, "raw: headerless input, described by -r -e -b -c");
    detect_cmd->add_option("-r,--rate", raw_rate, "Raw input: sample rate");
    detect_cmd->add_option("-e,--encoding", raw_encoding,
                           "Raw input: signed unsigned float mu-law a-law");
    detect_cmd->add_option("-b,--bits", raw_bits, "Raw input: bits per sample");
    detect_cmd->add_option("-c,--channels", raw_channels, "Raw input: channels (default 1)");
    detect_cmd->add_option("--endian", raw_endian, "Raw input: little (default) or big");
    detect_cmd->add_option("--channel", channel,
                           "Channel to scan, from 1; mix (default); all: each separately");
    detect.jobs = std::max(1u, std::thread::hardware_concurrency());
    detect_cmd->add_option("-j,--jobs", detect.jobs, "Inputs scanned at once (default: CPUs)")
        ->check(CLI::Range(1u, 1024u));
    detect_cmd->add_flag("--json", detect.json, "JSON Lines output");
    detect_cmd->add_flag("--utc", detect.utc,
                         "Wall-clock time of live input from its arrival; note undated files");
    std::optional<std::string> detect_start;
    detect_cmd->add_option("--start", detect_start,
                           "ISO 8601 time of the inputs' first sample (no zone: local time)");
    detect_cmd->add_option("--label", detect.label, "Text added to every report");
    detect_cmd->add_flag("--once", detect.once, "Stop after the first identifier");
    auto* quiet = detect_cmd->add_flag(
        "-q,--quiet", detect.quiet, "No progress bar and no warnings (errors are still printed)");
    detect_cmd->add_flag("-v,--verbose", detect.verbose, "Describe each input on stderr")
        ->excludes(quiet);
    detect_cmd->add_option("--plot", detect.plot,
                           "Waterfall of the 0-3 kHz band with the reports marked (PNG)");
    std::optional<std::string> detect_codes;
    bool detect_exact = false;
    detect_cmd->add_option("--codes", detect_codes,
                           "Codes looked for: all, or a list such as 131,7 (default 131)");
    detect_cmd->add_flag("--exact", detect_exact,
                         "The library's rule: code 131, at most one tone wrong");
    detect_cmd->add_option("inputs", detect.inputs, "Audio files; - reads stdin");
    add_mqtt_options(detect_cmd, detect.mqtt);

    scan_command& scan = line.scan;
    std::string scan_type;
    CLI::App* scan_cmd = app.add_subcommand(
        "scan", "Find identifiers anywhere in a band of I/Q (raw, SigMF) or wide audio");
    scan_cmd->add_option("-t,--type", scan_type,
                         "Raw I/Q: cu8 cs8 cs16 cf32 (interleaved I, Q; little-endian)");
    scan_cmd->add_option("-r,--rate", scan.rate, "Raw I/Q: sample rate (I/Q pairs per second)");
    scan_cmd->add_option("--center", scan.center, "RF frequency of the band's centre in Hz");
    scan_cmd->add_option("--span", scan.span,
                         "Report only identifiers centred within half this many Hz of the band's "
                         "centre (a slice's share of a split band)");
    scan_cmd->add_flag("--iq", scan.iq, "Sound files: two channels are I and Q");
    scan_cmd->add_flag("--json", scan.json, "JSON Lines output");
    std::optional<std::string> scan_start;
    scan_cmd->add_option("--start", scan_start,
                         "ISO 8601 time of the inputs' first sample (no zone: local time)");
    scan_cmd->add_option("--plot", scan.plot,
                         "Waterfall of the band with the reports marked (PNG)");
    scan_cmd->add_flag("--sigmf-annotations", scan.sigmf_annotations,
                       "Write the reports as annotations into the SigMF metadata");
    scan.jobs = std::max(1u, std::thread::hardware_concurrency());
    scan_cmd
        ->add_option("-j,--jobs", scan.jobs,
                     "Threads (default: CPUs): inputs scanned at once, the rest share a band")
        ->check(CLI::Range(1u, 1024u));
    auto* scan_quiet =
        scan_cmd->add_flag("-q,--quiet", scan.quiet, "No warnings (errors are still printed)");
    scan_cmd->add_flag("-v,--verbose", scan.verbose, "Describe each input on stderr")
        ->excludes(scan_quiet);
    add_mqtt_options(scan_cmd, scan.mqtt);
    std::optional<std::string> scan_codes;
    bool scan_exact = false;
    scan_cmd->add_option("--codes", scan_codes,
                         "Codes looked for: all, or a list such as 131,7 (default 131)");
    scan_cmd->add_flag("--exact", scan_exact,
                       "The library's rule: code 131, at most one tone wrong");
    scan_cmd->add_option("inputs", scan.inputs,
                         "Raw I/Q (with -t), .sigmf-meta/.sigmf-data, sound files; - reads stdin; "
                         "zmq+tcp://HOST:PORT[?pull] receives from GNU Radio (with -t)");

    merge_command& merge = line.merge;
    CLI::App* merge_cmd = app.add_subcommand(
        "merge", "Merge JSON Lines from several scans, writing each identifier once");
    merge_cmd
        ->add_option("--window", merge.window_s,
                     "Seconds a report waits for its duplicates (input time; wall clock "
                     "when an input is live)")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    merge_cmd->add_flag("-q,--quiet", merge.quiet, "No messages about lines that are not records");
    merge_cmd->add_option("inputs", merge.inputs, "JSON Lines files; - or none reads stdin");

    if (argc < 2) { // bare `rsid`: what it does and how to call it
        std::cerr << app.help() << std::flush;
        line.status = exit_usage;
        return line;
    }
    // "--ha-discovery remove": the flag's value in the form CLI11 gives flags one.
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == "--ha-discovery" && args[i + 1] == "remove") {
            args[i] = "--ha-discovery=remove";
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i + 1));
        }
    }
    std::reverse(args.begin(), args.end()); // CLI11 takes a vector in reverse order
    try {
        app.parse(args);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e); // prints help, or the error and a hint, to the right stream
        line.status = code == 0 ? 0 : exit_usage;
        return line;
    }
    if (send_cmd->parsed()) {
        line.which = command_line::command::send;
    } else if (merge_cmd->parsed()) {
        line.which = command_line::command::merge;
    } else if (scan_cmd->parsed()) {
        line.which = command_line::command::scan;
        check_scan(scan, scan_type);
        parse_rule(scan_codes, scan_exact, scan.rule);
        scan.start = parse_start(scan_start);
        finish_mqtt_options(scan.mqtt, scan.quiet, argc, argv);
    } else {
        line.which = command_line::command::detect;
        detect.channel = parse_channel(channel);
        detect.raw = parse_raw(type, raw_rate, raw_encoding, raw_bits, raw_channels, raw_endian);
        parse_rule(detect_codes, detect_exact, detect.rule);
        detect.start = parse_start(detect_start);
        finish_mqtt_options(detect.mqtt, detect.quiet, argc, argv);
    }
    return line;
}

} // namespace rsid_tool
