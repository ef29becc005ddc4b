// KVX files written as a set: all of them, or none, with the targets as they
// were.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "meshimport/file_set.h"
#include "test_support.h"

namespace kvx::test {
namespace {

// A version-1 point-less mesh: header only, which is all these tests need.
OKVX Empty(int32_t version) {
    OKVX m{};
    m.version = version;
    return m;
}

TEST(KvxFileSet, WritesEveryFileWithTheModeOfTheOneItReplaces) {
    TempDir dir;
    WriteFile(dir.file("b.kvx"), "old b");
    ASSERT_EQ(::chmod(dir.file("b.kvx").c_str(), 0640), 0);
    {
        KvxFileSet set;
        std::string error;
        ASSERT_TRUE(set.add(Empty(1), dir.file("a.kvx"), &error)) << error;
        ASSERT_TRUE(set.add(Empty(-1), dir.file("b.kvx"), &error)) << error;
        // Nothing is in place before the commit.
        EXPECT_FALSE(FileExists(dir.file("a.kvx")));
        EXPECT_EQ(ReadFile(dir.file("b.kvx")), "old b");
        ASSERT_TRUE(set.commit(&error)) << error;
    }
    EXPECT_EQ(ReadFile(dir.file("a.kvx")), KvxHeader(0, 0, 1));
    EXPECT_EQ(ReadFile(dir.file("b.kvx")), KvxHeader(0, 0, -1));
    struct stat st;
    ASSERT_EQ(::stat(dir.file("b.kvx").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"a.kvx", "b.kvx"}));
}

TEST(KvxFileSet, ASetNeverCommittedLeavesNothing) {
    TempDir dir;
    WriteFile(dir.file("a.kvx"), "old a");
    {
        KvxFileSet set;
        std::string error;
        ASSERT_TRUE(set.add(Empty(3), dir.file("a.kvx"), &error));
        ASSERT_TRUE(set.add(Empty(3), dir.file("b.kvx"), &error));
        // A directory in the way of the third file.
        ASSERT_EQ(::mkdir(dir.file("c.kvx").c_str(), 0755), 0);
        EXPECT_FALSE(set.add(Empty(3), dir.file("c.kvx"), &error));
        EXPECT_EQ(error, dir.file("c.kvx") + ": Is a directory");
    }
    EXPECT_EQ(ReadFile(dir.file("a.kvx")), "old a");
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"a.kvx", "c.kvx"}));
}

TEST(KvxFileSet, AFailedRenamePutsBackWhatWasReplaced) {
    TempDir dir;
    WriteFile(dir.file("a.kvx"), "old a");
    KvxFileSet set;
    std::string error;
    ASSERT_TRUE(set.add(Empty(2), dir.file("a.kvx"), &error));
    ASSERT_TRUE(set.add(Empty(2), dir.file("b.kvx"), &error));
    ASSERT_TRUE(set.add(Empty(2), dir.file("c.kvx"), &error));
    // After the files were written, a folder that is not empty takes the
    // place of the third: renaming over it fails.
    ASSERT_EQ(::mkdir(dir.file("c.kvx").c_str(), 0755), 0);
    WriteFile(dir.file("c.kvx/inside"), "x");
    EXPECT_FALSE(set.commit(&error));
    EXPECT_EQ(error.rfind(dir.file("c.kvx") + ": ", 0), 0u) << "[" << error << "]";
    EXPECT_EQ(ReadFile(dir.file("a.kvx")), "old a");
    EXPECT_FALSE(FileExists(dir.file("b.kvx")));
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"a.kvx", "c.kvx"}));
}

TEST(KvxFileSet, AMissingFolderFailsAtOnce) {
    TempDir dir;
    KvxFileSet set;
    std::string error;
    EXPECT_FALSE(set.add(Empty(1), dir.file("no/a.kvx"), &error));
    EXPECT_EQ(error, dir.file("no/a.kvx") + ": No such file or directory");
    EXPECT_TRUE(ListFolder(dir.path()).empty());
}

}  // namespace
}  // namespace kvx::test
