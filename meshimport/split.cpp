#include "meshimport/split.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <new>

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

class Bisection {
public:
    Bisection(const ImportedMesh& source, size_t maxVertices)
        : mesh_(source),
          maxVertices_(maxVertices),
          centroids_(Centroids(source)),
          stamp_(source.vertexCount(), 0) {}

    // Cuts [first, last) of the triangle list until each piece fits, and
    // appends the pieces to `cells` in order.
    void cut(uint32_t* first, uint32_t* last, std::vector<std::vector<uint32_t>>& cells) {
        if (vertices(first, last) <= maxVertices_) {
            cells.emplace_back(first, last);
            std::sort(cells.back().begin(), cells.back().end());
            return;
        }
        float low[3], high[3];
        for (size_t k = 0; k < 3; ++k) {
            low[k] = high[k] = centroids_[3 * size_t{*first} + k];
        }
        for (const uint32_t* t = first; t < last; ++t) {
            for (size_t k = 0; k < 3; ++k) {
                const float v = centroids_[3 * size_t{*t} + k];
                low[k] = std::min(low[k], v);
                high[k] = std::max(high[k], v);
            }
        }
        size_t axis = 0;
        for (size_t k = 1; k < 3; ++k) {
            if (static_cast<double>(high[k]) - low[k] > static_cast<double>(high[axis]) - low[axis])
                axis = k;
        }
        uint32_t* middle = first + (last - first) / 2;
        const std::vector<float>& c = centroids_;
        std::nth_element(first, middle, last, [&c, axis](uint32_t a, uint32_t b) {
            const float ca = c[3 * size_t{a} + axis], cb = c[3 * size_t{b} + axis];
            return ca < cb || (ca == cb && a < b);
        });
        cut(first, middle, cells);
        cut(middle, last, cells);
    }

private:
    // The number of distinct vertices the triangles [first, last) use.
    size_t vertices(const uint32_t* first, const uint32_t* last) {
        ++round_;
        size_t count = 0;
        for (const uint32_t* t = first; t < last; ++t) {
            for (size_t k = 0; k < 3; ++k) {
                uint32_t& s = stamp_[mesh_.triangles[3 * size_t{*t} + k]];
                if (s != round_) {
                    s = round_;
                    ++count;
                }
            }
        }
        return count;
    }

    const ImportedMesh& mesh_;
    const size_t maxVertices_;
    const std::vector<float> centroids_;
    std::vector<uint32_t> stamp_;
    uint32_t round_ = 0;
};

}  // namespace

bool SplitMesh(const ImportedMesh& mesh, size_t maxVertices, std::vector<ImportedMesh>& parts) {
    assert(maxVertices >= 3);
    try {
        parts.clear();
        std::vector<uint32_t> triangles(mesh.triangleCount());
        for (size_t t = 0; t < triangles.size(); ++t)
            triangles[t] = static_cast<uint32_t>(t);
        std::vector<std::vector<uint32_t>> cells;
        if (!triangles.empty()) {
            Bisection(mesh, maxVertices)
                .cut(triangles.data(), triangles.data() + triangles.size(), cells);
        }
        std::vector<uint32_t>().swap(triangles);

        // Each cell's vertices in their original order, numbered anew.
        constexpr uint32_t kNone = UINT32_MAX;
        std::vector<uint32_t> local(mesh.vertexCount(), kNone);
        std::vector<uint32_t> members;
        parts.resize(cells.size());
        for (size_t p = 0; p < cells.size(); ++p) {
            ImportedMesh& out = parts[p];
            out.name = mesh.name;
            out.hasColors = mesh.hasColors;
            out.hasTexCoords = mesh.hasTexCoords;
            out.hasNormals = mesh.hasNormals;
            members.clear();
            for (uint32_t t : cells[p]) {
                for (size_t k = 0; k < 3; ++k) {
                    const uint32_t v = mesh.triangles[3 * size_t{t} + k];
                    if (local[v] == kNone) {
                        local[v] = 0;
                        members.push_back(v);
                    }
                }
            }
            std::sort(members.begin(), members.end());
            for (size_t i = 0; i < members.size(); ++i) {
                const size_t v = members[i];
                local[v] = static_cast<uint32_t>(i);
                out.positions.insert(out.positions.end(), &mesh.positions[3 * v],
                                     &mesh.positions[3 * v] + 3);
                if (out.hasColors) out.colors.push_back(mesh.colors[v]);
                if (out.hasTexCoords) {
                    out.texCoords.insert(out.texCoords.end(), &mesh.texCoords[2 * v],
                                         &mesh.texCoords[2 * v] + 2);
                }
                if (out.hasNormals) {
                    out.normals.insert(out.normals.end(), &mesh.normals[3 * v],
                                       &mesh.normals[3 * v] + 3);
                }
            }
            out.triangles.reserve(3 * cells[p].size());
            for (uint32_t t : cells[p]) {
                for (size_t k = 0; k < 3; ++k) {
                    out.triangles.push_back(local[mesh.triangles[3 * size_t{t} + k]]);
                }
            }
            for (uint32_t v : members)
                local[v] = kNone;
            std::vector<uint32_t>().swap(cells[p]);
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace kvx
