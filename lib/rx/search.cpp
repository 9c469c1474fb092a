// search.cpp - tone tracking and code search over rows of spectrum magnitudes.
#include "rsid_state.h"
#include "search_rules.h"

namespace {

int clamp_column(int v) { return v < 0 ? 0 : (v > 334 ? 334 : v); }

} // namespace

void rsid_tone_row(rsid_receiver& rx, const int32_t* magnitudes, int first, int limit) {
    rsid_tone_decisions(rx.tone_history[rx.history_row], magnitudes, first, limit);
}

// Codeword symbol j is compared with the row written 28 - 2j passes before the newest one.
void rsid_compared_rows(const rsid_receiver& rx, const uint8_t** rows) {
    int r = (rx.history_row + 1) % 29; // the oldest row, written 28 passes ago
    for (int j = 0; j < 15; ++j, r = (r + 2) % 29)
        rows[j] = rx.tone_history[r];
}

int rsid_distance(const rsid_receiver& rx, int column) {
    const uint8_t* rows[15];
    rsid_compared_rows(rx, rows);
    return rsid_column_distance(rows, rx.rx_codeword, column);
}

void rsid_search_init(rsid_receiver& rx, int first, int end) {
    // Outside 0..334 the search would write before the history or read past the magnitudes.
    rx.search_start = clamp_column(first);
    rx.search_end = clamp_column(end);
    rsid_codeword(rx.rx_code & 0xFF, rx.rx_codeword);
    rx.best_distance = 100;
}

void rsid_tone_pass(rsid_receiver& rx, const int32_t* magnitudes) {
    const int limit = rx.search_end - 30;
    rx.history_row = (rx.history_row + 1) % 29;
    rsid_tone_row(rx, magnitudes, rx.search_start, limit);     // even offsets from search_start
    rsid_tone_row(rx, magnitudes, rx.search_start + 1, limit); // and the columns in between
}

int rsid_search_pass(rsid_receiver& rx, const int32_t* magnitudes, int32_t* code, int32_t* bin,
                     int32_t* distance) {
    if (magnitudes == nullptr || code == nullptr || bin == nullptr || distance == nullptr)
        return 0;
    rsid_tone_pass(rx, magnitudes);

    int best = 99;
    int found = -1;
    for (int c = rx.search_start; c < rx.search_end - 30; ++c) {
        int d = rsid_distance(rx, c);
        if (d < 2 && d < best) { // strict: among equal distances the lowest column wins
            best = d;
            found = c;
        }
    }

    if (found >= 0) {
        // Hold the match back; within a run of matching passes a later one replaces it
        // unless its distance is higher. The first pass of a run is always kept.
        if (rx.pending == 0 || best <= rx.best_distance) {
            rx.best_code = rx.rx_code & 0xFF;
            rx.best_bin = found;
            rx.best_distance = best;
        }
        rx.pending = 1;
        return 0;
    }
    if (rx.pending == 0)
        return 0;
    *code = rx.best_code;
    *bin = rx.best_bin;
    *distance = rx.best_distance;
    rx.pending = 0;
    return 1;
}
