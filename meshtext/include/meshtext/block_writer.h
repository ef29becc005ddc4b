// Output gathered into blocks of 64 KiB for an OutputFile, for the writers
// of text meshes and of the formats other tools read. After a failed write
// everything else is dropped and finish() reports it.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "meshcore/okvx.h"
#include "meshcore/output_file.h"

class BlockWriter {
public:
    // `file` must be open; `status`, if given, receives the first failure.
    BlockWriter(OutputFile& file, KvxStatus* status) : file_(file), status_(status) {}

    void put(const void* data, size_t n) {
        const char* p = static_cast<const char*>(data);
        while (n > 0) {
            if (used_ == sizeof buffer_) drain();
            size_t part = std::min(n, sizeof buffer_ - used_);
            std::memcpy(buffer_ + used_, p, part);
            used_ += part;
            p += part;
            n -= part;
        }
    }
    void text(std::string_view s) { put(s.data(), s.size()); }

    // The bytes of `value` as memory holds them: little-endian.
    template <typename T>
    void value(T v) {
        static_assert(std::endian::native == std::endian::little);
        put(&v, sizeof v);
    }

    // Room for n bytes (n at most 256); pass the end of what was written to
    // commit().
    char* reserve(size_t n) {
        if (sizeof buffer_ - used_ < n) drain();
        return buffer_ + used_;
    }
    void commit(char* end) { used_ = static_cast<size_t>(end - buffer_); }

    // Writes what is left and commits the file; false when any write failed.
    bool finish() {
        drain();
        return ok_ && file_.commit(status_);
    }

private:
    void drain() {
        if (ok_ && used_ > 0) ok_ = file_.write(buffer_, used_, status_);
        used_ = 0;
    }

    OutputFile& file_;
    KvxStatus* status_;
    bool ok_ = true;
    size_t used_ = 0;
    char buffer_[1 << 16];
};
