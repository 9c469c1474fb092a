// encode.cpp - Reed-Solomon codeword of a 12-bit code over GF(16).
#include "rsid_state.h"

#include <cstdint>

namespace {

// a * b in GF(16): polynomials over GF(2) reduced modulo x^4 + x^3 + 1 (0x19).
constexpr uint8_t gf16_mul(unsigned a, unsigned b) {
    unsigned p = 0;
    for (int i = 0; i < 4; ++i) {
        if (b & (1u << i))
            p ^= a << i;
    }
    for (int bit = 6; bit >= 4; --bit) {
        if (p & (1u << bit))
            p ^= 0x19u << (bit - 4);
    }
    return static_cast<uint8_t>(p);
}

struct product_table {
    uint8_t at[16][16];
    constexpr product_table() : at{} {
        for (unsigned a = 0; a < 16; ++a)
            for (unsigned b = 0; b < 16; ++b)
                at[a][b] = gf16_mul(a, b);
    }
};

constexpr product_table product;

// alpha^1 .. alpha^12 for alpha = 2: the roots of the generator polynomial.
constexpr uint8_t roots[12] = {2, 4, 8, 9, 11, 15, 7, 14, 5, 10, 13, 3};

} // namespace

int rsid_codeword(int code, uint8_t* out) {
    if (out == nullptr || code < 0 || code > 4095)
        return -1; // the top message symbol would index past the product table

    // Message polynomial: the top four bits of the code are the constant term.
    out[0] = static_cast<uint8_t>(code >> 8);
    out[1] = static_cast<uint8_t>((code >> 4) & 15);
    out[2] = static_cast<uint8_t>(code & 15);
    for (int j = 3; j < 15; ++j)
        out[j] = 0;

    // Multiply by (x + r) for each root; the result, of degree <= 14, is not systematic.
    for (uint8_t r : roots) {
        for (int j = 14; j >= 1; --j)
            out[j] = static_cast<uint8_t>(out[j - 1] ^ product.at[out[j]][r]);
        out[0] = product.at[out[0]][r];
    }
    return 0;
}
