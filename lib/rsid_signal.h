// rsid_signal.h - the numbers of the signal, named once for the engine, the hosts and the tests
// (never installed; lib/ itself writes them where they are used, with a note on each).
#ifndef RSID_SIGNAL_H
#define RSID_SIGNAL_H

namespace rsid_signal {

// Transmitter: the generator's output.
inline constexpr int tx_rate = 48000;          // samples/s
inline constexpr int tx_block = 1920;          // samples per rsid_get call
inline constexpr int symbol_tx_samples = 4456; // samples per tone at 48000/s
inline constexpr int symbols = 15;             // tones per identifier
inline constexpr int sequence_tx_samples = symbols * symbol_tx_samples; // 66840: 1.3925 s
inline constexpr int peak = 20000; // peak sample value on the 16-bit scale
inline constexpr double tone_spacing_hz = 10.7666;
inline constexpr int code = 131; // the identifier sent and looked for

// Receiver: the detector's input and analysis.
inline constexpr int rx_rate = 6000;                   // samples/s
inline constexpr int rx_block = 960;                   // samples per rsid_check call
inline constexpr int decimation = tx_rate / rx_rate;   // 8
inline constexpr int symbol_rx_samples = 557;          // 4456 / 8
inline constexpr int frame = 1114;                     // analysis frame: two symbols
inline constexpr double hop_mean = 278.5;              // frames advance 279, 278, 279, ...
inline constexpr int first_bin = 111;                  // DFT bin of magnitude entry 0
inline constexpr int bins = 334;                       // magnitude entries: bins 111 to 444
inline constexpr int columns = bins - 30;              // candidate columns of tone 0: 0 to 303
inline constexpr int history_rows = 29;                // rows of tone decisions kept
inline constexpr double bin_width_hz = 5.3833;         // the width getrsfreq reports with
inline constexpr double true_bin_hz = 6000.0 / 1114.0; // 5.38600: the DFT's actual bin width
inline constexpr double full_scale = 32768.0;          // input scale: 16-bit samples

} // namespace rsid_signal

#endif
