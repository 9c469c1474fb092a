// merge.h - one stream of detection records from several: slices of one band scanned apart,
// or receivers that hear the same station. A report that more than one of them made is written
// once, as the one with the best SNR.
//
// Two records are the same identifier when they have the same code, start within 0.1 s of each
// other (by their utc fields when both have one, else by time_s) and have tone 0 within 5 Hz.
//
// The merge streams: a record is held until no duplicate can still arrive, that is once every
// input still open has reported a start at least `window` seconds later (inputs deliver their
// records roughly in order of time), or, for live inputs, once it has waited `window` seconds
// of wall clock. A duplicate that arrives after its twin was written is dropped, so a record is
// never written twice; only the choice of the best SNR can then be wrong.
#ifndef RSID_TOOL_MERGE_H
#define RSID_TOOL_MERGE_H

#include "records/report.h"

#include <vector>

namespace rsid_tool {

inline constexpr double same_start_s = 0.1; // starts this close may be one identifier [s]
inline constexpr double same_freq_hz = 5.0; // tones 0 this close may be one identifier [Hz]

// True when a and b are one identifier heard twice.
bool same_identifier(const detection_record& a, const detection_record& b);

class record_merger {
  public:
    explicit record_merger(double window_s) : window_s_(window_s) {}

    // A record read at wall-clock time now_s [s, any fixed origin].
    void add(const detection_record& r, double now_s);
    // Moves to out, in order of start, the records no duplicate can follow any more: those
    // starting at least window before `reached` (the earliest start every open input has
    // reported), and, when wall is set, those held for window since now_s.
    void release(double reached, double now_s, bool wall, std::vector<detection_record>& out);
    // Moves every record still held to out (all inputs have ended).
    void finish(std::vector<detection_record>& out);
    std::size_t held() const { return held_.size(); }

  private:
    struct entry {
        detection_record record;
        double arrived_s; // wall clock
    };

    double window_s_;
    std::vector<entry> held_;    // not yet written
    std::vector<entry> written_; // written within the last window, to drop late duplicates
};

} // namespace rsid_tool

#endif
