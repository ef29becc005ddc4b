// The triangles of one polygon face, as the importers and the meshio plugin
// make them.
#pragma once

#include <cstdint>
#include <vector>

namespace kvx {

// How a polygon became triangles.
enum class PolygonSplit : uint8_t {
    fan,       // convex (or a triangle): the fan (0, k, k + 1) from its first corner
    clipped,   // concave: ear clipping on its best-fit plane (Newell's normal)
    fallback,  // ear clipping could not (self-intersecting, degenerate, a hole's
               // bridge): the fan all the same; the caller warns, counting them
};

// Appends the triangles of the polygon whose `count` corners (count >= 3)
// are corners[0..count), indices of vertices whose x, y, z stand at
// positions[3 * index]: three corner indices per triangle, count - 2
// triangles, each wound as the polygon is. A convex polygon gets exactly the
// fan, so files of convex faces import as they always have; a concave one
// gets triangles that cover exactly the polygon and lie inside it.
// Deterministic: the same corners give the same triangles.
PolygonSplit TriangulatePolygon(const float* positions, const uint32_t* corners, uint32_t count,
                                std::vector<uint32_t>& triangles);

}  // namespace kvx
