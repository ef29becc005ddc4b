// The KVX file as docs/format.md describes it, restated from the document
// alone and sharing nothing with the loader (meshcore/load.cpp) or the
// layout table (meshcore/layout.cpp): the fuzz harness's reference for what
// a loaded mesh holds and for how a load ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "meshcore/okvx.h"

// A row of the document's table of versions ("Versions", "Index blocks").
struct DocumentedVersion {
    int32_t code = 0;
    int record = 0;                    // 1 to 4: the record V1 to V4, and OKVX's verticesV1..V4
    uint32_t recordSize = 0;           // R, bytes per vertex record
    uint32_t indexValuesPerGroup = 0;  // 16-bit values per counted group: 3, 2, 0 or 6
    bool nameTrailer = false;          // a name follows the index block
};

// The row of `code`, or null where the document lists none (so the file is
// not loaded).
const DocumentedVersion* FindDocumentedVersion(int32_t code);

// What a file of `size` bytes holds and how loading it ends, by the
// document's "Reading".
struct FileModel {
    // The header words the file holds whole, in file order; 0 where it is
    // too short for one.
    uint32_t vertexCount = 0;
    uint32_t faceCount = 0;
    int32_t version = 0;
    bool magicMissing = false;               // the first bytes are not (a beginning of) "KVX"
    const DocumentedVersion* row = nullptr;  // the version's row; null: none
    // The load's result: code ok, or the failure with its expected and found
    // byte counts as the loader reports them.
    KvxStatus status;
    // Where the blocks stand, where the header is whole and the version
    // documented: the vertex records, the index block, and the rest of the
    // file after it (the name trailer in version 4).
    uint64_t vertexAt = 0;
    uint64_t vertexBytes = 0;
    uint64_t indexAt = 0;
    uint64_t indexBytes = 0;
    uint64_t blocksEnd = 0;
};

FileModel ModelFile(const uint8_t* data, size_t size);
