// kvximport --split as one transaction, run as users run it:
//   - a stop signal at every write and at every rename leaves the folder
//     exactly as it was: the old parts the very same files, no hidden file;
//   - without hard links, a rename that fails at any point puts every old
//     part back, byte for byte, with its mode and its other links;
//   - part paths follow links as a single output does, and two that lead to
//     one file are refused before anything is written;
//   - outputs that cannot be numbered (`sub/`) or are not files
//     (/dev/stdout) are refused;
//   - parts of exactly 65,536 vertices, and a piece of 65,537 split again;
//   - file names with control characters in every kind of message.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

RunResult Import(const std::vector<std::string>& args) {
    return RunProgram(KVXIMPORT_PATH, args);
}

void Put(std::string& out, float v) {
    char bytes[4];
    std::memcpy(bytes, &v, 4);
    out.append(bytes, 4);
}

void Put(std::string& out, int32_t v) {
    char bytes[4];
    std::memcpy(bytes, &v, 4);
    out.append(bytes, 4);
}

// A binary PLY of grids in the plane z = 0: each grid n x n vertices at
// x offset `dx`; with `extra`, one more vertex beyond the last grid's last
// column, in one more triangle with that grid's last two corners.
std::string GridsPly(const std::vector<std::pair<uint32_t, float>>& grids, bool extra = false) {
    uint32_t vertices = 0, faces = 0;
    for (auto [n, dx] : grids) {
        vertices += n * n;
        faces += 2 * (n - 1) * (n - 1);
    }
    if (extra) ++vertices, ++faces;
    std::string out =
        "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(vertices) +
        "\nproperty float x\nproperty float y\nproperty float z\n"
        "element face " +
        std::to_string(faces) + "\nproperty list uchar int vertex_indices\nend_header\n";
    for (auto [n, dx] : grids)
        for (uint32_t y = 0; y < n; ++y)
            for (uint32_t x = 0; x < n; ++x)
                for (float v : {float(x) + dx, float(y), 0.0f})
                    Put(out, v);
    const uint32_t lastN = grids.back().first;
    if (extra)
        for (float v : {float(lastN) + grids.back().second + 5.0f, 0.0f, 0.0f})
            Put(out, v);
    int32_t base = 0;
    for (auto [n, dx] : grids) {
        for (uint32_t y = 0; y + 1 < n; ++y) {
            for (uint32_t x = 0; x + 1 < n; ++x) {
                const int32_t a = base + static_cast<int32_t>(y * n + x), b = a + 1,
                              c = a + static_cast<int32_t>(n) + 1, d = a + static_cast<int32_t>(n);
                for (auto t : {std::vector<int32_t>{a, b, c}, std::vector<int32_t>{a, c, d}}) {
                    out += '\3';
                    for (int32_t i : t)
                        Put(out, i);
                }
            }
        }
        base += static_cast<int32_t>(n * n);
    }
    if (extra) {
        const int32_t last = base - 1;  // the last grid's top right corner
        out += '\3';
        for (int32_t i :
             {last - static_cast<int32_t>(lastN) * (static_cast<int32_t>(lastN) - 1), base, last})
            Put(out, i);
    }
    return out;
}

// kvximport with the fault library and `settings`, for /bin/sh -c.
std::vector<std::string> Shimmed(const std::string& settings,
                                 const std::vector<std::string>& args) {
    return ::Shimmed(settings, KVXIMPORT_PATH, args);
}

// What a folder holds, name by name: kind, mode, inode, link count, and the
// contents or the link's text; all that a rollback must restore.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::map<std::string, std::string> out;
    for (const std::string& name : ListFolder(folder)) {
        const std::string path = folder + "/" + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) continue;
        std::string what = std::to_string(st.st_mode) + " " + std::to_string(st.st_ino) + " " +
                           std::to_string(st.st_nlink) + " ";
        if (S_ISLNK(st.st_mode)) {
            char text[4096];
            ssize_t n = ::readlink(path.c_str(), text, sizeof text);
            what += "-> " + std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
        } else if (S_ISREG(st.st_mode)) {
            what += ReadFile(path);
        }
        out[name] = what;
    }
    return out;
}

class KvxImportSplit : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(input(), GridsPly({{300, 0.0f}}));  // 90,000 vertices: 2 parts
    }
    std::string input() const { return in.file("scan.ply"); }
    // A folder of old parts: part 1 with a second hard link and mode 0640,
    // part 2 a link to a file of its own.
    void OldParts() {
        WriteFile(dir.file("scan-1.kvx"), "old part 1");
        ASSERT_EQ(::chmod(dir.file("scan-1.kvx").c_str(), 0640), 0);
        ASSERT_EQ(::link(dir.file("scan-1.kvx").c_str(), dir.file("other-name").c_str()), 0);
        WriteFile(dir.file("kept-2"), "old part 2");
        ASSERT_EQ(::symlink("kept-2", dir.file("scan-2.kvx").c_str()), 0);
        // A second name outside, to put it back after a run that succeeded.
        ASSERT_EQ(::link(dir.file("kept-2").c_str(), in.file("backup-2").c_str()), 0);
    }
    void ExpectNewParts() {
        for (const char* part : {"scan-1.kvx", "scan-2.kvx"}) {
            OKVX m{};
            MeshGuard guard{m};
            EXPECT_EQ(m.load(dir.file(part).c_str()), 1) << part;
            EXPECT_GT(m.vertexCount, 40000u);
        }
    }

    TempDir in, dir;
};

// A stop signal at each write while the parts are written, and at each
// rename while they are put in place (with and without hard links, with
// and without unnamed files): the run fails with status 3 and the folder
// is exactly as it was. Counting on until a run completes reaches every
// write and every rename.
TEST_F(KvxImportSplit, AStopSignalAnywhereLeavesTheFolderAsItWas) {
    OldParts();
    const auto before = Snapshot(dir.path());
    for (const char* at : {"KVX_SHIM_SIGNAL_AT_WRITE", "KVX_SHIM_SIGNAL_AT_RENAME"}) {
        for (const char* more : {"", " KVX_SHIM_LINK_ERRNO=31", " KVX_SHIM_NO_TMPFILE=1"}) {
            int stopped = 0;
            for (int k = 1; k < 200; ++k) {
                SCOPED_TRACE(std::string(at) + "=" + std::to_string(k) + more);
                RunResult r =
                    RunProgram("/bin/sh", Shimmed(std::string(at) + "=" + std::to_string(k) + more,
                                                  {"--split", input(), dir.file("scan.kvx")}));
                if (r.exitStatus == 0) break;
                ++stopped;
                EXPECT_EQ(r.exitStatus, 3);
                EXPECT_EQ(r.err, "kvximport: stopped by SIGTERM\n");
                ASSERT_TRUE(Snapshot(dir.path()) == before);
            }
            // Each part goes out in one gathered write; there are more renames.
            EXPECT_GE(stopped, std::string(at) == "KVX_SHIM_SIGNAL_AT_WRITE" ? 2 : 4);
            // The run that was not stopped wrote both parts; the hard link
            // and the link's own file are left alone, as a single output
            // leaves them.
            ExpectNewParts();
            EXPECT_EQ(ReadFile(dir.file("other-name")), "old part 1");
            struct stat st;
            ASSERT_EQ(::lstat(dir.file("scan-2.kvx").c_str(), &st), 0);
            EXPECT_TRUE(S_ISLNK(st.st_mode));
            ASSERT_EQ(::stat(dir.file("scan-1.kvx").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0640u);
            // Back to the old parts for the next round.
            ::unlink(dir.file("scan-1.kvx").c_str());
            ASSERT_EQ(::link(dir.file("other-name").c_str(), dir.file("scan-1.kvx").c_str()), 0);
            ::unlink(dir.file("kept-2").c_str());
            ASSERT_EQ(::link(in.file("backup-2").c_str(), dir.file("kept-2").c_str()), 0);
            ASSERT_TRUE(Snapshot(dir.path()) == before);
        }
    }
}

// Where no second link can be made, the old part is renamed aside; a rename
// that fails at any later point puts every old part back: the same file,
// contents, mode and links. No failure ever removes an old part.
TEST_F(KvxImportSplit, WithoutHardLinksAFailedRenamePutsBackTheOldParts) {
    OldParts();
    const auto before = Snapshot(dir.path());
    int failed = 0;
    for (int k = 1; k < 200; ++k) {
        SCOPED_TRACE("rename " + std::to_string(k));
        RunResult r = RunProgram(
            "/bin/sh",
            Shimmed("KVX_SHIM_LINK_ERRNO=31 KVX_SHIM_RENAME_ERRNO=5 KVX_SHIM_RENAME_FAILS_AT=" +
                        std::to_string(k),
                    {"--split", input(), dir.file("scan.kvx")}));
        if (r.exitStatus == 0) break;
        ++failed;
        EXPECT_EQ(r.exitStatus, 3);
        // The part being written or put in place is named.
        EXPECT_TRUE(r.err == "kvximport: " + dir.file("scan-1.kvx") + ": Input/output error\n" ||
                    r.err == "kvximport: " + dir.file("scan-2.kvx") + ": Input/output error\n")
            << r.err;
        ASSERT_TRUE(Snapshot(dir.path()) == before);
    }
    // Two saves, two renames aside and two into place.
    EXPECT_EQ(failed, 6);
    ExpectNewParts();
}

// A rename that fails halfway with hard links: the part made new is
// removed again, the part not yet replaced keeps its one name.
TEST_F(KvxImportSplit, AFailedRenamePutsBackWhatWasThere) {
    WriteFile(dir.file("scan-2.kvx"), "old part 2");
    const auto before = Snapshot(dir.path());
    // Renames: the two saves, then part 1 and part 2 into place.
    RunResult r =
        RunProgram("/bin/sh", Shimmed("KVX_SHIM_RENAME_ERRNO=5 KVX_SHIM_RENAME_FAILS_AT=4",
                                      {"--split", input(), dir.file("scan.kvx")}));
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "kvximport: " + dir.file("scan-2.kvx") + ": Input/output error\n");
    EXPECT_TRUE(Snapshot(dir.path()) == before);
}

// A dangling link at each part's path creates its target, as a single
// output does; the links stay.
TEST_F(KvxImportSplit, DanglingLinksCreateTheirTargets) {
    ASSERT_EQ(::mkdir(dir.file("real").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("real/one.kvx", dir.file("scan-1.kvx").c_str()), 0);
    ASSERT_EQ(::symlink("real/two.kvx", dir.file("scan-2.kvx").c_str()), 0);
    RunResult r = Import({"--split", input(), dir.file("scan.kvx")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    for (const char* part : {"scan-1.kvx", "scan-2.kvx"}) {
        struct stat st;
        ASSERT_EQ(::lstat(dir.file(part).c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << part;
    }
    EXPECT_EQ(ListFolder(dir.file("real")), (std::vector<std::string>{"one.kvx", "two.kvx"}));
    ExpectNewParts();
}

// Two part paths that lead to one file, through a link, a hard link or two
// dangling links to one name: refused before anything is written.
TEST_F(KvxImportSplit, TwoPartsThatAreOneFileAreRefused) {
    struct Case {
        const char* what;
        void (*make)(const TempDir&);
    } cases[] = {
        {"a link",
         [](const TempDir& d) {
             WriteFile(d.file("scan-1.kvx"), "old");
             ASSERT_EQ(::symlink("scan-1.kvx", d.file("scan-2.kvx").c_str()), 0);
         }},
        {"a hard link",
         [](const TempDir& d) {
             WriteFile(d.file("scan-1.kvx"), "old");
             ASSERT_EQ(::link(d.file("scan-1.kvx").c_str(), d.file("scan-2.kvx").c_str()), 0);
         }},
        {"dangling links",
         [](const TempDir& d) {
             ASSERT_EQ(::symlink("target", d.file("scan-1.kvx").c_str()), 0);
             ASSERT_EQ(::symlink("./target", d.file("scan-2.kvx").c_str()), 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir d;
        c.make(d);
        const auto before = Snapshot(d.path());
        RunResult r = Import({"--split", input(), d.file("scan.kvx")});
        EXPECT_EQ(r.exitStatus, 3);
        EXPECT_EQ(r.err, "kvximport: " + d.file("scan-2.kvx") + ": the same file as " +
                             d.file("scan-1.kvx") + "\n");
        EXPECT_TRUE(Snapshot(d.path()) == before);
    }
}

// Outputs whose parts cannot be named or placed.
TEST_F(KvxImportSplit, OutputsWithoutAFileNameOrOnADeviceAreRefused) {
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
    auto refused = [&](const std::string& output, const std::string& why) {
        SCOPED_TRACE(output);
        RunResult r = Import({"--split", input(), output});
        EXPECT_EQ(r.exitStatus, 3);
        EXPECT_EQ(r.err, "kvximport: " + output + ": " + why + "\n");
    };
    for (const std::string& output : {dir.file("sub/"), dir.file("sub/.")})
        refused(output,
                "no file name to number the parts after (--split writes <stem>-1.kvx, ...)");
    EXPECT_TRUE(ListFolder(dir.file("sub")).empty());
    // A link to a device, and a descriptor's name. What a fault would make
    // in /dev is removed again.
    ASSERT_EQ(::symlink("/dev/null", dir.file("null").c_str()), 0);
    for (std::string output : {dir.file("null"), std::string("/dev/stdout")}) {
        refused(output, "not a regular file; --split writes its parts as files beside the output");
        for (const char* part : {"-1.kvx", "-2.kvx"}) {
            EXPECT_FALSE(FileExists(output + part));
            ::unlink((output + part).c_str());
        }
    }
    // A mesh that needs no split is written there as a single output.
    WriteFile(in.file("small.off"), "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n");
    RunResult r = Import({"--split", in.file("small.off"), "/dev/null"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
}

// The bisection keeps a piece of exactly 65,536 vertices whole, and cuts
// one of 65,537 again.
TEST_F(KvxImportSplit, PiecesOfExactlyTheVertexLimit) {
    for (bool extra : {false, true}) {
        SCOPED_TRACE(extra ? "65,536 and 65,537" : "twice 65,536");
        TempDir d;
        WriteFile(d.file("two.ply"), GridsPly({{256, 0.0f}, {256, 1000.0f}}, extra));
        RunResult r = Import({"--split", d.file("two.ply"), d.file("two.kvx")});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        std::vector<uint32_t> counts;
        uint64_t faces = 0;
        for (size_t k = 1; FileExists(d.file("two-" + std::to_string(k) + ".kvx")); ++k) {
            OKVX m{};
            MeshGuard guard{m};
            ASSERT_EQ(m.load(d.file("two-" + std::to_string(k) + ".kvx").c_str()), 1);
            counts.push_back(m.vertexCount);
            faces += m.faceCount;
        }
        EXPECT_EQ(faces, 2u * 2 * 255 * 255 + (extra ? 1 : 0));
        if (!extra) {
            EXPECT_EQ(counts, (std::vector<uint32_t>{65536, 65536}));
        } else {
            ASSERT_GE(counts.size(), 3u);
            EXPECT_EQ(counts[0], 65536u);
            for (uint32_t c : counts)
                EXPECT_LE(c, 65536u);
        }
    }
}

// A name with a line feed or another control character stays on one line in
// every kind of message: an error, a warning, the split's summary.
TEST_F(KvxImportSplit, FileNamesInMessagesStayOnOneLine) {
    const std::string odd = in.file("two\nlines\t.stl");
    const std::string shown = in.file("two\\x0alines\\x09.stl");
    RunResult r = Import({odd, dir.file("out.kvx")});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "kvximport: " + shown + ": No such file or directory\n");

    // A binary STL that announces no triangle and holds one: a warning.
    std::string stl(80, ' ');
    AppendU32(stl, 0);
    for (float v : {0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f})
        AppendF32(stl, v);
    stl += std::string(2, '\0');
    WriteFile(odd, stl);
    r = Import({odd, dir.file("out.kvx")});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "kvximport: " + shown +
                         ": the header announces 0 triangles, the file holds 1; all 1 are read\n");

    const std::string output = dir.file("new\nline.kvx");
    r = Import({"--split", input(), output});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "kvximport: " + input() +
                         ": 90000 vertices in 2 parts: " + dir.file("new\\x0aline-1.kvx") + ", " +
                         dir.file("new\\x0aline-2.kvx") + "\n");
    EXPECT_TRUE(FileExists(dir.file("new\nline-2.kvx")));
}

}  // namespace
