// frontend.cpp - the detector's entry: sample intake, the search range, the reported frequency.
#include "rsid_state.h"

#include <cstring>

void rsid_receiver_init(rsid_receiver& rx) {
    rx.tables = &rsid_shared_tables();
    rsid_search_init(rx, 0, 334);
}

int rsid_intake(rsid_receiver& rx, const double* samples, int count, bool* analysed) {
    *analysed = false;
    for (int n = 0; n < count; ++n) {
        rx.sample_buf[rx.fill++] = samples[n];
        if (rx.fill < 1114)
            continue;
        rsid_spectrum(rx.tables, rx.sample_buf, rx.magnitudes);
        // Frames start 279, 278, 279, ... samples apart: half a symbol (278.5) on average.
        std::memmove(rx.sample_buf, rx.sample_buf + rx.hop,
                     sizeof(double) * static_cast<size_t>(1114 - rx.hop));
        rx.fill = 1114 - rx.hop;
        rx.hop = rx.hop == 279 ? 278 : 279;
        *analysed = true;
        return n + 1;
    }
    return count;
}

int rsid_receiver_check(rsid_receiver& rx, const double* samples) {
    if (samples == nullptr)
        return 0;
    int taken = 0;
    while (taken < 960) {
        bool analysed = false;
        taken += rsid_intake(rx, samples + taken, 960 - taken, &analysed);
        if (analysed && rsid_search_pass(rx, rx.magnitudes, &rx.detected_code, &rx.detected_bin,
                                         &rx.detected_distance)) {
            rx.detected_bin += 111; // column -> absolute DFT bin
            return 1;               // the rest of this block is not taken in
        }
    }
    return 0;
}

double rsid_receiver_freq(const rsid_receiver& rx) {
    return (rx.detected_bin + 0.5) * 5.3833; // bin width [Hz] at 6000 samples/s
}
