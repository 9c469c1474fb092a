// spectrum_baseline.cpp - the DFT sums for any x86-64 (SSE2) or other CPU.
#define RSID_KERNEL_BODY
#include "spectrum_kernel.h"

void rsid_dft_sums_baseline(const rsid_log_frame& f, const rsid_log_tables& t, double* re,
                            double* im) {
    fast_sums<pair_lanes>(f, t, re, im);
}
