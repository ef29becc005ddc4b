#include "console.h"

#include <unistd.h>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <new>

#include "fd_io.h"

namespace {

// Most runs print a few lines: the buffer starts at 64 KiB and doubles each
// time it is drained more than half full, up to 1 MiB, so that long
// listings still go out in large writes.
constexpr size_t kFirstBufferSize = size_t{64} << 10;
constexpr size_t kLargestBufferSize = size_t{1} << 20;

}  // namespace

ConsoleOut::ConsoleOut(int fd) : fd_(fd) {
    buffer_ = new char[kFirstBufferSize];
    pos_ = buffer_;
    end_ = buffer_ + kFirstBufferSize;
}

ConsoleOut::~ConsoleOut() {
    // What was printed before a failure still goes out, ahead of the
    // failure's own line.
    writeOut();
    delete[] buffer_;
}

void ConsoleOut::drain() {
    auto size = static_cast<size_t>(end_ - buffer_);
    bool busy = 2 * static_cast<size_t>(pos_ - buffer_) >= size;
    writeOut();
    if (busy && size < kLargestBufferSize) {
        // Where memory is short, the buffer stays as it is.
        if (char* larger = new (std::nothrow) char[2 * size]) {
            delete[] buffer_;
            buffer_ = larger;
            pos_ = buffer_;
            end_ = buffer_ + 2 * size;
        }
    }
}

void ConsoleOut::writeOut() {
    if (error_ == 0 && fd_ != kDiscard)
        error_ = kvx::WriteAll(fd_, buffer_, static_cast<size_t>(pos_ - buffer_));
    pos_ = buffer_;
}

void ConsoleOut::write(const char* text, size_t n) {
    while (n > 0) {
        size_t room = static_cast<size_t>(end_ - pos_);
        if (room == 0) {
            drain();
            continue;
        }
        size_t chunk = n < room ? n : room;
        std::memcpy(pos_, text, chunk);
        pos_ += chunk;
        text += chunk;
        n -= chunk;
    }
}

bool ConsoleOut::flush() {
    writeOut();
    return error_ == 0;
}

void ReportError(const char* program, const std::string& message) {
    std::string line = std::string(program) + ": " + message + "\n";
    kvx::WriteAll(2, line.data(), line.size());
}

void PrintCounts(ConsoleOut& out, uint32_t vertexCount, uint32_t faceCount, int32_t version) {
    char* p = out.reserve(3 * kMaxNumberText + 64);
    std::memcpy(p, "vertexCount = ", 14);
    p = FormatUnsigned(p + 14, vertexCount);
    std::memcpy(p, "\nfaceCount = ", 13);
    p = FormatUnsigned(p + 13, faceCount);
    std::memcpy(p, "\nversion = ", 11);
    p = FormatSigned(p + 11, version);
    *p++ = '\n';
    out.commit(p);
}
