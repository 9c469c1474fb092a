// Codeword construction: reference vectors, an independent long-hand oracle, linearity,
// minimum weight and bounds.
#include "rsid.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>

namespace {

using codeword = std::array<uint8_t, 15>;

codeword encode(int code) {
    codeword c{};
    EXPECT_EQ(RsIdEncode(code, c.data()), 0) << "code " << code;
    return c;
}

// GF(16) by repeated doubling (x * a, reduced by x^4 + x^3 + 1), no tables.
uint8_t gf_mul(uint8_t a, uint8_t b) {
    uint8_t p = 0;
    for (int i = 0; i < 4; ++i) {
        if (b & 1)
            p ^= a;
        b >>= 1;
        a = static_cast<uint8_t>(a << 1);
        if (a & 0x10)
            a ^= 0x19;
    }
    return p;
}

// m(x) * prod (x + alpha^i), i = 1..12, by full polynomial multiplication.
codeword oracle(int code) {
    std::array<uint8_t, 16> poly{};
    poly[0] = static_cast<uint8_t>(code >> 8);
    poly[1] = static_cast<uint8_t>((code >> 4) & 15);
    poly[2] = static_cast<uint8_t>(code & 15);
    uint8_t root = 1;
    for (int i = 1; i <= 12; ++i) {
        root = gf_mul(root, 2);
        std::array<uint8_t, 16> next{};
        for (size_t j = 0; j < 15; ++j) {
            next[j + 1] ^= poly[j];           // x * p
            next[j] ^= gf_mul(poly[j], root); // r * p
        }
        poly = next;
    }
    EXPECT_EQ(poly[15], 0) << "degree above 14 for code " << code;
    codeword c{};
    std::copy(poly.begin(), poly.begin() + 15, c.begin());
    return c;
}

TEST(RsIdEncode, ReferenceCodewords) {
    const struct {
        int code;
        codeword symbols;
    } table[] = {
        {0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {1, {0, 0, 8, 10, 9, 10, 1, 8, 2, 11, 9, 2, 3, 11, 1}},
        {131, {0, 15, 7, 0, 4, 15, 12, 8, 8, 3, 11, 7, 11, 12, 3}},
        {256, {8, 10, 9, 10, 1, 8, 2, 11, 9, 2, 3, 11, 1, 0, 0}},
        {4095, {5, 7, 13, 10, 7, 8, 13, 15, 0, 0, 5, 2, 10, 2, 15}},
    };
    for (const auto& row : table)
        EXPECT_EQ(encode(row.code), row.symbols) << "code " << row.code;
}

TEST(RsIdEncode, MatchesLongHandArithmeticForEveryCode) {
    for (int code = 0; code <= 4095; ++code)
        ASSERT_EQ(encode(code), oracle(code)) << "code " << code;
}

TEST(RsIdEncode, IsLinearOverXor) {
    const unsigned seed = 20261208;
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> any(0, 4095);
    for (int n = 0; n < 5000; ++n) {
        int a = any(rng), b = any(rng);
        codeword ca = encode(a), cb = encode(b), cx = encode(a ^ b);
        for (size_t j = 0; j < 15; ++j)
            ASSERT_EQ(cx[j], ca[j] ^ cb[j]) << "a " << a << " b " << b << " seed " << seed;
    }
}

TEST(RsIdEncode, EveryNonZeroCodeHasAtLeast13NonZeroSymbols) {
    for (int code = 1; code <= 4095; ++code) {
        codeword c = encode(code);
        int weight = 0;
        for (uint8_t s : c) {
            ASSERT_LT(s, 16) << "code " << code;
            weight += s != 0;
        }
        ASSERT_GE(weight, 13) << "code " << code;
    }
}

TEST(RsIdEncode, WritesExactlyFifteenBytes) {
    for (int code : {0, 131, 4095}) {
        std::array<uint8_t, 15 + 32> buf;
        buf.fill(0xA5);
        ASSERT_EQ(RsIdEncode(code, buf.data() + 16), 0);
        for (size_t i = 0; i < 16; ++i)
            EXPECT_EQ(buf[i], 0xA5) << "guard before, code " << code;
        for (size_t i = 31; i < 47; ++i)
            EXPECT_EQ(buf[i], 0xA5) << "guard after, code " << code;
    }
}

TEST(RsIdEncode, RejectsCodesOutOfRangeAndNullOutput) {
    for (int code : {-1, -4096, 4096, 65535, INT32_MIN, INT32_MAX}) {
        std::array<uint8_t, 15> buf;
        buf.fill(0x5A);
        EXPECT_EQ(RsIdEncode(code, buf.data()), -1) << "code " << code;
        for (uint8_t b : buf)
            EXPECT_EQ(b, 0x5A) << "written for code " << code;
    }
    EXPECT_EQ(RsIdEncode(131, nullptr), -1);
}

} // namespace
