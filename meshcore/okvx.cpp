#include "meshcore/okvx.h"

#include <sys/mman.h>
#include <cstdlib>
#include <cstring>

#include "meshcore/layout.h"
#include "read_array.h"

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
// From this size an array goes on huge pages: measured by
// bench/thresholds.py like the thresholds of parallel.h.
#ifndef KVX_HUGE_PAGES_FROM
#define KVX_HUGE_PAGES_FROM (uint64_t{1} << 20)
#endif
constexpr uint64_t kLargeBlock = KVX_HUGE_PAGES_FROM;

}  // namespace

uint32_t KvxRecordSize(int32_t version) {
    const kvx::Layout* layout = kvx::LayoutOf(version);
    return layout != nullptr ? layout->recordSize : 0;
}

namespace {

// count * size bytes with 16-byte alignment, on huge pages from `hugeFrom`
// bytes.
void* Allocate(uint64_t count, uint64_t size, uint64_t hugeFrom) {
    if (size != 0 && count > UINT64_MAX / size) return nullptr;
    uint64_t bytes = count * size;
    // aligned_alloc wants a multiple of the alignment; a zero request still
    // gets a real block so that a null result always means failure.
    if (bytes > SIZE_MAX - kHugePage) return nullptr;
    if (bytes >= hugeFrom) {
        // Large arrays on huge pages: filling one then costs a fault every
        // 2 MiB instead of every 4 KiB.
        size_t rounded = (static_cast<size_t>(bytes) + kHugePage - 1) & ~(kHugePage - 1);
        void* p = std::aligned_alloc(kHugePage, rounded);
        if (p != nullptr) ::madvise(p, rounded, MADV_HUGEPAGE);
        return p;
    }
    size_t rounded = (static_cast<size_t>(bytes) + 15) & ~static_cast<size_t>(15);
    if (rounded == 0) rounded = 16;
    return std::aligned_alloc(16, rounded);
}

}  // namespace

void* KvxAllocate(uint64_t count, uint64_t size) {
    return Allocate(count, size, kLargeBlock);
}

void* kvx::AllocateReadArray(uint64_t count, uint64_t size) {
    return Allocate(count, size, kReadHugePagesFrom);
}

void KvxFree(void* p) {
    std::free(p);
}

void KvxRelease(OKVX& m) {
    KvxFree(m.faces);
    KvxFree(m.verticesV1);
    KvxFree(m.verticesV2);
    KvxFree(m.verticesV3);
    KvxFree(m.verticesV4);
    std::memset(static_cast<void*>(&m), 0, sizeof m);
}

std::string KvxStatusMessage(const KvxStatus& status) {
    switch (status.code) {
        case KvxErrc::ok:
            return "success";
        case KvxErrc::unsupported_version:
            return "unsupported version";
        case KvxErrc::open_failed:
        case KvxErrc::read_failed:
        case KvxErrc::write_failed:
            return std::strerror(status.sysErrno);
        case KvxErrc::truncated:
            if (status.expected == kKvxHeaderSize) {
                return "truncated: the file has " + std::to_string(status.found) +
                       " bytes, fewer than the 15 of a header";
            }
            return "truncated: the header promises " + std::to_string(status.expected) +
                   " bytes, the file has " + std::to_string(status.found);
        case KvxErrc::name_too_long:
            if (status.found == 0) return "the name is longer than 255 bytes";
            return "the name is " + std::to_string(status.found) + " bytes long; at most 255 fit";
        case KvxErrc::too_large:
            return "the counts need " + std::to_string(status.expected) +
                   " bytes, more than this system can address";
        case KvxErrc::out_of_memory:
            return "out of memory (" + std::to_string(status.expected) + " bytes)";
        case KvxErrc::invalid_mesh:
            return "the mesh has a count but no array to go with it";
        case KvxErrc::not_kvx:
            return "not a KVX file";
        case KvxErrc::output_is_input:
            return "the same file as the input; choose another output";
    }
    return "unknown error";
}
