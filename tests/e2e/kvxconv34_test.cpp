// End-to-end runs of kvxconv3 and kvxconv4: written bytes against expected
// files, the name on standard output and kvxdump's view of the results.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "test_support.h"

namespace {

constexpr uint32_t kOne = 0x3F800000, kMinusOne = 0xBF800000;

struct Normal {
    uint32_t x, y, z;  // bit patterns
};

std::string V3Record(uint32_t color, Normal n, float x, float y, float z) {
    std::string out;
    AppendU32(out, color);
    AppendU32(out, n.x);
    AppendU32(out, n.y);
    AppendU32(out, n.z);
    AppendF32(out, x);
    AppendF32(out, y);
    AppendF32(out, z);
    return out;
}

std::string V4Record(float u, float v, uint32_t color, Normal n, float x, float y, float z) {
    std::string out;
    AppendF32(out, u);
    AppendF32(out, v);
    return out + V3Record(color, n, x, y, z);
}

std::string ProgramName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// The normal of vertex i in a written file of records of `size` bytes whose
// normal starts at byte `offset` of the record.
Normal NormalAt(const std::string& file, uint32_t i, size_t size, size_t offset) {
    Normal n;
    std::memcpy(&n, file.data() + 15 + i * size + offset, sizeof n);
    return n;
}

// One right triangle in the plane z = 0, and a vertex that no face names.
const char kTriangle7[] =
    "4 1\n"
    "1 0 0 0.5  0 0 0\n"
    "0 1 0 0.5  1 0 0\n"
    "0 0 1 0.5  0 1 0\n"
    "1 1 1 1    7 8 9\n";
const char kTriangle9[] =
    "4 1\n"
    "0 0      1 0 0 0.5  0 0 0\n"
    "1 0.25   0 1 0 0.5  1 0 0\n"
    "0.5 1    0 0 1 0.5  0 1 0\n"
    "0.75 0.1 1 1 1 1    7 8 9\n";

}  // namespace

TEST(Converters34, EmptyMeshesWriteOnlyTheHeader) {
    Conversion c3 = Convert(KVXCONV3_PATH, "0 0");
    EXPECT_EQ(c3.run.exitStatus, 0);
    EXPECT_EQ(c3.run.out, "");
    EXPECT_EQ(c3.run.err, "");
    EXPECT_EQ(c3.file, KvxHeader(0, 0, 3));

    Conversion c4 = Convert(KVXCONV4_PATH, "0 0\n");
    EXPECT_EQ(c4.run.exitStatus, 0);
    EXPECT_EQ(c4.run.out, "||");
    EXPECT_EQ(c4.run.err, "");
    EXPECT_EQ(c4.file, KvxHeader(0, 0, 4));
}

TEST(Kvxconv3, EveryCornerOfATriangleGetsItsNormal) {
    const Normal up{0, 0, kOne}, down{0, 0, kMinusOne}, none{0, 0, 0};
    for (auto [face, n] : {std::pair{"0 1 2", up}, std::pair{"0 2 1", down}}) {
        // Text after the last face is not read (only pointed out).
        Conversion c = Convert(KVXCONV3_PATH, std::string(kTriangle7) + face + "\nsome name\n");
        EXPECT_EQ(c.run.exitStatus, 0);
        EXPECT_EQ(c.run.out, "");
        EXPECT_EQ(c.file, KvxHeader(4, 1, 3) + V3Record(0xFF00007F, n, 0, 0, 0) +
                              V3Record(0x00FF007F, n, 1, 0, 0) + V3Record(0x0000FF7F, n, 0, 1, 0) +
                              V3Record(0xFFFFFFFF, none, 7, 8, 9) +
                              (face[2] == '1' ? Indices({0, 1, 2}) : Indices({0, 2, 1})))
            << face;
    }
}

TEST(Kvxconv4, TextureCoordinatesColoursAndNormals) {
    const Normal up{0, 0, kOne}, none{0, 0, 0};
    Conversion c = Convert(KVXCONV4_PATH, std::string(kTriangle9) + "0 1 2\ntri\n");
    EXPECT_EQ(c.run.exitStatus, 0);
    EXPECT_EQ(c.run.out, "|tri|");
    // v is stored as 1 - v: 0.25 gives 0.75, 0.1 gives the single 1 - 0.1f.
    EXPECT_EQ(c.file, KvxHeader(4, 1, 4) + V4Record(0, 1, 0xFF00007F, up, 0, 0, 0) +
                          V4Record(1, 0.75f, 0x00FF007F, up, 1, 0, 0) +
                          V4Record(0.5f, 0, 0x0000FF7F, up, 0, 1, 0) +
                          V4Record(0.75f, 1.0f - 0.1f, 0xFFFFFFFF, none, 7, 8, 9) +
                          Indices({0, 1, 2}) + "tri");
}

TEST(Kvxconv4, TheNameIsTheFirstTokenAfterTheFaces) {
    const std::string longest(255, 'x');
    struct Case {
        std::string tail;     // text after the counts of an empty mesh
        std::string printed;  // standard output
        std::string trailer;  // the end of the file after the header
    } cases[] = {
        {"abcd", "|abcd|", "abcd"},
        {"\n\n  \tfirst second\nthird", "|first|", "first"},
        {"", "||", ""},
        {"   \n", "||", ""},
        {"n\xC3\xA4me", "|n\xC3\xA4me|", "n\xC3\xA4me"},
        {longest, "|" + longest + "|", longest},
    };
    for (const Case& c : cases) {
        Conversion run = Convert(KVXCONV4_PATH, std::string("0 0\n") + c.tail);
        EXPECT_EQ(run.run.exitStatus, 0) << c.tail;
        EXPECT_EQ(run.run.out, c.printed);
        EXPECT_EQ(run.file, KvxHeader(0, 0, 4) + c.trailer);
    }
}

TEST(Kvxconv4, TheNameIsPrintedBeforeTheFileIsWritten) {
    TempDir dir;
    WriteFile(dir.file("in.cmsh"), std::string(kTriangle9) + "0 1 2 tri");
    RunResult r = RunProgram(KVXCONV4_PATH, {dir.file("in.cmsh"), dir.file("no/out.kvx")});
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.out, "|tri|");
    EXPECT_EQ(r.err, "kvxconv4: " + dir.file("no/out.kvx") + ": No such file or directory\n");

    // Written to standard output, the file stays clean: the name goes to
    // standard error.
    r = RunProgram("/bin/sh",
                   {"-c", "\"$0\" \"$1\" /dev/stdout | cat", KVXCONV4_PATH, dir.file("in.cmsh")});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "|tri|");
    EXPECT_EQ(r.out.substr(0, 3), "KVX");
    EXPECT_EQ(r.out.size(), 15 + 4 * 36 + 6 + 3);
}

TEST(Converters34, WriteTheExpectedFiles) {
    struct Case {
        const char* program;
        std::string input;
        std::string expected;
        std::string printed;
        std::string warning;
    } cases[] = {
        {KVXCONV3_PATH, Example("cube7.cmsh"), TestData("cube-v3.kvx"), "", ""},
        {KVXCONV4_PATH, Example("cube9.cmsh"), TestData("cube-v4.kvx"), "|cube|", ""},
        // Awkward magnitudes, faces that name an index twice, a pair of
        // opposite faces, a repeated face and a vertex that no face names.
        {KVXCONV3_PATH, TestData("irregular7.cmsh"), TestData("irregular-v3.kvx"), "", ""},
        {KVXCONV4_PATH, TestData("irregular9.cmsh"), TestData("irregular-v4.kvx"),
         "|irregular_mesh-01|",
         "kvxconv4: " + TestData("irregular9.cmsh") +
             ": warning: 5 words follow the name, which is one word\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        RunResult r = RunProgram(c.program, {c.input, dir.file("out.kvx")});
        EXPECT_EQ(r.exitStatus, 0) << c.input;
        EXPECT_EQ(r.err, c.warning);
        EXPECT_EQ(r.out, c.printed);
        const std::string expected = ReadFile(c.expected);
        ASSERT_FALSE(expected.empty()) << c.expected;
        EXPECT_TRUE(ReadFile(dir.file("out.kvx")) == expected) << c.input;
    }
}

TEST(Converters34, KvxdumpShowsTheComputedNormals) {
    const std::string corners =
        "-0.577350 -0.577350 -0.577350 0xFF000000 0.000000 0.000000 0.000000\n"
        "0.816497 -0.408248 -0.408248 0xFFFF0000 1.000000 0.000000 0.000000\n"
        "0.408248 0.408248 -0.816497 0xFFFFFF00 1.000000 1.000000 0.000000\n"
        "-0.408248 0.816497 -0.408248 0xFF00FF00 0.000000 1.000000 0.000000\n"
        "-0.408248 -0.408248 0.816497 0xFF0000FF 0.000000 0.000000 1.000000\n"
        "0.408248 -0.816497 0.408248 0xFFFF00FF 1.000000 0.000000 1.000000\n"
        "0.577350 0.577350 0.577350 0xFFFFFFFF 1.000000 1.000000 1.000000\n"
        "-0.816497 0.408248 0.408248 0xFF00FFFF 0.000000 1.000000 1.000000\n";
    const std::string faces =
        "0 2 1\n0 3 2\n4 5 6\n4 6 7\n0 1 5\n0 5 4\n3 7 6\n3 6 2\n0 4 7\n0 7 3\n1 2 6\n1 6 5\n";
    const std::string texture[] = {"0.000000 1.000000 ", "1.000000 1.000000 ", "1.000000 0.000000 ",
                                   "0.000000 0.000000 ", "0.000000 0.500000 ", "1.000000 0.500000 ",
                                   "1.000000 0.000000 ", "0.000000 0.000000 "};
    std::string corners4;
    for (size_t i = 0, start = 0; i < 8; ++i) {
        size_t end = corners.find('\n', start) + 1;
        corners4 += texture[i] + corners.substr(start, end - start);
        start = end;
    }

    TempDir dir;
    ASSERT_EQ(RunProgram(KVXCONV3_PATH, {Example("cube7.cmsh"), dir.file("v3.kvx")}).exitStatus, 0);
    RunResult r = RunProgram(KVXDUMP_PATH, {dir.file("v3.kvx")});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "vertexCount = 8\nfaceCount = 12\nversion = 3\n" + corners + faces);

    ASSERT_EQ(RunProgram(KVXCONV4_PATH, {Example("cube9.cmsh"), dir.file("v4.kvx")}).exitStatus, 0);
    r = RunProgram(KVXDUMP_PATH, {dir.file("v4.kvx")});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out,
              "vertexCount = 8\nfaceCount = 12\nversion = 4\n" + corners4 + faces + "cube\n");
}

TEST(Converters34, EveryOneOfMoreThan65535FacesReachesItsVertices) {
    // 65,536 vertices and 70,000 faces. The first 65,536 faces name one
    // vertex three times and add nothing; the 4,464 after them are right
    // triangles facing +z over vertices 0 to 13,391.
    constexpr uint32_t kVertices = 65536, kFaces = 70000, kReal = kFaces - kVertices;
    for (const char* program : {KVXCONV3_PATH, KVXCONV4_PATH}) {
        const bool v4 = std::strcmp(program, KVXCONV4_PATH) == 0;
        std::string text = std::to_string(kVertices) + " " + std::to_string(kFaces) + "\n";
        for (uint32_t i = 0; i < kVertices; ++i) {
            const uint32_t m = i / 3;
            const char* corner[] = {" 0 0\n", " 0 0\n", " 1 0\n"};
            const uint32_t x = i % 3 == 1 ? m + 1 : m;
            text += (v4 ? "0 0 1 1 1 1 " : "1 1 1 1 ") + std::to_string(x) + corner[i % 3];
        }
        for (uint32_t k = 0; k < kVertices; ++k) {
            const std::string s = std::to_string(k);
            text += s + " " + s + " " + s + "\n";
        }
        for (uint32_t m = 0; m < kReal; ++m) {
            text += std::to_string(3 * m) + " " + std::to_string(3 * m + 1) + " " +
                    std::to_string(3 * m + 2) + "\n";
        }
        Conversion c = Convert(program, text);
        ASSERT_EQ(c.run.exitStatus, 0) << c.run.err;
        const size_t record = v4 ? 36 : 28;
        const size_t normalAt = v4 ? 12 : 4;
        ASSERT_EQ(c.file.size(), 15 + kVertices * record + kFaces * 6);
        for (uint32_t i = 0; i < kVertices; ++i) {
            const Normal n = NormalAt(c.file, i, record, normalAt);
            const uint32_t z = i < 3 * kReal ? kOne : 0;
            ASSERT_TRUE(n.x == 0 && n.y == 0 && n.z == z)
                << ProgramName(program) << " vertex " << i;
        }
        // The last face, and index 65535, as written.
        EXPECT_EQ(c.file.substr(c.file.size() - 6), Indices({13389, 13390, 13391}));
        EXPECT_EQ(c.file.substr(15 + kVertices * record + 65535 * 6, 6),
                  Indices({65535, 65535, 65535}));
    }
}
