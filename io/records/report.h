// report.h - what `rsid detect` and `rsid scan` print on stdout: one record per identifier heard
// and one per input when its scan ends. Each record is written as a text line and as a JSON line by
// the functions here and nowhere else; detection.schema.json documents the JSON fields.
#ifndef RSID_TOOL_REPORT_H
#define RSID_TOOL_REPORT_H

#include "rsid_signal.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rsid_tool {

// JSON Lines format version, in every record. 2 added snr_db, level_dbfs and channel.
// Goes up when a field changes meaning or goes away; new optional fields do not change it.
inline constexpr int json_version = 2;

// What one identifier occupies, from the start and tone 0 of its record: 15 tones one symbol
// each, and tone 0 to the highest tone (15) of the 16.
inline constexpr double identifier_s =
    static_cast<double>(rsid_signal::sequence_tx_samples) / rsid_signal::tx_rate; // [s]
inline constexpr double identifier_width_hz = 15 * rsid_signal::tone_spacing_hz;  // [Hz]

struct detection_record {
    std::string input;                // the input's name ("stdin" for -)
    int64_t sample = 0;               // start, in frames of the input at its own rate
    double rate = 0.0;                // the input's frames/s
    double time_s = 0.0;              // start [s from the beginning of the input]
    int code = 0;                     // identifier recognised
    double freq_hz = 0.0;             // frequency of tone 0 [Hz]
    std::optional<double> offset_hz;  // rsid scan: tone 0 against the band's centre [Hz]
    std::optional<double> snr_db;     // signal to noise in the identifier's band, when known
    std::optional<double> level_dbfs; // the identifier's level, when known [dB full scale]
    int channel = 0;                  // 0: the mix of all channels; 1..n: that channel alone
    std::optional<std::chrono::system_clock::time_point> utc; // wall clock of the start
    std::string clock; // where utc came from (input/start_time.h names them); empty without utc
    std::string label; // --label, empty when not given
};

struct end_record {
    std::string input;
    std::string status; // ok, error, interrupted (a signal) or stopped (--once)
    int detections = 0;
    double duration_s = 0.0; // audio read [s]
    std::string error;       // the message, when status is error
};

// The retained state of a publishing station (--mqtt), sent every heartbeat interval, so that a
// dashboard can tell a station that hears nothing from one that has stopped.
struct heartbeat_record {
    std::chrono::system_clock::time_point utc; // when it was sent
    std::vector<std::string> inputs;           // names, as in detection records
    double uptime_s = 0.0;                     // since the command started [s]
    int64_t detections = 0;                    // detection records so far
    double audio_s = 0.0;                      // audio read so far, all inputs [s]
    double realtime_factor = 0.0; // audio read per second of wall clock since the last heartbeat
    int64_t queued = 0;           // detections waiting for the broker
    int64_t dropped = 0;          // detections lost to a full queue
};

// A line read back (rsid merge): a detection or an end record, whichever it is.
struct json_record {
    std::optional<detection_record> detection;
    std::optional<end_record> end;
};

// One line each, without the newline. The text line's columns, each present only when known:
//   INPUT: hh:mm:ss.cc  [UTC]  code N  FREQ Hz [(OFFSET Hz)]  [SNR x dB]  [LEVEL dBFS]  [ch N]
//   [LABEL]
// with the channel only for a record of one channel (--channel N or all), not the mix.
std::string text_line(const detection_record& r);
std::string json_line(const detection_record& r);
std::string json_line(const end_record& r);
std::string json_line(const heartbeat_record& r);

// Reads a detection or end record back from the line json_line wrote (of this version).
// Throws std::invalid_argument, saying what is wrong, for anything else; a heartbeat gives an
// empty json_record.
json_record read_json_line(const std::string& line);

// The names inputs are reported under: "stdin" for -, else the path as given.
std::vector<std::string> input_names(const std::vector<std::string>& inputs);

// "hh:mm:ss.cc" for a position in seconds, rounded to centiseconds.
std::string clock_time(double s);
// ISO 8601 UTC with milliseconds: "2024-05-01T12:34:56.789Z".
std::string utc_time(std::chrono::system_clock::time_point t);

} // namespace rsid_tool

#endif
