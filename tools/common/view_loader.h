// What kvxrender and kvxexport share: their input, a KVX file of any
// version with geometry, loaded and seen through a checked view.
#pragma once

#include "meshcore/okvx.h"
#include "meshview/mesh_view.h"

// Loads the KVX file at `path` into `m` (a fresh, zero mesh) and returns a
// view of it whose every index is checked. Throws a RunFailure when the
// file cannot be loaded or holds no geometry this view can show: "not a
// KVX file" for one with neither the magic nor an accepted version; when a
// file of an accepted version does not begin with "KVX", the refusal says
// so too.
MeshView LoadCheckedView(const char* path, OKVX& m);
