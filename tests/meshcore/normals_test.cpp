// Vector operations, face normals and vertex normals, compared bit for bit.
#include "meshcore/normals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iomanip>
#include <limits>
#include <ostream>
#include <vector>

#include "meshcore/parallel.h"
#include "test_support.h"

namespace {

// Three float bit patterns, printed in hexadecimal when a check fails.
struct Bits3 {
    uint32_t x, y, z;
    bool operator==(const Bits3&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Bits3& b) {
    return os << std::hex << std::uppercase << "(0x" << b.x << ", 0x" << b.y << ", 0x" << b.z << ")"
              << std::dec;
}

Bits3 BitsOf(const CVector& v) {
    return {FloatBits(v.x), FloatBits(v.y), FloatBits(v.z)};
}

template <typename Record>
Bits3 NormalBits(const Record& r) {
    return {FloatBits(r.nx), FloatBits(r.ny), FloatBits(r.nz)};
}

constexpr uint32_t kZero = 0x00000000;
constexpr uint32_t kOne = 0x3F800000;
constexpr uint32_t kMinusOne = 0xBF800000;
constexpr uint32_t kHalfRoot2 = 0x3F3504F3;  // 0.70710677, nearest to sqrt(1/2)

CVector Normalized(CVector v) {
    CVector out{};
    VectorNormalize(&v, &out);
    return out;
}

CVector Cross(CVector a, CVector b) {
    CVector out{};
    VectorGetNormal(&a, &b, &out);
    return out;
}

// Vertex records of both layouts at given positions, normals zero; colour
// and texture fields hold marks that the normal code must not touch.
template <typename Vertex>
std::vector<Vertex> VerticesAt(const std::vector<CVector>& positions) {
    std::vector<Vertex> vertices(positions.size());
    for (size_t i = 0; i < positions.size(); ++i) {
        Vertex& v = vertices[i];
        std::memset(&v, 0, sizeof v);
        v.color = 0xC0FFEE00u + static_cast<uint32_t>(i);
        v.x = positions[i].x;
        v.y = positions[i].y;
        v.z = positions[i].z;
        if constexpr (requires { v.u; }) {
            v.u = 0.25f;
            v.v = 0.75f;
        }
    }
    return vertices;
}

std::vector<CFace> FacesOf(const std::vector<uint16_t>& packed) {
    std::vector<CFace> faces(packed.size() / 3);
    unsignedShort2CFace(packed.data(), static_cast<uint32_t>(faces.size()), faces.data());
    return faces;
}

// Face and vertex normals as the converters compute them.
template <typename Vertex>
void ComputeNormals(std::vector<CFace>& faces, std::vector<Vertex>& vertices) {
    const auto faceCount = static_cast<uint32_t>(faces.size());
    const auto vertexCount = static_cast<uint32_t>(vertices.size());
    if constexpr (std::is_same_v<Vertex, VertexkvxV3>) {
        CalculateFaceNormalsV3(faces.data(), faces.data(), faceCount, vertices.data());
        CalculateVertexNormalsV3(faces.data(), faceCount, vertices.data(), vertexCount);
    } else {
        CalculateFaceNormalsV4(faces.data(), faces.data(), faceCount, vertices.data());
        CalculateVertexNormalsV4(faces.data(), faceCount, vertices.data(), vertexCount);
    }
}

// The four corners of the unit tetrahedron's right angle, and a fifth vertex.
const std::vector<CVector> kCorner = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {5, 5, 5}};

// A small deterministic mesh of awkward values, for comparing variants.
std::vector<CVector> ScatteredPositions(size_t n) {
    std::vector<CVector> positions(n);
    uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(static_cast<int32_t>(state >> 8) - (1 << 23)) / 3072.0f;
    };
    for (CVector& p : positions)
        p = {next(), next(), next()};
    return positions;
}

std::vector<uint16_t> ScatteredTriples(size_t faceCount, uint32_t vertexCount) {
    std::vector<uint16_t> packed(faceCount * 3);
    uint32_t state = 777;
    for (uint16_t& index : packed) {
        state = state * 1103515245u + 12345u;
        index = static_cast<uint16_t>((state >> 16) % vertexCount);
    }
    return packed;
}

}  // namespace

TEST(VectorNormalize, UnitResultsAreTheNearestSingles) {
    EXPECT_EQ(BitsOf(Normalized({3, 4, 0})), (Bits3{FloatBits(0.6f), FloatBits(0.8f), kZero}));
    EXPECT_EQ(BitsOf(Normalized({1, 1, 0})), (Bits3{kHalfRoot2, kHalfRoot2, kZero}));
    EXPECT_EQ(BitsOf(Normalized({0, -7, 0})), (Bits3{kZero, kMinusOne, kZero}));
    // The signs of zero components survive the division.
    EXPECT_EQ(BitsOf(Normalized({-0.0f, 2, 0})), (Bits3{0x80000000, kOne, kZero}));
}

TEST(VectorNormalize, LengthIsRoundedToSingleBeforeDividing) {
    // Dividing by the length in double precision would give z = 0x3F72DCE9.
    EXPECT_EQ(BitsOf(Normalized({1, 0, 3})), (Bits3{0x3EA1E89B, kZero, 0x3F72DCE8}));
}

TEST(VectorNormalize, SumOfSquaresIsNotRoundedToSingle) {
    // Squares summed in single precision would end at a different length.
    EXPECT_EQ(BitsOf(Normalized({3047.0f / 4096, 207.0f / 8, 2723.0f / 4})),
              (Bits3{0x3A8F2077, 0x3D1B931E, 0x3F7FD0AB}));
    // Squares beyond the single range neither overflow nor vanish.
    EXPECT_EQ(BitsOf(Normalized({0x1p100f, 0x1p100f, 0})), (Bits3{kHalfRoot2, kHalfRoot2, kZero}));
    EXPECT_EQ(BitsOf(Normalized({0x1p-100f, 0, -0x1p-100f})),
              (Bits3{kHalfRoot2, kZero, 0x80000000 | kHalfRoot2}));
    const float tiniest = std::numeric_limits<float>::denorm_min();
    EXPECT_EQ(BitsOf(Normalized({tiniest, 0, 0})), (Bits3{kOne, kZero, kZero}));
}

TEST(VectorNormalize, ZeroAndNotANumber) {
    EXPECT_EQ(BitsOf(Normalized({0, 0, 0})), (Bits3{kZero, kZero, kZero}));
    // The zero vector gives positive zeros, whatever the signs it had.
    EXPECT_EQ(BitsOf(Normalized({-0.0f, -0.0f, -0.0f})), (Bits3{kZero, kZero, kZero}));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (CVector v : {CVector{nan, 0, 0}, CVector{1, nan, 2}, CVector{0, 0, nan}}) {
        CVector n = Normalized(v);
        EXPECT_TRUE(std::isnan(n.x) && std::isnan(n.y) && std::isnan(n.z));
    }
}

TEST(VectorNormalize, InPlaceEqualsIntoAnotherVector) {
    for (CVector v : ScatteredPositions(50)) {
        CVector other{};
        VectorNormalize(&v, &other);
        CVector self = v;
        VectorNormalize(&self, &self);
        EXPECT_EQ(BitsOf(self), BitsOf(other));
    }
}

TEST(VectorOffset, EachDifferenceIsRoundedOnceToSingle) {
    CVector a{1, 0, -3}, b{0x1p-25f, 0x1p-24f, 1}, d{};
    VectorOffset(&a, &b, &d);
    // 1 - 2^-25 lies halfway between two singles and rounds to the even 1.
    EXPECT_EQ(BitsOf(d), (Bits3{kOne, FloatBits(-0x1p-24f), FloatBits(-4.0f)}));
    VectorOffset(&b, &a, &d);
    EXPECT_EQ(BitsOf(d), (Bits3{FloatBits(-1.0f), FloatBits(0x1p-24f), FloatBits(4.0f)}));
}

TEST(VectorGetNormal, CrossProduct) {
    EXPECT_EQ(BitsOf(Cross({1, 0, 0}, {0, 1, 0})), (Bits3{kZero, kZero, kOne}));
    EXPECT_EQ(BitsOf(Cross({0, 1, 0}, {1, 0, 0})), (Bits3{kZero, kZero, kMinusOne}));
    EXPECT_EQ(BitsOf(Cross({1, 2, 3}, {4, 5, 6})),
              (Bits3{FloatBits(-3.0f), FloatBits(6.0f), FloatBits(-3.0f)}));
}

TEST(VectorGetNormal, ProductsAreExactAndDifferencesKeep64Bits) {
    // (1 + 2^-12)^2 - 1 = 2^-11 + 2^-24: products rounded to single lose the
    // last term.
    const float a = 1.0f + 0x1p-12f;
    EXPECT_EQ(BitsOf(Cross({0, a, 1}, {0, 1, a})), (Bits3{0x3A000400, kZero, kZero}));

    // 1 - 2^-25 * (1 + 2^-12) * (1 - 4095 * 2^-24) = 1 - 2^-25 - 2^-61: just below
    // the midpoint between 1 - 2^-24 and 1. A 53-bit difference would drop the
    // 2^-61 and round the midpoint to 1.
    const float small = 0x1p-25f * (1.0f + 0x1p-12f);
    const float nearOne = 1.0f - 4095.0f * 0x1p-24f;
    EXPECT_EQ(BitsOf(Cross({0, 1, small}, {0, nearOne, 1})), (Bits3{0x3F7FFFFF, kZero, kZero}));
}

TEST(FaceCopies, PackedTriplesRoundTripAndNormalsAreLeftAlone) {
    const std::vector<uint16_t> packed = {0, 1, 2, 65535, 7, 7, 40000, 0, 12};
    std::vector<CFace> faces(3, CFace{9, 9, 9, 1.5f, 2.5f, 3.5f});
    unsignedShort2CFace(packed.data(), 3, faces.data());
    EXPECT_EQ(faces[1].i0, 65535);
    EXPECT_EQ(faces[1].i1, 7);
    EXPECT_EQ(faces[2].i2, 12);
    for (const CFace& f : faces) {
        EXPECT_EQ(f.nx, 1.5f);
        EXPECT_EQ(f.ny, 2.5f);
        EXPECT_EQ(f.nz, 3.5f);
    }
    std::vector<uint16_t> back(packed.size() + 1, 0xABCD);
    CFace2unsignedShort(faces.data(), 3, back.data());
    EXPECT_EQ(std::vector<uint16_t>(back.begin(), back.end() - 1), packed);
    EXPECT_EQ(back.back(), 0xABCD);  // nothing past the last triple

    unsignedShort2CFace(packed.data(), 0, faces.data());  // a count of 0 copies nothing
    EXPECT_EQ(faces[0].i2, 2);
}

TEST(VertexNormalize, TouchesOnlyTheNormalOfTheDestination) {
    VertexkvxV3 source3{0x11223344u, 3, 4, 0, 7, 8, 9};
    VertexkvxV3 dest3{0xAABBCCDDu, 0, 0, 0, -1, -2, -3};
    VertexkvxV3Normalize(&source3, &dest3);
    EXPECT_EQ(NormalBits(dest3), (Bits3{FloatBits(0.6f), FloatBits(0.8f), kZero}));
    EXPECT_EQ(dest3.color, 0xAABBCCDDu);
    EXPECT_EQ(dest3.x, -1.0f);
    EXPECT_EQ(dest3.z, -3.0f);
    EXPECT_EQ(source3.nx, 3.0f);

    VertexkvxV4 source4{0.5f, 0.25f, 0x11223344u, 0, 0, -2, 7, 8, 9};
    VertexkvxV4 dest4{0.125f, 0.375f, 0xAABBCCDDu, 9, 9, 9, -1, -2, -3};
    VertexkvxV4Normalize(&source4, &dest4);
    EXPECT_EQ(NormalBits(dest4), (Bits3{kZero, kZero, kMinusOne}));
    EXPECT_EQ(dest4.u, 0.125f);
    EXPECT_EQ(dest4.v, 0.375f);
    EXPECT_EQ(dest4.color, 0xAABBCCDDu);
    EXPECT_EQ(dest4.y, -2.0f);
}

TEST(VertexNormalize, InPlaceEqualsIntoASecondRecord) {
    for (CVector n : ScatteredPositions(50)) {
        VertexkvxV3 a{1, n.x, n.y, n.z, 0, 0, 0}, b{};
        VertexkvxV3Normalize(&a, &b);
        VertexkvxV3Normalize(&a, &a);
        EXPECT_EQ(NormalBits(a), NormalBits(b));
        VertexkvxV4 c{0, 0, 1, n.x, n.y, n.z, 0, 0, 0}, d{};
        VertexkvxV4Normalize(&c, &d);
        VertexkvxV4Normalize(&c, &c);
        EXPECT_EQ(NormalBits(c), NormalBits(d));
        EXPECT_EQ(NormalBits(c), NormalBits(a));
    }
}

TEST(FaceNormals, FollowTheRightHandRuleOverTheCornerOrder) {
    auto vertices = VerticesAt<VertexkvxV3>(kCorner);
    auto faces = FacesOf({0, 1, 2, 0, 2, 1, 0, 2, 3, 0, 1, 1, 3, 3, 3});
    CalculateFaceNormalsV3(faces.data(), faces.data(), 5, vertices.data());
    EXPECT_EQ(NormalBits(faces[0]), (Bits3{kZero, kZero, kOne}));
    EXPECT_EQ(NormalBits(faces[1]), (Bits3{kZero, kZero, kMinusOne}));
    EXPECT_EQ(NormalBits(faces[2]), (Bits3{kOne, kZero, kZero}));
    // A face that names an index twice, or all three the same, has no normal.
    EXPECT_EQ(NormalBits(faces[3]), (Bits3{kZero, kZero, kZero}));
    EXPECT_EQ(NormalBits(faces[4]), (Bits3{kZero, kZero, kZero}));
    // The indices are kept.
    EXPECT_EQ(faces[1].i1, 2);
    EXPECT_EQ(faces[1].i2, 1);

    // Three points on one axis.
    auto line = VerticesAt<VertexkvxV4>({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}});
    auto lineFace = FacesOf({0, 1, 2});
    CalculateFaceNormalsV4(lineFace.data(), lineFace.data(), 1, line.data());
    EXPECT_EQ(NormalBits(lineFace[0]), (Bits3{kZero, kZero, kZero}));
}

TEST(FaceNormals, TwoArraysGiveTheSameNormalsAsOneAndKeepTheirIndices) {
    const auto positions = ScatteredPositions(300);
    auto vertices = VerticesAt<VertexkvxV3>(positions);
    auto verticesV4 = VerticesAt<VertexkvxV4>(positions);
    const auto packed = ScatteredTriples(1000, 300);

    auto inPlace = FacesOf(packed);
    CalculateFaceNormalsV3(inPlace.data(), inPlace.data(), 1000, vertices.data());

    const auto source = FacesOf(packed);
    std::vector<CFace> destination(1000, CFace{0xBEEF, 0xBEEF, 0xBEEF, 0, 0, 0});
    CalculateFaceNormalsV3(source.data(), destination.data(), 1000, vertices.data());

    std::vector<CFace> destinationV4(1000);
    CalculateFaceNormalsV4(source.data(), destinationV4.data(), 1000, verticesV4.data());

    int nonZero = 0;
    for (size_t k = 0; k < 1000; ++k) {
        EXPECT_EQ(NormalBits(destination[k]), NormalBits(inPlace[k])) << "face " << k;
        EXPECT_EQ(NormalBits(destinationV4[k]), NormalBits(inPlace[k])) << "face " << k;
        EXPECT_EQ(destination[k].i0, 0xBEEF);
        EXPECT_EQ(destination[k].i2, 0xBEEF);
        nonZero += inPlace[k].nz != 0.0f;
    }
    EXPECT_GT(nonZero, 900);
}

TEST(VertexNormals, SumOfUnitFaceNormalsNormalised) {
    auto vertices = VerticesAt<VertexkvxV3>(kCorner);
    auto faces = FacesOf({0, 1, 2, 0, 2, 3});
    ComputeNormals(faces, vertices);
    EXPECT_EQ(NormalBits(vertices[0]), (Bits3{kHalfRoot2, kZero, kHalfRoot2}));
    EXPECT_EQ(NormalBits(vertices[1]), (Bits3{kZero, kZero, kOne}));
    EXPECT_EQ(NormalBits(vertices[2]), (Bits3{kHalfRoot2, kZero, kHalfRoot2}));
    EXPECT_EQ(NormalBits(vertices[3]), (Bits3{kOne, kZero, kZero}));
    EXPECT_EQ(NormalBits(vertices[4]), (Bits3{kZero, kZero, kZero}));  // named by no face
    // Nothing else in the records moves.
    EXPECT_EQ(vertices[3].color, 0xC0FFEE03u);
    EXPECT_EQ(vertices[4].x, 5.0f);
}

TEST(VertexNormals, EveryFaceCountsOnceWhateverItsArea) {
    // Two triangles of very different size, in the plane z = 0, sharing the
    // edge 0-2: the shared vertices get (0, 0, 1), not (0, 0, 2).
    auto vertices = VerticesAt<VertexkvxV4>({{0, 0, 0}, {100, 0, 0}, {1, 1, 0}, {0, 1, 0}});
    auto faces = FacesOf({0, 1, 2, 0, 2, 3});
    ComputeNormals(faces, vertices);
    for (const VertexkvxV4& v : vertices)
        EXPECT_EQ(NormalBits(v), (Bits3{kZero, kZero, kOne}));
    EXPECT_EQ(vertices[1].u, 0.25f);
    EXPECT_EQ(vertices[1].v, 0.75f);

    // A face over two right-angled edges and a face over a sliver weigh the
    // same: (0, 0, 1) + (1, 0, 0) normalised, at the vertex they share.
    auto pair =
        VerticesAt<VertexkvxV3>({{0, 0, 0}, {1000, 0, 0}, {0, 1000, 0}, {0, 0.001f, 0.001f}});
    auto pairFaces = FacesOf({0, 1, 2, 0, 2, 3});
    ComputeNormals(pairFaces, pair);
    EXPECT_EQ(NormalBits(pair[0]), (Bits3{kHalfRoot2, kZero, kHalfRoot2}));
}

TEST(VertexNormals, OppositeFacesCancelAndDegenerateFacesAddNothing) {
    auto vertices = VerticesAt<VertexkvxV3>(kCorner);
    auto faces = FacesOf({0, 1, 2, 0, 2, 1});
    ComputeNormals(faces, vertices);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(NormalBits(vertices[static_cast<size_t>(i)]), (Bits3{kZero, kZero, kZero}));
    }

    auto withDegenerate = VerticesAt<VertexkvxV4>(kCorner);
    auto degenerateFaces = FacesOf({0, 1, 2, 1, 3, 3, 2, 2, 2});
    ComputeNormals(degenerateFaces, withDegenerate);
    EXPECT_EQ(NormalBits(withDegenerate[1]), (Bits3{kZero, kZero, kOne}));
    EXPECT_EQ(NormalBits(withDegenerate[2]), (Bits3{kZero, kZero, kOne}));
    EXPECT_EQ(NormalBits(withDegenerate[3]), (Bits3{kZero, kZero, kZero}));
}

TEST(VertexNormals, NoFacesLeaveEveryNormalAsItWas) {
    auto vertices = VerticesAt<VertexkvxV3>(kCorner);
    auto faces = FacesOf({});
    ComputeNormals(faces, vertices);
    for (const VertexkvxV3& v : vertices)
        EXPECT_EQ(NormalBits(v), (Bits3{kZero, kZero, kZero}));
}

TEST(VertexNormals, SumsStartFromTheHeldNormalsInFaceAndCornerOrder) {
    // Face normals set by hand: 1 + 2^-24 + 2^-24 added left to right stays 1
    // (each sum a tie rounded to even); any other order reaches 1 + 2^-23
    // and normalises to (0x3F3504F4, 0x3F3504F2, 0).
    auto vertices = VerticesAt<VertexkvxV3>({{0, 0, 0}, {0, 0, 0}, {0, 0, 0}});
    std::vector<CFace> faces = {
        {0, 1, 2, 1, 1, 0}, {0, 1, 2, 0x1p-24f, 0, 0}, {0, 1, 2, 0x1p-24f, 0, 0}};
    CalculateVertexNormalsV3(faces.data(), 3, vertices.data(), 3);
    for (const VertexkvxV3& v : vertices) {
        EXPECT_EQ(NormalBits(v), (Bits3{kHalfRoot2, kHalfRoot2, kZero}));
    }

    // A corner named twice adds twice; the pass adds to what the vertex
    // holds: (0, 3, 0) + 2 * (0, 0, 2) normalises to (0, 0.6, 0.8).
    auto held = VerticesAt<VertexkvxV4>({{0, 0, 0}, {0, 0, 0}});
    held[0].ny = 3;
    std::vector<CFace> twice = {{0, 0, 1, 0, 0, 2}};
    CalculateVertexNormalsV4(twice.data(), 1, held.data(), 2);
    EXPECT_EQ(NormalBits(held[0]), (Bits3{kZero, FloatBits(0.6f), FloatBits(0.8f)}));
    EXPECT_EQ(NormalBits(held[1]), (Bits3{kZero, kZero, kOne}));
}

TEST(VertexNormals, FaceCountIsNotBoundedBySixteenBits) {
    // 70,000 faces over 65,536 vertices: the first 65,536 name one vertex
    // three times and add nothing; only the 4,464 after them carry normals.
    constexpr uint32_t kVertices = 65536, kFaces = 70000, kReal = kFaces - kVertices;
    std::vector<CVector> positions(kVertices, CVector{0, 0, 0});
    std::vector<uint16_t> packed;
    for (uint32_t k = 0; k < kVertices; ++k) {
        packed.insert(packed.end(), 3, static_cast<uint16_t>(k));
    }
    for (uint32_t m = 0; m < kReal; ++m) {
        positions[3 * m] = {static_cast<float>(m), 0, 0};
        positions[3 * m + 1] = {static_cast<float>(m) + 1, 0, 0};
        positions[3 * m + 2] = {static_cast<float>(m), 1, 0};
        for (uint32_t c = 0; c < 3; ++c)
            packed.push_back(static_cast<uint16_t>(3 * m + c));
    }
    auto vertices = VerticesAt<VertexkvxV4>(positions);
    auto faces = FacesOf(packed);
    ASSERT_EQ(faces.size(), kFaces);
    ComputeNormals(faces, vertices);

    EXPECT_EQ(NormalBits(faces[kFaces - 1]), (Bits3{kZero, kZero, kOne}));
    for (uint32_t i = 0; i < kVertices; ++i) {
        const Bits3 expected =
            i < 3 * kReal ? Bits3{kZero, kZero, kOne} : Bits3{kZero, kZero, kZero};
        ASSERT_EQ(NormalBits(vertices[i]), expected) << "vertex " << i;
    }
}

// kvx::ComputeSmoothNormals shares the faces of a large mesh between two
// threads: every bit must be that of the plain one-pass computation, below
// the threshold and above it.
template <typename Vertex>
void ExpectSmoothNormalsOfOnePass(int32_t version, uint32_t vertexCount, uint32_t faceCount) {
    SCOPED_TRACE("version " + std::to_string(version) + ", " + std::to_string(faceCount) +
                 " faces");
    const auto positions = ScatteredPositions(vertexCount);
    const auto packed = ScatteredTriples(faceCount, vertexCount);
    auto expected = VerticesAt<Vertex>(positions);
    auto faces = FacesOf(packed);
    ComputeNormals(faces, expected);

    auto vertices = VerticesAt<Vertex>(positions);
    for (Vertex& v : vertices)
        v.nx = v.ny = v.nz = 7.0f;  // zeroed first
    std::vector<uint16_t> indices = packed;
    OKVX m{};
    m.version = version;
    m.vertexCount = vertexCount;
    m.faceCount = faceCount;
    m.faces = indices.data();
    if constexpr (std::is_same_v<Vertex, VertexkvxV3>) {
        m.verticesV3 = vertices.data();
    } else {
        m.verticesV4 = vertices.data();
    }
    ASSERT_TRUE(kvx::ComputeSmoothNormals(m));
    for (uint32_t i = 0; i < vertexCount; ++i) {
        ASSERT_EQ(NormalBits(vertices[i]), NormalBits(expected[i])) << "vertex " << i;
    }
    // Again over the caller's work array, which is left holding the faces.
    for (Vertex& v : vertices)
        v.nx = v.ny = v.nz = 7.0f;
    std::vector<CFace> work(faceCount);
    kvx::ComputeSmoothNormals(m, work.data());
    for (uint32_t i = 0; i < vertexCount; ++i) {
        ASSERT_EQ(NormalBits(vertices[i]), NormalBits(expected[i])) << "vertex " << i;
    }
    for (uint32_t k = 0; k < faceCount; ++k) {
        ASSERT_EQ(work[k].i0, packed[3 * k]) << "face " << k;
        ASSERT_EQ(work[k].i2, packed[3 * k + 2]) << "face " << k;
    }
}

TEST(ComputeSmoothNormals, TwoThreadsGiveTheBitsOfOnePass) {
    for (uint32_t faces : {1000u, kvx::kParallelFaces - 1, kvx::kParallelFaces, 150000u}) {
        ExpectSmoothNormalsOfOnePass<VertexkvxV3>(3, 40000, faces);
    }
    ExpectSmoothNormalsOfOnePass<VertexkvxV4>(4, 65536, 150000);
}
