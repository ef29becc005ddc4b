// The programs under a 256 MiB address-space limit (RLIMIT_AS, set in the
// child by `ulimit -v`): counts in the billions and large but plausible
// counts fail cleanly, with exit status 2 or 4 and one line on standard
// error, and never with a signal or a partial file.
//
// AddressSanitizer reserves terabytes of address space at start-up, so a
// sanitizer build cannot run under the limit: these cases are skipped there.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define KVX_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVX_ADDRESS_SANITIZER 1
#endif
#endif

namespace {

#ifdef KVX_ADDRESS_SANITIZER
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

#define SKIP_UNDER_SANITIZER() \
    if (kSanitized) GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit"

struct Converter {
    std::string name;
    std::string path;
    uint64_t valuesPerVertex;
    uint64_t recordSize;
};

const std::vector<Converter> kConverters = {
    {"kvxconv1", KVXCONV1_PATH, 3, 16},   {"kvxconv2", KVXCONV2_PATH, 7, 16},
    {"kvxconv3", KVXCONV3_PATH, 7, 28},   {"kvxconv4", KVXCONV4_PATH, 9, 36},
    {"kvxpoints", KVXPOINTS_PATH, 7, 16}, {"kvxwire", KVXWIRE_PATH, 7, 16},
};

// Runs `program` with `args` under a 256 MiB address-space limit.
RunResult Limited(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> shellArgs{"-c", "ulimit -v 262144 && exec \"$0\" \"$@\"", program};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    return RunProgram("/bin/sh", shellArgs);
}

// A file of `size` bytes that starts with `head`; the rest is a hole that
// reads as zero bytes and takes no disk space.
void WriteSparse(const std::string& path, const std::string& head, uint64_t size) {
    WriteFile(path, head);
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0);
}

void ExpectCleanFailure(const RunResult& r, const std::string& program) {
    EXPECT_EQ(r.signal, 0);
    EXPECT_TRUE(r.exitStatus == 2 || r.exitStatus == 4) << r.exitStatus;
    EXPECT_EQ(r.err.rfind(program + ": ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
}

TEST(FaultMemory, CountsInTheBillionsFailBeforeAnyAllocation) {
    SKIP_UNDER_SANITIZER();
    TempDir dir;
    std::string in = dir.file("in.cmsh"), out = dir.file("out.kvx");
    for (const char* counts : {"4000000000 4000000000", "4294967295 0", "0 4294967295",
                               "1000000000 1000000000", "100000000 100000000"}) {
        WriteFile(in, std::string(counts) + "\n1 0 0 1 2 3 4 5 6\n0 0 0\nname\n");
        for (const Converter& c : kConverters) {
            SCOPED_TRACE(c.name + " on " + counts);
            RunResult r = Limited(c.path, {in, out});
            if (c.name == "kvxpoints" && counts[0] == '0') {
                // A point set reads no triangles: no vertices, nothing to refuse.
                EXPECT_EQ(r.exitStatus, 0) << r.err;
                ::unlink(out.c_str());
                continue;
            }
            ExpectCleanFailure(r, c.name);
            // Refused from the counts and the file size, not from memory.
            EXPECT_EQ(r.exitStatus, 2);
            EXPECT_EQ(r.err.rfind(c.name + ": " + in + ":1: ", 0), 0u) << r.err;
            EXPECT_FALSE(FileExists(out));
        }
    }
    std::string kvx = dir.file("in.kvx");
    for (int32_t version : {1, 2, 3, 4, -1, -2, -3}) {
        for (uint32_t count : {4000000000u, 0xFFFFFFFFu, 300000000u}) {
            SCOPED_TRACE("kvxdump, version " + std::to_string(version) + ", count " +
                         std::to_string(count));
            WriteFile(kvx, KvxHeader(count, count, version) + std::string(64, '\0'));
            RunResult r = Limited(KVXDUMP_PATH, {kvx});
            ExpectCleanFailure(r, "kvxdump");
            EXPECT_EQ(r.exitStatus, 2);
            EXPECT_NE(r.err.find(": truncated: the header promises "), std::string::npos) << r.err;
            EXPECT_EQ(r.out, "");
        }
    }
}

TEST(FaultMemory, PlausibleCountsBeyondTheLimitRunOutOfMemoryCleanly) {
    SKIP_UNDER_SANITIZER();
    TempDir dir;
    std::string in = dir.file("in.cmsh"), out = dir.file("out.kvx");
    WriteFile(out, "the previous file");
    for (const Converter& c : kConverters) {
        // Text long enough for the counts (two bytes per value), and a
        // vertex array larger than what the limit leaves beside the mapped
        // text: 20 to 28 million vertices.
        uint64_t vertices = 200'000'000 / c.recordSize + 8'000'000;
        SCOPED_TRACE(c.name + " with " + std::to_string(vertices) + " vertices");
        WriteSparse(in, std::to_string(vertices) + " 0 ", 2 * c.valuesPerVertex * vertices + 16);
        RunResult r = Limited(c.path, {in, out});
        ExpectCleanFailure(r, c.name);
        EXPECT_EQ(r.exitStatus, 4);
        // The vertex array, or the text itself where it cannot be mapped.
        bool arrays = r.err == c.name + ": out of memory (" +
                                   std::to_string(vertices * c.recordSize) + " bytes)\n";
        bool text = r.err == c.name + ": " + in + ": Cannot allocate memory\n";
        EXPECT_TRUE(arrays || text) << r.err;
        EXPECT_EQ(ReadFile(out), "the previous file");
    }
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"in.cmsh", "out.kvx"}));

    // kvxdump on files whose blocks are there but do not fit in memory.
    std::string kvx = dir.file("in.kvx");
    for (int32_t version : {1, 3, 4, -2}) {
        uint32_t records = 20'000'000;
        uint64_t bytes = uint64_t{records} * (version == 3 ? 28 : version == 4 ? 36 : 16);
        SCOPED_TRACE("kvxdump, version " + std::to_string(version));
        WriteSparse(kvx, KvxHeader(records, 0, version), 15 + bytes);
        RunResult r = Limited(KVXDUMP_PATH, {kvx});
        ExpectCleanFailure(r, "kvxdump");
        EXPECT_EQ(r.exitStatus, 4);
        EXPECT_EQ(r.err,
                  "kvxdump: " + kvx + ": out of memory (" + std::to_string(bytes) + " bytes)\n");
        EXPECT_EQ(r.out, "");
    }
}

TEST(FaultMemory, PlausibleCountsWithinTheLimitReadTheTextAndRefuseIt) {
    SKIP_UNDER_SANITIZER();
    TempDir dir;
    std::string in = dir.file("in.cmsh"), out = dir.file("out.kvx");
    for (const Converter& c : kConverters) {
        // Two million vertices fit; the text behind the counts is zero bytes.
        SCOPED_TRACE(c.name);
        const std::string counts = "2000000 1000000 ";
        WriteSparse(in, counts, counts.size() + 2 * (c.valuesPerVertex * 2'000'000 + 3'000'000));
        RunResult r = Limited(c.path, {in, out});
        ExpectCleanFailure(r, c.name);
        std::string zeros;
        for (int k = 0; k < 40; ++k) {
            zeros += "\\x00";
        }
        EXPECT_EQ(r.err,
                  c.name + ": " + in + ":1: expected a number, found \"" + zeros + "...\"\n");
        EXPECT_FALSE(FileExists(out));
    }
}

}  // namespace
