// From an imported mesh to KVX: every version's records, the edges of a
// wireframe, names, welding and splitting.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "import_test_support.h"
#include "meshimport/split.h"
#include "meshimport/to_kvx.h"
#include "meshimport/weld.h"
#include "test_support.h"

namespace kvx::test {
namespace {

// Two triangles sharing an edge, an unused vertex, colours and texture
// coordinates.
ImportedMesh Quad() {
    ImportedMesh m;
    m.positions = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 5, 5, 5};
    m.hasColors = true;
    m.colors = {0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00, 0x01020304};
    m.hasTexCoords = true;
    m.texCoords = {0, 0.25f, 1, 0.1f, 1, 1, 0, 0, 0.5f, 0.5f};
    m.triangles = {0, 1, 2, 2, 3, 0};
    return m;
}

struct Converted {
    OKVX m{};
    ~Converted() { KvxRelease(m); }
};

TEST(ToKvx, RecordsOfEveryVersion) {
    const ImportedMesh quad = Quad();
    Converted v1, v2, v3, v4, points;
    ASSERT_EQ(ToKvx(quad, 1, "", v1.m).kind, FailureKind::none);
    ASSERT_EQ(ToKvx(quad, 2, "", v2.m).kind, FailureKind::none);
    ASSERT_EQ(ToKvx(quad, 3, "", v3.m).kind, FailureKind::none);
    ASSERT_EQ(ToKvx(quad, 4, "quad", v4.m).kind, FailureKind::none);
    ASSERT_EQ(ToKvx(quad, -1, "", points.m).kind, FailureKind::none);
    for (OKVX* m : {&v1.m, &v2.m, &v3.m, &v4.m}) {
        EXPECT_EQ(m->vertexCount, 5u);
        EXPECT_EQ(m->faceCount, 2u);
        EXPECT_EQ(std::vector<uint16_t>(m->faces, m->faces + 6),
                  (std::vector<uint16_t>{0, 1, 2, 2, 3, 0}));
    }
    // kvxconv1's fixed colour; the colour words as read otherwise.
    EXPECT_EQ(v1.m.verticesV1[3].color, 0xFFFF0000u);
    EXPECT_EQ(v2.m.verticesV2[3].color, 0xDDEEFF00u);
    EXPECT_EQ(v2.m.verticesV2[4].x, 5.0f);
    // Normals: the face normal (0, 0, 1) on the four used corners, none on
    // the unused vertex.
    EXPECT_EQ(v3.m.verticesV3[1].nz, 1.0f);
    EXPECT_EQ(v3.m.verticesV3[4].nz, 0.0f);
    EXPECT_EQ(v3.m.verticesV3[2].color, 0x99AABBCCu);
    // v stored as 1 - v, one float subtraction: 0.1 gives 1.0f - 0.1f.
    EXPECT_EQ(Bits(v4.m.verticesV4[1].v), Bits(1.0f - 0.1f));
    EXPECT_EQ(v4.m.verticesV4[0].v, 0.75f);
    EXPECT_EQ(v4.m.verticesV4[1].u, 1.0f);
    EXPECT_EQ(v4.m.verticesV4[2].nz, 1.0f);
    EXPECT_STREQ(v4.m.name, "quad");
    // A point set: the vertex count in the face count's place, no indices.
    EXPECT_EQ(points.m.version, -1);
    EXPECT_EQ(points.m.faceCount, 5u);
    EXPECT_EQ(points.m.faces, nullptr);
    EXPECT_EQ(points.m.verticesV1[4].color, 0x01020304u);

    // Without colours and texture coordinates: opaque white, (0, 0) stored
    // as (0, 1).
    ImportedMesh plain = quad;
    plain.hasColors = plain.hasTexCoords = false;
    plain.colors.clear();
    plain.texCoords.clear();
    Converted p4;
    ASSERT_EQ(ToKvx(plain, 4, "", p4.m).kind, FailureKind::none);
    EXPECT_EQ(p4.m.verticesV4[2].color, 0xFFFFFFFFu);
    EXPECT_EQ(p4.m.verticesV4[2].u, 0.0f);
    EXPECT_EQ(p4.m.verticesV4[2].v, 1.0f);
}

TEST(ToKvx, AWireframeHoldsEachEdgeOnceAsFirstMet) {
    ImportedMesh m = Quad();
    // Repeated and degenerate triangles: (2, 1) is (1, 2) again, (4, 4, 4)
    // gives the loop (4, 4) once.
    m.triangles = {0, 1, 2, 2, 1, 3, 4, 4, 4, 3, 0, 2};
    Converted wire;
    ASSERT_EQ(ToKvx(m, -2, "", wire.m).kind, FailureKind::none);
    EXPECT_EQ(wire.m.faceCount, 7u);
    EXPECT_EQ(std::vector<uint16_t>(wire.m.faces, wire.m.faces + 14),
              (std::vector<uint16_t>{0, 1, 1, 2, 2, 0, 1, 3, 3, 2, 4, 4, 3, 0}));
}

TEST(ToKvx, RefusesWhatTheVersionCannotHold) {
    ImportedMesh m = Quad();
    m.triangles.clear();
    Converted a, b, c;
    for (auto [version, mesh] : {std::pair{3, &a.m}, std::pair{-2, &b.m}}) {
        const Failure f = ToKvx(m, version, "", *mesh);
        EXPECT_EQ(f.kind, FailureKind::bad_input);
        EXPECT_EQ(f.message, "no triangles");
    }
    // A point set takes vertices alone.
    EXPECT_EQ(ToKvx(m, -1, "", c.m).kind, FailureKind::none);

    ImportedMesh big;
    big.positions.assign(3 * 65537, 0.0f);
    big.triangles = {0, 1, 65536};
    Converted d, e;
    const Failure tooMany = ToKvx(big, 2, "", d.m);
    EXPECT_EQ(tooMany.kind, FailureKind::bad_input);
    EXPECT_EQ(tooMany.message, "65537 vertices are too many for one file");
    EXPECT_EQ(ToKvx(big, -1, "", e.m).kind, FailureKind::none);
    big.positions.resize(3 * 65536);
    big.triangles = {0, 1, 65535};
    Converted f;
    EXPECT_EQ(ToKvx(big, 2, "", f.m).kind, FailureKind::none);
    EXPECT_EQ(f.m.faces[2], 65535);
}

TEST(Names, ValidNamesAndFittedOnes) {
    std::string why;
    EXPECT_TRUE(IsValidKvxName(""));
    EXPECT_TRUE(IsValidKvxName(std::string(255, 'n')));
    EXPECT_FALSE(IsValidKvxName(std::string(256, 'n'), &why));
    EXPECT_EQ(why, "is 256 bytes long; at most 255 fit");
    EXPECT_FALSE(IsValidKvxName("two words", &why));
    EXPECT_EQ(why, "holds white space; a name is one word");
    EXPECT_FALSE(IsValidKvxName(std::string("a\0b", 3), &why));
    EXPECT_EQ(why, "holds a zero byte");

    EXPECT_EQ(FitKvxName("my scan\t01"), "my_scan_01");
    EXPECT_EQ(FitKvxName(std::string("a\0b", 3)), "a_b");
    EXPECT_EQ(FitKvxName(std::string(300, 'x')), std::string(255, 'x'));
    // 254 bytes and a two-byte character: cut before the character.
    EXPECT_EQ(FitKvxName(std::string(254, 'x') + "\xC3\xA4" + "yz"), std::string(254, 'x'));
    EXPECT_EQ(FitKvxName(std::string(253, 'x') + "\xC3\xA4" + "yz"),
              std::string(253, 'x') + "\xC3\xA4");
}

TEST(Weld, BitIdenticalVerticesBecomeOneInFirstOccurrenceOrder) {
    ImportedMesh m;
    // 0 and -0 stay apart; the NaN meets its own pattern.
    const float nan = std::nanf("");
    m.positions = {1, 1, 1, 0, 0, 0, 1, 1, 1, -0.0f, 0, 0, nan, 0, 0, nan, 0, 0, 0, 0, 0, 7, 7, 7};
    m.triangles = {0, 1, 2, 3, 4, 5, 6, 2, 0};
    ASSERT_TRUE(WeldVertices(m));
    EXPECT_EQ(BitsOf(m.positions), BitsOf({1, 1, 1, 0, 0, 0, -0.0f, 0, 0, nan, 0, 0, 7, 7, 7}));
    EXPECT_EQ(m.triangles, (std::vector<uint32_t>{0, 1, 0, 2, 3, 3, 1, 0, 0}));

    // Equal positions with different colours or texture coordinates stay
    // apart.
    ImportedMesh c;
    c.positions = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    c.hasColors = true;
    c.colors = {1, 2, 1};
    c.hasTexCoords = true;
    c.texCoords = {0, 0, 0, 0, 0, 1};
    c.triangles = {0, 1, 2};
    ASSERT_TRUE(WeldVertices(c));
    EXPECT_EQ(c.vertexCount(), 3u);
    c.texCoords = {0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(WeldVertices(c));
    EXPECT_EQ(c.vertexCount(), 2u);
    EXPECT_EQ(c.colors, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(c.triangles, (std::vector<uint32_t>{0, 1, 0}));
}

TEST(Weld, VertexOrderNotTriangleOrderAndEveryBitCounts) {
    // The triangles name the vertices backwards; the welded ones still come
    // in the order of the vertex list, the unused first one included. Two
    // NaNs of different payloads, and 0 and -0 in a texture coordinate, stay
    // apart.
    const float nanA = std::bit_cast<float>(0x7FC00000u), nanB = std::bit_cast<float>(0x7FC00001u);
    ImportedMesh m;
    m.positions = {9, 9, 9, nanA, 0, 0, nanB, 0, 0, nanA, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0};
    m.hasTexCoords = true;
    m.texCoords = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -0.0f, 0, 0, 0};
    m.triangles = {6, 5, 4, 3, 2, 1};
    ASSERT_TRUE(WeldVertices(m));
    EXPECT_EQ(BitsOf(m.positions), BitsOf({9, 9, 9, nanA, 0, 0, nanB, 0, 0, 1, 0, 0, 1, 0, 0}));
    EXPECT_EQ(BitsOf(m.texCoords), BitsOf({0, 0, 0, 0, 0, 0, 0, 0, -0.0f, 0}));
    EXPECT_EQ(m.triangles, (std::vector<uint32_t>{3, 4, 3, 1, 2, 1}));
    // An empty mesh stays empty.
    ImportedMesh empty;
    ASSERT_TRUE(WeldVertices(empty));
    EXPECT_EQ(empty.vertexCount(), 0u);
}

// A grid of n x n vertices in the plane z = 0, two triangles per cell, rows
// in order: the triangle order of a scan line by line.
ImportedMesh Grid(uint32_t n) {
    ImportedMesh m;
    for (uint32_t y = 0; y < n; ++y)
        for (uint32_t x = 0; x < n; ++x)
            m.positions.insert(m.positions.end(), {float(x), float(y), 0.0f});
    for (uint32_t y = 0; y + 1 < n; ++y) {
        for (uint32_t x = 0; x + 1 < n; ++x) {
            uint32_t a = y * n + x;
            m.triangles.insert(m.triangles.end(), {a, a + 1, a + n + 1, a, a + n + 1, a + n});
        }
    }
    return m;
}

using Position = std::tuple<float, float, float>;
using Triangle = std::tuple<Position, Position, Position>;

Position At(const ImportedMesh& m, uint32_t i) {
    return {m.positions[3 * i], m.positions[3 * i + 1], m.positions[3 * i + 2]};
}

std::multiset<Triangle> TrianglesOf(const ImportedMesh& m) {
    std::multiset<Triangle> out;
    for (size_t t = 0; t < m.triangleCount(); ++t) {
        out.insert({At(m, m.triangles[3 * t]), At(m, m.triangles[3 * t + 1]),
                    At(m, m.triangles[3 * t + 2])});
    }
    return out;
}

TEST(Split, EveryTriangleInExactlyOnePartOfAtMostTheLimit) {
    const ImportedMesh grid = Grid(120);  // 14,400 vertices, 28,322 triangles
    std::vector<ImportedMesh> parts;
    ASSERT_TRUE(SplitMesh(grid, 4096, parts));
    ASSERT_GE(parts.size(), 4u);
    std::multiset<Triangle> all;
    for (const ImportedMesh& p : parts) {
        EXPECT_TRUE(IsConsistent(p));
        EXPECT_LE(p.vertexCount(), 4096u);
        // No vertex is left unused within a part.
        std::set<uint32_t> used(p.triangles.begin(), p.triangles.end());
        EXPECT_EQ(used.size(), p.vertexCount());
        std::multiset<Triangle> mine = TrianglesOf(p);
        all.insert(mine.begin(), mine.end());
    }
    EXPECT_EQ(all, TrianglesOf(grid));
    // An even grid is cut into halves of halves: 4 parts of a quarter each.
    EXPECT_EQ(parts.size(), 4u);
    for (const ImportedMesh& p : parts)
        EXPECT_GT(p.vertexCount(), 3600u);
}

TEST(Split, PartsAreCompactPiecesNotStripes) {
    // Rows of the grid in file order would give stripes as wide as the
    // grid; the parts are boxes that barely overlap.
    const uint32_t n = 200;
    const ImportedMesh grid = Grid(n);
    std::vector<ImportedMesh> parts;
    ASSERT_TRUE(SplitMesh(grid, 8192, parts));
    double boxArea = 0;
    for (const ImportedMesh& p : parts) {
        float low[2] = {1e9f, 1e9f}, high[2] = {-1e9f, -1e9f};
        for (size_t i = 0; i < p.vertexCount(); ++i) {
            for (size_t k = 0; k < 2; ++k) {
                low[k] = std::min(low[k], p.positions[3 * i + k]);
                high[k] = std::max(high[k], p.positions[3 * i + k]);
            }
        }
        const double w = high[0] - low[0], h = high[1] - low[1];
        boxArea += w * h;
        EXPECT_LE(std::max(w, h), 0.51 * (n - 1)) << "a part spans the grid";
    }
    EXPECT_LT(boxArea, 1.1 * (n - 1) * (n - 1));
}

TEST(ToKvx, SourceNormalsAndLines) {
    // The quad with normals of its own, none of them the face normal; the
    // unused vertex's a NaN, kept bit for bit.
    ImportedMesh m = Quad();
    m.hasNormals = true;
    m.normals = {1, 0, 0, 0, 1, 0, 0, 0, -1, -0.0f, 0.5f, 2, 0, 0, std::nanf("7")};
    Converted v3, v4, smooth, v2;
    ASSERT_EQ(ToKvx(m, 3, "", v3.m, true).kind, FailureKind::none);
    ASSERT_EQ(ToKvx(m, 4, "q", v4.m, true).kind, FailureKind::none);
    ASSERT_EQ(ToKvx(m, 3, "", smooth.m, false).kind, FailureKind::none);
    for (size_t i = 0; i < 5; ++i) {
        const VertexkvxV3& a = v3.m.verticesV3[i];
        const VertexkvxV4& b = v4.m.verticesV4[i];
        for (size_t k = 0; k < 3; ++k) {
            const float n = m.normals[3 * i + k];
            EXPECT_EQ(Bits((&a.nx)[k]), Bits(n)) << i << " " << k;
            EXPECT_EQ(Bits((&b.nx)[k]), Bits(n)) << i << " " << k;
        }
    }
    // Without the flag, or a mesh without normals: smooth, as before.
    EXPECT_EQ(smooth.m.verticesV3[1].nz, 1.0f);
    EXPECT_EQ(smooth.m.verticesV3[0].nx, 0.0f);
    ImportedMesh none = Quad();
    Converted fallback;
    ASSERT_EQ(ToKvx(none, 3, "", fallback.m, true).kind, FailureKind::none);
    EXPECT_EQ(fallback.m.verticesV3[0].nz, 1.0f);
    ASSERT_EQ(ToKvx(m, 2, "", v2.m, true).kind, FailureKind::none);

    // Lines alone: version -2 writes them once each after any triangle
    // edges; the triangle versions still need triangles.
    ImportedMesh lines = Quad();
    lines.triangles.clear();
    lines.lines = {0, 1, 1, 0, 3, 4, 4, 4, 2, 3, 4, 3};
    EXPECT_TRUE(HasGeometryFor(lines, -2));
    EXPECT_TRUE(HasGeometryFor(lines, -1));
    EXPECT_FALSE(HasGeometryFor(lines, 3));
    Converted wire, refused;
    ASSERT_EQ(ToKvx(lines, -2, "", wire.m).kind, FailureKind::none);
    EXPECT_EQ(std::vector<uint16_t>(wire.m.faces, wire.m.faces + 2 * wire.m.faceCount),
              (std::vector<uint16_t>{0, 1, 3, 4, 4, 4, 2, 3}));
    EXPECT_EQ(ToKvx(lines, 3, "", refused.m).message, "no triangles");
    lines.triangles = {0, 1, 2};
    Converted both;
    ASSERT_EQ(ToKvx(lines, -2, "", both.m).kind, FailureKind::none);
    EXPECT_EQ(std::vector<uint16_t>(both.m.faces, both.m.faces + 2 * both.m.faceCount),
              (std::vector<uint16_t>{0, 1, 1, 2, 2, 0, 3, 4, 4, 4, 2, 3}));
}

TEST(Weld, NormalsAndLinesTakePart) {
    // Vertices 0 and 2 are the same but for the normal; 1 and 3 the same in
    // everything.
    ImportedMesh m;
    m.positions = {0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0};
    m.hasNormals = true;
    m.normals = {0, 0, 1, 0, 1, 0, 0, 0, -1, 0, 1, 0};
    m.lines = {0, 1, 2, 3, 3, 0};
    ASSERT_TRUE(WeldVertices(m));
    EXPECT_EQ(m.vertexCount(), 3u);
    EXPECT_EQ(m.normals, (std::vector<float>{0, 0, 1, 0, 1, 0, 0, 0, -1}));
    EXPECT_EQ(m.lines, (std::vector<uint32_t>{0, 1, 2, 1, 1, 0}));
    EXPECT_TRUE(IsConsistent(m));
    m.hasNormals = false;
    m.normals.clear();
    ASSERT_TRUE(WeldVertices(m));
    EXPECT_EQ(m.vertexCount(), 2u);
    EXPECT_EQ(m.lines, (std::vector<uint32_t>{0, 1, 0, 1, 1, 0}));
    m.lines.push_back(2);
    EXPECT_FALSE(IsConsistent(m));
}

}  // namespace
}  // namespace kvx::test
