// meshimport: meshes read from the file formats of other tools, as plain
// data, before they become KVX files.
//
// Every reader works in the manner of std::from_chars: it never throws, it
// takes the bytes of a file (or a path) and options, and returns either a
// mesh or one error saying where it stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "meshtext/color.h"

namespace kvx {

// The formats kvximport reads: four by its own readers, the rest through
// assimp.
enum class ImportFormat { obj, ply, stl, off, assimp };

// "obj", "ply", "stl", "off" or "assimp".
const char* ImportFormatName(ImportFormat format);

// A triangle mesh as a source file gave it.
//   - positions: x, y, z per vertex, each the float the source holds (text
//     rounded as strtof rounds it, doubles rounded once to float);
//   - colors: one colour word per vertex, packed in the order the reader was
//     asked for, when hasColors; empty otherwise (every vertex is then
//     opaque white);
//   - texCoords: u, v per vertex as the source gives them (not flipped),
//     when hasTexCoords; empty otherwise;
//   - triangles: three vertex indices per triangle, each below the vertex
//     count; polygons are fanned from their first corner. Points and lines
//     of the source are dropped;
//   - name: the source's own name for the object (OBJ "o", an ASCII STL
//     solid, an assimp mesh or node), empty when it has none.
struct ImportedMesh {
    ImportFormat format = ImportFormat::obj;
    std::vector<float> positions;
    bool hasColors = false;
    std::vector<uint32_t> colors;
    bool hasTexCoords = false;
    std::vector<float> texCoords;
    std::vector<uint32_t> triangles;
    std::string name;
    // Things a reader accepted but the user should know, one line each
    // without the program name ("scan.stl: the header announces 10
    // triangles, the file holds 12; all 12 are read").
    std::vector<std::string> warnings;

    size_t vertexCount() const { return positions.size() / 3; }
    size_t triangleCount() const { return triangles.size() / 3; }
};

enum class ImportErrc {
    ok,
    bad_input,      // the bytes are not a mesh of the format (or not one this reader takes)
    out_of_memory,  // an allocation failed
    read_failed,    // the file could not be opened or read; sysErrno says why
};

// Why a read failed. `message` is one line without the program name and
// with the path: "scan.ply:12: expected 3 vertex indices, found end of
// file", "scan.ply: face 4 names vertex 9 of 8", "scan.ply: No such file or
// directory". `line` is the 1-based line of a text format, or 0.
struct ImportError {
    ImportErrc kind = ImportErrc::ok;
    int sysErrno = 0;
    size_t line = 0;
    std::string message;
};

struct ImportResult {
    ImportError error;
    ImportedMesh mesh;  // meaningful only when ok()

    bool ok() const { return error.kind == ImportErrc::ok; }
};

// The bounds of the assimp worker, the process that reads every format but
// the four of meshimport's own (assimp_reader.h).
struct ReaderLimits {
    uint64_t memoryBytes = uint64_t{2} << 30;  // its address space: 2 GiB
    uint32_t seconds = 120;                    // processor and elapsed time
    uint64_t answerBytes = uint64_t{1} << 30;  // the meshes it sends back: 1 GiB
};

// What every reader is told.
struct ReadOptions {
    // How colours become one word: argb puts alpha in bits 24 to 31, then
    // red, green and blue; rgba puts red there, then green, blue and alpha.
    ColorOrder colorOrder = ColorOrder::argb;
};

// True when every index is below the vertex count and the per-vertex arrays
// match it: what every reader guarantees of a mesh it returns.
bool IsConsistent(const ImportedMesh& mesh);

}  // namespace kvx
