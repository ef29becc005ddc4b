// An imported mesh as a KVX mesh of a given version, built exactly as the
// converters build theirs from the same values: kvxconv1's fixed colour,
// kvxconv3's and kvxconv4's smooth normals (kvx::ComputeSmoothNormals),
// kvxconv4's flipped v and name, kvxpoints' header, kvxwire's edges.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "meshcore/failure.h"
#include "meshcore/okvx.h"
#include "meshimport/imported_mesh.h"

namespace kvx {

// The version codes kvximport writes, those with a save (meshcore/layout.h):
// 1, 2, 3, 4, -1 and -2.
bool IsImportVersion(int32_t version);

// Every import version but the point set (-1) is made of triangles (or
// their edges) and needs at least one.
bool NeedsTriangles(int32_t version);

// The wireframe (-2) is made of edges: a triangle's three, or a line
// segment of the source.
bool TakesLines(int32_t version);

// True when `mesh` has what version `version` is made of: triangles, or
// for the wireframe triangles or lines; anything for the point set.
bool HasGeometryFor(const ImportedMesh& mesh, int32_t version);

// Every import version but the point set (-1) indexes its vertices with 16
// bits: at most 65,536 vertices.
bool HasIndices(int32_t version);

// A name that kvxconv4 could have read: one word of at most 255 bytes,
// with no white space and no zero byte. False for anything else; `why`
// then says what is wrong ("is 300 bytes long; at most 255 fit").
bool IsValidKvxName(std::string_view name, std::string* why = nullptr);

// A name from a file (its object name, its file name) made valid: every
// white-space and zero byte becomes '_', and a name longer than 255 bytes
// is cut to 255, or fewer so as not to split a UTF-8 sequence.
std::string FitKvxName(std::string_view name);

// Fills `out` (a fresh, zero mesh) with `mesh` as version `version`
// (IsImportVersion), named `name` (version 4; IsValidKvxName), by the
// version's layout. Per vertex: the position as read; the colour word as
// read, 0xFFFFFFFF (opaque white) when the mesh has no colours, the fixed
// colour of a layout whose text has none (kvxconv1's 0xFFFF0000 in version
// 1); u as read and 1 - v (one float subtraction) where the record has
// them, (0, 0) when the mesh has no texture coordinates; where the
// converter computes normals (versions 3 and 4), the mesh's own normals as
// read when `sourceNormals` and the mesh has them, else zero normals that
// ComputeSmoothNormals then fills. Triangles keep their order. Version -1
// writes the vertex count as its face count; version -2 the distinct
// undirected edges of the triangles, (a, b), (b, c), (c, a), then of the
// line segments, each in the order and direction of its first occurrence.
//
// Fails with bad_input, "<n> vertices are too many for one file" (more
// than 65,536 for a version with indices) or "no triangles" (a version that
// needs them and, for version -2, no lines either), or memory, "out of
// memory (<n> bytes)". On failure the arrays allocated so far stay in `out`
// for KvxRelease.
Failure ToKvx(const ImportedMesh& mesh, int32_t version, std::string_view name, OKVX& out,
              bool sourceNormals = false);

// Saves `m` with the save operation of its `version` member.
bool SaveKvx(const OKVX& m, const char* path, KvxStatus* status);

}  // namespace kvx
