// meshview: a loaded KVX mesh of any version that carries geometry, seen
// through one interface.
#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "meshcore/layout.h"
#include "meshcore/okvx.h"
#include "meshtext/color.h"

// What the index block of a mesh groups its vertices into (never records:
// no view is made of version -3).
using kvx::Primitive;

// The vertices and index groups of one mesh, whatever its version. It points
// into the arrays of the OKVX it was made from, which must outlive it.
struct MeshView {
    int32_t version = 0;
    Primitive primitive = Primitive::points;
    uint32_t vertexCount = 0;
    uint32_t groupCount = 0;            // triangles or lines; 0 for points
    const uint16_t* indices = nullptr;  // 3 (triangles) or 2 (lines) per group, all < vertexCount
    const unsigned char* records = nullptr;
    uint32_t recordSize = 0;
    uint32_t colorOffset = 0;
    uint32_t positionOffset = 0;
    bool hasNormals = false;  // versions 3 and 4
    uint32_t normalOffset = 0;
    bool hasTexture = false;  // version 4
    uint32_t textureOffset = 0;
    const char* name = nullptr;  // version 4: the zero-terminated name; else null
    // Version 4: the name's bytes up to its last non-zero one, so that a
    // zero byte inside the name, which ends it as a C string, is counted.
    uint32_t nameLength = 0;

    uint32_t groupSize() const {
        return primitive == Primitive::triangles ? 3 : primitive == Primitive::lines ? 2 : 0;
    }
};

// Makes a view of a loaded mesh: versions 1 to 4 as triangles, -2 as lines,
// -1 as points. The loader does not compare indices with the vertex count,
// so every index is checked here, and nothing reads a vertex it does not
// name. Returns false with one line in `error` for another version
// ("version -3 is not supported (versions 1 to 4, -1 and -2 are)") or an
// index out of range ("face 4 names vertex 9 of 8", "edge 0 names vertex 2
// of 2"); groups are counted from 0.
bool MakeMeshView(const OKVX& m, MeshView* view, std::string* error);

// Fields of vertex i. Precondition: i < vertexCount.
inline uint32_t ViewColor(const MeshView& v, uint32_t i) {
    assert(i < v.vertexCount);
    uint32_t color;
    std::memcpy(&color, v.records + size_t{i} * v.recordSize + v.colorOffset, sizeof color);
    return color;
}

inline CVector ViewPosition(const MeshView& v, uint32_t i) {
    assert(i < v.vertexCount);
    CVector p;
    std::memcpy(&p, v.records + size_t{i} * v.recordSize + v.positionOffset, sizeof p);
    return p;
}

// The stored vertex normal; (0, 0, 0) for a version without normals.
inline CVector ViewNormal(const MeshView& v, uint32_t i) {
    assert(i < v.vertexCount);
    CVector n{0.0f, 0.0f, 0.0f};
    if (v.hasNormals)
        std::memcpy(&n, v.records + size_t{i} * v.recordSize + v.normalOffset, sizeof n);
    return n;
}

// Texture coordinates as the text gave them: s = u, and t = 1 - v, since a
// version-4 file stores 1 minus the text's second coordinate. (0, 0) for a
// version without them.
struct TexCoord {
    float s, t;
};
inline TexCoord ViewTexCoord(const MeshView& v, uint32_t i) {
    assert(i < v.vertexCount);
    if (!v.hasTexture) return {0.0f, 0.0f};
    float uv[2];
    std::memcpy(uv, v.records + size_t{i} * v.recordSize + v.textureOffset, sizeof uv);
    return {uv[0], 1.0f - uv[1]};
}
