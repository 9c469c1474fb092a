// row_spectrum_avx.cpp - the rows' correlation with 256-bit AVX registers (compiled with -mavx;
// called only where the CPU and the OS support AVX).
#define RSID_KERNEL_BODY
#include "row_spectrum_kernel.h"

void rsid::row_sums_avx(const rsid_log_frame& f, const rsid_log_tables& t, const row_tables& r,
                        double* g_re, double* g_im) {
    row_sums<quad_lanes>(f, t, r, g_re, g_im);
}
