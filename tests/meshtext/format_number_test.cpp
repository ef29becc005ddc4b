// Number formatting must match printf byte for byte.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include "meshtext/format_number.h"

namespace {

std::string Fixed(float v) {
    char buffer[kMaxNumberText];
    return std::string(buffer, FormatFixed(buffer, v));
}

std::string Printf(const char* format, double v) {
    char buffer[512];
    int n = std::snprintf(buffer, sizeof buffer, format, v);
    return std::string(buffer, static_cast<size_t>(n));
}

float FromBits(uint32_t bits) {
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

}  // namespace

TEST(Format, IntegersMatchPrintf) {
    char buffer[kMaxNumberText];
    for (uint32_t v : {0u, 1u, 9u, 10u, 99u, 100u, 65535u, 65536u, 1000000u, 4294967295u}) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "%u", v);
        EXPECT_EQ(std::string(buffer, FormatUnsigned(buffer, v)), expected);
        std::snprintf(expected, sizeof expected, "%X", v);
        EXPECT_EQ(std::string(buffer, FormatHex(buffer, v)), expected);
    }
    for (int32_t v : {0, 1, -1, -2, -3, 4, 10, -10, INT_MAX, INT_MIN}) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "%i", v);
        EXPECT_EQ(std::string(buffer, FormatSigned(buffer, v)), expected);
    }
    EXPECT_EQ(std::string(buffer, FormatHex(buffer, 0x00FF00FF)), "FF00FF");
    EXPECT_EQ(std::string(buffer, FormatHex(buffer, 0)), "0");
}

// Every 16-bit index, written where bytes follow it that must survive.
TEST(Format, EveryIndexMatchesPrintf) {
    for (uint32_t v = 0; v <= 65535; ++v) {
        char buffer[16];
        std::memset(buffer, '#', sizeof buffer);
        char* end = FormatIndex(buffer, static_cast<uint16_t>(v));
        char expected[16];
        int n = std::snprintf(expected, sizeof expected, "%u", v);
        ASSERT_EQ(std::string(buffer, end), std::string(expected, static_cast<size_t>(n))) << v;
        ASSERT_EQ(buffer[8], '#');
    }
}

TEST(Format, FixedMatchesPrintfOnSpecialValues) {
    const float values[] = {
        0.0f,       -0.0f,       0.1f,        1.0f,          -1.0f,         0.5f,          2.5f,
        1e-7f,      -1e-7f,      5e-7f,       4.9999997e-7f, 5.0000006e-7f, 1.5e-6f,       2.5e-6f,
        0.0000125f, 123456.789f, 16777216.0f, 16777217.0f,   1e10f,         1.0995116e12f, 2.2e12f,
        1e20f,      -3e30f,      FLT_MAX,     -FLT_MAX,      FLT_MIN,       FLT_TRUE_MIN,  INFINITY,
        -INFINITY,  NAN,         -NAN,        0.70710677f,   3.4e38f};
    for (float v : values)
        EXPECT_EQ(Fixed(v), Printf("%f", static_cast<double>(v))) << v;
}

TEST(Format, FixedMatchesPrintfOnRandomBitPatterns) {
    std::mt19937 generator(20261208);
    for (int k = 0; k < 300000; ++k) {
        uint32_t bits = static_cast<uint32_t>(generator());
        // Half of them near 1, where most data lies and every rounding path is hit.
        if (k % 2) bits = (bits & 0x807FFFFFu) | ((100u + bits % 56u) << 23);
        float v = FromBits(bits);
        ASSERT_EQ(Fixed(v), Printf("%f", static_cast<double>(v))) << std::hex << bits;
    }
}

TEST(Format, FixedRoundsExactTiesToEven) {
    // 2^-21 * k has at most 21 binary places: the seventh decimal of some of
    // them is an exact tie.
    for (uint32_t k = 0; k < 4096; ++k) {
        float v = std::ldexp(static_cast<float>(k), -21);
        ASSERT_EQ(Fixed(v), Printf("%f", static_cast<double>(v))) << k;
    }
}

// Nine significant digits: printf's "%.9g" byte for byte, at most 16 bytes,
// and every float read back exactly.
TEST(Format, Significant9MatchesPrintfAndReadsBack) {
    auto check = [](float v) {
        char buffer[kMaxNumberText];
        std::string text(buffer, FormatSignificant9(buffer, v));
        ASSERT_EQ(text, Printf("%.9g", static_cast<double>(v))) << std::hex << v;
        ASSERT_LE(text.size(), 16u) << text;
        if (std::isfinite(v)) {
            ASSERT_EQ(std::strtof(text.c_str(), nullptr), v) << text;
        }
    };
    for (float v : {0.0f,        -0.0f,        0.1f,          1.0f,         -1.0f,       1e-7f,
                    123456.789f, 16777217.0f,  1e20f,         -3e30f,       FLT_MAX,     -FLT_MAX,
                    FLT_MIN,     FLT_TRUE_MIN, -FLT_TRUE_MIN, INFINITY,     -INFINITY,   NAN,
                    -NAN,        0.70710677f,  1.0f / 3.0f,   100000000.0f, 999999999.0f})
        check(v);
    std::mt19937 generator(20261209);
    for (int k = 0; k < 300000; ++k) {
        uint32_t bits = static_cast<uint32_t>(generator());
        if (k % 2) bits = (bits & 0x807FFFFFu) | ((100u + bits % 56u) << 23);
        check(FromBits(bits));
    }
}
