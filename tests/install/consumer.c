/* consumer.c - a host built against an installed rsid: it sends the identifier at 1502.7 Hz,
 * reduces the audio to 6000 samples/s, feeds it to the detector and expects exactly one report,
 * at 1504.6324 Hz (bin 279). Exit status 0 when that happened. */
#include <math.h>
#include <stdint.h>
#include <stdio.h>

#include <rsid.h>

int main(void) {
    int16_t out[1920];
    double in[960];
    int fill = 0, reports = 0;
    double freq = 0.0;

    init_rsid();
    rsid_encode(1502.7);
    /* 80 blocks of 48000/s audio are 3.2 s: the sequence, then silence (rsid_get keeps
     * writing zeros once it is done), long enough for the report that follows the end. */
    for (int block = 0; block < 80; ++block) {
        rsid_get(out);
        for (int i = 0; i < 1920; i += 8) { /* every eighth sample: 6000/s */
            in[fill++] = out[i];
            if (fill == 960) {
                if (rsid_check(in)) {
                    ++reports;
                    freq = getrsfreq();
                }
                fill = 0;
            }
        }
    }
    printf("consumer: %d report(s), %.4f Hz\n", reports, freq);
    return reports == 1 && fabs(freq - 1504.6324) < 1e-3 ? 0 : 1;
}
