// frontend.cpp - the detector's entry: sample intake, the tables, the reported frequency.
#include "rsid.h"
#include "rsid_state.h"

#include <cmath>
#include <cstring>

extern "C" RSID_API int init_rsid(void) {
    rsid_receiver& rx = rsid_rx;
    // The angle is accumulated, not computed as 2 pi i / 1114, and wrapped into [-pi, pi):
    // the tables past the half-way entry hold the negative angles.
    double theta = 0.0;
    for (int i = 0; i < 1114; ++i) {
        rx.window_table[i] = (1.0 - std::cos(theta)) * 0.5; // Hann
        rx.sin_table[i] = std::sin(theta);
        rx.cos_table[i] = std::cos(theta);
        theta += 0.005640202253141832; // 6.28318531 / 1114
        if (theta >= 3.14159265)
            theta -= 6.28318531;
    }
    rsid_spectrum_tables();
    return rsid_init(0, 334);
}

extern "C" RSID_API int rsid_check(const double* samples) {
    if (samples == nullptr)
        return 0;
    rsid_receiver& rx = rsid_rx;
    for (int n = 0; n < 960; ++n) {
        rx.sample_buf[rx.fill++] = samples[n];
        if (rx.fill < 1114)
            continue;
        rsid_spectrum(rx.sample_buf, rx.magnitudes);
        // Frames start 279, 278, 279, ... samples apart: half a symbol (278.5) on average.
        std::memmove(rx.sample_buf, rx.sample_buf + rx.hop,
                     sizeof(double) * static_cast<size_t>(1114 - rx.hop));
        rx.fill = 1114 - rx.hop;
        rx.hop = rx.hop == 279 ? 278 : 279;
        if (rsid_search_amp(rx.magnitudes, &rx.detected_code, &rx.detected_bin,
                            &rx.detected_distance)) {
            rx.detected_bin += 111; // column -> absolute DFT bin
            return 1;               // the rest of this block is not taken in
        }
    }
    return 0;
}

extern "C" RSID_API double getrsfreq(void) {
    return (rsid_rx.detected_bin + 0.5) * 5.3833; // bin width [Hz] at 6000 samples/s
}
