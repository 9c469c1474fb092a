// search.cpp - tone tracking and code search over rows of spectrum magnitudes.
#include "rsid_state.h"

namespace {

int clamp_column(int v) { return v < 0 ? 0 : (v > 334 ? 334 : v); }

} // namespace

// Writes the strongest of the 16 tones of columns first, first + 2, ... below limit into the
// newest history row. The winner is a running maximum over the sliding window of entries
// index .. index + 30 (step 2); ties go to the lowest entry, exactly as a full scan would.
void rsid_tone_row(rsid_receiver& rx, const int32_t* magnitudes, int first, int limit) {
    uint8_t* row = rx.tone_history[rx.history_row];
    int winner = -1;
    for (int index = first; index < limit; index += 2) {
        if (winner < index) { // first column, or the winner has just left the window
            winner = index;
            for (int b = index + 2; b <= index + 30; b += 2) {
                if (magnitudes[b] > magnitudes[winner])
                    winner = b;
            }
        } else if (magnitudes[index + 30] > magnitudes[winner]) {
            winner = index + 30; // only the newly entered entry can beat the held winner
        }
        row[index] = static_cast<uint8_t>((winner - index) / 2);
    }
}

// Mismatches between the codeword and column c over 15 rows one symbol (two passes) apart,
// oldest row first; counting stops at 2.
int rsid_distance(const rsid_receiver& rx, int column) {
    int r = (rx.history_row + 1) % 29; // the oldest row, written 28 passes ago
    int n = 0;
    for (int j = 0; j < 15; ++j) {
        if (rx.tone_history[r][column] != rx.rx_codeword[j] && ++n == 2)
            return 2;
        r = (r + 2) % 29;
    }
    return n;
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
