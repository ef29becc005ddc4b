// Face normals and smooth vertex normals for the two vertex layouts that
// carry a normal (VertexkvxV3, VertexkvxV4), and the vector operations they
// are built from.
//
// Results are bit-exact on every build: single-precision values are stored
// after each operation, with one rounding per plain difference, sum and
// quotient; cross-product components and the sum of squares are formed in
// the x87 80-bit extended format (exact products, sums rounded to 64
// significant bits); the sum of squares goes through double precision for the
// square root, and the length is rounded to single precision before it is
// tested against zero and divided by. Nothing here allocates, keeps state or
// reports anything.
#pragma once

#include <cstdint>

#include "meshcore/okvx.h"

// destination = source scaled to unit length, or (0, 0, 0) when its length
// rounds to zero. A component that is not a number makes all three not a
// number. source and destination may be the same object.
void VectorNormalize(const CVector* source, CVector* destination);

// destination = a - b, component by component, each difference rounded once.
void VectorOffset(const CVector* a, const CVector* b, CVector* destination);

// destination = a x b. Each component is stored before the next is formed,
// so destination must be neither a nor b.
void VectorGetNormal(const CVector* a, const CVector* b, CVector* destination);

// Copies packed index triple k (entries 3k, 3k+1, 3k+2) into i0, i1, i2 of
// faces[k], for k below count. The normal fields are not written.
void unsignedShort2CFace(const uint16_t* packed, uint32_t count, CFace* faces);

// The inverse copy: i0, i1, i2 of faces[k] into packed entries 3k..3k+2.
void CFace2unsignedShort(const CFace* faces, uint32_t count, uint16_t* packed);

// destination's normal = source's normal normalised as by VectorNormalize;
// every other field of destination is left as it is. May work in place.
void VertexkvxV3Normalize(const VertexkvxV3* source, VertexkvxV3* destination);
void VertexkvxV4Normalize(const VertexkvxV4* source, VertexkvxV4* destination);

// For k below count: the unit normal of triangle source[k] over its corners
// i0, i1, i2 (right-hand rule, (P2 - P1) x (P0 - P1)), or (0, 0, 0) for a
// degenerate triangle, into the normal of destination[k]. The indices of
// destination are not written; destination may be source.
// Precondition: every index of the first count faces names a vertex of
// `vertices` (the caller has checked them against the vertex count).
void CalculateFaceNormalsV3(const CFace* source, CFace* destination, uint32_t count,
                            const VertexkvxV3* vertices);
void CalculateFaceNormalsV4(const CFace* source, CFace* destination, uint32_t count,
                            const VertexkvxV4* vertices);

// Adds the normal of each of the first faceCount faces into the normals of
// its corners (faces in ascending order, corners i0, i1, i2, components nx,
// ny, nz, each sum rounded once), then normalises the normal of each of the
// first vertexCount vertices in place. The sums start from the normals the
// vertices already hold (the converters zero them); a vertex that no face
// names keeps (0, 0, 0).
// Precondition: every index of those faces is below vertexCount.
void CalculateVertexNormalsV3(const CFace* faces, uint32_t faceCount, VertexkvxV3* vertices,
                              uint32_t vertexCount);
void CalculateVertexNormalsV4(const CFace* faces, uint32_t faceCount, VertexkvxV4* vertices,
                              uint32_t vertexCount);

namespace kvx {

// The smooth vertex normals of a version-3 or version-4 mesh, as kvxconv3
// and kvxconv4 write them: every vertex normal is zeroed, then the face
// normals are computed into `faces` (the caller's work array of
// m.faceCount records; its contents on return are the triangles with their
// normals) and summed into the vertices in face order.
// Precondition: m.version is 3 or 4, its vertex array holds vertexCount
// records and every index of its faceCount triangles is below vertexCount.
void ComputeSmoothNormals(OKVX& m, CFace* faces);

// The same with a work array of its own, released before it returns.
// False, with `failedBytes` set and the normals unchanged, when that array
// cannot be allocated.
bool ComputeSmoothNormals(OKVX& m, uint64_t* failedBytes = nullptr);

}  // namespace kvx
