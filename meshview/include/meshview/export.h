// meshview: a mesh written in the formats other tools read (PLY and OBJ).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// ---- Text meshes (.cmsh) ----
//
// The text mesh that the converter of a file's version reads (kvxconv1 to
// kvxconv4 for versions 1 to 4, kvxpoints for -1, kvxwire for -2), such
// that the converter gives back the file byte for byte. Every value is
// written as a text that the converter reads back to the same bits:
//   - positions and u: the shortest text that reads back as the float;
//   - v (version 4): the stored value is 1 - the text's, so the text holds
//     a t for which the float subtraction 1 - t gives the stored value,
//     the shortest such;
//   - colours: each byte b of the word as the shortest decimal c whose
//     product with 255, truncated, is b (CmshColorText);
//   - a wireframe's edges: triangles whose distinct edges, in kvxwire's
//     order and direction, are the stored edges (PlanCmsh).

// The shortest decimal text c for which the colour rule (the float of c
// times 255, truncated) gives `byte`: "0" for 0, "1" for 255, "0.5" for
// 127, "0.004" for 1.
const char* CmshColorText(uint8_t byte);

// A text for which 1 - (its float), in one float subtraction, gives `v` bit
// for bit, as short as possible; false when no float does (v = -0, a v
// below 2^-24 but above 0, NaNs other than the two that "nan" and "-nan"
// read as).
bool CmshFlippedText(float v, std::string* text);

// What the text of a mesh takes beyond the view: for a wireframe, the
// triangles (three indices each) that give its edges.
struct CmshPlan {
    std::vector<uint16_t> triangles;
};

enum class CmshCheck { ok, refused, no_memory };

// Checks that the text of `view`, loaded from the KVX file `file` (all of
// its bytes), converts back to exactly those bytes, and plans it. Refused,
// with one line in `problem`, are files that no converter writes:
// a magic other than "KVX"; bytes after the last block (or, in version 4, a
// name holding a zero byte or white space); a version-1 colour other than
// 0xFFFF0000; version-3 and -4 normals other than the ones computed from
// the positions; a version -1 face count other than its vertex count; a
// wireframe edge that repeats an earlier one or that no triangle can make
// in its place; a value that no text reads back to (a NaN with a payload,
// a v that no 1 - t gives). no_memory when memory is short.
CmshCheck PlanCmsh(const MeshView& view, std::string_view file, CmshPlan* plan,
                   std::string* problem);

// Writes the text of a planned view (PlanCmsh gave ok): the vertex and face
// counts, one line per vertex (x y z in version 1; the four colour values
// and x y z in versions 2, 3, -1 and -2; u, the flipped v, the colour values
// and x y z in version 4), one line per triangle, and the name (version 4,
// when not empty). Through OutputFile, like the other writers.
bool WriteCmsh(const MeshView& view, const CmshPlan& plan, const char* path, KvxStatus* status);
