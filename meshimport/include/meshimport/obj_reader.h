// Wavefront OBJ: the polygon part of the format.
//
// Read: "v x y z", "v x y z w" (w ignored) and "v x y z r g b" (a vertex
// colour, three values from 0 to 1, packed with alpha 1); "vt u [v [w]]"
// (v defaults to 0); "vn" (read and checked, never used: normals are
// computed); "f" with corners "v", "v/vt", "v//vn" or "v/vt/vn", counting
// from 1, negative numbers counting back from the last element defined so
// far (an "f" of one or two corners is a point or a line: checked, then
// dropped); the first "o" name (else the first "g" name) as the name. "l" and "p"
// are dropped, "mtllib", "usemtl", "s" and every other statement ignored.
// "#" starts a comment to the end of the line; a backslash at the end of a
// line joins the next one; lines may end in CR LF.
//
// Every number must be one whole token, read as strtof reads it. Every
// index must name an element defined on an earlier line: 0, and numbers
// beyond what has been defined, are refused with the line.
//
// Vertices: when no face corner names a texture coordinate, the vertices
// are the "v" lines exactly (same order, unused ones kept). Otherwise each
// distinct (v, vt) pair that a corner names becomes one vertex, in the
// order of first use, and "v" lines that no corner names are dropped; a
// corner without vt then pairs its position with (0, 0). Normals never
// split vertices. Faces of n corners become the triangles (0, k, k + 1).
#pragma once

#include <cstddef>
#include <string>

#include "meshimport/imported_mesh.h"

namespace kvx {

// Reads the OBJ text [data, data + size); `path` names it in messages.
ImportResult ReadObj(const std::string& path, const char* data, size_t size,
                     const ReadOptions& options);

}  // namespace kvx
