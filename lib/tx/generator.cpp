// generator.cpp - the tone sequence generator: code 131 as 15 continuous-phase tones.
#include "rsid_state.h"

#include <cmath>

namespace {

// Sample value of the oscillator at the given phase, truncated toward zero. A phase that has
// run off to infinity (a non-finite or enormous base frequency) has no sine; it sends silence
// rather than converting NaN to an integer.
int16_t tone_sample(double phase) {
    double v = std::sin(phase) * 20000.0; // peak amplitude on the 16-bit scale
    if (std::isnan(v))
        return 0;
    return static_cast<int16_t>(v); // |v| <= 20000: truncation is exact and in range
}

} // namespace

void rsid_tx_arm(rsid_transmitter& tx, double base_freq) {
    tx.tx_base_freq = base_freq;
    rsid_codeword(131, tx.tx_codeword);
    tx.tx_sample = 0;
    tx.tx_symbol = 0;
    tx.tx_phase = 0.0; // tx_phase_step is recomputed at the first sample of each symbol
}

int rsid_tx_get(rsid_transmitter& tx, int16_t* out) {
    if (out == nullptr)
        return 0;
    for (int i = 0; i < 1920; ++i) {
        if (tx.tx_symbol >= 15) {
            out[i] = 0;
            continue;
        }
        if (tx.tx_sample == 0) {
            // 10.7666 Hz per tone step; 0.00013089969395833334 = 6.28318531 / 48000 rad/Hz.
            tx.tx_phase_step =
                (tx.tx_codeword[tx.tx_symbol] * 10.7666 + tx.tx_base_freq) * 0.00013089969395833334;
        }
        // The sine is taken before the advance, so the first sample after arming is 0.
        out[i] = tone_sample(tx.tx_phase);
        tx.tx_phase += tx.tx_phase_step;
        if (tx.tx_phase >= 3.14159265)
            tx.tx_phase -= 6.28318531; // at most once per sample, so the phase never drifts
        if (++tx.tx_sample == 4456) {  // samples per tone at 48 kHz
            tx.tx_sample = 0;
            ++tx.tx_symbol;
        }
    }
    return tx.tx_symbol < 15 ? 1 : 0;
}
