// Number formatting must match printf byte for byte; the stdout buffer must
// deliver everything and report failed writes.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <unistd.h>

#include "console.h"
#include "test_support.h"

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

TEST(Format, FixedMatchesPrintfOnSpecialValues) {
    const float values[] = {0.0f, -0.0f, 0.1f, 1.0f, -1.0f, 0.5f, 2.5f, 1e-7f, -1e-7f,
                            5e-7f, 4.9999997e-7f, 5.0000006e-7f, 1.5e-6f, 2.5e-6f, 0.0000125f,
                            123456.789f, 16777216.0f, 16777217.0f, 1e10f, 1.0995116e12f,
                            2.2e12f, 1e20f, -3e30f, FLT_MAX, -FLT_MAX, FLT_MIN, FLT_TRUE_MIN,
                            INFINITY, -INFINITY, NAN, -NAN, 0.70710677f, 3.4e38f};
    for (float v : values) EXPECT_EQ(Fixed(v), Printf("%f", static_cast<double>(v))) << v;
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

TEST(ConsoleOut, DeliversEverythingAcrossManyBuffersOfOutput) {
    TempDir dir;
    std::string path = dir.file("out.txt");
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    std::string expected;
    {
        ConsoleOut out(fd);
        for (uint32_t i = 0; i < 400000; ++i) {
            uint16_t t[3] = {static_cast<uint16_t>(i), static_cast<uint16_t>(i * 7),
                             static_cast<uint16_t>(65535 - i)};
            PrintTriple(out, t);
            char line[64];
            std::snprintf(line, sizeof line, "%u %u %u\n", t[0], t[1], t[2]);
            expected += line;
        }
        PrintCounts(out, 7, 8, -2);
        expected += "vertexCount = 7\nfaceCount = 8\nversion = -2\n";
        PrintColorPosition(out, 0xFF00FF, 0.1f, -2.0f, 1e-7f);
        expected += "0xFF00FF 0.100000 -2.000000 0.000000\n";
        out.write("tail");
        expected += "tail";
        EXPECT_TRUE(out.flush());
    }
    ::close(fd);
    EXPECT_EQ(ReadFile(path), expected);
}

TEST(ConsoleOut, ReportsAFailedWrite) {
    int fd = ::open("/dev/full", O_WRONLY);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    ConsoleOut out(fd);
    out.write("x");
    EXPECT_FALSE(out.flush());
    EXPECT_EQ(out.error(), ENOSPC);
    ::close(fd);
}
