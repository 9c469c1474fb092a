/* capi_scan.c - one band scanned through librsid-engine.so, for bench/capi_scan_bench.sh: a
 * plain C host of rsid_engine.h, so that any build of the library can be timed with it (the
 * script picks the library with LD_LIBRARY_PATH).
 *
 *   capi_scan cf32|cs16|cu8 RATE FILE
 *
 * Feeds FILE to one scanner in blocks of 65536 frames, finishes, and prints the number of
 * reports. The file is read into memory first, so that a run times the scanner and not the
 * disk. */
#include <rsid_engine.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: capi_scan cf32|cs16|cu8 RATE FILE\n");
        return 2;
    }
    int format = 0;
    size_t frame_bytes = 0;
    if (!strcmp(argv[1], "cf32"))
        format = RSID_CF32, frame_bytes = 8;
    else if (!strcmp(argv[1], "cs16"))
        format = RSID_CS16, frame_bytes = 4;
    else if (!strcmp(argv[1], "cu8"))
        format = RSID_CU8, frame_bytes = 2;
    else
        return fprintf(stderr, "unknown format %s\n", argv[1]), 2;
    FILE* f = fopen(argv[3], "rb");
    long size = -1;
    if (!f || fseek(f, 0, SEEK_END) != 0 || (size = ftell(f)) < 0 || fseek(f, 0, SEEK_SET) != 0)
        return fprintf(stderr, "%s: cannot read\n", argv[3]), 1;
    unsigned char* data = malloc((size_t)size + 1);
    if (!data || fread(data, 1, (size_t)size, f) != (size_t)size)
        return fprintf(stderr, "%s: cannot read\n", argv[3]), 1;
    fclose(f);

    rsid_scanner* s = NULL;
    int rc = rsid_scanner_new(&s, atof(argv[2]), 0.0, format);
    if (rc != 0)
        return fprintf(stderr, "%s\n", rsid_engine_strerror(rc)), 1;
    const size_t frames = (size_t)size / frame_bytes, block = 65536;
    size_t reports = 0;
    rsid_detection found[64];
    for (size_t at = 0; at < frames && rc == 0; at += block) {
        rc = rsid_scanner_feed(s, data + at * frame_bytes,
                               frames - at < block ? frames - at : block);
        reports += rsid_scanner_read(s, found, 64);
    }
    if (rc == 0)
        rc = rsid_scanner_finish(s);
    while (rsid_scanner_pending(s))
        reports += rsid_scanner_read(s, found, 64);
    rsid_scanner_free(s);
    free(data);
    if (rc != 0)
        return fprintf(stderr, "%s\n", rsid_engine_strerror(rc)), 1;
    printf("%zu reports\n", reports);
    return 0;
}
