// recognizer.h - the one place where `rsid detect` runs the detector over an input. Everything
// around it (opening inputs, reports, statuses) sees only what is declared here, so the detector
// behind it can change without touching them.
#ifndef RSID_TOOL_RECOGNIZER_H
#define RSID_TOOL_RECOGNIZER_H

#include "audio_input.h"

#include <functional>
#include <optional>

namespace rsid_tool {

// One identifier heard in an input.
struct heard {
    double start_s = 0.0;             // where it starts in the input [s]
    int code = 0;                     // the identifier recognised
    double freq_hz = 0.0;             // frequency of tone 0 [Hz]
    std::optional<double> snr_db;     // not known to this detector
    std::optional<double> level_dbfs; // not known to this detector
    double read_s = 0.0; // how much of the input had been read when it was recognised [s]
};

struct scan_callbacks {
    // Called for every identifier, in order; returns false to end the scan (--once).
    std::function<bool(const heard&)> on_heard;
    // Called after every block taken from the feed; returns false to end the scan.
    std::function<bool()> on_progress;
};

// Scans one input from its start to its end (or until a callback says stop) and returns
// normally; input_error from the feed propagates after everything read before it has been
// scanned and reported. Each input starts from a clean detector: what was heard in one input
// never affects the next.
void recognize(detector_feed& feed, const scan_callbacks& callbacks);

} // namespace rsid_tool

#endif
