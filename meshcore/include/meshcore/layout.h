// The KVX layouts, said once: for each version code, its vertex record, its
// index block, the save that writes it and the text mesh a converter reads
// it from. Everything that depends on a version (the loader, the saves, the
// checked view, the importer's hand-over, kvxdump, the Python module, the
// fuzz harness) reads this table; the build writes it as JSON
// (kvx-layouts.json) for the three.js loader's test.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "meshcore/okvx.h"

namespace kvx {

// What the index block of a version draws.
enum class Primitive : uint8_t {
    triangles,  // three indices per group
    lines,      // two indices per group
    points,     // no index block: the vertices alone
    records,    // six indices per group, drawn by no program (version -3)
};

// A field's byte offset in a vertex record, or kAbsent.
inline constexpr int8_t kAbsent = -1;

// Which vertex member of OKVX holds a version's records.
enum class VertexMember : uint8_t { v1, v2, v3, v4 };

// What a converter prints on its text output while it reads.
enum class Echo : uint8_t {
    none,                       // nothing (kvxconv3)
    counts_vertices_triangles,  // the counts line, each vertex, each triangle (kvxconv1, 2)
    counts_vertices,            // the counts line and each vertex (kvxpoints)
    progress,                   // eight progress lines (kvxwire)
    name,                       // the name between two bars (kvxconv4)
};

// The text mesh (.cmsh) a converter reads a version from.
struct TextLayout {
    const char* program = nullptr;        // the converter that writes the version; null: none
    uint8_t valuesPerVertex = 0;          // 3, 7 or 9
    int8_t colorAt = kAbsent;             // where the four colour values start in an entry
    int8_t uvAt = kAbsent;                // where u, v stand (v is stored as 1 - v)
    int8_t positionAt = 0;                // where x, y, z stand
    uint32_t fixedColor = 0;              // the colour of every vertex where colorAt is absent
    bool readsTriangles = true;           // false: nothing after the vertices is read
    bool readsName = false;               // one name word after the triangles
    bool smoothNormals = false;           // normals computed from the triangles
    bool faceCountIsVertexCount = false;  // the header's face count repeats the vertex count
    Echo echo = Echo::none;
};

struct Layout {
    int32_t version = 0;
    VertexMember member = VertexMember::v1;
    uint32_t recordSize = 0;  // bytes per vertex record
    // Byte offsets in the record; kAbsent where the record has no such field.
    int8_t colorOffset = kAbsent;
    int8_t positionOffset = kAbsent;
    int8_t normalOffset = kAbsent;
    int8_t uvOffset = kAbsent;
    uint8_t indexValuesPerGroup = 0;  // 16-bit values per counted group of the index block
    Primitive primitive = Primitive::triangles;
    bool hasName = false;  // a name trailer follows the index block
    // The save that writes the version; null where none does (-3).
    SaveOperation save = nullptr;
    TextLayout text;
};

// The layout of a version code, or null for a code that is none of 1, 2, 3,
// 4, -1, -2, -3.
const Layout* LayoutOf(int32_t version);

// Every layout, in the order 1, 2, 3, 4, -1, -2, -3.
std::span<const Layout> Layouts();

// The vertex array of `m` that `layout` names (null when it is not set),
// and the hand-over of one to it (the mesh then owns it).
const void* VertexArrayOf(const OKVX& m, const Layout& layout);
void SetVertexArray(OKVX& m, const Layout& layout, void* records);

// The table as JSON: {"headerSize": 15, "layouts": [{"version": 1, ...}]},
// one object per layout with every field above but the save and the
// converter's echo, and the field offsets under "fields".
std::string LayoutsJson();

}  // namespace kvx
