// band_fft_test.cpp - the band scanner's transform against the DFT summed in double, at the
// lengths the scanner takes (smooth_length at rates from audio to 3.2 MS/s: factors 2, 3, 5 and 7)
// and at a few others: a power of two, a large prime, an odd length of real input.
#include "band_fft.h"
#include "rsid_signal.h"
#include "scanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

namespace {

// The DFT of x summed in double, one bin at a time: e^(-2 pi i m / n) from a table of the n
// roots, indexed by k t mod n, so that every angle is exact.
class dft {
  public:
    explicit dft(std::vector<std::complex<double>> x) : x_(std::move(x)), roots_(x_.size()) {
        const auto n = static_cast<double>(x_.size());
        for (std::size_t m = 0; m < x_.size(); ++m)
            roots_[m] = std::polar(1.0, -2.0 * std::numbers::pi * static_cast<double>(m) / n);
    }
    [[nodiscard]] std::complex<double> bin(std::size_t k) const {
        std::complex<double> sum = 0.0;
        for (std::size_t t = 0, m = 0; t < x_.size(); ++t) { // m = k t mod n
            sum += x_[t] * roots_[m];
            m += k;
            if (m >= x_.size())
                m -= x_.size();
        }
        return sum;
    }

  private:
    std::vector<std::complex<double>> x_, roots_;
};

TEST(BandFft, EqualsTheDftSummedInDouble) {
    const struct {
        double rate; // the scanner's length at this rate, or
        int n;       // this length when rate is 0
        bool complex;
    } table[] = {
        {6000, 0, false}, {48000, 0, false}, {192000, 0, true}, {250000, 0, true},
        {2.4e6, 0, true}, {2.4e6, 0, false}, {3.2e6, 0, false}, {0, 16, true},
        {0, 16, false},   {0, 30, true},     {0, 557, true},    {0, 1115, false},
    };
    const unsigned seed = 5;
    std::mt19937 rng(seed);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    for (const auto& row : table) {
        const int length =
            row.rate > 0.0
                ? rsid::smooth_length(row.rate * rsid_signal::frame / rsid_signal::rx_rate)
                : row.n;
        rsid::band_fft f(length, row.complex);
        const auto n = static_cast<std::size_t>(length);
        std::vector<std::complex<double>> x(n);
        for (std::size_t t = 0; t < n; ++t) {
            const float re = gauss(rng), im = row.complex ? gauss(rng) : 0.0f;
            x[t] = {re, im};
            if (row.complex) {
                f.in[2 * t] = re;
                f.in[2 * t + 1] = im;
            } else {
                f.in[t] = re;
            }
        }
        f.run(); // in is undefined after it: FFTW's transform is in place
        // Every bin of the short ones; of the long ones the ends, the middle and random bins.
        const std::size_t bins = row.complex ? n : n / 2 + 1;
        std::vector<std::size_t> check;
        if (n <= 2000) {
            for (std::size_t k = 0; k < bins; ++k)
                check.push_back(k);
        } else {
            check = {0, 1, bins / 2, bins - 2, bins - 1};
            std::uniform_int_distribution<std::size_t> any(0, bins - 1);
            for (int i = 0; i < 24; ++i)
                check.push_back(any(rng));
        }
        const dft oracle(std::move(x));
        double worst = 0.0;
        for (const std::size_t k : check)
            worst = std::max(
                worst, std::abs(oracle.bin(k) - std::complex<double>(f.out[k][0], f.out[k][1])));
        // White noise of unit power: bins of about sqrt(n); float arithmetic over log2 n stages.
        EXPECT_LT(worst, 2e-5 * std::sqrt(static_cast<double>(n)) *
                             std::log2(4.0 * static_cast<double>(n)))
            << "n " << n << (row.complex ? " complex" : " real") << ", seed " << seed;
    }
}

} // namespace
