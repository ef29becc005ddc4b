// What the native readers share beyond their grammar: colours rounded to
// the nearest byte, the PLY header's tolerance, per-corner texture
// coordinates, and a warning for the data they cannot keep.
#include <cstdio>
#include <string>
#include <vector>

#include "import_test_support.h"

namespace kvx::test {
namespace {

// Every byte as byte / 255 to 6 digits, in the red channel of vertex b (and
// in green of vertex 255 - b), comes back as itself.
TEST(ReaderColors, EveryByteWrittenToSixDigitsComesBack) {
    std::string obj, off = "COFF\n256 0 0\n",
                     ply =
                         "ply\nformat ascii 1.0\nelement vertex 256\nproperty float x\n"
                         "property float y\nproperty float z\nproperty float red\n"
                         "property float green\nproperty float blue\nend_header\n";
    for (int b = 0; b < 256; ++b) {
        char line[96];
        std::snprintf(line, sizeof line, "0 0 0 %.6f %.6f 0.5", b / 255.0, (255 - b) / 255.0);
        obj += "v " + std::string(line) + "\n";
        off += line + std::string(" 1.0\n");
        ply += line + std::string("\n");
    }
    for (auto [format, text] : {std::pair{"obj", obj}, {"off", off}, {"ply", ply}}) {
        SCOPED_TRACE(format);
        ImportResult r = Read(format, text, {ColorOrder::rgba});
        ASSERT_TRUE(r.ok()) << r.error.message;
        ASSERT_EQ(r.mesh.colors.size(), 256u);
        for (uint32_t b = 0; b < 256; ++b)
            // 0.5 rounds up to 128 (127.5 + 0.5).
            EXPECT_EQ(r.mesh.colors[b], b << 24 | (255 - b) << 16 | 0x80FF) << b;
    }
    // The edges of the accepted range stay those of the text colours:
    // products above -1 and below 256 only.
    for (const char* value : {"-0.0039", "1.0039"})
        EXPECT_TRUE(Read("obj", "v 0 0 0 " + std::string(value) + " 0 0\n").ok()) << value;
    EXPECT_EQ(Refusal("obj", "v 0 0 0 1.004 0 0\n"),
              "m.obj:1: the red value 1.004 cannot be packed into a colour word");
    EXPECT_EQ(Refusal("off", "COFF\n1 0\n0 0 0 0.5 -0.004 0\n"),
              "m.off:3: the green value -0.004 cannot be packed into a colour word");
    ImportResult edges = Read("obj", "v 0 0 0 -0.0039 1.0039 0.00196\n", {ColorOrder::rgba});
    ASSERT_TRUE(edges.ok());
    EXPECT_EQ(edges.mesh.colors, (std::vector<uint32_t>{0x00FF00FF}));
}

const std::string kPlyStart = "ply\nformat ascii 1.0\n";
const std::string kXyz = "property float x\nproperty float y\nproperty float z\n";

TEST(ReaderPly, UnknownHeaderLinesAreSkippedWithOneWarning) {
    const std::string text = kPlyStart + "Created by Blender 2.49\r\n" + "element vertex 1\n" +
                             kXyz + "junk\nend_header\n1 2 3\n";
    ImportResult r = Read("ply", text);
    ASSERT_TRUE(r.ok()) << r.error.message;
    EXPECT_EQ(r.mesh.positions, (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(r.mesh.warnings, (std::vector<std::string>{
                                   "m.ply:3: the unknown header line \"Created by Blender 2.49\" "
                                   "is skipped, and 1 more"}));
    ImportResult one = Read("ply", kPlyStart + "made by hand\nend_header\n");
    ASSERT_TRUE(one.ok());
    EXPECT_EQ(one.mesh.warnings,
              (std::vector<std::string>{"m.ply:3: the unknown header line \"made by hand\" is "
                                        "skipped"}));
    // A known keyword's malformed line is still refused.
    EXPECT_EQ(Refusal("ply", kPlyStart + "element vertex\nend_header\n"),
              "m.ply:3: expected \"element <name> <count>\"");
}

// A quad whose four corners sit at two vertices' ... MeshLab's layout: two
// triangles sharing the edge 1-2, with different texture coordinates at
// vertex 2 in each.
TEST(ReaderPly, PerCornerTextureCoordinatesSplitVertices) {
    const std::string header = kPlyStart + "element vertex 4\n" + kXyz +
                               "property uchar red\nproperty uchar green\nproperty uchar blue\n"
                               "element face 3\nproperty list uchar int vertex_indices\n"
                               "property list uchar float texcoord\nend_header\n"
                               "0 0 0 1 0 0\n1 0 0 2 0 0\n0 1 0 3 0 0\n5 5 5 4 0 0\n";
    const std::string faces =
        "3 0 1 2 6 0 0 1 0 0 1\n"
        "3 1 3 2 6 1 0 1 1 0.5 0.5\n"
        "3 2 1 0 4 0 1 1 0\n";  // a list of the wrong length
    ImportResult r = Read("ply", header + faces);
    ASSERT_TRUE(r.ok()) << r.error.message;
    EXPECT_TRUE(r.mesh.hasTexCoords);
    // Vertices in the order of first use: 0, 1, 2, then 3 and 2 again with
    // (0.5, 0.5), then 2, 1 and 0 at (0, 0) (the wrong list's corners).
    EXPECT_EQ(r.mesh.positions,
              (std::vector<float>{0, 0, 0, 1, 0, 0, 0, 1, 0, 5, 5, 5, 0, 1, 0, 0, 1, 0, 1, 0, 0}));
    EXPECT_EQ(r.mesh.texCoords,
              (std::vector<float>{0, 0, 1, 0, 0, 1, 1, 1, 0.5f, 0.5f, 0, 0, 0, 0}));
    EXPECT_EQ(r.mesh.triangles, (std::vector<uint32_t>{0, 1, 2, 1, 3, 4, 5, 6, 0}));
    EXPECT_EQ(r.mesh.colors, (std::vector<uint32_t>{0xFF010000, 0xFF020000, 0xFF030000, 0xFF040000,
                                                    0xFF030000, 0xFF030000, 0xFF020000}));
    EXPECT_TRUE(IsConsistent(r.mesh));
    EXPECT_EQ(r.mesh.warnings,
              (std::vector<std::string>{"m.ply: 1 face has a texcoord list of other than 2 "
                                        "values per corner; their corners take (0, 0)"}));
    // With the vertices' own coordinates, those fill in instead; faces
    // before the vertices are split once the vertices are known.
    const std::string own = kPlyStart +
                            "element face 2\nproperty list uchar int vertex_indices\n"
                            "property list uchar float texcoord\nelement vertex 4\n" +
                            kXyz +
                            "property float u\nproperty float v\nend_header\n"
                            "4 0 1 2 3 8 0 0 1 0 1 1 0 1\n4 0 1 2 3 0\n"
                            "0 0 0 9 9\n1 0 0 8 8\n1 1 0 7 7\n0 1 0 6 6\n";
    ImportResult o = Read("ply", own);
    ASSERT_TRUE(o.ok()) << o.error.message;
    EXPECT_EQ(o.mesh.texCoords,
              (std::vector<float>{0, 0, 1, 0, 1, 1, 0, 1, 9, 9, 8, 8, 7, 7, 6, 6}));
    EXPECT_EQ(o.mesh.triangles, (std::vector<uint32_t>{0, 1, 2, 0, 2, 3, 4, 5, 6, 4, 6, 7}));
    ASSERT_EQ(o.mesh.warnings.size(), 1u);
    EXPECT_EQ(o.mesh.warnings[0],
              "m.ply: 1 face has a texcoord list of other than 2 values per corner; their corners "
              "take their vertices' texture coordinates");
}

TEST(ReaderWarnings, FaceColoursThatAreNotKeptAreNamed) {
    ImportResult off = Read("off", "OFF\n3 2 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2 1 0 0\n3 0 2 1\n");
    ASSERT_TRUE(off.ok()) << off.error.message;
    EXPECT_EQ(off.mesh.warnings,
              (std::vector<std::string>{"m.off: 1 face with a colour; face colours are not kept"}));
    ImportResult ply = Read("ply", kPlyStart + "element vertex 3\n" + kXyz +
                                       "element face 1\nproperty list uchar int vertex_indices\n"
                                       "property uchar red\nend_header\n0 0 0\n1 0 0\n0 1 0\n"
                                       "3 0 1 2 255\n");
    ASSERT_TRUE(ply.ok()) << ply.error.message;
    EXPECT_EQ(ply.mesh.warnings,
              (std::vector<std::string>{"m.ply: the faces' colour properties are not kept"}));
    // None without face colours.
    EXPECT_TRUE(Read("off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n").mesh.warnings.empty());
}

}  // namespace
}  // namespace kvx::test
