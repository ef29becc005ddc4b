// The STL reader: binary (also behind a "solid" header), ASCII in any letter
// case with several solids, counts that disagree with the file, refusals.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "import_test_support.h"
#include "meshimport/weld.h"

namespace kvx::test {
namespace {

constexpr std::string_view kStl = "stl";

void AppendFloat(std::string& out, float v) {
    char bytes[4];
    std::memcpy(bytes, &v, 4);
    out.append(bytes, 4);
}

// A binary STL: `header` padded to 80 bytes, the count, and the triangles
// (9 floats each) with a normal and attribute bytes that are not read.
std::string BinaryStl(const std::string& header, uint32_t count,
                      const std::vector<std::vector<float>>& triangles) {
    std::string out = header;
    out.resize(80, ' ');
    char bytes[4];
    std::memcpy(bytes, &count, 4);
    out.append(bytes, 4);
    for (const auto& t : triangles) {
        for (float n : {0.5f, 0.5f, 0.5f})
            AppendFloat(out, n);
        for (float v : t)
            AppendFloat(out, v);
        out += "\x07\x01";
    }
    return out;
}

const std::vector<std::vector<float>> kTwo = {{0, 0, 0, 1, 0, 0, 0, 1, 0},
                                              {1, 0, 0, 1, 1, 0, 0, 1, -0.0f}};

TEST(StlReader, BinaryEvenBehindASolidHeader) {
    for (const char* header : {"binary", "solid exported by a CAD program"}) {
        ImportResult r = Read(kStl, BinaryStl(header, 2, kTwo));
        ASSERT_TRUE(r.ok()) << r.error.message;
        EXPECT_EQ(BitsOf(r.mesh.positions),
                  BitsOf({0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, -0.0f}));
        EXPECT_EQ(r.mesh.triangles, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
        EXPECT_EQ(r.mesh.name, "");
        EXPECT_TRUE(r.mesh.warnings.empty());
    }
}

TEST(StlReader, ACountThatDisagreesWithTheFile) {
    // More triangles than the file holds: refused.
    EXPECT_EQ(Refusal(kStl, BinaryStl("x", 3, kTwo)),
              "m.stl: the header announces 3 triangles (234 bytes), but the file has 184 bytes");
    EXPECT_EQ(Refusal(kStl, BinaryStl("x", 4000000000u, {})),
              "m.stl: the header announces 4000000000 triangles (200000000084 bytes), but the "
              "file has 84 bytes");
    // Fewer than it holds (0 is common): every whole triangle is read.
    for (uint32_t count : {0u, 1u}) {
        ImportResult r = Read(kStl, BinaryStl("solid x", count, kTwo));
        ASSERT_TRUE(r.ok()) << r.error.message;
        EXPECT_EQ(r.mesh.triangleCount(), 2u);
        EXPECT_EQ(r.mesh.warnings,
                  (std::vector<std::string>{"m.stl: the header announces " + std::to_string(count) +
                                            " triangles, the file holds 2; all 2 are read"}));
    }
    // Bytes after the last whole triangle are not read.
    ImportResult r = Read(kStl, BinaryStl("x", 2, kTwo) + "tail");
    ASSERT_TRUE(r.ok()) << r.error.message;
    EXPECT_EQ(r.mesh.triangleCount(), 2u);
    EXPECT_TRUE(r.mesh.warnings.empty());
    EXPECT_EQ(Refusal(kStl, std::string(83, 'x')),
              "m.stl: a binary STL file takes at least 84 bytes, this one has 83");
}

const char kAscii[] =
    "  solid  my part \r\n"
    "facet normal 0 0 1\n"
    "  outer loop\n"
    "    vertex 0 0 0\n"
    "    vertex 1 0 0\n"
    "    vertex 0 1 0.1\n"
    "  endloop\n"
    "endfacet\n"
    "endsolid my part\n"
    "SOLID second\n"
    "FACET NORMAL 0 0 0 OUTER LOOP VERTEX 5 5 5 VERTEX 6 5 5 VERTEX 5 6 5 ENDLOOP ENDFACET\n"
    "ENDSOLID\n";

TEST(StlReader, AsciiSolidsInAnyLetterCase) {
    ImportResult r = Read(kStl, kAscii);
    ASSERT_TRUE(r.ok()) << r.error.message;
    EXPECT_EQ(r.mesh.name, "my part");
    EXPECT_EQ(BitsOf(r.mesh.positions),
              BitsOf({0, 0, 0, 1, 0, 0, 0, 1, 0.1f, 5, 5, 5, 6, 5, 5, 5, 6, 5}));
    EXPECT_EQ(r.mesh.triangles, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
}

TEST(StlReader, RefusesBrokenAsciiWithTheLine) {
    const std::string facet = "solid s\nfacet normal 0 0 1\nouter loop\n";
    struct Case {
        std::string text;
        std::string message;
    } cases[] = {
        {facet + "vertex 0 0 0\nvertex 1 0 0\nendloop\n",
         "m.stl:6: expected \"vertex\", found \"endloop\""},
        {facet + "vertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nvertex 1 1 1\n",
         "m.stl:7: expected \"endloop\", found \"vertex\""},
        {facet + "vertex 0 0 zero\n", "m.stl:4: expected a number of the vertex, found \"zero\""},
        {facet + "vertex 0 0", "m.stl:4: expected 3 numbers of the vertex, found end of file"},
        {"solid s\nfacet normal 0 0 x\n", "m.stl:2: expected a number of the normal, found \"x\""},
        {"solid s\nvertex 0 0 0\n",
         "m.stl:2: expected \"facet\" or \"endsolid\", found \"vertex\""},
        {"solid s\n", "m.stl:1: expected \"facet\" or \"endsolid\", found end of file"},
        {"solid s\nendsolid s\nsolids\n", "m.stl:3: expected \"solid\", found \"solids\""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Refusal(kStl, c.text), c.message) << c.text;
}

TEST(StlReader, EveryPrefixEndsCleanly) {
    // Binary prefixes hold fewer triangles than announced: every one is
    // refused. ASCII prefixes are refused unless they end after a solid.
    const std::string binary = BinaryStl("solid", 2, kTwo);
    EXPECT_EQ(CheckEveryPrefix(kStl, binary), binary.size());
    CheckEveryPrefix(kStl, kAscii);
}

}  // namespace
}  // namespace kvx::test

namespace kvx::test {
namespace {

// Welding an STL file's triangles (positions alone, by their bits) gives
// the numbering the same mesh with one colour for every vertex gets (a key
// of another width): a vertex per distinct position in the order of first
// occurrence.
TEST(StlReader, WeldingPositionsAloneNumbersAsTheGeneralRemap) {
    std::string stl(80, '\0');
    const uint32_t count = 4000;
    stl.append(reinterpret_cast<const char*>(&count), 4);
    uint64_t seed = 5;
    auto next = [&seed] {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        return static_cast<uint32_t>(seed >> 33);
    };
    const float values[] = {0.0f,
                            -0.0f,
                            1.0f,
                            2.5f,
                            std::bit_cast<float>(0x7FC00000u),
                            std::bit_cast<float>(0x7FC00001u)};
    for (uint32_t t = 0; t < count; ++t) {
        float record[12] = {};
        for (int k = 3; k < 12; ++k)
            record[k] = values[next() % 6] + float(next() % 8);
        // Half the triangles on the line x = y = 1: positions that differ in
        // z alone meet in the table.
        if (t % 2 == 0) {
            for (int k = 3; k < 12; k += 3) {
                record[k] = record[k + 1] = 1.0f;
                record[k + 2] = float(next() % 3000);
            }
        }
        stl.append(reinterpret_cast<const char*>(record), sizeof record);
        stl.append(2, '\0');
    }
    ImportResult r = Read("stl", stl);
    ASSERT_TRUE(r.ok()) << r.error.message;
    ImportedMesh alone = r.mesh, colored = r.mesh;
    ASSERT_FALSE(alone.hasColors || alone.hasTexCoords || alone.hasNormals);
    colored.hasColors = true;
    colored.colors.assign(colored.vertexCount(), 0xFF808080u);
    ASSERT_TRUE(WeldVertices(alone));
    ASSERT_TRUE(WeldVertices(colored));
    EXPECT_LT(alone.vertexCount(), r.mesh.vertexCount());
    EXPECT_EQ(alone.triangles, colored.triangles);
    ASSERT_EQ(alone.positions.size(), colored.positions.size());
    EXPECT_EQ(std::memcmp(alone.positions.data(), colored.positions.data(),
                          alone.positions.size() * sizeof(float)),
              0);
    // Welding again changes nothing.
    ImportedMesh again = alone;
    ASSERT_TRUE(WeldVertices(again));
    EXPECT_EQ(again.triangles, alone.triangles);
    EXPECT_EQ(again.vertexCount(), alone.vertexCount());
}

}  // namespace
}  // namespace kvx::test
