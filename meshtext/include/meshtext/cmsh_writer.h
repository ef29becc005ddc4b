// The writer of the text mesh format (".cmsh"): for a loaded KVX file, the
// text that the converter of its version reads (kvxconv1 to kvxconv4 for
// versions 1 to 4, kvxpoints for -1, kvxwire for -2, as kvx::LayoutOf names
// them), such that the converter gives back the file byte for byte. Every
// value is written as a text that the converter reads back to the same bits:
//   - positions and u: the shortest text that reads back as the float;
//   - v (version 4): the stored value is 1 - the text's, so the text holds
//     a t for which the float subtraction 1 - t gives the stored value,
//     the shortest such;
//   - colours: each byte b of the word as the shortest decimal c whose
//     product with 255, truncated, is b (CmshColorText);
//   - a wireframe's edges: triangles whose distinct edges, in kvxwire's
//     order and direction, are the stored edges (PlanCmsh).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "meshcore/failure.h"
#include "meshcore/okvx.h"

// The shortest decimal text c for which the colour rule (the float of c
// times 255, truncated) gives `byte`: "0" for 0, "1" for 255, "0.5" for
// 127, "0.004" for 1.
const char* CmshColorText(uint8_t byte);

// A text for which 1 - (its float), in one float subtraction, gives `v` bit
// for bit, as short as possible; false when no float does (v = -0, a v
// below 2^-24 but above 0, NaNs other than the two that "nan" and "-nan"
// read as).
bool CmshFlippedText(float v, std::string* text);

// What the text of a mesh takes beyond the mesh: for a wireframe, the
// triangles (three indices each) that give its edges.
struct CmshPlan {
    std::vector<uint16_t> triangles;
};

// Checks that the text of `m`, loaded from the KVX file `file` (all of its
// bytes), converts back to exactly those bytes, and plans it. Precondition:
// every index of `m` names one of its vertices (MakeMeshView checks that).
// A bad_input failure, its message one line without the file's name, for a
// file that no converter writes: a version without a converter (0, -3); a
// magic other than "KVX"; bytes after the last block (or, in version 4, a
// name holding a zero byte or white space); a version-1 colour other than
// 0xFFFF0000; version-3 and -4 normals other than the ones computed from
// the positions; a version -1 face count other than its vertex count; a
// wireframe edge that repeats an earlier one or that no triangle can make
// in its place; a value that no text reads back to (a NaN with a payload,
// a v that no 1 - t gives). A memory failure when memory is short.
kvx::Failure PlanCmsh(const OKVX& m, std::string_view file, CmshPlan* plan);

// Writes the text of a planned mesh (PlanCmsh gave no failure): the vertex
// and face counts, one line per vertex (x y z in version 1; the four colour
// values and x y z in versions 2, 3, -1 and -2; u, the flipped v, the colour
// values and x y z in version 4), one line per triangle, and the name
// (version 4, when not empty). Through OutputFile: the file at `path`
// appears complete or not at all; false when it cannot be written, with
// the reason in `status` when given.
bool WriteCmsh(const OKVX& m, const CmshPlan& plan, const char* path, KvxStatus* status);
