// Splitting a mesh that has more vertices than one KVX file can index.
#pragma once

#include <cstddef>
#include <vector>

#include "meshimport/imported_mesh.h"

namespace kvx {

// The most vertices a KVX file with an index block can name: indices are
// 16-bit.
inline constexpr size_t kKvxMostVertices = 65536;

// Splits the triangles of `mesh` into parts of at most `maxVertices`
// vertices each (maxVertices >= 3). Every triangle goes to exactly one
// part; a vertex that triangles of several parts use is copied into each,
// and vertices that no triangle uses are left out.
//
// The parts are the cells of a recursive bisection of the triangles by
// their centroids: a set of triangles that uses more than maxVertices
// vertices is cut in two at the median centroid along the longest side of
// the centroids' bounding box (ties in the order of the triangles;
// coordinates that are not finite count as 0), and each half is cut again
// until it fits. So parts are compact boxes of the surface, never stripes
// across it, of between about a quarter and all of the limit for an even
// surface; the parts are listed half before half, so neighbours in the
// list are neighbours in space. The result depends on the mesh alone, the
// same on every build.
//
// Within a part the triangles keep their original order and the vertices
// their original relative order. Each part has the mesh's name and
// flags. Returns false, leaving `parts` unspecified, when memory is short.
bool SplitMesh(const ImportedMesh& mesh, size_t maxVertices, std::vector<ImportedMesh>& parts);

}  // namespace kvx
