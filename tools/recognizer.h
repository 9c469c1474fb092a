// recognizer.h - the one place where `rsid detect` runs detectors over an input. Everything
// around it (opening inputs, reports, statuses) sees only what is declared here.
#ifndef RSID_TOOL_RECOGNIZER_H
#define RSID_TOOL_RECOGNIZER_H

#include "detection.h" // engine/
#include "input/audio_input.h"
#include "soft.h" // engine/

#include <chrono>
#include <functional>

namespace rsid_tool {

// Scan every channel separately, each with a detector of its own.
inline constexpr channel_choice all_channels = -1;

// One identifier heard in an input.
struct heard {
    rsid::detection detection; // start in the input's frames, frequency, level, SNR, channel
    double read_s = 0.0;       // how much of the input had been read when it was recognised [s]
    std::chrono::system_clock::time_point arrived; // when its first frame was read (start_time.h)
};

struct scan_callbacks {
    // Called for every identifier, in the order they end; returns false to end the scan.
    std::function<bool(const heard&)> on_heard;
    // Called after every chunk taken from the source with the frames read so far; returns
    // false to end the scan.
    std::function<bool(uint64_t frames_read)> on_progress;
    // When set, called with every chunk of interleaved frames as read, before the detectors,
    // on the thread that reads (not the one that calls on_heard).
    std::function<void(const double* frames, std::size_t count)> on_frames;
    // When set, called on the reading thread with the first detector's input as converted: the
    // mix or the chosen channel (channel 1 for all_channels) at 6000/s on the 16-bit scale, the
    // converter's tail included.
    std::function<void(const double* samples, std::size_t count)> on_converted;
};

// Scans one input from its start to its end (or until a callback says stop) with fresh engine
// detectors: the mix of the channels (0), one channel (1..n) or every channel (all_channels).
// Returns the frames read. input_error from the source propagates after everything read before
// it has been scanned and reported. Throws input_error for a channel the source lacks. rule: how
// the detectors decide (the soft rule and its codes, or the library's).
uint64_t recognize(audio_source& source, channel_choice channel, const scan_callbacks& callbacks,
                   const rsid::detector_options& rule = rsid::default_detector_options());

} // namespace rsid_tool

#endif
