// rsid_state.h - the library's state records and the internal routines that work on them,
// shared inside lib/ and with the engine (never installed).
//
// State is a value: a receiver or a transmitter is a plain record, and every routine takes the
// one it works on by reference. The eight exports wrap one static receiver and one static
// transmitter (exports.cpp); the engine keeps as many of its own as it likes. The tables that
// every receiver reads are one shared, read-only record built once per process.
#ifndef RSID_STATE_H
#define RSID_STATE_H

#include "rx/spectrum_kernel.h"

#include <cstdint>

// The window and the trigonometric tables of the 1114-point DFT, and the same tables in the
// spectrum's discrete-log order. Identical for every receiver, so built once and shared.
struct rsid_tables {
    double window_table[1114]; // Hann window
    double cos_table[1114];    // cos(2 pi i / 1114), angles past the half-way entry negative
    double sin_table[1114];
    rsid_log_tables log; // cos_table and sin_table in discrete-log order
    int path;            // the spectrum path this CPU runs fastest (rsid_path)
};

// Built at the first call, thread-safely; nothing runs at load.
const rsid_tables& rsid_shared_tables();

// A detector. Everything from sample_buf on is stream state: it starts at these values and no
// call but a fresh value resets it.
struct rsid_receiver {
    int32_t rx_code = 131;               // identifier code looked for; never changed
    uint8_t rx_codeword[15] = {};        // codeword of (rx_code & 0xFF), set by rsid_search_init
    int32_t search_start = 0;            // first candidate column
    int32_t search_end = 0;              // candidate columns lie below search_end - 30
    const rsid_tables* tables = nullptr; // null until the receiver is initialised: a zero window

    double sample_buf[1114] = {}; // current analysis frame (6000 samples/s)
    int32_t fill = 0;             // valid samples in sample_buf; index of the next write
    int32_t hop = 279;            // samples dropped after the next analysis (279, 278, ...)
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

// A tone generator.
struct rsid_transmitter {
    uint8_t tx_codeword[15] = {};
    double tx_base_freq = 1500.0; // frequency of tone 0 [Hz]
    double tx_phase = 0.0;        // oscillator phase [rad]
    double tx_phase_step = 0.0;   // phase advance per output sample [rad]
    int32_t tx_sample = 0;        // samples already sent of the current symbol (0 to 4455)
    int32_t tx_symbol = 0;        // symbol being sent (0 to 14; 15 and above: finished)
};

// The values behind the eight exports (exports.cpp).
extern rsid_receiver rsid_rx;
extern rsid_transmitter rsid_tx;

// Codeword (code/encode.cpp): -1 and nothing written for a code outside 0..4095 or a null out.
int rsid_codeword(int code, uint8_t* out);

// Generator (tx/generator.cpp).
void rsid_tx_arm(rsid_transmitter& tx, double base_freq);
int rsid_tx_get(rsid_transmitter& tx, int16_t* out); // 1920 samples; 1 while symbols remain

// Code search (rx/search.cpp).
void rsid_search_init(rsid_receiver& rx, int first, int end); // clamps both into 0..334
// Advances the history ring and writes the newest row of tone decisions for every candidate
// column: the first half of a search pass.
void rsid_tone_pass(rsid_receiver& rx, const int32_t* magnitudes);
void rsid_tone_row(rsid_receiver& rx, const int32_t* magnitudes, int first, int limit);
int rsid_distance(const rsid_receiver& rx, int column); // 0, 1 or 2 (two or more)
// The 15 history rows a distance compares, symbol 0 (the oldest) first.
void rsid_compared_rows(const rsid_receiver& rx, const uint8_t** rows);
// One whole pass: tone decisions, the lowest-distance column, the held match. Returns 1 and
// writes the held match when a run of matching passes has just ended.
int rsid_search_pass(rsid_receiver& rx, const int32_t* magnitudes, int32_t* code, int32_t* bin,
                     int32_t* distance);

// Front end (rx/frontend.cpp).
void rsid_receiver_init(rsid_receiver& rx); // the tables and the full search range
// Takes samples until the frame fills and an analysis is made (rx.magnitudes then holds its
// spectrum and the frame has advanced by one hop) or the samples run out. Returns the number of
// samples taken; *analysed says whether the last of them completed an analysis.
int rsid_intake(rsid_receiver& rx, const double* samples, int count, bool* analysed);
int rsid_receiver_check(rsid_receiver& rx, const double* samples); // 960 samples; 1 on a report
double rsid_receiver_freq(const rsid_receiver& rx);                // tone 0 of the last report [Hz]

// Spectrum (rx/spectrum.cpp): magnitudes of bins 111..444 of the Hann-windowed frame. With no
// tables (a receiver not yet initialised) every magnitude is 0, as a zero window gives.
void rsid_spectrum(const rsid_tables* tables, const double* frame, int32_t* magnitudes);

// The instruction-set paths of the spectrum. Every path gives the same magnitudes bit for bit;
// the shared tables name the widest the CPU runs. Exposed for tests and benchmarks.
enum rsid_path {
    rsid_path_baseline = 0,
    rsid_path_avx = 1,
    rsid_path_avx512 = 2,
    rsid_path_count = 3
};
bool rsid_path_supported(int path);
void rsid_spectrum_on(int path, const rsid_tables& tables, const double* frame,
                      int32_t* magnitudes);

#endif
