#include "meshcore/normals.h"

#include <cassert>
#include <cmath>
#include <cstddef>
#include <limits>

#include "meshcore/layout.h"
#include "meshcore/parallel.h"

// The cross products and sums of squares are formed in the x87 extended
// format, whose 64-bit significand holds the product of two floats exactly.
// Doing them in double or float would round differently and change the
// written normals in their last bits.
static_assert(std::numeric_limits<long double>::digits == 64,
              "normals need long double to be the 80-bit extended format");

namespace {

using Extended = long double;

// Unit vector of (x, y, z) into the three outputs. The inputs are copies, so
// the outputs may be the very fields they were read from.
inline void Normalize3(float x, float y, float z, float& outX, float& outY, float& outZ) {
    const Extended sum = (Extended{x} * x + Extended{y} * y) + Extended{z} * z;
    const auto length = static_cast<float>(std::sqrt(static_cast<double>(sum)));
    // A length that is not a number is not zero: it spreads into all three.
    if (length == 0.0f) {
        outX = 0.0f;
        outY = 0.0f;
        outZ = 0.0f;
        return;
    }
    outX = x / length;
    outY = y / length;
    outZ = z / length;
}

template <typename Vertex>
inline void NormalizeVertexNormal(const Vertex* source, Vertex* destination) {
    Normalize3(source->nx, source->ny, source->nz, destination->nx, destination->ny,
               destination->nz);
}

template <typename Vertex>
inline CVector Position(const Vertex& v) {
    return CVector{v.x, v.y, v.z};
}

template <typename Vertex>
void FaceNormals(const CFace* source, CFace* destination, uint32_t count, const Vertex* vertices) {
    for (uint32_t k = 0; k < count; ++k) {
        const CFace& face = source[k];
        const CVector p0 = Position(vertices[face.i0]);
        const CVector p1 = Position(vertices[face.i1]);
        const CVector p2 = Position(vertices[face.i2]);
        CVector e1, e2, n, unit;
        VectorOffset(&p2, &p1, &e1);
        VectorOffset(&p0, &p1, &e2);
        VectorGetNormal(&e1, &e2, &n);
        VectorNormalize(&n, &unit);
        // Only the normal of the destination: its indices may be the source's.
        destination[k].nx = unit.x;
        destination[k].ny = unit.y;
        destination[k].nz = unit.z;
    }
}

template <typename Vertex>
void AddToCorner(Vertex& v, const CFace& face) {
    v.nx = v.nx + face.nx;
    v.ny = v.ny + face.ny;
    v.nz = v.nz + face.nz;
}

template <typename Vertex>
void VertexNormals(const CFace* faces, uint32_t faceCount, Vertex* vertices, uint32_t vertexCount) {
    // Every naming corner adds one term, in face order: the order of the
    // float sums decides their last bits.
    for (uint32_t k = 0; k < faceCount; ++k) {
        const CFace& face = faces[k];
        assert(face.i0 < vertexCount && face.i1 < vertexCount && face.i2 < vertexCount);
        AddToCorner(vertices[face.i0], face);
        AddToCorner(vertices[face.i1], face);
        AddToCorner(vertices[face.i2], face);
    }
    for (uint32_t j = 0; j < vertexCount; ++j)
        NormalizeVertexNormal(&vertices[j], &vertices[j]);
}

}  // namespace

void VectorNormalize(const CVector* source, CVector* destination) {
    Normalize3(source->x, source->y, source->z, destination->x, destination->y, destination->z);
}

void VectorOffset(const CVector* a, const CVector* b, CVector* destination) {
    destination->x = a->x - b->x;
    destination->y = a->y - b->y;
    destination->z = a->z - b->z;
}

void VectorGetNormal(const CVector* a, const CVector* b, CVector* destination) {
    // Two exact products, one difference rounded to 64 bits, then to float.
    destination->x = static_cast<float>(Extended{a->y} * b->z - Extended{a->z} * b->y);
    destination->y = static_cast<float>(Extended{a->z} * b->x - Extended{a->x} * b->z);
    destination->z = static_cast<float>(Extended{a->x} * b->y - Extended{a->y} * b->x);
}

void unsignedShort2CFace(const uint16_t* packed, uint32_t count, CFace* faces) {
    for (uint32_t k = 0; k < count; ++k) {
        const uint16_t* triple = packed + 3 * size_t{k};
        faces[k].i0 = triple[0];
        faces[k].i1 = triple[1];
        faces[k].i2 = triple[2];
    }
}

void CFace2unsignedShort(const CFace* faces, uint32_t count, uint16_t* packed) {
    for (uint32_t k = 0; k < count; ++k) {
        uint16_t* triple = packed + 3 * size_t{k};
        triple[0] = faces[k].i0;
        triple[1] = faces[k].i1;
        triple[2] = faces[k].i2;
    }
}

void VertexkvxV3Normalize(const VertexkvxV3* source, VertexkvxV3* destination) {
    NormalizeVertexNormal(source, destination);
}

void VertexkvxV4Normalize(const VertexkvxV4* source, VertexkvxV4* destination) {
    NormalizeVertexNormal(source, destination);
}

void CalculateFaceNormalsV3(const CFace* source, CFace* destination, uint32_t count,
                            const VertexkvxV3* vertices) {
    FaceNormals(source, destination, count, vertices);
}

void CalculateFaceNormalsV4(const CFace* source, CFace* destination, uint32_t count,
                            const VertexkvxV4* vertices) {
    FaceNormals(source, destination, count, vertices);
}

void CalculateVertexNormalsV3(const CFace* faces, uint32_t faceCount, VertexkvxV3* vertices,
                              uint32_t vertexCount) {
    VertexNormals(faces, faceCount, vertices, vertexCount);
}

void CalculateVertexNormalsV4(const CFace* faces, uint32_t faceCount, VertexkvxV4* vertices,
                              uint32_t vertexCount) {
    VertexNormals(faces, faceCount, vertices, vertexCount);
}

namespace {

template <typename Vertex>
void SmoothNormals(const OKVX& m, Vertex* vertices, CFace* faces) {
    // Each face normal depends on its own face alone: two threads share the
    // faces, each filling its part of the face array first.
    kvx::SplitInTwo(m.faceCount, kvx::kParallelFaces,
                    [&m, vertices, faces](uint32_t first, uint32_t n) {
                        unsignedShort2CFace(m.faces + 3 * size_t{first}, n, faces + first);
                        FaceNormals(faces + first, faces + first, n, vertices);
                    });
    for (uint32_t i = 0; i < m.vertexCount; ++i) {
        vertices[i].nx = 0.0f;
        vertices[i].ny = 0.0f;
        vertices[i].nz = 0.0f;
    }
    VertexNormals(faces, m.faceCount, vertices, m.vertexCount);
}

// Whether every index of the mesh's triangles names one of its vertices.
[[maybe_unused]] bool IndicesNameVertices(const OKVX& m) {
    for (uint64_t k = 0; k < uint64_t{m.faceCount} * 3; ++k)
        if (m.faces[k] >= m.vertexCount) return false;
    return true;
}

}  // namespace

void kvx::ComputeSmoothNormals(OKVX& m, CFace* faces) {
    const Layout* layout = LayoutOf(m.version);
    assert(layout != nullptr && layout->text.smoothNormals);
    assert(IndicesNameVertices(m));
    if (layout->member == VertexMember::v3) {
        SmoothNormals(m, m.verticesV3, faces);
    } else {
        SmoothNormals(m, m.verticesV4, faces);
    }
}

bool kvx::ComputeSmoothNormals(OKVX& m, uint64_t* failedBytes) {
    CFace* faces = KvxAllocateArray<CFace>(m.faceCount);
    if (faces == nullptr) {
        if (failedBytes) *failedBytes = uint64_t{m.faceCount} * sizeof(CFace);
        return false;
    }
    ComputeSmoothNormals(m, faces);
    KvxFree(faces);
    return true;
}
