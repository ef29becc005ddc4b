#include "load_model.h"

namespace {

// "A KVX file is a 15-byte header": the magic at 0, the vertex count at 3,
// the face count at 7, the version code at 11.
constexpr uint64_t kHeaderBytes = 15;
// "0 to 255" bytes of name trailer.
constexpr uint64_t kLongestName = 255;

// The table "Versions": code, record, R; "Index blocks": triples, pairs,
// none, six values per counted record; the trailer in version 4 only.
constexpr DocumentedVersion kVersions[] = {
    {1, 1, 16, 3, false},  {2, 2, 16, 3, false},  {3, 3, 28, 3, false},  {4, 4, 36, 3, true},
    {-1, 1, 16, 0, false}, {-2, 1, 16, 2, false}, {-3, 3, 28, 6, false},
};

// "All numbers are little-endian."
uint32_t Word(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

KvxStatus Status(KvxErrc code, uint64_t expected, uint64_t found, bool magicMissing) {
    KvxStatus s;
    s.code = code;
    s.expected = expected;
    s.found = found;
    s.magicMissing = magicMissing;
    return s;
}

}  // namespace

const DocumentedVersion* FindDocumentedVersion(int32_t code) {
    for (const DocumentedVersion& v : kVersions)
        if (v.code == code) return &v;
    return nullptr;
}

FileModel ModelFile(const uint8_t* data, size_t size) {
    FileModel f;
    // "The header words are read in file order": each one the file holds
    // whole is set.
    if (size >= 7) f.vertexCount = Word(data + 3);
    if (size >= 11) f.faceCount = Word(data + 7);
    if (size >= 15) f.version = static_cast<int32_t>(Word(data + 11));
    for (size_t k = 0; k < 3 && k < size; ++k)
        if (data[k] != "KVX"[k]) f.magicMissing = true;
    f.row = size >= kHeaderBytes ? FindDocumentedVersion(f.version) : nullptr;

    // "Neither the magic nor an accepted version, or shorter than the header
    // with bytes that differ from KVX": not a KVX file.
    if (f.magicMissing && f.row == nullptr) {
        f.status = Status(KvxErrc::not_kvx, 0, 0, true);
        return f;
    }
    // "A file shorter than 15 bytes is truncated."
    if (size < kHeaderBytes) {
        f.status = Status(KvxErrc::truncated, kHeaderBytes, size, false);
        return f;
    }
    // "Any other version code is not loaded."
    if (f.row == nullptr) {
        f.status = Status(KvxErrc::unsupported_version, 0, 0, f.magicMissing);
        return f;
    }
    // "The file must hold every vertex record and index group its header
    // announces", 2 bytes per index.
    f.vertexAt = kHeaderBytes;
    f.vertexBytes = uint64_t{f.vertexCount} * f.row->recordSize;
    f.indexAt = f.vertexAt + f.vertexBytes;
    f.indexBytes = uint64_t{f.faceCount} * f.row->indexValuesPerGroup * 2;
    f.blocksEnd = f.indexAt + f.indexBytes;
    if (size < f.blocksEnd) {
        f.status = Status(KvxErrc::truncated, f.blocksEnd, size, f.magicMissing);
    } else if (f.row->nameTrailer && size - f.blocksEnd > kLongestName) {
        // "A trailer of more than 255 bytes is refused."
        f.status = Status(KvxErrc::name_too_long, kLongestName, size - f.blocksEnd, f.magicMissing);
    } else {
        f.status = Status(KvxErrc::ok, 0, 0, f.magicMissing);
    }
    return f;
}
