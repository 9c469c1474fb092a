// band_fft_test.cpp - the band scanner's transform against the DFT summed in double.
#include "band_fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace {

TEST(BandFft, EqualsTheDftSummedInDouble) {
    const struct {
        int n;
        bool complex;
    } table[] = {{16, true}, {16, false}, {30, true}, {1114, true}, {1114, false}, {4456, true}};
    std::mt19937 rng(5);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    for (const auto& row : table) {
        rsid::band_fft f(row.n, row.complex);
        const auto n = static_cast<std::size_t>(row.n);
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
        f.run();
        const std::size_t bins = row.complex ? n : n / 2 + 1;
        double worst = 0.0;
        for (std::size_t k = 0; k < bins; ++k) {
            std::complex<double> sum = 0.0;
            for (std::size_t t = 0; t < n; ++t) // k t mod n keeps the angle exact
                sum += x[t] *
                       std::polar(1.0, -2.0 * std::numbers::pi * static_cast<double>(k * t % n) /
                                           static_cast<double>(n));
            worst = std::max(worst, std::abs(sum - std::complex<double>(f.out[k][0], f.out[k][1])));
        }
        // White noise of unit power: bins of about sqrt(n); float arithmetic over log2 n stages.
        EXPECT_LT(worst, 2e-5 * std::sqrt(static_cast<double>(n)) *
                             std::log2(4.0 * static_cast<double>(n)))
            << "n " << row.n << (row.complex ? " complex" : " real");
    }
}

} // namespace
