// meshview: a mesh written in the formats other tools read (PLY, OBJ, STL,
// OFF; glTF in meshview/gltf.h), and the choice of a format by the output's
// name. The text mesh (.cmsh) writer is meshtext's (meshtext/cmsh_writer.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "meshcore/okvx.h"
#include "meshview/mesh_view.h"

enum class ExportFormat { ply, obj, cmsh, glb, gltf, stl, off };

// The format named by the extension of `path`: ".ply", ".obj", ".cmsh",
// ".glb", ".gltf", ".stl" or ".off", in any letter case. False for any other
// name.
bool ExportFormatOf(std::string_view path, ExportFormat* format);

// A version-4 name made fit for one line of a header: every control
// character (below 0x20, and 0x7F), a zero byte too, becomes '?'. The PLY
// comment and the OBJ "o" line both show the view's name so, all its
// nameLength bytes.
std::string OneLineName(std::string_view name);

// The writers go through OutputFile: the file at `path` appears complete or
// not at all. They return false when it cannot be written and, given
// `status`, say why. The same mesh and options give the same bytes.

// PLY, binary little-endian. Element `vertex`: float x, y, z; float nx, ny,
// nz (versions 3 and 4); uchar red, green, blue, alpha, read from the colour
// word by `order`; float s, t (version 4, t = 1 - the stored v). Then element
// `face` (versions 1 to 4: a list uchar uint vertex_indices per triangle) or
// `edge` (version -2: int vertex1, vertex2); a point set has vertices only.
// A non-empty version-4 name is the header's one comment.
bool WritePly(const MeshView& view, ColorOrder order, const char* path, KvxStatus* status);

// OBJ text: "o name" (a non-empty version-4 name), "v x y z r g b" per
// vertex, the colour's red, green and blue (read from the colour word by
// `order`; alpha is left out) as byte / 255, the extension of OBJ that
// MeshLab, Blender and assimp read; "vn" (versions 3 and 4) and "vt s t"
// (version 4, t = 1 - the stored v) with the same numbering, then "f a b c",
// "f a//a b//b c//c" or "f a/a/a b/b/b c/c/c" per triangle and "l a b" per
// edge; a point set has vertices only. Indices count from 1; every number
// has nine significant digits ("%.9g", FormatSignificant9), which read back
// to the same float even through a reader that rounds its last digit
// wrongly.
bool WriteObj(const MeshView& view, ColorOrder order, const char* path, KvxStatus* status);

// Binary STL. Precondition: the view is of triangles (versions 1 to 4).
// An 80-byte header ("binary STL written by kvxexport", zero bytes after),
// the triangle count, and per triangle its normal (the unit normal of its
// corners in their order, computed in double; (0, 0, 0) for a triangle of
// no area), its three corners' positions and a zero attribute word. STL
// has no colour, texture coordinates or shared vertices.
bool WriteStl(const MeshView& view, const char* path, KvxStatus* status);

// OFF text, as COFF: every vertex has a colour word. "COFF", the counts
// "<vertices> <faces> 0", per vertex "x y z r g b a" (the bytes 0 to 255,
// read by `order`), then per group its corner count and indices, counting
// from 0: "3 a b c" per triangle; "2 a b" per edge of a wireframe (a face
// of two corners, which OFF readers take as a line or drop); a point set
// has no faces. Numbers as in WriteObj.
bool WriteOff(const MeshView& view, ColorOrder order, const char* path, KvxStatus* status);
