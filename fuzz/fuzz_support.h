// fuzz_support.h - what every harness uses: a check that traps, buffers without slack, and the
// draws of special and arbitrary values from the fuzzer's bytes.
#ifndef RSID_FUZZ_SUPPORT_H
#define RSID_FUZZ_SUPPORT_H

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace fuzz {

// A broken promise: the fuzzer reports the input that led here.
inline void require(bool ok) {
    if (!ok)
        __builtin_trap();
}

// A heap block of exactly n elements: one past the end is out of bounds for AddressSanitizer.
template <typename T> std::unique_ptr<T[]> exact(std::size_t n) {
    return std::unique_ptr<T[]>(new T[n]());
}

// One of a table of special values.
template <typename T, std::size_t N> T pick(FuzzedDataProvider& in, const T (&special)[N]) {
    return special[in.ConsumeIntegralInRange<std::size_t>(0, N - 1)];
}

// Any bit pattern as a double: NaNs with payloads, denormals, both infinities.
inline double any_bits(FuzzedDataProvider& in) {
    const auto bits = in.ConsumeIntegral<uint64_t>();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

} // namespace fuzz

#endif
