// A library for LD_PRELOAD that makes the system fail where a test says,
// through the environment of the program under test:
//   KVX_SHIM_NO_TMPFILE=1      open and openat refuse O_TMPFILE (EOPNOTSUPP),
//                              as NFS, vfat and CIFS do;
//   KVX_SHIM_NO_PROC=1         /proc is missing, as in a minimal chroot;
//   KVX_SHIM_RENAME_ERRNO=N    rename and renameat fail with errno N;
//   KVX_SHIM_WRITE_DELAY_MS=N  every write to a descriptor above 2 first
//                              sleeps N milliseconds, so that a test can
//                              catch a program while it writes a file;
//   KVX_SHIM_RENAME_FAILS_AT=K with KVX_SHIM_RENAME_ERRNO: only the K-th
//                              rename (1-based; renameat2 too) fails;
//   KVX_SHIM_SIGNAL_AT_RENAME=K the K-th rename (1-based; renameat2 too)
//                              first sends SIGTERM to the process;
//   KVX_SHIM_SIGNAL_AT_WRITE=K the K-th write to a descriptor above 2
//                              first sends SIGTERM to the process;
//   KVX_SHIM_WRITE_AT_MOST=N   write and writev to a descriptor above 2
//                              move at most N bytes a call, as a pipe or a
//                              signal may cut them short;
//   KVX_SHIM_WRITE_EINTR=1     every other write or writev to a descriptor
//                              above 2 first fails with EINTR;
//   KVX_SHIM_WRITE_ERRNO=N     write and writev to a descriptor above 2 fail
//                              with errno N; with KVX_SHIM_WRITE_FAILS_AT=K,
//                              only the K-th (1-based; writes and writevs
//                              count alike, as in KVX_SHIM_SIGNAL_AT_WRITE);
//   KVX_SHIM_LINK_ERRNO=N      linkat of a named file (not of /proc, which
//                              names unnamed files) fails with errno N, as
//                              for a file at its file system's most links.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool Set(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0';
}

bool IsTmpfile(int flags) {
    return (flags & O_TMPFILE) == O_TMPFILE && Set("KVX_SHIM_NO_TMPFILE");
}

bool InProc(const char* path) {
    return Set("KVX_SHIM_NO_PROC") && path != nullptr && std::strncmp(path, "/proc", 5) == 0;
}

int Number(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::atoi(v) : 0;
}

// Counts one more call of a kind; sends SIGTERM at the chosen one.
int Count(int& calls, const char* signalAt) {
    ++calls;
    if (calls == Number(signalAt)) ::kill(::getpid(), SIGTERM);
    return calls;
}

int gRenames = 0;
int gWrites = 0;
int gInterrupted = 0;

// Counts one more write or writev to a file: a stop signal, a delay, and
// the errno it fails with (0: it goes ahead).
int WriteFailure() {
    const int writes = Count(gWrites, "KVX_SHIM_SIGNAL_AT_WRITE");
    if (const char* v = std::getenv("KVX_SHIM_WRITE_DELAY_MS"))
        usleep(1000u * static_cast<unsigned>(std::atoi(v)));
    if (Set("KVX_SHIM_WRITE_EINTR") && ++gInterrupted % 2 == 1) return EINTR;
    const int at = Number("KVX_SHIM_WRITE_FAILS_AT");
    return at == 0 || writes == at ? Number("KVX_SHIM_WRITE_ERRNO") : 0;
}

// How many of n bytes one call moves.
size_t WriteLimit(size_t n) {
    const int most = Number("KVX_SHIM_WRITE_AT_MOST");
    return most > 0 && n > static_cast<size_t>(most) ? static_cast<size_t>(most) : n;
}

int RenameFailure() {
    const int renames = Count(gRenames, "KVX_SHIM_SIGNAL_AT_RENAME");
    const int at = Number("KVX_SHIM_RENAME_FAILS_AT");
    return at == 0 || renames == at ? Number("KVX_SHIM_RENAME_ERRNO") : 0;
}

// Whether an open of `path` with `flags` fails, with errno set: an unnamed
// temporary file is not supported, a file under /proc is missing.
bool OpenRefused(const char* path, int flags) {
    const int refusal = IsTmpfile(flags) ? EOPNOTSUPP : InProc(path) ? ENOENT : 0;
    if (refusal != 0) errno = refusal;
    return refusal != 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
    if (OpenRefused(path, flags)) return -1;
    return Next<int (*)(const char*, int, mode_t)>("open")(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
    if (OpenRefused(path, flags)) return -1;
    return Next<int (*)(int, const char*, int, mode_t)>("openat")(dirfd, path, flags, mode);
}

int access(const char* path, int mode) {
    if (InProc(path)) {
        errno = ENOENT;
        return -1;
    }
    return Next<int (*)(const char*, int)>("access")(path, mode);
}

int linkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags) {
    if (InProc(oldpath)) {
        errno = ENOENT;
        return -1;
    }
    if (int err = Number("KVX_SHIM_LINK_ERRNO");
        err != 0 && std::strncmp(oldpath, "/proc", 5) != 0) {
        errno = err;
        return -1;
    }
    return Next<int (*)(int, const char*, int, const char*, int)>("linkat")(
        olddirfd, oldpath, newdirfd, newpath, flags);
}

int rename(const char* from, const char* to) {
    if (int err = RenameFailure()) {
        errno = err;
        return -1;
    }
    return Next<int (*)(const char*, const char*)>("rename")(from, to);
}

int renameat(int fromdir, const char* from, int todir, const char* to) {
    if (int err = RenameFailure()) {
        errno = err;
        return -1;
    }
    return Next<int (*)(int, const char*, int, const char*)>("renameat")(fromdir, from, todir, to);
}

int renameat2(int fromdir, const char* from, int todir, const char* to, unsigned flags) {
    if (int err = RenameFailure()) {
        errno = err;
        return -1;
    }
    return Next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(
        fromdir, from, todir, to, flags);
}

ssize_t write(int fd, const void* data, size_t n) {
    if (fd > 2) {
        if (int err = WriteFailure()) {
            errno = err;
            return -1;
        }
        n = WriteLimit(n);
    }
    return Next<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, n);
}

ssize_t writev(int fd, const iovec* parts, int count) {
    iovec cut[16];
    if (fd > 2) {
        if (int err = WriteFailure()) {
            errno = err;
            return -1;
        }
        // The first parts, up to the limit.
        if (count >= 0 && count <= 16) {
            size_t room = WriteLimit(SIZE_MAX);
            int n = 0;
            for (; n < count && room > 0; ++n) {
                cut[n] = parts[n];
                if (cut[n].iov_len > room) cut[n].iov_len = room;
                room -= cut[n].iov_len;
            }
            parts = cut;
            count = n;
        }
    }
    return Next<ssize_t (*)(int, const iovec*, int)>("writev")(fd, parts, count);
}

}  // extern "C"
