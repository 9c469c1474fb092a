/* band_scanner.h - rsid.band_scanner: every identifier anywhere in a band of I/Q. */
#ifndef INCLUDED_RSID_BAND_SCANNER_H
#define INCLUDED_RSID_BAND_SCANNER_H

#include <gnuradio/block.h>

#include <gnuradio/rsid/api.h>
#include <vector>

namespace gr::rsid {

/*!
 * \brief Finds identifiers anywhere in a band of complex samples (full scale 1), 6000 to 20e6/s.
 * \ingroup rsid
 *
 * \details
 * Publishes one PMT dict on the message port "detections" for every identifier heard: the
 * fields of `rsid scan --json` (code, freq_hz, offset_hz, time_s, sample, rate, snr_db,
 * level_dbfs, channel), where freq_hz is absolute, the band's centre plus offset_hz.
 *
 * The centre follows the source: an rx_freq tag (the UHD and osmocom convention, a double in
 * Hz) retunes at its own sample, exactly; set_center_freq() retunes at the first sample of the
 * next call to work(), as near to the source's retune as the buffers between them allow. A
 * retune ends the stream heard so far (identifiers that were complete are published) and
 * starts a new one, since the band's content moves. rx_time tags give utc, as for the detector.
 * The end of the flowgraph flushes the stream.
 *
 * The output is optional: connected, it passes the input through unchanged, tags included
 * (one sample behind until the input ends: see lib/reports.h).
 */
class RSID_GR_API band_scanner : virtual public gr::block {
  public:
    typedef std::shared_ptr<band_scanner> sptr;

    /*!
     * \param samp_rate input rate [complex samples/s], 6000 to 20e6
     * \param center_freq frequency of the band's centre [Hz]; 0 gives baseband frequencies
     * \param codes the codes looked for with the soft rule, as `rsid scan --codes`; empty:
     *        the engine's default (code 131)
     * Throws std::invalid_argument for a rate, centre or code out of range.
     */
    static sptr make(double samp_rate, double center_freq,
                     const std::vector<int>& codes = std::vector<int>());

    //! Retunes to a new centre [Hz]; safe from any thread while the flowgraph runs.
    virtual void set_center_freq(double center_freq) = 0;
    //! The centre [Hz] reports are given against now, or will be after a pending retune.
    virtual double center_freq() const = 0;
};

} // namespace gr::rsid

#endif
