// meshview: a mesh written in the formats other tools read (PLY and OBJ),
// and the choice of a format by the output's name. The text mesh (.cmsh)
// writer is meshtext's (meshtext/cmsh_writer.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "meshcore/okvx.h"
#include "meshview/mesh_view.h"

enum class ExportFormat { ply, obj, cmsh };

// The format named by the extension of `path`: ".ply", ".obj" or ".cmsh",
// in any letter case. False for any other name.
bool ExportFormatOf(std::string_view path, ExportFormat* format);

// A version-4 name made fit for one line of a header: every control
// character (below 0x20, and 0x7F), a zero byte too, becomes '?'. The PLY
// comment and the OBJ "o" line both show the view's name so, all its
// nameLength bytes.
std::string OneLineName(std::string_view name);

// Both writers go through OutputFile: the file at `path` appears complete or
// not at all. They return false when it cannot be written and, given
// `status`, say why. The same mesh and options give the same bytes.

// PLY, binary little-endian. Element `vertex`: float x, y, z; float nx, ny,
// nz (versions 3 and 4); uchar red, green, blue, alpha, read from the colour
// word by `order`; float s, t (version 4, t = 1 - the stored v). Then element
// `face` (versions 1 to 4: a list uchar uint vertex_indices per triangle) or
// `edge` (version -2: int vertex1, vertex2); a point set has vertices only.
// A non-empty version-4 name is the header's one comment.
bool WritePly(const MeshView& view, ColorOrder order, const char* path, KvxStatus* status);

// OBJ text: "o name" (a non-empty version-4 name), "v x y z" per vertex,
// "vn" (versions 3 and 4) and "vt s t" (version 4, t = 1 - the stored v)
// with the same numbering, then "f a b c", "f a//a b//b c//c" or
// "f a/a/a b/b/b c/c/c" per triangle and "l a b" per edge; a point set has
// vertices only. Indices count from 1; numbers are the shortest text that
// reads back to the same float. OBJ has no standard vertex colour, so
// colours are not written.
bool WriteObj(const MeshView& view, const char* path, KvxStatus* status);
