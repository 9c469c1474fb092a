/* rsid.h - identification-signal generator and detector (C ABI).
 *
 * The signal carries a 12-bit code as 15 successive tones, each one of 16 frequencies
 * 10.7666 Hz apart above a base frequency; the 15 tone numbers are a Reed-Solomon codeword
 * over GF(16). The library holds one generator (transmitter side) and one detector (receiver
 * side) in static state. One thread may drive the transmitter while another drives the
 * receiver; calls on the same side must not overlap. RsIdEncode may be called from anywhere.
 * The library allocates nothing and does no I/O. */
#ifndef RSID_H
#define RSID_H

#include <stdint.h>

#if defined(_WIN32) && defined(RSID_BUILD) /* RSID_BUILD: set by CMake for the library only */
#define RSID_API __declspec(dllexport)
#elif defined(_WIN32)
#define RSID_API __declspec(dllimport)
#else
#define RSID_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the 15-symbol codeword of a 12-bit code to out[0..14], one symbol (0 to 15) per byte;
 * symbol j is the coefficient of x^j of the code polynomial. code must lie in 0 to 4095.
 * Returns 0. For a code outside 0..4095 or a null out, writes nothing and returns -1.
 * Reentrant: uses no library state. */
RSID_API int RsIdEncode(int code, uint8_t* out);

/* Arms the generator with the codeword of code 131 and a base frequency in Hz (the frequency of
 * tone 0; tone s lies s * 10.7666 Hz above it). Restarts the sequence from its first sample
 * with phase 0, even in the middle of a sequence. Returns 0.
 * Transmitter side. */
RSID_API int rsid_encode(double base_freq);

/* Writes the next 1920 samples (48000 samples/s, signed 16-bit, peak 20000) of the armed
 * sequence to out[0..1919]. The sequence is 15 tones of 4456 samples (1.3925 s) in one
 * continuous-phase sine. Returns 1 while symbols remain, 0 once the sequence is complete: the
 * block that comes with 0 still holds the last samples, followed by silence, and every later
 * block is silence. Before any rsid_encode it sends 15 tones of tone 0 at 1500 Hz.
 * A null out writes nothing, changes nothing and returns 0. Transmitter side. */
RSID_API int rsid_get(int16_t* out);

/* Sets the detector's search range: candidate columns c (tone 0 at DFT bin 111 + c) are those
 * with first <= c < end - 30. Both are clamped into 0..334. Keeps the audio buffered so far,
 * the tone history and a match not yet reported. Returns 1.
 * Receiver side; init_rsid calls it with 0 and 334. */
RSID_API int rsid_init(int first, int end);

/* One search pass over a row of 334 spectrum magnitudes (DFT bins 111 to 444), as the detector
 * makes every half symbol. Returns 1 and writes the code, the column of tone 0 and the number
 * of mismatching symbols (0 or 1; 100 after an rsid_init while a match was held) of a
 * recognition when one is reported, else returns 0 and writes nothing. A match is reported on
 * the first pass after the passes that matched. With any null pointer it does nothing and
 * returns 0. Receiver side. */
RSID_API int rsid_search_amp(const int32_t* magnitudes, int32_t* code, int32_t* bin,
                             int32_t* distance);

/* Prepares the detector: builds its window and DFT tables and sets the full search range
 * (rsid_init(0, 334)). Call once before rsid_check; calling again keeps the audio buffered,
 * the tone history and a match not yet reported. Returns 1. Receiver side. */
RSID_API int init_rsid(void);

/* Feeds the next 960 audio samples (6000 samples/s, on the scale of 16-bit integer samples,
 * not normalised to +-1) to the detector. Returns 1 when the identifier was recognised in this
 * block; the samples of the block after the point of recognition are then not taken in.
 * Returns 0 otherwise. A null samples pointer takes nothing in and returns 0. Receiver side. */
RSID_API int rsid_check(const double* samples);

/* Returns the audio frequency in Hz at which tone 0 of the last recognition was heard, or
 * 2.69165 before any recognition. Receiver side. */
RSID_API double getrsfreq(void);

#ifdef __cplusplus
}
#endif

#endif /* RSID_H */
