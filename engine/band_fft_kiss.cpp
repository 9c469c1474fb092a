// band_fft_kiss.cpp - the band scanner's transform by KissFFT (BSD-3-clause), float build.
//
// kissfft-float.pc defines kiss_fft_scalar as float for every file that includes the headers;
// kiss_fft_cpx is then two floats, the layout of band_fft's interleaved arrays, so the transforms
// read in and write out in place of copies. Real input of even length goes through kiss_fftr (a
// complex transform of n / 2 points and a split); kiss_fftr takes no odd length, and one of those
// (the scanner asks for none: smooth_length is even) runs as a complex transform with zero
// imaginary parts, of which the first n / 2 + 1 bins are kept.
#include "band_fft.h"

#include <kiss_fft.h>
#include <kiss_fftr.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <type_traits>
#include <vector>

static_assert(std::is_same_v<decltype(kiss_fft_cpx::r), float> &&
                  sizeof(kiss_fft_cpx) == 2 * sizeof(float),
              "KissFFT's float build, whose complex value is two floats");

namespace rsid {

struct band_fft::impl {
    std::size_t n;
    kiss_fft_cfg complex_cfg = nullptr; // complex input, or real input of odd length
    kiss_fftr_cfg real_cfg = nullptr;   // real input of even length
    std::vector<float> in, out;         // interleaved, as the scanner sees them
    std::vector<float> odd_in, odd_out; // real input of odd length: the complex detour

    impl(std::size_t size, bool complex)
        : n(size), in(size * (complex ? 2 : 1)), out(2 * (complex ? size : size / 2 + 1)) {
        const int points = static_cast<int>(n);
        if (!complex && n % 2 == 0) {
            real_cfg = kiss_fftr_alloc(points, 0, nullptr, nullptr);
        } else {
            complex_cfg = kiss_fft_alloc(points, 0, nullptr, nullptr);
            if (!complex) {
                odd_in.assign(2 * n, 0.0f);
                odd_out.resize(2 * n);
            }
        }
        if (!real_cfg && !complex_cfg)
            throw std::bad_alloc();
    }
    ~impl() {
        kiss_fftr_free(real_cfg);
        kiss_fft_free(complex_cfg);
    }
    impl(const impl&) = delete;
    impl& operator=(const impl&) = delete;

    static const kiss_fft_cpx* cpx(const std::vector<float>& v) {
        return reinterpret_cast<const kiss_fft_cpx*>(v.data());
    }
    static kiss_fft_cpx* cpx(std::vector<float>& v) {
        return reinterpret_cast<kiss_fft_cpx*>(v.data());
    }

    void run() {
        if (real_cfg) {
            kiss_fftr(real_cfg, in.data(), cpx(out));
        } else if (odd_in.empty()) {
            kiss_fft(complex_cfg, cpx(in), cpx(out));
        } else {
            for (std::size_t t = 0; t < n; ++t)
                odd_in[2 * t] = in[t]; // imaginary parts stay 0
            kiss_fft(complex_cfg, cpx(odd_in), cpx(odd_out));
            std::copy_n(odd_out.begin(), out.size(), out.begin());
        }
    }
};

band_fft::band_fft(int n, bool complex)
    : impl_(std::make_unique<impl>(static_cast<std::size_t>(n), complex)) {
    in = impl_->in.data();
    out = reinterpret_cast<float(*)[2]>(impl_->out.data());
}

band_fft::~band_fft() = default;

void band_fft::run() { impl_->run(); }

// KissFFT's butterflies round more than FFTW's: an identifier in a clean 1e6/s capture left a
// residue that the scanner took for an identifier 102 dB below it (Scanner tests on KissFFT).
double band_fft::residue_db() { return 90.0; }

} // namespace rsid
