#include "reports.h"

#include <gnuradio/block_detail.h>
#include <gnuradio/buffer_reader.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace gr::rsid {

rsid_detector_options rule_options(const std::vector<int32_t>& codes) {
    rsid_detector_options o = RSID_DETECTOR_OPTIONS_INIT;
    if (!codes.empty()) {
        o.rule = RSID_RULE_SOFT;
        o.codes = codes.data();
        o.code_count = codes.size();
    }
    return o;
}

void check(int rc, const char* what) {
    if (rc == RSID_OK)
        return;
    const std::string message = std::string(what) + ": " + rsid_engine_strerror(rc);
    if (rc == RSID_EINVAL || rc == RSID_ERANGE)
        throw std::invalid_argument(message);
    throw std::runtime_error(message);
}

namespace {
// The upstream block is done; available: what is left to read then (else unspecified).
bool upstream_done(const gr::block& b, int& available) {
    const gr::buffer_reader_sptr reader = b.detail()->input(0);
    const gr::thread::scoped_lock guard(*reader->mutex());
    available = reader->items_available();
    return reader->done();
}
} // namespace

int input_needed(const gr::block& b, int noutput_items) {
    int available = 0;
    return upstream_done(b, available) ? noutput_items : noutput_items + 1;
}

input_take take_input(const gr::block& b, int available, int limit) {
    int left = 0;
    const bool done = upstream_done(b, left);
    if (available > limit) // the output's room limits the call: the input goes on
        return {limit, false};
    if (done && left == available)
        return {available, true};
    return {available - 1, false}; // forecast gave at least one more than is taken
}

void stream_clock::stamp(uint64_t offset, const pmt::pmt_t& value) {
    if (!pmt::is_tuple(value) || pmt::length(value) != 2)
        return;
    const pmt::pmt_t whole = pmt::tuple_ref(value, 0);
    const pmt::pmt_t fraction = pmt::tuple_ref(value, 1);
    if (!pmt::is_uint64(whole) || !pmt::is_real(fraction))
        return;
    const double f = pmt::to_double(fraction);
    if (!(f >= 0.0 && f < 1.0))
        return;
    while (!stamps_.empty() && stamps_.back().offset >= offset) // a tag replaces later ones
        stamps_.pop_back();
    stamps_.push_back({offset, pmt::to_uint64(whole), f});
}

void stream_clock::forget_before(uint64_t from) {
    while (stamps_.size() > 1 && stamps_[1].offset <= from)
        stamps_.pop_front();
}

std::string stream_clock::utc(uint64_t sample, double rate) const {
    if (stamps_.empty())
        return {};
    auto at = stamps_.begin();
    for (auto next = at + 1; next != stamps_.end() && next->offset <= sample; ++next)
        at = next;
    // Whole seconds apart from the fraction, so that milliseconds survive a 1.7e9 s epoch.
    const double since = (static_cast<double>(sample) - static_cast<double>(at->offset)) / rate;
    const double whole = std::floor(since);
    double fraction = at->fraction + (since - whole);
    auto seconds = static_cast<int64_t>(at->seconds) + static_cast<int64_t>(whole);
    if (fraction >= 1.0) {
        fraction -= 1.0;
        ++seconds;
    }
    const auto ms = static_cast<int>(std::floor(fraction * 1000.0));
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[96]; // room for any int fields, which -Wformat-truncation counts
    (void)std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                        tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return text;
}

pmt::pmt_t report_dict(const rsid_detection& d, uint64_t sample, double rate, bool band,
                       const stream_clock& clock) {
    pmt::pmt_t dict = pmt::make_dict();
    auto put = [&dict](const char* key, const pmt::pmt_t& value) {
        dict = pmt::dict_add(dict, pmt::mp(key), value);
    };
    put("code", pmt::from_long(d.code));
    put("freq_hz", pmt::from_double(d.freq_hz));
    if (band)
        put("offset_hz", pmt::from_double(d.offset_hz));
    put("time_s", pmt::from_double(static_cast<double>(sample) / rate));
    put("sample", pmt::from_uint64(sample));
    put("rate", pmt::from_double(rate));
    put("snr_db", pmt::from_double(d.snr_db));
    put("level_dbfs", pmt::from_double(d.level_dbfs));
    put("channel", pmt::from_long(d.channel));
    if (clock.known())
        put("utc", pmt::string_to_symbol(clock.utc(sample, rate)));
    return dict;
}

} // namespace gr::rsid
