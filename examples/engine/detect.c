/* detect.c - every identifier in a 16-bit PCM WAV file (any rate; the first channel) and,
 * optionally, in a band of cf32 I/Q, found with librsid-engine. One line per identifier.
 *
 *   detect FILE.wav [BAND.cf32 RATE CENTRE_HZ]
 *
 * Build: cc -std=c99 detect.c $(pkg-config --cflags --libs rsid-engine) -o detect */
#include <rsid_engine.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void print(const char* what, const rsid_detection* d, size_t n) {
    for (size_t i = 0; i < n; ++i)
        printf("%s: code %d at %.3f s (sample %lld), %.1f Hz (offset %.1f Hz), "
               "SNR %.1f dB, %.1f dBFS\n",
               what, (int)d[i].code, d[i].time_s, (long long)d[i].sample, d[i].freq_hz,
               d[i].offset_hz, d[i].snr_db, d[i].level_dbfs);
}

static unsigned le(const unsigned char* p, int bytes) {
    unsigned v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

/* The whole file in memory; NULL on failure. */
static unsigned char* slurp(const char* path, size_t* size) {
    FILE* f = fopen(path, "rb");
    unsigned char* data = NULL;
    long n;
    if (f && fseek(f, 0, SEEK_END) == 0 && (n = ftell(f)) > 0 && fseek(f, 0, SEEK_SET) == 0 &&
        (data = malloc((size_t)n)) && fread(data, 1, (size_t)n, f) == (size_t)n)
        *size = (size_t)n;
    else
        free(data), data = NULL;
    if (f)
        fclose(f);
    return data;
}

static int detect_wav(const char* path) {
    size_t size = 0, at = 12;
    unsigned char* wav = slurp(path, &size);
    unsigned rate = 0, channels = 0, bits = 0;
    if (!wav || size < 12 || memcmp(wav, "RIFF", 4) || memcmp(wav + 8, "WAVE", 4))
        return fprintf(stderr, "%s: not a WAV file\n", path), free(wav), 1;
    while (at + 8 <= size) { /* the chunks: fmt, then data */
        const unsigned len = le(wav + at + 4, 4);
        const unsigned char* body = wav + at + 8;
        if (!memcmp(wav + at, "fmt ", 4) && len >= 16 && at + 8 + 16 <= size) {
            channels = le(body + 2, 2), rate = le(body + 4, 4), bits = le(body + 14, 2);
        } else if (!memcmp(wav + at, "data", 4) && rate && channels && bits == 16) {
            const size_t frames = (len < size - at - 8 ? len : size - at - 8) / 2 / channels;
            int16_t* mono = malloc(frames * sizeof *mono + 1);
            rsid_detector* d = NULL;
            rsid_detection found[16];
            size_t n;
            int rc = mono ? rsid_detector_new(&d, rate) : RSID_ENOMEM;
            for (size_t i = 0; rc == 0 && i < frames; ++i)
                mono[i] = (int16_t)le(body + 2 * channels * i, 2);
            if (rc == 0 && (rc = rsid_detector_feed_i16(d, mono, frames)) == 0)
                rc = rsid_detector_finish(d);
            while ((n = rsid_detector_read(d, found, 16)) > 0)
                print(path, found, n);
            if (rc != 0)
                fprintf(stderr, "%s: %s\n", path, rsid_engine_strerror(rc));
            rsid_detector_free(d);
            free(mono);
            free(wav);
            return rc != 0;
        }
        at += 8 + len + (len & 1);
    }
    fprintf(stderr, "%s: no 16-bit PCM data\n", path);
    free(wav);
    return 1;
}

static int scan_cf32(const char* path, double rate, double centre_hz) {
    size_t size = 0, n;
    unsigned char* iq = slurp(path, &size);
    rsid_scanner* s = NULL;
    rsid_detection found[16];
    int rc = iq ? rsid_scanner_new(&s, rate, centre_hz, RSID_CF32) : RSID_EINVAL;
    if (rc == 0 && (rc = rsid_scanner_feed(s, iq, size / 8)) == 0) /* 8 bytes a frame */
        rc = rsid_scanner_finish(s);
    while ((n = rsid_scanner_read(s, found, 16)) > 0)
        print(path, found, n);
    if (rc != 0)
        fprintf(stderr, "%s: %s\n", path, rsid_engine_strerror(rc));
    rsid_scanner_free(s);
    free(iq);
    return rc != 0;
}

int main(int argc, char** argv) {
    if (argc != 2 && argc != 5) {
        fprintf(stderr, "usage: %s FILE.wav [BAND.cf32 RATE CENTRE_HZ] (librsid-engine %s)\n",
                argv[0], rsid_engine_version());
        return 2;
    }
    int failed = detect_wav(argv[1]);
    if (argc == 5)
        failed |= scan_cf32(argv[2], atof(argv[3]), atof(argv[4]));
    return failed;
}
