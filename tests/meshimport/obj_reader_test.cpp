// The OBJ reader: vertices as given or made from (v, vt) pairs, relative
// indices, fans, colours, names, the lexical details, and every refusal with
// its line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "import_test_support.h"

namespace kvx::test {
namespace {

constexpr std::string_view kObj = "obj";

TEST(ObjReader, WithoutTextureCoordinatesTheVLinesAreTheVertices) {
    // A quad given by relative indices, a triangle by absolute ones with
    // normals, an unused vertex, and lines, points and statements that
    // carry nothing for KVX.
    ImportResult r = Read(kObj,
                          "# a comment\n"
                          "mtllib m.mtl\n"
                          "o first object\n"
                          "v 0 0 0\n"
                          "v 1 0 0\n"
                          "v 1 1 0\n"
                          "v 0 1 0\n"
                          "v 9 9 9\n"
                          "vn 0 0 1\n"
                          "usemtl red\n"
                          "s 1\n"
                          "f -5 -4 -3 -2\n"
                          "f 1//1 3//1 4//1\n"
                          "l 1 2\n"
                          "p 3\n"
                          "o second\n");
    ASSERT_TRUE(r.ok()) << r.error.message;
    EXPECT_EQ(r.mesh.positions, (std::vector<float>{0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 9, 9, 9}));
    EXPECT_EQ(r.mesh.triangles, (std::vector<uint32_t>{0, 1, 2, 0, 2, 3, 0, 2, 3}));
    EXPECT_FALSE(r.mesh.hasColors);
    EXPECT_FALSE(r.mesh.hasTexCoords);
    EXPECT_EQ(r.mesh.name, "first object");
}

TEST(ObjReader, TextureCoordinatesMakeOneVertexPerPairInFirstUseOrder) {
    // vn does not split: 2/1/1 and 2/1/2 are one vertex. Position 1 with two
    // texture coordinates is two vertices. Position 4 is never used.
    ImportResult r = Read(kObj,
                          "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 5 5 5\n"
                          "vt 0.25 0.5\nvt 0.75\nvt 1 1 0\n"
                          "vn 0 0 1\nvn 0 0 -1\n"
                          "f 3/3/1 1/1/1 2/2/1\n"
                          "f 2/2/2 1/3/2 3/3/2\n");
    ASSERT_TRUE(r.ok()) << r.error.message;
    EXPECT_TRUE(r.mesh.hasTexCoords);
    EXPECT_EQ(r.mesh.positions, (std::vector<float>{0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0}));
    // vt 0.75 has no v: 0.
    EXPECT_EQ(r.mesh.texCoords, (std::vector<float>{1, 1, 0.25f, 0.5f, 0.75f, 0, 1, 1}));
    EXPECT_EQ(r.mesh.triangles, (std::vector<uint32_t>{0, 1, 2, 2, 3, 0}));
}

TEST(ObjReader, ACornerWithoutTextureInATexturedMeshPairsWithZero) {
    ImportResult r = Read(kObj, "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0.5 0.5\nf 1/1 2 3\nf 1 2 3\n");
    ASSERT_TRUE(r.ok()) << r.error.message;
    EXPECT_EQ(r.mesh.texCoords, (std::vector<float>{0.5f, 0.5f, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(r.mesh.triangles, (std::vector<uint32_t>{0, 1, 2, 3, 1, 2}));
}

TEST(ObjReader, PolygonsAreFannedFromTheirFirstCorner) {
    // Faces of two corners and one are a line and a point: dropped.
    ImportResult r =
        Read(kObj, "v 0 0 0\nv 1 0 0\nv 2 1 0\nv 1 2 0\nv 0 1 0\nf 5 1 2 3 4\nf 1 2\nf 3\n");
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.mesh.triangles, (std::vector<uint32_t>{4, 0, 1, 4, 1, 2, 4, 2, 3}));
}

TEST(ObjReader, VertexColoursAreRoundedToTheNearestByteWithAlphaOne) {
    // Vertices before the first coloured one are opaque white.
    const std::string text = "v 0 0 0\nv 1 0 0 1 0.5 0\nv 0 1 0 0.2 0.4 0.6\nf 1 2 3\n";
    ImportResult argb = Read(kObj, text);
    ASSERT_TRUE(argb.ok());
    EXPECT_EQ(argb.mesh.colors, (std::vector<uint32_t>{0xFFFFFFFF, 0xFFFF8000, 0xFF336699}));
    ImportResult rgba = Read(kObj, text, {ColorOrder::rgba});
    ASSERT_TRUE(rgba.ok());
    EXPECT_EQ(rgba.mesh.colors, (std::vector<uint32_t>{0xFFFFFFFF, 0xFF8000FF, 0x336699FF}));
    // A w coordinate is read past.
    ImportResult w = Read(kObj, "v 1 2 3 0.5\n");
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(w.mesh.positions, (std::vector<float>{1, 2, 3}));
    EXPECT_FALSE(w.mesh.hasColors);
}

TEST(ObjReader, NamesContinuationLinesAndLineEnds) {
    // No "o": the first group names the mesh. CR LF line ends, a backslash
    // joining two lines, tabs, a comment after a statement.
    ImportResult r = Read(kObj,
                          "g  part one \r\n"
                          "g part two\r\n"
                          "v 0 0 \\\r\n"
                          " 0\r\n"
                          "v\t1 0 0 # the second\r\n"
                          "v 0 1 0\r\n"
                          "f 1 2 \\\n"
                          "3\n");
    ASSERT_TRUE(r.ok()) << r.error.message;
    EXPECT_EQ(r.mesh.name, "part one");
    EXPECT_EQ(r.mesh.positions, (std::vector<float>{0, 0, 0, 1, 0, 0, 0, 1, 0}));
    EXPECT_EQ(r.mesh.triangles, (std::vector<uint32_t>{0, 1, 2}));
    // A backslash on the last line ends it.
    ImportResult last = Read(kObj, "v 1 2 3 \\");
    ASSERT_TRUE(last.ok()) << last.error.message;
    EXPECT_EQ(last.mesh.positions, (std::vector<float>{1, 2, 3}));
}

TEST(ObjReader, RefusesWhatItCannotReadWithTheLine) {
    const std::string v3 = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    struct Case {
        std::string text;
        std::string message;
    } cases[] = {
        {v3 + "f 1 2 4\n", "m.obj:4: vertex 4 is not defined (3 so far)"},
        {v3 + "f 1 2 -4\n", "m.obj:4: vertex -4 is not defined (3 so far)"},
        {v3 + "f 0 1 2\n", "m.obj:4: vertex 0 does not exist: OBJ counts from 1"},
        // An index may only name what was defined on earlier lines.
        {"f 1 2 3\n" + v3, "m.obj:1: vertex 1 is not defined (0 so far)"},
        {v3 + "vt 0 0\nf 1/2 2/1 3/1\n", "m.obj:5: texture coordinate 2 is not defined (1 so far)"},
        {v3 + "f 1//1 2 3\n", "m.obj:4: normal 1 is not defined (0 so far)"},
        {v3 + "f\n", "m.obj:4: a face without corners"},
        {v3 + "f 1 4\n", "m.obj:4: vertex 4 is not defined (3 so far)"},
        {v3 + "f 1 2 3/\n", "m.obj:4: expected a corner like 1, 1/2, 1//3 or 1/2/3, found \"3/\""},
        {v3 + "f 1 2 1/1/1/1\n",
         "m.obj:4: expected a corner like 1, 1/2, 1//3 or 1/2/3, found \"1/1/1/1\""},
        {v3 + "f 1 2 x\n", "m.obj:4: expected a vertex number, found \"x\""},
        {v3 + "f 1 2 1.0\n", "m.obj:4: expected a vertex number, found \"1.0\""},
        {"v 1 2\n",
         "m.obj:1: \"v\" takes 3, 4 or 6 numbers (x y z, x y z w or x y z r g b), found 2"},
        {"v 1 2 3 4 5\n",
         "m.obj:1: \"v\" takes 3, 4 or 6 numbers (x y z, x y z w or x y z r g b), found 5"},
        {"\n\nv 1 2 1.5abc\n", "m.obj:3: expected a number, found \"1.5abc\""},
        {"v 1 2 3,5\n", "m.obj:1: expected a number, found \"3,5\""},
        {"vt\n", "m.obj:1: \"vt\" takes 1 to 3 numbers (u [v [w]]), found 0"},
        {"vn 1 2\n", "m.obj:1: \"vn\" takes 3 numbers, found 2"},
        {"v 0 0 0 nan 0 0\n", "m.obj:1: the red value nan cannot be packed into a colour word"},
        {"v 0 0 \\\n0\nv 1 1 1\nv 2 2 2\nf 1 2 5\n", "m.obj:5: vertex 5 is not defined (3 so far)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Refusal(kObj, c.text), c.message) << c.text;
}

TEST(ObjReader, EveryPrefixEndsCleanly) {
    const std::string text =
        "o cube\nv 0 0 0 1 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvt 1 1\nvn 0 0 1\n"
        "f 1/1/1 2/2/1 3/1/1 4/2/1\nf -4 -3 -2\nl 1 2\n";
    ASSERT_TRUE(Read(kObj, text).ok());
    // Cut inside a face line, a prefix names corners or vertices not yet
    // complete: some prefixes are refused, none crashes.
    EXPECT_GT(CheckEveryPrefix(kObj, text), 0u);
}

}  // namespace
}  // namespace kvx::test
