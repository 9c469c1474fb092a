// search_rules.h - the rules of the code search, for the library's receiver and for every wider
// search built on it (the engine's band scanner): tone decisions over 16 entries two apart, and
// the mismatch count of a column over 15 rows one symbol apart, stopping at two.
#ifndef RSID_SEARCH_RULES_H
#define RSID_SEARCH_RULES_H

#include <cstdint>

// Writes the strongest of the 16 tones of columns first, first + 2, ... below limit into row.
// The winner is a running maximum over the sliding window of entries index .. index + 30
// (step 2); ties go to the lowest entry, exactly as a full scan would.
template <typename Magnitude>
void rsid_tone_decisions(uint8_t* row, const Magnitude* magnitudes, int first, int limit) {
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

// Mismatches between the codeword and the column over the 15 rows one symbol apart, oldest
// (symbol 0) first; counting stops at 2.
inline int rsid_column_distance(const uint8_t* const* rows, const uint8_t* codeword, int column) {
    int n = 0;
    for (int j = 0; j < 15; ++j) {
        if (rows[j][column] != codeword[j] && ++n == 2)
            return 2;
    }
    return n;
}

// The same counts for every column in first .. limit - 1 at once, column-parallel: out[c] is the
// number of mismatches, capped at 2. Equal to rsid_column_distance column by column; this form
// suits wide searches, where the early stop saves less than the loop over columns costs.
inline void rsid_row_distances(const uint8_t* const* rows, const uint8_t* codeword, int first,
                               int limit, uint8_t* out) {
    for (int c = first; c < limit; ++c)
        out[c] = 0;
    for (int j = 0; j < 15; ++j) {
        const uint8_t* row = rows[j];
        const uint8_t symbol = codeword[j];
        for (int c = first; c < limit; ++c)
            out[c] = static_cast<uint8_t>(out[c] + (row[c] != symbol ? 1 : 0));
    }
    for (int c = first; c < limit; ++c)
        out[c] = out[c] < 2 ? out[c] : 2;
}

#endif
