#include "meshimport/to_kvx.h"

#include <cassert>
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

#include "meshcore/normals.h"
#include "meshimport/split.h"
#include "meshtext/tokens.h"

namespace kvx {

namespace {

constexpr uint32_t kOpaqueWhite = 0xFFFFFFFFu;
constexpr uint32_t kConv1Color = 0xFFFF0000u;  // kvxconv1's 255, 255, 0, 0

template <typename T>
bool Allocate(T*& array, uint64_t count, uint64_t* failedBytes) {
    array = KvxAllocateArray<T>(count);
    if (array != nullptr) return true;
    if (failedBytes) *failedBytes = count * sizeof(T);
    return false;
}

// kvxwire's edges: (a, b), (b, c), (c, a) of each triangle, each kept the
// first time it occurs in either direction.
bool Edges(const ImportedMesh& mesh, OKVX& out, uint64_t* failedBytes) {
    std::vector<uint16_t> edges;
    try {
        std::unordered_set<uint32_t> seen;
        for (size_t t = 0; t < mesh.triangleCount(); ++t) {
            const uint32_t* c = &mesh.triangles[3 * t];
            const uint32_t pairs[3][2] = {{c[0], c[1]}, {c[1], c[2]}, {c[2], c[0]}};
            for (const auto& e : pairs) {
                uint32_t low = e[0] < e[1] ? e[0] : e[1], high = e[0] < e[1] ? e[1] : e[0];
                if (!seen.insert(low << 16 | high).second) continue;
                edges.push_back(static_cast<uint16_t>(e[0]));
                edges.push_back(static_cast<uint16_t>(e[1]));
            }
        }
    } catch (const std::bad_alloc&) {
        if (failedBytes) *failedBytes = 0;
        return false;
    }
    out.faceCount = static_cast<uint32_t>(edges.size() / 2);
    if (!Allocate(out.faces, edges.size(), failedBytes)) return false;
    if (!edges.empty()) std::memcpy(out.faces, edges.data(), edges.size() * sizeof(uint16_t));
    return true;
}

}  // namespace

bool IsImportVersion(int32_t version) {
    return (version >= 1 && version <= 4) || version == -1 || version == -2;
}

bool IsValidKvxName(std::string_view name, std::string* why) {
    if (name.size() > 255) {
        if (why) *why = "is " + std::to_string(name.size()) + " bytes long; at most 255 fit";
        return false;
    }
    for (char c : name) {
        if (c == '\0') {
            if (why) *why = "holds a zero byte";
            return false;
        }
        if (IsSpace(c)) {
            if (why) *why = "holds white space; a name is one word";
            return false;
        }
    }
    return true;
}

std::string FitKvxName(std::string_view name) {
    std::string fitted(name);
    for (char& c : fitted) {
        if (c == '\0' || IsSpace(c)) c = '_';
    }
    if (fitted.size() > 255) {
        size_t cut = 255;
        // Back to the start of a UTF-8 sequence (a byte that is not 10xxxxxx).
        while (cut > 0 && (static_cast<unsigned char>(fitted[cut]) & 0xC0) == 0x80)
            --cut;
        fitted.resize(cut);
    }
    return fitted;
}

ToKvxErrc ToKvx(const ImportedMesh& mesh, int32_t version, std::string_view name, OKVX& out,
                uint64_t* failedBytes) {
    assert(IsImportVersion(version));
    assert(IsConsistent(mesh));
    const size_t vertices = mesh.vertexCount();
    const size_t triangles = mesh.triangleCount();
    if (HasIndices(version) && vertices > kKvxMostVertices) return ToKvxErrc::too_many_vertices;
    if (NeedsTriangles(version) && triangles == 0) return ToKvxErrc::no_triangles;
    // A point set has no index limit, but its count is a 32-bit word.
    if (vertices > UINT32_MAX) return ToKvxErrc::too_many_vertices;

    out.version = version;
    out.vertexCount = static_cast<uint32_t>(vertices);
    auto color = [&](size_t i) {
        if (version == 1) return kConv1Color;
        return mesh.hasColors ? mesh.colors[i] : kOpaqueWhite;
    };
    auto position = [&](size_t i) { return &mesh.positions[3 * i]; };

    switch (version) {
        case 1:
        case -1:
        case -2:
            if (!Allocate(out.verticesV1, vertices, failedBytes)) return ToKvxErrc::out_of_memory;
            for (size_t i = 0; i < vertices; ++i) {
                const float* p = position(i);
                out.verticesV1[i] = {color(i), p[0], p[1], p[2]};
            }
            break;
        case 2:
            if (!Allocate(out.verticesV2, vertices, failedBytes)) return ToKvxErrc::out_of_memory;
            for (size_t i = 0; i < vertices; ++i) {
                const float* p = position(i);
                out.verticesV2[i] = {color(i), p[0], p[1], p[2]};
            }
            break;
        case 3:
            if (!Allocate(out.verticesV3, vertices, failedBytes)) return ToKvxErrc::out_of_memory;
            for (size_t i = 0; i < vertices; ++i) {
                const float* p = position(i);
                out.verticesV3[i] = {color(i), 0.0f, 0.0f, 0.0f, p[0], p[1], p[2]};
            }
            break;
        case 4:
            if (!Allocate(out.verticesV4, vertices, failedBytes)) return ToKvxErrc::out_of_memory;
            for (size_t i = 0; i < vertices; ++i) {
                const float* p = position(i);
                float u = 0.0f, v = 0.0f;
                if (mesh.hasTexCoords) {
                    u = mesh.texCoords[2 * i];
                    v = mesh.texCoords[2 * i + 1];
                }
                // kvxconv4 stores the second coordinate flipped, with one
                // float subtraction.
                out.verticesV4[i] = {u, 1.0f - v, color(i), 0.0f, 0.0f, 0.0f, p[0], p[1], p[2]};
            }
            assert(IsValidKvxName(name));
            std::memcpy(out.name, name.data(), name.size() < 255 ? name.size() : 255);
            break;
        default:
            break;
    }

    if (version == -1) {
        // kvxpoints writes the vertex count in the face count's place.
        out.faceCount = out.vertexCount;
        return ToKvxErrc::ok;
    }
    if (version == -2) {
        return Edges(mesh, out, failedBytes) ? ToKvxErrc::ok : ToKvxErrc::out_of_memory;
    }
    out.faceCount = static_cast<uint32_t>(triangles);
    if (!Allocate(out.faces, uint64_t{out.faceCount} * 3, failedBytes)) {
        return ToKvxErrc::out_of_memory;
    }
    for (size_t k = 0; k < 3 * triangles; ++k)
        out.faces[k] = static_cast<uint16_t>(mesh.triangles[k]);
    if ((version == 3 || version == 4) && !ComputeSmoothNormals(out, failedBytes)) {
        return ToKvxErrc::out_of_memory;
    }
    return ToKvxErrc::ok;
}

bool SaveKvx(const OKVX& m, const char* path, KvxStatus* status) {
    if (SaveOperation save = SaveOperationOf(m.version)) return (m.*save)(path, status);
    if (status) *status = KvxStatus{KvxErrc::invalid_mesh, 0, 0, 0};
    return false;
}

}  // namespace kvx
