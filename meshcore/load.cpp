// The loader: one implementation of the KVX layout and its size checks,
// reading from memory, from a regular file, or from a stream.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "failure.h"
#include "fd_io.h"
#include "meshcore/layout.h"
#include "meshcore/okvx.h"
#include "read_array.h"

namespace {

// 16-bit index values per counted group in the file, or -1 for a version
// that is not loaded.
int IndexValuesPerGroup(int32_t version) {
    const kvx::Layout* l = kvx::LayoutOf(version);
    return l != nullptr ? l->indexValuesPerGroup : -1;
}

bool FitsInSize(uint64_t bytes) {
    return static_cast<uint64_t>(static_cast<size_t>(bytes)) == bytes;
}

// Every source offers:
//   bool reach(uint64_t limit, uint64_t& have, KvxStatus*)   how many bytes it
//       holds, counting no further than `limit`;
//   bool read(uint64_t offset, void* out, size_t n, KvxStatus*)   a copy of
//       bytes it was found to hold;
//   bool size(uint64_t& total)   its whole length, where that is known
//       without reading on (false for a stream).

class MemorySource {
public:
    MemorySource(const void* data, size_t size)
        : data_(static_cast<const unsigned char*>(data)), size_(size) {}

    bool reach(uint64_t limit, uint64_t& have, KvxStatus*) {
        have = std::min<uint64_t>(limit, size_);
        return true;
    }
    bool read(uint64_t offset, void* out, size_t n, KvxStatus*) {
        if (n != 0) std::memcpy(out, data_ + offset, n);
        return true;
    }
    bool size(uint64_t& total) {
        total = size_;
        return true;
    }

private:
    const unsigned char* data_;
    size_t size_;
};

// A regular file: its size is known up front, and blocks are read with
// pread straight into their arrays.
class RegularFileSource {
public:
    RegularFileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}

    bool reach(uint64_t limit, uint64_t& have, KvxStatus*) {
        have = std::min(limit, size_);
        return true;
    }
    bool read(uint64_t offset, void* out, size_t n, KvxStatus* status) {
        size_t got = 0;
        if (int err = kvx::PreadFully(fd_, out, n, offset, got); err != 0)
            return kvx::Failed(status, KvxErrc::read_failed, err);
        // The file shrank since it was measured.
        if (got < n) return kvx::Failed(status, KvxErrc::truncated, 0, offset + n, offset + got);
        return true;
    }
    bool size(uint64_t& total) {
        total = size_;
        return true;
    }

private:
    int fd_;
    uint64_t size_;
};

// A pipe or device: read into memory, but only as far as asked, so that a
// header promising gigabytes on a short pipe, or an endless device, costs no
// more than the bytes the loader needs.
class StreamSource {
public:
    explicit StreamSource(int fd) : fd_(fd) {}
    ~StreamSource() { std::free(buffer_); }
    StreamSource(const StreamSource&) = delete;
    StreamSource& operator=(const StreamSource&) = delete;

    bool reach(uint64_t limit, uint64_t& have, KvxStatus* status) {
        while (filled_ < limit && !ended_) {
            if (filled_ == capacity_ && !grow(limit, status)) return false;
            size_t got = 0;
            // One read at a time: a pipe delivers what it has.
            ssize_t n = ::read(fd_, buffer_ + filled_, capacity_ - filled_);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return kvx::Failed(status, KvxErrc::read_failed, errno);
            got = static_cast<size_t>(n);
            if (got == 0) ended_ = true;
            filled_ += got;
        }
        have = std::min<uint64_t>(limit, filled_);
        return true;
    }
    bool read(uint64_t offset, void* out, size_t n, KvxStatus*) {
        if (n != 0) std::memcpy(out, buffer_ + offset, n);
        return true;
    }
    // A stream's length is not known without reading it to its end, which
    // may never come.
    bool size(uint64_t&) { return false; }

private:
    bool grow(uint64_t limit, KvxStatus* status) {
        constexpr size_t kFirstSize = 65536;
        uint64_t wanted =
            std::min<uint64_t>(limit, std::max<uint64_t>(kFirstSize, 2 * uint64_t{capacity_}));
        if (!FitsInSize(wanted)) return kvx::Failed(status, KvxErrc::too_large, 0, wanted);
        void* bigger = std::realloc(buffer_, static_cast<size_t>(wanted));
        if (bigger == nullptr) return kvx::Failed(status, KvxErrc::out_of_memory, 0, wanted);
        buffer_ = static_cast<unsigned char*>(bigger);
        capacity_ = static_cast<size_t>(wanted);
        return true;
    }

    int fd_;
    unsigned char* buffer_ = nullptr;
    size_t capacity_ = 0;
    size_t filled_ = 0;
    bool ended_ = false;
};

// What the header of a file promises, in 64 bits (at most about 2^38
// bytes): where its blocks end and how large they are.
struct Layout {
    int groupValues = 0;  // 16-bit index values per face or line
    uint32_t recordSize = 0;
    uint64_t indexValues = 0;
    uint64_t vertexBytes = 0;
    uint64_t indexBytes = 0;
    uint64_t blocksEnd = 0;  // the end of the index block
};

Layout LayoutOf(const OKVX& m, int groupValues) {
    Layout l;
    l.groupValues = groupValues;
    l.recordSize = KvxRecordSize(m.version);
    l.indexValues = uint64_t{m.faceCount} * static_cast<uint64_t>(groupValues);
    l.vertexBytes = uint64_t{m.vertexCount} * l.recordSize;
    l.indexBytes = l.indexValues * sizeof(uint16_t);
    l.blocksEnd = kKvxHeaderSize + l.vertexBytes + l.indexBytes;
    return l;
}

// The arrays of a load in progress; freed unless handed to the mesh.
struct PendingArrays {
    void* vertices = nullptr;
    uint16_t* faces = nullptr;
    ~PendingArrays() {
        KvxFree(vertices);
        KvxFree(faces);
    }
};

// Step 1: the header words in file order. A file shorter than the header
// sets the words it holds whole and is truncated.
template <typename Source>
bool ReadHeader(OKVX& m, Source& source, KvxStatus* status) {
    uint64_t have = 0;
    if (!source.reach(kKvxHeaderSize, have, status)) return false;
    unsigned char header[kKvxHeaderSize] = {};
    if (!source.read(0, header, static_cast<size_t>(have), status)) return false;
    if (have >= 7) std::memcpy(&m.vertexCount, header + 3, 4);
    if (have >= 11) std::memcpy(&m.faceCount, header + 7, 4);
    if (have >= 15) std::memcpy(&m.version, header + 11, 4);
    // The magic is not required where the version is one that loads; a
    // file with neither is not a KVX file, however long it is. A file too
    // short for either is not a KVX file when the bytes it has differ from
    // the magic, and truncated when they begin it ("", "K", "KV").
    const bool magicMissing =
        std::memcmp(header, "KVX", std::min<size_t>(3, static_cast<size_t>(have))) != 0;
    if (magicMissing && (have < kKvxHeaderSize || IndexValuesPerGroup(m.version) < 0)) {
        kvx::Failed(status, KvxErrc::not_kvx);
        if (status) status->magicMissing = true;
        return false;
    }
    if (have < kKvxHeaderSize)
        return kvx::Failed(status, KvxErrc::truncated, 0, kKvxHeaderSize, have);
    if (status) status->magicMissing = magicMissing;
    return true;
}

// Step 2: everything the header promises must be there before anything is
// allocated. Returns the length of the version-4 name.
template <typename Source>
bool CheckSize(const OKVX& m, const Layout& l, Source& source, uint64_t& nameBytes,
               KvxStatus* status) {
    // Version 4's name runs to the end of the file: look one byte past the
    // longest one that fits, and no further, since a stream may not end.
    const bool named = kvx::LayoutOf(m.version)->hasName;
    uint64_t limit = named ? l.blocksEnd + 256 : l.blocksEnd;
    uint64_t have = 0;
    if (!source.reach(limit, have, status)) return false;
    if (have < l.blocksEnd) return kvx::Failed(status, KvxErrc::truncated, 0, l.blocksEnd, have);
    nameBytes = named ? have - l.blocksEnd : 0;
    if (nameBytes > 255) {
        uint64_t total = 0;
        uint64_t length = source.size(total) ? total - l.blocksEnd : 0;
        return kvx::Failed(status, KvxErrc::name_too_long, 0, 255, length);
    }
    if (!FitsInSize(l.blocksEnd)) return kvx::Failed(status, KvxErrc::too_large, 0, l.blocksEnd);
    return true;
}

// Step 3: the blocks, each read straight into its array (AllocateReadArray:
// on the heap, where a process that loads again finds its pages, up to a
// size).
template <typename Source>
bool ReadBlocks(const OKVX& m, const Layout& l, Source& source, PendingArrays& arrays,
                char (&name)[256], uint64_t nameBytes, KvxStatus* status) {
    arrays.vertices = kvx::AllocateReadArray(m.vertexCount, l.recordSize);
    if (arrays.vertices == nullptr)
        return kvx::Failed(status, KvxErrc::out_of_memory, 0, l.vertexBytes);
    if (l.groupValues != 0) {
        arrays.faces =
            static_cast<uint16_t*>(kvx::AllocateReadArray(l.indexValues, sizeof(uint16_t)));
        if (arrays.faces == nullptr)
            return kvx::Failed(status, KvxErrc::out_of_memory, 0, l.indexBytes);
    }
    return source.read(kKvxHeaderSize, arrays.vertices, static_cast<size_t>(l.vertexBytes),
                       status) &&
           source.read(kKvxHeaderSize + l.vertexBytes, arrays.faces,
                       static_cast<size_t>(l.indexBytes), status) &&
           source.read(l.blocksEnd, name, static_cast<size_t>(nameBytes), status);
}

// Step 4: the arrays go to the version's members of the mesh.
void HandOver(OKVX& m, PendingArrays& arrays, const char (&name)[256], uint64_t nameBytes) {
    const kvx::Layout& layout = *kvx::LayoutOf(m.version);
    kvx::SetVertexArray(m, layout, std::exchange(arrays.vertices, nullptr));
    if (arrays.faces != nullptr) m.faces = std::exchange(arrays.faces, nullptr);
    if (layout.hasName) {
        // The trailer bytes as they stand, then a zero so that the text ends
        // even in a mesh that was not fresh.
        std::memcpy(m.name, name, static_cast<size_t>(nameBytes));
        m.name[nameBytes] = 0;
    }
}

template <typename Source>
int32_t Load(OKVX& m, Source& source, KvxStatus* status) {
    KvxStatus local;
    if (status == nullptr) status = &local;
    *status = KvxStatus{};
    if (!ReadHeader(m, source, status)) return 0;
    const bool magicMissing = status->magicMissing;
    auto fail = [&] {
        status->magicMissing = magicMissing;
        return 0;
    };
    int groupValues = IndexValuesPerGroup(m.version);
    if (groupValues < 0) {
        kvx::Failed(status, KvxErrc::unsupported_version);
        return fail();
    }
    const Layout layout = LayoutOf(m, groupValues);
    uint64_t nameBytes = 0;
    if (!CheckSize(m, layout, source, nameBytes, status)) return fail();
    PendingArrays arrays;
    char name[256] = {};
    if (!ReadBlocks(m, layout, source, arrays, name, nameBytes, status)) return fail();
    HandOver(m, arrays, name, nameBytes);
    *status = KvxStatus{};
    status->magicMissing = magicMissing;
    return 1;
}

}  // namespace

int32_t KvxLoadMemory(OKVX& m, const void* data, size_t size, KvxStatus* status) {
    MemorySource source(data, size);
    return Load(m, source, status);
}

int32_t OKVX::load(const char* path, KvxStatus* status) {
    kvx::UniqueFd file(kvx::OpenFile(path, O_RDONLY));
    if (!file.valid()) return kvx::Failed(status, KvxErrc::open_failed, errno);
    struct stat st;
    if (::fstat(file.get(), &st) != 0) return kvx::Failed(status, KvxErrc::read_failed, errno);
    if (S_ISREG(st.st_mode)) {
        RegularFileSource source(file.get(), static_cast<uint64_t>(st.st_size));
        return Load(*this, source, status);
    }
    // Directories end up here too; their first read fails with EISDIR.
    StreamSource source(file.get());
    return Load(*this, source, status);
}
