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
    // Twice in one process: nothing of the first set stays with the second.
    for (int round = 0; round < 2; ++round) {
        KvxFileSet set;
        std::string error;
        ASSERT_TRUE(set.open({dir.file("a.kvx"), dir.file("b.kvx")}, &error)) << error;
        ASSERT_TRUE(set.write(0, Empty(1), &error)) << error;
        ASSERT_TRUE(set.write(1, Empty(-1), &error)) << error;
        // Nothing is in place before the commit.
        if (round == 0) {
            EXPECT_FALSE(FileExists(dir.file("a.kvx")));
            EXPECT_EQ(ReadFile(dir.file("b.kvx")), "old b");
        }
        ASSERT_TRUE(set.commit(&error)) << error;
        EXPECT_EQ(ReadFile(dir.file("a.kvx")), KvxHeader(0, 0, 1));
        EXPECT_EQ(ReadFile(dir.file("b.kvx")), KvxHeader(0, 0, -1));
        struct stat st;
        ASSERT_EQ(::stat(dir.file("b.kvx").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
        EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"a.kvx", "b.kvx"}));
    }
}

TEST(KvxFileSet, ASetNeverCommittedLeavesNothing) {
    TempDir dir;
    WriteFile(dir.file("a.kvx"), "old a");
    {
        KvxFileSet set;
        std::string error;
        ASSERT_TRUE(set.open({dir.file("a.kvx"), dir.file("b.kvx")}, &error));
        ASSERT_TRUE(set.write(0, Empty(3), &error));
        ASSERT_TRUE(set.write(1, Empty(3), &error));
        EXPECT_EQ(ListFolder(dir.path()).size(), 3u);
    }
    EXPECT_EQ(ReadFile(dir.file("a.kvx")), "old a");
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"a.kvx"}));
}

// Paths that cannot be part of a set are refused by open(), before anything
// is written.
TEST(KvxFileSet, OpenRefusesFoldersDevicesAndOneFileTwice) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("c.kvx").c_str(), 0755), 0);
    WriteFile(dir.file("a.kvx"), "old a");
    ASSERT_EQ(::symlink("a.kvx", dir.file("link.kvx").c_str()), 0);
    ASSERT_EQ(::symlink("c.kvx/../a.kvx", dir.file("far.kvx").c_str()), 0);
    struct Case {
        std::vector<std::string> paths;
        std::string error;
    } cases[] = {
        {{dir.file("b.kvx"), dir.file("c.kvx")}, dir.file("c.kvx") + ": Is a directory"},
        {{dir.file("no/a.kvx")}, dir.file("no/a.kvx") + ": No such file or directory"},
        {{dir.file("b.kvx"), "/dev/null"}, "/dev/null: not a regular file"},
        {{dir.file("a.kvx"), dir.file("b.kvx"), dir.file("link.kvx")},
         dir.file("link.kvx") + ": the same file as " + dir.file("a.kvx")},
        {{dir.file("far.kvx"), dir.file("link.kvx")},
         dir.file("link.kvx") + ": the same file as " + dir.file("far.kvx")},
        {{dir.file("b.kvx"), dir.path() + "//b.kvx"},
         dir.path() + "//b.kvx: the same file as " + dir.file("b.kvx")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        KvxFileSet set;
        std::string error;
        EXPECT_FALSE(set.open(c.paths, &error));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(ListFolder(dir.path()),
                  (std::vector<std::string>{"a.kvx", "c.kvx", "far.kvx", "link.kvx"}));
    }
}

TEST(KvxFileSet, AFailedRenamePutsBackWhatWasReplaced) {
    TempDir dir;
    WriteFile(dir.file("a.kvx"), "old a");
    struct stat old;
    ASSERT_EQ(::stat(dir.file("a.kvx").c_str(), &old), 0);
    KvxFileSet set;
    std::string error;
    ASSERT_TRUE(set.open({dir.file("a.kvx"), dir.file("b.kvx"), dir.file("c.kvx")}, &error));
    for (size_t k = 0; k < 3; ++k)
        ASSERT_TRUE(set.write(k, Empty(2), &error));
    // After the files were written, a folder that is not empty takes the
    // place of the third: renaming over it fails.
    ASSERT_EQ(::mkdir(dir.file("c.kvx").c_str(), 0755), 0);
    WriteFile(dir.file("c.kvx/inside"), "x");
    EXPECT_FALSE(set.commit(&error));
    EXPECT_EQ(error.rfind(dir.file("c.kvx") + ": ", 0), 0u) << "[" << error << "]";
    // The very file that was there, with its one link.
    struct stat now;
    ASSERT_EQ(::stat(dir.file("a.kvx").c_str(), &now), 0);
    EXPECT_EQ(now.st_ino, old.st_ino);
    EXPECT_EQ(now.st_nlink, 1u);
    EXPECT_EQ(ReadFile(dir.file("a.kvx")), "old a");
    EXPECT_FALSE(FileExists(dir.file("b.kvx")));
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"a.kvx", "c.kvx"}));
}

}  // namespace
}  // namespace kvx::test
