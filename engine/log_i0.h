// log_i0.h - the log of the modified Bessel function I0, which weighs a tone of known strength
// but uncertain phase in noise.
#ifndef RSID_ENGINE_LOG_I0_H
#define RSID_ENGINE_LOG_I0_H

#include <cmath>
#include <numbers>

namespace rsid {

// ln I0(x) for x >= 0: the power series while it is short, else the asymptotic series
// (within 3e-4 from 15 on).
inline double log_i0(double x) {
    if (x < 15.0) {
        const double q = x * x / 4.0;
        double term = 1.0, sum = 1.0;
        for (int k = 1; k < 60 && term > 1e-17 * sum; ++k) {
            term *= q / (static_cast<double>(k) * static_cast<double>(k));
            sum += term;
        }
        return std::log(sum);
    }
    return x - 0.5 * std::log(2.0 * std::numbers::pi * x) + std::log1p(1.0 / (8.0 * x));
}

} // namespace rsid

#endif
