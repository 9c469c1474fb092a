// row_spectrum.h - the soft rule's rows: the library's spectrum of a frame, to rounding, at
// about half its cost.
//
// The library's spectrum (rx/spectrum.cpp) is exact: every path gives the same magnitudes bit
// for bit, the same products as the direct DFT. The soft rule weighs energies against noise and
// needs no more than the magnitudes to rounding, so its rows take one correlation where the
// library takes two (row_spectrum_kernel.h): the same window, scale and truncation, with sums
// that differ from the library's in their last bits only.
#ifndef RSID_ENGINE_ROW_SPECTRUM_H
#define RSID_ENGINE_ROW_SPECTRUM_H

#include <cstdint>

namespace rsid {

// Magnitudes of bins 111..444 of a frame of 1114 samples at 6000/s on the library's scale:
// those of rsid_spectrum, but that an entry may differ by one unit where the sums round the
// other side of a whole number. On the path this CPU runs fastest (timed at the first call).
void row_spectrum(const double* frame, int32_t* magnitudes);
// The same on one path (rsid_path); the baseline where this CPU cannot run it. Every path gives
// the same magnitudes bit for bit.
void row_spectrum_on(int path, const double* frame, int32_t* magnitudes);

} // namespace rsid

#endif
