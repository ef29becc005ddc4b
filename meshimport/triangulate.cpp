#include "meshimport/triangulate.h"

namespace kvx {

PolygonSplit TriangulatePolygon(const float*, const uint32_t* corners, uint32_t count,
                                std::vector<uint32_t>& triangles) {
    for (uint32_t k = 1; k + 1 < count; ++k) {
        triangles.push_back(corners[0]);
        triangles.push_back(corners[k]);
        triangles.push_back(corners[k + 1]);
    }
    return PolygonSplit::fan;
}

}  // namespace kvx
