// OFF (Geomview object files) in text form: the header keyword, optionally
// with the prefixes ST (texture coordinates), C (vertex colours) and N
// (vertex normals), in that order: OFF, COFF, NOFF, CNOFF, STOFF, STCOFF,
// STNOFF, STCNOFF. The keyword may be left out. 4OFF and nOFF (vertices of
// other dimensions) and binary OFF are refused.
//
// Then the vertex, face and (ignored) edge counts, on the keyword's line or
// the next; one vertex per line: x y z, then nx ny nz (N; read, not used),
// then the colour (C: red green blue [alpha]), then s t (ST); one face per
// line: the corner count n, n vertex indices counting from 0, and an
// optional face colour of up to four numbers, which is read and ignored:
// KVX holds colours per vertex only. Faces of one or two corners are points
// and lines: their indices are checked, then they are dropped. "#" starts a comment to the
// end of the line; empty lines are skipped. Whatever follows the last face
// is not read.
//
// Colours: when every colour value of the file is written as an integer
// (no point, no exponent), they are bytes from 0 to 255; otherwise they are
// values from 0 to 1, packed as text colours are. A missing alpha is opaque.
// Vertices keep their order, unused ones included; polygons become the
// triangles (0, k, k + 1).
#pragma once

#include <cstddef>
#include <string>

#include "meshimport/imported_mesh.h"

namespace kvx {

ImportResult ReadOff(const std::string& path, const char* data, size_t size,
                     const ReadOptions& options);

}  // namespace kvx
