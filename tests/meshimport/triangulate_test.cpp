// Polygon splitting: convex polygons give exactly the fan; concave ones,
// turned into 3D and bent slightly off their plane, give triangles that
// cover the polygon (areas on its plane sum to its shoelace area) and lie in
// it (every centroid inside, by an independent crossing test); what cannot
// be clipped falls back to the fan. Also assimp's concave test model read
// through the OBJ reader.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "import_test_support.h"
#include "meshimport/triangulate.h"

namespace kvx::test {
namespace {

struct P2 {
    double x, y;
};

double Shoelace(const std::vector<P2>& p) {
    double sum = 0;
    for (size_t i = 0; i < p.size(); ++i) {
        const P2 &a = p[i], &b = p[(i + 1) % p.size()];
        sum += a.x * b.y - b.x * a.y;
    }
    return sum / 2;
}

double TriangleArea(const P2& a, const P2& b, const P2& c) {
    return ((b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x)) / 2;
}

// Even-odd crossing test, strict enough for centroids.
bool Inside(const std::vector<P2>& p, P2 q) {
    bool in = false;
    for (size_t i = 0, j = p.size() - 1; i < p.size(); j = i++) {
        if ((p[i].y > q.y) != (p[j].y > q.y) &&
            q.x < (p[j].x - p[i].x) * (q.y - p[i].y) / (p[j].y - p[i].y) + p[i].x)
            in = !in;
    }
    return in;
}

// The polygon on a tilted plane through (5, -3, 2), each corner lifted off
// it by `bend` times a small deterministic amount; with `tilt` false on the
// plane z = 2, exactly.
std::vector<float> In3d(const std::vector<P2>& p, double bend, bool tilt = true) {
    const double ax = tilt ? 0.6 : 0.0, ay = tilt ? 0.3 : 0.0;  // rotations about x and y
    std::vector<float> out;
    for (size_t i = 0; i < p.size(); ++i) {
        const double z = bend * (static_cast<double>((i * 7) % 5) - 2.0) * 1e-3;
        const double y1 = p[i].y * std::cos(ax) - z * std::sin(ax);
        const double z1 = p[i].y * std::sin(ax) + z * std::cos(ax);
        const double x2 = p[i].x * std::cos(ay) + z1 * std::sin(ay);
        const double z2 = -p[i].x * std::sin(ay) + z1 * std::cos(ay);
        out.insert(out.end(), {static_cast<float>(x2 + 5), static_cast<float>(y1 - 3),
                               static_cast<float>(z2 + 2)});
    }
    return out;
}

std::vector<uint32_t> Iota(size_t n, uint32_t from = 0) {
    std::vector<uint32_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = from + static_cast<uint32_t>(i);
    return v;
}

std::vector<uint32_t> FanOf(const std::vector<uint32_t>& c) {
    std::vector<uint32_t> t;
    for (size_t k = 1; k + 1 < c.size(); ++k)
        t.insert(t.end(), {c[0], c[k], c[k + 1]});
    return t;
}

// Checks that `triangles` (indices into p) split p exactly and inside it,
// wound as p is.
void ExpectSplitInside(const std::vector<P2>& p, const std::vector<uint32_t>& triangles) {
    ASSERT_EQ(triangles.size(), 3 * (p.size() - 2));
    const double area = Shoelace(p);
    double sum = 0;
    for (size_t t = 0; t < triangles.size(); t += 3) {
        const P2 &a = p[triangles[t]], &b = p[triangles[t + 1]], &c = p[triangles[t + 2]];
        const double piece = TriangleArea(a, b, c);
        EXPECT_GT(piece * area, 0) << "triangle " << t / 3 << " is flat or wound the other way";
        sum += piece;
        EXPECT_TRUE(Inside(p, {(a.x + b.x + c.x) / 3, (a.y + b.y + c.y) / 3}))
            << "triangle " << t / 3 << " lies outside";
    }
    EXPECT_NEAR(sum, area, 1e-9 * std::fabs(area));
}

std::vector<P2> Reversed(std::vector<P2> p) {
    return {p.rbegin(), p.rend()};
}

std::vector<P2> Star(int points) {
    std::vector<P2> p;
    for (int k = 0; k < 2 * points; ++k) {
        const double r = k % 2 ? 1.0 : 3.0, a = M_PI * k / points;
        p.push_back({r * std::cos(a), r * std::sin(a)});
    }
    return p;
}

// Teeth of unequal lengths, so that no three corners but neighbours lie on
// one line (a bent copy's shadow would tilt such a line either way).
std::vector<P2> Comb(int teeth) {
    std::vector<P2> p = {{0, 0}, {2.0 * teeth - 1, 0}};
    for (int k = teeth - 1; k >= 0; --k) {
        const double top = 3 + 0.1 * k * k, gap = 1 + 0.07 * k;
        p.push_back({2.0 * k + 1, top});
        p.push_back({2.0 * k, top});
        if (k > 0) p.insert(p.end(), {{2.0 * k, gap}, {2.0 * k - 1, gap + 0.01 * k}});
    }
    return p;
}

TEST(Triangulate, ConcavePolygonsAreSplitInsideThemselves) {
    const std::vector<P2> l = {{0, 0}, {3, 0}, {3, 1}, {1, 1}, {1, 3}, {0, 3}};
    const std::vector<P2> u = {{0, 0}, {3, 0}, {3, 3}, {2, 3}, {2, 1}, {1, 1}, {1, 3}, {0, 3}};
    // A run of corners on one line, on the side the notch faces.
    const std::vector<P2> run = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0},
                                 {4, 2}, {3, 2}, {2, 1}, {1, 2}, {0, 2}};
    const std::vector<std::vector<P2>> shapes = {l,       u,       run,         Comb(5),
                                                 Star(5), Star(9), Reversed(l), Reversed(Comb(3))};
    for (size_t s = 0; s < shapes.size(); ++s) {
        for (double bend : {0.0, 1.0}) {
            SCOPED_TRACE("shape " + std::to_string(s) + ", bend " + std::to_string(bend));
            const std::vector<P2>& p = shapes[s];
            const std::vector<float> positions = In3d(p, bend);
            // Corners named from the middle of the vertex array onward.
            std::vector<float> shifted(9, 0.0f);
            shifted.insert(shifted.end(), positions.begin(), positions.end());
            std::vector<uint32_t> triangles = {7, 7, 7};
            const auto corners = Iota(p.size(), 3);
            EXPECT_EQ(TriangulatePolygon(shifted.data(), corners.data(),
                                         static_cast<uint32_t>(p.size()), triangles),
                      PolygonSplit::clipped);
            ASSERT_EQ(triangles[0], 7u);  // appended
            std::vector<uint32_t> local;
            for (size_t k = 3; k < triangles.size(); ++k)
                local.push_back(triangles[k] - 3);
            ExpectSplitInside(p, local);
            // The same corners, the same triangles.
            std::vector<uint32_t> again = {7, 7, 7};
            TriangulatePolygon(shifted.data(), corners.data(), static_cast<uint32_t>(p.size()),
                               again);
            EXPECT_EQ(again, triangles);
        }
    }
}

TEST(Triangulate, ConvexPolygonsAndTrianglesGiveExactlyTheFan) {
    std::vector<P2> hexagon;
    for (int k = 0; k < 6; ++k)
        hexagon.push_back({std::cos(k * M_PI / 3), std::sin(k * M_PI / 3)});
    const std::vector<std::vector<P2>> shapes = {
        {{0, 0}, {1, 0}, {0, 1}},
        {{0, 0}, {1, 0}, {1, 1}, {0, 1}},
        {{0, 0}, {0, 1}, {1, 1}, {1, 0}},  // clockwise
        {{0, 0}, {1e6, 0}, {1e6, 1e-3}, {0, 2e-3}},
        hexagon,
        {{0, 0}, {1, 0}, {1, 0}, {1, 1}, {0, 1}},  // a corner repeated
    };
    for (size_t s = 0; s < shapes.size(); ++s) {
        SCOPED_TRACE("shape " + std::to_string(s));
        // The repeated corner stays one point only on the plane.
        const std::vector<float> positions = In3d(shapes[s], s == 5 ? 0.0 : 1.0);
        const auto corners = Iota(shapes[s].size());
        std::vector<uint32_t> triangles;
        EXPECT_EQ(TriangulatePolygon(positions.data(), corners.data(),
                                     static_cast<uint32_t>(corners.size()), triangles),
                  PolygonSplit::fan);
        EXPECT_EQ(triangles, FanOf(corners));
    }
}

TEST(Triangulate, WhatCannotBeClippedFallsBackToTheFan) {
    std::vector<P2> pentagram;
    for (int k = 0; k < 5; ++k)
        pentagram.push_back({std::cos(k * 4 * M_PI / 5), std::sin(k * 4 * M_PI / 5)});
    const std::vector<std::vector<P2>> shapes = {
        {{0, 0}, {1, 1}, {1, 0}, {0, 1}},                  // a bow-tie: no area
        {{0, 0}, {2, 2}, {2, 0}, {0, 1}},                  // a bow-tie with area
        {{0, 0}, {1, 0}, {2, 0}, {3, 0}},                  // on one line
        {{0, 0}, {0, 0}, {0, 0}, {0, 0}},                  // one point
        {{0, 0}, {2, 0}, {2, 2}, {1, 2}, {1, 3}, {1, 2}},  // a spike
        pentagram,
    };
    for (size_t s = 0; s < shapes.size(); ++s) {
        SCOPED_TRACE("shape " + std::to_string(s));
        const std::vector<float> positions = In3d(shapes[s], 0.0, false);
        const auto corners = Iota(shapes[s].size());
        std::vector<uint32_t> triangles;
        EXPECT_EQ(TriangulatePolygon(positions.data(), corners.data(),
                                     static_cast<uint32_t>(corners.size()), triangles),
                  PolygonSplit::fallback);
        EXPECT_EQ(triangles, FanOf(corners));
    }
}

TEST(Triangulate, ReadersSplitConcaveFacesAndWarnOnceForFallbacks) {
    // An L and two bow-ties, as OBJ, OFF and PLY.
    const std::string v = "0 0 0\n3 0 0\n3 1 0\n1 1 0\n1 3 0\n0 3 0\n";
    const std::string obj =
        "v 0 0 0\nv 3 0 0\nv 3 1 0\nv 1 1 0\nv 1 3 0\nv 0 3 0\n"
        "f 1 2 3 4 5 6\nf 1 3 2 4\nf 1 3 2 4\n";
    const std::string off = "OFF\n6 3 0\n" + v + "6 0 1 2 3 4 5\n4 0 2 1 3\n4 0 2 1 3\n";
    const std::string ply =
        "ply\nformat ascii 1.0\nelement face 3\nproperty list uchar int vertex_indices\n"
        "element vertex 6\nproperty float x\nproperty float y\nproperty float z\nend_header\n"
        "6 0 1 2 3 4 5\n4 0 2 1 3\n4 0 2 1 3\n" +
        v;
    const std::vector<P2> l = {{0, 0}, {3, 0}, {3, 1}, {1, 1}, {1, 3}, {0, 3}};
    for (auto [format, text] : {std::pair{"obj", obj}, {"off", off}, {"ply", ply}}) {
        SCOPED_TRACE(format);
        ImportResult r = Read(format, text);
        ASSERT_TRUE(r.ok()) << r.error.message;
        ASSERT_EQ(r.mesh.triangles.size(), 3u * (4 + 2 + 2));
        ExpectSplitInside(l, {r.mesh.triangles.begin(), r.mesh.triangles.begin() + 12});
        EXPECT_EQ(std::vector<uint32_t>(r.mesh.triangles.begin() + 12, r.mesh.triangles.end()),
                  (std::vector<uint32_t>{0, 2, 1, 0, 1, 3, 0, 2, 1, 0, 1, 3}));
        ASSERT_EQ(r.mesh.warnings.size(), 1u);
        EXPECT_EQ(r.mesh.warnings[0], "m." + std::string(format) +
                                          ": 2 polygons could not be split into triangles inside "
                                          "them; they were fanned from their first corner");
    }
    ImportResult one = Read("obj", "v 0 0 0\nv 1 1 0\nv 1 0 0\nv 0 1 0\nf 1 2 3 4\n");
    ASSERT_TRUE(one.ok());
    EXPECT_EQ(one.mesh.warnings,
              (std::vector<std::string>{"m.obj: 1 polygon could not be split into triangles inside "
                                        "it; it was fanned from its first corner"}));
}

// assimp's test model (tests/data/README): one face of 66 corners.
TEST(Triangulate, AssimpsConcaveModelIsSplitInsideItsPolygon) {
    std::ifstream in(KVX_SOURCE_DIR "/tests/data/concave_polygon.obj", std::ios::binary);
    ASSERT_TRUE(in);
    std::stringstream text;
    text << in.rdbuf();
    ImportResult r = Read("obj", text.str());
    ASSERT_TRUE(r.ok()) << r.error.message;
    EXPECT_TRUE(r.mesh.warnings.empty());
    // The face lies in the plane x = -1.146: (y, z) are its coordinates.
    // Vertices are numbered by first use; the face's corners are read back
    // from the file.
    std::vector<P2> all;
    std::vector<uint32_t> face;
    std::string line;
    std::istringstream lines(text.str());
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "v") {
            double x, y, z;
            words >> x >> y >> z;
            all.push_back({y, z});
        } else if (key == "f") {
            for (std::string c; words >> c;)
                face.push_back(static_cast<uint32_t>(std::stoul(c) - 1));
        }
    }
    ASSERT_EQ(face.size(), 66u);
    std::vector<P2> polygon;
    for (uint32_t c : face)
        polygon.push_back(all[c]);
    // Map the mesh's vertices back to the corners through their positions.
    std::vector<uint32_t> local;
    for (uint32_t t : r.mesh.triangles) {
        const P2 q = {r.mesh.positions[3 * t + 1], r.mesh.positions[3 * t + 2]};
        uint32_t slot = 0;
        while (slot < polygon.size() && !(static_cast<float>(polygon[slot].x) == q.x &&
                                          static_cast<float>(polygon[slot].y) == q.y))
            ++slot;
        ASSERT_LT(slot, polygon.size());
        local.push_back(slot);
    }
    ExpectSplitInside(polygon, local);
}

}  // namespace
}  // namespace kvx::test
