#include "detector_impl.h"

#include <gnuradio/io_signature.h>

#include <cstring>

namespace gr::rsid {

detector::sptr detector::make(double samp_rate, const std::vector<int>& codes) {
    return gnuradio::make_block_sptr<detector_impl>(samp_rate, codes);
}

namespace {
rsid_detector* new_detector(double rate, const std::vector<int>& codes) {
    const std::vector<int32_t> wanted(codes.begin(), codes.end());
    const rsid_detector_options options = rule_options(wanted);
    rsid_detector* d = nullptr;
    check(rsid_detector_new_with(&d, rate, &options), "rsid.detector");
    return d;
}
} // namespace

detector_impl::detector_impl(double samp_rate, const std::vector<int>& codes)
    : gr::block("detector", gr::io_signature::make(1, 1, sizeof(float)),
                gr::io_signature::make(0, 1, sizeof(float))),
      rate_(samp_rate), det_(new_detector(samp_rate, codes)) {
    message_port_register_out(pmt::mp("detections"));
}

void detector_impl::publish() {
    rsid_detection found[16];
    size_t n;
    while ((n = rsid_detector_read(det_.get(), found, 16)) > 0)
        for (size_t i = 0; i < n; ++i) {
            const uint64_t sample = base_ + static_cast<uint64_t>(found[i].sample);
            message_port_pub(pmt::mp("detections"),
                             report_dict(found[i], sample, rate_, false, clock_));
        }
}

// A flowgraph stopped from outside (tb.stop()) ends the stream too; the message neighbours
// may be gone by then (see reports.h), so this is the fallback, not the rule.
bool detector_impl::stop() {
    if (!fresh_) {
        check(rsid_detector_finish(det_.get()), "rsid.detector");
        publish();
        fresh_ = true;
    }
    return true;
}

void detector_impl::forecast(int noutput_items, gr_vector_int& ninput_items_required) {
    ninput_items_required[0] = input_needed(*this, noutput_items);
}

int detector_impl::general_work(int noutput_items, gr_vector_int& ninput_items,
                                gr_vector_const_void_star& input_items,
                                gr_vector_void_star& output_items) {
    const auto* in = static_cast<const float*>(input_items[0]);
    const input_take take =
        take_input(*this, ninput_items[0], output_items.empty() ? ninput_items[0] : noutput_items);
    const auto n = static_cast<size_t>(take.count);
    const uint64_t first = nitems_read(0);
    if (fresh_) {
        base_ = first;
        fresh_ = false;
    }
    std::vector<tag_t> tags;
    get_tags_in_window(tags, 0, 0, n, pmt::mp("rx_time"));
    for (const tag_t& t : tags)
        clock_.stamp(t.offset, t.value);

    check(rsid_detector_feed_f32(det_.get(), in, n), "rsid.detector");
    publish();
    if (take.last)
        stop();
    // An identifier lasts 1.4 s and is reported within seconds of its end: a minute back is
    // further than any report can start.
    const auto keep = static_cast<uint64_t>(60.0 * rate_);
    if (first > keep)
        clock_.forget_before(first - keep);

    if (!output_items.empty())
        std::memcpy(output_items[0], in, n * sizeof(float));
    consume_each(take.count);
    return output_items.empty() ? 0 : take.count;
}

} // namespace gr::rsid
