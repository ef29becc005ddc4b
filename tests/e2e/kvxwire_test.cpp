// End-to-end runs of kvxwire: exact wireframe files and progress output.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

using Pairs = std::vector<std::pair<uint16_t, uint16_t>>;

const std::string kProgress =
    "loading faces...\n\t\t\tdone!\n"
    "reading lines...\n\t\t\tdone!\n"
    "Optimizing...\n\t\t\tdone!\n"
    "write optimized Wireframe to mesh...\n\t\t\tdone!\n";

// Vertex i of the test meshes: colour 0.2 0.4 0.6 0.8, position (i, -i, 0.5).
std::string VertexText(uint32_t count) {
    std::string text;
    for (uint32_t i = 0; i < count; ++i) {
        text += "0.2 0.4 0.6 0.8 " + std::to_string(i) + " -" + std::to_string(i) + " 0.5\n";
    }
    return text;
}

std::string VertexBytes(uint32_t count) {
    std::string bytes;
    for (uint32_t i = 0; i < count; ++i) {
        AppendU32(bytes, 0x336699CCu);
        AppendF32(bytes, static_cast<float>(i));
        AppendF32(bytes, -static_cast<float>(i));
        AppendF32(bytes, 0.5f);
    }
    return bytes;
}

std::string Wireframe(uint32_t vertexCount, const Pairs& lines) {
    std::string bytes = KvxHeader(vertexCount, static_cast<uint32_t>(lines.size()), -2);
    bytes += VertexBytes(vertexCount);
    for (auto [a, b] : lines) {
        AppendU16(bytes, a);
        AppendU16(bytes, b);
    }
    return bytes;
}

}  // namespace

TEST(Kvxwire, WorkedExample) {
    TempDir dir;
    Conversion o = Convert(KVXWIRE_PATH, "4 2\n" + VertexText(4) + "0 1 2\n2 1 3\n");
    EXPECT_EQ(o.run.exitStatus, 0);
    EXPECT_EQ(o.run.out, kProgress);
    EXPECT_EQ(o.run.err, "");
    std::string want = Bytes({'K', 'V', 'X', 4, 0, 0, 0, 5, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF});
    want += VertexBytes(4);
    want += Bytes({0, 0, 1, 0, 1, 0, 2, 0, 2, 0, 0, 0, 1, 0, 3, 0, 3, 0, 2, 0});
    EXPECT_EQ(o.file, want);
}

TEST(Kvxwire, DistinctEdgesInOrderAndDirectionOfFirstOccurrence) {
    struct Case {
        uint32_t vertexCount;
        uint32_t faceCount;
        std::string triangles;
        Pairs want;
    };
    const Case cases[] = {
        {3, 1, "0 1 2", {{0, 1}, {1, 2}, {2, 0}}},
        {3, 2, "0 1 2 0 1 2", {{0, 1}, {1, 2}, {2, 0}}},
        {3, 2, "0 1 2\n0 2 1", {{0, 1}, {1, 2}, {2, 0}}},
        {8, 1, "5 5 7", {{5, 5}, {5, 7}}},
        {5, 1, "4 4 4", {{4, 4}}},
        {65536, 2, "0 0 65535\n65535 65535 0", {{0, 0}, {0, 65535}, {65535, 65535}}},
        // Vertices that no edge uses are written all the same.
        {6, 1, "2 1 2", {{2, 1}, {2, 2}}},
        // No triangles: all progress lines, the vertices and no edges.
        {3, 0, "", {}},
    };
    for (const Case& c : cases) {
        std::string text = std::to_string(c.vertexCount) + " " + std::to_string(c.faceCount) +
                           "\n" + VertexText(c.vertexCount) + c.triangles + "\n";
        Conversion o = Convert(KVXWIRE_PATH, text);
        EXPECT_EQ(o.run.exitStatus, 0) << c.triangles;
        EXPECT_EQ(o.run.out, kProgress) << c.triangles;
        EXPECT_EQ(o.file, Wireframe(c.vertexCount, c.want)) << c.triangles;
    }
}

// The program against the plain scan that compares every edge with every
// slot, on a mesh with edges repeated in both directions and degenerate
// triangles.
TEST(Kvxwire, MatchesThePlainScanOnARandomMesh) {
    constexpr uint32_t kTriangles = 1500;
    constexpr uint32_t kVertices = 30;
    uint64_t state = 7;
    auto next = [&state](uint32_t bound) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<uint32_t>((state >> 33) % bound);
    };
    std::string text =
        std::to_string(kVertices) + " " + std::to_string(kTriangles) + "\n" + VertexText(kVertices);
    std::vector<uint16_t> indices;
    for (uint32_t k = 0; k < 3 * kTriangles; ++k) {
        uint32_t index = next(kVertices);
        text += std::to_string(index) + (k % 3 == 2 ? "\n" : " ");
        indices.push_back(static_cast<uint16_t>(index));
    }
    Pairs all, want;
    for (uint32_t t = 0; t < kTriangles; ++t) {
        const uint16_t* f = &indices[3 * t];
        all.insert(all.end(), {{f[0], f[1]}, {f[1], f[2]}, {f[2], f[0]}});
    }
    for (auto [a, b] : all) {
        bool found = false;
        for (auto [c, d] : want)
            found = found || (a == c && b == d) || (a == d && b == c);
        if (!found) want.emplace_back(a, b);
    }
    ASSERT_GT(want.size(), 100u);
    ASSERT_LT(want.size(), all.size() / 4);

    Conversion o = Convert(KVXWIRE_PATH, text);
    EXPECT_EQ(o.run.exitStatus, 0);
    EXPECT_EQ(o.run.out, kProgress);
    EXPECT_EQ(o.file, Wireframe(kVertices, want));
}

// The bundled cube: 12 triangles share 12 sides and 6 face diagonals.
TEST(Kvxwire, CubeHasEighteenEdges) {
    TempDir dir;
    RunResult r = RunProgram(KVXWIRE_PATH, {Example("cube7.cmsh"), dir.file("cube.kvx")});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, kProgress);
    std::string file = ReadFile(dir.file("cube.kvx"));
    ASSERT_EQ(file.size(), 15u + 8 * 16 + 18 * 4);
    EXPECT_EQ(file.substr(0, 15), KvxHeader(8, 18, -2));
    // The first triangle (0 2 1) gives the first three edges.
    EXPECT_EQ(file.substr(15 + 128, 12), Bytes({0, 0, 2, 0, 2, 0, 1, 0, 1, 0, 0, 0}));
}

// Progress lines come as far as the work goes: a bad triangle entry stops
// the run after the first line, a bad vertex entry before it.
TEST(Kvxwire, ProgressStopsWhereTheInputFails) {
    const std::string vertices = "3 2\n" + VertexText(3);
    Conversion c = Convert(KVXWIRE_PATH, vertices + "0 1 2\n2 1 x\n");
    EXPECT_EQ(c.run.exitStatus, 2);
    EXPECT_EQ(c.run.out, "loading faces...\n");
    EXPECT_EQ(c.file, "");
    c = Convert(
        KVXWIRE_PATH,
        "3 2\n0.2 0.4 0.6 0.8 0 0 0\n0.2 0.4 0.6 0.8 1 x 0\n0.2 0.4 0.6 0.8 2 0 0\n0 1 2 2 1 0\n");
    EXPECT_EQ(c.run.exitStatus, 2);
    EXPECT_EQ(c.run.out, "");
}
