#include "meshimport/weld.h"

#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kvx {

namespace {

// A vertex's bytes: position, colour, texture coordinates.
struct Key {
    unsigned char bytes[24];

    bool operator==(const Key& other) const {
        return std::memcmp(bytes, other.bytes, sizeof bytes) == 0;
    }
};

struct KeyHash {
    size_t operator()(const Key& k) const {
        return std::hash<std::string_view>()(
            std::string_view(reinterpret_cast<const char*>(k.bytes), sizeof k.bytes));
    }
};

Key KeyOf(const ImportedMesh& mesh, size_t i) {
    Key k{};
    std::memcpy(k.bytes, &mesh.positions[3 * i], 12);
    if (mesh.hasColors) std::memcpy(k.bytes + 12, &mesh.colors[i], 4);
    if (mesh.hasTexCoords) std::memcpy(k.bytes + 16, &mesh.texCoords[2 * i], 8);
    return k;
}

}  // namespace

bool WeldVertices(ImportedMesh& mesh) {
    try {
        const size_t n = mesh.vertexCount();
        std::unordered_map<Key, uint32_t, KeyHash> first;
        first.reserve(n);
        std::vector<uint32_t> newIndex(n);
        ImportedMesh out;
        out.format = mesh.format;
        out.hasColors = mesh.hasColors;
        out.hasTexCoords = mesh.hasTexCoords;
        for (size_t i = 0; i < n; ++i) {
            auto [it, added] =
                first.try_emplace(KeyOf(mesh, i), static_cast<uint32_t>(out.vertexCount()));
            newIndex[i] = it->second;
            if (!added) continue;
            out.positions.insert(out.positions.end(), &mesh.positions[3 * i],
                                 &mesh.positions[3 * i] + 3);
            if (out.hasColors) out.colors.push_back(mesh.colors[i]);
            if (out.hasTexCoords) {
                out.texCoords.insert(out.texCoords.end(), &mesh.texCoords[2 * i],
                                     &mesh.texCoords[2 * i] + 2);
            }
        }
        out.triangles.reserve(mesh.triangles.size());
        for (uint32_t index : mesh.triangles)
            out.triangles.push_back(newIndex[index]);
        out.name = std::move(mesh.name);
        out.warnings = std::move(mesh.warnings);
        mesh = std::move(out);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace kvx
