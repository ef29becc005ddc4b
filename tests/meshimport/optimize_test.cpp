// The GPU order and the simplification (optimize.h), checked against
// models of their own: the triangles as corner records up to a rotation
// of their corners, the order in which vertices are first fetched, a
// 16-entry FIFO cache counted here, the open borders of a mesh found
// here, and the smooth normals of the converters on the result.
#include "meshimport/optimize.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "meshcore/layout.h"
#include "meshcore/normals.h"
#include "meshimport/split.h"
#include "meshimport/to_kvx.h"
#include "test_support.h"

namespace kvx {
namespace {

// An n x m grid of vertices over a gentle wave, its cells two triangles
// each, in a shuffled order (`seed`, 0: in order); with colours and texture
// coordinates that differ from vertex to vertex. `closed` joins the last
// row and column to the first: a torus, which has no border.
ImportedMesh Grid(uint32_t n, uint32_t m, unsigned seed, bool closed = false) {
    ImportedMesh mesh;
    mesh.hasColors = mesh.hasTexCoords = true;
    for (uint32_t i = 0; i < n; ++i) {
        for (uint32_t j = 0; j < m; ++j) {
            const float a = 6.2831853f * float(i) / float(n), b = 6.2831853f * float(j) / float(m);
            if (closed) {
                mesh.positions.insert(mesh.positions.end(),
                                      {(2.0f + std::cos(b)) * std::cos(a),
                                       (2.0f + std::cos(b)) * std::sin(a), std::sin(b)});
            } else {
                mesh.positions.insert(mesh.positions.end(), {float(i), float(j),
                                                             0.3f * std::sin(0.4f * float(i)) *
                                                                 std::cos(0.3f * float(j))});
            }
            mesh.colors.push_back(0xFF000000u | (i << 12) | j);
            mesh.texCoords.insert(mesh.texCoords.end(), {float(i) / float(n), float(j) / float(m)});
        }
    }
    const uint32_t rows = closed ? n : n - 1, columns = closed ? m : m - 1;
    for (uint32_t i = 0; i < rows; ++i) {
        for (uint32_t j = 0; j < columns; ++j) {
            const uint32_t p = i * m + j, q = ((i + 1) % n) * m + j,
                           r = ((i + 1) % n) * m + (j + 1) % m, s = i * m + (j + 1) % m;
            mesh.triangles.insert(mesh.triangles.end(), {p, q, r, p, r, s});
        }
    }
    if (seed != 0) {
        std::vector<size_t> order(mesh.triangleCount());
        std::iota(order.begin(), order.end(), size_t{0});
        std::shuffle(order.begin(), order.end(), std::mt19937(seed));
        std::vector<uint32_t> shuffled;
        for (size_t t : order)
            shuffled.insert(shuffled.end(), &mesh.triangles[3 * t], &mesh.triangles[3 * t] + 3);
        mesh.triangles.swap(shuffled);
    }
    return mesh;
}

// What a vertex of an imported mesh is: every field, as bytes.
std::string VertexOf(const ImportedMesh& mesh, size_t v) {
    std::string out(reinterpret_cast<const char*>(&mesh.positions[3 * v]), 12);
    if (mesh.hasColors) out.append(reinterpret_cast<const char*>(&mesh.colors[v]), 4);
    if (mesh.hasTexCoords) out.append(reinterpret_cast<const char*>(&mesh.texCoords[2 * v]), 8);
    return out;
}

// A triangle as its corners' vertices, rotated to start at the least one:
// the same for every rotation of its corners, another for the other winding.
std::string Corners(std::array<std::string, 3> c) {
    std::rotate(c.begin(), std::min_element(c.begin(), c.end()), c.end());
    return c[0] + "|" + c[1] + "|" + c[2];
}

std::vector<std::string> TrianglesOf(const ImportedMesh& mesh) {
    std::vector<std::string> out;
    for (size_t t = 0; t < mesh.triangleCount(); ++t) {
        const uint32_t* c = &mesh.triangles[3 * t];
        out.push_back(Corners({VertexOf(mesh, c[0]), VertexOf(mesh, c[1]), VertexOf(mesh, c[2])}));
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> VerticesOf(const ImportedMesh& mesh) {
    std::vector<std::string> out;
    for (size_t v = 0; v < mesh.vertexCount(); ++v)
        out.push_back(VertexOf(mesh, v));
    std::sort(out.begin(), out.end());
    return out;
}

// The records and index groups of a KVX mesh, the same way.
std::string RecordOf(const OKVX& m, size_t v) {
    const Layout& layout = *LayoutOf(m.version);
    return std::string(static_cast<const char*>(VertexArrayOf(m, layout)) + v * layout.recordSize,
                       layout.recordSize);
}

std::vector<std::string> RecordsOf(const OKVX& m) {
    std::vector<std::string> out;
    for (size_t v = 0; v < m.vertexCount; ++v)
        out.push_back(RecordOf(m, v));
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> GroupsOf(const OKVX& m) {
    std::vector<std::string> out;
    const Layout& layout = *LayoutOf(m.version);
    for (size_t g = 0; layout.primitive != Primitive::points && g < m.faceCount; ++g) {
        const uint16_t* c = &m.faces[g * layout.indexValuesPerGroup];
        out.push_back(layout.primitive == Primitive::lines
                          ? RecordOf(m, c[0]) + ">" + RecordOf(m, c[1])
                          : Corners({RecordOf(m, c[0]), RecordOf(m, c[1]), RecordOf(m, c[2])}));
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The index block (or for a point set nothing) in order, 32 bits each.
std::vector<uint32_t> IndicesOf(const OKVX& m) {
    const Layout& layout = *LayoutOf(m.version);
    const size_t n = layout.primitive == Primitive::points
                         ? 0
                         : size_t{layout.indexValuesPerGroup} * m.faceCount;
    return std::vector<uint32_t>(m.faces, m.faces + n);
}

// True when the vertices are numbered in the order the indices first name
// them, those named by none last.
bool InFetchOrder(const std::vector<uint32_t>& indices) {
    uint32_t next = 0;
    for (uint32_t v : indices) {
        if (v > next) return false;
        if (v == next) ++next;
    }
    return true;
}

// A 16-entry FIFO vertex cache: vertices transformed per triangle.
double FifoAcmr(const std::vector<uint32_t>& triangles) {
    std::vector<uint32_t> fifo;
    size_t misses = 0;
    for (uint32_t v : triangles) {
        if (std::find(fifo.begin(), fifo.end(), v) != fifo.end()) continue;
        ++misses;
        fifo.push_back(v);
        if (fifo.size() > 16) fifo.erase(fifo.begin());
    }
    return double(misses) / double(triangles.size() / 3);
}

// The positions of the vertices on an open border: on an edge that one
// triangle alone has.
std::set<std::array<float, 3>> BorderPositions(const ImportedMesh& mesh) {
    std::map<std::pair<uint32_t, uint32_t>, int> edges;
    for (size_t t = 0; t < mesh.triangles.size(); t += 3) {
        for (size_t k = 0; k < 3; ++k) {
            uint32_t a = mesh.triangles[t + k], b = mesh.triangles[t + (k + 1) % 3];
            ++edges[{std::min(a, b), std::max(a, b)}];
        }
    }
    std::set<std::array<float, 3>> out;
    for (const auto& [edge, count] : edges) {
        if (count != 1) continue;
        for (uint32_t v : {edge.first, edge.second})
            out.insert(
                {mesh.positions[3 * v], mesh.positions[3 * v + 1], mesh.positions[3 * v + 2]});
    }
    return out;
}

std::set<std::array<float, 3>> PositionsOf(const ImportedMesh& mesh) {
    std::set<std::array<float, 3>> out;
    for (size_t v = 0; v < mesh.vertexCount(); ++v)
        out.insert({mesh.positions[3 * v], mesh.positions[3 * v + 1], mesh.positions[3 * v + 2]});
    return out;
}

bool NamesAVertexTwice(const std::vector<uint32_t>& t) {
    for (size_t k = 0; k < t.size(); k += 3)
        if (t[k] == t[k + 1] || t[k + 1] == t[k + 2] || t[k + 2] == t[k]) return true;
    return false;
}

// Triangles repeated, wound the other way, degenerate (each pair of
// corners the same, all three the same) and two vertices that no triangle
// names, after a grid.
ImportedMesh Awkward() {
    ImportedMesh mesh = Grid(6, 5, 7);
    mesh.triangles.insert(mesh.triangles.end(),
                          {0, 1, 6, 0, 1, 6, 6, 1, 0, 3, 3, 8, 9, 9, 9, 4, 10, 10, 12, 11, 12});
    mesh.positions.insert(mesh.positions.end(), {50.0f, 50.0f, 50.0f, 60.0f, 60.0f, 60.0f});
    mesh.colors.insert(mesh.colors.end(), {0x12345678u, 0x9ABCDEF0u});
    mesh.texCoords.insert(mesh.texCoords.end(), {0.5f, 0.25f, 0.75f, 1.0f});
    return mesh;
}

TEST(Optimize, AnImportedMeshStaysTheSameMeshInCacheAndFetchOrder) {
    for (ImportedMesh mesh : {Grid(30, 20, 3), Awkward(), Grid(12, 9, 5, true)}) {
        const auto triangles = TrianglesOf(mesh), vertices = VerticesOf(mesh);
        const double before = FifoAcmr(mesh.triangles);
        ASSERT_FALSE(OptimizeMesh(mesh));
        ASSERT_TRUE(IsConsistent(mesh));
        EXPECT_EQ(TrianglesOf(mesh), triangles);
        EXPECT_EQ(VerticesOf(mesh), vertices);
        EXPECT_TRUE(InFetchOrder(mesh.triangles));
        // A shuffled grid misses nearly every vertex; in cache order it
        // misses well under one per triangle.
        EXPECT_LT(FifoAcmr(mesh.triangles), 0.8);
        EXPECT_GT(before, 1.5);
    }
}

TEST(Optimize, TheFiguresAreThoseOfASixteenEntryFifo) {
    ImportedMesh mesh = Grid(20, 20, 11);
    MeshFigures figures;
    ASSERT_TRUE(FiguresOf(mesh, 28, figures));
    EXPECT_EQ(figures.triangles, mesh.triangleCount());
    EXPECT_EQ(figures.vertices, mesh.vertexCount());
    EXPECT_FLOAT_EQ(figures.acmr, float(FifoAcmr(mesh.triangles)));
    EXPECT_FLOAT_EQ(figures.atvr,
                    figures.acmr * float(mesh.triangleCount()) / float(mesh.vertexCount()));
    EXPECT_GE(figures.overdraw, 1.0f);
    EXPECT_GE(figures.overfetch, 1.0f);
    ASSERT_FALSE(OptimizeMesh(mesh));
    MeshFigures after;
    ASSERT_TRUE(FiguresOf(mesh, 28, after));
    EXPECT_FLOAT_EQ(after.acmr, float(FifoAcmr(mesh.triangles)));
    EXPECT_LT(after.acmr, figures.acmr);
    // In fetch order every record is fetched about once.
    EXPECT_LT(after.overfetch, 1.1f);
}

TEST(Optimize, EveryKvxVersionKeepsItsRecordsAndGroups) {
    const ImportedMesh mesh = Awkward();
    for (int32_t version : {1, 2, 3, 4, -1, -2}) {
        SCOPED_TRACE(version);
        OKVX m{};
        MeshGuard guard{m};
        ASSERT_FALSE(ToKvx(mesh, version, "awkward", m));
        const auto records = RecordsOf(m), groups = GroupsOf(m);
        const uint32_t faceCount = m.faceCount;
        std::vector<uint32_t> before = IndicesOf(m);
        ASSERT_FALSE(OptimizeKvx(m));
        EXPECT_EQ(m.version, version);
        EXPECT_EQ(m.vertexCount, mesh.vertexCount());
        EXPECT_EQ(m.faceCount, faceCount);
        EXPECT_STREQ(m.name, version == 4 ? "awkward" : "");
        EXPECT_EQ(RecordsOf(m), records);
        EXPECT_EQ(GroupsOf(m), groups);
        if (version != -1) {
            EXPECT_TRUE(InFetchOrder(IndicesOf(m)));
            EXPECT_FALSE(InFetchOrder(before));
        }
        if (version > 0) {
            EXPECT_LT(FifoAcmr(IndicesOf(m)), FifoAcmr(before));
        }
    }
}

TEST(Optimize, APointSetGetsASpatialOrder) {
    // The grid's vertices, shuffled: in spatial order, neighbours in the
    // list are mostly neighbours in space.
    ImportedMesh grid = Grid(16, 16, 0);
    ImportedMesh points;
    std::vector<size_t> order(grid.vertexCount());
    std::iota(order.begin(), order.end(), size_t{0});
    std::shuffle(order.begin(), order.end(), std::mt19937(5));
    for (size_t v : order)
        points.positions.insert(points.positions.end(), &grid.positions[3 * v],
                                &grid.positions[3 * v] + 3);
    auto steps = [](const ImportedMesh& m) {
        double sum = 0;
        for (size_t v = 1; v < m.vertexCount(); ++v)
            sum += std::hypot(m.positions[3 * v] - m.positions[3 * v - 3],
                              m.positions[3 * v + 1] - m.positions[3 * v - 2]);
        return sum / double(m.vertexCount() - 1);
    };
    const auto vertices = VerticesOf(points);
    const double before = steps(points);
    ASSERT_FALSE(OptimizeMesh(points));
    EXPECT_EQ(VerticesOf(points), vertices);
    EXPECT_LT(steps(points), 2.0);
    EXPECT_GT(before, 4.0);
}

TEST(Optimize, BadKvxMeshesAreRefusedAndLeftAsTheyWere) {
    OKVX m{};
    MeshGuard guard{m};
    ASSERT_FALSE(ToKvx(Grid(3, 3, 0), 3, "", m));
    m.faces[4] = 9;
    const auto records = RecordsOf(m);
    Failure f = OptimizeKvx(m);
    EXPECT_EQ(f.kind, FailureKind::bad_input);
    EXPECT_EQ(f.message, "face 1 names vertex 9 of 9");
    EXPECT_EQ(SimplifyKvx(m, {}).message, "face 1 names vertex 9 of 9");
    EXPECT_EQ(CheckKvx(m).message, "face 1 names vertex 9 of 9");
    EXPECT_EQ(RecordsOf(m), records);
    EXPECT_EQ(m.faces[4], 9);
    m.faces[4] = 8;  // the last vertex: fine
    EXPECT_FALSE(CheckKvx(m));

    OKVX wire{};
    MeshGuard wireGuard{wire};
    ASSERT_FALSE(ToKvx(Grid(3, 3, 0), -2, "", wire));
    wire.faces[3] = 9;
    EXPECT_EQ(OptimizeKvx(wire).message, "edge 1 names vertex 9 of 9");
    wire.faces[3] = 1;
    EXPECT_EQ(SimplifyKvx(wire, {}).message, "no triangles to simplify");

    OKVX readOnly{};
    readOnly.version = -3;
    EXPECT_EQ(OptimizeKvx(readOnly).message, "version -3 is read only");
    ImportedMesh points;
    points.positions = {0, 0, 0};
    EXPECT_EQ(SimplifyMesh(points, {}).message, "no triangles to simplify");
}

TEST(Simplify, ReachesTheTargetKeepsTheBorderAndNamesNoVertexTwice) {
    for (double ratio : {0.5, 0.25, 0.1}) {
        SCOPED_TRACE(ratio);
        ImportedMesh mesh = Grid(40, 30, 9);
        const auto border = BorderPositions(mesh);
        const size_t before = mesh.triangleCount();
        SimplifyOptions options;
        options.ratio = ratio;
        options.error = 0.05f;
        SimplifyOutcome outcome;
        ASSERT_FALSE(SimplifyMesh(mesh, options, &outcome));
        ASSERT_TRUE(IsConsistent(mesh));
        EXPECT_EQ(outcome.targetTriangles, size_t(std::llround(ratio * double(before))));
        EXPECT_EQ(outcome.triangles, mesh.triangleCount());
        EXPECT_EQ(outcome.vertices, mesh.vertexCount());
        EXPECT_LE(mesh.triangleCount(), outcome.targetTriangles);
        EXPECT_GE(double(mesh.triangleCount()), 0.9 * ratio * double(before));
        EXPECT_FALSE(NamesAVertexTwice(mesh.triangles));
        EXPECT_LE(outcome.error, options.error);
        EXPECT_GT(outcome.error, 0.0f);
        // Every border vertex stays where it was.
        const auto positions = PositionsOf(mesh);
        for (const auto& p : border)
            EXPECT_TRUE(positions.count(p)) << p[0] << " " << p[1];
        // Every vertex left is used, in its old relative order: the colours
        // (rising with the vertex number) still rise.
        std::vector<bool> used(mesh.vertexCount());
        for (uint32_t v : mesh.triangles)
            used[v] = true;
        EXPECT_EQ(std::count(used.begin(), used.end(), false), 0);
        EXPECT_TRUE(std::is_sorted(mesh.colors.begin(), mesh.colors.end()));
    }
}

TEST(Simplify, TheErrorBoundAndTheSloppyPass) {
    // No error allowed on a curved surface: nothing goes but what is flat.
    ImportedMesh torus = Grid(24, 16, 0, true);
    SimplifyOptions options;
    options.ratio = 0.1;
    options.error = 0.0f;
    SimplifyOutcome outcome;
    ASSERT_FALSE(SimplifyMesh(torus, options, &outcome));
    EXPECT_EQ(torus.triangleCount(), 2u * 24 * 16);
    EXPECT_FALSE(outcome.sloppy);
    // An open grid aimed at one triangle: its locked border stops the
    // careful pass far above; the sloppy one, where allowed, goes lower.
    size_t careful = 0;
    for (bool sloppy : {false, true}) {
        ImportedMesh mesh = Grid(20, 20, 4);
        options = {};
        options.ratio = 0.001;
        options.error = 1.0f;
        options.sloppy = sloppy;
        ASSERT_FALSE(SimplifyMesh(mesh, options, &outcome));
        EXPECT_EQ(outcome.targetTriangles, 1u);
        EXPECT_EQ(outcome.sloppy, sloppy);
        EXPECT_FALSE(NamesAVertexTwice(mesh.triangles));
        if (!sloppy) careful = mesh.triangleCount();
        if (!sloppy) {
            EXPECT_GT(careful, 40u);
        }
        if (sloppy) {
            EXPECT_LT(mesh.triangleCount(), careful / 2);
        }
    }
}

TEST(Simplify, KvxMeshesGetTheirNormalsAgainAndKeepTheirRecords) {
    for (int32_t version : {1, 3, 4}) {
        SCOPED_TRACE(version);
        OKVX m{};
        MeshGuard guard{m};
        ASSERT_FALSE(ToKvx(Grid(20, 20, 2), version, "g", m));
        const auto records = RecordsOf(m);
        SimplifyOptions options;
        options.ratio = 0.5;
        SimplifyOutcome outcome;
        ASSERT_FALSE(SimplifyKvx(m, options, &outcome));
        EXPECT_STREQ(m.name, version == 4 ? "g" : "");
        EXPECT_EQ(m.faceCount, outcome.triangles);
        EXPECT_EQ(m.vertexCount, outcome.vertices);
        EXPECT_LT(m.vertexCount, 400u);
        std::vector<uint32_t> indices = IndicesOf(m);
        EXPECT_FALSE(NamesAVertexTwice(indices));
        EXPECT_TRUE(std::all_of(indices.begin(), indices.end(),
                                [&](uint32_t v) { return v < m.vertexCount; }));
        const Layout& layout = *LayoutOf(version);
        // The normals are those the converters compute for what is left;
        // everything else of a record is one of the old records'.
        OKVX fresh{};
        MeshGuard freshGuard{fresh};
        fresh.version = version;
        fresh.vertexCount = m.vertexCount;
        fresh.faceCount = m.faceCount;
        auto* copy = static_cast<char*>(KvxAllocate(m.vertexCount, layout.recordSize));
        std::memcpy(copy, VertexArrayOf(m, layout), size_t{m.vertexCount} * layout.recordSize);
        SetVertexArray(fresh, layout, copy);
        fresh.faces = KvxAllocateArray<uint16_t>(3 * size_t{m.faceCount});
        std::memcpy(fresh.faces, m.faces, 6 * size_t{m.faceCount});
        std::set<std::string> old(records.begin(), records.end());
        for (size_t v = 0; layout.normalOffset != kAbsent && v < m.vertexCount; ++v)
            std::memset(copy + v * layout.recordSize + layout.normalOffset, 0, 12);
        if (layout.normalOffset != kAbsent) {
            ASSERT_TRUE(ComputeSmoothNormals(fresh));
        }
        size_t unit = 0;
        for (size_t v = 0; v < m.vertexCount; ++v) {
            EXPECT_EQ(RecordOf(m, v), RecordOf(fresh, v)) << v;
            if (layout.normalOffset != kAbsent) {
                float n[3];
                std::memcpy(n, copy + v * layout.recordSize + layout.normalOffset, 12);
                const double length = std::hypot(n[0], n[1], n[2]);
                EXPECT_TRUE(std::abs(length - 1.0) < 1e-5 || length == 0.0) << length;
                unit += length != 0.0;
            }
        }
        if (layout.normalOffset != kAbsent) {
            EXPECT_GE(unit, m.vertexCount - 2);
        }
        if (layout.normalOffset == kAbsent) {
            for (size_t v = 0; v < m.vertexCount; ++v)
                EXPECT_TRUE(old.count(RecordOf(m, v)));
        }
    }
}

TEST(Simplify, AFitKeepsAtMostTheLimitAndNotMuchLess) {
    // 300 x 300 vertices; the limit, and a limit one vertex below what is
    // used (unused vertices do not count).
    ImportedMesh mesh = Grid(300, 300, 0);
    SimplifyOptions options;
    options.error = 1.0f;
    options.maxVertices = kKvxMostVertices;
    SimplifyOutcome outcome;
    ASSERT_FALSE(SimplifyMesh(mesh, options, &outcome));
    EXPECT_TRUE(outcome.fits);
    EXPECT_LE(mesh.vertexCount(), kKvxMostVertices);
    EXPECT_GE(mesh.vertexCount(), kKvxMostVertices * 9 / 10);
    EXPECT_FALSE(NamesAVertexTwice(mesh.triangles));

    // Exactly the limit of vertices in use: nothing goes but the unused.
    ImportedMesh exact = Grid(256, 256, 0);
    exact.positions.insert(exact.positions.end(), {9, 9, 9});
    exact.colors.push_back(1);
    exact.texCoords.insert(exact.texCoords.end(), {0, 0});
    const size_t triangles = exact.triangleCount();
    ASSERT_FALSE(SimplifyMesh(exact, options, &outcome));
    EXPECT_EQ(exact.triangleCount(), triangles);
    EXPECT_EQ(exact.vertexCount(), kKvxMostVertices);
    options.maxVertices = kKvxMostVertices - 1;
    ASSERT_FALSE(SimplifyMesh(exact, options, &outcome));
    EXPECT_LT(exact.triangleCount(), triangles);
    EXPECT_LE(exact.vertexCount(), kKvxMostVertices - 1);

    // A bound the simplifier cannot meet leaves the mesh as it was: a torus
    // with a rough surface, where every collapse moves it.
    ImportedMesh torus = Grid(300, 240, 0, true);
    std::mt19937 rough(1);
    for (float& x : torus.positions)
        x *= 1.0f + float(rough() % 1000) * 1e-5f;
    const auto before = TrianglesOf(torus);
    options.error = 0.0f;
    options.maxVertices = kKvxMostVertices;
    Failure f = SimplifyMesh(torus, options, &outcome);
    EXPECT_EQ(f.kind, FailureKind::bad_input);
    EXPECT_FALSE(outcome.fits);
    EXPECT_EQ(f.message, "kept " + std::to_string(outcome.vertices) +
                             " vertices; at most 65536 fit (the simplifier stopped at " +
                             std::to_string(outcome.triangles) +
                             " triangles; a larger --error or --sloppy lets it go further)");
    EXPECT_TRUE(TrianglesOf(torus) == before);
}

TEST(Simplify, TrianglesThatNameAVertexTwiceGoEvenWhereNothingElseDoes) {
    ImportedMesh mesh = Awkward();
    const size_t triangles = mesh.triangleCount();
    SimplifyOutcome outcome;
    ASSERT_FALSE(SimplifyMesh(mesh, {}, &outcome));
    EXPECT_EQ(mesh.triangleCount(), triangles - 4);
    EXPECT_FALSE(NamesAVertexTwice(mesh.triangles));
    // The two vertices no triangle names go; the others stay.
    EXPECT_EQ(mesh.vertexCount(), 30u);
}

TEST(Simplify, TheSameMeshGivesTheSameResultEveryTime) {
    SimplifyOptions options;
    options.ratio = 0.3;
    ImportedMesh first = Grid(30, 30, 8);
    ASSERT_FALSE(SimplifyMesh(first, options));
    ASSERT_FALSE(OptimizeMesh(first));
    for (int k = 0; k < 3; ++k) {
        ImportedMesh again = Grid(30, 30, 8);
        ASSERT_FALSE(SimplifyMesh(again, options));
        ASSERT_FALSE(OptimizeMesh(again));
        EXPECT_EQ(again.triangles, first.triangles);
        EXPECT_EQ(again.positions, first.positions);
    }
}

}  // namespace
}  // namespace kvx
