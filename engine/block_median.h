// block_median.h - the medians of blocks of 16 floats, many blocks at once.
//
// The soft rule's noise estimate takes the median of every block of 16 entries of each spectrum
// row. std::nth_element spends most of its time there on branches it mispredicts; a sorting
// network (Batcher's odd-even merge sort: 63 compare-exchanges, each a min and a max) has no
// branches, and applied to 8 blocks side by side its min and max run in vector registers. The
// result is the value nth_element gives: element 8 of the 16 in ascending order.
#ifndef RSID_ENGINE_BLOCK_MEDIAN_H
#define RSID_ENGINE_BLOCK_MEDIAN_H

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <utility>

namespace rsid {

inline constexpr int median_block = 16; // entries per block

namespace detail {

struct exchange {
    int low, high; // after the exchange, entry low holds the smaller value
};

// Batcher's odd-even merge sort of 16 entries, as a list of compare-exchanges.
constexpr std::array<exchange, 63> batcher16() {
    std::array<exchange, 63> net{};
    std::size_t count = 0;
    for (int p = 1; p < median_block; p *= 2)
        for (int k = p; k >= 1; k /= 2)
            for (int j = k % p; j + k < median_block; j += 2 * k)
                for (int i = 0; i < k && i + j + k < median_block; ++i)
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p))
                        net.at(count++) = {i + j, i + j + k}; // at(): a 64th would not compile
    return count == net.size() ? net : std::array<exchange, 63>{};
}

inline constexpr std::array<exchange, 63> sort16 = batcher16();
static_assert(sort16.back().high != 0, "Batcher's network of 16 has 63 compare-exchanges");

} // namespace detail

// Four blocks side by side: a GCC vector type, whose comparisons and selections the compiler
// turns into SSE's min and max on x86-64 and into plain code elsewhere.
typedef float lanes4 __attribute__((vector_size(16)));

// One compare-exchange across the lanes. The entries are template arguments, so that the
// compiler sees that the two rows never overlap.
template <int Low, int High, int Lanes> void exchange_rows(float (&v)[median_block][Lanes]) {
    static_assert(Lanes % 4 == 0);
    for (int l = 0; l < Lanes; l += 4) {
        lanes4 a;
        lanes4 b;
        std::memcpy(&a, &v[Low][l], sizeof a);
        std::memcpy(&b, &v[High][l], sizeof b);
        const lanes4 low = b < a ? b : a;
        const lanes4 high = b < a ? a : b;
        std::memcpy(&v[Low][l], &low, sizeof low);
        std::memcpy(&v[High][l], &high, sizeof high);
    }
}

template <int Lanes, std::size_t... I>
void sort_rows(float (&v)[median_block][Lanes], std::index_sequence<I...> /*unused*/) {
    (exchange_rows<detail::sort16[I].low, detail::sort16[I].high, Lanes>(v), ...);
}

// medians[b] = element 8 (counting from 0, ascending) of x[16 b] .. x[16 b + 15], for every
// b < blocks. NaN-free input.
inline void block_medians(const float* x, int blocks, float* medians) {
    constexpr int lanes = 8; // blocks side by side
    float v[median_block][lanes];
    for (int first = 0; first < blocks; first += lanes) {
        const int n = std::min(lanes, blocks - first);
        for (int l = 0; l < lanes; ++l)
            for (int e = 0; e < median_block; ++e)
                v[e][l] = l < n ? x[(first + l) * median_block + e] : 0.0f;
        sort_rows(v, std::make_index_sequence<detail::sort16.size()>());
        for (int l = 0; l < n; ++l)
            medians[first + l] = v[median_block / 2][l];
    }
}

} // namespace rsid

#endif
