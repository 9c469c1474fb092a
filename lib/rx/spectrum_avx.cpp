// spectrum_avx.cpp - the DFT sums with 256-bit AVX registers (compiled with -mavx; called
// only where the CPU and the OS support AVX).
#define RSID_KERNEL_BODY
#include "spectrum_kernel.h"

void rsid_dft_sums_avx(const rsid_log_frame& f, const rsid_log_tables& t, double* re, double* im) {
    int i = 0;
    for (; i + 4 <= 334; i += 4)
        sum_block<quad_lanes, 4>(f, t, i, re + i, im + i);
    sum_block<quad_lanes, 2>(f, t, i, re + i, im + i); // 334 = 83 * 4 + 2
}
