#include "meshview/mesh_view.h"

#include <cstddef>

#include "meshcore/layout.h"

namespace {

bool Refuse(std::string* error, std::string message) {
    if (error) *error = std::move(message);
    return false;
}

}  // namespace

bool MakeMeshView(const OKVX& m, MeshView* view, std::string* error) {
    MeshView v;
    v.version = m.version;
    v.vertexCount = m.vertexCount;
    const kvx::Layout* layout = kvx::LayoutOf(m.version);
    // 0, -3 (whose index groups mean nothing known) and unknown codes.
    if (layout == nullptr || layout->primitive == kvx::Primitive::records) {
        return Refuse(error, "version " + std::to_string(m.version) +
                                 " is not supported (versions 1 to 4, -1 and -2 are)");
    }
    v.records = static_cast<const unsigned char*>(kvx::VertexArrayOf(m, *layout));
    v.recordSize = layout->recordSize;
    v.colorOffset = static_cast<uint32_t>(layout->colorOffset);
    v.positionOffset = static_cast<uint32_t>(layout->positionOffset);
    v.hasNormals = layout->normalOffset != kvx::kAbsent;
    if (v.hasNormals) v.normalOffset = static_cast<uint32_t>(layout->normalOffset);
    v.hasTexture = layout->uvOffset != kvx::kAbsent;
    if (v.hasTexture) v.textureOffset = static_cast<uint32_t>(layout->uvOffset);
    if (layout->hasName) {
        v.name = m.name;
        v.nameLength = sizeof m.name;
        while (v.nameLength > 0 && m.name[v.nameLength - 1] == '\0')
            --v.nameLength;
    }
    if (v.vertexCount != 0 && v.records == nullptr)
        return Refuse(error, "the mesh has vertices but no vertex array");

    // A point set's face count describes nothing; it has no index block.
    v.primitive = layout->primitive;
    if (v.primitive != Primitive::points) {
        v.groupCount = m.faceCount;
        v.indices = m.faces;
        if (v.groupCount != 0 && v.indices == nullptr)
            return Refuse(error, "the mesh has index groups but no index array");
    }

    const uint32_t size = v.groupSize();
    const char* what = v.primitive == Primitive::lines ? "edge " : "face ";
    for (uint32_t g = 0; g < v.groupCount; ++g) {
        for (uint32_t k = 0; k < size; ++k) {
            uint16_t index = v.indices[size_t{g} * size + k];
            if (index >= v.vertexCount) {
                return Refuse(error, what + std::to_string(g) + " names vertex " +
                                         std::to_string(index) + " of " +
                                         std::to_string(v.vertexCount));
            }
        }
    }
    *view = v;
    return true;
}
