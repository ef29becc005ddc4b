// PLY (Stanford polygon files): ASCII, binary little-endian and binary
// big-endian.
//
// The header may declare any elements with properties of any type (char,
// uchar, short, ushort, int, uint, float, double, and the aliases int8 ...
// float64) and lists of any integer count type; element counts go up to
// 4294967295. What is used:
//   - element "vertex": x, y, z (required; integers and doubles are rounded
//     once to float, ASCII text as strtof rounds it); red, green, blue and
//     an optional alpha (also diffuse_red ...): integer types give the
//     colour bytes directly (each 0 to 255), float types are packed as text
//     colours are; texture coordinates s, t (or u, v, texture_u, texture_v,
//     texture_s, texture_t);
//   - element "face": the list "vertex_indices" (or "vertex_index") of
//     integers, each naming a vertex; polygons become the triangles
//     (0, k, k + 1), and faces of fewer than 3 corners (points and lines,
//     as some exporters write them) are dropped.
// Every other property and element is read past (binary sizes exactly,
// lists included) and not used.
//
// Before anything is allocated, the element counts are checked against the
// bytes after the header: a binary element takes exactly the bytes of its
// types (at least those of its list counts), an ASCII value at least two
// characters. Vertices keep their order, unused ones included.
#pragma once

#include <cstddef>
#include <string>

#include "meshimport/imported_mesh.h"

namespace kvx {

ImportResult ReadPly(const std::string& path, const char* data, size_t size,
                     const ReadOptions& options);

}  // namespace kvx
