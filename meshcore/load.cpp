// The loader: one implementation of the KVX layout and its size checks,
// reading from memory, from a regular file, or from a stream.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "meshcore/okvx.h"

namespace {

int32_t Fail(KvxStatus* status, KvxErrc code, int sysErrno = 0, uint64_t expected = 0,
             uint64_t found = 0) {
    if (status) *status = KvxStatus{code, sysErrno, expected, found};
    return 0;
}

// 16-bit index values per counted face or line in the file, or -1 for a
// version that is not loaded. Version -3 carries six values per record.
int IndexValuesPerGroup(int32_t version) {
    switch (version) {
        case 1:
        case 2:
        case 3:
        case 4:
            return 3;
        case -1:
            return 0;
        case -2:
            return 2;
        case -3:
            return 6;
        default:
            return -1;
    }
}

bool FitsInSize(uint64_t bytes) {
    return static_cast<uint64_t>(static_cast<size_t>(bytes)) == bytes;
}

// Every source offers:
//   bool reach(uint64_t limit, uint64_t& have, KvxStatus*)   how many bytes it
//       holds, counting no further than `limit`;
//   bool read(uint64_t offset, void* out, size_t n, KvxStatus*)   a copy of
//       bytes it was found to hold;
//   bool size(uint64_t& total, KvxStatus*)   its whole length.

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
    bool size(uint64_t& total, KvxStatus*) {
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
        auto* p = static_cast<unsigned char*>(out);
        size_t done = 0;
        while (done < n) {
            ssize_t got = ::pread(fd_, p + done, n - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return Fail(status, KvxErrc::read_failed, errno);
            // The file shrank since it was measured.
            if (got == 0) {
                return Fail(status, KvxErrc::truncated, 0, offset + n, offset + done);
            }
            done += static_cast<size_t>(got);
        }
        return true;
    }
    bool size(uint64_t& total, KvxStatus*) {
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
            ssize_t got = ::read(fd_, buffer_ + filled_, capacity_ - filled_);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return Fail(status, KvxErrc::read_failed, errno);
            if (got == 0) ended_ = true;
            filled_ += static_cast<size_t>(got);
        }
        have = std::min<uint64_t>(limit, filled_);
        return true;
    }
    bool read(uint64_t offset, void* out, size_t n, KvxStatus*) {
        if (n != 0) std::memcpy(out, buffer_ + offset, n);
        return true;
    }
    // Counts the rest of the stream without keeping it.
    bool size(uint64_t& total, KvxStatus* status) {
        total = filled_;
        char scratch[65536];
        while (!ended_) {
            ssize_t got = ::read(fd_, scratch, sizeof scratch);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return Fail(status, KvxErrc::read_failed, errno);
            if (got == 0) ended_ = true;
            total += static_cast<uint64_t>(got);
        }
        return true;
    }

private:
    bool grow(uint64_t limit, KvxStatus* status) {
        constexpr size_t kFirstSize = 65536;
        uint64_t wanted =
            std::min<uint64_t>(limit, std::max<uint64_t>(kFirstSize, 2 * uint64_t{capacity_}));
        if (!FitsInSize(wanted)) return Fail(status, KvxErrc::too_large, 0, wanted);
        void* bigger = std::realloc(buffer_, static_cast<size_t>(wanted));
        if (bigger == nullptr) return Fail(status, KvxErrc::out_of_memory, 0, wanted);
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

// The arrays of a load in progress; freed unless handed to the mesh.
struct PendingArrays {
    void* vertices = nullptr;
    uint16_t* faces = nullptr;
    ~PendingArrays() {
        KvxFree(vertices);
        KvxFree(faces);
    }
};

template <typename Source>
int32_t Load(OKVX& m, Source& source, KvxStatus* status) {
    // The header words after the three magic bytes, in file order. A word
    // the input does not hold whole is not read.
    uint64_t have = 0;
    if (!source.reach(kKvxHeaderSize, have, status)) return 0;
    unsigned char header[kKvxHeaderSize];
    if (have > 3 && !source.read(3, header + 3, static_cast<size_t>(have - 3), status)) return 0;
    if (have >= 7) std::memcpy(&m.vertexCount, header + 3, 4);
    if (have >= 11) std::memcpy(&m.faceCount, header + 7, 4);
    if (have >= 15) std::memcpy(&m.version, header + 11, 4);

    int groupValues = IndexValuesPerGroup(m.version);
    if (groupValues < 0) return Fail(status, KvxErrc::unsupported_version);

    // Everything the header promises, in 64 bits (at most about 2^38 bytes),
    // is checked against the input before any allocation.
    uint32_t recordSize = KvxRecordSize(m.version);
    uint64_t indexValues = uint64_t{m.faceCount} * static_cast<uint64_t>(groupValues);
    uint64_t vertexBytes = uint64_t{m.vertexCount} * recordSize;
    uint64_t indexBytes = indexValues * sizeof(uint16_t);
    uint64_t blocksEnd = kKvxHeaderSize + vertexBytes + indexBytes;
    // Version 4's name runs to the end of the file: look one byte past the
    // longest one that fits.
    uint64_t limit = m.version == 4 ? blocksEnd + 256 : blocksEnd;
    if (!source.reach(limit, have, status)) return 0;
    if (have < blocksEnd) return Fail(status, KvxErrc::truncated, 0, blocksEnd, have);
    uint64_t nameBytes = m.version == 4 ? have - blocksEnd : 0;
    if (nameBytes > 255) {
        uint64_t total = 0;
        if (!source.size(total, status)) return 0;
        return Fail(status, KvxErrc::name_too_long, 0, 255, total - blocksEnd);
    }
    if (!FitsInSize(blocksEnd)) return Fail(status, KvxErrc::too_large, 0, blocksEnd);

    PendingArrays arrays;
    arrays.vertices = KvxAllocate(m.vertexCount, recordSize);
    if (arrays.vertices == nullptr) return Fail(status, KvxErrc::out_of_memory, 0, vertexBytes);
    if (groupValues != 0) {
        arrays.faces = KvxAllocateArray<uint16_t>(indexValues);
        if (arrays.faces == nullptr) return Fail(status, KvxErrc::out_of_memory, 0, indexBytes);
    }
    char name[256] = {};
    if (!source.read(kKvxHeaderSize, arrays.vertices, static_cast<size_t>(vertexBytes), status) ||
        !source.read(kKvxHeaderSize + vertexBytes, arrays.faces, static_cast<size_t>(indexBytes),
                     status) ||
        !source.read(blocksEnd, name, static_cast<size_t>(nameBytes), status)) {
        return 0;
    }

    switch (m.version) {
        case 1:
        case -1:
        case -2:
            m.verticesV1 = static_cast<VertexkvxV1*>(arrays.vertices);
            break;
        case 2:
            m.verticesV2 = static_cast<VertexkvxV2*>(arrays.vertices);
            break;
        case 3:
        case -3:
            m.verticesV3 = static_cast<VertexkvxV3*>(arrays.vertices);
            break;
        case 4:
            m.verticesV4 = static_cast<VertexkvxV4*>(arrays.vertices);
            break;
    }
    arrays.vertices = nullptr;
    if (groupValues != 0) {
        m.faces = arrays.faces;
        arrays.faces = nullptr;
    }
    if (m.version == 4) {
        // The trailer bytes as they stand, then a zero so that the text ends
        // even in a mesh that was not fresh.
        std::memcpy(m.name, name, static_cast<size_t>(nameBytes));
        m.name[nameBytes] = 0;
    }
    if (status) *status = KvxStatus{};
    return 1;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

int32_t KvxLoadMemory(OKVX& m, const void* data, size_t size, KvxStatus* status) {
    MemorySource source(data, size);
    return Load(m, source, status);
}

int32_t OKVX::load(const char* path, KvxStatus* status) {
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Fail(status, KvxErrc::open_failed, errno);
    FileDescriptor file(fd);

    struct stat st;
    if (::fstat(fd, &st) != 0) return Fail(status, KvxErrc::read_failed, errno);
    if (S_ISREG(st.st_mode)) {
        RegularFileSource source(fd, static_cast<uint64_t>(st.st_size));
        return Load(*this, source, status);
    }
    // Directories end up here too; their first read fails with EISDIR.
    StreamSource source(fd);
    return Load(*this, source, status);
}
