// The six save operations. Records and indices are laid out in memory as in
// the file, so the whole file goes out in one gathered write.
#include <cstring>
#include <iterator>

#include "failure.h"
#include "meshcore/layout.h"
#include "meshcore/okvx.h"
#include "meshcore/output_file.h"

namespace {

// Writes header, vertex block, index block and (for a layout with a name)
// the name trailer of `version` as one file.
bool SaveFile(const OKVX& m, const char* path, int32_t version, KvxStatus* status) {
    const kvx::Layout& layout = *kvx::LayoutOf(version);
    const void* vertices = kvx::VertexArrayOf(m, layout);
    const size_t groupSize = layout.indexValuesPerGroup;
    if (m.vertexCount != 0 && vertices == nullptr)
        return kvx::Failed(status, KvxErrc::invalid_mesh);
    if (groupSize != 0 && m.faceCount != 0 && m.faces == nullptr)
        return kvx::Failed(status, KvxErrc::invalid_mesh);

    unsigned char header[kKvxHeaderSize] = {'K', 'V', 'X'};
    std::memcpy(header + 3, &m.vertexCount, 4);
    std::memcpy(header + 7, &m.faceCount, 4);
    std::memcpy(header + 11, &version, 4);

    // Only the non-zero bytes among the first 255 of the name are written.
    char trailer[255];
    size_t trailerSize = 0;
    if (layout.hasName) {
        for (size_t k = 0; k < 255; ++k)
            if (m.name[k] != 0) trailer[trailerSize++] = m.name[k];
    }

    OutputFile file;
    if (!file.open(path, status)) return false;
    const iovec parts[] = {
        {header, sizeof header},
        {const_cast<void*>(vertices), size_t{m.vertexCount} * layout.recordSize},
        {m.faces, size_t{m.faceCount} * groupSize * sizeof(uint16_t)},
        {trailer, trailerSize},
    };
    if (!file.writeGathered(parts, std::size(parts), status)) return false;
    if (!file.commit(status)) return false;
    if (status) *status = KvxStatus{};
    return true;
}

}  // namespace

bool OKVX::saveV1(const char* path, KvxStatus* status) const {
    return SaveFile(*this, path, 1, status);
}

bool OKVX::saveV2(const char* path, KvxStatus* status) const {
    return SaveFile(*this, path, 2, status);
}

bool OKVX::saveV3(const char* path, KvxStatus* status) const {
    return SaveFile(*this, path, 3, status);
}

bool OKVX::saveV4(const char* path, KvxStatus* status) const {
    return SaveFile(*this, path, 4, status);
}

bool OKVX::saveVn1(const char* path, KvxStatus* status) const {
    return SaveFile(*this, path, -1, status);
}

bool OKVX::saveVn2(const char* path, KvxStatus* status) const {
    return SaveFile(*this, path, -2, status);
}

kvx::SaveOperation kvx::SaveOperationOf(int32_t version) {
    const Layout* layout = LayoutOf(version);
    return layout != nullptr ? layout->save : nullptr;
}
