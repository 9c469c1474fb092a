// plain_spectrum.h - the detector's spectrum written the obvious way: one bin at a time, one
// sequential sum per bin, the table index (j * k) mod 1114. The oracle for the tests and the
// baseline for the benchmarks.
#ifndef RSID_PLAIN_SPECTRUM_H
#define RSID_PLAIN_SPECTRUM_H

#include <cmath>
#include <cstdint>

inline void plain_spectrum_sums(const double* frame, const double* window, const double* cos_table,
                                const double* sin_table, double* re, double* im) {
    for (int i = 0; i < 334; ++i) {
        const int k = 111 + i;
        double r = 0.0, m = 0.0;
        for (int j = 0; j < 1114; ++j) {
            const double x = frame[j] * window[j];
            r += x * cos_table[(j * k) % 1114];
            m += x * sin_table[(j * k) % 1114];
        }
        re[i] = r * 0.0008976660682226212;
        im[i] = m * 0.0008976660682226212;
    }
}

inline void plain_spectrum(const double* frame, const double* window, const double* cos_table,
                           const double* sin_table, int32_t* magnitudes) {
    double re[334], im[334];
    plain_spectrum_sums(frame, window, cos_table, sin_table, re, im);
    for (int i = 0; i < 334; ++i)
        magnitudes[i] = static_cast<int32_t>(std::sqrt(re[i] * re[i] + im[i] * im[i]));
}

#endif
