// The OFF reader: keywords and their prefixes, comments, colours as bytes or
// as values from 0 to 1, face colours read past, texture coordinates, and
// refusals with the line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "import_test_support.h"

namespace kvx::test {
namespace {

constexpr std::string_view kOff = "off";

TEST(OffReader, CommentsPolygonsFaceColoursPointsAndLines) {
    ImportResult r = Read(kOff,
                          "OFF # a square and a triangle\n"
                          "\n"
                          "# counts\n"
                          "5 4 0\n"
                          "0 0 0\n"
                          "1 0 0  # corner\n"
                          "1 1 0\n"
                          "0 1 0\n"
                          "7 7 7\n"
                          "4 0 1 2 3  255 0 0\n"
                          "3 3 2 1 0.5 0.5 0.5 1\n"
                          "2 0 4\n"  // a line and a point: dropped
                          "1 4\n"
                          "anything after the last face\n");
    ASSERT_TRUE(r.ok()) << r.error.message;
    EXPECT_EQ(r.mesh.positions, (std::vector<float>{0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 7, 7, 7}));
    EXPECT_EQ(r.mesh.triangles, (std::vector<uint32_t>{0, 1, 2, 0, 2, 3, 3, 2, 1}));
    EXPECT_FALSE(r.mesh.hasColors);
    EXPECT_FALSE(r.mesh.hasTexCoords);
}

TEST(OffReader, ColoursAreBytesWhenEveryValueIsAnInteger) {
    // Counts on the keyword's line; three or four values per colour.
    ImportResult bytes =
        Read(kOff, "COFF 3 1 0\n0 0 0 255 0 0\n1 0 0 0 128 0 7\n0 1 0 1 1 1\n3 0 1 2\n");
    ASSERT_TRUE(bytes.ok()) << bytes.error.message;
    EXPECT_EQ(bytes.mesh.colors, (std::vector<uint32_t>{0xFFFF0000, 0x07008000, 0xFF010101}));
    // One value with a point makes every colour of the file a value from 0
    // to 1: "1 1 1" is then white.
    ImportResult values =
        Read(kOff, "COFF\n3 1 0\n0 0 0 1 0 0\n1 0 0 0 0.5 0 0.2\n0 1 0 1 1 1\n3 0 1 2\n",
             {ColorOrder::rgba});
    ASSERT_TRUE(values.ok()) << values.error.message;
    EXPECT_EQ(values.mesh.colors, (std::vector<uint32_t>{0xFF0000FF, 0x00800033, 0xFFFFFFFF}));
}

TEST(OffReader, NormalsAreReadPastAndTextureCoordinatesKept) {
    ImportResult r = Read(kOff,
                          "STCNOFF\n3 1\n"
                          "0 0 0  0 0 1  1 0 0  0.25 0.5\n"
                          "1 0 0  0 0 1  0 1 0 1  1 0.5\n"
                          "0 1 0  0 0 1  0 0 1  0 1\n"
                          "3 0 1 2\n");
    ASSERT_TRUE(r.ok()) << r.error.message;
    EXPECT_EQ(r.mesh.positions, (std::vector<float>{0, 0, 0, 1, 0, 0, 0, 1, 0}));
    EXPECT_EQ(r.mesh.texCoords, (std::vector<float>{0.25f, 0.5f, 1, 0.5f, 0, 1}));
    EXPECT_EQ(r.mesh.colors, (std::vector<uint32_t>{0xFF010000, 0x01000100, 0xFF000001}));
    // No keyword at all: the counts come first.
    ImportResult bare = Read(kOff, "3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n");
    ASSERT_TRUE(bare.ok()) << bare.error.message;
    EXPECT_EQ(bare.mesh.triangles, (std::vector<uint32_t>{0, 1, 2}));
}

TEST(OffReader, RefusesWithTheLine) {
    // Entries with errors are padded with a comment, so that the counts fit
    // the size of the file and the entries themselves are read.
    const std::string pad = "# padding, so that the counts fit the file\n";
    const std::string v3 = "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n";
    struct Case {
        std::string text;
        std::string message;
    } cases[] = {
        {v3 + "3 0 1 3\n" + pad, "m.off:6: face 0 names vertex 3 of 3"},
        {v3 + "3 0 1 -1\n" + pad, "m.off:6: face 0 names vertex -1 of 3"},
        {v3 + "2 0 3\n" + pad, "m.off:6: face 0 names vertex 3 of 3"},
        {v3 + "-1 0 1\n" + pad, "m.off:6: face 0 has a negative corner count, -1"},
        {v3 + "4 0 1 2\n" + pad, "m.off:6: face 0 has 4 corners, but its line holds 3 values"},
        {v3 + "3 0 1 2 1 2 3 4 5\n",
         "m.off:6: face 0 has 5 values after its indices; a face colour takes at most 4"},
        {v3 + "3 0 1 2 red\n", "m.off:6: expected a number, found \"red\""},
        {v3 + "three 0 1 2\n", "m.off:6: expected the corner count of face 0, found \"three\""},
        {v3 + pad, "m.off:6: expected 1 faces, found 0 before the end of the file"},
        {"OFF\n3 1 0\n0 0 0\n1 0 0\n0 1\n3 0 1 2\n" + pad,
         "m.off:5: expected 3 values for a vertex, found 2"},
        {"OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 x\n3 0 1 2\n" + pad,
         "m.off:5: expected a number, found \"x\""},
        {"COFF\n3 1 0\n0 0 0 1 1\n1 0 0 1 1 1\n0 1 0 1 1 1\n3 0 1 2\n" + pad,
         "m.off:3: expected 6 or 7 values for a coloured vertex, found 5"},
        {"COFF\n3 1 0\n0 0 0 1 1 1\n1 0 0 1 256 1\n0 1 0 1 1 1\n3 0 1 2\n" + pad,
         "m.off:4: the green value \"256\" is not a byte (0 to 255)"},
        {"COFF\n3 1 0\n0 0 0 1 1 1\n1 0 0 1 nan 1\n0 1 0 1 1 1\n3 0 1 2\n" + pad,
         "m.off:4: the green value nan cannot be packed into a colour word"},
        {"4OFF\n",
         "m.off:1: the keyword \"4OFF\" announces vertices of other than 3 dimensions, "
         "which are not supported"},
        {"nOFF\n4\n",
         "m.off:1: the keyword \"nOFF\" announces vertices of other than 3 "
         "dimensions, which are not supported"},
        {"OFF BINARY\n", "m.off:1: binary OFF is not supported"},
        {"OFFICE\n", "m.off:1: expected \"OFF\" (or COFF, NOFF, STOFF ...), found \"OFFICE\""},
        {"CSTOFF\n", "m.off:1: expected \"OFF\" (or COFF, NOFF, STOFF ...), found \"CSTOFF\""},
        {"", "m.off:1: expected \"OFF\", found end of file"},
        {"OFF\n# nothing\n",
         "m.off:2: expected the vertex, face and edge counts, found end of file"},
        {"OFF\n3\n", "m.off:2: expected the vertex, face and edge counts, found 1 values"},
        {"OFF\n3 -1 0\n", "m.off:2: expected a count from 0 to 4294967295, found \"-1\""},
        // The counts are checked against the rest of the file before
        // anything is allocated: 6 bytes per vertex, 2 per face at least
        // ("0" and a line end), less the last line end.
        {"OFF\n3 2 0\n0 0 0\n1 0 0\n0 1 0\n0\n",
         "m.off:2: the counts promise 3 vertices and 2 faces, at least 21 bytes of text, but "
         "only 20 follow"},
        {"OFF\n1000000 1 0\n0 0 0\n",
         "m.off:2: the counts promise 1000000 vertices and 1 face, at least 6000001 bytes of "
         "text, but only 6 follow"},
        {"OFF\n4294967295 4294967295 0\n",
         "m.off:2: the counts promise 4294967295 vertices and 4294967295 faces, at least "
         "34359738359 bytes of text, but only 0 follow"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Refusal(kOff, c.text), c.message) << c.text;
}

TEST(OffReader, EveryPrefixEndsCleanly) {
    const std::string text =
        "COFF\n# c\n4 2 5\n0 0 0 255 0 0\n1 0 0 0 255 0 128\n1 1 0 0 0 255\n0 1 0 9 9 9\n"
        "4 0 1 2 3 1 0 0\n3 2 1 0\n";
    ASSERT_TRUE(Read(kOff, text).ok());
    EXPECT_GT(CheckEveryPrefix(kOff, text), text.size() - 10);
}

}  // namespace
}  // namespace kvx::test
