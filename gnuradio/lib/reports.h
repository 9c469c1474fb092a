// reports.h - what both blocks share: the engine's handles as owning values, the end of the
// input, the stream's clock from rx_time tags, and an engine report as the PMT dict published
// on "detections".
#ifndef RSID_GNURADIO_REPORTS_H
#define RSID_GNURADIO_REPORTS_H

#include <gnuradio/block.h>
#include <pmt/pmt.h>
#include <rsid_engine.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace gr::rsid {

struct detector_free {
    void operator()(rsid_detector* d) const { rsid_detector_free(d); }
};
struct scanner_free {
    void operator()(rsid_scanner* s) const { rsid_scanner_free(s); }
};
using detector_handle = std::unique_ptr<rsid_detector, detector_free>;
using scanner_handle = std::unique_ptr<rsid_scanner, scanner_free>;

// The engine's options for a block's codes: none, the engine's default rule; else the soft
// rule looking for those codes (as the tool's --codes). codes must outlive the options.
rsid_detector_options rule_options(const std::vector<int32_t>& codes);

// Throws std::invalid_argument (what is refused at construction) or std::runtime_error for an
// engine error code; returns quietly for RSID_OK.
void check(int rc, const char* what);

// The end of the input. GNU Radio tells a block nothing when its input ends: the block is
// stopped after its message neighbours were told it is done, so reports published from stop()
// may never be handled. So each block keeps the newest input sample back (forecast asks for one
// more than it takes) until the upstream block is done: the call that takes the last sample
// knows that it is the last, and flushes the stream there, while the flowgraph still runs.
//
// forecast: input samples needed for noutput_items.
int input_needed(const gr::block& b, int noutput_items);
struct input_take {
    int count; // samples to take in this call
    bool last; // they end the input: the stream is to be finished
};
// available: the call's ninput_items; limit: its noutput_items when the output is connected.
input_take take_input(const gr::block& b, int available, int limit);

// The wall clock of the input's samples, from the rx_time tags seen so far: a sample's time is
// that of the last tag at or before it, plus the samples between over the rate. Before the
// first tag, the first tag's time counts backwards. A source re-stamps after a gap (UHD after
// an overflow), so the tags are kept until no report can start before the next one.
class stream_clock {
  public:
    // An rx_time tag at input sample offset; values that are not (uint64, double) are ignored.
    void stamp(uint64_t offset, const pmt::pmt_t& value);
    // Forgets the tags that a report starting at or after sample `from` no longer needs.
    void forget_before(uint64_t from);
    [[nodiscard]] bool known() const { return !stamps_.empty(); }
    // ISO 8601 UTC with milliseconds (truncated), as `rsid detect --utc` writes it.
    [[nodiscard]] std::string utc(uint64_t sample, double rate) const;

  private:
    struct stamp_at {
        uint64_t offset;  // input sample the tag is on
        uint64_t seconds; // whole seconds since 1970
        double fraction;  // and the fraction, 0 to 1
    };
    std::deque<stamp_at> stamps_;
};

// The dict of one report: the record of `rsid detect --json` (offset_hz too for a scanner),
// with `sample` counted from the first input sample of the flowgraph and utc when the clock
// is known.
pmt::pmt_t report_dict(const rsid_detection& d, uint64_t sample, double rate, bool band,
                       const stream_clock& clock);

} // namespace gr::rsid

#endif
