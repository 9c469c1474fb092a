// spectrum_avx.cpp - the DFT sums with 256-bit AVX registers (compiled with -mavx; called
// only where the CPU and the OS support AVX).
#define RSID_KERNEL_BODY
#include "spectrum_kernel.h"

void rsid_dft_sums_avx(const rsid_log_frame& f, const rsid_log_tables& t, double* re, double* im) {
    fast_sums<quad_lanes>(f, t, re, im);
}
