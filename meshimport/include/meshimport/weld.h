// Welding: vertices that are the same in every bit become one.
#pragma once

#include "meshimport/imported_mesh.h"

namespace kvx {

// Merges the vertices of `mesh` whose position, colour word, texture
// coordinates and normal (those the mesh has) are identical bit for bit (so
// 0 and -0 stay apart, and a NaN meets only its own pattern). The merged
// vertices keep the order of their first occurrence; triangles and lines
// are renumbered, and vertices that neither uses are kept like the others. Returns false, with the
// mesh unchanged, when memory is short.
bool WeldVertices(ImportedMesh& mesh);

}  // namespace kvx
