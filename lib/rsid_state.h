// rsid_state.h - module state and internal routines shared inside lib/ (never installed).
#ifndef RSID_STATE_H
#define RSID_STATE_H

#include <cstdint>

// Receiver group. Everything from sample_buf on (except the tables and the search range) is
// stream state: it has its initial value once, at load, and no call resets it.
struct rsid_receiver {
    int32_t rx_code = 131;        // identifier code looked for; never changed
    uint8_t rx_codeword[15] = {}; // codeword of (rx_code & 0xFF), set by rsid_init
    int32_t search_start = 0;     // first candidate column
    int32_t search_end = 0;       // candidate columns lie below search_end - 30

    double sample_buf[1114] = {}; // current analysis frame (6000 samples/s)
    int32_t fill = 0;             // valid samples in sample_buf; index of the next write
    int32_t hop = 279;            // samples dropped after the next analysis (279, 278, ...)
    double window_table[1114] = {};
    double cos_table[1114] = {};
    double sin_table[1114] = {};
    int32_t magnitudes[334] = {}; // truncated magnitudes of DFT bins 111 to 444

    uint8_t tone_history[29][400] = {}; // ring of tone decisions, one byte per column
    int32_t history_row = 0;            // newest row of tone_history
    int32_t pending = 0;                // a match is held back, not yet reported
    int32_t best_code = 0;
    int32_t best_bin = 0; // column of the held match
    int32_t best_distance = 0;
    int32_t detected_code = 0;
    int32_t detected_bin = 0; // absolute DFT bin of tone 0 of the last report
    int32_t detected_distance = 0;
};

// Transmitter group.
struct rsid_transmitter {
    uint8_t tx_codeword[15] = {};
    double tx_base_freq = 1500.0; // frequency of tone 0 [Hz]
    double tx_phase = 0.0;        // oscillator phase [rad]
    double tx_phase_step = 0.0;   // phase advance per output sample [rad]
    int32_t tx_sample = 0;        // samples already sent of the current symbol (0 to 4455)
    int32_t tx_symbol = 0;        // symbol being sent (0 to 14; 15 and above: finished)
};

extern rsid_receiver rsid_rx;
extern rsid_transmitter rsid_tx;

// Code search (rx/search.cpp).
void rsid_tone_row(const int32_t* magnitudes, int first, int limit);
int rsid_distance(int column);

// Spectrum (rx/spectrum.cpp): magnitudes of bins 111..444 of the Hann-windowed frame.
void rsid_spectrum(const double* frame, int32_t* magnitudes);
void rsid_spectrum_tables(); // derives the spectrum's own tables from cos_table and sin_table

// The instruction-set paths of the spectrum. Every path gives the same magnitudes bit for bit;
// init_rsid picks the widest the CPU runs. Exposed for tests and benchmarks.
enum rsid_path { rsid_path_baseline = 0, rsid_path_avx = 1, rsid_path_count = 2 };
bool rsid_path_supported(int path);
void rsid_spectrum_on(int path, const double* frame, int32_t* magnitudes);

#endif
