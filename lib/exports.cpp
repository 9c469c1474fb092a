// exports.cpp - the eight exports: a thin wrapper over one static receiver and one static
// transmitter. Both are constant-initialised, so nothing runs when the library loads.
#include "rsid.h"
#include "rsid_state.h"

constinit rsid_receiver rsid_rx{};
constinit rsid_transmitter rsid_tx{};

extern "C" RSID_API int RsIdEncode(int code, uint8_t* out) { return rsid_codeword(code, out); }

extern "C" RSID_API int rsid_encode(double base_freq) {
    rsid_tx_arm(rsid_tx, base_freq);
    return 0;
}

extern "C" RSID_API int rsid_get(int16_t* out) { return rsid_tx_get(rsid_tx, out); }

extern "C" RSID_API int rsid_init(int first, int end) {
    rsid_search_init(rsid_rx, first, end);
    return 1;
}

extern "C" RSID_API int rsid_search_amp(const int32_t* magnitudes, int32_t* code, int32_t* bin,
                                        int32_t* distance) {
    return rsid_search_pass(rsid_rx, magnitudes, code, bin, distance);
}

extern "C" RSID_API int init_rsid(void) {
    rsid_receiver_init(rsid_rx);
    return 1;
}

extern "C" RSID_API int rsid_check(const double* samples) {
    return rsid_receiver_check(rsid_rx, samples);
}

extern "C" RSID_API double getrsfreq(void) { return rsid_receiver_freq(rsid_rx); }
