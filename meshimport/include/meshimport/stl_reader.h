// STL: binary and ASCII.
//
// Binary: an 80-byte header (not read), the triangle count as uint32, then
// 50 bytes per triangle: the normal (not used: normals are computed), three
// corners of three little-endian floats, and two attribute bytes (not used).
// A file is binary when its size is exactly 84 + 50 * count, even if its
// header begins with "solid" as many exporters write; otherwise it is ASCII
// when it begins with "solid" (after white space) and holds no zero byte in
// its first 1024 bytes, and binary in every other case.
//
// The count in the header is checked against the size of the file: a count
// that the file cannot hold is refused. A file that holds more whole
// triangles than its count says (some exporters write 0) is read to its
// last whole triangle, with a warning; bytes after that are ignored.
//
// ASCII: "solid [name]", then facets "facet normal nx ny nz / outer loop /
// vertex x y z (three times) / endloop / endfacet", then "endsolid
// [name]"; keywords in any letter case; further solids may follow. The
// name of the first solid is the mesh's name.
//
// STL shares no vertices: the mesh has three vertices per triangle, in file
// order (kvximport welds them by default).
#pragma once

#include <cstddef>
#include <string>

#include "meshimport/imported_mesh.h"

namespace kvx {

ImportResult ReadStl(const std::string& path, const char* data, size_t size,
                     const ReadOptions& options);

}  // namespace kvx
