// row_spectrum_baseline.cpp - the rows' correlation with baseline (SSE2 on x86-64, plain on other
// targets).
#define RSID_KERNEL_BODY
#include "row_spectrum_kernel.h"

void rsid::row_sums_baseline(const rsid_log_frame& f, const rsid_log_tables& t, const row_tables& r,
                             double* g_re, double* g_im) {
    row_sums<pair_lanes>(f, t, r, g_re, g_im);
}
