#include "band_scanner_impl.h"

#include <gnuradio/io_signature.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace gr::rsid {

band_scanner::sptr band_scanner::make(double samp_rate, double center_freq,
                                      const std::vector<int>& codes) {
    return gnuradio::make_block_sptr<band_scanner_impl>(samp_rate, center_freq, codes);
}

namespace {
rsid_scanner* new_scanner(double rate, double center, const std::vector<int32_t>& codes) {
    const rsid_detector_options options = rule_options(codes);
    rsid_scanner* s = nullptr;
    check(rsid_scanner_new_with(&s, rate, center, RSID_CF32, &options), "rsid.band_scanner");
    return s;
}
} // namespace

band_scanner_impl::band_scanner_impl(double samp_rate, double center_freq,
                                     const std::vector<int>& codes)
    : gr::block("band_scanner", gr::io_signature::make(1, 1, sizeof(gr_complex)),
                gr::io_signature::make(0, 1, sizeof(gr_complex))),
      rate_(samp_rate), center_(center_freq), codes_(codes.begin(), codes.end()),
      scan_(new_scanner(samp_rate, center_freq, codes_)) {
    message_port_register_out(pmt::mp("detections"));
}

void band_scanner_impl::set_center_freq(double center_freq) {
    if (!std::isfinite(center_freq))
        throw std::invalid_argument("rsid.band_scanner: centre frequency not finite");
    const std::lock_guard<std::mutex> lock(pending_mutex_);
    pending_ = center_freq;
}

double band_scanner_impl::center_freq() const {
    const std::lock_guard<std::mutex> lock(pending_mutex_);
    return pending_.value_or(center_);
}

void band_scanner_impl::publish() {
    rsid_detection found[16];
    size_t n;
    while ((n = rsid_scanner_read(scan_.get(), found, 16)) > 0)
        for (size_t i = 0; i < n; ++i) {
            const uint64_t sample = base_ + static_cast<uint64_t>(found[i].sample);
            message_port_pub(pmt::mp("detections"),
                             report_dict(found[i], sample, rate_, true, clock_));
        }
}

void band_scanner_impl::feed(const gr_complex* frames, size_t count) {
    if (count == 0)
        return;
    check(rsid_scanner_feed(scan_.get(), frames, count), "rsid.band_scanner");
    fresh_ = false;
    publish();
}

// What was heard before the retune is one stream, ended here; the band after it is another,
// whose reports count from sample `at` and carry the new centre.
void band_scanner_impl::retune(uint64_t at, double center) {
    if (center == center_)
        return;
    scanner_handle next(
        new_scanner(rate_, center, codes_)); // refuses a bad centre before any change
    if (!fresh_) {
        check(rsid_scanner_finish(scan_.get()), "rsid.band_scanner");
        publish();
    }
    scan_ = std::move(next);
    center_ = center;
    base_ = at;
    fresh_ = true;
}

// As the detector's: the fallback when the flowgraph is stopped from outside.
bool band_scanner_impl::stop() {
    if (!fresh_) {
        check(rsid_scanner_finish(scan_.get()), "rsid.band_scanner");
        publish();
        fresh_ = true;
    }
    return true;
}

void band_scanner_impl::forecast(int noutput_items, gr_vector_int& ninput_items_required) {
    ninput_items_required[0] = input_needed(*this, noutput_items);
}

int band_scanner_impl::general_work(int noutput_items, gr_vector_int& ninput_items,
                                    gr_vector_const_void_star& input_items,
                                    gr_vector_void_star& output_items) {
    const auto* in = static_cast<const gr_complex*>(input_items[0]);
    const input_take take =
        take_input(*this, ninput_items[0], output_items.empty() ? ninput_items[0] : noutput_items);
    const auto n = static_cast<size_t>(take.count);
    const uint64_t first = nitems_read(0);
    if (fresh_)
        base_ = first;
    std::optional<double> asked;
    {
        const std::lock_guard<std::mutex> lock(pending_mutex_);
        asked.swap(pending_);
    }
    if (asked)
        retune(first, *asked);

    // Tags in sample order; each rx_freq retunes exactly at its sample.
    std::vector<tag_t> tags;
    get_tags_in_window(tags, 0, 0, n);
    std::stable_sort(tags.begin(), tags.end(), tag_t::offset_compare);
    uint64_t done = first;
    for (const tag_t& t : tags) {
        if (pmt::eqv(t.key, pmt::mp("rx_time"))) {
            clock_.stamp(t.offset, t.value);
        } else if (pmt::eqv(t.key, pmt::mp("rx_freq")) && pmt::is_real(t.value)) {
            feed(in + (done - first), static_cast<size_t>(t.offset - done));
            done = t.offset;
            retune(done, pmt::to_double(t.value));
        }
    }
    feed(in + (done - first), static_cast<size_t>(first + n - done));
    if (take.last)
        stop();
    const auto keep = static_cast<uint64_t>(60.0 * rate_); // as the detector's
    if (first > keep)
        clock_.forget_before(first - keep);

    if (!output_items.empty())
        std::memcpy(output_items[0], in, n * sizeof(gr_complex));
    consume_each(take.count);
    return output_items.empty() ? 0 : take.count;
}

} // namespace gr::rsid
