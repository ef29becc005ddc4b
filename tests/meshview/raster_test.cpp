// The preview rasteriser: coverage, background, colours, views, depth,
// shading by face and vertex normals, lines, points and degenerate meshes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "meshview/mesh_view.h"
#include "meshview/raster.h"
#include "test_support.h"

namespace {

constexpr uint32_t kWhite = 0xFFFFFFFFu;  // argb: opaque white

struct Vertex {
    float x, y, z;
    uint32_t color = kWhite;
    float nx = 0.0f, ny = 0.0f, nz = 0.0f;
};

// A file of version 1, 2, 3, -1 or -2.
std::string File(int32_t version, const std::vector<Vertex>& vertices,
                 const std::vector<uint16_t>& indices) {
    uint32_t group = version == -2 ? 2 : version == -1 ? 1 : 3;
    uint32_t groups = version == -1 ? static_cast<uint32_t>(vertices.size())
                                    : static_cast<uint32_t>(indices.size()) / group;
    std::string f = KvxHeader(static_cast<uint32_t>(vertices.size()), groups, version);
    for (const Vertex& v : vertices) {
        AppendU32(f, v.color);
        if (version == 3) {
            AppendF32(f, v.nx);
            AppendF32(f, v.ny);
            AppendF32(f, v.nz);
        }
        AppendF32(f, v.x);
        AppendF32(f, v.y);
        AppendF32(f, v.z);
    }
    for (uint16_t i : indices)
        AppendU16(f, i);
    return f;
}

struct Pixel {
    int r, g, b;
    bool operator==(const Pixel&) const = default;
};

struct Picture {
    Image image;
    Pixel at(uint32_t x, uint32_t y) const {
        const unsigned char* p = image.pixels.get() + (size_t{y} * image.width + x) * 3;
        return {p[0], p[1], p[2]};
    }
    std::string bytes() const {
        return std::string(reinterpret_cast<const char*>(image.pixels.get()),
                           size_t{image.width} * image.height * 3);
    }
    // Pixels that are not the background.
    int covered() const {
        int n = 0;
        for (uint32_t y = 0; y < image.height; ++y)
            for (uint32_t x = 0; x < image.width; ++x)
                n += at(x, y) == kPlain ? 0 : 1;
        return n;
    }
    // Centre of the pixels of one colour; (-1, -1) when there are none.
    std::pair<double, double> find(const Pixel& color) const {
        double sx = 0, sy = 0;
        int n = 0;
        for (uint32_t y = 0; y < image.height; ++y)
            for (uint32_t x = 0; x < image.width; ++x)
                if (at(x, y) == color) sx += x, sy += y, ++n;
        if (n == 0) return {-1.0, -1.0};
        return {sx / n, sy / n};
    }
    static constexpr Pixel kPlain{kBackground.r, kBackground.g, kBackground.b};
};

Picture Draw(const std::string& file, ViewDirection view = ViewDirection::front,
             uint32_t width = 64, uint32_t height = 64, ColorOrder order = ColorOrder::argb) {
    OKVX m{};
    MeshGuard guard{m};
    EXPECT_EQ(KvxLoadMemory(m, file.data(), file.size()), 1);
    MeshView mv;
    std::string error;
    EXPECT_TRUE(MakeMeshView(m, &mv, &error)) << error;
    Picture p;
    EXPECT_TRUE(RenderMesh(mv, RenderOptions{width, height, view, order}, &p.image));
    EXPECT_EQ(p.image.width, width);
    EXPECT_EQ(p.image.height, height);
    return p;
}

const std::vector<Vertex> kTriangle = {{-1, -1, 0}, {1, -1, 0}, {0, 1, 0}};

TEST(Raster, ATriangleFacingTheCameraShowsInEitherWinding) {
    Picture ccw = Draw(File(2, kTriangle, {0, 1, 2}));
    Pixel centre = ccw.at(32, 32);
    EXPECT_NE(centre, Picture::kPlain);
    EXPECT_TRUE(centre.r == centre.g && centre.g == centre.b) << "white lit white";
    EXPECT_GT(centre.r, 128);
    // The corners of the picture stay background; the triangle fills half
    // of the framed square.
    EXPECT_EQ(ccw.at(0, 0), Picture::kPlain);
    EXPECT_EQ(ccw.at(63, 63), Picture::kPlain);
    EXPECT_EQ(ccw.at(2, 32), Picture::kPlain);  // outside the left slope
    EXPECT_NE(ccw.at(6, 58), Picture::kPlain);  // inside the bottom left corner

    Picture cw = Draw(File(2, kTriangle, {0, 2, 1}));
    EXPECT_EQ(cw.bytes(), ccw.bytes());
    // Seen from behind it shows too, mirrored.
    Picture back = Draw(File(2, kTriangle, {0, 1, 2}), ViewDirection::back);
    EXPECT_EQ(back.at(32, 32), centre);
    EXPECT_EQ(back.covered(), ccw.covered());
}

TEST(Raster, ColoursFollowTheChosenReading) {
    std::vector<Vertex> blue = kTriangle;
    for (Vertex& v : blue)
        v.color = 0xFF0000FFu;  // argb: opaque blue; rgba: red
    Pixel argb = Draw(File(1, blue, {0, 1, 2})).at(32, 32);
    EXPECT_EQ(argb.r, 0);
    EXPECT_EQ(argb.g, 0);
    EXPECT_GT(argb.b, 128);
    Pixel rgba =
        Draw(File(1, blue, {0, 1, 2}), ViewDirection::front, 64, 64, ColorOrder::rgba).at(32, 32);
    EXPECT_EQ(rgba, (Pixel{argb.b, 0, 0}));
}

TEST(Raster, ShadesByStoredNormalsOrByTheFace) {
    // A face normal of (0, 0, 1) and stored normals of (0, 0, 1) light alike.
    std::vector<Vertex> toward = kTriangle;
    for (Vertex& v : toward)
        v.nz = 1.0f;
    Picture flat = Draw(File(2, kTriangle, {0, 1, 2}));
    Picture smooth = Draw(File(3, toward, {0, 1, 2}));
    EXPECT_EQ(smooth.bytes(), flat.bytes());

    // Normals turned away get the ambient light alone, and unlike the face
    // normal they are not turned round: darker, but still covered.
    std::vector<Vertex> away = kTriangle;
    for (Vertex& v : away)
        v.nz = -1.0f;
    Pixel dark = Draw(File(3, away, {0, 1, 2})).at(32, 32);
    EXPECT_LT(dark.r, flat.at(32, 32).r);
    EXPECT_NE(dark, Picture::kPlain);

    // Differing normals shade across the triangle.
    std::vector<Vertex> mixed = toward;
    mixed[0] = {-1, -1, 0, kWhite, 0.0f, 0.0f, -1.0f};
    Picture graded = Draw(File(3, mixed, {0, 1, 2}));
    EXPECT_LT(graded.at(6, 58).r, graded.at(32, 20).r);
}

TEST(Raster, TheNearerSurfaceHidesTheFartherInAnyOrder) {
    // A large red triangle at z = 0 and a small green one in front of it.
    std::vector<Vertex> v = {{-1, -1, 0, 0xFFFF0000u},      {1, -1, 0, 0xFFFF0000u},
                             {0, 1, 0, 0xFFFF0000u},        {-0.5f, -0.5f, 1, 0xFF00FF00u},
                             {0.5f, -0.5f, 1, 0xFF00FF00u}, {0, 0.5f, 1, 0xFF00FF00u}};
    Picture redFirst = Draw(File(2, v, {0, 1, 2, 3, 4, 5}));
    Picture greenFirst = Draw(File(2, v, {3, 4, 5, 0, 1, 2}));
    EXPECT_EQ(redFirst.bytes(), greenFirst.bytes());
    Pixel front = redFirst.at(32, 32);
    EXPECT_TRUE(front.r == 0 && front.g > 0) << "green in front";
    Pixel back = Draw(File(2, v, {3, 4, 5, 0, 1, 2}), ViewDirection::back).at(32, 32);
    EXPECT_TRUE(back.r > 0 && back.g == 0) << "red in front, seen from behind";
}

TEST(Raster, EachViewLooksFromItsSide) {
    // Unlit dots: the origin, and one along each axis.
    const Pixel colors[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
    std::string file = File(
        -1,
        {{0, 0, 0, 0xFFFF0000u}, {1, 0, 0, 0xFF00FF00u}, {0, 1, 0, 0xFF0000FFu}, {0, 0, 1, kWhite}},
        {});
    // Where each dot (origin, x, y, z) shows from the origin's spot, as
    // (right, up) signs; of the two dots on that spot, the nearer hides the
    // farther.
    struct Expect {
        ViewDirection view;
        int onOrigin, hidden;
        int place[4][2];
    };
    enum { kO, kX, kY, kZ };
    for (const Expect& e : {
             Expect{ViewDirection::front, kZ, kO, {{0, 0}, {1, 0}, {0, 1}, {0, 0}}},
             Expect{ViewDirection::back, kO, kZ, {{0, 0}, {-1, 0}, {0, 1}, {0, 0}}},
             Expect{ViewDirection::left, kO, kX, {{0, 0}, {0, 0}, {0, 1}, {1, 0}}},
             Expect{ViewDirection::right, kX, kO, {{0, 0}, {0, 0}, {0, 1}, {-1, 0}}},
             Expect{ViewDirection::top, kY, kO, {{0, 0}, {1, 0}, {0, 0}, {0, -1}}},
             Expect{ViewDirection::bottom, kO, kY, {{0, 0}, {1, 0}, {0, 0}, {0, 1}}},
             Expect{ViewDirection::iso, kO, -1, {{0, 0}, {1, -1}, {0, 1}, {-1, -1}}},
         }) {
        SCOPED_TRACE(static_cast<int>(e.view));
        Picture p = Draw(file, e.view);
        auto sign = [](double d) { return std::fabs(d) < 1.0 ? 0 : d > 0 ? 1 : -1; };
        auto [ox, oy] = p.find(colors[e.onOrigin]);
        ASSERT_GE(ox, 0.0);
        for (int d = 0; d < 4; ++d) {
            auto [x, y] = p.find(colors[d]);
            if (d == e.hidden) {
                EXPECT_LT(x, 0.0) << "dot " << d << " is hidden";
                continue;
            }
            EXPECT_EQ(sign(x - ox), e.place[d][0]) << "dot " << d;
            EXPECT_EQ(sign(oy - y), e.place[d][1]) << "dot " << d;
        }
        // Each dot is 2 x 2 pixels.
        EXPECT_EQ(p.covered(), e.hidden < 0 ? 16 : 12);
    }
}

TEST(Raster, LinesJoinTheirEnds) {
    std::vector<Vertex> cross = {
        {-1, 0, 0, 0xFFFF0000u}, {1, 0, 0, 0xFF0000FFu}, {0, -1, 0}, {0, 1, 0}};
    Picture p = Draw(File(-2, cross, {0, 1, 2, 3}), ViewDirection::front, 65, 65);
    // Thin: about one pixel per step along each line, and nothing else.
    EXPECT_GE(p.covered(), 2 * 56);
    EXPECT_LE(p.covered(), 2 * 60);
    // The horizontal line blends from red to blue.
    int row = -1;
    for (uint32_t y = 0; y < 65 && row < 0; ++y)
        if (p.at(10, y) != Picture::kPlain) row = static_cast<int>(y);
    ASSERT_GE(row, 0);
    Pixel left = p.at(6, static_cast<uint32_t>(row)), right = p.at(58, static_cast<uint32_t>(row));
    EXPECT_TRUE(left.r > left.b && right.b > right.r);
    EXPECT_EQ(p.at(10, static_cast<uint32_t>(row) + 3), Picture::kPlain);
}

TEST(Raster, EmptyAndDegenerateMeshesGiveTheBackground) {
    EXPECT_EQ(Draw(File(1, {}, {})).covered(), 0);
    // Three vertices in one spot: the triangle has no area.
    EXPECT_EQ(Draw(File(2, {{1, 2, 3}, {1, 2, 3}, {1, 2, 3}}, {0, 1, 2})).covered(), 0);
    // A triangle seen edge-on.
    EXPECT_EQ(Draw(File(2, kTriangle, {0, 1, 2}), ViewDirection::left).covered(), 0);
    // One point: a 2 x 2 dot in the middle.
    Picture one = Draw(File(-1, {{5, 5, 5}}, {}));
    EXPECT_EQ(one.covered(), 4);
    EXPECT_NE(one.at(31, 31), Picture::kPlain);
    EXPECT_NE(one.at(32, 32), Picture::kPlain);
}

TEST(Raster, SkipsVerticesThatAreNotFinite) {
    float nan = std::numeric_limits<float>::quiet_NaN();
    float inf = std::numeric_limits<float>::infinity();
    std::vector<Vertex> v = kTriangle;
    v.push_back({nan, 0, 0});
    v.push_back({0, inf, 0});
    Picture p = Draw(File(2, v, {0, 1, 2, 0, 3, 1, 4, 2, 1}));
    EXPECT_EQ(p.bytes(), Draw(File(2, kTriangle, {0, 1, 2})).bytes());
}

TEST(Raster, FramesTheMeshInAnyShapeOfPicture) {
    // A cube of white faces: the three faces the iso view sees are lit
    // differently, the top most.
    std::vector<Vertex> cube;
    for (int i = 0; i < 8; ++i)
        cube.push_back({float(i & 1), float((i >> 1) & 1), float((i >> 2) & 1)});
    std::vector<uint16_t> faces = {0, 2, 1, 1, 2, 3, 4, 5, 6, 5, 7, 6, 0, 1, 4, 1, 5, 4,
                                   2, 6, 3, 3, 6, 7, 0, 4, 2, 2, 4, 6, 1, 3, 5, 3, 7, 5};
    Picture p = Draw(File(2, cube, faces), ViewDirection::iso, 100, 60);
    // Top (+y), left (+z) and right (+x) faces around the centre.
    Pixel top = p.at(50, 20), left = p.at(40, 35), right = p.at(60, 35);
    EXPECT_GT(top.r, left.r);
    EXPECT_GT(left.r, right.r);
    EXPECT_GT(right.r, Picture::kPlain.r);
    // The hexagon fits the 60-pixel height less the margins, centred.
    for (uint32_t y : {0u, 1u, 2u, 57u, 58u, 59u})
        for (uint32_t x = 0; x < 100; ++x)
            ASSERT_EQ(p.at(x, y), Picture::kPlain);
    EXPECT_EQ(p.at(20, 30), Picture::kPlain);
    EXPECT_EQ(p.at(80, 30), Picture::kPlain);
    EXPECT_NE(p.at(50, 5), Picture::kPlain);
    EXPECT_NE(p.at(50, 54), Picture::kPlain);
}

// ---- Exact pictures ----
//
// Below 16 pixels a side there is no margin, and a mesh whose vertices
// span [0, W] x [0, H] in the front view lands on the picture one unit a
// pixel: mesh (x, y) is picture (x, H - y). Pixels are drawn whose centres
// lie inside a triangle or on its edges.

// The picture as text: '.' for the background, and for every other pixel
// the letter of its colour in `legend`, or '?'.
std::vector<std::string> Mask(const Picture& p, const std::vector<std::pair<char, Pixel>>& legend) {
    std::vector<std::string> rows;
    for (uint32_t y = 0; y < p.image.height; ++y) {
        std::string row;
        for (uint32_t x = 0; x < p.image.width; ++x) {
            Pixel px = p.at(x, y);
            char c = px == Picture::kPlain ? '.' : '?';
            for (const auto& [letter, colour] : legend)
                if (px == colour) c = letter;
            row += c;
        }
        rows.push_back(row);
    }
    return rows;
}

// A grey of 100 lit from the front: 0.3 + 0.7 * 0.894427 of it is 92.61,
// which rounds to 93.
constexpr uint32_t kGrey100 = 0xFF646464u;
constexpr Pixel kLitGrey{93, 93, 93};

TEST(Raster, ExactPixelsOfATriangleInASmallPicture) {
    // The corners of the picture are the triangle's: (0, 4), (6, 4), (0, 0).
    Picture p =
        Draw(File(2, {{0, 0, 0, kGrey100}, {6, 0, 0, kGrey100}, {0, 4, 0, kGrey100}}, {0, 1, 2}),
             ViewDirection::front, 6, 4);
    EXPECT_EQ(Mask(p, {{'#', kLitGrey}}),
              (std::vector<std::string>{"#.....", "##....", "####..", "#####."}));
}

TEST(Raster, PixelCentresOnAnEdgeAreDrawn) {
    // An edge at x = 2.5 runs through the centres of column 2. Two vertices
    // that no face names hold the frame at [0, 6] x [0, 4]. The corners in
    // each order, so that the edge is each of the three.
    for (std::vector<uint16_t> corners : {std::vector<uint16_t>{2, 3, 4}, {3, 4, 2}, {4, 2, 3}}) {
        Picture p = Draw(File(2,
                              {{0, 0, 0},
                               {6, 4, 0},
                               {2.5f, 0, 0, kGrey100},
                               {6, 0, 0, kGrey100},
                               {2.5f, 4, 0, kGrey100}},
                              corners),
                         ViewDirection::front, 6, 4);
        EXPECT_EQ(Mask(p, {{'#', kLitGrey}}),
                  (std::vector<std::string>{"..#...", "..##..", "..###.", "..####"}))
            << corners[0];
    }
}

TEST(Raster, ExactPixelsOfOpenLinesToTheirLastStep) {
    constexpr uint32_t kGreen = 0xFF00C800u;
    const Pixel green{0, 200, 0};
    // A line from picture (0.5, 2.5) to (4.5, 0.5), framed by two points.
    Picture inside = Draw(
        File(-2, {{0, 0, 0}, {5, 3, 0}, {0.5f, 0.5f, 0, kGreen}, {4.5f, 2.5f, 0, kGreen}}, {2, 3}),
        ViewDirection::front, 5, 3);
    EXPECT_EQ(Mask(inside, {{'L', green}}), (std::vector<std::string>{"....L", "..LL.", "LL..."}));
    // A line to the picture's right edge: its last step falls outside and
    // must not wrap onto the next row.
    Picture edge =
        Draw(File(-2, {{0, 0, 0, kGreen}, {5, 3, 0, kGreen}}, {0, 1}), ViewDirection::front, 5, 3);
    EXPECT_EQ(Mask(edge, {{'L', green}}), (std::vector<std::string>{"....L", "..LL.", ".L..."}));
    // Points: 2 x 2 dots, clipped at the picture's edges.
    Picture dots = Draw(File(-1, {{0, 0, 0, kGreen}, {5, 3, 0, kGreen}, {2, 1, 0, kGreen}}, {}),
                        ViewDirection::front, 5, 3);
    EXPECT_EQ(Mask(dots, {{'P', green}}), (std::vector<std::string>{"....P", ".PP..", "PPP.."}));
}

// A triangle given again, corner for corner, changes no pixel: it is
// passed over, as a picture of many copies of one face would otherwise cost
// as many fills.
TEST(Raster, RepeatedTrianglesChangeNothing) {
    std::vector<Vertex> v;
    std::vector<uint16_t> once;
    uint64_t state = 3;
    auto next = [&state] {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<float>(state >> 40) / static_cast<float>(1u << 24);
    };
    for (uint16_t i = 0; i < 60; ++i)
        v.push_back({next(), next(), next(), 0xFF000000u | (i * 4567u)});
    for (uint16_t t = 0; t < 40; ++t)
        once.insert(once.end(), {t, uint16_t(t + 7), uint16_t(t + 19)});
    std::vector<uint16_t> again = once;
    again.insert(again.end(), once.begin(), once.end());
    Picture a = Draw(File(2, v, once), ViewDirection::iso, 200, 150);
    Picture b = Draw(File(2, v, again), ViewDirection::iso, 200, 150);
    EXPECT_GT(a.covered(), 1000);
    EXPECT_EQ(b.bytes(), a.bytes());
}

}  // namespace
