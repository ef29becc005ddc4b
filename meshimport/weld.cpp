#include "meshimport/weld.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace kvx {

namespace {

// Vertices that are positions alone (STL's), as below with keys of three
// words known here, each compared in place.
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
        // normal, compared bit for bit (as meshoptimizer's vertex remap
        // compares them): up to 9 words, gathered into its key.
        struct Stream {
            const uint32_t* words;
            size_t size;  // words per vertex
        };
        Stream streams[4];
        size_t count = 0, words = 0;
        auto add = [&](const void* data, size_t size) {
            streams[count++] = {static_cast<const uint32_t*>(data), size};
            words += size;
        };
        static_assert(sizeof(float) == sizeof(uint32_t));
        add(mesh.positions.data(), 3);
        if (mesh.hasColors) add(mesh.colors.data(), 1);
        if (mesh.hasTexCoords) add(mesh.texCoords.data(), 2);
        if (mesh.hasNormals) add(mesh.normals.data(), 3);
        auto keyOf = [&](size_t vertex, uint32_t* key) {
            for (size_t s = 0; s < count; ++s) {
                std::memcpy(key, streams[s].words + vertex * streams[s].size,
                            streams[s].size * sizeof(uint32_t));
                key += streams[s].size;
            }
        };

        // The distinct vertices numbered in the order of their first
        // occurrence, by open addressing: a power of two of slots, at least
        // twice the vertices, each 0 or a kept vertex's number plus 1,
        // probed in turn. The keys of the vertices kept, in `keys`.
        size_t slots = 2;
        while (slots < 2 * n)
            slots *= 2;
        std::vector<uint32_t> table(slots, 0);
        std::vector<uint32_t> remap(n), keys;
        uint32_t kept = 0;
        for (size_t i = 0; i < n; ++i) {
            uint32_t key[9];
            keyOf(i, key);
            uint64_t h = 0;
            for (size_t k = 0; k < words; ++k)
                h = (h ^ key[k]) * 0x9E3779B97F4A7C15u;
            h ^= h >> 29;
            for (size_t at = h & (slots - 1);; at = (at + 1) & (slots - 1)) {
                const uint32_t slot = table[at];
                if (slot == 0) {
                    table[at] = kept + 1;
                    remap[i] = kept++;
                    keys.insert(keys.end(), key, key + words);
                    break;
                }
                if (std::memcmp(&keys[size_t{slot - 1} * words], key, words * sizeof(uint32_t)) ==
                    0) {
                    remap[i] = slot - 1;
                    break;
                }
            }
        }
        std::vector<uint32_t>().swap(table);

        // The kept vertices' arrays from their keys.
        std::vector<float> positions(3 * size_t{kept}), texCoords(mesh.hasTexCoords ? 2 * kept : 0),
            normals(mesh.hasNormals ? 3 * kept : 0);
        std::vector<uint32_t> colors(mesh.hasColors ? kept : 0);
        void* out[4];
        size_t o = 0;
        out[o++] = positions.data();
        if (mesh.hasColors) out[o++] = colors.data();
        if (mesh.hasTexCoords) out[o++] = texCoords.data();
        if (mesh.hasNormals) out[o++] = normals.data();
        for (size_t v = 0; v < kept; ++v) {
            const uint32_t* key = &keys[v * words];
            for (size_t s = 0; s < count; ++s) {
                std::memcpy(static_cast<uint32_t*>(out[s]) + v * streams[s].size, key,
                            streams[s].size * sizeof(uint32_t));
                key += streams[s].size;
            }
        }
        for (uint32_t& index : mesh.triangles)
            index = remap[index];
        for (uint32_t& index : mesh.lines)
            index = remap[index];
        mesh.positions.swap(positions);
        mesh.colors.swap(colors);
        mesh.texCoords.swap(texCoords);
        mesh.normals.swap(normals);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace kvx
