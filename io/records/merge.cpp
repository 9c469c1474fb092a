// merge.cpp - the duplicates of one identifier, held for a window and written once.
#include "records/merge.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

namespace rsid_tool {

namespace {

double snr(const detection_record& r) {
    return r.snr_db.value_or(-std::numeric_limits<double>::infinity());
}

} // namespace

bool same_identifier(const detection_record& a, const detection_record& b) {
    if (a.code != b.code || std::abs(a.freq_hz - b.freq_hz) > same_freq_hz)
        return false;
    const double apart = a.utc && b.utc ? std::chrono::duration<double>(*a.utc - *b.utc).count()
                                        : a.time_s - b.time_s;
    return std::abs(apart) <= same_start_s;
}

void record_merger::add(const detection_record& r, double now_s) {
    const auto twin = [&](const entry& e) { return same_identifier(e.record, r); };
    if (std::any_of(written_.begin(), written_.end(), twin))
        return; // too late: its twin is out
    const auto waiting = std::find_if(held_.begin(), held_.end(), twin);
    if (waiting == held_.end())
        held_.push_back({r, now_s});
    else if (snr(r) > snr(waiting->record))
        waiting->record = r; // keeps its place in the wait
}

void record_merger::release(double reached, double now_s, bool wall,
                            std::vector<detection_record>& out) {
    std::stable_sort(held_.begin(), held_.end(), [](const entry& a, const entry& b) {
        return a.record.time_s < b.record.time_s;
    });
    std::vector<entry> waiting;
    for (entry& h : held_) {
        if (h.record.time_s + window_s_ <= reached || (wall && now_s - h.arrived_s >= window_s_)) {
            out.push_back(h.record);
            written_.push_back(std::move(h));
        } else {
            waiting.push_back(std::move(h));
        }
    }
    held_ = std::move(waiting);
    // A written record can only meet a duplicate that is itself still unsettled: within a
    // window of the inputs' progress (and, live, of the wall clock).
    std::erase_if(written_, [&](const entry& w) {
        return w.record.time_s + 2 * window_s_ < reached &&
               (!wall || now_s - w.arrived_s > 2 * window_s_);
    });
}

void record_merger::finish(std::vector<detection_record>& out) {
    release(std::numeric_limits<double>::infinity(), 0.0, false, out);
    written_.clear();
}

} // namespace rsid_tool
