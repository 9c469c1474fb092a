/* detector.h - rsid.detector: every identifier in one stream of audio. */
#ifndef INCLUDED_RSID_DETECTOR_H
#define INCLUDED_RSID_DETECTOR_H

#include <gnuradio/block.h>

#include <gnuradio/rsid/api.h>
#include <vector>

namespace gr::rsid {

/*!
 * \brief Finds identifiers in audio (float, full scale +-1) at any rate from 1000 to 1536000/s.
 * \ingroup rsid
 *
 * \details
 * Publishes one PMT dict on the message port "detections" for every identifier heard, as
 * soon as it has ended: code, freq_hz (tone 0), time_s and sample (its start, counted from the
 * first input sample), rate, snr_db, level_dbfs and channel (0), the fields and meanings of
 * `rsid detect --json`. When the stream carries rx_time tags (the UHD convention: a tuple of
 * whole and fractional seconds since 1970), the dict also holds utc, the start as ISO 8601 UTC
 * with milliseconds. The end of the flowgraph flushes the stream, so an identifier in the last
 * samples is published too.
 *
 * The output is optional: connected, it passes the input through unchanged, tags included
 * (one sample behind until the input ends: see lib/reports.h).
 */
class RSID_GR_API detector : virtual public gr::block {
  public:
    typedef std::shared_ptr<detector> sptr;

    /*!
     * \param samp_rate input rate [samples/s], 1000 to 1536000
     * \param codes the codes looked for with the soft rule, as `rsid detect --codes`; empty:
     *        the engine's default (code 131)
     * Throws std::invalid_argument for a rate or code out of range.
     */
    static sptr make(double samp_rate, const std::vector<int>& codes = std::vector<int>());
};

} // namespace gr::rsid

#endif
