// End-to-end runs of kvxpoints: exact point-set files and echo lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// The two vertices of the worked example, as text and as echo lines.
const std::string kVertexText = "1 0 0 1 0.5 1 2\n0 0 0 0 -1 -2 -3\n";
const std::string kExampleOut =
    "vertexCount = 2\nfaceCount = 2\nversion = -1\n"
    "0xFF0000FF 0.500000 1.000000 2.000000\n"
    "0x0 -1.000000 -2.000000 -3.000000\n";

std::string ExampleFile() {
    std::string bytes = Bytes({'K', 'V', 'X', 2, 0, 0, 0, 2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF});
    AppendU32(bytes, 0xFF0000FFu);
    AppendF32(bytes, 0.5f);
    AppendF32(bytes, 1.0f);
    AppendF32(bytes, 2.0f);
    AppendU32(bytes, 0);
    AppendF32(bytes, -1.0f);
    AppendF32(bytes, -2.0f);
    AppendF32(bytes, -3.0f);
    return bytes;
}

}  // namespace

// Whatever face count the text gives, and whatever follows the vertices,
// the vertex count stands in for it and nothing after the vertices is read.
TEST(Kvxpoints, FaceCountAndTriangleEntriesHaveNoEffect) {
    const std::string texts[] = {
        "2 7\n" + kVertexText,
        "2 0\n" + kVertexText + "0 1 2\n",
        "2 1000\n" + kVertexText + "0 1\n",
        "2 3\n" + kVertexText + "0 1 x\n-5 99999999999 ]\n1.5 name\n",
        "2 4294967295 " + kVertexText,
    };
    for (const std::string& text : texts) {
        Conversion o = Convert(KVXPOINTS_PATH, text);
        EXPECT_EQ(o.run.exitStatus, 0) << text;
        EXPECT_EQ(o.run.out, kExampleOut) << text;
        EXPECT_EQ(o.run.err, "") << text;
        EXPECT_EQ(o.file, ExampleFile()) << text;
    }
}

TEST(Kvxpoints, NoVerticesGivesTheHeaderAlone) {
    Conversion o = Convert(KVXPOINTS_PATH, "0 12\n0 1 2\n");
    EXPECT_EQ(o.run.exitStatus, 0);
    EXPECT_EQ(o.run.out, "vertexCount = 0\nfaceCount = 0\nversion = -1\n");
    EXPECT_EQ(o.file, Bytes({'K', 'V', 'X', 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(Kvxpoints, BundledCube) {
    TempDir dir;
    RunResult r = RunProgram(KVXPOINTS_PATH, {Example("cube7.cmsh"), dir.file("cube.kvx")});
    EXPECT_EQ(r.exitStatus, 0);
    // Vertex 5 of the cube is "1 1 0 1  1 0 1".
    const std::string head =
        "vertexCount = 8\nfaceCount = 8\nversion = -1\n0xFF000000 0.000000 0.000000 0.000000\n";
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    EXPECT_NE(r.out.find("\n0xFFFF00FF 1.000000 0.000000 1.000000\n"), std::string::npos);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 11);
    std::string file = ReadFile(dir.file("cube.kvx"));
    ASSERT_EQ(file.size(), 15u + 8 * 16);
    EXPECT_EQ(file.substr(0, 15), KvxHeader(8, 8, -1));
    std::string vertex5;
    AppendU32(vertex5, 0xFFFF00FFu);
    AppendF32(vertex5, 1.0f);
    AppendF32(vertex5, 0.0f);
    AppendF32(vertex5, 1.0f);
    EXPECT_EQ(file.substr(15 + 5 * 16, 16), vertex5);
}

// Each vertex read is echoed before the fault in the next one is reported.
TEST(Kvxpoints, EchoesWhatItReadBeforeAFault) {
    Conversion c = Convert(KVXPOINTS_PATH, "2 0\n1 0 0 1 0.5 1 2\n0 0 x 0 -1 -2 -3\n");
    EXPECT_EQ(c.run.exitStatus, 2);
    EXPECT_EQ(
        c.run.out,
        "vertexCount = 2\nfaceCount = 2\nversion = -1\n0xFF0000FF 0.500000 1.000000 2.000000\n");
    EXPECT_EQ(c.file, "");
}
