// row_spectrum_avx512.cpp - the rows' correlation with 512-bit AVX-512 registers (compiled with
// -mavx512f; called only where the CPU and the OS support AVX-512F).
#define RSID_KERNEL_BODY
#include "row_spectrum_kernel.h"

void rsid::row_sums_avx512(const rsid_log_frame& f, const rsid_log_tables& t, const row_tables& r,
                           double* g_re, double* g_im) {
    row_sums<oct_lanes>(f, t, r, g_re, g_im);
}
