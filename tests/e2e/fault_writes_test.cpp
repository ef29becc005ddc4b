// Writes that the system cuts short, interrupts or refuses, through a
// preloaded library: every converter's file comes out byte for byte as an
// undisturbed run writes it, or the run fails with one line, status 3 and
// the previous file left as it was, whichever write fails.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

TEST(FaultWrites, ShortAndInterruptedWritesGiveTheSameFile) {
    TempDir dir;
    const std::string out = dir.file("out.kvx");
    for (const Converter& p : Converters()) {
        ASSERT_EQ(RunProgram(p.path, {p.example, dir.file("plain.kvx")}).exitStatus, 0);
        const std::string file = ReadFile(dir.file("plain.kvx"));
        const std::string echo = RunProgram(p.path, {p.example, dir.file("plain.kvx")}).out;
        for (const char* settings :
             {"KVX_SHIM_WRITE_AT_MOST=1", "KVX_SHIM_WRITE_AT_MOST=7 KVX_SHIM_WRITE_EINTR=1",
              "KVX_SHIM_WRITE_AT_MOST=15 KVX_SHIM_NO_TMPFILE=1", "KVX_SHIM_WRITE_EINTR=1"}) {
            SCOPED_TRACE(p.name + " with " + settings);
            WriteFile(out, "the previous file");
            RunResult r = RunProgram("/bin/sh", Shimmed(settings, p.path, {p.example, out}));
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(r.out, echo);
            EXPECT_EQ(ReadFile(out), file);
            EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"out.kvx", "plain.kvx"}));
        }
    }
}

// ENOSPC at the first, second, ... write of the file, until a run gets
// through: with writes of at most 100 bytes, every file takes several.
TEST(FaultWrites, AFullFileSystemAtAnyWriteLeavesThePreviousFile) {
    TempDir dir;
    const std::string out = dir.file("out.kvx");
    for (const Converter& p : Converters()) {
        for (const char* more : {"", " KVX_SHIM_NO_TMPFILE=1"}) {
            int failed = 0;
            for (int k = 1; k < 100; ++k) {
                SCOPED_TRACE(p.name + " failing write " + std::to_string(k) + more);
                WriteFile(out, "the previous file");
                RunResult r = RunProgram(
                    "/bin/sh", Shimmed("KVX_SHIM_WRITE_AT_MOST=100 KVX_SHIM_WRITE_ERRNO=28 "
                                       "KVX_SHIM_WRITE_FAILS_AT=" +
                                           std::to_string(k) + more,
                                       p.path, {p.example, out}));
                if (r.exitStatus == 0) break;
                ++failed;
                EXPECT_EQ(r.exitStatus, 3);
                EXPECT_EQ(r.err, p.name + ": " + out + ": No space left on device\n");
                EXPECT_EQ(ReadFile(out), "the previous file");
                EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"out.kvx"});
            }
            // The file's bytes, 100 a write: each write failed once.
            const size_t bytes = ReadFile(out).size();
            EXPECT_EQ(static_cast<size_t>(failed), (bytes + 99) / 100);
        }
    }
}
