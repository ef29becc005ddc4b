#include "meshimport/weld.h"

#include <meshoptimizer.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace kvx {

namespace {

// Vertices that are positions alone (STL's): the same numbering as
// meshoptimizer's remap, by open addressing over the positions' bits: a
// power of two of slots, at least twice the vertices, each 0 or the first
// vertex of its position plus 1, probed in turn.
void WeldPositions(ImportedMesh& mesh) {
    const size_t n = mesh.vertexCount();
    size_t slots = 2;
    while (slots < 2 * n)
        slots *= 2;
    std::vector<uint32_t> table(slots, 0);
    std::vector<uint32_t> remap(n);
    std::vector<float> positions;
    const float* in = mesh.positions.data();
    uint32_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
        uint32_t bits[3];
        std::memcpy(bits, in + 3 * i, sizeof bits);
        uint64_t h = bits[0] * 0x9E3779B97F4A7C15u ^ bits[1] * 0xC2B2AE3D27D4EB4Fu ^
                     bits[2] * 0x165667B19E3779F9u;
        h ^= h >> 29;
        for (size_t at = h & (slots - 1);; at = (at + 1) & (slots - 1)) {
            const uint32_t slot = table[at];
            if (slot == 0) {
                table[at] = static_cast<uint32_t>(i + 1);
                remap[i] = kept++;
                positions.insert(positions.end(), in + 3 * i, in + 3 * i + 3);
                break;
            }
            if (std::memcmp(in + 3 * (slot - 1), bits, sizeof bits) == 0) {
                remap[i] = remap[slot - 1];
                break;
            }
        }
    }
    for (uint32_t& index : mesh.triangles)
        index = remap[index];
    for (uint32_t& index : mesh.lines)
        index = remap[index];
    mesh.positions.swap(positions);
}

}  // namespace

bool WeldVertices(ImportedMesh& mesh) {
    const size_t n = mesh.vertexCount();
    // The remap numbers vertices with 32 bits, as the triangles do.
    if (n > UINT32_MAX) return false;
    if (n == 0) return true;
    try {
        if (!mesh.hasColors && !mesh.hasTexCoords && !mesh.hasNormals) {
            WeldPositions(mesh);
            return true;
        }
        // A vertex is its position, colour word, texture coordinates and
        // normal, compared byte for byte; meshoptimizer numbers the distinct
        // ones in the order of their first occurrence.
        meshopt_Stream streams[4] = {{mesh.positions.data(), 3 * sizeof(float), 3 * sizeof(float)}};
        size_t count = 1;
        if (mesh.hasColors)
            streams[count++] = {mesh.colors.data(), sizeof(uint32_t), sizeof(uint32_t)};
        if (mesh.hasTexCoords)
            streams[count++] = {mesh.texCoords.data(), 2 * sizeof(float), 2 * sizeof(float)};
        if (mesh.hasNormals)
            streams[count++] = {mesh.normals.data(), 3 * sizeof(float), 3 * sizeof(float)};
        // The vertices in their order, the last repeated up to a multiple
        // of 3: meshoptimizer 0.18 takes a list of that length only.
        std::vector<unsigned int> order((n + 2) / 3 * 3);
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = static_cast<unsigned int>(i < n ? i : n - 1);
        std::vector<unsigned int> remap(n);
        const size_t kept = meshopt_generateVertexRemapMulti(remap.data(), order.data(),
                                                             order.size(), n, streams, count);
        std::vector<unsigned int>().swap(order);

        std::vector<float> positions(3 * kept), texCoords(mesh.hasTexCoords ? 2 * kept : 0),
            normals(mesh.hasNormals ? 3 * kept : 0);
        std::vector<uint32_t> colors(mesh.hasColors ? kept : 0), triangles(mesh.triangles.size()),
            lines(mesh.lines.size());
        meshopt_remapVertexBuffer(positions.data(), mesh.positions.data(), n, 3 * sizeof(float),
                                  remap.data());
        if (mesh.hasColors) {
            meshopt_remapVertexBuffer(colors.data(), mesh.colors.data(), n, sizeof(uint32_t),
                                      remap.data());
        }
        if (mesh.hasTexCoords) {
            meshopt_remapVertexBuffer(texCoords.data(), mesh.texCoords.data(), n, 2 * sizeof(float),
                                      remap.data());
        }
        if (mesh.hasNormals) {
            meshopt_remapVertexBuffer(normals.data(), mesh.normals.data(), n, 3 * sizeof(float),
                                      remap.data());
        }
        for (size_t k = 0; k < triangles.size(); ++k)
            triangles[k] = remap[mesh.triangles[k]];
        for (size_t k = 0; k < lines.size(); ++k)
            lines[k] = remap[mesh.lines[k]];
        mesh.positions.swap(positions);
        mesh.colors.swap(colors);
        mesh.texCoords.swap(texCoords);
        mesh.normals.swap(normals);
        mesh.triangles.swap(triangles);
        mesh.lines.swap(lines);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace kvx
