// start_time.h - when a recording began: the wall-clock time of its first sample, as the command
// line (--start), a SigMF recording (core:datetime) or a Broadcast WAV file (its bext chunk)
// gives it, and the ISO 8601 text these are written in. A record's `utc` is this time plus the
// record's position in the input; its `clock` names where the time came from.
#ifndef RSID_TOOL_START_TIME_H
#define RSID_TOOL_START_TIME_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace rsid_tool {

// The clocks a record's utc can come from, as its `clock` field names them.
inline constexpr const char* clock_start_option = "start-option"; // --start
inline constexpr const char* clock_sigmf = "sigmf";               // the capture's core:datetime
inline constexpr const char* clock_bext = "bext";       // a WAV file's origination date and time
inline constexpr const char* clock_arrival = "arrival"; // when the samples were read (live input)

struct start_time {
    std::chrono::system_clock::time_point utc; // the first sample
    const char* clock = clock_start_option;    // one of the names above
};

// ISO 8601 date and time: YYYY-MM-DDThh:mm[:ss[.f...]] (a space may stand for the T), then Z,
// +hh:mm, +hhmm, +hh (or -) for its offset from UTC, or nothing: a time without a zone is local
// time where the tool runs (the TZ environment variable), as `date` and ISO 8601 read it.
// Returns nothing for text of any other form, for a date or time that does not exist, and for
// years outside 1900 to 2200.
std::optional<std::chrono::system_clock::time_point> parse_iso8601(std::string_view text);

// A bext chunk's OriginationDate ("yyyy-mm-dd"; any separator) and OriginationTime ("hh:mm:ss";
// any separator). The chunk carries no zone: recorders write their local time, read here as the
// local time where the tool runs. Returns nothing when either is blank or malformed.
std::optional<std::chrono::system_clock::time_point> parse_bext_time(std::string_view date,
                                                                     std::string_view time);

// The wall-clock time offset_s seconds after the start.
std::chrono::system_clock::time_point after(const start_time& start, double offset_s);

// Wall-clock times for the frames of a live stream, from when they arrived: the reader stamps
// each chunk with the steady clock as it is taken, and a frame's time is its chunk's stamp less
// the frames that followed it in the chunk, at the stream's rate, but never before the previous
// chunk's stamp (it cannot have come before that read began) nor before the clock was made (the
// first chunk is dated from then, however early its reader began). Times therefore never run
// backwards, however much faster than real time a pipe delivers, and a step of the system clock
// (NTP) while the stream runs does not move them: the steady clock is tied to the system clock
// once, when the stream opens.
class arrival_clock {
  public:
    explicit arrival_clock(double rate); // frames/s
    // Frames read so far (a running total) and when the last of them arrived.
    void read(uint64_t frames_read, std::chrono::steady_clock::time_point when);
    // When frame `frame` (counted from 0) arrived. Frames older than the last minute of the
    // stream are dated by the oldest stamp kept; frames not yet read, by the newest.
    std::chrono::system_clock::time_point at(int64_t frame) const;

  private:
    struct chunk {
        uint64_t end = 0; // frames read up to and including this chunk
        std::chrono::steady_clock::time_point when;
    };
    double rate_;
    std::chrono::system_clock::time_point origin_utc_ = std::chrono::system_clock::now();
    std::chrono::steady_clock::time_point origin_ = std::chrono::steady_clock::now();
    std::deque<chunk> chunks_;
    std::chrono::steady_clock::time_point dropped_ = origin_; // the last chunk let go, or the start
};

} // namespace rsid_tool

#endif
