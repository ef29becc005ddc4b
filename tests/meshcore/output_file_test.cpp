// Gathered writes: every byte in order through short transfers, interrupts
// and failures, in as few calls as the parts allow; and OutputFile's
// writeGathered on a real file and a full device.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "fd_io.h"
#include "meshcore/output_file.h"
#include "test_support.h"

namespace {

// Parts as a save gathers them: a header, records, an empty block, indices
// and a short trailer; and all of them end to end.
struct Parts {
    std::vector<std::string> blocks;
    std::vector<iovec> parts;
    std::string whole;
    explicit Parts(std::vector<std::string> b) : blocks(std::move(b)) {
        for (std::string& block : blocks) {
            parts.push_back({block.data(), block.size()});
            whole += block;
        }
    }
};

std::string Pattern(size_t n, char first) {
    std::string s(n, '\0');
    for (size_t k = 0; k < n; ++k)
        s[k] = static_cast<char>(first + static_cast<char>(k % 23));
    return s;
}

Parts SaveLike() {
    return Parts({Pattern(15, 'A'), Pattern(224, 'a'), "", Pattern(72, '0'), "", "trail"});
}

// A stand-in for writev that takes at most `most` bytes a call, fails every
// call listed in `interrupted` with EINTR, and fails call `failAt` with
// `failWith` (a positive errno, or 0 for a call that takes nothing).
struct FakeWritev {
    size_t most = SIZE_MAX;
    std::vector<int> interrupted;
    int failAt = -1;
    int failWith = 0;
    std::string got;
    int calls = 0;
    ssize_t operator()(const iovec* batch, int n) {
        const int call = ++calls;
        EXPECT_GE(n, 1);
        EXPECT_LE(n, 8);
        for (int k = 0; k < n; ++k)
            EXPECT_GT(batch[k].iov_len, 0u) << "an empty part was passed on";
        for (int at : interrupted) {
            if (at == call) {
                errno = EINTR;
                return -1;
            }
        }
        if (call == failAt) {
            if (failWith == 0) return 0;
            errno = failWith;
            return -1;
        }
        size_t taken = 0;
        for (int k = 0; k < n && taken < most; ++k) {
            size_t len = std::min(batch[k].iov_len, most - taken);
            got.append(static_cast<const char*>(batch[k].iov_base), len);
            taken += len;
        }
        return static_cast<ssize_t>(taken);
    }
};

int Gather(FakeWritev& fake, const Parts& p) {
    return kvx::WriteAllGatheredWith([&](const iovec* b, int n) { return fake(b, n); },
                                     p.parts.data(), p.parts.size());
}

}  // namespace

TEST(GatheredWrite, OneCallWhenTheSystemTakesEverything) {
    Parts p = SaveLike();
    FakeWritev fake;
    EXPECT_EQ(Gather(fake, p), 0);
    EXPECT_EQ(fake.got, p.whole);
    EXPECT_EQ(fake.calls, 1);
}

// Short transfers of every size around the parts' edges (15: the header
// exactly, 239: header and records), each resumed where it stopped.
TEST(GatheredWrite, ShortTransfersResumeWhereTheyStopped) {
    Parts p = SaveLike();
    for (size_t most : std::vector<size_t>{1, 2, 14, 15, 16, 238, 239, 240, 310, 311, 315, 316}) {
        SCOPED_TRACE(most);
        FakeWritev fake;
        fake.most = most;
        EXPECT_EQ(Gather(fake, p), 0);
        EXPECT_EQ(fake.got, p.whole);
        EXPECT_EQ(static_cast<size_t>(fake.calls), (p.whole.size() + most - 1) / most);
    }
}

TEST(GatheredWrite, InterruptsAreRetriedAndFailuresStopAtOnce) {
    Parts p = SaveLike();
    FakeWritev interrupted;
    interrupted.most = 100;
    interrupted.interrupted = {1, 3, 4};
    EXPECT_EQ(Gather(interrupted, p), 0);
    EXPECT_EQ(interrupted.got, p.whole);
    EXPECT_EQ(interrupted.calls, 7);  // 3 interrupted, 4 of at most 100 bytes

    for (int at : {1, 2, 3}) {
        SCOPED_TRACE(at);
        FakeWritev full;
        full.most = 100;
        full.failAt = at;
        full.failWith = ENOSPC;
        EXPECT_EQ(Gather(full, p), ENOSPC);
        EXPECT_EQ(full.calls, at);
        EXPECT_EQ(full.got, p.whole.substr(0, static_cast<size_t>(at - 1) * 100));

        FakeWritev nothing;
        nothing.most = 100;
        nothing.failAt = at;
        EXPECT_EQ(Gather(nothing, p), EIO);
        EXPECT_EQ(nothing.calls, at);
    }
}

// More parts than one call takes: eight at a time, in order.
TEST(GatheredWrite, ManyPartsGoEightAtATime) {
    std::vector<std::string> blocks;
    for (int k = 0; k < 20; ++k)
        blocks.push_back(Pattern(static_cast<size_t>(k), static_cast<char>('A' + k)));
    Parts p(blocks);  // the first is empty: 19 parts to write
    FakeWritev fake;
    EXPECT_EQ(Gather(fake, p), 0);
    EXPECT_EQ(fake.got, p.whole);
    EXPECT_EQ(fake.calls, 3);

    Parts none({"", ""});
    FakeWritev idle;
    EXPECT_EQ(kvx::WriteAllGatheredWith([&](const iovec* b, int n) { return idle(b, n); },
                                        none.parts.data(), none.parts.size()),
              0);
    EXPECT_EQ(idle.calls, 0);
}

TEST(GatheredWrite, OutputFileWritesThePartsAndReportsAFullDevice) {
    TempDir dir;
    Parts p = SaveLike();
    const std::string path = dir.file("out.bin");
    WriteFile(path, "the previous file");
    {
        OutputFile file;
        KvxStatus status;
        ASSERT_TRUE(file.open(path.c_str(), &status));
        ASSERT_TRUE(file.writeGathered(p.parts.data(), p.parts.size(), &status));
        ASSERT_TRUE(file.write("!", 1, &status));
        ASSERT_TRUE(file.commit(&status));
    }
    EXPECT_EQ(ReadFile(path), p.whole + "!");
    EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"out.bin"});

    if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    OutputFile full;
    KvxStatus status;
    ASSERT_TRUE(full.open("/dev/full", &status));
    EXPECT_FALSE(full.writeGathered(p.parts.data(), p.parts.size(), &status));
    EXPECT_EQ(status.code, KvxErrc::write_failed);
    EXPECT_EQ(status.sysErrno, ENOSPC);
}
