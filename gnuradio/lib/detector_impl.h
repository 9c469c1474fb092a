// detector_impl.h - rsid.detector over the engine's C API: one rsid_detector per block.
#ifndef RSID_GNURADIO_DETECTOR_IMPL_H
#define RSID_GNURADIO_DETECTOR_IMPL_H

#include "reports.h"
#include <gnuradio/rsid/detector.h>

namespace gr::rsid {

class detector_impl : public detector {
  public:
    detector_impl(double samp_rate, const std::vector<int>& codes);

    bool stop() override;
    void forecast(int noutput_items, gr_vector_int& ninput_items_required) override;
    int general_work(int noutput_items, gr_vector_int& ninput_items,
                     gr_vector_const_void_star& input_items,
                     gr_vector_void_star& output_items) override;

  private:
    void publish();

    double rate_;         // input rate [samples/s]
    detector_handle det_; // the engine's detector
    stream_clock clock_;  // from rx_time tags
    uint64_t base_ = 0;   // input sample at which the engine's stream began
    bool fresh_ = true;   // no sample fed since construction or stop()
};

} // namespace gr::rsid

#endif
