#include "meshview/mesh_view.h"

#include <cstddef>

namespace {

bool Fail(std::string* error, std::string message) {
    if (error) *error = std::move(message);
    return false;
}

}  // namespace

bool MakeMeshView(const OKVX& m, MeshView* view, std::string* error) {
    MeshView v;
    v.version = m.version;
    v.vertexCount = m.vertexCount;
    switch (m.version) {
        case 1:
        case -1:
        case -2:
            v.records = reinterpret_cast<const unsigned char*>(m.verticesV1);
            v.recordSize = sizeof(VertexkvxV1);
            v.colorOffset = offsetof(VertexkvxV1, color);
            v.positionOffset = offsetof(VertexkvxV1, x);
            break;
        case 2:
            v.records = reinterpret_cast<const unsigned char*>(m.verticesV2);
            v.recordSize = sizeof(VertexkvxV2);
            v.colorOffset = offsetof(VertexkvxV2, color);
            v.positionOffset = offsetof(VertexkvxV2, x);
            break;
        case 3:
            v.records = reinterpret_cast<const unsigned char*>(m.verticesV3);
            v.recordSize = sizeof(VertexkvxV3);
            v.colorOffset = offsetof(VertexkvxV3, color);
            v.positionOffset = offsetof(VertexkvxV3, x);
            v.hasNormals = true;
            v.normalOffset = offsetof(VertexkvxV3, nx);
            break;
        case 4:
            v.records = reinterpret_cast<const unsigned char*>(m.verticesV4);
            v.recordSize = sizeof(VertexkvxV4);
            v.colorOffset = offsetof(VertexkvxV4, color);
            v.positionOffset = offsetof(VertexkvxV4, x);
            v.hasNormals = true;
            v.normalOffset = offsetof(VertexkvxV4, nx);
            v.hasTexture = true;
            v.textureOffset = offsetof(VertexkvxV4, u);
            v.name = m.name;
            break;
        default:
            // 0, -3 (whose index groups mean nothing known) and unknown codes.
            return Fail(error, "version " + std::to_string(m.version) +
                                   " is not supported (versions 1 to 4, -1 and -2 are)");
    }
    if (v.vertexCount != 0 && v.records == nullptr)
        return Fail(error, "the mesh has vertices but no vertex array");

    // A point set's face count describes nothing; it has no index block.
    if (m.version == -1) {
        v.primitive = Primitive::points;
    } else {
        v.primitive = m.version == -2 ? Primitive::lines : Primitive::triangles;
        v.groupCount = m.faceCount;
        v.indices = m.faces;
        if (v.groupCount != 0 && v.indices == nullptr)
            return Fail(error, "the mesh has index groups but no index array");
    }

    const uint32_t size = v.groupSize();
    const char* what = v.primitive == Primitive::lines ? "edge " : "face ";
    for (uint32_t g = 0; g < v.groupCount; ++g) {
        for (uint32_t k = 0; k < size; ++k) {
            uint16_t index = v.indices[size_t{g} * size + k];
            if (index >= v.vertexCount) {
                return Fail(error, what + std::to_string(g) + " names vertex " +
                                       std::to_string(index) + " of " +
                                       std::to_string(v.vertexCount));
            }
        }
    }
    *view = v;
    return true;
}
