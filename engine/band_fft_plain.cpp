// band_fft_plain.cpp - the band scanner's transform without an FFT library: Bluestein's chirp-z.
//
// X[k] = sum x[t] e^(-i pi (2kt) / n), and 2kt = k^2 + t^2 - (k - t)^2, so with the chirp
// w[t] = e^(-i pi t^2 / n) the DFT is w[k] * ((x w) convolved with conj(w))[k]. The convolution
// runs as a cyclic one of m >= 2n - 1 points (a power of two) by radix-2 transforms: two per DFT,
// the chirp's own transform made once, and no bit-reversal pass (see radix2). Lengths that are
// already powers of two go direct. The chirp's angles use t^2 mod 2n in integers, so that they stay
// exact for large n; the tables are computed in double and the transforms run in float on split
// re/im arrays, which the compiler vectorises.
#include "band_fft.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

namespace rsid {

namespace {

// In-place radix-2 transforms of m points (a power of two) on split arrays, without the
// bit-reversal pass: the forward one (decimation in frequency) takes natural order and leaves
// the spectrum in bit-reversed order; the inverse (decimation in time, unscaled) takes that
// order back to natural. A convolution multiplies the spectra point by point, so the order in
// between does not matter, and the permutation's scattered accesses are saved.
struct radix2 {
    std::size_t m = 0;
    std::vector<float> tw_re, tw_im; // stage with half-length h: e^(-i pi j / h) at [h, 2h)

    explicit radix2(std::size_t size) : m(size), tw_re(size), tw_im(size) {
        for (std::size_t h = 1; h < m; h *= 2)
            for (std::size_t j = 0; j < h; ++j) {
                const double a =
                    -std::numbers::pi * static_cast<double>(j) / static_cast<double>(h);
                tw_re[h + j] = static_cast<float>(std::cos(a));
                tw_im[h + j] = static_cast<float>(std::sin(a));
            }
    }

    void forward(float* re, float* im) const {
        for (std::size_t h = m / 2; h >= 1; h /= 2) {
            const float* wr = tw_re.data() + h;
            const float* wi = tw_im.data() + h;
            for (std::size_t k = 0; k < m; k += 2 * h) {
                float* ar = re + k;
                float* ai = im + k;
                float* br = re + k + h;
                float* bi = im + k + h;
                for (std::size_t j = 0; j < h; ++j) {
                    const float dr = ar[j] - br[j], di = ai[j] - bi[j];
                    ar[j] += br[j];
                    ai[j] += bi[j];
                    br[j] = dr * wr[j] - di * wi[j];
                    bi[j] = dr * wi[j] + di * wr[j];
                }
            }
        }
    }

    void inverse(float* re, float* im) const {
        for (std::size_t h = 1; h < m; h *= 2) {
            const float* wr = tw_re.data() + h;
            const float* wi = tw_im.data() + h;
            for (std::size_t k = 0; k < m; k += 2 * h) {
                float* ar = re + k;
                float* ai = im + k;
                float* br = re + k + h;
                float* bi = im + k + h;
                for (std::size_t j = 0; j < h; ++j) { // conjugate twiddles
                    const float tr = br[j] * wr[j] + bi[j] * wi[j];
                    const float ti = bi[j] * wr[j] - br[j] * wi[j];
                    br[j] = ar[j] - tr;
                    bi[j] = ai[j] - ti;
                    ar[j] += tr;
                    ai[j] += ti;
                }
            }
        }
    }
};

// The bit-reversed position of each index below m, for the direct power-of-two transform.
std::vector<uint32_t> bit_reversal(std::size_t m) {
    int bits = 0;
    while ((std::size_t{1} << bits) < m)
        ++bits;
    std::vector<uint32_t> r(m);
    for (std::size_t i = 0; i < m; ++i)
        for (int b = 0; b < bits; ++b)
            r[i] |= static_cast<uint32_t>((i >> b) & 1u) << (bits - 1 - b);
    return r;
}

std::size_t power_of_two_above(std::size_t n) {
    std::size_t m = 1;
    while (m < n)
        m *= 2;
    return m;
}

} // namespace

struct band_fft::impl {
    std::size_t n;
    bool complex;
    bool direct; // n is a power of two: no chirp
    radix2 fft;
    std::vector<float> in, out;              // interleaved, as the scanner sees them
    std::vector<float> chirp_re, chirp_im;   // w[t], t < n
    std::vector<float> kernel_re, kernel_im; // transform of conj(w) laid out cyclically, / m
    std::vector<float> re, im;               // the work arrays, m points
    std::vector<uint32_t> reversed;          // direct transforms: where each bin was left

    impl(std::size_t size, bool is_complex)
        : n(size), complex(is_complex), direct(power_of_two_above(size) == size),
          fft(direct ? size : power_of_two_above(2 * size - 1)), in(size * (is_complex ? 2 : 1)),
          out(2 * (is_complex ? size : size / 2 + 1)), re(fft.m), im(fft.m) {
        if (direct) {
            reversed = bit_reversal(n);
            return;
        }
        const std::size_t m = fft.m;
        chirp_re.resize(n);
        chirp_im.resize(n);
        kernel_re.assign(m, 0.0f);
        kernel_im.assign(m, 0.0f);
        for (std::size_t t = 0; t < n; ++t) {
            const uint64_t q = static_cast<uint64_t>(t) * t % (2 * static_cast<uint64_t>(n));
            const double a = -std::numbers::pi * static_cast<double>(q) / static_cast<double>(n);
            chirp_re[t] = static_cast<float>(std::cos(a));
            chirp_im[t] = static_cast<float>(std::sin(a));
            // conj(w), at t and at -t (mod m); scaled by 1/m for the unscaled inverse
            const auto kr = static_cast<float>(std::cos(a) / static_cast<double>(m));
            const auto ki = static_cast<float>(-std::sin(a) / static_cast<double>(m));
            kernel_re[t] = kr;
            kernel_im[t] = ki;
            if (t != 0) {
                kernel_re[m - t] = kr;
                kernel_im[m - t] = ki;
            }
        }
        fft.forward(kernel_re.data(), kernel_im.data()); // bit-reversed, as the data's will be
    }

    void run() {
        const std::size_t m = fft.m;
        // x, times the chirp when there is one, into the work arrays
        for (std::size_t t = 0; t < n; ++t) {
            const float xr = complex ? in[2 * t] : in[t];
            const float xi = complex ? in[2 * t + 1] : 0.0f;
            if (direct) {
                re[t] = xr;
                im[t] = xi;
            } else {
                re[t] = xr * chirp_re[t] - xi * chirp_im[t];
                im[t] = xr * chirp_im[t] + xi * chirp_re[t];
            }
        }
        if (direct) {
            fft.forward(re.data(), im.data());
            for (std::size_t k = 0; k < out.size() / 2; ++k) {
                out[2 * k] = re[reversed[k]];
                out[2 * k + 1] = im[reversed[k]];
            }
            return;
        }
        for (std::size_t t = n; t < m; ++t)
            re[t] = im[t] = 0.0f;
        fft.forward(re.data(), im.data());
        for (std::size_t k = 0; k < m; ++k) {
            const float r = re[k] * kernel_re[k] - im[k] * kernel_im[k];
            im[k] = re[k] * kernel_im[k] + im[k] * kernel_re[k];
            re[k] = r;
        }
        fft.inverse(re.data(), im.data());
        for (std::size_t k = 0; k < out.size() / 2; ++k) {
            out[2 * k] = re[k] * chirp_re[k] - im[k] * chirp_im[k];
            out[2 * k + 1] = re[k] * chirp_im[k] + im[k] * chirp_re[k];
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

} // namespace rsid
