// What the Python module builds and checks without Python: a mesh of one KVX
// version from plain arrays, with the converters' checks and messages, and
// the colour words from the forms a caller may give them in. Everything here
// is plain C++ over meshcore and meshtext, tested on its own (also under the
// sanitizers, where the module itself is not built).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "meshcore/failure.h"
#include "meshcore/okvx.h"
#include "meshtext/color.h"

namespace kvxpy {

// True for the version codes a mesh can be built in and saved as:
// 1, 2, 3, 4, -1, -2.
inline bool IsWritableVersion(int32_t version) {
    return kvx::SaveOperationOf(version) != nullptr;
}

// The colour a vertex gets when none is given: kvxconv1's fixed 0xFFFF0000
// in version 1, opaque white 0xFFFFFFFF otherwise.
uint32_t DefaultColor(int32_t version);

// Vertex indices as a caller holds them: rows of `columns` values (3 for
// triangles, 2 for edges), signed or unsigned, at most one of the two
// pointers set. Rows of a null array are none.
struct IndexRows {
    const int64_t* signedValues = nullptr;
    const uint64_t* unsignedValues = nullptr;
    uint64_t rows = 0;
};

// A mesh as arrays, all C-contiguous. Pointers may be null where a count is
// zero; optional arrays are null when not given.
struct MeshSource {
    int32_t version = 3;
    uint64_t vertexCount = 0;
    const float* positions = nullptr;  // vertexCount rows of x, y, z
    const uint32_t* colors = nullptr;  // vertexCount words; null: DefaultColor
    const float* uv = nullptr;         // version 4: vertexCount rows of u, v as in a text
                                       // mesh (Mesh.uv): stored as u, 1 - v (float)
    const float* storedUv = nullptr;   // version 4: rows of u, v as stored (Mesh.stored_uv)
    IndexRows indices;                 // triangles (1..4) or edges (-2); none for -1
    std::string_view name;             // version 4: the name's bytes
};

// Fills the fresh (zero) mesh `m` from `source` as the converter of that
// version would from the same values: records in order, the indices as
// 16-bit values, for versions 3 and 4 the smooth normals of
// kvx::ComputeSmoothNormals, for version 4 the name, for version -1 the
// vertex count as the face count (as kvxpoints writes it). On failure `m` is
// left zero and `message` holds one line, as the converters word it:
//   "face 3 names vertex 8 of 8", "edge 0 names vertex -1 of 4",
//   "face 0 names vertex 70000, beyond the 16-bit index range (at most 65535)",
//   "the vertex count 300000000 is too large (at most 268435455)",
//   "the name is 300 characters long; at most 255 fit",
//   "out of memory (N bytes)" (memory).
// Returns FailureKind::none on success, else bad_input or memory.
// Precondition: IsWritableVersion(source.version), and no more than one of
// uv and storedUv given.
kvx::FailureKind BuildMesh(const MeshSource& source, OKVX& m, std::string& message);

// Checks a version-4 name: at most 255 bytes, none of them zero. False with
// the converters' words in `message`.
bool CheckName(std::string_view name, std::string& message);

// Colour words from four values per vertex as a text mesh gives them
// (PackColor: first value into the high byte). False with
// "vertex 5: colour value 1.5 times 255 is outside 0 to 255" or
// "vertex 5: colour value nan is not a number" for the first bad vertex.
bool PackColors(const float* values, uint64_t count, uint32_t* words, std::string& message);

// Colour words from integers that must lie within 0 to 4294967295. False
// with "vertex 2: colour word -1 is outside 0 to 4294967295".
bool WordsFromIntegers(const int64_t* values, uint64_t count, uint32_t* words,
                       std::string& message);
bool WordsFromIntegers(const uint64_t* values, uint64_t count, uint32_t* words,
                       std::string& message);

// Colour words from red, green, blue, alpha bytes (four per vertex),
// EncodeColor in `order`: the inverse of DecodeColor.
void WordsFromBytes(const uint8_t* rgba, uint64_t count, ColorOrder order, uint32_t* words);

}  // namespace kvxpy
