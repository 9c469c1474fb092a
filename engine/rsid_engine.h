/* rsid_engine.h - the engine as a C ABI: detectors for audio at any rate, band scanners for I/Q
 * or wide audio, and the identifier as samples at any rate (librsid-engine.so).
 *
 * Plain C99; includes only <stddef.h> and <stdint.h>; compiles as C and as C++.
 *
 * Handles. rsid_detector and rsid_scanner are opaque values made by *_new and released by
 * *_free. Any number may live in one process. A handle is used by one thread at a time (the
 * caller serialises calls on it); different handles may run on different threads at once. The
 * tables every handle shares are built once, safely, on first use.
 *
 * Reports. Feeding a handle runs its analysis; every identifier that ended is queued in the
 * handle, in the order it ended, until the caller pops it with *_read. The same samples give
 * the same reports whatever the chunk sizes, and the same reports as `rsid detect --json` and
 * `rsid scan --json` give for them.
 *
 * Errors. Every call that can fail returns 0 or a negative RSID_E* code (rsid_engine_strerror
 * names it). A refused call changes nothing: a NULL handle or pointer, a rate out of range,
 * NaN or Inf where a number is needed, an unknown format and a count whose bytes overflow
 * size_t are all refused before any state is touched. Non-finite samples are not errors: they
 * are taken as 0. An allocation failure is RSID_ENOMEM, never an abort. Nothing the library
 * raises internally crosses this interface.
 *
 * How the ABI grows, without breaking a caller built against an older header:
 *   - the functions and the layout of rsid_detection below never change within a SONAME
 *     (librsid-engine.so.MAJOR); new abilities arrive as new functions;
 *   - options come in structs whose first member, size, the caller sets to sizeof the struct
 *     as its header declared it (RSID_*_OPTIONS_INIT does so). Fields are only ever appended;
 *     the library reads the fields that size covers and takes defaults for the rest, and
 *     refuses a size smaller than the first version's. New detector or scanner settings are
 *     new fields of these structs;
 *   - a new field of the report would come with a new read function taking the caller's
 *     struct size, leaving rsid_detection and its readers as they are;
 *   - RSID_E* codes may be added; callers should treat any negative value as an error.
 */
#ifndef RSID_ENGINE_H
#define RSID_ENGINE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(RSID_ENGINE_BUILD) /* set by CMake for the library only */
#define RSID_ENGINE_API __declspec(dllexport)
#elif defined(_WIN32)
#define RSID_ENGINE_API __declspec(dllimport)
#else
#define RSID_ENGINE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct rsid_detector rsid_detector; /* narrowband: audio at any rate */
typedef struct rsid_scanner rsid_scanner;   /* a whole band: I/Q or wide real audio */

/* One identifier heard. The same record, field for field, as a detection of `rsid detect
 * --json` or `rsid scan --json` (io/records/detection.schema.json), there rounded for printing. */
typedef struct rsid_detection {
    int32_t code;      /* identifier code heard (0 to 4095) */
    int32_t channel;   /* 1-based channel, 0 for mono or a mix (see rsid_detector_options) */
    double freq_hz;    /* tone 0 [Hz]; a scanner's is absolute: its centre plus offset_hz */
    double offset_hz;  /* scanner: tone 0 against the band's centre [Hz]; detector: 0 */
    int64_t sample;    /* start, in the input's own samples (scanner: frames) from the start of
                          the stream, >= 0 */
    double time_s;     /* sample / rate [s] */
    double snr_db;     /* the tones' power against the noise in 3 kHz [dB] */
    double level_dbfs; /* the tones' peak amplitude against full scale [dB] */
} rsid_detection;

/* Error codes: every failing call returns one of these (negative); success is 0. */
enum {
    RSID_OK = 0,
    RSID_EINVAL = -1, /* a NULL handle or pointer, an unknown format or option size, a count
                         whose bytes overflow size_t */
    RSID_ERANGE = -2, /* a rate or frequency outside what is supported, or NaN or Inf */
    RSID_ENOMEM = -3, /* memory could not be allocated; the handle is as before the call */
    RSID_EFAILED = -4 /* an internal failure (the resampler refused); should not happen */
};

/* The library's version, "MAJOR.MINOR.PATCH"; a static string. The SONAME carries MAJOR. */
RSID_ENGINE_API const char* rsid_engine_version(void);

/* A static English description of an error code (or "success" for 0); never NULL, also for
 * codes it does not know. */
RSID_ENGINE_API const char* rsid_engine_strerror(int error);

/* ---- Detector: one stream of audio at any rate ------------------------------------------ */

/* Makes a detector for mono audio at rate samples/s (1000 to 1536000; a rate that is not
 * 6000 is converted by the resampler, soxr). On success sets *out and returns 0; on failure
 * returns RSID_EINVAL (out is NULL), RSID_ERANGE (rate out of range, NaN or Inf) or
 * RSID_ENOMEM, and leaves *out alone. Free it with rsid_detector_free. */
RSID_ENGINE_API int rsid_detector_new(rsid_detector** out, double rate);

/* Settings beyond the rate; see "How the ABI grows" above. */
typedef struct rsid_detector_options {
    size_t size;     /* sizeof(rsid_detector_options): set by RSID_DETECTOR_OPTIONS_INIT */
    int32_t channel; /* written into every report's channel (0, the default: mono or a mix); a
                        host running one detector per channel numbers them from 1 */
    /* Added after the first version (read only when size reaches them): the rule that decides,
       and the codes it looks for. */
    int32_t rule;         /* RSID_RULE_DEFAULT (0), RSID_RULE_EXACT or RSID_RULE_SOFT */
    int32_t all_codes;    /* RSID_RULE_SOFT: nonzero looks for every code but the 16 steady
                             carriers (codes, when given, are looked for too) */
    const int32_t* codes; /* RSID_RULE_SOFT: the codes looked for, 0 to 4095; NULL with
                             code_count 0: 131 alone. Copied: the caller may free them. */
    size_t code_count;
} rsid_detector_options;
#define RSID_DETECTOR_OPTIONS_INIT                                                                 \
    { sizeof(rsid_detector_options), 0, RSID_RULE_DEFAULT, 0, NULL, 0 }

/* Rules. EXACT is the library's: code 131, hard tone decisions, at most one tone of 15 wrong.
 * SOFT sums the energy of each candidate codeword's tones against the noise around them, hears
 * identifiers several dB weaker at the same false-alarm budget (one report a day of noise),
 * and can look for any code. DEFAULT is the engine's choice, which hosts of this version get
 * when they do not say: SOFT, for code 131 (EXACT before version 0.2.0). */
enum { RSID_RULE_DEFAULT = 0, RSID_RULE_EXACT = 1, RSID_RULE_SOFT = 2 };

/* rsid_detector_new with options; options may be NULL for the defaults. Also RSID_EINVAL for a
 * size below the first version's, a negative channel, an unknown rule, codes NULL with a
 * code_count, or codes and all_codes with the exact rule; RSID_ERANGE for a code outside 0 to
 * 4095. A caller built against the first version (size up to channel) gets the default rule. */
RSID_ENGINE_API int rsid_detector_new_with(rsid_detector** out, double rate,
                                           const rsid_detector_options* options);

/* Takes count mono samples on the +-1 scale (a full-scale sine has peak 1.0; larger values are
 * taken as they are and clamped far outside any real audio). samples may be NULL only when
 * count is 0. Returns 0, or RSID_EINVAL / RSID_ENOMEM / RSID_EFAILED. Reports of identifiers
 * that ended are queued for rsid_detector_read. */
RSID_ENGINE_API int rsid_detector_feed_f32(rsid_detector* d, const float* samples, size_t count);

/* As rsid_detector_feed_f32, for 16-bit samples (full scale 32768): the same stream, so a
 * stream may mix both. */
RSID_ENGINE_API int rsid_detector_feed_i16(rsid_detector* d, const int16_t* samples, size_t count);

/* Ends the stream: the resampler's tail and the detector's last frame, so that an identifier
 * in the last samples is reported too. The next feed starts a new stream at sample 0 (queued
 * reports stay until read). Returns 0, or RSID_EINVAL / RSID_ENOMEM / RSID_EFAILED. */
RSID_ENGINE_API int rsid_detector_finish(rsid_detector* d);

/* Pops up to max pending reports into out[0 .. max), oldest first, and returns how many it
 * wrote; 0 when none are pending, when d or out is NULL, or when max is 0. Reports not popped
 * stay queued for the next call. */
RSID_ENGINE_API size_t rsid_detector_read(rsid_detector* d, rsid_detection* out, size_t max);

/* Reports queued and not yet read; 0 for NULL. */
RSID_ENGINE_API size_t rsid_detector_pending(const rsid_detector* d);

/* Input samples taken since the stream began (reset by finish); 0 for NULL. */
RSID_ENGINE_API uint64_t rsid_detector_samples(const rsid_detector* d);

/* Releases the detector and its queued reports. NULL is a no-op. */
RSID_ENGINE_API void rsid_detector_free(rsid_detector* d);

/* ---- Scanner: every identifier anywhere in a band ---------------------------------------- */

/* Sample formats of rsid_scanner_new. The complex ones are interleaved I then Q, in the
 * machine's byte order, normalised to a complex full scale of 1: CF32 as given (non-finite
 * values become 0, magnitudes above 1e6 are clamped), CS16 v / 32768, CU8 (v - 127.5) / 128,
 * CS8 v / 128. F32 is real audio on the +-1 scale, covering 0 Hz to rate / 2. */
enum { RSID_CF32 = 1, RSID_CS16 = 2, RSID_CU8 = 3, RSID_CS8 = 4, RSID_F32 = 5 };

/* Makes a scanner for a band of rate frames/s (6000 to 20e6) in the given format. center_hz is
 * the frequency of the band's centre (I/Q) or of 0 Hz (F32), so that reports carry absolute
 * frequencies; 0 gives baseband frequencies. Returns 0 and sets *out, or RSID_EINVAL (out NULL,
 * unknown format), RSID_ERANGE (rate out of range, rate or center_hz NaN or Inf) or
 * RSID_ENOMEM, leaving *out alone. A scanner holds a few arrays of about rate / 5 floats. */
RSID_ENGINE_API int rsid_scanner_new(rsid_scanner** out, double rate, double center_hz, int format);

/* rsid_scanner_new with the rule and codes of options (its channel is written into every
 * report); options may be NULL for the defaults. Errors as rsid_scanner_new's and
 * rsid_detector_new_with's. */
RSID_ENGINE_API int rsid_scanner_new_with(rsid_scanner** out, double rate, double center_hz,
                                          int format, const rsid_detector_options* options);

/* Takes count frames (a frame is one I/Q pair, or one real sample for F32: count is frames,
 * not bytes) in the scanner's format. frames may be NULL only when count is 0. Returns 0, or
 * RSID_EINVAL / RSID_ENOMEM. */
RSID_ENGINE_API int rsid_scanner_feed(rsid_scanner* s, const void* frames, size_t count);

/* Ends the stream and reports what is still open; the next feed starts a new stream at frame
 * 0. Returns 0, or RSID_EINVAL / RSID_ENOMEM. */
RSID_ENGINE_API int rsid_scanner_finish(rsid_scanner* s);

/* As rsid_detector_read. */
RSID_ENGINE_API size_t rsid_scanner_read(rsid_scanner* s, rsid_detection* out, size_t max);

/* Reports queued and not yet read; 0 for NULL. */
RSID_ENGINE_API size_t rsid_scanner_pending(const rsid_scanner* s);

/* Releases the scanner. NULL is a no-op. */
RSID_ENGINE_API void rsid_scanner_free(rsid_scanner* s);

/* ---- Sending ------------------------------------------------------------------------------ */

/* The identifier (code 131) with tone 0 at freq_hz, as 16-bit samples at rate samples/s (1000
 * to 768000): the library's generator at 48000/s, converted to rate. Returns the length of the
 * whole sequence (about 1.3925 s * rate) and writes min(length, capacity) samples to out; out
 * may be NULL (with any capacity) to ask the length. Returns 0, writing nothing, when the
 * request cannot be sent: rate out of range, freq_hz not positive or finite, or the 15 tones
 * not below half of both 48000 and rate. Stateless; safe on any thread. */
RSID_ENGINE_API size_t rsid_send_i16(double freq_hz, double rate, int16_t* out, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif
