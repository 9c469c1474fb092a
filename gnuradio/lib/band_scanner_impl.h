// band_scanner_impl.h - rsid.band_scanner over the engine's C API: one rsid_scanner (cf32) per
// block, made again at every retune.
#ifndef RSID_GNURADIO_BAND_SCANNER_IMPL_H
#define RSID_GNURADIO_BAND_SCANNER_IMPL_H

#include "reports.h"
#include <gnuradio/rsid/band_scanner.h>

#include <mutex>
#include <optional>

namespace gr::rsid {

class band_scanner_impl : public band_scanner {
  public:
    band_scanner_impl(double samp_rate, double center_freq, const std::vector<int>& codes);

    void set_center_freq(double center_freq) override;
    double center_freq() const override;

    bool stop() override;
    void forecast(int noutput_items, gr_vector_int& ninput_items_required) override;
    int general_work(int noutput_items, gr_vector_int& ninput_items,
                     gr_vector_const_void_star& input_items,
                     gr_vector_void_star& output_items) override;

  private:
    void feed(const gr_complex* frames, size_t count);
    void retune(uint64_t at, double center);
    void publish();

    double rate_;                // input rate [complex samples/s]
    double center_;              // centre of the band the scanner hears now [Hz]
    std::vector<int32_t> codes_; // looked for (none: the engine's default)
    scanner_handle scan_;        // the engine's scanner, made for center_
    stream_clock clock_;         // from rx_time tags
    uint64_t base_ = 0;          // input sample at which the scanner's stream began
    bool fresh_ = true;          // no sample fed since construction, a retune or stop()

    mutable std::mutex pending_mutex_;
    std::optional<double> pending_; // set_center_freq's value, for the next work()
};

} // namespace gr::rsid

#endif
