// File descriptors for the tool chain's own code (not installed): one owner
// that closes, and the loops that read or write everything, retrying after
// signals (EINTR) and short transfers.
#pragma once

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace kvx {

// Owns one open descriptor; closes it when it goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now; 0, or errno of a failed close (EINTR counts as closed).
    int close() {
        int fd = std::exchange(fd_, -1);
        if (fd < 0 || ::close(fd) == 0 || errno == EINTR) return 0;
        return errno;
    }

private:
    int fd_ = -1;
};

// open(2), retried after EINTR. -1 with errno on failure.
inline int OpenFile(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Writes all n bytes. 0, or errno of the write that failed (EIO when the
// system took nothing without saying why).
inline int WriteAll(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        // Linux moves at most about 2 GiB in one call.
        size_t chunk = n < (size_t{1} << 30) ? n : (size_t{1} << 30);
        ssize_t written = ::write(fd, p, chunk);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return errno;
        if (written == 0) return EIO;
        p += written;
        n -= static_cast<size_t>(written);
    }
    return 0;
}

// Writes every byte of parts[0..count) in order, as few writev calls as the
// system allows: `writev(const iovec*, int)` is the call (::writev on a
// descriptor, or a test's stand-in), returning bytes taken or -1 with errno.
// Empty parts are skipped, a short transfer goes on where it stopped, EINTR
// is retried. Each call is given at most 8 parts and 1 GiB, below what Linux
// moves at once. 0, or errno of the call that failed (EIO when it took
// nothing without saying why).
template <typename Writev>
int WriteAllGatheredWith(Writev&& writev, const iovec* parts, size_t count) {
    constexpr int kParts = 8;
    constexpr size_t kBytes = size_t{1} << 30;
    size_t k = 0;     // the first part not yet written whole
    size_t done = 0;  // bytes of parts[k] already written
    for (;;) {
        while (k < count && done == parts[k].iov_len) {
            ++k;
            done = 0;
        }
        if (k == count) return 0;
        iovec batch[kParts];
        int n = 0;
        size_t total = 0;
        for (size_t j = k; j < count && n < kParts && total < kBytes; ++j) {
            const size_t skip = j == k ? done : 0;
            size_t len = parts[j].iov_len - skip;
            if (len == 0) continue;
            if (len > kBytes - total) len = kBytes - total;
            batch[n++] = {static_cast<char*>(parts[j].iov_base) + skip, len};
            total += len;
        }
        const ssize_t written = writev(static_cast<const iovec*>(batch), n);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return errno;
        if (written == 0) return EIO;
        for (size_t left = static_cast<size_t>(written); left > 0 && k < count;) {
            const size_t room = parts[k].iov_len - done;
            if (left < room) {
                done += left;
                left = 0;
            } else {
                left -= room;
                ++k;
                done = 0;
            }
        }
    }
}

// The same on a descriptor.
inline int WriteAllGathered(int fd, const iovec* parts, size_t count) {
    return WriteAllGatheredWith([fd](const iovec* batch, int n) { return ::writev(fd, batch, n); },
                                parts, count);
}

// Reads until n bytes have come or the input ends; `got` is how many came.
// 0, or errno of the read that failed.
inline int ReadFully(int fd, void* data, size_t n, size_t& got) {
    char* p = static_cast<char*>(data);
    got = 0;
    while (got < n) {
        size_t chunk = n - got < (size_t{1} << 30) ? n - got : (size_t{1} << 30);
        ssize_t r = ::read(fd, p + got, chunk);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return errno;
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return 0;
}

// The same with pread from `offset`, for regular files.
inline int PreadFully(int fd, void* data, size_t n, uint64_t offset, size_t& got) {
    char* p = static_cast<char*>(data);
    got = 0;
    while (got < n) {
        size_t chunk = n - got < (size_t{1} << 30) ? n - got : (size_t{1} << 30);
        ssize_t r = ::pread(fd, p + got, chunk, static_cast<off_t>(offset + got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return errno;
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return 0;
}

}  // namespace kvx
