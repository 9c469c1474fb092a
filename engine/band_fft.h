// band_fft.h - the band scanner's transform: a forward DFT of one length, of complex (I/Q) or
// real input, in single precision.
//
// Two implementations, chosen when the engine is built:
//   band_fft_kiss.cpp   KissFFT (BSD-3-clause; the default, and always in librsid-engine.so),
//                       mixed radix: fast for lengths made of small primes, which the scanner
//                       takes (smooth_length: 2, 3, 5 and 7);
//   band_fft_fftw.cpp   FFTW 3 (GPL-2+), for builds of the tool configured with RSID_FFTW=ON.
// Both give the DFT to float precision, without scaling: out[k] = sum in[t] e^(-2 pi i k t / n).
#ifndef RSID_ENGINE_BAND_FFT_H
#define RSID_ENGINE_BAND_FFT_H

#include <memory>

namespace rsid {

class band_fft {
  public:
    // n points, at least 2. Throws std::bad_alloc.
    band_fft(int n, bool complex);
    ~band_fft();
    band_fft(const band_fft&) = delete;
    band_fft& operator=(const band_fft&) = delete;

    float* in = nullptr;       // n reals, or n complex values (re, im interleaved)
    float (*out)[2] = nullptr; // n / 2 + 1 (real input) or n complex values
    void run();                // out from in; in is then undefined (out may share its memory:
                               // FFTW's transform is in place), so fill it before every run

    // How far below a strong component the transform's single-precision rounding may leave a
    // residue of it, across the whole band [dB], with a margin: a report that far below the
    // strongest entry of its pass is taken for residue, not for an identifier.
    static double residue_db();

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

} // namespace rsid

#endif
