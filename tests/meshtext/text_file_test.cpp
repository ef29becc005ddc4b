// The input file in a long-lived process: any number of mapped files at
// once, each shrinking under its reader without a signal, and slots that
// come back when a file is closed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "meshtext/text_file.h"
#include "test_support.h"

namespace {

// Looks at every page of the text, as a reader would.
unsigned TouchEveryPage(const TextFile& f) {
    unsigned sum = 0;
    for (const volatile char* p = f.begin(); p < f.end(); p += 4096)
        sum += static_cast<unsigned char>(*p);
    return sum;
}

// `n` mapped files open at once; the last and the first shrink to nothing
// and are read: each learns it changed, no other does, and no signal ends
// the process.
void ShrinkWithOpen(size_t n) {
    TempDir dir;
    const std::string text(3 * 4096, '1');
    std::vector<std::unique_ptr<TextFile>> files;
    std::vector<std::string> paths;
    for (size_t k = 0; k < n; ++k) {
        paths.push_back(dir.file("f" + std::to_string(k)));
        WriteFile(paths.back(), text);
        files.push_back(std::make_unique<TextFile>());
        KvxStatus why;
        ASSERT_TRUE(files.back()->open(paths.back().c_str(), 1, &why));
        ASSERT_TRUE(files.back()->whole());
    }
    ASSERT_EQ(::truncate(paths.back().c_str(), 0), 0);
    ASSERT_EQ(::truncate(paths.front().c_str(), 0), 0);
    for (size_t k = 0; k < n; ++k) {
        SCOPED_TRACE(k);
        const unsigned sum = TouchEveryPage(*files[k]);
        const bool shrunk = k == 0 || k == n - 1;
        EXPECT_EQ(files[k]->changed(), shrunk);
        EXPECT_EQ(sum, shrunk ? 0u : 3u * '1');
    }
}

}  // namespace

TEST(TextFile, EveryMappingIsWatchedHoweverManyAreOpen) {
    // Exactly the first block of slots, one more, and several blocks.
    ShrinkWithOpen(16);
    EXPECT_EQ(TextFile::watchSlots(), 16u);
    ShrinkWithOpen(17);
    EXPECT_EQ(TextFile::watchSlots(), 32u);
    ShrinkWithOpen(40);
    EXPECT_EQ(TextFile::watchSlots(), 48u);
    // Closed files gave their slots back: as many again need no more.
    ShrinkWithOpen(40);
    EXPECT_EQ(TextFile::watchSlots(), 48u);
}

TEST(TextFile, OpenAndCloseCyclesFreeTheirSlots) {
    TempDir dir;
    WriteFile(dir.file("a"), "1 2 3");
    WriteFile(dir.file("b"), "4 5");
    const size_t before = TextFile::watchSlots();
    TextFile kept;
    KvxStatus why;
    ASSERT_TRUE(kept.open(dir.file("b").c_str(), 1, &why));
    for (int k = 0; k < 1000; ++k) {
        TextFile f;
        ASSERT_TRUE(f.open(dir.file("a").c_str(), 1, &why));
        // Opening again releases the text held before.
        ASSERT_TRUE(f.open(dir.file("a").c_str(), 1, &why));
        ASSERT_EQ(std::string(f.begin(), f.end()), "1 2 3");
        f.close();
        EXPECT_EQ(f.begin(), f.end());
    }
    EXPECT_EQ(TextFile::watchSlots(), before);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "4 5");
    EXPECT_FALSE(kept.changed());
}

// readBytes stops at exactly the size asked for, however much more the
// stream holds, and at the end of a shorter one.
TEST(TextFile, ReadBytesReadsToExactlyTheSizeAsked) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::thread writer([&] {
        const std::string block(4096, 'x');
        for (int k = 0; k < 100; ++k) {
            if (::write(fds[1], block.data(), block.size()) != 4096) break;
        }
        ::close(fds[1]);
    });
    const std::string path = "/dev/fd/" + std::to_string(fds[0]);
    KvxStatus why;
    TextFile f;
    ASSERT_TRUE(f.open(path.c_str(), 0, &why));
    ASSERT_TRUE(f.readBytes(200001, &why));
    EXPECT_EQ(f.end() - f.begin(), 200001);
    EXPECT_FALSE(f.whole());
    ASSERT_TRUE(f.readBytes(1000000, &why));
    EXPECT_EQ(f.end() - f.begin(), 409600);
    EXPECT_TRUE(f.whole());
    f.close();
    ::close(fds[0]);
    writer.join();
}
