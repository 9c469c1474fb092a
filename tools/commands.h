// commands.h - the rsid tool's commands, as main() hands them their parsed options.
#ifndef RSID_TOOL_COMMANDS_H
#define RSID_TOOL_COMMANDS_H

#include "errors.h" // usage_error, output_error, broken_pipe (io/)
#include "input/audio_input.h"
#include "input/iq_input.h"
#include "input/start_time.h"
#include "publish/mqtt_publisher.h"
#include "soft.h" // engine/

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace rsid_tool {

// Exit statuses of the tool.
enum exit_status : int {
    exit_found = 0, // detect: at least one recognition; send: written
    exit_none = 1,  // detect: no recognition
    exit_usage = 2, // bad command line
    exit_io = 3,    // unreadable, malformed or unsupported input; failed output
};

struct send_options {
    int code = 131;                      // identifier sent, 0 to 4095
    double freq = 1500.0;                // base frequency, tone 0 [Hz]
    std::string output;                  // path, or "-" for stdout
    std::string type;                    // container; empty: from the file name
    int rate = 48000;                    // output samples/s
    std::optional<int> bits;             // sample width; empty: 16 (32 for float)
    std::optional<std::string> encoding; // signed, unsigned, float, mu-law, a-law
    double volume = 1.0;                 // linear factor on the peak of 20000
    double lead = 0.0;                   // silence before the first identifier [s]
    double tail = 0.0;                   // silence after the last one [s]
    int repeat = 1;                      // identifiers sent
    double gap = 1.0;                    // silence between identifiers [s]
    bool quiet = false;
};

struct detect_options {
    std::vector<std::string> inputs; // paths; "-" is stdin
    std::optional<raw_format> raw;   // set for -t raw
    channel_choice channel = 0;      // 0: mix; all_channels (-1): each separately
    unsigned jobs = 1;               // inputs scanned at once
    bool json = false;
    bool utc = false;                // --utc: also the arrival time of live input
    std::optional<start_time> start; // --start: when every input's first frame was recorded
    bool once = false;
    bool quiet = false;
    bool verbose = false;
    std::string label;
    mqtt_options mqtt; // --mqtt and the options around it; url empty: no publishing
    std::string plot;  // --plot: waterfall PNG of the 0-3 kHz band, with the reports marked
    rsid::detector_options rule = rsid::default_detector_options(); // --codes, --exact
};

// rsid scan: bands of raw I/Q, SigMF recordings or sound files.
struct scan_command {
    std::vector<std::string> inputs; // paths; "-" is stdin
    std::optional<iq_type> type;     // -t: inputs other than SigMF are raw I/Q of this type
    std::optional<double> rate;      // -r: their rate (required with -t)
    std::optional<double> center;    // --center: RF frequency of the band's centre [Hz]
    std::optional<double> span;      // --span: reports only within span/2 of the centre [Hz]
    bool iq = false;                 // sound files: two channels are I and Q
    bool json = false;
    std::optional<start_time> start; // --start: when every input's first frame was recorded
    std::string plot;                // waterfall PNG
    bool sigmf_annotations = false;
    unsigned jobs = 1; // threads: inputs scanned at once, the rest sharing each band
    bool quiet = false;
    bool verbose = false;
    mqtt_options mqtt; // --mqtt and the options around it; url empty: no publishing
    rsid::detector_options rule = rsid::default_detector_options(); // --codes, --exact
};

// rsid merge: JSON Lines from several scans, each identifier once (records/merge.h).
struct merge_command {
    std::vector<std::string> inputs; // paths; "-" (or none) is stdin
    double window_s = 3.0;           // how long a report waits for its duplicates [s]
    bool quiet = false;
};

// What --utc says about a file that neither --start nor the file itself dates.
std::string no_start_note(const std::string& input);

// Each returns an exit_status; they throw usage_error and output_error.
int run_send(const send_options& options);
int run_detect(const detect_options& options);
int run_scan(const scan_command& options);
int run_merge(const merge_command& options);

} // namespace rsid_tool

#endif
