// The six save operations. Records and indices are laid out in memory as in
// the file, so each block goes out in one write.
#include <cstring>

#include "failure.h"
#include "meshcore/okvx.h"
#include "meshcore/output_file.h"

namespace {

enum class IndexGroup { none, pairs, triples };

// Writes header, vertex block, index block and (when given) the name
// trailer as one file.
bool SaveFile(const OKVX& m, const char* path, int32_t code, const void* vertices,
              size_t recordSize, IndexGroup group, const char* name, KvxStatus* status) {
    size_t groupSize = group == IndexGroup::triples ? 3 : group == IndexGroup::pairs ? 2 : 0;
    if (m.vertexCount != 0 && vertices == nullptr)
        return kvx::Failed(status, KvxErrc::invalid_mesh);
    if (groupSize != 0 && m.faceCount != 0 && m.faces == nullptr)
        return kvx::Failed(status, KvxErrc::invalid_mesh);

    unsigned char header[kKvxHeaderSize] = {'K', 'V', 'X'};
    std::memcpy(header + 3, &m.vertexCount, 4);
    std::memcpy(header + 7, &m.faceCount, 4);
    std::memcpy(header + 11, &code, 4);

    // Only the non-zero bytes among the first 255 of the name are written.
    char trailer[255];
    size_t trailerSize = 0;
    if (name) {
        for (size_t k = 0; k < 255; ++k)
            if (name[k] != 0) trailer[trailerSize++] = name[k];
    }

    OutputFile file;
    if (!file.open(path, status)) return false;
    if (!file.write(header, sizeof header, status)) return false;
    if (!file.write(vertices, size_t{m.vertexCount} * recordSize, status)) return false;
    if (!file.write(m.faces, size_t{m.faceCount} * groupSize * sizeof(uint16_t), status))
        return false;
    if (!file.write(trailer, trailerSize, status)) return false;
    if (!file.commit(status)) return false;
    if (status) *status = KvxStatus{};
    return true;
}

}  // namespace

bool OKVX::saveV1(const char* path, KvxStatus* status) const {
    return SaveFile(*this, path, 1, verticesV1, sizeof(VertexkvxV1), IndexGroup::triples, nullptr,
                    status);
}

bool OKVX::saveV2(const char* path, KvxStatus* status) const {
    return SaveFile(*this, path, 2, verticesV2, sizeof(VertexkvxV2), IndexGroup::triples, nullptr,
                    status);
}

bool OKVX::saveV3(const char* path, KvxStatus* status) const {
    return SaveFile(*this, path, 3, verticesV3, sizeof(VertexkvxV3), IndexGroup::triples, nullptr,
                    status);
}

bool OKVX::saveV4(const char* path, KvxStatus* status) const {
    return SaveFile(*this, path, 4, verticesV4, sizeof(VertexkvxV4), IndexGroup::triples, name,
                    status);
}

bool OKVX::saveVn1(const char* path, KvxStatus* status) const {
    return SaveFile(*this, path, -1, verticesV1, sizeof(VertexkvxV1), IndexGroup::none, nullptr,
                    status);
}

bool OKVX::saveVn2(const char* path, KvxStatus* status) const {
    return SaveFile(*this, path, -2, verticesV1, sizeof(VertexkvxV1), IndexGroup::pairs, nullptr,
                    status);
}

kvx::SaveOperation kvx::SaveOperationOf(int32_t version) {
    switch (version) {
        case 1:
            return &OKVX::saveV1;
        case 2:
            return &OKVX::saveV2;
        case 3:
            return &OKVX::saveV3;
        case 4:
            return &OKVX::saveV4;
        case -1:
            return &OKVX::saveVn1;
        case -2:
            return &OKVX::saveVn2;
        default:
            return nullptr;
    }
}
