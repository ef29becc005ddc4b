#include "meshview/mesh_view.h"

#include <cstddef>

namespace {

bool Refuse(std::string* error, std::string message) {
    if (error) *error = std::move(message);
    return false;
}

// Where the fields of a record of type Record lie.
template <typename Record>
void SetRecords(MeshView& v, const Record* records) {
    v.records = reinterpret_cast<const unsigned char*>(records);
    v.recordSize = sizeof(Record);
    v.colorOffset = offsetof(Record, color);
    v.positionOffset = offsetof(Record, x);
    if constexpr (requires { &Record::nx; }) {
        v.hasNormals = true;
        v.normalOffset = offsetof(Record, nx);
    }
    if constexpr (requires { &Record::u; }) {
        v.hasTexture = true;
        v.textureOffset = offsetof(Record, u);
    }
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
            SetRecords(v, m.verticesV1);
            break;
        case 2:
            SetRecords(v, m.verticesV2);
            break;
        case 3:
            SetRecords(v, m.verticesV3);
            break;
        case 4:
            SetRecords(v, m.verticesV4);
            v.name = m.name;
            v.nameLength = sizeof m.name;
            while (v.nameLength > 0 && m.name[v.nameLength - 1] == '\0')
                --v.nameLength;
            break;
        default:
            // 0, -3 (whose index groups mean nothing known) and unknown codes.
            return Refuse(error, "version " + std::to_string(m.version) +
                                     " is not supported (versions 1 to 4, -1 and -2 are)");
    }
    if (v.vertexCount != 0 && v.records == nullptr)
        return Refuse(error, "the mesh has vertices but no vertex array");

    // A point set's face count describes nothing; it has no index block.
    if (m.version == -1) {
        v.primitive = Primitive::points;
    } else {
        v.primitive = m.version == -2 ? Primitive::lines : Primitive::triangles;
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
