#include "meshimport/to_kvx.h"

#include <cassert>
#include <cerrno>
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

#include "meshcore/layout.h"
#include "meshcore/normals.h"
#include "meshimport/split.h"
#include "meshtext/tokens.h"

namespace kvx {

namespace {

constexpr uint32_t kOpaqueWhite = 0xFFFFFFFFu;

Failure NoMemory(uint64_t bytes) {
    return bytes != 0 ? MemoryFailure(bytes)
                      : Failure{FailureKind::memory, "out of memory", ENOMEM};
}

template <typename T>
bool Allocate(T*& array, uint64_t count, uint64_t& failedBytes) {
    array = KvxAllocateArray<T>(count);
    if (array == nullptr) failedBytes = count * sizeof(T);
    return array != nullptr;
}

// kvxwire's edges: (a, b), (b, c), (c, a) of each triangle, then the
// source's line segments, each kept the first time it occurs in either
// direction. `failedBytes` stays 0 when a container could not grow.
bool Edges(const ImportedMesh& mesh, OKVX& out, uint64_t& failedBytes) {
    std::vector<uint16_t> edges;
    try {
        std::unordered_set<uint32_t> seen;
        auto add = [&](uint32_t a, uint32_t b) {
            uint32_t low = a < b ? a : b, high = a < b ? b : a;
            if (!seen.insert(low << 16 | high).second) return;
            edges.push_back(static_cast<uint16_t>(a));
            edges.push_back(static_cast<uint16_t>(b));
        };
        for (size_t t = 0; t < mesh.triangleCount(); ++t) {
            const uint32_t* c = &mesh.triangles[3 * t];
            add(c[0], c[1]);
            add(c[1], c[2]);
            add(c[2], c[0]);
        }
        for (size_t k = 0; k < mesh.lineCount(); ++k)
            add(mesh.lines[2 * k], mesh.lines[2 * k + 1]);
    } catch (const std::bad_alloc&) {
        return false;
    }
    out.faceCount = static_cast<uint32_t>(edges.size() / 2);
    if (!Allocate(out.faces, edges.size(), failedBytes)) return false;
    if (!edges.empty()) std::memcpy(out.faces, edges.data(), edges.size() * sizeof(uint16_t));
    return true;
}

// The records of `layout` for the vertices of `mesh`, into `out`: every
// field the layout has at its offset, the normals the mesh's own when
// `normals`, else zero.
bool Records(const ImportedMesh& mesh, const Layout& layout, bool normals, OKVX& out,
             uint64_t& failedBytes) {
    const size_t vertices = mesh.vertexCount();
    auto* records = static_cast<unsigned char*>(KvxAllocate(vertices, layout.recordSize));
    if (records == nullptr) {
        failedBytes = uint64_t{vertices} * layout.recordSize;
        return false;
    }
    SetVertexArray(out, layout, records);
    std::memset(records, 0, vertices * layout.recordSize);
    const bool fixedColor = layout.text.colorAt == kAbsent;
    for (size_t i = 0; i < vertices; ++i) {
        unsigned char* r = records + i * layout.recordSize;
        std::memcpy(r + layout.positionOffset, &mesh.positions[3 * i], 3 * sizeof(float));
        const uint32_t color = fixedColor       ? layout.text.fixedColor
                               : mesh.hasColors ? mesh.colors[i]
                                                : kOpaqueWhite;
        std::memcpy(r + layout.colorOffset, &color, sizeof color);
        if (layout.uvOffset != kAbsent) {
            float uv[2] = {0.0f, 0.0f};
            if (mesh.hasTexCoords) {
                uv[0] = mesh.texCoords[2 * i];
                uv[1] = mesh.texCoords[2 * i + 1];
            }
            // kvxconv4 stores the second coordinate flipped, with one float
            // subtraction.
            uv[1] = 1.0f - uv[1];
            std::memcpy(r + layout.uvOffset, uv, sizeof uv);
        }
        if (normals) std::memcpy(r + layout.normalOffset, &mesh.normals[3 * i], 3 * sizeof(float));
    }
    return true;
}

const Layout& ImportLayout(int32_t version) {
    assert(IsImportVersion(version));
    return *LayoutOf(version);
}

}  // namespace

bool IsImportVersion(int32_t version) {
    const Layout* layout = LayoutOf(version);
    return layout != nullptr && layout->save != nullptr;
}

bool NeedsTriangles(int32_t version) {
    return ImportLayout(version).primitive != Primitive::points;
}

bool TakesLines(int32_t version) {
    return ImportLayout(version).primitive == Primitive::lines;
}

bool HasGeometryFor(const ImportedMesh& mesh, int32_t version) {
    return !NeedsTriangles(version) || mesh.triangleCount() > 0 ||
           (TakesLines(version) && mesh.lineCount() > 0);
}

bool HasIndices(int32_t version) {
    return ImportLayout(version).indexValuesPerGroup != 0;
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

Failure ToKvx(const ImportedMesh& mesh, int32_t version, std::string_view name, OKVX& out,
              bool sourceNormals) {
    const Layout& layout = ImportLayout(version);
    assert(IsConsistent(mesh));
    const size_t vertices = mesh.vertexCount();
    const size_t triangles = mesh.triangleCount();
    // A point set has no index limit, but its count is a 32-bit word.
    if ((HasIndices(version) && vertices > kKvxMostVertices) || vertices > UINT32_MAX)
        return BadInput(std::to_string(vertices) + " vertices are too many for one file");
    if (!HasGeometryFor(mesh, version)) return BadInput("no triangles");
    const bool normals = sourceNormals && mesh.hasNormals && layout.text.smoothNormals &&
                         layout.normalOffset != kAbsent;

    out.version = version;
    out.vertexCount = static_cast<uint32_t>(vertices);
    uint64_t failedBytes = 0;
    if (!Records(mesh, layout, normals, out, failedBytes)) return NoMemory(failedBytes);
    if (layout.hasName) {
        assert(IsValidKvxName(name));
        std::memcpy(out.name, name.data(), name.size() < 255 ? name.size() : 255);
    }
    switch (layout.primitive) {
        case Primitive::points:
            // kvxpoints writes the vertex count in the face count's place.
            out.faceCount = out.vertexCount;
            return {};
        case Primitive::lines:
            return Edges(mesh, out, failedBytes) ? Failure{} : NoMemory(failedBytes);
        case Primitive::triangles:
        case Primitive::records:
            break;
    }
    out.faceCount = static_cast<uint32_t>(triangles);
    if (!Allocate(out.faces, uint64_t{out.faceCount} * 3, failedBytes))
        return NoMemory(failedBytes);
    for (size_t k = 0; k < 3 * triangles; ++k)
        out.faces[k] = static_cast<uint16_t>(mesh.triangles[k]);
    if (layout.text.smoothNormals && !normals && !ComputeSmoothNormals(out, &failedBytes))
        return NoMemory(failedBytes);
    return {};
}

bool SaveKvx(const OKVX& m, const char* path, KvxStatus* status) {
    const Layout* layout = LayoutOf(m.version);
    if (layout != nullptr && layout->save != nullptr) return (m.*layout->save)(path, status);
    if (status) *status = KvxStatus{KvxErrc::invalid_mesh, 0, 0, 0};
    return false;
}

}  // namespace kvx
