#include "meshimport/split.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <new>

#ifdef KVX_HAVE_MESHOPTIMIZER
#include <meshoptimizer.h>
#endif

namespace kvx {

namespace {

// The centroids of the triangles, x y z each; a coordinate that is not
// finite, or whose centroid is not, counts as 0.
std::vector<float> Centroids(const ImportedMesh& mesh) {
    const size_t n = mesh.triangleCount();
    std::vector<float> c(3 * n);
    for (size_t t = 0; t < n; ++t) {
        for (size_t k = 0; k < 3; ++k) {
            float sum = 0.0f;
            for (size_t corner = 0; corner < 3; ++corner) {
                float v = mesh.positions[3 * size_t{mesh.triangles[3 * t + corner]} + k];
                sum += std::isfinite(v) ? v : 0.0f;
            }
            float mean = sum / 3.0f;
            c[3 * t + k] = std::isfinite(mean) ? mean : 0.0f;
        }
    }
    return c;
}

#ifndef KVX_HAVE_MESHOPTIMIZER
// Spreads the low 10 bits of v to every third bit.
uint32_t Spread(uint32_t v) {
    v &= 0x3FF;
    v = (v | (v << 16)) & 0x030000FF;
    v = (v | (v << 8)) & 0x0300F00F;
    v = (v | (v << 4)) & 0x030C30C3;
    v = (v | (v << 2)) & 0x09249249;
    return v;
}
#endif

}  // namespace

bool HaveMeshoptimizer() {
#ifdef KVX_HAVE_MESHOPTIMIZER
    return true;
#else
    return false;
#endif
}

std::vector<uint32_t> SpatialTriangleOrder(const ImportedMesh& mesh) {
    const size_t n = mesh.triangleCount();
    std::vector<float> centroids = Centroids(mesh);
    std::vector<uint32_t> order(n);
#ifdef KVX_HAVE_MESHOPTIMIZER
    // remap[t] is the place of triangle t in the spatial order.
    std::vector<unsigned int> remap(n);
    meshopt_spatialSortRemap(remap.data(), centroids.data(), n, 3 * sizeof(float));
    for (size_t t = 0; t < n; ++t)
        order[remap[t]] = static_cast<uint32_t>(t);
#else
    // Morton order of the centroids, quantised to 10 bits per axis over
    // their bounding box; ties keep the original order.
    float low[3] = {0, 0, 0}, high[3] = {0, 0, 0};
    for (size_t t = 0; t < n; ++t) {
        for (size_t k = 0; k < 3; ++k) {
            float v = centroids[3 * t + k];
            if (t == 0 || v < low[k]) low[k] = v;
            if (t == 0 || v > high[k]) high[k] = v;
        }
    }
    std::vector<uint32_t> keys(n);
    for (size_t t = 0; t < n; ++t) {
        uint32_t key = 0;
        for (size_t k = 0; k < 3; ++k) {
            double extent = static_cast<double>(high[k]) - low[k];
            double unit =
                extent > 0 ? (static_cast<double>(centroids[3 * t + k]) - low[k]) / extent : 0.0;
            auto q = static_cast<uint32_t>(std::min(1023.0, std::max(0.0, unit * 1023.0 + 0.5)));
            key |= Spread(q) << (2 - k);
        }
        keys[t] = key;
    }
    for (size_t t = 0; t < n; ++t)
        order[t] = static_cast<uint32_t>(t);
    std::stable_sort(order.begin(), order.end(),
                     [&keys](uint32_t a, uint32_t b) { return keys[a] < keys[b]; });
#endif
    return order;
}

bool SplitMesh(const ImportedMesh& mesh, size_t maxVertices, std::vector<ImportedMesh>& parts) {
    assert(maxVertices >= 3);
    try {
        parts.clear();
        const size_t triangles = mesh.triangleCount();
        const size_t vertices = mesh.vertexCount();
        std::vector<uint32_t> order = SpatialTriangleOrder(mesh);

        // Walk the spatial order; stamp[v] is the part that last took v.
        constexpr uint32_t kNoPart = UINT32_MAX;
        std::vector<uint32_t> stamp(vertices, kNoPart);
        std::vector<uint32_t> partOf(triangles);
        uint32_t part = 0;
        size_t used = 0;
        bool any = false;
        for (uint32_t t : order) {
            const uint32_t* corner = &mesh.triangles[3 * size_t{t}];
            auto fresh = [&](uint32_t p) {
                size_t count = 0;
                for (int k = 0; k < 3; ++k) {
                    bool repeated =
                        (k >= 1 && corner[k] == corner[0]) || (k == 2 && corner[2] == corner[1]);
                    if (!repeated && stamp[corner[k]] != p) ++count;
                }
                return count;
            };
            if (any && used + fresh(part) > maxVertices) {
                ++part;
                used = 0;
            }
            used += fresh(part);
            for (int k = 0; k < 3; ++k)
                stamp[corner[k]] = part;
            partOf[t] = part;
            any = true;
        }
        const size_t partCount = any ? size_t{part} + 1 : 0;

        // Each part's triangles in their original order, its vertices in
        // theirs.
        parts.resize(partCount);
        std::vector<std::vector<uint32_t>> partTriangles(partCount);
        for (size_t t = 0; t < triangles; ++t) {
            partTriangles[partOf[t]].push_back(static_cast<uint32_t>(t));
        }
        // A vertex can belong to several parts, so membership is found part
        // by part: first marked, then numbered in vertex order.
        std::fill(stamp.begin(), stamp.end(), kNoPart);
        std::vector<uint32_t> local(vertices);
        std::vector<uint32_t> members;
        for (size_t p = 0; p < partCount; ++p) {
            ImportedMesh& out = parts[p];
            out.format = mesh.format;
            out.name = mesh.name;
            out.hasColors = mesh.hasColors;
            out.hasTexCoords = mesh.hasTexCoords;
            members.clear();
            for (uint32_t t : partTriangles[p]) {
                for (int k = 0; k < 3; ++k) {
                    uint32_t v = mesh.triangles[3 * size_t{t} + static_cast<size_t>(k)];
                    if (stamp[v] != p) {
                        stamp[v] = static_cast<uint32_t>(p);
                        members.push_back(v);
                    }
                }
            }
            std::sort(members.begin(), members.end());
            for (size_t i = 0; i < members.size(); ++i) {
                const uint32_t v = members[i];
                local[v] = static_cast<uint32_t>(i);
                out.positions.insert(out.positions.end(), &mesh.positions[3 * size_t{v}],
                                     &mesh.positions[3 * size_t{v}] + 3);
                if (out.hasColors) out.colors.push_back(mesh.colors[v]);
                if (out.hasTexCoords) {
                    out.texCoords.insert(out.texCoords.end(), &mesh.texCoords[2 * size_t{v}],
                                         &mesh.texCoords[2 * size_t{v}] + 2);
                }
            }
            out.triangles.reserve(3 * partTriangles[p].size());
            for (uint32_t t : partTriangles[p]) {
                for (int k = 0; k < 3; ++k) {
                    out.triangles.push_back(
                        local[mesh.triangles[3 * size_t{t} + static_cast<size_t>(k)]]);
                }
            }
            std::vector<uint32_t>().swap(partTriangles[p]);
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace kvx
