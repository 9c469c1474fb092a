// detection.h - what the engine reports for one identifier: the one record every host prints,
// publishes or returns (the tool's text and JSON, Python's Detection, the browser's objects).
#ifndef RSID_ENGINE_DETECTION_H
#define RSID_ENGINE_DETECTION_H

#include <cstdint>

namespace rsid {

struct detection {
    int code = 0;         // identifier code heard (131)
    int bin = 0;          // DFT bin of tone 0 at 6000 samples/s, as the library's getrsfreq uses it
    int distance = 0;     // tones of the best match that differ from the codeword: 0 or 1
    double freq_hz = 0.0; // frequency of tone 0, interpolated between bins [Hz]
    double offset_hz = 0.0; // band scans: tone 0 against the band's centre (I/Q) or 0 Hz [Hz]

    // Where the identifier started: detector samples (6000/s) from the start of the stream,
    // fractional; then the same instant as a sample index at the host's input rate.
    double start = 0.0;
    int64_t sample = 0;
    double rate = 6000.0; // the input rate that sample counts in [samples/s]
    double time_s = 0.0;  // sample / rate [s]

    // How strong it was, over the 15 tones of the best match: the tones' peak amplitude against
    // full scale of the input (a full-scale sine is 0 dBFS), and the tones' power against the
    // noise power in 3 kHz, the noise estimated from the other bins of the column.
    double level_dbfs = 0.0;
    double snr_db = 0.0;

    int channel = 0; // 1-based channel of the input; 0 for a mono stream or a mix
};

} // namespace rsid

#endif
