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

#include "meshcore/failure.h"
#include "meshtext/color.h"

namespace kvx {

// A triangle mesh as a source file gave it.
//   - positions: x, y, z per vertex, each the float the source holds (text
//     rounded as strtof rounds it, doubles rounded once to float);
//   - colors: one colour word per vertex, packed in the order the reader was
//     asked for, when hasColors; empty otherwise (every vertex is then
//     opaque white);
//   - texCoords: u, v per vertex as the source gives them (not flipped),
//     when hasTexCoords; empty otherwise;
//   - normals: x, y, z per vertex as the source gives them (not
//     normalised again), when hasNormals; empty otherwise. Filled by the
//     assimp route (assimp_reader.h) where every mesh it keeps has them,
//     and with ReadOptions::keepNormals by the OBJ reader where every
//     corner names one and the PLY reader where the vertices hold them;
//   - triangles: three vertex indices per triangle, each below the vertex
//     count; polygons are split as TriangulatePolygon splits them
//     (triangulate.h: convex ones fanned from their first corner);
//   - lines: two vertex indices per line segment, each below the vertex
//     count, for a source whose geometry is lines (the assimp route, when
//     the scene has no triangles); empty otherwise. Points of the source
//     are vertices that no triangle or line uses;
//   - name: the source's own name for the object (OBJ "o", an ASCII STL
//     solid, an assimp mesh or node), empty when it has none.
struct ImportedMesh {
    std::vector<float> positions;
    bool hasColors = false;
    std::vector<uint32_t> colors;
    bool hasTexCoords = false;
    std::vector<float> texCoords;
    bool hasNormals = false;
    std::vector<float> normals;
    std::vector<uint32_t> triangles;
    std::vector<uint32_t> lines;
    std::string name;
    // Things a reader accepted but the user should know, one line each
    // without the program name ("scan.stl: the header announces 10
    // triangles, the file holds 12; all 12 are read").
    std::vector<std::string> warnings;

    size_t vertexCount() const { return positions.size() / 3; }
    size_t triangleCount() const { return triangles.size() / 3; }
    size_t lineCount() const { return lines.size() / 2; }
};

// What a read gives: a mesh, or why there is none. `error.message` is one
// line without the program name and with the path: "scan.ply:12: expected 3
// vertex indices, found end of file", "scan.ply: face 4 names vertex 9 of
// 8", "scan.ply: No such file or directory". Its kind is bad_input (the
// bytes are not a mesh of the format, or the file could not be opened or
// read: then sysErrno says why) or memory (an allocation failed).
struct ImportResult {
    Failure error;
    ImportedMesh mesh;  // meaningful only when ok()

    bool ok() const { return !error; }
};

// The bounds of the assimp worker, the process that reads every format but
// the native ones (formats.h; assimp_reader.h).
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
    // Fill `normals` where the source has them (the assimp route always
    // does): OBJ's "vn", a vertex per distinct position, texture coordinate
    // and normal; PLY's nx, ny, nz.
    bool keepNormals = false;
};

// True when every index is below the vertex count and the per-vertex arrays
// match it: what every reader guarantees of a mesh it returns.
bool IsConsistent(const ImportedMesh& mesh);

}  // namespace kvx
