// spectrum_avx512.cpp - the DFT sums with 512-bit AVX-512 registers (compiled with -mavx512f;
// called only where the CPU and the OS support AVX-512F).
#define RSID_KERNEL_BODY
#include "spectrum_kernel.h"

void rsid_dft_sums_avx512(const rsid_log_frame& f, const rsid_log_tables& t, double* re,
                          double* im) {
    fast_sums<oct_lanes>(f, t, re, im);
}
