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
// The triangles are first put in a spatial order (meshoptimizer's spatial
// sort of their centroids where the build has it, else a Morton order of
// the centroids; non-finite coordinates count as 0), and parts are cut
// along that order: a part takes triangles until the next one would bring
// its vertex count above the limit. So parts are compact pieces of the
// surface, not stripes across it. The split is deterministic for a given
// build; builds with and without meshoptimizer may cut differently.
//
// Within a part the triangles keep their original order and the vertices
// their original relative order. Each part has the mesh's format, name and
// flags. Returns false, leaving `parts` unspecified, when memory is short.
bool SplitMesh(const ImportedMesh& mesh, size_t maxVertices, std::vector<ImportedMesh>& parts);

// The order in which the triangles of `mesh` are taken: a permutation of
// 0 .. triangleCount - 1 (exposed for tests). Throws std::bad_alloc when
// memory is short.
std::vector<uint32_t> SpatialTriangleOrder(const ImportedMesh& mesh);

// True when the build sorts with meshoptimizer.
bool HaveMeshoptimizer();

}  // namespace kvx
