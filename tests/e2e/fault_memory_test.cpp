// The programs under address-space limits (RLIMIT_AS, set in the child by
// `ulimit -v`): counts in the billions and large but plausible counts fail
// cleanly, with exit status 2 or 4 and one line on standard error, and never
// with a signal or a partial file; and a real mesh converts or fails cleanly
// at every limit from 20 to 100 MB.
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

// Runs `program` with `args` under an address-space limit of `kib` KiB.
RunResult Limited(const std::string& program, const std::vector<std::string>& args,
                  unsigned kib = 262144) {
    std::vector<std::string> shellArgs{
        "-c", "ulimit -v " + std::to_string(kib) + " && exec \"$0\" \"$@\"", program};
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
        for (const Converter& c : Converters()) {
            SCOPED_TRACE(c.name + " on " + counts);
            RunResult r = Limited(c.path, {in, out});
            if (!c.layout.readsTriangles && counts[0] == '0') {
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
    for (const Converter& c : Converters()) {
        // Text long enough for the counts (two bytes per value), and a
        // vertex array larger than what the limit leaves beside the mapped
        // text: 20 to 28 million vertices.
        const uint64_t record = c.layout.recordSize, values = c.layout.valuesPerVertex;
        uint64_t vertices = 200'000'000 / record + 8'000'000;
        SCOPED_TRACE(c.name + " with " + std::to_string(vertices) + " vertices");
        const uint64_t size = 2 * values * vertices + 16;
        WriteSparse(in, std::to_string(vertices) + " 0 ", size);
        RunResult r = Limited(c.path, {in, out});
        ExpectCleanFailure(r, c.name);
        EXPECT_EQ(r.exitStatus, 4);
        // The vertex array, or the text itself where it cannot be mapped.
        bool arrays =
            r.err == c.name + ": out of memory (" + std::to_string(vertices * record) + " bytes)\n";
        bool text =
            r.err == c.name + ": " + in + ": out of memory (" + std::to_string(size) + " bytes)\n";
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
    for (const Converter& c : Converters()) {
        // Two million vertices fit; the text behind the counts is zero bytes.
        SCOPED_TRACE(c.name);
        const std::string counts = "2000000 1000000 ";
        WriteSparse(in, counts,
                    counts.size() + 2 * (c.layout.valuesPerVertex * 2'000'000 + 3'000'000));
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

// A million random triangles over 65,536 vertices: under every limit from 20
// to 100 MB, each program converts, or fails cleanly for want of memory. A
// thread that cannot be started, once the end of the run by
// std::system_error between about 40 and 45 MB, leaves the work to one
// thread with the same result.
TEST(FaultMemory, EveryLimitFrom20To100MegabytesEndsCleanly) {
    SKIP_UNDER_SANITIZER();
    TempDir dir;
    constexpr uint32_t kVertices = 65536, kTriangles = 1'000'000;
    uint64_t state = 1;
    auto next = [&state] {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<uint32_t>(state >> 33);
    };
    std::string triangles;
    for (uint32_t t = 0; t < kTriangles; ++t) {
        triangles += std::to_string(next() % kVertices) + " " + std::to_string(next() % kVertices) +
                     " " + std::to_string(next() % kVertices) + "\n";
    }
    for (uint32_t values : {3u, 7u, 9u}) {
        std::string text = std::to_string(kVertices) + " " + std::to_string(kTriangles) + "\n";
        for (uint32_t i = 0; i < kVertices; ++i) {
            std::string position = std::to_string(i % 256) + ".5 " + std::to_string(i / 256) +
                                   ".25 " + std::to_string(next() % 100) + ".125\n";
            text += (values == 3   ? ""
                     : values == 7 ? "1 0.5 0.25 0.75 "
                                   : "0.5 0.5 1 0.5 0.25 0.75 ") +
                    position;
        }
        WriteFile(dir.file("in" + std::to_string(values) + ".cmsh"),
                  text + triangles + (values == 9 ? "mesh\n" : ""));
    }
    const std::string out = dir.file("out.kvx");
    ASSERT_EQ(RunProgram(KVXCONV3_PATH, {dir.file("in7.cmsh"), dir.file("v3.kvx")}).exitStatus, 0);
    struct Program {
        std::string name, path;
        std::vector<std::string> args;
    };
    std::vector<Program> programs;
    for (const Converter& c : Converters()) {
        programs.push_back(
            {c.name,
             c.path,
             {dir.file("in" + std::to_string(c.layout.valuesPerVertex) + ".cmsh"), out}});
    }
    programs.push_back({"kvxdump", KVXDUMP_PATH, {dir.file("v3.kvx")}});
    for (const Program& p : programs) {
        int converted = 0;
        for (unsigned mb = 20; mb <= 100; mb += 5) {
            SCOPED_TRACE(p.name + " under " + std::to_string(mb) + " MB");
            ::unlink(out.c_str());
            RunResult r = Limited(p.path, p.args, mb * 1000);
            EXPECT_EQ(r.signal, 0);
            if (r.exitStatus == 0) {
                ++converted;
                if (p.name != "kvxdump") {
                    OKVX m{};
                    MeshGuard guard{m};
                    EXPECT_EQ(m.load(out.c_str()), 1);
                }
                continue;
            }
            ExpectCleanFailure(r, p.name);
            EXPECT_EQ(r.exitStatus, 4) << r.err;
            // For want of an array, never of a thread.
            EXPECT_NE(r.err.find(": out of memory ("), std::string::npos) << r.err;
            EXPECT_FALSE(FileExists(out));
        }
        // The largest limits are enough for all of them.
        EXPECT_GE(converted, 1) << p.name;
    }
}

}  // namespace
