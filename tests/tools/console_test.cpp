// The stdout buffer must deliver everything and report failed writes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>

#include "console.h"
#include "test_support.h"

TEST(ConsoleOut, DeliversEverythingAcrossManyBuffersOfOutput) {
    TempDir dir;
    std::string path = dir.file("out.txt");
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    std::string expected;
    {
        ConsoleOut out(fd);
        // Lines across many buffer drains, each in order.
        const uint32_t lines = 400000;
        auto triple = [](uint64_t i, uint16_t* t) {
            t[0] = static_cast<uint16_t>(i);
            t[1] = static_cast<uint16_t>(i * 7);
            t[2] = static_cast<uint16_t>(65535 - i);
        };
        PrintLines(out, lines, kTripleLine, [&](char* p, uint64_t i) {
            uint16_t t[3];
            triple(i, t);
            return TripleLine(p, t);
        });
        for (uint32_t i = 0; i < lines; ++i) {
            uint16_t t[3];
            triple(i, t);
            char line[64];
            std::snprintf(line, sizeof line, "%u %u %u\n", t[0], t[1], t[2]);
            expected += line;
        }
        PrintCounts(out, 7, 8, -2);
        expected += "vertexCount = 7\nfaceCount = 8\nversion = -2\n";
        PrintLines(out, 1, kColorPositionLine, [](char* p, uint64_t) {
            return ColorPositionLine(p, 0xFF00FF, 0.1f, -2.0f, 1e-7f);
        });
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
