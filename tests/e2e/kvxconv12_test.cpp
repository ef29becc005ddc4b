// End-to-end runs of kvxconv1 and kvxconv2: standard output, file bytes,
// exit statuses, and what bad input leaves behind; and the usage text that
// every converter shares.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "test_support.h"

TEST(Converters, UsageForTooFewArguments) {
    TempDir dir;
    WriteFile(dir.file("in.cmsh"), "0 0");
    for (const char* program : {KVXCONV1_PATH, KVXCONV2_PATH, KVXCONV3_PATH, KVXCONV4_PATH,
                                KVXPOINTS_PATH, KVXWIRE_PATH}) {
        for (auto args : {std::vector<std::string>{}, std::vector<std::string>{dir.file("in.cmsh")}}) {
            RunResult r = RunProgram(program, args);
            EXPECT_EQ(r.exitStatus, 1);
            EXPECT_EQ(r.out, kConverterUsage);
            EXPECT_EQ(r.err, "");
        }
    }
    EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"in.cmsh"});
}

TEST(Kvxconv1, EmptyMeshPrintsTheCountsAndWritesTheHeader) {
    Conversion c = Convert(KVXCONV1_PATH, "0 0");
    EXPECT_EQ(c.run.exitStatus, 0);
    EXPECT_EQ(c.run.out, "vertexCount = 0\nfaceCount = 0\nversion = 1\n");
    EXPECT_EQ(c.run.err, "");
    EXPECT_EQ(c.file, Bytes({'K', 'V', 'X', 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
}

TEST(Kvxconv1, EchoesAndWritesPositionsWithTheFixedColour) {
    Conversion c = Convert(KVXCONV1_PATH, "3 2\n1 2 3\n0.1 -0.5 1e3\n0 0 0\n0 1 2\n2 1 70000\n");
    EXPECT_EQ(c.run.exitStatus, 0);
    EXPECT_EQ(c.run.err, "");
    EXPECT_EQ(c.run.out,
              "vertexCount = 3\nfaceCount = 2\nversion = 1\n"
              "0xFFFF0000 1.000000 2.000000 3.000000\n"
              "0xFFFF0000 0.100000 -0.500000 1000.000000\n"
              "0xFFFF0000 0.000000 0.000000 0.000000\n"
              "0 1 2\n"
              "2 1 4464\n");
    EXPECT_EQ(c.file, KvxHeader(3, 2, 1) + V1Record(0xFFFF0000, 1, 2, 3) +
                          V1Record(0xFFFF0000, 0.1f, -0.5f, 1000) + V1Record(0xFFFF0000, 0, 0, 0) +
                          Indices({0, 1, 2}) + Indices({2, 1, 4464}));
}

TEST(Kvxconv2, PacksColoursAndEchoesThem) {
    Conversion c = Convert(KVXCONV2_PATH,
                           "4 1\n"
                           "1 0 0 0 1 2 3\n"
                           "0.2 0.4 0.6 0.8 -1 -2 -3\n"
                           "0 1.5 0 0\n4 5 6\n"  // one entry over two lines
                           "0 0 0 -0.5 7 8 9 0 1 2\n");  // an entry and a triangle on one line
    EXPECT_EQ(c.run.exitStatus, 0);
    EXPECT_EQ(c.run.err, "");
    EXPECT_EQ(c.run.out,
              "vertexCount = 4\nfaceCount = 1\nversion = 2\n"
              "0xFF000000 1.000000 2.000000 3.000000\n"
              "0x336699CC -1.000000 -2.000000 -3.000000\n"
              "0x17E0000 4.000000 5.000000 6.000000\n"
              "0xFFFFFF81 7.000000 8.000000 9.000000\n"
              "0 1 2\n");
    EXPECT_EQ(c.file, KvxHeader(4, 1, 2) + V1Record(0xFF000000, 1, 2, 3) +
                          V1Record(0x336699CC, -1, -2, -3) + V1Record(0x017E0000, 4, 5, 6) +
                          V1Record(0xFFFFFF81, 7, 8, 9) + Indices({0, 1, 2}));
}

TEST(Converters12, ExtraArgumentsAndTrailingTextAreIgnored) {
    TempDir dir;
    WriteFile(dir.file("in.cmsh"), "1 0\r\n0.5 0.3 0.999 1 1 2 3\r\nwhatever follows");
    RunResult r = RunProgram(KVXCONV2_PATH, {dir.file("in.cmsh"), dir.file("out.kvx"), "extra"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "vertexCount = 1\nfaceCount = 0\nversion = 2\n0x7F4CFEFF 1.000000 2.000000 3.000000\n");
    EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"in.cmsh", "out.kvx"}));
}

TEST(Converters12, BadInputIsReportedAndTheOldOutputSurvives) {
    struct Case {
        const char* program;
        std::string text;
        std::string message;  // after "<program>: <dir>/"
    } cases[] = {
        {KVXCONV1_PATH, "", "in.cmsh:1: expected the vertex count, found end of file"},
        {KVXCONV1_PATH, "2 1\n1.0 2.0 3.0\n4 5 6\n0 1\n", "in.cmsh:4: expected 3 vertex indices, found end of file"},
        {KVXCONV1_PATH, "1 0\n1 2 abc", "in.cmsh:2: expected a number, found \"abc\""},
        {KVXCONV1_PATH, "1 0\n1.2.3 2 3", "in.cmsh:2: expected a number, found \"1.2.3\""},
        {KVXCONV1_PATH, "1 1\n0 x 2\n0 0 0", "in.cmsh:2: expected a number, found \"x\""},
        {KVXCONV1_PATH, "1 1\n1 2 3\n0 -1 0", "in.cmsh:3: expected a vertex index, found \"-1\""},
        {KVXCONV1_PATH, "1 1\n1 2 3\n0 0 4294967296",
         "in.cmsh:3: vertex index \"4294967296\" does not fit in 32 bits"},
        {KVXCONV2_PATH, "4000000000 0\n", "in.cmsh:1: the vertex count 4000000000 is too large (at most 268435455)"},
        {KVXCONV2_PATH, "100000 1\n0 0 0 0 1 2 3\n",
         "in.cmsh:1: the counts promise 100000 vertices and 1 faces, at least 1400006 bytes of "
         "text, but only 15 follow"},
        {KVXCONV2_PATH, "2 0\n1 0 0 0 1 2 3\n0 0 1.5abc 0 1 2 3\n",
         "in.cmsh:3: expected a number, found \"1.5abc\""},
        {KVXCONV2_PATH, "1 0\n1 0 0 1e10 1 2 3\n",
         "in.cmsh:2: colour value 1e+10 times 255 is outside the 32-bit range"},
        {KVXCONV2_PATH, "1 0\nNaN 0 0 0 1 2 3\n", "in.cmsh:2: colour value nan is not a number"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        WriteFile(dir.file("in.cmsh"), c.text);
        WriteFile(dir.file("out.kvx"), "precious");
        RunResult r = RunProgram(c.program, {dir.file("in.cmsh"), dir.file("out.kvx")});
        std::string name = std::string(c.program).substr(std::string(c.program).rfind('/') + 1);
        EXPECT_EQ(r.exitStatus, 2) << c.text;
        EXPECT_EQ(r.err, name + ": " + dir.path() + "/" + c.message + "\n") << c.text;
        EXPECT_EQ(ReadFile(dir.file("out.kvx")), "precious") << c.text;
        EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"in.cmsh", "out.kvx"}));
    }
}

TEST(Converters12, UnreadableInputIsReported) {
    TempDir dir;
    RunResult r = RunProgram(KVXCONV1_PATH, {dir.file("none.cmsh"), dir.file("out.kvx")});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kvxconv1: " + dir.file("none.cmsh") + ": No such file or directory\n");
    r = RunProgram(KVXCONV2_PATH, {dir.path(), dir.file("out.kvx")});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "kvxconv2: " + dir.path() + ": Is a directory\n");
    EXPECT_TRUE(ListFolder(dir.path()).empty());
}

TEST(Converters12, UnwritableOutputIsReported) {
    TempDir dir;
    WriteFile(dir.file("in.cmsh"), "1 0 1 2 3");
    RunResult r = RunProgram(KVXCONV1_PATH, {dir.file("in.cmsh"), dir.file("no/out.kvx")});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "kvxconv1: " + dir.file("no/out.kvx") + ": No such file or directory\n");
    if (FileExists("/dev/full")) {
        r = RunProgram(KVXCONV1_PATH, {dir.file("in.cmsh"), "/dev/full"});
        EXPECT_EQ(r.exitStatus, 3);
        EXPECT_EQ(r.err, "kvxconv1: /dev/full: No space left on device\n");
        struct stat st;
        ASSERT_EQ(::stat("/dev/full", &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }
    // A size limit makes the write itself fail: the old file stays.
    WriteFile(dir.file("big.cmsh"), "20000 0\n" + [] {
        std::string s;
        for (int i = 0; i < 20000; ++i) s += "1 2 3\n";
        return s;
    }());
    WriteFile(dir.file("out.kvx"), "precious");
    r = RunProgram("/bin/sh", {"-c", "ulimit -f 100; exec \"$0\" \"$1\" \"$2\" >/dev/null",
                               KVXCONV1_PATH, dir.file("big.cmsh"), dir.file("out.kvx")});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "kvxconv1: " + dir.file("out.kvx") + ": File too large\n");
    EXPECT_EQ(ReadFile(dir.file("out.kvx")), "precious");
    EXPECT_EQ(ListFolder(dir.path()),
              (std::vector<std::string>{"big.cmsh", "in.cmsh", "out.kvx"}));
}

TEST(Converters12, WritesToStandardOutputAndDevices) {
    TempDir dir;
    WriteFile(dir.file("in.cmsh"), "0 0");
    RunResult r = RunProgram("/bin/sh", {"-c", "\"$0\" \"$1\" /dev/stdout | tail -c 15 > \"$2\"",
                                         KVXCONV1_PATH, dir.file("in.cmsh"), dir.file("tail")});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(ReadFile(dir.file("tail")), KvxHeader(0, 0, 1));
    r = RunProgram(KVXCONV1_PATH, {dir.file("in.cmsh"), "/dev/null"});
    EXPECT_EQ(r.exitStatus, 0);
    struct stat st;
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(Converters12, ReadsFromAPipe) {
    TempDir dir;
    WriteFile(dir.file("in.cmsh"), "1 0 1 0 0 0 1 2 3");
    RunResult r = RunProgram(KVXCONV2_PATH, {"/dev/stdin", dir.file("out.kvx")}, dir.file("in.cmsh"));
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(ReadFile(dir.file("out.kvx")), KvxHeader(1, 0, 2) + V1Record(0xFF000000, 1, 2, 3));
}
