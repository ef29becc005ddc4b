// End-to-end runs of kvxdump: exact output of every version, the failures,
// and files written by the converters read back.
#include <gtest/gtest.h>

#include <cstdlib>

#include "test_support.h"

namespace {

std::string Header(uint32_t vertexCount, uint32_t faceCount, int32_t version) {
    return "vertexCount = " + std::to_string(vertexCount) +
           "\nfaceCount = " + std::to_string(faceCount) + "\nversion = " + std::to_string(version) +
           "\n";
}

// A file and the exact text kvxdump prints for it.
struct Golden {
    const char* what;
    std::string file;
    std::string text;
    size_t blocksEnd;  // bytes up to the end of the index block
};

std::vector<Golden> Goldens() {
    std::vector<Golden> g;
    {
        std::string f = KvxHeader(2, 2, 1) + V1Record(0x0ABCDEF0u, 1.5f, -0.25f, 100.0f) +
                        V1Record(0xFFFFFFFFu, 0.1f, -0.0f, 123456.789f) +
                        Indices({0, 1, 65535, 1, 0, 1});
        g.push_back({"v1", f,
                     "vertexCount = 2\nfaceCount = 2\nversion = 1\n"
                     "0xABCDEF0 1.500000 -0.250000 100.000000\n"
                     "0xFFFFFFFF 0.100000 -0.000000 123456.789062\n"
                     "0 1 65535\n1 0 1\n",
                     f.size()});
    }
    {
        std::string f =
            KvxHeader(1, 1, 2) + V1Record(0, 1e-7f, 2.5e-6f, -7.125f) + Indices({2, 2, 2});
        g.push_back({"v2", f,
                     "vertexCount = 1\nfaceCount = 1\nversion = 2\n"
                     "0x0 0.000000 0.000002 -7.125000\n2 2 2\n",
                     f.size()});
    }
    {
        std::string f = KvxHeader(1, 1, 3);
        AppendU32(f, 0x00C0FFEEu);
        f += Floats({0.0f, 1.0f, -1.0f, 2.0f, 0.3f, 4.0f}) + Indices({0, 10, 200});
        g.push_back({"v3", f,
                     "vertexCount = 1\nfaceCount = 1\nversion = 3\n"
                     "0.000000 1.000000 -1.000000 0xC0FFEE 2.000000 0.300000 4.000000\n"
                     "0 10 200\n",
                     f.size()});
    }
    {
        std::string f = KvxHeader(1, 1, 4) + Floats({0.25f, 0.75f});
        AppendU32(f, 0x80u);
        f += Floats({0.5f, -0.5f, 1.0f, 10.0f, 20.0f, -30.0f}) + Indices({3, 2, 1});
        size_t blocksEnd = f.size();
        g.push_back({"v4", f + "ab",
                     "vertexCount = 1\nfaceCount = 1\nversion = 4\n"
                     "0.250000 0.750000 0.500000 -0.500000 1.000000 0x80 10.000000 20.000000 "
                     "-30.000000\n"
                     "3 2 1\nab\n",
                     blocksEnd});
    }
    {
        // faceCount 9 describes nothing in a point set.
        std::string f = KvxHeader(2, 9, -1) + V1Record(1, 1, 2, 3) + V1Record(0x10, 4, 5, 6);
        g.push_back({"vn1", f,
                     "vertexCount = 2\nfaceCount = 9\nversion = -1\n"
                     "0x1 1.000000 2.000000 3.000000\n0x10 4.000000 5.000000 6.000000\n",
                     f.size()});
    }
    {
        std::string f = KvxHeader(2, 3, -2) + V1Record(0xFFFF0000u, 1, 2, 3) +
                        V1Record(7, 4, 5, 6) + Indices({0, 1, 1, 0, 65535, 1});
        g.push_back({"vn2", f,
                     "vertexCount = 2\nfaceCount = 3\nversion = -2\n"
                     "0xFFFF0000 1.000000 2.000000 3.000000\n0x7 4.000000 5.000000 6.000000\n"
                     "0 1\n1 0\n65535 1\n",
                     f.size()});
    }
    {
        // Loaded, but not printed.
        std::string f = KvxHeader(1, 1, -3) + V1Record(1, 2, 3, 4) + Floats({5, 6, 7}) +
                        Indices({1, 2, 3, 4, 5, 6});
        g.push_back({"vn3", f, "vertexCount = 1\nfaceCount = 1\nversion = -3\n", f.size()});
    }
    return g;
}

RunResult Dump(const std::string& path) {
    return RunProgram(KVXDUMP_PATH, {path});
}

// Runs a shell command line with $0 = kvxdump and $1 = `arg`.
RunResult DumpThroughShell(const std::string& script, const std::string& arg) {
    return RunProgram("/bin/sh", {"-c", script, KVXDUMP_PATH, arg});
}

void ExpectFailure(const RunResult& r, const std::string& err) {
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, err);
}

}  // namespace

TEST(Kvxdump, CommandLine) {
    ExpectUsageMistakes(KVXDUMP_PATH, {{{}, "usage: kvxdump <file.kvx>\n"},
                                       {{"--dump", "x.kvx"},
                                        "kvxdump: unknown option --dump; see kvxdump --help\n"}});
    RunResult r = RunProgram(KVXDUMP_PATH, {"--help"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out.substr(0, 26), "usage: kvxdump <file.kvx>\n");
    EXPECT_NE(r.out.find("\nExample:\n  kvxdump "), std::string::npos);
    r = RunProgram(KVXDUMP_PATH, {"--version"});
    EXPECT_EQ(r.out, "kvxdump " KVX_VERSION "\n");
}

TEST(Kvxdump, PrintsEveryVersionExactly) {
    TempDir dir;
    for (const Golden& g : Goldens()) {
        SCOPED_TRACE(g.what);
        std::string path = dir.file(std::string(g.what) + ".kvx");
        WriteFile(path, g.file);
        RunResult r = Dump(path);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.out, g.text);
        EXPECT_EQ(r.err, "");
        // Further arguments are ignored.
        EXPECT_EQ(RunProgram(KVXDUMP_PATH, {path, "extra", dir.file("none")}).out, g.text);
    }
}

TEST(Kvxdump, EmptyMeshesAndEmptyName) {
    TempDir dir;
    std::string path = dir.file("m.kvx");
    WriteFile(path, KvxHeader(0, 0, 1));
    EXPECT_EQ(Dump(path).out, Header(0, 0, 1));
    // An empty name still ends the output with an empty line.
    WriteFile(path, KvxHeader(0, 1, 4) + Indices({0, 0, 0}));
    EXPECT_EQ(Dump(path).out, Header(0, 1, 4) + "0 0 0\n\n");
}

TEST(Kvxdump, VersionsItDoesNotPrintShowTheHeaderAlone) {
    TempDir dir;
    std::string path = dir.file("m.kvx");
    for (int32_t version : {0, 5, -4, 2147483647, -2147483647 - 1}) {
        SCOPED_TRACE(version);
        // Counts that the file cannot hold: nothing past the header matters.
        WriteFile(path, KvxHeader(4000000000u, 12, version) + "rest");
        RunResult r = Dump(path);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.out, Header(4000000000u, 12, version));
        EXPECT_EQ(r.err, "");
    }
}

// Shorter than a header: truncated, like any file shorter than it says.
TEST(Kvxdump, AFileShorterThanAHeaderIsTruncated) {
    TempDir dir;
    std::string path = dir.file("m.kvx");
    std::string header = KvxHeader(70000, 12, 1);
    for (size_t length = 0; length < 15; ++length) {
        SCOPED_TRACE(length);
        WriteFile(path, header.substr(0, length));
        RunResult r = Dump(path);
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "kvxdump: " + path + ": truncated: the file has " +
                             std::to_string(length) + " bytes, fewer than the 15 of a header\n");
    }
}

// Files of other formats: neither the magic nor a version that loads makes
// a file not a KVX file, whatever its length; nothing reaches standard
// output. The magic alone keeps the header lines of an unknown version, and
// an accepted version alone is read with a warning.
TEST(Kvxdump, AFileWithNeitherMagicNorVersionIsNotAKvxFile) {
    TempDir dir;
    std::string path = dir.file("x.png");
    auto notKvx = [&](const std::string& bytes) {
        WriteFile(path, bytes);
        ExpectFailure(Dump(path), "kvxdump: " + path + ": not a KVX file\n");
    };
    std::string text = ReadFile(Example("cube7.cmsh"));
    notKvx(text);
    notKvx(Bytes({0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'}));
    // Bytes of a fixed generator, and the text of a file through a pipe.
    std::string noise;
    for (uint32_t x = 12345, k = 0; k < 4096; ++k) {
        x = x * 1103515245u + 12345u;
        noise += static_cast<char>(x >> 24);
    }
    ASSERT_NE(noise.substr(0, 3), "KVX");
    notKvx(noise);
    RunResult piped = DumpThroughShell("cat \"$1\" | \"$0\" /dev/stdin", Example("cube7.cmsh"));
    ExpectFailure(piped, "kvxdump: /dev/stdin: not a KVX file\n");
    // Short files: bytes that differ from the magic are not KVX; those that
    // begin it (none at all too) are a truncated one.
    for (const char* bytes : {"abc", "KVx", "k", "xV"})
        notKvx(bytes);
    notKvx("KVZ" + KvxHeader(0, 0, 1).substr(3, 8));
    WriteFile(path, "");
    ExpectFailure(
        Dump(path),
        "kvxdump: " + path + ": truncated: the file has 0 bytes, fewer than the 15 of a header\n");
    WriteFile(path, "KVX");
    ExpectFailure(
        Dump(path),
        "kvxdump: " + path + ": truncated: the file has 3 bytes, fewer than the 15 of a header\n");
    // The magic, with a version code it does not know: the header alone.
    WriteFile(path, KvxHeader(3, 4, 5) + text);
    RunResult known = Dump(path);
    EXPECT_EQ(known.exitStatus, 0);
    EXPECT_EQ(known.out, Header(3, 4, 5));
    EXPECT_EQ(known.err, "");
    // No magic, version 0: not KVX either.
    notKvx("PNG" + KvxHeader(0, 0, 0).substr(3));
}

TEST(Kvxdump, AnAcceptedVersionWithoutTheMagicIsReadWithAWarning) {
    TempDir dir;
    std::string path = dir.file("x.png");
    const std::string warning =
        ": warning: the file does not begin with \"KVX\"; reading it anyway\n";
    for (int32_t version : {1, 2, 3, 4, -1, -2, -3}) {
        SCOPED_TRACE(version);
        WriteFile(path, "PNG" + KvxHeader(0, 0, version).substr(3));
        RunResult r = Dump(path);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.out, Header(0, 0, version) + (version == 4 ? "\n" : ""));
        EXPECT_EQ(r.err, "kvxdump: " + path + warning);
    }
    // Past the header, a failure says what is wrong, not that it is no KVX.
    WriteFile(path, "PNG" + KvxHeader(2, 0, 1).substr(3));
    ExpectFailure(Dump(path), "kvxdump: " + path +
                                  ": truncated: the header promises 47 bytes, the file has 15\n");
}

TEST(Kvxdump, EveryPrefixOfEveryVersionFailsSoundly) {
    TempDir dir;
    std::string path = dir.file("cut.kvx");
    for (const Golden& g : Goldens()) {
        for (size_t length = 15; length < g.file.size(); ++length) {
            SCOPED_TRACE(std::string(g.what) + " cut at " + std::to_string(length));
            WriteFile(path, g.file.substr(0, length));
            RunResult r = Dump(path);
            if (length < g.blocksEnd) {
                ExpectFailure(r, "kvxdump: " + path + ": truncated: the header promises " +
                                     std::to_string(g.blocksEnd) + " bytes, the file has " +
                                     std::to_string(length) + "\n");
            } else {
                // Within a version-4 name: a shorter name.
                std::string text = g.text.substr(0, g.text.size() - 3) +
                                   g.file.substr(g.blocksEnd, length - g.blocksEnd) + "\n";
                EXPECT_EQ(r.exitStatus, 0);
                EXPECT_EQ(r.out, text);
            }
        }
    }
}

TEST(Kvxdump, BadFilesGiveOneLineAndNoOutput) {
    TempDir dir;
    std::string missing = dir.file("missing.kvx");
    ExpectFailure(Dump(missing), "kvxdump: " + missing + ": No such file or directory\n");
    ExpectFailure(Dump(dir.path()), "kvxdump: " + dir.path() + ": Is a directory\n");

    std::string path = dir.file("huge.kvx");
    WriteFile(path, KvxHeader(0xFFFFFFFFu, 0, 1) + std::string(25, '\0'));
    ExpectFailure(Dump(path), "kvxdump: " + path +
                                  ": truncated: the header promises 68719476735 bytes, the file "
                                  "has 40\n");
    // 0x10000000 records of 16 bytes: 2^32 bytes, not 0.
    WriteFile(path, KvxHeader(0x10000000u, 0, -1));
    ExpectFailure(Dump(path), "kvxdump: " + path +
                                  ": truncated: the header promises 4294967311 bytes, the file "
                                  "has 15\n");

    std::string f = KvxHeader(0, 0, 4);
    WriteFile(path, f + std::string(255, 'n'));
    EXPECT_EQ(Dump(path).out, Header(0, 0, 4) + std::string(255, 'n') + "\n");
    WriteFile(path, f + std::string(256, 'n'));
    ExpectFailure(Dump(path),
                  "kvxdump: " + path + ": the name is 256 bytes long; at most 255 fit\n");
}

TEST(Kvxdump, ReadsAPipe) {
    TempDir dir;
    for (const Golden& g : Goldens()) {
        SCOPED_TRACE(g.what);
        std::string path = dir.file("m.kvx");
        WriteFile(path, g.file);
        RunResult r = DumpThroughShell("cat \"$1\" | \"$0\" /dev/stdin", path);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.out, g.text);
    }
    // A short pipe behind a header of huge counts.
    std::string path = dir.file("huge.kvx");
    WriteFile(path, KvxHeader(0xFFFFFFFFu, 0xFFFFFFFFu, 3) + "abc");
    RunResult r = DumpThroughShell("cat \"$1\" | \"$0\" /dev/stdin", path);
    ExpectFailure(r,
                  "kvxdump: /dev/stdin: truncated: the header promises 146028888045 bytes, "
                  "the file has 18\n");
}

TEST(Kvxdump, AFailedWriteToStandardOutputIsReported) {
    TempDir dir;
    std::string path = dir.file("m.kvx");
    WriteFile(path, Goldens()[0].file);
    RunResult r = DumpThroughShell("exec \"$0\" \"$1\" > /dev/full", path);
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "kvxdump: standard output: No space left on device\n");
}

// What kvxconv1 and kvxconv2 echo is what they write, so kvxdump of their
// file must print their standard output again.
TEST(Kvxdump, PrintsConverterFilesAsTheConvertersEchoedThem) {
    TempDir dir;
    // Colours with a zero top digit, negative zero, tiny and huge floats,
    // the largest 16-bit index.
    std::string odd3 = dir.file("odd3.cmsh"), odd7 = dir.file("odd7.cmsh");
    const std::string triangles = "0 1 2\n3 2 1\n0 3 3\n";
    WriteFile(odd3, "4 3\n1.5 -0.25 123456.789\n0 -0 3.4e38\n1e-30 -1e-30 0.1\n-7.125 2.5e-6 8\n" +
                        triangles);
    WriteFile(odd7,
              "4 3\n"
              "0.0627451 0.5 0.25 1e-7 1.5 -0.25 123456.789\n"
              "1 1 1 1                 0 -0 3.4e38\n"
              "0 0 0 0.004             1e-30 -1e-30 0.1\n"
              "0.5 0 0 0               -7.125 2.5e-6 8\n" +
                  triangles);
    struct Case {
        const char* program;
        std::string input;
    };
    const Case cases[] = {{KVXCONV1_PATH, Example("cube3.cmsh")},
                          {KVXCONV2_PATH, Example("cube7.cmsh")},
                          {KVXCONV1_PATH, odd3},
                          {KVXCONV2_PATH, odd7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.input);
        std::string output = dir.file("out.kvx");
        RunResult converted = RunProgram(c.program, {c.input, output});
        ASSERT_EQ(converted.exitStatus, 0) << converted.err;
        RunResult r = Dump(output);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.out, converted.out);
        EXPECT_GT(r.out.size(), Header(4, 3, 1).size());
    }
}
